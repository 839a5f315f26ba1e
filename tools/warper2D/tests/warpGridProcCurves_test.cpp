// Tests of the rasterisation of curve pairs into the correspondence mesh and
// of the inside/outside pass split.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <set>

#include "base/assertions.h"
#include "primitives/geBezierCurve.h"
#include "primitives/ixTile.h"
#include "pluginAPI/pxRequestMgr.h"
#include "warpGridProc.h"

using namespace Qx::Warper2D;
using P = GePoint2<float>;
using M = GeAffineMatrix2<float>;

namespace {

IxTile makeMesh(GeRectangle<int> const& region) {
  return IxTile(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), region);
}

// A closed four-point curve close to a circle.
GeBezierCurve circle(float cx, float cy, float r) {
  float const h = r * 0.5522847f;
  Vector<P> pts = {{cx + r, cy - h}, {cx + r, cy}, {cx + r, cy + h}, {cx + h, cy + r}, {cx, cy + r},
                   {cx - h, cy + r}, {cx - r, cy + h}, {cx - r, cy}, {cx - r, cy - h}, {cx - h, cy - r},
                   {cx, cy - r},     {cx + h, cy - r}};
  return GeBezierCurve(pts, GeBezierCurve::CLOSED);
}

// An open wavy three-point curve.
GeBezierCurve wave() {
  Vector<P> pts = {{5, 10}, {5, 10}, {20, -5}, {30, 40}, {35, 30}, {40, 20}, {60, 10}, {62, 25}, {62, 25}};
  return GeBezierCurve(pts, GeBezierCurve::OPEN);
}

// An open polyline of straight segments (handles on their points).
GeBezierCurve polyline(std::initializer_list<P> points) {
  Vector<P> pts;
  for (P const& p : points) pts.insert(pts.end(), {p, p, p});
  return GeBezierCurve(pts, GeBezierCurve::OPEN);
}

Vector<float> const kNoLinks;

void apply(GeBezierCurve const& src, GeBezierCurve const& dst, IxWriteGuard& g, double f = 1.0,
           WarpGridProc::Smoothing mode = WarpGridProc::Bidirectional, Vector<float> const& srcLinks = kNoLinks,
           Vector<float> const& dstLinks = kNoLinks) {
  WarpGridProc::applyCurveToCorrespondence(src, srcLinks, dst, dstLinks, f, mode, g);
}

void forEachPixel(IxWriteGuard const& g, std::function<void(int, int, MeshPixel const&)> const& f) {
  GeRectangle<int> const r = g.getPixelRegion();
  for (int y = r.y1(); y < r.y2(); ++y)
    for (int x = r.x1(); x < r.x2(); ++x) f(x, y, readMeshPixel(g.getPixelAddress(x, y)));
}

// Calls f on the constrained pixels; returns how many there are.
int forEachConstrained(IxWriteGuard const& g, std::function<void(int, int, MeshPixel const&)> const& f = nullptr) {
  int n = 0;
  forEachPixel(g, [&](int x, int y, MeshPixel const& m) {
    if (!(m.b & CONSTRAINED_BIT)) return;
    ++n;
    if (f) f(x, y, m);
  });
  return n;
}

// Distance from (x, y) to the curve, by dense sampling of its segments.
double distanceToCurve(GeBezierCurve const& c, double x, double y) {
  double best = 1e300;
  for (int i = 0; i <= c.getSegmentCount() * 2000; ++i) {
    P const p = c.evaluate(i / 2000.0);
    best = std::min(best, std::hypot(p.x() - x, p.y() - y));
  }
  return best;
}

}  // namespace

TEST(ApplyCurveTest, RejectsAMeshThatIsNotFloatRgb) {
  for (IxPixelFormat fmt : {IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32),
                            IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT16)}) {
    IxWriteGuard g(IxTile(fmt, GeRectangle<int>(0, 0, 8, 8)));
    try {
      apply(wave(), wave(), g);
      FAIL() << "no assertion";
    } catch (AssertionFailure const& e) {
      EXPECT_EQ(e.file(), "warpGridProc");
      EXPECT_EQ(e.condition(), fmt.getDepth() == IxPixelFormat::FLOAT32
                                   ? "corrMesh.getTile().getPixelFormat().getComps() == IxPixelFormat::RGB"
                                   : "corrMesh.getTile().getPixelFormat().getDepth() == IxPixelFormat::FLOAT32");
    }
  }
}

TEST(ApplyCurveTest, ConstrainedPixelsLieOnTheCurve) {
  for (GeBezierCurve const& c : {wave(), circle(40, 40, 25)}) {
    IxWriteGuard g(makeMesh({0, 0, 80, 80}));
    apply(c, c, g, 0.0);
    // The curve passes through each constrained pixel's square.
    int const n = forEachConstrained(
        g, [&](int x, int y, MeshPixel const&) { EXPECT_LE(distanceToCurve(c, x, y), 0.7072) << x << "," << y; });
    EXPECT_GT(n, 60);
  }
}

TEST(ApplyCurveTest, DestinationMovedByAnAffineMapMovesEveryTarget) {
  // Every constrained pixel's target is its centre under `expect`: the motion
  // from source to destination scaled by the interpolation amount.
  M const rot = M::translation(47.0f, 33.0f) * M::rotation(0.5235988f) * M::translation(-40.0f, -40.0f);
  M const skew(0.3f, 2.0f, -1.0f, 0.5f, 300.0f, -70.0f);
  struct Case {
    char const* name;
    M dstMap;
    double f;
    M expect;
  };
  Case const cases[] = {{"identical curves", M(), 1.0, M()},
                        {"translation", M::translation(10.0f, -5.0f), 1.0, M::translation(10.0f, -5.0f)},
                        {"half a translation", M::translation(10.0f, -5.0f), 0.5, M::translation(5.0f, -2.5f)},
                        {"rotation", rot, 1.0, rot},
                        {"interpolation 0 writes the own centre", skew, 0.0, M()}};
  for (Case const& k : cases)
    for (GeBezierCurve const& c : {wave(), circle(40, 40, 25)}) {
      IxWriteGuard g(makeMesh({-10, -20, 80, 80}));
      apply(c, GeBezierCurve(c, k.dstMap), g, k.f);
      int const n = forEachConstrained(g, [&](int x, int y, MeshPixel const& m) {
        P const want = k.expect.apply(P(static_cast<float>(x), static_cast<float>(y)));
        double const tol = k.f == 0.0 ? 0.0 : 1e-3;  // nothing to interpolate: exactly the centre
        EXPECT_NEAR(m.r, want.x(), tol) << k.name << " " << x << "," << y;
        EXPECT_NEAR(m.g, want.y(), tol) << k.name << " " << x << "," << y;
      });
      EXPECT_GT(n, 50) << k.name;
    }
}

TEST(ApplyCurveTest, SmoothingModeSetsTheBits) {
  for (auto mode : {WarpGridProc::Bidirectional, WarpGridProc::Inside, WarpGridProc::Outside, WarpGridProc::None}) {
    IxWriteGuard g(makeMesh({0, 0, 70, 50}));
    apply(wave(), wave(), g, 1.0, mode);
    std::uint32_t const want = mode == WarpGridProc::None ? CONSTRAINED_BIT : (CONSTRAINED_BIT | SMOOTHING_BIT);
    int seen = 0;
    forEachPixel(g, [&](int, int, MeshPixel const& m) {
      seen += (m.b & CONSTRAINED_BIT) ? 1 : 0;
      EXPECT_EQ(m.b, (m.b & CONSTRAINED_BIT) ? want : 0u);
    });
    EXPECT_GT(seen, 50);
  }
}

TEST(ApplyCurveTest, OnePointCurveConstrainsOnePixel) {
  GeBezierCurve const src(Vector<P>{{0, 0}, {12.4f, 7.6f}, {3, 3}}, GeBezierCurve::OPEN);
  GeBezierCurve const dst(Vector<P>{{0, 0}, {20.0f, 10.0f}, {0, 0}}, GeBezierCurve::OPEN);
  IxWriteGuard g(makeMesh({0, 0, 32, 32}));
  apply(src, dst, g);
  EXPECT_EQ(forEachConstrained(g), 1);
  MeshPixel const m = readMeshPixel(g.getPixelAddress(12, 8));
  ASSERT_TRUE(m.b & CONSTRAINED_BIT);
  // The centre sits (-0.4, 0.4) from the point; the destination's frame is
  // the same (both tangents default to (1, 0)), so the offset carries over.
  EXPECT_NEAR(m.r, 20.0f - 0.4f, 1e-5);
  EXPECT_NEAR(m.g, 10.0f + 0.4f, 1e-5);
}

TEST(ApplyCurveTest, OpenCurvesConstrainBothEndPixels) {
  // A straight line whose end lies on a pixel centre: the walk reaches the
  // last pixel's centre line exactly at the end of the segment.
  Vector<P> line = {{10, 10}, {10, 10}, {13.333333f, 10}, {16.666667f, 10}, {20, 10}, {20, 10}};
  GeBezierCurve const c(line, GeBezierCurve::OPEN);
  IxWriteGuard g(makeMesh({0, 0, 32, 32}));
  apply(c, c, g);
  for (int x = 10; x <= 20; ++x) EXPECT_TRUE(readMeshBits(g.getPixelAddress(x, 10)) & CONSTRAINED_BIT) << x;
  EXPECT_EQ(forEachConstrained(g), 11);

  // Random open curves with their ends on pixel centres pin both ends.
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> coord(4, 60), handle(-12, 12);
  for (int i = 0; i < 300; ++i) {
    IxWriteGuard mg(makeMesh({0, 0, 64, 64}));
    Vector<P> pts;
    for (int k = 0; k < 2 + i % 3; ++k) {
      float const x = float(coord(rng)), y = float(coord(rng));
      pts.push_back({x + handle(rng), y + handle(rng)});
      pts.push_back({x, y});
      pts.push_back({x + handle(rng), y + handle(rng)});
    }
    GeBezierCurve const open(pts, GeBezierCurve::OPEN);
    apply(open, open, mg);
    for (P const end : {pts[1], pts[pts.size() - 2]})
      ASSERT_TRUE(readMeshBits(mg.getPixelAddress(int(end.x()), int(end.y()))) & CONSTRAINED_BIT) << i;
  }
}

TEST(ApplyCurveTest, EarlierConstraintsAreKept) {
  GeBezierCurve const c = circle(40, 40, 25), dst(c, M::translation(3, 3));
  // Find the pixels the curve constrains, then pin those that lie away
  // from the segment joints (at 0, 90, 180 and 270 degrees) beforehand.
  IxWriteGuard pg(makeMesh({0, 0, 80, 80})), g(makeMesh({0, 0, 80, 80}));
  apply(c, dst, pg);
  int pinned = 0;
  int const probed = forEachConstrained(pg, [&](int x, int y, MeshPixel const&) {
    bool const nearJoint = std::abs(x - 40) <= 2 || std::abs(y - 40) <= 2;
    if (nearJoint || (x + y) % 2 != 0) return;
    writeMeshPixel(g.getPixelAddress(x, y), {-7.0f, static_cast<float>(-x), CONSTRAINED_BIT | 5u});
    ++pinned;
  });
  ASSERT_GT(pinned, 20);
  apply(c, dst, g);
  int kept = 0;
  int const all = forEachConstrained(g, [&](int x, int y, MeshPixel const& m) {
    if (m.r == -7.0f) {
      EXPECT_EQ(m.g, static_cast<float>(-x));
      EXPECT_EQ(m.b, CONSTRAINED_BIT | 5u);
      ++kept;
    } else {
      EXPECT_NEAR(m.r, x + 3.0, 1e-3);
      EXPECT_NEAR(m.g, y + 3.0, 1e-3);
    }
  });
  EXPECT_EQ(kept, pinned);
  EXPECT_EQ(all, probed);
}

TEST(ApplyCurveTest, AJointInsideAConstrainedPixelRewritesItButASecondCurveDoesNot) {
  // A corner at (20.2, 10), inside pixel (20, 10): the first segment enters
  // the pixel and finds it taken, but the second segment starts in the same
  // pixel, continues its closest-point search and writes the result.
  {
    GeBezierCurve const src = polyline({{0, 10}, {20.2f, 10}, {20.2f, 30}});
    IxWriteGuard g(makeMesh({0, 0, 40, 40}));
    writeMeshPixel(g.getPixelAddress(20, 10), {-1.0f, -1.0f, CONSTRAINED_BIT});
    writeMeshPixel(g.getPixelAddress(10, 10), {-1.0f, -1.0f, CONSTRAINED_BIT});
    apply(src, GeBezierCurve(src, M::translation(3, 3)), g);
    MeshPixel const joint = readMeshPixel(g.getPixelAddress(20, 10)), plain = readMeshPixel(g.getPixelAddress(10, 10));
    EXPECT_NEAR(joint.r, 23.0f, 1e-3);
    EXPECT_NEAR(joint.g, 13.0f, 1e-3);
    EXPECT_EQ(joint.b, CONSTRAINED_BIT);  // the bits stay those of the earlier curve
    EXPECT_EQ(plain.r, -1.0f);
    EXPECT_EQ(plain.g, -1.0f);
  }
  // Two crossing lines: the crossing pixel keeps the first line's target.
  GeBezierCurve const hc = polyline({{0, 20}, {40, 20}}), vc = polyline({{20.3f, 0}, {20.3f, 40}});
  IxWriteGuard g(makeMesh({0, 0, 41, 41}));
  apply(hc, GeBezierCurve(hc, M::translation(5, 0)), g);
  apply(vc, GeBezierCurve(vc, M::translation(-5, 0)), g, 1.0, WarpGridProc::None);
  MeshPixel const cross = readMeshPixel(g.getPixelAddress(20, 20)), onV = readMeshPixel(g.getPixelAddress(20, 30));
  EXPECT_NEAR(cross.r, 25.0f, 1e-3);
  EXPECT_EQ(cross.b, CONSTRAINED_BIT | SMOOTHING_BIT);
  EXPECT_NEAR(onV.r, 15.0f, 1e-3);
  EXPECT_EQ(onV.b, CONSTRAINED_BIT);
}

TEST(ApplyCurveTest, ResultDoesNotDependOnTheTile) {
  // The same pair rasterised into one large mesh and into small tiles that
  // cut the curve gives bit-identical pixels wherever the tiles reach.
  GeBezierCurve const src = circle(40, 40, 30), dst(wave(), M::scaling(1.2f, 0.8f));
  Vector<float> const srcLinks = {0.0f, 1.5f, 3.0f}, dstLinks = {0.2f, 1.0f, 1.9f};
  IxWriteGuard wg(makeMesh({0, 0, 80, 80}));
  apply(src, dst, wg, 0.7, WarpGridProc::Bidirectional, srcLinks, dstLinks);
  for (GeRectangle<int> const& r : {GeRectangle<int>(0, 0, 17, 23), GeRectangle<int>(30, 5, 80, 12),
                                    GeRectangle<int>(60, 60, 90, 90), GeRectangle<int>(-20, 35, 12, 44)}) {
    IxWriteGuard pg(makeMesh(r));
    apply(src, dst, pg, 0.7, WarpGridProc::Bidirectional, srcLinks, dstLinks);
    int matched = 0;
    forEachPixel(pg, [&](int x, int y, MeshPixel const& m) {
      if (!wg.getPixelRegion().contains(x, y)) {
        EXPECT_EQ(m.b, 0u);
        return;
      }
      MeshPixel const w = readMeshPixel(wg.getPixelAddress(x, y));
      EXPECT_EQ(std::memcmp(&m, &w, sizeof m), 0) << x << "," << y;
      matched += (m.b & CONSTRAINED_BIT) ? 1 : 0;
    });
    EXPECT_GT(matched, 0) << r;
  }
}

TEST(ApplyCurveTest, UnusableShapesLeaveTheMeshUntouched) {
  float const nan = std::nanf(""), inf = INFINITY;
  GeBezierCurve const good = wave();
  GeBezierCurve const bad(Vector<P>{{0, 0}, {10, 10}, {20, 10}, {30, 30}, {nan, 5}, {40, 40}}, GeBezierCurve::OPEN);
  GeBezierCurve const huge(Vector<P>{{0, 0}, {10, 10}, {2e6f, 10}, {30, 30}, {30, 30}, {40, 40}}, GeBezierCurve::OPEN);
  GeBezierCurve const infinite(Vector<P>{{0, 0}, {10, 10}, {10, 10}, {30, 30}, {30, 30}, {inf, 40}},
                               GeBezierCurve::CLOSED);
  struct Case {
    GeBezierCurve src, dst;
    Vector<float> srcLinks, dstLinks;
    double f;
  };
  Case const cases[] = {{bad, good, {}, {}, 1.0},          {good, bad, {}, {}, 1.0},
                        {huge, good, {}, {}, 1.0},         {good, infinite, {}, {}, 1.0},
                        {GeBezierCurve(), good, {}, {}, 1.0}, {good, GeBezierCurve(), {}, {}, 1.0},
                        {good, good, {nan}, {0.5f}, 1.0},  {good, good, {}, {}, std::nan("")}};
  for (Case const& c : cases) {
    IxWriteGuard g(makeMesh({0, 0, 70, 50}));
    EXPECT_NO_THROW(apply(c.src, c.dst, g, c.f, WarpGridProc::Inside, c.srcLinks, c.dstLinks));
    forEachPixel(g, [](int, int, MeshPixel const& m) { EXPECT_EQ(m.b, 0u); });
  }
}

TEST(ApplyCurveTest, LargeCoordinatesWithinTheLimitAreWalked) {
  // Far from the origin: float keeps about 1/32 pixel here, enough to walk.
  GeBezierCurve const far = circle(400000.0f, 300000.0f, 20.0f);
  IxWriteGuard g(makeMesh({399970, 299970, 400030, 300030}));
  apply(far, GeBezierCurve(far, M::translation(10, -5)), g);
  EXPECT_GT(forEachConstrained(g,
                               [&](int x, int y, MeshPixel const& m) {
                                 EXPECT_NEAR(m.r, x + 10.0, 0.1);
                                 EXPECT_NEAR(m.g, y - 5.0, 0.1);
                               }),
            100);
  // A single segment over a hundred thousand pixels long whose power-basis
  // coefficients come close to the limit.
  GeBezierCurve const src(Vector<P>{{0, 0}, {0, 0}, {50000, 0}, {-50000, 20000}, {0, 30000}, {0, 30000}},
                          GeBezierCurve::OPEN);
  P const mid = src.evaluate(0.5);
  int const mx = static_cast<int>(mid.x()), my = static_cast<int>(mid.y());
  IxWriteGuard lg(makeMesh({mx - 20, my - 20, mx + 20, my + 20}));
  EXPECT_NO_THROW(apply(src, src, lg, 0.0));
  EXPECT_GT(forEachConstrained(lg), 20);
}

// --- inside/outside pass split ------------------------------------------------

namespace {

using PassSet = std::set<std::uint32_t>;

// Pass numbers of the unconstrained pixels, inside and outside a circle, and
// of the constrained ones.
struct PassSets {
  PassSet inside, outside, constrained;
};
PassSets passes(IxWriteGuard const& g, float cx, float cy, float r) {
  PassSets s;
  forEachPixel(g, [&](int x, int y, MeshPixel const& m) {
    double const d = std::hypot(x - cx, y - cy);
    if (m.b & CONSTRAINED_BIT)
      s.constrained.insert(m.b & PASS_MASK);
    else if (d < r - 1.0)
      s.inside.insert(m.b & PASS_MASK);
    else if (d > r + 1.0)
      s.outside.insert(m.b & PASS_MASK);
  });
  return s;
}

PassSet unconstrainedPasses(IxWriteGuard const& g) {
  PassSet all;
  forEachPixel(g, [&](int, int, MeshPixel const& m) {
    if (!(m.b & CONSTRAINED_BIT)) all.insert(m.b & PASS_MASK);
  });
  return all;
}

}  // namespace

TEST(SplitPassesTest, InsideSolvesTheOutsideFirstAndOutsideTheReverse) {
  for (auto mode : {WarpGridProc::Inside, WarpGridProc::Outside}) {
    IxWriteGuard g(makeMesh({0, 0, 60, 60}));
    apply(circle(30, 30, 15), circle(30, 30, 15), g, 1.0, mode);
    PassSets const s = passes(g, 30, 30, 15);
    std::uint32_t const in = mode == WarpGridProc::Inside ? 1 : 0;
    EXPECT_EQ(s.inside, PassSet{in});
    EXPECT_EQ(s.outside, PassSet{1 - in});
    EXPECT_EQ(s.constrained, PassSet{0});
  }
}

TEST(SplitPassesTest, OpenCurvesAndOtherModesLeavePassesAlone) {
  struct Case {
    GeBezierCurve c;
    WarpGridProc::Smoothing mode;
  };
  for (Case const& k : {Case{circle(30, 30, 15), WarpGridProc::Bidirectional}, Case{circle(30, 30, 15), WarpGridProc::None},
                        Case{wave(), WarpGridProc::Inside}, Case{wave(), WarpGridProc::Outside}}) {
    IxWriteGuard g(makeMesh({0, 0, 60, 60}));
    // Start from a pattern of passes 0..2.
    forEachPixel(g, [&](int x, int y, MeshPixel const&) {
      writeMeshPixel(g.getPixelAddress(x, y), {0.0f, 0.0f, static_cast<std::uint32_t>((x + y) % 3)});
    });
    apply(k.c, k.c, g, 1.0, k.mode);
    forEachPixel(g, [&](int x, int y, MeshPixel const& m) {
      EXPECT_EQ(m.b & PASS_MASK, static_cast<std::uint32_t>((x + y) % 3)) << x << "," << y;
    });
  }
}

TEST(SplitPassesTest, SecondClosedCurveSplitsAgainAndKeepsPassesDense) {
  IxWriteGuard g(makeMesh({0, 0, 100, 60}));
  apply(circle(25, 30, 15), circle(25, 30, 15), g, 1.0, WarpGridProc::Inside);
  apply(circle(75, 30, 15), circle(75, 30, 15), g, 1.0, WarpGridProc::Inside);
  // Outside both: (pass 0, outside b) -> 0; inside a: (pass 1, outside b) -> 1;
  // inside b: (pass 0, inside b) -> 2.
  EXPECT_EQ(passes(g, 25, 30, 15).inside, PassSet{1});
  EXPECT_EQ(passes(g, 75, 30, 15).inside, PassSet{2});
  EXPECT_EQ(unconstrainedPasses(g), (PassSet{0, 1, 2}));

  // A third curve with "Outside" around the right circle: its inside (old
  // passes 0 and 2 -> 0, 1) is numbered first, then its outside (old passes
  // 0 and 1 -> 2, 3).
  apply(circle(75, 30, 25), circle(75, 30, 25), g, 1.0, WarpGridProc::Outside);
  EXPECT_EQ(unconstrainedPasses(g), (PassSet{0, 1, 2, 3}));
  EXPECT_EQ(passes(g, 75, 30, 15).inside, PassSet{1});  // old pass 2, inside c
  EXPECT_EQ(passes(g, 25, 30, 15).inside, PassSet{3});  // old pass 1, outside c
}

TEST(SplitPassesTest, SparsePassNumbersAreRankedNotTabled) {
  // Pass numbers far beyond the pixel count must not size the pass table;
  // the split numbers them as it would dense ones of the same order.
  IxWriteGuard g(makeMesh({0, 0, 60, 60}));
  forEachPixel(g, [&](int x, int y, MeshPixel const&) {
    writeMeshPixel(g.getPixelAddress(x, y), {0.0f, 0.0f, x < 30 ? 7u : 0x3ffffff0u});
  });
  apply(circle(30, 30, 15), circle(30, 30, 15), g, 1.0, WarpGridProc::Inside);
  // Outside: low pass -> 0, high pass -> 1; inside: low -> 2, high -> 3.
  forEachPixel(g, [&](int x, int y, MeshPixel const& m) {
    if (m.b & CONSTRAINED_BIT) return;
    double const d = std::hypot(x - 30.0, y - 30.0);
    std::uint32_t const rank = x < 30 ? 0 : 1;
    if (d > 16.0 || d < 14.0) {
      EXPECT_EQ(m.b & PASS_MASK, (d < 14.0 ? 2u : 0u) + rank) << x << "," << y;
    }
  });
}

TEST(SplitPassesTest, ACancelledRequestStopsTheSplit) {
  IxWriteGuard g(makeMesh({0, 0, 60, 60}));
  PxRequest cancelled;
  cancelled.cancel();
  PxRequestScope scope(&cancelled);
  GeBezierCurve const c = circle(30, 30, 15);
  EXPECT_THROW(apply(c, c, g, 1.0, WarpGridProc::Inside), PxInterruptedException);
  // Without a split there is no long sweep to interrupt.
  EXPECT_NO_THROW(apply(c, c, g));
}

// --- random curve pairs ----------------------------------------------------------

namespace {

// Random shape curves of many kinds, the awkward ones included.
class RandomCurves {
 public:
  explicit RandomCurves(unsigned seed) : _rng(seed) {}

  GeBezierCurve next() {
    // Kinds by range; a few in a thousand are tens of thousands of pixels long.
    int const kind = pick(0, 999) < 3 ? 26 : pick(0, 99);
    int const points = kind < 8 ? 1 : (kind >= 44 && kind < 50) || kind == 26 ? 2 : pick(2, 5);  // one-point curves
    bool const closed = pick(0, 1) == 1;
    Vector<P> pts;
    P const origin(uniform(-20, 50), uniform(-20, 50));
    for (int i = 0; i < points; ++i) {
      P p, in, out;
      if (kind < 16) {  // coincident points and handles everywhere
        p = in = out = origin;
      } else if (kind < 26 || kind == 27) {  // sub-pixel curves
        p = origin + P(uniform(-0.4f, 0.4f), uniform(-0.4f, 0.4f));
        in = p + P(uniform(-0.3f, 0.3f), uniform(-0.3f, 0.3f));
        out = p + P(uniform(-0.3f, 0.3f), uniform(-0.3f, 0.3f));
      } else if (kind == 26) {  // tens of thousands of pixels long
        p = P(uniform(-15000, 15000), uniform(-15000, 15000));
        in = p + P(uniform(-3000, 3000), uniform(-3000, 3000));
        out = p + P(uniform(-3000, 3000), uniform(-3000, 3000));
      } else if (kind < 36) {  // wholly outside the tile
        p = origin + P(uniform(200, 400), uniform(-400, 400));
        in = p + P(uniform(-50, 50), uniform(-50, 50));
        out = p + P(uniform(-50, 50), uniform(-50, 50));
      } else {
        p = origin + P(uniform(-25, 25), uniform(-25, 25));
        float const hl = kind < 44 ? 0.0f : kind < 50 ? uniform(200, 1000) : uniform(0, 25);  // zero, huge, usual
        in = p + P(uniform(-hl, hl), uniform(-hl, hl));
        out = p + P(uniform(-hl, hl), uniform(-hl, hl));
        if (kind >= 50 && kind < 60) {  // cusps: the handles cross over the chord
          out = p + P(uniform(-40, 40), uniform(-40, 40));
          if (!pts.empty()) pts[pts.size() - 1] = p + (p - out);
        }
        if (kind >= 60 && kind < 70) std::swap(in, out);  // loops
        if (kind >= 70 && kind < 80) {  // coordinates on pixel edges and centres
          auto snap = [](P q) { return P(std::round(q.x() * 2) / 2, std::round(q.y() * 2) / 2); };
          p = snap(p), in = snap(in), out = snap(out);
        }
        if (kind >= 80 && kind < 85 && i > 0) p = pts[pts.size() - 2];  // repeated control point
      }
      pts.push_back(in);
      pts.push_back(p);
      pts.push_back(out);
    }
    return GeBezierCurve(pts, closed ? GeBezierCurve::CLOSED : GeBezierCurve::OPEN);
  }

  Vector<float> links(int n, int count) {
    Vector<float> l;
    for (int i = 0; i < count; ++i) l.push_back(uniform(0.0f, static_cast<float>(n)));
    return l;
  }

  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(_rng); }
  float uniform(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(_rng); }

 private:
  std::mt19937 _rng;
};

}  // namespace

TEST(ApplyCurvePropertyTest, RandomCurvePairsNeverAssertAndWriteFiniteTargets) {
  RandomCurves gen(777);
  int constrainedTotal = 0;
  for (int i = 0; i < 10000; ++i) {
    GeBezierCurve const src = gen.next();
    GeBezierCurve const dst = gen.pick(0, 3) == 0 ? src : gen.next();
    int const nLinks = gen.pick(0, 4);
    Vector<float> const srcLinks = gen.links(src.getSegmentCount(), nLinks);
    Vector<float> const dstLinks = gen.links(dst.getSegmentCount(), nLinks + gen.pick(-1, 1));
    double const f = gen.uniform(-0.2f, 1.5f);
    auto const mode = static_cast<WarpGridProc::Smoothing>(gen.pick(0, 3));
    int const x0 = gen.pick(-30, 40), y0 = gen.pick(-30, 40);
    IxWriteGuard g(makeMesh({x0, y0, x0 + gen.pick(1, 24), y0 + gen.pick(1, 24)}));
    try {
      apply(src, dst, g, f, mode, srcLinks, dstLinks);
    } catch (AssertionFailure const& e) {
      FAIL() << "pair " << i << ": " << e.file() << ":" << e.line() << " " << e.condition();
    }
    bool finite = true;
    forEachPixel(g, [&](int, int, MeshPixel const& m) {
      finite = finite && std::isfinite(m.r) && std::isfinite(m.g);
      constrainedTotal += (m.b & CONSTRAINED_BIT) ? 1 : 0;
    });
    ASSERT_TRUE(finite) << "pair " << i;
  }
  EXPECT_GT(constrainedTotal, 10000);  // the pairs do reach their tiles
}

// --- rasterised and solved ---------------------------------------------------------

TEST(ApplyCurveSolveTest, MovedCircleCarriesItsInsideAlong) {
  // A closed source circle and the same circle moved by (10, -5): every
  // constrained pixel moves by exactly that, so the smooth fill inside the
  // circle is the same translation.
  for (auto mode : {WarpGridProc::Bidirectional, WarpGridProc::Inside, WarpGridProc::None}) {
    IxWriteGuard g(makeMesh(WarpGridProc::computeCorrespondenceImageRegion({0, 0, 64, 64})));
    GeBezierCurve const src = circle(32, 30, 16);
    apply(src, GeBezierCurve(src, M::translation(10.0f, -5.0f)), g, 1.0, mode);
    int cycleWork = 2000, firstStep = -1;
    WarpGridProc::createSmoothGrid(g, 0.0, false, 1, 20000, 1, &cycleWork, 1e-10, 1e-20, 0.05, &firstStep);
    int inside = 0;
    double worst = 0.0;
    forEachPixel(g, [&](int x, int y, MeshPixel const& m) {
      if (std::hypot(x - 32.0, y - 30.0) >= 15.0) return;
      ++inside;
      worst = std::max({worst, std::fabs(m.r - (x + 10.0)), std::fabs(m.g - (y - 5.0))});
    });
    EXPECT_GT(inside, 600);
    EXPECT_LE(worst, 0.05) << "mode " << mode;
  }
}
