// Typed handles on animated values: a controller keeps a PiTypedValue<T>
// over a node's value and reads and writes T without naming types.
//
// T is bool, int, double, std::string, PiColor, or an enumeration (stored as
// int). Wrapping a value of another type raises CastException; using a null
// handle raises NullPointerException. Writes are undoable edits of the value
// (pluginAPI/piGraph.h) and pass through its policy.
#pragma once

#include <string>
#include <type_traits>

#include "base/rcPtr.h"
#include "pluginAPI/piGraph.h"

template <class T>
class PiTypedValue {
 public:
  static constexpr int kType = std::is_enum_v<T> || std::is_same_v<T, int> ? PI_INT
                               : std::is_same_v<T, bool>                   ? PI_BOOL
                               : std::is_same_v<T, double>                 ? PI_DOUBLE
                               : std::is_same_v<T, std::string>            ? PI_STRING
                               : std::is_same_v<T, PiColor>                ? PI_COLOR
                                                                           : -1;
  static_assert(kType >= 0, "PiTypedValue: unsupported type");

  PiTypedValue() = default;
  explicit PiTypedValue(RCShdPtr<PiValue> value) : _value(std::move(value)) {
    if (!_value.isNull() && _value->getType() != kType)
      throw CastException(_value->describe() + " (" + piValueTypeName(_value->getType()) + ")", piValueTypeName(kType));
  }

  bool isNull() const { return _value.isNull(); }
  RCShdPtr<PiValue> const& getValue() const { return _value; }

  T get(double time = 0.0) const {
    PiValueData v = _value->getValueAt(time);
    if constexpr (kType == PI_INT) return static_cast<T>(v.getInt());
    else if constexpr (kType == PI_BOOL) return v.getBool();
    else if constexpr (kType == PI_DOUBLE) return v.getDouble();
    else if constexpr (kType == PI_STRING) return v.getString();
    else return v.getColor();
  }
  void set(T const& v) { _value->setValue(data(v)); }
  void setAt(double time, T const& v) { _value->setValueAt(time, data(v)); }

 private:
  static PiValueData data(T const& v) {
    if constexpr (kType == PI_INT) return PiValueData(static_cast<int>(v));
    else return PiValueData(v);
  }
  RCShdPtr<PiValue> _value;
};
