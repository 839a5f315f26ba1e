#include "primitives/ixTile.h"

#include <cstdint>

namespace {
constexpr std::ptrdiff_t kRowAlign = 16;
}

IxTile::IxTile(IxPixelFormat const& format, GeRectangle<int> const& region,
               CoRgbaColorTyped<float> const& fillColor, float pixelAspectRatio,
               std::ptrdiff_t rowStride)
    : _storage(std::make_shared<Storage>()) {
  Storage& s = *_storage;
  s.format = format;
  s.region = region.isEmpty() ? GeRectangle<int>(region.x1(), region.y1(), region.x1(), region.y1()) : region;
  s.aspectRatio = pixelAspectRatio;
  s.fillColor = fillColor;
  std::ptrdiff_t const packed = static_cast<std::ptrdiff_t>(s.region.getWidth()) * format.getBytesPerPixel();
  std::ptrdiff_t const minimal = (packed + kRowAlign - 1) / kRowAlign * kRowAlign;
  QX_ASSERT(rowStride == 0 || rowStride >= packed);
  s.rowStride = rowStride > 0 ? (rowStride + kRowAlign - 1) / kRowAlign * kRowAlign : minimal;
  std::size_t const size = static_cast<std::size_t>(s.rowStride) * static_cast<std::size_t>(s.region.getHeight());
  // Over-allocate by the alignment so that row 0 can start on a boundary.
  s.bytes = std::make_unique<std::byte[]>(size + kRowAlign);  // value-initialised: all zero
  auto const raw = reinterpret_cast<std::uintptr_t>(s.bytes.get());
  s.data = s.bytes.get() + ((kRowAlign - static_cast<std::ptrdiff_t>(raw % kRowAlign)) % kRowAlign);
}

IxGuardBase::IxGuardBase(IxTile const& tile) : _tile(tile) {
  QX_ASSERT_TEXT(tile.isValid(), "isValid()");
  _region = tile._storage->region;
  _data = tile._storage->data;
  _stride = tile._storage->rowStride;
  _bpp = tile._storage->format.getBytesPerPixel();
}
