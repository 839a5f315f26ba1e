// What the super tool's tests share, whether they link the plug-in or load
// it: an input image whose every pixel differs from its neighbours, a circle
// curve, a whole-image render through the host's processing graph, and the
// host tests' bit-for-bit comparison.
#pragma once

#include "internalAPI/piCurveInputValue.h"
#include "pluginAPI/piProcGraph.h"
#include "pluginAPI/pxRenderer.h"
#include "primitives/geBezierCurve.h"
#include "tests/pxTestNodes.h"

namespace supertooltest {

using Rect = GeRectangle<int>;

// A 48 x 40 image whose every pixel differs from its neighbours, so any move
// shows.
inline PxNodePtr<PxImageProtocol> gradient() {
  static pxtest::Counters counters;
  return PxNodePtr<pxtest::PatternNode>::create(pxtest::kRgbaF32, GeRectangle<float>(0, 0, 48, 40),
                                                PxNodePtr<PxAnimValueNode<double>>::create(1.0), counters);
}

class GradientController : public PiImageGenerator {
 public:
  static void describe(PiToolPolicyDescriptor&) {}
  PxNodePtr<PxImageProtocol> createProcNode(PxNodePtr<PxImageProtocol> const&, PiProcNodeProvider const&) override {
    return gradient();
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

using pxtest::sameBits;

}  // namespace supertooltest
