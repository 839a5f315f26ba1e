// The built-in demo of warp2d: a generated picture and a scene that warps it
// visibly (a disc pushed up, right and outward, a straight line bent into an
// arc, the frame held by a "Fixed" boundary), so that `warp2d demo` needs no
// input files.
#pragma once

#include <string>

#include "primitives/ixTile.h"

namespace Qx::Warp2dApp {

// An 8-bit RGB picture of `width` x `height`: a colour gradient under a
// checkerboard, with concentric rings in the middle, so that any distortion
// shows in straight lines and circles.
IxTile makeDemoImage(int width, int height);

// The demo scene for that picture, as the JSON text of a scene file reading
// `input` and writing `output` (paths relative to the scene file).
std::string makeDemoScene(int width, int height, std::string const& input, std::string const& output);

}  // namespace Qx::Warp2dApp
