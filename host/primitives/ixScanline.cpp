#include "primitives/ixScanline.h"

#include <algorithm>
#include <cstring>


namespace {

template <class T>
T fromColor(CoRgbaColorTyped<float> const& c, IxPixelFormat const& f);
template <>
float fromColor<float>(CoRgbaColorTyped<float> const& c, IxPixelFormat const&) { return c.a; }
template <>
CoRgbaColorTyped<float> fromColor<CoRgbaColorTyped<float>>(CoRgbaColorTyped<float> const& c, IxPixelFormat const& f) {
  // The fill colour seen through this format: missing components as a read would give them.
  switch (f.getComps()) {
    case IxPixelFormat::ALPHA: return {0.0f, 0.0f, 0.0f, c.a};
    case IxPixelFormat::RGB: return {c.r, c.g, c.b, 1.0f};
    case IxPixelFormat::RGBA: return c;
  }
  return c;
}

void readPixel(IxPixelFormat const& f, std::byte const* p, float& out) { out = f.readComp(p); }
void readPixel(IxPixelFormat const& f, std::byte const* p, CoRgbaColorTyped<float>& out) { out = ixReadColor(f, p); }
void writePixel(IxPixelFormat const& f, std::byte* p, float v) { f.writeComp(p, v); }
void writePixel(IxPixelFormat const& f, std::byte* p, CoRgbaColorTyped<float> const& v) { ixWriteColor(f, p, v); }

template <class T>
void checkScanlineFormat(IxPixelFormat const& f) {
  if constexpr (std::is_same_v<T, float>) QX_ASSERT(f.getNumComps() == 1);
  (void)f;
}

}  // namespace

template <class T>
void IxScanline<T>::readFrom(IxReadGuard const& guard, int y) {
  IxPixelFormat const& f = guard.getPixelFormat();
  checkScanlineFormat<T>(f);
  GeRectangle<int> const& r = guard.getPixelRegion();
  T const outside = fromColor<T>(guard.getTile().getFillColor(), f);
  int const n = getWidth();
  if (y < r.y1() || y >= r.y2()) {
    std::fill(_values.begin(), _values.end(), outside);
    return;
  }
  for (int i = 0; i < n; ++i) {
    int const x = _x1 + i;
    if (x < r.x1() || x >= r.x2()) {
      _values[i] = outside;
    } else {
      readPixel(f, guard.getPixelAddress(x, y), _values[i]);
    }
  }
}

template <class T>
void IxScanline<T>::writeTo(IxWriteGuard const& guard, int y) const {
  IxPixelFormat const& f = guard.getPixelFormat();
  checkScanlineFormat<T>(f);
  GeRectangle<int> const& r = guard.getPixelRegion();
  if (y < r.y1() || y >= r.y2()) return;
  int const from = std::max(_x1, r.x1());
  int const to = std::min(_x1 + getWidth(), r.x2());
  for (int x = from; x < to; ++x) writePixel(f, guard.getPixelAddress(x, y), _values[x - _x1]);
}

template class IxScanline<float>;
template class IxScanline<CoRgbaColorTyped<float>>;

