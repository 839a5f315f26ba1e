// Bezier shape curves: storage of points and handles, the tangent store that
// evaluators read, transforms and adaptive flattening.
#include "primitives/geBezierCurve.h"

#include <algorithm>
#include <cmath>

#include "base/assertions.h"

GePoint2<float> GeCurveTupleContainer::getTuple(int ctrlPoint, int ptIdx) const {
  QX_ASSERT_AS("geCurveTupleContainer", ptIdx >= 0 && ptIdx < _pointCount, "ptIdx < _pointCount");
  QX_ASSERT_AS("geCurveTupleContainer", ctrlPoint >= 0 && ctrlPoint < getCtrlPointCount(),
               "ctrlPoint < getCtrlPointCount()");
  std::size_t const at = (static_cast<std::size_t>(ctrlPoint) * _pointCount + ptIdx) * 2;
  return {_values[at], _values[at + 1]};
}

void GeCurveTupleContainer::setTuple(int ctrlPoint, int ptIdx, GePoint2<float> const& value) {
  QX_ASSERT_AS("geCurveTupleContainer", ptIdx >= 0 && ptIdx < _pointCount, "ptIdx < _pointCount");
  QX_ASSERT_AS("geCurveTupleContainer", ctrlPoint >= 0 && ctrlPoint < getCtrlPointCount(),
               "ctrlPoint < getCtrlPointCount()");
  std::size_t const at = (static_cast<std::size_t>(ctrlPoint) * _pointCount + ptIdx) * 2;
  _values[at] = value.x();
  _values[at + 1] = value.y();
}

void GeCurveTupleContainer::appendCtrlPoint() { _values.resize(_values.size() + 2 * _pointCount, 0.0f); }

namespace {

// A handle as (angle, length) about its control point. A zero handle has
// angle 0, so that cos/sin of the stored angle times the length is exactly 0.
GePoint2<float> toPolar(GePoint2<float> const& point, GePoint2<float> const& handle) {
  GePoint2<float> const d = handle - point;
  float const length = std::hypot(d.x(), d.y());
  if (!(length > 0.0f)) return {0.0f, length == 0.0f ? 0.0f : length};
  return {std::atan2(d.y(), d.x()), length};
}

float distanceToSegment(GePoint2<float> const& p, GePoint2<float> const& a, GePoint2<float> const& b) {
  GePoint2<float> const ab = b - a, ap = p - a;
  float const len2 = ab.dot(ab);
  float s = len2 > 0.0f ? ap.dot(ab) / len2 : 0.0f;
  s = std::clamp(s, 0.0f, 1.0f);
  GePoint2<float> const q = a + ab * s;
  return std::hypot(p.x() - q.x(), p.y() - q.y());
}

GePoint2<float> mid(GePoint2<float> const& a, GePoint2<float> const& b) {
  return {0.5f * (a.x() + b.x()), 0.5f * (a.y() + b.y())};
}

// De Casteljau subdivision at u = 1/2 until the control polygon lies within
// `tol` of the chord, appending every piece's end point (not its start).
// The distance to a segment is convex, so its maximum over the convex hull of
// the control points is reached at a control point: when both inner control
// points are within `tol` of the chord, so is the whole piece.
void flattenSegment(GePoint2<float> const& p0, GePoint2<float> const& c1, GePoint2<float> const& c2,
                    GePoint2<float> const& p3, float tol, int depth, Vector<GePoint2<float>>& out) {
  if (depth >= GeBezierCurve::kMaxFlattenDepth ||
      (distanceToSegment(c1, p0, p3) <= tol && distanceToSegment(c2, p0, p3) <= tol) ||
      !(std::isfinite(c1.x()) && std::isfinite(c1.y()) && std::isfinite(c2.x()) && std::isfinite(c2.y()) &&
        std::isfinite(p0.x()) && std::isfinite(p0.y()) && std::isfinite(p3.x()) && std::isfinite(p3.y()))) {
    out.push_back(p3);
    return;
  }
  GePoint2<float> const a = mid(p0, c1), b = mid(c1, c2), c = mid(c2, p3);
  GePoint2<float> const ab = mid(a, b), bc = mid(b, c);
  GePoint2<float> const m = mid(ab, bc);
  flattenSegment(p0, a, ab, m, tol, depth + 1, out);
  flattenSegment(m, bc, c, p3, tol, depth + 1, out);
}

}  // namespace

GeBezierCurve::GeBezierCurve(Vector<GePoint2<float>> const& ctrlPoints, int closure)
    : _closure(closure == CLOSED ? CLOSED : OPEN) {
  std::size_t const n = ctrlPoints.size() / 3;
  _points.reserve(n);
  _inHandles.reserve(n);
  _outHandles.reserve(n);
  for (std::size_t i = 0; i < n; ++i) addPoint(ctrlPoints[3 * i], ctrlPoints[3 * i + 1], ctrlPoints[3 * i + 2]);
}

GeBezierCurve::GeBezierCurve(GeBezierCurve const& curve, GeAffineMatrix2<float> const& m)
    : _closure(curve._closure), _smooth(curve._smooth) {
  std::size_t const n = curve._points.size();
  _points.reserve(n);
  _inHandles.reserve(n);
  _outHandles.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    _points.push_back(m.apply(curve._points[i]));
    _inHandles.push_back(m.apply(curve._inHandles[i]));
    _outHandles.push_back(m.apply(curve._outHandles[i]));
    _tangents.appendCtrlPoint();
    storeTangents(static_cast<int>(i));
  }
}

void GeBezierCurve::setClosure(int closure) {
  _closure = closure == CLOSED ? CLOSED : OPEN;
  int const n = getNumCtrlPoints();
  if (n > 0) {
    refreshSmoothHandles(0);
    refreshSmoothHandles(n - 1);
  }
}

GePoint2<float> GeBezierCurve::getCtrlPoint(int i) const {
  QX_ASSERT(i >= 0 && i < getNumCtrlPoints());
  return _points[i];
}

GePoint2<float> GeBezierCurve::getInHandle(int i) const {
  QX_ASSERT(i >= 0 && i < getNumCtrlPoints());
  return _inHandles[i];
}

GePoint2<float> GeBezierCurve::getOutHandle(int i) const {
  QX_ASSERT(i >= 0 && i < getNumCtrlPoints());
  return _outHandles[i];
}

void GeBezierCurve::getCtrlPoints(Vector<GePoint2<float>>& out) const {
  out.clear();
  out.reserve(3 * _points.size());
  for (std::size_t i = 0; i < _points.size(); ++i) {
    out.push_back(_inHandles[i]);
    out.push_back(_points[i]);
    out.push_back(_outHandles[i]);
  }
}

void GeBezierCurve::storeTangents(int i) {
  _tangents.setTuple(i, kInHandleTuple, toPolar(_points[i], _inHandles[i]));
  _tangents.setTuple(i, kPointTuple, _points[i]);
  _tangents.setTuple(i, kOutHandleTuple, toPolar(_points[i], _outHandles[i]));
}

void GeBezierCurve::addPoint(GePoint2<float> const& inHandle, GePoint2<float> const& p,
                             GePoint2<float> const& outHandle) {
  _points.push_back(p);
  _inHandles.push_back(inHandle);
  _outHandles.push_back(outHandle);
  _smooth.push_back(0);
  _tangents.appendCtrlPoint();
  storeTangents(getNumCtrlPoints() - 1);
}

void GeBezierCurve::addPoint(GePoint2<float> const& p, TangentMode mode) {
  addPoint(p, p, p);
  int const last = getNumCtrlPoints() - 1;
  _smooth[last] = mode == SMOOTH ? 1 : 0;
  // The new point changes the Catmull-Rom neighbours of the previous point
  // and, on a closed curve, of point 0.
  refreshSmoothHandles(last);
  if (last > 0) refreshSmoothHandles(last - 1);
  if (last > 1) refreshSmoothHandles(0);
}

void GeBezierCurve::setHandles(int i, GePoint2<float> const& inHandle, GePoint2<float> const& outHandle) {
  QX_ASSERT(i >= 0 && i < getNumCtrlPoints());
  _inHandles[i] = inHandle;
  _outHandles[i] = outHandle;
  _smooth[i] = 0;
  storeTangents(i);
}

// Catmull-Rom tangent (next - previous) / 2 as Bezier handles a third of it
// long; an open curve's end points use the one-sided difference.
void GeBezierCurve::refreshSmoothHandles(int i) {
  int const n = getNumCtrlPoints();
  if (i < 0 || i >= n || !_smooth[i]) return;
  if (n < 2) {
    _inHandles[i] = _outHandles[i] = _points[i];
    storeTangents(i);
    return;
  }
  int prev = i - 1, next = i + 1;
  if (isClosed()) {
    prev = (prev + n) % n;
    next = next % n;
  } else {
    prev = std::max(prev, 0);
    next = std::min(next, n - 1);
  }
  float const scale = (isClosed() || (i > 0 && i < n - 1)) ? 1.0f / 6.0f : 1.0f / 3.0f;
  GePoint2<float> const t = (_points[next] - _points[prev]) * scale;
  _inHandles[i] = _points[i] - t;
  _outHandles[i] = _points[i] + t;
  storeTangents(i);
}

void GeBezierCurve::getSegment(int k, GePoint2<float>& p0, GePoint2<float>& c1, GePoint2<float>& c2,
                               GePoint2<float>& p3) const {
  QX_ASSERT(k >= 0 && k < getSegmentCount());
  int const j = (k + 1) % getNumCtrlPoints();
  p0 = _points[k];
  c1 = _outHandles[k];
  c2 = _inHandles[j];
  p3 = _points[j];
}

GePoint2<float> GeBezierCurve::evaluate(double t) const {
  if (_points.empty()) return {};
  int const n = getSegmentCount();
  if (n == 0) return _points[0];
  if (!(t >= 0.0)) t = 0.0;  // also NaN
  if (t > n) t = n;
  int k = static_cast<int>(std::floor(t));
  if (k >= n) k = n - 1;
  float const u = static_cast<float>(t - k), v = 1.0f - u;
  GePoint2<float> p0, c1, c2, p3;
  getSegment(k, p0, c1, c2, p3);
  // Bernstein form: v^3 P0 + 3 v^2 u C1 + 3 v u^2 C2 + u^3 P3.
  float const b0 = v * v * v, b1 = 3.0f * v * v * u, b2 = 3.0f * v * u * u, b3 = u * u * u;
  return {b0 * p0.x() + b1 * c1.x() + b2 * c2.x() + b3 * p3.x(), b0 * p0.y() + b1 * c1.y() + b2 * c2.y() + b3 * p3.y()};
}

void GeBezierCurve::evaluateCurve(Vector<GePoint2<float>>& out, float tolerance) const {
  out.clear();
  if (_points.empty()) return;
  float const tol = std::isfinite(tolerance) && tolerance > 0.0f ? tolerance : 0.0f;
  out.push_back(_points[0]);
  int const n = getSegmentCount();
  for (int k = 0; k < n; ++k) {
    GePoint2<float> p0, c1, c2, p3;
    getSegment(k, p0, c1, c2, p3);
    flattenSegment(p0, c1, c2, p3, tol, 0, out);
  }
  // The closing segment ends on point 0, which the polygon already starts with.
  if (isClosed() && n > 0) out.pop_back();
}
