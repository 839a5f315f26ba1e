// How a texture (pxImageTexture.h) samples its source: the filter, the map
// from the caller's pixel positions to normalised texture coordinates, and
// the shape of the footprint the filters with a footprint average over.
//
// Texture coordinates are normalised over the source's pixel rectangle S at
// the request's level: (0, 0) is the outer corner of pixel (S.x1, S.y1) and
// (1, 1) the outer corner of pixel (S.x2 - 1, S.y2 - 1), so pixel centres
// sit at ((x - S.x1 + 0.5) / W, (y - S.y1 + 0.5) / H). A node that samples
// at pixel positions of the source builds the matrix with
// pixelToTextureMatrix(S).
#pragma once

#include "primitives/geAffineMatrix2.h"
#include "primitives/geRectangle.h"

struct SdTextureParams {
  // Filter codes; 4 is not a filter of this sampler.
  enum Filter {
    kNearest = 0,   // the pixel the position falls in
    kBilinear = 1,  // the four pixels around the position
    kGaussian = 2,  // the footprint filters: radial kernels over an ellipse
    kMitchell = 3,
    kJinc2 = 5,
    kJinc3 = 6,
  };

  // A code that is not in the table samples as Bilinear: a user's picture
  // keeps rendering rather than failing over a filter choice.
  int filter = kBilinear;
  // Caller's pixel position -> normalised texture coordinates.
  GeAffineMatrix2<float> textureMatrix;
  // Scales the footprint of the footprint filters: above 1 blurs, below 1
  // sharpens a minified image at the price of aliasing. The footprint never
  // gets narrower than one source pixel whatever the scale.
  float footprintScale = 1.0f;
  // Longest axis of a footprint over its shortest (clamped to [1, 64]). A
  // thinner footprint is widened along its short axis: bounded cost where a
  // warp squeezes the image in one direction only, at the price of some
  // blur across the squeeze.
  float maxAnisotropy = 16.0f;

  // Whether the sampler uses the derivative matrix: true for the footprint
  // filters (Gaussian, Mitchell, Jinc 2, Jinc 3).
  bool needsDerivatives() const {
    return filter == kGaussian || filter == kMitchell || filter == kJinc2 || filter == kJinc3;
  }

  // The matrix that maps pixel positions of a source over the pixel
  // rectangle S to its normalised texture coordinates: translation (0.5,
  // 0.5) * scale (1/W, 1/H) * translation (-(x1 + x2 - 1)/2, -(y1 + y2 - 1)/2),
  // in float. An empty S gives the identity.
  static GeAffineMatrix2<float> pixelToTextureMatrix(GeRectangle<int> const& sourcePixels) {
    if (sourcePixels.isEmpty()) return {};
    float const w = static_cast<float>(sourcePixels.getWidth()), h = static_cast<float>(sourcePixels.getHeight());
    float const cx = static_cast<float>(sourcePixels.x1() + sourcePixels.x2() - 1) * 0.5f;
    float const cy = static_cast<float>(sourcePixels.y1() + sourcePixels.y2() - 1) * 0.5f;
    return GeAffineMatrix2<float>::translation(0.5f, 0.5f) * GeAffineMatrix2<float>::scaling(1.0f / w, 1.0f / h) *
           GeAffineMatrix2<float>::translation(-cx, -cy);
  }
};
