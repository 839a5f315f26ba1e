// The scene renderer built from the plug-in's processing nodes: the input
// image as a source node, each shape curve as a shape image node, the
// scene's parameters as value nodes, then the generator (main and
// destination meshes, each behind a cache node so that one solve serves
// every tile) and the resampler chain, wired the way the "Warp 2D" tool
// wires them. The scene's crop is applied to the region that is rendered.
#include <algorithm>
#include <cmath>

#include "imageSourceNode.h"
#include "pluginAPI/pxAnimValue.h"
#include "pluginAPI/pxRenderer.h"
#include "sceneRenderer.h"
#include "storage/stImageCacheNode.h"
#include "warpGeneratorTool.h"
#include "warpResamplerTool.h"

namespace Qx::Warp2dApp {

namespace {

using Qx::Warper2D::ShapeImage;

template <class T>
PxNodePtr<PxNode> valueNode(Keys<T> const& keys, char const* name) {
  return PxNodePtr<PxAnimValueNode<T>>::create(keys, name);
}

PxNodePtr<PxImageProtocol> cached(PxNodePtr<PxImageProtocol> const& node, char const* name) {
  return PxNodePtr<StImageCacheNode>::create(nullptr, nullptr, StImageCacheNode::kCacheResults, node, name,
                                             StImageCacheNode::kReuseWithinValidity);
}

class NodeSceneRenderer final : public SceneRenderer {
 public:
  RenderedFrame render(Scene const& scene, IxTile const& input, FrameRequest const& request) override {
    if (_renders.isCancelled()) throw PxInterruptedException();
    float const aspect = input.getPixelAspectRatio();
    PxNodePtr<PxImageProtocol> const source = PxNodePtr<ImageSourceNode>::create(input, request.proxyLevel, request.inputReady);

    Warper2D::WarpGeneratorInputs gen;
    gen.primary = source;
    for (SceneShape const& s : scene.shapes) {
      gen.shapes.push_back({PxNodePtr<ShapeImageNode>::create(ShapeImage::encode(
                                s.source.toBezier(), Vector<float>(s.source.links.begin(), s.source.links.end()),
                                aspect)),
                            PxNodePtr<ShapeImageNode>::create(ShapeImage::encode(
                                s.destination.toBezier(),
                                Vector<float>(s.destination.links.begin(), s.destination.links.end()), aspect)),
                            valueNode(Keys<bool>{{0.0, s.fence}}, "Fence"), valueNode(s.smoothing, "Smoothing"),
                            valueNode(s.interpolation, "Interpolation")});
    }
    SceneParameters const& p = scene.parameters;
    gen.renderQuality = valueNode(p.quality, "Quality");
    gen.renderSmoothing = valueNode(p.smoothing, "Smoothing");
    gen.renderBoundary = valueNode(p.boundary, "Boundary");

    Warper2D::WarpResamplerChainInputs chainIn;
    chainIn.primary = source;
    chainIn.mesh = cached(Warper2D::createWarpGeneratorNode(false, gen), "Warp 2D Generator Tool");
    chainIn.destinationMesh = cached(Warper2D::createWarpGeneratorNode(true, gen), "Warp 2D Generator Tool");
    chainIn.timing = valueNode(p.timing, "Timing");
    chainIn.interpolation = valueNode(p.interpolation, "Interpolation");
    chainIn.invertWarp = valueNode(p.invertWarp, "Invert Warp");
    chainIn.quality = gen.renderQuality;
    chainIn.boundary = gen.renderBoundary;
    chainIn.filter = valueNode(p.filter, "Filter");
    Warper2D::WarpResamplerChain const chain = Warper2D::buildWarpResamplerChain(false, chainIn);

    double const scale = std::ldexp(1.0, -request.proxyLevel);
    PxImageContext const context(request.frame, 0, request.proxyLevel, GeRectangle<int>(0, 0, 1, 1));
    PxValidityInterval validity = PxValidityInterval::FULL;
    GeRectangle<int> region = chain.warp->computePixelROD(context, validity);
    // The crop is in full-resolution pixels of the file; at level K a side
    // loses its share rounded down, so a proxy never crops more than the
    // full render does.
    auto side = [&](Keys<int> const& keys) { return static_cast<int>(std::floor(valueAt(keys, request.frame) * scale)); };
    region = GeRectangle<int>(region.x1() + side(scene.crop.left), region.y1() + side(scene.crop.top),
                              region.x2() - side(scene.crop.right), region.y2() - side(scene.crop.bottom));

    RenderedFrame out;
    out.output = run(chain.warp, context, region, request, request.progress);
    if (request.vectors) out.vectors = run(chain.resamplingVectors, context, region, request, {});
    if (request.destination) {
      Warper2D::WarpResamplerChain const simple = Warper2D::buildWarpResamplerChain(true, chainIn);
      PxValidityInterval v = PxValidityInterval::FULL;
      out.destination = run(simple.warp, context, simple.warp->computePixelROD(context, v), request, {});
    }
    return out;
  }

  void cancel() override { _renders.cancel(); }
  char const* describe() const override { return "nodes"; }

 private:
  IxTile run(PxNodePtr<PxImageProtocol> const& node, PxImageContext const& context, GeRectangle<int> const& region,
             FrameRequest const& request, std::function<void(int, int)> progress) {
    return _renders.render(node, context, region, request.threads, std::move(progress));
  }

  CancellableRenders _renders;
};

}  // namespace

std::unique_ptr<SceneRenderer> createNodeSceneRenderer() { return std::make_unique<NodeSceneRenderer>(); }

}  // namespace Qx::Warp2dApp

namespace Qx::Warp2dApp {

IxTile CancellableRenders::render(PxNodePtr<PxImageProtocol> const& node, PxImageContext const& context,
                                  GeRectangle<int> const& region, int threads, std::function<void(int, int)> progress,
                                  Ticket const& ticket) {
  PxRenderSettings settings;
  settings.threadCount = threads;
  settings.progress = std::move(progress);
  PxRenderer renderer(node, settings);
  {
    // Checked and published under the lock that cancel() takes, so a
    // cancel either finds this render or stops it here.
    std::lock_guard<std::mutex> lock(_mutex);
    if (_cancelled.load() || (ticket && ticket->load())) throw PxInterruptedException();
    _current = &renderer;
    _currentTicket = ticket;
  }
  struct Clear {
    CancellableRenders* self;
    ~Clear() {
      std::lock_guard<std::mutex> lock(self->_mutex);
      self->_current = nullptr;
      self->_currentTicket.reset();
    }
  } const clear{this};
  return renderer.render(context.withRegion(region.isEmpty() ? GeRectangle<int>(0, 0, 1, 1) : region), region).tile;
}

void CancellableRenders::cancel() {
  _cancelled.store(true);
  std::lock_guard<std::mutex> lock(_mutex);
  if (_current) _current->cancel();
}

void CancellableRenders::cancel(Ticket const& ticket) {
  if (!ticket) return;
  std::lock_guard<std::mutex> lock(_mutex);
  ticket->store(true);
  if (_current && _currentTicket == ticket) _current->cancel();
}

}  // namespace Qx::Warp2dApp
