#include "screencap/platform/unavailable/unavailable.h"

namespace vexel::screencap {

std::unique_ptr<ContentProvider> makeContentProvider(Dispatch& dispatch) {
  return makeUnavailableContentProvider(dispatch, "no displays can be listed on this platform");
}

std::unique_ptr<StreamFactory> makeStreamFactory(Dispatch& dispatch) {
  return makeUnavailableStreamFactory(
      dispatch, "screen capture is not available in this build of vexel-screencap");
}

}  // namespace vexel::screencap
