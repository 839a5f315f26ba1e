// The host's crop utility: the thirteen sockets through which a tool lets the
// user crop its output image, their policies, and the rule that turns their
// values into the output's region of definition.
//
// Sockets (integer inputs, declared by describe() in this order):
//   mode                      one of the Mode values below;
//   relative left, right, bottom, top
//                             amounts taken off the edges of the uncropped
//                             region (negative amounts add a margin);
//   absolute left, right, bottom, top
//                             the crop rectangle's edges, [left, right) x
//                             [bottom, top);
//   window centre X, centre Y, width, height
//                             a rectangle of that size centred there: it
//                             starts at centre - floor(size / 2).
// Every value is in pixels of the full-resolution image (one unit is one
// pixel column or row whatever the pixel aspect ratio); "bottom" is the edge
// of smallest y. The result is a region of definition in nominal
// coordinates (pxImageProtocol.h), so a crop stays put at every proxy level.
//
// Modes:
//   Relative  the uncropped region shrunk (or grown) by the four amounts;
//   Absolute  the absolute rectangle, wherever the image lies;
//   Window    the window rectangle;
//   Auto      no crop: the output's region is the uncropped region and its
//             pixels pass through unchanged (auto-crop).
// A rectangle whose right edge is not right of its left edge (or top above
// bottom) is empty: the output is then the empty image, not an error.
//
// Params reads the thirteen values from animated value nodes at a request's
// time and narrows the request's validity by theirs; it is immutable and may
// be used by any number of worker threads at once. Policies and descriptions
// belong to the user-interface thread.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "base/rcPtr.h"
#include "pluginAPI/piDescriptor.h"
#include "pluginAPI/piInputPolicy.h"
#include "pluginAPI/pxAnimValue.h"
#include "pluginAPI/pxImageProtocol.h"
#include "primitives/gePoint2.h"
#include "primitives/geRectangle.h"

// What the host allows a composition (and so a crop window) to be.
class PiCompositionGraphInterface {
 public:
  // The largest frame, in pixels, that a composition may have: 32768 x
  // 32768, the largest image the host's tiles address with room for margins.
  static GePoint2<int> getMaxCompositionSize();
};

class PiCropNodeUtil {
 public:
  enum Mode { kRelative = 0, kAbsolute = 1, kWindow = 2, kAuto = 3 };
  // The sockets, in the order describe() declares them and Params reads them.
  enum Socket {
    kMode,
    kRelativeLeft,
    kRelativeRight,
    kRelativeBottom,
    kRelativeTop,
    kAbsoluteLeft,
    kAbsoluteRight,
    kAbsoluteBottom,
    kAbsoluteTop,
    kWindowCenterX,
    kWindowCenterY,
    kWindowWidth,
    kWindowHeight,
    kSocketCount
  };
  using Values = std::array<int, kSocketCount>;
  using Policies = std::array<RCShdPtr<const PiInputPolicy>, kSocketCount>;

  static std::string getSocketName(Socket socket);
  static std::string getModeSocketName() { return getSocketName(kMode); }
  static std::string getRelativeCropLeftSocketName() { return getSocketName(kRelativeLeft); }
  static std::string getRelativeCropRightSocketName() { return getSocketName(kRelativeRight); }
  static std::string getRelativeCropBottomSocketName() { return getSocketName(kRelativeBottom); }
  static std::string getRelativeCropTopSocketName() { return getSocketName(kRelativeTop); }
  static std::string getAbsoluteCropLeftSocketName() { return getSocketName(kAbsoluteLeft); }
  static std::string getAbsoluteCropRightSocketName() { return getSocketName(kAbsoluteRight); }
  static std::string getAbsoluteCropBottomSocketName() { return getSocketName(kAbsoluteBottom); }
  static std::string getAbsoluteCropTopSocketName() { return getSocketName(kAbsoluteTop); }
  static std::string getWindowCropCenterXSocketName() { return getSocketName(kWindowCenterX); }
  static std::string getWindowCropCenterYSocketName() { return getSocketName(kWindowCenterY); }
  static std::string getWindowCropWidthSocketName() { return getSocketName(kWindowWidth); }
  static std::string getWindowCropHeightSocketName() { return getSocketName(kWindowHeight); }

  // The standard policies: the mode an enumeration whose default is Auto
  // when `autoCrop` is not 0, else `mode` (Relative, Absolute or Window);
  // edges and centres in [-100000, 100000], window sizes in [0, 100000], all
  // clamped, default 0. A tool may replace some before describing.
  static Policies getStandardPolicies(int autoCrop, int mode);
  // Declares the thirteen sockets with the standard policies, or with
  // `policies`.
  static void describe(PiToolPolicyDescriptor& descriptor, int autoCrop, int mode);
  static void describe(PiToolPolicyDescriptor& descriptor, Policies const& policies);

  // The crop region of `values` for an image whose uncropped region is `rod`
  // (nominal) and whose pixel aspect ratio is `pixelAspectRatio`; `rod`
  // itself for Auto, and for a mode value that is not a Mode.
  static GeRectangle<float> computeCropRegion(Values const& values, GeRectangle<float> const& rod,
                                              float pixelAspectRatio);

  // The crop of one processing node: thirteen integer value nodes in socket
  // order (CastException when one is not an integer value).
  class Params {
   public:
    explicit Params(std::vector<PxNodePtr<PxNode>> const& values);

    Values evaluate(double time, PxValidityInterval& validity) const;
    bool isAutoCrop(double time, PxValidityInterval& validity) const;
    // The output's region for an uncropped region `rod` in `format`.
    GeRectangle<float> computeImageROD(double time, GeRectangle<float> const& rod, PxImageFormat const& format,
                                       PxValidityInterval& validity) const;

   private:
    std::array<PxStrongHndl<PxAnimValueProtocol<int>>, kSocketCount> _values;
  };

  // An integer range policy for a socket whose range follows the
  // composition (window sizes, absolute edges); `kind` says which size or
  // edge it bounds, for the panel of the controller class C that uses it.
  template <class C>
  class CompositionSizePolicy final : public PiRangeInputPolicy<int> {
   public:
    static RCShdPtr<const CompositionSizePolicy> create(int kind, int min, int max, int defaultValue, bool clamp,
                                                        bool integral) {
      auto const checked = PiRangeInputPolicy<int>::create(min, max, defaultValue, clamp, integral);
      (void)checked;  // refuses bad bounds the way every range policy does
      return makeRC<CompositionSizePolicy>(kind, min, max, defaultValue, clamp, integral);
    }
    CompositionSizePolicy(int kind, int min, int max, int defaultValue, bool clamp, bool integral)
        : PiRangeInputPolicy<int>(min, max, defaultValue, clamp, integral), _kind(kind) {}
    int getKind() const { return _kind; }

   private:
    int _kind;
  };
};
