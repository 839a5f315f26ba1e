#include "base/conjugateGradient.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "base/assertions.h"
#include "base/doublePair.h"

// The history arrays start undefined: the first direction is steepest
// descent and writes both in full before anything reads them.
ConjugateGradient::ConjugateGradient(int n)
    : _n(n), _prevGradient(new double[static_cast<std::size_t>(std::max(n, 0))]),
      _direction(new double[static_cast<std::size_t>(std::max(n, 0))]) {
  QX_ASSERT(n >= 0);
}

void ConjugateGradient::reset() { _hasHistory = false; }

// Two unknowns at a time: the sums below are long reductions that the
// compiler may not reorder by itself, so they run as two interleaved
// partial sums in one SSE register.

bool ConjugateGradient::computeDirection(double const* g, bool allowRestart) {
  // Two passes over the unknowns: the products that beta needs, then the
  // direction update fused with the descent test and the history copy.
  // |g_{k-1}|^2 is the previous call's |g|^2, so it is never recomputed.
  int const pairs = _n & ~1;
  double* d = _direction.get();
  double* keep = _prevGradient.get();
  DoublePair gg2 = DoublePair{0.0, 0.0}, gPrev2 = DoublePair{0.0, 0.0};
  if (_hasHistory) {
    for (int i = 0; i < pairs; i += 2) {
      DoublePair const gi = loadPair(g + i);
      gg2 += gi * gi;
      gPrev2 += gi * loadPair(keep + i);
    }
  } else {
    for (int i = 0; i < pairs; i += 2) {
      DoublePair const gi = loadPair(g + i);
      gg2 += gi * gi;
    }
  }
  double gg = sumPair(gg2), gPrev = sumPair(gPrev2);
  if (pairs < _n) {
    gg += g[pairs] * g[pairs];
    if (_hasHistory) gPrev += g[pairs] * keep[pairs];
  }

  double beta = 0.0;
  bool restart = !_hasHistory || _prevNorm == 0.0 || !std::isfinite(_prevNorm);
  if (!restart) {
    beta = (gg - gPrev) / _prevNorm;
    if (!std::isfinite(beta) || (allowRestart && beta <= 0.0)) restart = true;
  }

  double slope = 0.0;
  if (restart) {
    // d = -g outright: the old direction may be undefined (first call) or
    // not finite, and 0 times either is no zero.
    for (int i = 0; i < _n; ++i) {
      double const gi = g[i];
      d[i] = -gi;
      keep[i] = gi;
    }
  } else {
    DoublePair const beta2 = DoublePair{beta, beta};
    DoublePair slope2 = DoublePair{0.0, 0.0};
    for (int i = 0; i < pairs; i += 2) {
      DoublePair const gi = loadPair(g + i);
      DoublePair const di = beta2 * loadPair(d + i) - gi;
      storePair(d + i, di);
      slope2 += di * gi;
      storePair(keep + i, gi);
    }
    slope = sumPair(slope2);
    if (pairs < _n) {
      d[pairs] = -g[pairs] + beta * d[pairs];
      slope += d[pairs] * g[pairs];
      keep[pairs] = g[pairs];
    }
  }
  if (!restart && allowRestart && slope >= 0.0) {
    // Lost descent: fall back to the negative gradient.
    restart = true;
    for (int i = 0; i < _n; ++i) d[i] = -g[i];
  }

  _slope = restart ? -gg : slope;  // d = -g on a restart
  _prevNorm = gg;
  _hasHistory = true;
  return restart;
}

double const* ConjugateGradient::getDirection(double const* gradient) {
  computeDirection(gradient, true);
  return _direction.get();
}

bool ConjugateGradient::getUnitDirection(double const* gradient, bool allowRestart, double* direction) {
  bool const restarted = computeDirection(gradient, allowRestart);
  double norm = 0.0;
  for (int i = 0; i < _n; ++i) norm += _direction[i] * _direction[i];
  norm = std::sqrt(norm);
  double const scale = norm > 0.0 && std::isfinite(norm) ? 1.0 / norm : 0.0;
  for (int i = 0; i < _n; ++i) direction[i] = _direction[i] * scale;
  return restarted;
}
