// The renderer: how an application pulls a finished image out of a node.
//
// A render computes the node over a pixel region (at the time, stream and
// proxy level of a context) tile by tile on the request manager's worker
// pool: one tile request per tile of the grid that meets the region
// (pxImageProtocol.h), or one request for the whole region when the node
// produces full frames or the settings ask for a single request. Each
// finished tile is copied into the destination, converted to its format;
// pixels a result does not cover get that result's fill colour. A node
// whose pixels do not depend on how it is asked renders the same bits
// however the region is cut and however many threads work.
//
// Threading: render() runs on the main thread (never on a worker) and
// blocks. The workers compute; the calling thread waits, and reports
// progress (tiles done of the total) through the callback after each tile,
// on its own thread, so the callback may touch the user interface and may
// call cancel(). cancel() may be called from any thread: the render in
// progress stops (each worker within the row it is computing), every tile
// and all working storage is released, and render() throws
// PxInterruptedException. The renderer can render again afterwards.
//
// Copies saved: while a worker computes a tile, the rendered node's first
// allocateImageBuffer over exactly that tile, in the destination's pixel
// format, is handed the destination's own pixels (zeroed unless the node
// asked for undefined contents), and a result in them needs no copy
// (PxRenderTarget). Only the rendered node is offered them: the nodes it
// reads allocate as usual, and the image cache withholds the offer from
// whatever it computes (even the rendered node itself at another level), so
// that no kept tile ever aliases the destination.
//
// Failure: an exception from a node stops the other workers and is rethrown
// by render(). An empty region renders nothing and is valid for all time.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "primitives/geRectangle.h"
#include "primitives/ixTile.h"
#include "pluginAPI/pxImageProtocol.h"
#include "pluginAPI/pxNodeHndls.h"
#include "pluginAPI/pxRequestMgr.h"

struct PxRenderSettings {
  int threadCount = 0;         // workers to use; 0: all of them
  bool singleRequest = false;  // one request for the whole region
  std::function<void(int done, int total)> progress;
};

// The destination's offer for one tile, made current on the worker that
// computes the tile for as long as the object lives.
class PxRenderTarget {
 public:
  PxRenderTarget(PxImageProtocol const& node, IxTile const& destination, GeRectangle<int> const& cell);
  ~PxRenderTarget();
  PxRenderTarget(PxRenderTarget const&) = delete;
  PxRenderTarget& operator=(PxRenderTarget const&) = delete;

  // For `node` allocating over `region` in `format`: a view of the
  // destination when it is on offer to exactly that, else an invalid tile.
  // The offer is taken once.
  static IxTile claim(PxImageProtocol const& node, IxPixelFormat const& format, GeRectangle<int> const& region,
                      CoRgbaColorTyped<float> const& fillColor, PxBufferContents contents);

  // For a node that hands a request on unchanged and returns the result as
  // its own (an output node): an offer made to `from` and not yet taken
  // becomes an offer to `to`, so the copy stays saved through the hand-over.
  static void passOn(PxImageProtocol const& from, PxImageProtocol const& to);

  // No offer on this thread while it lives.
  class Withheld {
   public:
    Withheld();
    ~Withheld();
    Withheld(Withheld const&) = delete;
    Withheld& operator=(Withheld const&) = delete;

   private:
    PxRenderTarget* _saved;
  };

 private:
  PxRenderTarget* _previous;
  PxImageProtocol const* _node;
  IxTile const& _destination;
  GeRectangle<int> _cell;
};

class PxRenderer {
 public:
  explicit PxRenderer(PxNodePtr<PxImageProtocol> node, PxRenderSettings settings = {});
  PxRenderer(PxRenderer const&) = delete;
  PxRenderer& operator=(PxRenderer const&) = delete;

  // A new tile over `pixelRegion` in the node's format, aspect ratio and
  // fill colour, with the validity of everything computed for it. Only the
  // time, stream and level of `context` are used.
  PxImageResult render(PxImageContext const& context, GeRectangle<int> const& pixelRegion);
  // Renders the destination's region into it; returns the validity.
  PxValidityInterval render(PxImageContext const& context, IxTile const& destination);

  // Stops the render in progress, if any.
  void cancel();

 private:
  PxNodePtr<PxImageProtocol> _node;
  PxRenderSettings _settings;
  std::mutex _mutex;
  std::shared_ptr<PxRequest> _request;  // of the render in progress
};
