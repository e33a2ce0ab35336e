#include "screencap/platform/x11/cursor.h"

namespace vexel::screencap::x11 {

void compositeCursor(ImageView target, int originX, int originY, const CursorImage& cursor) {
  if (cursor.width <= 0 || cursor.height <= 0) return;
  if (cursor.argb.size() < static_cast<std::size_t>(cursor.width) * cursor.height) return;
  // pixman only reads the cursor pixels; its interface is not const-correct.
  PixmanImage source(pixman_image_create_bits(
      PIXMAN_a8r8g8b8, cursor.width, cursor.height,
      const_cast<std::uint32_t*>(
          cursor.argb.data()),  // NOLINT(cppcoreguidelines-pro-type-const-cast)
      cursor.width * 4));
  PixmanImage destination(pixman_image_create_bits(PIXMAN_x8r8g8b8, target.width, target.height,
                                                   reinterpret_cast<std::uint32_t*>(target.data),
                                                   target.stride));
  if (!source || !destination) return;
  // pixman clips the rectangle to the destination, negative corners included.
  pixman_image_composite32(PIXMAN_OP_OVER, source.get(), nullptr, destination.get(), 0, 0, 0, 0,
                           cursor.left - originX, cursor.top - originY, cursor.width,
                           cursor.height);
}

}  // namespace vexel::screencap::x11
