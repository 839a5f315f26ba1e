// Controller base classes: input lookup, resets, the image tool statics.
#include "pluginAPI/piNodeController.h"

#include <stdexcept>

#include "pluginAPI/piProcNodeHook.h"

namespace {

// Leaf by leaf: values to their policy default; image inputs whose policy
// resets by disconnecting are disconnected.
void resetLeaves(PiInput& in) {
  if (in.isComposite()) {
    for (auto const& c : static_cast<PiCompositeInput&>(in).getInputs()) resetLeaves(*c);
    return;
  }
  if (!in.isImage()) {
    in.getValue()->reset();
    return;
  }
  auto policy = rcDynamicCast<const PiImageInputPolicy>(in.getPolicy());
  RCShdPtr<PiNode> node = in.getNode();
  RCShdPtr<PiGraph> graph = node ? node->getGraph() : RCShdPtr<PiGraph>();
  if (policy && policy->getResetType() == 1 && in.isConnected() && graph)
    graph->disconnect(RCShdPtr<PiInput>(in.shared_from_this()));
}

}  // namespace

RCShdPtr<PiInput> PiNodeController::getInput(std::string const& path) const {
  RCShdPtr<PiNode> n = getNode();
  return n ? n->getInput(path) : RCShdPtr<PiInput>();
}

RCShdPtr<PiValue> PiNodeController::getValue(std::string const& name) const {
  RCShdPtr<PiNode> n = getNode();
  return n ? n->getValue(name) : RCShdPtr<PiValue>();
}

RCShdPtr<PiOutput> PiNodeController::getOutput(std::string const& name) const {
  RCShdPtr<PiNode> n = getNode();
  return n ? n->getOutput(name) : RCShdPtr<PiOutput>();
}

void PiNodeController::reset(std::string const& name) {
  RCShdPtr<PiInput> in = getInput(name);
  if (in.isNull()) {
    RCShdPtr<PiNode> n = getNode();
    throw std::invalid_argument("node \"" + (n ? n->getName() : std::string()) + "\" has no input \"" + name + "\"");
  }
  if (auto* tool = dynamic_cast<PiToolInterface*>(this)) return tool->reset(in);
  PiUndoGuard guard("Reset " + in->getName());
  resetLeaves(*in);
}

void PiNodeController::createProcNodes(PiOutputPublisher& publisher) { (void)publisher; }

PxNodePtr<PxNode> PiGroupTopologyInterface::createOutputProcNode(RCShdPtr<PiOutput> const& output,
                                                                 PxNodePtr<PxNode> const& inner,
                                                                 PiProcNodeProvider const& provider) {
  (void)provider;
  return PiProcNodeFactory::createOutputNode(output, inner);
}

void PiToolInterface::reset() {
  RCShdPtr<PiNode> n = getNode();
  if (n.isNull()) return;
  PiUndoGuard guard("Reset " + n->getName());
  for (auto const& in : n->getInputs()) reset(in);
  for (auto const& v : n->getValues()) v->reset();
}

void PiToolInterface::reset(RCShdPtr<PiInput> const& input) {
  if (input.isNull()) throw NullPointerException("PiInput");
  PiUndoGuard guard("Reset " + input->getName());
  resetLeaves(*input);
}

PiCommandStack* PiUndoRedoControllerHelper::getCommandStack() const {
  RCShdPtr<PiNode> n = getNode();
  RCShdPtr<PiGraph> g = n ? n->getGraph() : RCShdPtr<PiGraph>();
  return g ? g->getCommandStack() : nullptr;
}

bool PiUndoRedoControllerHelper::isUndoRedoOngoing() const {
  PiCommandStack* s = getCommandStack();
  return s && s->isUndoRedoOngoing();
}

RCShdPtr<PiInput> PiImageGenerator::getPrimaryInput() const {
  RCShdPtr<PiNode> n = getNode();
  return n ? n->getPrimaryImageInput() : RCShdPtr<PiInput>();
}

void PiImageGenerator::createProcNodes(PiOutputPublisher& publisher) {
  PiProcNodeProvider const& provider = publisher.getProvider();
  RCShdPtr<PiInput> const in = getPrimaryInput();
  PxNodePtr<PxImageProtocol> const primary =
      in.isNull() ? PxNodePtr<PxImageProtocol>() : provider.getInputNode(in).cast<PxImageProtocol>();
  PxNodePtr<PxImageProtocol> const node = createProcNode(primary, provider);
  RCShdPtr<PiOutput> const main = getMainOutput();
  if (node && main) publisher.publish(main, node);
}

PxNodePtr<PxImageProtocol> PiImageGenerator::createProcNode(PxNodePtr<PxImageProtocol> const& primary,
                                                            PiProcNodeProvider const& provider) {
  (void)primary, (void)provider;
  return nullptr;
}

std::string PiImageGenerator::getOutputName() { return "Output"; }
std::string PiImageGenerator::getFormatValueName() { return "Format"; }
std::string PiImageModifier::getSingleInputName() { return "Input"; }

void PiImageModifier::addSingleImageInput(Descriptor& descriptor, RCShdPtr<const PiInputPolicy> policy, int cardinality) {
  descriptor.require(getSingleInputName(), PI_IMAGE, std::move(policy), cardinality);
}

RCShdPtr<const PiTool> PiImageModifier::registerTool(RCShdPtr<PiToolProtocol> const& protocol) {
  return PiToolRegistry::getInstance().registerTool(protocol, [](PiToolPolicyDescriptor& d) {
    if (!d.findOutput(getOutputName())) d.prependOutput(getOutputName());
  });
}
