// Shared by the warper's tests: constant values, a test image node (a function
// of position at every level, or one fixed tile), stock curves, shapes and
// scenes turned into the generator's inputs, rendering, the largest error
// over a region, and the assertion a call fails.
#pragma once

#include <atomic>
#include <cmath>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/assertions.h"
#include "pluginAPI/pxAnimValue.h"
#include "pluginAPI/pxRenderer.h"
#include "primitives/geBezierCurve.h"
#include "warpGeneratorTool.h"

namespace warptest {

using Color = CoRgbaColorTyped<float>;
using Rect = GeRectangle<int>;
using P = GePoint2<float>;
using M = GeAffineMatrix2<float>;
using Qx::Warper2D::ShapeImage;

template <class T>
PxNodePtr<PxNode> constant(T v) {
  return PxNodePtr<PxAnimValueNode<T>>::create(v);
}

inline PxImageFormat format(IxPixelFormat::Comps comps) { return PxImageFormat(IxPixelFormat(comps, IxPixelFormat::FLOAT32)); }

// Pixel (x, y) of level k is f(x, y, k) over `region` (full resolution); or
// one tile served whole (a shape image). Records the levels it computed.
class TestImage : public PxImageNode {
 public:
  using Fn = std::function<Color(int x, int y, int level)>;
  TestImage(PxImageFormat const& f, Rect const& region, Fn fn, bool fullFrames = false)
      : PxImageNode(PxNodeInit{"test", f}), _region(region), _fn(std::move(fn)), _fullFrames(fullFrames) {}
  explicit TestImage(IxTile tile)
      : PxImageNode(PxNodeInit{"test", format(IxPixelFormat::ALPHA)}), _region(tile.getPixelRegion()), _tile(tile) {}

  bool producesFullFrames() const override { return _fullFrames; }
  PxRODResult computeROD(PxImageContext const&) const override { return {pixelizedToNominal(_region, 1.0f, 1.0)}; }
  PxImageResult computeImage(PxImageContext const& context) const override {
    _levels.fetch_or(1u << context.getProxyLevel());
    if (_tile.isValid()) return {_tile};
    PxValidityInterval v = PxValidityInterval::FULL;
    Rect const r = context.getPixelRegion() & computePixelROD(context, v);
    IxTile tile = allocateImageBuffer(r);
    IxWriteGuard const g(tile);
    for (int y = r.y1(); y < r.y2(); ++y)
      for (int x = r.x1(); x < r.x2(); ++x)
        ixWriteColor(g.getPixelFormat(), g.getPixelAddress(x, y), _fn(x, y, context.getProxyLevel()));
    return {tile};
  }
  unsigned levelsComputed() const { return _levels.load(); }

 private:
  Rect _region;
  Fn _fn;
  IxTile _tile;
  bool _fullFrames = true;
  mutable std::atomic<unsigned> _levels{0};
};

inline PxNodePtr<PxNode> image(Rect const& r, std::function<Color(double, double)> f = nullptr) {
  return PxNodePtr<TestImage>::create(format(IxPixelFormat::RGBA), r, [f](int x, int y, int level) {
    double const s = std::ldexp(1.0, level);
    return f ? f(x * s, y * s) : Color(1, 1, 1, 1);
  });
}

// A mesh: grid point (x, y) of level k maps to map(x 2^k, y 2^k) / 2^k.
inline PxNodePtr<TestImage> meshNode(Rect const& r, std::function<P(double, double)> map) {
  auto f = [map](int x, int y, int level) {
    double const s = std::ldexp(1.0, level);
    P const m = map(x * s, y * s);
    return Color(float(m.x() / s), float(m.y() / s), 0, 1);
  };
  return PxNodePtr<TestImage>::create(format(IxPixelFormat::RGB), r, f, true);
}

// A four-point Bezier approximation of a circle; open, three quarters of it.
inline GeBezierCurve circle(float cx, float cy, float r, int closure = GeBezierCurve::CLOSED) {
  float const h = r * 0.5522847f;
  return GeBezierCurve({{cx + r, cy - h}, {cx + r, cy}, {cx + r, cy + h}, {cx + h, cy + r}, {cx, cy + r},
                        {cx - h, cy + r}, {cx - r, cy + h}, {cx - r, cy}, {cx - r, cy - h}, {cx - h, cy - r},
                        {cx, cy - r}, {cx + h, cy - r}},
                       closure);
}
// Smooth points along a slanted line, closed, scaled about the origin.
inline GeBezierCurve smoothCurve(int nbPoints, float scale = 1.0f) {
  GeBezierCurve c;
  for (int i = 0; i < nbPoints; ++i) c.addPoint(P(scale * (5.0f * i + 1.5f), scale * (40.0f - 3 * i)), c.SMOOTH);
  c.setClosure(GeBezierCurve::CLOSED);
  return c;
}
inline GeBezierCurve polygon(std::vector<P> const& points, int closure = GeBezierCurve::CLOSED) {
  GeBezierCurve c;
  for (P const& p : points) c.addPoint(p);
  c.setClosure(closure);
  return c;
}
inline GeBezierCurve mapped(GeBezierCurve const& c, M const& m) { return GeBezierCurve(c, m); }

struct Shape {
  GeBezierCurve source, destination;
  Vector<float> links = {};  // the same on both curves
  int smoothing = 0;
  double interpolation = 1.0;
  bool fence = false;
};

struct Scene {
  Rect frame;
  std::vector<Shape> shapes;
  double quality = 1.0;
  int renderSmoothing = 0;  // "Skew"
  int boundary = 0;         // "Fixed"
};

// A fence gets null handles where the generator must not read.
inline Qx::Warper2D::WarpGeneratorInputs generatorInputs(Scene const& s, PxNodePtr<PxNode> const& input) {
  Qx::Warper2D::WarpGeneratorInputs in{input, {}, constant(s.quality), constant(s.renderSmoothing), constant(s.boundary)};
  auto shape = [](GeBezierCurve const& c, Vector<float> const& l) { return PxNodePtr<TestImage>::create(ShapeImage::encode(c, l)); };
  for (Shape const& sh : s.shapes)
    in.shapes.push_back({shape(sh.source, sh.links), sh.fence ? nullptr : shape(sh.destination, sh.links),
                         constant(sh.fence), constant(sh.smoothing), sh.fence ? nullptr : constant(sh.interpolation)});
  return in;
}

// A node's whole image at a level, rendered on the worker pool.
inline IxTile renderAll(PxNodePtr<PxImageProtocol> const& node, int level = 0, PxRenderSettings settings = {}) {
  PxImageContext const context(0.0, 0, level, Rect());
  PxValidityInterval v = PxValidityInterval::FULL;
  return PxRenderer(node, std::move(settings)).render(context, node->computePixelROD(context, v)).tile;
}

inline Color colorAt(IxTile const& t, int x, int y) {
  return ixReadColor(t.getPixelFormat(), IxReadGuard(t).getPixelAddress(x, y));
}
inline P vectorAt(IxTile const& t, int x, int y) {
  Color const c = colorAt(t, x, y);
  return P(c.r, c.g);
}
inline double distance(P const& a, P const& b) { return std::hypot(double(a.x()) - b.x(), double(a.y()) - b.y()); }

// The largest error(x, y) over `r`; a NaN counts as infinite.
template <class F>
double worst(Rect const& r, F error) {
  double w = 0;
  for (int y = r.y1(); y < r.y2(); ++y)
    for (int x = r.x1(); x < r.x2(); ++x) {
      double const e = error(x, y);
      w = std::isnan(e) ? INFINITY : std::max(w, e);
    }
  return w;
}

// "file: condition" of the assertion f fails, or "" when it does not fail.
template <class F>
std::string failedCondition(F&& f) {
  try {
    f();
  } catch (AssertionFailure const& e) {
    return e.file() + ": " + e.condition();
  }
  return "";
}

}  // namespace warptest
