#import <CoreFoundation/CoreFoundation.h>
#import <CoreGraphics/CoreGraphics.h>
#import <CoreMedia/CoreMedia.h>
#import <CoreVideo/CoreVideo.h>
#import <Foundation/Foundation.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "screencap/platform/capture.h"
#include "screencap/platform/mac/mac_dispatch.h"

namespace vexel::screencap {

namespace {

// The interface's numbers are the framework's, so values pass by a cast.
static_assert(static_cast<NSInteger>(StreamOutputType::kScreen) == SCStreamOutputTypeScreen);
static_assert(static_cast<NSInteger>(FrameStatus::kComplete) == SCFrameStatusComplete);
static_assert(static_cast<NSInteger>(FrameStatus::kIdle) == SCFrameStatusIdle);
static_assert(static_cast<NSInteger>(FrameStatus::kBlank) == SCFrameStatusBlank);
static_assert(static_cast<NSInteger>(FrameStatus::kSuspended) == SCFrameStatusSuspended);
static_assert(static_cast<NSInteger>(FrameStatus::kStarted) == SCFrameStatusStarted);
static_assert(static_cast<NSInteger>(FrameStatus::kStopped) == SCFrameStatusStopped);
static_assert(kPixelFormatBGRA == kCVPixelFormatType_32BGRA);
static_assert(kPixelBufferLockReadOnly == kCVPixelBufferLock_ReadOnly);

constexpr std::size_t kBytesPerPixel = 4;

PlatformError describe(NSError* error) {
  if (error == nil) return {"unknown error"};
  const char* text = error.localizedDescription.UTF8String;
  return {text != nullptr ? text : "unknown error"};
}

// A content filter names its display by identifier only, but the stream needs
// the framework's display object from the content, so the latest are kept.
class DisplayRegistry {
 public:
  void remember(NSArray<SCDisplay*>* displays) {
    const std::lock_guard<std::mutex> hold(mutex_);
    displays_ = displays;
  }
  SCDisplay* find(DisplayID displayID) {
    const std::lock_guard<std::mutex> hold(mutex_);
    for (SCDisplay* display in displays_) {
      if (display.displayID == displayID) return display;
    }
    return nil;
  }

 private:
  std::mutex mutex_;
  NSArray<SCDisplay*>* displays_ = nil;
};

// Never destroyed: completion handlers may still run while exit() tears down.
DisplayRegistry& registry() {
  static auto* const instance = new DisplayRegistry;
  return *instance;
}

class MacContentProvider final : public ContentProvider {
 public:
  void getShareableContent(ContentHandler handler) override {
    [SCShareableContent getShareableContentWithCompletionHandler:^(
                            SCShareableContent* _Nullable content, NSError* _Nullable error) {
      @autoreleasepool {
        std::optional<PlatformError> failure;
        if (error != nil) failure = describe(error);
        std::optional<ShareableContent> shareable;
        if (content != nil) {
          NSArray<SCDisplay*>* displays = content.displays;
          registry().remember(displays);
          ShareableContent listed;
          for (SCDisplay* display in displays) {
            listed.displays.push_back({display.displayID, display.width, display.height});
          }
          shareable = std::move(listed);
        }
        handler(std::move(shareable), std::move(failure));
      }
    }];
  }

  Rect displayBounds(DisplayID display) override {
    const CGRect bounds = CGDisplayBounds(display);
    return {bounds.origin.x, bounds.origin.y, bounds.size.width, bounds.size.height};
  }

  bool displayIsMain(DisplayID display) override { return CGDisplayIsMain(display) != 0; }
};

// Valid for one callback: the sample buffer owns the pixel buffer, and every
// lock taken here is given back when the callback's wrapper goes away.
class MacPixelBuffer final : public PixelBuffer {
 public:
  explicit MacPixelBuffer(CVPixelBufferRef buffer) : buffer_(buffer) {}
  MacPixelBuffer(const MacPixelBuffer&) = delete;
  MacPixelBuffer& operator=(const MacPixelBuffer&) = delete;
  ~MacPixelBuffer() override {
    while (locks_ > 0) unlockBaseAddress(lockFlags_);
  }

  void lockBaseAddress(std::uint64_t flags) override {
    if (CVPixelBufferLockBaseAddress(buffer_, static_cast<CVPixelBufferLockFlags>(flags)) !=
        kCVReturnSuccess) {
      return;  // baseAddress() stays null, so the frame is dropped
    }
    ++locks_;
    lockFlags_ = flags;
  }

  void unlockBaseAddress(std::uint64_t flags) override {
    if (locks_ == 0) return;  // its lock failed: nothing to give back
    --locks_;
    // A failed unlock leaves nothing to retry; the buffer goes back to the
    // framework's pool with the sample buffer either way.
    (void)CVPixelBufferUnlockBaseAddress(buffer_, static_cast<CVPixelBufferLockFlags>(flags));
  }

  std::size_t width() const override { return CVPixelBufferGetWidth(buffer_); }
  std::size_t height() const override { return CVPixelBufferGetHeight(buffer_); }
  std::size_t bytesPerRow() const override { return CVPixelBufferGetBytesPerRow(buffer_); }

  // Null unless locked and laid out as rows of 4-byte pixels: a planar buffer's
  // base address points at plane descriptors, and shorter rows would be overrun.
  const std::uint8_t* baseAddress() const override {
    if (locks_ == 0 || CVPixelBufferIsPlanar(buffer_) != 0) return nullptr;
    if (bytesPerRow() / kBytesPerPixel < width()) return nullptr;
    return static_cast<const std::uint8_t*>(CVPixelBufferGetBaseAddress(buffer_));
  }

 private:
  CVPixelBufferRef buffer_;
  int locks_ = 0;
  std::uint64_t lockFlags_ = 0;
};

std::optional<AttachmentValue> attachmentValue(id value) {
  if ([value isKindOfClass:[NSNumber class]]) {
    NSNumber* number = value;
    if (CFGetTypeID((__bridge CFTypeRef)number) == CFBooleanGetTypeID()) {
      return AttachmentValue(std::in_place_type<bool>, number.boolValue != NO);
    }
    const char* type = number.objCType;
    if (type != nullptr && (type[0] == 'd' || type[0] == 'f')) {
      return AttachmentValue(std::in_place_type<double>, number.doubleValue);
    }
    return AttachmentValue(std::in_place_type<std::int64_t>, number.longLongValue);
  }
  if ([value isKindOfClass:[NSString class]]) {
    NSString* string = value;
    const char* text = string.UTF8String;
    if (text != nullptr) return AttachmentValue(std::in_place_type<std::string>, text);
  }
  return std::nullopt;  // nested dictionaries and arrays are not needed
}

AttachmentDictionary attachmentDictionary(NSDictionary* dictionary) {
  AttachmentDictionary converted;
  for (id key in dictionary) {
    std::string name;
    // The framework's constant is the key, whatever its text.
    if ([key isEqual:SCStreamFrameInfoStatus]) {
      name = kStreamFrameInfoStatus;
    } else if ([key isKindOfClass:[NSString class]]) {
      NSString* string = key;
      const char* text = string.UTF8String;
      if (text == nullptr) continue;
      name = text;
    } else {
      continue;
    }
    if (std::optional<AttachmentValue> value = attachmentValue(dictionary[key])) {
      converted.emplace(std::move(name), std::move(*value));
    }
  }
  return converted;
}

class MacSampleBuffer final : public SampleBuffer {
 public:
  explicit MacSampleBuffer(CMSampleBufferRef buffer) : buffer_(buffer) {}

  bool isValid() const override {
    return buffer_ != nullptr && CMSampleBufferIsValid(buffer_) != 0;
  }

  PixelBuffer* imageBuffer() override {
    if (!pixels_ && buffer_ != nullptr) {
      CVImageBufferRef image = CMSampleBufferGetImageBuffer(buffer_);
      if (image != nullptr && CFGetTypeID(image) == CVPixelBufferGetTypeID()) {
        pixels_.emplace(image);
      }
    }
    return pixels_ ? &*pixels_ : nullptr;
  }

  std::optional<std::vector<AttachmentDictionary>> sampleAttachments() const override {
    if (buffer_ == nullptr) return std::nullopt;
    CFArrayRef attachments =
        CMSampleBufferGetSampleAttachmentsArray(buffer_, /*createIfNecessary=*/false);
    if (attachments == nullptr) return std::nullopt;
    auto* entries = (__bridge NSArray*)attachments;
    std::vector<AttachmentDictionary> converted;
    converted.reserve(entries.count);
    for (id entry in entries) {
      if (![entry isKindOfClass:[NSDictionary class]]) return std::nullopt;
      converted.push_back(attachmentDictionary(entry));
    }
    return converted;
  }

 private:
  CMSampleBufferRef buffer_;
  std::optional<MacPixelBuffer> pixels_;
};

}  // namespace

}  // namespace vexel::screencap

// The stream's output and delegate: forwards every callback to the C++ sink.
// It holds plain pointers, so its owner detaches it before they go away.
@interface VexelStreamAdapter : NSObject <SCStreamOutput, SCStreamDelegate>
- (instancetype)initWithOwner:(vexel::screencap::CaptureStream*)owner
                     delegate:(vexel::screencap::StreamDelegate*)delegate;
- (instancetype)init NS_UNAVAILABLE;
- (void)setOutput:(vexel::screencap::StreamOutput*)output forType:(SCStreamOutputType)type;
- (void)detach;
@end

@implementation VexelStreamAdapter {
  std::mutex _mutex;
  vexel::screencap::CaptureStream* _owner;
  vexel::screencap::StreamDelegate* _delegate;
  std::map<NSInteger, vexel::screencap::StreamOutput*> _outputs;
}

- (instancetype)initWithOwner:(vexel::screencap::CaptureStream*)owner
                     delegate:(vexel::screencap::StreamDelegate*)delegate {
  self = [super init];
  if (self != nil) {
    _owner = owner;
    _delegate = delegate;
  }
  return self;
}

- (void)setOutput:(vexel::screencap::StreamOutput*)output forType:(SCStreamOutputType)type {
  const std::lock_guard<std::mutex> hold(_mutex);
  if (output != nullptr) {
    _outputs[type] = output;
  } else {
    _outputs.erase(type);
  }
}

- (void)detach {
  const std::lock_guard<std::mutex> hold(_mutex);
  _owner = nullptr;
  _delegate = nullptr;
  _outputs.clear();
}

// The lock is never held across a callback: the sink may end the process
// from inside one, and exit() must not wait on it. Each callback, like each
// completion handler here, drains its own autorelease pool: the frames queue
// gives a work item none.
- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type {
  (void)stream;
  @autoreleasepool {
    vexel::screencap::CaptureStream* owner = nullptr;
    vexel::screencap::StreamOutput* output = nullptr;
    {
      const std::lock_guard<std::mutex> hold(_mutex);
      owner = _owner;
      const auto found = _outputs.find(type);
      if (found != _outputs.end()) output = found->second;
    }
    if (owner == nullptr || output == nullptr) return;
    vexel::screencap::MacSampleBuffer buffer(sampleBuffer);
    output->streamDidOutputSampleBuffer(*owner, buffer,
                                        static_cast<vexel::screencap::StreamOutputType>(type));
  }
}

- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error {
  (void)stream;
  @autoreleasepool {
    vexel::screencap::CaptureStream* owner = nullptr;
    vexel::screencap::StreamDelegate* delegate = nullptr;
    {
      const std::lock_guard<std::mutex> hold(_mutex);
      owner = _owner;
      delegate = _delegate;
    }
    if (owner == nullptr || delegate == nullptr) return;
    delegate->streamDidStopWithError(*owner, vexel::screencap::describe(error));
  }
}

@end

namespace vexel::screencap {

namespace {

class MacCaptureStream final : public CaptureStream {
 public:
  // A stream that could not be made: every request reports why.
  explicit MacCaptureStream(PlatformError failure) : failure_(std::move(failure)) {}

  MacCaptureStream(SCContentFilter* filter, SCStreamConfiguration* configuration,
                   StreamDelegate& delegate) {
    adapter_ = [[VexelStreamAdapter alloc] initWithOwner:this delegate:&delegate];
    if (adapter_ != nil) {
      stream_ = [[SCStream alloc] initWithFilter:filter
                                   configuration:configuration
                                        delegate:adapter_];
    }
    if (stream_ == nil) failure_ = PlatformError{"could not create the capture stream"};
  }

  MacCaptureStream(const MacCaptureStream&) = delete;
  MacCaptureStream& operator=(const MacCaptureStream&) = delete;

  // The framework may still hold the adapter; it must stop calling into us.
  ~MacCaptureStream() override { [adapter_ detach]; }

  std::optional<PlatformError> addStreamOutput(StreamOutput& output, StreamOutputType type,
                                               std::shared_ptr<SerialQueue> queue) override {
    if (failure_) return failure_;
    dispatch_queue_t sampleQueue = nativeQueue(queue.get());
    if (sampleQueue == nullptr) {
      return PlatformError{"the sample handler queue is not a dispatch queue"};
    }
    const auto outputType = static_cast<SCStreamOutputType>(type);
    // Registered first, so no buffer can arrive before its receiver is known.
    [adapter_ setOutput:&output forType:outputType];
    NSError* error = nil;
    if (![stream_ addStreamOutput:adapter_
                             type:outputType
               sampleHandlerQueue:sampleQueue
                            error:&error]) {
      [adapter_ setOutput:nullptr forType:outputType];
      return describe(error);
    }
    queues_.push_back(std::move(queue));
    return std::nullopt;
  }

  void startCapture(StartHandler handler) override {
    if (failure_) {
      handler(failure_);
      return;
    }
    [stream_ startCaptureWithCompletionHandler:^(NSError* _Nullable error) {
      @autoreleasepool {
        if (error != nil) {
          handler(describe(error));
        } else {
          handler(std::nullopt);
        }
      }
    }];
  }

 private:
  std::optional<PlatformError> failure_;
  VexelStreamAdapter* adapter_ = nil;
  SCStream* stream_ = nil;
  std::vector<std::shared_ptr<SerialQueue>> queues_;
};

class MacStreamFactory final : public StreamFactory {
 public:
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            StreamDelegate& delegate) override {
    SCDisplay* display = registry().find(filter.display.displayID);
    if (display == nil) {
      return std::make_shared<MacCaptureStream>(
          PlatformError{"display " + std::to_string(filter.display.displayID) +
                        " is not in the shareable content"});
    }

    SCStreamConfiguration* settings = [[SCStreamConfiguration alloc] init];
    if (settings == nil) {
      return std::make_shared<MacCaptureStream>(
          PlatformError{"could not create the stream configuration"});
    }
    // The values pass unchanged, negative sizes included, as the framework's
    // unsigned sizes; what it makes of them is its own affair.
    [settings setWidth:static_cast<size_t>(configuration.width)];
    [settings setHeight:static_cast<size_t>(configuration.height)];
    [settings setMinimumFrameInterval:CMTimeMake(configuration.minimumFrameInterval.value,
                                                 configuration.minimumFrameInterval.timescale)];
    [settings setPixelFormat:static_cast<OSType>(configuration.pixelFormat)];
    [settings setQueueDepth:static_cast<NSInteger>(configuration.queueDepth)];
    [settings setShowsCursor:configuration.showsCursor ? YES : NO];
    [settings setScalesToFit:configuration.scalesToFit ? YES : NO];

    SCContentFilter* content = [[SCContentFilter alloc] initWithDisplay:display
                                                       excludingWindows:@[]];
    if (content == nil) {
      return std::make_shared<MacCaptureStream>(
          PlatformError{"could not create the content filter"});
    }
    return std::make_shared<MacCaptureStream>(content, settings, delegate);
  }
};

}  // namespace

std::unique_ptr<ContentProvider> makeContentProvider(Dispatch& /*dispatch*/) {
  return std::make_unique<MacContentProvider>();
}

std::unique_ptr<StreamFactory> makeStreamFactory(Dispatch& /*dispatch*/) {
  return std::make_unique<MacStreamFactory>();
}

}  // namespace vexel::screencap
