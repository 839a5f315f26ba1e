// warp2d: the command-line host of the Warp 2D tool. It reads a scene file
// and image files, renders the warp through the scene renderer (tiles on
// every worker of the request manager) and writes image files, each one
// complete or not at all.
//
// Exit codes (also in --help and docs/scene.md): 0 done, 1 usage, 2 bad
// scene, 3 image I/O, 4 internal error, 130 interrupted.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <thread>

#include <CLI/CLI.hpp>

#include "base/assertions.h"
#include "demo.h"
#include "diagnostics.h"
#include "editServer.h"
#include "imageIO.h"
#include "pluginAPI/pxRequestMgr.h"
#include "progress.h"
#include "scene.h"
#include "sceneRenderer.h"

using namespace Qx::Warp2dApp;
namespace fs = std::filesystem;

namespace {

enum ExitCode { kDone = 0, kUsage = 1, kBadScene = 2, kImageIO = 3, kInternal = 4, kInterrupted = 130 };

char const* const kExitCodes =
    "Exit codes: 0 done, 1 usage, 2 bad scene, 3 image I/O (missing, unreadable or unwritable file), "
    "4 internal error, 130 interrupted (Ctrl-C; no partial file is left).\n";

std::atomic<bool> gInterrupted{false};
extern "C" void onInterrupt(int) { gInterrupted.store(true); }

// Turns Ctrl-C into a cancel of the render in progress. A signal handler may
// not take locks, so it only raises a flag; this thread watches the flag and
// cancels through the renderer, again and again, so that a render that was
// just starting when the signal came is caught too. It waits on a condition
// rather than sleeping, so that the end of a render does not wait out a
// polling interval.
class InterruptWatcher {
 public:
  explicit InterruptWatcher(SceneRenderer& renderer) : _renderer(renderer), _thread([this] { watch(); }) {
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
  }
  ~InterruptWatcher() {
    {
      std::lock_guard const lock(_mutex);
      _stop = true;
    }
    _wake.notify_one();
    _thread.join();
  }

 private:
  void watch() {
    std::unique_lock lock(_mutex);
    while (!_wake.wait_for(lock, std::chrono::milliseconds(20), [this] { return _stop; }))
      if (gInterrupted.load()) _renderer.cancel();
  }
  SceneRenderer& _renderer;
  std::mutex _mutex;
  std::condition_variable _wake;
  bool _stop = false;
  std::thread _thread;
};

struct RenderOptions {
  std::string scene;
  std::string output;
  std::string frames;
  int proxy = 0;
  int threads = 0;
  std::string destinationOutput;
  bool skipExisting = false;
  std::string meshOverlay, stmap, foldMap;
  bool quiet = false;
  std::string engine = "module";
  int pngCompression = kDefaultPngCompression;
};

// A display window at proxy level k: what its full-resolution pixels cover.
GeRectangle<int> atLevel(GeRectangle<int> const& r, int level) {
  double const s = std::ldexp(1.0, -level);
  return GeRectangle<int>(static_cast<int>(std::floor(r.x1() * s)), static_cast<int>(std::floor(r.y1() * s)),
                          static_cast<int>(std::ceil(r.x2() * s)), static_cast<int>(std::ceil(r.y2() * s)));
}

void fail(char const* kind, std::string const& message) { std::fprintf(stderr, "warp2d: %s: %s\n", kind, message.c_str()); }

int renderScene(Scene const& scene, RenderOptions const& o) {
  std::optional<FrameRange> range;
  if (!o.frames.empty()) {
    range = parseFrameRange(o.frames);
    if (!range) {
      fail("usage", "--frames \"" + o.frames + "\": expected A, A-B or A-BxSTEP (A <= B, STEP >= 1)");
      return kUsage;
    }
  }
  PathPattern const output = o.output.empty() ? scene.output : PathPattern(o.output);
  std::optional<PathPattern> const destination =
      o.destinationOutput.empty() ? scene.destinationOutput : std::optional<PathPattern>(PathPattern(o.destinationOutput));
  std::vector<int> const frames = scene.framesToRender(range);
  if (frames.size() > 1 && !output.isSequence()) {
    fail("usage", "output \"" + output.text() + "\" has no frame field (%04d or ####) but " +
                      std::to_string(frames.size()) + " frames are to be rendered");
    return kUsage;
  }

  setPngCompression(o.pngCompression);
  std::unique_ptr<SceneRenderer> renderer =
      o.engine == "nodes" ? createNodeSceneRenderer() : createModuleSceneRenderer(defaultModulePath());
  InterruptWatcher const watcher(*renderer);
  Progress progress(Progress::modeFor(stderr, o.quiet), static_cast<int>(frames.size()));
  bool const diagnostics = !o.meshOverlay.empty() || !o.stmap.empty() || !o.foldMap.empty();
  try {
    for (std::size_t i = 0; i < frames.size(); ++i) {
      int const frame = frames[i];
      std::string const outPath = output.at(frame);
      std::error_code ec;
      if (o.skipExisting && fs::exists(outPath, ec) && (!destination || fs::exists(destination->at(frame), ec))) {
        progress.skipped(frame, outPath);
        continue;
      }
      progress.startFrame(static_cast<int>(i), frame);
      // The file decodes while the render builds its graph and solves.
      ImageReading const reading(scene.input.at(frame));
      Image const& input = reading.image();
      FrameRequest request;
      request.frame = frame;
      request.proxyLevel = o.proxy;
      request.threads = o.threads;
      request.destination = destination.has_value();
      request.vectors = diagnostics;
      request.progress = [&](int done, int total) { progress.tiles(done, total); };
      request.inputReady = reading.pixelsReady();
      RenderedFrame const result = renderer->render(scene, input.tile, request);
      reading.finish();
      GeRectangle<int> const display = atLevel(input.info.displayWindow, o.proxy);
      writeImage(outPath, result.output, input.info, display);
      progress.wrote("Output Image", outPath);
      if (destination) {
        writeImage(destination->at(frame), result.destination, input.info, display);
        progress.wrote("Destination Image", destination->at(frame));
      }
      if (!o.stmap.empty()) {
        StMap const m = makeStMap(result.vectors, display);
        std::string const path = PathPattern(o.stmap).at(frame);
        writeChannels(path, m.region, display, {"R", "G"}, m.st, "float");
        progress.wrote("ST-map", path);
      }
      if (!o.foldMap.empty()) {
        FoldMap const m = makeFoldMap(result.vectors);
        std::string const path = PathPattern(o.foldMap).at(frame);
        writeChannels(path, m.region, display, {"Y"}, m.mask, fs::path(path).extension() == ".exr" ? "half" : "uint8");
        progress.wrote("fold map (" + std::to_string(m.folded) + " folded pixels)", path);
      }
      if (!o.meshOverlay.empty()) {
        double const scale = std::ldexp(1.0, -o.proxy);
        IxTile const overlay = makeOverlay(result.output, result.vectors, scene.shapes, scale,
                                           std::max(display.getWidth(), display.getHeight()) / 24.0);
        FileInfo like;
        like.channels = 3;
        like.channelNames = {"R", "G", "B"};
        std::string const path = PathPattern(o.meshOverlay).at(frame);
        writeImage(path, overlay, like, display);
        progress.wrote("mesh overlay", path);
      }
      if (gInterrupted.load()) throw PxInterruptedException();
    }
  } catch (PxInterruptedException const&) {
    progress.finish();
    fail("interrupted", "render cancelled; no partial file was written");
    return kInterrupted;
  } catch (ImageIOError const& e) {
    progress.finish();
    fail("image I/O", e.what());
    return kImageIO;
  }
  progress.finish();
  return kDone;
}

int checkScene(Scene const& scene, std::string const& frames) {
  std::optional<FrameRange> range;
  if (!frames.empty() && !(range = parseFrameRange(frames))) {
    fail("usage", "--frames \"" + frames + "\": expected A, A-B or A-BxSTEP");
    return kUsage;
  }
  std::vector<int> const list = scene.framesToRender(range);
  SceneParameters const& p = scene.parameters;
  double const f = list.front();
  std::printf("scene %s\n  input  %s\n  output %s\n", scene.file.c_str(), scene.input.text().c_str(),
              scene.output.text().c_str());
  if (scene.destinationOutput) std::printf("  destination %s\n", scene.destinationOutput->text().c_str());
  std::printf("  frames %d to %d, %zu in all\n", list.front(), list.back(), list.size());
  std::printf("  at frame %g: Quality %g, Smoothing %s, Boundary %s, Filter %s, Timing %s, Interpolation %g, "
              "Invert Warp %s\n",
              f, valueAt(p.quality, f), renderSmoothingName(valueAt(p.smoothing, f)),
              boundaryName(valueAt(p.boundary, f)), filterName(valueAt(p.filter, f)), timingName(valueAt(p.timing, f)),
              valueAt(p.interpolation, f), valueAt(p.invertWarp, f) ? "on" : "off");
  for (SceneShape const& s : scene.shapes)
    std::printf("  shape \"%s\": %zu %s points, %zu links%s, Smoothing %s, Interpolation %g\n", s.name.c_str(),
                s.source.points.size(), s.source.closed ? "closed" : "open", s.source.links.size(),
                s.fence ? ", fence" : "", shapeSmoothingName(valueAt(s.smoothing, f)), valueAt(s.interpolation, f));
  int missing = 0;
  for (int frame : list) {
    std::error_code ec;
    if (!fs::exists(scene.input.at(frame), ec)) {
      fail("image I/O", scene.input.at(frame) + ": no such file");
      ++missing;
    }
  }
  if (missing > 0) return kImageIO;
  std::printf("ok\n");
  return kDone;
}

int runDemo(std::string const& dir, bool quiet) {
  int const width = 1280, height = 720;
  std::error_code ec;
  fs::create_directories(dir, ec);
  std::string const input = (fs::path(dir) / "input.png").string();
  FileInfo like;
  like.channels = 3;
  like.channelNames = {"R", "G", "B"};
  like.dataWindow = like.displayWindow = GeRectangle<int>(0, 0, width, height);
  try {
    writeImage(input, makeDemoImage(width, height), like, like.displayWindow);
  } catch (ImageIOError const& e) {
    fail("image I/O", e.what());
    return kImageIO;
  }
  std::string const scenePath = (fs::path(dir) / "scene.json").string();
  std::string const text = makeDemoScene(width, height, "input.png", "output.png");
  std::ofstream(scenePath) << text;
  Scene const scene = parseScene(text, scenePath);
  RenderOptions o;
  o.scene = scenePath;
  o.meshOverlay = (fs::path(dir) / "overlay.png").string();
  o.foldMap = (fs::path(dir) / "folds.png").string();
  o.quiet = quiet;
  int const rc = renderScene(scene, o);
  if (rc == kDone && !quiet)
    std::printf("demo pictures in %s: input.png, output.png, overlay.png (grid and shapes), folds.png; scene %s\n",
                fs::absolute(dir).lexically_normal().c_str(), scenePath.c_str());
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  // A render allocates large working buffers and frees them again, many
  // times over (the grid solve's energies once per solve cycle, image tiles,
  // the sampler's pyramid). By default the allocator gives such blocks back
  // to the kernel and takes fresh ones, and every page of a fresh block
  // costs a page fault on first touch: about half the faults of a frame.
  // Blocks up to 32 MiB (a 1920 x 1080 float RGB tile is 25 MiB) are served
  // from the heap instead, and freed memory is kept for the next request.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  CLI::App app{"warp2d: warps image files with Warp 2D shapes described in a scene file."};
  app.footer(kExitCodes);
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "Help on every command");

  RenderOptions ro;
  CLI::App* render = app.add_subcommand("render", "Render a scene's \"Output Image\" for every frame");
  render->footer(kExitCodes);
  render->add_option("scene", ro.scene, "Scene file (JSON; see docs/scene.md)")->required();
  render->add_option("-o,--output", ro.output, "Output path or pattern (%04d, ####); overrides the scene's");
  render->add_option("--frames", ro.frames, "Frames to render: A, A-B or A-BxSTEP; overrides the scene's");
  render->add_option("--proxy", ro.proxy, "Proxy level K: render at 1/2^K of full resolution")->check(CLI::Range(0, 8));
  render->add_option("--threads", ro.threads, "Worker threads (0: all cores)")->check(CLI::Range(0, 256));
  render->add_option("--destination-output", ro.destinationOutput,
                     "Also write the \"Destination Image\" (every shape carried fully) here");
  render->add_flag("--skip-existing", ro.skipExisting, "Skip frames whose output files exist (resume a sequence)");
  render->add_option("--mesh-overlay", ro.meshOverlay, "Write the output with the warped grid and the shapes drawn over it");
  render->add_option("--stmap", ro.stmap,
                     "Write the sample positions as a two-channel float ST-map (s right, t up, 0 to 1 over the input "
                     "frame, pixel centres at +0.5)");
  render->add_option("--fold-map", ro.foldMap, "Write a mask of where the warp folds over (1 folded, 0 not)");
  render->add_flag("-q,--quiet", ro.quiet, "Print nothing but errors");
  render->add_option("--png-compression", ro.pngCompression,
                     "zlib level of the PNG files written: 1 (fast, files about as small as level 6 of common "
                     "tools) up to 9 (smallest, slowest); 0 stores them uncompressed. The pixels are the same")
      ->check(CLI::Range(0, 9))
      ->capture_default_str();
  render->add_option("--engine", ro.engine,
                     "How the warp is built: \"module\" (the Warp 2D module loaded as the compositing application "
                     "loads it; $WARP2D_MODULE overrides its path) or \"nodes\" (the plug-in's processing nodes "
                     "wired directly, for comparison)")
      ->check(CLI::IsMember({"module", "nodes"}))
      ->capture_default_str();

  std::string demoDir = "warp2d-demo";
  bool demoQuiet = false;
  CLI::App* demo = app.add_subcommand("demo", "Warp a built-in picture with a built-in scene and write PNGs to look at");
  demo->footer(kExitCodes);
  demo->add_option("-o,--output", demoDir, "Folder for the pictures")->capture_default_str();
  demo->add_flag("-q,--quiet", demoQuiet, "Print nothing but errors");

  std::string checkPath, checkFrames;
  CLI::App* check = app.add_subcommand("check", "Validate a scene and print what it would render");
  check->footer(kExitCodes);
  check->add_option("scene", checkPath, "Scene file (JSON)")->required();
  check->add_option("--frames", checkFrames, "Frames to check: A, A-B or A-BxSTEP");

  addEditCommand(app);

  try {
    app.parse(argc, argv);
  } catch (CLI::CallForHelp const& e) {
    return app.exit(e);
  } catch (CLI::CallForAllHelp const& e) {
    return app.exit(e);
  } catch (CLI::ParseError const& e) {
    app.exit(e);
    return kUsage;
  }

  try {
    if (*demo) return runDemo(demoDir, demoQuiet);
    if (*check) return checkScene(readScene(checkPath), checkFrames);
    return renderScene(readScene(ro.scene), ro);
  } catch (SceneError const& e) {
    fail("bad scene", e.what());
    return kBadScene;
  } catch (ImageIOError const& e) {
    fail("image I/O", e.what());
    return kImageIO;
  } catch (std::exception const& e) {
    fail("internal error", e.what());
    return kInternal;
  }
}
