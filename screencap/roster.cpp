#include "screencap/roster.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

namespace vexel::screencap {

namespace {

std::string sizeText(const Display& display) {
  return std::to_string(display.width) + "x" + std::to_string(display.height);
}

}  // namespace

std::int64_t truncateToInt64(double value) {
  if (std::isnan(value)) return 0;
  // 2^63 is exact as a double; anything at or beyond it would not convert.
  constexpr double kLimit = 9223372036854775808.0;
  if (value >= kLimit) return std::numeric_limits<std::int64_t>::max();
  if (value < -kLimit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

std::vector<Display> requireDisplays(const Outlet& outlet, std::optional<ShareableContent> content,
                                     std::optional<PlatformError> error) {
  if (error) {
    fail(outlet, "could not query shareable content (Screen Recording permission?): " +
                     error->localizedDescription);
  }
  if (!content || content->displays.empty()) fail(outlet, "no capturable displays found");
  return std::move(content->displays);
}

void printRoster(const Outlet& outlet, ContentProvider& provider,
                 std::optional<ShareableContent> content, std::optional<PlatformError> error) {
  const std::vector<Display> displays =
      requireDisplays(outlet, std::move(content), std::move(error));

  std::string text;
  try {
    auto roster = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < displays.size(); ++i) {
      const Display& display = displays[i];
      const Rect bounds = provider.displayBounds(display.displayID);
      const bool isMain = provider.displayIsMain(display.displayID);
      // Labels count positions from 1, the main display's own position included.
      const std::string label =
          isMain ? "Main Display (" + sizeText(display) + ")"
                 : "Display " + std::to_string(i + 1) + " (" + sizeText(display) + ")";
      roster.push_back({{"id", std::to_string(i)},
                        {"label", label},
                        {"x", truncateToInt64(bounds.x)},
                        {"y", truncateToInt64(bounds.y)},
                        {"width", display.width},
                        {"height", display.height},
                        {"primary", isMain}});
    }
    text = roster.dump();
  } catch (const std::exception& e) {
    fail(outlet, std::string("could not serialize display roster: ") + e.what());
  }
  endWith(outlet, 0, [&] {
    // A reader that already left gets nothing more to read; the status stays 0.
    if (writeAll(outlet.io, outlet.stdoutFd, text)) {
      (void)writeAll(outlet.io, outlet.stdoutFd, "\n");
    }
  });
}

}  // namespace vexel::screencap
