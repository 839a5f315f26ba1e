// The one seam between warp2d and the warp itself: a scene, a frame and an
// input image in; the "Output Image" (and on request the "Destination
// Image" and the sample positions) out, rendered tile by tile on the worker
// pool through the pipeline's renderer (PxRenderer).
//
// Everything else in warp2d (scene files, image files, progress, the
// diagnostics) works through this interface only, so the way the warp graph
// is built can change without touching them.
//
// Images. The input is a tile over its data window in the pixels of the
// full-resolution file (proxy level 0), with the file's pixel aspect ratio.
// Results are tiles in pixels of the requested proxy level K (scale 1/2^K)
// in the input's pixel format: the output over its region of definition
// ("Fixed": the input frame; "Free": wherever the warped frame reaches)
// less the scene's crop, the destination image over its own region, and the
// vectors as FLOAT32 RGB over the output's region (R, G: the input position,
// in pixels of level K, that the output pixel samples).
//
// Threading. render() runs on the main thread and blocks; progress is
// reported on that thread after every tile of the output. cancel() may be
// called from any thread (a signal watcher): the render in progress stops
// within a row of work and render() throws PxInterruptedException; a render
// started after cancel() throws at once.
#pragma once

#include <functional>
#include <future>
#include <memory>

#include <atomic>
#include <mutex>

#include "pluginAPI/pxRenderer.h"
#include "primitives/ixTile.h"
#include "scene.h"

namespace Qx::Warp2dApp {

struct FrameRequest {
  double frame = 1.0;
  int proxyLevel = 0;
  int threads = 0;  // 0: every worker
  bool destination = false;
  bool vectors = false;
  std::function<void(int done, int total)> progress;
  // When valid, the input's pixels are still arriving (ImageReading): the
  // render waits on it before it reads them, and builds and solves before.
  std::shared_future<void> inputReady;
};

struct RenderedFrame {
  IxTile output;
  IxTile destination;  // when asked
  IxTile vectors;      // when asked
};

class SceneRenderer {
 public:
  virtual ~SceneRenderer() = default;
  virtual RenderedFrame render(Scene const& scene, IxTile const& input, FrameRequest const& request) = 0;
  virtual void cancel() = 0;
  // What builds the warp, for reports: "nodes" or "module".
  virtual char const* describe() const = 0;
};

// The "Warp 2D" tool as the compositing application runs it: the module
// libQXwarper2D.qxtool loaded through the host's module loader (from
// `modulePath`), a node graph with an image node feeding a "Warp 2D" node
// whose shapes are drawn through the host's shape editor interface and whose
// parameters are set on its inputs, and the "Output Image" rendered through
// the processing graph. The vectors are the warp of an image of its own
// pixel positions (bilinear sampling of a linear ramp is exact), so they are
// what the tool does, not a second computation of it. Throws
// std::runtime_error naming the module when it cannot be loaded.
std::unique_ptr<SceneRenderer> createModuleSceneRenderer(std::string const& modulePath);

// The default module beside this build (or $WARP2D_MODULE).
std::string defaultModulePath();

// The warp built from the plug-in's processing nodes directly: generator,
// vector and warp nodes wired as the "Warp 2D" tool wires them.
std::unique_ptr<SceneRenderer> createNodeSceneRenderer();

// What both renderers (and the editor's previews) share: renders through
// PxRenderer, and two ways to stop them from any thread. cancel() stops the
// render in progress and every later one (they throw
// PxInterruptedException): a user's interrupt. A Ticket names one render to
// come: cancel(ticket) stops that render, whether it has begun yet or not,
// and leaves later renders alone, so a render made stale by a newer edit
// can be dropped and the next one runs.
class CancellableRenders {
 public:
  using Ticket = std::shared_ptr<std::atomic<bool>>;
  static Ticket ticket() { return std::make_shared<std::atomic<bool>>(false); }

  IxTile render(PxNodePtr<PxImageProtocol> const& node, PxImageContext const& context,
                GeRectangle<int> const& region, int threads, std::function<void(int, int)> progress,
                Ticket const& ticket = {});
  void cancel();
  void cancel(Ticket const& ticket);
  bool isCancelled() const { return _cancelled.load(); }

 private:
  std::atomic<bool> _cancelled{false};
  std::mutex _mutex;
  PxRenderer* _current = nullptr;
  Ticket _currentTicket;
};

}  // namespace Qx::Warp2dApp
