// The warp generator: its processing node, the shape image it reads, and the
// tool and controller that put the node into a node graph.
//
// The generator turns the shapes of one "Warp 2D" node into a solved
// correspondence mesh (warpGridProc.h): for each image request it decodes
// every shape's source and destination curve from their shape images, pairs
// their links, rasterises each curve pair into a cleared mesh, pins the
// input frame when the boundary is "Fixed", and solves the smooth grid.
// With no usable shape the mesh is the identity.
//
// Shape image. A shape renderer hands its placed curve to the generator as a
// one-channel FLOAT32 image whose pixel rectangle starts at (0, 0); read row
// by row as one float stream it holds
//   row 0      W, H, N (control points), the closure value, L (links);
//   rows 1...  the 3 N control-point-vector points (x, y) of
//              GeBezierCurve::getCtrlPoints, W / 2 points per row;
//   then       the L link positions, W per row.
// Coordinates are pixels of the full-resolution image; decoding scales the
// curve to the proxy level being served (links are curve parameters and are
// never scaled). ShapeImage writes and reads that layout, so that the shape
// renderer, the tests and applications write it one way.
//
// Node. createWarpGeneratorNode builds a node on the main thread (handles
// assert it); the node is immutable and computes on any number of worker
// threads at once, keeping every request's state local. Its images are
// FLOAT32 RGB meshes in pixels of the request's proxy level, and it answers
// every request with its whole region of definition (producesFullFrames):
// the solve couples every pixel with every other, so a tile of the mesh costs
// as much as the frame. The region of definition covers the input image and
// reaches wherever a shape's points and tangent handles do (up to one frame
// size beyond the input on each side), enlarged to the solver's lattice.
//
// Bad input is not an error: an empty input image gives an empty result; a
// shape whose image is empty, malformed or holds no point is skipped; a
// missing input handle raises NullPointerException when it is used, a value
// node of the wrong type CastException when the node is built.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/cbDispatcher.h"
#include "base/vector.h"
#include "pluginAPI/piNodeController.h"
#include "pluginAPI/piTool.h"
#include "primitives/geBezierCurve.h"
#include "primitives/geRectangle.h"
#include "primitives/ixTile.h"
#include "pluginAPI/pxImageProtocol.h"

namespace Qx::Warper2D {

class ShapeImage {
 public:
  // The pixel rectangle (0, 0)-(W, H) of the shape image of a curve of
  // `nbCtrlPoints` control points with `nbLinks` links: n = 6 N + L floats,
  // W the even number floor(sqrt(max(1, n))) (lowest bit cleared), at least
  // 6; H = floor((max(1, n) + W - 1) / W) + 2.
  static GeRectangle<int> computeRegion(int nbCtrlPoints, int nbLinks);

  // A new FLOAT32 ALPHA tile over computeRegion holding `curve` (in pixels
  // of the full-resolution image) and `links`, zero where nothing is written.
  static IxTile encode(GeBezierCurve const& curve, Vector<float> const& links, float pixelAspectRatio = 1.0f);

  // Reads a shape image (any pixel format; its first channel is read) into
  // `curve`, scaled by 1 / 2^proxyLevel about the origin, and `links`. An
  // invalid tile or an empty rectangle gives an empty curve and no links, and
  // so does a malformed header (a count that is negative or not a number, or
  // a stream that does not fit its W x H). A rectangle that does not start at
  // (0, 0) or is smaller than the W x H it announces fails an assertion.
  static void decode(IxTile const& image, int proxyLevel, GeBezierCurve& curve, Vector<float>& links);
};

// What a generator node reads. Value inputs are generic handles, cast to
// their protocols when the node is built.
struct WarpGeneratorShapeInputs {
  PxNodePtr<PxNode> sourceShape;       // image: the source curve's shape image
  PxNodePtr<PxNode> destinationShape;  // image: the destination curve's (not read for a fence)
  PxNodePtr<PxNode> fence;             // bool
  PxNodePtr<PxNode> smoothing;         // int: WarpGridProc::Smoothing
  PxNodePtr<PxNode> interpolation;     // double, in [0, 1]
};

struct WarpGeneratorInputs {
  PxNodePtr<PxNode> primary;                     // image: the input image
  std::vector<WarpGeneratorShapeInputs> shapes;  // in the order of the "Shapes" entries
  PxNodePtr<PxNode> renderQuality;               // double, 1 to 10
  PxNodePtr<PxNode> renderSmoothing;             // int: 0 "Skew", 1 "Rigid"
  PxNodePtr<PxNode> renderBoundary;              // int: 1 "Free", 0 "Fixed"
};

// The generator node. destinationImage false: the mesh at each shape's own
// "Interpolation" (the tool's main output); true: every shape carried fully
// (the "Destination Image" output), "Interpolation" not read. Main thread
// only. The mesh is solved afresh for every request: a controller publishes
// the node wrapped in an image cache node so that the resampler's two
// vector nodes, and its region of definition under "Free", share one solve.
PxNodePtr<PxImageProtocol> createWarpGeneratorNode(bool destinationImage, WarpGeneratorInputs const& inputs,
                                                   PxNodeInit const& init = {"Warp 2D Generator Tool", {}});

}  // namespace Qx::Warper2D

// --- the tool and its controller ------------------------------------------------
//
// The "Warp 2D Generator Tool" is an internal image tool of the "Warp 2D"
// super tool. Its node has the primary image input "Input" (the image to
// warp), the multi-valued "Shapes" input (one entry per shape: "Source
// Shape" and "Destination Shape", the shape images of the pair's two shape
// renderer nodes, then "Smoothing", "Fence", "Interpolation"), the tool-level
// "Quality", "Smoothing" and "Boundary" (named by Warper2DSuperToolController),
// and two outputs: "Output", the mesh at each shape's own interpolation, and
// "Destination Image", the mesh with every shape carried fully.
//
// Both outputs publish a generator node wrapped in an image cache node tagged
// with the graph node: the resampler reads each mesh several times per
// request (its two vector nodes, its region of definition) and the solve is
// the expensive step. Like any image tool whose inputs are not optional, the
// node publishes nothing while its input or a shape image of an entry is
// unconnected.
//
// Threading: the user-interface thread only (tools, policies, controllers,
// node building).
namespace Qx::Warper2D {

class WarpGeneratorTool {
 public:
  // "Warp 2D Generator Tool".
  static char const* getName();
  // Builds the controller's shared policies, then registers the tool (an
  // image modifier of the host's product line, internal: visibility 0).
  static void initialize();
  // Releases the shared policies (nodes that exist keep theirs).
  static void finalize();
  // The registered tool, looked up in the registry; null when none is.
  static RCShdPtr<const PiTool> getTool();
};

class WarpGeneratorController : public PiImageModifier {
 public:
  using PiToolInterface::reset;

  // Passed to the input-moved callbacks when an entry of "Shapes" moves.
  struct MultiInfo {
    RCShdPtr<PiInput> sourceShape;  // the moved entry's "Source Shape"
    std::uint32_t oldIndex;
    std::uint32_t newIndex;
  };

  // The shared policies: render quality (1 to 10, default 1), render
  // smoothing (0 "Skew", 1 "Rigid"; default "Skew"), shape smoothing
  // (WarpGridProc::Smoothing; default "Bidirectional"), render boundary
  // (1 "Free" listed before 0 "Fixed"; default "Fixed") and the shape image
  // policy. finalize() nulls them.
  static void initialize();
  static void finalize();
  // Asserts that initialize() ran.
  static void describe(PiImageModifier::Descriptor& descriptor);

  // "Shapes" and the names of an entry's fields.
  static std::string getShapesInputName();
  static std::string getSourceInputName();       // "Source Shape"
  static std::string getDestinationInputName();  // "Destination Shape"
  static std::string getSmoothingInputName();    // "Smoothing"
  static std::string getFenceInputName();        // "Fence"
  static std::string getInterpolationInputName();  // "Interpolation"
  // Not inputs of this tool: the names of a shape's link lists.
  static std::string getSourceLinksName();       // "Source Links"
  static std::string getDestinationLinksName();  // "Destination Links"

  // Null before the node exists.
  RCShdPtr<PiMultivaluedInput> getShapesInput() const;
  // The named input (or path) to its policy default, undoable; an unknown
  // name throws std::invalid_argument.
  void reset(std::string const& name) { PiNodeController::reset(name); }

  // A null handler or one already registered is ignored; a handler leaves
  // when it is destroyed.
  void addInputMovedInMultiCallback(CbHandler<MultiInfo const>* handler);
  void removeInputMovedInMultiCallback(CbHandler<MultiInfo const>* handler);

  // An entry of "Shapes" moved (by an edit, undo or redo): each handler
  // registered when the notification starts hears it, unless an earlier
  // handler removed it.
  void inputMovedInComposite(RCShdPtr<PiCompositeInput> const& composite, RCShdPtr<PiInput> const& entry,
                             unsigned from, unsigned to) override;

  // "Output": the mesh at each shape's interpolation.
  PxNodePtr<PxImageProtocol> createProcNode(PxNodePtr<PxImageProtocol> const& primary,
                                            PiProcNodeProvider const& provider) override;
  // "Output", then "Destination Image".
  void createProcNodes(PiOutputPublisher& publisher) override;

 private:
  PxNodePtr<PxImageProtocol> createGeneratorNode(bool destinationImage, PxNodePtr<PxImageProtocol> const& primary,
                                                 PiProcNodeProvider const& provider) const;

  CbDispatcher<MultiInfo const> _inputMovedInMulti;
};

}  // namespace Qx::Warper2D
