#include "screencap/platform/x11/cursor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace vexel::screencap::x11 {
namespace {

std::uint32_t over(std::uint32_t source, std::uint32_t destination) {
  const std::uint32_t inverse = 255 - (source >> 24);
  std::uint32_t out = 0;
  for (int shift = 0; shift < 24; shift += 8) {
    const std::uint32_t s = (source >> shift) & 0xffU;
    const std::uint32_t d = (destination >> shift) & 0xffU;
    out |= std::min<std::uint32_t>(255, s + (d * inverse + 127) / 255) << shift;
  }
  return out;
}

// A 4x4 cursor of opaque, half-transparent and clear pixels, drawn on a
// 6x5 image at positions inside and across every edge. The oracle is the
// per-pixel OVER of premultiplied colour; bytes around the image stay put.
TEST(CompositeCursor, DrawsPremultipliedOverAndClipsAtEveryEdge) {
  CursorImage cursor;
  cursor.width = 4;
  cursor.height = 4;
  for (int i = 0; i < 16; ++i) {
    const std::uint32_t kinds[] = {0xffffffffU, 0x80404040U, 0x00000000U, 0xff000000U};
    cursor.argb.push_back(kinds[i % 4]);
  }
  const int width = 6;
  const int height = 5;
  const int stride = width * 4 + 8;
  const int origin[2] = {100, 50};  // the image's place in root coordinates
  const int positions[][2] = {{0, 0}, {1, 1}, {-2, -2}, {4, 3}, {-3, 2}, {5, -3}, {6, 5}, {-4, 0}};

  for (const auto& position : positions) {
    SCOPED_TRACE(std::to_string(position[0]) + "," + std::to_string(position[1]));
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(stride) * (height + 2), 0xCD);
    std::uint8_t* pixels = bytes.data() + stride;  // one guard row above and below
    const std::uint32_t background = 0x00ff0000U;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) std::memcpy(pixels + y * stride + x * 4, &background, 4);
    }
    cursor.left = origin[0] + position[0];
    cursor.top = origin[1] + position[1];
    compositeCursor({pixels, width, height, stride}, origin[0], origin[1], cursor);

    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        std::uint32_t got = 0;
        std::memcpy(&got, pixels + y * stride + x * 4, 4);
        const int cx = x - position[0];
        const int cy = y - position[1];
        std::uint32_t expected = background;
        if (cx >= 0 && cx < 4 && cy >= 0 && cy < 4) {
          expected = over(cursor.argb[static_cast<std::size_t>(cy) * 4 + cx], background);
        }
        // pixman rounds slightly differently; one step is its due.
        for (int shift = 0; shift < 24; shift += 8) {
          const int g = static_cast<int>((got >> shift) & 0xffU);
          const int e = static_cast<int>((expected >> shift) & 0xffU);
          EXPECT_LE(std::abs(g - e), 1) << "pixel " << x << "," << y;
        }
      }
      for (int pad = width * 4; pad < stride; ++pad) EXPECT_EQ(pixels[y * stride + pad], 0xCD);
    }
    for (int i = 0; i < stride; ++i) {
      EXPECT_EQ(bytes[i], 0xCD);
      EXPECT_EQ(bytes[static_cast<std::size_t>(stride) * (height + 1) + i], 0xCD);
    }
  }
}

}  // namespace
}  // namespace vexel::screencap::x11
