// The super tool driven as a host drives it: shape edits and their undo,
// names, visibility, loading, parameter resets and the crop; then a long
// seeded sequence of edits, undos and redos checked against a model of the
// pair lists after every step, and rendered at checkpoints.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include "emptyImageTool.h"
#include "framework/piGraphDocument.h"
#include "framework/piUserSettings.h"
#include "superToolTestTools.h"
#include "warpResamplerTool.h"
#include "warpShapeTool.h"
#include "warper2DSuperTool.h"

namespace {

using namespace Qx::Warper2D;
using namespace supertooltest;
using C = Warper2DSuperToolController;
using Nodes = std::vector<RCShdPtr<PiNode>>;

RCShdPtr<PiNode> feeder(RCShdPtr<PiInput> const& in) {
  return in->isConnected() ? in->getSource()->getNode() : nullptr;
}

class SuperToolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static bool const once = [] {
      // No user preferences but those a test sets.
      setenv("QX_USER_SETTINGS_FILE", "/nonexistent/qxSuperToolSettings.json", 1);
      Warper2DSuperTool::initialize();
      WarpGeneratorTool::initialize();
      WarpResamplerTool::initialize();
      WarpShapeTool::initialize();
      EmptyImageTool::initialize();
      registerGradientTool();
      return true;
    }();
    (void)once;
  }
  void SetUp() override { build(PiGraph::create()); }
  void build(RCShdPtr<PiGraph> g, RCShdPtr<PiNode> w = nullptr) {
    graph = std::move(g);
    if (w.isNull()) {
      w = graph->createNode(Warper2DSuperTool::getName());
      graph->connect(w->getInput("Input Image"), graph->createNode("Test Gradient")->getOutput("Output"));
    }
    warp = w;
    ctrl = &C::get(warp);
  }
  PiCommandStack& stack() { return *graph->getCommandStack(); }
  RCShdPtr<PiNode> draw(GeBezierCurve const& curve = circle(20, 20, 6)) {
    RCShdPtr<PiNode> const n = SeShapeNode::getNode(ctrl->createShape(0));
    setCurve(n, curve);
    return n;
  }
  RCShdPtr<PiNode> pair(int i) { return ctrl->getAllSourceShapes().at(i); }
  std::string names() {
    std::string s;
    for (auto const& n : ctrl->getAllSourceShapes()) s += n->getName() + ",";
    return s;
  }
  // The lists against the generator's entries and the group's shape nodes.
  void expectConsistent() {
    Nodes const src = ctrl->getAllSourceShapes(), dst = ctrl->getAllDestinationShapes();
    ASSERT_TRUE(src.size() == dst.size() || src.size() == dst.size() + 1);
    auto const entries = ctrl->getWarpGeneratorController().getShapesInput();
    ASSERT_EQ(entries->getEntryCount(), dst.size());
    for (std::size_t i = 0; i < dst.size(); ++i) {
      auto const e = rcDynamicCast<PiCompositeInput>(entries->getEntry(i));
      EXPECT_EQ(feeder(e->getInput("Source Shape")), src[i]);
      EXPECT_EQ(feeder(e->getInput("Destination Shape")), dst[i]);
      EXPECT_EQ(feeder(e->getInput("Fence")), src[i]);
      EXPECT_EQ(src[i]->getName(), dst[i]->getName());
    }
    std::size_t shapeNodes = 0;
    for (auto const& n : warp->getInnerGraph()->getNodes())
      if (n->getTool() == WarpShapeTool::getTool()) {
        ++shapeNodes;
        EXPECT_EQ(feeder(n->getInput("Input")), ctrl->getEmptyImageNode());
      }
    EXPECT_EQ(shapeNodes, src.size() + dst.size());
  }

  RCShdPtr<PiGraph> graph;
  RCShdPtr<PiNode> warp;
  C* ctrl = nullptr;
};

TEST_F(SuperToolTest, CreatingAndCompletingShapes) {
  ctrl->setCreationSmoothing(WarpGridProc::Inside);
  ctrl->setCreationFence(true);
  ctrl->setCreationInterpolation(0.5f);
  RCShdPtr<PiNode> const a = draw();
  EXPECT_EQ(a->getName(), "S");
  EXPECT_EQ(a->getInput("Smoothing")->getInt(), WarpGridProc::Inside);
  EXPECT_TRUE(a->getInput("Fence")->getBool());
  ctrl->resetToFactoryCreationParameters();
  RCShdPtr<PiNode> const b = draw();  // completes `a` before it exists
  EXPECT_EQ(b->getName(), "S1");
  EXPECT_EQ(b->getInput("Smoothing")->getInt(), 0);
  EXPECT_FALSE(b->getInput("Fence")->getBool());
  EXPECT_EQ(b->getInput("Interpolation")->getDouble(), 1.0);
  EXPECT_EQ(ctrl->getSrcShape(ctrl->getAllDestinationShapes().at(0)), a);
  ctrl->shapeCompleted();
  ctrl->shapeCompleted();
  EXPECT_EQ(ctrl->getAllDestinationShapes().size(), 2u);
  expectConsistent();

  // Undo of "Add Destination Shape" keeps the source; redo brings it back.
  EXPECT_EQ(stack().getUndoName(), "Add Destination Shape");
  int removed = 0;
  CbFunctionHandler<SeShapeEvent const> counter([&](SeShapeEvent const&) { ++removed; });
  ctrl->addCallback(SeShapeEditor::ShapeRemoved, &counter);
  stack().undo();
  EXPECT_EQ(removed, 1) << "the undone destination is signalled";
  EXPECT_TRUE(ctrl->getDstShape(b).isNull());
  EXPECT_EQ(ctrl->getAllSourceShapes().back(), b);
  expectConsistent();
}

TEST_F(SuperToolTest, DuplicateMoveDeleteAndRenameEachUndoInOneStep) {
  for (int i = 0; i < 3; ++i) draw();
  ctrl->shapeCompleted();
  ASSERT_EQ(names(), "S,S1,S2,");
  std::size_t const count = stack().getCount();
  ctrl->moveUp(pair(2));
  ctrl->moveDown(pair(0));
  ctrl->moveTop(ctrl->getDstShape(pair(2)));
  EXPECT_EQ(stack().getCount(), count) << "moves past either end change nothing";

  struct Step {
    std::function<void()> edit;
    char const* command;
    char const* after;
  } const steps[] = {
      {[&] { ctrl->duplicateShape(ctrl->getShape(ctrl->getDstShape(pair(0)))); }, "Duplicate Shape", "S,S Copy,S1,S2,"},
      {[&] { ctrl->moveUp(pair(0)); }, "Move Shape", "S1,S,S2,"},
      {[&] { ctrl->moveTop(pair(0)); }, "Move Shape", "S1,S2,S,"},
      {[&] { ctrl->moveBottom(ctrl->getDstShape(pair(2))); }, "Move Shape", "S2,S,S1,"},
      {[&] { ctrl->deleteShape(SeShapeNode::create(ctrl->getDstShape(pair(1)))); }, "Delete Shape", "S,S2,"},
      {[&] { ctrl->renameShape(SeShapeNode::create(pair(1)), "S"); }, "Rename Shape", "S,S3,S2,"},
  };
  IxTile const before = render(graph, warp, "Output Image");
  for (Step const& s : steps) {
    s.edit();
    EXPECT_EQ(stack().getUndoName(), s.command);
    EXPECT_EQ(names(), s.after) << s.command;
    expectConsistent();
    stack().undo();
    EXPECT_EQ(names(), "S,S1,S2,") << s.command;
    expectConsistent();
  }
  EXPECT_TRUE(sameBits(render(graph, warp, "Output Image"), before));
  EXPECT_THROW(ctrl->getShape(ctrl->getEmptyImageNode()), AssertionFailure);
  EXPECT_THROW(ctrl->renameShape(nullptr, "x"), AssertionFailure);
}

TEST_F(SuperToolTest, VisibilityFollowsTheFlagsAndFences) {
  draw()->getInput("Fence")->setValue(true);
  draw();
  ctrl->shapeCompleted();
  auto visible = [](RCShdPtr<PiNode> const& n) { return n->getValue("Visible")->getBool(); };
  int calls = 0;
  CbFunctionHandler<CbEmptyType> counter([&](CbEmptyType&) { ++calls; });
  ctrl->addCurveViewChangedCallback(&counter);
  ctrl->addCropDisplayedCallback(&counter);
  ctrl->setShapeVisibility(C::kDestinationShapes, false);
  EXPECT_FALSE(ctrl->getShapeVisibility(C::kDestinationShapes));
  EXPECT_FALSE(visible(ctrl->getAllDestinationShapes()[0]) || visible(ctrl->getAllDestinationShapes()[1]));
  ctrl->setShapeVisibility(C::kSourceShapes, false);
  EXPECT_TRUE(visible(pair(0))) << "a fence follows its own flag";
  EXPECT_FALSE(visible(pair(1)));
  ctrl->setShapeVisibility(C::kFenceShapes, false);
  EXPECT_FALSE(visible(pair(0)));
  EXPECT_EQ(calls, 0);
  ctrl->setShapeVisibility(C::kCurveView16, true);
  ctrl->displayCropManip(true);
  ctrl->displayCropManip(true);
  EXPECT_EQ(calls, 3);
  // Viewer hooks get this controller and the generator's main output.
  EXPECT_TRUE(ctrl->createInstanceData(nullptr, nullptr).isNull());
  Warper2DSuperTool::setInstanceDataFactory([](C& c, auto const&, auto const&, RCShdPtr<PiOutput> const& out) {
    return out == c.getWarpGeneratorNode()->getOutput("Output") ? makeRC<RCBase<LkCounter<int>>>() : nullptr;
  });
  EXPECT_FALSE(ctrl->createInstanceData(nullptr, nullptr).isNull());
  Warper2DSuperTool::setInstanceDataFactory(nullptr);
}

TEST_F(SuperToolTest, LoadingRebuildsThePairsInEntryOrder) {
  for (int i = 0; i < 3; ++i) draw(circle(12.0f + 10 * i, 20, 4));
  ctrl->shapeCompleted();
  ctrl->moveBottom(pair(2));
  IxTile const image = render(graph, warp, "Output Image");
  RCShdPtr<PiNode> const copy = graph->copyNode(warp);  // a copy reattaches as a loaded node does
  EXPECT_EQ(C::get(copy).getAllDestinationShapes().size(), 3u);
  EXPECT_EQ(C::get(copy).getAllSourceShapes()[0]->getName(), "S2");
  auto loaded = PiGraphDocument::load(PiGraphDocument::save(*graph));
  build(loaded, loaded->findNode("Warp 2D"));
  EXPECT_EQ(names(), "S2,S,S1,");
  expectConsistent();
  EXPECT_TRUE(sameBits(render(graph, warp, "Output Image"), image));
}

TEST_F(SuperToolTest, FactoryOutputResetIsOneStepAndCropsFollowTheirMode) {
  ctrl->getRenderQualityInput()->setValue(6.0);
  ctrl->getRenderFilterInput()->setValue(3);
  ctrl->getCropModeInput()->setValue(int(PiCropNodeUtil::kWindow));
  ctrl->getCropWindowWidthInput()->setValue(20);
  ctrl->getCropWindowHeightInput()->setValue(10);
  ctrl->getCropWindowCenterXInput()->setValue(10);
  ctrl->getCropWindowCenterYInput()->setValue(5);
  EXPECT_EQ(render(graph, warp, "Output Image").getPixelRegion(), Rect(0, 0, 20, 10));
  ctrl->resetToFactoryOutputParameters();
  EXPECT_EQ(ctrl->getRenderQualityInput()->getDouble(), 1.0);
  EXPECT_EQ(ctrl->getWarpResamplerNode()->getInput("Filter")->getInt(), 1);
  EXPECT_EQ(ctrl->getCropModeInput()->getInt(), PiCropNodeUtil::kRelative);
  EXPECT_EQ(ctrl->getCropWindowWidthInput()->getInt(), 0);
  stack().undo();
  EXPECT_EQ(ctrl->getRenderQualityInput()->getDouble(), 6.0);
  EXPECT_EQ(ctrl->getWarpGeneratorNode()->getInput("Quality")->getDouble(), 6.0);
  EXPECT_EQ(ctrl->getCropWindowWidthInput()->getInt(), 20);

  // The user's preferences, where present; factory values elsewhere.
  PiUserSettings::getInstance().set("Warp 2D", "Quality", 4.0);
  PiUserSettings::getInstance().set("Warp 2D", "Window Crop Height", 7);
  ctrl->resetToUserOutputParameters();
  EXPECT_EQ(ctrl->getRenderQualityInput()->getDouble(), 4.0);
  EXPECT_EQ(ctrl->getCropWindowHeightInput()->getInt(), 7);
  EXPECT_EQ(ctrl->getCropWindowWidthInput()->getInt(), 0);
  EXPECT_EQ(ctrl->getRenderFilterInput()->getInt(), 1);
  stack().undo();
  EXPECT_EQ(ctrl->getRenderQualityInput()->getDouble(), 6.0);
  PiUserSettings::getInstance().remove("Warp 2D", "Quality");
  PiUserSettings::getInstance().remove("Warp 2D", "Window Crop Height");
  std::size_t const commands = stack().getCount();
  ctrl->reset();  // the tool-level reset is not logged
  EXPECT_EQ(stack().getCount(), commands);
  EXPECT_EQ(ctrl->getRenderQualityInput()->getDouble(), 1.0);

  // Auto-crop: the resampler's region, even where it leaves the frame.
  draw(circle(4, 20, 6));
  ctrl->shapeCompleted();
  setCurve(ctrl->getAllDestinationShapes()[0], circle(-4, 20, 6));
  ctrl->getRenderBoundaryInput()->setValue(1);  // "Free": the region follows the warp
  ctrl->getCropModeInput()->setValue(int(PiCropNodeUtil::kAuto));
  IxTile const autoCrop = render(graph, warp, "Output Image");
  EXPECT_TRUE(sameBits(autoCrop, render(graph, ctrl->getWarpResamplerNode(), "Output")));
  ctrl->getCropModeInput()->setValue(int(PiCropNodeUtil::kRelative));
  ctrl->getCropRelativeLeftInput()->setValue(3);
  Rect const r = autoCrop.getPixelRegion();
  EXPECT_EQ(render(graph, warp, "Output Image").getPixelRegion(), Rect(r.x1() + 3, r.y1(), r.x2(), r.y2()));
}

// Random edits, undos and redos against a model of the pair lists kept per
// position of the undo stack; renders checked at checkpoints.
TEST_F(SuperToolTest, RandomEditsUndosAndRedosKeepListsEntriesAndImageInStep) {
  struct Model {
    Nodes src, dst;
  };
  Model m;
  std::vector<Model> history(stack().getIndex() + 1, m);
  std::mt19937 rng(20261206);
  auto pick = [&](std::size_t n) {
    return static_cast<int>(std::uniform_int_distribution<std::size_t>(0, n - 1)(rng));
  };
  auto record = [&] {
    history.resize(stack().getIndex() + 1);
    history[stack().getIndex()] = m;
  };
  auto complete = [&] {
    if (m.src.size() == m.dst.size()) return;
    ctrl->shapeCompleted();
    m.dst.push_back(ctrl->getAllDestinationShapes().back());
    record();
  };
  auto randomCircle = [&] { return circle(8.0f + pick(30), 8.0f + pick(24), 3.0f + pick(4)); };
  int edits = 0;
  for (int step = 0; edits < 520; ++step) {
    int const op = pick(10);
    int const n = static_cast<int>(m.dst.size());
    if (op == 0 && m.src.size() > m.dst.size()) {
      complete();
    } else if (op <= 1) {
      complete();  // as createShape does first, one command of its own
      m.src.push_back(SeShapeNode::getNode(ctrl->createShape(0)));
      record();
      setCurve(m.src.back(), randomCircle());
      record();
    } else if (op == 2 && n > 0) {
      setCurve(m.dst[pick(n)], randomCircle());
      record();
    } else if (op == 3 && n > 0) {
      int const p = pick(n);
      RCShdPtr<PiNode> s, d;
      ctrl->duplicateShape(m.dst[p], s, d);
      m.src.insert(m.src.begin() + p + 1, s);
      m.dst.insert(m.dst.begin() + p + 1, d);
      record();
    } else if (op == 4 && !m.src.empty()) {
      int const p = pick(m.src.size());
      ctrl->deleteShape(SeShapeNode::create(pick(2) || p >= n ? m.src[p] : m.dst[p]));
      m.src.erase(m.src.begin() + p);
      if (p < n) m.dst.erase(m.dst.begin() + p);
      record();
    } else if (op == 5 && n > 0) {
      int const p = pick(n), kind = pick(4);
      int const to = kind == 0 ? std::min(p + 1, n - 1) : kind == 1 ? std::max(p - 1, 0) : kind == 2 ? n - 1 : 0;
      RCShdPtr<PiNode> const node = pick(2) ? m.src[p] : m.dst[p];
      kind == 0 ? ctrl->moveUp(node) : kind == 1 ? ctrl->moveDown(node) : kind == 2 ? ctrl->moveTop(node)
                                                                                    : ctrl->moveBottom(node);
      for (Nodes* l : {&m.src, &m.dst})
        p < to ? std::rotate(l->begin() + p, l->begin() + p + 1, l->begin() + to + 1)
               : std::rotate(l->begin() + to, l->begin() + p, l->begin() + p + 1);
      record();
    } else if (op == 6 && n > 0) {
      ctrl->renameShape(SeShapeNode::create(m.src[pick(n)]), pick(2) ? "A" : "B2");
      record();
    } else if (op == 7 && stack().canUndo()) {
      stack().undo();
      m = history[stack().getIndex()];
    } else if (op >= 8 && stack().canRedo()) {
      stack().redo();
      m = history[stack().getIndex()];
    } else {
      continue;
    }
    ++edits;
    ASSERT_EQ(ctrl->getAllSourceShapes(), m.src) << "step " << step << " op " << op;
    ASSERT_EQ(ctrl->getAllDestinationShapes(), m.dst) << "step " << step << " op " << op;
    expectConsistent();
    if (step % 100 == 99) {
      IxTile const image = render(graph, warp, "Output Image");
      if (stack().canUndo()) {
        stack().undo();
        stack().redo();
        EXPECT_TRUE(sameBits(render(graph, warp, "Output Image"), image)) << "step " << step;
      }
      auto const loaded = PiGraphDocument::load(PiGraphDocument::save(*graph));
      EXPECT_TRUE(sameBits(render(loaded, loaded->findNode("Warp 2D"), "Output Image"), image)) << "step " << step;
    }
  }
}

}  // namespace
