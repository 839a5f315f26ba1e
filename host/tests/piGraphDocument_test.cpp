// Saving and loading graphs against random edit histories, corrupt
// documents and mutated documents; user settings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include <nlohmann/json.hpp>

#include "framework/piGraphDocument.h"
#include "framework/piUserSettings.h"
#include "graphTestTools.h"
#include "internalAPI/piGraphUtils.h"

namespace {

using namespace graphtest;
using Json = nlohmann::ordered_json;

std::string roundTrip(std::string const& doc) { return PiGraphDocument::save(*PiGraphDocument::load(doc)); }

// Random edits of every kind over the graphs of a root graph.
class Editor {
 public:
  enum Kind { Create, Remove, Rename, Copy, Connect, Disconnect, SetValue, Key, Entries, Batch, Reset, Curve, kKinds };

  Editor(unsigned seed, RCShdPtr<PiGraph> root) : _rng(seed), _root(std::move(root)) {}

  std::size_t pick(std::size_t n) { return _rng() % n; }
  double uniform(double lo, double hi) { return lo + (hi - lo) * (_rng() >> 8) * (1.0 / 16777216.0); }
  RCShdPtr<PiGraph> const& root() const { return _root; }

  std::vector<RCShdPtr<PiGraph>> graphs() const {
    std::vector<RCShdPtr<PiGraph>> out{_root};
    for (std::size_t i = 0; i < out.size(); ++i)
      for (auto const& n : out[i]->getNodes())
        if (n->isGroup()) out.push_back(n->getInnerGraph());
    return out;
  }
  std::size_t nodeCount() const {
    std::size_t n = 0;
    for (auto const& g : graphs()) n += g->getNodes().size();
    return n;
  }

  // Applies one edit; returns its kind, or -1 when it was refused.
  int edit(int depth = 0) {
    int const kind = static_cast<int>(pick(depth > 0 ? Batch : kKinds));
    try {
      apply(kind, depth);
      return kind;
    } catch (std::invalid_argument const&) {
    } catch (std::logic_error const&) {
    }
    return -1;
  }

 private:
  void apply(int kind, int depth) {
    auto gs = graphs();
    RCShdPtr<PiGraph> g = gs[pick(gs.size())];
    auto const& nodes = g->getNodes();
    RCShdPtr<PiNode> node = nodes.empty() ? RCShdPtr<PiNode>() : nodes[pick(nodes.size())];
    std::size_t const count = nodeCount();
    if (kind == Create || (kind == Remove && count < 25)) {
      Tools const& t = tools();
      RCShdPtr<const PiTool> const pool[] = {t.source, t.filter, t.merge, t.filter, t.merge, t.group};
      if (count < 45) g->createNode(pool[pick(g == _root ? 6 : 5)], "N");
    } else if (kind == Remove || kind == Copy) {
      if (node.isNull()) throw std::invalid_argument("empty graph");
      if (kind == Remove) PiCompositionUtils::removeNode(node, pick(2));
      else if (count < 45) PiGroupUtils::copyNode(node, pick(4) ? g : gs[pick(gs.size())]);
    } else if (kind == Rename) {
      char const* names[] = {"A", "S", "S1", "Blur", "Blur 2"};
      if (node) node->setName(PiGraphUtils::findUniqueNodeName(g, names[pick(5)], static_cast<int>(pick(2))));
    } else if (kind == Disconnect) {
      std::vector<RCShdPtr<PiInput>> connected;
      for (auto const& l : leaves(g))
        if (l->isConnected()) connected.push_back(l);
      if (!connected.empty()) g->disconnect(connected[pick(connected.size())]);
    } else if (kind == Connect) {
      auto in = randomLeaf(g);
      if (in.isNull()) return;
      std::vector<RCShdPtr<PiOutput>> outs;
      for (auto const& o : outputs(g))
        if (o->getType() == in->getType()) outs.push_back(o);
      if (!outs.empty()) g->connect(in, outs[pick(outs.size())]);
    } else if (kind == SetValue || kind == Key) {
      RCShdPtr<PiValue> v = randomValue(g);
      if (v.isNull()) return;
      if (kind == SetValue) return v->setValue(randomData(*v));
      auto const& keys = v->getAnimation().getKeys();
      if (!keys.empty() && pick(3) == 0) return v->removeKey(keys[pick(keys.size())].time);
      v->setKey(static_cast<double>(pick(40)) * 0.5, randomData(*v), static_cast<PiInterpolation>(pick(3)));
    } else if (kind == Entries) {
      auto multi = randomMulti(g);
      if (multi.isNull()) return;
      std::size_t const n = multi->getEntryCount();
      switch (pick(4)) {
        case 0: multi->addEntry(); break;
        case 1: multi->insertEntry(pick(n + 1)); break;
        case 2: multi->removeEntry(pick(n + 1)); break;  // n itself is refused
        default: multi->moveEntry(pick(n + 1), pick(n + 1));
      }
    } else if (kind == Batch) {
      PiUndoGuard guard("Batch");
      for (std::size_t i = 0, n = 2 + pick(3); i < n; ++i) edit(depth + 1);
    } else if (kind == Reset) {
      if (node.isNull()) return;
      if (auto t = rcDynamicCast<PiToolInterface>(node->getController()); t && pick(2)) return t->reset();
      node->getController()->reset(node->getInputs()[pick(node->getInputs().size())]->getName());
    } else if (kind == Curve) {
      if (node.isNull() || node->getTool() != tools().merge) return;
      Vector<GePoint2<float>> pts;
      for (std::size_t i = 0, n = 3 * pick(5); i < n; ++i) pts.emplace_back(float(pick(100)), float(pick(100)));
      PiCurveInputValue::setCurve(node->getInput("Curve"), GeBezierCurve(pts, static_cast<int>(pick(2))));
    }
  }

  template <class F>
  static void forEachLeaf(RCShdPtr<PiInput> const& in, F&& f) {
    if (!in->isComposite()) return f(in);
    for (auto const& c : rcCheckedCast<PiCompositeInput>(in)->getInputs()) forEachLeaf(c, f);
  }
  std::vector<RCShdPtr<PiInput>> leaves(RCShdPtr<PiGraph> const& g) const {
    std::vector<RCShdPtr<PiInput>> out;
    auto add = [&](RCShdPtr<PiNode> const& n) {
      for (auto const& in : n->getInputs()) forEachLeaf(in, [&](RCShdPtr<PiInput> const& l) { out.push_back(l); });
    };
    for (auto const& n : g->getNodes()) add(n);
    for (auto const& n : g->getOutputBoundaryNodes()) add(n);
    return out;
  }
  std::vector<RCShdPtr<PiOutput>> outputs(RCShdPtr<PiGraph> const& g) const {
    std::vector<RCShdPtr<PiOutput>> out;
    for (auto const& n : g->getNodes()) out.insert(out.end(), n->getOutputs().begin(), n->getOutputs().end());
    for (auto const& n : g->getInputBoundaryNodes()) out.push_back(n->getOutputs().front());
    for (auto const& l : leaves(g))
      if (l->getNode()->getRole() == PiNode::Role::Plain) out.push_back(l->getCarrierOutput());
    return out;
  }
  RCShdPtr<PiInput> randomLeaf(RCShdPtr<PiGraph> const& g) {
    auto ls = leaves(g);
    return ls.empty() ? RCShdPtr<PiInput>() : ls[pick(ls.size())];
  }
  RCShdPtr<PiValue> randomValue(RCShdPtr<PiGraph> const& g) {
    std::vector<RCShdPtr<PiValue>> vs;
    for (auto const& l : leaves(g))
      if (l->getValue()) vs.push_back(l->getValue());
    for (auto const& n : g->getNodes()) vs.insert(vs.end(), n->getValues().begin(), n->getValues().end());
    return vs.empty() ? RCShdPtr<PiValue>() : vs[pick(vs.size())];
  }
  RCShdPtr<PiMultivaluedInput> randomMulti(RCShdPtr<PiGraph> const& g) {
    std::vector<RCShdPtr<PiMultivaluedInput>> ms;
    for (auto const& n : g->getNodes())
      for (char const* path : {"Layers", "Curve/Points"})
        if (auto m = rcDynamicCast<PiMultivaluedInput>(n->getInput(path))) ms.push_back(m);
    return ms.empty() ? RCShdPtr<PiMultivaluedInput>() : ms[pick(ms.size())];
  }
  PiValueData randomData(PiValue const& v) {
    if (auto e = rcDynamicCast<const PiEnumPolicy>(v.getPolicy())) return e->getPairs()[pick(e->getPairs().size())].first;
    switch (v.getType()) {
      case PI_BOOL: return pick(2) == 1;
      case PI_INT: return static_cast<int>(pick(21)) - 10;
      case PI_DOUBLE: return uniform(-2, 2);
      case PI_STRING: return std::string(1 + pick(3), static_cast<char>('a' + pick(26)));
      default: return PiColor(uniform(0, 1), uniform(0, 1), uniform(0, 1), 1.0);
    }
  }

  std::mt19937 _rng;
  RCShdPtr<PiGraph> _root;
};

TEST(GraphDocumentTest, RandomHistoriesUndoRedoAndReloadExactly) {
  for (unsigned seed : {11u, 12u}) {
    Editor setup(seed, PiGraph::create());
    while (setup.nodeCount() < 30) setup.edit();
    // The edits run on a loaded copy, whose history starts empty.
    Editor ed(seed + 100, PiGraphDocument::load(PiGraphDocument::save(*setup.root())));
    PiCommandStack& stack = *ed.root()->getCommandStack();
    std::map<std::size_t, std::string> docAt{{0, PiGraphDocument::save(*ed.root())}};
    std::map<std::size_t, unsigned> stateAt{{0, stack.getState()}};
    std::vector<int> done(Editor::kKinds, 0);
    for (int step = 0; step < 1500; ++step) {
      std::size_t const before = stack.getIndex();
      int const kind = ed.edit();
      std::string const doc = PiGraphDocument::save(*ed.root());
      if (kind >= 0 && stack.getIndex() != before) ++done[kind];
      if (stack.getIndex() == before) {
        ASSERT_EQ(doc, docAt[before]) << "an edit that recorded nothing changed the graph, step " << step;
      } else {
        ASSERT_EQ(stack.getIndex(), before + 1) << step;
        docAt[stack.getIndex()] = doc;
        stateAt[stack.getIndex()] = stack.getState();
      }
      ASSERT_EQ(roundTrip(doc), doc) << step;
    }
    for (int k = 0; k < Editor::kKinds; ++k) EXPECT_GT(done[k], 15) << "edit kind " << k;
    std::set<unsigned> states;
    for (auto const& s : stateAt) states.insert(s.second);
    EXPECT_EQ(states.size(), stateAt.size());
    std::size_t const top = stack.getIndex();
    while (stack.canUndo()) {
      stack.undo();
      ASSERT_EQ(PiGraphDocument::save(*ed.root()), docAt[stack.getIndex()]) << "after undo to " << stack.getIndex();
      ASSERT_EQ(stack.getState(), stateAt[stack.getIndex()]);
    }
    while (stack.canRedo()) {
      stack.redo();
      ASSERT_EQ(PiGraphDocument::save(*ed.root()), docAt[stack.getIndex()]) << "after redo to " << stack.getIndex();
    }
    EXPECT_EQ(stack.getIndex(), top);
  }
}

// A small graph with a group, a following value and entries.
std::string sampleDocument() {
  auto g = PiGraph::create();
  auto src = g->createNode(tools().source, "Src");
  auto f = g->createNode(tools().filter, "F");
  auto grp = g->createNode(tools().group, "G");
  g->connect(f->getInput("Input"), src->getOutput("Output"));
  g->connect(f->getInput("Amount"), src->getInput("Gain")->getCarrierOutput());
  f->getInput("Steps")->setKey(1, 2, PiInterpolation::Smooth);
  f->getInput("Steps")->setKey(3, 4);
  auto inner = grp->getInnerGraph();
  auto m = inner->createNode(tools().merge, "M");
  rcCheckedCast<PiMultivaluedInput>(m->getInput("Layers"))->addEntry();
  inner->connect(m->getInput("Layers/0/Image"), PiGroupUtils::getBoundaryOutput(inner, "Input Image"));
  inner->connect(PiGroupUtils::getBoundaryInput(inner, "Output Image"), m->getOutput("Output"));
  return PiGraphDocument::save(*g);
}

TEST(GraphDocumentTest, CorruptDocumentsNameWhatAndWhere) {
  std::string const good = sampleDocument();
  ASSERT_EQ(roundTrip(good), good);
  using Edit = std::function<void(Json&)>;
  struct Case {
    Edit edit;
    char const* where;
    char const* mention;
  } const cases[] = {
      {[](Json& j) { j["nodes"][1]["inputs"]["Amount"]["value"] = "high"; }, "/nodes/1/inputs/Amount/value", "a number"},
      {[](Json& j) { j["nodes"][0]["tool"] = "No Such Tool"; }, "/nodes/0/tool", "unknown tool"},
      {[](Json& j) { j["nodes"][1]["inputs"]["Input"]["source"]["node"] = 99; }, "/nodes/1/inputs/Input/source/node", "no node"},
      {[](Json& j) { j["nodes"][1]["id"] = j["nodes"][0]["id"]; }, "/nodes/1/id", "used twice"},
      {[](Json& j) { j["nodes"][1]["inputs"]["Mode"]["value"] = 7; }, "/nodes/1/inputs/Mode/value", "not one of"},
      {[](Json& j) { j["nodes"][1]["inputs"]["Bogus"] = Json::object(); }, "/nodes/1/inputs/Bogus", "no input"},
      {[](Json& j) { j["nodes"][1]["inputs"]["Steps"]["value"]["keys"][1][0] = 0; }, "/nodes/1/inputs/Steps/value/keys/1/0", "increase"},
      {[](Json& j) { j["nodes"][2]["group"]["nodes"][0]["inputs"]["Layers"][0]["Image"]["source"] = {{"boundary", "Nope"}}; },
       "/nodes/2/group/nodes/0/inputs/Layers/0/Image/source/boundary", "no group input"},
      {[](Json& j) { j["nodes"][0]["inputs"]["Gain"]["source"] = {{"node", 2}, {"input", "Amount"}}; }, "/nodes", "itself"},
      {[](Json& j) { j["version"] = 2; }, "/version", "unsupported"},
      {[](Json& j) { j["nodes"][2].erase("group"); }, "/nodes/2/group", "needs"},
  };
  for (Case const& c : cases) {
    Json j = Json::parse(good);
    c.edit(j);
    journal().clear();
    try {
      PiGraphDocument::load(j.dump());
      ADD_FAILURE() << c.where;
    } catch (PiDocumentError const& e) {
      EXPECT_EQ(e.where(), c.where) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.mention), std::string::npos) << e.what();
    }
    EXPECT_TRUE(journal().empty()) << "a controller attached to a half-loaded graph: " << c.where;
  }
  for (std::size_t cut : {std::size_t(0), good.size() / 3, good.size() - 3}) {
    try {
      PiGraphDocument::load(good.substr(0, cut));
      ADD_FAILURE() << cut;
    } catch (PiDocumentError const& e) {
      EXPECT_EQ(e.where(), "");
      EXPECT_NE(std::string(e.what()).find("not a JSON document"), std::string::npos);
    }
  }
}

TEST(GraphDocumentTest, MutatedDocumentsLoadOrFailCleanly) {
  std::string const good = sampleDocument();
  std::mt19937 rng(3);
  Json const base = Json::parse(good);
  auto paths = base.flatten();
  std::vector<std::string> leaves;
  for (auto it = paths.begin(); it != paths.end(); ++it) leaves.push_back(it.key());
  Json const replacements[] = {nullptr, true, -1, 0, 3, 1e308, -0.5, "x", "Output", Json::array(), Json::object(),
                               Json::array({1, 2, 3, 4})};
  int accepted = 0, refused = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    std::string text;
    if (trial % 3 == 0) {
      text = good;
      for (int k = 0, n = 1 + static_cast<int>(rng() % 4); k < n; ++k) {
        std::size_t const at = rng() % text.size();
        switch (rng() % 3) {
          case 0: text[at] = "{}[]\":,0123456789-.aeltrsu \n"[rng() % 29]; break;
          case 1: text.erase(at, 1 + rng() % 8); break;
          default: text.resize(at);
        }
        if (text.empty()) break;
      }
    } else {
      Json j = base;
      for (int k = 0, n = 1 + static_cast<int>(rng() % 3); k < n; ++k) {
        Json::json_pointer p(leaves[rng() % leaves.size()]);
        if (!j.contains(p)) continue;
        if (rng() % 4 == 0 && j[p.parent_pointer()].is_object()) j[p.parent_pointer()].erase(p.back());
        else j[p] = replacements[rng() % std::size(replacements)];
      }
      text = j.dump();
    }
    try {
      std::string const saved = PiGraphDocument::save(*PiGraphDocument::load(text));
      EXPECT_EQ(roundTrip(saved), saved);
      ++accepted;
    } catch (PiDocumentError const&) {
      ++refused;
    } catch (std::exception const& e) {
      ADD_FAILURE() << "not a document error: " << e.what() << "\n" << text;
    }
  }
  EXPECT_GT(accepted, 100);
  EXPECT_GT(refused, 1000);
}

TEST(UserSettingsTest, ReadsLenientlyAndRoundTrips) {
  std::string const path = ::testing::TempDir() + "qx_settings_test/userSettings.json";
  std::remove(path.c_str());
  setenv("QX_USER_SETTINGS_FILE", path.c_str(), 1);
  EXPECT_EQ(PiUserSettings::defaultPath(), path);
  PiUserSettings& s = PiUserSettings::getInstance();
  s.load(path);
  EXPECT_FALSE(s.getLoadError().empty());
  EXPECT_EQ(s.getString("Warp 2D", "CreationName", "S"), "S");
  s.set("Warp 2D", "CreationName", "Shape");
  s.set("Warp 2D", "CreationSmoothing", 2);
  s.set("Warp 2D", "Curve Color", PiColor(1, 0.5, 0, 1));
  s.save();
  s.load(path);
  EXPECT_EQ(s.getLoadError(), "");
  EXPECT_EQ(s.getString("Warp 2D", "CreationName", "S"), "Shape");
  EXPECT_EQ(s.getDouble("Warp 2D", "CreationSmoothing", 0.0), 2.0);
  EXPECT_EQ(s.getColor("Warp 2D", "Curve Color", PiColor()), PiColor(1, 0.5, 0, 1));
  EXPECT_EQ(s.getBool("Warp 2D", "CreationName", true), true);  // a string is no bool: the default
  EXPECT_TRUE(s.remove("Warp 2D", "CreationName"));
  EXPECT_FALSE(s.has("Warp 2D", "CreationName"));
  std::ofstream(path) << "{\"tools\": {\"Warp 2D\": {\"CreationFence\": true, \"Bad\": null}";
  s.load(path);
  EXPECT_FALSE(s.getLoadError().empty());
  EXPECT_FALSE(s.getBool("Warp 2D", "CreationFence", false));
}

}  // namespace
