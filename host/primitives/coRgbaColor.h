// Straight (not premultiplied) RGBA colours, and RGB colours without alpha
// (display colours of shapes and links).
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

template <class T>
struct CoRgbColorTyped {
  T r{}, g{}, b{};

  constexpr CoRgbColorTyped() = default;
  constexpr CoRgbColorTyped(T r_, T g_, T b_) : r(r_), g(g_), b(b_) {}

  constexpr bool operator==(CoRgbColorTyped const&) const = default;
};
