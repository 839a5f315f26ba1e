// The shape editor service: what the host's viewer asks of a node whose
// controller edits shapes (a super tool that keeps shapes as nodes of its
// inside), and the shape events it reports.
//
// A controller serves it by deriving from SeShapeEditor and implementing the
// shape operations (create, complete, delete, duplicate, reorder, rename,
// list). The host side here keeps:
//   - shape events: listeners registered per event type with addCallback
//     hear ShapeAdded, ShapeRemoved, ShapeMoved and ShapeRenamed with the
//     shape concerned; the controller raises them with signalEvent after the
//     change (and after the undo command closed);
//   - the editor's own values, declared by describe() into the tool's
//     description and taken by retrieveValues() when the node is created or
//     loaded: creation parameters ("SeCreationCurveType": 0 Bezier, 1
//     polygon; "SeCreationClosed") and display options ("SeOptShowHandles",
//     "SeOptPointSize"), with factory and user resets (user values come
//     from the user settings under the node's tool name, the factory value
//     where the user has none);
//   - the current editing tool of the viewer (an id the viewer defines),
//     with listeners of its changes;
//   - walking the shapes in the order getAllShapes gives them.
//
// Threading: the user-interface thread. Failures: using the values before
// retrieveValues() fails the assertion service; a tool that did not call
// describe() fails it in retrieveValues().
#pragma once

#include <string>

#include "base/cbDispatcher.h"
#include "base/iterator.h"
#include "base/rcPtr.h"
#include "internalAPI/piTypedValue.h"
#include "pluginAPI/piNodeController.h"
#include "shape/seShape.h"

class SeShapeEditor;

// How the host finds the shape editor of a node: through its controller.
class SeShapeEditorControllerInterface : public virtual PiNodeController {
 public:
  // The node's shape editor; null when its controller serves none.
  static SeShapeEditor* getShapeEditor(RCShdPtr<PiNode> const& node);
};

struct SeShapeEvent;

class SeShapeEditor : public SeShapeEditorControllerInterface {
 public:
  enum EventType { ShapeAdded = 0, ShapeRemoved = 1, ShapeMoved = 2, ShapeRenamed = 3 };
  static constexpr int kEventTypeCount = 4;

  // --- shape operations (the controller's) --------------------------------
  // Every shape, in the editor's order.
  virtual Iterator<RCShdPtr<SeShape>> getAllShapes() = 0;
  // The shape interfaces of getAllShapes, in the same order.
  virtual Iterator<RCWeakPtr<SeShapeInterface>> getShapeInterfaces();
  virtual RCWeakPtr<SeShapeInterface> getLastShapeInterface();
  // Null when there is none (no shapes; `shape` last or first, or unknown).
  virtual RCShdPtr<SeShape> getFirstShape();
  virtual RCShdPtr<SeShape> getLastShape();
  virtual RCShdPtr<SeShape> getNextShape(RCShdPtr<SeShape> const& shape);
  virtual RCShdPtr<SeShape> getPreviousShape(RCShdPtr<SeShape> const& shape);
  // The user starts drawing at `time`; the new shape.
  virtual RCShdPtr<SeShape> createShape(double time) = 0;
  virtual void deleteShape(RCShdPtr<SeShape> const& shape) = 0;
  virtual RCShdPtr<SeShape> duplicateShape(RCShdPtr<SeShape> const& shape) = 0;
  // The shape that a graph object (a node) is.
  virtual RCShdPtr<SeShape> getShape(RCShdPtr<PiGraphObject> const& object) = 0;
  virtual void moveUp(RCShdPtr<SeShape> const& shape) = 0;
  virtual void moveDown(RCShdPtr<SeShape> const& shape) = 0;
  virtual void moveTop(RCShdPtr<SeShape> const& shape) = 0;
  virtual void moveBottom(RCShdPtr<SeShape> const& shape) = 0;
  // Drawing of a shape began, and ended (the curve was closed).
  virtual void shapeStarted() {}
  virtual void shapeCompleted() = 0;

  // --- current editing tool -------------------------------------------------
  int getCurrentToolId() const { return _currentToolId; }
  // Listeners hear the new id when it changes.
  void setCurrentToolId(int toolId);
  bool addCurrentToolChangedCallback(CbHandler<int const>* handler) const { return _toolChanged.addHandler(handler); }
  bool removeCurrentToolChangedCallback(CbHandler<int const>* handler) const {
    return _toolChanged.removeHandler(handler);
  }

  virtual void renameShape(RCShdPtr<SeShape> const& shape, std::string const& name) = 0;
  // Whether shapes may be grouped in the editor's list.
  virtual bool supportsGroups() const { return false; }

  // --- events -------------------------------------------------------------
  bool addCallback(EventType type, CbHandler<SeShapeEvent const>* handler) const;
  bool removeCallback(EventType type, CbHandler<SeShapeEvent const>* handler) const;
  void signalEvent(EventType type, RCShdPtr<SeShape> const& shape) const;

  // --- the editor's values ----------------------------------------------------
  static char const* getCreationCurveTypeName() { return "SeCreationCurveType"; }
  static char const* getCreationClosedName() { return "SeCreationClosed"; }
  static char const* getShowHandlesName() { return "SeOptShowHandles"; }
  static char const* getPointSizeName() { return "SeOptPointSize"; }
  static void describe(PiToolPolicyDescriptor& descriptor);
  void retrieveValues();

  int getCreationCurveType() const { return checked(_creationCurveType).get(); }
  bool isCreationClosed() const { return checked(_creationClosed).get(); }
  bool getShowHandles() const { return checked(_showHandles).get(); }
  double getPointSize() const { return checked(_pointSize).get(); }

  void resetToFactoryCreationParameters();
  void resetToUserCreationParameters();
  void resetToFactoryOptionParameters();
  void resetToUserOptionParameters();

 private:
  template <class T>
  static PiTypedValue<T> const& checked(PiTypedValue<T> const& v) {
    QX_ASSERT(!v.isNull());
    return v;
  }
  void resetToUser(RCShdPtr<PiValue> const& value) const;

  int _currentToolId = 0;
  CbDispatcher<int const> _toolChanged;
  CbDispatcher<SeShapeEvent const> _events[kEventTypeCount];
  PiTypedValue<int> _creationCurveType;
  PiTypedValue<bool> _creationClosed;
  PiTypedValue<bool> _showHandles;
  PiTypedValue<double> _pointSize;
};

struct SeShapeEvent {
  SeShapeEditor::EventType type;
  RCShdPtr<SeShape> shape;
};
