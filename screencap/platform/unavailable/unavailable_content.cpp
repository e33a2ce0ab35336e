#include <memory>
#include <utility>

#include "screencap/platform/unavailable/unavailable.h"

namespace vexel::screencap {

namespace {

// For a platform it cannot capture: the content request fails, so list mode
// and capture mode both end with a clear line and status 1.
class UnavailableContentProvider final : public ContentProvider {
 public:
  UnavailableContentProvider(Dispatch& dispatch, std::string reason)
      : dispatch_(dispatch), reason_(std::move(reason)) {}
  void getShareableContent(ContentHandler handler) override {
    dispatch_.asyncAfter(std::chrono::nanoseconds(0), [this, handler = std::move(handler)] {
      handler(std::nullopt, PlatformError{reason_});
    });
  }
  Rect displayBounds(DisplayID) override { return {}; }
  bool displayIsMain(DisplayID) override { return false; }

 private:
  Dispatch& dispatch_;
  const std::string reason_;
};

}  // namespace

std::unique_ptr<ContentProvider> makeUnavailableContentProvider(Dispatch& dispatch,
                                                                std::string reason) {
  return std::make_unique<UnavailableContentProvider>(dispatch, std::move(reason));
}

}  // namespace vexel::screencap
