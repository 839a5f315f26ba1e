// The generator: the shape image layout and its round trip, malformed shape
// images, and the node's meshes (identity without shapes, fences, proxy
// levels, interpolation, regions of definition).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "base/assertions.h"
#include "warpGridProc.h"
#include "warpTestNodes.h"

namespace {

using namespace warptest;
using namespace Qx::Warper2D;

float floatAt(IxTile const& t, int x, int y) { return colorAt(t, x, y).a; }
void setFloat(IxTile const& t, int x, int y, float v) { std::memcpy(IxWriteGuard(t).getPixelAddress(x, y), &v, 4); }

GeBezierCurve curveOf(int nbPoints) {
  GeBezierCurve c;
  for (int i = 0; i < nbPoints; ++i) c.addPoint(P(3.0f * i + 0.25f, 100.0f - i), GeBezierCurve::SMOOTH);
  return c;
}

TEST(ShapeImageTest, LayoutAndRoundTrip) {
  struct Case {
    int nbPoints, nbLinks, w, h, pointsPerRow;
  } const cases[] = {{4, 6, 6, 7, 3}, {20, 0, 10, 14, 5}, {0, 0, 6, 3, 3}, {0, 3, 6, 3, 3}};
  for (Case const& c : cases) {
    GeBezierCurve curve = curveOf(c.nbPoints);
    curve.setClosure(GeBezierCurve::CLOSED);
    Vector<float> links;
    for (int i = 0; i < c.nbLinks; ++i) links.push_back(0.5f * i);
    IxTile const image = ShapeImage::encode(curve, links);
    ASSERT_EQ(image.getPixelRegion(), Rect(0, 0, c.w, c.h));
    float const header[] = {float(c.w), float(c.h), float(c.nbPoints), 1.0f, float(c.nbLinks)};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(floatAt(image, i, 0), header[i]);
    Vector<P> points;
    curve.getCtrlPoints(points);
    if (!points.empty()) {
      EXPECT_EQ(floatAt(image, 2 * (c.pointsPerRow - 1) + 1, 1), points[c.pointsPerRow - 1].y());
    }
    int const linkRow = 1 + (int(points.size()) + c.pointsPerRow - 1) / c.pointsPerRow;
    if (c.nbLinks > 0) {
      EXPECT_EQ(floatAt(image, c.nbLinks - 1, linkRow), links.back());
    }

    for (int level : {0, 1, 2}) {
      GeBezierCurve back;
      Vector<float> backLinks;
      ShapeImage::decode(image, level, back, backLinks);
      EXPECT_EQ(backLinks, links);
      EXPECT_EQ(back.getNumCtrlPoints(), c.nbPoints);
      EXPECT_TRUE(back.isClosed());
      Vector<P> got;
      back.getCtrlPoints(got);
      ASSERT_EQ(got.size(), points.size());
      float const s = std::ldexp(1.0f, -level);
      for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], P(points[i].x() * s, points[i].y() * s));
    }
  }
}

TEST(ShapeImageTest, MalformedImagesDecodeEmptyOrFailTheirAssertion) {
  float const nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    int x, y;
    float value;
    char const* assertion;  // null: decodes to an empty curve
  } const cases[] = {{2, 0, -1.0f, nullptr},  {0, 0, nan, nullptr},   {2, 0, 50.0f, nullptr},
                     {0, 0, 1.0f, nullptr},   {4, 0, 1e9f, nullptr},  {0, 0, 64.0f, "srcCurveBbox.getWidth() >= width"},
                     {1, 0, 99.0f, "srcCurveBbox.getHeight() >= height"}};
  for (Case const& c : cases) {
    IxTile const image = ShapeImage::encode(curveOf(4), {0.5f, 1.5f});
    setFloat(image, c.x, c.y, c.value);
    GeBezierCurve curve = curveOf(2);
    Vector<float> links = {1.0f};
    if (c.assertion) {
      try {
        ShapeImage::decode(image, 0, curve, links);
        ADD_FAILURE() << "no assertion for " << c.assertion;
      } catch (AssertionFailure const& e) {
        EXPECT_EQ(e.condition(), c.assertion);
        EXPECT_EQ(e.file(), "warpGeneratorTool");
      }
      continue;
    }
    ShapeImage::decode(image, 0, curve, links);
    EXPECT_EQ(curve.getNumCtrlPoints(), 0) << c.x << " " << c.value;
    EXPECT_TRUE(links.empty());
  }
  // A rectangle away from the origin breaks the renderer's contract.
  IxTile const shifted(IxPixelFormat(IxPixelFormat::ALPHA, IxPixelFormat::FLOAT32), Rect(1, 0, 7, 3));
  GeBezierCurve curve;
  Vector<float> links;
  EXPECT_THROW(ShapeImage::decode(shifted, 0, curve, links), AssertionFailure);
  ShapeImage::decode(IxTile(), 0, curve, links);
  EXPECT_EQ(curve.getNumCtrlPoints(), 0);
}

PxNodePtr<PxImageProtocol> generator(Scene const& scene, bool destinationImage = false) {
  auto const input = PxNodePtr<FunctionNode>::create(rgbaFloat(), scene.frame,
                                                     [](int, int, int) { return Color(0.5f, 0.5f, 0.5f, 1.0f); });
  return createWarpGeneratorNode(destinationImage, generatorInputs(scene, input));
}

// Largest distance from pixel (x, y)'s position to expected(x, y), and the
// number of constrained pixels.
template <class F>
std::pair<double, int> compareMesh(IxTile const& mesh, F expected) {
  IxReadGuard const g(mesh);
  Rect const r = mesh.getPixelRegion();
  double worst = 0.0;
  int constrained = 0;
  for (int y = r.y1(); y < r.y2(); ++y)
    for (int x = r.x1(); x < r.x2(); ++x) {
      MeshPixel const m = readMeshPixel(g.getPixelAddress(x, y));
      P const e = expected(x, y);
      worst = std::max(worst, std::hypot(double(m.r) - e.x(), double(m.g) - e.y()));
      if (std::isnan(m.r) || std::isnan(m.g)) worst = INFINITY;
      constrained += (m.b & CONSTRAINED_BIT) != 0;
    }
  return {worst, constrained};
}

TEST(WarpGeneratorNodeTest, IdentityWithoutUsableShapesAndFencesSolveToIdentity) {
  Rect const frame(0, 0, 60, 41);
  GeBezierCurve const ring = circle(30, 20, 10);
  Shape const noPoints{GeBezierCurve(), ring};
  Shape fence{ring, GeBezierCurve()};
  fence.fence = true;
  struct Case {
    char const* name;
    std::vector<Shape> shapes;
    int boundary;
    bool solved;  // a solve leaves constrained pixels behind; the identity mesh has none
  } const cases[] = {{"no shapes, Free", {}, 1, false},
                     {"no shapes, Fixed", {}, 0, false},
                     {"a shape without points", {noPoints}, 1, false},
                     {"a lone fence", {fence}, 1, true}};
  for (Case const& c : cases) {
    Scene const scene{frame, c.shapes, 3.0, 0, c.boundary};
    IxTile const mesh = renderAll(generator(scene));
    EXPECT_EQ(mesh.getPixelFormat(), IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32)) << c.name;
    EXPECT_TRUE(mesh.getPixelRegion().contains(frame)) << c.name;
    auto const [error, constrained] = compareMesh(mesh, [](int x, int y) { return P(float(x), float(y)); });
    EXPECT_LE(error, c.solved ? 1e-3 : 0.0) << c.name;
    EXPECT_EQ(constrained > 0, c.solved) << c.name;
  }
}

TEST(WarpGeneratorNodeTest, EmptyInputGivesAnEmptyMesh) {
  IxTile const mesh = generator(Scene{Rect(), {{circle(5, 5, 3), circle(6, 6, 3)}}})
                          ->computeImage(PxImageContext(0.0, 0, 0, Rect(0, 0, 10, 10)))
                          .tile;
  EXPECT_TRUE(mesh.getPixelRegion().isEmpty());
}

// A closed shape moved by t with nothing else pinned: the smoothest warp is
// the translation by t (times the interpolation) everywhere, at every level
// in that level's pixels.
TEST(WarpGeneratorNodeTest, TranslationAtEveryLevelAndInterpolation) {
  Rect const frame(0, 0, 101, 77);
  P const t(6.0f, -4.0f);
  struct Case {
    int level;
    bool destinationImage;
    double interpolation;
    int smoothing;
  } const cases[] = {{0, false, 1.0, 0}, {1, false, 1.0, 3}, {2, false, 1.0, 0},
                     {0, false, 0.5, 0}, {1, true, 0.5, 0}};
  for (Case const& c : cases) {
    GeBezierCurve const src = circle(50, 38, 16);
    Shape const shape{src, mapped(src, GeAffineMatrix2<float>::translation(t.x(), t.y())), {}, {}, c.smoothing,
                      c.interpolation};
    PxNodePtr<PxImageProtocol> const node = generator(Scene{frame, {shape}, 3.0, 1, 1}, c.destinationImage);
    PxImageContext const context(0.0, 0, c.level, Rect());
    PxValidityInterval v = PxValidityInterval::FULL;
    Rect const rod = node->computePixelROD(context, v);
    IxTile const mesh = renderAll(node, c.level);
    EXPECT_EQ(mesh.getPixelRegion(), rod);
    double const f = (c.destinationImage ? 1.0 : c.interpolation) * std::ldexp(1.0, -c.level);
    auto const [error, constrained] =
        compareMesh(mesh, [&](int x, int y) { return P(float(x + f * t.x()), float(y + f * t.y())); });
    EXPECT_LT(error, 0.02) << "level " << c.level << " interpolation " << c.interpolation;
    EXPECT_GT(constrained, 0);
  }
}

TEST(WarpGeneratorNodeTest, RegionReachesHandlesButNotUnusableOrRunawayShapes) {
  Rect const frame(0, 0, 300, 200);
  float const nan = std::numeric_limits<float>::quiet_NaN();
  GeBezierCurve handle = polygon({{50, 50}, {100, 60}}, false);
  handle.setHandles(1, P(90, 60), P(100, 260));  // an outgoing handle below the frame
  struct Case {
    GeBezierCurve curve;
    Rect expected;  // before the lattice enlarges it on the right and bottom
  } const cases[] = {{handle, Rect(0, 0, 300, 261)},
                     {polygon({{-40, 10}, {20, 20}}, false), Rect(-40, 0, 300, 200)},
                     {polygon({{nan, 10}, {-900, 20}}, false), frame},
                     {polygon({{1e9f, 10}, {-1e9f, -1e9f}}, false), Rect(-300, -256, 600, 200)}};
  for (Case const& c : cases) {
    Shape const s{c.curve, c.curve};
    PxRODResult const r = generator(Scene{frame, {s}})->computeROD(PxImageContext(0.0, 0, 0, Rect()));
    Rect const rod = PxImageProtocol::nominalToPixelized(r.rod, 1.0f, 1.0);
    EXPECT_EQ(rod, WarpGridProc::computeCorrespondenceImageRegion(c.expected)) << c.expected;
  }
}

}  // namespace
