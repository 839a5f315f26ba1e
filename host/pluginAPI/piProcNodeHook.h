// Where the node graph meets the image pipeline: how the host asks a node's
// controller for the processing nodes of its outputs.
//
// When the host (re)builds the processing graph of an output, it walks the
// node graph upstream and asks each node's controller, on the user-interface
// thread, to publish processing nodes for its outputs:
//
//   controller.createProcNodes(publisher)
//
// The publisher hands the controller a provider, through which it takes the
// processing node that feeds a named image input (the node built for the
// upstream output it is connected to; for an input that follows another,
// the followed one's) and the value node of a named value input (built from
// the input's animation, following connections; it evaluates at the
// request's time and reports the key interval as its validity). The
// controller publishes one processing node per output it computes; an
// output left unpublished computes nothing. Value nodes are built fresh for
// every build: the processing graph is immutable and never reads the node
// graph, so edits made while requests run affect only the next build.
//
// A group's outputs are whatever feeds its output boundary nodes; the group
// controller (PiGroupTopologyInterface) may wrap that processing node before
// it is published (a crop on the group's main output, for instance).
#pragma once

#include <string>

#include "base/rcPtr.h"

class PxNode;
template <class T>
class PxNodePtr;
class PiOutput;

class PiProcNodeProvider {
 public:
  virtual ~PiProcNodeProvider() = default;
  // The processing node feeding an image input (by name or path); null when
  // the input is unconnected.
  virtual PxNodePtr<PxNode> getInputNode(std::string const& inputPath) const = 0;
  // The value node of a value input (by name or path).
  virtual PxNodePtr<PxNode> getValueNode(std::string const& inputPath) const = 0;
};

class PiOutputPublisher {
 public:
  virtual ~PiOutputPublisher() = default;
  virtual PiProcNodeProvider const& getProvider() const = 0;
  virtual void publish(RCShdPtr<PiOutput> const& output, PxNodePtr<PxNode> const& node) = 0;
};
