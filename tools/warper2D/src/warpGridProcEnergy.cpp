// The grid solver's quadratic energies and the conjugate-gradient minimisers
// that lower them. One energy object is built per solve cycle from the
// lattice as the constraints left it, minimised once, evaluated once more for
// the per-term residuals that drive refinement, and dropped.
//
// Hot loops work on one parameter, two doubles, at a time through a 16-byte
// vector type. Terms are stored contiguously with a fixed entry count (unused
// entries carry a zero weight) and their coefficients in a small table shared
// by every term of one stencil shape; the terms of the common shapes come
// first and take shorter paths (four equal weights, then no constants or
// rotation part), so an evaluation is three branch-free sweeps.
//
// The terms index a working copy of the positions held in lattice row order
// rather than in parameter order: the lattice numbers parameters as they are
// created, and refinement creates them all over the frame, so in parameter
// order a term's five positions would lie far apart. The minimisers reorder
// once per call and iterate on the working copy; the public evaluations
// reorder per call.
#include "warpGridProcEnergy.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>

#include "base/assertions.h"
#include "base/conjugateGradient.h"
#include "base/doublePair.h"
#include "pluginAPI/pxRequestMgr.h"
#include "warpGridProc.h"

namespace Qx::Warper2D::gridsolver {

namespace {

// One lattice position (x, y) in a single SSE register.
using V2 = DoublePair;
inline V2 load2(double const* p) { return loadPair(p); }
inline void store2(double* p, V2 v) { storePair(p, v); }
inline V2 at(double const* x, int p) { return load2(x + 2 * static_cast<std::ptrdiff_t>(p)); }
inline void addAt(double* g, int p, V2 v) {
  double* q = g + 2 * static_cast<std::ptrdiff_t>(p);
  store2(q, load2(q) + v);
}
inline V2 splat(double s) { return V2{s, s}; }

// Zeroes a gradient before the terms scatter into it. Written as a plain
// store loop on purpose: a library memset of a large array may bypass the
// cache with non-temporal stores, and the scatter that follows would then
// fetch every line back from memory. The empty asm keeps the compiler from
// turning the loop into such a call.
inline void clearPairs(double* g, int nParms) {
  V2 const zero = splat(0.0);
  for (int p = 0; p < nParms; ++p) {
    store2(g + 2 * static_cast<std::ptrdiff_t>(p), zero);
    asm("" : : "r"(g) : "memory");
  }
}
inline double norm2(V2 v) { return v[0] * v[0] + v[1] * v[1]; }
// Long sums of squares and products run as two lane-wise partial sums,
// added at the end: one vector multiply-add per term instead of a
// horizontal reduction per term.
inline double lanes(V2 acc) { return acc[0] + acc[1]; }
// (x, y) -> (y, -x): the similarity model's rotation part, b (y, -x).
inline V2 perp(V2 v) { return V2{v[1], -v[0]}; }

// Scratch arrays of the minimisers: 16-byte aligned, released on every exit
// (an interruption unwinds through them).
struct FreeDeleter {
  void operator()(double* p) const noexcept { std::free(p); }
};
using AlignedDoubles = std::unique_ptr<double[], FreeDeleter>;

// The contents start undefined: every user writes an array in full before
// reading it, and clearing it first would be one more pass over memory that
// is, for a large lattice, freshly mapped.
AlignedDoubles allocateAligned(std::size_t n) {
  std::size_t const bytes = std::max<std::size_t>(16, (n * sizeof(double) + 15) & ~std::size_t(15));
  void* p = std::aligned_alloc(16, bytes);
  if (!p) throw std::bad_alloc();
  return AlignedDoubles(static_cast<double*>(p));
}

// w[i] = x[order[i]] and back, one parameter (two doubles) at a time.
void gatherPairs(std::int32_t const* order, int nParms, double const* x, double* w) {
  for (int i = 0; i < nParms; ++i) store2(w + 2 * static_cast<std::ptrdiff_t>(i), at(x, order[i]));
}
void scatterPairs(std::int32_t const* order, int nParms, double const* w, double* x) {
  for (int i = 0; i < nParms; ++i) store2(x + 2 * static_cast<std::ptrdiff_t>(order[i]), at(w, i));
}

// Which evaluation path a group of terms takes: the four neighbour weights
// equal and no constants or rotation part; no constants or rotation part;
// anything.
enum class Path { Uniform, Plain, General };

int log2OfStep(int step) {
  int l = 0;
  while (step > 1) {
    step >>= 1;
    ++l;
  }
  return l;
}

// The neighbours a lattice point's smoothness term is built from: in each of
// the four directions (+x, +y, -x, -y) the nearest parameter at a distance
// 1, 2, 4, ... up to the point's own level in the quadtree.
struct Stencil {
  int n = 0;
  int inds[4];
  int dx[4];
  int dy[4];
  bool constrained[4];
};

struct LatticeView {
  int nx;
  int ny;
  int step;
  std::uint8_t const* flags;
  std::int32_t const* parmIndex;
  int nParms;
  unsigned pass;
  IxReadGuard const* mesh;

  std::uint8_t flag(int x, int y) const { return flags[static_cast<std::ptrdiff_t>(y) * nx + x]; }
  std::int32_t parm(int x, int y) const { return parmIndex[static_cast<std::ptrdiff_t>(y) * nx + x]; }
};

// Returns false when the point keeps an empty term (a constrained point that
// takes no part in smoothing).
bool buildStencil(LatticeView const& lv, int x, int y, Stencil& st) {
  st.n = 0;
  std::uint8_t const centreFlags = lv.flag(x, y);
  bool const centreConstrained = (centreFlags & Constrained) != 0;
  if (centreConstrained && (centreFlags & SmoothedConstraint) == 0) return false;

  // A point only reaches as far as the coarsest cell it is a corner of, so
  // that a coarse point sees coarse neighbours and a fine point fine ones.
  int level = 0;
  if (lv.step > 1) {
    int const maxLevel = log2OfStep(lv.step);
    unsigned const bits = static_cast<unsigned>(x | y);
    level = bits == 0 ? maxLevel : std::min(maxLevel, __builtin_ctz(bits));
  }

  static constexpr int kDirX[4] = {1, 0, -1, 0};
  static constexpr int kDirY[4] = {0, 1, 0, -1};
  GeRectangle<int> const& region = lv.mesh->getPixelRegion();
  for (int dir = 0; dir < 4; ++dir) {
    int px = 0, py = 0, dist = 1;
    bool found = false;
    for (int l = 0; l <= level; ++l, dist *= 2) {
      px = x + kDirX[dir] * dist;
      py = y + kDirY[dir] * dist;
      if (px < 0 || py < 0 || px >= lv.nx || py >= lv.ny) break;  // farther is outside too
      if ((lv.flag(px, py) & Interpolate) == 0) {
        found = true;
        break;
      }
    }
    if (!found) continue;
    bool const neighbourConstrained = (lv.flag(px, py) & Constrained) != 0;
    // A constrained point must not lean on content that a later pass has yet
    // to solve: such a neighbour would drag the constraint towards stale data.
    if (centreConstrained && !neighbourConstrained) {
      std::uint32_t const b = readMeshBits(lv.mesh->getPixelAddress(region.x1() + px, region.y1() + py));
      if ((b & PASS_MASK) > lv.pass) continue;
    }
    int const ind = lv.parm(px, py);
    st.inds[st.n] = ind;
    QX_ASSERT_AS(kAssertFile, 0 <= st.inds[st.n] && st.inds[st.n] < lv.nParms, "0 <= inds[n] && inds[n] < nParms");
    st.dx[st.n] = kDirX[dir] * dist;
    st.dy[st.n] = kDirY[dir] * dist;
    st.constrained[st.n] = neighbourConstrained;
    ++st.n;
  }
  return true;
}

void checkMeshCovers(IxReadGuard const& mesh, int nx, int ny) {
  GeRectangle<int> const& r = mesh.getPixelRegion();
  QX_ASSERT_AS(kAssertFile, r.getWidth() >= nx && r.getHeight() >= ny,
               "mesh.getPixelRegion().getWidth() >= nx && mesh.getPixelRegion().getHeight() >= ny");
}

}  // namespace

// ---------------------------------------------------------------------------
// Constraint part

MultivariateQuadraticBase::~MultivariateQuadraticBase() = default;

MultivariateQuadraticConstraints::MultivariateQuadraticConstraints(double magnetWeight, int nx, int ny, int step,
                                                                   std::uint8_t const* flags, int nParms,
                                                                   std::int32_t const* parmIndex,
                                                                   double const* targetSource)
    : _nParms(nParms), _magnetWeight(magnetWeight) {
  QX_ASSERT_AS(kAssertFile, nParms >= 0, "nParms >= 0");
  QX_ASSERT_AS(kAssertFile, nx >= 1 && ny >= 1 && step >= 1, "nx >= 1 && ny >= 1 && step >= 1");
  bool const soft = _magnetWeight > 0.0;
  _flags.assign(static_cast<std::size_t>(nParms), 0);
  if (soft) _targets.assign(2 * static_cast<std::size_t>(nParms), 0.0);

  // Working order: the points in lattice row order, so that a term's
  // neighbours sit in the rows just before and after it in memory whatever
  // order refinement created them in.
  // One pass gives every parameter with a point its rank, its flags and,
  // with soft constraints, its target; the constrained ones are met in rank
  // order, so their list comes out ascending.
  _rank.assign(static_cast<std::size_t>(nParms), -1);
  std::int32_t next = 0;
  for (int y = 0; y < ny; ++y) {
    for (int x = 0; x < nx; ++x) {
      std::ptrdiff_t const i = static_cast<std::ptrdiff_t>(y) * nx + x;
      if (flags[i] & Interpolate) continue;
      std::int32_t const parm = parmIndex[i];
      QX_ASSERT_AS(kAssertFile, parm >= 0 && parm < nParms, "parmIndex >= 0 && parmIndex < nParms");
      std::int32_t& r = _rank[static_cast<std::size_t>(parm)];
      if (r < 0) r = next++;
      _flags[static_cast<std::size_t>(parm)] = flags[i] & (Constrained | SmoothedConstraint);
      if ((flags[i] & Constrained) == 0) continue;
      _constrainedParms.push_back(r);
      if (soft) {
        QX_ASSERT_AS(kAssertFile, targetSource != nullptr, "targetSource != nullptr");
        _targets[2 * static_cast<std::size_t>(r)] = targetSource[2 * i];
        _targets[2 * static_cast<std::size_t>(r) + 1] = targetSource[2 * i + 1];
      }
    }
  }
  bool identity = true;
  for (int p = 0; p < nParms; ++p) {
    std::int32_t& r = _rank[static_cast<std::size_t>(p)];
    if (r < 0) r = next++;  // a parameter without a lattice point keeps its place among such
    identity = identity && r == p;
  }
  if (identity) {
    releaseRanks();
  } else {
    _order.resize(static_cast<std::size_t>(nParms));
    for (int p = 0; p < nParms; ++p) _order[static_cast<std::size_t>(_rank[static_cast<std::size_t>(p)])] = p;
  }

  if (!soft) return;

  // Fold-over guards: in every leaf cell, every boundary point must stay on
  // the inner side of every boundary edge it is not on the line of. Leaves
  // below the top level count only when their parent is subdivided (the
  // parent's centre is a parameter): a square of a coarse leaf that merely
  // happens to have parameters at two of its corners is no cell at all.
  auto flagAt = [&](int x, int y) { return flags[static_cast<std::ptrdiff_t>(y) * nx + x]; };
  auto parmOf = [&](int x, int y) { return workingIndex(parmIndex[static_cast<std::ptrdiff_t>(y) * nx + x]); };
  struct BoundaryPoint {
    int x, y;
  };
  std::vector<BoundaryPoint> boundary;
  for (int s = step; s >= 1; s /= 2) {
    for (int y = 0; y + s <= ny - 1; y += s) {
      for (int x = 0; x + s <= nx - 1; x += s) {
        if (s > 1 && (flagAt(x + s / 2, y + s / 2) & Interpolate) == 0) continue;  // subdivided
        if (s < step) {
          int const px = x & ~(2 * s - 1), py = y & ~(2 * s - 1);
          if ((flagAt(px + s, py + s) & Interpolate) != 0) continue;  // parent is a leaf
          if ((flagAt(x + s, y + s) & Interpolate) != 0) continue;
        }
        QX_ASSERT_AS(kAssertFile, (flagAt(x, y) & Interpolate) == 0, "(flags[y][x] & Interpolate) == 0");
        boundary.clear();
        static constexpr int kDirX[4] = {1, 0, -1, 0};
        static constexpr int kDirY[4] = {0, 1, 0, -1};
        int tx = x, ty = y;
        for (int dir = 0; dir < 4; ++dir) {
          for (int k = 0; k < s; ++k) {
            tx += kDirX[dir];
            ty += kDirY[dir];
            if ((flagAt(tx, ty) & Interpolate) == 0) boundary.push_back({tx, ty});
          }
        }
        QX_ASSERT_AS(kAssertFile, tx == x && ty == y, "tx == x && ty == y");
        int const m = static_cast<int>(boundary.size());
        for (int i = 0; i < m; ++i) {
          for (int j = 0; j < m; ++j) {
            BoundaryPoint const& pi = boundary[i];
            BoundaryPoint const& pj = boundary[j];
            BoundaryPoint const& pk = boundary[(j + 1) % m];
            int const ex = pk.x - pj.x, ey = pk.y - pj.y;
            if ((pi.x - pj.x) * ey - (pi.y - pj.y) * ex == 0) continue;  // on the edge's line
            _triangles.push_back({parmOf(pi.x, pi.y), parmOf(pj.x, pj.y), parmOf(pk.x, pk.y),
                                  1.0 / static_cast<double>(ex * ex + ey * ey)});
          }
        }
      }
    }
  }
}

MultivariateQuadraticConstraints::~MultivariateQuadraticConstraints() = default;

double MultivariateQuadraticConstraints::computeConstraintEnergy(double const* x) const {
  if (!(_magnetWeight > 0.0)) return 0.0;
  // E_c = w sum |P - target|^2 + sum_{d < dMin} W (d - dMin)^2
  double spring = 0.0;
  for (int p : _constrainedParms) spring += norm2(at(x, p) - at(_targets.data(), p));
  double fold = 0.0;
  for (FoldTriangle const& t : _triangles) {
    V2 const p0 = at(x, t.i0), p1 = at(x, t.i1), p2 = at(x, t.i2);
    double const d = ((p2[0] - p1[0]) * (p0[1] - p1[1]) - (p2[1] - p1[1]) * (p0[0] - p1[0])) * t.scale;
    if (d < _minFoldArea) fold += (d - _minFoldArea) * (d - _minFoldArea);
  }
  return _magnetWeight * spring + _foldWeight * fold;
}

double MultivariateQuadraticConstraints::addConstraintGradient(double const* x, double* g) const {
  if (!(_magnetWeight > 0.0)) return 0.0;
  // The energy comes along, summed exactly as computeConstraintEnergy sums it.
  V2 const w2 = splat(2.0 * _magnetWeight);
  double spring = 0.0;
  for (int p : _constrainedParms) {
    V2 const off = at(x, p) - at(_targets.data(), p);
    spring += norm2(off);
    addAt(g, p, w2 * off);
  }
  double fold = 0.0;
  for (FoldTriangle const& t : _triangles) {
    V2 const p0 = at(x, t.i0), p1 = at(x, t.i1), p2 = at(x, t.i2);
    V2 const e = p2 - p1, r = p0 - p1;
    double const d = (e[0] * r[1] - e[1] * r[0]) * t.scale;
    if (!(d < _minFoldArea)) continue;
    fold += (d - _minFoldArea) * (d - _minFoldArea);
    // d = (e x r) scale: dd/dP0 = scale (-e.y, e.x), dd/dP2 = scale (r.y, -r.x),
    // and dd/dP1 = -(dd/dP0 + dd/dP2) since d does not change under translation.
    V2 const k = splat(2.0 * _foldWeight * (d - _minFoldArea) * t.scale);
    V2 const d0 = k * V2{-e[1], e[0]};
    V2 const d2 = k * V2{r[1], -r[0]};
    addAt(g, t.i0, d0);
    addAt(g, t.i2, d2);
    addAt(g, t.i1, -(d0 + d2));
  }
  return _magnetWeight * spring + _foldWeight * fold;
}

void MultivariateQuadraticConstraints::maskHardConstraints(double* g) const {
  if (_magnetWeight != 0.0) return;
  for (int p : _constrainedParms) store2(g + 2 * static_cast<std::ptrdiff_t>(p), splat(0.0));
}

double MultivariateQuadraticConstraints::evaluateEnergy(double const* w, double* perTerm) const {
  if (perTerm) std::fill(perTerm, perTerm + _nParms, 0.0);
  return computeConstraintEnergy(w);
}

double MultivariateQuadraticConstraints::computeWorkingGradientAndEnergy(double const* w, double* g) const {
  clearPairs(g, _nParms);
  double const e = addConstraintGradient(w, g);
  maskHardConstraints(g);
  return e;
}

double MultivariateQuadraticConstraints::computeWorkingCurvature(double const*, double const*) const { return 0.0; }

void MultivariateQuadraticConstraints::computeWorkingLineQuadratic(double const*, double const*, double& a,
                                                                   double& b, double& c) const {
  a = b = c = 0.0;
}

// The parameter-order operations. Outside the minimisers they run once per
// solve cycle at most (the per-term residuals), so a copy per call is cheap.
double MultivariateQuadraticConstraints::computeEnergy(double const* x, double* perTerm) const {
  if (_order.empty()) return evaluateEnergy(x, perTerm);
  AlignedDoubles const w = allocateAligned(2 * static_cast<std::size_t>(_nParms));
  gatherPairs(_order.data(), _nParms, x, w.get());
  return evaluateEnergy(w.get(), perTerm);
}

void MultivariateQuadraticConstraints::computeGradient(double const* x, double* g) const {
  if (_order.empty()) return computeWorkingGradient(x, g);
  std::size_t const n = 2 * static_cast<std::size_t>(_nParms);
  AlignedDoubles const w = allocateAligned(n), gw = allocateAligned(n);
  gatherPairs(_order.data(), _nParms, x, w.get());
  computeWorkingGradient(w.get(), gw.get());
  scatterPairs(_order.data(), _nParms, gw.get(), g);
}

void MultivariateQuadraticConstraints::computeLineQuadratic(double const* x, double const* d, double& a, double& b,
                                                            double& c) const {
  if (_order.empty()) return computeWorkingLineQuadratic(x, d, a, b, c);
  std::size_t const n = 2 * static_cast<std::size_t>(_nParms);
  AlignedDoubles const w = allocateAligned(n), dw = allocateAligned(n);
  gatherPairs(_order.data(), _nParms, x, w.get());
  gatherPairs(_order.data(), _nParms, d, dw.get());
  computeWorkingLineQuadratic(w.get(), dw.get(), a, b, c);
}

int MultivariateQuadraticConstraints::findWorkingIndex(int p) const {
  if (_order.empty()) return p;
  return static_cast<int>(std::find(_order.begin(), _order.end(), p) - _order.begin());
}

std::vector<FoldTriangle> MultivariateQuadraticConstraints::getTriangles() const {
  std::vector<FoldTriangle> out = _triangles;
  for (FoldTriangle& t : out) t.i0 = parmAt(t.i0), t.i1 = parmAt(t.i1), t.i2 = parmAt(t.i2);
  return out;
}

std::size_t MultivariateQuadraticConstraints::getStorageBytes() const {
  return _targets.capacity() * sizeof(double) + _flags.capacity() +
         (_order.capacity() + _rank.capacity()) * sizeof(std::int32_t) +
         _constrainedParms.capacity() * sizeof(std::int32_t) + _triangles.capacity() * sizeof(FoldTriangle);
}

// ---------------------------------------------------------------------------
// Coefficient tables

namespace {

// A stencil's shape: per direction 0 (no neighbour) or log2(distance) + 1,
// five bits each. The coefficients of both models depend on nothing else
// (plus, for the affine model, which entries are folded into constants).
std::uint32_t shapeKey(Stencil const& st) {
  static constexpr int kDirOfStep[3][3] = {{-1, 3, -1}, {2, -1, 0}, {-1, 1, -1}};  // [dy+1][dx+1]
  std::uint32_t key = 0;
  for (int k = 0; k < st.n; ++k) {
    int const dist = std::abs(st.dx[k]) + std::abs(st.dy[k]);
    int const dir = kDirOfStep[(st.dy[k] > 0) - (st.dy[k] < 0) + 1][(st.dx[k] > 0) - (st.dx[k] < 0) + 1];
    key |= static_cast<std::uint32_t>(__builtin_ctz(static_cast<unsigned>(dist)) + 1) << (5 * dir);
  }
  return key;
}

template <class Set>
int internCoefSet(std::unordered_map<std::uint64_t, int>& index, std::vector<Set>& sets, std::uint64_t key,
                  Set const& set) {
  auto const [it, inserted] = index.try_emplace(key, static_cast<int>(sets.size()));
  if (inserted) sets.push_back(set);
  return it->second;
}

// Rows of lattice points built by one job.
constexpr int kBandRows = 16;

// The terms of one band of lattice rows as they will be kept, with
// coefficient sets numbered within the band in order of first use and
// constant pairs counted from 1 (0 meaning none).
template <class Term, class Set>
struct TermBand {
  std::vector<Term> terms;
  std::vector<Set> sets;
  std::vector<std::uint64_t> keys;
  std::vector<double> constants;
  std::unordered_map<std::uint64_t, int> setIndex;
  int nTerms = 0;

  // The band's number for the set of `key`, made by `make()` on first use.
  template <class Make>
  int setFor(std::uint64_t key, Make const& make) {
    auto const [it, inserted] = setIndex.try_emplace(key, static_cast<int>(sets.size()));
    if (inserted) {
      sets.push_back(make());
      keys.push_back(key);
    }
    return it->second;
  }
};

// Builds an energy's terms in parallel bands of rows: `build(y0, y1, band)`
// fills one band, and the bands are then renumbered into the energy's
// tables in band order, which gives every set and constant pair the number
// one pass in row order would: the same energy on any thread count.
// `constants` (pairs, pair 0 being (0, 0)) is null for terms without any.
template <class Term, class Set, class Build>
int buildInBands(int nx, int ny, std::uint8_t const* flags, int threads, Build const& build, std::vector<Term>& terms,
                 std::vector<Set>& sets, std::vector<double>* constants) {
  int const nBands = (ny + kBandRows - 1) / kBandRows;
  std::vector<TermBand<Term, Set>> bands(static_cast<std::size_t>(nBands));
  auto job = [&](int b) {
    int const y0 = b * kBandRows, y1 = std::min(ny, y0 + kBandRows);
    TermBand<Term, Set>& band = bands[static_cast<std::size_t>(b)];
    // At most one term per parameter: counted first, so the band never
    // grows its storage while building.
    std::size_t points = 0;
    for (std::ptrdiff_t i = static_cast<std::ptrdiff_t>(y0) * nx; i < static_cast<std::ptrdiff_t>(y1) * nx; ++i)
      points += (flags[i] & Interpolate) == 0;
    band.terms.reserve(points);
    build(y0, y1, band);
    band.setIndex = {};
  };
  // Non-owning handle on the current request: parallelFor returns first.
  std::shared_ptr<PxRequest> const request(std::shared_ptr<PxRequest>(), PxRequestMgr::getCurrentRequest());
  PxRequestMgr::getInstance().parallelFor(request, 0, nBands, job, threads);
  int nTerms = 0;
  std::unordered_map<std::uint64_t, int> setIndex;
  std::vector<std::int32_t> globalSet;
  for (TermBand<Term, Set> const& band : bands) {
    nTerms += band.nTerms;
    globalSet.resize(band.sets.size());
    for (std::size_t j = 0; j < band.sets.size(); ++j)
      globalSet[j] = internCoefSet(setIndex, sets, band.keys[j], band.sets[j]);
    // A band's constant pair k (from 1) becomes pair pairsBefore + k - 1.
    std::int32_t const pairsBefore = constants ? static_cast<std::int32_t>(constants->size() / 2) : 0;
    for (Term t : band.terms) {
      t.coefSet = globalSet[static_cast<std::size_t>(t.coefSet)];
      if constexpr (requires { t.constants; })
        if (t.constants != 0) t.constants += pairsBefore - 1;
      terms.push_back(t);
    }
    if (constants) constants->insert(constants->end(), band.constants.begin(), band.constants.end());
  }
  return nTerms;
}

// Puts the plain terms first and the uniform ones at their head, each group
// in lattice row order (the residual loops take each group on its own
// path); gives the counts of both.
template <class Term, class Plain, class Uniform>
void groupTerms(std::vector<Term>& terms, Plain const& plain, Uniform const& uniform, std::ptrdiff_t& nPlain,
                std::ptrdiff_t& nUniform) {
  auto const mid = std::stable_partition(terms.begin(), terms.end(), plain);
  nPlain = mid - terms.begin();
  nUniform = std::stable_partition(terms.begin(), mid, uniform) - terms.begin();
}

}  // namespace

// ---------------------------------------------------------------------------
// Affine ("Skew") model

namespace {

// One point's affine term before it is stored: the term with its indices,
// the coefficient set and its key, and the constants.
struct AffineDraft {
  AffineTerm t;
  MultivariateQuadraticAffine::CoefSet set;
  std::uint64_t key;
  double constX, constY;
  int entries;
};

}  // namespace

MultivariateQuadraticAffine::MultivariateQuadraticAffine(double magnetWeight, int nx, int ny, int step,
                                                         std::uint8_t const* flags, unsigned pass,
                                                         IxReadGuard const& mesh, int nParms,
                                                         std::int32_t const* parmIndex, double const* positions,
                                                         double const* targetSource, int threads)
    : MultivariateQuadraticConstraints(magnetWeight, nx, ny, step, flags, nParms, parmIndex, targetSource) {
  checkMeshCovers(mesh, nx, ny);
  LatticeView const lv{nx, ny, step, flags, parmIndex, nParms, pass, &mesh};
  _terms.reserve(static_cast<std::size_t>(nParms));
  _constants.assign(2, 0.0);
  // A point's draft reads only the lattice and the positions, so bands of
  // rows draft in parallel.
  auto draft = [&](int x, int y, Stencil& st, AffineDraft& d) -> bool {
    int const c = lv.parm(x, y);
    if (!buildStencil(lv, x, y, st)) return false;
    int n = st.n;
    double coef[4] = {0.0, 0.0, 0.0, 0.0};
    int order[4] = {0, 1, 2, 3};  // which stencil entries survive, in order

    if (n == 3) {
      // Three neighbours cannot define an affine fit that treats them
      // alike: keep the two that lie on one line and interpolate along it.
      bool const distinct = st.dx[0] != st.dx[1] && st.dx[0] != st.dx[2] && st.dx[1] != st.dx[2];
      int deleteIndex = 0;
      while (deleteIndex < 3 && (distinct ? st.dx[deleteIndex] : st.dy[deleteIndex]) != 0) ++deleteIndex;
      QX_ASSERT_AS(kAssertFile, deleteIndex < 3, "deleteIndex < 3");
      for (int k = 0, j = 0; k < 3; ++k)
        if (k != deleteIndex) order[j++] = k;
      n = 2;
    }
    if (n == 2) {
      int const k0 = order[0], k1 = order[1];
      int const dx0 = st.dx[k0], dx1 = st.dx[k1], dy0 = st.dy[k0], dy1 = st.dy[k1];
      if (dy0 == dy1) {
        coef[0] = static_cast<double>(dx1) / (dx1 - dx0);
        coef[1] = static_cast<double>(-dx0) / (dx1 - dx0);
      } else if (dx0 == dx1) {
        coef[0] = static_cast<double>(dy1) / (dy1 - dy0);
        coef[1] = static_cast<double>(-dy0) / (dy1 - dy0);
      } else {
        return false;  // two neighbours at a right angle: no prediction
      }
    } else if (n == 4) {
      // Least-squares affine fit P(d) = A d + t of the four neighbour
      // offsets, evaluated at d = 0: c_k are the weights of t.
      double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
      for (int k = 0; k < 4; ++k) {
        sx += st.dx[k];
        sy += st.dy[k];
        sxx += st.dx[k] * st.dx[k];
        syy += st.dy[k] * st.dy[k];
        sxy += st.dx[k] * st.dy[k];
      }
      double const nn = 4.0;
      double const denom = (2.0 * sxy * sy - syy * sx) * sx + (nn * syy - sy * sy) * sxx - nn * sxy * sxy;
      QX_ASSERT_AS(kAssertFile, denom != 0.0, "denom != 0.0");
      for (int k = 0; k < 4; ++k)
        coef[k] = ((sx * st.dy[k] - sxy + sy * st.dx[k]) * sxy + (sxx - st.dx[k] * sx) * syy -
                   st.dy[k] * sy * sxx) /
                  denom;
    } else {
      return false;  // 0 or 1 neighbour
    }

    // Pack the entries: zero weights dropped, constrained neighbours (and
    // a constrained centre) folded into the constants, as they do not move
    // in this cycle's terms.
    AffineTerm t{};
    t.centre = workingIndex(c);
    CoefSet set{};
    std::uint64_t key = shapeKey(st);
    double constX = 0.0, constY = 0.0;
    int entries = 0;
    for (int j = 0; j < n; ++j) {
      if (coef[j] == 0.0) continue;
      int const k = order[j];
      int const ind = st.inds[k];
      if (st.constrained[k]) {
        constX += coef[j] * positions[2 * static_cast<std::ptrdiff_t>(ind)];
        constY += coef[j] * positions[2 * static_cast<std::ptrdiff_t>(ind) + 1];
        key |= std::uint64_t(1) << (20 + k);
      } else {
        t.inds[entries] = workingIndex(ind);
        set.c[entries][0] = set.c[entries][1] = coef[j];
        ++entries;
      }
    }
    if ((lv.flag(x, y) & Constrained) == 0) {
      t.inds[entries] = t.centre;
      set.c[entries][0] = set.c[entries][1] = -1.0;
      ++entries;
    } else {
      constX -= positions[2 * static_cast<std::ptrdiff_t>(c)];
      constY -= positions[2 * static_cast<std::ptrdiff_t>(c) + 1];
      key |= std::uint64_t(1) << 24;
    }
    set.n = entries;
    for (int k = entries; k < 5; ++k) t.inds[k] = t.centre;
    d.t = t;
    d.set = set;
    d.key = key;
    d.constX = constX;
    d.constY = constY;
    d.entries = entries;
    return true;
  };
  auto const buildBand = [&](int y0, int y1, TermBand<AffineTerm, CoefSet>& band) {
    Stencil st;
    AffineDraft d;
    for (int y = y0; y < y1; ++y) {
      for (int x = 0; x < nx; ++x) {
        if ((lv.flag(x, y) & Interpolate) != 0 || !draft(x, y, st, d)) continue;
        if (d.entries >= 1) ++band.nTerms;
        if (d.entries == 0 && d.constX == 0.0 && d.constY == 0.0) continue;
        AffineTerm t = d.t;
        t.coefSet = band.setFor(d.key, [&] { return d.set; });
        t.constants = 0;
        if (d.constX != 0.0 || d.constY != 0.0) {
          band.constants.push_back(d.constX);
          band.constants.push_back(d.constY);
          t.constants = static_cast<std::int32_t>(band.constants.size() / 2);
        }
        band.terms.push_back(t);
      }
    }
  };
  _nTerms += buildInBands(nx, ny, flags, threads, buildBand, _terms, _coefSets, &_constants);
  auto const plain = [this](AffineTerm const& t) {
    CoefSet const& s = _coefSets[static_cast<std::size_t>(t.coefSet)];
    return t.constants == 0 && s.n == 5 && s.c[4][0] == -1.0 && t.inds[4] == t.centre;
  };
  auto const uniform = [this](AffineTerm const& t) {
    CoefSet const& s = _coefSets[static_cast<std::size_t>(t.coefSet)];
    return s.c[1][0] == s.c[0][0] && s.c[2][0] == s.c[0][0] && s.c[3][0] == s.c[0][0];
  };
  groupTerms(_terms, plain, uniform, _nPlainTerms, _nUniformTerms);
  releaseRanks();
}

MultivariateQuadraticAffine::~MultivariateQuadraticAffine() = default;

std::size_t MultivariateQuadraticAffine::getStorageBytes() const {
  return MultivariateQuadraticConstraints::getStorageBytes() + _terms.capacity() * sizeof(AffineTerm) +
         _coefSets.capacity() * sizeof(CoefSet) + _constants.capacity() * sizeof(double);
}

namespace {

using AffineSet = MultivariateQuadraticAffine::CoefSet;

// R = constants + sum_k c_k P(inds[k]). Plain terms (no constants, four
// neighbours and the free centre with weight -1: most of a lattice) skip
// the constants and the centre's multiplication; uniform ones (the four
// weights equal, as for a symmetric stencil) also share one multiplication
// among the four neighbours.
template <Path kPath>
inline V2 affineResidual(AffineTerm const& t, AffineSet const& s, double const* constants, double const* x) {
  if constexpr (kPath == Path::Uniform) {
    V2 const sum = (at(x, t.inds[0]) + at(x, t.inds[1])) + (at(x, t.inds[2]) + at(x, t.inds[3]));
    return load2(s.c[0]) * sum - at(x, t.inds[4]);
  } else if constexpr (kPath == Path::Plain) {
    V2 r = -at(x, t.inds[4]);
    for (int k = 0; k < 4; ++k) r += load2(s.c[k]) * at(x, t.inds[k]);
    return r;
  } else {
    V2 r = at(constants, t.constants);
    for (int k = 0; k < 5; ++k) r += load2(s.c[k]) * at(x, t.inds[k]);
    return r;
  }
}

// The linear part of R applied to a direction (R itself for terms without
// constants).
template <Path kPath>
inline V2 affineLinear(AffineTerm const& t, AffineSet const& s, double const* d) {
  if constexpr (kPath != Path::General) {
    return affineResidual<kPath>(t, s, nullptr, d);
  } else {
    V2 r = splat(0.0);
    for (int k = 0; k < 5; ++k) r += load2(s.c[k]) * at(d, t.inds[k]);
    return r;
  }
}

template <Path kPath, bool kPerTerm>
void addAffineEnergy(AffineTerm const* begin, AffineTerm const* end, AffineSet const* sets, double const* constants,
                     double const* x, std::int32_t const* order, double* perTerm, V2& acc) {
  for (AffineTerm const* t = begin; t != end; ++t) {
    V2 const r = affineResidual<kPath>(*t, sets[t->coefSet], constants, x);
    acc += r * r;
    if constexpr (kPerTerm) perTerm[order ? order[t->centre] : t->centre] = norm2(r);
  }
}

// d|R|^2 / dP(ind_k) = 2 c_k R. The term and its weights are read into
// locals before the scatter: the stores into g could otherwise alias them,
// and every index and weight would be read again after each store.
template <Path kPath>
void addAffineGradient(AffineTerm const* begin, AffineTerm const* end, AffineSet const* sets,
                       double const* constants, double const* x, double* g, V2& acc) {
  for (AffineTerm const* t = begin; t != end; ++t) {
    AffineTerm const term = *t;
    AffineSet const& s = sets[term.coefSet];
    V2 c[5];
    for (int k = 0; k < 5; ++k) c[k] = load2(s.c[k]);
    V2 const r = affineResidual<kPath>(term, s, constants, x);
    acc += r * r;
    V2 const r2 = splat(2.0) * r;
    if constexpr (kPath == Path::Uniform) {
      V2 const q = c[0] * r2;
      for (int k = 0; k < 4; ++k) addAt(g, term.inds[k], q);
    } else {
      for (int k = 0; k < 4; ++k) addAt(g, term.inds[k], c[k] * r2);
    }
    addAt(g, term.inds[4], kPath != Path::General ? -r2 : c[4] * r2);
  }
}

// sum |S|^2: the line quadratic's curvature alone, accumulated as
// addAffineLine accumulates it.
template <Path kPath>
void addAffineCurvature(AffineTerm const* begin, AffineTerm const* end, AffineSet const* sets, double const* d,
                        V2& sa) {
  for (AffineTerm const* t = begin; t != end; ++t) {
    V2 const l = affineLinear<kPath>(*t, sets[t->coefSet], d);
    sa += l * l;
  }
}

// E(x + t d) = sum |R + t S|^2 = t^2 sum|S|^2 + t 2 sum R.S + sum|R|^2
template <Path kPath>
void addAffineLine(AffineTerm const* begin, AffineTerm const* end, AffineSet const* sets, double const* constants,
                   double const* x, double const* d, V2& sa, V2& sb, V2& sc) {
  for (AffineTerm const* t = begin; t != end; ++t) {
    AffineSet const& s = sets[t->coefSet];
    V2 const r = affineResidual<kPath>(*t, s, constants, x);
    V2 const l = affineLinear<kPath>(*t, s, d);
    sa += l * l;
    sb += r * l;
    sc += r * r;
  }
}

}  // namespace

double MultivariateQuadraticAffine::evaluateEnergy(double const* x, double* perTerm) const {
  double const ec = MultivariateQuadraticConstraints::evaluateEnergy(x, perTerm);
  std::int32_t const* order = getWorkingOrder();
  AffineSet const* sets = _coefSets.data();
  double const* constants = _constants.data();
  AffineTerm const* const begin = _terms.data();
  AffineTerm const* const uni = begin + _nUniformTerms;
  AffineTerm const* const mid = begin + _nPlainTerms;
  AffineTerm const* const end = begin + _terms.size();
  V2 acc = splat(0.0);
  if (perTerm) {
    addAffineEnergy<Path::Uniform, true>(begin, uni, sets, constants, x, order, perTerm, acc);
    addAffineEnergy<Path::Plain, true>(uni, mid, sets, constants, x, order, perTerm, acc);
    addAffineEnergy<Path::General, true>(mid, end, sets, constants, x, order, perTerm, acc);
  } else {
    addAffineEnergy<Path::Uniform, false>(begin, uni, sets, constants, x, order, nullptr, acc);
    addAffineEnergy<Path::Plain, false>(uni, mid, sets, constants, x, order, nullptr, acc);
    addAffineEnergy<Path::General, false>(mid, end, sets, constants, x, order, nullptr, acc);
  }
  return ec + lanes(acc);
}

// The energy is summed in the order evaluateEnergy sums it, so both agree
// to the last bit.
double MultivariateQuadraticAffine::computeWorkingGradientAndEnergy(double const* x, double* g) const {
  clearPairs(g, _nParms);
  double const ec = addConstraintGradient(x, g);
  AffineSet const* sets = _coefSets.data();
  double const* constants = _constants.data();
  AffineTerm const* const begin = _terms.data();
  AffineTerm const* const uni = begin + _nUniformTerms;
  AffineTerm const* const mid = begin + _nPlainTerms;
  V2 acc = splat(0.0);
  addAffineGradient<Path::Uniform>(begin, uni, sets, constants, x, g, acc);
  addAffineGradient<Path::Plain>(uni, mid, sets, constants, x, g, acc);
  addAffineGradient<Path::General>(mid, begin + _terms.size(), sets, constants, x, g, acc);
  maskHardConstraints(g);
  return ec + lanes(acc);
}

double MultivariateQuadraticAffine::computeWorkingCurvature(double const*, double const* d) const {
  QX_ASSERT_AS(kAssertFile, _magnetWeight == 0.0, "_magnetWeight == 0.0");
  AffineSet const* sets = _coefSets.data();
  AffineTerm const* const begin = _terms.data();
  AffineTerm const* const uni = begin + _nUniformTerms;
  AffineTerm const* const mid = begin + _nPlainTerms;
  V2 sa = splat(0.0);
  addAffineCurvature<Path::Uniform>(begin, uni, sets, d, sa);
  addAffineCurvature<Path::Plain>(uni, mid, sets, d, sa);
  addAffineCurvature<Path::General>(mid, begin + _terms.size(), sets, d, sa);
  return lanes(sa);
}

void MultivariateQuadraticAffine::computeWorkingLineQuadratic(double const* x, double const* d, double& a,
                                                              double& b, double& c) const {
  QX_ASSERT_AS(kAssertFile, _magnetWeight == 0.0, "_magnetWeight == 0.0");
  AffineSet const* sets = _coefSets.data();
  double const* constants = _constants.data();
  AffineTerm const* const begin = _terms.data();
  AffineTerm const* const uni = begin + _nUniformTerms;
  AffineTerm const* const mid = begin + _nPlainTerms;
  V2 sa = splat(0.0), sb = splat(0.0), sc = splat(0.0);
  addAffineLine<Path::Uniform>(begin, uni, sets, constants, x, d, sa, sb, sc);
  addAffineLine<Path::Plain>(uni, mid, sets, constants, x, d, sa, sb, sc);
  addAffineLine<Path::General>(mid, begin + _terms.size(), sets, constants, x, d, sa, sb, sc);
  a = lanes(sa);
  b = 2.0 * lanes(sb);
  c = lanes(sc);
}

std::optional<AffineTermView> MultivariateQuadraticAffine::findTerm(int p) const {
  int const w = findWorkingIndex(p);
  for (AffineTerm const& t : _terms) {
    if (t.centre != w) continue;
    CoefSet const& s = _coefSets[static_cast<std::size_t>(t.coefSet)];
    AffineTermView v{};
    v.n = s.n;
    for (int k = 0; k < 5; ++k) v.inds[k] = parmAt(t.inds[k]), v.coefs[k] = s.c[k][0];
    v.constX = _constants[2 * static_cast<std::size_t>(t.constants)];
    v.constY = _constants[2 * static_cast<std::size_t>(t.constants) + 1];
    return v;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Similarity ("Rigid") model

MultivariateQuadraticSimilarity::MultivariateQuadraticSimilarity(double magnetWeight, int nx, int ny, int step,
                                                                 std::uint8_t const* flags, unsigned pass,
                                                                 IxReadGuard const& mesh, int nParms,
                                                                 std::int32_t const* parmIndex,
                                                                 double const* targetSource, int threads)
    : MultivariateQuadraticConstraints(magnetWeight, nx, ny, step, flags, nParms, parmIndex, targetSource) {
  checkMeshCovers(mesh, nx, ny);
  LatticeView const lv{nx, ny, step, flags, parmIndex, nParms, pass, &mesh};
  _terms.reserve(static_cast<std::size_t>(nParms));
  // A set depends only on the stencil's shape, which its key names, so it
  // is fitted once per shape.
  auto const buildBand = [&](int y0, int y1, TermBand<SimilarityTerm, CoefSet>& band) {
    Stencil st;
    for (int y = y0; y < y1; ++y) {
      for (int x = 0; x < nx; ++x) {
        if (lv.flag(x, y) & Interpolate) continue;
        if (!buildStencil(lv, x, y, st)) continue;
        int const n = st.n;
        if (n < 2) continue;
        ++band.nTerms;
        SimilarityTerm t{};
        t.centre = workingIndex(lv.parm(x, y));
        for (int k = 0; k < 4; ++k) t.inds[k] = k < n ? workingIndex(st.inds[k]) : t.centre;
        t.coefSet = band.setFor(shapeKey(st), [&] {
          // Least-squares similarity fit (rotation, uniform scale,
          // translation) of the neighbour offsets onto the neighbour
          // positions, evaluated at the centre's offset 0; a_k, b_k are its
          // weights.
          double sx = 0, sy = 0, sxx = 0, syy = 0;
          for (int k = 0; k < n; ++k) {
            sx += st.dx[k];
            sy += st.dy[k];
            sxx += st.dx[k] * st.dx[k];
            syy += st.dy[k] * st.dy[k];
          }
          double const denom = n * (sxx + syy) - sx * sx - sy * sy;
          QX_ASSERT_AS(kAssertFile, denom != 0.0, "denom != 0.0");
          CoefSet set{};
          set.n = n;
          for (int k = 0; k < n; ++k) {
            set.a[k][0] = set.a[k][1] = (sxx + syy - sx * st.dx[k] - sy * st.dy[k]) / denom;
            set.b[k][0] = set.b[k][1] = (sy * st.dx[k] - sx * st.dy[k]) / denom;
          }
          return set;
        });
        band.terms.push_back(t);
      }
    }
  };
  _nTerms += buildInBands(nx, ny, flags, threads, buildBand, _terms, _coefSets, nullptr);
  auto const plain = [this](SimilarityTerm const& t) {
    CoefSet const& s = _coefSets[static_cast<std::size_t>(t.coefSet)];
    for (int k = 0; k < 4; ++k)
      if (s.b[k][0] != 0.0) return false;
    return true;
  };
  auto const uniform = [this](SimilarityTerm const& t) {
    CoefSet const& s = _coefSets[static_cast<std::size_t>(t.coefSet)];
    return s.n == 4 && s.a[1][0] == s.a[0][0] && s.a[2][0] == s.a[0][0] && s.a[3][0] == s.a[0][0];
  };
  groupTerms(_terms, plain, uniform, _nPlainTerms, _nUniformTerms);
  releaseRanks();
}

MultivariateQuadraticSimilarity::~MultivariateQuadraticSimilarity() = default;

std::size_t MultivariateQuadraticSimilarity::getStorageBytes() const {
  return MultivariateQuadraticConstraints::getStorageBytes() + _terms.capacity() * sizeof(SimilarityTerm) +
         _coefSets.capacity() * sizeof(CoefSet);
}

namespace {

using SimilaritySet = MultivariateQuadraticSimilarity::CoefSet;

// R = -P(c) + A + perp(B) with A = sum a_k P_k, B = sum b_k P_k and
// perp(x, y) = (y, -x): the rotation part is linear, so it is applied once
// to the weighted sum rather than to every neighbour. Plain terms (every
// b_k = 0: the symmetric stencils that fill most of a lattice) skip it;
// uniform ones (four equal a_k) take one multiplication for all four.
template <Path kPath>
inline V2 similarityLinear(SimilarityTerm const& t, SimilaritySet const& s, double const* x) {
  if constexpr (kPath == Path::Uniform) {
    V2 const sum = (at(x, t.inds[0]) + at(x, t.inds[1])) + (at(x, t.inds[2]) + at(x, t.inds[3]));
    return load2(s.a[0]) * sum - at(x, t.centre);
  }
  V2 sumA = -at(x, t.centre), sumB = splat(0.0);
  for (int k = 0; k < 4; ++k) {
    V2 const p = at(x, t.inds[k]);
    sumA += load2(s.a[k]) * p;
    if constexpr (kPath == Path::General) sumB += load2(s.b[k]) * p;
  }
  if constexpr (kPath != Path::General) return sumA;
  return sumA + perp(sumB);
}

template <Path kPath, bool kPerTerm>
void addSimilarityEnergy(SimilarityTerm const* begin, SimilarityTerm const* end, SimilaritySet const* sets,
                         int nParms, double const* x, std::int32_t const* order, double* perTerm, V2& acc) {
  for (SimilarityTerm const* t = begin; t != end; ++t) {
    for (int k = 0; k < 4; ++k) {
      int const ind = t->inds[k];
      if (__builtin_expect(ind < 0 || ind >= nParms, 0)) {
        QX_ASSERT_AS(kAssertFile, ind >= 0, "ind >= 0");
        QX_ASSERT_AS(kAssertFile, ind < nParms, "ind < _nParms");
      }
    }
    V2 const r = similarityLinear<kPath>(*t, sets[t->coefSet], x);
    acc += r * r;
    if constexpr (kPerTerm) perTerm[order ? order[t->centre] : t->centre] = norm2(r);
  }
}

// dR/dP(c) = -I; d(R.R)/dP_k = 2 (a_k R + b_k (-R.y, R.x)). The term and
// its weights are read into locals before the scatter, which could
// otherwise alias them.
template <Path kPath>
void addSimilarityGradient(SimilarityTerm const* begin, SimilarityTerm const* end, SimilaritySet const* sets,
                           double const* x, double* g, V2& acc) {
  for (SimilarityTerm const* t = begin; t != end; ++t) {
    SimilarityTerm const term = *t;
    SimilaritySet const& s = sets[term.coefSet];
    V2 a[4], b[4];
    for (int k = 0; k < 4; ++k) {
      a[k] = load2(s.a[k]);
      if constexpr (kPath == Path::General) b[k] = load2(s.b[k]);
    }
    V2 const r = similarityLinear<kPath>(term, s, x);
    acc += r * r;
    V2 const r2 = splat(2.0) * r;
    V2 const r2perp = V2{-r2[1], r2[0]};
    addAt(g, term.centre, -r2);
    if constexpr (kPath == Path::Uniform) {
      V2 const q = a[0] * r2;
      for (int k = 0; k < 4; ++k) addAt(g, term.inds[k], q);
    } else {
      for (int k = 0; k < 4; ++k) {
        if constexpr (kPath == Path::Plain)
          addAt(g, term.inds[k], a[k] * r2);
        else
          addAt(g, term.inds[k], a[k] * r2 + b[k] * r2perp);
      }
    }
  }
}

// sum |S|^2: the line quadratic's curvature alone, accumulated as
// addSimilarityLine accumulates it.
template <Path kPath>
void addSimilarityCurvature(SimilarityTerm const* begin, SimilarityTerm const* end, SimilaritySet const* sets,
                            double const* d, V2& sa) {
  for (SimilarityTerm const* t = begin; t != end; ++t) {
    V2 const l = similarityLinear<kPath>(*t, sets[t->coefSet], d);
    sa += l * l;
  }
}

// Accumulates sum |S|^2, sum R.S and sum |R|^2; the residual has no
// constant part, so S is the residual applied to d.
template <Path kPath>
void addSimilarityLine(SimilarityTerm const* begin, SimilarityTerm const* end, SimilaritySet const* sets,
                       double const* x, double const* d, V2& sa, V2& sb, V2& sc) {
  for (SimilarityTerm const* t = begin; t != end; ++t) {
    SimilaritySet const& s = sets[t->coefSet];
    V2 const r = similarityLinear<kPath>(*t, s, x);
    V2 const l = similarityLinear<kPath>(*t, s, d);
    sa += l * l;
    sb += r * l;
    sc += r * r;
  }
}

}  // namespace

double MultivariateQuadraticSimilarity::evaluateEnergy(double const* x, double* perTerm) const {
  double const ec = MultivariateQuadraticConstraints::evaluateEnergy(x, perTerm);
  std::int32_t const* order = getWorkingOrder();
  SimilaritySet const* sets = _coefSets.data();
  SimilarityTerm const* const begin = _terms.data();
  SimilarityTerm const* const uni = begin + _nUniformTerms;
  SimilarityTerm const* const mid = begin + _nPlainTerms;
  SimilarityTerm const* const end = begin + _terms.size();
  V2 acc = splat(0.0);
  if (perTerm) {
    addSimilarityEnergy<Path::Uniform, true>(begin, uni, sets, _nParms, x, order, perTerm, acc);
    addSimilarityEnergy<Path::Plain, true>(uni, mid, sets, _nParms, x, order, perTerm, acc);
    addSimilarityEnergy<Path::General, true>(mid, end, sets, _nParms, x, order, perTerm, acc);
  } else {
    addSimilarityEnergy<Path::Uniform, false>(begin, uni, sets, _nParms, x, order, nullptr, acc);
    addSimilarityEnergy<Path::Plain, false>(uni, mid, sets, _nParms, x, order, nullptr, acc);
    addSimilarityEnergy<Path::General, false>(mid, end, sets, _nParms, x, order, nullptr, acc);
  }
  return ec + lanes(acc);
}

// The energy is summed in the order evaluateEnergy sums it, so both agree
// to the last bit.
double MultivariateQuadraticSimilarity::computeWorkingGradientAndEnergy(double const* x, double* g) const {
  clearPairs(g, _nParms);
  double const ec = addConstraintGradient(x, g);
  SimilaritySet const* sets = _coefSets.data();
  SimilarityTerm const* const begin = _terms.data();
  SimilarityTerm const* const uni = begin + _nUniformTerms;
  SimilarityTerm const* const mid = begin + _nPlainTerms;
  V2 acc = splat(0.0);
  addSimilarityGradient<Path::Uniform>(begin, uni, sets, x, g, acc);
  addSimilarityGradient<Path::Plain>(uni, mid, sets, x, g, acc);
  addSimilarityGradient<Path::General>(mid, begin + _terms.size(), sets, x, g, acc);
  maskHardConstraints(g);
  return ec + lanes(acc);
}

double MultivariateQuadraticSimilarity::computeWorkingCurvature(double const*, double const* d) const {
  QX_ASSERT_AS(kAssertFile, _magnetWeight == 0.0, "_magnetWeight == 0.0");
  SimilaritySet const* sets = _coefSets.data();
  SimilarityTerm const* const begin = _terms.data();
  SimilarityTerm const* const uni = begin + _nUniformTerms;
  SimilarityTerm const* const mid = begin + _nPlainTerms;
  V2 sa = splat(0.0);
  addSimilarityCurvature<Path::Uniform>(begin, uni, sets, d, sa);
  addSimilarityCurvature<Path::Plain>(uni, mid, sets, d, sa);
  addSimilarityCurvature<Path::General>(mid, begin + _terms.size(), sets, d, sa);
  return lanes(sa);
}

void MultivariateQuadraticSimilarity::computeWorkingLineQuadratic(double const* x, double const* d, double& a,
                                                                  double& b, double& c) const {
  QX_ASSERT_AS(kAssertFile, _magnetWeight == 0.0, "_magnetWeight == 0.0");
  SimilaritySet const* sets = _coefSets.data();
  SimilarityTerm const* const begin = _terms.data();
  SimilarityTerm const* const uni = begin + _nUniformTerms;
  SimilarityTerm const* const mid = begin + _nPlainTerms;
  V2 sa = splat(0.0), sb = splat(0.0), sc = splat(0.0);
  addSimilarityLine<Path::Uniform>(begin, uni, sets, x, d, sa, sb, sc);
  addSimilarityLine<Path::Plain>(uni, mid, sets, x, d, sa, sb, sc);
  addSimilarityLine<Path::General>(mid, begin + _terms.size(), sets, x, d, sa, sb, sc);
  a = lanes(sa);
  b = 2.0 * lanes(sb);
  c = lanes(sc);
}

std::optional<SimilarityTermView> MultivariateQuadraticSimilarity::findTerm(int p) const {
  int const w = findWorkingIndex(p);
  for (SimilarityTerm const& t : _terms) {
    if (t.centre != w) continue;
    CoefSet const& s = _coefSets[static_cast<std::size_t>(t.coefSet)];
    SimilarityTermView v{};
    v.n = s.n;
    for (int k = 0; k < 4; ++k) v.inds[k] = parmAt(t.inds[k]), v.a[k] = s.a[k][0], v.b[k] = s.b[k][0];
    return v;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Minimisers

namespace {

// The positions in the energy's working order for the length of one
// minimisation: a copy when the orders differ, written back on every exit,
// an interruption included, so that the caller's array holds the last
// iterate either way.
class WorkingPositions {
 public:
  WorkingPositions(MultivariateQuadraticBase const& e, double* x)
      : _order(e.getWorkingOrder()), _nParms(e.getNParms()), _x(x) {
    if (!_order) return;
    _copy = allocateAligned(2 * static_cast<std::size_t>(_nParms));
    gatherPairs(_order, _nParms, x, _copy.get());
  }
  ~WorkingPositions() {
    if (_order) scatterPairs(_order, _nParms, _copy.get(), _x);
  }
  WorkingPositions(WorkingPositions const&) = delete;
  WorkingPositions& operator=(WorkingPositions const&) = delete;

  double* get() const { return _order ? _copy.get() : _x; }

 private:
  std::int32_t const* _order;
  int _nParms;
  double* _x;
  AlignedDoubles _copy;
};

}  // namespace

int minimiseQuadratic(MultivariateQuadraticBase const& e, double* xParms, int maxIter, double tolX, double tolE,
                      bool& converged) {
  converged = false;
  if (maxIter <= 0) return 0;
  WorkingPositions const working(e, xParms);
  double* const x = working.get();
  int const nParms = e.getNParms();
  int const n = 2 * nParms;
  ConjugateGradient cg(n);
  AlignedDoubles const g = allocateAligned(static_cast<std::size_t>(n));
  double prevE = DBL_MAX;
  double maxStep = 0.0;

  for (int k = 1; k <= maxIter; ++k) {
    // E(x + t d) = a t^2 + b t + c: c = E(x) comes with the gradient,
    // b = g . d (the directional derivative) with the direction, and only
    // a = sum |S|^2 takes a sweep of its own.
    double const c = e.computeWorkingGradientAndEnergy(x, g.get());
    double const* d = cg.getDirection(g.get());
    double const b = cg.getLastSlope();
    double const a = e.computeWorkingCurvature(x, d);
    QX_ASSERT_AS(kAssertFile, c >= -1.0e-8, "c >= -1.0e-8");
    QX_ASSERT_AS(kAssertFile, a >= -1.0e-8, "a >= -1.0e-8");

    double energy;
    if (a == 0.0) {
      energy = prevE;  // flat along d: nothing to gain, the step size stays
    } else {
      // The exact minimiser of a t^2 + b t + c.
      double const t = -b / (2.0 * a);
      V2 const tv = splat(t);
      V2 m = splat(0.0);
      for (int p = 0; p < nParms; ++p) {
        V2 const step = tv * at(d, p);
        store2(x + 2 * static_cast<std::ptrdiff_t>(p), at(x, p) + step);
        V2 const absStep = V2{std::fabs(step[0]), std::fabs(step[1])};
        m = absStep > m ? absStep : m;
      }
      maxStep = std::max(m[0], m[1]);
      energy = ((a * t + b) * t + c) / n;  // energy per coordinate after the step
    }
    // Converged when the step is negligible or the energy stopped falling
    // (relatively, once the energy is above 1).
    if (tolX >= maxStep || tolE > std::fabs(energy - prevE) / std::max(energy, 1.0)) {
      converged = true;
      return k;
    }
    prevE = energy;
    PxRequestMgr::getInstance().checkInterruption();
  }
  return maxIter;
}

int minimiseByStepSearch(MultivariateQuadraticBase const& e, double* xParms, int maxIter, double tolX, double tolE,
                         bool& converged, StepSearchWork* work) {
  converged = false;
  if (maxIter <= 0) return 0;
  WorkingPositions const working(e, xParms);
  double* const x = working.get();
  int const nParms = e.getNParms();
  int const n = 2 * nParms;
  ConjugateGradient cg(n);
  // g holds the gradient, then (once u is known) the trial positions.
  AlignedDoubles const g = allocateAligned(static_cast<std::size_t>(n));
  AlignedDoubles const u = allocateAligned(static_cast<std::size_t>(n));
  double prevE = 1e300;
  double tPrev = 1.0;
  std::int64_t sweeps = 0;
  auto exhausted = [&] { return work && sweeps >= work->limit; };

  auto energyAt = [&](double trial) {
    V2 const tv = splat(trial);
    for (int p = 0; p < nParms; ++p) store2(g.get() + 2 * static_cast<std::ptrdiff_t>(p), at(x, p) + tv * at(u.get(), p));
    ++sweeps;
    return e.computeWorkingEnergy(g.get());
  };

  int k = 1;
  for (; k <= maxIter; ++k) {
    double eBest = e.computeWorkingGradientAndEnergy(x, g.get());
    ++sweeps;
    cg.getUnitDirection(g.get(), true, u.get());

    // Walk along u: two successive gains double the step, a loss reverses
    // and halves it, until the step is below tolX. The previous iteration's
    // step is the first guess.
    double s = std::fabs(tPrev);
    double t = 0.0;
    int count = 0;
    if (s >= tolX) {
      while (!exhausted()) {
        double const trial = t + s;
        double const energy = energyAt(trial);
        if (energy < eBest) {
          eBest = energy;
          t = trial;
          ++count;
          if (count != 2) continue;
          s = 2.0 * s;
        } else {
          s = -0.5 * s;
        }
        // The last two guard a non-positive tolX or a runaway step.
        if (std::fabs(s) < tolX || s == 0.0 || !std::isfinite(s)) break;
        count = 0;
      }
    }

    double maxStep = 0.0;
    if (t != 0.0) {
      V2 const tv = splat(t);
      V2 m = splat(0.0);
      for (int p = 0; p < nParms; ++p) {
        V2 const step = tv * at(u.get(), p);
        store2(x + 2 * static_cast<std::ptrdiff_t>(p), at(x, p) + step);
        V2 const absStep = V2{std::fabs(step[0]), std::fabs(step[1])};
        m = absStep > m ? absStep : m;
      }
      maxStep = std::max(m[0], m[1]);
    }
    tPrev = t;
    if (exhausted()) break;
    if (tolX >= maxStep || tolE > std::fabs(eBest - prevE) / std::max(eBest, 1.0)) {
      converged = true;
      --k;
      break;
    }
    prevE = eBest;
    PxRequestMgr::getInstance().checkInterruption();
  }
  if (work) work->used = sweeps;
  return std::min(k, maxIter);
}

}  // namespace Qx::Warper2D::gridsolver
