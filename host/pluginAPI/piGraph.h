// The node graph: nodes made from registered tools, their inputs, values and
// outputs, connections, groups, and the notifications that report changes.
//
// Model. A PiGraph holds nodes in order. A node has the inputs, stored
// values and outputs its tool declares (PiToolPolicyDescriptor) and a
// controller made by the tool. Inputs form a tree: a structure
// (PiCompositeInput) has named fields, a multi-valued input
// (PiMultivaluedInput) has a list of entries; leaves hold a value (PiValue,
// animated) or, for images, nothing. Inputs are addressed by path from the
// node, names for fields and decimal indices for entries: "Shapes/2/Fence".
//
// Connections. A leaf input may be connected to one output of a node of the
// same graph, of the same socket type. Outputs are either computed by their
// node (its declared outputs) or carry an input: every leaf input has a
// carrier output (getCarrierOutput) through which other inputs follow it,
// and an input that follows reads the followed input's value (getValueAt)
// while keeping its own, which it shows again when disconnected (a value
// input connected to a group's value output reads what feeds that output
// inside). A
// connection that would make a value or an image depend on itself is
// refused. Node names need not be distinct; nodes are told apart by their id,
// unique within their graph and never reused by it.
//
// Groups. The nodes of a group tool (structure 1) hold a graph of their own.
// It has one boundary node per top-level leaf input of the group, whose one
// output carries that input inside, and one per output of the group, whose
// one input takes what the group gives out under that name. Boundary nodes
// belong to the group's sockets: they are not in getNodes() and cannot be
// removed, renamed or copied. A group whose controller reports
// isEditable() false refuses node and connection edits of its inside (value
// edits stay open), except while undo or redo replays them.
//
// Edits and undo. Every change (nodes added, removed, renamed; connections;
// values and keys; entries added, inserted, removed, moved) is a command on
// the command stack of the root graph (piUndo.h), so a group's inside
// shares its root's history. Edits of objects that belong to no graph (a
// removed node, an entry held by a command) apply without being recorded.
//
// Notifications, after each change (also during undo and redo, while the
// stack reports isUndoRedoOngoing): the controller of the group holding the
// graph hears nodeAdded / nodeRemoved / nodeRenamed (PiGroupInterface); the
// controller of the node hears inputConnected / inputDisconnected and
// inputAdded / Removed / MovedInComposite (PiTopologyInterface) and
// valueChanged (PiValueChangeInterface); and the root graph's dispatcher
// (getEventDispatcher) hears every change as a PiGraphEvent.
//
// Ownership. A graph owns its nodes, a node its inputs, values, outputs,
// inner graph and controller; a command that removed something owns it until
// the command goes. Links upwards (to the node, the graph, the parent input)
// are weak: a handle kept past its owner's end answers null.
//
// Failures. Bad requests (an unknown input, a type mismatch, a cycle, a
// value a policy refuses, an edit of a non-editable group) throw
// std::invalid_argument or std::logic_error naming the node and the input
// path, and change nothing. Broken invariants fail the assertion service.
//
// Threading. Graphs are edited and read on the user-interface thread only;
// edits from a processing worker thread fail the assertion
// "!PxRequestMgr::getInstance().isWorkerThreadCurrent()". Processing runs on
// immutable processing nodes built from the graph, never on the graph.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "base/cbDispatcher.h"
#include "base/rcPtr.h"
#include "pluginAPI/piDescriptor.h"
#include "pluginAPI/piTool.h"
#include "pluginAPI/piUndo.h"
#include "pluginAPI/piValue.h"

class PiGraph;
class PiNode;
class PiInput;
class PiCompositeInput;
class PiMultivaluedInput;
class PiOutput;
class PiNodeController;

class PiGraphObject {
 public:
  virtual ~PiGraphObject() = default;
  virtual std::string const& getName() const = 0;
};

// An animated value: a stored value of a node, or the value of a leaf input.
class PiValue : public std::enable_shared_from_this<PiValue> {
 public:
  PiValue(std::string name, int type, PiValueData initial, PiValueData factory, RCShdPtr<const PiInputPolicy> policy,
          bool resettable);

  std::string const& getName() const { return _name; }
  int getType() const { return _curve.getType(); }
  RCShdPtr<const PiInputPolicy> const& getPolicy() const { return _policy; }
  RCShdPtr<PiNode> getNode() const { return RCShdPtr<PiNode>(_node.lock()); }
  // The input this is the value of; null for a stored value.
  RCShdPtr<PiInput> getInput() const { return RCShdPtr<PiInput>(_input.lock()); }
  // Node name and input path or value name, for messages.
  std::string describe() const;

  PiAnimCurve const& getAnimation() const { return _curve; }
  bool isAnimated() const { return _curve.isAnimated(); }

  // The value at `time`: the followed input's when this is the value of an
  // input that follows another, else the stored animation's.
  PiValueData getValueAt(double time = 0.0) const;
  bool getBool(double time = 0.0) const;
  int getInt(double time = 0.0) const;
  double getDouble(double time = 0.0) const;
  std::string getString(double time = 0.0) const;
  PiColor getColor(double time = 0.0) const;

  // Undoable edits. Values pass through the policy (which may clamp or
  // refuse) and are converted to the value's type.
  void setValue(PiValueData const& v);  // the constant; drops every key
  // A key at `time` when animated, else the constant.
  void setValueAt(double time, PiValueData const& v);
  // Keys of stepped inputs (enumerations, switches) always hold.
  void setKey(double time, PiValueData const& v, PiInterpolation interpolation = PiInterpolation::Linear);
  void removeKey(double time);  // nothing when no key sits there
  void setAnimation(PiAnimCurve const& curve);
  // To the factory value (a stored value) or the policy's default (an
  // input); an input without a policy is left as it is.
  void reset();

 private:
  friend class PiNode;
  friend class PiInput;
  friend class PiGraph;
  friend class PiGraphAccess;
  void apply(PiAnimCurve next, char const* editName);
  PiValueData validated(PiValueData const& v) const;

  std::string _name;
  PiAnimCurve _curve;
  PiValueData _factory;
  RCShdPtr<const PiInputPolicy> _policy;
  bool _resettable;
  std::weak_ptr<PiNode> _node;
  std::weak_ptr<PiInput> _input;
};

class PiOutput {
 public:
  PiOutput(std::string name, int type) : _name(std::move(name)), _type(type) {}

  std::string const& getName() const { return _name; }
  int getType() const { return _type; }
  RCShdPtr<PiNode> getNode() const { return RCShdPtr<PiNode>(_node.lock()); }
  // The input whose value or image this output carries: for the carrier of
  // an input, that input; for the output of a group's input boundary node,
  // the group's input. Null for an output its node computes.
  RCShdPtr<PiInput> getCarriedInput() const { return RCShdPtr<PiInput>(_carried.lock()); }
  bool isCarrier() const { return !_carried.expired(); }
  // The input whose value or image this output hands on unchanged: the
  // carried input, or for an output of a group, the input of its output
  // boundary node inside. Null for an output its node computes.
  RCShdPtr<PiInput> getForwardedInput() const;

 private:
  friend class PiNode;
  friend class PiInput;
  std::string _name;
  int _type;
  std::weak_ptr<PiNode> _node;
  std::weak_ptr<PiInput> _carried;
};

class PiInput : public std::enable_shared_from_this<PiInput> {
 public:
  PiInput(PiSocketDecl const* decl, bool entry) : _decl(decl), _isEntry(entry) {}
  virtual ~PiInput() = default;

  std::string const& getName() const { return _decl->getName(); }
  // Socket type code; PiSocketDecl::kStructure for structures and for
  // multi-valued inputs.
  int getType() const;
  bool isComposite() const { return getType() == PiSocketDecl::kStructure; }
  bool isMultivalued() const { return _decl->isMultivalued() && !_isEntry; }
  bool isImage() const { return getType() == PI_IMAGE; }
  bool isEntry() const { return _isEntry; }
  PiSocketDecl const& getDeclaration() const { return *_decl; }
  RCShdPtr<const PiInputPolicy> const& getPolicy() const { return _decl->getPolicy(); }

  RCShdPtr<PiNode> getNode() const { return RCShdPtr<PiNode>(_node.lock()); }
  RCShdPtr<PiCompositeInput> getParent() const;
  // Path from the node ("Transform/Scale/X", "Shapes/2/Fence").
  std::string getPath() const;
  // Node name and path, for messages.
  std::string describe() const;

  // --- leaves -------------------------------------------------------------
  // The value of a leaf that is not an image; null otherwise.
  RCShdPtr<PiValue> const& getValue() const { return _value; }
  RCShdPtr<PiOutput> const& getSource() const { return _source; }
  bool isConnected() const { return !_source.isNull(); }
  // The output through which other inputs follow this one (asserted leaf).
  RCShdPtr<PiOutput> getCarrierOutput();

  // The value at a time, following connections (asserted a value leaf).
  PiValueData getValueAt(double time = 0.0) const;
  bool getBool(double time = 0.0) const;
  int getInt(double time = 0.0) const;
  double getDouble(double time = 0.0) const;
  std::string getString(double time = 0.0) const;
  // Undoable edits of a leaf's own value (see PiValue).
  void setValue(PiValueData const& v);
  void setValueAt(double time, PiValueData const& v);
  void setKey(double time, PiValueData const& v, PiInterpolation interpolation = PiInterpolation::Linear);

 protected:
  friend class PiNode;
  friend class PiGraph;
  friend class PiCompositeInput;
  friend class PiMultivaluedInput;
  friend class PiGraphAccess;
  PiValue& checkedValue() const;

  PiSocketDecl const* _decl;
  bool _isEntry;
  std::weak_ptr<PiNode> _node;
  std::weak_ptr<PiCompositeInput> _parent;
  RCShdPtr<PiValue> _value;
  RCShdPtr<PiOutput> _source;
  RCShdPtr<PiOutput> _carrier;
};

class PiCompositeInput : public PiInput {
 public:
  using PiInput::PiInput;

  std::size_t getInputCount() const { return _children.size(); }
  std::vector<RCShdPtr<PiInput>> const& getInputs() const { return _children; }
  RCShdPtr<PiInput> getInput(std::size_t i) const { return i < _children.size() ? _children[i] : RCShdPtr<PiInput>(); }
  // A field by name (an entry by decimal index), or a path below this
  // input; null when there is none.
  RCShdPtr<PiInput> getInput(std::string const& path) const;
  RCShdPtr<PiInput> getInput(char const* path) const { return getInput(std::string(path)); }
  // Position of a direct child, -1 when it is none.
  int indexOf(PiInput const* child) const;

 protected:
  friend class PiNode;
  friend class PiGraph;
  friend class PiGraphAccess;
  std::vector<RCShdPtr<PiInput>> _children;
};

class PiMultivaluedInput : public PiCompositeInput {
 public:
  using PiCompositeInput::PiCompositeInput;

  std::size_t getEntryCount() const { return _children.size(); }
  RCShdPtr<PiInput> getEntry(std::size_t i) const { return getInput(i); }

  // Undoable. A new entry starts with the declared defaults. Indices out of
  // range throw std::out_of_range and change nothing. moveEntry takes entry
  // `from` out and puts it back so that it ends at index `to`.
  RCShdPtr<PiInput> addEntry();
  RCShdPtr<PiInput> insertEntry(std::size_t index);
  void removeEntry(std::size_t index);
  void moveEntry(std::size_t from, std::size_t to);
};

class PiNode : public PiGraphObject, public std::enable_shared_from_this<PiNode> {
 public:
  enum class Role { Plain, GroupInput, GroupOutput };

  // Use PiGraph::createNode; this makes a node outside any graph.
  explicit PiNode(RCShdPtr<const PiTool> tool, Role role = Role::Plain);
  ~PiNode() override;

  std::string const& getName() const override { return _name; }
  // Undoable; an empty name is refused.
  void setName(std::string const& name);
  unsigned getId() const { return _id; }
  RCShdPtr<const PiTool> const& getTool() const { return _tool; }
  Role getRole() const { return _role; }
  bool isBoundaryNode() const { return _role != Role::Plain; }

  RCShdPtr<PiGraph> getGraph() const { return RCShdPtr<PiGraph>(_graph.lock()); }
  // The graph inside a group node; null for other nodes.
  RCShdPtr<PiGraph> const& getInnerGraph() const { return _inner; }
  bool isGroup() const { return !_inner.isNull(); }
  RCShdPtr<PiNodeController> const& getController() const { return _controller; }

  std::vector<RCShdPtr<PiInput>> const& getInputs() const { return _inputs; }
  // An input by name or path; null when there is none.
  RCShdPtr<PiInput> getInput(std::string const& path) const;
  std::vector<RCShdPtr<PiValue>> const& getValues() const { return _values; }
  RCShdPtr<PiValue> getValue(std::string const& name) const;
  std::vector<RCShdPtr<PiOutput>> const& getOutputs() const { return _outputs; }
  RCShdPtr<PiOutput> getOutput(std::string const& name) const;
  // The image input the node works on: the top-level image input with a
  // primary image policy, else the one named "Input"; null when none.
  RCShdPtr<PiInput> getPrimaryImageInput() const;

 private:
  friend class PiGraph;
  friend class PiGraphAccess;
  friend class PiMultivaluedInput;
  void build();
  RCShdPtr<PiInput> makeInput(PiSocketDecl const& decl, bool entry, RCShdPtr<PiCompositeInput> const& parent);
  void attach(RCShdPtr<PiInput> const& input, RCShdPtr<PiCompositeInput> const& parent);

  RCShdPtr<const PiTool> _tool;
  Role _role;
  std::string _name;
  unsigned _id = 0;
  std::weak_ptr<PiGraph> _graph;
  RCShdPtr<PiGraph> _inner;
  RCShdPtr<PiNodeController> _controller;
  std::vector<RCShdPtr<PiInput>> _inputs;
  std::vector<RCShdPtr<PiValue>> _values;
  std::vector<RCShdPtr<PiOutput>> _outputs;
  // A boundary node's one socket is described here, not by its tool.
  std::unique_ptr<PiSocketDecl> _boundaryDecl;
};

struct PiGraphEvent {
  enum Kind {
    NodeAdded,
    NodeRemoved,
    NodeRenamed,
    InputConnected,
    InputDisconnected,
    EntryAdded,
    EntryRemoved,
    EntryMoved,
    ValueChanged,
  };
  Kind kind;
  PiGraph* graph;              // where it happened
  RCShdPtr<PiNode> node;       // the node concerned
  RCShdPtr<PiInput> input;     // connections: the input; entries: the multi-valued input
  RCShdPtr<PiInput> entry;     // entries: the entry
  RCShdPtr<PiOutput> output;   // InputDisconnected: the output it was connected to
  RCShdPtr<PiValue> value;     // ValueChanged
  std::string oldName;         // NodeRenamed
  std::size_t from = 0, to = 0;  // entry index (EntryAdded, EntryRemoved: both); EntryMoved: old, new
};

class PiGraph : public std::enable_shared_from_this<PiGraph> {
 public:
  // A root graph, with its own command stack.
  static RCShdPtr<PiGraph> create();
  ~PiGraph();

  std::vector<RCShdPtr<PiNode>> const& getNodes() const { return _nodes; }
  RCShdPtr<PiNode> findNode(unsigned id) const;
  // The first node of that name, or null.
  RCShdPtr<PiNode> findNode(std::string const& name) const;
  bool contains(PiNode const& node) const;

  // A node of `tool` at the end of the graph, named `name` (the tool's name
  // when empty); then its controller's nodeCreated(). One command with what
  // nodeCreated edits.
  RCShdPtr<PiNode> createNode(RCShdPtr<const PiTool> const& tool, std::string const& name = std::string());
  // Through the registry; an unknown tool throws std::invalid_argument.
  RCShdPtr<PiNode> createNode(std::string const& toolName, std::string const& name = std::string());
  // Disconnects every input of this graph fed by the node (through its
  // outputs or its inputs' carriers), then removes it.
  void removeNode(RCShdPtr<PiNode> const& node);
  // A copy of `node` (of any graph) at the end of this graph: same tool and
  // name, values with their keys, entries, and the connections of its inputs
  // to outputs of this graph; a group is copied with its inside. Then the
  // controllers' nodeLoaded(), inner nodes first.
  RCShdPtr<PiNode> copyNode(RCShdPtr<PiNode> const& node);
  void renameNode(RCShdPtr<PiNode> const& node, std::string const& name);

  // Connects a leaf input of a node of this graph (a group's output boundary
  // input included) to an output of a node of this graph.
  void connect(RCShdPtr<PiInput> const& input, RCShdPtr<PiOutput> const& output);
  void disconnect(RCShdPtr<PiInput> const& input);
  // Inputs of this graph's nodes (and boundary nodes) connected to `output`.
  std::vector<RCShdPtr<PiInput>> getFollowers(PiOutput const& output) const;

  // --- groups -------------------------------------------------------------
  // The group node this graph is the inside of; null for a root graph.
  RCShdPtr<PiNode> getGroupNode() const { return RCShdPtr<PiNode>(_groupNode.lock()); }
  std::vector<RCShdPtr<PiNode>> const& getInputBoundaryNodes() const { return _inputBoundaries; }
  std::vector<RCShdPtr<PiNode>> const& getOutputBoundaryNodes() const { return _outputBoundaries; }
  // Null when the group has no such input (output).
  RCShdPtr<PiNode> getInputBoundaryNode(std::string const& groupInputName) const;
  RCShdPtr<PiNode> getOutputBoundaryNode(std::string const& groupOutputName) const;
  // False only inside a group whose controller says so (see above).
  bool isEditable() const;

  // --- history and notifications ------------------------------------------
  // The root graph's stack; null for the inside of a group that is no
  // longer in a graph.
  PiCommandStack* getCommandStack() const;
  RCShdPtr<PiGraph> getRoot() const;
  CbDispatcher<PiGraphEvent const> const& getEventDispatcher() const { return _events; }

  // --- loading --------------------------------------------------------------
  // While a LoadScope is open on a root graph, edits of it and its groups
  // are neither recorded nor notified, connections are not checked for
  // cycles (checkAcyclic does that once at the end) and groups are editable.
  class LoadScope {
   public:
    explicit LoadScope(PiGraph& root);
    ~LoadScope();

   private:
    PiGraph& _root;
    PiUndoGuardNoLog _noLog;
  };
  // Adds a node built for loading, with its saved id (asserted loading, id
  // free and non-zero); no controller call.
  RCShdPtr<PiNode> createLoadedNode(RCShdPtr<const PiTool> const& tool, unsigned id, std::string const& name);
  // Empty when no value or image depends on itself; else a message naming
  // an input on the cycle.
  std::string checkAcyclic() const;
  // Calls nodeLoaded() on every controller, the insides of groups first.
  void notifyLoaded();

 private:
  friend class PiNode;
  friend class PiValue;
  friend class PiMultivaluedInput;
  friend class PiGraphAccess;
  PiGraph() = default;
  bool isLoading() const;
  void checkEditable(char const* what) const;
  void checkMember(PiNode const& node, char const* what) const;
  void emit(PiGraphEvent const& e);
  void addNodeCommand(RCShdPtr<PiNode> const& node, char const* editName);
  RCShdPtr<PiNode> cloneNode(PiNode const& node, PiGraph& target);

  std::vector<RCShdPtr<PiNode>> _nodes;
  unsigned _nextId = 1;
  std::weak_ptr<PiNode> _groupNode;
  std::vector<RCShdPtr<PiNode>> _inputBoundaries;
  std::vector<RCShdPtr<PiNode>> _outputBoundaries;
  std::unique_ptr<PiCommandStack> _stack;  // root graphs only
  int _loading = 0;
  CbDispatcher<PiGraphEvent const> _events;
};
