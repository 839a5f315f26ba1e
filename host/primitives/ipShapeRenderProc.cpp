#include "primitives/ipShapeRenderProc.h"

IpShapeRenderProc::IpShapeRenderProc(IxWriteGuard& guard, Vector<GePoint2<float>> const& polygon,
                                     Antialiasing antialiasing, CoRgbaColorTyped<float> const& colour)
    : _guard(guard), _polygon(polygon), _antialiasing(antialiasing), _colour(colour) {}

void IpShapeRenderProc::process() {}
