// The "Warp 2D" super tool: registration and policies, the crop node on its
// output, and the controller that builds the internal graph, keeps the shape
// pairs in step with the generator's entries and serves the shape editor.
#include "warper2DSuperTool.h"

#include <algorithm>
#include <utility>

#include "base/assertions.h"
#include "framework/piUserSettings.h"
#include "internalAPI/piCurveInputValue.h"
#include "internalAPI/piGraphUtils.h"
#include "pluginAPI/piProcNodeHook.h"
#include "primitives/ipCrop.h"
#include "resmgt/osEnv.h"
#include "emptyImageTool.h"
#include "warpResamplerTool.h"
#include "warpShapeTool.h"

namespace Qx::Warper2D {

namespace {

char const* const kInputImage = "Input Image";
char const* const kOutputImage = "Output Image";
char const* const kCreationName = "CreationName";
char const* const kCreationFence = "CreationFence";
char const* const kCreationSmoothing = "CreationSmoothing";
char const* const kCreationInterpolation = "CreationInterpolation";
char const* const kLinkViewDensity = "OptLinkViewDensity";
char const* const kEditableVariable = "QX_EDITABLE_2DWARPER_GROUP";

// Module-wide state, from the package's initialisation to its finalisation.
struct ModuleState {
  bool editableGroup = false;
  Warper2DEventHandlerFactory eventHandlerFactory = nullptr;
  Warper2DInstanceDataFactory instanceDataFactory = nullptr;
  PiCropNodeUtil::Policies crop;
  // The output parameters' policies: the same ranges, enumerations and
  // defaults as the internal tool that owns each input, so that the super
  // tool's input and the one that follows it agree.
  RCShdPtr<const PiInputPolicy> quality, renderSmoothing, boundary, filter, invertWarp, interpolation, timing;
  RCShdPtr<const PiInputPolicy> creationSmoothing, creationInterpolation, linkViewDensity;
};
ModuleState& state() {
  static ModuleState s;
  return s;
}

// The seven output parameters in the order the user reset writes them.
std::vector<std::string> outputParameterNames() {
  using C = Warper2DSuperToolController;
  return {C::getTimingName(),  C::getGlobalInterpolationName(), C::getInvertWarpName(), C::getRenderQualityName(),
          C::getRenderSmoothingName(), C::getRenderBoundaryName(), C::getRenderFilterName()};
}

WarpShapeController& shapeController(RCShdPtr<PiNode> const& node) {
  return *rcCheckedCast<WarpShapeController>(node->getController());
}

bool isToolNode(RCShdPtr<PiNode> const& node, RCShdPtr<const PiTool> const& tool) {
  return !node.isNull() && !tool.isNull() && node->getTool()->getName() == tool->getName();
}

// The node whose output feeds `input`; null when it is unconnected.
RCShdPtr<PiNode> feedingNode(RCShdPtr<PiInput> const& input) {
  if (input.isNull() || !input->isConnected()) return RCShdPtr<PiNode>();
  return input->getSource()->getNode();
}

void connectIfNeeded(RCShdPtr<PiGraph> const& group, RCShdPtr<PiInput> const& input, RCShdPtr<PiOutput> const& output) {
  if (input->getSource().get() != output.get()) group->connect(input, output);
}

template <class T>
int indexIn(Vector<T> const& v, T const& x) {
  auto const it = std::find(v.begin(), v.end(), x);
  return it == v.end() ? -1 : static_cast<int>(it - v.begin());
}

template <class T>
void moveItem(Vector<T>& v, std::size_t from, std::size_t to) {
  if (from >= v.size() || to >= v.size()) return;
  T item = v[from];
  v.erase(v.begin() + static_cast<std::ptrdiff_t>(from));
  v.insert(v.begin() + static_cast<std::ptrdiff_t>(to), std::move(item));
}

}  // namespace

// --- tool -----------------------------------------------------------------------

char const* Warper2DSuperTool::getName() { return "Warp 2D"; }
char const* Warper2DSuperTool::getDescription() { return "Geometrically warps an input image in two dimensions."; }
char const* Warper2DSuperTool::getToolListFactoryName() { return "Warper2DToolList"; }

void Warper2DSuperTool::initialize() {
  std::string ignored;
  state().editableGroup = OsEnv::getVariable(kEditableVariable, ignored);
  Warper2DSuperToolController::initialize();
  PiToolRegistry::getInstance().registerTool(PiMorvaneToolProtocol::createGroupTool<Warper2DSuperToolController>(
      getName(), PiToolProtocol::getWarpingCategory(), 2, getDescription(), 1));
  PiExternalWidgetFactory::registerFactory(getToolListFactoryName(), makeRC<Warper2DToolListUIFactory>());
}

void Warper2DSuperTool::finalize() {
  Warper2DSuperToolController::finalize();
  EmptyImageTool::finalize();
}

RCShdPtr<const PiTool> Warper2DSuperTool::getTool() { return PiToolRegistry::getInstance().findTool(getName()); }
bool Warper2DSuperTool::isEditableGroup() { return state().editableGroup; }
void Warper2DSuperTool::setEventHandlerFactory(Warper2DEventHandlerFactory f) { state().eventHandlerFactory = f; }
Warper2DEventHandlerFactory Warper2DSuperTool::getEventHandlerFactory() { return state().eventHandlerFactory; }
void Warper2DSuperTool::setInstanceDataFactory(Warper2DInstanceDataFactory f) { state().instanceDataFactory = f; }
Warper2DInstanceDataFactory Warper2DSuperTool::getInstanceDataFactory() { return state().instanceDataFactory; }

RCShdPtr<PiWidget> Warper2DToolListUIFactory::createWidget() {
  return makeRC<PiXmlWidget>(createXmlDocument(getDescriptionPath()));
}

// --- crop node --------------------------------------------------------------------

CropNode::CropNode(PxNodePtr<PxImageProtocol> const& reference, PxNodePtr<PxImageProtocol> const& child,
                   std::vector<PxNodePtr<PxNode>> const& cropValues, std::string name)
    : PxImageNode(PxNodeInit{std::move(name), {}}, reference), _child(child), _params(cropValues) {}

PxImageFormat CropNode::computeImageFormat() const {
  if (getPrimaryInput().isNull() && !_child.isNull()) return _child->getImageFormat();
  return PxImageNode::computeImageFormat();
}

bool CropNode::isChainConnected() const { return !_child.isNull() && _child->isChainConnected(); }

CoRgbaColorTyped<float> CropNode::getImageFillColor() const {
  return _child.isNull() ? PxImageNode::getImageFillColor() : _child->getImageFillColor();
}

PxRODResult CropNode::computeROD(PxImageContext const& context) const {
  if (_child.isNull()) return {GeRectangle<float>(), PxValidityInterval::FULL};
  PxRODResult r = _child->computeROD(context);
  if (_params.isAutoCrop(context.getTime(), r.validity)) return r;
  r.rod = _params.computeImageROD(context.getTime(), r.rod, getImageFormat(), r.validity);
  return r;
}

PxImageResult CropNode::computeImage(PxImageContext const& context) const {
  PxValidityInterval validity = PxValidityInterval::FULL;
  if (_child.isNull()) return {allocateEmptyImageBuffer(context, getImageFillColor()), validity};
  if (_params.isAutoCrop(context.getTime(), validity)) {
    PxImageResult r = _child->computeImage(context);
    r.validity = reduceVI(r.validity, validity);
    return r;
  }
  GeRectangle<int> const crop = computePixelROD(context, validity) & context.getPixelRegion();
  if (crop.isEmpty()) return {allocateEmptyImageBuffer(context, getImageFillColor()), validity};
  PxImageResult child = _child->computeImage(context);
  validity = reduceVI(validity, child.validity);
  if (child.tile.isValid() && child.tile.getPixelRegion() == crop &&
      child.tile.getPixelFormat() == getImageFormat().getPixelFormat())
    return {child.tile, validity};
  IxTile out = allocateImageBuffer(crop);
  if (child.tile.isValid()) ipCrop(IxReadGuard(child.tile), IxWriteGuard(out));
  return {out, validity};
}

// --- controller: statics ----------------------------------------------------------------

std::string Warper2DSuperToolController::getRenderQualityName() { return "Quality"; }
std::string Warper2DSuperToolController::getRenderSmoothingName() { return "Smoothing"; }
std::string Warper2DSuperToolController::getRenderBoundaryName() { return "Boundary"; }
std::string Warper2DSuperToolController::getRenderFilterName() { return "Filter"; }
std::string Warper2DSuperToolController::getInvertWarpName() { return "Invert Warp"; }
std::string Warper2DSuperToolController::getGlobalInterpolationName() { return "Interpolation"; }
std::string Warper2DSuperToolController::getTimingName() { return "Timing"; }
std::string Warper2DSuperToolController::getDestinationOutputName() { return "Destination Image"; }
std::string Warper2DSuperToolController::getInputImageName() { return kInputImage; }
std::string Warper2DSuperToolController::getOutputImageName() { return kOutputImage; }

void Warper2DSuperToolController::initialize() {
  using U = PiCropNodeUtil;
  using Size = U::CompositionSizePolicy<Warper2DSuperToolController>;
  ModuleState& s = state();
  s.crop = U::getStandardPolicies(0, 0);
  GePoint2<int> const maxSize = PiCompositionGraphInterface::getMaxCompositionSize();
  s.crop[U::kWindowWidth] = Size::create(0, 0, maxSize.x(), 0, true, false);
  s.crop[U::kWindowHeight] = Size::create(1, 0, maxSize.y(), 0, true, false);
  s.crop[U::kAbsoluteLeft] = Size::create(4, -100000, 100000, 0, true, false);
  s.crop[U::kAbsoluteTop] = Size::create(3, -100000, 100000, 0, true, false);
  s.crop[U::kAbsoluteRight] = Size::create(2, -100000, 100000, 0, true, false);
  s.crop[U::kAbsoluteBottom] = Size::create(5, -100000, 100000, 0, true, false);

  s.quality = PiRangeInputPolicy<double>::create(1.0, 10.0, 1.0, true, false);
  s.renderSmoothing = PiEnumPolicy::Builder().addPair(0, "Skew").addPair(1, "Rigid").setDefaultValue(0);
  s.boundary = PiEnumPolicy::Builder().addPair(1, "Free").addPair(0, "Fixed").setDefaultValue(0);
  s.filter = WarpResamplerController::createFilterPolicy();
  s.invertWarp = PiSwitchInputPolicy::create(false, true, false);
  s.interpolation = PiRangeInputPolicy<double>::create(0.0, 1.0, 1.0, true, false);
  s.timing = PiEnumPolicy::Builder().addPair(0, "Global").addPair(1, "Shape").setDefaultValue(0);
  s.creationSmoothing = PiEnumPolicy::Builder()
                            .addPair(WarpGridProc::Bidirectional, "Bidirectional")
                            .addPair(WarpGridProc::Inside, "Inside")
                            .addPair(WarpGridProc::Outside, "Outside")
                            .addPair(WarpGridProc::None, "None")
                            .setDefaultValue(WarpGridProc::Bidirectional);
  s.creationInterpolation = PiRangeInputPolicy<double>::create(0.0, 1.0, 1.0, true, false);
  // Links drawn per unit of curve length, relative to the viewer's default.
  s.linkViewDensity = PiRangeInputPolicy<double>::create(0.0, 10.0, 1.0, true, false);
}

void Warper2DSuperToolController::finalize() {
  ModuleState& s = state();
  s.crop = PiCropNodeUtil::Policies{};
  s.quality = s.renderSmoothing = s.boundary = s.filter = s.invertWarp = s.interpolation = s.timing = nullptr;
  s.creationSmoothing = s.creationInterpolation = s.linkViewDensity = nullptr;
}

void Warper2DSuperToolController::describe(PiToolPolicyDescriptor& d) {
  ModuleState const& s = state();
  d.require(kInputImage, PI_IMAGE, PiImageInputPolicy::createPrimary(4, 7, 1, 0, false));
  PiCropNodeUtil::describe(d, s.crop);
  d.require(getRenderQualityName(), PI_DOUBLE, s.quality);
  d.require(getRenderSmoothingName(), PI_INT, s.renderSmoothing);
  d.require(getRenderBoundaryName(), PI_INT, s.boundary);
  d.require(getRenderFilterName(), PI_INT, s.filter);
  d.require(getInvertWarpName(), PI_BOOL, s.invertWarp);
  d.require(getGlobalInterpolationName(), PI_DOUBLE, s.interpolation);
  d.require(getTimingName(), PI_INT, s.timing);
  d.addValue(kCreationName, PI_STRING, "S");
  d.addValue(kCreationFence, PI_BOOL, false);
  d.addValue(kCreationSmoothing, PI_INT, 0, s.creationSmoothing);
  d.addValue(kCreationInterpolation, PI_DOUBLE, 1.0, s.creationInterpolation);
  d.addValue(kLinkViewDensity, PI_DOUBLE, 1.0, s.linkViewDensity);
  SeShapeEditor::describe(d);
  d.addValue(PiImageGenerator::getFormatValueName(), PI_STRING, "");
  d.addOutput(kOutputImage);
  d.addOutput(getDestinationOutputName());
}

Warper2DSuperToolController& Warper2DSuperToolController::get(RCShdPtr<PiNode> const& node) {
  return *rcCheckedCast<Warper2DSuperToolController>(node->getController());
}

// --- controller: life ----------------------------------------------------------------

// Opens the internal graph for the controller's own edits and closes it
// again however the edit ends.
class Warper2DSuperToolController::EditScope {
 public:
  explicit EditScope(Warper2DSuperToolController& c) : _c(c), _saved(c.editable) { c.editable = true; }
  ~EditScope() { _c.editable = _saved; }

 private:
  Warper2DSuperToolController& _c;
  bool _saved;
};

Warper2DSuperToolController::Warper2DSuperToolController()
    : editable(Warper2DSuperTool::isEditableGroup()),
      _shapeEventHandler(this, &Warper2DSuperToolController::shapeEvent),
      _selectionHandler(this, &Warper2DSuperToolController::selectionChanged),
      _inputMovedHandler(this, &Warper2DSuperToolController::inputMovedInMulti),
      _selector(std::make_unique<SeShapeSelector>()) {
  addCallback(ShapeAdded, &_shapeEventHandler);
  addCallback(ShapeRemoved, &_shapeEventHandler);
  _selector->addChangeCallback(&_selectionHandler);
}

Warper2DSuperToolController::~Warper2DSuperToolController() {
  // The updater follows the selector: it goes first.
  _selectorUpdater.reset();
}

RCShdPtr<PiGraph> Warper2DSuperToolController::getGroup() const { return getNode()->getInnerGraph(); }

WarpGeneratorController& Warper2DSuperToolController::getWarpGeneratorController() const {
  return *rcCheckedCast<WarpGeneratorController>(_warpGeneratorNode->getController());
}

void Warper2DSuperToolController::retrieveValueHandles() {
  RCShdPtr<PiNode> const node = getNode();
  _creationName = PiTypedValue<std::string>(node->getValue(kCreationName));
  _creationSmoothing = PiTypedValue<int>(node->getValue(kCreationSmoothing));
  _creationFence = PiTypedValue<bool>(node->getValue(kCreationFence));
  _creationInterpolation = PiTypedValue<double>(node->getValue(kCreationInterpolation));
  _linkViewDensity = PiTypedValue<double>(node->getValue(kLinkViewDensity));
  retrieveValues();
}

void Warper2DSuperToolController::installSelectionUpdater() {
  _selectorUpdater = std::make_unique<SeSelectorUpdater>(*_selector, [this](RCShdPtr<PiGraphObject> const& object) {
    return isShapeNode(rcDynamicCast<PiNode>(object));
  });
}

void Warper2DSuperToolController::nodeCreated() {
  EditScope scope(*this);
  retrieveValueHandles();
  RCShdPtr<PiGraph> const group = getGroup();
  RCShdPtr<PiOutput> const input = PiGroupUtils::getBoundaryOutput(group, kInputImage);

  _emptyImageNode = group->createNode(EmptyImageTool::getTool(), getEmptyImageNodeName());
  group->connect(_emptyImageNode->getInput(PiImageModifier::getSingleInputName()), input);

  _warpGeneratorNode = group->createNode(WarpGeneratorTool::getTool(), getWarpGeneratorNodeName());
  getWarpGeneratorController().addInputMovedInMultiCallback(&_inputMovedHandler);
  group->connect(_warpGeneratorNode->getInput(PiImageModifier::getSingleInputName()), input);

  _warpResamplerNode = group->createNode(WarpResamplerTool::getTool(), getWarpResamplerNodeName());
  group->connect(_warpResamplerNode->getInput(PiImageModifier::getSingleInputName()), input);
  group->connect(_warpResamplerNode->getInput(WarpResamplerController::getMeshInputName()),
                 _warpGeneratorNode->getOutput(PiImageGenerator::getOutputName()));
  group->connect(_warpResamplerNode->getInput(WarpResamplerController::getDestinationMeshInputName()),
                 _warpGeneratorNode->getOutput(getDestinationOutputName()));

  // Every internal input of an output parameter's name follows the super
  // tool's input, so the user edits each parameter in one place and the
  // generator and the resampler always agree on "Quality" and "Boundary".
  for (std::string const& name : outputParameterNames())
    for (RCShdPtr<PiNode> const& internal : {_warpGeneratorNode, _warpResamplerNode})
      if (RCShdPtr<PiInput> const in = internal->getInput(name))
        group->connect(in, PiGroupUtils::getBoundaryOutput(group, name));

  group->connect(PiGroupUtils::getBoundaryInput(group, kOutputImage),
                 _warpResamplerNode->getOutput(PiImageModifier::getOutputName()));
  group->connect(PiGroupUtils::getBoundaryInput(group, getDestinationOutputName()),
                 _warpResamplerNode->getOutput(getDestinationOutputName()));
  installSelectionUpdater();
}

void Warper2DSuperToolController::nodeLoaded() {
  retrieveValueHandles();
  RCShdPtr<PiGraph> const group = getGroup();
  _emptyImageNode = group->findNode(std::string(getEmptyImageNodeName()));
  QX_ASSERT(!_emptyImageNode.isNull());
  _warpGeneratorNode = group->findNode(std::string(getWarpGeneratorNodeName()));
  QX_ASSERT(!_warpGeneratorNode.isNull());
  _warpResamplerNode = group->findNode(std::string(getWarpResamplerNodeName()));
  QX_ASSERT(!_warpResamplerNode.isNull());
  getWarpGeneratorController().addInputMovedInMultiCallback(&_inputMovedHandler);
  rebuildLists();
  {
    PiUndoGuardNoLog noLog;
    adjustShapeVisibility();
  }
  installSelectionUpdater();
}

bool Warper2DSuperToolController::isShapeNode(RCShdPtr<PiNode> const& node) const {
  RCShdPtr<PiNode> const self = getNode();
  return isToolNode(node, WarpShapeTool::getTool()) && !self.isNull() && node->getGraph() == self->getInnerGraph();
}

bool Warper2DSuperToolController::isInternalNode(RCShdPtr<PiNode> const& node) const {
  return isToolNode(node, EmptyImageTool::getTool()) || isToolNode(node, WarpShapeTool::getTool()) ||
         isToolNode(node, WarpGeneratorTool::getTool());
}

std::string Warper2DSuperToolController::getUIDescriptionPath() const { return "<ToolUiDir>/warper2DSuperTool.xml"; }

RCShdPtr<RCBase<LkCounter<int>>> Warper2DSuperToolController::createInstanceData(
    RCShdPtr<PiWidget> const& widget, RCShdPtr<const PiTimePath> const& timePath) {
  Warper2DInstanceDataFactory const g = state().instanceDataFactory;
  if (!g) return RCShdPtr<RCBase<LkCounter<int>>>();
  return g(*this, widget, timePath, _warpGeneratorNode->getOutput(PiImageModifier::getOutputName()));
}

RCStrongPtr<PiEventHandler> Warper2DSuperToolController::createEventHandler(PiViewer& viewer,
                                                                           RCShdPtr<PiNode> const& node,
                                                                           RCShdPtr<PiPath> const& path) {
  Warper2DEventHandlerFactory const f = state().eventHandlerFactory;
  if (!f) return RCStrongPtr<PiEventHandler>();
  return f(viewer, node, path, *this, _warpGeneratorNode->getOutput(PiImageModifier::getOutputName()));
}

PxNodePtr<PxNode> Warper2DSuperToolController::createOutputProcNode(RCShdPtr<PiOutput> const& output,
                                                                   PxNodePtr<PxNode> const& inner,
                                                                   PiProcNodeProvider const& provider) {
  if (output->getName() != kOutputImage) return PiGroupTopologyInterface::createOutputProcNode(output, inner, provider);
  std::vector<PxNodePtr<PxNode>> values;
  for (int s = 0; s < PiCropNodeUtil::kSocketCount; ++s)
    values.push_back(provider.getValueNode(PiCropNodeUtil::getSocketName(static_cast<PiCropNodeUtil::Socket>(s))));
  PxNodePtr<PxImageProtocol> const reference = provider.getInputNode(kInputImage).cast<PxImageProtocol>();
  auto const crop = PxNodePtr<CropNode>::create(reference, inner.cast<PxImageProtocol>(), values);
  return PiProcNodeFactory::createOutputNode(output, crop);
}

// --- pair lists --------------------------------------------------------------------

void Warper2DSuperToolController::rebuildLists() {
  sourceShapes.clear();
  destinationShapes.clear();
  RCShdPtr<PiMultivaluedInput> const shapesInput = getWarpGeneratorController().getShapesInput();
  QX_ASSERT(!shapesInput.isNull());
  for (std::size_t i = 0; i < shapesInput->getEntryCount(); ++i) {
    auto const entry = rcDynamicCast<PiCompositeInput>(shapesInput->getEntry(i));
    RCShdPtr<PiNode> const src = feedingNode(entry->getInput(WarpGeneratorController::getSourceInputName()));
    RCShdPtr<PiNode> const dst = feedingNode(entry->getInput(WarpGeneratorController::getDestinationInputName()));
    // Half an entry exists only in the middle of an undo or redo, which
    // completes it before it ends.
    if (src.isNull() || dst.isNull()) continue;
    sourceShapes.push_back(src);
    destinationShapes.push_back(dst);
  }
  // A shape node in no entry is the shape being drawn: its source waits for
  // shapeCompleted, last in the list.
  for (RCShdPtr<PiNode> const& node : getGroup()->getNodes())
    if (isShapeNode(node) && indexIn(sourceShapes, node) < 0 && indexIn(destinationShapes, node) < 0)
      sourceShapes.push_back(node);
}

void Warper2DSuperToolController::syncLists() {
  if (!_listsStale) return;
  rebuildLists();
  if (!isUndoRedoOngoing()) _listsStale = false;
}

void Warper2DSuperToolController::nodeAdded(RCShdPtr<PiNode> const& node) {
  if (!isUndoRedoOngoing() || !isShapeNode(node)) return;
  _listsStale = true;
  signalEvent(ShapeAdded, SeShapeNode::create(node));
}

void Warper2DSuperToolController::nodeRemoved(RCShdPtr<PiNode> const& node) {
  // The node has left the group already: it is a shape node by its tool.
  if (!isUndoRedoOngoing() || !isToolNode(node, WarpShapeTool::getTool())) return;
  if (indexIn(sourceShapes, node) < 0 && indexIn(destinationShapes, node) < 0 && !_listsStale) return;
  _listsStale = true;
  signalEvent(ShapeRemoved, SeShapeNode::create(node));
}

void Warper2DSuperToolController::nodeRenamed(RCShdPtr<PiNode> const& node, std::string const& oldName) {
  (void)oldName;
  if (isShapeNode(node)) signalEvent(ShapeRenamed, SeShapeNode::create(node));
}

void Warper2DSuperToolController::inputMovedInMulti(WarpGeneratorController::MultiInfo const& info) {
  if (!isUndoRedoOngoing()) return;
  _listsStale = true;
  if (RCShdPtr<PiNode> const src = feedingNode(info.sourceShape)) signalEvent(ShapeMoved, SeShapeNode::create(src));
}

void Warper2DSuperToolController::shapeEvent(SeShapeEvent const& event) {
  // A shape that went is no longer selected, however it went (a delete, an
  // undo of its creation).
  if (event.type == ShapeRemoved) _selector->removeSelectedShape(event.shape);
}

void Warper2DSuperToolController::selectionChanged(SeShapeSelector const& selector) {
  if (selector.getSelectedCount() > 1) {
    setCurrentToolId(kMultipleSelectionToolId);
    return;
  }
  // One shape selected while a viewer handler is active: the user clicked
  // it in the viewer, so its points are what they want to edit.
  if (selector.getSelectedCount() == 1 && !getCurrentEventHandler().isNull())
    setCurrentToolId(kSingleSelectionToolId);
}

// --- shape editor --------------------------------------------------------------------

Iterator<RCShdPtr<PiNode>> Warper2DSuperToolController::getShapes() {
  syncLists();
  Vector<RCShdPtr<PiNode>> all(destinationShapes);
  all.insert(all.end(), sourceShapes.begin(), sourceShapes.end());
  return Iterator<RCShdPtr<PiNode>>::over(std::move(all));
}

Iterator<RCShdPtr<SeShape>> Warper2DSuperToolController::getAllShapes() {
  std::vector<RCShdPtr<SeShape>> shapes;
  for (Iterator<RCShdPtr<PiNode>> it = getShapes(); !it.atEnd(); it.next())
    shapes.push_back(SeShapeNode::create(it.item()));
  return Iterator<RCShdPtr<SeShape>>::over(std::move(shapes));
}

RCShdPtr<SeShape> Warper2DSuperToolController::getNextShape(RCShdPtr<SeShape> const& shapeObject) {
  QX_ASSERT(!shapeObject.isNull());
  return SeShapeEditor::getNextShape(shapeObject);
}

RCShdPtr<SeShape> Warper2DSuperToolController::getPreviousShape(RCShdPtr<SeShape> const& shapeObject) {
  QX_ASSERT(!shapeObject.isNull());
  return SeShapeEditor::getPreviousShape(shapeObject);
}

Iterator<RCShdPtr<PiNode>> Warper2DSuperToolController::getSourceShapes() {
  syncLists();
  return Iterator<RCShdPtr<PiNode>>::over(sourceShapes);
}

Iterator<RCShdPtr<PiNode>> Warper2DSuperToolController::getDestinationShapes() {
  syncLists();
  return Iterator<RCShdPtr<PiNode>>::over(destinationShapes);
}

Vector<RCShdPtr<PiNode>> const& Warper2DSuperToolController::getAllDestinationShapes() {
  syncLists();
  return destinationShapes;
}

Vector<RCShdPtr<PiNode>> const& Warper2DSuperToolController::getAllSourceShapes() {
  syncLists();
  return sourceShapes;
}

void Warper2DSuperToolController::getSelectedSourceShapes(Vector<RCShdPtr<PiNode>>& out) const {
  if (sourceShapes.size() != destinationShapes.size() || sourceShapes.empty()) return;
  for (std::size_t i = 0; i < sourceShapes.size(); ++i)
    if (_selector->isSelected(SeShapeNode::create(sourceShapes[i])) ||
        _selector->isSelected(SeShapeNode::create(destinationShapes[i])))
      out.push_back(sourceShapes[i]);
}

int Warper2DSuperToolController::findSourceShapePosition(RCShdPtr<PiNode> const& node) {
  syncLists();
  int const i = indexIn(sourceShapes, node);
  return i >= 0 ? i : indexIn(destinationShapes, node);
}

bool Warper2DSuperToolController::isSourceShape(RCShdPtr<PiNode> const& node) {
  syncLists();
  return indexIn(sourceShapes, node) >= 0;
}

RCShdPtr<PiNode> Warper2DSuperToolController::getSrcShape(RCShdPtr<PiNode> const& destination) {
  syncLists();
  int const i = indexIn(destinationShapes, destination);
  return i < 0 || i >= static_cast<int>(sourceShapes.size()) ? RCShdPtr<PiNode>() : sourceShapes[i];
}

RCShdPtr<PiNode> Warper2DSuperToolController::getDstShape(RCShdPtr<PiNode> const& source) {
  syncLists();
  int const i = indexIn(sourceShapes, source);
  return i < 0 || i >= static_cast<int>(destinationShapes.size()) ? RCShdPtr<PiNode>() : destinationShapes[i];
}

RCShdPtr<PiInput> Warper2DSuperToolController::getShapeCurveInput(RCShdPtr<PiNode> const& shapeNode) {
  return shapeController(shapeNode).getCurveInput();
}

RCShdPtr<SeShape> Warper2DSuperToolController::getShape(RCShdPtr<PiGraphObject> const& node) {
  RCShdPtr<PiNode> const n = rcDynamicCast<PiNode>(node);
  QX_ASSERT_TEXT(isShapeNode(n), "isShapeNode( node )");
  return SeShapeNode::create(n);
}

void Warper2DSuperToolController::connectToEmptyImage(RCShdPtr<PiNode> const& shapeNode) {
  connectIfNeeded(getGroup(), shapeNode->getInput(PiImageModifier::getSingleInputName()),
                  _emptyImageNode->getOutput(PiImageModifier::getOutputName()));
}

void Warper2DSuperToolController::addShapePair(RCShdPtr<PiNode> const& source, RCShdPtr<PiNode> const& destination,
                                               int position) {
  using G = WarpGeneratorController;
  RCShdPtr<PiGraph> const group = getGroup();
  RCShdPtr<PiMultivaluedInput> const shapes = getWarpGeneratorController().getShapesInput();
  auto const entry = rcDynamicCast<PiCompositeInput>(
      position < 0 ? shapes->addEntry() : shapes->insertEntry(static_cast<std::size_t>(position)));
  group->connect(entry->getInput(G::getSourceInputName()), shapeController(source).getOutput());
  group->connect(entry->getInput(G::getDestinationInputName()), shapeController(destination).getOutput());
  // The per-shape settings are the source's: the entry follows its inputs.
  for (std::string const& name : {G::getSmoothingInputName(), G::getFenceInputName(), G::getInterpolationInputName()})
    group->connect(entry->getInput(name), source->getInput(name)->getCarrierOutput());
}

RCShdPtr<SeShape> Warper2DSuperToolController::createShape(double time) {
  (void)time;  // a new shape's values are constants, not keys at the drawing time
  shapeCompleted();
  RCShdPtr<PiNode> node;
  {
    EditScope scope(*this);
    PiUndoGuard guard("Add Shape");
    RCShdPtr<PiGraph> const group = getGroup();
    node = group->createNode(WarpShapeTool::getTool(), PiGraphUtils::findUniqueNodeName(group, getCreationName(), 1));
    {
      PiUndoGuardNoLog noLog;
      WarpShapeController& shape = shapeController(node);
      shape.getSmoothingInput()->setValue(static_cast<int>(getCreationSmoothing()));
      shape.getFenceInput()->setValue(getCreationFence());
      shape.getInterpolationInput()->setValue(static_cast<double>(getCreationInterpolation()));
    }
    sourceShapes.push_back(node);
    connectToEmptyImage(node);
  }
  RCShdPtr<SeShape> const shape = SeShapeNode::create(node);
  signalEvent(ShapeAdded, shape);
  return shape;
}

void Warper2DSuperToolController::shapeCompleted() {
  syncLists();
  if (sourceShapes.size() == destinationShapes.size()) return;
  RCShdPtr<PiNode> destination;
  {
    EditScope scope(*this);
    PiUndoGuard guard("Add Destination Shape");
    RCShdPtr<PiNode> const source = sourceShapes.back();
    destination = PiGroupUtils::copyNode(source, getGroup());
    destinationShapes.push_back(destination);
    shapeController(destination).setShapeColor(WarpShapeController::getDestinationColor());
    {
      PiUndoGuardNoLog noLog;
      WarpShapeController& src = shapeController(source);
      src.setShapeColor(src.getFenceInput()->getBool() ? WarpShapeController::getFenceColor()
                                                       : WarpShapeController::getSourceColor());
      adjustShapeVisibility();
    }
    connectToEmptyImage(destination);
    addShapePair(source, destination, -1);
  }
  RCShdPtr<SeShape> const shape = SeShapeNode::create(destination);
  _selector->setPrimarySelectedShape(shape, -1);
  signalEvent(ShapeAdded, shape);
}

RCShdPtr<SeShape> Warper2DSuperToolController::duplicateShape(RCShdPtr<SeShape> const& shapeObject) {
  RCShdPtr<PiNode> source, destination;
  duplicateShape(SeShapeNode::getNode(shapeObject), source, destination);
  return SeShapeNode::create(source);
}

void Warper2DSuperToolController::duplicateShape(RCShdPtr<PiNode> const& node, RCShdPtr<PiNode>& newSource,
                                                 RCShdPtr<PiNode>& newDestination) {
  int const p = findSourceShapePosition(node);
  // A shape still being drawn has no destination to copy: nothing to do.
  if (p < 0 || p >= static_cast<int>(destinationShapes.size())) return;
  {
    EditScope scope(*this);
    PiUndoGuard guard("Duplicate Shape");
    RCShdPtr<PiGraph> const group = getGroup();
    RCShdPtr<PiNode> const source = sourceShapes[p];
    newSource = PiGroupUtils::copyNode(source, group);
    std::string const name = PiGraphUtils::findUniqueNodeName(group, source->getName() + " Copy", 1);
    group->renameNode(newSource, name);
    newDestination = PiGroupUtils::copyNode(destinationShapes[p], group);
    // The partners of a pair share their name, as renameShape keeps them.
    group->renameNode(newDestination, name);
    connectToEmptyImage(newSource);
    connectToEmptyImage(newDestination);
    addShapePair(newSource, newDestination, p + 1);
    sourceShapes.insert(sourceShapes.begin() + p + 1, newSource);
    destinationShapes.insert(destinationShapes.begin() + p + 1, newDestination);
  }
  signalEvent(ShapeAdded, SeShapeNode::create(newSource));
  signalEvent(ShapeAdded, SeShapeNode::create(newDestination));
}

void Warper2DSuperToolController::deleteShape(RCShdPtr<SeShape> const& shapeObject) {
  QX_ASSERT(!shapeObject.isNull());
  RCShdPtr<PiNode> const node = SeShapeNode::getNode(shapeObject);
  int const i = findSourceShapePosition(node);
  if (i < 0) return;
  if (_selector->isPrimarySelectedShape(shapeObject)) _selector->reset();
  RCShdPtr<PiNode> const source = sourceShapes[i];
  RCShdPtr<PiNode> const destination =
      i < static_cast<int>(destinationShapes.size()) ? destinationShapes[i] : RCShdPtr<PiNode>();
  {
    EditScope scope(*this);
    PiUndoGuard guard("Delete Shape");
    PiCompositionUtils::removeNode(source, false);
    if (!destination.isNull()) PiCompositionUtils::removeNode(destination, false);
    sourceShapes.erase(sourceShapes.begin() + i);
    if (!destination.isNull()) destinationShapes.erase(destinationShapes.begin() + i);
    RCShdPtr<PiMultivaluedInput> const shapes = getWarpGeneratorController().getShapesInput();
    if (!destination.isNull() && i < static_cast<int>(shapes->getEntryCount())) shapes->removeEntry(i);
  }
  signalEvent(ShapeRemoved, SeShapeNode::create(source));
  if (!destination.isNull()) signalEvent(ShapeRemoved, SeShapeNode::create(destination));
}

void Warper2DSuperToolController::movePair(RCShdPtr<PiNode> const& node, int to) {
  int const p = findSourceShapePosition(node);
  {
    EditScope scope(*this);
    PiUndoGuard guard("Move Shape");
    getWarpGeneratorController().getShapesInput()->moveEntry(p, to);
    moveItem(sourceShapes, p, to);
    moveItem(destinationShapes, p, to);
  }
  signalEvent(ShapeMoved, SeShapeNode::create(node));
}

// Only complete pairs move: the shape being drawn has no entry to move and
// stays last until it is completed.
void Warper2DSuperToolController::moveUp(RCShdPtr<PiNode> const& node) {
  int const p = findSourceShapePosition(node), n = static_cast<int>(destinationShapes.size());
  if (p >= 0 && p < n - 1) movePair(node, p + 1);
}
void Warper2DSuperToolController::moveDown(RCShdPtr<PiNode> const& node) {
  int const p = findSourceShapePosition(node), n = static_cast<int>(destinationShapes.size());
  if (p > 0 && p < n) movePair(node, p - 1);
}
void Warper2DSuperToolController::moveTop(RCShdPtr<PiNode> const& node) {
  int const p = findSourceShapePosition(node), n = static_cast<int>(destinationShapes.size());
  if (p >= 0 && p < n - 1) movePair(node, n - 1);
}
void Warper2DSuperToolController::moveBottom(RCShdPtr<PiNode> const& node) {
  int const p = findSourceShapePosition(node), n = static_cast<int>(destinationShapes.size());
  if (p > 0 && p < n) movePair(node, 0);
}

void Warper2DSuperToolController::renameShape(RCShdPtr<SeShape> const& shape, std::string const& name) {
  QX_ASSERT(!shape.isNull());
  RCShdPtr<PiNode> const node = SeShapeNode::getNode(shape);
  QX_ASSERT_TEXT(isShapeNode(node), "isShapeNode( shape )");
  if (name == node->getName()) return;
  RCShdPtr<PiNode> const partner = isSourceShape(node) ? getDstShape(node) : getSrcShape(node);
  EditScope scope(*this);
  PiUndoGuard guard("Rename Shape");
  RCShdPtr<PiGraph> const group = getGroup();
  std::string const unique = PiGraphUtils::findUniqueNodeName(group, name, 1);
  group->renameNode(node, unique);
  if (!partner.isNull()) group->renameNode(partner, unique);
}

// --- visibility -------------------------------------------------------------------------

void Warper2DSuperToolController::setShapeVisibility(ViewShapeType type, bool visible) {
  viewFlags = visible ? (viewFlags | type) : (viewFlags & ~static_cast<std::uint32_t>(type));
  adjustShapeVisibility();
  if (type & (kCurveView8 | kCurveView16)) _curveViewChanged.call();
}

void Warper2DSuperToolController::adjustShapeVisibility() {
  syncLists();
  // Display state follows the flags; it is not part of the user's history.
  PiUndoGuardNoLog noLog;
  auto const show = [](RCShdPtr<PiNode> const& node, bool visible) {
    RCShdPtr<PiValue> const v = shapeController(node).getVisibleValue();
    if (v->getBool() != visible) v->setValue(visible);
  };
  for (std::size_t i = 0; i < destinationShapes.size() && i < sourceShapes.size(); ++i) {
    bool const fence = shapeController(sourceShapes[i]).getFenceInput()->getBool();
    show(sourceShapes[i], getShapeVisibility(fence ? kFenceShapes : kSourceShapes));
    show(destinationShapes[i], getShapeVisibility(kDestinationShapes));
  }
}

// --- parameters ---------------------------------------------------------------------------

std::string Warper2DSuperToolController::getCreationName() { return _creationName.get(); }
void Warper2DSuperToolController::setCreationName(std::string const& name) { _creationName.set(name); }
WarpGridProc::Smoothing Warper2DSuperToolController::getCreationSmoothing() {
  return static_cast<WarpGridProc::Smoothing>(_creationSmoothing.get());
}
void Warper2DSuperToolController::setCreationSmoothing(WarpGridProc::Smoothing s) { _creationSmoothing.set(s); }
bool Warper2DSuperToolController::getCreationFence() const { return _creationFence.get(); }
void Warper2DSuperToolController::setCreationFence(bool fence) { _creationFence.set(fence); }
float Warper2DSuperToolController::getCreationInterpolation() const {
  return static_cast<float>(_creationInterpolation.get());
}
void Warper2DSuperToolController::setCreationInterpolation(float v) { _creationInterpolation.set(v); }
double Warper2DSuperToolController::getLinkViewDensity() const { return _linkViewDensity.get(); }
void Warper2DSuperToolController::setLinkViewDensity(double density) { _linkViewDensity.set(density); }

void Warper2DSuperToolController::resetToFactoryCreationParameters() {
  PiUndoGuardNoLog noLog;
  _creationName.set("S");
  _creationSmoothing.set(WarpGridProc::Bidirectional);
  _creationFence.set(false);
  _creationInterpolation.set(1.0);
  SeShapeEditor::resetToFactoryCreationParameters();
}

// The user's preferences live in the user settings under the tool's name, by
// the names of the values they preset (the shape renderer reads the same).
void Warper2DSuperToolController::resetToUserCreationParameters() {
  PiUndoGuardNoLog noLog;
  PiUserSettings const& u = PiUserSettings::getInstance();
  char const* const tool = Warper2DSuperTool::getName();
  _creationName.set(u.getString(tool, kCreationName, "S"));
  _creationSmoothing.set(u.getInt(tool, kCreationSmoothing, WarpGridProc::Bidirectional));
  _creationFence.set(u.getBool(tool, kCreationFence, false));
  _creationInterpolation.set(u.getDouble(tool, kCreationInterpolation, 1.0));
  SeShapeEditor::resetToUserCreationParameters();
}

RCShdPtr<PiInput> Warper2DSuperToolController::checkedInput(std::string const& name) const {
  RCShdPtr<PiInput> const input = getInput(name);
  QX_ASSERT(!input.isNull());
  return input;
}

void Warper2DSuperToolController::resetToFactoryOutputParameters() {
  using U = PiCropNodeUtil;
  PiUndoGuard guard("Reset Output parameters");
  for (U::Socket s : {U::kMode, U::kRelativeLeft, U::kRelativeBottom, U::kRelativeRight, U::kRelativeTop,
                      U::kAbsoluteLeft, U::kAbsoluteBottom, U::kAbsoluteRight, U::kAbsoluteTop, U::kWindowCenterX,
                      U::kWindowCenterY, U::kWindowWidth, U::kWindowHeight})
    PiToolInterface::reset(getCropInput(s));
  // The internal inputs follow the super tool's: resetting only theirs would
  // change nothing the user sees, so the super tool's input of each name is
  // reset with them.
  auto const resetBoth = [this](PiNodeController& internal, std::string const& name) {
    internal.reset(name);
    PiToolInterface::reset(checkedInput(name));
  };
  auto const warpGeneratorCtrl = rcDynamicCast<WarpGeneratorController>(_warpGeneratorNode->getController());
  QX_ASSERT_TEXT(!warpGeneratorCtrl.isNull(), "! warpGeneratorCtrl.isNull()");
  for (std::string const& name : {getRenderQualityName(), getRenderSmoothingName(), getRenderBoundaryName()})
    resetBoth(*warpGeneratorCtrl, name);
  auto const warpResamplerCtrl = rcDynamicCast<WarpResamplerController>(_warpResamplerNode->getController());
  QX_ASSERT_TEXT(!warpResamplerCtrl.isNull(), "! warpResamplerCtrl.isNull()");
  for (std::string const& name : {getTimingName(), getGlobalInterpolationName(), getInvertWarpName(),
                                  getRenderFilterName()})
    resetBoth(*warpResamplerCtrl, name);
}

void Warper2DSuperToolController::resetToUserOutputParameters() {
  PiUndoGuard guard("Reset Output parameters");
  PiUserSettings const& u = PiUserSettings::getInstance();
  char const* const tool = Warper2DSuperTool::getName();
  for (std::string const& name : outputParameterNames()) {
    PiValueData v;
    if (u.find(tool, name, v) && v.isNumeric()) checkedInput(name)->setValue(v.getDouble());
    else PiToolInterface::reset(checkedInput(name));
  }
  for (int s = 0; s < PiCropNodeUtil::kSocketCount; ++s) {
    RCShdPtr<PiInput> const input = getCropInput(static_cast<PiCropNodeUtil::Socket>(s));
    PiValueData v;
    if (u.find(tool, input->getName(), v) && v.isNumeric()) input->setValue(v.getInt());
    else PiToolInterface::reset(input);
  }
}

void Warper2DSuperToolController::reset() {
  PiUndoGuardNoLog noLog;
  resetToUserCreationParameters();
  resetToUserOutputParameters();
  resetToUserOptionParameters();
}

void Warper2DSuperToolController::displayCropManip(bool displayed) {
  cropManipDisplayed = displayed;
  _cropDisplayed.call();
}

RCShdPtr<const PiOutput> Warper2DSuperToolController::getResultRODOutput() const {
  return _warpResamplerNode->getOutput(PiImageModifier::getOutputName());
}

}  // namespace Qx::Warper2D
