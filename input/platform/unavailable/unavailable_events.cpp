#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "input/platform/event_services.h"

namespace vexel::input {

namespace {

// The provider for builds without a platform to act on: not trusted, and no
// event can be made, so every action is answered, none performed.
class UnavailableEventServices final : public EventServices {
 public:
  bool isProcessTrusted() override { return false; }
  std::optional<std::string> accessibilityMessage() const override {
    return "No input platform is available in this build of vexel-input: it cannot post mouse "
           "or keyboard events. Rebuild it on a machine with the X11 (XCB/XTEST) or macOS "
           "development libraries.";
  }
  EventSourceRef createEventSource(EventSourceState) override { return nullptr; }
  EventRef createMouseEvent(EventSourceRef, EventType, Point, MouseButton) override {
    return nullptr;
  }
  EventRef createKeyboardEvent(EventSourceRef, std::uint16_t, bool) override { return nullptr; }
  EventRef createScrollWheelEvent(EventSourceRef, ScrollEventUnit, std::uint32_t, std::int32_t,
                                  std::int32_t, std::int32_t) override {
    return nullptr;
  }
  void setIntegerValueField(EventRef, EventField, std::int64_t) override {}
  void setFlags(EventRef, EventFlags) override {}
  void setLocation(EventRef, Point) override {}
  void keyboardSetUnicodeString(EventRef, std::span<const char16_t>) override {}
  void post(EventTap, EventRef) override {}
  void release(EventRef) override {}
  void pause(std::chrono::microseconds duration) override { std::this_thread::sleep_for(duration); }
};

}  // namespace

std::unique_ptr<EventServices> makeEventServices() {
  return std::make_unique<UnavailableEventServices>();
}

}  // namespace vexel::input
