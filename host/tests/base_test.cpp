// Assertion service and the conjugate-gradient direction generator.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "base/assertions.h"
#include "base/rcPtr.h"
#include "base/conjugateGradient.h"

namespace {

// The service keeps the base name, line and text; the macro reports its call site and the condition as written,
// the area override its own area and text.
TEST(AssertionsTest, FailuresCarryBaseNameLineAndText) {
  int const x = 3;
  struct Case {
    std::function<void()> fail;
    char const *file, *condition;
    int line;
  } const cases[] = {
      {[] { Assertions::throwAssertionFailed("/some/dir/warpGridProc.cpp", 3718, "! region.isEmpty()"); },
       "warpGridProc", "! region.isEmpty()", 3718},
      {[&] { QX_ASSERT(x < 2 && x != 3); }, "base_test", "x < 2 && x != 3", __LINE__},
      {[] { QX_ASSERT_AS("warpGridProc", 1 > 2, "NumericUtil::max(dx,dy) <= 1"); }, "warpGridProc",
       "NumericUtil::max(dx,dy) <= 1", -1},
  };
  for (Case const& c : cases) {
    try {
      c.fail();
      ADD_FAILURE() << "no exception: " << c.condition;
    } catch (AssertionFailure const& e) {
      EXPECT_TRUE(e.file() == c.file && e.condition() == c.condition && (c.line < 0 || e.line() == c.line))
          << e.file() << ":" << e.line() << " " << e.condition();
      EXPECT_NE(std::string(e.what()).find(c.condition), std::string::npos);
    }
  }
  EXPECT_NO_THROW(QX_ASSERT(x == 3));
}

// Symmetric positive definite matrix with condition number ~1e4.
std::vector<double> illConditioned(int n) {
  std::mt19937 rng(7);
  std::normal_distribution<double> nd;
  std::vector<double> q(n * n);
  for (double& v : q) v = nd(rng);
  // Gram-Schmidt to an orthonormal basis Q, then A = Q diag(l) Q^T.
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < i; ++j) {
      double dot = 0;
      for (int k = 0; k < n; ++k) dot += q[i * n + k] * q[j * n + k];
      for (int k = 0; k < n; ++k) q[i * n + k] -= dot * q[j * n + k];
    }
    double norm = 0;
    for (int k = 0; k < n; ++k) norm += q[i * n + k] * q[i * n + k];
    for (int k = 0; k < n; ++k) q[i * n + k] /= std::sqrt(norm);
  }
  std::vector<double> a(n * n, 0.0);
  for (int i = 0; i < n; ++i) {
    double const lambda = std::pow(1e4, double(i) / (n - 1));
    for (int r = 0; r < n; ++r)
      for (int c = 0; c < n; ++c) a[r * n + c] += lambda * q[i * n + r] * q[i * n + c];
  }
  return a;
}

void gradient(std::vector<double> const& a, std::vector<double> const& b, std::vector<double> const& x,
              std::vector<double>& g) {
  int const n = static_cast<int>(x.size());
  for (int r = 0; r < n; ++r) {
    g[r] = -b[r];
    for (int c = 0; c < n; ++c) g[r] += a[r * n + c] * x[c];
  }
}

TEST(ConjugateGradientTest, SolvesIllConditionedQuadraticInAboutNSteps) {
  int const n = 12;
  auto const a = illConditioned(n);
  std::vector<double> b(n), x(n, 0.0), g(n), ad(n);
  for (int i = 0; i < n; ++i) b[i] = std::sin(i + 1.0);
  ConjugateGradient cg(n);
  int iterations = 0;
  for (; iterations < 4 * n; ++iterations) {
    gradient(a, b, x, g);
    double gnorm = 0;
    for (double v : g) gnorm += v * v;
    if (std::sqrt(gnorm) < 1e-9) break;
    double const* d = cg.getDirection(g.data());
    // Exact line search: t = -(g.d) / (d.A.d).
    double gd = 0, dad = 0;
    for (int r = 0; r < n; ++r) {
      ad[r] = 0;
      for (int c = 0; c < n; ++c) ad[r] += a[r * n + c] * d[c];
      gd += g[r] * d[r];
      dad += d[r] * ad[r];
    }
    double const t = -gd / dad;
    for (int i = 0; i < n; ++i) x[i] += t * d[i];
  }
  // Conjugate directions finish in n steps in exact arithmetic; rounding at this conditioning costs some more, but
  // steepest descent would need thousands.
  EXPECT_LT(iterations, 3 * n);
  gradient(a, b, x, g);
  for (double v : g) EXPECT_NEAR(v, 0.0, 1e-8);
}

TEST(ConjugateGradientTest, UnitDirectionIsUnitDescentAndZeroForZeroGradient) {
  int const n = 5;
  ConjugateGradient cg(n);
  std::vector<double> g = {1, -2, 3, 0.5, 0}, d(n);
  EXPECT_TRUE(cg.getUnitDirection(g.data(), true, d.data()));  // first call is a restart
  double norm = 0, slope = 0;
  for (int i = 0; i < n; ++i) norm += d[i] * d[i], slope += d[i] * g[i];
  EXPECT_NEAR(norm, 1.0, 1e-12);
  EXPECT_LT(slope, 0.0);

  std::vector<double> zero(n, 0.0);
  cg.getUnitDirection(zero.data(), true, d.data());
  for (double v : d) EXPECT_EQ(v, 0.0);
}

TEST(ConjugateGradientTest, ResetForgetsHistory) {
  int const n = 3;
  ConjugateGradient cg(n);
  std::vector<double> g1 = {1, 0, 0}, g2 = {0.5, 1, 0};
  cg.getDirection(g1.data());
  double const* d = cg.getDirection(g2.data());
  bool const conjugated = d[0] != -g2[0];
  cg.reset();
  d = cg.getDirection(g2.data());
  EXPECT_TRUE(conjugated);
  for (int i = 0; i < n; ++i) EXPECT_EQ(d[i], -g2[i]);
}

TEST(ConjugateGradientTest, LastSlopeIsTheDirectionDotTheGradient) {
  // Odd and even sizes: the products run two unknowns at a time plus a tail.
  std::mt19937 rng(8);
  std::uniform_real_distribution<> u(-1, 1);
  for (int n : {1, 6, 7}) {
    ConjugateGradient cg(n);
    std::vector<double> g(static_cast<std::size_t>(n));
    for (int call = 0; call < 12; ++call) {
      for (double& v : g) v = u(rng) * (call % 3 == 2 ? 1e-3 : 1.0);
      double const* d = cg.getDirection(g.data());
      double dot = 0.0, scale = 0.0;
      for (int i = 0; i < n; ++i) dot += d[i] * g[i], scale += std::fabs(d[i] * g[i]);
      EXPECT_NEAR(cg.getLastSlope(), dot, 1e-14 * scale) << n << " " << call;
      EXPECT_LT(cg.getLastSlope(), 0.0);  // restarts keep every direction a descent one
    }
  }
}

}  // namespace

TEST(RCPtrTest, NullUseAndWrongCastRaiseHostFailures) {
  struct A { virtual ~A() = default; int v = 1; };
  struct B : A {};
  RCShdPtr<A> null;
  EXPECT_THROW((void)null->v, NullPointerException);
  RCShdPtr<A> a = makeRC<A>();
  EXPECT_EQ(a->v, 1);
  EXPECT_THROW(rcCheckedCast<B>(a), CastException);
  EXPECT_TRUE(rcCheckedCast<B>(null).isNull());
  RCShdPtr<A> b = makeRC<B>();
  EXPECT_EQ(rcCheckedCast<B>(b).get(), b.get());
  RCWeakPtr<A> w = b;
  b.reset();
  EXPECT_TRUE(w.lock().isNull());
}
