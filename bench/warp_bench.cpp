// The whole warp, shapes to image: an in-memory float RGBA frame (1920 x 1080,
// and 3840 x 2160 for the memory bound) warped by four shapes (two moved
// circles, a fence and a moved open curve) through the generator, the two
// vector nodes with their caches and the warp node, as the tools wire them.
// Every iteration builds a fresh graph, so nothing is served from an earlier
// iteration's cache. Cases: Quality 1 and 3, Bilinear and Mitchell, 1 and 2
// threads. Reported per iteration: the whole warp (manual time), and split
// into generator (the solve), vector nodes (mesh to vectors, upsampling
// included) and warp node (sampling), in wall time and in CPU time (the
// machine is shared: CPU time says what a stage costs), plus the process's
// peak resident memory.
//
//   warp_bench [benchmark options]   Google Benchmark
//   warp_bench --csv                 one row per case in the peers' CSV
//                                    layout (1 warm-up, 5 timed runs: median,
//                                    min, max, MAD), for the peer comparison
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pluginAPI/pxAnimValue.h"
#include "pluginAPI/pxRenderer.h"
#include "pluginAPI/pxRequestMgr.h"
#include "storage/stImageCacheNode.h"
#include "warpGeneratorTool.h"
#include "warpResamplerTool.h"

namespace {

using namespace Qx::Warper2D;
using Clock = std::chrono::steady_clock;
using P = GePoint2<float>;
IxPixelFormat const kRgbaF32(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32);

double msBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// CPU time of the calling thread, and of the whole process, in ms: what a
// stage costs whatever else the machine is running.
double threadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec * 1e-6;
}
double processCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec * 1e-6;
}

void addTo(std::atomic<double>& sink, double ms) {
  for (double v = sink.load(); !sink.compare_exchange_weak(v, v + ms);) {
  }
}

double peakResidentMB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss / 1024.0;
}

// A frame held in memory, handed out whole (a loaded image).
class FrameNode : public PxImageNode {
 public:
  explicit FrameNode(IxTile frame) : PxImageNode(PxNodeInit{"frame", PxImageFormat(kRgbaF32)}), _frame(std::move(frame)) {}
  PxRODResult computeROD(PxImageContext const&) const override {
    return {pixelizedToNominal(_frame.getPixelRegion(), 1.0f, 1.0), PxValidityInterval::FULL};
  }
  PxImageResult computeImage(PxImageContext const&) const override { return {_frame, PxValidityInterval::FULL}; }
  bool producesFullFrames() const override { return true; }

 private:
  IxTile _frame;
};

// A shape renderer's output: one shape image.
class ShapeNode : public PxImageNode {
 public:
  explicit ShapeNode(IxTile tile)
      : PxImageNode(PxNodeInit{"shape", PxImageFormat(IxPixelFormat(IxPixelFormat::ALPHA, IxPixelFormat::FLOAT32))}),
        _tile(std::move(tile)) {}
  PxRODResult computeROD(PxImageContext const&) const override {
    return {pixelizedToNominal(_tile.getPixelRegion(), 1.0f, 1.0), PxValidityInterval::FULL};
  }
  PxImageResult computeImage(PxImageContext const&) const override { return {_tile, PxValidityInterval::FULL}; }

 private:
  IxTile _tile;
};

// Passes its input through, adding the wall and CPU time its input's
// computations took.
class TimedNode : public PxImageNode {
 public:
  TimedNode(PxNodePtr<PxImageProtocol> const& input, std::atomic<double>& wall, std::atomic<double>& cpu)
      : PxImageNode(PxNodeInit{"timed", {}}, input), _wall(wall), _cpu(cpu) {}
  PxRODResult computeROD(PxImageContext const& c) const override { return getPrimaryInput()->computeROD(c); }
  PxImageResult computeImage(PxImageContext const& c) const override {
    auto const t = Clock::now();
    double const cpu = threadCpuMs();
    PxImageResult r = getPrimaryInput()->computeImage(c);
    addTo(_cpu, threadCpuMs() - cpu);
    addTo(_wall, msBetween(t, Clock::now()));
    return r;
  }
  bool producesFullFrames() const override { return getPrimaryInput()->producesFullFrames(); }
  PxImageFormat computeImageFormat() const override { return getPrimaryInput()->getImageFormat(); }

 private:
  std::atomic<double>& _wall;
  std::atomic<double>& _cpu;
};

IxTile makeFrame(int w, int h) {
  IxTile t(kRgbaF32, GeRectangle<int>(0, 0, w, h));
  IxWriteGuard g(t);
  for (int y = 0; y < h; ++y) {
    float* p = g.getRow<float>(y);
    for (int x = 0; x < w; ++x, p += 4) {
      float const checker = ((x >> 4) + (y >> 4)) & 1 ? 0.8f : 0.2f;
      p[0] = checker;
      p[1] = float(x) / w;
      p[2] = float(y) / h;
      p[3] = 1.0f;
    }
  }
  return t;
}

GeBezierCurve circle(float cx, float cy, float r) {
  float const k = r * 0.5522847f;
  Vector<P> pts = {{cx + r, cy - k}, {cx + r, cy}, {cx + r, cy + k}, {cx + k, cy + r}, {cx, cy + r},
                   {cx - k, cy + r}, {cx - r, cy + k}, {cx - r, cy}, {cx - r, cy - k}, {cx - k, cy - r},
                   {cx, cy - r},     {cx + k, cy - r}};
  return GeBezierCurve(pts, GeBezierCurve::CLOSED);
}

GeBezierCurve openCurve(std::vector<P> const& points) {
  GeBezierCurve c;
  for (P const& p : points) c.addPoint(p, GeBezierCurve::SMOOTH);
  return c;
}

template <class T>
PxNodePtr<PxNode> constant(T v) {
  return PxNodePtr<PxAnimValueNode<T>>::create(v);
}

PxNodePtr<PxNode> shape(GeBezierCurve const& c) { return PxNodePtr<ShapeNode>::create(ShapeImage::encode(c, {})); }

struct Case {
  int width, height;
  double quality;
  int filter;  // 1 Bilinear, 3 Mitchell
  int threads;
};

struct Figures {
  double total = 0, generator = 0, vectors = 0, warp = 0;  // wall
  double generatorCpu = 0, vectorsCpu = 0, warpCpu = 0;     // CPU, all threads
};

// One warp of the frame on a freshly built graph, into `destination` (an
// application's frame buffer, reused from frame to frame).
Figures warpOnce(Case const& c, IxTile const& frame, IxTile const& destination) {
  float const w = float(c.width), h = float(c.height);
  std::atomic<double> generatorMs{0.0}, generatorCpuMs{0.0};
  Figures f;
  {
    PxNodePtr<PxNode> const image = PxNodePtr<FrameNode>::create(frame);
    WarpGeneratorInputs in;
    in.primary = image;
    auto add = [&](GeBezierCurve const& src, GeBezierCurve const& dst, bool fence) {
      in.shapes.push_back({shape(src), fence ? nullptr : shape(dst), constant(fence), constant(0), constant(1.0)});
    };
    add(circle(0.3f * w, 0.4f * h, 0.12f * h), circle(0.33f * w, 0.38f * h, 0.12f * h), false);
    add(circle(0.7f * w, 0.6f * h, 0.1f * h), circle(0.68f * w, 0.63f * h, 0.11f * h), false);
    add(openCurve({{0.2f * w, 0.85f * h}, {0.5f * w, 0.88f * h}, {0.8f * w, 0.85f * h}}), {}, true);
    add(openCurve({{0.25f * w, 0.12f * h}, {0.5f * w, 0.2f * h}, {0.75f * w, 0.12f * h}}),
        openCurve({{0.25f * w, 0.14f * h}, {0.5f * w, 0.25f * h}, {0.75f * w, 0.14f * h}}), false);
    in.renderQuality = constant(c.quality);
    in.renderSmoothing = constant(0);
    in.renderBoundary = constant(0);
    // As the generator controller publishes them: cached, so that one solve
    // serves every reader of the mesh.
    auto generator = [&](bool destination) -> PxNodePtr<PxImageProtocol> {
      auto const timed = PxNodePtr<TimedNode>::create(createWarpGeneratorNode(destination, in), generatorMs,
                                                       generatorCpuMs);
      return PxNodePtr<StImageCacheNode>::create(nullptr, nullptr, StImageCacheNode::kCacheResults, timed,
                                                 "Warp 2D Generator Tool", StImageCacheNode::kReuseWithinValidity);
    };
    WarpResamplerChain const chain =
        buildWarpResamplerChain(false, {image, generator(false), generator(true), constant(int(kTimingGlobal)),
                                        constant(1.0), constant(false), constant(c.quality),
                                        constant(int(kBoundaryFixed)), constant(c.filter)});
    GeRectangle<int> const region(0, 0, c.width, c.height);
    PxImageContext const context(0.0, 0, 0, region);
    PxRenderSettings settings;
    settings.threadCount = c.threads;
    // The vectors first, on a worker as the warp's first tile would compute
    // them (the cache keeps them for the warp); then the warp's tiles.
    double const c0 = processCpuMs();
    auto const t0 = Clock::now();
    PxImageResult vectors;
    PxRequestMgr::getInstance()
        .submit(std::make_shared<PxRequest>(), [&] { vectors = chain.resamplingVectors->computeImage(context); })
        .get();
    auto const t1 = Clock::now();
    double const c1 = processCpuMs();
    PxRenderer(chain.warp, settings).render(context, destination);
    auto const t2 = Clock::now();
    double const c2 = processCpuMs();
    if (!vectors.tile.isValid() || !vectors.tile.getPixelRegion().contains(region))
      std::fprintf(stderr, "warp_bench: the vectors do not cover the frame\n");
    f.total = msBetween(t0, t2);
    f.generator = generatorMs.load();
    f.vectors = msBetween(t0, t1) - f.generator;
    f.warp = msBetween(t1, t2);
    f.generatorCpu = generatorCpuMs.load();
    f.vectorsCpu = c1 - c0 - f.generatorCpu;
    f.warpCpu = c2 - c1;
  }
  return f;
}

// The frames, made once (main thread only).
IxTile const& frameOf(int w, int h) {
  static IxTile hd, uhd;
  IxTile& f = w == 1920 ? hd : uhd;
  if (!f.isValid()) f = makeFrame(w, h);
  return f;
}

void BM_Warp(benchmark::State& state) {
  Case const c{int(state.range(0)), int(state.range(1)), double(state.range(2)), int(state.range(3)),
               int(state.range(4))};
  IxTile const& frame = frameOf(c.width, c.height);
  IxTile const destination(kRgbaF32, frame.getPixelRegion());
  Figures sum;
  for (auto _ : state) {
    Figures const f = warpOnce(c, frame, destination);
    state.SetIterationTime(f.total / 1000.0);
    sum.generator += f.generator;
    sum.vectors += f.vectors;
    sum.warp += f.warp;
    sum.generatorCpu += f.generatorCpu;
    sum.vectorsCpu += f.vectorsCpu;
    sum.warpCpu += f.warpCpu;
  }
  double const n = double(state.iterations());
  state.counters["generator_ms"] = sum.generator / n;
  state.counters["vectors_ms"] = sum.vectors / n;
  state.counters["warp_ms"] = sum.warp / n;
  state.counters["generator_cpu_ms"] = sum.generatorCpu / n;
  state.counters["vectors_cpu_ms"] = sum.vectorsCpu / n;
  state.counters["warp_cpu_ms"] = sum.warpCpu / n;
  state.counters["peak_rss_MB"] = peakResidentMB();
  state.SetItemsProcessed(state.iterations() * int64_t(c.width) * c.height);
}

void hdCases(benchmark::internal::Benchmark* b) {
  for (int quality : {1, 3})
    for (int filter : {1, 3})
      for (int threads : {1, 2}) b->Args({1920, 1080, quality, filter, threads});
}

BENCHMARK(BM_Warp)->Apply(hdCases)->ArgNames({"w", "h", "quality", "filter", "threads"})->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Iterations(5);
// The memory bound: run alone (--benchmark_filter=w:3840) so that the peak
// is this case's.
BENCHMARK(BM_Warp)->Args({3840, 2160, 1, 1, 2})->Args({3840, 2160, 3, 1, 2})
    ->ArgNames({"w", "h", "quality", "filter", "threads"})->UseManualTime()->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// The peers' CSV: peer,operation,size,threads,median_ms,min_ms,max_ms,mad_ms,reps,MPix_per_s,extra
int runCsv() {
  std::printf("peer,operation,size,threads,median_ms,min_ms,max_ms,mad_ms,reps,MPix_per_s,extra\n");
  std::vector<Case> cases;
  for (int quality : {1, 3})
    for (int filter : {1, 3})
      for (int threads : {1, 2}) cases.push_back({1920, 1080, double(quality), filter, threads});
  cases.push_back({3840, 2160, 1, 1, 2});
  for (Case const& c : cases) {
    IxTile const& frame = frameOf(c.width, c.height);
    IxTile const destination(kRgbaF32, frame.getPixelRegion());
    warpOnce(c, frame, destination);  // warm-up
    int const reps = 5;
    std::vector<Figures> runs;
    for (int i = 0; i < reps; ++i) runs.push_back(warpOnce(c, frame, destination));
    auto median = [](std::vector<double> v) {
      std::sort(v.begin(), v.end());
      return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
    };
    auto field = [&](double Figures::*m) {
      std::vector<double> v;
      for (Figures const& f : runs) v.push_back(f.*m);
      return v;
    };
    std::vector<double> const total = field(&Figures::total);
    double const med = median(total);
    std::vector<double> dev;
    for (double t : total) dev.push_back(std::fabs(t - med));
    std::printf("warp2d,warp_4shapes_q%d_%s_float_rgba,%dx%d,%d,%.1f,%.1f,%.1f,%.1f,%d,%.2f,"
                "generator_ms=%.1f vectors_ms=%.1f warp_ms=%.1f cpu_ms=%.1f/%.1f/%.1f peak_rss_MB=%.0f\n",
                int(c.quality), c.filter == 1 ? "bilinear" : "mitchell", c.width, c.height, c.threads, med,
                *std::min_element(total.begin(), total.end()), *std::max_element(total.begin(), total.end()),
                median(dev), reps, double(c.width) * c.height / 1000.0 / med, median(field(&Figures::generator)),
                median(field(&Figures::vectors)), median(field(&Figures::warp)),
                median(field(&Figures::generatorCpu)), median(field(&Figures::vectorsCpu)),
                median(field(&Figures::warpCpu)), peakResidentMB());
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--csv") == 0) return runCsv();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
