// The document an edit session works on.
//
// The document is the scene in the very JSON form `warp2d render` reads
// (docs/scene.md), kept beside the shape identities and visibility that only
// the editor needs. Keeping the file form as the model means that every
// edit is checked by the same reader a render node runs (parseScene), that
// a rejected edit names the offending value by its JSON path, and that
// saving writes exactly what was edited. Paths inside the document are
// absolute; they are made relative to the file's folder when it is saved.
//
// An edit changes a copy of the session's document into the document it asks
// for; once the scene reader has passed it, the "Warp 2D" node is brought to
// it (editNode.h), and the node's command stack is the history.
#pragma once

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

  void insertShape(std::size_t at, ShapeMeta meta, nlohmann::json const& shape);
  void removeShape(std::size_t at);
  // Takes shape `from` out and puts it back so that it ends at `to`.
  void moveShape(std::size_t from, std::size_t to);
};

}  // namespace Qx::Warp2dApp
