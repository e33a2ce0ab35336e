#pragma once

#include <memory>

#include "screencap/platform/capture.h"

namespace vexel::screencap {

// The outputs of the compositor named by the environment, in logical
// coordinates; the content request fails with the reason when the compositor
// cannot be reached or lacks the capture protocols.
std::unique_ptr<ContentProvider> makeWaylandContentProvider(Dispatch& dispatch);

// Streams an output through wlr-screencopy. The stream runs its own capture
// thread; frames reach the sink on the queue it hands to addStreamOutput.
std::unique_ptr<StreamFactory> makeWaylandStreamFactory();

}  // namespace vexel::screencap
