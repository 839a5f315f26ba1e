// The texture's span loops (pxImageTextureLoops.inc), compiled three times:
// for the baseline instruction set; for AVX2 with FMA, which the footprint
// filters need to weigh eight pixels in the time of one; and for AVX-512VL,
// the same eight-lane code with 32 vector registers instead of 16, so that
// the kernel's coefficients and two boxes' sums stay in registers rather
// than being reloaded from the stack every row. The processor picks the
// copy at the first call.
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "pluginAPI/pxImageTexture.h"
#include "pluginAPI/pxImageTextureSampler.h"

namespace sdtex {
namespace {

using v4sf = float __attribute__((vector_size(16)));
using v8sf = float __attribute__((vector_size(32)));
using v4si = std::int32_t __attribute__((vector_size(16)));
using v8si = std::int32_t __attribute__((vector_size(32)));
using v16qi = char __attribute__((vector_size(16)));
using v8hi = short __attribute__((vector_size(16)));
using v2di = long long __attribute__((vector_size(16)));
using Color = CoRgbaColorTyped<float>;

std::atomic<VectorSet> widestAllowed{VectorSet::kAvx512};

// float to int, truncating, with the processor's answer (INT_MIN) for NaN
// and out-of-range values rather than the language's undefined one.
inline int truncate(float v) { return __builtin_ia32_cvttss2si(v4sf{v, 0, 0, 0}); }

namespace baseline {

inline float fmadd(float a, float b, float c) { return a * b + c; }
inline v4sf fmadd(v4sf a, v4sf b, v4sf c) { return a * b + c; }
inline v8sf fmadd(v8sf a, v8sf b, v8sf c) { return a * b + c; }
inline v8sf vsqrt(v8sf v) {
  v4sf const lo = __builtin_ia32_sqrtps(v4sf{v[0], v[1], v[2], v[3]});
  v4sf const hi = __builtin_ia32_sqrtps(v4sf{v[4], v[5], v[6], v[7]});
  return v8sf{lo[0], lo[1], lo[2], lo[3], hi[0], hi[1], hi[2], hi[3]};
}
// Lane i of the result: lane index[i] (its low three bits) of the table.
inline v8sf permute(v8sf table, v8si index) {
  v8si const i = index & 7;
  return v8sf{table[i[0]], table[i[1]], table[i[2]], table[i[3]], table[i[4]], table[i[5]], table[i[6]], table[i[7]]};
}
// Four bytes, or four 16-bit values, zero-extended to 32-bit lanes.
inline v4si widenBytes(std::uint32_t bits) {
  v4si const v = {static_cast<std::int32_t>(bits), 0, 0, 0};
  v16qi const b = __builtin_ia32_punpcklbw128(reinterpret_cast<v16qi>(v), v16qi{});
  return reinterpret_cast<v4si>(__builtin_ia32_punpcklwd128(reinterpret_cast<v8hi>(b), v8hi{}));
}
inline v4si widenShorts(std::uint64_t bits) {
  v2di const v = {static_cast<long long>(bits), 0};
  return reinterpret_cast<v4si>(__builtin_ia32_punpcklwd128(reinterpret_cast<v8hi>(v), v8hi{}));
}
inline v8si widenEightBytes(std::uint64_t bits) {
  v4si const lo = widenBytes(static_cast<std::uint32_t>(bits)), hi = widenBytes(static_cast<std::uint32_t>(bits >> 32));
  return v8si{lo[0], lo[1], lo[2], lo[3], hi[0], hi[1], hi[2], hi[3]};
}
// Whether any lane of a comparison's mask is set.
inline bool anyLane(v8si mask) {
  v4si const lo = {mask[0], mask[1], mask[2], mask[3]}, hi = {mask[4], mask[5], mask[6], mask[7]};
  return __builtin_ia32_movmskps(reinterpret_cast<v4sf>(lo | hi)) != 0;
}

#include "pluginAPI/pxImageTextureLoops.inc"

}  // namespace baseline

#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace avx2 {

#include "pluginAPI/pxImageTextureWide.inc"
#include "pluginAPI/pxImageTextureLoops.inc"

}  // namespace avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2,fma,avx512f,avx512vl,prefer-vector-width=256")
namespace avx512 {

#include "pluginAPI/pxImageTextureWide.inc"
#include "pluginAPI/pxImageTextureLoops.inc"

}  // namespace avx512
#pragma GCC pop_options

bool hasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}
bool hasAvx512() {
  __builtin_cpu_init();
  return hasAvx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
}

}  // namespace

void limitVectorSet(VectorSet widest) { widestAllowed.store(widest, std::memory_order_relaxed); }

SpanFunction spanFunction(Mode mode, PixelKind kind) {
  static bool const avx2Here = hasAvx2(), avx512Here = hasAvx512();
  VectorSet const widest = widestAllowed.load(std::memory_order_relaxed);
  if (avx512Here && widest >= VectorSet::kAvx512) return avx512::kSpans[kind][mode];
  if (avx2Here && widest >= VectorSet::kAvx2) return avx2::kSpans[kind][mode];
  return baseline::kSpans[kind][mode];
}

}  // namespace sdtex
