// Node controllers: the per-node objects through which a tool drives its
// nodes, and the host interfaces a controller implements to hear about them.
//
// Every node has one controller, made by its tool when the node is made and
// owned by the node. The host calls nodeCreated() once when a user (or
// another controller) creates the node in a graph, and nodeLoaded() when the
// node comes back from a saved document or as a copy; a controller takes its
// input handles in both. The interfaces below are mixins over a virtual
// PiNodeController base, so that a controller class lists the ones it serves
// and the host finds them with a dynamic cast; each defaults to doing
// nothing. They are called on the user-interface thread, after the change,
// also while undo or redo replays it (see PiUndoRedoControllerHelper).
//
// Processing: the host asks a node's controller for processing nodes
// through createProcNodes(PiOutputPublisher&) (piProcNodeHook.h states the
// rules); a controller that computes nothing of its own keeps the default,
// which publishes nothing. Image tools build their main output in
// createProcNode; group controllers may wrap what their outputs publish
// (PiGroupTopologyInterface).
#pragma once

#include <memory>
#include <string>

#include "base/rcPtr.h"
#include "pluginAPI/piGraph.h"
#include "pluginAPI/pxImageProtocol.h"

class PiOutputPublisher;
class PiProcNodeProvider;

class PiNodeController {
 public:
  PiNodeController() = default;
  PiNodeController(PiNodeController const&) = delete;
  PiNodeController& operator=(PiNodeController const&) = delete;
  virtual ~PiNodeController() = default;

  // Null once the node is gone.
  RCShdPtr<PiNode> getNode() const { return RCShdPtr<PiNode>(_node.lock()); }
  // By name or path ("Transform/Scale/X"); null when there is none.
  RCShdPtr<PiInput> getInput(std::string const& path) const;
  RCShdPtr<PiValue> getValue(std::string const& name) const;
  RCShdPtr<PiOutput> getOutput(std::string const& name) const;

  // Resets the input of that name or path through the tool interface
  // (PiToolInterface::reset(input) when the controller serves it, the
  // input's policy default otherwise); an unknown name throws
  // std::invalid_argument.
  void reset(std::string const& name);

  virtual void nodeCreated() {}
  virtual void nodeLoaded() {}

  virtual void createProcNodes(PiOutputPublisher& publisher);

 private:
  friend class PiNode;
  std::weak_ptr<PiNode> _node;
};

// Resets. Undoable: each reset is one command unless a guard is open.
class PiToolInterface : public virtual PiNodeController {
 public:
  using PiNodeController::reset;
  // The node reset: every input to its policy default (inputs without a
  // policy keep their value), every stored value to its factory value.
  virtual void reset();
  // One input, a structure or multi-valued input leaf by leaf; an image
  // input with reset type 1 is disconnected.
  virtual void reset(RCShdPtr<PiInput> const& input);
};

class PiTopologyInterface : public virtual PiNodeController {
 public:
  virtual void inputConnected(RCShdPtr<PiInput> const& input) { (void)input; }
  virtual void inputDisconnected(RCShdPtr<PiInput> const& input, RCShdPtr<PiOutput> const& previousSource) {
    (void)input;
    (void)previousSource;
  }
  virtual void inputAddedToComposite(RCShdPtr<PiCompositeInput> const& composite, RCShdPtr<PiInput> const& entry,
                                     unsigned index) {
    (void)composite, (void)entry, (void)index;
  }
  virtual void inputRemovedFromComposite(RCShdPtr<PiCompositeInput> const& composite, RCShdPtr<PiInput> const& entry,
                                         unsigned index) {
    (void)composite, (void)entry, (void)index;
  }
  virtual void inputMovedInComposite(RCShdPtr<PiCompositeInput> const& composite, RCShdPtr<PiInput> const& entry,
                                     unsigned from, unsigned to) {
    (void)composite, (void)entry, (void)from, (void)to;
  }
};

// The controller of a group node hears about the nodes of its inside.
class PiGroupInterface : public virtual PiNodeController {
 public:
  // False: the host refuses node and connection edits of the inside
  // (controllers open it for the duration of their own edits).
  virtual bool isEditable() const { return true; }
  virtual void nodeAdded(RCShdPtr<PiNode> const& node) { (void)node; }
  virtual void nodeRemoved(RCShdPtr<PiNode> const& node) { (void)node; }
  virtual void nodeRenamed(RCShdPtr<PiNode> const& node, std::string const& oldName) {
    (void)node;
    (void)oldName;
  }
};

// The controller of a group node decides what the group's outputs publish.
// The host never calls createProcNodes on a group: each output publishes
// createOutputProcNode of what feeds its boundary node inside.
class PiGroupTopologyInterface : public virtual PiNodeController {
 public:
  // `inner`: the processing node of what feeds the output's boundary node
  // (null when nothing does); `provider`: over the group node's own inputs
  // (what feeds them outside, their values). The default publishes
  // PiProcNodeFactory::createOutputNode(output, inner).
  virtual PxNodePtr<PxNode> createOutputProcNode(RCShdPtr<PiOutput> const& output, PxNodePtr<PxNode> const& inner,
                                                 PiProcNodeProvider const& provider);
};

class PiValueChangeInterface : public virtual PiNodeController {
 public:
  virtual void valueChanged(RCShdPtr<PiValue> const& value) { (void)value; }
};

class PiUndoRedoControllerHelper : public virtual PiNodeController {
 public:
  // The stack of the graph holding the node; null when the node is in none.
  PiCommandStack* getCommandStack() const;
  bool isUndoRedoOngoing() const;
};

// A tool whose nodes give an image.
class PiImageGenerator : public PiToolInterface, public PiTopologyInterface, public PiValueChangeInterface {
 public:
  // "Output": the main image output.
  static std::string getOutputName();
  // "Format": the string value naming the output format.
  static std::string getFormatValueName();
  RCShdPtr<PiOutput> getMainOutput() const { return getOutput(getOutputName()); }
  // The image input whose image the tool works on: the one with a primary
  // image policy, else the single input "Input"; null when there is none.
  RCShdPtr<PiInput> getPrimaryInput() const;

  // Publishes createProcNode(what feeds the primary input, provider) under
  // the main output when it builds a node.
  void createProcNodes(PiOutputPublisher& publisher) override;
  // The processing node of the main output. `primary` is the processing
  // node feeding the primary input (null when the tool has none or it is
  // unconnected). The default builds nothing.
  virtual PxNodePtr<PxImageProtocol> createProcNode(PxNodePtr<PxImageProtocol> const& primary,
                                                    PiProcNodeProvider const& provider);
};

// A tool whose nodes change the image of their single input.
class PiImageModifier : public PiImageGenerator {
 public:
  using Descriptor = PiToolPolicyDescriptor;

  // "Input".
  static std::string getSingleInputName();
  // Declares the single image input with its (primary) policy.
  static void addSingleImageInput(Descriptor& descriptor, RCShdPtr<const PiInputPolicy> policy, int cardinality = 0);
  // Registers an image tool: the main output "Output" comes first (added
  // when the tool did not declare it), then what the tool declared.
  static RCShdPtr<const PiTool> registerTool(RCShdPtr<PiToolProtocol> const& protocol);

  RCShdPtr<PiInput> getSingleInput() const { return getInput(getSingleInputName()); }
};
