// Image cache node: same bits as the node it wraps, one computation per key
// under concurrent requests, the memory bound with least-recently-used
// eviction, reuse within validity, cancellation and invalidation.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "pxTestNodes.h"
#include "storage/stImageCacheNode.h"

namespace {

using namespace pxtest;

struct Cached {
  Counters counters;
  std::shared_ptr<PxImageCache> store;
  PxNodePtr<PxImageProtocol> pattern, cache;
  explicit Cached(std::size_t limit, PxNodePtr<PxNode> const& gain = constant(1.0),
                  int flags = StImageCacheNode::kReuseWithinValidity, PiGraph const* graph = nullptr,
                  std::shared_ptr<PxImageCache> shared = nullptr)
      : store(shared ? shared : std::make_shared<PxImageCache>(limit)) {
    pattern = PxNodePtr<PatternNode>::create(kRgbaF32, GeRectangle<float>(0, 0, 2560, 256), gain, counters);
    cache = PxNodePtr<StImageCacheNode>::create(graph, nullptr, StImageCacheNode::kCacheResults, pattern, "cache",
                                                flags, store);
  }
  IxTile tile(int i, double time = 0.0) const {
    return cache->computeImage(PxImageContext(time, 0, 0, GePoint2<int>(i, 0))).tile;
  }
};

TEST(StImageCacheNodeTest, EightConcurrentIdenticalRequestsComputeOnceAndGetTheNodesBits) {
  Cached c(std::size_t(1) << 30);
  c.counters.rowDelay = std::chrono::microseconds(200);
  std::vector<IxTile> results(8);
  std::atomic<int> ready{0};
  std::vector<std::thread> requests;
  for (int r = 0; r < 8; ++r)
    requests.emplace_back([&, r] {
      PxRequest request;
      PxRequestScope scope(&request);
      ready.fetch_add(1);
      while (ready.load() < 8) std::this_thread::yield();
      results[r] = c.tile(3);
    });
  for (auto& t : requests) t.join();
  EXPECT_EQ(c.counters.computes.load(), 1);
  EXPECT_EQ(c.store->getStats().hits, 7u);
  for (IxTile const& t : results) EXPECT_TRUE(t == results[0]);
  c.counters.rowDelay = std::chrono::microseconds(0);
  EXPECT_TRUE(sameBits(results[0], c.pattern->computeImage(PxImageContext(0.0, 0, 0, GePoint2<int>(3, 0))).tile));
}

TEST(StImageCacheNodeTest, NeverExceedsItsMemoryBoundAndEvictsTheLeastRecentlyUsed) {
  std::size_t const tileBytes = 256 * 256 * 16;
  std::size_t const limit = tileBytes * 7 / 2;  // three tiles fit, not four
  Cached c(limit);
  for (int i = 0; i < 10; ++i) {
    c.tile(i);
    ASSERT_LE(c.store->getStats().bytes, limit);
  }
  PxImageCache::Stats const s = c.store->getStats();
  EXPECT_LE(s.peakBytes, limit);
  EXPECT_EQ(s.entries, 3u);
  EXPECT_EQ(s.evictions, 7u);
  for (int i : {9, 8, 7, 0}) c.tile(i);  // the last three are kept, the first is gone
  EXPECT_EQ(c.counters.computes.load(), 11);
  c.store->setMemoryLimit(0);
  EXPECT_EQ(c.store->getStats().bytes, 0u);
}

TEST(StImageCacheNodeTest, ServesOtherTimesOnlyWithinValidityWhenAllowed) {
  struct Case {
    PxNodePtr<PxNode> gain;
    int flags;
    int computes;  // after asking at times 0 and 7
  } const cases[] = {
      {constant(1.0), StImageCacheNode::kReuseWithinValidity, 1},
      {constant(1.0), 0, 2},
      {value<double>({{0.0, 1.0}, {10.0, 2.0}}), StImageCacheNode::kReuseWithinValidity, 2},
  };
  for (Case const& k : cases) {
    Cached c(std::size_t(1) << 30, k.gain, k.flags);
    c.tile(0, 0.0);
    c.tile(0, 7.0);
    EXPECT_EQ(c.counters.computes.load(), k.computes) << "flags " << k.flags;
  }
}

TEST(StImageCacheNodeTest, InvalidationForgetsTheGraphsEntries) {
  int tags[2];
  auto const* graphA = reinterpret_cast<PiGraph const*>(&tags[0]);
  auto const* graphB = reinterpret_cast<PiGraph const*>(&tags[1]);
  auto const store = std::make_shared<PxImageCache>(std::size_t(1) << 30);
  Cached a(0, constant(1.0), 0, graphA, store), b(0, constant(1.0), 0, graphB, store);
  auto both = [&] { a.tile(0); b.tile(0); };
  both();
  store->invalidateGraph(graphA);
  both();
  EXPECT_EQ(a.counters.computes.load(), 2);
  EXPECT_EQ(b.counters.computes.load(), 1);
  store->invalidateAll();
  both();
  EXPECT_EQ(b.counters.computes.load(), 2);
  std::size_t const before = store->getStats().entries;
  a.cache.reset();  // a cache node takes its entries with it
  EXPECT_EQ(store->getStats().entries, before - 1);
}

TEST(StImageCacheNodeTest, ACancelledComputationIsRedoneForALiveRequest) {
  Cached c(std::size_t(1) << 30);
  c.counters.rowDelay = std::chrono::microseconds(200);
  PxRequest cancelled, live;
  std::atomic<bool> waiting{false};
  std::thread first([&] {
    PxRequestScope scope(&cancelled);
    EXPECT_THROW(c.tile(2), PxInterruptedException);
  });
  while (c.counters.rows.load() == 0) std::this_thread::yield();
  IxTile result;
  std::thread second([&] {
    PxRequestScope scope(&live);
    waiting = true;
    result = c.tile(2);
  });
  while (!waiting) std::this_thread::yield();
  cancelled.cancel();
  first.join();
  second.join();
  EXPECT_EQ(c.counters.computes.load(), 2);
  EXPECT_EQ(result.getPixelRegion(), GeRectangle<int>(512, 0, 768, 256));
  EXPECT_EQ(c.store->getStats().entries, 1u);
}

}  // namespace
