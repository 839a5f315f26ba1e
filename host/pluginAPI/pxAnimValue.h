// Value nodes: the parameters of processing nodes (a quality, a filter code,
// a switch, a name), constant or animated over time by keyframes.
//
// A node reads a value for its request with getValue(time, validity), which
// narrows the request's validity interval by the value's own: a constant is
// valid for all time; an animated value is valid at its frame only, except
// where it holds still: before the first key, after the last, and between
// two keys whose segment holds.
//
// Interpolation between key i and key i + 1 follows key i's mode. Doubles
// and colours (each component on its own) interpolate linearly or smoothly
// (a cubic through the keys whose slope at each inner key is the slope
// between its neighbours, and flat at the first and last key, so a move
// eases in and out); bool, int and string values hold key i's value until
// the next key whatever the mode, since an enumeration or a switch has no
// value between two of its values.
//
// Keys are sorted by time when the node is built; of keys at the same time
// the last one given wins, and keys at a non-finite time are dropped. A node
// without keys is the type's default value (false, 0, 0.0, "", transparent
// black). Threading and ownership are those of every node (pxNode.h,
// pxNodeHndls.h).
#pragma once

#include <string>
#include <vector>

#include "primitives/coRgbaColor.h"
#include "pluginAPI/pxNode.h"

enum class PxInterpolation { Hold, Linear, Smooth };

template <class T>
struct PxKeyframe {
  double time;
  T value;
  PxInterpolation interpolation = PxInterpolation::Linear;
};

template <class T>
struct PxValueResult {
  T value;
  PxValidityInterval validity;
};

template <class T>
class PxAnimValueProtocol : public PxNode {
 public:
  // The value at `time` (finite) and how long it stays so.
  virtual PxValueResult<T> evaluate(double time) const = 0;

  // The value at `time`, narrowing `validity` by the value's validity.
  T getValue(double time, PxValidityInterval& validity) const {
    PxValueResult<T> r = evaluate(time);
    validity = reduceVI(validity, r.validity);
    return std::move(r.value);
  }

 protected:
  using PxNode::PxNode;
};

template <class T>
class PxAnimValueNode final : public PxAnimValueProtocol<T> {
 public:
  explicit PxAnimValueNode(T constant, std::string name = {});
  explicit PxAnimValueNode(std::vector<PxKeyframe<T>> keys, std::string name = {});

  PxValueResult<T> evaluate(double time) const override;
  bool isAnimated() const { return _keys.size() > 1; }
  std::vector<PxKeyframe<T>> const& getKeys() const { return _keys; }

 private:
  std::vector<PxKeyframe<T>> _keys;
};

extern template class PxAnimValueNode<bool>;
extern template class PxAnimValueNode<int>;
extern template class PxAnimValueNode<double>;
extern template class PxAnimValueNode<std::string>;
// Colours keep the graph's double components, so a value reads the same in
// the graph and in a render; nodes convert to float where they use one.
extern template class PxAnimValueNode<CoRgbaColorTyped<double>>;
