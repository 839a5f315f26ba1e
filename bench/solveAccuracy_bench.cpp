// How close the smooth grid solve comes to the answer as "Quality" rises.
// The scene: a 960 x 540 input whose frame is pinned the way the generator's
// "Fixed" boundary pins it (a closed curve through the four corner pixels,
// smoothing "None", applied first), and three ellipses, each carried by a
// translation. Per smoothness model, shape smoothing and quality, with the
// arguments the generator derives from "Quality":
//  - dist_max_px (at dist_at_x, dist_at_y), dist_rms_px: the distance of the
//    result from the exact minimum of the same energy on the finest lattice
//    (every pixel a parameter), over the input frame;
//  - inside_max_px: the worst error inside the shapes against their exact
//    translation, and ref_inside_max_px the same for that exact minimum (the
//    translation is the answer there when the outlines do not smooth: for
//    smoothing "None"; with smoothing the outline couples the two sides);
//  - params, cycles, budget_used (share of the pass budget spent) and the
//    solve's CPU time.
// One iteration per case: the figures are results, the time only a guide.
// Run: build/bench/solveAccuracy_bench --benchmark_counters_tabular=true
// (WARP2D_ACCURACY_CACHE=dir keeps the reference minima between runs).
#include <benchmark/benchmark.h>

#include <Eigen/Sparse>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "primitives/geBezierCurve.h"
#include "primitives/ixTile.h"
#include "warpGridProc.h"
#include "warpGridProcCells.h"
#include "warpGridProcEnergy.h"
#include "warpGridProcSolve.h"

namespace {

using namespace Qx::Warper2D;
using P = GePoint2<float>;

constexpr int kWidth = 960, kHeight = 540;

struct Ellipse {
  float cx, cy, rx, ry, dx, dy;
};
constexpr Ellipse kShapes[3] = {
    {230, 190, 120, 80, 14, -9}, {640, 160, 90, 110, -11, 12}, {520, 400, 170, 70, 9, 11}};

// A closed four-point cubic curve close to the ellipse, moved by (dx, dy).
GeBezierCurve ellipse(Ellipse const& e, float dx, float dy) {
  float const k = 0.5522847f, hx = e.rx * k, hy = e.ry * k, cx = e.cx + dx, cy = e.cy + dy;
  Vector<P> pts = {{cx + e.rx, cy - hy}, {cx + e.rx, cy}, {cx + e.rx, cy + hy}, {cx + hx, cy + e.ry},
                   {cx, cy + e.ry},      {cx - hx, cy + e.ry}, {cx - e.rx, cy + hy}, {cx - e.rx, cy},
                   {cx - e.rx, cy - hy}, {cx - hx, cy - e.ry}, {cx, cy - e.ry},      {cx + hx, cy - e.ry}};
  return GeBezierCurve(pts, GeBezierCurve::CLOSED);
}

GeRectangle<int> meshRegion() {
  return WarpGridProc::computeCorrespondenceImageRegion(GeRectangle<int>(0, 0, kWidth, kHeight));
}

IxTile scene(WarpGridProc::Smoothing smoothing) {
  IxTile t(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), meshRegion());
  IxWriteGuard g(t);
  Vector<float> const none;
  GeBezierCurve border;
  for (P const& p : {P(0, 0), P(kWidth - 1, 0), P(kWidth - 1, kHeight - 1), P(0, kHeight - 1)}) border.addPoint(p);
  border.setClosure(GeBezierCurve::CLOSED);
  WarpGridProc::applyCurveToCorrespondence(border, none, border, none, 1.0, WarpGridProc::None, g);
  for (Ellipse const& e : kShapes)
    WarpGridProc::applyCurveToCorrespondence(ellipse(e, 0, 0), none, ellipse(e, e.dx, e.dy), none, 1.0, smoothing, g);
  return t;
}

struct Solved {
  std::unique_ptr<IxTile> mesh;
  gridsolver::SolveStats stats;
  WarpGridProc::SolveArguments args{};
};

Solved solve(bool affine, WarpGridProc::Smoothing smoothing, WarpGridProc::SolveArguments const& args) {
  Solved s{std::make_unique<IxTile>(scene(smoothing)), {}, args};
  IxWriteGuard g(*s.mesh);
  int cycleWork = args.cycleWork;
  gridsolver::createSmoothGridMeasured(g, 0.0, affine, args.minStep, args.passWork, 1, &cycleWork, 1e-10, 1e-20,
                                       args.refineThreshold, nullptr, &s.stats);
  return s;
}

// The same energy on the finest lattice, minimised exactly. With every
// pixel a parameter each constrained pixel ties its own lattice point, so the
// lattice is the mesh itself; the energy of the last pass (which leaves no
// neighbour out) is a quadratic whose Hessian is read off its own gradient,
// 25 x 2 probes for the 13-point reach of its terms, and the minimum solved
// by a sparse Cholesky factorisation. Points outside the pinned frame are
// held: the frame separates them from everything measured.
IxTile exactMinimum(bool affine, WarpGridProc::Smoothing smoothing) {
  using namespace gridsolver;
  IxTile t = scene(smoothing);
  IxWriteGuard g(t);
  GeRectangle<int> const region = t.getPixelRegion();
  int const nx = region.getWidth(), ny = region.getHeight();
  Lattice lat(nx, ny, region.x1(), region.y1(), 1);
  unsigned lastPass = 0;
  std::vector<std::uint8_t> fixed(static_cast<std::size_t>(nx) * ny, 0);
  for (int y = 0; y < ny; ++y) {
    for (int x = 0; x < nx; ++x) {
      MeshPixel const m = readMeshPixel(g.getPixelAddress(x, y));
      bool const c = (m.b & CONSTRAINED_BIT) && std::isfinite(m.r) && std::isfinite(m.g);
      int const p = c ? lat.addParm(x, y, m.r, m.g) : lat.addParm(x, y, x, y);
      std::uint8_t& f = lat.flags()[lat.index(x, y)];
      if (c) f |= Constrained | ((m.b & SMOOTHING_BIT) ? SmoothedConstraint : 0);
      if (!(m.b & CONSTRAINED_BIT)) lastPass = std::max(lastPass, m.b & PASS_MASK);
      fixed[static_cast<std::size_t>(p)] = c || x >= kWidth || y >= kHeight;
    }
  }
  IxReadGuard const reader(g);
  std::unique_ptr<MultivariateQuadraticBase> e;
  if (affine)
    e = std::make_unique<MultivariateQuadraticAffine>(0.0, nx, ny, 1, lat.flags(), lastPass, reader, lat.nParms(),
                                                      lat.parmIndex(), lat.positions(), nullptr);
  else
    e = std::make_unique<MultivariateQuadraticSimilarity>(0.0, nx, ny, 1, lat.flags(), lastPass, reader, lat.nParms(),
                                                          lat.parmIndex(), nullptr);
  // Unknowns: both coordinates of every parameter that is not held.
  std::size_t const n = 2 * static_cast<std::size_t>(lat.nParms());
  std::vector<int> unknown(n, -1);
  int nUnknowns = 0;
  for (std::size_t i = 0; i < n; ++i)
    if (!fixed[i / 2]) unknown[i] = nUnknowns++;
  std::vector<double> x0(lat.positions(), lat.positions() + n), g0(n), gi(n), x(n);
  e->computeGradient(x0.data(), g0.data());
  std::vector<Eigen::Triplet<double>> entries;
  for (int colour = 0; colour < 25; ++colour) {
    for (int k = 0; k < 2; ++k) {
      x = x0;
      for (int y = colour / 5; y < ny; y += 5)
        for (int xx = colour % 5; xx < nx; xx += 5) x[2 * lat.index(xx, y) + k] += 1.0;
      e->computeGradient(x.data(), gi.data());
      // Row (i, ki) of column (j, k) is the change of gradient i; j is the
      // one point of this colour within the reach of i.
      for (int y = colour / 5; y < ny; y += 5) {
        for (int xx = colour % 5; xx < nx; xx += 5) {
          int const col = unknown[2 * lat.index(xx, y) + k];
          if (col < 0) continue;
          for (int dy = -2; dy <= 2; ++dy) {
            for (int dx = -2 + std::abs(dy); dx <= 2 - std::abs(dy); ++dx) {
              int const rx = xx + dx, ry = y + dy;
              if (rx < 0 || ry < 0 || rx >= nx || ry >= ny) continue;
              for (int ki = 0; ki < 2; ++ki) {
                std::size_t const r = 2 * lat.index(rx, ry) + ki;
                double const v = gi[r] - g0[r];
                if (unknown[r] >= 0 && std::fabs(v) > 1e-12) entries.emplace_back(unknown[r], col, v);
              }
            }
          }
        }
      }
    }
  }
  // The gradient is that of x^T H x, so the Hessian read off it is 2 H.
  Eigen::SparseMatrix<double> h(nUnknowns, nUnknowns);
  h.setFromTriplets(entries.begin(), entries.end());
  Eigen::VectorXd rhs(nUnknowns);
  for (std::size_t i = 0; i < n; ++i)
    if (unknown[i] >= 0) rhs[unknown[i]] = -g0[i];
  Eigen::SimplicialLDLT<Eigen::SparseMatrix<double>> ldlt(h);
  if (ldlt.info() != Eigen::Success) throw std::runtime_error("reference factorisation failed");
  Eigen::VectorXd const step = ldlt.solve(rhs);
  for (std::size_t i = 0; i < n; ++i)
    if (unknown[i] >= 0) x0[i] += step[unknown[i]];
  // The minimum is exact up to rounding: no gradient component is left.
  e->computeGradient(x0.data(), gi.data());
  for (std::size_t i = 0; i < n; ++i)
    if (unknown[i] >= 0 && !(std::fabs(gi[i]) < 1e-8)) throw std::runtime_error("reference not at its minimum");
  // Every pixel is a parameter: the fill is a copy.
  for (int y = 0; y < ny; ++y) {
    for (int xx = 0; xx < nx; ++xx) {
      std::byte* p = g.getPixelAddress(xx, y);
      if (readMeshBits(p) & CONSTRAINED_BIT) continue;
      std::size_t const q = 2 * static_cast<std::size_t>(lat.parmIndex()[lat.index(xx, y)]);
      writeMeshPixel(p, MeshPixel{static_cast<float>(x0[q]), static_cast<float>(x0[q + 1]), readMeshBits(p)});
    }
  }
  return t;
}

// References are kept for the run, and across runs in the directory that
// WARP2D_ACCURACY_CACHE names, if any (a factorisation takes half a minute).
IxTile const& reference(bool affine, WarpGridProc::Smoothing smoothing) {
  static std::map<std::pair<bool, int>, IxTile> cache;
  auto it = cache.find({affine, smoothing});
  if (it != cache.end()) return it->second;
  char const* dir = std::getenv("WARP2D_ACCURACY_CACHE");
  std::string const file = dir ? std::string(dir) + "/reference_" + std::to_string(affine) + "_" +
                                     std::to_string(static_cast<int>(smoothing)) + ".bin"
                               : std::string();
  IxTile t(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), meshRegion());
  GeRectangle<int> const r = meshRegion();
  std::size_t const rowBytes = sizeof(MeshPixel) * static_cast<std::size_t>(r.getWidth());
  bool loaded = false;
  if (std::FILE* f = dir ? std::fopen(file.c_str(), "rb") : nullptr) {
    IxWriteGuard g(t);
    loaded = true;
    for (int y = r.y1(); y < r.y2() && loaded; ++y) loaded = std::fread(g.getPixelAddress(r.x1(), y), 1, rowBytes, f) == rowBytes;
    std::fclose(f);
  }
  if (!loaded) {
    t = exactMinimum(affine, smoothing);
    if (std::FILE* f = dir ? std::fopen(file.c_str(), "wb") : nullptr) {
      IxReadGuard g(t);
      for (int y = r.y1(); y < r.y2(); ++y) std::fwrite(g.getPixelAddress(r.x1(), y), 1, rowBytes, f);
      std::fclose(f);
    }
  }
  return cache.emplace(std::pair{affine, static_cast<int>(smoothing)}, std::move(t)).first->second;
}

void BM_SolveAccuracy(benchmark::State& state) {
  bool const affine = state.range(0) != 0;
  auto const smoothing = static_cast<WarpGridProc::Smoothing>(state.range(1));
  double const quality = static_cast<double>(state.range(2));
  IxTile const& ref = reference(affine, smoothing);
  Solved s;
  WarpGridProc::SolveArguments const qa = WarpGridProc::computeSolveArguments(quality, meshRegion());
  for (auto _ : state) s = solve(affine, smoothing, qa);

  IxReadGuard a(*s.mesh), b(ref);
  double distMax = 0, distSum = 0, insideMax = 0, refInsideMax = 0;
  int distX = 0, distY = 0;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      MeshPixel const m = readMeshPixel(a.getPixelAddress(x, y)), r = readMeshPixel(b.getPixelAddress(x, y));
      if (!std::isfinite(m.r) || !std::isfinite(m.g)) throw std::runtime_error("non-finite mesh value");
      double const d = std::hypot(double(m.r) - r.r, double(m.g) - r.g);
      if (d > distMax) distMax = d, distX = x, distY = y;
      distSum += d * d;
      for (Ellipse const& e : kShapes) {
        // At least a pixel inside the outline.
        double const u = (x - e.cx) / (e.rx - 1), v = (y - e.cy) / (e.ry - 1);
        if (u * u + v * v < 1) {
          insideMax = std::max(insideMax, std::hypot(double(m.r) - x - e.dx, double(m.g) - y - e.dy));
          refInsideMax = std::max(refInsideMax, std::hypot(double(r.r) - x - e.dx, double(r.g) - y - e.dy));
        }
      }
    }
  }
  gridsolver::SolveStats const& st = s.stats;
  state.counters["dist_max_px"] = distMax;
  state.counters["dist_at_x"] = distX;
  state.counters["dist_at_y"] = distY;
  state.counters["dist_rms_px"] = std::sqrt(distSum / (static_cast<double>(kWidth) * kHeight));
  state.counters["inside_max_px"] = insideMax;
  state.counters["ref_inside_max_px"] = refInsideMax;
  state.counters["params"] = st.nParms;
  state.counters["cycles"] = st.cycles;
  state.counters["minStep"] = s.args.minStep;
  state.counters["budget_used"] =
      static_cast<double>(st.termEvaluations) / (static_cast<double>(s.args.passWork) * 10000.0 * std::max(st.passes, 1));
  state.counters["cpu_s"] = st.constraintSeconds + st.refineSeconds + st.energySeconds + st.minimiseSeconds +
                            st.fillSeconds + st.otherSeconds;
}

void cases(benchmark::internal::Benchmark* b) {
  for (int affine : {1, 0})
    for (int smoothing : {WarpGridProc::None, WarpGridProc::Inside, WarpGridProc::Bidirectional})
      for (int quality : {1, 2, 3, 5, 10}) b->Args({affine, smoothing, quality});
  b->ArgNames({"affine", "smoothing", "quality"});
}

BENCHMARK(BM_SolveAccuracy)->Apply(cases)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
