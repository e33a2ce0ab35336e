#pragma once

#include <pixman.h>

#include <cstdint>
#include <memory>

namespace vexel::screencap::x11 {

// 32-bit pixels in memory order B, G, R, A (or X), `stride` bytes per row.
struct ImageView {
  std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;
};

// Where the scaled image lies inside the destination.
struct Placement {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// The largest rectangle of the source's aspect ratio that fits, centred.
Placement fitCentred(int sourceWidth, int sourceHeight, int destinationWidth,
                     int destinationHeight);

enum class ScaleFilter { kCopy, kBilinear, kConvolution };

// Shrinking by more than this aliases small text under bilinear sampling.
inline constexpr double kBilinearShrinkLimit = 2.0;

struct PixmanImageRelease {
  void operator()(pixman_image_t* image) const { pixman_image_unref(image); }
};
using PixmanImage = std::unique_ptr<pixman_image_t, PixmanImageRelease>;

// Everything the per-frame scale needs, prepared once for a pair of buffers
// whose memory stays put.
struct ScalePlan {
  ScaleFilter filter = ScaleFilter::kCopy;
  Placement placement;
  double scaleX = 1;  // source pixels per destination pixel
  double scaleY = 1;
  PixmanImage source;
  PixmanImage destination;
};

// Fills the destination with opaque black (the margins never change, so they
// are painted here once) and chooses the filter. False when pixman refuses
// the buffers.
bool makeScalePlan(ImageView source, ImageView destination, ScalePlan& plan);

// Scales the current source pixels into the placement; alpha comes out opaque.
void runScale(const ScalePlan& plan);

// The destination rectangle whose pixels read any pixel of `changed` (a
// rectangle of the source), with the filter's reach around it; empty when
// `changed` is.
Placement affectedOutput(const ScalePlan& plan, const Placement& changed);

// Scales only `part` of the destination (from affectedOutput), exactly as the
// whole scale would.
void runScale(const ScalePlan& plan, const Placement& part);

// Sets the alpha of `part` of `image` opaque, as a scale does: the X server
// leaves the byte undefined.
void makeOpaque(ImageView image, const Placement& part);

}  // namespace vexel::screencap::x11
