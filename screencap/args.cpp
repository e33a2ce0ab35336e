#include "screencap/args.h"

#include <algorithm>
#include <charconv>

namespace vexel::screencap {

std::optional<std::int64_t> parseStrictInteger(std::string_view text) {
  const bool signedText = !text.empty() && (text.front() == '+' || text.front() == '-');
  const std::string_view digits = signedText ? text.substr(1) : text;
  if (digits.empty() || !std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  // from_chars takes a minus but not a plus; the digits were checked above.
  const std::string_view number = text.front() == '+' ? digits : text;
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec != std::errc() || end != number.data() + number.size()) return std::nullopt;
  return value;
}

Args parseArgs(std::span<const std::string> argv) {
  Args args;
  for (std::size_t i = 1; i < argv.size(); ++i) {
    const std::string& option = argv[i];
    std::int64_t* field = nullptr;
    std::int64_t floor = INT64_MIN;
    if (option == "--width") {
      field = &args.width;
    } else if (option == "--height") {
      field = &args.height;
    } else if (option == "--fps") {
      field = &args.fps;
      floor = 1;
    } else if (option == "--display") {
      field = &args.display;
      floor = 0;
    } else {
      continue;
    }
    if (i + 1 >= argv.size()) break;
    // The value is consumed even when it is unusable or looks like an option.
    ++i;
    if (const auto value = parseStrictInteger(argv[i])) *field = std::max(*value, floor);
  }
  return args;
}

bool wantsDisplayList(std::span<const std::string> argv) {
  return std::ranges::find(argv, std::string_view("--list-displays")) != argv.end();
}

}  // namespace vexel::screencap
