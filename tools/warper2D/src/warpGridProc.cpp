// The correspondence mesh region rule and the smooth grid solve.
//
// The solve works on an adaptive lattice over the mesh (warpGridProcCells.h):
// it starts from the top-level cells with every parameter at the identity,
// ties lattice points to their nearest constrained pixels, minimises a
// quadratic smoothness energy (warpGridProcEnergy.h) over the free
// parameters, refines the quadtree where constraints are near or the
// residuals large, and repeats until the work budget is spent or nothing
// changes. The pixels are then filled from the lattice's Hermite patches.
#include "warpGridProc.h"

#include <algorithm>
#include <ctime>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "base/assertions.h"
#include "pluginAPI/pxRequestMgr.h"
#include "warpGridProcCells.h"
#include "warpGridProcEnergy.h"
#include "warpGridProcSolve.h"

namespace Qx::Warper2D {

int WarpGridProc::coarsestGridStep(int w, int h) {
  int const m = w < h ? w : h;
  if (m <= 8) return 1;
  // In 64 bits so that a side near INT_MAX cannot overflow 8 s.
  std::int64_t s = 2;
  while (8 * s < m) s *= 2;
  return static_cast<int>(s);
}

GeRectangle<int> const WarpGridProc::computeCorrespondenceImageRegion(GeRectangle<int> const& region) {
  if (region.isEmpty()) return region;
  // 64-bit sizes: a region wider than INT_MAX pixels must not wrap. Such a
  // region keeps whatever enlargement still fits; the solve then halves its
  // top-level step until the lattice closes.
  std::int64_t const x0 = region.x1(), y0 = region.y1();
  std::int64_t const w = std::int64_t(region.x2()) - x0, h = std::int64_t(region.y2()) - y0;
  std::int64_t const s = coarsestGridStep(static_cast<int>(std::min<std::int64_t>(w, INT_MAX)),
                                          static_cast<int>(std::min<std::int64_t>(h, INT_MAX)));
  // w - 1 rounded up to a multiple of s, plus the closing lattice column.
  std::int64_t const x1 = x0 + ((w + s - 2) & ~(s - 1)) + 1;
  std::int64_t const y1 = y0 + ((h + s - 2) & ~(s - 1)) + 1;
  return GeRectangle<int>(region.x1(), region.y1(), static_cast<int>(std::min<std::int64_t>(x1, INT_MAX)),
                          static_cast<int>(std::min<std::int64_t>(y1, INT_MAX)));
}

namespace {

// Logarithm of an argument raised to at least 1e-30, so that degenerate
// inputs give finite exponents.
double safeLog(double v) { return std::log(std::max(v, 1e-30)); }

int clampToInt(double v) {
  if (!(v > 0)) return 0;
  return v >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(v);
}

}  // namespace

WarpGridProc::SolveArguments WarpGridProc::computeSolveArguments(double quality,
                                                                  GeRectangle<int> const& correspondenceRegion) {
  double const area = static_cast<double>(correspondenceRegion.getWidth()) * correspondenceRegion.getHeight();
  double const a = std::max(area / 2048.0 / 1500.0, 0.005);
  double const q = (quality - 1.0) * 6.0 + 0.5;
  SolveArguments r;
  r.passWork = clampToInt(std::floor(400.0 * q + 0.5));
  r.cycleWork = std::max(clampToInt(std::max(0.3, std::sqrt(a)) * 100.0 * q), 1);
  // The refinement floor falls geometrically with q: 256 sqrt(a) at q = a,
  // about 2^-5.7 of that at q = 2a; the nearest power of two, ties down.
  double const l0 = safeLog(256.0 * std::sqrt(a));
  double const x = std::pow(2.0, l0 / std::log(2.0) - 5.714285714285714);
  double const v = std::exp(l0 + (safeLog(x) - l0) * (safeLog(q) - safeLog(a)) / (safeLog(2.0 * a) - safeLog(a)));
  r.minStep = 1;
  if (!(v - 1.0 <= 2.0 - v)) {
    // A NaN v (a NaN quality) ends at the largest power, like a huge one.
    int p = 2;
    while (!(v - p <= 2.0 * p - v) && p < (1 << 30)) p *= 2;
    r.minStep = p;
  }
  r.refineThreshold =
      std::exp((safeLog(std::pow(2.0, -1.25)) - safeLog(1.0)) * (safeLog(q) - safeLog(2.0 * a)) /
               (safeLog(4.0 * a) - safeLog(2.0 * a)));
  return r;
}

namespace {

using namespace gridsolver;

// Adds the calling thread's CPU time over its scope to *sink, when there is
// a sink: the figures then stay those of one core on a busy machine.
class Stopwatch {
 public:
  explicit Stopwatch(double* sink) : _sink(sink), _start(_sink ? now() : 0.0) {}
  ~Stopwatch() {
    if (_sink) *_sink += now() - _start;
  }
  Stopwatch(Stopwatch const&) = delete;
  Stopwatch& operator=(Stopwatch const&) = delete;

 private:
  static double now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
  }
  double* _sink;
  double _start;
};

void checkInterruption() { PxRequestMgr::getInstance().checkInterruption(); }

// A refined cell counts as holding fixed content (a constrained pixel, or one
// of an earlier pass) when that content lies within this many pixels of its
// closed square. A leaf's patch takes its corner derivatives from the leaves
// around its corners, and the smallest of them weighs most: a constraint one
// pixel beyond the leaf's edge sits in a size-1 leaf at its corner and hands
// the leaf the mapping's slope on the far side of the constraint. Across a
// curve that does not smooth, the two sides meet at a kink, and a large
// leaf on one side would bend by the other side's slope though every one of
// its parameters is exact; refined like the cells that hold the constraint,
// its corners see only leaves of their own side.
constexpr int kFixedMargin = 1;

// Per-pass summary of the mesh pixels for the refinement's two questions
// about a cell: does its closed square, grown by kFixedMargin, hold a pixel
// that is constrained or of an earlier pass ("fixed", bit 1), and does its
// closed square hold a pending pixel of this very pass (bit 0). One byte per
// cell for the sizes from 4 up to the top; the grown (closed) squares of four
// children cover exactly the grown (closed) square of their parent, so each
// level is built from the one below.
class PassSummary {
 public:
  static constexpr std::uint8_t kNeeded = 1;
  static constexpr std::uint8_t kFixed = 2;
  static constexpr int kFirstLevel = 2;  // cells of size 4

  static std::uint8_t classify(std::uint32_t bits, unsigned pass) {
    if (bits & CONSTRAINED_BIT) return kFixed;
    unsigned const p = bits & PASS_MASK;
    return p == pass ? kNeeded : p < pass ? kFixed : 0;
  }

  void build(IxWriteGuard const& mesh, int nx, int ny, int firstStep, unsigned pass) {
    _levels.clear();
    _cellsX.clear();
    if (firstStep < (1 << kFirstLevel)) return;
    int const x0 = mesh.getPixelRegion().x1(), y0 = mesh.getPixelRegion().y1();
    for (int s = 1 << kFirstLevel; s <= firstStep; s *= 2) {
      int const cx = (nx - 1) / s, cy = (ny - 1) / s;
      _cellsX.push_back(cx);
      _levels.emplace_back(static_cast<std::size_t>(cx) * cy, 0);
    }
    static_assert(kFixedMargin == 1, "the smallest level is built for a margin of one pixel");
    // Smallest level from the pixels, a row of cells at a time.
    {
      int const s = 1 << kFirstLevel, cx = _cellsX[0], cy = (ny - 1) / s;
      std::uint8_t* cells = _levels[0].data();
      for (int j = 0; j < cy; ++j) {
        std::uint8_t* row = cells + static_cast<std::size_t>(j) * cx;
        for (int y = std::max(j * s - 1, 0); y <= std::min(j * s + s + 1, ny - 1); ++y) {
          bool const inClosed = y >= j * s && y <= j * s + s;
          std::byte const* pixel = mesh.getPixelAddress(x0, y0 + y);
          for (int x = 0; x < nx; ++x, pixel += sizeof(MeshPixel)) {
            std::uint8_t c = classify(readMeshBits(pixel), pass);
            if (!inClosed) c &= kFixed;
            if (c == 0) continue;
            int const i = x / s, r = x % s;
            // Column x lies in the closed square of cell i and, on its first
            // column, of cell i - 1; within the margin of cell i - 1 on
            // columns 0 and 1 of cell i, and of cell i + 1 on the last.
            if (i < cx) row[i] |= c;
            if (r == 0 && i > 0) row[i - 1] |= c;
            if (c & kFixed) {
              if (r == 1 && i > 0) row[i - 1] |= kFixed;
              if (r == s - 1 && i + 1 < cx) row[i + 1] |= kFixed;
            }
          }
        }
        checkInterruption();
      }
    }
    for (std::size_t l = 1; l < _levels.size(); ++l) {
      int const cx = _cellsX[l], cy = static_cast<int>(_levels[l].size()) / std::max(cx, 1);
      int const fx = _cellsX[l - 1];
      std::uint8_t const* fine = _levels[l - 1].data();
      std::uint8_t* coarse = _levels[l].data();
      for (int j = 0; j < cy; ++j) {
        for (int i = 0; i < cx; ++i) {
          std::size_t const f = static_cast<std::size_t>(2 * j) * fx + 2 * i;
          coarse[static_cast<std::size_t>(j) * cx + i] = fine[f] | fine[f + 1] | fine[f + fx] | fine[f + fx + 1];
        }
      }
    }
  }

  bool covers(int s) const { return s >= (1 << kFirstLevel) && !_levels.empty(); }

  // Summary bits of cell (x, y, s); covers(s) must hold.
  std::uint8_t cell(int x, int y, int s) const {
    int l = 0;
    while ((1 << (l + kFirstLevel)) < s) ++l;
    return _levels[l][static_cast<std::size_t>(y / s) * _cellsX[l] + x / s];
  }

  std::size_t bytes() const {
    std::size_t b = 0;
    for (auto const& v : _levels) b += v.capacity();
    return b;
  }

 private:
  std::vector<std::vector<std::uint8_t>> _levels;
  std::vector<int> _cellsX;
};

std::unique_ptr<double[], AlignedFree> allocateAligned(std::size_t n) {
  void* raw = std::aligned_alloc(16, ((n * sizeof(double) + 15) / 16) * 16);
  if (raw == nullptr) throw std::bad_alloc();
  std::unique_ptr<double[], AlignedFree> p(static_cast<double*>(raw));
  std::fill(p.get(), p.get() + n, 0.0);
  return p;
}

// A nearest-neighbour record of the constraint application, as an offset:
// for a constrained pixel, its nearest lattice point (itself when it is a
// parameter); for a parameter, its nearest constrained pixel (itself when its
// pixel is constrained). Offsets stay within one top-level cell, so 16 bits
// hold them.
struct NearRecord {
  std::int16_t dx, dy;
};
constexpr std::int16_t kNoRecord = INT16_MIN;
constexpr int kMaxRecordStep = 16384;

struct Point {
  int x, y;
};

int distance2(int ax, int ay, int bx, int by) { return (ax - bx) * (ax - bx) + (ay - by) * (ay - by); }

}  // namespace

// ---- Constraint application ------------------------------------------------

// One bit per mesh pixel: does it constrain the solve. Constrained pixels
// never change during a solve, and the application visits only them, so it
// walks set bits instead of reading every pixel's pattern. A constrained
// pixel whose target is not finite is left out: it stays as it is in the
// mesh but ties no lattice point, so one bad target cannot turn the whole
// solve into NaN.
//
// The records of the constrained pixels of the current band's rows
// [bandTop, bandTop + firstStep] are packed in row order; a pixel's slot is
// its rank among them, from per-word prefix counts of the mask.
struct ConstraintApplication::State {
  IxReadGuard const& mesh;
  int nx, ny, words;
  std::vector<std::uint64_t> bits;
  std::vector<std::int32_t> bandRank;
  std::vector<NearRecord> pixelRecords;
  std::vector<NearRecord> parmRecords;
  std::vector<Point> boundary;
  int bandTop = 0;
  Lattice* lattice = nullptr;
  double* targets = nullptr;

  State(IxReadGuard const& m, int nx_, int ny_) : mesh(m), nx(nx_), ny(ny_), words((nx_ + 63) / 64) {
    bits.assign(static_cast<std::size_t>(words) * ny, 0);
    int const x0 = mesh.getPixelRegion().x1(), y0 = mesh.getPixelRegion().y1();
    for (int y = 0; y < ny; ++y) {
      std::byte const* pixel = mesh.getPixelAddress(x0, y0 + y);
      std::uint64_t* row = &bits[static_cast<std::size_t>(y) * words];
      for (int x = 0; x < nx; ++x, pixel += sizeof(MeshPixel)) {
        if ((readMeshBits(pixel) & CONSTRAINED_BIT) == 0) continue;
        MeshPixel const p = readMeshPixel(pixel);
        if (std::isfinite(p.r) && std::isfinite(p.g)) row[x >> 6] |= std::uint64_t{1} << (x & 63);
      }
      checkInterruption();
    }
  }

  std::uint64_t word(int y, int w) const { return bits[static_cast<std::size_t>(y) * words + w]; }

  // Calls f(x) for every constrained pixel x in [xa, xb] of row y, in order.
  template <class F>
  void forEach(int y, int xa, int xb, F&& f) const {
    std::uint64_t const* row = &bits[static_cast<std::size_t>(y) * words];
    int const wa = xa >> 6, wb = xb >> 6;
    for (int w = wa; w <= wb; ++w) {
      std::uint64_t m = row[w];
      if (w == wa) m &= ~std::uint64_t{0} << (xa & 63);
      if (w == wb) m &= ~std::uint64_t{0} >> (63 - (xb & 63));
      while (m != 0) {
        f(w * 64 + __builtin_ctzll(m));
        m &= m - 1;
      }
    }
  }

  // Some constrained pixel of [xa, xb] x [ya, yb] is not a lattice point.
  bool anyConstrainedOffLattice(int xa, int ya, int xb, int yb) const {
    Lattice const& lat = *lattice;
    int const wa = xa >> 6, wb = xb >> 6;
    for (int y = ya; y <= yb; ++y) {
      std::uint64_t const* row = &bits[static_cast<std::size_t>(y) * words];
      for (int w = wa; w <= wb; ++w) {
        std::uint64_t m = row[w];
        if (w == wa) m &= ~std::uint64_t{0} << (xa & 63);
        if (w == wb) m &= ~std::uint64_t{0} >> (63 - (xb & 63));
        while (m != 0) {
          if (!lat.isParm(w * 64 + __builtin_ctzll(m), y)) return true;
          m &= m - 1;
        }
      }
    }
    return false;
  }

  void rankBand(int top, int step) {
    int const rows = std::min(step, ny - 1 - top) + 1;
    std::int32_t count = 0;
    for (int r = 0; r < rows; ++r) {
      for (int w = 0; w < words; ++w) {
        bandRank[static_cast<std::size_t>(r) * words + w] = count;
        count += __builtin_popcountll(word(top + r, w));
      }
    }
    bandTop = top;
    pixelRecords.assign(static_cast<std::size_t>(count), NearRecord{kNoRecord, kNoRecord});
  }

  NearRecord& pixelRecord(int x, int y) {
    int const w = x >> 6;
    std::uint64_t const below = word(y, w) & ((std::uint64_t{1} << (x & 63)) - 1);
    std::size_t const slot = static_cast<std::size_t>(bandRank[static_cast<std::size_t>(y - bandTop) * words + w]) +
                             static_cast<std::size_t>(__builtin_popcountll(below));
    return pixelRecords[slot];
  }

  NearRecord& parmRecord(int x, int y) {
    return parmRecords[static_cast<std::size_t>(lattice->parmIndex()[lattice->index(x, y)])];
  }

  // A parameter whose own pixel is constrained is its own nearest pair.
  void initialiseRecordRow(int y) {
    forEach(y, 0, nx - 1, [&](int x) {
      if (!lattice->isParm(x, y)) return;
      pixelRecord(x, y) = NearRecord{0, 0};
      parmRecord(x, y) = NearRecord{0, 0};
    });
  }

  void leafSearch(int x, int y, int s) {
    Lattice const& lat = *lattice;
    int const x0 = x, y0 = y, x1 = std::min(x + s, nx - 1), y1 = std::min(y + s, ny - 1);
    // Only constrained pixels that are not lattice points act below; most
    // cells hold none, and need not be walked.
    if (!anyConstrainedOffLattice(x0, y0, x1, y1)) return;
    if (lat.isSubdivided(x, y, s)) {
      int const h = s / 2;
      for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
          if (lat.isCellOrigin(x + i * h, y + j * h)) leafSearch(x + i * h, y + j * h, h);
        }
      }
      return;
    }
    boundary.clear();
    for (int py = y0; py <= y1; ++py) {
      bool const edgeRow = py == y0 || py == y1;
      for (int px = x0; px <= x1; px += (edgeRow || px == x1) ? 1 : x1 - x0) {
        if (lat.isParm(px, py)) boundary.push_back({px, py});
      }
    }
    for (int py = y0; py <= y1; ++py) {
      forEach(py, x0, x1, [&](int px) {
        if (lat.isParm(px, py)) return;
        // The first of equally near points wins: a later one must be
        // strictly nearer.
        int best = 1000000000;
        Point nearest{-1, -1};
        for (Point const& b : boundary) {
          int const d = distance2(b.x, b.y, px, py);
          if (d < best) {
            best = d;
            nearest = b;
          }
          NearRecord& rb = parmRecord(b.x, b.y);
          if (rb.dx == kNoRecord || d < distance2(0, 0, rb.dx, rb.dy)) {
            rb = NearRecord{static_cast<std::int16_t>(px - b.x), static_cast<std::int16_t>(py - b.y)};
          }
        }
        if (nearest.x >= 0) {
          pixelRecord(px, py) =
              NearRecord{static_cast<std::int16_t>(nearest.x - px), static_cast<std::int16_t>(nearest.y - py)};
        }
      });
    }
  }

  // Ties the lattice point (xp, yp) to the target of the constrained pixel
  // (xc, yc), moved rigidly by the offset between the two. Returns 1 when
  // the point was not tied yet.
  int tie(int xp, int yp, int xc, int yc) {
    Lattice& lat = *lattice;
    std::uint8_t& flag = lat.flags()[lat.index(xp, yp)];
    int const newlyConstrained = (flag & Constrained) ? 0 : 1;
    flag |= Constrained;
    int const x0 = mesh.getPixelRegion().x1(), y0 = mesh.getPixelRegion().y1();
    MeshPixel const target = readMeshPixel(mesh.getPixelAddress(x0 + xc, y0 + yc));
    QX_ASSERT_TEXT((target.b & CONSTRAINED_BIT) != 0, "(flag & CONSTRAINED_BIT) != 0");
    float const tx = target.r + static_cast<float>(xp - xc);
    float const ty = target.g + static_cast<float>(yp - yc);
    double* dst = targets ? targets + 2 * lat.index(xp, yp)
                          : lat.positions() + 2 * static_cast<std::size_t>(lat.parmIndex()[lat.index(xp, yp)]);
    dst[0] = tx;
    dst[1] = ty;
    if (target.b & SMOOTHING_BIT) flag |= SmoothedConstraint;
    return newlyConstrained;
  }

  // A constrained pixel constrains its nearest lattice point when it is (one
  // of) that point's nearest constrained pixels; the point's target is then
  // that nearest pixel's target.
  int resolveConstrainedPixel(int x, int y) {
    Lattice const& lat = *lattice;
    NearRecord const rp = pixelRecord(x, y);
    int const xp = rp.dx == kNoRecord ? -1 : x + rp.dx, yp = y + rp.dy;
    QX_ASSERT(xp >= 0);
    QX_ASSERT_TEXT((lat.flags()[lat.index(xp, yp)] & Interpolate) == 0, "(flags[yp][xp] & Interpolate) == 0");
    NearRecord const rc = parmRecord(xp, yp);
    int const xc = rc.dx == kNoRecord ? -1 : xp + rc.dx, yc = yp + rc.dy;
    QX_ASSERT(xc >= 0);
    if (distance2(xp, yp, xc, yc) != distance2(xp, yp, x, y)) return 0;
    return tie(xp, yp, xc, yc);
  }
};

ConstraintApplication::ConstraintApplication(IxReadGuard const& mesh, int nx, int ny)
    : _state(std::make_unique<State>(mesh, nx, ny)) {}

ConstraintApplication::~ConstraintApplication() = default;

bool ConstraintApplication::hasConstraints() const {
  return std::any_of(_state->bits.begin(), _state->bits.end(), [](std::uint64_t w) { return w != 0; });
}

std::size_t ConstraintApplication::bytes() const {
  State const& s = *_state;
  return s.bits.capacity() * sizeof(std::uint64_t) + s.bandRank.capacity() * sizeof(std::int32_t) +
         (s.pixelRecords.capacity() + s.parmRecords.capacity()) * sizeof(NearRecord) +
         s.boundary.capacity() * sizeof(Point);
}

// Band by band (one row of top-level cells each). A band's bottom row is
// shared with the next band, whose leaves rewrite its pixels' records before
// they are used, so the pixel records live for one band; a parameter's
// record is kept for the whole application.
int ConstraintApplication::apply(Lattice& lat, double* targets) {
  State& st = *_state;
  st.lattice = &lat;
  st.targets = targets;
  std::uint8_t* flags = lat.flags();
  std::size_t const nPoints = static_cast<std::size_t>(st.nx) * st.ny;
  for (std::size_t i = 0; i < nPoints; ++i) flags[i] &= static_cast<std::uint8_t>(~Constrained);
  int nCon = 0;
  int const step = lat.firstStep();
  if (st.nx < 2 || st.ny < 2) {
    // A mesh one pixel wide or high has no cells, and its lattice step is 1:
    // every pixel is a lattice point and ties itself.
    for (int y = 0; y < st.ny; ++y) st.forEach(y, 0, st.nx - 1, [&](int x) { nCon += st.tie(x, y, x, y); });
    return nCon;
  }
  QX_ASSERT_TEXT(step <= kMaxRecordStep, "firstStep <= 16384");
  st.bandRank.resize(static_cast<std::size_t>(step + 1) * st.words);
  st.boundary.reserve(4 * static_cast<std::size_t>(step) + 4);
  int const nBands = (st.ny - 1) / step;
  st.parmRecords.assign(static_cast<std::size_t>(lat.nParms()), NearRecord{kNoRecord, kNoRecord});
  for (int band = 0; band < nBands; ++band) {
    int const top = band * step;
    st.rankBand(top, step);
    for (int y = top; y <= top + step; ++y) st.initialiseRecordRow(y);
    for (int x = 0; x < st.nx - 1; x += step) {
      st.leafSearch(x, top, step);
      checkInterruption();  // a refined top-level cell holds many rows of work
    }
    int const last = band == nBands - 1 ? st.ny - 1 : top + step - 1;
    for (int y = top; y <= last; ++y) {
      st.forEach(y, 0, st.nx - 1, [&](int x) { nCon += st.resolveConstrainedPixel(x, y); });
    }
    checkInterruption();
  }
  return nCon;
}

namespace {

class SmoothGridSolver {
 public:
  SmoothGridSolver(IxWriteGuard& mesh, double magnetWeight, bool affineSmoothness, int minStep, int passWork,
                   int nCycleWork, int const* cycleWork, double tolX, double tolE, double refineThreshold,
                   SolveStats* stats)
      : _mesh(mesh),
        _reader(mesh),
        _region(mesh.getPixelRegion()),
        _nx(_region.getWidth()),
        _ny(_region.getHeight()),
        _magnetWeight(magnetWeight),
        _affine(affineSmoothness),
        _minStep(minStep),
        _passWork(passWork),
        _nCycleWork(nCycleWork),
        _cycleWork(cycleWork),
        _tolX(tolX),
        _tolE(tolE),
        _refineThreshold(refineThreshold),
        _stats(stats) {}

  int firstStep() const { return _firstStep; }

  void run() {
    Stopwatch total(_stats ? &_stats->otherSeconds : nullptr);
    chooseFirstStep();
    buildInitialLattice();
    _constraints = std::make_unique<ConstraintApplication>(_reader, _nx, _ny);
    if (_magnetWeight > 0) _targets = allocateAligned(2 * static_cast<std::size_t>(_nx) * _ny);
    runPasses();
    {
      Stopwatch t(_stats ? &_stats->fillSeconds : nullptr);
      if (_nx < 2 || _ny < 2)
        fillThinMesh();
      else
        fillMesh(*_lattice, _mesh);
    }
    if (_stats) {
      _stats->nParms = _lattice->nParms();
      _stats->firstStep = _firstStep;
      noteMemory(0);
      _stats->parameters.resize(static_cast<std::size_t>(_nx) * _ny);
      for (std::size_t i = 0; i < _stats->parameters.size(); ++i)
        _stats->parameters[i] = (_lattice->flags()[i] & Interpolate) == 0;
      // The fill's time was counted inside the total's scope; keep "other" exclusive.
      _stats->otherSeconds -= _stats->fillSeconds + _stats->constraintSeconds + _stats->refineSeconds +
                              _stats->energySeconds + _stats->minimiseSeconds;
    }
  }

 private:
  // The top-level cell size: the coarsest grid step, halved until the
  // lattice spans whole top-level cells.
  void chooseFirstStep() {
    int firstStep = WarpGridProc::coarsestGridStep(_nx, _ny);
    while ((((_nx - 1) | (_ny - 1)) & (firstStep - 1)) != 0) firstStep /= 2;
    int const stepMask = firstStep - 1;
    QX_ASSERT(firstStep >= 1);
    QX_ASSERT_TEXT(((_nx - 1) & stepMask) == 0, "((nx-1) & stepMask) == 0");
    QX_ASSERT_TEXT(((_ny - 1) & stepMask) == 0, "((ny-1) & stepMask) == 0");
    _firstStep = firstStep;
  }

  void buildInitialLattice() {
    _lattice = std::make_unique<Lattice>(_nx, _ny, _region.x1(), _region.y1(), _firstStep);
    for (int y = 0; y < _ny; ++y) {
      if (y % _firstStep == 0) {
        for (int x = 0; x < _nx; x += _firstStep) _lattice->addParm(x, y, _region.x1() + x, _region.y1() + y);
      }
      checkInterruption();
    }
  }

  // The pass numbers that unconstrained pixels carry, ascending, each once.
  std::vector<unsigned> distinctPasses() const {
    std::vector<unsigned> passes;
    for (int y = 0; y < _ny; ++y) {
      std::byte const* pixel = _mesh.getPixelAddress(_region.x1(), _region.y1() + y);
      for (int x = 0; x < _nx; ++x, pixel += sizeof(MeshPixel)) {
        std::uint32_t const b = readMeshBits(pixel);
        if (b & CONSTRAINED_BIT) continue;
        unsigned const p = b & PASS_MASK;
        if (passes.empty() || passes.back() != p) passes.push_back(p);  // runs of one number stay one entry
      }
      checkInterruption();
    }
    std::sort(passes.begin(), passes.end());
    passes.erase(std::unique(passes.begin(), passes.end()), passes.end());
    return passes;
  }

  // A pass solves the pixels whose pass number is at least its own against
  // all the others. Only the pass numbers that pixels carry are solved: a
  // number without pixels would solve the same pending pixels as the next
  // number that has some. Without a constrained pixel no pass could move a
  // parameter (there is nothing to solve against; refinement alone places
  // new parameters on the identity the lattice starts from), so none runs.
  void runPasses() {
    if (!_constraints->hasConstraints()) return;
    std::uint64_t const budgetPerPass = static_cast<std::uint64_t>(std::max(_passWork, 0)) * 10000u;
    for (unsigned const p : distinctPasses()) {
      _pass = p;
      _summary.build(_mesh, _nx, _ny, _firstStep, p);
      noteMemory(0);
      if (_stats) ++_stats->passes;
      solvePass(budgetPerPass);
      checkInterruption();
    }
  }

  void solvePass(std::uint64_t budgetPerPass) {
    std::uint64_t budget = budgetPerPass;
    int cycle = 0;
    bool converged = false;
    std::unique_ptr<MultivariateQuadraticBase> energy;
    int nCon = 0;
    while (budget > 0) {
      ++cycle;
      if (_stats) ++_stats->cycles;
      bool unchanged = false;
      if (cycle > 1) {
        Stopwatch t(_stats ? &_stats->refineSeconds : nullptr);
        unchanged = refinementSweep() == 0;
        if (unchanged && converged) break;
      }
      // With hard constraints, a cycle whose sweep subdivided nothing would
      // tie the same points to the same targets (which the minimiser never
      // moves) and build the same energy from them: the last one is kept.
      if (!(unchanged && energy && _magnetWeight <= 0)) {
        energy.reset();
        {
          Stopwatch t(_stats ? &_stats->constraintSeconds : nullptr);
          nCon = _constraints->apply(*_lattice, _magnetWeight > 0 ? _targets.get() : nullptr);
        }
        Stopwatch t(_stats ? &_stats->energySeconds : nullptr);
        energy = buildEnergy();
      }
      int const nVars = _lattice->nParms() - nCon;
      converged = true;
      if (nCon > 0 && nVars > 0) {
        Stopwatch t(_stats ? &_stats->minimiseSeconds : nullptr);
        std::uint64_t const nTerms = static_cast<std::uint64_t>(std::max(1, energy->getNTerms()));
        int const cw = _cycleWork[std::min(cycle, _nCycleWork - 1)];
        std::uint64_t const work = std::min(budget, static_cast<std::uint64_t>(std::max(cw, 0)) * 10000u);
        // Whole sweeps over the terms that the work allows.
        int const sweeps = static_cast<int>(std::min<std::uint64_t>((work + nTerms - 1) / nTerms, INT_MAX));
        int done;
        std::uint64_t swept;
        if (_magnetWeight <= 0) {
          // One sweep per iteration, as the budget counts it (the exact line
          // search's curvature sweep is cheaper than the gradient's).
          done = minimiseQuadratic(*energy, _lattice->positions(), sweeps, _tolX, _tolE, converged);
          swept = static_cast<std::uint64_t>(std::max(done, 0));
        } else {
          // The step search's line search evaluates the energy many times an
          // iteration: it is given the sweeps themselves and charged for
          // every one it makes.
          StepSearchWork w{sweeps, 0};
          done = minimiseByStepSearch(*energy, _lattice->positions(), sweeps, _tolX, _tolE, converged, &w);
          swept = done == 0 ? 0 : static_cast<std::uint64_t>(w.used);
        }
        // A minimisation that did nothing (it converged at once) ends the pass.
        std::uint64_t const used = nTerms * swept;
        budget = (used != 0 && used <= budget) ? budget - used : 0;
        if (_stats) {
          _stats->iterations += static_cast<std::uint64_t>(std::max(done, 0));
          _stats->termEvaluations += used;
        }
      }
      {
        Stopwatch t(_stats ? &_stats->energySeconds : nullptr);
        _perTermEnergy.assign(static_cast<std::size_t>(_lattice->nParms()), 0.0);
        energy->computeEnergy(_lattice->positions(), _perTermEnergy.data());
      }
      checkInterruption();
    }
  }

  std::unique_ptr<MultivariateQuadraticBase> buildEnergy() {
    IxReadGuard const& reader = _reader;
    Lattice const& lat = *_lattice;
    double const* targets = _targets.get();
    if (_affine) {
      auto e = std::make_unique<MultivariateQuadraticAffine>(_magnetWeight, _nx, _ny, _firstStep, lat.flags(), _pass,
                                                             reader, lat.nParms(), lat.parmIndex(), lat.positions(),
                                                             targets);
      noteMemory(energyAndMinimiserBytes(*e));
      return e;
    }
    auto e = std::make_unique<MultivariateQuadraticSimilarity>(_magnetWeight, _nx, _ny, _firstStep, lat.flags(), _pass,
                                                               reader, lat.nParms(), lat.parmIndex(), targets);
    noteMemory(energyAndMinimiserBytes(*e));
    return e;
  }

  // What a cycle's energy and the minimiser run on it hold at their peak.
  static std::size_t energyAndMinimiserBytes(MultivariateQuadraticConstraints const& e) {
    return e.getStorageBytes() +
           static_cast<std::size_t>(e.getNParms()) * kMinimiserDoublesPerParm * sizeof(double);
  }

  // A mesh one pixel wide or high has no cells for the fill to interpolate:
  // its lattice step is 1, so every pixel is a parameter, solved as the
  // one-dimensional problem it is (both models then ask each point to lie
  // midway between its two neighbours: the mapping runs linearly between
  // constraints), and its unconstrained pixels take their positions.
  void fillThinMesh() {
    Lattice const& lat = *_lattice;
    for (int y = 0; y < _ny; ++y) {
      std::byte* pixel = _mesh.getPixelAddress(_region.x1(), _region.y1() + y);
      for (int x = 0; x < _nx; ++x, pixel += sizeof(MeshPixel)) {
        std::uint32_t const b = readMeshBits(pixel);
        if (b & CONSTRAINED_BIT) continue;
        Vec2 const p = lat.position(x, y);
        writeMeshPixel(pixel, MeshPixel{toMeshCoordinate(p.x), toMeshCoordinate(p.y), b});
      }
    }
  }

  // ---- Refinement -----------------------------------------------------

  // A sweep first finds the leaves it will subdivide, then subdivides them.
  // Whether a leaf is subdivided does not depend on the sweep's own changes
  // (its residual, its constraints and its pass content are fixed for the
  // sweep, and subdividing one leaf creates no other), so the leaves can be
  // found up front, on every core. The corner data that place the new
  // parameters do depend on the parameters created before them in the
  // sweep: they are estimated in the same order and at the same point of the
  // walk as a walk of every cell would, but only on the way down to a leaf
  // that is subdivided. Most of a converged lattice is left alone, and
  // estimating corner data was most of a sweep's work.
  int refinementSweep() {
    _sweepParmLimit = std::min<std::size_t>(_perTermEnergy.size(), static_cast<std::size_t>(_lattice->nParms()));
    _refined = 0;
    int const step = _firstStep;
    // Cells of size minStep or less are never subdivided: with top-level
    // cells that small there is nothing to estimate corner data for.
    int const minStep = _minStep;
    QX_ASSERT(minStep >= 1);
    if (step <= minStep) return 0;
    findLeavesToSubdivide();
    _nextLeaf = 0;
    for (int y = 0; y < _ny - 1; y += step) {
      for (int x = 0; x < _nx - 1; x += step) {
        if (!nextLeafWithin(x, y, step)) continue;
        CornerData const c[4] = {estimateCornerData(*_lattice, x, y), estimateCornerData(*_lattice, x + step, y),
                                 estimateCornerData(*_lattice, x, y + step),
                                 estimateCornerData(*_lattice, x + step, y + step)};
        refineCell(x, y, step, c);
        checkInterruption();  // a refined top-level cell holds many rows of work
      }
    }
    QX_ASSERT(_nextLeaf == _leavesToSubdivide.size());
    return _refined;
  }

  struct Cell {
    int x, y, s;
  };

  // The leaves of the sweep to subdivide, in the order of a depth-first walk
  // (rows of top-level cells top to bottom, cells left to right, children in
  // the order (x, y), (x + h, y), (x, y + h), (x + h, y + h)). Rows of
  // top-level cells are searched in parallel; the lattice is only read.
  void findLeavesToSubdivide() {
    int const step = _firstStep;
    int const rows = (_ny - 1) / step;
    _rowLeaves.resize(static_cast<std::size_t>(rows));
    auto searchRow = [&](int row) {
      std::vector<Cell>& out = _rowLeaves[static_cast<std::size_t>(row)];
      out.clear();
      for (int x = 0; x < _nx - 1; x += step) collectLeaves(x, row * step, step, out);
    };
    // Non-owning handle on the current request: parallelFor returns first.
    std::shared_ptr<PxRequest> const request(std::shared_ptr<PxRequest>(), PxRequestMgr::getCurrentRequest());
    PxRequestMgr::getInstance().parallelFor(request, 0, rows, searchRow);
    _leavesToSubdivide.clear();
    for (std::vector<Cell> const& r : _rowLeaves) _leavesToSubdivide.insert(_leavesToSubdivide.end(), r.begin(), r.end());
  }

  void collectLeaves(int x, int y, int s, std::vector<Cell>& out) const {
    if (s <= _minStep) return;
    Lattice const& lat = *_lattice;
    if (lat.isSubdivided(x, y, s)) {
      int const h = s / 2;
      for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
          if (lat.isCellOrigin(x + i * h, y + j * h)) collectLeaves(x + i * h, y + j * h, h, out);
        }
      }
      return;
    }
    if (leafNeedsSubdivision(x, y, s)) out.push_back({x, y, s});
  }

  bool leafNeedsSubdivision(int x, int y, int s) const {
    // Nothing of this pass needs the cell.
    if (!neededNear(x, y, s)) return false;
    double const threshold = 0.75 * _refineThreshold;
    return !(threshold > 0 && !fixedNear(x, y, s) && threshold * threshold >= maxResidualOnBoundary(x, y, s));
  }

  // The next leaf to subdivide lies in the cell (x, y, s).
  bool nextLeafWithin(int x, int y, int s) const {
    if (_nextLeaf >= _leavesToSubdivide.size()) return false;
    Cell const& l = _leavesToSubdivide[_nextLeaf];
    return l.x >= x && l.x < x + s && l.y >= y && l.y < y + s;
  }

  void refineCell(int x, int y, int s, CornerData const c[4]) {
    Lattice& lat = *_lattice;
    if (lat.isSubdivided(x, y, s)) {
      CornerData child[9];
      computeChildCornerData(lat, x, y, s, c, child);
      int const h = s / 2;
      for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
          if (!lat.isCellOrigin(x + i * h, y + j * h) || !nextLeafWithin(x + i * h, y + j * h, h)) continue;
          CornerData const cc[4] = {child[j * 3 + i], child[j * 3 + i + 1], child[(j + 1) * 3 + i],
                                    child[(j + 1) * 3 + i + 1]};
          refineCell(x + i * h, y + j * h, h, cc);
        }
      }
      return;
    }
    // A leaf holding the next leaf to subdivide is that leaf.
    Cell const& l = _leavesToSubdivide[_nextLeaf];
    QX_ASSERT(l.x == x && l.y == y && l.s == s);
    ++_nextLeaf;
    // Subdivide on the cell's own patch, so the new parameters start where
    // the interpolation already had them.
    int const h = s / 2;
    static constexpr int kNewPoint[5][2] = {{1, 0}, {1, 2}, {0, 1}, {2, 1}, {1, 1}};
    for (auto const& q : kNewPoint) {
      int const px = x + q[0] * h, py = y + q[1] * h;
      if (px >= _nx || py >= _ny || lat.isParm(px, py)) continue;
      Vec2 const v = evaluatePatch(c, s, 0.5 * q[0], 0.5 * q[1]);
      lat.addParm(px, py, v.x, v.y);
    }
    ++_refined;
  }

  // Largest smoothness residual of the parameters of the closed cell that
  // had one in the last solve. A leaf has parameters only on its boundary.
  double maxResidualOnBoundary(int x, int y, int s) const {
    Lattice const& lat = *_lattice;
    double err = 0;
    auto visit = [&](int px, int py) {
      std::int32_t const p = lat.parmIndex()[lat.index(px, py)];
      if (p >= 0 && static_cast<std::size_t>(p) < _sweepParmLimit) err = std::max(err, _perTermEnergy[p]);
    };
    for (int i = 0; i <= s; ++i) {
      visit(x + i, y);
      visit(x + i, y + s);
    }
    for (int j = 1; j < s; ++j) {
      visit(x, y + j);
      visit(x + s, y + j);
    }
    return err;
  }

  std::uint8_t classifyPixels(int xa, int ya, int xb, int yb, std::uint8_t wanted) const {
    std::uint8_t found = 0;
    for (int py = ya; py <= yb; ++py) {
      std::byte const* pixel = _mesh.getPixelAddress(_region.x1() + xa, _region.y1() + py);
      for (int px = xa; px <= xb; ++px, pixel += sizeof(MeshPixel)) {
        found |= PassSummary::classify(readMeshBits(pixel), _pass);
        if (found & wanted) return found;
      }
    }
    return found;
  }

  // Some pixel within kFixedMargin of [x, x + s]^2 is constrained or of an
  // earlier pass.
  bool fixedNear(int x, int y, int s) const {
    if (_summary.covers(s)) return (_summary.cell(x, y, s) & PassSummary::kFixed) != 0;
    int const m = kFixedMargin;
    return (classifyPixels(std::max(x - m, 0), std::max(y - m, 0), std::min(x + s + m, _nx - 1),
                           std::min(y + s + m, _ny - 1), PassSummary::kFixed) &
            PassSummary::kFixed) != 0;
  }

  // Some pixel of [x - s, x + 2s]^2, clipped to the lattice, is pending in
  // this very pass.
  bool neededNear(int x, int y, int s) const {
    if (_summary.covers(s)) {
      for (int j = -1; j <= 1; ++j) {
        for (int i = -1; i <= 1; ++i) {
          int const cx = x + i * s, cy = y + j * s;
          if (_lattice->isCellOrigin(cx, cy) && (_summary.cell(cx, cy, s) & PassSummary::kNeeded)) return true;
        }
      }
      return false;
    }
    return (classifyPixels(std::max(x - s, 0), std::max(y - s, 0), std::min(x + 2 * s, _nx - 1),
                           std::min(y + 2 * s, _ny - 1), PassSummary::kNeeded) &
            PassSummary::kNeeded) != 0;
  }

  void noteMemory(std::size_t energyBytes) {
    if (!_stats) return;
    std::size_t const points = static_cast<std::size_t>(_nx) * _ny;
    std::size_t solver = _lattice->pointBytes() + _lattice->positionsCapacity() * sizeof(double) +
                         (_constraints ? _constraints->bytes() : 0) + _summary.bytes() +
                         _perTermEnergy.capacity() * sizeof(double) + (_targets ? 2 * points * sizeof(double) : 0);
    _stats->peakSolverBytes = std::max(_stats->peakSolverBytes, solver);
    _stats->peakEnergyBytes = std::max(_stats->peakEnergyBytes, energyBytes);
  }

  IxWriteGuard& _mesh;
  IxReadGuard const _reader;  // what the constraint application and the energies read
  GeRectangle<int> const _region;
  int const _nx, _ny;
  double const _magnetWeight;
  bool const _affine;
  int const _minStep;
  int const _passWork;
  int const _nCycleWork;
  int const* const _cycleWork;
  double const _tolX, _tolE, _refineThreshold;
  SolveStats* const _stats;

  int _firstStep = 1;
  unsigned _pass = 0;
  std::unique_ptr<Lattice> _lattice;
  std::unique_ptr<ConstraintApplication> _constraints;
  std::unique_ptr<double[], AlignedFree> _targets;
  std::vector<double> _perTermEnergy;
  PassSummary _summary;
  std::size_t _sweepParmLimit = 0;
  int _refined = 0;
  std::vector<std::vector<Cell>> _rowLeaves;  // per row of top-level cells, while a sweep searches
  std::vector<Cell> _leavesToSubdivide;       // the sweep's leaves, in walk order
  std::size_t _nextLeaf = 0;
};

}  // namespace

namespace gridsolver {

void createSmoothGridMeasured(IxWriteGuard& srcAndDst, double magnetWeight, bool affineSmoothness, int minStep,
                              int passWork, int nCycleWork, int* cycleWork, double tolX, double tolE,
                              double refineThreshold, int* outFirstStep, SolveStats* stats) {
  QX_ASSERT(srcAndDst.getTile().isValid());
  QX_ASSERT_TEXT(!srcAndDst.getPixelRegion().isEmpty(), "! srcAndDst.getPixelRegion().isEmpty()");
  QX_ASSERT(srcAndDst.getTile().getPixelFormat().getDepth() == IxPixelFormat::FLOAT32);
  QX_ASSERT(srcAndDst.getTile().getPixelFormat().getComps() == IxPixelFormat::RGB);
  QX_ASSERT(nCycleWork >= 1 && cycleWork != nullptr);
  if (stats) *stats = SolveStats{};
  SmoothGridSolver solver(srcAndDst, magnetWeight, affineSmoothness, minStep, passWork, nCycleWork, cycleWork, tolX,
                          tolE, refineThreshold, stats);
  solver.run();
  if (outFirstStep != nullptr) *outFirstStep = solver.firstStep();
}

}  // namespace gridsolver

void WarpGridProc::createSmoothGrid(IxWriteGuard& srcAndDst, double magnetWeight, bool affineSmoothness, int minStep,
                                    int passWork, int nCycleWork, int* cycleWork, double tolX, double tolE,
                                    double refineThreshold, int* outFirstStep) {
  gridsolver::createSmoothGridMeasured(srcAndDst, magnetWeight, affineSmoothness, minStep, passWork, nCycleWork,
                                       cycleWork, tolX, tolE, refineThreshold, outFirstStep, nullptr);
}

}  // namespace Qx::Warper2D
