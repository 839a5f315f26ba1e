// Reading a scene: JSON text to a checked Scene, with every error pinned to
// its JSON path. The reader walks the document by hand rather than through
// nlohmann's from_json, because each value's path has to travel with it.
#include "scene.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

namespace Qx::Warp2dApp {

using nlohmann::json;
namespace fs = std::filesystem;

SceneError::SceneError(std::string file, std::string path, std::string what)
    : std::runtime_error(file + (path.empty() ? "" : ": " + path) + ": " + what),
      _file(std::move(file)),
      _path(std::move(path)) {}

std::vector<int> FrameRange::frames() const {
  std::vector<int> out;
  for (long f = first; f <= last; f += step) out.push_back(static_cast<int>(f));
  return out;
}

namespace {

// Reads an optionally negative whole number of 1 to 9 digits at `at`.
bool readInt(std::string const& t, std::size_t& at, int& out) {
  std::size_t i = at;
  bool const negative = i < t.size() && t[i] == '-';
  if (negative) ++i;
  std::size_t const digits = i;
  long v = 0;
  while (i < t.size() && i - digits < 9 && t[i] >= '0' && t[i] <= '9') v = v * 10 + (t[i++] - '0');
  if (i == digits || (i < t.size() && t[i] >= '0' && t[i] <= '9')) return false;
  out = static_cast<int>(negative ? -v : v);
  at = i;
  return true;
}

}  // namespace

std::optional<FrameRange> parseFrameRange(std::string const& text) {
  FrameRange r;
  std::size_t at = 0;
  if (!readInt(text, at, r.first)) return std::nullopt;
  r.last = r.first;
  if (at < text.size()) {
    if (text[at++] != '-' || !readInt(text, at, r.last)) return std::nullopt;
    if (at < text.size()) {
      if (text[at++] != 'x' || at >= text.size() || text[at] == '-' || !readInt(text, at, r.step)) return std::nullopt;
    }
  }
  if (at != text.size() || r.first > r.last || r.step < 1) return std::nullopt;
  return r;
}

namespace {

// Where the frame field of a pattern is: position, length, padding width
// (0 unpadded), or width -1 when there is none; -2 when malformed.
struct Field {
  std::string::size_type pos = 0, len = 0;
  int width = -1;
};

Field findField(std::string const& t) {
  Field f;
  int count = 0;
  for (std::string::size_type i = 0; i < t.size(); ++i) {
    if (t[i] == '%') {
      // %d, %Nd or %0Nd.
      std::string::size_type j = i + 1;
      if (j < t.size() && t[j] == '0') ++j;
      std::string::size_type const digits = j;
      while (j < t.size() && t[j] >= '0' && t[j] <= '9' && j - digits < 2) ++j;
      if (j >= t.size() || t[j] != 'd') return {0, 0, -2};
      f = {i, j + 1 - i, j > digits ? std::stoi(t.substr(digits, j - digits)) : 0};
      i = j;
      ++count;
    } else if (t[i] == '#') {
      std::string::size_type j = i;
      while (j < t.size() && t[j] == '#') ++j;
      f = {i, j - i, static_cast<int>(j - i)};
      i = j - 1;
      ++count;
    }
  }
  if (count > 1) return {0, 0, -2};
  return f;
}

}  // namespace

PathPattern::PathPattern(std::string text) : _text(std::move(text)) {
  Field const f = findField(_text);
  if (f.width >= 0) {
    _pos = f.pos;
    _len = f.len;
    _width = f.width;
  }
}

bool PathPattern::isMalformed(std::string const& text) { return findField(text).width == -2; }

std::string PathPattern::at(int frame) const {
  if (!isSequence()) return _text;
  char digits[32];
  std::snprintf(digits, sizeof digits, "%0*d", _width, frame);
  return _text.substr(0, _pos) + digits + _text.substr(_pos + _len);
}

GeBezierCurve SceneCurve::toBezier() const {
  GeBezierCurve c;
  for (Point const& p : points) c.addPoint(p.in, p.point, p.out);
  c.setClosure(closed ? GeBezierCurve::CLOSED : GeBezierCurve::OPEN);
  return c;
}

std::vector<int> Scene::framesToRender(std::optional<FrameRange> const& override) const {
  if (override) return override->frames();
  if (frames) return frames->frames();
  return {1};
}

namespace {

struct EnumValue {
  char const* name;
  int code;
};
// In the order the tool lists them.
EnumValue const kFilters[] = {{"Nearest", 0}, {"Bilinear", 1}, {"Mitchell", 3},
                              {"Gaussian", 2}, {"Jinc 2", 5},  {"Jinc 3", 6}};
EnumValue const kBoundaries[] = {{"Free", 1}, {"Fixed", 0}};
EnumValue const kTimings[] = {{"Global", 0}, {"Shape", 1}};
EnumValue const kRenderSmoothings[] = {{"Skew", 0}, {"Rigid", 1}};
EnumValue const kShapeSmoothings[] = {{"Bidirectional", 0}, {"Inside", 1}, {"Outside", 2}, {"None", 3}};

template <std::size_t N>
char const* nameOf(EnumValue const (&values)[N], int code) {
  for (EnumValue const& v : values)
    if (v.code == code) return v.name;
  return "?";
}

template <std::size_t N>
std::string listOf(EnumValue const (&values)[N]) {
  std::string s;
  for (EnumValue const& v : values) s += (s.empty() ? "\"" : ", \"") + std::string(v.name) + "\"";
  return s;
}

std::string typeName(json const& v) {
  if (v.is_number()) return "a number";
  if (v.is_string()) return "a string";
  if (v.is_boolean()) return "true/false";
  if (v.is_array()) return "a list";
  if (v.is_object()) return "an object";
  return "null";
}

std::string describe(double v) {
  std::ostringstream s;
  s << v;
  return s.str();
}

class Reader {
 public:
  explicit Reader(std::string file) : _file(std::move(file)) {}

  [[noreturn]] void fail(std::string const& path, std::string const& what) const { throw SceneError(_file, path, what); }

  // Checks that `obj` is an object with no keys outside `allowed`.
  void object(json const& obj, std::string const& path, std::vector<std::string> const& allowed) const {
    if (!obj.is_object()) fail(path, "expected an object, found " + typeName(obj));
    for (auto const& [key, value] : obj.items()) {
      (void)value;
      if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
        std::string list;
        for (std::string const& a : allowed) list += (list.empty() ? "\"" : ", \"") + a + "\"";
        fail(join(path, key), "unknown key; expected one of " + list);
      }
    }
  }

  json const& member(json const& obj, std::string const& path, char const* key) const {
    if (!obj.contains(key)) fail(path, std::string("missing \"") + key + "\"");
    return obj.at(key);
  }

  static std::string join(std::string const& path, std::string const& key) {
    return path.empty() ? key : path + "." + key;
  }
  static std::string index(std::string const& path, std::size_t i) { return path + "[" + std::to_string(i) + "]"; }

  double number(json const& v, std::string const& path, double lo, double hi) const {
    if (!v.is_number()) fail(path, "expected a number, found " + typeName(v));
    double const d = v.get<double>();
    if (!std::isfinite(d) || d < lo || d > hi)
      fail(path, describe(d) + " is out of range; expected " + describe(lo) + " to " + describe(hi));
    return d;
  }

  int integer(json const& v, std::string const& path, int lo, int hi) const {
    double const d = number(v, path, lo, hi);
    if (d != std::floor(d)) fail(path, "expected a whole number, found " + describe(d));
    return static_cast<int>(d);
  }

  bool boolean(json const& v, std::string const& path) const {
    if (!v.is_boolean()) fail(path, "expected true or false, found " + typeName(v));
    return v.get<bool>();
  }

  std::string string(json const& v, std::string const& path) const {
    if (!v.is_string()) fail(path, "expected a string, found " + typeName(v));
    return v.get<std::string>();
  }

  template <std::size_t N>
  int enumeration(json const& v, std::string const& path, EnumValue const (&values)[N]) const {
    if (v.is_string()) {
      for (EnumValue const& e : values)
        if (v.get<std::string>() == e.name) return e.code;
    } else if (v.is_number_integer()) {
      for (EnumValue const& e : values)
        if (v.get<int>() == e.code) return e.code;
    }
    fail(path, "expected one of " + listOf(values) + ", found " + v.dump());
  }

  GePoint2<float> point(json const& v, std::string const& path) const {
    if (!v.is_array() || v.size() != 2) fail(path, "expected [x, y], found " + v.dump());
    double const x = number(v[0], index(path, 0), -1e7, 1e7);
    double const y = number(v[1], index(path, 1), -1e7, 1e7);
    return {static_cast<float>(x), static_cast<float>(y)};
  }

  // A value or {"keys": [{"frame", "value", "interpolation"}...]}; `one`
  // reads one value at its path.
  template <class T, class One>
  Keys<T> animated(json const& v, std::string const& path, One const& one) const {
    if (!v.is_object()) return {{0.0, one(v, path), PxInterpolation::Linear}};
    object(v, path, {"keys"});
    json const& keys = member(v, path, "keys");
    std::string const keysPath = join(path, "keys");
    if (!keys.is_array() || keys.empty()) fail(keysPath, "expected a non-empty list of keys");
    Keys<T> out;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      std::string const p = index(keysPath, i);
      object(keys[i], p, {"frame", "value", "interpolation"});
      PxKeyframe<T> k{number(member(keys[i], p, "frame"), join(p, "frame"), -1e9, 1e9),
                      one(member(keys[i], p, "value"), join(p, "value")), PxInterpolation::Linear};
      if (keys[i].contains("interpolation")) {
        std::string const mode = string(keys[i]["interpolation"], join(p, "interpolation"));
        if (mode == "linear") k.interpolation = PxInterpolation::Linear;
        else if (mode == "smooth") k.interpolation = PxInterpolation::Smooth;
        else if (mode == "hold") k.interpolation = PxInterpolation::Hold;
        else fail(join(p, "interpolation"), "expected \"linear\", \"smooth\" or \"hold\", found \"" + mode + "\"");
      }
      if (!out.empty() && k.time <= out.back().time) fail(join(p, "frame"), "keys must be in increasing frame order");
      out.push_back(k);
    }
    return out;
  }

  Keys<double> animatedNumber(json const& v, std::string const& path, double lo, double hi) const {
    return animated<double>(v, path, [&](json const& x, std::string const& p) { return number(x, p, lo, hi); });
  }
  Keys<int> animatedInteger(json const& v, std::string const& path, int lo, int hi) const {
    return animated<int>(v, path, [&](json const& x, std::string const& p) { return integer(x, p, lo, hi); });
  }
  template <std::size_t N>
  Keys<int> animatedEnum(json const& v, std::string const& path, EnumValue const (&values)[N]) const {
    return animated<int>(v, path, [&](json const& x, std::string const& p) { return enumeration(x, p, values); });
  }
  Keys<bool> animatedBool(json const& v, std::string const& path) const {
    return animated<bool>(v, path, [&](json const& x, std::string const& p) { return boolean(x, p); });
  }

  SceneCurve curve(json const& v, std::string const& path) const {
    object(v, path, {"points", "closed", "links"});
    SceneCurve c;
    if (v.contains("closed")) c.closed = boolean(v["closed"], join(path, "closed"));
    json const& points = member(v, path, "points");
    std::string const pointsPath = join(path, "points");
    if (!points.is_array()) fail(pointsPath, "expected a list of points, found " + typeName(points));
    if (points.size() < 2) fail(pointsPath, "expected at least 2 points, found " + std::to_string(points.size()));
    for (std::size_t i = 0; i < points.size(); ++i) {
      std::string const p = index(pointsPath, i);
      SceneCurve::Point cp;
      if (points[i].is_array()) {
        cp.point = point(points[i], p);
        cp.in = cp.out = cp.point;
      } else {
        object(points[i], p, {"point", "in", "out"});
        cp.point = point(member(points[i], p, "point"), join(p, "point"));
        GePoint2<float> const in = points[i].contains("in") ? point(points[i]["in"], join(p, "in")) : GePoint2<float>();
        GePoint2<float> const out =
            points[i].contains("out") ? point(points[i]["out"], join(p, "out")) : GePoint2<float>();
        cp.in = {cp.point.x() + in.x(), cp.point.y() + in.y()};
        cp.out = {cp.point.x() + out.x(), cp.point.y() + out.y()};
      }
      c.points.push_back(cp);
    }
    if (v.contains("links")) {
      json const& links = v["links"];
      std::string const linksPath = join(path, "links");
      if (!links.is_array()) fail(linksPath, "expected a list of curve parameters, found " + typeName(links));
      // A link is a curve parameter: segment index plus the place along it.
      double const n = static_cast<double>(c.points.size()) - (c.closed ? 0.0 : 1.0);
      for (std::size_t i = 0; i < links.size(); ++i)
        c.links.push_back(static_cast<float>(number(links[i], index(linksPath, i), 0.0, n)));
    }
    return c;
  }

  SceneShape shape(json const& v, std::string const& path, std::size_t i) const {
    object(v, path, {"name", "source", "destination", "Fence", "Smoothing", "Interpolation", "visible"});
    SceneShape s;
    s.name = v.contains("name") ? string(v["name"], join(path, "name")) : "S" + std::to_string(i + 1);
    if (v.contains("Fence")) s.fence = boolean(v["Fence"], join(path, "Fence"));
    s.source = curve(member(v, path, "source"), join(path, "source"));
    if (v.contains("destination")) s.destination = curve(v["destination"], join(path, "destination"));
    else if (s.fence) s.destination = s.source;
    else fail(path, "missing \"destination\" (only a fence may leave it out)");
    s.smoothing = v.contains("Smoothing") ? animatedEnum(v["Smoothing"], join(path, "Smoothing"), kShapeSmoothings)
                                          : Keys<int>{{0.0, 0}};
    s.interpolation = v.contains("Interpolation")
                          ? animatedNumber(v["Interpolation"], join(path, "Interpolation"), 0.0, 1.0)
                          : Keys<double>{{0.0, 1.0}};
    return s;
  }

  PathPattern pathPattern(json const& v, std::string const& path, fs::path const& base) const {
    std::string text = string(v, path);
    if (text.empty()) fail(path, "expected a file path, found an empty string");
    if (PathPattern::isMalformed(text))
      fail(path, "expected at most one frame field (%d, %04d or ####), found \"" + text + "\"");
    fs::path p(text);
    if (p.is_relative()) text = (base / p).lexically_normal().string();
    return PathPattern(text);
  }

 private:
  std::string _file;
};

}  // namespace

char const* filterName(int code) { return nameOf(kFilters, code); }
char const* boundaryName(int code) { return nameOf(kBoundaries, code); }
char const* timingName(int code) { return nameOf(kTimings, code); }
char const* renderSmoothingName(int code) { return nameOf(kRenderSmoothings, code); }
char const* shapeSmoothingName(int code) { return nameOf(kShapeSmoothings, code); }

Scene parseScene(std::string const& text, std::string const& file) {
  Reader const r(file);
  json doc;
  try {
    doc = json::parse(text);
  } catch (json::parse_error const& e) {
    // Byte offset to line and column, which is what an editor shows.
    std::size_t const at = std::min(e.byte > 0 ? e.byte - 1 : 0, text.size());
    std::size_t const line = 1 + std::count(text.begin(), text.begin() + static_cast<long>(at), '\n');
    std::size_t const lineStart = text.rfind('\n', at == 0 ? 0 : at - 1);
    std::size_t const column = at - (lineStart == std::string::npos ? 0 : lineStart + 1) + 1;
    throw SceneError(file, "", "not valid JSON at line " + std::to_string(line) + ", column " +
                                   std::to_string(column) + " (expected a JSON object)");
  }
  r.object(doc, "", {"$schema", "input", "output", "destinationOutput", "frames", "parameters", "crop", "shapes"});

  Scene s;
  s.file = file;
  fs::path const base = fs::path(file).parent_path();
  s.input = r.pathPattern(r.member(doc, "", "input"), "input", base);
  s.output = r.pathPattern(r.member(doc, "", "output"), "output", base);
  if (doc.contains("destinationOutput"))
    s.destinationOutput = r.pathPattern(doc["destinationOutput"], "destinationOutput", base);
  if (doc.contains("frames")) {
    json const& f = doc["frames"];
    std::string const text = f.is_number_integer() ? std::to_string(f.get<long>()) : f.is_string() ? f.get<std::string>() : "";
    s.frames = parseFrameRange(text);
    if (!s.frames)
      r.fail("frames", "expected a frame or a range \"A-B\" or \"A-BxSTEP\" (A <= B, STEP >= 1), found " + f.dump());
  }

  if (doc.contains("parameters")) {
    json const& p = doc["parameters"];
    r.object(p, "parameters",
             {"Quality", "Smoothing", "Boundary", "Filter", "Timing", "Interpolation", "Invert Warp"});
    SceneParameters& o = s.parameters;
    if (p.contains("Quality")) o.quality = r.animatedNumber(p["Quality"], "parameters.Quality", 1.0, 10.0);
    if (p.contains("Smoothing")) o.smoothing = r.animatedEnum(p["Smoothing"], "parameters.Smoothing", kRenderSmoothings);
    if (p.contains("Boundary")) o.boundary = r.animatedEnum(p["Boundary"], "parameters.Boundary", kBoundaries);
    if (p.contains("Filter")) o.filter = r.animatedEnum(p["Filter"], "parameters.Filter", kFilters);
    if (p.contains("Timing")) o.timing = r.animatedEnum(p["Timing"], "parameters.Timing", kTimings);
    if (p.contains("Interpolation"))
      o.interpolation = r.animatedNumber(p["Interpolation"], "parameters.Interpolation", 0.0, 1.0);
    if (p.contains("Invert Warp")) o.invertWarp = r.animatedBool(p["Invert Warp"], "parameters.Invert Warp");
  }

  if (doc.contains("crop")) {
    json const& c = doc["crop"];
    r.object(c, "crop", {"left", "right", "top", "bottom"});
    std::pair<char const*, Keys<int>*> const sides[] = {
        {"left", &s.crop.left}, {"right", &s.crop.right}, {"top", &s.crop.top}, {"bottom", &s.crop.bottom}};
    for (auto const& [name, keys] : sides)
      if (c.contains(name)) *keys = r.animatedInteger(c[name], std::string("crop.") + name, 0, 100000);
  }

  if (doc.contains("shapes")) {
    json const& shapes = doc["shapes"];
    if (!shapes.is_array()) r.fail("shapes", "expected a list of shapes, found " + typeName(shapes));
    for (std::size_t i = 0; i < shapes.size(); ++i) {
      std::string const path = Reader::index("shapes", i);
      SceneShape shape = r.shape(shapes[i], path, i);
      // A hidden shape stays in the file, so that an editing session keeps
      // it, but takes no part in the warp; it is still read and checked.
      if (!shapes[i].contains("visible") || r.boolean(shapes[i]["visible"], Reader::join(path, "visible")))
        s.shapes.push_back(std::move(shape));
    }
  }

  bool const sequence = s.input.isSequence() || s.output.isSequence() ||
                        (s.destinationOutput && s.destinationOutput->isSequence());
  if (!s.output.isSequence() && s.frames && s.frames->frames().size() > 1)
    r.fail("output", "renders several frames, so it needs a frame field (%04d or ####)");
  if (sequence && !s.frames) r.fail("frames", "missing: the paths are sequence patterns, so the scene needs a range");
  return s;
}

Scene readScene(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw SceneError(path, "", "cannot be read (" + std::string(std::strerror(errno)) + ")");
  std::stringstream text;
  text << in.rdbuf();
  return parseScene(text.str(), path);
}

}  // namespace Qx::Warp2dApp
