#include "input/platform/unavailable/unavailable_events.h"

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace vexel::input {

namespace {

// The provider for a platform it cannot act on: not trusted, and no event can
// be made, so every action is answered, none performed.
class UnavailableEventServices final : public EventServices {
 public:
  explicit UnavailableEventServices(std::string message) : message_(std::move(message)) {}
  bool isProcessTrusted() override { return false; }
  std::optional<std::string> accessibilityMessage() const override { return message_; }
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

 private:
  std::string message_;
};

}  // namespace

std::unique_ptr<EventServices> makeUnavailableEventServices(std::string message) {
  return std::make_unique<UnavailableEventServices>(std::move(message));
}

}  // namespace vexel::input
