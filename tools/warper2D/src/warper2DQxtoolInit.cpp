// Entry of the loadable module libQXwarper2D.qxtool: its two initialisation
// packages and its build-information record. Loading the module defines the
// packages; the host initialises "warper2DQxtool" after every host package
// it names, which registers the five tools and the tool-list widget factory,
// and finalises them in reverse when the module is unloaded. This file is
// built into the module only: the static archive the tests link holds the
// tools without registering anything.
#include <string>

#include "base/inBuildInfo.h"
#include "base/inInit.h"
#include "emptyImageTool.h"
#include "warpGeneratorTool.h"
#include "warpResamplerTool.h"
#include "warpShapeTool.h"
#include "warper2DSuperTool.h"

#ifndef WARP2D_VERSION_MAJOR
#define WARP2D_VERSION_MAJOR 0
#define WARP2D_VERSION_MINOR 0
#define WARP2D_VERSION_PATCH 0
#endif
#ifndef WARP2D_BUILD_NUMBER
#define WARP2D_BUILD_NUMBER 0
#endif
#ifndef WARP2D_BUILD_CONFIGURATION
#define WARP2D_BUILD_CONFIGURATION "Unknown"
#endif

namespace {

#define WARP2D_STR2(x) #x
#define WARP2D_STR(x) WARP2D_STR2(x)

// What the host's about box and crash reports list for this module: the
// version the build system gives, its build number and configuration, and
// the compiler's date of this file.
class LibraryBuildInfo final : public InBuildInfo {
 public:
  std::string getProductName() const override { return "Warp 2D"; }
  std::string getLibraryName() const override { return "libQxwarper2DQxtool"; }
  int getMajorVersion() const override { return WARP2D_VERSION_MAJOR; }
  int getMinorVersion() const override { return WARP2D_VERSION_MINOR; }
  std::string getVersionString() const override {
    return WARP2D_STR(WARP2D_VERSION_MAJOR) "." WARP2D_STR(WARP2D_VERSION_MINOR);
  }
  std::string getLongVersionString() const override {
    return WARP2D_STR(WARP2D_VERSION_MAJOR) "." WARP2D_STR(WARP2D_VERSION_MINOR) "." WARP2D_STR(WARP2D_VERSION_PATCH);
  }
  int getBuildNumber() const override { return WARP2D_BUILD_NUMBER; }
  std::string getBuildDate() const override { return __DATE__; }
  std::string getBuildConfiguration() const override { return WARP2D_BUILD_CONFIGURATION; }
};

}  // namespace

namespace QxInit {

// The numerical core: nothing to set up, but hosts that check what a module
// needs see that the solver and resampler code needs these libraries only.
struct warpProc {
  static constexpr char const* kName = "warpProc";
  using Dependencies = InDependencies<primitives, resmgt, pluginAPI, base>;
};

struct warper2DQxtool {
  static constexpr char const* kName = "warper2DQxtool";
  using Dependencies = InDependencies<render, shapeExtensions, shape, framework, storage, internalAPI, primitives,
                                      resmgt, pluginAPI, base>;

  static void initialize() {
    InBuildInfoUtil::registerInfo(new LibraryBuildInfo());
    Qx::Warper2D::Warper2DSuperTool::initialize();
    Qx::Warper2D::WarpGeneratorTool::initialize();
    Qx::Warper2D::WarpResamplerTool::initialize();
    Qx::Warper2D::WarpShapeTool::initialize();
    Qx::Warper2D::EmptyImageTool::initialize();
  }

  // The registries take back the tools, the factory and the record
  // themselves; this releases what the tools hold.
  static void finalize() {
    Qx::Warper2D::EmptyImageTool::finalize();
    Qx::Warper2D::WarpShapeTool::finalize();
    Qx::Warper2D::WarpResamplerTool::finalize();
    Qx::Warper2D::WarpGeneratorTool::finalize();
    Qx::Warper2D::Warper2DSuperTool::finalize();
  }
};

}  // namespace QxInit

namespace {
InInit<QxInit::warpProc> const warpProcPackage;
InInit<QxInit::warper2DQxtool> const warper2DQxtoolPackage;
}  // namespace
