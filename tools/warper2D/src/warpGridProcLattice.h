// Private to the grid solver: the lattice point flags and the parameter
// index sentinel shared by the energy terms, the minimisers, the cell
// interpolation and the solve driver. Not part of the plug-in's interface.
#pragma once

#include <climits>
#include <cstdint>

namespace Qx::Warper2D::gridsolver {

// Lattice point flags (one byte per point, indexed [y][x] as y * nx + x).
inline constexpr std::uint8_t Constrained = 1;         // tied to a constrained pixel this cycle
inline constexpr std::uint8_t SmoothedConstraint = 2;  // that pixel had SMOOTHING_BIT
inline constexpr std::uint8_t Interpolate = 4;         // not a solver variable: interpolated

// parmIndex of a point that has no parameter.
inline constexpr std::int32_t kNoParm = INT_MIN;

// Base name under which the solver's private files report failed assertions.
inline constexpr char const kAssertFile[] = "warpGridProc";

}  // namespace Qx::Warper2D::gridsolver
