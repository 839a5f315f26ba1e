// Curve inputs: declaration, conversion to and from GeBezierCurve, and the
// curve node of the processing graph.
#include "internalAPI/piCurveInputValue.h"

#include <stdexcept>

namespace {

struct Layout {
  RCShdPtr<PiInput> closed;
  RCShdPtr<PiMultivaluedInput> points;
  bool polygon;
};

// A polygon's points have the "Point" component only.
bool isPolygon(PiInput const& points) { return points.getDeclaration().getFields().size() == 1; }

Layout layoutOf(RCShdPtr<PiInput> const& curveInput) {
  auto s = rcCheckedCast<PiCompositeInput>(curveInput);
  if (s.isNull()) throw NullPointerException("PiInput");
  Layout l{s->getInput(PiCurveInputValue::getClosedName()),
           rcDynamicCast<PiMultivaluedInput>(s->getInput(PiCurveInputValue::getPointsName())), false};
  if (l.closed.isNull() || l.points.isNull())
    throw std::invalid_argument(curveInput->describe() + " is not a curve input (\"Closed\", \"Points\")");
  l.polygon = isPolygon(*l.points);
  return l;
}

RCShdPtr<PiInput> coordinate(RCShdPtr<PiInput> const& entry, char const* component, char const* axis) {
  auto c = rcCheckedCast<PiCompositeInput>(entry)->getInput(std::string(component) + "/" + axis);
  if (c.isNull()) throw std::invalid_argument(entry->describe() + " has no \"" + component + "/" + axis + "\"");
  return c;
}

void write(RCShdPtr<PiInput> const& curveInput, GeBezierCurve const& curve, double const* time) {
  Layout l = layoutOf(curveInput);
  PiUndoGuard guard("Set Curve");
  auto set = [&](RCShdPtr<PiInput> const& in, PiValueData const& v) {
    if (time) in->setValueAt(*time, v);
    else in->setValue(v);
  };
  std::size_t const n = static_cast<std::size_t>(curve.getNumCtrlPoints());
  while (l.points->getEntryCount() > n) l.points->removeEntry(l.points->getEntryCount() - 1);
  while (l.points->getEntryCount() < n) l.points->addEntry();
  for (std::size_t i = 0; i < n; ++i) {
    RCShdPtr<PiInput> e = l.points->getEntry(i);
    int const k = static_cast<int>(i);
    auto put = [&](char const* component, GePoint2<float> p) {
      set(coordinate(e, component, "X"), PiValueData(static_cast<double>(p.x())));
      set(coordinate(e, component, "Y"), PiValueData(static_cast<double>(p.y())));
    };
    put(PiCurveInputValue::getPointName(), curve.getCtrlPoint(k));
    if (l.polygon) continue;
    put(PiCurveInputValue::getInHandleName(), curve.getInHandle(k));
    put(PiCurveInputValue::getOutHandleName(), curve.getOutHandle(k));
  }
  set(l.closed, PiValueData(curve.isClosed()));
}

}  // namespace

PiSocketDecl& PiCurveInputValue::describe(PiToolPolicyDescriptor& descriptor, std::string const& name, int curveType,
                                          bool closed, bool closureAnimatable) {
  if (curveType != 0 && curveType != 1)
    throw std::invalid_argument("curve input \"" + name + "\": unknown curve type " + std::to_string(curveType));
  PiSocketDecl& curve = descriptor.requireStructure(name);
  curve.require(getClosedName(), PI_BOOL, PiSwitchInputPolicy::create(closed, closureAnimatable, false));
  PiSocketDecl& points = curve.requireStructure(getPointsName(), 1);
  for (char const* component : {getInHandleName(), getPointName(), getOutHandleName()}) {
    if (curveType == 1 && std::string(component) != getPointName()) continue;
    PiSocketDecl& c = points.requireStructure(component);
    c.require("X", PI_DOUBLE);
    c.require("Y", PI_DOUBLE);
  }
  return curve;
}

GeBezierCurve PiCurveInputValue::getCurve(RCShdPtr<PiInput> const& curveInput, double time) {
  Layout l = layoutOf(curveInput);
  Vector<GePoint2<float>> pts;
  pts.reserve(3 * l.points->getEntryCount());
  for (std::size_t i = 0; i < l.points->getEntryCount(); ++i) {
    RCShdPtr<PiInput> e = l.points->getEntry(i);
    auto at = [&](char const* component) {
      return GePoint2<float>(static_cast<float>(coordinate(e, component, "X")->getDouble(time)),
                             static_cast<float>(coordinate(e, component, "Y")->getDouble(time)));
    };
    GePoint2<float> const p = at(getPointName());
    pts.push_back(l.polygon ? p : at(getInHandleName()));
    pts.push_back(p);
    pts.push_back(l.polygon ? p : at(getOutHandleName()));
  }
  return GeBezierCurve(pts, l.closed->getBool(time) ? GeBezierCurve::CLOSED : GeBezierCurve::OPEN);
}

void PiCurveInputValue::setCurve(RCShdPtr<PiInput> const& curveInput, GeBezierCurve const& curve) {
  write(curveInput, curve, nullptr);
}

void PiCurveInputValue::setCurveAt(RCShdPtr<PiInput> const& curveInput, double time, GeBezierCurve const& curve) {
  write(curveInput, curve, &time);
}

// --- the curve node -------------------------------------------------------------

PxBezierCurveNode::PxBezierCurveNode(PxNodePtr<PxNode> const& closed, std::string name)
    : PxAnimValueProtocol<GeBezierCurve>(std::move(name)), _closed(closed) {}

void PxBezierCurveNode::appendPoint(std::vector<PxNodePtr<PxNode>> const& coordinates) {
  QX_ASSERT(coordinates.size() == 6);
  for (PxNodePtr<PxNode> const& c : coordinates) _coordinates.emplace_back(c);
}

PxValueResult<GeBezierCurve> PxBezierCurveNode::evaluate(double time) const {
  PxValidityInterval validity = PxValidityInterval::FULL;
  Vector<GePoint2<float>> pts;
  pts.reserve(_coordinates.size() / 2);
  for (std::size_t i = 0; i < _coordinates.size(); i += 2)
    pts.push_back(GePoint2<float>(static_cast<float>(_coordinates[i]->getValue(time, validity)),
                                  static_cast<float>(_coordinates[i + 1]->getValue(time, validity))));
  bool const closed = _closed->getValue(time, validity);
  return {GeBezierCurve(pts, closed ? GeBezierCurve::CLOSED : GeBezierCurve::OPEN), validity};
}

PxNodePtr<PxBezierCurveNode> PiCurveInputValue::createProcNode(RCShdPtr<PiInput> const& curveInput,
                                                               PiProcNodeProvider const& provider) {
  Layout l = layoutOf(curveInput);
  auto node = PxNodePtr<PxBezierCurveNode>::create(provider.getValueNode(l.closed), curveInput->getPath());
  appendToProcNode(node, l.points, provider);
  return node;
}

void PiCurveInputValue::appendToProcNode(PxNodePtr<PxBezierCurveNode> const& node, RCShdPtr<PiInput> const& pointsInput,
                                         PiProcNodeProvider const& provider) {
  auto points = rcCheckedCast<PiMultivaluedInput>(pointsInput);
  if (points.isNull()) throw NullPointerException("PiMultivaluedInput");
  bool const polygon = isPolygon(*points);
  std::vector<PxNodePtr<PxNode>> coordinates(6);
  for (std::size_t i = 0; i < points->getEntryCount(); ++i) {
    RCShdPtr<PiInput> e = points->getEntry(i);
    auto put = [&](std::size_t at, char const* component) {
      coordinates[at] = provider.getValueNode(coordinate(e, component, "X"));
      coordinates[at + 1] = provider.getValueNode(coordinate(e, component, "Y"));
    };
    put(2, getPointName());
    if (polygon) {
      coordinates[0] = coordinates[4] = coordinates[2];
      coordinates[1] = coordinates[5] = coordinates[3];
    } else {
      put(0, getInHandleName());
      put(4, getOutHandleName());
    }
    node->appendPoint(coordinates);
  }
}
