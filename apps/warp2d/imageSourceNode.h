// Source nodes through which warp2d hands images to the pipeline: a file's
// pixels (with the proxy levels a render asks for) and a shape image.
//
// ImageSourceNode serves a tile read from a file. Its region of definition
// is the tile's region at full resolution; it produces full frames, so a
// consumer asks once per frame. Proxy levels up to the one given at
// construction are made when the node is built (main thread), each from the
// one above by a [1 2 1] / 4 filter centred on every second pixel, which
// keeps pixel centres where the level's geometry puts them (pixel x of level
// K sits on x * 2^K of level 0); weights are renormalised over the pixels
// that exist, so edges do not darken. A deeper level than built is made on
// the request, from the deepest built one. Given a valid `ready`, the node
// waits on it before it first reads the tile's pixels: the file may still
// be decoding while the graph is built and the warp solved.
//
// ShapeImageNode serves one shape image (Warper2D::ShapeImage) whatever it
// is asked; the generator scales the curve to the request's level itself.
#pragma once

#include <future>
#include <vector>

#include "pluginAPI/pxImageProtocol.h"

namespace Qx::Warp2dApp {

class ImageSourceNode final : public PxImageNode {
 public:
  ImageSourceNode(IxTile const& image, int levels, std::shared_future<void> ready = {});
  bool producesFullFrames() const override { return true; }
  PxRODResult computeROD(PxImageContext const& context) const override;
  PxImageResult computeImage(PxImageContext const& context) const override;
  // Level k + 1 of `level` (exposed for the demo's overlay).
  static IxTile halve(IxTile const& level);

 private:
  void waitForPixels() const;
  std::vector<IxTile> _levels;
  std::shared_future<void> _ready;
};

class ShapeImageNode final : public PxImageNode {
 public:
  explicit ShapeImageNode(IxTile tile);
  PxRODResult computeROD(PxImageContext const& context) const override;
  PxImageResult computeImage(PxImageContext const& context) const override;

 private:
  IxTile _tile;
};

}  // namespace Qx::Warp2dApp
