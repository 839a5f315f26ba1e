// Tests of the power-basis curve tables and the first-root search.
#include "curveEvaluator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "base/assertions.h"
#include "primitives/geBezierCurve.h"

using Qx::Warper2D::CurveEvaluator;
using Qx::Warper2D::findFirstRoot;
using Qx::Warper2D::findFirstRootNear;
using P = GePoint2<float>;

namespace {

// A curve from explicit (in handle, point, out handle) triples.
GeBezierCurve makeCurve(std::initializer_list<P> triples, bool closed) {
  Vector<P> pts(triples);
  return GeBezierCurve(pts, closed ? GeBezierCurve::CLOSED : GeBezierCurve::OPEN);
}

// Reference point of segment k by de Casteljau in double.
P deCasteljau(GeBezierCurve const& c, int k, double u) {
  P p0, c1, c2, p3;
  c.getSegment(k, p0, c1, c2, p3);
  auto lerp = [](double a, double b, double t) { return a + (b - a) * t; };
  auto at = [&](double a, double b, double cc, double d) {
    double const ab = lerp(a, b, u), bc = lerp(b, cc, u), cd = lerp(cc, d, u);
    return lerp(lerp(ab, bc, u), lerp(bc, cd, u), u);
  };
  return {static_cast<float>(at(p0.x(), c1.x(), c2.x(), p3.x())),
          static_cast<float>(at(p0.y(), c1.y(), c2.y(), p3.y()))};
}

// An S-shaped open curve of three points with a corner at point 1.
GeBezierCurve cornerCurve() {
  return makeCurve({{0, 0}, {0, 0}, {10, 5}, {20, 0}, {30, 0}, {30, 10}, {30, 20}, {40, 40}, {40, 40}}, false);
}

// A closed four-point curve, roughly a circle of radius 50 about (100, 100).
GeBezierCurve closedCircle() {
  float const h = 50.0f * 0.5523f;
  return makeCurve({{150, 100 - h}, {150, 100}, {150, 100 + h},
                    {100 + h, 150}, {100, 150}, {100 - h, 150},
                    {50, 100 + h}, {50, 100}, {50, 100 - h},
                    {100 - h, 50}, {100, 50}, {100 + h, 50}},
                   true);
}

void expectNear(P const& a, P const& b, float tol) {
  EXPECT_NEAR(a.x(), b.x(), tol);
  EXPECT_NEAR(a.y(), b.y(), tol);
}

std::string failedCondition(auto&& f) {
  try {
    f();
  } catch (AssertionFailure const& e) {
    EXPECT_EQ(e.file(), "curveEvaluator");
    return e.condition();
  }
  return "";
}

}  // namespace

TEST(CurveEvaluatorTest, SegmentCountClosureAndDegenerateShapes) {
  EXPECT_EQ(CurveEvaluator(cornerCurve()).getSegmentCount(), 2);
  EXPECT_FALSE(CurveEvaluator(cornerCurve()).isClosed());
  CurveEvaluator const circle(closedCircle());
  EXPECT_EQ(circle.getSegmentCount(), 4);
  EXPECT_TRUE(circle.isClosed());
  // One point, closed or open, has no segment at all and is constant.
  EXPECT_EQ(CurveEvaluator(makeCurve({{1, 1}, {1, 1}, {1, 1}}, true)).getSegmentCount(), 0);
  CurveEvaluator const one(makeCurve({{3, 4}, {7, -2}, {9, 9}}, false));
  EXPECT_EQ(one.evaluate(0.0), P(7, -2));
  EXPECT_EQ(one.evaluateDerivative(0.0), P(1, 0));
  EXPECT_EQ(one.evaluateUnitTangent(0.0), P(1, 0));
  EXPECT_TRUE(one.hasFiniteCoefficients());
  CurveEvaluator const empty{GeBezierCurve()};
  EXPECT_TRUE(empty.isEmpty());
  EXPECT_EQ(empty.getSegmentCount(), 0);
  // Non-finite and huge coefficients are reported.
  float const nan = std::nanf("");
  EXPECT_FALSE(CurveEvaluator(makeCurve({{0, 0}, {0, 0}, {0, 0}, {nan, 1}, {5, 5}, {5, 5}}, false)).hasFiniteCoefficients());
  CurveEvaluator const huge(makeCurve({{0, 0}, {0, 0}, {1e7f, 0}, {5, 5}, {5, 5}, {5, 5}}, false));
  EXPECT_TRUE(huge.hasFiniteCoefficients());
  EXPECT_GE(huge.getMaxAbsCoefficient(), 3e7f);
}

TEST(CurveEvaluatorTest, MatchesDeCasteljauOfTheHostSegmentsAndHitsTheEndpoints) {
  for (GeBezierCurve const& c : {cornerCurve(), closedCircle()}) {
    CurveEvaluator const e(c);
    for (int k = 0; k < e.getSegmentCount(); ++k)
      for (int i = 0; i <= 16; ++i) {
        double const u = i / 16.0;
        // The handles pass through (angle, length): a few float ulps apart.
        expectNear(e.evaluate(k + u), deCasteljau(c, k, u), 2e-4f);
      }
  }
  CurveEvaluator const open(cornerCurve());
  expectNear(open.evaluate(0.0), {0, 0}, 0.0f);
  expectNear(open.evaluate(1.0), {30, 0}, 0.0f);    // start of segment 1: a0 exactly
  expectNear(open.evaluate(2.0), {40, 40}, 1e-4f);  // t = n: end of the last segment
  expectNear(CurveEvaluator(closedCircle()).evaluate(4.0), {150, 100}, 1e-4f);  // the closing segment returns to point 0
}

TEST(CurveEvaluatorTest, DerivativeMatchesFiniteDifference) {
  CurveEvaluator const e(closedCircle());
  for (double t : {0.1, 0.7, 1.3, 2.5, 3.9}) {
    double const h = 1e-3;
    P const a = e.evaluate(t - h), b = e.evaluate(t + h);
    P const d = e.evaluateDerivative(t);
    EXPECT_NEAR(d.x(), (b.x() - a.x()) / (2 * h), 0.05);
    EXPECT_NEAR(d.y(), (b.y() - a.y()) / (2 * h), 0.05);
  }
}

TEST(CurveEvaluatorTest, UnitTangentsAwayFromJointsAreNormalisedDerivatives) {
  CurveEvaluator const e(closedCircle());
  for (double t : {0.25, 1.5, 2.75}) {
    P const d = e.evaluateDerivative(t), T = e.evaluateUnitTangent(t);
    EXPECT_NEAR(T.length(), 1.0f, 1e-6f);
    EXPECT_NEAR(T.cross(d), 0.0f, 1e-3f);
    EXPECT_GT(T.dot(d), 0.0f);
  }
  // A straight segment with zero handles: the derivative vanishes at both
  // ends, and the tangent still points along the line.
  CurveEvaluator const line(makeCurve({{0, 0}, {0, 0}, {0, 0}, {3, 4}, {3, 4}, {3, 4}}, false));
  expectNear(line.evaluateUnitTangent(0.0), {0.6f, 0.8f}, 1e-5f);
  expectNear(line.evaluateUnitTangent(1.0), {0.6f, 0.8f}, 1e-5f);
  expectNear(line.evaluateUnitTangent(0.5), {0.6f, 0.8f}, 1e-5f);
}

TEST(CurveEvaluatorTest, UnitTangentAtAJointAveragesBothSides) {
  CurveEvaluator const e(cornerCurve());
  P const s = e.evaluateDerivative(0.99) + e.evaluateDerivative(1.01);
  P const expected = s * (1.0f / s.length());
  expectNear(e.evaluateUnitTangent(1.0), expected, 1e-6f);
  // Within 1e-4 of the joint counts as the joint.
  expectNear(e.evaluateUnitTangent(1.00005), e.evaluateUnitTangent(1.0), 1e-3f);

  // Open curve, t = 0: the "before" side is clamped to 0.
  P const s0 = e.evaluateDerivative(0.0) + e.evaluateDerivative(0.01);
  expectNear(e.evaluateUnitTangent(0.0), s0 * (1.0f / s0.length()), 1e-6f);

  // Closed curve, t = 0: the "before" side wraps to n - 0.01.
  CurveEvaluator const c(closedCircle());
  P const sc = c.evaluateDerivative(3.99) + c.evaluateDerivative(0.01);
  expectNear(c.evaluateUnitTangent(0.0), sc * (1.0f / sc.length()), 1e-6f);
  expectNear(c.evaluateUnitTangent(0.0), {0, 1}, 1e-3f);  // the circle's rightmost point heads down (+y)
  // And t = n, the same point, wraps its "after" side to 0.01.
  expectNear(c.evaluateUnitTangent(4.0), c.evaluateUnitTangent(0.0), 1e-6f);
}

TEST(CurveEvaluatorTest, VanishingDerivativeFallsBackToTheDefaultDirection) {
  // Two coincident points with zero handles: no direction anywhere.
  CurveEvaluator const dot(makeCurve({{5, 5}, {5, 5}, {5, 5}, {5, 5}, {5, 5}, {5, 5}}, false));
  EXPECT_EQ(dot.evaluateUnitTangent(0.5), P(1, 0));
  EXPECT_EQ(dot.evaluateUnitTangent(1.0), P(1, 0));

  // Out and back along a line: the sides of the turning joint nearly cancel,
  // and whatever is left still comes out as a finite unit vector.
  CurveEvaluator const e(makeCurve({{0, 0}, {0, 0}, {0, 0}, {8, 0}, {8, 0}, {8, 0}, {0, 0}, {0, 0}, {0, 0}}, false));
  P const t = e.evaluateUnitTangent(1.0);
  ASSERT_TRUE(std::isfinite(t.x()) && std::isfinite(t.y()));
  EXPECT_NEAR(t.length(), 1.0f, 1e-5f);
  EXPECT_NEAR(std::fabs(t.x()), 1.0f, 1e-5f);  // along the line, either way
}

TEST(CurveEvaluatorTest, ParameterOutsideTheCurveAsserts) {
  CurveEvaluator const e(cornerCurve());
  EXPECT_EQ(failedCondition([&] { e.evaluate(-0.001); }), "0.0 <= param");
  EXPECT_EQ(failedCondition([&] { e.evaluate(2.01); }), "param <= static_cast<float>(_n)");
  EXPECT_EQ(failedCondition([&] { e.evaluateDerivative(std::nan("")); }), "0.0 <= param");
  EXPECT_EQ(failedCondition([&] { e.evaluateUnitTangent(3.0); }), "param <= static_cast<float>(_n)");
  EXPECT_EQ(failedCondition([&] { e.evaluate(2.0); }), "");
  double r;
  EXPECT_EQ(failedCondition([&] { findFirstRoot(1, 0, 0, 0, 1.0, 0.0, 1e-10, r); }), "tMin <= tMax");
  EXPECT_EQ(failedCondition([&] { findFirstRootNear(1, 0, 0, 0, 0.5, 0.4, 1e-10, r); }), "tMin <= tMax");
}

// p(t) = (t - r0)(t - r1)(t - r2) as ((a t + b) t + c) t + d.
struct Cubic {
  float a, b, c, d;
};
Cubic fromRoots(double r0, double r1, double r2) {
  return {1.0f, static_cast<float>(-(r0 + r1 + r2)), static_cast<float>(r0 * r1 + r0 * r2 + r1 * r2),
          static_cast<float>(-r0 * r1 * r2)};
}

TEST(FindFirstRootTest, WorkedExamplesOfBothSearches) {
  Cubic const p = fromRoots(0.25, 0.75, 2.0), flat = fromRoots(0.0, 0.6, 0.9), touching = fromRoots(0.5, 0.5, 3.0);
  struct Case {
    char const* name;
    Cubic p;
    double tMin, tMax;
    bool found;
    double root, tol;  // tol < 0: r below -tol
    bool both;         // the near search agrees too
  };
  Case const cases[] = {
      {"first of three", p, 0.0, 1.0, true, 0.25, 1e-7, true},
      {"second, from within", p, 0.5, 1.0, true, 0.75, 1e-7, true},
      {"beyond one", p, 1.0, 3.0, true, 2.0, 1e-7, true},
      {"between roots", p, 0.3, 0.7, false, 0, 0, true},
      {"t^2 + 0.5", {0, 1, 0, 0.5f}, -1.0, 1.0, false, 0, 0, true},
      {"a constant above tol", {0, 0, 0, 1e-6f}, 0.0, 1.0, false, 0, 0, false},
      {"a constant within tol is a root everywhere", {0, 0, 0, 0}, 0.0, 1.0, true, 0, -1e-9, false},
      {"narrow interval straddling the root: its midpoint", {0, 0, 1, -0.5f}, 0.5 - 2e-11, 0.5 + 4e-11, true,
       0.5 + 1e-11, 0, true},
      {"degenerate interval", {0, 0, 1, -0.5f}, 0.5, 0.5, true, 0.5, 0, false},
      {"flat root t^3 at the start", {1, 0, 0, 0}, 0.0, 1.0, true, 0, -1e-3, false},  // |t^3| <= tol well before 1e-3
      {"root at the start", flat, 0.0, 1.0, true, 0, -1e-9, false},
      {"double root (exact in float)", touching, 0.1, 0.9, true, 0.5, 1e-4, true},
  };
  for (Case const& c : cases) {
    for (bool near : {false, true}) {
      if (near && !c.both) continue;
      SCOPED_TRACE(testing::Message() << c.name << (near ? " (near search)" : ""));
      double r = 123.0;
      bool const found = near ? findFirstRootNear(c.p.a, c.p.b, c.p.c, c.p.d, c.tMin, c.tMax, 1e-10, r)
                              : findFirstRoot(c.p.a, c.p.b, c.p.c, c.p.d, c.tMin, c.tMax, 1e-10, r);
      ASSERT_EQ(found, c.found);
      if (!found)
        EXPECT_EQ(r, 123.0);
      else if (c.tol < 0)
        EXPECT_LT(r, -c.tol);
      else if (c.tol == 0 && !near)
        EXPECT_EQ(r, c.root);
      else
        EXPECT_NEAR(r, c.root, std::max(c.tol, 1e-10));
    }
  }
}

TEST(FindFirstRootNearTest, AgreesWithTheKnownRootsAwayFromZero) {
  std::mt19937 rng(99);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  int compared = 0;
  for (int i = 0; i < 3000; ++i) {
    double rs[3] = {unit(rng) * 2 - 0.5, unit(rng) * 2 - 0.5, unit(rng) * 2 - 0.5};
    std::sort(rs, rs + 3);
    if (rs[1] - rs[0] < 0.02 || rs[2] - rs[1] < 0.02) continue;
    // Scale like a curve coordinate: hundreds of pixels per unit parameter.
    float const k = static_cast<float>(50.0 + 500.0 * unit(rng));
    Cubic const p = fromRoots(rs[0], rs[1], rs[2]);
    double const tMin = unit(rng) * 0.9, tMax = tMin + unit(rng) * (1.0 - tMin);
    double expected = -1;
    for (double x : rs)
      if (x >= tMin + 1e-5 && x <= tMax - 1e-5) {
        expected = x;
        break;
      }
    bool const edge = std::any_of(rs, rs + 3, [&](double x) { return std::fabs(x - tMin) < 1e-5 || std::fabs(x - tMax) < 1e-5; });
    if (edge) continue;
    float const a = k * p.a, b = k * p.b, c = k * p.c, d = k * p.d;
    // The root of the float cubic itself, polished from the exact one.
    double exact = expected;
    for (int it = 0; it < 20 && expected >= 0.0; ++it)
      exact -= (((a * exact + b) * exact + c) * exact + d) / ((3.0 * a * exact + 2.0 * b) * exact + c);
    double r = -1, rSlow = -1;
    bool const found = findFirstRootNear(a, b, c, d, tMin, tMax, 1e-10, r);
    bool const foundSlow = findFirstRoot(a, b, c, d, tMin, tMax, 1e-10, rSlow);
    ASSERT_EQ(found, expected >= 0.0) << i;
    EXPECT_EQ(found, foundSlow) << i;
    if (found) {
      EXPECT_NEAR(r, exact, 1e-9) << i;
      // The plain search stops where the enclosure's overestimate hides the
      // sign, a little earlier: within the overestimate over the slope.
      EXPECT_NEAR(rSlow, exact, 1e-5) << i;
      ++compared;
    }
  }
  EXPECT_GT(compared, 500);
}
