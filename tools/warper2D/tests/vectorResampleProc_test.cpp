// Tests of the vector resampling: ring geometry, the extrapolation fits, the
// direct and scatter paths, folds, bad input and random meshes.
#include "vectorResampleProc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "base/assertions.h"
#include "pluginAPI/pxRequestMgr.h"
#include "primitives/ixPixelFormat.h"

namespace {

using Qx::Warper2D::VectorResampleProc;
using Extrapolator = VectorResampleProc::BoundaryExtrapolator;
using Rect = GeRectangle<int>;
int const kNone = VectorResampleProc::NoExtrapolation, kAffine = VectorResampleProc::AffineExtrapolation,
          kSimilarity = VectorResampleProc::SimilarityExtrapolation;

struct Vec3 {
  float r, g, b;
};
using MeshFn = std::function<std::pair<float, float>(int x, int y)>;

IxTile makeRgbTile(Rect const& region) { return IxTile(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), region); }

IxTile makeMesh(Rect const& region, MeshFn const& f) {
  IxTile tile = makeRgbTile(region);
  IxWriteGuard g(tile);
  for (int y = region.y1(); y < region.y2(); ++y)
    for (int x = region.x1(); x < region.x2(); ++x) {
      float* p = reinterpret_cast<float*>(g.getPixelAddress(x, y));
      std::tie(p[0], p[1]) = f(x, y);
      p[2] = 0.0f;
    }
  return tile;
}

Vec3 at(IxTile const& tile, int x, int y) {
  float const* p = reinterpret_cast<float const*>(IxReadGuard(tile).getPixelAddress(x, y));
  return {p[0], p[1], p[2]};
}

// Calls check(x, y, value) for every pixel of the tile.
void forEachPixel(IxTile const& tile, std::function<void(int, int, Vec3 const&)> const& check) {
  Rect const r = tile.getPixelRegion();
  for (int y = r.y1(); y < r.y2(); ++y)
    for (int x = r.x1(); x < r.x2(); ++x) check(x, y, at(tile, x, y));
}

// A destination tile over `region` resampled through the mesh.
IxTile resampled(Rect const& region, IxTile const& mesh, double positionAmount, double valueAmount, int method) {
  IxTile dst = makeRgbTile(region);
  VectorResampleProc::resample(dst, mesh, positionAmount, valueAmount, method);
  return dst;
}

MeshFn translation(float tx, float ty) {
  return [=](int x, int y) { return std::pair<float, float>(x + tx, y + ty); };
}
MeshFn const identity = translation(0.0f, 0.0f);

// A smooth, fold-free displacement (gradient well below 1).
MeshFn smoothWave(float amp, float period) {
  return [=](int x, int y) {
    double const k = 2.0 * M_PI / period;
    return std::pair<float, float>(static_cast<float>(x + amp * std::sin(k * y + 0.3) * std::cos(0.5 * k * x)),
                                   static_cast<float>(y + amp * std::cos(k * x - 0.2) * std::sin(0.7 * k * y + 1.0)));
  };
}

std::string failureText(std::function<void()> const& f) {
  try {
    f();
  } catch (AssertionFailure const& e) {
    return e.file() + ": " + e.condition();
  }
  return "";
}

// Every pixel holds (x, y, 1) plus (dx, dy).
void expectMovedVectors(IxTile const& dst, float tol, float dx = 0.0f, float dy = 0.0f) {
  forEachPixel(dst, [=](int x, int y, Vec3 const& v) {
    ASSERT_NEAR(v.r, x + dx, tol) << x << "," << y;
    ASSERT_NEAR(v.g, y + dy, tol) << x << "," << y;
    ASSERT_EQ(v.b, 1.0f) << x << "," << y;
  });
}

// ---------------------------------------------------------------------------

TEST(BoundaryGeometryTest, SizesAndIndicesNumberEachPerimeterPixelOnce) {
  EXPECT_EQ(Extrapolator::getBoundarySize(Rect(5, 5, 6, 6)), 1);
  EXPECT_EQ(Extrapolator::getBoundarySize(Rect(0, 0, 3, 2)), 6);
  Rect const r43(10, 20, 14, 23);  // 4 x 3: top row 0..3, middle row 4 and 5, bottom row 6..9
  EXPECT_EQ(Extrapolator::getBoundaryIndex(r43, 12, 20), 2);
  EXPECT_EQ(Extrapolator::getBoundaryIndex(r43, 10, 21), 4);
  EXPECT_EQ(Extrapolator::getBoundaryIndex(r43, 13, 21), 5);
  EXPECT_EQ(Extrapolator::getBoundaryIndex(r43, 13, 22), 9);
  for (int w = 2; w <= 7; ++w)
    for (int h = 2; h <= 7; ++h) {
      Rect const r(-3, 4, -3 + w, 4 + h);
      std::set<int> seen;
      for (int y = r.y1() - 1; y <= r.y2(); ++y)
        for (int x = r.x1() - 1; x <= r.x2(); ++x) {
          bool const perimeter = r.contains(x, y) && (x == r.x1() || y == r.y1() || x == r.x2() - 1 || y == r.y2() - 1);
          ASSERT_EQ(Extrapolator::isOnBoundary(r, x, y), perimeter) << w << "x" << h << " at " << x << "," << y;
          if (perimeter) seen.insert(Extrapolator::getBoundaryIndex(r, x, y));
        }
      ASSERT_EQ(static_cast<int>(seen.size()), Extrapolator::getBoundarySize(r));
      EXPECT_EQ(*seen.rbegin(), Extrapolator::getBoundarySize(r) - 1);
    }
}

// ---------------------------------------------------------------------------

// Grows `rings` rings and checks each ring value against `expected` within tol.
void expectRingsFollow(IxTile const& mesh, int method, int rings, MeshFn const& expected, float tol) {
  Extrapolator ext(mesh, method);
  for (int i = 0; i < rings; ++i) {
    ext.grow();
    Rect const e = ext.getRegion();
    for (int y = e.y1(); y < e.y2(); ++y)
      for (int x = e.x1(); x < e.x2(); ++x) {
        if (!Extrapolator::isOnBoundary(e, x, y)) continue;
        auto const [ex, ey] = expected(x, y);
        auto const v = ext.getRingValue(x, y);
        ASSERT_NEAR(v.u, ex, tol) << "ring " << i << " method " << method << " at " << x << "," << y;
        ASSERT_NEAR(v.v, ey, tol) << "ring " << i << " method " << method << " at " << x << "," << y;
      }
  }
}

TEST(BoundaryExtrapolatorTest, FirstRingsAreTheMeshPerimetersAndGrowOutward) {
  Rect const m(2, -1, 8, 4);
  IxTile const mesh = makeMesh(m, smoothWave(2.0f, 9.0f));
  Extrapolator ext(mesh, kAffine);
  EXPECT_EQ(ext.getInnerRegion(), Rect(3, 0, 7, 3));
  forEachPixel(mesh, [&](int x, int y, Vec3 const& v) {
    if (!Extrapolator::isOnBoundary(m, x, y)) return;
    EXPECT_EQ(ext.getRingValue(x, y).u, v.r);
    EXPECT_EQ(ext.getRingValue(x, y).v, v.g);
  });
  ext.grow();
  EXPECT_EQ(ext.getRegion(), Rect(1, -2, 9, 5));
  EXPECT_EQ(ext.getInnerRegion(), m);
  Extrapolator none(makeMesh(Rect(0, 0, 2, 1), identity), kNone);
  for (int i = 0; i < 3; ++i) none.grow();
  EXPECT_EQ(none.getRegion(), Rect(-3, -3, 5, 4));
}

TEST(BoundaryExtrapolatorTest, FitsContinueTheMapsTheyModelExactlyAndOnlyThose) {
  MeshFn const shifted = translation(2.5f, -1.25f);
  for (int method : {kAffine, kSimilarity}) expectRingsFollow(makeMesh(Rect(-3, 4, 7, 10), shifted), method, 40, shifted, 1e-3f);
  MeshFn const affine = [](int x, int y) { return std::pair(1.2f * x + 0.3f * y + 4.0f, -0.2f * x + 0.9f * y - 3.0f); };
  expectRingsFollow(makeMesh(Rect(10, 20, 22, 29), affine), kAffine, 30, affine, 2e-3f);
  float const c = 1.1f * std::cos(0.4f), s = 1.1f * std::sin(0.4f);
  MeshFn const similarity = [=](int x, int y) { return std::pair(c * x - s * y + 7.0f, s * x + c * y - 2.0f); };
  expectRingsFollow(makeMesh(Rect(-5, -5, 6, 3), similarity), kSimilarity, 30, similarity, 2e-3f);
  // A similarity has no shear, so its continuation must leave a sheared map.
  Extrapolator ext(makeMesh(Rect(0, 0, 9, 9), [](int x, int y) { return std::pair(x + 0.8f * y, float(y)); }), kSimilarity);
  for (int i = 0; i < 5; ++i) ext.grow();
  EXPECT_GT(std::fabs(ext.getRingValue(-5, -5).u - (-5.0f + 0.8f * -5.0f)), 0.5f);
}

// The fits see only offsets from the pixel they extrapolate and the values
// around it, so moving a mesh's region while keeping its values must move
// every ring value unchanged, bit for bit. Run over small rings (read by
// the general perimeter test) and large ones (read by index on the straight
// runs), at origins of either sign.
TEST(BoundaryExtrapolatorTest, RingValuesMoveWithTheMeshRegionBitForBit) {
  std::mt19937 rng(77);
  std::uniform_real_distribution<float> value(-50.0f, 50.0f);
  std::uniform_int_distribution<int> size(3, 40);
  std::uniform_int_distribution<int> origin(-300, 300);
  for (int trial = 0; trial < 60; ++trial) {
    int const w = trial < 8 ? 3 + trial % 4 : size(rng);
    int const h = trial < 8 ? 3 + trial / 4 : size(rng);
    std::vector<std::pair<float, float>> values(static_cast<std::size_t>(w) * h);
    for (auto& v : values) v = {value(rng), value(rng)};
    int const ox = origin(rng), oy = origin(rng);
    auto valuesAt = [&](int x0, int y0) {
      return [&values, w, x0, y0](int x, int y) { return values[static_cast<std::size_t>(y - y0) * w + (x - x0)]; };
    };
    int const method = trial % 2 ? kAffine : kSimilarity;
    Extrapolator home(makeMesh(Rect(0, 0, w, h), valuesAt(0, 0)), method);
    Extrapolator moved(makeMesh(Rect(ox, oy, ox + w, oy + h), valuesAt(ox, oy)), method);
    for (int ring = 0; ring < 6; ++ring) {
      home.grow();
      moved.grow();
      Rect const e = home.getRegion();
      ASSERT_EQ(moved.getRegion(), Rect(e.x1() + ox, e.y1() + oy, e.x2() + ox, e.y2() + oy));
      for (int y = e.y1(); y < e.y2(); ++y)
        for (int x = e.x1(); x < e.x2(); ++x) {
          if (!Extrapolator::isOnBoundary(e, x, y)) continue;
          auto const a = home.getRingValue(x, y);
          auto const b = moved.getRingValue(x + ox, y + oy);
          ASSERT_TRUE(std::isfinite(a.u) && std::isfinite(a.v));
          ASSERT_EQ(a.u, b.u) << w << "x" << h << " ring " << ring << " at " << x << "," << y;
          ASSERT_EQ(a.v, b.v) << w << "x" << h << " ring " << ring << " at " << x << "," << y;
        }
    }
  }
}

TEST(BoundaryExtrapolatorTest, ThinMeshesGrowToFiniteTranslations) {
  for (int w = 1; w <= 6; ++w)
    for (int h = 1; h <= 6; ++h)
      for (int method : {kAffine, kSimilarity}) {
        SCOPED_TRACE(testing::Message() << w << "x" << h << " method " << method);
        expectRingsFollow(makeMesh(Rect(3, -2, 3 + w, -2 + h), translation(-1.5f, 0.75f)), method, 12,
                          translation(-1.5f, 0.75f), 1e-3f);
      }
}

TEST(BoundaryExtrapolatorTest, UnknownMethodFailsTheMethodAssertion) {
  Extrapolator ext(makeMesh(Rect(0, 0, 5, 5), identity), 7);
  EXPECT_EQ(failureText([&] { ext.grow(); }), "vectorResampleProc: _method == VectorResampleProc::AffineExtrapolation");
}

// ---------------------------------------------------------------------------

TEST(ResampleTest, IdentityMeshGivesIdentityInsideAndOutsideOnBothPaths) {
  IxTile const mesh = makeMesh(Rect(0, 0, 12, 9), identity);
  for (int method : {kAffine, kSimilarity}) {
    expectMovedVectors(resampled(Rect(-7, -4, 20, 15), mesh, 0.0, 1.0, method), 1e-4f);   // direct
    expectMovedVectors(resampled(Rect(-6, -5, 24, 20), mesh, 1.0, 0.0, method), 1e-4f);   // scatter
    expectMovedVectors(resampled(Rect(16, -3, 24, 4), mesh, 1.0, 0.0, method), 1e-4f);    // rings alone
  }
  // Value amount 0 on the direct path: exactly the identity, whatever the mesh.
  expectMovedVectors(resampled(Rect(-5, -5, 25, 20), makeMesh(Rect(0, 0, 15, 11), smoothWave(3.0f, 10.0f)), 0.0, 0.0, 1),
                     0.0f);
}

TEST(PathSelectionTest, UnusableAmountsMeanNoMovement) {
  // NaN, infinities and values no float holds count as 0 on both paths:
  // every written pixel samples its own position, never NaN.
  IxTile const mesh = makeMesh(Rect(0, 0, 15, 11), smoothWave(3.0f, 10.0f));
  for (double amount : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e300}) {
    expectMovedVectors(resampled(Rect(-5, -5, 25, 20), mesh, 0.0, amount, 1), 0.0f);
    expectMovedVectors(resampled(Rect(-5, -5, 25, 20), mesh, amount, 0.0, 1), 0.0f);  // position unusable -> direct path
    IxTile const both = makeRgbTile(Rect(0, 0, 15, 11));
    VectorResampleProc::resampleScattered(both, mesh, amount, amount, 1);
    forEachPixel(both, [](int, int, Vec3 const& v) {
      ASSERT_TRUE(std::isfinite(v.r) && std::isfinite(v.g) && std::isfinite(v.b));
    });
  }
}

TEST(PathSelectionTest, PositionAmountThresholdChoosesThePath) {
  IxTile const mesh = makeMesh(Rect(0, 0, 6, 6), identity);
  IxTile const direct = resampled(Rect(-3, -3, 9, 9), mesh, 0.00009, 0.0, kNone);
  IxTile const scatter = resampled(Rect(-3, -3, 9, 9), mesh, 0.0001, 0.0, kNone);
  // Only the direct path writes pixels outside the mesh without rings.
  EXPECT_EQ(at(direct, -3, -3).b, 1.0f);
  EXPECT_EQ(at(scatter, -3, -3).b, 0.0f);
  EXPECT_EQ(at(scatter, 2, 2).b, 1.0f);
}

TEST(DirectPathTest, TranslationIsBlendedEverywhereEvenFarFromTheMesh) {
  IxTile const mesh = makeMesh(Rect(4, 4, 14, 12), translation(3.0f, -2.0f));
  for (double t : {1.0, 0.5})
    // Overlapping the mesh, and entirely outside it (filled by rings alone).
    for (Rect const r : {Rect(-10, 0, 30, 25), Rect(40, -30, 51, -22)})
      expectMovedVectors(resampled(r, mesh, 0.0, t, kAffine), 1e-3f, float(3.0 * t), float(-2.0 * t));
}

TEST(DirectPathTest, TilesAgreeWithTheWholeImageBitForBit) {
  IxTile const mesh = makeMesh(Rect(0, 0, 20, 16), smoothWave(2.0f, 12.0f));
  IxTile const full = resampled(Rect(-9, -6, 31, 27), mesh, 0.0, 0.8, kAffine);
  for (Rect const part : {Rect(-9, -6, 5, 10), Rect(5, 10, 31, 27), Rect(22, -6, 31, 3)})
    forEachPixel(resampled(part, mesh, 0.0, 0.8, kAffine), [&](int x, int y, Vec3 const& v) {
      Vec3 const w = at(full, x, y);
      ASSERT_EQ(v.r, w.r);
      ASSERT_EQ(v.g, w.g);
    });
}

TEST(DirectPathTest, NoExtrapolationBlendsTowardsZeroOutside) {
  IxTile const dst = resampled(Rect(-2, -2, 6, 6), makeMesh(Rect(0, 0, 4, 4), translation(5.0f, 5.0f)), 0.0, 0.25, kNone);
  forEachPixel(dst, [](int x, int y, Vec3 const& v) {
    bool const inside = x >= 0 && x < 4 && y >= 0 && y < 4;
    ASSERT_FLOAT_EQ(v.r, inside ? x + 1.25f : 0.75f * x);
    ASSERT_FLOAT_EQ(v.g, inside ? y + 1.25f : 0.75f * y);
    ASSERT_EQ(v.b, 1.0f);
  });
}

TEST(DirectPathTest, UnusableMeshPositionsReadAsTheirGridPoint) {
  float const nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  IxTile const mesh = makeMesh(Rect(0, 0, 6, 6), [&](int x, int y) {
    // (0, 2) is on the perimeter: it feeds the rings.
    return std::pair(x == 2 && y == 3 ? nan : x + 1.0f, x == 0 && y == 2 ? inf : static_cast<float>(y));
  });
  for (double a : {0.0, 1.0}) {
    IxTile const dst = resampled(Rect(-4, -4, 10, 10), mesh, a, 1.0, kAffine);
    forEachPixel(dst, [](int, int, Vec3 const& v) {
      ASSERT_TRUE(std::isfinite(v.r) && std::isfinite(v.g) && std::isfinite(v.b));
    });
    if (a == 0.0) {
      EXPECT_EQ(at(dst, 2, 3).r, 2.0f);
    }
  }
}

TEST(DirectPathTest, EmptyInvalidOrWrongTilesGiveTheDocumentedResultOrFailClearly) {
  // An empty mesh gives the identity; an empty destination is nothing to do.
  expectMovedVectors(resampled(Rect(0, 0, 5, 4), makeRgbTile(Rect(3, 3, 3, 9)), 0.0, 1.0, kAffine), 0.0f);
  IxTile const mesh = makeMesh(Rect(0, 0, 3, 3), identity);
  EXPECT_NO_THROW(resampled(Rect(0, 0, 0, 0), mesh, 0.0, 1.0, 1));
  EXPECT_NO_THROW(resampled(Rect(0, 0, 0, 0), mesh, 1.0, 0.0, 1));
  for (double a : {0.0, 1.0}) {
    EXPECT_EQ(failureText([&] { VectorResampleProc::resample(IxTile(), mesh, a, 1.0, 1); }), "ixTile: isValid()");
    EXPECT_EQ(failureText([&] { resampled(Rect(0, 0, 3, 3), IxTile(), a, 1.0, 1); }), "ixTile: isValid()");
  }
  IxTile const rgba(IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32), Rect(0, 0, 3, 3));
  EXPECT_THROW(VectorResampleProc::resample(rgba, mesh, 0.0, 1.0, 1), AssertionFailure);
  EXPECT_THROW(resampled(Rect(0, 0, 3, 3), rgba, 1.0, 0.0, 1), AssertionFailure);
}

// ---------------------------------------------------------------------------

TEST(ScatterPathTest, UnitAmountsAgreeWithTheGeneralBlend) {
  // Amounts of exactly 0 and 1 skip the double-precision blend; amounts a
  // hair away from them take it and must round to the same floats (the mesh
  // avoids coordinate 0, where a hair times m would not round away).
  IxTile const mesh = makeMesh(Rect(1, 1, 25, 19), smoothWave(2.5f, 15.0f));
  IxTile const general = resampled(Rect(-4, -4, 28, 22), mesh, 1.0 + 1e-13, 1e-13, 1);
  forEachPixel(resampled(Rect(-4, -4, 28, 22), mesh, 1.0, 0.0, 1), [&](int x, int y, Vec3 const& v) {
    Vec3 const w = at(general, x, y);
    ASSERT_TRUE(v.r == w.r && v.g == w.g && v.b == w.b) << x << "," << y;
  });
}

TEST(ScatterPathTest, TranslationIsInvertedInsideAndOnTheRings) {
  IxTile const mesh = makeMesh(Rect(0, 0, 10, 10), translation(2.5f, -1.25f));
  expectMovedVectors(resampled(Rect(-4, -6, 16, 14), mesh, 1.0, 0.0, kSimilarity), 1e-3f, -2.5f, 1.25f);
  // Moving and carrying the full warp lands every pixel on itself.
  expectMovedVectors(resampled(Rect(-4, -6, 16, 14), mesh, 1.0, 1.0, kAffine), 1e-3f);
}

// The mesh position at a fractional grid point, interpolated over the same
// two triangles per cell that the scatter path draws.
void meshAt(IxTile const& mesh, float qx, float qy, float& mx, float& my) {
  int const c = static_cast<int>(std::floor(qx)), r = static_cast<int>(std::floor(qy));
  float const fx = qx - c, fy = qy - r;
  Vec3 const A = at(mesh, c, r), B = at(mesh, c + 1, r), C = at(mesh, c, r + 1), D = at(mesh, c + 1, r + 1);
  if (fx >= fy) {  // triangle (A, B, D)
    mx = A.r + fx * (B.r - A.r) + fy * (D.r - B.r);
    my = A.g + fx * (B.g - A.g) + fy * (D.g - B.g);
  } else {  // triangle (A, D, C)
    mx = A.r + fx * (D.r - C.r) + fy * (C.r - A.r);
    my = A.g + fx * (D.g - C.g) + fy * (C.g - A.g);
  }
}

TEST(ScatterPathTest, InvertsASmoothWarpWhereTheMovedMeshCoversTheOutput) {
  IxTile const mesh = makeMesh(Rect(0, 0, 64, 48), smoothWave(3.0f, 40.0f));
  int covered = 0;
  forEachPixel(resampled(Rect(-4, -4, 68, 52), mesh, 1.0, 0.0, kNone), [&](int x, int y, Vec3 const& v) {
    if (v.b == 0.0f) return;
    ++covered;
    ASSERT_TRUE(v.r >= 0.0f && v.r <= 63.0f && v.g >= 0.0f && v.g <= 47.0f);
    float mx, my;
    meshAt(mesh, std::min(v.r, 62.999f), std::min(v.g, 46.999f), mx, my);
    ASSERT_NEAR(mx, x, 0.05f) << "at " << x << "," << y;
    ASSERT_NEAR(my, y, 0.05f) << "at " << x << "," << y;
  });
  EXPECT_GT(covered, 60 * 40);
}

TEST(ScatterPathTest, FoldsResolveToTheFirstCellInRowMajorOrderAndWithinACellToABD) {
  // Columns 3..5 fold back over columns 1..3; pixels in the overlap keep the
  // value of the cells met first in row-major order.
  float const later[] = {0, 1, 2, 3, 2, 1};   // fold after the straight part
  float const earlier[] = {4, 3, 2, 3, 4, 5};  // fold before it
  for (float const* columns : {later, earlier}) {
    IxTile const mesh = makeMesh(Rect(0, 0, 6, 3), [&](int x, int y) { return std::pair(columns[x], float(y)); });
    IxTile const dst = resampled(Rect(0, 0, 6, 3), mesh, 1.0, 0.0, kNone);
    if (columns == later) {
      EXPECT_FLOAT_EQ(at(dst, 1, 1).r, 1.0f);  // not 5, the folded cell's value
      EXPECT_FLOAT_EQ(at(dst, 2, 1).r, 2.0f);  // not 4
    } else {
      EXPECT_FLOAT_EQ(at(dst, 3, 1).r, 1.0f);  // the folded cell (0, 1) comes first; cell 2 would give 3
    }
  }
  // D pulled far left and down makes a cell's two triangles overlap. Point
  // (-1, 4) lies in both; on (A, B, D) with A=(0,0), B=(4,0), D=(-4,8):
  // p = A + s (B - A) + t (D - A) gives t = 0.5, s = 0.25 and the carried
  // value (s + t, t) = (0.75, 0.5); on (A, D, C) it would be (0.25, 0.75).
  IxTile const cell = makeMesh(Rect(0, 0, 2, 2), [](int x, int y) {
    float const pos[2][2][2] = {{{0, 0}, {4, 0}}, {{0, 4}, {-4, 8}}};
    return std::pair(pos[y][x][0], pos[y][x][1]);
  });
  Vec3 const v = at(resampled(Rect(-6, -2, 6, 10), cell, 1.0, 0.0, kNone), -1, 4);
  EXPECT_NEAR(v.r, 0.75f, 1e-5f);
  EXPECT_NEAR(v.g, 0.5f, 1e-5f);
}

TEST(ScatterPathTest, NoExtrapolationLeavesUncoveredPixelsZero) {
  IxTile const dst = resampled(Rect(0, 0, 20, 5), makeMesh(Rect(0, 0, 5, 5), translation(10.0f, 0.0f)), 1.0, 0.0, kNone);
  forEachPixel(dst, [](int x, int y, Vec3 const& v) {
    // Half-open spans and rows: column 14 and row 4 are the moved mesh's far edges.
    bool const covered = x >= 10 && x < 14 && y < 4;
    ASSERT_EQ(v.b, covered ? 1.0f : 0.0f) << x << "," << y;
    ASSERT_TRUE(covered || (v.r == 0.0f && v.g == 0.0f));
  });
}

TEST(ScatterPathTest, IdleRingsEndAScatterThatReachesNothing) {
  // Every point collapses onto one spot; the fitted rings collapse too, so
  // no ring ever reaches a pixel. Without the idle stop this would not end.
  IxTile const mesh = makeMesh(Rect(0, 0, 10, 10), [](int, int) { return std::pair(5.3f, 5.3f); });
  forEachPixel(resampled(Rect(-500, -500, 500, 500), mesh, 1.0, 0.0, kAffine),
               [](int, int, Vec3 const& v) { ASSERT_EQ(v.b, 0.0f); });
}

TEST(ScatterPathTest, FillTriangleSpansCoversHalfOpenSpansOnce) {
  using SV = VectorResampleProc::ScatterVertex;
  SV const top{0, 0, 0, 0, 0}, leftEnd{0, 40, 0, 4, 4}, rightEnd{40, 40, 4, 4, 4};
  Rect const region(-2, -2, 8, 8);
  IxTile const dst = makeRgbTile(region);
  IxTile const maskTile(IxPixelFormat(IxPixelFormat::ALPHA, IxPixelFormat::UINT8), region);
  IxWriteGuard d(dst), mask(maskTile);
  int counter = 0;
  VectorResampleProc::fillTriangleSpans(top, leftEnd, top, rightEnd, 0, 4, region, d, mask, counter);
  EXPECT_EQ(counter, 0 + 1 + 2 + 3);  // row y holds columns 0 <= x < y
  EXPECT_FLOAT_EQ(at(dst, 2, 3).r, 20.0f);
  EXPECT_FLOAT_EQ(at(dst, 2, 3).g, 30.0f);
  EXPECT_EQ(at(dst, 3, 3).b, 0.0f);
  VectorResampleProc::fillTriangleSpans(top, leftEnd, top, rightEnd, 0, 4, region, d, mask, counter);
  EXPECT_EQ(counter, 6);  // the mask keeps the first values
}

// ---------------------------------------------------------------------------

TEST(RandomMeshTest, NeverAssertsAndWritesOnlyFiniteValues) {
  std::mt19937 rng(20261206);
  auto uni = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  auto inti = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int trial = 0; trial < 60; ++trial) {
    int const w = trial < 20 ? inti(1, 6) : inti(1, 200);
    int const h = trial < 20 ? inti(1, 6) : inti(1, 200);
    int const mx0 = inti(-50, 50), my0 = inti(-50, 50);
    Rect const meshRegion(mx0, my0, mx0 + w, my0 + h);
    float const amp = static_cast<float>(uni(0.0, 4.0)), period = static_cast<float>(uni(8.0, 80.0));
    IxTile const mesh = makeMesh(meshRegion, smoothWave(amp, period));
    // Destinations that contain, overlap or miss the mesh.
    int const dx1 = meshRegion.x1() + inti(-60, w + 20), dy1 = meshRegion.y1() + inti(-60, h + 20);
    Rect const dr(dx1, dy1, dx1 + inti(1, 120), dy1 + inti(1, 120));
    double const amounts[] = {0.0, 0.00005, 0.3, 1.0, uni(-0.5, 1.5)};
    double const a = amounts[inti(0, 4)];
    double const b = uni(0.0, 1.0);
    int const method = inti(0, 2);
    SCOPED_TRACE(testing::Message() << "trial " << trial << " mesh " << meshRegion << " dst " << dr << " a " << a
                                    << " b " << b << " method " << method);
    IxTile dst;
    ASSERT_NO_THROW(dst = resampled(dr, mesh, a, b, method));
    bool const direct = std::fabs(a) < 0.0001;
    forEachPixel(dst, [&](int, int, Vec3 const& v) {
      ASSERT_TRUE(std::isfinite(v.r) && std::isfinite(v.g));
      ASSERT_TRUE(direct ? v.b == 1.0f : (v.b == 0.0f || v.b == 1.0f));
    });
  }
}

TEST(InterruptionTest, CancelledRequestStopsBothPaths) {
  IxTile const mesh = makeMesh(Rect(0, 0, 30, 30), smoothWave(2.0f, 20.0f));
  auto request = std::make_shared<PxRequest>();
  request->cancel();
  PxRequestScope scope(request.get());
  EXPECT_THROW(resampled(Rect(-5, -5, 40, 40), mesh, 0.0, 1.0, 1), PxInterruptedException);
  EXPECT_THROW(resampled(Rect(-5, -5, 40, 40), mesh, 1.0, 0.0, 1), PxInterruptedException);
}

}  // namespace
