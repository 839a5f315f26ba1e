// Nodes and scenes shared by the generator and resampler tests: constant
// value nodes, a shape node serving an encoded shape image, an image defined
// by a function of full-resolution position (sampled at every proxy level,
// recording the levels asked for), and a scene of shapes turned into the
// generator's inputs.
#pragma once

#include <atomic>
#include <cmath>
#include <functional>
#include <utility>
#include <vector>

#include "pluginAPI/pxAnimValue.h"
#include "pluginAPI/pxImageProtocol.h"
#include "pluginAPI/pxRenderer.h"
#include "primitives/geBezierCurve.h"
#include "warpGeneratorTool.h"

namespace warptest {

using Color = CoRgbaColorTyped<float>;
using Rect = GeRectangle<int>;
using P = GePoint2<float>;
using Qx::Warper2D::ShapeImage;

template <class T>
PxNodePtr<PxNode> constant(T v) {
  return PxNodePtr<PxAnimValueNode<T>>::create(v);
}

// A closed four-point Bezier approximation of a circle.
inline GeBezierCurve circle(float cx, float cy, float r) {
  float const h = r * 0.5522847f;
  Vector<P> pts = {{cx + r, cy - h}, {cx + r, cy}, {cx + r, cy + h}, {cx + h, cy + r}, {cx, cy + r},
                   {cx - h, cy + r}, {cx - r, cy + h}, {cx - r, cy}, {cx - r, cy - h}, {cx - h, cy - r},
                   {cx, cy - r},     {cx + h, cy - r}};
  return GeBezierCurve(pts, GeBezierCurve::CLOSED);
}

// A corner polygon through `points`, open or closed.
inline GeBezierCurve polygon(std::vector<P> const& points, bool closed) {
  GeBezierCurve c;
  for (P const& p : points) c.addPoint(p, GeBezierCurve::CORNER);
  c.setClosure(closed ? GeBezierCurve::CLOSED : GeBezierCurve::OPEN);
  return c;
}

inline GeBezierCurve mapped(GeBezierCurve const& c, GeAffineMatrix2<float> const& m) { return GeBezierCurve(c, m); }

// Serves one shape image, whatever it is asked.
class ShapeNode : public PxImageNode {
 public:
  explicit ShapeNode(IxTile tile)
      : PxImageNode(PxNodeInit{"shape", PxImageFormat(IxPixelFormat(IxPixelFormat::ALPHA, IxPixelFormat::FLOAT32))}),
        _tile(std::move(tile)) {}
  PxRODResult computeROD(PxImageContext const&) const override {
    return {pixelizedToNominal(_tile.getPixelRegion(), 1.0f, 1.0), PxValidityInterval::FULL};
  }
  PxImageResult computeImage(PxImageContext const&) const override { return {_tile, PxValidityInterval::FULL}; }

 private:
  IxTile _tile;
};

inline PxNodePtr<PxNode> shapeNode(GeBezierCurve const& curve, Vector<float> const& links = {}) {
  return PxNodePtr<ShapeNode>::create(ShapeImage::encode(curve, links));
}

// Pixel (x, y) of level k is f(x, y, k); the region of definition is
// `region` at full resolution. Records the levels it computed.
class FunctionNode : public PxImageNode {
 public:
  using Fn = std::function<Color(int x, int y, int level)>;
  FunctionNode(PxImageFormat const& format, Rect const& region, Fn f, bool fullFrames = false)
      : PxImageNode(PxNodeInit{"function", format}), _region(region), _f(std::move(f)), _fullFrames(fullFrames) {}

  bool producesFullFrames() const override { return _fullFrames; }
  PxRODResult computeROD(PxImageContext const&) const override {
    return {pixelizedToNominal(_region, getImageFormat().getPixelAspectRatio(), 1.0), PxValidityInterval::FULL};
  }
  PxImageResult computeImage(PxImageContext const& context) const override {
    _levels.fetch_or(1u << context.getProxyLevel());
    PxValidityInterval validity = PxValidityInterval::FULL;
    Rect const r = context.getPixelRegion() & computePixelROD(context, validity);
    if (r.isEmpty()) return {allocateEmptyImageBuffer(context, Color::ZERO), validity};
    IxTile tile = allocateImageBuffer(r);
    IxWriteGuard const g(tile);
    for (int y = r.y1(); y < r.y2(); ++y)
      for (int x = r.x1(); x < r.x2(); ++x)
        ixWriteColor(g.getPixelFormat(), g.getPixelAddress(x, y), _f(x, y, context.getProxyLevel()));
    return {tile, validity};
  }
  unsigned levelsComputed() const { return _levels.load(); }

 private:
  Rect _region;
  Fn _f;
  bool _fullFrames;
  mutable std::atomic<unsigned> _levels{0};
};

inline PxImageFormat rgbaFloat() { return PxImageFormat(IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32)); }
inline PxImageFormat rgbFloat() { return PxImageFormat(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32)); }

// A mesh node: grid point (x, y) of level k maps to map(x 2^k, y 2^k) / 2^k.
inline PxNodePtr<FunctionNode> meshNode(Rect const& region, std::function<P(double, double)> map) {
  return PxNodePtr<FunctionNode>::create(
      rgbFloat(), region,
      [map](int x, int y, int level) {
        double const s = std::ldexp(1.0, level);
        P const m = map(x * s, y * s);
        return Color(float(m.x() / s), float(m.y() / s), 0.0f, 1.0f);
      },
      true);
}

// A generator's scene: an input frame and its shapes.
struct Shape {
  GeBezierCurve source;
  GeBezierCurve destination;
  Vector<float> sourceLinks = {};
  Vector<float> destinationLinks = {};
  int smoothing = 0;
  double interpolation = 1.0;
  bool fence = false;
};

struct Scene {
  Rect frame;
  std::vector<Shape> shapes;
  double quality = 3.0;
  int renderSmoothing = 0;  // "Skew"
  int boundary = 0;         // "Fixed"
};

inline Qx::Warper2D::WarpGeneratorInputs generatorInputs(Scene const& s, PxNodePtr<PxNode> const& input) {
  Qx::Warper2D::WarpGeneratorInputs in;
  in.primary = input;
  for (Shape const& sh : s.shapes)
    in.shapes.push_back({shapeNode(sh.source, sh.sourceLinks),
                         sh.fence ? nullptr : shapeNode(sh.destination, sh.destinationLinks), constant(sh.fence),
                         constant(sh.smoothing), sh.fence ? nullptr : constant(sh.interpolation)});
  in.renderQuality = constant(s.quality);
  in.renderSmoothing = constant(s.renderSmoothing);
  in.renderBoundary = constant(s.boundary);
  return in;
}

// The whole of a node's image at a level, rendered on the worker pool.
inline IxTile renderAll(PxNodePtr<PxImageProtocol> const& node, int level = 0, PxRenderSettings settings = {}) {
  PxImageContext const context(0.0, 0, level, Rect());
  PxValidityInterval v = PxValidityInterval::FULL;
  Rect const region = node->computePixelROD(context, v);
  return PxRenderer(node, std::move(settings)).render(context, region).tile;
}

inline Color colorAt(IxTile const& t, int x, int y) {
  return ixReadColor(t.getPixelFormat(), IxReadGuard(t).getPixelAddress(x, y));
}

}  // namespace warptest
