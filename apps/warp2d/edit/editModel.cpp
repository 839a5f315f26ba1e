// The edit document.
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

void EditDocument::insertShape(std::size_t at, ShapeMeta m, json const& shape) {
  json& shapes = scene["shapes"];
  if (!shapes.is_array()) shapes = json::array();
  shapes.insert(shapes.begin() + static_cast<long>(at), shape);
  meta.insert(meta.begin() + static_cast<long>(at), m);
}

void EditDocument::removeShape(std::size_t at) {
  scene["shapes"].erase(scene["shapes"].begin() + static_cast<long>(at));
  meta.erase(meta.begin() + static_cast<long>(at));
}

void EditDocument::moveShape(std::size_t from, std::size_t to) {
  json const shape = scene["shapes"][from];
  ShapeMeta const m = meta[from];
  removeShape(from);
  insertShape(to, m, shape);
}

}  // namespace Qx::Warp2dApp
