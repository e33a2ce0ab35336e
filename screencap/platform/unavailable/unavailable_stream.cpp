#include <memory>
#include <utility>

#include "screencap/platform/unavailable/unavailable.h"

namespace vexel::screencap {

namespace {

// A stream that cannot capture: its start fails, which ends capture mode with
// "startCapture failed: " and this description.
class UnavailableStream final : public CaptureStream {
 public:
  UnavailableStream(Dispatch& dispatch, std::string reason)
      : dispatch_(dispatch), reason_(std::move(reason)) {}
  std::optional<PlatformError> addStreamOutput(StreamOutput&, StreamOutputType,
                                               std::shared_ptr<SerialQueue>) override {
    return std::nullopt;
  }
  void startCapture(StartHandler handler) override {
    dispatch_.asyncAfter(
        std::chrono::nanoseconds(0),
        [reason = reason_, handler = std::move(handler)] { handler(PlatformError{reason}); });
  }

 private:
  Dispatch& dispatch_;
  const std::string reason_;
};

class UnavailableStreamFactory final : public StreamFactory {
 public:
  UnavailableStreamFactory(Dispatch& dispatch, std::string reason)
      : dispatch_(dispatch), reason_(std::move(reason)) {}
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter&, const StreamConfiguration&,
                                            StreamDelegate&) override {
    return std::make_shared<UnavailableStream>(dispatch_, reason_);
  }

 private:
  Dispatch& dispatch_;
  const std::string reason_;
};

}  // namespace

std::unique_ptr<StreamFactory> makeUnavailableStreamFactory(Dispatch& dispatch,
                                                            std::string reason) {
  return std::make_unique<UnavailableStreamFactory>(dispatch, std::move(reason));
}

}  // namespace vexel::screencap
