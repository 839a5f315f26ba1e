#include "pluginAPI/pxImageCache.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>

#include "base/assertions.h"
#include "pluginAPI/pxRenderer.h"
#include "pluginAPI/pxRequestMgr.h"

namespace {

// How often a request waiting for another's computation checks whether it
// has been cancelled itself, and whether that computation has queued
// parallelFor helpers it could run meanwhile.
constexpr auto kWaitSlice = std::chrono::milliseconds(1);

std::size_t tileBytes(IxTile const& tile) {
  if (!tile.isValid()) return 0;
  return static_cast<std::size_t>(tile.getRowStride()) * static_cast<std::size_t>(tile.getPixelRegion().getHeight());
}

}  // namespace

struct PxImageCache::Pending {
  PxImageCacheKey key;
  double time;
  bool done = false;
  bool interrupted = false;
  std::exception_ptr error;
  Value value;
};

std::size_t PxImageCache::KeyHash::operator()(PxImageCacheKey const& k) const {
  std::size_t h = std::hash<std::uint64_t>()(k.node);
  auto mix = [&h](long long v) { h ^= std::hash<long long>()(v) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2); };
  mix(k.purpose);
  mix(k.stream);
  mix(k.level);
  mix(k.region.x1());
  mix(k.region.y1());
  mix(k.region.x2());
  mix(k.region.y2());
  return h;
}

PxImageCache::PxImageCache(std::size_t memoryLimit) : _limit(memoryLimit) {}

std::shared_ptr<PxImageCache> const& PxImageCache::getShared() {
  static std::shared_ptr<PxImageCache> const shared = [] {
    long const pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    std::size_t const physical = pages > 0 && pageSize > 0 ? static_cast<std::size_t>(pages) * pageSize : 0;
    return std::make_shared<PxImageCache>(physical > 0 ? physical / 4 : std::size_t(1) << 30);
  }();
  return shared;
}

std::size_t PxImageCache::getMemoryLimit() const {
  std::lock_guard lock(_mutex);
  return _limit;
}

void PxImageCache::setMemoryLimit(std::size_t bytes) {
  std::lock_guard lock(_mutex);
  _limit = bytes;
  evictDownTo(bytes);
}

PxImageCache::Stats PxImageCache::getStats() const {
  std::lock_guard lock(_mutex);
  Stats s = _stats;
  s.entries = _lru.size();
  return s;
}

void PxImageCache::invalidateAll() {
  eraseIf([](Entry const&) { return true; });
}

void PxImageCache::invalidateGraph(PiGraph const* graph) {
  eraseIf([graph](Entry const& e) { return e.use.graph == graph; });
}

void PxImageCache::invalidateGraphObject(PiGraphObject const* object) {
  eraseIf([object](Entry const& e) { return e.use.graphObject == object; });
}

void PxImageCache::invalidateNode(std::uint64_t nodeId) {
  eraseIf([nodeId](Entry const& e) { return e.key.node == nodeId; });
}

void PxImageCache::eraseIf(std::function<bool(Entry const&)> const& drop) {
  std::lock_guard lock(_mutex);
  ++_generation;  // results in flight were computed for the old graph
  for (auto it = _lru.begin(); it != _lru.end();) {
    auto const next = std::next(it);
    if (drop(*it)) erase(it);
    it = next;
  }
}

PxImageCache::Value const* PxImageCache::lookUp(PxImageCacheKey const& key, double time, bool reuseWithinValidity) {
  auto const [first, last] = _index.equal_range(key);
  for (auto it = first; it != last; ++it) {
    Entry& e = *it->second;
    if (e.time == time || (reuseWithinValidity && e.value.validity.contains(time))) {
      _lru.splice(_lru.begin(), _lru, it->second);
      return &e.value;
    }
  }
  return nullptr;
}

PxImageResult PxImageCache::findOrCompute(PxImageCacheKey const& key, double time, Use const& use,
                                          std::function<PxImageResult()> const& compute) {
  Value const v = findOrComputeValue(key, time, use, [&] {
    PxImageResult r = compute();
    return Value{std::move(r.tile), {}, r.validity};
  });
  return {v.tile, v.validity};
}

PxRODResult PxImageCache::findOrComputeROD(PxImageCacheKey const& key, double time, Use const& use,
                                           std::function<PxRODResult()> const& compute) {
  Value const v = findOrComputeValue(key, time, use, [&] {
    PxRODResult const r = compute();
    return Value{IxTile(), r.rod, r.validity};
  });
  return {v.rod, v.validity};
}

PxImageCache::Value PxImageCache::findOrComputeValue(PxImageCacheKey const& key, double time, Use const& use,
                                                     std::function<Value()> const& compute) {
  std::unique_lock lock(_mutex);
  for (;;) {
    if (Value const* hit = lookUp(key, time, use.reuseWithinValidity)) {
      ++_stats.hits;
      return *hit;
    }
    auto const same = std::find_if(_pending.begin(), _pending.end(),
                                   [&](auto const& p) { return p->key == key && p->time == time; });
    if (same == _pending.end()) break;
    std::shared_ptr<Pending> const p = *same;
    while (!p->done) {
      // The computation waited for may spread its work over the pool: lend
      // it this thread rather than sleep.
      lock.unlock();
      bool const helped = PxRequestMgr::getInstance().runQueuedHelper();
      lock.lock();
      if (!helped && !p->done) _finished.wait_for(lock, kWaitSlice);
      PxRequestMgr::getInstance().checkInterruption();
    }
    if (p->interrupted) continue;  // its request was cancelled, not ours: compute it again
    if (p->error) std::rethrow_exception(p->error);
    ++_stats.hits;
    return p->value;
  }

  auto const pending = std::make_shared<Pending>();
  pending->key = key;
  pending->time = time;
  _pending.push_back(pending);
  std::uint64_t const generation = _generation;
  auto finish = [&] {
    pending->done = true;
    std::erase(_pending, pending);
    _finished.notify_all();
  };
  lock.unlock();
  try {
    // A kept tile must never alias a renderer's destination.
    PxRenderTarget::Withheld const noOffer;
    pending->value = compute();
  } catch (PxInterruptedException const&) {
    lock.lock();
    pending->interrupted = true;
    finish();
    throw;
  } catch (...) {
    lock.lock();
    pending->error = std::current_exception();
    finish();
    throw;
  }
  lock.lock();
  finish();
  ++_stats.computes;
  if (generation == _generation && !lookUp(key, time, use.reuseWithinValidity))
    insert(Entry{key, time, pending->value, use, tileBytes(pending->value.tile) + sizeof(Entry)});
  return pending->value;
}

void PxImageCache::insert(Entry entry) {
  if (entry.bytes > _limit) return;  // would not fit even alone
  evictDownTo(_limit - entry.bytes);
  _stats.bytes += entry.bytes;
  _stats.peakBytes = std::max(_stats.peakBytes, _stats.bytes);
  _lru.push_front(std::move(entry));
  _index.emplace(_lru.front().key, _lru.begin());
}

void PxImageCache::evictDownTo(std::size_t bytes) {
  while (_stats.bytes > bytes && !_lru.empty()) {
    erase(std::prev(_lru.end()));
    ++_stats.evictions;
  }
}

void PxImageCache::erase(Lru::iterator it) {
  auto [first, last] = _index.equal_range(it->key);
  for (; first != last; ++first)
    if (first->second == it) {
      _index.erase(first);
      break;
    }
  _stats.bytes -= it->bytes;
  _lru.erase(it);
}
