// A pair of Bezier curves tied by links: the mapping from a parameter of the
// source curve to the matching parameter of the destination curve, used to
// carry every point of a source shape curve onto its destination curve.
//
// Links are global curve parameters (GeBezierCurve): link i of the source
// curve corresponds to link i of the destination curve. The mapping is built
// from knots, the link pairs plus, for an open source curve, the pairs
// (0, 0) and (n_src, n_dst) of the curve ends where no link already sits;
// a closed source curve with no links gets the single knot (0, 0). Between
// two consecutive knots (sa, da) -> (sb, db) a source parameter t is placed
// by its progress
//
//   f(t) = (1 - w) (t - sa) / (sb - sa) + w (L(t) - L(sa)) / (L(sb) - L(sa)),
//
// L the curve's arc length from its start, and mapped to the destination
// parameter d in [da, db] with the same progress measured on the destination
// curve. The weight w is the constructor's `arcLengthWeight`: 0 pairs
// parameters proportionally, 1 pairs equal fractions of arc length, and 0.5
// (what the warp uses) is midway, which keeps points evenly spread when one
// curve's segments are much longer than the other's but stays close to the
// control-point correspondence the user drew. An arc of zero length between
// two knots falls back to the parameter term alone.
//
// Properties: the result lies in [0, n_dst]; it is exact at every knot and
// nondecreasing between consecutive knots; identical curves with identical
// (or no) links map every parameter to itself up to rounding. On a closed
// source curve the last knot connects to the first one a lap later, and
// results wrap back by n_dst once they pass the destination's end. A closed
// destination's n_dst is the same point as 0 and comes back as 0, except
// that t = n_src may give n_dst so that a walk along the source ends on the
// right side; an open destination's n_dst is its end point and stays n_dst
// (a closed source mapped onto an open destination crosses from its end to
// its start once per lap).
//
// Bad input never fails: link pairs with a non-finite member and links
// beyond the smaller of the two vectors are dropped, each curve's links are
// wrapped round it when it is closed and clamped into [0, n] when it is
// open, then sorted by source parameter, and destination links that go
// backwards are held at their predecessor (so out-of-order links lose
// exactness but never monotonicity). Arc lengths that are not finite are
// treated as zero. A non-finite argument maps to 0.
//
// Arc length is tabulated at construction (kSamplesPerSegment chords per
// segment); mapSrcParamToDstParam does not allocate and is safe to call from
// several threads at once.
#pragma once

#include "base/vector.h"

class GeBezierCurve;

class GeLinkedBeziers {
 public:
  GeLinkedBeziers(GeBezierCurve const& src, Vector<float> const& srcLinks, GeBezierCurve const& dst,
                  Vector<float> const& dstLinks, double arcLengthWeight);

  // Destination parameter for source parameter t (clamped to [0, n_src]).
  double mapSrcParamToDstParam(double t) const;

  int getSrcSegmentCount() const { return _srcArc.segments; }
  int getDstSegmentCount() const { return _dstArc.segments; }

  static constexpr int kSamplesPerSegment = 32;

 private:
  // Cumulative arc length sampled at parameters k / kSamplesPerSegment.
  struct ArcTable {
    int segments = 0;
    Vector<double> length;  // segments * kSamplesPerSegment + 1 entries
    double total = 0.0;
    void build(GeBezierCurve const& curve);
    double at(double t) const;  // arc length from 0 to t, t in [0, segments]
  };

  struct Knot {
    double src, dst;
  };

  // Progress measure g(d) on the destination inside one knot interval.
  double progressDst(double d, double da, double db, double la, double lb) const;
  double invertDst(double f, double da, double db) const;
  // Arc length along the unwrapped parameter (beyond n for closed curves).
  static double unwrappedLength(ArcTable const& arc, double t);

  ArcTable _srcArc, _dstArc;
  Vector<Knot> _knots;  // ascending src; for a closed source the last knot is the first plus a lap
  double _weight;
  bool _wrap = false;       // closed source: the mapping runs round it
  bool _dstClosed = false;  // closed destination with at least one segment
};
