#include "testing/recording_events.h"

#include <unicode/unistr.h>

#include <cstdio>
#include <string>

namespace vexel::input {

namespace {

// Every digit that tells doubles apart ("1.5", "-1000000"; floating-point
// std::to_chars is missing on macOS before 13.3).
std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

std::string pointText(Point p) {
  return "(" + number(p.x) + "," + number(p.y) + ")";
}

std::string utf8(std::u16string_view units) {
  std::string out;
  icu::UnicodeString(false, reinterpret_cast<const UChar*>(units.data()),
                     static_cast<int32_t>(units.size()))
      .toUTF8String(out);
  return out;
}

// "post#3": what happened to event number 3.
std::string tag(const char* what, EventRef event) {
  return what + ("#" + std::to_string(reinterpret_cast<std::uintptr_t>(event)));
}

}  // namespace

void RecordingEventServices::clear() {
  timeline_.clear();
  slots_.clear();
  problems_.clear();
  held_.clear();
  creations_ = 0;
  posts_ = 0;
  trustQueries_ = 0;
}

bool RecordingEventServices::isProcessTrusted() {
  ++trustQueries_;
  timeline_.push_back(std::string("trust? ") + (trusted ? "yes" : "no"));
  return trusted;
}

EventSourceRef RecordingEventServices::createEventSource(EventSourceState state) {
  timeline_.push_back("source state=" + std::to_string(static_cast<int>(state)));
  return reinterpret_cast<EventSourceRef>(static_cast<std::uintptr_t>(0x5000));
}

EventRef RecordingEventServices::create(Slot slot, const std::string& creation) {
  ++creations_;
  if (failCreationNumber && *failCreationNumber == creations_) {
    timeline_.push_back("create failed " + creation);
    return nullptr;
  }
  slots_.push_back(std::move(slot));
  timeline_.push_back("create#" + std::to_string(slots_.size()) + " " + creation);
  return reinterpret_cast<EventRef>(static_cast<std::uintptr_t>(slots_.size()));
}

RecordingEventServices::Slot* RecordingEventServices::slotFor(EventRef event, const char* what) {
  const auto index = reinterpret_cast<std::uintptr_t>(event);
  if (index == 0 || index > slots_.size()) {
    problems_.push_back(std::string(what) + " on an unknown event");
    return nullptr;
  }
  Slot& slot = slots_[index - 1];
  if (slot.released) {
    problems_.push_back(std::string(what) + " after release of #" + std::to_string(index));
  }
  return &slot;
}

void RecordingEventServices::annotate(EventRef event, const char* what, const std::string& setting,
                                      const std::string& described) {
  if (Slot* slot = slotFor(event, what)) {
    slot->description += described;
    timeline_.push_back(tag(what, event) + " " + setting);
  }
}

EventRef RecordingEventServices::createMouseEvent(EventSourceRef, EventType type, Point point,
                                                  MouseButton button) {
  using enum EventType;
  const std::string b = std::to_string(static_cast<int>(button));
  const bool down = type == kLeftMouseDown || type == kRightMouseDown || type == kOtherMouseDown;
  const bool up = type == kLeftMouseUp || type == kRightMouseUp || type == kOtherMouseUp;
  Slot slot{"mouse type=" + std::to_string(static_cast<int>(type)) + " button=" + b +
                " at=" + pointText(point),
            down ? "button" + b : "", up ? "button" + b : ""};
  return create(slot, slot.description);
}

EventRef RecordingEventServices::createKeyboardEvent(EventSourceRef, std::uint16_t keyCode,
                                                     bool keyDown) {
  const std::string name = "key" + std::to_string(keyCode);
  Slot slot{"key code=" + std::to_string(keyCode) + (keyDown ? " down" : " up"),
            keyDown ? name : "", keyDown ? "" : name};
  return create(slot, slot.description);
}

EventRef RecordingEventServices::createScrollWheelEvent(EventSourceRef, ScrollEventUnit unit,
                                                        std::uint32_t wheelCount,
                                                        std::int32_t wheel1, std::int32_t wheel2,
                                                        std::int32_t wheel3) {
  Slot slot{"scroll wheels=" + std::to_string(wheelCount) + " [" + std::to_string(wheel1) + "," +
                std::to_string(wheel2) + "," + std::to_string(wheel3) + "]",
            "", ""};
  return create(slot, slot.description + " unit=" + std::to_string(static_cast<int>(unit)));
}

void RecordingEventServices::setIntegerValueField(EventRef event, EventField field,
                                                  std::int64_t value) {
  const std::string v = std::to_string(value);
  annotate(event, "field", std::to_string(static_cast<int>(field)) + "=" + v,
           field == EventField::kMouseEventClickState ? " state=" + v : "");
}

void RecordingEventServices::setFlags(EventRef event, EventFlags flags) {
  char hex[32];
  std::snprintf(hex, sizeof hex, " flags=0x%llx", static_cast<unsigned long long>(flags));
  annotate(event, "flags", std::to_string(flags), hex);
}

void RecordingEventServices::setLocation(EventRef event, Point point) {
  annotate(event, "location", pointText(point), " location=" + pointText(point));
}

void RecordingEventServices::keyboardSetUnicodeString(EventRef event,
                                                      std::span<const char16_t> units) {
  annotate(event, "text", std::to_string(units.size()) + " units",
           units.empty() ? "" : " text=\"" + utf8({units.data(), units.size()}) + "\"");
}

void RecordingEventServices::post(EventTap tap, EventRef event) {
  Slot* slot = slotFor(event, "post");
  if (slot == nullptr) return;
  if (slot->posted) problems_.push_back("second post of " + tag("", event));
  if (tap != EventTap::kHIDEventTap) problems_.push_back("post at another tap");
  slot->posted = true;
  ++posts_;
  if (failPostNumber && *failPostNumber == posts_) {
    timeline_.push_back("post failed " + slot->description);
    throw DeliveryFailure{failPostReason};
  }
  if (!slot->presses.empty()) held_.insert(slot->presses);
  if (!slot->lets.empty()) held_.erase(slot->lets);
  timeline_.push_back(tag("post", event) + " " + slot->description);
}

void RecordingEventServices::release(EventRef event) {
  if (Slot* slot = slotFor(event, "release")) {
    slot->released = true;
    timeline_.push_back(tag("release", event));
  }
}

void RecordingEventServices::pause(std::chrono::microseconds duration) {
  timeline_.push_back("pause " + std::to_string(duration.count()) + "us");
}

std::vector<std::string> RecordingEventServices::posted() const {
  std::vector<std::string> out;
  for (const auto& line : timeline_) {
    if (line.rfind("post#", 0) == 0) {
      out.push_back(line.substr(line.find(' ') + 1));
    } else if (line.rfind("pause ", 0) == 0) {
      out.push_back(line);
    }
  }
  return out;
}

std::vector<std::string> RecordingEventServices::lifecycleProblems() const {
  std::vector<std::string> out = problems_;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (!slots_[i].released) out.push_back("#" + std::to_string(i + 1) + " never released");
  }
  return out;
}

}  // namespace vexel::input
