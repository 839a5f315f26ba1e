// Tests of curve-pair rasterisation into the correspondence mesh and of the pass split.
#include <gtest/gtest.h>

#include <cfloat>
#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <memory>
#include <set>

#include "primitives/geBezierCurve.h"
#include "primitives/ixTile.h"
#include "pluginAPI/pxRequestMgr.h"
#include "warpGridProc.h"
#include "warpTestNodes.h"

using namespace Qx::Warper2D;
using P = GePoint2<float>;
using M = GeAffineMatrix2<float>;
using Mode = WarpGridProc::Smoothing;
using Passes = std::set<std::uint32_t>;

namespace {

IxTile makeMesh(GeRectangle<int> const& r) { return {IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), r}; }

using warptest::circle;
// Straight segments through the points (handles on their points).
GeBezierCurve polyline(std::vector<P> const& points, int closure = GeBezierCurve::OPEN) {
  return warptest::polygon(points, closure);
}

void apply(GeBezierCurve const& src, GeBezierCurve const& dst, IxWriteGuard& g, double f = 1.0,
           Mode mode = WarpGridProc::Bidirectional, Vector<float> const& sl = {}, Vector<float> const& dl = {}) {
  WarpGridProc::applyCurveToCorrespondence(src, sl, dst, dl, f, mode, g);
}

void forEachPixel(IxWriteGuard const& g, std::function<void(int, int, MeshPixel const&)> const& f) {
  GeRectangle<int> const r = g.getPixelRegion();
  for (int y = r.y1(); y < r.y2(); ++y)
    for (int x = r.x1(); x < r.x2(); ++x) f(x, y, readMeshPixel(g.getPixelAddress(x, y)));
}

// Calls f on the constrained pixels; returns how many there are.
int forEachConstrained(IxWriteGuard const& g, std::function<void(int, int, MeshPixel const&)> const& f = nullptr) {
  int n = 0;
  forEachPixel(g, [&](int x, int y, MeshPixel const& m) { if ((m.b & CONSTRAINED_BIT) && ++n && f) f(x, y, m); });
  return n;
}

// Pass numbers of the unconstrained pixels inside a circle (all when r = 0).
Passes passesInside(IxWriteGuard const& g, float cx = 0, float cy = 0, float r = 0) {
  Passes s;
  forEachPixel(g, [&](int x, int y, MeshPixel const& m) {
    if (!(m.b & CONSTRAINED_BIT) && (r == 0 || std::hypot(x - cx, y - cy) < r - 1.0)) s.insert(m.b & PASS_MASK);
  });
  return s;
}

void setPasses(IxWriteGuard& g, std::function<std::uint32_t(int, int)> const& pass) {
  forEachPixel(g, [&](int x, int y, MeshPixel const&) { writeMeshBits(g.getPixelAddress(x, y), pass(x, y)); });
}

}  // namespace

TEST(ApplyCurveTest, RejectsAMeshThatIsNotFloatRgb) {
  for (auto [comps, depth] : {std::pair(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32),
                              std::pair(IxPixelFormat::RGB, IxPixelFormat::FLOAT16)}) {
    IxWriteGuard g(IxTile(IxPixelFormat(comps, depth), GeRectangle<int>(0, 0, 8, 8)));
    std::string const wrong = depth == IxPixelFormat::FLOAT32 ? "getComps() == IxPixelFormat::RGB"
                                                                : "getDepth() == IxPixelFormat::FLOAT32";
    EXPECT_EQ(warptest::failedCondition([&] { apply(circle(30, 30, 20), circle(30, 30, 20), g); }),
              "warpGridProc: corrMesh.getTile().getPixelFormat()." + wrong);
  }
}

TEST(ApplyCurveTest, PixelsOnTheCurveTakeItsMotionScaledByTheInterpolation) {
  // Targets: the centres under `expect`; far from the origin still within 0.1.
  M const rot = M::translation(47.0f, 33.0f) * M::rotation(0.5235988f) * M::translation(-40.0f, -40.0f);
  struct Case { M dstMap; double f; M expect; };
  Case const cases[] = {{M::translation(10.0f, -5.0f), 1.0, M::translation(10.0f, -5.0f)},
                        {M::translation(10.0f, -5.0f), 0.5, M::translation(5.0f, -2.5f)},
                        {rot, 1.0, rot},
                        {M(0.3f, 2.0f, -1.0f, 0.5f, 300.0f, -70.0f), 0.0, M()}};
  GeRectangle<int> const near(-10, -20, 80, 80), far(399970, 299970, 400030, 300030);
  for (Case const& k : cases)
    for (auto const& [c, region] : {std::pair(circle(30, 30, 20, false), near), std::pair(circle(40, 40, 25), near),
                                    std::pair(circle(400000.0f, 300000.0f, 20.0f), far)}) {
      if (region == far && &k != &cases[0]) continue;  // translated only
      IxWriteGuard g(makeMesh(region));
      apply(c, GeBezierCurve(c, k.dstMap), g, k.f);
      EXPECT_GT(forEachConstrained(g, [&](int x, int y, MeshPixel const& m) {
        P const want = k.expect.apply(P(static_cast<float>(x), static_cast<float>(y)));
        double const tol = k.f == 0.0 ? 0.0 : region == far ? 0.1 : 1e-3;  // f = 0: exactly the centre
        EXPECT_TRUE(std::fabs(m.r - want.x()) <= tol && std::fabs(m.g - want.y()) <= tol) << x << "," << y;
      }), 50);
    }
  // An interpolation that carries the targets past the float range: held at its end, never infinite.
  IxWriteGuard g(makeMesh(near));
  apply(circle(30, 30, 20), GeBezierCurve(circle(30, 30, 20), M::translation(10.0f, -5.0f)), g, 3e38);
  EXPECT_GT(forEachConstrained(g, [](int, int, MeshPixel const& m) { EXPECT_TRUE(m.r == FLT_MAX && m.g == -FLT_MAX); }), 50);
}

TEST(ApplyCurveTest, NonRigidDestinationCarriesTheOffsetInItsOwnFrame) {
  // Lines of slope 0.45 and 1 / 0.45: the candidate nearest each centre is
  // its column's (row's) crossing, within the pixel. Its image takes the
  // centre's offset, components along and across kept in the destination's
  // unit frame; under a scale or a shear another closest point or the
  // source's frame would land elsewhere.
  auto const perp = [](P const& v) { return P(v.y(), -v.x()); };
  for (auto const& [a, b] : {std::pair(P(2, 3), P(42, 21)), std::pair(P(3, 2), P(21, 42))})
    for (M const& m : {M::scaling(2.0f, 0.5f), M(1.0f, 0.8f, 0.0f, 1.0f, 5.0f, -3.0f)}) {
      P const T = (b - a) * (1.0f / (b - a).length()), mt = m.applyToVector(T), U = mt * (1.0f / mt.length());
      GeBezierCurve const src = polyline({a, b});
      IxWriteGuard g(makeMesh({0, 0, 50, 50}));
      apply(src, GeBezierCurve(src, m), g);
      EXPECT_EQ(forEachConstrained(g, [&](int x, int y, MeshPixel const& px) {
        P const centre(x, y), foot = T.x() > T.y() ? P(x, a.y() + (x - a.x()) * T.y() / T.x())
                                                   : P(a.x() + (y - a.y()) * T.x() / T.y(), y);
        P const want = m.apply(foot) + U * T.dot(centre - foot) + perp(U) * perp(T).dot(centre - foot);
        EXPECT_LT(std::hypot(px.r - want.x(), px.g - want.y()), 1e-3) << x << "," << y;
        EXPECT_LE(std::max(std::fabs(foot.x() - x), std::fabs(foot.y() - y)), 0.5f) << x << "," << y;
      }), 41);
    }
}

TEST(ApplyCurveTest, LinkedPointsLandOnTheirDestinationLinks) {
  // Each probed centre is a linked source point: its target is the paired
  // destination link, which ignored or swapped links, or wrapping by the
  // source's closure, would miss. A one-point curve constrains one pixel,
  // the centre's offset (-0.4, 0.4) carried in the default frame (1, 0).
  GeBezierCurve const line = polyline({{0, 10}, {10, 10}, {20, 10}, {30, 10}}), below(line, M::translation(0, 20));
  GeBezierCurve const square = polyline({{10, 10}, {30, 10}, {30, 30}, {10, 30}}, GeBezierCurve::CLOSED);
  GeBezierCurve const openDst = polyline({{10, 50}, {30, 50}, {50, 50}, {70, 50}});
  struct Case { GeBezierCurve src, dst; Vector<float> srcLinks, dstLinks; int x, y; P want; };
  Case const cases[] = {{line, below, {1, 2}, {2, 2.5f}, 10, 10, {20, 30}},
                        {line, below, {1, 2}, {2, 2.5f}, 20, 10, {25, 30}},
                        {square, openDst, {0, 2}, {0, 3}, 10, 10, {10, 50}},
                        {square, openDst, {0, 2}, {0, 3}, 30, 30, {70, 50}},
                        {polyline({{12.4f, 7.6f}}), polyline({{20, 10}}), {}, {}, 12, 8, {19.6f, 10.4f}}};
  for (Case const& k : cases) {
    IxWriteGuard g(makeMesh({0, 0, 80, 60}));
    apply(k.src, k.dst, g, 1.0, WarpGridProc::Bidirectional, k.srcLinks, k.dstLinks);
    MeshPixel const m = readMeshPixel(g.getPixelAddress(k.x, k.y));
    EXPECT_LT(std::hypot(m.r - k.want.x(), m.g - k.want.y()), 1e-3) << "case " << &k - cases;
    EXPECT_TRUE(k.src.getNumCtrlPoints() > 1 || forEachConstrained(g) == 1);
  }
}

TEST(ApplyCurveTest, APixelKeepsItsFirstCurveExceptAtALaterCurvesJoint) {
  // Along row 5 with a joint at (5, 5), ending at x = 12.6 in pixel (13, 5),
  // which only the extra end step reaches. Pinned pixels keep everything
  // where the curve passes or ends; the joint takes its pixel's target.
  GeBezierCurve const c = polyline({{3, 5}, {5, 5}, {12.6f, 5}});
  IxWriteGuard g(makeMesh({0, 0, 20, 10}));
  for (int x : {5, 9, 13}) writeMeshPixel(g.getPixelAddress(x, 5), {50.0f, 50.0f, CONSTRAINED_BIT});
  apply(c, GeBezierCurve(c, M::translation(3, 3)), g);
  for (int x = 3; x <= 13; ++x) {
    MeshPixel const m = readMeshPixel(g.getPixelAddress(x, 5));
    bool const pinned = x == 9 || x == 13;
    EXPECT_LT(std::hypot(m.r - (pinned ? 50.0 : x + 3.0), m.g - (pinned ? 50.0 : 8.0)), 1e-4) << x;
    EXPECT_EQ(m.b, pinned || x == 5 ? CONSTRAINED_BIT : CONSTRAINED_BIT | SMOOTHING_BIT) << x;
  }
  EXPECT_EQ(forEachConstrained(g), 11);
}

TEST(SplitPassesTest, EachClosedCurveSplitsThePassesDenselyByItsSide) {
  // Sparse pass numbers must not size the pass table: they go by rank.
  IxWriteGuard g(makeMesh({0, 0, 100, 60}));
  setPasses(g, [](int x, int) { return x < 50 ? 7u : 0x3ffffff0u; });
  apply(circle(25, 30, 15), circle(25, 30, 15), g, 1.0, WarpGridProc::Inside);
  EXPECT_EQ(passesInside(g, 25, 30, 15), Passes{2});  // "Inside": outside first (7 -> 0, high -> 1)
  EXPECT_EQ(passesInside(g), (Passes{0, 1, 2}));
  forEachConstrained(g, [](int, int, MeshPixel const& m) { EXPECT_EQ(m.b & PASS_MASK, 7u); });  // kept
  // Splitting again, "Outside" round the right half: its inside (old 1 ->
  // 0) comes first, then its outside (old 0, 1 and 2 -> 1, 2, 3).
  apply(circle(75, 30, 25), circle(75, 30, 25), g, 1.0, WarpGridProc::Outside);
  EXPECT_EQ(passesInside(g), (Passes{0, 1, 2, 3}));
  EXPECT_EQ(passesInside(g, 75, 30, 20), Passes{0});
  EXPECT_EQ(passesInside(g, 25, 30, 15), Passes{3});
}

TEST(SplitPassesTest, ACancelledSplitLeavesThePassesAllSplitOrAsTheyWere) {
  // Cancelled at moments spread over a run on a worker, the passes must come
  // out all split or all as they were (timing only picks which of the two).
  GeBezierCurve const c = circle(250, 250, 180);
  auto run = [&](Mode mode, double cancelAfterMs) {
    IxWriteGuard g(makeMesh({0, 0, 500, 500}));
    setPasses(g, [](int x, int y) { return (x / 16 + y / 16) % 3 * 1000003u; });  // sparse: ranked first
    auto const request = std::make_shared<PxRequest>();
    std::future<void> done = PxRequestMgr::getInstance().submit(request, [&] { apply(c, c, g, 1.0, mode); });
    if (done.wait_for(std::chrono::duration<double, std::milli>(cancelAfterMs)) != std::future_status::ready)
      request->cancel();
    EXPECT_NO_THROW(try { done.get(); } catch (PxInterruptedException const&) {});
    Vector<std::uint32_t> bits;
    forEachPixel(g, [&](int, int, MeshPixel const& m) { bits.push_back(m.b); });
    return bits;
  };
  auto const start = std::chrono::steady_clock::now();
  Vector<std::uint32_t> const split = run(WarpGridProc::Inside, 1e9);
  double const ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  Vector<std::uint32_t> const unsplit = run(WarpGridProc::Bidirectional, 1e9);  // the same curve pixels
  ASSERT_NE(split, unsplit);
  for (int i = 0; i < 16; ++i) {
    Vector<std::uint32_t> const got = run(WarpGridProc::Inside, ms * i / 15.0);
    EXPECT_TRUE(got == split || got == unsplit) << "cancelled after " << ms * i / 15.0 << " ms";
  }
}
