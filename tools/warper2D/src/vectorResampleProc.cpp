// Vector resampling: the direct path (mesh as a lookup table), the scatter
// path (moved mesh triangles scan converted into the destination), and the
// ring-by-ring least-squares extrapolation both use outside the mesh.
#include "vectorResampleProc.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
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

bool isUsable(float v) { return std::fabs(v) <= VectorResampleProc::kMaxUsableCoordinate; }

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

// The position and the value of grid points under the blend amounts: drawn
// at p + a (m - p), carrying p + b (m - p), the products in double. Amounts
// of exactly 0 or 1 (what the resampler nodes pass) give p or m exactly, so
// those are taken directly.
class VertexMaker {
 public:
  VertexMaker(double a, double b, GeRectangle<int> const& destination)
      : _a(a), _b(b), _aMode(modeOf(a)), _bMode(modeOf(b)),
        _rowLo(static_cast<float>(destination.y1())), _rowHi(static_cast<float>(destination.y2())) {}

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

// Where the scatter path draws: the destination's and the mask's pixels
// addressed directly, so that the span loop makes no calls.
struct ScatterTarget {
  GeRectangle<int> region;
  std::byte* pixels;      // destination pixel (region.x1(), region.y1())
  std::ptrdiff_t stride;  // bytes
  std::uint8_t* mask;     // mask byte of the same pixel
  std::ptrdiff_t maskStride;
  float colLo;  // region.x1() and region.x2() as floats, for clipping spans
  float colHi;
  int counter;

  ScatterTarget(GeRectangle<int> const& r, IxWriteGuard& destination, IxWriteGuard& coverage, int count)
      : region(r),
        pixels(destination.getPixelAddress(r.x1(), r.y1())),
        stride(destination.getRowStride()),
        mask(reinterpret_cast<std::uint8_t*>(coverage.getPixelAddress(r.x1(), r.y1()))),
        maskStride(coverage.getRowStride()),
        colLo(static_cast<float>(r.x1())),
        colHi(static_cast<float>(r.x2())),
        counter(count) {}
};

// Row y between the left edge l0 -> l1 and the right edge r0 -> r1: the
// crossing of either edge and the values carried there by linear
// interpolation along the edge, then across the span for every pixel centre
// x with xL <= x < xR. All in single precision.
inline void fillRow(ScatterVertex const& l0, ScatterVertex const& l1, ScatterVertex const& r0,
                    ScatterVertex const& r1, int y, ScatterTarget& target) {
  GeRectangle<int> const& region = target.region;
  float const fy = static_cast<float>(y);
  float const sl = (fy - l0.y) / (l1.y - l0.y);
  float const xL = l0.x + sl * (l1.x - l0.x);
  float const sr = (fy - r0.y) / (r1.y - r0.y);
  float const xR = r0.x + sr * (r1.x - r0.x);

  // Clip before converting to int so that the conversion stays in range
  // (and a NaN crossing gives no span at all).
  float const cl = std::max(xL, target.colLo);
  float const cr = std::min(xR, target.colHi);
  if (!(cl < cr)) return;
  int const c0 = ceilToInt(cl);
  int const c1 = ceilToInt(cr);
  if (c0 >= c1) return;  // no pixel centre on this row of the triangle

  float const uL = l0.u + sl * (l1.u - l0.u);
  float const vL = l0.v + sl * (l1.v - l0.v);
  float const uR = r0.u + sr * (r1.u - r0.u);
  float const vR = r0.v + sr * (r1.v - r0.v);
  float const du = uR - uL;
  float const dv = vR - vL;
  float const dx = xR - xL;  // > 0: cl < cr
  std::ptrdiff_t const row = y - region.y1();
  float* out = reinterpret_cast<float*>(target.pixels + row * target.stride) + 3 * (c0 - region.x1());
  std::uint8_t* written = target.mask + row * target.maskStride + (c0 - region.x1());
  for (int x = c0; x < c1; ++x, out += 3, ++written) {
    if (*written) continue;  // an earlier triangle reached this pixel
    float const f = (static_cast<float>(x) - xL) / dx;
    out[0] = uL + f * du;
    out[1] = vL + f * dv;
    out[2] = 1.0f;
    *written = 1;
    ++target.counter;
  }
}

// Rows [firstRow, endRow) between the same two edges.
inline void fillSpans(ScatterVertex const& l0, ScatterVertex const& l1, ScatterVertex const& r0,
                      ScatterVertex const& r1, int firstRow, int endRow, ScatterTarget& target) {
  for (int y = firstRow; y < endRow; ++y) fillRow(l0, l1, r0, r1, y, target);
}

// Scan converts one triangle: vertices ordered top T, middle M, bottom Bo;
// the long edge T -> Bo is one side of every span, T -> M then M -> Bo the
// other. Rows are the integer rows y with T.y <= y < Bo.y. Forced inline:
// called twice per mesh cell, its call overhead is a tenth of the work.
[[gnu::always_inline]] inline void rasterizeTriangle(ScatterVertex const* p0, ScatterVertex const* p1,
                                                     ScatterVertex const* p2, ScatterTarget& target) {
  // Order by y. Among equal y the order does not change the result: two
  // vertices on one row lead both edges to (or from) the third, which give
  // the same spans whichever is named first.
  if (p1->y < p0->y) std::swap(p0, p1);
  if (p2->y < p1->y) std::swap(p1, p2);
  if (p1->y < p0->y) std::swap(p0, p1);
  ScatterVertex const& top = *p0;
  ScatterVertex const& mid = *p1;
  ScatterVertex const& bottom = *p2;

  int const y2 = target.region.y2();
  int const endRow = std::min(bottom.firstRow, y2);
  if (top.firstRow >= endRow) return;  // no row centre inside the triangle's span

  // With y growing downward, a negative cross product of (Bo - T) and
  // (M - T) puts M to the right of the long edge: the long edge is the left.
  float const cross = (bottom.x - top.x) * (mid.y - top.y) - (bottom.y - top.y) * (mid.x - top.x);
  bool const longEdgeLeft = cross < 0.0f;

  // Rows above M's first row take the short edge T -> M, the others M -> Bo.
  int const midRow = std::min(mid.firstRow, y2);
  if (longEdgeLeft) {
    fillSpans(top, bottom, top, mid, top.firstRow, midRow, target);
    fillSpans(top, bottom, mid, bottom, mid.firstRow, endRow, target);
  } else {
    fillSpans(top, mid, top, bottom, top.firstRow, midRow, target);
    fillSpans(mid, bottom, top, bottom, mid.firstRow, endRow, target);
  }
}

// A unit cell with corners TL (c, r), TR (c + 1, r), BL (c, r + 1) and
// BR (c + 1, r + 1), split along TL -> BR; (TL, TR, BR) is drawn first.
void rasterizeCell(ScatterVertex const& tl, ScatterVertex const& tr, ScatterVertex const& bl,
                   ScatterVertex const& br, ScatterTarget& target) {
  rasterizeTriangle(&tl, &tr, &br, target);
  rasterizeTriangle(&tl, &br, &bl, target);
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
      out[0] = identity ? fx : fx + (0.0f - fx) * t;
      out[1] = identity ? fy : fy + (0.0f - fy) * t;
      out[2] = 1.0f;
    }
    checkInterruption();
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry point

void VectorResampleProc::resample(IxTile const& destination, IxTile const& mesh, double positionAmount,
                                  double valueAmount, int method) {
  // Tile validity is asserted by the host's guards as each path opens them.
  positionAmount = usableAmount(positionAmount);
  if (std::fabs(positionAmount) < kMinPositionAmount) {
    resampleDirect(destination, mesh, valueAmount, method);
  } else {
    resampleScattered(destination, mesh, valueAmount, positionAmount, method);
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
        out[3 * i] = fx + (mx - fx) * t;
        out[3 * i + 1] = fy + (my - fy) * t;
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
    out[0] = fx + (r.u - fx) * t;
    out[1] = fy + (r.v - fy) * t;
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
  ScatterTarget target(dstRegion, destination, mask, counter);
  fillSpans(left0, left1, right0, right1, std::max(firstRow, dstRegion.y1()), std::min(endRow, dstRegion.y2()),
            target);
  counter = target.counter;
}

void VectorResampleProc::resampleScattered(IxTile const& destination, IxTile const& meshTile, double valueAmount,
                                           double positionAmount, int method) {
  IxWriteGuard dst(destination);
  IxReadGuard mesh(meshTile);
  QX_ASSERT(isRgbFloat(dst.getPixelFormat()));
  QX_ASSERT(isRgbFloat(mesh.getPixelFormat()));

  ipSet(dst, CoRgbaColorTyped<float>::ZERO, nullptr);
  valueAmount = usableAmount(valueAmount);
  positionAmount = usableAmount(positionAmount);
  GeRectangle<int> const d = dst.getPixelRegion();
  if (d.isEmpty()) return;
  GeRectangle<int> const m = mesh.getPixelRegion();
  if (m.isEmpty()) {
    // Nothing to draw. An identity warp drawn anywhere gives the identity, so
    // that is what the rings of "no known warp" would fill in.
    if (method != NoExtrapolation) fillWithoutMesh(dst, 0.0f, true);
    return;
  }

  IxTile const maskTile(IxPixelFormat(IxPixelFormat::ALPHA, IxPixelFormat::UINT8), d);
  IxWriteGuard mask(maskTile);
  ScatterTarget target(d, dst, mask, 0);
  long long const area = static_cast<long long>(d.getWidth()) * d.getHeight();

  VertexMaker const makeVertex(positionAmount, valueAmount, d);

  // Mesh pass: vertices two rows at a time, cells in row-major order, each
  // split along its A -> D diagonal with (A, B, D) drawn before (A, D, C).
  int const meshWidth = m.getWidth();
  if (meshWidth >= 2 && m.getHeight() >= 2) {
    Vector<ScatterVertex> rows[2];
    rows[0].resize(meshWidth);
    rows[1].resize(meshWidth);
    auto buildRow = [&](int y, ScatterVertex* out) {
      float const* src = mesh.getRow<float>(y);
      for (int i = 0; i < meshWidth; ++i) {
        int const x = m.x1() + i;
        out[i] = makeVertex(x, y, readMeshValue(src + 3 * i, x, y));
      }
    };
    buildRow(m.y1(), rows[0].data());
    for (int r = m.y1(); r < m.y2() - 1; ++r) {
      ScatterVertex const* upper = rows[(r - m.y1()) & 1].data();
      ScatterVertex* lower = rows[(r + 1 - m.y1()) & 1].data();
      buildRow(r + 1, lower);
      for (int i = 0; i < meshWidth - 1; ++i) {
        rasterizeCell(upper[i], upper[i + 1], lower[i], lower[i + 1], target);
      }
      checkInterruption();
    }
  }

  if (target.counter >= area || method == NoExtrapolation) return;

  // Ring pass: the extrapolated rings, moved and drawn like the mesh, fill in
  // what the moved mesh left uncovered.
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
  while (target.counter < area && idle < kMaxIdleRings) {
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
      rasterizeCell(corner(c, r), corner(c + 1, r), corner(c, r + 1), corner(c + 1, r + 1), target);
    };

    int const before = target.counter;
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
