// Polygon rasteriser of the host image library: fills a polygon into a tile.
//
// Coordinates: absolute pixel coordinates of the tile; pixel (x, y) is the
// unit square centred on the integer point (x, y). The polygon is closed
// implicitly (last vertex back to the first) and may cross itself or lie
// partly or wholly outside the tile; only pixels inside the tile are touched.
//
// Fill rule: non-zero winding. A shape curve whose outline loops over itself
// (a user dragging a point past its neighbour) still encloses one solid
// region, and a simple outline is inside whatever its orientation; even-odd
// would punch holes where the outline overlaps itself.
//
// Coverage:
//   - without antialiasing, a pixel is covered (coverage 1) when its centre is
//     inside the polygon; a centre exactly on an edge counts for the left and
//     top sides of a span (x in [xLeft, xRight), rows sampled at y), so two
//     polygons sharing an edge never both cover a pixel;
//   - with antialiasing, the coverage is the area of the pixel square inside
//     the polygon, computed exactly by signed-area accumulation; where the
//     winding number's magnitude exceeds one the coverage is clamped to 1, so
//     the result is exact for simple polygons; where the outline crosses or
//     overlaps itself, a pixel the outline cuts may read more than its true
//     area (never more than 1), while pixels clear of the outline are exact.
// Each pixel with coverage c > 0 becomes old + c (colour - old) per component
// (the colour laid over the old value with opacity c); pixels with zero
// coverage (below 1e-6 with antialiasing, which is round-off) keep their value. The default colour (1, 1, 1, 1) makes a
// one-component FLOAT32 mask that starts at 0 read 0 outside and non-zero
// inside. Any pixel format is accepted.
//
// Bad input: fewer than three vertices, a polygon with a non-finite
// coordinate or an empty tile region leave the tile unchanged.
//
// process() allocates its edge list and accumulators once per call, never per
// row; it touches no other tile and may run concurrently on other tiles.
#pragma once

#include "base/vector.h"
#include "primitives/coRgbaColor.h"
#include "primitives/gePoint2.h"
#include "primitives/ixTile.h"

class IpShapeRenderProc {
 public:
  enum Antialiasing { NO_ANTIALIASING = 0, ANTIALIASING = 1 };

  // Keeps references to `guard` and `polygon`; both must outlive process().
  IpShapeRenderProc(IxWriteGuard& guard, Vector<GePoint2<float>> const& polygon, Antialiasing antialiasing,
                    CoRgbaColorTyped<float> const& colour = CoRgbaColorTyped<float>(1.0f, 1.0f, 1.0f, 1.0f));

  void process();

 private:
  void blendRow(int y, float* coverage);
  void processAliased();
  void processAntialiased();

  IxWriteGuard& _guard;
  Vector<GePoint2<float>> const& _polygon;
  Antialiasing _antialiasing;
  CoRgbaColorTyped<float> _colour;
};
