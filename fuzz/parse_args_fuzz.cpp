// Arguments separated by NUL bytes through parseArgs. The result must match a
// second, independent reading: the last usable value of each option wins, and
// a number is exactly what std::from_chars reads from the whole text.
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "screencap/args.h"

namespace {

using namespace vexel::screencap;

void check(bool condition) {
  if (!condition) std::abort();
}

std::optional<std::int64_t> referenceNumber(std::string_view text) {
  // from_chars takes a leading "-" but not "+".
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> argv{"vexel-screencap"};
  for (std::size_t start = 0; start <= input.size();) {
    const std::size_t end = std::min(input.find('\0', start), input.size());
    argv.emplace_back(input.substr(start, end - start));
    start = end + 1;
  }

  Args expected;
  for (std::size_t i = 1; i + 1 < argv.size(); ++i) {
    std::int64_t* field = argv[i] == "--width"     ? &expected.width
                          : argv[i] == "--height"  ? &expected.height
                          : argv[i] == "--fps"     ? &expected.fps
                          : argv[i] == "--display" ? &expected.display
                                                   : nullptr;
    if (field == nullptr) continue;
    const std::optional<std::int64_t> number = referenceNumber(argv[i + 1]);
    if (number) *field = *number;
    ++i;  // the value is consumed, usable or not
  }
  expected.fps = std::max<std::int64_t>(expected.fps, 1);
  expected.display = std::max<std::int64_t>(expected.display, 0);

  const Args args = parseArgs(argv);
  check(args.width == expected.width && args.height == expected.height);
  check(args.fps == expected.fps && args.display == expected.display);
  for (const std::string& argument : argv) {
    check(parseStrictInteger(argument) == referenceNumber(argument));
  }
  return 0;
}
