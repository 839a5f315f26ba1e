// Source nodes of warp2d: file pixels with their proxy levels, and shape
// images.
#include "imageSourceNode.h"

#include <algorithm>

#include "pluginAPI/pxRequestMgr.h"

namespace Qx::Warp2dApp {

namespace {

int floorHalf(int v) { return v >= 0 ? v / 2 : -((-v + 1) / 2); }

}  // namespace

ImageSourceNode::ImageSourceNode(IxTile const& image, int levels, std::shared_future<void> ready)
    : PxImageNode(PxNodeInit{"warp2d input", PxImageFormat(image.getPixelFormat(), image.getPixelAspectRatio())}),
      _ready(std::move(ready)) {
  _levels.push_back(image);
  if (levels > 0) waitForPixels();
  for (int k = 0; k < levels; ++k) _levels.push_back(halve(_levels.back()));
}

IxTile ImageSourceNode::halve(IxTile const& level) {
  GeRectangle<int> const r = level.getPixelRegion();
  // Pixel x of the new level sits on 2x of this one: keep every x whose
  // [2x - 1, 2x + 1] meets the region.
  GeRectangle<int> const half(floorHalf(r.x1() + 1), floorHalf(r.y1() + 1), floorHalf(r.x2()) + 1,
                              floorHalf(r.y2()) + 1);
  IxPixelFormat const format = level.getPixelFormat();
  if (r.isEmpty()) return IxTile(format, GeRectangle<int>(), level.getFillColor(), level.getPixelAspectRatio());
  IxTile out(format, half, level.getFillColor(), level.getPixelAspectRatio());
  IxReadGuard in(level);
  IxWriteGuard dst(out);
  int const n = format.getNumComps(), bpc = format.getBytesPerComp();
  float const w[3] = {0.25f, 0.5f, 0.25f};
  for (int y = half.y1(); y < half.y2(); ++y)
    for (int x = half.x1(); x < half.x2(); ++x) {
      float sum[4] = {0, 0, 0, 0}, weight = 0;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          int const sx = 2 * x + dx, sy = 2 * y + dy;
          if (!r.contains(sx, sy)) continue;
          float const wt = w[dx + 1] * w[dy + 1];
          std::byte const* p = in.getPixelAddress(sx, sy);
          for (int c = 0; c < n; ++c) sum[c] += wt * format.readComp(p + c * bpc);
          weight += wt;
        }
      std::byte* q = dst.getPixelAddress(x, y);
      for (int c = 0; c < n; ++c) format.writeComp(q + c * bpc, weight > 0 ? sum[c] / weight : 0.0f);
    }
  return out;
}

PxRODResult ImageSourceNode::computeROD(PxImageContext const&) const {
  return {pixelizedToNominal(_levels[0].getPixelRegion(), _levels[0].getPixelAspectRatio(), 1.0),
          PxValidityInterval::FULL};
}

void ImageSourceNode::waitForPixels() const {
  // A copy per caller: one shared_future object is not to be used from two
  // threads at once, copies of it are.
  if (std::shared_future<void> const ready = _ready; ready.valid()) ready.wait();
}

PxImageResult ImageSourceNode::computeImage(PxImageContext const& context) const {
  waitForPixels();
  int const level = context.getProxyLevel();
  if (level < static_cast<int>(_levels.size())) return {_levels[level], PxValidityInterval::FULL};
  IxTile t = _levels.back();
  for (int k = static_cast<int>(_levels.size()) - 1; k < level; ++k) {
    PxRequestMgr::getInstance().checkInterruption();
    t = halve(t);
  }
  return {t, PxValidityInterval::FULL};
}

ShapeImageNode::ShapeImageNode(IxTile tile)
    : PxImageNode(PxNodeInit{"warp2d shape", PxImageFormat(tile.getPixelFormat())}), _tile(std::move(tile)) {}

PxRODResult ShapeImageNode::computeROD(PxImageContext const&) const {
  return {pixelizedToNominal(_tile.getPixelRegion(), 1.0f, 1.0), PxValidityInterval::FULL};
}

PxImageResult ShapeImageNode::computeImage(PxImageContext const&) const { return {_tile, PxValidityInterval::FULL}; }

}  // namespace Qx::Warp2dApp
