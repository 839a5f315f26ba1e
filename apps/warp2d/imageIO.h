// Image files for warp2d: reading a file into a host tile and writing a tile
// back out. 8-bit PNG goes through libpng in warp2d itself (pngIO.h); every
// other file (EXR, TIFF, JPEG, DPX, 16-bit PNG and whatever else the
// installed OpenImageIO reads) through the image-file module, loaded on
// first use (imageIOBackend.h). Both give the same pixels for a file.
//
// Pixels in the pipeline are 8-bit (files stored as 8-bit), half (files
// stored as half) or float (everything else: 16-bit, 10-bit, 32-bit); one
// and two channel files ride as RGB and RGBA (grey replicated) and are
// written back with their own channel count. A written file keeps the
// channel count, channel names, sample type and bit depth of the file it was
// read from (FileInfo), as far as the output format supports them. Alpha is
// associated in the pipeline, as OpenImageIO hands it over.
//
// Geometry: the tile's region is the file's data window in the file's pixel
// coordinates; the display window and the pixel aspect ratio travel in
// FileInfo. A format that stores a display window gets both windows; for the
// others the tile's pixels inside the display window are written.
//
// Nothing half-written: writeImage writes to a temporary name in the target
// folder and renames it over the target only when the file is complete, so
// an interrupted or failed write never leaves a partial file under the
// target's name. Failures throw ImageIOError naming the file and the reason.
#pragma once

#include <future>
#include <stdexcept>
#include <string>
#include <vector>

#include "primitives/geRectangle.h"
#include "primitives/ixTile.h"

namespace Qx::Warp2dApp {

class ImageIOError : public std::runtime_error {
 public:
  ImageIOError(std::string const& path, std::string const& reason) : std::runtime_error(path + ": " + reason) {}
};

struct FileInfo {
  int channels = 4;
  std::vector<std::string> channelNames;
  std::string sampleType = "uint8";  // OpenImageIO's name of the stored type
  int bitsPerSample = 8;
  float pixelAspectRatio = 1.0f;
  GeRectangle<int> dataWindow;
  GeRectangle<int> displayWindow;
};

struct Image {
  IxTile tile;  // over dataWindow, with the file's aspect ratio
  FileInfo info;
};

// Reads the first subimage of `path`. Throws ImageIOError.
Image readImage(std::string const& path);

// A file being read: its layout and tile at once, its pixels from a thread
// of their own, so that a render can build its graph and solve its warp
// (which needs no pixels) while the file decodes. The tile's pixels may be
// read only once pixelsReady() has resolved; they are the file's then, or
// zero when the decode failed, which finish() reports. Only 8-bit PNG is
// decoded in the background; any other file is read whole by the
// constructor.
class ImageReading {
 public:
  // Reads the header (or the whole file). Throws ImageIOError as readImage.
  explicit ImageReading(std::string const& path);
  ~ImageReading();  // waits for the decode
  ImageReading(ImageReading const&) = delete;
  ImageReading& operator=(ImageReading const&) = delete;

  Image const& image() const { return _image; }
  // Resolves when the decode has ended; wait() on a copy of it, from any
  // thread.
  std::shared_future<void> const& pixelsReady() const { return _ready; }
  // Waits for the decode; throws its ImageIOError if it failed.
  void finish() const;

 private:
  Image _image;
  std::shared_future<void> _ready;
};

// Writes `tile` to `path` in the format its extension names, with the
// channels, sample type and bit depth of `like` and the display window
// `displayWindow` (pixels of the tile's plane). Missing folders are made.
// Throws ImageIOError; the target is then untouched.
void writeImage(std::string const& path, IxTile const& tile, FileInfo const& like,
                GeRectangle<int> const& displayWindow);

// Writes `names.size()` interleaved float channels over `region` (row by
// row) with sample type `type` ("float", "half", "uint8"...), atomically as
// writeImage does. For diagnostics: ST-maps, fold maps.
void writeChannels(std::string const& path, GeRectangle<int> const& region, GeRectangle<int> const& displayWindow,
                   std::vector<std::string> const& names, std::vector<float> const& pixels, std::string const& type);

// The folder-local temporary name writeImage uses for `path`.
std::string temporaryPathFor(std::string const& path);

// The zlib level of the PNG files warp2d writes itself, for the rest of the
// process (0 to 9, clamped). The default favours speed: on rendered frames
// level 1 (with run-length matching) encodes about three times faster than
// level 6 and makes files a few per cent larger. Decoded pixels do not
// depend on it.
inline constexpr int kDefaultPngCompression = 1;
void setPngCompression(int level);

}  // namespace Qx::Warp2dApp
