// Curve inputs: a Bezier curve kept as animated input values, so that every
// coordinate can be keyed, saved and undone like any other input.
//
// Layout of a curve input named N:
//   N                     structure
//     "Closed"            bool
//     "Points"            multi-valued, one entry per control point
//       <entry>           structure of the point's components, in order:
//         "In Handle"     {"X", "Y"}  incoming handle point (absolute)
//         "Point"         {"X", "Y"}  the control point
//         "Out Handle"    {"X", "Y"}  outgoing handle point (absolute)
// Curve type 1 (a polygon) has the "Point" component only; its handles sit
// on the points. Coordinates are doubles in the owner's nominal frame; the
// curve is read as GeBezierCurve (float) at a time.
//
// In the processing graph a curve input becomes a PxBezierCurveNode: one
// value node per coordinate and one for "Closed", built through the
// provider of the node being built (piProcNodeHook.h), so coordinates that
// follow other inputs read what they follow, as getCurve does, and keyed
// coordinates animate the curve.
//
// Failures: an input that does not have this layout raises CastException
// (not a structure) or std::invalid_argument naming the missing field.
#pragma once

#include <string>
#include <vector>

#include "base/rcPtr.h"
#include "pluginAPI/piGraph.h"
#include "pluginAPI/piProcNodeHook.h"
#include "pluginAPI/pxAnimValue.h"
#include "primitives/geBezierCurve.h"

// A curve at the request's time, valid where every coordinate and the
// closure are (the narrowest of their intervals). Points are appended while
// the node is built, before it is published; afterwards it is immutable.
class PxBezierCurveNode final : public PxAnimValueProtocol<GeBezierCurve> {
 public:
  // `closed`: a bool value node.
  explicit PxBezierCurveNode(PxNodePtr<PxNode> const& closed, std::string name = {});

  // One control point from six double value nodes: incoming handle x, y,
  // point x, y, outgoing handle x, y (absolute positions). CastException
  // for a node that is not a double value.
  void appendPoint(std::vector<PxNodePtr<PxNode>> const& coordinates);
  int getPointCount() const { return static_cast<int>(_coordinates.size() / 6); }

  PxValueResult<GeBezierCurve> evaluate(double time) const override;

 private:
  PxStrongHndl<PxAnimValueProtocol<bool>> _closed;
  std::vector<PxStrongHndl<PxAnimValueProtocol<double>>> _coordinates;  // six per point
};

class PiCurveInputValue {
 public:
  static char const* getClosedName() { return "Closed"; }
  static char const* getPointsName() { return "Points"; }
  static char const* getInHandleName() { return "In Handle"; }
  static char const* getPointName() { return "Point"; }
  static char const* getOutHandleName() { return "Out Handle"; }

  // Declares the curve input. curveType 0 is a Bezier curve with handles, 1
  // a polygon; `closed` is the default of "Closed", `closureAnimatable`
  // whether "Closed" takes keys. Other curve types throw
  // std::invalid_argument.
  static PiSocketDecl& describe(PiToolPolicyDescriptor& descriptor, std::string const& name, int curveType, bool closed,
                                bool closureAnimatable);

  // The curve at `time`.
  static GeBezierCurve getCurve(RCShdPtr<PiInput> const& curveInput, double time = 0.0);
  // Replaces the curve: one undoable edit (entries added or removed at the
  // end, coordinates set as constants).
  static void setCurve(RCShdPtr<PiInput> const& curveInput, GeBezierCurve const& curve);
  // The same at `time`: animated coordinates get a key there.
  static void setCurveAt(RCShdPtr<PiInput> const& curveInput, double time, GeBezierCurve const& curve);

  // The curve node of a curve input, its "Points" appended (the value nodes
  // come from `provider`, the provider of the node being built).
  static PxNodePtr<PxBezierCurveNode> createProcNode(RCShdPtr<PiInput> const& curveInput,
                                                      PiProcNodeProvider const& provider);
  // Appends the control points of a "Points" list (of this curve input or
  // another) to `node`.
  static void appendToProcNode(PxNodePtr<PxBezierCurveNode> const& node, RCShdPtr<PiInput> const& pointsInput,
                               PiProcNodeProvider const& provider);
};
