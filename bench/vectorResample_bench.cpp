// Throughput of the vector resampling on a UHD destination (3840 x 2160): the
// direct path inside the mesh, the direct path outside a mesh 512 pixels
// smaller on every side (fitted rings, then the continuation), the fitted
// rings alone, and the scatter path inverting a smooth swirl on one thread
// and on two. Each case reports Mpix_per_s: for the outside and ring cases,
// the extrapolated pixels only.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "primitives/ixPixelFormat.h"
#include "primitives/ixTile.h"
#include "vectorResampleProc.h"

namespace {

using Qx::Warper2D::VectorResampleProc;

constexpr int kWidth = 3840;
constexpr int kHeight = 2160;
constexpr int kMargin = 512;

IxTile rgbTile(GeRectangle<int> const& r) { return IxTile(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), r); }

// A swirl about the frame centre: points within radius R turn by
// strength (1 - r/R)^2, which vanishes with its slope at the rim (fold-free
// for this strength).
IxTile swirlMesh(GeRectangle<int> const& region, double strength) {
  IxTile mesh = rgbTile(region);
  IxWriteGuard g(mesh);
  double const cx = 0.5 * (kWidth - 1), cy = 0.5 * (kHeight - 1), radius = 0.5 * kHeight;
  for (int y = region.y1(); y < region.y2(); ++y) {
    float* p = g.getRow<float>(y);
    for (int x = region.x1(); x < region.x2(); ++x, p += 3) {
      double const dx = x - cx, dy = y - cy;
      double const r = std::sqrt(dx * dx + dy * dy);
      double const s = r < radius ? 1.0 - r / radius : 0.0;
      double const angle = strength * s * s;
      double const c = std::cos(angle), sn = std::sin(angle);
      p[0] = static_cast<float>(cx + c * dx - sn * dy);
      p[1] = static_cast<float>(cy + sn * dx + c * dy);
      p[2] = 0.0f;
    }
  }
  return mesh;
}

// The result must have been written (and be finite) where we look, so the
// work cannot be optimised away and a broken path does not report a speed.
void checkWritten(benchmark::State& state, IxTile const& dst, int x, int y) {
  IxReadGuard g(dst);
  float const* p = reinterpret_cast<float const*>(g.getPixelAddress(x, y));
  if (!(p[2] == 1.0f && std::isfinite(p[0]) && std::isfinite(p[1]))) state.SkipWithError("pixel not written");
}

void report(benchmark::State& state, double pixelsPerIteration) {
  state.SetItemsProcessed(static_cast<int64_t>(pixelsPerIteration * static_cast<double>(state.iterations())));
  state.counters["Mpix_per_s"] =
      benchmark::Counter(pixelsPerIteration * 1e-6 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The frame-sized tiles are built once: building them costs more than the
// runs themselves, and the benchmark library calls each case several times.
IxTile const& frameMesh() {
  static IxTile const mesh = swirlMesh(GeRectangle<int>(0, 0, kWidth, kHeight), 1.0);
  return mesh;
}
IxTile const& frameDestination() {
  static IxTile const dst = rgbTile(GeRectangle<int>(0, 0, kWidth, kHeight));
  return dst;
}

void BM_DirectInsideMesh(benchmark::State& state) {
  IxTile const& mesh = frameMesh();
  IxTile const& dst = frameDestination();
  for (auto _ : state) {
    VectorResampleProc::resample(dst, mesh, 0.0, 1.0, VectorResampleProc::AffineExtrapolation);
    benchmark::ClobberMemory();
  }
  checkWritten(state, dst, kWidth / 3, kHeight / 3);
  report(state, double(kWidth) * kHeight);
}

void BM_DirectRingExtrapolation(benchmark::State& state) {
  GeRectangle<int> const inner(kMargin, kMargin, kWidth - kMargin, kHeight - kMargin);
  static IxTile const mesh = swirlMesh(inner, 1.0);
  IxTile const& dst = frameDestination();
  int const method = static_cast<int>(state.range(0));
  for (auto _ : state) {
    VectorResampleProc::resample(dst, mesh, 0.0, 1.0, method);
    benchmark::ClobberMemory();
  }
  checkWritten(state, dst, 3, 5);
  double const ringPixels = double(kWidth) * kHeight - double(inner.getWidth()) * inner.getHeight();
  report(state, ringPixels);
}

// The extrapolator's fitted rings around the inner mesh, grown by the fit.
void BM_RingFit(benchmark::State& state) {
  GeRectangle<int> const inner(kMargin, kMargin, kWidth - kMargin, kHeight - kMargin);
  static IxTile const mesh = swirlMesh(inner, 1.0);
  int const method = static_cast<int>(state.range(0));
  double pixels = 0.0;
  for (auto _ : state) {
    VectorResampleProc::BoundaryExtrapolator ext(mesh, method);
    pixels = 0.0;
    while (ext.getRingCount() < ext.getFittedRings()) {
      ext.grow();
      pixels += VectorResampleProc::BoundaryExtrapolator::getBoundarySize(ext.getRegion());
    }
    benchmark::DoNotOptimize(ext.getRing());
  }
  report(state, pixels);
}

// Threads: the scatter path's argument (the result is the same for any).
void BM_ScatterSwirl(benchmark::State& state) {
  IxTile const& mesh = frameMesh();
  IxTile const& dst = frameDestination();
  int const threads = static_cast<int>(state.range(0));
  for (auto _ : state) {
    VectorResampleProc::resample(dst, mesh, 1.0, 0.0, VectorResampleProc::AffineExtrapolation, threads);
    benchmark::ClobberMemory();
  }
  checkWritten(state, dst, kWidth / 2 + 100, kHeight / 2 - 50);
  report(state, double(kWidth) * kHeight);
}

BENCHMARK(BM_DirectInsideMesh)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DirectRingExtrapolation)
    ->Arg(VectorResampleProc::AffineExtrapolation)
    ->Arg(VectorResampleProc::SimilarityExtrapolation)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RingFit)
    ->Arg(VectorResampleProc::AffineExtrapolation)
    ->Arg(VectorResampleProc::SimilarityExtrapolation)
    ->Unit(benchmark::kMillisecond);
// One thread: its processor time, as before. Two: the time between start and
// end, which is what spreading the work shortens.
BENCHMARK(BM_ScatterSwirl)->ArgName("threads")->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScatterSwirl)->ArgName("threads")->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
