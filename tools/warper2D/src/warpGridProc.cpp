// The correspondence mesh region rule and the smooth grid solve.
#include "warpGridProc.h"

#include "base/assertions.h"

namespace Qx::Warper2D {

int WarpGridProc::coarsestGridStep(int w, int h) {
  int const m = w < h ? w : h;
  if (m <= 8) return 1;
  int s = 2;
  while (8 * s < m) s *= 2;
  return s;
}

GeRectangle<int> const WarpGridProc::computeCorrespondenceImageRegion(GeRectangle<int> const& region) {
  if (region.isEmpty()) return region;
  int const x0 = region.x1(), y0 = region.y1();
  int const w = region.x2() - x0, h = region.y2() - y0;
  int const s = coarsestGridStep(w, h);
  // w - 1 rounded up to a multiple of s, plus the closing lattice column.
  int const x1 = x0 + ((w + s - 2) & ~(s - 1)) + 1;
  int const y1 = y0 + ((h + s - 2) & ~(s - 1)) + 1;
  return GeRectangle<int>(x0, y0, x1, y1);
}

}  // namespace Qx::Warper2D
