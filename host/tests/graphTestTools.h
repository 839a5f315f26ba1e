// Tools shared by the graph tests: an image source, a filter with inputs of
// every type (a structure, stored values), a merge with multi-valued
// structured layers and a curve, and a group with boundary sockets. Their
// controllers count what the host tells them.
#pragma once

#include <string>
#include <vector>

#include "internalAPI/piCurveInputValue.h"
#include "pluginAPI/piNodeController.h"

namespace graphtest {

inline std::vector<std::string>& journal() {
  static std::vector<std::string> j;
  return j;
}

struct Policies {
  RCShdPtr<const PiInputPolicy> amount = PiRangeInputPolicy<double>::create(0.0, 1.0, 0.5, true, false);
  RCShdPtr<const PiInputPolicy> steps = PiRangeInputPolicy<int>::create(-5, 5, 1, true, false);
  RCShdPtr<const PiInputPolicy> mode = PiEnumPolicy::Builder().addPair(1, "Free").addPair(0, "Fixed").setDefaultValue(0);
  RCShdPtr<const PiInputPolicy> enabled = PiSwitchInputPolicy::create(true, true, false);
  RCShdPtr<const PiInputPolicy> primary = PiImageInputPolicy::createPrimary(3, 7, 1, 0, false);
  RCShdPtr<const PiInputPolicy> matte = PiImageInputPolicy::createSecondary(3, 7, 3, 1, 1, true);
};
inline Policies const& policies() {
  static Policies p;
  return p;
}

class SourceController : public PiImageGenerator {
 public:
  static void describe(PiToolPolicyDescriptor& d) { d.require("Gain", PI_DOUBLE, policies().amount); }
};

class FilterController : public PiImageModifier, public PiUndoRedoControllerHelper {
 public:
  static void describe(PiToolPolicyDescriptor& d) {
    addSingleImageInput(d, policies().primary);
    d.require("Matte", PI_IMAGE, policies().matte);
    d.require("Amount", PI_DOUBLE, policies().amount);
    d.require("Steps", PI_INT, policies().steps);
    d.require("Mode", PI_INT, policies().mode);
    d.require("Enabled", PI_BOOL, policies().enabled);
    d.require("Label", PI_STRING).setDefaultValue("none");
    d.require("Tint", PI_COLOR);
    PiSocketDecl& t = d.requireStructure("Transform");
    PiSocketDecl& tr = t.requireStructure("Translation");
    tr.require("X", PI_DOUBLE);
    tr.require("Y", PI_DOUBLE);
    t.require("Rotation", PI_DOUBLE);
    d.addValue("Note", PI_STRING, "");
    d.addValue("Visible", PI_BOOL, true);
    d.addValue("Curve Color", PI_COLOR, PiColor(1, 0, 0, 1));
    d.addOutput("Destination Image");
  }
  void nodeLoaded() override { journal().push_back("loaded " + getNode()->getName()); }
};

class MergeController : public PiImageModifier {
 public:
  static void describe(PiToolPolicyDescriptor& d) {
    addSingleImageInput(d, policies().primary);
    PiSocketDecl& layers = d.requireStructure("Layers", 1);
    layers.require("Image", PI_IMAGE, policies().matte);
    layers.require("Opacity", PI_DOUBLE).setDefaultValue(1.0);
    layers.require("Blend", PI_INT, policies().mode);
    PiCurveInputValue::describe(d, "Curve", 0, false, false);
    d.setMaskingMode(1);
  }
  void inputMovedInComposite(RCShdPtr<PiCompositeInput> const& c, RCShdPtr<PiInput> const& entry, unsigned from,
                             unsigned to) override {
    journal().push_back("moved " + c->getName() + " " + std::to_string(from) + "->" + std::to_string(to) + " " +
                        entry->getPath());
  }
};

class GroupController : public PiGroupInterface, public PiToolInterface, public PiUndoRedoControllerHelper {
 public:
  static void describe(PiToolPolicyDescriptor& d) {
    d.require("Input Image", PI_IMAGE, policies().primary);
    d.require("Quality", PI_DOUBLE, PiRangeInputPolicy<double>::create(1.0, 10.0, 1.0, true, false));
    d.addValue("CreationName", PI_STRING, "S");
    d.addOutput("Output Image");
    d.addOutput("Destination Image");
  }
  bool isEditable() const override { return editable; }
  void nodeAdded(RCShdPtr<PiNode> const& n) override { note("added", n); }
  void nodeRemoved(RCShdPtr<PiNode> const& n) override { note("removed", n); }
  void nodeLoaded() override { journal().push_back("loaded " + getNode()->getName()); }
  bool editable = true;

 private:
  void note(char const* what, RCShdPtr<PiNode> const& n) {
    journal().push_back(std::string(what) + " " + n->getName() + (isUndoRedoOngoing() ? " (replay)" : ""));
  }
};

struct Tools {
  RCShdPtr<const PiTool> source, filter, merge, group;
};

// Registered once per process.
inline Tools const& tools() {
  static Tools const t{
      PiImageModifier::registerTool(PiMorvaneToolProtocol::create<SourceController>("Test Source", "A source")),
      PiImageModifier::registerTool(PiMorvaneToolProtocol::create<FilterController>("Test Filter", "A filter")),
      PiImageModifier::registerTool(PiMorvaneToolProtocol::create<MergeController>("Test Merge", "A merge")),
      PiToolRegistry::getInstance().registerTool(PiMorvaneToolProtocol::createGroupTool<GroupController>(
          "Test Group", PiToolProtocol::getWarpingCategory(), 2, "A group", 1))};
  return t;
}

}  // namespace graphtest
