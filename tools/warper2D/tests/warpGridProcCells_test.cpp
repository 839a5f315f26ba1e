// The solver's adaptive lattice and its cell interpolation: leaf search,
// corner-derivative estimates, Hermite patches, child corner data, the fill.
#include <gtest/gtest.h>

#include <cstring>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "primitives/ixTile.h"
#include "warpGridProc.h"
#include "warpGridProcCells.h"
#include "warpTestNodes.h"

namespace {

using namespace Qx::Warper2D;
using namespace Qx::Warper2D::gridsolver;

using Map = std::function<Vec2(double, double)>;
Vec2 identityMap(double x, double y) { return {x, y}; }

// The initial lattice of the solve: a parameter at every multiple of step, on `map`.
Lattice topLattice(int nx, int ny, int step, int ox = 0, int oy = 0, Map const& map = identityMap) {
  Lattice lat(nx, ny, ox, oy, step);
  for (int y = 0; y < ny; y += step)
    for (int x = 0; x < nx; x += step) lat.addParm(x, y, map(ox + x, oy + y).x, map(ox + x, oy + y).y);
  return lat;
}

// Subdivides cell (x, y, s) as refinement does, the new parameters on `map`.
void subdivide(Lattice& lat, int x, int y, int s, Map const& map = identityMap) {
  for (auto [i, j] : {std::pair{1, 0}, {1, 2}, {0, 1}, {2, 1}, {1, 1}}) {
    int const px = x + i * s / 2, py = y + j * s / 2;
    Vec2 const q = map(lat.originX() + px, lat.originY() + py);
    if (!lat.isParm(px, py)) lat.addParm(px, py, q.x, q.y);
  }
}

CornerData estimate(Lattice const& lat, int x, int y) { return estimateCornerData(lat, x, y); }

// A mesh over region whose pixels hold NaN, so that a pixel the fill misses shows.
IxTile nanMesh(GeRectangle<int> const& region) {
  IxTile t(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), region);
  IxWriteGuard g(t);
  for (int y = region.y1(); y < region.y2(); ++y)
    for (int x = region.x1(); x < region.x2(); ++x) writeMeshPixel(g.getPixelAddress(x, y), MeshPixel{NAN, NAN, 0});
  return t;
}

TEST(LatticeTest, LeafCellsAroundCornerBorderInteriorAndHangingPoints) {
  using Cells = std::vector<std::array<int, 3>>;
  auto around = [](Lattice const& lat, int x, int y) {
    LeafCell c[4];
    Cells out;
    for (int i = 0, n = collectLeafCellsAroundPoint(lat, x, y, c); i < n; ++i) out.push_back({c[i].x0, c[i].y0, c[i].x1 - c[i].x0});
    std::sort(out.begin(), out.end());
    return out;
  };
  Lattice lat = topLattice(17, 17, 8);
  EXPECT_EQ(around(lat, 0, 0), (Cells{{0, 0, 8}}));
  EXPECT_EQ(around(lat, 16, 16), (Cells{{8, 8, 8}}));
  EXPECT_EQ(around(lat, 8, 0), (Cells{{0, 0, 8}, {8, 0, 8}}));
  EXPECT_EQ(around(lat, 8, 8), (Cells{{0, 0, 8}, {0, 8, 8}, {8, 0, 8}, {8, 8, 8}}));
  subdivide(lat, 0, 0, 8);
  // (4, 8) is a corner of two children above and lies inside the top edge of the leaf below.
  EXPECT_EQ(around(lat, 4, 8), (Cells{{0, 4, 4}, {0, 8, 8}, {4, 4, 4}}));
  EXPECT_EQ(around(lat, 8, 8), (Cells{{0, 8, 8}, {4, 4, 4}, {8, 0, 8}, {8, 8, 8}}));
  EXPECT_EQ(around(lat, 4, 0), (Cells{{0, 0, 4}, {4, 0, 4}}));
  EXPECT_EQ(around(lat, 4, 4), (Cells{{0, 0, 4}, {0, 4, 4}, {4, 0, 4}, {4, 4, 4}}));
  // Positions survive the growth of their array past its first chunk.
  Lattice big(400, 200, 0, 0, 1);
  for (int i = 0; i < 40000; ++i) big.addParm(i % 400, i / 400, i, -i);
  EXPECT_TRUE(big.position(0, 0).y == 0 && big.position(399, 81).x == 32799 && big.position(399, 99).y == -39999);
}

TEST(CornerDataTest, SmallerCellsWeighMore) {
  // At the hanging point (4, 8) both size-4 cells (weight 1/4) get the y
  // derivative (-1, 1) when the subdivided cell's centre moves 4 px right,
  // the size-8 leaf (weight 1/8) keeps (0, 1): (2/4 (-1, 1) + 1/8 (0, 1)) / (5/8).
  Lattice h = topLattice(17, 17, 8);
  subdivide(h, 0, 0, 8);
  h.positions()[2 * h.parmIndex()[h.index(4, 4)]] += 4;
  CornerData const d = estimate(h, 4, 8);
  EXPECT_TRUE(d.dy.x == -0.8 && d.dy.y == 1.0 && d.dx.x == 1.0) << d.dy.x << " " << d.dy.y << " " << d.dx.x;
}

TEST(HermitePatchTest, ReproducesBicubicPolynomialsWithTheirDerivatives) {
  // f = sum c_ij x^i y^j, i, j <= 3: the patch from exact corner data is f.
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u01(0, 1), coef(-0.01, 0.01);
  for (int trial = 0; trial < 12; ++trial) {
    double c[2][4][4];
    for (auto& k : c)
      for (auto& row : k)
        for (double& v : row) v = coef(rng);
    auto f = [&](double x, double y, int dx, int dy) {
      Vec2 r{0, 0};
      for (int i = dx; i < 4; ++i)
        for (int j = dy; j < 4; ++j) {
          double const m = (dx ? i : 1) * (dy ? j : 1) * std::pow(x, i - dx) * std::pow(y, j - dy);
          r.x += c[0][i][j] * m, r.y += c[1][i][j] * m;
        }
      return r;
    };
    auto corner = [&](double x, double y) { return CornerData{f(x, y, 0, 0), f(x, y, 1, 0), f(x, y, 0, 1), f(x, y, 1, 1)}; };
    int const s = 1 << (trial % 6);
    double const x0 = trial * 3, y0 = -trial;
    CornerData const cd[4] = {corner(x0, y0), corner(x0 + s, y0), corner(x0, y0 + s), corner(x0 + s, y0 + s)};
    for (int k = 0; k < 10; ++k) {
      double const u = u01(rng), v = u01(rng), x = x0 + u * s, y = y0 + v * s;
      CornerData const got = evaluatePatchCornerData(cd, s, u, v), want = corner(x, y);
      double const tol = 1e-9 * (1 + std::abs(want.p.x) + std::abs(want.p.y));
      Vec2 const p = evaluatePatch(cd, s, u, v);
      EXPECT_TRUE(std::abs(p.x - want.p.x) < tol && std::abs(p.y - want.p.y) < tol);
      for (auto m : {&CornerData::p, &CornerData::dx, &CornerData::dy, &CornerData::dxy}) {
        EXPECT_NEAR((got.*m).x, (want.*m).x, tol);
        EXPECT_NEAR((got.*m).y, (want.*m).y, tol);
      }
    }
  }
}

TEST(ChildCornerDataTest, CornersKeepParametersEstimateHangingPointsInterpolate) {
  Lattice lat = topLattice(17, 17, 8);
  subdivide(lat, 0, 0, 8);
  lat.positions()[2 * lat.parmIndex()[lat.index(4, 0)] + 1] += 2;  // the estimate now differs from the patch
  auto cornersOf = [&](int x, int y, int s, CornerData c[4]) {
    c[0] = estimate(lat, x, y), c[1] = estimate(lat, x + s, y), c[2] = estimate(lat, x, y + s), c[3] = estimate(lat, x + s, y + s);
  };
  CornerData c[4], out[9];
  cornersOf(0, 0, 8, c);
  computeChildCornerData(lat, 0, 0, 8, c, out);
  EXPECT_TRUE(out[0].p.x == c[0].p.x && out[8].dx.x == c[3].dx.x);
  EXPECT_TRUE(out[1].p.y == 2.0 && out[1].dx.y == estimate(lat, 4, 0).dx.y);
  // The leaf (8, 0, 8): its centre is the patch's; (8, 4) is a parameter.
  cornersOf(8, 0, 8, c);
  computeChildCornerData(lat, 8, 0, 8, c, out);
  CornerData const centre = evaluatePatchCornerData(c, 8, 0.5, 0.5);
  EXPECT_TRUE(out[4].p.x == centre.p.x && out[4].dxy.y == centre.dxy.y && out[3].p.y == 4.0);
  // A subdivided cell whose edge midpoint is no parameter cannot be.
  Lattice broken = topLattice(17, 17, 8);
  broken.addParm(4, 4, 4, 4);
  cornersOf(0, 0, 8, c);
  EXPECT_EQ(warptest::failedCondition([&] { computeChildCornerData(broken, 0, 0, 8, c, out); }), "warpGridProc: false");
}

// Every unconstrained pixel against map within tol (0: exactly, as floats), pass bits untouched.
void expectFill(IxWriteGuard const& g, Map const& map, double tol) {
  GeRectangle<int> const r = g.getPixelRegion();
  for (int y = r.y1(); y < r.y2(); ++y)
    for (int x = r.x1(); x < r.x2(); ++x) {
      MeshPixel const m = readMeshPixel(g.getPixelAddress(x, y));
      if (m.b & CONSTRAINED_BIT) continue;
      Vec2 const want = map(x, y);
      ASSERT_TRUE(tol == 0 ? m.r == float(want.x) && m.g == float(want.y)
                           : std::abs(m.r - want.x) <= tol && std::abs(m.g - want.y) <= tol) << x << "," << y << ": " << m.r << "," << m.g;
      ASSERT_EQ(m.b, 0u);
    }
}

TEST(FillTest, LinearMapsAreFilledExactlyAndConstrainedPixelsKept) {
  // An identity and an affine lattice, refined in places down to size 1
  // beside coarse leaves: every pixel is written once, to the map.
  Map const affine = [](double x, double y) { return Vec2{1.2 * x - 0.3 * y + 5, 0.4 * x + 0.9 * y - 2}; };
  for (auto const& [map, tol] : {std::pair{Map(identityMap), 0.0}, std::pair{affine, 1e-4}}) {
    IxTile t = nanMesh(GeRectangle<int>(-7, 13, -7 + 65, 13 + 33));
    IxWriteGuard g(t);
    writeMeshPixel(g.getPixelAddress(-2, 19), MeshPixel{1000.0f, -1000.0f, CONSTRAINED_BIT | 77u});
    Lattice lat = topLattice(65, 33, 16, -7, 13, map);
    for (auto [x, y, s] : {std::array{16, 0, 16}, {16, 0, 8}, {24, 8, 8}, {28, 12, 4}, {28, 12, 2}}) subdivide(lat, x, y, s, map);
    fillMesh(lat, g, 1);
    expectFill(g, map, tol);
    MeshPixel const kept = readMeshPixel(g.getPixelAddress(-2, 19));
    EXPECT_TRUE(kept.r == 1000.0f && kept.g == -1000.0f && kept.b == (CONSTRAINED_BIT | 77u));
    // Rows of cells on several threads: the same bytes.
    for (int threads : {2, 3, 0}) {
      IxTile again = nanMesh(t.getPixelRegion());
      IxWriteGuard ag(again);
      writeMeshPixel(ag.getPixelAddress(-2, 19), kept);
      fillMesh(lat, ag, threads);
      for (int y = 13; y < 13 + 33; ++y)
        ASSERT_EQ(std::memcmp(ag.getPixelAddress(-7, y), g.getPixelAddress(-7, y), 65 * sizeof(MeshPixel)), 0) << threads;
    }
  }
  // One pixel wide or high: no cells, and the fill writes nothing.
  IxTile thin = nanMesh(GeRectangle<int>(0, 0, 1, 20));
  IxWriteGuard tg(thin);
  fillMesh(topLattice(1, 20, 1), tg);
  for (int y = 0; y < 20; ++y) EXPECT_TRUE(std::isnan(readMeshPixel(tg.getPixelAddress(0, y)).r));
}

}  // namespace
