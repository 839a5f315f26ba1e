// The edit session: operations on the document, and the preview worker.
#include "editSession.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "diagnostics.h"
#include "imageIO.h"
#include "pluginAPI/pxRequestMgr.h"
#include "scene.h"

namespace Qx::Warp2dApp {

using nlohmann::json;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

json parseBody(std::string const& body) {
  try {
    json v = json::parse(body);
    if (!v.is_object()) throw EditError(400, "expected a JSON object, found " + std::string(v.type_name()));
    return v;
  } catch (json::parse_error const& e) {
    throw EditError(400, std::string("malformed JSON: ") + e.what());
  }
}

json const& field(json const& v, char const* key) {
  if (!v.contains(key)) throw EditError(400, std::string("missing \"") + key + "\"");
  return v[key];
}

int integerField(json const& v, char const* key) {
  json const& x = field(v, key);
  if (!x.is_number_integer()) throw EditError(400, std::string("\"") + key + "\": expected a whole number");
  return x.get<int>();
}

void onlyKeys(json const& v, std::string const& where, std::initializer_list<char const*> allowed) {
  for (auto const& [key, value] : v.items()) {
    if (std::none_of(allowed.begin(), allowed.end(), [&](char const* a) { return key == a; }))
      throw EditError(400, where + ": unknown key \"" + key + "\"");
  }
}

// 8-bit straight-alpha RGBA of `tile` over its region, for a canvas.
std::vector<std::uint8_t> toRgba(IxTile const& tile) {
  GeRectangle<int> const r = tile.getPixelRegion();
  std::vector<std::uint8_t> out(static_cast<std::size_t>(r.getWidth()) * r.getHeight() * 4);
  IxReadGuard const g(tile);
  IxPixelFormat const& f = tile.getPixelFormat();
  auto byte = [](float v) { return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f)); };
  std::uint8_t* o = out.data();
  for (int y = r.y1(); y < r.y2(); ++y)
    for (int x = r.x1(); x < r.x2(); ++x, o += 4) {
      CoRgbaColorTyped<float> const c = ixReadColor(f, g.getPixelAddress(x, y));
      // The pipeline's alpha is associated; a canvas wants it straight.
      float const k = c.a > 1e-6f ? 1.0f / c.a : 0.0f;
      o[0] = byte(c.r * k), o[1] = byte(c.g * k), o[2] = byte(c.b * k), o[3] = byte(c.a);
    }
  return out;
}

// A line wherever neighbouring output pixels sample different cells of a
// grid laid over the input (spacing in pixels of the frame's level).
std::vector<std::uint8_t> gridMask(IxTile const& vectors, double spacing) {
  GeRectangle<int> const r = vectors.getPixelRegion();
  int const w = r.getWidth(), h = r.getHeight();
  std::vector<float> cx(static_cast<std::size_t>(w) * h), cy(cx.size());
  IxReadGuard const g(vectors);
  for (int y = 0; y < h; ++y) {
    float const* row = g.getRow<float>(r.y1() + y);
    for (int x = 0; x < w; ++x) {
      cx[static_cast<std::size_t>(y) * w + x] = std::floor(row[3 * x] / static_cast<float>(spacing));
      cy[static_cast<std::size_t>(y) * w + x] = std::floor(row[3 * x + 1] / static_cast<float>(spacing));
    }
  }
  std::vector<std::uint8_t> out(cx.size(), 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      std::size_t const i = static_cast<std::size_t>(y) * w + x;
      bool const right = x + 1 < w && (cx[i + 1] != cx[i] || cy[i + 1] != cy[i]);
      bool const down = y + 1 < h && (cx[i + w] != cx[i] || cy[i + w] != cy[i]);
      out[i] = right || down ? 255 : 0;
    }
  return out;
}

std::shared_ptr<PreviewFrame const> inputFrame(IxTile const& tile) {
  auto frame = std::make_shared<PreviewFrame>();
  frame->region = tile.getPixelRegion();
  frame->rgba = toRgba(tile);
  return frame;
}

bool isImagePath(std::string const& path) {
  std::string ext = fs::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext != ".json";
}

// The document of a parsed scene: the file's JSON with absolute paths.
EditDocument documentOf(json scene, Scene const& parsed) {
  EditDocument doc;
  scene["input"] = parsed.input.text();
  scene["output"] = parsed.output.text();
  if (parsed.destinationOutput) scene["destinationOutput"] = parsed.destinationOutput->text();
  if (!scene.contains("shapes")) scene["shapes"] = json::array();
  // Visibility lives beside the shape in the document, in the file as the
  // shape's "visible" key (written only for hidden shapes).
  for (std::size_t i = 0; i < scene["shapes"].size(); ++i) {
    json& shape = scene["shapes"][i];
    bool const visible = shape.value("visible", true);
    shape.erase("visible");
    doc.meta.push_back({static_cast<int>(i + 1), visible});
  }
  doc.scene = std::move(scene);
  return doc;
}

// A path as the file at `folder` should name it: relative when it can be.
std::string relativeTo(std::string const& path, fs::path const& folder) {
  fs::path const rel = fs::path(path).lexically_relative(folder);
  return rel.empty() ? path : rel.string();
}

}  // namespace

EditSession::EditSession(std::string const& sceneOrImage, SessionOptions options)
    : _options(options) {
  std::string const path = fs::absolute(sceneOrImage).lexically_normal().string();
  if (isImagePath(path)) {
    // An image alone: an empty scene that would render beside it.
    fs::path const p(path);
    _scenePath = (p.parent_path() / (p.stem().string() + ".warp2d.json")).string();
    json scene = {{"input", path},
                  {"output", (p.parent_path() / (p.stem().string() + "_warped" + p.extension().string())).string()},
                  {"shapes", json::array()}};
    _doc = documentOf(scene, parseScene(scene.dump(), _scenePath));
  } else {
    _scenePath = path;
    Scene const parsed = readScene(path);
    std::ifstream in(path);
    _doc = documentOf(json::parse(in), parsed);
    if (parsed.frames) _frame = parsed.frames->first;
  }
  _nextId = static_cast<int>(_doc.meta.size()) + 1;
  _inputPath = PathPattern(_doc.scene["input"].get<std::string>()).at(static_cast<int>(_frame));
  _input = inputFrame(sharedPicture(_inputPath));
  // The scene the session opens with is where its history starts.
  _node = std::make_unique<EditNode>(_options.modulePath, _frame);
  _node->apply(_doc, "Open Scene");
  _node->clearHistory();
  _doc = _node->document();
  _worker = std::thread([this] { previewLoop(); });
}

EditSession::~EditSession() {
  shutdown();
  _worker.join();
}

std::shared_ptr<PreviewFrame const> EditSession::input() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _input;
}

void EditSession::shutdown() {
  std::lock_guard<std::mutex> lock(_mutex);
  _stop = true;
  _renders.cancel();
  _changed.notify_all();
}

json EditSession::stateLocked() const {
  json ids = json::array();
  for (ShapeMeta const& m : _doc.meta) ids.push_back({{"id", m.id}, {"visible", m.visible}});
  return {{"scene", _doc.scene},
          {"shapes", ids},
          {"version", _version},
          {"canUndo", _node->canUndo()},
          {"canRedo", _node->canRedo()},
          {"undoName", _node->commands().getUndoName()},
          {"redoName", _node->commands().getRedoName()},
          {"commandIndex", _node->commands().getIndex()},
          {"path", _scenePath},
          {"frame", _frame}};
}

json EditSession::state() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return stateLocked();
}

void EditSession::check(EditDocument const& doc) const {
  try {
    parseScene(doc.scene.dump(), _scenePath);
  } catch (SceneError const& e) {
    // The file named in the message is the session's, not the request's.
    std::string message = e.what();
    if (message.rfind(e.file() + ": ", 0) == 0) message.erase(0, e.file().size() + 2);
    throw EditError(400, message);
  }
}

void EditSession::changedLocked(bool interactive) {
  _doc = _node->document();
  std::string const picture = PathPattern(_doc.scene["input"].get<std::string>()).at(static_cast<int>(_frame));
  if (picture != _inputPath) {
    _input = inputFrame(sharedPicture(picture));
    _inputPath = picture;
  }
  ++_version;
  // A step of the history is not a drag: it renders in full at once.
  _lastEdit = interactive ? Clock::now() : Clock::time_point();
  if (_active && _activeVersion < _version) _renders.cancel(_active);
  _changed.notify_all();
}

json EditSession::commitLocked(EditDocument const& candidate, std::string const& name, long gesture) {
  check(candidate);
  // The next move of the same drag: the drag's command is replaced by one
  // from where the drag began to here.
  PiCommandStack const& stack = _node->commands();
  if (gesture != 0 && gesture == _gesture && stack.getState() == _gestureState && stack.canUndo()) _node->undo();
  unsigned const before = stack.getState();
  try {
    _node->apply(candidate, name);
  } catch (std::exception const& e) {
    // The reader passed it, so the node should have taken it; what did get
    // applied is taken back rather than left half done.
    if (stack.getState() != before) _node->undo();
    changedLocked(false);
    throw EditError(400, e.what());
  }
  // Only a command this drag made may be replaced by its next move.
  _gesture = stack.getState() != before ? gesture : 0;
  _gestureState = stack.getState();
  changedLocked(true);
  return stateLocked();
}

json EditSession::edit(std::string const& body) {
  json const req = parseBody(body);
  std::string const op = field(req, "op").is_string() ? req["op"].get<std::string>() : "";
  long const gesture = req.contains("gesture") ? static_cast<long>(integerField(req, "gesture")) : 0;
  // The candidate is made from the document under the lock, so that
  // racing requests each start from the edit before.
  std::lock_guard<std::mutex> lock(_mutex);
  EditDocument const& doc = _doc;
  EditDocument candidate = doc;
  auto finish = [&](int id, char const* name) {
    json out = commitLocked(candidate, name, gesture);
    if (id) out["id"] = id;
    return out;
  };
  if (op == "createShape") {
    onlyKeys(req, "createShape", {"op", "gesture", "source", "name"});
    // Completing a source shape makes its destination an identical copy:
    // the shape warps nothing until its destination is moved.
    json shape = {{"source", field(req, "source")}, {"destination", field(req, "source")}};
    int const id = _nextId++;
    shape["name"] = req.contains("name") ? req["name"] : json("Shape " + std::to_string(id));
    candidate.insertShape(doc.meta.size(), {id, true}, shape);
    return finish(id, "Add Shape");
  }
  if (op == "setShape") {
    onlyKeys(req, "setShape", {"op", "gesture", "id", "set"});
    std::size_t const at = doc.indexOf(integerField(req, "id"));
    json const& set = field(req, "set");
    if (!set.is_object()) throw EditError(400, "\"set\": expected an object");
    onlyKeys(set, "set", {"name", "source", "destination", "Fence", "Smoothing", "Interpolation", "visible"});
    for (auto const& [key, value] : set.items()) {
      if (key != "visible") candidate.scene["shapes"][at][key] = value;
      else if (value.is_boolean()) candidate.meta[at].visible = value.get<bool>();
      else throw EditError(400, "set.visible: expected true or false");
    }
    return finish(0, "Edit Shape");
  }
  if (op == "deleteShape" || op == "duplicateShape") {
    onlyKeys(req, op, {"op", "gesture", "id"});
    std::size_t const at = doc.indexOf(integerField(req, "id"));
    if (op == "deleteShape") {
      candidate.removeShape(at);
      return finish(0, "Delete Shape");
    }
    json shape = doc.scene["shapes"][at];
    shape["name"] = shape.value("name", std::string("Shape")) + " copy";
    int const id = _nextId++;
    candidate.insertShape(at + 1, {id, doc.meta[at].visible}, shape);
    return finish(id, "Duplicate Shape");
  }
  if (op == "moveShape") {
    onlyKeys(req, "moveShape", {"op", "gesture", "id", "to"});
    std::size_t const at = doc.indexOf(integerField(req, "id"));
    int const to = integerField(req, "to");
    if (to < 0 || static_cast<std::size_t>(to) >= doc.meta.size())
      throw EditError(400, "\"to\": " + std::to_string(to) + " is out of range; expected 0 to " +
                               std::to_string(doc.meta.size() - 1));
    candidate.moveShape(at, static_cast<std::size_t>(to));
    return finish(0, "Move Shape");
  }
  if (op == "setParameters") {
    onlyKeys(req, "setParameters", {"op", "gesture", "set"});
    json const& set = field(req, "set");
    if (!set.is_object()) throw EditError(400, "\"set\": expected an object");
    json& parameters = candidate.scene["parameters"];
    if (!parameters.is_object()) parameters = json::object();
    for (auto const& [key, value] : set.items()) parameters[key] = value;
    return finish(0, "Output Parameters");
  }
  throw EditError(400, "\"op\": expected createShape, setShape, deleteShape, duplicateShape, moveShape or "
                       "setParameters");
}

json EditSession::undo() {
  std::lock_guard<std::mutex> lock(_mutex);
  if (!_node->undo()) throw EditError(409, "nothing to undo");
  changedLocked(false);
  return stateLocked();
}

json EditSession::redo() {
  std::lock_guard<std::mutex> lock(_mutex);
  if (!_node->redo()) throw EditError(409, "nothing to redo");
  changedLocked(false);
  return stateLocked();
}

json EditSession::open(std::string const& body) {
  json const req = parseBody(body);
  onlyKeys(req, "open", {"path", "scene"});
  std::string file;
  std::string text;
  if (req.contains("path")) {
    if (!req["path"].is_string()) throw EditError(400, "\"path\": expected a string");
    file = fs::absolute(req["path"].get<std::string>()).lexically_normal().string();
    std::ifstream in(file, std::ios::binary);
    if (!in) throw EditError(404, file + ": cannot be read");
    std::stringstream s;
    s << in.rdbuf();
    text = s.str();
  } else {
    std::lock_guard<std::mutex> lock(_mutex);
    file = _scenePath;
    text = field(req, "scene").dump();
  }
  EditDocument doc;
  try {
    doc = documentOf(json::parse(text), parseScene(text, file));
  } catch (SceneError const& e) {
    throw EditError(400, e.what());
  } catch (json::exception const& e) {
    throw EditError(400, file + ": " + e.what());
  }
  // The picture is read before anything changes, so a bad file leaves the
  // session as it was.
  try {
    sharedPicture(PathPattern(doc.scene["input"].get<std::string>()).at(static_cast<int>(_frame)));
  } catch (ImageIOError const& e) {
    throw EditError(400, e.what());
  }
  std::lock_guard<std::mutex> lock(_mutex);
  // Shapes keep the ids of the shapes at their places, so that the node
  // edits only what differs.
  for (std::size_t i = 0; i < doc.meta.size(); ++i) doc.meta[i].id = i < _doc.meta.size() ? _doc.meta[i].id : _nextId++;
  json out = commitLocked(doc, "Open Scene", 0);
  if (req.contains("path")) _scenePath = file;
  return out;
}

std::string EditSession::sceneText() const {
  std::lock_guard<std::mutex> lock(_mutex);
  json scene = _doc.scene;
  fs::path const folder = fs::path(_scenePath).parent_path();
  for (char const* key : {"input", "output", "destinationOutput"})
    if (scene.contains(key)) scene[key] = relativeTo(scene[key].get<std::string>(), folder);
  for (std::size_t i = 0; i < _doc.meta.size(); ++i)
    if (!_doc.meta[i].visible) scene["shapes"][i]["visible"] = false;
  return scene.dump(2) + "\n";
}

json EditSession::save(std::string const& body) {
  json const req = parseBody(body);
  onlyKeys(req, "save", {"path"});
  if (req.contains("path")) {
    if (!req["path"].is_string() || req["path"].get<std::string>().empty())
      throw EditError(400, "\"path\": expected a file path");
    std::lock_guard<std::mutex> lock(_mutex);
    _scenePath = fs::absolute(req["path"].get<std::string>()).lexically_normal().string();
  }
  std::string path;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    path = _scenePath;
  }
  std::string const text = sceneText();
  // Written beside the target and renamed over it, so that a failed write
  // never leaves half a scene under the target's name.
  std::string const temp = path + ".saving";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) throw EditError(400, path + ": cannot be written");
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec) {
    fs::remove(temp, ec);
    throw EditError(400, path + ": cannot be written (" + ec.message() + ")");
  }
  return {{"path", path}};
}

IxTile EditSession::renderOutput() {
  PxNodePtr<PxImageProtocol> node;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    node = _node->renderNodes(false).output;
  }
  PxImageContext const context(_frame, 0, 0, GeRectangle<int>(0, 0, 1, 1));
  PxValidityInterval v = PxValidityInterval::FULL;
  CancellableRenders renders;
  return renders.render(node, context, node->computePixelROD(context, v), _options.threads, {});
}

std::shared_ptr<PreviewFrame const> EditSession::waitFrame(long after, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(_mutex);
  _changed.wait_for(lock, timeout, [&] { return _stop || (_frameShown && _frameShown->serial > after); });
  if (_stop || !_frameShown || _frameShown->serial <= after) return nullptr;
  return _frameShown;
}

void EditSession::previewLoop() {
  std::unique_lock<std::mutex> lock(_mutex);
  while (!_stop) {
    Clock::time_point const refineAt = _lastEdit + _options.refinePause;
    bool const paused = Clock::now() >= refineAt;
    bool const stale = !_frameShown || _frameShown->version != _version;
    bool const coarse = _frameShown && _frameShown->level > 0;
    if (!stale && !(coarse && paused)) {
      if (coarse) _changed.wait_until(lock, refineAt);
      else _changed.wait(lock);
      continue;
    }
    // While edits keep coming, the coarsest level that fits the budget
    // according to the last full render (each level has a quarter of the
    // pixels); level 2 before any full render has been timed.
    int level = 0;
    double const budget = std::chrono::duration<double>(_options.interactiveBudget).count();
    if (!paused && (_fullRenderSeconds < 0 || _fullRenderSeconds > budget)) {
      level = _fullRenderSeconds < 0 ? 2 : 1;
      while (level < 5 && _fullRenderSeconds / std::pow(4.0, level) > budget) ++level;
    }
    long const version = _version;
    // Built here, under the lock that every edit takes: the graph is read
    // by one thread at a time; the processing nodes it gives are immutable.
    auto frame = std::make_shared<PreviewFrame>();
    frame->version = version;
    frame->level = level;
    EditNode::RenderNodes nodes;
    try {
      nodes = _node->renderNodes();
    } catch (std::exception const& e) {
      frame->error = e.what();
      frame->level = 0;
      frame->serial = ++_serial;
      _frameShown = std::move(frame);
      _changed.notify_all();
      continue;
    }
    CancellableRenders::Ticket const ticket = CancellableRenders::ticket();
    _active = ticket;
    _activeVersion = version;
    lock.unlock();

    Clock::time_point const start = Clock::now();
    bool cancelled = false;
    try {
      PxImageContext const context(_frame, 0, level, GeRectangle<int>(0, 0, 1, 1));
      auto render = [&](PxNodePtr<PxImageProtocol> const& node) {
        PxValidityInterval v = PxValidityInterval::FULL;
        return _renders.render(node, context, node->computePixelROD(context, v), _options.threads, {}, ticket);
      };
      IxTile const output = render(nodes.output);
      frame->region = output.getPixelRegion();
      frame->rgba = toRgba(output);
      IxTile const vectors = vectorsFromWarpedPositions(render(nodes.positions), std::ldexp(1.0, -level));
      if (vectors.getPixelRegion() == frame->region) {
        frame->grid = gridMask(vectors, _options.gridSpacing * std::ldexp(1.0, -level));
        FoldMap const folds = makeFoldMap(vectors);
        frame->folds.resize(folds.mask.size());
        std::transform(folds.mask.begin(), folds.mask.end(), frame->folds.begin(),
                       [](float m) { return static_cast<std::uint8_t>(m > 0.5f ? 255 : 0); });
      }
    } catch (PxInterruptedException const&) {
      cancelled = true;
    } catch (std::exception const& e) {
      // Shown to the user in place of the picture; the level-0 mark keeps
      // the worker from retrying the same scene forever.
      frame->error = e.what();
      frame->level = 0;
    }
    double const seconds = std::chrono::duration<double>(Clock::now() - start).count();

    lock.lock();
    _active.reset();
    if (cancelled) continue;
    if (level == 0 && frame->error.empty()) _fullRenderSeconds = seconds;
    frame->serial = ++_serial;
    _frameShown = std::move(frame);
    _changed.notify_all();
  }
}

}  // namespace Qx::Warp2dApp
