// The user-interface side of tools: what a node's controller offers the
// host's viewers, parameter panels and schematic, and the small objects
// those pass around.
//
//   PiPath / PiTimePath  a node addressed from the root graph down through
//                        its enclosing groups (at a time, for a time path);
//   PiViewer             a viewer showing an output; PiEventHandler handles
//                        its input events for one node;
//   PiWidget             a piece of the interface built from a description;
//   PiUserInterface      the node's interface description file and its
//                        per-widget instance data;
//   PiEventHandlingInterface  the node's event handlers, and the current one;
//   PiSchematicInterface the nodes a group keeps out of the schematic.
//
// The controller interfaces are mixins over the virtual PiNodeController
// base (pluginAPI/piNodeController.h); each defaults to offering nothing.
// Everything here belongs to the user-interface thread.
#pragma once

#include <string>
#include <vector>

#include "base/rcPtr.h"
#include "pluginAPI/piNodeController.h"

class PiPath {
 public:
  PiPath() = default;
  // Outermost group first, the addressed node last.
  explicit PiPath(std::vector<RCShdPtr<PiNode>> nodes) : _nodes(std::move(nodes)) {}
  virtual ~PiPath() = default;

  // The path of `node`: the group nodes that hold it, outermost first, then
  // the node itself. Empty for a null node.
  static RCShdPtr<PiPath> create(RCShdPtr<PiNode> const& node);

  std::vector<RCShdPtr<PiNode>> const& getNodes() const { return _nodes; }
  // The addressed node; null for an empty path.
  RCShdPtr<PiNode> getNode() const { return _nodes.empty() ? RCShdPtr<PiNode>() : _nodes.back(); }
  std::string toString() const;  // "Comp/Warp 2D/S1"

 private:
  std::vector<RCShdPtr<PiNode>> _nodes;
};

class PiTimePath : public PiPath {
 public:
  PiTimePath(PiPath const& path, double time) : PiPath(path), _time(time) {}
  double getTime() const { return _time; }

 private:
  double _time;
};

class PiViewer {
 public:
  virtual ~PiViewer() = default;
  virtual std::string getName() const = 0;
  // The time the viewer shows.
  virtual double getTime() const = 0;
};

// Installed as a node's current handler, it receives the viewer's events
// between activate() and deactivate().
class PiEventHandler {
 public:
  virtual ~PiEventHandler() = default;
  virtual void activate() {}
  virtual void deactivate() {}
};

class PiWidget {
 public:
  virtual ~PiWidget() = default;
  virtual std::string getName() const = 0;
};

class PiUserInterface : public virtual PiNodeController {
 public:
  // Path of the node's interface description ("<ToolUiDir>/blur.xml"; the
  // placeholder is resolved by the host's resource paths); empty when the
  // host builds the panel from the inputs alone.
  virtual std::string getUIDescriptionPath() const { return std::string(); }
  // Per-widget state a viewer keeps for the node; null for none.
  virtual RCShdPtr<RCBase<LkCounter<int>>> createInstanceData(RCShdPtr<PiWidget> const& widget,
                                                              RCShdPtr<const PiTimePath> const& timePath) {
    (void)widget, (void)timePath;
    return RCShdPtr<RCBase<LkCounter<int>>>();
  }
};

class PiEventHandlingInterface : public virtual PiNodeController {
 public:
  // A handler of `viewer`'s events for the node at `path`; null for none.
  virtual RCStrongPtr<PiEventHandler> createEventHandler(PiViewer& viewer, RCShdPtr<PiNode> const& node,
                                                         RCShdPtr<PiPath> const& path) {
    (void)viewer, (void)node, (void)path;
    return RCStrongPtr<PiEventHandler>();
  }
  RCShdPtr<PiEventHandler> const& getCurrentEventHandler() const { return _current; }
  // Deactivates the current handler, then activates `handler` (null: none).
  void setCurrentEventHandler(RCShdPtr<PiEventHandler> const& handler);

 private:
  RCShdPtr<PiEventHandler> _current;
};

class PiSchematicInterface : public virtual PiNodeController {
 public:
  // Nodes of the group's inside that the schematic does not show.
  virtual bool isInternalNode(RCShdPtr<PiNode> const& node) const {
    (void)node;
    return false;
  }
  // The inside of `group` as the schematic shows it: its nodes in graph
  // order without those its controller calls internal. Empty for a node
  // that is not a group.
  static std::vector<RCShdPtr<PiNode>> getSchematicNodes(RCShdPtr<PiNode> const& group);
};
