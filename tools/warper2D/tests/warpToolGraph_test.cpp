// The generator and resampler tools in node graphs: descriptions and policies,
// the entry-moved callbacks, and a warp built only from tools (input image ->
// empty image -> shape renderer nodes -> generator entries -> resampler)
// against the same warp built from processing nodes, through edits, undo,
// redo, save and load.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "emptyImageTool.h"
#include "framework/piGraphDocument.h"
#include "internalAPI/piCurveInputValue.h"
#include "pluginAPI/piProcGraph.h"
#include "storage/stImageCacheNode.h"
#include "warpGeneratorTool.h"
#include "warpGridProc.h"
#include "warpResamplerTool.h"
#include "warpShapeTool.h"
#include "warpTestNodes.h"
#include "warper2DSuperTool.h"

namespace {

using namespace warptest;
using namespace Qx::Warper2D;
using Names = std::vector<std::string>;
using Pairs = std::vector<std::pair<int, std::string>>;
using Super = Warper2DSuperToolController;

Rect const kFrame(0, 0, 200, 150);

// A fine checkerboard in R and gradients in G and B: a displacement of a
// fraction of a pixel changes it.
Color picture(double x, double y) {
  return Color((int(std::floor(x / 3)) + int(std::floor(y / 3))) & 1 ? 0.75f : 0.25f, float(y / 256), float(x / 256),
               1);
}

class PictureCtl : public PiImageGenerator {
 public:
  static void describe(PiToolPolicyDescriptor&) {}
  PxNodePtr<PxImageProtocol> createProcNode(PxNodePtr<PxImageProtocol> const&, PiProcNodeProvider const&) override {
    return image(kFrame, picture).cast<PxImageProtocol>();
  }
};

// The resampler as a tool that declares neither "Quality" nor "Boundary".
RCShdPtr<const PiTool> registerResamplerWithoutQuality() {
  auto protocol = makeRC<PiToolProtocolImp>(
      [](PiToolPolicyDescriptor& d) {
        PiToolPolicyDescriptor const& full = WarpResamplerTool::getTool()->getDescriptor();
        for (PiSocketDecl const& in : full.getInputs())
          if (in.getName() != Super::getRenderQualityName() && in.getName() != Super::getRenderBoundaryName())
            d.require(in.getName(), in.getType(), in.getPolicy());
        d.addOutput(Super::getDestinationOutputName());
      },
      [] { return RCShdPtr<PiNodeController>(makeRC<WarpResamplerController>()); });
  protocol->setName("Resampler Without Quality");
  return PiImageModifier::registerTool(protocol);
}

struct Tools {
  RCShdPtr<const PiTool> picture, withoutQuality;
};
Tools const& tools() {
  static Tools const t = [] {
    WarpGeneratorTool::initialize();
    WarpResamplerTool::initialize();
    WarpShapeTool::initialize();
    EmptyImageTool::initialize();
    return Tools{PiImageModifier::registerTool(PiMorvaneToolProtocol::create<PictureCtl>("Warp Test Picture", "")),
                 registerResamplerWithoutQuality()};
  }();
  return t;
}

WarpGeneratorController& generatorOf(RCShdPtr<PiNode> const& n) {
  return *rcCheckedCast<WarpGeneratorController>(n->getController());
}

// The graph the super tool builds, without the group around it.
struct Graph {
  RCShdPtr<PiGraph> graph = PiGraph::create();
  RCShdPtr<PiNode> input = graph->createNode(tools().picture, "Input");
  RCShdPtr<PiNode> empty = graph->createNode(EmptyImageTool::getTool(), "Empty Image");
  RCShdPtr<PiNode> generator = graph->createNode(WarpGeneratorTool::getTool(), "Warp Generator");
  RCShdPtr<PiNode> resampler;

  // The resampler tool's own nodes unless another tool is given.
  explicit Graph(RCShdPtr<const PiTool> const& resamplerTool = nullptr)
      : resampler(graph->createNode(resamplerTool ? resamplerTool : WarpResamplerTool::getTool(), "Warp Resampler")) {
    graph->connect(empty->getInput("Input"), input->getOutput("Output"));
    graph->connect(generator->getInput("Input"), input->getOutput("Output"));
    graph->connect(resampler->getInput("Input"), input->getOutput("Output"));
    graph->connect(resampler->getInput(WarpResamplerController::getMeshInputName()), generator->getOutput("Output"));
    graph->connect(resampler->getInput(WarpResamplerController::getDestinationMeshInputName()),
                   generator->getOutput(Super::getDestinationOutputName()));
  }

  // A pair of shape nodes over the empty image, added as an entry whose
  // per-shape settings follow the source node's.
  RCShdPtr<PiNode> addPair(std::string const& name, GeBezierCurve const& curve) {
    RCShdPtr<PiNode> const src = shapeNode(name, curve), dst = shapeNode(name + "D", curve);
    RCShdPtr<PiInput> const entry = generatorOf(generator).getShapesInput()->addEntry();
    auto entryInput = [&](std::string const& field) { return rcCheckedCast<PiCompositeInput>(entry)->getInput(field); };
    graph->connect(entryInput(WarpGeneratorController::getSourceInputName()), src->getOutput("Output"));
    graph->connect(entryInput(WarpGeneratorController::getDestinationInputName()), dst->getOutput("Output"));
    for (std::string const& field :
         {WarpGeneratorController::getSmoothingInputName(), WarpGeneratorController::getFenceInputName(),
          WarpGeneratorController::getInterpolationInputName()})
      graph->connect(entryInput(field), src->getInput(field)->getCarrierOutput());
    return src;
  }
  RCShdPtr<PiNode> shapeNode(std::string const& name, GeBezierCurve const& curve) {
    RCShdPtr<PiNode> const n = graph->createNode(WarpShapeTool::getTool(), name);
    graph->connect(n->getInput("Input"), empty->getOutput("Output"));
    PiCurveInputValue::setCurve(n->getInput("Curve"), curve);
    return n;
  }
};

// The same warp from processing nodes: generators cached as their controller
// publishes them, then the resampler's chain.
PxNodePtr<PxImageProtocol> nodeLevelWarp(Scene const& scene, bool simplified) {
  PxNodePtr<PxNode> const input = image(kFrame, picture);
  auto generator = [&](bool destination) -> PxNodePtr<PxNode> {
    return PxNodePtr<StImageCacheNode>::create(
        nullptr, nullptr, 0, createWarpGeneratorNode(destination, generatorInputs(scene, input)), "generator", 1);
  };
  return buildWarpResamplerChain(simplified,
                                 {input, generator(false), generator(true), constant(int(kTimingGlobal)), constant(1.0),
                                  constant(false), constant(scene.quality), constant(scene.boundary), constant(1)})
      .warp;
}

bool sameBits(IxTile const& a, IxTile const& b) {
  if (a.getPixelRegion() != b.getPixelRegion() || a.getPixelFormat() != b.getPixelFormat()) return false;
  std::size_t const row = std::size_t(a.getPixelRegion().getWidth()) * a.getPixelFormat().getBytesPerPixel();
  for (int y = a.getPixelRegion().y1(); y < a.getPixelRegion().y2(); ++y)
    if (std::memcmp(IxReadGuard(a).getPixelAddress(a.getPixelRegion().x1(), y),
                    IxReadGuard(b).getPixelAddress(b.getPixelRegion().x1(), y), row) != 0)
      return false;
  return true;
}

TEST(WarpToolDescriptionTest, InputsPoliciesDefaultsAndListingOrders) {
  Graph g;
  auto namesOf = [](auto const& list) {
    Names n;
    for (auto const& item : list) n.push_back(item->getName());
    return n;
  };
  EXPECT_EQ(namesOf(g.generator->getInputs()), (Names{"Input", "Shapes", "Quality", "Smoothing", "Boundary"}));
  EXPECT_EQ(namesOf(g.generator->getOutputs()), (Names{"Output", "Destination Image"}));
  EXPECT_EQ(namesOf(g.resampler->getInputs()),
            (Names{"Input", "Mesh Image", "Destination Mesh Image", "Timing", "Interpolation", "Invert Warp", "Filter",
                   "Quality", "Boundary"}));
  EXPECT_EQ(namesOf(g.resampler->getOutputs()), (Names{"Output", "Destination Image"}));
  EXPECT_EQ(WarpResamplerTool::getTool()->getDescriptor().getAffect(), 1);

  // A fresh generator has no shapes; a new entry has its fields in the
  // order the node reads them by name, smoothing "Bidirectional".
  RCShdPtr<PiMultivaluedInput> const shapes = generatorOf(g.generator).getShapesInput();
  ASSERT_EQ(shapes->getEntryCount(), 0u);
  auto const entry = rcCheckedCast<PiCompositeInput>(shapes->addEntry());
  EXPECT_EQ(namesOf(entry->getInputs()),
            (Names{"Source Shape", "Destination Shape", "Smoothing", "Fence", "Interpolation"}));
  EXPECT_EQ(entry->getInput("Smoothing")->getInt(), WarpGridProc::Bidirectional);

  auto pairs = [](RCShdPtr<PiNode> const& n, char const* path) {
    auto p = rcDynamicCast<const PiEnumPolicy>(n->getInput(path)->getPolicy());
    return std::pair(p->getPairs(), n->getInput(path)->getInt());
  };
  using Listing = std::pair<Pairs, int>;
  Pairs const boundary{{1, "Free"}, {0, "Fixed"}};
  EXPECT_EQ(pairs(g.generator, "Smoothing"), Listing({{0, "Skew"}, {1, "Rigid"}}, 0));
  EXPECT_EQ(pairs(g.generator, "Boundary"), Listing(boundary, 0));
  EXPECT_EQ(pairs(g.generator, "Shapes/0/Smoothing"),
            Listing({{0, "Bidirectional"}, {1, "Inside"}, {2, "Outside"}, {3, "None"}}, 0));
  EXPECT_EQ(pairs(g.resampler, "Timing"), Listing({{0, "Global"}, {1, "Shape"}}, 0));
  EXPECT_EQ(
      pairs(g.resampler, "Filter"),
      Listing({{0, "Nearest"}, {1, "Bilinear"}, {3, "Mitchell"}, {2, "Gaussian"}, {5, "Jinc 2"}, {6, "Jinc 3"}}, 1));
  EXPECT_EQ(pairs(g.resampler, "Boundary"), Listing(boundary, 0));

  struct Range {
    RCShdPtr<PiNode> node;
    char const* path;
    double min, max, value;
  } const ranges[] = {
      {g.generator, "Quality", 1, 10, 1}, {g.resampler, "Quality", 1, 10, 1}, {g.resampler, "Interpolation", 0, 1, 1}};
  for (Range const& r : ranges) {
    auto p = rcDynamicCast<const PiRangeInputPolicy<double>>(r.node->getInput(r.path)->getPolicy());
    EXPECT_EQ(
        std::vector<double>({p->getMin(), p->getMax(), r.node->getInput(r.path)->getDouble(), double(p->isClamped())}),
        std::vector<double>({r.min, r.max, r.value, 1}))
        << r.path;
  }
  EXPECT_FALSE(g.resampler->getInput("Invert Warp")->getBool());
  for (auto const& [node, path] :
       {std::pair(g.generator, "Shapes/0/Source Shape"), std::pair(g.resampler, "Destination Mesh Image")}) {
    auto p = rcDynamicCast<const PiImageInputPolicy>(node->getInput(path)->getPolicy());
    EXPECT_EQ(std::vector<int>({p->isPrimary(), p->getComponents(), p->getDepths(), p->getFormatRole(),
                                p->getProxyMode(), p->getResetType(), p->isOptional()}),
              std::vector<int>({0, 3, 7, 3, 1, 0, 0}))
        << path;
  }
  for (auto const& [tool, description] :
       {std::pair(WarpGeneratorTool::getTool(), "Generates a smooth warp from a constraint image"),
        std::pair(WarpResamplerTool::getTool(), "Resamples an image based on an input image of vectors")}) {
    EXPECT_EQ(tool->getProtocol()->getDescription(), description);
    EXPECT_EQ(tool->getProtocol()->getVisibility(), 0);
  }
}

TEST(WarpGeneratorControllerTest, EntryMovesReachEachHandlerOnceUnlessRemovedMeanwhile) {
  Graph g;
  WarpGeneratorController& c = generatorOf(g.generator);
  RCShdPtr<PiMultivaluedInput> const shapes = c.getShapesInput();
  for (char const* name : {"A", "B", "C"}) g.addPair(name, circle(50, 50, 10));
  using Info = WarpGeneratorController::MultiInfo;
  std::vector<std::string> heard;
  auto record = [&](char const* who, Info const& i) {
    heard.push_back(std::string(who) + " " + i.sourceShape->getSource()->getNode()->getName() + " " +
                    std::to_string(i.oldIndex) + ">" + std::to_string(i.newIndex));
  };
  CbFunctionHandler<Info const> second([&](Info const& i) { record("second", i); });
  CbFunctionHandler<Info const> first([&](Info const& i) {
    record("first", i);
    if (i.newIndex == 0) c.removeInputMovedInMultiCallback(&second);
  });
  c.addInputMovedInMultiCallback(nullptr);
  for (auto* h : {&first, &second, &first}) c.addInputMovedInMultiCallback(h);

  shapes->moveEntry(0, 2);  // A to the end: B C A
  EXPECT_EQ(shapes->getEntry(2)->getPath(), "Shapes/2");
  g.graph->getCommandStack()->undo();  // A back to the front, and "second" leaves
  shapes->moveEntry(1, 0);             // B C... from A B C: B A C
  EXPECT_EQ(heard, (Names{"first A 0>2", "second A 0>2", "first A 2>0", "first B 1>0"}));
}

// The warp from tools renders bit for bit what the processing nodes render,
// for both outputs and at proxy levels, and keeps doing so after an edit,
// undo, redo, save and load.
TEST(WarpToolGraphTest, RendersLikeTheNodeLevelWarpThroughEditsUndoRedoSaveAndLoad) {
  GeBezierCurve const src = circle(80, 70, 35), fence = circle(160, 40, 12);
  Graph g;
  RCShdPtr<PiNode> const shape = g.addPair("S", src);
  RCShdPtr<PiNode> const fenceShape = g.addPair("F", fence);
  fenceShape->getInput("Fence")->setValue(true);
  shape->getInput("Smoothing")->setValue(int(WarpGridProc::None));
  RCShdPtr<PiNode> const destination = g.graph->findNode("SD");
  auto moveTo = [&](double x) { destination->getInput("Transform/Translation/X")->setValue(x); };
  destination->getInput("Transform/Translation/Y")->setValue(10.0);
  moveTo(20);
  auto scene = [&](float x) {
    return Scene{
        kFrame,
        {{src, mapped(src, M::translation(x, 10)), {}, int(WarpGridProc::None)}, {fence, fence, {}, 0, 1, true}}};
  };

  std::vector<IxTile> expected[2];
  for (float x : {20.0f, 35.0f})
    for (int level : {0, 1})
      for (bool simplified : {false, true})
        expected[x == 35.0f].push_back(renderAll(nodeLevelWarp(scene(x), simplified), level));
  auto rendersLike = [&](RCShdPtr<PiGraph> const& graph, std::vector<IxTile> const& images) {
    PiProcGraph procs(graph);
    RCShdPtr<PiNode> const resampler = graph->findNode("Warp Resampler");
    std::size_t i = 0;
    bool same = true;
    for (int level : {0, 1})
      for (char const* output : {"Output", "Destination Image"})
        same = sameBits(renderAll(procs.getImageNode(resampler->getOutput(output)), level), images[i++]) && same;
    return same;
  };
  ASSERT_NE(expected[0][0].getPixelRegion(), Rect());
  EXPECT_FALSE(sameBits(expected[0][0], expected[1][0]));  // the edit shows
  EXPECT_TRUE(rendersLike(g.graph, expected[0]));
  moveTo(35);
  EXPECT_TRUE(rendersLike(g.graph, expected[1]));
  PiCommandStack& stack = *g.graph->getCommandStack();
  stack.undo();
  EXPECT_TRUE(rendersLike(g.graph, expected[0]));
  stack.redo();
  EXPECT_TRUE(rendersLike(g.graph, expected[1]));
  EXPECT_TRUE(rendersLike(PiGraphDocument::load(PiGraphDocument::save(*g.graph)), expected[1]));

  // An entry whose shape image is unconnected: the generator, and so the
  // resampler, computes nothing rather than failing.
  g.graph->disconnect(g.generator->getInput("Shapes/0/" + WarpGeneratorController::getSourceInputName()));
  PiProcGraph procs(g.graph);
  EXPECT_FALSE(procs.getImageNode(g.resampler->getOutput("Output"))->isChainConnected());
}

// A resampler whose tool lacks "Quality" and "Boundary" renders as one set to
// quality 10 and "Free"; the "Destination Image" is always bilinear.
TEST(WarpResamplerControllerTest, QualityAndBoundaryFallbacksAndTheBilinearDestinationImage) {
  GeBezierCurve const src = circle(90, 60, 30);
  auto build = [&](RCShdPtr<const PiTool> const& tool) {
    auto g = std::make_unique<Graph>(tool);
    g->addPair("S", src);
    g->graph->findNode("SD")->getInput("Transform/Scale/X")->setValue(1.4);
    return g;
  };
  auto const plain = build(WarpResamplerTool::getTool()), lacking = build(tools().withoutQuality);
  plain->resampler->getInput("Quality")->setValue(10.0);
  plain->resampler->getInput("Boundary")->setValue(int(kBoundaryFree));
  PiProcGraph plainProcs(plain->graph), lackingProcs(lacking->graph);
  auto render = [](PiProcGraph& procs, Graph const& g, char const* output) {
    return renderAll(procs.getImageNode(g.resampler->getOutput(output)));
  };
  IxTile const free = render(plainProcs, *plain, "Output");
  EXPECT_NE(free.getPixelRegion(), kFrame);  // "Free" reaches past the frame
  EXPECT_TRUE(sameBits(render(lackingProcs, *lacking, "Output"), free));

  IxTile const destination = render(plainProcs, *plain, "Destination Image");
  plain->resampler->getInput("Filter")->setValue(3);
  plain->resampler->getInput("Invert Warp")->setValue(true);
  EXPECT_TRUE(sameBits(render(plainProcs, *plain, "Destination Image"), destination));
  EXPECT_FALSE(sameBits(render(plainProcs, *plain, "Output"), free));
}

}  // namespace
