#include "pluginAPI/pxAnimValue.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/assertions.h"

namespace {

using Color = CoRgbaColorTyped<double>;

double component(double v, int) { return v; }
double component(Color const& v, int c) { return c == 0 ? v.r : c == 1 ? v.g : c == 2 ? v.b : v.a; }

// One component between key i and key i + 1.
template <class T>
double interpolate(std::vector<PxKeyframe<T>> const& keys, std::size_t i, double time, int c) {
  PxKeyframe<T> const& a = keys[i];
  PxKeyframe<T> const& b = keys[i + 1];
  double const va = component(a.value, c), vb = component(b.value, c);
  double const h = b.time - a.time;
  double const s = (time - a.time) / h;
  if (a.interpolation == PxInterpolation::Linear) return va + (vb - va) * s;
  // Cubic Hermite: p(s) = h00 a + h10 h ma + h01 b + h11 h mb, with the
  // slope at an inner key the chord slope between its neighbours.
  auto slope = [&](std::size_t k) {
    if (k == 0 || k + 1 == keys.size()) return 0.0;
    return (component(keys[k + 1].value, c) - component(keys[k - 1].value, c)) / (keys[k + 1].time - keys[k - 1].time);
  };
  double const s2 = s * s, s3 = s2 * s;
  double const h00 = 2 * s3 - 3 * s2 + 1, h10 = s3 - 2 * s2 + s, h01 = -2 * s3 + 3 * s2, h11 = s3 - s2;
  return h00 * va + h10 * h * slope(i) + h01 * vb + h11 * h * slope(i + 1);
}

}  // namespace

template <class T>
PxAnimValueNode<T>::PxAnimValueNode(T constant, std::string name)
    : PxAnimValueNode(std::vector<PxKeyframe<T>>{{0.0, std::move(constant), PxInterpolation::Hold}}, std::move(name)) {}

template <class T>
PxAnimValueNode<T>::PxAnimValueNode(std::vector<PxKeyframe<T>> keys, std::string name)
    : PxAnimValueProtocol<T>(std::move(name)) {
  std::erase_if(keys, [](PxKeyframe<T> const& k) { return !std::isfinite(k.time); });
  std::stable_sort(keys.begin(), keys.end(), [](auto const& a, auto const& b) { return a.time < b.time; });
  for (PxKeyframe<T>& k : keys) {
    if (!_keys.empty() && _keys.back().time == k.time)
      _keys.back() = std::move(k);
    else
      _keys.push_back(std::move(k));
  }
}

template <class T>
PxValueResult<T> PxAnimValueNode<T>::evaluate(double time) const {
  QX_ASSERT(std::isfinite(time));
  double const inf = std::numeric_limits<double>::infinity();
  if (_keys.empty()) return {T{}, PxValidityInterval::FULL};
  if (_keys.size() == 1) return {_keys.front().value, PxValidityInterval::FULL};
  if (time <= _keys.front().time) return {_keys.front().value, {-inf, _keys.front().time}};
  if (time >= _keys.back().time) return {_keys.back().value, {_keys.back().time, inf}};
  // The segment [key i, key i + 1) holding `time`.
  auto const next = std::upper_bound(_keys.begin(), _keys.end(), time,
                                     [](double t, PxKeyframe<T> const& k) { return t < k.time; });
  std::size_t const i = static_cast<std::size_t>(next - _keys.begin()) - 1;
  PxKeyframe<T> const& key = _keys[i];
  if constexpr (std::is_same_v<T, double>) {
    if (key.interpolation != PxInterpolation::Hold) return {interpolate(_keys, i, time, 0), PxValidityInterval::at(time)};
  } else if constexpr (std::is_same_v<T, Color>) {
    if (key.interpolation != PxInterpolation::Hold)
      return {Color(interpolate(_keys, i, time, 0), interpolate(_keys, i, time, 1), interpolate(_keys, i, time, 2),
                    interpolate(_keys, i, time, 3)),
              PxValidityInterval::at(time)};
  }
  return {key.value, {key.time, std::nextafter(next->time, -inf)}};
}

template class PxAnimValueNode<bool>;
template class PxAnimValueNode<int>;
template class PxAnimValueNode<double>;
template class PxAnimValueNode<std::string>;
template class PxAnimValueNode<Color>;
