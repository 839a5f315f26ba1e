// The grid solver's energies and minimisers, exercised directly on small
// hand-built lattices: stencil coefficients, gradients against finite
// differences, the line quadratic, exact zeros, fold guards, and the
// minimisers against a dense solve.
#include "warpGridProcEnergy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "base/assertions.h"
#include "pluginAPI/pxRequestMgr.h"
#include "warpGridProc.h"

namespace Qx::Warper2D::gridsolver {
namespace {

// A lattice over a mesh tile whose region starts at (x0, y0), built the way
// the solver builds it: parameters at multiples of the top-level step, more
// where cells are subdivided. Positions start at the identity.
struct TestLattice {
  int nx, ny, step, x0, y0;
  std::vector<std::uint8_t> flags;
  std::vector<std::int32_t> parmIndex;
  std::vector<double> positions;
  std::vector<double> targets;
  IxTile mesh;

  TestLattice(int nx_, int ny_, int step_, int x0_ = 7, int y0_ = -3)
      : nx(nx_), ny(ny_), step(step_), x0(x0_), y0(y0_),
        flags(static_cast<std::size_t>(nx * ny), Interpolate),
        parmIndex(static_cast<std::size_t>(nx * ny), kNoParm),
        targets(2 * static_cast<std::size_t>(nx * ny), 0.0),
        mesh(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), GeRectangle<int>(x0, y0, x0 + nx, y0 + ny)) {
    for (int y = 0; y < ny; y += step)
      for (int x = 0; x < nx; x += step) addParm(x, y);
  }
  int idx(int x, int y) const { return y * nx + x; }
  int nParms() const { return static_cast<int>(positions.size() / 2); }
  int parm(int x, int y) const { return parmIndex[static_cast<std::size_t>(idx(x, y))]; }
  void addParm(int x, int y) {
    if (x >= nx || y >= ny || !(flags[idx(x, y)] & Interpolate)) return;
    flags[idx(x, y)] &= ~Interpolate;
    parmIndex[idx(x, y)] = nParms();
    positions.push_back(x0 + x);
    positions.push_back(y0 + y);
  }
  void subdivide(int x, int y, int s) {
    int const h = s / 2;
    addParm(x + h, y), addParm(x + h, y + s), addParm(x, y + h), addParm(x + s, y + h), addParm(x + h, y + h);
  }
  // Ties a point to a target; under hard constraints the position holds it.
  void constrain(int x, int y, bool smoothed, double tx, double ty) {
    flags[idx(x, y)] |= Constrained | (smoothed ? SmoothedConstraint : 0);
    targets[2 * idx(x, y)] = tx, targets[2 * idx(x, y) + 1] = ty;
    positions[2 * parm(x, y)] = tx, positions[2 * parm(x, y) + 1] = ty;
  }
  void setPass(int x, int y, std::uint32_t pass) {
    IxWriteGuard w(mesh);
    writeMeshBits(w.getPixelAddress(x0 + x, y0 + y), pass);
  }
  std::unique_ptr<MultivariateQuadraticConstraints> energy(bool affine, double magnet = 0.0, unsigned pass = 0) const {
    IxReadGuard r(mesh);
    if (affine)
      return std::make_unique<MultivariateQuadraticAffine>(magnet, nx, ny, step, flags.data(), pass, r, nParms(),
                                                           parmIndex.data(), positions.data(), targets.data());
    return std::make_unique<MultivariateQuadraticSimilarity>(magnet, nx, ny, step, flags.data(), pass, r, nParms(),
                                                             parmIndex.data(), targets.data());
  }
  // Applies p -> M p + t to every position.
  void mapAll(double a, double b, double c, double d, double tx, double ty) {
    for (std::size_t i = 0; i < positions.size(); i += 2) {
      double const x = positions[i], y = positions[i + 1];
      positions[i] = a * x + b * y + tx, positions[i + 1] = c * x + d * y + ty;
    }
  }
};

void refineRandomly(TestLattice& l, std::mt19937& rng, int x, int y, int s) {
  if (s < 2 || std::uniform_real_distribution<>(0, 1)(rng) < 0.45) return;
  l.subdivide(x, y, s);
  int const h = s / 2;
  for (int dy = 0; dy <= h; dy += h)
    for (int dx = 0; dx <= h; dx += h) refineRandomly(l, rng, x + dx, y + dy, h);
}

// A refined lattice with scattered constraints and jittered positions.
TestLattice randomLattice(std::mt19937& rng, double jitter) {
  std::uniform_int_distribution<> stepPick(0, 3), cells(1, 3);
  int const step = 1 << stepPick(rng);
  TestLattice l(step * cells(rng) + 1, step * cells(rng) + 1, step);
  for (int y = 0; y + step < l.ny; y += step)
    for (int x = 0; x + step < l.nx; x += step) refineRandomly(l, rng, x, y, step);
  std::uniform_real_distribution<> u(-1, 1), coin(0, 1);
  for (double& p : l.positions) p += jitter * u(rng);
  for (int y = 0; y < l.ny; ++y)
    for (int x = 0; x < l.nx; ++x)
      if (!(l.flags[l.idx(x, y)] & Interpolate) && coin(rng) < 0.25)
        l.constrain(x, y, coin(rng) < 0.5, l.x0 + x + u(rng), l.y0 + y + u(rng));
  return l;
}

// Every parameter back at its own lattice point (constraints included).
std::vector<double> identityPositions(TestLattice const& l) {
  std::vector<double> p(l.positions.size());
  for (int y = 0; y < l.ny; ++y)
    for (int x = 0; x < l.nx; ++x)
      if (l.parm(x, y) >= 0) p[2 * l.parm(x, y)] = l.x0 + x, p[2 * l.parm(x, y) + 1] = l.y0 + y;
  return p;
}

// The term of point (x, y); n = 0 when the point has none.
SimilarityTermView simTerm(TestLattice const& l, int x, int y, unsigned pass = 0) {
  auto e = l.energy(false, 0.0, pass);
  return static_cast<MultivariateQuadraticSimilarity&>(*e).findTerm(l.parm(x, y)).value_or(SimilarityTermView{});
}
AffineTermView affTerm(TestLattice const& l, int x, int y) {
  auto e = l.energy(true);
  return static_cast<MultivariateQuadraticAffine&>(*e).findTerm(l.parm(x, y)).value_or(AffineTermView{});
}

AssertionFailure catchFailure(std::function<void()> const& f) {
  try {
    f();
  } catch (AssertionFailure const& a) {
    return a;
  }
  ADD_FAILURE() << "no assertion failed";
  return AssertionFailure("", 0, "");
}

// ---------------------------------------------------------------------------

TEST(StencilCoefficientsTest, FreePointWithFourEqualNeighboursGetsQuarters) {
  TestLattice l(3, 3, 1);
  SimilarityTermView const s = simTerm(l, 1, 1);
  ASSERT_EQ(s.n, 4);
  // Neighbour order: +x, +y, -x, -y.
  int const want[4] = {l.parm(2, 1), l.parm(1, 2), l.parm(0, 1), l.parm(1, 0)};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(s.inds[k], want[k]);
    EXPECT_EQ(s.a[k], 0.25);
    EXPECT_EQ(s.b[k], 0.0);
  }
  AffineTermView const a = affTerm(l, 1, 1);
  ASSERT_EQ(a.n, 5);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(a.coefs[k], 0.25);
  EXPECT_EQ(a.inds[4], l.parm(1, 1));
  EXPECT_EQ(a.coefs[4], -1.0);
}

TEST(StencilCoefficientsTest, StraightBorderPoint) {
  TestLattice l(3, 3, 1);
  SimilarityTermView const s = simTerm(l, 1, 0);
  ASSERT_EQ(s.n, 3);
  double const wantA[3] = {3.0 / 8, 2.0 / 8, 3.0 / 8}, wantB[3] = {1.0 / 8, 0.0, -1.0 / 8};
  for (int k = 0; k < 3; ++k) {
    EXPECT_DOUBLE_EQ(s.a[k], wantA[k]);
    EXPECT_DOUBLE_EQ(s.b[k], wantB[k]);
  }
  // The affine model drops the inward neighbour: the midpoint of the border.
  AffineTermView const a = affTerm(l, 1, 0);
  ASSERT_EQ(a.n, 3);
  EXPECT_EQ(a.inds[0], l.parm(2, 0));
  EXPECT_EQ(a.inds[1], l.parm(0, 0));
  EXPECT_EQ(a.coefs[0], 0.5);
  EXPECT_EQ(a.coefs[1], 0.5);
  EXPECT_EQ(a.coefs[2], -1.0);
}

TEST(StencilCoefficientsTest, CornerHasSimilarityTermOnly) {
  TestLattice l(3, 3, 1);
  EXPECT_EQ(simTerm(l, 0, 0).n, 2);
  EXPECT_EQ(affTerm(l, 0, 0).n, 0);
  // Similarity terms everywhere, affine terms everywhere but the corners.
  EXPECT_EQ(l.energy(false)->getNTerms(), 9);
  EXPECT_EQ(l.energy(true)->getNTerms(), 5);
}

TEST(StencilCoefficientsTest, ConstrainedPointWithoutSmoothingHasEmptyTerm) {
  TestLattice l(3, 3, 1);
  l.constrain(1, 1, false, 9.0, 0.0);
  EXPECT_EQ(simTerm(l, 1, 1).n, 0);
  EXPECT_EQ(affTerm(l, 1, 1).n, 0);
  EXPECT_EQ(l.energy(false)->getNTerms(), 8);
}

TEST(StencilCoefficientsTest, AffineFoldsConstrainedPointsIntoConstants) {
  TestLattice l(3, 3, 1);
  l.constrain(2, 1, false, 100.0, 10.0);
  l.constrain(1, 1, true, 50.0, 20.0);
  // Three free neighbours remain; the constrained neighbour and the centre
  // itself went into the constants.
  AffineTermView const a = affTerm(l, 1, 1);
  ASSERT_EQ(a.n, 3);
  EXPECT_DOUBLE_EQ(a.constX, 0.25 * 100.0 - 50.0);
  EXPECT_DOUBLE_EQ(a.constY, 0.25 * 10.0 - 20.0);
}

TEST(StencilCoefficientsTest, NeighboursFollowTheQuadtreeLevel) {
  // One top-level cell of size 4 subdivided once: (4, 2) is a hanging point.
  TestLattice l(9, 5, 4);
  l.subdivide(0, 0, 4);
  SimilarityTermView const s = simTerm(l, 2, 2);
  ASSERT_EQ(s.n, 4);
  EXPECT_EQ(s.inds[0], l.parm(4, 2));
  EXPECT_EQ(s.inds[3], l.parm(2, 0));
  // The hanging point sees only the ends of its edge and its inner
  // neighbour; the affine model makes it the midpoint of the edge.
  AffineTermView const a = affTerm(l, 4, 2);
  ASSERT_EQ(a.n, 3);
  EXPECT_EQ(a.inds[0], l.parm(4, 4));
  EXPECT_EQ(a.inds[1], l.parm(4, 0));
  EXPECT_EQ(a.coefs[0], 0.5);
  // The coarse point (8, 4) reaches 4 units across the coarse cell.
  SimilarityTermView const c = simTerm(l, 8, 4);
  ASSERT_EQ(c.n, 2);
  EXPECT_EQ(c.inds[0], l.parm(4, 4));
  EXPECT_EQ(c.inds[1], l.parm(8, 0));
}

TEST(StencilCoefficientsTest, ConstrainedPointIgnoresNeighboursOfLaterPasses) {
  TestLattice l(3, 3, 1);
  l.constrain(1, 1, true, 8.0, -2.0);
  l.setPass(2, 1, 3);
  EXPECT_EQ(simTerm(l, 1, 1, 2).n, 3);
  EXPECT_EQ(simTerm(l, 1, 1, 3).n, 4);
  // A free point keeps that neighbour whatever the pass.
  EXPECT_EQ(simTerm(l, 2, 2, 2).n, 2);
}

TEST(StencilCoefficientsTest, BadParameterIndexFailsUnderSolverName) {
  TestLattice l(3, 3, 1);
  l.parmIndex[4] = l.nParms();
  AssertionFailure f = catchFailure([&] { l.energy(false); });
  EXPECT_EQ(f.file(), "warpGridProc");
  EXPECT_EQ(f.condition(), "parmIndex >= 0 && parmIndex < nParms");
}

// ---------------------------------------------------------------------------

// Exact zeros: a similarity is predicted exactly by both models, an affine
// map only by the affine model, on refined lattices with hanging points.
TEST(EnergyTest, ExactTransformsHaveZeroEnergy) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 20; ++trial) {
    TestLattice l = randomLattice(rng, 0.0);
    std::vector<double> const identity = identityPositions(l);
    double const th = 0.3 + trial * 0.1, sc = 1.5;
    l.positions = identity;
    l.mapAll(sc * std::cos(th), -sc * std::sin(th), sc * std::sin(th), sc * std::cos(th), 5.0, -12.0);
    for (bool affine : {false, true}) {
      auto e = l.energy(affine);
      EXPECT_NEAR(e->computeEnergy(l.positions.data(), nullptr), 0.0, 1e-18) << trial;
    }
    l.positions = identity;
    l.mapAll(1.2, 0.7, -0.1, 0.9, 3.0, 4.0);
    EXPECT_NEAR(l.energy(true)->computeEnergy(l.positions.data(), nullptr), 0.0, 1e-14);
    if (l.nParms() >= 9) {
      EXPECT_GT(l.energy(false)->computeEnergy(l.positions.data(), nullptr), 1e-6);  // a shear is no similarity
    }
  }
}

TEST(EnergyTest, PerTermResidualsSumToTheSmoothnessEnergy) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 20; ++trial) {
    TestLattice l = randomLattice(rng, 0.4);
    for (bool affine : {false, true}) {
      auto e = l.energy(affine);
      std::vector<double> perTerm(static_cast<std::size_t>(l.nParms()), -1.0);
      double const total = e->computeEnergy(l.positions.data(), perTerm.data());
      double sum = 0.0;
      for (double q : perTerm) {
        EXPECT_GE(q, 0.0);
        sum += q;
      }
      EXPECT_NEAR(sum, total, 1e-12 * (1 + total));
    }
  }
}

// Central differences are exact on quadratics up to rounding; the fold
// penalty is only C1, so allow a little more.
void expectGradientMatchesDifferences(MultivariateQuadraticBase const& e, std::vector<double> x, bool hard,
                                      MultivariateQuadraticConstraints const& c) {
  std::vector<double> g(x.size());
  e.computeGradient(x.data(), g.data());
  double const h = 1e-5;
  double const scale = e.computeEnergy(x.data(), nullptr);
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (hard && (c.getParmFlags(static_cast<int>(i / 2)) & Constrained)) {
      EXPECT_EQ(g[i], 0.0);
      continue;
    }
    double const xi = x[i];
    x[i] = xi + h;
    double const ep = e.computeEnergy(x.data(), nullptr);
    x[i] = xi - h;
    double const em = e.computeEnergy(x.data(), nullptr);
    x[i] = xi;
    double const fd = (ep - em) / (2 * h);
    EXPECT_NEAR(g[i], fd, 1e-5 * (1 + std::fabs(g[i])) + 1e-13 * scale / h) << "coordinate " << i;
  }
}

TEST(EnergyTest, GradientMatchesCentralDifferences) {
  std::mt19937 rng(2024);
  int activeFolds = 0;
  for (int trial = 0; trial < 24; ++trial) {
    TestLattice l = randomLattice(rng, trial % 2 ? 0.7 : 0.2);
    for (bool affine : {false, true}) {
      for (double magnet : {0.0, 0.75}) {
        auto e = l.energy(affine, magnet);
        expectGradientMatchesDifferences(*e, l.positions, magnet == 0.0, *e);
        for (FoldTriangle const& t : e->getTriangles()) {
          double const* p = l.positions.data();
          double d = ((p[2 * t.i2] - p[2 * t.i1]) * (p[2 * t.i0 + 1] - p[2 * t.i1 + 1]) -
                      (p[2 * t.i2 + 1] - p[2 * t.i1 + 1]) * (p[2 * t.i0] - p[2 * t.i1])) * t.scale;
          activeFolds += d < e->getMinFoldArea();
        }
      }
    }
  }
  EXPECT_GT(activeFolds, 0) << "no fold penalty was exercised";
}

TEST(EnergyTest, LineQuadraticMatchesEnergyAlongALine) {
  std::mt19937 rng(77);
  std::uniform_real_distribution<> u(-1, 1);
  for (int trial = 0; trial < 20; ++trial) {
    TestLattice l = randomLattice(rng, 0.5);
    std::vector<double> d(l.positions.size()), y(l.positions.size());
    for (double& v : d) v = u(rng);
    for (bool affine : {false, true}) {
      auto e = l.energy(affine);
      double a, b, c;
      e->computeLineQuadratic(l.positions.data(), d.data(), a, b, c);
      EXPECT_GE(a, 0.0);
      for (double t : {-1.5, 0.0, 0.3, 2.0}) {
        for (std::size_t i = 0; i < y.size(); ++i) y[i] = l.positions[i] + t * d[i];
        double const want = e->computeEnergy(y.data(), nullptr);
        EXPECT_NEAR((a * t + b) * t + c, want, 1e-10 * (1 + want));
      }
    }
  }
}

TEST(EnergyTest, LineQuadraticRefusesSoftConstraints) {
  TestLattice l(3, 3, 1);
  for (bool affine : {false, true}) {
    auto e = l.energy(affine, 0.5);
    double a, b, c;
    AssertionFailure f = catchFailure([&] { e->computeLineQuadratic(l.positions.data(), l.positions.data(), a, b, c); });
    EXPECT_EQ(f.file(), "warpGridProc");
    EXPECT_EQ(f.condition(), "_magnetWeight == 0.0");
  }
}

TEST(EnergyTest, SoftConstraintsPullTowardsTargets) {
  TestLattice l(3, 3, 1);
  l.constrain(1, 1, true, 8.0 + 1.0, -2.0 + 0.0);  // the point's own position, moved by 1 in x
  auto e = l.energy(false, 2.0);
  ASSERT_NE(e->getTarget(l.parm(1, 1)), nullptr);
  std::vector<double> x = l.positions;
  x[2 * l.parm(1, 1)] -= 1.0;  // back to the identity: spring energy 2 * 1^2
  EXPECT_NEAR(e->computeEnergy(x.data(), nullptr), 2.0, 1e-12);
  std::vector<double> g(x.size());
  e->computeGradient(x.data(), g.data());
  EXPECT_NEAR(g[2 * l.parm(1, 1)], -4.0, 1e-12);
  EXPECT_EQ(l.energy(false, 0.0)->getTarget(0), nullptr);
}

// ---------------------------------------------------------------------------

TEST(FoldTriangleTest, OneLeafGuardsEveryCornerAgainstTheFarEdges) {
  TestLattice l(3, 3, 2);
  auto e = l.energy(false, 1.0);
  ASSERT_EQ(e->getTriangles().size(), 8u);
  for (FoldTriangle const& t : e->getTriangles()) EXPECT_EQ(t.scale, 0.25);
  // At the identity every corner is a full cell side inside: no penalty.
  EXPECT_EQ(e->computeEnergy(l.positions.data(), nullptr), 0.0);
  // Pulling a corner across the diagonal folds the cell and costs.
  std::vector<double> x = l.positions;
  x[2 * l.parm(2, 2)] -= 3.0, x[2 * l.parm(2, 2) + 1] -= 3.0;
  EXPECT_GT(e->computeEnergy(x.data(), nullptr), 1e7);
}

TEST(FoldTriangleTest, SubdividedCellGuardsItsChildren) {
  TestLattice l(5, 5, 4);
  l.subdivide(0, 0, 4);
  EXPECT_EQ(l.energy(true, 1.0)->getTriangles().size(), 32u);
}

TEST(FoldTriangleTest, LeafBesideAFinerNeighbourKeepsItsHangingPoint) {
  // The left leaf has five boundary points, (4, 2) hanging on its right
  // edge: 2 + 2 + 3 + 3 + 3 guards. The right cell's four children have 8
  // each. The square (2, 0, 2) of the left leaf is no cell and adds none.
  TestLattice l(9, 5, 4);
  l.subdivide(4, 0, 4);
  EXPECT_EQ(l.energy(false, 1.0)->getTriangles().size(), 13u + 32u);
}

// ---------------------------------------------------------------------------

// Solves H z = -g0 for the free coordinates by Gaussian elimination, where
// g(x + z) = H z + g0 is read off the energy's own gradient (small probes,
// so that an inactive fold guard stays inactive).
std::vector<double> denseMinimum(MultivariateQuadraticBase const& e, std::vector<double> x) {
  std::size_t const n = x.size();
  std::vector<double> g0(n), gi(n), base = x;
  e.computeGradient(x.data(), g0.data());
  std::vector<std::vector<double>> h(n);
  for (std::vector<double>& row : h) row.assign(n, 0.0), row.push_back(0.0);
  for (std::size_t j = 0; j < n; ++j) {
    double const probe = 1e-3;
    x[j] += probe;
    e.computeGradient(x.data(), gi.data());
    x[j] = base[j];
    for (std::size_t i = 0; i < n; ++i) h[i][j] = (gi[i] - g0[i]) / probe;
  }
  for (std::size_t i = 0; i < n; ++i) {
    h[i][n] = -g0[i];
    if (h[i][i] == 0.0) h[i][i] = 1.0, h[i][n] = 0.0;  // a fixed coordinate stays
  }
  for (std::size_t c = 0; c < n; ++c) {
    std::size_t piv = c;
    for (std::size_t r = c + 1; r < n; ++r)
      if (std::fabs(h[r][c]) > std::fabs(h[piv][c])) piv = r;
    std::swap(h[c], h[piv]);
    for (std::size_t r = 0; r < n; ++r) {
      if (r == c) continue;
      double const f = h[r][c] / h[c][c];
      for (std::size_t k = c; k <= n; ++k) h[r][k] -= f * h[c][k];
    }
  }
  for (std::size_t i = 0; i < n; ++i) base[i] += h[i][n] / h[i][i];
  return base;
}

TEST(MinimiseQuadraticTest, ReachesTheExactMinimumOfASmallSystem) {
  for (bool affine : {false, true}) {
    TestLattice l(5, 4, 1);
    for (int x = 0; x < 5; ++x) l.constrain(x, 0, true, l.x0 + x, l.y0 - 0.5 * x);
    l.constrain(0, 3, false, l.x0 - 1.0, l.y0 + 3.0);
    l.constrain(4, 3, true, l.x0 + 6.0, l.y0 + 4.0);
    auto e = l.energy(affine);
    std::vector<double> want = denseMinimum(*e, l.positions);
    std::vector<double> x = l.positions;
    bool converged = false;
    int const iters = minimiseQuadratic(*e, x.data(), 200, 1e-13, 0.0, converged);
    EXPECT_TRUE(converged);
    EXPECT_LE(iters, 60);
    for (std::size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(x[i], want[i], 1e-8) << i;
    for (int x0 = 0; x0 < 5; ++x0) EXPECT_EQ(x[2 * l.parm(x0, 0) + 1], l.positions[2 * l.parm(x0, 0) + 1]);
  }
}

TEST(MinimiseQuadraticTest, OneFreePointIsSolvedInOneStep) {
  TestLattice l(3, 3, 1);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x)
      if (x != 1 || y != 1) l.constrain(x, y, false, l.x0 + x + 0.5 * y, l.y0 + y);
  auto e = l.energy(false);
  std::vector<double> x = l.positions;
  bool converged = true;
  EXPECT_EQ(minimiseQuadratic(*e, x.data(), 1, 0.0, 0.0, converged), 1);
  EXPECT_FALSE(converged);
  // The centre goes to the mean of its four neighbours, (x0 + 1.5, y0 + 1).
  EXPECT_NEAR(x[2 * l.parm(1, 1)], l.x0 + 1.5, 1e-12);
  EXPECT_NEAR(x[2 * l.parm(1, 1) + 1], l.y0 + 1.0, 1e-12);
  EXPECT_NEAR(e->computeEnergy(x.data(), nullptr), 0.0, 1e-20);
}

TEST(MinimiseQuadraticTest, ZeroGradientConvergesAtOnceWithoutMoving) {
  TestLattice l(9, 9, 2);
  l.mapAll(1.0, 0.0, 0.0, 1.0, 1.0, -2.0);  // integer shift: every residual is exactly 0
  l.constrain(4, 4, true, l.positions[2 * l.parm(4, 4)], l.positions[2 * l.parm(4, 4) + 1]);
  std::vector<double> const before = l.positions;
  std::vector<double> x = before;
  bool converged = false;
  EXPECT_EQ(minimiseQuadratic(*l.energy(false), x.data(), 50, 1e-10, 1e-20, converged), 1);
  EXPECT_TRUE(converged);
  EXPECT_EQ(x, before);
  EXPECT_EQ(minimiseByStepSearch(*l.energy(false, 1.0), x.data(), 50, 1e-10, 1e-20, converged), 0);
  EXPECT_TRUE(converged);
  EXPECT_EQ(x, before);
}

// Counts every evaluation, to show that no iteration means no work.
class CountingEnergy : public MultivariateQuadraticBase {
 public:
  int getNParms() const override { return 1; }
  double computeEnergy(double const*, double*) const override { return ++calls, 0.0; }
  void computeGradient(double const*, double* g) const override { ++calls, g[0] = g[1] = 0.0; }
  void computeLineQuadratic(double const*, double const*, double& a, double& b, double& c) const override {
    ++calls, a = b = c = 0.0;
  }
  mutable int calls = 0;
};

TEST(MinimiserTest, NoIterationsMeansNoWork) {
  CountingEnergy e;
  double x[2] = {1.0, 2.0};
  bool converged = true;
  EXPECT_EQ(minimiseQuadratic(e, x, 0, 1e-10, 1e-20, converged), 0);
  EXPECT_FALSE(converged);
  converged = true;
  EXPECT_EQ(minimiseByStepSearch(e, x, 0, 1e-10, 1e-20, converged), 0);
  EXPECT_FALSE(converged);
  EXPECT_EQ(e.calls, 0);
}

TEST(MinimiseByStepSearchTest, ApproachesTheSoftConstrainedMinimum) {
  for (bool affine : {false, true}) {
    TestLattice l(6, 6, 1);
    l.constrain(1, 1, true, l.x0 + 1.5, l.y0 + 0.5);
    l.constrain(4, 4, true, l.x0 + 4.0, l.y0 + 5.0);
    l.constrain(1, 4, true, l.x0 + 1.0, l.y0 + 4.5);
    // The affine model's zero-energy maps are fixed by the four corners
    // (border rows are linear, the inside harmonic): four springs pin them.
    l.constrain(4, 1, true, l.x0 + 4.0, l.y0 + 1.0);
    auto e = l.energy(affine, 10.0);
    // Start from the identity; the folds stay inactive, so the energy is
    // quadratic and a dense solve gives its minimum.
    std::vector<double> x = identityPositions(l);
    std::vector<double> const want = denseMinimum(*e, x);
    double const e0 = e->computeEnergy(x.data(), nullptr);
    bool converged = false;
    int const iters = minimiseByStepSearch(*e, x.data(), 2000, 1e-9, 0.0, converged);
    EXPECT_TRUE(converged);
    EXPECT_GT(iters, 0);
    EXPECT_LT(e->computeEnergy(x.data(), nullptr), e0);
    for (std::size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(x[i], want[i], 1e-4) << i;
  }
}

TEST(MinimiserTest, RandomLatticesNeverFailAndNeverRaiseTheEnergy) {
  std::mt19937 rng(99);
  for (int trial = 0; trial < 60; ++trial) {
    TestLattice l = randomLattice(rng, 0.8);
    for (bool affine : {false, true}) {
      for (double magnet : {0.0, 3.0}) {
        auto e = l.energy(affine, magnet);
        std::vector<double> x = l.positions;
        double const before = e->computeEnergy(x.data(), nullptr);
        bool converged = false;
        int const iters = magnet == 0.0 ? minimiseQuadratic(*e, x.data(), 40, 1e-10, 1e-20, converged)
                                        : minimiseByStepSearch(*e, x.data(), 40, 1e-10, 1e-20, converged);
        double const after = e->computeEnergy(x.data(), nullptr);
        EXPECT_TRUE(iters >= 0 && iters <= 40);
        EXPECT_TRUE(std::isfinite(after));
        EXPECT_LE(after, before * (1 + 1e-12) + 1e-12) << trial;
        for (double v : x) ASSERT_TRUE(std::isfinite(v));
      }
    }
  }
}

TEST(MinimiserTest, NaNPositionsAndZeroTolerancesEndCleanly) {
  TestLattice l(9, 9, 1);
  l.constrain(4, 4, true, l.x0 + 6.0, l.y0 + 4.0);
  std::vector<double> x = l.positions;
  bool converged = true;
  // A zero step tolerance cannot stop the step search by itself: it must
  // still end, through the iteration limit or the energy tolerance.
  EXPECT_LE(minimiseByStepSearch(*l.energy(false, 1.0), x.data(), 25, 0.0, 0.0, converged), 25);
  for (double v : x) EXPECT_TRUE(std::isfinite(v));
  x[2 * l.parm(2, 2)] = std::nan("");
  EXPECT_LE(minimiseByStepSearch(*l.energy(true, 1.0), x.data(), 25, 1e-10, 1e-20, converged), 25);
  // The exact line search reports a NaN energy as a failed invariant.
  AssertionFailure f = catchFailure([&] { minimiseQuadratic(*l.energy(false), x.data(), 25, 1e-10, 1e-20, converged); });
  EXPECT_EQ(f.file(), "warpGridProc");
  EXPECT_EQ(f.condition(), "c >= -1.0e-8");
}

// ---------------------------------------------------------------------------
// Working order: the energies evaluate in lattice row order whatever order
// the parameters were created in, so renumbering them changes nothing.

// The same lattice with parameter p renamed perm[p] (positions moved along).
TestLattice renumbered(TestLattice const& l, std::vector<int> const& perm) {
  TestLattice r = l;
  for (std::int32_t& p : r.parmIndex)
    if (p >= 0) p = perm[static_cast<std::size_t>(p)];
  for (std::size_t p = 0; p < perm.size(); ++p) {
    r.positions[2 * static_cast<std::size_t>(perm[p])] = l.positions[2 * p];
    r.positions[2 * static_cast<std::size_t>(perm[p]) + 1] = l.positions[2 * p + 1];
  }
  return r;
}

std::vector<int> rowOrderNumbering(TestLattice const& l) {
  std::vector<int> perm(static_cast<std::size_t>(l.nParms()));
  int next = 0;
  for (int p : l.parmIndex)
    if (p >= 0) perm[static_cast<std::size_t>(p)] = next++;
  return perm;
}

// x of the renumbered lattice, read back in the original numbering.
std::vector<double> inOriginalNumbering(std::vector<double> const& x, std::vector<int> const& perm) {
  std::vector<double> out(x.size());
  for (std::size_t p = 0; p < perm.size(); ++p) {
    out[2 * p] = x[2 * static_cast<std::size_t>(perm[p])];
    out[2 * p + 1] = x[2 * static_cast<std::size_t>(perm[p]) + 1];
  }
  return out;
}

TEST(WorkingOrderTest, IsTheLatticeRowOrderAndAbsentForRowOrderNumbering) {
  std::mt19937 rng(31);
  int scattered = 0;
  for (int trial = 0; trial < 10; ++trial) {
    TestLattice const l = randomLattice(rng, 0.3);
    for (bool affine : {false, true}) {
      auto const e = l.energy(affine);
      std::int32_t const* order = e->getWorkingOrder();
      std::vector<int> rowOrder;
      for (int p : l.parmIndex)
        if (p >= 0) rowOrder.push_back(p);
      if (order) {
        ++scattered;
        EXPECT_EQ(std::vector<int>(order, order + l.nParms()), rowOrder);
      } else {
        for (int i = 0; i < l.nParms(); ++i) EXPECT_EQ(rowOrder[static_cast<std::size_t>(i)], i);
      }
      EXPECT_EQ(renumbered(l, rowOrderNumbering(l)).energy(affine)->getWorkingOrder(), nullptr);
    }
  }
  EXPECT_GT(scattered, 0) << "no lattice was numbered out of row order";
}

TEST(WorkingOrderTest, RenumberingTheParametersChangesNoResult) {
  std::mt19937 rng(404);
  std::uniform_real_distribution<> u(-1, 1);
  for (int trial = 0; trial < 16; ++trial) {
    TestLattice const l = randomLattice(rng, 0.6);
    std::vector<int> perm(static_cast<std::size_t>(l.nParms()));
    for (std::size_t p = 0; p < perm.size(); ++p) perm[p] = static_cast<int>(p);
    std::shuffle(perm.begin(), perm.end(), rng);
    TestLattice const r = renumbered(l, perm);
    std::vector<double> d(l.positions.size());
    for (double& v : d) v = u(rng);
    std::vector<double> dr(d.size());
    for (std::size_t p = 0; p < perm.size(); ++p)
      dr[2 * static_cast<std::size_t>(perm[p])] = d[2 * p], dr[2 * static_cast<std::size_t>(perm[p]) + 1] = d[2 * p + 1];

    for (bool affine : {false, true}) {
      for (double magnet : {0.0, 2.0}) {
        auto const e = l.energy(affine, magnet), er = r.energy(affine, magnet);
        std::size_t const n = l.positions.size();
        std::vector<double> perTerm(n / 2), perTermR(n / 2);
        // Both evaluate in the same working order: equal to the last bit.
        EXPECT_EQ(e->computeEnergy(l.positions.data(), perTerm.data()),
                  er->computeEnergy(r.positions.data(), perTermR.data()));
        for (std::size_t p = 0; p < perm.size(); ++p) EXPECT_EQ(perTerm[p], perTermR[static_cast<std::size_t>(perm[p])]);
        std::vector<double> g(n), gr(n);
        e->computeGradient(l.positions.data(), g.data());
        er->computeGradient(r.positions.data(), gr.data());
        EXPECT_EQ(inOriginalNumbering(gr, perm), g);
        if (magnet == 0.0) {
          double a, b, c, ar, br, cr;
          e->computeLineQuadratic(l.positions.data(), d.data(), a, b, c);
          er->computeLineQuadratic(r.positions.data(), dr.data(), ar, br, cr);
          EXPECT_EQ(a, ar);
          EXPECT_EQ(b, br);
          EXPECT_EQ(c, cr);
        }
        std::vector<FoldTriangle> const t = e->getTriangles(), tr = er->getTriangles();
        ASSERT_EQ(t.size(), tr.size());
        for (std::size_t k = 0; k < t.size(); ++k) {
          EXPECT_EQ(perm[static_cast<std::size_t>(t[k].i0)], tr[k].i0);
          EXPECT_EQ(perm[static_cast<std::size_t>(t[k].i2)], tr[k].i2);
        }
        std::vector<double> x = l.positions, xr = r.positions;
        bool conv = false, convR = false;
        int const iters = magnet == 0.0 ? minimiseQuadratic(*e, x.data(), 30, 1e-12, 1e-20, conv)
                                        : minimiseByStepSearch(*e, x.data(), 30, 1e-12, 1e-20, conv);
        int const itersR = magnet == 0.0 ? minimiseQuadratic(*er, xr.data(), 30, 1e-12, 1e-20, convR)
                                         : minimiseByStepSearch(*er, xr.data(), 30, 1e-12, 1e-20, convR);
        EXPECT_EQ(iters, itersR);
        EXPECT_EQ(conv, convR);
        EXPECT_EQ(inOriginalNumbering(xr, perm), x) << trial << " affine " << affine << " magnet " << magnet;
      }
    }
    // The views speak parameter numbers.
    auto const sim = static_cast<MultivariateQuadraticSimilarity&>(*l.energy(false)).findTerm(0);
    auto const simR = static_cast<MultivariateQuadraticSimilarity&>(*r.energy(false)).findTerm(perm[0]);
    ASSERT_EQ(sim.has_value(), simR.has_value());
    if (sim) {
      for (int k = 0; k < sim->n; ++k) EXPECT_EQ(perm[static_cast<std::size_t>(sim->inds[k])], simR->inds[k]);
    }
    auto const softE = l.energy(true, 1.0), softR = r.energy(true, 1.0);
    for (std::size_t p = 0; p < perm.size(); ++p) {
      double const* tp = softE->getTarget(static_cast<int>(p));
      double const* tq = softR->getTarget(perm[p]);
      ASSERT_TRUE(tp && tq);
      EXPECT_EQ(tp[0], tq[0]);
      EXPECT_EQ(tp[1], tq[1]);
    }
  }
}

TEST(WorkingOrderTest, InterruptedMinimiserLeavesItsIterateInParameterOrder) {
  // Created coarse to fine, then the same lattice numbered in row order (no
  // working copy): an interruption after the first step must leave the same
  // positions in both.
  TestLattice l(17, 17, 4);
  for (int y = 0; y < 16; y += 4)
    for (int x = 0; x < 16; x += 4) l.subdivide(x, y, 4);
  l.constrain(2, 2, true, l.x0 + 5.0, l.y0 + 1.0);
  l.constrain(12, 14, true, l.x0 + 9.0, l.y0 + 15.0);
  std::vector<int> const perm = rowOrderNumbering(l);
  TestLattice const r = renumbered(l, perm);
  auto request = std::make_shared<PxRequest>();
  request->cancel();
  PxRequestScope scope(request.get());
  for (double magnet : {0.0, 1.0}) {
    auto const e = l.energy(false, magnet), er = r.energy(false, magnet);
    ASSERT_NE(e->getWorkingOrder(), nullptr);
    ASSERT_EQ(er->getWorkingOrder(), nullptr);
    std::vector<double> x = l.positions, xr = r.positions;
    bool converged = false;
    auto run = [&](MultivariateQuadraticBase const& en, std::vector<double>& v) {
      if (magnet == 0.0) return minimiseQuadratic(en, v.data(), 100, 1e-10, 1e-20, converged);
      return minimiseByStepSearch(en, v.data(), 100, 1e-10, 1e-20, converged);
    };
    EXPECT_THROW(run(*e, x), PxInterruptedException);
    EXPECT_THROW(run(*er, xr), PxInterruptedException);
    EXPECT_NE(x, l.positions);
    EXPECT_EQ(inOriginalNumbering(xr, perm), x);
  }
}

TEST(WorkingOrderTest, ExactLineSearchPiecesAgreeWithTheLineQuadratic) {
  // The exact line search takes c from the gradient sweep, b as g . d and a
  // from the curvature sweep; each must be the line quadratic's own.
  std::mt19937 rng(612);
  std::uniform_real_distribution<> u(-1, 1);
  for (int trial = 0; trial < 16; ++trial) {
    TestLattice const l = randomLattice(rng, 0.7);
    for (bool affine : {false, true}) {
      for (double magnet : {0.0, 1.5}) {
        auto const e = l.energy(affine, magnet);
        std::size_t const n = l.positions.size();
        std::vector<double> w(n), g(n), gw(n), d(n);
        std::int32_t const* order = e->getWorkingOrder();
        for (std::size_t i = 0; i < n / 2; ++i) {
          std::size_t const p = order ? static_cast<std::size_t>(order[i]) : i;
          w[2 * i] = l.positions[2 * p], w[2 * i + 1] = l.positions[2 * p + 1];
        }
        double const energy = e->computeWorkingGradientAndEnergy(w.data(), gw.data());
        EXPECT_EQ(energy, e->computeEnergy(l.positions.data(), nullptr));
        e->computeGradient(l.positions.data(), g.data());
        for (std::size_t i = 0; i < n / 2; ++i) {
          std::size_t const p = order ? static_cast<std::size_t>(order[i]) : i;
          EXPECT_EQ(gw[2 * i], g[2 * p]);
          EXPECT_EQ(gw[2 * i + 1], g[2 * p + 1]);
        }
        if (magnet > 0.0) {
          EXPECT_THROW(e->computeWorkingCurvature(w.data(), gw.data()), AssertionFailure);
          continue;
        }
        // A direction that, like a conjugate-gradient one, leaves the
        // constrained points alone.
        double gd = 0.0, scale = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
          d[i] = gw[i] == 0.0 ? 0.0 : u(rng);
          gd += gw[i] * d[i], scale += std::fabs(gw[i] * d[i]);
        }
        double a, b, c;
        e->computeWorkingLineQuadratic(w.data(), d.data(), a, b, c);
        EXPECT_EQ(e->computeWorkingCurvature(w.data(), d.data()), a);
        EXPECT_NEAR(c, energy, 1e-12 * (1 + energy));
        EXPECT_NEAR(b, gd, 1e-12 * (1 + scale));
      }
    }
  }
}

TEST(EnergyTest, DenseLatticeTermsStayCompact) {
  // Terms share their coefficients by stencil shape, so storage grows by a
  // term's indices only.
  TestLattice l(200, 150, 1);
  for (int x = 0; x < 200; x += 7) l.constrain(x, 75, true, l.x0 + x + 0.5, l.y0 + 80.0);
  for (bool affine : {false, true}) {
    auto e = l.energy(affine);
    EXPECT_LE(e->getStorageBytes(), 40u * static_cast<unsigned>(l.nParms())) << affine;
  }
}

TEST(MinimiserTest, CancelledRequestInterruptsBothMinimisers) {
  TestLattice l(17, 17, 1);
  l.constrain(3, 3, true, l.x0 + 9.0, l.y0 + 1.0);
  l.constrain(12, 12, true, l.x0 + 5.0, l.y0 + 15.0);
  auto request = std::make_shared<PxRequest>();
  request->cancel();
  PxRequestScope scope(request.get());
  std::vector<double> x = l.positions;
  bool converged = false;
  EXPECT_THROW(minimiseQuadratic(*l.energy(false), x.data(), 100, 1e-10, 1e-20, converged), PxInterruptedException);
  EXPECT_THROW(minimiseByStepSearch(*l.energy(true, 1.0), x.data(), 100, 1e-10, 1e-20, converged),
               PxInterruptedException);
}

}  // namespace
}  // namespace Qx::Warper2D::gridsolver
