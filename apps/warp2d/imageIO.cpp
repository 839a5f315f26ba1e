// Which reader or writer a file goes to: 8-bit PNG through libpng here,
// everything else through the image-file module, opened on first use.
#include "imageIO.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "fileCommit.h"
#include "imageIOBackend.h"
#include "pngIO.h"

namespace Qx::Warp2dApp {

namespace fs = std::filesystem;

namespace {

std::atomic<int> gPngLevel{kDefaultPngCompression};

// The module beside this build (or $WARP2D_IMAGEIO_MODULE). It stays loaded
// for the life of the process: the exceptions and the file handles it hands
// out must outlive any one call.
ImageIOBackend const& backend(std::string const& forPath) {
  static std::mutex mutex;
  static ImageIOBackend const* loaded = nullptr;
  std::lock_guard const lock(mutex);
  if (loaded) return *loaded;
  char const* env = std::getenv("WARP2D_IMAGEIO_MODULE");
  std::string const module = env && *env ? env : WARP2D_IMAGEIO_MODULE_PATH;
  void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  char const* error = handle ? nullptr : ::dlerror();
  auto entry = handle ? reinterpret_cast<ImageIOBackend const* (*)()>(::dlsym(handle, "warp2dImageIOBackend")) : nullptr;
  if (!entry)
    throw ImageIOError(forPath, "this format needs the image-file module " + module + ", which cannot be loaded (" +
                                    (error ? error : "no entry point") + ")");
  loaded = entry();
  return *loaded;
}

}  // namespace

void setPngCompression(int level) { gPngLevel.store(std::clamp(level, 0, 9)); }

Image readImage(std::string const& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) throw ImageIOError(path, "no such file");
  if (isPngFile(path))
    if (std::optional<Image> png = readPng(path)) return std::move(*png);
  return backend(path).read(path);
}

ImageReading::ImageReading(std::string const& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) throw ImageIOError(path, "no such file");
  std::shared_ptr<PngReader> const png = isPngFile(path) ? PngReader::open(path) : nullptr;
  if (!png) {
    _image = backend(path).read(path);
    std::promise<void> done;
    done.set_value();
    _ready = done.get_future().share();
    return;
  }
  _image = png->image();
  _ready = std::async(std::launch::async, [png] { png->decode(); }).share();
}

ImageReading::~ImageReading() {
  if (_ready.valid()) _ready.wait();
}

void ImageReading::finish() const { _ready.get(); }

void writeImage(std::string const& path, IxTile const& tile, FileInfo const& like,
                GeRectangle<int> const& displayWindow) {
  // PNG stores no display window: its pixels are the display window's, as
  // far as the tile reaches (a crop or a data window inside it narrows
  // them).
  GeRectangle<int> const region = tile.getPixelRegion() & displayWindow;
  if (!pngWritable(path, tile, like, region)) return backend(path).write(path, tile, like, displayWindow);
  int const level = gPngLevel.load();
  writeWhole(path, [&](std::string const& temp) { return writePng(temp, tile, region, like.channels, level); });
}

void writeChannels(std::string const& path, GeRectangle<int> const& region, GeRectangle<int> const& displayWindow,
                   std::vector<std::string> const& names, std::vector<float> const& pixels, std::string const& type) {
  backend(path).writeChannels(path, region, displayWindow, names, pixels, type);
}

}  // namespace Qx::Warp2dApp
