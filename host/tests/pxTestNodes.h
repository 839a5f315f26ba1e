// Small image nodes shared by the pipeline tests: a generated pattern (a
// source with an animated gain) and a 3 x 3 blur (a node that reads its
// input's neighbours through the tile grid, with an animated amount). Both
// count their computations and rows, check for interruption once per row,
// and can be slowed down per row so that requests overlap.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

#include "pluginAPI/pxAnimValue.h"
#include "pluginAPI/pxImageProtocol.h"

namespace pxtest {

using Color = CoRgbaColorTyped<float>;

struct Counters {
  std::atomic<int> computes{0};
  std::atomic<int> rows{0};
  std::chrono::microseconds rowDelay{0};
};

// A value in [0, 1) that changes from pixel to pixel and channel to channel.
inline float patternValue(int x, int y, int level, int c) {
  std::uint32_t h = static_cast<std::uint32_t>(x) * 73856093u ^ static_cast<std::uint32_t>(y) * 19349663u ^
                    static_cast<std::uint32_t>(level * 4 + c) * 83492791u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return static_cast<float>(h & 0xffffu) / 65536.0f;
}

inline void endRow(Counters& counters) {
  if (counters.rowDelay.count() > 0) std::this_thread::sleep_for(counters.rowDelay);
  counters.rows.fetch_add(1);
  PxRequestMgr::getInstance().checkInterruption();
}

template <class T>
PxNodePtr<PxAnimValueProtocol<T>> value(std::vector<PxKeyframe<T>> keys) {
  return PxNodePtr<PxAnimValueNode<T>>::create(std::move(keys));
}
template <class T>
PxNodePtr<PxAnimValueProtocol<T>> constant(T v) {
  return PxNodePtr<PxAnimValueNode<T>>::create(v);
}

// Pixel (x, y) channel c = gain * patternValue over a nominal rectangle.
class PatternNode : public PxImageNode {
 public:
  PatternNode(PxImageFormat const& format, GeRectangle<float> const& rod, PxNodePtr<PxNode> const& gain,
              Counters& counters)
      : PxImageNode(PxNodeInit{"pattern", format}), _rod(rod), _gain(gain), _counters(counters) {}

  PxRODResult computeROD(PxImageContext const&) const override { return {_rod, PxValidityInterval::FULL}; }

  PxImageResult computeImage(PxImageContext const& context) const override {
    _counters.computes.fetch_add(1);
    PxValidityInterval validity = PxValidityInterval::FULL;
    float const gain = static_cast<float>(_gain->getValue(context.getTime(), validity));
    GeRectangle<int> const region = context.getPixelRegion() & computePixelROD(context, validity);
    if (region.isEmpty()) return {allocateEmptyImageBuffer(context, Color::ZERO), validity};
    IxTile tile = allocateImageBuffer(region);
    IxWriteGuard g(tile);
    int const level = context.getProxyLevel();
    for (int y = region.y1(); y < region.y2(); ++y) {
      for (int x = region.x1(); x < region.x2(); ++x)
        ixWriteColor(g.getPixelFormat(), g.getPixelAddress(x, y),
                     Color{gain * patternValue(x, y, level, 0), gain * patternValue(x, y, level, 1),
                           gain * patternValue(x, y, level, 2), 1.0f});
      endRow(_counters);
    }
    return {tile, validity};
  }

 private:
  GeRectangle<float> _rod;
  PxStrongHndl<PxAnimValueProtocol<double>> _gain;
  Counters& _counters;
};

// out = in + amount * (mean of the 3 x 3 neighbourhood - in), the input
// read as float RGBA with zero outside its tiles.
class BlurNode : public PxImageNode {
 public:
  BlurNode(PxNodePtr<PxImageProtocol> const& input, PxNodePtr<PxNode> const& amount, Counters& counters)
      : PxImageNode(PxNodeInit{"blur", {}}, input), _amount(amount), _counters(counters) {}

  // The input's region grown by the one pixel the blur spreads it.
  PxRODResult computeROD(PxImageContext const& context) const override {
    PxValidityInterval validity = PxValidityInterval::FULL;
    GeRectangle<int> const in = getPrimaryInput()->computePixelROD(context, validity);
    GeRectangle<int> const out =
        in.isEmpty() ? in : GeRectangle<int>(in.x1() - 1, in.y1() - 1, in.x2() + 1, in.y2() + 1);
    return {pixelizedToNominal(out, getImageFormat().getPixelAspectRatio(), context.getScale()), validity};
  }

  PxImageResult computeImage(PxImageContext const& context) const override {
    _counters.computes.fetch_add(1);
    PxValidityInterval validity = PxValidityInterval::FULL;
    float const amount = static_cast<float>(_amount->getValue(context.getTime(), validity));
    GeRectangle<int> const region = context.getPixelRegion() & computePixelROD(context, validity);
    if (region.isEmpty()) return {allocateEmptyImageBuffer(context, Color::ZERO), validity};
    GeRectangle<int> const grown(region.x1() - 1, region.y1() - 1, region.x2() + 1, region.y2() + 1);
    PxImageTiles const in = getImageTilesInRegion(*getPrimaryInput(), context, grown, Color::ZERO);
    validity = reduceVI(validity, in.validity);
    IxTile source(IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32), grown);
    in.copyTo(IxWriteGuard(source));
    IxReadGuard const s(source);
    IxTile tile = allocateImageBuffer(region);
    IxWriteGuard g(tile);
    for (int y = region.y1(); y < region.y2(); ++y) {
      for (int x = region.x1(); x < region.x2(); ++x) {
        float out[4];
        float const* centre = reinterpret_cast<float const*>(s.getPixelAddress(x, y));
        for (int c = 0; c < 4; ++c) {
          float sum = 0.0f;
          for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) sum += reinterpret_cast<float const*>(s.getPixelAddress(x + dx, y + dy))[c];
          out[c] = centre[c] + amount * (sum / 9.0f - centre[c]);
        }
        ixWriteColor(g.getPixelFormat(), g.getPixelAddress(x, y), Color{out[0], out[1], out[2], out[3]});
      }
      endRow(_counters);
    }
    return {tile, validity};
  }

 private:
  PxStrongHndl<PxAnimValueProtocol<double>> _amount;
  Counters& _counters;
};

inline PxImageFormat const kRgbaF32(IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32));

// Whether two tiles hold the same pixel region and the same bytes there.
inline bool sameBits(IxTile const& a, IxTile const& b) {
  IxReadGuard const ga(a), gb(b);
  if (ga.getPixelRegion() != gb.getPixelRegion() || ga.getPixelFormat() != gb.getPixelFormat()) return false;
  GeRectangle<int> const r = ga.getPixelRegion();
  std::size_t const row = static_cast<std::size_t>(r.getWidth()) * ga.getBytesPerPixel();
  for (int y = r.y1(); y < r.y2(); ++y)
    if (std::memcmp(ga.getPixelAddress(r.x1(), y), gb.getPixelAddress(r.x1(), y), row) != 0) return false;
  return true;
}

}  // namespace pxtest
