// The texture sampler through its public face: what each filter must give on
// images whose answer is known (constants, ramps, pixels, checkerboards,
// edges, radially symmetric images), the edge and bad-input rules, which
// source tiles it reads, and invariants (tiled or full-frame source, span
// or single sample, wide or baseline vectors, every pixel format).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "pluginAPI/pxImageTexture.h"
#include "pluginAPI/pxImageTextureSampler.h"

namespace {

using Color = CoRgbaColorTyped<float>;
using Rect = GeRectangle<int>;
using J = SdJacobian<double>;
using Pattern = std::function<Color(int x, int y)>;

IxPixelFormat const kF32(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32);
std::vector<int> const kAllFilters = {0, 1, 2, 3, 5, 6};
std::vector<int> const kFootprintFilters = {2, 3, 5, 6};

// An image held in memory: tile requests get views of it, or the whole
// frame; counts its requests.
class ImageNode : public PxImageNode {
 public:
  ImageNode(IxTile image, bool fullFrame)
      : PxImageNode(PxNodeInit{"image", PxImageFormat(image.getPixelFormat())}), _image(std::move(image)),
        _fullFrame(fullFrame) {}
  PxRODResult computeROD(PxImageContext const& c) const override {
    return {pixelizedToNominal(_image.getPixelRegion(), 1.0f, c.getScale()), PxValidityInterval{-5.0, 7.0}};
  }
  PxImageResult computeImage(PxImageContext const& c) const override {
    ++requests;
    Rect const r = c.getPixelRegion() & _image.getPixelRegion();
    return {_fullFrame ? _image : IxTile(_image, r, Color::ZERO), PxValidityInterval{-3.0, 9.0}};
  }
  bool producesFullFrames() const override { return _fullFrame; }
  mutable std::atomic<int> requests{0};

 private:
  IxTile _image;
  bool _fullFrame;
};

IxTile makeImage(Rect const& r, Pattern const& f, IxPixelFormat const& format = kF32) {
  IxTile t(format, r);
  IxWriteGuard const g(t);
  for (int y = r.y1(); y < r.y2(); ++y)
    for (int x = r.x1(); x < r.x2(); ++x) ixWriteColor(format, g.getPixelAddress(x, y), f(x, y));
  return t;
}

PxNodePtr<ImageNode> makeNode(IxTile const& image, bool fullFrame = false) {
  return PxNodePtr<ImageNode>::create(image, fullFrame);
}

// A texture over `node` that takes positions in the source's pixels.
struct Texture {
  Texture(ImageNode const& node, int filter) : texture(node, PxImageContext(0.0, 0, 0, Rect()), params(node, filter)) {}
  static SdTextureParams params(ImageNode const& node, int filter) {
    SdTextureParams p;
    p.filter = filter;
    PxValidityInterval v = PxValidityInterval::FULL;
    p.textureMatrix = SdTextureParams::pixelToTextureMatrix(node.computePixelROD(PxImageContext(0, 0, 0, Rect()), v));
    return p;
  }
  Color operator()(double x, double y, J const& j = {}) { return texture.sample(x, y, j); }
  PxImageTexture texture;
};

J scaled(double s) { return {s, 0, 0, s}; }
J rotated(double radians, double sx, double sy) {
  double const c = std::cos(radians), s = std::sin(radians);
  return {c * sx, -s * sy, s * sx, c * sy};
}

double maxDiff(Color const& a, Color const& b) {
  return std::max({std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b), std::abs(a.a - b.a)});
}

// Positions whose footprints (at most `margin` pixels wide) stay inside r.
std::vector<std::pair<double, double>> insidePositions(Rect const& r, double margin, int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> ux(r.x1() + margin, r.x2() - 1 - margin), uy(r.y1() + margin, r.y2() - 1 - margin);
  std::vector<std::pair<double, double>> out;
  for (int i = 0; i < count; ++i) out.emplace_back(ux(rng), uy(rng));
  return out;
}

// 10-90% rise of a sampled step, in source pixels.
double riseWidth(std::vector<double> const& xs, std::vector<double> const& v) {
  double x10 = 0, x90 = 0;
  for (std::size_t i = 1; i < v.size(); ++i) {
    if (v[i - 1] < 0.1 && v[i] >= 0.1) x10 = xs[i];
    if (v[i - 1] < 0.9 && v[i] >= 0.9) x90 = xs[i];
  }
  return x90 - x10;
}

TEST(PxImageTextureTest, EveryFilterKeepsAConstantImageConstantInEveryFormat) {
  Rect const r(-37, 11, 263, 211);
  struct Format { IxPixelFormat::Comps comps; IxPixelFormat::Depth depth; };
  for (Format f : {Format{IxPixelFormat::RGBA, IxPixelFormat::UINT8}, Format{IxPixelFormat::RGB, IxPixelFormat::UINT8},
                   Format{IxPixelFormat::RGBA, IxPixelFormat::FLOAT16}, Format{IxPixelFormat::RGB, IxPixelFormat::FLOAT16},
                   Format{IxPixelFormat::RGBA, IxPixelFormat::FLOAT32}, Format{IxPixelFormat::RGB, IxPixelFormat::FLOAT32}}) {
    IxPixelFormat const format(f.comps, f.depth);
    IxTile const image = makeImage(r, [](int, int) { return Color{0.2f, 0.4f, 0.6f, 0.8f}; }, format);
    Color const stored = ixReadColor(format, IxReadGuard(image).getPixelAddress(r.x1(), r.y1()));
    auto const node = makeNode(image);
    for (int filter : kAllFilters)
      for (J const& j : {J{}, scaled(0.3), scaled(3.0), rotated(0.5, 5.0, 1.5), J{2.0, 1.5, -0.5, 1.0}}) {
        Texture t(*node, filter);
        for (auto [x, y] : insidePositions(r, 40.0, 50, 7))
          ASSERT_LT(maxDiff(t(x, y, j), stored), 2e-6f) << "filter " << filter << " at " << x << ", " << y;
      }
  }
}

// Each footprint kernel as evaluated in float from its fitted coefficients
// against its definition in double, over the whole support and on both
// sides of every octave boundary of q: within a stated share of the
// kernel's peak.
TEST(PxImageTextureTest, FittedKernelsStayWithinTheirBoundOfTheExactKernel) {
  struct Case { int filter; double bound; };
  for (Case c : {Case{2, 5e-5}, Case{3, 1e-4}, Case{5, 1e-5}, Case{6, 5e-5}}) {
    sdtex::RadialKernel const& k = sdtex::radialKernel(c.filter);
    double const peak = sdtex::exactKernel(c.filter, 0.0);
    std::vector<float> qs;
    for (int i = 0; i < 20000; ++i) qs.push_back(float(i) / 20000.0f);
    for (int e = -12; e < 0; ++e)
      for (float q : {std::ldexp(1.0f, e), std::nextafter(std::ldexp(1.0f, e), 0.0f)}) qs.push_back(q);
    qs.push_back(std::nextafter(1.0f, 0.0f));
    double worst = 0.0;
    for (float q : qs) worst = std::max(worst, std::abs(k.at(q) - sdtex::exactKernel(c.filter, q)));
    EXPECT_LE(worst, c.bound * peak) << "filter " << c.filter;
    // The span loops weigh with the same kernel: on a single lit pixel, a
    // circular footprint (J = I) returns its weight over the weights of all
    // the pixels the footprint covers.
    Rect const r(0, 0, 40, 40);
    auto const node = makeNode(makeImage(r, [](int x, int y) { return Color{x == 20 && y == 20 ? 1.0f : 0.0f, 0, 0, 1}; }));
    Texture t(*node, c.filter);
    for (auto [x, y] : insidePositions(Rect(17, 17, 24, 24), 0.0, 40, 29)) {
      double lit = 0.0, total = 0.0;
      for (int py = 10; py < 30; ++py)
        for (int px = 10; px < 30; ++px) {
          float const q = float(((px - x) * (px - x) + (py - y) * (py - y)) / (k.support * k.support));
          double const w = q < 1.0f ? k.at(q) : 0.0;
          total += w;
          if (px == 20 && py == 20) lit = w;
        }
      EXPECT_NEAR(t(x, y).r, lit / total, 2e-5) << "filter " << c.filter << " at " << x << ", " << y;
    }
  }
}

// The largest error over random positions, in pixels of the ramp's slope
// (each filter's bias on a linear image: zero for Bilinear, half a pixel for
// Nearest, the centroid error of a radial kernel sampled on the pixel grid
// for the footprint filters), on level 0 and through the pyramid.
TEST(PxImageTextureTest, ALinearRampComesBackWithinEachFiltersKnownError) {
  Rect const r(0, 0, 256, 256);
  auto const node = makeNode(makeImage(r, [](int x, int y) { return Color(0.03f * x, 0.03f * y, 1, 1); }));
  struct Case { int filter; double level0; double pyramid; };
  for (Case c : {Case{0, 0.5, 0.5}, Case{1, 1e-3, 1e-3}, Case{2, 0.05, 0.05}, Case{3, 0.05, 0.05}, Case{5, 0.05, 0.05},
                 Case{6, 0.05, 0.05}}) {
    Texture t(*node, c.filter);
    double worst0 = 0, worstP = 0;
    for (auto [x, y] : insidePositions(r, 60.0, 400, 3)) {
      Color const v0 = t(x, y), vp = t(x, y, rotated(0.3, 5.0, 3.0));
      worst0 = std::max({worst0, std::abs(v0.r / 0.03 - x), std::abs(v0.g / 0.03 - y)});
      worstP = std::max({worstP, std::abs(vp.r / 0.03 - x), std::abs(vp.g / 0.03 - y)});
    }
    EXPECT_LE(worst0, c.level0) << "filter " << c.filter;
    EXPECT_LE(worstP, c.pyramid) << "filter " << c.filter;
  }
}

// Footprints that end just short of the edge, at random scales, turns and
// distances (through the pyramid for the large ones): still exactly the
// constant; the point filters up to their last pixel.
TEST(PxImageTextureTest, AConstantImageStaysConstantUpToItsEdge) {
  Rect const r(0, 0, 300, 300);
  Color const k{0.25f, 0.5f, 0.75f, 1.0f};
  auto const node = makeNode(makeImage(r, [&](int, int) { return k; }));
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (int filter : kAllFilters) {
    Texture t(*node, filter);
    double const support = filter < 2 ? 0.0 : std::vector<double>{2.0, 2.0, 0, 2.2331, 3.2383}[filter - 2];
    for (int i = 0; i < 400; ++i) {
      double const scale = filter < 2 ? 1.0 : std::exp(u(rng) * std::log(30.0));
      J const j = rotated(u(rng) * 3.2, scale, scale * (0.5 + 0.5 * u(rng)));
      double const reach = std::max(scale, 1.0) * support + 0.02 * u(rng);  // the long axis bounds the footprint
      double along = r.x1() + reach + u(rng) * 2.0, across = 150.0;
      if (filter < 2) along = r.x1() + u(rng);
      bool const flip = i & 1, fromFar = i & 2;
      double x = fromFar ? r.x2() - 1 - (along - r.x1()) : along, y = across;
      if (flip) std::swap(x, y);
      EXPECT_LT(maxDiff(t(x, y, j), k), 2e-6f) << "filter " << filter << " at " << x << ", " << y << " scale " << scale;
    }
  }
}

TEST(PxImageTextureTest, PointFiltersReturnPixelsAtCentresAndMeansHalfwayBetween) {
  Rect const r(3, 5, 40, 30);
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  IxTile const image = makeImage(r, [&](int, int) { return Color{u(rng), u(rng), u(rng), u(rng)}; });
  auto const node = makeNode(image);
  auto pixel = [&](int x, int y) { return ixReadColor(kF32, IxReadGuard(image).getPixelAddress(x, y)); };
  auto mean = [](std::vector<Color> const& cs) {
    Color m{};
    for (Color const& c : cs) m = {m.r + c.r / cs.size(), m.g + c.g / cs.size(), m.b + c.b / cs.size(), m.a + c.a / cs.size()};
    return m;
  };
  Texture nearest(*node, 0), bilinear(*node, 1);
  for (int y = r.y1(); y < r.y2(); ++y)
    for (int x = r.x1(); x < r.x2(); ++x) {
      EXPECT_EQ(nearest(x, y), pixel(x, y));
      EXPECT_EQ(nearest(x + 0.49, y - 0.5), pixel(x, y));
      EXPECT_EQ(bilinear(x, y), pixel(x, y));
      if (x + 1 == r.x2() || y + 1 == r.y2()) continue;
      EXPECT_LT(maxDiff(bilinear(x + 0.5, y), mean({pixel(x, y), pixel(x + 1, y)})), 1e-6f);
      EXPECT_LT(maxDiff(bilinear(x + 0.5, y + 0.5), mean({pixel(x, y), pixel(x + 1, y), pixel(x, y + 1), pixel(x + 1, y + 1)})),
                1e-6f);
    }
}

TEST(PxImageTextureTest, FootprintFiltersAverageAMinifiedCheckerboardToGrey) {
  Rect const r(0, 0, 200, 200);
  auto const node = makeNode(makeImage(r, [](int x, int y) { return Color{float((x + y) & 1), 0, 0, 1}; }));
  for (int filter : kFootprintFilters) {
    Texture t(*node, filter);
    for (J const& j : {scaled(4.0), rotated(0.4, 4.0, 4.0), rotated(1.0, 6.0, 4.0)})
      for (auto [x, y] : insidePositions(r, 40.0, 40, 5)) EXPECT_NEAR(t(x, y, j).r, 0.5, 0.01) << filter;
  }
}

TEST(PxImageTextureTest, MagnifyingNeverWidensAStepEdge) {
  Rect const r(0, 0, 64, 64);
  auto const node = makeNode(makeImage(r, [](int x, int) { return Color{x >= 32 ? 1.0f : 0.0f, 0, 0, 1}; }));
  for (int filter : kFootprintFilters) {
    Texture t(*node, filter);
    std::vector<double> xs, at1, magnified;
    for (double x = 26; x <= 38; x += 1.0 / 64) {
      xs.push_back(x);
      at1.push_back(t(x, 20.3).r);
      magnified.push_back(t(x, 20.3, scaled(0.25)).r);
    }
    EXPECT_GT(riseWidth(xs, at1), 0.5);
    EXPECT_LE(riseWidth(xs, magnified), riseWidth(xs, at1) + 1e-9) << filter;
  }
}

// On an image symmetric about the sample point, turning or shearing the
// footprint must not change the result: only the ellipse's axes count.
TEST(PxImageTextureTest, RotatedAndShearedFootprintsMatchTheirAxisAlignedEllipse) {
  Rect const r(0, 0, 128, 128);
  auto const node = makeNode(makeImage(r, [](int x, int y) {
    double const d = std::hypot(x - 64.0, y - 64.0);
    return Color{float(0.5 + 0.4 * std::cos(d / 3.0)), float(std::exp(-d * d / 200.0)), 0, 1};
  }));
  for (int filter : kFootprintFilters) {
    Texture t(*node, filter);
    for (auto [sx, sy] : {std::pair{3.0, 1.5}, std::pair{1.2, 0.6}, std::pair{9.0, 2.0}}) {
      Color const axis = t(64, 64, J{sx, 0, 0, sy});
      for (double angle : {0.3, 0.8, 1.3, 2.5}) {
        Color const turned = t(64, 64, rotated(angle, sx, sy));
        EXPECT_NEAR(turned.r, axis.r, 0.01 * axis.r) << filter << " " << sx << " " << angle;
        EXPECT_NEAR(turned.g, axis.g, 0.01 * axis.g) << filter << " " << sx << " " << angle;
      }
      // J = [[sx, k], [0, sy]]: the axes are its singular values.
      for (double k : {0.7, -2.0}) {
        double const p = sx * sx + k * k, q = k * sy, rr = sy * sy;
        double const half = (p + rr) / 2, rad = std::hypot((p - rr) / 2, q);
        Color const sheared = t(64, 64, J{sx, k, 0, sy});
        Color const equivalent = t(64, 64, J{std::sqrt(half + rad), 0, 0, std::sqrt(half - rad)});
        EXPECT_NEAR(sheared.r, equivalent.r, 0.01 * equivalent.r) << filter << " " << sx << " " << k;
      }
    }
  }
}

// Walking a footprint out across the edge of a constant image: the result
// goes to transparent black without steps (the footprint filters ring, so
// not monotonically), and positions or derivatives that are not finite
// give finite colours.
TEST(PxImageTextureTest, SamplesFadeToTransparentAcrossTheEdgeAndSurviveBadInput) {
  Rect const r(0, 0, 400, 64);
  Color const k{0.5f, 0.5f, 0.5f, 1.0f};
  auto const node = makeNode(makeImage(r, [&](int, int) { return k; }));
  double const nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  for (int filter : kAllFilters)
    for (double scale : {1.0, 3.0, 40.0}) {
      Texture t(*node, filter);
      double const start = r.x2() - 1 - 4 * scale - 4;
      double previous = t(start, 32, scaled(scale)).a, steepest = 0.0;
      for (double x = start; x < r.x2() + 4 * scale + 4; x += 0.125) {
        double const a = t(x, 32, scaled(scale)).a;
        steepest = std::max(steepest, std::abs(a - previous));
        previous = a;
      }
      EXPECT_EQ(previous, 0.0) << filter;
      // No step: a footprint filter's slope is about 1 / (4 scale) per pixel.
      EXPECT_LE(steepest, filter == 0 ? 1.0 : filter == 1 ? 0.13 : 0.2 / scale) << filter << " " << scale;
      EXPECT_EQ(t(-1e9, 5), Color::ZERO);
      for (Color const& c : {t(nan, 5), t(5, inf), t(5, 5, J{nan, 0, 0, 1}), t(5, 5, J{inf, inf, 0, 1}), t(5, 5, J{0, 0, 0, 0})})
        EXPECT_TRUE(std::isfinite(c.r) && std::isfinite(c.a)) << filter;
    }
  Texture empty(*makeNode(makeImage(Rect(0, 0, 0, 0), [&](int, int) { return k; })), 3);
  EXPECT_EQ(empty(0, 0), Color::ZERO);
}

// The same samples through every path must agree: one at a time or as a
// span with its stride, a tiled or a full-frame source, each instruction
// set's copy of the loops. A texture over a tiled source fetches only the
// grid tiles its samples reach.
TEST(PxImageTextureTest, EveryPathGivesTheSameSamplesAndReadsOnlyTheTilesItNeeds) {
  Rect const r(-100, -50, 700, 500);
  std::mt19937 rng(23);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  IxTile const image = makeImage(r, [&](int, int) { return Color{u(rng), u(rng), u(rng), u(rng)}; });
  auto const tiled = makeNode(image), full = makeNode(image, true);
  std::vector<float> xyz;
  std::vector<SdJacobian<float>> js;
  for (int i = 0; i < 300; ++i) {
    xyz.insert(xyz.end(), {-120 + 840 * u(rng), -70 + 590 * u(rng), 0.0f});
    float const s = std::exp(4 * u(rng) - 1);
    js.push_back({s * u(rng), s * (u(rng) - 0.5f), s * (u(rng) - 0.5f), s * u(rng)});
  }
  for (int filter : kAllFilters) {
    Texture single(*tiled, filter);
    std::vector<Color> expected;
    for (std::size_t i = 0; i < js.size(); ++i)
      expected.push_back(single(xyz[3 * i], xyz[3 * i + 1], J{js[i].a, js[i].b, js[i].c, js[i].d}));
    for (auto set : {sdtex::VectorSet::kAvx512, sdtex::VectorSet::kAvx2, sdtex::VectorSet::kBaseline})
      for (ImageNode const* node : {tiled.get(), full.get()}) {
        sdtex::limitVectorSet(set);
        Texture t(*node, filter);
        std::vector<Color> got(js.size());
        t.texture.sampleSpan(int(js.size()), xyz.data(), 3, js.data(), got.data());
        for (std::size_t i = 0; i < js.size(); ++i)
          ASSERT_LT(maxDiff(got[i], expected[i]), 2e-5f) << "filter " << filter << " sample " << i << " set " << int(set);
      }
    sdtex::limitVectorSet(sdtex::VectorSet::kAvx512);
  }
  int const before = tiled->requests;
  Texture t(*tiled, 3);
  t(300.5, 200.5, scaled(1.5));
  EXPECT_EQ(tiled->requests - before, 1);
}

}  // namespace
