#pragma once

#include <memory>
#include <string>

#include "screencap/platform/capture.h"

namespace vexel::screencap {

// Providers for a platform that cannot capture: the content request fails with
// `reason`, and so does the start of any stream.
std::unique_ptr<ContentProvider> makeUnavailableContentProvider(Dispatch& dispatch,
                                                                std::string reason);
std::unique_ptr<StreamFactory> makeUnavailableStreamFactory(Dispatch& dispatch, std::string reason);

}  // namespace vexel::screencap
