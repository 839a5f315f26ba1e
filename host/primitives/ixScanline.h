// One row of pixels copied out of, or into, a tile in a convenient type:
// float (one-component tiles only) or CoRgbaColorTyped<float> (any tile).
// The scanline spans columns [x1, x1 + width) of its own; columns outside
// the tile read as the tile's fill colour and are skipped when writing.
//
// Colour conversions: an RGB pixel reads with alpha 1; an ALPHA pixel reads
// as (0, 0, 0, a); writing keeps only the components the tile has.
#pragma once

#include <vector>

#include "primitives/coRgbaColor.h"
#include "primitives/ixTile.h"

template <class T>
class IxScanline {
 public:
  IxScanline(int x1, int width, T const& value = T{}) : _x1(x1), _values(width > 0 ? width : 0, value) {}
  // Spans the guard's columns and reads row y.
  IxScanline(IxReadGuard const& guard, int y) : IxScanline(guard.getPixelRegion().x1(), guard.getPixelRegion().getWidth()) {
    readFrom(guard, y);
  }
  IxScanline(IxWriteGuard const& guard, int y) : IxScanline(IxReadGuard(guard), y) {}

  int getX1() const { return _x1; }
  int getWidth() const { return static_cast<int>(_values.size()); }
  T& operator[](int i) { return _values[i]; }
  T const& operator[](int i) const { return _values[i]; }
  T* data() { return _values.data(); }
  T const* data() const { return _values.data(); }

  // Copies row y of the tile into the scanline (the fill colour where the
  // scanline or the row lies outside the tile).
  void readFrom(IxReadGuard const& guard, int y);
  void readFrom(IxWriteGuard const& guard, int y) { readFrom(IxReadGuard(guard), y); }
  // Copies the scanline into row y of the tile, where they overlap.
  void writeTo(IxWriteGuard const& guard, int y) const;

 private:
  int _x1;
  std::vector<T> _values;
};

extern template class IxScanline<float>;
extern template class IxScanline<CoRgbaColorTyped<float>>;
