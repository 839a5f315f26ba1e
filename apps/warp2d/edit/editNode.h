// The node an edit session works on: one "Warp 2D" node of the module,
// loaded through the host's loader and built as `warp2d render` builds it
// (the shape editor interface, the node's inputs), fed by a picture node of
// the session's own, in a node graph whose command stack is the editor's
// history.
//
// The node is the truth. apply() brings it to a target document by editing
// only what differs (pairs deleted, created or moved through the shape
// editor interface; per pair only the curves, links, name and values that
// differ; only the output parameters and crop that differ) inside one
// PiUndoGuard, so every edit of the page is one command of the graph's stack
// and an edit that changes nothing makes none; undo() and redo() are that
// stack's; document() reads the document back from the node. What a
// "Warp 2D" node has no place for (the file paths, the frames, hidden
// shapes, which take no part in the warp) is kept as JSON in a stored value
// of the picture node, so it is undone with the rest.
//
// Shape ids are the editor's: each pair's source node keeps the id it was
// created under, and undo restores the very nodes it removed, so an id
// names the same shape across undo and redo.
//
// Previews. renderNodes() builds, on the calling (editing) thread, the
// processing nodes of the "Output Image" and of the node's warp of its own
// pixel positions (bilinear, exact on a ramp); they are immutable and are
// rendered on any thread while the graph goes on changing.
//
// Threading: everything but rendering the returned processing nodes belongs
// to one thread at a time (the session's lock). Failures: a module that
// cannot be loaded throws std::runtime_error naming it; a document the scene
// reader refuses must not reach apply() (the session checks first).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/inModuleLoader.h"
#include "editModel.h"
#include "pluginAPI/piGraph.h"
#include "pluginAPI/piProcGraph.h"
#include "primitives/ixTile.h"
#include "scene.h"

namespace Qx::Warp2dApp {

class EditNode {
 public:
  // `frame`: the frame whose picture is shown and edited.
  EditNode(std::string const& modulePath, double frame);
  ~EditNode();
  EditNode(EditNode const&) = delete;
  EditNode& operator=(EditNode const&) = delete;

  // Brings the node to `target` as one command named `name`. `target`
  // passed the scene reader; its shape ids are new or the node's own.
  void apply(EditDocument const& target, std::string const& name);
  EditDocument document() const;

  bool undo();  // false when there is nothing to undo
  bool redo();
  bool canUndo() const { return stack().canUndo(); }
  bool canRedo() const { return stack().canRedo(); }
  // Forgets the history (after the document a session opens with).
  void clearHistory() { stack().clear(); }
  PiCommandStack const& commands() const { return stack(); }

  // The picture the node warps (the document's input at the frame).
  IxTile picture() const;

  struct RenderNodes {
    PxNodePtr<PxImageProtocol> output, positions;
  };
  RenderNodes renderNodes(bool positions = true);

  RCShdPtr<PiNode> const& warpNode() const { return _warp; }

 private:
  PiCommandStack& stack() const { return *_graph->getCommandStack(); }
  // `visible`: (id, shape) of the shapes that take part, as `shapes` reads them.
  void applyShapes(std::vector<std::pair<int, nlohmann::json>> const& visible, std::vector<SceneShape> const& shapes,
                   float aspect);

  RCShdPtr<InModule> _module;  // first in, last out: the nodes run its code
  double _frame;
  RCShdPtr<PiGraph> _graph;
  RCShdPtr<PiNode> _picture, _positions, _warp;
  std::unique_ptr<PiProcGraph> _procs;
  std::map<PiNode const*, int> _ids;      // source node -> shape id
  std::vector<RCShdPtr<PiNode>> _known;   // every source node met: its address is never reused
};

// The picture of an image file, read once per process and shared.
IxTile sharedPicture(std::string const& path);

}  // namespace Qx::Warp2dApp
