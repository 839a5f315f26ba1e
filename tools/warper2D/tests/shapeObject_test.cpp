// Shape links: normalisation, pairing along open and closed curves, the
// corresponding-link lookup and the clamping of a moved link.
#include "shapeObject.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "base/assertions.h"

namespace {

using Qx::ShapeObject;

std::string failedCondition(auto&& f) {
  try {
    f();
  } catch (AssertionFailure const& e) {
    EXPECT_EQ(e.file(), "shapeObject");
    return e.condition();
  }
  return "";
}

TEST(ShapeObjectTest, NormalizesOntoTheCurve) {
  EXPECT_EQ(ShapeObject::normalizeLinkPosition(true, 4, 5.5f), 1.5f);
  EXPECT_EQ(ShapeObject::normalizeLinkPosition(true, 4, -0.5f), 3.5f);
  EXPECT_EQ(ShapeObject::normalizeLinkPosition(false, 4, 5.5f), 3.0f);
  float const negZero = ShapeObject::normalizeLinkPosition(false, 4, -0.0f);
  EXPECT_EQ(negZero, 0.0f);
  EXPECT_FALSE(std::signbit(negZero));
  EXPECT_FALSE(std::signbit(ShapeObject::normalizeLinkPosition(false, 4, -3.0f)));
}

TEST(ShapeObjectTest, OpenCurvesPairLinksByOrderAlongTheCurve) {
  Vector<float> src, dst;
  ShapeObject::sortAndNormalizeLinks(false, 4, {2.5f, 0.5f, 1.5f}, 4, {0.2f, 2.0f, 1.0f}, src, dst);
  EXPECT_EQ(src, (Vector<float>{0.5f, 1.5f, 2.5f}));
  EXPECT_EQ(dst, (Vector<float>{0.2f, 1.0f, 2.0f}));
  // Link numbers do not matter on open curves: source link 0 (at 2.5, last
  // along the curve) pairs with the last destination link, number 1.
  EXPECT_EQ(ShapeObject::getCorrespondingLinkIndex(false, 4, {2.5f, 0.5f, 1.5f}, 4, {0.2f, 2.0f, 1.0f}, false, 0), 1);
  EXPECT_EQ(ShapeObject::getCorrespondingLinkIndex(false, 4, {2.5f, 0.5f, 1.5f}, 4, {0.2f, 2.0f, 1.0f}, true, 0), 1);
  EXPECT_EQ(ShapeObject::getCorrespondingLinkIndex(false, 4, {2.5f, 0.5f, 1.5f}, 4, {0.2f, 2.0f, 1.0f}, true, 1), 0);
}

TEST(ShapeObjectTest, ClosedCurvesPairFromLinkZero) {
  Vector<float> const sl{1.0f, 3.0f}, dl{3.5f, 0.5f};
  Vector<float> src, dst;
  ShapeObject::sortAndNormalizeLinks(true, 4, sl, 4, dl, src, dst);
  EXPECT_EQ(src, (Vector<float>{1.0f, 3.0f}));
  EXPECT_EQ(dst, (Vector<float>{3.5f, 0.5f}));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(ShapeObject::getCorrespondingLinkIndex(true, 4, sl, 4, dl, false, i), i);
    EXPECT_EQ(ShapeObject::getCorrespondingLinkIndex(true, 4, sl, 4, dl, true, i), i);
  }
}

TEST(ShapeObjectTest, SurplusLinksAreIgnored) {
  Vector<float> a, b, c, d;
  ShapeObject::sortAndNormalizeLinks(false, 5, {3.0f, 1.0f, 0.5f}, 5, {2.0f, 0.1f}, a, b);
  ShapeObject::sortAndNormalizeLinks(false, 5, {3.0f, 1.0f}, 5, {2.0f, 0.1f}, c, d);
  EXPECT_EQ(a, c);
  EXPECT_EQ(b, d);
  EXPECT_EQ(a.size(), 2u);
  EXPECT_EQ(failedCondition([] { ShapeObject::getCorrespondingLinkIndex(false, 5, {3.0f, 1.0f, 0.5f}, 5, {2.0f, 0.1f}, false, 2); }),
            "false && \"Did not find link index\"");
  EXPECT_EQ(failedCondition([] { ShapeObject::getCorrespondingLinkIndex(true, 5, {}, 5, {}, false, 0); }),
            "false && \"Did not find link index\"");
}

TEST(ShapeObjectTest, PairingIsConsistentOnRandomLinks) {
  std::mt19937 rng(8);
  std::uniform_real_distribution<float> u(-2.0f, 9.0f);
  for (int trial = 0; trial < 500; ++trial) {
    bool const closed = trial % 2;
    int const ns = 2 + trial % 6, nd = 2 + trial % 5, count = 1 + trial % 6;
    Vector<float> sl, dl;
    for (int i = 0; i < count; ++i) sl.push_back(u(rng)), dl.push_back(u(rng));
    Vector<float> src, dst;
    ShapeObject::sortAndNormalizeLinks(closed, ns, sl, nd, dl, src, dst);
    ASSERT_EQ(src.size(), sl.size());
    ASSERT_EQ(dst.size(), sl.size());
    EXPECT_TRUE(std::is_sorted(src.begin(), src.end()));
    for (float d : dst) EXPECT_TRUE(d >= 0.0f && (closed ? d < nd : d <= nd - 1));
    for (int i = 0; i < count; ++i) {
      int const j = ShapeObject::getCorrespondingLinkIndex(closed, ns, sl, nd, dl, false, i);
      ASSERT_TRUE(j >= 0 && j < count);
      EXPECT_EQ(ShapeObject::getCorrespondingLinkIndex(closed, ns, sl, nd, dl, true, j), i);
    }
    if (closed) {
      EXPECT_EQ(ShapeObject::getCorrespondingLinkIndex(closed, ns, sl, nd, dl, false, 0), 0);
    } else if (std::is_sorted(sl.begin(), sl.end()) && std::is_sorted(dl.begin(), dl.end())) {
      for (int i = 0; i < count; ++i) EXPECT_EQ(ShapeObject::getCorrespondingLinkIndex(false, ns, sl, nd, dl, false, i), i);
    }
  }
}

TEST(ShapeObjectTest, ClampKeepsOpenLinksBetweenNeighbours) {
  Vector<float> const links{1.0f, 2.0f, 3.0f};
  EXPECT_EQ(ShapeObject::clampLinkPosition(false, 5, links, 1, 2.9f), 2.9f);
  EXPECT_FLOAT_EQ(ShapeObject::clampLinkPosition(false, 5, links, 1, 3.5f), 3.0f - 0.0001f);
  EXPECT_FLOAT_EQ(ShapeObject::clampLinkPosition(false, 5, links, 2, 10.0f), 4.0f - 0.0001f);
  EXPECT_FLOAT_EQ(ShapeObject::clampLinkPosition(false, 5, links, 0, -3.0f), 0.0001f);
  EXPECT_FLOAT_EQ(ShapeObject::clampLinkPosition(false, 5, links, 1, 0.5f), 1.0f + 0.0001f);
  // Neighbours closer than the gap: the margin shrinks to 0.3 of their distance.
  Vector<float> const close{1.0f, 1.0001f, 1.00015f};
  float const c = ShapeObject::clampLinkPosition(false, 5, close, 1, 1.2f);
  EXPECT_LT(c, 1.00015f);
  EXPECT_GT(c, 1.0f);
}

TEST(ShapeObjectTest, ClampLetsClosedEndLinksPassTheStart) {
  Vector<float> const links{0.5f, 2.0f};
  EXPECT_FLOAT_EQ(ShapeObject::clampLinkPosition(true, 4, links, 0, 3.9f), 3.9f);
  EXPECT_NEAR(ShapeObject::clampLinkPosition(true, 4, links, 1, 0.4f), 0.4f, 1e-6f);
  // With two links, link 0 may go anywhere round the loop except within the
  // gap at link 1; inside the gap it goes to the nearer edge.
  EXPECT_NEAR(ShapeObject::clampLinkPosition(true, 4, links, 0, 1.9f), 1.9f, 1e-6f);
  EXPECT_NEAR(ShapeObject::clampLinkPosition(true, 4, links, 0, 2.00005f), 2.0001f, 1e-6f);
  EXPECT_NEAR(ShapeObject::clampLinkPosition(true, 4, links, 0, 1.99995f), 1.9999f, 1e-6f);
  // Three links: link 0 (at 0.5) lives between link 2 (2.0) and, a lap on, link 1 (1.5).
  Vector<float> const three{0.5f, 1.5f, 2.0f};
  EXPECT_NEAR(ShapeObject::clampLinkPosition(true, 4, three, 0, 1.0f), 1.0f, 1e-6f);
  EXPECT_NEAR(ShapeObject::clampLinkPosition(true, 4, three, 0, 3.2f), 3.2f, 1e-6f);
  EXPECT_NEAR(ShapeObject::clampLinkPosition(true, 4, three, 0, 1.8f), 2.0001f, 1e-6f);  // nearer link 2
  EXPECT_NEAR(ShapeObject::clampLinkPosition(true, 4, three, 0, 1.6f), 1.4999f, 1e-6f);  // nearer link 1
  EXPECT_NEAR(ShapeObject::clampLinkPosition(true, 4, three, 2, 0.7f), 0.4999f, 1e-6f);  // last link may not pass link 0
  // A middle link of a closed curve stays between its neighbours.
  EXPECT_FLOAT_EQ(ShapeObject::clampLinkPosition(true, 4, Vector<float>{0.5f, 1.5f, 2.0f}, 1, 3.0f), 2.0f - 0.0001f);
}

TEST(ShapeObjectTest, ClampOfSingleOrMissingLinks) {
  EXPECT_EQ(ShapeObject::clampLinkPosition(true, 4, {1.0f}, 0, 17.5f), 17.5f);  // moves anywhere, not normalised
  EXPECT_EQ(failedCondition([] { ShapeObject::clampLinkPosition(true, 4, {}, 0, 1.0f); }), "nbLinks > 0");
  EXPECT_EQ(failedCondition([] { ShapeObject::clampLinkPosition(true, 4, {1.0f}, 1, 1.0f); }), "linkIndex == 0");
  EXPECT_EQ(failedCondition([] { ShapeObject::clampLinkPosition(false, 4, {1.0f, 2.0f}, 5, 1.0f); }),
            "newIndex < nbLinks");
}

TEST(ShapeObjectTest, ClampedPositionsStayOrderedOnRandomMoves) {
  std::mt19937 rng(99);
  std::uniform_real_distribution<float> u(-3.0f, 12.0f);
  for (int trial = 0; trial < 2000; ++trial) {
    bool const closed = trial % 2;
    int const n = 3 + trial % 7;
    Vector<float> links;
    for (int i = 0; i < 2 + trial % 4; ++i) links.push_back(ShapeObject::normalizeLinkPosition(closed, n, u(rng)));
    std::sort(links.begin(), links.end());
    if (std::adjacent_find(links.begin(), links.end()) != links.end()) continue;
    int const k = trial % static_cast<int>(links.size());
    float const p = ShapeObject::clampLinkPosition(closed, n, links, k, u(rng));
    ASSERT_TRUE(p >= 0.0f && (closed ? p < n : p <= n - 1)) << p;
    Vector<float> moved = links;
    moved[k] = p;
    Vector<float> sorted = moved;
    std::sort(sorted.begin(), sorted.end());
    // The moved link keeps the same neighbours in cyclic order.
    int const at = static_cast<int>(std::find(sorted.begin(), sorted.end(), p) - sorted.begin());
    int const m = static_cast<int>(links.size());
    if (!closed) {
      EXPECT_EQ(at, k);
    } else {
      EXPECT_EQ(sorted[(at + 1) % m], links[(k + 1) % m]);
      EXPECT_EQ(sorted[(at + m - 1) % m], links[(k + m - 1) % m]);
    }
  }
}

}  // namespace
