// Link mapping between two Bezier curves: knots from the link pairs, arc
// length tables, and the blended progress measure that places a source
// parameter between its two knots and finds the destination parameter with
// the same progress.
#include "primitives/geLinkedBeziers.h"

#include <algorithm>
#include <cmath>

#include "primitives/geBezierCurve.h"

namespace {

constexpr int K = GeLinkedBeziers::kSamplesPerSegment;

// Point of a cubic in double, Bernstein form.
void bezierPoint(GePoint2<float> const& p0, GePoint2<float> const& c1, GePoint2<float> const& c2,
                 GePoint2<float> const& p3, double u, double& x, double& y) {
  double const v = 1.0 - u;
  double const b0 = v * v * v, b1 = 3.0 * v * v * u, b2 = 3.0 * v * u * u, b3 = u * u * u;
  x = b0 * p0.x() + b1 * c1.x() + b2 * c2.x() + b3 * p3.x();
  y = b0 * p0.y() + b1 * c1.y() + b2 * c2.y() + b3 * p3.y();
}

}  // namespace

void GeLinkedBeziers::ArcTable::build(GeBezierCurve const& curve) {
  segments = curve.getSegmentCount();
  length.assign(static_cast<std::size_t>(segments) * K + 1, 0.0);
  double sum = 0.0;
  for (int k = 0; k < segments; ++k) {
    GePoint2<float> p0, c1, c2, p3;
    curve.getSegment(k, p0, c1, c2, p3);
    double px, py;
    bezierPoint(p0, c1, c2, p3, 0.0, px, py);
    for (int j = 1; j <= K; ++j) {
      double x, y;
      bezierPoint(p0, c1, c2, p3, static_cast<double>(j) / K, x, y);
      double const chord = std::hypot(x - px, y - py);
      if (std::isfinite(chord)) sum += chord;
      length[static_cast<std::size_t>(k) * K + j] = sum;
      px = x;
      py = y;
    }
  }
  // An overflowing total would make every ratio meaningless: fall back to the
  // parameter alone by treating the curve as having no length.
  if (!std::isfinite(sum)) {
    std::fill(length.begin(), length.end(), 0.0);
    sum = 0.0;
  }
  total = sum;
}

double GeLinkedBeziers::ArcTable::at(double t) const {
  if (segments == 0) return 0.0;
  double const x = t * K;
  int const last = segments * K;
  int i = static_cast<int>(std::floor(x));
  i = std::clamp(i, 0, last - 1);
  double const f = std::clamp(x - i, 0.0, 1.0);
  return length[i] + f * (length[i + 1] - length[i]);
}

double GeLinkedBeziers::unwrappedLength(ArcTable const& arc, double t) {
  if (t > arc.segments) return arc.total + arc.at(t - arc.segments);
  return arc.at(t);
}

GeLinkedBeziers::GeLinkedBeziers(GeBezierCurve const& src, Vector<float> const& srcLinks, GeBezierCurve const& dst,
                                 Vector<float> const& dstLinks, double arcLengthWeight)
    : _weight(std::isfinite(arcLengthWeight) ? std::clamp(arcLengthWeight, 0.0, 1.0) : 0.0) {
  _srcArc.build(src);
  _dstArc.build(dst);
  double const nS = _srcArc.segments, nD = _dstArc.segments;
  _wrap = src.isClosed() && _srcArc.segments > 0;
  _dstClosed = dst.isClosed() && _dstArc.segments > 0;

  // Each curve's links are placed by that curve's own closure: a closed
  // curve's positions wrap round it, an open curve's are clamped to its
  // ends. Where the mapping does not run round the source, the end n of a
  // closed destination is a place of its own (a link there pairs with the
  // source's end), so only positions outside [0, n] wrap.
  auto const place = [](double v, double n, bool closed, bool cyclic) {
    if (!closed || (!cyclic && v >= 0.0 && v <= n)) return std::clamp(v, 0.0, n);
    v = std::fmod(v, n);
    if (v < 0.0) v += n;
    if (v >= n) v = 0.0;  // -tiny + n rounds to n
    return v + 0.0;       // and a -0 (a negative multiple of n) becomes 0
  };
  std::size_t const count = std::min(srcLinks.size(), dstLinks.size());
  _knots.reserve(count + 2);
  for (std::size_t i = 0; i < count; ++i) {
    double const s = srcLinks[i], d = dstLinks[i];
    if (!std::isfinite(s) || !std::isfinite(d)) continue;
    _knots.push_back({place(s, nS, _wrap, _wrap), place(d, nD, _dstClosed, _wrap)});
  }
  // Order along the source; of links sharing a source place the first given wins.
  std::stable_sort(_knots.begin(), _knots.end(), [](Knot const& a, Knot const& b) { return a.src < b.src; });
  _knots.erase(std::unique(_knots.begin(), _knots.end(), [](Knot const& a, Knot const& b) { return a.src == b.src; }),
               _knots.end());

  if (_wrap) {
    if (_knots.empty()) _knots.push_back({0.0, 0.0});
    // Destination links follow the source cyclically: unwrap each one to at
    // or after its predecessor, and no further than a lap after the first.
    double const first = _knots.front().dst;
    for (std::size_t i = 1; i < _knots.size(); ++i) {
      double d = _knots[i].dst;
      if (d < _knots[i - 1].dst) d += nD;
      d = std::clamp(d, _knots[i - 1].dst, first + nD);
      _knots[i].dst = d;
    }
    _knots.push_back({_knots.front().src + nS, first + nD});
  } else {
    for (std::size_t i = 1; i < _knots.size(); ++i) _knots[i].dst = std::max(_knots[i].dst, _knots[i - 1].dst);
    if (_knots.empty() || _knots.front().src > 0.0) _knots.insert(_knots.begin(), {0.0, 0.0});
    if (_knots.back().src < nS) _knots.push_back({nS, std::max(nD, _knots.back().dst)});
  }
}

// g(d) = (1 - w) (d - da) / (db - da) + w (L(d) - la) / (lb - la), the
// arc-length term replaced by the parameter term when lb == la.
double GeLinkedBeziers::progressDst(double d, double da, double db, double la, double lb) const {
  double const param = (d - da) / (db - da);
  double const arc = lb > la ? (unwrappedLength(_dstArc, d) - la) / (lb - la) : param;
  return (1.0 - _weight) * param + _weight * arc;
}

// g is piecewise linear in d with breakpoints on the arc table's sample grid,
// so the solution of g(d) = f is found by bisection over the grid points
// inside [da, db] and a linear solve inside the bracketing piece.
double GeLinkedBeziers::invertDst(double f, double da, double db) const {
  double const la = unwrappedLength(_dstArc, da), lb = unwrappedLength(_dstArc, db);
  int lo = static_cast<int>(std::ceil(da * K)), hi = static_cast<int>(std::floor(db * K));
  // Largest grid index j in [lo, hi] with g(j / K) <= f, or lo - 1 if none.
  // On grid points the arc length is a table entry: no interpolation needed.
  int const lap = _dstArc.segments * K;
  double const invSpan = 1.0 / ((db - da) * K), base = da * K;
  auto gridProgress = [&](int j) {
    double const param = (j - base) * invSpan;
    if (!(lb > la)) return param;
    double const len = j <= lap ? _dstArc.length[j] : _dstArc.total + _dstArc.length[std::min(j - lap, lap)];
    return (1.0 - _weight) * param + _weight * (len - la) / (lb - la);
  };
  int best = lo - 1;
  while (lo <= hi) {
    int const m = lo + (hi - lo) / 2;
    if (gridProgress(m) <= f) {
      best = m;
      lo = m + 1;
    } else {
      hi = m - 1;
    }
  }
  int const top = static_cast<int>(std::floor(db * K));
  double const b = best < static_cast<int>(std::ceil(da * K)) ? da : static_cast<double>(best) / K;
  double const c = best + 1 <= top ? static_cast<double>(best + 1) / K : db;
  double const gb = b == da ? 0.0 : progressDst(b, da, db, la, lb);
  double const gc = c == db ? 1.0 : progressDst(c, da, db, la, lb);
  if (!(gc > gb)) return b;
  return std::clamp(b + (f - gb) / (gc - gb) * (c - b), b, c);
}

double GeLinkedBeziers::mapSrcParamToDstParam(double t) const {
  double const nS = _srcArc.segments, nD = _dstArc.segments;
  if (!std::isfinite(t)) return 0.0;
  t = std::clamp(t, 0.0, nS);
  bool const atEnd = t == nS;
  if (_wrap && t < _knots.front().src) t += nS;

  // Knot interval [a, a + 1] holding t.
  auto const it = std::upper_bound(_knots.begin(), _knots.end(), t, [](double v, Knot const& k) { return v < k.src; });
  std::size_t a = it == _knots.begin() ? 0 : static_cast<std::size_t>(it - _knots.begin()) - 1;
  double r;
  if (a + 1 >= _knots.size()) {
    r = _knots.back().dst;
  } else {
    Knot const& ka = _knots[a];
    Knot const& kb = _knots[a + 1];
    double const fp = (t - ka.src) / (kb.src - ka.src);
    double const la = unwrappedLength(_srcArc, ka.src), lb = unwrappedLength(_srcArc, kb.src);
    double const fa = lb > la ? (unwrappedLength(_srcArc, t) - la) / (lb - la) : fp;
    double const f = std::clamp((1.0 - _weight) * fp + _weight * fa, 0.0, 1.0);
    if (f <= 0.0 || !(kb.dst > ka.dst)) r = ka.dst;
    else if (f >= 1.0) r = kb.dst;
    else r = invertDst(f, ka.dst, kb.dst);
  }
  // Back into the first lap; the source's end keeps n_dst rather than 0 so
  // that a walk along the whole source ends where it should.
  // An open destination's end is a point of its own and stays n_dst.
  if (_wrap && (r > nD || (r == nD && !atEnd && _dstClosed))) r -= nD;
  return std::clamp(r, 0.0, nD);
}
