#include "input/dispatcher.h"

#include <cmath>
#include <exception>
#include <limits>
#include <string>
#include <vector>

#include "input/keyboard.h"
#include "input/mouse.h"
#include "input/text.h"

namespace vexel::input {

namespace {

const Json* field(const Json& request, std::string_view name) {
  const auto it = request.find(name);
  return it == request.end() ? nullptr : &*it;
}

bool isNumber(const Json* value) {
  return value != nullptr && (value->is_number() || value->is_boolean());
}

double optionalNumber(const Json& request, std::string_view name, double fallback) {
  const Json* value = field(request, name);
  return isNumber(value) ? num(request, name) : fallback;
}

std::string optionalString(const Json& request, std::string_view name, std::string_view fallback) {
  const Json* value = field(request, name);
  return value != nullptr && value->is_string() ? value->get<std::string>() : std::string(fallback);
}

const std::string& requiredString(const Json& request, std::string_view name, const char* error) {
  const Json* value = field(request, name);
  if (value == nullptr || !value->is_string()) throw HelperError{error};
  return value->get_ref<const std::string&>();
}

std::vector<std::string> stringList(const Json& request, std::string_view name) {
  std::vector<std::string> out;
  const Json* value = field(request, name);
  if (value == nullptr || !value->is_array()) return out;
  for (const auto& element : *value) {
    if (element.is_string()) out.push_back(toLower(element.get_ref<const std::string&>()));
  }
  return out;
}

// The integer part of "count", saturated to the 64-bit range.
std::int64_t truncatedCount(double count) {
  if (std::isnan(count)) return 1;
  const double t = std::trunc(count);
  if (t >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (t <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(t);
}

void perform(const Injector& injector, const std::string& op, const Json& request) {
  if (op == "move") {
    const double x = num(request, "x");
    const double y = num(request, "y");
    postMouse(injector, EventType::kMouseMoved, MouseButton::kLeft, {x, y});
  } else if (op == "click") {
    const double x = num(request, "x");
    const double y = num(request, "y");
    const std::string button = optionalString(request, "button", "left");
    const std::int64_t count = truncatedCount(optionalNumber(request, "count", 1));
    doClick(injector, x, y, button, count);
  } else if (op == "down" || op == "up") {
    const std::string button = optionalString(request, "button", "left");
    const double x = num(request, "x");
    const double y = num(request, "y");
    postMouse(injector, op == "down" ? downType(button) : upType(button), buttonEnum(button),
              {x, y}, 1);
  } else if (op == "drag") {
    const double fromX = num(request, "fromX");
    const double fromY = num(request, "fromY");
    const double toX = num(request, "toX");
    const double toY = num(request, "toY");
    const std::string button = optionalString(request, "button", "left");
    doDrag(injector, fromX, fromY, toX, toY, button);
  } else if (op == "scroll") {
    const double x = num(request, "x");
    const double y = num(request, "y");
    const double dx = optionalNumber(request, "dx", 0);
    const double dy = optionalNumber(request, "dy", 0);
    doScroll(injector, x, y, dx, dy);
  } else if (op == "type") {
    doType(injector, requiredString(request, "text", "missing_text"));
  } else if (op == "key") {
    const std::string key = toLower(requiredString(request, "key", "missing_key"));
    const std::vector<std::string> modifiers = stringList(request, "modifiers");
    pressKey(injector, key, modifiers);
  } else {
    throw HelperError{"unknown_op:" + op};
  }
}

}  // namespace

double num(const Json& request, std::string_view name) {
  const Json* value = field(request, name);
  if (!isNumber(value)) throw HelperError{"missing_number:" + std::string(name)};
  if (value->is_boolean()) return value->get<bool>() ? 1.0 : 0.0;
  return value->get<double>();
}

Json handle(const Injector& injector, Json request) {
  Json reply = Json::object();
  try {
    if (const auto id = request.find("id"); id != request.end()) reply["id"] = std::move(*id);
    const Json* op = field(request, "op");
    if (op == nullptr || !op->is_string()) {
      reply["ok"] = false;
      reply["error"] = "missing_op";
      return reply;
    }
    const auto& name = op->get_ref<const std::string&>();
    if (name == "status") {
      reply["ok"] = true;
      reply["trusted"] = injector.events.isProcessTrusted();
      return reply;
    }
    if (!injector.events.isProcessTrusted()) {
      reply["ok"] = false;
      reply["error"] = "accessibility_not_granted";
      reply["message"] = injector.accessibilityMessage;
      return reply;
    }
    perform(injector, name, request);
    reply["ok"] = true;
  } catch (const HelperError& e) {
    reply["ok"] = false;
    reply["error"] = e.msg;
  } catch (const DeliveryFailure& e) {
    reply["ok"] = false;
    if (e.reason == DeliveryFailure::Reason::kAccessLost) {
      // What the next request would be told, said now for the one that failed.
      reply["error"] = "accessibility_not_granted";
      reply["message"] = injector.accessibilityMessage;
    } else {
      reply["error"] = "event_create_failed";
    }
  } catch (const std::exception& e) {
    reply["ok"] = false;
    reply["error"] = e.what();
  }
  return reply;
}

}  // namespace vexel::input
