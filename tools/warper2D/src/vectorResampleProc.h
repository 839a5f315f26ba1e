// Vector resampling: turns a correspondence mesh into a vector image, the
// image of sample positions that the warp node reads the input image at.
//
// Coordinates. Both tiles are FLOAT32 RGB and addressed in absolute pixel
// coordinates; pixel (x, y) stands for the point (x, y) itself. Mesh pixel
// (x, y) holds in R, G the position (mx, my) that the grid point (x, y)
// corresponds to under the full warp; B is not read. Vector pixel (x, y)
// receives R = source x, G = source y and B = 1.0 when the procedure wrote it.
//
// Two blend amounts place the warp between none and the full warp:
//   positionAmount a: grid point (x, y) is drawn at (x, y) + a (m - (x, y));
//   valueAmount    b: grid point (x, y) carries     (x, y) + b (m - (x, y)).
// When the points do not move (|a| < 0.0001) the mesh is a lookup table of
// values (the direct path). Otherwise the moved mesh is scan converted, the
// first triangle in cell order winning where it folds (the scatter path);
// with a = 1, b = 0 this inverts the warp. Outside the mesh both paths
// continue it with a local least-squares fit (see BoundaryExtrapolator):
// ring by ring near the mesh, then by the last fitted ring's local model, so
// that the cost of any outside pixel is bounded whatever its distance.
//
// Bad input. Mesh pixels whose position is not finite (or absurdly far away,
// see kMaxUsableCoordinate) are read as their own grid point, so one bad
// pixel cannot poison the extrapolation. An empty mesh says nothing about the
// warp: the vectors are then the identity (or, with NoExtrapolation, what the
// documented outside value gives). Tiles of another format fail an assertion.
//
// Threading: everything lives in the call; different tiles may be resampled
// on several threads at once. The scatter path may in addition spread one
// call over the request manager's worker pool (output row bands); its result
// is bit-identical whatever the number of threads. Long loops call the
// request manager's interruption check once per row (or ring) of work.
#pragma once

#include <cmath>
#include <cstdint>

#include "base/vector.h"
#include "primitives/geRectangle.h"
#include "primitives/ixTile.h"

namespace Qx::Warper2D {

class VectorResampleProc {
 public:
  // How the mesh is continued outside its own region (plain int values).
  enum ExtrapolationMethod {
    NoExtrapolation = 0,          // no ring values: the direct path reads (0, 0) outside, the scatter path stops
    AffineExtrapolation = 1,      // local least-squares affine fit (6 parameters)
    SimilarityExtrapolation = 2,  // local least-squares scale, rotation and translation (4 parameters)
  };

  // Mesh coordinates beyond this magnitude (and NaN, infinities) are treated
  // as unusable and read as the identity. Far beyond any frame, and small
  // enough that the fits' sums of products stay well inside double range.
  static constexpr float kMaxUsableCoordinate = 1.0e7f;

  // Fills the whole destination tile from the mesh tile. Both tiles must be
  // valid FLOAT32 RGB tiles. |positionAmount| < 0.0001 selects the direct
  // path, anything else the scatter path. An amount that is not finite (or
  // beyond float range) counts as 0: no movement from that amount.
  // `threads` bounds the threads the scatter path uses: 0 for the request
  // manager's pool (one per core; from a worker thread, the workers that
  // are idle or waiting for this computation), n > 0 for at most n. The
  // result does not depend on it.
  static void resample(IxTile const& destination, IxTile const& mesh, double positionAmount, double valueAmount,
                       int method, int threads = 0);

  // Direct path: every destination pixel gets B = 1. Its cost is bounded by
  // the destination's area plus the fitted rings (at most
  // BoundaryExtrapolator::kFittedRings of them), whatever the distance
  // between the destination and the mesh.
  static void resampleDirect(IxTile const& destination, IxTile const& mesh, double valueAmount, int method);

  // Scatter path: pixels no triangle reached get (0, 0, 0). Outside the
  // moved mesh, the moved rings are drawn until the destination is covered,
  // ten rings in a row reach nothing, or 2 (W + H) + 10 rings have been
  // drawn for a W x H destination: rings creeping outward slowly cannot
  // make the cost grow beyond that.
  static void resampleScattered(IxTile const& destination, IxTile const& mesh, double valueAmount,
                                double positionAmount, int method, int threads = 0);

  // One extrapolated (or read) mesh position.
  struct RingValue {
    float u;
    float v;
  };

  // The mesh continued outward one-pixel ring at a time. The current ring is
  // the perimeter of getRegion(); the previous one, one pixel further in, is
  // the perimeter of getInnerRegion(). A ring is stored in getBoundaryIndex
  // order: top row left to right, middle rows with left before right, bottom
  // row left to right.
  //
  // grow() fits the chosen model by least squares to the ring pixels in a
  // 5 x 3 window that slides along the new ring (a running sum, so each ring
  // pixel costs a constant amount) and evaluates the fit at the new pixel.
  // Only the first getFittedRings() rings are fitted that way; the last of
  // them keeps each pixel's whole local model (value and gradient), and every
  // pixel further out takes the model of the nearest pixel of that ring,
  // evaluated at its own place (getContinuation). The affine fit runs
  // kFittedRings rings out; the similarity fit only its first ring, against
  // the mesh's own values: fitted again on its own extrapolated rings it
  // feeds back what it cannot represent (a stretch, a shear) and grows
  // without bound. Both stay exact for the maps their model holds.
  //
  // A mesh one pixel wide or tall has nothing to fit across it (the window
  // sees one line of points, and its inner rectangle is inverted): its first
  // ring carries the displacement of the nearest mesh pixel outward instead,
  // and fitting starts with the second ring. Two pixels across are enough.
  class BoundaryExtrapolator {
   public:
    // Rings fitted ring by ring with the affine model before the fit is
    // frozen. Far enough out for the continuation to have settled along the
    // ring; the direct path's cost for a far destination is bounded by it.
    static constexpr int kFittedRings = 64;

    // Reads the first two rings from the mesh (a valid, non-empty FLOAT32
    // RGB tile).
    BoundaryExtrapolator(IxTile const& mesh, int method);

    // Computes the next ring outward and makes it current.
    void grow();

    // Rings grown so far, and how many of them are fitted ring by ring (0
    // with NoExtrapolation, which computes no values).
    int getRingCount() const { return _ringCount; }
    int getFittedRings() const;

    // The value the extrapolation gives pixel (x, y), for a pixel outside the
    // last fitted ring once it has been grown (getRingCount() >=
    // getFittedRings() > 0): the local model of that ring's nearest pixel,
    // evaluated at (x, y). A value beyond float range reads (0, 0), as a
    // singular fit does.
    RingValue getContinuation(int x, int y) const {
      checkContinuable();
      return continuation(x, y);
    }

    // The same for pixels x0, x0 + 1, ..., x1 - 1 of row y, all outside the
    // last fitted ring: calls f(x, value) for each.
    template <class F>
    void forContinuationRow(int y, int x0, int x1, F&& f) const {
      checkContinuable();
      for (int x = x0; x < x1; ++x) f(x, continuation(x, y));
    }

    // Number of pixels stored for the ring of `region`: max(2W + 2H - 4, 1).
    static int getBoundarySize(GeRectangle<int> const& region) {
      int const w = region.x2() - region.x1();
      int const h = region.y2() - region.y1();
      return 2 * w + 2 * h - 4 > 1 ? 2 * w + 2 * h - 4 : 1;
    }
    // Where perimeter pixel (x, y) of `region` is stored.
    static int getBoundaryIndex(GeRectangle<int> const& region, int x, int y) {
      int const w = region.x2() - region.x1();
      if (y == region.y1()) return x - region.x1();
      if (y == region.y2() - 1) return w + 2 * (region.y2() - region.y1()) - 4 + (x - region.x1());
      int const base = w + 2 * (y - region.y1()) - 2;
      return x == region.x1() ? base : base + 1;
    }
    // True when (x, y) lies on the perimeter of `region`.
    static bool isOnBoundary(GeRectangle<int> const& region, int x, int y) {
      return ((x == region.x1() || x == region.x2() - 1) && y >= region.y1() && y < region.y2()) ||
             ((y == region.y1() || y == region.y2() - 1) && x >= region.x1() && x < region.x2());
    }

    GeRectangle<int> const& getRegion() const { return _region; }
    GeRectangle<int> const& getInnerRegion() const { return _innerRegion; }
    int getMethod() const { return _method; }

    // The current ring, getBoundarySize(getRegion()) values (none are
    // computed beyond the mesh with NoExtrapolation).
    RingValue const* getRing() const { return _rings[_current].data(); }
    RingValue const& getRingValue(int x, int y) const { return _rings[_current][getBoundaryIndex(_region, x, y)]; }

   private:
    // A fitted pixel's local model: value (u, v) and its derivatives along x
    // and y.
    struct LocalModel {
      double u, v, ux, uy, vx, vy;
    };

    void checkContinuable() const;
    RingValue continuation(int x, int y) const {
      GeRectangle<int> const& r = _modelRegion;
      int const ax = x < r.x1() ? r.x1() : x >= r.x2() ? r.x2() - 1 : x;
      int const ay = y < r.y1() ? r.y1() : y >= r.y2() ? r.y2() - 1 : y;
      LocalModel const& m = _model[getBoundaryIndex(r, ax, ay)];
      // Offsets from the ring pixel, exact in double.
      double const dx = static_cast<double>(x) - ax;
      double const dy = static_cast<double>(y) - ay;
      RingValue const value{static_cast<float>(m.u + m.ux * dx + m.uy * dy),
                            static_cast<float>(m.v + m.vx * dx + m.vy * dy)};
      return std::isfinite(value.u) && std::isfinite(value.v) ? value : RingValue{0.0f, 0.0f};
    }

    void readRing(IxReadGuard const& mesh, GeRectangle<int> const& region, Vector<RingValue>& ring) const;
    void growFromNearest(GeRectangle<int> const& newRegion, Vector<RingValue>& out, LocalModel* model) const;
    template <bool kKeepModel>
    void growByFit(GeRectangle<int> const& newRegion, Vector<RingValue>& out, LocalModel* model) const;
    void growFromModel(GeRectangle<int> const& newRegion, Vector<RingValue>& out) const;

    int _current = 0;
    // _rings[_current] is the current ring, _rings[1 - _current] the previous
    // one; _spare is the buffer the next ring is written into, reused so that
    // growing does not allocate once the rings stop growing in capacity.
    Vector<RingValue> _rings[2];
    Vector<RingValue> _spare;
    GeRectangle<int> _region;
    GeRectangle<int> _innerRegion;
    int _method;
    int _ringCount = 0;
    // The last fitted ring's local models, stored in getBoundaryIndex order
    // of _modelRegion.
    Vector<LocalModel> _model;
    GeRectangle<int> _modelRegion;
  };

  // A mesh (or ring) point as the scatter path draws it: (u, v) is the value
  // it carries, (x, y) where it is drawn, firstRow the first destination row
  // at or below it: ceil(max(y, destination y1())), clamped to the
  // destination's y2() (rows past the end are never drawn).
  struct ScatterVertex {
    float u;
    float v;
    float x;
    float y;
    std::int32_t firstRow;
  };

  // Fills the rows [firstRow, endRow) of one part of a triangle, between the
  // left edge left0 -> left1 and the right edge right0 -> right1, inside
  // dstRegion. A pixel whose mask byte is already set keeps its value (the
  // first triangle to reach a pixel wins); every newly written pixel gets
  // its mask byte set and increments counter. Rows outside dstRegion are
  // skipped; the others should lie within both edges' vertical extent (the
  // edges are extended linearly beyond it).
  static void fillTriangleSpans(ScatterVertex const& left0, ScatterVertex const& left1, ScatterVertex const& right0,
                                ScatterVertex const& right1, int firstRow, int endRow,
                                GeRectangle<int> const& dstRegion, IxWriteGuard& destination, IxWriteGuard& mask,
                                int& counter);
};

}  // namespace Qx::Warper2D
