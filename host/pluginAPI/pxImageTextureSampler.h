// The working state of one texture (pxImageTexture.h) and what the span
// loops (pxImageTextureSpan.cpp) need of it. Private to the texture: the
// setup code fills it once; the loops read it and call back only on their
// slow paths (a source tile not fetched yet, a pyramid level not built yet).
//
// Level 0 is the source at the request's level, read by the tiles of the
// grid as the samples first need them; each fetched grid tile becomes a
// plane, a block of pixels the loops address directly in the source's own
// format (a source that produces full frames gives one plane for all of
// it). Levels 1, 2, ... are the prefiltered pyramid, float RGBA, one whole
// plane each, kept in the image cache.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pluginAPI/pxImageProtocol.h"
#include "pluginAPI/sdTextureParams.h"

template <class T>
struct SdJacobian;

namespace sdtex {

// Level-0 pixel formats the loops read directly. Others are converted to
// kF32Rgba when fetched.
enum PixelKind { kU8Rgb, kU8Rgba, kF16Rgb, kF16Rgba, kF32Rgb, kF32Rgba, kPixelKinds };

// How samples are computed.
enum Mode { kModeNearest, kModeBilinear, kModeRadial, kModeMitchell, kModes };

// Pixels that a loop addresses directly: rectangle [x1, x2) x [y1, y2) and
// the address of pixel (x1, y1).
struct Plane {
  int x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  std::byte const* base = nullptr;
  std::ptrdiff_t stride = 0;

  // Whether the inclusive box [bx1, bx2] x [by1, by2] lies inside.
  bool holds(int bx1, int by1, int bx2, int by2) const { return bx1 >= x1 && by1 >= y1 && bx2 < x2 && by2 < y2; }
  std::byte const* at(int x, int y, int bytesPerPixel) const {
    return base + static_cast<std::ptrdiff_t>(y - y1) * stride + static_cast<std::ptrdiff_t>(x - x1) * bytesPerPixel;
  }
};

// A radial kernel of the footprint filters over q, the squared distance
// from the footprint's centre normalised so that the support ends at q = 1:
// a polynomial in t = 2q - 1 (Gaussian, Jinc), or, for Mitchell-Netravali
// (a cubic in r = 2 sqrt(q), not smooth in q at 0), a quartic in q on each
// of eight octaves of q, [0, 2^-7), [2^-7, 2^-6), ..., [1/2, 1), picked by
// q's float exponent: no square root, and the cubics' knot at r = 1 falls on
// the octave boundary q = 1/4.
struct RadialKernel {
  static constexpr int kDegree = 9;
  static constexpr int kPieceDegree = 4;
  static constexpr int kPieces = 8;
  static constexpr int kEdgeSteps = 64;
  float support = 2.0f;  // radius in pixels of the footprint of a unit pixel
  bool piecewise = false;
  std::array<float, kDegree + 1> coefficients{};  // of t^0 .. t^kDegree
  // pieces[j][s]: the coefficient of q^j on octave s.
  std::array<std::array<float, kPieces>, kPieceDegree + 1> pieces{};
  // The share of the kernel's weight over the unit disc on the near side of
  // a straight edge at signed distance u from the centre (u = -1: none, 0:
  // half, 1: all), at u = -1 + 2 i / kEdgeSteps: how much of a footprint
  // lies inside the source where it crosses the source's edge.
  std::array<float, kEdgeSteps + 1> inside{};

  // The octave of 0 <= q < 1 (its float exponent, the lowest octave taking
  // everything below 2^-7); the span loops compute the same on eight lanes.
  static int pieceOf(float q) {
    std::int32_t bits;
    std::memcpy(&bits, &q, sizeof bits);
    int const s = (bits >> 23) - (127 - kPieces);
    return s > 0 ? s : 0;
  }
  // The kernel at 0 <= q < 1 in float, as the span loops evaluate it.
  float at(float q) const {
    if (piecewise) {
      int const s = pieceOf(q);
      float w = pieces[kPieceDegree][s];
      for (int j = kPieceDegree - 1; j >= 0; --j) w = std::fma(w, q, pieces[j][s]);
      return w;
    }
    // Estrin's scheme, in the loops' order.
    static_assert(kDegree == 9);
    float const t = std::fma(q, 2.0f, -1.0f), t2 = t * t, t4 = t2 * t2;
    auto const pair = [&](int i) { return std::fma(coefficients[i + 1], t, coefficients[i]); };
    float const lo = std::fma(pair(2), t2, pair(0)), hi = std::fma(pair(6), t2, pair(4));
    return std::fma(std::fma(pair(8), t4, hi), t4, lo);
  }

  // That share at any u, interpolated.
  float insideAt(float u) const {
    if (!(u > -1.0f)) return 0.0f;
    if (u >= 1.0f) return 1.0f;
    float const f = (u + 1.0f) * (kEdgeSteps / 2.0f);
    int const i = f < kEdgeSteps - 1 ? static_cast<int>(f) : kEdgeSteps - 1;
    return inside[i] + (f - static_cast<float>(i)) * (inside[i + 1] - inside[i]);
  }
};

// The kernel of a footprint filter code (2, 3, 5 or 6).
RadialKernel const& radialKernel(int filter);
// The same kernel at q in double, from its definition: what radialKernel
// approximates.
double exactKernel(int filter, double q);

class Sampler {
 public:
  Sampler(PxImageProtocol const& source, PxImageContext const& context, SdTextureParams const& params);
  Sampler(Sampler const&) = delete;
  Sampler& operator=(Sampler const&) = delete;

  // Fixed by the constructor.
  Mode mode;
  RadialKernel kernel;
  // Caller position -> level-0 source position: x' = m[0] x + m[1] y + m[2],
  // y' = m[3] x + m[4] y + m[5].
  std::array<float, 6> matrix;
  float footprintScale;
  float maxAnisotropy;
  PixelKind pixelKind;
  // Level-0 pixels are read in their raw units (0..255 for UINT8); a level-0
  // result times rawScale is a colour.
  float rawScale;
  GeRectangle<int> pixels;  // the source's pixels at the request's level
  int topLevel;             // the coarsest pyramid level, a single pixel (0: no pyramid)
  PxValidityInterval validity = PxValidityInterval::FULL;

  // The level-0 plane holding pixel (x, y) of `pixels`, fetching its grid
  // tile on first use. The pointer stays valid until the next call.
  Plane const* block(int x, int y);
  // Pyramid level 1 <= level <= topLevel, found or built through the cache.
  Plane const& level(int level);
  // Working floats for assembling a footprint that straddles planes.
  float* scratch(std::size_t floats);

  // Level-0 pixels around footprints that straddle planes (float RGBA in
  // raw units, transparent outside the source), reused while the samples
  // stay inside; replaced in turn.
  struct Window {
    Plane plane;
    std::vector<float> pixels;
  };
  std::array<Window, 4> windows;
  int nextWindow = 0;
  // Working list of the pixels of up to 16 rows of a footprint: four
  // arrays of 16 * perRow floats (perRow: the longest chord plus 8).
  float* tapList(std::size_t perRow) {
    if (_taps.size() < 64 * perRow) _taps.resize(64 * perRow);
    return _taps.data();
  }

 private:
  void fetch(int gridIndex);
  int addPlane(IxTile const& tile, GeRectangle<int> const& area);

  PxImageProtocol const& _source;
  PxImageContext _context;
  IxPixelFormat _format;  // of level-0 planes
  bool _fullFrame;
  GeRectangle<int> _grid;          // grid tiles over `pixels`
  std::vector<int> _directory;     // plane of each grid tile, -1 until fetched
  std::vector<Plane> _planes;
  std::vector<IxTile> _held;       // keeps the planes' pixels alive
  std::array<Plane, 31> _levels{};
  std::array<IxTile, 31> _levelTiles{};
  std::vector<float> _scratch;
  std::vector<float> _taps;
};

// The span loop for a mode and level-0 pixel kind, for the best instruction
// set this processor has.
using SpanFunction = void (*)(Sampler& sampler, int count, float const* xy, int xyStride,
                              SdJacobian<float> const* derivatives, CoRgbaColorTyped<float>* out);
SpanFunction spanFunction(Mode mode, PixelKind kind);
// The copies of the loops, by instruction set: the baseline one runs
// anywhere; the AVX2 one needs AVX2 and FMA; the AVX-512 one adds AVX-512VL,
// the same eight-lane arithmetic with twice the vector registers.
enum class VectorSet { kBaseline, kAvx2, kAvx512 };
// Lets spanFunction pick the widest copy the processor has up to `widest`
// (by default any): for tests that hold the copies against each other.
void limitVectorSet(VectorSet widest);

}  // namespace sdtex
