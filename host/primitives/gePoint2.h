// Two-dimensional points and vectors of the host geometry library.
#pragma once

#include <cmath>
#include <ostream>

template <class T>
class GePoint2 {
 public:
  constexpr GePoint2() = default;
  constexpr GePoint2(T x, T y) : _x(x), _y(y) {}

  constexpr T x() const { return _x; }
  constexpr T y() const { return _y; }
  constexpr void setX(T v) { _x = v; }
  constexpr void setY(T v) { _y = v; }

  constexpr GePoint2 operator+(GePoint2 const& o) const { return {_x + o._x, _y + o._y}; }
  constexpr GePoint2 operator-(GePoint2 const& o) const { return {_x - o._x, _y - o._y}; }
  constexpr GePoint2 operator-() const { return {-_x, -_y}; }
  constexpr GePoint2 operator*(T s) const { return {_x * s, _y * s}; }
  constexpr GePoint2& operator+=(GePoint2 const& o) { _x += o._x; _y += o._y; return *this; }
  constexpr GePoint2& operator-=(GePoint2 const& o) { _x -= o._x; _y -= o._y; return *this; }
  constexpr bool operator==(GePoint2 const& o) const = default;

  constexpr T dot(GePoint2 const& o) const { return _x * o._x + _y * o._y; }
  // z of the 3-D cross product.
  constexpr T cross(GePoint2 const& o) const { return _x * o._y - _y * o._x; }
  T length() const { return std::hypot(_x, _y); }

 private:
  T _x{}, _y{};
};

template <class T>
constexpr GePoint2<T> operator*(T s, GePoint2<T> const& p) { return p * s; }

template <class T>
std::ostream& operator<<(std::ostream& os, GePoint2<T> const& p) {
  return os << "(" << p.x() << ", " << p.y() << ")";
}
