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

// One bit per mesh pixel: does it constrain the solve. Constrained pixels
// never change during a solve, and the constraint application visits only
// them, so it walks set bits instead of reading every pixel's pattern. A
// constrained pixel whose target is not finite is left out: it stays as it
// is in the mesh but ties no lattice point, so one bad target cannot turn
// the whole solve into NaN.
class ConstrainedMask {
 public:
  ConstrainedMask(IxWriteGuard const& mesh, int nx, int ny) : _words((nx + 63) / 64) {
    _bits.assign(static_cast<std::size_t>(_words) * ny, 0);
    int const x0 = mesh.getPixelRegion().x1(), y0 = mesh.getPixelRegion().y1();
    for (int y = 0; y < ny; ++y) {
      std::byte const* pixel = mesh.getPixelAddress(x0, y0 + y);
      std::uint64_t* row = &_bits[static_cast<std::size_t>(y) * _words];
      for (int x = 0; x < nx; ++x, pixel += sizeof(MeshPixel)) {
        if ((readMeshBits(pixel) & CONSTRAINED_BIT) == 0) continue;
        MeshPixel const m = readMeshPixel(pixel);
        if (std::isfinite(m.r) && std::isfinite(m.g)) row[x >> 6] |= std::uint64_t{1} << (x & 63);
      }
      checkInterruption();
    }
  }

  int words() const { return _words; }
  std::uint64_t word(int y, int w) const { return _bits[static_cast<std::size_t>(y) * _words + w]; }

  // Calls f(x) for every constrained pixel x in [xa, xb] of row y, in order.
  template <class F>
  void forEach(int y, int xa, int xb, F&& f) const {
    std::uint64_t const* row = &_bits[static_cast<std::size_t>(y) * _words];
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

  std::size_t bytes() const { return _bits.capacity() * sizeof(std::uint64_t); }

 private:
  int _words;
  std::vector<std::uint64_t> _bits;
};

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
// Longest run of empty pass numbers that is still solved pass by pass.
constexpr unsigned kMaxPassGap = 32;

// Per-pass summary of the mesh pixels for the refinement's two questions
// about a cell: does its closed square hold a pixel that is constrained or
// of an earlier pass ("fixed", bit 1), and a pending pixel of this very pass
// (bit 0). One byte per cell for the sizes from 4 up to the top; the union of
// four closed child squares is the parent's closed square, so each level is
// built from the one below.
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
    // Smallest level from the pixels, a row of cells at a time.
    {
      int const s = 1 << kFirstLevel, cx = _cellsX[0], cy = (ny - 1) / s;
      std::uint8_t* cells = _levels[0].data();
      for (int j = 0; j < cy; ++j) {
        std::uint8_t* row = cells + static_cast<std::size_t>(j) * cx;
        for (int y = j * s; y <= j * s + s; ++y) {
          std::byte const* pixel = mesh.getPixelAddress(x0, y0 + y);
          for (int x = 0; x < nx; ++x, pixel += sizeof(MeshPixel)) {
            std::uint8_t const c = classify(readMeshBits(pixel), pass);
            int const i = x / s;
            // Column x closes cell i - 1 and opens cell i.
            if (i < cx) row[i] |= c;
            if ((x % s) == 0 && i > 0) row[i - 1] |= c;
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

  // Summary bits of the closed square of cell (x, y, s); covers(s) must hold.
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

class SmoothGridSolver {
 public:
  SmoothGridSolver(IxWriteGuard& mesh, double magnetWeight, bool affineSmoothness, int minStep, int passWork,
                   int nCycleWork, int const* cycleWork, double tolX, double tolE, double refineThreshold,
                   SolveStats* stats)
      : _mesh(mesh),
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
    _mask = std::make_unique<ConstrainedMask>(_mesh, _nx, _ny);
    QX_ASSERT_TEXT(_firstStep <= kMaxRecordStep, "firstStep <= 16384");
    _bandRank.resize(static_cast<std::size_t>(_firstStep + 1) * _mask->words());
    _boundary.reserve(4 * static_cast<std::size_t>(_firstStep) + 4);
    if (_magnetWeight > 0) _targets = allocateAligned(2 * static_cast<std::size_t>(_nx) * _ny);
    runPasses();
    {
      Stopwatch t(_stats ? &_stats->fillSeconds : nullptr);
      fillMesh(*_lattice, _mesh);
    }
    if (_stats) {
      _stats->nParms = _lattice->nParms();
      _stats->firstStep = _firstStep;
      noteMemory(0);
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

  struct PassScan {
    bool anyPending = false;
    bool allPending = true;
    unsigned minPendingPass = PASS_MASK;
  };

  PassScan scanPass(unsigned pass) const {
    PassScan r;
    for (int y = 0; y < _ny; ++y) {
      std::byte const* pixel = _mesh.getPixelAddress(_region.x1(), _region.y1() + y);
      for (int x = 0; x < _nx; ++x, pixel += sizeof(MeshPixel)) {
        std::uint32_t const b = readMeshBits(pixel);
        unsigned const p = b & PASS_MASK;
        if ((b & CONSTRAINED_BIT) == 0 && p >= pass) {
          r.anyPending = true;
          r.minPendingPass = std::min(r.minPendingPass, p);
        } else {
          r.allPending = false;
        }
      }
      checkInterruption();
    }
    return r;
  }

  void runPasses() {
    std::uint64_t const budgetPerPass = static_cast<std::uint64_t>(std::max(_passWork, 0)) * 10000u;
    for (unsigned p = 0;; ++p) {
      PassScan const scan = scanPass(p);
      checkInterruption();
      if (!scan.anyPending) break;
      if (scan.allPending) {
        p = scan.minPendingPass;  // every pass up to it finds everything pending
        continue;
      }
      // A pass number with no pixel of its own (a later curve constrained
      // all of them) still gets its pass: it solves the pending pixels with
      // the stencil of that pass and so sets where the next pass starts.
      // Only a gap longer than any scene makes, which a corrupt pattern
      // could make of up to 2^30 numbers, is jumped over.
      if (scan.minPendingPass > p + kMaxPassGap) p = scan.minPendingPass;
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
    while (budget > 0) {
      ++cycle;
      if (_stats) ++_stats->cycles;
      if (cycle > 1) {
        Stopwatch t(_stats ? &_stats->refineSeconds : nullptr);
        if (refinementSweep() == 0 && converged) break;
      }
      int nCon;
      {
        Stopwatch t(_stats ? &_stats->constraintSeconds : nullptr);
        nCon = applyConstraints();
      }
      int const nVars = _lattice->nParms() - nCon;
      std::unique_ptr<MultivariateQuadraticBase> energy;
      {
        Stopwatch t(_stats ? &_stats->energySeconds : nullptr);
        energy = buildEnergy();
      }
      converged = true;
      if (nCon > 0 && nVars > 0) {
        Stopwatch t(_stats ? &_stats->minimiseSeconds : nullptr);
        std::uint64_t const nTerms = static_cast<std::uint64_t>(std::max(1, energy->getNTerms()));
        int const cw = _cycleWork[std::min(cycle, _nCycleWork - 1)];
        std::uint64_t const work = std::min(budget, static_cast<std::uint64_t>(std::max(cw, 0)) * 10000u);
        std::uint64_t const iters = (work + nTerms - 1) / nTerms;
        int const maxIter = static_cast<int>(std::min<std::uint64_t>(iters, INT_MAX));
        int const done = _magnetWeight <= 0
                             ? minimiseQuadratic(*energy, _lattice->positions(), maxIter, _tolX, _tolE, converged)
                             : minimiseByStepSearch(*energy, _lattice->positions(), maxIter, _tolX, _tolE, converged);
        std::uint64_t const used = nTerms * static_cast<std::uint64_t>(std::max(done, 0));
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
    IxReadGuard const reader(_mesh);
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

  // ---- Constraint application ----------------------------------------

  // The records of the constrained pixels of the current band's rows
  // [_bandTop, _bandTop + firstStep] are packed in row order; a pixel's slot
  // is its rank among them, from per-word prefix counts of the mask.
  void rankBand(int top) {
    int const words = _mask->words();
    int const rows = std::min(_firstStep, _ny - 1 - top) + 1;
    std::int32_t count = 0;
    for (int r = 0; r < rows; ++r) {
      for (int w = 0; w < words; ++w) {
        _bandRank[static_cast<std::size_t>(r) * words + w] = count;
        count += __builtin_popcountll(_mask->word(top + r, w));
      }
    }
    _bandTop = top;
    _pixelRecords.assign(static_cast<std::size_t>(count), NearRecord{kNoRecord, kNoRecord});
  }

  NearRecord& pixelRecord(int x, int y) {
    int const w = x >> 6;
    std::uint64_t const below = _mask->word(y, w) & ((std::uint64_t{1} << (x & 63)) - 1);
    std::size_t const slot =
        static_cast<std::size_t>(_bandRank[static_cast<std::size_t>(y - _bandTop) * _mask->words() + w]) +
        static_cast<std::size_t>(__builtin_popcountll(below));
    return _pixelRecords[slot];
  }

  NearRecord& parmRecord(int x, int y) {
    return _parmRecords[static_cast<std::size_t>(_lattice->parmIndex()[_lattice->index(x, y)])];
  }

  static int distance2(int ax, int ay, int bx, int by) { return (ax - bx) * (ax - bx) + (ay - by) * (ay - by); }

  // Ties each lattice point to the constrained pixels nearest to it within
  // the leaves around it, band by band (one row of top-level cells each).
  // A band's bottom row is shared with the next band, whose leaves rewrite
  // its pixels' records before they are used, so the pixel records live for
  // one band; a parameter's record is kept for the whole application.
  // Returns the number of Constrained points.
  int applyConstraints() {
    Lattice& lat = *_lattice;
    std::uint8_t* flags = lat.flags();
    std::size_t const nPoints = static_cast<std::size_t>(_nx) * _ny;
    for (std::size_t i = 0; i < nPoints; ++i) flags[i] &= static_cast<std::uint8_t>(~Constrained);
    int nCon = 0;
    int const step = _firstStep;
    int const nBands = _ny > 1 ? (_ny - 1) / step : 0;
    _parmRecords.assign(static_cast<std::size_t>(lat.nParms()), NearRecord{kNoRecord, kNoRecord});
    for (int band = 0; band < nBands; ++band) {
      int const top = band * step;
      rankBand(top);
      for (int y = top; y <= top + step; ++y) initialiseRecordRow(y);
      for (int x = 0; x < _nx - 1; x += step) {
        leafSearch(x, top, step);
        checkInterruption();  // a refined top-level cell holds many rows of work
      }
      int const last = band == nBands - 1 ? _ny - 1 : top + step - 1;
      for (int y = top; y <= last; ++y) {
        _mask->forEach(y, 0, _nx - 1, [&](int x) { nCon += resolveConstrainedPixel(x, y); });
      }
      checkInterruption();
    }
    return nCon;
  }

  // A parameter whose own pixel is constrained is its own nearest pair.
  void initialiseRecordRow(int y) {
    _mask->forEach(y, 0, _nx - 1, [&](int x) {
      if (!_lattice->isParm(x, y)) return;
      pixelRecord(x, y) = NearRecord{0, 0};
      parmRecord(x, y) = NearRecord{0, 0};
    });
  }

  void leafSearch(int x, int y, int s) {
    if (_lattice->isSubdivided(x, y, s)) {
      int const h = s / 2;
      for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
          if (_lattice->isCellOrigin(x + i * h, y + j * h)) leafSearch(x + i * h, y + j * h, h);
        }
      }
      return;
    }
    Lattice const& lat = *_lattice;
    int const x0 = x, y0 = y, x1 = std::min(x + s, _nx - 1), y1 = std::min(y + s, _ny - 1);
    _boundary.clear();
    for (int py = y0; py <= y1; ++py) {
      bool const edgeRow = py == y0 || py == y1;
      for (int px = x0; px <= x1; px += (edgeRow || px == x1) ? 1 : x1 - x0) {
        if (lat.isParm(px, py)) _boundary.push_back({px, py});
      }
    }
    for (int py = y0; py <= y1; ++py) {
      _mask->forEach(py, x0, x1, [&](int px) {
        if (lat.isParm(px, py)) return;
        int best = 1000000000;
        Point nearest{-1, -1};
        for (Point const& b : _boundary) {
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
          pixelRecord(px, py) = NearRecord{static_cast<std::int16_t>(nearest.x - px), static_cast<std::int16_t>(nearest.y - py)};
        }
      });
    }
  }

  // A constrained pixel constrains its nearest lattice point when it is (one
  // of) that point's nearest constrained pixels; the point's target is then
  // that nearest pixel's target, moved rigidly by the offset between them.
  int resolveConstrainedPixel(int x, int y) {
    Lattice& lat = *_lattice;
    NearRecord const rp = pixelRecord(x, y);
    int const xp = rp.dx == kNoRecord ? -1 : x + rp.dx, yp = y + rp.dy;
    QX_ASSERT(xp >= 0);
    std::uint8_t& flag = lat.flags()[lat.index(xp, yp)];
    QX_ASSERT_TEXT((flag & Interpolate) == 0, "(flags[yp][xp] & Interpolate) == 0");
    NearRecord const rc = parmRecord(xp, yp);
    int const xc = rc.dx == kNoRecord ? -1 : xp + rc.dx, yc = yp + rc.dy;
    QX_ASSERT(xc >= 0);
    if (distance2(xp, yp, xc, yc) != distance2(xp, yp, x, y)) return 0;
    int const newlyConstrained = (flag & Constrained) ? 0 : 1;
    flag |= Constrained;
    MeshPixel const target = readMeshPixel(_mesh.getPixelAddress(_region.x1() + xc, _region.y1() + yc));
    std::uint32_t const pixelFlag = target.b;
    QX_ASSERT_TEXT((pixelFlag & CONSTRAINED_BIT) != 0, "(flag & CONSTRAINED_BIT) != 0");
    float const tx = target.r + static_cast<float>(xp - xc);
    float const ty = target.g + static_cast<float>(yp - yc);
    double* dst = _magnetWeight <= 0
                      ? lat.positions() + 2 * static_cast<std::size_t>(lat.parmIndex()[lat.index(xp, yp)])
                      : _targets.get() + 2 * lat.index(xp, yp);
    dst[0] = tx;
    dst[1] = ty;
    if (pixelFlag & SMOOTHING_BIT) flag |= SmoothedConstraint;
    return newlyConstrained;
  }

  // ---- Refinement -----------------------------------------------------

  int refinementSweep() {
    _sweepParmLimit = std::min<std::size_t>(_perTermEnergy.size(), static_cast<std::size_t>(_lattice->nParms()));
    _refined = 0;
    int const step = _firstStep;
    // Cells of size minStep or less are never subdivided: with top-level
    // cells that small there is nothing to estimate corner data for.
    int const minStep = _minStep;
    QX_ASSERT(minStep >= 1);
    if (step <= minStep) return 0;
    for (int y = 0; y < _ny - 1; y += step) {
      for (int x = 0; x < _nx - 1; x += step) {
        CornerData const c[4] = {estimateCornerData(*_lattice, x, y), estimateCornerData(*_lattice, x + step, y),
                                 estimateCornerData(*_lattice, x, y + step),
                                 estimateCornerData(*_lattice, x + step, y + step)};
        refineCell(x, y, step, c);
        checkInterruption();  // a refined top-level cell holds many rows of work
      }
    }
    return _refined;
  }

  void refineCell(int x, int y, int s, CornerData const c[4]) {
    int const minStep = _minStep;
    QX_ASSERT(minStep >= 1);
    if (s <= minStep) return;
    Lattice& lat = *_lattice;
    if (lat.isSubdivided(x, y, s)) {
      CornerData child[9];
      computeChildCornerData(lat, x, y, s, c, child);
      int const h = s / 2;
      for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
          if (!lat.isCellOrigin(x + i * h, y + j * h)) continue;
          CornerData const cc[4] = {child[j * 3 + i], child[j * 3 + i + 1], child[(j + 1) * 3 + i],
                                    child[(j + 1) * 3 + i + 1]};
          refineCell(x + i * h, y + j * h, h, cc);
        }
      }
      return;
    }
    // Nothing of this pass needs the cell.
    if (!neededNear(x, y, s)) return;
    double const threshold = 0.75 * _refineThreshold;
    if (threshold > 0 && !fixedIn(x, y, s) && threshold * threshold >= maxResidualOnBoundary(x, y, s)) return;
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

  // Some pixel of [x, x + s]^2 is constrained or of an earlier pass.
  bool fixedIn(int x, int y, int s) const {
    if (_summary.covers(s)) return (_summary.cell(x, y, s) & PassSummary::kFixed) != 0;
    return (classifyPixels(x, y, x + s, y + s, PassSummary::kFixed) & PassSummary::kFixed) != 0;
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
    std::size_t solver = _lattice->pointBytes() +
                         _lattice->positionsCapacity() * sizeof(double) + (_pixelRecords.capacity() + _parmRecords.capacity()) * sizeof(NearRecord) +
                         _bandRank.capacity() * sizeof(std::int32_t) +
                         _boundary.capacity() * sizeof(Point) + _summary.bytes() +
                         _perTermEnergy.capacity() * sizeof(double) + (_mask ? _mask->bytes() : 0) +
                         (_targets ? 2 * points * sizeof(double) : 0);
    _stats->peakSolverBytes = std::max(_stats->peakSolverBytes, solver);
    _stats->peakEnergyBytes = std::max(_stats->peakEnergyBytes, energyBytes);
  }

  struct Point {
    int x, y;
  };

  IxWriteGuard& _mesh;
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
  std::unique_ptr<ConstrainedMask> _mask;
  std::vector<std::int32_t> _bandRank;
  std::vector<NearRecord> _pixelRecords;
  std::vector<NearRecord> _parmRecords;
  int _bandTop = 0;
  std::vector<Point> _boundary;
  std::unique_ptr<double[], AlignedFree> _targets;
  std::vector<double> _perTermEnergy;
  PassSummary _summary;
  std::size_t _sweepParmLimit = 0;
  int _refined = 0;
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
