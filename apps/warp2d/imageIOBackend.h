// The seam between warp2d and its loadable image-file module
// (libwarp2dImageIO.so, OpenImageIO inside). Linking OpenImageIO costs every
// warp2d process a few hundred libraries and about 0.2 s of symbol binding
// before main, so warp2d reads and writes 8-bit PNG itself and opens this
// module only when a file needs it (EXR, TIFF, DPX, JPEG, 16-bit PNG...).
//
// The functions have the contracts of readImage, writeImage and
// writeChannels in imageIO.h and throw the same ImageIOError; the module and
// warp2d share one C++ runtime, so the exceptions cross the boundary.
#pragma once

#include "imageIO.h"

namespace Qx::Warp2dApp {

struct ImageIOBackend {
  Image (*read)(std::string const& path);
  void (*write)(std::string const& path, IxTile const& tile, FileInfo const& like,
                GeRectangle<int> const& displayWindow);
  void (*writeChannels)(std::string const& path, GeRectangle<int> const& region,
                        GeRectangle<int> const& displayWindow, std::vector<std::string> const& names,
                        std::vector<float> const& pixels, std::string const& type);
};

}  // namespace Qx::Warp2dApp

// The module's one entry point, looked up by name after dlopen.
extern "C" Qx::Warp2dApp::ImageIOBackend const* warp2dImageIOBackend();
