// Tool modules: shared libraries (conventionally named lib<Name>.qxtool) that
// the host opens at run time to add tools.
//
// What makes a library a module: it defines initialisation packages
// (InInit objects at namespace scope, base/inInit.h). Opening the library
// runs its static constructors, which define them; the loader then claims
// every package the library itself defines, so they initialise in
// dependency order after the host packages they need. A module exports
// nothing else for loading. Packages that a module's dependent libraries
// define are the host's and stay out of the module's list. A dependency on a
// host package needs its library loaded: a module links the host libraries
// whose packages it names and uses them (a linker that drops unused
// libraries drops their packages too; the loader then names the missing
// package).
//
// Unloading finalises the module's packages in reverse (taking back what
// they registered: tools, widget factories, build information), tells the
// unload listeners (services that may hold objects made by the module's
// code, such as the clipboard, drop them), then closes the library.
//
// Failures, all InModuleError with the file's path and the reason, and all
// leaving the registries as they were: a missing file; a file the system
// loader refuses (not a shared library, unresolved symbols); a library that
// defines no package ("not a tool module") or a package name already
// defined; an undefined dependency or a cycle; a package whose
// initialisation throws.
//
// Sharing. A module is loaded once per process: loading a file that is
// already loaded hands out the same InModule and counts one more load, so
// that independent parts of an application (a renderer, an editor) can each
// load the module they need. Each load is matched by one unload; only the
// last one finalises and closes the library. That last unload is refused,
// changing nothing (the load stays counted), while another claim still needs
// one of the module's packages or while something the module registered is
// in use (a node of one of its tools still exists): its code must stay
// mapped.
//
// Threading: load and unload belong to the user-interface thread; the loader
// is guarded by a mutex.
#pragma once

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/cbDispatcher.h"
#include "base/inInit.h"
#include "base/rcPtr.h"

class InModuleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class InModule {
 public:
  InModule(InModule const&) = delete;
  InModule& operator=(InModule const&) = delete;

  // Canonical path of the library.
  std::string const& getPath() const { return _path; }
  // The packages the library defines, in definition order.
  std::vector<std::string> const& getPackageNames() const { return _packages; }
  bool isLoaded() const { return _handle != nullptr; }
  // Loads not yet matched by an unload.
  int getLoadCount() const { return _loads; }

 private:
  friend class InModuleLoader;
  InModule() = default;
  std::string _path;
  std::vector<std::string> _packages;
  void* _handle = nullptr;
  int _loads = 0;
  InPackageClaim _claim;
};

class InModuleLoader {
 public:
  // Process-wide, in libQXbase.
  static InModuleLoader& getInstance();

  RCShdPtr<InModule> load(std::string const& path);
  // Undoes one load; the last one closes the library. Throws InModuleError
  // when refused (see above) or when a package failed to finalise (the
  // library is closed all the same).
  void unload(RCShdPtr<InModule> const& module);
  // In load order.
  std::vector<RCShdPtr<InModule>> getModules() const;

  // Called with the module after its packages are finalised and before its
  // library is closed.
  bool addUnloadCallback(CbHandler<InModule const>* handler) const { return _unloading.addHandler(handler); }
  bool removeUnloadCallback(CbHandler<InModule const>* handler) const { return _unloading.removeHandler(handler); }

 private:
  InModuleLoader() = default;
  mutable std::recursive_mutex _mutex;
  std::vector<RCShdPtr<InModule>> _modules;
  CbDispatcher<InModule const> _unloading;
};
