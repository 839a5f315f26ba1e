// The resampler's processing nodes: from a correspondence mesh to vectors of
// sample positions, and from those vectors to the warped image; the
// resampler tool and the controller that builds its chains in a node graph.
//
//   vector node   turns a mesh (warpGeneratorTool.h) into a vector image
//                 (vectorResampleProc.h): FLOAT32 RGB, pixel (x, y) holds in
//                 R, G the input position that output pixel (x, y) samples.
//                 The mesh and the two blend amounts come from "Timing",
//                 "Interpolation" and "Invert Warp". A mesh larger than
//                 "Quality" allows (512, 1024 or 2048 pixels on the geometric
//                 mean side for Quality 1, 2, 3 and up) is resampled at a
//                 coarser proxy level and the vectors are upsampled with a
//                 separable cubic. With returnDstVectors the node instead
//                 produces the destination vectors, the warped positions of
//                 the grid, whose extent a "Free" boundary follows. Vector
//                 nodes answer every request with their whole region of
//                 definition (producesFullFrames).
//   warp node     samples the input image at the vectors' positions through
//                 the host's texture sampler with the "Filter" code, tile by
//                 tile, and produces images in the input's format.
//
// A chain is built the one way the resampler controller builds it:
// destination-vector node -> cache -> resampling-vector node -> cache -> warp
// node (buildWarpResamplerChain). "Simplified" chains (the super tool's
// "Destination Image") always carry every shape fully, bilinearly.
//
// Regions. "Fixed" (0): the output's extent is the input image's. "Free"
// (1): it covers every warped grid position of the input frame, with a margin
// of one pixel left and top and two right and bottom, and reaches at most one
// input size (at least 256 pixels) beyond the input on each side.
//
// Threading: builders run on the main thread (node handles assert it); the
// nodes are immutable and compute on any number of worker threads at once,
// with all state local to a request. Long loops check for interruption once
// per row. An empty input image gives an empty output; a null input handle
// raises NullPointerException when used, a value node of the wrong type
// CastException when the node is built.
#pragma once

#include <memory>
#include <string>

#include "pluginAPI/piNodeController.h"
#include "pluginAPI/piTool.h"
#include "pluginAPI/pxImageCache.h"
#include "pluginAPI/pxImageProtocol.h"

namespace Qx::Warper2D {

// The name of the resampler tool; it also labels the chain's cache nodes.
inline constexpr char const* kWarpResamplerToolName = "Warp 2D Resampler Tool";

// Values of the resampler's enumerations as the nodes read them.
enum WarpTiming { kTimingGlobal = 0, kTimingShape = 1 };
enum WarpBoundary { kBoundaryFixed = 0, kBoundaryFree = 1 };

// The inputs of a vector node. Value inputs are generic handles, cast to
// their protocols when the node is built.
struct VectorResamplerInputs {
  PxNodePtr<PxNode> primary;             // image: the image to warp
  PxNodePtr<PxNode> mesh;                // image: "Mesh Image" (each shape at its own interpolation)
  PxNodePtr<PxNode> destinationMesh;     // image: "Destination Mesh Image" (every shape fully)
  PxNodePtr<PxNode> destinationVectors;  // image: the destination vectors; null when returnDstVectors
  PxNodePtr<PxNode> timing;              // int: WarpTiming
  PxNodePtr<PxNode> interpolation;       // double
  PxNodePtr<PxNode> invertWarp;          // bool
  PxNodePtr<PxNode> quality;             // double, 1 to 10
  PxNodePtr<PxNode> boundary;            // int: WarpBoundary
};

// A vector node. Fails "returnDstVectors && dstVectors.isNull() || !
// returnDstVectors && ! dstVectors.isNull()" when the destination vectors are
// given to a destination-vector node or missing from a resampling one.
PxNodePtr<PxImageProtocol> createVectorResamplerNode(bool simplified, bool returnDstVectors,
                                                     VectorResamplerInputs const& inputs,
                                                     PxNodeInit const& init = {kWarpResamplerToolName, {}});

// A warp node over the image `primary`, sampling at `resamplingVectors`;
// `destinationVectors` is held only. `filter` (int) is the texture sampler's
// filter code; a simplified node always samples bilinearly and never reads it.
PxNodePtr<PxImageProtocol> createWarpResamplerNode(bool simplified, PxNodePtr<PxNode> const& primary,
                                                   PxNodePtr<PxNode> const& resamplingVectors,
                                                   PxNodePtr<PxNode> const& destinationVectors,
                                                   PxNodePtr<PxNode> const& filter,
                                                   PxNodeInit const& init = {kWarpResamplerToolName, {}});

// Everything a chain reads. A null `quality` stands for a resampler node that
// has no "Quality" input and renders with quality 10; a null `boundary` for
// one without "Boundary", which renders "Free".
struct WarpResamplerChainInputs {
  PxNodePtr<PxNode> primary;
  PxNodePtr<PxNode> mesh;
  PxNodePtr<PxNode> destinationMesh;
  PxNodePtr<PxNode> timing;
  PxNodePtr<PxNode> interpolation;
  PxNodePtr<PxNode> invertWarp;
  PxNodePtr<PxNode> quality;
  PxNodePtr<PxNode> boundary;
  PxNodePtr<PxNode> filter;
};

// The chain's nodes; `warp` is its result, the other two are the cache nodes
// in front of the vector nodes (useful to warm or inspect the vectors).
struct WarpResamplerChain {
  PxNodePtr<PxImageProtocol> destinationVectors;
  PxNodePtr<PxImageProtocol> resamplingVectors;
  PxNodePtr<PxImageProtocol> warp;
};

// Builds the five-node chain (main thread only). The cache nodes keep their
// results in `cache`, or in the process-wide store when it is null.
WarpResamplerChain buildWarpResamplerChain(bool simplified, WarpResamplerChainInputs const& inputs,
                                           std::shared_ptr<PxImageCache> const& cache = nullptr);

}  // namespace Qx::Warper2D

// --- the tool and its controller ------------------------------------------------
//
// The "Warp 2D Resampler Tool" is an internal image tool of the "Warp 2D"
// super tool. Its node has the primary image input "Input" (the image to
// warp), the meshes "Mesh Image" and "Destination Mesh Image" (the
// generator's two outputs), the values "Timing", "Interpolation", "Invert
// Warp", "Filter", "Quality" and "Boundary" (named by
// Warper2DSuperToolController), and two outputs: "Output", the warped image
// (the full chain), and "Destination Image", the input carried fully onto
// the destination shapes, bilinearly (the simplified chain, which reads
// neither "Filter" nor "Timing", "Interpolation" or "Invert Warp").
//
// A node of a tool that does not declare "Quality" renders with quality 10,
// one without "Boundary" with "Free". The node publishes nothing while its
// input or a mesh input is unconnected (none of them is optional).
//
// Threading: the user-interface thread only (tools, policies, controllers,
// chain building).
namespace Qx::Warper2D {

class WarpResamplerTool {
 public:
  // "Warp 2D Resampler Tool" (kWarpResamplerToolName).
  static char const* getName() { return kWarpResamplerToolName; }
  // Builds the controller's shared policies, then registers the tool (an
  // image modifier of the host's product line, internal: visibility 0).
  static void initialize();
  // Releases the seven shared policies (nodes that exist keep theirs).
  static void finalize();
  // The registered tool, found under its host-formatted name; null when
  // none is registered.
  static RCShdPtr<const PiTool> getTool();
};

class WarpResamplerController : public PiImageModifier {
 public:
  using PiToolInterface::reset;

  // The shared policies, in this order: mesh image; timing (0 "Global",
  // 1 "Shape"; default "Global"); interpolation (0 to 1, default 1); invert
  // warp (off, animatable); filter ("Nearest" 0, "Bilinear" 1, "Mitchell"
  // 3, "Gaussian" 2, "Jinc 2" 5, "Jinc 3" 6 in this order; default
  // "Bilinear"); boundary (1 "Free" listed before 0 "Fixed"; default
  // "Fixed"); quality (1 to 10, default 1). finalize() nulls them, and is
  // harmless when repeated.
  static void initialize();
  static void finalize();
  // Asserts that initialize() ran.
  static void describe(PiImageModifier::Descriptor& descriptor);

  // The "Filter" policy above, built anew: the super tool offers the same
  // list, and both must stay in step with the texture sampler's codes.
  static RCShdPtr<const PiInputPolicy> createFilterPolicy();

  static std::string getMeshInputName();             // "Mesh Image"
  static std::string getDestinationMeshInputName();  // "Destination Mesh Image"

  // The named input to its policy default, undoable; an unknown name throws
  // std::invalid_argument.
  void reset(std::string const& name) { PiNodeController::reset(name); }

  // "Output": the full chain's warp node.
  PxNodePtr<PxImageProtocol> createProcNode(PxNodePtr<PxImageProtocol> const& primary,
                                            PiProcNodeProvider const& provider) override;
  // "Output", then "Destination Image" (the simplified chain).
  void createProcNodes(PiOutputPublisher& publisher) override;

 private:
  PxNodePtr<PxImageProtocol> buildChain(bool simplified, PxNodePtr<PxImageProtocol> const& primary,
                                        PiProcNodeProvider const& provider) const;
};

}  // namespace Qx::Warper2D
