// The user's preferred values per tool and input (creation defaults, output
// settings), kept in a JSON file in the user's configuration directory:
//   $QX_USER_SETTINGS_FILE when set (tests point it at a scratch file),
//   else $XDG_CONFIG_HOME/qx/userSettings.json,
//   else $HOME/.config/qx/userSettings.json.
// The file is {"version": 1, "tools": {TOOL: {NAME: VALUE...}...}} with
// bools, numbers, strings and colours ([r, g, b, a]).
//
// Reading never fails: a missing, unreadable or malformed file reads as no
// settings (getLoadError() says why), entries of an unusable type are
// skipped, and the typed getters return the caller's default for a setting
// that is absent or cannot be converted. save() writes through a temporary
// file renamed into place and throws std::runtime_error when it cannot.
//
// Threading: one instance per process, guarded by a mutex.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "pluginAPI/piValue.h"

class PiUserSettings {
 public:
  // Reads the file at defaultPath() on first use.
  static PiUserSettings& getInstance();
  static std::string defaultPath();

  // Replaces the settings with those of the file at `path`, which later
  // save() calls write.
  void load(std::string const& path);
  std::string getPath() const;
  std::string getLoadError() const;

  bool find(std::string const& tool, std::string const& name, PiValueData& out) const;
  bool has(std::string const& tool, std::string const& name) const;
  bool getBool(std::string const& tool, std::string const& name, bool defaultValue) const;
  int getInt(std::string const& tool, std::string const& name, int defaultValue) const;
  double getDouble(std::string const& tool, std::string const& name, double defaultValue) const;
  std::string getString(std::string const& tool, std::string const& name, std::string const& defaultValue) const;
  PiColor getColor(std::string const& tool, std::string const& name, PiColor const& defaultValue) const;

  void set(std::string const& tool, std::string const& name, PiValueData const& value);
  bool remove(std::string const& tool, std::string const& name);
  void save() const;

 private:
  PiUserSettings() = default;
  template <class T>
  T get(std::string const& tool, std::string const& name, int type, T const& def) const;

  mutable std::mutex _mutex;
  std::string _path;
  std::string _loadError;
  std::map<std::string, std::map<std::string, PiValueData>> _tools;
};
