// The "Warp 2D" super tool and its controller.
#include "warper2DSuperTool.h"

namespace Qx::Warper2D {

std::string Warper2DSuperToolController::getRenderQualityName() { return "Quality"; }
std::string Warper2DSuperToolController::getRenderSmoothingName() { return "Smoothing"; }
std::string Warper2DSuperToolController::getRenderBoundaryName() { return "Boundary"; }
std::string Warper2DSuperToolController::getRenderFilterName() { return "Filter"; }
std::string Warper2DSuperToolController::getInvertWarpName() { return "Invert Warp"; }
std::string Warper2DSuperToolController::getGlobalInterpolationName() { return "Interpolation"; }
std::string Warper2DSuperToolController::getTimingName() { return "Timing"; }
std::string Warper2DSuperToolController::getDestinationOutputName() { return "Destination Image"; }

}  // namespace Qx::Warper2D
