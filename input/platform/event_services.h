#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace vexel::input {

// Values keep the numbers of the Core Graphics constants they stand for, so a
// provider on macOS passes them through and others translate them.
enum class EventType : std::uint32_t {
  kLeftMouseDown = 1,
  kLeftMouseUp = 2,
  kRightMouseDown = 3,
  kRightMouseUp = 4,
  kMouseMoved = 5,
  kLeftMouseDragged = 6,
  kRightMouseDragged = 7,
  kOtherMouseDown = 25,
  kOtherMouseUp = 26,
  kOtherMouseDragged = 27,
};

enum class MouseButton : std::uint32_t { kLeft = 0, kRight = 1, kCenter = 2 };

enum class EventSourceState : std::int32_t { kHIDSystemState = 1 };
enum class EventTap : std::uint32_t { kHIDEventTap = 0 };
enum class ScrollEventUnit : std::uint32_t { kPixel = 0 };
enum class EventField : std::uint32_t { kMouseEventClickState = 1 };

using EventFlags = std::uint64_t;
inline constexpr EventFlags kEventFlagMaskShift = 0x20000;
inline constexpr EventFlags kEventFlagMaskControl = 0x40000;
inline constexpr EventFlags kEventFlagMaskAlternate = 0x80000;
inline constexpr EventFlags kEventFlagMaskCommand = 0x100000;

struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

// Opaque handles owned by the provider. A null handle is a failed creation
// (events) or an absent source (sources).
struct OpaqueEvent;
struct OpaqueEventSource;
using EventRef = OpaqueEvent*;
using EventSourceRef = OpaqueEventSource*;

// Thrown by `post` when the platform did not deliver the event, so that no
// request is answered as done when it was not. Whatever the failed event would
// have left half-pressed (a key, a modifier) is let go before it is thrown; the
// event itself still belongs to the caller, who releases it. Posting never
// fails on macOS.
struct DeliveryFailure {
  enum class Reason : std::uint8_t {
    kUndeliverable,  // this display cannot make the event (no key for a character)
    kAccessLost,     // the display went away; the grant query now says false
  };
  Reason reason;
};

// Everything the injector needs from the platform. Events are created, set up,
// posted once and released at once; none is reused after release.
class EventServices {
 public:
  virtual ~EventServices() = default;

  // The Accessibility grant; never prompts.
  virtual bool isProcessTrusted() = 0;
  // The provider's own text for the reply beside "accessibility_not_granted",
  // where the macOS repair steps would mislead; none keeps those.
  virtual std::optional<std::string> accessibilityMessage() const { return std::nullopt; }

  virtual EventSourceRef createEventSource(EventSourceState state) = 0;
  virtual EventRef createMouseEvent(EventSourceRef source, EventType type, Point point,
                                    MouseButton button) = 0;
  virtual EventRef createKeyboardEvent(EventSourceRef source, std::uint16_t keyCode,
                                       bool keyDown) = 0;
  virtual EventRef createScrollWheelEvent(EventSourceRef source, ScrollEventUnit unit,
                                          std::uint32_t wheelCount, std::int32_t wheel1,
                                          std::int32_t wheel2, std::int32_t wheel3) = 0;

  virtual void setIntegerValueField(EventRef event, EventField field, std::int64_t value) = 0;
  virtual void setFlags(EventRef event, EventFlags flags) = 0;
  virtual void setLocation(EventRef event, Point point) = 0;
  virtual void keyboardSetUnicodeString(EventRef event, std::span<const char16_t> units) = 0;

  // Returns once the event is delivered; throws DeliveryFailure otherwise.
  virtual void post(EventTap tap, EventRef event) = 0;
  virtual void release(EventRef event) = 0;

  // Blocks the calling thread; the only way the injector waits.
  virtual void pause(std::chrono::microseconds duration) = 0;
};

// Defined once in each provider's file; CMake links the platform's provider.
std::unique_ptr<EventServices> makeEventServices();

}  // namespace vexel::input
