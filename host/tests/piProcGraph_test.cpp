// Processing graphs built from node graphs: value nodes against the graph's
// own evaluation, rebuilds after edits and undo, groups, saved documents,
// the affine matrix node and the curve node.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <random>

#include "base/assertions.h"
#include "framework/piGraphDocument.h"
#include "internalAPI/piCurveInputValue.h"
#include "internalAPI/piGraphUtils.h"
#include "internalAPI/pxAffineMatrix2Node.h"
#include "pluginAPI/piNodeController.h"
#include "pluginAPI/piProcGraph.h"
#include "pluginAPI/pxRenderer.h"
#include "pxTestNodes.h"
#include "storage/stImageCacheNode.h"

namespace {

using namespace pxtest;
GeRectangle<float> const kRod(0, 0, 40, 30);
GeRectangle<int> const kRegion(-2, -2, 42, 32);
Counters gCounters;
std::shared_ptr<PxImageCache> const gCache = std::make_shared<PxImageCache>(std::size_t(64) << 20);
RCShdPtr<const PiInputPolicy> const kPrimary = PiImageInputPolicy::createPrimary(3, 7, 1, 0, false);
char const* const kValueNames[] = {"Bool", "Double", "Int", "Colour", "String"};  // by socket type code

class SourceCtl : public PiImageGenerator {
 public:
  static void describe(PiToolPolicyDescriptor& d) { d.require("Gain", PI_DOUBLE).setDefaultValue(1.0); }
  PxNodePtr<PxImageProtocol> createProcNode(PxNodePtr<PxImageProtocol> const&, PiProcNodeProvider const& p) override {
    return PxNodePtr<PatternNode>::create(kRgbaF32, kRod, p.getValueNode("Gain"), gCounters);
  }
};

// Blurs its input; "Destination Image" is the input itself.
class BlurCtl : public PiImageModifier {
 public:
  static void describe(PiToolPolicyDescriptor& d) {
    addSingleImageInput(d, kPrimary);
    d.require("Amount", PI_DOUBLE).setDefaultValue(0.5);
    d.addOutput("Destination Image");
  }
  PxNodePtr<PxImageProtocol> createProcNode(PxNodePtr<PxImageProtocol> const& in,
                                            PiProcNodeProvider const& p) override {
    if (!in) return nullptr;
    auto blur = PxNodePtr<BlurNode>::create(in, p.getValueNode("Amount"), gCounters);
    RCShdPtr<PiNode> n = getNode();  // cached under its node, so a rebuild frees it
    return PxNodePtr<StImageCacheNode>::create(n->getGraph().get(), n.get(), StImageCacheNode::kCacheResults, blur,
                                               "blur", StImageCacheNode::kReuseWithinValidity, gCache);
  }
  void createProcNodes(PiOutputPublisher& publisher) override {
    PiImageModifier::createProcNodes(publisher);
    publisher.publish("Destination Image", publisher.getProvider().getInputNode(getSingleInputName()));
  }
};

// A group that blurs what its inside gives out as "Output Image".
class GroupCtl : public PiGroupInterface, public PiGroupTopologyInterface {
 public:
  static void describe(PiToolPolicyDescriptor& d) {
    d.require("Input Image", PI_IMAGE, kPrimary);
    d.require("Amount", PI_DOUBLE);
    d.addOutput("Output Image");
    d.addOutput("Destination Image");
  }
  PxNodePtr<PxNode> createOutputProcNode(RCShdPtr<PiOutput> const& out, PxNodePtr<PxNode> const& inner,
                                         PiProcNodeProvider const& p) override {
    if (out->getName() != "Output Image" || !inner)
      return PiGroupTopologyInterface::createOutputProcNode(out, inner, p);
    auto wrapped = PxNodePtr<BlurNode>::create(inner.cast<PxImageProtocol>(), p.getValueNode("Amount"), gCounters);
    return PiProcNodeFactory::createOutputNode(out, wrapped);
  }
};

// Inputs of every value type, each published under the output "<name> Out";
// a curve whose node the test script takes.
std::function<void(PiOutputPublisher&)> gScript;
class ProbeCtl : public PiNodeController {
 public:
  static void describe(PiToolPolicyDescriptor& d) {
    for (int type = PI_BOOL; type <= PI_STRING; ++type) {
      d.require(kValueNames[type], type);
      d.addOutput(std::string(kValueNames[type]) + " Out", type);
    }
    d.require("Input", PI_IMAGE);
    d.addOutput("Output");
    PiCurveInputValue::describe(d, "Curve", 0, false, true);
  }
  void createProcNodes(PiOutputPublisher& pub) override {
    for (char const* name : kValueNames) pub.publish(std::string(name) + " Out", pub.getProvider().getValueNode(name));
    if (gScript) gScript(pub);
  }
};

struct Tools {
  RCShdPtr<const PiTool> source, blur, group, probe;
};
Tools const& tools() {
  static Tools t{PiImageModifier::registerTool(PiMorvaneToolProtocol::create<SourceCtl>("Proc Source", "")),
                 PiImageModifier::registerTool(PiMorvaneToolProtocol::create<BlurCtl>("Proc Blur", "")),
                 PiToolRegistry::getInstance().registerTool(PiMorvaneToolProtocol::createGroupTool<GroupCtl>(
                     "Proc Group", PiToolProtocol::getWarpingCategory(), 2, "", 1)),
                 PiToolRegistry::getInstance().registerTool(PiMorvaneToolProtocol::create<ProbeCtl>("Proc Probe", ""))};
  return t;
}

IxTile render(PxNodePtr<PxImageProtocol> const& node, double time) {
  return PxRenderer(node).render(PxImageContext(time, 0, 0, kRegion), kRegion).tile;
}

// S (animated gain) -> group G [Inner blur, its amount following G's
// "Amount"] -> outer blur B.
struct Scene {
  RCShdPtr<PiGraph> graph = PiGraph::create();
  RCShdPtr<PiNode> s, g, inner, b;
  Scene() {
    s = graph->createNode(tools().source, "S");
    s->getInput("Gain")->setKey(0, 0.5, PiInterpolation::Smooth);
    s->getInput("Gain")->setKey(10, 1.0);
    g = graph->createNode(tools().group, "G");
    g->getInput("Amount")->setValue(0.25);
    graph->connect(g->getInput("Input Image"), s->getOutput("Output"));
    RCShdPtr<PiGraph> in = g->getInnerGraph();
    inner = in->createNode(tools().blur, "Inner");
    in->connect(inner->getInput("Input"), PiGroupUtils::getBoundaryOutput(in, "Input Image"));
    in->connect(inner->getInput("Amount"), PiGroupUtils::getBoundaryOutput(in, "Amount"));
    in->connect(PiGroupUtils::getBoundaryInput(in, "Output Image"), inner->getOutput("Output"));
    in->connect(PiGroupUtils::getBoundaryInput(in, "Destination Image"), inner->getOutput("Destination Image"));
    b = graph->createNode(tools().blur, "B");
    b->getInput("Amount")->setValue(0.75);
    graph->connect(b->getInput("Input"), g->getOutput("Output Image"));
  }
  // What B gives at `time`, built by hand from the graph's own values.
  IxTile expected(double time) const {
    double const gain = s->getInput("Gain")->getDouble(time), group = g->getInput("Amount")->getDouble();
    PxNodePtr<PxImageProtocol> n = PxNodePtr<PatternNode>::create(kRgbaF32, kRod, constant(gain), gCounters);
    for (double amount : {group, group, b->getInput("Amount")->getDouble()})
      n = PxNodePtr<BlurNode>::create(n, constant(amount), gCounters);
    return render(n, time);
  }
};

// A value node's result at `time` as graph data, by the node's type.
PiValueData evaluate(PxNodePtr<PxNode> const& n, int type, double time, PxValidityInterval& v) {
  switch (type) {
    case PI_BOOL: return PxStrongHndl<PxAnimValueProtocol<bool>>(n)->getValue(time, v);
    case PI_INT: return PxStrongHndl<PxAnimValueProtocol<int>>(n)->getValue(time, v);
    case PI_DOUBLE: return PxStrongHndl<PxAnimValueProtocol<double>>(n)->getValue(time, v);
    case PI_COLOR: return PxStrongHndl<PxAnimValueProtocol<CoRgbaColorTyped<double>>>(n)->getValue(time, v);
    default: return PxStrongHndl<PxAnimValueProtocol<std::string>>(n)->getValue(time, v);
  }
}

TEST(PiProcGraphTest, ValueNodesFollowInputsAndReadAsTheGraphAtEveryTime) {
  // A's inputs take random keys; B's follow A's; B publishes its value nodes.
  auto graph = PiGraph::create();
  auto a = graph->createNode(tools().probe, "A"), b = graph->createNode(tools().probe, "B");
  std::mt19937 rng(12);
  std::uniform_real_distribution<double> u(-4, 4);
  auto random = [&](int type) -> PiValueData {
    double const x = u(rng);
    if (type == PI_COLOR) return PiColor(x, u(rng), u(rng), u(rng));
    return type == PI_STRING ? std::to_string(int(x)) : PiValueData(x).convertedTo(type, "");
  };
  for (int type = PI_BOOL; type <= PI_STRING; ++type) {
    for (double t = 0; t < 20; t += 1 + std::abs(u(rng)))
      a->getInput(kValueNames[type])->setKey(t, random(type), PiInterpolation(int(std::abs(u(rng))) % 3));
    graph->connect(b->getInput(kValueNames[type]), a->getInput(kValueNames[type])->getCarrierOutput());
  }
  PiProcGraph procs(graph);
  for (int type = PI_BOOL; type <= PI_STRING; ++type) {
    PxNodePtr<PxNode> n = procs.getProcNode(b->getOutput(std::string(kValueNames[type]) + " Out"));
    for (double t = -2; t < 24; t += 0.37) {
      PxValidityInterval v = PxValidityInterval::FULL, w = v;
      PiValueData const got = evaluate(n, type, t, v);
      EXPECT_EQ(got, a->getInput(kValueNames[type])->getValueAt(t)) << kValueNames[type] << t;
      EXPECT_TRUE(v.contains(t));
      for (double end : {v.start, v.end})  // the value holds over its validity
        if (std::isfinite(end)) {
          EXPECT_EQ(evaluate(n, type, end, w), got) << kValueNames[type] << t;
        }
    }
  }
  a->getInput("Double")->setValue(7.0);  // B follows A: its nodes are rebuilt
  PxValidityInterval v = PxValidityInterval::FULL;
  EXPECT_EQ(evaluate(procs.getProcNode(b->getOutput("Double Out")), PI_DOUBLE, 3.0, v), PiValueData(7.0));
}

TEST(PiProcGraphTest, RebuildsWhatAnEditReachesAndUndoRestoresTheImage) {
  Scene sc;
  PiProcGraph procs(sc.graph, gCache);
  PiCommandStack& stack = *sc.graph->getCommandStack();
  auto out = sc.b->getOutput("Output");
  struct Step {
    std::function<void()> edit;
    bool sourceKept, groupKept;
  } const steps[] = {
      {[] {}, true, true},
      {[&] { sc.b->getInput("Amount")->setValue(1.0); }, true, true},
      {[&] { stack.undo(); }, true, true},
      {[&] { sc.g->getInput("Amount")->setValue(0.5); }, true, false},  // reaches Inner through the boundary
      {[&] { stack.undo(); }, true, false},
      {[&] { stack.redo(); }, true, false},
      {[&] { sc.s->getInput("Gain")->setValue(2.0); }, false, false},
      {[&] { sc.s->setName("Renamed"); }, true, true},
  };
  PxNodePtr<PxNode> source = procs.getProcNode(sc.s->getOutput("Output"));
  PxNodePtr<PxNode> group = procs.getProcNode(sc.g->getOutput("Output Image"));
  for (Step const& step : steps) {
    step.edit();
    for (double t : {2.5, 10.0})
      EXPECT_TRUE(sameBits(render(procs.getImageNode(out), t), sc.expected(t))) << stack.getIndex();
    EXPECT_EQ(procs.getProcNode(sc.s->getOutput("Output")) == source, step.sourceKept);
    EXPECT_EQ(procs.getProcNode(sc.g->getOutput("Output Image")) == group, step.groupKept);
    EXPECT_FALSE(procs.isDirty());
    source = procs.getProcNode(sc.s->getOutput("Output"));
    group = procs.getProcNode(sc.g->getOutput("Output Image"));
  }
  // B's cached results go when B is rebuilt, though its old node lives on.
  PxNodePtr<PxImageProtocol> const old = procs.getImageNode(out);
  render(old, 1.0);
  std::size_t const held = gCache->getStats().entries;
  sc.b->getInput("Amount")->setValue(0.2);
  procs.getImageNode(out);
  EXPECT_LT(gCache->getStats().entries, held);
  // Unconnected: an empty image, reported as such.
  sc.graph->disconnect(sc.b->getInput("Input"));
  EXPECT_FALSE(procs.getImageNode(out)->isChainConnected());
}

TEST(PiProcGraphTest, GroupsPassImagesAcrossTheirBoundariesAndReloadToTheSameBits) {
  Scene sc;
  PiProcGraph procs(sc.graph);
  // "Destination Image" leaves the group unwrapped: the source's pattern.
  PxNodePtr<PxImageProtocol> pattern =
      PxNodePtr<PatternNode>::create(kRgbaF32, kRod, constant(sc.s->getInput("Gain")->getDouble(4.0)), gCounters);
  EXPECT_TRUE(sameBits(render(procs.getImageNode(sc.g->getOutput("Destination Image")), 4.0), render(pattern, 4.0)));

  auto loaded = PiGraphDocument::load(PiGraphDocument::save(*sc.graph));
  PiProcGraph reloaded(loaded);
  for (double t : {0.0, 3.3, 12.0})
    EXPECT_TRUE(sameBits(render(reloaded.getImageNode(loaded->findNode("B")->getOutput("Output")), t),
                         render(procs.getImageNode(sc.b->getOutput("Output")), t)));
}

TEST(PxOutputNodeTest, HandsTheRenderersBufferOnToTheNodeItStandsFor) {
  PxOutputNode const out(PxNodePtr<PatternNode>::create(kRgbaF32, kRod, constant(1.0), gCounters), "S/Output");
  GeRectangle<int> const cell(0, 0, 16, 16);
  IxTile const destination(kRgbaF32.getPixelFormat(), cell);
  PxRenderTarget const offer(out, destination, cell);
  IxTile const result = out.computeImage(PxImageContext(0, 0, 0, cell)).tile;
  EXPECT_EQ(IxReadGuard(result).getPixelAddress(0, 0), IxReadGuard(destination).getPixelAddress(0, 0));
}

TEST(PiProcGraphTest, BadRequestsNameTheInputAndTheNextBuildRecovers) {
  auto graph = PiGraph::create();
  auto p = graph->createNode(tools().probe, "P");
  PiProcGraph procs(graph);
  using Script = std::function<void(PiOutputPublisher&)>;
  Script const bad[] = {
      [](auto& pub) { pub.getProvider().getValueNode("Nope"); },
      [](auto& pub) { pub.getProvider().getValueNode("Input"); },
      [](auto& pub) { pub.getProvider().getInputNode("Double"); },
      [](auto& pub) { pub.publish("Nope", nullptr); },
  };
  for (Script const& s : bad) {
    gScript = s;
    EXPECT_THROW(procs.getProcNode(p->getOutput("Output")), std::invalid_argument);
  }
  gScript = [](auto& pub) { pub.publish("Output", pub.getProvider().getValueNode("Double")); };
  EXPECT_THROW(procs.getProcNode(p->getOutput("Output")), CastException);
  gScript = nullptr;
  EXPECT_TRUE(procs.getProcNode(p->getOutput("Output")).isNull());
  EXPECT_THROW(procs.getImageNode(p->getOutput("Double Out")), std::invalid_argument);
  auto elsewhere = PiGraph::create()->createNode(tools().probe);
  EXPECT_THROW(procs.getProcNode(elsewhere->getOutput("Output")), std::invalid_argument);
  auto job = PxRequestMgr::getInstance().submit(nullptr, [&] { procs.getProcNode(p->getOutput("Output")); });
  EXPECT_THROW(job.get(), AssertionFailure);
}

TEST(PxAffineMatrix2NodeTest, ScalesShearsRotatesInDegreesAboutThePivotThenTranslates) {
  struct Case {
    std::array<double, 9> v;  // tx, ty, degrees, shx, shy, sx, sy, px, py
    GePoint2<float> in, out;
  } const cases[] = {
      // Worked examples pin the conventions the seeded product below restates.
      {{0, 0, 90, 0, 0, 1, 1, 1, 1}, {2, 1}, {1, 2}},
      {{0, 0, -270, 0, 0, 1, 1, 1, 1}, {2, 1}, {1, 2}},
      {{0, 0, 90, 0, 0, 2, 1, 0, 0}, {1, 0}, {0, 2}},    // scale before rotation
      {{0, 0, 90, 1, 0, 1, 1, 0, 0}, {0, 1}, {-1, 1}},   // shear before rotation
      {{5, 5, 180, 0, 0, 2, 2, 1, 0}, {2, 0}, {4, 5}},
  };
  for (Case const& c : cases) {
    std::array<PxNodePtr<PxNode>, 9> values;
    for (std::size_t i = 0; i < 9; ++i) values[i] = constant(c.v[i]);
    PxAffineMatrix2Node const node(values);
    EXPECT_EQ(node.evaluate(0).value.apply(c.in), c.out) << c.v[2];
  }
  // Seeded: the composition is the product of its elementary matrices.
  using M = GeAffineMatrix2<double>;
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(-3, 3);
  for (int trial = 0; trial < 100; ++trial) {
    std::array<double, 9> v;
    for (double& x : v) x = u(rng);
    M const m = M::translation(v[0] + v[7], v[1] + v[8]) * M::rotation(v[2] * std::numbers::pi / 180) *
                M(1, v[3], v[4], 1, 0, 0) * M::scaling(v[5], v[6]) * M::translation(-v[7], -v[8]);
    M const got = PxAffineMatrix2Node::compose(v);
    for (auto [a, b] : {std::pair{got.a(), m.a()}, {got.b(), m.b()}, {got.c(), m.c()}, {got.d(), m.d()},
                        {got.tx(), m.tx()}, {got.ty(), m.ty()}})
      EXPECT_NEAR(a, b, 1e-12);
  }
  std::array<PxNodePtr<PxNode>, 9> values;
  for (std::size_t i = 0; i < 9; ++i) values[i] = constant(1.0);
  values[PxAffineMatrix2Node::kRotation] = value<double>({{0, 0.0}, {10, 90.0}});
  EXPECT_EQ(PxAffineMatrix2Node(values).evaluate(4).validity, PxValidityInterval::at(4));
  values[PxAffineMatrix2Node::kPivotY] = constant(1);
  EXPECT_THROW(PxAffineMatrix2Node{values}, CastException);
}

TEST(PxBezierCurveNodeTest, EvaluatesKeyedCurvesAsTheInputDoes) {
  auto graph = PiGraph::create();
  auto p = graph->createNode(tools().probe, "P");
  RCShdPtr<PiInput> curve = p->getInput("Curve");
  GeBezierCurve c0, c1;
  for (int i = 0; i < 4; ++i) {
    c0.addPoint(GePoint2<float>(float(i), float(i * i)), GeBezierCurve::SMOOTH);
    c1.addPoint(GePoint2<float>(float(10 - i), float(2 * i)), GeBezierCurve::SMOOTH);
  }
  c1.setClosure(GeBezierCurve::CLOSED);
  PiCurveInputValue::setCurve(curve, c0);
  std::function<void(RCShdPtr<PiInput> const&)> keyAll = [&](RCShdPtr<PiInput> const& in) {
    if (in->isComposite())
      for (auto const& f : rcCheckedCast<PiCompositeInput>(in)->getInputs()) keyAll(f);
    else in->setKey(0, in->getValueAt(0), PiInterpolation::Smooth);
  };
  keyAll(curve);
  PiCurveInputValue::setCurveAt(curve, 10, c1);
  PxNodePtr<PxBezierCurveNode> node;
  gScript = [&](PiOutputPublisher& pub) { node = PiCurveInputValue::createProcNode(curve, pub.getProvider()); };
  PiProcGraph(graph).getProcNode(p->getOutput("Output"));
  gScript = nullptr;
  ASSERT_EQ(node->getPointCount(), 4);
  for (double t : {-1.0, 0.0, 2.5, 7.0, 10.0, 12.0}) {
    PxValueResult<GeBezierCurve> const r = node->evaluate(t);
    GeBezierCurve const want = PiCurveInputValue::getCurve(curve, t);
    Vector<GePoint2<float>> got, expect;
    r.value.getCtrlPoints(got);
    want.getCtrlPoints(expect);
    EXPECT_EQ(got, expect) << t;
    EXPECT_EQ(r.value.getClosure(), want.getClosure()) << t;
    EXPECT_EQ(r.validity.contains(t) && (t <= 0 || t >= 10 || r.validity == PxValidityInterval::at(t)), true) << t;
  }
}

}  // namespace
