// Shape selection and its updater.
#include "shape/seShapeSelector.h"

#include <utility>

namespace {

bool same(RCShdPtr<SeShape> const& a, RCShdPtr<SeShape> const& b) {
  if (a.isNull() || b.isNull()) return a.isNull() && b.isNull();
  return a->isSameShape(*b);
}

}  // namespace

int SeShapeSelector::indexOf(RCShdPtr<SeShape> const& shape) const {
  if (shape.isNull()) return -1;
  for (std::size_t i = 0; i < _selected.size(); ++i)
    if (_selected[i]->isSameShape(*shape)) return static_cast<int>(i);
  return -1;
}

bool SeShapeSelector::isPrimarySelectedShape(RCShdPtr<SeShape> const& shape) const {
  return !shape.isNull() && same(shape, _primary);
}

void SeShapeSelector::assign(std::vector<RCShdPtr<SeShape>> selected, RCShdPtr<SeShape> primary, int pointIndex) {
  bool changed = selected.size() != _selected.size() || !same(primary, _primary) || pointIndex != _pointIndex;
  for (std::size_t i = 0; !changed && i < selected.size(); ++i) changed = !same(selected[i], _selected[i]);
  if (!changed) return;
  _selected = std::move(selected);
  _primary = std::move(primary);
  _pointIndex = pointIndex;
  _changed.call(*this);
}

void SeShapeSelector::setPrimarySelectedShape(RCShdPtr<SeShape> const& shape, int pointIndex) {
  if (shape.isNull()) return reset();
  assign({shape}, shape, pointIndex < 0 ? -1 : pointIndex);
}

void SeShapeSelector::addSelectedShape(RCShdPtr<SeShape> const& shape) {
  if (shape.isNull() || isSelected(shape)) return;
  std::vector<RCShdPtr<SeShape>> selected = _selected;
  selected.push_back(shape);
  bool const keep = !_primary.isNull();
  assign(std::move(selected), keep ? _primary : shape, keep ? _pointIndex : -1);
}

void SeShapeSelector::removeSelectedShape(RCShdPtr<SeShape> const& shape) {
  int const i = indexOf(shape);
  if (i < 0) return;
  std::vector<RCShdPtr<SeShape>> selected = _selected;
  selected.erase(selected.begin() + i);
  if (!same(_primary, _selected[i])) return assign(std::move(selected), _primary, _pointIndex);
  RCShdPtr<SeShape> const next = selected.empty() ? RCShdPtr<SeShape>() : selected.front();
  assign(std::move(selected), next, -1);
}

void SeShapeSelector::setSelectedShapes(std::vector<RCShdPtr<SeShape>> const& shapes) {
  std::vector<RCShdPtr<SeShape>> selected;
  for (auto const& s : shapes) {
    bool repeat = s.isNull();
    for (std::size_t i = 0; !repeat && i < selected.size(); ++i) repeat = selected[i]->isSameShape(*s);
    if (!repeat) selected.push_back(s);
  }
  RCShdPtr<SeShape> primary;
  int pointIndex = -1;
  for (auto const& s : selected)
    if (same(s, _primary)) primary = s, pointIndex = _pointIndex;
  if (primary.isNull() && !selected.empty()) primary = selected.front();
  assign(std::move(selected), std::move(primary), pointIndex);
}

void SeShapeSelector::reset() { assign({}, RCShdPtr<SeShape>(), -1); }

SeSelectorUpdater::SeSelectorUpdater(SeShapeSelector& selector, Predicate predicate)
    : _selector(selector), _predicate(std::move(predicate)), _handler(this, &SeSelectorUpdater::selectionChanged) {
  SnSelectionManager::getInstance().addChangeCallback(&_handler);
  update();
}

SeSelectorUpdater::~SeSelectorUpdater() = default;  // the handler leaves the manager

void SeSelectorUpdater::update() { selectionChanged(SnSelectionManager::getInstance().getSelection()); }

void SeSelectorUpdater::selectionChanged(SnSelection const& selection) {
  std::vector<RCShdPtr<SeShape>> shapes;
  for (auto const& object : selection.getValues<RCShdPtr<PiGraphObject>>()) {
    if (_predicate && !_predicate(object)) continue;
    if (auto shape = SeShapeNode::create(rcDynamicCast<PiNode>(object))) shapes.push_back(shape);
  }
  _selector.setSelectedShapes(shapes);
}
