// Two doubles in one SSE register, for loops over interleaved (x, y) data and
// for long reductions run as two partial sums. Loads and stores go through
// memcpy, so any 8-byte aligned address is fine.
#pragma once

#include <cstring>

typedef double DoublePair __attribute__((vector_size(16)));

inline DoublePair loadPair(double const* p) {
  DoublePair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void storePair(double* p, DoublePair v) { std::memcpy(p, &v, sizeof v); }
inline double sumPair(DoublePair v) { return v[0] + v[1]; }
