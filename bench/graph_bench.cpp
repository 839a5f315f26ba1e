// Costs of the node graph framework that an editing session feels: undoing
// and redoing a long history, saving and loading a large graph, and building
// its processing graph, afresh and again after one edit.
#include <benchmark/benchmark.h>

#include <random>
#include <stdexcept>

#include "framework/piGraphDocument.h"
#include "pluginAPI/piNodeController.h"
#include "pluginAPI/piProcGraph.h"
#include "pluginAPI/pxAnimValue.h"

namespace {

class BenchController : public PiImageModifier {
 public:
  static void describe(Descriptor& d) {
    addSingleImageInput(d, PiImageInputPolicy::createPrimary(3, 7, 1, 0, false));
    d.require("Amount", PI_DOUBLE, PiRangeInputPolicy<double>::create(0.0, 10.0, 1.0, true, false));
    d.require("Mode", PI_INT, PiEnumPolicy::Builder().addPair(0, "A").addPair(1, "B").addPair(2, "C"));
    d.require("Enabled", PI_BOOL);
    d.require("Label", PI_STRING);
    PiSocketDecl& t = d.requireStructure("Transform");
    t.require("X", PI_DOUBLE);
    t.require("Y", PI_DOUBLE);
    d.requireStructure("Layers", 1).require("Opacity", PI_DOUBLE);
    d.addValue("Note", PI_STRING, "");
  }
  PxNodePtr<PxImageProtocol> createProcNode(PxNodePtr<PxImageProtocol> const& in, PiProcNodeProvider const& p) override;
};

// What a light processing node holds: its input and two values.
class BenchNode : public PxImageNode {
 public:
  BenchNode(PxNodePtr<PxImageProtocol> const& in, PxNodePtr<PxNode> const& amount, PxNodePtr<PxNode> const& x)
      : PxImageNode(PxNodeInit{"bench", in ? std::nullopt : std::optional(PxImageFormat())}, in),
        _amount(amount),
        _x(x) {}
  PxRODResult computeROD(PxImageContext const&) const override { return {}; }
  PxImageResult computeImage(PxImageContext const& c) const override {
    return {allocateEmptyImageBuffer(c, CoRgbaColorTyped<float>::ZERO), PxValidityInterval::FULL};
  }

 private:
  PxStrongHndl<PxAnimValueProtocol<double>> _amount, _x;
};

PxNodePtr<PxImageProtocol> BenchController::createProcNode(PxNodePtr<PxImageProtocol> const& in,
                                                           PiProcNodeProvider const& p) {
  return PxNodePtr<BenchNode>::create(in, p.getValueNode("Amount"), p.getValueNode("Transform/X"));
}

RCShdPtr<const PiTool> benchTool() {
  static RCShdPtr<const PiTool> tool =
      PiImageModifier::registerTool(PiMorvaneToolProtocol::create<BenchController>("Bench Tool", "Benchmarks"));
  return tool;
}

// A chain of `n` nodes with animated values, entries and followed inputs.
RCShdPtr<PiGraph> chain(int n) {
  RCShdPtr<PiGraph> g = PiGraph::create();
  RCShdPtr<PiNode> prev;
  for (int i = 0; i < n; ++i) {
    RCShdPtr<PiNode> node = g->createNode(benchTool(), "Node " + std::to_string(i));
    node->getInput("Amount")->setKey(0, 0.5 * (i % 7));
    node->getInput("Amount")->setKey(24, 2.0, PiInterpolation::Smooth);
    node->getInput("Label")->setValue("label " + std::to_string(i));
    rcCheckedCast<PiMultivaluedInput>(node->getInput("Layers"))->addEntry();
    if (prev) {
      g->connect(node->getInput("Input"), prev->getOutput("Output"));
      if (i % 3 == 0) g->connect(node->getInput("Transform/X"), prev->getInput("Transform/X")->getCarrierOutput());
    }
    prev = node;
  }
  g->getCommandStack()->clear();
  return g;
}

// 10,000 edits, each its own command: values, keys, renames, connections,
// entries.
RCShdPtr<PiGraph> history() {
  RCShdPtr<PiGraph> g = chain(20);
  std::mt19937 rng(1);
  auto const& nodes = g->getNodes();
  for (int i = 0; g->getCommandStack()->getIndex() < 10000; ++i) {
    RCShdPtr<PiNode> n = nodes[rng() % nodes.size()];
    switch (i % 5) {
      case 0: n->getInput("Transform/Y")->setValue(double(i)); break;
      case 1: n->getInput("Amount")->setKey(double(rng() % 48), double(i % 1000) / 100.0); break;
      case 2: n->setName("Renamed " + std::to_string(i)); break;
      case 3: {
        auto layers = rcCheckedCast<PiMultivaluedInput>(n->getInput("Layers"));
        if (layers->getEntryCount() > 3) layers->removeEntry(0);
        else layers->addEntry();
        break;
      }
      default: {
        RCShdPtr<PiInput> in = n->getInput("Enabled");
        if (in->isConnected()) g->disconnect(in);
        else if (n != nodes.front()) g->connect(in, nodes.front()->getInput("Enabled")->getCarrierOutput());
      }
    }
  }
  return g;
}

void BM_UndoHistory(benchmark::State& state) {
  RCShdPtr<PiGraph> g = history();
  PiCommandStack& stack = *g->getCommandStack();
  std::size_t const n = stack.getIndex();
  for (auto _ : state) {
    while (stack.canUndo()) stack.undo();
    state.PauseTiming();
    while (stack.canRedo()) stack.redo();
    state.ResumeTiming();
  }
  if (n != 10000) throw std::logic_error("the history should hold 10,000 commands");
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_UndoHistory)->Unit(benchmark::kMillisecond);

void BM_RedoHistory(benchmark::State& state) {
  RCShdPtr<PiGraph> g = history();
  PiCommandStack& stack = *g->getCommandStack();
  std::string const top = PiGraphDocument::save(*g);
  for (auto _ : state) {
    state.PauseTiming();
    while (stack.canUndo()) stack.undo();
    state.ResumeTiming();
    while (stack.canRedo()) stack.redo();
  }
  if (PiGraphDocument::save(*g) != top) throw std::logic_error("redo did not restore the graph");
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(stack.getIndex()));
}
BENCHMARK(BM_RedoHistory)->Unit(benchmark::kMillisecond);

void BM_Save1000Nodes(benchmark::State& state) {
  RCShdPtr<PiGraph> g = chain(1000);
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string doc = PiGraphDocument::save(*g);
    bytes = doc.size();
    benchmark::DoNotOptimize(doc.data());
  }
  state.counters["document_bytes"] = static_cast<double>(bytes);
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_Save1000Nodes)->Unit(benchmark::kMillisecond);

void BM_Load1000Nodes(benchmark::State& state) {
  std::string const doc = PiGraphDocument::save(*chain(1000));
  std::size_t nodes = 0;
  for (auto _ : state) nodes = PiGraphDocument::load(doc)->getNodes().size();
  if (nodes != 1000) throw std::logic_error("the loaded graph should hold 1,000 nodes");
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_Load1000Nodes)->Unit(benchmark::kMillisecond);

// The processing graph of the last node of a 1,000-node chain, built afresh.
void BM_BuildProcGraph1000(benchmark::State& state) {
  RCShdPtr<PiGraph> g = chain(1000);
  RCShdPtr<PiOutput> out = g->getNodes().back()->getOutput(PiImageGenerator::getOutputName());
  for (auto _ : state) {
    PiProcGraph procs(g);
    benchmark::DoNotOptimize(procs.getImageNode(out).get());
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_BuildProcGraph1000)->Unit(benchmark::kMillisecond);

// Rebuilding after one edit: of the last node (one node rebuilt, the rest
// checked and kept), or of the first (every node rebuilt).
void BM_RebuildAfterEdit1000(benchmark::State& state) {
  RCShdPtr<PiGraph> g = chain(1000);
  RCShdPtr<PiNode> edited = state.range(0) ? g->getNodes().front() : g->getNodes().back();
  RCShdPtr<PiOutput> out = g->getNodes().back()->getOutput(PiImageGenerator::getOutputName());
  PiProcGraph procs(g);
  PxNodePtr<PxImageProtocol> first = procs.getImageNode(out);
  double v = 0;
  for (auto _ : state) {
    state.PauseTiming();
    edited->getInput("Transform/Y")->setValue(v += 1);
    state.ResumeTiming();
    benchmark::DoNotOptimize(procs.getImageNode(out).get());
  }
  if (procs.getImageNode(out) == first) throw std::logic_error("the edit should rebuild the last node");
  state.SetLabel(state.range(0) ? "first node edited" : "last node edited");
}
BENCHMARK(BM_RebuildAfterEdit1000)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
