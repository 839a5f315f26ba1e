// Graph utilities that tools use to build and edit the inside of groups:
// unique names, copies, removal with reconnection, boundary sockets, input
// lookup.
//
// The rules of the graph (ownership, undo, notifications, threading,
// failures) are those of pluginAPI/piGraph.h; every edit here is one
// undoable command unless a guard is open.
#pragma once

#include <string>
#include <vector>

#include "base/rcPtr.h"
#include "pluginAPI/piGraph.h"

class PiGraphUtils {
 public:
  // A node name not yet used by a node of `group`, made from `name`:
  //   mode 0  `name` itself when free, else `name` followed by a space and
  //           the smallest number from 2 that makes it free ("Blur 2");
  //   mode 1  `name` itself when free, else the name with its trailing
  //           digits taken off, followed by the smallest number from 1 that
  //           makes it free ("S" -> "S1", "S1" -> "S2", "S1 Copy" ->
  //           "S1 Copy1").
  // An empty `name` counts as "Node". Other modes throw
  // std::invalid_argument.
  static std::string findUniqueNodeName(RCShdPtr<PiGraph> const& group, std::string const& name, int mode);

  // The nodes of `group` made by the tool of that name, in graph order.
  static std::vector<RCShdPtr<PiNode>> findNodesOfTool(RCShdPtr<PiGraph> const& group, std::string const& toolName);
};

class PiGroupUtils {
 public:
  // A copy of `node` in `group` (the node's own graph when null); see
  // PiGraph::copyNode.
  static RCShdPtr<PiNode> copyNode(RCShdPtr<PiNode> const& node, RCShdPtr<PiGraph> const& group = RCShdPtr<PiGraph>());

  // Inside a group: the output that carries the group's input of that name,
  // and the input that takes what the group gives out under an output name.
  // Null when the group has no such socket.
  static RCShdPtr<PiOutput> getBoundaryOutput(RCShdPtr<PiGraph> const& group, std::string const& groupInputName);
  static RCShdPtr<PiInput> getBoundaryInput(RCShdPtr<PiGraph> const& group, std::string const& groupOutputName);
};

class PiCompositionUtils {
 public:
  // Removes a node from its graph. With `reconnect`, what the node passed
  // on is bridged first: inputs fed by an image output of the node take
  // what feeds the node's primary image input (its single input when it has
  // no primary policy), and inputs following one of the node's inputs
  // follow what that input followed; inputs with nothing to take are
  // disconnected, as they all are without `reconnect`.
  static void removeNode(RCShdPtr<PiNode> const& node, bool reconnect);
};

class PiSocketUtil {
 public:
  // By name or path; null when the node is null or has no such input.
  static RCShdPtr<PiInput> getInput(RCShdPtr<PiNode> const& node, std::string const& name);
  static RCShdPtr<PiOutput> getOutput(RCShdPtr<PiNode> const& node, std::string const& name);
};
