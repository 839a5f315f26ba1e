// Shape-editor helpers of the host shape library: validation of positions
// along a shape curve (link and gradient-handle positions), given as global
// curve parameters (integer part the segment, fraction the place along it).
#pragma once

class SeShapeParts {
 public:
  // A position on a closed curve of nbPoints control points, wrapped into
  // [0, nbPoints) (3.25 on a 3-point curve becomes 0.25, -0.5 becomes 2.5).
  // A non-finite position or nbPoints <= 0 gives 0.
  static float validateGradientHandleClosedCurve(float position, int nbPoints);

  // A position on an open curve clamped into [lowerValue, upperValue]
  // (for a curve of N points: 0 and N - 1). A NaN position, or bounds with
  // upperValue < lowerValue, give lowerValue.
  static float validateGradientHandleOpenedCurve(float lowerValue, float position, float upperValue);
};
