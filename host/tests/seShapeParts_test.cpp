// Validation of positions along shape curves: wrapping on closed curves,
// clamping on open ones, and never leaving the documented range.
#include "shape/seShapeParts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

TEST(SeShapePartsTest, ClosedCurvesWrapByWholeLapsOpenOnesClamp) {
  struct Case {
    float position;
    int n;
    float closed, open;
  } const cases[] = {{3.25f, 3, 0.25f, 3}, {-0.5f, 3, 2.5f, 0}, {1.75f, 3, 1.75f, 1.75f}, {3.0f, 3, 0, 3},
                     {-6.0f, 3, 0, 0},     {10.5f, 4, 2.5f, 4}, {7.0f, 4, 3.0f, 4},       {INFINITY, 5, 0, 5},
                     {-INFINITY, 5, 0, 0}, {NAN, 5, 0, 0}};
  for (Case const& c : cases) {
    EXPECT_EQ(SeShapeParts::validateGradientHandleClosedCurve(c.position, c.n), c.closed) << c.position;
    EXPECT_EQ(SeShapeParts::validateGradientHandleOpenedCurve(0, c.position, c.n), c.open) << c.position;
  }
  EXPECT_EQ(SeShapeParts::validateGradientHandleOpenedCurve(0, 2.0f, -1), 0.0f);  // no room at all
}

TEST(SeShapePartsTest, RandomPositionsLandInRange) {
  std::mt19937 rng(17);
  std::uniform_real_distribution<float> pos(-1e4f, 1e4f), tiny(-1e-6f, 1e-6f);
  for (int i = 0; i < 20000; ++i) {
    int const n = 1 + i % 50;
    float const p = i % 7 == 0 ? tiny(rng) : (i % 11 == 0 ? n * std::round(pos(rng)) : pos(rng));
    float const c = SeShapeParts::validateGradientHandleClosedCurve(p, n);
    ASSERT_TRUE(c >= 0.0f && c < n) << p << " on " << n << " -> " << c;
    float const o = SeShapeParts::validateGradientHandleOpenedCurve(0, p, n - 1);
    ASSERT_TRUE(o >= 0.0f && o <= n - 1) << p << " on " << n << " -> " << o;
  }
  EXPECT_EQ(SeShapeParts::validateGradientHandleClosedCurve(1.5f, 0), 0.0f);
}

}  // namespace
