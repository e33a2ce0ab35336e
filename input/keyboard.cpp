#include "input/keyboard.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include "input/keycodes.h"
#include "input/text.h"

namespace vexel::input {

namespace {

struct Modifier {
  std::string_view name;
  EventFlags mask;
};

constexpr std::array<Modifier, 9> kModifiers = {{
    {"cmd", kEventFlagMaskCommand},
    {"command", kEventFlagMaskCommand},
    {"meta", kEventFlagMaskCommand},
    {"win", kEventFlagMaskCommand},
    {"shift", kEventFlagMaskShift},
    {"alt", kEventFlagMaskAlternate},
    {"option", kEventFlagMaskAlternate},
    {"ctrl", kEventFlagMaskControl},
    {"control", kEventFlagMaskControl},
}};

// Creates the down and up events of one key press, or neither.
std::pair<OwnedEvent, OwnedEvent> createKeyPair(const Injector& injector, std::uint16_t code) {
  EventServices& events = injector.events;
  OwnedEvent down(events.createKeyboardEvent(injector.eventSource, code, true),
                  EventReleaser{&events});
  if (!down) throw HelperError{"event_create_failed"};
  OwnedEvent up(events.createKeyboardEvent(injector.eventSource, code, false),
                EventReleaser{&events});
  if (!up) throw HelperError{"event_create_failed"};
  return {std::move(down), std::move(up)};
}

}  // namespace

EventFlags modifierFlags(std::span<const std::string> names) {
  EventFlags mask = 0;
  for (const auto& name : names) {
    const auto* it = std::find_if(kModifiers.begin(), kModifiers.end(),
                                  [&](const Modifier& m) { return m.name == name; });
    if (it == kModifiers.end()) throw HelperError{"unknown_modifier:" + name};
    mask |= it->mask;
  }
  return mask;
}

void pressKey(const Injector& injector, std::string_view key, std::span<const std::string> mods) {
  const std::optional<std::uint16_t> code = keyCodeFor(key);
  if (!code) throw HelperError{"unknown_key:" + std::string(key)};
  const EventFlags flags = modifierFlags(mods);
  EventServices& events = injector.events;
  const auto [down, up] = createKeyPair(injector, *code);
  events.setFlags(down.get(), flags);
  events.setFlags(up.get(), flags);
  events.post(EventTap::kHIDEventTap, down.get());
  events.pause(kKeyHold);
  events.post(EventTap::kHIDEventTap, up.get());
}

void typeChunk(const Injector& injector, std::span<const char16_t> units) {
  EventServices& events = injector.events;
  const auto [down, up] = createKeyPair(injector, 0);
  events.keyboardSetUnicodeString(down.get(), units);
  events.keyboardSetUnicodeString(up.get(), units);
  events.post(EventTap::kHIDEventTap, down.get());
  events.post(EventTap::kHIDEventTap, up.get());
}

void doType(const Injector& injector, std::string_view text) {
  // CR LF and lone CR both end a line.
  std::string normalised;
  normalised.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      normalised.push_back('\n');
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      normalised.push_back(text[i]);
    }
  }
  const std::u16string units = toUtf16(normalised);
  const std::size_t n = units.size();
  std::size_t lineStart = 0;
  bool first = true;
  while (true) {
    std::size_t lineEnd = units.find(u'\n', lineStart);
    if (lineEnd == std::u16string::npos) lineEnd = n;
    if (!first) {
      pressKey(injector, "enter", {});
      injector.events.pause(kLineBreakGap);
    }
    first = false;
    std::size_t start = lineStart;
    while (start < lineEnd) {
      constexpr auto kChunk = static_cast<std::size_t>(TYPE_CHUNK_UTF16);
      std::size_t end = std::min(start + kChunk, lineEnd);
      if (start + kChunk < lineEnd && (units[end - 1] & 0xFC00) == 0xD800) --end;
      end = std::max(end, start + 1);
      typeChunk(injector, std::span(units).subspan(start, end - start));
      injector.events.pause(kChunkGap);
      start = end;
    }
    if (lineEnd == n) break;
    lineStart = lineEnd + 1;
  }
}

}  // namespace vexel::input
