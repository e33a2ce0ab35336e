#include "screencap/platform/mac/mac_dispatch.h"

#include <cstdint>
#include <memory>
#include <utility>

// Every block below drains its own autorelease pool: a queue that inherits
// its frequency from a global queue gives a work item none, and what the
// frameworks autorelease there would otherwise wait for the worker thread's
// pool, at no guaranteed time.

namespace vexel::screencap {

namespace {

std::uint64_t nonNegativeNanoseconds(std::chrono::nanoseconds duration) {
  return duration.count() < 0 ? 0 : static_cast<std::uint64_t>(duration.count());
}

// Deadlines are steady-clock points; dispatch measures from its own clock, so
// the deadline is carried over as a distance from now.
dispatch_time_t dispatchTime(DispatchClock::time_point deadline) {
  const DispatchClock::time_point now = DispatchClock::now();
  if (deadline <= now) return dispatch_time(DISPATCH_TIME_NOW, 0);
  const auto distance = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now);
  return dispatch_time(DISPATCH_TIME_NOW, distance.count());
}

class MacTimerSource final : public TimerSource {
 public:
  MacTimerSource(std::shared_ptr<SerialQueue> queue, dispatch_source_t source)
      : queue_(std::move(queue)), source_(source) {}
  MacTimerSource(const MacTimerSource&) = delete;
  MacTimerSource& operator=(const MacTimerSource&) = delete;

  // The handler may refer to its owner, so it must not fire after the owner
  // let go. A source never resumed is activated first: libdispatch traps on
  // the release of an inactive object.
  ~MacTimerSource() override {
    dispatch_source_cancel(source_);
    if (!resumed_) dispatch_activate(source_);
  }

  void schedule(DispatchClock::time_point deadline, std::chrono::nanoseconds interval,
                std::chrono::nanoseconds leeway) override {
    dispatch_source_set_timer(source_, dispatchTime(deadline), nonNegativeNanoseconds(interval),
                              nonNegativeNanoseconds(leeway));
  }

  void setEventHandler(Work handler) override {
    dispatch_source_set_event_handler(source_, ^{
      @autoreleasepool {
        handler();
      }
    });
  }

  // A new source is inactive, not suspended: activation starts it, and a
  // dispatch_resume beyond that would be an over-resume, which traps.
  void resume() override {
    if (resumed_) return;
    resumed_ = true;
    dispatch_activate(source_);
  }

 private:
  std::shared_ptr<SerialQueue> queue_;
  dispatch_source_t source_;
  bool resumed_ = false;
};

class MacDispatch final : public Dispatch {
 public:
  MacDispatch() {
    global_ = dispatch_get_global_queue(QOS_CLASS_DEFAULT, 0);
    // Null only for an unknown quality of service; a private concurrent queue
    // keeps the start-up timers working all the same.
    if (global_ == nullptr) {
      global_ = dispatch_queue_create("vexel.screencap.global", DISPATCH_QUEUE_CONCURRENT);
    }
  }

  DispatchClock::time_point now() override { return DispatchClock::now(); }

  void asyncAfter(std::chrono::nanoseconds delay, Work work) override {
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, delay.count()), global_, ^{
      @autoreleasepool {
        work();
      }
    });
  }

  std::shared_ptr<SerialQueue> makeSerialQueue(std::string label) override {
    dispatch_queue_t queue = dispatch_queue_create(label.c_str(), DISPATCH_QUEUE_SERIAL);
    if (queue == nullptr) return nullptr;
    return std::make_shared<MacSerialQueue>(std::move(label), queue);
  }

  std::unique_ptr<TimerSource> makeTimerSource(std::shared_ptr<SerialQueue> queue) override {
    dispatch_queue_t target = nativeQueue(queue.get());
    // A queue of another provider cannot be targeted; a private serial queue
    // under its label still runs the ticks one at a time.
    if (target == nullptr) {
      const std::string label = queue ? queue->label() : std::string("vexel.screencap.timer");
      target = dispatch_queue_create(label.c_str(), DISPATCH_QUEUE_SERIAL);
      if (target == nullptr) return nullptr;
    }
    dispatch_source_t source = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, target);
    if (source == nullptr) return nullptr;
    return std::make_unique<MacTimerSource>(std::move(queue), source);
  }

  [[noreturn]] void parkMain() override { dispatch_main(); }

 private:
  dispatch_queue_t global_ = nullptr;
};

}  // namespace

MacSerialQueue::MacSerialQueue(std::string label, dispatch_queue_t queue)
    : label_(std::move(label)), queue_(queue) {}

void MacSerialQueue::async(Work work) {
  dispatch_async(queue_, ^{
    @autoreleasepool {
      work();
    }
  });
}

dispatch_queue_t nativeQueue(const SerialQueue* queue) {
  const auto* mac = dynamic_cast<const MacSerialQueue*>(queue);
  return mac != nullptr ? mac->queue() : nullptr;
}

std::unique_ptr<Dispatch> makeDispatch() {
  return std::make_unique<MacDispatch>();
}

}  // namespace vexel::screencap
