// A small demonstration of the warp pipeline as far as it is built: for a
// frame size it prints the correspondence mesh region and lattice.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "warpGridProc.h"

using Qx::Warper2D::WarpGridProc;

namespace {

bool parseSize(char const* text, int& out) {
  char* end = nullptr;
  long const v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < 1 || v > 65536) return false;
  out = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int width = 1920, height = 1080;
  if (argc == 3) {
    if (!parseSize(argv[1], width) || !parseSize(argv[2], height)) {
      std::fprintf(stderr, "warp2dDemo: width and height must be whole numbers from 1 to 65536, got '%s' '%s'\n",
                   argv[1], argv[2]);
      return 2;
    }
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: warp2dDemo [width height]\n");
    return 2;
  }

  GeRectangle<int> const frame(0, 0, width, height);
  GeRectangle<int> const mesh = WarpGridProc::computeCorrespondenceImageRegion(frame);
  int const step = WarpGridProc::coarsestGridStep(width, height);
  std::printf("frame %dx%d -> correspondence mesh [%d, %d) x [%d, %d), top-level cells of %d px (%d x %d cells)\n",
              width, height, mesh.x1(), mesh.x2(), mesh.y1(), mesh.y2(), step, (mesh.getWidth() - 1) / step,
              (mesh.getHeight() - 1) / step);
  return 0;
}
