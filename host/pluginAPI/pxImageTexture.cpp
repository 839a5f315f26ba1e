// The texture's setup and its slow paths: the filter's kernel, the map from
// caller positions to source pixels, fetching source tiles as samples reach
// them, and the prefiltered pyramid built through the image cache. The
// per-sample work lives in pxImageTextureSpan.cpp.
#include "pluginAPI/pxImageTexture.h"

#include <cmath>
#include <cstring>
#include <functional>

#include "base/assertions.h"
#include "pluginAPI/pxImageCache.h"
#include "pluginAPI/pxImageTextureSampler.h"
#include "pluginAPI/pxRequestMgr.h"

namespace sdtex {
namespace {

IxPixelFormat const kRgbaF32(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32);
constexpr int kTileShift = 8;
static_assert(PxImageProtocol::kTileSize == 1 << kTileShift);

// Pyramid levels 1, 2, ... are kept under purposes kFirstServicePurpose,
// kFirstServicePurpose + 1, ...
constexpr int kPyramidPurpose = PxImageCacheKey::kFirstServicePurpose;

double jinc(double r) {
  if (r < 1e-9) return 1.0;
  double const x = M_PI * r;
  return 2.0 * std::cyl_bessel_j(1.0, x) / x;
}

// First three zeros of jinc: the zeros of J1 over pi.
constexpr double kJincZero1 = 3.8317059702075125 / M_PI;
constexpr double kJincZero2 = 7.0155866698156188 / M_PI;
constexpr double kJincZero3 = 10.173468135062722 / M_PI;

void fillEdgeTable(RadialKernel& out, std::function<double(double)> const& k);

// Chebyshev interpolation of k(q) on [0, 1] at kDegree + 1 nodes, turned into
// the monomial coefficients of t = 2q - 1. These kernels are entire functions
// of q, so degree 9 is within 2.1e-5 of their peak (the Gaussian; the Jinc
// kernels 1.6e-5 and 1.5e-7), and the monomial form stays well conditioned
// on [-1, 1] (coefficients below 1).
RadialKernel fitKernel(double support, std::function<double(double)> const& k) {
  constexpr int n = RadialKernel::kDegree + 1;
  std::array<double, n> cheb{}, mono{}, tPrev{}, tCur{}, tNext{};
  for (int j = 0; j < n; ++j) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
      double const theta = M_PI * (i + 0.5) / n;
      sum += k((std::cos(theta) + 1.0) * 0.5) * std::cos(j * theta);
    }
    cheb[j] = sum * 2.0 / n;
  }
  cheb[0] *= 0.5;
  tPrev[0] = 1.0;  // T0
  tCur[1] = 1.0;   // T1
  mono[0] = cheb[0];
  mono[1] = cheb[1];
  for (int j = 2; j < n; ++j) {  // T(j) = 2 t T(j-1) - T(j-2)
    for (int i = 0; i < n; ++i) tNext[i] = (i > 0 ? 2.0 * tCur[i - 1] : 0.0) - tPrev[i];
    for (int i = 0; i < n; ++i) mono[i] += cheb[j] * tNext[i];
    tPrev = tCur;
    tCur = tNext;
  }
  RadialKernel out;
  out.support = static_cast<float>(support);
  for (int i = 0; i < n; ++i) out.coefficients[i] = static_cast<float>(mono[i]);
  fillEdgeTable(out, k);
  return out;
}

// Mitchell-Netravali, B = C = 1/3, with the 1/6 folded in, at r = 2 sqrt(q).
double mitchellNetravali(double q) {
  double const r = 2.0 * std::sqrt(q);
  if (r >= 2.0) return 0.0;
  if (r < 1.0) return ((7.0 / 6.0 * r - 2.0) * r) * r + 8.0 / 9.0;
  return ((-7.0 / 18.0 * r + 2.0) * r - 10.0 / 3.0) * r + 16.0 / 9.0;
}

// Mitchell-Netravali as quartics in q by octave: on each octave [a, b),
// interpolation at the Chebyshev nodes, in Newton's form and expanded to
// monomials in q (on [a, 2a) they stay well conditioned). Within 6e-5 of
// the kernel's peak 8/9; the two cubics in r needed a square root per eight
// pixels, half of a row's arithmetic.
RadialKernel mitchellKernel() {
  constexpr int n = RadialKernel::kPieceDegree + 1;
  RadialKernel out;
  out.support = 2.0f;
  out.piecewise = true;
  for (int s = 0; s < RadialKernel::kPieces; ++s) {
    int const k = RadialKernel::kPieces;
    double const a = s == 0 ? 0.0 : std::ldexp(1.0, s - k), b = std::ldexp(1.0, s + 1 - k);
    std::array<double, n> x{}, c{}, mono{};
    for (int i = 0; i < n; ++i) {
      x[i] = 0.5 * (a + b) + 0.5 * (b - a) * std::cos(M_PI * (i + 0.5) / n);
      c[i] = mitchellNetravali(x[i]);
    }
    for (int j = 1; j < n; ++j)
      for (int i = n - 1; i >= j; --i) c[i] = (c[i] - c[i - 1]) / (x[i] - x[i - j]);
    // p = c[n-1]; p = p (q - x[i]) + c[i], on the monomial coefficients.
    mono[0] = c[n - 1];
    for (int i = n - 2; i >= 0; --i) {
      for (int j = n - 1; j > 0; --j) mono[j] = mono[j - 1] - x[i] * mono[j];
      mono[0] = c[i] - x[i] * mono[0];
    }
    for (int j = 0; j < n; ++j) out.pieces[j][s] = static_cast<float>(mono[j]);
  }
  fillEdgeTable(out, mitchellNetravali);
  return out;
}

// The edge table of a kernel k(q), q the squared normalised distance: the
// weight of each column x of the unit disc (midpoint sums over its chord),
// accumulated from the left and normalised, clamped to [0, 1] (the Jinc
// kernels' negative lobes would otherwise overshoot near the rim).
void fillEdgeTable(RadialKernel& out, std::function<double(double)> const& k) {
  constexpr int columns = 512, rows = 128;
  std::array<double, columns> weight{};
  double total = 0.0;
  for (int i = 0; i < columns; ++i) {
    double const x = -1.0 + (i + 0.5) * 2.0 / columns, half = std::sqrt(1.0 - x * x);
    for (int j = 0; j < rows; ++j) {
      double const y = (j + 0.5) * half / rows;
      weight[i] += k(x * x + y * y) * half / rows;
    }
    total += weight[i];
  }
  // Column i lies at -1 + (i + 0.5) * 2 / columns; entry e at u = -1 + 2 e / steps.
  double acc = 0.0;
  int next = 0;
  for (int e = 0; e <= RadialKernel::kEdgeSteps; ++e) {
    double const u = -1.0 + 2.0 * e / RadialKernel::kEdgeSteps;
    while (next < columns && -1.0 + (next + 1) * 2.0 / columns <= u + 1e-12) acc += weight[next++];
    out.inside[e] = static_cast<float>(std::clamp(acc / total, 0.0, 1.0));
  }
  out.inside[0] = 0.0f;
  out.inside[RadialKernel::kEdgeSteps] = 1.0f;
}

int floorShift(int v, int shift) { return v >> shift; }  // arithmetic: floor for negative v
int ceilShift(int v, int shift) { return -((-v) >> shift); }

GeRectangle<int> levelRect(GeRectangle<int> const& r, int level) {
  return GeRectangle<int>(floorShift(r.x1(), level), floorShift(r.y1(), level), ceilShift(r.x2(), level),
                          ceilShift(r.y2(), level));
}

bool readsInPlace(IxPixelFormat const& f, PixelKind& kind) {
  if (f.getComps() == IxPixelFormat::ALPHA || f.getDepth() == IxPixelFormat::COMPLEX) return false;
  bool const rgba = f.getComps() == IxPixelFormat::RGBA;
  switch (f.getDepth()) {
    case IxPixelFormat::UINT8: kind = rgba ? kU8Rgba : kU8Rgb; return true;
    case IxPixelFormat::FLOAT16: kind = rgba ? kF16Rgba : kF16Rgb; return true;
    default: kind = rgba ? kF32Rgba : kF32Rgb; return true;
  }
}

// ---------------------------------------------------------------- pyramid
//
// Level L + 1 halves level L: pixel i covers pixels 2i and 2i + 1 of level L
// and is centred on 2i + 1/2 there, so a level-0 position p sits at
// (p + 1/2) / 2^L - 1/2 on level L, and level L covers [floor(x1 / 2^L),
// ceil(x2 / 2^L)) of level 0's [x1, x2). The filter is the separable
// binomial (1 3 3 1) / 8 over pixels 2i - 1 .. 2i + 2, which removes the
// finest checkerboard exactly and keeps linear ramps linear. Taps outside
// the level below are left out and the rest renormalised, so every pyramid
// pixel is an average of source pixels only (a constant image stays
// constant at every level, edges included); what lies outside the source is
// left to the footprint, which sees it as transparent.

constexpr float kBinomial[4] = {1.0f, 3.0f, 3.0f, 1.0f};

// Rows of the level below as float RGBA over its columns, asked for in
// increasing order.
using RowSource = std::function<float const*(int y)>;

// dst[i] for i in [x1, x2) from src over [sx1, sx2).
void halveRow(float const* src, int sx1, int sx2, float* dst, int x1, int x2) {
  for (int i = x1; i < x2; ++i) {
    float acc[4] = {0, 0, 0, 0};
    float wsum = 0.0f;
    for (int k = 0; k < 4; ++k) {
      int const x = 2 * i - 1 + k;
      if (x < sx1 || x >= sx2) continue;
      float const* p = src + 4 * (x - sx1);
      for (int c = 0; c < 4; ++c) acc[c] += kBinomial[k] * p[c];
      wsum += kBinomial[k];
    }
    float* o = dst + 4 * (i - x1);
    for (int c = 0; c < 4; ++c) o[c] = acc[c] / wsum;
  }
}

void halve(GeRectangle<int> const& src, RowSource const& rows, IxTile const& out) {
  GeRectangle<int> const r = out.getPixelRegion();
  IxWriteGuard const g(out);
  std::size_t const width = static_cast<std::size_t>(r.getWidth()) * 4;
  std::array<std::vector<float>, 4> ring;
  std::array<int, 4> ringRow{};
  for (std::size_t k = 0; k < 4; ++k) {
    ring[k].resize(width);
    ringRow[k] = src.y1() - 2;  // holds no row
  }
  for (int j = r.y1(); j < r.y2(); ++j) {
    float* o = g.getRow<float>(j);
    std::fill(o, o + width, 0.0f);
    float wsum = 0.0f;
    for (int k = 0; k < 4; ++k) {
      int const y = 2 * j - 1 + k;
      if (y < src.y1() || y >= src.y2()) continue;
      int const slot = y & 3;
      if (ringRow[slot] != y) {
        halveRow(rows(y), src.x1(), src.x2(), ring[slot].data(), r.x1(), r.x2());
        ringRow[slot] = y;
      }
      float const* h = ring[slot].data();
      for (std::size_t i = 0; i < width; ++i) o[i] += kBinomial[k] * h[i];
      wsum += kBinomial[k];
    }
    float const inv = 1.0f / wsum;
    for (std::size_t i = 0; i < width; ++i) o[i] *= inv;
    PxRequestMgr::getInstance().checkInterruption();
  }
}

// Rows of the source, read by bands of grid-tile rows (a source that
// produces full frames in one request), converted to float RGBA.
class SourceRows {
 public:
  SourceRows(PxImageProtocol const& source, PxImageContext const& context, GeRectangle<int> const& pixels,
             PxValidityInterval& validity)
      : _source(source), _context(context), _pixels(pixels), _validity(validity),
        _row(static_cast<std::size_t>(pixels.getWidth()) * 4) {}

  float const* operator()(int y) {
    if (!_band.region.contains(_pixels.x1(), y)) {
      int const bandEnd = _source.producesFullFrames() ? _pixels.y2()
                                                       : std::min(_pixels.y2(), (floorShift(y, kTileShift) + 1) << kTileShift);
      GeRectangle<int> const band(_pixels.x1(), y, _pixels.x2(), bandEnd);
      _band = PxImageProtocol::getImageTilesInRegion(_source, _context, band, CoRgbaColorTyped<float>::ZERO);
      _validity = reduceVI(_validity, _band.validity);
    }
    std::fill(_row.begin(), _row.end(), 0.0f);
    for (PxImageTiles::Piece const& p : _band.pieces) {
      if (y < p.area.y1() || y >= p.area.y2()) continue;
      IxReadGuard const g(p.tile);
      float* o = _row.data() + 4 * (p.area.x1() - _pixels.x1());
      if (g.getPixelFormat() == kRgbaF32) {
        std::memcpy(o, g.getPixelAddress(p.area.x1(), y), sizeof(float) * 4 * p.area.getWidth());
        continue;
      }
      for (int x = p.area.x1(); x < p.area.x2(); ++x, o += 4) {
        CoRgbaColorTyped<float> const c = ixReadColor(g.getPixelFormat(), g.getPixelAddress(x, y));
        o[0] = c.r, o[1] = c.g, o[2] = c.b, o[3] = c.a;
      }
    }
    return _row.data();
  }

 private:
  PxImageProtocol const& _source;
  PxImageContext const& _context;
  GeRectangle<int> _pixels;
  PxValidityInterval& _validity;
  PxImageTiles _band;
  std::vector<float> _row;
};

// Level `level` >= 1 of the pyramid of `source` over `pixels`, from the cache
// or built (from the level below, itself through the cache) and kept there.
IxTile pyramidLevel(PxImageProtocol const& source, PxImageContext const& context, GeRectangle<int> const& pixels,
                    int level, PxValidityInterval& validity) {
  GeRectangle<int> const region = levelRect(pixels, level);
  PxImageCacheKey const key{source.getNodeId(), kPyramidPurpose + level - 1, context.getStream(),
                            context.getProxyLevel(), region};
  PxImageResult const r = PxImageCache::getShared()->findOrCompute(key, context.getTime(), PxImageCache::Use{}, [&] {
    PxImageResult built{IxTile(kRgbaF32, region), PxValidityInterval::FULL};
    if (level == 1) {
      SourceRows rows(source, context, pixels, built.validity);
      halve(pixels, std::ref(rows), built.tile);
    } else {
      IxTile const below = pyramidLevel(source, context, pixels, level - 1, built.validity);
      IxReadGuard const g(below);
      halve(below.getPixelRegion(), [&g](int y) { return g.getRow<float>(y); }, built.tile);
    }
    return built;
  });
  validity = reduceVI(validity, r.validity);
  return r.tile;
}

Plane planeOver(IxTile const& tile, GeRectangle<int> const& area) {
  IxReadGuard const g(tile);
  return Plane{area.x1(), area.y1(), area.x2(), area.y2(), g.getPixelAddress(area.x1(), area.y1()), g.getRowStride()};
}

}  // namespace

double exactKernel(int filter, double q) {
  auto const jincWindowed = [q](double support) {
    double const r = support * std::sqrt(q);
    return jinc(r) * jinc(r * kJincZero1 / support);
  };
  switch (filter) {
    case SdTextureParams::kGaussian: return std::exp(-8.0 * q) - std::exp(-8.0);
    case SdTextureParams::kMitchell: return mitchellNetravali(q);
    case SdTextureParams::kJinc2: return jincWindowed(kJincZero2);
    default: return jincWindowed(kJincZero3);
  }
}

// Each kernel is built on its first use only: the Jinc tables take tens of
// milliseconds of Bessel evaluations, which a render with another filter
// should not pay.
RadialKernel const& radialKernel(int filter) {
  auto const exact = [filter](double q) { return exactKernel(filter, q); };
  switch (filter) {
    case SdTextureParams::kGaussian: {
      static RadialKernel const gaussian = fitKernel(2.0, exact);
      return gaussian;
    }
    case SdTextureParams::kMitchell: {
      static RadialKernel const mitchell = mitchellKernel();
      return mitchell;
    }
    case SdTextureParams::kJinc2: {
      static RadialKernel const jinc2 = fitKernel(kJincZero2, exact);
      return jinc2;
    }
    default: {
      static RadialKernel const jinc3 = fitKernel(kJincZero3, exact);
      return jinc3;
    }
  }
}

Sampler::Sampler(PxImageProtocol const& source, PxImageContext const& context, SdTextureParams const& params)
    : _source(source), _context(context), _format(kRgbaF32), _fullFrame(source.producesFullFrames()) {
  switch (params.filter) {
    case SdTextureParams::kNearest: mode = kModeNearest; break;
    case SdTextureParams::kGaussian:
    case SdTextureParams::kJinc2:
    case SdTextureParams::kJinc3: mode = kModeRadial; break;
    case SdTextureParams::kMitchell: mode = kModeMitchell; break;
    default: mode = kModeBilinear; break;
  }
  if (mode == kModeRadial || mode == kModeMitchell) kernel = radialKernel(params.filter);
  footprintScale = std::isfinite(params.footprintScale) && params.footprintScale > 0.0f ? params.footprintScale : 1.0f;
  maxAnisotropy = std::isnan(params.maxAnisotropy) ? 16.0f : std::clamp(params.maxAnisotropy, 1.0f, 64.0f);

  pixels = source.computePixelROD(context, validity);
  pixelKind = kF32Rgba;
  if (readsInPlace(source.getImageFormat().getPixelFormat(), pixelKind))
    _format = source.getImageFormat().getPixelFormat();
  rawScale = _format.getDepth() == IxPixelFormat::UINT8 ? 1.0f / 255.0f : 1.0f;

  // Normalised coordinates u to source pixels: x = W u + x1 - 1/2, composed
  // with the texture matrix in double. The matrix a resampling node builds
  // for its own input is the identity up to the float rounding of 1/W and of
  // its translation (about 1e-7 W pixels); it is snapped to the identity so
  // that integer positions land exactly on pixel centres.
  GeAffineMatrix2<float> const& t = params.textureMatrix;
  double const w = pixels.getWidth(), h = pixels.getHeight();
  std::array<double, 6> m = {w * t.a(), w * t.b(), w * t.tx() + pixels.x1() - 0.5,
                             h * t.c(), h * t.d(), h * t.ty() + pixels.y1() - 0.5};
  double const tolerance =
      1e-6 * (1.0 + std::abs(pixels.x1()) + std::abs(pixels.x2()) + std::abs(pixels.y1()) + std::abs(pixels.y2()));
  if (std::abs(m[0] - 1.0) < 1e-6 && std::abs(m[1]) < 1e-6 && std::abs(m[3]) < 1e-6 && std::abs(m[4] - 1.0) < 1e-6 &&
      std::abs(m[2]) < tolerance && std::abs(m[5]) < tolerance)
    m = {1.0, 0.0, 0.0, 0.0, 1.0, 0.0};
  for (int i = 0; i < 6; ++i) matrix[i] = static_cast<float>(m[i]);

  topLevel = 0;
  if (!pixels.isEmpty() && (mode == kModeRadial || mode == kModeMitchell))
    while (topLevel < 30) {
      GeRectangle<int> const r = levelRect(pixels, topLevel);
      if (r.getWidth() <= 1 && r.getHeight() <= 1) break;
      ++topLevel;
    }

  _grid = PxImageProtocol::convertPixelsToTiles(pixels);
  _directory.assign(static_cast<std::size_t>(_grid.getWidth()) * _grid.getHeight(), -1);
}

int Sampler::addPlane(IxTile const& tile, GeRectangle<int> const& area) {
  _held.push_back(tile);
  _planes.push_back(planeOver(tile, area));
  return static_cast<int>(_planes.size()) - 1;
}

void Sampler::fetch(int gridIndex) {
  GePoint2<int> const tile(_grid.x1() + gridIndex % _grid.getWidth(), _grid.y1() + gridIndex / _grid.getWidth());
  GeRectangle<int> const wanted = _fullFrame ? pixels : PxImageProtocol::convertTilesToPixels(tile) & pixels;
  PxImageTiles const in = PxImageProtocol::getImageTilesInRegion(_source, _context, wanted, CoRgbaColorTyped<float>::ZERO);
  validity = reduceVI(validity, in.validity);
  // A piece in the planes' format that covers a grid tile is read in place
  // (as a whole: for a full-frame source, one plane for every grid tile);
  // anything else (another format, a grid tile pieced together, pixels the
  // source did not supply) is copied into a plane of its own.
  std::vector<int> piecePlane(in.pieces.size(), -1);
  GeRectangle<int> const tiles = PxImageProtocol::convertPixelsToTiles(wanted);
  for (int j = tiles.y1(); j < tiles.y2(); ++j)
    for (int i = tiles.x1(); i < tiles.x2(); ++i) {
      GeRectangle<int> const area = PxImageProtocol::convertTilesToPixels(GePoint2<int>(i, j)) & pixels;
      int plane = -1;
      for (std::size_t p = 0; p < in.pieces.size() && plane < 0; ++p) {
        PxImageTiles::Piece const& piece = in.pieces[p];
        if (!piece.area.contains(area) || piece.tile.getPixelFormat() != _format) continue;
        if (piecePlane[p] < 0) piecePlane[p] = addPlane(piece.tile, piece.area);
        plane = piecePlane[p];
      }
      if (plane < 0) {
        IxTile const copy(_format, area);
        in.copyTo(IxWriteGuard(copy));
        plane = addPlane(copy, area);
      }
      _directory[static_cast<std::size_t>(j - _grid.y1()) * _grid.getWidth() + (i - _grid.x1())] = plane;
    }
}

Plane const* Sampler::block(int x, int y) {
  QX_ASSERT(pixels.contains(x, y));
  int const index = ((y >> kTileShift) - _grid.y1()) * _grid.getWidth() + ((x >> kTileShift) - _grid.x1());
  if (_directory[index] < 0) fetch(index);
  return &_planes[_directory[index]];
}

Plane const& Sampler::level(int level) {
  QX_ASSERT(level >= 1 && level <= topLevel);
  if (!_levelTiles[level].isValid()) {
    _levelTiles[level] = pyramidLevel(_source, _context, pixels, level, validity);
    _levels[level] = planeOver(_levelTiles[level], _levelTiles[level].getPixelRegion());
  }
  return _levels[level];
}

float* Sampler::scratch(std::size_t floats) {
  if (_scratch.size() < floats) _scratch.resize(floats);
  return _scratch.data();
}

}  // namespace sdtex

PxImageTexture::PxImageTexture(PxImageProtocol const& source, PxImageContext const& context,
                               SdTextureParams const& params)
    : _sampler(std::make_unique<sdtex::Sampler>(source, context, params)) {}

PxImageTexture::~PxImageTexture() = default;

PxImageTexture::Color PxImageTexture::sample(double x, double y, SdJacobian<double> const& derivatives) {
  float const xy[2] = {static_cast<float>(x), static_cast<float>(y)};
  SdJacobian<float> const j{static_cast<float>(derivatives.a), static_cast<float>(derivatives.b),
                            static_cast<float>(derivatives.c), static_cast<float>(derivatives.d)};
  Color out;
  sampleSpan(1, xy, 2, &j, &out);
  return out;
}

void PxImageTexture::sampleSpan(int count, float const* xy, int xyStride, SdJacobian<float> const* derivatives,
                                Color* out) {
  if (count <= 0) return;
  sdtex::spanFunction(_sampler->mode, _sampler->pixelKind)(*_sampler, count, xy, xyStride, derivatives, out);
}

GeRectangle<int> const& PxImageTexture::getSourcePixels() const { return _sampler->pixels; }

PxValidityInterval PxImageTexture::getValidity() const { return _sampler->validity; }
