// The smooth grid solve through its public operation: exact answers where the
// energy has a zero, invariants of the filled mesh, the argument rules, the
// work budget, robustness on random input, threads and interruption.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "base/assertions.h"
#include "pluginAPI/pxRequestMgr.h"
#include "primitives/ixTile.h"
#include "warpGridProc.h"
#include "warpGridProcSolve.h"

namespace {

using namespace Qx::Warper2D;
using Rect = GeRectangle<int>;
using Target = std::pair<double, double>;
using Map = std::function<Target(double, double)>;

IxTile makeMesh(Rect const& region) { return IxTile(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), region); }

MeshPixel pixelAt(IxTile const& t, int x, int y) { return readMeshPixel(IxReadGuard(t).getPixelAddress(x, y)); }

void constrain(IxTile& t, int x, int y, double tx, double ty, bool smoothing = true) {
  IxWriteGuard g(t);
  writeMeshPixel(g.getPixelAddress(x, y),
                 MeshPixel{static_cast<float>(tx), static_cast<float>(ty), CONSTRAINED_BIT | (smoothing ? SMOOTHING_BIT : 0u)});
}

void setBits(IxTile& t, int x, int y, std::uint32_t bits) { writeMeshBits(IxWriteGuard(t).getPixelAddress(x, y), bits); }

// The solver arguments, with a generous budget unless a test says otherwise.
struct Args {
  double magnetWeight = 0.0;
  bool affine = false;
  int minStep = 1;
  int passWork = 20000;
  int cycleWork = 2000;
  double tolX = 1e-10;
  double tolE = 1e-20;
  double refineThreshold = 0.05;
};

// Solves; returns firstStep.
int solve(IxTile& t, Args const& a, gridsolver::SolveStats* stats = nullptr) {
  IxWriteGuard g(t);
  int cycleWork = a.cycleWork, firstStep = -1;
  if (stats)
    gridsolver::createSmoothGridMeasured(g, a.magnetWeight, a.affine, a.minStep, a.passWork, 1, &cycleWork, a.tolX,
                                         a.tolE, a.refineThreshold, &firstStep, stats);
  else
    WarpGridProc::createSmoothGrid(g, a.magnetWeight, a.affine, a.minStep, a.passWork, 1, &cycleWork, a.tolX, a.tolE,
                                   a.refineThreshold, &firstStep);
  return firstStep;
}

gridsolver::SolveStats solveStats(IxTile& t, Args const& a) {
  gridsolver::SolveStats s;
  solve(t, a, &s);
  return s;
}

// Expects the solve to fail the named assertion of the solver's file.
void expectAssertion(IxTile t, Args const& a, std::string const& condition) {
  try {
    solve(t, a);
    ADD_FAILURE() << "no assertion for " << condition;
  } catch (AssertionFailure const& e) {
    EXPECT_EQ(e.condition(), condition);
    EXPECT_EQ(e.file(), "warpGridProc");
  }
}

// Constrains the pixels of a one-pixel ring (radius r around (cx, cy)) to map(pixel).
void constrainRing(IxTile& t, double cx, double cy, double r, Map const& map, bool smoothing = true) {
  Rect const reg = t.getPixelRegion();
  for (int y = reg.y1(); y < reg.y2(); ++y)
    for (int x = reg.x1(); x < reg.x2(); ++x)
      if (std::abs(std::hypot(x - cx, y - cy) - r) <= 0.5) {
        auto const [tx, ty] = map(x, y);
        constrain(t, x, y, tx, ty, smoothing);
      }
}

// Largest distance between each pixel's value and map(pixel); NaN wins.
double maxError(IxTile const& t, Map const& map) {
  Rect const reg = t.getPixelRegion();
  double worst = 0;
  for (int y = reg.y1(); y < reg.y2(); ++y)
    for (int x = reg.x1(); x < reg.x2(); ++x) {
      MeshPixel const m = pixelAt(t, x, y);
      auto const [tx, ty] = map(x, y);
      double const e = std::hypot(m.r - tx, m.g - ty);
      if (!(e <= worst)) worst = e;
    }
  return worst;
}

std::vector<std::byte> meshBytes(IxTile const& t) {
  IxReadGuard g(t);
  Rect const r = t.getPixelRegion();
  std::vector<std::byte> out;
  for (int y = r.y1(); y < r.y2(); ++y) {
    std::byte const* p = g.getPixelAddress(r.x1(), y);
    out.insert(out.end(), p, p + 12 * r.getWidth());
  }
  return out;
}

Map shift(double dx, double dy) {
  return [=](double x, double y) { return Target{x + dx, y + dy}; };
}

// Rotation by angle and uniform scale about (cx, cy), then a move by (dx, dy).
Map similarity(double angle, double scale, double cx, double cy, double dx, double dy) {
  double const c = scale * std::cos(angle), s = scale * std::sin(angle);
  return [=](double x, double y) { return Target{cx + dx + c * (x - cx) - s * (y - cy), cy + dy + s * (x - cx) + c * (y - cy)}; };
}

std::string modelName(::testing::TestParamInfo<bool> const& info) { return info.param ? "Affine" : "Similarity"; }

// ---- The identity ----------------------------------------------------------

TEST(SmoothGridIdentityTest, ClearedMeshFillsToTheIdentityAndThinRegionsAreLeftUntouched) {
  for (Rect const r : {Rect(0, 0, 2, 2), Rect(0, 0, 9, 9), Rect(-20, 7, 85, 64), Rect(3, 3, 40, 12), Rect(0, 0, 10, 10)}) {
    IxTile t = makeMesh(r);
    gridsolver::SolveStats const stats = solveStats(t, Args{});
    EXPECT_EQ(stats.passes, 0);
    EXPECT_EQ(stats.iterations, 0u);
    EXPECT_EQ(maxError(t, shift(0, 0)), 0.0) << r;
    for (int y = r.y1(); y < r.y2(); ++y)
      for (int x = r.x1(); x < r.x2(); ++x) ASSERT_EQ(pixelAt(t, x, y).b, 0u);
  }
  // One pixel wide or high: nothing is written, constrained or not.
  for (Rect const r : {Rect(5, 0, 6, 30), Rect(0, 9, 40, 10), Rect(2, 2, 3, 3)}) {
    IxTile t = makeMesh(r);
    for (int y = r.y1(); y < r.y2(); ++y)
      for (int x = r.x1(); x < r.x2(); ++x) writeMeshPixel(IxWriteGuard(t).getPixelAddress(x, y), MeshPixel{-3.5f, 99.0f, 0u});
    constrain(t, r.x1(), r.y1(), 100, 200);
    std::vector<std::byte> const before = meshBytes(t);
    solve(t, Args{});
    EXPECT_EQ(meshBytes(t), before) << r;
  }
}

// ---- Exactness where the energy has a zero ----------------------------------

class SmoothGridExactTest : public ::testing::TestWithParam<bool> {};

TEST_P(SmoothGridExactTest, TranslationIsReproducedEverywhereWithAndWithoutRefinement) {
  Map const move = shift(3.25, -1.5);
  for (int minStep : {1, 64}) {
    IxTile t = makeMesh(WarpGridProc::computeCorrespondenceImageRegion(Rect(10, -4, 80, 56)));
    constrainRing(t, 45, 26, 14, move);
    constrain(t, 12, -2, 12 + 3.25, -2 - 1.5);
    solve(t, Args{.affine = GetParam(), .minStep = minStep});
    EXPECT_LT(maxError(t, move), 0.01) << "minStep " << minStep;
  }
}

TEST_P(SmoothGridExactTest, RotationScaleAndAffineShearWithRefinementToSizeOne) {
  struct Case {
    char const* name;
    Map map;
    double r0, r1;
  };
  std::vector<Case> cases = {{"rotation and scale", similarity(0.05, 1.04, 32, 32, -2, 1), 12, 25}};
  if (GetParam())
    cases.push_back({"shear", [](double x, double y) { return Target{x + 0.15 * (y - 32) + 1, 0.97 * y + 0.05 * x}; }, 10, 24});
  for (Case const& c : cases) {
    IxTile t = makeMesh(Rect(0, 0, 65, 65));
    constrainRing(t, 32, 32, c.r0, c.map);
    constrainRing(t, 32, 32, c.r1, c.map);
    solve(t, Args{.affine = GetParam(), .minStep = 1});
    EXPECT_LT(maxError(t, c.map), 0.01) << c.name;
  }
}

TEST_P(SmoothGridExactTest, WithoutRefinementRotationErrorStaysBelowAngleTimesTopStep) {
  // A lattice point carries its nearest constrained pixel's target by a plain offset.
  double const angle = 0.03;
  Map const rot = similarity(angle, 1, 32, 32, 0, 0);
  IxTile t = makeMesh(Rect(0, 0, 65, 65));
  constrainRing(t, 32, 32, 20, rot);
  int const firstStep = solve(t, Args{.affine = GetParam(), .minStep = 64});
  EXPECT_EQ(firstStep, 16);
  double const err = maxError(t, rot);
  EXPECT_LT(err, angle * firstStep);
  EXPECT_GT(err, 1e-4);  // and it is not exact there
}

INSTANTIATE_TEST_SUITE_P(Models, SmoothGridExactTest, ::testing::Values(false, true), modelName);

// ---- Invariants of the filled mesh -------------------------------------------

// A 129 x 129 frame pinned at its border, with a closed ring displaced inwards
// and sideways by a few pixels.
IxTile pinnedFrameWithRing() {
  IxTile t = makeMesh(Rect(0, 0, 129, 129));
  for (int i = 0; i < 129; ++i) {
    constrain(t, i, 0, i, 0, false);
    constrain(t, i, 128, i, 128, false);
    constrain(t, 0, i, 0, i, false);
    constrain(t, 128, i, 128, i, false);
  }
  constrainRing(t, 64, 64, 30, similarity(0, 0.9, 64, 64, 3, -2));
  return t;
}

class SmoothGridFrameTest : public ::testing::TestWithParam<bool> {};

TEST_P(SmoothGridFrameTest, PinnedFrameWithDisplacedRingIsFoldFreeAndContinuous) {
  IxTile t = pinnedFrameWithRing();
  std::vector<std::byte> const before = meshBytes(t);
  solve(t, Args{.affine = GetParam(), .minStep = 1, .refineThreshold = 0.1});
  std::vector<std::byte> const after = meshBytes(t);
  for (std::size_t i = 0; i < before.size(); i += 12) {
    std::uint32_t b;
    std::memcpy(&b, &before[i + 8], 4);
    if (b & CONSTRAINED_BIT) {
      ASSERT_EQ(std::memcmp(&before[i], &after[i], 12), 0) << "constrained pixel " << i / 12;
    }
  }
  auto at = [&](int x, int y) { return pixelAt(t, x, y); };
  for (int y = 0; y < 128; ++y)
    for (int x = 0; x < 128; ++x) {
      MeshPixel const p = at(x, y), px = at(x + 1, y), py = at(x, y + 1);
      ASSERT_GT((px.r - p.r) * (py.g - p.g) - (px.g - p.g) * (py.r - p.r), 0.0) << x << "," << y;
    }
  // No seam: a step between neighbours is never much larger than the steps
  // on either side of it.
  for (int y = 1; y < 127; ++y)
    for (int x = 1; x < 126; ++x)
      for (int axis = 0; axis < 2; ++axis) {
        auto step = [&](int i) {
          MeshPixel const a0 = axis ? at(y, x + i) : at(x + i, y), a1 = axis ? at(y, x + i + 1) : at(x + i + 1, y);
          return std::hypot(a1.r - a0.r, a1.g - a0.g);
        };
        ASSERT_LE(step(0), 1.25 * std::max(step(-1), step(1)) + 0.02) << (axis ? "column " : "row ") << y << " at " << x;
      }
}

INSTANTIATE_TEST_SUITE_P(Models, SmoothGridFrameTest, ::testing::Values(false, true), modelName);

TEST(SmoothGridPassTest, LaterPassesAreSolvedOneAfterAnother) {
  // Unconstrained pixels inside the ring are of pass `inner`, those outside of
  // pass 0: two passes solve. A mesh of one pass number solves once. A short
  // gap in the numbers is solved pass by pass (each moves the start of the
  // next); a gap no scene makes is jumped over.
  auto innerFree = [](IxTile const& t, int x, int y) {
    return !(pixelAt(t, x, y).b & CONSTRAINED_BIT) && std::hypot(x - 64, y - 64) < 30;
  };
  for (unsigned inner : {0u, 1u, 7u, 1000000u}) {
    IxTile t = pinnedFrameWithRing();
    for (int y = 1; y < 128; ++y)
      for (int x = 1; x < 128; ++x)
        if (innerFree(t, x, y)) setBits(t, x, y, inner);
    gridsolver::SolveStats const stats = solveStats(t, Args{.passWork = 300, .refineThreshold = 0.5});
    EXPECT_EQ(stats.passes, inner == 0 ? 1u : inner < 100 ? inner + 1 : 2u) << inner;
    // The pass bits are not touched, the result is complete and finite.
    for (int y = 1; y < 128; ++y)
      for (int x = 1; x < 128; ++x) {
        MeshPixel const m = pixelAt(t, x, y);
        ASSERT_TRUE(std::isfinite(m.r) && std::isfinite(m.g));
        if (innerFree(t, x, y)) { ASSERT_EQ(m.b, inner); }
      }
  }
}

TEST(SmoothGridPassTest, EarlierPassContentIsRefinedAgainstLikeAConstraint) {
  // No constrained pixel at all, but a disc of pass 1 inside pass 0: pass 0
  // has everything pending and is skipped; pass 1 refines every cell where
  // the finished pass-0 pixels meet its own, however smooth, and the fill
  // stays the identity. Without the disc nothing is refined.
  for (bool disc : {false, true}) {
    IxTile t = makeMesh(Rect(0, 0, 65, 65));
    for (int y = 0; y < 65; ++y)
      for (int x = 0; x < 65; ++x)
        if (disc && std::hypot(x - 30, y - 35) < 12) setBits(t, x, y, 1u);
    gridsolver::SolveStats const stats = solveStats(t, Args{.minStep = 1, .refineThreshold = 1e6});
    EXPECT_EQ(stats.passes, disc ? 1 : 0);
    EXPECT_EQ(stats.iterations, 0u);
    if (disc)
      EXPECT_GT(stats.nParms, 25 + 100);
    else
      EXPECT_EQ(stats.nParms, 25);
    EXPECT_EQ(maxError(t, shift(0, 0)), 0.0);
  }
}

TEST(SmoothGridPassTest, PendingPixelOfALaterPassIsSolvedAgainstItsFinishedNeighbours) {
  // Everything but one pixel is constrained to a translation; the one free
  // pixel, of pass 1, lands on the translation.
  IxTile t = makeMesh(Rect(0, 0, 9, 9));
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 9; ++x)
      if (x != 4 || y != 4) constrain(t, x, y, x + 2, y + 1);
  setBits(t, 4, 4, 1u);
  solve(t, Args{});
  EXPECT_NEAR(pixelAt(t, 4, 4).r, 6.0, 1e-4);
  EXPECT_NEAR(pixelAt(t, 4, 4).g, 5.0, 1e-4);
}

// ---- Argument rules ------------------------------------------------------------

TEST(SmoothGridArgumentTest, FirstStepRules) {
  struct Case {
    Rect r;
    int step;
  };
  for (Case const c : {Case{Rect(0, 0, 9, 9), 2}, Case{Rect(0, 0, 105, 57), 8}, Case{Rect(0, 0, 10, 10), 1},
                       Case{Rect(0, 0, 8, 100), 1}, Case{Rect(0, 0, 17, 33), 4}, Case{Rect(0, 0, 19, 33), 2},
                       Case{Rect(0, 0, 257, 129), 32}, Case{Rect(0, 0, 258, 129), 1}}) {
    IxTile t = makeMesh(c.r);
    constrain(t, 1, 1, 1.5, 1.5);
    EXPECT_EQ(solve(t, Args{.passWork = 1}), c.step) << c.r;
  }
}

TEST(SmoothGridArgumentTest, MinStepAndThresholdDecideHowFarRefinementGoes) {
  // minStep at or above firstStep (16 here): the 5 x 5 top-level points only.
  for (int minStep : {16, 17, 1000}) {
    IxTile t = makeMesh(Rect(0, 0, 65, 65));
    constrainRing(t, 32, 32, 12, shift(1, 0));
    gridsolver::SolveStats const stats = solveStats(t, Args{.minStep = minStep});
    EXPECT_EQ(stats.nParms, 25) << minStep;
    EXPECT_GT(stats.iterations, 0u);
  }
  IxTile t = makeMesh(Rect(0, 0, 65, 65));
  constrain(t, 30, 30, 31, 31);
  EXPECT_GT(solveStats(t, Args{.minStep = 1}).nParms, 25);
  // A threshold <= 0 refines every pending leaf to minStep (every even point);
  // a large one refines only around the constraint.
  for (double threshold : {0.0, -1.0, 1e6}) {
    IxTile s = makeMesh(Rect(0, 0, 33, 33));
    constrain(s, 16, 16, 17, 15);
    int const nParms = solveStats(s, Args{.minStep = 2, .refineThreshold = threshold}).nParms;
    if (threshold <= 0)
      EXPECT_EQ(nParms, 17 * 17) << threshold;
    else
      EXPECT_LT(nParms, 17 * 17 / 2);
  }
}

TEST(SmoothGridArgumentTest, BadArgumentsAndTilesFailTheirChecks) {
  IxTile t = makeMesh(Rect(0, 0, 33, 33));
  constrain(t, 10, 10, 11, 11);
  expectAssertion(t, Args{.minStep = 0}, "minStep >= 1");  // once refinement runs
  IxTile u = makeMesh(Rect(0, 0, 17, 17));
  constrain(u, 8, 8, 9, 9);
  expectAssertion(u, Args{.magnetWeight = -1.0}, "_magnetWeight == 0.0");  // refused by the exact line search
  Args const quick{.passWork = 1, .cycleWork = 1, .refineThreshold = 1.0};
  expectAssertion(IxTile(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), Rect(3, 3, 3, 10)), quick,
                  "! srcAndDst.getPixelRegion().isEmpty()");
  expectAssertion(IxTile(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::UINT8), Rect(0, 0, 4, 4)), quick,
                  "srcAndDst.getTile().getPixelFormat().getDepth() == IxPixelFormat::FLOAT32");
  expectAssertion(IxTile(IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32), Rect(0, 0, 4, 4)), quick,
                  "srcAndDst.getTile().getPixelFormat().getComps() == IxPixelFormat::RGB");
}

TEST(SmoothGridArgumentTest, NoFreeVariableMeansNoMinimisation) {
  // Every top-level point (step 2) is constrained; with refinement off the
  // odd pixels are interpolated without any minimisation.
  IxTile t = makeMesh(Rect(0, 0, 9, 9));
  for (int y = 0; y < 9; y += 2)
    for (int x = 0; x < 9; x += 2) constrain(t, x, y, 2 * x, y);
  gridsolver::SolveStats const stats = solveStats(t, Args{.minStep = 2});
  EXPECT_EQ(stats.iterations, 0u);
  EXPECT_EQ(stats.passes, 1);
  EXPECT_NEAR(pixelAt(t, 3, 5).r, 6.0, 1e-5);
  EXPECT_NEAR(pixelAt(t, 3, 5).g, 5.0, 1e-5);
}

TEST(SmoothGridArgumentTest, SoftConstraintsPullTowardsTheTargets) {
  IxTile t = makeMesh(Rect(0, 0, 33, 33));
  constrainRing(t, 16, 16, 8, shift(2, 1));
  solve(t, Args{.magnetWeight = 10.0, .tolX = 1e-7});
  EXPECT_LT(maxError(t, shift(2, 1)), 0.05);
}

TEST(SmoothGridArgumentTest, ConstrainedPixelWithNonFiniteTargetTiesNothing) {
  // The bad pixels are kept as they are; the rest solves as if they were absent.
  IxTile t = makeMesh(Rect(0, 0, 33, 33)), clean = makeMesh(Rect(0, 0, 33, 33));
  constrainRing(t, 16, 16, 9, shift(1.5, 0.5));
  constrainRing(clean, 16, 16, 9, shift(1.5, 0.5));
  constrain(t, 3, 4, std::numeric_limits<float>::quiet_NaN(), 4.0);
  constrain(t, 16, 16, 16.0, std::numeric_limits<float>::infinity());
  solve(t, Args{});
  solve(clean, Args{});
  EXPECT_TRUE(std::isnan(pixelAt(t, 3, 4).r));
  EXPECT_TRUE(std::isinf(pixelAt(t, 16, 16).g));
  for (int y = 0; y < 33; ++y)
    for (int x = 0; x < 33; ++x) {
      if ((x == 3 && y == 4) || (x == 16 && y == 16)) continue;
      MeshPixel const m = pixelAt(t, x, y), c = pixelAt(clean, x, y);
      ASSERT_TRUE(std::isfinite(m.r) && std::isfinite(m.g)) << x << "," << y;
      ASSERT_NEAR(m.r, c.r, 0.05) << x << "," << y;
      ASSERT_NEAR(m.g, c.g, 0.05) << x << "," << y;
    }
}

// ---- The budget ------------------------------------------------------------------

TEST(SmoothGridBudgetTest, TinyBudgetStillGivesACompleteFiniteFill) {
  for (int passWork : {0, 1, 2})
    for (bool affine : {false, true}) {
      IxTile t = pinnedFrameWithRing();
      gridsolver::SolveStats const stats = solveStats(t, Args{.affine = affine, .passWork = passWork, .cycleWork = 1});
      // The last minimisation of a pass may overrun what is left by less
      // than one iteration, at most one evaluation per parameter.
      EXPECT_LE(stats.termEvaluations, static_cast<std::uint64_t>(passWork) * 10000u + stats.nParms);
      EXPECT_LT(maxError(t, shift(0, 0)), 20) << "finite and near the identity";
    }
}

// ---- Robustness ---------------------------------------------------------------------

struct RandomCase {
  IxTile mesh;
  Args args;
};

RandomCase randomCase(std::mt19937& rng) {
  std::uniform_int_distribution<int> w(1, 300), h(1, 200), org(-50, 50), coin(0, 1);
  Rect r(org(rng), org(rng), 0, 0);
  r.setX2(r.x1() + w(rng));
  r.setY2(r.y1() + h(rng));
  if (coin(rng)) r = WarpGridProc::computeCorrespondenceImageRegion(r);
  RandomCase c{makeMesh(r), Args{}};
  IxWriteGuard g(c.mesh);
  std::uniform_real_distribution<double> off(-15, 15), u01(0, 1);
  int const n = std::uniform_int_distribution<int>(0, 3)(rng);
  unsigned const passes = std::uniform_int_distribution<unsigned>(0, 2)(rng);
  for (int y = r.y1(); y < r.y2(); ++y)
    for (int x = r.x1(); x < r.x2(); ++x)
      if (passes > 0) writeMeshBits(g.getPixelAddress(x, y), static_cast<std::uint32_t>(u01(rng) * (passes + 1)) % 3);
  for (int k = 0; k < n; ++k) {
    // A blob, a line or scattered pixels, all moved by a random offset.
    double const dx = off(rng), dy = off(rng);
    int const count = std::uniform_int_distribution<int>(1, 400)(rng);
    int x = r.x1() + static_cast<int>(u01(rng) * r.getWidth()), y = r.y1() + static_cast<int>(u01(rng) * r.getHeight());
    for (int i = 0; i < count; ++i) {
      if (x >= r.x1() && x < r.x2() && y >= r.y1() && y < r.y2()) {
        std::uint32_t const bits = CONSTRAINED_BIT | (coin(rng) ? SMOOTHING_BIT : 0u);
        writeMeshPixel(g.getPixelAddress(x, y), MeshPixel{static_cast<float>(x + dx + off(rng) * 0.1),
                                                          static_cast<float>(y + dy + off(rng) * 0.1), bits});
      }
      x += std::uniform_int_distribution<int>(-1, 1)(rng) * (k == 2 ? 5 : 1);
      y += std::uniform_int_distribution<int>(-1, 1)(rng);
    }
  }
  c.args.affine = coin(rng);
  c.args.minStep = 1 << std::uniform_int_distribution<int>(0, 4)(rng);
  c.args.passWork = std::uniform_int_distribution<int>(0, 8)(rng);
  c.args.cycleWork = std::uniform_int_distribution<int>(1, 4)(rng);
  c.args.refineThreshold = u01(rng) < 0.2 ? 0.0 : u01(rng) * 2;
  if (u01(rng) < 0.1) {
    // Soft constraints cost many energy evaluations per counted iteration.
    c.args.magnetWeight = u01(rng) * 100;
    c.args.passWork = std::min(c.args.passWork, 3);
  }
  return c;
}

TEST(SmoothGridRobustnessTest, RandomConstraintSetsNeverAssertNorProduceNaNAndRerunBitForBit) {
  std::mt19937 rng(20261206);
#if defined(__SANITIZE_ADDRESS__)
  int const cases = 50;  // the instrumented build is some sixty times slower
#else
  int const cases = 200;
#endif
  for (int k = 0; k < cases; ++k) {
    std::mt19937 same = rng;  // the same case drawn twice
    RandomCase c = randomCase(rng), again = randomCase(same);
    std::vector<std::byte> const before = meshBytes(c.mesh);
    ASSERT_NO_THROW(solve(c.mesh, c.args)) << "case " << k << " " << c.mesh.getPixelRegion();
    solve(again.mesh, again.args);
    std::vector<std::byte> const after = meshBytes(c.mesh);
    ASSERT_EQ(after, meshBytes(again.mesh)) << "case " << k;
    for (std::size_t i = 0; i < after.size(); i += 12) {
      float v[2];
      std::uint32_t b0, b1;
      std::memcpy(v, &after[i], 8);
      std::memcpy(&b0, &before[i + 8], 4);
      std::memcpy(&b1, &after[i + 8], 4);
      ASSERT_TRUE(std::isfinite(v[0]) && std::isfinite(v[1])) << "case " << k << " pixel " << i / 12;
      ASSERT_EQ(b0, b1);
      if (b0 & CONSTRAINED_BIT) { ASSERT_EQ(std::memcmp(&before[i], &after[i], 12), 0); }
    }
  }
}

TEST(SmoothGridRobustnessTest, TwoThreadsSolvingDifferentMeshesMatchTheSerialResults) {
  std::mt19937 rng(99);
  for (int round = 0; round < 6; ++round) {
    std::mt19937 same = rng;
    RandomCase a = randomCase(rng), b = randomCase(rng), a2 = randomCase(same), b2 = randomCase(same);
    solve(a2.mesh, a.args);
    solve(b2.mesh, b.args);
    std::thread ta([&] { solve(a.mesh, a.args); }), tb([&] { solve(b.mesh, b.args); });
    ta.join();
    tb.join();
    EXPECT_EQ(meshBytes(a.mesh), meshBytes(a2.mesh)) << round;
    EXPECT_EQ(meshBytes(b.mesh), meshBytes(b2.mesh)) << round;
  }
}

// ---- Interruption ---------------------------------------------------------------------

TEST(SmoothGridInterruptionTest, CancelledRequestStopsTheSolveAndLeavesTheMeshUnfilled) {
  // Cancelled before the call, and cancelled from another thread at several
  // moments of a long solve that keeps refining: each time the solve unwinds
  // with the interruption (the sanitizer build checks that nothing leaks) and
  // no unconstrained pixel has been written.
  for (int delayMs : {-1, 0, 2, 10, 40}) {
    IxTile big = makeMesh(Rect(0, 0, 1025, 1025));
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> pos(0, 1024);
    for (int i = 0; i < 3000; ++i) {
      int const x = pos(rng), y = pos(rng);
      constrain(big, x, y, x + 0.5 * std::sin(i), y + 0.5 * std::cos(i));
    }
    std::vector<std::byte> const before = meshBytes(big);
    auto request = std::make_shared<PxRequest>();
    if (delayMs < 0) request->cancel();
    std::thread canceller;
    if (delayMs >= 0)
      canceller = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        request->cancel();
      });
    bool interrupted = false;
    {
      PxRequestScope scope(request.get());
      try {
        solve(big, Args{.passWork = 1000000, .cycleWork = 100000, .refineThreshold = 0.0});
      } catch (PxInterruptedException const&) {
        interrupted = true;
      }
    }
    if (canceller.joinable()) canceller.join();
    EXPECT_TRUE(interrupted) << delayMs;
    EXPECT_EQ(meshBytes(big), before) << delayMs;
  }
}

}  // namespace
