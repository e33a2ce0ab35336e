#include <memory>

#include "screencap/platform/capture.h"

namespace vexel::screencap {

namespace {

// A stream that cannot capture: its start fails, which ends capture mode with
// "startCapture failed: " and this description.
class UnavailableStream final : public CaptureStream {
 public:
  explicit UnavailableStream(Dispatch& dispatch) : dispatch_(dispatch) {}
  std::optional<PlatformError> addStreamOutput(StreamOutput&, StreamOutputType,
                                               std::shared_ptr<SerialQueue>) override {
    return std::nullopt;
  }
  void startCapture(StartHandler handler) override {
    dispatch_.asyncAfter(std::chrono::nanoseconds(0), [handler = std::move(handler)] {
      handler(PlatformError{"screen capture is not available in this build of vexel-screencap"});
    });
  }

 private:
  Dispatch& dispatch_;
};

class UnavailableStreamFactory final : public StreamFactory {
 public:
  explicit UnavailableStreamFactory(Dispatch& dispatch) : dispatch_(dispatch) {}
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter&, const StreamConfiguration&,
                                            StreamDelegate&) override {
    return std::make_shared<UnavailableStream>(dispatch_);
  }

 private:
  Dispatch& dispatch_;
};

}  // namespace

std::unique_ptr<StreamFactory> makeStreamFactory(Dispatch& dispatch) {
  return std::make_unique<UnavailableStreamFactory>(dispatch);
}

}  // namespace vexel::screencap
