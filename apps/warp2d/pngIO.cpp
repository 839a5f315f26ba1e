// 8-bit PNG at the edge of the pipeline. libpng decodes; it reports errors
// by longjmp, so each libpng call sequence runs in a function that owns its
// setjmp and holds no C++ object with a destructor: a jump back unwinds
// nothing that would leak. The writer assembles the file itself from zlib
// streams, because libpng compresses on one thread only.
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
#include <thread>
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

// The zlib stream of the image data is made in bands of rows, one per
// core: each band is deflated on its own (raw deflate, ended on a byte
// boundary by a sync flush unless it is the last) with the Adler-32 of its
// bytes, and the bands are joined under one zlib header with the combined
// checksum. Rows are Paeth-filtered (filter type 4) except at level 0.
struct Band {
  int y1 = 0, y2 = 0;
  bool last = false;
  // The band's deflate stream: `size` bytes of `out`, which holds
  // `capacity` (left uninitialised: zlib writes every byte it reports).
  std::unique_ptr<std::uint8_t[]> out;
  std::size_t size = 0, capacity = 0;
  uLong adler = 1;
  uLong length = 0;
  std::string error;
};

// The first pixel has no left neighbours (a = c = 0, so the predictor is
// b); the rest run without a branch in 16-bit lanes (every term lies within
// [-510, 510]), which the compiler vectorises.
void paeth(std::uint8_t const* cur, std::uint8_t const* prev, int bytes, int bpp, std::uint8_t* out) {
  int const head = std::min(bpp, bytes);
  for (int i = 0; i < head; ++i) out[i] = static_cast<std::uint8_t>(cur[i] - prev[i]);
  std::uint8_t const* __restrict left = cur;
  std::uint8_t const* __restrict upLeft = prev;
  std::uint8_t const* __restrict here = cur + bpp;
  std::uint8_t const* __restrict up = prev + bpp;
  std::uint8_t* __restrict o = out + bpp;
  for (int i = 0; i < bytes - head; ++i) {
    std::int16_t const a = left[i], b = up[i], c = upLeft[i];
    std::int16_t const pa = static_cast<std::int16_t>(std::abs(b - c)), pb = static_cast<std::int16_t>(std::abs(a - c));
    std::int16_t const pc = static_cast<std::int16_t>(std::abs(a + b - 2 * c));
    std::int16_t const predictor = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
    o[i] = static_cast<std::uint8_t>(here[i] - predictor);
  }
}

void deflateBand(RowSource source, int level, Band& band) {
  int const bytes = source.region.getWidth() * source.channels;
  std::vector<std::uint8_t> prev(bytes, 0), cur(bytes), filtered(bytes + 1);
  if (band.y1 > source.region.y1()) {
    source.row = prev.data();
    fillRow(source, band.y1 - 1);
  }
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, level == 1 ? Z_RLE : Z_DEFAULT_STRATEGY) != Z_OK) {
    band.error = "zlib cannot start";
    return;
  }
  std::size_t constexpr kStep = 1 << 16;
  // Room for the worst case up front, so the output is never moved; the
  // pages are touched only as zlib fills them.
  band.capacity = deflateBound(&z, static_cast<uLong>(band.y2 - band.y1) * (bytes + 1)) + kStep;
  band.out = std::make_unique_for_overwrite<std::uint8_t[]>(band.capacity);
  for (int y = band.y1; y < band.y2; ++y) {
    source.row = cur.data();
    fillRow(source, y);
    filtered[0] = level == 0 ? 0 : 4;
    if (level == 0) std::memcpy(filtered.data() + 1, cur.data(), bytes);
    else paeth(cur.data(), prev.data(), bytes, source.channels, filtered.data() + 1);
    band.adler = adler32(band.adler, filtered.data(), bytes + 1);
    band.length += bytes + 1;
    int const flush = y + 1 < band.y2 ? Z_NO_FLUSH : band.last ? Z_FINISH : Z_SYNC_FLUSH;
    z.next_in = filtered.data();
    z.avail_in = bytes + 1;
    int rc = Z_OK;
    do {
      if (band.capacity - band.size < kStep) {  // beyond the bound: cannot happen, but stays correct
        auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(2 * band.capacity);
        std::memcpy(grown.get(), band.out.get(), band.size);
        band.out = std::move(grown);
        band.capacity *= 2;
      }
      z.next_out = band.out.get() + band.size;
      z.avail_out = kStep;
      rc = deflate(&z, flush);
      band.size += kStep - z.avail_out;
    } while (rc == Z_OK && (z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END)));
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
      band.error = z.msg ? z.msg : "zlib error";
      break;
    }
    std::swap(prev, cur);
  }
  deflateEnd(&z);
}

void putU32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24), p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8), p[3] = static_cast<std::uint8_t>(v);
}

// Writes a chunk of `type` whose data is the concatenation of `parts`.
bool writeChunk(std::FILE* f, char const* type, std::initializer_list<std::pair<void const*, std::size_t>> parts) {
  std::size_t length = 0;
  for (auto const& [data, size] : parts) length += size;
  std::uint8_t head[8];
  putU32(head, static_cast<std::uint32_t>(length));
  std::memcpy(head + 4, type, 4);
  uLong crc = crc32(0, head + 4, 4);
  bool ok = std::fwrite(head, 1, 8, f) == 8;
  for (auto const& [data, size] : parts) {
    crc = crc32(crc, static_cast<Bytef const*>(data), static_cast<uInt>(size));
    ok = ok && std::fwrite(data, 1, size, f) == size;
  }
  std::uint8_t tail[4];
  putU32(tail, static_cast<std::uint32_t>(crc));
  return ok && std::fwrite(tail, 1, 4, f) == 4;
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
                     int level, int bands) {
  level = std::clamp(level, 0, 9);
  IxReadGuard const in(tile);
  RowSource const source{&in, region, tile.getPixelFormat().getNumComps(), channels, nullptr};
  int const height = region.getHeight();
  if (bands <= 0) bands = std::min(static_cast<int>(std::thread::hardware_concurrency()), height / 32);
  bands = std::clamp(bands, 1, std::min(height, 8));
  std::vector<Band> band(bands);
  for (int i = 0; i < bands; ++i) {
    band[i].y1 = region.y1() + height * i / bands;
    band[i].y2 = region.y1() + height * (i + 1) / bands;
    band[i].last = i + 1 == bands;
  }
  {
    std::vector<std::jthread> helpers;
    for (int i = 1; i < bands; ++i) helpers.emplace_back([&, i] { deflateBand(source, level, band[i]); });
    deflateBand(source, level, band[0]);
  }
  uLong adler = 1;
  for (Band const& b : band) {
    if (!b.error.empty()) return "zlib: " + b.error;
    adler = adler32_combine(adler, b.adler, static_cast<z_off_t>(b.length));
  }

  File const out(std::fopen(file.c_str(), "wb"));
  if (!out) return std::strerror(errno);
  std::uint8_t ihdr[13] = {};
  putU32(ihdr, static_cast<std::uint32_t>(region.getWidth()));
  putU32(ihdr + 4, static_cast<std::uint32_t>(height));
  ihdr[8] = 8;
  ihdr[9] = channels == 1 ? 0 : channels == 2 ? 4 : channels == 3 ? 2 : 6;
  // The data window's origin as an offset in pixels, and the aspect ratio
  // as the module writes it: 100 pixels per unit across.
  std::uint8_t offs[9] = {}, phys[9] = {};
  putU32(offs, static_cast<std::uint32_t>(region.x1()));
  putU32(offs + 4, static_cast<std::uint32_t>(region.y1()));
  putU32(phys, 100);
  putU32(phys + 4, static_cast<std::uint32_t>(100.0f * tile.getPixelAspectRatio()));
  // zlib header: deflate with a 32K window, the level class, the check bits.
  int const levelClass = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
  std::uint8_t const zlibHead[2] = {0x78, static_cast<std::uint8_t>((levelClass << 6) + 31 -
                                                                     ((0x78 * 256 + (levelClass << 6)) % 31))};
  std::uint8_t trailer[4];
  putU32(trailer, static_cast<std::uint32_t>(adler));
  static std::uint8_t const signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  bool ok = std::fwrite(signature, 1, 8, out.get()) == 8 && writeChunk(out.get(), "IHDR", {{ihdr, 13}}) &&
            writeChunk(out.get(), "oFFs", {{offs, 9}}) && writeChunk(out.get(), "pHYs", {{phys, 9}});
  for (int i = 0; i < bands && ok; ++i) {
    std::pair<void const*, std::size_t> const data{band[i].out.get(), band[i].size};
    bool const first = i == 0, last = i + 1 == bands;
    ok = first && last ? writeChunk(out.get(), "IDAT", {{zlibHead, 2}, data, {trailer, 4}})
         : first       ? writeChunk(out.get(), "IDAT", {{zlibHead, 2}, data})
         : last        ? writeChunk(out.get(), "IDAT", {data, {trailer, 4}})
                       : writeChunk(out.get(), "IDAT", {data});
  }
  ok = ok && writeChunk(out.get(), "IEND", {});
  if (!ok || std::fflush(out.get()) != 0 || std::ferror(out.get())) return std::strerror(errno);
  return "";
}

}  // namespace Qx::Warp2dApp
