#pragma once

#include <memory>

#include "screencap/platform/capture.h"

namespace vexel::screencap {

// The RandR monitors of the display named by DISPLAY.
std::unique_ptr<ContentProvider> makeX11ContentProvider(Dispatch& dispatch);

}  // namespace vexel::screencap
