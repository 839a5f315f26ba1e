// Pictures that show what a warp does, made from a rendered frame's vectors
// (sceneRenderer.h: R, G of output pixel (x, y) = the input position it
// samples, pixels of the render's level).
//
// ST-map: two float channels per output pixel, the sample position
// normalised to the input frame (its display window) as compositing
// pipelines exchange them: s = (u - X + 0.5) / W, t = 1 - (v - Y + 0.5) / H,
// with (X, Y, W, H) the frame's origin and size at the render's level. So
// s, t run from 0 at the left / bottom edge of the frame to 1 at the right
// / top edge, and a pixel centre maps to the middle of its cell; an
// identity warp gives s = (x + 0.5) / W, t = 1 - (y + 0.5) / H.
//
// Fold map: 1 where the warp folds over (the vectors' Jacobian determinant,
// by central differences, is not positive), else 0.
//
// Overlay: the output image with the warped grid of the input (a line
// wherever neighbouring output pixels sample different grid cells) and the
// shapes' curves drawn over it: source curves cyan, destination curves
// yellow. 8-bit RGB.
#pragma once

#include <vector>

#include "primitives/ixTile.h"
#include "scene.h"

namespace Qx::Warp2dApp {

// A warp rendered from a picture of its own pixel positions (level-0 pixels
// in R and G, weighted by alpha where a sample reaches past the picture) as
// the warp's vectors: FLOAT32 RGB in pixels of the level, `scale` = 2^-level.
IxTile vectorsFromWarpedPositions(IxTile const& warped, double scale);

struct StMap {
  GeRectangle<int> region;
  std::vector<float> st;  // interleaved s, t, row by row
};
StMap makeStMap(IxTile const& vectors, GeRectangle<int> const& frame);

struct FoldMap {
  GeRectangle<int> region;
  std::vector<float> mask;  // one channel
  long folded = 0;          // pixels that fold
};
FoldMap makeFoldMap(IxTile const& vectors);

// `scale` takes the scene's full-resolution coordinates to the level's
// pixels; `gridSpacing` is in input pixels of that level.
IxTile makeOverlay(IxTile const& output, IxTile const& vectors, std::vector<SceneShape> const& shapes, double scale,
                   double gridSpacing);

}  // namespace Qx::Warp2dApp
