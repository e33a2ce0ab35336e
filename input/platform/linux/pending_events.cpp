#include "input/platform/linux/pending_events.h"

#include <thread>

#include "input/platform/linux/keys.h"

namespace vexel::input {

std::optional<ButtonChange> buttonChange(EventType type) {
  switch (type) {
    case EventType::kLeftMouseDown:
      return ButtonChange{MouseButton::kLeft, true};
    case EventType::kLeftMouseUp:
      return ButtonChange{MouseButton::kLeft, false};
    case EventType::kRightMouseDown:
      return ButtonChange{MouseButton::kRight, true};
    case EventType::kRightMouseUp:
      return ButtonChange{MouseButton::kRight, false};
    case EventType::kOtherMouseDown:
      return ButtonChange{MouseButton::kCenter, true};
    case EventType::kOtherMouseUp:
      return ButtonChange{MouseButton::kCenter, false};
    default:
      return std::nullopt;
  }
}

std::int64_t takeWheelClicks(std::int64_t& carried, std::int32_t pixels) {
  if ((carried > 0 && pixels < 0) || (carried < 0 && pixels > 0)) carried = 0;
  carried += pixels;
  const std::int64_t clicks = carried / kPixelsPerWheelClick;
  carried -= clicks * kPixelsPerWheelClick;
  return clicks;
}

EventRef PendingEventServices::createMouseEvent(EventSourceRef, EventType type, Point point,
                                                MouseButton) {
  auto* e = new PendingEvent;
  e->kind = PendingEvent::Kind::kMouse;
  e->type = type;
  e->point = point;
  return reinterpret_cast<EventRef>(e);
}

EventRef PendingEventServices::createKeyboardEvent(EventSourceRef, std::uint16_t keyCode,
                                                   bool keyDown) {
  if (namedKeyForMac(keyCode) == nullptr) return nullptr;
  auto* e = new PendingEvent;
  e->kind = PendingEvent::Kind::kKeyboard;
  e->keyCode = keyCode;
  e->keyDown = keyDown;
  return reinterpret_cast<EventRef>(e);
}

EventRef PendingEventServices::createScrollWheelEvent(EventSourceRef, ScrollEventUnit,
                                                      std::uint32_t, std::int32_t wheel1,
                                                      std::int32_t wheel2, std::int32_t) {
  auto* e = new PendingEvent;
  e->kind = PendingEvent::Kind::kScroll;
  e->wheel1 = wheel1;
  e->wheel2 = wheel2;
  return reinterpret_cast<EventRef>(e);
}

void PendingEventServices::keyboardSetUnicodeString(EventRef event,
                                                    std::span<const char16_t> units) {
  pending(event).text = std::u16string(units.begin(), units.end());
}

void PendingEventServices::post(EventTap, EventRef event) {
  beginPost();
  const PendingEvent& e = pending(event);
  switch (e.kind) {
    case PendingEvent::Kind::kMouse:
      postMouse(e);
      break;
    case PendingEvent::Kind::kScroll:
      postScroll(e);
      break;
    case PendingEvent::Kind::kKeyboard:
      postKey(e);
      break;
  }
  endPost();
}

void PendingEventServices::release(EventRef event) {
  delete &pending(event);
}

void PendingEventServices::pause(std::chrono::microseconds duration) {
  std::this_thread::sleep_for(duration);
}

}  // namespace vexel::input
