// Polygon fill: areas of squares, triangles and circles against the analytic
// area, the non-zero rule on self-intersecting outlines, tile clipping and
// bad input.
#include "primitives/ipShapeRenderProc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <random>

#include "primitives/ipSet.h"

namespace {

using P = GePoint2<float>;
using Poly = Vector<P>;

IxTile maskTile(GeRectangle<int> const& region) {
  return IxTile(IxPixelFormat(IxPixelFormat::ALPHA, IxPixelFormat::FLOAT32), region);
}

IxTile render(GeRectangle<int> const& region, Poly const& poly, IpShapeRenderProc::Antialiasing aa) {
  IxTile tile = maskTile(region);
  IxWriteGuard guard(tile);
  IpShapeRenderProc(guard, poly, aa).process();
  return tile;
}

float at(IxTile const& tile, int x, int y) {
  IxReadGuard g(tile);
  return g.getRow<float>(y)[x - g.getPixelRegion().x1()];
}

// Sum of the values and number of non-zero pixels.
std::pair<double, int> sumAndCount(IxTile const& tile) {
  IxReadGuard g(tile);
  GeRectangle<int> const& r = g.getPixelRegion();
  double sum = 0.0;
  int count = 0;
  for (int y = r.y1(); y < r.y2(); ++y) {
    float const* row = g.getRow<float>(y);
    for (int i = 0; i < r.getWidth(); ++i) {
      sum += row[i];
      count += row[i] != 0.0f;
    }
  }
  return {sum, count};
}

double shoelace(Poly const& p) {
  double a = 0.0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    P const& u = p[i];
    P const& v = p[(i + 1) % p.size()];
    a += double(u.x()) * v.y() - double(v.x()) * u.y();
  }
  return std::abs(a) / 2.0;
}

Poly rect(float x0, float y0, float x1, float y1) { return {P(x0, y0), P(x1, y0), P(x1, y1), P(x0, y1)}; }

Poly circle(float cx, float cy, float r, int n) {
  Poly p;
  for (int i = 0; i < n; ++i) {
    double const a = 2.0 * std::numbers::pi * i / n;
    p.emplace_back(cx + r * std::cos(a), cy + r * std::sin(a));
  }
  return p;
}

GeRectangle<int> const kRegion(0, 0, 64, 48);
constexpr auto AA = IpShapeRenderProc::ANTIALIASING;
constexpr auto NOAA = IpShapeRenderProc::NO_ANTIALIASING;

// Calls f(x, y) for every pixel of kRegion.
void forEachPixel(std::function<void(int, int)> const& f) {
  for (int y = kRegion.y1(); y < kRegion.y2(); ++y)
    for (int x = kRegion.x1(); x < kRegion.x2(); ++x) f(x, y);
}

TEST(IpShapeRenderProcTest, PixelAlignedSquareAndPolygonLargerThanTheTileCoverExactlyTheirPixels) {
  // Pixel (x, y) is the unit square centred on (x, y): the first outline
  // holds exactly the pixels 10..19 x 5..14.
  for (bool big : {false, true})
    for (auto aa : {AA, NOAA}) {
      IxTile const t = render(kRegion, big ? rect(-1000.0f, -1e6f, 5000.0f, 3e7f) : rect(9.5f, 4.5f, 19.5f, 14.5f), aa);
      forEachPixel([&](int x, int y) {
        ASSERT_EQ(at(t, x, y), (big || (x >= 10 && x < 20 && y >= 5 && y < 15)) ? 1.0f : 0.0f) << x << "," << y;
      });
    }
}

TEST(IpShapeRenderProcTest, AreasMatchAnalyticAreas) {
  Poly const shapes[] = {
      rect(10.3f, 7.7f, 41.6f, 30.2f),
      {P(5.2f, 3.1f), P(58.7f, 12.4f), P(20.3f, 44.9f)},
      circle(31.7f, 23.2f, 17.3f, 400),
      circle(-3.0f, 20.0f, 12.0f, 300),  // partly left of the tile: only the inside part counts
  };
  double const inside[] = {shoelace(shapes[0]), shoelace(shapes[1]), shoelace(shapes[2]), -1.0};
  for (int i = 0; i < 4; ++i) {
    auto const [aaSum, aaCount] = sumAndCount(render(kRegion, shapes[i], AA));
    auto const [sum, count] = sumAndCount(render(kRegion, shapes[i], NOAA));
    double area = inside[i];
    if (area < 0) {
      // Circle segment right of x = -0.5: r^2 acos(d/r) - d sqrt(r^2 - d^2), d = 2.5.
      double const r = 12.0, d = 2.5;
      area = r * r * std::acos(d / r) - d * std::sqrt(r * r - d * d);
      area *= shoelace(shapes[i]) / (std::numbers::pi * r * r);  // the polygon's share of the true disc
    }
    EXPECT_NEAR(aaSum, area, 1e-3 * area) << "shape " << i;
    // Centre sampling errs by at most the pixels the outline passes through.
    EXPECT_NEAR(count, area, 0.15 * std::sqrt(area) * 4.0) << "shape " << i;
    EXPECT_EQ(sum, count);  // values are 0 or 1 without antialiasing
    EXPECT_GE(aaCount, count);
  }
}

TEST(IpShapeRenderProcTest, OrientationDoesNotMatter) {
  Poly cw = circle(30.0f, 20.0f, 13.3f, 97);
  Poly ccw(cw.rbegin(), cw.rend());
  for (auto aa : {AA, NOAA}) {
    IxTile const a = render(kRegion, cw, aa), b = render(kRegion, ccw, aa);
    forEachPixel([&](int x, int y) { ASSERT_NEAR(at(a, x, y), at(b, x, y), 1e-6f); });
  }
}

TEST(IpShapeRenderProcTest, NonZeroRuleFillsOverlapsOnce) {
  // Pentagram: the centre pentagon has winding 2 and is filled.
  Poly star;
  for (int i = 0; i < 5; ++i) {
    double const a = -std::numbers::pi / 2 + 4.0 * std::numbers::pi * i / 5;
    star.emplace_back(32 + 20 * std::cos(a), 24 + 20 * std::sin(a));
  }
  for (auto aa : {AA, NOAA}) {
    IxTile const t = render(kRegion, star, aa);
    EXPECT_EQ(at(t, 32, 24), 1.0f);
    EXPECT_EQ(at(t, 32, 8), 1.0f);  // in the top spike
    EXPECT_EQ(at(t, 5, 40), 0.0f);
  }
  // The same square outline run twice winds twice: the inside still reads 1,
  // and only the pixels the outline cuts may read more than their area.
  Poly twice = rect(10.2f, 10.6f, 30.9f, 25.1f);
  Poly const once = twice;
  twice.insert(twice.end(), once.begin(), once.end());
  IxTile const t2 = render(kRegion, twice, AA), t1 = render(kRegion, once, AA);
  forEachPixel([&](int x, int y) {
    bool const cut = at(t1, x, y) > 0.0f && at(t1, x, y) < 1.0f;
    if (!cut) ASSERT_EQ(at(t2, x, y), at(t1, x, y)) << x << "," << y;
    else ASSERT_TRUE(at(t2, x, y) >= at(t1, x, y) && at(t2, x, y) <= 1.0f);
  });
  // A bow tie: both lobes (winding +1 and -1) are inside.
  Poly const bow{P(5, 5), P(45, 35), P(45, 5), P(5, 35)};
  IxTile const b = render(kRegion, bow, NOAA);
  EXPECT_EQ(at(b, 10, 20), 1.0f);
  EXPECT_EQ(at(b, 40, 20), 1.0f);
  EXPECT_EQ(at(b, 25, 8), 0.0f);
}

TEST(IpShapeRenderProcTest, SharedEdgeIsCoveredOnceAndCoverageAdds) {
  // Two triangles splitting a square along a diagonal.
  Poly const a{P(4.3f, 3.2f), P(40.6f, 3.2f), P(40.6f, 37.9f)};
  Poly const b{P(4.3f, 3.2f), P(40.6f, 37.9f), P(4.3f, 37.9f)};
  Poly const whole = rect(4.3f, 3.2f, 40.6f, 37.9f);
  IxTile const ta = render(kRegion, a, NOAA), tb = render(kRegion, b, NOAA), tw = render(kRegion, whole, NOAA);
  IxTile const aa = render(kRegion, a, AA), ab = render(kRegion, b, AA), aw = render(kRegion, whole, AA);
  forEachPixel([&](int x, int y) {
    ASSERT_EQ(at(ta, x, y) + at(tb, x, y), at(tw, x, y)) << x << "," << y;
    ASSERT_NEAR(at(aa, x, y) + at(ab, x, y), at(aw, x, y), 1e-5f) << x << "," << y;
  });
}

TEST(IpShapeRenderProcTest, OutsideKeepsItsValueAndOffsetTilesUseAbsoluteCoordinates) {
  GeRectangle<int> const region(100, -20, 140, 10);
  IxTile tile = maskTile(region);
  IxWriteGuard guard(tile);
  ipSet(guard, CoRgbaColorTyped<float>(0, 0, 0, 0.25f), nullptr);
  Poly const sq = rect(109.5f, -10.5f, 119.5f, -0.5f);  // pixels 110..119 x -10..-1
  IpShapeRenderProc(guard, sq, NOAA).process();
  for (int y = -20; y < 10; ++y)
    for (int x = 100; x < 140; ++x)
      ASSERT_EQ(at(tile, x, y), (x >= 110 && x < 120 && y >= -10 && y < 0) ? 1.0f : 0.25f);
  // Half coverage over 0.25 gives 0.625.
  Poly const half = rect(129.5f, 4.5f, 130.0f, 5.5f);
  IpShapeRenderProc(guard, half, AA).process();
  EXPECT_NEAR(at(tile, 130, 5), 0.625f, 1e-6f);
}

TEST(IpShapeRenderProcTest, ColourTilesGetTheColour) {
  IxTile tile(IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32), kRegion);
  IxWriteGuard guard(tile);
  CoRgbaColorTyped<float> const red(1, 0, 0, 1);
  IpShapeRenderProc(guard, rect(9.5f, 9.5f, 12.5f, 12.5f), NOAA, red).process();
  IxReadGuard r(tile);
  EXPECT_EQ(ixReadColor(tile.getPixelFormat(), r.getPixelAddress(10, 10)), red);
  EXPECT_EQ(ixReadColor(tile.getPixelFormat(), r.getPixelAddress(13, 10)), CoRgbaColorTyped<float>::ZERO);
}

TEST(IpShapeRenderProcTest, BadInputLeavesTileUnchanged) {
  // NaN, two points, none, all on one line.
  for (Poly const& p : {Poly{P(1, 1), P(NAN, 30), P(40, 40)}, Poly{P(1, 1), P(40, 40)}, Poly{},
                        Poly{P(1, 5), P(30, 5), P(50, 5)}})
    for (auto aa : {AA, NOAA}) EXPECT_EQ(sumAndCount(render(kRegion, p, aa)).second, 0);
  IxWriteGuard g(maskTile(GeRectangle<int>(5, 5, 5, 9)));
  IpShapeRenderProc(g, rect(0, 0, 10, 10), AA).process();  // empty region: nothing to do
}

TEST(IpShapeRenderProcTest, RandomPolygonsStayInUnitRange) {
  std::mt19937 rng(2024);
  std::uniform_real_distribution<float> coord(-30.0f, 90.0f), wild(-1e7f, 1e7f);
  for (int trial = 0; trial < 300; ++trial) {
    Poly p;
    int const n = 3 + trial % 40;
    for (int i = 0; i < n; ++i) p.emplace_back(trial % 10 == 0 ? wild(rng) : coord(rng), coord(rng));
    for (auto aa : {AA, NOAA}) {
      IxTile const t = render(kRegion, p, aa);
      forEachPixel([&](int x, int y) { ASSERT_TRUE(at(t, x, y) >= 0.0f && at(t, x, y) <= 1.0f) << at(t, x, y); });
    }
  }
}

}  // namespace
