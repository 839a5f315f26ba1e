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

bool findFirstRoot(float a, float b, float c, float d, double tMin, double tMax, double tol, double& root) {
  QX_ASSERT(tMin <= tMax);

  struct Interval {
    double lo, hi;
  };
  constexpr int kMaxPending = 200;
  Interval pending[kMaxPending];
  int nPending = 0;

  double const da = a, db = b, dc = c, dd = d;
  double lo = tMin, hi = tMax;
  for (;;) {
    // Interval Horner: bounds of p over [lo, hi]. lo may be negative, so
    // every product takes the extremes of its four corner products.
    double aMin = da * lo + db, aMax = da * hi + db;
    if (da < 0.0) std::swap(aMin, aMax);
    double p0 = aMin * lo, p1 = aMin * hi, p2 = aMax * lo, p3 = aMax * hi;
    double const bMin = std::min(std::min(p0, p1), std::min(p2, p3)) + dc;
    double const bMax = std::max(std::max(p0, p1), std::max(p2, p3)) + dc;
    p0 = bMin * lo;
    p1 = bMin * hi;
    p2 = bMax * lo;
    p3 = bMax * hi;
    double const cMin = std::min(std::min(p0, p1), std::min(p2, p3)) + dd;
    double const cMax = std::max(std::max(p0, p1), std::max(p2, p3)) + dd;

    // The bounds prove |p| > tol: no root here. Written as a negation so
    // that NaN bounds (non-finite coefficients) also count as "no root".
    if (!(cMin <= tol && cMax >= -tol)) {
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

}  // namespace Qx::Warper2D
