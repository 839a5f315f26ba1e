// The correspondence mesh and the operations on it: the region rule that
// makes a mesh fit the solver's lattice, the smooth grid solve that fills a
// mesh from its constrained pixels, and the rasterisation of a curve pair
// into constrained pixels.
//
// The mesh is a FLOAT32 RGB tile. Pixel (x, y), in absolute coordinates,
// holds in R and G the position it corresponds to (the identity is R = x,
// G = y, no half-pixel offset); B is not a number but a 32-bit pattern:
// CONSTRAINED_BIT, SMOOTHING_BIT and a 30-bit pass number.
//
// Every operation is static, keeps its working state local to the call and
// may run on several threads at once on different meshes.
#pragma once

#include <cfloat>
#include <cstdint>
#include <cstring>

#include "base/vector.h"
#include "primitives/geRectangle.h"
#include "primitives/ixTile.h"

class GeBezierCurve;

namespace Qx::Warper2D {

// B pattern of a mesh pixel.
inline constexpr std::uint32_t CONSTRAINED_BIT = 0x80000000u;  // R, G hold the target; never rewritten by the solve
inline constexpr std::uint32_t SMOOTHING_BIT = 0x40000000u;    // the constrained pixel keeps a smoothness term
inline constexpr std::uint32_t PASS_MASK = 0x3fffffffu;        // pass number of an unconstrained pixel

// One mesh pixel as stored: 12 bytes, R at +0, G at +4, B at +8.
struct MeshPixel {
  float r;
  float g;
  std::uint32_t b;
};
static_assert(sizeof(MeshPixel) == 12);

inline MeshPixel readMeshPixel(std::byte const* p) {
  MeshPixel m;
  std::memcpy(&m, p, sizeof m);
  return m;
}
inline void writeMeshPixel(std::byte* p, MeshPixel const& m) { std::memcpy(p, &m, sizeof m); }
inline std::uint32_t readMeshBits(std::byte const* p) {
  std::uint32_t b;
  std::memcpy(&b, p + 8, sizeof b);
  return b;
}
inline void writeMeshBits(std::byte* p, std::uint32_t b) { std::memcpy(p + 8, &b, sizeof b); }

// A position as a mesh pixel stores it: the nearest float, or the largest
// float where v lies beyond the float range. Finite targets near the end of
// that range (absurd, but finite) can solve, interpolate or blend to values
// just past it; held there, a finite mesh never turns infinite.
inline float toMeshCoordinate(double v) {
  return static_cast<float>(v < -FLT_MAX ? -FLT_MAX : v > FLT_MAX ? FLT_MAX : v);
}

class WarpGridProc {
 public:
  // Per-shape smoothing mode of a curve's constrained pixels.
  enum Smoothing {
    Bidirectional = 0,  // curve pixels smooth; no pass split
    Inside = 1,         // a closed curve's outside is solved before its inside
    Outside = 2,        // a closed curve's inside is solved before its outside
    None = 3,           // curve pixels are fixed but carry no smoothness term
  };

  // Size of the top-level lattice cells for a w x h mesh: 1 when the shorter
  // side is at most 8, else the smallest power of two s >= 2 with 8 s >= the
  // shorter side.
  static int coarsestGridStep(int w, int h);

  // The mesh region for a requested region: the same origin, enlarged on the
  // right and bottom so that width - 1 and height - 1 are multiples of the
  // coarsest grid step. An empty region comes back unchanged.
  static GeRectangle<int> const computeCorrespondenceImageRegion(GeRectangle<int> const& region);

  // The solve arguments that "Quality" gives for a correspondence region:
  // the refinement floor, the budgets (in units of 10000 term evaluations)
  // and the refinement threshold, as the generator passes them to
  // createSmoothGrid. Larger regions get a larger budget; higher qualities
  // refine deeper and spend more.
  struct SolveArguments {
    int minStep;
    int passWork;
    int cycleWork;
    double refineThreshold;
  };
  static SolveArguments computeSolveArguments(double quality, GeRectangle<int> const& correspondenceRegion);

  // Fills every unconstrained pixel of the mesh from its constrained pixels.
  static void createSmoothGrid(IxWriteGuard& srcAndDst, double magnetWeight, bool affineSmoothness, int minStep,
                               int passWork, int nCycleWork, int* cycleWork, double tolX, double tolE,
                               double refineThreshold, int* outFirstStep);

  // Writes the pixels the source curve passes through as constrained pixels
  // whose targets follow the destination curve. Both ends of an open curve
  // are constrained. A pixel that is already constrained keeps its target,
  // except where a segment joint of this curve lies in it: the joint, a
  // control point, takes it. For a closed curve with "Inside" or "Outside"
  // the passes are then split by side; a cancelled request leaves them all
  // split or all as they were.
  // An unusable shape (a curve with no point, a non-finite coordinate or
  // one beyond about half a million pixels, non-finite links or
  // interpolation) is skipped: the mesh is left as it was.
  static void applyCurveToCorrespondence(GeBezierCurve const& src, Vector<float> const& srcLinks,
                                         GeBezierCurve const& dst, Vector<float> const& dstLinks,
                                         double interpolation, Smoothing smoothing, IxWriteGuard& corrMesh);
};

}  // namespace Qx::Warper2D
