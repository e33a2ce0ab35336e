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

  const Outlet& out_;
  Dispatch& dispatch_;
  const std::int64_t fps_;
  std::mutex lock_;
  std::optional<std::vector<std::uint8_t>> latestFrame_;
  std::vector<std::uint8_t> emitBuffer_;
  bool newFrame_ = false;  // latestFrame_ holds a frame not yet written
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

// Whether the attachments mark the sample buffer as a complete frame. A
// missing array, an empty one, a missing status or a non-integer status all
// count as complete.
bool isCompleteFrame(const std::optional<std::vector<AttachmentDictionary>>& attachments);

}  // namespace vexel::screencap
