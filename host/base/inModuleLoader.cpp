// Opening and closing tool modules with the system's dynamic loader.
#include "base/inModuleLoader.h"

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace {

std::string inQuotes(std::string const& s) { return "\"" + s + "\""; }

std::string dlMessage() {
  char const* e = dlerror();
  return e ? e : "unknown error";
}

// Whether `address` lies in the library opened as `handle`: the object
// that holds it, opened again without loading, gives the same handle.
bool belongsTo(void const* address, void* handle) {
  Dl_info info{};
  if (!dladdr(address, &info) || !info.dli_fname) return false;
  void* const h = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  if (!h) return false;
  bool const same = h == handle;
  dlclose(h);
  return same;
}

}  // namespace

InModuleLoader& InModuleLoader::getInstance() {
  // Never destroyed: services register unload listeners from their own
  // statics, whose destruction order against this one is unknown.
  static InModuleLoader* const instance = new InModuleLoader();
  return *instance;
}

RCShdPtr<InModule> InModuleLoader::load(std::string const& path) {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  std::string const what = "cannot load tool module " + inQuotes(path) + ": ";
  std::error_code ec;
  if (path.empty() || !std::filesystem::is_regular_file(path, ec)) throw InModuleError(what + "no such file");
  std::string const canonical = std::filesystem::canonical(path, ec).string();
  // Never hand the system loader an empty name: that opens the program itself.
  if (ec || canonical.empty()) throw InModuleError(what + ec.message());
  for (auto const& m : _modules)
    if (m->_path == canonical) {
      ++m->_loads;
      return m;
    }

  auto module = RCShdPtr<InModule>(new InModule());
  module->_path = canonical;
  std::vector<InPackageRegistry::DefinitionCapture::Entry> defined;
  std::vector<std::string> duplicates;
  {
    InPackageRegistry::DefinitionCapture capture;
    dlerror();
    module->_handle = dlopen(canonical.c_str(), RTLD_NOW | RTLD_LOCAL);
    defined = std::move(capture.defined);
    duplicates = std::move(capture.duplicates);
  }
  if (!module->_handle) throw InModuleError(what + dlMessage());
  auto fail = [&](std::string const& reason) {
    dlclose(module->_handle);
    module->_handle = nullptr;
    throw InModuleError(what + reason);
  };
  if (!duplicates.empty()) fail("it defines package " + inQuotes(duplicates.front()) + ", which is already defined");
  for (auto const& d : defined)
    if (belongsTo(d.package, module->_handle)) module->_packages.push_back(d.name);
  if (module->_packages.empty()) fail("it is not a tool module (it defines no initialisation package)");
  try {
    module->_claim = InPackageRegistry::getInstance().claim(module->_packages);
  } catch (std::exception const& e) {
    fail(e.what());
  }
  module->_loads = 1;
  _modules.push_back(module);
  return module;
}

void InModuleLoader::unload(RCShdPtr<InModule> const& module) {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto it = std::find(_modules.begin(), _modules.end(), module);
  if (module.isNull() || it == _modules.end()) throw InModuleError("cannot unload a module that is not loaded");
  if (module->_loads > 1) {
    --module->_loads;
    return;
  }
  std::string const what = "cannot unload tool module " + inQuotes(module->_path) + ": ";
  InPackageRegistry& registry = InPackageRegistry::getInstance();
  for (std::string const& p : module->_packages)
    if (registry.getClaimCount(p) > 1) throw InModuleError(what + "other packages still need its package " + inQuotes(p));
  std::vector<std::string> const busy = registry.findBusyRegistrations(module->_claim);
  if (!busy.empty()) throw InModuleError(what + busy.front() + " is still in use");

  RCShdPtr<InModule> const keep = module;  // `module` may refer to the list entry
  _modules.erase(it);
  keep->_loads = 0;
  std::string failure;
  try {
    keep->_claim.release();
  } catch (std::exception const& e) {
    failure = e.what();
  }
  try {
    _unloading.call(*keep);
  } catch (std::exception const& e) {
    // The library must close all the same: its packages are finalised.
    failure += (failure.empty() ? "" : "; ") + std::string(e.what());
  }
  dlclose(keep->_handle);
  keep->_handle = nullptr;
  if (!failure.empty()) throw InModuleError("tool module " + inQuotes(keep->_path) + " unloaded with errors: " + failure);
}

std::vector<RCShdPtr<InModule>> InModuleLoader::getModules() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return _modules;
}
