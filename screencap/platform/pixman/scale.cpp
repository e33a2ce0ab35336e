#include "screencap/platform/pixman/scale.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace vexel::screencap::x11 {

namespace {

constexpr std::uint32_t kOpaqueBlack = 0xff000000U;
// Area averaging (point reconstruction, box sampling) with two sub-pixel
// phases: the cheapest pixman convolution that still keeps thin strokes.
constexpr int kConvolutionSubsampleBits = 1;

// Destination indices [first, last) along one axis, out of `length`, whose
// sample point ((index + 0.5) × scale in source pixels) lies within `reach`
// source pixels of the source span [begin, end).
std::pair<int, int> readersOf(int begin, int end, double scale, double reach, int length) {
  const double first = std::floor((begin - reach) / scale - 0.5);
  const double last = std::ceil((end + reach) / scale + 0.5);
  return {static_cast<int>(std::clamp(first, 0.0, static_cast<double>(length))),
          static_cast<int>(std::clamp(last, 0.0, static_cast<double>(length)))};
}

std::int64_t roundedQuotient(std::int64_t numerator, std::int64_t denominator) {
  return (2 * numerator + denominator) / (2 * denominator);
}

PixmanImage wrap(pixman_format_code_t format, ImageView view) {
  return PixmanImage(pixman_image_create_bits(
      format, view.width, view.height, reinterpret_cast<std::uint32_t*>(view.data), view.stride));
}

}  // namespace

Placement fitCentred(int sourceWidth, int sourceHeight, int destinationWidth,
                     int destinationHeight) {
  if (sourceWidth <= 0 || sourceHeight <= 0 || destinationWidth <= 0 || destinationHeight <= 0) {
    return {};
  }
  const std::int64_t sw = sourceWidth;
  const std::int64_t sh = sourceHeight;
  const std::int64_t dw = destinationWidth;
  const std::int64_t dh = destinationHeight;
  std::int64_t width = dw;
  std::int64_t height = dh;
  // Integer cross-multiplication keeps equal aspect ratios exactly unscaled on
  // the other axis.
  if (dw * sh < dh * sw) {
    height = std::clamp<std::int64_t>(roundedQuotient(sh * dw, sw), 1, dh);
  } else if (dw * sh > dh * sw) {
    width = std::clamp<std::int64_t>(roundedQuotient(sw * dh, sh), 1, dw);
  }
  return {static_cast<int>((dw - width) / 2), static_cast<int>((dh - height) / 2),
          static_cast<int>(width), static_cast<int>(height)};
}

bool makeScalePlan(ImageView source, ImageView destination, ScalePlan& plan) {
  plan = ScalePlan{};
  plan.placement = fitCentred(source.width, source.height, destination.width, destination.height);
  if (plan.placement.width == 0) return false;
  plan.source = wrap(PIXMAN_x8r8g8b8, source);
  plan.destination = wrap(PIXMAN_a8r8g8b8, destination);
  if (!plan.source || !plan.destination) return false;
  if (pixman_fill(reinterpret_cast<std::uint32_t*>(destination.data), destination.stride / 4, 32, 0,
                  0, destination.width, destination.height, kOpaqueBlack) == 0) {
    return false;
  }
  if (plan.placement.width == source.width && plan.placement.height == source.height) {
    plan.filter = ScaleFilter::kCopy;
    return true;
  }

  const double scaleX = static_cast<double>(source.width) / plan.placement.width;
  const double scaleY = static_cast<double>(source.height) / plan.placement.height;
  plan.scaleX = scaleX;
  plan.scaleY = scaleY;
  pixman_transform_t transform;
  pixman_transform_init_scale(&transform, pixman_double_to_fixed(scaleX),
                              pixman_double_to_fixed(scaleY));
  if (pixman_image_set_transform(plan.source.get(), &transform) == 0) return false;
  // Edge pixels sample their own border instead of fading into transparency.
  pixman_image_set_repeat(plan.source.get(), PIXMAN_REPEAT_PAD);

  if (std::max(scaleX, scaleY) > kBilinearShrinkLimit) {
    plan.filter = ScaleFilter::kConvolution;
    int count = 0;
    pixman_fixed_t* parameters = pixman_filter_create_separable_convolution(
        &count, pixman_double_to_fixed(scaleX), pixman_double_to_fixed(scaleY),
        PIXMAN_KERNEL_IMPULSE, PIXMAN_KERNEL_IMPULSE, PIXMAN_KERNEL_BOX, PIXMAN_KERNEL_BOX,
        kConvolutionSubsampleBits, kConvolutionSubsampleBits);
    if (parameters == nullptr) return false;
    // pixman keeps its own copy of the parameters.
    const bool set = pixman_image_set_filter(plan.source.get(), PIXMAN_FILTER_SEPARABLE_CONVOLUTION,
                                             parameters, count) != 0;
    std::free(parameters);  // NOLINT(cppcoreguidelines-no-malloc): allocated by pixman
    return set;
  }
  plan.filter = ScaleFilter::kBilinear;
  return pixman_image_set_filter(plan.source.get(), PIXMAN_FILTER_BILINEAR, nullptr, 0) != 0;
}

void runScale(const ScalePlan& plan) {
  const Placement& p = plan.placement;
  pixman_image_composite32(PIXMAN_OP_SRC, plan.source.get(), nullptr, plan.destination.get(), 0, 0,
                           0, 0, p.x, p.y, p.width, p.height);
}

Placement affectedOutput(const ScalePlan& plan, const Placement& changed) {
  if (changed.width <= 0 || changed.height <= 0) return {};
  const Placement& p = plan.placement;
  if (plan.filter == ScaleFilter::kCopy) {
    return {p.x + changed.x, p.y + changed.y, changed.width, changed.height};
  }
  // Bilinear sampling reads the two nearest source pixels; the averaging
  // filter a box as wide as the scale. Both get a pixel to spare for the
  // sub-pixel rounding of the sample points.
  auto reach = [&](double scale) {
    return plan.filter == ScaleFilter::kBilinear ? 2.0 : scale / 2 + 2;
  };
  const auto [x0, x1] =
      readersOf(changed.x, changed.x + changed.width, plan.scaleX, reach(plan.scaleX), p.width);
  const auto [y0, y1] =
      readersOf(changed.y, changed.y + changed.height, plan.scaleY, reach(plan.scaleY), p.height);
  if (x1 <= x0 || y1 <= y0) return {};
  return {p.x + x0, p.y + y0, x1 - x0, y1 - y0};
}

void runScale(const ScalePlan& plan, const Placement& part) {
  if (part.width <= 0 || part.height <= 0) return;
  const Placement& p = plan.placement;
  // The source origin follows the destination's, so each pixel is sampled at
  // the same point as in the whole scale.
  pixman_image_composite32(PIXMAN_OP_SRC, plan.source.get(), nullptr, plan.destination.get(),
                           part.x - p.x, part.y - p.y, 0, 0, part.x, part.y, part.width,
                           part.height);
}

void makeOpaque(ImageView image, const Placement& part) {
  // pixman's vector copy, in place: the same memory as source without alpha
  // and as destination with it.
  const PixmanImage source = wrap(PIXMAN_x8r8g8b8, image);
  const PixmanImage destination = wrap(PIXMAN_a8r8g8b8, image);
  if (!source || !destination) return;
  pixman_image_composite32(PIXMAN_OP_SRC, source.get(), nullptr, destination.get(), part.x, part.y,
                           0, 0, part.x, part.y, part.width, part.height);
}

}  // namespace vexel::screencap::x11
