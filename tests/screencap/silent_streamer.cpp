// vexel-screencap with a platform that never answers, for the start-up timer
// tests: VEXEL_TEST_SILENT=content leaves the content request unanswered,
// VEXEL_TEST_SILENT=start answers it but never confirms the stream's start.
#include <cstdlib>
#include <string>
#include <vector>

#include "common/process.h"
#include "screencap/platform/std/std_dispatch.h"
#include "screencap/startup.h"

namespace {

using namespace vexel::screencap;

class SilentContent final : public ContentProvider {
 public:
  explicit SilentContent(bool answer) : answer_(answer) {}
  void getShareableContent(ContentHandler handler) override {
    if (answer_) handler(ShareableContent{{Display{1, 640, 480}}}, std::nullopt);
  }
  Rect displayBounds(DisplayID) override { return {}; }
  bool displayIsMain(DisplayID) override { return true; }

 private:
  bool answer_;
};

class SilentStream final : public CaptureStream {
 public:
  std::optional<PlatformError> addStreamOutput(StreamOutput&, StreamOutputType,
                                               std::shared_ptr<SerialQueue>) override {
    return std::nullopt;
  }
  void startCapture(StartHandler) override {}
};

class SilentStreams final : public StreamFactory {
 public:
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter&, const StreamConfiguration&,
                                            StreamDelegate&) override {
    return std::make_shared<SilentStream>();
  }
};

}  // namespace

int main(int argc, char** argv) {
  const char* mode = std::getenv("VEXEL_TEST_SILENT");
  const bool answerContent = mode != nullptr && std::string(mode) == "start";
  const std::vector<std::string> arguments(argv, argv + argc);
  static const Outlet outlet{vexel::systemIo(), 1, 2, vexel::exitProcess};
  auto* dispatch = new StdDispatch();
  auto* content = new SilentContent(answerContent);
  auto* streams = new SilentStreams();
  runStreamer(arguments, outlet, *dispatch, *content, *streams);
}
