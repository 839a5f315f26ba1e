// Private to the grid solver: the adaptive lattice that the smooth grid solve
// works on, and the bicubic Hermite interpolation of its quadtree cells.
//
// The lattice covers the mesh region point for point (nx = width, ny =
// height, coordinates relative to the region's corner). Some of its points
// are parameters, solver variables with a position in absolute pixel
// coordinates; the others are interpolated. The parameters form a quadtree of
// square cells: a cell (x, y, s) is subdivided exactly when its centre is a
// parameter, and then its edge midpoints are parameters too, so every leaf
// has parameters at its corners. Between its corners a leaf is interpolated
// by a bicubic Hermite patch whose corner derivatives are estimated from the
// bilinear interpolants of the leaves around each corner; the refinement of
// the solve places new parameters on that patch and the final fill writes it
// into every unconstrained mesh pixel.
//
// Everything here is single-threaded and owned by one call of the solve.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "primitives/ixTile.h"
#include "warpGridProcLattice.h"

namespace Qx::Warper2D::gridsolver {

struct Vec2 {
  double x, y;
};

// Position and derivatives of the interpolated mapping at a lattice point,
// per lattice unit (pixel).
struct CornerData {
  Vec2 p;    // position
  Vec2 dx;   // dP/dx
  Vec2 dy;   // dP/dy
  Vec2 dxy;  // d2P/dxdy
};

// A leaf cell by its corner coordinates; x1 - x0 == y1 - y0 is its size.
struct LeafCell {
  int x0, y0, x1, y1;
};

struct AlignedFree {
  void operator()(void* p) const noexcept { std::free(p); }
};

// A fixed-size array of trivially copyable T, every element set to `init`.
// Arrays of a few megabytes and more (the per-point lattice arrays of a
// large mesh) are placed on 2 MiB boundaries and offered to the kernel as
// huge pages: a fresh solve then takes a few page faults instead of one per
// 4 KiB, which on a large mesh costs more than the solve's own work.
template <class T>
class PointArray {
 public:
  PointArray(std::size_t n, T init);
  T* data() { return _p.get(); }
  T const* data() const { return _p.get(); }
  T& operator[](std::size_t i) { return _p.get()[i]; }
  T const& operator[](std::size_t i) const { return _p.get()[i]; }
  std::size_t bytes() const { return _bytes; }

 private:
  struct Free {
    void operator()(T* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<T[], Free> _p;
  std::size_t _bytes = 0;
};

class Lattice {
 public:
  // An nx x ny lattice whose point (0, 0) is the mesh pixel (originX,
  // originY), with top-level cells of size firstStep. Every point starts
  // interpolated, without a parameter.
  Lattice(int nx, int ny, int originX, int originY, int firstStep);

  int nx() const { return _nx; }
  int ny() const { return _ny; }
  int originX() const { return _originX; }
  int originY() const { return _originY; }
  int firstStep() const { return _firstStep; }
  int nParms() const { return _nParms; }

  std::size_t index(int x, int y) const { return static_cast<std::size_t>(y) * _nx + x; }
  std::uint8_t* flags() { return _flags.data(); }
  std::uint8_t const* flags() const { return _flags.data(); }
  std::int32_t const* parmIndex() const { return _parmIndex.data(); }
  double* positions() { return _positions.get(); }
  double const* positions() const { return _positions.get(); }
  std::size_t positionsCapacity() const { return _capacity; }
  // Bytes held by the per-point arrays.
  std::size_t pointBytes() const { return _flags.bytes() + _parmIndex.bytes(); }

  bool isParm(int x, int y) const { return (_flags[index(x, y)] & Interpolate) == 0; }
  // A cell is subdivided when its centre is a parameter; a cell of size 1
  // never is.
  bool isSubdivided(int x, int y, int s) const { return s > 1 && isParm(x + s / 2, y + s / 2); }
  // The cell (x, y, s) is part of the quadtree: a top-level cell, or a child
  // of a subdivided cell.
  bool cellExists(int x, int y, int s) const {
    if (s >= _firstStep) return true;
    int const mask = ~(2 * s - 1);
    return isSubdivided(x & mask, y & mask, 2 * s);
  }
  // Origins of cells lie in [0, nx - 1) x [0, ny - 1).
  bool isCellOrigin(int x, int y) const { return x >= 0 && y >= 0 && x < _nx - 1 && y < _ny - 1; }

  Vec2 position(int x, int y) const {
    double const* p = _positions.get() + 2 * static_cast<std::size_t>(_parmIndex[index(x, y)]);
    return {p[0], p[1]};
  }

  // Makes (x, y) a parameter placed at (px, py) and returns its index. The
  // positions grow in whole chunks of 65536 doubles.
  int addParm(int x, int y, double px, double py);

 private:
  int _nx, _ny, _originX, _originY, _firstStep;
  int _nParms = 0;
  PointArray<std::uint8_t> _flags;
  PointArray<std::int32_t> _parmIndex;
  std::unique_ptr<double[], AlignedFree> _positions;
  std::size_t _capacity = 0;  // in doubles
};

// The leaves that have the point (x, y) as a corner or, for a hanging point,
// on an edge: up to four, written to `cells`; returns their number.
int collectLeafCellsAroundPoint(Lattice const& lattice, int x, int y, LeafCell cells[4]);

// Corner data of the parameter at (x, y): its position, and the derivatives
// of the bilinear interpolants of the leaves around it, weighted by
// 1 / cell size so that smaller cells count more.
CornerData estimateCornerData(Lattice const& lattice, int x, int y);

// Cubic Hermite basis h00, h10, h01, h11 at t in [0, 1] for a cell of size
// s (the tangent weights carry s), and their slopes per unit t.
void hermiteBasis(double t, double s, double h[4]);
void hermiteSlope(double t, double s, double h[4]);

// The patch of the cell of size s with corner data c[0..3] = C00, C10, C01,
// C11, at the fractions (u, v) of the cell: the position only, or the
// position with its derivatives per pixel.
Vec2 evaluatePatch(CornerData const c[4], double s, double u, double v);
CornerData evaluatePatchCornerData(CornerData const c[4], double s, double u, double v);

// Corner data of the nine corners of the children of cell (x, y, s), out[j *
// 3 + i] for the point (x + i s/2, y + j s/2): the cell's own corners keep
// theirs, a parameter gets its estimate, a hanging point the patch's.
void computeChildCornerData(Lattice const& lattice, int x, int y, int s, CornerData const c[4], CornerData out[9]);

// Writes every unconstrained pixel of the mesh from the lattice: parameters
// their position, all others the patch of their leaf, with leaves split where
// a neighbour is finer so that patches meet with matching derivatives. The
// mesh region must be the lattice's. Rows of top-level cells are spread over
// the request manager's pool (`threads` as parallelFor's maxThreads: 0 all,
// 1 the calling thread only); the result does not depend on it. Calls the
// interruption check before each row of top-level cells.
void fillMesh(Lattice const& lattice, IxWriteGuard& mesh, int threads = 0);

}  // namespace Qx::Warper2D::gridsolver
