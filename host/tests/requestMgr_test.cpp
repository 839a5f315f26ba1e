// Request manager: worker threads, parallel loops and the interruption check.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "pluginAPI/pxRequestMgr.h"

namespace {

TEST(PxRequestMgrTest, KnowsItsWorkerThreads) {
  PxRequestMgr& mgr = PxRequestMgr::getInstance();
  EXPECT_GE(mgr.getWorkerCount(), 1);
  EXPECT_FALSE(mgr.isWorkerThreadCurrent());
  bool onWorker = false;
  mgr.submit(nullptr, [&] { onWorker = PxRequestMgr::getInstance().isWorkerThreadCurrent(); }).get();
  EXPECT_TRUE(onWorker);
  std::thread other([&] { onWorker = PxRequestMgr::getInstance().isWorkerThreadCurrent(); });
  other.join();
  EXPECT_FALSE(onWorker);
}

TEST(PxRequestMgrTest, WorkersRunInParallel) {
  PxRequestMgr& mgr = PxRequestMgr::getInstance();
  if (mgr.getWorkerCount() < 2) GTEST_SKIP() << "one core";
  // Two jobs that each wait for the other to start can only finish when
  // they run at the same time.
  std::atomic<int> started{0};
  auto job = [&] {
    started.fetch_add(1);
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (started.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  };
  auto a = mgr.submit(nullptr, job);
  auto b = mgr.submit(nullptr, job);
  a.get();
  b.get();
  EXPECT_EQ(started.load(), 2);
}

TEST(PxRequestMgrTest, ParallelForVisitsEveryIndexOnceAndRethrows) {
  PxRequestMgr& mgr = PxRequestMgr::getInstance();
  std::vector<std::atomic<int>> hits(1000);
  mgr.parallelFor(std::make_shared<PxRequest>(), 0, 1000, [&](int i) { hits[i].fetch_add(1); });
  for (auto const& h : hits) ASSERT_EQ(h.load(), 1);
  // Capped at one thread, every index runs on the caller.
  std::atomic<int> onWorkers{0};
  mgr.parallelFor(nullptr, 0, 100, [&](int) { onWorkers += mgr.isWorkerThreadCurrent(); }, 1);
  EXPECT_EQ(onWorkers.load(), 0);

  EXPECT_THROW(mgr.parallelFor(nullptr, 0, 100,
                               [](int i) {
                                 if (i == 37) throw std::runtime_error("boom");
                               }),
               std::runtime_error);
}

// A long row loop that owns heap storage, as a solver would.
int rowLoop(int rows, std::atomic<int>& rowsDone, std::atomic<bool>& firstRow) {
  auto storage = std::make_unique<std::vector<double>>(1 << 16, 1.0);
  for (int y = 0; y < rows; ++y) {
    (*storage)[y % storage->size()] += 1.0;
    rowsDone.fetch_add(1);
    firstRow = true;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    PxRequestMgr::getInstance().checkInterruption();
  }
  return rows;
}

TEST(PxRequestMgrTest, NestedParallelForBorrowsWaitingThreadsAndNeverWaitsForAQueuedHelper) {
  PxRequestMgr& mgr = PxRequestMgr::getInstance();
  int const others = mgr.getWorkerCount() - 1;
  if (others < 1) GTEST_SKIP() << "one core";
  // One worker runs a parallelFor while every other worker waits for it to
  // end, lending itself (as the image cache does) or merely sleeping. Every
  // index runs once either way; a lent thread takes some of them, a sleeping
  // one none, and the caller does not wait for its queued helpers.
  for (bool lend : {true, false}) {
    std::atomic<bool> done{false};
    std::atomic<int> waiting{0};
    std::vector<std::atomic<int>> hits(200);
    std::atomic<int> elsewhere{0};
    std::vector<std::future<void>> waiters;
    for (int i = 0; i < others; ++i)
      waiters.push_back(mgr.submit(nullptr, [&] {
        waiting.fetch_add(1);
        while (!done.load())
          if (!lend || !mgr.runQueuedHelper()) std::this_thread::sleep_for(std::chrono::microseconds(100));
      }));
    mgr.submit(nullptr, [&] {
         while (waiting.load() < others) std::this_thread::yield();
         std::thread::id const caller = std::this_thread::get_id();
         mgr.parallelFor(nullptr, 0, 200, [&](int i) {
           hits[i].fetch_add(1);
           elsewhere += std::this_thread::get_id() != caller;
           std::this_thread::sleep_for(std::chrono::microseconds(200));
         });
         done.store(true);
       }).get();
    for (auto& w : waiters) w.get();
    for (auto const& h : hits) ASSERT_EQ(h.load(), 1);
    EXPECT_EQ(elsewhere.load() > 0, lend);
  }
}

TEST(PxRequestMgrTest, CancelledRequestStopsWithinOneRowAndReleasesStorage) {
  auto request = std::make_shared<PxRequest>();
  std::atomic<int> rowsDone{0};
  std::atomic<bool> firstRow{false};
  auto done = PxRequestMgr::getInstance().submit(request, [&] { rowLoop(1000000, rowsDone, firstRow); });
  while (!firstRow) std::this_thread::yield();
  request->cancel();
  int const atCancel = rowsDone.load();
  EXPECT_THROW(done.get(), PxInterruptedException);
  EXPECT_LE(rowsDone.load(), atCancel + 1);
}

TEST(PxRequestMgrTest, CheckOnlyFiresForTheCurrentRequest) {
  PxRequestMgr& mgr = PxRequestMgr::getInstance();
  EXPECT_NO_THROW(mgr.checkInterruption());  // no request current
  PxRequest cancelled;
  cancelled.cancel();
  PxRequest live;
  {
    PxRequestScope scope(&live);
    EXPECT_NO_THROW(mgr.checkInterruption());
    {
      PxRequestScope inner(&cancelled);
      EXPECT_THROW(mgr.checkInterruption(), PxInterruptedException);
    }
    EXPECT_EQ(PxRequestMgr::getCurrentRequest(), &live);
  }
  EXPECT_EQ(PxRequestMgr::getCurrentRequest(), nullptr);
}

}  // namespace
