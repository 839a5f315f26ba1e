// The image cache store: results of processing nodes kept under what they
// are a function of, bounded in memory, shared by concurrent requests.
// Cache nodes (storage/stImageCacheNode.h) keep their wrapped node's results
// here; a service that derives images from a node without being a node (a
// texture's prefiltered levels) keeps them here under a purpose of its own.
//
// Keys. A node's result is a pure function of the node and the request, so
// a result is kept under a PxImageCacheKey (node id, purpose, stream, proxy
// level, pixel region; the region empty for whole frames and regions of
// definition) together with the time it was computed for and its validity
// interval. A request finds an entry with its key that was computed for its
// time or, when the caller allows it, whose validity interval contains its
// time: a mesh that no animated value touches is computed once for a shot.
//
// Memory: the store counts the bytes of the tiles it keeps and never holds
// more than its limit. Before adding a result it drops the least recently
// used entries until the result fits; a result larger than the whole limit
// is handed out without being kept. Tiles that consumers still hold stay
// alive outside the count until they let go.
//
// Threading: every operation may be called from any thread. Requests for a
// key that is being computed wait for that computation (checking their own
// interruption while they wait) instead of computing it again. An
// interrupted computation is not kept, and a waiter from another, live
// request then computes the key itself; a computation that fails otherwise
// hands its exception to all its waiters. Nothing computed for the store
// ever aliases a renderer's destination (pxRenderer.h).
//
// Invalidation: nodes are immutable, so a changed graph builds new nodes
// whose ids never meet old entries; invalidation frees the memory that old
// entries hold. The graph layer calls invalidateGraph (or invalidateAll)
// when a graph changes; results still being computed then are handed out
// but not kept.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "pluginAPI/pxImageProtocol.h"

class PiGraph;
class PiGraphObject;

struct PxImageCacheKey {
  // Purposes below kFirstServicePurpose are the cache nodes' own.
  enum Purpose { kRegion = 0, kFullFrame = 1, kROD = 2, kFirstServicePurpose = 16 };

  std::uint64_t node;
  int purpose;
  int stream;
  int level;
  GeRectangle<int> region;

  bool operator==(PxImageCacheKey const&) const = default;
};

class PxImageCache {
 public:
  struct Stats {
    std::uint64_t hits = 0;
    std::uint64_t computes = 0;
    std::uint64_t evictions = 0;
    std::size_t entries = 0;
    std::size_t bytes = 0;
    std::size_t peakBytes = 0;  // the most ever held at once
  };
  // How an entry may be found again and invalidated.
  struct Use {
    bool reuseWithinValidity = true;
    PiGraph const* graph = nullptr;
    PiGraphObject const* graphObject = nullptr;
  };

  explicit PxImageCache(std::size_t memoryLimit);
  PxImageCache(PxImageCache const&) = delete;
  PxImageCache& operator=(PxImageCache const&) = delete;

  // The process-wide store, limited to a quarter of the physical memory.
  static std::shared_ptr<PxImageCache> const& getShared();

  // The kept result for (key, time), or the result of `compute`, which is
  // kept. `compute` runs on the calling thread without the store's lock.
  PxImageResult findOrCompute(PxImageCacheKey const& key, double time, Use const& use,
                              std::function<PxImageResult()> const& compute);
  PxRODResult findOrComputeROD(PxImageCacheKey const& key, double time, Use const& use,
                               std::function<PxRODResult()> const& compute);

  std::size_t getMemoryLimit() const;
  void setMemoryLimit(std::size_t bytes);  // evicts down to it at once
  Stats getStats() const;

  void invalidateAll();
  void invalidateGraph(PiGraph const* graph);
  void invalidateGraphObject(PiGraphObject const* object);
  void invalidateNode(std::uint64_t nodeId);

 private:
  struct KeyHash {
    std::size_t operator()(PxImageCacheKey const& k) const;
  };
  struct Value {
    IxTile tile;
    GeRectangle<float> rod;
    PxValidityInterval validity = PxValidityInterval::FULL;
  };
  struct Entry {
    PxImageCacheKey key;
    double time;
    Value value;
    Use use;
    std::size_t bytes;
  };
  struct Pending;
  using Lru = std::list<Entry>;  // most recently used first

  Value findOrComputeValue(PxImageCacheKey const& key, double time, Use const& use,
                           std::function<Value()> const& compute);
  Value const* lookUp(PxImageCacheKey const& key, double time, bool reuseWithinValidity);
  void insert(Entry entry);
  void evictDownTo(std::size_t bytes);
  void erase(Lru::iterator it);
  void eraseIf(std::function<bool(Entry const&)> const& drop);

  mutable std::mutex _mutex;
  std::condition_variable _finished;
  std::size_t _limit;
  Lru _lru;
  std::unordered_multimap<PxImageCacheKey, Lru::iterator, KeyHash> _index;
  std::vector<std::shared_ptr<Pending>> _pending;
  std::uint64_t _generation = 0;
  Stats _stats;
};
