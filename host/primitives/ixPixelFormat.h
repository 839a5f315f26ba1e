// Pixel formats of host tiles: a component layout (one alpha channel, RGB or
// RGBA) and a depth per component. COMPLEX components are a pair of 32-bit
// floats (real, imaginary); colour values go to and come from the real part.
#pragma once

#include <cstddef>
#include <cstdint>

#include "primitives/coRgbaColor.h"

class IxPixelFormat {
 public:
  enum Depth { UINT8, FLOAT16, FLOAT32, COMPLEX };
  enum Comps { ALPHA, RGB, RGBA };

  constexpr IxPixelFormat(Comps comps, Depth depth) : _comps(comps), _depth(depth) {}

  constexpr Depth getDepth() const { return _depth; }
  constexpr Comps getComps() const { return _comps; }
  constexpr int getNumComps() const { return _comps == ALPHA ? 1 : _comps == RGB ? 3 : 4; }
  constexpr int getBytesPerComp() const {
    return _depth == UINT8 ? 1 : _depth == FLOAT16 ? 2 : _depth == FLOAT32 ? 4 : 8;
  }
  constexpr int getBytesPerPixel() const { return getNumComps() * getBytesPerComp(); }

  // One component at `p` as a float (UINT8 maps 0..255 to 0..1).
  float readComp(std::byte const* p) const;
  // Stores `v` into one component at `p` (UINT8 clamps to 0..1 and rounds).
  void writeComp(std::byte* p, float v) const;

  constexpr bool operator==(IxPixelFormat const&) const = default;

 private:
  Comps _comps;
  Depth _depth;
};

// IEEE 754 binary16 conversions, round to nearest even.
std::uint16_t ixFloatToHalf(float v);
float ixHalfToFloat(std::uint16_t h);

// A whole pixel as a colour: RGB reads with alpha 1, ALPHA as (0, 0, 0, a).
CoRgbaColorTyped<float> ixReadColor(IxPixelFormat const& format, std::byte const* pixel);
// Stores the components the format has: RGB takes r, g, b; ALPHA the alpha.
void ixWriteColor(IxPixelFormat const& format, std::byte* pixel, CoRgbaColorTyped<float> const& color);
// Stores `count` colours into `count` consecutive pixels from `pixels` on:
// byte for byte what ixWriteColor writes pixel by pixel (NaN and infinities
// included), but as one loop per format that the compiler can vectorise,
// for rows of sampled colours. `colors` and `pixels` must not overlap.
void ixWriteColorRow(IxPixelFormat const& format, std::byte* pixels, CoRgbaColorTyped<float> const* colors,
                     int count);
