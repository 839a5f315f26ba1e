// warp2d's own PNG reader and writer against the image-file module: for
// every kind of 8-bit PNG the two must give the same tile and file layout,
// and written files must hold the same samples, so that which path a file
// takes never shows in a render.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "imageIOBackend.h"
#include "pngIO.h"

namespace fs = std::filesystem;
using namespace Qx::Warp2dApp;

namespace {

ImageIOBackend const& module() {
  static ImageIOBackend const* backend = [] {
    void* handle = ::dlopen(WARP2D_IMAGEIO_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    auto entry = handle ? reinterpret_cast<ImageIOBackend const* (*)()>(::dlsym(handle, "warp2dImageIOBackend")) : nullptr;
    return entry ? entry() : nullptr;
  }();
  if (!backend) throw std::runtime_error("image-file module " WARP2D_IMAGEIO_MODULE_PATH " cannot be loaded");
  return *backend;
}

// A PNG file's header fields and its rows exactly as stored (unfiltered,
// unexpanded, alpha unassociated).
struct Stored {
  png_uint_32 width = 0, height = 0;
  int depth = 0, colorType = 0, unit = -1;
  png_int_32 x = 0, y = 0;
  png_uint_32 resX = 0, resY = 0;
  std::vector<png_byte> samples;
};

Stored stored(std::string const& path) {
  Stored s;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return s;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_read_info(png, info);
  int interlace = 0;
  png_get_IHDR(png, info, &s.width, &s.height, &s.depth, &s.colorType, &interlace, nullptr, nullptr);
  png_get_oFFs(png, info, &s.x, &s.y, &s.unit);
  png_get_pHYs(png, info, &s.resX, &s.resY, nullptr);
  std::size_t const rowBytes = png_get_rowbytes(png, info);
  s.samples.resize(rowBytes * s.height);
  for (png_uint_32 r = 0; r < s.height; ++r) png_read_row(png, s.samples.data() + r * rowBytes, nullptr);
  png_read_end(png, nullptr);  // checks the stream's end and checksum
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  return s;
}

struct Layout {
  char const* name;
  int colorType, depth;
  bool trns = false, interlaced = false, srgb = false;
  double gamma = 0.0;  // 0: no gAMA chunk
  int x = 0, y = 0;    // oFFs
  png_uint_32 resY = 0;  // pHYs with x resolution 100; 0: none
};

// Writes a `w` x `h` PNG of `layout` with seeded random samples.
void writeFile(std::string const& path, Layout const& l, int w, int h, unsigned seed) {
  std::mt19937 rng(seed);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_IHDR(png, info, w, h, l.depth, l.colorType, l.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_color palette[16];
  png_byte alphas[16];
  for (int i = 0; i < 16; ++i) palette[i] = {png_byte(rng()), png_byte(rng()), png_byte(rng())}, alphas[i] = png_byte(rng());
  if (l.colorType == PNG_COLOR_TYPE_PALETTE) png_set_PLTE(png, info, palette, 16);
  png_color_16 key{};
  key.gray = key.red = 3;
  if (l.trns) png_set_tRNS(png, info, alphas, 16, &key);
  if (l.srgb) png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
  if (l.gamma > 0) png_set_gAMA(png, info, l.gamma);
  if (l.x || l.y) png_set_oFFs(png, info, l.x, l.y, PNG_OFFSET_PIXEL);
  if (l.resY) png_set_pHYs(png, info, 100, l.resY, PNG_RESOLUTION_UNKNOWN);
  png_write_info(png, info);
  int const passes = png_set_interlace_handling(png);
  std::vector<std::vector<png_byte>> rows(h, std::vector<png_byte>(png_get_rowbytes(png, info)));
  int const maxIndex = l.colorType == PNG_COLOR_TYPE_PALETTE ? 15 : 255;
  for (auto& r : rows)
    for (png_byte& b : r) b = l.depth == 8 && maxIndex == 255 ? png_byte(rng()) : png_byte(rng() & (l.depth == 4 ? 0xff : 0x33));
  for (int p = 0; p < passes; ++p)
    for (auto& r : rows) png_write_row(png, r.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

void expectSameImage(Image const& a, Image const& b) {
  EXPECT_EQ(a.info.channels, b.info.channels);
  EXPECT_EQ(a.info.channelNames, b.info.channelNames);
  EXPECT_EQ(a.info.sampleType, b.info.sampleType);
  EXPECT_EQ(a.info.bitsPerSample, b.info.bitsPerSample);
  EXPECT_EQ(a.info.pixelAspectRatio, b.info.pixelAspectRatio);
  EXPECT_EQ(a.info.dataWindow, b.info.dataWindow);
  EXPECT_EQ(a.info.displayWindow, b.info.displayWindow);
  ASSERT_EQ(a.tile.getPixelRegion(), b.tile.getPixelRegion());
  ASSERT_EQ(a.tile.getPixelFormat().getNumComps(), b.tile.getPixelFormat().getNumComps());
  ASSERT_EQ(a.tile.getPixelFormat().getDepth(), b.tile.getPixelFormat().getDepth());
  EXPECT_EQ(a.tile.getPixelAspectRatio(), b.tile.getPixelAspectRatio());
  IxReadGuard const ga(a.tile), gb(b.tile);
  GeRectangle<int> const r = a.tile.getPixelRegion();
  std::size_t const rowBytes = static_cast<std::size_t>(r.getWidth()) * a.tile.getPixelFormat().getBytesPerPixel();
  int rowsDiffering = 0;
  for (int y = r.y1(); y < r.y2(); ++y)
    rowsDiffering += std::memcmp(ga.getPixelAddress(r.x1(), y), gb.getPixelAddress(r.x1(), y), rowBytes) != 0;
  EXPECT_EQ(rowsDiffering, 0);
}

class PngIOTest : public ::testing::Test {
 protected:
  void SetUp() override {
    _dir = fs::temp_directory_path() / ("pngIO_test_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(_dir);
  }
  void TearDown() override { fs::remove_all(_dir); }
  std::string path(std::string const& name) const { return (_dir / name).string(); }
  fs::path _dir;
};

TEST_F(PngIOTest, ReadsEveryEightBitLayoutAsTheModuleDoes) {
  Layout const layouts[] = {
      {"grey", PNG_COLOR_TYPE_GRAY, 8},
      {"grey2", PNG_COLOR_TYPE_GRAY, 2, true},
      {"greyalpha", PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, false, false, 0.0, 7, -3},
      {"rgb", PNG_COLOR_TYPE_RGB, 8, false, false, false, 0.0, 0, 0, 200},
      {"rgbkey", PNG_COLOR_TYPE_RGB, 8, true},
      {"rgba", PNG_COLOR_TYPE_RGB_ALPHA, 8, false, false, true, 0.0, -5, 9, 91},
      {"rgbainterlaced", PNG_COLOR_TYPE_RGB_ALPHA, 8, false, true},
      {"rgbalinear", PNG_COLOR_TYPE_RGB_ALPHA, 8, false, false, false, 1.0},
      {"palette", PNG_COLOR_TYPE_PALETTE, 4, true},
  };
  for (Layout const& l : layouts) {
    SCOPED_TRACE(l.name);
    std::string const file = path(std::string(l.name) + ".png");
    writeFile(file, l, 67, 45, 17);
    ASSERT_TRUE(readPng(file).has_value());
    // Decoded in the background, as a render reads its input.
    ImageReading const own(file);
    own.finish();
    expectSameImage(own.image(), module().read(file));
  }
  // What the module reads for warp2d: 16-bit samples and gamma-encoded alpha.
  Layout const others[] = {{"rgb16", PNG_COLOR_TYPE_RGB, 16},
                           {"rgbagamma", PNG_COLOR_TYPE_RGB_ALPHA, 8, false, false, false, 1 / 2.2}};
  for (Layout const& l : others) {
    std::string const file = path(std::string(l.name) + ".png");
    writeFile(file, l, 16, 8, 3);
    EXPECT_FALSE(readPng(file).has_value()) << l.name;
    expectSameImage(readImage(file), module().read(file));
  }
}

TEST_F(PngIOTest, WritesTheModulesSamplesAtEveryLevelInAnyBands) {
  // Associated RGBA with every alpha, colour above alpha included (the
  // writer clamps it), over a region off the origin with a pixel aspect.
  GeRectangle<int> const region(-3, 5, 253, 80);
  IxTile tile(IxPixelFormat(IxPixelFormat::RGBA, IxPixelFormat::UINT8), region, CoRgbaColorTyped<float>::ZERO, 0.9f);
  {
    IxWriteGuard g(tile);
    std::mt19937 rng(5);
    for (int y = region.y1(); y < region.y2(); ++y)
      for (int x = region.x1(); x < region.x2(); ++x) {
        auto* p = reinterpret_cast<std::uint8_t*>(g.getPixelAddress(x, y));
        p[3] = static_cast<std::uint8_t>(x + 3);
        for (int c = 0; c < 3; ++c) p[c] = static_cast<std::uint8_t>(rng() % (y % 4 == 0 ? 256 : p[3] + 1u));
      }
  }
  for (int channels = 1; channels <= 4; ++channels) {
    SCOPED_TRACE(channels);
    FileInfo like;
    like.channels = channels;
    GeRectangle<int> const display(0, 0, 240, 70);
    module().write(path("module.png"), tile, like, display);
    Stored const expected = stored(path("module.png"));
    ASSERT_GT(expected.samples.size(), 0u);
    for (auto [level, bands] : {std::pair{0, 2}, {1, 0}, {1, 1}, {1, 3}, {6, 2}}) {
      std::string const own_ = path("own" + std::to_string(level) + std::to_string(bands) + ".png");
      if (bands == 0) {
        setPngCompression(level);
        writeImage(own_, tile, like, display);
      } else {
        ASSERT_EQ(writePng(own_, tile, GeRectangle<int>(0, 5, 240, 70), channels, level, bands), "");
      }
      Stored const own = stored(own_);
      EXPECT_EQ(own.width, expected.width);
      EXPECT_EQ(own.height, expected.height);
      EXPECT_EQ(own.colorType, expected.colorType);
      EXPECT_EQ(own.x, expected.x);
      EXPECT_EQ(own.y, expected.y);
      EXPECT_EQ(own.resX, expected.resX);
      EXPECT_EQ(own.resY, expected.resY);
      EXPECT_TRUE(own.samples == expected.samples) << "level " << level << ", " << bands << " bands";
    }
  }
  setPngCompression(kDefaultPngCompression);
}

TEST_F(PngIOTest, DamagedFilesFailNamingTheFile) {
  writeFile(path("whole.png"), {"rgb", PNG_COLOR_TYPE_RGB, 8}, 64, 64, 1);
  auto const bytes = fs::file_size(path("whole.png"));
  fs::copy_file(path("whole.png"), path("cut.png"));
  fs::resize_file(path("cut.png"), bytes / 2);
  EXPECT_TRUE(isPngFile(path("cut.png")));
  try {
    readImage(path("cut.png"));
    ADD_FAILURE() << "a truncated PNG was read";
  } catch (ImageIOError const& e) {
    EXPECT_NE(std::string(e.what()).find("cut.png: cannot be decoded"), std::string::npos) << e.what();
  }
  ImageReading const reading(path("cut.png"));  // the header is whole
  EXPECT_THROW(reading.finish(), ImageIOError);
  // A failed write leaves neither the target nor its temporary name.
  fs::create_directories(path("blocked.png"));
  IxTile const tile(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::UINT8), GeRectangle<int>(0, 0, 4, 4));
  FileInfo like;
  like.channels = 3;
  EXPECT_THROW(writeImage(path("blocked.png") + "/", tile, like, tile.getPixelRegion()), ImageIOError);
  EXPECT_FALSE(fs::exists(temporaryPathFor(path("blocked.png"))));
}

}  // namespace
