// Selections and the application's current selection.
#include "framework/snSelection.h"

#include <algorithm>

bool SnSelection::contains(SnItem const& item) const {
  return std::any_of(_items.begin(), _items.end(), [&](auto const& i) { return i->isSameItem(item); });
}

bool SnSelection::addItem(RCShdPtr<SnItem> const& item) {
  if (item.isNull() || contains(*item)) return false;
  _items.push_back(item);
  return true;
}

bool SnSelection::removeItem(RCShdPtr<SnItem> const& item) {
  if (item.isNull()) return false;
  auto it = std::find_if(_items.begin(), _items.end(), [&](auto const& i) { return i->isSameItem(*item); });
  if (it == _items.end()) return false;
  _items.erase(it);
  return true;
}

bool SnSelection::operator==(SnSelection const& o) const {
  return std::equal(_items.begin(), _items.end(), o._items.begin(), o._items.end(),
                    [](auto const& a, auto const& b) { return a->isSameItem(*b); });
}

SnSelectionManager& SnSelectionManager::getInstance() {
  static SnSelectionManager instance;
  return instance;
}

void SnSelectionManager::setSelection(SnSelection const& selection) {
  if (selection == _selection) return;
  _selection = selection;
  SnSelection const current = _selection;  // listeners may change it again
  _changed.call(current);
}

void SnSelectionManager::selectObjects(std::vector<RCShdPtr<PiGraphObject>> const& objects) {
  SnSelection s;
  for (auto const& o : objects)
    if (!o.isNull()) s.addItem(GraphObjectItem::create(o));
  setSelection(s);
}
