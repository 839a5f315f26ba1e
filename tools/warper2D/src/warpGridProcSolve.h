// Private to the grid solver: the smooth grid solve with its own accounting,
// for the benchmarks and the tests, and the constraint application of a
// solve cycle. WarpGridProc::createSmoothGrid is this solve without the
// accounting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "primitives/ixTile.h"

namespace Qx::Warper2D::gridsolver {

class Lattice;

// Where the time and the work of one solve went. Times are CPU seconds of
// the calling thread and are only taken when statistics are requested.
struct SolveStats {
  double constraintSeconds = 0;  // applying the constraints to the lattice
  double refineSeconds = 0;      // refinement sweeps
  double energySeconds = 0;      // building energies and per-term energies
  double minimiseSeconds = 0;    // the minimisers
  double fillSeconds = 0;        // the final fill of the mesh
  double otherSeconds = 0;       // initial lattice, pass scans, summaries
  std::uint64_t iterations = 0;       // minimiser iterations, all cycles
  std::uint64_t termEvaluations = 0;  // work charged to the budgets, in term evaluations
  int passes = 0;                     // passes that solved
  int cycles = 0;                     // solve cycles, all passes
  int nParms = 0;                     // parameters at the end
  int firstStep = 0;
  // Peak bytes of working storage held by the solve itself (lattice,
  // records, summaries, per-term energies, targets) and an estimate of what
  // the energy and the minimiser add on top.
  std::size_t peakSolverBytes = 0;
  std::size_t peakEnergyBytes = 0;
  // Per lattice point (index y * nx + x), 1 where it is a parameter at the end.
  std::vector<std::uint8_t> parameters;
};

// WarpGridProc::createSmoothGrid, filling `stats` when it is not null.
void createSmoothGridMeasured(IxWriteGuard& srcAndDst, double magnetWeight, bool affineSmoothness, int minStep,
                              int passWork, int nCycleWork, int* cycleWork, double tolX, double tolE,
                              double refineThreshold, int* outFirstStep, SolveStats* stats);

// Ties lattice points to the constrained pixels of a mesh, once per solve
// cycle. Every constrained pixel picks the nearest lattice point on the
// boundary of its leaf cell, and every lattice point the nearest constrained
// pixel in the leaf cells around it (in both searches the first of equally
// near candidates wins). A point picked by some pixel as near to it as its
// own pick is tied: it takes the target of its own pick, moved rigidly by the
// offset between the two. A constrained pixel with a non-finite target ties
// nothing. On a mesh one pixel wide or high every pixel is a lattice point
// and ties itself.
class ConstraintApplication {
 public:
  // mesh: the mesh, read while this object lives; its region is the
  // lattice's (nx x ny points).
  ConstraintApplication(IxReadGuard const& mesh, int nx, int ny);
  ~ConstraintApplication();
  ConstraintApplication(ConstraintApplication const&) = delete;
  ConstraintApplication& operator=(ConstraintApplication const&) = delete;

  // Some pixel ties a lattice point.
  bool hasConstraints() const;

  // Clears Constrained on every lattice point, then sets it (and
  // SmoothedConstraint when the pixel has SMOOTHING_BIT) on every tied
  // point and writes its target: into `targets` (2 doubles per lattice
  // point) when that is not null, else over the point's position. Returns
  // the number of Constrained points.
  int apply(Lattice& lattice, double* targets);

  std::size_t bytes() const;

 private:
  struct State;
  std::unique_ptr<State> _state;
};

}  // namespace Qx::Warper2D::gridsolver
