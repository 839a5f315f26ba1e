// Environment variables and resource-path placeholders.
#include "resmgt/osEnv.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "base/inInit.h"

bool OsEnv::getVariable(std::string const& name, std::string& value) {
  if (name.empty() || name.find('=') != std::string::npos) return false;
  char const* v = std::getenv(name.c_str());
  if (!v) return false;
  value = v;
  return true;
}

std::string OsEnv::getToolUiDir() {
  std::string dir;
  if (getVariable("QX_TOOL_UI_DIR", dir) && !dir.empty()) return dir;
  std::error_code ec;
  std::filesystem::path const exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  std::filesystem::path const base = ec ? std::filesystem::current_path(ec) : exe.parent_path().parent_path();
  return (base / "share" / "qx" / "toolUI").string();
}

std::string OsEnv::expandPath(std::string const& path) {
  static std::string const placeholder = "<ToolUiDir>";
  if (path.compare(0, placeholder.size(), placeholder) != 0) return path;
  return getToolUiDir() + path.substr(placeholder.size());
}

namespace {
InInit<QxInit::resmgt> const resmgtPackage;
}  // namespace
