// Cost of one smoothness-term evaluation in the grid solver's energies: the
// energy, the gradient (with the energy), the full line quadratic and its
// curvature alone over a dense lattice (every point a parameter, a ring of
// hard constraints), for both smoothness models, and conjugate-gradient
// iterations of minimiseQuadratic (each one a gradient sweep, a direction,
// a curvature sweep and a step).
// The lattice is numbered either in row order or coarse to fine, the order
// in which the solve's refinement creates parameters (neighbours far apart
// in the parameter vector); the energies evaluate in an order of their own,
// so both should cost the same.
// Counter ns_per_term = CPU time / (evaluations x active terms).
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "warpGridProc.h"
#include "warpGridProcEnergy.h"

namespace {

using namespace Qx::Warper2D::gridsolver;

struct DenseLattice {
  int n;
  std::vector<std::uint8_t> flags;
  std::vector<std::int32_t> parmIndex;
  std::vector<double> positions;
  IxTile mesh;

  DenseLattice(int n_, bool coarseToFine)
      : n(n_), flags(static_cast<std::size_t>(n) * n, 0), parmIndex(static_cast<std::size_t>(n) * n),
        positions(2 * static_cast<std::size_t>(n) * n),
        mesh(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), GeRectangle<int>(0, 0, n, n)) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<> u(-0.3, 0.3);
    // Coarse to fine: level by level (trailing zero bits of x | y), each
    // level in row order.
    int const levels = coarseToFine ? 31 : 0;
    std::int32_t next = 0;
    for (int level = levels; level >= 0; --level)
      for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
          unsigned const bits = static_cast<unsigned>(x | y);
          int const l = bits == 0 ? 31 : __builtin_ctz(bits);
          if (coarseToFine && l != level) continue;
          std::size_t const i = static_cast<std::size_t>(y) * n + x;
          std::size_t const p = static_cast<std::size_t>(next++);
          parmIndex[i] = static_cast<std::int32_t>(p);
          positions[2 * p] = x + u(rng);
          positions[2 * p + 1] = y + u(rng);
          // A ring of constraints in the middle, as a displaced circle would leave.
          double const r = std::hypot(x - n / 2.0, y - n / 2.0);
          if (std::fabs(r - n / 4.0) < 0.5) flags[i] = Constrained | SmoothedConstraint;
        }
  }
  std::unique_ptr<MultivariateQuadraticBase> energy(bool affine) const {
    IxReadGuard r(mesh);
    int const nParms = n * n;
    if (affine)
      return std::make_unique<MultivariateQuadraticAffine>(0.0, n, n, 1, flags.data(), 0u, r, nParms,
                                                           parmIndex.data(), positions.data(), nullptr);
    return std::make_unique<MultivariateQuadraticSimilarity>(0.0, n, n, 1, flags.data(), 0u, r, nParms,
                                                             parmIndex.data(), nullptr);
  }
};

enum Op { Energy, Gradient, LineQuadratic, CgIteration, Curvature };
// A solve cycle runs some hundred iterations per call (110 on average for
// a 512 x 512 mesh at quality 3, 550 for 1920 x 1080), so a call's set-up
// (scratch arrays, the reordering into working order and back) is spread
// over about as many here.
constexpr int kCgIterations = 100;

void BM_Terms(benchmark::State& state) {
  int const n = static_cast<int>(state.range(0));
  bool const affine = state.range(1) != 0;
  Op const op = static_cast<Op>(state.range(2));
  DenseLattice const lattice(n, state.range(3) != 0);
  auto const e = lattice.energy(affine);
  std::vector<double> x = lattice.positions, g(x.size()), d(x.size(), 0.25);
  // The minimisers' own evaluations: working order, no copies per call.
  std::vector<double> w(x.size());
  std::int32_t const* order = e->getWorkingOrder();
  for (std::size_t i = 0; i < x.size() / 2; ++i) {
    std::size_t const p = order ? static_cast<std::size_t>(order[i]) : i;
    w[2 * i] = x[2 * p], w[2 * i + 1] = x[2 * p + 1];
  }
  double sink = 0.0;
  for (auto _ : state) {
    switch (op) {
      case Energy:
        sink += e->computeWorkingEnergy(w.data());
        break;
      case Gradient:
        e->computeWorkingGradient(w.data(), g.data());
        sink += g[static_cast<std::size_t>(n) * 2 + 1];
        break;
      case Curvature:
        // What the exact line search evaluates besides the gradient.
        sink += e->computeWorkingCurvature(w.data(), d.data());
        break;
      case LineQuadratic: {
        double a, b, c;
        e->computeWorkingLineQuadratic(w.data(), d.data(), a, b, c);
        sink += a + b + c;
        break;
      }
      case CgIteration: {
        bool converged;
        state.PauseTiming();
        x = lattice.positions;
        state.ResumeTiming();
        minimiseQuadratic(*e, x.data(), kCgIterations, 0.0, -1.0, converged);
        sink += x[3];
        break;
      }
    }
  }
  benchmark::DoNotOptimize(sink);
  if (!std::isfinite(sink)) state.SkipWithError("non-finite energy");
  double const terms = static_cast<double>(e->getNTerms()) * (op == CgIteration ? kCgIterations : 1);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * terms));
  state.counters["params"] = n * static_cast<double>(n);
  state.counters["terms"] = e->getNTerms();
  state.counters["ns_per_term"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * terms * 1e-9,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_Terms)
    ->ArgNames({"side", "affine", "op", "coarseToFine"})
    ->ArgsProduct({{256, 1024}, {0, 1}, {Energy, Gradient, LineQuadratic, CgIteration, Curvature}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
