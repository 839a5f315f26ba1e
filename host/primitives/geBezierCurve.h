// Cubic Bezier shape curves of the host geometry library.
//
// A curve is a list of control points, each with an incoming and an outgoing
// tangent handle, and a closure value. Segment i runs from point i, leaving
// along its outgoing handle, to point i + 1 (point 0 after the last point of
// a closed curve), arriving along that point's incoming handle. An open curve
// of N points has N - 1 segments, a closed one N (a one-point curve has none).
//
// Coordinates are float pixel coordinates of whatever frame the owner uses;
// the curve applies no scale of its own.
//
// Handles are kept twice, and both views always agree:
//   - as absolute handle points (the exact values a caller gave), which
//     getCtrlPoints returns and the point-list constructor takes, so the two
//     round-trip bit for bit;
//   - in the per-point tuple store (GeCurveTupleContainer), which curve
//     evaluators read: tuple 0 is the incoming handle and tuple 2 the outgoing
//     one, each as (angle in radians, length) relative to the control point;
//     tuple 1 is the control point itself (x, y).
//
// Global curve parameter: t in [0, n], n = getSegmentCount(); floor(t)
// selects the segment and the fraction the local parameter u in [0, 1].
//
// Bad input: non-finite coordinates are stored as given; evaluation then
// yields non-finite points but never fails or hangs. An empty curve (no
// points) evaluates to nothing.
//
// Threading: const operations may run concurrently; a curve is not modified
// while shared.
#pragma once

#include "base/vector.h"
#include "primitives/geAffineMatrix2.h"
#include "primitives/gePoint2.h"

// Fixed-stride store of per-point tuples of two floats: `_pointCount` tuples
// per control point. Reading a tuple index at or beyond `_pointCount` is an
// internal invariant failure ("ptIdx < _pointCount").
class GeCurveTupleContainer {
 public:
  explicit GeCurveTupleContainer(int pointCount = 3) : _pointCount(pointCount) {}

  int getPointCount() const { return _pointCount; }  // tuples per control point
  int getCtrlPointCount() const { return static_cast<int>(_values.size()) / (2 * _pointCount); }

  // Tuple `ptIdx` of control point `ctrlPoint` as (first, second).
  GePoint2<float> getTuple(int ctrlPoint, int ptIdx) const;
  void setTuple(int ctrlPoint, int ptIdx, GePoint2<float> const& value);

  // Appends a control point whose tuples are all (0, 0).
  void appendCtrlPoint();
  void clear() { _values.clear(); }

 private:
  int _pointCount;
  Vector<float> _values;  // _pointCount * 2 floats per control point
};

class GeBezierCurve {
 public:
  // Closure values as the closure query reports them.
  enum Closure { OPEN = 0, CLOSED = 1 };

  // How addPoint sets the handles of the new point.
  enum TangentMode {
    CORNER = 0,  // both handles zero: straight lines meet at the point
    SMOOTH = 1,  // Catmull-Rom handles, (next - previous) / 6, kept up to date
                 // on this point and its neighbours as further points arrive
  };

  // Tuple indices of the tangent store.
  static constexpr int kInHandleTuple = 0;
  static constexpr int kPointTuple = 1;
  static constexpr int kOutHandleTuple = 2;
  static constexpr int kTuplesPerPoint = 3;

  GeBezierCurve() = default;

  // From three points per control point, in this order: incoming handle
  // point, control point, outgoing handle point (absolute positions). A
  // size that is not a multiple of three drops the incomplete tail. Any
  // closure value other than CLOSED makes an open curve.
  GeBezierCurve(Vector<GePoint2<float>> const& ctrlPoints, int closure);

  // The curve `curve` mapped through `m`: points and handle points alike.
  GeBezierCurve(GeBezierCurve const& curve, GeAffineMatrix2<float> const& m);

  // --- structure -----------------------------------------------------------
  int getClosure() const { return _closure; }  // CLOSED (1) or OPEN (0)
  bool isClosed() const { return _closure == CLOSED; }
  void setClosure(int closure);

  int getNumCtrlPoints() const { return static_cast<int>(_points.size()); }
  // Number of control points minus one (0 for a curve of 0 or 1 point).
  int getOpenSegmentCount() const { return _points.size() > 1 ? static_cast<int>(_points.size()) - 1 : 0; }
  // Segments actually drawn: open segment count, plus one when closed and
  // there is at least one open segment.
  int getSegmentCount() const { return getOpenSegmentCount() + (isClosed() && _points.size() > 1 ? 1 : 0); }

  // --- control points and handles --------------------------------------------
  // Control point i, 0 <= i < getNumCtrlPoints() (asserted).
  GePoint2<float> getCtrlPoint(int i) const;
  // Absolute handle points of control point i.
  GePoint2<float> getInHandle(int i) const;
  GePoint2<float> getOutHandle(int i) const;
  // The tangent store: (angle, length) handles in tuples 0 and 2.
  GeCurveTupleContainer const& getTangents() const { return _tangents; }

  // Three points per control point: incoming handle point, control point,
  // outgoing handle point. Replaces the contents of `out`.
  void getCtrlPoints(Vector<GePoint2<float>>& out) const;

  // Appends a control point. CORNER gives zero handles; SMOOTH gives
  // Catmull-Rom handles and refreshes those of the SMOOTH neighbours.
  void addPoint(GePoint2<float> const& p, TangentMode mode = CORNER);
  // Appends a control point with explicit absolute handle points.
  void addPoint(GePoint2<float> const& inHandle, GePoint2<float> const& p, GePoint2<float> const& outHandle);
  // Replaces the handles of point i (absolute positions).
  void setHandles(int i, GePoint2<float> const& inHandle, GePoint2<float> const& outHandle);

  // --- evaluation ------------------------------------------------------------
  // Bezier control points of segment k, 0 <= k < getSegmentCount() (asserted).
  void getSegment(int k, GePoint2<float>& p0, GePoint2<float>& c1, GePoint2<float>& c2, GePoint2<float>& p3) const;

  // Point at global parameter t; t is clamped to [0, n] and a NaN counts as 0.
  // A one-point curve gives its point; an empty curve gives (0, 0).
  GePoint2<float> evaluate(double t) const;

  // Flattens the curve into a polyline that stays within `tolerance` pixels
  // of the curve: every point of the curve is within `tolerance` of the
  // polyline (each piece's control points lie within `tolerance` of its
  // chord, and a cubic stays in the convex hull of its control points).
  // Subdivision depth is capped at kMaxFlattenDepth levels per segment, so a
  // tolerance of 0 (or non-finite input) still terminates.
  // Output: an open curve gives its start point, ..., its end point; a
  // closed curve gives point 0, ..., the last vertex before returning to
  // point 0, which is not repeated (a polygon, closing edge implied). A
  // one-point curve gives that point; an empty curve nothing. Replaces the
  // contents of `out`.
  void evaluateCurve(Vector<GePoint2<float>>& out, float tolerance) const;

  static constexpr int kMaxFlattenDepth = 12;

 private:
  void storeTangents(int i);
  void refreshSmoothHandles(int i);

  int _closure = OPEN;
  Vector<GePoint2<float>> _points;
  Vector<GePoint2<float>> _inHandles;   // absolute
  Vector<GePoint2<float>> _outHandles;  // absolute
  Vector<unsigned char> _smooth;        // 1 where addPoint used SMOOTH
  GeCurveTupleContainer _tangents{kTuplesPerPoint};
};
