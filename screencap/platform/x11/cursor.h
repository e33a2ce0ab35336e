#pragma once

#include <cstdint>
#include <vector>

#include "screencap/platform/pixman/scale.h"

namespace vexel::screencap::x11 {

// The pointer's image as XFixes reports it: premultiplied ARGB, one 32-bit
// value a pixel, rows packed.
struct CursorImage {
  int left = 0;  // top-left corner in root coordinates, hotspot applied
  int top = 0;
  int width = 0;
  int height = 0;
  std::uint32_t serial = 0;
  std::vector<std::uint32_t> argb;
};

// Draws the cursor over `target`, whose top-left pixel lies at
// (originX, originY) in root coordinates; the parts outside are clipped.
void compositeCursor(ImageView target, int originX, int originY, const CursorImage& cursor);

}  // namespace vexel::screencap::x11
