// The grid solver's energies and minimisers on small hand-built lattices:
// stencil coefficients, exact zeros, gradients and line quadratics against
// the energy itself, fold guards, minima, limits and the working order.
#include "warpGridProcEnergy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "pluginAPI/pxRequestMgr.h"
#include "warpGridProc.h"
#include "warpTestNodes.h"

namespace Qx::Warper2D::gridsolver {
namespace {

// A lattice over a mesh tile at (x0, y0), built as the solver builds it:
// parameters at multiples of the top-level step, more where cells are
// subdivided. Positions start at the identity.
struct TestLattice {
  int nx, ny, step, x0 = 7, y0 = -3;
  std::vector<std::uint8_t> flags;
  std::vector<std::int32_t> parmIndex;
  std::vector<double> positions, targets;
  IxTile mesh;

  TestLattice(int nx_, int ny_, int step_)
      : nx(nx_), ny(ny_), step(step_), flags(nx * ny, Interpolate), parmIndex(nx * ny, kNoParm), targets(2 * nx * ny),
        mesh(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), GeRectangle<int>(x0, y0, x0 + nx, y0 + ny)) {
    for (int y = 0; y < ny; y += step)
      for (int x = 0; x < nx; x += step) addParm(x, y);
  }
  int idx(int x, int y) const { return y * nx + x; }
  int nParms() const { return int(positions.size() / 2); }
  int parm(int x, int y) const { return parmIndex[idx(x, y)]; }
  void addParm(int x, int y) {
    if (x >= nx || y >= ny || !(flags[idx(x, y)] & Interpolate)) return;
    flags[idx(x, y)] &= ~Interpolate;
    parmIndex[idx(x, y)] = nParms();
    positions.insert(positions.end(), {double(x0 + x), double(y0 + y)});
  }
  void subdivide(int x, int y, int s) {
    for (auto [i, j] : {std::pair{1, 0}, {1, 2}, {0, 1}, {2, 1}, {1, 1}}) addParm(x + i * s / 2, y + j * s / 2);
  }
  // Ties a point to a target; under hard constraints the position holds it.
  void constrain(int x, int y, bool smoothed, double tx, double ty) {
    flags[idx(x, y)] |= Constrained | (smoothed ? SmoothedConstraint : 0);
    targets[2 * idx(x, y)] = positions[2 * parm(x, y)] = tx;
    targets[2 * idx(x, y) + 1] = positions[2 * parm(x, y) + 1] = ty;
  }
  std::unique_ptr<MultivariateQuadraticConstraints> energy(bool affine, double magnet = 0.0, unsigned pass = 0) const {
    IxReadGuard r(mesh);
    if (affine)
      return std::make_unique<MultivariateQuadraticAffine>(magnet, nx, ny, step, flags.data(), pass, r, nParms(),
                                                           parmIndex.data(), positions.data(), targets.data());
    return std::make_unique<MultivariateQuadraticSimilarity>(magnet, nx, ny, step, flags.data(), pass, r, nParms(),
                                                             parmIndex.data(), targets.data());
  }
};

void refineRandomly(TestLattice& l, std::mt19937& rng, int x, int y, int s) {
  if (s < 2 || std::uniform_real_distribution<>(0, 1)(rng) < 0.45) return;
  l.subdivide(x, y, s);
  for (int dy = 0; dy <= s / 2; dy += s / 2)
    for (int dx = 0; dx <= s / 2; dx += s / 2) refineRandomly(l, rng, x + dx, y + dy, s / 2);
}

// A refined lattice (numbered coarse to fine) with scattered constraints and jittered positions.
TestLattice randomLattice(std::mt19937& rng, double jitter) {
  int const step = 1 << std::uniform_int_distribution<>(0, 3)(rng);
  std::uniform_int_distribution<> cells(1, 3);
  TestLattice l(step * cells(rng) + 1, step * cells(rng) + 1, step);
  for (int y = 0; y + step < l.ny; y += step)
    for (int x = 0; x + step < l.nx; x += step) refineRandomly(l, rng, x, y, step);
  std::uniform_real_distribution<> u(-1, 1), coin(0, 1);
  for (double& p : l.positions) p += jitter * u(rng);
  for (int y = 0; y < l.ny; ++y)
    for (int x = 0; x < l.nx; ++x)
      if (l.parm(x, y) >= 0 && coin(rng) < 0.25) l.constrain(x, y, coin(rng) < 0.5, l.x0 + x + u(rng), l.y0 + y + u(rng));
  return l;
}

SimilarityTermView simTerm(TestLattice const& l, int x, int y, unsigned pass = 0) {
  auto e = l.energy(false, 0.0, pass);
  return static_cast<MultivariateQuadraticSimilarity&>(*e).findTerm(l.parm(x, y)).value_or(SimilarityTermView{});
}
AffineTermView affTerm(TestLattice const& l, int x, int y) {
  auto e = l.energy(true);
  return static_cast<MultivariateQuadraticAffine&>(*e).findTerm(l.parm(x, y)).value_or(AffineTermView{});
}

void expectFailure(std::function<void()> const& f, std::string const& condition) {
  EXPECT_EQ(warptest::failedCondition(f), "warpGridProc: " + condition);
}

// ---- Stencils -----------------------------------------------------------------

TEST(StencilTest, WorkedCoefficients) {
  TestLattice l(3, 3, 1);
  // A free point with four equal neighbours (+x, +y, -x, -y): quarters.
  SimilarityTermView const s = simTerm(l, 1, 1);
  AffineTermView const a = affTerm(l, 1, 1);
  ASSERT_TRUE(s.n == 4 && a.n == 5);
  int const order[4] = {l.parm(2, 1), l.parm(1, 2), l.parm(0, 1), l.parm(1, 0)};
  for (int k = 0; k < 4; ++k) EXPECT_TRUE(s.inds[k] == order[k] && s.a[k] == 0.25 && s.b[k] == 0.0 && a.coefs[k] == 0.25);
  EXPECT_TRUE(a.inds[4] == l.parm(1, 1) && a.coefs[4] == -1.0);
  // A straight border point: 3/8, 2/8, 3/8 with a rotation part in the
  // similarity model; the midpoint of its border neighbours in the affine one.
  SimilarityTermView const b = simTerm(l, 1, 0);
  ASSERT_EQ(b.n, 3);
  double const wantA[3] = {3.0 / 8, 2.0 / 8, 3.0 / 8}, wantB[3] = {1.0 / 8, 0.0, -1.0 / 8};
  for (int k = 0; k < 3; ++k) EXPECT_TRUE(std::fabs(b.a[k] - wantA[k]) < 1e-15 && std::fabs(b.b[k] - wantB[k]) < 1e-15) << k;
  AffineTermView const ab = affTerm(l, 1, 0);
  EXPECT_TRUE(ab.n == 3 && ab.inds[0] == l.parm(2, 0) && ab.inds[1] == l.parm(0, 0) && ab.coefs[0] == 0.5 && ab.coefs[1] == 0.5);
  // A corner: a similarity term only. Terms: 9 and 5; a constrained point
  // without smoothing has none in either model.
  EXPECT_TRUE(simTerm(l, 0, 0).n == 2 && affTerm(l, 0, 0).n == 0);
  EXPECT_TRUE(l.energy(false)->getNTerms() == 9 && l.energy(true)->getNTerms() == 5);
  l.constrain(1, 1, false, 9.0, 0.0);
  EXPECT_EQ(simTerm(l, 1, 1).n + affTerm(l, 1, 1).n, 0);
  EXPECT_EQ(l.energy(false)->getNTerms(), 8);
}

TEST(StencilTest, QuadtreeLevelsLaterPassesAndConstrainedNeighbours) {
  // One top-level cell of size 4 subdivided once: (4, 2) is a hanging point.
  TestLattice l(9, 5, 4);
  l.subdivide(0, 0, 4);
  SimilarityTermView const s = simTerm(l, 2, 2);
  EXPECT_TRUE(s.n == 4 && s.inds[0] == l.parm(4, 2) && s.inds[3] == l.parm(2, 0));
  // The hanging point is the midpoint of its edge; the coarse (8, 4) reaches across the coarse cell.
  AffineTermView const h = affTerm(l, 4, 2);
  EXPECT_TRUE(h.n == 3 && h.inds[0] == l.parm(4, 4) && h.inds[1] == l.parm(4, 0) && h.coefs[0] == 0.5);
  SimilarityTermView const c = simTerm(l, 8, 4);
  EXPECT_TRUE(c.n == 2 && c.inds[0] == l.parm(4, 4) && c.inds[1] == l.parm(8, 0));
  // A constrained point leaves out a free neighbour of a later pass; a free point does not.
  TestLattice p(3, 3, 1);
  p.constrain(1, 1, true, 8.0, -2.0);
  writeMeshBits(IxWriteGuard(p.mesh).getPixelAddress(p.x0 + 2, p.y0 + 1), 3);
  EXPECT_TRUE(simTerm(p, 1, 1, 2).n == 3 && simTerm(p, 1, 1, 3).n == 4 && simTerm(p, 2, 2, 2).n == 2);
  // The affine model folds constrained points (neighbour and centre) into constants.
  p.constrain(2, 1, false, 100.0, 10.0);
  p.constrain(1, 1, true, 50.0, 20.0);
  AffineTermView const a = affTerm(p, 1, 1);
  EXPECT_TRUE(a.n == 3 && a.constX == 0.25 * 100.0 - 50.0 && a.constY == 0.25 * 10.0 - 20.0);
  p.parmIndex[4] = p.nParms();
  expectFailure([&] { p.energy(false); }, "parmIndex >= 0 && parmIndex < nParms");
}

// ---- Energies -------------------------------------------------------------------

TEST(EnergyTest, ExactTransformsHaveZeroEnergyAndPerTermResidualsSumToTheEnergy) {
  // A similarity is predicted exactly by both models, an affine map only by
  // the affine model, on refined lattices with hanging points.
  std::mt19937 rng(11);
  for (int trial = 0; trial < 8; ++trial) {
    TestLattice l = randomLattice(rng, 0.0);
    auto mapped = [&](double a, double b, double c, double d) {  // p -> M p + (5, -12) at every point
      std::vector<double> x(l.positions.size());
      for (int y = 0; y < l.ny; ++y)
        for (int xx = 0; xx < l.nx; ++xx)
          if (l.parm(xx, y) >= 0) x[2 * l.parm(xx, y)] = a * (l.x0 + xx) + b * (l.y0 + y) + 5, x[2 * l.parm(xx, y) + 1] = c * (l.x0 + xx) + d * (l.y0 + y) - 12;
      return x;
    };
    // The affine model folds constrained positions into its constants: the
    // energy is built on the positions it is evaluated at.
    std::vector<double> const start = l.positions;
    auto energyAt = [&](bool affine, std::vector<double> const& x) { l.positions = x; return l.energy(affine)->computeEnergy(x.data(), nullptr); };
    double const th = 0.3 + trial * 0.1, cs = 1.5 * std::cos(th), sn = 1.5 * std::sin(th);
    for (bool affine : {false, true}) EXPECT_NEAR(energyAt(affine, mapped(cs, -sn, sn, cs)), 0.0, 1e-18);
    EXPECT_NEAR(energyAt(true, mapped(1.2, 0.7, -0.1, 0.9)), 0.0, 1e-14);
    EXPECT_TRUE(l.nParms() < 9 || energyAt(false, mapped(1.2, 0.7, -0.1, 0.9)) > 1e-6);  // a shear is no similarity
    l.positions = start;
    for (bool affine : {false, true}) {
      std::vector<double> perTerm(static_cast<std::size_t>(l.nParms()), -1.0);
      double const total = l.energy(affine)->computeEnergy(l.positions.data(), perTerm.data());
      double sum = 0.0;
      for (double q : perTerm) sum += q;
      EXPECT_TRUE(*std::min_element(perTerm.begin(), perTerm.end()) >= 0.0 && std::fabs(sum - total) <= 1e-12 * (1 + total));
    }
  }
}

// Both models build their terms in bands of rows on the pool: the terms,
// their coefficient sets and constants are the same bits on any number of
// threads.
template <class Energy, class Term>
void expectSameTermsOnAnyNumberOfThreads(std::function<std::unique_ptr<Energy>(int)> const& build,
                                         TestLattice const& l, int trial) {
  auto const one = build(1);
  for (int threads : {2, 3, 0}) {
    auto const e = build(threads);
    ASSERT_EQ(e->getNTerms(), one->getNTerms());
    ASSERT_EQ(e->getTerms().size(), one->getTerms().size());
    EXPECT_EQ(std::memcmp(e->getTerms().data(), one->getTerms().data(), e->getTerms().size() * sizeof(Term)), 0);
    EXPECT_EQ(e->computeEnergy(l.positions.data(), nullptr), one->computeEnergy(l.positions.data(), nullptr)) << trial;
  }
}

TEST(EnergyTest, TermsAreTheSameOnAnyNumberOfThreads) {
  // Lattices up to 25 rows: two bands of rows.
  std::mt19937 rng(23);
  for (int trial = 0; trial < 12; ++trial) {
    TestLattice const l = randomLattice(rng, 0.4);
    IxReadGuard r(l.mesh);
    expectSameTermsOnAnyNumberOfThreads<MultivariateQuadraticAffine, AffineTerm>(
        [&](int threads) {
          return std::make_unique<MultivariateQuadraticAffine>(0.0, l.nx, l.ny, l.step, l.flags.data(), 0, r,
                                                               l.nParms(), l.parmIndex.data(), l.positions.data(),
                                                               l.targets.data(), threads);
        },
        l, trial);
    expectSameTermsOnAnyNumberOfThreads<MultivariateQuadraticSimilarity, SimilarityTerm>(
        [&](int threads) {
          return std::make_unique<MultivariateQuadraticSimilarity>(0.0, l.nx, l.ny, l.step, l.flags.data(), 0, r,
                                                                   l.nParms(), l.parmIndex.data(), l.targets.data(),
                                                                   threads);
        },
        l, trial);
  }
}

TEST(EnergyTest, GradientLineQuadraticAndMinimisersAgreeWithTheEnergy) {
  // Central differences are exact on quadratics up to rounding; the fold
  // penalty is only C1, so allow a little more. Hard constraints have a zero gradient.
  std::mt19937 rng(2024);
  std::uniform_real_distribution<> u(-1, 1);
  int activeFolds = 0;
  for (int trial = 0; trial < 10; ++trial) {
    TestLattice l = randomLattice(rng, trial % 2 ? 0.7 : 0.2);
    std::vector<double> x = l.positions, g(x.size()), d(x.size()), y(x.size());
    for (double& v : d) v = u(rng);
    for (bool affine : {false, true}) {
      for (double magnet : {0.0, 0.75}) {
        auto e = l.energy(affine, magnet);
        e->computeGradient(x.data(), g.data());
        double const scale = e->computeEnergy(x.data(), nullptr), h = 1e-5;
        for (std::size_t i = 0; i < x.size(); ++i) {
          if (magnet == 0.0 && (e->getParmFlags(int(i / 2)) & Constrained)) {
            ASSERT_EQ(g[i], 0.0);
            continue;
          }
          auto at = [&](double xi) { std::swap(x[i], xi); double const v = e->computeEnergy(x.data(), nullptr); std::swap(x[i], xi); return v; };
          ASSERT_NEAR(g[i], (at(x[i] + h) - at(x[i] - h)) / (2 * h), 1e-5 * (1 + std::fabs(g[i])) + 1e-13 * scale / h) << trial << " " << i;
        }
        for (FoldTriangle const& t : e->getTriangles()) {
          double const* p = x.data();
          activeFolds += ((p[2 * t.i2] - p[2 * t.i1]) * (p[2 * t.i0 + 1] - p[2 * t.i1 + 1]) -
                          (p[2 * t.i2 + 1] - p[2 * t.i1 + 1]) * (p[2 * t.i0] - p[2 * t.i1])) * t.scale < e->getMinFoldArea();
        }
        // Neither minimiser raises the energy or leaves a non-finite position.
        std::vector<double> m = x;
        bool converged = false;
        magnet == 0.0 ? minimiseQuadratic(*e, m.data(), 40, 1e-10, 1e-20, converged) : minimiseByStepSearch(*e, m.data(), 40, 1e-10, 1e-20, converged);
        EXPECT_LE(e->computeEnergy(m.data(), nullptr), scale * (1 + 1e-12) + 1e-12) << trial;
        EXPECT_TRUE(std::all_of(m.begin(), m.end(), [](double v) { return std::isfinite(v); }));
        if (magnet > 0.0) continue;
        double a, b, c;
        e->computeLineQuadratic(x.data(), d.data(), a, b, c);
        for (double t : {-1.5, 0.3, 2.0}) {
          for (std::size_t i = 0; i < y.size(); ++i) y[i] = x[i] + t * d[i];
          double const want = e->computeEnergy(y.data(), nullptr);
          EXPECT_NEAR((a * t + b) * t + c, want, 1e-10 * (1 + want));
        }
        // The exact line search's own pieces, in working order: the energy
        // from the gradient sweep, the curvature from a sweep of its own.
        std::int32_t const* order = e->getWorkingOrder();
        std::vector<double> w(x.size()), dw(x.size()), gw(x.size());
        for (std::size_t i = 0; i < x.size(); ++i) {
          w[i] = x[2 * (order ? std::size_t(order[i / 2]) : i / 2) + i % 2];
          dw[i] = d[2 * (order ? std::size_t(order[i / 2]) : i / 2) + i % 2];
        }
        EXPECT_EQ(e->computeWorkingGradientAndEnergy(w.data(), gw.data()), scale);
        EXPECT_NEAR(e->computeWorkingCurvature(w.data(), dw.data()), a, 1e-12 * (1 + a));
      }
    }
  }
  EXPECT_GT(activeFolds, 0) << "no fold penalty was exercised";
}

TEST(EnergyTest, SoftConstraintsSpringsAndFoldGuards) {
  TestLattice l(3, 3, 1);
  l.constrain(1, 1, true, 8.0 + 1.0, -2.0);  // its own position, moved by 1 in x
  auto e = l.energy(false, 2.0);
  std::vector<double> x = l.positions, g(x.size());
  x[2 * l.parm(1, 1)] -= 1.0;  // back to the identity: spring energy 2 * 1^2
  EXPECT_NEAR(e->computeEnergy(x.data(), nullptr), 2.0, 1e-12);
  e->computeGradient(x.data(), g.data());
  EXPECT_NEAR(g[2 * l.parm(1, 1)], -4.0, 1e-12);
  double a, b, c;
  for (bool affine : {false, true})
    expectFailure([&] { l.energy(affine, 0.5)->computeLineQuadratic(x.data(), x.data(), a, b, c); }, "_magnetWeight == 0.0");
  expectFailure([&] { e->computeWorkingCurvature(x.data(), x.data()); }, "_magnetWeight == 0.0");
  // Guards: every boundary point of a leaf against every edge not through
  // it; a hanging point on a leaf's edge is one of its boundary points.
  TestLattice one(3, 3, 2), four(5, 5, 4), hanging(9, 5, 4);
  four.subdivide(0, 0, 4);
  hanging.subdivide(4, 0, 4);
  std::size_t const counts[3] = {one.energy(false, 1.0)->getTriangles().size(), four.energy(true, 1.0)->getTriangles().size(),
                                 hanging.energy(false, 1.0)->getTriangles().size()};
  EXPECT_TRUE(counts[0] == 8 && counts[1] == 32 && counts[2] == 13 + 32) << counts[0] << " " << counts[1] << " " << counts[2];
  auto f = one.energy(false, 1.0);
  for (FoldTriangle const& t : f->getTriangles()) EXPECT_EQ(t.scale, 0.25);
  EXPECT_EQ(f->computeEnergy(one.positions.data(), nullptr), 0.0);  // every corner a full side inside
  x = one.positions;
  x[2 * one.parm(2, 2)] -= 3.0, x[2 * one.parm(2, 2) + 1] -= 3.0;  // across the diagonal
  EXPECT_GT(f->computeEnergy(x.data(), nullptr), 1e7);
}

// ---- Minimisers -----------------------------------------------------------------

// The largest gradient component: zero at the minimum of a quadratic.
double maxGradient(MultivariateQuadraticBase const& e, std::vector<double> const& x) {
  std::vector<double> g(x.size());
  e.computeGradient(x.data(), g.data());
  double m = 0.0;
  for (double v : g) m = std::max(m, std::fabs(v));
  return m;
}

TEST(MinimiserTest, BothReachTheMinimumOfSmallSystems) {
  for (bool affine : {false, true}) {
    TestLattice l(5, 4, 1);
    for (int x = 0; x < 5; ++x) l.constrain(x, 0, true, l.x0 + x, l.y0 - 0.5 * x);
    l.constrain(0, 3, false, l.x0 - 1.0, l.y0 + 3.0);
    l.constrain(4, 3, true, l.x0 + 6.0, l.y0 + 4.0);
    auto e = l.energy(affine);
    std::vector<double> x = l.positions;
    bool converged = false;
    minimiseQuadratic(*e, x.data(), 200, 1e-13, 0.0, converged);
    EXPECT_TRUE(converged && maxGradient(*e, x) < 1e-9);
    // Soft springs at four points pin the zero-energy maps of both models;
    // from the identity the folds stay inactive.
    TestLattice s(6, 6, 1);
    for (auto [px, py, dx, dy] : {std::array{1, 1, 5, -5}, {4, 4, 0, 10}, {1, 4, 0, 5}, {4, 1, 0, 0}})
      s.constrain(px, py, true, s.x0 + px + 0.1 * dx, s.y0 + py + 0.1 * dy);
    auto soft = s.energy(affine, 10.0);
    std::vector<double> y = TestLattice(6, 6, 1).positions;
    EXPECT_GT(minimiseByStepSearch(*soft, y.data(), 2000, 1e-9, 0.0, converged), 0);
    EXPECT_TRUE(converged && maxGradient(*soft, y) < 1e-4);
  }
  // One free point: one step to the mean of its neighbours.
  TestLattice l(3, 3, 1);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x)
      if (x != 1 || y != 1) l.constrain(x, y, false, l.x0 + x + 0.5 * y, l.y0 + y);
  std::vector<double> x = l.positions;
  bool converged = true;
  EXPECT_TRUE(minimiseQuadratic(*l.energy(false), x.data(), 1, 0.0, 0.0, converged) == 1 && !converged);
  EXPECT_TRUE(std::fabs(x[2 * l.parm(1, 1)] - l.x0 - 1.5) < 1e-12 && std::fabs(x[2 * l.parm(1, 1) + 1] - l.y0 - 1.0) < 1e-12);
}

// Counts the evaluations of the energy it wraps.
class CountingEnergy : public MultivariateQuadraticBase {
 public:
  explicit CountingEnergy(MultivariateQuadraticBase const& e) : _e(e) {}
  int getNParms() const override { return _e.getNParms(); }
  double computeEnergy(double const* x, double* p) const override { return ++energies, _e.computeEnergy(x, p); }
  void computeGradient(double const* x, double* g) const override { ++gradients, _e.computeGradient(x, g); }
  void computeLineQuadratic(double const* x, double const* d, double& a, double& b, double& c) const override {
    ++energies, _e.computeLineQuadratic(x, d, a, b, c);
  }
  mutable int energies = 0, gradients = 0;

 private:
  MultivariateQuadraticBase const& _e;
};

TEST(MinimiserTest, EdgeCases) {
  TestLattice l(9, 9, 2);
  for (std::size_t i = 0; i < l.positions.size(); ++i) l.positions[i] += i % 2 ? -2.0 : 1.0;  // every residual exactly 0
  l.constrain(4, 4, true, l.positions[2 * l.parm(4, 4)], l.positions[2 * l.parm(4, 4) + 1]);
  std::vector<double> x = l.positions;
  bool converged = false;
  // A zero gradient: converged at once, nothing moved; the step search
  // reports no finished iteration.
  EXPECT_TRUE(minimiseQuadratic(*l.energy(false), x.data(), 50, 1e-10, 1e-20, converged) == 1 && converged);
  EXPECT_TRUE(minimiseByStepSearch(*l.energy(false, 1.0), x.data(), 50, 1e-10, 1e-20, converged) == 0 && converged);
  EXPECT_EQ(x, l.positions);
  // No iterations allowed: no evaluation, not converged.
  auto const base = l.energy(false);
  CountingEnergy counted(*base);
  EXPECT_EQ(minimiseQuadratic(counted, x.data(), 0, 1e-10, 1e-20, converged) + minimiseByStepSearch(counted, x.data(), 0, 1e-10, 1e-20, converged), 0);
  EXPECT_TRUE(!converged && counted.energies + counted.gradients == 0);
  // Zero tolerances and NaN positions end cleanly; the exact line search
  // reports a NaN energy as a failed invariant.
  TestLattice m(9, 9, 1);
  m.constrain(4, 4, true, m.x0 + 6.0, m.y0 + 4.0);
  x = m.positions;
  EXPECT_LE(minimiseByStepSearch(*m.energy(false, 1.0), x.data(), 25, 0.0, 0.0, converged), 25);
  EXPECT_TRUE(std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); }));
  x[2 * m.parm(2, 2)] = std::nan("");
  EXPECT_LE(minimiseByStepSearch(*m.energy(true, 1.0), x.data(), 25, 1e-10, 1e-20, converged), 25);
  expectFailure([&] { minimiseQuadratic(*m.energy(false), x.data(), 25, 1e-10, 1e-20, converged); }, "c >= -1.0e-8");
}

TEST(MinimiserTest, StepSearchStopsAtItsEvaluationLimitAndCountsEveryEvaluation) {
  // A zero step tolerance makes every line search run until its step
  // underflows: hundreds of evaluations an iteration.
  TestLattice l(9, 9, 1);
  l.constrain(4, 4, true, l.x0 + 6.0, l.y0 + 4.0);
  auto e = l.energy(false, 1.0);
  for (std::int64_t limit : {1, 50, 5000}) {
    CountingEnergy counted(*e);
    std::vector<double> x = l.positions;
    StepSearchWork work{limit, 0};
    bool converged = true;
    int const iters = minimiseByStepSearch(counted, x.data(), 1000, 0.0, 0.0, converged, &work);
    EXPECT_TRUE(work.used == counted.energies && work.used <= limit && iters >= 1 && !converged) << limit << ": " << work.used;
    EXPECT_LE(e->computeEnergy(x.data(), nullptr), e->computeEnergy(l.positions.data(), nullptr));
  }
}

TEST(WorkingOrderTest, InterruptedMinimisersLeaveTheirIterateInParameterOrder) {
  // Parameters created coarse to fine: the minimisers work on a reordered
  // copy, and an interruption after the first iteration must leave that
  // iterate in the caller's array, as a run of one iteration does.
  TestLattice l(17, 17, 4);
  for (int i = 0; i < 16; ++i) l.subdivide(i % 4 * 4, i / 4 * 4, 4);
  l.constrain(2, 2, true, l.x0 + 5.0, l.y0 + 1.0);
  l.constrain(12, 14, true, l.x0 + 9.0, l.y0 + 15.0);
  for (double magnet : {0.0, 1.0}) {
    auto const e = l.energy(false, magnet);
    ASSERT_NE(e->getWorkingOrder(), nullptr);
    bool converged = false;
    auto run = [&](std::vector<double>& v, int maxIter) {
      return magnet == 0.0 ? minimiseQuadratic(*e, v.data(), maxIter, 1e-10, 1e-20, converged)
                           : minimiseByStepSearch(*e, v.data(), maxIter, 1e-10, 1e-20, converged);
    };
    std::vector<double> once = l.positions, interrupted = l.positions;
    run(once, 1);
    auto request = std::make_shared<PxRequest>();
    request->cancel();
    PxRequestScope scope(request.get());
    EXPECT_THROW(run(interrupted, 100), PxInterruptedException);
    EXPECT_TRUE(once != l.positions && interrupted == once);
  }
}

}  // namespace
}  // namespace Qx::Warper2D::gridsolver
