// Input policies: the rules a tool attaches to an input (its factory default,
// which values it accepts, how it resets).
//
// A policy is immutable once built and shared by every node of the tool (and
// often by several tools); plug-ins build theirs once at initialisation and
// hold them as RCShdPtr<const PiInputPolicy> until shutdown.
//
// Every write to an input passes through its policy's validate(), which
// returns the value to store (converted to the input's type, clamped when the
// policy clamps) or throws std::invalid_argument naming the input, the value
// and what was expected. Reset of an input sets its policy's default and
// drops its keys; an input without a policy is left unchanged by a reset.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/rcPtr.h"
#include "pluginAPI/piValue.h"

class PiInputPolicy {
 public:
  virtual ~PiInputPolicy() = default;

  // The socket type this policy is made for (PiValueType).
  virtual int getValueType() const = 0;
  // The factory default (not used by image policies).
  virtual PiValueData getDefaultValue() const = 0;
  // The value to store for `v`, or std::invalid_argument; `where` names the
  // input in the message.
  virtual PiValueData validate(PiValueData const& v, std::string const& where) const;
  // Keys of a stepped input (an enumeration, a switch) hold their value up to
  // the next key whatever interpolation they were given.
  virtual bool isStepped() const { return false; }
  // False when the input takes no keys (adding one is refused).
  virtual bool isAnimatable() const { return true; }
};

// A number in [min, max]. `clamp` true: values outside are clamped in; false:
// the range only guides the user interface and any finite value is kept.
// `integral` true: doubles are rounded to whole numbers.
template <class T>
class PiRangeInputPolicy : public PiInputPolicy {
  static_assert(std::is_same_v<T, double> || std::is_same_v<T, int>, "range policies are for double and int");

 public:
  // Refuses (std::invalid_argument) a NaN bound, min > max or a default
  // outside [min, max].
  static RCShdPtr<const PiRangeInputPolicy<T>> create(T min, T max, T defaultValue, bool clamp, bool integral);

  T getMin() const { return _min; }
  T getMax() const { return _max; }
  T getDefault() const { return _default; }
  bool isClamped() const { return _clamp; }
  bool isIntegral() const { return _integral; }

  int getValueType() const override { return std::is_same_v<T, double> ? PI_DOUBLE : PI_INT; }
  PiValueData getDefaultValue() const override { return PiValueData(_default); }
  PiValueData validate(PiValueData const& v, std::string const& where) const override;

  PiRangeInputPolicy(T min, T max, T defaultValue, bool clamp, bool integral)
      : _min(min), _max(max), _default(defaultValue), _clamp(clamp), _integral(integral) {}

 private:
  T _min, _max, _default;
  bool _clamp, _integral;
};

extern template class PiRangeInputPolicy<double>;
extern template class PiRangeInputPolicy<int>;

// An int that takes one of a list of (value, label) pairs. The pairs keep the
// order they were added in, which is the order the user sees them; values
// need not be sorted or contiguous.
class PiEnumPolicy : public PiInputPolicy {
 public:
  class Builder {
   public:
    Builder& addPair(int value, std::string label);
    Builder& setDefaultValue(int value);
    // Refuses (std::invalid_argument) an empty list, a repeated value or
    // label, and a default that is not one of the values. Without
    // setDefaultValue the first pair's value is the default.
    RCShdPtr<const PiEnumPolicy> build() const;
    operator RCShdPtr<const PiEnumPolicy>() const { return build(); }
    operator RCShdPtr<const PiInputPolicy>() const { return build(); }

   private:
    std::vector<std::pair<int, std::string>> _pairs;
    bool _hasDefault = false;
    int _default = 0;
  };

  std::vector<std::pair<int, std::string>> const& getPairs() const { return _pairs; }
  int getDefault() const { return _default; }
  // The label of a value, empty when the value is not listed.
  std::string getLabel(int value) const;
  // False when no pair has that label.
  bool findValue(std::string const& label, int& value) const;

  int getValueType() const override { return PI_INT; }
  PiValueData getDefaultValue() const override { return PiValueData(_default); }
  PiValueData validate(PiValueData const& v, std::string const& where) const override;
  bool isStepped() const override { return true; }

  PiEnumPolicy(std::vector<std::pair<int, std::string>> pairs, int defaultValue)
      : _pairs(std::move(pairs)), _default(defaultValue) {}

 private:
  std::vector<std::pair<int, std::string>> _pairs;
  int _default;
};

// An on/off input. `animatable` false: the switch takes no keys. `inverted`
// true: the user interface shows the box ticked when the value is false (for
// inputs phrased negatively); the stored value is never inverted.
class PiSwitchInputPolicy : public PiInputPolicy {
 public:
  static RCShdPtr<const PiSwitchInputPolicy> create(bool defaultValue, bool animatable, bool inverted);

  bool getDefault() const { return _default; }
  bool isInverted() const { return _inverted; }

  int getValueType() const override { return PI_BOOL; }
  PiValueData getDefaultValue() const override { return PiValueData(_default); }
  bool isStepped() const override { return true; }
  bool isAnimatable() const override { return _animatable; }

  PiSwitchInputPolicy(bool defaultValue, bool animatable, bool inverted)
      : _default(defaultValue), _animatable(animatable), _inverted(inverted) {}

 private:
  bool _default, _animatable, _inverted;
};

// An image input. The numbers describe what the input accepts and how the
// pipeline treats the image connected to it:
//   components  bit set of accepted component layouts (1 alpha, 2 RGB, 4 RGBA);
//   depths      bit set of accepted depths (1 UINT8, 2 FLOAT16, 4 FLOAT32);
//   formatRole  1 the node's output format follows this input, 0 it does not,
//               3 a data image whose format is its own (meshes, shape images);
//   proxyMode   (secondary inputs) 1 the input is requested at the request's
//               proxy level, 0 always at full resolution;
//   resetType   0 a reset keeps the connection, 1 a reset disconnects it;
//   optional    false: a node whose input is unconnected computes nothing.
// A primary input is the one whose image the node modifies; a node has at
// most one.
class PiImageInputPolicy : public PiInputPolicy {
 public:
  static RCShdPtr<const PiImageInputPolicy> createPrimary(int components, int depths, int formatRole, int resetType,
                                                          bool optional);
  static RCShdPtr<const PiImageInputPolicy> createSecondary(int components, int depths, int formatRole, int proxyMode,
                                                            int resetType, bool optional);

  bool isPrimary() const { return _primary; }
  int getComponents() const { return _components; }
  int getDepths() const { return _depths; }
  int getFormatRole() const { return _formatRole; }
  int getProxyMode() const { return _proxyMode; }
  int getResetType() const { return _resetType; }
  bool isOptional() const { return _optional; }

  int getValueType() const override { return PI_IMAGE; }
  PiValueData getDefaultValue() const override { return PiValueData(); }
  PiValueData validate(PiValueData const& v, std::string const& where) const override;
  bool isAnimatable() const override { return false; }

  PiImageInputPolicy(bool primary, int components, int depths, int formatRole, int proxyMode, int resetType, bool optional)
      : _primary(primary), _components(components), _depths(depths), _formatRole(formatRole), _proxyMode(proxyMode),
        _resetType(resetType), _optional(optional) {}

 private:
  bool _primary;
  int _components, _depths, _formatRole, _proxyMode, _resetType;
  bool _optional;
};
