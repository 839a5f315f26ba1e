// Renderer: a generated pattern through a neighbourhood blur, rendered with
// different cuts and thread counts, over animated values, and cancelled.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <utility>
#include <vector>

#include "pluginAPI/pxRenderer.h"
#include "primitives/ipSet.h"
#include "storage/stImageCacheNode.h"
#include "pxTestNodes.h"

namespace {

using namespace pxtest;
constexpr double kInf = std::numeric_limits<double>::infinity();
GeRectangle<float> const kFrame(0, 0, 640, 480);

struct Chain {
  Counters counters;
  PxNodePtr<PxImageProtocol> pattern, blur;
  Chain(PxNodePtr<PxNode> const& gain, PxNodePtr<PxNode> const& amount) {
    pattern = PxNodePtr<PatternNode>::create(kRgbaF32, kFrame, gain, counters);
    blur = PxNodePtr<BlurNode>::create(pattern, amount, counters);
  }
};

// The blurred pattern at amount 1, worked out directly.
float expectedBlur(int x, int y, int c) {
  auto source = [&](int sx, int sy) {
    bool const inside = sx >= 0 && sx < 640 && sy >= 0 && sy < 480;
    return inside ? (c == 3 ? 1.0f : patternValue(sx, sy, 0, c)) : 0.0f;
  };
  float sum = 0.0f;
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) sum += source(x + dx, y + dy);
  return sum / 9.0f;
}

PxImageContext at(double time) { return PxImageContext(time, 0, 0, GeRectangle<int>()); }

TEST(PxRendererTest, SameBitsForEveryCutAndThreadCount) {
  Chain chain(constant(1.0), constant(1.0));
  GeRectangle<int> const region(-37, 19, 700, 520);  // 4 x 3 tiles, reaching past the frame
  struct Run {
    int threads;
    bool single;
    int tiles;
  } const runs[] = {{1, false, 12}, {2, false, 12}, {1, true, 1}, {2, true, 1}};
  IxTile first;
  for (Run const& run : runs) {
    std::vector<std::pair<int, int>> progress;
    PxRenderer renderer(chain.blur, {run.threads, run.single, [&](int d, int t) { progress.emplace_back(d, t); }});
    PxImageResult const r = renderer.render(at(0.0), region);
    ASSERT_EQ(r.tile.getPixelRegion(), region);
    EXPECT_EQ(r.validity, PxValidityInterval::FULL);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), std::make_pair(run.tiles, run.tiles));
    for (std::size_t i = 1; i < progress.size(); ++i) EXPECT_LT(progress[i - 1].first, progress[i].first);
    if (!first.isValid()) first = r.tile;
    EXPECT_TRUE(sameBits(first, r.tile)) << run.threads << " threads, single " << run.single;
  }
  IxReadGuard const g(first);
  for (int y = region.y1(); y < region.y2(); y += 3)
    for (int x = region.x1(); x < region.x2(); x += 2) {
      float const* p = reinterpret_cast<float const*>(g.getPixelAddress(x, y));
      for (int c = 0; c < 4; ++c) ASSERT_NEAR(p[c], expectedBlur(x, y, c), 1e-6) << x << ", " << y << ", " << c;
    }
}

TEST(PxRendererTest, ACacheInFrontNeverKeepsTheDestinationsPixels) {
  Chain chain(constant(1.0), constant(1.0));
  // The pattern's first buffer is its result: the one a cache would keep.
  auto const cache = PxNodePtr<StImageCacheNode>::create(nullptr, nullptr, StImageCacheNode::kCacheResults,
                                                         chain.pattern, "cache", 0,
                                                         std::make_shared<PxImageCache>(1u << 30));
  GeRectangle<int> const region(0, 0, 512, 512);
  PxImageResult const first = PxRenderer(cache).render(at(0.0), region);
  IxWriteGuard overwrite(first.tile);
  ipSet(overwrite, Color{9.0f, 9.0f, 9.0f, 9.0f});
  EXPECT_TRUE(
      sameBits(PxRenderer(cache).render(at(0.0), region).tile, PxRenderer(chain.pattern).render(at(0.0), region).tile));
}

TEST(PxRendererTest, ValidityNarrowsThroughAnAnimatedChain) {
  Chain chain(value<double>({{0.0, 1.0}, {10.0, 2.0}}), value<double>({{20.0, 0.0, PxInterpolation::Hold}, {30.0, 1.0}}));
  struct Case {
    double time;
    PxValidityInterval validity;
  } const cases[] = {
      {-3.0, {-kInf, 0.0}},                    // both hold before their first key
      {5.0, PxValidityInterval::at(5.0)},      // gain moves
      {12.0, {10.0, 20.0}},                    // gain holds after its last key, amount before its first
      {25.0, {20.0, std::nextafter(30.0, 0.0)}},  // amount holds to its next key
      {35.0, {30.0, kInf}},
  };
  PxRenderer renderer(chain.blur);
  for (Case const& c : cases)
    EXPECT_EQ(renderer.render(at(c.time), GeRectangle<int>(250, 250, 270, 262)).validity, c.validity) << c.time;
}

TEST(PxRendererTest, CancellingHalfWayStopsWithinARowPerWorkerAndReleasesEverything) {
  int const threads = std::min(2, PxRequestMgr::getInstance().getWorkerCount());
  GeRectangle<int> const region(0, 0, 1024, 512);  // 8 tiles
  for (bool fromOtherThread : {false, true}) {
    Chain chain(constant(1.0), constant(1.0));
    chain.counters.rowDelay = std::chrono::microseconds(50);
    std::atomic<int> tilesDone{0};
    int rowsAtCancel = -1;
    PxRenderer* self = nullptr;
    PxRenderer renderer(chain.blur, {threads, false, [&](int done, int total) {
                                       tilesDone = done;
                                       if (!fromOtherThread && done * 2 >= total && rowsAtCancel < 0) {
                                         self->cancel();
                                         rowsAtCancel = chain.counters.rows.load();
                                       }
                                     }});
    self = &renderer;
    std::atomic<bool> finished{false};
    std::thread canceller;
    if (fromOtherThread)
      canceller = std::thread([&] {
        while (tilesDone.load() < 4 && !finished) std::this_thread::yield();
        renderer.cancel();
        rowsAtCancel = chain.counters.rows.load();
      });
    EXPECT_THROW(renderer.render(at(0.0), region), PxInterruptedException);
    finished = true;
    if (canceller.joinable()) canceller.join();
    EXPECT_LE(chain.counters.rows.load() - rowsAtCancel, threads) << "from other thread " << fromOtherThread;

    // The same renderer renders again, and gets what an untouched one does.
    chain.counters.rowDelay = std::chrono::microseconds(0);
    IxTile const again = renderer.render(at(0.0), region).tile;
    EXPECT_TRUE(sameBits(again, PxRenderer(chain.blur).render(at(0.0), region).tile));
  }
}

}  // namespace
