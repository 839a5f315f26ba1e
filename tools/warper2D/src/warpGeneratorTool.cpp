// The warp generator node (shapes in, solved correspondence mesh out) and the
// shape image codec it shares with the shape renderer; the generator tool
// and its controller.
#include "warpGeneratorTool.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>

#include "base/assertions.h"
#include "pluginAPI/piInputPolicy.h"
#include "pluginAPI/piProcNodeHook.h"
#include "pluginAPI/pxAnimValue.h"
#include "pluginAPI/pxRequestMgr.h"
#include "primitives/geAffineMatrix2.h"
#include "primitives/ixPixelFormat.h"
#include "shapeObject.h"
#include "storage/stImageCacheNode.h"
#include "warpGridProc.h"
#include "warper2DSuperTool.h"

namespace Qx::Warper2D {

namespace {

// Header fields of a shape image, in row 0.
enum HeaderField { kWidth = 0, kHeight = 1, kNbPoints = 2, kClosure = 3, kNbLinks = 4, kHeaderSize = 5 };

// Counts and sizes in a shape image beyond this are malformed: a curve of a
// hundred million points is no shape anyone drew.
constexpr float kMaxCount = 1.0e8f;

// A header value as a count, or -1 when it is none (negative, not a number,
// absurdly large). The stored floats are truncated, as they were written.
int headerCount(float v) { return v >= 0.0f && v <= kMaxCount ? static_cast<int>(v) : -1; }

GeAffineMatrix2<float> levelScale(int proxyLevel) {
  float const s = std::ldexp(1.0f, -proxyLevel);
  return GeAffineMatrix2<float>::scaling(s, s);
}

// Rows needed for `count` items at `perRow` a row.
long long rowsFor(long long count, long long perRow) { return count == 0 ? 0 : (count + perRow - 1) / perRow; }

}  // namespace

GeRectangle<int> ShapeImage::computeRegion(int nbCtrlPoints, int nbLinks) {
  long long const n = std::max(1LL, 6LL * std::max(nbCtrlPoints, 0) + std::max(nbLinks, 0));
  int root = static_cast<int>(std::sqrt(static_cast<double>(n)));
  while (static_cast<long long>(root) * root > n) --root;  // floor of the root, whatever the rounding
  while (static_cast<long long>(root + 1) * (root + 1) <= n) ++root;
  int const w = root < 6 ? 6 : (root & ~1);
  int const h = static_cast<int>((n + w - 1) / w) + 2;
  return GeRectangle<int>(0, 0, w, h);
}

IxTile ShapeImage::encode(GeBezierCurve const& curve, Vector<float> const& links, float pixelAspectRatio) {
  int const nbPoints = curve.getNumCtrlPoints();
  int const nbLinks = static_cast<int>(links.size());
  GeRectangle<int> const region = computeRegion(nbPoints, nbLinks);
  IxTile const tile(IxPixelFormat(IxPixelFormat::ALPHA, IxPixelFormat::FLOAT32), region,
                    CoRgbaColorTyped<float>::ZERO, pixelAspectRatio);
  IxWriteGuard const g(tile);
  int const w = region.getWidth();
  auto put = [&](int x, int y, float v) { std::memcpy(g.getPixelAddress(x, y), &v, sizeof v); };

  float const header[kHeaderSize] = {float(w), float(region.getHeight()), float(nbPoints),
                                     float(curve.getClosure()), float(nbLinks)};
  for (int i = 0; i < kHeaderSize; ++i) put(i, 0, header[i]);

  Vector<GePoint2<float>> points;
  curve.getCtrlPoints(points);
  int const perRow = w / 2;
  int row = 1;
  for (int i = 0; i < static_cast<int>(points.size()); ++i) {
    row = 1 + i / perRow;
    put(2 * (i % perRow), row, points[i].x());
    put(2 * (i % perRow) + 1, row, points[i].y());
  }
  int const linkRow = points.empty() ? 1 : row + 1;
  for (int i = 0; i < nbLinks; ++i) put(i % w, linkRow + i / w, links[i]);
  return tile;
}

void ShapeImage::decode(IxTile const& image, int proxyLevel, GeBezierCurve& curve, Vector<float>& links) {
  curve = GeBezierCurve();
  links.clear();
  if (!image.isValid() || image.getPixelRegion().isEmpty()) return;

  GeRectangle<int> const srcCurveBbox = image.getPixelRegion();
  QX_ASSERT(srcCurveBbox.x1() == 0);
  QX_ASSERT(srcCurveBbox.y1() == 0);
  IxReadGuard const g(image);
  IxPixelFormat const format = image.getPixelFormat();
  // The first channel of pixel (x, y); header fields beyond a too narrow
  // image read as 0, which makes the header malformed.
  auto at = [&](int x, int y) { return srcCurveBbox.contains(x, y) ? format.readComp(g.getPixelAddress(x, y)) : 0.0f; };

  int const width = headerCount(at(kWidth, 0));
  int const height = headerCount(at(kHeight, 0));
  int const nbPoints = headerCount(at(kNbPoints, 0));
  int const nbLinks = headerCount(at(kNbLinks, 0));
  if (width < 0 || height < 0 || nbPoints < 0 || nbLinks < 0) return;
  QX_ASSERT(srcCurveBbox.getWidth() >= width);
  QX_ASSERT(srcCurveBbox.getHeight() >= height);

  int const perRow = width / 2;
  long long const nbFloats = 3LL * nbPoints;
  if ((nbPoints > 0 && perRow == 0) || (nbLinks > 0 && width == 0)) return;
  long long const pointRows = rowsFor(nbFloats, std::max(perRow, 1));
  if (1 + pointRows + rowsFor(nbLinks, std::max(width, 1)) > height) return;

  Vector<GePoint2<float>> points(static_cast<std::size_t>(nbFloats));
  for (int i = 0; i < nbFloats; ++i) {
    int const row = 1 + i / perRow, col = 2 * (i % perRow);
    points[i] = GePoint2<float>(at(col, row), at(col + 1, row));
  }
  int const linkRow = 1 + static_cast<int>(pointRows);
  links.resize(static_cast<std::size_t>(nbLinks));
  for (int i = 0; i < nbLinks; ++i) links[i] = at(i % width, linkRow + i / width);

  float const closure = at(kClosure, 0);
  GeBezierCurve const full(points, std::isfinite(closure) ? static_cast<int>(closure) : GeBezierCurve::OPEN);
  curve = proxyLevel == 0 ? full : GeBezierCurve(full, levelScale(proxyLevel));
}

namespace {

template <class T>
using ValueHndl = PxStrongHndl<PxAnimValueProtocol<T>>;

struct ShapeHandles {
  PxStrongHndl<PxImageProtocol> sourceShape;
  PxStrongHndl<PxImageProtocol> destinationShape;
  ValueHndl<bool> fence;
  ValueHndl<int> smoothing;
  ValueHndl<double> interpolation;
};

// One shape as a request sees it: curves at full resolution, links paired.
struct ShapeRecord {
  std::shared_ptr<GeBezierCurve const> source;
  std::shared_ptr<GeBezierCurve const> destination;  // the source itself for a fence
  bool fence = false;
  Vector<float> sourceLinks;
  Vector<float> destinationLinks;
};

bool allFinite(GeBezierCurve const& curve, Vector<GePoint2<float>>& scratch) {
  curve.getCtrlPoints(scratch);
  return std::all_of(scratch.begin(), scratch.end(),
                     [](GePoint2<float> const& p) { return std::isfinite(p.x()) && std::isfinite(p.y()); });
}

// The render quality as the solve uses it: the tool's range 1 to 10; a value
// that is not a number counts as the lowest.
double usableQuality(double quality) { return std::isnan(quality) ? 1.0 : std::clamp(quality, 1.0, 10.0); }

// A smoothing value outside the enumeration counts as the default,
// "Bidirectional".
WarpGridProc::Smoothing usableSmoothing(int value) {
  return value >= WarpGridProc::Bidirectional && value <= WarpGridProc::None ? WarpGridProc::Smoothing(value)
                                                                             : WarpGridProc::Bidirectional;
}

constexpr int kFixedBoundary = 0;
constexpr int kSkewSmoothing = 0;

template <bool kDestinationImage>
class WarpGeneratorNode final : public PxImageNode {
 public:
  WarpGeneratorNode(PxNodeInit const& init, WarpGeneratorInputs const& inputs)
      : PxImageNode(init, inputs.primary.cast<PxImageProtocol>()),
        _renderQuality(inputs.renderQuality),
        _renderSmoothing(inputs.renderSmoothing),
        _renderBoundary(inputs.renderBoundary) {
    _shapes.reserve(inputs.shapes.size());
    for (WarpGeneratorShapeInputs const& s : inputs.shapes)
      _shapes.push_back({s.sourceShape, s.destinationShape, s.fence, s.smoothing, s.interpolation});
  }

  // The solve couples every mesh pixel with every other: a request is
  // answered with the whole mesh, computed once per frame by a cache.
  bool producesFullFrames() const override { return true; }
  PxImageFormat computeImageFormat() const override {
    PxImageFormat f = getDefaultImageFormat();
    f.setComps(IxPixelFormat::RGB);
    f.setDepth(IxPixelFormat::FLOAT32);
    return f;
  }
  IxPixelFormat::Comps computeImageFormatComps() const override { return IxPixelFormat::RGB; }

  PxRODResult computeROD(PxImageContext const& context) const override {
    PxValidityInterval validity = PxValidityInterval::FULL;
    PxRODResult const input = getPrimaryInput()->computeROD(context);
    validity = reduceVI(validity, input.validity);
    float const aspect = getImageFormat().getPixelAspectRatio();
    GeRectangle<int> const inputRegion = nominalToPixelized(input.rod, aspect, 1.0);
    if (inputRegion.isEmpty()) return {input.rod, validity};
    Vector<ShapeRecord> const shapes = collectShapes(context, validity);
    return {pixelizedToNominal(fullResolutionRegion(inputRegion, shapes), aspect, 1.0), validity};
  }

  PxImageResult computeImage(PxImageContext const& context) const override {
    PxValidityInterval validity = PxValidityInterval::FULL;
    float const aspect = getImageFormat().getPixelAspectRatio();
    double const scale = context.getScale();
    PxRODResult const input = getPrimaryInput()->computeROD(context);
    validity = reduceVI(validity, input.validity);
    GeRectangle<int> const inputRegion = nominalToPixelized(input.rod, aspect, scale);
    if (inputRegion.isEmpty()) return {allocateEmptyImageBuffer(context, CoRgbaColorTyped<float>::ZERO), validity};

    // The shapes are read once at full resolution: they give the region of
    // definition, and scaled to the request's level, the constraints.
    Vector<ShapeRecord> shapes = collectShapes(context, validity);
    GeRectangle<int> const fullRegion = fullResolutionRegion(nominalToPixelized(input.rod, aspect, 1.0), shapes);
    GeRectangle<int> const dstRegion = nominalToPixelized(pixelizedToNominal(fullRegion, aspect, 1.0), aspect, scale);
    if (context.getProxyLevel() > 0) scaleShapes(shapes, context.getProxyLevel());

    GeRectangle<int> const correspondenceRegion = WarpGridProc::computeCorrespondenceImageRegion(dstRegion);
    QX_ASSERT((correspondenceRegion & dstRegion) == dstRegion);
    IxTile const mesh = allocateImageBuffer(correspondenceRegion);
    {
      IxWriteGuard guard(mesh);
      if (applyCurves(guard, inputRegion, shapes, context.getTime(), validity))
        solve(guard, correspondenceRegion, context.getTime(), validity);
      else
        writeIdentity(guard);
    }
    if (correspondenceRegion == dstRegion) return {mesh, validity};

    IxTile const out = allocateImageBuffer(dstRegion, PxBufferContents::Undefined);
    IxReadGuard const from(mesh);
    IxWriteGuard const to(out);
    std::size_t const rowBytes = static_cast<std::size_t>(dstRegion.getWidth()) * sizeof(MeshPixel);
    for (int y = dstRegion.y1(); y < dstRegion.y2(); ++y)
      std::memcpy(to.getPixelAddress(dstRegion.x1(), y), from.getPixelAddress(dstRegion.x1(), y), rowBytes);
    return {out, validity};
  }

 private:
  // A shape image at full resolution, requested from the origin of its
  // region whatever the level being served.
  static IxTile readShapeImage(PxImageProtocol const& node, PxImageContext const& context,
                               PxValidityInterval& validity) {
    PxImageContext const full(context.getTime(), context.getStream(), 0, GeRectangle<int>());
    GeRectangle<int> const region = node.computePixelROD(full, validity);
    if (region.isEmpty()) return {};
    PxImageResult r = node.computeImage(full.withRegion(region));
    validity = reduceVI(validity, r.validity);
    return std::move(r.tile);
  }

  Vector<ShapeRecord> collectShapes(PxImageContext const& context, PxValidityInterval& validity) const {
    double const time = context.getTime();
    Vector<ShapeRecord> records(_shapes.size());
    Vector<float> rawSource, rawDestination;
    for (std::size_t k = 0; k < _shapes.size(); ++k) {
      ShapeHandles const& in = _shapes[k];
      ShapeRecord& r = records[k];
      auto source = std::make_shared<GeBezierCurve>();
      ShapeImage::decode(readShapeImage(*in.sourceShape, context, validity), 0, *source, rawSource);
      r.source = source;
      r.fence = in.fence->getValue(time, validity);
      if (r.fence) {
        r.destination = r.source;
        continue;
      }
      auto destination = std::make_shared<GeBezierCurve>();
      ShapeImage::decode(readShapeImage(*in.destinationShape, context, validity), 0, *destination, rawDestination);
      r.destination = destination;
      ShapeObject::sortAndNormalizeLinks(source->getClosure() == GeBezierCurve::CLOSED, source->getNumCtrlPoints(),
                                         rawSource, destination->getNumCtrlPoints(), rawDestination, r.sourceLinks,
                                         r.destinationLinks);
    }
    return records;
  }

  static void scaleShapes(Vector<ShapeRecord>& shapes, int proxyLevel) {
    GeAffineMatrix2<float> const m = levelScale(proxyLevel);
    for (ShapeRecord& r : shapes) {
      r.source = std::make_shared<GeBezierCurve const>(*r.source, m);
      r.destination = r.fence ? r.source : std::make_shared<GeBezierCurve const>(*r.destination, m);
    }
  }

  // The region of definition in full-resolution pixels: the input region
  // widened by every point and tangent handle of the shapes, enlarged to the
  // solver's lattice. Shapes with a coordinate that is not finite are
  // skipped, as the rasteriser skips them. How far a shape may widen it is
  // bounded by one input size (at least 256 pixels) on each side: a tangent
  // handle dragged far off the frame still shapes the warp near the frame
  // (the rasteriser draws only what lies inside the mesh), but must not make
  // every request allocate and solve an enormous mesh.
  static GeRectangle<int> fullResolutionRegion(GeRectangle<int> const& input, Vector<ShapeRecord> const& shapes) {
    float const reachX = static_cast<float>(std::max(input.getWidth(), 256));
    float const reachY = static_cast<float>(std::max(input.getHeight(), 256));
    float const loX = input.x1() - reachX, hiX = input.x2() - 1 + reachX;
    float const loY = input.y1() - reachY, hiY = input.y2() - 1 + reachY;
    float minX = float(input.x1()), maxX = float(input.x2() - 1);
    float minY = float(input.y1()), maxY = float(input.y2() - 1);
    Vector<GePoint2<float>> points;
    auto widen = [&](GeBezierCurve const& curve) {
      curve.getCtrlPoints(points);
      for (GePoint2<float> const& p : points) {
        minX = std::min(minX, std::max(p.x(), loX));
        maxX = std::max(maxX, std::min(p.x(), hiX));
        minY = std::min(minY, std::max(p.y(), loY));
        maxY = std::max(maxY, std::min(p.y(), hiY));
      }
    };
    Vector<GePoint2<float>> check;
    for (ShapeRecord const& r : shapes) {
      if (!allFinite(*r.source, check) || (!r.fence && !allFinite(*r.destination, check))) continue;
      widen(*r.source);
      if (!r.fence) widen(*r.destination);
    }
    GeRectangle<int> const region(static_cast<int>(std::floor(minX)), static_cast<int>(std::floor(minY)),
                                  static_cast<int>(std::ceil(maxX)) + 1, static_cast<int>(std::ceil(maxY)) + 1);
    return WarpGridProc::computeCorrespondenceImageRegion(region);
  }

  // Rasterises the border (under "Fixed") and every usable shape into the
  // mesh; returns whether a shape was applied.
  bool applyCurves(IxWriteGuard& mesh, GeRectangle<int> const& input, Vector<ShapeRecord> const& shapes, double time,
                   PxValidityInterval& validity) const {
    // The mesh is a new tile: every pixel is already (0, 0, 0).
    Vector<float> const noLinks;
    if (_renderBoundary->getValue(time, validity) == kFixedBoundary) {
      // The four corner pixels of the input frame, joined all round: every
      // edge of the frame is pinned, so the image's border stays in place.
      GeBezierCurve border;
      border.addPoint(GePoint2<float>(float(input.x1()), float(input.y1())), GeBezierCurve::CORNER);
      border.addPoint(GePoint2<float>(float(input.x2() - 1), float(input.y1())), GeBezierCurve::CORNER);
      border.addPoint(GePoint2<float>(float(input.x2() - 1), float(input.y2() - 1)), GeBezierCurve::CORNER);
      border.addPoint(GePoint2<float>(float(input.x1()), float(input.y2() - 1)), GeBezierCurve::CORNER);
      border.setClosure(GeBezierCurve::CLOSED);
      WarpGridProc::applyCurveToCorrespondence(border, noLinks, border, noLinks, 1.0, WarpGridProc::None, mesh);
    }
    bool noneApplied = true;
    for (std::size_t k = 0; k < shapes.size(); ++k) {
      ShapeRecord const& r = shapes[k];
      if (r.source->getNumCtrlPoints() < 1 || r.destination->getNumCtrlPoints() < 1) continue;
      ShapeHandles const& in = _shapes[k];
      WarpGridProc::Smoothing const smoothing = usableSmoothing(in.smoothing->getValue(time, validity));
      double interpolation = 1.0;
      if (!kDestinationImage && !r.fence) interpolation = in.interpolation->getValue(time, validity);
      WarpGridProc::applyCurveToCorrespondence(*r.source, r.sourceLinks, *r.destination, r.destinationLinks,
                                               interpolation, smoothing, mesh);
      noneApplied = false;
    }
    return !noneApplied;
  }

  void solve(IxWriteGuard& mesh, GeRectangle<int> const& correspondenceRegion, double time,
             PxValidityInterval& validity) const {
    bool const affine = _renderSmoothing->getValue(time, validity) == kSkewSmoothing;
    double const quality = usableQuality(_renderQuality->getValue(time, validity));
    WarpGridProc::SolveArguments const args = WarpGridProc::computeSolveArguments(quality, correspondenceRegion);
    int cycleWork = args.cycleWork;
    WarpGridProc::createSmoothGrid(mesh, 0.0, affine, args.minStep, args.passWork, 1, &cycleWork, 1e-10, 1e-20,
                                   args.refineThreshold, nullptr);
  }

  static void writeIdentity(IxWriteGuard& mesh) {
    GeRectangle<int> const r = mesh.getPixelRegion();
    for (int y = r.y1(); y < r.y2(); ++y) {
      std::byte* p = mesh.getPixelAddress(r.x1(), y);
      for (int x = r.x1(); x < r.x2(); ++x, p += sizeof(MeshPixel)) writeMeshPixel(p, {float(x), float(y), 0u});
      PxRequestMgr::getInstance().checkInterruption();
    }
  }

  Vector<ShapeHandles> _shapes;
  ValueHndl<double> _renderQuality;
  ValueHndl<int> _renderSmoothing;
  ValueHndl<int> _renderBoundary;
};

}  // namespace

PxNodePtr<PxImageProtocol> createWarpGeneratorNode(bool destinationImage, WarpGeneratorInputs const& inputs,
                                                   PxNodeInit const& init) {
  if (destinationImage) return PxNodePtr<WarpGeneratorNode<true>>::create(init, inputs);
  return PxNodePtr<WarpGeneratorNode<false>>::create(init, inputs);
}

}  // namespace Qx::Warper2D

// --- tool and controller ------------------------------------------------------------

namespace Qx::Warper2D {

namespace {

struct GeneratorPolicies {
  RCShdPtr<const PiInputPolicy> renderQuality, renderSmoothing, shapeSmoothing, renderBoundary, shapeImage;
};
GeneratorPolicies& generatorPolicies() {
  static GeneratorPolicies p;
  return p;
}

}  // namespace

char const* WarpGeneratorTool::getName() { return "Warp 2D Generator Tool"; }

void WarpGeneratorTool::initialize() {
  WarpGeneratorController::initialize();
  auto protocol = PiMorvaneToolProtocol::create<WarpGeneratorController>(
      getName(), "Generates a smooth warp from a constraint image");
  // Internal: a generator alone needs shape renderer nodes wired to its
  // entries, which only the super tool makes, so the user is not offered it.
  protocol->setVisibility(0);
  PiImageModifier::registerTool(protocol);
}

void WarpGeneratorTool::finalize() { WarpGeneratorController::finalize(); }

RCShdPtr<const PiTool> WarpGeneratorTool::getTool() { return PiToolRegistry::getInstance().findTool(getName()); }

void WarpGeneratorController::initialize() {
  GeneratorPolicies& p = generatorPolicies();
  p.renderQuality = PiRangeInputPolicy<double>::create(1.0, 10.0, 1.0, true, false);
  p.renderSmoothing = PiEnumPolicy::Builder().addPair(0, "Skew").addPair(1, "Rigid").setDefaultValue(0);
  p.shapeSmoothing = PiEnumPolicy::Builder()
                         .addPair(WarpGridProc::Bidirectional, "Bidirectional")
                         .addPair(WarpGridProc::Inside, "Inside")
                         .addPair(WarpGridProc::Outside, "Outside")
                         .addPair(WarpGridProc::None, "None")
                         .setDefaultValue(WarpGridProc::Bidirectional);
  p.renderBoundary = PiEnumPolicy::Builder().addPair(1, "Free").addPair(0, "Fixed").setDefaultValue(0);
  p.shapeImage = PiImageInputPolicy::createSecondary(3, 7, 3, 1, 0, false);
}

void WarpGeneratorController::finalize() { generatorPolicies() = GeneratorPolicies(); }

void WarpGeneratorController::describe(PiImageModifier::Descriptor& d) {
  GeneratorPolicies const& p = generatorPolicies();
  QX_ASSERT(!p.shapeImage.isNull());  // WarpGeneratorTool::initialize builds them first
  addSingleImageInput(d, PiImageInputPolicy::createPrimary(3, 7, 1, 0, false), 0);
  PiSocketDecl& shapes = d.requireStructure(getShapesInputName(), 1);
  shapes.require(getSourceInputName(), PI_IMAGE, p.shapeImage);
  shapes.require(getDestinationInputName(), PI_IMAGE, p.shapeImage);
  shapes.require(getSmoothingInputName(), PI_INT, p.shapeSmoothing);
  shapes.require(getFenceInputName(), PI_BOOL);
  shapes.require(getInterpolationInputName(), PI_DOUBLE);
  d.require(Warper2DSuperToolController::getRenderQualityName(), PI_DOUBLE, p.renderQuality);
  d.require(Warper2DSuperToolController::getRenderSmoothingName(), PI_INT, p.renderSmoothing);
  d.require(Warper2DSuperToolController::getRenderBoundaryName(), PI_INT, p.renderBoundary);
  d.addOutput(Warper2DSuperToolController::getDestinationOutputName(), PI_IMAGE);
  d.setMaskingMode(0);
}

std::string WarpGeneratorController::getShapesInputName() { return "Shapes"; }
std::string WarpGeneratorController::getSourceInputName() { return "Source Shape"; }
std::string WarpGeneratorController::getDestinationInputName() { return "Destination Shape"; }
std::string WarpGeneratorController::getSourceLinksName() { return "Source Links"; }
std::string WarpGeneratorController::getDestinationLinksName() { return "Destination Links"; }
std::string WarpGeneratorController::getSmoothingInputName() { return "Smoothing"; }
std::string WarpGeneratorController::getFenceInputName() { return "Fence"; }
std::string WarpGeneratorController::getInterpolationInputName() { return "Interpolation"; }

RCShdPtr<PiMultivaluedInput> WarpGeneratorController::getShapesInput() const {
  return rcDynamicCast<PiMultivaluedInput>(getInput(getShapesInputName()));
}

void WarpGeneratorController::addInputMovedInMultiCallback(CbHandler<MultiInfo const>* handler) {
  _inputMovedInMulti.addHandler(handler);
}

void WarpGeneratorController::removeInputMovedInMultiCallback(CbHandler<MultiInfo const>* handler) {
  _inputMovedInMulti.removeHandler(handler);
}

void WarpGeneratorController::inputMovedInComposite(RCShdPtr<PiCompositeInput> const& composite,
                                                    RCShdPtr<PiInput> const& entry, unsigned from, unsigned to) {
  if (composite.isNull() || entry.isNull() || composite->getName() != getShapesInputName()) return;
  RCShdPtr<PiCompositeInput> const fields = rcDynamicCast<PiCompositeInput>(entry);
  QX_ASSERT(!fields.isNull());
  MultiInfo const info{fields->getInput(getSourceInputName()), from, to};
  // The dispatcher walks the handlers registered now and skips one that an
  // earlier handler removed.
  _inputMovedInMulti.call(info);
}

PxNodePtr<PxImageProtocol> WarpGeneratorController::createProcNode(PxNodePtr<PxImageProtocol> const& primary,
                                                                   PiProcNodeProvider const& provider) {
  return createGeneratorNode(false, primary, provider);
}

void WarpGeneratorController::createProcNodes(PiOutputPublisher& publisher) {
  PiImageModifier::createProcNodes(publisher);
  PiProcNodeProvider const& provider = publisher.getProvider();
  RCShdPtr<PiInput> const in = getPrimaryInput();
  PxNodePtr<PxImageProtocol> const primary =
      in.isNull() ? PxNodePtr<PxImageProtocol>() : provider.getInputNode(in).cast<PxImageProtocol>();
  PxNodePtr<PxImageProtocol> const node = createGeneratorNode(true, primary, provider);
  if (node) publisher.publish(Warper2DSuperToolController::getDestinationOutputName(), node);
}

PxNodePtr<PxImageProtocol> WarpGeneratorController::createGeneratorNode(bool destinationImage,
                                                                        PxNodePtr<PxImageProtocol> const& primary,
                                                                        PiProcNodeProvider const& provider) const {
  RCShdPtr<PiNode> const node = getNode();
  RCShdPtr<PiMultivaluedInput> const shapes = getShapesInput();
  if (!primary || node.isNull() || shapes.isNull()) return nullptr;
  WarpGeneratorInputs in;
  in.primary = primary;
  in.shapes.reserve(shapes->getEntryCount());
  for (RCShdPtr<PiInput> const& entryInput : shapes->getInputs()) {
    auto const entry = rcCheckedCast<PiCompositeInput>(entryInput);
    auto field = [&](std::string const& name) { return entry->getInput(name); };
    // The order the node takes them in: images, then fence, smoothing,
    // interpolation.
    WarpGeneratorShapeInputs shape{provider.getInputNode(field(getSourceInputName())),
                                   provider.getInputNode(field(getDestinationInputName())),
                                   provider.getValueNode(field(getFenceInputName())),
                                   provider.getValueNode(field(getSmoothingInputName())),
                                   provider.getValueNode(field(getInterpolationInputName()))};
    if (!shape.sourceShape || !shape.destinationShape) return nullptr;
    in.shapes.push_back(std::move(shape));
  }
  in.renderQuality = provider.getValueNode(Warper2DSuperToolController::getRenderQualityName());
  in.renderSmoothing = provider.getValueNode(Warper2DSuperToolController::getRenderSmoothingName());
  in.renderBoundary = provider.getValueNode(Warper2DSuperToolController::getRenderBoundaryName());
  std::string const name =
      node->getName() + "/" + (destinationImage ? Warper2DSuperToolController::getDestinationOutputName()
                                                : PiImageGenerator::getOutputName());
  PxNodePtr<PxImageProtocol> const generator = createWarpGeneratorNode(destinationImage, in, {name, {}});
  RCShdPtr<PiGraph> const graph = node->getGraph();
  return PxNodePtr<StImageCacheNode>::create(graph.get(), node.get(), StImageCacheNode::kCacheResults, generator, name,
                                             StImageCacheNode::kReuseWithinValidity);
}

}  // namespace Qx::Warper2D
