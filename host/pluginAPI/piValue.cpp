// Typed values, conversions and key interpolation.
#include "pluginAPI/piValue.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "base/assertions.h"

namespace {

void refuse(std::string const& where, PiValueData const& v, int type) {
  throw std::invalid_argument(where + ": " + v.toString() + " (" + piValueTypeName(v.getType()) + ") is not a valid " +
                              piValueTypeName(type));
}

bool isFiniteColor(PiColor const& c) {
  return std::isfinite(c.r) && std::isfinite(c.g) && std::isfinite(c.b) && std::isfinite(c.a);
}

}  // namespace

char const* piValueTypeName(int type) {
  switch (type) {
    case PI_BOOL: return "bool";
    case PI_DOUBLE: return "double";
    case PI_INT: return "int";
    case PI_COLOR: return "colour";
    case PI_STRING: return "string";
    case PI_IMAGE: return "image";
    default: return "unknown";
  }
}

PiValueData PiValueData::zero(int type) {
  switch (type) {
    case PI_DOUBLE: return PiValueData(0.0);
    case PI_INT: return PiValueData(0);
    case PI_COLOR: return PiValueData(PiColor());
    case PI_STRING: return PiValueData(std::string());
    default: return PiValueData(false);
  }
}

bool PiValueData::getBool() const {
  QX_ASSERT(_type == PI_BOOL);
  return _number != 0.0;
}
int PiValueData::getInt() const {
  QX_ASSERT(_type == PI_INT);
  return static_cast<int>(_number);
}
double PiValueData::getDouble() const {
  QX_ASSERT(_type == PI_DOUBLE);
  return _number;
}
PiColor const& PiValueData::getColor() const {
  QX_ASSERT(_type == PI_COLOR);
  return _color;
}
std::string const& PiValueData::getString() const {
  QX_ASSERT(_type == PI_STRING);
  return _string;
}

double PiValueData::toDouble() const {
  QX_ASSERT(isNumeric());
  return _number;
}

bool PiValueData::operator==(PiValueData const& o) const {
  if (_type != o._type) return false;
  if (_type == PI_STRING) return _string == o._string;
  if (_type == PI_COLOR) return _color == o._color;
  return _number == o._number;
}

PiValueData PiValueData::convertedTo(int type, std::string const& where) const {
  int const from = getType();
  if (from == PI_DOUBLE && !std::isfinite(_number)) refuse(where, *this, type);
  if (from == PI_COLOR && !isFiniteColor(_color)) refuse(where, *this, type);
  if (from == type) return *this;
  if (!isNumeric()) refuse(where, *this, type);
  double const d = toDouble();
  switch (type) {
    case PI_BOOL: return PiValueData(d != 0.0);
    case PI_DOUBLE: return PiValueData(d);
    case PI_INT: {
      double const r = std::round(d);
      if (r < std::numeric_limits<int>::min() || r > std::numeric_limits<int>::max()) refuse(where, *this, type);
      return PiValueData(static_cast<int>(r));
    }
  }
  refuse(where, *this, type);
  return *this;
}

std::string PiValueData::toString() const {
  std::ostringstream s;
  s.precision(17);
  switch (getType()) {
    case PI_BOOL: s << (_number != 0.0 ? "true" : "false"); break;
    case PI_INT: s << static_cast<int>(_number); break;
    case PI_DOUBLE: s << _number; break;
    case PI_STRING: s << '"' << _string << '"'; break;
    case PI_COLOR: {
      PiColor const& c = _color;
      s << '(' << c.r << ", " << c.g << ", " << c.b << ", " << c.a << ')';
      break;
    }
  }
  return s.str();
}

char const* piInterpolationName(PiInterpolation i) {
  switch (i) {
    case PiInterpolation::Linear: return "linear";
    case PiInterpolation::Smooth: return "smooth";
    case PiInterpolation::Hold: return "hold";
  }
  return "linear";
}

bool piInterpolationFromName(std::string const& name, PiInterpolation& out) {
  for (PiInterpolation i : {PiInterpolation::Linear, PiInterpolation::Smooth, PiInterpolation::Hold}) {
    if (name == piInterpolationName(i)) {
      out = i;
      return true;
    }
  }
  return false;
}

// --- PiAnimCurve --------------------------------------------------------------

PiValueData PiAnimCurve::checked(PiValueData const& v, std::string const& where) const {
  return v.convertedTo(getType(), where);
}

void PiAnimCurve::setConstant(PiValueData const& v, std::string const& where) { _constant = checked(v, where); }

void PiAnimCurve::makeConstant(PiValueData const& v, std::string const& where) {
  _constant = checked(v, where);
  _keys.clear();
}

void PiAnimCurve::setKey(PiKey key, std::string const& where) {
  if (!std::isfinite(key.time)) throw std::invalid_argument(where + ": key time " + PiValueData(key.time).toString() + " is not finite");
  key.value = checked(key.value, where);
  auto it = std::lower_bound(_keys.begin(), _keys.end(), key.time, [](PiKey const& k, double t) { return k.time < t; });
  if (it != _keys.end() && it->time == key.time) *it = std::move(key);
  else _keys.insert(it, std::move(key));
}

bool PiAnimCurve::removeKey(double time) {
  auto it = std::lower_bound(_keys.begin(), _keys.end(), time, [](PiKey const& k, double t) { return k.time < t; });
  if (it == _keys.end() || it->time != time) return false;
  if (_keys.size() == 1) _constant = it->value;
  _keys.erase(it);
  return true;
}

double PiAnimCurve::component(PiValueData const& v, int c) {
  if (v.getType() != PI_COLOR) return v.toDouble();
  PiColor const& col = v.getColor();
  return c == 0 ? col.r : c == 1 ? col.g : c == 2 ? col.b : col.a;
}

// Value of one component between key i and key i + 1 (t_i <= time < t_{i+1}).
double PiAnimCurve::interpolate(std::size_t i, double time, int c) const {
  PiKey const& k0 = _keys[i];
  PiKey const& k1 = _keys[i + 1];
  double const v0 = component(k0.value, c), v1 = component(k1.value, c);
  double const h = k1.time - k0.time;
  double const s = (time - k0.time) / h;
  if (k0.interpolation == PiInterpolation::Linear) return v0 + s * (v1 - v0);
  auto slope = [&](std::size_t j) {
    if (j == 0 || j + 1 == _keys.size()) return 0.0;
    return (component(_keys[j + 1].value, c) - component(_keys[j - 1].value, c)) / (_keys[j + 1].time - _keys[j - 1].time);
  };
  // p(s) = h00 v0 + h10 h m0 + h01 v1 + h11 h m1, in the same order of
  // operations as the value nodes of the processing graph, bit for bit.
  double const s2 = s * s, s3 = s2 * s;
  double const h00 = 2 * s3 - 3 * s2 + 1, h10 = s3 - 2 * s2 + s, h01 = -2 * s3 + 3 * s2, h11 = s3 - s2;
  return h00 * v0 + h10 * h * slope(i) + h01 * v1 + h11 * h * slope(i + 1);
}

PiValueData PiAnimCurve::evaluate(double time) const {
  if (_keys.empty()) return _constant;
  if (!(time > _keys.front().time)) return _keys.front().value;  // also a NaN time
  if (time >= _keys.back().time) return _keys.back().value;
  auto it = std::upper_bound(_keys.begin(), _keys.end(), time, [](double t, PiKey const& k) { return t < k.time; });
  std::size_t const i = static_cast<std::size_t>(it - _keys.begin()) - 1;
  int const type = getType();
  if (_keys[i].interpolation == PiInterpolation::Hold || (type != PI_DOUBLE && type != PI_COLOR)) return _keys[i].value;
  if (type == PI_COLOR)
    return PiValueData(PiColor(interpolate(i, time, 0), interpolate(i, time, 1), interpolate(i, time, 2), interpolate(i, time, 3)));
  return PiValueData(interpolate(i, time, 0));
}

double PiAnimCurve::evaluateNumber(double time) const { return evaluate(time).toDouble(); }
