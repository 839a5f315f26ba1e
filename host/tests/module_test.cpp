// Tool modules: loading through the system loader, packages and what they
// register, unloading, and the failures that must leave the host unchanged.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "base/inBuildInfo.h"
#include "base/inModuleLoader.h"
#include "framework/drClipboard.h"
#include "internalAPI/piExternalWidgetFactory.h"
#include "modules/testToolModule.h"
#include "pluginAPI/piGraph.h"

namespace {

namespace fs = std::filesystem;

InModuleLoader& loader() { return InModuleLoader::getInstance(); }

bool toolRegistered() { return !PiToolRegistry::getInstance().findTool(testmodule::toolName()).isNull(); }

// Everything the module may touch, to compare before and after.
struct HostState {
  std::vector<std::string> packages = InPackageRegistry::getInstance().getInitializedPackages();
  bool tool = toolRegistered();
  std::vector<std::string> factories = PiExternalWidgetFactory::getFactoryNames();
  std::size_t infos = InBuildInfoUtil::getInfos().size();
  std::size_t modules = loader().getModules().size();
  bool operator==(HostState const&) const = default;
};

void expectLoadError(std::string const& path, std::string const& mention) {
  HostState const before;
  try {
    loader().load(path);
    ADD_FAILURE() << path << " loaded";
  } catch (InModuleError const& e) {
    EXPECT_NE(std::string(e.what()).find(mention), std::string::npos) << e.what();
  }
  EXPECT_TRUE(HostState() == before) << path;
}

TEST(ModuleLoaderTest, LoadedToolsServeTheApplicationUntilUnloaded) {
  fs::path const uiDir = fs::temp_directory_path() / "qxModuleTestUi";
  fs::create_directories(uiDir);
  std::ofstream(uiDir / "testModuleList.xml") << "<list name=\"Tools\"><tool id=\"1\"/></list>";
  setenv("QX_TOOL_UI_DIR", uiDir.c_str(), 1);

  HostState const before;
  RCShdPtr<InModule> module = loader().load(QX_TEST_MODULE);
  EXPECT_EQ(module->getPackageNames(), (std::vector<std::string>{"testModuleCore", "testModuleTools"}));
  // Dependencies first, each once, the module's own packages last.
  std::vector<std::string> const order = InPackageRegistry::getInstance().getInitializedPackages();
  auto pos = [&](char const* p) { return std::find(order.begin(), order.end(), p) - order.begin(); };
  EXPECT_LT(pos("base"), pos("primitives"));
  EXPECT_LT(pos("pluginAPI"), pos("testModuleCore"));
  EXPECT_LT(pos("shape"), pos("testModuleTools"));
  EXPECT_EQ(pos("testModuleTools"), static_cast<long>(order.size()) - 1);
  EXPECT_EQ(InBuildInfoUtil::findInfo(testmodule::libraryName())->getBuildNumber(), 7);
  EXPECT_EQ(PiExternalWidgetFactory::createNamedWidget(testmodule::factoryName())->getName(), "Tools");
  {
    // A second load shares the module; only the last unload closes it.
    RCShdPtr<InModule> const again = loader().load(QX_TEST_MODULE);
    EXPECT_EQ(again, module);
    EXPECT_EQ(module->getLoadCount(), 2);
    EXPECT_EQ(loader().getModules().size(), before.modules + 1);
    loader().unload(again);
    EXPECT_TRUE(module->isLoaded());
    EXPECT_TRUE(toolRegistered());
  }

  {
    // A node of the module's tool, copying a typed payload to the clipboard.
    auto graph = PiGraph::create();
    auto node = graph->createNode(testmodule::toolName(), "Copier");
    node->getInput("Amount")->setValue(0.75);
    dynamic_cast<testmodule::ClipboardSource&>(*node->getController()).copyToClipboard();
    auto item = DrClipboard::getInstance().getContent()->getSelection()->findFirst<RCShdPtr<testmodule::Payload>>();
    ASSERT_FALSE(item.isNull());
    EXPECT_EQ(item->getValue()->nodeName, "Copier");
    EXPECT_EQ(item->getValue()->amount, 0.75);

    // Its code must stay while the node exists.
    try {
      loader().unload(module);
      ADD_FAILURE() << "unloaded under a live node";
    } catch (InModuleError const& e) {
      EXPECT_NE(std::string(e.what()).find("tool \"Test Module Tool\" is still in use"), std::string::npos);
    }
    EXPECT_TRUE(module->isLoaded());
  }
  loader().unload(module);
  EXPECT_FALSE(module->isLoaded());
  EXPECT_TRUE(DrClipboard::getInstance().isEmpty());
  EXPECT_TRUE(HostState() == before);

  // Loading again starts it afresh.
  module = loader().load(QX_TEST_MODULE);
  EXPECT_TRUE(toolRegistered());
  loader().unload(module);
  EXPECT_TRUE(HostState() == before);
}

TEST(ModuleLoaderTest, BadFilesAndFailingModulesLeaveTheHostAsItWas) {
  fs::path const text = fs::temp_directory_path() / "qxNotAModule.qxtool";
  std::ofstream(text) << "not a library";
  expectLoadError(text.string(), "qxNotAModule.qxtool");
  expectLoadError((fs::temp_directory_path() / "qxMissing.qxtool").string(), "no such file");
  expectLoadError(QX_PLAIN_LIBRARY, "not a tool module");

  setenv(testmodule::failVariable(), "1", 1);
  expectLoadError(QX_TEST_MODULE, "package \"testModuleTools\" failed to initialise: asked to fail");
  unsetenv(testmodule::failVariable());
  EXPECT_FALSE(toolRegistered());
  EXPECT_TRUE(InBuildInfoUtil::findInfo(testmodule::libraryName()).isNull());
}

}  // namespace
