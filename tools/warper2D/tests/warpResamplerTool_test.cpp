// The resampler: vector nodes (blend amounts of every variant, reduction by
// Quality and upsampling, extents) and the whole warp from shapes to image.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>

#include "base/assertions.h"
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
  try {
    vectorNode(false, true, image(frame), main, main, {}, main);
    ADD_FAILURE() << "destination vectors given to the destination-vector node";
  } catch (AssertionFailure const& e) {
    EXPECT_EQ(e.condition(), "returnDstVectors && dstVectors.isNull() || ! returnDstVectors && ! dstVectors.isNull()");
  }
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

}  // namespace
