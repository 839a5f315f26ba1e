// Building processing graphs from node graphs: the walk upstream, the
// record of what each build read, and rebuilding only what an edit reached.
//
// The unit of building is a plain node (its controller publishes all its
// outputs at once: they depend on all its inputs anyway) or one image
// output of a group (a group's outputs may depend on different inputs, and
// one of them may even feed another's input from outside). Each unit keeps
// what it published, the nodes it read and the units it took processing
// nodes from. A serial counter orders edits and builds: a unit is up to date
// when it was built after the last edit of every node it read and after
// every unit it took nodes from was (re)built.
#include "pluginAPI/piProcGraph.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/assertions.h"
#include "pluginAPI/piNodeController.h"

namespace {

std::string quoted(std::string const& s) { return "\"" + s + "\""; }

// Which unit: a plain node, or an output of a group node.
struct UnitRef {
  void const* key;
  std::weak_ptr<PiNode> node;
  std::weak_ptr<PiOutput> output;  // group outputs only
};

struct Unit {
  explicit Unit(UnitRef r) : ref(std::move(r)) {}
  UnitRef ref;
  std::uint64_t builtAt = 0;    // 0: not built
  std::uint64_t checkedIn = 0;  // the pass that last brought it up to date
  bool building = false;
  std::vector<std::pair<PiOutput const*, PxNodePtr<PxNode>>> published;
  std::vector<PiNode const*> reads;
  std::vector<UnitRef> deps;
};

}  // namespace

class PiProcGraph::Impl {
 public:
  Impl(RCShdPtr<PiGraph> const& root, std::shared_ptr<PxImageCache> cache)
      : _root(root), _cache(cache ? std::move(cache) : PxImageCache::getShared()), _listener(this, &Impl::changed) {
    if (_root.isNull()) throw NullPointerException("PiGraph");
    _root->getEventDispatcher().addHandler(&_listener);
  }

  RCShdPtr<PiGraph> const& graph() const { return _root; }
  bool isDirty() const { return _dirty; }
  void clear() {
    pxCheckNodeHandleThread();
    QX_ASSERT(_frames.empty());
    _units.clear();
    _dirty = true;
  }

  PxNodePtr<PxNode> procNode(RCShdPtr<PiOutput> const& output) {
    pxCheckNodeHandleThread();
    if (output.isNull()) throw NullPointerException("PiOutput");
    RCShdPtr<PiNode> node = output->getNode();
    RCShdPtr<PiGraph> g = node ? node->getGraph() : RCShdPtr<PiGraph>();
    if (g.isNull() || g->getRoot() != _root)
      throw std::invalid_argument("output " + quoted(output->getName()) + " is not an output of this graph");
    if (_dirty) {
      _dirty = false;
      ++_pass;
      prune();
    }
    QX_ASSERT(_frames.empty());
    return resolveOutput(*output);
  }

  // --- resolving, on behalf of the unit being built ------------------------

  PxNodePtr<PxNode> resolveImage(PiInput const& input) {
    if (!input.isImage())
      throw std::invalid_argument(input.describe() + " is not an image input (it holds a " +
                                  piValueTypeName(input.getType()) + ")");
    RCShdPtr<PiOutput> out = computedSource(input, [this](RCShdPtr<PiNode> const& n) { read(n); });
    return out ? resolveOutput(*out) : nullptr;
  }

  PxNodePtr<PxNode> resolveValue(PiInput const& input) {
    if (input.isImage() || input.isComposite())
      throw std::invalid_argument(input.describe() + " holds no value");
    // The walk of PiInput::getValueAt, recording the nodes it passes.
    RCShdPtr<PiInput> hold;
    PiInput const* in = &input;
    for (read(in->getNode()); in->isConnected(); in = hold.get()) {
      RCShdPtr<PiInput> next = in->getSource()->getForwardedInput();
      if (next.isNull()) break;
      read(in->getSource()->getNode());
      read(next->getNode());
      hold = next;
    }
    return PiProcNodeFactory::createValueNode(in->getValue()->getAnimation(), input.getPath());
  }

  PxNodePtr<PxNode> resolveStoredValue(PiValue const& value) {
    read(value.getNode());
    return PiProcNodeFactory::createValueNode(value.getAnimation(), value.getName());
  }

 private:
  class Provider;
  class Publisher;

  // What the unit being built read and took.
  struct Frame {
    std::vector<PiNode const*> reads;
    std::vector<UnitRef> deps;
  };

  void changed(PiGraphEvent const& e) {
    // Names play no part in processing: a renamed shape keeps its warp.
    if (e.kind == PiGraphEvent::NodeRenamed || e.node.isNull()) return;
    mark(*e.node);
    _dirty = true;
  }

  void mark(PiNode const& node) {
    _changes[&node] = {std::const_pointer_cast<PiNode>(node.shared_from_this()), ++_serial};
    // A group coming back (undo of a removal, a copy) brings an inside
    // that no notification described.
    if (node.isGroup())
      for (auto const& n : node.getInnerGraph()->getNodes()) mark(*n);
  }

  std::uint64_t lastChange(PiNode const* node) const {
    auto it = _changes.find(node);
    if (it == _changes.end()) return 0;
    // Another node at a dead node's address: assume it changed.
    return it->second.first.lock().get() == node ? it->second.second : ~std::uint64_t(0);
  }

  void read(RCShdPtr<PiNode> const& node) {
    if (node.isNull()) return;
    QX_ASSERT(!_frames.empty());
    std::vector<PiNode const*>& reads = _frames.back().reads;
    if (std::find(reads.begin(), reads.end(), node.get()) == reads.end()) reads.push_back(node.get());
  }

  // The output computed at the end of an image input's chain: through
  // inputs that follow inputs and input boundaries, to a plain node's output
  // or a group's; null when the chain ends unconnected. `pass` hears every
  // node the walk passes.
  template <class F>
  static RCShdPtr<PiOutput> computedSource(PiInput const& input, F&& pass) {
    RCShdPtr<PiInput> hold;
    for (PiInput const* in = &input;; in = hold.get()) {
      pass(in->getNode());
      if (!in->isConnected()) return nullptr;
      RCShdPtr<PiOutput> const& out = in->getSource();
      RCShdPtr<PiInput> carried = out->getCarriedInput();
      if (carried.isNull()) return out;
      pass(out->getNode());  // a carrier, or a group's input boundary
      hold = carried;
    }
  }

  // The unit that publishes a computed output.
  static UnitRef unitOf(PiOutput const& out) {
    RCShdPtr<PiNode> src = out.getNode();
    if (src.isNull() || !src->isGroup()) return {src.get(), src.shared(), {}};
    RCShdPtr<PiOutput> o = src->getOutput(out.getName());
    QX_ASSERT(o.get() == &out);
    return {&out, src.shared(), o.shared()};
  }

  // The units a unit takes images from, as its node's connections say
  // (what its controller may ask for), each once.
  static std::vector<UnitRef> upstreamOf(UnitRef const& ref) {
    std::vector<UnitRef> ups;
    std::shared_ptr<PiNode> node = ref.node.lock();
    if (!node) return ups;
    auto add = [&](PiInput const& in) {
      RCShdPtr<PiOutput> out = computedSource(in, [](RCShdPtr<PiNode> const&) {});
      if (out.isNull()) return;
      UnitRef up = unitOf(*out);
      if (up.key && std::none_of(ups.begin(), ups.end(), [&](UnitRef const& u) { return u.key == up.key; }))
        ups.push_back(std::move(up));
    };
    std::function<void(PiInput const&)> walk = [&](PiInput const& in) {
      if (in.isComposite())
        for (auto const& c : static_cast<PiCompositeInput const&>(in).getInputs()) walk(*c);
      else if (in.isImage()) add(in);
    };
    for (auto const& in : node->getInputs()) walk(*in);
    if (std::shared_ptr<PiOutput> out = ref.output.lock())
      if (RCShdPtr<PiNode> b = node->getInnerGraph()->getOutputBoundaryNode(out->getName()))
        add(*b->getInputs().front());
    return ups;
  }

  PxNodePtr<PxNode> resolveOutput(PiOutput const& out) {
    UnitRef const ref = unitOf(out);
    if (!ref.key) return nullptr;
    Unit& u = ensure(ref);
    if (!_frames.empty()) _frames.back().deps.push_back(ref);
    for (auto const& [o, n] : u.published)
      if (o == &out) return n;
    return nullptr;
  }

  bool alive(UnitRef const& ref) const {
    std::shared_ptr<PiNode> n = ref.node.lock();
    if (!n) return false;
    if (ref.key != n.get() && ref.output.lock().get() != ref.key) return false;
    RCShdPtr<PiGraph> g = n->getGraph();
    return g && g->getRoot() == _root;
  }

  Unit& slotOf(UnitRef const& ref) {
    std::unique_ptr<Unit>& slot = _units[ref.key];
    if (!slot || slot->ref.node.lock() != ref.node.lock() || slot->ref.output.lock() != ref.output.lock())
      slot = std::make_unique<Unit>(ref);
    return *slot;
  }

  // Brings the units upstream of `root` up to date first, deepest first and
  // without recursion, so that a controller asking for its inputs finds
  // them built: however long the chain, building it nests one level deep.
  void prepare(UnitRef const& root) {
    struct Item {
      UnitRef ref;
      bool expanded;
    };
    std::vector<Item> stack{{root, false}};
    std::unordered_set<void const*> onPath;  // expanded, not yet finished
    while (!stack.empty()) {
      Item& item = stack.back();
      if (slotOf(item.ref).checkedIn == _pass) {
        onPath.erase(item.ref.key);
        stack.pop_back();
        continue;
      }
      if (!item.expanded) {
        item.expanded = true;
        onPath.insert(item.ref.key);
        // A group's outputs may feed its own inputs outside: such a unit is
        // not truly upstream and is left to the build itself.
        for (UnitRef& up : upstreamOf(item.ref))
          if (!onPath.count(up.key) && slotOf(up).checkedIn != _pass) stack.push_back({std::move(up), false});
        continue;
      }
      UnitRef const ref = std::move(item.ref);
      stack.pop_back();
      onPath.erase(ref.key);
      if (ref.key != root.key) bringUpToDate(slotOf(ref));
    }
  }

  Unit& ensure(UnitRef const& ref) {
    Unit& u = slotOf(ref);
    if (u.checkedIn != _pass) prepare(ref);
    return bringUpToDate(u);
  }

  Unit& bringUpToDate(Unit& u) {
    if (u.checkedIn == _pass) {
      // The graph refuses connections that make anything depend on itself.
      QX_ASSERT(!u.building);
      return u;
    }
    if (u.builtAt != 0 && upToDate(u)) {
      u.checkedIn = _pass;
      return u;
    }
    build(u);
    return u;
  }

  bool upToDate(Unit& u) {
    for (PiNode const* r : u.reads)
      if (lastChange(r) > u.builtAt) return false;
    for (UnitRef const& d : u.deps)
      if (!alive(d) || ensure(d).builtAt > u.builtAt) return false;
    return true;
  }

  void build(Unit& u) {
    RCShdPtr<PiNode> node(u.ref.node.lock());
    bool const rebuilt = u.builtAt != 0;
    u.checkedIn = _pass;
    u.building = true;
    u.builtAt = 0;
    u.published.clear();
    _frames.emplace_back();
    struct Unwind {
      Impl& impl;
      Unit& u;
      ~Unwind() {
        u.building = false;
        impl._frames.pop_back();
        if (u.builtAt == 0) {  // the controller threw: try again next time
          u.published.clear();
          u.checkedIn = 0;
          impl._dirty = true;
        }
      }
    } unwind{*this, u};
    read(node);
    if (RCShdPtr<PiOutput> output = RCShdPtr<PiOutput>(u.ref.output.lock())) buildGroupOutput(u, node, output);
    else buildNode(u, node);
    u.reads = std::move(_frames.back().reads);
    u.deps = std::move(_frames.back().deps);
    u.builtAt = ++_serial;
    if (rebuilt) _cache->invalidateGraphObject(node.get());
  }

  void buildNode(Unit& u, RCShdPtr<PiNode> const& node);
  void buildGroupOutput(Unit& u, RCShdPtr<PiNode> const& group, RCShdPtr<PiOutput> const& output);

  void prune() {
    for (auto it = _units.begin(); it != _units.end();) {
      if (alive(it->second->ref)) {
        ++it;
        continue;
      }
      if (std::shared_ptr<PiNode> n = it->second->ref.node.lock()) _cache->invalidateGraphObject(n.get());
      it = _units.erase(it);
    }
    std::erase_if(_changes, [](auto const& c) { return c.second.first.expired(); });
  }

  RCShdPtr<PiGraph> _root;
  std::shared_ptr<PxImageCache> _cache;
  CbMethodHandler<PiGraphEvent const, Impl> _listener;
  std::unordered_map<void const*, std::unique_ptr<Unit>> _units;
  std::unordered_map<PiNode const*, std::pair<std::weak_ptr<PiNode>, std::uint64_t>> _changes;
  std::vector<Frame> _frames;
  std::uint64_t _serial = 0;
  std::uint64_t _pass = 0;
  bool _dirty = true;
};

class PiProcGraph::Impl::Provider final : public PiProcNodeProvider {
 public:
  Provider(Impl& impl, RCShdPtr<PiNode> node) : _impl(impl), _node(std::move(node)) {}
  RCShdPtr<PiNode> getNode() const override { return _node; }

 protected:
  PxNodePtr<PxNode> resolveImage(PiInput const& input) const override { return _impl.resolveImage(input); }
  PxNodePtr<PxNode> resolveValue(PiInput const& input) const override { return _impl.resolveValue(input); }
  PxNodePtr<PxNode> resolveStoredValue(PiValue const& value) const override { return _impl.resolveStoredValue(value); }

 private:
  Impl& _impl;
  RCShdPtr<PiNode> _node;
};

class PiProcGraph::Impl::Publisher final : public PiOutputPublisher {
 public:
  Publisher(Provider const& provider, Unit& unit) : _provider(provider), _unit(unit) {}
  PiProcNodeProvider const& getProvider() const override { return _provider; }
  PxNodePtr<PxNode> getPublished(RCShdPtr<PiOutput> const& output) const override {
    for (auto const& [o, n] : _unit.published)
      if (o == output.get()) return n;
    return nullptr;
  }

 protected:
  void store(PiOutput const& output, PxNodePtr<PxNode> const& node) override {
    for (auto& [o, n] : _unit.published)
      if (o == &output) {
        n = node;
        return;
      }
    _unit.published.emplace_back(&output, node);
  }

 private:
  Provider const& _provider;
  Unit& _unit;
};

void PiProcGraph::Impl::buildNode(Unit& u, RCShdPtr<PiNode> const& node) {
  Provider const provider(*this, node);
  Publisher publisher(provider, u);
  node->getController()->createProcNodes(publisher);
}

void PiProcGraph::Impl::buildGroupOutput(Unit& u, RCShdPtr<PiNode> const& group, RCShdPtr<PiOutput> const& output) {
  RCShdPtr<PiNode> boundary = group->getInnerGraph()->getOutputBoundaryNode(output->getName());
  PxNodePtr<PxNode> inner = boundary ? resolveImage(*boundary->getInputs().front()) : PxNodePtr<PxNode>();
  Provider const provider(*this, group);
  Publisher publisher(provider, u);
  auto* topology = dynamic_cast<PiGroupTopologyInterface*>(group->getController().get());
  publisher.publish(output, topology ? topology->createOutputProcNode(output, inner, provider)
                                     : PiProcNodeFactory::createOutputNode(output, inner));
}

PiProcGraph::PiProcGraph(RCShdPtr<PiGraph> const& root, std::shared_ptr<PxImageCache> cache)
    : _impl(std::make_unique<Impl>(root, std::move(cache))) {}

PiProcGraph::~PiProcGraph() = default;

RCShdPtr<PiGraph> const& PiProcGraph::getGraph() const { return _impl->graph(); }

PxNodePtr<PxNode> PiProcGraph::getProcNode(RCShdPtr<PiOutput> const& output) { return _impl->procNode(output); }

PxNodePtr<PxImageProtocol> PiProcGraph::getImageNode(RCShdPtr<PiOutput> const& output) {
  PxNodePtr<PxNode> node = _impl->procNode(output);
  if (output->getType() != PI_IMAGE)
    throw std::invalid_argument("output " + quoted(output->getName()) + " is not an image output");
  if (node) return node.cast<PxImageProtocol>();
  return PiProcNodeFactory::createOutputNode(output, nullptr).cast<PxImageProtocol>();
}

bool PiProcGraph::isDirty() const { return _impl->isDirty(); }

void PiProcGraph::clear() { _impl->clear(); }
