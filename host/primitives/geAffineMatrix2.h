// Affine transforms of the plane:
//   x' = a x + b y + tx
//   y' = c x + d y + ty
// Composition reads right to left: (A * B).apply(p) == A.apply(B.apply(p)).
#pragma once

#include <cmath>

#include "primitives/gePoint2.h"

template <class T>
class GeAffineMatrix2 {
 public:
  constexpr GeAffineMatrix2() = default;  // identity
  constexpr GeAffineMatrix2(T a, T b, T c, T d, T tx, T ty) : _a(a), _b(b), _c(c), _d(d), _tx(tx), _ty(ty) {}

  static constexpr GeAffineMatrix2 identity() { return {}; }
  static constexpr GeAffineMatrix2 translation(T tx, T ty) { return {1, 0, 0, 1, tx, ty}; }
  static constexpr GeAffineMatrix2 scaling(T sx, T sy) { return {sx, 0, 0, sy, 0, 0}; }
  static GeAffineMatrix2 rotation(T radians) {
    T const c = std::cos(radians), s = std::sin(radians);
    return {c, -s, s, c, 0, 0};
  }

  constexpr T a() const { return _a; }
  constexpr T b() const { return _b; }
  constexpr T c() const { return _c; }
  constexpr T d() const { return _d; }
  constexpr T tx() const { return _tx; }
  constexpr T ty() const { return _ty; }

  constexpr GePoint2<T> apply(GePoint2<T> const& p) const {
    return {_a * p.x() + _b * p.y() + _tx, _c * p.x() + _d * p.y() + _ty};
  }
  // The linear part only: for tangent vectors and handles.
  constexpr GePoint2<T> applyToVector(GePoint2<T> const& v) const {
    return {_a * v.x() + _b * v.y(), _c * v.x() + _d * v.y()};
  }

  constexpr GeAffineMatrix2 operator*(GeAffineMatrix2 const& o) const {
    return {_a * o._a + _b * o._c, _a * o._b + _b * o._d,
            _c * o._a + _d * o._c, _c * o._b + _d * o._d,
            _a * o._tx + _b * o._ty + _tx, _c * o._tx + _d * o._ty + _ty};
  }

  constexpr T determinant() const { return _a * _d - _b * _c; }

  // The inverse; a singular matrix gives false and leaves `out` alone.
  bool invert(GeAffineMatrix2& out) const {
    T const det = determinant();
    if (det == T(0) || !std::isfinite(det)) return false;
    T const ia = _d / det, ib = -_b / det, ic = -_c / det, id = _a / det;
    out = {ia, ib, ic, id, -(ia * _tx + ib * _ty), -(ic * _tx + id * _ty)};
    return true;
  }

  constexpr bool operator==(GeAffineMatrix2 const& o) const = default;

 private:
  T _a = 1, _b = 0, _c = 0, _d = 1, _tx = 0, _ty = 0;
};
