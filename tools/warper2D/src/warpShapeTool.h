// The shape renderer: the node that holds one shape of a "Warp 2D" node and
// hands it to the warp generator as a shape image.
//
// Every user shape is a pair of "Warp 2D Shape Renderer" nodes inside the
// super tool's group, a source and a destination. A node holds an editable
// Bezier curve ("Curve", a curve input: piCurveInputValue.h), its placement
// ("Transform": translation, rotation in degrees, scale, shear about a
// pivot, composed by the host's affine matrix node; plus "OffsetTranslation"),
// the per-shape warp settings that the generator reads through the pair's
// "Shapes" entry ("Smoothing", "Fence", "Interpolation"), its link positions
// ("Gradient": entries of {"Position", "Distance"}, each a curve parameter)
// and display values ("Link", "Curve Color", "Handles Color", "Mute", "Lock",
// "Visible").
//
// Processing. Warper2DProcNode draws no pixels: for a request at proxy level
// k (scale s = 1 / 2^k) over an input of pixel aspect ratio r it places the
// curve with P T M, where M is the "Transform" matrix, T the translation by
// the offset and P = scale(s / r, s) takes nominal coordinates to pixels of
// the level, and writes the placed curve and the link floats (each entry's
// "Position" then "Distance") in the shape image layout of warpGeneratorTool.h
// (ShapeImage::encode). Its pixel rectangle is (0, 0)-(W, H) at every level
// and every request is answered with all of it. The curve coordinates are
// nominal (full-resolution, square-pixel) units. A node without an image
// input still delivers its shape, with square pixels.
//
// Clipboard. copyShapeToClipboard puts a snapshot of the curve (every
// coordinate's animation, and the closure) on the host clipboard as a
// ShapeClipboardObject; pasteShapeFromClipboard writes the first such
// snapshot back into a node's "Curve" as one undoable command "Paste
// Shape", and does nothing (records nothing) when the clipboard holds none.
//
// Threading: tools, controllers and the clipboard belong to the
// user-interface thread; processing nodes are built there (node handles
// assert it) and compute on any worker thread, keeping each request's state
// local. Missing sockets when a controller attaches to its node fail the
// assertion service under the file name warpShapeTool.
#pragma once

#include <string>
#include <vector>

#include "base/rcPtr.h"
#include "internalAPI/piCurveInputValue.h"
#include "pluginAPI/piNodeController.h"
#include "pluginAPI/piTool.h"
#include "pluginAPI/piUserInterface.h"
#include "pluginAPI/pxAnimValue.h"
#include "pluginAPI/pxImageProtocol.h"
#include "primitives/coRgbaColor.h"
#include "primitives/geAffineMatrix2.h"
#include "shape/seShape.h"

namespace Qx::Warper2D {

class WarpShapeController;

// Makes the per-viewer instance data of a shape node (set by the module that
// supplies the interactive viewer code).
using WarpShapeInstanceDataFactory = RCShdPtr<RCBase<LkCounter<int>>> (*)(WarpShapeController&,
                                                                            RCShdPtr<PiWidget> const&,
                                                                            RCShdPtr<const PiTimePath> const&);

class WarpShapeTool {
 public:
  // "Warp 2D Shape Renderer".
  static char const* getName();
  // Builds the input policies, then registers the tool (an internal image
  // modifier with short name "Shape Renderer", visibility 0, plain
  // structure). Once per process or module load; the host's registry takes
  // the tool back when the module's package finalises.
  static void initialize();
  // Releases the input policies (nodes that exist keep theirs).
  static void finalize();
  // The registered tool, looked up in the registry; null when none is.
  static RCShdPtr<const PiTool> getTool();

  // One module-wide factory; null after unregistering.
  static void registerInstanceDataFactory(WarpShapeInstanceDataFactory factory);
  static void unregisterInstanceDataFactory();
  static WarpShapeInstanceDataFactory getInstanceDataFactory();
};

// A snapshot of one shape's curve as it travels on the host clipboard,
// inside a one-item selection (SnItemBasic<RCShdPtr<ShapeClipboardObject>>).
// Immutable once made.
class ShapeClipboardObject : public RCBase<LkCounter<int>> {
 public:
  struct Parameter {
    std::string name;       // "X", "Y"
    PiAnimCurve animation;  // value and keys, as the input stores them
  };
  struct Component {
    std::string name;  // "In Handle", "Point", "Out Handle"
    std::vector<Parameter> parameters;
  };
  using Point = std::vector<Component>;

  // Snapshot of the "Points" of a curve input and of its "Closed" value.
  explicit ShapeClipboardObject(RCShdPtr<PiInput> const& curveInput);

  // Writes the snapshot into a curve input: its "Points" list is made as
  // long as the snapshot's (entries added or removed at the end) and every
  // coordinate and the closure take the copied animation, so the target
  // becomes the copied curve whatever it held. Each write is an undoable
  // edit; the caller groups them under one guard.
  void applyTo(RCShdPtr<PiInput> const& curveInput) const;

  std::vector<Point> const& getPoints() const { return _points; }
  // The "Closed" animation; false when the copied input had none.
  bool hasClosure() const { return _hasClosure; }
  PiAnimCurve const& getClosure() const { return _closure; }

 private:
  std::vector<Point> _points;
  PiAnimCurve _closure;
  bool _hasClosure = true;
};

// The shape image of one request (see the file comment).
class Warper2DProcNode final : public PxImageNode {
 public:
  struct Inputs {
    PxNodePtr<PxBezierCurveNode> curve;    // the curve, nominal coordinates
    PxNodePtr<PxNode> matrix;              // GeAffineMatrix2<float> value: the "Transform" placement
    PxNodePtr<PxNode> offsetX, offsetY;    // double values: "OffsetTranslation"
    std::vector<PxNodePtr<PxNode>> links;  // double values, written in this order
  };

  // `primary` gives the pixel aspect ratio (square pixels when null).
  Warper2DProcNode(std::string name, PxNodePtr<PxImageProtocol> const& primary, Inputs const& inputs);

  PxImageFormat computeImageFormat() const override;
  IxPixelFormat::Comps computeImageFormatComps() const override { return IxPixelFormat::ALPHA; }
  CoRgbaColorTyped<float> getImageFillColor() const override { return CoRgbaColorTyped<float>::ZERO; }
  bool producesFullFrames() const override { return true; }
  PxRODResult computeROD(PxImageContext const& context) const override;
  PxImageResult computeImage(PxImageContext const& context) const override;

 private:
  PxStrongHndl<PxBezierCurveNode> _curve;
  PxStrongHndl<PxAnimValueProtocol<GeAffineMatrix2<float>>> _matrix;
  PxStrongHndl<PxAnimValueProtocol<double>> _offsetX, _offsetY;
  std::vector<PxStrongHndl<PxAnimValueProtocol<double>>> _links;
};

class WarpShapeController : public PiImageModifier,
                            public PiUserInterface,
                            public PiSchematicInterface,
                            public SeShapeInterface {
 public:
  using PiNodeController::getOutput;
  using PiToolInterface::reset;

  // The shared input policies (WarpShapeTool::initialize builds them).
  static void initialize();
  static void finalize();
  static void describe(PiImageModifier::Descriptor& descriptor);
  // "Smoothing": 0 "Bidirectional", 1 "Inside", 2 "Outside", 3 "None"
  // (WarpGridProc::Smoothing), default 0; null outside initialize/finalize.
  static RCShdPtr<const PiInputPolicy> getSmoothingPolicy();

  // Display colours.
  static CoRgbColorTyped<float> getSourceColor();        // (1, 0, 0)
  static CoRgbColorTyped<float> getDestinationColor();   // (0, 0, 1)
  static CoRgbColorTyped<float> getFenceColor();         // (0, 1, 0)
  static CoRgbColorTyped<float> getLinkColor();          // (0, 1, 1)
  static CoRgbColorTyped<float> getInterpolatedColor();  // (1, 0, 1)
  static CoRgbColorTyped<float> getDefaultHandleColor(); // (1, 1, 0)

  // Where resetComposition finds the user's preferred creation settings in
  // PiUserSettings: under the super tool's name, by the names of the super
  // tool's creation values (the factory values 0, false, 1 when absent).
  static char const* getUserSettingsToolName() { return "Warp 2D"; }
  static char const* getUserSmoothingName() { return "CreationSmoothing"; }
  static char const* getUserFenceName() { return "CreationFence"; }
  static char const* getUserInterpolationName() { return "CreationInterpolation"; }

  // --- node ---------------------------------------------------------------
  void nodeCreated() override { retrieveHandles(); }
  void nodeLoaded() override { retrieveHandles(); }
  // The host's reset, then "Link" on, the source colour and the default
  // handle colour; one undoable command.
  void reset() override;
  // The curve node, the affine matrix node, offset and link value nodes, and
  // the Warper2DProcNode over them. Adding or removing a "Gradient" entry is
  // an edit of the node, after which the host builds the node anew, so the
  // link list always follows the entries; no notification override is
  // needed for it.
  PxNodePtr<PxImageProtocol> createProcNode(PxNodePtr<PxImageProtocol> const& primary,
                                            PiProcNodeProvider const& provider) override;
  // A display value changed: listeners of the curve's representation hear it.
  void valueChanged(RCShdPtr<PiValue> const& value) override;

  // --- user interface -----------------------------------------------------
  // "<ToolUiDir>/warper2DWarpShapeTool.xml".
  std::string getUIDescriptionPath() const override;
  // Through the registered instance-data factory; null when none is set.
  RCShdPtr<RCBase<LkCounter<int>>> createInstanceData(RCShdPtr<PiWidget> const& widget,
                                                      RCShdPtr<const PiTimePath> const& timePath) override;

  // --- shape interface ----------------------------------------------------
  // Translation, rotation, shear, scale, pivot and offset to their policy
  // defaults, in that order; one undoable command.
  void resetTransformation() override;
  RCShdPtr<PiInput> getTranslationXInput() override { return _translationXInput; }
  RCShdPtr<PiInput> getTranslationYInput() override { return _translationYInput; }
  RCShdPtr<PiInput> getRotationInput() override { return _rotationInput; }
  RCShdPtr<PiInput> getScaleXInput() override { return _scaleXInput; }
  RCShdPtr<PiInput> getScaleYInput() override { return _scaleYInput; }
  RCShdPtr<PiInput> getShearXInput() override { return _shearXInput; }
  RCShdPtr<PiInput> getShearYInput() override { return _shearYInput; }
  RCShdPtr<PiInput> getPivotXInput() override { return _pivotXInput; }
  RCShdPtr<PiInput> getPivotYInput() override { return _pivotYInput; }
  RCShdPtr<PiInput> getTranslationOffsetXInput() override { return _translationOffsetXInput; }
  RCShdPtr<PiInput> getTranslationOffsetYInput() override { return _translationOffsetYInput; }
  bool isTransformable() const override { return true; }
  RCShdPtr<SeShape> getShape() override { return SeShapeNode::create(getNode()); }
  // The state word of the command stack of the graph holding the node; 0
  // for a node in no graph.
  unsigned getCommandState() override;
  RCShdPtr<PiInput> getCurveInput() override { return _curveInput; }
  bool getCurveColorObject(RCShdPtr<PiValue>& value) override { return fill(value, _curveColorValue); }
  bool getHandleColorObject(RCShdPtr<PiValue>& value) override { return fill(value, _handleColorValue); }
  bool getMuteObject(RCShdPtr<PiValue>& value) override { return fill(value, _muteValue); }
  bool getVisibleObject(RCShdPtr<PiValue>& value) override { return fill(value, _visibleValue); }
  bool getLockObject(RCShdPtr<PiValue>& value) override { return fill(value, _lockValue); }
  // "Smoothing", "Fence" and "Interpolation" to the user's preferences; one
  // undoable command.
  void resetComposition() override;
  bool isEdgeActive() const override { return false; }
  bool areLinksActive() const override { return true; }
  // Links are drawn unless the shape is a fence at that time.
  bool areLinksVisible(RCShdPtr<const PiTimePath> const& timePath) const override;
  RCShdPtr<PiInput> getGradientInput() override { return _gradientInput; }
  CoRgbColorTyped<float> getLinkLineColor() const override { return getLinkColor(); }

  // --- the rest -------------------------------------------------------------
  RCShdPtr<PiInput> getSmoothingInput() const { return _smoothingInput; }
  RCShdPtr<PiInput> getInterpolationInput() const { return _interpolationInput; }
  RCShdPtr<PiInput> getFenceInput() const { return _fenceInput; }
  RCShdPtr<PiValue> getVisibleValue() const { return _visibleValue; }
  RCShdPtr<PiValue> getLockValue() const { return _lockValue; }
  RCShdPtr<PiValue> getMuteValue() const { return _muteValue; }
  RCShdPtr<PiValue> getLinkValue() const { return _linkValue; }
  RCShdPtr<PiValue> getHandleColorValue() const { return _handleColorValue; }
  RCShdPtr<PiValue> getCurveColorValue() const { return _curveColorValue; }
  // The node's image output (PiImageModifier::getOutputName()).
  RCShdPtr<PiOutput> getOutput() const { return getOutput(getOutputName()); }

  // Writes the colour into "Curve Color" (undoable).
  void setShapeColor(CoRgbColorTyped<float> const& color);
  void copyShapeToClipboard() const;
  void pasteShapeFromClipboard();

 private:
  static bool fill(RCShdPtr<PiValue>& out, RCShdPtr<PiValue> const& value) {
    out = value;
    return true;
  }
  void retrieveHandles();

  RCShdPtr<PiInput> _curveInput;
  RCShdPtr<PiInput> _translationXInput, _translationYInput;
  RCShdPtr<PiInput> _rotationInput;
  RCShdPtr<PiInput> _scaleXInput, _scaleYInput;
  RCShdPtr<PiInput> _shearXInput, _shearYInput;
  RCShdPtr<PiInput> _pivotXInput, _pivotYInput;
  RCShdPtr<PiInput> _translationOffsetXInput, _translationOffsetYInput;
  RCShdPtr<PiValue> _linkValue;
  RCShdPtr<PiInput> _gradientInput;
  RCShdPtr<PiValue> _curveColorValue;
  RCShdPtr<PiValue> _handleColorValue;
  RCShdPtr<PiValue> _muteValue;
  RCShdPtr<PiValue> _visibleValue;
  RCShdPtr<PiValue> _lockValue;
  RCShdPtr<PiInput> _fenceInput;
  RCShdPtr<PiInput> _smoothingInput;
  RCShdPtr<PiInput> _interpolationInput;
};

}  // namespace Qx::Warper2D
