// Private to the grid solver: the quadratic energies whose minimum gives the
// lattice positions of one solve cycle, and the two conjugate-gradient
// minimisers that lower them.
//
// Every lattice point that is a solver variable owns one smoothness term: the
// residual between its position and the position its lattice neighbours
// predict. Two predictors exist: the best affine fit of the neighbours
// ("Skew", MultivariateQuadraticAffine) and the best similarity fit, rotation
// plus uniform scale plus translation ("Rigid", MultivariateQuadraticSimilarity).
// With a positive magnet weight the constrained points are pulled towards
// their targets by soft springs and fold-over penalties keep every leaf cell
// from turning inside out; with a zero weight the constrained points are held
// fixed (hard constraints) and the energy is an exact quadratic.
//
// Conventions shared by every array here:
//  - lattice arrays (flags, parmIndex, targetSource) are row-major, index
//    y * nx + x, relative to the mesh region's corner;
//  - a parameter vector x holds 2 * nParms doubles, (x, y) of parameter p at
//    2p and 2p + 1, in absolute pixel coordinates, 16-byte aligned;
//  - a working vector w (the "Working" operations) holds the same positions
//    in the energy's working order (getWorkingOrder);
//  - targetSource is indexed by lattice point (2 doubles per point), and may
//    be null when the magnet weight is not positive.
//
// Failed invariants are reported under the base name "warpGridProc". An
// energy object is immutable after construction and may be evaluated from
// any thread; the lattice numbering must not change while it lives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "primitives/ixTile.h"
#include "warpGridProcLattice.h"

namespace Qx::Warper2D::gridsolver {

// A fold-over guard: the signed distance-like area
//   d = ((x2 - x1)(y0 - y1) - (y2 - y1)(x0 - x1)) * scale
// of point i0 against the edge i1 -> i2, positive while i0 lies on the inner
// side of the edge. scale = 1 / |edge|^2 in lattice units, so d is the
// distance of i0 from the edge relative to the edge's length.
struct FoldTriangle {
  int i0;
  int i1;
  int i2;
  double scale;
};

// The interface the minimisers see.
class MultivariateQuadraticBase {
 public:
  virtual ~MultivariateQuadraticBase();

  virtual int getNParms() const = 0;
  // Number of active smoothness terms: the unit in which the solve counts work.
  virtual int getNTerms() const { return _nTerms; }
  // E(x). When perTerm is not null it receives, per parameter, the squared
  // residual of that parameter's smoothness term (0 where it has none).
  virtual double computeEnergy(double const* x, double* perTerm) const = 0;
  // g = dE/dx (2 * nParms doubles), with the hard-constrained components zeroed.
  virtual void computeGradient(double const* x, double* g) const = 0;
  // E(x + t d) = a t^2 + b t + c along the direction d; exact only for hard
  // constraints.
  virtual void computeLineQuadratic(double const* x, double const* d, double& a, double& b,
                                    double& c) const = 0;

  // Working order. An energy may number its own copy of the parameters
  // differently from the lattice (which numbers them as they were created,
  // so that refinement scatters a point's neighbours across the vector):
  // getWorkingOrder()[i] is the parameter at working position i, or null
  // when the two orders coincide. The minimisers move x into working order
  // once, iterate on the working evaluations below and move it back, so that
  // every iteration walks contiguous memory. The defaults forward to the
  // parameter-order operations.
  virtual std::int32_t const* getWorkingOrder() const { return nullptr; }
  virtual double computeWorkingEnergy(double const* w) const { return computeEnergy(w, nullptr); }
  virtual void computeWorkingGradient(double const* w, double* g) const { computeGradient(w, g); }
  virtual void computeWorkingLineQuadratic(double const* w, double const* d, double& a, double& b,
                                           double& c) const {
    computeLineQuadratic(w, d, a, b, c);
  }
  // The gradient and E(w) from one sweep over the terms.
  virtual double computeWorkingGradientAndEnergy(double const* w, double* g) const {
    computeWorkingGradient(w, g);
    return computeWorkingEnergy(w);
  }
  // The quadratic coefficient a of the line quadratic alone. The exact line
  // search knows the other two already: c = E(w) from the gradient sweep and
  // b = g . d (the linear term of E along d is the directional derivative),
  // so it need not evaluate the residuals at w a second time.
  virtual double computeWorkingCurvature(double const* w, double const* d) const {
    double a = 0.0, b = 0.0, c = 0.0;
    computeWorkingLineQuadratic(w, d, a, b, c);
    return a;
  }

 protected:
  MultivariateQuadraticBase() = default;
  MultivariateQuadraticBase(MultivariateQuadraticBase const&) = delete;
  MultivariateQuadraticBase& operator=(MultivariateQuadraticBase const&) = delete;

  int _nTerms = 0;
};

// Constraint bookkeeping shared by both smoothness models: each parameter's
// flags, and, with a positive magnet weight, the soft-constraint springs and
// the fold-over penalties. On its own it is the constraint part of the
// energy only (no smoothness terms).
class MultivariateQuadraticConstraints : public MultivariateQuadraticBase {
 public:
  // step: the top-level cell size. flags, parmIndex: nx * ny entries.
  // targetSource: 2 * nx * ny doubles (read only at Constrained points, and
  // only when magnetWeight > 0; may be null otherwise).
  MultivariateQuadraticConstraints(double magnetWeight, int nx, int ny, int step, std::uint8_t const* flags,
                                   int nParms, std::int32_t const* parmIndex, double const* targetSource);
  ~MultivariateQuadraticConstraints() override;

  int getNParms() const override { return _nParms; }
  // The parameter-order operations: each moves its inputs into working
  // order (a copy per call, unless the orders coincide) and evaluates there.
  double computeEnergy(double const* x, double* perTerm) const final;
  void computeGradient(double const* x, double* g) const final;
  void computeLineQuadratic(double const* x, double const* d, double& a, double& b, double& c) const final;

  // Lattice row order of the points, every parameter without a point after
  // them in ascending order; null when that is the parameter order itself.
  std::int32_t const* getWorkingOrder() const final { return _order.empty() ? nullptr : _order.data(); }
  double computeWorkingEnergy(double const* w) const final { return evaluateEnergy(w, nullptr); }
  void computeWorkingGradient(double const* w, double* g) const final {
    (void)computeWorkingGradientAndEnergy(w, g);
  }
  void computeWorkingLineQuadratic(double const* w, double const* d, double& a, double& b, double& c) const override;
  double computeWorkingGradientAndEnergy(double const* w, double* g) const override;
  double computeWorkingCurvature(double const* w, double const* d) const override;

  // Read-only views, cheap, for the solver and the tests.
  double getMagnetWeight() const { return _magnetWeight; }
  double getFoldWeight() const { return _foldWeight; }
  double getMinFoldArea() const { return _minFoldArea; }
  // Lattice flags of parameter p's point, masked to Constrained | SmoothedConstraint.
  std::uint8_t getParmFlags(int p) const { return _flags[static_cast<std::size_t>(p)]; }
  // Target of parameter p (2 doubles); null when the magnet weight is not
  // positive. Linear in the parameter count.
  double const* getTarget(int p) const {
    return _targets.empty() ? nullptr : &_targets[2 * static_cast<std::size_t>(findWorkingIndex(p))];
  }
  // The fold guards, in parameter numbering (a copy). Linear in their count.
  std::vector<FoldTriangle> getTriangles() const;
  // Bytes of working storage held beyond the object itself.
  virtual std::size_t getStorageBytes() const;

 protected:
  // The soft-constraint and fold-over energy (0 without a positive magnet weight).
  double computeConstraintEnergy(double const* x) const;
  // Adds the gradient of computeConstraintEnergy to g and returns that energy.
  double addConstraintGradient(double const* x, double* g) const;
  // With hard constraints (weight exactly 0) constrained points do not move.
  void maskHardConstraints(double* g) const;
  // E(w) in working order; perTerm, when not null, is in parameter order.
  virtual double evaluateEnergy(double const* w, double* perTerm) const;

  // Parameter p's working position: during construction (from the rank
  // table), and afterwards by a linear search for the views.
  std::int32_t workingIndex(int p) const { return _rank.empty() ? p : _rank[static_cast<std::size_t>(p)]; }
  int findWorkingIndex(int p) const;
  // The parameter at working position i.
  std::int32_t parmAt(int i) const { return _order.empty() ? i : _order[static_cast<std::size_t>(i)]; }
  // Drops the construction-only rank table.
  void releaseRanks() { std::vector<std::int32_t>().swap(_rank); }

  int _nParms;
  double _magnetWeight;
  std::vector<double> _targets;       // 2 per working position, only when _magnetWeight > 0
  std::vector<std::uint8_t> _flags;   // per parameter (parameter order), masked with 3
  std::vector<std::int32_t> _constrainedParms;  // working positions of the Constrained parameters, ascending
  double _foldWeight = 1e8;
  double _minFoldArea = 0.1;
  std::vector<FoldTriangle> _triangles;  // in working positions; only when _magnetWeight > 0
  std::vector<std::int32_t> _order;      // working position -> parameter; empty when the identity
  std::vector<std::int32_t> _rank;       // parameter -> working position; construction only
};

// Terms are stored compactly: a term names its parameters, and its
// coefficients live in a small per-energy table shared by every term of the
// same stencil shape (a dense lattice has only a handful of shapes), so a
// term evaluation streams 24 or 32 bytes and finds its coefficients in L1.
// Unused entries have weight 0 and point at the centre, so the evaluation
// loops run a fixed count without branches.

// "Skew": each point should sit at the least-squares affine prediction of
// its neighbours. Residual R = (constX, constY) + sum_k coefs[k] * P(inds[k]).
struct AffineTerm {
  std::int32_t centre;     // working position of the parameter whose term this is
  std::int32_t coefSet;    // row of the coefficient table
  std::int32_t constants;  // row of the constants table (row 0 is (0, 0))
  std::int32_t inds[5];
};
static_assert(sizeof(AffineTerm) == 32);

// A term as the formulas read: for tests and diagnostics.
struct AffineTermView {
  int n;  // number of entries, at most 5
  int inds[5];
  double coefs[5];
  double constX;
  double constY;
};

class MultivariateQuadraticAffine : public MultivariateQuadraticConstraints {
 public:
  // mesh: a read guard of the mesh; lattice point (x, y) is mesh pixel
  // (region.x1() + x, region.y1() + y). positions: the current positions
  // (2 per parameter); the constrained neighbours' positions are folded into
  // the terms' constants here. The terms are drafted in bands of rows on
  // the request manager's pool (`threads` as parallelFor's maxThreads: 0
  // all, 1 the calling thread only); the energy does not depend on it.
  MultivariateQuadraticAffine(double magnetWeight, int nx, int ny, int step, std::uint8_t const* flags,
                              unsigned pass, IxReadGuard const& mesh, int nParms, std::int32_t const* parmIndex,
                              double const* positions, double const* targetSource, int threads = 0);
  ~MultivariateQuadraticAffine() override;

  double computeWorkingGradientAndEnergy(double const* w, double* g) const override;
  void computeWorkingLineQuadratic(double const* w, double const* d, double& a, double& b, double& c) const override;
  double computeWorkingCurvature(double const* w, double const* d) const override;

  // The term of parameter p, in parameter numbering; empty when it has
  // neither entries nor constants (it contributes nothing). Linear in the
  // term count.
  std::optional<AffineTermView> findTerm(int p) const;
  // Every stored term (those that contribute), its indices working
  // positions: first those with four free neighbours, a free centre and no
  // constants (among them first those whose four weights are equal), then
  // the others, each group in lattice row order.
  std::vector<AffineTerm> const& getTerms() const { return _terms; }
  std::size_t getStorageBytes() const override;

 protected:
  double evaluateEnergy(double const* w, double* perTerm) const override;

 public:
  // One coefficient set, each weight stored twice (for both coordinates).
  struct CoefSet {
    double c[5][2];
    int n;
  };

 private:
  std::vector<AffineTerm> _terms;  // plain terms (no constants, full stencil) first
  std::ptrdiff_t _nUniformTerms = 0;  // the leading plain terms whose four neighbour weights are equal
  std::ptrdiff_t _nPlainTerms = 0;    // uniform ones included
  std::vector<CoefSet> _coefSets;
  std::vector<double> _constants;  // pairs; pair 0 is (0, 0)
};

// "Rigid": each point should sit at the least-squares similarity prediction
// of its neighbours. Residual R = -P(c) + sum_k (a_k x_k + b_k y_k,
// -b_k x_k + a_k y_k) with (x_k, y_k) = P(inds[k]); only points with at least
// two neighbours have a term.
struct SimilarityTerm {
  std::int32_t centre;
  std::int32_t coefSet;
  std::int32_t inds[4];
};
static_assert(sizeof(SimilarityTerm) == 24);

struct SimilarityTermView {
  int n;  // number of neighbours, 2 to 4
  int inds[4];
  double a[4];
  double b[4];
};

class MultivariateQuadraticSimilarity : public MultivariateQuadraticConstraints {
 public:
  // As the affine model, but constrained neighbours stay in the terms as
  // variables (their current positions are read from x at evaluation time).
  // The terms are built in bands of rows on the request manager's pool
  // (`threads` as for the affine model); the energy does not depend on it.
  MultivariateQuadraticSimilarity(double magnetWeight, int nx, int ny, int step, std::uint8_t const* flags,
                                  unsigned pass, IxReadGuard const& mesh, int nParms,
                                  std::int32_t const* parmIndex, double const* targetSource, int threads = 0);
  ~MultivariateQuadraticSimilarity() override;

  double computeWorkingGradientAndEnergy(double const* w, double* g) const override;
  void computeWorkingLineQuadratic(double const* w, double const* d, double& a, double& b, double& c) const override;
  double computeWorkingCurvature(double const* w, double const* d) const override;

  // The term of parameter p, in parameter numbering; empty when it has
  // fewer than two neighbours. Linear in the term count.
  std::optional<SimilarityTermView> findTerm(int p) const;
  // Every term, its indices working positions: first those without a
  // rotation part (among them first those with four equal weights), then
  // the others, each group in lattice row order.
  std::vector<SimilarityTerm> const& getTerms() const { return _terms; }
  std::size_t getStorageBytes() const override;

 protected:
  double evaluateEnergy(double const* w, double* perTerm) const override;

 public:
  // Weights a_k and b_k, each stored twice (for both coordinates).
  struct CoefSet {
    double a[4][2];
    double b[4][2];
    int n;
  };

 private:
  std::vector<SimilarityTerm> _terms;  // plain terms (every b_k = 0) first
  std::ptrdiff_t _nUniformTerms = 0;  // the leading plain terms whose four neighbour weights are equal
  std::ptrdiff_t _nPlainTerms = 0;    // uniform ones included
  std::vector<CoefSet> _coefSets;
};

// The most a minimiser call holds besides the energy, in doubles per
// parameter: the working-order copy of x, the gradient, the step search's
// trial direction, and the direction generator's history and direction,
// two doubles each.
inline constexpr int kMinimiserDoublesPerParm = 10;

// Conjugate gradients with an exact line search, for hard constraints
// (the energy is then exactly quadratic along any line). Moves x (2 *
// getNParms() doubles) in place; returns the number of iterations run, the
// converging one included; converged tells whether tolX or tolE was met.
// Calls the request manager's interruption check after every iteration that
// does not end the run.
int minimiseQuadratic(MultivariateQuadraticBase const& e, double* x, int maxIter, double tolX, double tolE,
                      bool& converged);

// The evaluations a step search may make, in sweeps over the terms (a
// gradient or an energy evaluation each), and those it made.
struct StepSearchWork {
  std::int64_t limit;
  std::int64_t used;
};

// Conjugate gradients with a trial-step line search, for soft constraints
// (the fold penalties make the energy only piecewise quadratic). Same
// arguments; returns the number of iterations finished before the
// converging one, or maxIter. With `work`, the search also ends when it has
// made work->limit evaluations: the iteration under way takes the best step
// found so far and counts as finished.
int minimiseByStepSearch(MultivariateQuadraticBase const& e, double* x, int maxIter, double tolX, double tolE,
                         bool& converged, StepSearchWork* work = nullptr);

}  // namespace Qx::Warper2D::gridsolver
