// The JSON form of a node graph.
//
//   {"format": "qx-node-graph", "version": 1, "nodes": [NODE...]}
//   NODE   {"id": N, "name": S, "tool": S, "inputs": {NAME: INPUT...},
//           "values": {NAME: ANIM...}, "group": {"nodes": [NODE...],
//           "outputs": {NAME: LEAF...}}}               ("group": groups only)
//   INPUT  LEAF | {FIELD: INPUT...} (a structure) | [INPUT...] (entries)
//   LEAF   {"value": ANIM, "source": SOURCE}          (both optional)
//   ANIM   a constant (bool, number, string, [r, g, b, a]) |
//          {"keys": [[time, value, "linear" | "smooth" | "hold"]...]}
//   SOURCE {"node": N, "output": S}   an output the node computes
//          {"node": N, "input": PATH} the carrier of one of its inputs
//          {"boundary": S}            the group input of that name, inside
#include "framework/piGraphDocument.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <set>
#include <sstream>
#include <string_view>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "pluginAPI/piNodeController.h"

namespace {

using Json = nlohmann::json;
constexpr char const* kFormat = "qx-node-graph";
constexpr int kVersion = 1;

std::string escape(std::string const& key) {
  std::string out;
  for (char c : key) {
    if (c == '~') out += "~0";
    else if (c == '/') out += "~1";
    else out += c;
  }
  return out;
}

std::string at(std::string const& path, std::string const& key) { return path + "/" + escape(key); }
std::string at(std::string const& path, std::size_t i) { return path + "/" + std::to_string(i); }

// --- saving -------------------------------------------------------------------

// Writes the document straight into a string: one pass, no tree, the layout
// fixed (one item per line, one space of indent per level; keys, colours and
// sources on one line). Doubles are written in their shortest form that
// reads back to the same bits, always with a point or an exponent so that
// they read back as doubles (and -0.0 keeps its sign).
class Writer {
 public:
  std::string take() { return std::move(_out); }

  void beginObject(bool inlined = false) { open('{', inlined); }
  void endObject() { close('}'); }
  void beginArray(bool inlined = false) { open('[', inlined); }
  void endArray() { close(']'); }
  void key(std::string const& k) {
    item();
    string(k);
    _out += ": ";
    _keyed = true;
  }

  void value(bool v) { item(), _out += v ? "true" : "false"; }
  void value(int v) { number(v); }
  void value(unsigned v) { number(v); }
  void value(double v) {
    item();
    char buf[32];
    char* end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    std::string_view text(buf, static_cast<std::size_t>(end - buf));
    _out += text;
    if (text.find_first_of(".e") == std::string_view::npos) _out += ".0";
  }
  void value(std::string const& v) { item(), string(v); }
  void value(char const* v) { value(std::string(v)); }

 private:
  struct Level {
    bool inlined;
    bool empty;
  };
  template <class T>
  void number(T v) {
    item();
    char buf[16];
    char* const end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    _out += std::string_view(buf, static_cast<std::size_t>(end - buf));
  }
  // Separator and indentation before an item (a key, or a value not after a key).
  void item() {
    if (_keyed) {
      _keyed = false;
      return;
    }
    if (_levels.empty()) return;
    Level& l = _levels.back();
    if (!l.empty) _out += l.inlined ? ", " : ",";
    if (!l.inlined) newline(_levels.size());
    l.empty = false;
  }
  void open(char c, bool inlined) {
    item();
    _out += c;
    _levels.push_back(Level{inlined || (!_levels.empty() && _levels.back().inlined), true});
  }
  void close(char c) {
    Level const l = _levels.back();
    _levels.pop_back();
    if (!l.empty && !l.inlined) newline(_levels.size());
    _out += c;
  }
  void newline(std::size_t depth) {
    _out += '\n';
    _out.append(depth, ' ');
  }
  // JSON string; bytes that are not UTF-8 become U+FFFD so that the
  // document stays readable.
  void string(std::string const& s) {
    _out += '"';
    for (std::size_t i = 0; i < s.size();) {
      unsigned char const c = static_cast<unsigned char>(s[i]);
      if (c == '"' || c == '\\') {
        _out += '\\';
        _out += static_cast<char>(c);
        ++i;
      } else if (c < 0x20) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        _out += buf;
        ++i;
      } else if (c < 0x80) {
        _out += static_cast<char>(c);
        ++i;
      } else {
        std::size_t const n = utf8Length(s, i);
        if (n == 0) {
          _out += "\xEF\xBF\xBD";
          ++i;
        } else {
          _out.append(s, i, n);
          i += n;
        }
      }
    }
    _out += '"';
  }
  // Length of the well-formed UTF-8 sequence at i, 0 when there is none.
  static std::size_t utf8Length(std::string const& s, std::size_t i) {
    unsigned char const c = static_cast<unsigned char>(s[i]);
    std::size_t const n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
    unsigned char const d = static_cast<unsigned char>(s[i + 1]);
    if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) || (c == 0xF4 && d > 0x8F))
      return 0;  // overlong, surrogate or beyond U+10FFFF
    return n;
  }

  std::string _out;
  std::vector<Level> _levels;
  bool _keyed = false;
};

void saveData(Writer& w, PiValueData const& v) {
  switch (v.getType()) {
    case PI_BOOL: return w.value(v.getBool());
    case PI_INT: return w.value(v.getInt());
    case PI_DOUBLE: return w.value(v.getDouble());
    case PI_STRING: return w.value(v.getString());
    default: {
      PiColor const& c = v.getColor();
      w.beginArray(true);
      for (double x : {c.r, c.g, c.b, c.a}) w.value(x);
      w.endArray();
    }
  }
}

void saveAnim(Writer& w, PiAnimCurve const& c) {
  if (!c.isAnimated()) return saveData(w, c.getConstant());
  w.beginObject();
  w.key("keys");
  w.beginArray();
  for (PiKey const& k : c.getKeys()) {
    w.beginArray(true);
    w.value(k.time);
    saveData(w, k.value);
    w.value(piInterpolationName(k.interpolation));
    w.endArray();
  }
  w.endArray();
  w.endObject();
}

void saveSource(Writer& w, PiOutput const& out) {
  RCShdPtr<PiNode> n = out.getNode();
  w.beginObject(true);
  if (n->getRole() == PiNode::Role::GroupInput) {
    w.key("boundary");
    w.value(out.getName());
  } else {
    w.key("node");
    w.value(n->getId());
    RCShdPtr<PiInput> carried = out.getCarriedInput();
    w.key(carried ? "input" : "output");
    w.value(carried ? carried->getPath() : out.getName());
  }
  w.endObject();
}

void saveInput(Writer& w, PiInput const& in) {
  if (in.isMultivalued()) {
    w.beginArray();
    for (auto const& e : static_cast<PiCompositeInput const&>(in).getInputs()) saveInput(w, *e);
    return w.endArray();
  }
  w.beginObject();
  if (in.isComposite()) {
    for (auto const& f : static_cast<PiCompositeInput const&>(in).getInputs()) {
      w.key(f->getName());
      saveInput(w, *f);
    }
    return w.endObject();
  }
  if (in.getValue()) {
    w.key("value");
    saveAnim(w, in.getValue()->getAnimation());
  }
  if (in.isConnected()) {
    w.key("source");
    saveSource(w, *in.getSource());
  }
  w.endObject();
}

void saveNodes(Writer& w, PiGraph const& g);

void saveNode(Writer& w, PiNode const& n) {
  w.beginObject();
  w.key("id");
  w.value(n.getId());
  w.key("name");
  w.value(n.getName());
  w.key("tool");
  w.value(n.getTool()->getName());
  w.key("inputs");
  w.beginObject();
  for (auto const& in : n.getInputs()) {
    w.key(in->getName());
    saveInput(w, *in);
  }
  w.endObject();
  w.key("values");
  w.beginObject();
  for (auto const& v : n.getValues()) {
    w.key(v->getName());
    saveAnim(w, v->getAnimation());
  }
  w.endObject();
  if (n.isGroup()) {
    w.key("group");
    w.beginObject();
    saveNodes(w, *n.getInnerGraph());
    w.key("outputs");
    w.beginObject();
    for (auto const& b : n.getInnerGraph()->getOutputBoundaryNodes()) {
      w.key(b->getName());
      saveInput(w, *b->getInputs().front());
    }
    w.endObject();
    w.endObject();
  }
  w.endObject();
}

void saveNodes(Writer& w, PiGraph const& g) {
  w.key("nodes");
  w.beginArray();
  for (auto const& n : g.getNodes()) saveNode(w, *n);
  w.endArray();
}

// --- loading ------------------------------------------------------------------

[[noreturn]] void fail(std::string const& where, std::string const& what) { throw PiDocumentError(where, what); }

char const* jsonKind(Json const& j) {
  switch (j.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::object: return "an object";
    case Json::value_t::array: return "an array";
    case Json::value_t::string: return "a string";
    case Json::value_t::boolean: return "a bool";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: return "an integer";
    case Json::value_t::number_float: return "a number";
    default: return "something else";
  }
}

void expect(bool ok, Json const& j, std::string const& where, char const* what) {
  if (!ok) fail(where, std::string("expected ") + what + ", found " + jsonKind(j));
}

Json const& member(Json const& obj, char const* key, std::string const& where) {
  auto it = obj.find(key);
  if (it == obj.end()) fail(where, std::string("missing \"") + key + "\"");
  return *it;
}

// Refuses keys other than `allowed`.
void onlyKeys(Json const& obj, std::initializer_list<char const*> allowed, std::string const& where) {
  for (auto it = obj.begin(); it != obj.end(); ++it) {
    bool known = false;
    for (char const* a : allowed) known = known || it.key() == a;
    if (!known) fail(at(where, it.key()), "unknown field");
  }
}

PiValueData loadData(Json const& j, int type, std::string const& where) {
  switch (type) {
    case PI_BOOL: expect(j.is_boolean(), j, where, "a bool"); return PiValueData(j.get<bool>());
    case PI_INT: {
      expect(j.is_number_integer(), j, where, "an integer");
      if (j.is_number_unsigned() ? j.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<int>::max())
                                 : (j.get<std::int64_t>() < std::numeric_limits<int>::min() ||
                                    j.get<std::int64_t>() > std::numeric_limits<int>::max()))
        fail(where, "integer out of range");
      return PiValueData(static_cast<int>(j.get<std::int64_t>()));
    }
    case PI_DOUBLE: expect(j.is_number(), j, where, "a number"); return PiValueData(j.get<double>());
    case PI_STRING: expect(j.is_string(), j, where, "a string"); return PiValueData(j.get<std::string>());
    case PI_COLOR: {
      expect(j.is_array() && j.size() == 4, j, where, "a colour [r, g, b, a]");
      double c[4];
      for (std::size_t i = 0; i < 4; ++i) {
        expect(j[i].is_number(), j[i], at(where, i), "a number");
        c[i] = j[i].get<double>();
      }
      return PiValueData(PiColor(c[0], c[1], c[2], c[3]));
    }
  }
  fail(where, "a value of unknown type");
}

PiAnimCurve loadAnim(Json const& j, int type, std::string const& where) {
  if (!j.is_object()) return PiAnimCurve(loadData(j, type, where));
  onlyKeys(j, {"keys"}, where);
  std::string const kw = at(where, "keys");
  Json const& keys = member(j, "keys", where);
  expect(keys.is_array() && !keys.empty(), keys, kw, "a non-empty array of keys");
  PiAnimCurve c(PiValueData::zero(type));
  double last = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    Json const& k = keys[i];
    std::string const w = at(kw, i);
    expect(k.is_array() && k.size() == 3, k, w, "a key [time, value, interpolation]");
    expect(k[0].is_number(), k[0], at(w, 0), "a time");
    double const t = k[0].get<double>();
    if (!(t > last)) fail(at(w, 0), "key times must increase");
    last = t;
    expect(k[2].is_string(), k[2], at(w, 2), "an interpolation name");
    PiInterpolation interp;
    if (!piInterpolationFromName(k[2].get<std::string>(), interp)) fail(at(w, 2), "unknown interpolation \"" + k[2].get<std::string>() + "\"");
    c.setKey(PiKey{t, loadData(k[1], type, at(w, 1)), interp}, w);
  }
  return c;
}

// Runs a graph edit; its refusal becomes a document error at `where`.
template <class F>
void edit(std::string const& where, F&& f) {
  try {
    f();
  } catch (PiDocumentError const&) {
    throw;
  } catch (std::exception const& e) {
    fail(where, e.what());
  }
}

struct PendingSource {
  RCShdPtr<PiGraph> graph;
  RCShdPtr<PiInput> input;
  Json const* source;
  std::string where;
};

class Loader {
 public:
  // Deeper nesting than any real composition has: a document that claims it
  // is refused before the loader's recursion could exhaust the stack.
  static constexpr int kMaxGroupDepth = 64;

  void loadGraph(Json const& obj, RCShdPtr<PiGraph> const& g, std::string const& where, int depth = 0) {
    if (depth > kMaxGroupDepth) fail(where, "groups nested deeper than " + std::to_string(kMaxGroupDepth));
    Json const& nodes = member(obj, "nodes", where);
    std::string const nw = at(where, "nodes");
    expect(nodes.is_array(), nodes, nw, "an array of nodes");
    for (std::size_t i = 0; i < nodes.size(); ++i) loadNode(nodes[i], g, at(nw, i), depth);
  }

  void resolve() {
    for (PendingSource const& p : _pending) {
      Json const& s = *p.source;
      expect(s.is_object(), s, p.where, "a source");
      RCShdPtr<PiOutput> out;
      if (s.contains("boundary")) {
        onlyKeys(s, {"boundary"}, p.where);
        Json const& b = s["boundary"];
        expect(b.is_string(), b, at(p.where, "boundary"), "a group input name");
        if (RCShdPtr<PiNode> bn = p.graph->getInputBoundaryNode(b.get<std::string>())) out = bn->getOutputs().front();
        else fail(at(p.where, "boundary"), "no group input \"" + b.get<std::string>() + "\" here");
      } else {
        onlyKeys(s, {"node", "output", "input"}, p.where);
        Json const& id = member(s, "node", p.where);
        expect(id.is_number_unsigned(), id, at(p.where, "node"), "a node id");
        RCShdPtr<PiNode> n = id.get<std::uint64_t>() > std::numeric_limits<unsigned>::max()
                                 ? RCShdPtr<PiNode>()
                                 : p.graph->findNode(static_cast<unsigned>(id.get<std::uint64_t>()));
        if (n.isNull()) fail(at(p.where, "node"), "no node with id " + id.dump() + " in this graph");
        if (s.contains("output") == s.contains("input")) fail(p.where, "a source names an \"output\" or an \"input\"");
        if (s.contains("output")) {
          Json const& o = s["output"];
          expect(o.is_string(), o, at(p.where, "output"), "an output name");
          out = n->getOutput(o.get<std::string>());
          if (out.isNull()) fail(at(p.where, "output"), "node " + id.dump() + " has no output \"" + o.get<std::string>() + "\"");
        } else {
          Json const& in = s["input"];
          expect(in.is_string(), in, at(p.where, "input"), "an input path");
          RCShdPtr<PiInput> carried = n->getInput(in.get<std::string>());
          if (carried.isNull() || carried->isComposite())
            fail(at(p.where, "input"), "node " + id.dump() + " has no input \"" + in.get<std::string>() + "\" to follow");
          out = carried->getCarrierOutput();
        }
      }
      edit(p.where, [&] { p.graph->connect(p.input, out); });
    }
  }

 private:
  void loadNode(Json const& j, RCShdPtr<PiGraph> const& g, std::string const& where, int depth) {
    expect(j.is_object(), j, where, "a node");
    onlyKeys(j, {"id", "name", "tool", "inputs", "values", "group"}, where);
    Json const& id = member(j, "id", where);
    expect(id.is_number_unsigned() && id.get<std::uint64_t>() > 0 &&
               id.get<std::uint64_t>() < std::numeric_limits<unsigned>::max(),
           id, at(where, "id"), "a positive node id");
    Json const& name = member(j, "name", where);
    expect(name.is_string() && !name.get<std::string>().empty(), name, at(where, "name"), "a non-empty name");
    Json const& toolName = member(j, "tool", where);
    expect(toolName.is_string(), toolName, at(where, "tool"), "a tool name");
    RCShdPtr<const PiTool> tool = PiToolRegistry::getInstance().findTool(toolName.get<std::string>());
    if (tool.isNull()) fail(at(where, "tool"), "unknown tool \"" + toolName.get<std::string>() + "\"");
    unsigned const nid = static_cast<unsigned>(id.get<std::uint64_t>());
    if (g->findNode(nid)) fail(at(where, "id"), "node id " + std::to_string(nid) + " is used twice");
    RCShdPtr<PiNode> node = g->createLoadedNode(tool, nid, name.get<std::string>());

    if (j.contains("values")) {
      Json const& values = j["values"];
      std::string const vw = at(where, "values");
      expect(values.is_object(), values, vw, "an object of values");
      for (auto it = values.begin(); it != values.end(); ++it) {
        RCShdPtr<PiValue> v = node->getValue(it.key());
        std::string const w = at(vw, it.key());
        if (v.isNull()) fail(w, "tool \"" + tool->getName() + "\" has no value \"" + it.key() + "\"");
        PiAnimCurve c = loadAnim(it.value(), v->getType(), w);
        edit(w, [&] { v->setAnimation(c); });
      }
    }
    if (j.contains("inputs")) {
      Json const& inputs = j["inputs"];
      std::string const iw = at(where, "inputs");
      expect(inputs.is_object(), inputs, iw, "an object of inputs");
      for (auto it = inputs.begin(); it != inputs.end(); ++it) {
        RCShdPtr<PiInput> in = node->getInput(it.key());
        if (in.isNull() || in->getName() != it.key())
          fail(at(iw, it.key()), "tool \"" + tool->getName() + "\" has no input \"" + it.key() + "\"");
        loadInput(it.value(), in, g, at(iw, it.key()));
      }
    }
    if (j.contains("group") != node->isGroup())
      fail(at(where, "group"), node->isGroup() ? "a group node needs its \"group\"" : "only group nodes have a \"group\"");
    if (node->isGroup()) {
      Json const& group = j["group"];
      std::string const gw = at(where, "group");
      expect(group.is_object(), group, gw, "a group");
      onlyKeys(group, {"nodes", "outputs"}, gw);
      loadGraph(group, node->getInnerGraph(), gw, depth + 1);
      if (group.contains("outputs")) {
        Json const& outs = group["outputs"];
        std::string const ow = at(gw, "outputs");
        expect(outs.is_object(), outs, ow, "an object of group outputs");
        for (auto it = outs.begin(); it != outs.end(); ++it) {
          RCShdPtr<PiNode> b = node->getInnerGraph()->getOutputBoundaryNode(it.key());
          if (b.isNull()) fail(at(ow, it.key()), "the group has no output \"" + it.key() + "\"");
          loadInput(it.value(), b->getInputs().front(), node->getInnerGraph(), at(ow, it.key()));
        }
      }
    }
  }

  void loadInput(Json const& j, RCShdPtr<PiInput> const& in, RCShdPtr<PiGraph> const& g, std::string const& where) {
    if (in->isMultivalued()) {
      expect(j.is_array(), j, where, "an array of entries");
      auto multi = rcCheckedCast<PiMultivaluedInput>(in);
      for (std::size_t i = 0; i < j.size(); ++i) loadInput(j[i], multi->addEntry(), g, at(where, i));
      return;
    }
    expect(j.is_object(), j, where, in->isComposite() ? "a structure" : "an input");
    if (in->isComposite()) {
      auto s = rcCheckedCast<PiCompositeInput>(in);
      for (auto it = j.begin(); it != j.end(); ++it) {
        RCShdPtr<PiInput> f;
        for (auto const& c : s->getInputs())
          if (c->getName() == it.key()) f = c;
        if (f.isNull()) fail(at(where, it.key()), "no field \"" + it.key() + "\" in " + in->describe());
        loadInput(it.value(), f, g, at(where, it.key()));
      }
      return;
    }
    onlyKeys(j, {"value", "source"}, where);
    if (j.contains("value")) {
      std::string const w = at(where, "value");
      if (!in->getValue()) fail(w, "an image input holds no value");
      PiAnimCurve c = loadAnim(j["value"], in->getValue()->getType(), w);
      edit(w, [&] { in->getValue()->setAnimation(c); });
    }
    if (j.contains("source")) _pending.push_back(PendingSource{g, in, &j["source"], at(where, "source")});
  }

  std::vector<PendingSource> _pending;
};

// nodeLoaded on every controller, insides first; a controller that cannot
// attach to what the document gave it makes the document bad.
void attachControllers(PiGraph const& g, std::string const& where) {
  for (std::size_t i = 0; i < g.getNodes().size(); ++i) {
    RCShdPtr<PiNode> n = g.getNodes()[i];
    std::string const w = at(at(where, "nodes"), i);
    if (n->isGroup()) attachControllers(*n->getInnerGraph(), at(w, "group"));
    edit(w, [&] { n->getController()->nodeLoaded(); });
  }
}

}  // namespace

std::string PiGraphDocument::save(PiGraph const& graph) {
  Writer w;
  w.beginObject();
  w.key("format");
  w.value(kFormat);
  w.key("version");
  w.value(kVersion);
  saveNodes(w, graph);
  w.endObject();
  return w.take() + "\n";
}

RCShdPtr<PiGraph> PiGraphDocument::load(std::string const& text) {
  Json doc;
  try {
    doc = Json::parse(text);
  } catch (Json::parse_error const& e) {
    fail("", std::string("not a JSON document (") + e.what() + ")");
  }
  expect(doc.is_object(), doc, "", "a graph document object");
  onlyKeys(doc, {"format", "version", "nodes"}, "");
  Json const& format = member(doc, "format", "");
  if (!format.is_string() || format.get<std::string>() != kFormat) fail("/format", std::string("expected \"") + kFormat + "\"");
  Json const& version = member(doc, "version", "");
  if (!version.is_number_integer() || version.get<std::int64_t>() != kVersion)
    fail("/version", "unsupported version " + version.dump() + " (this host reads " + std::to_string(kVersion) + ")");

  RCShdPtr<PiGraph> graph = PiGraph::create();
  {
    PiGraph::LoadScope scope(*graph);
    Loader loader;
    loader.loadGraph(doc, graph, "");
    loader.resolve();
    std::string const cycle = graph->checkAcyclic();
    if (!cycle.empty()) fail("/nodes", cycle);
    attachControllers(*graph, "");
  }
  return graph;
}

void PiGraphDocument::saveFile(PiGraph const& graph, std::string const& path) {
  std::string const text = save(graph);
  std::string const tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) throw std::runtime_error("cannot write \"" + tmp + "\"");
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    throw std::runtime_error("cannot replace \"" + path + "\"");
  }
}

RCShdPtr<PiGraph> PiGraphDocument::loadFile(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PiDocumentError("", "cannot read \"" + path + "\"");
  std::ostringstream text;
  text << in.rdbuf();
  return load(text.str());
}
