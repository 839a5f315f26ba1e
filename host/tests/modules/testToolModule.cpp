// A tool module for the loader tests: two packages, a tool whose nodes copy
// a typed payload to the clipboard, a widget factory reading an interface
// description, and a build-information record.
#include "testToolModule.h"

#include <stdexcept>

#include "base/inBuildInfo.h"
#include "base/inInit.h"
#include "framework/drClipboard.h"
#include "internalAPI/piExternalWidgetFactory.h"
#include "pluginAPI/piNodeController.h"
#include "resmgt/osEnv.h"
#include "shape/seShape.h"

namespace {

class Controller : public PiImageModifier, public testmodule::ClipboardSource {
 public:
  static void describe(PiToolPolicyDescriptor& d) { d.require("Amount", PI_DOUBLE).setDefaultValue(0.25); }
  void copyToClipboard() override {
    auto payload = makeRC<testmodule::Payload>();
    payload->nodeName = SeShapeNode::create(getNode())->getName();
    payload->amount = getInput("Amount")->getDouble();
    auto selection = SnSelection::create();
    selection->addItem(SnItemBasic<RCShdPtr<testmodule::Payload>>::create(payload));
    DrClipboard::getInstance().setContent(DrCarrier::create(selection), DrAction::Copy);
  }
};

class ListFactory : public PiExternalWidgetFactory {
 public:
  RCShdPtr<PiWidget> createWidget() override {
    return makeRC<PiXmlWidget>(createXmlDocument("<ToolUiDir>/testModuleList.xml"));
  }
};

class BuildInfo : public InBuildInfo {
 public:
  std::string getProductName() const override { return "Test Product"; }
  std::string getLibraryName() const override { return testmodule::libraryName(); }
  int getMajorVersion() const override { return 1; }
  int getMinorVersion() const override { return 2; }
  std::string getVersionString() const override { return "1.2"; }
  std::string getLongVersionString() const override { return "1.2.0"; }
  int getBuildNumber() const override { return 7; }
  std::string getBuildDate() const override { return "2024-01-01"; }
  std::string getBuildConfiguration() const override { return "Test"; }
};

}  // namespace

namespace QxInit {
struct testModuleCore {
  static constexpr char const* kName = "testModuleCore";
  using Dependencies = InDependencies<pluginAPI, base>;
};
struct testModuleTools {
  static constexpr char const* kName = "testModuleTools";
  using Dependencies = InDependencies<testModuleCore, shape, framework, internalAPI, resmgt>;
  static void initialize() {
    InBuildInfoUtil::registerInfo(new BuildInfo());
    PiImageModifier::registerTool(PiMorvaneToolProtocol::create<Controller>(testmodule::toolName(), "A test tool"));
    PiExternalWidgetFactory::registerFactory(testmodule::factoryName(), makeRC<ListFactory>());
    std::string fail;
    if (OsEnv::getVariable(testmodule::failVariable(), fail)) throw std::runtime_error("asked to fail");
  }
  // Takes back the tool only: the registries take back the rest.
  static void finalize() { PiToolRegistry::getInstance().unregisterTool(testmodule::toolName()); }
};
}  // namespace QxInit

namespace {
InInit<QxInit::testModuleCore> const corePackage;
InInit<QxInit::testModuleTools> const toolsPackage;
}  // namespace
