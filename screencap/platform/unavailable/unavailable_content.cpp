#include <memory>

#include "screencap/platform/capture.h"

namespace vexel::screencap {

namespace {

// For builds without a capture platform: the content request fails, so list
// mode and capture mode both end with a clear line and status 1.
class UnavailableContentProvider final : public ContentProvider {
 public:
  explicit UnavailableContentProvider(Dispatch& dispatch) : dispatch_(dispatch) {}
  void getShareableContent(ContentHandler handler) override {
    dispatch_.asyncAfter(std::chrono::nanoseconds(0), [handler = std::move(handler)] {
      handler(std::nullopt, PlatformError{"no displays can be listed on this platform"});
    });
  }
  Rect displayBounds(DisplayID) override { return {}; }
  bool displayIsMain(DisplayID) override { return false; }

 private:
  Dispatch& dispatch_;
};

}  // namespace

std::unique_ptr<ContentProvider> makeContentProvider(Dispatch& dispatch) {
  return std::make_unique<UnavailableContentProvider>(dispatch);
}

}  // namespace vexel::screencap
