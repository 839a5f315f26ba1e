// The external widget factory registry.
#include "internalAPI/piExternalWidgetFactory.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "base/inInit.h"
#include "resmgt/osEnv.h"

namespace {

struct Registry {
  std::mutex mutex;
  std::vector<std::pair<std::string, RCShdPtr<PiExternalWidgetFactory>>> factories;
};

Registry& registry() {
  static Registry r;
  return r;
}

bool isRegistered(PiExternalWidgetFactory const* p) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  auto const& fs = registry().factories;
  return std::any_of(fs.begin(), fs.end(), [&](auto const& f) { return f.second.get() == p; });
}

void removeIdentical(PiExternalWidgetFactory const* p) {
  RCShdPtr<PiExternalWidgetFactory> released;  // destroyed outside the lock
  std::lock_guard<std::mutex> lock(registry().mutex);
  auto& fs = registry().factories;
  auto it = std::find_if(fs.begin(), fs.end(), [&](auto const& f) { return p && f.second.get() == p; });
  if (it == fs.end()) return;
  released = std::move(it->second);
  fs.erase(it);
}

}  // namespace

void PiExternalWidgetFactory::registerFactory(std::string const& name,
                                              RCShdPtr<PiExternalWidgetFactory> const& factory) {
  if (name.empty()) throw std::invalid_argument("a widget factory needs a name");
  if (factory.isNull()) throw std::invalid_argument("no widget factory given for \"" + name + "\"");
  {
    std::lock_guard<std::mutex> lock(registry().mutex);
    for (auto const& f : registry().factories)
      if (f.first == name) throw std::invalid_argument("a widget factory named \"" + name + "\" is already registered");
    registry().factories.emplace_back(name, factory);
  }
  // Taken back and counted by identity: the name may have been reused.
  std::weak_ptr<PiExternalWidgetFactory> const weak = factory.shared();
  InRegistrationLog::record(
      "widget factory \"" + name + "\"", [weak] { removeIdentical(weak.lock().get()); },
      [weak] {
        auto const p = weak.lock();
        return p && p.use_count() > 1 + (isRegistered(p.get()) ? 1 : 0);
      });
}

bool PiExternalWidgetFactory::unregisterFactory(std::string const& name) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  auto& fs = registry().factories;
  auto it = std::find_if(fs.begin(), fs.end(), [&](auto const& f) { return f.first == name; });
  if (it == fs.end()) return false;
  fs.erase(it);
  return true;
}

RCShdPtr<PiExternalWidgetFactory> PiExternalWidgetFactory::findFactory(std::string const& name) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  for (auto const& f : registry().factories)
    if (f.first == name) return f.second;
  return RCShdPtr<PiExternalWidgetFactory>();
}

std::vector<std::string> PiExternalWidgetFactory::getFactoryNames() {
  std::lock_guard<std::mutex> lock(registry().mutex);
  std::vector<std::string> names;
  for (auto const& f : registry().factories) names.push_back(f.first);
  return names;
}

RCShdPtr<PiWidget> PiExternalWidgetFactory::createNamedWidget(std::string const& name) {
  RCShdPtr<PiExternalWidgetFactory> const f = findFactory(name);
  return f.isNull() ? RCShdPtr<PiWidget>() : f->createWidget();
}

RCShdPtr<const PiXmlDocument> PiExternalWidgetFactory::createXmlDocument(std::string const& path) {
  return PiXmlDocument::readFile(OsEnv::expandPath(path));
}

std::string PiXmlWidget::getName() const {
  PiXmlElement const& root = _description->getRoot();
  return root.getAttribute("name", root.getName());
}
