// Graph utilities: naming, copies, bridging removal, boundary sockets.
#include "internalAPI/piGraphUtils.h"

#include <cctype>
#include <stdexcept>
#include <unordered_set>

#include "pluginAPI/piNodeController.h"

namespace {

RCShdPtr<PiGraph> checkedGraph(RCShdPtr<PiNode> const& node) {
  if (node.isNull()) throw NullPointerException("PiNode");
  RCShdPtr<PiGraph> g = node->getGraph();
  if (g.isNull()) throw std::invalid_argument("node \"" + node->getName() + "\" is in no graph");
  return g;
}

template <class F>
void forEachLeaf(RCShdPtr<PiInput> const& in, F&& f) {
  if (in->isComposite()) {
    for (auto const& c : rcCheckedCast<PiCompositeInput>(in)->getInputs()) forEachLeaf(c, f);
  } else {
    f(in);
  }
}

}  // namespace

std::string PiGraphUtils::findUniqueNodeName(RCShdPtr<PiGraph> const& group, std::string const& name, int mode) {
  if (group.isNull()) throw NullPointerException("PiGraph");
  if (mode != 0 && mode != 1) throw std::invalid_argument("findUniqueNodeName: unknown mode " + std::to_string(mode));
  std::string const wanted = name.empty() ? std::string("Node") : name;
  std::unordered_set<std::string> used;
  for (auto const& n : group->getNodes()) used.insert(n->getName());
  if (!used.count(wanted)) return wanted;
  std::string base = wanted + " ";
  unsigned n = 2;
  if (mode == 1) {
    std::size_t end = wanted.size();
    while (end > 0 && std::isdigit(static_cast<unsigned char>(wanted[end - 1]))) --end;
    base = wanted.substr(0, end);
    n = 1;
  }
  while (used.count(base + std::to_string(n))) ++n;
  return base + std::to_string(n);
}

std::vector<RCShdPtr<PiNode>> PiGraphUtils::findNodesOfTool(RCShdPtr<PiGraph> const& group, std::string const& toolName) {
  std::vector<RCShdPtr<PiNode>> out;
  std::string const key = PiMorvaneToolProtocol::getMorvaneToolName(toolName);
  for (auto const& n : group->getNodes())
    if (n->getTool()->getName() == key) out.push_back(n);
  return out;
}

RCShdPtr<PiNode> PiGroupUtils::copyNode(RCShdPtr<PiNode> const& node, RCShdPtr<PiGraph> const& group) {
  RCShdPtr<PiGraph> g = group.isNull() ? checkedGraph(node) : group;
  return g->copyNode(node);
}

RCShdPtr<PiOutput> PiGroupUtils::getBoundaryOutput(RCShdPtr<PiGraph> const& group, std::string const& groupInputName) {
  RCShdPtr<PiNode> b = group->getInputBoundaryNode(groupInputName);
  return b ? b->getOutputs().front() : RCShdPtr<PiOutput>();
}

RCShdPtr<PiInput> PiGroupUtils::getBoundaryInput(RCShdPtr<PiGraph> const& group, std::string const& groupOutputName) {
  RCShdPtr<PiNode> b = group->getOutputBoundaryNode(groupOutputName);
  return b ? b->getInputs().front() : RCShdPtr<PiInput>();
}

void PiCompositionUtils::removeNode(RCShdPtr<PiNode> const& node, bool reconnect) {
  RCShdPtr<PiGraph> g = checkedGraph(node);
  PiUndoGuard guard("Remove " + node->getName());
  if (reconnect) {
    RCShdPtr<PiInput> primary = node->getPrimaryImageInput();
    RCShdPtr<PiOutput> upstream = primary ? primary->getSource() : RCShdPtr<PiOutput>();
    for (auto const& out : node->getOutputs()) {
      if (out->getType() != PI_IMAGE) continue;
      for (auto const& f : g->getFollowers(*out)) {
        if (upstream) g->connect(f, upstream);
        else g->disconnect(f);
      }
    }
    for (auto const& in : node->getInputs())
      forEachLeaf(in, [&](RCShdPtr<PiInput> const& leaf) {
        if (!leaf->isConnected()) return;
        for (auto const& f : g->getFollowers(*leaf->getCarrierOutput())) g->connect(f, leaf->getSource());
      });
  }
  g->removeNode(node);
}

RCShdPtr<PiInput> PiSocketUtil::getInput(RCShdPtr<PiNode> const& node, std::string const& name) {
  return node ? node->getInput(name) : RCShdPtr<PiInput>();
}

RCShdPtr<PiOutput> PiSocketUtil::getOutput(RCShdPtr<PiNode> const& node, std::string const& name) {
  return node ? node->getOutput(name) : RCShdPtr<PiOutput>();
}
