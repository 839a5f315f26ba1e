// Power-basis tables of shape curves and the first-root search that the
// curve rasteriser uses to find where a segment leaves a pixel.
#include "curveEvaluator.h"

#include <algorithm>
#include <cmath>

#include "base/assertions.h"
#include "primitives/geBezierCurve.h"

namespace Qx::Warper2D {

namespace {

// Tangent handle stored as (angle in radians, length) -> handle end point.
GePoint2<float> handleEnd(GePoint2<float> const& p, float angle, float length) {
  return {p.x() + length * std::cos(angle), p.y() + length * std::sin(angle)};
}

}  // namespace

CurveEvaluator::Segment CurveEvaluator::Segment::fromBezier(GePoint2<float> const& p0, GePoint2<float> const& c1,
                                                            GePoint2<float> const& c2, GePoint2<float> const& p3) {
  // Bernstein to power basis:
  //   a0 = P0, a1 = 3 (C1 - P0), a2 = 3 P0 - 6 C1 + 3 C2,
  //   a3 = -P0 + 3 C1 - 3 C2 + P3.
  Segment s;
  s.a0x = p0.x();
  s.a0y = p0.y();
  s.a1x = -3.0f * p0.x() + 3.0f * c1.x();
  s.a1y = -3.0f * p0.y() + 3.0f * c1.y();
  s.a2x = 3.0f * p0.x() - 6.0f * c1.x() + 3.0f * c2.x();
  s.a2y = 3.0f * p0.y() - 6.0f * c1.y() + 3.0f * c2.y();
  s.a3x = -p0.x() + 3.0f * c1.x() - 3.0f * c2.x() + p3.x();
  s.a3y = -p0.y() + 3.0f * c1.y() - 3.0f * c2.y() + p3.y();
  return s;
}

CurveEvaluator::CurveEvaluator(GeBezierCurve const& curve) {
  _closed = curve.getClosure() == GeBezierCurve::CLOSED;
  int const m = curve.getOpenSegmentCount();
  _n = (_closed && m > 0) ? m + 1 : m;
  int const records = std::max(_n, 1);
  _coefficients = std::make_unique<Segment[]>(records);
  std::fill_n(_coefficients.get(), records, Segment{});

  if (curve.getNumCtrlPoints() == 0) {
    _empty = true;
    return;
  }
  if (_n == 0) {
    // A single point: a constant cubic.
    GePoint2<float> const p = curve.getCtrlPoint(0);
    _coefficients[0] = Segment::fromBezier(p, p, p, p);
    return;
  }

  int const count = m + 1;
  GeCurveTupleContainer const& tangents = curve.getTangents();
  for (int i = 0; i < _n; ++i) {
    int const j = (i + 1) % count;
    GePoint2<float> const p0 = curve.getCtrlPoint(i);
    GePoint2<float> const p3 = curve.getCtrlPoint(j);
    GePoint2<float> const out = tangents.getTuple(i, GeBezierCurve::kOutHandleTuple);
    GePoint2<float> const in = tangents.getTuple(j, GeBezierCurve::kInHandleTuple);
    _coefficients[i] = Segment::fromBezier(p0, handleEnd(p0, out.x(), out.y()), handleEnd(p3, in.x(), in.y()), p3);
  }
}

CurveEvaluator::~CurveEvaluator() = default;

CurveEvaluator::Segment const& CurveEvaluator::getSegment(int k) const {
  QX_ASSERT(0 <= k && k < std::max(_n, 1));
  return _coefficients[k];
}

bool CurveEvaluator::hasFiniteCoefficients() const {
  int const records = std::max(_n, 1);
  for (int k = 0; k < records; ++k) {
    Segment const& s = _coefficients[k];
    for (float v : {s.a0x, s.a0y, s.a1x, s.a1y, s.a2x, s.a2y, s.a3x, s.a3y})
      if (!std::isfinite(v)) return false;
  }
  return true;
}

float CurveEvaluator::getMaxAbsCoefficient() const {
  float m = 0.0f;
  int const records = std::max(_n, 1);
  for (int k = 0; k < records; ++k) {
    Segment const& s = _coefficients[k];
    for (float v : {s.a0x, s.a0y, s.a1x, s.a1y, s.a2x, s.a2y, s.a3x, s.a3y}) m = std::max(m, std::fabs(v));
  }
  return m;
}

int CurveEvaluator::locate(double param, float& u) const {
  int k = static_cast<int>(std::floor(param));
  // t = n is the end of the last segment, not the start of a segment n.
  if (_n > 0 && k == _n) k = _n - 1;
  u = static_cast<float>(param - k);
  return k;
}

GePoint2<float> CurveEvaluator::evaluate(double param) const {
  QX_ASSERT(0.0 <= param);
  QX_ASSERT(param <= static_cast<float>(_n));
  float u;
  int const k = locate(param, u);
  return _coefficients[k].point(u);
}

GePoint2<float> CurveEvaluator::evaluateDerivative(double param) const {
  QX_ASSERT(0.0 <= param);
  QX_ASSERT(param <= static_cast<float>(_n));
  if (_n == 0) return {1.0f, 0.0f};
  float u;
  int const k = locate(param, u);
  return _coefficients[k].derivative(u);
}

GePoint2<float> CurveEvaluator::evaluateUnitTangent(double param) const {
  QX_ASSERT(0.0 <= param);
  QX_ASSERT(param <= static_cast<float>(_n));
  if (_n == 0) return {1.0f, 0.0f};

  GePoint2<float> const d = evaluateDerivative(param);
  float const d2 = d.x() * d.x() + d.y() * d.y();
  bool const atJoint = std::fabs(param - std::floor(param + 0.5)) < 1.0e-4f;
  if (d2 != 0.0f && !atJoint) {
    float const len = std::sqrt(d2);
    return {d.x() / len, d.y() / len};
  }

  // At a joint the two segments may meet at a corner, and where the
  // derivative vanishes (a cusp, a zero-length handle) it has no direction:
  // average the directions a little way to either side instead.
  double const n = _n;
  double before = param - 0.01, after = param + 0.01;
  if (_closed) {
    if (before < 0.0) before += n;
    if (after >= n) after -= n;
  } else {
    before = std::max(before, 0.0);
    after = std::min(after, n);
  }
  GePoint2<float> const s = evaluateDerivative(before) + evaluateDerivative(after);
  float const s2 = s.x() * s.x() + s.y() * s.y();
  if (s2 == 0.0f) return {1.0f, 0.0f};
  float const len = std::sqrt(s2);
  return {s.x() / len, s.y() / len};
}

namespace {

// What a closer look at an interval whose bounds straddle zero tells.
enum class Settled { Unknown, NoRoot, Root };

// Depth-first bisection for the first root, lower half first, on an explicit
// stack of kMaxPending intervals. `bound(lo, hi, pMin, pMax)` encloses the
// cubic's values over [lo, hi]; an interval is dropped when the enclosure
// proves |p| > tol. `settle(lo, hi, root)` may decide an interval that the
// enclosure cannot; otherwise the interval is split, and the midpoint of the
// first one that can no longer be split (or is narrower than tol) is the
// root. Everything below the current interval has been ruled out by then, so
// the root found is the first.
template <class Bound, class Settle>
bool bisectFirstRoot(Bound const& bound, Settle const& settle, double tMin, double tMax, double tol, double& root) {
  struct Interval {
    double lo, hi;
  };
  constexpr int kMaxPending = 200;
  Interval pending[kMaxPending];
  int nPending = 0;

  double lo = tMin, hi = tMax;
  for (;;) {
    double pMin, pMax;
    bound(lo, hi, pMin, pMax);
    // Written as a negation so that NaN bounds (non-finite coefficients)
    // also count as "no root".
    bool drop = !(pMin <= tol && pMax >= -tol);
    if (!drop) {
      Settled const s = settle(lo, hi, root);
      if (s == Settled::Root) return true;
      drop = s == Settled::NoRoot;
    }
    if (drop) {
      if (nPending == 0) return false;
      --nPending;
      lo = pending[nPending].lo;
      hi = pending[nPending].hi;
      continue;
    }

    double const mid = 0.5 * (lo + hi);
    if (nPending == kMaxPending - 1 || mid == lo || mid == hi || hi - lo <= tol) {
      root = mid;
      return true;
    }
    pending[nPending++] = {mid, hi};
    hi = mid;
  }
}

// Interval Horner for ((c3 x + c2) x + c1) x + c0 over x in [lo, hi]: every
// product takes the extremes of its four corner products.
inline void intervalHorner(double c3, double c2, double c1, double c0, double lo, double hi, double& pMin,
                           double& pMax) {
  double aMin = c3 * lo + c2, aMax = c3 * hi + c2;
  if (c3 < 0.0) std::swap(aMin, aMax);
  double p0 = aMin * lo, p1 = aMin * hi, p2 = aMax * lo, p3 = aMax * hi;
  double const bMin = std::min(std::min(p0, p1), std::min(p2, p3)) + c1;
  double const bMax = std::max(std::max(p0, p1), std::max(p2, p3)) + c1;
  p0 = bMin * lo;
  p1 = bMin * hi;
  p2 = bMax * lo;
  p3 = bMax * hi;
  pMin = std::min(std::min(p0, p1), std::min(p2, p3)) + c0;
  pMax = std::max(std::max(p0, p1), std::max(p2, p3)) + c0;
}

}  // namespace

bool findFirstRoot(float a, float b, float c, float d, double tMin, double tMax, double tol, double& root) {
  QX_ASSERT(tMin <= tMax);
  double const da = a, db = b, dc = c, dd = d;
  auto const bound = [&](double lo, double hi, double& pMin, double& pMax) {
    intervalHorner(da, db, dc, dd, lo, hi, pMin, pMax);
  };
  auto const bisectOnly = [](double, double, double&) { return Settled::Unknown; };
  return bisectFirstRoot(bound, bisectOnly, tMin, tMax, tol, root);
}

bool findFirstRootNear(float a, float b, float c, float d, double tMin, double tMax, double tol, double& root) {
  QX_ASSERT(tMin <= tMax);
  // Taylor coefficients about tMin, in double: p(tMin + s) =
  // c0 + c1 s + c2 s^2 + c3 s^3. The same cubic; only the enclosure changes.
  double const da = a, db = b, dc = c, dd = d, t0 = tMin;
  double const c3 = da;
  double const c2 = 3.0 * da * t0 + db;
  double const c1 = (3.0 * da * t0 + 2.0 * db) * t0 + dc;
  double const c0 = ((da * t0 + db) * t0 + dc) * t0 + dd;
  auto const value = [&](double t) {
    double const s = t - t0;
    return ((c3 * s + c2) * s + c1) * s + c0;
  };
  auto const slope = [&](double t) {
    double const s = t - t0;
    return (3.0 * c3 * s + 2.0 * c2) * s + c1;
  };
  auto const bound = [&](double lo, double hi, double& pMin, double& pMax) {
    intervalHorner(c3, c2, c1, c0, lo - t0, hi - t0, pMin, pMax);
  };

  // Where the slope keeps one sign over [lo, hi] the cubic is monotonic
  // there, so its end values decide: no sign change with both ends beyond
  // tol means no root; a sign change brackets the single root, which Newton's
  // method (kept inside the bracket) polishes to well within tol in a few
  // steps instead of some thirty bisections.
  auto const settle = [&](double lo, double hi, double& root) {
    double dMin, dMax;
    intervalHorner(0.0, 3.0 * c3, 2.0 * c2, c1, lo - t0, hi - t0, dMin, dMax);
    if (!(dMin > 0.0 || dMax < 0.0)) return Settled::Unknown;
    double fLo = value(lo);
    double const fHi = value(hi);
    if (std::fabs(fLo) <= tol) {
      root = lo;
      return Settled::Root;
    }
    if ((fLo < 0.0) == (fHi < 0.0)) {
      if (std::fabs(fHi) > tol) return Settled::NoRoot;
      root = hi;
      return Settled::Root;
    }
    double x0 = lo, x1 = hi;
    double x = fLo / (fLo - fHi) * (hi - lo) + lo;  // secant start
    for (int it = 0; it < 64; ++it) {
      double const fx = value(x);
      if (fx == 0.0) break;
      if ((fx < 0.0) == (fLo < 0.0)) {
        x0 = x;
        fLo = fx;
      } else {
        x1 = x;
      }
      if (x1 - x0 <= tol) {
        x = 0.5 * (x0 + x1);
        break;
      }
      double xn = x - fx / slope(x);
      if (!(xn > x0 && xn < x1)) xn = 0.5 * (x0 + x1);
      bool const converged = std::fabs(xn - x) <= 0.25 * tol;
      x = xn;
      if (converged) break;
    }
    root = x;
    return Settled::Root;
  };
  return bisectFirstRoot(bound, settle, tMin, tMax, tol, root);
}

}  // namespace Qx::Warper2D
