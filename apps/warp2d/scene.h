// The scene file of warp2d: what to read, what to write, over which frames,
// with which output parameters and shapes.
//
// A scene is JSON (docs/scene.md is the reference, docs/scene.schema.json
// the schema editors can use). readScene() checks everything it reads and
// stops at the first problem with a SceneError that names the file, the JSON
// path of the offending value (shapes[2].source.points[5].in) and what was
// expected there, so that a user can fix the file without guessing.
//
// Coordinates are pixels of the full-resolution input image: pixel (x, y)
// is centred on the integer point (x, y), x to the right, y down (row 0 is
// the top row of the file). Tangent handles are offsets from their point.
// Link positions are curve parameters in [0, n], n the curve's segment count.
//
// Values that the super tool can animate are keyframe lists here: a plain
// value is one key, valid at every frame. Relative paths are taken from the
// scene file's folder.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "pluginAPI/pxAnimValue.h"
#include "primitives/geBezierCurve.h"

namespace Qx::Warp2dApp {

template <class T>
using Keys = std::vector<PxKeyframe<T>>;

// A bad scene: where and what.
class SceneError : public std::runtime_error {
 public:
  SceneError(std::string file, std::string path, std::string what);
  std::string const& file() const { return _file; }
  std::string const& path() const { return _path; }

 private:
  std::string _file;
  std::string _path;
};

// Frames A to B every STEP (STEP >= 1, A <= B).
struct FrameRange {
  int first = 1;
  int last = 1;
  int step = 1;
  std::vector<int> frames() const;
};

// "A", "A-B" or "A-B xSTEP" (no spaces); nullopt when the text is none of
// these or A > B or STEP < 1.
std::optional<FrameRange> parseFrameRange(std::string const& text);

// A path, or a sequence pattern with one frame number field: printf-style
// %d / %0Nd, or a run of N '#' (padded to N digits).
class PathPattern {
 public:
  PathPattern() = default;
  explicit PathPattern(std::string text);
  bool isSequence() const { return _width >= 0; }
  std::string const& text() const { return _text; }
  // The path of `frame`; the text itself when it is not a sequence.
  std::string at(int frame) const;
  // More than one frame field, or a printf field other than %d / %0Nd.
  static bool isMalformed(std::string const& text);

 private:
  std::string _text;
  std::string::size_type _pos = 0, _len = 0;
  int _width = -1;  // -1: not a sequence; 0: unpadded
};

struct SceneCurve {
  struct Point {
    GePoint2<float> in, point, out;  // handles absolute here, after reading
  };
  std::vector<Point> points;
  bool closed = true;
  std::vector<float> links;
  GeBezierCurve toBezier() const;
};

struct SceneShape {
  std::string name;
  SceneCurve source;
  SceneCurve destination;  // the source again for a fence
  bool fence = false;
  Keys<int> smoothing;  // WarpGridProc::Smoothing
  Keys<double> interpolation;
};

// The super tool's output parameters, with the tool's factory defaults.
struct SceneParameters {
  Keys<double> quality{{0.0, 1.0}};
  Keys<int> smoothing{{0.0, 0}};  // 0 "Skew", 1 "Rigid"
  Keys<int> boundary{{0.0, 0}};   // 0 "Fixed", 1 "Free"
  Keys<int> filter{{0.0, 1}};     // texture sampler codes, 1 "Bilinear"
  Keys<int> timing{{0.0, 0}};     // 0 "Global", 1 "Shape"
  Keys<double> interpolation{{0.0, 1.0}};
  Keys<bool> invertWarp{{0.0, false}};
};

// Pixels taken off each edge of the output frame (full resolution).
struct SceneCrop {
  Keys<int> left{{0.0, 0}}, right{{0.0, 0}}, top{{0.0, 0}}, bottom{{0.0, 0}};
};

struct Scene {
  std::string file;  // where it was read from
  PathPattern input;
  PathPattern output;
  std::optional<PathPattern> destinationOutput;
  std::optional<FrameRange> frames;  // required when a path is a sequence
  SceneParameters parameters;
  SceneCrop crop;
  std::vector<SceneShape> shapes;

  // The frames to render: `override` if given, else the scene's, else 1.
  std::vector<int> framesToRender(std::optional<FrameRange> const& override) const;
};

// Reads and checks a scene file. Throws SceneError.
Scene readScene(std::string const& path);
// The same from text; `file` only names it in errors and anchors relative
// paths.
Scene parseScene(std::string const& text, std::string const& file);

// Names of enumeration values as the tool shows them, for messages.
char const* filterName(int code);
char const* boundaryName(int code);
char const* timingName(int code);
char const* renderSmoothingName(int code);
char const* shapeSmoothingName(int code);

// The value of `keys` at `frame`, as the pipeline's value nodes see it.
template <class T>
T valueAt(Keys<T> const& keys, double frame) {
  return PxAnimValueNode<T>(keys).evaluate(frame).value;
}

}  // namespace Qx::Warp2dApp
