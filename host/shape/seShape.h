// Shapes as the host's shape editor sees them.
//
// SeShape is the editor's handle on one shape; SeShapeNode is the shape
// that a node of the graph is (a shape renderer node inside a super tool).
// A shape handle does not keep its node alive: once the node is gone (and
// no undo command holds it), getNode answers null. Two handles are the
// same shape when they stand for the same node (isSameShape), whoever made
// them; compare shapes that way, never by handle address.
//
// SeShapeInterface is what a shape node's controller serves the viewer's
// curve editing: the inputs that place the curve, its display values, links
// and the command state. The viewer finds it by casting the controller.
// Operations marked "host" have host defaults; the others a controller
// provides. Value getters fill a handle and answer whether they did.
//
// Threading: the user-interface thread.
#pragma once

#include <string>

#include "base/cbDispatcher.h"
#include "base/rcPtr.h"
#include "pluginAPI/piGraph.h"
#include "pluginAPI/piUserInterface.h"
#include "primitives/coRgbaColor.h"

class SeShapeInterface;

class SeShape {
 public:
  virtual ~SeShape() = default;
  virtual std::string getName() const = 0;
  virtual bool isSameShape(SeShape const& other) const = 0;
  // The controller side of the shape; null when it has none.
  virtual RCWeakPtr<SeShapeInterface> getShapeInterface() const = 0;
};

class SeShapeNode final : public SeShape {
 public:
  explicit SeShapeNode(RCShdPtr<PiNode> const& node) : _node(node.shared()) {}

  // Null for a null node.
  static RCShdPtr<SeShape> create(RCShdPtr<PiNode> const& node);
  // Null when `shape` is null, is not a node's shape, or its node is gone.
  static RCShdPtr<PiNode> getNode(RCShdPtr<SeShape> const& shape);

  std::string getName() const override;  // the node's; empty once it is gone
  bool isSameShape(SeShape const& other) const override;
  // The node's controller when it serves SeShapeInterface.
  RCWeakPtr<SeShapeInterface> getShapeInterface() const override;

 private:
  std::weak_ptr<PiNode> _node;
};

class SeShapeInterface {
 public:
  virtual ~SeShapeInterface() = default;
  // Placement of the curve back to the identity.
  virtual void resetTransformation() = 0;
  virtual RCShdPtr<PiInput> getTranslationXInput() = 0;
  virtual RCShdPtr<PiInput> getTranslationYInput() = 0;
  virtual RCShdPtr<PiInput> getRotationInput() = 0;
  virtual RCShdPtr<PiInput> getScaleXInput() = 0;
  virtual RCShdPtr<PiInput> getScaleYInput() = 0;
  virtual RCShdPtr<PiInput> getShearXInput() = 0;
  virtual RCShdPtr<PiInput> getShearYInput() = 0;
  virtual RCShdPtr<PiInput> getPivotXInput() = 0;
  virtual RCShdPtr<PiInput> getPivotYInput() = 0;
  virtual RCShdPtr<PiInput> getTranslationOffsetXInput() = 0;
  virtual RCShdPtr<PiInput> getTranslationOffsetYInput() = 0;
  // Whether the viewer offers the placement manipulator.
  virtual bool isTransformable() const = 0;
  virtual RCShdPtr<SeShape> getShape() = 0;
  // The state word of the command stack of the graph holding the shape
  // (viewers redraw when it changes).
  virtual unsigned getCommandState() = 0;
  virtual RCShdPtr<PiInput> getCurveInput() = 0;
  virtual bool getCurveColorObject(RCShdPtr<PiValue>& value) = 0;
  // host: the shape's visibility value.
  virtual bool getCurveVisibleObject(RCShdPtr<PiValue>& value) { return getVisibleObject(value); }
  virtual bool getHandleColorObject(RCShdPtr<PiValue>& value) = 0;
  virtual bool getMuteObject(RCShdPtr<PiValue>& value) = 0;
  virtual bool getVisibleObject(RCShdPtr<PiValue>& value) = 0;
  virtual bool getLockObject(RCShdPtr<PiValue>& value) = 0;
  // Composition settings back to the user's preferences.
  virtual void resetComposition() = 0;
  // host: points can be edited unless the shape is locked at that time.
  virtual bool arePointsEditable(RCShdPtr<const PiTimePath> const& timePath);
  virtual bool isEdgeActive() const = 0;
  virtual bool areLinksActive() const = 0;
  virtual bool areLinksVisible(RCShdPtr<const PiTimePath> const& timePath) const = 0;
  // host: shapes have no edge (feather) values.
  virtual bool getEdgeColorObject(RCShdPtr<PiValue>& value) {
    value.reset();
    return false;
  }
  virtual bool getEdgeVisibleObject(RCShdPtr<PiValue>& value) {
    value.reset();
    return false;
  }
  virtual RCShdPtr<PiInput> getGradientInput() = 0;
  virtual CoRgbColorTyped<float> getLinkLineColor() const = 0;
  // host: listeners of changes of how the curve is drawn.
  virtual void addCurveRepresentationChangedCb(CbHandler<CbEmptyType>* handler) {
    _representationChanged.addHandler(handler);
  }
  virtual void removeCurveRepresentationChangedCb(CbHandler<CbEmptyType>* handler) {
    _representationChanged.removeHandler(handler);
  }

 protected:
  void notifyCurveRepresentationChanged() { _representationChanged.call(); }

 private:
  CbDispatcher<CbEmptyType> _representationChanged;
};
