// Where a window of a given size goes when centred on a rectangle and kept
// inside the work area.
#pragma once

struct Box {
  int left, top, right, bottom;
};

struct Point2 {
  int x, y;
};

Point2 CentredPosition(const Box& area, const Box& centre, int width, int height);
