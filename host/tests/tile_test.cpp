// Pixel tiles, guards, scanlines and ipSet: addressing by absolute
// coordinates with non-zero origins and padded rows, format conversions.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "primitives/geRectangle.h"
#include "primitives/ipSet.h"
#include "primitives/ixScanline.h"
#include "primitives/ixTile.h"

namespace {

using Color = CoRgbaColorTyped<float>;
IxPixelFormat const kRgbF32(IxPixelFormat::RGB, IxPixelFormat::FLOAT32);

float at(IxReadGuard const& g, int x, int y, int c) {
  float v;
  std::memcpy(&v, g.getPixelAddress(x, y) + 4 * c, 4);
  return v;
}

TEST(GeRectangleTest, IntersectionEmptinessAndSize) {
  GeRectangle<int> const a(-3, 2, 10, 7), b(5, -1, 20, 4);
  EXPECT_EQ(a & b, GeRectangle<int>(5, 2, 10, 4));
  EXPECT_EQ(a.getWidth(), 13);
  EXPECT_EQ(a.getHeight(), 5);
  GeRectangle<int> const far(30, 30, 40, 40);
  GeRectangle<int> const none = a & far;
  EXPECT_TRUE(none.isEmpty());
  EXPECT_EQ(none.getWidth(), 0);
  EXPECT_TRUE(GeRectangle<int>(4, 4, 4, 9).isEmpty());
  EXPECT_TRUE(a.contains(9, 6));
  EXPECT_FALSE(a.contains(10, 6));
  EXPECT_EQ((a | far), GeRectangle<int>(-3, 2, 40, 40));
}

TEST(IxTileTest, AddressesPixelsByAbsoluteCoordinatesWithPaddedRows) {
  GeRectangle<int> const region(-5, 7, 6, 11);  // 11 x 4, origin off zero
  IxTile tile(kRgbF32, region, Color::ZERO, 1.0f, 400);
  ASSERT_TRUE(tile.isValid());
  EXPECT_EQ(tile.getRowStride(), 400);
  {
    IxWriteGuard w(tile);
    for (int y = region.y1(); y < region.y2(); ++y)
      for (int x = region.x1(); x < region.x2(); ++x) {
        float const px[3] = {float(x), float(y), float(x * 100 + y)};
        std::memcpy(w.getPixelAddress(x, y), px, sizeof px);
      }
    EXPECT_EQ(w.getPixelAddress(-5, 8) - w.getData(), 400);
    EXPECT_EQ(w.getPixelAddress(-4, 7) - w.getData(), 12);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(w.getRow<float>(9)) % 16, 0u);
  }
  IxReadGuard r(tile);
  for (int y = region.y1(); y < region.y2(); ++y)
    for (int x = region.x1(); x < region.x2(); ++x)
      ASSERT_TRUE(at(r, x, y, 0) == float(x) && at(r, x, y, 1) == float(y) && at(r, x, y, 2) == float(x * 100 + y))
          << x << "," << y;
}

TEST(IxTileTest, NewPixelsAreZeroCopiesShareAndInvalidTilesAssert) {
  IxTile tile(IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::UINT8), GeRectangle<int>(0, 0, 9, 3),
              Color(0, 0, 0, 1));
  IxTile copy = tile;
  {
    IxWriteGuard w(copy);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 9 * 4; ++x) ASSERT_EQ(std::to_integer<int>(w.getData()[y * w.getRowStride() + x]), 0);
    w.getPixelAddress(8, 2)[3] = std::byte{200};
  }
  IxReadGuard r(tile);
  EXPECT_EQ(std::to_integer<int>(r.getPixelAddress(8, 2)[3]), 200);
  EXPECT_TRUE(copy == tile);

  IxTile invalid;
  EXPECT_FALSE(invalid.isValid());
  try {
    IxWriteGuard w(invalid);
    FAIL();
  } catch (AssertionFailure const& e) {
    EXPECT_EQ(e.condition(), "isValid()");
    EXPECT_EQ(e.file(), "ixTile");
  }
  EXPECT_THROW(invalid.getPixelRegion(), AssertionFailure);
}

TEST(IxTileTest, ReadGuardFromWriteGuardSeesTheWritesAndGuardsKeepPixelsAlive) {
  auto tile = std::make_unique<IxTile>(kRgbF32, GeRectangle<int>(3, 3, 67, 67));
  IxWriteGuard w(*tile);
  tile.reset();  // the guard alone holds the pixels now: the sanitizer build sees any use after free
  float const v[3] = {1.5f, -2.5f, 7.0f};
  std::memcpy(w.getPixelAddress(4, 4), v, sizeof v);
  IxReadGuard r(w);
  EXPECT_EQ(r.getPixelRegion(), w.getPixelRegion());
  EXPECT_EQ(at(r, 4, 4, 0), 1.5f);
  EXPECT_EQ(at(r, 4, 4, 1), -2.5f);
  EXPECT_EQ(at(r, 3, 3, 2), 0.0f);
  ipSet(w, Color(1, 2, 3, 4));
  EXPECT_EQ(at(r, 66, 66, 2), 3.0f);
}

TEST(IpSetTest, FillsOnlyTheClippedSubRegion) {
  GeRectangle<int> const region(10, 20, 30, 28);
  IxTile tile(kRgbF32, region, Color::ZERO, 1.0f, 512);
  IxWriteGuard w(tile);
  GeRectangle<int> const sub(25, 18, 40, 22);  // sticks out above and to the right
  ipSet(w, Color(0.25f, 0.5f, 0.75f, 1.0f), &sub);
  IxReadGuard r(w);
  for (int y = region.y1(); y < region.y2(); ++y)
    for (int x = region.x1(); x < region.x2(); ++x) {
      bool const inside = x >= 25 && y < 22;
      ASSERT_EQ(at(r, x, y, 0), inside ? 0.25f : 0.0f) << x << "," << y;
      ASSERT_EQ(at(r, x, y, 2), inside ? 0.75f : 0.0f);
    }
  GeRectangle<int> const outside(0, 0, 5, 5);
  ipSet(w, Color(9, 9, 9, 9), &outside);  // no overlap: nothing written
  EXPECT_EQ(at(r, 10, 20, 0), 0.0f);
}

TEST(IpSetTest, ConvertsToEveryDepth) {
  GeRectangle<int> const region(0, 0, 3, 2);
  Color const c(0.2f, 0.4f, 1.5f, -1.0f);
  for (auto depth : {IxPixelFormat::UINT8, IxPixelFormat::FLOAT16, IxPixelFormat::FLOAT32, IxPixelFormat::COMPLEX}) {
    IxPixelFormat const f(IxPixelFormat::RGBA, depth);
    IxTile tile(f, region);
    IxWriteGuard w(tile);
    ipSet(w, c);
    IxScanline<Color> line(w, 1);
    ASSERT_EQ(line.getWidth(), 3);
    bool const bytes = depth == IxPixelFormat::UINT8;  // clamped to [0, 1]
    double const tol = bytes ? 0.5 / 255 : depth == IxPixelFormat::FLOAT16 ? 1e-3 : 0;
    for (int i = 0; i < 3; ++i) {
      EXPECT_NEAR(line[i].r, 0.2f, tol);
      EXPECT_NEAR(line[i].g, 0.4f, tol);
      EXPECT_NEAR(line[i].b, bytes ? 1.0f : 1.5f, tol);
      EXPECT_NEAR(line[i].a, bytes ? 0.0f : -1.0f, bytes ? 0.0 : tol);  // a negative byte value is exactly 0
    }
  }
}

TEST(IxScanlineTest, RoundTripsRowsAndReadsFillColourBeyondTheTile) {
  GeRectangle<int> const region(-2, -1, 4, 3);
  IxTile tile(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT16), region, Color(0.5f, 0.25f, 0, 1));
  IxWriteGuard w(tile);
  IxScanline<Color> out(-4, 10);  // two columns beyond each side
  for (int i = 0; i < out.getWidth(); ++i) out[i] = Color(float(i), float(-i), 0.125f * i, 0.3f);
  out.writeTo(w, 2);
  IxScanline<Color> in(-4, 10);
  in.readFrom(w, 2);
  // Beyond the tile the fill colour (RGB reads alpha 1); within it the row, exact in half precision.
  for (int i = 0, x = -4; i < 10; ++i, ++x)
    EXPECT_EQ(in[i], x < -2 || x >= 4 ? Color(0.5f, 0.25f, 0, 1) : Color(float(i), float(-i), 0.125f * i, 1.0f)) << x;
  in.readFrom(w, 3);  // a row below the tile
  EXPECT_EQ(in[3], Color(0.5f, 0.25f, 0, 1));
}

TEST(IxScanlineTest, FloatScanlineIsForOneComponentTiles) {
  IxTile alpha(IxPixelFormat(IxPixelFormat::ALPHA, IxPixelFormat::FLOAT32), GeRectangle<int>(5, 5, 8, 6));
  IxWriteGuard w(alpha);
  IxScanline<float> line(5, 3);
  line[0] = 1.0f, line[1] = 2.0f, line[2] = -3.0f;
  line.writeTo(w, 5);
  IxScanline<float> back(w, 5);
  EXPECT_EQ(back[2], -3.0f);
  IxScanline<Color> colour(w, 5);
  EXPECT_EQ(colour[1], Color(0, 0, 0, 2.0f));

  IxTile rgb(kRgbF32, GeRectangle<int>(0, 0, 2, 2));
  IxWriteGuard wr(rgb);
  EXPECT_THROW(line.writeTo(wr, 0), AssertionFailure);
}

TEST(IxPixelFormatTest, HalfConversionRoundsAndKeepsSpecialValues) {
  EXPECT_EQ(ixHalfToFloat(ixFloatToHalf(1.0f)), 1.0f);
  EXPECT_EQ(ixHalfToFloat(ixFloatToHalf(-65504.0f)), -65504.0f);
  EXPECT_TRUE(std::isinf(ixHalfToFloat(ixFloatToHalf(1e6f))));
  EXPECT_TRUE(std::isnan(ixHalfToFloat(ixFloatToHalf(NAN))));
  EXPECT_EQ(ixHalfToFloat(ixFloatToHalf(5.960464477539063e-8f)), 5.960464477539063e-8f);  // smallest subnormal
  EXPECT_EQ(ixHalfToFloat(ixFloatToHalf(1.0f + 1.0f / 4096)), 1.0f);  // ties to even
  for (int i = 0; i < 2048; ++i) {
    float const v = float(i) / 64.0f;
    ASSERT_EQ(ixHalfToFloat(ixFloatToHalf(v)), v);
  }
}

// A value that stresses a conversion: any bit pattern (NaNs, subnormals,
// every half case), in-range colours, exact 8-bit rounding ties and their
// neighbours, and the edges named below.
float stressValue(std::mt19937& rng) {
  static float const kEdges[] = {0.0f, -0.0f, 1.0f, NAN, -NAN, INFINITY, -INFINITY, 0.49999997f / 255.0f,
                                 65504.0f, 65520.0f, 6.1035156e-5f, 2.9802322e-8f, -1e-30f};
  float const tie = (float(rng() % 255) + 0.5f) / 255.0f;
  switch (rng() % 5) {
    case 0: return std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
    case 1: return std::uniform_real_distribution<float>(-0.5f, 1.5f)(rng);
    case 2: return std::nextafter(tie, rng() % 2 ? 2.0f : -1.0f);
    case 3: return tie;
    default: return kEdges[rng() % std::size(kEdges)];
  }
}

TEST(IxPixelFormatTest, RowWriterStoresTheSameBytesAsPixelWrites) {
  std::mt19937 rng(17);
  // 150 pixels: two whole blocks of the narrow formats' staging and a rest.
  int const n = 150;
  std::vector<Color> colors(n);
  for (auto depth : {IxPixelFormat::UINT8, IxPixelFormat::FLOAT16, IxPixelFormat::FLOAT32, IxPixelFormat::COMPLEX}) {
    for (auto comps : {IxPixelFormat::ALPHA, IxPixelFormat::RGB, IxPixelFormat::RGBA}) {
      IxPixelFormat const f(comps, depth);
      for (int round = 0; round < 40; ++round) {
        for (Color& c : colors) c = {stressValue(rng), stressValue(rng), stressValue(rng), stressValue(rng)};
        // One byte in: the row writer may not assume aligned pixels.
        std::vector<std::byte> row(1 + n * f.getBytesPerPixel()), pixels(row.size());
        ixWriteColorRow(f, row.data() + 1, colors.data(), n);
        for (int i = 0; i < n; ++i) ixWriteColor(f, pixels.data() + 1 + i * f.getBytesPerPixel(), colors[i]);
        ASSERT_EQ(row, pixels) << "depth " << depth << ", components " << comps << ", round " << round;
      }
    }
  }
}

TEST(IxPixelFormatTest, ColourReadsMatchComponentReads) {
  // Every depth and component layout, every 8-bit value in every slot (8-bit
  // colours take a path of their own); alpha is 1 where there is none.
  for (auto depth : {IxPixelFormat::UINT8, IxPixelFormat::FLOAT16, IxPixelFormat::FLOAT32}) {
    for (auto comps : {IxPixelFormat::ALPHA, IxPixelFormat::RGB, IxPixelFormat::RGBA}) {
      IxPixelFormat const f(comps, depth);
      int const n = f.getNumComps(), step = f.getBytesPerComp();
      std::vector<std::byte> pixel(static_cast<std::size_t>(f.getBytesPerPixel()));
      for (int v = 0; v < 256; ++v) {
        for (int k = 0; k < f.getBytesPerPixel(); ++k) pixel[k] = static_cast<std::byte>((v + 37 * k) & 255);
        Color const c = ixReadColor(f, pixel.data());
        float expected[4] = {0.0f, 0.0f, 0.0f, 1.0f};
        if (n == 1) expected[3] = f.readComp(pixel.data());
        for (int k = 0; n > 1 && k < n; ++k) expected[k] = f.readComp(pixel.data() + k * step);
        float const got[4] = {c.r, c.g, c.b, c.a};
        for (int k = 0; k < 4; ++k)
          ASSERT_EQ(std::bit_cast<std::uint32_t>(got[k]), std::bit_cast<std::uint32_t>(expected[k]))
              << "depth " << depth << ", components " << comps << ", value " << v << ", channel " << k;
      }
    }
  }
}

}  // namespace
