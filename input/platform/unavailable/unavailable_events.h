#pragma once

#include <memory>
#include <string>

#include "input/platform/event_services.h"

namespace vexel::input {

// Never trusted; every action is refused with `message` as the repair text.
std::unique_ptr<EventServices> makeUnavailableEventServices(std::string message);

}  // namespace vexel::input
