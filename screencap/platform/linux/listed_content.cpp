#include "screencap/platform/linux/listed_content.h"

#include <chrono>
#include <utility>

namespace vexel::screencap {

void ListedContentProvider::getShareableContent(ContentHandler handler) {
  dispatch_.asyncAfter(std::chrono::nanoseconds(0), [this, handler = std::move(handler)] {
    std::optional<PlatformError> error;
    std::vector<ListedDisplay> displays = list(error);
    if (error) {
      handler(std::nullopt, std::move(error));
      return;
    }
    ShareableContent content;
    std::map<DisplayID, ListedDisplay> listed;
    for (ListedDisplay& d : displays) {
      content.displays.push_back(d.display);
      listed[d.display.displayID] = d;
    }
    {
      const std::scoped_lock lock(mutex_);
      listed_ = std::move(listed);
    }
    handler(std::move(content), std::nullopt);
  });
}

Rect ListedContentProvider::displayBounds(DisplayID display) {
  const std::scoped_lock lock(mutex_);
  const auto found = listed_.find(display);
  return found != listed_.end() ? found->second.bounds : Rect{};
}

bool ListedContentProvider::displayIsMain(DisplayID display) {
  const std::scoped_lock lock(mutex_);
  const auto found = listed_.find(display);
  return found != listed_.end() && found->second.isMain;
}

}  // namespace vexel::screencap
