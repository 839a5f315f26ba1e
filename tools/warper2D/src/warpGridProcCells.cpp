// Lattice storage, leaf search, corner-derivative estimates, Hermite patches
// and the final fill of the correspondence mesh.
#include "warpGridProcCells.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "base/assertions.h"
#include "pluginAPI/pxRequestMgr.h"
#include "warpGridProc.h"

namespace Qx::Warper2D::gridsolver {

namespace {

constexpr std::size_t kPositionChunk = 0x10000;  // doubles

inline Vec2 operator+(Vec2 a, Vec2 b) { return {a.x + b.x, a.y + b.y}; }
inline Vec2 operator-(Vec2 a, Vec2 b) { return {a.x - b.x, a.y - b.y}; }
inline Vec2 operator*(double s, Vec2 a) { return {s * a.x, s * a.y}; }

// h0 A + h1 B + h2 C + h3 D: one tensor direction of the Hermite patch.
inline Vec2 combine(double const h[4], Vec2 a, Vec2 b, Vec2 c, Vec2 d) {
  return {h[0] * a.x + h[1] * b.x + h[2] * c.x + h[3] * d.x, h[0] * a.y + h[1] * b.y + h[2] * c.y + h[3] * d.y};
}

// Value of the patch for basis values hx (along x) and hy (along y), which
// may be slopes instead of values to get the derivatives.
inline Vec2 tensor(CornerData const c[4], double const hx[4], double const hy[4]) {
  Vec2 const l = combine(hy, c[0].p, c[0].dy, c[2].p, c[2].dy);
  Vec2 const lDx = combine(hy, c[0].dx, c[0].dxy, c[2].dx, c[2].dxy);
  Vec2 const r = combine(hy, c[1].p, c[1].dy, c[3].p, c[3].dy);
  Vec2 const rDx = combine(hy, c[1].dx, c[1].dxy, c[3].dx, c[3].dxy);
  return combine(hx, l, lDx, r, rDx);
}

int log2OfPowerOfTwo(int s) {
  int l = 0;
  while ((1 << l) < s) ++l;
  return l;
}

// The fill's working state: the lattice, the mesh, and the Hermite basis
// tabulated at t = i / s, i = 0 .. s, for every cell size s.
class MeshFiller {
 public:
  MeshFiller(Lattice const& lattice, IxWriteGuard& mesh, int threads) : _lat(lattice), _mesh(mesh), _threads(threads) {
    int const levels = log2OfPowerOfTwo(lattice.firstStep()) + 1;
    _tableOffset.resize(levels);
    std::size_t total = 0;
    for (int l = 0; l < levels; ++l) {
      _tableOffset[l] = total;
      total += 4 * (static_cast<std::size_t>(1) << l) + 4;
    }
    _tables.resize(total);
    for (int l = 0; l < levels; ++l) {
      int const s = 1 << l;
      for (int i = 0; i <= s; ++i) hermiteBasis(static_cast<double>(i) / s, s, &_tables[_tableOffset[l] + 4 * i]);
    }
  }

  // Every mesh pixel belongs to one cell and the lattice is only read, so
  // the rows of top-level cells fill in parallel on the request's pool,
  // giving the same bits on any number of threads.
  void fill() {
    int const nx = _lat.nx(), ny = _lat.ny(), step = _lat.firstStep();
    auto fillRow = [&](int row) {
      int const y = row * step;
      for (int x = 0; x < nx - 1; x += step) {
        CornerData const c[4] = {estimateCornerData(_lat, x, y), estimateCornerData(_lat, x + step, y),
                                 estimateCornerData(_lat, x, y + step),
                                 estimateCornerData(_lat, x + step, y + step)};
        fillCell(x, y, step, c);
      }
    };
    // Non-owning handle on the current request: parallelFor returns before
    // the call does.
    std::shared_ptr<PxRequest> const request(std::shared_ptr<PxRequest>(), PxRequestMgr::getCurrentRequest());
    PxRequestMgr::getInstance().parallelFor(request, 0, (ny - 1) / step, fillRow, _threads);
  }

 private:
  // A cell whose neighbourhood holds finer cells is split first, so that
  // every patch evaluated meets its neighbours with matching derivatives.
  void fillCell(int x, int y, int size, CornerData const c[4]) {
    if (size > 1) {
      QX_ASSERT_AS(kAssertFile, (x & (size - 1)) == 0, "(x & (size-1)) == 0");
      QX_ASSERT_AS(kAssertFile, (y & (size - 1)) == 0, "(y & (size-1)) == 0");
    }
    if (size == 1 || !neighbourhoodSubdivided(x, y, size)) {
      fillDirect(x, y, size, c);
      return;
    }
    CornerData child[9];
    computeChildCornerData(_lat, x, y, size, c, child);
    int const h = size / 2;
    for (int j = 0; j < 2; ++j) {
      for (int i = 0; i < 2; ++i) {
        if (!_lat.isCellOrigin(x + i * h, y + j * h)) continue;
        CornerData const cc[4] = {child[j * 3 + i], child[j * 3 + i + 1], child[(j + 1) * 3 + i],
                                  child[(j + 1) * 3 + i + 1]};
        fillCell(x + i * h, y + j * h, h, cc);
      }
    }
  }

  bool neighbourhoodSubdivided(int x, int y, int s) const {
    for (int j = -1; j <= 1; ++j) {
      for (int i = -1; i <= 1; ++i) {
        int const cx = x + i * s, cy = y + j * s;
        if (_lat.isCellOrigin(cx, cy) && _lat.isSubdivided(cx, cy, s)) return true;
      }
    }
    return false;
  }

  // Pixels [x, x + s) x [y, y + s), plus the closing column and row of the
  // lattice, so that every mesh pixel is written by exactly one cell.
  void fillDirect(int x, int y, int s, CornerData const c[4]) {
    int const nx = _lat.nx(), ny = _lat.ny();
    int const cols = s + (x + s == nx - 1 ? 1 : 0);
    int const rows = s + (y + s == ny - 1 ? 1 : 0);
    double const* table = &_tables[_tableOffset[log2OfPowerOfTwo(s)]];
    std::uint8_t const* flags = _lat.flags();
    for (int j = 0; j < rows; ++j) {
      // Along y first: the patch's left and right columns and their x
      // derivatives at this row; along x the row is then one cubic.
      double const* hy = table + 4 * j;
      Vec2 const l = combine(hy, c[0].p, c[0].dy, c[2].p, c[2].dy);
      Vec2 const lDx = combine(hy, c[0].dx, c[0].dxy, c[2].dx, c[2].dxy);
      Vec2 const r = combine(hy, c[1].p, c[1].dy, c[3].p, c[3].dy);
      Vec2 const rDx = combine(hy, c[1].dx, c[1].dxy, c[3].dx, c[3].dxy);
      int const ly = y + j;
      std::byte* pixel = _mesh.getPixelAddress(_lat.originX() + x, _lat.originY() + ly);
      std::uint8_t const* rowFlags = flags + _lat.index(x, ly);
      for (int i = 0; i < cols; ++i, pixel += sizeof(MeshPixel)) {
        if (readMeshBits(pixel) & CONSTRAINED_BIT) continue;
        float out[2];
        if ((rowFlags[i] & Interpolate) == 0) {
          std::int32_t const p = _lat.parmIndex()[_lat.index(x + i, ly)];
          QX_ASSERT_AS(kAssertFile, p >= 0, "parmIndex >= 0");
          out[0] = toMeshCoordinate(_lat.positions()[2 * static_cast<std::size_t>(p)]);
          out[1] = toMeshCoordinate(_lat.positions()[2 * static_cast<std::size_t>(p) + 1]);
        } else {
          double const* hx = table + 4 * i;
          out[0] = toMeshCoordinate(hx[0] * l.x + hx[1] * lDx.x + hx[2] * r.x + hx[3] * rDx.x);
          out[1] = toMeshCoordinate(hx[0] * l.y + hx[1] * lDx.y + hx[2] * r.y + hx[3] * rDx.y);
        }
        std::memcpy(pixel, out, sizeof out);
      }
    }
  }

  Lattice const& _lat;
  IxWriteGuard& _mesh;
  int const _threads;
  std::vector<double> _tables;
  std::vector<std::size_t> _tableOffset;
};

}  // namespace

template <class T>
PointArray<T>::PointArray(std::size_t n, T init) {
  constexpr std::size_t kHuge = std::size_t{2} << 20, kPage = 4096;
  std::size_t const bytes = std::max<std::size_t>(n * sizeof(T), 16);
  bool const huge = bytes >= 2 * kHuge;
  // Only whole pages are touched; the alignment costs address space only.
  _bytes = huge ? (bytes + kPage - 1) / kPage * kPage : (bytes + 15) / 16 * 16;
  void* raw = nullptr;
  if (posix_memalign(&raw, huge ? kHuge : 16, _bytes) != 0 || raw == nullptr) throw std::bad_alloc();
  _p.reset(static_cast<T*>(raw));
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (huge) madvise(raw, _bytes, MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
  std::fill(_p.get(), _p.get() + n, init);
}

template class PointArray<std::uint8_t>;
template class PointArray<std::int32_t>;

Lattice::Lattice(int nx, int ny, int originX, int originY, int firstStep)
    : _nx(nx),
      _ny(ny),
      _originX(originX),
      _originY(originY),
      _firstStep(firstStep),
      _flags(static_cast<std::size_t>(nx) * ny, Interpolate),
      _parmIndex(static_cast<std::size_t>(nx) * ny, kNoParm) {}

int Lattice::addParm(int x, int y, double px, double py) {
  std::size_t const n = static_cast<std::size_t>(_nParms);
  std::size_t const capacity = (2 * n + kPositionChunk + 1) / kPositionChunk * kPositionChunk;
  if (capacity != _capacity) {
    void* raw = std::aligned_alloc(16, capacity * sizeof(double));
    if (raw == nullptr) throw std::bad_alloc();
    std::unique_ptr<double[], AlignedFree> grown(static_cast<double*>(raw));
    if (n > 0) std::memcpy(grown.get(), _positions.get(), 2 * n * sizeof(double));
    _positions = std::move(grown);
    _capacity = capacity;
  }
  _positions[2 * n] = px;
  _positions[2 * n + 1] = py;
  std::size_t const i = index(x, y);
  _flags[i] &= static_cast<std::uint8_t>(~Interpolate);
  _parmIndex[i] = _nParms;
  return _nParms++;
}

int collectLeafCellsAroundPoint(Lattice const& lat, int x, int y, LeafCell cells[4]) {
  int const nx = lat.nx(), ny = lat.ny(), top = lat.firstStep();
  int n = 0;
  // The leaf of each quadrant that has the point as a corner: below right,
  // below left, above right, above left.
  static constexpr int kQuadrant[4][2] = {{0, 0}, {-1, 0}, {0, -1}, {-1, -1}};
  for (auto const& q : kQuadrant) {
    int const ox = q[0], oy = q[1];
    if (!lat.isCellOrigin(x + ox, y + oy)) continue;
    for (int z = 1; z <= top && ((x | y) & (z - 1)) == 0; z *= 2) {
      int const cx = x + ox * z, cy = y + oy * z;
      if (z == top || lat.cellExists(cx, cy, z)) {
        cells[n++] = {cx, cy, cx + z, cy + z};
        break;
      }
    }
  }
  // A hanging point also lies inside an edge of one larger leaf.
  if (top >= 2) {
    int const prevN = n;
    for (int z = 2; z <= top; z *= 2) {
      bool const xOn = (x & (z - 1)) == 0, yOn = (y & (z - 1)) == 0;
      if (xOn && yOn) continue;
      if (!xOn && !yOn) break;
      LeafCell candidates[2];
      if (yOn) {
        int const cx = x & ~(z - 1);
        candidates[0] = {cx, y - z, cx + z, y};
        candidates[1] = {cx, y, cx + z, y + z};
      } else {
        int const cy = y & ~(z - 1);
        candidates[0] = {x - z, cy, x, cy + z};
        candidates[1] = {x, cy, x + z, cy + z};
      }
      for (LeafCell const& c : candidates) {
        if (lat.isCellOrigin(c.x0, c.y0) && lat.cellExists(c.x0, c.y0, z) && !lat.isSubdivided(c.x0, c.y0, z)) {
          cells[n++] = c;
          break;
        }
      }
      QX_ASSERT_AS(kAssertFile, n == prevN || n == prevN + 1, "n == prevN || n == prevN+1");
      if (n != prevN) break;
    }
  }
  bool const onBorder = (nx > 1 && x % (nx - 1) == 0) || (ny > 1 && y % (ny - 1) == 0);
  QX_ASSERT_AS(kAssertFile, ((n == 1 || n == 2) && onBorder) || n == 3 || n == 4,
               "(n == 1 || n == 2) && ((x%(nx-1)) == 0 || (y%(ny-1)) == 0) || n == 3 || n == 4");
  return n;
}

CornerData estimateCornerData(Lattice const& lat, int x, int y) {
  QX_ASSERT_AS(kAssertFile, (lat.flags()[lat.index(x, y)] & Interpolate) == 0, "(flags[y][x] & Interpolate) == 0");
  QX_ASSERT_AS(kAssertFile, x < lat.nx(), "x < nx");
  QX_ASSERT_AS(kAssertFile, y < lat.ny(), "y < ny");
  QX_ASSERT_AS(kAssertFile, lat.parmIndex()[lat.index(x, y)] >= 0, "parmIndex >= 0");
  CornerData d{lat.position(x, y), {0, 0}, {0, 0}, {0, 0}};
  LeafCell cells[4];
  int const n = collectLeafCellsAroundPoint(lat, x, y, cells);
  double weightSum = 0;
  for (int k = 0; k < n; ++k) {
    LeafCell const& c = cells[k];
    Vec2 const p00 = lat.position(c.x0, c.y0), p10 = lat.position(c.x1, c.y0);
    Vec2 const p01 = lat.position(c.x0, c.y1), p11 = lat.position(c.x1, c.y1);
    double const w = 1.0 / (c.x1 - c.x0);
    double const u = (x - c.x0) * w, v = (y - c.y0) * w;
    // Derivatives of the bilinear interpolant, per pixel, each weighted by w.
    Vec2 const k4 = p00 - p10 + p11 - p01;
    double const w2 = w * w;
    d.dx = d.dx + w2 * ((p10 - p00) + v * k4);
    d.dy = d.dy + w2 * ((p01 - p00) + u * k4);
    d.dxy = d.dxy + (w2 * w) * k4;
    weightSum += w;
  }
  if (weightSum > 0) {
    double const inv = 1.0 / weightSum;
    d.dx = inv * d.dx;
    d.dy = inv * d.dy;
    d.dxy = inv * d.dxy;
  }
  return d;
}

void hermiteBasis(double t, double s, double h[4]) {
  h[0] = (2 * t - 3) * t * t + 1;
  h[1] = (t - 1) * (t - 1) * t * s;
  h[2] = (3 - 2 * t) * t * t;
  h[3] = (t - 1) * t * t * s;
}

void hermiteSlope(double t, double s, double h[4]) {
  h[0] = 6 * t * t - 6 * t;
  h[1] = (3 * t * t - 4 * t + 1) * s;
  h[2] = 6 * t - 6 * t * t;
  h[3] = (3 * t * t - 2 * t) * s;
}

Vec2 evaluatePatch(CornerData const c[4], double s, double u, double v) {
  double hx[4], hy[4];
  hermiteBasis(u, s, hx);
  hermiteBasis(v, s, hy);
  return tensor(c, hx, hy);
}

CornerData evaluatePatchCornerData(CornerData const c[4], double s, double u, double v) {
  double hx[4], hy[4], sx[4], sy[4];
  hermiteBasis(u, s, hx);
  hermiteBasis(v, s, hy);
  hermiteSlope(u, s, sx);
  hermiteSlope(v, s, sy);
  double const perPixel = 1.0 / s;
  return {tensor(c, hx, hy), perPixel * tensor(c, sx, hy), perPixel * tensor(c, hx, sy),
          (perPixel * perPixel) * tensor(c, sx, sy)};
}

void computeChildCornerData(Lattice const& lat, int x, int y, int s, CornerData const c[4], CornerData out[9]) {
  int const h = s / 2;
  bool const subdivided = lat.isSubdivided(x, y, s);
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 3; ++i) {
      CornerData& o = out[j * 3 + i];
      bool const corner = (i != 1) && (j != 1);
      if (corner) {
        o = c[(j / 2) * 2 + i / 2];
      } else if (lat.isParm(x + i * h, y + j * h)) {
        o = estimateCornerData(lat, x + i * h, y + j * h);
      } else if (!subdivided) {
        // A hanging point of a leaf: the leaf's own patch is the mapping there.
        o = evaluatePatchCornerData(c, s, 0.5 * i, 0.5 * j);
      } else {
        // Subdividing a cell makes parameters of its centre and of all four
        // edge midpoints; one missing means a corrupt lattice.
        QX_ASSERT_AS(kAssertFile, false, "false");
      }
    }
  }
}

void fillMesh(Lattice const& lattice, IxWriteGuard& mesh, int threads) {
  if (lattice.nx() < 2 || lattice.ny() < 2) return;  // no cells
  MeshFiller(lattice, mesh, threads).fill();
}

}  // namespace Qx::Warper2D::gridsolver
