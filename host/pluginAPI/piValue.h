// Typed values and their animation: what a tool's input or stored value holds.
//
// A value has one of five types, numbered as the host numbers socket types:
// 0 bool, 1 double, 2 int, 3 colour, 4 string (5 is an image socket, which
// carries no value). PiValueData holds one such value; PiAnimCurve holds the
// value over time: a constant, or keys sorted by time.
//
// Evaluation at a time t: before the first key and after the last the
// nearest key's value holds. Between key i and key i + 1 the interpolation of
// key i decides:
//   Linear  v_i + s (v_{i+1} - v_i),  s = (t - t_i) / (t_{i+1} - t_i);
//   Smooth  the cubic Hermite curve through both keys whose slope at a key is
//           the Catmull-Rom slope (v_{j+1} - v_{j-1}) / (t_{j+1} - t_{j-1}),
//           and zero at the first and last key (so an animation eases in and
//           out instead of overshooting past its ends);
//   Hold    v_i until t_{i+1}.
// Doubles and colours (per component) interpolate as above; bools, ints and
// strings always hold, since an enumeration or a switch has no value between
// two of its values (the processing graph's value nodes follow the same
// rules, so a value reads the same in the graph and in a render).
//
// Bad input: a NaN or infinite double, colour component or key time is
// refused with std::invalid_argument; so is a value of a type that cannot be
// converted (numbers convert among bool, int and double; strings and colours
// convert to nothing else). Nothing here is thread-affine: PiAnimCurve is a
// plain value type that may be copied into processing nodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "primitives/coRgbaColor.h"

enum PiValueType : int {
  PI_BOOL = 0,
  PI_DOUBLE = 1,
  PI_INT = 2,
  PI_COLOR = 3,
  PI_STRING = 4,
  PI_IMAGE = 5,
};

// "bool", "double", "int", "colour", "string", "image"; "unknown" otherwise.
char const* piValueTypeName(int type);

using PiColor = CoRgbaColorTyped<double>;

class PiValueData {
 public:
  PiValueData() = default;
  PiValueData(bool v) : _type(PI_BOOL), _number(v ? 1.0 : 0.0) {}
  PiValueData(int v) : _type(PI_INT), _number(v) {}
  PiValueData(double v) : _type(PI_DOUBLE), _number(v) {}
  PiValueData(float v) : _type(PI_DOUBLE), _number(v) {}
  PiValueData(char const* v) : _type(PI_STRING), _string(v) {}
  PiValueData(std::string v) : _type(PI_STRING), _string(std::move(v)) {}
  PiValueData(PiColor const& v) : _type(PI_COLOR), _color(v) {}

  // The zero of a type: false, 0, 0.0, transparent black, "".
  static PiValueData zero(int type);

  int getType() const { return _type; }
  bool isNumeric() const { return _type == PI_BOOL || _type == PI_INT || _type == PI_DOUBLE; }

  // Exact accessors: the value must have that type (asserted).
  bool getBool() const;
  int getInt() const;
  double getDouble() const;
  PiColor const& getColor() const;
  std::string const& getString() const;

  // Any numeric value as a double (bool 0 or 1); asserted numeric.
  double toDouble() const;

  // The value converted to `type`, or std::invalid_argument naming `where`,
  // the value and the expected type. Doubles convert to int by rounding to
  // nearest and must fit; to bool by being non-zero.
  PiValueData convertedTo(int type, std::string const& where) const;

  // Readable form for messages: true, 2, 0.5, "text", (r, g, b, a).
  std::string toString() const;

  bool operator==(PiValueData const& o) const;
  bool operator!=(PiValueData const& o) const { return !(*this == o); }

 private:
  // One field per kind of payload (bools and ints are exact in the double).
  int _type = PI_BOOL;
  double _number = 0.0;
  PiColor _color;
  std::string _string;
};

enum class PiInterpolation : int { Linear = 0, Smooth = 1, Hold = 2 };

// "linear", "smooth", "hold".
char const* piInterpolationName(PiInterpolation i);
// False when `name` is none of the three.
bool piInterpolationFromName(std::string const& name, PiInterpolation& out);

struct PiKey {
  double time = 0.0;
  PiValueData value;
  PiInterpolation interpolation = PiInterpolation::Linear;
  bool operator==(PiKey const&) const = default;
};

class PiAnimCurve {
 public:
  explicit PiAnimCurve(PiValueData constant = PiValueData()) : _constant(std::move(constant)) {}

  int getType() const { return _constant.getType(); }
  bool isAnimated() const { return !_keys.empty(); }
  // The value of a curve without keys. While keys exist it is not used;
  // removing the last key makes that key's value the constant.
  PiValueData const& getConstant() const { return _constant; }
  std::vector<PiKey> const& getKeys() const { return _keys; }

  PiValueData evaluate(double time) const;
  // Numeric curves only (asserted): the value as a double.
  double evaluateNumber(double time) const;

  // Edits keep the curve's type; values are converted (or refused) first and
  // `where` names the owner in messages.
  void setConstant(PiValueData const& v, std::string const& where);
  // Drops every key.
  void makeConstant(PiValueData const& v, std::string const& where);
  // Adds a key, or replaces the key at exactly that time.
  void setKey(PiKey key, std::string const& where);
  // False when no key sits at exactly `time`.
  bool removeKey(double time);

  bool operator==(PiAnimCurve const& o) const { return _constant == o._constant && _keys == o._keys; }
  bool operator!=(PiAnimCurve const& o) const { return !(*this == o); }

 private:
  PiValueData checked(PiValueData const& v, std::string const& where) const;
  double interpolate(std::size_t i, double time, int component) const;
  static double component(PiValueData const& v, int c);

  PiValueData _constant;
  std::vector<PiKey> _keys;  // sorted by time, times distinct
};
