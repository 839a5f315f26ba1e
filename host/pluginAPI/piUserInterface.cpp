// Paths, the current event handler and the schematic's view of a group.
#include "pluginAPI/piUserInterface.h"

#include <algorithm>
#include <utility>

RCShdPtr<PiPath> PiPath::create(RCShdPtr<PiNode> const& node) {
  std::vector<RCShdPtr<PiNode>> nodes;
  for (RCShdPtr<PiNode> n = node; !n.isNull();) {
    nodes.push_back(n);
    RCShdPtr<PiGraph> const g = n->getGraph();
    n = g.isNull() ? RCShdPtr<PiNode>() : g->getGroupNode();
  }
  std::reverse(nodes.begin(), nodes.end());
  return makeRC<PiPath>(std::move(nodes));
}

std::string PiPath::toString() const {
  std::string s;
  for (auto const& n : _nodes) s += (s.empty() ? "" : "/") + n->getName();
  return s;
}

void PiEventHandlingInterface::setCurrentEventHandler(RCShdPtr<PiEventHandler> const& handler) {
  if (handler == _current) return;
  RCShdPtr<PiEventHandler> const previous = std::exchange(_current, handler);
  if (previous) previous->deactivate();
  if (_current) _current->activate();
}

std::vector<RCShdPtr<PiNode>> PiSchematicInterface::getSchematicNodes(RCShdPtr<PiNode> const& group) {
  std::vector<RCShdPtr<PiNode>> shown;
  if (group.isNull() || !group->isGroup()) return shown;
  auto const schematic = rcDynamicCast<PiSchematicInterface>(group->getController());
  for (auto const& n : group->getInnerGraph()->getNodes())
    if (schematic.isNull() || !schematic->isInternalNode(n)) shown.push_back(n);
  return shown;
}
