// Straight (not premultiplied) RGBA colours.
#pragma once

template <class T>
struct CoRgbaColorTyped {
  T r{}, g{}, b{}, a{};

  constexpr CoRgbaColorTyped() = default;
  constexpr CoRgbaColorTyped(T r_, T g_, T b_, T a_) : r(r_), g(g_), b(b_), a(a_) {}

  constexpr bool operator==(CoRgbaColorTyped const&) const = default;

  static CoRgbaColorTyped const ZERO;
};

template <class T>
inline CoRgbaColorTyped<T> const CoRgbaColorTyped<T>::ZERO{};
