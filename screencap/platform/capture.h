#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "screencap/platform/dispatch.h"

namespace vexel::screencap {

// An error as the platform reports it; the streamer prints only its description.
struct PlatformError {
  std::string localizedDescription;
};

using DisplayID = std::uint32_t;

// One capturable display of the shareable content.
struct Display {
  DisplayID displayID = 0;
  std::int64_t width = 0;   // points
  std::int64_t height = 0;  // points
};

struct ShareableContent {
  std::vector<Display> displays;  // in the platform's order
};

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

using ContentHandler =
    std::function<void(std::optional<ShareableContent>, std::optional<PlatformError>)>;

// Shareable content and the display queries of the roster.
class ContentProvider {
 public:
  virtual ~ContentProvider() = default;
  // Calls `handler` once, on a thread of the platform's choosing.
  virtual void getShareableContent(ContentHandler handler) = 0;
  virtual Rect displayBounds(DisplayID display) = 0;
  virtual bool displayIsMain(DisplayID display) = 0;
};

inline constexpr std::uint32_t kPixelFormatBGRA = 0x42475241;  // 'BGRA'

struct MediaTime {
  std::int64_t value = 0;
  std::int32_t timescale = 0;
};

// The stream configuration, in the order its setters are applied.
struct StreamConfiguration {
  std::int64_t width = 0;
  std::int64_t height = 0;
  MediaTime minimumFrameInterval;
  std::uint32_t pixelFormat = 0;
  std::int64_t queueDepth = 0;
  bool showsCursor = false;
  bool scalesToFit = false;
};

struct ContentFilter {
  Display display;  // the whole display, no window excluded
};

enum class StreamOutputType : std::int64_t { kScreen = 0, kAudio = 1 };

// Frame status values carried in the sample attachments.
enum class FrameStatus : std::int64_t {
  kComplete = 0,
  kIdle = 1,
  kBlank = 2,
  kSuspended = 3,
  kStarted = 4,
  kStopped = 5,
};
inline constexpr const char* kStreamFrameInfoStatus = "SCStreamFrameInfoStatus";
// The rectangles, in pixels, where the frame differs from the one delivered
// before it; the whole frame may have changed when absent.
inline constexpr const char* kStreamFrameInfoDirtyRects = "SCStreamFrameInfoDirtyRects";

using AttachmentValue = std::variant<std::int64_t, double, std::string, bool, std::vector<Rect>>;
using AttachmentDictionary = std::map<std::string, AttachmentValue>;

inline constexpr std::uint64_t kPixelBufferLockReadOnly = 1;

// Pixel memory is stable between lockBaseAddress and unlockBaseAddress.
class PixelBuffer {
 public:
  virtual ~PixelBuffer() = default;
  virtual void lockBaseAddress(std::uint64_t flags) = 0;
  virtual void unlockBaseAddress(std::uint64_t flags) = 0;
  virtual std::size_t width() const = 0;
  virtual std::size_t height() const = 0;
  virtual std::size_t bytesPerRow() const = 0;
  virtual const std::uint8_t* baseAddress() const = 0;
};

class SampleBuffer {
 public:
  virtual ~SampleBuffer() = default;
  virtual bool isValid() const = 0;
  // Absent when the buffer carries no image.
  virtual PixelBuffer* imageBuffer() = 0;
  // The attachments array, fetched without creating it; absent when there is
  // none or it is not an array of dictionaries.
  virtual std::optional<std::vector<AttachmentDictionary>> sampleAttachments() const = 0;
};

class CaptureStream;

// The frame sink implements both; the stream calls them on its queues.
class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  virtual void streamDidOutputSampleBuffer(CaptureStream& stream, SampleBuffer& sampleBuffer,
                                           StreamOutputType type) = 0;
};

class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  virtual void streamDidStopWithError(CaptureStream& stream, const PlatformError& error) = 0;
};

using StartHandler = std::function<void(std::optional<PlatformError>)>;

class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // Every later sample buffer of `type` reaches `output` on `queue`, one at a time.
  virtual std::optional<PlatformError> addStreamOutput(StreamOutput& output, StreamOutputType type,
                                                       std::shared_ptr<SerialQueue> queue) = 0;
  // Calls `handler` once, with no error on success.
  virtual void startCapture(StartHandler handler) = 0;
};

class StreamFactory {
 public:
  virtual ~StreamFactory() = default;
  virtual std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                                    const StreamConfiguration& configuration,
                                                    StreamDelegate& delegate) = 0;
};

// Defined once in each provider's file.
std::unique_ptr<ContentProvider> makeContentProvider(Dispatch& dispatch);
std::unique_ptr<StreamFactory> makeStreamFactory(Dispatch& dispatch);

}  // namespace vexel::screencap
