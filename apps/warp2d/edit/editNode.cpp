// The edit session's "Warp 2D" node: diffing a document into node edits,
// reading it back, and the processing nodes of its previews.
#include "editNode.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>

#include "base/assertions.h"
#include "imageIO.h"
#include "imageSourceNode.h"
#include "internalAPI/piCropNodeUtil.h"
#include "internalAPI/piCurveInputValue.h"
#include "pluginAPI/piNodeController.h"
#include "pluginAPI/piTool.h"
#include "scene.h"
#include "shape/seShape.h"
#include "shape/seShapeEditor.h"

namespace Qx::Warp2dApp {

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

char const* const kPictureTool = "warp2d Edit Picture";
char const* const kExtras = "Extras";        // JSON: paths, frames, hidden shapes, the picture's file
char const* const kPositions = "Positions";  // serve the picture's pixel positions instead

// x, y of every pixel of `picture` as R, G, alpha 1: warped bilinearly it
// gives the place every output pixel samples.
IxTile positionsOf(IxTile const& picture) {
  GeRectangle<int> const r = picture.getPixelRegion();
  IxTile t(IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::FLOAT32), r, CoRgbaColorTyped<float>::ZERO,
           picture.getPixelAspectRatio());
  IxWriteGuard g(t);
  for (int y = r.y1(); y < r.y2(); ++y) {
    float* p = g.getRow<float>(y);
    for (int x = r.x1(); x < r.x2(); ++x, p += 4) p[0] = float(x), p[1] = float(y), p[2] = 0.0f, p[3] = 1.0f;
  }
  return t;
}

// The picture node: serves the file its "Extras" name (or its positions),
// with proxy levels made once per picture.
class PictureController : public PiImageGenerator {
 public:
  static void describe(PiToolPolicyDescriptor& d) {
    d.addValue(kExtras, PI_STRING, PiValueData("{}"));
    d.addValue(kPositions, PI_BOOL, PiValueData(false));
  }
  PxNodePtr<PxImageProtocol> createProcNode(PxNodePtr<PxImageProtocol> const&, PiProcNodeProvider const&) override {
    RCShdPtr<PiNode> const node = getNode();
    std::string const path = json::parse(node->getValue(kExtras)->getString()).value("picture", "");
    IxTile const picture = sharedPicture(path);
    return PxNodePtr<ImageSourceNode>::create(node->getValue(kPositions)->getBool() ? positionsOf(picture) : picture,
                                              4);
  }
};

void registerPictureTool() {
  static std::once_flag once;
  std::call_once(once, [] {
    PiImageModifier::registerTool(
        PiMorvaneToolProtocol::create<PictureController>(kPictureTool, "The picture a warp2d edit session warps"));
  });
}

// --- values ------------------------------------------------------------------

PiInterpolation toPi(PxInterpolation i) {
  return i == PxInterpolation::Hold ? PiInterpolation::Hold
         : i == PxInterpolation::Smooth ? PiInterpolation::Smooth
                                        : PiInterpolation::Linear;
}

// The animation `keys` make of `value` (one key: a constant).
template <class T>
PiAnimCurve curveOf(PiValue const& value, Keys<T> const& keys) {
  PiAnimCurve c = value.getAnimation();
  std::string const where = value.describe();
  c.makeConstant(PiValueData(keys.front().value), where);
  if (keys.size() > 1)
    for (PxKeyframe<T> const& k : keys) c.setKey(PiKey{k.time, PiValueData(k.value), toPi(k.interpolation)}, where);
  return c;
}

// One edit, and only when the value differs.
template <class T>
void setKeys(RCShdPtr<PiInput> const& input, Keys<T> const& keys) {
  if (input.isNull()) throw std::runtime_error("the Warp 2D module lacks an input this scene sets");
  PiValue& value = *input->getValue();
  PiAnimCurve const next = curveOf(value, keys);
  if (next != value.getAnimation()) value.setAnimation(next);
}

json valueJson(PiValueData const& v, char const* (*name)(int)) {
  switch (v.getType()) {
    case PI_BOOL: return v.getBool();
    case PI_INT: return name ? json(name(v.getInt())) : json(v.getInt());
    default: return v.toDouble();
  }
}

// A value in the scene's form: plain, or {"keys": [...]}.
json curveJson(RCShdPtr<PiInput> const& input, char const* (*name)(int) = nullptr) {
  PiAnimCurve const& c = input->getValue()->getAnimation();
  if (!c.isAnimated()) return valueJson(c.getConstant(), name);
  json keys = json::array();
  for (PiKey const& k : c.getKeys())
    keys.push_back({{"frame", k.time}, {"value", valueJson(k.value, name)},
                    {"interpolation", piInterpolationName(k.interpolation)}});
  return {{"keys", keys}};
}

// --- curves and links ------------------------------------------------------------

// File pixels to the shape renderer's nominal (square-pixel) units.
GeBezierCurve nominal(SceneCurve const& c, float aspect) {
  GeBezierCurve b;
  auto n = [aspect](GePoint2<float> const& p) { return GePoint2<float>(p.x() * aspect, p.y()); };
  for (SceneCurve::Point const& p : c.points) b.addPoint(n(p.in), n(p.point), n(p.out));
  b.setClosure(c.closed ? GeBezierCurve::CLOSED : GeBezierCurve::OPEN);
  return b;
}

bool sameCurve(GeBezierCurve const& a, GeBezierCurve const& b) {
  if (a.getNumCtrlPoints() != b.getNumCtrlPoints() || a.getClosure() != b.getClosure()) return false;
  for (int i = 0; i < a.getNumCtrlPoints(); ++i)
    if (a.getCtrlPoint(i) != b.getCtrlPoint(i) || a.getInHandle(i) != b.getInHandle(i) ||
        a.getOutHandle(i) != b.getOutHandle(i))
      return false;
  return true;
}

json curveJson(GeBezierCurve const& b, float aspect, std::vector<double> const& links) {
  auto xy = [aspect](GePoint2<float> const& p) { return json::array({double(p.x() / aspect), double(p.y())}); };
  auto offset = [aspect](GePoint2<float> const& h, GePoint2<float> const& p) {
    return json::array({double(h.x() / aspect) - double(p.x() / aspect), double(h.y()) - double(p.y())});
  };
  json points = json::array();
  for (int i = 0; i < b.getNumCtrlPoints(); ++i) {
    GePoint2<float> const p = b.getCtrlPoint(i);
    points.push_back({{"point", xy(p)}, {"in", offset(b.getInHandle(i), p)}, {"out", offset(b.getOutHandle(i), p)}});
  }
  json out = {{"closed", b.isClosed()}, {"points", points}};
  if (!links.empty()) out["links"] = links;
  return out;
}

// Links go in pairs, an entry's "Position" then its "Distance"; an odd last
// link is given twice, which ties the same two places again and changes
// nothing (and reads back as one).
std::vector<double> linksOf(RCShdPtr<PiNode> const& node) {
  auto gradient = rcDynamicCast<PiMultivaluedInput>(node->getInput("Gradient"));
  std::vector<double> links;
  for (std::size_t i = 0; i < gradient->getEntryCount(); ++i) {
    auto const e = rcDynamicCast<PiCompositeInput>(gradient->getEntry(i));
    links.push_back(e->getInput("Position")->getDouble());
    links.push_back(e->getInput("Distance")->getDouble());
  }
  if (!links.empty() && links[links.size() - 1] == links[links.size() - 2]) links.pop_back();
  return links;
}

void setLinks(RCShdPtr<PiNode> const& node, std::vector<float> const& wanted) {
  std::vector<double> target(wanted.begin(), wanted.end());
  if (linksOf(node) == target) return;
  auto gradient = rcDynamicCast<PiMultivaluedInput>(node->getInput("Gradient"));
  if (gradient.isNull()) throw std::runtime_error("the Warp 2D module's shapes have no \"Gradient\" links");
  while (gradient->getEntryCount() > 0) gradient->removeEntry(gradient->getEntryCount() - 1);
  for (std::size_t i = 0; i < target.size(); i += 2) {
    auto const e = rcDynamicCast<PiCompositeInput>(gradient->addEntry());
    e->getInput("Position")->setValue(PiValueData(target[i]));
    e->getInput("Distance")->setValue(PiValueData(target[std::min(i + 1, target.size() - 1)]));
  }
}

SeShapeEditor& editorOf(RCShdPtr<PiNode> const& warp) {
  SeShapeEditor* editor = SeShapeEditorControllerInterface::getShapeEditor(warp);
  if (!editor) throw std::runtime_error("the \"Warp 2D\" node serves no shape editor");
  return *editor;
}

// The node's pairs: the editor lists the destinations in pair order, then
// the sources.
struct Pairs {
  std::vector<RCShdPtr<PiNode>> sources, destinations;
};
Pairs pairsOf(SeShapeEditor& editor) {
  std::vector<RCShdPtr<PiNode>> all;
  for (auto it = editor.getAllShapes(); !it.atEnd(); it.next()) all.push_back(SeShapeNode::getNode(it.item()));
  std::size_t const n = all.size() / 2;
  QX_ASSERT(all.size() == 2 * n);
  return {{all.begin() + static_cast<long>(n), all.end()}, {all.begin(), all.begin() + static_cast<long>(n)}};
}

char const* const kCropSockets[] = {"left", "right", "top", "bottom"};
// The crop utility's "bottom" is the edge of smallest y: the scene's top.
std::string cropSocket(int i) {
  switch (i) {
    case 0: return PiCropNodeUtil::getRelativeCropLeftSocketName();
    case 1: return PiCropNodeUtil::getRelativeCropRightSocketName();
    case 2: return PiCropNodeUtil::getRelativeCropBottomSocketName();
    default: return PiCropNodeUtil::getRelativeCropTopSocketName();
  }
}

}  // namespace

IxTile sharedPicture(std::string const& path) {
  // Scrubbing a long sequence of plates would otherwise keep every frame it
  // ever showed: pictures stay while they fit in the budget and the least
  // recently used go first (a picture in use elsewhere lives on in its
  // users). A file rewritten on disk is read again, so a re-rendered plate
  // shows up without restarting the session.
  constexpr std::size_t kBudget = std::size_t(2) << 30;
  struct Entry {
    IxTile tile;
    fs::file_time_type time;
    std::uintmax_t size;
    std::size_t bytes;
    unsigned long lastUse;
  };
  static std::mutex mutex;
  static std::map<std::string, Entry> pictures;
  static unsigned long uses = 0;
  std::error_code ec;
  fs::file_time_type const time = fs::last_write_time(path, ec);
  std::uintmax_t const size = ec ? 0 : fs::file_size(path, ec);
  std::lock_guard<std::mutex> lock(mutex);
  auto it = pictures.find(path);
  if (it != pictures.end() && !ec && (it->second.time != time || it->second.size != size)) {
    pictures.erase(it);
    it = pictures.end();
  }
  if (it == pictures.end()) {
    IxTile tile = readImage(path).tile;
    GeRectangle<int> const r = tile.getPixelRegion();
    std::size_t const bytes = std::size_t(r.getWidth()) * std::size_t(r.getHeight()) * tile.getPixelFormat().getBytesPerPixel();
    std::size_t held = bytes;
    for (auto const& [name, e] : pictures) held += e.bytes;
    while (held > kBudget && !pictures.empty()) {
      auto oldest = std::min_element(pictures.begin(), pictures.end(),
                                     [](auto const& a, auto const& b) { return a.second.lastUse < b.second.lastUse; });
      held -= oldest->second.bytes;
      pictures.erase(oldest);
    }
    it = pictures.insert_or_assign(path, Entry{std::move(tile), time, size, bytes, 0}).first;
  }
  it->second.lastUse = ++uses;
  return it->second.tile;
}

EditNode::EditNode(std::string const& modulePath, double frame) : _frame(frame) {
  std::error_code ec;
  if (!fs::exists(modulePath, ec)) throw std::runtime_error(modulePath + ": the Warp 2D module is not there");
  // The module's interface descriptions ship beside it.
  setenv("QX_TOOL_UI_DIR", (fs::path(modulePath).parent_path() / "toolUI").c_str(), 0);
  registerPictureTool();
  try {
    _module = InModuleLoader::getInstance().load(modulePath);
  } catch (std::exception const& e) {
    throw std::runtime_error(modulePath + ": the Warp 2D module cannot be loaded (" + e.what() + ")");
  }
  _graph = PiGraph::create();
  _picture = _graph->createNode(kPictureTool, "Picture");
  _positions = _graph->createNode(kPictureTool, "Positions");
  _positions->getValue(kPositions)->setValue(PiValueData(true));
  _warp = _graph->createNode("Warp 2D");
  _graph->connect(_warp->getInput("Input Image"), _picture->getOutput(PiImageGenerator::getOutputName()));
  stack().clear();
  _procs = std::make_unique<PiProcGraph>(_graph);
}

EditNode::~EditNode() {
  _procs.reset();
  _known.clear();
  _picture.reset(), _positions.reset(), _warp.reset();
  _graph.reset();
  try {
    InModuleLoader::getInstance().unload(_module);
  } catch (std::exception const&) {
    // Something of the module is still alive: its code must stay loaded.
  }
}

IxTile EditNode::picture() const {
  return sharedPicture(json::parse(_picture->getValue(kExtras)->getString()).value("picture", ""));
}

void EditNode::apply(EditDocument const& target, std::string const& name) {
  // JSON objects keep their keys sorted: the same extras give the same
  // text, so an edit that leaves them alone does not touch the value.
  json extras = json::object();
  for (char const* key : {"input", "output", "destinationOutput", "frames"})
    if (target.scene.contains(key)) extras[key] = target.scene[key];
  extras["picture"] = PathPattern(target.scene["input"].get<std::string>()).at(static_cast<int>(_frame));
  json hidden = json::array();
  std::vector<std::pair<int, json>> visible;
  for (std::size_t i = 0; i < target.meta.size(); ++i) {
    if (target.meta[i].visible) visible.emplace_back(target.meta[i].id, target.scene["shapes"][i]);
    else hidden.push_back({{"at", i}, {"id", target.meta[i].id}, {"shape", target.scene["shapes"][i]}});
  }
  extras["hidden"] = hidden;
  float const aspect = sharedPicture(extras["picture"].get<std::string>()).getPixelAspectRatio();

  // The visible shapes in order, as the reader makes them.
  Scene const s = parseScene(target.renderScene().dump(), "edit.json");
  QX_ASSERT(s.shapes.size() == visible.size());

  PiUndoGuard guard(name);
  std::string const text = extras.dump();
  if (_picture->getValue(kExtras)->getString() != text) _picture->getValue(kExtras)->setValue(PiValueData(text));
  applyShapes(visible, s.shapes, aspect);
  SceneParameters const& p = s.parameters;
  setKeys(_warp->getInput("Quality"), p.quality);
  setKeys(_warp->getInput("Smoothing"), p.smoothing);
  setKeys(_warp->getInput("Boundary"), p.boundary);
  setKeys(_warp->getInput("Filter"), p.filter);
  setKeys(_warp->getInput("Timing"), p.timing);
  setKeys(_warp->getInput("Interpolation"), p.interpolation);
  setKeys(_warp->getInput("Invert Warp"), p.invertWarp);
  Keys<int> const* crop[] = {&s.crop.left, &s.crop.right, &s.crop.top, &s.crop.bottom};
  bool const cropped = std::any_of(std::begin(crop), std::end(crop),
                                   [](Keys<int> const* k) { return k->size() > 1 || k->front().value != 0; });
  RCShdPtr<PiInput> const mode = _warp->getInput(PiCropNodeUtil::getModeSocketName());
  if (cropped || mode->getInt() == PiCropNodeUtil::kRelative) {
    setKeys(mode, Keys<int>{{0.0, PiCropNodeUtil::kRelative}});
    for (int i = 0; i < 4; ++i) setKeys(_warp->getInput(cropSocket(i)), *crop[i]);
  }
}

void EditNode::applyShapes(std::vector<std::pair<int, json>> const& visible, std::vector<SceneShape> const& shapes,
                           float aspect) {
  SeShapeEditor& editor = editorOf(_warp);
  // Pairs the target has no more of go; new ones are drawn as a user
  // draws them: a source, completed into a destination copy.
  Pairs pairs = pairsOf(editor);
  for (RCShdPtr<PiNode> const& source : pairs.sources) {
    int const id = _ids.at(source.get());
    if (std::none_of(visible.begin(), visible.end(), [&](auto const& v) { return v.first == id; }))
      editor.deleteShape(SeShapeNode::create(source));
  }
  std::vector<int> order;
  for (RCShdPtr<PiNode> const& source : pairsOf(editor).sources) order.push_back(_ids.at(source.get()));
  for (std::size_t i = 0; i < visible.size(); ++i) {
    if (std::find(order.begin(), order.end(), visible[i].first) != order.end()) continue;
    RCShdPtr<PiNode> const source = SeShapeNode::getNode(editor.createShape(_frame));
    PiCurveInputValue::setCurve(source->getInput("Curve"), nominal(shapes[i].source, aspect));
    editor.shapeCompleted();
    _ids[source.get()] = visible[i].first;
    _known.push_back(source);
    order.push_back(visible[i].first);
  }
  // Into the target's order: each pair moved down to its place.
  for (std::size_t k = 0; k < visible.size(); ++k) {
    auto const at = std::find(order.begin(), order.end(), visible[k].first);
    std::size_t const j = static_cast<std::size_t>(at - order.begin());
    if (j == k) continue;
    RCShdPtr<SeShape> const shape = SeShapeNode::create(pairsOf(editor).sources[j]);
    for (std::size_t m = j; m > k; --m) editor.moveDown(shape);
    order.erase(at);
    order.insert(order.begin() + static_cast<long>(k), visible[k].first);
  }
  pairs = pairsOf(editor);
  for (std::size_t i = 0; i < visible.size(); ++i) {
    SceneShape const& s = shapes[i];
    RCShdPtr<PiNode> const& source = pairs.sources[i];
    RCShdPtr<PiNode> const& destination = pairs.destinations[i];
    QX_ASSERT(_ids.at(source.get()) == visible[i].first);
    std::string const name = visible[i].second.value("name", source->getName());
    if (name != source->getName()) editor.renameShape(SeShapeNode::create(source), name);
    for (auto [node, curve] : {std::pair{source, &s.source}, std::pair{destination, &s.destination}}) {
      GeBezierCurve const b = nominal(*curve, aspect);
      if (!sameCurve(b, PiCurveInputValue::getCurve(node->getInput("Curve"), _frame)))
        PiCurveInputValue::setCurve(node->getInput("Curve"), b);
      setLinks(node, curve->links);
    }
    setKeys(source->getInput("Fence"), Keys<bool>{{0.0, s.fence}});
    setKeys(source->getInput("Smoothing"), s.smoothing);
    setKeys(source->getInput("Interpolation"), s.interpolation);
  }
}

EditDocument EditNode::document() const {
  json const extras = json::parse(_picture->getValue(kExtras)->getString());
  float const aspect = extras.contains("picture") ? picture().getPixelAspectRatio() : 1.0f;
  EditDocument doc;
  for (char const* key : {"input", "output", "destinationOutput", "frames"})
    if (extras.contains(key)) doc.scene[key] = extras[key];
  json shapes = json::array();
  SeShapeEditor& editor = editorOf(_warp);
  Pairs const pairs = pairsOf(editor);
  for (std::size_t i = 0; i < pairs.sources.size(); ++i) {
    RCShdPtr<PiNode> const& source = pairs.sources[i];
    RCShdPtr<PiNode> const& destination = pairs.destinations[i];
    json shape = {{"name", source->getName()}};
    shape["source"] = curveJson(PiCurveInputValue::getCurve(source->getInput("Curve"), _frame), aspect,
                                linksOf(source));
    shape["destination"] = curveJson(PiCurveInputValue::getCurve(destination->getInput("Curve"), _frame), aspect,
                                     linksOf(destination));
    shape["Fence"] = source->getInput("Fence")->getBool();
    shape["Smoothing"] = curveJson(source->getInput("Smoothing"), shapeSmoothingName);
    shape["Interpolation"] = curveJson(source->getInput("Interpolation"));
    shapes.push_back(shape);
    doc.meta.push_back({_ids.at(source.get()), true});
  }
  for (json const& h : extras.value("hidden", json::array())) {
    std::size_t const at = std::min<std::size_t>(h["at"].get<std::size_t>(), doc.meta.size());
    shapes.insert(shapes.begin() + static_cast<long>(at), h["shape"]);
    doc.meta.insert(doc.meta.begin() + static_cast<long>(at), {h["id"].get<int>(), false});
  }
  doc.scene["shapes"] = shapes;
  doc.scene["parameters"] = {{"Quality", curveJson(_warp->getInput("Quality"))},
                             {"Smoothing", curveJson(_warp->getInput("Smoothing"), renderSmoothingName)},
                             {"Boundary", curveJson(_warp->getInput("Boundary"), boundaryName)},
                             {"Filter", curveJson(_warp->getInput("Filter"), filterName)},
                             {"Timing", curveJson(_warp->getInput("Timing"), timingName)},
                             {"Interpolation", curveJson(_warp->getInput("Interpolation"))},
                             {"Invert Warp", curveJson(_warp->getInput("Invert Warp"))}};
  if (_warp->getInput(PiCropNodeUtil::getModeSocketName())->getInt() == PiCropNodeUtil::kRelative) {
    json crop = json::object();
    for (int i = 0; i < 4; ++i) crop[kCropSockets[i]] = curveJson(_warp->getInput(cropSocket(i)));
    doc.scene["crop"] = crop;
  }
  return doc;
}

bool EditNode::undo() {
  if (!stack().canUndo()) return false;
  stack().undo();
  return true;
}

bool EditNode::redo() {
  if (!stack().canRedo()) return false;
  stack().redo();
  return true;
}

EditNode::RenderNodes EditNode::renderNodes(bool positions) {
  RenderNodes out;
  out.output = _procs->getImageNode(_warp->getOutput("Output Image"));
  if (!positions) return out;
  // The same node warping its own pixel positions, bilinearly: state that
  // exists only while these processing nodes are built, so it is neither
  // recorded nor left behind.
  PiValue& filter = *_warp->getInput("Filter")->getValue();
  PiAnimCurve const saved = filter.getAnimation();
  auto restore = [&] {
    PiUndoGuardNoLog noLog;
    _graph->connect(_warp->getInput("Input Image"), _picture->getOutput(PiImageGenerator::getOutputName()));
    if (filter.getAnimation() != saved) filter.setAnimation(saved);
  };
  try {
    {
      PiUndoGuardNoLog noLog;
      RCShdPtr<PiValue> const extras = _positions->getValue(kExtras);
      PiValueData const wanted = _picture->getValue(kExtras)->getValueAt();
      if (extras->getValueAt() != wanted) extras->setValue(wanted);
      _graph->connect(_warp->getInput("Input Image"), _positions->getOutput(PiImageGenerator::getOutputName()));
      filter.setValue(PiValueData(1));
    }
    out.positions = _procs->getImageNode(_warp->getOutput("Output Image"));
  } catch (...) {
    restore();
    throw;
  }
  restore();
  return out;
}

}  // namespace Qx::Warp2dApp
