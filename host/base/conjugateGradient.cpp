#include "base/conjugateGradient.h"

#include <algorithm>
#include <cmath>

#include "base/assertions.h"

ConjugateGradient::ConjugateGradient(int n)
    : _n(n), _prevGradient(std::max(n, 0), 0.0), _direction(std::max(n, 0), 0.0) {
  QX_ASSERT(n >= 0);
}

void ConjugateGradient::reset() { _hasHistory = false; }

bool ConjugateGradient::computeDirection(double const* g, bool allowRestart) {
  double gg = 0.0, gPrevDiff = 0.0, prevNorm = 0.0;
  for (int i = 0; i < _n; ++i) {
    gg += g[i] * g[i];
    gPrevDiff += g[i] * (g[i] - _prevGradient[i]);
    prevNorm += _prevGradient[i] * _prevGradient[i];
  }

  double beta = 0.0;
  bool restart = !_hasHistory || prevNorm == 0.0 || !std::isfinite(prevNorm);
  if (!restart) {
    beta = gPrevDiff / prevNorm;
    if (!std::isfinite(beta) || (allowRestart && beta <= 0.0)) restart = true;
  }
  if (restart) beta = 0.0;

  double slope = 0.0;
  for (int i = 0; i < _n; ++i) {
    _direction[i] = -g[i] + beta * _direction[i];
    slope += _direction[i] * g[i];
  }
  if (!restart && allowRestart && slope >= 0.0) {
    // Lost descent: fall back to the negative gradient.
    restart = true;
    for (int i = 0; i < _n; ++i) _direction[i] = -g[i];
  }

  _prevGradient.assign(g, g + _prevGradient.size());
  _hasHistory = true;
  return restart;
}

double const* ConjugateGradient::getDirection(double const* gradient) {
  computeDirection(gradient, true);
  return _direction.data();
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
