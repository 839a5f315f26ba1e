// The texture sampler driven the way a warp node drives it: an output frame
// cut into the tiles of the grid, one texture per tile (per request), each
// row sampled with one span call at positions read from a vector image,
// the derivative matrix (for the footprint filters) taken from the
// neighbouring vectors, the row written out in the source's format. The
// vector image is the smooth swirl: output pixel (x, y) samples at its
// position turned about the centre by 0.75 exp(-(r/s)^2) radians, s = half
// the shorter side. The source is an in-memory image handed out by tiles.
//
//   BM_Swirl4K      3840 x 2160 float RGBA, every filter, 1 and 2 threads
//   BM_SwirlHD8     1920 x 1080 8-bit RGBA, every filter, 1 and 2 threads
//   BM_Minified     ns per output pixel under a uniform 1x and 16x
//                   shrink of the 4K source (the pyramid already built)
//   BM_PyramidBuild the one-off cost of the pyramid of the 4K source
//
// Counters: Mpix_per_s (output pixels), ns_per_pixel for BM_Minified.
// With --csv the program instead times the swirl cases with the protocol of
// the peer benchmarks (one warm-up, then at least 7 runs; median, min, max,
// MAD) and prints rows "peer,operation,size,threads,median_ms,min_ms,
// max_ms,mad_ms,reps,MPix_per_s,extra", so that it can be measured in the
// same run as the peers.
#include <benchmark/benchmark.h>
#include <emmintrin.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pluginAPI/pxImageTexture.h"
#include "pluginAPI/pxRequestMgr.h"

namespace {

using Color = CoRgbaColorTyped<float>;
using Rect = GeRectangle<int>;

struct Filter {
  int code;
  char const* name;
};
Filter const kFilters[] = {{0, "nearest"}, {1, "bilinear"}, {2, "gaussian"}, {3, "mitchell"}, {5, "jinc2"}, {6, "jinc3"}};

// An image held in memory: tile requests get views of it.
class ImageNode : public PxImageNode {
 public:
  explicit ImageNode(IxTile image)
      : PxImageNode(PxNodeInit{"image", PxImageFormat(image.getPixelFormat())}), _image(std::move(image)) {}
  PxRODResult computeROD(PxImageContext const& c) const override {
    return {pixelizedToNominal(_image.getPixelRegion(), 1.0f, c.getScale()), PxValidityInterval::FULL};
  }
  PxImageResult computeImage(PxImageContext const& c) const override {
    return {IxTile(_image, c.getPixelRegion() & _image.getPixelRegion(), Color::ZERO), PxValidityInterval::FULL};
  }

 private:
  IxTile _image;
};

// A test pattern with detail at every scale: checker cells, rings, a fine
// grating, gradients and a varying alpha.
IxTile makeSource(int w, int h, IxPixelFormat const& format) {
  IxTile t(format, Rect(0, 0, w, h));
  IxWriteGuard const g(t);
  int const cell = std::max(4, w / 120);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double const u = double(x) / w, v = double(y) / h, r = std::hypot(x - 0.5 * w, y - 0.5 * h);
      Color const c{float(0.55 * (((x / cell) + (y / cell)) & 1) + 0.45 * u),
                    float(0.6 * (0.5 + 0.5 * std::cos(r * 0.25 * 1920.0 / w)) + 0.4 * v),
                    float(0.5 * (0.5 + 0.5 * std::sin((x + 0.7 * y) * 1.9 * 1920.0 / w)) + 0.5 * (1 - u) * v),
                    float(0.75 + 0.25 * std::cos(6.2831853 * u * 3) * std::sin(6.2831853 * v * 2))};
      ixWriteColor(format, g.getPixelAddress(x, y), c);
    }
  return t;
}

// Source positions (x, y) per output pixel: the swirl, or a uniform shrink.
std::vector<float> swirlMap(int w, int h) {
  std::vector<float> m(std::size_t(w) * h * 2);
  double const cx = 0.5 * (w - 1), cy = 0.5 * (h - 1), s = 0.5 * std::min(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double const dx = x - cx, dy = y - cy;
      double const theta = 0.75 * std::exp(-(dx * dx + dy * dy) / (s * s));
      double const c = std::cos(theta), sn = std::sin(theta);
      m[(std::size_t(y) * w + x) * 2] = float(cx + c * dx - sn * dy);
      m[(std::size_t(y) * w + x) * 2 + 1] = float(cy + sn * dx + c * dy);
    }
  return m;
}

std::vector<float> shrinkMap(int w, int h, float factor) {
  std::vector<float> m(std::size_t(w) * h * 2);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      m[(std::size_t(y) * w + x) * 2] = factor * (x + 0.5f) - 0.5f;
      m[(std::size_t(y) * w + x) * 2 + 1] = factor * (y + 0.5f) - 0.5f;
    }
  return m;
}

struct Workload {
  PxNodePtr<ImageNode> source;
  std::vector<float> map;  // output w x h
  int w, h;
  IxTile output;
};

// Colour values to bytes, clamped to [0, 1] and rounded, sixteen at a time as
// a warp node's output stage would (a plain loop does not vectorise here).
void toBytes(float const* f, std::size_t n, std::uint8_t* o) {
  __m128 const zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f), k = _mm_set1_ps(255.0f), half = _mm_set1_ps(0.5f);
  auto convert = [&](std::size_t i) {
    return _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(_mm_min_ps(_mm_max_ps(_mm_loadu_ps(f + i), zero), one), k), half));
  };
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i const lo = _mm_packs_epi32(convert(i), convert(i + 4)), hi = _mm_packs_epi32(convert(i + 8), convert(i + 12));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + i), _mm_packus_epi16(lo, hi));
  }
  for (; i < n; ++i) o[i] = std::uint8_t(int(std::min(std::max(f[i], 0.0f), 1.0f) * 255.0f + 0.5f));
}

// One frame: every output tile as one request with its own texture.
void warpFrame(Workload& work, int filter, int threads, std::shared_ptr<PxRequest> const& request) {
  SdTextureParams params;
  params.filter = filter;
  PxValidityInterval v = PxValidityInterval::FULL;
  params.textureMatrix =
      SdTextureParams::pixelToTextureMatrix(work.source->computePixelROD(PxImageContext(0, 0, 0, Rect()), v));
  Rect const frame(0, 0, work.w, work.h);
  Rect const tiles = PxImageProtocol::convertPixelsToTiles(frame);
  bool const derivatives = params.needsDerivatives();
  IxWriteGuard const out(work.output);
  IxPixelFormat const outFormat = out.getPixelFormat();
  PxRequestMgr::getInstance().parallelFor(
      request, 0, tiles.getWidth() * tiles.getHeight(),
      [&](int t) {
        GePoint2<int> const tile(tiles.x1() + t % tiles.getWidth(), tiles.y1() + t / tiles.getWidth());
        Rect const r = PxImageProtocol::convertTilesToPixels(tile) & frame;
        PxImageTexture texture(*work.source, PxImageContext(0.0, 0, 0, tile), params);
        std::vector<SdJacobian<float>> jac(r.getWidth());
        std::vector<Color> row(r.getWidth());
        for (int y = r.y1(); y < r.y2(); ++y) {
          float const* xy = work.map.data() + (std::size_t(y) * work.w + r.x1()) * 2;
          if (derivatives) {
            // Central differences of the vectors, one-sided at the frame's edge.
            int const yu = std::max(y - 1, 0), yd = std::min(y + 1, work.h - 1);
            float const* up = work.map.data() + std::size_t(yu) * work.w * 2;
            float const* down = work.map.data() + std::size_t(yd) * work.w * 2;
            float const* here = work.map.data() + std::size_t(y) * work.w * 2;
            float const iy = 1.0f / float(yd - yu);
            auto at = [&](int x, int xl, int xr, float ix) {
              jac[x - r.x1()] = {(here[2 * xr] - here[2 * xl]) * ix, (down[2 * x] - up[2 * x]) * iy,
                                 (here[2 * xr + 1] - here[2 * xl + 1]) * ix, (down[2 * x + 1] - up[2 * x + 1]) * iy};
            };
            // The frame's first and last columns apart, so that the loop over
            // the others has no branches and vectorises.
            int const x1 = std::max(r.x1(), 1), x2 = std::min(r.x2(), work.w - 1);
            if (r.x1() < x1) at(0, 0, 1, 1.0f);
            for (int x = x1; x < x2; ++x) at(x, x - 1, x + 1, 0.5f);
            if (x2 < r.x2()) at(work.w - 1, work.w - 2, work.w - 1, 1.0f);
          }
          // A float RGBA output is sampled in place, as the warp node does.
          bool const inPlace = outFormat.getDepth() == IxPixelFormat::FLOAT32;
          Color* const dst = inPlace ? reinterpret_cast<Color*>(out.getPixelAddress(r.x1(), y)) : row.data();
          texture.sampleSpan(r.getWidth(), xy, 2, derivatives ? jac.data() : nullptr, dst);
          if (!inPlace)
            toBytes(&row[0].r, 4 * row.size(), reinterpret_cast<std::uint8_t*>(out.getPixelAddress(r.x1(), y)));
          PxRequestMgr::getInstance().checkInterruption();
        }
      },
      threads);
}

Workload makeWorkload(int w, int h, IxPixelFormat const& format) {
  return {PxNodePtr<ImageNode>::create(makeSource(w, h, format)), swirlMap(w, h), w, h, IxTile(format, Rect(0, 0, w, h))};
}

Workload& swirl4K() {
  static Workload w = makeWorkload(3840, 2160, IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32));
  return w;
}
Workload& swirlHD8() {
  static Workload w = makeWorkload(1920, 1080, IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::UINT8));
  return w;
}

void report(benchmark::State& state, Workload const& work) {
  // The frame's centre must have been written (the swirl keeps it inside).
  IxReadGuard const g(work.output);
  Color const c = ixReadColor(g.getPixelFormat(), g.getPixelAddress(work.w / 2, work.h / 2));
  if (!(c.a > 0.0f)) state.SkipWithError("nothing sampled");
  double const pixels = double(work.w) * work.h * double(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(pixels));
  state.counters["Mpix_per_s"] = benchmark::Counter(pixels * 1e-6, benchmark::Counter::kIsRate);
  state.counters["ns_per_pixel"] =
      benchmark::Counter(pixels * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void runSwirl(benchmark::State& state, Workload& work) {
  Filter const f = kFilters[state.range(0)];
  int const threads = static_cast<int>(state.range(1));
  state.SetLabel(f.name);
  auto const request = std::make_shared<PxRequest>();
  warpFrame(work, f.code, threads, request);  // the output's pages touched once
  for (auto _ : state) warpFrame(work, f.code, threads, request);
  report(state, work);
}

void BM_Swirl4K(benchmark::State& state) { runSwirl(state, swirl4K()); }
void BM_SwirlHD8(benchmark::State& state) { runSwirl(state, swirlHD8()); }

// A uniform shrink by `factor` of the 4K source into a frame of its size over
// factor, J = factor I: per output pixel, the 16x case should cost at most
// 4x the 1x case.
void BM_Minified(benchmark::State& state) {
  Filter const f = kFilters[state.range(0)];
  int const factor = static_cast<int>(state.range(1));
  state.SetLabel(std::string(f.name) + " " + std::to_string(factor) + "x");
  Workload& big = swirl4K();
  static IxTile const out(IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32), Rect(0, 0, 3840, 2160));
  Workload work{big.source, shrinkMap(big.w / factor, big.h / factor, float(factor)), big.w / factor, big.h / factor, out};
  // The derivatives come from the map's differences: exactly factor I.
  auto const request = std::make_shared<PxRequest>();
  warpFrame(work, f.code, 1, request);  // builds the pyramid once, through the cache
  for (auto _ : state) warpFrame(work, f.code, 1, request);
  report(state, work);
}

void BM_PyramidBuild(benchmark::State& state) {
  IxTile const image = makeSource(3840, 2160, IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32));
  SdTextureParams params;
  params.filter = SdTextureParams::kMitchell;
  params.textureMatrix = SdTextureParams::pixelToTextureMatrix(Rect(0, 0, 3840, 2160));
  SdJacobian<double> const shrink{4096, 0, 0, 4096};
  for (auto _ : state) {
    auto const node = PxNodePtr<ImageNode>::create(image);  // a new source each time: nothing cached
    PxImageTexture texture(*node, PxImageContext(0.0, 0, 0, Rect()), params);
    benchmark::DoNotOptimize(texture.sample(1920, 1080, shrink));
  }
}

BENCHMARK(BM_Swirl4K)->ArgsProduct({{0, 1, 2, 3, 4, 5}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SwirlHD8)->ArgsProduct({{0, 1, 2, 3, 4, 5}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Minified)->ArgsProduct({{3, 5}, {1, 16}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PyramidBuild)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---------------------------------------------------------------- --csv mode

double nowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void csvRow(char const* operation, Workload& work, int filter, int threads) {
  auto const request = std::make_shared<PxRequest>();
  warpFrame(work, filter, threads, request);  // warm-up
  std::vector<double> times;
  double total = 0.0;
  while (times.size() < 7 || (total < 400.0 && times.size() < 30)) {
    double const t0 = nowMs();
    warpFrame(work, filter, threads, request);
    times.push_back(nowMs() - t0);
    total += times.back();
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::size_t const n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
  };
  double const med = median(times);
  std::vector<double> dev;
  for (double t : times) dev.push_back(std::abs(t - med));
  std::printf("warp2d,%s,%dx%d,%d,%.3f,%.3f,%.3f,%.3f,%zu,%.1f,%s\n", operation, work.w, work.h, threads, med,
              *std::min_element(times.begin(), times.end()), *std::max_element(times.begin(), times.end()),
              median(dev), times.size(), double(work.w) * work.h / 1e6 / (med / 1e3),
              "PxImageTexture spans per 256 tile; footprint filters with J from the map");
  std::fflush(stdout);
}

int csvMain() {
  std::printf("peer,operation,size,threads,median_ms,min_ms,max_ms,mad_ms,reps,MPix_per_s,extra\n");
  for (int threads : {1, 2}) {
    for (Filter const& f : kFilters)
      csvRow((std::string("texture_") + f.name + "_f32x4").c_str(), swirl4K(), f.code, threads);
    for (Filter const& f : kFilters)
      csvRow((std::string("texture_") + f.name + "_u8x4").c_str(), swirlHD8(), f.code, threads);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--csv") return csvMain();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
