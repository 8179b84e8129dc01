#include "ui/dpi_scale.h"

int32_t ScaleForDpi(int32_t value, int32_t dpi) {
  int64_t product = int64_t{value} * dpi;
  // Rounds the magnitude, so that -x scales to exactly -(x scaled).
  int64_t magnitude = (product < 0 ? -product : product) + kBaseDpi / 2;
  int64_t scaled = magnitude / kBaseDpi;
  return static_cast<int32_t>(product < 0 ? -scaled : scaled);
}

PixelRect ScaleForDpi(const PixelRect& rect, int32_t dpi) {
  return {ScaleForDpi(rect.left, dpi), ScaleForDpi(rect.top, dpi), ScaleForDpi(rect.right, dpi),
          ScaleForDpi(rect.bottom, dpi)};
}
