// The scene renderer that runs the "Warp 2D" tool the way the compositing
// application does: the module loaded through the host's loader, a node
// graph built through the host's interfaces only (tool registry, node graph,
// shape editor, input values), and the output pulled through the processing
// graph. Nothing of the plug-in is linked for this path.
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "base/inModuleLoader.h"
#include "diagnostics.h"
#include "imageSourceNode.h"
#include "internalAPI/piCropNodeUtil.h"
#include "internalAPI/piCurveInputValue.h"
#include "pluginAPI/piNodeController.h"
#include "pluginAPI/piProcGraph.h"
#include "pluginAPI/piTool.h"
#include "sceneRenderer.h"
#include "shape/seShape.h"
#include "shape/seShapeEditor.h"

namespace Qx::Warp2dApp {

namespace {

namespace fs = std::filesystem;

char const* const kImageToolName = "warp2d Image";
char const* const kPositionsToolName = "warp2d Positions";

// What the image nodes serve at their next build. The renderer sets it on
// the main thread just before it asks the processing graph, which builds
// the nodes on the same thread; a processing node, once built, keeps its
// own copy of the tile.
struct InputSlot {
  IxTile tile;
  int levels = 0;
  std::shared_future<void> ready;
};
InputSlot& inputSlot() {
  static InputSlot slot;
  return slot;
}

// Pixel x, y of the input as R, G (level-0 pixels), alpha 1: warped
// bilinearly, it shows where every output pixel samples.
IxTile positionsOf(IxTile const& input) {
  GeRectangle<int> const r = input.getPixelRegion();
  IxPixelFormat const format(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32);
  IxTile t(format, r, CoRgbaColorTyped<float>::ZERO, input.getPixelAspectRatio());
  IxWriteGuard g(t);
  for (int y = r.y1(); y < r.y2(); ++y) {
    float* p = g.getRow<float>(y);
    for (int x = r.x1(); x < r.x2(); ++x, p += 4) {
      p[0] = static_cast<float>(x);
      p[1] = static_cast<float>(y);
      p[2] = 0.0f;
      p[3] = 1.0f;
    }
  }
  return t;
}

template <bool kPositions>
class InputImageController : public PiImageGenerator {
 public:
  static void describe(PiToolPolicyDescriptor&) {}
  PxNodePtr<PxImageProtocol> createProcNode(PxNodePtr<PxImageProtocol> const&, PiProcNodeProvider const&) override {
    InputSlot const& s = inputSlot();
    if (kPositions) return PxNodePtr<ImageSourceNode>::create(positionsOf(s.tile), s.levels);
    return PxNodePtr<ImageSourceNode>::create(s.tile, s.levels, s.ready);
  }
};

PiInterpolation toPi(PxInterpolation i) {
  return i == PxInterpolation::Hold ? PiInterpolation::Hold
         : i == PxInterpolation::Smooth ? PiInterpolation::Smooth
                                        : PiInterpolation::Linear;
}

template <class T>
void setKeys(RCShdPtr<PiInput> const& input, Keys<T> const& keys) {
  if (input.isNull()) throw std::runtime_error("the Warp 2D module lacks an input this scene sets");
  if (keys.size() == 1) {
    input->setValue(PiValueData(keys.front().value));
    return;
  }
  for (PxKeyframe<T> const& k : keys) input->setKey(k.time, PiValueData(k.value), toPi(k.interpolation));
}

// File pixels to the shape renderer's nominal (square-pixel) units.
GeBezierCurve nominal(SceneCurve const& c, float aspect) {
  GeBezierCurve b;
  auto n = [aspect](GePoint2<float> const& p) { return GePoint2<float>(p.x() * aspect, p.y()); };
  for (SceneCurve::Point const& p : c.points) b.addPoint(n(p.in), n(p.point), n(p.out));
  b.setClosure(c.closed ? GeBezierCurve::CLOSED : GeBezierCurve::OPEN);
  return b;
}

// Links go in pairs, an entry's "Position" then its "Distance"; an odd last
// link is given twice, which ties the same two places again and changes
// nothing.
void setLinks(RCShdPtr<PiNode> const& node, std::vector<float> const& links) {
  auto gradient = rcDynamicCast<PiMultivaluedInput>(node->getInput("Gradient"));
  if (gradient.isNull()) throw std::runtime_error("the Warp 2D module's shapes have no \"Gradient\" links");
  for (std::size_t i = 0; i < links.size(); i += 2) {
    RCShdPtr<PiInput> const entry = gradient->addEntry();
    auto const composite = rcDynamicCast<PiCompositeInput>(entry);
    composite->getInput("Position")->setValue(PiValueData(static_cast<double>(links[i])));
    composite->getInput("Distance")->setValue(PiValueData(static_cast<double>(links[std::min(i + 1, links.size() - 1)])));
  }
}

class ModuleSceneRenderer final : public SceneRenderer {
 public:
  explicit ModuleSceneRenderer(std::string const& modulePath) {
    std::error_code ec;
    if (!fs::exists(modulePath, ec)) throw std::runtime_error(modulePath + ": the Warp 2D module is not there");
    // The module's interface descriptions ship beside it.
    setenv("QX_TOOL_UI_DIR", (fs::path(modulePath).parent_path() / "toolUI").c_str(), 0);
    PiToolRegistry& registry = PiToolRegistry::getInstance();
    if (registry.findTool(kImageToolName).isNull())
      PiImageModifier::registerTool(
          PiMorvaneToolProtocol::create<InputImageController<false>>(kImageToolName, "An image file's pixels"));
    if (registry.findTool(kPositionsToolName).isNull())
      PiImageModifier::registerTool(
          PiMorvaneToolProtocol::create<InputImageController<true>>(kPositionsToolName, "The input's pixel positions"));
    try {
      _module = InModuleLoader::getInstance().load(modulePath);
    } catch (std::exception const& e) {
      throw std::runtime_error(modulePath + ": the Warp 2D module cannot be loaded (" + e.what() + ")");
    }
    if (registry.findTool("Warp 2D").isNull())
      throw std::runtime_error(modulePath + ": the module registers no \"Warp 2D\" tool");
  }

  ~ModuleSceneRenderer() override {
    if (!_module.isNull()) InModuleLoader::getInstance().unload(_module);
  }

  RenderedFrame render(Scene const& scene, IxTile const& input, FrameRequest const& request) override {
    if (_renders.isCancelled()) throw PxInterruptedException();
    double const t = request.frame;
    float const aspect = input.getPixelAspectRatio();
    RCShdPtr<PiGraph> const graph = PiGraph::create();
    RCShdPtr<PiNode> const reader = graph->createNode(kImageToolName);
    RCShdPtr<PiNode> const warp = graph->createNode("Warp 2D");
    graph->connect(warp->getInput("Input Image"), reader->getOutput(PiImageGenerator::getOutputName()));

    SeShapeEditor* editor = SeShapeEditorControllerInterface::getShapeEditor(warp);
    if (!editor) throw std::runtime_error("the \"Warp 2D\" node serves no shape editor");
    for (SceneShape const& s : scene.shapes) {
      RCShdPtr<PiNode> const source = SeShapeNode::getNode(editor->createShape(t));
      PiCurveInputValue::setCurve(source->getInput("Curve"), nominal(s.source, aspect));
      editor->shapeCompleted();  // the destination starts as a copy of the source
    }
    // The editor lists the destinations in pair order, then the sources.
    std::vector<RCShdPtr<PiNode>> nodes;
    for (auto it = editor->getAllShapes(); !it.atEnd(); it.next()) nodes.push_back(SeShapeNode::getNode(it.item()));
    std::size_t const n = scene.shapes.size();
    if (nodes.size() != 2 * n) throw std::runtime_error("the \"Warp 2D\" node did not make a pair per shape");
    for (std::size_t i = 0; i < n; ++i) {
      SceneShape const& s = scene.shapes[i];
      RCShdPtr<PiNode> const& destination = nodes[i];
      RCShdPtr<PiNode> const& source = nodes[n + i];
      PiCurveInputValue::setCurve(destination->getInput("Curve"), nominal(s.destination, aspect));
      setLinks(source, s.source.links);
      setLinks(destination, s.destination.links);
      setKeys(source->getInput("Fence"), Keys<bool>{{0.0, s.fence}});
      setKeys(source->getInput("Smoothing"), s.smoothing);
      setKeys(source->getInput("Interpolation"), s.interpolation);
    }
    SceneParameters const& p = scene.parameters;
    setKeys(warp->getInput("Quality"), p.quality);
    setKeys(warp->getInput("Smoothing"), p.smoothing);
    setKeys(warp->getInput("Boundary"), p.boundary);
    setKeys(warp->getInput("Filter"), p.filter);
    setKeys(warp->getInput("Timing"), p.timing);
    setKeys(warp->getInput("Interpolation"), p.interpolation);
    setKeys(warp->getInput("Invert Warp"), p.invertWarp);
    SceneCrop const& c = scene.crop;
    if (c.left.size() > 1 || c.right.size() > 1 || c.top.size() > 1 || c.bottom.size() > 1 ||
        c.left[0].value || c.right[0].value || c.top[0].value || c.bottom[0].value) {
      // The crop utility's "bottom" is the edge of smallest y: the scene's top.
      setKeys(warp->getInput(PiCropNodeUtil::getModeSocketName()), Keys<int>{{0.0, PiCropNodeUtil::kRelative}});
      setKeys(warp->getInput(PiCropNodeUtil::getRelativeCropLeftSocketName()), c.left);
      setKeys(warp->getInput(PiCropNodeUtil::getRelativeCropRightSocketName()), c.right);
      setKeys(warp->getInput(PiCropNodeUtil::getRelativeCropBottomSocketName()), c.top);
      setKeys(warp->getInput(PiCropNodeUtil::getRelativeCropTopSocketName()), c.bottom);
    }

    inputSlot() = {input, request.proxyLevel, request.inputReady};
    PiProcGraph procs(graph);
    PxImageContext const context(t, 0, request.proxyLevel, GeRectangle<int>(0, 0, 1, 1));
    auto renderOutput = [&](char const* name, std::function<void(int, int)> progress) {
      PxNodePtr<PxImageProtocol> const node = procs.getImageNode(warp->getOutput(name));
      PxValidityInterval v = PxValidityInterval::FULL;
      return _renders.render(node, context, node->computePixelROD(context, v), request.threads, std::move(progress));
    };
    RenderedFrame out;
    out.output = renderOutput("Output Image", request.progress);
    if (request.destination) out.destination = renderOutput("Destination Image", {});
    if (request.vectors) {
      RCShdPtr<PiNode> const positions = graph->createNode(kPositionsToolName);
      graph->connect(warp->getInput("Input Image"), positions->getOutput(PiImageGenerator::getOutputName()));
      setKeys(warp->getInput("Filter"), Keys<int>{{0.0, 1}});  // bilinear: exact on a ramp
      out.vectors = vectorsFromWarpedPositions(renderOutput("Output Image", {}), std::ldexp(1.0, -request.proxyLevel));
    }
    inputSlot() = {};
    return out;
  }

  void cancel() override { _renders.cancel(); }
  char const* describe() const override { return "module"; }

 private:
  RCShdPtr<InModule> _module;
  CancellableRenders _renders;
};

}  // namespace

std::string defaultModulePath() {
  char const* env = std::getenv("WARP2D_MODULE");
  return env && *env ? env : WARP2D_MODULE_PATH;
}

std::unique_ptr<SceneRenderer> createModuleSceneRenderer(std::string const& modulePath) {
  return std::make_unique<ModuleSceneRenderer>(modulePath);
}

}  // namespace Qx::Warp2dApp
