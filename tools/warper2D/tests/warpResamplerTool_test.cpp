// The resampler: vector nodes (blend amounts per variant, proxy reduction by
// Quality with upsampling, Fixed and Free extents) and the whole warp from
// shapes to image (moved and mapped content, border, round trip, proxy
// levels, threads and tiles, edge cases).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

#include "base/exceptions.h"
#include "warpResamplerTool.h"
#include "warpTestNodes.h"

namespace {

using namespace warptest;
using namespace Qx::Warper2D;

// The value settings of a vector node; an empty optional is a null handle,
// which fails if the node reads it.
struct Settings {
  std::optional<int> timing = kTimingGlobal;
  std::optional<double> interpolation = 1.0;
  std::optional<bool> invert = false;
  double quality = 10.0;
  int boundary = kBoundaryFixed;
};

template <class T>
PxNodePtr<PxNode> optionalConstant(std::optional<T> const& v) {
  return v ? constant(*v) : nullptr;
}

PxNodePtr<PxImageProtocol> vectorNode(bool simplified, bool returnDstVectors, PxNodePtr<PxNode> const& primary,
                                      PxNodePtr<PxNode> const& mesh, PxNodePtr<PxNode> const& destinationMesh,
                                      Settings const& s, PxNodePtr<PxNode> const& dstVectors = nullptr) {
  return createVectorResamplerNode(simplified, returnDstVectors,
                                   {primary, mesh, destinationMesh, dstVectors, optionalConstant(s.timing),
                                    optionalConstant(s.interpolation), optionalConstant(s.invert),
                                    constant(s.quality), constant(s.boundary)});
}

PxNodePtr<PxNode> flatImage(Rect const& frame) {
  return PxNodePtr<FunctionNode>::create(rgbaFloat(), frame, [](int, int, int) { return Color(1, 1, 1, 1); });
}

P vectorAt(IxTile const& t, int x, int y) {
  Color const c = colorAt(t, x, y);
  return P(c.r, c.g);
}

// Largest distance between the vectors and expected(x, y) over the tile.
template <class F>
double vectorError(IxTile const& vectors, F expected) {
  Rect const r = vectors.getPixelRegion();
  double worst = 0.0;
  for (int y = r.y1(); y < r.y2(); ++y)
    for (int x = r.x1(); x < r.x2(); ++x) {
      P const v = vectorAt(vectors, x, y), e = expected(x, y);
      double const d = std::hypot(double(v.x()) - e.x(), double(v.y()) - e.y());
      worst = std::isnan(d) ? INFINITY : std::max(worst, d);
    }
  return worst;
}

// Scale meshes about the origin make the two amounts visible separately: a
// grid point x drawn at (1 + a (s - 1)) x carrying (1 + b (s - 1)) x gives
// the vector p (1 + b (s - 1)) / (1 + a (s - 1)) at output pixel p.
TEST(VectorResamplerNodeTest, BlendAmountsOfEveryVariant) {
  Rect const frame(0, 0, 64, 48);
  double const mainScale = 2.0, destinationScale = 1.5;
  auto const mesh = meshNode(frame, [&](double x, double y) { return P(float(mainScale * x), float(mainScale * y)); });
  auto const destinationMesh =
      meshNode(frame, [&](double x, double y) { return P(float(destinationScale * x), float(destinationScale * y)); });
  std::optional<int> const none;
  struct Case {
    bool simplified, returnDstVectors;
    Settings settings;
    bool mainMesh;
    double a, b;
  } const cases[] = {
      {false, false, {kTimingGlobal, 0.5, false}, false, 0.5, 0.0},
      {false, false, {kTimingShape, std::nullopt, false}, true, 1.0, 0.0},
      {false, false, {kTimingGlobal, 0.0, true}, false, 0.0, 1.0},
      {false, false, {kTimingShape, std::nullopt, true}, true, 1.0, 1.0},
      {false, true, {kTimingGlobal, 0.5, false}, false, 0.0, 0.5},
      {false, true, {kTimingShape, std::nullopt, true}, true, 1.0, 1.0},
      {false, true, {kTimingGlobal, 0.25, true}, false, 1.0, 0.25},
      {true, false, {none, std::nullopt, std::nullopt}, false, 1.0, 0.0},
      {true, true, {none, std::nullopt, std::nullopt}, false, 0.0, 1.0},
  };
  for (Case const& c : cases) {
    auto const node = vectorNode(c.simplified, c.returnDstVectors, flatImage(frame), mesh, destinationMesh, c.settings,
                                 c.returnDstVectors ? nullptr : PxNodePtr<PxNode>(destinationMesh));
    double const s = c.mainMesh ? mainScale : destinationScale;
    double const ratio = (1 + c.b * (s - 1)) / (1 + c.a * (s - 1));
    IxTile const vectors = renderAll(node);
    EXPECT_EQ(vectors.getPixelRegion(), frame);
    EXPECT_LT(vectorError(vectors, [&](int x, int y) { return P(float(x * ratio), float(y * ratio)); }), 1e-3)
        << "simplified " << c.simplified << " returnDstVectors " << c.returnDstVectors << " a " << c.a << " b " << c.b;
  }
}

// Quality 1 allows 512 pixels, 2 allows 1024, 3 and up 2048: a 2048 x 2048
// mesh is computed 2, 1 or 0 levels down, never below level 7 in all, and
// the cubic upsampling gives an affine warp back exactly.
TEST(VectorResamplerNodeTest, QualityReducesLargeMeshesAndUpsamplesExactlyForAffineWarps) {
  Rect const frame(0, 0, 2048, 2048);
  auto const affine = [](double x, double y) { return P(float(1.1 * x + 0.2 * y + 3.0), float(-0.1 * x + 0.9 * y - 7.5)); };
  struct Case {
    double quality;
    int level, meshLevel;
  } const cases[] = {{1.0, 0, 2}, {2.0, 0, 1}, {3.0, 0, 0}, {1.0, 6, 7}, {1.0, 7, 7}, {0.0, 5, 7}};
  for (Case const& c : cases) {
    auto const mesh = meshNode(frame, affine);
    Settings settings;
    settings.quality = c.quality;
    // The destination vectors read the mesh directly: they are the mesh itself.
    IxTile const vectors = renderAll(vectorNode(false, true, flatImage(frame), mesh, mesh, settings), c.level);
    EXPECT_EQ(mesh->levelsComputed(), 1u << c.meshLevel) << "quality " << c.quality << " level " << c.level;
    double const s = std::ldexp(1.0, c.level);
    double const error = vectorError(vectors, [&](int x, int y) {
      P const m = affine(x * s, y * s);
      return P(float(m.x() / s), float(m.y() / s));
    });
    EXPECT_LT(error, 2e-3) << "quality " << c.quality << " level " << c.level;
  }
}

TEST(VectorResamplerNodeTest, FixedKeepsTheInputExtentFreeFollowsTheWarpedGrid) {
  Rect const frame(0, 0, 50, 40);
  P const t(5.5f, -3.25f);
  auto const mesh = meshNode(frame, [&](double x, double y) { return P(float(x + t.x()), float(y + t.y())); });
  for (Rect const input : {frame, Rect()}) {
    PxNodePtr<PxNode> const image = flatImage(input);
    auto const destination = vectorNode(false, true, image, mesh, mesh, {});
    for (int boundary : {kBoundaryFixed, kBoundaryFree}) {
      Settings settings;
      settings.boundary = boundary;
      auto const resampling = vectorNode(false, false, image, mesh, mesh, settings, destination);
      PxImageContext const context(0.0, 0, 0, Rect());
      PxValidityInterval v = PxValidityInterval::FULL;
      // Free: [floor(min) - 1, ceil(max + 1) + 1) of the warped grid positions.
      Rect const expected = input.isEmpty() || boundary == kBoundaryFixed ? input : Rect(4, -5, 57, 38);
      EXPECT_EQ(resampling->computePixelROD(context, v), expected) << "boundary " << boundary;
      EXPECT_EQ(destination->computePixelROD(context, v), input);
      if (input.isEmpty()) {
        EXPECT_TRUE(resampling->computeImage(context.withRegion(frame)).tile.getPixelRegion().isEmpty());
        continue;
      }
      // Output pixel p samples p - t, also beyond the input frame.
      IxTile const vectors = renderAll(resampling);
      EXPECT_LT(vectorError(vectors, [&](int x, int y) { return P(x - t.x(), y - t.y()); }), 1e-3);
    }
  }
}

TEST(VectorResamplerNodeTest, DestinationVectorsOnlyWithTheDestinationVectorNode) {
  Rect const frame(0, 0, 8, 8);
  auto const mesh = meshNode(frame, [](double x, double y) { return P(float(x), float(y)); });
  for (bool returnDstVectors : {false, true}) {
    try {
      vectorNode(false, returnDstVectors, flatImage(frame), mesh, mesh, {},
                 returnDstVectors ? PxNodePtr<PxNode>(mesh) : nullptr);
      ADD_FAILURE() << "no assertion";
    } catch (AssertionFailure const& e) {
      EXPECT_EQ(e.condition(), "returnDstVectors && dstVectors.isNull() || ! returnDstVectors && ! dstVectors.isNull()");
      EXPECT_EQ(e.file(), "warpResamplerTool");
    }
  }
}

}  // namespace
