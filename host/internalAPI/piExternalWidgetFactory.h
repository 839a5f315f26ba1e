// External widget factories: parts of the host's interface that a module
// supplies (a tool list, a custom panel), registered under a name that the
// host's interface descriptions refer to. A factory typically builds its
// widget from an XML description file that lies beside the tools' other
// interface files ("<ToolUiDir>/toolList.xml", see resmgt/osEnv.h).
//
// Registry: process-wide, in this shared library, guarded by a mutex. A
// factory registered while a package initialises is unregistered when that
// package is finalised (its code lives in the package's library); while
// anything else still holds it, the module that made it cannot be unloaded.
//
// Failures: registering under an empty or taken name, or a null factory,
// throws std::invalid_argument and registers nothing; reading a description
// that is missing or not well-formed throws PiXmlError naming the file, the
// line and the column.
#pragma once

#include <string>
#include <vector>

#include "base/rcPtr.h"
#include "internalAPI/piXmlDocument.h"
#include "pluginAPI/piUserInterface.h"

class PiExternalWidgetFactory {
 public:
  virtual ~PiExternalWidgetFactory() = default;

  virtual RCShdPtr<PiWidget> createWidget() = 0;

  static void registerFactory(std::string const& name, RCShdPtr<PiExternalWidgetFactory> const& factory);
  static bool unregisterFactory(std::string const& name);
  // Null when none is registered under that name.
  static RCShdPtr<PiExternalWidgetFactory> findFactory(std::string const& name);
  // In registration order.
  static std::vector<std::string> getFactoryNames();
  // The widget of the factory registered under `name`; null when none is.
  static RCShdPtr<PiWidget> createNamedWidget(std::string const& name);

  // Reads and parses the XML description at `path`, placeholders resolved.
  static RCShdPtr<const PiXmlDocument> createXmlDocument(std::string const& path);
};

// A widget built from an XML description; its name is the root element's
// "name" attribute, else the root element's name.
class PiXmlWidget : public PiWidget {
 public:
  explicit PiXmlWidget(RCShdPtr<const PiXmlDocument> description) : _description(std::move(description)) {}
  std::string getName() const override;
  RCShdPtr<const PiXmlDocument> const& getDescription() const { return _description; }

 private:
  RCShdPtr<const PiXmlDocument> _description;
};
