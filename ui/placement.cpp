#include "ui/placement.h"

namespace {
int Clamp(int pos, int size, int low, int high) {
  if (pos < low) return low;
  if (pos + size > high) return high - size;
  return pos;
}
}  // namespace

Point2 CentredPosition(const Box& area, const Box& centre, int width, int height) {
  int x = (centre.left + centre.right) / 2 - width / 2;
  int y = (centre.top + centre.bottom) / 2 - height / 2;
  return {Clamp(x, width, area.left, area.right), Clamp(y, height, area.top, area.bottom)};
}
