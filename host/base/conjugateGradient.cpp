#include "base/conjugateGradient.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "base/assertions.h"

// The history arrays start undefined: the first direction is steepest
// descent and writes both in full before anything reads them.
ConjugateGradient::ConjugateGradient(int n)
    : _n(n), _prevGradient(new double[static_cast<std::size_t>(std::max(n, 0))]),
      _direction(new double[static_cast<std::size_t>(std::max(n, 0))]) {
  QX_ASSERT(n >= 0);
}

void ConjugateGradient::reset() { _hasHistory = false; }

bool ConjugateGradient::computeDirection(double const* g, bool allowRestart) {
  // Two passes over the unknowns: the products that beta needs, then the
  // direction update fused with the descent test and the history copy.
  // |g_{k-1}|^2 is the previous call's |g|^2, so it is never recomputed.
  double gg = 0.0, gPrev = 0.0;
  double const* prev = _prevGradient.get();
  if (_hasHistory) {
    for (int i = 0; i < _n; ++i) {
      gg += g[i] * g[i];
      gPrev += g[i] * prev[i];
    }
  } else {
    for (int i = 0; i < _n; ++i) gg += g[i] * g[i];
  }

  double beta = 0.0;
  bool restart = !_hasHistory || _prevNorm == 0.0 || !std::isfinite(_prevNorm);
  if (!restart) {
    beta = (gg - gPrev) / _prevNorm;
    if (!std::isfinite(beta) || (allowRestart && beta <= 0.0)) restart = true;
  }

  double slope = 0.0;
  double* d = _direction.get();
  double* keep = _prevGradient.get();
  if (restart) {
    // d = -g outright: the old direction may be undefined (first call) or
    // not finite, and 0 times either is no zero.
    for (int i = 0; i < _n; ++i) {
      double const gi = g[i];
      d[i] = -gi;
      keep[i] = gi;
    }
  } else {
    for (int i = 0; i < _n; ++i) {
      double const gi = g[i];
      d[i] = -gi + beta * d[i];
      slope += d[i] * gi;
      keep[i] = gi;
    }
  }
  if (!restart && allowRestart && slope >= 0.0) {
    // Lost descent: fall back to the negative gradient.
    restart = true;
    for (int i = 0; i < _n; ++i) d[i] = -g[i];
  }

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
