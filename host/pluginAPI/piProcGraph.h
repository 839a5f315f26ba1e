// The processing graph of a node graph: what an application asks for the
// processing node of an output before it renders it (PxRenderer).
//
//   PiProcGraph procs(graph);
//   PxRenderer renderer(procs.getImageNode(node->getOutput("Output")));
//   IxTile frame = renderer.render(PxImageContext(time, 0, 0, region), region).tile;
//
// Building. Asked for an output, a PiProcGraph walks the node graph upstream
// from it and has each node it reaches publish its processing nodes
// (piProcNodeHook.h: controllers, providers, groups), each node once per
// build. What it built is kept: asked again while nothing changed, it hands
// out the same processing nodes, so their cached images stay valid.
//
// Rebuilding. It listens to the root graph's notifications (piGraph.h) for
// edits, undo and redo alike. An edit of a node (its values, keys, entries,
// connections; node names play no part in processing) makes the next
// request rebuild that node and every node that read it, directly or
// through the nodes it reads; every other node keeps its processing nodes.
// A node that leaves the graph drops its processing nodes. When a node is
// rebuilt or dropped, the image cache frees the results tagged with it
// (StImageCacheNode made with the node as graph object); untagged results
// of old processing nodes go when those nodes go.
//
// Ownership: a PiProcGraph keeps its root graph alive and owns the
// processing nodes it built until they are rebuilt or it goes; handles it
// handed out keep theirs alive independently (a render in progress finishes
// on the nodes it started with).
//
// Threading: the user-interface thread only. Asking from a processing worker
// fails "!PxRequestMgr::getInstance().isWorkerThreadCurrent()": nodes are
// never built on a worker.
//
// Failures: an output of another graph, or a non-image output asked for an
// image node, throws std::invalid_argument; what a controller throws while
// building propagates, and the next request builds again.
#pragma once

#include <memory>

#include "base/rcPtr.h"
#include "pluginAPI/piGraph.h"
#include "pluginAPI/piProcNodeHook.h"
#include "pluginAPI/pxImageCache.h"

class PiProcGraph {
 public:
  // `cache` is the store whose tagged results edits free; null: the shared
  // one.
  explicit PiProcGraph(RCShdPtr<PiGraph> const& root, std::shared_ptr<PxImageCache> cache = nullptr);
  ~PiProcGraph();
  PiProcGraph(PiProcGraph const&) = delete;
  PiProcGraph& operator=(PiProcGraph const&) = delete;

  RCShdPtr<PiGraph> const& getGraph() const;

  // The processing node of `output` (an output of a node of the root graph
  // or of a group inside it) as the graph stands now, rebuilt first where
  // it changed; null when nothing computes it.
  PxNodePtr<PxNode> getProcNode(RCShdPtr<PiOutput> const& output);
  // The same for an image output, never null: an output that nothing
  // computes is an empty image whose chain is not connected.
  PxNodePtr<PxImageProtocol> getImageNode(RCShdPtr<PiOutput> const& output);

  // Whether the graph changed since the last request.
  bool isDirty() const;
  // Drops every processing node built: the next request builds all anew.
  void clear();

 private:
  class Impl;
  std::unique_ptr<Impl> _impl;
};
