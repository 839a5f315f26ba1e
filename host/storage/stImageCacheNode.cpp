#include "storage/stImageCacheNode.h"

#include "base/assertions.h"

StImageCacheNode::StImageCacheNode(PiGraph const* graph, PiGraphObject const* graphObject, int mode,
                                   PxNodePtr<PxImageProtocol> const& node, std::string name, int flags,
                                   std::shared_ptr<PxImageCache> cache)
    : PxImageNode(PxNodeInit{std::move(name), std::nullopt}, node),
      _cache(cache ? std::move(cache) : PxImageCache::getShared()),
      _use{(flags & kReuseWithinValidity) != 0, graph, graphObject},
      _mode(mode) {
  QX_ASSERT(mode == kCacheResults || mode == kPassThrough);
}

StImageCacheNode::~StImageCacheNode() {
  if (getPrimaryInput()) _cache->invalidateNode(getPrimaryInput()->getNodeId());
}

PxRODResult StImageCacheNode::computeROD(PxImageContext const& context) const {
  PxImageProtocol const& node = *getPrimaryInput();
  if (_mode == kPassThrough) return node.computeROD(context);
  PxImageCacheKey const key{node.getNodeId(), PxImageCacheKey::kROD, context.getStream(), context.getProxyLevel(), {}};
  return _cache->findOrComputeROD(key, context.getTime(), _use, [&] { return node.computeROD(context); });
}

PxImageResult StImageCacheNode::computeImage(PxImageContext const& context) const {
  PxImageProtocol const& node = *getPrimaryInput();
  if (_mode == kPassThrough) return node.computeImage(context);
  bool const full = node.producesFullFrames();
  PxImageCacheKey const key{node.getNodeId(), full ? PxImageCacheKey::kFullFrame : PxImageCacheKey::kRegion,
                            context.getStream(), context.getProxyLevel(),
                            full ? GeRectangle<int>() : context.getPixelRegion()};
  return _cache->findOrCompute(key, context.getTime(), _use, [&] { return node.computeImage(context); });
}
