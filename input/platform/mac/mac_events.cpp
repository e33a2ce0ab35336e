#include <ApplicationServices/ApplicationServices.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <vector>

#include "input/platform/event_services.h"

namespace vexel::input {

namespace {

// The interface's handles are the Core Graphics references themselves, so a
// created event crosses the interface without a lookup.
CGEventRef toCG(EventRef event) {
  return reinterpret_cast<CGEventRef>(event);
}
CGEventSourceRef toCG(EventSourceRef source) {
  return reinterpret_cast<CGEventSourceRef>(source);
}
EventRef fromCG(CGEventRef event) {
  return reinterpret_cast<EventRef>(event);
}
CGPoint toCG(Point point) {
  return CGPointMake(point.x, point.y);
}

// The enum values of the interface are the Core Graphics constants, checked
// here once so that every cast below passes a valid constant.
static_assert(static_cast<CGEventType>(EventType::kLeftMouseDown) == kCGEventLeftMouseDown);
static_assert(static_cast<CGEventType>(EventType::kLeftMouseUp) == kCGEventLeftMouseUp);
static_assert(static_cast<CGEventType>(EventType::kRightMouseDown) == kCGEventRightMouseDown);
static_assert(static_cast<CGEventType>(EventType::kRightMouseUp) == kCGEventRightMouseUp);
static_assert(static_cast<CGEventType>(EventType::kMouseMoved) == kCGEventMouseMoved);
static_assert(static_cast<CGEventType>(EventType::kLeftMouseDragged) == kCGEventLeftMouseDragged);
static_assert(static_cast<CGEventType>(EventType::kRightMouseDragged) == kCGEventRightMouseDragged);
static_assert(static_cast<CGEventType>(EventType::kOtherMouseDown) == kCGEventOtherMouseDown);
static_assert(static_cast<CGEventType>(EventType::kOtherMouseUp) == kCGEventOtherMouseUp);
static_assert(static_cast<CGEventType>(EventType::kOtherMouseDragged) == kCGEventOtherMouseDragged);
static_assert(static_cast<CGMouseButton>(MouseButton::kLeft) == kCGMouseButtonLeft);
static_assert(static_cast<CGMouseButton>(MouseButton::kRight) == kCGMouseButtonRight);
static_assert(static_cast<CGMouseButton>(MouseButton::kCenter) == kCGMouseButtonCenter);
static_assert(static_cast<CGEventSourceStateID>(EventSourceState::kHIDSystemState) ==
              kCGEventSourceStateHIDSystemState);
static_assert(static_cast<CGEventTapLocation>(EventTap::kHIDEventTap) == kCGHIDEventTap);
static_assert(static_cast<CGScrollEventUnit>(ScrollEventUnit::kPixel) == kCGScrollEventUnitPixel);
static_assert(static_cast<CGEventField>(EventField::kMouseEventClickState) ==
              kCGMouseEventClickState);
static_assert(kEventFlagMaskShift == kCGEventFlagMaskShift);
static_assert(kEventFlagMaskControl == kCGEventFlagMaskControl);
static_assert(kEventFlagMaskAlternate == kCGEventFlagMaskAlternate);
static_assert(kEventFlagMaskCommand == kCGEventFlagMaskCommand);
static_assert(sizeof(char16_t) == sizeof(UniChar));

// Events through the Core Graphics C API, posted at the HID tap. Every
// function here tolerates a null handle: CFRelease and the setters do not.
class MacEventServices final : public EventServices {
 public:
  MacEventServices() = default;
  MacEventServices(const MacEventServices&) = delete;
  MacEventServices& operator=(const MacEventServices&) = delete;
  // The injector borrows its source for the life of the process; give it back.
  ~MacEventServices() override {
    for (CGEventSourceRef source : sources_) CFRelease(source);
  }

  bool isProcessTrusted() override { return AXIsProcessTrusted() != 0; }

  EventSourceRef createEventSource(EventSourceState state) override {
    CGEventSourceRef source = CGEventSourceCreate(static_cast<CGEventSourceStateID>(state));
    if (source == nullptr) return nullptr;  // events are then made without a source
    sources_.push_back(source);
    return reinterpret_cast<EventSourceRef>(source);
  }

  EventRef createMouseEvent(EventSourceRef source, EventType type, Point point,
                            MouseButton button) override {
    return fromCG(CGEventCreateMouseEvent(toCG(source), static_cast<CGEventType>(type), toCG(point),
                                          static_cast<CGMouseButton>(button)));
  }

  EventRef createKeyboardEvent(EventSourceRef source, std::uint16_t keyCode,
                               bool keyDown) override {
    return fromCG(
        CGEventCreateKeyboardEvent(toCG(source), static_cast<CGKeyCode>(keyCode), keyDown));
  }

  EventRef createScrollWheelEvent(EventSourceRef source, ScrollEventUnit unit,
                                  std::uint32_t wheelCount, std::int32_t wheel1,
                                  std::int32_t wheel2, std::int32_t wheel3) override {
    // The fixed-arity form, so the wheel values are passed by a checked signature.
    return fromCG(CGEventCreateScrollWheelEvent2(toCG(source), static_cast<CGScrollEventUnit>(unit),
                                                 wheelCount, wheel1, wheel2, wheel3));
  }

  void setIntegerValueField(EventRef event, EventField field, std::int64_t value) override {
    if (event == nullptr) return;
    CGEventSetIntegerValueField(toCG(event), static_cast<CGEventField>(field), value);
  }

  void setFlags(EventRef event, EventFlags flags) override {
    if (event == nullptr) return;
    CGEventSetFlags(toCG(event), static_cast<CGEventFlags>(flags));
  }

  void setLocation(EventRef event, Point point) override {
    if (event == nullptr) return;
    CGEventSetLocation(toCG(event), toCG(point));
  }

  void keyboardSetUnicodeString(EventRef event, std::span<const char16_t> units) override {
    if (event == nullptr || units.empty()) return;
    CGEventKeyboardSetUnicodeString(toCG(event), static_cast<UniCharCount>(units.size()),
                                    reinterpret_cast<const UniChar*>(units.data()));
  }

  void post(EventTap tap, EventRef event) override {
    if (event == nullptr) return;
    CGEventPost(static_cast<CGEventTapLocation>(tap), toCG(event));
  }

  void release(EventRef event) override {
    if (event == nullptr) return;
    CFRelease(toCG(event));
  }

  void pause(std::chrono::microseconds duration) override {
    if (duration <= std::chrono::microseconds::zero()) return;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    const auto nanoseconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(duration - seconds);
    timespec remaining{static_cast<std::time_t>(seconds.count()),
                       static_cast<long>(nanoseconds.count())};
    // A signal cuts the sleep short; the pauses between events must be whole.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
  }

 private:
  std::vector<CGEventSourceRef> sources_;
};

}  // namespace

std::unique_ptr<EventServices> makeEventServices() {
  return std::make_unique<MacEventServices>();
}

}  // namespace vexel::input
