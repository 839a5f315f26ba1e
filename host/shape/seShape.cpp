// Node shapes and the host defaults of the shape interface.
#include "shape/seShape.h"

#include "pluginAPI/piNodeController.h"

RCShdPtr<SeShape> SeShapeNode::create(RCShdPtr<PiNode> const& node) {
  if (node.isNull()) return RCShdPtr<SeShape>();
  return RCShdPtr<SeShape>(makeRC<SeShapeNode>(node));
}

RCShdPtr<PiNode> SeShapeNode::getNode(RCShdPtr<SeShape> const& shape) {
  auto const* s = dynamic_cast<SeShapeNode const*>(shape.get());
  return s ? RCShdPtr<PiNode>(s->_node.lock()) : RCShdPtr<PiNode>();
}

std::string SeShapeNode::getName() const {
  auto const n = _node.lock();
  return n ? n->getName() : std::string();
}

// Same owner, even when the node is gone: a handle taken before a removal
// still matches one taken after an undo brought the node back.
bool SeShapeNode::isSameShape(SeShape const& other) const {
  auto const* o = dynamic_cast<SeShapeNode const*>(&other);
  return o && !_node.owner_before(o->_node) && !o->_node.owner_before(_node);
}

RCWeakPtr<SeShapeInterface> SeShapeNode::getShapeInterface() const {
  auto const n = _node.lock();
  if (!n) return RCWeakPtr<SeShapeInterface>();
  return RCWeakPtr<SeShapeInterface>(rcDynamicCast<SeShapeInterface>(n->getController()));
}

bool SeShapeInterface::arePointsEditable(RCShdPtr<const PiTimePath> const& timePath) {
  RCShdPtr<PiValue> lock;
  if (!getLockObject(lock) || lock.isNull()) return true;
  return !lock->getBool(timePath.isNull() ? 0.0 : timePath->getTime());
}
