// The node graph: building nodes from tool descriptions, the edit commands,
// connection checks, copies and notifications.
#include "pluginAPI/piGraph.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <limits>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "base/assertions.h"
#include "pluginAPI/piNodeController.h"

// Private access for the command classes of this file.
class PiGraphAccess {
 public:
  static std::vector<RCShdPtr<PiNode>>& nodes(PiGraph& g) { return g._nodes; }
  static std::weak_ptr<PiGraph>& graphOf(PiNode& n) { return n._graph; }
  static std::string& name(PiNode& n) { return n._name; }
  static RCShdPtr<PiOutput>& source(PiInput& i) { return i._source; }
  static PiAnimCurve& curve(PiValue& v) { return v._curve; }
  static std::vector<RCShdPtr<PiInput>>& children(PiCompositeInput& c) { return c._children; }
  static std::weak_ptr<PiCompositeInput>& parent(PiInput& i) { return i._parent; }
  static void emit(PiGraph& g, PiGraphEvent const& e) { g.emit(e); }
};

namespace {

using A = PiGraphAccess;

void emitFor(RCShdPtr<PiNode> const& node, PiGraphEvent e) {
  if (node.isNull()) return;
  RCShdPtr<PiGraph> g = node->getGraph();
  if (g.isNull()) return;
  e.graph = g.get();
  e.node = node;
  A::emit(*g, e);
}

// --- commands -------------------------------------------------------------

class NodeListCommand : public PiCommand {
 public:
  NodeListCommand(RCShdPtr<PiGraph> const& g, RCShdPtr<PiNode> node, std::size_t index, bool add)
      : _graph(g.shared()), _node(std::move(node)), _index(index), _add(add) {}
  void redo() override { apply(_add); }
  void undo() override { apply(!_add); }

 private:
  void apply(bool add) {
    std::shared_ptr<PiGraph> g = _graph.lock();
    QX_ASSERT(g != nullptr);
    auto& nodes = A::nodes(*g);
    if (add) {
      nodes.insert(nodes.begin() + static_cast<std::ptrdiff_t>(_index), _node);
      A::graphOf(*_node) = g;
    } else {
      QX_ASSERT(_index < nodes.size() && nodes[_index] == _node);
      nodes.erase(nodes.begin() + static_cast<std::ptrdiff_t>(_index));
    }
    PiGraphEvent e{add ? PiGraphEvent::NodeAdded : PiGraphEvent::NodeRemoved, g.get(), _node, {}, {}, {}, {}, {}};
    A::emit(*g, e);
    if (!add) A::graphOf(*_node).reset();
  }
  std::weak_ptr<PiGraph> _graph;
  RCShdPtr<PiNode> _node;
  std::size_t _index;
  bool _add;
};

class RenameCommand : public PiCommand {
 public:
  RenameCommand(RCShdPtr<PiNode> node, std::string from, std::string to)
      : _node(std::move(node)), _from(std::move(from)), _to(std::move(to)) {}
  void redo() override { set(_to, _from); }
  void undo() override { set(_from, _to); }

 private:
  void set(std::string const& name, std::string const& old) {
    A::name(*_node) = name;
    PiGraphEvent e{PiGraphEvent::NodeRenamed, nullptr, {}, {}, {}, {}, {}, old};
    emitFor(_node, e);
  }
  RCShdPtr<PiNode> _node;
  std::string _from, _to;
};

class ConnectCommand : public PiCommand {
 public:
  ConnectCommand(RCShdPtr<PiInput> input, RCShdPtr<PiOutput> from, RCShdPtr<PiOutput> to)
      : _input(std::move(input)), _from(std::move(from)), _to(std::move(to)) {}
  void redo() override { set(_to, _from); }
  void undo() override { set(_from, _to); }

 private:
  void set(RCShdPtr<PiOutput> const& source, RCShdPtr<PiOutput> const& previous) {
    A::source(*_input) = source;
    RCShdPtr<PiNode> node = _input->getNode();
    if (!previous.isNull()) {
      PiGraphEvent e{PiGraphEvent::InputDisconnected, nullptr, {}, _input, {}, previous, {}, {}};
      emitFor(node, e);
    }
    if (!source.isNull()) {
      PiGraphEvent e{PiGraphEvent::InputConnected, nullptr, {}, _input, {}, source, {}, {}};
      emitFor(node, e);
    }
  }
  RCShdPtr<PiInput> _input;
  RCShdPtr<PiOutput> _from, _to;
};

class CurveCommand : public PiCommand {
 public:
  CurveCommand(RCShdPtr<PiValue> value, PiAnimCurve from, PiAnimCurve to)
      : _value(std::move(value)), _from(std::move(from)), _to(std::move(to)) {}
  void redo() override { set(_to); }
  void undo() override { set(_from); }
  // Successive edits of one value within a command keep one before and one
  // after: a slider dragged through a hundred values is one edit.
  bool mergeWith(PiCommand const& next) override {
    auto const* c = dynamic_cast<CurveCommand const*>(&next);
    if (!c || c->_value != _value) return false;
    _to = c->_to;
    return true;
  }

 private:
  void set(PiAnimCurve const& c) {
    A::curve(*_value) = c;
    PiGraphEvent e{PiGraphEvent::ValueChanged, nullptr, {}, _value->getInput(), {}, {}, _value, {}};
    emitFor(_value->getNode(), e);
  }
  RCShdPtr<PiValue> _value;
  PiAnimCurve _from, _to;
};

class EntryCommand : public PiCommand {
 public:
  EntryCommand(RCShdPtr<PiMultivaluedInput> multi, RCShdPtr<PiInput> entry, std::size_t index, bool add)
      : _multi(std::move(multi)), _entry(std::move(entry)), _index(index), _add(add) {}
  void redo() override { apply(_add); }
  void undo() override { apply(!_add); }

 private:
  void apply(bool add) {
    auto& children = A::children(*_multi);
    auto at = children.begin() + static_cast<std::ptrdiff_t>(_index);
    if (add) {
      children.insert(at, _entry);
      A::parent(*_entry) = std::static_pointer_cast<PiCompositeInput>(_multi.shared());
    } else {
      QX_ASSERT(_index < children.size() && children[_index] == _entry);
      children.erase(at);
      A::parent(*_entry).reset();
    }
    PiGraphEvent e{add ? PiGraphEvent::EntryAdded : PiGraphEvent::EntryRemoved, nullptr, {}, _multi, _entry, {}, {}, {}};
    e.from = e.to = _index;
    emitFor(_multi->getNode(), e);
  }
  RCShdPtr<PiMultivaluedInput> _multi;
  RCShdPtr<PiInput> _entry;
  std::size_t _index;
  bool _add;
};

class MoveEntryCommand : public PiCommand {
 public:
  MoveEntryCommand(RCShdPtr<PiMultivaluedInput> multi, std::size_t from, std::size_t to)
      : _multi(std::move(multi)), _from(from), _to(to) {}
  void redo() override { move(_from, _to); }
  void undo() override { move(_to, _from); }

 private:
  void move(std::size_t from, std::size_t to) {
    auto& c = A::children(*_multi);
    RCShdPtr<PiInput> entry = c[from];
    if (from < to) std::rotate(c.begin() + from, c.begin() + from + 1, c.begin() + to + 1);
    else std::rotate(c.begin() + to, c.begin() + from, c.begin() + from + 1);
    PiGraphEvent e{PiGraphEvent::EntryMoved, nullptr, {}, _multi, entry, {}, {}, {}};
    e.from = from;
    e.to = to;
    emitFor(_multi->getNode(), e);
  }
  RCShdPtr<PiMultivaluedInput> _multi;
  std::size_t _from, _to;
};

// --- walking sockets ------------------------------------------------------

template <class F>
void forEachLeaf(PiInput& in, F&& f) {
  if (in.isComposite()) {
    for (auto const& c : static_cast<PiCompositeInput&>(in).getInputs()) forEachLeaf(*c, f);
  } else {
    f(in);
  }
}

// Every leaf input of a graph's nodes, the group's output boundaries
// included (the inside of groups excluded: that is another graph).
template <class F>
void forEachLeafOf(PiGraph const& g, F&& f) {
  for (auto const& n : g.getNodes())
    for (auto const& in : n->getInputs()) forEachLeaf(*in, f);
  for (auto const& n : g.getOutputBoundaryNodes())
    for (auto const& in : n->getInputs()) forEachLeaf(*in, f);
}

bool isWithin(PiInput const* in, PiInput const* root) {
  for (RCShdPtr<PiInput> p; in; in = p.get()) {
    if (in == root) return true;
    p = in->getParent();
  }
  return false;
}

// A socket in the dependency graph: an input depends on its source; an
// output on the input it carries, on the group output boundary it stands
// for, or on every leaf of the node computing it.
struct Socket {
  void const* p;
  bool input;
  bool operator==(Socket const&) const = default;
};
struct SocketHash {
  std::size_t operator()(Socket const& s) const { return std::hash<void const*>()(s.p) ^ (s.input ? 1u : 0u); }
};

template <class F>
void forEachDependency(Socket s, F&& f) {
  if (s.input) {
    auto const* in = static_cast<PiInput const*>(s.p);
    if (in->isConnected()) f(Socket{in->getSource().get(), false});
    return;
  }
  auto const* out = static_cast<PiOutput const*>(s.p);
  if (RCShdPtr<PiInput> carried = out->getCarriedInput()) {
    f(Socket{carried.get(), true});
    return;
  }
  RCShdPtr<PiNode> node = out->getNode();
  if (node.isNull()) return;
  if (node->isGroup()) {
    if (RCShdPtr<PiNode> b = node->getInnerGraph()->getOutputBoundaryNode(out->getName()))
      f(Socket{b->getInputs().front().get(), true});
    return;
  }
  for (auto const& in : node->getInputs()) forEachLeaf(*in, [&](PiInput& leaf) { f(Socket{&leaf, true}); });
}

bool dependsOn(PiOutput const& output, PiInput const& input) {
  std::vector<Socket> todo{Socket{&output, false}};
  std::unordered_set<Socket, SocketHash> seen;
  while (!todo.empty()) {
    Socket s = todo.back();
    todo.pop_back();
    if (s.input && s.p == &input) return true;
    if (!seen.insert(s).second) continue;
    forEachDependency(s, [&](Socket d) { todo.push_back(d); });
  }
  return false;
}

RCShdPtr<const PiTool> boundaryTool(bool input) {
  auto make = [](char const* name) {
    auto p = makeRC<PiToolProtocolImp>([](PiToolPolicyDescriptor&) {},
                                       [] { return makeRC<PiNodeController>(); });
    p->setName(name);
    p->setVisibility(0);
    return makeRC<const PiTool>(p, PiToolPolicyDescriptor(), name);
  };
  static RCShdPtr<const PiTool> const in = make("Group Input"), out = make("Group Output");
  return input ? in : out;
}

std::string quoted(std::string const& s) { return "\"" + s + "\""; }

// The value as `type`; the owner's description is built only for a message.
template <class Owner>
PiValueData as(PiValueData v, int type, Owner const& owner) {
  if (v.getType() == type) return v;
  return v.convertedTo(type, owner.describe());
}

}  // namespace

// --- PiValue ------------------------------------------------------------------

PiValue::PiValue(std::string name, int type, PiValueData initial, PiValueData factory,
                 RCShdPtr<const PiInputPolicy> policy, bool resettable)
    : _name(std::move(name)), _curve(initial.convertedTo(type, _name)), _factory(std::move(factory)),
      _policy(std::move(policy)), _resettable(resettable) {}

std::string PiValue::describe() const {
  if (RCShdPtr<PiInput> in = getInput()) return in->describe();
  RCShdPtr<PiNode> n = getNode();
  return (n ? "node " + quoted(n->getName()) + " " : std::string()) + "value " + quoted(_name);
}

PiValueData PiValue::getValueAt(double time) const {
  RCShdPtr<PiInput> in = getInput();
  if (in && in->isConnected()) return in->getValueAt(time);
  return _curve.evaluate(time);
}

bool PiValue::getBool(double t) const { return as(getValueAt(t), PI_BOOL, *this).getBool(); }
int PiValue::getInt(double t) const { return as(getValueAt(t), PI_INT, *this).getInt(); }
double PiValue::getDouble(double t) const { return as(getValueAt(t), PI_DOUBLE, *this).getDouble(); }
std::string PiValue::getString(double t) const { return as(getValueAt(t), PI_STRING, *this).getString(); }
PiColor PiValue::getColor(double t) const { return as(getValueAt(t), PI_COLOR, *this).getColor(); }

PiValueData PiValue::validated(PiValueData const& v) const {
  if (!_policy.isNull()) return _policy->validate(v, describe()).convertedTo(getType(), describe());
  return v.convertedTo(getType(), describe());
}

void PiValue::apply(PiAnimCurve next, char const* editName) {
  if (next == _curve) return;
  RCShdPtr<PiNode> n = getNode();
  RCShdPtr<PiGraph> g = n ? n->getGraph() : RCShdPtr<PiGraph>();
  PiCommandStack::push(g ? g->getCommandStack() : nullptr,
                       std::make_unique<CurveCommand>(RCShdPtr<PiValue>(shared_from_this()), _curve, std::move(next)),
                       editName);
}

void PiValue::setValue(PiValueData const& v) {
  PiAnimCurve next = _curve;
  next.makeConstant(validated(v), describe());
  apply(std::move(next), "Set Value");
}

void PiValue::setValueAt(double time, PiValueData const& v) {
  if (!isAnimated()) return setValue(v);
  // A new key takes the interpolation of the key before it (or the first).
  auto const& keys = _curve.getKeys();
  auto it = std::upper_bound(keys.begin(), keys.end(), time, [](double t, PiKey const& k) { return t < k.time; });
  PiInterpolation const interp = (it == keys.begin() ? keys.front() : *(it - 1)).interpolation;
  setKey(time, v, interp);
}

void PiValue::setKey(double time, PiValueData const& v, PiInterpolation interpolation) {
  if (!_policy.isNull() && !_policy->isAnimatable()) throw std::logic_error(describe() + " takes no keys");
  if (!_policy.isNull() && _policy->isStepped()) interpolation = PiInterpolation::Hold;
  PiAnimCurve next = _curve;
  next.setKey(PiKey{time, validated(v), interpolation}, describe());
  apply(std::move(next), "Set Key");
}

void PiValue::removeKey(double time) {
  PiAnimCurve next = _curve;
  if (next.removeKey(time)) apply(std::move(next), "Remove Key");
}

void PiValue::setAnimation(PiAnimCurve const& curve) {
  PiAnimCurve next(validated(curve.getConstant()));
  if (curve.isAnimated() && !_policy.isNull() && !_policy->isAnimatable())
    throw std::logic_error(describe() + " takes no keys");
  bool const stepped = !_policy.isNull() && _policy->isStepped();
  for (PiKey k : curve.getKeys()) {
    k.value = validated(k.value);
    if (stepped) k.interpolation = PiInterpolation::Hold;
    next.setKey(std::move(k), describe());
  }
  apply(std::move(next), "Set Animation");
}

void PiValue::reset() {
  if (!_resettable) return;
  PiAnimCurve next(_factory.convertedTo(getType(), describe()));
  apply(std::move(next), "Reset");
}

// --- PiOutput -----------------------------------------------------------------

RCShdPtr<PiInput> PiOutput::getForwardedInput() const {
  if (RCShdPtr<PiInput> carried = getCarriedInput()) return carried;
  RCShdPtr<PiNode> node = getNode();
  if (node.isNull() || !node->isGroup()) return RCShdPtr<PiInput>();
  RCShdPtr<PiNode> boundary = node->getInnerGraph()->getOutputBoundaryNode(_name);
  return boundary ? boundary->getInputs().front() : RCShdPtr<PiInput>();
}

// --- PiInput ------------------------------------------------------------------

int PiInput::getType() const { return isMultivalued() ? PiSocketDecl::kStructure : _decl->getType(); }

RCShdPtr<PiCompositeInput> PiInput::getParent() const { return RCShdPtr<PiCompositeInput>(_parent.lock()); }

std::string PiInput::getPath() const {
  // Segments from this input up; an entry is named by its index.
  std::string path;
  RCShdPtr<PiInput const> in(shared_from_this());
  for (RCShdPtr<PiCompositeInput> p = getParent();; in = p, p = p->getParent()) {
    std::string const seg = p && p->isMultivalued() ? std::to_string(p->indexOf(in.get())) : in->getName();
    path = path.empty() ? seg : seg + "/" + path;
    if (!p) return path;
  }
}

std::string PiInput::describe() const {
  RCShdPtr<PiNode> n = getNode();
  return (n ? "node " + quoted(n->getName()) + " " : std::string()) + "input " + quoted(getPath());
}

PiValue& PiInput::checkedValue() const {
  if (_value.isNull()) throw std::logic_error(describe() + " holds no value");
  return *_value;
}

RCShdPtr<PiOutput> PiInput::getCarrierOutput() {
  QX_ASSERT(!isComposite());
  if (_carrier.isNull()) {
    _carrier = makeRC<PiOutput>(getName(), getType());
    _carrier->_node = _node;
    _carrier->_carried = weak_from_this();
  }
  return _carrier;
}

PiValueData PiInput::getValueAt(double time) const {
  RCShdPtr<PiInput> hold;  // keeps the input reached alive
  PiInput const* in = this;
  // Connections are acyclic, so the walk ends; the bound guards the invariant.
  for (int hops = 0; in->_source; ++hops) {
    QX_ASSERT(hops < 1000000);
    RCShdPtr<PiInput> next = in->_source->getForwardedInput();
    if (next.isNull()) break;
    hold = next;
    in = hold.get();
  }
  // Connected inputs have one type, so the followed value needs no conversion.
  return in->checkedValue()._curve.evaluate(time);
}

bool PiInput::getBool(double time) const { return as(getValueAt(time), PI_BOOL, *this).getBool(); }
int PiInput::getInt(double time) const { return as(getValueAt(time), PI_INT, *this).getInt(); }
double PiInput::getDouble(double time) const { return as(getValueAt(time), PI_DOUBLE, *this).getDouble(); }
std::string PiInput::getString(double time) const { return as(getValueAt(time), PI_STRING, *this).getString(); }
void PiInput::setValue(PiValueData const& v) { checkedValue().setValue(v); }
void PiInput::setValueAt(double time, PiValueData const& v) { checkedValue().setValueAt(time, v); }
void PiInput::setKey(double time, PiValueData const& v, PiInterpolation i) { checkedValue().setKey(time, v, i); }

// --- PiCompositeInput ---------------------------------------------------------

int PiCompositeInput::indexOf(PiInput const* child) const {
  for (std::size_t i = 0; i < _children.size(); ++i)
    if (_children[i].get() == child) return static_cast<int>(i);
  return -1;
}

RCShdPtr<PiInput> PiCompositeInput::getInput(std::string const& path) const {
  std::size_t const slash = path.find('/');
  std::string const seg = path.substr(0, slash);
  RCShdPtr<PiInput> child;
  if (isMultivalued()) {
    if (seg.empty() || seg.size() > 9 || !std::all_of(seg.begin(), seg.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
      return child;
    child = getInput(static_cast<std::size_t>(std::stoul(seg)));
  } else {
    for (auto const& c : _children)
      if (c->getName() == seg) child = c;
  }
  if (child.isNull() || slash == std::string::npos) return child;
  if (!child->isComposite()) return RCShdPtr<PiInput>();
  return static_cast<PiCompositeInput const&>(*child).getInput(path.substr(slash + 1));
}

// --- PiMultivaluedInput -------------------------------------------------------

RCShdPtr<PiInput> PiMultivaluedInput::addEntry() { return insertEntry(_children.size()); }

RCShdPtr<PiInput> PiMultivaluedInput::insertEntry(std::size_t index) {
  if (index > _children.size())
    throw std::out_of_range(describe() + ": no entry position " + std::to_string(index) + " among " +
                            std::to_string(_children.size()));
  RCShdPtr<PiNode> node = getNode();
  if (node.isNull()) throw std::logic_error(describe() + " belongs to no node");
  RCShdPtr<PiMultivaluedInput> self = rcCheckedCast<PiMultivaluedInput>(RCShdPtr<PiInput>(shared_from_this()));
  RCShdPtr<PiInput> entry = node->makeInput(*_decl, true, self);
  A::parent(*entry).reset();  // attached by the command
  RCShdPtr<PiGraph> g = node->getGraph();
  PiCommandStack::push(g ? g->getCommandStack() : nullptr, std::make_unique<EntryCommand>(self, entry, index, true),
                       "Add Entry");
  return entry;
}

void PiMultivaluedInput::removeEntry(std::size_t index) {
  if (index >= _children.size())
    throw std::out_of_range(describe() + ": no entry " + std::to_string(index) + " among " + std::to_string(_children.size()));
  RCShdPtr<PiNode> node = getNode();
  RCShdPtr<PiGraph> g = node ? node->getGraph() : RCShdPtr<PiGraph>();
  RCShdPtr<PiMultivaluedInput> self = rcCheckedCast<PiMultivaluedInput>(RCShdPtr<PiInput>(shared_from_this()));
  RCShdPtr<PiInput> entry = _children[index];
  PiUndoGuard guard("Remove Entry");
  if (g) {
    // Inputs following a field of the entry would follow nothing.
    std::vector<RCShdPtr<PiInput>> followers;
    forEachLeafOf(*g, [&](PiInput& in) {
      if (in.isConnected() && isWithin(in.getSource()->getCarriedInput().get(), entry.get()))
        followers.push_back(RCShdPtr<PiInput>(in.shared_from_this()));
    });
    for (auto const& f : followers)
      PiCommandStack::push(g->getCommandStack(), std::make_unique<ConnectCommand>(f, f->getSource(), RCShdPtr<PiOutput>()),
                           "Disconnect");
  }
  PiCommandStack::push(g ? g->getCommandStack() : nullptr, std::make_unique<EntryCommand>(self, entry, index, false),
                       "Remove Entry");
}

void PiMultivaluedInput::moveEntry(std::size_t from, std::size_t to) {
  if (from >= _children.size() || to >= _children.size())
    throw std::out_of_range(describe() + ": cannot move entry " + std::to_string(from) + " to " + std::to_string(to) +
                            " among " + std::to_string(_children.size()));
  if (from == to) return;
  RCShdPtr<PiNode> node = getNode();
  RCShdPtr<PiGraph> g = node ? node->getGraph() : RCShdPtr<PiGraph>();
  RCShdPtr<PiMultivaluedInput> self = rcCheckedCast<PiMultivaluedInput>(RCShdPtr<PiInput>(shared_from_this()));
  PiCommandStack::push(g ? g->getCommandStack() : nullptr, std::make_unique<MoveEntryCommand>(self, from, to),
                       "Move Entry");
}

// --- PiNode -------------------------------------------------------------------

PiNode::PiNode(RCShdPtr<const PiTool> tool, Role role) : _tool(std::move(tool)), _role(role) {
  if (_tool.isNull()) throw NullPointerException("PiTool");
  _name = _tool->getName();
}

PiNode::~PiNode() = default;

void PiNode::attach(RCShdPtr<PiInput> const& input, RCShdPtr<PiCompositeInput> const& parent) {
  input->_node = weak_from_this();
  input->_parent = parent.shared();
  if (input->_value) {
    input->_value->_node = weak_from_this();
    input->_value->_input = input.shared();
  }
}

RCShdPtr<PiInput> PiNode::makeInput(PiSocketDecl const& decl, bool entry, RCShdPtr<PiCompositeInput> const& parent) {
  RCShdPtr<PiInput> in;
  if (decl.isMultivalued() && !entry) {
    in = makeRC<PiMultivaluedInput>(&decl, false);
  } else if (decl.isStructure()) {
    auto c = makeRC<PiCompositeInput>(&decl, entry);
    for (PiSocketDecl const& f : decl.getFields()) c->_children.push_back(makeInput(f, false, c));
    in = c;
  } else {
    in = makeRC<PiInput>(&decl, entry);
    if (decl.getType() != PI_IMAGE) {
      PiValueData const def = decl.getDefaultValue();
      in->_value = makeRC<PiValue>(decl.getName(), decl.getType(), def, def, decl.getPolicy(), !decl.getPolicy().isNull());
    }
  }
  attach(in, parent);
  return in;
}

void PiNode::build() {
  PiToolPolicyDescriptor const& d = _tool->getDescriptor();
  for (PiSocketDecl const& decl : d.getInputs()) _inputs.push_back(makeInput(decl, false, RCShdPtr<PiCompositeInput>()));
  for (PiValueDecl const& v : d.getValues()) {
    auto value = makeRC<PiValue>(v.name, v.type, v.factoryValue, v.factoryValue, v.policy, true);
    value->_node = weak_from_this();
    _values.push_back(value);
  }
  for (PiOutputDecl const& o : d.getOutputs()) {
    auto out = makeRC<PiOutput>(o.name, o.type);
    out->_node = weak_from_this();
    _outputs.push_back(out);
  }
  _controller = _tool->createController();
  if (_controller.isNull()) throw std::logic_error("tool " + quoted(_tool->getName()) + " made no controller");
  _controller->_node = weak_from_this();
  if (!_tool->isGroupTool()) return;

  _inner = RCShdPtr<PiGraph>(std::shared_ptr<PiGraph>(new PiGraph()));
  _inner->_groupNode = weak_from_this();
  for (auto const& in : _inputs) {
    if (in->isComposite()) continue;
    RCShdPtr<PiNode> b(new PiNode(boundaryTool(true), Role::GroupInput));
    b->build();
    b->_name = in->getName();
    auto out = makeRC<PiOutput>(in->getName(), in->getType());
    out->_node = b.shared();
    out->_carried = in.shared();
    b->_outputs.push_back(out);
    b->_graph = _inner.shared();
    _inner->_inputBoundaries.push_back(b);
  }
  for (auto const& o : _outputs) {
    RCShdPtr<PiNode> b(new PiNode(boundaryTool(false), Role::GroupOutput));
    b->build();
    b->_name = o->getName();
    b->_boundaryDecl = std::make_unique<PiSocketDecl>(o->getName(), o->getType(), RCShdPtr<const PiInputPolicy>(), 0);
    b->_inputs.push_back(b->makeInput(*b->_boundaryDecl, false, RCShdPtr<PiCompositeInput>()));
    b->_graph = _inner.shared();
    _inner->_outputBoundaries.push_back(b);
  }
}

void PiNode::setName(std::string const& name) {
  if (RCShdPtr<PiGraph> g = getGraph()) return g->renameNode(RCShdPtr<PiNode>(shared_from_this()), name);
  if (name.empty()) throw std::invalid_argument("node " + quoted(_name) + ": a node needs a name");
  _name = name;
}

RCShdPtr<PiInput> PiNode::getInput(std::string const& path) const {
  std::size_t const slash = path.find('/');
  std::string const seg = path.substr(0, slash);
  for (auto const& in : _inputs) {
    if (in->getName() != seg) continue;
    if (slash == std::string::npos) return in;
    if (!in->isComposite()) return RCShdPtr<PiInput>();
    return static_cast<PiCompositeInput const&>(*in).getInput(path.substr(slash + 1));
  }
  return RCShdPtr<PiInput>();
}

RCShdPtr<PiInput> PiNode::getPrimaryImageInput() const {
  RCShdPtr<PiInput> single;
  for (auto const& in : _inputs) {
    if (!in->isImage() || in->isMultivalued()) continue;
    auto policy = rcDynamicCast<const PiImageInputPolicy>(in->getPolicy());
    if (policy && policy->isPrimary()) return in;
    if (in->getName() == PiImageModifier::getSingleInputName()) single = in;
  }
  return single;
}

RCShdPtr<PiValue> PiNode::getValue(std::string const& name) const {
  for (auto const& v : _values)
    if (v->getName() == name) return v;
  return RCShdPtr<PiValue>();
}

RCShdPtr<PiOutput> PiNode::getOutput(std::string const& name) const {
  for (auto const& o : _outputs)
    if (o->getName() == name) return o;
  return RCShdPtr<PiOutput>();
}

// --- PiGraph ------------------------------------------------------------------

RCShdPtr<PiGraph> PiGraph::create() {
  RCShdPtr<PiGraph> g(std::shared_ptr<PiGraph>(new PiGraph()));
  g->_stack = std::make_unique<PiCommandStack>();
  return g;
}

PiGraph::~PiGraph() = default;

RCShdPtr<PiNode> PiGraph::findNode(unsigned id) const {
  for (auto const& n : _nodes)
    if (n->getId() == id) return n;
  return RCShdPtr<PiNode>();
}

RCShdPtr<PiNode> PiGraph::findNode(std::string const& name) const {
  for (auto const& n : _nodes)
    if (n->getName() == name) return n;
  return RCShdPtr<PiNode>();
}

bool PiGraph::contains(PiNode const& node) const { return node._graph.lock().get() == this && !node.isBoundaryNode(); }

RCShdPtr<PiGraph> PiGraph::getRoot() const {
  PiGraph const* g = this;
  while (true) {
    if (g->_stack) return RCShdPtr<PiGraph>(std::const_pointer_cast<PiGraph>(g->shared_from_this()));
    RCShdPtr<PiNode> group = g->getGroupNode();
    RCShdPtr<PiGraph> up = group ? group->getGraph() : RCShdPtr<PiGraph>();
    if (up.isNull()) return RCShdPtr<PiGraph>();
    g = up.get();
  }
}

PiCommandStack* PiGraph::getCommandStack() const {
  RCShdPtr<PiGraph> root = getRoot();
  return root ? root->_stack.get() : nullptr;
}

bool PiGraph::isLoading() const {
  RCShdPtr<PiGraph> root = getRoot();
  return root && root->_loading > 0;
}

bool PiGraph::isEditable() const {
  RCShdPtr<PiNode> group = getGroupNode();
  if (group.isNull()) return true;
  auto const* gi = dynamic_cast<PiGroupInterface const*>(group->getController().get());
  return !gi || gi->isEditable();
}

void PiGraph::checkEditable(char const* what) const {
  if (isLoading() || isEditable()) return;
  throw std::logic_error(std::string("cannot ") + what + " group " + quoted(getGroupNode()->getName()) +
                         ": it is not editable");
}

void PiGraph::checkMember(PiNode const& node, char const* what) const {
  if (!contains(node))
    throw std::invalid_argument("cannot " + std::string(what) + " node " + quoted(node.getName()) +
                                ": it is not a node of this graph");
}

void PiGraph::emit(PiGraphEvent const& e) {
  RCShdPtr<PiGraph> root = getRoot();
  if (root.isNull() || root->_loading > 0) return;
  switch (e.kind) {
    case PiGraphEvent::NodeAdded:
    case PiGraphEvent::NodeRemoved:
    case PiGraphEvent::NodeRenamed:
      if (RCShdPtr<PiNode> group = getGroupNode())
        if (auto* gi = dynamic_cast<PiGroupInterface*>(group->getController().get()))
          PiCommandStack::callObserver([&] {
            if (e.kind == PiGraphEvent::NodeAdded) gi->nodeAdded(e.node);
            else if (e.kind == PiGraphEvent::NodeRemoved) gi->nodeRemoved(e.node);
            else gi->nodeRenamed(e.node, e.oldName);
          });
      break;
    case PiGraphEvent::ValueChanged:
      if (auto* vi = dynamic_cast<PiValueChangeInterface*>(e.node->getController().get()))
        PiCommandStack::callObserver([&] { vi->valueChanged(e.value); });
      break;
    default:
      if (auto* ti = dynamic_cast<PiTopologyInterface*>(e.node->getController().get())) {
        PiCommandStack::callObserver([&] {
          auto composite = rcDynamicCast<PiCompositeInput>(e.input);
          unsigned const from = static_cast<unsigned>(e.from), to = static_cast<unsigned>(e.to);
          switch (e.kind) {
            case PiGraphEvent::InputConnected: ti->inputConnected(e.input); break;
            case PiGraphEvent::InputDisconnected: ti->inputDisconnected(e.input, e.output); break;
            case PiGraphEvent::EntryAdded: ti->inputAddedToComposite(composite, e.entry, from); break;
            case PiGraphEvent::EntryRemoved: ti->inputRemovedFromComposite(composite, e.entry, from); break;
            case PiGraphEvent::EntryMoved: ti->inputMovedInComposite(composite, e.entry, from, to); break;
            default: break;
          }
        });
      }
  }
  PiCommandStack::callObserver([&] { root->_events.call(e); });
}

void PiGraph::addNodeCommand(RCShdPtr<PiNode> const& node, char const* editName) {
  if (node->_id == 0) node->_id = _nextId++;
  PiCommandStack::push(getCommandStack(),
                       std::make_unique<NodeListCommand>(RCShdPtr<PiGraph>(shared_from_this()), node, _nodes.size(), true),
                       editName);
}

RCShdPtr<PiNode> PiGraph::createNode(RCShdPtr<const PiTool> const& tool, std::string const& name) {
  if (tool.isNull()) throw NullPointerException("PiTool");
  checkEditable("create a node in");
  PiUndoGuard guard("Create " + tool->getName());
  RCShdPtr<PiNode> node(new PiNode(tool));
  node->build();
  if (!name.empty()) node->_name = name;
  addNodeCommand(node, "Create Node");
  node->_controller->nodeCreated();
  return node;
}

RCShdPtr<PiNode> PiGraph::createNode(std::string const& toolName, std::string const& name) {
  RCShdPtr<const PiTool> tool = PiToolRegistry::getInstance().findTool(toolName);
  if (tool.isNull()) throw std::invalid_argument("no tool named " + quoted(toolName) + " is registered");
  return createNode(tool, name);
}

void PiGraph::removeNode(RCShdPtr<PiNode> const& node) {
  checkMember(*node, "remove");
  checkEditable("remove a node of");
  PiUndoGuard guard("Remove " + node->getName());
  std::vector<RCShdPtr<PiInput>> followers;
  forEachLeafOf(*this, [&](PiInput& in) {
    if (in.isConnected() && in.getSource()->getNode() == node) followers.push_back(RCShdPtr<PiInput>(in.shared_from_this()));
  });
  for (auto const& f : followers)
    PiCommandStack::push(getCommandStack(), std::make_unique<ConnectCommand>(f, f->getSource(), RCShdPtr<PiOutput>()),
                         "Disconnect");
  auto it = std::find(_nodes.begin(), _nodes.end(), node);
  PiCommandStack::push(getCommandStack(),
                       std::make_unique<NodeListCommand>(RCShdPtr<PiGraph>(shared_from_this()), node,
                                                         static_cast<std::size_t>(it - _nodes.begin()), false),
                       "Remove Node");
}

void PiGraph::renameNode(RCShdPtr<PiNode> const& node, std::string const& name) {
  checkMember(*node, "rename");
  if (name.empty()) throw std::invalid_argument("node " + quoted(node->getName()) + ": a node needs a name");
  checkEditable("rename a node of");
  if (name == node->getName()) return;
  PiCommandStack::push(getCommandStack(), std::make_unique<RenameCommand>(node, node->getName(), name), "Rename Node");
}

void PiGraph::connect(RCShdPtr<PiInput> const& input, RCShdPtr<PiOutput> const& output) {
  if (input.isNull()) throw NullPointerException("PiInput");
  if (output.isNull()) throw NullPointerException("PiOutput");
  auto attached = [this](PiInput const& in) {
    RCShdPtr<PiNode> n = in.getNode();
    if (n.isNull() || n->_graph.lock().get() != this) return false;
    PiInput const* top = &in;
    for (RCShdPtr<PiCompositeInput> p = in.getParent(); p; p = p->getParent()) {
      if (p->indexOf(top) < 0) return false;
      top = p.get();
    }
    return std::any_of(n->_inputs.begin(), n->_inputs.end(), [&](auto const& i) { return i.get() == top; });
  };
  if (input->isComposite()) throw std::invalid_argument(input->describe() + ": a structure cannot be connected");
  if (!attached(*input)) throw std::invalid_argument(input->describe() + " is not an input of this graph");
  RCShdPtr<PiNode> source = output->getNode();
  RCShdPtr<PiInput> carried = output->getCarriedInput();
  if (source.isNull() || source->_graph.lock().get() != this || (carried && source->getRole() == PiNode::Role::Plain && !attached(*carried)))
    throw std::invalid_argument(input->describe() + ": output " + quoted(output->getName()) +
                                " is not an output of this graph");
  if (input->getType() != output->getType())
    throw std::invalid_argument(input->describe() + " (" + piValueTypeName(input->getType()) + ") cannot take output " +
                                quoted(output->getName()) + " of node " + quoted(source->getName()) + " (" +
                                piValueTypeName(output->getType()) + ")");
  checkEditable("connect inputs in");
  if (input->getSource() == output) return;
  if (!isLoading() && dependsOn(*output, *input))
    throw std::invalid_argument(input->describe() + ": taking output " + quoted(output->getName()) + " of node " +
                                quoted(source->getName()) + " would make it depend on itself");
  PiCommandStack::push(getCommandStack(), std::make_unique<ConnectCommand>(input, input->getSource(), output), "Connect");
}

void PiGraph::disconnect(RCShdPtr<PiInput> const& input) {
  if (input.isNull()) throw NullPointerException("PiInput");
  if (!input->isConnected()) return;
  checkEditable("disconnect inputs in");
  PiCommandStack::push(getCommandStack(), std::make_unique<ConnectCommand>(input, input->getSource(), RCShdPtr<PiOutput>()),
                       "Disconnect");
}

std::vector<RCShdPtr<PiInput>> PiGraph::getFollowers(PiOutput const& output) const {
  std::vector<RCShdPtr<PiInput>> out;
  forEachLeafOf(*this, [&](PiInput& in) {
    if (in.getSource().get() == &output) out.push_back(RCShdPtr<PiInput>(in.shared_from_this()));
  });
  return out;
}

RCShdPtr<PiNode> PiGraph::getInputBoundaryNode(std::string const& name) const {
  for (auto const& b : _inputBoundaries)
    if (b->getName() == name) return b;
  return RCShdPtr<PiNode>();
}

RCShdPtr<PiNode> PiGraph::getOutputBoundaryNode(std::string const& name) const {
  for (auto const& b : _outputBoundaries)
    if (b->getName() == name) return b;
  return RCShdPtr<PiNode>();
}

// --- copies -------------------------------------------------------------------

namespace {

struct CloneMaps {
  std::unordered_map<PiNode const*, PiNode*> nodes;
  std::unordered_map<PiInput const*, PiInput*> leaves;
  std::vector<std::pair<PiInput const*, PiInput*>> order;
};

}  // namespace

RCShdPtr<PiNode> PiGraph::cloneNode(PiNode const& src, PiGraph& target) {
  CloneMaps maps;
  // Copies the state of `from` into the freshly built `to`, recursively.
  std::function<void(PiNode const&, PiNode&)> copyNodeState;
  std::function<void(PiInput const&, PiInput&)> copyInput = [&](PiInput const& from, PiInput& to) {
    if (from.isMultivalued()) {
      auto& dst = static_cast<PiCompositeInput&>(to);
      RCShdPtr<PiNode> owner = to.getNode();
      for (auto const& e : static_cast<PiCompositeInput const&>(from).getInputs()) {
        RCShdPtr<PiInput> ne = owner->makeInput(to.getDeclaration(), true,
                                                RCShdPtr<PiCompositeInput>(std::static_pointer_cast<PiCompositeInput>(to.shared_from_this())));
        dst._children.push_back(ne);
        copyInput(*e, *ne);
      }
    } else if (from.isComposite()) {
      auto const& a = static_cast<PiCompositeInput const&>(from).getInputs();
      auto const& b = static_cast<PiCompositeInput&>(to).getInputs();
      for (std::size_t i = 0; i < a.size(); ++i) copyInput(*a[i], *b[i]);
    } else {
      if (from._value) to._value->_curve = from._value->_curve;
      maps.leaves[&from] = &to;
      maps.order.emplace_back(&from, &to);
    }
  };
  copyNodeState = [&](PiNode const& from, PiNode& to) {
    maps.nodes[&from] = &to;
    to._name = from._name;
    for (std::size_t i = 0; i < from._values.size(); ++i) to._values[i]->_curve = from._values[i]->_curve;
    for (std::size_t i = 0; i < from._inputs.size(); ++i) copyInput(*from._inputs[i], *to._inputs[i]);
    if (!from.isGroup()) return;
    PiGraph const& gi = *from._inner;
    PiGraph& go = *to._inner;
    for (std::size_t i = 0; i < gi._inputBoundaries.size(); ++i)
      maps.nodes[gi._inputBoundaries[i].get()] = go._inputBoundaries[i].get();
    for (std::size_t i = 0; i < gi._outputBoundaries.size(); ++i)
      copyNodeState(*gi._outputBoundaries[i], *go._outputBoundaries[i]);
    for (auto const& n : gi._nodes) {
      RCShdPtr<PiNode> c(new PiNode(n->_tool));
      c->build();
      c->_id = n->_id;
      c->_graph = go.shared_from_this();
      go._nodes.push_back(c);
      copyNodeState(*n, *c);
    }
    go._nextId = gi._nextId;
  };

  RCShdPtr<PiNode> copy(new PiNode(src._tool));
  copy->build();
  copyNodeState(src, *copy);

  // Connections: within the copy they follow the copy; to the outside they
  // are kept when the source is a node of the target graph.
  for (auto const& [from, to] : maps.order) {
    RCShdPtr<PiOutput> const& s = from->_source;
    if (s.isNull()) continue;
    RCShdPtr<PiNode> sn = s->getNode();
    auto mapped = sn ? maps.nodes.find(sn.get()) : maps.nodes.end();
    if (mapped != maps.nodes.end()) {
      PiNode* m = mapped->second;
      RCShdPtr<PiInput> carried = s->getCarriedInput();
      if (carried && sn->getRole() == PiNode::Role::Plain) {
        auto leaf = maps.leaves.find(carried.get());
        if (leaf != maps.leaves.end()) to->_source = leaf->second->getCarrierOutput();
      } else {
        to->_source = m->getOutput(s->getName());
      }
    } else if (sn && sn->_graph.lock().get() == &target) {
      to->_source = s;
    }
  }
  return copy;
}

RCShdPtr<PiNode> PiGraph::copyNode(RCShdPtr<PiNode> const& node) {
  if (node.isNull()) throw NullPointerException("PiNode");
  if (node->isBoundaryNode()) throw std::invalid_argument("node " + quoted(node->getName()) + " belongs to its group");
  checkEditable("copy a node into");
  PiUndoGuard guard("Copy " + node->getName());
  RCShdPtr<PiNode> copy = cloneNode(*node, *this);
  addNodeCommand(copy, "Copy Node");
  if (copy->isGroup()) copy->_inner->notifyLoaded();
  copy->_controller->nodeLoaded();
  return copy;
}

// --- loading ------------------------------------------------------------------

PiGraph::LoadScope::LoadScope(PiGraph& root) : _root(root) {
  QX_ASSERT(root._stack != nullptr);
  ++_root._loading;
}

PiGraph::LoadScope::~LoadScope() { --_root._loading; }

RCShdPtr<PiNode> PiGraph::createLoadedNode(RCShdPtr<const PiTool> const& tool, unsigned id, std::string const& name) {
  QX_ASSERT(isLoading());
  QX_ASSERT(id != 0 && findNode(id).isNull());
  RCShdPtr<PiNode> node(new PiNode(tool));
  node->build();
  node->_id = id;
  node->_name = name;
  node->_graph = shared_from_this();
  _nodes.push_back(node);
  _nextId = std::max(_nextId, id + 1);
  return node;
}

std::string PiGraph::checkAcyclic() const {
  // Depth-first search with three colours over inputs and outputs; an edge
  // to a socket still on the path closes a cycle.
  enum Colour { Open, Done };
  std::unordered_map<Socket, Colour, SocketHash> colour;
  std::string found;
  std::function<void(PiGraph const&)> visitGraph = [&](PiGraph const& g) {
    forEachLeafOf(g, [&](PiInput& start) {
      if (!found.empty() || colour.count(Socket{&start, true})) return;
      struct Frame {
        Socket s;
        std::vector<Socket> deps;
        std::size_t next = 0;
      };
      std::vector<Frame> path;
      auto push = [&](Socket s) {
        colour[s] = Open;
        Frame f{s, {}, 0};
        forEachDependency(s, [&](Socket d) { f.deps.push_back(d); });
        path.push_back(std::move(f));
      };
      push(Socket{&start, true});
      while (!path.empty() && found.empty()) {
        Frame& f = path.back();
        if (f.next == f.deps.size()) {
          colour[f.s] = Done;
          path.pop_back();
          continue;
        }
        Socket d = f.deps[f.next++];
        auto c = colour.find(d);
        if (c == colour.end()) push(d);
        else if (c->second == Open) {
          for (auto it = path.rbegin(); it != path.rend(); ++it)
            if (it->s.input) {
              found = static_cast<PiInput const*>(it->s.p)->describe() + " depends on itself";
              break;
            }
          if (found.empty()) found = "a connection cycle";
        }
      }
    });
    for (auto const& n : g._nodes)
      if (n->isGroup() && found.empty()) visitGraph(*n->_inner);
  };
  visitGraph(*this);
  return found;
}

void PiGraph::notifyLoaded() {
  for (auto const& n : std::vector<RCShdPtr<PiNode>>(_nodes)) {
    if (n->isGroup()) n->_inner->notifyLoaded();
    n->_controller->nodeLoaded();
  }
}
