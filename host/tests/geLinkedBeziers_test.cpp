// Link mapping between two curves: exact at links, monotonic between them,
// in range, identity on identical curves, and safe on degenerate input.
#include "primitives/geLinkedBeziers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "primitives/geBezierCurve.h"

namespace {

using P = GePoint2<float>;

GeBezierCurve randomCurve(std::mt19937& rng, int nPoints, int closure) {
  std::uniform_real_distribution<float> pos(-100, 100), h(-40, 40);
  Vector<P> pts;
  for (int i = 0; i < nPoints; ++i) {
    P const p(pos(rng), pos(rng));
    pts.insert(pts.end(), {p + P(h(rng), h(rng)), p, p + P(h(rng), h(rng))});
  }
  return GeBezierCurve(pts, closure);
}

// Straight segments through the given points with handles at the thirds,
// so that every segment is walked at constant speed.
GeBezierCurve polyline(Vector<P> const& pts, int closure) {
  Vector<P> ctrl;
  int const n = static_cast<int>(pts.size());
  for (int i = 0; i < n; ++i) {
    P const prev = closure || i > 0 ? pts[(i + n - 1) % n] : pts[i];
    P const next = closure || i < n - 1 ? pts[(i + 1) % n] : pts[i];
    ctrl.insert(ctrl.end(), {pts[i] + (prev - pts[i]) * (1.0f / 3.0f), pts[i], pts[i] + (next - pts[i]) * (1.0f / 3.0f)});
  }
  return GeBezierCurve(ctrl, closure);
}

GeBezierCurve lineThrough(std::initializer_list<float> xs) {
  Vector<P> pts;
  for (float x : xs) pts.emplace_back(x, 0.0f);
  return polyline(pts, 0);
}

TEST(GeLinkedBeziersTest, IdenticalCurvesWithoutOrWithIdenticalLinksMapParametersToThemselves) {
  std::mt19937 rng(1);
  for (int closure : {0, 1})
    for (int trial = 0; trial < 10; ++trial) {
      GeBezierCurve const c = randomCurve(rng, 2 + trial, closure);
      int const n = c.getSegmentCount();
      Vector<float> const links = trial % 2 ? Vector<float>{0.7f, n * 0.4f, n - 0.3f} : Vector<float>{};
      GeLinkedBeziers const link(c, links, c, links, 0.5);
      for (double t = 0; t <= n; t += 0.0371) EXPECT_NEAR(link.mapSrcParamToDstParam(t), t, 1e-9) << trial;
      EXPECT_NEAR(link.mapSrcParamToDstParam(n), n, 1e-9);
    }
}

TEST(GeLinkedBeziersTest, CurveEndsMapToEachOtherWithoutLinks) {
  std::mt19937 rng(3);
  GeBezierCurve const src = randomCurve(rng, 4, 0), dst = randomCurve(rng, 7, 0);
  GeLinkedBeziers const open(src, {}, dst, {}, 0.5);
  EXPECT_EQ(open.mapSrcParamToDstParam(0.0), 0.0);
  EXPECT_EQ(open.mapSrcParamToDstParam(3.0), 6.0);

  GeBezierCurve const csrc = randomCurve(rng, 4, 1), cdst = randomCurve(rng, 7, 1);
  GeLinkedBeziers const closed(csrc, {}, cdst, {}, 0.5);
  EXPECT_EQ(closed.mapSrcParamToDstParam(0.0), 0.0);
}

TEST(GeLinkedBeziersTest, WeightSelectsParameterOrArcLengthProgress) {
  // Both curves lie on the x axis from 0 to 10 but split differently into
  // segments, so parameter and arc length disagree.
  GeBezierCurve const src = lineThrough({0, 1, 10}), dst = lineThrough({0, 5, 10});
  auto x = [](GeBezierCurve const& c, double t) { return c.evaluate(t).x(); };

  GeLinkedBeziers const byParam(src, {}, dst, {}, 0.0);
  GeLinkedBeziers const byArc(src, {}, dst, {}, 1.0);
  GeLinkedBeziers const half(src, {}, dst, {}, 0.5);
  for (double t = 0; t <= 2.0; t += 0.125) {
    EXPECT_NEAR(byParam.mapSrcParamToDstParam(t), t, 1e-9);
    // Equal fractions of length: the destination point is the source point.
    EXPECT_NEAR(x(dst, byArc.mapSrcParamToDstParam(t)), x(src, t), 1e-4);
    // Midway: progress 0.5 t / 2 + 0.5 x / 10 on both curves.
    double const f = 0.25 * t + 0.05 * x(src, t);
    double const d = half.mapSrcParamToDstParam(t);
    EXPECT_NEAR(0.25 * d + 0.05 * x(dst, d), f, 1e-5);
  }
}

TEST(GeLinkedBeziersTest, ExactAtLinksMonotonicBetweenAndInRange) {
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (int trial = 0; trial < 200; ++trial) {
    bool const closed = trial % 2 == 1;
    int const ns = 2 + trial % 6, nd = 2 + (trial / 3) % 7;
    GeBezierCurve const src = randomCurve(rng, ns, closed), dst = randomCurve(rng, nd, closed);
    int const segS = src.getSegmentCount(), segD = dst.getSegmentCount();
    int const nLinks = trial % 5;
    Vector<float> sl, dl;
    for (int i = 0; i < nLinks; ++i) {
      sl.push_back(unit(rng) * segS);
      dl.push_back(unit(rng) * segD);
    }
    std::sort(sl.begin(), sl.end());
    std::sort(dl.begin(), dl.end());
    if (closed && nLinks > 1) std::rotate(dl.begin(), dl.begin() + 1, dl.end());  // pairs that wrap
    double const w = trial % 3 == 0 ? 0.5 : unit(rng);
    GeLinkedBeziers const link(src, sl, dst, dl, w);
    for (int i = 0; i < nLinks; ++i)
      EXPECT_NEAR(link.mapSrcParamToDstParam(sl[i]), dl[i], 1e-5) << "trial " << trial << " link " << i;

    // Unwrapped, the mapping never goes backwards over the whole curve.
    double prev = -1.0, unwrap = 0.0;
    for (int k = 0; k <= 1000; ++k) {
      double const t = segS * k / 1000.0;
      double const d = link.mapSrcParamToDstParam(t);
      ASSERT_TRUE(d >= 0.0 && d <= segD) << d;
      if (closed && prev >= 0.0 && d + unwrap < prev - 0.5 * segD) unwrap += segD;
      if (prev >= 0.0) {
        EXPECT_GE(d + unwrap, prev - 1e-9) << "trial " << trial << " t " << t;
      }
      prev = d + unwrap;
    }
    EXPECT_LE(unwrap, closed ? segD : 0);
  }
}

TEST(GeLinkedBeziersTest, ClosedLinksPairAcrossTheStart) {
  GeBezierCurve const square = polyline({P(0, 0), P(10, 0), P(10, 10), P(0, 10)}, 1);
  GeLinkedBeziers const link(square, {1.0f, 3.0f}, square, {3.5f, 0.5f}, 0.5);
  EXPECT_NEAR(link.mapSrcParamToDstParam(1.0), 3.5, 1e-9);
  EXPECT_NEAR(link.mapSrcParamToDstParam(3.0), 0.5, 1e-9);
  // Halfway from 1 to 3 on the source is halfway from 3.5 to 4.5 (= 0.5) on the
  // destination: all sides are equally long, so both progress measures agree.
  // (4 and 0 are the same point of the closed destination.)
  // Handles at float thirds make the speed constant only to float rounding.
  double const d2 = link.mapSrcParamToDstParam(2.0);
  EXPECT_NEAR(std::min(d2, 4.0 - d2), 0.0, 1e-6);
  EXPECT_NEAR(link.mapSrcParamToDstParam(1.5), 3.75, 1e-6);
  // From 3 round to 1 (= 5) on the source is from 0.5 to 3.5 on the destination.
  EXPECT_NEAR(link.mapSrcParamToDstParam(4.0), 2.0, 1e-6);
  EXPECT_NEAR(link.mapSrcParamToDstParam(0.0), 2.0, 1e-6);
}

TEST(GeLinkedBeziersTest, DegenerateInputStaysFiniteAndInRange) {
  std::mt19937 rng(5);
  GeBezierCurve const good = randomCurve(rng, 5, 0);
  auto corners = [](std::initializer_list<P> pts) {
    GeBezierCurve c;
    for (P const& p : pts) c.addPoint(p, GeBezierCurve::CORNER);
    return c;
  };
  GeBezierCurve zeroLength;  // three coincident points
  for (int i = 0; i < 3; ++i) zeroLength.addPoint(P(1, 1), GeBezierCurve::SMOOTH);
  GeBezierCurve const curves[] = {good, corners({P(4, 4)}), zeroLength,
                                  corners({P(-3e38f, 0), P(3e38f, 1e38f), P(-3e38f, 2)}),  // huge
                                  corners({P(0, 0), P(NAN, 0), P(5, 5)}), GeBezierCurve()};
  Vector<float> const linkSets[][2] = {
      {{}, {}},
      {{NAN, 1.0f, 0.5f}, {2.0f, NAN, 1.0f}},
      {{3.0f, 0.5f, 2.0f, 1.0f}, {0.2f, 2.5f, 0.1f, 3.0f}},  // out of order
      {{-5.0f, 100.0f}, {1e9f, -INFINITY}},
      {{1.0f, 1.0f, 1.0f}, {0.5f, 2.0f}},  // duplicate places, unequal sizes
  };
  for (int closure : {0, 1})
    for (GeBezierCurve const& s : curves)
      for (GeBezierCurve const& d : curves) {
        Vector<P> sp, dp;
        s.getCtrlPoints(sp);
        d.getCtrlPoints(dp);
        GeBezierCurve const sc(sp, closure), dc(dp, closure);
        for (auto const& links : linkSets)
          for (double w : {0.0, 0.5, 1.0, double(NAN)}) {
            GeLinkedBeziers const link(sc, links[0], dc, links[1], w);
            for (double t : {-1.0, 0.0, 0.3, 1.0, 1.7, 2.5, 4.0, 1e30, double(NAN), double(INFINITY)}) {
              double const r = link.mapSrcParamToDstParam(t);
              ASSERT_TRUE(r >= 0.0 && r <= dc.getSegmentCount()) << r;
            }
          }
      }
}

}  // namespace
