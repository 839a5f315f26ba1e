// The "Warp 2D" super tool: the group node that holds a warp's internal
// graph and the controller that builds it, keeps the user's shapes and
// serves the host's shape editor.
//
// Inside a "Warp 2D" node: "Empty Image" (emptyImageTool.h) on the group's
// "Input Image", "Warp Generator" (warpGeneratorTool.h) on the same image,
// "Warp Resampler" (warpResamplerTool.h) on the generator's two meshes, and
// two "Warp 2D Shape Renderer" nodes per shape (warpShapeTool.h), a source
// and a destination, each on the empty image. The resampler feeds the
// group's "Output Image", through CropNode, and "Destination Image". Pair i
// is entry i of `sourceShapes` and of `destinationShapes` and entry i of the
// generator's "Shapes" input: its "Source Shape" and "Destination Shape"
// take the pair's outputs, its "Smoothing", "Fence" and "Interpolation"
// follow the source node's inputs of those names.
//
// Driving it from an application (what a command-line host does):
//
//   RCShdPtr<PiNode> warp = graph->createNode(Warper2DSuperTool::getName());
//   auto& ctrl = Warper2DSuperToolController::get(warp);
//   graph->connect(warp->getInput("Input Image"), reader->getOutput("Output"));
//   RCShdPtr<PiNode> src = SeShapeNode::getNode(ctrl.createShape(0.0));
//   PiCurveInputValue::setCurve(ctrl.getShapeCurveInput(src), sourceCurve);
//   ctrl.shapeCompleted();                              // copies src as its destination
//   PiCurveInputValue::setCurve(ctrl.getShapeCurveInput(ctrl.getDstShape(src)), destinationCurve);
//   ctrl.getRenderQualityInput()->setValue(4.0);        // output parameters
//   PiProcGraph procs(graph);
//   PxNodePtr<PxImageProtocol> out = procs.getImageNode(warp->getOutput("Output Image"));
//
// Undo: every user-visible edit (add shape, add destination, duplicate,
// delete, move, rename, output reset) is one command of the graph's stack
// under the names "Add Shape", "Add Destination Shape", "Duplicate Shape",
// "Delete Shape", "Move Shape", "Rename Shape", "Reset Output parameters".
// The host replays undone edits on the graph without calling the controller;
// the controller then takes its pair lists from the graph again (the
// generator's entries are the truth) before it next reads them, and signals
// the shapes that came and went as they do.
//
// Names. The output parameters' names are module-wide: the generator and
// the resampler declare their tool-level inputs and their second output
// under them, and the super tool declares its own inputs under the same
// names; inside the group each internal input follows the super tool's input
// of its name. They are plain static strings, valid at any time.
//
// Threading: everything here but CropNode belongs to the user-interface
// thread. CropNode is immutable once built and computes on any worker.
// Failures: missing internal objects fail the assertion service under the
// file name warper2DSuperTool; a null host handle raises
// NullPointerException; a controller of another class, CastException.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/cbDispatcher.h"
#include "base/iterator.h"
#include "base/rcPtr.h"
#include "base/vector.h"
#include "internalAPI/piCropNodeUtil.h"
#include "internalAPI/piExternalWidgetFactory.h"
#include "internalAPI/piTypedValue.h"
#include "pluginAPI/piNodeController.h"
#include "pluginAPI/piUserInterface.h"
#include "pluginAPI/pxImageProtocol.h"
#include "shape/seShapeEditor.h"
#include "shape/seShapeSelector.h"
#include "warpGeneratorTool.h"
#include "warpGridProc.h"

namespace Qx::Warper2D {

class Warper2DSuperToolController;

// Viewer hooks, set by the module that supplies the interactive viewer code.
using Warper2DEventHandlerFactory = RCStrongPtr<PiEventHandler> (*)(PiViewer&, RCShdPtr<PiNode> const&,
                                                                    RCShdPtr<PiPath> const&,
                                                                    Warper2DSuperToolController&,
                                                                    RCShdPtr<PiOutput> const&);
using Warper2DInstanceDataFactory = RCShdPtr<RCBase<LkCounter<int>>> (*)(Warper2DSuperToolController&,
                                                                         RCShdPtr<PiWidget> const&,
                                                                         RCShdPtr<const PiTimePath> const&,
                                                                         RCShdPtr<PiOutput> const&);

class Warper2DSuperTool {
 public:
  static char const* getName();         // "Warp 2D"
  static char const* getDescription();  // "Geometrically warps an input image in two dimensions."
  static char const* getToolListFactoryName();  // "Warper2DToolList"

  // Reads the editable flag from "QX_EDITABLE_2DWARPER_GROUP" (set means
  // true), builds the controller's policies, registers the group tool and
  // the tool-list widget factory. The registries take both back when the
  // module's package finalises.
  static void initialize();
  // Releases the controller's policies; the empty image tool's finalisation
  // runs again here (it is harmless when repeated).
  static void finalize();
  static RCShdPtr<const PiTool> getTool();
  // The module-wide flag every new controller copies into `editable`.
  static bool isEditableGroup();

  // One module-wide function pointer each; null until set.
  static void setEventHandlerFactory(Warper2DEventHandlerFactory factory);
  static Warper2DEventHandlerFactory getEventHandlerFactory();
  static void setInstanceDataFactory(Warper2DInstanceDataFactory factory);
  static Warper2DInstanceDataFactory getInstanceDataFactory();
};

// The "Warper2DToolList" widget: built from "<ToolUiDir>/warper2DToolList.xml".
class Warper2DToolListUIFactory final : public PiExternalWidgetFactory {
 public:
  static char const* getDescriptionPath() { return "<ToolUiDir>/warper2DToolList.xml"; }
  RCShdPtr<PiWidget> createWidget() override;
};

// The crop on the super tool's "Output Image": passes the resampler's image
// through, cropped by the crop sockets (piCropNodeUtil.h). Its format, fill
// colour and streams are those of the reference, the "Input Image" (the
// child's when the input is unconnected). With auto-crop the child's region
// and image pass unchanged; otherwise the region is the crop of the child's
// region, and a tile is the child's pixels over the crop region, zero where
// the child has none (the child's own tile when it covers exactly that).
class CropNode final : public PxImageNode {
 public:
  // `cropValues`: thirteen integer value nodes in PiCropNodeUtil::Socket order.
  CropNode(PxNodePtr<PxImageProtocol> const& reference, PxNodePtr<PxImageProtocol> const& child,
           std::vector<PxNodePtr<PxNode>> const& cropValues, std::string name = "Warp 2D Crop");

  PxImageFormat computeImageFormat() const override;
  bool isChainConnected() const override;
  CoRgbaColorTyped<float> getImageFillColor() const override;
  PxRODResult computeROD(PxImageContext const& context) const override;
  PxImageResult computeImage(PxImageContext const& context) const override;
  PxStrongHndl<PxImageProtocol> const& getChild() const { return _child; }

 private:
  PxStrongHndl<PxImageProtocol> _child;
  PiCropNodeUtil::Params _params;
};

class Warper2DSuperToolController : public SeShapeEditor,
                                    public PiEventHandlingInterface,
                                    public PiSchematicInterface,
                                    public PiUserInterface,
                                    public PiToolInterface,
                                    public PiGroupInterface,
                                    public PiTopologyInterface,
                                    public PiGroupTopologyInterface,
                                    public PiUndoRedoControllerHelper,
                                    public PiValueChangeInterface {
 public:
  enum ViewShapeType : std::uint32_t {
    kSourceShapes = 1,       // source shapes whose "Fence" is off
    kDestinationShapes = 2,  // destination shapes
    kFenceShapes = 4,        // source shapes whose "Fence" is on
    kCurveView8 = 8,         // curve view options, read by the viewer module;
    kCurveView16 = 16,       // changing them notifies curve-view listeners
  };
  // The shape editor's tool for a selection of several shapes.
  static constexpr int kMultipleSelectionToolId = 102;
  // The tool chosen for one selected shape while a viewer handler is active.
  static constexpr int kSingleSelectionToolId = 101;

  // --- module-wide names ------------------------------------------------------
  static std::string getRenderQualityName();        // "Quality": generator, resampler
  static std::string getRenderSmoothingName();      // "Smoothing": generator
  static std::string getRenderBoundaryName();       // "Boundary": generator, resampler
  static std::string getRenderFilterName();         // "Filter": resampler
  static std::string getInvertWarpName();           // "Invert Warp": resampler
  static std::string getGlobalInterpolationName();  // "Interpolation": resampler
  static std::string getTimingName();               // "Timing": resampler
  // "Destination Image": the second output of the super tool, of the
  // generator and of the resampler.
  static std::string getDestinationOutputName();
  static std::string getInputImageName();   // "Input Image"
  static std::string getOutputImageName();  // "Output Image"
  // Names of the internal nodes.
  static char const* getEmptyImageNodeName() { return "Empty Image"; }
  static char const* getWarpGeneratorNodeName() { return "Warp Generator"; }
  static char const* getWarpResamplerNodeName() { return "Warp Resampler"; }

  // --- tool -------------------------------------------------------------------
  // Policies of the crop sockets, the output parameters and the creation
  // values; released by finalize.
  static void initialize();
  static void finalize();
  static void describe(PiToolPolicyDescriptor& descriptor);
  // The controller of a "Warp 2D" node (CastException for another node's,
  // NullPointerException for a null node).
  static Warper2DSuperToolController& get(RCShdPtr<PiNode> const& node);

  Warper2DSuperToolController();
  ~Warper2DSuperToolController() override;

  // --- node -----------------------------------------------------------------
  void nodeCreated() override;
  void nodeLoaded() override;
  bool isEditable() const override { return editable; }
  void nodeAdded(RCShdPtr<PiNode> const& node) override;
  void nodeRemoved(RCShdPtr<PiNode> const& node) override;
  void nodeRenamed(RCShdPtr<PiNode> const& node, std::string const& oldName) override;
  bool isInternalNode(RCShdPtr<PiNode> const& node) const override;
  std::string getUIDescriptionPath() const override;  // "<ToolUiDir>/warper2DSuperTool.xml"
  RCShdPtr<RCBase<LkCounter<int>>> createInstanceData(RCShdPtr<PiWidget> const& widget,
                                                      RCShdPtr<const PiTimePath> const& timePath) override;
  RCStrongPtr<PiEventHandler> createEventHandler(PiViewer& viewer, RCShdPtr<PiNode> const& node,
                                                 RCShdPtr<PiPath> const& path) override;
  // "Output Image" publishes a CropNode over the resampler's result.
  PxNodePtr<PxNode> createOutputProcNode(RCShdPtr<PiOutput> const& output, PxNodePtr<PxNode> const& inner,
                                         PiProcNodeProvider const& provider) override;

  RCShdPtr<PiNode> const& getEmptyImageNode() const { return _emptyImageNode; }
  RCShdPtr<PiNode> const& getWarpGeneratorNode() const { return _warpGeneratorNode; }
  RCShdPtr<PiNode> const& getWarpResamplerNode() const { return _warpResamplerNode; }
  WarpGeneratorController& getWarpGeneratorController() const;

  // --- shape editor ---------------------------------------------------------------
  // getShapes' nodes as shapes; first, last and the shape interfaces walk
  // the same sequence (the editor's defaults).
  Iterator<RCShdPtr<SeShape>> getAllShapes() override;
  RCShdPtr<SeShape> getNextShape(RCShdPtr<SeShape> const& shapeObject) override;
  RCShdPtr<SeShape> getPreviousShape(RCShdPtr<SeShape> const& shapeObject) override;
  // Completes a pending shape first, then adds a source node ("Add Shape").
  RCShdPtr<SeShape> createShape(double time) override;
  void deleteShape(RCShdPtr<SeShape> const& shapeObject) override;
  RCShdPtr<SeShape> duplicateShape(RCShdPtr<SeShape> const& shapeObject) override;
  void duplicateShape(RCShdPtr<PiNode> const& node, RCShdPtr<PiNode>& newSource, RCShdPtr<PiNode>& newDestination);
  RCShdPtr<SeShape> getShape(RCShdPtr<PiGraphObject> const& node) override;
  void moveUp(RCShdPtr<SeShape> const& shape) override { moveUp(SeShapeNode::getNode(shape)); }
  void moveDown(RCShdPtr<SeShape> const& shape) override { moveDown(SeShapeNode::getNode(shape)); }
  void moveTop(RCShdPtr<SeShape> const& shape) override { moveTop(SeShapeNode::getNode(shape)); }
  void moveBottom(RCShdPtr<SeShape> const& shape) override { moveBottom(SeShapeNode::getNode(shape)); }
  void moveUp(RCShdPtr<PiNode> const& node);
  void moveDown(RCShdPtr<PiNode> const& node);
  void moveTop(RCShdPtr<PiNode> const& node);
  void moveBottom(RCShdPtr<PiNode> const& node);
  void shapeStarted() override {}
  // Copies the pending source as its destination and adds the pair to the
  // generator ("Add Destination Shape"); nothing when no shape is pending.
  void shapeCompleted() override;
  void renameShape(RCShdPtr<SeShape> const& shape, std::string const& name) override;

  // Destination nodes in pair order, then source nodes in pair order.
  Iterator<RCShdPtr<PiNode>> getShapes();
  Iterator<RCShdPtr<PiNode>> getSourceShapes();
  Iterator<RCShdPtr<PiNode>> getDestinationShapes();
  Vector<RCShdPtr<PiNode>> const& getAllDestinationShapes();
  Vector<RCShdPtr<PiNode>> const& getAllSourceShapes();
  void getSelectedSourceShapes(Vector<RCShdPtr<PiNode>>& out) const;
  int findSourceShapePosition(RCShdPtr<PiNode> const& node);
  bool isSourceShape(RCShdPtr<PiNode> const& node);
  RCShdPtr<PiNode> getSrcShape(RCShdPtr<PiNode> const& destination);
  RCShdPtr<PiNode> getDstShape(RCShdPtr<PiNode> const& source);
  // The "Curve" input of a shape node (NullPointerException for null).
  static RCShdPtr<PiInput> getShapeCurveInput(RCShdPtr<PiNode> const& shapeNode);
  SeShapeSelector& getSelector() const { return *_selector; }

  // --- visibility ---------------------------------------------------------------
  bool getShapeVisibility(ViewShapeType type) const { return (viewFlags & type) != 0; }
  void setShapeVisibility(ViewShapeType type, bool visible);
  void adjustShapeVisibility();
  void addCurveViewChangedCallback(CbHandler<CbEmptyType>* handler) const { _curveViewChanged.addHandler(handler); }
  void removeCurveViewChangedCallback(CbHandler<CbEmptyType>* handler) const {
    _curveViewChanged.removeHandler(handler);
  }

  // --- creation parameters ---------------------------------------------------------
  std::string getCreationName();
  void setCreationName(std::string const& name);
  WarpGridProc::Smoothing getCreationSmoothing();
  void setCreationSmoothing(WarpGridProc::Smoothing smoothing);
  bool getCreationFence() const;
  void setCreationFence(bool fence);
  float getCreationInterpolation() const;
  void setCreationInterpolation(float interpolation);
  double getLinkViewDensity() const;
  void setLinkViewDensity(double density);
  // Not logged for undo.
  void resetToFactoryCreationParameters();
  void resetToUserCreationParameters();
  // One undoable command "Reset Output parameters" each.
  void resetToFactoryOutputParameters();
  void resetToUserOutputParameters();
  // The tool-level reset: user creation, user output, user option values.
  void reset() override;
  using PiToolInterface::reset;

  // --- output parameters and crop ---------------------------------------------
  RCShdPtr<PiInput> getRenderQualityInput() const { return checkedInput(getRenderQualityName()); }
  RCShdPtr<PiInput> getRenderSmoothingInput() const { return checkedInput(getRenderSmoothingName()); }
  RCShdPtr<PiInput> getRenderBoundaryInput() const { return checkedInput(getRenderBoundaryName()); }
  RCShdPtr<PiInput> getRenderFilterInput() const { return checkedInput(getRenderFilterName()); }
  RCShdPtr<PiInput> getInvertWarpInput() const { return checkedInput(getInvertWarpName()); }
  RCShdPtr<PiInput> getGlobalInterpolationInput() const { return checkedInput(getGlobalInterpolationName()); }
  RCShdPtr<PiInput> getTimingInput() const { return checkedInput(getTimingName()); }
  RCShdPtr<PiInput> getCropInput(PiCropNodeUtil::Socket socket) const {
    return getInput(PiCropNodeUtil::getSocketName(socket));
  }
  RCShdPtr<PiInput> getCropModeInput() const { return getCropInput(PiCropNodeUtil::kMode); }
  RCShdPtr<PiInput> getCropRelativeLeftInput() const { return getCropInput(PiCropNodeUtil::kRelativeLeft); }
  RCShdPtr<PiInput> getCropRelativeRightInput() const { return getCropInput(PiCropNodeUtil::kRelativeRight); }
  RCShdPtr<PiInput> getCropRelativeTopInput() const { return getCropInput(PiCropNodeUtil::kRelativeTop); }
  RCShdPtr<PiInput> getCropRelativeBottomInput() const { return getCropInput(PiCropNodeUtil::kRelativeBottom); }
  RCShdPtr<PiInput> getCropAbsoluteLeftInput() const { return getCropInput(PiCropNodeUtil::kAbsoluteLeft); }
  RCShdPtr<PiInput> getCropAbsoluteRightInput() const { return getCropInput(PiCropNodeUtil::kAbsoluteRight); }
  RCShdPtr<PiInput> getCropAbsoluteTopInput() const { return getCropInput(PiCropNodeUtil::kAbsoluteTop); }
  RCShdPtr<PiInput> getCropAbsoluteBottomInput() const { return getCropInput(PiCropNodeUtil::kAbsoluteBottom); }
  RCShdPtr<PiInput> getCropWindowCenterXInput() const { return getCropInput(PiCropNodeUtil::kWindowCenterX); }
  RCShdPtr<PiInput> getCropWindowCenterYInput() const { return getCropInput(PiCropNodeUtil::kWindowCenterY); }
  RCShdPtr<PiInput> getCropWindowWidthInput() const { return getCropInput(PiCropNodeUtil::kWindowWidth); }
  RCShdPtr<PiInput> getCropWindowHeightInput() const { return getCropInput(PiCropNodeUtil::kWindowHeight); }
  void displayCropManip(bool displayed);
  bool isCropManipDisplayed() const { return cropManipDisplayed; }
  void addCropDisplayedCallback(CbHandler<CbEmptyType>* handler) const { _cropDisplayed.addHandler(handler); }
  void removeCropDisplayedCallback(CbHandler<CbEmptyType>* handler) const { _cropDisplayed.removeHandler(handler); }
  RCShdPtr<const PiOutput> getResultRODOutput() const;

 private:
  class EditScope;
  RCShdPtr<PiInput> checkedInput(std::string const& name) const;
  RCShdPtr<PiGraph> getGroup() const;
  void retrieveValueHandles();
  void installSelectionUpdater();
  void addShapePair(RCShdPtr<PiNode> const& source, RCShdPtr<PiNode> const& destination, int position);
  void connectToEmptyImage(RCShdPtr<PiNode> const& shapeNode);
  void movePair(RCShdPtr<PiNode> const& node, int to);
  bool isShapeNode(RCShdPtr<PiNode> const& node) const;
  // The pair lists from the graph: the generator's entries in order, then a
  // shape node of the group that is in no entry (a shape being drawn).
  void rebuildLists();
  // Rebuilds when undo or redo changed the graph since the lists were last
  // taken.
  void syncLists();
  void shapeEvent(SeShapeEvent const& event);
  void selectionChanged(SeShapeSelector const& selector);
  void inputMovedInMulti(WarpGeneratorController::MultiInfo const& info);

  bool editable;
  RCShdPtr<PiNode> _emptyImageNode, _warpGeneratorNode, _warpResamplerNode;
  PiTypedValue<std::string> _creationName;
  PiTypedValue<bool> _creationFence;
  PiTypedValue<int> _creationSmoothing;
  PiTypedValue<double> _creationInterpolation;
  PiTypedValue<double> _linkViewDensity;
  Vector<RCShdPtr<PiNode>> sourceShapes;
  Vector<RCShdPtr<PiNode>> destinationShapes;
  CbMethodHandler<SeShapeEvent const, Warper2DSuperToolController> _shapeEventHandler;
  CbMethodHandler<SeShapeSelector const, Warper2DSuperToolController> _selectionHandler;
  CbMethodHandler<WarpGeneratorController::MultiInfo const, Warper2DSuperToolController> _inputMovedHandler;
  std::unique_ptr<SeShapeSelector> _selector;
  std::unique_ptr<SeSelectorUpdater> _selectorUpdater;
  CbDispatcher<CbEmptyType> _curveViewChanged;
  CbDispatcher<CbEmptyType> _cropDisplayed;
  std::uint32_t viewFlags = 15;
  bool cropManipDisplayed = false;
  bool _listsStale = false;
};

}  // namespace Qx::Warper2D
