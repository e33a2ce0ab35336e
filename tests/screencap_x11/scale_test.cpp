#include "screencap/platform/pixman/scale.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <tuple>
#include <vector>

namespace vexel::screencap::x11 {
namespace {

// A BGRA image with padded rows and a guard byte pattern after the pixels.
struct Image {
  Image(int w, int h, int padBytes = 0) : width(w), height(h), stride(w * 4 + padBytes) {
    bytes.assign(static_cast<std::size_t>(stride) * h, 0xAB);
  }
  ImageView view() { return {bytes.data(), width, height, stride}; }
  std::uint32_t at(int x, int y) const {
    std::uint32_t value = 0;
    std::memcpy(&value, &bytes[static_cast<std::size_t>(y) * stride + x * 4], 4);
    return value;
  }
  void set(int x, int y, std::uint32_t value) {
    std::memcpy(&bytes[static_cast<std::size_t>(y) * stride + x * 4], &value, 4);
  }
  void fill(int x0, int y0, int w, int h, std::uint32_t value) {
    for (int y = y0; y < y0 + h; ++y) {
      for (int x = x0; x < x0 + w; ++x) set(x, y, value);
    }
  }
  int width;
  int height;
  int stride;
  std::vector<std::uint8_t> bytes;
};

constexpr std::uint32_t kBlack = 0xff000000U;
// Source pixels come from the X server with an undefined top byte: zero here.
constexpr std::uint32_t kRed = 0x00ff0000U;
constexpr std::uint32_t kGreen = 0x0000ff00U;
constexpr std::uint32_t kBlue = 0x000000ffU;
constexpr std::uint32_t kWhite = 0x00ffffffU;

int channelDistance(std::uint32_t a, std::uint32_t b) {
  int worst = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    const int d = static_cast<int>((a >> shift) & 0xffU) - static_cast<int>((b >> shift) & 0xffU);
    worst = std::max(worst, d < 0 ? -d : d);
  }
  return worst;
}

TEST(FitCentred, KeepsTheAspectRatioAndCentres) {
  struct Case {
    int sw, sh, dw, dh;
    Placement expected;
  };
  const Case cases[] = {
      {1920, 1080, 1920, 1080, {0, 0, 1920, 1080}},
      {1920, 1080, 1280, 720, {0, 0, 1280, 720}},
      {1920, 1080, 400, 400, {0, 87, 400, 225}},
      {1000, 1000, 300, 200, {50, 0, 200, 200}},
      {1280, 1024, 1280, 720, {190, 0, 900, 720}},
      {1, 1000, 10, 10, {4, 0, 1, 10}},  // never thinner than a pixel
      {0, 1080, 10, 10, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    const Placement p = fitCentred(c.sw, c.sh, c.dw, c.dh);
    EXPECT_EQ(std::tie(p.x, p.y, p.width, p.height),
              std::tie(c.expected.x, c.expected.y, c.expected.width, c.expected.height))
        << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh;
  }
}

// Four coloured quadrants, scaled: each lands in its quadrant of the
// placement, opaque, and the margins are opaque black.
TEST(RunScale, QuadrantsLandInPlaceWithBlackMargins) {
  struct Case {
    int dw, dh;
    ScaleFilter filter;
  };
  const Case cases[] = {
      {1920, 1080, ScaleFilter::kCopy},      {960, 540, ScaleFilter::kBilinear},
      {1280, 720, ScaleFilter::kBilinear},   {2400, 1350, ScaleFilter::kBilinear},
      {320, 180, ScaleFilter::kConvolution}, {400, 400, ScaleFilter::kConvolution},
      {1200, 600, ScaleFilter::kBilinear},   {1280, 1024, ScaleFilter::kBilinear},
  };
  Image source(1920, 1080, 12);
  source.fill(0, 0, 960, 540, kRed);
  source.fill(960, 0, 960, 540, kGreen);
  source.fill(0, 540, 960, 540, kBlue);
  source.fill(960, 540, 960, 540, kWhite);

  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.dw) + "x" + std::to_string(c.dh));
    Image destination(c.dw, c.dh, 64);
    ScalePlan plan;
    ASSERT_TRUE(makeScalePlan(source.view(), destination.view(), plan));
    EXPECT_EQ(plan.filter, c.filter);
    runScale(plan);
    const Placement& p = plan.placement;
    const std::uint32_t quadrant[2][2] = {{kRed, kGreen}, {kBlue, kWhite}};
    for (int qy = 0; qy < 2; ++qy) {
      for (int qx = 0; qx < 2; ++qx) {
        const int x = p.x + p.width * (1 + 2 * qx) / 4;
        const int y = p.y + p.height * (1 + 2 * qy) / 4;
        EXPECT_EQ(destination.at(x, y), quadrant[qy][qx] | kBlack) << "at " << x << "," << y;
      }
    }
    int wrong = 0;
    for (int y = 0; y < c.dh; ++y) {
      for (int x = 0; x < c.dw; ++x) {
        const bool inside = x >= p.x && x < p.x + p.width && y >= p.y && y < p.y + p.height;
        const std::uint32_t pixel = destination.at(x, y);
        if ((pixel >> 24) != 0xffU || (!inside && pixel != kBlack)) ++wrong;
      }
      // The row padding belongs to nobody.
      EXPECT_EQ(destination.bytes[static_cast<std::size_t>(y) * destination.stride + c.dw * 4],
                0xAB);
    }
    EXPECT_EQ(wrong, 0);
  }
}

TEST(RunScale, SameSizeIsAnExactCopyAcrossStrides) {
  Image source(333, 77, 4);
  for (int y = 0; y < source.height; ++y) {
    for (int x = 0; x < source.width; ++x) {
      source.set(x, y, static_cast<std::uint32_t>(x * 7919 + y * 104729) & 0x00ffffffU);
    }
  }
  Image destination(333, 77, 100);
  ScalePlan plan;
  ASSERT_TRUE(makeScalePlan(source.view(), destination.view(), plan));
  ASSERT_EQ(plan.filter, ScaleFilter::kCopy);
  runScale(plan);
  for (int y = 0; y < source.height; ++y) {
    for (int x = 0; x < source.width; ++x) {
      ASSERT_EQ(destination.at(x, y), source.at(x, y) | kBlack) << x << "," << y;
    }
  }
}

// One-pixel stripes shrunk 5x must come out near grey; bilinear sampling
// lands on single stripes and turns them into black and white bands (the
// aliasing that eats small text).
TEST(RunScale, StrongShrinkAveragesFineDetail) {
  Image source(1920, 1080);
  for (int x = 0; x < source.width; ++x) {
    source.fill(x, 0, 1, source.height, x % 2 == 0 ? 0x00000000U : kWhite);
  }
  Image destination(384, 216);
  ScalePlan plan;
  ASSERT_TRUE(makeScalePlan(source.view(), destination.view(), plan));
  runScale(plan);
  int worst = 0;
  for (int y = 0; y < destination.height; ++y) {
    for (int x = 0; x < destination.width; ++x) {
      worst = std::max(worst, channelDistance(destination.at(x, y), 0xff808080U));
    }
  }
  EXPECT_LE(worst, 32);
}

TEST(MakeScalePlan, RefusesEmptyImages) {
  Image source(10, 10);
  Image destination(10, 10);
  ScalePlan plan;
  EXPECT_FALSE(makeScalePlan({source.bytes.data(), 0, 10, 40}, destination.view(), plan));
  EXPECT_FALSE(makeScalePlan(source.view(), {destination.bytes.data(), 10, 0, 40}, plan));
}

// Rescaling only what a changed source rectangle reaches must give the same
// pixels as scaling the whole changed source, edges and filter reach included.
TEST(PartialScale, MatchesTheWholeScale) {
  struct Case {
    int sw, sh, dw, dh;
    ScaleFilter filter;
    Placement changed;
  };
  const Case cases[] = {
      {64, 48, 64, 48, ScaleFilter::kCopy, {10, 7, 5, 3}},
      {96, 54, 64, 36, ScaleFilter::kBilinear, {30, 20, 7, 5}},
      {96, 54, 64, 36, ScaleFilter::kBilinear, {0, 0, 3, 2}},
      {96, 54, 64, 40, ScaleFilter::kBilinear, {90, 50, 6, 4}},  // margins, far corner
      {40, 30, 100, 75, ScaleFilter::kBilinear, {12, 9, 1, 1}},  // enlarging
      {200, 120, 40, 24, ScaleFilter::kConvolution, {101, 37, 9, 4}},
      {200, 120, 40, 24, ScaleFilter::kConvolution, {195, 0, 5, 120}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.sw) + "x" + std::to_string(c.sh) + " to " + std::to_string(c.dw) +
                 "x" + std::to_string(c.dh));
    Image source(c.sw, c.sh, 8);
    for (int y = 0; y < c.sh; ++y) {
      for (int x = 0; x < c.sw; ++x) source.set(x, y, (x * 37U + y * 101U) * 2654435761U >> 8);
    }
    Image partial(c.dw, c.dh, 4);
    ScalePlan plan;
    ASSERT_TRUE(makeScalePlan(source.view(), partial.view(), plan));
    ASSERT_EQ(plan.filter, c.filter);
    runScale(plan);
    for (int y = c.changed.y; y < c.changed.y + c.changed.height; ++y) {
      for (int x = c.changed.x; x < c.changed.x + c.changed.width; ++x) {
        source.set(x, y, 0x00ffffffU ^ source.at(x, y));
      }
    }
    const Placement part = affectedOutput(plan, c.changed);
    EXPECT_LT(part.width * part.height, plan.placement.width * plan.placement.height / 4);
    runScale(plan, part);

    Image whole(c.dw, c.dh, 4);
    ScalePlan fresh;
    ASSERT_TRUE(makeScalePlan(source.view(), whole.view(), fresh));
    runScale(fresh);
    int wrong = 0;
    for (int y = 0; y < c.dh; ++y) {
      for (int x = 0; x < c.dw; ++x) wrong += partial.at(x, y) != whole.at(x, y);
    }
    EXPECT_EQ(wrong, 0);
  }
}

}  // namespace
}  // namespace vexel::screencap::x11
