// libpng at the edge of the pipeline for 8-bit PNG. libpng reports errors
// by longjmp, so each libpng call sequence runs in a function that owns its
// setjmp and holds no C++ object with a destructor: a jump back unwinds
// nothing that would leak.
#include "pngIO.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace Qx::Warp2dApp {

namespace {

struct PngMessage {
  char text[200] = "";
};

extern "C" void onPngError(png_structp png, png_const_charp message) {
  auto* m = static_cast<PngMessage*>(png_get_error_ptr(png));
  std::snprintf(m->text, sizeof m->text, "%s", message ? message : "libpng error");
  png_longjmp(png, 1);
}
extern "C" void onPngWarning(png_structp, png_const_charp) {}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct ReadStructs {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~ReadStructs() { png_destroy_read_struct(&png, &info, nullptr); }
};

// What the header says, after libpng's expansion to 8 or 16 bits.
struct PngHeader {
  png_uint_32 width = 0, height = 0;
  int bitDepth = 0, channels = 0;
  bool gammaEncoded = false;  // a gamma chunk other than 1 and no sRGB chunk
  int x = 0, y = 0;           // oFFs in pixels
  float aspect = 0.0f;        // pHYs y / x; 0 when absent
};

// Reads the header with expansion set up. False (and `m` set) on error.
bool readHeader(png_structp png, png_infop info, PngHeader* h) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  png_set_expand(png);
  int srgbIntent = 0;
  double gamma = 1.0;
  h->gammaEncoded = !png_get_sRGB(png, info, &srgbIntent) && png_get_gAMA(png, info, &gamma) && gamma != 1.0;
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  h->width = png_get_image_width(png, info);
  h->height = png_get_image_height(png, info);
  h->bitDepth = png_get_bit_depth(png, info);
  h->channels = png_get_channels(png, info);
  h->x = png_get_x_offset_pixels(png, info);
  h->y = png_get_y_offset_pixels(png, info);
  h->aspect = png_get_pixel_aspect_ratio(png, info);
  return true;
}

bool readRows(png_structp png, png_infop info, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_image(png, rows);
  png_read_end(png, info);
  return true;
}

// PNG stores unassociated alpha; the pipeline works associated. The product
// is truncated, as the module's reader does, so that both give one result.
void associate(std::uint8_t* p, int pixels, int channels) {
  int const a = channels - 1;
  for (int i = 0; i < pixels; ++i, p += channels) {
    if (p[a] == 255) continue;
    float const alpha = static_cast<float>(p[a]) * (1.0f / 255.0f);
    for (int c = 0; c < a; ++c) p[c] = static_cast<std::uint8_t>(static_cast<float>(p[c]) * alpha);
  }
}

void deassociate(std::uint8_t* p, int pixels, int channels) {
  int const a = channels - 1;
  for (int i = 0; i < pixels; ++i, p += channels) {
    unsigned const alpha = p[a];
    if (alpha == 0 || alpha == 255) continue;
    for (int c = 0; c < a; ++c) p[c] = static_cast<std::uint8_t>(std::min(255u, p[c] * 255u / alpha));
  }
}

struct RowSource {
  IxReadGuard const* in;
  GeRectangle<int> region;
  int tileComps;  // 3 or 4
  int channels;   // of the file
  std::uint8_t* row;
};

// One file row of `s.channels` unassociated 8-bit samples from tile row `y`.
void fillRow(RowSource const& s, int y) {
  auto const* src = reinterpret_cast<std::uint8_t const*>(s.in->getPixelAddress(s.region.x1(), y));
  std::uint8_t* dst = s.row;
  int const n = s.region.getWidth();
  if (s.channels == s.tileComps) {
    std::memcpy(dst, src, static_cast<std::size_t>(n) * s.channels);
  } else {
    for (int i = 0; i < n; ++i, src += s.tileComps, dst += s.channels) {
      std::uint8_t const alpha = s.tileComps == 4 ? src[3] : 255;
      if (s.channels == 1) dst[0] = src[0];
      else if (s.channels == 2) dst[0] = src[0], dst[1] = alpha;
      else if (s.channels == 3) std::memcpy(dst, src, 3);
      else std::memcpy(dst, src, 3), dst[3] = alpha;
    }
  }
  if (s.channels == 2 || s.channels == 4) deassociate(s.row, n, s.channels);
}

struct WriteSettings {
  int width, height, channels, x, y, level;
  float aspect;
};

bool encode(png_structp png, png_infop info, std::FILE* file, WriteSettings const* w, RowSource const* rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, file);
  png_set_compression_level(png, w->level);
  // Level 1, the default: the Paeth predictor on every row and run-length
  // matching only. Measured on rendered 1080p frames it encodes as fast as
  // no filtering at level 1 and gives files about as small as level 6 with
  // adaptive filters, at a third of its time. Higher levels take libpng's
  // adaptive filters and zlib's default strategy; level 0 stores.
  if (w->level == 0) {
    png_set_filter(png, 0, PNG_FILTER_NONE);
  } else if (w->level == 1) {
    png_set_filter(png, 0, PNG_FILTER_PAETH);
    png_set_compression_strategy(png, Z_RLE);
  } else {
    png_set_filter(png, 0, PNG_ALL_FILTERS);
  }
  int const colorType = w->channels == 1   ? PNG_COLOR_TYPE_GRAY
                        : w->channels == 2 ? PNG_COLOR_TYPE_GRAY_ALPHA
                        : w->channels == 3 ? PNG_COLOR_TYPE_RGB
                                           : PNG_COLOR_TYPE_RGB_ALPHA;
  png_set_IHDR(png, info, w->width, w->height, 8, colorType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_oFFs(png, info, w->x, w->y, PNG_OFFSET_PIXEL);
  // The aspect ratio as the module writes it: 100 pixels per unit across.
  png_set_pHYs(png, info, 100, static_cast<png_uint_32>(100.0f * w->aspect), PNG_RESOLUTION_UNKNOWN);
  png_write_info(png, info);
  for (int y = rows->region.y1(); y < rows->region.y2(); ++y) {
    fillRow(*rows, y);
    png_write_row(png, rows->row);
  }
  png_write_end(png, info);
  return true;
}

bool endsWithPng(std::string const& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext == ".png";
}

}  // namespace

bool isPngFile(std::string const& path) {
  File const f(std::fopen(path.c_str(), "rb"));
  png_byte sig[8];
  return f && std::fread(sig, 1, 8, f.get()) == 8 && png_sig_cmp(sig, 0, 8) == 0;
}

struct PngReader::State {
  File file;
  PngMessage message;
  ReadStructs structs;
  PngHeader header;
};

PngReader::PngReader(std::string path) : _path(std::move(path)), _state(std::make_unique<State>()) {}
PngReader::~PngReader() = default;

std::unique_ptr<PngReader> PngReader::open(std::string const& path) {
  std::unique_ptr<PngReader> r(new PngReader(path));
  State& s = *r->_state;
  s.file.reset(std::fopen(path.c_str(), "rb"));
  if (!s.file) throw ImageIOError(path, std::string("cannot be opened (") + std::strerror(errno) + ")");
  s.structs.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &s.message, onPngError, onPngWarning);
  s.structs.info = s.structs.png ? png_create_info_struct(s.structs.png) : nullptr;
  if (!s.structs.info) throw ImageIOError(path, "cannot be decoded (out of memory)");
  png_init_io(s.structs.png, s.file.get());
  PngHeader& h = s.header;
  if (!readHeader(s.structs.png, s.structs.info, &h))
    throw ImageIOError(path, std::string("cannot be decoded (") + s.message.text + ")");
  bool const alpha = h.channels == 2 || h.channels == 4;
  if (h.bitDepth != 8 || (alpha && h.gammaEncoded)) return nullptr;
  if (h.width == 0 || h.height == 0 || h.width > (1u << 24) || h.height > (1u << 24))
    throw ImageIOError(path, "has no pixels");

  FileInfo& fi = r->_image.info;
  fi.channels = h.channels;
  fi.channelNames = h.channels == 1   ? std::vector<std::string>{"Y"}
                    : h.channels == 2 ? std::vector<std::string>{"Y", "A"}
                    : h.channels == 3 ? std::vector<std::string>{"R", "G", "B"}
                                      : std::vector<std::string>{"R", "G", "B", "A"};
  fi.sampleType = "uint8";
  fi.bitsPerSample = 8;
  fi.pixelAspectRatio = h.aspect > 0.0f && std::isfinite(h.aspect) ? h.aspect : 1.0f;
  int const w = static_cast<int>(h.width), ht = static_cast<int>(h.height);
  fi.dataWindow = GeRectangle<int>(h.x, h.y, h.x + w, h.y + ht);
  fi.displayWindow = GeRectangle<int>(0, 0, w, ht);
  IxPixelFormat const format(alpha ? IxPixelFormat::RGBA : IxPixelFormat::RGB, IxPixelFormat::UINT8);
  r->_image.tile = IxTile(format, fi.dataWindow, CoRgbaColorTyped<float>::ZERO, fi.pixelAspectRatio);
  return r;
}

void PngReader::decode() {
  State& s = *_state;
  PngHeader const& h = s.header;
  int const w = static_cast<int>(h.width), ht = static_cast<int>(h.height);
  bool const alpha = h.channels == 2 || h.channels == 4;
  int const comps = _image.tile.getPixelFormat().getNumComps();
  IxWriteGuard const out(_image.tile);
  // RGB and RGBA decode straight into the tile's rows; grey goes through a
  // buffer and is spread over R, G and B.
  bool const direct = h.channels >= 3;
  std::vector<std::uint8_t> grey(direct ? 0 : static_cast<std::size_t>(w) * ht * h.channels);
  std::vector<png_bytep> rows(ht);
  for (int y = 0; y < ht; ++y)
    rows[y] = direct ? reinterpret_cast<png_bytep>(out.getPixelAddress(h.x, h.y + y))
                     : grey.data() + static_cast<std::size_t>(y) * w * h.channels;
  if (!readRows(s.structs.png, s.structs.info, rows.data()))
    throw ImageIOError(_path, std::string("cannot be decoded (") + s.message.text + ")");
  for (int y = 0; y < ht; ++y) {
    if (alpha) associate(rows[y], w, h.channels);
    if (direct) continue;
    auto* dst = reinterpret_cast<std::uint8_t*>(out.getPixelAddress(h.x, h.y + y));
    std::uint8_t const* src = rows[y];
    for (int x = 0; x < w; ++x, src += h.channels, dst += comps) {
      dst[0] = dst[1] = dst[2] = src[0];
      if (alpha) dst[3] = src[1];
    }
  }
  s.file.reset();
}

std::optional<Image> readPng(std::string const& path) {
  std::unique_ptr<PngReader> const reader = PngReader::open(path);
  if (!reader) return std::nullopt;
  reader->decode();
  return reader->image();
}

bool pngWritable(std::string const& path, IxTile const& tile, FileInfo const& like, GeRectangle<int> const& region) {
  return endsWithPng(path) && tile.getPixelFormat().getDepth() == IxPixelFormat::UINT8 &&
         tile.getPixelFormat().getNumComps() >= 3 && like.sampleType != "uint16" && like.channels >= 1 &&
         like.channels <= 4 && !region.isEmpty() && tile.getPixelRegion().contains(region);
}

std::string writePng(std::string const& file, IxTile const& tile, GeRectangle<int> const& region, int channels,
                     int level) {
  File const out(std::fopen(file.c_str(), "wb"));
  if (!out) return std::strerror(errno);
  PngMessage message;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &message, onPngError, onPngWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return "out of memory";
  }
  IxReadGuard const in(tile);
  std::vector<std::uint8_t> row(static_cast<std::size_t>(region.getWidth()) * 4);
  RowSource const rows{&in, region, tile.getPixelFormat().getNumComps(), channels, row.data()};
  WriteSettings const settings{region.getWidth(), region.getHeight(), channels, region.x1(), region.y1(),
                               std::clamp(level, 0, 9), tile.getPixelAspectRatio()};
  bool const ok = encode(png, info, out.get(), &settings, &rows);
  png_destroy_write_struct(&png, &info);
  if (!ok) return message.text;
  if (std::fflush(out.get()) != 0 || std::ferror(out.get())) return std::strerror(errno);
  return "";
}

}  // namespace Qx::Warp2dApp
