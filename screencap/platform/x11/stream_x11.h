#pragma once

#include <memory>
#include <string>

#include "screencap/platform/capture.h"

namespace vexel::screencap::x11 {

// Streams from the named X display; an empty name means the DISPLAY of the
// environment. The stream runs its own capture thread; frames reach the sink
// on the queue it hands to addStreamOutput.
std::unique_ptr<StreamFactory> makeX11StreamFactory(std::string displayName);

}  // namespace vexel::screencap::x11
