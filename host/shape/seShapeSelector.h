// The shape selection of a shape editor, and the updater that keeps it in
// step with the application's selection of graph objects.
//
// SeShapeSelector holds the selected shapes in selection order, one of them
// the primary (the one the viewer's manipulators act on), with the index
// of its active control point (-1: the shape as a whole). Shapes are told
// apart by SeShape::isSameShape, so handles made at different times for the
// same node are one shape. Listeners hear the selector after every call that
// changed the selection, the primary shape or its point index, once per
// call.
//
// SeSelectorUpdater follows the application's selection
// (SnSelectionManager): whenever it changes, the selector's shapes become
// the shapes of the selected graph objects that the predicate accepts (an
// editor accepts its own shape nodes), in selection order; the primary
// stays when it is still selected, else the first becomes primary. It
// applies the current selection when made and stops following when
// destroyed; it must not outlive its selector.
//
// Threading: the user-interface thread.
#pragma once

#include <functional>
#include <vector>

#include "base/cbDispatcher.h"
#include "base/rcPtr.h"
#include "framework/snSelection.h"
#include "shape/seShape.h"

class SeShapeSelector {
 public:
  SeShapeSelector() = default;
  SeShapeSelector(SeShapeSelector const&) = delete;
  SeShapeSelector& operator=(SeShapeSelector const&) = delete;

  std::vector<RCShdPtr<SeShape>> const& getSelectedShapes() const { return _selected; }
  std::size_t getSelectedCount() const { return _selected.size(); }
  bool isSelected(RCShdPtr<SeShape> const& shape) const { return indexOf(shape) >= 0; }

  // The selection becomes exactly `shape`, primary, with the active point
  // `pointIndex` (-1 for none). A null shape resets.
  void setPrimarySelectedShape(RCShdPtr<SeShape> const& shape, int pointIndex = -1);
  RCShdPtr<SeShape> const& getPrimarySelectedShape() const { return _primary; }
  int getPrimaryPointIndex() const { return _pointIndex; }
  bool isPrimarySelectedShape(RCShdPtr<SeShape> const& shape) const;

  // Adds to the selection (primary when there was none). Null and selected
  // shapes change nothing.
  void addSelectedShape(RCShdPtr<SeShape> const& shape);
  // The primary, when removed, passes to the first shape left.
  void removeSelectedShape(RCShdPtr<SeShape> const& shape);
  // Replaces the selection (nulls and repeats dropped); the primary as for
  // the updater above.
  void setSelectedShapes(std::vector<RCShdPtr<SeShape>> const& shapes);
  // Nothing selected.
  void reset();

  bool addChangeCallback(CbHandler<SeShapeSelector const>* handler) const { return _changed.addHandler(handler); }
  bool removeChangeCallback(CbHandler<SeShapeSelector const>* handler) const {
    return _changed.removeHandler(handler);
  }

 private:
  int indexOf(RCShdPtr<SeShape> const& shape) const;
  // Installs the new state and notifies when it differs from the old.
  void assign(std::vector<RCShdPtr<SeShape>> selected, RCShdPtr<SeShape> primary, int pointIndex);

  std::vector<RCShdPtr<SeShape>> _selected;
  RCShdPtr<SeShape> _primary;
  int _pointIndex = -1;
  CbDispatcher<SeShapeSelector const> _changed;
};

class SeSelectorUpdater {
 public:
  using Predicate = std::function<bool(RCShdPtr<PiGraphObject> const&)>;

  SeSelectorUpdater(SeShapeSelector& selector, Predicate predicate);
  SeSelectorUpdater(SeSelectorUpdater const&) = delete;
  SeSelectorUpdater& operator=(SeSelectorUpdater const&) = delete;
  ~SeSelectorUpdater();

  // Applies the application's current selection now.
  void update();

 private:
  void selectionChanged(SnSelection const& selection);

  SeShapeSelector& _selector;
  Predicate _predicate;
  CbMethodHandler<SnSelection const, SeSelectorUpdater> _handler;
};
