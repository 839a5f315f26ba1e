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
// Failures: an input that does not have this layout raises CastException
// (not a structure) or std::invalid_argument naming the missing field.
#pragma once

#include <string>

#include "base/rcPtr.h"
#include "pluginAPI/piGraph.h"
#include "primitives/geBezierCurve.h"

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
};
