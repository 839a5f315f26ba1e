// The solver's adaptive lattice and its cell interpolation: leaf search,
// corner-derivative estimates, Hermite patches, child corner data, the fill.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "base/assertions.h"
#include "primitives/ixTile.h"
#include "warpGridProc.h"
#include "warpGridProcCells.h"

namespace {

using namespace Qx::Warper2D;
using namespace Qx::Warper2D::gridsolver;

using Map = std::function<Vec2(double, double)>;
Vec2 identityMap(double x, double y) { return {x, y}; }

// The initial lattice of the solve: a parameter at every multiple of step,
// on `map` of its absolute coordinates.
Lattice topLattice(int nx, int ny, int step, int ox = 0, int oy = 0, Map const& map = identityMap) {
  Lattice lat(nx, ny, ox, oy, step);
  for (int y = 0; y < ny; y += step)
    for (int x = 0; x < nx; x += step) lat.addParm(x, y, map(ox + x, oy + y).x, map(ox + x, oy + y).y);
  return lat;
}

// Subdivides cell (x, y, s) as refinement does, the new parameters on `map`.
void subdivide(Lattice& lat, int x, int y, int s, Map const& map = identityMap) {
  int const h = s / 2;
  int const pts[5][2] = {{x + h, y}, {x + h, y + s}, {x, y + h}, {x + s, y + h}, {x + h, y + h}};
  for (auto const& p : pts) {
    Vec2 const q = map(lat.originX() + p[0], lat.originY() + p[1]);
    if (!lat.isParm(p[0], p[1])) lat.addParm(p[0], p[1], q.x, q.y);
  }
}

// The leaves around a point as sorted (x0, y0, size) triples.
std::vector<std::array<int, 3>> cellsAround(Lattice const& lat, int x, int y) {
  LeafCell c[4];
  std::vector<std::array<int, 3>> out;
  for (int i = 0, n = collectLeafCellsAroundPoint(lat, x, y, c); i < n; ++i) {
    EXPECT_EQ(c[i].x1 - c[i].x0, c[i].y1 - c[i].y0);
    out.push_back({c[i].x0, c[i].y0, c[i].x1 - c[i].x0});
  }
  std::sort(out.begin(), out.end());
  return out;
}

// A bicubic polynomial (degree 3 in x and in y), and its exact derivatives:
// a bicubic Hermite patch must reproduce it from exact corner data.
struct Bicubic {
  double cx[4][4], cy[4][4];  // coefficient of x^i y^j
  static double term(double const c[4][4], double x, double y, int dx, int dy) {
    double sum = 0;
    for (int i = dx; i < 4; ++i)
      for (int j = dy; j < 4; ++j) {
        double f = c[i][j];
        for (int k = 0; k < dx; ++k) f *= i - k;
        for (int k = 0; k < dy; ++k) f *= j - k;
        sum += f * std::pow(x, i - dx) * std::pow(y, j - dy);
      }
    return sum;
  }
  Vec2 eval(double x, double y, int dx = 0, int dy = 0) const { return {term(cx, x, y, dx, dy), term(cy, x, y, dx, dy)}; }
  CornerData corner(double x, double y) const { return {eval(x, y), eval(x, y, 1, 0), eval(x, y, 0, 1), eval(x, y, 1, 1)}; }
};

Bicubic randomBicubic(std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-0.01, 0.01);
  Bicubic b{};
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) b.cx[i][j] = u(rng), b.cy[i][j] = u(rng);
  return b;
}

// A mesh over region whose pixels hold NaN, so that a pixel the fill misses shows.
IxTile nanMesh(GeRectangle<int> const& region) {
  IxTile t(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), region);
  IxWriteGuard g(t);
  float const nan = std::numeric_limits<float>::quiet_NaN();
  for (int y = region.y1(); y < region.y2(); ++y)
    for (int x = region.x1(); x < region.x2(); ++x) writeMeshPixel(g.getPixelAddress(x, y), MeshPixel{nan, nan, 0});
  return t;
}

TEST(LatticeTest, PositionsGrowInWholeChunksAndKeepTheirContents) {
  Lattice lat(400, 200, 0, 0, 1);
  lat.addParm(0, 0, 1.5, 2.5);
  EXPECT_EQ(lat.positionsCapacity(), 65536u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(lat.positions()) % 16, 0u);
  // Parameter 32767 still fits two doubles into the first chunk; 32768 does not.
  for (int i = 1; i < 32768; ++i) lat.addParm(i % 400, i / 400, i, -i);
  EXPECT_EQ(lat.positionsCapacity(), 65536u);
  lat.addParm(32768 % 400, 32768 / 400, 7, 8);
  EXPECT_EQ(lat.positionsCapacity(), 131072u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(lat.positions()) % 16, 0u);
  EXPECT_EQ(lat.positions()[0], 1.5);
  EXPECT_EQ(lat.positions()[1], 2.5);
  EXPECT_EQ(lat.positions()[2 * 1000], 1000.0);
  EXPECT_EQ(lat.positions()[2 * 32768 + 1], 8.0);
  EXPECT_EQ(lat.nParms(), 32769);
  EXPECT_EQ(lat.parmIndex()[lat.index(368, 81)], 32768);  // 32768 = 81 * 400 + 368
  EXPECT_TRUE(lat.isParm(368, 81));
  EXPECT_FALSE(lat.isParm(399, 199));
  EXPECT_EQ(lat.parmIndex()[lat.index(399, 199)], kNoParm);
}

TEST(LeafCellsTest, CornerBorderInteriorAndHangingPoints) {
  using Cells = std::vector<std::array<int, 3>>;
  Lattice lat = topLattice(17, 17, 8);
  EXPECT_EQ(cellsAround(lat, 0, 0), (Cells{{0, 0, 8}}));
  EXPECT_EQ(cellsAround(lat, 16, 16), (Cells{{8, 8, 8}}));
  EXPECT_EQ(cellsAround(lat, 8, 0), (Cells{{0, 0, 8}, {8, 0, 8}}));
  EXPECT_EQ(cellsAround(lat, 8, 8), (Cells{{0, 0, 8}, {0, 8, 8}, {8, 0, 8}, {8, 8, 8}}));
  subdivide(lat, 0, 0, 8);
  // (4, 8) is a corner of two children of the subdivided cell above and
  // lies inside the top edge of the leaf (0, 8, 8) below: a hanging point.
  EXPECT_EQ(cellsAround(lat, 4, 8), (Cells{{0, 4, 4}, {0, 8, 8}, {4, 4, 4}}));
  // The shared corner of the subdivided cell now meets one child and three leaves.
  EXPECT_EQ(cellsAround(lat, 8, 8), (Cells{{0, 8, 8}, {4, 4, 4}, {8, 0, 8}, {8, 8, 8}}));
  EXPECT_EQ(cellsAround(lat, 4, 0), (Cells{{0, 0, 4}, {4, 0, 4}}));  // a border midpoint of the subdivided cell
  EXPECT_EQ(cellsAround(lat, 4, 4), (Cells{{0, 0, 4}, {0, 4, 4}, {4, 0, 4}, {4, 4, 4}}));
}

TEST(CornerDataTest, IdentityLatticeGivesUnitDerivatives) {
  Lattice lat = topLattice(33, 17, 8, 100, 50);
  subdivide(lat, 8, 0, 8);
  subdivide(lat, 8, 0, 4);
  subdivide(lat, 16, 8, 8);
  for (int y = 0; y < 17; ++y)
    for (int x = 0; x < 33; ++x) {
      if (!lat.isParm(x, y)) continue;
      CornerData const d = estimateCornerData(lat, x, y);
      double const got[8] = {d.p.x, d.p.y, d.dx.x, d.dx.y, d.dy.x, d.dy.y, d.dxy.x, d.dxy.y};
      double const want[8] = {100.0 + x, 50.0 + y, 1, 0, 0, 1, 0, 0};
      for (int i = 0; i < 8; ++i) EXPECT_DOUBLE_EQ(got[i], want[i]) << x << "," << y << " component " << i;
    }
}

TEST(CornerDataTest, SmallerCellsWeighMore) {
  // At a hanging point the size-4 cells weigh twice the size-8 leaf: move
  // one parameter of the fine side and the estimate leans towards it.
  Lattice lat = topLattice(17, 17, 8);
  subdivide(lat, 0, 0, 8);
  lat.positions()[2 * lat.parmIndex()[lat.index(4, 4)] + 0] += 4;  // centre of the subdivided cell, 4 px right
  CornerData const d = estimateCornerData(lat, 4, 8);
  // Worked by hand: both size-4 cells (weight 1/4) now have the y
  // derivative (-1, 1) at the point, the size-8 leaf (weight 1/8) the
  // identity's (0, 1): dy = (2/4 (-1, 1) + 1/8 (0, 1)) / (5/8) = (-0.8, 1).
  EXPECT_DOUBLE_EQ(d.dy.x, -0.8);
  EXPECT_DOUBLE_EQ(d.dy.y, 1.0);
  EXPECT_DOUBLE_EQ(d.dx.x, 1.0);
}

TEST(HermitePatchTest, ReproducesBicubicPolynomialsWithTheirDerivatives) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u01(0, 1);
  for (int trial = 0; trial < 50; ++trial) {
    Bicubic const f = randomBicubic(rng);
    int const s = 1 << (trial % 6);
    double const x0 = trial * 3, y0 = -trial;
    CornerData const c[4] = {f.corner(x0, y0), f.corner(x0 + s, y0), f.corner(x0, y0 + s), f.corner(x0 + s, y0 + s)};
    for (int k = 0; k < 10; ++k) {
      double const u = u01(rng), v = u01(rng);
      double const x = x0 + u * s, y = y0 + v * s;
      Vec2 const p = evaluatePatch(c, s, u, v);
      Vec2 const want = f.eval(x, y);
      double const tol = 1e-9 * (1 + std::abs(want.x) + std::abs(want.y));
      EXPECT_NEAR(p.x, want.x, tol);
      EXPECT_NEAR(p.y, want.y, tol);
      CornerData const d = evaluatePatchCornerData(c, s, u, v);
      EXPECT_NEAR(d.p.x, want.x, tol);
      EXPECT_NEAR(d.dx.x, f.eval(x, y, 1, 0).x, tol);
      EXPECT_NEAR(d.dy.y, f.eval(x, y, 0, 1).y, tol);
      EXPECT_NEAR(d.dxy.x, f.eval(x, y, 1, 1).x, tol);
      EXPECT_NEAR(d.dxy.y, f.eval(x, y, 1, 1).y, tol);
    }
  }
}

TEST(HermitePatchTest, BasisAtTheMidpoint) {
  // Values and slopes at u = 0.5 of a cell of size 8: the handle weights are
  // +-s/8 and the handle slopes -s/4.
  double h[4], d[4];
  hermiteBasis(0.5, 8, h);
  hermiteSlope(0.5, 8, d);
  double const wantH[4] = {0.5, 1.0, 0.5, -1.0}, wantD[4] = {-1.5, -2.0, 1.5, -2.0};
  for (int i = 0; i < 4; ++i) {
    EXPECT_DOUBLE_EQ(h[i], wantH[i]) << i;
    EXPECT_DOUBLE_EQ(d[i], wantD[i]) << i;
  }
}

TEST(ChildCornerDataTest, KeepsCornersEstimatesParametersAndInterpolatesHangingPoints) {
  Lattice lat = topLattice(17, 17, 8);
  subdivide(lat, 0, 0, 8);
  // Move the new top-edge midpoint so that its estimate differs from the patch.
  double* mid = lat.positions() + 2 * lat.parmIndex()[lat.index(4, 0)];
  mid[1] += 2;
  CornerData c[4] = {estimateCornerData(lat, 0, 0), estimateCornerData(lat, 8, 0), estimateCornerData(lat, 0, 8),
                     estimateCornerData(lat, 8, 8)};
  CornerData out[9];
  computeChildCornerData(lat, 0, 0, 8, c, out);
  EXPECT_EQ(out[0].p.x, c[0].p.x);
  EXPECT_EQ(out[8].dx.x, c[3].dx.x);
  EXPECT_EQ(out[1].p.y, 2.0);  // the parameter's own position
  CornerData const e = estimateCornerData(lat, 4, 0);
  EXPECT_EQ(out[1].dx.y, e.dx.y);
  // The leaf (8, 0, 8) is not subdivided: its children's corners, apart from
  // its own, are patch values.
  CornerData c2[4] = {estimateCornerData(lat, 8, 0), estimateCornerData(lat, 16, 0), estimateCornerData(lat, 8, 8),
                      estimateCornerData(lat, 16, 8)};
  computeChildCornerData(lat, 8, 0, 8, c2, out);
  CornerData const centre = evaluatePatchCornerData(c2, 8, 0.5, 0.5);
  EXPECT_EQ(out[4].p.x, centre.p.x);
  EXPECT_EQ(out[4].dxy.y, centre.dxy.y);
  // (8, 4) is a parameter (the right edge midpoint of the subdivided cell).
  EXPECT_EQ(out[3].p.y, 4.0);
}

// Checks every pixel of the region against map within tol (0: exactly, as floats).
void expectFill(IxWriteGuard const& g, Map const& map, double tol) {
  GeRectangle<int> const r = g.getPixelRegion();
  for (int y = r.y1(); y < r.y2(); ++y)
    for (int x = r.x1(); x < r.x2(); ++x) {
      MeshPixel const m = readMeshPixel(g.getPixelAddress(x, y));
      if (m.b & CONSTRAINED_BIT) continue;
      Vec2 const want = map(x, y);
      if (tol == 0) {
        ASSERT_EQ(m.r, static_cast<float>(want.x)) << x << "," << y;
        ASSERT_EQ(m.g, static_cast<float>(want.y)) << x << "," << y;
      } else {
        ASSERT_NEAR(m.r, want.x, tol) << x << "," << y;
        ASSERT_NEAR(m.g, want.y, tol) << x << "," << y;
      }
      ASSERT_EQ(m.b, 0u);
    }
}

TEST(FillTest, IdentityLatticeFillsTheIdentityExactlyAndWritesEveryPixelOnce) {
  IxTile t = nanMesh(GeRectangle<int>(-7, 13, -7 + 65, 13 + 33));
  Lattice lat = topLattice(65, 33, 16, -7, 13);
  subdivide(lat, 16, 0, 16);
  subdivide(lat, 16, 0, 8);
  subdivide(lat, 24, 8, 8);
  subdivide(lat, 28, 12, 4);
  subdivide(lat, 28, 12, 2);
  IxWriteGuard g(t);
  fillMesh(lat, g);
  expectFill(g, identityMap, 0);
}

TEST(FillTest, AffineLatticeFillsTheAffineMapAndLeavesConstrainedPixels) {
  IxTile t = nanMesh(GeRectangle<int>(0, 0, 33, 33));
  IxWriteGuard g(t);
  writeMeshPixel(g.getPixelAddress(5, 6), MeshPixel{1000.0f, -1000.0f, CONSTRAINED_BIT | 77u});
  writeMeshPixel(g.getPixelAddress(32, 32), MeshPixel{3.0f, 4.0f, CONSTRAINED_BIT | SMOOTHING_BIT});
  Map const map = [](double x, double y) { return Vec2{1.2 * x - 0.3 * y + 5, 0.4 * x + 0.9 * y - 2}; };
  Lattice lat = topLattice(33, 33, 8, 0, 0, map);
  subdivide(lat, 0, 0, 8, map);  // one refined corner
  fillMesh(lat, g);
  expectFill(g, map, 1e-4);
  MeshPixel const a = readMeshPixel(g.getPixelAddress(5, 6));
  EXPECT_EQ(a.r, 1000.0f);
  EXPECT_EQ(a.g, -1000.0f);
  EXPECT_EQ(a.b, CONSTRAINED_BIT | 77u);
  EXPECT_EQ(readMeshPixel(g.getPixelAddress(32, 32)).r, 3.0f);
}

TEST(FillTest, StepOneCopiesPositionsAndOnePixelWideOrHighRegionsAreLeftAlone) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(-100, 100);
  Lattice lat(5, 6, 2, 3, 1);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 5; ++x) lat.addParm(x, y, u(rng), u(rng));
  IxTile t = nanMesh(GeRectangle<int>(2, 3, 7, 9));
  IxWriteGuard g(t);
  fillMesh(lat, g);
  expectFill(g, [&](double x, double y) { return lat.position(int(x) - 2, int(y) - 3); }, 0);
  // One pixel wide or high: no cells, nothing written.
  for (GeRectangle<int> const region : {GeRectangle<int>(0, 0, 1, 20), GeRectangle<int>(4, 4, 30, 5)}) {
    IxTile thin = nanMesh(region);
    IxWriteGuard tg(thin);
    fillMesh(topLattice(region.getWidth(), region.getHeight(), 1, region.x1(), region.y1()), tg);
    for (int y = region.y1(); y < region.y2(); ++y)
      for (int x = region.x1(); x < region.x2(); ++x) EXPECT_TRUE(std::isnan(readMeshPixel(tg.getPixelAddress(x, y)).r));
  }
}

TEST(FillTest, RandomRefinedLatticeFillIsContinuousAcrossLeaves) {
  // A smooth map sampled at the parameters of a randomly refined lattice:
  // the fill must stay close to the map everywhere (no seams where leaves
  // of different sizes meet) and write finite values only.
  std::mt19937 rng(11);
  Map const map = [](double x, double y) {
    return Vec2{x + 3 * std::sin(x / 20.0) * std::cos(y / 25.0), y + 2 * std::cos(x / 30.0)};
  };
  int const n = 129;
  Lattice lat = topLattice(n, n, 16, 0, 0, map);
  std::uniform_int_distribution<int> pick(0, n - 2);
  for (int k = 0; k < 200; ++k) {
    // Descend from a random top-level cell to a random depth, subdividing.
    int const px = pick(rng), py = pick(rng), depth = 1 + k % 4;
    for (int d = 0, s = 16; d < depth && s > 1; ++d, s /= 2) subdivide(lat, px & ~(s - 1), py & ~(s - 1), s, map);
  }
  IxTile t = nanMesh(GeRectangle<int>(0, 0, n, n));
  IxWriteGuard g(t);
  fillMesh(lat, g);
  double worst = 0;
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) {
      MeshPixel const m = readMeshPixel(g.getPixelAddress(x, y));
      ASSERT_TRUE(std::isfinite(m.r) && std::isfinite(m.g));
      worst = std::max(worst, std::hypot(m.r - map(x, y).x, m.g - map(x, y).y));
      if (x + 1 == n) continue;
      MeshPixel const r = readMeshPixel(g.getPixelAddress(x + 1, y));
      // The map's x step is at most 1 + 3/20 in x and 2/30 in y.
      ASSERT_LT(std::abs(r.r - m.r), 1.3);
      ASSERT_LT(std::abs(r.g - m.g), 0.2);
    }
  EXPECT_LT(worst, 0.25);
}

}  // namespace
