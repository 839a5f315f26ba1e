// Initialisation packages: named units of start-up and shut-down work with
// declared dependencies, initialised in dependency order and finalised in
// reverse, each once however many users need it.
//
// Defining a package. A package is described by a tag type with its name,
// its dependencies (tags of other packages) and, optionally, static
// initialize() and finalize() functions:
//
//   namespace QxInit {
//   struct warpProc {
//     static constexpr char const* kName = "warpProc";
//     using Dependencies = InDependencies<primitives, resmgt, pluginAPI, base>;
//     static void initialize();   // optional
//     static void finalize();     // optional
//   };
//   }
//   static InInit<QxInit::warpProc> const warpProcPackage;
//
// The InInit object defines the package with the process-wide registry for
// as long as it lives: a library (the host's or a tool module) defines its
// packages by holding InInit objects at namespace scope, so they exist
// exactly while the library is loaded. Dependencies are named, not linked:
// a package may depend on one defined by another library.
//
// Using packages. InPackageRegistry::claim(names) initialises the named
// packages and, before each, the packages it depends on (dependencies in the
// order declared, depth first), skipping those already initialised, and
// returns a claim that keeps them initialised. Releasing the last claim on a
// package finalises it; packages released together are finalised in the
// reverse of the order they were initialised. A dependency cycle or a
// dependency that no library defines is an error before anything is
// initialised. A package whose initialize() throws is taken back as if never
// claimed: the packages that claim had initialised are finalised in reverse,
// and the claim fails with an error naming the package.
//
// Registrations. Host registries (tools, widget factories, build
// information) report what they register through InRegistrationLog. What a
// package registers while it initialises is recorded with that package and
// taken back when the package is finalised (what finalize() left) or fails
// to initialise; so a module's tools and factories never outlive its code,
// and a failed start leaves the registries as they were.
//
// Threading: claims and releases are serialised by the registry; package
// code runs on the thread that claims or releases (the user-interface
// thread).
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

template <class... Tags>
struct InDependencies {};

// The host libraries' packages. Each host library defines its own package
// (its InInit object lives in the library); their dependencies follow the
// libraries' link order.
namespace QxInit {
struct base {
  static constexpr char const* kName = "base";
  using Dependencies = InDependencies<>;
};
struct resmgt {
  static constexpr char const* kName = "resmgt";
  using Dependencies = InDependencies<base>;
};
struct primitives {
  static constexpr char const* kName = "primitives";
  using Dependencies = InDependencies<base>;
};
struct pluginAPI {
  static constexpr char const* kName = "pluginAPI";
  using Dependencies = InDependencies<primitives, base>;
};
// The image renderer lives in the plug-in API library.
struct render {
  static constexpr char const* kName = "render";
  using Dependencies = InDependencies<pluginAPI>;
};
struct storage {
  static constexpr char const* kName = "storage";
  using Dependencies = InDependencies<pluginAPI>;
};
struct internalAPI {
  static constexpr char const* kName = "internalAPI";
  using Dependencies = InDependencies<pluginAPI, resmgt>;
};
struct framework {
  static constexpr char const* kName = "framework";
  using Dependencies = InDependencies<internalAPI>;
};
struct shape {
  static constexpr char const* kName = "shape";
  using Dependencies = InDependencies<framework>;
};
// Shape-editing extensions share the shape library.
struct shapeExtensions {
  static constexpr char const* kName = "shapeExtensions";
  using Dependencies = InDependencies<shape>;
};
}  // namespace QxInit

class InPackage {
 public:
  InPackage(InPackage const&) = delete;
  InPackage& operator=(InPackage const&) = delete;

  std::string const& getName() const { return _name; }

 protected:
  using Step = void (*)();
  // Defines the package with the registry (see InPackageRegistry::define).
  InPackage(char const* name, std::vector<std::string> dependencies, Step initialize, Step finalize);
  ~InPackage();

 private:
  std::string _name;
};

template <class Tag>
class InInit final : public InPackage {
 public:
  InInit() : InPackage(Tag::kName, namesOf(typename Tag::Dependencies{}), initStep(), finiStep()) {}

 private:
  template <class... D>
  static std::vector<std::string> namesOf(InDependencies<D...>) {
    return {D::kName...};
  }
  static Step initStep() {
    if constexpr (requires { Tag::initialize(); }) return &Tag::initialize;
    else return nullptr;
  }
  static Step finiStep() {
    if constexpr (requires { Tag::finalize(); }) return &Tag::finalize;
    else return nullptr;
  }
};

class InPackageRegistry;

// Keeps a set of packages initialised; releasing it (explicitly or by
// destruction) finalises those no other claim holds. Move-only.
class InPackageClaim {
 public:
  InPackageClaim() = default;
  InPackageClaim(InPackageClaim&& o) noexcept;
  InPackageClaim& operator=(InPackageClaim&& o) noexcept;
  ~InPackageClaim();

  // The claimed packages and their dependencies, in dependency order.
  std::vector<std::string> const& getPackages() const { return _packages; }
  bool isActive() const { return _registry != nullptr; }
  // Throws std::runtime_error naming the packages whose finalize() threw
  // (after finalising all of them); the claim is released either way.
  void release();

 private:
  friend class InPackageRegistry;
  InPackageRegistry* _registry = nullptr;
  std::vector<std::string> _packages;
};

class InRegistrationLog {
 public:
  // Called by a registry after it registered something. While a package
  // initialises on this thread the registration is recorded with it:
  // `revert` takes it back (it must do nothing when the registration is
  // already gone) and `inUse`, when given, says whether other objects still
  // hold what was registered. `what` describes it for messages ("tool
  // \"Blur\""). Outside package initialisation nothing is recorded.
  static void record(std::string what, std::function<void()> revert, std::function<bool()> inUse = {});
};

class InPackageRegistry {
 public:
  // Process-wide; lives in libQXbase so that the application and every
  // module share it.
  static InPackageRegistry& getInstance();

  bool isDefined(std::string const& name) const;
  bool isInitialized(std::string const& name) const;
  // Initialised packages in the order they were initialised.
  std::vector<std::string> getInitializedPackages() const;
  // Number of claims holding the package (0 when not initialised).
  int getClaimCount(std::string const& name) const;

  // See the top of this file. Throws std::invalid_argument for an unknown
  // package, an undefined dependency or a cycle (the message gives the
  // chain), std::runtime_error when an initialize() throws.
  InPackageClaim claim(std::vector<std::string> const& names);

  // What the packages that releasing `claim` would finalise registered and
  // is still in use, described; empty when releasing is safe for them.
  std::vector<std::string> findBusyRegistrations(InPackageClaim const& claim) const;

  // One registration recorded with a package (see InRegistrationLog).
  struct Registration {
    std::string what;
    std::function<void()> revert;
    std::function<bool()> inUse;
  };

  // Collects the packages defined on this thread while it lives (the
  // module loader learns what opening a library defined). One at a time per
  // thread.
  class DefinitionCapture {
   public:
    struct Entry {
      std::string name;
      InPackage const* package;
    };
    DefinitionCapture();
    ~DefinitionCapture();
    DefinitionCapture(DefinitionCapture const&) = delete;
    DefinitionCapture& operator=(DefinitionCapture const&) = delete;
    std::vector<Entry> defined;
    // Names defined a second time while capturing (the second definition
    // is ignored).
    std::vector<std::string> duplicates;
  };

 private:
  friend class InPackage;
  friend class InPackageClaim;
  friend class InRegistrationLog;
  struct Definition {
    std::vector<std::string> dependencies;
    void (*initialize)();
    void (*finalize)();
    InPackage const* owner;
  };
  struct State {
    int claims = 0;
    std::vector<Registration> registrations;
  };

  InPackageRegistry() = default;
  // A second definition of a name is ignored (and reported to a capture).
  void define(InPackage const& package, std::vector<std::string> dependencies, void (*initialize)(),
              void (*finalize)());
  void undefine(InPackage const& package);
  std::vector<std::string> closure(std::vector<std::string> const& names) const;
  // Releases one claim on each package, finalising those left unclaimed in
  // reverse initialisation order; returns the failures of finalize().
  std::vector<std::string> releasePackages(std::vector<std::string> const& packages);
  std::string finalizeOne(std::string const& name);

  mutable std::recursive_mutex _mutex;
  std::map<std::string, Definition> _definitions;
  std::map<std::string, State> _states;
  std::vector<std::string> _order;
};
