// Host geometry costs on the curve rasteriser's path: the link mapping that
// runs once per written mesh pixel, curve flattening, and the polygon fill of
// the inside/outside mask.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <random>

#include "primitives/geBezierCurve.h"
#include "primitives/geLinkedBeziers.h"
#include "primitives/ipShapeRenderProc.h"

namespace {

using P = GePoint2<float>;

GeBezierCurve wobblyLoop(int nPoints, float radius, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> jitter(-0.2f, 0.2f);
  GeBezierCurve c;
  for (int i = 0; i < nPoints; ++i) {
    double const a = 2.0 * std::numbers::pi * i / nPoints;
    float const r = radius * (1.0f + jitter(rng));
    c.addPoint(P(500 + r * std::cos(a), 500 + r * std::sin(a)), GeBezierCurve::SMOOTH);
  }
  c.setClosure(GeBezierCurve::CLOSED);
  return c;
}

void BM_MapSrcParamToDstParam(benchmark::State& state) {
  GeBezierCurve const src = wobblyLoop(12, 300, 1), dst = wobblyLoop(9, 250, 2);
  Vector<float> const sl{0.5f, 3.2f, 7.9f, 10.1f}, dl{1.1f, 2.5f, 6.0f, 8.3f};
  GeLinkedBeziers const link(src, sl, dst, dl, 0.5);
  double const n = src.getSegmentCount();
  double sum = 0.0;
  std::int64_t i = 0;
  for (auto _ : state) {
    double const t = n * static_cast<double>(i++ % 4096) / 4096.0;
    sum += link.mapSrcParamToDstParam(t);
  }
  benchmark::DoNotOptimize(sum);
  if (!std::isfinite(sum)) state.SkipWithError("non-finite mapping");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MapSrcParamToDstParam);

void BM_LinkedBeziersConstruction(benchmark::State& state) {
  GeBezierCurve const src = wobblyLoop(12, 300, 1), dst = wobblyLoop(9, 250, 2);
  Vector<float> const sl{0.5f, 3.2f, 7.9f}, dl{1.1f, 2.5f, 6.0f};
  for (auto _ : state) {
    GeLinkedBeziers link(src, sl, dst, dl, 0.5);
    benchmark::DoNotOptimize(link);
  }
}
BENCHMARK(BM_LinkedBeziersConstruction);

void BM_EvaluateCurve(benchmark::State& state) {
  GeBezierCurve const c = wobblyLoop(24, 400, 3);
  Vector<P> poly;
  for (auto _ : state) {
    c.evaluateCurve(poly, 0.01f);
    benchmark::DoNotOptimize(poly.data());
  }
  state.counters["vertices"] = static_cast<double>(poly.size());
}
BENCHMARK(BM_EvaluateCurve);

void BM_FillMask(benchmark::State& state) {
  bool const aa = state.range(0) != 0;
  GeBezierCurve const c = wobblyLoop(24, 400, 3);
  Vector<P> poly;
  c.evaluateCurve(poly, 0.01f);
  IxTile const tile(IxPixelFormat(IxPixelFormat::ALPHA, IxPixelFormat::FLOAT32), GeRectangle<int>(0, 0, 1000, 1000));
  IxWriteGuard guard(tile);
  for (auto _ : state) {
    IpShapeRenderProc(guard, poly, aa ? IpShapeRenderProc::ANTIALIASING : IpShapeRenderProc::NO_ANTIALIASING).process();
    benchmark::ClobberMemory();
  }
  if (guard.getRow<float>(500)[500] == 0.0f) state.SkipWithError("centre not filled");
  state.SetItemsProcessed(state.iterations() * 1000 * 1000);
  state.counters["vertices"] = static_cast<double>(poly.size());
}
BENCHMARK(BM_FillMask)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
