#include "input/mouse.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vexel::input {

namespace {

enum class Button : std::uint8_t { kLeft, kRight, kMiddle };

Button parse(std::string_view name) {
  if (name == "right") return Button::kRight;
  if (name == "middle") return Button::kMiddle;
  return Button::kLeft;
}

[[noreturn]] void createFailed() {
  throw HelperError{"event_create_failed"};
}

}  // namespace

MouseButton buttonEnum(std::string_view button) {
  switch (parse(button)) {
    case Button::kRight:
      return MouseButton::kRight;
    case Button::kMiddle:
      return MouseButton::kCenter;
    case Button::kLeft:
      break;
  }
  return MouseButton::kLeft;
}

EventType downType(std::string_view button) {
  switch (parse(button)) {
    case Button::kRight:
      return EventType::kRightMouseDown;
    case Button::kMiddle:
      return EventType::kOtherMouseDown;
    case Button::kLeft:
      break;
  }
  return EventType::kLeftMouseDown;
}

EventType upType(std::string_view button) {
  switch (parse(button)) {
    case Button::kRight:
      return EventType::kRightMouseUp;
    case Button::kMiddle:
      return EventType::kOtherMouseUp;
    case Button::kLeft:
      break;
  }
  return EventType::kLeftMouseUp;
}

EventType dragType(std::string_view button) {
  switch (parse(button)) {
    case Button::kRight:
      return EventType::kRightMouseDragged;
    case Button::kMiddle:
      return EventType::kOtherMouseDragged;
    case Button::kLeft:
      break;
  }
  return EventType::kLeftMouseDragged;
}

void postMouse(const Injector& injector, EventType type, MouseButton button, Point point,
               std::int64_t clickState) {
  EventServices& events = injector.events;
  const OwnedEvent event(events.createMouseEvent(injector.eventSource, type, point, button),
                         EventReleaser{&events});
  if (!event) createFailed();
  if (clickState >= 1) {
    events.setIntegerValueField(event.get(), EventField::kMouseEventClickState, clickState);
  }
  events.post(EventTap::kHIDEventTap, event.get());
}

void doClick(const Injector& injector, double x, double y, std::string_view button,
             std::int64_t count) {
  const Point at{x, y};
  postMouse(injector, EventType::kMouseMoved, MouseButton::kLeft, at);
  injector.events.pause(kClickSettle);
  const std::int64_t n = std::clamp<std::int64_t>(count, 1, kMaxClickCount);
  for (std::int64_t i = 1; i <= n; ++i) {
    postMouse(injector, downType(button), buttonEnum(button), at, i);
    injector.events.pause(kClickHold);
    postMouse(injector, upType(button), buttonEnum(button), at, i);
    if (i < n) injector.events.pause(kClickInterval);
  }
}

void doDrag(const Injector& injector, double fromX, double fromY, double toX, double toY,
            std::string_view button) {
  const MouseButton b = buttonEnum(button);
  postMouse(injector, EventType::kMouseMoved, MouseButton::kLeft, {fromX, fromY});
  injector.events.pause(kDragSettle);
  postMouse(injector, downType(button), b, {fromX, fromY}, 1);
  injector.events.pause(kDragSettle);
  for (int i = 1; i <= kDragSteps; ++i) {
    const Point step{fromX + ((toX - fromX) * i) / kDragSteps,
                     fromY + ((toY - fromY) * i) / kDragSteps};
    postMouse(injector, dragType(button), b, step);
    injector.events.pause(kDragStep);
  }
  postMouse(injector, upType(button), b, {toX, toY}, 1);
}

std::int32_t scrollCount(double amount) {
  if (std::isnan(amount)) return 0;
  const double rounded = std::round(amount);  // halves away from zero
  if (rounded >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (rounded <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(rounded);
}

void doScroll(const Injector& injector, double x, double y, double dx, double dy) {
  EventServices& events = injector.events;
  postMouse(injector, EventType::kMouseMoved, MouseButton::kLeft, {x, y});
  events.pause(kScrollSettle);
  const std::int32_t vertical = scrollCount(dy);
  const std::int32_t horizontal = scrollCount(dx);
  const OwnedEvent event(
      events.createScrollWheelEvent(injector.eventSource, ScrollEventUnit::kPixel, 2, vertical,
                                    horizontal, 0),
      EventReleaser{&events});
  if (!event) createFailed();
  events.setLocation(event.get(), {x, y});
  events.post(EventTap::kHIDEventTap, event.get());
}

}  // namespace vexel::input
