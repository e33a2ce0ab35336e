#include "screencap/platform/std/std_dispatch.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace vexel::screencap {

void TimerSchedule::arm(DispatchClock::time_point deadline, std::chrono::nanoseconds every) {
  next = deadline;
  interval = std::max(every, std::chrono::nanoseconds(0));
  armed = true;
}

bool TimerSchedule::fire(DispatchClock::time_point now) {
  if (!armed || now < next) return false;
  if (interval.count() == 0) {
    armed = false;
  } else {
    const auto behind = now - next;
    next += interval * (behind / interval + 1);
  }
  if (inFlight) {
    pending = true;
    return false;
  }
  inFlight = true;
  return true;
}

bool TimerSchedule::finished() {
  if (pending) {
    pending = false;
    return true;
  }
  inFlight = false;
  return false;
}

namespace {

// Enough for every queue of the streamer to block in a write at once, with
// room for timers; beyond it work waits for a free thread.
constexpr std::size_t kMaxWorkers = 16;

struct TimerState {
  std::shared_ptr<SerialQueue> queue;
  Work handler;
  TimerSchedule schedule;
  bool resumed = false;
  bool cancelled = false;
  bool running = false;
  std::thread::id runningOn;
  std::condition_variable idle;
};

}  // namespace

class StdDispatch::Core : public std::enable_shared_from_this<StdDispatch::Core> {
 public:
  void start() {
    const std::scoped_lock lock(mutex_);
    scheduler_ = std::thread([this] { runScheduler(); });
  }

  void shutdown() {
    std::deque<Work> ready;
    std::multimap<DispatchClock::time_point, Work> delayed;
    std::vector<std::shared_ptr<TimerState>> timers;
    {
      const std::scoped_lock lock(mutex_);
      stopping_ = true;
      // Dropped outside the lock: their captures may own queues that call back in.
      ready.swap(ready_);
      delayed.swap(delayed_);
      timers.swap(timers_);
    }
    schedulerWake_.notify_all();
    workWake_.notify_all();
    joinUnlessSelf(scheduler_);
    for (auto& worker : workers_) joinUnlessSelf(worker);
  }

  void submit(Work work) {
    const std::scoped_lock lock(mutex_);
    submitLocked(std::move(work));
  }

  void submitAfter(DispatchClock::time_point when, Work work) {
    {
      const std::scoped_lock lock(mutex_);
      if (stopping_) return;
      delayed_.emplace(when, std::move(work));
    }
    schedulerWake_.notify_one();
  }

  // --- timers; every field of TimerState is guarded by mutex_
  void schedule(const std::shared_ptr<TimerState>& timer, DispatchClock::time_point deadline,
                std::chrono::nanoseconds interval) {
    {
      const std::scoped_lock lock(mutex_);
      timer->schedule.arm(deadline, interval);
    }
    schedulerWake_.notify_one();
  }

  void setHandler(const std::shared_ptr<TimerState>& timer, Work handler) {
    const std::scoped_lock lock(mutex_);
    timer->handler = std::move(handler);
  }

  void resume(const std::shared_ptr<TimerState>& timer) {
    {
      const std::scoped_lock lock(mutex_);
      if (timer->resumed || stopping_) return;
      timer->resumed = true;
      timers_.push_back(timer);
    }
    schedulerWake_.notify_one();
  }

  // Once this returns no tick of `timer` is running or will start, unless it
  // is called from inside the tick itself.
  void cancel(const std::shared_ptr<TimerState>& timer) {
    std::unique_lock lock(mutex_);
    timer->cancelled = true;
    std::erase(timers_, timer);
    timer->idle.wait(
        lock, [&] { return !timer->running || timer->runningOn == std::this_thread::get_id(); });
  }

 private:
  static void joinUnlessSelf(std::thread& thread) {
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      thread.join();
    }
  }

  void submitLocked(Work work) {
    if (stopping_) return;
    ready_.push_back(std::move(work));
    if (ready_.size() > idleWorkers_ && workers_.size() < kMaxWorkers) {
      workers_.emplace_back([this] { runWorker(); });
    } else {
      workWake_.notify_one();
    }
  }

  void runWorker() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idleWorkers_;
      workWake_.wait(lock, [&] { return stopping_ || !ready_.empty(); });
      --idleWorkers_;
      if (stopping_) return;
      Work work = std::move(ready_.front());
      ready_.pop_front();
      lock.unlock();
      work();
      work = nullptr;
      lock.lock();
    }
  }

  void runScheduler() {
    std::unique_lock lock(mutex_);
    std::vector<std::shared_ptr<TimerState>> due;
    while (!stopping_) {
      const auto now = DispatchClock::now();
      while (!delayed_.empty() && delayed_.begin()->first <= now) {
        submitLocked(std::move(delayed_.begin()->second));
        delayed_.erase(delayed_.begin());
      }
      std::optional<DispatchClock::time_point> wake;
      if (!delayed_.empty()) wake = delayed_.begin()->first;
      for (const auto& timer : timers_) {
        if (timer->schedule.fire(now)) due.push_back(timer);
        if (timer->schedule.armed)
          wake = std::min(wake.value_or(timer->schedule.next), timer->schedule.next);
      }
      if (!due.empty()) {
        // Queues take their own lock and then ours; never the other way round.
        lock.unlock();
        for (const auto& timer : due) enqueueTick(timer);
        due.clear();
        lock.lock();
        continue;
      }
      if (wake) {
        schedulerWake_.wait_until(lock, *wake);
      } else {
        schedulerWake_.wait(lock);
      }
    }
  }

  void enqueueTick(const std::shared_ptr<TimerState>& timer) {
    // The queue is fixed at creation, so reading it needs no lock.
    timer->queue->async([self = shared_from_this(), timer] { self->runTick(timer); });
  }

  void runTick(const std::shared_ptr<TimerState>& timer) {
    Work handler;
    {
      const std::scoped_lock lock(mutex_);
      if (timer->cancelled) {
        timer->schedule.inFlight = false;
        return;
      }
      timer->running = true;
      timer->runningOn = std::this_thread::get_id();
      handler = timer->handler;
    }
    if (handler) handler();
    bool again = false;
    {
      const std::scoped_lock lock(mutex_);
      timer->running = false;
      timer->runningOn = {};
      timer->idle.notify_all();
      again = !timer->cancelled && timer->schedule.finished();
    }
    if (again) enqueueTick(timer);
  }

  std::mutex mutex_;
  std::condition_variable schedulerWake_;
  std::condition_variable workWake_;
  std::thread scheduler_;
  std::vector<std::thread> workers_;
  std::size_t idleWorkers_ = 0;
  std::deque<Work> ready_;
  std::multimap<DispatchClock::time_point, Work> delayed_;
  std::vector<std::shared_ptr<TimerState>> timers_;
  bool stopping_ = false;
};

namespace {

// Runs its items one at a time on pool threads, in submission order.
class StdSerialQueue final : public SerialQueue,
                             public std::enable_shared_from_this<StdSerialQueue> {
 public:
  StdSerialQueue(std::shared_ptr<StdDispatch::Core> core, std::string label)
      : core_(std::move(core)), label_(std::move(label)) {}

  const std::string& label() const override { return label_; }

  void async(Work work) override {
    {
      const std::scoped_lock lock(mutex_);
      items_.push_back(std::move(work));
      if (draining_) return;
      draining_ = true;
    }
    core_->submit([self = shared_from_this()] { self->drain(); });
  }

 private:
  void drain() {
    for (;;) {
      Work work;
      {
        const std::scoped_lock lock(mutex_);
        if (items_.empty()) {
          draining_ = false;
          return;
        }
        work = std::move(items_.front());
        items_.pop_front();
      }
      work();
    }
  }

  std::shared_ptr<StdDispatch::Core> core_;
  const std::string label_;
  std::mutex mutex_;
  std::deque<Work> items_;
  bool draining_ = false;
};

class StdTimerSource final : public TimerSource {
 public:
  StdTimerSource(std::shared_ptr<StdDispatch::Core> core, std::shared_ptr<SerialQueue> queue)
      : core_(std::move(core)), state_(std::make_shared<TimerState>()) {
    state_->queue = std::move(queue);
  }
  ~StdTimerSource() override { core_->cancel(state_); }
  StdTimerSource(const StdTimerSource&) = delete;
  StdTimerSource& operator=(const StdTimerSource&) = delete;

  void schedule(DispatchClock::time_point deadline, std::chrono::nanoseconds interval,
                std::chrono::nanoseconds /*leeway*/) override {
    // Ticks are taken as close to their deadline as the scheduler wakes; the
    // leeway allows lateness, which this implementation never asks for.
    core_->schedule(state_, deadline, interval);
  }
  void setEventHandler(Work handler) override { core_->setHandler(state_, std::move(handler)); }
  void resume() override { core_->resume(state_); }

 private:
  std::shared_ptr<StdDispatch::Core> core_;
  std::shared_ptr<TimerState> state_;
};

}  // namespace

StdDispatch::StdDispatch() : core_(std::make_shared<Core>()) {
  core_->start();
}

StdDispatch::~StdDispatch() {
  core_->shutdown();
}

DispatchClock::time_point StdDispatch::now() {
  return DispatchClock::now();
}

void StdDispatch::asyncAfter(std::chrono::nanoseconds delay, Work work) {
  if (delay.count() <= 0) {
    core_->submit(std::move(work));
  } else {
    core_->submitAfter(DispatchClock::now() + delay, std::move(work));
  }
}

std::shared_ptr<SerialQueue> StdDispatch::makeSerialQueue(std::string label) {
  return std::make_shared<StdSerialQueue>(core_, std::move(label));
}

std::unique_ptr<TimerSource> StdDispatch::makeTimerSource(std::shared_ptr<SerialQueue> queue) {
  return std::make_unique<StdTimerSource>(core_, std::move(queue));
}

void StdDispatch::parkMain() {
  // The process ends through an exit on another thread.
  for (;;) ::pause();
}

std::unique_ptr<Dispatch> makeDispatch() {
  return std::make_unique<StdDispatch>();
}

}  // namespace vexel::screencap
