// Validation of positions along shape curves.
#include "shape/seShapeParts.h"

#include <cmath>

float SeShapeParts::validateGradientHandleClosedCurve(float position, int nbPoints) {
  if (nbPoints <= 0 || !std::isfinite(position)) return 0.0f;
  float const n = static_cast<float>(nbPoints);
  float p = std::fmod(position, n);  // in (-n, n), exact
  if (p < 0.0f) p += n;
  // -tiny + n rounds to n in float; the result must stay below n.
  if (p >= n) p = 0.0f;
  return p;
}

float SeShapeParts::validateGradientHandleOpenedCurve(float lowerValue, float position, float upperValue) {
  if (std::isnan(position) || !(upperValue >= lowerValue)) return lowerValue;
  if (position < lowerValue) return lowerValue;
  if (position > upperValue) return upperValue;
  return position;
}
