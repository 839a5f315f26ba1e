// Tests of the power-basis curve tables and the first-root search.
#include "curveEvaluator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "primitives/geBezierCurve.h"
#include "warpTestNodes.h"

using namespace Qx::Warper2D;
using P = GePoint2<float>;

namespace {

// Straight segments (zero handles: the speed vanishes at every point).
GeBezierCurve polyline(std::vector<P> const& points, bool closed) { return warptest::polygon(points, closed); }

// An S with a corner at point 1, open and closed.
Vector<P> const kS = {{0, 0}, {0, 0}, {10, 5}, {20, 0}, {30, 0}, {30, 10}, {30, 20}, {40, 40}, {40, 40}};
GeBezierCurve const kCorner(kS, GeBezierCurve::OPEN), kClosed(kS, GeBezierCurve::CLOSED);

using warptest::failedCondition;

// p(t) = k (t - r0)(t - r1)(t - r2) as ((a t + b) t + c) t + d.
struct Cubic { float a, b, c, d; };
Cubic fromRoots(double r0, double r1, double r2, double k = 1.0) {
  return {static_cast<float>(k), static_cast<float>(-k * (r0 + r1 + r2)),
          static_cast<float>(k * (r0 * r1 + r0 * r2 + r1 * r2)), static_cast<float>(-k * r0 * r1 * r2)};
}

}  // namespace

TEST(CurveEvaluatorTest, PointsAndDerivativesMatchTheHostCurve) {
  // Handles pass through (angle, length): a few float ulps apart. Slopes as
  // central differences; t = n ends the last segment, on point 0 if closed.
  for (GeBezierCurve const& c : {kCorner, kClosed}) {
    CurveEvaluator const e(c);
    ASSERT_EQ(e.getSegmentCount(), c.isClosed() ? 3 : 2);
    for (int k = 0; k < e.getSegmentCount(); ++k)
      for (int i = 0; i <= 16; ++i) {
        double const t = k + i / 16.0, h = 1.0 / 64;
        EXPECT_LT((e.evaluate(t) - c.evaluate(t)).length(), 2e-4f) << t;
        P const slope = (c.evaluate(t + h) - c.evaluate(t - h)) * 32.0f;
        EXPECT_TRUE(i == 0 || i == 16 || (e.evaluateDerivative(t) - slope).length() < 0.05f) << t;
      }
  }
}

TEST(CurveEvaluatorTest, UnitTangentAveragesBothSidesAtJointsAndWhereTheSpeedVanishes) {
  GeBezierCurve const bend = polyline({{0, 0}, {10, 0}, {10, 10}}, false);
  GeBezierCurve const square = polyline({{0, 0}, {10, 0}, {10, 10}, {0, 10}}, true);
  GeBezierCurve const line = polyline({{0, 0}, {3, 4}}, false), dot = polyline({{5, 5}, {5, 5}}, false);
  GeBezierCurve const one = polyline({{7, -2}}, true);  // no segment: constant, derivative (1, 0)
  EXPECT_TRUE(CurveEvaluator(one).getSegmentCount() == 0 && CurveEvaluator(one).evaluate(0.0) == P(7, -2));
  EXPECT_EQ(CurveEvaluator(one).evaluateDerivative(0.0), P(1, 0));
  float const r = std::sqrt(0.5f);
  struct Case { char const* name; GeBezierCurve const& c; double t; P want; };
  Case const cases[] = {
      {"corner: the bisector", bend, 1.0, {r, r}},
      {"within 1e-4 of a joint", bend, 1.00001, {r, r}},
      {"beyond 1e-4 of it: its own direction", bend, 1.0002, {0, 1}},
      {"open start: the side before is clamped", bend, 0.0, {1, 0}},
      {"open end: the side after is clamped", bend, 2.0, {0, 1}},
      {"closed start: the side before wraps to n - 0.01", square, 0.0, {r, -r}},
      {"closed end: the side after wraps to 0.01", square, 4.0, {r, -r}},
      {"vanishing speed at both ends of a line", line, 0.0, {0.6f, 0.8f}},
      {"no direction anywhere", dot, 0.5, {1, 0}},
      {"a single point", one, 0.0, {1, 0}},
  };
  for (Case const& k : cases)
    EXPECT_LT((CurveEvaluator(k.c).evaluateUnitTangent(k.t) - k.want).length(), 1e-3) << k.name;
}

TEST(CurveEvaluatorTest, ParameterOutsideTheCurveAsserts) {
  CurveEvaluator const e(kCorner);
  EXPECT_EQ(failedCondition([&] { e.evaluate(-0.001); }), "curveEvaluator: 0.0 <= param");
  EXPECT_EQ(failedCondition([&] { e.evaluate(2.01); }), "curveEvaluator: param <= static_cast<float>(_n)");
  EXPECT_EQ(failedCondition([&] { e.evaluateDerivative(std::nan("")); }), "curveEvaluator: 0.0 <= param");
  EXPECT_EQ(failedCondition([&] { e.evaluateUnitTangent(3.0); }), "curveEvaluator: param <= static_cast<float>(_n)");
  EXPECT_EQ(failedCondition([&] { e.evaluate(2.0); }), "");
  double r;
  EXPECT_EQ(failedCondition([&] { findFirstRoot(1, 0, 0, 0, 1.0, 0.0, 1e-10, r); }), "curveEvaluator: tMin <= tMax");
  EXPECT_EQ(failedCondition([&] { findFirstRootNear(1, 0, 0, 0, 1, 0, 1e-10, r); }), "curveEvaluator: tMin <= tMax");
}

TEST(FindFirstRootTest, WorkedExamplesOfBothSearches) {
  Cubic const flat = fromRoots(0.0, 0.6, 0.9), touching = fromRoots(0.5, 0.5, 3.0);
  // tol < 0: the root lies below -tol; both: the near search agrees too.
  struct Case { char const* name; Cubic p; double tMin, tMax; bool found; double root, tol; bool both; };
  Case const cases[] = {
      {"a constant above tol", {0, 0, 0, 1e-6f}, 0.0, 1.0, false, 0, 0, false},
      {"a constant within tol is a root everywhere", {0, 0, 0, 0}, 0.0, 1.0, true, 0, -1e-9, false},
      {"narrow interval straddling the root: its midpoint", {0, 0, 1, -0.5f}, 0.5 - 2e-11, 0.5 + 4e-11, true,
       0.5 + 1e-11, 0, true},
      {"degenerate interval", {0, 0, 1, -0.5f}, 0.5, 0.5, true, 0.5, 0, false},
      {"flat root t^3 at the start", {1, 0, 0, 0}, 0.0, 1.0, true, 0, -1e-3, false},  // |t^3| <= tol well before 1e-3
      {"root at the start", flat, 0.0, 1.0, true, 0, -1e-9, false},
      {"double root (exact in float)", touching, 0.1, 0.9, true, 0.5, 1e-4, true},
  };
  for (Case const& c : cases)
    for (bool near : {false, true}) {
      if (near && !c.both) continue;
      SCOPED_TRACE(testing::Message() << c.name << (near ? " (near search)" : ""));
      double r = 123.0;
      bool const found = near ? findFirstRootNear(c.p.a, c.p.b, c.p.c, c.p.d, c.tMin, c.tMax, 1e-10, r)
                              : findFirstRoot(c.p.a, c.p.b, c.p.c, c.p.d, c.tMin, c.tMax, 1e-10, r);
      EXPECT_TRUE(found == c.found && (!found        ? r == 123.0
                                       : c.tol < 0   ? r < -c.tol
                                       : c.tol == 0 && !near ? r == c.root
                                                     : std::fabs(r - c.root) <= std::max(c.tol, 1e-10)))
          << found << " " << r;
    }
}

TEST(FindFirstRootTest, BothSearchesFindTheFirstKnownRootOfRandomCubics) {
  // Roots in [-0.5, 1.5] a little apart, hundreds of pixels per unit
  // parameter as on a curve, searched over random intervals of [0, 1].
  std::mt19937 rng(99);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  int compared = 0;
  for (int i = 0; i < 1000; ++i) {
    double rs[3] = {unit(rng) * 2 - 0.5, unit(rng) * 2 - 0.5, unit(rng) * 2 - 0.5};
    std::sort(rs, rs + 3);
    double const tMin = unit(rng) * 0.9, tMax = tMin + unit(rng) * (1.0 - tMin);
    auto const atEnd = [&](double x) { return std::fabs(x - tMin) < 1e-5 || std::fabs(x - tMax) < 1e-5; };
    if (rs[1] - rs[0] < 0.02 || rs[2] - rs[1] < 0.02 || std::any_of(rs, rs + 3, atEnd)) continue;
    Cubic const p = fromRoots(rs[0], rs[1], rs[2], 50.0 + 500.0 * unit(rng));
    // The first root in the interval, polished into a root of the float cubic.
    double const* first = std::find_if(rs, rs + 3, [&](double x) { return x >= tMin && x <= tMax; });
    double x = first < rs + 3 ? *first : -1.0, r = -1, rPlain = -1;
    for (int it = 0; it < 20 && x >= 0.0; ++it)
      x -= (((p.a * x + p.b) * x + p.c) * x + p.d) / ((3.0 * p.a * x + 2.0 * p.b) * x + p.c);
    ASSERT_EQ(findFirstRootNear(p.a, p.b, p.c, p.d, tMin, tMax, 1e-10, r), x >= 0.0) << i;
    ASSERT_EQ(findFirstRoot(p.a, p.b, p.c, p.d, tMin, tMax, 1e-10, rPlain), x >= 0.0) << i;
    // The plain search stops a little early, where its enclosure's
    // overestimate hides the sign: within the overestimate over the slope.
    EXPECT_TRUE(x < 0.0 || (std::fabs(r - x) <= 1e-9 && std::fabs(rPlain - x) <= 1e-5)) << i << ": " << r - x;
    compared += x >= 0.0;
  }
  EXPECT_GT(compared, 150);
}
