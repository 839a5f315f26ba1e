// The affine matrix node: composing a placement from its nine values.
#include "internalAPI/pxAffineMatrix2Node.h"

#include <cmath>
#include <numbers>

namespace {

// sin and cos of an angle in degrees, exact at whole quarter turns (where
// the radian route leaves 6e-17 instead of 0).
void sinCosDegrees(double degrees, double& s, double& c) {
  double r = std::fmod(degrees, 360.0);
  if (r < 0.0) r += 360.0;
  if (r == 0.0 || r == 90.0 || r == 180.0 || r == 270.0) {
    int const quarter = static_cast<int>(r / 90.0);
    static constexpr double kSin[] = {0.0, 1.0, 0.0, -1.0};
    s = kSin[quarter];
    c = kSin[(quarter + 1) % 4];
    return;
  }
  double const radians = r * (std::numbers::pi / 180.0);
  s = std::sin(radians);
  c = std::cos(radians);
}

}  // namespace

PxAffineMatrix2Node::PxAffineMatrix2Node(std::array<PxNodePtr<PxNode>, 9> const& values, std::string name)
    : PxAnimValueProtocol<GeAffineMatrix2<float>>(std::move(name)) {
  for (std::size_t i = 0; i < values.size(); ++i) _values[i] = values[i];
}

GeAffineMatrix2<double> PxAffineMatrix2Node::compose(std::array<double, 9> const& v) {
  double s = 0.0, c = 1.0;
  sinCosDegrees(v[kRotation], s, c);
  double const sx = v[kScaleX], sy = v[kScaleY], hx = v[kShearX], hy = v[kShearY];
  // L = R H S.
  double const a = c * sx - s * hy * sx, b = c * hx * sy - s * sy;
  double const cc = s * sx + c * hy * sx, d = s * hx * sy + c * sy;
  // p' = L p + (T + P - L P).
  double const px = v[kPivotX], py = v[kPivotY];
  return {a, b, cc, d, v[kTranslationX] + px - (a * px + b * py), v[kTranslationY] + py - (cc * px + d * py)};
}

PxValueResult<GeAffineMatrix2<float>> PxAffineMatrix2Node::evaluate(double time) const {
  PxValidityInterval validity = PxValidityInterval::FULL;
  std::array<double, 9> v;
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = _values[i]->getValue(time, validity);
  GeAffineMatrix2<double> const m = compose(v);
  auto f = [](double x) { return static_cast<float>(x); };
  return {{f(m.a()), f(m.b()), f(m.c()), f(m.d()), f(m.tx()), f(m.ty())}, validity};
}
