#include "primitives/ipSet.h"

#include <algorithm>
#include <cstring>

void ipSet(IxWriteGuard& guard, CoRgbaColorTyped<float> const& color, GeRectangle<int> const* region) {
  GeRectangle<int> const area = region ? (*region & guard.getPixelRegion()) : guard.getPixelRegion();
  if (area.isEmpty()) return;
  IxPixelFormat const& f = guard.getPixelFormat();
  int const bpp = f.getBytesPerPixel();
  // Encode the colour once, then replicate the pixel's bytes.
  std::byte pixel[32];
  ixWriteColor(f, pixel, color);
  std::size_t const rowBytes = static_cast<std::size_t>(area.getWidth()) * bpp;
  for (int y = area.y1(); y < area.y2(); ++y) {
    std::byte* row = guard.getPixelAddress(area.x1(), y);
    std::memcpy(row, pixel, bpp);
    // Doubling copy: the filled prefix is copied onto the rest.
    std::size_t done = bpp;
    while (done < rowBytes) {
      std::size_t const chunk = std::min(done, rowBytes - done);
      std::memcpy(row + done, row, chunk);
      done += chunk;
    }
  }
}
