// The host side of the shape editor: events, values, resets, the current
// tool and walking the shapes.
#include "shape/seShapeEditor.h"

#include <vector>

#include "base/assertions.h"
#include "framework/piUserSettings.h"
#include "pluginAPI/piInputPolicy.h"

namespace {

bool validType(int type) { return type >= 0 && type < SeShapeEditor::kEventTypeCount; }

std::vector<RCShdPtr<SeShape>> collect(Iterator<RCShdPtr<SeShape>> it) {
  std::vector<RCShdPtr<SeShape>> shapes;
  for (it.first(); !it.atEnd(); it.next()) shapes.push_back(it.item());
  return shapes;
}

// Index of `shape` in `shapes`, -1 when absent or null.
int indexOf(std::vector<RCShdPtr<SeShape>> const& shapes, RCShdPtr<SeShape> const& shape) {
  if (shape.isNull()) return -1;
  for (std::size_t i = 0; i < shapes.size(); ++i)
    if (shapes[i]->isSameShape(*shape)) return static_cast<int>(i);
  return -1;
}

}  // namespace

SeShapeEditor* SeShapeEditorControllerInterface::getShapeEditor(RCShdPtr<PiNode> const& node) {
  if (node.isNull()) return nullptr;
  return dynamic_cast<SeShapeEditor*>(node->getController().get());
}

Iterator<RCWeakPtr<SeShapeInterface>> SeShapeEditor::getShapeInterfaces() {
  std::vector<RCWeakPtr<SeShapeInterface>> interfaces;
  for (auto const& s : collect(getAllShapes())) interfaces.push_back(s->getShapeInterface());
  return Iterator<RCWeakPtr<SeShapeInterface>>::over(std::move(interfaces));
}

RCWeakPtr<SeShapeInterface> SeShapeEditor::getLastShapeInterface() {
  RCShdPtr<SeShape> const last = getLastShape();
  return last.isNull() ? RCWeakPtr<SeShapeInterface>() : last->getShapeInterface();
}

RCShdPtr<SeShape> SeShapeEditor::getFirstShape() {
  Iterator<RCShdPtr<SeShape>> it = getAllShapes();
  return it.atEnd() ? RCShdPtr<SeShape>() : it.item();
}

RCShdPtr<SeShape> SeShapeEditor::getLastShape() {
  auto const shapes = collect(getAllShapes());
  return shapes.empty() ? RCShdPtr<SeShape>() : shapes.back();
}

RCShdPtr<SeShape> SeShapeEditor::getNextShape(RCShdPtr<SeShape> const& shape) {
  auto const shapes = collect(getAllShapes());
  int const i = indexOf(shapes, shape);
  return i < 0 || i + 1 >= static_cast<int>(shapes.size()) ? RCShdPtr<SeShape>() : shapes[i + 1];
}

RCShdPtr<SeShape> SeShapeEditor::getPreviousShape(RCShdPtr<SeShape> const& shape) {
  auto const shapes = collect(getAllShapes());
  int const i = indexOf(shapes, shape);
  return i <= 0 ? RCShdPtr<SeShape>() : shapes[i - 1];
}

void SeShapeEditor::setCurrentToolId(int toolId) {
  if (toolId == _currentToolId) return;
  _currentToolId = toolId;
  int const current = toolId;
  _toolChanged.call(current);
}

bool SeShapeEditor::addCallback(EventType type, CbHandler<SeShapeEvent const>* handler) const {
  return validType(type) && _events[type].addHandler(handler);
}

bool SeShapeEditor::removeCallback(EventType type, CbHandler<SeShapeEvent const>* handler) const {
  return validType(type) && _events[type].removeHandler(handler);
}

void SeShapeEditor::signalEvent(EventType type, RCShdPtr<SeShape> const& shape) const {
  QX_ASSERT(validType(type));
  SeShapeEvent const event{type, shape};
  _events[type].call(event);
}

void SeShapeEditor::describe(PiToolPolicyDescriptor& d) {
  d.addValue(getCreationCurveTypeName(), PI_INT, 0,
             PiEnumPolicy::Builder().addPair(0, "Bezier").addPair(1, "Polygon").setDefaultValue(0));
  d.addValue(getCreationClosedName(), PI_BOOL, true);
  d.addValue(getShowHandlesName(), PI_BOOL, true);
  d.addValue(getPointSizeName(), PI_DOUBLE, 5.0, PiRangeInputPolicy<double>::create(1.0, 20.0, 5.0, true, false));
}

void SeShapeEditor::retrieveValues() {
  RCShdPtr<PiNode> const node = getNode();
  QX_ASSERT(!node.isNull());
  _creationCurveType = PiTypedValue<int>(node->getValue(getCreationCurveTypeName()));
  _creationClosed = PiTypedValue<bool>(node->getValue(getCreationClosedName()));
  _showHandles = PiTypedValue<bool>(node->getValue(getShowHandlesName()));
  _pointSize = PiTypedValue<double>(node->getValue(getPointSizeName()));
  QX_ASSERT(!_creationCurveType.isNull() && !_creationClosed.isNull() && !_showHandles.isNull() &&
            !_pointSize.isNull());
}

void SeShapeEditor::resetToFactoryCreationParameters() {
  checked(_creationCurveType).getValue()->reset();
  checked(_creationClosed).getValue()->reset();
}

void SeShapeEditor::resetToFactoryOptionParameters() {
  checked(_showHandles).getValue()->reset();
  checked(_pointSize).getValue()->reset();
}

void SeShapeEditor::resetToUser(RCShdPtr<PiValue> const& value) const {
  PiValueData preferred;
  RCShdPtr<PiNode> const node = getNode();
  std::string const tool = node.isNull() ? std::string() : node->getTool()->getName();
  if (PiUserSettings::getInstance().find(tool, value->getName(), preferred)) {
    try {
      value->setValue(preferred);
      return;
    } catch (std::invalid_argument const&) {
      // A preference the value cannot take counts as none.
    }
  }
  value->reset();
}

void SeShapeEditor::resetToUserCreationParameters() {
  resetToUser(checked(_creationCurveType).getValue());
  resetToUser(checked(_creationClosed).getValue());
}

void SeShapeEditor::resetToUserOptionParameters() {
  resetToUser(checked(_showHandles).getValue());
  resetToUser(checked(_pointSize).getValue());
}
