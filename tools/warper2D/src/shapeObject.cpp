// Link normalisation, pairing and clamping for shape curves.
#include "shapeObject.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/assertions.h"
#include "shape/seShapeParts.h"

namespace Qx {

namespace {

// (normalised position, link number), ascending by position.
using SortedLinks = Vector<std::pair<float, int>>;

void sortLinks(bool closed, int nbPoints, Vector<float> const& links, std::size_t count, SortedLinks& out) {
  out.clear();
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i)
    out.emplace_back(ShapeObject::normalizeLinkPosition(closed, nbPoints, links[i]), static_cast<int>(i));
  std::sort(out.begin(), out.end(), [](auto const& a, auto const& b) { return a.first < b.first; });
}

int placeOf(SortedLinks const& list, int linkNumber) {
  for (std::size_t j = 0; j < list.size(); ++j)
    if (list[j].second == linkNumber) return static_cast<int>(j);
  return static_cast<int>(list.size());
}

// Both sorted lists and the place offset that pairs them: source place j goes
// with destination place (j + offset) mod count. On a closed curve the offset
// lines link 0 up with link 0 and the rest follow cyclically.
struct Pairing {
  SortedLinks src, dst;
  int count = 0;
  int offset = 0;
};

void buildPairing(bool closed, int nbSrcPoints, Vector<float> const& srcLinks, int nbDstPoints,
                  Vector<float> const& dstLinks, Pairing& p) {
  std::size_t const count = std::min(srcLinks.size(), dstLinks.size());
  p.count = static_cast<int>(count);
  sortLinks(closed, nbSrcPoints, srcLinks, count, p.src);
  sortLinks(closed, nbDstPoints, dstLinks, count, p.dst);
  p.offset = 0;
  if (closed && count > 0) {
    int const nbLinks = p.count;
    int const srcIndex0 = placeOf(p.src, 0);
    QX_ASSERT(srcIndex0 < nbLinks);
    int const dstIndex0 = placeOf(p.dst, 0);
    QX_ASSERT(dstIndex0 < nbLinks);
    p.offset = (dstIndex0 - srcIndex0 + nbLinks) % nbLinks;
  }
}

}  // namespace

float ShapeObject::normalizeLinkPosition(bool closed, int nbPoints, float position) {
  nbPoints = std::max(nbPoints, 0);  // a negative count is a curve with no points
  // The absolute value turns a -0 into 0: a clamped -0 on an open curve, and
  // on a closed one a negative multiple of the point count, which wraps to -0.
  if (closed) return std::fabs(SeShapeParts::validateGradientHandleClosedCurve(position, nbPoints));
  return std::fabs(
      SeShapeParts::validateGradientHandleOpenedCurve(0.0f, position, static_cast<float>(nbPoints - 1)));
}

void ShapeObject::sortAndNormalizeLinks(bool closed, int nbSrcPoints, Vector<float> const& srcLinks,
                                        int nbDstPoints, Vector<float> const& dstLinks, Vector<float>& outSrc,
                                        Vector<float>& outDst) {
  outSrc.clear();
  outDst.clear();
  Pairing p;
  buildPairing(closed, nbSrcPoints, srcLinks, nbDstPoints, dstLinks, p);
  outSrc.reserve(p.count);
  outDst.reserve(p.count);
  for (int j = 0; j < p.count; ++j) {
    outSrc.push_back(p.src[j].first);
    outDst.push_back(p.dst[(j + p.offset) % p.count].first);
  }
}

int ShapeObject::getCorrespondingLinkIndex(bool closed, int nbSrcPoints, Vector<float> const& srcLinks,
                                           int nbDstPoints, Vector<float> const& dstLinks, bool fromDestination,
                                           int linkIndex) {
  Pairing p;
  buildPairing(closed, nbSrcPoints, srcLinks, nbDstPoints, dstLinks, p);
  SortedLinks const& from = fromDestination ? p.dst : p.src;
  int const j = placeOf(from, linkIndex);
  if (j >= p.count) {
    QX_ASSERT(false && "Did not find link index");
    return 0;
  }
  if (!fromDestination) return p.dst[(j + p.offset) % p.count].second;
  return p.src[(j + p.count - p.offset) % p.count].second;
}

float ShapeObject::clampLinkPosition(bool closed, int nbPoints, Vector<float> const& links, int linkIndex,
                                     float position) {
  int const nbLinks = static_cast<int>(links.size());
  QX_ASSERT(nbLinks > 0);
  if (nbLinks == 1) {
    QX_ASSERT(linkIndex == 0);
    return position;
  }
  nbPoints = std::max(nbPoints, 0);  // a negative count is a curve with no points
  float const p = normalizeLinkPosition(closed, nbPoints, position);
  SortedLinks sorted;
  sortLinks(closed, nbPoints, links, links.size(), sorted);
  int const newIndex = placeOf(sorted, linkIndex);
  QX_ASSERT(newIndex < nbLinks);

  float const nPoints = static_cast<float>(nbPoints);
  bool const wrapsStart = closed && (newIndex == 0 || newIndex == nbLinks - 1);
  float prev, next;
  if (!wrapsStart) {
    prev = newIndex > 0 ? sorted[newIndex - 1].first : 0.0f;
    next = newIndex < nbLinks - 1 ? sorted[newIndex + 1].first : std::max(nPoints - 1.0f, 0.0f);
  } else if (newIndex == 0) {
    prev = sorted[nbLinks - 1].first;
    next = sorted[1].first + nPoints;
  } else {
    QX_ASSERT(newIndex == nbLinks-1);
    prev = sorted[nbLinks - 2].first;
    next = sorted[0].first + nPoints;
  }
  // Keep a gap to each neighbour: 1e-4 of a segment, or less when the
  // neighbours are closer than that.
  float const margin = std::min(0.3f * (next - prev), 0.0001f);
  float const lo = prev + margin, hi = next - margin;
  if (!wrapsStart) return std::min(std::max(lo, p), hi);

  // The window [lo, hi] runs past the curve's end: unroll p into it, and when
  // it falls in the gap outside the window go to the nearer edge, measured
  // forward to lo on the next lap and backward to hi.
  float x = p < lo ? p + nPoints : p;
  if (x - nPoints >= lo) x -= nPoints;
  if (x > hi) {
    float const diffPrev = lo + nPoints - x;
    float const diffNext = x - hi;
    QX_ASSERT(0 <= diffPrev);
    QX_ASSERT(diffPrev <= nPoints);
    QX_ASSERT(0 <= diffNext);
    QX_ASSERT(diffNext <= nPoints);
    x = diffNext > diffPrev ? lo : hi;
  }
  return x >= nPoints ? x - nPoints : x;
}

}  // namespace Qx
