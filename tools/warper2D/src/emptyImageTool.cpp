// The empty image tool, its controller and its processing node.
#include "emptyImageTool.h"

#include "pluginAPI/piInputPolicy.h"

namespace Qx::Warper2D {

char const* EmptyImageTool::getName() { return "Empty Image Tool"; }

void EmptyImageTool::initialize() {
  PiImageModifier::registerTool(PiToolProtocolImp::create<EmptyImageController>(
      getName(), "Empty Image Creater", PiToolProtocol::getWarpingCategory(),
      PiMorvaneToolProtocol::getMorvaneProductName(), PiMorvaneToolProtocol::getMorvaneManufacturer(),
      PiMorvaneToolProtocol::getMorvaneVersionString(), 2, 0, 0));
}

void EmptyImageTool::finalize() {}

RCShdPtr<const PiTool> EmptyImageTool::getTool() { return PiToolRegistry::getInstance().findTool(getName()); }

void EmptyImageController::describe(PiImageModifier::Descriptor& descriptor) {
  addSingleImageInput(descriptor, PiImageInputPolicy::createPrimary(3, 7, 1, 0, false), 0);
  descriptor.setAffect(2);
}

PxNodePtr<PxImageProtocol> EmptyImageController::createProcNode(PxNodePtr<PxImageProtocol> const& primary,
                                                                PiProcNodeProvider const& provider) {
  (void)provider;
  if (!primary) return nullptr;
  RCShdPtr<PiNode> const node = getNode();
  return PxNodePtr<EmptyImageNode>::create(primary, node ? node->getName() : std::string(EmptyImageTool::getName()));
}

EmptyImageNode::EmptyImageNode(PxNodePtr<PxImageProtocol> const& primary, std::string name)
    : PxImageNode(PxNodeInit{std::move(name), {}}, primary) {}

PxRODResult EmptyImageNode::computeROD(PxImageContext const& context) const {
  (void)context;
  return {GeRectangle<float>(0, 0, 0, 0), PxValidityInterval::FULL};
}

PxImageResult EmptyImageNode::computeImage(PxImageContext const& context) const {
  return {allocateEmptyImageBuffer(context, CoRgbaColorTyped<float>::ZERO), PxValidityInterval::FULL};
}

}  // namespace Qx::Warper2D
