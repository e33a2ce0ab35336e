#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "input/platform/event_services.h"

namespace vexel::input {

// A provider that acts on nothing and keeps one ordered timeline of every
// creation, setter, post, release and pause, for tests to compare whole.
class RecordingEventServices final : public EventServices {
 public:
  // Test controls.
  bool trusted = true;
  std::optional<std::string> message = "grant missing";
  // Creation number n (1-based, counted over all kinds) returns null.
  std::optional<int> failCreationNumber;
  // Post number n (1-based) throws DeliveryFailure with `failPostReason`.
  std::optional<int> failPostNumber;
  DeliveryFailure::Reason failPostReason = DeliveryFailure::Reason::kUndeliverable;

  // Every call, one line each, e.g. "create#1 mouse type=5 button=0 at=(1,2)".
  const std::vector<std::string>& timeline() const { return timeline_; }
  // Only posts and pauses, described by what was posted, e.g.
  // "mouse type=1 button=0 at=(1,2) state=1" or "pause 8000us".
  std::vector<std::string> posted() const;
  // Buttons and keys pressed and not yet released, by the posted events.
  const std::set<std::string>& held() const { return held_; }
  // Problems with the event lifecycle: a post or setter after release, a
  // second post or release, an event never released.
  std::vector<std::string> lifecycleProblems() const;
  int trustQueries() const { return trustQueries_; }
  void clear();

  bool isProcessTrusted() override;
  std::optional<std::string> accessibilityMessage() const override { return message; }
  EventSourceRef createEventSource(EventSourceState state) override;
  EventRef createMouseEvent(EventSourceRef source, EventType type, Point point,
                            MouseButton button) override;
  EventRef createKeyboardEvent(EventSourceRef source, std::uint16_t keyCode, bool keyDown) override;
  EventRef createScrollWheelEvent(EventSourceRef source, ScrollEventUnit unit,
                                  std::uint32_t wheelCount, std::int32_t wheel1,
                                  std::int32_t wheel2, std::int32_t wheel3) override;
  void setIntegerValueField(EventRef event, EventField field, std::int64_t value) override;
  void setFlags(EventRef event, EventFlags flags) override;
  void setLocation(EventRef event, Point point) override;
  void keyboardSetUnicodeString(EventRef event, std::span<const char16_t> units) override;
  void post(EventTap tap, EventRef event) override;
  void release(EventRef event) override;
  void pause(std::chrono::microseconds duration) override;

 private:
  struct Slot {
    std::string description;  // what it is, with what the setters added
    std::string presses;      // the button or key its post holds down, if any
    std::string lets;         // or lets go of
    bool posted = false;
    bool released = false;
  };
  EventRef create(Slot slot, const std::string& creation);
  Slot* slotFor(EventRef event, const char* what);
  void annotate(EventRef event, const char* what, const std::string& setting,
                const std::string& described);

  std::vector<std::string> timeline_;
  std::vector<Slot> slots_;
  std::vector<std::string> problems_;
  std::set<std::string> held_;
  int creations_ = 0;
  int posts_ = 0;
  int trustQueries_ = 0;
};

}  // namespace vexel::input
