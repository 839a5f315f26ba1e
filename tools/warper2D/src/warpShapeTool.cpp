// The shape renderer tool: its policies and description, the controller that
// serves the shape editor and builds the processing node, the processing node
// that writes the shape image, and the clipboard snapshot of a curve.
#include "warpShapeTool.h"

#include <array>
#include <limits>
#include <optional>
#include <utility>

#include "base/assertions.h"
#include "framework/drClipboard.h"
#include "framework/piUserSettings.h"
#include "framework/snSelection.h"
#include "internalAPI/pxAffineMatrix2Node.h"
#include "pluginAPI/piInputPolicy.h"
#include "warpGeneratorTool.h"
#include "warpGridProc.h"

namespace Qx::Warper2D {

namespace {

char const* const kCurve = "Curve";
char const* const kTransform = "Transform";
char const* const kOffset = "OffsetTranslation";
char const* const kGradient = "Gradient";

// Built by WarpShapeTool::initialize, shared by every node of the tool.
struct Policies {
  RCShdPtr<const PiInputPolicy> coordinate, scale, interpolation, linkPosition, smoothing, fence;
};
Policies& policies() {
  static Policies p;
  return p;
}

WarpShapeInstanceDataFactory gInstanceDataFactory = nullptr;

PiColor toValue(CoRgbColorTyped<float> const& c) { return PiColor(c.r, c.g, c.b, 1.0); }

RCShdPtr<PiCompositeInput> composite(RCShdPtr<PiInput> const& input) {
  return rcDynamicCast<PiCompositeInput>(input);
}

// The leaves of a structured input, depth first: for "Gradient" each entry's
// "Position" then its "Distance".
void collectLeaves(RCShdPtr<PiInput> const& input, std::vector<RCShdPtr<PiInput>>& leaves) {
  if (!input->isComposite()) {
    leaves.push_back(input);
    return;
  }
  for (RCShdPtr<PiInput> const& child : static_cast<PiCompositeInput&>(*input).getInputs())
    collectLeaves(child, leaves);
}

}  // namespace

// --- tool ---------------------------------------------------------------------

char const* WarpShapeTool::getName() { return "Warp 2D Shape Renderer"; }

void WarpShapeTool::initialize() {
  WarpShapeController::initialize();
  PiImageModifier::registerTool(PiToolProtocolImp::create<WarpShapeController>(
      getName(), "Shape Renderer", PiToolProtocol::getWarpingCategory(),
      PiMorvaneToolProtocol::getMorvaneProductName(), PiMorvaneToolProtocol::getMorvaneManufacturer(),
      PiMorvaneToolProtocol::getMorvaneVersionString(), 2, 0, 0));
}

void WarpShapeTool::finalize() { WarpShapeController::finalize(); }

RCShdPtr<const PiTool> WarpShapeTool::getTool() { return PiToolRegistry::getInstance().findTool(getName()); }

void WarpShapeTool::registerInstanceDataFactory(WarpShapeInstanceDataFactory factory) {
  gInstanceDataFactory = factory;
}
void WarpShapeTool::unregisterInstanceDataFactory() { gInstanceDataFactory = nullptr; }
WarpShapeInstanceDataFactory WarpShapeTool::getInstanceDataFactory() { return gInstanceDataFactory; }

// --- clipboard snapshot ---------------------------------------------------------

ShapeClipboardObject::ShapeClipboardObject(RCShdPtr<PiInput> const& curveInput) {
  RCShdPtr<PiCompositeInput> const structIn = composite(curveInput);
  QX_ASSERT(!structIn.isNull());
  auto const pointsInput = rcDynamicCast<PiMultivaluedInput>(structIn->getInput(PiCurveInputValue::getPointsName()));
  QX_ASSERT(!pointsInput.isNull());
  _points.reserve(pointsInput->getEntryCount());
  for (std::size_t i = 0; i < pointsInput->getEntryCount(); ++i) {
    RCShdPtr<PiCompositeInput> const point = composite(pointsInput->getEntry(i));
    QX_ASSERT(!point.isNull());
    Point& copy = _points.emplace_back();
    for (RCShdPtr<PiInput> const& component : point->getInputs()) {
      RCShdPtr<PiCompositeInput> const pointCompInput = composite(component);
      QX_ASSERT(!pointCompInput.isNull());
      Component& c = copy.emplace_back(Component{pointCompInput->getName(), {}});
      for (RCShdPtr<PiInput> const& parameter : pointCompInput->getInputs()) {
        QX_ASSERT(!parameter.isNull());
        c.parameters.push_back({parameter->getName(), parameter->getValue()->getAnimation()});
      }
    }
  }
  // The closure travels too: pasting a closed shape onto a node whose curve
  // is still open (a new one) must give the closed shape, not its outline
  // with a gap.
  if (RCShdPtr<PiInput> const closed = structIn->getInput(PiCurveInputValue::getClosedName()))
    _closure = closed->getValue()->getAnimation();
  else
    _hasClosure = false;
}

void ShapeClipboardObject::applyTo(RCShdPtr<PiInput> const& curveInput) const {
  RCShdPtr<PiCompositeInput> const structIn = composite(curveInput);
  QX_ASSERT(!structIn.isNull());
  auto const pointsInput = rcDynamicCast<PiMultivaluedInput>(structIn->getInput(PiCurveInputValue::getPointsName()));
  QX_ASSERT(!pointsInput.isNull());
  // A snapshot of another length replaces the curve as a whole: the user
  // pasted that shape, not a blend of it with what the node held.
  while (pointsInput->getEntryCount() > _points.size()) pointsInput->removeEntry(pointsInput->getEntryCount() - 1);
  while (pointsInput->getEntryCount() < _points.size()) pointsInput->addEntry();
  for (std::size_t i = 0; i < _points.size(); ++i) {
    RCShdPtr<PiCompositeInput> const point = composite(pointsInput->getEntry(i));
    QX_ASSERT(!point.isNull());
    for (Component const& c : _points[i]) {
      RCShdPtr<PiCompositeInput> const pointCompInput = composite(point->getInput(c.name));
      QX_ASSERT(!pointCompInput.isNull());
      for (Parameter const& p : c.parameters) {
        RCShdPtr<PiInput> const parameter = pointCompInput->getInput(p.name);
        QX_ASSERT(!parameter.isNull());
        parameter->getValue()->setAnimation(p.animation);
      }
    }
  }
  RCShdPtr<PiInput> const closed = structIn->getInput(PiCurveInputValue::getClosedName());
  if (_hasClosure && closed) closed->getValue()->setAnimation(_closure);
}

// --- processing node -------------------------------------------------------------

Warper2DProcNode::Warper2DProcNode(std::string name, PxNodePtr<PxImageProtocol> const& primary, Inputs const& inputs)
    : PxImageNode(PxNodeInit{std::move(name),
                             primary ? std::nullopt
                                     : std::optional<PxImageFormat>(PxImageFormat(
                                           IxPixelFormat(IxPixelFormat::ALPHA, IxPixelFormat::FLOAT32)))},
                  primary),
      _curve(inputs.curve),
      _matrix(inputs.matrix),
      _offsetX(inputs.offsetX),
      _offsetY(inputs.offsetY) {
  _links.reserve(inputs.links.size());
  for (PxNodePtr<PxNode> const& link : inputs.links) _links.emplace_back(link);
}

PxImageFormat Warper2DProcNode::computeImageFormat() const {
  PxImageFormat f = getDefaultImageFormat();
  f.setComps(IxPixelFormat::ALPHA);
  f.setDepth(IxPixelFormat::FLOAT32);
  return f;
}

// The size follows from the counts alone, which a build fixes: the region
// holds for all time even when the coordinates are animated.
PxRODResult Warper2DProcNode::computeROD(PxImageContext const& context) const {
  GeRectangle<int> const region = ShapeImage::computeRegion(_curve->getPointCount(), static_cast<int>(_links.size()));
  return {pixelizedToNominal(region, getImageFormat().getPixelAspectRatio(), context.getScale()),
          PxValidityInterval::FULL};
}

PxImageResult Warper2DProcNode::computeImage(PxImageContext const& context) const {
  PxValidityInterval validity = PxValidityInterval::FULL;
  double const time = context.getTime();
  GeBezierCurve const curve = _curve->getValue(time, validity);
  Vector<float> links;
  links.reserve(_links.size());
  for (auto const& link : _links) links.push_back(static_cast<float>(link->getValue(time, validity)));

  float const aspectRatio = getImageFormat().getPixelAspectRatio();
  QX_ASSERT_TEXT(aspectRatio > 0.0f, "aspectRatio.getFloat() is greater than 0");
  // Nominal to pixels of the requested level, after the placement:
  // p' = P (T (M p)), P = scale(s / r, s), T the offset.
  float const s = static_cast<float>(context.getScale());
  float const offsetX = static_cast<float>(_offsetX->getValue(time, validity));
  float const offsetY = static_cast<float>(_offsetY->getValue(time, validity));
  GeAffineMatrix2<float> const placement = GeAffineMatrix2<float>::scaling(s / aspectRatio, s) *
                                           GeAffineMatrix2<float>::translation(offsetX, offsetY) *
                                           _matrix->getValue(time, validity);
  GeBezierCurve const placed(curve, placement);

  Vector<GePoint2<float>> points;
  placed.getCtrlPoints(points);
  QX_ASSERT_TEXT(points.size() == 3 * static_cast<std::size_t>(placed.getNumCtrlPoints()),
                 "nPoints == 3 * adjustedBezier->size()");
  return {ShapeImage::encode(placed, links, aspectRatio), validity};
}

// --- controller ------------------------------------------------------------------

void WarpShapeController::initialize() {
  constexpr double kIntRange = 2147483647.0;  // +-(2^31 - 1)
  constexpr double kDoubleRange = std::numeric_limits<double>::max();
  Policies& p = policies();
  p.coordinate = PiRangeInputPolicy<double>::create(-kIntRange, kIntRange, 0.0, true, false);
  p.scale = PiRangeInputPolicy<double>::create(-kIntRange, kIntRange, 1.0, true, false);
  p.interpolation = PiRangeInputPolicy<double>::create(0.0, 1.0, 1.0, true, false);
  p.linkPosition = PiRangeInputPolicy<double>::create(-kDoubleRange, kDoubleRange, 0.0, true, false);
  p.smoothing = PiEnumPolicy::Builder()
                    .addPair(WarpGridProc::Bidirectional, "Bidirectional")
                    .addPair(WarpGridProc::Inside, "Inside")
                    .addPair(WarpGridProc::Outside, "Outside")
                    .addPair(WarpGridProc::None, "None")
                    .setDefaultValue(WarpGridProc::Bidirectional);
  // Whether a shape is a fence may change over a shot, so it takes keys.
  p.fence = PiSwitchInputPolicy::create(false, true, false);
}

void WarpShapeController::finalize() { policies() = Policies(); }

RCShdPtr<const PiInputPolicy> WarpShapeController::getSmoothingPolicy() { return policies().smoothing; }

void WarpShapeController::describe(PiImageModifier::Descriptor& d) {
  Policies const& p = policies();
  QX_ASSERT(!p.coordinate.isNull());  // WarpShapeTool::initialize builds them first
  addSingleImageInput(d, PiImageInputPolicy::createPrimary(3, 7, 1, 0, false), 0);
  PiCurveInputValue::describe(d, kCurve, 0, false, false);

  auto pair = [](PiSocketDecl& parent, char const* name, RCShdPtr<const PiInputPolicy> const& policy) {
    PiSocketDecl& s = parent.requireStructure(name);
    s.require("X", PI_DOUBLE, policy);
    s.require("Y", PI_DOUBLE, policy);
  };
  PiSocketDecl& transform = d.requireStructure(kTransform);
  pair(transform, "Translation", p.coordinate);
  transform.require("Rotation", PI_DOUBLE, p.coordinate);
  pair(transform, "Scale", p.scale);
  pair(transform, "Shear", p.coordinate);
  pair(transform, "Pivot", p.coordinate);
  PiSocketDecl& offset = d.requireStructure(kOffset);
  offset.require("X", PI_DOUBLE, p.coordinate);
  offset.require("Y", PI_DOUBLE, p.coordinate);

  d.addValue("Link", PI_BOOL, true);
  d.addValue("Curve Color", PI_COLOR, toValue(getSourceColor()));
  d.addValue("Handles Color", PI_COLOR, toValue(getDefaultHandleColor()));
  d.addValue("Mute", PI_BOOL, false);
  d.addValue("Lock", PI_BOOL, false);
  d.addValue("Visible", PI_BOOL, true);

  d.require("Smoothing", PI_INT, p.smoothing);
  d.require("Fence", PI_BOOL, p.fence);
  d.require("Interpolation", PI_DOUBLE, p.interpolation);
  PiSocketDecl& gradient = d.requireStructure(kGradient, 1);
  gradient.require("Position", PI_DOUBLE, p.linkPosition);
  gradient.require("Distance", PI_DOUBLE, p.linkPosition);
  d.setMaskingMode(0);
}

CoRgbColorTyped<float> WarpShapeController::getSourceColor() { return {1, 0, 0}; }
CoRgbColorTyped<float> WarpShapeController::getDestinationColor() { return {0, 0, 1}; }
CoRgbColorTyped<float> WarpShapeController::getFenceColor() { return {0, 1, 0}; }
CoRgbColorTyped<float> WarpShapeController::getLinkColor() { return {0, 1, 1}; }
CoRgbColorTyped<float> WarpShapeController::getInterpolatedColor() { return {1, 0, 1}; }
CoRgbColorTyped<float> WarpShapeController::getDefaultHandleColor() { return {1, 1, 0}; }

void WarpShapeController::retrieveHandles() {
  _curveInput = getInput(kCurve);
  QX_ASSERT(!_curveInput.isNull());
  RCShdPtr<PiCompositeInput> const transformInput = composite(getInput(kTransform));
  QX_ASSERT(!transformInput.isNull());
  RCShdPtr<PiCompositeInput> const translationInput = composite(transformInput->getInput("Translation"));
  QX_ASSERT(!translationInput.isNull());
  _translationXInput = translationInput->getInput("X");
  _translationYInput = translationInput->getInput("Y");
  QX_ASSERT(!_translationXInput.isNull());
  QX_ASSERT(!_translationYInput.isNull());
  _rotationInput = transformInput->getInput("Rotation");
  QX_ASSERT(!_rotationInput.isNull());
  RCShdPtr<PiCompositeInput> const scaleInput = composite(transformInput->getInput("Scale"));
  QX_ASSERT(!scaleInput.isNull());
  _scaleXInput = scaleInput->getInput("X");
  _scaleYInput = scaleInput->getInput("Y");
  QX_ASSERT(!_scaleXInput.isNull());
  QX_ASSERT(!_scaleYInput.isNull());
  RCShdPtr<PiCompositeInput> const shearInput = composite(transformInput->getInput("Shear"));
  QX_ASSERT(!shearInput.isNull());
  _shearXInput = shearInput->getInput("X");
  _shearYInput = shearInput->getInput("Y");
  QX_ASSERT(!_shearXInput.isNull());
  QX_ASSERT(!_shearYInput.isNull());
  RCShdPtr<PiCompositeInput> const pivotInput = composite(transformInput->getInput("Pivot"));
  QX_ASSERT(!pivotInput.isNull());
  _pivotXInput = pivotInput->getInput("X");
  _pivotYInput = pivotInput->getInput("Y");
  QX_ASSERT(!_pivotXInput.isNull());
  QX_ASSERT(!_pivotYInput.isNull());
  RCShdPtr<PiCompositeInput> const translationOffsetInput = composite(getInput(kOffset));
  QX_ASSERT(!translationOffsetInput.isNull());
  _translationOffsetXInput = translationOffsetInput->getInput("X");
  _translationOffsetYInput = translationOffsetInput->getInput("Y");
  QX_ASSERT(!_translationOffsetXInput.isNull());
  QX_ASSERT(!_translationOffsetYInput.isNull());
  _linkValue = getValue("Link");
  QX_ASSERT(!_linkValue.isNull());
  _gradientInput = getInput(kGradient);
  QX_ASSERT(!_gradientInput.isNull());
  _curveColorValue = getValue("Curve Color");
  QX_ASSERT(!_curveColorValue.isNull());
  _handleColorValue = getValue("Handles Color");
  QX_ASSERT(!_handleColorValue.isNull());
  _muteValue = getValue("Mute");
  QX_ASSERT(!_muteValue.isNull());
  _visibleValue = getValue("Visible");
  QX_ASSERT(!_visibleValue.isNull());
  _lockValue = getValue("Lock");
  QX_ASSERT(!_lockValue.isNull());
  _fenceInput = getInput("Fence");
  QX_ASSERT(!_fenceInput.isNull());
  _smoothingInput = getInput("Smoothing");
  QX_ASSERT(!_smoothingInput.isNull());
  _interpolationInput = getInput("Interpolation");
  QX_ASSERT(!_interpolationInput.isNull());
}

void WarpShapeController::reset() {
  RCShdPtr<PiNode> const node = getNode();
  if (node.isNull()) return;
  PiUndoGuard guard("Reset " + node->getName());
  PiToolInterface::reset();
  _linkValue->setValue(true);
  setShapeColor(getSourceColor());
  _handleColorValue->setValue(toValue(getDefaultHandleColor()));
}

PxNodePtr<PxImageProtocol> WarpShapeController::createProcNode(PxNodePtr<PxImageProtocol> const& primary,
                                                               PiProcNodeProvider const& provider) {
  Warper2DProcNode::Inputs in;
  in.curve = PiCurveInputValue::createProcNode(_curveInput, provider);
  std::array<PxNodePtr<PxNode>, 9> transform;
  std::array<RCShdPtr<PiInput>, 9> const transformInputs = {
      _translationXInput, _translationYInput, _rotationInput, _shearXInput, _shearYInput,
      _scaleXInput,       _scaleYInput,       _pivotXInput,   _pivotYInput};
  for (std::size_t i = 0; i < transform.size(); ++i) transform[i] = provider.getValueNode(transformInputs[i]);
  in.matrix = PxNodePtr<PxAffineMatrix2Node>::create(transform, kTransform);
  in.offsetX = provider.getValueNode(_translationOffsetXInput);
  in.offsetY = provider.getValueNode(_translationOffsetYInput);

  std::vector<RCShdPtr<PiInput>> gradIt;
  collectLeaves(_gradientInput, gradIt);
  QX_ASSERT_TEXT(gradIt.size() % 2 == 0, "gradIt.getCardinality() % 2 == 0");
  in.links.reserve(gradIt.size());
  for (RCShdPtr<PiInput> const& leaf : gradIt) in.links.push_back(provider.getValueNode(leaf));

  RCShdPtr<PiNode> const node = getNode();
  return PxNodePtr<Warper2DProcNode>::create(node ? node->getName() : std::string(WarpShapeTool::getName()), primary,
                                             in);
}

void WarpShapeController::valueChanged(RCShdPtr<PiValue> const& value) {
  // Stored values are the display values (colours, "Visible", "Mute",
  // "Lock", "Link"); inputs change the shape itself, which viewers follow
  // through the command state.
  if (!value.isNull() && value->getInput().isNull()) notifyCurveRepresentationChanged();
}

std::string WarpShapeController::getUIDescriptionPath() const { return "<ToolUiDir>/warper2DWarpShapeTool.xml"; }

RCShdPtr<RCBase<LkCounter<int>>> WarpShapeController::createInstanceData(RCShdPtr<PiWidget> const& widget,
                                                                         RCShdPtr<const PiTimePath> const& timePath) {
  WarpShapeInstanceDataFactory const factory = WarpShapeTool::getInstanceDataFactory();
  return factory ? factory(*this, widget, timePath) : RCShdPtr<RCBase<LkCounter<int>>>();
}

void WarpShapeController::resetTransformation() {
  PiUndoGuard guard("Reset Transformation");
  for (RCShdPtr<PiInput> const& input :
       {_translationXInput, _translationYInput, _rotationInput, _shearXInput, _shearYInput, _scaleXInput, _scaleYInput,
        _pivotXInput, _pivotYInput, _translationOffsetXInput, _translationOffsetYInput})
    PiToolInterface::reset(input);
}

unsigned WarpShapeController::getCommandState() {
  RCShdPtr<PiNode> const node = getNode();
  RCShdPtr<PiGraph> const graph = node ? node->getGraph() : RCShdPtr<PiGraph>();
  PiCommandStack const* const stack = graph ? graph->getCommandStack() : nullptr;
  return stack ? stack->getState() : 0u;
}

void WarpShapeController::resetComposition() {
  PiUserSettings const& settings = PiUserSettings::getInstance();
  char const* const tool = getUserSettingsToolName();
  int smoothing = settings.getInt(tool, getUserSmoothingName(), WarpGridProc::Bidirectional);
  // A preference the enumeration does not list (a hand-edited file) falls
  // back to the factory value rather than failing the reset.
  if (smoothing < WarpGridProc::Bidirectional || smoothing > WarpGridProc::None)
    smoothing = WarpGridProc::Bidirectional;
  bool const fence = settings.getBool(tool, getUserFenceName(), false);
  double const interpolation = settings.getDouble(tool, getUserInterpolationName(), 1.0);
  PiUndoGuard guard("Reset Composition");
  _smoothingInput->setValue(smoothing);
  _fenceInput->setValue(fence);
  _interpolationInput->setValue(interpolation);
}

bool WarpShapeController::areLinksVisible(RCShdPtr<const PiTimePath> const& timePath) const {
  if (_fenceInput.isNull()) return false;
  return !_fenceInput->getBool(timePath.isNull() ? 0.0 : timePath->getTime());
}

void WarpShapeController::setShapeColor(CoRgbColorTyped<float> const& color) {
  _curveColorValue->setValue(toValue(color));
}

void WarpShapeController::copyShapeToClipboard() const {
  auto const snapshot = makeRC<ShapeClipboardObject>(_curveInput);
  RCShdPtr<SnSelection> const selection = SnSelection::create();
  selection->addItem(SnItemBasic<RCShdPtr<ShapeClipboardObject>>::create(snapshot));
  DrClipboard::getInstance().setContent(DrCarrier::create(RCShdPtr<const SnSelection>(selection)), DrAction::Copy);
}

void WarpShapeController::pasteShapeFromClipboard() {
  RCShdPtr<DrCarrier> const content = DrClipboard::getInstance().getContent();
  if (content.isNull()) return;
  RCShdPtr<const SnSelection> const selection = content->getSelection();
  if (selection.isNull()) return;
  auto const item = selection->findFirst<RCShdPtr<ShapeClipboardObject>>();
  if (item.isNull() || item->getValue().isNull()) return;
  PiUndoGuard guard("Paste Shape");
  item->getValue()->applyTo(_curveInput);
}

}  // namespace Qx::Warper2D
