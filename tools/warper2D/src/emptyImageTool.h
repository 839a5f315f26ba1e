// The empty image tool: an internal image tool whose output has the format of
// the image connected to its input (pixel format, pixel aspect ratio, stream
// count) but no pixels at all.
//
// Every "Warp 2D" node holds one of these, named "Empty Image", between its
// "Input Image" and each shape renderer node: a shape node then works in the
// input's format and proxy context without reading, or waiting for, a single
// pixel of the input, and without being rebuilt when the input's pixels or
// region change.
//
// Image: the region of definition is the empty rectangle (0, 0, 0, 0); every
// request is answered with an empty tile standing for transparent black, and
// both are valid for all time. A node whose input is unconnected publishes
// nothing (the input is not optional).
//
// Threading: the tool and controller statics and the controller run on the
// user-interface thread; EmptyImageNode is immutable and computes on any
// worker thread.
#pragma once

#include "base/rcPtr.h"
#include "pluginAPI/piNodeController.h"
#include "pluginAPI/piTool.h"
#include "pluginAPI/pxImageProtocol.h"

namespace Qx::Warper2D {

class EmptyImageTool {
 public:
  // "Empty Image Tool".
  static char const* getName();
  // Registers the tool (an internal image modifier, visibility 0, plain
  // structure). Once per process, or once per module load: the host's
  // registry takes the tool back when the module's package finalises.
  static void initialize();
  // Nothing to release; harmless when repeated.
  static void finalize();
  // The registered tool, looked up in the registry (null when none is):
  // holding it here would keep the module's code in use.
  static RCShdPtr<const PiTool> getTool();
};

class EmptyImageController : public PiImageModifier {
 public:
  // The single image input (primary, not optional) and affect type 2: the
  // output keeps only the input's format.
  static void describe(PiImageModifier::Descriptor& descriptor);
  static void initialize() {}
  static void finalize() {}

  PxNodePtr<PxImageProtocol> createProcNode(PxNodePtr<PxImageProtocol> const& primary,
                                            PiProcNodeProvider const& provider) override;
};

// The processing node: the input's format, no pixels.
class EmptyImageNode final : public PxImageNode {
 public:
  explicit EmptyImageNode(PxNodePtr<PxImageProtocol> const& primary, std::string name = EmptyImageTool::getName());

  // Whatever the input's fill colour, this image is transparent black.
  CoRgbaColorTyped<float> getImageFillColor() const override { return CoRgbaColorTyped<float>::ZERO; }
  PxRODResult computeROD(PxImageContext const& context) const override;
  PxImageResult computeImage(PxImageContext const& context) const override;
};

}  // namespace Qx::Warper2D
