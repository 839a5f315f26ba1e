// The resampler: vector nodes (blend amounts of every variant, reduction by
// Quality and upsampling, extents) and the whole warp from shapes to image.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>

#include "storage/stImageCacheNode.h"
#include "warpResamplerTool.h"
#include "warpTestNodes.h"

namespace {

using namespace warptest;
using namespace Qx::Warper2D;
std::nullopt_t const none = std::nullopt;

// Value settings; an empty optional is a null handle, which fails if read.
struct Settings {
  std::optional<int> timing = kTimingGlobal;
  std::optional<double> interpolation = 1.0;
  std::optional<bool> invert = false;
  double quality = 10.0;
  int boundary = kBoundaryFixed;
  int filter = 1;  // Bilinear
};

template <class T>
PxNodePtr<PxNode> maybe(std::optional<T> const& v) {
  return v ? constant(*v) : nullptr;
}

PxNodePtr<PxImageProtocol> vectorNode(bool simplified, bool dst, PxNodePtr<PxNode> const& input, PxNodePtr<PxNode> const& mesh,
                                      PxNodePtr<PxNode> const& dstMesh, Settings const& s, PxNodePtr<PxNode> const& dstVectors = nullptr) {
  return createVectorResamplerNode(simplified, dst, {input, mesh, dstMesh, dstVectors, maybe(s.timing), maybe(s.interpolation),
                                                     maybe(s.invert), constant(s.quality), constant(s.boundary)});
}

double vectorError(IxTile const& v, std::function<P(int, int)> const& expected) {
  return worst(v.getPixelRegion(), [&](int x, int y) { return distance(vectorAt(v, x, y), expected(x, y)); });
}

// Scale meshes about the origin show the two amounts apart: a grid point x
// drawn at (1 + a (s - 1)) x carrying (1 + b (s - 1)) x gives output pixel p
// the vector p (1 + b (s - 1)) / (1 + a (s - 1)).
TEST(VectorResamplerNodeTest, BlendAmountsOfEveryVariant) {
  Rect const frame(0, 0, 64, 48);
  auto scaling = [&](double s) { return meshNode(frame, [s](double x, double y) { return P(float(s * x), float(s * y)); }); };
  PxNodePtr<PxNode> const main = scaling(2.0), destination = scaling(1.5);
  struct {
    bool simplified, dst;
    Settings settings;
    double s, a, b;
  } const cases[] = {{false, false, {kTimingGlobal, 0.5, false}, 1.5, 0.5, 0.0}, {false, false, {kTimingShape, none, false}, 2, 1, 0},
                     {false, false, {kTimingGlobal, 0.0, true}, 1.5, 0.0, 1.0},  {false, false, {kTimingShape, none, true}, 2, 1, 1},
                     {false, true, {kTimingGlobal, 0.5, false}, 1.5, 0.0, 0.5},  {false, true, {kTimingGlobal, 0.25, true}, 1.5, 1, 0.25},
                     {true, false, {none, none, none}, 1.5, 1.0, 0.0},           {true, true, {none, none, none}, 1.5, 0, 1}};
  for (auto const& c : cases) {
    IxTile const v = renderAll(vectorNode(c.simplified, c.dst, image(frame), main, destination, c.settings, c.dst ? nullptr : destination));
    double const ratio = (1 + c.b * (c.s - 1)) / (1 + c.a * (c.s - 1));
    EXPECT_EQ(v.getPixelRegion(), frame);
    EXPECT_LT(vectorError(v, [&](int x, int y) { return P(float(x * ratio), float(y * ratio)); }), 1e-3) << c.a << " " << c.b;
  }
  EXPECT_EQ(failedCondition([&] { vectorNode(false, true, image(frame), main, main, {}, main); }),  // dst vectors given
            "warpResamplerTool: returnDstVectors && dstVectors.isNull() || "
            "! returnDstVectors && ! dstVectors.isNull()");
}

// A 2048 x 2048 mesh is computed 2, 1 or 0 levels down for Quality 1, 2 and
// 3, never below level 7 in all; the cubic gives an affine warp back exactly.
TEST(VectorResamplerNodeTest, QualityReducesLargeMeshes) {
  Rect const frame(0, 0, 2048, 2048);
  auto affine = [](double x, double y) { return P(float(1.1 * x + 0.2 * y + 3), float(-0.1 * x + 0.9 * y - 7.5)); };
  struct {
    double quality;
    int level, meshLevel;
  } const cases[] = {{1, 0, 2}, {2, 0, 1}, {3, 0, 0}, {1, 6, 7}, {1, 7, 7}, {0, 5, 7}};
  for (auto const& c : cases) {
    auto const mesh = meshNode(frame, affine);
    Settings settings;
    settings.quality = c.quality;
    IxTile const v = renderAll(vectorNode(false, true, image(frame), mesh, mesh, settings), c.level);
    EXPECT_EQ(mesh->levelsComputed(), 1u << c.meshLevel) << "quality " << c.quality << " level " << c.level;
    double const s = std::ldexp(1.0, c.level);
    EXPECT_LT(vectorError(v, [&](int x, int y) { P const m = affine(x * s, y * s); return P(float(m.x() / s), float(m.y() / s)); }), 2e-3);
  }
}

// "Fixed" keeps the input's extent; "Free" covers the warped grid positions
// [floor(min) - 1, ceil(max + 1) + 1), the warp extrapolated out there; an
// empty input gives empty extents.
TEST(VectorResamplerNodeTest, FixedAndFreeExtents) {
  Rect const frame(0, 0, 50, 40);
  auto const mesh = meshNode(frame, [](double x, double y) { return P(float(x + 5.5), float(y - 3.25)); });
  for (Rect const input : {frame, Rect()})
    for (int boundary : {kBoundaryFixed, kBoundaryFree}) {
      Settings settings;
      settings.boundary = boundary;
      auto const node = vectorNode(false, false, image(input), mesh, mesh, settings, vectorNode(false, true, image(input), mesh, mesh, {}));
      PxValidityInterval v = PxValidityInterval::FULL;
      EXPECT_EQ(node->computePixelROD(PxImageContext(0.0, 0, 0, Rect()), v), input.isEmpty() || !boundary ? input : Rect(4, -5, 57, 38));
      EXPECT_LT(input.isEmpty() ? 0 : vectorError(renderAll(node), [](int x, int y) { return P(x - 5.5f, y + 3.25f); }), 1e-3);
    }
}

// The whole warp: the generators cached as their controller publishes them,
// then the resampler's chain.
struct Generators {
  PxNodePtr<PxImageProtocol> main, destination;
};

Generators generators(Scene const& scene, PxNodePtr<PxNode> const& input) {
  auto g = [&](bool destination) -> PxNodePtr<PxImageProtocol> {
    return PxNodePtr<StImageCacheNode>::create(nullptr, nullptr, 0, createWarpGeneratorNode(destination, generatorInputs(scene, input)), "generator", 1);
  };
  return {g(false), g(true)};
}

WarpResamplerChain warp(Scene const& scene, PxNodePtr<PxNode> const& input, Settings const& s = {}, Generators g = {}) {
  if (!g.main) g = generators(scene, input);
  return buildWarpResamplerChain(false, {input, g.main, g.destination, maybe(s.timing), maybe(s.interpolation), maybe(s.invert),
                                         constant(scene.quality), constant(scene.boundary), constant(s.filter)});
}

// A fine checkerboard in R, a gradient in G, and in B soft marks (Gaussian,
// sigma 1.2 pixels) whose centroids show where content went.
Color picture(double x, double y, std::vector<P> const& marks) {
  double b = 0;
  for (P const& m : marks) b += std::exp(-(std::pow(x - m.x(), 2) + std::pow(y - m.y(), 2)) / 2.88);
  return Color((int(std::floor(x / 3)) + int(std::floor(y / 3))) & 1 ? 0.75f : 0.25f, float(y / 512), float(b), 1);
}

P markCentroid(IxTile const& t, P const& near) {
  double sw = 0, sx = 0, sy = 0;
  worst(Rect(int(near.x()) - 5, int(near.y()) - 5, int(near.x()) + 7, int(near.y()) + 7), [&](int x, int y) {
    double const w = t.getPixelRegion().contains(x, y) ? colorAt(t, x, y).b : 0.0;
    sw += w, sx += w * x, sy += w * y;
    return 0.0;
  });
  return P(float(sx / sw), float(sy / sw));
}

// A circle carried by t = (20, 10) over a pinned frame: the frame's border
// stays, and with smoothing "None" the warp inside is the translation, so
// the marks move by t, by the interpolation's share of it, or back by t with
// Invert Warp (at Interpolation 0 the grid stays and samples the mesh).
// "Inside" and the default smoothing keep the curve's smoothness term and
// solve the inside together with the outside, which the pinned frame pulls:
// their errors are reported and only bounded.
TEST(WarpResamplerTest, MovedShapeCarriesItsContentAndFixedKeepsTheBorder) {
  Rect const frame(0, 0, 200, 150);
  std::vector<P> const marks = {{90, 75}, {102, 74}, {79, 70}, {91, 87}, {88, 63}};  // inside both circles, also moved
  struct {
    char const* name;
    int smoothing;
    double quality;
    Settings settings;
    double shapeInterpolation, shift, tolerance;
  } const cases[] = {{"None", 3, 1, {}, 1, 1, 0.25},
                     {"None, Quality 3", 3, 3, {}, 1, 1, 0.25},
                     {"Inside, Quality 3 (reported)", 1, 3, {}, 1, 1, 1.5},
                     {"Bidirectional, Quality 3 (reported)", 0, 3, {}, 1, 1, 1.5},
                     {"None, Global Interpolation 0.5", 3, 1, {kTimingGlobal, 0.5}, 1, 0.5, 0.25},
                     {"None, Shape timing, shape at 0.5", 3, 1, {kTimingShape, 0.2}, 0.5, 0.5, 0.25},
                     {"None, Invert Warp", 3, 1, {kTimingGlobal, 0.0, true}, 1, -1, 0.25}};
  for (auto const& c : cases) {
    GeBezierCurve const src = circle(80, 70, 35);
    Scene const scene{frame, {{src, mapped(src, M::translation(20, 10)), {}, c.smoothing, c.shapeInterpolation}}, c.quality};
    IxTile const out = renderAll(warp(scene, image(frame, [&](double x, double y) { return picture(x, y, marks); }), c.settings).warp);
    double error = 0;
    for (P const& m : marks) {
      P const expected(float(m.x() + 20 * c.shift), float(m.y() + 10 * c.shift));
      error = std::max(error, distance(markCentroid(out, expected), expected));
    }
    EXPECT_LE(error, c.tolerance) << c.name;
    std::printf("[ moved shape ] %-36s largest mark error %.3f px\n", c.name, error);
    ASSERT_EQ(out.getPixelRegion(), frame);
    EXPECT_LE(worst(frame, [&](int x, int y) {
                bool const border = x == 0 || y == 0 || x == frame.x2() - 1 || y == frame.y2() - 1;
                return border ? std::fabs(colorAt(out, x, y).r - picture(x, y, marks).r) : 0.0;
              }), 1e-3);
  }
}

// A convex polygon linked at every vertex, its destination an affine (Skew)
// or similarity (Rigid) map of it, smoothing "None", the frame free (the
// solved mesh folds just outside the corners, which a pinned frame pushes
// into the polygon): inside, the warp is that map.
TEST(WarpResamplerTest, PolygonMappedByAffineOrSimilarityWarpsByThatMap) {
  Rect const frame(0, 0, 160, 128);
  std::vector<P> const pentagon = {{60, 40}, {95, 48}, {100, 80}, {70, 95}, {50, 70}};
  float const c = 1.1f * std::cos(0.15f), s = 1.1f * std::sin(0.15f);
  for (auto const& [renderSmoothing, map] : {std::pair{0, M(1.15f, 0.2f, -0.1f, 0.9f, 4, -3)}, std::pair{1, M(c, -s, s, c, 2, -12)}}) {
    GeBezierCurve const src = polygon(pentagon);
    Scene const scene{frame, {{src, mapped(src, map), {0, 1, 2, 3, 4}, 3}}, 1.0, renderSmoothing, kBoundaryFree};
    IxTile const v = renderAll(warp(scene, image(frame)).resamplingVectors);
    M inverse;
    ASSERT_TRUE(map.invert(inverse));
    int inside = 0;
    double const error = worst(frame, [&](int x, int y) {
      P const p{float(x), float(y)};
      for (std::size_t i = 0; i < pentagon.size(); ++i) {  // 1.5 pixels inside every edge
        P const a = map.apply(pentagon[i]), b = map.apply(pentagon[(i + 1) % pentagon.size()]);
        if ((b.x() - a.x()) * (p.y() - a.y()) - (b.y() - a.y()) * (p.x() - a.x()) < 1.5f * distance(a, b)) return 0.0;
      }
      ++inside;
      return distance(vectorAt(v, x, y), inverse.apply(p));
    });
    EXPECT_GT(inside, 500);
    EXPECT_LE(error, 0.05) << "render smoothing " << renderSmoothing;
  }
}

// A smooth picture: no channel changes by more than 0.09 per pixel.
Color smooth(double x, double y) {
  return Color(float(0.5 + 0.4 * std::sin(x / 6) * std::cos(y / 7)), float(0.5 + 0.4 * std::sin((x + y) / 9)), 0, 1);
}
double colorError(Color const& a, Color const& b) { return std::max(std::fabs(a.r - b.r), std::fabs(a.g - b.g)); }

// Invert Warp (at Interpolation 0), then the warp: the input comes back, up
// to two bilinear interpolations of a smooth picture.
TEST(WarpResamplerTest, InvertThenApplyGivesTheInputBack) {
  Rect const frame(0, 0, 140, 110);
  GeBezierCurve const src = circle(70, 55, 22);
  Scene const scene{frame, {{src, mapped(src, M::translation(7, -5))}}};
  IxTile const back = renderAll(warp(scene, warp(scene, image(frame, smooth), {kTimingGlobal, 0.0, true}).warp).warp);
  EXPECT_LE(worst(Rect(12, 12, 128, 98), [&](int x, int y) { return colorError(colorAt(back, x, y), smooth(x, y)); }), 0.02);
}

// At proxy levels 1 and 2 the vectors are the full-resolution ones
// downsampled, within a pixel (of the level) of displacement; so is the
// image, one chain rendered at every level: level k's pixel (x, y) shows the
// full warp's pixel (2^k x, 2^k y) within what the smooth picture changes
// over one pixel of the level.
TEST(WarpResamplerTest, ProxyLevelsFollowTheFullResolutionWarp) {
  Rect const frame(0, 0, 256, 192);
  GeBezierCurve const src = circle(120, 90, 40);
  WarpResamplerChain const chain = warp(Scene{frame, {{src, mapped(src, M::translation(12, 8))}}}, image(frame, smooth));
  IxTile const full = renderAll(chain.resamplingVectors), fullImage = renderAll(chain.warp);
  for (int level : {1, 2}) {
    int const s = 1 << level;
    double const error = vectorError(renderAll(chain.resamplingVectors, level), [&](int x, int y) {
      P const f = vectorAt(full, x * s, y * s);
      return P(f.x() / s, f.y() / s);
    });
    IxTile const out = renderAll(chain.warp, level);
    double const colorDifference =
        worst(out.getPixelRegion(), [&](int x, int y) { return colorError(colorAt(out, x, y), colorAt(fullImage, x * s, y * s)); });
    EXPECT_LE(error, 1.0) << "level " << level;
    EXPECT_EQ(out.getPixelRegion(), Rect(0, 0, 256 / s, 192 / s));
    EXPECT_LE(colorDifference, 0.09 * s) << "level " << level;
    std::printf("[ proxy ] level %d largest difference %.3f px of the level, %.3f in colour\n", level, error, colorDifference);
  }
}

// However the work is cut (1 or 2 threads, grid tiles or one request, a part
// or all), the warp's pixels are the same bits, with and without derivatives.
TEST(WarpResamplerTest, ThreadsAndTilesGiveBitIdenticalImages) {
  Rect const frame(0, 0, 520, 300), all(-10, -20, 560, 330), part(37, 19, 530, 290);
  GeBezierCurve const src = circle(260, 150, 70);
  Scene const scene{frame, {{src, mapped(src, M::translation(25, -15))}}, 1.0, 0, kBoundaryFree};
  PxNodePtr<PxNode> const input = image(frame, [](double x, double y) { return picture(x, y, {{260, 150}}); });
  Generators const g = generators(scene, input);  // one solve; fresh vector and warp nodes for every render
  for (int filter : {1, 3}) {
    auto render = [&](int threads, bool single, Rect const& region) {
      Settings s;
      s.filter = filter;
      return PxRenderer(warp(scene, input, s, g).warp, {threads, single, {}}).render(PxImageContext(0.0, 0, 0, Rect()), region).tile;
    };
    IxTile const reference = render(1, false, all);
    for (auto const& [single, region] : {std::pair{false, all}, std::pair{true, all}, std::pair{false, part}}) {
      IxTile const t = render(2, single, region);
      EXPECT_EQ(worst(region, [&](int x, int y) {
                  return double(std::memcmp(IxReadGuard(t).getPixelAddress(x, y), IxReadGuard(reference).getPixelAddress(x, y), 16) != 0);
                }), 0.0) << "filter " << filter << " single request " << single;
    }
  }
}

// An empty input gives an empty warp. One pixel wide or tall, the vector
// tile has no neighbours across: the footprint filters take the identity's
// derivatives there and sample one pixel's worth, not nothing or everything.
TEST(WarpResamplerTest, EmptyAndOnePixelInputs) {
  PxValidityInterval v = PxValidityInterval::FULL;
  PxNodePtr<PxImageProtocol> const empty = warp(Scene{Rect(), {}}, image(Rect())).warp;
  EXPECT_TRUE(empty->computePixelROD(PxImageContext(0.0, 0, 0, Rect()), v).isEmpty());
  EXPECT_TRUE(empty->computeImage(PxImageContext(0.0, 0, 0, GePoint2<int>(0, 0))).tile.getPixelRegion().isEmpty());
  for (Rect const line : {Rect(5, 0, 6, 40), Rect(0, 7, 40, 8)})
    for (int filter : {1, 3, 6}) {
      Settings s;
      s.filter = filter;
      IxTile const out = renderAll(warp(Scene{line, {}}, image(line, [](double, double) { return Color(0.3f, 0.6f, 0.9f, 1); }), s).warp);
      Color const c = colorAt(out, (line.x1() + line.x2()) / 2, (line.y1() + line.y2()) / 2);
      EXPECT_EQ(out.getPixelRegion(), line);
      EXPECT_TRUE(c.a > 0.3f && std::fabs(c.r / c.a - 0.3f) < 1e-4f) << "filter " << filter << " alpha " << c.a;
    }
}

}  // namespace
