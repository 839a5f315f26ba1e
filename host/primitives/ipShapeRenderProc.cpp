// Scanline polygon fill with the non-zero winding rule: centre sampling
// without antialiasing, exact area coverage by signed-area accumulation with
// it. Both walk the rows of the tile with an active edge list.
#include "primitives/ipShapeRenderProc.h"

#include <algorithm>
#include <cmath>

#include "base/assertions.h"

namespace {

// Pixel coverage below this is round-off of the area accumulation, not area.
constexpr double kMinCoverage = 1e-6;

struct Edge {
  double x0, y0, x1, y1;  // y0 < y1
  int dir;                // +1 when the polygon runs down this edge, -1 up
  int firstRow, lastRow;  // rows (tile-relative) the edge contributes to
};

int clampToInt(double v, int lo, int hi) {
  if (!(v >= lo)) return lo;  // also NaN
  if (v > hi) return hi;
  return static_cast<int>(v);
}

// Collects the non-horizontal edges, in coordinates where the tile's rows are
// 0 .. rows - 1. rowOf(ymin, ymax, first, last) gives the rows an edge
// touches. Edges touching no row of the tile are left out.
template <class RowRange>
void collectEdges(Vector<GePoint2<float>> const& poly, double ox, double oy, int rows, RowRange rowOf,
                  Vector<Edge>& edges) {
  std::size_t const n = poly.size();
  edges.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    GePoint2<float> const& a = poly[i];
    GePoint2<float> const& b = poly[(i + 1) % n];
    double ax = a.x() - ox, ay = a.y() - oy, bx = b.x() - ox, by = b.y() - oy;
    if (ay == by) continue;
    int dir = 1;
    if (ay > by) {
      std::swap(ax, bx);
      std::swap(ay, by);
      dir = -1;
    }
    int first, last;
    rowOf(ay, by, first, last);
    first = std::max(first, 0);
    last = std::min(last, rows - 1);
    if (first > last) continue;
    edges.push_back({ax, ay, bx, by, dir, first, last});
  }
  std::sort(edges.begin(), edges.end(), [](Edge const& p, Edge const& q) { return p.firstRow < q.firstRow; });
}

// Keeps `active` holding the edges that touch `row`, given edges sorted by
// first row and the index of the next edge not yet activated.
void updateActive(Vector<Edge> const& edges, std::size_t& next, int row, Vector<Edge const*>& active) {
  active.erase(std::remove_if(active.begin(), active.end(), [row](Edge const* e) { return e->lastRow < row; }),
               active.end());
  while (next < edges.size() && edges[next].firstRow <= row) active.push_back(&edges[next++]);
}

double xAt(Edge const& e, double y) { return e.x0 + (y - e.y0) * (e.x1 - e.x0) / (e.y1 - e.y0); }

// Adds a piece of edge inside one row band, running from x = xa to x = xb
// with signed height dy, to the row's difference accumulator: after a
// running sum over the row, cell i holds the signed area of cell i lying to
// the right of the piece. A piece inside one cell i, of mean abscissa xm,
// covers dy (i + 1 - xm) of that cell and the full dy of every cell after.
// Cells span [i, i + 1); parts left of 0 count as lying on x = 0 and parts
// right of `width` cannot reach any pixel and are dropped.
void accumulatePiece(double xa, double xb, double dy, int width, double* acc) {
  if (xa > xb) std::swap(xa, xb);  // the area right of a piece does not depend on its direction
  double const span = xb - xa;
  double const w = width;
  if (xb <= 0.0) {
    acc[0] += dy;
    return;
  }
  if (xa >= w) return;
  if (xa < 0.0) {
    acc[0] += dy * (-xa / span);
    xa = 0.0;
  }
  double const xEnd = std::min(xb, w);
  if (span <= 0.0) {  // vertical piece
    int const i = std::min(static_cast<int>(xa), width - 1);
    double const f = xa - i;
    acc[i] += dy * (1.0 - f);
    acc[i + 1] += dy * f;
    return;
  }
  double x = xa;
  while (x < xEnd) {
    int const i = std::min(static_cast<int>(x), width - 1);
    double const q = std::min(static_cast<double>(i + 1), xEnd);
    double const part = dy * ((q - x) / span);
    double const xm = 0.5 * (x + q) - i;
    acc[i] += part * (1.0 - xm);
    acc[i + 1] += part * xm;
    x = q;
  }
}

}  // namespace

IpShapeRenderProc::IpShapeRenderProc(IxWriteGuard& guard, Vector<GePoint2<float>> const& polygon,
                                     Antialiasing antialiasing, CoRgbaColorTyped<float> const& colour)
    : _guard(guard), _polygon(polygon), _antialiasing(antialiasing), _colour(colour) {}

void IpShapeRenderProc::process() {
  if (_polygon.size() < 3 || _guard.getPixelRegion().isEmpty()) return;
  for (GePoint2<float> const& p : _polygon)
    if (!std::isfinite(p.x()) || !std::isfinite(p.y())) return;
  if (_antialiasing == ANTIALIASING) processAntialiased();
  else processAliased();
}

// Lays the colour over row y with the coverage of each pixel, then clears the
// coverage for the next row.
void IpShapeRenderProc::blendRow(int y, float* coverage) {
  GeRectangle<int> const& r = _guard.getPixelRegion();
  int const w = r.getWidth();
  IxPixelFormat const& format = _guard.getPixelFormat();
  if (format.getDepth() == IxPixelFormat::FLOAT32 && format.getComps() == IxPixelFormat::ALPHA) {
    float* row = _guard.getRow<float>(y);
    for (int i = 0; i < w; ++i) {
      float const c = coverage[i];
      if (c > 0.0f) row[i] += c * (_colour.a - row[i]);
    }
  } else {
    for (int i = 0; i < w; ++i) {
      float const c = coverage[i];
      if (!(c > 0.0f)) continue;
      std::byte* p = _guard.getPixelAddress(r.x1() + i, y);
      CoRgbaColorTyped<float> v = ixReadColor(format, p);
      v.r += c * (_colour.r - v.r);
      v.g += c * (_colour.g - v.g);
      v.b += c * (_colour.b - v.b);
      v.a += c * (_colour.a - v.a);
      ixWriteColor(format, p, v);
    }
  }
  std::fill(coverage, coverage + w, 0.0f);
}

// Centre sampling: row y is the line through the pixel centres; an edge with
// ymin <= y < ymax crosses it once. Sorted crossings with their directions
// give the winding number along the row, and a pixel is covered when its
// centre x lies in a span [xLeft, xRight) of non-zero winding.
void IpShapeRenderProc::processAliased() {
  GeRectangle<int> const& r = _guard.getPixelRegion();
  int const rows = r.getHeight(), width = r.getWidth();
  Vector<Edge> edges;
  collectEdges(_polygon, 0.0, r.y1(), rows,
               [](double ymin, double ymax, int& first, int& last) {
                 first = clampToInt(std::ceil(ymin), -1, 1 << 30);
                 last = clampToInt(std::ceil(ymax) - 1.0, -1, 1 << 30);
               },
               edges);
  Vector<Edge const*> active;
  active.reserve(edges.size());
  struct Crossing {
    double x;
    int dir;
  };
  Vector<Crossing> crossings;
  crossings.reserve(edges.size());
  Vector<float> coverage(width, 0.0f);
  std::size_t next = 0;
  for (int row = 0; row < rows; ++row) {
    updateActive(edges, next, row, active);
    if (active.empty()) {
      if (next >= edges.size()) break;
      continue;
    }
    crossings.clear();
    for (Edge const* e : active) crossings.push_back({xAt(*e, row), e->dir});
    std::sort(crossings.begin(), crossings.end(), [](Crossing const& a, Crossing const& b) { return a.x < b.x; });
    int winding = 0;
    double start = 0.0;
    bool any = false;
    for (Crossing const& c : crossings) {
      int const before = winding;
      winding += c.dir;
      if (before == 0 && winding != 0) {
        start = c.x;
      } else if (before != 0 && winding == 0) {
        // Pixels with start <= x < c.x, x absolute; index i = x - x1.
        int const i0 = clampToInt(std::ceil(start - r.x1()), 0, width);
        int const i1 = clampToInt(std::ceil(c.x - r.x1()), 0, width);
        for (int i = i0; i < i1; ++i) coverage[i] = 1.0f;
        any = any || i1 > i0;
      }
    }
    if (any) blendRow(r.y1() + row, coverage.data());
  }
}

// Exact area coverage: in coordinates where pixel (i, j) of the tile is the
// square [i, i + 1) x [j, j + 1), every edge is cut into its pieces inside
// each row band and each piece adds the signed area to its right
// (accumulatePiece). The running sum along the row is the winding-weighted
// area of each pixel; its magnitude clamped to 1 is the non-zero coverage.
void IpShapeRenderProc::processAntialiased() {
  GeRectangle<int> const& r = _guard.getPixelRegion();
  int const rows = r.getHeight(), width = r.getWidth();
  Vector<Edge> edges;
  collectEdges(_polygon, r.x1() - 0.5, r.y1() - 0.5, rows,
               [](double ymin, double ymax, int& first, int& last) {
                 first = clampToInt(std::floor(ymin), -1, 1 << 30);
                 last = clampToInt(std::ceil(ymax) - 1.0, -1, 1 << 30);
               },
               edges);
  Vector<Edge const*> active;
  active.reserve(edges.size());
  Vector<double> acc(static_cast<std::size_t>(width) + 2, 0.0);
  Vector<float> coverage(width, 0.0f);
  std::size_t next = 0;
  for (int row = 0; row < rows; ++row) {
    updateActive(edges, next, row, active);
    if (active.empty()) {
      if (next >= edges.size()) break;
      continue;
    }
    double const top = row, bottom = row + 1.0;
    for (Edge const* e : active) {
      double const ya = std::max(e->y0, top), yb = std::min(e->y1, bottom);
      if (!(yb > ya)) continue;
      double const xa = ya == e->y0 ? e->x0 : xAt(*e, ya);
      double const xb = yb == e->y1 ? e->x1 : xAt(*e, yb);
      accumulatePiece(xa, xb, (yb - ya) * e->dir, width, acc.data());
    }
    double sum = 0.0;
    bool any = false;
    for (int i = 0; i < width; ++i) {
      sum += acc[i];
      double const c = std::min(std::abs(sum), 1.0);
      if (c > kMinCoverage) {
        coverage[i] = static_cast<float>(c);
        any = true;
      }
    }
    std::fill(acc.begin(), acc.end(), 0.0);
    if (any) blendRow(r.y1() + row, coverage.data());
  }
}
