// 8-bit PNG files read by warp2d itself through libpng and written through
// zlib (rows in bands compressed on every core), so that a render of PNGs
// never loads the image-file module
// (imageIOBackend.h). Both sides keep the conventions of imageIO.h and give
// the pixels the module gives for the same file, bit for bit: a palette,
// low-bit grey and transparency chunks expand to 8-bit grey, grey-alpha,
// RGB or RGBA; alpha becomes associated on reading (c * a, truncated) and
// unassociated on writing (c / a, truncated, at most 255);
// the oFFs offset is the data window's origin, pHYs the pixel aspect ratio.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "imageIO.h"

namespace Qx::Warp2dApp {

// True when `path` starts with the PNG signature.
bool isPngFile(std::string const& path);

// A PNG file opened for reading: the header is read, the tile made (its
// pixels zero) and the file info set; decode() then fills the tile. The two
// halves may run on different threads, one after the other.
class PngReader {
 public:
  // The reader of `path`, a PNG file, or nullptr when it is one the module
  // reads (16-bit, gamma-encoded alpha). Throws ImageIOError for a file
  // that cannot be opened or whose header is damaged.
  static std::unique_ptr<PngReader> open(std::string const& path);
  ~PngReader();
  Image const& image() const { return _image; }
  // Decodes the pixels into image().tile, once. Throws ImageIOError.
  void decode();

 private:
  struct State;
  explicit PngReader(std::string path);
  std::string _path;
  std::unique_ptr<State> _state;
  Image _image;
};

// Reads `path`, a PNG file, when this reader covers it: 8-bit samples after
// expansion and no alpha under a gamma chunk. std::nullopt for the others
// (16-bit PNG, gamma-encoded alpha), which the module reads. Throws
// ImageIOError for a damaged file.
std::optional<Image> readPng(std::string const& path);

// True when writePng can write `tile` as `path` with the layout of `like`:
// a .png name, an 8-bit tile holding `region` and an 8-bit (or
// non-integer, which PNG stores as 8-bit) sample type.
bool pngWritable(std::string const& path, IxTile const& tile, FileInfo const& like, GeRectangle<int> const& region);

// Writes `region` of `tile` to `file` (a temporary name: writeWhole renames
// it) with `channels` channels (1 grey, 2 grey-alpha, 3 RGB, 4 RGBA; grey is
// the tile's red) at zlib `level` (0 to 9), compressed in `bands` bands of
// rows on as many threads (0: one per core, for rows enough). Returns the
// reason of a failure, or an empty string.
std::string writePng(std::string const& file, IxTile const& tile, GeRectangle<int> const& region, int channels,
                     int level, int bands = 0);

}  // namespace Qx::Warp2dApp
