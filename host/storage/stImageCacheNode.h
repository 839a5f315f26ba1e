// The image cache node: wraps another image node and keeps its results in
// the image cache store (pluginAPI/pxImageCache.h, which states the keys,
// the memory bound, the threading and the invalidation rules).
//
// Results are kept under the wrapped node's id, the request's stream and
// proxy level, and its wanted pixels; the results of a node that produces
// full frames are kept once per frame whatever the wanted pixels, so one
// computation serves every tile. Regions of definition are kept too. The
// cache node's format, streams, connection and fill colour are the wrapped
// node's. Destroying a cache node drops its node's entries.
#pragma once

#include <memory>
#include <string>

#include "pluginAPI/pxImageCache.h"
#include "pluginAPI/pxImageProtocol.h"

class StImageCacheNode : public PxImageNode {
 public:
  enum Mode { kCacheResults = 0, kPassThrough = 1 };
  enum Flags { kReuseWithinValidity = 1 };

  // `graph` and `graphObject` (either may be null) tag the entries for
  // invalidation; `mode` caches, or passes every request straight through;
  // flag kReuseWithinValidity serves a result at every time inside its
  // validity interval, not only at the time it was computed for. `cache`
  // null uses the process-wide store.
  StImageCacheNode(PiGraph const* graph, PiGraphObject const* graphObject, int mode,
                   PxNodePtr<PxImageProtocol> const& node, std::string name, int flags,
                   std::shared_ptr<PxImageCache> cache = nullptr);
  ~StImageCacheNode() override;

  PxRODResult computeROD(PxImageContext const& context) const override;
  PxImageResult computeImage(PxImageContext const& context) const override;
  bool producesFullFrames() const override { return getPrimaryInput()->producesFullFrames(); }

  PxImageCache& getCache() const { return *_cache; }

 private:
  std::shared_ptr<PxImageCache> _cache;
  PxImageCache::Use _use;
  int _mode;
};
