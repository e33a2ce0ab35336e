#pragma once

#include <chrono>
#include <memory>

#include "screencap/platform/dispatch.h"

namespace vexel::screencap {

// The timing rule of a repeating timer, kept apart from threads and clocks.
// Deadlines lie on a fixed grid (first deadline + k × interval), so a late
// tick does not shift the ones after it; ticks missed meanwhile collapse into
// at most one late tick.
struct TimerSchedule {
  DispatchClock::time_point next{};
  std::chrono::nanoseconds interval{0};  // zero: fires once
  bool armed = false;                    // a deadline is pending
  bool inFlight = false;                 // a tick is queued or running
  bool pending = false;                  // a deadline passed while in flight

  void arm(DispatchClock::time_point deadline, std::chrono::nanoseconds every);
  // At `now`: whether a tick must be queued. Moves `next` past `now`.
  bool fire(DispatchClock::time_point now);
  // After a tick: whether the one that fell due meanwhile must be queued now.
  bool finished();
};

// Dispatch on the standard library: one scheduler thread for deadlines and a
// small pool, grown on demand, that runs one-shot work and serial queues.
class StdDispatch final : public Dispatch {
 public:
  StdDispatch();
  // Stops the threads; work not yet started is dropped.
  ~StdDispatch() override;
  StdDispatch(const StdDispatch&) = delete;
  StdDispatch& operator=(const StdDispatch&) = delete;

  DispatchClock::time_point now() override;
  void asyncAfter(std::chrono::nanoseconds delay, Work work) override;
  std::shared_ptr<SerialQueue> makeSerialQueue(std::string label) override;
  std::unique_ptr<TimerSource> makeTimerSource(std::shared_ptr<SerialQueue> queue) override;
  [[noreturn]] void parkMain() override;

  class Core;

 private:
  std::shared_ptr<Core> core_;
};

}  // namespace vexel::screencap
