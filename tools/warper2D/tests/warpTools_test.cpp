// The four internal tools in node graphs, wired as the super tool wires them
// (input image -> "Empty Image" -> shape renderer pairs -> generator "Shapes"
// entries -> resampler): the shape image (layout, placement at proxy levels
// and pixel aspect ratios), the empty image, descriptions and policies, the
// shape controller's services and clipboard, the generator's entry-moved
// callbacks, and the whole warp against the same warp built from processing
// nodes, through edits, undo, redo, save and load.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>

#include "emptyImageTool.h"
#include "framework/drClipboard.h"
#include "framework/piGraphDocument.h"
#include "framework/piUserSettings.h"
#include "internalAPI/piGraphUtils.h"
#include "internalAPI/piXmlDocument.h"
#include "pluginAPI/piProcGraph.h"
#include "resmgt/osEnv.h"
#include "storage/stImageCacheNode.h"
#include "warpGridProc.h"
#include "warpResamplerTool.h"
#include "warpShapeTool.h"
#include "warpTestNodes.h"
#include "warper2DSuperTool.h"

namespace {

using namespace warptest;
using namespace Qx::Warper2D;
using Names = std::vector<std::string>;
using Super = Warper2DSuperToolController;
using Generator = WarpGeneratorController;
Rect const kFrame(0, 0, 200, 150);

// A fine checkerboard in R, gradients in G and B: a fraction of a pixel of
// displacement changes it.
Color picture(double x, double y) {
  return Color((int(std::floor(x / 3)) + int(std::floor(y / 3))) & 1 ? 0.75f : 0.25f, float(y / 256), float(x / 256),
               1);
}

// The picture, float RGBA or half RGB, of pixel aspect ratio "Aspect".
class SourceCtl : public PiImageGenerator {
 public:
  static void describe(PiToolPolicyDescriptor& d) {
    d.require("Aspect", PI_DOUBLE).setDefaultValue(1.0);
    d.require("Half", PI_BOOL);
  }
  PxNodePtr<PxImageProtocol> createProcNode(PxNodePtr<PxImageProtocol> const&, PiProcNodeProvider const&) override {
    IxPixelFormat const f = getInput("Half")->getBool() ? IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT16)
                                                        : IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32);
    return PxNodePtr<TestImage>::create(
        PxImageFormat(f, float(getInput("Aspect")->getDouble())), kFrame,
        [](int x, int y, int k) { return picture(std::ldexp(x, k), std::ldexp(y, k)); });
  }
};

// Registers the tools once, and a resampler tool without "Quality" and
// "Boundary".
struct Tools {
  RCShdPtr<const PiTool> source, resamplerWithoutQuality;
};
Tools const& tools() {
  static Tools const t = [] {
    setenv("QX_USER_SETTINGS_FILE", (std::filesystem::temp_directory_path() / "qxWarpToolsSettings.json").c_str(), 1);
    for (auto init : {WarpGeneratorTool::initialize, WarpResamplerTool::initialize, WarpShapeTool::initialize,
                      EmptyImageTool::initialize})
      init();
    auto lacking = makeRC<PiToolProtocolImp>(
        [](PiToolPolicyDescriptor& d) {
          for (PiSocketDecl const& in : WarpResamplerTool::getTool()->getDescriptor().getInputs())
            if (in.getName() != "Quality" && in.getName() != "Boundary")
              d.require(in.getName(), in.getType(), in.getPolicy());
          d.addOutput(Super::getDestinationOutputName());
        },
        [] { return RCShdPtr<PiNodeController>(makeRC<WarpResamplerController>()); });
    lacking->setName("Resampler Without Quality");
    return Tools{PiImageModifier::registerTool(PiMorvaneToolProtocol::create<SourceCtl>("Warp Test Source", "")),
                 PiImageModifier::registerTool(lacking)};
  }();
  return t;
}

WarpShapeController& ctl(RCShdPtr<PiNode> const& n) { return *rcCheckedCast<WarpShapeController>(n->getController()); }
Generator& generatorOf(RCShdPtr<PiNode> const& n) { return *rcCheckedCast<Generator>(n->getController()); }

struct Graph {
  RCShdPtr<PiGraph> graph = PiGraph::create();
  RCShdPtr<PiNode> input = graph->createNode(tools().source, "Input");
  RCShdPtr<PiNode> empty = graph->createNode(EmptyImageTool::getTool(), "Empty Image");
  RCShdPtr<PiNode> generator = graph->createNode(WarpGeneratorTool::getTool(), "Warp Generator");
  RCShdPtr<PiNode> resampler;

  explicit Graph(double aspect = 1.0, RCShdPtr<const PiTool> const& resamplerTool = nullptr)
      : resampler(graph->createNode(resamplerTool ? resamplerTool : WarpResamplerTool::getTool(), "Warp Resampler")) {
    input->getInput("Aspect")->setValue(aspect);
    for (RCShdPtr<PiNode> const& n : {empty, generator, resampler}) graph->connect(n->getInput("Input"), out(input));
    graph->connect(resampler->getInput("Mesh Image"), out(generator));
    graph->connect(resampler->getInput("Destination Mesh Image"), out(generator, "Destination Image"));
  }
  static RCShdPtr<PiOutput> out(RCShdPtr<PiNode> const& n, std::string const& name = "Output") {
    return n->getOutput(name);
  }
  RCShdPtr<PiNode> shapeNode(std::string const& name, GeBezierCurve const& curve) {
    RCShdPtr<PiNode> const n = graph->createNode(WarpShapeTool::getTool(), name);
    graph->connect(n->getInput(PiImageModifier::getSingleInputName()), out(empty));
    PiCurveInputValue::setCurve(n->getInput("Curve"), curve);
    return n;
  }
  // A source node and its destination "<name>D", added as an entry whose
  // per-shape settings follow the source node's.
  RCShdPtr<PiNode> addPair(std::string const& name, GeBezierCurve const& curve) {
    RCShdPtr<PiNode> const src = shapeNode(name, curve), dst = shapeNode(name + "D", curve);
    auto const entry = rcCheckedCast<PiCompositeInput>(generatorOf(generator).getShapesInput()->addEntry());
    graph->connect(entry->getInput(Generator::getSourceInputName()), out(src));
    graph->connect(entry->getInput(Generator::getDestinationInputName()), out(dst));
    for (std::string const& field :
         {Generator::getSmoothingInputName(), Generator::getFenceInputName(), Generator::getInterpolationInputName()})
      graph->connect(entry->getInput(field), src->getInput(field)->getCarrierOutput());
    return src;
  }
};

void setLinks(RCShdPtr<PiNode> const& n, std::vector<float> const& floats) {
  for (std::size_t i = 0; i < floats.size(); ++i) {
    if (i % 2 == 0) rcCheckedCast<PiMultivaluedInput>(n->getInput("Gradient"))->addEntry();
    n->getInput("Gradient/" + std::to_string(i / 2) + (i % 2 ? "/Distance" : "/Position"))->setValue(floats[i]);
  }
}

IxTile render(PiProcGraph& procs, RCShdPtr<PiNode> const& node, std::string const& output = "Output", int level = 0) {
  return renderAll(procs.getImageNode(node->getOutput(output)), level);
}

Vector<P> pointsOf(GeBezierCurve const& c) {
  Vector<P> p;
  c.getCtrlPoints(p);
  return p;
}

bool sameBits(IxTile const& a, IxTile const& b) {
  Rect const r = a.getPixelRegion();
  if (r != b.getPixelRegion() || a.getPixelFormat() != b.getPixelFormat()) return false;
  std::size_t const row = std::size_t(r.getWidth()) * a.getPixelFormat().getBytesPerPixel();
  for (int y = r.y1(); y < r.y2(); ++y)
    if (std::memcmp(IxReadGuard(a).getPixelAddress(r.x1(), y), IxReadGuard(b).getPixelAddress(r.x1(), y), row))
      return false;
  return true;
}

TEST(ShapeRendererTest, RendersItsCurveAndLinksAsAShapeImage) {
  struct Case {
    int nbPoints;
    std::vector<float> links;
    int w, h;
  } const cases[] = {{4, {0.5f, 1.0f, 1.5f, 2.0f, 2.5f, 3.0f}, 6, 7}, {20, {}, 10, 14}, {0, {}, 6, 3}};
  for (Case const& c : cases) {
    Graph g;
    RCShdPtr<PiNode> const a = g.shapeNode("A", smoothCurve(c.nbPoints));
    setLinks(a, c.links);
    PiProcGraph procs(g.graph);
    IxTile const image = render(procs, a);
    ASSERT_EQ(image.getPixelRegion(), Rect(0, 0, c.w, c.h)) << c.nbPoints;
    float const header[] = {float(c.w), float(c.h), float(c.nbPoints), 1.0f, float(c.links.size())};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(colorAt(image, i, 0).a, header[i]) << c.nbPoints << " field " << i;
    GeBezierCurve back;
    Vector<float> links;
    ShapeImage::decode(image, 0, back, links);
    EXPECT_EQ(pointsOf(back), pointsOf(smoothCurve(c.nbPoints)));
    EXPECT_EQ(links, Vector<float>(c.links.begin(), c.links.end()));
    // Entries added after a build reach the shape image.
    setLinks(a, {0.25f, 0.0f});
    EXPECT_EQ(colorAt(render(procs, a), 4, 0).a, float(c.links.size() + 2));
  }
}

TEST(ShapeRendererTest, PlacesTheCurveInPixelsOfTheRequestedLevel) {
  struct Case {
    int level;
    double aspect;
    std::vector<std::pair<char const*, double>> values;
    std::function<P(P)> expected;  // nominal point -> pixel of the level
  } const cases[] = {
      {1,
       1.0,
       {{"Transform/Translation/X", 10},
        {"Transform/Translation/Y", 20},
        {"OffsetTranslation/X", 4},
        {"OffsetTranslation/Y", -6}},
       [](P p) { return P((p.x() + 14) / 2, (p.y() + 14) / 2); }},
      {0, 2.0, {{"Transform/Scale/X", 2}, {"Transform/Scale/Y", 3}}, [](P p) { return P(p.x(), 3 * p.y()); }},
      {2, 0.5, {{"Transform/Rotation", 90}}, [](P p) { return P(-0.5f * p.y(), 0.25f * p.x()); }},
      // The offset comes after the transform: rotating it would give (-(y + 4) + 8, x).
      {1,
       2.0,
       {{"Transform/Rotation", 90}, {"Transform/Translation/X", 8}, {"OffsetTranslation/Y", 4}},
       [](P p) { return P(0.25f * (8 - p.y()), 0.5f * (p.x() + 4)); }},
      {0,
       1.0,
       {{"Transform/Scale/X", 2}, {"Transform/Pivot/X", 10}, {"Transform/Shear/X", 0.5}},
       [](P p) { return P(10 + 2 * (p.x() - 10) + 0.5f * p.y(), p.y()); }},
  };
  for (Case const& c : cases) {
    Graph g(c.aspect);
    RCShdPtr<PiNode> const a = g.shapeNode("A", smoothCurve(5));
    for (auto const& [path, v] : c.values) a->getInput(path)->setValue(v);
    PiProcGraph procs(g.graph);
    IxTile const image = render(procs, a, "Output", c.level);
    EXPECT_EQ(image.getPixelRegion(), ShapeImage::computeRegion(5, 0));
    EXPECT_EQ(image.getPixelAspectRatio(), float(c.aspect));
    GeBezierCurve back;
    Vector<float> links;
    ShapeImage::decode(image, 0, back, links);
    Vector<P> const got = pointsOf(back), nominal = pointsOf(smoothCurve(5));
    ASSERT_EQ(got.size(), nominal.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      P const d = got[i] - c.expected(nominal[i]);
      EXPECT_LT(std::abs(d.x()) + std::abs(d.y()), 1e-3) << "level " << c.level << ", aspect " << c.aspect << ", " << i;
    }
  }
}

TEST(EmptyImageTest, HasTheFormatOfItsInputAndNoPixels) {
  for (auto const& [half, aspect] : std::vector<std::pair<bool, double>>{{false, 1.0}, {true, 2.0}, {false, 0.5}}) {
    Graph g(aspect);
    g.input->getInput("Half")->setValue(half);
    PiProcGraph procs(g.graph);
    auto const empty = procs.getImageNode(g.empty->getOutput("Output"));
    EXPECT_EQ(empty->getImageFormat(), procs.getImageNode(g.input->getOutput("Output"))->getImageFormat());
    PxImageContext const context(3.0, 0, 2, Rect(-5, 4, 70, 60));
    PxRODResult const rod = empty->computeROD(context);
    PxImageResult const r = empty->computeImage(context);
    EXPECT_TRUE(rod.rod.isEmpty() && r.tile.getPixelRegion().isEmpty() && r.tile.getFillColor() == Color::ZERO);
    EXPECT_EQ(reduceVI(r.validity, rod.validity), PxValidityInterval::FULL);
  }
  // Unconnected, it computes nothing; a shape node over it still gives its
  // shape, with square pixels.
  Graph g(2.0);
  RCShdPtr<PiNode> const a = g.shapeNode("A", smoothCurve(3));
  g.graph->disconnect(g.empty->getInput("Input"));
  PiProcGraph procs(g.graph);
  EXPECT_FALSE(procs.getImageNode(g.empty->getOutput("Output"))->isChainConnected());
  EXPECT_EQ(render(procs, a).getPixelAspectRatio(), 1.0f);
}

// Every tool's inputs in order, the listing order and default of every
// enumeration, the ranges; the internal tools are not offered to the user.
TEST(WarpToolsDescriptionTest, InputsPoliciesDefaultsAndListingOrders) {
  Graph g;
  RCShdPtr<PiNode> const s = g.shapeNode("S", smoothCurve(2)), gen = g.generator, res = g.resampler;
  setLinks(s, {0, 0});
  auto names = [](auto const& list) {
    Names n;
    for (auto const& item : list) n.push_back(item->getName());
    return n;
  };
  RCShdPtr<PiMultivaluedInput> const shapes = generatorOf(gen).getShapesInput();
  ASSERT_EQ(shapes->getEntryCount(), 0u);  // a fresh generator has no shapes
  shapes->addEntry();
  EXPECT_EQ(names(s->getInputs()), (Names{"Input", "Curve", "Transform", "OffsetTranslation", "Smoothing", "Fence",
                                          "Interpolation", "Gradient"}));
  EXPECT_EQ(names(s->getValues()), (Names{"Link", "Curve Color", "Handles Color", "Mute", "Lock", "Visible"}));
  EXPECT_EQ(names(gen->getInputs()), (Names{"Input", "Shapes", "Quality", "Smoothing", "Boundary"}));
  EXPECT_EQ(names(rcCheckedCast<PiCompositeInput>(shapes->getEntry(0))->getInputs()),
            (Names{"Source Shape", "Destination Shape", "Smoothing", "Fence", "Interpolation"}));
  EXPECT_EQ(names(res->getInputs()), (Names{"Input", "Mesh Image", "Destination Mesh Image", "Timing", "Interpolation",
                                            "Invert Warp", "Filter", "Quality", "Boundary"}));
  for (auto const& n : {gen, res}) EXPECT_EQ(names(n->getOutputs()), (Names{"Output", "Destination Image"}));

  using Pairs = std::vector<std::pair<int, std::string>>;
  Pairs const smoothing{{0, "Bidirectional"}, {1, "Inside"}, {2, "Outside"}, {3, "None"}};
  Pairs const free{{1, "Free"}, {0, "Fixed"}};
  struct Enum {
    RCShdPtr<PiNode> node;
    char const* path;
    Pairs pairs;
    int value;
  } const enums[] = {{s, "Smoothing", smoothing, 0}, {gen, "Shapes/0/Smoothing", smoothing, 0},
                     {gen, "Smoothing", {{0, "Skew"}, {1, "Rigid"}}, 0}, {gen, "Boundary", free, 0},
                     {res, "Timing", {{0, "Global"}, {1, "Shape"}}, 0}, {res, "Boundary", free, 0},
                     {res, "Filter", {{0, "Nearest"}, {1, "Bilinear"}, {3, "Mitchell"}, {2, "Gaussian"},
                                      {5, "Jinc 2"}, {6, "Jinc 3"}}, 1}};
  for (Enum const& e : enums) {
    auto const policy = rcDynamicCast<const PiEnumPolicy>(e.node->getInput(e.path)->getPolicy());
    EXPECT_EQ(policy->getPairs(), e.pairs) << e.path;
    EXPECT_EQ(e.node->getInput(e.path)->getInt(), e.value) << e.path;
  }
  EXPECT_EQ(s->getInput("Smoothing")->getPolicy(), WarpShapeController::getSmoothingPolicy());

  double const big = 2147483647.0, huge = std::numeric_limits<double>::max();
  struct Range {
    RCShdPtr<PiNode> node;
    char const* path;
    double min, max, value;
  } const ranges[] = {{s, "Transform/Rotation", -big, big, 0}, {s, "Transform/Scale/X", -big, big, 1},
                      {s, "OffsetTranslation/Y", -big, big, 0}, {s, "Interpolation", 0, 1, 1},
                      {s, "Gradient/0/Distance", -huge, huge, 0}, {gen, "Quality", 1, 10, 1},
                      {res, "Quality", 1, 10, 1}, {res, "Interpolation", 0, 1, 1}};
  for (Range const& r : ranges) {
    auto p = rcDynamicCast<const PiRangeInputPolicy<double>>(r.node->getInput(r.path)->getPolicy());
    double const value = r.node->getInput(r.path)->getDouble();
    EXPECT_EQ(std::vector<double>({p->getMin(), p->getMax(), value, 1.0 * p->isClamped()}),
              std::vector<double>({r.min, r.max, r.value, 1.0})) << r.path;
  }
  EXPECT_FALSE(s->getInput("Fence")->getBool() || res->getInput("Invert Warp")->getBool());

  EXPECT_EQ(std::pair(g.empty->getTool()->getDescriptor().getAffect(), res->getTool()->getDescriptor().getAffect()),
            std::pair(2, 1));
  for (auto const& n : {s, g.empty, gen, res}) EXPECT_EQ(n->getTool()->getProtocol()->getVisibility(), 0);
}

bool sameCurve(RCShdPtr<PiNode> const& a, RCShdPtr<PiNode> const& b) {
  for (double t : {0.0, 5.0, 10.0}) {
    GeBezierCurve const ca = PiCurveInputValue::getCurve(ctl(a).getCurveInput(), t);
    GeBezierCurve const cb = PiCurveInputValue::getCurve(ctl(b).getCurveInput(), t);
    if (pointsOf(ca) != pointsOf(cb) || ca.getClosure() != cb.getClosure()) return false;
  }
  return true;
}

// Pasting is one command, and nothing without a shape on the clipboard.
TEST(ShapeClipboardTest, PasteIsOneUndoableCommandAndNothingWithoutAShape) {
  Graph g;
  GeBezierCurve open = smoothCurve(6, 0.5f);
  open.setClosure(GeBezierCurve::OPEN);
  RCShdPtr<PiNode> const a = g.shapeNode("A", smoothCurve(4)), b = g.shapeNode("B", open);
  RCShdPtr<PiNode> const before = g.shapeNode("C", open);
  a->getInput("Curve/Points/0/Point/X")->setKey(0.0, 1.0);
  a->getInput("Curve/Points/0/Point/X")->setKey(10.0, 77.0);
  PiCommandStack& stack = *g.graph->getCommandStack();
  SnSelection other;
  other.addItem(SnItemBasic<int>::create(3));
  for (RCShdPtr<DrCarrier> const& content : {RCShdPtr<DrCarrier>(), DrCarrier::create(other)}) {
    DrClipboard::getInstance().setContent(content, DrAction::Copy);
    unsigned const state = stack.getState();
    ctl(b).pasteShapeFromClipboard();
    EXPECT_EQ(stack.getState(), state);
    EXPECT_TRUE(sameCurve(b, before));
  }
  ctl(a).copyShapeToClipboard();
  RCShdPtr<PiNode> const copied = PiGroupUtils::copyNode(a);
  PiCurveInputValue::setCurve(ctl(a).getCurveInput(), smoothCurve(2));  // the clipboard holds a snapshot
  std::size_t const index = stack.getIndex();
  ctl(b).pasteShapeFromClipboard();
  EXPECT_EQ(std::pair(stack.getIndex(), stack.getUndoName()), std::pair(index + 1, std::string("Paste Shape")));
  EXPECT_TRUE(sameCurve(b, copied));
  stack.undo();
  EXPECT_TRUE(sameCurve(b, before));
  stack.redo();
  EXPECT_TRUE(sameCurve(b, copied));
}

TEST(WarpShapeControllerTest, ResetsLinksStateAndViewerServices) {
  Graph g;
  RCShdPtr<PiNode> const a = g.shapeNode("A", smoothCurve(3));
  WarpShapeController& c = ctl(a);
  using Values = std::vector<std::pair<char const*, double>>;
  for (auto const& [path, v] : Values{{"Transform/Translation/X", 3}, {"Transform/Rotation", 30},
                                      {"Transform/Scale/Y", 2}, {"Transform/Shear/X", 1}, {"Transform/Pivot/Y", 9},
                                      {"OffsetTranslation/X", 4}, {"Smoothing", 2}})
    a->getInput(path)->setValue(v);
  c.getLinkValue()->setValue(false);
  c.setShapeColor(WarpShapeController::getDestinationColor());
  c.resetTransformation();
  EXPECT_EQ(g.graph->getCommandStack()->getUndoName(), "Reset Transformation");
  for (auto const& in : {c.getTranslationXInput(), c.getRotationInput(), c.getShearXInput(), c.getPivotYInput(),
                         c.getTranslationOffsetXInput(), c.getScaleYInput(), c.getSmoothingInput()})
    EXPECT_EQ(in->getDouble(), in == c.getScaleYInput() ? 1 : in == c.getSmoothingInput() ? 2 : 0) << in->getPath();
  c.reset();
  EXPECT_EQ(c.getSmoothingInput()->getInt(), 0);
  EXPECT_TRUE(c.getLinkValue()->getBool());
  EXPECT_EQ(std::pair(c.getCurveColorValue()->getColor(), c.getHandleColorValue()->getColor()),
            std::pair(PiColor(1, 0, 0, 1), PiColor(1, 1, 0, 1)));

  for (auto const& [name, v] : {std::pair("Smoothing", 3.0), {"Fence", 1.0}, {"Interpolation", 0.25}})
    PiUserSettings::getInstance().set("Warp 2D", std::string("Creation") + name, v);
  c.resetComposition();
  EXPECT_EQ(std::vector<double>({c.getSmoothingInput()->getDouble(), c.getFenceInput()->getDouble(),
                                 c.getInterpolationInput()->getDouble()}),
            std::vector<double>({3.0, 1.0, 0.25}));
  c.getFenceInput()->setKey(0.0, false);
  c.getFenceInput()->setKey(10.0, true);
  auto at = [&](double t) { return makeRC<const PiTimePath>(*PiPath::create(a), t); };
  EXPECT_TRUE(c.areLinksVisible(at(0.0)));
  EXPECT_FALSE(c.areLinksVisible(at(10.0)));
  EXPECT_EQ(c.getCommandState(), g.graph->getCommandStack()->getState());


  // The panel names inputs the node has (a list, those of an entry).
  setLinks(a, {0, 0});
  setenv("QX_TOOL_UI_DIR", WARP2D_TOOL_UI_DIR, 1);
  int widgets = 0;
  std::function<void(PiXmlElement const&, std::string)> walk = [&](PiXmlElement const& e, std::string path) {
    if (e.hasAttribute("input")) {
      path += e.getAttribute("input");
      EXPECT_FALSE(a->getInput(path).isNull()) << path;
      path += e.getName() == "list" ? "/0/" : "";
      ++widgets;
    }
    for (PiXmlElement const& child : e.getChildren()) walk(child, path);
  };
  walk(PiXmlDocument::readFile(OsEnv::expandPath(c.getUIDescriptionPath()))->getRoot(), "");
  EXPECT_GT(widgets, 10);
}

TEST(WarpGeneratorControllerTest, EntryMovesReachEachHandlerOnceUnlessRemovedMeanwhile) {
  Graph g;
  Generator& c = generatorOf(g.generator);
  for (char const* name : {"A", "B", "C"}) g.addPair(name, smoothCurve(3));
  Names heard;
  auto record = [&](char const* who, Generator::MultiInfo const& i) {
    heard.push_back(std::string(who) + " " + i.sourceShape->getSource()->getNode()->getName() + " " +
                    std::to_string(i.oldIndex) + ">" + std::to_string(i.newIndex));
  };
  CbFunctionHandler<Generator::MultiInfo const> second([&](auto const& i) { record("second", i); });
  CbFunctionHandler<Generator::MultiInfo const> first([&](auto const& i) {
    record("first", i);
    if (i.newIndex == 0) c.removeInputMovedInMultiCallback(&second);
  });
  for (auto* h : {&first, &second, &first, static_cast<decltype(&first)>(nullptr)}) c.addInputMovedInMultiCallback(h);
  c.getShapesInput()->moveEntry(0, 2);  // B C A
  g.graph->getCommandStack()->undo();   // A B C; "second" leaves
  c.getShapesInput()->moveEntry(1, 0);  // B A C
  EXPECT_EQ(heard, (Names{"first A 0>2", "second A 0>2", "first A 2>0", "first B 1>0"}));
}

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

// The warp from tools renders bit for bit what the processing nodes render,
// both outputs at two levels, after an edit, undo, redo, save and load.
TEST(WarpToolGraphTest, RendersLikeTheNodeLevelWarpThroughEditsUndoRedoSaveAndLoad) {
  GeBezierCurve const src = circle(80, 70, 35), fence = circle(160, 40, 12);
  Graph g;
  g.addPair("S", src)->getInput("Smoothing")->setValue(int(WarpGridProc::None));
  g.addPair("F", fence)->getInput("Fence")->setValue(true);
  RCShdPtr<PiInput> const x = g.graph->findNode("SD")->getInput("Transform/Translation/X");
  g.graph->findNode("SD")->getInput("Transform/Translation/Y")->setValue(10.0);
  x->setValue(20.0);
  std::vector<IxTile> expected[2];
  for (float dx : {20.0f, 35.0f}) {
    Scene const scene{kFrame, {{src, mapped(src, M::translation(dx, 10)), {}, 3}, {fence, fence, {}, 0, 1, true}}};
    for (int level : {0, 1})
      for (bool simplified : {false, true})
        expected[dx > 20].push_back(renderAll(nodeLevelWarp(scene, simplified), level));
  }
  auto rendersLike = [&](RCShdPtr<PiGraph> const& graph, std::vector<IxTile> const& images) {
    PiProcGraph procs(graph);
    std::size_t i = 0;
    bool same = true;
    for (int level : {0, 1})
      for (char const* output : {"Output", "Destination Image"})
        same = sameBits(render(procs, graph->findNode("Warp Resampler"), output, level), images[i++]) && same;
    return same;
  };
  ASSERT_FALSE(expected[0][0].getPixelRegion().isEmpty());
  EXPECT_FALSE(sameBits(expected[0][0], expected[1][0]));  // the edit shows
  EXPECT_TRUE(rendersLike(g.graph, expected[0]));
  x->setValue(35.0);
  EXPECT_TRUE(rendersLike(g.graph, expected[1]));
  g.graph->getCommandStack()->undo();
  EXPECT_TRUE(rendersLike(g.graph, expected[0]));
  g.graph->getCommandStack()->redo();
  EXPECT_TRUE(rendersLike(g.graph, expected[1]));
  EXPECT_TRUE(rendersLike(PiGraphDocument::load(PiGraphDocument::save(*g.graph)), expected[1]));

  // An entry without its shape image: nothing is computed, nothing fails.
  g.graph->disconnect(g.generator->getInput("Shapes/0/Source Shape"));
  PiProcGraph procs(g.graph);
  EXPECT_FALSE(procs.getImageNode(g.resampler->getOutput("Output"))->isChainConnected());
}

// A resampler whose tool lacks "Quality" and "Boundary" renders as one set to
// quality 10 and "Free"; the "Destination Image" is always bilinear.
TEST(WarpResamplerControllerTest, QualityAndBoundaryFallbacksAndTheBilinearDestinationImage) {
  auto build = [&](RCShdPtr<const PiTool> const& tool) {
    auto g = std::make_unique<Graph>(1.0, tool);
    g->addPair("S", circle(90, 60, 30));
    g->graph->findNode("SD")->getInput("Transform/Scale/X")->setValue(1.4);
    return g;
  };
  auto const plain = build(nullptr), lacking = build(tools().resamplerWithoutQuality);
  plain->resampler->getInput("Quality")->setValue(10.0);
  plain->resampler->getInput("Boundary")->setValue(int(kBoundaryFree));
  PiProcGraph procs(plain->graph), lackingProcs(lacking->graph);
  IxTile const free = render(procs, plain->resampler),
               destination = render(procs, plain->resampler, "Destination Image");
  EXPECT_NE(free.getPixelRegion(), kFrame);  // "Free" reaches past the frame
  EXPECT_TRUE(sameBits(render(lackingProcs, lacking->resampler), free));
  plain->resampler->getInput("Filter")->setValue(3);
  plain->resampler->getInput("Invert Warp")->setValue(true);
  EXPECT_TRUE(sameBits(render(procs, plain->resampler, "Destination Image"), destination));
  EXPECT_FALSE(sameBits(render(procs, plain->resampler), free));
}

}  // namespace
