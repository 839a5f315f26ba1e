#include "primitives/ipCrop.h"

#include <cstring>

#include "primitives/ixPixelFormat.h"

void ipCrop(IxReadGuard const& src, IxWriteGuard const& dst, GeRectangle<int> const* region) {
  GeRectangle<int> area = src.getPixelRegion() & dst.getPixelRegion();
  if (region) area &= *region;
  if (area.isEmpty()) return;
  IxPixelFormat const& from = src.getPixelFormat();
  IxPixelFormat const& to = dst.getPixelFormat();
  if (from == to) {
    std::size_t const rowBytes = static_cast<std::size_t>(area.getWidth()) * from.getBytesPerPixel();
    for (int y = area.y1(); y < area.y2(); ++y)
      std::memcpy(dst.getPixelAddress(area.x1(), y), src.getPixelAddress(area.x1(), y), rowBytes);
    return;
  }
  int const fromStep = from.getBytesPerPixel(), toStep = to.getBytesPerPixel();
  for (int y = area.y1(); y < area.y2(); ++y) {
    std::byte const* s = src.getPixelAddress(area.x1(), y);
    std::byte* d = dst.getPixelAddress(area.x1(), y);
    for (int x = area.x1(); x < area.x2(); ++x, s += fromStep, d += toStep) ixWriteColor(to, d, ixReadColor(from, s));
  }
}
