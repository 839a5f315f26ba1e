// The "Warp 2D" super tool: the group node that holds a warp's internal
// graph (an empty image node, the generator, the resampler and two shape
// renderer nodes per shape) and its controller.
//
// The names below are module-wide: the generator and the resampler declare
// their tool-level inputs and their second output under them, and the super
// tool declares its own parameters under the same names, so that its inputs
// feed theirs one to one. They are plain static strings, valid at any time
// (no initialisation needed) and safe to read from any thread.
#pragma once

#include <string>

namespace Qx::Warper2D {

class Warper2DSuperToolController {
 public:
  // Output parameters, each an input of the super tool and of the internal
  // tool that owns it.
  static std::string getRenderQualityName();        // "Quality": generator, resampler
  static std::string getRenderSmoothingName();      // "Smoothing": generator
  static std::string getRenderBoundaryName();       // "Boundary": generator, resampler
  static std::string getRenderFilterName();         // "Filter": resampler
  static std::string getInvertWarpName();           // "Invert Warp": resampler
  static std::string getGlobalInterpolationName();  // "Interpolation": resampler
  static std::string getTimingName();               // "Timing": resampler
  // "Destination Image": the second output of the super tool, of the
  // generator and of the resampler.
  static std::string getDestinationOutputName();
};

}  // namespace Qx::Warper2D
