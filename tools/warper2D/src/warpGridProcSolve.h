// Private to the grid solver: the smooth grid solve with its own accounting,
// for the benchmark and the tests. WarpGridProc::createSmoothGrid is this
// solve without the accounting.
#pragma once

#include <cstddef>
#include <cstdint>

#include "primitives/ixTile.h"

namespace Qx::Warper2D::gridsolver {

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
  std::uint64_t termEvaluations = 0;  // sum over minimisations of iterations x active terms
  int passes = 0;                     // passes that solved
  int cycles = 0;                     // solve cycles, all passes
  int nParms = 0;                     // parameters at the end
  int firstStep = 0;
  // Peak bytes of working storage held by the solve itself (lattice,
  // records, summaries, per-term energies, targets) and an estimate of what
  // the energy and the minimiser add on top.
  std::size_t peakSolverBytes = 0;
  std::size_t peakEnergyBytes = 0;
};

// WarpGridProc::createSmoothGrid, filling `stats` when it is not null.
void createSmoothGridMeasured(IxWriteGuard& srcAndDst, double magnetWeight, bool affineSmoothness, int minStep,
                              int passWork, int nCycleWork, int* cycleWork, double tolX, double tolE,
                              double refineThreshold, int* outFirstStep, SolveStats* stats);

}  // namespace Qx::Warper2D::gridsolver
