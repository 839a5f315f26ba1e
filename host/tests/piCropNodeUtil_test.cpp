// The crop utility: the region each mode gives, empty and extreme crops, the
// pixel aspect ratio, animated parameters and the sockets a tool declares.
#include <gtest/gtest.h>

#include "internalAPI/piCropNodeUtil.h"

namespace {

using U = PiCropNodeUtil;

U::Values values(int mode, std::initializer_list<std::pair<U::Socket, int>> set = {}) {
  U::Values v{};
  v[U::kMode] = mode;
  for (auto const& [s, x] : set) v[s] = x;
  return v;
}

GeRectangle<float> const kRod(0, 0, 100, 50);

TEST(PiCropNodeUtilTest, EachModeGivesItsRectangle) {
  struct Case {
    char const* what;
    U::Values v;
    float aspect;
    GeRectangle<float> expected;
  } const cases[] = {
      {"auto keeps the region", values(U::kAuto, {{U::kRelativeLeft, 10}}), 1, kRod},
      {"relative zero keeps the region", values(U::kRelative), 1, kRod},
      {"relative takes off each edge",
       values(U::kRelative,
              {{U::kRelativeLeft, 10}, {U::kRelativeRight, 20}, {U::kRelativeBottom, 5}, {U::kRelativeTop, 1}}),
       1, {10, 5, 80, 49}},
      {"negative relative amounts add a margin", values(U::kRelative, {{U::kRelativeLeft, -7}}), 1, {-7, 0, 100, 50}},
      {"absolute ignores the region",
       values(U::kAbsolute,
              {{U::kAbsoluteLeft, -3}, {U::kAbsoluteRight, 200}, {U::kAbsoluteBottom, 2}, {U::kAbsoluteTop, 9}}),
       1, {-3, 2, 200, 9}},
      {"absolute defaults are empty", values(U::kAbsolute), 1, {}},
      {"inverted absolute edges are empty",
       values(U::kAbsolute, {{U::kAbsoluteLeft, 9}, {U::kAbsoluteRight, 3}, {U::kAbsoluteTop, 9}}), 1, {}},
      {"odd window: extra pixel right and top",
       values(U::kWindow,
              {{U::kWindowCenterX, 50}, {U::kWindowCenterY, 20}, {U::kWindowWidth, 11}, {U::kWindowHeight, 4}}),
       1, {45, 18, 56, 22}},
      {"zero window is empty", values(U::kWindow, {{U::kWindowCenterX, 50}}), 1, {}},
      {"relative crop eats the whole image",
       values(U::kRelative, {{U::kRelativeLeft, 60}, {U::kRelativeRight, 60}}), 1, {}},
      {"pixel units are columns under a 2:1 aspect",
       values(U::kAbsolute, {{U::kAbsoluteRight, 10}, {U::kAbsoluteTop, 10}}), 2, {0, 0, 20, 10}},
      {"relative columns under a 2:1 aspect", values(U::kRelative, {{U::kRelativeLeft, 5}}), 2, {10, 0, 100, 50}},
      {"unknown mode keeps the region", values(17), 1, kRod},
  };
  for (Case const& c : cases) EXPECT_EQ(U::computeCropRegion(c.v, kRod, c.aspect), c.expected) << c.what;
  // An empty uncropped region stays empty under a relative crop, whatever
  // the amounts; extreme amounts never wrap around.
  EXPECT_TRUE(U::computeCropRegion(values(U::kRelative, {{U::kRelativeLeft, -100000}}), {}, 1).isEmpty());
  GeRectangle<float> const huge(-2.0e9f, -2.0e9f, 2.0e9f, 2.0e9f);
  EXPECT_FALSE(U::computeCropRegion(values(U::kRelative, {{U::kRelativeRight, -100000}}), huge, 1).isEmpty());
}

TEST(PiCropNodeUtilTest, ParamsReadAnimatedValuesAndNarrowValidity) {
  std::vector<PxNodePtr<PxNode>> nodes;
  for (int s = 0; s < U::kSocketCount; ++s) nodes.push_back(PxNodePtr<PxAnimValueNode<int>>::create(0));
  nodes[U::kMode] =
      PxNodePtr<PxAnimValueNode<int>>::create(std::vector<PxKeyframe<int>>{{0, U::kRelative}, {10, U::kAuto}});
  nodes[U::kRelativeLeft] = PxNodePtr<PxAnimValueNode<int>>::create(25);
  U::Params const params(nodes);

  PxValidityInterval validity = PxValidityInterval::FULL;
  EXPECT_EQ(params.computeImageROD(5, kRod, PxImageFormat(), validity), GeRectangle<float>(25, 0, 100, 50));
  EXPECT_EQ(validity.start, 0);
  EXPECT_LT(validity.end, 10);
  EXPECT_GT(validity.end, 9.99);
  EXPECT_FALSE(params.isAutoCrop(5, validity));
  PxValidityInterval later = PxValidityInterval::FULL;
  EXPECT_TRUE(params.isAutoCrop(12, later));
  EXPECT_EQ(params.computeImageROD(12, kRod, PxImageFormat(), later), kRod);

  nodes[U::kWindowWidth] = PxNodePtr<PxAnimValueNode<double>>::create(1.0);
  EXPECT_THROW(U::Params{nodes}, CastException);
}

TEST(PiCropNodeUtilTest, DescribeDeclaresThirteenClampedSockets) {
  PiToolPolicyDescriptor d;
  U::describe(d, 1, U::kWindow);
  ASSERT_EQ(d.getInputs().size(), std::size_t(U::kSocketCount));
  EXPECT_EQ(d.getInputs()[0].getName(), U::getModeSocketName());
  EXPECT_EQ(d.getInputs()[12].getName(), U::getWindowCropHeightSocketName());
  EXPECT_EQ(d.getInputs()[0].getDefaultValue().getInt(), U::kAuto);
  U::Policies p = U::getStandardPolicies(0, U::kWindow);
  EXPECT_EQ(p[U::kMode]->getDefaultValue().getInt(), U::kWindow);
  EXPECT_EQ(p[U::kWindowWidth]->validate(PiValueData(-4), "w").getInt(), 0);
  EXPECT_EQ(p[U::kAbsoluteTop]->validate(PiValueData(200000), "t").getInt(), 100000);

  p[U::kWindowWidth] = U::CompositionSizePolicy<int>::create(0, 0, 640, 0, true, false);
  PiToolPolicyDescriptor custom;
  U::describe(custom, p);
  auto const& width = *custom.findInput(U::getWindowCropWidthSocketName());
  EXPECT_EQ(width.getPolicy()->validate(PiValueData(900), "w").getInt(), 640);
  EXPECT_THROW(U::CompositionSizePolicy<int>::create(1, 5, 0, 0, true, false), std::invalid_argument);
}

}  // namespace
