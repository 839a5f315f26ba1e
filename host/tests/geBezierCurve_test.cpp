// Bezier shape curves: point-list round trips, the tangent store, affine
// transforms, evaluation and flattening within tolerance.
#include "primitives/geBezierCurve.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "base/assertions.h"

namespace {

using P = GePoint2<float>;

GeBezierCurve randomCurve(std::mt19937& rng, int nPoints, int closure, float extent = 100.0f, float handle = 30.0f) {
  std::uniform_real_distribution<float> pos(-extent, extent), h(-handle, handle);
  Vector<P> pts;
  for (int i = 0; i < nPoints; ++i) {
    P const p(pos(rng), pos(rng));
    pts.push_back(p + P(h(rng), h(rng)));
    pts.push_back(p);
    pts.push_back(p + P(h(rng), h(rng)));
  }
  return GeBezierCurve(pts, closure);
}

void expectNear(P const& got, P const& want, float tol) {
  EXPECT_NEAR(got.x(), want.x(), tol);
  EXPECT_NEAR(got.y(), want.y(), tol);
}

float distanceToPolyline(P const& p, Vector<P> const& poly, bool closed) {
  float best = INFINITY;
  std::size_t const edges = closed ? poly.size() : poly.size() - 1;
  for (std::size_t i = 0; i < edges; ++i) {
    P const a = poly[i], b = poly[(i + 1) % poly.size()];
    P const ab = b - a;
    float const len2 = ab.dot(ab);
    float s = len2 > 0 ? (p - a).dot(ab) / len2 : 0.0f;
    s = std::clamp(s, 0.0f, 1.0f);
    best = std::min(best, (p - (a + ab * s)).length());
  }
  if (poly.size() == 1) best = (p - poly[0]).length();
  return best;
}

TEST(GeBezierCurveTest, CtrlPointsRoundTripExactly) {
  std::mt19937 rng(7);
  for (int closure : {0, 1})
    for (int n : {1, 2, 5, 17}) {
      Vector<P> pts, pts2;
      randomCurve(rng, n, closure).getCtrlPoints(pts);
      ASSERT_EQ(pts.size(), 3u * n);
      GeBezierCurve const again(pts, closure);
      again.getCtrlPoints(pts2);
      EXPECT_EQ(pts, pts2);
      EXPECT_EQ(again.getClosure(), closure);
      EXPECT_EQ(again.isClosed(), closure == 1);
    }
}

TEST(GeBezierCurveTest, ClosureValuesAndSegmentCounts) {
  Vector<P> pts;
  for (int i = 0; i < 4; ++i) pts.insert(pts.end(), {P(i, 0), P(i, 1), P(i, 2)});
  Vector<P> const one(pts.begin(), pts.begin() + 3), ragged(pts.begin(), pts.begin() + 5);
  // {points, closure asked, closure kept, open segments, segments}: only 1 means closed; an incomplete trailing
  // triple is dropped.
  struct Case {
    Vector<P> const& pts;
    int closure, kept, open, segments;
  } const cases[] = {{pts, 1, 1, 3, 4}, {pts, 0, 0, 3, 3}, {pts, 7, 0, 3, 3}, {one, 1, 1, 0, 0}, {ragged, 0, 0, 0, 0}};
  for (Case const& c : cases) {
    GeBezierCurve const curve(c.pts, c.closure);
    EXPECT_EQ(std::vector<int>({curve.getClosure(), curve.getOpenSegmentCount(), curve.getSegmentCount()}),
              std::vector<int>({c.kept, c.open, c.segments})) << c.pts.size() << " " << c.closure;
  }
  EXPECT_EQ(GeBezierCurve(ragged, 0).getNumCtrlPoints(), 1);
}

TEST(GeBezierCurveTest, TangentStoreHoldsHandlesAsAngleAndLength) {
  std::mt19937 rng(11);
  GeBezierCurve const c = randomCurve(rng, 6, 1);
  GeCurveTupleContainer const& t = c.getTangents();
  EXPECT_EQ(t.getPointCount(), 3);
  for (int i = 0; i < c.getNumCtrlPoints(); ++i) {
    P const p = c.getCtrlPoint(i);
    for (auto [tuple, handle] : {std::pair{0, c.getInHandle(i)}, std::pair{2, c.getOutHandle(i)}}) {
      P const al = t.getTuple(i, tuple);
      expectNear(p + P(std::cos(al.x()), std::sin(al.x())) * al.y(), handle, 1e-4f);
      EXPECT_GE(al.y(), 0.0f);
    }
    EXPECT_EQ(t.getTuple(i, 1), p);
  }
  try {
    t.getTuple(0, 3);
    FAIL() << "reading past the tuples of a point must assert";
  } catch (AssertionFailure const& e) {
    EXPECT_EQ(e.condition(), "ptIdx < _pointCount");
    EXPECT_EQ(e.file(), "geCurveTupleContainer");
  }
}

TEST(GeBezierCurveTest, ZeroHandlesStoreZeroLengthAtAngleZero) {
  GeBezierCurve c;
  c.addPoint(P(3, 4), GeBezierCurve::CORNER);
  c.addPoint(P(10, 4), GeBezierCurve::CORNER);
  EXPECT_EQ(c.getTangents().getTuple(0, 0), P(0, 0));
  EXPECT_EQ(c.getTangents().getTuple(1, 2), P(0, 0));
  EXPECT_EQ(c.getInHandle(1), P(10, 4));
  // A corner-only two-point curve is the straight segment.
  expectNear(c.evaluate(0.5), P(6.5f, 4.0f), 1e-5f);
}

TEST(GeBezierCurveTest, SmoothPointsGetCatmullRomHandles) {
  GeBezierCurve c;
  P const pts[] = {P(0, 0), P(10, 5), P(20, 0), P(30, 10)};
  for (P const& p : pts) c.addPoint(p, GeBezierCurve::SMOOTH);
  // Interior point i: handles +-(P[i+1] - P[i-1]) / 6, refreshed when P[i+1] arrived.
  for (int i = 1; i <= 2; ++i) {
    P const t = (pts[i + 1] - pts[i - 1]) * (1.0f / 6.0f);
    expectNear(c.getOutHandle(i), pts[i] + t, 1e-5f);
    expectNear(c.getInHandle(i), pts[i] - t, 1e-5f);
  }
  // Closing the curve makes the ends use their wrapped neighbours.
  c.setClosure(GeBezierCurve::CLOSED);
  expectNear(c.getOutHandle(0), (pts[1] - pts[3]) * (1.0f / 6.0f), 1e-5f);
}

TEST(GeBezierCurveTest, AffineConstructorTransformsPointsAndHandles) {
  std::mt19937 rng(3);
  GeAffineMatrix2<float> const m = GeAffineMatrix2<float>::translation(12.5f, -3.0f) *
                                   GeAffineMatrix2<float>::rotation(0.7f) *
                                   GeAffineMatrix2<float>(1.5f, 0.3f, -0.2f, 0.8f, 0.0f, 0.0f);
  for (int closure : {0, 1}) {
    GeBezierCurve const c = randomCurve(rng, 5, closure);
    GeBezierCurve const tc(c, m);
    EXPECT_EQ(tc.getClosure(), closure);
    Vector<P> a, b;
    c.getCtrlPoints(a);
    tc.getCtrlPoints(b);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(b[i], m.apply(a[i]));
    // A cubic is affine invariant: the curve's points transform too.
    for (double t = 0; t <= c.getSegmentCount(); t += 0.137) expectNear(tc.evaluate(t), m.apply(c.evaluate(t)), 1e-3f);
  }
}

TEST(GeBezierCurveTest, EvaluateHitsControlPointsAndClamps) {
  std::mt19937 rng(5);
  GeBezierCurve const open = randomCurve(rng, 4, 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(open.evaluate(i), open.getCtrlPoint(i));
  EXPECT_EQ(open.evaluate(99.0), open.getCtrlPoint(3));
  EXPECT_EQ(open.evaluate(-1.0), open.getCtrlPoint(0));
  EXPECT_EQ(open.evaluate(NAN), open.getCtrlPoint(0));

  Vector<P> pts;
  open.getCtrlPoints(pts);
  GeBezierCurve const loop(pts, 1);
  EXPECT_EQ(loop.evaluate(4.0), loop.getCtrlPoint(0));

  GeBezierCurve const empty;
  EXPECT_EQ(empty.evaluate(0.3), P(0, 0));
  Vector<P> out{P(1, 1)};
  empty.evaluateCurve(out, 0.1f);
  EXPECT_TRUE(out.empty());
}

TEST(GeBezierCurveTest, FlatteningStaysWithinToleranceOfDenseCurve) {
  std::mt19937 rng(42);
  for (int trial = 0; trial < 40; ++trial) {
    int const closure = trial % 2;
    GeBezierCurve const c = randomCurve(rng, 2 + trial % 5, closure, 200.0f, trial % 3 == 0 ? 300.0f : 40.0f);
    for (float tol : {1.0f, 0.1f, 0.01f}) {
      Vector<P> poly;
      c.evaluateCurve(poly, tol);
      ASSERT_GE(poly.size(), 2u);
      EXPECT_EQ(poly.front(), c.getCtrlPoint(0));
      if (!c.isClosed()) EXPECT_EQ(poly.back(), c.getCtrlPoint(c.getNumCtrlPoints() - 1));
      else EXPECT_NE(poly.back(), poly.front());
      int const n = c.getSegmentCount();
      float worst = 0.0f;
      for (int i = 0; i <= 400 * n; ++i) worst = std::max(worst, distanceToPolyline(c.evaluate(i / 400.0), poly, c.isClosed()));
      // Float rounding of the subdivision adds a little at 200-pixel scale.
      EXPECT_LE(worst, tol + 2e-3f) << "trial " << trial << " tol " << tol;
    }
  }
}

TEST(GeBezierCurveTest, FlatteningTerminatesAtZeroToleranceAndOnBadInput) {
  GeBezierCurve line;
  line.addPoint(P(0, 0), GeBezierCurve::CORNER);
  line.addPoint(P(50, 20), GeBezierCurve::CORNER);
  Vector<P> out;
  line.evaluateCurve(out, 0.0f);
  EXPECT_EQ(out.size(), 2u);  // a straight segment needs no split even at tolerance 0

  std::mt19937 rng(9);
  GeBezierCurve const wavy = randomCurve(rng, 3, 1);
  wavy.evaluateCurve(out, 0.0f);
  EXPECT_LE(out.size(), static_cast<std::size_t>(3 << GeBezierCurve::kMaxFlattenDepth) + 1);
  wavy.evaluateCurve(out, NAN);
  EXPECT_GT(out.size(), 3u);

  GeBezierCurve bad;
  bad.addPoint(P(0, 0), GeBezierCurve::CORNER);
  bad.addPoint(P(NAN, 3), P(NAN, 3), P(INFINITY, 1));
  bad.addPoint(P(9, 9), GeBezierCurve::CORNER);
  bad.evaluateCurve(out, 0.1f);
  EXPECT_EQ(out.front(), P(0, 0));
  EXPECT_EQ(out.back(), P(9, 9));

  GeBezierCurve dot;
  dot.addPoint(P(2, 3), GeBezierCurve::SMOOTH);
  dot.setClosure(GeBezierCurve::CLOSED);
  dot.evaluateCurve(out, 0.1f);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], P(2, 3));
}

}  // namespace
