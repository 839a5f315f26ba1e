// The document an edit session works on, and the undoable commands that
// change it.
//
// The document is the scene in the very JSON form `warp2d render` reads
// (docs/scene.md), kept beside the shape identities and visibility that only
// the editor needs. Keeping the file form as the model means that every
// edit is checked by the same reader a render node runs (parseScene), that
// a rejected edit names the offending value by its JSON path, and that
// saving writes exactly what was edited. Paths inside the document are
// absolute; they are made relative to the file's folder when it is saved.
//
// Commands describe one change (a shape, the parameters, the shape order,
// the whole document for an open): the session applies a command to a copy
// of the document to get the document the edit asks for, checks it with the
// scene reader, and hands it to the "Warp 2D" node (editNode.h), whose
// command stack is the history.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace Qx::Warp2dApp {

// A client mistake: HTTP status (400, 404, 409) and a message for the user.
class EditError : public std::runtime_error {
 public:
  EditError(int status, std::string const& what) : std::runtime_error(what), _status(status) {}
  int status() const { return _status; }

 private:
  int _status;
};

struct ShapeMeta {
  int id = 0;
  bool visible = true;
};

struct EditDocument {
  nlohmann::json scene = nlohmann::json::object();  // render form, shapes included (hidden ones too)
  std::vector<ShapeMeta> meta;                       // one per scene["shapes"] entry, same order

  // Index of shape `id`; throws EditError 404 when there is none.
  std::size_t indexOf(int id) const;
  // The scene as a render sees it: hidden shapes left out.
  nlohmann::json renderScene() const;
};

class EditCommand {
 public:
  enum Kind { kInsertShape, kRemoveShape, kChangeShape, kMoveShape, kChangeParameters, kReplaceDocument };

  static EditCommand insertShape(std::size_t at, ShapeMeta meta, nlohmann::json shape);
  static EditCommand removeShape(EditDocument const& doc, std::size_t at);
  static EditCommand changeShape(EditDocument const& doc, std::size_t at, nlohmann::json shape, bool visible);
  static EditCommand moveShape(std::size_t from, std::size_t to);
  static EditCommand changeParameters(EditDocument const& doc, nlohmann::json parameters);
  static EditCommand replaceDocument(EditDocument const& before, EditDocument after);

  void redo(EditDocument& doc) const;
  void undo(EditDocument& doc) const;

  Kind kind() const { return _kind; }

 private:
  Kind _kind = kChangeShape;
  std::size_t _at = 0, _to = 0;
  ShapeMeta _oldMeta, _newMeta;
  nlohmann::json _old, _new;
  std::shared_ptr<EditDocument const> _oldDoc, _newDoc;
};

}  // namespace Qx::Warp2dApp
