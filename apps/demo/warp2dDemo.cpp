// The main job until the command-line host exists: one warp, end to end, on
// a built-in scene. A frame with a pinned border and one circular shape whose
// destination is the circle moved and enlarged; the shape is rasterised into
// the correspondence mesh, the smooth grid is solved, and the mesh is turned
// into the vector image of sample positions. It prints what a user would
// check: where the shape's centre samples from, that the border stays put,
// that the warp does not fold, and how long each step took.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "primitives/geBezierCurve.h"
#include "primitives/ixTile.h"
#include "vectorResampleProc.h"
#include "warpGridProc.h"

using Qx::Warper2D::MeshPixel;
using Qx::Warper2D::VectorResampleProc;
using Qx::Warper2D::WarpGridProc;
using P = GePoint2<float>;
using Clock = std::chrono::steady_clock;

namespace {

// The render quality the scene is solved at (1 to 10): 2 refines down to
// single pixels near the shape, as a final render would.
constexpr double kQuality = 2.0;

bool parseSize(char const* text, int& out) {
  char* end = nullptr;
  long const v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < 16 || v > 16384) return false;
  out = static_cast<int>(v);
  return true;
}

// A closed four-point Bezier approximation of a circle.
GeBezierCurve circle(float cx, float cy, float r) {
  float const h = r * 0.5522847f;  // handle length of the quarter-circle cubic
  Vector<P> pts = {{cx + r, cy - h}, {cx + r, cy}, {cx + r, cy + h}, {cx + h, cy + r}, {cx, cy + r},
                   {cx - h, cy + r}, {cx - r, cy + h}, {cx - r, cy}, {cx - r, cy - h}, {cx - h, cy - r},
                   {cx, cy - r},     {cx + h, cy - r}};
  return GeBezierCurve(pts, GeBezierCurve::CLOSED);
}

// The frame's border as a closed corner polygon through the pixel centres of
// its outermost rows and columns.
GeBezierCurve border(GeRectangle<int> const& r) {
  GeBezierCurve c;
  c.addPoint(P(float(r.x1()), float(r.y1())));
  c.addPoint(P(float(r.x2() - 1), float(r.y1())));
  c.addPoint(P(float(r.x2() - 1), float(r.y2() - 1)));
  c.addPoint(P(float(r.x1()), float(r.y2() - 1)));
  c.setClosure(GeBezierCurve::CLOSED);
  return c;
}

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

MeshPixel pixelAt(IxTile const& tile, int x, int y) {
  IxReadGuard g(tile);
  return Qx::Warper2D::readMeshPixel(g.getPixelAddress(x, y));
}

}  // namespace

int main(int argc, char** argv) {
  int width = 1920, height = 1080;
  if (argc == 3) {
    if (!parseSize(argv[1], width) || !parseSize(argv[2], height)) {
      std::fprintf(stderr, "warp2dDemo: width and height must be whole numbers from 16 to 16384, got '%s' '%s'\n",
                   argv[1], argv[2]);
      return 2;
    }
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: warp2dDemo [width height]\n");
    return 2;
  }

  GeRectangle<int> const frame(0, 0, width, height);
  GeRectangle<int> const meshRegion = WarpGridProc::computeCorrespondenceImageRegion(frame);
  std::printf("frame %dx%d, correspondence mesh [%d, %d) x [%d, %d)\n", width, height, meshRegion.x1(),
              meshRegion.x2(), meshRegion.y1(), meshRegion.y2());

  // The shape: a circle in the middle, carried right, up and outward.
  float const cx = width * 0.5f, cy = height * 0.5f, r = std::min(width, height) * 0.2f;
  float const dx = width * 0.025f, dy = -height * 0.025f;
  GeBezierCurve const src = circle(cx, cy, r);
  GeBezierCurve const dst = circle(cx + dx, cy + dy, r * 1.1f);
  Vector<float> const noLinks;

  IxTile const mesh(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), meshRegion);
  auto t = Clock::now();
  {
    IxWriteGuard g(mesh);
    GeBezierCurve const edge = border(frame);
    WarpGridProc::applyCurveToCorrespondence(edge, noLinks, edge, noLinks, 1.0, WarpGridProc::Bidirectional, g);
    WarpGridProc::applyCurveToCorrespondence(src, noLinks, dst, noLinks, 1.0, WarpGridProc::Bidirectional, g);
  }
  double const rasterMs = msSince(t);

  // Hard constraints and the rigid model, with the budget and refinement
  // that "Quality" gives the generator for this mesh.
  t = Clock::now();
  WarpGridProc::SolveArguments const solve = WarpGridProc::computeSolveArguments(kQuality, meshRegion);
  int cycleWork[1] = {solve.cycleWork};
  int firstStep = 0;
  {
    IxWriteGuard g(mesh);
    WarpGridProc::createSmoothGrid(g, 0.0, false, solve.minStep, solve.passWork, 1, cycleWork, 1e-10, 1e-20,
                                   solve.refineThreshold, &firstStep);
  }
  double const solveMs = msSince(t);

  // Vector image: where each output pixel samples the input.
  IxTile const vectors(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), frame);
  t = Clock::now();
  VectorResampleProc::resample(vectors, mesh, 0.0, 1.0, VectorResampleProc::AffineExtrapolation);
  double const resampleMs = msSince(t);

  // Fold check: the mesh's Jacobian determinant at every interior pixel.
  int folds = 0;
  double maxMove = 0.0;
  {
    IxReadGuard g(mesh);
    for (int y = meshRegion.y1(); y + 1 < meshRegion.y2(); ++y)
      for (int x = meshRegion.x1(); x + 1 < meshRegion.x2(); ++x) {
        MeshPixel const m = Qx::Warper2D::readMeshPixel(g.getPixelAddress(x, y));
        MeshPixel const mx = Qx::Warper2D::readMeshPixel(g.getPixelAddress(x + 1, y));
        MeshPixel const my = Qx::Warper2D::readMeshPixel(g.getPixelAddress(x, y + 1));
        double const det = double(mx.r - m.r) * (my.g - m.g) - double(mx.g - m.g) * (my.r - m.r);
        if (!(det > 0.0)) ++folds;
        maxMove = std::max(maxMove, std::hypot(double(m.r) - x, double(m.g) - y));
      }
  }

  MeshPixel const centre = pixelAt(vectors, int(cx), int(cy));
  MeshPixel const corner = pixelAt(vectors, width - 1, height - 1);
  std::printf("shape: circle r=%.1f at (%.1f, %.1f) -> r=%.1f at (%.1f, %.1f)\n", r, cx, cy, r * 1.1f, cx + dx,
              cy + dy);
  std::printf("output pixel (%d, %d) samples the input at (%.3f, %.3f)  [the shape itself moves it to (%.3f, %.3f)]\n", int(cx), int(cy),
              centre.r, centre.g, int(cx) + dx, int(cy) + dy);
  std::printf("output pixel (%d, %d) samples the input at (%.3f, %.3f)  [border pinned]\n", width - 1, height - 1,
              corner.r, corner.g);
  std::printf("largest displacement %.3f px; folded pixels: %d\n", maxMove, folds);
  std::printf("times: rasterise %.1f ms, solve %.1f ms (quality %.0f: top-level cells of %d px, refined down to %d px), "
              "vectors %.1f ms\n", rasterMs, solveMs, kQuality, firstStep, solve.minStep, resampleMs);
  return folds == 0 ? 0 : 1;
}
