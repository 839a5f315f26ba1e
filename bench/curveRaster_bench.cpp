// Speed of rasterising curve pairs into a correspondence mesh: the walk of
// the source curve, the closest-point search per pixel and the link mapping
// of every written pixel. Reports ns_per_pixel, the time per walked pixel.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>

#include "primitives/geBezierCurve.h"
#include "primitives/ixTile.h"
#include "warpGridProc.h"

using namespace Qx::Warper2D;
using P = GePoint2<float>;

namespace {

struct Shape {
  GeBezierCurve src, dst;
  Vector<float> srcLinks, dstLinks;
};

GeBezierCurve circle(float cx, float cy, float r) {
  float const h = r * 0.5522847f;
  Vector<P> pts = {{cx + r, cy - h}, {cx + r, cy}, {cx + r, cy + h}, {cx + h, cy + r}, {cx, cy + r},
                   {cx - h, cy + r}, {cx - r, cy + h}, {cx - r, cy}, {cx - r, cy - h}, {cx - h, cy - r},
                   {cx, cy - r},     {cx + h, cy - r}};
  return GeBezierCurve(pts, GeBezierCurve::CLOSED);
}

// A zig-zag of tight loops: every segment turns hard within a few pixels.
GeBezierCurve loops(float x, float y, int count) {
  Vector<P> pts;
  for (int i = 0; i < count; ++i) {
    P const p(x + 6.0f * i, y + ((i % 2) ? 5.0f : -5.0f));
    pts.push_back(p + P(9.0f, 4.0f));
    pts.push_back(p);
    pts.push_back(p + P(-9.0f, 4.0f));
  }
  return GeBezierCurve(pts, GeBezierCurve::OPEN);
}

// A smooth open wave across the frame.
GeBezierCurve wave(float x, float y, int count) {
  Vector<P> pts;
  for (int i = 0; i < count; ++i) {
    P const p(x + 90.0f * i, y + ((i % 2) ? 30.0f : -30.0f));
    pts.push_back(p + P(-35.0f, 10.0f));
    pts.push_back(p);
    pts.push_back(p + P(35.0f, -10.0f));
  }
  return GeBezierCurve(pts, GeBezierCurve::OPEN);
}

Shape pair(GeBezierCurve const& src, float angle, int nLinks) {
  GeAffineMatrix2<float> const m = GeAffineMatrix2<float>::translation(7.0f, -4.0f) *
                                   GeAffineMatrix2<float>::rotation(angle);
  Shape s{src, GeBezierCurve(src, m), {}, {}};
  int const n = src.getSegmentCount();
  for (int i = 0; i < nLinks; ++i) {
    s.srcLinks.push_back(n * (i + 0.5f) / nLinks);
    s.dstLinks.push_back(std::min(n * (i + 0.6f) / nLinks, static_cast<float>(n)));
  }
  return s;
}

int countConstrained(IxWriteGuard const& g) {
  int n = 0;
  GeRectangle<int> const r = g.getPixelRegion();
  for (int y = r.y1(); y < r.y2(); ++y)
    for (int x = r.x1(); x < r.x2(); ++x) n += (readMeshBits(g.getPixelAddress(x, y)) & CONSTRAINED_BIT) ? 1 : 0;
  return n;
}

void BM_RasteriseCurves(benchmark::State& state) {
  // Shapes in a 3000 x 2000 frame, laid out so that no two overlap (a
  // pixel already constrained by another shape would skip its link mapping):
  // large smooth concentric circles and waves, and small, tightly curved
  // circles and loop chains, each with links.
  int const width = 3000, height = 2000;
  Vector<Shape> shapes;
  for (int i = 0; i < 10; ++i) shapes.push_back(pair(circle(700.0f, 700.0f, 60.0f + 52.0f * i), 0.02f * i, 3));
  for (int i = 0; i < 12; ++i) shapes.push_back(pair(wave(1500.0f, 60.0f + 95.0f * i, 16), 0.01f, 4));
  for (int i = 0; i < 21; ++i) shapes.push_back(pair(loops(1500.0f, 1190.0f + 25.0f * i, 200), 0.05f, 5));
  for (int i = 0; i < 390; ++i)
    shapes.push_back(pair(circle(20.0f + 20.0f * (i % 65), 1300.0f + 25.0f * (i / 65), 3.0f + (i % 7)), 0.3f, 2));

  IxTile const mesh(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), GeRectangle<int>(0, 0, width, height));
  IxWriteGuard g(mesh);
  std::size_t const bytes = static_cast<std::size_t>(g.getRowStride()) * height;

  // Every shape on a cleared mesh of its own constrains each pixel it walks
  // once; the sum is the number of walked pixels.
  long walked = 0;
  for (Shape const& s : shapes) {
    std::memset(g.getData(), 0, bytes);
    WarpGridProc::applyCurveToCorrespondence(s.src, s.srcLinks, s.dst, s.dstLinks, 1.0, WarpGridProc::Bidirectional, g);
    walked += countConstrained(g);
  }

  for (auto _ : state) {
    state.PauseTiming();
    std::memset(g.getData(), 0, bytes);
    state.ResumeTiming();
    for (Shape const& s : shapes)
      WarpGridProc::applyCurveToCorrespondence(s.src, s.srcLinks, s.dst, s.dstLinks, 1.0,
                                               WarpGridProc::Bidirectional, g);
    benchmark::ClobberMemory();
  }
  // The work must have happened, and the shapes must not share pixels.
  if (countConstrained(g) != walked) state.SkipWithError("the shapes overlap or were not all rasterised");
  state.SetItemsProcessed(state.iterations() * walked);
  state.counters["walked_pixels"] = static_cast<double>(walked);
  // CPU time per walked pixel, reported in nanoseconds: the rate
  // walked / second inverted, scaled by 1e-9 so the number reads as ns.
  state.counters["ns_per_pixel"] = benchmark::Counter(
      static_cast<double>(walked) * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RasteriseCurves)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
