#pragma once

#include <memory>
#include <string>

#include "input/platform/event_services.h"

namespace vexel::input {

// Posts through a virtual pointer and a virtual keyboard of the compositor named
// by the environment. Null, with `repairText` saying what is missing and how to
// get it, when the compositor cannot be reached or lacks the protocols.
std::unique_ptr<EventServices> makeWaylandEventServices(std::string& repairText);

}  // namespace vexel::input
