// Speed of the whole smooth grid solve: a mesh holding the constrained pixels
// of four displaced circles and a pinned frame border, solved with the
// arguments that the generator derives from "Quality" 1, 3 and 10 for the
// mesh's area (WarpGridProc::computeSolveArguments). Reports the time split (constraint application, refinement
// sweeps, energy building, minimisation, fill), ns_per_term (minimisation
// time / (iterations x active terms)), params, Mpix_per_s of the fill, and
// the working storage of the solve per mesh pixel and per parameter.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "primitives/ixTile.h"
#include "warpGridProc.h"
#include "warpGridProcSolve.h"

namespace {

using namespace Qx::Warper2D;

void constrain(IxWriteGuard& g, int x, int y, float tx, float ty, std::uint32_t bits) {
  std::byte* p = g.getPixelAddress(x, y);
  if (readMeshBits(p) & CONSTRAINED_BIT) return;  // the first curve keeps a pixel
  writeMeshPixel(p, MeshPixel{tx, ty, bits});
}

// The stock scene for a w x h input: the mesh region, its input frame
// pinned, and four circles, each moved and scaled a little.
IxTile stockMesh(int w, int h) {
  GeRectangle<int> const region = WarpGridProc::computeCorrespondenceImageRegion(GeRectangle<int>(0, 0, w, h));
  IxTile t(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), region);
  IxWriteGuard g(t);
  for (int x = 0; x < w; ++x) {
    constrain(g, x, 0, x, 0, CONSTRAINED_BIT);
    constrain(g, x, h - 1, x, h - 1, CONSTRAINED_BIT);
  }
  for (int y = 0; y < h; ++y) {
    constrain(g, 0, y, 0, y, CONSTRAINED_BIT);
    constrain(g, w - 1, y, w - 1, y, CONSTRAINED_BIT);
  }
  double const radius = std::min(w, h) / 8.0;
  double const centres[4][2] = {{0.25, 0.25}, {0.75, 0.25}, {0.25, 0.75}, {0.75, 0.7}};
  double const moves[4][3] = {{0.10, -0.08, 1.05}, {-0.12, 0.05, 0.9}, {0.06, 0.1, 1.1}, {-0.05, -0.1, 0.95}};
  for (int c = 0; c < 4; ++c) {
    double const cx = centres[c][0] * w, cy = centres[c][1] * h;
    int const n = static_cast<int>(2 * M_PI * radius * 2);
    for (int i = 0; i < n; ++i) {
      double const ang = 2 * M_PI * i / n;
      int const x = static_cast<int>(std::floor(cx + radius * std::cos(ang) + 0.5));
      int const y = static_cast<int>(std::floor(cy + radius * std::sin(ang) + 0.5));
      double const s = moves[c][2];
      constrain(g, x, y, static_cast<float>(cx + moves[c][0] * radius + s * (x - cx)),
                static_cast<float>(cy + moves[c][1] * radius + s * (y - cy)), CONSTRAINED_BIT | SMOOTHING_BIT);
    }
  }
  return t;
}

void copyMesh(IxTile const& from, IxTile& to) {
  IxReadGuard src(from);
  IxWriteGuard dst(to);
  GeRectangle<int> const r = from.getPixelRegion();
  for (int y = r.y1(); y < r.y2(); ++y)
    std::memcpy(dst.getPixelAddress(r.x1(), y), src.getPixelAddress(r.x1(), y), sizeof(MeshPixel) * r.getWidth());
}

void BM_SmoothGrid(benchmark::State& state) {
  int const w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  int const quality = static_cast<int>(state.range(2));
  bool const affine = state.range(3) != 0;
  IxTile const pristine = stockMesh(w, h);
  GeRectangle<int> const region = pristine.getPixelRegion();
  double const pixels = static_cast<double>(region.getWidth()) * region.getHeight();
  WarpGridProc::SolveArguments const qa = WarpGridProc::computeSolveArguments(quality, region);
  IxTile work(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), region);

  gridsolver::SolveStats sum, last;
  double total = 0;
  int runs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    copyMesh(pristine, work);
    state.ResumeTiming();
    {
      IxWriteGuard g(work);
      int cycleWork = qa.cycleWork;
      gridsolver::createSmoothGridMeasured(g, 0.0, affine, qa.minStep, qa.passWork, 1, &cycleWork, 1e-10, 1e-20,
                                           qa.refineThreshold, nullptr, &last);
    }
    sum.constraintSeconds += last.constraintSeconds;
    sum.refineSeconds += last.refineSeconds;
    sum.energySeconds += last.energySeconds;
    sum.minimiseSeconds += last.minimiseSeconds;
    sum.fillSeconds += last.fillSeconds;
    sum.otherSeconds += last.otherSeconds;
    sum.termEvaluations += last.termEvaluations;
    total += last.constraintSeconds + last.refineSeconds + last.energySeconds + last.minimiseSeconds +
             last.fillSeconds + last.otherSeconds;
    ++runs;
  }
  // The result must be complete: every pixel finite.
  {
    IxReadGuard g(work);
    for (int y = region.y1(); y < region.y2(); y += 7) {
      MeshPixel const m = readMeshPixel(g.getPixelAddress(region.x1() + (y % region.getWidth()), y));
      if (!std::isfinite(m.r) || !std::isfinite(m.g)) throw std::runtime_error("non-finite mesh value");
    }
  }
  double const n = std::max(runs, 1);
  auto ms = [&](double s) { return benchmark::Counter(1e3 * s / n); };
  state.counters["total_ms"] = ms(total);
  state.counters["constraints_ms"] = ms(sum.constraintSeconds);
  state.counters["refine_ms"] = ms(sum.refineSeconds);
  state.counters["energy_ms"] = ms(sum.energySeconds);
  state.counters["minimise_ms"] = ms(sum.minimiseSeconds);
  state.counters["fill_ms"] = ms(sum.fillSeconds);
  state.counters["other_ms"] = ms(sum.otherSeconds);
  state.counters["ns_per_term"] =
      sum.termEvaluations > 0 ? 1e9 * sum.minimiseSeconds / static_cast<double>(sum.termEvaluations) : 0.0;
  state.counters["params"] = last.nParms;
  state.counters["iterations"] = static_cast<double>(last.iterations);
  state.counters["cycles"] = last.cycles;
  state.counters["Mpix_per_s"] = sum.fillSeconds > 0 ? pixels * n / sum.fillSeconds / 1e6 : 0.0;
  state.counters["minStep"] = qa.minStep;
  state.counters["firstStep"] = last.firstStep;
  state.counters["mesh_Mpix"] = pixels / 1e6;
  // Working storage beyond the mesh: the solve's own per mesh pixel (the
  // per-parameter part taken out), the energy and minimiser per parameter.
  double const perParm = 24.0 * last.nParms;
  state.counters["solver_bytes_per_pixel"] = (static_cast<double>(last.peakSolverBytes) - perParm) / pixels;
  state.counters["energy_bytes_per_param"] =
      last.nParms > 0 ? static_cast<double>(last.peakEnergyBytes) / last.nParms : 0.0;
  state.counters["peak_solver_MB"] = static_cast<double>(last.peakSolverBytes + last.peakEnergyBytes) / 1e6;
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  state.counters["max_rss_MB"] = ru.ru_maxrss / 1024.0;
  state.SetItemsProcessed(static_cast<std::int64_t>(pixels * n));
}

void sizes(benchmark::internal::Benchmark* b) {
  for (int affine : {0, 1}) {
    for (int q : {1, 3, 10}) {
      b->Args({512, 512, q, affine});
      b->Args({1920, 1080, q, affine});
      b->Args({4096, 2160, q, affine});
    }
  }
  b->ArgNames({"w", "h", "quality", "affine"});
}

BENCHMARK(BM_SmoothGrid)->Apply(sizes)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);

}  // namespace

BENCHMARK_MAIN();
