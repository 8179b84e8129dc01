// Where CenterWindow puts a window: centred, then pulled back inside the
// work area.
#include <gtest/gtest.h>

#include "ui/placement.h"

TEST(CentredPosition, Cases) {
  struct Case {
    const char* name;
    Box area;
    Box centre;
    int width, height;
    Point2 expected;
  };
  const Case cases[] = {
      {"full HD work area", {0, 0, 1920, 1040}, {0, 0, 1920, 1040}, 580, 380, {670, 330}},
      {"work area narrower than the window",
       {0, 0, 500, 1040}, {0, 0, 500, 1040}, 580, 380, {0, 330}},
      {"narrower and offset: the left edge wins",
       {100, 0, 600, 1040}, {100, 0, 600, 1040}, 580, 380, {100, 330}},
      {"lower than the window", {0, 0, 1920, 300}, {0, 0, 1920, 300}, 580, 380, {670, 0}},
      {"exactly the window's size", {0, 0, 580, 380}, {0, 0, 580, 380}, 580, 380, {0, 0}},
      {"owner near the right edge",
       {0, 0, 1000, 800}, {800, 100, 1000, 300}, 580, 380, {420, 10}},
      {"owner near the bottom edge",
       {0, 0, 1000, 800}, {100, 700, 300, 800}, 100, 200, {150, 600}},
      {"owner past the left edge",
       {0, 0, 1000, 800}, {-400, 0, -200, 800}, 100, 100, {0, 350}},
      {"owner above the top edge",
       {0, 50, 1000, 800}, {0, -300, 1000, -100}, 100, 100, {450, 50}},
      // Each half is truncated toward zero, not rounded down.
      {"odd sums and sizes truncate toward zero",
       {-5000, -5000, 5000, 5000}, {-1001, -11, 0, 0}, 3, 5, {-501, -7}},
      {"odd positive sums", {0, 0, 1001, 1001}, {0, 0, 1001, 1001}, 581, 381, {210, 310}},
      {"secondary monitor to the left",
       {-1920, 0, 0, 1040}, {-1920, 0, 0, 1040}, 580, 380, {-1250, 330}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Point2 got = CentredPosition(c.area, c.centre, c.width, c.height);
    EXPECT_EQ(got.x, c.expected.x);
    EXPECT_EQ(got.y, c.expected.y);
  }
}
