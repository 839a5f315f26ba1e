// The shape renderer and empty image tools in node graphs: the shape image an
// image -> empty image -> shape renderer chain renders (layout, placement at
// proxy levels and pixel aspect ratios), descriptions and policies, the
// controller's services, clipboard copy and paste, save, load, undo, redo.
#include <gtest/gtest.h>

#include <cstdlib>
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
#include "warpShapeTool.h"
#include "warpTestNodes.h"

namespace {

using namespace warptest;
using namespace Qx::Warper2D;
using Names = std::vector<std::string>;

// 64 x 48 full-resolution pixels, float RGBA or half RGB, of pixel aspect
// ratio "Aspect".
class SourceCtl : public PiImageGenerator {
 public:
  static void describe(PiToolPolicyDescriptor& d) {
    d.require("Aspect", PI_DOUBLE).setDefaultValue(1.0);
    d.require("Half", PI_BOOL);
  }
  PxNodePtr<PxImageProtocol> createProcNode(PxNodePtr<PxImageProtocol> const&, PiProcNodeProvider const&) override {
    IxPixelFormat const f = getInput("Half")->getBool() ? IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT16)
                                                        : IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32);
    return PxNodePtr<TestImage>::create(PxImageFormat(f, float(getInput("Aspect")->getDouble())), Rect(0, 0, 64, 48),
                                           [](int, int, int) { return Color(1, 1, 1, 1); });
  }
};

RCShdPtr<const PiTool> const& sourceTool() {
  static RCShdPtr<const PiTool> const tool = [] {
    setenv("QX_USER_SETTINGS_FILE", (std::filesystem::temp_directory_path() / "qxShapeToolSettings.json").c_str(), 1);
    WarpShapeTool::initialize();
    EmptyImageTool::initialize();
    return PiImageModifier::registerTool(PiMorvaneToolProtocol::create<SourceCtl>("Shape Test Source", ""));
  }();
  return tool;
}

WarpShapeController& ctl(RCShdPtr<PiNode> const& n) { return *rcCheckedCast<WarpShapeController>(n->getController()); }

// Source S -> "Empty Image" E -> shape node A, as the super tool wires them.
struct Scene {
  RCShdPtr<PiGraph> graph = PiGraph::create();
  RCShdPtr<PiNode> s = graph->createNode(sourceTool(), "S");
  RCShdPtr<PiNode> e = graph->createNode(EmptyImageTool::getTool(), "Empty Image");
  RCShdPtr<PiNode> a;
  explicit Scene(double aspect = 1.0) {
    s->getInput("Aspect")->setValue(aspect);
    graph->connect(e->getInput("Input"), s->getOutput("Output"));
    a = addShape("A");
  }
  RCShdPtr<PiNode> addShape(std::string const& name) {
    RCShdPtr<PiNode> n = graph->createNode(WarpShapeTool::getTool(), name);
    graph->connect(n->getInput(PiImageModifier::getSingleInputName()), e->getOutput("Output"));
    return n;
  }
};

void setLinks(RCShdPtr<PiNode> const& n, std::vector<float> const& floats) {
  for (std::size_t i = 0; i < floats.size(); ++i) {
    if (i % 2 == 0) rcCheckedCast<PiMultivaluedInput>(n->getInput("Gradient"))->addEntry();
    n->getInput("Gradient/" + std::to_string(i / 2) + (i % 2 ? "/Distance" : "/Position"))->setValue(floats[i]);
  }
}

IxTile shapeImage(PiProcGraph& procs, RCShdPtr<PiNode> const& node, int level = 0) {
  return renderAll(procs.getImageNode(ctl(node).getOutput()), level);
}

GeBezierCurve curveOf(int nbPoints, float scale = 1.0f) {
  GeBezierCurve c;
  for (int i = 0; i < nbPoints; ++i) c.addPoint(P(scale * (5.0f * i + 1.5f), scale * (40.0f - 3 * i)), c.SMOOTH);
  c.setClosure(GeBezierCurve::CLOSED);
  return c;
}

Vector<P> pointsOf(GeBezierCurve const& c) {
  Vector<P> p;
  c.getCtrlPoints(p);
  return p;
}

TEST(ShapeRendererTest, RendersItsCurveAndLinksAsAShapeImage) {
  struct Case {
    int nbPoints;
    std::vector<float> links;
    int w, h;
  } const cases[] = {{4, {0.5f, 1.0f, 1.5f, 2.0f, 2.5f, 3.0f}, 6, 7}, {20, {}, 10, 14}, {0, {}, 6, 3}};
  for (Case const& c : cases) {
    Scene scene;
    PiCurveInputValue::setCurve(ctl(scene.a).getCurveInput(), curveOf(c.nbPoints));
    setLinks(scene.a, c.links);
    PiProcGraph procs(scene.graph);
    IxTile const image = shapeImage(procs, scene.a);
    ASSERT_EQ(image.getPixelRegion(), Rect(0, 0, c.w, c.h)) << c.nbPoints;
    float const header[] = {float(c.w), float(c.h), float(c.nbPoints), 1.0f, float(c.links.size())};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(colorAt(image, i, 0).a, header[i]) << c.nbPoints << " field " << i;
    GeBezierCurve back;
    Vector<float> links;
    ShapeImage::decode(image, 0, back, links);
    EXPECT_EQ(pointsOf(back), pointsOf(curveOf(c.nbPoints)));
    EXPECT_EQ(links, Vector<float>(c.links.begin(), c.links.end()));
  }
  // Entries added to "Gradient" after a build reach the shape image.
  Scene scene;
  PiProcGraph procs(scene.graph);
  EXPECT_EQ(colorAt(shapeImage(procs, scene.a), 4, 0).a, 0.0f);
  setLinks(scene.a, {0.25f, 0.0f});
  EXPECT_EQ(colorAt(shapeImage(procs, scene.a), 4, 0).a, 2.0f);
}

TEST(ShapeRendererTest, PlacesTheCurveInPixelsOfTheRequestedLevel) {
  struct Case {
    int level;
    double aspect;
    std::vector<std::pair<char const*, double>> values;
    std::function<P(P)> expected;  // nominal point -> pixel of the level
  } const cases[] = {
      {1, 1.0, {{"Transform/Translation/X", 10}, {"Transform/Translation/Y", 20}, {"OffsetTranslation/X", 4},
                {"OffsetTranslation/Y", -6}},
       [](P p) { return P((p.x() + 14) / 2, (p.y() + 14) / 2); }},
      {0, 2.0, {{"Transform/Scale/X", 2}, {"Transform/Scale/Y", 3}}, [](P p) { return P(p.x(), 3 * p.y()); }},
      {2, 0.5, {{"Transform/Rotation", 90}}, [](P p) { return P(-0.5f * p.y(), 0.25f * p.x()); }},
      // The offset comes after the transform: rotating it would give (-(y + 4) + 8, x).
      {1, 2.0, {{"Transform/Rotation", 90}, {"Transform/Translation/X", 8}, {"OffsetTranslation/Y", 4}},
       [](P p) { return P(0.25f * (8 - p.y()), 0.5f * (p.x() + 4)); }},
      {0, 1.0, {{"Transform/Scale/X", 2}, {"Transform/Pivot/X", 10}, {"Transform/Shear/X", 0.5}},
       [](P p) { return P(10 + 2 * (p.x() - 10) + 0.5f * p.y(), p.y()); }},
  };
  for (Case const& c : cases) {
    Scene scene(c.aspect);
    PiCurveInputValue::setCurve(ctl(scene.a).getCurveInput(), curveOf(5));
    for (auto const& [path, v] : c.values) scene.a->getInput(path)->setValue(v);
    PiProcGraph procs(scene.graph);
    IxTile const image = shapeImage(procs, scene.a, c.level);
    EXPECT_EQ(image.getPixelRegion(), ShapeImage::computeRegion(5, 0));
    EXPECT_EQ(image.getPixelAspectRatio(), float(c.aspect));
    GeBezierCurve back;
    Vector<float> links;
    ShapeImage::decode(image, 0, back, links);
    Vector<P> const got = pointsOf(back), nominal = pointsOf(curveOf(5));
    ASSERT_EQ(got.size(), nominal.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      P const d = got[i] - c.expected(nominal[i]);
      EXPECT_LT(std::abs(d.x()) + std::abs(d.y()), 1e-3) << "level " << c.level << ", aspect " << c.aspect << ", " << i;
    }
  }
}

TEST(ShapeToolDescriptionTest, PoliciesDefaultsAndOrders) {
  Scene scene;
  setLinks(scene.a, {0, 0});
  Names inputs, values;
  for (auto const& in : scene.a->getInputs()) inputs.push_back(in->getName());
  for (auto const& v : scene.a->getValues()) values.push_back(v->getName());
  EXPECT_EQ(inputs, (Names{"Input", "Curve", "Transform", "OffsetTranslation", "Smoothing", "Fence", "Interpolation",
                           "Gradient"}));
  EXPECT_EQ(values, (Names{"Link", "Curve Color", "Handles Color", "Mute", "Lock", "Visible"}));
  double const big = 2147483647.0, huge = std::numeric_limits<double>::max();
  struct Range {
    char const* path;
    double min, max, def;
  } const ranges[] = {{"Transform/Translation/Y", -big, big, 0}, {"Transform/Rotation", -big, big, 0},
                      {"Transform/Scale/X", -big, big, 1},       {"Transform/Shear/Y", -big, big, 0},
                      {"Transform/Pivot/X", -big, big, 0},       {"OffsetTranslation/Y", -big, big, 0},
                      {"Interpolation", 0, 1, 1},                {"Gradient/0/Distance", -huge, huge, 0}};
  for (Range const& r : ranges) {
    auto p = rcDynamicCast<const PiRangeInputPolicy<double>>(scene.a->getInput(r.path)->getPolicy());
    EXPECT_EQ(std::vector<double>({p->getMin(), p->getMax(), p->getDefault(), double(p->isClamped())}),
              std::vector<double>({r.min, r.max, r.def, 1.0}))
        << r.path;
  }
  auto smoothing = rcDynamicCast<const PiEnumPolicy>(scene.a->getInput("Smoothing")->getPolicy());
  ASSERT_EQ(smoothing, WarpShapeController::getSmoothingPolicy());
  using Pairs = std::vector<std::pair<int, std::string>>;
  EXPECT_EQ(smoothing->getPairs(), (Pairs{{0, "Bidirectional"}, {1, "Inside"}, {2, "Outside"}, {3, "None"}}));
  EXPECT_EQ(smoothing->getDefaultValue(), PiValueData(0));
  EXPECT_EQ(scene.a->getInput("Fence")->getPolicy()->getDefaultValue(), PiValueData(false));

  for (auto const& [tool, shortName] : {std::pair(WarpShapeTool::getTool(), "Shape Renderer"),
                                        std::pair(EmptyImageTool::getTool(), "Empty Image Creater")}) {
    auto in = rcDynamicCast<const PiImageInputPolicy>(tool->getDescriptor().findInput("Input")->getPolicy());
    EXPECT_EQ(std::vector<int>({in->isPrimary(), in->getComponents(), in->getDepths(), in->getFormatRole(),
                                in->getResetType(), in->isOptional()}),
              std::vector<int>({1, 3, 7, 1, 0, 0}));
    PiToolProtocol const& p = *tool->getProtocol();
    using Host = PiMorvaneToolProtocol;
    EXPECT_EQ(Names({p.getShortName(), p.getCategory(), p.getProductName(), p.getManufacturer(), p.getVersionString()}),
              Names({shortName, "Warping", Host::getMorvaneProductName(), Host::getMorvaneManufacturer(),
                     Host::getMorvaneVersionString()}));
    EXPECT_EQ(std::vector<int>({p.getIntegerField(), p.getVisibility(), p.getStructure()}), std::vector({2, 0, 0}));
  }
  EXPECT_EQ(EmptyImageTool::getTool()->getDescriptor().getAffect(), 2);
}

TEST(EmptyImageTest, HasTheFormatOfItsInputAndNoPixels) {
  for (auto const& [half, aspect] : std::vector<std::pair<bool, double>>{{false, 1.0}, {true, 2.0}, {false, 0.5}}) {
    Scene scene(aspect);
    scene.s->getInput("Half")->setValue(half);
    PiProcGraph procs(scene.graph);
    auto const empty = procs.getImageNode(scene.e->getOutput("Output"));
    EXPECT_EQ(empty->getImageFormat(), procs.getImageNode(scene.s->getOutput("Output"))->getImageFormat());
    PxImageContext const context(3.0, 0, 2, Rect(-5, 4, 70, 60));
    PxRODResult const rod = empty->computeROD(context);
    PxImageResult const r = empty->computeImage(context);
    EXPECT_TRUE(rod.rod.isEmpty() && r.tile.getPixelRegion().isEmpty() && r.tile.getFillColor() == Color::ZERO);
    EXPECT_EQ(reduceVI(r.validity, rod.validity), PxValidityInterval::FULL);
  }
  // Unconnected, it computes nothing; a shape node over it still gives its
  // shape, with square pixels.
  Scene scene(2.0);
  scene.graph->disconnect(scene.e->getInput("Input"));
  PiProcGraph procs(scene.graph);
  EXPECT_FALSE(procs.getImageNode(scene.e->getOutput("Output"))->isChainConnected());
  EXPECT_EQ(shapeImage(procs, scene.a).getPixelAspectRatio(), 1.0f);
}

std::vector<float> pixelsOf(IxTile const& t) {
  std::vector<float> v;
  for (int y = t.getPixelRegion().y1(); y < t.getPixelRegion().y2(); ++y)
    for (int x = t.getPixelRegion().x1(); x < t.getPixelRegion().x2(); ++x) v.push_back(colorAt(t, x, y).a);
  return v;
}

bool sameCurve(RCShdPtr<PiNode> const& a, RCShdPtr<PiNode> const& b) {
  for (double t : {0.0, 5.0, 10.0}) {
    GeBezierCurve const ca = PiCurveInputValue::getCurve(ctl(a).getCurveInput(), t);
    GeBezierCurve const cb = PiCurveInputValue::getCurve(ctl(b).getCurveInput(), t);
    if (pointsOf(ca) != pointsOf(cb) || ca.getClosure() != cb.getClosure()) return false;
  }
  return true;
}

// Pasting is one command; undo, redo, save and load keep the shape image.
TEST(ShapeClipboardTest, PasteIsOneUndoableCommandAndNothingWithoutAShape) {
  Scene scene;
  RCShdPtr<PiNode> const b = scene.addShape("B"), before = scene.addShape("Before");
  PiCurveInputValue::setCurve(ctl(scene.a).getCurveInput(), curveOf(4));
  setLinks(b, {0.5f, 0.0f});
  scene.a->getInput("Curve/Points/0/Point/X")->setKey(0.0, 1.0);
  scene.a->getInput("Curve/Points/0/Point/X")->setKey(10.0, 77.0);
  GeBezierCurve open = curveOf(6, 0.5f);
  open.setClosure(GeBezierCurve::OPEN);
  for (auto const& n : {b, before}) PiCurveInputValue::setCurve(ctl(n).getCurveInput(), open);
  PiCommandStack& stack = *scene.graph->getCommandStack();

  SnSelection other;
  other.addItem(SnItemBasic<int>::create(3));
  for (RCShdPtr<DrCarrier> const& content : {RCShdPtr<DrCarrier>(), DrCarrier::create(other)}) {
    DrClipboard::getInstance().setContent(content, DrAction::Copy);
    unsigned const state = stack.getState();
    ctl(b).pasteShapeFromClipboard();
    EXPECT_EQ(stack.getState(), state);
    EXPECT_TRUE(sameCurve(b, before));
  }

  ctl(scene.a).copyShapeToClipboard();
  RCShdPtr<PiNode> const copied = PiGroupUtils::copyNode(scene.a);
  PiCurveInputValue::setCurve(ctl(scene.a).getCurveInput(), curveOf(2));  // the clipboard holds a snapshot
  std::size_t const index = stack.getIndex();
  ctl(b).pasteShapeFromClipboard();
  EXPECT_EQ(stack.getIndex(), index + 1);
  EXPECT_EQ(stack.getUndoName(), "Paste Shape");
  EXPECT_TRUE(sameCurve(b, copied));
  PiProcGraph procs(scene.graph);
  std::vector<float> const pasted = pixelsOf(shapeImage(procs, b));
  stack.undo();
  EXPECT_TRUE(sameCurve(b, before));
  EXPECT_NE(pixelsOf(shapeImage(procs, b)), pasted);
  stack.redo();
  EXPECT_TRUE(sameCurve(b, copied));
  EXPECT_EQ(pixelsOf(shapeImage(procs, b)), pasted);
  RCShdPtr<PiGraph> const loaded = PiGraphDocument::load(PiGraphDocument::save(*scene.graph));
  PiProcGraph loadedProcs(loaded);
  EXPECT_EQ(pixelsOf(shapeImage(loadedProcs, loaded->findNode("B"))), pasted);
}

RCShdPtr<RCBase<LkCounter<int>>> makeInstanceData(WarpShapeController& c, RCShdPtr<PiWidget> const&,
                                                  RCShdPtr<const PiTimePath> const&) {
  return c.getLockValue()->getBool() ? makeRC<RCBase<LkCounter<int>>>() : nullptr;
}

TEST(WarpShapeControllerTest, ResetsLinksStateAndViewerServices) {
  Scene scene;
  WarpShapeController& c = ctl(scene.a);
  for (auto const& [path, v] : std::vector<std::pair<char const*, double>>{
           {"Transform/Translation/X", 3}, {"Transform/Rotation", 30}, {"Transform/Scale/Y", 2},
           {"Transform/Shear/X", 1}, {"Transform/Pivot/Y", 9}, {"OffsetTranslation/X", 4}, {"Smoothing", 2}})
    scene.a->getInput(path)->setValue(v);
  c.getLinkValue()->setValue(false);
  c.setShapeColor(WarpShapeController::getDestinationColor());
  c.resetTransformation();
  EXPECT_EQ(scene.graph->getCommandStack()->getUndoName(), "Reset Transformation");
  for (auto const& in : {c.getTranslationXInput(), c.getRotationInput(), c.getShearXInput(), c.getPivotYInput(),
                         c.getTranslationOffsetXInput(), c.getScaleYInput(), c.getSmoothingInput()})
    EXPECT_EQ(in->getDouble(), in == c.getScaleYInput() ? 1 : in == c.getSmoothingInput() ? 2 : 0) << in->getPath();
  c.reset();
  EXPECT_EQ(c.getSmoothingInput()->getInt(), 0);
  EXPECT_TRUE(c.getLinkValue()->getBool());
  EXPECT_EQ(c.getCurveColorValue()->getColor(), PiColor(1, 0, 0, 1));
  EXPECT_EQ(c.getHandleColorValue()->getColor(), PiColor(1, 1, 0, 1));

  for (auto const& [name, v] : {std::pair("Smoothing", 3.0), {"Fence", 1.0}, {"Interpolation", 0.25}})
    PiUserSettings::getInstance().set("Warp 2D", std::string("Creation") + name, v);
  c.resetComposition();
  EXPECT_EQ(std::vector<double>({c.getSmoothingInput()->getDouble(), c.getFenceInput()->getDouble(),
                                 c.getInterpolationInput()->getDouble()}),
            std::vector<double>({3.0, 1.0, 0.25}));

  c.getFenceInput()->setKey(0.0, false);
  c.getFenceInput()->setKey(10.0, true);
  auto at = [&](double t) { return makeRC<const PiTimePath>(*PiPath::create(scene.a), t); };
  EXPECT_TRUE(c.areLinksVisible(at(0.0)));
  EXPECT_FALSE(c.areLinksVisible(at(10.0)));
  EXPECT_EQ(c.getCommandState(), scene.graph->getCommandStack()->getState());
  EXPECT_EQ(c.getShape()->getShapeInterface().lock().get(), static_cast<SeShapeInterface*>(&c));

  WarpShapeTool::registerInstanceDataFactory(&makeInstanceData);
  c.getLockValue()->setValue(true);
  EXPECT_FALSE(c.createInstanceData(nullptr, at(0.0)).isNull());
  WarpShapeTool::unregisterInstanceDataFactory();
  EXPECT_TRUE(c.createInstanceData(nullptr, at(0.0)).isNull());

  // The interface description names inputs the node has (a list, those of
  // an entry).
  setLinks(scene.a, {0, 0});
  setenv("QX_TOOL_UI_DIR", WARP2D_TOOL_UI_DIR, 1);
  int widgets = 0;
  std::function<void(PiXmlElement const&, std::string)> walk = [&](PiXmlElement const& e, std::string at) {
    if (e.hasAttribute("input")) {
      at += e.getAttribute("input");
      EXPECT_FALSE(scene.a->getInput(at).isNull()) << at;
      at += e.getName() == "list" ? "/0/" : "";
      ++widgets;
    }
    for (PiXmlElement const& child : e.getChildren()) walk(child, at);
  };
  walk(PiXmlDocument::readFile(OsEnv::expandPath(c.getUIDescriptionPath()))->getRoot(), "");
  EXPECT_GT(widgets, 10);
}

}  // namespace
