// Processing nodes of the host: the base every node derives from, and the
// validity interval that every result carries.
//
// A node is a pure function of its inputs and of the request it answers: it
// is built (with its input handles, pxNodeHndls.h) on the main thread, is
// immutable from then on, and is evaluated concurrently by any number of
// requests on the worker threads. Its id is unique in the process and never
// reused, so caches key on it instead of on its address.
//
// Time is a double in frames. A validity interval is the closed interval of
// times [start, end] over which a result stays the same; a result that
// depends on several inputs is valid where all of them are, so intervals
// combine with reduceVI (largest start, smallest end) starting from FULL. An
// interval with start > end is empty: the result is valid at no time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

struct PxValidityInterval {
  double start;
  double end;

  static PxValidityInterval const FULL;
  // Valid at exactly one time.
  static constexpr PxValidityInterval at(double time) { return {time, time}; }

  constexpr bool contains(double time) const { return start <= time && time <= end; }
  constexpr bool isEmpty() const { return !(start <= end); }
  constexpr bool operator==(PxValidityInterval const&) const = default;
};

inline PxValidityInterval const PxValidityInterval::FULL{-std::numeric_limits<double>::infinity(),
                                                         std::numeric_limits<double>::infinity()};

constexpr PxValidityInterval reduceVI(PxValidityInterval const& a, PxValidityInterval const& b) {
  return {std::max(a.start, b.start), std::min(a.end, b.end)};
}

inline std::ostream& operator<<(std::ostream& os, PxValidityInterval const& v) {
  return os << "[" << v.start << ", " << v.end << "]";
}

class PxNode {
 public:
  PxNode(PxNode const&) = delete;
  PxNode& operator=(PxNode const&) = delete;
  virtual ~PxNode() = default;

  std::uint64_t getNodeId() const { return _id; }
  // For messages and statistics; need not be unique.
  std::string const& getName() const { return _name; }

 protected:
  explicit PxNode(std::string name = {});

 private:
  std::uint64_t const _id;
  std::string const _name;
};
