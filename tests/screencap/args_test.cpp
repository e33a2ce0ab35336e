#include "screencap/args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexel::screencap {
namespace {

struct ArgsCase {
  const char* name;
  std::vector<std::string> arguments;  // after the program path
  Args expected;
};

// The option rules; every other spelling of a number is the fuzz target's
// (fuzz_parse_args), which compares parseArgs with std::from_chars.
TEST(ParseArgs, FillsTheOptionsRecord) {
  const ArgsCase cases[] = {
      {"no arguments", {}, {1280, 720, 15, 0}},
      {"every option",
       {"--width", "640", "--height", "480", "--fps", "30", "--display", "2"},
       {640, 480, 30, 2}},
      {"fps zero becomes one", {"--fps", "0"}, {1280, 720, 1, 0}},
      {"fps negative becomes one", {"--fps", "-5"}, {1280, 720, 1, 0}},
      {"display negative becomes zero", {"--display", "-1"}, {1280, 720, 15, 0}},
      {"width and height unchanged when zero or negative",
       {"--width", "0", "--height", "-7"},
       {0, -7, 15, 0}},
      {"plus sign", {"--fps", "+30"}, {1280, 720, 30, 0}},
      {"largest and smallest 64-bit values",
       {"--width", "9223372036854775807", "--height", "-9223372036854775808"},
       {INT64_MAX, INT64_MIN, 15, 0}},
      {"overflow keeps the value", {"--width", "9223372036854775808"}, {1280, 720, 15, 0}},
      {"trailing letter", {"--fps", "30x"}, {1280, 720, 15, 0}},
      {"empty value", {"--fps", ""}, {1280, 720, 15, 0}},
      {"bad width then good height", {"--width", "wide", "--height", "900"}, {1280, 900, 15, 0}},
      {"option consumed as a value", {"--width", "--height", "900"}, {1280, 720, 15, 0}},
      {"trailing option ignored", {"--fps"}, {1280, 720, 15, 0}},
      {"trailing option after others", {"--width", "100", "--fps"}, {100, 720, 15, 0}},
      {"options are case-sensitive", {"--FPS", "30"}, {1280, 720, 15, 0}},
      {"stray words skipped", {"hello", "--fps", "20", "world"}, {1280, 720, 20, 0}},
      {"later occurrence wins", {"--fps", "10", "--fps", "25"}, {1280, 720, 25, 0}},
      {"unusable later occurrence keeps the earlier",
       {"--fps", "10", "--fps", "x"},
       {1280, 720, 10, 0}},
      {"single-dash option is not an option", {"-fps", "30"}, {1280, 720, 15, 0}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {"/usr/bin/vexel-screencap"};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    const Args got = parseArgs(argv);
    EXPECT_EQ(got.width, c.expected.width) << c.name;
    EXPECT_EQ(got.height, c.expected.height) << c.name;
    EXPECT_EQ(got.fps, c.expected.fps) << c.name;
    EXPECT_EQ(got.display, c.expected.display) << c.name;
  }
}

TEST(ParseArgs, ProgramPathIsNeverAnOption) {
  const std::vector<std::string> argv = {"--fps", "30"};
  EXPECT_EQ(parseArgs(argv).fps, 15);
}

TEST(WantsDisplayList, MatchesTheExactArgumentAnywhere) {
  using List = std::vector<std::string>;
  EXPECT_TRUE(wantsDisplayList(List{"p", "--list-displays"}));
  EXPECT_TRUE(wantsDisplayList(List{"p", "--fps", "bad", "--width", "--list-displays"}));
  EXPECT_FALSE(wantsDisplayList(List{"p", "--list-displays=1"}));
  EXPECT_FALSE(wantsDisplayList(List{"p", "--LIST-DISPLAYS"}));
  EXPECT_FALSE(wantsDisplayList(List{"p"}));
}

}  // namespace
}  // namespace vexel::screencap
