// The resampler's nodes: vector nodes (mesh to sample positions, at a coarser
// level and upsampled when the mesh is large), the warp node (input sampled
// at those positions) and the chain the resampler controller wires them into;
// the resampler tool and its controller.
#include "warpResamplerTool.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>

#include "base/assertions.h"
#include "base/vector.h"
#include "internalAPI/piGraphUtils.h"
#include "pluginAPI/piInputPolicy.h"
#include "pluginAPI/piProcNodeHook.h"
#include "pluginAPI/pxAnimValue.h"
#include "pluginAPI/pxImageTexture.h"
#include "pluginAPI/pxRequestMgr.h"
#include "pluginAPI/sdTextureParams.h"
#include "primitives/ixPixelFormat.h"
#include "storage/stImageCacheNode.h"
#include "vectorResampleProc.h"
#include "warper2DSuperTool.h"

namespace Qx::Warper2D {

namespace {

template <class T>
using ValueHndl = PxStrongHndl<PxAnimValueProtocol<T>>;
using Color = CoRgbaColorTyped<float>;

IxPixelFormat const kVectorFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32);

// Reductions of the mesh's resolution never go below proxy level 7 in all.
constexpr int kMaxReducedLevel = 7;

// How far a "Free" output may reach beyond the input on each side: one input
// size, at least kMinReach pixels. A warp that throws part of the grid
// further (a fold, a shape dragged off into the distance) is cut there
// rather than making every request allocate an enormous frame.
constexpr int kMinReach = 256;

bool isVectorFormat(IxPixelFormat const& f) { return f == kVectorFormat; }

// The mesh over `region` as one FLOAT32 RGB tile: the source's own tile when
// it is one (the usual case, a full-frame mesh), a copy otherwise.
IxTile meshTileOver(PxImageTiles const& tiles) {
  if (tiles.pieces.size() == 1 && tiles.pieces[0].area == tiles.region &&
      isVectorFormat(tiles.pieces[0].tile.getPixelFormat()))
    return IxTile(tiles.pieces[0].tile, tiles.region, tiles.fillColor);
  IxTile copy(kVectorFormat, tiles.region);
  tiles.copyTo(IxWriteGuard(copy));
  return copy;
}

// Catmull-Rom weights (cubic convolution, a = -0.5) of the four taps around
// t = i / f, for i = 0 ... f.
Vector<std::array<float, 4>> cubicWeights(int f) {
  Vector<std::array<float, 4>> table(static_cast<std::size_t>(f) + 1);
  for (int i = 0; i <= f; ++i) {
    float const t = static_cast<float>(i) / static_cast<float>(f);
    table[i] = {((-0.5f * t + 1.0f) * t - 0.5f) * t, (1.5f * t - 2.5f) * t * t + 1.0f,
                ((-1.5f * t + 2.0f) * t + 0.5f) * t, t * ((0.5f * t - 0.5f) * t)};
  }
  return table;
}

// Upsamples the coarse vectors `coarse` (in coarse pixel units, proxy level
// k below the output's) into `out` by the factor 2^k with a separable cubic;
// R and G are scaled to output pixel units. B, the share of written coarse
// pixels, is interpolated but not scaled: it stays 1 where every coarse
// pixel around was written.
// Output rows per job of the upsampling: a band recomputes about three
// coarse rows of the band above, so bands are kept long.
constexpr int kUpsampleBandRows = 128;

void upsampleVectors(IxTile const& coarse, IxTile const& out, int k) {
  GeRectangle<int> const srcRegion = coarse.getPixelRegion();
  GeRectangle<int> const dstRegion = out.getPixelRegion();
  int const extraProxyFactor = 1 << k;
  QX_ASSERT_TEXT((srcRegion.x1() + 1) * extraProxyFactor <= dstRegion.x1(),
                 "(srcRegion.x1()+1)*extraProxyFactor <= dstRegion.x1()");
  QX_ASSERT_TEXT(dstRegion.x2() - 1 <= (srcRegion.x2() - 2) * extraProxyFactor,
                 "dstRegion.x2()-1 <= (srcRegion.x2()-2)*extraProxyFactor");
  QX_ASSERT_TEXT((srcRegion.y1() + 1) * extraProxyFactor <= dstRegion.y1(),
                 "(srcRegion.y1()+1)*extraProxyFactor <= dstRegion.y1()");
  QX_ASSERT_TEXT(dstRegion.y2() - 1 <= (srcRegion.y2() - 2) * extraProxyFactor,
                 "dstRegion.y2()-1 <= (srcRegion.y2()-2)*extraProxyFactor");
  QX_ASSERT(isVectorFormat(coarse.getPixelFormat()) && isVectorFormat(out.getPixelFormat()));

  Vector<std::array<float, 4>> const table = cubicWeights(extraProxyFactor);
  int const width = dstRegion.getWidth();
  // Per output column: the first of its four coarse taps and its weights.
  Vector<int> firstTap(width);
  Vector<std::array<float, 4> const*> columnWeights(width);
  for (int i = 0; i < width; ++i) {
    int const x = dstRegion.x1() + i;
    int const cx = std::clamp(x >> k, srcRegion.x1() + 1, srcRegion.x2() - 3);
    firstTap[i] = cx - 1;
    columnWeights[i] = &table[x - cx * extraProxyFactor];
  }

  // Bands of output rows run on the request manager's pool. Each keeps four
  // horizontally interpolated coarse rows, slot r & 3 holding coarse row r,
  // with R and G already scaled to output pixel units: the vertical pass is
  // then one plain weighted sum over the row's floats. A band recomputes the
  // few coarse rows it shares with the band above; every output row is
  // computed the same way whichever band and thread it falls to.
  float const scale = static_cast<float>(extraProxyFactor);
  std::size_t const rowFloats = static_cast<std::size_t>(width) * 3;
  IxReadGuard const src(coarse);
  IxWriteGuard const dst(out);
  auto horizontal = [&](int row, float* h) {
    float const* c = src.getRow<float>(row);
    for (int i = 0; i < width; ++i, h += 3) {
      float const* p = c + 3 * (firstTap[i] - srcRegion.x1());
      std::array<float, 4> const& w = *columnWeights[i];
      for (int ch = 0; ch < 3; ++ch) h[ch] = w[0] * p[ch] + w[1] * p[3 + ch] + w[2] * p[6 + ch] + w[3] * p[9 + ch];
      h[0] *= scale;
      h[1] *= scale;
    }
  };
  auto band = [&](int b) {
    Vector<float> ring(4 * rowFloats);
    std::array<int, 4> held;
    held.fill(srcRegion.y1() - 1);  // no coarse row is there yet
    int const yEnd = std::min(dstRegion.y2(), dstRegion.y1() + (b + 1) * kUpsampleBandRows);
    for (int y = dstRegion.y1() + b * kUpsampleBandRows; y < yEnd; ++y) {
      int const cy = std::clamp(y >> k, srcRegion.y1() + 1, srcRegion.y2() - 3);
      int const yLookup = y - cy * extraProxyFactor;
      QX_ASSERT(0 <= yLookup);
      QX_ASSERT(yLookup <= extraProxyFactor);
      float const* rows[4];
      for (int j = 0; j < 4; ++j) {
        int const row = cy - 1 + j;
        float* h = ring.data() + static_cast<std::size_t>(row & 3) * rowFloats;
        if (held[row & 3] != row) {
          horizontal(row, h);
          held[row & 3] = row;
        }
        rows[j] = h;
      }
      std::array<float, 4> const& w = table[yLookup];
      float const* __restrict r0 = rows[0];
      float const* __restrict r1 = rows[1];
      float const* __restrict r2 = rows[2];
      float const* __restrict r3 = rows[3];
      float* __restrict o = dst.getRow<float>(y);
      for (std::size_t i = 0; i < rowFloats; ++i) o[i] = w[0] * r0[i] + w[1] * r1[i] + w[2] * r2[i] + w[3] * r3[i];
      PxRequestMgr::getInstance().checkInterruption();
    }
  };
  int const nBands = (dstRegion.getHeight() + kUpsampleBandRows - 1) / kUpsampleBandRows;
  // Non-owning handle on the current request: parallelFor returns first.
  std::shared_ptr<PxRequest> const request(std::shared_ptr<PxRequest>(), PxRequestMgr::getCurrentRequest());
  PxRequestMgr::getInstance().parallelFor(request, 0, nBands, band);
}

// The mesh and blend amounts a vector node works with (vectorResampleProc.h:
// a = positionAmount, b = valueAmount).
struct Blend {
  PxImageProtocol const* mesh;
  double positionAmount;
  double valueAmount;
};

template <bool kSimplified, bool kReturnDstVectors>
class VectorResamplerNode final : public PxImageNode {
 public:
  VectorResamplerNode(PxNodeInit const& init, VectorResamplerInputs const& in)
      : PxImageNode(init, in.primary.cast<PxImageProtocol>()),
        _mesh(in.mesh),
        _destinationMesh(in.destinationMesh),
        _dstVectors(in.destinationVectors),
        _timing(in.timing),
        _interpolation(in.interpolation),
        _invertWarp(in.invertWarp),
        _quality(in.quality),
        _boundary(in.boundary) {
    QX_ASSERT_TEXT(kReturnDstVectors == _dstVectors.isNull(),
                   "returnDstVectors && dstVectors.isNull() || ! returnDstVectors && ! dstVectors.isNull()");
  }

  bool producesFullFrames() const override { return true; }
  PxImageFormat computeImageFormat() const override {
    PxImageFormat f = PxImageNode::computeImageFormat();
    f.setDepth(IxPixelFormat::FLOAT32);
    return f;
  }
  IxPixelFormat::Comps computeImageFormatComps() const override { return IxPixelFormat::RGB; }

  PxRODResult computeROD(PxImageContext const& context) const override {
    PxValidityInterval validity = PxValidityInterval::FULL;
    PxRODResult const primary = getPrimaryInput()->computeROD(context);
    validity = reduceVI(validity, primary.validity);
    if constexpr (kReturnDstVectors) {
      return {primary.rod, validity};
    } else {
      float const aspect = getPrimaryInput()->getImageFormat().getPixelAspectRatio();
      GeRectangle<int> const input = nominalToPixelized(primary.rod, aspect, 1.0);
      if (_boundary->getValue(context.getTime(), validity) == kBoundaryFixed || input.isEmpty())
        return {primary.rod, validity};
      GeRectangle<int> const free = warpedExtent(context, input, validity);
      return {pixelizedToNominal(free, aspect, 1.0), validity};
    }
  }

  PxImageResult computeImage(PxImageContext const& context) const override {
    PxValidityInterval validity = PxValidityInterval::FULL;
    int const level = context.getProxyLevel();
    PxRODResult const own = computeROD(context);
    validity = reduceVI(validity, own.validity);
    GeRectangle<int> const dstRegion =
        nominalToPixelized(own.rod, getImageFormat().getPixelAspectRatio(), context.getScale());
    IxTile const out = allocateImageBuffer(dstRegion);
    if (dstRegion.isEmpty()) return {out, validity};

    double const time = context.getTime();
    Blend const blend = chooseBlend(time, validity);
    PxRODResult const meshROD = blend.mesh->computeROD(context);
    validity = reduceVI(validity, meshROD.validity);
    PxRODResult const primary = getPrimaryInput()->computeROD(context);
    validity = reduceVI(validity, primary.validity);
    int const k = extraProxyExponent(meshROD.rod, _quality->getValue(time, validity), level);

    if (k == 0) {
      resampleMesh(out, *blend.mesh, context, primary.rod, blend, validity);
      return {out, validity};
    }
    int const f = 1 << k;
    GeRectangle<int> const coarseRegion((dstRegion.x1() >> k) - 1, (dstRegion.y1() >> k) - 1,
                                        ((dstRegion.x2() + f - 1) >> k) + 2, ((dstRegion.y2() + f - 1) >> k) + 2);
    IxTile const coarse(kVectorFormat, coarseRegion);
    resampleMesh(coarse, *blend.mesh, context.withProxyLevel(level + k), primary.rod, blend, validity);
    upsampleVectors(coarse, out, k);
    return {out, validity};
  }

 private:
  Blend chooseBlend(double time, PxValidityInterval& validity) const {
    if constexpr (kSimplified) {
      return kReturnDstVectors ? Blend{&*_destinationMesh, 0.0, 1.0} : Blend{&*_destinationMesh, 1.0, 0.0};
    } else {
      // "Shape" timing takes each shape at its own interpolation from the
      // main mesh; "Global" scales the fully carried mesh by the global
      // interpolation. "Invert Warp" swaps which amount moves the grid.
      bool const shapeTiming = _timing->getValue(time, validity) != kTimingGlobal;
      double const amount = shapeTiming ? 1.0 : _interpolation->getValue(time, validity);
      double const invert = _invertWarp->getValue(time, validity) ? 1.0 : 0.0;
      PxImageProtocol const* mesh = shapeTiming ? &*_mesh : &*_destinationMesh;
      return kReturnDstVectors ? Blend{mesh, invert, amount} : Blend{mesh, amount, invert};
    }
  }

  // The number of proxy levels k by which the mesh is reduced: the power of
  // two nearest to the mesh's geometric mean side over the side Quality
  // allows, never below level 7 in all.
  static int extraProxyExponent(GeRectangle<float> const& meshROD, double quality, int level) {
    double const s = std::max(1.0, std::sqrt(double(meshROD.getWidth()) * double(meshROD.getHeight())));
    float const q = std::isnan(quality) ? 1.0f : std::max(1.0f, static_cast<float>(quality));
    float const maxRes = std::min(2048.0f, 512.0f * std::exp2(q - 1.0f));
    double const K = std::floor(0.5 - std::log2(double(maxRes)) + std::log2(s));
    int const reducible = std::max(kMaxReducedLevel - level, 0);
    return K >= 1.0 ? static_cast<int>(std::min(K, double(reducible))) : 0;
  }

  // The vectors of `target`'s region from the mesh at the level of
  // `meshContext`, read over the input image's region at that level.
  void resampleMesh(IxTile const& target, PxImageProtocol const& mesh, PxImageContext const& meshContext,
                    GeRectangle<float> const& primaryROD, Blend const& blend, PxValidityInterval& validity) const {
    float const aspect = getPrimaryInput()->getImageFormat().getPixelAspectRatio();
    GeRectangle<int> const meshRegion = nominalToPixelized(primaryROD, aspect, meshContext.getScale());
    PxImageTiles const tiles = getImageTilesInRegion(mesh, meshContext, meshRegion, Color(0.0f, 0.0f, 0.0f, 1.0f));
    validity = reduceVI(validity, tiles.validity);
    VectorResampleProc::resample(target, meshTileOver(tiles), blend.positionAmount, blend.valueAmount,
                                 VectorResampleProc::AffineExtrapolation);
  }

  // Under "Free": the full-resolution pixels that the destination vectors
  // over the input region `input` reach, with the margins.
  GeRectangle<int> warpedExtent(PxImageContext const& context, GeRectangle<int> const& input,
                                PxValidityInterval& validity) const {
    PxImageContext const full(context.getTime(), context.getStream(), 0, input);
    PxImageTiles const tiles = getImageTilesInRegion(*_dstVectors, full, input, Color::ZERO);
    validity = reduceVI(validity, tiles.validity);
    bool any = false;
    float minR = 0, maxR = 0, minG = 0, maxG = 0;
    for (PxImageTiles::Piece const& piece : tiles.pieces) {
      IxReadGuard const g(piece.tile);
      IxPixelFormat const format = piece.tile.getPixelFormat();
      GeRectangle<int> const a = piece.area;
      for (int y = a.y1(); y < a.y2(); ++y)
        for (int x = a.x1(); x < a.x2(); ++x) {
          Color const c = ixReadColor(format, g.getPixelAddress(x, y));
          // A position that is not a number extends nothing.
          if (!std::isfinite(c.r) || !std::isfinite(c.g)) continue;
          if (!any) {
            minR = maxR = c.r;
            minG = maxG = c.g;
            any = true;
          }
          minR = std::min(minR, c.r);
          maxR = std::max(maxR, c.r);
          minG = std::min(minG, c.g);
          maxG = std::max(maxG, c.g);
        }
    }
    if (!any) return input;
    double const reachX = std::max(input.getWidth(), kMinReach), reachY = std::max(input.getHeight(), kMinReach);
    auto boundedX = [&](double v) { return static_cast<int>(std::clamp(v, input.x1() - reachX, input.x2() + reachX)); };
    auto boundedY = [&](double v) { return static_cast<int>(std::clamp(v, input.y1() - reachY, input.y2() + reachY)); };
    // floor in single precision, ceil in double, as the extent is defined.
    return GeRectangle<int>(boundedX(std::floor(minR) - 1.0f), boundedY(std::floor(minG) - 1.0f),
                            boundedX(std::ceil(double(maxR) + 1.0) + 1.0), boundedY(std::ceil(double(maxG) + 1.0) + 1.0));
  }

  PxStrongHndl<PxImageProtocol> _mesh;
  PxStrongHndl<PxImageProtocol> _destinationMesh;
  PxStrongHndl<PxImageProtocol> _dstVectors;
  ValueHndl<int> _timing;
  ValueHndl<double> _interpolation;
  ValueHndl<bool> _invertWarp;
  ValueHndl<double> _quality;
  ValueHndl<int> _boundary;
};

// One output row's derivative matrices from the neighbouring vectors: the
// change of the sample position per output pixel, by central differences
// inside the vector tile and one-sided ones on its edges. A tile one pixel
// wide (or tall) says nothing about the warp across it: that column of J is
// the identity's, so the filter's footprint there is one source pixel, as
// it is where the image is not warped.
void rowDerivatives(IxReadGuard const& vectors, GeRectangle<int> const& dstRegion, int y,
                    SdJacobian<float>* out) {
  GeRectangle<int> const v = vectors.getPixelRegion();
  int const yl = std::max(y - 1, v.y1()), yr = std::min(y + 1, v.y2() - 1);
  float const* up = vectors.getRow<float>(yl);
  float const* row = vectors.getRow<float>(y);
  float const* down = vectors.getRow<float>(yr);
  float const dy = static_cast<float>(yr - yl);
  auto column = [&](int x, SdJacobian<float>& o) {
    int const xl = std::max(x - 1, v.x1()), xr = std::min(x + 1, v.x2() - 1);
    int const il = 3 * (xl - v.x1()), ir = 3 * (xr - v.x1()), i = 3 * (x - v.x1());
    if (xr > xl) {
      float const dx = static_cast<float>(xr - xl);
      o.a = (row[ir] - row[il]) / dx;
      o.c = (row[ir + 1] - row[il + 1]) / dx;
    } else {
      o.a = 1.0f;
      o.c = 0.0f;
    }
    if (yr > yl) {
      o.b = (down[i] - up[i]) / dy;
      o.d = (down[i + 1] - up[i + 1]) / dy;
    } else {
      o.b = 0.0f;
      o.d = 1.0f;
    }
  };
  // Columns with both neighbours inside take the central difference over
  // two pixels without the clamps; the others (at most one at each end) the
  // general case.
  int const xBegin = dstRegion.x1(), xEnd = dstRegion.x2();
  int const innerBegin = std::clamp(v.x1() + 1, xBegin, xEnd), innerEnd = std::clamp(v.x2() - 1, innerBegin, xEnd);
  for (int x = xBegin; x < innerBegin; ++x) column(x, out[x - xBegin]);
  if (yr > yl) {
    for (int x = innerBegin; x < innerEnd; ++x) {
      float const* p = row + 3 * (x - v.x1());
      std::size_t const i = static_cast<std::size_t>(3 * (x - v.x1()));
      out[x - xBegin] = SdJacobian<float>{(p[3] - p[-3]) / 2.0f, (down[i] - up[i]) / dy, (p[4] - p[-2]) / 2.0f,
                                          (down[i + 1] - up[i + 1]) / dy};
    }
  } else {
    for (int x = innerBegin; x < innerEnd; ++x) column(x, out[x - xBegin]);
  }
  for (int x = innerEnd; x < xEnd; ++x) column(x, out[x - xBegin]);
}

template <bool kSimplified>
class WarpResamplerNode final : public PxImageNode {
 public:
  WarpResamplerNode(PxNodeInit const& init, PxNodePtr<PxNode> const& primary,
                    PxNodePtr<PxNode> const& resamplingVectors, PxNodePtr<PxNode> const& destinationVectors,
                    PxNodePtr<PxNode> const& filter)
      : PxImageNode(init, primary.cast<PxImageProtocol>()),
        _resamplingVectors(resamplingVectors),
        _destinationVectors(destinationVectors),
        _filter(filter) {}

  PxRODResult computeROD(PxImageContext const& context) const override {
    PxRODResult const primary = getPrimaryInput()->computeROD(context);
    if (primary.rod.isEmpty()) return primary;
    PxRODResult const vectors = _resamplingVectors->computeROD(context);
    return {vectors.rod, reduceVI(primary.validity, vectors.validity)};
  }

  PxImageResult computeImage(PxImageContext const& context) const override {
    PxValidityInterval validity = PxValidityInterval::FULL;
    GeRectangle<int> const dstRegion = context.getPixelRegion() & computePixelROD(context, validity);
    if (dstRegion.isEmpty()) return {allocateEmptyImageBuffer(context, getImageFillColor()), validity};

    SdTextureParams params;
    params.filter = kSimplified ? SdTextureParams::kBilinear : _filter->getValue(context.getTime(), validity);
    params.textureMatrix = SdTextureParams::pixelToTextureMatrix(getPrimaryInput()->computePixelROD(context, validity));
    PxImageTexture texture(*getPrimaryInput(), context, params);

    PxImageResult const vectors = computeVectors(context, params);
    validity = reduceVI(validity, vectors.validity);
    GeRectangle<int> const vectorRegion = vectors.tile.getPixelRegion();
    QX_ASSERT((vectorRegion & dstRegion) == dstRegion);
    QX_ASSERT(isVectorFormat(vectors.tile.getPixelFormat()));

    IxTile const out = allocateImageBuffer(dstRegion, PxBufferContents::Undefined);
    IxReadGuard const v(vectors.tile);
    IxWriteGuard const o(out);
    int const width = dstRegion.getWidth();
    // Float RGBA output is sampled straight into the tile's rows.
    bool const inPlace = out.getPixelFormat() == IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32);
    static_assert(sizeof(Color) == 4 * sizeof(float));
    Vector<Color> colors(inPlace ? 0 : width);
    Vector<SdJacobian<float>> derivatives(params.needsDerivatives() ? width : 0);
    for (int y = dstRegion.y1(); y < dstRegion.y2(); ++y) {
      if (!derivatives.empty()) rowDerivatives(v, dstRegion, y, derivatives.data());
      Color* row = inPlace ? o.getRow<Color>(y) : colors.data();
      float const* positions = reinterpret_cast<float const*>(v.getPixelAddress(dstRegion.x1(), y));
      texture.sampleSpan(width, positions, 3, derivatives.empty() ? nullptr : derivatives.data(), row);
      if (!inPlace) ixWriteColorRow(out.getPixelFormat(), o.getPixelAddress(dstRegion.x1(), y), row, width);
      PxRequestMgr::getInstance().checkInterruption();
    }
    return {out, reduceVI(validity, texture.getValidity())};
  }

 private:
  // The resampling vectors. With a footprint filter the texture's first
  // pyramid level (the whole input averaged down by two, which the
  // footprints blend in wherever the warp shrinks the image by more than a
  // quarter) is built meanwhile on another thread, when one is free while
  // the vectors are computed: on a fresh frame that is the solve of the
  // mesh, which occupies one core for most of its time, and the level
  // would otherwise be built by the first tile that needs it while the
  // other tiles wait for it. The level goes to the image cache, where the
  // tiles' textures find it. If no thread is free before the vectors are
  // there, nothing is built ahead: a warp that never shrinks the image
  // then never pays for it.
  PxImageResult computeVectors(PxImageContext const& context, SdTextureParams const& params) const {
    if (!params.needsDerivatives() || PxRequestMgr::getInstance().getWorkerCount() == 0)
      return _resamplingVectors->computeImage(context);
    PxImageResult vectors;
    std::atomic<bool> vectorsDone{false};
    // Roles go by thread, not by index: the calling thread computes the
    // vectors (its nested work may then reach the pool as before), a
    // helper builds the level.
    std::thread::id const caller = std::this_thread::get_id();
    auto job = [&](int) {
      if (std::this_thread::get_id() == caller) {
        if (vectorsDone.load()) return;
        vectors = _resamplingVectors->computeImage(context);
        vectorsDone.store(true);
      } else if (!vectorsDone.load()) {
        PxImageTexture warm(*getPrimaryInput(), context, params);
        // A footprint 1.5 source pixels across blends level 1 in.
        GeRectangle<int> const& source = warm.getSourcePixels();
        if (!source.isEmpty())
          (void)warm.sample(0.5 * (source.x1() + source.x2() - 1), 0.5 * (source.y1() + source.y2() - 1),
                            SdJacobian<double>{1.5, 0.0, 0.0, 1.5});
      }
    };
    // Non-owning handle on the current request: parallelFor returns first.
    std::shared_ptr<PxRequest> const request(std::shared_ptr<PxRequest>(), PxRequestMgr::getCurrentRequest());
    PxRequestMgr::getInstance().parallelFor(request, 0, 2, job, 2);
    // A helper that took both indices before the caller took one.
    if (!vectorsDone.load()) vectors = _resamplingVectors->computeImage(context);
    return vectors;
  }

  PxStrongHndl<PxImageProtocol> _resamplingVectors;
  PxStrongHndl<PxImageProtocol> _destinationVectors;  // held so that the chain shares one cache of them
  ValueHndl<int> _filter;
};

}  // namespace

PxNodePtr<PxImageProtocol> createVectorResamplerNode(bool simplified, bool returnDstVectors,
                                                     VectorResamplerInputs const& inputs, PxNodeInit const& init) {
  if (simplified) {
    if (returnDstVectors) return PxNodePtr<VectorResamplerNode<true, true>>::create(init, inputs);
    return PxNodePtr<VectorResamplerNode<true, false>>::create(init, inputs);
  }
  if (returnDstVectors) return PxNodePtr<VectorResamplerNode<false, true>>::create(init, inputs);
  return PxNodePtr<VectorResamplerNode<false, false>>::create(init, inputs);
}

PxNodePtr<PxImageProtocol> createWarpResamplerNode(bool simplified, PxNodePtr<PxNode> const& primary,
                                                   PxNodePtr<PxNode> const& resamplingVectors,
                                                   PxNodePtr<PxNode> const& destinationVectors,
                                                   PxNodePtr<PxNode> const& filter, PxNodeInit const& init) {
  if (simplified)
    return PxNodePtr<WarpResamplerNode<true>>::create(init, primary, resamplingVectors, destinationVectors, filter);
  return PxNodePtr<WarpResamplerNode<false>>::create(init, primary, resamplingVectors, destinationVectors, filter);
}

WarpResamplerChain buildWarpResamplerChain(bool simplified, WarpResamplerChainInputs const& in,
                                           std::shared_ptr<PxImageCache> const& cache) {
  auto cached = [&](PxNodePtr<PxImageProtocol> const& node) -> PxNodePtr<PxImageProtocol> {
    return PxNodePtr<StImageCacheNode>::create(nullptr, nullptr, StImageCacheNode::kCacheResults, node,
                                               kWarpResamplerToolName, StImageCacheNode::kReuseWithinValidity, cache);
  };
  VectorResamplerInputs vectors{in.primary,
                                in.mesh.cast<PxImageProtocol>(),
                                in.destinationMesh.cast<PxImageProtocol>(),
                                nullptr,
                                in.timing,
                                in.interpolation,
                                in.invertWarp,
                                in.quality ? in.quality : PxNodePtr<PxNode>(PxNodePtr<PxAnimValueNode<double>>::create(10.0)),
                                in.boundary ? in.boundary : PxNodePtr<PxNode>(PxNodePtr<PxAnimValueNode<int>>::create(int(kBoundaryFree)))};
  WarpResamplerChain chain;
  chain.destinationVectors = cached(createVectorResamplerNode(simplified, true, vectors));
  vectors.destinationVectors = chain.destinationVectors;
  chain.resamplingVectors = cached(createVectorResamplerNode(simplified, false, vectors));
  chain.warp = createWarpResamplerNode(simplified, in.primary, chain.resamplingVectors, chain.destinationVectors,
                                       in.filter);
  return chain;
}

}  // namespace Qx::Warper2D

// --- tool and controller ------------------------------------------------------------

namespace Qx::Warper2D {

namespace {

struct ResamplerPolicies {
  RCShdPtr<const PiInputPolicy> meshImage, timing, interpolation, invertWarp, filter, boundary, quality;
};
ResamplerPolicies& resamplerPolicies() {
  static ResamplerPolicies p;
  return p;
}

}  // namespace

void WarpResamplerTool::initialize() {
  WarpResamplerController::initialize();
  auto protocol = PiMorvaneToolProtocol::create<WarpResamplerController>(
      getName(), "Resamples an image based on an input image of vectors");
  // Internal: its meshes come from a generator that only the super tool
  // feeds, so the user is not offered it.
  protocol->setVisibility(0);
  PiImageModifier::registerTool(protocol);
}

void WarpResamplerTool::finalize() { resamplerPolicies() = ResamplerPolicies(); }

RCShdPtr<const PiTool> WarpResamplerTool::getTool() {
  return PiToolRegistry::getInstance().findTool(PiMorvaneToolProtocol::getMorvaneToolName(getName()));
}

RCShdPtr<const PiInputPolicy> WarpResamplerController::createFilterPolicy() {
  // The texture sampler's filter codes; 4 is not offered.
  return PiEnumPolicy::Builder()
      .addPair(SdTextureParams::kNearest, "Nearest")
      .addPair(SdTextureParams::kBilinear, "Bilinear")
      .addPair(SdTextureParams::kMitchell, "Mitchell")
      .addPair(SdTextureParams::kGaussian, "Gaussian")
      .addPair(SdTextureParams::kJinc2, "Jinc 2")
      .addPair(SdTextureParams::kJinc3, "Jinc 3")
      .setDefaultValue(SdTextureParams::kBilinear);
}

void WarpResamplerController::initialize() {
  ResamplerPolicies& p = resamplerPolicies();
  p.meshImage = PiImageInputPolicy::createSecondary(3, 7, 3, 1, 0, false);
  p.timing = PiEnumPolicy::Builder().addPair(kTimingGlobal, "Global").addPair(kTimingShape, "Shape").setDefaultValue(0);
  p.interpolation = PiRangeInputPolicy<double>::create(0.0, 1.0, 1.0, true, false);
  p.invertWarp = PiSwitchInputPolicy::create(false, true, false);
  p.filter = createFilterPolicy();
  p.boundary = PiEnumPolicy::Builder().addPair(kBoundaryFree, "Free").addPair(kBoundaryFixed, "Fixed").setDefaultValue(0);
  p.quality = PiRangeInputPolicy<double>::create(1.0, 10.0, 1.0, true, false);
}

void WarpResamplerController::finalize() { resamplerPolicies() = ResamplerPolicies(); }

void WarpResamplerController::describe(PiImageModifier::Descriptor& d) {
  ResamplerPolicies const& p = resamplerPolicies();
  QX_ASSERT(!p.meshImage.isNull());  // WarpResamplerTool::initialize builds them first
  using Names = Warper2DSuperToolController;
  addSingleImageInput(d, PiImageInputPolicy::createPrimary(3, 7, 1, 0, false), 0);
  d.setAffect(1);
  d.require(getMeshInputName(), PI_IMAGE, p.meshImage);
  d.require(getDestinationMeshInputName(), PI_IMAGE, p.meshImage);
  d.require(Names::getTimingName(), PI_INT, p.timing);
  d.require(Names::getGlobalInterpolationName(), PI_DOUBLE, p.interpolation);
  d.require(Names::getInvertWarpName(), PI_BOOL, p.invertWarp);
  d.require(Names::getRenderFilterName(), PI_INT, p.filter);
  d.require(Names::getRenderQualityName(), PI_DOUBLE, p.quality);
  d.require(Names::getRenderBoundaryName(), PI_INT, p.boundary);
  d.addOutput(Names::getDestinationOutputName(), PI_IMAGE);
  d.setMaskingMode(0);
}

std::string WarpResamplerController::getMeshInputName() { return "Mesh Image"; }
std::string WarpResamplerController::getDestinationMeshInputName() { return "Destination Mesh Image"; }

PxNodePtr<PxImageProtocol> WarpResamplerController::createProcNode(PxNodePtr<PxImageProtocol> const& primary,
                                                                   PiProcNodeProvider const& provider) {
  return buildChain(false, primary, provider);
}

void WarpResamplerController::createProcNodes(PiOutputPublisher& publisher) {
  PiImageModifier::createProcNodes(publisher);
  PiProcNodeProvider const& provider = publisher.getProvider();
  RCShdPtr<PiInput> const in = getPrimaryInput();
  PxNodePtr<PxImageProtocol> const primary =
      in.isNull() ? PxNodePtr<PxImageProtocol>() : provider.getInputNode(in).cast<PxImageProtocol>();
  PxNodePtr<PxImageProtocol> const node = buildChain(true, primary, provider);
  if (node) publisher.publish(Warper2DSuperToolController::getDestinationOutputName(), node);
}

PxNodePtr<PxImageProtocol> WarpResamplerController::buildChain(bool simplified,
                                                               PxNodePtr<PxImageProtocol> const& primary,
                                                               PiProcNodeProvider const& provider) const {
  using Names = Warper2DSuperToolController;
  RCShdPtr<PiNode> const node = getNode();
  if (!primary || node.isNull()) return nullptr;
  WarpResamplerChainInputs in;
  in.primary = primary;
  in.mesh = provider.getInputNode(getMeshInputName()).cast<PxImageProtocol>();
  in.destinationMesh = provider.getInputNode(getDestinationMeshInputName()).cast<PxImageProtocol>();
  if (!in.mesh || !in.destinationMesh) return nullptr;
  // A tool without "Quality" or "Boundary" leaves the handle null, which
  // the chain reads as quality 10 and "Free".
  if (RCShdPtr<PiInput> const quality = PiSocketUtil::getInput(node, Names::getRenderQualityName()))
    in.quality = provider.getValueNode(quality);
  if (RCShdPtr<PiInput> const boundary = PiSocketUtil::getInput(node, Names::getRenderBoundaryName()))
    in.boundary = provider.getValueNode(boundary);
  in.timing = provider.getValueNode(Names::getTimingName());
  in.interpolation = provider.getValueNode(Names::getGlobalInterpolationName());
  in.invertWarp = provider.getValueNode(Names::getInvertWarpName());
  in.filter = provider.getValueNode(Names::getRenderFilterName());
  return buildWarpResamplerChain(simplified, in).warp;
}

}  // namespace Qx::Warper2D
