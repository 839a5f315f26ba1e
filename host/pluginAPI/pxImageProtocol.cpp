#include "pluginAPI/pxImageProtocol.h"

#include <cmath>

#include "primitives/ipCrop.h"
#include "primitives/ipSet.h"
#include "pluginAPI/pxRenderer.h"

namespace {

// Pixel coordinates are kept well inside int so that sums of a coordinate
// and a tile size cannot overflow.
constexpr double kCoordinateLimit = 1 << 30;

// Float error of a nominal value carried through the conversions is a few
// ulps of a float, relative; 2^-21 relative is several times that, and the
// absolute part (about 1/1000 pixel) covers values near zero.
double roundingTolerance(double v) { return 0x1p-10 + std::fabs(v) * 0x1p-21; }

int clampedCoordinate(double v) { return static_cast<int>(std::clamp(v, -kCoordinateLimit, kCoordinateLimit)); }

int floorDiv(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

}  // namespace

PxImageFormat::PxImageFormat(IxPixelFormat const& pixelFormat, float pixelAspectRatio)
    : _pixelFormat(pixelFormat),
      _aspectRatio(std::isfinite(pixelAspectRatio) && pixelAspectRatio > 0.0f ? pixelAspectRatio : 1.0f) {}

PxImageContext::PxImageContext(double time, int stream, int proxyLevel, GeRectangle<int> const& pixelRegion)
    : _time(time), _stream(stream), _level(proxyLevel), _isTile(false), _region(pixelRegion) {
  QX_ASSERT(std::isfinite(time));
  QX_ASSERT(proxyLevel >= 0 && proxyLevel <= 30);
}

PxImageContext::PxImageContext(double time, int stream, int proxyLevel, GePoint2<int> const& tile)
    : PxImageContext(time, stream, proxyLevel, GeRectangle<int>()) {
  _isTile = true;
  _tile = tile;
}

double PxImageContext::getScale() const { return std::ldexp(1.0, -_level); }

GePoint2<int> const& PxImageContext::getTile() const {
  QX_ASSERT(_isTile);
  return _tile;
}

GeRectangle<int> PxImageContext::getPixelRegion() const {
  return _isTile ? PxImageProtocol::convertTilesToPixels(_tile) : _region;
}

PxImageContext PxImageContext::withTime(double time) const {
  PxImageContext c = *this;
  QX_ASSERT(std::isfinite(time));
  c._time = time;
  return c;
}

PxImageContext PxImageContext::withProxyLevel(int proxyLevel) const {
  return _isTile ? PxImageContext(_time, _stream, proxyLevel, _tile) : PxImageContext(_time, _stream, proxyLevel, _region);
}

PxImageContext PxImageContext::withRegion(GeRectangle<int> const& pixelRegion) const {
  return PxImageContext(_time, _stream, _level, pixelRegion);
}

PxImageContext PxImageContext::withTile(GePoint2<int> const& tile) const {
  return PxImageContext(_time, _stream, _level, tile);
}

IxTile const* PxImageTiles::findTile(int x, int y) const {
  for (Piece const& p : pieces)
    if (p.area.contains(x, y)) return &p.tile;
  return nullptr;
}

void PxImageTiles::copyTo(IxWriteGuard const& dst) const {
  GeRectangle<int> const target = region & dst.getPixelRegion();
  if (target.isEmpty()) return;
  long long covered = 0;
  for (Piece const& p : pieces) {
    GeRectangle<int> const a = p.area & target;
    covered += static_cast<long long>(a.getWidth()) * a.getHeight();
  }
  // Pieces are disjoint, so the fill is needed exactly when they fall short.
  if (covered < static_cast<long long>(target.getWidth()) * target.getHeight()) {
    IxWriteGuard fill = dst;
    ipSet(fill, fillColor, &target);
  }
  for (Piece const& p : pieces) {
    GeRectangle<int> const a = p.area & target;
    if (!a.isEmpty()) ipCrop(IxReadGuard(p.tile), dst, &a);
  }
}

GeRectangle<int> PxImageProtocol::computePixelROD(PxImageContext const& context, PxValidityInterval& validity) const {
  PxRODResult const r = computeROD(context);
  validity = reduceVI(validity, r.validity);
  return nominalToPixelized(r.rod, getImageFormat().getPixelAspectRatio(), context.getScale());
}

GeRectangle<int> PxImageProtocol::nominalToPixelized(GeRectangle<float> const& nominal, float pixelAspectRatio,
                                                     double scale) {
  QX_ASSERT(pixelAspectRatio > 0.0f && scale > 0.0);
  if (nominal.isEmpty()) return {};  // also every NaN corner
  double const sx = scale / pixelAspectRatio;
  double const x1 = nominal.x1() * sx, x2 = nominal.x2() * sx;
  double const y1 = nominal.y1() * scale, y2 = nominal.y2() * scale;
  GeRectangle<int> const r(clampedCoordinate(std::floor(x1 + roundingTolerance(x1))),
                           clampedCoordinate(std::floor(y1 + roundingTolerance(y1))),
                           clampedCoordinate(std::ceil(x2 - roundingTolerance(x2))),
                           clampedCoordinate(std::ceil(y2 - roundingTolerance(y2))));
  return r.isEmpty() ? GeRectangle<int>() : r;
}

GeRectangle<float> PxImageProtocol::pixelizedToNominal(GeRectangle<int> const& pixels, float pixelAspectRatio,
                                                       double scale) {
  QX_ASSERT(pixelAspectRatio > 0.0f && scale > 0.0);
  if (pixels.isEmpty()) return {};
  double const sx = pixelAspectRatio / scale, sy = 1.0 / scale;
  return GeRectangle<float>(static_cast<float>(pixels.x1() * sx), static_cast<float>(pixels.y1() * sy),
                            static_cast<float>(pixels.x2() * sx), static_cast<float>(pixels.y2() * sy));
}

GeRectangle<int> PxImageProtocol::convertTilesToPixels(GePoint2<int> const& tile) {
  return convertTilesToPixels(GeRectangle<int>(tile.x(), tile.y(), tile.x() + 1, tile.y() + 1));
}

GeRectangle<int> PxImageProtocol::convertTilesToPixels(GeRectangle<int> const& tiles) {
  if (tiles.isEmpty()) return {};
  return GeRectangle<int>(tiles.x1() * kTileSize, tiles.y1() * kTileSize, tiles.x2() * kTileSize,
                          tiles.y2() * kTileSize);
}

GeRectangle<int> PxImageProtocol::convertPixelsToTiles(GeRectangle<int> const& pixels) {
  if (pixels.isEmpty()) return {};
  return GeRectangle<int>(floorDiv(pixels.x1(), kTileSize), floorDiv(pixels.y1(), kTileSize),
                          floorDiv(pixels.x2() - 1, kTileSize) + 1, floorDiv(pixels.y2() - 1, kTileSize) + 1);
}

PxImageTiles PxImageProtocol::getImageTilesInRegion(PxImageProtocol const& source, PxImageContext const& context,
                                                    GeRectangle<int> const& region,
                                                    CoRgbaColorTyped<float> const& fillColor) {
  PxImageTiles out{region, {}, fillColor, PxValidityInterval::FULL};
  if (region.isEmpty()) return out;
  GeRectangle<int> const wanted = region & source.computePixelROD(context, out.validity);
  if (wanted.isEmpty()) return out;
  auto add = [&](GeRectangle<int> const& area, PxImageContext const& request) {
    PxImageResult r = source.computeImage(request);
    QX_ASSERT(r.tile.isValid());
    out.validity = reduceVI(out.validity, r.validity);
    GeRectangle<int> const supplied = area & r.tile.getPixelRegion();
    if (!supplied.isEmpty()) out.pieces.push_back({supplied, std::move(r.tile)});
  };
  if (source.producesFullFrames()) {
    add(wanted, context.withRegion(wanted));
    return out;
  }
  GeRectangle<int> const tiles = convertPixelsToTiles(wanted);
  for (int j = tiles.y1(); j < tiles.y2(); ++j)
    for (int i = tiles.x1(); i < tiles.x2(); ++i) {
      PxRequestMgr::getInstance().checkInterruption();
      GePoint2<int> const tile(i, j);
      add(convertTilesToPixels(tile) & wanted, context.withTile(tile));
    }
  return out;
}

PxImageNode::PxImageNode(PxNodeInit const& init, PxNodePtr<PxImageProtocol> const& primary)
    : PxImageProtocol(init.name), _primary(primary), _initFormat(init.format) {}

PxImageFormat PxImageNode::getImageFormat() const {
  std::call_once(_formatOnce, [this] { _format = computeImageFormat(); });
  return _format;
}

bool PxImageNode::isChainConnected() const {
  if (_initFormat && !_primary) return true;
  return _primary && _primary->isChainConnected();
}

int PxImageNode::getNbStreams() const { return _primary ? _primary->getNbStreams() : 1; }

CoRgbaColorTyped<float> PxImageNode::getImageFillColor() const {
  return _primary ? _primary->getImageFillColor() : CoRgbaColorTyped<float>::ZERO;
}

PxImageFormat PxImageNode::computeImageFormat() const {
  PxImageFormat f = getDefaultImageFormat();
  f.setComps(computeImageFormatComps());
  return f;
}

IxPixelFormat::Comps PxImageNode::computeImageFormatComps() const {
  return getDefaultImageFormat().getPixelFormat().getComps();
}

PxImageFormat PxImageNode::getDefaultImageFormat() const {
  if (_initFormat) return *_initFormat;
  if (_primary) return _primary->getImageFormat();
  return PxImageFormat();
}

IxTile PxImageNode::allocateImageBuffer(GeRectangle<int> const& pixelRegion, PxBufferContents contents) const {
  PxImageFormat const f = getImageFormat();
  IxTile offered = PxRenderTarget::claim(*this, f.getPixelFormat(), pixelRegion, getImageFillColor(), contents);
  if (offered.isValid()) return offered;
  return IxTile(f.getPixelFormat(), pixelRegion, getImageFillColor(), f.getPixelAspectRatio());
}

IxTile PxImageNode::allocateEmptyImageBuffer(PxImageContext const& context,
                                             CoRgbaColorTyped<float> const& fillColor) const {
  PxImageFormat const f = getImageFormat();
  GeRectangle<int> const wanted = context.getPixelRegion();
  return IxTile(f.getPixelFormat(), GeRectangle<int>(wanted.x1(), wanted.y1(), wanted.x1(), wanted.y1()), fillColor,
                f.getPixelAspectRatio());
}
