// User settings: a JSON file of preferred values, read leniently.
#include "framework/piUserSettings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

// A JSON value as a setting; false for a kind settings never hold.
bool fromJson(Json const& j, PiValueData& out) {
  if (j.is_boolean()) out = PiValueData(j.get<bool>());
  else if (j.is_number_integer() && j.get<double>() >= -2147483648.0 && j.get<double>() <= 2147483647.0)
    out = PiValueData(static_cast<int>(j.get<std::int64_t>()));
  else if (j.is_number() && std::isfinite(j.get<double>())) out = PiValueData(j.get<double>());
  else if (j.is_string()) out = PiValueData(j.get<std::string>());
  else if (j.is_array() && j.size() == 4 && std::all_of(j.begin(), j.end(), [](Json const& c) { return c.is_number(); }))
    out = PiValueData(PiColor(j[0].get<double>(), j[1].get<double>(), j[2].get<double>(), j[3].get<double>()));
  else return false;
  return true;
}

Json toJson(PiValueData const& v) {
  switch (v.getType()) {
    case PI_BOOL: return v.getBool();
    case PI_INT: return v.getInt();
    case PI_DOUBLE: return v.getDouble();
    case PI_STRING: return v.getString();
    default: {
      PiColor const& c = v.getColor();
      return Json::array({c.r, c.g, c.b, c.a});
    }
  }
}

}  // namespace

PiUserSettings& PiUserSettings::getInstance() {
  static PiUserSettings instance;
  static bool const loaded = (instance.load(defaultPath()), true);
  (void)loaded;
  return instance;
}

std::string PiUserSettings::defaultPath() {
  if (char const* f = std::getenv("QX_USER_SETTINGS_FILE"); f && *f) return f;
  if (char const* x = std::getenv("XDG_CONFIG_HOME"); x && *x) return std::string(x) + "/qx/userSettings.json";
  char const* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.config/qx/userSettings.json";
}

void PiUserSettings::load(std::string const& path) {
  std::map<std::string, std::map<std::string, PiValueData>> tools;
  std::string error;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read \"" + path + "\"";
  } else {
    std::ostringstream text;
    text << in.rdbuf();
    Json doc = Json::parse(text.str(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("tools") || !doc["tools"].is_object()) {
      error = "\"" + path + "\" is not a settings file";
    } else {
      for (auto t = doc["tools"].begin(); t != doc["tools"].end(); ++t) {
        if (!t.value().is_object()) continue;
        for (auto v = t.value().begin(); v != t.value().end(); ++v) {
          PiValueData d;
          if (fromJson(v.value(), d)) tools[t.key()][v.key()] = d;
        }
      }
    }
  }
  std::lock_guard<std::mutex> lock(_mutex);
  _path = path;
  _loadError = error;
  _tools = std::move(tools);
}

std::string PiUserSettings::getPath() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _path;
}

std::string PiUserSettings::getLoadError() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _loadError;
}

bool PiUserSettings::find(std::string const& tool, std::string const& name, PiValueData& out) const {
  std::lock_guard<std::mutex> lock(_mutex);
  auto t = _tools.find(tool);
  if (t == _tools.end()) return false;
  auto v = t->second.find(name);
  if (v == t->second.end()) return false;
  out = v->second;
  return true;
}

bool PiUserSettings::has(std::string const& tool, std::string const& name) const {
  PiValueData ignored;
  return find(tool, name, ignored);
}

template <class T>
T PiUserSettings::get(std::string const& tool, std::string const& name, int type, T const& def) const {
  PiValueData v;
  if (!find(tool, name, v)) return def;
  try {
    PiValueData c = v.convertedTo(type, name);
    if constexpr (std::is_same_v<T, bool>) return c.getBool();
    else if constexpr (std::is_same_v<T, int>) return c.getInt();
    else if constexpr (std::is_same_v<T, double>) return c.getDouble();
    else if constexpr (std::is_same_v<T, std::string>) return c.getString();
    else return c.getColor();
  } catch (std::invalid_argument const&) {
    return def;
  }
}

bool PiUserSettings::getBool(std::string const& t, std::string const& n, bool d) const { return get(t, n, PI_BOOL, d); }
int PiUserSettings::getInt(std::string const& t, std::string const& n, int d) const { return get(t, n, PI_INT, d); }
double PiUserSettings::getDouble(std::string const& t, std::string const& n, double d) const { return get(t, n, PI_DOUBLE, d); }
std::string PiUserSettings::getString(std::string const& t, std::string const& n, std::string const& d) const {
  return get(t, n, PI_STRING, d);
}
PiColor PiUserSettings::getColor(std::string const& t, std::string const& n, PiColor const& d) const {
  return get(t, n, PI_COLOR, d);
}

void PiUserSettings::set(std::string const& tool, std::string const& name, PiValueData const& value) {
  PiValueData checked = value.convertedTo(value.getType(), "setting \"" + name + "\" of \"" + tool + "\"");
  std::lock_guard<std::mutex> lock(_mutex);
  _tools[tool][name] = std::move(checked);
}

bool PiUserSettings::remove(std::string const& tool, std::string const& name) {
  std::lock_guard<std::mutex> lock(_mutex);
  auto t = _tools.find(tool);
  return t != _tools.end() && t->second.erase(name) > 0;
}

void PiUserSettings::save() const {
  std::string path, text;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    Json tools = Json::object();
    for (auto const& [tool, values] : _tools)
      for (auto const& [name, v] : values) tools[tool][name] = toJson(v);
    path = _path;
    text = Json{{"version", 1}, {"tools", tools}}.dump(1) + "\n";
  }
  std::error_code ignored;  // a directory that cannot be made shows as a failed write below
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  std::string const tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) throw std::runtime_error("cannot write user settings \"" + tmp + "\"");
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    throw std::runtime_error("cannot replace user settings \"" + path + "\"");
  }
}
