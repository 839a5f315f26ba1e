// Where the node graph meets the image pipeline: how a node's controller
// builds the processing nodes of its outputs, and what the host hands it to
// do so.
//
// When the host (re)builds the processing graph of an output (PiProcGraph,
// piProcGraph.h), it walks the node graph upstream from that output and
// asks each node's controller, on the user-interface thread and at most
// once per build, to publish processing nodes for its outputs:
//
//   controller.createProcNodes(publisher)
//
// Image tools keep the default of PiImageGenerator, which publishes what
// createProcNode(primary, provider) builds under the main output; a tool
// with more outputs overrides createProcNodes, calls the default and
// publishes the others. An output left unpublished computes nothing.
//
// The provider (publisher.getProvider()) hands out, by input name or path
// ("Shapes/2/Source Shape") or by input handle:
//   getInputNode  the processing node feeding an image input: the node
//                 published for the output the input is connected to,
//                 following an input that follows another input, and
//                 crossing group boundaries both ways (an input boundary
//                 output leads to what feeds the group's input outside, a
//                 group's output to what its group topology publishes for
//                 what feeds the output boundary inside). Null when the
//                 chain ends unconnected.
//   getValueNode  a fresh value node of a value input, built from the
//                 animation of the input it follows (through carriers and
//                 group boundaries, as PiInput::getValueAt reads it), or of
//                 a stored value: PxAnimValueNode<T> with T bool, int (also
//                 enumerations), double, std::string, or
//                 CoRgbaColorTyped<double> for colours (one node per
//                 colour, components interpolated each on its own). It
//                 evaluates at the request's time and reports the key
//                 interval as its validity. An input connected to a value
//                 output that its node computes reads its own value, as
//                 in the graph.
// Both return PxNodePtr<PxNode>; the consumer casts to the protocol it
// needs (cast<PxImageProtocol>(), PxStrongHndl<PxAnimValueProtocol<int>>),
// which raises CastException for a node of another kind.
//
// Groups: the host does not call createProcNodes on a group node; each of
// its image outputs publishes what the group controller's
// PiGroupTopologyInterface::createOutputProcNode makes of what feeds the
// output boundary inside (by default a PxOutputNode over it).
//
// Reading the graph: a controller reads other nodes only through the
// provider (what it reads of its own node, it may read directly). The
// provider records what each build read, so an edit rebuilds exactly the
// nodes downstream of it and keeps the processing nodes (and their cached
// images) of everything else; a controller never rebuilds anything on a
// notification itself. The provider and publisher live for the call only.
// Building must not edit the graph.
//
// Failures: an unknown name or path, an image input asked for a value node
// or a value input for an image node throw std::invalid_argument naming the
// node and the input. Publishing a node that is not an image node for an
// image output raises CastException; an output of another node,
// std::invalid_argument.
//
// Threading: the user-interface thread only; building or releasing node
// handles on a worker fails "!PxRequestMgr::getInstance().isWorkerThreadCurrent()".
// The nodes built are immutable once published (a curve node's points are
// appended before it is published).
#pragma once

#include <string>

#include "base/rcPtr.h"
#include "pluginAPI/pxImageProtocol.h"
#include "pluginAPI/pxNodeHndls.h"

class PiNode;
class PiInput;
class PiOutput;
class PiValue;
class PiAnimCurve;

class PiProcNodeProvider {
 public:
  virtual ~PiProcNodeProvider() = default;

  // The node whose processing nodes are being built.
  virtual RCShdPtr<PiNode> getNode() const = 0;

  PxNodePtr<PxNode> getInputNode(std::string const& path) const;
  PxNodePtr<PxNode> getInputNode(RCShdPtr<PiInput> const& input) const { return resolveImage(checked(input)); }
  PxNodePtr<PxNode> getValueNode(std::string const& path) const;
  PxNodePtr<PxNode> getValueNode(RCShdPtr<PiInput> const& input) const { return resolveValue(checked(input)); }
  // Any value: a stored value of a node follows nothing; the value of an
  // input is the input's.
  PxNodePtr<PxNode> getValueNode(RCShdPtr<PiValue> const& value) const;

 protected:
  virtual PxNodePtr<PxNode> resolveImage(PiInput const& input) const = 0;
  virtual PxNodePtr<PxNode> resolveValue(PiInput const& input) const = 0;
  virtual PxNodePtr<PxNode> resolveStoredValue(PiValue const& value) const = 0;

 private:
  PiInput const& checked(RCShdPtr<PiInput> const& input) const;
  RCShdPtr<PiInput> lookUp(std::string const& path) const;
};

class PiOutputPublisher {
 public:
  virtual ~PiOutputPublisher() = default;

  virtual PiProcNodeProvider const& getProvider() const = 0;
  // Makes `node` the processing node of `output`, an output of the
  // provider's node (publishing again replaces).
  void publish(RCShdPtr<PiOutput> const& output, PxNodePtr<PxNode> const& node);
  void publish(std::string const& outputName, PxNodePtr<PxNode> const& node);
  // What is published for the output so far; null when nothing is.
  virtual PxNodePtr<PxNode> getPublished(RCShdPtr<PiOutput> const& output) const = 0;

 protected:
  virtual void store(PiOutput const& output, PxNodePtr<PxNode> const& node) = 0;
};

// The node standing for an output of a graph node: passes every request on
// to the node computing the output and returns its result unchanged; with
// none, the output is an empty image whose chain is not connected. Its name
// ("Node/Output") identifies the output in messages and statistics.
class PxOutputNode final : public PxImageNode {
 public:
  PxOutputNode(PxNodePtr<PxImageProtocol> const& node, std::string name);

  PxRODResult computeROD(PxImageContext const& context) const override;
  PxImageResult computeImage(PxImageContext const& context) const override;
  bool producesFullFrames() const override;
  // The node computing the output; null when none.
  PxStrongHndl<PxImageProtocol> const& getSource() const { return getPrimaryInput(); }
};

class PiProcNodeFactory {
 public:
  // The processing node of `output` as the host publishes it: for an image
  // output a PxOutputNode over `node` (which may be null); for a value
  // output `node` itself.
  static PxNodePtr<PxNode> createOutputNode(RCShdPtr<PiOutput> const& output, PxNodePtr<PxNode> const& node);
  // A value node over an animation (see above for the node types); it
  // copies the keys, so later edits of the value do not reach it.
  static PxNodePtr<PxNode> createValueNode(PiAnimCurve const& curve, std::string name = {});
};
