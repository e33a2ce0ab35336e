#pragma once

#include <pixman.h>

#include <cstdint>

#include "screencap/platform/pixman/scale.h"

namespace vexel::screencap::wlr {

// How an output's buffer becomes the image the user sees: the output's
// transform (wl_output values 0-7, the last four mirrored) and the buffer's
// y-invert flag, which applies first.
struct Orientation {
  std::int32_t transform = 0;
  bool yInvert = false;
  friend bool operator==(const Orientation&, const Orientation&) = default;
};

bool isUpright(Orientation orientation);

// The size of the image as seen, for a buffer of `width` × `height`.
void orientedSize(std::int32_t transform, int width, int height, int& shownWidth, int& shownHeight);

// Draws the buffer (pixels of `format`) upright into `destination`, whose size
// is the oriented size; false when pixman refuses the images.
bool orient(x11::ImageView buffer, pixman_format_code_t format, Orientation orientation,
            x11::ImageView destination);

}  // namespace vexel::screencap::wlr
