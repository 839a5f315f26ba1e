// Fast evaluation of a shape curve for the curve rasteriser: the host Bezier
// curve is read once into a table of power-basis cubics, one per segment, so
// that walking the curve pixel by pixel is plain float arithmetic with no
// calls into the host curve object.
//
// Curve parameter: t in [0, n], n the number of cubic segments (the open
// segment count, plus one for a closed curve that has at least one segment).
// floor(t) selects the segment and the fraction is the local parameter
// u in [0, 1]; t = n is the end of the last segment. A curve with a single
// point has n = 0 and evaluates to that point everywhere; so does a curve
// with no points at all, as the point (0, 0), and isEmpty() tells it apart.
//
// Points are in the curve's own coordinates (pixels for the rasteriser);
// evaluation is in float, the parameter and the root search in double.
//
// Ownership and threads: an evaluator owns its table, is built for one call
// and never copied; it is immutable after construction, so concurrent reads
// are safe. A parameter outside [0, n] is a caller error reported through
// the assertion service. Non-finite control points are not rejected here:
// the table then holds non-finite values, which the rasteriser checks for
// (hasFiniteCoefficients) before it walks a curve.
#pragma once

#include <memory>

#include "primitives/gePoint2.h"

class GeBezierCurve;

namespace Qx::Warper2D {

class CurveEvaluator {
 public:
  // Power-basis cubic of one segment: P(u) = a0 + a1 u + a2 u^2 + a3 u^3.
  struct Segment {
    float a0x, a0y, a1x, a1y, a2x, a2y, a3x, a3y;

    // Horner's rule in float, the form every caller uses, so that a point
    // computed by the rasteriser and by evaluate() is bit-identical.
    GePoint2<float> point(float u) const {
      return {((a3x * u + a2x) * u + a1x) * u + a0x, ((a3y * u + a2y) * u + a1y) * u + a0y};
    }
    GePoint2<float> derivative(float u) const {
      return {(3.0f * a3x * u + 2.0f * a2x) * u + a1x, (3.0f * a3y * u + 2.0f * a2y) * u + a1y};
    }

    // The cubic through Bezier control points p0, c1, c2, p3.
    static Segment fromBezier(GePoint2<float> const& p0, GePoint2<float> const& c1, GePoint2<float> const& c2,
                              GePoint2<float> const& p3);
  };

  explicit CurveEvaluator(GeBezierCurve const& curve);
  ~CurveEvaluator();
  CurveEvaluator(CurveEvaluator const&) = delete;
  CurveEvaluator& operator=(CurveEvaluator const&) = delete;

  bool isClosed() const { return _closed; }
  // The host curve had no control point (the table then holds zeros).
  bool isEmpty() const { return _empty; }
  // Number of cubic segments n; 0 for a curve with one point.
  int getSegmentCount() const { return _n; }
  // Segment k, 0 <= k < max(n, 1).
  Segment const& getSegment(int k) const;

  // True when every coefficient of every segment is a finite number.
  bool hasFiniteCoefficients() const;
  // Largest absolute value of any coefficient: float evaluation is good to
  // a few units in the last place of this magnitude.
  float getMaxAbsCoefficient() const;

  // Point at t, 0 <= t <= n.
  GePoint2<float> evaluate(double t) const;
  // dP/du at t; (1, 0) for a one-point curve.
  GePoint2<float> evaluateDerivative(double t) const;
  // Unit tangent at t. At a segment joint (t within 1e-4 of an integer) or
  // where the derivative vanishes it is the normalised sum of the derivatives
  // 0.01 before and after t (wrapped on a closed curve, clamped on an open
  // one), and (1, 0) when that sum vanishes too.
  GePoint2<float> evaluateUnitTangent(double t) const;

 private:
  // Segment index and local parameter of a global parameter (checked).
  int locate(double t, float& u) const;

  int _n = 0;
  std::unique_ptr<Segment[]> _coefficients;
  bool _closed = false;
  bool _empty = false;
};

// First root of p(t) = ((a t + b) t + c) t + d in [tMin, tMax], to within
// `tol` in both t and p. Depth-first bisection with interval arithmetic,
// lower half first, so the root returned is the smallest the tolerance can
// separate. Returns false when the bounds prove |p| > tol over the whole
// interval. Never allocates (a fixed stack of 200 pending intervals).
// tMin > tMax is a caller error reported through the assertion service.
bool findFirstRoot(float a, float b, float c, float d, double tMin, double tMax, double tol, double& root);

// The same search with the same contract, made fast for the curve walk:
//  - the cubic is re-expanded about tMin (in double) before it is bounded.
//    Interval Horner over [lo, hi] overestimates by roughly
//    sum |coefficient_i| i |t|^(i-1) (hi - lo), many times the cubic's real
//    spread when the interval is far from t = 0; about tMin the overestimate
//    is of the order of the spread itself, so far fewer intervals survive;
//  - an interval over which the slope keeps one sign is decided by its end
//    values, and a single bracketed root is polished by Newton's method
//    (kept inside the bracket) rather than bisected down to tol.
// It returns the first root of the same cubic to within tol, usually closer
// to the true root than findFirstRoot, which stops wherever its enclosure's
// overestimate hides the sign (up to overestimate / slope before the root).
bool findFirstRootNear(float a, float b, float c, float d, double tMin, double tMax, double tol, double& root);

}  // namespace Qx::Warper2D
