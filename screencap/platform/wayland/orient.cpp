#include "screencap/platform/wayland/orient.h"

#include <utility>

namespace vexel::screencap::wlr {

namespace {

bool quarterTurn(std::int32_t transform) {
  return (transform & 1) != 0;
}

}  // namespace

bool isUpright(Orientation orientation) {
  return orientation.transform == 0 && !orientation.yInvert;
}

void orientedSize(std::int32_t transform, int width, int height, int& shownWidth,
                  int& shownHeight) {
  shownWidth = quarterTurn(transform) ? height : width;
  shownHeight = quarterTurn(transform) ? width : height;
}

bool orient(x11::ImageView buffer, pixman_format_code_t format, Orientation orientation,
            x11::ImageView destination) {
  // Built forward, buffer to screen, in continuous coordinates (a pixel spans
  // one unit, so its centre maps onto a centre), then inverted for pixman,
  // which asks where each destination pixel comes from.
  double w = buffer.width;
  double h = buffer.height;
  pixman_f_transform forward;
  pixman_f_transform_init_identity(&forward);
  const auto then = [&](double xx, double xy, double x0, double yx, double yy, double y0) {
    pixman_f_transform step;
    step.m[0][0] = xx;
    step.m[0][1] = xy;
    step.m[0][2] = x0;
    step.m[1][0] = yx;
    step.m[1][1] = yy;
    step.m[1][2] = y0;
    step.m[2][0] = 0;
    step.m[2][1] = 0;
    step.m[2][2] = 1;
    pixman_f_transform_multiply(&forward, &step, &forward);
  };
  if (orientation.yInvert) then(1, 0, 0, 0, -1, h);
  const std::int32_t t = orientation.transform & 7;
  const bool flipped = (t & 4) != 0;
  if (flipped) then(-1, 0, w, 0, 1, 0);
  // The compositor turns the output's content by the transform to fill the
  // buffer, so the buffer is turned back: a quarter turn the other way, while
  // a mirrored turn is its own inverse.
  switch (flipped ? (t & 3) : (4 - t) & 3) {
    case 1:  // (x, y) -> (y, w - x)
      then(0, 1, 0, -1, 0, w);
      std::swap(w, h);
      break;
    case 2:
      then(-1, 0, w, 0, -1, h);
      break;
    case 3:  // (x, y) -> (h - y, x)
      then(0, -1, h, 1, 0, 0);
      std::swap(w, h);
      break;
    default:
      break;
  }
  pixman_f_transform backward;
  if (pixman_f_transform_invert(&backward, &forward) == 0) return false;
  pixman_transform_t fixed;
  if (pixman_transform_from_pixman_f_transform(&fixed, &backward) == 0) return false;

  x11::PixmanImage source(pixman_image_create_bits(format, buffer.width, buffer.height,
                                                   reinterpret_cast<std::uint32_t*>(buffer.data),
                                                   buffer.stride));
  x11::PixmanImage target(pixman_image_create_bits(
      PIXMAN_x8r8g8b8, destination.width, destination.height,
      reinterpret_cast<std::uint32_t*>(destination.data), destination.stride));
  if (!source || !target) return false;
  if (pixman_image_set_transform(source.get(), &fixed) == 0) return false;
  // Whole pixels move to whole pixels: no filtering needed.
  pixman_image_set_filter(source.get(), PIXMAN_FILTER_NEAREST, nullptr, 0);
  pixman_image_composite32(PIXMAN_OP_SRC, source.get(), nullptr, target.get(), 0, 0, 0, 0, 0, 0,
                           destination.width, destination.height);
  return true;
}

}  // namespace vexel::screencap::wlr
