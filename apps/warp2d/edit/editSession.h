// An edit session of `warp2d edit`: one scene being edited on one "Warp 2D"
// node of the module (editNode.h), and the live preview of its warp, behind
// the operations of the editor's JSON API (editServer.h turns HTTP requests
// into these calls).
//
// Edits. edit() takes one JSON operation (the list is in editServer.h); the
// operation builds a candidate scene that must pass the scene reader of
// `warp2d render` before it reaches the node, so a bad request (malformed
// JSON, an unknown shape id, a value out of range) throws EditError with a
// 4xx status and a message, and changes nothing. An accepted edit is one
// command of the node graph's stack; the edits of one drag gesture (the same
// "gesture" number, one after the other) replace that command rather than
// add to it, so the drag undoes in one step. undo() and redo() are the
// stack's. After every edit, undo and redo the document is read back from
// the node: what the page shows is the host's state.
//
// Preview. A worker thread renders the node's "Output Image" (and its warp
// of its own pixel positions, for the grid and fold views) through the
// processing nodes the node graph builds, newest edit first: an edit that
// arrives while a render is running cancels it through the request manager
// when that render has become stale; the next render runs as usual. While
// edits keep coming the worker renders at a proxy level chosen so that a
// frame takes about kInteractiveBudget on this machine (measured from the
// last full render); once the edits pause for kRefinePause it renders at
// full resolution. Each
// finished render is published as a PreviewFrame with an increasing serial
// number and the edit version it shows; waitFrame() lets a client wait for
// the next one. The last frame published for a version is always a full
// resolution one.
//
// Threading: every public operation may be called from any thread (HTTP
// handlers run on a pool); a mutex guards the document and frame state and
// is never held during a render.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "editModel.h"
#include "editNode.h"
#include "primitives/ixTile.h"
#include "sceneRenderer.h"

namespace Qx::Warp2dApp {

// One rendered preview, as 8-bit pixels ready for a canvas.
struct PreviewFrame {
  long serial = 0;
  long version = 0;  // the edit version it shows
  int level = 0;     // proxy level: pixels are 1/2^level of full resolution
  GeRectangle<int> region;           // at that level
  std::vector<std::uint8_t> rgba;    // output, straight (unassociated) alpha, row by row
  std::vector<std::uint8_t> grid;    // 255 on a line of the warped grid of the input
  std::vector<std::uint8_t> folds;   // 255 where the warp folds over
  std::string error;                 // a render that failed: why (pixels empty)
};

struct SessionOptions {
  std::chrono::milliseconds interactiveBudget{150};
  std::chrono::milliseconds refinePause{300};
  int threads = 0;          // render threads, 0: every worker
  double gridSpacing = 32;  // full-resolution pixels between grid lines
  std::string modulePath = defaultModulePath();  // the module the "Warp 2D" node comes from
};

class EditSession {
 public:
  // Opens a scene file (.json) or an image, which gets an empty scene that
  // renders next to it. Throws SceneError or ImageIOError.
  EditSession(std::string const& sceneOrImage, SessionOptions options = {});
  ~EditSession();
  EditSession(EditSession const&) = delete;
  EditSession& operator=(EditSession const&) = delete;

  // The API operations. Each returns the JSON answer or throws EditError.
  // scene, shape ids, version, history state (canUndo, canRedo, the names
  // of the commands undo and redo would replay, the stack's index)
  nlohmann::json state() const;
  nlohmann::json edit(std::string const& body);     // one operation; {"version", "id"?}
  nlohmann::json undo();
  nlohmann::json redo();
  nlohmann::json open(std::string const& body);     // {"path"} or {"scene": {...}}; undoable
  nlohmann::json save(std::string const& body);     // {"path"?}: writes the scene file
  std::string sceneText() const;                    // the scene file as save would write it here

  // The input image as 8-bit RGBA over its region (full resolution); open
  // may replace it, so callers hold their own reference.
  std::shared_ptr<PreviewFrame const> input() const;

  // The newest frame once its serial exceeds `after`, waiting at most
  // `timeout`; null on timeout or shutdown.
  std::shared_ptr<PreviewFrame const> waitFrame(long after, std::chrono::milliseconds timeout);
  // Wakes every waiter and stops the preview worker; later waits return at once.
  void shutdown();

  // The node's "Output Image" as it stands, at full resolution, rendered
  // on the calling thread (what a render node given the saved scene makes).
  IxTile renderOutput();

 private:
  // Validate, apply to the node as the command `name`, wake the worker.
  nlohmann::json commitLocked(EditDocument const& candidate, std::string const& name, long gesture);
  void changedLocked(bool interactive);  // the node changed: read it back, cancel a stale render
  void check(EditDocument const& doc) const;   // throws EditError 400
  void previewLoop();
  nlohmann::json stateLocked() const;

  SessionOptions _options;
  std::string _scenePath;  // where save writes by default
  std::shared_ptr<PreviewFrame const> _input;  // guarded by _mutex
  std::string _inputPath;                      // the picture _input shows
  double _frame = 1.0;

  mutable std::mutex _mutex;
  std::condition_variable _changed;
  EditDocument _doc;
  int _nextId = 1;  // shape ids are never reused within a session
  std::unique_ptr<EditNode> _node;
  long _gesture = 0;        // the drag whose command is the last one...
  unsigned _gestureState = 0;  // ...while the stack's state word is this
  long _version = 1;
  std::chrono::steady_clock::time_point _lastEdit;
  std::shared_ptr<PreviewFrame const> _frameShown;
  long _serial = 0;
  bool _stop = false;
  // The render in flight, for cancelling it when it goes stale.
  CancellableRenders _renders;
  CancellableRenders::Ticket _active;
  long _activeVersion = 0;
  double _fullRenderSeconds = -1;  // last level-0 render, -1 before the first
  std::thread _worker;
};

}  // namespace Qx::Warp2dApp
