// The mesh region rule (the lattice of the enlarged region closes on whole
// top-level cells) and the solve arguments that "Quality" gives a region.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>

#include "warpGridProc.h"

namespace {

using Qx::Warper2D::WarpGridProc;
using Rect = GeRectangle<int>;

TEST(MeshRegionTest, CoarsestGridStepAndWorkedRegions) {
  for (auto [w, h, step] : {std::array{1, 1000, 1}, {8, 8, 1}, {9, 100, 2}, {16, 16, 2}, {17, 40, 4}, {64, 33, 8},
                            {65, 1000, 16}, {1920, 1080, 256}, {1073741825, INT_MAX, 268435456}, {INT_MAX, INT_MAX, 268435456}})
    EXPECT_EQ(WarpGridProc::coarsestGridStep(w, h), step) << w << "x" << h;
  for (auto [in, out] : {std::pair{Rect(0, 0, 100, 50), Rect(0, 0, 105, 57)}, {Rect(0, 0, 9, 9), Rect(0, 0, 9, 9)},
                         {Rect(0, 0, 10, 10), Rect(0, 0, 11, 11)}, {Rect(-7, 3, 500, 11), Rect(-7, 3, 500, 11)},
                         {Rect(4, 4, 4, 9), Rect(4, 4, 4, 9)}})
    EXPECT_EQ(WarpGridProc::computeCorrespondenceImageRegion(in), out) << in;
  // A region spanning nearly the whole int range stays a valid rectangle.
  Rect const huge(-INT_MAX, -5, INT_MAX, 2000000000), out = WarpGridProc::computeCorrespondenceImageRegion(huge);
  EXPECT_TRUE(out.x1() == huge.x1() && out.y1() == huge.y1() && out.x2() >= huge.x2() && out.y2() >= huge.y2());
}

TEST(MeshRegionTest, SweepClosesTheLatticeWithTheSmallestEnlargement) {
  for (int w = 1; w <= 300; ++w)
    for (int h : {1, 8, 9, 17, 31, 64, 65, 200, 513}) {
      Rect const in(w - 37, 11, 2 * w - 37, 11 + h), out = WarpGridProc::computeCorrespondenceImageRegion(in);
      int const s = WarpGridProc::coarsestGridStep(w, h);
      ASSERT_TRUE(out.x1() == in.x1() && out.y1() == in.y1()) << w << "x" << h;
      ASSERT_TRUE((out.getWidth() - 1) % s == 0 && (out.getHeight() - 1) % s == 0) << w << "x" << h;
      ASSERT_TRUE(out.getWidth() >= w && out.getWidth() - w < s && out.getHeight() >= h && out.getHeight() - h < s) << w << "x" << h;
    }
}

TEST(MeshRegionTest, SolveArgumentsForQuality) {
  // Worked from the generator's formulas: the 641 x 385 mesh of a 640 x 360
  // frame at quality 3 (a = 0.0803, q = 12.5); a 1921 x 1153 mesh at quality
  // 1 (a = 0.721, q = 0.5: the floor 1760.3 rounds to 2048); a small region
  // at its area floor (a = 0.005); a NaN quality ends at the largest floor.
  struct Case {
    double quality;
    Rect region;
    int minStep, passWork, cycleWork;
    double refineThreshold;
  };
  for (Case const& c : {Case{3, Rect(0, 0, 641, 385), 1, 5000, 375, 0.0043279}, Case{1, Rect(5, 5, 1926, 1158), 2048, 200, 42, 3.7583},
                        Case{1, Rect(0, 0, 50, 50), 1, 200, 15, 0.0075213}, Case{NAN, Rect(0, 0, 9, 9), 1 << 30, 0, 1, NAN}}) {
    WarpGridProc::SolveArguments const a = WarpGridProc::computeSolveArguments(c.quality, c.region);
    EXPECT_TRUE(a.minStep == c.minStep && a.passWork == c.passWork && a.cycleWork == c.cycleWork) << c.region << ": " << a.minStep
                                                                                                   << " " << a.passWork << " " << a.cycleWork;
    EXPECT_TRUE(std::isnan(c.refineThreshold) ? std::isnan(a.refineThreshold) : std::fabs(a.refineThreshold / c.refineThreshold - 1) < 1e-4)
        << a.refineThreshold;
  }
}

}  // namespace
