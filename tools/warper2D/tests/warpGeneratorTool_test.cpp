// The generator: the shape image codec, and the node's meshes and region.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "warpGridProc.h"
#include "warpTestNodes.h"

namespace {

using namespace warptest;
using namespace Qx::Warper2D;
float const kNaN = std::numeric_limits<float>::quiet_NaN();

// The renderer's layouts, with one probe of where a value sits (the last
// link, else the last point's y, else the closure); decoding gives the curve
// back at every level, scaled, and the links unscaled.
TEST(ShapeImageTest, LayoutAndRoundTripAtEveryLevel) {
  struct {
    int points, links, w, h, probeX, probeY;
  } const cases[] = {{4, 6, 6, 7, 5, 5}, {20, 0, 10, 14, 9, 12}, {0, 0, 6, 3, 3, 0}};
  for (auto const& c : cases) {
    GeBezierCurve const curve = smoothCurve(c.points);
    Vector<float> links;
    Vector<P> points, got;
    for (int i = 0; i < c.links; ++i) links.push_back(0.5f * i);
    curve.getCtrlPoints(points);
    IxTile const image = ShapeImage::encode(curve, links);
    ASSERT_EQ(image.getPixelRegion(), Rect(0, 0, c.w, c.h));
    EXPECT_EQ(colorAt(image, 2, 0).a, float(c.points));
    EXPECT_EQ(colorAt(image, c.probeX, c.probeY).a, c.links ? links.back() : c.points ? points.back().y() : 1.0f);
    for (int level : {0, 1, 2}) {
      GeBezierCurve back;
      Vector<float> backLinks;
      ShapeImage::decode(image, level, back, backLinks);
      back.getCtrlPoints(got);
      for (std::size_t i = 0; i < got.size(); ++i) got[i] = P(std::ldexp(got[i].x(), level), std::ldexp(got[i].y(), level));
      EXPECT_TRUE(got == points && backLinks == links && back.isClosed()) << c.points << " points, level " << level;
    }
  }
}

// A header value made malformed: an empty curve, or the failed assertion
// when the image is smaller than it says, or does not start at (0, 0).
TEST(ShapeImageTest, MalformedImagesDecodeEmptyOrFail) {
  struct {
    int x;
    float value;
    char const* assertion;
  } const cases[] = {{2, -1.0f, nullptr}, {0, kNaN, nullptr}, {2, 50.0f, nullptr}, {0, 1.0f, nullptr}, {4, 1e9f, nullptr},
                     {0, 64.0f, "srcCurveBbox.getWidth() >= width"}, {1, 99.0f, "srcCurveBbox.getHeight() >= height"},
                     {-1, 0.0f, "srcCurveBbox.x1() == 0"}};
  for (auto const& c : cases) {
    IxTile image = ShapeImage::encode(smoothCurve(4), {0.5f, 1.5f});
    if (c.x < 0) image = IxTile(image, Rect(1, 0, 6, 7), Color::ZERO);
    else std::memcpy(IxWriteGuard(image).getPixelAddress(c.x, 0), &c.value, 4);
    GeBezierCurve curve = smoothCurve(2);
    Vector<float> links = {1.0f};
    EXPECT_EQ(failedCondition([&] { ShapeImage::decode(image, 0, curve, links); }),
              c.assertion ? std::string("warpGeneratorTool: ") + c.assertion : "") << c.x << " " << c.value;
    EXPECT_TRUE(c.assertion || (curve.getNumCtrlPoints() == 0 && links.empty())) << c.x << " " << c.value;
  }
}

PxNodePtr<PxImageProtocol> generator(Scene const& scene, bool destinationImage = false) {
  return createWarpGeneratorNode(destinationImage, generatorInputs(scene, image(scene.frame)));
}

// Without a usable shape the mesh is the identity and nothing is solved; a
// lone fence is solved (it leaves constrained pixels) and keeps the
// identity; a closed shape moved by t with the frame free is the
// translation by t (times the interpolation, which the destination image
// ignores) everywhere, in the level's pixels. (Rigid: with "None" curves and
// a free frame the affine model leaves the outside off the translation.)
TEST(WarpGeneratorNodeTest, MeshesAtEveryLevel) {
  Rect const frame(0, 0, 101, 77);
  GeBezierCurve const ring = circle(50, 38, 16), moved = mapped(ring, M::translation(6, -4));
  Shape const fence{ring, {}, {}, 0, 1.0, true}, movedNone{ring, moved, {}, 3}, half{ring, moved, {}, 0, 0.5};
  struct Case {
    char const* name;
    std::vector<Shape> shapes;
    int boundary, level;
    bool destinationImage;
    double shift;
  } const cases[] = {{"no shapes, Free", {}, 1, 0, false, 0},
                     {"no shapes, Fixed", {}, 0, 0, false, 0},
                     {"no points", {{GeBezierCurve(), moved}}, 1, 0, false, 0},
                     {"lone fence", {fence}, 1, 0, false, 0},
                     {"moved", {{ring, moved}}, 1, 0, false, 1},
                     {"moved, None, level 1", {movedNone}, 1, 1, false, 0.5},
                     {"moved, level 2", {{ring, moved}}, 1, 2, false, 0.25},
                     {"interpolation 0.5", {half}, 1, 0, false, 0.5},
                     {"interpolation 0.5, destination image, level 1", {half}, 1, 1, true, 0.5}};
  for (Case const& c : cases) {
    PxNodePtr<PxImageProtocol> const node = generator(Scene{frame, c.shapes, 3.0, 1, c.boundary}, c.destinationImage);
    PxValidityInterval v = PxValidityInterval::FULL;
    IxTile const mesh = renderAll(node, c.level);
    ASSERT_EQ(mesh.getPixelRegion(), node->computePixelROD(PxImageContext(0.0, 0, c.level, Rect()), v)) << c.name;
    bool const solved = !c.shapes.empty() && c.shapes[0].source.getNumCtrlPoints() > 0;
    int constrained = 0;
    double const error = worst(mesh.getPixelRegion(), [&](int x, int y) {
      MeshPixel const m = readMeshPixel(IxReadGuard(mesh).getPixelAddress(x, y));
      constrained += (m.b & CONSTRAINED_BIT) != 0;
      return distance(P(m.r, m.g), P(float(x + c.shift * 6), float(y - c.shift * 4)));
    });
    EXPECT_LE(error, solved ? 0.02 : 0.0) << c.name;
    EXPECT_EQ(constrained > 0, solved) << c.name;
  }
  IxTile const empty = generator(Scene{Rect(), {}})->computeImage(PxImageContext(0.0, 0, 0, frame)).tile;
  EXPECT_TRUE(empty.getPixelRegion().isEmpty());
}

// The region covers the frame and every point and handle of a usable shape,
// at most one frame size (at least 256) beyond the frame.
TEST(WarpGeneratorNodeTest, RegionReachesPointsAndHandles) {
  Rect const frame(0, 0, 300, 200);
  GeBezierCurve handle = polygon({{50, 50}, {100, 60}}, 0);
  handle.setHandles(1, P(90, 60), P(100, 260));
  struct {
    GeBezierCurve curve;
    Rect expected;
  } const cases[] = {{handle, Rect(0, 0, 300, 261)},
                     {polygon({{-40, 10}, {20, 20}}), Rect(-40, 0, 300, 200)},
                     {polygon({{kNaN, 10}, {-900, 20}}), frame},
                     {polygon({{1e9f, 10}, {-1e9f, -1e9f}}), Rect(-300, -256, 600, 200)}};
  for (auto const& c : cases) {
    PxValidityInterval v = PxValidityInterval::FULL;
    Rect const rod = generator(Scene{frame, {{c.curve, c.curve}}})->computePixelROD(PxImageContext(0.0, 0, 0, Rect()), v);
    EXPECT_EQ(rod, WarpGridProc::computeCorrespondenceImageRegion(c.expected)) << c.expected;
  }
}

}  // namespace
