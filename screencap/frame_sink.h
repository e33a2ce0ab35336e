#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "screencap/diagnostics.h"
#include "screencap/platform/capture.h"
#include "screencap/platform/dispatch.h"

namespace vexel::screencap {

// Where a frame differs from another one, in pixels: a few rectangles, or
// the whole frame.
struct ChangedAreas {
  struct Area {
    std::size_t x = 0;
    std::size_t y = 0;
    std::size_t width = 0;
    std::size_t height = 0;
  };
  bool whole = false;
  std::vector<Area> areas;

  static ChangedAreas all() { return {true, {}}; }
  // The union; the whole frame once it takes too many rectangles to say.
  void add(const ChangedAreas& more);
};

// The changes a complete frame's attachments report, clipped to the frame;
// the whole frame when they report none or cannot be read.
ChangedAreas reportedChanges(const std::optional<std::vector<AttachmentDictionary>>& attachments,
                             std::size_t width, std::size_t height);

// Keeps the latest complete frame of the capture stream, tightly packed, and
// writes it to stdout at a steady rate, repeating it while the screen is idle.
class FrameSink final : public StreamOutput, public StreamDelegate {
 public:
  FrameSink(std::int64_t fps, const Outlet& outlet, Dispatch& dispatch);
  ~FrameSink() override;
  FrameSink(const FrameSink&) = delete;
  FrameSink& operator=(const FrameSink&) = delete;

  void streamDidStopWithError(CaptureStream& stream, const PlatformError& error) override;
  void streamDidOutputSampleBuffer(CaptureStream& stream, SampleBuffer& sampleBuffer,
                                   StreamOutputType type) override;

  std::int64_t fps() const { return fps_; }

 private:
  void startPacing();
  void tick();
  // Under lock_: the rows of `pixels` into latestFrame_, stride removed.
  void copyRows(const PixelBuffer& pixels);
  // Under lock_: only `changes` of `pixels` into latestFrame_.
  void copyAreas(const PixelBuffer& pixels, const ChangedAreas& changes);

  const Outlet& out_;
  Dispatch& dispatch_;
  const std::int64_t fps_;
  std::mutex lock_;
  std::optional<std::vector<std::uint8_t>> latestFrame_;
  std::vector<std::uint8_t> emitBuffer_;
  bool newFrame_ = false;  // latestFrame_ holds a frame not yet written
  // Under lock_: where latestFrame_ still differs from the newest frame
  // (after an exchange it holds an older one), and where the frames taken
  // since the last exchange changed the picture.
  ChangedAreas latestBehind_;
  ChangedAreas changedSinceExchange_;
  // Intake only: a passed-over frame may have changed the picture, so the
  // next one is taken whole whatever it reports.
  bool lostTrack_ = false;
  std::int64_t lockedW_ = 0;
  std::int64_t lockedH_ = 0;
  std::unique_ptr<TimerSource> pacing_;
  std::int64_t framesEmitted_ = 0;
  bool firstLogged_ = false;
};

// Whole milliseconds between ticks: 1000 / fps truncated, but never 0, since
// a zero interval would be a busy loop.
std::chrono::milliseconds pacingInterval(std::int64_t fps);
inline constexpr std::chrono::milliseconds kPacingLeeway{2};

// The frame's byte count, or nothing when it is empty or does not fit memory.
std::optional<std::size_t> frameByteCount(std::size_t width, std::size_t height);

// The status the attachments carry, if they carry an integer one.
std::optional<FrameStatus> frameStatus(
    const std::optional<std::vector<AttachmentDictionary>>& attachments);

// Whether the attachments mark the sample buffer as a complete frame. A
// missing array, an empty one, a missing status or a non-integer status all
// count as complete.
bool isCompleteFrame(const std::optional<std::vector<AttachmentDictionary>>& attachments);

}  // namespace vexel::screencap
