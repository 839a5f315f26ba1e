// The demo picture and scene.
#include "demo.h"

#include <cmath>
#include <sstream>

namespace Qx::Warp2dApp {

IxTile makeDemoImage(int width, int height) {
  IxPixelFormat const format(IxPixelFormat::RGB, IxPixelFormat::UINT8);
  IxTile tile(format, GeRectangle<int>(0, 0, width, height));
  IxWriteGuard g(tile);
  double const cx = width / 2.0, cy = height / 2.0, cell = std::max(8, height / 15);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      bool const dark = (int(std::floor(x / cell)) + int(std::floor(y / cell))) % 2 != 0;
      double const ring = std::hypot(x - cx, y - cy) / (cell * 0.5);
      bool const onRing = ring < 9 && std::fmod(ring, 2.0) < 0.35;
      double const shade = onRing ? 0.1 : dark ? 0.55 : 1.0;
      CoRgbaColorTyped<float> const c(static_cast<float>(shade * (0.3 + 0.7 * x / width)),
                                      static_cast<float>(shade * (0.4 + 0.6 * y / height)),
                                      static_cast<float>(shade * (1.0 - 0.6 * x / width)), 1.0f);
      ixWriteColor(format, g.getPixelAddress(x, y), c);
    }
  return tile;
}

std::string makeDemoScene(int width, int height, std::string const& input, std::string const& output) {
  double const w = width, h = height, r = 0.2 * h, k = 0.5522847;
  auto circle = [&](double x, double y, double radius) {
    double const a = radius * k;
    std::ostringstream s;
    s << "{\"closed\": true, \"points\": ["
      << "{\"point\": [" << x + radius << ", " << y << "], \"in\": [0, " << -a << "], \"out\": [0, " << a << "]}, "
      << "{\"point\": [" << x << ", " << y + radius << "], \"in\": [" << a << ", 0], \"out\": [" << -a << ", 0]}, "
      << "{\"point\": [" << x - radius << ", " << y << "], \"in\": [0, " << a << "], \"out\": [0, " << -a << "]}, "
      << "{\"point\": [" << x << ", " << y - radius << "], \"in\": [" << -a << ", 0], \"out\": [" << a << ", 0]}"
      << "], \"links\": [0, 1, 2, 3]}";
    return s.str();
  };
  double const lineY = 0.82 * h;
  std::ostringstream s;
  s << "{\n  \"input\": \"" << input << "\",\n  \"output\": \"" << output << "\",\n"
    << "  \"parameters\": {\"Quality\": 1, \"Boundary\": \"Fixed\", \"Filter\": \"Mitchell\"},\n"
    << "  \"shapes\": [\n"
    << "    {\"name\": \"disc\",\n     \"source\": " << circle(0.5 * w, 0.5 * h, r) << ",\n"
    << "     \"destination\": " << circle(0.56 * w, 0.44 * h, 1.3 * r) << "},\n"
    << "    {\"name\": \"line\",\n"
    << "     \"source\": {\"closed\": false, \"points\": [[" << 0.2 * w << ", " << lineY << "], [" << 0.5 * w << ", "
    << lineY << "], [" << 0.8 * w << ", " << lineY << "]], \"links\": [0, 1, 2]},\n"
    << "     \"destination\": {\"closed\": false, \"points\": [[" << 0.2 * w << ", " << lineY << "], {\"point\": ["
    << 0.5 * w << ", " << lineY - 0.08 * h << "], \"in\": [" << -0.1 * w << ", 0], \"out\": [" << 0.1 * w
    << ", 0]}, [" << 0.8 * w << ", " << lineY << "]], \"links\": [0, 1, 2]}}\n"
    << "  ]\n}\n";
  return s.str();
}

}  // namespace Qx::Warp2dApp
