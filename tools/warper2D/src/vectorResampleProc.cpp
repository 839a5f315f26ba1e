// Vector resampling: the direct path (mesh as a lookup table), the scatter
// path (moved mesh triangles scan converted into the destination), and the
// ring-by-ring least-squares extrapolation both use outside the mesh.
#include "vectorResampleProc.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>

#include "base/assertions.h"
#include "pluginAPI/pxRequestMgr.h"
#include "primitives/coRgbaColor.h"
#include "primitives/ipSet.h"
#include "primitives/ixPixelFormat.h"

namespace Qx::Warper2D {

namespace {

// A blend amount that is not finite, or that no float can hold, makes no
// usable warp: it counts as 0, so the pixels it governs stay where they are
// instead of turning every vector into NaN.
double usableAmount(double amount) { return std::isfinite(static_cast<float>(amount)) ? amount : 0.0; }


using RingValue = VectorResampleProc::RingValue;
using ScatterVertex = VectorResampleProc::ScatterVertex;
using BoundaryExtrapolator = VectorResampleProc::BoundaryExtrapolator;

// Below this position amount the mesh points do not move and the direct path
// is used.
constexpr double kMinPositionAmount = 0.0001;

// A scatter vertex further out than this is drawn at its own grid point: it
// would only matter for triangles far off any frame, and keeping vertices
// bounded keeps every edge difference finite in single precision.
constexpr float kMaxVertexCoordinate = 1.0e9f;

// Ten rings in a row that reach no new pixel end the scatter's ring pass:
// the moved rings are then heading away from (or collapsing short of) the
// pixels still unwritten.
constexpr int kMaxIdleRings = 10;

// The ring pass also ends after this many rings per pixel of the
// destination's width plus height (and the idle rings it may take to reach
// the destination). Rings that keep reaching a new pixel now and then are
// not idle, yet they may creep outward by a small fraction of a pixel per
// ring (a mesh that shrinks the image tenfold, drawn inverted: a 1024 x 1024
// destination took some ten thousand rings). Two rings per pixel let rings
// that advance half a pixel each cross the whole destination; pixels further
// out keep (0, 0, 0), as those no ring reaches do. The pass then draws at
// most 2 (W + H) + 10 rings, each of its own perimeter in cells.
constexpr int kRingsPerDestinationPixel = 2;

bool isUsable(float v) { return std::fabs(v) <= VectorResampleProc::kMaxUsableCoordinate; }

// The direct path's blend p + (m - p) t in single precision. A huge but
// finite amount can carry it past the float range: the result is then held
// at the largest float, the nearest finite value to the exact one, so that
// finite input never gives an infinite vector.
inline float blendDirect(float p, float m, float t) {
  float const v = p + (m - p) * t;
  return v < -FLT_MAX ? -FLT_MAX : v > FLT_MAX ? FLT_MAX : v;
}

bool isRgbFloat(IxPixelFormat const& format) {
  return format.getComps() == IxPixelFormat::RGB && format.getDepth() == IxPixelFormat::FLOAT32;
}

// Mesh position of pixel (x, y) from its R, G; an unusable one reads as the
// grid point itself.
RingValue readMeshValue(float const* pixel, int x, int y) {
  float const mx = pixel[0];
  float const my = pixel[1];
  if (isUsable(mx) & isUsable(my)) return {mx, my};
  return {static_cast<float>(x), static_cast<float>(y)};
}

// ceil for a float known to lie well inside the int range: truncation, then
// up by one where it truncated downward. Cheaper than std::ceil without
// SSE4.1 and exact.
inline int ceilToInt(float v) {
  int const i = static_cast<int>(v);
  return i + (static_cast<float>(i) < v ? 1 : 0);
}

// A destination's column bounds as the floats a clip compares with before
// converting to int, rounded inward: the smallest float at or right of x1 and
// the largest at or left of x2 (never beyond 2^31, so the conversion stays in
// range). The ceil of any float between them is then a column in [x1, x2]
// without clamping the result as an int. Only a tile narrower than the float
// spacing (beyond 2^24 pixels out) holds no float at all; its lower bound then
// lies above its upper one and its columns are clamped as ints instead
// (`narrow`).
inline float ceilBound(int v) {
  float const f = static_cast<float>(v);
  return static_cast<double>(f) < v ? std::nextafter(f, HUGE_VALF) : f;
}
inline float floorBound(int v) {
  float const f = static_cast<float>(v);
  return static_cast<double>(f) > v ? std::nextafter(f, -HUGE_VALF) : f;
}

// The row bounds a vertex's first row is clipped to: the largest float below
// 2^31 at most. Rows are clamped again as ints where they index anything.
inline float clipBound(int v) { return std::min(static_cast<float>(v), 2147483520.0f); }

void checkInterruption() { PxRequestMgr::getInstance().checkInterruption(); }

// Visits the perimeter pixels of `r` row by row: every pixel of the first
// and last row, the first and last pixel of the rows between.
template <class F>
void forEachBoundaryPixel(GeRectangle<int> const& r, F&& f) {
  for (int y = r.y1(); y < r.y2(); ++y) {
    if (y == r.y1() || y == r.y2() - 1) {
      for (int x = r.x1(); x < r.x2(); ++x) f(x, y);
    } else {
      f(r.x1(), y);
      if (r.x2() - 1 != r.x1()) f(r.x2() - 1, y);
    }
  }
}

// Four lanes at a time (vector extensions: SSE2 on x86-64).
typedef float F4 __attribute__((vector_size(16)));
typedef std::int32_t I4 __attribute__((vector_size(16)));
typedef double D4 __attribute__((vector_size(32)));
constexpr int kLanes = 4;

template <class V, class T>
inline V load4(T const* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T, class V>
inline void store4(T* p, V v) {
  std::memcpy(p, &v, sizeof v);
}
inline I4 min4(I4 a, I4 b) { return a < b ? a : b; }
inline I4 max4(I4 a, I4 b) { return a > b ? a : b; }

// True when any lane of a comparison's mask is set.
inline bool anyLane(I4 m) {
#if defined(__SSE2__)
  return __builtin_ia32_movmskps(reinterpret_cast<F4>(m)) != 0;
#else
  return (m[0] | m[1] | m[2] | m[3]) != 0;
#endif
}

// One mesh row of scatter vertices, stored by field. Arrays hold the row's
// width plus padding (copies of its last vertex), so that the lane loops may
// run past the end of a row, or of a block of it, on values that are finite
// (lanes past the end compute results that nothing reads).
struct VertexRow {
  float* x;
  float* y;
  float* u;
  float* v;
  std::int32_t* f;  // firstRow

  ScatterVertex operator[](int i) const { return {u[i], v[i], x[i], y[i], f[i]}; }
  VertexRow shifted(int by) const { return {x + by, y + by, u + by, v + by, f + by}; }
};

// The position and the value of grid points under the blend amounts: drawn
// at p + a (m - p), carrying p + b (m - p), the products in double. Amounts
// of exactly 0 or 1 (what the resampler nodes pass) give p or m exactly, so
// those are taken directly.
class VertexMaker {
 public:
  VertexMaker(double a, double b, GeRectangle<int> const& destination)
      : _a(a), _b(b), _aMode(modeOf(a)), _bMode(modeOf(b)),
        _rowLo(clipBound(destination.y1())), _rowHi(clipBound(destination.y2())) {}

  // The vertices of grid points (x + i, y), i = 0..3, from their mesh
  // pixels' R and G, stored at index `at` of `out`: readMeshValue and
  // operator() lane by lane, with the same arithmetic.
  void fourVertices(auto aMode, auto bMode, F4 mx, F4 my, int x, int y, VertexRow const& out, int at) const {
    constexpr int kAMode = decltype(aMode)::value;
    constexpr int kBMode = decltype(bMode)::value;
    I4 const xi = I4{0, 1, 2, 3} + x;
    F4 const gx = __builtin_convertvector(xi, F4);
    F4 const gy = F4{} + static_cast<float>(y);
    F4 const limit = F4{} + VectorResampleProc::kMaxUsableCoordinate;
    I4 const readable = (magnitude(mx) <= limit) & (magnitude(my) <= limit);
    mx = readable ? mx : gx;
    my = readable ? my : gy;
    // (Double lanes live only inside: passed by value they would change the
    // calling convention with the instruction set.)
    auto blend = [](I4 p, F4 g, F4 m, double amount, auto mode) {
      if constexpr (decltype(mode)::value == kZero) {
        return g;
      } else if constexpr (decltype(mode)::value == kOne) {
        return m;
      } else {
        D4 const pd = __builtin_convertvector(p, D4);
        return __builtin_convertvector(pd + amount * (__builtin_convertvector(m, D4) - pd), F4);
      }
    };
    I4 const yi = I4{} + y;
    F4 u = blend(xi, gx, mx, _b, bMode);
    F4 v = blend(yi, gy, my, _b, bMode);
    F4 vx = blend(xi, gx, mx, _a, aMode);
    F4 vy = blend(yi, gy, my, _a, aMode);
    if constexpr (((kAMode | kBMode) & kGeneral) != 0) {
      F4 const bound = F4{} + kMaxVertexCoordinate;
      I4 const usable = (magnitude(u) <= bound) & (magnitude(v) <= bound) & (magnitude(vx) <= bound) &
                        (magnitude(vy) <= bound);
      u = usable ? u : gx;
      v = usable ? v : gy;
      vx = usable ? vx : gx;
      vy = usable ? vy : gy;
    }
    F4 const lo = F4{} + _rowLo;
    F4 const hi = F4{} + _rowHi;
    F4 const atLeast = vy < lo ? lo : vy;
    F4 const clamped = hi < atLeast ? hi : atLeast;
    I4 const truncated = __builtin_convertvector(clamped, I4);
    store4(out.x + at, vx);
    store4(out.y + at, vy);
    store4(out.u + at, u);
    store4(out.v + at, v);
    store4(out.f + at, truncated - (__builtin_convertvector(truncated, F4) < clamped));
  }

  // Calls f(aMode, bMode) with the blend modes as compile-time constants.
  template <class F>
  void withModes(F&& f) const {
    auto withB = [&](auto aMode) {
      if (_bMode == kZero) return f(aMode, std::integral_constant<int, kZero>());
      if (_bMode == kOne) return f(aMode, std::integral_constant<int, kOne>());
      return f(aMode, std::integral_constant<int, kGeneral>());
    };
    if (_aMode == kZero) return withB(std::integral_constant<int, kZero>());
    if (_aMode == kOne) return withB(std::integral_constant<int, kOne>());
    return withB(std::integral_constant<int, kGeneral>());
  }

  ScatterVertex operator()(int x, int y, RingValue m) const {
    ScatterVertex s;
    s.u = blend(x, m.u, _b, _bMode);
    s.v = blend(y, m.v, _b, _bMode);
    s.x = blend(x, m.u, _a, _aMode);
    s.y = blend(y, m.v, _a, _aMode);
    if ((_aMode | _bMode) & kGeneral) {
      bool const usable = (std::fabs(s.u) <= kMaxVertexCoordinate) & (std::fabs(s.v) <= kMaxVertexCoordinate) &
                          (std::fabs(s.x) <= kMaxVertexCoordinate) & (std::fabs(s.y) <= kMaxVertexCoordinate);
      if (!usable) {
        s.u = s.x = static_cast<float>(x);
        s.v = s.y = static_cast<float>(y);
      }
    }
    // First row at or below the vertex; rows past the destination's end are
    // never drawn, so clamping there keeps the conversion in range.
    s.firstRow = ceilToInt(std::min(std::max(s.y, _rowLo), _rowHi));
    return s;
  }

 private:
  static constexpr int kZero = 1;
  static constexpr int kOne = 2;
  static constexpr int kGeneral = 4;
  static int modeOf(double amount) { return amount == 0.0 ? kZero : amount == 1.0 ? kOne : kGeneral; }
  static F4 magnitude(F4 v) {
    I4 const bits = reinterpret_cast<I4>(v) & std::numeric_limits<std::int32_t>::max();
    return reinterpret_cast<F4>(bits);
  }

  // p + amount (m - p): exactly p for 0 and m for 1 (m - p is exact in double).
  static float blend(int p, float m, double amount, int mode) {
    if (mode == kZero) return static_cast<float>(p);
    if (mode == kOne) return m;
    return static_cast<float>(p + amount * (static_cast<double>(m) - p));
  }

  double _a;
  double _b;
  int _aMode;
  int _bMode;
  float _rowLo;
  float _rowHi;
};

// A coverage mask byte. Not a character type: stores through a character
// type may alias anything, which would have the compiler reload every value
// held in memory after each mask byte written.
enum class Coverage : std::uint8_t { kNone = 0, kWritten = 1 };

// Where the scatter path draws: the destination's and the mask's pixels
// addressed directly, so that the span loop makes no calls, and the rows
// [rowLo, rowHi) this drawer owns (a band of the destination when the work
// is spread over threads; every band sees all cells in order and writes only
// its own rows, so the first triangle to reach a pixel still wins).
struct ScatterTarget {
  GeRectangle<int> region;
  std::byte* pixels;      // destination pixel (region.x1(), region.y1())
  std::ptrdiff_t stride;  // bytes
  Coverage* mask;         // mask byte of the same pixel
  std::ptrdiff_t maskStride;
  float colLo;  // region.x1() and region.x2() rounded inward to floats, for clipping spans
  float colHi;
  bool narrow;  // no float lies in [x1, x2]: span columns are clamped as ints
  int rowLo;
  int rowHi;
  std::int64_t counter = 0;  // pixels this drawer wrote

  ScatterTarget(GeRectangle<int> const& r, IxWriteGuard& destination, IxWriteGuard& coverage)
      : region(r),
        pixels(destination.getPixelAddress(r.x1(), r.y1())),
        stride(destination.getRowStride()),
        mask(reinterpret_cast<Coverage*>(coverage.getPixelAddress(r.x1(), r.y1()))),
        maskStride(coverage.getRowStride()),
        colLo(ceilBound(r.x1())),
        colHi(floorBound(r.x2())),
        narrow(!(colLo <= colHi)),
        rowLo(r.y1()),
        rowHi(r.y2()) {}
};

// The clip to the destination's columns before the conversion keeps it in
// range (and maps NaN to the left border).
inline float clipColumn(float x, float lo, float hi) { return x >= lo ? (x <= hi ? x : hi) : lo; }

// First pixel column at or right of x, within the destination's columns:
// spans cover the pixel centres c with xL <= c < xR, that is
// [ceil(xL), ceil(xR)).
// kNarrow: the caller has checked t.narrow once for many spans.
template <bool kNarrow>
inline int spanColumn(float x, ScatterTarget const& t) {
  int const c = ceilToInt(clipColumn(x, t.colLo, t.colHi));
  return kNarrow ? std::clamp(c, t.region.x1(), t.region.x2()) : c;
}
inline int spanColumn(float x, ScatterTarget const& t) {
  return t.narrow ? spanColumn<true>(x, t) : spanColumn<false>(x, t);
}

// Where an edge crosses a row: its position and the value carried there.
struct Crossing {
  float x, u, v;
};

// The crossing of row fy with the edge from `upper` to `lower`, by the
// fraction of the way down the edge. Every path computes a crossing with
// exactly these operations from the upper end, so an edge shared by two
// triangles (or two cells) meets a row at the same place for both: no pixel
// centre falls between them.
inline Crossing crossing(ScatterVertex const& upper, ScatterVertex const& lower, float fy) {
  float const s = (fy - upper.y) / (lower.y - upper.y);
  return {upper.x + s * (lower.x - upper.x), upper.u + s * (lower.u - upper.u), upper.v + s * (lower.v - upper.v)};
}

// A target's fields as the span loop needs them, held by the callers in
// locals.
struct SpanTarget {
  std::byte* pixels;  // destination pixel (0, 0) is at pixels + origin
  Coverage* mask;
  std::ptrdiff_t stride;
  std::ptrdiff_t maskStride;
  std::ptrdiff_t origin;
  std::ptrdiff_t maskOrigin;

  explicit SpanTarget(ScatterTarget const& t)
      : pixels(t.pixels), mask(t.mask), stride(t.stride), maskStride(t.maskStride),
        origin(-static_cast<std::ptrdiff_t>(t.region.y1()) * t.stride - 12 * static_cast<std::ptrdiff_t>(t.region.x1())),
        maskOrigin(-static_cast<std::ptrdiff_t>(t.region.y1()) * t.maskStride - t.region.x1()) {}
};

// Pixels [c0, c1) of row y, between the crossings l and r (c0 < c1 implies
// l.x < r.x), the values interpolated across the span. A pixel already
// written keeps its value: the first triangle to reach it wins. Returns the
// pixels written.
inline int fillSpan(int y, int c0, int c1, Crossing const& l, Crossing const& r, SpanTarget const& t) {
  float const du = r.u - l.u;
  float const dv = r.v - l.v;
  float const dx = r.x - l.x;
  float* out = reinterpret_cast<float*>(t.pixels + (t.origin + y * t.stride + 12 * static_cast<std::ptrdiff_t>(c0)));
  Coverage* written = t.mask + (t.maskOrigin + y * t.maskStride + c0);
  int count = 0;
  for (int x = c0; x < c1; ++x, out += 3, ++written) {
    if (*written != Coverage::kNone) continue;
    float const f = (static_cast<float>(x) - l.x) / dx;
    out[0] = l.u + f * du;
    out[1] = l.v + f * dv;
    out[2] = 1.0f;
    *written = Coverage::kWritten;
    ++count;
  }
  return count;
}

// Twice the signed area of (p0, p1, p2); positive when the triangle turns
// clockwise on screen (y grows downward).
inline float orientation(float x0, float y0, float x1, float y1, float x2, float y2) {
  return (x1 - x0) * (y2 - y0) - (y1 - y0) * (x2 - x0);
}

// One triangle, its vertices in the cell's traversal order ((A, B, D) or
// (A, D, C)), scan converted row by row whatever its shape.
//
// Its rows are those of the pixel centres from its highest vertex T down to
// (not including) its lowest, B: [firstRow(T), firstRow(B)). Each crosses
// the long edge T-B and one short edge: T-M above M's first row, M-B from
// there on. Which of the two is the span's left end follows from the
// winding: turning clockwise on screen (positive orientation), the boundary
// runs down the right side and up the left, so the long edge is the left
// one when the traversal runs up it, from B to T; a negative orientation
// swaps the sides, and a triangle without area covers no pixel centre.
void drawTriangle(ScatterVertex const& p0, ScatterVertex const& p1, ScatterVertex const& p2, ScatterTarget& target) {
  int const f[3] = {p0.firstRow, p1.firstRow, p2.firstRow};
  // Top: the first vertex of least first row; bottom: the last of greatest
  // (ties in any order: the part between two level vertices has no row).
  int const top = f[1] < f[0] ? (f[2] < f[1] ? 2 : 1) : (f[2] < f[0] ? 2 : 0);
  int const bottom = f[2] >= f[1] ? (f[2] >= f[0] ? 2 : 0) : (f[1] >= f[0] ? 1 : 0);
  ScatterTarget const t = target;
  int const y0 = std::max(f[top], t.rowLo);
  int const y1 = std::min(f[bottom], t.rowHi);
  if (y0 >= y1) return;
  float const o = orientation(p0.x, p0.y, p1.x, p1.y, p2.x, p2.y);
  if (o == 0.0f) return;
  ScatterVertex const* const v[3] = {&p0, &p1, &p2};
  ScatterVertex const& T = *v[top];
  ScatterVertex const& M = *v[3 - top - bottom];
  ScatterVertex const& B = *v[bottom];
  bool const longDown = bottom == (top == 2 ? 0 : top + 1);  // the traversal runs T -> B
  bool const longLeft = longDown != (o > 0.0f);

  SpanTarget const span(t);
  std::int64_t count = 0;
  for (int y = y0; y < y1; ++y) {
    bool const upperPart = y < M.firstRow;
    ScatterVertex const& shortUpper = upperPart ? T : M;
    ScatterVertex const& shortLower = upperPart ? M : B;
    float const fy = static_cast<float>(y);
    float const sLong = (fy - T.y) / (B.y - T.y);
    float const sShort = (fy - shortUpper.y) / (shortLower.y - shortUpper.y);
    float const xLong = T.x + sLong * (B.x - T.x);
    float const xShort = shortUpper.x + sShort * (shortLower.x - shortUpper.x);
    int const cLong = spanColumn(xLong, t);
    int const cShort = spanColumn(xShort, t);
    int const c0 = longLeft ? cLong : cShort;
    int const c1 = longLeft ? cShort : cLong;
    if (c0 >= c1) continue;
    Crossing const l{xLong, T.u + sLong * (B.u - T.u), T.v + sLong * (B.v - T.v)};
    Crossing const s{xShort, shortUpper.u + sShort * (shortLower.u - shortUpper.u),
                     shortUpper.v + sShort * (shortLower.v - shortUpper.v)};
    count += fillSpan(y, c0, c1, longLeft ? l : s, longLeft ? s : l, span);
  }
  target.counter += count;
}

// The destination's float clip bounds (ceilBound, floorBound), four lanes
// wide.
struct ColumnClip {
  F4 lo, hi;
};

// The first-row crossing of one kind of edge all along a strip: the edge's
// first row (its upper end's firstRow), the column of the span end it makes
// there (spanColumn) and the crossing itself.
struct EdgeRow {
  std::int32_t* first;
  std::int32_t* column;
  float* x;
  float* u;
  float* v;

  EdgeRow shifted(int by) const { return {first + by, column + by, x + by, u + by, v + by}; }
};

// Left and right edges of the two triangles of a cell on one row it
// crosses, by the configuration code of the cell on that row: bits 0 to 3
// tell which of A, B, C and D lie below the row (the others on or above
// it), bits 4 and 5 whether (A, B, D) turns clockwise and has any area, bits
// 6 and 7 the same for (A, D, C). Edges: 0 A-B, 1 B-D, 2 A-D, 3 C-D, 4 A-C;
// kNoEdge for a triangle the row does not cross. The rule is drawTriangle's,
// for one row.
constexpr std::uint8_t kNoEdge = 0xff;
struct CellSpans {
  std::uint8_t abdLeft, abdRight, adcLeft, adcRight;
};

constexpr std::array<CellSpans, 256> makeCellSpans() {
  std::array<CellSpans, 256> table{};
  for (int code = 0; code < 256; ++code) {
    auto sides = [code](int const (&vertex)[3], int const (&edge)[3], bool clockwise, bool hasArea,
                        std::uint8_t& left, std::uint8_t& right) {
      left = right = kNoEdge;
      if (!hasArea) return;
      for (int k = 0; k < 3; ++k) {
        bool const fromBelow = (code >> vertex[k]) & 1;
        bool const toBelow = (code >> vertex[(k + 1) % 3]) & 1;
        if (fromBelow == toBelow) continue;
        (toBelow != clockwise ? left : right) = static_cast<std::uint8_t>(edge[k]);
      }
      if (left == kNoEdge || right == kNoEdge) left = right = kNoEdge;
    };
    // Vertices A 0, B 1, C 2, D 3 in traversal order, and the edges between.
    sides({0, 1, 3}, {0, 1, 2}, code & 16, code & 32, table[code].abdLeft, table[code].abdRight);
    sides({0, 3, 2}, {2, 3, 4}, code & 64, code & 128, table[code].adcLeft, table[code].adcRight);
  }
  return table;
}
constexpr std::array<CellSpans, 256> kCellSpans = makeCellSpans();

// The ends of each edge: vertex row (0 upper, 1 lower) and column offset.
struct EdgeEnds {
  std::uint8_t row0, offset0, row1, offset1;
};
constexpr EdgeEnds kEdgeEnds[5] = {{0, 0, 0, 1}, {0, 1, 1, 1}, {0, 0, 1, 1}, {1, 0, 1, 1}, {0, 0, 1, 0}};

// Cell codes: the configuration on the cell's first row (bits 0-7), on its
// second (bits 8-15), and its kind.
constexpr std::int32_t kOneRowCell = 0x10000;
constexpr std::int32_t kTwoRowCell = 0x20000;
constexpr std::int32_t kGeneralCell = 0x40000;

// Columns of a strip prepared and drawn at a time (a multiple of the lanes).
constexpr int kBlockColumns = 256;

// Rows of edge records: vertical, diagonal, two horizontal, and zeros.
constexpr int kEdgeKinds = 5;

// The least and the greatest firstRow of some vertices: their cells' rows
// lie in [lo, hi).
struct RowRange {
  std::int32_t lo, hi;
};

// Draws the mesh's cells for one band of destination rows: the strips of
// cells between consecutive mesh rows, in order, each in three steps.
//   1. Every edge of the strip meets its first row at a place computed once,
//      four edges at a time: the vertical edges A-C, the diagonals A-D and
//      the bottom edges C-D (the top edges A-B are the previous strip's
//      bottom edges). A triangle computing its own crossings would compute
//      each one twice, once from either side of the edge.
//   2. Every cell gets a configuration code, four cells at a time. Cells
//      about a pixel in size are crossed by one row or two: their triangles
//      take their span ends by table from the edges' crossings (first rows
//      from step 1, an edge's second row computed when a cell needs it).
//      Cells crossed by more rows are drawn triangle by triangle; cells that
//      reach no row of the band are skipped.
//   3. The cells in order, (A, B, D) before (A, D, C) in each (a cell's rows
//      may be drawn one after the other: pixels of different rows are
//      independent).
// The result is drawTriangle's for every cell, bit for bit: the same
// crossings, the same spans.
class MeshScanner {
 public:
  MeshScanner(IxReadGuard const& mesh, VertexMaker const& makeVertex, ScatterTarget const& target)
      : _mesh(mesh), _makeVertex(makeVertex), _region(mesh.getPixelRegion()), _width(_region.getWidth()),
        _target(target) {
    std::size_t const n = static_cast<std::size_t>(_width) + 2 * kLanes;
    _floats.resize(n * (2 * 4 + 3 * kEdgeKinds));
    _ints.resize(n * (2 + 2 * kEdgeKinds + 2));
    float* f = _floats.data();
    std::int32_t* i = _ints.data();
    auto floats = [&](std::size_t count) { return std::exchange(f, f + count * n); };
    auto ints = [&](std::size_t count) { return std::exchange(i, i + count * n); };
    for (VertexRow& row : _rows) row = {floats(1), floats(1), floats(1), floats(1), ints(1)};
    // Each field of the edge records is one array of kEdgeKinds rows of n:
    // the vertical edges, the diagonals, the two alternating horizontal rows
    // and a row of zero columns (an empty span for a triangle a row misses).
    _edges = {ints(kEdgeKinds), ints(kEdgeKinds), floats(kEdgeKinds), floats(kEdgeKinds), floats(kEdgeKinds)};
    auto kind = [&](int k) { return _edges.shifted(k * static_cast<int>(n)); };
    _vertical = kind(0);
    _diagonal = kind(1);
    _horizontal[0] = kind(2);
    _horizontal[1] = kind(3);
    _codes = ints(1);
    _cellRows = ints(1);
    // The cell spans' edges as offsets into the edge fields, for the strips
    // whose top edges are horizontal row 0 and 1 (see CellSpans).
    for (int parity = 0; parity < 2; ++parity)
      for (int code = 0; code < 256; ++code) {
        std::int32_t const slot[5] = {(2 + parity) * static_cast<std::int32_t>(n), 1, static_cast<std::int32_t>(n),
                                      (3 - parity) * static_cast<std::int32_t>(n), 0};
        std::int32_t const empty = (kEdgeKinds - 1) * static_cast<std::int32_t>(n);
        CellSpans const cell = kCellSpans[code];
        std::uint8_t const ends[4] = {cell.abdLeft, cell.abdRight, cell.adcLeft, cell.adcRight};
        for (int e = 0; e < 4; ++e) _spanEdges[parity][code][e] = ends[e] == kNoEdge ? empty : slot[ends[e]];
      }
  }

  ScatterTarget& target() { return _target; }

  // Every cell's part in rows [rowLo, rowHi), strip by strip in order, each
  // strip in blocks of columns: a block's records stay in the cache between
  // their computation and their use, and a block that cannot reach the rows
  // (its vertices' first rows say so) is skipped once its vertices are built.
  void drawBand(int rowLo, int rowHi) {
    _target.rowLo = rowLo;
    _target.rowHi = rowHi;
    int const blocks = (_width - 1 + kBlockColumns - 1) / kBlockColumns;
    // Per block: the mesh row held in each vertex buffer (row y lives in
    // buffer y & 1), its first-row range, and the last strip drawn there
    // (whose bottom edges are the next strip's top edges).
    _blockRow[0].assign(blocks, INT_MIN);
    _blockRow[1].assign(blocks, INT_MIN);
    _blockRange[0].resize(blocks);
    _blockRange[1].resize(blocks);
    _blockStrip.assign(blocks, INT_MIN);
    for (int r = _region.y1(); r < _region.y2() - 1; ++r) {
      int const upperBuffer = r & 1;
      VertexRow const& upper = _rows[upperBuffer];
      VertexRow const& lower = _rows[1 - upperBuffer];
      EdgeRow const& top = _horizontal[upperBuffer];
      EdgeRow const& bottom = _horizontal[1 - upperBuffer];
      for (int b = 0; b < blocks; ++b) {
        int const c0 = b * kBlockColumns;
        int const c1 = std::min(c0 + kBlockColumns, _width - 1);
        RowRange const a = heldBlock(r, upperBuffer, b);
        RowRange const d = heldBlock(r + 1, 1 - upperBuffer, b);
        if (std::max(a.hi, d.hi) <= rowLo || std::min(a.lo, d.lo) >= rowHi) continue;
        prepareStrip(upper, lower, top, bottom, _blockStrip[b] != r - 1, c0, c1);
        if (_target.narrow) {
          drawCells<true>(upper, lower, top, bottom, c0, c1);
        } else {
          drawCells<false>(upper, lower, top, bottom, c0, c1);
        }
        _blockStrip[b] = r;
      }
      checkInterruption();
    }
  }

 private:
  // Block b of mesh row y in vertex buffer k, built if needed: its cells'
  // vertices, columns [c0, c1] (the last one shared with the next block).
  RowRange heldBlock(int y, int k, int b) {
    if (_blockRow[k][b] != y) {
      int const c0 = b * kBlockColumns;
      _blockRange[k][b] = buildRow(y, _rows[k], c0, std::min(c0 + kBlockColumns + 1, _width));
      _blockRow[k][b] = y;
    }
    return _blockRange[k][b];
  }

  // The vertices of columns [c0, c1) of mesh row y, four at a time while
  // whole pixels remain; past the row's end, copies of its last vertex.
  // Returns their range of first rows.
  RowRange buildRow(int y, VertexRow const& out, int c0, int c1) const {
    // The same columns of the next mesh row are read one strip later:
    // fetching them into the cache now hides the memory's latency.
    std::byte const* next = y + 1 < _region.y2() ? reinterpret_cast<std::byte const*>(_mesh.getRow<float>(y + 1)) : nullptr;
    I4 lo = I4{} + INT_MAX, hi = I4{} + INT_MIN;
    _makeVertex.withModes([&](auto aMode, auto bMode) {
      float const* src = _mesh.getRow<float>(y) + 3 * c0;
      int i = c0;
      for (; i + kLanes <= c1; i += kLanes, src += 3 * kLanes) {
        if (next) __builtin_prefetch(next + 12 * i);
        // R0 G0 B0 R1 | G1 B1 R2 G2 | B2 R3 G3 B3
        F4 const p0 = load4<F4>(src), p1 = load4<F4>(src + 4), p2 = load4<F4>(src + 8);
        F4 const r = __builtin_shuffle(__builtin_shuffle(p0, p1, I4{0, 3, 6, 0}), p2, I4{0, 1, 2, 5});
        F4 const g = __builtin_shuffle(__builtin_shuffle(p0, p1, I4{1, 4, 7, 0}), p2, I4{0, 1, 2, 6});
        _makeVertex.fourVertices(aMode, bMode, r, g, _region.x1() + i, y, out, i);
        I4 const f = load4<I4>(out.f + i);
        lo = min4(lo, f);
        hi = max4(hi, f);
      }
      for (; i < c1; ++i, src += 3) {
        int const x = _region.x1() + i;
        ScatterVertex const s = _makeVertex(x, y, readMeshValue(src, x, y));
        out.x[i] = s.x;
        out.y[i] = s.y;
        out.u[i] = s.u;
        out.v[i] = s.v;
        out.f[i] = s.firstRow;
        lo[0] = std::min(lo[0], s.firstRow);
        hi[0] = std::max(hi[0], s.firstRow);
      }
    });
    RowRange const range{std::min(std::min(lo[0], lo[1]), std::min(lo[2], lo[3])),
                         std::max(std::max(hi[0], hi[1]), std::max(hi[2], hi[3]))};
    if (c1 < _width) return range;
    for (int i = _width; i < _width + 2 * kLanes; ++i) {
      out.x[i] = out.x[_width - 1];
      out.y[i] = out.y[_width - 1];
      out.u[i] = out.u[_width - 1];
      out.v[i] = out.v[_width - 1];
      out.f[i] = out.f[_width - 1];
    }
    return range;
  }

  // Four edges' records: their first rows, and their x, u and v there as
  // value(field) gives them.
  template <class Value>
  [[gnu::always_inline]] static void storeCrossings(I4 first, Value&& value, int c, ColumnClip const& clip,
                                                    EdgeRow const& out) {
    F4 const x = value(&VertexRow::x);
    F4 const atLeast = x > clip.lo ? x : clip.lo;
    F4 const clipped = atLeast < clip.hi ? atLeast : clip.hi;
    I4 const truncated = __builtin_convertvector(clipped, I4);
    store4(out.first + c, first);
    store4(out.column + c, truncated - (__builtin_convertvector(truncated, F4) < clipped));
    store4(out.x + c, x);
    store4(out.u + c, value(&VertexRow::u));
    store4(out.v + c, value(&VertexRow::v));
  }

  // Where the edges from p[c + i] to q[c + i] (four lanes) meet the first
  // row below their upper ends: crossing(), four edges at a time.
  [[gnu::always_inline]] static void edgeCrossings(VertexRow const& p, VertexRow const& q, int c,
                                                   ColumnClip const& clip, EdgeRow const& out) {
    I4 const pf = load4<I4>(p.f + c), qf = load4<I4>(q.f + c);
    // Lanes whose ends share a first row cross no row: their records are
    // never read, and four such lanes need none.
    if (!anyLane(pf != qf)) return;
    F4 const py = load4<F4>(p.y + c), qy = load4<F4>(q.y + c);
    I4 const swap = qy < py;  // q is the upper end
    if (anyLane(swap)) {
      swappedEdgeCrossings(p, q, c, clip, out, swap);
      return;
    }
    // p is the upper end in every lane: the usual case along the columns
    // and the diagonals of a mesh that does not fold.
    F4 const s = (__builtin_convertvector(pf, F4) - py) / (qy - py);
    storeCrossings(
        pf,
        [&](float* VertexRow::*f) {
          F4 const a = load4<F4>(p.*f + c);
          return a + s * (load4<F4>(q.*f + c) - a);
        },
        c, clip, out);
  }

  // The same where the upper end is q in some lanes: selecting the upper end
  // by bit masks and negating the differences where the ends swap leaves the
  // arithmetic exactly crossing()'s.
  [[gnu::noinline]] static void swappedEdgeCrossings(VertexRow const& p, VertexRow const& q, int c,
                                                     ColumnClip const& clip, EdgeRow const& out, I4 swap) {
    I4 const negate = swap & std::numeric_limits<std::int32_t>::min();
    auto upperI = [swap](I4 a, I4 b) { return a ^ ((a ^ b) & swap); };
    auto upper = [&](F4 a, F4 b) { return reinterpret_cast<F4>(upperI(reinterpret_cast<I4>(a), reinterpret_cast<I4>(b))); };
    auto towardLower = [negate](F4 d) { return reinterpret_cast<F4>(reinterpret_cast<I4>(d) ^ negate); };
    // The upper end's firstRow is the edge's first row. A lane with level
    // ends divides by zero; what it stores (clipped, so that the conversion
    // stays defined) is never read.
    I4 const first = upperI(load4<I4>(p.f + c), load4<I4>(q.f + c));
    F4 const py = load4<F4>(p.y + c), qy = load4<F4>(q.y + c);
    F4 const s = (__builtin_convertvector(first, F4) - upper(py, qy)) / towardLower(qy - py);
    storeCrossings(
        first,
        [&](float* VertexRow::*f) {
          F4 const a = load4<F4>(p.*f + c), b = load4<F4>(q.*f + c);
          return upper(a, b) + s * towardLower(b - a);
        },
        c, clip, out);
  }

  // A tile without a float column of its own: the span columns the strip's
  // records hold, clamped to the destination as ints.
  [[gnu::noinline]] void clampColumns(EdgeRow const& top, EdgeRow const& bottom, bool computeTop, int c0,
                                      int c1) const {
    I4 const lo = I4{} + _target.region.x1(), hi = I4{} + _target.region.x2();
    auto clamp = [&](EdgeRow const& e, int c) { store4(e.column + c, max4(min4(load4<I4>(e.column + c), hi), lo)); };
    for (int c = c0; c <= c1; c += kLanes) {
      clamp(_vertical, c);
      clamp(_diagonal, c);
      clamp(bottom, c);
    }
    if (computeTop) {
      for (int c = c0; c < c1; c += kLanes) clamp(top, c);
    }
  }

  // The strip's edge crossings (vertical A-C, diagonal A-D, bottom C-D, and
  // top A-B when asked) and its cells' codes and first rows (A = upper[c],
  // B = upper[c + 1], C = lower[c], D = lower[c + 1]).
  void prepareStrip(VertexRow const& upper, VertexRow const& lower, EdgeRow const& top, EdgeRow const& bottom,
                    bool computeTop, int c0, int c1) {
    ColumnClip const clip{F4{} + _target.colLo, F4{} + _target.colHi};
    VertexRow const upperNext = upper.shifted(1);
    VertexRow const lowerNext = lower.shifted(1);
    // Cells [c0, c1) need the vertical edges up to c1 as well.
    for (int c = c0; c <= c1; c += kLanes) {
      edgeCrossings(upper, lower, c, clip, _vertical);
      edgeCrossings(upper, lowerNext, c, clip, _diagonal);
      edgeCrossings(lower, lowerNext, c, clip, bottom);
    }
    if (computeTop) {
      for (int c = c0; c < c1; c += kLanes) edgeCrossings(upper, upperNext, c, clip, top);
    }
    if (__builtin_expect(_target.narrow, false)) clampColumns(top, bottom, computeTop, c0, c1);
    I4 const rowLo = I4{} + _target.rowLo;
    I4 const rowHi = I4{} + _target.rowHi;
    for (int c = c0; c < c1; c += kLanes) {
      I4 const fa = load4<I4>(upper.f + c), fb = load4<I4>(upper.f + c + 1);
      I4 const fc = load4<I4>(lower.f + c), fd = load4<I4>(lower.f + c + 1);
      I4 const lo = min4(min4(fa, fb), min4(fc, fd));
      I4 const hi = max4(max4(fa, fb), max4(fc, fd));
      I4 const reaches = (hi > rowLo) & (lo < rowHi);
      I4 const oneRow = (hi - lo == 1) & (lo >= rowLo) & (lo < rowHi);
      I4 const twoRows = (hi - lo == 2) & reaches;
      I4 const general = (hi - lo > 2) & reaches;
      F4 const xa = load4<F4>(upper.x + c), xb = load4<F4>(upper.x + c + 1);
      F4 const xc = load4<F4>(lower.x + c), xd = load4<F4>(lower.x + c + 1);
      F4 const ya = load4<F4>(upper.y + c), yb = load4<F4>(upper.y + c + 1);
      F4 const yc = load4<F4>(lower.y + c), yd = load4<F4>(lower.y + c + 1);
      F4 const abd = (xb - xa) * (yd - ya) - (yb - ya) * (xd - xa);
      F4 const adc = (xd - xa) * (yc - ya) - (yd - ya) * (xc - xa);
      I4 const winding = ((abd > 0.0f) & 16) | ((abd != 0.0f) & 32) | ((adc > 0.0f) & 64) | ((adc != 0.0f) & 128);
      I4 const second = lo + 1;
      I4 const below1 = ((fa > lo) & 1) | ((fb > lo) & 2) | ((fc > lo) & 4) | ((fd > lo) & 8);
      I4 code = below1 | winding;
      if (anyLane(twoRows)) {
        I4 const below2 = ((fa > second) & 1) | ((fb > second) & 2) | ((fc > second) & 4) | ((fd > second) & 8);
        code |= (below2 | winding) << 8;
      }
      store4(_codes + c, ((oneRow | twoRows) & code) | (oneRow & kOneRowCell) | (twoRows & kTwoRowCell) |
                             (general & kGeneralCell));
      store4(_cellRows + c, lo);
    }
  }

  template <bool kNarrow>
  void drawCells(VertexRow const& upper, VertexRow const& lower, EdgeRow const& top, EdgeRow const& bottom, int c0,
                 int c1) {
    // The five edges of cell c by field: index [e][c] (see CellSpans), and
    // the first-row spans' edges as offsets from the records of kind 0.
    EdgeRow const next = _vertical.shifted(1);
    std::int32_t const (*const spanEdges)[4] = _spanEdges[&top == &_horizontal[0] ? 0 : 1];
    EdgeRow const records = _edges;
    std::int32_t const* const first[5] = {top.first, next.first, _diagonal.first, bottom.first, _vertical.first};
    std::int32_t const* const column[5] = {top.column, next.column, _diagonal.column, bottom.column, _vertical.column};
    float const* const xs[5] = {top.x, next.x, _diagonal.x, bottom.x, _vertical.x};
    float const* const us[5] = {top.u, next.u, _diagonal.u, bottom.u, _vertical.u};
    float const* const vs[5] = {top.v, next.v, _diagonal.v, bottom.v, _vertical.v};
    VertexRow const rows[2] = {upper, lower};
    ScatterTarget const t = _target;
    SpanTarget const target(t);
    int const rowLo = t.rowLo;
    int const rowHi = t.rowHi;
    std::int64_t count = 0;
    // Where edge e of cell c meets row y: from the strip's records on its
    // first row, from its ends below.
    auto crossingAt = [&](int e, int c, int y, int& at) __attribute__((always_inline)) {
      if (first[e][c] == y) {
        at = column[e][c];
        return Crossing{xs[e][c], us[e][c], vs[e][c]};
      }
      EdgeEnds const ends = kEdgeEnds[e];
      ScatterVertex const p = rows[ends.row0][c + ends.offset0];
      ScatterVertex const q = rows[ends.row1][c + ends.offset1];
      Crossing const cross = p.y < q.y ? crossing(p, q, static_cast<float>(y)) : crossing(q, p, static_cast<float>(y));
      at = spanColumn<kNarrow>(cross.x, t);
      return cross;
    };
    // One triangle's span on the cell's first row (every edge crossing it
    // starts there), and on its second.
    auto firstRowSpan = [&](int y, int leftOffset, int rightOffset, int c) __attribute__((always_inline)) {
      int const left = leftOffset + c, right = rightOffset + c;
      int const c0 = records.column[left];
      int const c1 = records.column[right];
      if (c0 >= c1) return;
      Crossing const l{records.x[left], records.u[left], records.v[left]};
      Crossing const r{records.x[right], records.u[right], records.v[right]};
      if (c1 - c0 > 1) {
        count += fillSpan(y, c0, c1, l, r, target);
        return;
      }
      // One pixel (the usual span of a cell about a pixel in size): fillSpan
      // without its loop.
      Coverage* written = target.mask + (target.maskOrigin + y * target.maskStride + c0);
      if (*written != Coverage::kNone) return;
      float const f = (static_cast<float>(c0) - l.x) / (r.x - l.x);
      float* out = reinterpret_cast<float*>(target.pixels + (target.origin + y * target.stride + 12 * std::ptrdiff_t{c0}));
      out[0] = l.u + f * (r.u - l.u);
      out[1] = l.v + f * (r.v - l.v);
      out[2] = 1.0f;
      *written = Coverage::kWritten;
      ++count;
    };
    auto secondRowSpan = [&](int y, int left, int right, int c) __attribute__((always_inline)) {
      int c0, c1;
      Crossing const l = crossingAt(left, c, y, c0);
      Crossing const r = crossingAt(right, c, y, c1);
      if (c0 < c1) count += fillSpan(y, c0, c1, l, r, target);
    };
    std::int32_t const* const codes = _codes;
    std::int32_t const* const cellRows = _cellRows;
    for (int c = c0; c < c1; ++c) {
      std::int32_t const code = codes[c];
      if (code & kOneRowCell) {
        int const y = cellRows[c];
        std::int32_t const* spans = spanEdges[code & 0xff];
        firstRowSpan(y, spans[0], spans[1], c);
        firstRowSpan(y, spans[2], spans[3], c);
      } else if (code & kTwoRowCell) {
        int const y = cellRows[c];
        if (y >= rowLo) {
          std::int32_t const* spans = spanEdges[code & 0xff];
          firstRowSpan(y, spans[0], spans[1], c);
          firstRowSpan(y, spans[2], spans[3], c);
        }
        if (y + 1 < rowHi) {
          CellSpans const cell = kCellSpans[(code >> 8) & 0xff];
          if (cell.abdLeft != kNoEdge) secondRowSpan(y + 1, cell.abdLeft, cell.abdRight, c);
          if (cell.adcLeft != kNoEdge) secondRowSpan(y + 1, cell.adcLeft, cell.adcRight, c);
        }
      } else if (code & kGeneralCell) {
        ScatterVertex const a = upper[c], b = upper[c + 1], cc = lower[c], d = lower[c + 1];
        _target.counter += count;
        count = 0;
        drawTriangle(a, b, d, _target);
        drawTriangle(a, d, cc, _target);
      }
    }
    _target.counter += count;
  }

  IxReadGuard const& _mesh;
  VertexMaker const& _makeVertex;
  GeRectangle<int> _region;
  int _width;
  ScatterTarget _target;
  Vector<float> _floats;
  Vector<std::int32_t> _ints;
  VertexRow _rows[2];
  Vector<int> _blockRow[2];
  Vector<RowRange> _blockRange[2];
  Vector<int> _blockStrip;
  EdgeRow _edges, _vertical, _diagonal, _horizontal[2];
  std::int32_t _spanEdges[2][256][4];
  std::int32_t* _codes;
  std::int32_t* _cellRows;
};

// Bands of at least this many rows are worth a thread.
constexpr int kMinBandRows = 32;

// The mesh pass over `threads` threads (0: the request manager's pool):
// returns the pixels written.
std::int64_t drawMesh(IxReadGuard const& mesh, VertexMaker const& makeVertex, ScatterTarget const& target,
                      int threads) {
  PxRequestMgr& manager = PxRequestMgr::getInstance();
  GeRectangle<int> const d = target.region;
  int n = threads > 0 ? threads : std::max(1, manager.getWorkerCount());
  n = std::max(1, std::min(n, d.getHeight() / kMinBandRows));
  if (n == 1) {
    MeshScanner scanner(mesh, makeVertex, target);
    scanner.drawBand(d.y1(), d.y2());
    return scanner.target().counter;
  }

  // Non-owning handle on the current request: the jobs check it for
  // cancellation, and parallelFor returns before the call does.
  std::shared_ptr<PxRequest> const request(std::shared_ptr<PxRequest>(), PxRequestMgr::getCurrentRequest());
  // One band of rows per thread. Every output pixel is written once, and the
  // cells reaching a band are about its share of the mesh, so equal bands
  // make about equal work.
  Vector<std::int64_t> written(n, 0);
  manager.parallelFor(request, 0, n, [&](int band) {
    MeshScanner scanner(mesh, makeVertex, target);
    int const y0 = d.y1() + static_cast<int>(static_cast<std::int64_t>(d.getHeight()) * band / n);
    int const y1 = d.y1() + static_cast<int>(static_cast<std::int64_t>(d.getHeight()) * (band + 1) / n);
    scanner.drawBand(y0, y1);
    written[band] = scanner.target().counter;
  });
  std::int64_t total = 0;
  for (std::int64_t w : written) total += w;
  return total;
}

// An empty mesh says nothing about the warp. With extrapolation asked for,
// "nothing known" is the identity: every pixel samples itself. Without it,
// the direct path's documented outside value (0, 0) is blended in.
void fillWithoutMesh(IxWriteGuard& dst, float t, bool identity) {
  GeRectangle<int> const d = dst.getPixelRegion();
  for (int y = d.y1(); y < d.y2(); ++y) {
    float* out = dst.getRow<float>(y);
    float const fy = static_cast<float>(y);
    for (int x = d.x1(); x < d.x2(); ++x, out += 3) {
      float const fx = static_cast<float>(x);
      out[0] = identity ? fx : blendDirect(fx, 0.0f, t);
      out[1] = identity ? fy : blendDirect(fy, 0.0f, t);
      out[2] = 1.0f;
    }
    checkInterruption();
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry point

void VectorResampleProc::resample(IxTile const& destination, IxTile const& mesh, double positionAmount,
                                  double valueAmount, int method, int threads) {
  // Tile validity is asserted by the host's guards as each path opens them.
  positionAmount = usableAmount(positionAmount);
  if (std::fabs(positionAmount) < kMinPositionAmount) {
    resampleDirect(destination, mesh, valueAmount, method);
  } else {
    resampleScattered(destination, mesh, valueAmount, positionAmount, method, threads);
  }
}

// ---------------------------------------------------------------------------
// Direct path

void VectorResampleProc::resampleDirect(IxTile const& destination, IxTile const& meshTile, double valueAmount,
                                        int method) {
  IxWriteGuard dst(destination);
  IxReadGuard mesh(meshTile);
  QX_ASSERT(isRgbFloat(dst.getPixelFormat()));
  QX_ASSERT(isRgbFloat(mesh.getPixelFormat()));

  GeRectangle<int> const d = dst.getPixelRegion();
  GeRectangle<int> const m = mesh.getPixelRegion();
  valueAmount = usableAmount(valueAmount);
  float const t = static_cast<float>(valueAmount);
  if (d.isEmpty()) return;

  // Inside the mesh: out = p + (m(p) - p) t, in single precision.
  GeRectangle<int> const inside = d & m;
  if (!inside.isEmpty()) {
    int const n = inside.getWidth();
    for (int y = inside.y1(); y < inside.y2(); ++y) {
      float const* src = mesh.getRow<float>(y) + 3 * static_cast<std::ptrdiff_t>(inside.x1() - m.x1());
      float* out = dst.getRow<float>(y) + 3 * static_cast<std::ptrdiff_t>(inside.x1() - d.x1());
      float const fy = static_cast<float>(y);
      for (int i = 0; i < n; ++i) {
        float const fx = static_cast<float>(inside.x1() + i);
        float mx = src[3 * i];
        float my = src[3 * i + 1];
        bool const usable = isUsable(mx) && isUsable(my);
        mx = usable ? mx : fx;
        my = usable ? my : fy;
        out[3 * i] = blendDirect(fx, mx, t);
        out[3 * i + 1] = blendDirect(fy, my, t);
        out[3 * i + 2] = 1.0f;
      }
      checkInterruption();
    }
  }
  if (inside == d) return;

  if (m.isEmpty()) {
    fillWithoutMesh(dst, t, method != NoExtrapolation);
    return;
  }

  auto write = [&](int x, int y, RingValue r) {
    float const fx = static_cast<float>(x);
    float const fy = static_cast<float>(y);
    float* out = reinterpret_cast<float*>(dst.getPixelAddress(x, y));
    out[0] = blendDirect(fx, r.u, t);
    out[1] = blendDirect(fy, r.v, t);
    out[2] = 1.0f;
  };
  // Every destination pixel outside `known`, row by row: values(y, x0, x1)
  // writes pixels [x0, x1) of row y.
  auto writeOutside = [&](GeRectangle<int> const& known, auto&& values) {
    for (int y = d.y1(); y < d.y2(); ++y) {
      bool const crosses = y >= known.y1() && y < known.y2();
      int const leftEnd = crosses ? std::clamp(known.x1(), d.x1(), d.x2()) : d.x2();
      int const rightStart = crosses ? std::clamp(known.x2(), leftEnd, d.x2()) : d.x2();
      values(y, d.x1(), leftEnd);
      values(y, rightStart, d.x2());
      checkInterruption();
    }
  };

  // Without extrapolation the outside value is (0, 0) at any distance.
  if (method == NoExtrapolation) {
    writeOutside(m, [&](int y, int x0, int x1) {
      for (int x = x0; x < x1; ++x) write(x, y, RingValue{0.0f, 0.0f});
    });
    return;
  }

  // Near the mesh, each ring grows by one pixel on every side, so every
  // pixel there is written once, by the ring through it. Past the fitted
  // rings the continuation gives any pixel directly: a destination far from
  // the mesh costs its own area, not the rings between (far pixels receive
  // the last fitted ring's local model, evaluated at their own place).
  BoundaryExtrapolator ext(meshTile, method);
  while ((ext.getRegion() & d) != d && ext.getRingCount() < ext.getFittedRings()) {
    ext.grow();
    GeRectangle<int> const e = ext.getRegion();
    RingValue const* ring = ext.getRing();
    int const xa = std::max(e.x1(), d.x1());
    int const xb = std::min(e.x2(), d.x2());
    int const width = e.x2() - e.x1();
    int const height = e.y2() - e.y1();
    // Top and bottom rows: ring indices run along the row.
    if (e.y1() >= d.y1() && e.y1() < d.y2()) {
      for (int x = xa; x < xb; ++x) write(x, e.y1(), ring[x - e.x1()]);
    }
    int const yb = e.y2() - 1;
    if (yb >= d.y1() && yb < d.y2()) {
      for (int x = xa; x < xb; ++x) write(x, yb, ring[width + 2 * height - 4 + (x - e.x1())]);
    }
    // Middle rows: left and right pixels only.
    int const ya = std::max(e.y1() + 1, d.y1());
    int const ye = std::min(e.y2() - 1, d.y2());
    bool const leftIn = e.x1() >= d.x1() && e.x1() < d.x2();
    bool const rightIn = e.x2() - 1 >= d.x1() && e.x2() - 1 < d.x2();
    for (int y = ya; y < ye; ++y) {
      int const base = width + 2 * (y - e.y1()) - 2;
      if (leftIn) write(e.x1(), y, ring[base]);
      if (rightIn) write(e.x2() - 1, y, ring[base + 1]);
    }
    checkInterruption();
  }
  if ((ext.getRegion() & d) == d) return;
  writeOutside(ext.getRegion(), [&](int y, int x0, int x1) {
    if (x0 < x1) ext.forContinuationRow(y, x0, x1, [&](int x, RingValue value) { write(x, y, value); });
  });
}

// ---------------------------------------------------------------------------
// Scatter path

void VectorResampleProc::fillTriangleSpans(ScatterVertex const& left0, ScatterVertex const& left1,
                                           ScatterVertex const& right0, ScatterVertex const& right1, int firstRow,
                                           int endRow, GeRectangle<int> const& dstRegion, IxWriteGuard& destination,
                                           IxWriteGuard& mask, int& counter) {
  QX_ASSERT(destination.getPixelRegion().contains(dstRegion) && mask.getPixelRegion().contains(dstRegion));
  if (dstRegion.isEmpty()) return;
  ScatterTarget target(dstRegion, destination, mask);
  for (int y = std::max(firstRow, dstRegion.y1()); y < std::min(endRow, dstRegion.y2()); ++y) {
    float const fy = static_cast<float>(y);
    Crossing const l = crossing(left0, left1, fy);
    Crossing const r = crossing(right0, right1, fy);
    if (!(l.x < r.x)) continue;  // also an edge without height (no crossing)
    int const c0 = spanColumn(l.x, target);
    int const c1 = spanColumn(r.x, target);
    if (c0 < c1) counter += fillSpan(y, c0, c1, l, r, SpanTarget(target));
  }
}

void VectorResampleProc::resampleScattered(IxTile const& destination, IxTile const& meshTile, double valueAmount,
                                           double positionAmount, int method, int threads) {
  IxWriteGuard dst(destination);
  IxReadGuard mesh(meshTile);
  QX_ASSERT(isRgbFloat(dst.getPixelFormat()));
  QX_ASSERT(isRgbFloat(mesh.getPixelFormat()));

  valueAmount = usableAmount(valueAmount);
  positionAmount = usableAmount(positionAmount);
  GeRectangle<int> const d = dst.getPixelRegion();
  if (d.isEmpty()) return;
  GeRectangle<int> const m = mesh.getPixelRegion();
  if (m.isEmpty()) {
    // Nothing to draw. An identity warp drawn anywhere gives the identity, so
    // that is what the rings of "no known warp" would fill in.
    if (method != NoExtrapolation) {
      fillWithoutMesh(dst, 0.0f, true);
    } else {
      ipSet(dst, CoRgbaColorTyped<float>::ZERO, nullptr);
    }
    return;
  }

  // Every pixel is written once: by the first triangle to reach it (the
  // mask remembers which are written), or with zero at the end.
  IxTile const maskTile(IxPixelFormat(IxPixelFormat::ALPHA, IxPixelFormat::UINT8), d);
  IxWriteGuard mask(maskTile);
  ScatterTarget target(d, dst, mask);
  std::int64_t const area = static_cast<std::int64_t>(d.getWidth()) * d.getHeight();
  VertexMaker const makeVertex(positionAmount, valueAmount, d);

  // Mesh pass: cells in row-major order, each split along its A -> D
  // diagonal with (A, B, D) drawn before (A, D, C).
  if (m.getWidth() >= 2 && m.getHeight() >= 2) target.counter = drawMesh(mesh, makeVertex, target, threads);

  // Ring pass: the extrapolated rings, moved and drawn like the mesh, fill in
  // what the moved mesh left uncovered.
  if (target.counter < area && method != NoExtrapolation) {
    BoundaryExtrapolator ext(meshTile, method);
    Vector<ScatterVertex> vertexRings[2];
    int current = 0;
    auto buildVertexRing = [&](Vector<ScatterVertex>& out) {
      GeRectangle<int> const e = ext.getRegion();
      out.resize(BoundaryExtrapolator::getBoundarySize(e));
      RingValue const* ring = ext.getRing();
      forEachBoundaryPixel(e, [&](int x, int y) {
        int const index = BoundaryExtrapolator::getBoundaryIndex(e, x, y);
        out[index] = makeVertex(x, y, ring[index]);
      });
    };
    buildVertexRing(vertexRings[current]);

    int idle = 0;
    std::int64_t const maxRings =
        kRingsPerDestinationPixel * (std::int64_t{d.getWidth()} + d.getHeight()) + kMaxIdleRings;
    for (std::int64_t rings = 0; target.counter < area && idle < kMaxIdleRings && rings < maxRings; ++rings) {
      GeRectangle<int> const previous = ext.getRegion();
      ext.grow();
      current = 1 - current;
      buildVertexRing(vertexRings[current]);
      GeRectangle<int> const e = ext.getRegion();
      ScatterVertex const* outer = vertexRings[current].data();
      ScatterVertex const* inner = vertexRings[1 - current].data();
      auto corner = [&](int x, int y) -> ScatterVertex const& {
        if (BoundaryExtrapolator::isOnBoundary(e, x, y)) return outer[BoundaryExtrapolator::getBoundaryIndex(e, x, y)];
        return inner[BoundaryExtrapolator::getBoundaryIndex(previous, x, y)];
      };
      auto drawCell = [&](int c, int r) {
        ScatterVertex const& tl = corner(c, r);
        ScatterVertex const& br = corner(c + 1, r + 1);
        drawTriangle(tl, corner(c + 1, r), br, target);
        drawTriangle(tl, br, corner(c, r + 1), target);
      };

      std::int64_t const before = target.counter;
      // The one-pixel band between the new rectangle and the previous one.
      for (int r = e.y1(); r <= e.y2() - 2; ++r) {
        if (r == e.y1() || r == e.y2() - 2) {
          for (int c = e.x1(); c <= e.x2() - 2; ++c) drawCell(c, r);
        } else {
          drawCell(e.x1(), r);
          drawCell(e.x2() - 2, r);
        }
      }
      idle = target.counter == before ? idle + 1 : 0;
      checkInterruption();
    }
  }

  // Pixels no triangle reached.
  if (target.counter < area) {
    for (int y = d.y1(); y < d.y2(); ++y) {
      Coverage const* written = mask.getRow<Coverage>(y);
      float* out = dst.getRow<float>(y);
      for (int i = 0; i < d.getWidth(); ++i) {
        if (written[i] == Coverage::kNone) out[3 * i] = out[3 * i + 1] = out[3 * i + 2] = 0.0f;
      }
      checkInterruption();
    }
  }
}

// ---------------------------------------------------------------------------
// Boundary extrapolation

VectorResampleProc::BoundaryExtrapolator::BoundaryExtrapolator(IxTile const& meshTile, int method)
    : _method(method) {
  IxReadGuard mesh(meshTile);
  QX_ASSERT(isRgbFloat(mesh.getPixelFormat()));
  GeRectangle<int> const m = mesh.getPixelRegion();
  QX_ASSERT(!m.isEmpty());
  _current = 0;
  _region = m;
  _innerRegion = GeRectangle<int>(m.x1() + 1, m.y1() + 1, m.x2() - 1, m.y2() - 1);
  _rings[0].resize(getBoundarySize(_region));
  readRing(mesh, _region, _rings[0]);
  // A mesh two pixels across has an empty inner rectangle, one pixel across
  // an inverted one: there is no inner ring, and its buffer stays zero and
  // is never read.
  _rings[1].assign(getBoundarySize(_innerRegion), RingValue{0.0f, 0.0f});
  if (!_innerRegion.isEmpty()) readRing(mesh, _innerRegion, _rings[1]);
}

void VectorResampleProc::BoundaryExtrapolator::readRing(IxReadGuard const& mesh, GeRectangle<int> const& region,
                                                        Vector<RingValue>& ring) const {
  forEachBoundaryPixel(region, [&](int x, int y) {
    float const* pixel = reinterpret_cast<float const*>(mesh.getPixelAddress(x, y));
    ring[getBoundaryIndex(region, x, y)] = readMeshValue(pixel, x, y);
  });
}

int VectorResampleProc::BoundaryExtrapolator::getFittedRings() const {
  if (_method == NoExtrapolation) return 0;
  return _method == SimilarityExtrapolation ? 1 : kFittedRings;
}

void VectorResampleProc::BoundaryExtrapolator::grow() {
  GeRectangle<int> const newRegion(_region.x1() - 1, _region.y1() - 1, _region.x2() + 1, _region.y2() + 1);
  if (_method != NoExtrapolation) {
    if (_method != SimilarityExtrapolation) QX_ASSERT(_method == VectorResampleProc::AffineExtrapolation);
    _spare.resize(getBoundarySize(newRegion));
    int const fitted = getFittedRings();
    LocalModel* model = nullptr;
    if (_ringCount + 1 == fitted) {
      _model.resize(getBoundarySize(newRegion));
      _modelRegion = newRegion;
      model = _model.data();
    }
    if (_ringCount >= fitted) {
      growFromModel(newRegion, _spare);
    } else if (_region.getWidth() < 2 || _region.getHeight() < 2) {
      growFromNearest(newRegion, _spare, model);
    } else if (model) {
      growByFit<true>(newRegion, _spare, model);
    } else {
      growByFit<false>(newRegion, _spare, nullptr);
    }
    // The new ring becomes current, the current one previous, and the old
    // previous buffer is kept for the next ring.
    std::swap(_spare, _rings[1 - _current]);
    _current = 1 - _current;
  }
  _innerRegion = _region;
  _region = newRegion;
  ++_ringCount;
}

// A mesh one pixel wide or tall has no two lines of points to fit across it,
// so no fit is defined there (the window would see one line of points, too
// few for the affine fit and none across for either). This is the only
// place where the extrapolation does not fit: the first ring takes the
// displacement of the nearest mesh pixel, which is exact for a translation;
// from then on the ring is three pixels across and the fits take over. Its
// local model, where one is kept, is that translation.
void VectorResampleProc::BoundaryExtrapolator::growFromNearest(GeRectangle<int> const& newRegion,
                                                               Vector<RingValue>& out, LocalModel* model) const {
  Vector<RingValue> const& ring = _rings[_current];
  forEachBoundaryPixel(newRegion, [&](int x, int y) {
    int const cx = std::clamp(x, _region.x1(), _region.x2() - 1);
    int const cy = std::clamp(y, _region.y1(), _region.y2() - 1);
    RingValue const near = ring[getBoundaryIndex(_region, cx, cy)];
    int const index = getBoundaryIndex(newRegion, x, y);
    out[index] = {static_cast<float>(x + (static_cast<double>(near.u) - cx)),
                  static_cast<float>(y + (static_cast<double>(near.v) - cy))};
    if (model) model[index] = {out[index].u, out[index].v, 1.0, 0.0, 0.0, 1.0};
  });
}

// Rings beyond the last fitted one: every pixel takes its continuation.
void VectorResampleProc::BoundaryExtrapolator::growFromModel(GeRectangle<int> const& newRegion,
                                                             Vector<RingValue>& out) const {
  forEachBoundaryPixel(newRegion,
                       [&](int x, int y) { out[getBoundaryIndex(newRegion, x, y)] = getContinuation(x, y); });
}

void VectorResampleProc::BoundaryExtrapolator::checkContinuable() const {
  QX_ASSERT(_ringCount >= getFittedRings() && !_model.empty());
}

// Least-squares fit around every pixel P of the new ring, from the pixels of
// the current and previous rings in a window 5 pixels along the walk by 3
// across it. The window's sums are running sums over a clockwise walk of the
// new ring: each step adds the leading column (offset +2 along) and removes
// the trailing one (offset -3), so on straight runs the sums cover offsets
// -2..+2; at a corner the columns added along one side are removed along the
// next, which keeps every pixel's weight at 0 or 1.
//
// The fit needs the sums centred on P (coordinates dx = x - x0, dy = y - y0).
// They are kept centred on the current position all along: a step by d
// moves every point by -d relative to the centre, which changes the sums by
// closed formulas (Sx -= N dx, Sxx -= 2 dx Sx - N dx^2, Sux -= dx Su, ...),
// and a point joins or leaves with its small offset from P. The geometric
// sums are then small integers and every value sum a sum of floats times
// small integers: exact in double precision, as centring absolute sums at
// each step would be, without their large intermediate terms.
//
// The walk runs as four straight legs, one per step direction, with the
// direction a compile-time constant. Away from the corners a window column
// crosses the current ring's side and the previous ring's side at known
// places, so its two pixels are read by index arithmetic; near the corners
// (and on rings too small for that layout) the general perimeter test
// decides. Both give the same pixels in the same order.
template <bool kKeepModel>
void VectorResampleProc::BoundaryExtrapolator::growByFit(GeRectangle<int> const& newRegion, Vector<RingValue>& out,
                                                         LocalModel* model) const {
  constexpr int maxVertices = 25;
  RingValue const* current = _rings[_current].data();
  RingValue const* previous = _rings[1 - _current].data();
  GeRectangle<int> const region = _region;
  GeRectangle<int> const innerRegion = _innerRegion;
  bool const similarity = _method == SimilarityExtrapolation;

  // Centred running sums: count, dx, dy, dx^2, dx dy, dy^2 (integers), and
  // u, v, u dx, u dy, v dx, v dy.
  int nVertices = 0;
  int sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
  double su = 0, sv = 0, sux = 0, suy = 0, svx = 0, svy = 0;

  int const X1 = newRegion.x1();
  int const X2 = newRegion.x2();
  int const Y1 = newRegion.y1();
  int const Y2 = newRegion.y2();

  // Ring layout for the direct column reads. They need the previous ring at
  // least 2 x 2 (distinct left and right pixels, distinct top and bottom
  // rows); otherwise the ranges below are empty and every column takes the
  // general path. A column along a horizontal leg is direct when its x lies
  // in [hLo, hHi), along a vertical leg when its y lies in (vLo, vHi).
  int const rx1 = region.x1();
  int const ry1 = region.y1();
  int const rw = region.x2() - region.x1();
  int const rh = region.y2() - region.y1();
  int const ix1 = innerRegion.x1();
  int const iy1 = innerRegion.y1();
  int const iw = innerRegion.x2() - innerRegion.x1();
  int const ih = innerRegion.y2() - innerRegion.y1();
  // A mesh two pixels across has an empty inner rectangle: every pixel is
  // on the current ring, and no previous ring exists to read.
  bool const hasInner = !innerRegion.isEmpty();
  bool const layoutKnown = iw >= 2 && ih >= 2;
  int const hLo = ix1;
  int const hHi = layoutKnown ? innerRegion.x2() : ix1;
  int const vLo = iy1;
  int const vHi = layoutKnown ? innerRegion.y2() - 1 : iy1;
  int const currentBottom = rw + 2 * rh - 4 - rx1;    // + x: bottom row of the current ring
  int const previousBottom = iw + 2 * ih - 4 - ix1;   // + x: bottom row of the previous ring
  int const currentMiddle = rw - 2 - 2 * ry1;         // + 2 y: left pixel of a middle row
  int const previousMiddle = iw - 2 - 2 * iy1;

  // A ring pixel at offset (rx, ry) from P joins (sign +1) or leaves (-1).
  auto gather = [&](int rx, int ry, RingValue const& value, auto sign) __attribute__((always_inline)) {
    constexpr int w = decltype(sign)::value;
    nVertices += w;
    sx += w * rx;
    sy += w * ry;
    sxx += w * rx * rx;
    sxy += w * rx * ry;
    syy += w * ry * ry;
    double const u = value.u;
    double const v = value.v;
    double const fx = w * rx;
    double const fy = w * ry;
    if constexpr (w > 0) {
      su += u;
      sv += v;
    } else {
      su -= u;
      sv -= v;
    }
    sux += u * fx;
    suy += u * fy;
    svx += v * fx;
    svy += v * fy;
  };

  // One step of the walk to P = (x0, y0) by d = (dx, dy): re-centre the sums,
  // drop the trailing column and add the leading one.
  auto advance = [&](int x0, int y0, auto dxc, auto dyc) __attribute__((always_inline)) {
    constexpr int dx = decltype(dxc)::value;
    constexpr int dy = decltype(dyc)::value;
    // Inward normal (the walk is clockwise with y downward).
    constexpr int nx = -dy;
    constexpr int ny = dx;

    sxx += nVertices * dx * dx - 2 * dx * sx;
    syy += nVertices * dy * dy - 2 * dy * sy;
    sxy += nVertices * dx * dy - dy * sx - dx * sy;
    sx -= nVertices * dx;
    sy -= nVertices * dy;
    sux -= dx * su;
    suy -= dy * su;
    svx -= dx * sv;
    svy -= dy * sv;

    // The window's column at offset m along the walk, j = 0, 1, 2 across it.
    // Every step is one pixel along a side of the new rectangle, so the
    // j = 0 pixel lies on that side's line, outside both older rings; the
    // j = 1 pixel lies on the current ring's side line (never on the
    // previous ring); only j = 2 can be on either.
    auto column = [&](auto mc, auto sign) __attribute__((always_inline)) {
      constexpr int m = decltype(mc)::value;
      int const q = dx != 0 ? x0 + m * dx : y0 + m * dy;  // position along the leg
      int i1 = -1;
      int i2 = -1;
      if constexpr (dx == 1) {
        if (q >= hLo && q < hHi) i1 = q - rx1, i2 = q - ix1;
      } else if constexpr (dx == -1) {
        if (q >= hLo && q < hHi) i1 = currentBottom + q, i2 = previousBottom + q;
      } else if constexpr (dy == 1) {
        if (q > vLo && q < vHi) i1 = currentMiddle + 2 * q + 1, i2 = previousMiddle + 2 * q + 1;
      } else {
        if (q > vLo && q < vHi) i1 = currentMiddle + 2 * q, i2 = previousMiddle + 2 * q;
      }
      if (i1 >= 0) {
        gather(m * dx + nx, m * dy + ny, current[i1], sign);
        gather(m * dx + 2 * nx, m * dy + 2 * ny, previous[i2], sign);
        return;
      }
      for (int j = 1; j <= 2; ++j) {
        int const rx = m * dx + j * nx;
        int const ry = m * dy + j * ny;
        int const qx = x0 + rx;
        int const qy = y0 + ry;
        if (isOnBoundary(region, qx, qy)) {
          gather(rx, ry, current[getBoundaryIndex(region, qx, qy)], sign);
        } else if (j == 2 && hasInner && isOnBoundary(innerRegion, qx, qy)) {
          gather(rx, ry, previous[getBoundaryIndex(innerRegion, qx, qy)], sign);
        }
      }
    };
    column(std::integral_constant<int, -3>(), std::integral_constant<int, -1>());
    column(std::integral_constant<int, +2>(), std::integral_constant<int, +1>());
  };

  // The fitted value at P, stored at P's place outIndex in the new ring.
  // (The step and fit lambdas are forced inline: called out of line, the
  // sums they share would live in memory instead of registers.)
  auto fit = [&](int outIndex) __attribute__((always_inline)) {
    QX_ASSERT(nVertices >= 4);
    QX_ASSERT(nVertices <= maxVertices);

    double const N = nVertices;
    double const Sx = sx;
    double const Sy = sy;
    double const Sxx = sxx;
    double const Syy = syy;
    double const Sxy = sxy;
    double const Sux = sux;
    double const Svx = svx;
    double const Suy = suy;
    double const Svy = svy;

    double uP = 0.0;
    double vP = 0.0;
    // The gradient, kept only for the last fitted ring.
    double ux = 0.0, uy = 0.0, vx = 0.0, vy = 0.0;
    if (similarity) {
      // u = uP + alpha dx - beta dy, v = vP + beta dx + alpha dy: the normal
      // equations in (uP, vP, alpha, beta) solved for the constant terms;
      // alpha and beta then follow from their own two equations.
      double const S = Sxx + Syy;
      double const D = N * S - Sx * Sx - Sy * Sy;
      if (D != 0.0) {
        uP = (S * su + (Svx - Suy) * Sy - Sx * Sux - Sx * Svy) / D;
        vP = (S * sv - (Sux + Svy) * Sy + (Suy - Svx) * Sx) / D;
        if constexpr (kKeepModel) {
          double const alpha = (Sux + Svy - uP * Sx - vP * Sy) / S;
          double const beta = (Svx - Suy + uP * Sy - vP * Sx) / S;
          ux = vy = alpha;
          vx = beta;
          uy = -beta;
        }
      }
    } else {
      // u = uP + alpha dx + beta dy (and v with its own coefficients), from
      // the 3 x 3 normal equations
      //   [N Sx Sy; Sx Sxx Sxy; Sy Sxy Syy] (uP, alpha, beta) = (Su, Sux, Suy)
      // by Cramer's rule: the matrix is symmetric, so its adjugate's first row
      // (c0, c1, c2) gives the determinant and both constant terms, and the
      // rest of the adjugate the gradients.
      double const c0 = Sxx * Syy - Sxy * Sxy;
      double const c1 = Sy * Sxy - Sx * Syy;
      double const c2 = Sx * Sxy - Sy * Sxx;
      double const D = N * c0 + Sx * c1 + Sy * c2;
      if (D != 0.0) {
        uP = (su * c0 + Sux * c1 + Suy * c2) / D;
        vP = (sv * c0 + Svx * c1 + Svy * c2) / D;
        if constexpr (kKeepModel) {
          double const a11 = N * Syy - Sy * Sy;
          double const a12 = Sx * Sy - N * Sxy;
          double const a22 = N * Sxx - Sx * Sx;
          ux = (su * c1 + Sux * a11 + Suy * a12) / D;
          uy = (su * c2 + Sux * a12 + Suy * a22) / D;
          vx = (sv * c1 + Svx * a11 + Svy * a12) / D;
          vy = (sv * c2 + Svx * a12 + Svy * a22) / D;
        }
      }
    }
    RingValue value{static_cast<float>(uP), static_cast<float>(vP)};
    // A fit that overflows single precision is treated like a singular one.
    bool const usable = std::isfinite(value.u) && std::isfinite(value.v);
    if (!usable) value = {0.0f, 0.0f};

    QX_ASSERT(outIndex <= getBoundarySize(newRegion));
    out[outIndex] = value;
    if constexpr (kKeepModel) model[outIndex] = usable ? LocalModel{value.u, value.v, ux, uy, vx, vy} : LocalModel{};
  };

  using Zero = std::integral_constant<int, 0>;
  using Plus = std::integral_constant<int, +1>;
  using Minus = std::integral_constant<int, -1>;
  // Warm-up: from (X1 - 2, Y1) to just left of the top-left corner, which
  // fills the window ahead of the first fitted pixel.
  advance(X1 - 1, Y1, Plus(), Zero());
  // Top row rightward, the right column down to the bottom-right corner, the
  // bottom row leftward to the bottom-left corner, and the left column up to
  // just below the top-left corner.
  // The places follow the ring's storage order (see getBoundaryIndex).
  int const W = X2 - X1;
  int const H = Y2 - Y1;
  int const bottomRow = W + 2 * H - 4 - X1;  // + x
  int const middleRow = W - 2 - 2 * Y1;      // + 2 y: left pixel
  for (int x = X1; x < X2; ++x) {
    advance(x, Y1, Plus(), Zero());
    fit(x - X1);
  }
  for (int y = Y1 + 1; y < Y2 - 1; ++y) {
    advance(X2 - 1, y, Zero(), Plus());
    fit(middleRow + 2 * y + 1);
  }
  advance(X2 - 1, Y2 - 1, Zero(), Plus());
  fit(bottomRow + X2 - 1);
  for (int x = X2 - 2; x >= X1; --x) {
    advance(x, Y2 - 1, Minus(), Zero());
    fit(bottomRow + x);
  }
  for (int y = Y2 - 2; y > Y1; --y) {
    advance(X1, y, Zero(), Minus());
    fit(middleRow + 2 * y);
  }
}

}  // namespace Qx::Warper2D
