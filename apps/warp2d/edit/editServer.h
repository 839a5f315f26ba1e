// The HTTP face of `warp2d edit`: the editor page and a small JSON API over
// one EditSession, on 127.0.0.1 only.
//
// Access. The server makes a random token and prints the address with it
// (http://127.0.0.1:PORT/?token=T). Every request must carry the token: as
// the `token` query parameter (the printed address), the X-Warp2d-Token
// header (the page's API calls) or the cookie the server sets when the page
// is opened with it. Anything else, and any request whose Host is not this
// loopback address (a web page elsewhere rebinding a name to 127.0.0.1),
// gets 403.
//
// API (JSON bodies; errors are {"error": "..."} with a 4xx status and leave
// the scene unchanged):
//   GET  /api/state                 scene (render form, read back from the node), shape ids and visibility,
//                                   version, canUndo, canRedo, undoName, redoName (the commands of the node's
//                                   stack that undo and redo would replay), commandIndex, path
//   POST /api/edit                  one operation, answers the new state (and "id" for a new shape):
//        {"op": "createShape", "source": CURVE, "name"?}   destination = copy of source
//        {"op": "setShape", "id", "set": {"name" | "source" | "destination" | "Fence" | "Smoothing" |
//                                         "Interpolation" | "visible": value, ...}}
//        {"op": "deleteShape" | "duplicateShape", "id"}, {"op": "moveShape", "id", "to": INDEX}
//        {"op": "setParameters", "set": {"Quality" | "Smoothing" | "Boundary" | "Filter" | "Timing" |
//                                        "Interpolation" | "Invert Warp": value, ...}}
//        Each is one command of the node's stack ("Add Shape", "Edit Shape", "Delete Shape", "Duplicate
//        Shape", "Move Shape", "Output Parameters"; an edit that changes nothing makes none).
//        "gesture": N (optional): consecutive edits with one gesture number are one command
//   POST /api/undo, /api/redo       the node graph's undo and redo; 409 when there is nothing to undo / redo
//   POST /api/open                  {"path": FILE} or {"scene": SCENE}; one command "Open Scene"
//   POST /api/save                  {"path"?: FILE}; writes the scene file (paths relative to its folder)
//   GET  /api/scene.json            the scene file as save writes it
//   GET  /api/input                 the input image: X-Frame header {"x","y","w","h"}, body RGBA8
//   GET  /api/frame?after=S&wait=MS the first preview frame with serial > S, waiting up to MS
//                                   (default 10000): X-Frame header {"serial","version","level","x","y","w",
//                                   "h","error"?}, body w*h RGBA8 output, then w*h grid mask, then w*h fold
//                                   mask; 204 when none came in time
#pragma once

#include <memory>
#include <string>

namespace CLI {
class App;
}

namespace Qx::Warp2dApp {

class EditSession;

class EditServer {
 public:
  // `webRoot`: the folder holding the page (index.html and its files).
  EditServer(EditSession& session, std::string webRoot);
  ~EditServer();

  // Binds 127.0.0.1:`port` (0: a free port) and answers its port; throws
  // std::runtime_error when the port cannot be had.
  int bind(int port);
  void run();   // serves until stop(); call after bind()
  void stop();  // from any thread
  std::string const& token() const;
  std::string url() const;  // with the token

 private:
  struct Impl;
  std::unique_ptr<Impl> _impl;
};

// The folder of the page in this build.
std::string defaultWebRoot();

// Adds the `edit` command to warp2d's command line; it runs the editor until
// Ctrl-C and exits with warp2d's exit codes.
void addEditCommand(CLI::App& app);

}  // namespace Qx::Warp2dApp
