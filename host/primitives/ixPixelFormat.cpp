#include "primitives/ixPixelFormat.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

std::uint16_t ixFloatToHalf(float v) {
  std::uint32_t const f = std::bit_cast<std::uint32_t>(v);
  std::uint32_t const sign = (f >> 16) & 0x8000u;
  std::uint32_t const absBits = f & 0x7fffffffu;
  if (absBits >= 0x7f800000u) {  // Inf or NaN; keep NaN quiet and non-zero.
    return static_cast<std::uint16_t>(sign | 0x7c00u | (absBits > 0x7f800000u ? 0x200u : 0u));
  }
  if (absBits >= 0x477ff000u) return static_cast<std::uint16_t>(sign | 0x7c00u);  // overflow -> Inf
  if (absBits < 0x38800000u) {
    // Subnormal half (or zero): scale into the 10-bit mantissa with rounding.
    float const scaled = std::bit_cast<float>(absBits) * 16777216.0f;  // * 2^24
    return static_cast<std::uint16_t>(sign | static_cast<std::uint32_t>(std::nearbyint(scaled)));
  }
  std::uint32_t const mant = absBits & 0x7fffffu;
  std::uint32_t half = ((absBits >> 13) - (112u << 10));
  std::uint32_t const rest = mant & 0x1fffu;
  if (rest > 0x1000u || (rest == 0x1000u && (half & 1u))) ++half;
  return static_cast<std::uint16_t>(sign | half);
}

float ixHalfToFloat(std::uint16_t h) {
  std::uint32_t const sign = (std::uint32_t(h) & 0x8000u) << 16;
  std::uint32_t const exp = (h >> 10) & 0x1fu;
  std::uint32_t const mant = h & 0x3ffu;
  if (exp == 0) {
    float const v = static_cast<float>(mant) / 16777216.0f;  // 2^-24 units
    return sign ? -v : v;
  }
  if (exp == 31) return std::bit_cast<float>(sign | 0x7f800000u | (mant << 13));
  return std::bit_cast<float>(sign | ((exp + 112u) << 23) | (mant << 13));
}

float IxPixelFormat::readComp(std::byte const* p) const {
  switch (_depth) {
    case UINT8:
      return static_cast<float>(std::to_integer<unsigned>(*p)) * (1.0f / 255.0f);
    case FLOAT16: {
      std::uint16_t h;
      std::memcpy(&h, p, sizeof h);
      return ixHalfToFloat(h);
    }
    case FLOAT32:
    case COMPLEX: {
      float v;
      std::memcpy(&v, p, sizeof v);
      return v;
    }
  }
  return 0.0f;
}

void IxPixelFormat::writeComp(std::byte* p, float v) const {
  switch (_depth) {
    case UINT8: {
      float const c = std::isnan(v) ? 0.0f : std::clamp(v, 0.0f, 1.0f);
      *p = static_cast<std::byte>(static_cast<unsigned>(std::lround(c * 255.0f)));
      return;
    }
    case FLOAT16: {
      std::uint16_t const h = ixFloatToHalf(v);
      std::memcpy(p, &h, sizeof h);
      return;
    }
    case FLOAT32:
      std::memcpy(p, &v, sizeof v);
      return;
    case COMPLEX: {
      float const pair[2] = {v, 0.0f};
      std::memcpy(p, pair, sizeof pair);
      return;
    }
  }
}

// Colour components in the order a tile of these components stores them.
static int colorComponents(IxPixelFormat const& f, CoRgbaColorTyped<float> const& c, float out[4]) {
  switch (f.getComps()) {
    case IxPixelFormat::ALPHA:
      out[0] = c.a;
      return 1;
    case IxPixelFormat::RGB:
      out[0] = c.r; out[1] = c.g; out[2] = c.b;
      return 3;
    case IxPixelFormat::RGBA:
      out[0] = c.r; out[1] = c.g; out[2] = c.b; out[3] = c.a;
      return 4;
  }
  return 0;
}

CoRgbaColorTyped<float> ixReadColor(IxPixelFormat const& f, std::byte const* p) {
  int const step = f.getBytesPerComp();
  switch (f.getComps()) {
    case IxPixelFormat::ALPHA:
      return {0.0f, 0.0f, 0.0f, f.readComp(p)};
    case IxPixelFormat::RGB:
      return {f.readComp(p), f.readComp(p + step), f.readComp(p + 2 * step), 1.0f};
    case IxPixelFormat::RGBA:
      return {f.readComp(p), f.readComp(p + step), f.readComp(p + 2 * step), f.readComp(p + 3 * step)};
  }
  return {};
}

void ixWriteColor(IxPixelFormat const& f, std::byte* p, CoRgbaColorTyped<float> const& c) {
  float comps[4];
  int const n = colorComponents(f, c, comps);
  for (int i = 0; i < n; ++i) f.writeComp(p + i * f.getBytesPerComp(), comps[i]);
}

