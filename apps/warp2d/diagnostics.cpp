// ST-maps, fold maps and overlays from a frame's sample positions.
#include "diagnostics.h"

#include <algorithm>
#include <cmath>

namespace Qx::Warp2dApp {

namespace {

struct VectorReader {
  IxReadGuard guard;
  GeRectangle<int> region;
  explicit VectorReader(IxTile const& t) : guard(t), region(t.getPixelRegion()) {}
  // The sample position of (x, y), clamped to the region.
  std::pair<float, float> at(int x, int y) const {
    x = std::clamp(x, region.x1(), region.x2() - 1);
    y = std::clamp(y, region.y1(), region.y2() - 1);
    float const* p = reinterpret_cast<float const*>(guard.getPixelAddress(x, y));
    return {p[0], p[1]};
  }
};

}  // namespace

StMap makeStMap(IxTile const& vectors, GeRectangle<int> const& frame) {
  VectorReader const v(vectors);
  StMap m{v.region, {}};
  m.st.reserve(2u * v.region.getWidth() * v.region.getHeight());
  double const w = std::max(1, frame.getWidth()), h = std::max(1, frame.getHeight());
  for (int y = v.region.y1(); y < v.region.y2(); ++y)
    for (int x = v.region.x1(); x < v.region.x2(); ++x) {
      auto const [u, t] = v.at(x, y);
      m.st.push_back(static_cast<float>((u - frame.x1() + 0.5) / w));
      m.st.push_back(static_cast<float>(1.0 - (t - frame.y1() + 0.5) / h));
    }
  return m;
}

FoldMap makeFoldMap(IxTile const& vectors) {
  VectorReader const v(vectors);
  FoldMap m{v.region, {}, 0};
  m.mask.reserve(static_cast<std::size_t>(v.region.getWidth()) * v.region.getHeight());
  for (int y = v.region.y1(); y < v.region.y2(); ++y)
    for (int x = v.region.x1(); x < v.region.x2(); ++x) {
      auto const [ax, ay] = v.at(x - 1, y);
      auto const [bx, by] = v.at(x + 1, y);
      auto const [cx, cy] = v.at(x, y - 1);
      auto const [dx, dy] = v.at(x, y + 1);
      double const det = double(bx - ax) * double(dy - cy) - double(dx - cx) * double(by - ay);
      bool const fold = !(det > 0.0);
      m.mask.push_back(fold ? 1.0f : 0.0f);
      m.folded += fold;
    }
  return m;
}

IxTile makeOverlay(IxTile const& output, IxTile const& vectors, std::vector<SceneShape> const& shapes, double scale,
                   double gridSpacing) {
  GeRectangle<int> const r = output.getPixelRegion();
  IxPixelFormat const rgb8(IxPixelFormat::RGB, IxPixelFormat::UINT8);
  IxTile out(rgb8, r, CoRgbaColorTyped<float>::ZERO, output.getPixelAspectRatio());
  if (r.isEmpty()) return out;
  IxWriteGuard dst(out);
  {
    IxReadGuard src(output);
    VectorReader const v(vectors);
    bool const haveVectors = vectors.isValid() && !v.region.isEmpty();
    double const g = std::max(2.0, gridSpacing);
    auto cell = [&](int x, int y) {
      auto const [u, t] = v.at(x, y);
      return std::pair<long, long>(std::lround(std::floor(u / g)), std::lround(std::floor(t / g)));
    };
    for (int y = r.y1(); y < r.y2(); ++y)
      for (int x = r.x1(); x < r.x2(); ++x) {
        CoRgbaColorTyped<float> c = ixReadColor(output.getPixelFormat(), src.getPixelAddress(x, y));
        bool line = false;
        if (haveVectors) {
          auto const here = cell(x, y);
          line = here != cell(x + 1, y) || here != cell(x, y + 1);
        }
        // The picture is dimmed so that the lines read on any content.
        CoRgbaColorTyped<float> const shown =
            line ? CoRgbaColorTyped<float>(1.0f, 0.25f, 0.25f, 1.0f)
                 : CoRgbaColorTyped<float>(0.75f * c.r, 0.75f * c.g, 0.75f * c.b, 1.0f);
        ixWriteColor(rgb8, dst.getPixelAddress(x, y), shown);
      }
  }
  auto plot = [&](double x, double y, CoRgbaColorTyped<float> const& c) {
    int const px = static_cast<int>(std::floor(x + 0.5)), py = static_cast<int>(std::floor(y + 0.5));
    for (int dy = 0; dy <= 1; ++dy)
      for (int dx = 0; dx <= 1; ++dx)
        if (r.contains(px + dx, py + dy)) ixWriteColor(rgb8, dst.getPixelAddress(px + dx, py + dy), c);
  };
  for (SceneShape const& s : shapes) {
    std::pair<SceneCurve const*, CoRgbaColorTyped<float>> const curves[] = {
        {&s.source, {0.2f, 0.9f, 1.0f, 1.0f}}, {&s.destination, {1.0f, 0.9f, 0.1f, 1.0f}}};
    for (auto const& [curve, colour] : curves) {
      GeBezierCurve const b = curve->toBezier();
      int const n = b.getSegmentCount();
      // A segment is no longer than its control polygon, so this many steps
      // put neighbouring samples within a pixel of each other.
      double length = 0;
      for (std::size_t i = 0; i + 1 < curve->points.size() + (curve->closed ? 1 : 0); ++i) {
        SceneCurve::Point const& a = curve->points[i];
        SceneCurve::Point const& c = curve->points[(i + 1) % curve->points.size()];
        length += std::hypot(a.out.x() - a.point.x(), a.out.y() - a.point.y()) +
                  std::hypot(c.in.x() - a.out.x(), c.in.y() - a.out.y()) + std::hypot(c.point.x() - c.in.x(), c.point.y() - c.in.y());
      }
      int const steps = std::clamp(static_cast<int>(2 * length * scale), 16, 1 << 20);
      for (int i = 0; i <= steps; ++i) {
        GePoint2<float> const p = b.evaluate(double(n) * i / steps);
        plot(p.x() * scale, p.y() * scale, colour);
      }
    }
  }
  return out;
}

IxTile vectorsFromWarpedPositions(IxTile const& warped, double scale) {
  GeRectangle<int> const r = warped.getPixelRegion();
  IxTile v(IxPixelFormat(IxPixelFormat::RGB, IxPixelFormat::FLOAT32), r);
  IxReadGuard in(warped);
  IxWriteGuard out(v);
  for (int y = r.y1(); y < r.y2(); ++y)
    for (int x = r.x1(); x < r.x2(); ++x) {
      CoRgbaColorTyped<float> const c = ixReadColor(warped.getPixelFormat(), in.getPixelAddress(x, y));
      float const a = c.a > 1e-6f ? c.a : 1.0f;
      float* p = reinterpret_cast<float*>(out.getPixelAddress(x, y));
      p[0] = static_cast<float>(c.r / a * scale), p[1] = static_cast<float>(c.g / a * scale), p[2] = 0.0f;
    }
  return v;
}

}  // namespace Qx::Warp2dApp
