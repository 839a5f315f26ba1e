#include "pluginAPI/pxRequestMgr.h"

#include <algorithm>
#include <exception>

namespace {
thread_local bool tIsWorker = false;
thread_local PxRequest* tCurrentRequest = nullptr;
}  // namespace

PxRequestMgr& PxRequestMgr::getInstance() {
  // One worker per core: the host's requests are compute bound.
  static PxRequestMgr instance(static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  return instance;
}

PxRequestMgr::PxRequestMgr(int workerCount) {
  _workers.reserve(workerCount);
  for (int i = 0; i < workerCount; ++i) _workers.emplace_back([this] { workerLoop(); });
}

PxRequestMgr::~PxRequestMgr() {
  {
    std::lock_guard lock(_mutex);
    _stopping = true;
  }
  _wake.notify_all();
  for (auto& t : _workers) t.join();
  // Jobs never started are dropped; their futures report a broken promise.
}

void PxRequestMgr::workerLoop() {
  tIsWorker = true;
  for (;;) {
    Task task;
    {
      std::unique_lock lock(_mutex);
      _wake.wait(lock, [this] { return _stopping || !_queue.empty(); });
      if (_stopping) return;
      task = std::move(_queue.front());
      _queue.pop_front();
    }
    PxRequestScope scope(task.request.get());
    task.work();  // exceptions land in the task's future
  }
}

bool PxRequestMgr::isWorkerThreadCurrent() const { return tIsWorker; }

std::future<void> PxRequestMgr::submit(std::shared_ptr<PxRequest> request, std::function<void()> job) {
  Task task{std::move(request), std::packaged_task<void()>(std::move(job))};
  std::future<void> done = task.work.get_future();
  {
    std::lock_guard lock(_mutex);
    _queue.push_back(std::move(task));
  }
  _wake.notify_one();
  return done;
}

void PxRequestMgr::parallelFor(std::shared_ptr<PxRequest> const& request, int begin, int end,
                               std::function<void(int)> const& job, int maxThreads) {
  if (end <= begin) return;
  PxRequestScope scope(request.get());
  if (tIsWorker || _workers.empty() || end - begin == 1 || maxThreads == 1) {
    for (int i = begin; i < end; ++i) {
      checkInterruption();
      job(i);
    }
    return;
  }
  // Workers and the caller take indices from a shared counter, so uneven
  // jobs balance themselves.
  std::atomic<int> next{begin};
  auto drain = [&] {
    for (int i = next.fetch_add(1); i < end; i = next.fetch_add(1)) {
      checkInterruption();
      job(i);
    }
  };
  int helpers = std::min<int>(static_cast<int>(_workers.size()), end - begin - 1);
  if (maxThreads > 0) helpers = std::min(helpers, maxThreads - 1);
  std::vector<std::future<void>> pending;
  pending.reserve(helpers);
  for (int h = 0; h < helpers; ++h) pending.push_back(submit(request, drain));
  std::exception_ptr first;
  try {
    drain();
  } catch (...) {
    first = std::current_exception();
    next.store(end);  // stop handing out work
  }
  for (auto& f : pending) {
    try {
      f.get();
    } catch (...) {
      if (!first) first = std::current_exception();
      next.store(end);
    }
  }
  if (first) std::rethrow_exception(first);
}

void PxRequestMgr::checkInterruption() const {
  if (tCurrentRequest && tCurrentRequest->isCancelled()) throw PxInterruptedException();
}

PxRequest* PxRequestMgr::getCurrentRequest() { return tCurrentRequest; }

PxRequestScope::PxRequestScope(PxRequest* request) : _previous(tCurrentRequest) { tCurrentRequest = request; }
PxRequestScope::~PxRequestScope() { tCurrentRequest = _previous; }
