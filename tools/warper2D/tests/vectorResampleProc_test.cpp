// Tests of the vector resampling: ring geometry, the extrapolation against a
// direct least-squares fit, both paths on maps with known answers, folds,
// bad input and interruption (random meshes and thread counts: coreFuzz_test).
#include "vectorResampleProc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <random>

#include "base/assertions.h"
#include "pluginAPI/pxRequestMgr.h"
#include "primitives/ixPixelFormat.h"

namespace {

using Qx::Warper2D::VectorResampleProc;
using Extrapolator = VectorResampleProc::BoundaryExtrapolator;
using Rect = GeRectangle<int>;
using Point = std::pair<int, int>;
using V3 = std::array<float, 3>;
using MeshFn = std::function<std::pair<float, float>(int x, int y)>;
int const kNone = 0, kAffine = 1, kSimilarity = 2;

IxTile rgbTile(Rect const& r) { return IxTile(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), r); }

V3 at(IxTile const& tile, int x, int y) {
  float const* p = reinterpret_cast<float const*>(IxReadGuard(tile).getPixelAddress(x, y));
  return {p[0], p[1], p[2]};
}

void forEachPixel(IxTile const& tile, std::function<void(int, int, V3 const&)> const& f) {
  Rect const r = tile.getPixelRegion();
  for (int y = r.y1(); y < r.y2(); ++y)
    for (int x = r.x1(); x < r.x2(); ++x) f(x, y, at(tile, x, y));
}

IxTile makeMesh(Rect const& region, MeshFn const& f) {
  IxTile tile = rgbTile(region);
  IxWriteGuard g(tile);
  forEachPixel(tile, [&](int x, int y, V3 const&) {
    float* p = reinterpret_cast<float*>(g.getPixelAddress(x, y));
    std::tie(p[0], p[1]) = f(x, y);
  });
  return tile;
}

IxTile resampled(Rect const& region, IxTile const& mesh, double a, double b, int method, int threads = 1) {
  IxTile const dst = rgbTile(region);
  return VectorResampleProc::resample(dst, mesh, a, b, method, threads), dst;
}

MeshFn linear(float ax, float bx, float ay, float by, float tx, float ty) {
  return [=](int x, int y) { return std::pair(ax * x + bx * y + tx, ay * x + by * y + ty); };
}
MeshFn translation(float tx, float ty) { return linear(1, 0, 0, 1, tx, ty); }
float const kCos = 1.1f * std::cos(0.4f), kSin = 1.1f * std::sin(0.4f);
MeshFn const identity = translation(0, 0), affine = linear(1.2f, 0.3f, -0.2f, 0.9f, 4, -3),
             similarity = linear(kCos, -kSin, kSin, kCos, 7, -2);

MeshFn smoothWave(float amp, float period) {  // fold-free for amp well below period / 6
  double const k = 2.0 * M_PI / period;
  return [=](int x, int y) {
    return std::pair(float(x + amp * std::sin(k * y + 0.3) * std::cos(0.5 * k * x)),
                     float(y + amp * std::cos(k * x - 0.2) * std::sin(0.7 * k * y + 1.0)));
  };
}

std::string failureText(std::function<void()> const& f) try {
  return f(), "";
} catch (AssertionFailure const& e) {
  return e.file() + ": " + e.condition();
}

// Top row, middle rows left before right, bottom row (values checked below).
TEST(BoundaryGeometryTest, RingPixelsAreNumberedRowByRow) {
  Rect const r43(10, 20, 14, 23);
  EXPECT_EQ(Extrapolator::getBoundaryIndex(r43, 12, 20), 2);
  EXPECT_EQ(Extrapolator::getBoundaryIndex(r43, 10, 21), 4);
  EXPECT_EQ(Extrapolator::getBoundaryIndex(r43, 13, 21), 5);
  EXPECT_EQ(Extrapolator::getBoundaryIndex(r43, 13, 22), 9);
  EXPECT_TRUE(Extrapolator::getBoundarySize(r43) == 10 && Extrapolator::getBoundarySize(Rect(5, 5, 6, 6)) == 1);
  EXPECT_TRUE(Extrapolator::isOnBoundary(r43, 13, 22) && !Extrapolator::isOnBoundary(r43, 12, 21) &&
              !Extrapolator::isOnBoundary(r43, 14, 21) && !Extrapolator::isOnBoundary(r43, 12, 23));
}

// The least-squares fit around step k of the walk along a new ring n (top
// row rightward from a warm-up step, then clockwise), directly: each known
// pixel weighs the times it entered the window (the column two steps ahead,
// three deep inward) less the times it left (three steps behind).
struct Model {
  double u, v, ux, uy, vx, vy;
};
using Known = std::map<Point, std::pair<double, double>>;

Point walk(Rect const& n, int k) {
  int const W = n.getWidth(), H = n.getHeight();
  if (k < 0) return {n.x1() - 2, n.y1()};
  if (k <= W) return {n.x1() + k - 1, n.y1()};
  if (k <= W + H - 2) return {n.x2() - 1, n.y1() + k - W};
  if (k <= 2 * W + H - 2) return {n.x2() + W + H - 2 - k, n.y2() - 1};
  return {n.x1(), n.y2() + 2 * W + H - 3 - k};
}

Model referenceFit(Known const& known, Rect const& n, int k, bool similarity) {
  std::map<Point, int> weight;
  for (int i = 0; i <= k; ++i) {
    auto const [px, py] = walk(n, i);
    int const dx = px - walk(n, i - 1).first, dy = py - walk(n, i - 1).second;
    for (int m : {-3, 2})
      for (int j = 0; j < 3; ++j) weight[{px + m * dx - j * dy, py + m * dy + j * dx}] += m > 0 ? 1 : -1;
  }
  // Normal equations in (uP, ux, uy, vP, vx, vy), or (uP, vP, alpha, beta).
  int const size = similarity ? 4 : 6;
  double A[6][7] = {};
  for (auto const& [q, w] : weight) {
    auto const it = known.find(q);
    double const dx = q.first - walk(n, k).first, dy = q.second - walk(n, k).second;
    double const rows[4][6] = {{1, dx, dy, 0, 0, 0}, {0, 0, 0, 1, dx, dy}, {1, 0, dx, -dy}, {0, 1, dy, dx}};
    for (int e = 0; e < 2 && it != known.end(); ++e)
      for (int r = 0; r < size; ++r) {
        double const* row = rows[e + (similarity ? 2 : 0)];
        for (int c = 0; c < size; ++c) A[r][c] += w * row[r] * row[c];
        A[r][size] += w * row[r] * (e ? it->second.second : it->second.first);
      }
  }
  for (int c = 0; c < size; ++c)  // Gauss-Jordan elimination (the matrix is positive definite)
    for (int r = 0; r < size; ++r)
      for (int cc = size; r != c && cc >= c; --cc) A[r][cc] -= A[r][c] / A[c][c] * A[c][cc];
  double s[6];
  for (int r = 0; r < size; ++r) s[r] = A[r][size] / A[r][r];
  return similarity ? Model{s[0], s[1], s[2], -s[3], s[3], s[2]} : Model{s[0], s[3], s[1], s[2], s[4], s[5]};
}

// Random data no model holds, meshes two pixels thin and far from the
// origin: affine rings fit the two rings inside them; the similarity fits its
// first ring and continues each pixel beyond by its nearest model there.
TEST(BoundaryExtrapolatorTest, RingsAreTheLeastSquaresFitsOfTheirWindows) {
  std::mt19937 rng(77);
  std::uniform_real_distribution<float> value(-50.0f, 50.0f);
  for (Rect const m : {Rect(-3, 7, 2, 11), Rect(20000, -15000, 20009, -14992), Rect(0, 0, 2, 6), Rect(4, 4, 11, 6),
                       Rect(1, 1, 3, 3)})
    for (int method : {kAffine, kSimilarity}) {
      SCOPED_TRACE(testing::Message() << m << " method " << method);
      Known known;
      Extrapolator ext(makeMesh(m, [&](int x, int y) { return known[{x, y}] = {value(rng), value(rng)}; }), method);
      Rect const first(m.x1() - 1, m.y1() - 1, m.x2() + 1, m.y2() + 1);
      std::map<Point, Model> models;
      for (int ring = 1; ring <= 3; ++ring) {
        Rect const n = ext.getRegion();
        ext.grow();
        Rect const e(n.x1() - 1, n.y1() - 1, n.x2() + 1, n.y2() + 1);
        Known next;  // the rings the next one is fitted to
        for (int k = 1; k <= Extrapolator::getBoundarySize(e); ++k) {
          auto const [x, y] = walk(e, k);
          if (method == kAffine || ring == 1) models[{x, y}] = referenceFit(known, e, k, method == kSimilarity);
          int const ax = std::clamp(x, first.x1(), first.x2() - 1), ay = std::clamp(y, first.y1(), first.y2() - 1);
          Model const& a = models[method == kAffine ? Point(x, y) : Point(ax, ay)];
          int const dx = method == kAffine ? 0 : x - ax, dy = method == kAffine ? 0 : y - ay;
          ASSERT_NEAR(ext.getRingValue(x, y).u, a.u + a.ux * dx + a.uy * dy, 2e-3) << ring << ": " << x << "," << y;
          ASSERT_NEAR(ext.getRingValue(x, y).v, a.v + a.vx * dx + a.vy * dy, 2e-3) << ring << ": " << x << "," << y;
          next[{x, y}] = {ext.getRingValue(x, y).u, ext.getRingValue(x, y).v};
        }
        for (int k = 1; k <= Extrapolator::getBoundarySize(n); ++k) next[walk(n, k)] = known[walk(n, k)];
        known = next;
      }
    }
}

// Past the fitted rings (65 on), two pixels thin (one: translation); no shear.
TEST(BoundaryExtrapolatorTest, FitsContinueTheMapsTheyModelExactlyAndOnlyThose) {
  struct Case { Rect mesh; MeshFn map; int method, rings; };
  std::vector<Case> cases = {{Rect(10, 20, 22, 29), affine, kAffine, 70},      {Rect(3, -2, 5, 8), affine, kAffine, 8},
                             {Rect(3, -2, 12, 0), affine, kAffine, 8},         {Rect(0, 0, 2, 2), affine, kAffine, 8},
                             {Rect(-5, -5, 6, 3), similarity, kSimilarity, 30}, {Rect(0, 0, 2, 7), similarity, 2, 8}};
  for (int size = 0; size < 18; ++size)
    cases.push_back({Rect(3, -2, 4 + size % 3, size / 3 % 3 - 1), translation(-1.5f, 0.75f), 1 + size / 9, 12});
  for (Case const& c : cases) {
    Extrapolator ext(makeMesh(c.mesh, c.map), c.method);
    for (int ring = 1; ring <= c.rings; ++ring) {
      ext.grow();
      for (int k = 1; k <= Extrapolator::getBoundarySize(ext.getRegion()); ++k) {
        auto const [x, y] = walk(ext.getRegion(), k);
        auto const [u, v] = ext.getRingValue(x, y);
        ASSERT_TRUE(std::fabs(u - c.map(x, y).first) < 2e-3 && std::fabs(v - c.map(x, y).second) < 2e-3)
            << c.mesh << " ring " << ring << " at " << x << "," << y << ": " << u << "," << v;
      }
    }
  }
  Extrapolator ext(makeMesh(Rect(0, 0, 9, 9), linear(1, 0.8f, 0, 1, 0, 0)), kSimilarity);
  for (int i = 0; i < 5; ++i) ext.grow();
  EXPECT_GT(std::fabs(ext.getRingValue(-5, -5).u - (-5.0f + 0.8f * -5.0f)), 0.5f);
}

// A stretch errs by less than the distance, finite even blended past 1.
TEST(BoundaryExtrapolatorTest, SimilarityContinuationStaysBoundedOnAStretch) {
  IxTile const mesh = makeMesh(Rect(0, 0, 10, 10), linear(2, 0, 0, 1, 0, 0));
  for (int x : {59, 409}) {
    V3 const v = at(resampled(Rect(0, 0, 420, 12), mesh, 0.0, 1.0, kSimilarity), x, 5);
    EXPECT_TRUE(std::fabs(v[0] - 2.0f * x) < x - 9.0f && std::fabs(v[1] - 5.0f) < 1e-3f) << v[0] << "," << v[1];
  }
  forEachPixel(resampled(Rect(0, 0, 420, 12), mesh, 0.0, 1.65, kSimilarity),
               [](int, int, V3 const& v) { ASSERT_TRUE(std::isfinite(v[0]) && std::isfinite(v[1])); });
}

// The direct path blends by b, the scatter path inverts; 2e9 pixels away (no
// ring walk reaches) within float rounding times the distance; tiles agree.
TEST(ResampleTest, MapsWithKnownVectorsOnBothPaths) {
  IxTile const shifted = makeMesh(Rect(4, 4, 14, 12), translation(3, -2)), plain = makeMesh(Rect(0, 0, 12, 9), identity);
  IxTile const wave = makeMesh(Rect(0, 0, 15, 11), smoothWave(3, 10)), tilted = makeMesh(Rect(0, 0, 10, 10), affine);
  MeshFn const towardZero = [](int x, int y) { return x < 4 || y < 4 ? std::pair(0.75f * x, 0.75f * y) : std::pair(x + 0.75f, y - 0.5f); };
  struct Case { IxTile const& mesh; Rect dst; double a, b; int method; MeshFn expected; } const cases[] = {
      {plain, Rect(-7, -4, 20, 15), 0, 1, kAffine, identity},    {plain, Rect(-6, -5, 24, 20), 1, 0, kAffine, identity},
      {plain, Rect(16, -3, 24, 4), 1, 0, kSimilarity, identity}, {wave, Rect(-5, -5, 25, 20), 0, 0, kAffine, identity},
      {shifted, Rect(-10, 0, 30, 25), 0, 1, kAffine, translation(3, -2)},
      {shifted, Rect(40, -30, 51, -22), 0, 0.5, kSimilarity, translation(1.5f, -1)},
      {shifted, Rect(-4, -6, 16, 14), 1, 0, kSimilarity, translation(-3, 2)},
      {shifted, Rect(-4, -6, 16, 14), 1, 1, kAffine, identity},  {shifted, Rect(0, 2, 8, 10), 0, 0.25, kNone, towardZero},
      {tilted, Rect(16000, 0, 16004, 4), 0, 1, kAffine, affine}, {tilted, Rect(2e9, -7, 2e9 + 4, -3), 0, 1, kAffine, affine}};
  for (Case const& c : cases)
    forEachPixel(resampled(c.dst, c.mesh, c.a, c.b, c.method), [&](int x, int y, V3 const& v) {
      auto const [ex, ey] = c.expected(x, y);
      ASSERT_TRUE(std::fabs(v[0] - ex) + std::fabs(v[1] - ey) < 1e-5 * std::fabs(ex) + 2e-3 && v[2] == 1.0f)
          << c.dst << " at " << x << "," << y << ": " << v[0] << "," << v[1];
    });
  EXPECT_EQ(at(resampled(Rect(-3, -3, 9, 9), plain, 0.00009, 0.0, kNone), -3, -3)[2], 1.0f);
  EXPECT_EQ(at(resampled(Rect(-3, -3, 9, 9), plain, 0.0001, 0.0, kNone), -3, -3)[2], 0.0f);
  IxTile const full = resampled(Rect(-90, -76, 110, 97), wave, 0.0, 0.8, kAffine);  // in and past the fitted rings
  for (Rect const part : {Rect(-9, -6, 5, 10), Rect(5, 10, 31, 27), Rect(-90, -76, -60, -50), Rect(70, 60, 110, 97)})
    forEachPixel(resampled(part, wave, 0.0, 0.8, kAffine), [&](int x, int y, V3 const& v) {
      ASSERT_TRUE(v == at(full, x, y)) << x << "," << y;
    });
}

// Unusable amounts count as 0, positions as the grid point; invalid input asserts.
TEST(ResampleTest, BadInputGivesTheDocumentedResultOrFailsClearly) {
  IxTile const wave = makeMesh(Rect(0, 0, 15, 11), smoothWave(3.0f, 10.0f));
  for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e300})
    for (auto [a, b] : {std::pair(0.0, bad), std::pair(bad, 0.0), std::pair(bad, bad)})
      forEachPixel(resampled(Rect(-5, -5, 25, 20), wave, a, b, kAffine), [&](int x, int y, V3 const& v) {
        ASSERT_TRUE(a == a ? v[0] == x && v[1] == y : std::isfinite(v[0]) && std::isfinite(v[1])) << x << "," << y;
      });
  // A finite amount that carries the vectors past the float range: held at its end, never infinite.
  forEachPixel(resampled(Rect(-5, -5, 25, 20), wave, 0.0, 3e38, kAffine),
               [](int, int, V3 const& v) { ASSERT_TRUE(std::isfinite(v[0]) && std::isfinite(v[1])); });
  // Two billion pixels out floats lie 128 pixels apart, and the tile's own edges have none: spans stay inside it.
  IxTile const far = makeMesh(Rect(-1999999961, 1000000032, -1999999932, 1000000052), identity);
  for (double a : {1.0, 0.5})
    forEachPixel(resampled(Rect(-1999999952, 1000000027, -1999999916, 1000000100), far, a, 0.0, kAffine),
                 [](int, int, V3 const& v) { ASSERT_TRUE(std::isfinite(v[0]) && std::isfinite(v[1])); });
  IxTile const holes = makeMesh(Rect(0, 0, 6, 6), [&](int x, int y) {  // (0, 2) on the perimeter feeds the rings
    return std::pair(x == 2 && y == 3 ? std::nanf("") : x + 1.0f, x == 0 && y == 2 ? HUGE_VALF : float(y));
  });
  for (double a : {0.0, 1.0})
    forEachPixel(resampled(Rect(-4, -4, 10, 10), holes, a, 1.0, kAffine), [&](int x, int y, V3 const& v) {
      ASSERT_TRUE(std::isfinite(v[0]) && std::isfinite(v[1]) && (a != 0.0 || x != 2 || y != 3 || v[0] == 2.0f));
    });
  forEachPixel(resampled(Rect(0, 0, 5, 4), rgbTile(Rect(3, 3, 3, 9)), 0.0, 1.0, kAffine),
               [](int x, int y, V3 const& v) { ASSERT_TRUE(v == V3({float(x), float(y), 1.0f})); });
  IxTile const mesh = makeMesh(Rect(0, 0, 5, 5), identity);
  IxTile const rgba(IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32), Rect(0, 0, 3, 3));
  for (double a : {0.0, 1.0}) {
    EXPECT_NO_THROW(resampled(Rect(0, 0, 0, 0), mesh, a, 1.0, 1));
    for (auto [d, m] : {std::pair(IxTile(), mesh), std::pair(rgbTile(Rect(0, 0, 3, 3)), IxTile())})
      EXPECT_EQ(failureText([&] { VectorResampleProc::resample(d, m, a, 1.0, 1); }), "ixTile: isValid()");
    for (auto [d, m] : {std::pair(rgba, mesh), std::pair(rgbTile(Rect(0, 0, 3, 3)), rgba)})
      EXPECT_THROW(VectorResampleProc::resample(d, m, a, 1.0, 1), AssertionFailure);
  }
  Extrapolator unknown(mesh, 7);
  EXPECT_EQ(failureText([&] { unknown.grow(); }), "vectorResampleProc: _method == VectorResampleProc::AffineExtrapolation");
}

// Cells crossed by one row, two, or more: covered pixels sample the mesh's inverse.
TEST(ScatterPathTest, InvertsSmoothWarpsWhereTheMovedMeshCoversTheOutput) {
  for (MeshFn const& f : {smoothWave(3.0f, 40.0f), linear(1.36f, -1.02f, 1.02f, 1.36f, 40, -10)}) {
    IxTile const mesh = makeMesh(Rect(0, 0, 64, 48), f);
    int covered = 0;
    forEachPixel(resampled(Rect(-4, -4, 68, 52), mesh, 1.0, 0.0, kNone), [&](int x, int y, V3 const& v) {
      if (v[2] == 0.0f) return;
      ASSERT_TRUE(v[0] >= 0.0f && v[0] <= 63.0f && v[1] >= 0.0f && v[1] <= 47.0f && ++covered);
      int const c = std::min(static_cast<int>(v[0]), 62), r = std::min(static_cast<int>(v[1]), 46);
      float const fx = v[0] - c, fy = v[1] - r, sx = std::max(fx, fy), sy = std::min(fx, fy);
      V3 const A = at(mesh, c, r), D = at(mesh, c + 1, r + 1), side = at(mesh, c + (fx >= fy), r + (fx < fy));
      for (int i = 0; i < 2; ++i)
        ASSERT_NEAR(A[i] + sx * (side[i] - A[i]) + sy * (D[i] - side[i]), i ? y : x, 0.05f) << x << "," << y;
    });
    EXPECT_GT(covered, 1500);
  }
}

TEST(ScatterPathTest, FoldsResolveToTheFirstCellInRowMajorOrderAndWithinACellToABD) {
  // Columns folding back after or before the straight part: the first cells win.
  float const columns[2][6] = {{0, 1, 2, 3, 2, 1}, {4, 3, 2, 3, 4, 5}};
  for (int k = 0; k < 2; ++k) {
    auto const fold = [&](int x, int y) { return std::pair(columns[k][x], float(y)); };
    EXPECT_EQ(at(resampled(Rect(0, 0, 6, 3), makeMesh(Rect(0, 0, 6, 3), fold), 1, 0, kNone), 1 + 2 * k, 1)[0], 1.0f);
  }
  // (-1, 4) lies in both triangles: (0.75, 0.5) on (A, B, D), (0.25, 0.75) on (A, D, C).
  float const pos[2][2][2] = {{{0, 0}, {4, 0}}, {{0, 4}, {-4, 8}}};
  IxTile const cell = makeMesh(Rect(0, 0, 2, 2), [&](int x, int y) { return std::pair(pos[y][x][0], pos[y][x][1]); });
  V3 const v = at(resampled(Rect(-6, -2, 6, 10), cell, 1.0, 0.0, kNone), -1, 4);
  EXPECT_TRUE(std::fabs(v[0] - 0.75f) < 1e-5f && std::fabs(v[1] - 0.5f) < 1e-5f) << v[0] << "," << v[1];
}

// Half-open spans leave column 14, row 4 empty; ten idle rings end a search,
// and so do 2 (W + H) + 10 rings that keep creeping outward.
TEST(ScatterPathTest, UncoveredPixelsStayZeroWithoutRingsOrWhenRingsReachNothing) {
  forEachPixel(resampled(Rect(0, 0, 20, 5), makeMesh(Rect(0, 0, 5, 5), translation(10, 0)), 1, 0, kNone),
               [](int x, int y, V3 const& v) { ASSERT_TRUE(x >= 10 && x < 14 && y < 4 ? v[2] == 1 : v == V3{}) << x << y; });
  IxTile const point = makeMesh(Rect(0, 0, 10, 10), [](int, int) { return std::pair(5.3f, 5.3f); });
  forEachPixel(resampled(Rect(-500, -500, 500, 500), point, 1.0, 0.0, kAffine),
               [](int, int, V3 const& v) { ASSERT_EQ(v[2], 0.0f); });
  // Shrunk tenfold about (8.37, 8.61), drawn inverted: ring k lies 0.1 (8 + k) out, so 522 rings reach
  // about 53 pixels out, short of this 128 x 128 destination's corners.
  IxTile const shrunk = makeMesh(Rect(0, 0, 16, 16), linear(0.1f, 0, 0, 0.1f, 0.9f * 8.37f, 0.9f * 8.61f));
  forEachPixel(resampled(Rect(-56, -56, 72, 72), shrunk, 1.0, 0.0, kAffine), [](int x, int y, V3 const& v) {
    double const out = std::max(std::fabs(x - 8.37), std::fabs(y - 8.61));
    if (out < 50 || out > 56) { ASSERT_EQ(v[2], out < 50 ? 1.0f : 0.0f) << x << "," << y; }
  });
}

TEST(ScatterPathTest, FillTriangleSpansCoversHalfOpenSpansOnce) {
  VectorResampleProc::ScatterVertex const top{0, 0, 0, 0, 0}, leftEnd{0, 40, 0, 4, 4}, rightEnd{40, 40, 4, 4, 4};
  Rect const r(-2, -2, 8, 8);
  IxTile const dst = rgbTile(r), maskTile(IxPixelFormat(IxPixelFormat::ALPHA, IxPixelFormat::UINT8), r);
  IxWriteGuard d(dst), mask(maskTile);
  int counter = 0;
  for (int pass = 0; pass < 2; ++pass) VectorResampleProc::fillTriangleSpans(top, leftEnd, top, rightEnd, 0, 4, r, d, mask, counter);
  EXPECT_EQ(counter, 0 + 1 + 2 + 3);  // row y holds columns 0 <= x < y, each written once
  EXPECT_TRUE(at(dst, 2, 3) == V3({20, 30, 1}) && at(dst, 3, 3)[2] == 0.0f);
}

TEST(InterruptionTest, CancelledRequestStopsBothPathsOnEveryThread) {
  IxTile const mesh = makeMesh(Rect(0, 0, 30, 100), smoothWave(2.0f, 20.0f));
  auto request = std::make_shared<PxRequest>();
  request->cancel();
  PxRequestScope scope(request.get());
  for (int run = 0; run < 4; ++run)  // direct and scatter, one thread and two
    EXPECT_THROW(resampled(Rect(-5, -5, 40, 105), mesh, run % 2, 1 - run % 2, 1, 1 + run / 2), PxInterruptedException);
}

}  // namespace
