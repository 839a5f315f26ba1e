// The shape editor service: events and their listeners, walking shapes,
// the editor's values and resets, and the selection that follows the
// application's through a predicate.
#include <gtest/gtest.h>

#include <stdexcept>

#include "base/assertions.h"
#include "framework/piUserSettings.h"
#include "graphTestTools.h"
#include "internalAPI/piGraphUtils.h"
#include "shape/seShapeEditor.h"
#include "shape/seShapeSelector.h"

namespace {

using namespace graphtest;

// An editor whose shapes are the filter nodes of its inside.
class Editor : public SeShapeEditor, public PiGroupInterface {
 public:
  static void describe(PiToolPolicyDescriptor& d) { SeShapeEditor::describe(d); }
  void nodeCreated() override { retrieveValues(); }
  RCShdPtr<PiGraph> inside() const { return getNode()->getInnerGraph(); }

  Iterator<RCShdPtr<SeShape>> getAllShapes() override {
    std::vector<RCShdPtr<SeShape>> shapes;
    for (auto const& n : inside()->getNodes())
      if (n->getTool() == tools().filter) shapes.push_back(SeShapeNode::create(n));
    return Iterator<RCShdPtr<SeShape>>::over(shapes);
  }
  RCShdPtr<SeShape> createShape(double) override {
    auto shape = SeShapeNode::create(inside()->createNode(tools().filter, PiGraphUtils::findUniqueNodeName(inside(), "S", 0)));
    signalEvent(ShapeAdded, shape);
    return shape;
  }
  void deleteShape(RCShdPtr<SeShape> const& shape) override {
    inside()->removeNode(SeShapeNode::getNode(shape));
    signalEvent(ShapeRemoved, shape);
  }
  RCShdPtr<SeShape> getShape(RCShdPtr<PiGraphObject> const& o) override {
    return SeShapeNode::create(rcDynamicCast<PiNode>(o));
  }
  void shapeCompleted() override {}
  // Not exercised here.
  RCShdPtr<SeShape> duplicateShape(RCShdPtr<SeShape> const&) override { throw std::logic_error("unused"); }
  void moveUp(RCShdPtr<SeShape> const&) override { throw std::logic_error("unused"); }
  void moveDown(RCShdPtr<SeShape> const&) override { throw std::logic_error("unused"); }
  void moveTop(RCShdPtr<SeShape> const&) override { throw std::logic_error("unused"); }
  void moveBottom(RCShdPtr<SeShape> const&) override { throw std::logic_error("unused"); }
  void renameShape(RCShdPtr<SeShape> const&, std::string const&) override { throw std::logic_error("unused"); }
};

RCShdPtr<const PiTool> editorTool() {
  static auto tool = PiToolRegistry::getInstance().registerTool(PiMorvaneToolProtocol::createGroupTool<Editor>(
      "Test Shape Editor", PiToolProtocol::getWarpingCategory(), 2, "", 1));
  return tool;
}

struct ShapeEditorTest : ::testing::Test {
  RCShdPtr<PiGraph> graph = PiGraph::create();
  RCShdPtr<PiNode> group = graph->createNode(editorTool(), "Editor");
  Editor& editor = dynamic_cast<Editor&>(*SeShapeEditorControllerInterface::getShapeEditor(group));
};

struct Listener : CbHandler<SeShapeEvent const> {
  void call(SeShapeEvent const& e) override {
    seen.push_back(std::to_string(e.type) + e.shape->getName());
    if (then) then();
  }
  std::vector<std::string> seen;
  std::function<void()> then;
};

TEST_F(ShapeEditorTest, ListenersHearEventsAndMayLeaveDuringOne) {
  Listener a, b;
  auto gone = std::make_unique<Listener>();
  EXPECT_TRUE(editor.addCallback(SeShapeEditor::ShapeAdded, &a));
  EXPECT_TRUE(editor.addCallback(SeShapeEditor::ShapeRemoved, &a));
  editor.addCallback(SeShapeEditor::ShapeAdded, &b);
  editor.addCallback(SeShapeEditor::ShapeAdded, gone.get());
  a.then = [&] { editor.removeCallback(SeShapeEditor::ShapeAdded, &b), gone.reset(); };
  auto s1 = editor.createShape(0.0);
  a.then = nullptr;
  auto s2 = editor.createShape(0.0);
  editor.deleteShape(s1);
  EXPECT_EQ(a.seen, (std::vector<std::string>{"0S", "0S 2", "1S"}));
  EXPECT_TRUE(b.seen.empty());

  // Walking: s2 is now the only shape; handles made apart are one shape.
  auto s3 = editor.createShape(0.0);
  EXPECT_TRUE(editor.getFirstShape()->isSameShape(*SeShapeNode::create(SeShapeNode::getNode(s2))));
  EXPECT_TRUE(editor.getNextShape(s2)->isSameShape(*s3));
  EXPECT_TRUE(editor.getPreviousShape(s2).isNull());
  EXPECT_TRUE(editor.getNextShape(s1).isNull());  // no longer listed
  EXPECT_TRUE(editor.getLastShape()->isSameShape(*s3));
  EXPECT_EQ(editor.getShapeInterfaces().getCardinality(), 2u);
}

TEST_F(ShapeEditorTest, ValuesResetToFactoryOrToTheUsersPreferences) {
  PiUserSettings& settings = PiUserSettings::getInstance();
  std::string const tool = editorTool()->getName();
  group->getValue(SeShapeEditor::getCreationClosedName())->setValue(false);
  group->getValue(SeShapeEditor::getPointSizeName())->setValue(9.0);
  editor.resetToFactoryCreationParameters();
  EXPECT_TRUE(editor.isCreationClosed());
  EXPECT_EQ(editor.getPointSize(), 9.0);  // an option, untouched

  settings.set(tool, SeShapeEditor::getCreationCurveTypeName(), 1);
  settings.set(tool, SeShapeEditor::getCreationClosedName(), "yes");  // unusable: factory value
  settings.set(tool, SeShapeEditor::getPointSizeName(), 50.0);         // clamped by the policy
  editor.resetToUserCreationParameters();
  editor.resetToUserOptionParameters();
  EXPECT_EQ(editor.getCreationCurveType(), 1);
  EXPECT_TRUE(editor.isCreationClosed());
  EXPECT_EQ(editor.getPointSize(), 20.0);
  EXPECT_TRUE(editor.getShowHandles());
  for (char const* n : {SeShapeEditor::getCreationCurveTypeName(), SeShapeEditor::getCreationClosedName(),
                        SeShapeEditor::getPointSizeName()})
    settings.remove(tool, n);

  std::vector<int> tools;
  CbFunctionHandler<int const> h([&](int const& id) { tools.push_back(id); });
  editor.addCurrentToolChangedCallback(&h);
  for (int id : {102, 102, 3}) editor.setCurrentToolId(id);
  EXPECT_EQ(tools, (std::vector<int>{102, 3}));
}

TEST_F(ShapeEditorTest, SelectionFollowsTheApplicationThroughThePredicate) {
  auto inside = group->getInnerGraph();
  RCShdPtr<PiNode> s[3];
  for (auto& n : s) n = SeShapeNode::getNode(editor.createShape(0.0));
  auto other = inside->createNode(tools().source, "Not a shape");
  auto outside = graph->createNode(tools().filter, "Elsewhere");
  auto shapeOf = [](RCShdPtr<PiNode> const& n) { return SeShapeNode::create(n); };

  SeShapeSelector selector;
  int changes = 0;
  CbFunctionHandler<SeShapeSelector const> counter([&](SeShapeSelector const&) { ++changes; });
  selector.addChangeCallback(&counter);
  auto names = [&] {
    std::string r;
    for (auto const& sh : selector.getSelectedShapes()) {
      if (selector.isPrimarySelectedShape(sh)) r += '*';
      r.append(sh->getName()).append(";");
    }
    return r;
  };
  auto select = [](std::vector<RCShdPtr<PiNode>> const& nodes) {
    SnSelectionManager::getInstance().selectObjects({nodes.begin(), nodes.end()});
  };

  select({s[1]});
  auto updater = std::make_unique<SeSelectorUpdater>(selector, [&](RCShdPtr<PiGraphObject> const& o) {
    auto n = rcDynamicCast<PiNode>(o);
    return n && n->getGraph() == inside && n->getTool() == tools().filter;
  });
  EXPECT_EQ(names(), "*S 2;");
  select({outside, s[2], other, s[1], s[0]});
  EXPECT_EQ(names(), "S 3;*S 2;S;");  // the primary stays while selected
  select({s[0], outside});
  EXPECT_EQ(names(), "*S;");
  select({s[0]});  // same shapes: no change to report
  EXPECT_EQ(changes, 3);

  selector.setPrimarySelectedShape(shapeOf(s[2]), 4);
  EXPECT_EQ(names(), "*S 3;");
  EXPECT_EQ(selector.getPrimaryPointIndex(), 4);
  selector.addSelectedShape(shapeOf(s[0]));
  selector.removeSelectedShape(shapeOf(s[2]));
  EXPECT_EQ(names(), "*S;");  // the primary passes on
  EXPECT_EQ(selector.getPrimaryPointIndex(), -1);
  updater.reset();
  select({s[1]});
  EXPECT_EQ(names(), "*S;");  // no longer following
  selector.reset();
  EXPECT_EQ(changes, 7);
  SnSelectionManager::getInstance().clear();
}

}  // namespace
