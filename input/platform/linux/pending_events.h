#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "input/platform/event_services.h"

namespace vexel::input {

// An event as the Linux providers hold it between its creation and its post:
// they act only when it is posted.
struct PendingEvent {
  enum class Kind : std::uint8_t { kMouse, kKeyboard, kScroll };
  Kind kind = Kind::kMouse;
  EventType type = EventType::kMouseMoved;
  Point point;
  std::optional<Point> location;
  std::uint16_t keyCode = 0;
  bool keyDown = false;
  EventFlags flags = 0;
  std::optional<std::u16string> text;
  std::int32_t wheel1 = 0;
  std::int32_t wheel2 = 0;
};

// What a mouse event does to a button; nothing for moves and drags, which
// leave the buttons as they are.
struct ButtonChange {
  MouseButton button;
  bool press;
};
std::optional<ButtonChange> buttonChange(EventType type);

// Pixels of a macOS pixel scroll per wheel click: macOS counts about ten
// pixels per line and one wheel click scrolls about three lines in GTK and Qt.
inline constexpr std::int32_t kPixelsPerWheelClick = 30;

// Whole wheel clicks for `pixels` plus the pixels left over before; the rest
// waits for the next scroll in the same direction.
std::int64_t takeWheelClicks(std::int64_t& carried, std::int32_t pixels);

// The half of the event services that only records what an event will do,
// shared by the Linux providers; each posts in its own way.
class PendingEventServices : public EventServices {
 public:
  EventSourceRef createEventSource(EventSourceState) override { return nullptr; }
  EventRef createMouseEvent(EventSourceRef, EventType type, Point point, MouseButton) override;
  // No event for a key code outside the key table.
  EventRef createKeyboardEvent(EventSourceRef, std::uint16_t keyCode, bool keyDown) override;
  EventRef createScrollWheelEvent(EventSourceRef, ScrollEventUnit, std::uint32_t,
                                  std::int32_t wheel1, std::int32_t wheel2, std::int32_t) override;

  // Click states have no counterpart here: the timing makes toolkits count clicks.
  void setIntegerValueField(EventRef, EventField, std::int64_t) override {}
  void setFlags(EventRef event, EventFlags flags) override { pending(event).flags = flags; }
  void setLocation(EventRef event, Point point) override { pending(event).location = point; }
  void keyboardSetUnicodeString(EventRef event, std::span<const char16_t> units) override;

  // Checks the display is there, hands the event to the hook of its kind,
  // then waits for it to be handled; any step may throw DeliveryFailure.
  void post(EventTap, EventRef event) final;
  void release(EventRef event) override;
  void pause(std::chrono::microseconds duration) override;

 protected:
  static PendingEvent& pending(EventRef event) { return *reinterpret_cast<PendingEvent*>(event); }

 private:
  virtual void beginPost() = 0;
  virtual void postMouse(const PendingEvent& e) = 0;
  virtual void postScroll(const PendingEvent& e) = 0;
  virtual void postKey(const PendingEvent& e) = 0;
  virtual void endPost() = 0;
};

}  // namespace vexel::input
