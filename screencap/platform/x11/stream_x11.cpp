#include "screencap/platform/x11/stream_x11.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "screencap/platform/linux/threaded_stream.h"
#include "screencap/platform/x11/grabber.h"

namespace vexel::screencap::x11 {

namespace {

using Clock = std::chrono::steady_clock;

// Monitor changes do not always raise a RandR event; look again this often.
constexpr std::chrono::seconds kLayoutRecheck{1};

struct X11Core final : StreamCore {
  X11Core(std::string display, ContentFilter contentFilter, StreamConfiguration config,
          StreamDelegate& streamDelegate)
      : StreamCore(contentFilter, config, streamDelegate), displayName(std::move(display)) {}
  const std::string displayName;
};

struct CaptureRun {
  std::shared_ptr<X11Core> core;
  std::weak_ptr<CaptureStream> stream;
  Grabber grabber;
  ScalePlan plan;
  // The area is as large as the frame: the screen copy is delivered itself,
  // unscaled, and `plan` is not used.
  bool direct = false;
  CursorImage cursor;
  CursorImage shownCursor;      // as drawn into the screen copy
  bool needFrame = true;        // the whole area must be grabbed
  bool changesPending = false;  // damage was reported and not yet taken
  // Where the last frame produced differs from the one before it; absent
  // when that is not known.
  std::optional<std::vector<Rect>> changedOutput;
  bool reportedIdle = false;  // since the last frame
};

bool intersects(const CursorImage& cursor, const ScreenArea& area) {
  return cursor.width > 0 && cursor.left < area.x + area.width &&
         area.x < cursor.left + cursor.width && cursor.top < area.y + area.height &&
         area.y < cursor.top + cursor.height;
}

bool sameCursor(const CursorImage& a, const CursorImage& b) {
  return a.left == b.left && a.top == b.top && a.serial == b.serial && a.width == b.width &&
         a.height == b.height;
}

void stopWithError(const CaptureRun& run, const PlatformError& error) {
  screencap::stopWithError(run.core, run.stream, error);
}

std::optional<PlatformError> replan(CaptureRun& run, const ScreenArea& area) {
  if (auto failure = prepareSegment(run.grabber, area)) return failure;
  const StreamConfiguration& config = run.core->configuration;
  run.direct = area.width == config.width && area.height == config.height;
  run.needFrame = true;
  if (run.direct) return std::nullopt;
  if (!makeScalePlan(grabbedImage(run.grabber), run.core->pixels.view(), run.plan)) {
    return PlatformError{"cannot prepare the scaling of " + std::to_string(area.width) + "x" +
                         std::to_string(area.height) + " to the stream size"};
  }
  return std::nullopt;
}

// Follows the display when the layout changed; a display that is gone ends
// the stream.
std::optional<PlatformError> followDisplay(CaptureRun& run) {
  ScreenArea area;
  if (auto failure = locateDisplay(run.grabber, run.core->filter.display.displayID, area)) {
    return failure;
  }
  if (area == run.grabber.area) return std::nullopt;
  return replan(run, area);
}

std::optional<PlatformError> setUp(CaptureRun& run) {
  X11Core& core = *run.core;
  if (auto failure = prepareFrame(core)) return failure;
  if (auto failure = connectGrabber(run.grabber, core.displayName)) return failure;
  ScreenArea area;
  if (auto failure = locateDisplay(run.grabber, core.filter.display.displayID, area)) {
    return failure;
  }
  return replan(run, area);
}

bool drawsCursor(const CaptureRun& run) {
  return run.core->configuration.showsCursor && run.grabber.cursorAvailable;
}

// The cursor's rectangle in area coordinates, clipped to the area.
ScreenArea cursorArea(const CursorImage& cursor, const ScreenArea& area) {
  if (cursor.width <= 0 || cursor.height <= 0) return {};
  const int x0 = std::max(cursor.left - area.x, 0);
  const int y0 = std::max(cursor.top - area.y, 0);
  const int x1 = std::min(cursor.left - area.x + cursor.width, area.width);
  const int y1 = std::min(cursor.top - area.y + cursor.height, area.height);
  if (x1 <= x0 || y1 <= y0) return {};
  return {x0, y0, x1 - x0, y1 - y0};
}

ScreenArea boundingBox(const std::vector<ScreenArea>& areas) {
  ScreenArea box = areas.front();
  for (const ScreenArea& a : areas) {
    const int x1 = std::max(box.x + box.width, a.x + a.width);
    const int y1 = std::max(box.y + box.height, a.y + a.height);
    box.x = std::min(box.x, a.x);
    box.y = std::min(box.y, a.y);
    box.width = x1 - box.x;
    box.height = y1 - box.y;
  }
  return box;
}

// Brings the output pixels that show `changed` (area coordinates) up to
// date and returns where they are.
Placement refreshOutput(const CaptureRun& run, const Placement& changed) {
  if (run.direct) {
    makeOpaque(grabbedImage(run.grabber), changed);
    return changed;
  }
  const Placement part = affectedOutput(run.plan, changed);
  runScale(run.plan, part);
  return part;
}

std::optional<PlatformError> produceWholeFrame(CaptureRun& run) {
  auto failure = grabArea(run.grabber);
  if (failure && connectionError(run.grabber) == std::nullopt) {
    // A grab that races with a mode change fails once; a display that is
    // gone fails again.
    if (auto moved = followDisplay(run)) return moved;
    failure = grabArea(run.grabber);
  }
  if (failure) return failure;
  if (drawsCursor(run)) {
    compositeCursor(grabbedImage(run.grabber), run.grabber.area.x, run.grabber.area.y, run.cursor);
    run.shownCursor = run.cursor;
  }
  refreshOutput(run, {0, 0, run.grabber.area.width, run.grabber.area.height});
  run.needFrame = false;
  run.changesPending = false;
  run.changedOutput.reset();
  return std::nullopt;
}

// Refreshes only what changed: the damaged parts of the screen copy, the
// place where the cursor was drawn before (the copy holds its pixels), and
// the output pixels that read any of them. `produced` tells whether anything
// in the area changed at all.
std::optional<PlatformError> produceChangedParts(CaptureRun& run, bool cursorMoved,
                                                 bool& produced) {
  produced = true;
  Changes changes;
  if (auto failure = takeChanges(run.grabber, changes)) return failure;
  if (!changes.known) return produceWholeFrame(run);
  run.changesPending = false;
  std::vector<ScreenArea> grabs = std::move(changes.areas);
  if (grabs.empty() && !cursorMoved) {
    produced = false;  // drawn elsewhere on the screen
    return std::nullopt;
  }
  const ScreenArea& area = run.grabber.area;
  if (drawsCursor(run)) {
    if (const ScreenArea old = cursorArea(run.shownCursor, area); old.width > 0) {
      grabs.push_back(old);
    }
  }
  if (grabs.empty()) {
    // Only the cursor moved, from outside the area into it.
  } else if (!fitsPartialGrab(run.grabber, grabs)) {
    grabs = {boundingBox(grabs)};
    if (!fitsPartialGrab(run.grabber, grabs)) return produceWholeFrame(run);
  }
  if (auto failure = grabRects(run.grabber, grabs)) {
    if (connectionError(run.grabber)) return failure;
    // The area may have changed under the grab; start again from a whole one.
    if (auto moved = followDisplay(run)) return moved;
    return produceWholeFrame(run);
  }
  if (drawsCursor(run)) {
    compositeCursor(grabbedImage(run.grabber), area.x, area.y, run.cursor);
    run.shownCursor = run.cursor;
    if (const ScreenArea now = cursorArea(run.cursor, area); now.width > 0) grabs.push_back(now);
  }
  run.changedOutput.emplace();
  for (const ScreenArea& g : grabs) {
    const Placement part = refreshOutput(run, {g.x, g.y, g.width, g.height});
    if (part.width > 0) {
      run.changedOutput->push_back(Rect{static_cast<double>(part.x), static_cast<double>(part.y),
                                        static_cast<double>(part.width),
                                        static_cast<double>(part.height)});
    }
  }
  return std::nullopt;
}

// One tick: returns false when the stream is to end.
bool tick(CaptureRun& run, Clock::time_point now, Clock::time_point& lastLayoutCheck) {
  StreamCore& core = *run.core;
  Activity activity;
  if (auto failure = collectActivity(run.grabber, activity)) {
    stopWithError(run, *failure);
    return false;
  }
  if (activity.layoutChanged || now - lastLayoutCheck >= kLayoutRecheck) {
    lastLayoutCheck = now;
    if (auto failure = followDisplay(run)) {
      stopWithError(run, *failure);
      return false;
    }
  }
  // Without damage reports every tick grabs the whole area.
  run.needFrame = run.needFrame || !run.grabber.damageAvailable;
  run.changesPending = run.changesPending || activity.damaged;
  bool cursorMoved = false;
  if (drawsCursor(run)) {
    if (auto failure = readCursor(run.grabber, run.cursor)) {
      stopWithError(run, *failure);
      return false;
    }
    cursorMoved =
        !sameCursor(run.cursor, run.shownCursor) &&
        (intersects(run.cursor, run.grabber.area) || intersects(run.shownCursor, run.grabber.area));
  }

  std::shared_ptr<SerialQueue> queue;
  {
    std::lock_guard guard(core.mutex);
    queue = core.queue;
  }
  if (!queue) return true;  // nobody to deliver to; changes stay pending

  bool produced = false;
  std::optional<PlatformError> failure;
  if (run.needFrame) {
    failure = produceWholeFrame(run);
    produced = true;
  } else if (run.changesPending || cursorMoved) {
    failure = produceChangedParts(run, cursorMoved, produced);
  }
  if (failure) {
    stopWithError(run, *failure);
    return false;
  }
  if (!produced) {
    // One idle report for a still spell, not one a frame: a still screen
    // then costs no delivery at all.
    if (run.reportedIdle) return true;
    run.reportedIdle = true;
    return deliver(run.core, run.stream, queue, nullptr, {});
  }
  run.reportedIdle = false;
  return deliver(run.core, run.stream, queue,
                 run.direct ? grabbedFrame(run.grabber) : framePixels(run.core), run.changedOutput);
}

void captureLoop(std::shared_ptr<X11Core> core, std::weak_ptr<CaptureStream> stream,
                 const StartHandler& handler) {
  CaptureRun run{std::move(core), std::move(stream), {}, {}, false, {}, {}, true, false, {}, false};
  if (auto failure = setUp(run)) {
    handler(failure);
    return;
  }
  handler(std::nullopt);

  const auto spacing = frameSpacing(run.core->configuration.minimumFrameInterval);
  Clock::time_point deadline = Clock::now();
  Clock::time_point lastLayoutCheck = deadline;
  for (;;) {
    {
      std::unique_lock lock(run.core->mutex);
      // The frame buffer is reused, so a frame waits for the previous delivery.
      run.core->wake.wait_until(lock, deadline, [&] { return run.core->stopping; });
      if (waitForDelivery(*run.core, lock)) return;
    }
    const Clock::time_point startedAt = Clock::now();
    if (!tick(run, startedAt, lastLayoutCheck)) return;
    // A late frame pushes the schedule back rather than bunching frames up.
    deadline = std::max(deadline + spacing, startedAt + spacing);
  }
}

class X11StreamFactory final : public StreamFactory {
 public:
  explicit X11StreamFactory(std::string displayName) : displayName_(std::move(displayName)) {}
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            StreamDelegate& delegate) override {
    auto core = std::make_shared<X11Core>(displayName_, filter, configuration, delegate);
    return std::make_shared<ThreadedStream>(
        core, [core](std::weak_ptr<CaptureStream> stream, const StartHandler& handler) {
          captureLoop(core, std::move(stream), handler);
        });
  }

 private:
  std::string displayName_;
};

}  // namespace

std::unique_ptr<StreamFactory> makeX11StreamFactory(std::string displayName) {
  return std::make_unique<X11StreamFactory>(std::move(displayName));
}

}  // namespace vexel::screencap::x11
