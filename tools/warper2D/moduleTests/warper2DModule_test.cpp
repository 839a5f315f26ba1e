// The module as a host sees it: loaded through the loader only (this program
// does not link the plug-in), its packages, tools and widget factory, and a
// "Warp 2D" node driven through the host's shape editor interface from
// drawing to rendering, undo, saving and loading.
#include <gtest/gtest.h>

#include <cstdlib>

#include "base/inBuildInfo.h"
#include "base/inModuleLoader.h"
#include "framework/piGraphDocument.h"
#include "internalAPI/piExternalWidgetFactory.h"
#include "shape/seShapeEditor.h"
#include "../tests/superToolTestTools.h"

namespace {

using namespace supertooltest;

void setCurve(RCShdPtr<SeShape> const& shape, GeBezierCurve const& curve) {
  supertooltest::setCurve(SeShapeNode::getNode(shape), curve);
}

class Warper2DModuleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("QX_TOOL_UI_DIR", WARP2D_TOOL_UI_DIR, 1);
    registerGradientTool();
  }
  void TearDown() override {
    if (_module) InModuleLoader::getInstance().unload(_module);
  }
  void load() { _module = InModuleLoader::getInstance().load(WARP2D_MODULE); }
  RCShdPtr<InModule> _module;
};

TEST_F(Warper2DModuleTest, LoadingRegistersFiveToolsTheToolListAndTheBuildRecord) {
  auto const before = InPackageRegistry::getInstance().getInitializedPackages();
  load();
  EXPECT_EQ(_module->getPackageNames(), (std::vector<std::string>{"warpProc", "warper2DQxtool"}));
  auto const order = InPackageRegistry::getInstance().getInitializedPackages();
  auto pos = [&](char const* p) { return std::find(order.begin(), order.end(), p) - order.begin(); };
  for (char const* dep : {"render", "shapeExtensions", "shape", "framework", "storage", "internalAPI"})
    EXPECT_LT(pos(dep), pos("warper2DQxtool")) << dep;
  for (char const* tool : {"Warp 2D", "Warp 2D Generator Tool", "Warp 2D Resampler Tool", "Warp 2D Shape Renderer",
                           "Empty Image Tool"})
    EXPECT_FALSE(PiToolRegistry::getInstance().findTool(tool).isNull()) << tool;
  {
    // Nothing of the module may be held past its unloading.
    auto const superTool = PiToolRegistry::getInstance().findTool("Warp 2D")->getProtocol();
    EXPECT_EQ(superTool->getDescription(), "Geometrically warps an input image in two dimensions.");
    EXPECT_EQ(superTool->getStructure(), 1);
  }
  EXPECT_EQ(PiToolRegistry::getInstance().findTool("Empty Image Tool")->getProtocol()->getVisibility(), 0);
  EXPECT_EQ(InBuildInfoUtil::findInfo("libQxwarper2DQxtool")->getProductName(), "Warp 2D");
  EXPECT_EQ(PiExternalWidgetFactory::createNamedWidget("Warper2DToolList")->getName(), "Warp 2D Tools");

  InModuleLoader::getInstance().unload(_module);
  _module.reset();
  EXPECT_TRUE(PiToolRegistry::getInstance().findTool("Warp 2D").isNull());
  EXPECT_TRUE(PiExternalWidgetFactory::findFactory("Warper2DToolList").isNull());
  EXPECT_EQ(InPackageRegistry::getInstance().getInitializedPackages(), before);
}

TEST_F(Warper2DModuleTest, TheEditableFlagIsReadFromTheEnvironmentAtLoad) {
  for (bool const set : {true, false}) {
    if (set) setenv("QX_EDITABLE_2DWARPER_GROUP", "", 1);
    else unsetenv("QX_EDITABLE_2DWARPER_GROUP");
    load();
    {
      auto const graph = PiGraph::create();
      auto const warp = graph->createNode("Warp 2D");
      EXPECT_EQ(warp->getInnerGraph()->isEditable(), set);
    }
    InModuleLoader::getInstance().unload(_module);
    _module.reset();
  }
}

TEST_F(Warper2DModuleTest, DrawRenderUndoSaveAndLoadGiveTheSameBits) {
  load();
  auto graph = PiGraph::create();
  auto const source = graph->createNode("Test Gradient");
  auto warp = graph->createNode("Warp 2D");
  graph->connect(warp->getInput("Input Image"), source->getOutput("Output"));
  SeShapeEditor* editor = SeShapeEditorControllerInterface::getShapeEditor(warp);
  ASSERT_NE(editor, nullptr);
  IxTile const input = render(graph, source, "Output");
  EXPECT_TRUE(sameBits(render(graph, warp, "Output Image"), input)) << "no shape: the identity";

  auto const first = editor->createShape(0.0);
  setCurve(first, circle(20, 20, 8));
  editor->shapeCompleted();
  auto const firstDst = editor->getFirstShape();  // destinations come first
  setCurve(firstDst, circle(24, 18, 8));
  IxTile const oneShape = render(graph, warp, "Output Image");
  IxTile const oneShapeDst = render(graph, warp, "Destination Image");
  EXPECT_FALSE(sameBits(oneShape, input));

  auto const second = editor->createShape(0.0);
  setCurve(second, circle(34, 28, 5));
  editor->shapeCompleted();
  std::vector<RCShdPtr<SeShape>> all;
  for (auto it = editor->getAllShapes(); !it.atEnd(); it.next()) all.push_back(it.item());
  ASSERT_EQ(all.size(), 4u);
  setCurve(all[1], circle(31, 30, 5));  // the second pair's destination
  IxTile const twoShapes = render(graph, warp, "Output Image");
  EXPECT_FALSE(sameBits(twoShapes, oneShape));

  // Undo the second shape: its curve edits, its destination, its creation.
  PiCommandStack& stack = *graph->getCommandStack();
  while (stack.getUndoName() != "Add Shape") stack.undo();
  stack.undo();
  EXPECT_TRUE(sameBits(render(graph, warp, "Output Image"), oneShape));
  EXPECT_TRUE(sameBits(render(graph, warp, "Destination Image"), oneShapeDst));
  while (stack.canRedo()) stack.redo();
  EXPECT_TRUE(sameBits(render(graph, warp, "Output Image"), twoShapes));

  std::string const saved = PiGraphDocument::save(*graph);
  graph = PiGraphDocument::load(saved);
  warp = graph->findNode("Warp 2D");
  EXPECT_TRUE(sameBits(render(graph, warp, "Output Image"), twoShapes));
  editor = SeShapeEditorControllerInterface::getShapeEditor(warp);
  std::size_t count = 0;
  for (auto it = editor->getAllShapes(); !it.atEnd(); it.next()) ++count;
  EXPECT_EQ(count, 4u);
}

}  // namespace
