// The package registry: definitions, dependency closure, claims, and the
// registrations each package made while it initialised.
#include "base/inInit.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <utility>

namespace {

// The registrations of the package initialising on this thread, if any.
thread_local std::vector<InPackageRegistry::Registration>* tRecording = nullptr;
thread_local InPackageRegistry::DefinitionCapture* tCapture = nullptr;

std::string inQuotes(std::string const& s) { return "\"" + s + "\""; }

std::string messageOf(std::exception_ptr const& e) {
  try {
    std::rethrow_exception(e);
  } catch (std::exception const& x) {
    return x.what();
  } catch (...) {
    return "unknown exception";
  }
}

// Takes back what a package registered and did not take back itself.
void revertAll(std::vector<InPackageRegistry::Registration>& registrations) {
  for (auto it = registrations.rbegin(); it != registrations.rend(); ++it) {
    try {
      it->revert();
    } catch (...) {
      // A registry that cannot take something back keeps it; the others
      // must still be reverted.
    }
  }
  registrations.clear();
}

}  // namespace

InPackage::InPackage(char const* name, std::vector<std::string> dependencies, Step initialize, Step finalize)
    : _name(name) {
  InPackageRegistry::getInstance().define(*this, std::move(dependencies), initialize, finalize);
}

InPackage::~InPackage() { InPackageRegistry::getInstance().undefine(*this); }

void InRegistrationLog::record(std::string what, std::function<void()> revert, std::function<bool()> inUse) {
  if (tRecording) tRecording->push_back({std::move(what), std::move(revert), std::move(inUse)});
}

InPackageRegistry::DefinitionCapture::DefinitionCapture() {
  if (tCapture) throw std::logic_error("package definitions are already being captured on this thread");
  tCapture = this;
}

InPackageRegistry::DefinitionCapture::~DefinitionCapture() { tCapture = nullptr; }

InPackageRegistry& InPackageRegistry::getInstance() {
  // Never destroyed: libraries define and withdraw packages from their
  // static constructors and destructors, which may run after this library's
  // own statics are gone at exit.
  static InPackageRegistry* const instance = new InPackageRegistry();
  return *instance;
}

void InPackageRegistry::define(InPackage const& package, std::vector<std::string> dependencies, void (*initialize)(),
                               void (*finalize)()) {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  std::string const& name = package.getName();
  if (_definitions.count(name)) {
    if (tCapture) tCapture->duplicates.push_back(name);
    return;
  }
  _definitions.emplace(name, Definition{std::move(dependencies), initialize, finalize, &package});
  if (tCapture) tCapture->defined.push_back({name, &package});
}

void InPackageRegistry::undefine(InPackage const& package) {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto it = _definitions.find(package.getName());
  if (it != _definitions.end() && it->second.owner == &package) _definitions.erase(it);
}

bool InPackageRegistry::isDefined(std::string const& name) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return _definitions.count(name) != 0;
}

bool InPackageRegistry::isInitialized(std::string const& name) const { return getClaimCount(name) > 0; }

int InPackageRegistry::getClaimCount(std::string const& name) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto it = _states.find(name);
  return it == _states.end() ? 0 : it->second.claims;
}

std::vector<std::string> InPackageRegistry::getInitializedPackages() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return _order;
}

// Depth-first post-order: every package after what it depends on, in the
// order the dependencies are declared. The path being walked finds cycles.
std::vector<std::string> InPackageRegistry::closure(std::vector<std::string> const& names) const {
  std::vector<std::string> order, path;
  std::function<void(std::string const&, std::string const&)> visit = [&](std::string const& name,
                                                                           std::string const& neededBy) {
    if (std::find(order.begin(), order.end(), name) != order.end()) return;
    auto onPath = std::find(path.begin(), path.end(), name);
    if (onPath != path.end()) {
      std::string chain;
      for (auto it = onPath; it != path.end(); ++it) chain += inQuotes(*it) + " -> ";
      throw std::invalid_argument("package dependency cycle: " + chain + inQuotes(name));
    }
    auto def = _definitions.find(name);
    if (def == _definitions.end())
      throw std::invalid_argument(neededBy.empty() ? "no package named " + inQuotes(name) + " is defined"
                                                   : "package " + inQuotes(neededBy) + " depends on " + inQuotes(name) +
                                                         ", which no loaded library defines");
    path.push_back(name);
    for (std::string const& dep : def->second.dependencies) visit(dep, name);
    path.pop_back();
    order.push_back(name);
  };
  for (std::string const& n : names) visit(n, std::string());
  return order;
}

InPackageClaim InPackageRegistry::claim(std::vector<std::string> const& names) {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  std::vector<std::string> const order = closure(names);
  InPackageClaim result;
  result._registry = this;
  for (std::string const& name : order) {
    auto st = _states.find(name);
    if (st != _states.end()) {
      ++st->second.claims;
      result._packages.push_back(name);
      continue;
    }
    std::vector<Registration> recorded;
    std::exception_ptr failure;
    if (auto init = _definitions.at(name).initialize) {
      auto* const outer = tRecording;
      tRecording = &recorded;
      try {
        init();
      } catch (...) {
        failure = std::current_exception();
      }
      tRecording = outer;
    }
    if (failure) {
      revertAll(recorded);
      std::vector<std::string> const taken = std::move(result._packages);
      result._registry = nullptr;
      releasePackages(taken);  // what this claim initialised goes, in reverse
      throw std::runtime_error("package " + inQuotes(name) + " failed to initialise: " + messageOf(failure));
    }
    _states[name] = State{1, std::move(recorded)};
    _order.push_back(name);
    result._packages.push_back(name);
  }
  return result;
}

std::vector<std::string> InPackageRegistry::releasePackages(std::vector<std::string> const& packages) {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  std::vector<std::string> unclaimed;
  for (std::string const& name : packages) {
    auto st = _states.find(name);
    if (st != _states.end() && --st->second.claims == 0) unclaimed.push_back(name);
  }
  std::vector<std::string> failures;
  std::vector<std::string> const order = _order;
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    if (std::find(unclaimed.begin(), unclaimed.end(), *it) == unclaimed.end()) continue;
    std::string failure = finalizeOne(*it);
    if (!failure.empty()) failures.push_back(std::move(failure));
  }
  return failures;
}

std::string InPackageRegistry::finalizeOne(std::string const& name) {
  std::string failure;
  auto def = _definitions.find(name);
  // A library unloaded behind the registry's back took its finalize() with it.
  if (def != _definitions.end() && def->second.finalize) {
    try {
      def->second.finalize();
    } catch (...) {
      failure = "package " + inQuotes(name) + " failed to finalise: " + messageOf(std::current_exception());
    }
  }
  revertAll(_states[name].registrations);
  _states.erase(name);
  _order.erase(std::find(_order.begin(), _order.end(), name));
  return failure;
}

std::vector<std::string> InPackageRegistry::findBusyRegistrations(InPackageClaim const& claim) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  std::vector<std::string> busy;
  if (claim._registry != this) return busy;
  for (std::string const& name : claim._packages) {
    auto st = _states.find(name);
    if (st == _states.end() || st->second.claims != 1) continue;
    for (Registration const& r : st->second.registrations)
      if (r.inUse && r.inUse()) busy.push_back(r.what);
  }
  return busy;
}

InPackageClaim::InPackageClaim(InPackageClaim&& o) noexcept
    : _registry(std::exchange(o._registry, nullptr)), _packages(std::move(o._packages)) {}

InPackageClaim& InPackageClaim::operator=(InPackageClaim&& o) noexcept {
  if (this != &o) {
    try {
      release();
    } catch (...) {
      // The failures of a claim given up by assignment have no one to go to.
    }
    _registry = std::exchange(o._registry, nullptr);
    _packages = std::move(o._packages);
  }
  return *this;
}

InPackageClaim::~InPackageClaim() {
  try {
    release();
  } catch (...) {
    // As above: release() explicitly to hear about finalisation failures.
  }
}

void InPackageClaim::release() {
  if (!_registry) return;
  InPackageRegistry* const registry = std::exchange(_registry, nullptr);
  std::vector<std::string> const failures = registry->releasePackages(_packages);
  if (failures.empty()) return;
  std::string message;
  for (std::string const& f : failures) message += (message.empty() ? "" : "; ") + f;
  throw std::runtime_error(message);
}

namespace {
InInit<QxInit::base> const basePackage;
}  // namespace
