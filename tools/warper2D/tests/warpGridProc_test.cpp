// The smooth grid solve: exact answers where the energy has a zero, the
// constraint application and the refinement decisions, passes, budgets,
// thin meshes, threads and interruption (random constraint sets and targets at
// the float range's ends: coreFuzz_test).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <tuple>
#include <functional>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "pluginAPI/pxRequestMgr.h"
#include "primitives/geBezierCurve.h"
#include "primitives/ixTile.h"
#include "warpGridProc.h"
#include "warpGridProcCells.h"
#include "warpGridProcSolve.h"
#include "warpTestNodes.h"

namespace {

using namespace Qx::Warper2D;
using namespace Qx::Warper2D::gridsolver;
using Rect = GeRectangle<int>;
using Target = std::pair<double, double>;
using Map = std::function<Target(double, double)>;

IxTile makeMesh(Rect const& region) { return IxTile(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), region); }
MeshPixel pixelAt(IxTile const& t, int x, int y) { return readMeshPixel(IxReadGuard(t).getPixelAddress(x, y)); }
void setPixel(IxTile& t, int x, int y, MeshPixel const& m) { writeMeshPixel(IxWriteGuard(t).getPixelAddress(x, y), m); }
void constrain(IxTile& t, int x, int y, double tx, double ty, bool smoothing = true) {
  setPixel(t, x, y, {float(tx), float(ty), CONSTRAINED_BIT | (smoothing ? SMOOTHING_BIT : 0u)});
}
void setBits(IxTile& t, int x, int y, std::uint32_t bits) { writeMeshBits(IxWriteGuard(t).getPixelAddress(x, y), bits); }

// The solver arguments, with a generous budget unless a test says otherwise.
struct Args {
  double magnetWeight = 0.0;
  bool affine = false;
  int minStep = 1, passWork = 20000;
  std::vector<int> cycleWork = {2000};
  double tolX = 1e-10, tolE = 1e-20, refineThreshold = 0.05;
};

SolveStats solve(IxTile& t, Args a) {
  IxWriteGuard g(t);
  SolveStats s;
  createSmoothGridMeasured(g, a.magnetWeight, a.affine, a.minStep, a.passWork, int(a.cycleWork.size()),
                           a.cycleWork.data(), a.tolX, a.tolE, a.refineThreshold, nullptr, &s);
  return s;
}

void expectAssertion(IxTile t, Args const& a, std::string const& condition) {
  EXPECT_EQ(warptest::failedCondition([&] { solve(t, a); }), "warpGridProc: " + condition);
}

// Constrains the pixels of a one-pixel ring (radius r around (cx, cy)) to map(pixel).
void constrainRing(IxTile& t, double cx, double cy, double r, Map const& map, bool smoothing = true) {
  Rect const g = t.getPixelRegion();
  for (int y = g.y1(); y < g.y2(); ++y)
    for (int x = g.x1(); x < g.x2(); ++x)
      if (std::abs(std::hypot(x - cx, y - cy) - r) <= 0.5) constrain(t, x, y, map(x, y).first, map(x, y).second, smoothing);
}

// Largest distance between a pixel's value and map(pixel) over the pixels `where` accepts; NaN wins.
double maxError(IxTile const& t, Map const& map, std::function<bool(int, int)> const& where = nullptr) {
  Rect const g = t.getPixelRegion();
  double worst = 0;
  for (int y = g.y1(); y < g.y2(); ++y)
    for (int x = g.x1(); x < g.x2(); ++x) {
      double const e = std::hypot(pixelAt(t, x, y).r - map(x, y).first, pixelAt(t, x, y).g - map(x, y).second);
      if ((!where || where(x, y)) && !(e <= worst)) worst = e;
    }
  return worst;
}

std::vector<std::byte> meshBytes(IxTile const& t) {
  IxReadGuard g(t);
  Rect const r = t.getPixelRegion();
  std::vector<std::byte> out;
  for (int y = r.y1(); y < r.y2(); ++y) out.insert(out.end(), g.getPixelAddress(r.x1(), y), g.getPixelAddress(r.x1(), y) + 12 * r.getWidth());
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

// ---- Exact answers -----------------------------------------------------------

class SmoothGridExactTest : public ::testing::TestWithParam<bool> {};

TEST_P(SmoothGridExactTest, TranslationRotationAndShearAreReproduced) {
  // Translation, with refinement and without; a similarity and (affine model
  // only) a shear, refined down to single pixels between two rings.
  struct Case {
    char const* name;
    Map map;
    int minStep;
  };
  std::vector<Case> cases = {{"translation", shift(3.25, -1.5), 1}, {"translation, no refinement", shift(3.25, -1.5), 64},
                             {"rotation and scale", similarity(0.05, 1.04, 32, 32, -2, 1), 1}};
  if (GetParam()) cases.push_back({"shear", [](double x, double y) { return Target{x + 0.15 * (y - 32) + 1, 0.97 * y + 0.05 * x}; }, 1});
  for (Case const& c : cases) {
    IxTile t = makeMesh(Rect(0, 0, 65, 65));
    constrainRing(t, 32, 32, 11, c.map);
    constrainRing(t, 32, 32, 25, c.map);
    solve(t, Args{.affine = GetParam(), .minStep = c.minStep});
    EXPECT_LT(maxError(t, c.map), 0.01) << c.name;
  }
}

TEST_P(SmoothGridExactTest, PinnedFrameWithDisplacedRingIsFoldFreeSeamlessAndKeepsItsConstraints) {
  IxTile t = makeMesh(Rect(0, 0, 129, 129));
  for (int i = 0; i < 129; ++i)
    for (auto [x, y] : {std::pair{i, 0}, {i, 128}, {0, i}, {128, i}}) constrain(t, x, y, x, y, false);
  constrainRing(t, 64, 64, 30, similarity(0, 0.9, 64, 64, 3, -2));
  std::vector<std::byte> const before = meshBytes(t);
  solve(t, Args{.affine = GetParam(), .refineThreshold = 0.1});
  std::vector<std::byte> const after = meshBytes(t);
  for (std::size_t i = 0; i < before.size(); i += 12) {
    if (std::to_integer<int>(before[i + 11]) & 0x80) { ASSERT_EQ(std::memcmp(&before[i], &after[i], 12), 0) << i / 12; }
  }
  for (int y = 0; y < 128; ++y)
    for (int x = 0; x < 128; ++x) {
      MeshPixel const p = pixelAt(t, x, y), px = pixelAt(t, x + 1, y), py = pixelAt(t, x, y + 1);
      ASSERT_GT((px.r - p.r) * (py.g - p.g) - (px.g - p.g) * (py.r - p.r), 0.0) << x << "," << y;
    }
  // No seam: a step between neighbours is never much larger than the steps
  // on either side of it.
  auto step = [&](int x, int y, int dx, int dy) {
    MeshPixel const a = pixelAt(t, x, y), b = pixelAt(t, x + dx, y + dy);
    return std::hypot(b.r - a.r, b.g - a.g);
  };
  for (int y = 1; y < 127; ++y)
    for (int x = 1; x < 126; ++x) {
      ASSERT_LE(step(x, y, 1, 0), 1.25 * std::max(step(x - 1, y, 1, 0), step(x + 1, y, 1, 0)) + 0.02) << x << "," << y;
      ASSERT_LE(step(y, x, 0, 1), 1.25 * std::max(step(y, x - 1, 0, 1), step(y, x + 1, 0, 1)) + 0.02) << y << "," << x;
    }
}

INSTANTIATE_TEST_SUITE_P(Models, SmoothGridExactTest, ::testing::Values(false, true),
                         [](::testing::TestParamInfo<bool> const& info) { return info.param ? "Affine" : "Similarity"; });

TEST(SmoothGridTest, TranslatedPolygonWithoutSmoothingIsExactInsideWithTheQualityArguments) {
  // A 7-gon moved by (8, 0), smoothing "None": inside, the exact answer is
  // the translation. The leaves just inside the outline used to take their
  // corner slopes from the one-pixel leaves across it (where the free
  // outside differs) and bent by a quarter pixel.
  std::vector<GePoint2<float>> const v = {{434.91f, 201.19f}, {417.83f, 238.38f}, {379.27f, 252.46f}, {334.25f, 223.42f},
                                          {336.47f, 171.19f}, {378.79f, 146.11f}, {418.51f, 160.81f}};
  auto polygon = [&](float dx) {
    Vector<GePoint2<float>> pts;
    for (GePoint2<float> const& p : v) pts.insert(pts.end(), 3, GePoint2<float>(p.x() + dx, p.y()));
    return GeBezierCurve(pts, GeBezierCurve::CLOSED);
  };
  auto inside = [&](int x, int y) {
    bool in = false;
    for (std::size_t i = 0, j = v.size() - 1; i < v.size(); j = i++)
      if ((v[i].y() > y) != (v[j].y() > y) && x < (v[j].x() - v[i].x()) * (y - v[i].y()) / (v[j].y() - v[i].y()) + v[i].x()) in = !in;
    return in;
  };
  Rect const region = WarpGridProc::computeCorrespondenceImageRegion(Rect(0, 0, 640, 360));
  WarpGridProc::SolveArguments const q = WarpGridProc::computeSolveArguments(3, region);
  Vector<float> const links = {0, 1, 2, 3, 4, 5, 6};
  IxTile t = makeMesh(region);
  WarpGridProc::applyCurveToCorrespondence(polygon(0), links, polygon(8), links, 1.0, WarpGridProc::None, *std::make_unique<IxWriteGuard>(t));
  solve(t, Args{.affine = true, .minStep = q.minStep, .passWork = q.passWork, .cycleWork = {q.cycleWork}, .refineThreshold = q.refineThreshold});
  EXPECT_LT(maxError(t, shift(8, 0), inside), 1e-3);
}

// ---- Constraint application ---------------------------------------------------

TEST(ConstraintApplicationTest, NearestPointTakesTheNearestPixelsTargetMovedRigidly) {
  // A 9 x 9 lattice of top-level step 4 (parameters at multiples of 4, at the
  // identity) over a mesh at (10, 20). Per case: the constrained pixels (x, y,
  // target, smoothing) and the tied points (x, y, target, flags).
  using Pixel = std::tuple<int, int, float, float, bool>;
  using Tied = std::tuple<int, int, float, float, int>;
  struct Case {
    char const* name;
    std::vector<Pixel> pixels;
    std::vector<Tied> tied;
  };
  int const C = Constrained, S = SmoothedConstraint;
  for (Case const& c : std::vector<Case>{
           // (2, 1) is as near to (0, 0) as to (4, 0): the first boundary point wins.
           {"tie between points", {{2, 1, 100, 50, false}}, {{0, 0, 98, 49, C}}},
           // (2, 1) and (1, 2) are equally near to (0, 0): the first pixel's target wins.
           {"tie between pixels", {{2, 1, 100, 50, false}, {1, 2, -7, 3, false}}, {{0, 0, 98, 49, C}}},
           {"two points", {{1, 1, 5, 5, false}, {3, 1, 6, 6, true}}, {{0, 0, 4, 4, C}, {4, 0, 7, 5, C | S}}},
           // Row 4 closes the first band and opens the second; row 8 is the last.
           {"band rows", {{3, 4, 0, 0, true}, {5, 8, 1, 1, false}}, {{4, 4, 1, 0, C | S}, {4, 8, 0, 1, C}}},
           // A lattice point's own pixel ties it; a non-finite target ties nothing.
           {"own pixel, NaN", {{8, 4, 9, 9, false}, {7, 4, NAN, 1, false}, {1, 7, 2, INFINITY, false}}, {{8, 4, 9, 9, C}}}}) {
    IxTile mesh = makeMesh(Rect(10, 20, 19, 29));
    Lattice lat(9, 9, 10, 20, 4);
    for (int y = 0; y < 9; y += 4)
      for (int x = 0; x < 9; x += 4) lat.addParm(x, y, 10 + x, 20 + y);
    for (auto [x, y, tx, ty, smooth] : c.pixels) constrain(mesh, 10 + x, 20 + y, tx, ty, smooth);
    std::vector<double> targets(2 * 81, -1.0);
    for (bool soft : {true, false}) {
      // Soft constraints take the targets into their own array.
      EXPECT_EQ(ConstraintApplication(IxReadGuard(mesh), 9, 9).apply(lat, soft ? targets.data() : nullptr), int(c.tied.size()));
      for (int y = 0; y < 9; y += 4)
        for (int x = 0; x < 9; x += 4) {
          auto it = std::find_if(c.tied.begin(), c.tied.end(), [&](Tied const& t) { return std::get<0>(t) == x && std::get<1>(t) == y; });
          double const* at = soft ? &targets[2 * lat.index(x, y)] : lat.positions() + 2 * lat.parmIndex()[lat.index(x, y)];
          bool const tied = it != c.tied.end();
          EXPECT_EQ(lat.flags()[lat.index(x, y)] & (C | S), tied ? std::get<4>(*it) : 0) << c.name << " " << x << "," << y;
          EXPECT_TRUE(tied ? at[0] == std::get<2>(*it) && at[1] == std::get<3>(*it) : soft || (at[0] == 10 + x && at[1] == 20 + y))
              << c.name << " " << x << "," << y;
        }
    }
  }
}

// ---- Refinement ------------------------------------------------------------------

TEST(SmoothGridRefinementTest, CellsHoldingOrBorderingAConstraintAreRefinedWhateverTheirResiduals) {
  // One constrained pixel on a 33 x 33 mesh (top-level cells of 8) and on a
  // 9 x 9 one (cells of 2), residuals never large enough: exactly the cells
  // whose closed square, grown by a pixel, holds the pixel are subdivided.
  struct Case {
    int n, x, y;
    std::set<std::pair<int, int>> cells;  // origins of the subdivided top-level cells
  };
  for (Case const& c : {Case{33, 12, 12, {{8, 8}}}, Case{33, 16, 12, {{8, 8}, {16, 8}}}, Case{33, 16, 16, {{8, 8}, {16, 8}, {8, 16}, {16, 16}}},
                        Case{33, 17, 12, {{8, 8}, {16, 8}}}, Case{33, 18, 12, {{16, 8}}}, Case{33, 12, 24, {{8, 16}, {8, 24}}},
                        Case{9, 4, 3, {{2, 0}, {4, 0}, {2, 2}, {4, 2}, {2, 4}, {4, 4}}}, Case{9, 5, 8, {{2, 6}, {4, 6}, {6, 6}}}}) {
    IxTile t = makeMesh(Rect(0, 0, c.n, c.n));
    constrain(t, c.x, c.y, c.x, c.y);
    int const top = c.n == 33 ? 8 : 2;
    SolveStats const s = solve(t, Args{.minStep = top / 2, .refineThreshold = 1e6});
    ASSERT_EQ(s.firstStep, top);
    std::set<std::pair<int, int>> refined;
    for (int y = 0; y < c.n - 1; y += top)
      for (int x = 0; x < c.n - 1; x += top)
        if (s.parameters[(y + top / 2) * c.n + x + top / 2]) refined.insert({x, y});
    EXPECT_EQ(refined, c.cells) << c.n << ": " << c.x << "," << c.y;
  }
  // minStep at or above firstStep (16): the 5 x 5 top-level points only. A
  // threshold <= 0 refines every pending leaf down to minStep (every even point).
  IxTile t = makeMesh(Rect(0, 0, 65, 65));
  constrainRing(t, 32, 32, 12, shift(1, 0));
  EXPECT_EQ(solve(t, Args{.minStep = 16}).nParms, 25);
  for (double threshold : {0.0, -1.0}) EXPECT_EQ(solve(t, Args{.minStep = 2, .refineThreshold = threshold}).nParms, 33 * 33);
}

// ---- Passes --------------------------------------------------------------------------

TEST(SmoothGridPassTest, OnePassPerPassNumberThatPixelsCarryAndNoneWithoutAConstraint) {
  // A ring's surroundings split into pass numbers with gaps between them:
  // each number solves once, in order; the pass bits are kept.
  IxTile t = makeMesh(Rect(0, 0, 65, 65));
  constrainRing(t, 32, 32, 20, shift(2, 1));
  unsigned const passes[4] = {3, 7, 40, 1000000};
  auto passOf = [&](int x, int y) { return passes[(x / 7 + y / 5) % 4]; };
  for (int y = 0; y < 65; ++y)
    for (int x = 0; x < 65; ++x)
      if (!(pixelAt(t, x, y).b & CONSTRAINED_BIT)) setBits(t, x, y, passOf(x, y));
  EXPECT_EQ(solve(t, Args{.passWork = 50}).passes, 4);
  for (int y = 0; y < 65; ++y)
    for (int x = 0; x < 65; ++x) ASSERT_TRUE((pixelAt(t, x, y).b & CONSTRAINED_BIT) || pixelAt(t, x, y).b == passOf(x, y));
  EXPECT_LT(maxError(t, shift(2, 1)), 0.05);
  // Random 30-bit pass numbers and no constraint: no pass can move anything.
  IxTile u = makeMesh(Rect(0, 0, 100, 100));
  std::mt19937 rng(8);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 100; ++x) setBits(u, x, y, rng() & PASS_MASK);
  SolveStats const s = solve(u, Args{});
  EXPECT_EQ(s.passes + s.cycles, 0);
  EXPECT_EQ(maxError(u, shift(0, 0)), 0.0);
}

TEST(SmoothGridPassTest, EarlierPassContentIsRefinedAgainstLikeAConstraint) {
  // A disc of pass 1 inside pass 0 beside a constraint: pass 1 refines where
  // the finished pass-0 pixels meet its own, however smooth.
  for (bool disc : {false, true}) {
    IxTile u = makeMesh(Rect(0, 0, 65, 65));
    constrain(u, 2, 2, 2, 2);
    for (int y = 0; y < 65; ++y)
      for (int x = 0; x < 65; ++x)
        if (disc && std::hypot(x - 30, y - 35) < 12) setBits(u, x, y, 1u);
    SolveStats const s = solve(u, Args{.refineThreshold = 1e6});
    EXPECT_EQ(s.passes, disc ? 2 : 1);
    EXPECT_EQ(s.nParms > 200, disc) << s.nParms;
    EXPECT_LT(maxError(u, shift(0, 0)), 1e-4);
  }
}

TEST(SmoothGridThinMeshTest, IsSolvedAlongItsOneDimension) {
  // Between two constraints the mapping runs linearly; every pixel is
  // written, NaN ones included.
  for (bool column : {true, false}) {
    Rect const r = column ? Rect(5, 0, 6, 30) : Rect(0, 9, 30, 10);
    auto at = [&](int i) { return column ? std::pair{5, i} : std::pair{i, 9}; };
    Map const line = [&](double x, double y) { return column ? Target{x + 3, 2 * y - 10} : Target{2 * x - 6, y + 1}; };
    IxTile t = makeMesh(r);
    for (int i = 0; i < 30; ++i) setPixel(t, at(i).first, at(i).second, {NAN, NAN, 0});
    for (int i : {4, 20}) constrain(t, at(i).first, at(i).second, line(at(i).first, at(i).second).first, line(at(i).first, at(i).second).second);
    for (bool affine : {false, true}) {
      solve(t, Args{.affine = affine});
      EXPECT_LT(maxError(t, line, [&](int x, int y) { return (column ? y : x) >= 4 && (column ? y : x) <= 20; }), 1e-3);
      EXPECT_TRUE(std::isfinite(maxError(t, line)));
    }
  }
  IxTile one = makeMesh(Rect(2, 2, 3, 3));
  setPixel(one, 2, 2, {NAN, NAN, 0});
  solve(one, Args{});
  EXPECT_EQ(maxError(one, shift(0, 0)), 0.0);
}

// ---- Arguments and budgets ----------------------------------------------------------

TEST(SmoothGridArgumentTest, FirstStepRulesAndBadArguments) {
  for (auto [r, step] : {std::pair{Rect(0, 0, 9, 9), 2}, {Rect(0, 0, 105, 57), 8}, {Rect(0, 0, 10, 10), 1},
                         {Rect(0, 0, 8, 100), 1}, {Rect(0, 0, 19, 33), 2}, {Rect(0, 0, 258, 129), 1}}) {
    IxTile t = makeMesh(r);
    constrain(t, 1, 1, 1.5, 1.5);
    EXPECT_EQ(solve(t, Args{.passWork = 1}).firstStep, step) << r;
  }
  IxTile t = makeMesh(Rect(0, 0, 33, 33));
  constrain(t, 10, 10, 11, 11);
  expectAssertion(t, Args{.minStep = 0}, "minStep >= 1");
  expectAssertion(t, Args{.magnetWeight = -1.0}, "_magnetWeight == 0.0");  // refused by the exact line search
  Args const quick{.passWork = 1, .cycleWork = {1}, .refineThreshold = 1.0};
  expectAssertion(makeMesh(Rect(3, 3, 3, 10)), quick, "! srcAndDst.getPixelRegion().isEmpty()");
  expectAssertion(IxTile(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::UINT8), Rect(0, 0, 4, 4)), quick,
                  "srcAndDst.getTile().getPixelFormat().getDepth() == IxPixelFormat::FLOAT32");
  expectAssertion(IxTile(IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32), Rect(0, 0, 4, 4)), quick,
                  "srcAndDst.getTile().getPixelFormat().getComps() == IxPixelFormat::RGB");
}

TEST(SmoothGridBudgetTest, CycleWorkIsIndexedByCycleFromOneAndNoFreeVariableMeansNoMinimisation) {
  // cycleWork[min(cycle, n - 1)]: a zero limit for the first cycle ends the
  // pass before any iteration; one for the second cycle ends it there.
  struct Case {
    std::vector<int> work;
    bool iterates;
    int cycles;  // 0: more than 2
  };
  for (Case const& c : {Case{{1000, 0}, false, 1}, Case{{0, 1000, 0}, true, 2}, Case{{0, 1000}, true, 0}}) {
    IxTile t = makeMesh(Rect(0, 0, 65, 65));
    constrainRing(t, 32, 32, 20, shift(2, 1));
    SolveStats const s = solve(t, Args{.cycleWork = c.work});
    EXPECT_EQ(s.iterations > 0, c.iterates) << c.work.size();
    EXPECT_TRUE(c.cycles ? s.cycles == c.cycles : s.cycles > 2) << c.work.size() << ": " << s.cycles;
  }
  // Every top-level point (step 2) constrained, no refinement: the odd
  // pixels are interpolated without a minimisation.
  IxTile t = makeMesh(Rect(0, 0, 9, 9));
  for (int y = 0; y < 9; y += 2)
    for (int x = 0; x < 9; x += 2) constrain(t, x, y, 2 * x, y);
  EXPECT_EQ(solve(t, Args{.minStep = 2}).iterations, 0u);
  EXPECT_LT(maxError(t, [](double x, double y) { return Target{2 * x, y}; }), 1e-5);
}

TEST(SmoothGridBudgetTest, TinyBudgetStillGivesACompleteFiniteFill) {
  for (int passWork : {0, 1, 2})
    for (bool affine : {false, true}) {
      IxTile t = makeMesh(Rect(0, 0, 129, 129));
      constrainRing(t, 64, 64, 30, similarity(0.1, 0.9, 64, 64, 3, -2));
      SolveStats const s = solve(t, Args{.affine = affine, .passWork = passWork, .cycleWork = {1}});
      EXPECT_LE(s.termEvaluations, std::uint64_t(passWork) * 10000u + s.nParms);  // the last sweep may overrun
      EXPECT_LT(maxError(t, shift(0, 0)), 20);
    }
}

TEST(SmoothGridBudgetTest, StepSearchIsChargedForEveryEvaluationAndEndsThePassWhenDoneAtOnce) {
  // Soft constraints, no refinement: every one of the 19 x 6 points has a
  // term, and an iteration takes at least a gradient and a trial energy.
  IxTile t = makeMesh(Rect(0, 0, 73, 21));
  constrain(t, 30, 10, 35, 12);
  SolveStats const s = solve(t, Args{.magnetWeight = 5, .minStep = 4, .passWork = 20, .cycleWork = {20}, .tolX = 0, .tolE = 0});
  ASSERT_EQ(s.nParms, 19 * 6);
  EXPECT_GT(s.iterations, 0u);
  EXPECT_LE(2 * s.iterations * s.nParms, 200000u + s.nParms);
  EXPECT_LE(s.termEvaluations, 200000u + s.nParms);
  // Already at its minimum, the step search converges in its first
  // iteration: the pass ends there, though refinement had work left.
  IxTile u = makeMesh(Rect(0, 0, 33, 33));
  constrainRing(u, 16, 16, 9, shift(0, 0));
  SolveStats const done = solve(u, Args{.magnetWeight = 5, .refineThreshold = 0});
  EXPECT_TRUE(done.cycles == 1 && done.nParms == 25) << done.cycles << " " << done.nParms;
  EXPECT_GT(solve(u, Args{.refineThreshold = 0}).cycles, 1);
}

// ---- Robustness, threads, interruption ------------------------------------------------

// A random region, pass numbers and constraint blobs, lines or scatters, with random arguments.
std::pair<IxTile, Args> randomCase(std::mt19937& rng) {
  auto uniform = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
  std::uniform_real_distribution<double> off(-15, 15), u01(0, 1);
  Rect r(uniform(-50, 50), uniform(-50, 50), 0, 0);
  r.setX2(r.x1() + uniform(1, 300));
  r.setY2(r.y1() + uniform(1, 200));
  if (uniform(0, 1)) r = WarpGridProc::computeCorrespondenceImageRegion(r);
  std::pair<IxTile, Args> c{makeMesh(r), Args{}};
  IxWriteGuard g(c.first);
  unsigned const passes = uniform(0, 2);
  for (int y = r.y1(); y < r.y2(); ++y)
    for (int x = r.x1(); x < r.x2() && passes > 0; ++x) writeMeshBits(g.getPixelAddress(x, y), unsigned(u01(rng) * (passes + 1)) % 3);
  for (int k = 0, n = uniform(0, 3); k < n; ++k) {
    double const dx = off(rng), dy = off(rng);
    int x = r.x1() + int(u01(rng) * r.getWidth()), y = r.y1() + int(u01(rng) * r.getHeight());
    for (int i = 0, count = uniform(1, 400); i < count; ++i, x += uniform(-1, 1) * (k == 2 ? 5 : 1), y += uniform(-1, 1))
      if (x >= r.x1() && x < r.x2() && y >= r.y1() && y < r.y2())
        writeMeshPixel(g.getPixelAddress(x, y), MeshPixel{uniform(0, 999) ? float(x + dx + off(rng) * 0.1) : NAN, float(y + dy + off(rng) * 0.1),
                                                          CONSTRAINED_BIT | (uniform(0, 1) ? SMOOTHING_BIT : 0u)});  // now and then a NaN target
  }
  c.second = Args{.magnetWeight = u01(rng) < 0.1 ? u01(rng) * 100 : 0.0, .affine = uniform(0, 1) == 1, .minStep = 1 << uniform(0, 4),
                  .passWork = uniform(0, 8), .cycleWork = {uniform(1, 4)}, .refineThreshold = u01(rng) < 0.2 ? 0.0 : u01(rng) * 2};
  return c;
}

TEST(SmoothGridRobustnessTest, TwoThreadsSolvingDifferentMeshesMatchTheSerialResults) {
  std::mt19937 rng(99);
  for (int round = 0; round < 4; ++round) {
    std::mt19937 same = rng;
    auto a = randomCase(rng), b = randomCase(rng), a2 = randomCase(same), b2 = randomCase(same);
    solve(a2.first, a2.second);
    solve(b2.first, b2.second);
    std::thread ta([&] { solve(a.first, a.second); }), tb([&] { solve(b.first, b.second); });
    ta.join();
    tb.join();
    EXPECT_TRUE(meshBytes(a.first) == meshBytes(a2.first) && meshBytes(b.first) == meshBytes(b2.first)) << round;
  }
}

TEST(SmoothGridInterruptionTest, CancelledRequestStopsTheSolveAndLeavesTheMeshUnfilled) {
  // Cancelled before the call, and from another thread during a long solve:
  // the solve unwinds (the sanitizer build checks that nothing leaks) and no
  // pixel has been written.
  for (int delayMs : {-1, 5}) {
    IxTile big = makeMesh(Rect(0, 0, 513, 513));
    for (int i = 0; i < 2000; ++i) constrain(big, i * 7919 % 513, i * 104729 % 513, i % 513 + 0.5 * std::sin(i), i % 511);
    std::vector<std::byte> const before = meshBytes(big);
    auto request = std::make_shared<PxRequest>();
    if (delayMs < 0) request->cancel();
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::max(delayMs, 0)));
      request->cancel();
    });
    PxRequestScope scope(request.get());
    EXPECT_THROW(solve(big, Args{.passWork = 1000000, .cycleWork = {100000}, .refineThreshold = 0.0}), PxInterruptedException) << delayMs;
    canceller.join();
    EXPECT_EQ(meshBytes(big), before) << delayMs;
  }
}

}  // namespace
