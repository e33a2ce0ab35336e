#pragma once

#include <memory>

#include "input/platform/event_services.h"

namespace vexel::input {

// Posts through XTEST on the display named by DISPLAY.
std::unique_ptr<EventServices> makeX11EventServices();

}  // namespace vexel::input
