// The tool and graph framework: registration, policies, animation, names,
// undo guards, connections, groups, copies, removal and notifications (undo of
// every kind of edit: piGraphDocument_test's random histories).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>

#include "base/assertions.h"
#include "graphTestTools.h"
#include "internalAPI/piGraphUtils.h"
#include "internalAPI/piTypedValue.h"

namespace {

using namespace graphtest;
using Kind = PiGraphEvent::Kind;

struct Fixture : ::testing::Test {
  void SetUp() override {
    journal().clear();
    graph = PiGraph::create();
  }
  RCShdPtr<PiNode> make(RCShdPtr<const PiTool> const& tool, std::string const& name) {
    return graph->createNode(tool, name);
  }
  PiCommandStack& stack() { return *graph->getCommandStack(); }
  RCShdPtr<PiGraph> graph;
};

class NoDescribe : public PiNodeController {
 public:
  static void describe(PiToolPolicyDescriptor&) {}
};

TEST(ToolRegistryTest, FindsByFormattedNameAndRefusesBadTools) {
  tools();
  auto& reg = PiToolRegistry::getInstance();
  EXPECT_EQ(reg.findTool("  Test   Filter "), tools().filter);
  EXPECT_EQ(PiMorvaneToolProtocol::getMorvaneToolName(" a \t b  "), "a b");
  EXPECT_EQ(tools().filter->getDescriptor().getOutputs().front().name, PiImageModifier::getOutputName());
  EXPECT_NE(tools().merge->getDescriptor().findInput("Mask"), nullptr);
  EXPECT_THROW(PiImageModifier::registerTool(PiMorvaneToolProtocol::create<FilterController>("Test Filter", "")),
               std::invalid_argument);
  auto newer = PiMorvaneToolProtocol::create<NoDescribe>("Future Tool", "");
  newer->setIntegerField(3);
  EXPECT_THROW(reg.registerTool(newer), std::invalid_argument);
  auto temp = PiToolProtocolImp::create<NoDescribe>("Temp Tool", "Temp", PiToolProtocol::getWarpingCategory(),
                                                    PiMorvaneToolProtocol::getMorvaneProductName(), "", "", 2, 0, 0);
  EXPECT_FALSE(reg.registerTool(temp).isNull());
  EXPECT_TRUE(reg.unregisterTool("Temp Tool"));
  EXPECT_TRUE(reg.findTool("Temp Tool").isNull());
  EXPECT_FALSE(reg.unregisterTool("Temp Tool"));
}

TEST(ToolRegistryTest, RefusesBadDescriptionsNamingTheInput) {
  using Describe = std::function<void(PiToolPolicyDescriptor&)>;
  struct Case {
    Describe describe;
    char const* mention;
  } const cases[] = {
      {[](auto& d) { d.require("", PI_BOOL); }, "empty name"},
      {[](auto& d) { d.require("a/b", PI_BOOL); }, "a/b"},
      {[](auto& d) { d.require("A", PI_BOOL), d.require("A", PI_INT); }, "used twice"},
      {[](auto& d) { d.require("A", PI_DOUBLE, policies().mode); }, "A"},
      {[](auto& d) { d.requireStructure("S").requireStructure("Empty"); }, "S/Empty"},
      {[](auto& d) { d.require("A", 9); }, "unknown socket type"},
      {[](auto& d) { d.addValue("V", PI_IMAGE, false); }, "V"},
  };
  for (Case const& c : cases) {
    auto p = makeRC<PiToolProtocolImp>(c.describe, [] { return makeRC<PiNodeController>(); });
    p->setName("Bad Tool");
    try {
      PiToolRegistry::getInstance().registerTool(p);
      ADD_FAILURE() << c.mention;
    } catch (std::invalid_argument const& e) {
      EXPECT_NE(std::string(e.what()).find(c.mention), std::string::npos) << e.what();
    }
    EXPECT_TRUE(PiToolRegistry::getInstance().findTool("Bad Tool").isNull());
  }
}

TEST(PolicyTest, DefaultsValidationAndListingOrder) {
  auto boundary = PiEnumPolicy::Builder().addPair(1, "Free").addPair(0, "Fixed").setDefaultValue(0).build();
  ASSERT_EQ(boundary->getPairs().size(), 2u);
  EXPECT_EQ(boundary->getPairs()[0].second, "Free");
  EXPECT_EQ(boundary->getDefaultValue(), PiValueData(0));
  EXPECT_THROW(boundary->validate(PiValueData(4), "Boundary"), std::invalid_argument);
  EXPECT_THROW(PiEnumPolicy::Builder().addPair(0, "A").setDefaultValue(2).build(), std::invalid_argument);
  EXPECT_THROW(PiEnumPolicy::Builder().addPair(0, "A").addPair(0, "B").build(), std::invalid_argument);
  EXPECT_THROW(PiRangeInputPolicy<double>::create(1.0, 0.0, 0.5, true, false), std::invalid_argument);
  struct Case {
    bool clamp, integral;
    double in, out;
  } const ranges[] = {{true, false, 12.0, 10.0}, {true, false, -3.0, 1.0}, {false, false, 12.5, 12.5}, {true, true, 2.6, 3.0}};
  for (Case const& c : ranges) {
    auto p = PiRangeInputPolicy<double>::create(1.0, 10.0, 1.0, c.clamp, c.integral);
    EXPECT_EQ(p->validate(PiValueData(c.in), "Quality"), PiValueData(c.out));
  }
  EXPECT_THROW(PiRangeInputPolicy<double>::create(0, 1, 0, true, false)->validate(PiValueData(NAN), "q"),
               std::invalid_argument);
  EXPECT_EQ(PiRangeInputPolicy<int>::create(0, 5, 1, true, false)->validate(PiValueData(7.4), "n"), PiValueData(5));
}

TEST(AnimationTest, InterpolatesByKeyKindAndType) {
  using I = PiInterpolation;
  auto curve = [](PiValueData zero, std::vector<PiKey> keys) {
    PiAnimCurve c(zero);
    for (auto& k : keys) c.setKey(k, "test");
    return c;
  };
  struct Case {
    PiAnimCurve c;
    double t;
    PiValueData expect;
  } const cases[] = {
      {curve(0.0, {{0, 0.0, I::Linear}, {10, 5.0, I::Linear}}), 4, 2.0},
      {curve(0.0, {{0, 0.0, I::Linear}, {10, 5.0, I::Linear}}), -3, 0.0},
      {curve(0.0, {{0, 0.0, I::Linear}, {10, 5.0, I::Linear}}), 99, 5.0},
      {curve(0.0, {{0, 0.0, I::Hold}, {10, 5.0, I::Linear}}), 9.9, 0.0},
      {curve(0.0, {{0, 0.0, I::Smooth}, {10, 10.0, I::Smooth}}), 5, 5.0},   // flat ends: symmetric ease
      {curve(0.0, {{0, 0.0, I::Smooth}, {10, 10.0, I::Smooth}}), 2.5, 1.5625},
      {curve(0, {{0, 0, I::Linear}, {4, 3, I::Linear}}), 3.9, 0},              // ints hold
      {curve(false, {{0, false, I::Linear}, {4, true, I::Linear}}), 3.9, false},
      {curve(PiColor(), {{0, PiColor(0, 0, 0, 0), I::Linear}, {2, PiColor(2, 4, 6, 8), I::Linear}}), 1, PiColor(1, 2, 3, 4)},
  };
  for (Case const& c : cases) EXPECT_EQ(c.c.evaluate(c.t), c.expect) << c.t;

  // Seeded property: a smooth curve passes through its keys and is
  // continuous across them.
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-10, 10);
  for (int trial = 0; trial < 50; ++trial) {
    PiAnimCurve c(0.0);
    double t = 0;
    for (int k = 0; k < 6; ++k) c.setKey(PiKey{t += 0.5 + std::abs(u(rng)), u(rng), I::Smooth}, "p");
    for (PiKey const& k : c.getKeys()) {
      EXPECT_DOUBLE_EQ(c.evaluateNumber(k.time), k.value.getDouble());
      EXPECT_NEAR(c.evaluateNumber(k.time - 1e-9), k.value.getDouble(), 1e-6);
    }
  }
  PiAnimCurve c(0.0);
  EXPECT_THROW(c.setKey(PiKey{INFINITY, 1.0, I::Linear}, "t"), std::invalid_argument);
  EXPECT_THROW(c.setConstant(PiValueData("text"), "t"), std::invalid_argument);
}

TEST_F(Fixture, ValuesFollowPoliciesKeysAndTypedHandles) {
  auto f = make(tools().filter, "F");
  f->getInput("Amount")->setValue(3.0);
  EXPECT_EQ(f->getInput("Amount")->getDouble(), 1.0);  // clamped
  EXPECT_THROW(f->getInput("Mode")->setValue(7), std::invalid_argument);
  EXPECT_THROW(f->getInput("Label")->setValue(1.0), std::invalid_argument);
  f->getInput("Mode")->setKey(0, 1, PiInterpolation::Linear);
  f->getInput("Mode")->setKey(10, 0);
  EXPECT_EQ(f->getInput("Mode")->getValue()->getAnimation().getKeys()[0].interpolation, PiInterpolation::Hold);
  EXPECT_EQ(f->getInput("Mode")->getInt(9.5), 1);
  PiTypedValue<std::string> note(f->getValue("Note"));
  note.set("hello");
  EXPECT_EQ(note.get(), "hello");
  EXPECT_THROW(PiTypedValue<double>(f->getValue("Note")), CastException);
  rcCheckedCast<PiToolInterface>(f->getController())->reset();
  EXPECT_EQ(f->getInput("Amount")->getDouble(), 0.5);
  EXPECT_EQ(f->getInput("Mode")->getInt(9.5), 0);
  EXPECT_FALSE(f->getInput("Mode")->getValue()->isAnimated());
  EXPECT_EQ(note.get(), "");
  f->getInput("Transform/Rotation")->setValue(30.0);
  f->getController()->reset("Transform");  // no policy: unchanged
  EXPECT_EQ(f->getInput("Transform/Rotation")->getDouble(), 30.0);
  // Image inputs: reset type 1 disconnects, 0 keeps the connection.
  auto src = make(tools().source, "Src");
  graph->connect(f->getInput("Input"), src->getOutput("Output"));
  graph->connect(f->getInput("Matte"), src->getOutput("Output"));
  f->getController()->reset("Input");
  f->getController()->reset("Matte");
  EXPECT_TRUE(f->getInput("Input")->isConnected());
  EXPECT_FALSE(f->getInput("Matte")->isConnected());
  EXPECT_THROW(f->getController()->reset("Nope"), std::invalid_argument);
}

TEST(UniqueNameTest, NumbersByMode) {
  auto g = PiGraph::create();
  for (char const* n : {"S", "S1", "Blur", "Blur 2", "S1 Copy"}) g->createNode(tools().source, n);
  struct Case {
    char const* name;
    int mode;
    char const* expect;
  } const cases[] = {{"S", 1, "S2"},      {"S1", 1, "S2"},  {"T", 1, "T"},        {"Blur", 0, "Blur 3"},
                     {"S1 Copy", 1, "S1 Copy1"}, {"", 0, "Node"}, {"Blur 2", 1, "Blur 1"}};
  for (Case const& c : cases) EXPECT_EQ(PiGraphUtils::findUniqueNodeName(g, c.name, c.mode), c.expect) << c.name;
  EXPECT_THROW(PiGraphUtils::findUniqueNodeName(g, "S", 2), std::invalid_argument);
}

TEST_F(Fixture, NestedGuardsMakeOneNamedCommandAndNoLogRecordsNothing) {
  auto f = make(tools().filter, "F");
  std::size_t const base = stack().getCount();
  unsigned const state = stack().getState();
  stack().setClean();
  {
    PiUndoGuard outer("Outer");
    f->getInput("Amount")->setValue(0.1);
    {
      PiUndoGuard inner("Inner");
      f->setName("G");
      f->getInput("Amount")->setValue(0.2);
    }
    make(tools().source, "Src");
  }
  { PiUndoGuard empty("Nothing"); }
  {
    PiUndoGuardNoLog noLog;
    f->getValue("Note")->setValue("unlogged");
  }
  EXPECT_EQ(stack().getCount(), base + 1);
  EXPECT_EQ(stack().getUndoName(), "Outer");
  EXPECT_NE(stack().getState(), state);
  EXPECT_FALSE(stack().isClean());
  stack().undo();
  EXPECT_EQ(stack().getState(), state);
  EXPECT_TRUE(stack().isClean());
  EXPECT_EQ(f->getName(), "F");
  EXPECT_EQ(f->getInput("Amount")->getDouble(), 0.5);
  EXPECT_EQ(graph->getNodes().size(), 1u);
  EXPECT_EQ(f->getValue("Note")->getString(), "unlogged");
  stack().redo();
  unsigned const redone = stack().getState();
  EXPECT_EQ(f->getInput("Amount")->getDouble(), 0.2);
  stack().undo();
  f->getInput("Amount")->setValue(0.3);  // a new edit drops the redo and gets a new word
  EXPECT_FALSE(stack().canRedo());
  EXPECT_NE(stack().getState(), redone);
}

TEST_F(Fixture, ExceptionInsideAGuardClosesItsCommand) {
  auto f = make(tools().filter, "F");
  std::size_t const base = stack().getCount();
  try {
    PiUndoGuard guard("Failing");
    f->getInput("Amount")->setValue(0.9);
    f->getInput("Mode")->setValue(42);  // refused by the policy
    FAIL();
  } catch (std::invalid_argument const&) {
  }
  EXPECT_FALSE(PiUndoGuard::isOpen());
  EXPECT_EQ(stack().getCount(), base + 1);
  EXPECT_EQ(f->getInput("Mode")->getInt(), 0);
  stack().undo();
  EXPECT_EQ(f->getInput("Amount")->getDouble(), 0.5);
  // Edits are refused while undo replays.
  CbFunctionHandler<PiGraphEvent const> editor([&](PiGraphEvent const&) { f->getValue("Note")->setValue("x"); });
  graph->getEventDispatcher().addHandler(&editor);
  EXPECT_THROW(stack().redo(), AssertionFailure);
  EXPECT_EQ(stack().getIndex(), base + 1);
  EXPECT_EQ(f->getInput("Amount")->getDouble(), 0.9);
}

TEST_F(Fixture, ConnectionsCheckTypesCyclesAndFollowValues) {
  auto src = make(tools().source, "Src");
  auto a = make(tools().filter, "A");
  auto b = make(tools().filter, "B");
  graph->connect(a->getInput("Input"), src->getOutput("Output"));
  graph->connect(b->getInput("Input"), a->getOutput("Output"));
  EXPECT_THROW(graph->connect(a->getInput("Input"), b->getOutput("Output")), std::invalid_argument);
  EXPECT_THROW(graph->connect(a->getInput("Amount"), b->getOutput("Output")), std::invalid_argument);
  EXPECT_THROW(graph->connect(a->getInput("Transform"), b->getOutput("Output")), std::invalid_argument);
  // Value following: b.Amount follows a.Amount, which follows src.Gain.
  graph->connect(b->getInput("Amount"), a->getInput("Amount")->getCarrierOutput());
  graph->connect(a->getInput("Amount"), src->getInput("Gain")->getCarrierOutput());
  src->getInput("Gain")->setKey(0, 0.0);
  src->getInput("Gain")->setKey(10, 1.0);
  EXPECT_DOUBLE_EQ(b->getInput("Amount")->getDouble(5), 0.5);
  EXPECT_DOUBLE_EQ(PiTypedValue<double>(b->getInput("Amount")->getValue()).get(2.5), 0.25);
  EXPECT_THROW(graph->connect(src->getInput("Gain"), b->getInput("Amount")->getCarrierOutput()), std::invalid_argument);
  b->getInput("Amount")->setValue(0.75);
  graph->disconnect(b->getInput("Amount"));
  EXPECT_EQ(b->getInput("Amount")->getDouble(5), 0.75);
  EXPECT_EQ(graph->getFollowers(*a->getOutput("Output")).size(), 1u);
}

TEST_F(Fixture, GroupsCarryTheirSocketsThroughBoundaryNodes) {
  auto src = make(tools().source, "Src");
  auto grp = make(tools().group, "G");
  auto inner = grp->getInnerGraph();
  graph->connect(grp->getInput("Input Image"), src->getOutput("Output"));
  graph->connect(grp->getInput("Quality"), src->getInput("Gain")->getCarrierOutput());
  auto f = inner->createNode(tools().filter, "Inner");
  inner->connect(f->getInput("Input"), PiGroupUtils::getBoundaryOutput(inner, "Input Image"));
  inner->connect(f->getInput("Amount"), PiGroupUtils::getBoundaryOutput(inner, "Quality"));
  inner->connect(PiGroupUtils::getBoundaryInput(inner, "Output Image"), f->getOutput("Output"));
  src->getInput("Gain")->setValue(0.25);
  EXPECT_EQ(f->getInput("Amount")->getDouble(), 0.25);
  EXPECT_EQ(inner->getNodes().size(), 1u);
  EXPECT_TRUE(PiGroupUtils::getBoundaryOutput(inner, "Nope").isNull());
  // The group's output depends on the inside: feeding it back is a cycle.
  EXPECT_THROW(graph->connect(src->getInput("Gain"), grp->getInput("Quality")->getCarrierOutput()), std::invalid_argument);
  EXPECT_THROW(inner->removeNode(inner->getInputBoundaryNodes().front()), std::invalid_argument);
  EXPECT_THROW(graph->connect(f->getInput("Matte"), src->getOutput("Output")), std::invalid_argument);

  auto& ctl = dynamic_cast<GroupController&>(*grp->getController());
  ctl.editable = false;
  EXPECT_THROW(inner->createNode(tools().source), std::logic_error);
  EXPECT_THROW(inner->disconnect(f->getInput("Input")), std::logic_error);
  f->getInput("Steps")->setValue(3);  // values stay open
  journal().clear();
  while (journal().empty()) stack().undo();  // replays pass the lock
  EXPECT_EQ(journal(), (std::vector<std::string>{"removed Inner (replay)"}));
  EXPECT_TRUE(f->getInput("Input")->getSource().isNull());
}

GeBezierCurve square(float size, int closure) {
  Vector<GePoint2<float>> pts;
  for (int i = 0; i < 4; ++i) {
    GePoint2<float> p(i % 3 ? size : 0.f, i / 2 ? size : 0.f);
    pts.insert(pts.end(), {p - GePoint2<float>(1, 0), p, p + GePoint2<float>(0, 2)});
  }
  return GeBezierCurve(pts, closure);
}

void expectSameCurve(GeBezierCurve const& a, GeBezierCurve const& b) {
  Vector<GePoint2<float>> pa, pb;
  a.getCtrlPoints(pa);
  b.getCtrlPoints(pb);
  EXPECT_EQ(pa, pb);
  EXPECT_EQ(a.getClosure(), b.getClosure());
}

TEST_F(Fixture, CurveInputsRoundTripAndAnimate) {
  auto m = make(tools().merge, "M");
  auto curve = m->getInput("Curve");
  PiCurveInputValue::setCurve(curve, square(10, GeBezierCurve::CLOSED));
  expectSameCurve(PiCurveInputValue::getCurve(curve), square(10, GeBezierCurve::CLOSED));
  EXPECT_EQ(m->getInput("Curve/Points/3/Out Handle/Y")->getDouble(), 12.0);
  m->getInput("Curve/Points/0/Point/X")->setKey(0, 0.0);
  PiCurveInputValue::setCurveAt(curve, 10, square(20, GeBezierCurve::OPEN));
  expectSameCurve(PiCurveInputValue::getCurve(curve, 10), square(20, GeBezierCurve::OPEN));
  EXPECT_EQ(PiCurveInputValue::getCurve(curve, 5).getCtrlPoint(0).x(), 0.0f);
  PiCurveInputValue::setCurve(curve, GeBezierCurve());
  EXPECT_EQ(PiCurveInputValue::getCurve(curve).getNumCtrlPoints(), 0);
  EXPECT_THROW(PiCurveInputValue::getCurve(m->getInput("Layers")), std::invalid_argument);
}

TEST_F(Fixture, CopiesKeepStateAndRemapTheirInside) {
  auto src = make(tools().source, "Src");
  auto m = make(tools().merge, "M");
  graph->connect(m->getInput("Input"), src->getOutput("Output"));
  auto layers = rcCheckedCast<PiMultivaluedInput>(m->getInput("Layers"));
  layers->addEntry();
  layers->addEntry();
  graph->connect(m->getInput("Layers/0/Image"), src->getOutput("Output"));
  m->getInput("Layers/1/Opacity")->setKey(5, 0.25);
  graph->connect(m->getInput("Layers/1/Blend"), m->getInput("Layers/0/Blend")->getCarrierOutput());
  PiCurveInputValue::setCurve(m->getInput("Curve"), square(4, GeBezierCurve::CLOSED));

  auto c = PiGroupUtils::copyNode(m);
  EXPECT_EQ(c->getName(), "M");
  EXPECT_NE(c->getId(), m->getId());
  EXPECT_EQ(rcCheckedCast<PiMultivaluedInput>(c->getInput("Layers"))->getEntryCount(), 2u);
  EXPECT_EQ(c->getInput("Layers/0/Image")->getSource(), src->getOutput("Output"));
  EXPECT_EQ(c->getInput("Layers/1/Blend")->getSource(), c->getInput("Layers/0/Blend")->getCarrierOutput());
  EXPECT_EQ(c->getInput("Layers/1/Opacity")->getValue()->getAnimation(), m->getInput("Layers/1/Opacity")->getValue()->getAnimation());
  expectSameCurve(PiCurveInputValue::getCurve(c->getInput("Curve")), square(4, GeBezierCurve::CLOSED));

  auto grp = make(tools().group, "G");
  auto f = grp->getInnerGraph()->createNode(tools().filter, "Inner");
  grp->getInnerGraph()->connect(f->getInput("Input"), PiGroupUtils::getBoundaryOutput(grp->getInnerGraph(), "Input Image"));
  journal().clear();
  auto gc = PiGroupUtils::copyNode(grp);
  EXPECT_EQ(journal(), (std::vector<std::string>{"loaded Inner", "loaded G"}));
  auto cf = gc->getInnerGraph()->getNodes().at(0);
  EXPECT_NE(cf, f);
  EXPECT_EQ(cf->getInput("Input")->getSource(), PiGroupUtils::getBoundaryOutput(gc->getInnerGraph(), "Input Image"));
}

TEST_F(Fixture, RemovalBridgesOrDisconnectsFollowers) {
  auto src = make(tools().source, "Src");
  auto a = make(tools().filter, "A");
  auto b = make(tools().filter, "B");
  graph->connect(a->getInput("Input"), src->getOutput("Output"));
  graph->connect(b->getInput("Input"), a->getOutput("Output"));
  graph->connect(a->getInput("Amount"), src->getInput("Gain")->getCarrierOutput());
  graph->connect(b->getInput("Amount"), a->getInput("Amount")->getCarrierOutput());
  for (bool reconnect : {true, false}) {
    PiCompositionUtils::removeNode(a, reconnect);
    EXPECT_FALSE(graph->contains(*a));
    EXPECT_EQ(b->getInput("Input")->getSource(), reconnect ? src->getOutput("Output") : RCShdPtr<PiOutput>());
    EXPECT_EQ(b->getInput("Amount")->getSource(),
              reconnect ? src->getInput("Gain")->getCarrierOutput() : RCShdPtr<PiOutput>());
    stack().undo();
    EXPECT_EQ(b->getInput("Input")->getSource(), a->getOutput("Output"));  // the node itself comes back
  }
}

TEST_F(Fixture, NotificationsReachControllersAndObservers) {
  auto m = make(tools().merge, "M");
  auto layers = rcCheckedCast<PiMultivaluedInput>(m->getInput("Layers"));
  for (int i = 0; i < 3; ++i) layers->addEntry()->isEntry();
  RCShdPtr<PiInput> first = layers->getEntry(0);
  std::vector<Kind> kinds;
  CbFunctionHandler<PiGraphEvent const> observer([&](PiGraphEvent const& e) { kinds.push_back(e.kind); });
  graph->getEventDispatcher().addHandler(&observer);
  journal().clear();
  layers->moveEntry(0, 2);
  EXPECT_EQ(layers->getEntry(2), first);
  stack().undo();
  EXPECT_EQ(layers->getEntry(0), first);
  EXPECT_EQ(journal(), (std::vector<std::string>{"moved Layers 0->2 Layers/2", "moved Layers 2->0 Layers/0"}));
  EXPECT_THROW(layers->moveEntry(0, 3), std::out_of_range);
  layers->removeEntry(1);
  m->setName("N");
  EXPECT_EQ(kinds, (std::vector<Kind>{Kind::EntryMoved, Kind::EntryMoved, Kind::EntryRemoved, Kind::NodeRenamed}));

  // A failing observer neither stops the edit nor loses it from the history.
  CbFunctionHandler<PiGraphEvent const> failing([](PiGraphEvent const&) { throw std::runtime_error("observer"); });
  graph->getEventDispatcher().addHandler(&failing);
  std::size_t const count = stack().getCount();
  EXPECT_THROW(m->getInput("Layers/0/Opacity")->setValue(0.5), std::runtime_error);
  EXPECT_EQ(stack().getCount(), count + 1);
  EXPECT_EQ(kinds.back(), Kind::ValueChanged);
  EXPECT_EQ(m->getInput("Layers/0/Opacity")->getDouble(), 0.5);
}

}  // namespace
