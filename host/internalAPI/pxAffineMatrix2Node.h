// The affine matrix node: a placement (translation, rotation, shear, scale
// about a pivot) given as nine animated doubles, composed into one
// GeAffineMatrix2<float> at the request's time.
//
// Composition, as a compositing artist expects a transform to act on a
// point p:
//
//   p' = T + P + R(theta) H(shx, shy) S(sx, sy) (p - P)
//
// that is, about the pivot P: scale first, then shear, then rotate, then
// translate by T. With c = cos(theta), s = sin(theta):
//
//   S = | sx  0  |   H = | 1    shx |   R = | c  -s |
//       | 0   sy |       | shy  1   |       | s   c |
//
// The rotation is in degrees; a positive angle turns the x axis toward the
// y axis (counter-clockwise in a frame whose y axis points up). Whole
// quarter turns are exact (a 90-degree rotation maps whole pixels onto whole
// pixels). Shears are factors (x gains shx * y, y gains shy * x, both from
// the point before the shear), not angles. The matrix is composed in double
// and rounded to float once.
//
// Validity: the narrowest of the nine values'. Threading and ownership are
// those of every node (pxNodeHndls.h).
#pragma once

#include <array>
#include <string>

#include "pluginAPI/pxAnimValue.h"
#include "pluginAPI/pxNodeHndls.h"
#include "primitives/geAffineMatrix2.h"

class PxAffineMatrix2Node final : public PxAnimValueProtocol<GeAffineMatrix2<float>> {
 public:
  enum Value { kTranslationX, kTranslationY, kRotation, kShearX, kShearY, kScaleX, kScaleY, kPivotX, kPivotY };

  // The nine double value nodes in the order of Value; a node that is not
  // one raises CastException.
  explicit PxAffineMatrix2Node(std::array<PxNodePtr<PxNode>, 9> const& values, std::string name = {});

  PxValueResult<GeAffineMatrix2<float>> evaluate(double time) const override;

  // The composition above, for numbers in the order of Value.
  static GeAffineMatrix2<double> compose(std::array<double, 9> const& v);

 private:
  std::array<PxStrongHndl<PxAnimValueProtocol<double>>, 9> _values;
};
