// The host's request manager: a pool of processing worker threads, the
// request each thread is working for, and the interruption check that long
// loops call once per row of work.
//
// A request is a cancellation token shared by everything computed for one
// image request. Jobs submitted for a request run on a worker with that
// request current; code on any other thread can make a request current for a
// scope with PxRequestScope. checkInterruption() throws
// PxInterruptedException when the current request has been cancelled, so a
// long computation unwinds through its scoped owners and releases its
// storage on the way out. With no current request the check does nothing.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

class PxInterruptedException : public std::runtime_error {
 public:
  PxInterruptedException() : std::runtime_error("request interrupted") {}
};

class PxRequest {
 public:
  void cancel() { _cancelled.store(true, std::memory_order_relaxed); }
  bool isCancelled() const { return _cancelled.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> _cancelled{false};
};

class PxRequestMgr {
 public:
  // The process-wide manager; its workers start on first use.
  static PxRequestMgr& getInstance();

  PxRequestMgr(PxRequestMgr const&) = delete;
  PxRequestMgr& operator=(PxRequestMgr const&) = delete;
  ~PxRequestMgr();

  // True on the manager's worker threads only.
  bool isWorkerThreadCurrent() const;
  int getWorkerCount() const { return static_cast<int>(_workers.size()); }

  // Runs `job` on a worker with `request` current. The future reports the
  // job's end, rethrowing whatever it threw (PxInterruptedException on
  // cancellation). A null request runs the job with no request current.
  std::future<void> submit(std::shared_ptr<PxRequest> request, std::function<void()> job);

  // Calls job(i) for every i in [begin, end), spread over the workers and
  // the calling thread, all for `request`; returns when every index is done
  // and rethrows the first exception. `maxThreads` > 0 caps the threads at
  // work, the caller included (1 runs every index on the caller).
  // The caller takes indices itself and never waits for a helper that has
  // not started: once the indices run out, helpers still queued are
  // withdrawn. Nested use (from a worker, with every other worker busy or
  // waiting) therefore cannot deadlock the pool; it runs inline then. Jobs
  // must not wait for an image computation of another thread (they may run
  // on a thread that waits for it).
  void parallelFor(std::shared_ptr<PxRequest> const& request, int begin, int end,
                   std::function<void(int)> const& job, int maxThreads = 0);

  // Runs one queued parallelFor helper on the calling thread, if there is
  // one, and says whether it did. For a thread that waits for another
  // thread's computation (the image cache): the computation's parallelFor
  // then gets the waiting thread's core instead of leaving it idle.
  bool runQueuedHelper();

  // The per-row interruption check.
  void checkInterruption() const;

  // The request the calling thread works for, or null.
  static PxRequest* getCurrentRequest();

 private:
  friend class PxRequestScope;
  explicit PxRequestMgr(int workerCount);
  void workerLoop();

  struct Task {
    std::shared_ptr<PxRequest> request;
    std::packaged_task<void()> work;
    bool helper = false;  // a parallelFor helper, which waiting threads may run
  };
  std::future<void> enqueue(Task task);

  std::mutex _mutex;
  std::condition_variable _wake;
  std::deque<Task> _queue;
  bool _stopping = false;
  std::vector<std::thread> _workers;
};

// Makes `request` current on the calling thread until the scope ends.
class PxRequestScope {
 public:
  explicit PxRequestScope(PxRequest* request);
  ~PxRequestScope();
  PxRequestScope(PxRequestScope const&) = delete;
  PxRequestScope& operator=(PxRequestScope const&) = delete;

 private:
  PxRequest* _previous;
};
