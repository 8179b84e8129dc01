// Sizes for the screen's resolution. The window is laid out in pixels at 96
// dots per inch; at any other resolution every position, size and font
// height is that value times dpi / 96, rounded the one way written here.
#pragma once
#include <cstdint>

inline constexpr int32_t kBaseDpi = 96;

// value × dpi / 96 rounded to the nearest whole pixel, a half away from
// zero: the rounding of the system's MulDiv, so a size computed here and one
// the system computes agree.
int32_t ScaleForDpi(int32_t value, int32_t dpi);

struct PixelRect {
  int32_t left, top, right, bottom;
};

// Each edge scaled on its own, so controls that touch at 96 dpi still touch.
PixelRect ScaleForDpi(const PixelRect& rect, int32_t dpi);
