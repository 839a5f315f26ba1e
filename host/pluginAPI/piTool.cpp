// Tool protocols and the process-wide tool registry.
#include "pluginAPI/piTool.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "base/inInit.h"

#ifndef QX_VERSION_STRING
#define QX_VERSION_STRING "0.0.0"
#endif

std::string PiToolProtocol::getWarpingCategory() { return "Warping"; }

void PiToolProtocolImp::setFields(std::string name, std::string shortName, std::string category,
                                  std::string productName, std::string manufacturer, std::string versionString,
                                  int integerField, int visibility, int structure) {
  setName(std::move(name));
  setShortName(std::move(shortName));
  setCategory(std::move(category));
  setProductName(std::move(productName));
  setManufacturer(std::move(manufacturer));
  setVersionString(std::move(versionString));
  setIntegerField(integerField);
  setVisibility(visibility);
  setStructure(structure);
}

std::string PiMorvaneToolProtocol::getMorvaneProductName() { return "Morvane Compositor"; }
std::string PiMorvaneToolProtocol::getMorvaneManufacturer() { return "Morvane"; }
std::string PiMorvaneToolProtocol::getMorvaneVersionString() { return QX_VERSION_STRING; }

std::string PiMorvaneToolProtocol::getMorvaneToolName(std::string const& name) {
  std::string out;
  bool blank = false;
  for (char c : name) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      blank = !out.empty();
      continue;
    }
    if (blank) out += ' ';
    blank = false;
    out += c;
  }
  return out;
}

PiToolRegistry& PiToolRegistry::getInstance() {
  static PiToolRegistry instance;
  return instance;
}

RCShdPtr<const PiTool> PiToolRegistry::registerTool(RCShdPtr<PiToolProtocol> const& protocol,
                                                    std::function<void(PiToolPolicyDescriptor&)> const& complete) {
  std::string const name = PiMorvaneToolProtocol::getMorvaneToolName(protocol->getName());
  if (name.empty()) throw std::invalid_argument("a tool needs a name");
  if (protocol->getIntegerField() > PiToolProtocol::kHostInterfaceLevel)
    throw std::invalid_argument("tool \"" + name + "\" needs interface level " +
                                std::to_string(protocol->getIntegerField()) + "; this host offers " +
                                std::to_string(PiToolProtocol::kHostInterfaceLevel));
  if (protocol->getStructure() != 0 && protocol->getStructure() != 1)
    throw std::invalid_argument("tool \"" + name + "\": structure must be 0 or 1");
  PiToolPolicyDescriptor descriptor;
  protocol->describe(descriptor);
  if (complete) complete(descriptor);
  if (descriptor.getMaskingMode() == 1 && !descriptor.findInput(PiToolPolicyDescriptor::getMaskInputName()))
    descriptor.require(PiToolPolicyDescriptor::getMaskInputName(), PI_IMAGE,
                       PiImageInputPolicy::createSecondary(7, 7, 0, 1, 1, true));
  descriptor.validate(name);
  auto tool = makeRC<const PiTool>(protocol, std::move(descriptor), name);
  std::lock_guard<std::mutex> lock(_mutex);
  for (auto const& t : _tools)
    if (t->getName() == name) throw std::invalid_argument("a tool named \"" + name + "\" is already registered");
  _tools.push_back(tool);
  // A tool registered by a package goes when the package is finalised (its
  // controllers' code lives in the package's library), and is in use while
  // anything besides the registry holds it: nodes keep their tool.
  std::weak_ptr<const PiTool> const weak = tool.shared();
  InRegistrationLog::record(
      "tool \"" + name + "\"",
      [this, weak] {
        RCShdPtr<const PiTool> released;  // destroyed outside the lock
        std::lock_guard<std::mutex> lock(_mutex);
        auto it = std::find_if(_tools.begin(), _tools.end(), [&](auto const& t) { return t.shared() == weak.lock(); });
        if (it == _tools.end()) return;
        released = std::move(*it);
        _tools.erase(it);
      },
      [this, weak] {
        std::lock_guard<std::mutex> lock(_mutex);
        long const registered = std::count_if(_tools.begin(), _tools.end(), [&](auto const& t) {
          return t.shared() == weak.lock();
        });
        return weak.use_count() > registered;
      });
  return tool;
}

bool PiToolRegistry::unregisterTool(std::string const& name) {
  std::string const key = PiMorvaneToolProtocol::getMorvaneToolName(name);
  std::lock_guard<std::mutex> lock(_mutex);
  auto it = std::find_if(_tools.begin(), _tools.end(), [&](auto const& t) { return t->getName() == key; });
  if (it == _tools.end()) return false;
  _tools.erase(it);
  return true;
}

RCShdPtr<const PiTool> PiToolRegistry::findTool(std::string const& name) const {
  std::string const key = PiMorvaneToolProtocol::getMorvaneToolName(name);
  std::lock_guard<std::mutex> lock(_mutex);
  for (auto const& t : _tools)
    if (t->getName() == key) return t;
  return RCShdPtr<const PiTool>();
}

std::vector<RCShdPtr<const PiTool>> PiToolRegistry::getTools() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _tools;
}
