#pragma once

#include <nlohmann/json.hpp>
#include <string_view>

#include "input/injector.h"

namespace vexel::input {

using Json = nlohmann::json;

// A required number: any JSON number, or true/false as 1/0; otherwise throws
// "missing_number:<name>".
double num(const Json& request, std::string_view name);

// Turns one request object into its reply object; never throws.
Json handle(const Injector& injector, Json request);

}  // namespace vexel::input
