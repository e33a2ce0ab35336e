#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace vexel::screencap {

using Work = std::function<void()>;
using DispatchClock = std::chrono::steady_clock;

// A labelled queue that runs its work items one at a time, in order.
class SerialQueue {
 public:
  virtual ~SerialQueue() = default;
  virtual const std::string& label() const = 0;
  virtual void async(Work work) = 0;
};

// A repeating timer whose handler runs on one serial queue, never overlapping
// itself, first at the deadline and then once per interval measured from that
// deadline. A tick that falls due while the previous one still runs is taken
// once, late; missed ticks are never run in a burst to catch up.
class TimerSource {
 public:
  virtual ~TimerSource() = default;
  virtual void schedule(DispatchClock::time_point deadline, std::chrono::nanoseconds interval,
                        std::chrono::nanoseconds leeway) = 0;
  virtual void setEventHandler(Work handler) = 0;
  virtual void resume() = 0;
};

// The dispatch services the streamer's start-up and callbacks run on.
class Dispatch {
 public:
  virtual ~Dispatch() = default;
  virtual DispatchClock::time_point now() = 0;
  // Runs `work` once on a pool thread of the global queue, no earlier than `delay`.
  virtual void asyncAfter(std::chrono::nanoseconds delay, Work work) = 0;
  virtual std::shared_ptr<SerialQueue> makeSerialQueue(std::string label) = 0;
  virtual std::unique_ptr<TimerSource> makeTimerSource(std::shared_ptr<SerialQueue> queue) = 0;
  // Parks the calling (main) thread for good; the queues keep running.
  [[noreturn]] virtual void parkMain() = 0;
};

// Defined once in each provider's file.
std::unique_ptr<Dispatch> makeDispatch();

}  // namespace vexel::screencap
