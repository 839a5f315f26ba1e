#include "primitives/geLinkedBeziers.h"

#include "primitives/geBezierCurve.h"

GeLinkedBeziers::GeLinkedBeziers(GeBezierCurve const& src, Vector<float> const&, GeBezierCurve const& dst,
                                 Vector<float> const&, double arcLengthWeight)
    : _weight(arcLengthWeight) {
  _srcArc.segments = src.getSegmentCount();
  _dstArc.segments = dst.getSegmentCount();
}

double GeLinkedBeziers::mapSrcParamToDstParam(double) const { return 0.0; }
