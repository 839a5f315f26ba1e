// Seeded fuzzing of the numerical core, one generator per entry point:
// createSmoothGrid on random meshes, constraints, pass numbers, targets and
// arguments; applyCurveToCorrespondence on random and degenerate curve pairs
// and links (then solved and resampled as the pipeline does); ShapeObject's
// link operations; VectorResampleProc::resample on random meshes, regions and
// amounts. No case may assert, change a constrained pixel, give a non-finite
// output, or outlast a generous processor time (a detector of unbounded
// cost, not a speed test: processor time, summed over the worker threads, does
// not grow when other jobs share the machine; a deadlock is ctest's timeout); a
// mesh without constraints solves to the identity, resampling does not depend
// on the thread count.
// Case k replays alone with WARP2D_FUZZ_FIRST=k WARP2D_FUZZ_CASES=1; a long
// campaign raises WARP2D_FUZZ_CASES.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/assertions.h"
#include "curveEvaluator.h"
#include "primitives/geBezierCurve.h"
#include "shapeObject.h"
#include "vectorResampleProc.h"
#include "warpGridProc.h"

namespace {

using namespace Qx::Warper2D;
using Rng = std::mt19937_64;
using Rect = GeRectangle<int>;
using P = GePoint2<float>;

#if defined(__SANITIZE_ADDRESS__)
constexpr int kSlowdown = 25, kShare = 4;  // the instrumented build: a quarter of the cases, more time for each
#else
constexpr int kSlowdown = 1, kShare = 1;
#endif
constexpr double kCaseSeconds = 2.0 * kSlowdown;
// A solve that does not converge spends its whole budget, once per pass: that
// time is allowed on top, at a rate several times below this machine's.
constexpr double kSecondsPerTermEvaluation = 5e-8 * kSlowdown;
double budgetSeconds = 0;  // of the current case
float const kNaN = NAN, kInf = INFINITY;

// Draws are sequenced (never two arguments of one call), so every compiler replays a case alike.
int integer(Rng& r, int a, int b) { return std::uniform_int_distribution<int>(a, b)(r); }
double uniform(Rng& r, double a, double b) { return std::uniform_real_distribution<double>(a, b)(r); }
template <class T>
T pick(Rng& r, std::initializer_list<T> v) { return v.begin()[integer(r, 0, int(v.size()) - 1)]; }
P point(Rng& r, P const& centre, float spread) {
  float const x = float(uniform(r, -spread, spread));
  return centre + P(x, float(uniform(r, -spread, spread)));
}
// Mostly ordinary, now and then extreme or not finite.
float wild(Rng& r, float typical) {
  return integer(r, 0, 9) ? typical : pick<float>(r, {0, -0.0f, 1e-30f, 6e5f, -1e12f, 1e30f, 3e38f, kNaN, kInf, -kInf});
}

Rect randomRegion(Rng& r, int maxSide) {
  int const far = integer(r, 0, 9) ? 0 : pick(r, {1000000, -2000000000});  // far out, near the int range's end
  int const x = far + integer(r, -40, 40), y = integer(r, -40, 40) - far / 2;
  int const w = integer(r, 1, maxSide), h = integer(r, 1, maxSide);
  Rect const g(x, y, x + w, y + h);
  return integer(r, 0, 2) ? g : WarpGridProc::computeCorrespondenceImageRegion(g);
}

// A FLOAT32 RGB tile, its rows padded now and then.
IxTile rgbTile(Rng& r, Rect const& g) {
  return IxTile(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), g, CoRgbaColorTyped<float>::ZERO, 1.0f,
                integer(r, 0, 1) ? 0 : 12 * std::ptrdiff_t(g.getWidth()) + 16 * integer(r, 1, 3));
}

// Calls f(x, y, pixel address) for every pixel of the tile, row by row.
template <class F>
void forPixels(IxTile const& t, F&& f) {
  IxWriteGuard g(t);
  for (int y = t.getPixelRegion().y1(); y < t.getPixelRegion().y2(); ++y)
    for (int x = t.getPixelRegion().x1(); x < t.getPixelRegion().x2(); ++x) f(x, y, g.getPixelAddress(x, y));
}
std::vector<MeshPixel> pixels(IxTile const& t) {
  std::vector<MeshPixel> out;
  forPixels(t, [&](int, int, std::byte* p) { out.push_back(readMeshPixel(p)); });
  return out;
}
bool same(MeshPixel const& a, MeshPixel const& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool finite(MeshPixel const& m) { return std::isfinite(m.r) && std::isfinite(m.g); }
// A vector pixel: written (B = 1.0) with a finite position, or left unreached by the scatter path (all 0).
bool written(MeshPixel const& m) { return finite(m) && m.b == 0x3f800000u; }
bool unreached(MeshPixel const& m) { return m.r == 0 && m.g == 0 && m.b == 0; }

// Realistic solve arguments, or random small ones. The solve keeps every B
// pattern and every constrained pixel, and leaves the others finite.
void solveAndCheck(Rng& r, IxTile const& t, bool realistic) {
  // A budget only decides how long a solve that does not converge runs: a
  // higher quality's (up to seconds per pass) is cut to quality 1's.
  WarpGridProc::SolveArguments s = WarpGridProc::computeSolveArguments(uniform(r, 1, 10), t.getPixelRegion());
  s.passWork = std::min(s.passWork, 200);
  double magnet = 0, tolX = 1e-10, tolE = 1e-20;
  std::vector<int> work{s.cycleWork};
  if (!realistic) {
    s.minStep = 1 << integer(r, 0, 6);
    s.passWork = integer(r, 0, 20);
    s.refineThreshold = pick<double>(r, {0, 0.05, 1, 1e6});
    work.resize(integer(r, 1, 3));
    for (int& w : work) w = integer(r, 0, 10);
    magnet = pick<double>(r, {0, 0, 0, 1e-3, 1, 100, 1e6});
    tolX = pick<double>(r, {1e-10, 0, 1e-3, 1});
    tolE = pick<double>(r, {1e-20, 0, 1e-3});
  }
  std::vector<MeshPixel> const before = pixels(t);
  std::set<std::uint32_t> passes;
  for (MeshPixel const& m : before) passes.insert(m.b & CONSTRAINED_BIT ? 0 : m.b);
  budgetSeconds += double(passes.size()) * s.passWork * 1e4 * kSecondsPerTermEvaluation;
  bool const affine = integer(r, 0, 1);
  IxWriteGuard g(t);
  WarpGridProc::createSmoothGrid(g, magnet, affine, s.minStep, s.passWork, int(work.size()), work.data(), tolX, tolE,
                                 s.refineThreshold, nullptr);
  std::vector<MeshPixel> const after = pixels(t);
  bool const free = std::none_of(before.begin(), before.end(), [](MeshPixel const& m) { return m.b & CONSTRAINED_BIT; });
  Rect const area = t.getPixelRegion();
  for (std::size_t i = 0; i < after.size(); ++i) {
    bool const constrained = before[i].b & CONSTRAINED_BIT;
    float const x = float(area.x1() + int(i) % area.getWidth()), y = float(area.y1() + int(i) / area.getWidth());
    ASSERT_TRUE(constrained ? same(before[i], after[i])
                            : after[i].b == before[i].b && finite(after[i]) && (!free || (after[i].r == x && after[i].g == y)))
        << "pixel " << i << ": " << before[i].r << "," << before[i].g << " -> " << after[i].r << "," << after[i].g;
  }
}

void solveCase(Rng& r) {
  Rect const g = randomRegion(r, 64);
  IxTile const t = rgbTile(r, g);
  // Constraints: none, scattered, the frame, a ring, a cross, all. Pass
  // numbers: none, a few, a few sparse ones, or (on small meshes: each pass
  // may spend its budget) any. Targets: a shift, an affine map, noise, far out.
  int const pattern = integer(r, 0, 5), passes = integer(r, 0, 2 + (g.getWidth() * g.getHeight() <= 256));
  int const targets = integer(r, 0, 3);
  std::uint32_t const sparse[4] = {0, std::uint32_t(integer(r, 1, int(PASS_MASK))),
                                   std::uint32_t(integer(r, 1, int(PASS_MASK))), PASS_MASK};
  double const density = pick(r, {0.002, 0.02, 0.2, 0.9}), radius = uniform(r, 0, 40);
  double const cx = uniform(r, g.x1(), g.x2()), cy = uniform(r, g.y1(), g.y2());
  double const a = uniform(r, -2, 2), b = uniform(r, -2, 2), c = uniform(r, -2, 2), d = uniform(r, -2, 2);
  float const scale = pick<float>(r, {1, 1, 1e3f, 1e30f});
  forPixels(t, [&](int x, int y, std::byte* pixel) {
    double const u = uniform(r, 0, 1);
    bool const on[] = {false, u < density, x == g.x1() || y == g.y1() || x == g.x2() - 1 || y == g.y2() - 1,
                       std::abs(std::hypot(x - cx, y - cy) - radius) <= 0.5,
                       x == int(cx) || y == int(cy) || u < density * 0.1, true};
    float const nx = float(uniform(r, -1, 1)), ny = float(uniform(r, -1, 1));
    float const tx[] = {x + 3.5f, float(x + a * (x - cx) + b * (y - cy)), nx, nx * scale};
    float const ty[] = {y - 2.0f, float(y + c * (x - cx) + d * (y - cy)), ny, ny};
    std::uint32_t const pass[] = {0, std::uint32_t(integer(r, 0, 2)), sparse[integer(r, 0, 3)],
                                  std::uint32_t(integer(r, 0, int(PASS_MASK)))};
    MeshPixel m{0, 0, pass[passes]};
    std::uint32_t const bits = CONSTRAINED_BIT | (integer(r, 0, 1) ? SMOOTHING_BIT : 0);
    if (on[pattern]) m = {wild(r, tx[targets]), wild(r, ty[targets]), bits};
    else if (integer(r, 0, 20) == 0) m = {wild(r, float(x)), kNaN, pass[passes]};  // unconstrained garbage
    writeMeshPixel(pixel, m);
  });
  solveAndCheck(r, t, integer(r, 0, 1));
}

// Kinds: one point or none, corners, loops, on pixel edges and centres,
// repeated points, cusps, a point not finite or out of range, ordinary; from
// a fraction of a pixel to tens of thousands long. `unusable` tells those
// the rasteriser skips: no point, or one not finite or half a million out.
GeBezierCurve randomCurve(Rng& r, Rect const& g, bool& unusable) {
  int const kind = integer(r, 0, 9), n = kind == 0 ? pick(r, {0, 1}) : integer(r, 2, pick(r, {4, 12}));
  float const spread = pick<float>(r, {0.3f, 3, 30, 30, 300, 15000}), handle = kind == 1 ? 0 : kind == 2 ? 800 : spread / 2;
  float const ox = float(uniform(r, g.x1() - 5, g.x2() + 5));
  P const origin(ox, float(uniform(r, g.y1() - 5, g.y2() + 5)));
  auto snap = [&](P q) { return kind == 3 ? P(std::round(q.x() * 2) / 2, std::round(q.y() * 2) / 2) : q; };
  Vector<P> pts;
  unusable = n == 0 || !(std::fabs(origin.x()) < 5e5f && std::fabs(origin.y()) < 5e5f);
  for (int i = 0; i < n; ++i) {
    P const p = kind == 4 && i > 0 ? pts[pts.size() - 2] : point(r, origin, spread);
    P in = point(r, p, handle), out = point(r, p, handle);
    if (kind == 6) std::swap(in, out);                    // loops
    if (kind == 7 && i > 0) pts.back() = p + (p - out);  // cusps: the handles cross over the chord
    float const x = kind == 5 && i == 1 ? wild(r, p.x()) : p.x();
    unusable |= !(std::fabs(x) < 5e5f);
    pts.insert(pts.end(), {snap(in), snap(P(x, p.y())), snap(out)});
  }
  return GeBezierCurve(pts, integer(r, 0, 1));
}

float linkValue(Rng& r, int n) {
  float const end = float(n), belowEnd = std::nextafter(end, 0.0f);
  return integer(r, 0, 3) ? float(uniform(r, 0, std::max(n, 0)))
                          : pick<float>(r, {0, end, -end, 2 * end, -1e-8f, belowEnd, 0.5f, 1e30f, kNaN, kInf});
}
// Now and then a link on (or a hair beside) the first one.
Vector<float> randomLinks(Rng& r, int n) {
  Vector<float> v(integer(r, 0, 5));
  for (float& x : v)
    x = v.size() > 1 && integer(r, 0, 3) == 0 ? v[0] + (integer(r, 0, 1) ? float(uniform(r, -2e-4, 2e-4)) : 0.0f)
                                              : linkValue(r, n);
  return v;
}

// Curve pairs rasterised one after another, into the tile and into a larger
// one around it: the same pixels wherever both reach. A pixel keeps the first
// curve that constrains it (a later curve's joint excepted), new targets are
// finite, both ends are constrained, an unusable shape changes nothing. Then
// the pipeline: solve and resample.
void curveCase(Rng& r) {
  Rect const g = randomRegion(r, 64);
  IxTile const t = rgbTile(r, g), around = rgbTile(r, Rect(g.x1() - 20, g.y1() - 20, g.x2() + 20, g.y2() + 20));
  std::uint32_t const pass = integer(r, 0, 3) ? 0 : integer(r, 1, int(PASS_MASK));  // sparse ones from elsewhere
  forPixels(t, [&](int x, int y, std::byte* p) { writeMeshBits(p, (x + y) % 3 ? 0 : pass); });
  for (int shape = 0, shapes = integer(r, 1, 4); shape < shapes; ++shape) {
    bool srcBad, otherBad;
    GeBezierCurve const src = randomCurve(r, g, srcBad), other = randomCurve(r, g, otherBad);
    bool const identical = integer(r, 0, 3) == 0;
    GeBezierCurve const& dst = identical ? src : other;
    double const f = integer(r, 0, 9) ? uniform(r, -0.5, 1.5) : wild(r, 1);
    Vector<float> const srcLinks = randomLinks(r, src.getSegmentCount());
    Vector<float> const dstLinks = randomLinks(r, dst.getSegmentCount());
    auto const smoothing = WarpGridProc::Smoothing(integer(r, 0, 3));
    std::uint32_t const flags = CONSTRAINED_BIT | (smoothing == WarpGridProc::None ? 0 : SMOOTHING_BIT);
    auto allFinite = [](Vector<float> const& v) { return std::all_of(v.begin(), v.end(), [](float x) { return std::isfinite(x); }); };
    bool const skipped = srcBad || (!identical && otherBad) || !std::isfinite(float(f)) || !allFinite(srcLinks) || !allFinite(dstLinks);
    std::vector<MeshPixel> const before = pixels(t);
    for (IxTile const& tile : {t, around}) {
      IxWriteGuard w(tile);
      WarpGridProc::applyCurveToCorrespondence(src, srcLinks, dst, dstLinks, f, smoothing, w);
    }
    std::vector<MeshPixel> const after = pixels(t);
    IxReadGuard const large(around);
    for (std::size_t i = 0; i < after.size(); ++i) {
      int const x = g.x1() + int(i) % g.getWidth(), y = g.y1() + int(i) / g.getWidth();
      MeshPixel const m = readMeshPixel(large.getPixelAddress(x, y));  // pass numbers depend on the tile
      ASSERT_TRUE(m.r == after[i].r && m.g == after[i].g && (m.b & ~PASS_MASK) == (after[i].b & ~PASS_MASK));
      bool joint = false;
      for (int k = 1; k < src.getSegmentCount(); ++k)
        joint |= std::floor(src.getCtrlPoint(k).x() + 0.5f) == x && std::floor(src.getCtrlPoint(k).y() + 0.5f) == y;
      if (skipped || (before[i].b & CONSTRAINED_BIT)) ASSERT_TRUE(joint && !skipped ? before[i].b == after[i].b : same(before[i], after[i]));
      else if (after[i].b & CONSTRAINED_BIT)
        ASSERT_TRUE(finite(after[i]) && (after[i].b & ~PASS_MASK) == flags) << x << "," << y << " f " << f;
      else ASSERT_TRUE(after[i].r == before[i].r && after[i].g == before[i].g);
    }
    CurveEvaluator const e(src);  // the ends as the walk's own evaluation rounds them
    for (double end : {0.0, double(e.getSegmentCount())}) {
      P const p = e.evaluate(end);
      int const px = int(std::floor(p.x() + 0.5f)), py = int(std::floor(p.y() + 0.5f));
      ASSERT_TRUE(skipped || !g.contains(px, py) || (after[(py - g.y1()) * g.getWidth() + px - g.x1()].b & CONSTRAINED_BIT));
    }
  }
  solveAndCheck(r, t, true);
  IxTile const vectors = rgbTile(r, Rect(g.x1(), g.y1(), g.x2() - integer(r, 0, 2), g.y2()));
  VectorResampleProc::resample(vectors, t, integer(r, 0, 1), 1, 1);
  for (MeshPixel const& m : pixels(vectors)) ASSERT_TRUE(written(m) || unreached(m));
}

// Normalised links lie on their curves, pair both ways, and a moved link stays on its curve.
void linkCase(Rng& r) {
  bool const closed = integer(r, 0, 1);
  int const ns = pick(r, {-1, 0, 1, 2, 4, 7, 1000, 1 << 24, (1 << 24) + 1});
  int const nd = integer(r, 0, 1) ? ns : pick(r, {0, 1, 3, 8});
  Vector<float> const sl = randomLinks(r, ns), dl = randomLinks(r, nd);
  auto onCurve = [&](float v, int n) { return v >= 0 && (closed ? v < std::max(n, 1) : v <= std::max(n - 1, 0)); };
  Vector<float> os, od;
  Qx::ShapeObject::sortAndNormalizeLinks(closed, ns, sl, nd, dl, os, od);
  ASSERT_TRUE(os.size() == std::min(sl.size(), dl.size()) && od.size() == os.size());
  for (std::size_t i = 0; i < os.size(); ++i) {
    ASSERT_TRUE(onCurve(os[i], ns) && onCurve(od[i], nd) && (i == 0 || os[i - 1] <= os[i])) << os[i] << " " << od[i];
    int const j = Qx::ShapeObject::getCorrespondingLinkIndex(closed, ns, sl, nd, dl, false, int(i));
    ASSERT_EQ(Qx::ShapeObject::getCorrespondingLinkIndex(closed, ns, sl, nd, dl, true, j), int(i));
  }
  for (int i = 0; i < int(sl.size()) && sl.size() > 1; ++i) {
    float const p = Qx::ShapeObject::clampLinkPosition(closed, ns, sl, i, linkValue(r, ns));
    ASSERT_TRUE(onCurve(p, ns)) << p;
  }
}

// Meshes that are linear maps (contractions and reflections among them),
// waves, noise or one constant point, with bad values sprinkled in.
void resampleCase(Rng& r) {
  Rect const g = randomRegion(r, 64);
  IxTile const mesh = rgbTile(r, g);
  int const kind = integer(r, 0, 3);
  double const a = pick<double>(r, {1, 0.05, -1, uniform(r, -3, 3)}), b = integer(r, 0, 1) ? uniform(r, -1, 1) : 0;
  double const c = integer(r, 0, 1) ? uniform(r, -1, 1) : 0, d = pick<double>(r, {1, 0.05, uniform(r, -3, 3)});
  double const ox = uniform(r, -50, 50), oy = uniform(r, -50, 50), amp = pick(r, {uniform(r, 0, 40), 1e5, 5e6});
  double const bad = pick(r, {0.0, 0.0, 0.01, 0.3});
  forPixels(mesh, [&](int x, int y, std::byte* pixel) {
    double const nx = uniform(r, -amp, amp) * x, ny = uniform(r, -amp, amp);
    double const mx[] = {ox + a * x + b * y, x + amp * std::sin(0.3 * y), nx, ox};
    double const my[] = {oy + c * x + d * y, y + amp * std::cos(0.2 * x), ny, oy};
    float const spoilt = uniform(r, 0, 1) < bad ? wild(r, kNaN) : float(mx[kind]);
    writeMeshPixel(pixel, {spoilt, float(my[kind]), 0});
  });
  int const far = pick(r, {0, 0, 0, 200, 100000}), x = g.x1() + far + integer(r, -30, g.getWidth());
  int const y = g.y1() + integer(r, -30, g.getHeight());
  int const w = integer(r, 0, 96), h = integer(r, 1, 96), method = integer(r, 0, 2), threads = integer(r, 0, 2);
  IxTile const vectors = rgbTile(r, Rect(x, y, x + w, y + h));
  double const pa = pick<double>(r, {0, 5e-5, 1e-4, 1, 1, 0.5, -1, 2, 1e6, 1e30, kNaN});
  double const va = pick<double>(r, {0, 1, 1, 0.3, -2, 1e30, kInf});
  VectorResampleProc::resample(vectors, mesh, pa, va, method, threads);
  std::vector<MeshPixel> const out = pixels(vectors);
  for (MeshPixel const& m : out) ASSERT_TRUE(written(m) || (std::fabs(pa) >= 1e-4 && unreached(m)));
  // Bit for bit the same on another number of threads, and a hair off unit
  // amounts where 1e-13 of the mesh's values lies below the floats' spacing.
  auto again = [&](double p, double v, int n) {
    VectorResampleProc::resample(vectors, mesh, p, v, method, n);
    std::vector<MeshPixel> const got = pixels(vectors);
    ASSERT_TRUE(std::equal(out.begin(), out.end(), got.begin(), same)) << p << " " << v << " on " << n;
  };
  again(pa, va, threads % 3 + 1);
  if (pa == 1 && va == 0 && amp < 100) again(1 + 1e-13, 1e-13, threads);
}

struct Generator {
  char const* name;
  int cases;
  void (*run)(Rng&);
};
Generator const kGenerators[] = {{"Solve", 120, solveCase}, {"Curves", 100, curveCase}, {"Links", 3000, linkCase},
                                 {"Resample", 400, resampleCase}};
void PrintTo(Generator const& g, std::ostream* os) { *os << g.name; }

int envInt(char const* name, int fallback) { return std::getenv(name) ? std::atoi(std::getenv(name)) : fallback; }

class CoreFuzzTest : public ::testing::TestWithParam<Generator> {};

TEST_P(CoreFuzzTest, NeverAssertsKeepsConstraintsStaysFiniteAndEndsInTime) {
  Generator const& gen = GetParam();
  int const first = envInt("WARP2D_FUZZ_FIRST", 0), cases = envInt("WARP2D_FUZZ_CASES", gen.cases / kShare);
  ::testing::TestResult const& result = *::testing::UnitTest::GetInstance()->current_test_info()->result();
  int failedCases = 0;
  for (int k = first; k < first + cases && failedCases < 20; ++k) {
    int const parts = result.total_part_count();
    SCOPED_TRACE(std::string(gen.name) + " case " + std::to_string(k));
    Rng rng(0x5eed0000u + 7919u * unsigned(k));
    budgetSeconds = 0;
    std::clock_t const start = std::clock();
    try {
      gen.run(rng);
    } catch (AssertionFailure const& e) {
      ADD_FAILURE() << e.file() << ":" << e.line() << " " << e.condition();
    }
    double const seconds = double(std::clock() - start) / CLOCKS_PER_SEC;
    EXPECT_LT(seconds, kCaseSeconds + budgetSeconds);
    failedCases += result.total_part_count() > parts;
  }
}

INSTANTIATE_TEST_SUITE_P(Core, CoreFuzzTest, ::testing::ValuesIn(kGenerators),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
