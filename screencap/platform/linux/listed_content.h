#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "screencap/platform/capture.h"

namespace vexel::screencap {

// A display as a Linux provider lists it: its roster entry, its bounds in the
// layout and whether it is the main one.
struct ListedDisplay {
  Display display;
  Rect bounds;
  bool isMain = false;
};

// Shareable content listed afresh by every query, off the caller's thread as
// the platform's completions arrive; the bounds and main-display answers come
// from the last list.
class ListedContentProvider : public ContentProvider {
 public:
  explicit ListedContentProvider(Dispatch& dispatch) : dispatch_(dispatch) {}

  void getShareableContent(ContentHandler handler) final;
  Rect displayBounds(DisplayID display) final;
  bool displayIsMain(DisplayID display) final;

 protected:
  // The displays in the platform's order, or why they cannot be listed.
  virtual std::vector<ListedDisplay> list(std::optional<PlatformError>& error) = 0;

 private:
  Dispatch& dispatch_;
  std::mutex mutex_;
  std::map<DisplayID, ListedDisplay> listed_;
};

}  // namespace vexel::screencap
