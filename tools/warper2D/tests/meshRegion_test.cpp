// The mesh region rule: the lattice of the enlarged region must close on
// whole top-level cells.
#include <gtest/gtest.h>

#include <climits>

#include "warpGridProc.h"

namespace {

using Qx::Warper2D::WarpGridProc;
using Rect = GeRectangle<int>;

TEST(CoarsestGridStepTest, EightCellsAlongTheShorterSide) {
  EXPECT_EQ(WarpGridProc::coarsestGridStep(1, 1000), 1);
  EXPECT_EQ(WarpGridProc::coarsestGridStep(8, 8), 1);
  EXPECT_EQ(WarpGridProc::coarsestGridStep(9, 100), 2);
  EXPECT_EQ(WarpGridProc::coarsestGridStep(16, 16), 2);
  EXPECT_EQ(WarpGridProc::coarsestGridStep(17, 40), 4);
  EXPECT_EQ(WarpGridProc::coarsestGridStep(64, 33), 8);
  EXPECT_EQ(WarpGridProc::coarsestGridStep(65, 1000), 16);
  EXPECT_EQ(WarpGridProc::coarsestGridStep(1920, 1080), 256);
  // Sides near the int range: no overflow of 8 s, no endless loop.
  EXPECT_EQ(WarpGridProc::coarsestGridStep(1073741825, INT_MAX), 268435456);
  EXPECT_EQ(WarpGridProc::coarsestGridStep(INT_MAX, INT_MAX), 268435456);
}

TEST(CorrespondenceRegionTest, WorkedExamples) {
  EXPECT_EQ(WarpGridProc::computeCorrespondenceImageRegion(Rect(0, 0, 100, 50)), Rect(0, 0, 105, 57));
  EXPECT_EQ(WarpGridProc::computeCorrespondenceImageRegion(Rect(0, 0, 9, 9)), Rect(0, 0, 9, 9));
  EXPECT_EQ(WarpGridProc::computeCorrespondenceImageRegion(Rect(0, 0, 10, 10)), Rect(0, 0, 11, 11));
  // A shorter side of at most 8 leaves the region as it is.
  EXPECT_EQ(WarpGridProc::computeCorrespondenceImageRegion(Rect(-7, 3, 500, 11)), Rect(-7, 3, 500, 11));
  EXPECT_EQ(WarpGridProc::computeCorrespondenceImageRegion(Rect(4, 4, 4, 9)), Rect(4, 4, 4, 9));
  // A region spanning nearly the whole int range stays a valid rectangle.
  Rect const huge(-INT_MAX, -5, INT_MAX, 2000000000);
  Rect const out = WarpGridProc::computeCorrespondenceImageRegion(huge);
  EXPECT_EQ(out.x1(), huge.x1());
  EXPECT_EQ(out.y1(), huge.y1());
  EXPECT_GE(out.x2(), huge.x2());
  EXPECT_GE(out.y2(), huge.y2());
}

TEST(CorrespondenceRegionTest, SweepClosesTheLatticeAndKeepsTheOrigin) {
  for (int w = 1; w <= 300; w += 1)
    for (int h : {1, 2, 8, 9, 16, 17, 31, 64, 65, 127, 200, 513}) {
      for (int x0 : {0, -37, 1001}) {
        Rect const in(x0, -x0, x0 + w, -x0 + h);
        Rect const out = WarpGridProc::computeCorrespondenceImageRegion(in);
        int const s = WarpGridProc::coarsestGridStep(w, h);
        ASSERT_EQ(out.x1(), in.x1());
        ASSERT_EQ(out.y1(), in.y1());
        ASSERT_GE(out.x2(), in.x2());
        ASSERT_GE(out.y2(), in.y2());
        ASSERT_EQ((out.getWidth() - 1) % s, 0) << w << "x" << h;
        ASSERT_EQ((out.getHeight() - 1) % s, 0) << w << "x" << h;
        // The smallest such enlargement: less than one cell added.
        ASSERT_LT(out.getWidth() - w, s);
        ASSERT_LT(out.getHeight() - h, s);
      }
    }
}

}  // namespace
