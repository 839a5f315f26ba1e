// Input policies: defaults, validation and the builders' checks.
#include "pluginAPI/piInputPolicy.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

PiValueData PiInputPolicy::validate(PiValueData const& v, std::string const& where) const {
  return v.convertedTo(getValueType(), where);
}

template <class T>
RCShdPtr<const PiRangeInputPolicy<T>> PiRangeInputPolicy<T>::create(T min, T max, T defaultValue, bool clamp,
                                                                   bool integral) {
  if (!(min <= max) || !(min <= defaultValue && defaultValue <= max))
    throw std::invalid_argument("range policy: need min <= default <= max, got " + PiValueData(min).toString() + ", " +
                                PiValueData(defaultValue).toString() + ", " + PiValueData(max).toString());
  return makeRC<const PiRangeInputPolicy<T>>(min, max, defaultValue, clamp, integral);
}

template <class T>
PiValueData PiRangeInputPolicy<T>::validate(PiValueData const& v, std::string const& where) const {
  PiValueData c = v.convertedTo(getValueType(), where);
  if constexpr (std::is_same_v<T, double>) {
    double d = c.getDouble();
    if (_integral) d = std::round(d);
    if (_clamp) d = std::clamp(d, _min, _max);
    return PiValueData(d);
  } else {
    return _clamp ? PiValueData(std::clamp(c.getInt(), _min, _max)) : c;
  }
}

template class PiRangeInputPolicy<double>;
template class PiRangeInputPolicy<int>;

PiEnumPolicy::Builder& PiEnumPolicy::Builder::addPair(int value, std::string label) {
  _pairs.emplace_back(value, std::move(label));
  return *this;
}

PiEnumPolicy::Builder& PiEnumPolicy::Builder::setDefaultValue(int value) {
  _hasDefault = true;
  _default = value;
  return *this;
}

RCShdPtr<const PiEnumPolicy> PiEnumPolicy::Builder::build() const {
  if (_pairs.empty()) throw std::invalid_argument("enumeration policy without pairs");
  for (std::size_t i = 0; i < _pairs.size(); ++i)
    for (std::size_t j = 0; j < i; ++j)
      if (_pairs[i].first == _pairs[j].first || _pairs[i].second == _pairs[j].second)
        throw std::invalid_argument("enumeration policy: pair (" + std::to_string(_pairs[i].first) + ", \"" +
                                    _pairs[i].second + "\") repeats a value or label");
  int const def = _hasDefault ? _default : _pairs.front().first;
  if (std::none_of(_pairs.begin(), _pairs.end(), [&](auto const& p) { return p.first == def; }))
    throw std::invalid_argument("enumeration policy: default " + std::to_string(def) + " is not one of its values");
  return makeRC<const PiEnumPolicy>(_pairs, def);
}

std::string PiEnumPolicy::getLabel(int value) const {
  for (auto const& p : _pairs)
    if (p.first == value) return p.second;
  return std::string();
}

bool PiEnumPolicy::findValue(std::string const& label, int& value) const {
  for (auto const& p : _pairs)
    if (p.second == label) {
      value = p.first;
      return true;
    }
  return false;
}

PiValueData PiEnumPolicy::validate(PiValueData const& v, std::string const& where) const {
  PiValueData c = v.convertedTo(PI_INT, where);
  for (auto const& p : _pairs)
    if (p.first == c.getInt()) return c;
  std::string listed;
  for (auto const& p : _pairs) listed += (listed.empty() ? "" : ", ") + std::to_string(p.first) + " \"" + p.second + "\"";
  throw std::invalid_argument(where + ": " + v.toString() + " is not one of " + listed);
}

RCShdPtr<const PiSwitchInputPolicy> PiSwitchInputPolicy::create(bool defaultValue, bool animatable, bool inverted) {
  return makeRC<const PiSwitchInputPolicy>(defaultValue, animatable, inverted);
}

RCShdPtr<const PiImageInputPolicy> PiImageInputPolicy::createPrimary(int components, int depths, int formatRole,
                                                                     int resetType, bool optional) {
  return makeRC<const PiImageInputPolicy>(true, components, depths, formatRole, 1, resetType, optional);
}

RCShdPtr<const PiImageInputPolicy> PiImageInputPolicy::createSecondary(int components, int depths, int formatRole,
                                                                       int proxyMode, int resetType, bool optional) {
  return makeRC<const PiImageInputPolicy>(false, components, depths, formatRole, proxyMode, resetType, optional);
}

PiValueData PiImageInputPolicy::validate(PiValueData const& v, std::string const& where) const {
  throw std::invalid_argument(where + ": an image input takes no value (" + v.toString() + ")");
}
