// What the super tool's tests share, whether they link the plug-in or load
// it: an input image whose every pixel differs from its neighbours, a circle
// curve, a whole-image render through the host's processing graph, and a
// bit-for-bit comparison.
#pragma once

#include <cstring>

#include "internalAPI/piCurveInputValue.h"
#include "pluginAPI/piProcGraph.h"
#include "pluginAPI/pxRenderer.h"
#include "primitives/geBezierCurve.h"

namespace supertooltest {

using Rect = GeRectangle<int>;
inline int const kW = 48, kH = 40;

// An image whose every pixel differs from its neighbours, so any move shows.
class GradientNode final : public PxImageNode {
 public:
  GradientNode() : PxImageNode(PxNodeInit{"gradient", PxImageFormat()}) {}
  PxRODResult computeROD(PxImageContext const&) const override {
    return {pixelizedToNominal(Rect(0, 0, kW, kH), 1, 1)};
  }
  PxImageResult computeImage(PxImageContext const& context) const override {
    PxValidityInterval v = PxValidityInterval::FULL;
    Rect const r = context.getPixelRegion() & computePixelROD(context, v);
    if (r.isEmpty()) return {allocateEmptyImageBuffer(context, CoRgbaColorTyped<float>::ZERO)};
    IxTile tile = allocateImageBuffer(r);
    IxWriteGuard const g(tile);
    for (int y = r.y1(); y < r.y2(); ++y)
      for (int x = r.x1(); x < r.x2(); ++x)
        ixWriteColor(g.getPixelFormat(), g.getPixelAddress(x, y),
                     {float(x) / kW, float(y) / kH, float((x * 7 + y * 3) % 11) / 11.0f, 1.0f});
    return {tile};
  }
};

class GradientController : public PiImageGenerator {
 public:
  static void describe(PiToolPolicyDescriptor&) {}
  PxNodePtr<PxImageProtocol> createProcNode(PxNodePtr<PxImageProtocol> const&, PiProcNodeProvider const&) override {
    return PxNodePtr<GradientNode>::create();
  }
};

inline GeBezierCurve circle(float cx, float cy, float r) {
  float const h = r * 0.5522847f;
  return GeBezierCurve({{cx + r, cy - h}, {cx + r, cy}, {cx + r, cy + h}, {cx + h, cy + r}, {cx, cy + r},
                        {cx - h, cy + r}, {cx - r, cy + h}, {cx - r, cy}, {cx - r, cy - h}, {cx - h, cy - r},
                        {cx, cy - r}, {cx + h, cy - r}},
                       GeBezierCurve::CLOSED);
}

// One undoable command, as a viewer's curve edit is.
inline void setCurve(RCShdPtr<PiNode> const& shapeNode, GeBezierCurve const& curve) {
  PiUndoGuard guard("Edit Curve");
  PiCurveInputValue::setCurve(shapeNode->getInput("Curve"), curve);
}

inline void registerGradientTool() {
  if (PiToolRegistry::getInstance().findTool("Test Gradient").isNull())
    PiImageModifier::registerTool(PiMorvaneToolProtocol::create<GradientController>("Test Gradient", "A gradient"));
}

inline IxTile render(RCShdPtr<PiGraph> const& graph, RCShdPtr<PiNode> const& node, char const* output) {
  PiProcGraph procs(graph);
  PxNodePtr<PxImageProtocol> const image = procs.getImageNode(node->getOutput(output));
  PxImageContext const context(0.0, 0, 0, Rect());
  PxValidityInterval v = PxValidityInterval::FULL;
  return PxRenderer(image).render(context, image->computePixelROD(context, v)).tile;
}

inline bool sameBits(IxTile const& a, IxTile const& b) {
  if (!a.isValid() || !b.isValid() || a.getPixelRegion() != b.getPixelRegion() ||
      a.getPixelFormat() != b.getPixelFormat())
    return false;
  IxReadGuard const ga(a), gb(b);
  Rect const r = a.getPixelRegion();
  std::size_t const rowBytes = std::size_t(r.getWidth()) * ga.getBytesPerPixel();
  for (int y = r.y1(); y < r.y2(); ++y)
    if (std::memcmp(ga.getPixelAddress(r.x1(), y), gb.getPixelAddress(r.x1(), y), rowBytes) != 0) return false;
  return true;
}

}  // namespace supertooltest
