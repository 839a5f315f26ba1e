// Selections: ordered sets of items of any type, what the user has picked
// (nodes in the schematic) and what travels on the clipboard.
//
// An item is an SnItem; SnItemBasic<T> carries one value of type T (a node
// handle, a clipboard payload). Items of types whose values compare equal
// (T with ==) count as the same item when their values are equal, so a
// selection never holds a node twice; other items are the same only when
// they are the same object. Finding items by type goes through dynamic_cast,
// which works across the application and its modules.
//
// SnSelectionManager holds the application's current selection of graph
// objects, as SnItemBasic<RCShdPtr<PiGraphObject>> items, and tells its
// listeners when it changes (shape editors follow it, seShapeSelector.h).
//
// Threading: selections are plain values; the manager belongs to the
// user-interface thread.
#pragma once

#include <concepts>
#include <cstddef>
#include <vector>

#include "base/cbDispatcher.h"
#include "base/iterator.h"
#include "base/rcPtr.h"
#include "pluginAPI/piGraph.h"

class SnItem {
 public:
  virtual ~SnItem() = default;
  virtual bool isSameItem(SnItem const& other) const { return this == &other; }
};

template <class T>
class SnItemBasic : public SnItem {
 public:
  explicit SnItemBasic(T value) : _value(std::move(value)) {}
  static RCShdPtr<SnItemBasic> create(T value) { return makeRC<SnItemBasic>(std::move(value)); }

  T const& getValue() const { return _value; }

  bool isSameItem(SnItem const& other) const override {
    if constexpr (std::equality_comparable<T>) {
      auto const* o = dynamic_cast<SnItemBasic const*>(&other);
      return o && o->_value == _value;
    } else {
      return this == &other;
    }
  }

 private:
  T _value;
};

class SnSelection {
 public:
  SnSelection() = default;
  static RCShdPtr<SnSelection> create() { return makeRC<SnSelection>(); }

  // False (and nothing changes) for a null item or one already selected.
  bool addItem(RCShdPtr<SnItem> const& item);
  // Removes the selected item that is the same as `item`; false when none.
  bool removeItem(RCShdPtr<SnItem> const& item);
  void clear() { _items.clear(); }
  bool contains(SnItem const& item) const;

  bool isEmpty() const { return _items.empty(); }
  std::size_t getItemCount() const { return _items.size(); }
  std::vector<RCShdPtr<SnItem>> const& getItems() const { return _items; }
  Iterator<RCShdPtr<SnItem>> getIterator() const { return Iterator<RCShdPtr<SnItem>>::over(_items); }

  // The first item carrying a T; null when none does.
  template <class T>
  RCShdPtr<SnItemBasic<T>> findFirst() const {
    for (auto const& i : _items)
      if (auto typed = rcDynamicCast<SnItemBasic<T>>(i)) return typed;
    return RCShdPtr<SnItemBasic<T>>();
  }
  // The values of the items carrying a T, in order.
  template <class T>
  std::vector<T> getValues() const {
    std::vector<T> values;
    for (auto const& i : _items)
      if (auto const* typed = dynamic_cast<SnItemBasic<T> const*>(i.get())) values.push_back(typed->getValue());
    return values;
  }

  // Same items in the same order.
  bool operator==(SnSelection const& o) const;

 private:
  std::vector<RCShdPtr<SnItem>> _items;
};

class SnSelectionManager {
 public:
  using GraphObjectItem = SnItemBasic<RCShdPtr<PiGraphObject>>;

  static SnSelectionManager& getInstance();

  SnSelection const& getSelection() const { return _selection; }
  // Replaces the selection; listeners hear of it when it changed.
  void setSelection(SnSelection const& selection);
  // The graph objects as the selection, in this order (nulls skipped).
  void selectObjects(std::vector<RCShdPtr<PiGraphObject>> const& objects);
  void clear() { setSelection(SnSelection()); }
  // The selected graph objects, in selection order.
  std::vector<RCShdPtr<PiGraphObject>> getSelectedObjects() const {
    return _selection.getValues<RCShdPtr<PiGraphObject>>();
  }

  bool addChangeCallback(CbHandler<SnSelection const>* handler) const { return _changed.addHandler(handler); }
  bool removeChangeCallback(CbHandler<SnSelection const>* handler) const { return _changed.removeHandler(handler); }

 private:
  SnSelectionManager() = default;
  SnSelection _selection;
  CbDispatcher<SnSelection const> _changed;
};
