// Shape links: normalisation, pairing, the partner lookup and clamping a moved link.
#include "shapeObject.h"

#include <gtest/gtest.h>

#include <cmath>

#include "base/assertions.h"

namespace {

using Qx::ShapeObject;
using Links = Vector<float>;

std::string failedCondition(auto&& f) {
  try {
    f();
  } catch (AssertionFailure const& e) {
    EXPECT_EQ(e.file(), "shapeObject");
    return e.condition();
  }
  return "";
}

TEST(ShapeObjectTest, NormalizesOntoTheCurveAndNeverToMinusZero) {
  struct Case { bool closed; int nbPoints; float position, want; };
  for (Case const& c : {Case{true, 4, 5.5f, 1.5f}, Case{true, 4, -0.5f, 3.5f}, Case{true, 4, -4.0f, 0.0f},
                        Case{true, 4, -8.0f, 0.0f}, Case{false, 4, 5.5f, 3.0f}, Case{false, 4, -0.0f, 0.0f},
                        Case{false, 4, -3.0f, 0.0f}, Case{true, -3, 1.5f, 0.0f}, Case{false, -3, 1.5f, 0.0f}}) {
    float const got = ShapeObject::normalizeLinkPosition(c.closed, c.nbPoints, c.position);
    EXPECT_TRUE(got == c.want && !std::signbit(got)) << c.closed << c.nbPoints << " " << c.position << ": " << got;
  }
}

TEST(ShapeObjectTest, PairsOpenLinksByOrderAndClosedLinksFromLinkZero) {
  struct Case { bool closed; int nbSrc, nbDst; Links src, dst, wantSrc, wantDst; std::vector<int> partnerOf; };
  Case const cases[] = {
      // Open: by order along the curve, whatever the link numbers.
      {false, 4, 4, {2.5f, 0.5f, 1.5f}, {0.2f, 2.0f, 1.0f}, {0.5f, 1.5f, 2.5f}, {0.2f, 1.0f, 2.0f}, {1, 0, 2}},
      // The surplus third source link is ignored.
      {false, 5, 5, {3.0f, 1.0f, 0.5f}, {2.0f, 0.1f}, {1.0f, 3.0f}, {0.1f, 2.0f}, {0, 1}},
      // Closed: link 0 with link 0 (its place later on the destination, then earlier).
      {true, 4, 4, {1.0f, 3.0f}, {3.5f, 0.5f}, {1.0f, 3.0f}, {3.5f, 0.5f}, {0, 1}},
      {true, 4, 4, {3.0f, 1.0f}, {0.5f, 3.5f}, {1.0f, 3.0f}, {3.5f, 0.5f}, {0, 1}},
      // Positions off the curves, curves of different sizes.
      {true, 4, 3, {5.0f, -1.0f, 2.0f}, {-0.5f, 0.5f, 4.0f}, {1.0f, 2.0f, 3.0f}, {2.5f, 0.5f, 1.0f}, {0, 2, 1}},
  };
  for (Case const& c : cases) {
    Links outSrc, outDst;
    ShapeObject::sortAndNormalizeLinks(c.closed, c.nbSrc, c.src, c.nbDst, c.dst, outSrc, outDst);
    EXPECT_EQ(outSrc, c.wantSrc);
    EXPECT_EQ(outDst, c.wantDst);
    auto const partner = [&](bool fromDst, int i) {
      return ShapeObject::getCorrespondingLinkIndex(c.closed, c.nbSrc, c.src, c.nbDst, c.dst, fromDst, i);
    };
    for (int i = 0; i < static_cast<int>(c.partnerOf.size()); ++i)
      EXPECT_TRUE(partner(false, i) == c.partnerOf[i] && partner(true, c.partnerOf[i]) == i) << i;
  }
  // A surplus link, or any when there are none, has no partner.
  for (Links const& src : {Links{3, 1, 0.5f}, Links{}})
    EXPECT_EQ(failedCondition([&] { ShapeObject::getCorrespondingLinkIndex(true, 5, src, 5, {2, 0.1f}, false, 2); }),
              "false && \"Did not find link index\"");
}

TEST(ShapeObjectTest, ClampKeepsAMovedLinkBetweenItsNeighbours) {
  struct Case { bool closed; int nbPoints; Links links; int link; float position, want; };
  Links const three{1.0f, 2.0f, 3.0f}, two{0.5f, 2.0f}, loop{0.5f, 1.5f, 2.0f};
  Case const cases[] = {
      // Open: a gap of 1e-4 to each neighbour and to the ends.
      {false, 5, three, 1, 2.9f, 2.9f}, {false, 5, three, 1, 3.5f, 2.9999f}, {false, 5, three, 2, 10.0f, 3.9999f},
      {false, 5, three, 0, -3.0f, 0.0001f}, {false, 5, three, 1, 0.5f, 1.0001f},
      // Neighbours closer than the gap: 0.3 of their distance.
      {false, 5, {1.0f, 1.0001f, 1.00015f}, 1, 1.2f, 1.000105f},
      // Closed: the first and last links may pass the curve's start; in the
      // gap at a neighbour they go to its nearer edge.
      {true, 4, two, 0, 3.9f, 3.9f}, {true, 4, two, 1, 0.4f, 0.4f}, {true, 4, two, 0, 1.9f, 1.9f},
      {true, 4, two, 0, 2.00005f, 2.0001f}, {true, 4, two, 0, 1.99995f, 1.9999f}, {true, 4, two, 1, 7.9f, 3.9f},
      {true, 4, loop, 0, 1.0f, 1.0f}, {true, 4, loop, 0, 3.2f, 3.2f}, {true, 4, loop, 0, 1.8f, 2.0001f},
      {true, 4, loop, 0, 1.6f, 1.4999f}, {true, 4, loop, 2, 0.7f, 0.4999f}, {true, 4, loop, 1, 3.0f, 1.9999f},
      // A single link moves anywhere, not normalised; a negative point count
      // is a curve with no points, where every link sits at 0.
      {true, 4, {1.0f}, 0, 17.5f, 17.5f}, {true, 0, two, 0, 1.0f, 0.0f}, {true, -3, two, 0, 1.0f, 0.0f},
      {false, -3, two, 1, 1.0f, 0.0f}};
  for (Case const& c : cases)
    EXPECT_NEAR(ShapeObject::clampLinkPosition(c.closed, c.nbPoints, c.links, c.link, c.position), c.want, 1e-6f)
        << c.closed << " " << c.nbPoints << " link " << c.link << " to " << c.position;
  EXPECT_EQ(failedCondition([] { ShapeObject::clampLinkPosition(true, 4, {}, 0, 1.0f); }), "nbLinks > 0");
  EXPECT_EQ(failedCondition([] { ShapeObject::clampLinkPosition(true, 4, {1.0f}, 1, 1.0f); }), "linkIndex == 0");
  EXPECT_EQ(failedCondition([] { ShapeObject::clampLinkPosition(false, 4, {1, 2}, 5, 1.0f); }), "newIndex < nbLinks");
}

}  // namespace
