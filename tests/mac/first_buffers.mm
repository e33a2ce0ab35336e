// Prints the frame status of the first five screen buffers of a stream on the
// main display and whether each carries an image, then exits 0; 1 when the
// stream cannot start (no Screen Recording grant), 2 when five buffers do not
// come within 15 s. Built only for the Mac workflow: it settles what the first
// buffers of a real stream look like, which only a Mac can show.
#import <CoreGraphics/CoreGraphics.h>
#import <CoreMedia/CoreMedia.h>
#import <Foundation/Foundation.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kBuffersShown = 5;

const char* statusName(NSNumber* status) {
  if (status == nil) return "none";
  switch (static_cast<SCFrameStatus>(status.integerValue)) {
    case SCFrameStatusComplete:
      return "complete";
    case SCFrameStatusIdle:
      return "idle";
    case SCFrameStatusBlank:
      return "blank";
    case SCFrameStatusSuspended:
      return "suspended";
    case SCFrameStatusStarted:
      return "started";
    case SCFrameStatusStopped:
      return "stopped";
  }
  return "unknown";
}

[[noreturn]] void finish(int status, NSString* line) {
  std::printf("%s\n", line.UTF8String);
  std::fflush(stdout);
  std::exit(status);
}

}  // namespace

@interface VexelBufferProbe : NSObject <SCStreamOutput>
@end

@implementation VexelBufferProbe {
  int _seen;
}

- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type {
  (void)stream;
  @autoreleasepool {
    if (type != SCStreamOutputTypeScreen) return;
    NSNumber* status = nil;
    CFArrayRef attachments =
        CMSampleBufferGetSampleAttachmentsArray(sampleBuffer, /*createIfNecessary=*/false);
    if (attachments != nullptr && CFArrayGetCount(attachments) > 0) {
      NSDictionary* first = ((__bridge NSArray*)attachments).firstObject;
      status = first[SCStreamFrameInfoStatus];
    }
    CVImageBufferRef image = CMSampleBufferGetImageBuffer(sampleBuffer);
    ++_seen;
    std::printf("buffer %d: status %s, image %s\n", _seen, statusName(status),
                image != nullptr ? "yes" : "no");
    std::fflush(stdout);
    if (_seen == kBuffersShown) finish(0, @"first_buffers: done");
  }
}

@end

int main() {
  @autoreleasepool {
    static VexelBufferProbe* probe = [[VexelBufferProbe alloc] init];
    static SCStream* stream = nil;
    dispatch_queue_t buffers = dispatch_queue_create("vexel.probe.buffers", DISPATCH_QUEUE_SERIAL);
    [SCShareableContent getShareableContentWithCompletionHandler:^(
                            SCShareableContent* _Nullable content, NSError* _Nullable error) {
      @autoreleasepool {
        if (content == nil) {
          finish(1, [NSString stringWithFormat:@"first_buffers: no shareable content: %@", error]);
        }
        SCDisplay* main = nil;
        for (SCDisplay* display in content.displays) {
          if (display.displayID == CGMainDisplayID()) main = display;
        }
        if (main == nil) finish(1, @"first_buffers: the main display is not shareable");
        SCStreamConfiguration* configuration = [[SCStreamConfiguration alloc] init];
        configuration.width = 640;
        configuration.height = 360;
        configuration.minimumFrameInterval = CMTimeMake(1, 5);
        configuration.pixelFormat = kCVPixelFormatType_32BGRA;
        SCContentFilter* filter = [[SCContentFilter alloc] initWithDisplay:main
                                                          excludingWindows:@[]];
        stream = [[SCStream alloc] initWithFilter:filter configuration:configuration delegate:nil];
        NSError* added = nil;
        if (![stream addStreamOutput:probe
                                type:SCStreamOutputTypeScreen
                  sampleHandlerQueue:buffers
                               error:&added]) {
          finish(1, [NSString stringWithFormat:@"first_buffers: no stream output: %@", added]);
        }
        [stream startCaptureWithCompletionHandler:^(NSError* _Nullable failure) {
          if (failure != nil) {
            finish(1, [NSString stringWithFormat:@"first_buffers: no start: %@", failure]);
          }
        }];
      }
    }];
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 15 * NSEC_PER_SEC), dispatch_get_main_queue(),
                   ^{
                     finish(2, @"first_buffers: fewer than five buffers within 15 s");
                   });
  }
  dispatch_main();
}
