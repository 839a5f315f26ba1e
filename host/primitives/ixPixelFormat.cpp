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
  if (f.getDepth() == IxPixelFormat::UINT8) {
    // The common 8-bit case inline: readComp's conversion, without a call
    // and a switch per component (callers convert whole images this way).
    auto const u = [p](int i) { return static_cast<float>(std::to_integer<unsigned>(p[i])) * (1.0f / 255.0f); };
    switch (f.getComps()) {
      case IxPixelFormat::ALPHA:
        return {0.0f, 0.0f, 0.0f, u(0)};
      case IxPixelFormat::RGB:
        return {u(0), u(1), u(2), 1.0f};
      case IxPixelFormat::RGBA:
        return {u(0), u(1), u(2), u(3)};
    }
    return {};
  }
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


// The row writer's conversions restate writeComp and ixFloatToHalf with lane
// operations only (integer min/max and masks instead of branches, isnan and
// library calls): GCC turns float selects into jumps and then gives up on
// the loop. The results are the same bits, which the tests check against
// the scalar path.
namespace {

// `a` where `c` holds, else `b`, as a mask (no jump).
inline std::int32_t pick(bool c, std::int32_t a, std::int32_t b) {
  std::int32_t const m = -static_cast<std::int32_t>(c);
  return (a & m) | (b & ~m);
}

// writeComp's UINT8 rule: NaN -> 0, clamp to [0, 1], lround(255 c). The
// clamp works on the bits, where non-negative floats order as integers:
// positive NaNs lie above +inf and are masked to +0, negative values and
// negative NaNs are negative integers and go to +0 through the max. lround
// of x >= 0 is the truncation plus one when the fraction is at least one
// half; x - trunc(x) is exact in float, so the test is exact (x + 0.5f is
// not: it rounds 0.49999997 up).
inline std::uint8_t uint8Of(float v) {
  std::int32_t bits = std::bit_cast<std::int32_t>(v);
  bits &= -static_cast<std::int32_t>(bits <= 0x7f800000);
  bits = std::min(std::max(bits, 0), 0x3f800000);
  float const x = std::bit_cast<float>(bits) * 255.0f;
  int const t = static_cast<int>(x);
  return static_cast<std::uint8_t>(t + (x - static_cast<float>(t) >= 0.5f));
}

// ixFloatToHalf with every case computed and the right one selected.
// Normal: the mantissa's low 13 bits rounded to nearest even by adding
// 0xfff plus the kept lowest bit (a carry moves into the exponent, as the
// increment does there). Subnormal: |v| 2^24 (below 1024) rounded to an
// integer by adding 2^23, where the float spacing is 1: round to nearest
// even, as nearbyint does.
inline std::uint16_t halfOf(float v) {
  std::int32_t const f = std::bit_cast<std::int32_t>(v);
  std::int32_t const sign = (f >> 16) & 0x8000;
  std::int32_t const a = f & 0x7fffffff;
  std::int32_t const normal = ((a + 0xfff + ((a >> 13) & 1)) >> 13) - (112 << 10);
  float const scaled = std::bit_cast<float>(a) * 16777216.0f + 8388608.0f;
  std::int32_t const subnormal = std::bit_cast<std::int32_t>(scaled) - 0x4b000000;
  std::int32_t const special = 0x7c00 | (static_cast<std::int32_t>(a > 0x7f800000) << 9);  // Inf, quiet NaN
  std::int32_t h = pick(a < 0x38800000, subnormal, normal);
  h = pick(a >= 0x477ff000, 0x7c00, h);  // overflow -> Inf
  h = pick(a >= 0x7f800000, special, h);
  return static_cast<std::uint16_t>(sign | h);
}

inline float float32Of(float v) { return v; }

// Converts n floats to n components (one vector loop); `out` needs no
// alignment.
template <class T, T (*kConvert)(float)>
void convertFlat(std::byte* out, float const* in, int n) {
  for (int j = 0; j < n; ++j) {
    T const c = kConvert(in[j]);
    std::memcpy(out + j * sizeof(T), &c, sizeof(T));
  }
}

// Component k of pixel i is float kFirst + k of colour i (alpha is float 3).
// RGBA rows convert in one flat loop; the others convert whole colours in
// blocks on the stack and then keep the components they store, because
// strided loads and stores do not vectorise on the baseline instruction set.
template <int kComps, int kFirst, class T, T (*kConvert)(float)>
void writeRow(std::byte* pixels, float const* colors, int count) {
  if constexpr (kComps == 4) {
    convertFlat<T, kConvert>(pixels, colors, 4 * count);
  } else {
    constexpr int kBlock = 64;
    alignas(16) std::byte block[4 * kBlock * sizeof(T)];
    for (int i0 = 0; i0 < count; i0 += kBlock) {
      int const n = std::min(kBlock, count - i0);
      convertFlat<T, kConvert>(block, colors + 4 * i0, 4 * n);
      for (int i = 0; i < n; ++i)
        std::memcpy(pixels + (i0 + i) * kComps * sizeof(T), block + (4 * i + kFirst) * sizeof(T), kComps * sizeof(T));
    }
  }
}

template <class T, T (*kConvert)(float)>
void writeRowOf(IxPixelFormat::Comps comps, std::byte* pixels, float const* colors, int count) {
  switch (comps) {
    case IxPixelFormat::ALPHA: return writeRow<1, 3, T, kConvert>(pixels, colors, count);
    case IxPixelFormat::RGB: return writeRow<3, 0, T, kConvert>(pixels, colors, count);
    case IxPixelFormat::RGBA: return writeRow<4, 0, T, kConvert>(pixels, colors, count);
  }
}

}  // namespace

void ixWriteColorRow(IxPixelFormat const& f, std::byte* pixels, CoRgbaColorTyped<float> const* colors, int count) {
  static_assert(sizeof(CoRgbaColorTyped<float>) == 4 * sizeof(float));
  float const* in = reinterpret_cast<float const*>(colors);
  switch (f.getDepth()) {
    case IxPixelFormat::UINT8: return writeRowOf<std::uint8_t, uint8Of>(f.getComps(), pixels, in, count);
    case IxPixelFormat::FLOAT16: return writeRowOf<std::uint16_t, halfOf>(f.getComps(), pixels, in, count);
    case IxPixelFormat::FLOAT32: return writeRowOf<float, float32Of>(f.getComps(), pixels, in, count);
    case IxPixelFormat::COMPLEX:  // not a sampled format: pixel by pixel
      for (int i = 0; i < count; ++i) ixWriteColor(f, pixels + i * f.getBytesPerPixel(), colors[i]);
      return;
  }
}
