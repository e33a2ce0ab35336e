#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testing/compositor.h"

namespace vexel::testing {
namespace {

using Json = nlohmann::json;
using Kind = PrivateCompositor::Kind;

// Headless sway with a red 1280x800 output and, to its right, a blue
// 1024x768 one at scale 2 (512x384 in the layout).
constexpr const char* kOutputs =
    "output HEADLESS-1 resolution 1280x800 position 0 0 bg #ff0000 solid_color\n"
    "output HEADLESS-2 resolution 1024x768 position 1280 0 scale 2 bg #0000ff solid_color\n";

std::unique_ptr<PrivateCompositor> startSway() {
  auto sway = std::make_unique<PrivateCompositor>(Kind::kSway, kOutputs);
  if (sway->running() && !sway->swaymsg("create_output")) sway.reset();
  return sway;
}

constexpr int kWidth = 64;
constexpr int kHeight = 48;
using Frame = std::vector<std::uint8_t>;

// B, G, R of the pixel; sampled at the left edge, away from the pointer and
// inside the picture of either output.
std::array<int, 3> pixel(const Frame& frame, int x = 2, int y = kHeight / 2) {
  const std::size_t at = (static_cast<std::size_t>(y) * kWidth + x) * 4;
  return {frame[at], frame[at + 1], frame[at + 2]};
}

TEST(ScreencapWayland, RosterGivesTheLogicalLayout) {
  auto sway = startSway();
  if (!sway) GTEST_SKIP() << "sway (and setpriv, as root) is needed";
  ChildProcess list(sway->client({sway->install(VEXEL_SCREENCAP_BIN), "--list-displays"}));
  std::string line;
  ASSERT_TRUE(list.readLine(line));
  const Json expected = Json::parse(
      R"json([{"id":"0","label":"Main Display (1280x800)","x":0,"y":0,"width":1280,)json"
      R"json("height":800,"primary":true},{"id":"1","label":"Display 2 (512x384)","x":1280,)json"
      R"json("y":0,"width":512,"height":384,"primary":false}])json");
  EXPECT_EQ(Json::parse(line), expected);
  EXPECT_EQ(list.wait(), 0);
}

// Each output streams in its colour; an idle output repeats its frame, a
// change shows up, and losing the compositor ends the stream with status 1.
TEST(ScreencapWayland, StreamsEachOutputFollowsChangesAndEndsWithTheCompositor) {
  auto sway = startSway();
  if (!sway) GTEST_SKIP() << "sway (and setpriv, as root) is needed";
  const std::string program = sway->install(VEXEL_SCREENCAP_BIN);
  const std::pair<std::string, std::array<int, 3>> outputs[] = {{"0", {0, 0, 255}},
                                                                {"1", {255, 0, 0}}};
  Frame frame(static_cast<std::size_t>(kWidth) * kHeight * 4);
  for (const auto& [display, bgr] : outputs) {
    ChildProcess stream(
        sway->client({program, "--display", display, "--width", std::to_string(kWidth), "--height",
                      std::to_string(kHeight), "--fps", "20"}));
    // Until swaybg has drawn, the output shows sway's own grey.
    for (int i = 0; i < 40 && (i == 0 || pixel(frame) != bgr); ++i) {
      ASSERT_TRUE(stream.readExact(frame.data(), frame.size())) << "display " << display;
    }
    EXPECT_EQ(pixel(frame), bgr) << "display " << display;
    EXPECT_EQ(pixel(frame, kWidth - 3), bgr) << "display " << display;
    const Frame first = frame;
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(stream.readExact(frame.data(), frame.size()));
      EXPECT_EQ(frame, first) << "idle frame " << i << " of display " << display;
    }
  }

  ChildProcess stream(sway->client({program, "--display", "1", "--width", std::to_string(kWidth),
                                    "--height", std::to_string(kHeight), "--fps", "20"}));
  ASSERT_TRUE(stream.readExact(frame.data(), frame.size()));
  ASSERT_TRUE(sway->swaymsg("output HEADLESS-2 bg #00ff00 solid_color"));
  bool changed = false;
  for (int i = 0; i < 60 && !changed; ++i) {
    ASSERT_TRUE(stream.readExact(frame.data(), frame.size()));
    changed = pixel(frame) == std::array<int, 3>{0, 255, 0};
  }
  EXPECT_TRUE(changed) << "the new background never reached the stream";

  sway.reset();
  EXPECT_EQ(stream.wait(), 1);
  const std::string diagnostics = stream.drainStderr();
  EXPECT_NE(diagnostics.find("vexel-screencap: stream stopped with error: "), std::string::npos)
      << diagnostics;
}

// A background in four quadrants (red, green / blue, white) comes out the way
// the user sees it whatever the output's rotation or mirroring.
TEST(ScreencapWayland, RotatedAndMirroredOutputsArriveUpright) {
  PrivateCompositor sway(Kind::kSway, "output HEADLESS-1 resolution 800x600 position 0 0");
  if (!sway.running()) GTEST_SKIP() << "sway (and setpriv, as root) is needed";
  const std::string image = sway.runtimeDir() + "/quadrants.ppm";
  {
    std::ofstream file(image, std::ios::binary);
    file << "P6 8 8 255\n";  // large enough that stretching blends only the middle
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) {
        file.write(
            y < 4 ? (x < 4 ? "\xff\0\0" : "\0\xff\0") : (x < 4 ? "\0\0\xff" : "\xff\xff\xff"), 3);
      }
    }
  }
  std::filesystem::permissions(image, std::filesystem::perms::others_read,
                               std::filesystem::perm_options::add);
  ASSERT_TRUE(sway.swaymsg("output HEADLESS-1 bg " + image + " stretch"));
  const std::string program = sway.install(VEXEL_SCREENCAP_BIN);
  using Bgr = std::array<int, 3>;
  const std::array<Bgr, 4> upright = {Bgr{0, 0, 255}, Bgr{0, 255, 0}, Bgr{255, 0, 0},
                                      Bgr{255, 255, 255}};
  Frame frame(static_cast<std::size_t>(kWidth) * kHeight * 4);
  for (const char* transform : {"90", "180", "270", "flipped", "flipped-90", "flipped-270"}) {
    ASSERT_TRUE(sway.swaymsg(std::string("output HEADLESS-1 transform ") + transform));
    ChildProcess stream(sway.client({program, "--width", std::to_string(kWidth), "--height",
                                     std::to_string(kHeight), "--fps", "20"}));
    // Samples inside the picture, which a portrait output leaves narrower.
    std::array<Bgr, 4> seen{};
    for (int i = 0; i < 40 && seen != upright; ++i) {
      ASSERT_TRUE(stream.readExact(frame.data(), frame.size())) << transform;
      seen = {pixel(frame, kWidth * 3 / 8, kHeight / 4), pixel(frame, kWidth * 5 / 8, kHeight / 4),
              pixel(frame, kWidth * 3 / 8, kHeight * 3 / 4),
              pixel(frame, kWidth * 5 / 8, kHeight * 3 / 4)};
    }
    EXPECT_EQ(seen, upright) << "transform " << transform;
  }
}

}  // namespace
}  // namespace vexel::testing
