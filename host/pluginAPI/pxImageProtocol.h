// Image nodes of the host's processing graph, the requests they answer and
// the helpers that every node uses at its edges.
//
// Coordinates. Three planes:
//   nominal  full-resolution units with square pixels, floats. Regions of
//            definition are nominal rectangles (PxRODResult), so they do not
//            change with the proxy level of a request.
//   pixel    the integer pixels of one proxy level; pixel (x, y) is centred
//            on the integer point (x, y), rectangles are half-open. At level
//            k (scale s = 1/2^k) and pixel aspect ratio r (pixel width over
//            height): pixel x = nominal x * s / r, pixel y = nominal y * s.
//   tiles    the pixel plane of every level is cut into kTileSize squares;
//            tile (i, j) covers [i*S, (i+1)*S) x [j*S, (j+1)*S), S = kTileSize.
// nominalToPixelized rounds outward, so the pixels cover everything the
// nominal rectangle touches (a region of definition never loses an edge
// pixel at a proxy level), with a tolerance of about 1/1000 pixel that
// absorbs float error: a pixel rectangle taken to nominal and back comes
// back unchanged at every aspect ratio and level.
//
// Requests. A PxImageContext names a time, a stream, a proxy level and what
// is wanted: a pixel region or one tile of the grid. A node answers with a
// tile covering at least the wanted pixels that lie inside its region of
// definition; wanted pixels that the tile does not cover are the tile's fill
// colour (so an empty region of definition is answered by an empty tile, see
// allocateEmptyImageBuffer). A node that produces full frames answers every
// request with its whole region of definition. Nodes read the wanted pixels
// with getPixelRegion(), which serves both kinds of request.
//
// Ownership. Result tiles are shared: the cache, the renderer and any number
// of consumers may hold the same tile. Never write into a tile you were
// given; allocate your own (allocateImageBuffer).
//
// Threading. Nodes are immutable once built (pxNodeHndls.h); computeROD and
// computeImage run concurrently on the worker threads for many requests,
// keep their working state local and take no locks. Long loops call
// PxRequestMgr::getInstance().checkInterruption() once per row, so a
// cancelled request unwinds with PxInterruptedException and releases its
// storage through the scoped owners on the way out.
//
// Failure. Empty or NaN rectangles convert to empty ones; empty regions give
// empty tiles, not errors. Broken invariants raise AssertionFailure.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "primitives/coRgbaColor.h"
#include "primitives/geRectangle.h"
#include "primitives/gePoint2.h"
#include "primitives/ixPixelFormat.h"
#include "primitives/ixTile.h"
#include "pluginAPI/pxNode.h"
#include "pluginAPI/pxNodeHndls.h"

// What a node's images are made of: pixel format and pixel aspect ratio.
class PxImageFormat {
 public:
  // A ratio that is not a positive finite number is taken as 1 (square).
  explicit PxImageFormat(IxPixelFormat const& pixelFormat = IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32),
                         float pixelAspectRatio = 1.0f);

  IxPixelFormat const& getPixelFormat() const { return _pixelFormat; }
  float getPixelAspectRatio() const { return _aspectRatio; }
  void setComps(IxPixelFormat::Comps comps) { _pixelFormat = IxPixelFormat(comps, _pixelFormat.getDepth()); }
  void setDepth(IxPixelFormat::Depth depth) { _pixelFormat = IxPixelFormat(_pixelFormat.getComps(), depth); }

  bool operator==(PxImageFormat const&) const = default;

 private:
  IxPixelFormat _pixelFormat;
  float _aspectRatio;
};

class PxImageContext {
 public:
  // A request for a pixel region, or for one tile of the grid. The time must
  // be finite and the level in [0, 30].
  PxImageContext(double time, int stream, int proxyLevel, GeRectangle<int> const& pixelRegion);
  PxImageContext(double time, int stream, int proxyLevel, GePoint2<int> const& tile);

  double getTime() const { return _time; }
  int getStream() const { return _stream; }
  int getProxyLevel() const { return _level; }
  double getScale() const;  // 1 / 2^level

  bool isTileRequest() const { return _isTile; }
  GePoint2<int> const& getTile() const;  // tile requests only
  // The wanted pixels: the region, or the tile's pixels.
  GeRectangle<int> getPixelRegion() const;

  PxImageContext withTime(double time) const;
  PxImageContext withProxyLevel(int proxyLevel) const;
  PxImageContext withRegion(GeRectangle<int> const& pixelRegion) const;
  PxImageContext withTile(GePoint2<int> const& tile) const;

  bool operator==(PxImageContext const&) const = default;

 private:
  double _time;
  int _stream;
  int _level;
  bool _isTile;
  GeRectangle<int> _region;
  GePoint2<int> _tile;
};

struct PxImageResult {
  IxTile tile;
  PxValidityInterval validity = PxValidityInterval::FULL;
};

struct PxRODResult {
  GeRectangle<float> rod;  // nominal
  PxValidityInterval validity = PxValidityInterval::FULL;
};

// A source image's pixels over a region, as the source's own tiles
// (PxImageProtocol::getImageTilesInRegion). Pieces are disjoint; pixels of
// the region that no piece supplies are `fillColor`.
struct PxImageTiles {
  struct Piece {
    GeRectangle<int> area;  // the pixels of `region` this tile supplies
    IxTile tile;            // covers at least `area`
  };

  GeRectangle<int> region;
  std::vector<Piece> pieces;
  CoRgbaColorTyped<float> fillColor;
  PxValidityInterval validity = PxValidityInterval::FULL;

  // The tile supplying pixel (x, y), or null where the fill colour holds.
  IxTile const* findTile(int x, int y) const;
  // Writes every pixel of region & dst's region, converting to dst's format.
  void copyTo(IxWriteGuard const& dst) const;
};

// The image interface of a node, and the conversions every node uses.
class PxImageProtocol : public PxNode {
 public:
  // Side of the square tiles of the tile grid. 256 pixels of float RGBA are
  // 1 MiB, which stays in a core's cache while a tile is computed and
  // copied; a UHD frame is 135 tiles, enough to balance the workers, and
  // the cost of one request (context, cache look-up, allocation) is spread
  // over 65536 pixels.
  static constexpr int kTileSize = 256;

  virtual PxImageFormat getImageFormat() const = 0;
  // Region of definition: where the image has pixels other than its fill
  // colour, in nominal coordinates.
  virtual PxRODResult computeROD(PxImageContext const& context) const = 0;
  virtual PxImageResult computeImage(PxImageContext const& context) const = 0;
  // Whether every input the image needs is connected.
  virtual bool isChainConnected() const = 0;
  // True: every request is answered with the whole region of definition, so
  // consumers ask once per frame rather than per tile.
  virtual bool producesFullFrames() const = 0;
  virtual int getNbStreams() const = 0;
  // The colour of every pixel outside the region of definition.
  virtual CoRgbaColorTyped<float> getImageFillColor() const = 0;

  // The region of definition in pixels of the context's level, narrowing
  // `validity` by its own.
  GeRectangle<int> computePixelROD(PxImageContext const& context, PxValidityInterval& validity) const;

  static GeRectangle<int> nominalToPixelized(GeRectangle<float> const& nominal, float pixelAspectRatio, double scale);
  static GeRectangle<float> pixelizedToNominal(GeRectangle<int> const& pixels, float pixelAspectRatio, double scale);

  static GeRectangle<int> convertTilesToPixels(GePoint2<int> const& tile);
  // A rectangle of tile indices to the pixels those tiles cover.
  static GeRectangle<int> convertTilesToPixels(GeRectangle<int> const& tiles);
  // The tile indices whose tiles cover `pixels`.
  static GeRectangle<int> convertPixelsToTiles(GeRectangle<int> const& pixels);

  // The pixels of `source` over `region` at the time, stream and level of
  // `context` (its own region is not used): one request when the source
  // produces full frames, else one tile request per tile of the grid that
  // meets both the region and the source's region of definition. Pixels
  // outside those tiles read as `fillColor`.
  static PxImageTiles getImageTilesInRegion(PxImageProtocol const& source, PxImageContext const& context,
                                            GeRectangle<int> const& region, CoRgbaColorTyped<float> const& fillColor);

 protected:
  using PxNode::PxNode;
};

// What a new buffer holds: zero, or whatever its memory held, for a node
// that writes every pixel of the buffer anyway and need not pay for the
// clearing.
enum class PxBufferContents { Zero, Undefined };

// How a node is made: its name and, for a node without a primary input (a
// generator), its format. A format given here wins over the primary's.
struct PxNodeInit {
  std::string name;
  std::optional<PxImageFormat> format;
};

// Base of the host's image nodes: the host's answers to the format, stream
// and connection questions, taken from the primary input, and the buffers a
// node computes into. A node derives from it and implements computeROD and
// computeImage; it may replace any of the other answers. In outline:
//
//   PxImageResult computeImage(PxImageContext const& context) const override {
//     PxValidityInterval validity = PxValidityInterval::FULL;
//     double const gain = _gain->getValue(context.getTime(), validity);
//     GeRectangle<int> const region = context.getPixelRegion() & computePixelROD(context, validity);
//     if (region.isEmpty()) return {allocateEmptyImageBuffer(context, CoRgbaColorTyped<float>::ZERO), validity};
//     PxImageTiles const in = getImageTilesInRegion(*getPrimaryInput(), context, region, fill);
//     validity = reduceVI(validity, in.validity);
//     IxTile out = allocateImageBuffer(region);
//     ... one row at a time, then PxRequestMgr::getInstance().checkInterruption() ...
//     return {out, validity};
//   }
class PxImageNode : public PxImageProtocol {
 public:
  // computeImageFormat(), worked out once.
  PxImageFormat getImageFormat() const override;
  // Connected when the primary input is; without one, when the init record
  // gives the format (a generator). A modifier missing its primary is not.
  bool isChainConnected() const override;
  bool producesFullFrames() const override { return false; }
  int getNbStreams() const override;  // the primary's, else 1
  CoRgbaColorTyped<float> getImageFillColor() const override;  // the primary's, else zero
  // The default format (below) with computeImageFormatComps() as components.
  virtual PxImageFormat computeImageFormat() const;
  virtual IxPixelFormat::Comps computeImageFormatComps() const;

  // A tile over `pixelRegion` in the node's format and pixel aspect ratio
  // with the node's fill colour; its pixels start at zero unless the node
  // asks for them undefined.
  IxTile allocateImageBuffer(GeRectangle<int> const& pixelRegion,
                             PxBufferContents contents = PxBufferContents::Zero) const;
  // A tile without pixels at the corner of the wanted region, standing for
  // an image that is `fillColor` everywhere.
  IxTile allocateEmptyImageBuffer(PxImageContext const& context, CoRgbaColorTyped<float> const& fillColor) const;

 protected:
  explicit PxImageNode(PxNodeInit const& init, PxNodePtr<PxImageProtocol> const& primary = nullptr);

  PxStrongHndl<PxImageProtocol> const& getPrimaryInput() const { return _primary; }
  // The init record's format, else the primary's, else float RGBA with
  // square pixels.
  PxImageFormat getDefaultImageFormat() const;

 private:
  PxStrongHndl<PxImageProtocol> _primary;
  std::optional<PxImageFormat> _initFormat;
  mutable std::once_flag _formatOnce;
  mutable PxImageFormat _format;
};
