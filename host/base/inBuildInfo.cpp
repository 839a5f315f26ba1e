// The build-information registry.
#include "base/inBuildInfo.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "base/inInit.h"

namespace {

struct Registry {
  std::mutex mutex;
  std::vector<RCShdPtr<const InBuildInfo>> infos;
};

Registry& registry() {
  static Registry r;
  return r;
}

}  // namespace

void InBuildInfoUtil::registerInfo(InBuildInfo* info) {
  if (!info) return;
  RCShdPtr<const InBuildInfo> const owned{std::shared_ptr<const InBuildInfo>(info)};
  std::string const name = owned->getLibraryName();
  if (name.empty()) throw std::invalid_argument("a build-information record needs a library name");
  {
    std::lock_guard<std::mutex> lock(registry().mutex);
    for (auto const& i : registry().infos)
      if (i->getLibraryName() == name)
        throw std::invalid_argument("build information of \"" + name + "\" is already registered");
    registry().infos.push_back(owned);
  }
  std::weak_ptr<const InBuildInfo> const weak = owned.shared();
  InRegistrationLog::record("build information of \"" + name + "\"", [weak] {
    std::lock_guard<std::mutex> lock(registry().mutex);
    auto& infos = registry().infos;
    auto const p = weak.lock();
    infos.erase(std::remove_if(infos.begin(), infos.end(), [&](auto const& i) { return p && i.get() == p.get(); }),
                infos.end());
  });
}

bool InBuildInfoUtil::unregisterInfo(std::string const& libraryName) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  auto& infos = registry().infos;
  auto it = std::find_if(infos.begin(), infos.end(), [&](auto const& i) { return i->getLibraryName() == libraryName; });
  if (it == infos.end()) return false;
  infos.erase(it);
  return true;
}

RCShdPtr<const InBuildInfo> InBuildInfoUtil::findInfo(std::string const& libraryName) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  for (auto const& i : registry().infos)
    if (i->getLibraryName() == libraryName) return i;
  return RCShdPtr<const InBuildInfo>();
}

std::vector<RCShdPtr<const InBuildInfo>> InBuildInfoUtil::getInfos() {
  std::lock_guard<std::mutex> lock(registry().mutex);
  return registry().infos;
}

std::string InBuildInfoUtil::describe() {
  std::string out;
  for (auto const& i : getInfos())
    out += i->getLibraryName() + " " + i->getLongVersionString() + " (build " + std::to_string(i->getBuildNumber()) +
           ", " + i->getBuildConfiguration() + ", " + i->getBuildDate() + "), " + i->getProductName() + "\n";
  return out;
}
