#include "screencap/platform/std/std_dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace vexel::screencap {
namespace {

using std::chrono::milliseconds;
constexpr auto kEnds = std::chrono::seconds(20);  // generous: only "it did end"

DispatchClock::time_point at(int ms) {
  return DispatchClock::time_point(milliseconds(ms));
}

TEST(TimerSchedule, KeepsTheGridAndNeverBurstsAfterALateTick) {
  TimerSchedule s;
  s.arm(at(100), milliseconds(10));
  EXPECT_FALSE(s.fire(at(99)));
  EXPECT_TRUE(s.fire(at(100)));
  EXPECT_EQ(s.next, at(110));
  EXPECT_FALSE(s.finished()) << "nothing fell due meanwhile";
  // Woken 2.5 intervals late: one tick, and the next deadline stays on the grid.
  EXPECT_TRUE(s.fire(at(135)));
  EXPECT_EQ(s.next, at(140));
  EXPECT_FALSE(s.finished());
  EXPECT_FALSE(s.fire(at(139)));
  EXPECT_TRUE(s.fire(at(140)));
  EXPECT_EQ(s.next, at(150));
}

TEST(TimerSchedule, DeadlinesPassedDuringASlowTickCollapseIntoOne) {
  TimerSchedule s;
  s.arm(at(0), milliseconds(10));
  ASSERT_TRUE(s.fire(at(0)));
  // The tick runs for 45 ms; four deadlines pass.
  int queued = 0;
  for (int t = 10; t <= 40; t += 10) queued += s.fire(at(t)) ? 1 : 0;
  EXPECT_EQ(queued, 0) << "never concurrent with itself";
  EXPECT_TRUE(s.finished()) << "one late tick";
  EXPECT_FALSE(s.finished()) << "and only one";
  EXPECT_EQ(s.next, at(50));
}

TEST(TimerSchedule, ZeroIntervalFiresOnce) {
  TimerSchedule s;
  s.arm(at(5), milliseconds(0));
  EXPECT_TRUE(s.fire(at(7)));
  EXPECT_FALSE(s.finished());
  EXPECT_FALSE(s.armed);
  EXPECT_FALSE(s.fire(at(1000)));
}

// Counts entries into a region and remembers whether two ever overlapped.
struct OverlapProbe {
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  void enter() {
    if (inside.fetch_add(1) != 0) overlapped = true;
  }
  void leave() { inside.fetch_sub(1); }
};

TEST(StdDispatch, SerialQueueRunsItemsOneAtATimeInOrder) {
  StdDispatch dispatch;
  auto queue = dispatch.makeSerialQueue("test.serial");
  EXPECT_EQ(queue->label(), "test.serial");
  OverlapProbe probe;
  std::vector<int> seen;  // written only by the queue's items
  std::promise<void> done;
  constexpr int kItems = 300;
  for (int i = 0; i < kItems; ++i) {
    queue->async([&, i] {
      probe.enter();
      seen.push_back(i);
      if (i % 50 == 0) std::this_thread::yield();
      probe.leave();
      if (i == kItems - 1) done.set_value();
    });
  }
  ASSERT_EQ(done.get_future().wait_for(kEnds), std::future_status::ready);
  EXPECT_FALSE(probe.overlapped);
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kItems));
  for (int i = 0; i < kItems; ++i) EXPECT_EQ(seen[i], i);
}

TEST(StdDispatch, DelayedWorkRunsOnceNoEarlierThanItsDelay) {
  StdDispatch dispatch;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<milliseconds, DispatchClock::time_point>> ran;
  const auto start = dispatch.now();
  for (const int ms : {30, 0, 10, 20}) {
    dispatch.asyncAfter(milliseconds(ms), [&, ms] {
      const std::scoped_lock lock(mutex);
      ran.emplace_back(milliseconds(ms), DispatchClock::now());
      changed.notify_all();
    });
  }
  std::unique_lock lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, kEnds, [&] { return ran.size() == 4; }));
  for (const auto& [delay, when] : ran) EXPECT_GE(when - start, delay);
}

TEST(StdDispatch, DelayedWorkBlockedInAWriteDoesNotHoldUpTheRest) {
  StdDispatch dispatch;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> other;
  dispatch.asyncAfter(milliseconds(0), [released] { released.wait(); });
  dispatch.asyncAfter(milliseconds(1), [&] { other.set_value(); });
  EXPECT_EQ(other.get_future().wait_for(kEnds), std::future_status::ready);
  release.set_value();
}

TEST(StdDispatch, TimerTicksOnItsQueueWithoutOverlapUntilDestroyed) {
  StdDispatch dispatch;
  auto queue = dispatch.makeSerialQueue("test.timer");
  OverlapProbe probe;
  std::atomic<int> ticks{0};
  std::promise<void> enough;
  auto timer = dispatch.makeTimerSource(queue);
  timer->schedule(dispatch.now(), milliseconds(1), milliseconds(2));
  timer->setEventHandler([&] {
    probe.enter();
    // Some ticks run longer than the interval, as a blocked write would.
    if (ticks % 3 == 0) std::this_thread::sleep_for(milliseconds(3));
    probe.leave();
    if (++ticks == 20) enough.set_value();
  });
  // Items of the same queue interleave with ticks but never overlap them.
  for (int i = 0; i < 20; ++i) {
    queue->async([&] {
      probe.enter();
      probe.leave();
    });
  }
  EXPECT_EQ(ticks.load(), 0) << "nothing before resume";
  timer->resume();
  ASSERT_EQ(enough.get_future().wait_for(kEnds), std::future_status::ready);
  timer.reset();
  const int afterCancel = ticks.load();
  // A full round through the same queue after the cancel: no tick can start anymore.
  std::promise<void> drained;
  dispatch.asyncAfter(milliseconds(10), [&] { queue->async([&] { drained.set_value(); }); });
  ASSERT_EQ(drained.get_future().wait_for(kEnds), std::future_status::ready);
  EXPECT_EQ(ticks.load(), afterCancel);
  EXPECT_FALSE(probe.overlapped);
}

TEST(StdDispatch, DestroyingATimerWaitsForItsRunningTick) {
  StdDispatch dispatch;
  auto timer = dispatch.makeTimerSource(dispatch.makeSerialQueue("test.cancel"));
  std::promise<void> entered;
  std::atomic<bool> finished{false};
  std::atomic<int> ticks{0};
  timer->schedule(dispatch.now(), milliseconds(1), milliseconds(0));
  timer->setEventHandler([&] {
    if (ticks++ != 0) return;
    entered.set_value();
    std::this_thread::sleep_for(milliseconds(20));
    finished = true;
  });
  timer->resume();
  ASSERT_EQ(entered.get_future().wait_for(kEnds), std::future_status::ready);
  timer.reset();
  EXPECT_TRUE(finished) << "the handler's object may go away right after";
}

TEST(StdDispatch, ShutsDownWithWorkStillPending) {
  auto future = std::async(std::launch::async, [] {
    StdDispatch dispatch;
    dispatch.asyncAfter(std::chrono::hours(1), [] {});
    auto queue = dispatch.makeSerialQueue("test.pending");
    auto timer = dispatch.makeTimerSource(queue);
    timer->schedule(dispatch.now() + std::chrono::hours(1), milliseconds(5), milliseconds(2));
    timer->setEventHandler([] {});
    timer->resume();
    queue->async([] {});
  });
  EXPECT_EQ(future.wait_for(kEnds), std::future_status::ready);
}

}  // namespace
}  // namespace vexel::screencap
