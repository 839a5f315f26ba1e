// What the image pipeline costs per tile: the renderer pulls a trivial node
// (a copy of an in-memory UHD frame, 3840 x 2160 float RGBA) through tile
// requests, buffer allocation and assembly into the destination, against a
// plain copy of the same frame into the same destination in one loop over
// the rows, both on 1 and 2 threads. Each reports Mpix_per_s; the pipeline
// should reach at least half of the plain copy on the same thread count.
// A third case copies the same frame by the tiles of the grid, without the
// pipeline: what any tiled computation pays for reading and writing short
// rows (4 KiB per tile row) instead of whole ones, so that the pipeline's
// own cost is the gap between it and the pipeline.
#include <benchmark/benchmark.h>

#include <cstring>

#include "primitives/ipSet.h"
#include "pluginAPI/pxImageProtocol.h"
#include "pluginAPI/pxRenderer.h"
#include "pluginAPI/pxRequestMgr.h"

namespace {

constexpr int kWidth = 3840;
constexpr int kHeight = 2160;
GeRectangle<int> const kFrameRegion(0, 0, kWidth, kHeight);
IxPixelFormat const kRgbaF32(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32);

// An image held in memory, handed out whole.
class FrameNode : public PxImageNode {
 public:
  explicit FrameNode(IxTile frame) : PxImageNode(PxNodeInit{"frame", PxImageFormat(kRgbaF32)}), _frame(std::move(frame)) {}
  PxRODResult computeROD(PxImageContext const& context) const override {
    return {pixelizedToNominal(_frame.getPixelRegion(), 1.0f, context.getScale()), PxValidityInterval::FULL};
  }
  PxImageResult computeImage(PxImageContext const&) const override { return {_frame, PxValidityInterval::FULL}; }
  bool producesFullFrames() const override { return true; }

 private:
  IxTile _frame;
};

// Copies the wanted pixels of its input row by row, as the simplest node
// would: one buffer per request (not cleared: every pixel is written), one
// interruption check per row.
class CopyNode : public PxImageNode {
 public:
  explicit CopyNode(PxNodePtr<PxImageProtocol> const& input) : PxImageNode(PxNodeInit{"copy", {}}, input) {}
  PxRODResult computeROD(PxImageContext const& context) const override { return getPrimaryInput()->computeROD(context); }
  PxImageResult computeImage(PxImageContext const& context) const override {
    PxValidityInterval validity = PxValidityInterval::FULL;
    GeRectangle<int> const region = context.getPixelRegion() & computePixelROD(context, validity);
    if (region.isEmpty()) return {allocateEmptyImageBuffer(context, CoRgbaColorTyped<float>::ZERO), validity};
    PxImageResult const in = getPrimaryInput()->computeImage(context.withRegion(region));
    IxTile out = allocateImageBuffer(region, PxBufferContents::Undefined);
    IxReadGuard const src(in.tile);
    IxWriteGuard const dst(out);
    std::size_t const rowBytes = static_cast<std::size_t>(region.getWidth()) * src.getBytesPerPixel();
    for (int y = region.y1(); y < region.y2(); ++y) {
      std::memcpy(dst.getPixelAddress(region.x1(), y), src.getPixelAddress(region.x1(), y), rowBytes);
      PxRequestMgr::getInstance().checkInterruption();
    }
    return {out, reduceVI(validity, in.validity)};
  }
};

IxTile const& sourceFrame() {
  static IxTile const frame = [] {
    IxTile t(kRgbaF32, kFrameRegion);
    IxWriteGuard g(t);
    for (int y = 0; y < kHeight; ++y) {
      float* p = g.getRow<float>(y);
      for (int x = 0; x < 4 * kWidth; ++x) p[x] = static_cast<float>(x ^ y);
    }
    return t;
  }();
  return frame;
}

IxTile const& destinationFrame() {
  static IxTile const frame(kRgbaF32, kFrameRegion);
  return frame;
}

// Every case starts on a cleared destination, so that a case that writes
// nothing fails the check after its loop.
void clearDestination() {
  IxWriteGuard g(destinationFrame());
  ipSet(g, CoRgbaColorTyped<float>::ZERO);
}

void finish(benchmark::State& state, int threads) {
  IxReadGuard const s(sourceFrame()), d(destinationFrame());
  for (GePoint2<int> p : {GePoint2<int>(0, 0), GePoint2<int>(2049, 1031), GePoint2<int>(kWidth - 1, kHeight - 1)})
    if (std::memcmp(s.getPixelAddress(p.x(), p.y()), d.getPixelAddress(p.x(), p.y()), 16) != 0)
      state.SkipWithError("destination differs from the source");
  if (PxRequestMgr::getInstance().getWorkerCount() < threads) state.SkipWithError("not enough workers");
  double const pixels = double(kWidth) * kHeight * static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(pixels));
  state.counters["Mpix_per_s"] = benchmark::Counter(pixels * 1e-6, benchmark::Counter::kIsRate);
}

void BM_PlainCopy(benchmark::State& state) {
  int const threads = static_cast<int>(state.range(0));
  IxReadGuard const src(sourceFrame());
  IxWriteGuard const dst(destinationFrame());
  std::size_t const rowBytes = std::size_t(kWidth) * 16;
  auto const request = std::make_shared<PxRequest>();
  clearDestination();
  for (auto _ : state) {
    // Bands of rows, so that each thread runs one plain loop over its rows.
    constexpr int kBands = 64;
    PxRequestMgr::getInstance().parallelFor(
        request, 0, kBands,
        [&](int band) {
          for (int y = band * kHeight / kBands; y < (band + 1) * kHeight / kBands; ++y)
            std::memcpy(dst.getPixelAddress(0, y), src.getPixelAddress(0, y), rowBytes);
        },
        threads);
    benchmark::ClobberMemory();
  }
  finish(state, threads);
}

void BM_TiledPlainCopy(benchmark::State& state) {
  int const threads = static_cast<int>(state.range(0));
  IxReadGuard const src(sourceFrame());
  IxWriteGuard const dst(destinationFrame());
  GeRectangle<int> const tiles = PxImageProtocol::convertPixelsToTiles(kFrameRegion);
  auto const request = std::make_shared<PxRequest>();
  clearDestination();
  for (auto _ : state) {
    PxRequestMgr::getInstance().parallelFor(
        request, 0, tiles.getWidth() * tiles.getHeight(),
        [&](int t) {
          GePoint2<int> const tile(t % tiles.getWidth(), t / tiles.getWidth());
          GeRectangle<int> const r = PxImageProtocol::convertTilesToPixels(tile) & kFrameRegion;
          for (int y = r.y1(); y < r.y2(); ++y)
            std::memcpy(dst.getPixelAddress(r.x1(), y), src.getPixelAddress(r.x1(), y), std::size_t(r.getWidth()) * 16);
        },
        threads);
    benchmark::ClobberMemory();
  }
  finish(state, threads);
}

void BM_PipelineCopy(benchmark::State& state) {
  int const threads = static_cast<int>(state.range(0));
  PxNodePtr<PxImageProtocol> const copy =
      PxNodePtr<CopyNode>::create(PxNodePtr<FrameNode>::create(sourceFrame()));
  PxRenderer renderer(copy, {threads, false, {}});
  PxImageContext const context(0.0, 0, 0, kFrameRegion);
  clearDestination();
  for (auto _ : state) {
    renderer.render(context, destinationFrame());
    benchmark::ClobberMemory();
  }
  finish(state, threads);
}

BENCHMARK(BM_PlainCopy)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TiledPlainCopy)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PipelineCopy)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
