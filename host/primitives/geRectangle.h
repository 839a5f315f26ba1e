// Axis-aligned rectangles of the host geometry library. A rectangle covers
// the half-open area [x1, x2) x [y1, y2): x1()/y1() is its first column/row,
// x2()/y2() one past its last. The four values are stored in the order
// x1, x2, y1, y2. Any rectangle with x2 <= x1 or y2 <= y1 is empty.
#pragma once

#include <algorithm>
#include <ostream>

template <class T>
class GeRectangle {
 public:
  constexpr GeRectangle() = default;
  // Corner to corner: first column and row, then one past the last.
  constexpr GeRectangle(T x1, T y1, T x2, T y2) : _x1(x1), _x2(x2), _y1(y1), _y2(y2) {}

  constexpr T x1() const { return _x1; }
  constexpr T x2() const { return _x2; }
  constexpr T y1() const { return _y1; }
  constexpr T y2() const { return _y2; }
  constexpr void setX1(T v) { _x1 = v; }
  constexpr void setX2(T v) { _x2 = v; }
  constexpr void setY1(T v) { _y1 = v; }
  constexpr void setY2(T v) { _y2 = v; }

  constexpr T getWidth() const { return _x2 > _x1 ? _x2 - _x1 : T(0); }
  constexpr T getHeight() const { return _y2 > _y1 ? _y2 - _y1 : T(0); }
  constexpr bool isEmpty() const { return !(_x2 > _x1 && _y2 > _y1); }

  constexpr bool contains(T x, T y) const { return x >= _x1 && x < _x2 && y >= _y1 && y < _y2; }
  constexpr bool contains(GeRectangle const& r) const {
    return r.isEmpty() || (r._x1 >= _x1 && r._x2 <= _x2 && r._y1 >= _y1 && r._y2 <= _y2);
  }

  // Intersection. Disjoint rectangles give an empty rectangle of zero width
  // or height placed at the would-be corner, never one with x2 < x1.
  constexpr GeRectangle operator&(GeRectangle const& o) const {
    GeRectangle r(std::max(_x1, o._x1), std::max(_y1, o._y1), std::min(_x2, o._x2), std::min(_y2, o._y2));
    r._x2 = std::max(r._x2, r._x1);
    r._y2 = std::max(r._y2, r._y1);
    return r;
  }
  constexpr GeRectangle& operator&=(GeRectangle const& o) { return *this = *this & o; }

  // Smallest rectangle holding both; an empty operand does not count.
  constexpr GeRectangle operator|(GeRectangle const& o) const {
    if (isEmpty()) return o;
    if (o.isEmpty()) return *this;
    return GeRectangle(std::min(_x1, o._x1), std::min(_y1, o._y1), std::max(_x2, o._x2), std::max(_y2, o._y2));
  }

  constexpr bool operator==(GeRectangle const& o) const = default;

 private:
  T _x1{}, _x2{}, _y1{}, _y2{};
};

template <class T>
std::ostream& operator<<(std::ostream& os, GeRectangle<T> const& r) {
  return os << "[" << r.x1() << ", " << r.x2() << ") x [" << r.y1() << ", " << r.y2() << ")";
}
