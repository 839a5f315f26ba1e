// Rasterisation of a shape's curve pair into the correspondence mesh: the
// source curve is walked pixel by pixel, every mesh pixel it passes through
// becomes a constrained pixel whose target follows the destination curve,
// and for "Inside"/"Outside" smoothing the unconstrained pixels are split
// into passes on either side of a closed source curve. Part of the
// warpGridProc area; failed assertions are reported under that name.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "base/assertions.h"
#include "curveEvaluator.h"
#include "primitives/geBezierCurve.h"
#include "primitives/geLinkedBeziers.h"
#include "primitives/ipShapeRenderProc.h"
#include "primitives/ixPixelFormat.h"
#include "primitives/ixTile.h"
#include "pluginAPI/pxRequestMgr.h"
#include "warpGridProc.h"

namespace Qx::Warper2D {

namespace {

char const kArea[] = "warpGridProc";

// Curves are walked in float. A coefficient of magnitude M evaluates to
// within a few units in the last place of M, and a step of the walk is only
// guaranteed to stay within one pixel while that error is well below half a
// pixel: 2^19 keeps it under 0.1 pixel. Coordinates this far out (over half
// a million pixels) are unusable shapes, not images.
constexpr float kMaxCoefficient = 524288.0f;

// Tolerance, in parameter and in pixels, of every root search of the walk.
constexpr double kRootTolerance = 1e-10;

// Just past the end of a segment, so that a crossing at u = 1 is still found.
constexpr double kPastSegmentEnd = 1.0000000001;

// An upper end for the search of the arc that starts at u: the first
// parameter met, stepping ahead from u, at which one of the four neighbour
// centre lines (x = lines[0], lines[2]; y = lines[1], lines[3]) has been
// reached or passed, else the search's natural end just past the segment.
// Any such parameter bounds the first crossing, so searching [u, bracket]
// finds the same first roots as searching the whole rest of the segment,
// while the short bracket lets the root search settle at once. The cubics
// are evaluated exactly as the root search sees them: float coefficients,
// the line subtracted in float, Horner in double.
double arcBracket(CurveEvaluator::Segment const& s, double u, float const lines[4]) {
  float const d[4] = {s.a0x - lines[0], s.a0y - lines[1], s.a0x - lines[2], s.a0y - lines[3]};
  auto const cubic = [&](int i, double t) {
    bool const alongX = (i % 2) == 0;
    double const a = alongX ? s.a3x : s.a3y, b = alongX ? s.a2x : s.a2y, c = alongX ? s.a1x : s.a1y;
    return ((a * t + b) * t + c) * t + d[i];
  };
  double start[4];
  for (int i = 0; i < 4; ++i) start[i] = cubic(i, u);

  // First step: about one pixel at the current speed, then doubling.
  GePoint2<float> const v = s.derivative(static_cast<float>(u));
  double const speed = std::max(std::fabs(v.x()), std::fabs(v.y()));
  double step = speed > 1.0 ? 1.0 / speed : 1.0 / 64.0;
  for (double t = u + step; t < kPastSegmentEnd; step *= 2.0, t = u + step) {
    for (int i = 0; i < 4; ++i) {
      double const p = cubic(i, t);
      if (p == 0.0 || (p < 0.0) != (start[i] < 0.0)) return t;
    }
  }
  return kPastSegmentEnd;
}

bool isUsable(CurveEvaluator const& curve) {
  return !curve.isEmpty() && curve.hasFiniteCoefficients() && curve.getMaxAbsCoefficient() <= kMaxCoefficient;
}

bool allFinite(Vector<float> const& values) {
  return std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); });
}

// Gives the unconstrained pixels of the mesh new, dense pass numbers so that
// the pixels on one side of the closed `curve` come before those on the other
// side, for every existing pass: outside first for "Inside" (the outside is
// settled before the inside moves), inside first for "Outside". Constrained
// pixels keep their pass bits.
//
// All or nothing: the sweeps that read the mesh check for interruption once
// per row, the one sweep that writes it does not. A cancelled request
// therefore leaves every pass number as it was, never a mesh renumbered up
// to some row; the writing sweep is a single pass of table lookups.
void splitPassesByCurve(IxWriteGuard& corrMesh, GeBezierCurve const& curve, WarpGridProc::Smoothing smoothing) {
  GeRectangle<int> const region = corrMesh.getPixelRegion();
  if (region.isEmpty()) return;
  int const x0 = region.x1(), x1 = region.x2(), y0 = region.y1(), y1 = region.y2();
  PxRequestMgr const& requests = PxRequestMgr::getInstance();

  // Only unconstrained pixels are renumbered, so only their pass numbers
  // size the table.
  std::uint32_t maxPass = 0;
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) {
      std::uint32_t const bits = readMeshBits(corrMesh.getPixelAddress(x, y));
      if (!(bits & CONSTRAINED_BIT)) maxPass = std::max(maxPass, bits & PASS_MASK);
    }
    requests.checkInterruption();
  }
  // Pass numbers written by earlier splits are dense. Sparse ones (a mesh
  // whose B patterns came from elsewhere) would ask for a table of up to
  // 2^31 entries: the table is then indexed by each pass number's rank
  // among those in use, which keeps their order and so gives the same
  // numbering.
  std::size_t const pixelCount = static_cast<std::size_t>(x1 - x0) * static_cast<std::size_t>(y1 - y0);
  Vector<std::uint32_t> ranks;
  if (maxPass >= pixelCount) {
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) {
        std::uint32_t const bits = readMeshBits(corrMesh.getPixelAddress(x, y));
        if (!(bits & CONSTRAINED_BIT)) ranks.push_back(bits & PASS_MASK);
      }
      requests.checkInterruption();
    }
    std::sort(ranks.begin(), ranks.end());
    ranks.erase(std::unique(ranks.begin(), ranks.end()), ranks.end());
    maxPass = static_cast<std::uint32_t>(ranks.size() - 1);
  }
  auto const passIndex = [&](std::uint32_t bits) -> std::size_t {
    std::uint32_t const pass = bits & PASS_MASK;
    if (ranks.empty()) return pass;
    return static_cast<std::size_t>(std::lower_bound(ranks.begin(), ranks.end(), pass) - ranks.begin());
  };

  // Entry 2p is pass p outside the curve, 2p + 1 pass p inside; -1 unused.
  Vector<int> newPassNumber(2 * (static_cast<std::size_t>(maxPass) + 1), -1);

  // Inside test: the curve's polygon rendered into a mask that is 0 outside.
  IxTile const maskTile(IxPixelFormat(IxPixelFormat::ALPHA, IxPixelFormat::FLOAT32), region,
                        CoRgbaColorTyped<float>(0.0f, 0.0f, 0.0f, 1.0f), corrMesh.getTile().getPixelAspectRatio());
  IxWriteGuard mask(maskTile);
  {
    Vector<GePoint2<float>> polygon;
    curve.evaluateCurve(polygon, 0.01f);
    IpShapeRenderProc(mask, polygon, IpShapeRenderProc::NO_ANTIALIASING).process();
  }

  for (int y = y0; y < y1; ++y) {
    float const* inside = mask.getRow<float>(y);
    for (int x = x0; x < x1; ++x) {
      std::uint32_t const bits = readMeshBits(corrMesh.getPixelAddress(x, y));
      if (bits & CONSTRAINED_BIT) continue;
      std::size_t const entry = 2 * passIndex(bits) + (inside[x - x0] != 0.0f ? 1 : 0);
      if (newPassNumber[entry] < 0) newPassNumber[entry] = 0;
    }
    requests.checkInterruption();
  }

  int const firstSide = smoothing == WarpGridProc::Outside ? 1 : 0;
  int counter = 0;
  for (int side : {firstSide, 1 - firstSide})
    for (std::uint32_t p = 0; p <= maxPass; ++p)
      if (newPassNumber[2 * static_cast<std::size_t>(p) + side] >= 0)
        newPassNumber[2 * static_cast<std::size_t>(p) + side] = counter++;

  // The writing sweep: no interruption check from here on (see above).
  for (int y = y0; y < y1; ++y) {
    float const* inside = mask.getRow<float>(y);
    for (int x = x0; x < x1; ++x) {
      std::byte* pixel = corrMesh.getPixelAddress(x, y);
      std::uint32_t const bits = readMeshBits(pixel);
      if (bits & CONSTRAINED_BIT) continue;
      std::size_t const pass = passIndex(bits);
      int newPass;
      if (inside[x - x0] != 0.0f) {
        newPass = newPassNumber[2 * pass + 1];
        QX_ASSERT_AS(kArea, newPass >= 0, "newPassNumber[2*pass+1] >= 0");
      } else {
        newPass = newPassNumber[2 * pass + 0];
        QX_ASSERT_AS(kArea, newPass >= 0, "newPassNumber[2*pass+0] >= 0");
      }
      writeMeshBits(pixel, (bits & ~PASS_MASK) | static_cast<std::uint32_t>(newPass));
    }
  }
}

}  // namespace

// Bad input: a source or destination curve with no point, a non-finite
// coordinate or a coefficient beyond kMaxCoefficient, non-finite link
// positions or a non-finite interpolation make the shape unusable; it is
// skipped and the mesh is left untouched (no pixel written, no pass split).
void WarpGridProc::applyCurveToCorrespondence(GeBezierCurve const& src, Vector<float> const& srcLinks,
                                              GeBezierCurve const& dst, Vector<float> const& dstLinks,
                                              double interpolation, Smoothing smoothing, IxWriteGuard& corrMesh) {
  QX_ASSERT_AS(kArea, corrMesh.getTile().getPixelFormat().getDepth() == IxPixelFormat::FLOAT32,
               "corrMesh.getTile().getPixelFormat().getDepth() == IxPixelFormat::FLOAT32");
  QX_ASSERT_AS(kArea, corrMesh.getTile().getPixelFormat().getComps() == IxPixelFormat::RGB,
               "corrMesh.getTile().getPixelFormat().getComps() == IxPixelFormat::RGB");

  CurveEvaluator const srcCurve(src);
  CurveEvaluator const dstCurve(dst);
  if (!isUsable(srcCurve) || !isUsable(dstCurve) || !allFinite(srcLinks) || !allFinite(dstLinks) ||
      !std::isfinite(static_cast<float>(interpolation)))  // finite, and still finite as the float it is used as
    return;
  GeLinkedBeziers const linked(src, srcLinks, dst, dstLinks, 0.5);

  GeRectangle<int> const region = corrMesh.getPixelRegion();
  int const n = srcCurve.getSegmentCount();
  float const f = static_cast<float>(interpolation);
  std::uint32_t const newBits = smoothing == None ? CONSTRAINED_BIT : (CONSTRAINED_BIT | SMOOTHING_BIT);

  GePoint2<float> const start = srcCurve.evaluate(0.0);
  int prevX = static_cast<int>(std::floor(start.x() + 0.5f));
  int prevY = static_cast<int>(std::floor(start.y() + 0.5f));

  int k = 0;
  double u = 0.0;
  CurveEvaluator::Segment const* seg = &srcCurve.getSegment(0);
  bool firstStep = true;
  bool write = false;
  std::byte* pixel = nullptr;
  double closestParam = -1.0, closestDistance = -1.0, xClosest = 0.0, yClosest = 0.0;

  for (;;) {
    GePoint2<float> const p = seg->point(static_cast<float>(u));
    int const px = static_cast<int>(std::floor(p.x() + 0.5f));
    int const py = static_cast<int>(std::floor(p.y() + 0.5f));
    bool const inTile = region.contains(px, py);

    if (!firstStep) {
      int const dx = std::abs(px - prevX), dy = std::abs(py - prevY);
      QX_ASSERT_AS(kArea, std::max(dx, dy) <= 1, "NumericUtil::max(dx,dy) <= 1");
    }

    if (firstStep || px != prevX || py != prevY) {
      // A new pixel: it takes this curve's constraint unless an earlier curve
      // (or an earlier pass of this one) already holds it.
      closestParam = -1.0;
      closestDistance = -1.0;
      write = false;
      if (inTile) {
        pixel = corrMesh.getPixelAddress(px, py);
        std::uint32_t const bits = readMeshBits(pixel);
        if (!(bits & CONSTRAINED_BIT)) {
          writeMeshBits(pixel, bits | newBits);
          write = true;
        }
      }
    } else {
      // Still in the same pixel across a segment joint: the closest-point
      // search goes on over the next segment and its result is written, also
      // into a pixel that an earlier curve holds: a joint is a control point
      // the user placed, and it takes the pixel it lies in.
      write = inTile;
    }
    firstStep = false;

    // Closest point of the curve to the pixel centre, over the arc that lies
    // within this pixel's neighbourhood.
    double uEnd;
    if (n > 0) {
      // The arc ends where it first reaches the centre line of a neighbouring
      // pixel, so the next sample lies in a pixel adjacent to this one.
      double root;
      float const lines[4] = {static_cast<float>(px - 1), static_cast<float>(py - 1), static_cast<float>(px + 1),
                              static_cast<float>(py + 1)};
      uEnd = arcBracket(*seg, u, lines);
      for (int i = 0; i < 4; ++i) {
        bool const alongX = (i % 2) == 0;
        float const a = alongX ? seg->a3x : seg->a3y, b = alongX ? seg->a2x : seg->a2y;
        float const c = alongX ? seg->a1x : seg->a1y, d = (alongX ? seg->a0x : seg->a0y) - lines[i];
        if (findFirstRootNear(a, b, c, d, u, uEnd, kRootTolerance, root) && root > u) uEnd = root;
      }

      // Candidates: both ends of the arc and where it crosses the pixel's
      // own centre lines; a later candidate wins a tie.
      double candidates[4] = {u, uEnd, 0.0, 0.0};
      int nCandidates = 2;
      if (findFirstRootNear(seg->a3x, seg->a2x, seg->a1x, seg->a0x - static_cast<float>(px), u, uEnd, kRootTolerance,
                        root))
        candidates[nCandidates++] = root;
      if (findFirstRootNear(seg->a3y, seg->a2y, seg->a1y, seg->a0y - static_cast<float>(py), u, uEnd, kRootTolerance,
                        root))
        candidates[nCandidates++] = root;

      for (int i = 0; i < nCandidates; ++i) {
        double const cand = candidates[i];
        if (!(u <= cand && cand <= uEnd)) continue;
        // The parameter is rounded to float before use, as every evaluation
        // of the curve does: k + c is then exact in double and the point
        // below is bit-identical to what evaluate() gives for it later.
        double const param = std::min(k + static_cast<double>(static_cast<float>(cand)), static_cast<double>(n));
        GePoint2<float> const q = srcCurve.evaluate(param);
        double const ex = q.x() - static_cast<double>(px), ey = q.y() - static_cast<double>(py);
        double const dist = ex * ex + ey * ey;
        if (closestDistance < 0.0 || dist <= closestDistance) {
          closestDistance = dist;
          closestParam = param;
          xClosest = q.x();
          yClosest = q.y();
        }
      }
      QX_ASSERT_AS(kArea, closestParam >= 0.0, "uClosest >= 0.0");
    } else {
      // A one-point curve constrains the pixel holding its point.
      double const ex = p.x() - static_cast<double>(px), ey = p.y() - static_cast<double>(py);
      closestDistance = ex * ex + ey * ey;
      closestParam = 0.0;
      xClosest = p.x();
      yClosest = p.y();
      uEnd = 1.0;
      QX_ASSERT_AS(kArea, closestParam >= 0.0, "uClosest >= 0.0");
    }
    QX_ASSERT_AS(kArea, closestDistance >= 0.0, "closestDistance >= 0.0");

    if (write) {
      // Carry the centre's offset from the source curve across to the
      // destination: its component along the tangent and across it are kept,
      // in the frame turned with the destination's tangent.
      double const tc = std::min(closestParam, static_cast<double>(n));
      GePoint2<float> const s = srcCurve.evaluate(tc);
      QX_ASSERT_AS(kArea, std::fabs(s.x() - xClosest) < 1.0e-3, "FloatUtil::abs(src.x() - xClosest) < 1.0e-3");
      QX_ASSERT_AS(kArea, std::fabs(s.y() - yClosest) < 1.0e-3, "FloatUtil::abs(src.y() - yClosest) < 1.0e-3");

      double const td = linked.mapSrcParamToDstParam(tc);
      GePoint2<float> const q = dstCurve.evaluate(td);
      GePoint2<float> const T = srcCurve.evaluateUnitTangent(tc);
      GePoint2<float> const U = dstCurve.evaluateUnitTangent(td);

      float const dx = static_cast<float>(px) - static_cast<float>(xClosest);
      float const dy = static_cast<float>(py) - static_cast<float>(yClosest);
      float const along = T.x() * dx + T.y() * dy;
      float const across = T.y() * dx - T.x() * dy;
      float const X = q.x() + along * U.x() + across * U.y();
      float const Y = q.y() + along * U.y() - across * U.x();

      float const cx = static_cast<float>(px), cy = static_cast<float>(py);
      MeshPixel m = readMeshPixel(pixel);
      m.r = toMeshCoordinate(cx + (X - cx) * f);
      m.g = toMeshCoordinate(cy + (Y - cy) * f);
      writeMeshPixel(pixel, m);
    }

    prevX = px;
    prevY = py;
    u = uEnd;
    if (uEnd >= 1.0) {
      // The walk samples a pixel where the curve reaches a neighbour's centre
      // line, so the last segment can end in a pixel it never sampled: the
      // end point rounds to another pixel whenever it lies more than half a
      // pixel from the last sampled centre in x or y without reaching the
      // next centre line (a common case, not only on a centre line), and
      // also on a centre line when float rounding puts the crossing just
      // past u = 1. That pixel gets one more step at u = 1, so that an open
      // curve's end pixel is constrained just as its start pixel always is.
      // The step enters it as a new pixel, which keeps an earlier curve's
      // constraint; the end point lies within one pixel of this one, so the
      // step stays 8-connected. A closed curve steps back into its first
      // pixel, which is already constrained.
      if (k + 1 >= n) {
        GePoint2<float> const end = seg->point(1.0f);
        if (static_cast<int>(std::floor(end.x() + 0.5f)) != px || static_cast<int>(std::floor(end.y() + 0.5f)) != py) {
          u = 1.0;
          continue;
        }
      }
      if (++k >= n) break;
      seg = &srcCurve.getSegment(k);
      u = 0.0;
    } else if (k >= n) {
      break;
    }
  }

  if ((smoothing == Inside || smoothing == Outside) && srcCurve.isClosed()) splitPassesByCurve(corrMesh, src, smoothing);
}

}  // namespace Qx::Warper2D
