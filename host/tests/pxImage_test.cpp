// Image protocol: nominal/pixel/tile conversions, value nodes and validity,
// node handles, default formats, and reading a source through its tiles.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "pluginAPI/pxNodeHndls.h"
#include "pxTestNodes.h"

namespace {

using namespace pxtest;
using P = PxImageProtocol;
constexpr double kInf = std::numeric_limits<double>::infinity();

GeRectangle<int> randomRectangle(std::mt19937& rng) {
  std::uniform_int_distribution<int> corner(-5000, 5000), size(1, 3000);
  int const x = corner(rng), y = corner(rng);
  return GeRectangle<int>(x, y, x + size(rng), y + size(rng));
}

TEST(PxImageProtocolTest, PixelRectanglesRoundTripAndTilesCoverThem) {
  std::mt19937 rng(7);
  for (float aspect : {1.0f, 2.0f, 0.9f})
    for (int level = 0; level <= 3; ++level)
      for (int i = 0; i < 2000; ++i) {
        GeRectangle<int> const r = randomRectangle(rng);
        double const scale = std::ldexp(1.0, -level);
        ASSERT_EQ(P::nominalToPixelized(P::pixelizedToNominal(r, aspect, scale), aspect, scale), r)
            << "aspect " << aspect << " level " << level;
        // The covering tiles hold the rectangle and each meets it.
        GeRectangle<int> const c = P::convertTilesToPixels(P::convertPixelsToTiles(r));
        int const s = P::kTileSize;
        ASSERT_TRUE(c.contains(r) && c.x1() > r.x1() - s && c.x2() < r.x2() + s && c.y1() > r.y1() - s &&
                    c.y2() < r.y2() + s);
      }
  EXPECT_EQ(P::convertTilesToPixels(GePoint2<int>(-1, 2)), GeRectangle<int>(-256, 512, 0, 768));
}

TEST(PxImageProtocolTest, PixelizingRoundsOutwardAndEmptiesBadRectangles) {
  struct Case {
    GeRectangle<float> nominal;
    float aspect;
    int level;
    GeRectangle<int> pixels;
  } const cases[] = {
      {{0.5f, -0.25f, 10.2f, 3.0f}, 1.0f, 0, {0, -1, 11, 3}},
      {{0.0f, 0.0f, 1921.0f, 1081.0f}, 1.0f, 1, {0, 0, 961, 541}},  // a half pixel at level 1 still counts
      {{0.0f, 0.0f, 1920.0f, 1080.0f}, 2.0f, 2, {0, 0, 240, 270}},  // x divided by the ratio as well
      {{-9.0f, 0.0f, 9.0f, 4.0f}, 0.9f, 0, {-10, 0, 10, 4}},
      {{3.0f, 3.0f, 3.0f, 9.0f}, 1.0f, 0, {}},
      {{std::nanf(""), 0.0f, 5.0f, 5.0f}, 1.0f, 0, {}},
  };
  for (Case const& c : cases)
    EXPECT_EQ(P::nominalToPixelized(c.nominal, c.aspect, std::ldexp(1.0, -c.level)), c.pixels) << c.nominal;
}

TEST(PxAnimValueTest, ValuesAndValidityOverTime) {
  PxAnimValueNode<double> const doubles(
      {{10.0, 4.0, PxInterpolation::Linear}, {0.0, 2.0, PxInterpolation::Smooth}, {20.0, 0.0}});
  struct Case {
    double time, value;
    PxValidityInterval validity;
  } const cases[] = {
      {-4.0, 2.0, {-kInf, 0.0}},
      // Smooth, flat at the first key, slope (0 - 2) / 20 at the second:
      // 0.5 * 2 + 0.5 * 4 - 0.125 * 10 * -0.1.
      {5.0, 3.125, PxValidityInterval::at(5.0)},
      {15.0, 2.0, PxValidityInterval::at(15.0)},
      {20.0, 0.0, {20.0, kInf}},
  };
  for (Case const& c : cases) {
    PxValueResult<double> const r = doubles.evaluate(c.time);
    EXPECT_DOUBLE_EQ(r.value, c.value) << c.time;
    EXPECT_EQ(r.validity, c.validity) << c.time;
  }
  PxValidityInterval v = PxValidityInterval::FULL;
  EXPECT_EQ(PxAnimValueNode<int>({{0.0, 1}, {5.0, 7}}).getValue(2.5, v), 1);  // integers hold to the next key
  EXPECT_EQ(v, PxValidityInterval({0.0, std::nextafter(5.0, 0.0)}));
  PxAnimValueNode<std::string> const names({{1.0, "a"}, {1.0, "b"}, {std::nan(""), "c"}, {3.0, "d"}});
  EXPECT_EQ(names.evaluate(2.0).value, "b");  // the later duplicate wins, the NaN key is dropped
  EXPECT_EQ(PxAnimValueNode<double>(0.25).evaluate(-1e9).validity, PxValidityInterval::FULL);
  EXPECT_EQ(PxAnimValueNode<int>(std::vector<PxKeyframe<int>>{}).evaluate(3.0).value, 0);
}

TEST(PxNodeHndlsTest, HandlesChangeHandsOnTheMainThreadOnly) {
  PxNodePtr<PxNode> node = constant(1.0), held = node;
  std::function<void()> const operations[] = {
      [&] { PxNodePtr<PxNode> copy(node); },
      [&] { PxStrongHndl<PxAnimValueProtocol<double>> typed(node); },
      [&] { held = node; },
      [&] { held.reset(); held = node; },
      [&] { PxNodePtr<PxNode> moved(std::move(held)); held = std::move(moved); },
  };
  for (auto const& op : operations) {
    try {
      PxRequestMgr::getInstance().submit(nullptr, op).get();
      ADD_FAILURE() << "no assertion on a worker";
    } catch (AssertionFailure const& f) {
      EXPECT_EQ(f.file(), "pxNodeHndls");
      EXPECT_EQ(f.condition(), "!PxRequestMgr::getInstance().isWorkerThreadCurrent()");
    }
    EXPECT_NO_THROW(op());
  }
  // Reading through a handle is allowed everywhere.
  EXPECT_NO_THROW(PxRequestMgr::getInstance().submit(nullptr, [&] { (void)node->getNodeId(); }).get());
}

TEST(PxNodeHndlsTest, NullUseAndWrongProtocolFail) {
  PxNodePtr<PxNode> const node = constant(3);
  EXPECT_EQ(PxStrongHndl<PxAnimValueProtocol<int>>(node)->evaluate(0.0).value, 3);
  EXPECT_THROW(PxStrongHndl<PxAnimValueProtocol<double>>{node}, CastException);
  EXPECT_THROW(node.cast<PxImageProtocol>(), CastException);
  EXPECT_TRUE(PxNodePtr<PxNode>().cast<PxImageProtocol>().isNull());
  EXPECT_THROW(PxStrongHndl<PxImageProtocol>()->getNbStreams(), NullPointerException);
}

TEST(PxImageNodeTest, FormatAndConnectionComeFromThePrimaryInput) {
  Counters counters;
  PxImageFormat const halfRgb(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT16), 2.0f);
  PxNodePtr<PxImageProtocol> const source =
      PxNodePtr<PatternNode>::create(halfRgb, GeRectangle<float>(0, 0, 10, 10), constant(1.0), counters);
  PxNodePtr<PxImageProtocol> const blur = PxNodePtr<BlurNode>::create(source, constant(1.0), counters);
  EXPECT_EQ(blur->getImageFormat(), halfRgb);
  EXPECT_TRUE(blur->isChainConnected());
  EXPECT_FALSE(PxNodePtr<BlurNode>::create(nullptr, constant(1.0), counters)->isChainConnected());
  // A node changing its components keeps the rest of the default format.
  struct AlphaNode : BlurNode {
    using BlurNode::BlurNode;
    IxPixelFormat::Comps computeImageFormatComps() const override { return IxPixelFormat::ALPHA; }
  };
  PxImageFormat const f = PxNodePtr<AlphaNode>::create(source, constant(1.0), counters)->getImageFormat();
  EXPECT_EQ(f, PxImageFormat(IxPixelFormat(IxPixelFormat::ALPHA, IxPixelFormat::FLOAT16), 2.0f));
}

TEST(PxImageProtocolTest, TilesInRegionSupplySourcePixelsAndFillTheRest) {
  Counters counters;
  auto const source =
      PxNodePtr<PatternNode>::create(kRgbaF32, GeRectangle<float>(0, 0, 300, 200), constant(1.0), counters);
  GeRectangle<int> const region(-10, -10, 310, 210);
  PxImageTiles const tiles = P::getImageTilesInRegion(*source, PxImageContext(0.0, 0, 0, GeRectangle<int>()), region,
                                                      Color{0.5f, 0.0f, 0.0f, 1.0f});
  EXPECT_EQ(counters.computes.load(), 2);  // two tiles of the grid meet the source
  IxTile copy(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), region);
  tiles.copyTo(IxWriteGuard(copy));
  IxReadGuard const g(copy);
  for (GePoint2<int> p : {GePoint2<int>(0, 0), GePoint2<int>(299, 199), GePoint2<int>(-1, 5), GePoint2<int>(300, 5)}) {
    bool const inside = p.x() >= 0 && p.x() < 300 && p.y() >= 0 && p.y() < 200;
    EXPECT_EQ(tiles.findTile(p.x(), p.y()) != nullptr, inside);
    Color const c = ixReadColor(g.getPixelFormat(), g.getPixelAddress(p.x(), p.y()));
    EXPECT_EQ(c.r, inside ? patternValue(p.x(), p.y(), 0, 0) : 0.5f) << p;
  }
}

}  // namespace
