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
  return enqueue(Task{std::move(request), std::packaged_task<void()>(std::move(job))});
}

std::future<void> PxRequestMgr::enqueue(Task task) {
  std::future<void> done = task.work.get_future();
  {
    std::lock_guard lock(_mutex);
    _queue.push_back(std::move(task));
  }
  _wake.notify_one();
  return done;
}

bool PxRequestMgr::runQueuedHelper() {
  Task task;
  {
    std::lock_guard lock(_mutex);
    auto const it = std::find_if(_queue.begin(), _queue.end(), [](Task const& t) { return t.helper; });
    if (it == _queue.end()) return false;
    task = std::move(*it);
    _queue.erase(it);
  }
  PxRequestScope scope(task.request.get());
  task.work();  // exceptions land in the task's future
  return true;
}

void PxRequestMgr::parallelFor(std::shared_ptr<PxRequest> const& request, int begin, int end,
                               std::function<void(int)> const& job, int maxThreads) {
  if (end <= begin) return;
  PxRequestScope scope(request.get());
  if (_workers.empty() || end - begin == 1 || maxThreads == 1) {
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
  // A helper runs only if it claims its slot before the caller withdraws
  // it; a withdrawn helper, run later, touches nothing of this call (the
  // slot it reads is shared, the rest of this frame is gone by then).
  enum Claim { kQueued, kRunning, kWithdrawn };
  int helpers = std::min<int>(static_cast<int>(_workers.size()), end - begin - 1);
  if (maxThreads > 0) helpers = std::min(helpers, maxThreads - 1);
  std::vector<std::shared_ptr<std::atomic<int>>> claims;
  std::vector<std::future<void>> pending;
  claims.reserve(helpers);
  pending.reserve(helpers);
  for (int h = 0; h < helpers; ++h) {
    auto claim = std::make_shared<std::atomic<int>>(kQueued);
    claims.push_back(claim);
    pending.push_back(enqueue(Task{request, std::packaged_task<void()>([claim, &drain] {
                                     int queued = kQueued;
                                     if (claim->compare_exchange_strong(queued, kRunning)) drain();
                                   }),
                                   true}));
  }
  std::exception_ptr first;
  try {
    drain();
  } catch (...) {
    first = std::current_exception();
    next.store(end);  // stop handing out work
  }
  for (int h = 0; h < helpers; ++h) {
    int queued = kQueued;
    if (claims[h]->compare_exchange_strong(queued, kWithdrawn)) continue;  // never started: nothing to wait for
    try {
      pending[h].get();
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
