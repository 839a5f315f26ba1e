// The filtered texture sampler: reads a source image node at arbitrary
// positions, with the filter of SdTextureParams (sdTextureParams.h). A node
// that resamples its input (a warp) makes one texture per request over its
// input and samples it row by row.
//
// Coordinates. A position passes through the params' texture matrix to
// normalised texture coordinates and from there to the source's pixels at
// the request's level (pixel (x, y) centred on the integer point (x, y)).
// With pixelToTextureMatrix of the source's own pixel rectangle the two
// steps cancel and positions are source pixel positions. The derivative
// matrix J (SdJacobian) is the change of the position per output pixel,
// in the caller's coordinates like the position.
//
// Filters. Nearest (0) takes the pixel the position falls in (floor(x +
// 0.5), floor(y + 0.5)); Bilinear (1) interpolates the four pixels around
// it. Neither uses J, so they alias where a warp shrinks the image. The
// footprint filters average the pixels inside the ellipse that J maps the
// output pixel's unit disc to, each axis at least one source pixel (so a
// magnified image stays as sharp as at 1:1 and a minified one does not
// alias), weighted by a radial kernel of the ellipse's normalised distance,
// the weights normalised to sum 1:
//   Gaussian (2)  exp(-2 r^2) (sigma 1/2 pixel), radius 2
//   Mitchell (3)  Mitchell-Netravali cubic, B = C = 1/3, radius 2
//   Jinc 2 (5)    jinc(r) jinc(r z1 / z2), radius z2 = 2.2331
//   Jinc 3 (6)    jinc(r) jinc(r z1 / z3), radius z3 = 3.2383
// with r in source pixels for a unit footprint, jinc(r) = 2 J1(pi r) / (pi r)
// and z1, z2, z3 its zeros. Colour channels (and alpha) are filtered
// alike and independently: a premultiplied image stays premultiplied.
//
// Cost. Where the footprint is large, the filters average over a coarser
// level of a prefiltered pyramid of the source instead (built once per
// source image, time and request level, and kept in the image cache), so a
// sample costs about the same however strongly the warp shrinks the image.
// The level follows the ellipse's shorter axis s (in source pixels, after
// the anisotropy limit): level L = floor(log2 s), where the residual ellipse
// (the footprint in pixels of level L, s / 2^L) has its shorter axis in
// [1, 2); in the upper part of each octave the result blends into level
// L + 1, so that the blur changes smoothly with the warp.
//
// Edges. Pixels outside the source are transparent black (0, 0, 0, 0). A
// sample whose footprint (for Bilinear, its four pixels) lies wholly inside
// the source sees only source pixels, so a constant image stays exactly
// constant up to its edge, and fades to transparent across it.
//
// Source pixels. The texture reads only the grid tiles of the source that
// its samples reach, each once, through the pipeline
// (PxImageProtocol::getImageTilesInRegion). Every pixel format of the tiles
// is accepted; UINT8, FLOAT16 and FLOAT32 in RGB and RGBA are read in
// place, others converted. An RGB source reads with alpha 1. Results are
// float RGBA.
//
// Threading. A texture belongs to one request and is used by one thread at
// a time (it fetches and keeps source tiles as it goes); make one per
// request, on the thread that computes it. Any number of textures over the
// same source may work at once on different threads: they share only the
// image cache.
//
// Bad input. A position that is not a finite number, or one beyond the
// source, samples as transparent black; derivatives that are NaN are taken
// as the identity, infinite ones as a footprint covering everything. An
// empty source gives transparent black everywhere.
#pragma once

#include <memory>

#include "primitives/coRgbaColor.h"
#include "pluginAPI/pxImageProtocol.h"
#include "pluginAPI/sdTextureParams.h"

namespace sdtex {
class Sampler;
}

// The derivative matrix: an output step (dX, dY) moves the sample position
// by (a dX + b dY, c dX + d dY). For a warp whose output pixel (x, y)
// samples at (R, G): a = dR/dx, b = dR/dy, c = dG/dx, d = dG/dy.
template <class T>
struct SdJacobian {
  T a = 1, b = 0, c = 0, d = 1;
};

class PxImageTexture {
 public:
  using Color = CoRgbaColorTyped<float>;

  // Samples `source` at the time, stream and proxy level of `context` (its
  // region is not used). The source node must outlive the texture.
  PxImageTexture(PxImageProtocol const& source, PxImageContext const& context, SdTextureParams const& params);
  ~PxImageTexture();
  PxImageTexture(PxImageTexture const&) = delete;
  PxImageTexture& operator=(PxImageTexture const&) = delete;

  // One sample at (x, y) (computed in single precision).
  Color sample(double x, double y, SdJacobian<double> const& derivatives = {});

  // `count` samples: position i is (xy[i * xyStride], xy[i * xyStride + 1]),
  // so a row of a vector image (R, G, B) is passed as it is with stride 3.
  // `derivatives` holds one matrix per sample, or is null for the identity;
  // it is read only by the footprint filters. Writes out[0 .. count - 1].
  // The work per sample is the filter's arithmetic: no call through a
  // table, no tile look-up, no allocation, except where a sample first
  // reaches a tile or pyramid level.
  void sampleSpan(int count, float const* xy, int xyStride, SdJacobian<float> const* derivatives, Color* out);

  // The source's pixels at the request's level.
  GeRectangle<int> const& getSourcePixels() const;
  // The validity of everything read so far: reduce a result's validity by
  // it after sampling.
  PxValidityInterval getValidity() const;

 private:
  std::unique_ptr<sdtex::Sampler> _sampler;
};
