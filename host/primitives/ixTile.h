// Pixel tiles of the host image library, and the scoped guards through which
// code reads and writes their pixels.
//
// Coordinates: a tile covers a pixel region [x1, x2) x [y1, y2) in absolute
// pixel coordinates; pixel (x, y) lives at
//   data + (y - y1) * rowStride + (x - x1) * bytesPerPixel,
// with rowStride in bytes and possibly larger than the packed row. Rows of a
// new tile start on 16-byte boundaries (a view's where its parent's pixels
// lie).
//
// Ownership: IxTile is a cheap, copyable handle; copies share the pixels. A
// view is a tile over part of another tile's pixels, sharing them and
// keeping them alive. A default-constructed tile is invalid (no pixels) and
// may not be guarded. A valid tile may have an empty region. New tiles
// (not views) hold zero in every byte; the
// fill colour is what the tile stands for outside its region (what readers
// that look past the edge, such as scanlines, see there).
//
// Threading: a tile has no lock. Concurrent writers must write disjoint
// pixels; the host never hands one tile to two requests for writing.
#pragma once

#include <cstddef>
#include <memory>

#include "base/assertions.h"
#include "primitives/coRgbaColor.h"
#include "primitives/geRectangle.h"
#include "primitives/ixPixelFormat.h"

class IxTile {
 public:
  IxTile() = default;
  // `rowStride` 0 picks the packed row rounded up to 16 bytes; a larger value
  // pads every row. The pixels start at zero.
  IxTile(IxPixelFormat const& format, GeRectangle<int> const& region,
         CoRgbaColorTyped<float> const& fillColor = CoRgbaColorTyped<float>::ZERO,
         float pixelAspectRatio = 1.0f, std::ptrdiff_t rowStride = 0);

  // A view of `region` of `parent`'s pixels (region inside parent's), with
  // its own fill colour.
  IxTile(IxTile const& parent, GeRectangle<int> const& region, CoRgbaColorTyped<float> const& fillColor);

  bool isValid() const { return _storage != nullptr; }

  IxPixelFormat const& getPixelFormat() const { return checked().format; }
  GeRectangle<int> const& getPixelRegion() const { return checked().region; }
  std::ptrdiff_t getRowStride() const { return checked().rowStride; }
  float getPixelAspectRatio() const { return checked().aspectRatio; }
  CoRgbaColorTyped<float> const& getFillColor() const { return checked().fillColor; }

  // Two handles are the same tile when they are copies of one another.
  bool operator==(IxTile const& o) const { return _storage == o._storage; }

 private:
  friend class IxGuardBase;

  struct Storage {
    IxPixelFormat format{IxPixelFormat::RGBA, IxPixelFormat::FLOAT32};
    GeRectangle<int> region;
    std::ptrdiff_t rowStride = 0;
    float aspectRatio = 1.0f;
    CoRgbaColorTyped<float> fillColor;
    std::shared_ptr<std::byte> memory;  // shared by views
    std::byte* data = nullptr;  // 16-byte aligned start of row y1 (a view's: pixel (x1, y1))
  };

  Storage const& checked() const {
    QX_ASSERT(isValid());
    return *_storage;
  }

  std::shared_ptr<Storage> _storage;
};

// Shared reading interface of both guards: region, stride and pixel addresses.
// A guard keeps the tile's pixels alive for its whole life.
class IxGuardBase {
 public:
  IxTile const& getTile() const { return _tile; }
  GeRectangle<int> const& getPixelRegion() const { return _region; }
  IxPixelFormat const& getPixelFormat() const { return _tile.getPixelFormat(); }
  std::ptrdiff_t getRowStride() const { return _stride; }
  int getBytesPerPixel() const { return _bpp; }

 protected:
  explicit IxGuardBase(IxTile const& tile);

  // Address of pixel (x, y); the caller keeps (x, y) inside the region.
  std::byte* address(int x, int y) const {
    return _data + static_cast<std::ptrdiff_t>(y - _region.y1()) * _stride +
           static_cast<std::ptrdiff_t>(x - _region.x1()) * _bpp;
  }

  IxTile _tile;
  GeRectangle<int> _region;
  std::byte* _data;
  std::ptrdiff_t _stride;
  int _bpp;
};

class IxWriteGuard : public IxGuardBase {
 public:
  explicit IxWriteGuard(IxTile const& tile) : IxGuardBase(tile) {}

  std::byte* getData() const { return _data; }  // pixel (x1, y1)
  std::byte* getPixelAddress(int x, int y) const { return address(x, y); }
  template <class T>
  T* getRow(int y) const { return reinterpret_cast<T*>(address(_region.x1(), y)); }
};

class IxReadGuard : public IxGuardBase {
 public:
  explicit IxReadGuard(IxTile const& tile) : IxGuardBase(tile) {}
  // Reading through a write guard that is still open: sees its writes.
  explicit IxReadGuard(IxWriteGuard const& writer) : IxGuardBase(writer.getTile()) {}

  std::byte const* getData() const { return _data; }
  std::byte const* getPixelAddress(int x, int y) const { return address(x, y); }
  template <class T>
  T const* getRow(int y) const { return reinterpret_cast<T const*>(address(_region.x1(), y)); }
};
