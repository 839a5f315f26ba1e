// The controller-facing side of building processing nodes: input lookup for
// providers, checked publishing, output nodes and value nodes.
#include "pluginAPI/piProcNodeHook.h"

#include <stdexcept>

#include "pluginAPI/piGraph.h"
#include "pluginAPI/pxAnimValue.h"
#include "pluginAPI/pxRenderer.h"

namespace {

std::string quoted(std::string const& s) { return "\"" + s + "\""; }

PxInterpolation pxInterpolation(PiInterpolation i) {
  switch (i) {
    case PiInterpolation::Linear: return PxInterpolation::Linear;
    case PiInterpolation::Smooth: return PxInterpolation::Smooth;
    case PiInterpolation::Hold: return PxInterpolation::Hold;
  }
  return PxInterpolation::Linear;
}

template <class T>
T as(PiValueData const& v) {
  if constexpr (std::is_same_v<T, bool>) return v.getBool();
  else if constexpr (std::is_same_v<T, int>) return v.getInt();
  else if constexpr (std::is_same_v<T, double>) return v.getDouble();
  else if constexpr (std::is_same_v<T, std::string>) return v.getString();
  else return v.getColor();
}

template <class T>
PxNodePtr<PxNode> valueNode(PiAnimCurve const& curve, std::string name) {
  if (!curve.isAnimated()) return PxNodePtr<PxAnimValueNode<T>>::create(as<T>(curve.getConstant()), std::move(name));
  std::vector<PxKeyframe<T>> keys;
  keys.reserve(curve.getKeys().size());
  for (PiKey const& k : curve.getKeys()) keys.push_back({k.time, as<T>(k.value), pxInterpolation(k.interpolation)});
  return PxNodePtr<PxAnimValueNode<T>>::create(std::move(keys), std::move(name));
}

}  // namespace

// --- PiProcNodeProvider -------------------------------------------------------

PiInput const& PiProcNodeProvider::checked(RCShdPtr<PiInput> const& input) const {
  if (input.isNull()) throw NullPointerException("PiInput");
  return *input;
}

RCShdPtr<PiInput> PiProcNodeProvider::lookUp(std::string const& path) const {
  RCShdPtr<PiNode> node = getNode();
  RCShdPtr<PiInput> in = node->getInput(path);
  if (in.isNull()) throw std::invalid_argument("node " + quoted(node->getName()) + " has no input " + quoted(path));
  return in;
}

PxNodePtr<PxNode> PiProcNodeProvider::getInputNode(std::string const& path) const {
  return resolveImage(*lookUp(path));
}

PxNodePtr<PxNode> PiProcNodeProvider::getValueNode(std::string const& path) const {
  return resolveValue(*lookUp(path));
}

PxNodePtr<PxNode> PiProcNodeProvider::getValueNode(RCShdPtr<PiValue> const& value) const {
  if (value.isNull()) throw NullPointerException("PiValue");
  if (RCShdPtr<PiInput> in = value->getInput()) return resolveValue(*in);
  return resolveStoredValue(*value);
}

// --- PiOutputPublisher --------------------------------------------------------

void PiOutputPublisher::publish(RCShdPtr<PiOutput> const& output, PxNodePtr<PxNode> const& node) {
  if (output.isNull()) throw NullPointerException("PiOutput");
  RCShdPtr<PiNode> owner = getProvider().getNode();
  if (output->getNode() != owner)
    throw std::invalid_argument("node " + quoted(owner->getName()) + " cannot publish output " +
                                quoted(output->getName()) + " of another node");
  // Consumers of an image output take its node as an image without asking.
  if (output->getType() == PI_IMAGE && node) node.cast<PxImageProtocol>();
  store(*output, node);
}

void PiOutputPublisher::publish(std::string const& outputName, PxNodePtr<PxNode> const& node) {
  RCShdPtr<PiNode> owner = getProvider().getNode();
  RCShdPtr<PiOutput> out = owner->getOutput(outputName);
  if (out.isNull())
    throw std::invalid_argument("node " + quoted(owner->getName()) + " has no output " + quoted(outputName));
  publish(out, node);
}

// --- PxOutputNode -------------------------------------------------------------

PxOutputNode::PxOutputNode(PxNodePtr<PxImageProtocol> const& node, std::string name)
    : PxImageNode(PxNodeInit{std::move(name), std::nullopt}, node) {}

PxRODResult PxOutputNode::computeROD(PxImageContext const& context) const {
  if (!getSource()) return {GeRectangle<float>(), PxValidityInterval::FULL};
  return getSource()->computeROD(context);
}

PxImageResult PxOutputNode::computeImage(PxImageContext const& context) const {
  if (!getSource()) return {allocateEmptyImageBuffer(context, CoRgbaColorTyped<float>::ZERO), PxValidityInterval::FULL};
  PxRenderTarget::passOn(*this, *getSource());
  return getSource()->computeImage(context);
}

bool PxOutputNode::producesFullFrames() const { return getSource() && getSource()->producesFullFrames(); }

// --- PiProcNodeFactory --------------------------------------------------------

PxNodePtr<PxNode> PiProcNodeFactory::createOutputNode(RCShdPtr<PiOutput> const& output, PxNodePtr<PxNode> const& node) {
  if (output.isNull()) throw NullPointerException("PiOutput");
  if (output->getType() != PI_IMAGE) return node;
  RCShdPtr<PiNode> owner = output->getNode();
  std::string name = (owner ? owner->getName() : std::string()) + "/" + output->getName();
  return PxNodePtr<PxOutputNode>::create(node.cast<PxImageProtocol>(), std::move(name));
}

PxNodePtr<PxNode> PiProcNodeFactory::createValueNode(PiAnimCurve const& curve, std::string name) {
  switch (curve.getType()) {
    case PI_BOOL: return valueNode<bool>(curve, std::move(name));
    case PI_INT: return valueNode<int>(curve, std::move(name));
    case PI_DOUBLE: return valueNode<double>(curve, std::move(name));
    case PI_STRING: return valueNode<std::string>(curve, std::move(name));
    case PI_COLOR: return valueNode<CoRgbaColorTyped<double>>(curve, std::move(name));
  }
  QX_ASSERT(false);
  return nullptr;
}
