#include <gtest/gtest.h>

#include "ui/dpi_scale.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

TEST(ScaleForDpi, RoundsToTheNearestPixelHalvesAwayFromZero) {
  const struct {
    int32_t value, dpi, scaled;
  } cases[] = {
      {580, 96, 580}, {137, 144, 206}, {-137, 144, -206}, {1, 144, 2}, {-1, 144, -2},
      {3, 120, 4},    {1, 120, 1},     {40, 168, 70},     {48, 97, 49}, {47, 97, 47},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.value << " at " << c.dpi);
    EXPECT_EQ(ScaleForDpi(c.value, c.dpi), c.scaled);
  }
}

TEST(ScaleForDpi, EdgesScaleOnTheirOwn) {
  PixelRect r = ScaleForDpi(PixelRect{120, 220, 137, 238}, 144);
  EXPECT_EQ(r.left, 180);
  EXPECT_EQ(r.top, 330);
  EXPECT_EQ(r.right, 206);  // where the next label begins, as at 96 dpi
  EXPECT_EQ(r.bottom, 357);
}

#ifdef _WIN32
TEST(ScaleForDpi, AgreesWithTheSystemsMulDiv) {
  for (int32_t dpi : {72, 96, 120, 144, 168, 192, 240, 288}) {
    for (int32_t value = -700; value <= 700; ++value) {
      ASSERT_EQ(ScaleForDpi(value, dpi), MulDiv(value, dpi, 96)) << value << " at " << dpi;
    }
  }
}
#endif

}  // namespace
