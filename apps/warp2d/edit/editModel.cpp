// The edit document and its commands.
#include "editModel.h"

namespace Qx::Warp2dApp {

using nlohmann::json;

std::size_t EditDocument::indexOf(int id) const {
  for (std::size_t i = 0; i < meta.size(); ++i)
    if (meta[i].id == id) return i;
  throw EditError(404, "no shape with id " + std::to_string(id));
}

json EditDocument::renderScene() const {
  json out = scene;
  json shapes = json::array();
  for (std::size_t i = 0; i < meta.size(); ++i)
    if (meta[i].visible) shapes.push_back(scene["shapes"][i]);
  out["shapes"] = std::move(shapes);
  return out;
}

namespace {

json& shapesOf(EditDocument& doc) {
  json& shapes = doc.scene["shapes"];
  if (!shapes.is_array()) shapes = json::array();
  return shapes;
}

void insertAt(EditDocument& doc, std::size_t at, ShapeMeta meta, json const& shape) {
  json& shapes = shapesOf(doc);
  shapes.insert(shapes.begin() + static_cast<long>(at), shape);
  doc.meta.insert(doc.meta.begin() + static_cast<long>(at), meta);
}

void eraseAt(EditDocument& doc, std::size_t at) {
  json& shapes = shapesOf(doc);
  shapes.erase(shapes.begin() + static_cast<long>(at));
  doc.meta.erase(doc.meta.begin() + static_cast<long>(at));
}

void moveFromTo(EditDocument& doc, std::size_t from, std::size_t to) {
  json shape = shapesOf(doc)[from];
  ShapeMeta const meta = doc.meta[from];
  eraseAt(doc, from);
  insertAt(doc, to, meta, shape);
}

}  // namespace

EditCommand EditCommand::insertShape(std::size_t at, ShapeMeta meta, json shape) {
  EditCommand c;
  c._kind = kInsertShape;
  c._at = at;
  c._newMeta = meta;
  c._new = std::move(shape);
  return c;
}

EditCommand EditCommand::removeShape(EditDocument const& doc, std::size_t at) {
  EditCommand c;
  c._kind = kRemoveShape;
  c._at = at;
  c._oldMeta = doc.meta[at];
  c._old = doc.scene["shapes"][at];
  return c;
}

EditCommand EditCommand::changeShape(EditDocument const& doc, std::size_t at, json shape, bool visible) {
  EditCommand c;
  c._kind = kChangeShape;
  c._at = at;
  c._oldMeta = doc.meta[at];
  c._newMeta = {c._oldMeta.id, visible};
  c._old = doc.scene["shapes"][at];
  c._new = std::move(shape);
  return c;
}

EditCommand EditCommand::moveShape(std::size_t from, std::size_t to) {
  EditCommand c;
  c._kind = kMoveShape;
  c._at = from;
  c._to = to;
  return c;
}

EditCommand EditCommand::changeParameters(EditDocument const& doc, json parameters) {
  EditCommand c;
  c._kind = kChangeParameters;
  // null: the scene had no parameters (all at their defaults), and gets
  // none back on undo, so that undo gives the scene it was.
  c._old = doc.scene.contains("parameters") ? doc.scene["parameters"] : json();
  c._new = std::move(parameters);
  return c;
}

EditCommand EditCommand::replaceDocument(EditDocument const& before, EditDocument after) {
  EditCommand c;
  c._kind = kReplaceDocument;
  c._oldDoc = std::make_shared<EditDocument const>(before);
  c._newDoc = std::make_shared<EditDocument const>(std::move(after));
  return c;
}

void EditCommand::redo(EditDocument& doc) const {
  switch (_kind) {
    case kInsertShape: insertAt(doc, _at, _newMeta, _new); break;
    case kRemoveShape: eraseAt(doc, _at); break;
    case kChangeShape:
      shapesOf(doc)[_at] = _new;
      doc.meta[_at] = _newMeta;
      break;
    case kMoveShape: moveFromTo(doc, _at, _to); break;
    case kChangeParameters: doc.scene["parameters"] = _new; break;
    case kReplaceDocument: doc = *_newDoc; break;
  }
}

void EditCommand::undo(EditDocument& doc) const {
  switch (_kind) {
    case kInsertShape: eraseAt(doc, _at); break;
    case kRemoveShape: insertAt(doc, _at, _oldMeta, _old); break;
    case kChangeShape:
      shapesOf(doc)[_at] = _old;
      doc.meta[_at] = _oldMeta;
      break;
    case kMoveShape: moveFromTo(doc, _to, _at); break;
    case kChangeParameters:
      if (_old.is_null()) doc.scene.erase("parameters");
      else doc.scene["parameters"] = _old;
      break;
    case kReplaceDocument: doc = *_oldDoc; break;
  }
}

}  // namespace Qx::Warp2dApp
