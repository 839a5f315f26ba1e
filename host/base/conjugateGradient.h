// Conjugate-gradient search directions for a minimiser that does its own line
// search. The caller feeds the gradient at each new iterate; the generator
// remembers the previous gradient and direction and returns the next
// conjugate direction.
//
// Update formula: Polak-Ribiere with the non-negative clamp (PR+),
//   beta = max(0, g_k . (g_k - g_{k-1}) / (g_{k-1} . g_{k-1})),
//   d_k  = -g_k + beta d_{k-1}.
// On a quadratic with exact line searches it equals Fletcher-Reeves and gives
// conjugate directions; on anything else the clamp restarts the method with
// steepest descent whenever conjugacy is lost (beta < 0). The method also
// restarts when d_k is not a descent direction (d_k . g_k >= 0, possible after
// inexact line searches) and when the previous gradient was zero. There is no
// periodic restart: on the large, mildly ill-conditioned quadratics of the
// grid solver it only throws away the Krylov space built so far.
//
// Not thread-safe; one generator per minimisation.
#pragma once

#include <memory>

class ConjugateGradient {
 public:
  explicit ConjugateGradient(int n);

  int getSize() const { return _n; }

  // The next search direction for `gradient` (n doubles). The returned
  // array holds n doubles and stays valid until the next call.
  double const* getDirection(double const* gradient);

  // As getDirection, scaled to unit Euclidean length and copied into
  // `direction`. `allowRestart` false forbids the automatic restarts other
  // than the one after a zero previous gradient. A zero gradient gives a zero
  // direction. Returns true when this direction is a steepest-descent
  // restart.
  bool getUnitDirection(double const* gradient, bool allowRestart, double* direction);

  // d . g of the direction last computed (unscaled) and the gradient it was
  // computed for: negative for a descent direction. A minimiser with an
  // exact line search on a quadratic gets the linear coefficient of the
  // energy along d from it without another pass.
  double getLastSlope() const { return _slope; }

  // Forget the history: the next direction is steepest descent.
  void reset();

 private:
  bool computeDirection(double const* gradient, bool allowRestart);

  int _n;
  bool _hasHistory = false;
  double _prevNorm = 0.0;  // |previous gradient|^2
  double _slope = 0.0;     // d . g of the last direction
  std::unique_ptr<double[]> _prevGradient;  // n doubles, written by the first call
  std::unique_ptr<double[]> _direction;     // n doubles, written by the first call
};
