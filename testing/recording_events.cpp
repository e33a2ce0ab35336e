#include "testing/recording_events.h"

#include <unicode/unistr.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vexel::input {

namespace {

// Shortest text that reads back as the same double (floating-point
// std::to_chars is missing on macOS before 13.3).
std::string number(double v) {
  char text[32];
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, v);
    if (std::strtod(text, nullptr) == v) break;
  }
  // Whole numbers in full where that is no longer ("10", not "1e+01").
  char whole[32];
  if (std::trunc(v) == v && std::fabs(v) < 1e17) {
    std::snprintf(whole, sizeof whole, "%.0f", v);
    if (std::strlen(whole) <= std::strlen(text)) return whole;
  }
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

bool isDown(EventType t) {
  return t == EventType::kLeftMouseDown || t == EventType::kRightMouseDown ||
         t == EventType::kOtherMouseDown;
}

bool isUp(EventType t) {
  return t == EventType::kLeftMouseUp || t == EventType::kRightMouseUp ||
         t == EventType::kOtherMouseUp;
}

}  // namespace

RecordingEventServices::RecordingEventServices() = default;
RecordingEventServices::~RecordingEventServices() = default;

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

std::string RecordingEventServices::describe(const RecordedEvent& e) const {
  std::string s;
  switch (e.kind) {
    case RecordedEvent::Kind::kMouse:
      s = "mouse type=" + std::to_string(static_cast<int>(e.type)) +
          " button=" + std::to_string(static_cast<int>(e.button)) + " at=" + pointText(e.point);
      if (e.clickState) s += " state=" + std::to_string(*e.clickState);
      break;
    case RecordedEvent::Kind::kKeyboard:
      s = "key code=" + std::to_string(e.keyCode) + (e.keyDown ? " down" : " up");
      if (e.flags) {
        char hex[32];
        std::snprintf(hex, sizeof hex, " flags=0x%llx", static_cast<unsigned long long>(*e.flags));
        s += hex;
      }
      if (!e.text.empty()) s += " text=\"" + utf8(e.text) + "\"";
      break;
    case RecordedEvent::Kind::kScroll:
      s = "scroll wheels=" + std::to_string(e.wheelCount) + " [" + std::to_string(e.wheels[0]) +
          "," + std::to_string(e.wheels[1]) + "," + std::to_string(e.wheels[2]) + "]";
      break;
  }
  if (e.location) s += " location=" + pointText(*e.location);
  return s;
}

EventRef RecordingEventServices::create(RecordedEvent event, const std::string& description) {
  ++creations_;
  if (failCreationNumber && *failCreationNumber == creations_) {
    timeline_.push_back("create failed " + description);
    return nullptr;
  }
  slots_.push_back({std::move(event)});
  timeline_.push_back("create#" + std::to_string(slots_.size()) + " " + description);
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

EventRef RecordingEventServices::createMouseEvent(EventSourceRef, EventType type, Point point,
                                                  MouseButton button) {
  RecordedEvent e;
  e.kind = RecordedEvent::Kind::kMouse;
  e.type = type;
  e.point = point;
  e.button = button;
  return create(e, describe(e));
}

EventRef RecordingEventServices::createKeyboardEvent(EventSourceRef, std::uint16_t keyCode,
                                                     bool keyDown) {
  RecordedEvent e;
  e.kind = RecordedEvent::Kind::kKeyboard;
  e.keyCode = keyCode;
  e.keyDown = keyDown;
  return create(e, describe(e));
}

EventRef RecordingEventServices::createScrollWheelEvent(EventSourceRef, ScrollEventUnit unit,
                                                        std::uint32_t wheelCount,
                                                        std::int32_t wheel1, std::int32_t wheel2,
                                                        std::int32_t wheel3) {
  RecordedEvent e;
  e.kind = RecordedEvent::Kind::kScroll;
  e.wheelCount = wheelCount;
  e.wheels[0] = wheel1;
  e.wheels[1] = wheel2;
  e.wheels[2] = wheel3;
  return create(e, describe(e) + " unit=" + std::to_string(static_cast<int>(unit)));
}

void RecordingEventServices::setIntegerValueField(EventRef event, EventField field,
                                                  std::int64_t value) {
  if (Slot* slot = slotFor(event, "set field")) {
    if (field == EventField::kMouseEventClickState) slot->event.clickState = value;
    timeline_.push_back(tag("field", event) + " " + std::to_string(static_cast<int>(field)) + "=" +
                        std::to_string(value));
  }
}

void RecordingEventServices::setFlags(EventRef event, EventFlags flags) {
  if (Slot* slot = slotFor(event, "set flags")) {
    slot->event.flags = flags;
    timeline_.push_back(tag("flags", event) + " " + std::to_string(flags));
  }
}

void RecordingEventServices::setLocation(EventRef event, Point point) {
  if (Slot* slot = slotFor(event, "set location")) {
    slot->event.location = point;
    timeline_.push_back(tag("location", event) + " " + pointText(point));
  }
}

void RecordingEventServices::keyboardSetUnicodeString(EventRef event,
                                                      std::span<const char16_t> units) {
  if (Slot* slot = slotFor(event, "set text")) {
    slot->event.text.assign(units.begin(), units.end());
    timeline_.push_back(tag("text", event) + " " + std::to_string(units.size()) + " units");
  }
}

void RecordingEventServices::post(EventTap tap, EventRef event) {
  Slot* slot = slotFor(event, "post");
  if (slot == nullptr) return;
  if (slot->posted) problems_.push_back("second post of " + tag("", event));
  if (tap != EventTap::kHIDEventTap) problems_.push_back("post at another tap");
  slot->posted = true;
  const RecordedEvent& e = slot->event;
  ++posts_;
  if (failPostNumber && *failPostNumber == posts_) {
    timeline_.push_back("post failed " + describe(e));
    throw DeliveryFailure{failPostReason};
  }
  if (e.kind == RecordedEvent::Kind::kMouse) {
    const std::string name = "button" + std::to_string(static_cast<int>(e.button));
    if (isDown(e.type)) held_.insert(name);
    if (isUp(e.type)) held_.erase(name);
  } else if (e.kind == RecordedEvent::Kind::kKeyboard) {
    const std::string name = "key" + std::to_string(e.keyCode);
    if (e.keyDown) {
      held_.insert(name);
    } else {
      held_.erase(name);
    }
  }
  timeline_.push_back(tag("post", event) + " " + describe(e));
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
