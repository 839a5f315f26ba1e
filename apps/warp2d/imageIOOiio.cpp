// The loadable image-file module of warp2d: OpenImageIO at the edge of the
// pipeline, files to host tiles and back, for every format warp2d does not
// read and write itself (imageIOBackend.h says why it is a module).
#include <algorithm>
#include <cmath>
#include <memory>

#include <OpenImageIO/imageio.h>

#include "fileCommit.h"
#include "imageIOBackend.h"

namespace Qx::Warp2dApp {

namespace {

IxPixelFormat::Depth depthFor(OIIO::TypeDesc const& t) {
  if (t == OIIO::TypeDesc::UINT8) return IxPixelFormat::UINT8;
  if (t == OIIO::TypeDesc::HALF) return IxPixelFormat::FLOAT16;
  return IxPixelFormat::FLOAT32;
}

OIIO::TypeDesc typeOf(IxPixelFormat const& f) {
  return f.getDepth() == IxPixelFormat::UINT8 ? OIIO::TypeDesc::UINT8
         : f.getDepth() == IxPixelFormat::FLOAT16 ? OIIO::TypeDesc::HALF
                                                  : OIIO::TypeDesc::FLOAT;
}

std::string reasonOf(std::string const& error, char const* fallback) {
  std::string e = error.empty() ? fallback : error;
  while (!e.empty() && (e.back() == '\n' || e.back() == ' ')) e.pop_back();
  return e;
}

// The description of a written file: `channels` of `type` over `region`, with the
// display window when the format stores windows (a format without them
// gets only the region's origin, as an offset where it has one).
OIIO::ImageSpec specFor(GeRectangle<int> const& region, GeRectangle<int> const& displayWindow, int channels,
                        OIIO::TypeDesc type, std::vector<std::string> const& names) {
  OIIO::ImageSpec s(region.getWidth(), region.getHeight(), channels, type);
  if (static_cast<int>(names.size()) >= channels) s.channelnames.assign(names.begin(), names.begin() + channels);
  s.x = region.x1();
  s.y = region.y1();
  s.full_x = displayWindow.x1();
  s.full_y = displayWindow.y1();
  s.full_width = displayWindow.getWidth();
  s.full_height = displayWindow.getHeight();
  return s;
}

bool storesWindows(OIIO::ImageOutput const& out) { return out.supports("displaywindow") && out.supports("origin"); }

// Writes pixels of `type` (rows `yStride` bytes apart, pixels `xStride`;
// AutoStride: packed) under `imageSpec`, whole or not at all.
void writePixels(std::string const& path, std::unique_ptr<OIIO::ImageOutput> out, OIIO::ImageSpec const& imageSpec,
                 OIIO::TypeDesc type, void const* data, OIIO::stride_t xStride = OIIO::AutoStride,
                 OIIO::stride_t yStride = OIIO::AutoStride) {
  writeWhole(path, [&](std::string const& temp) -> std::string {
    if (!out->open(temp, imageSpec)) return reasonOf(out->geterror(), "cannot be created");
    bool ok = out->write_image(type, data, xStride, yStride);
    std::string reason = ok ? "" : reasonOf(out->geterror(), "write failed");
    ok = out->close() && ok;
    if (!ok && reason.empty()) reason = reasonOf(out->geterror(), "write failed");
    return reason;
  });
}

Image oiioRead(std::string const& path) {
  auto in = OIIO::ImageInput::open(path);
  if (!in) throw ImageIOError(path, reasonOf(OIIO::geterror(), "cannot be read as an image"));
  OIIO::ImageSpec const& imageSpec = in->spec();
  if (imageSpec.width <= 0 || imageSpec.height <= 0 || imageSpec.nchannels <= 0)
    throw ImageIOError(path, "has no pixels");

  Image img;
  FileInfo& info = img.info;
  info.channels = std::min(imageSpec.nchannels, 4);
  for (int c = 0; c < info.channels; ++c) info.channelNames.push_back(imageSpec.channel_name(c));
  info.sampleType = imageSpec.format.c_str();
  info.bitsPerSample = imageSpec.get_int_attribute("oiio:BitsPerSample", static_cast<int>(imageSpec.format.size() * 8));
  info.pixelAspectRatio = imageSpec.get_float_attribute("PixelAspectRatio", 1.0f);
  if (!(info.pixelAspectRatio > 0.0f) || !std::isfinite(info.pixelAspectRatio)) info.pixelAspectRatio = 1.0f;
  info.dataWindow =
      GeRectangle<int>(imageSpec.x, imageSpec.y, imageSpec.x + imageSpec.width, imageSpec.y + imageSpec.height);
  info.displayWindow = GeRectangle<int>(imageSpec.full_x, imageSpec.full_y, imageSpec.full_x + imageSpec.full_width,
                                        imageSpec.full_y + imageSpec.full_height);
  if (info.displayWindow.isEmpty()) info.displayWindow = info.dataWindow;

  IxPixelFormat const format(info.channels == 1 || info.channels == 3 ? IxPixelFormat::RGB : IxPixelFormat::RGBA,
                             depthFor(imageSpec.format));
  img.tile = IxTile(format, info.dataWindow, CoRgbaColorTyped<float>::ZERO, info.pixelAspectRatio);
  IxWriteGuard out(img.tile);
  if (info.channels >= 3) {
    // The tile's layout is the file's: OpenImageIO converts straight into it.
    if (!in->read_image(0, 0, 0, info.channels, typeOf(format), out.getData(), format.getBytesPerPixel(),
                        out.getRowStride()))
      throw ImageIOError(path, reasonOf(in->geterror(), "cannot be decoded"));
    return img;
  }
  std::vector<float> pixels(static_cast<std::size_t>(imageSpec.width) * imageSpec.height * info.channels);
  if (!in->read_image(0, 0, 0, info.channels, OIIO::TypeDesc::FLOAT, pixels.data()))
    throw ImageIOError(path, reasonOf(in->geterror(), "cannot be decoded"));
  int const bpc = format.getBytesPerComp(), bpp = format.getBytesPerPixel();
  for (int y = 0; y < imageSpec.height; ++y) {
    float const* src = pixels.data() + static_cast<std::size_t>(y) * imageSpec.width * info.channels;
    std::byte* dst = out.getPixelAddress(imageSpec.x, imageSpec.y + y);
    for (int x = 0; x < imageSpec.width; ++x, src += info.channels, dst += bpp) {
      // Grey (and grey with alpha) rides as RGB(A) with the grey in each.
      float const rgba[4] = {src[0], src[0], src[0], info.channels == 2 ? src[1] : 1.0f};
      for (int c = 0; c < format.getNumComps(); ++c) format.writeComp(dst + c * bpc, rgba[c]);
    }
  }
  return img;
}

void oiioWrite(std::string const& path, IxTile const& tile, FileInfo const& like,
               GeRectangle<int> const& displayWindow) {
  auto out = OIIO::ImageOutput::create(path);
  if (!out) throw ImageIOError(path, reasonOf(OIIO::geterror(), "no image format for this file name"));

  // Without windows in the file, the display window's pixels are what a
  // viewer shows; a crop or a data window inside it still narrows them.
  GeRectangle<int> const region = storesWindows(*out) ? tile.getPixelRegion() : tile.getPixelRegion() & displayWindow;
  if (region.isEmpty()) throw ImageIOError(path, "the image to write is empty (nothing left after the crop)");

  int channels = like.channels;
  bool const noAlpha = std::string(out->format_name()) == "jpeg";
  if (noAlpha && (channels == 2 || channels == 4)) --channels;
  OIIO::ImageSpec imageSpec =
      specFor(region, displayWindow, channels, OIIO::TypeDesc(like.sampleType.c_str()), like.channelNames);
  imageSpec.alpha_channel = channels == 4 ? 3 : channels == 2 ? 1 : -1;
  if (like.bitsPerSample > 0 && like.bitsPerSample != static_cast<int>(imageSpec.format.size() * 8))
    imageSpec.attribute("oiio:BitsPerSample", like.bitsPerSample);
  imageSpec.attribute("PixelAspectRatio", tile.getPixelAspectRatio());
  if (std::string(out->format_name()) == "openexr") imageSpec.attribute("compression", "zip");

  IxPixelFormat const format = tile.getPixelFormat();
  if (tile.getPixelRegion().contains(region) && format.getNumComps() == channels &&
      format.getDepth() != IxPixelFormat::COMPLEX) {
    // The file takes the tile's own pixels; OpenImageIO converts as it writes.
    IxReadGuard in(tile);
    writePixels(path, std::move(out), imageSpec, typeOf(format), in.getPixelAddress(region.x1(), region.y1()),
                format.getBytesPerPixel(), in.getRowStride());
    return;
  }
  // Pixels outside the tile are its fill colour (the display window of a
  // format without data windows may reach past the rendered region).
  std::vector<float> pixels(static_cast<std::size_t>(region.getWidth()) * region.getHeight() * channels);
  IxReadGuard in(tile);
  GeRectangle<int> const have = tile.getPixelRegion();
  CoRgbaColorTyped<float> const fill = tile.getFillColor();
  float* dst = pixels.data();
  for (int y = region.y1(); y < region.y2(); ++y)
    for (int x = region.x1(); x < region.x2(); ++x, dst += channels) {
      CoRgbaColorTyped<float> const c = have.contains(x, y) ? ixReadColor(format, in.getPixelAddress(x, y)) : fill;
      float const rgba[4] = {c.r, c.g, c.b, c.a};
      if (channels == 1) dst[0] = c.r;
      else if (channels == 2) dst[0] = c.r, dst[1] = c.a;
      else std::copy(rgba, rgba + channels, dst);
    }

  writePixels(path, std::move(out), imageSpec, OIIO::TypeDesc::FLOAT, pixels.data());
}

void oiioWriteChannels(std::string const& path, GeRectangle<int> const& region, GeRectangle<int> const& displayWindow,
                       std::vector<std::string> const& names, std::vector<float> const& pixels, std::string const& type) {
  auto out = OIIO::ImageOutput::create(path);
  if (!out) throw ImageIOError(path, reasonOf(OIIO::geterror(), "no image format for this file name"));
  if (region.isEmpty()) throw ImageIOError(path, "the image to write is empty");
  // A format without windows gets the plain pixels, from its origin.
  OIIO::ImageSpec imageSpec =
      storesWindows(*out)
          ? specFor(region, displayWindow, static_cast<int>(names.size()), OIIO::TypeDesc(type.c_str()), names)
          : specFor(GeRectangle<int>(0, 0, region.getWidth(), region.getHeight()),
                    GeRectangle<int>(0, 0, region.getWidth(), region.getHeight()), static_cast<int>(names.size()),
                    OIIO::TypeDesc(type.c_str()), names);
  imageSpec.alpha_channel = -1;
  writePixels(path, std::move(out), imageSpec, OIIO::TypeDesc::FLOAT, pixels.data());
}

}  // namespace

}  // namespace Qx::Warp2dApp

extern "C" __attribute__((visibility("default"))) Qx::Warp2dApp::ImageIOBackend const* warp2dImageIOBackend() {
  static Qx::Warp2dApp::ImageIOBackend const backend{&Qx::Warp2dApp::oiioRead, &Qx::Warp2dApp::oiioWrite,
                                                     &Qx::Warp2dApp::oiioWriteChannels};
  return &backend;
}
