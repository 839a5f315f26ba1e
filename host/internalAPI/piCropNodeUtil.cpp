// The crop utility: socket names and policies, and the crop rule in pixels of
// the full-resolution image, converted to nominal coordinates at the edge.
#include "internalAPI/piCropNodeUtil.h"

#include <algorithm>
#include <limits>

#include "base/assertions.h"

namespace {

constexpr int kEdgeLimit = 100000;

char const* const kSocketNames[PiCropNodeUtil::kSocketCount] = {
    "Crop Mode",
    "Relative Crop Left",
    "Relative Crop Right",
    "Relative Crop Bottom",
    "Relative Crop Top",
    "Absolute Crop Left",
    "Absolute Crop Right",
    "Absolute Crop Bottom",
    "Absolute Crop Top",
    "Window Crop Center X",
    "Window Crop Center Y",
    "Window Crop Width",
    "Window Crop Height",
};

GeRectangle<float> pixelsToNominal(long x1, long y1, long x2, long y2, float aspect) {
  if (x2 <= x1 || y2 <= y1) return GeRectangle<float>();
  auto const clamped = [](long v) {
    return static_cast<int>(std::clamp<long>(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
  };
  return PxImageProtocol::pixelizedToNominal(GeRectangle<int>(clamped(x1), clamped(y1), clamped(x2), clamped(y2)),
                                             aspect, 1.0);
}

}  // namespace

GePoint2<int> PiCompositionGraphInterface::getMaxCompositionSize() { return GePoint2<int>(32768, 32768); }

std::string PiCropNodeUtil::getSocketName(Socket socket) {
  QX_ASSERT(socket >= 0 && socket < kSocketCount);
  return kSocketNames[socket];
}

PiCropNodeUtil::Policies PiCropNodeUtil::getStandardPolicies(int autoCrop, int mode) {
  Policies p;
  p[kMode] = PiEnumPolicy::Builder()
                 .addPair(kRelative, "Relative")
                 .addPair(kAbsolute, "Absolute")
                 .addPair(kWindow, "Window")
                 .addPair(kAuto, "Auto")
                 .setDefaultValue(autoCrop != 0 ? kAuto : mode)
                 .build();
  RCShdPtr<const PiInputPolicy> const edge = PiRangeInputPolicy<int>::create(-kEdgeLimit, kEdgeLimit, 0, true, false);
  RCShdPtr<const PiInputPolicy> const size = PiRangeInputPolicy<int>::create(0, kEdgeLimit, 0, true, false);
  for (int s = kRelativeLeft; s < kSocketCount; ++s) p[s] = edge;
  p[kWindowWidth] = p[kWindowHeight] = size;
  return p;
}

void PiCropNodeUtil::describe(PiToolPolicyDescriptor& descriptor, int autoCrop, int mode) {
  describe(descriptor, getStandardPolicies(autoCrop, mode));
}

void PiCropNodeUtil::describe(PiToolPolicyDescriptor& descriptor, Policies const& policies) {
  for (int s = 0; s < kSocketCount; ++s)
    descriptor.require(getSocketName(static_cast<Socket>(s)), PI_INT, policies[s]);
}

GeRectangle<float> PiCropNodeUtil::computeCropRegion(Values const& v, GeRectangle<float> const& rod,
                                                     float pixelAspectRatio) {
  float const aspect = pixelAspectRatio > 0.0f ? pixelAspectRatio : 1.0f;
  // Wide arithmetic: edges of +-100000 and a rectangle near the int range
  // must not overflow on their way to an empty result.
  switch (v[kMode]) {
    case kRelative: {
      if (rod.isEmpty()) return GeRectangle<float>();
      GeRectangle<int> const px = PxImageProtocol::nominalToPixelized(rod, aspect, 1.0);
      return pixelsToNominal(long(px.x1()) + v[kRelativeLeft], long(px.y1()) + v[kRelativeBottom],
                             long(px.x2()) - v[kRelativeRight], long(px.y2()) - v[kRelativeTop], aspect);
    }
    case kAbsolute:
      return pixelsToNominal(v[kAbsoluteLeft], v[kAbsoluteBottom], v[kAbsoluteRight], v[kAbsoluteTop], aspect);
    case kWindow: {
      // floor(size / 2) before the centre: an odd window has its extra
      // pixel on the right and top, the same at every centre.
      long const x1 = long(v[kWindowCenterX]) - v[kWindowWidth] / 2;
      long const y1 = long(v[kWindowCenterY]) - v[kWindowHeight] / 2;
      return pixelsToNominal(x1, y1, x1 + v[kWindowWidth], y1 + v[kWindowHeight], aspect);
    }
    default:
      return rod;
  }
}

PiCropNodeUtil::Params::Params(std::vector<PxNodePtr<PxNode>> const& values) {
  QX_ASSERT(values.size() == kSocketCount);
  for (int s = 0; s < kSocketCount; ++s) _values[s] = values[s];
}

PiCropNodeUtil::Values PiCropNodeUtil::Params::evaluate(double time, PxValidityInterval& validity) const {
  Values v{};
  for (int s = 0; s < kSocketCount; ++s) v[s] = _values[s]->getValue(time, validity);
  return v;
}

bool PiCropNodeUtil::Params::isAutoCrop(double time, PxValidityInterval& validity) const {
  return _values[kMode]->getValue(time, validity) == kAuto;
}

GeRectangle<float> PiCropNodeUtil::Params::computeImageROD(double time, GeRectangle<float> const& rod,
                                                           PxImageFormat const& format,
                                                           PxValidityInterval& validity) const {
  return computeCropRegion(evaluate(time, validity), rod, format.getPixelAspectRatio());
}
