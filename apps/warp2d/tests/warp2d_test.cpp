// End-to-end tests of warp2d: the binary run on image files and scenes made
// here, its results read back and sampled.
//
// The input picture encodes position: R = x / W, G = y / H (B = 0.5, alpha
// 1 where there is one), so the output pixel at p shows which input
// position it samples, whatever the format.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include "scene.h"

namespace fs = std::filesystem;
using Qx::Warp2dApp::parseFrameRange;
using Qx::Warp2dApp::PathPattern;

namespace {

constexpr int kW = 160, kH = 120;

struct Outcome {
  int rc;
  std::string text;  // stdout and stderr
};

Outcome warp2d(std::string const& args) {
  std::string const cmd = std::string(WARP2D_BINARY) + " " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  std::string text;
  char buf[4096];
  while (std::size_t n = std::fread(buf, 1, sizeof buf, p)) text.append(buf, n);
  int const status = pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

class Warp2dTest : public ::testing::Test {
 protected:
  void SetUp() override {
    _dir = fs::temp_directory_path() /
           ("warp2d_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(_dir);
    fs::create_directories(_dir);
  }
  void TearDown() override { fs::remove_all(_dir); }

  std::string path(std::string const& name) const { return (_dir / name).string(); }

  void writeInput(std::string const& name, int channels, OIIO::TypeDesc type, int w = kW, int h = kH,
                  float aspect = 1.0f) const {
    OIIO::ImageSpec imageSpec(w, h, channels, OIIO::TypeDesc::FLOAT);
    imageSpec.attribute("PixelAspectRatio", aspect);
    OIIO::ImageBuf buf(imageSpec);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        float const v[4] = {float(x) / w, float(y) / h, 0.5f, 1.0f};
        float const grey[2] = {float(x) / w, 1.0f};
        buf.setpixel(x, y, channels <= 2 ? grey : v, channels);
      }
    ASSERT_TRUE(buf.write(path(name), type)) << buf.geterror();
  }

  // A scene moving a circle of radius 20 centred at (60, 60) by (dx, dy),
  // with `extra` spliced into the top-level object.
  void writeScene(std::string const& name, std::string const& input, std::string const& output, int dx, int dy,
                  std::string const& extra = "") const {
    auto circle = [](double cx, double cy) {
      double const r = 20, a = r * 0.5522847;
      char text[512];
      std::snprintf(text, sizeof text,
                    R"({"points": [{"point": [%g, %g], "in": [0, %g], "out": [0, %g]},)"
                    R"( {"point": [%g, %g], "in": [%g, 0], "out": [%g, 0]},)"
                    R"( {"point": [%g, %g], "in": [0, %g], "out": [0, %g]},)"
                    R"( {"point": [%g, %g], "in": [%g, 0], "out": [%g, 0]}], "links": [0, 1, 2, 3]})",
                    cx + r, cy, -a, a, cx, cy + r, a, -a, cx - r, cy, a, -a, cx, cy - r, -a, a);
      return std::string(text);
    };
    std::ofstream(path(name)) << "{\"input\": \"" << input << "\", \"output\": \"" << output << "\"" << extra
                              << ", \"shapes\": [{\"source\": " << circle(60, 60)
                              << ", \"destination\": " << circle(60 + dx, 60 + dy) << "}]}";
  }

  // Channels 0 and 1 of the file at (x, y): the input position it shows.
  static std::pair<float, float> sampleAt(std::string const& file, int x, int y) {
    OIIO::ImageBuf buf(file);
    float v[4] = {0, 0, 0, 0};
    buf.getpixel(x, y, v, 4);
    return {v[0] * kW, buf.spec().nchannels <= 2 ? -1.0f : v[1] * kH};
  }

  fs::path _dir;
};

// Every format in and out: channels and sample type kept, the moved
// circle's centre shows the input's centre, the fixed frame's corner stays.
TEST_F(Warp2dTest, EveryFormatKeepsItsLayoutAndCarriesTheShape) {
  struct Case {
    char const* ext;
    int channels;
    OIIO::TypeDesc type;
    char const* stored;
    float tolerance;  // in input pixels of position
  } const cases[] = {
      {"png", 4, OIIO::TypeDesc::UINT8, "uint8", 1.0f},  {"png", 1, OIIO::TypeDesc::UINT16, "uint16", 0.3f},
      {"jpg", 3, OIIO::TypeDesc::UINT8, "uint8", 2.0f},  {"tif", 3, OIIO::TypeDesc::UINT16, "uint16", 0.3f},
      {"exr", 4, OIIO::TypeDesc::HALF, "half", 0.3f},    {"exr", 3, OIIO::TypeDesc::FLOAT, "float", 0.3f},
      {"dpx", 3, OIIO::TypeDesc::UINT16, "uint16", 0.3f},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(std::string(c.ext) + " " + c.stored + " x" + std::to_string(c.channels));
    // A name per case: OpenImageIO's cache in this process would serve a
    // rewritten file's old contents.
    std::string const stem = c.stored + std::to_string(c.channels) + ".";
    std::string const in = "in" + stem + c.ext, out = "out" + stem + c.ext;
    writeInput(in, c.channels, c.type);
    writeScene("s.json", in, out, 12, -8, R"(, "parameters": {"Filter": "Bilinear"})");
    Outcome const r = warp2d("render -q " + path("s.json"));
    ASSERT_EQ(r.rc, 0) << r.text;
    OIIO::ImageBuf const result(path(out));
    EXPECT_EQ(result.spec().nchannels, c.channels);
    EXPECT_EQ(std::string(result.spec().format.c_str()), c.stored);
    // The circle's rightmost point (80, 60), a constrained pixel, arrives
    // at (92, 52).
    auto const [u, v] = sampleAt(path(out), 92, 52);
    EXPECT_NEAR(u, 80.0f, c.tolerance);
    if (v >= 0) {
      EXPECT_NEAR(v, 60.0f, c.tolerance);
    }
    auto const [cu, cv] = sampleAt(path(out), 0, 0);
    EXPECT_NEAR(cu, 0.0f, c.tolerance);
    if (cv >= 0) {
      EXPECT_NEAR(cv, 0.0f, c.tolerance);
    }
  }
}

// Proxy 1 halves everything, the crop's 10 pixels on the left included;
// scene coordinates are file pixels whatever the pixel aspect ratio.
TEST_F(Warp2dTest, ProxyOneGivesTheHalfSizeResult) {
  writeInput("in.exr", 3, OIIO::TypeDesc::FLOAT, kW, kH, 2.0f);
  writeScene("s.json", "in.exr", "out.exr", 16, 10, R"(, "crop": {"left": 10})");
  ASSERT_EQ(warp2d("render -q --proxy 1 " + path("s.json")).rc, 0);
  OIIO::ImageBuf const result(path("out.exr"));
  EXPECT_EQ(result.spec().x, 5);
  EXPECT_EQ(result.spec().width, kW / 2 - 5);
  EXPECT_EQ(result.spec().full_width, kW / 2);
  EXPECT_EQ(result.spec().get_float_attribute("PixelAspectRatio"), 2.0f);
  EXPECT_EQ(result.spec().height, kH / 2);
  auto const [u, v] = sampleAt(path("out.exr"), 48, 35);  // (80 + 16, 60 + 10) / 2
  EXPECT_NEAR(u, 80.0f, 2.0f);
  EXPECT_NEAR(v, 60.0f, 2.0f);
}

// "Interpolation" keyed 0 at frame 1 and 1 at frame 3: the circle's
// rightmost point (80, 60) shows at 80 + 0, 80 + 10 and 80 + 20 as frames go.
TEST_F(Warp2dTest, SequenceFollowsAnimatedInterpolation) {
  for (int f = 1; f <= 3; ++f) writeInput("in." + std::string(f == 1 ? "0001" : f == 2 ? "0002" : "0003") + ".png", 3, OIIO::TypeDesc::UINT16);
  writeScene("s.json", "in.####.png", "out.%04d.exr", 20, 0,
             R"(, "frames": "1-3", "parameters": {"Interpolation": {"keys": [{"frame": 1, "value": 0}, {"frame": 3, "value": 1}]}})");
  Outcome const r = warp2d("render --destination-output " + path("dst.####.exr") + " " + path("s.json"));
  ASSERT_EQ(r.rc, 0) << r.text;
  EXPECT_NE(r.text.find("wrote Output Image"), std::string::npos) << r.text;
  // The "Destination Image" carries the shape fully whatever "Interpolation" says.
  EXPECT_NEAR(sampleAt(path("dst.0001.exr"), 100, 60).first, 80.0f, 0.5f);
  for (int f = 1; f <= 3; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "out.%04d.exr", f);
    float const x = 80.0f + 10.0f * (f - 1);
    auto const [u, v] = sampleAt(path(name), static_cast<int>(x), 60);
    EXPECT_NEAR(u, 80.0f, 0.5f) << name;
    EXPECT_NEAR(v, 60.0f, 0.5f) << name;
  }
}

// Each bad input: its exit code and the words that tell the user what to fix.
TEST_F(Warp2dTest, BadInputsExitWithTheirCodeAndSayWhat) {
  writeInput("in.png", 3, OIIO::TypeDesc::UINT8);
  std::ofstream(path("garbage.png")) << "not an image";
  fs::create_directories(path("blocked"));
  std::ofstream(path("file")) << "x";
  struct Case {
    char const* scene;  // written to s.json when not empty
    char const* args;
    int rc;
    char const* message;
  } const cases[] = {
      {R"({"input": "in.png", "output": )", "render", 2, "not valid JSON at line 1"},
      {R"({"input": "in.png", "output": "o.png", "shapes": [{"source": {"points": [[0, 0], {"point": [9, 9], "in": [1]}]}, "destination": {"points": [[0, 0], [1, 1]]}}]})",
       "render", 2, "shapes[0].source.points[1].in: expected [x, y]"},
      {R"({"input": "in.png", "output": "o.png", "parameters": {"Quality": 11}})", "render", 2,
       "parameters.Quality: 11 is out of range; expected 1 to 10"},
      {R"({"input": "in.png", "output": "o.png", "parameters": {"Filter": "Lanczos"}})", "render", 2,
       "parameters.Filter: expected one of \"Nearest\", \"Bilinear\""},
      {R"({"input": "in.png", "output": "o.png", "shapes": [{"source": {"closed": false, "points": [[0, 0], [5, 5]], "links": [2]}, "destination": {"points": [[0, 0], [1, 1]]}}]})",
       "render", 2, "shapes[0].source.links[0]: 2 is out of range; expected 0 to 1"},
      {R"({"input": "in.png", "output": "o.png", "Qualty": 2})", "render", 2, "Qualty: unknown key"},
      {R"({"input": "in.%04d.png", "output": "o.png"})", "render", 2, "frames: missing"},
      {R"({"input": "missing.png", "output": "o.png"})", "render", 3, "missing.png: no such file"},
      {R"({"input": "garbage.png", "output": "o.png"})", "render", 3, "garbage.png"},
      {R"({"input": "in.png", "output": "file/o.png"})", "render", 3, "file/o.png: cannot be written"},
      {R"({"input": "in.png", "output": "o.png"})", "render --frames 5-1", 1, "--frames \"5-1\""},
      {R"({"input": "in.png", "output": "o.png"})", "render --proxy 99", 1, "proxy"},
      {R"({"input": "missing.png", "output": "o.png"})", "check", 3, "missing.png: no such file"},
      {"", "render", 2, "nothing.json: cannot be read"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(std::string(c.args) + " " + c.scene);
    std::string scene = path("nothing.json");
    if (*c.scene) {
      scene = path("s.json");
      std::ofstream(scene) << c.scene;
    }
    Outcome const r = warp2d(std::string(c.args) + " " + scene);
    EXPECT_EQ(r.rc, c.rc) << r.text;
    EXPECT_NE(r.text.find(c.message), std::string::npos) << r.text;
    if (c.rc == 2) {
      EXPECT_NE(r.text.find(*c.scene ? "s.json" : "nothing.json"), std::string::npos) << r.text;
    }
  }
  for (auto const& entry : fs::directory_iterator(_dir))
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

// Ctrl-C in the middle of a sequence: exit 130, every file present complete,
// no temporary left; --skip-existing then resumes and leaves them alone.
TEST_F(Warp2dTest, InterruptLeavesNoPartialFileAndSkipExistingResumes) {
  writeInput("in.exr", 4, OIIO::TypeDesc::HALF, 1024, 768);
  writeScene("s.json", "in.exr", "out.%04d.exr", 30, 20, R"(, "frames": "1-40", "parameters": {"Quality": 3, "Filter": "Jinc 3"})");
  std::string const cmd = std::string(WARP2D_BINARY) + " render -q " + path("s.json");
  pid_t const pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Interrupt once the first frame is out, so that the signal lands in a
  // render (a frame takes far longer than the polling step).
  for (int i = 0; i < 6000 && !fs::exists(path("out.0001.exr")); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  int outputs = 0;
  for (auto const& entry : fs::directory_iterator(_dir)) {
    std::string const name = entry.path().filename().string();
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    if (name.rfind("out.", 0) == 0) {
      ++outputs;
      OIIO::ImageBuf buf(entry.path().string());
      EXPECT_TRUE(buf.read()) << name << ": " << buf.geterror();
    }
  }
  EXPECT_GE(outputs, 1);
  EXPECT_LT(outputs, 40);
  auto const first = fs::last_write_time(path("out.0001.exr"));
  Outcome const r = warp2d("render --frames 1-3 --skip-existing " + path("s.json"));
  EXPECT_EQ(r.rc, 0) << r.text;
  EXPECT_NE(r.text.find("exists, skipped"), std::string::npos) << r.text;
  EXPECT_EQ(fs::last_write_time(path("out.0001.exr")), first);
  EXPECT_TRUE(fs::exists(path("out.0003.exr")));
}

// The module driven through the node graph renders what the plug-in's
// nodes wired directly render, bit for bit, over the scene's features.
TEST_F(Warp2dTest, ModuleAndNodesEnginesAgree) {
  writeInput("in.exr", 4, OIIO::TypeDesc::FLOAT);
  struct Case {
    char const* extra;
    bool oddLinks;
  } const cases[] = {
      {R"(, "parameters": {"Filter": "Mitchell"})", false},
      {R"(, "parameters": {"Boundary": "Free", "Invert Warp": true, "Smoothing": "Rigid"})", false},
      {R"(, "crop": {"left": 7, "top": 5, "bottom": 3}, "parameters": {"Timing": "Shape", "Quality": 2})", false},
      {R"(, "parameters": {"Filter": "Jinc 2", "Interpolation": 0.6})", true},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.extra);
    std::string const tag = std::to_string(&c - cases);  // fresh names: see above
    writeScene("s.json", "in.exr", "out.exr", 10, 6, c.extra);
    if (c.oddLinks) {
      std::ifstream in(path("s.json"));
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      for (std::size_t at; (at = text.find("[0, 1, 2, 3]")) != std::string::npos;) text.replace(at, 12, "[0, 1.5, 3]");
      std::ofstream(path("s.json")) << text;
    }
    for (char const* engine : {"module", "nodes"}) {
      Outcome const r = warp2d("render -q --engine " + std::string(engine) + " -o " + path(engine + tag) + ".exr " +
                               path("s.json"));
      ASSERT_EQ(r.rc, 0) << r.text;
    }
    OIIO::ImageBuf const a(path("module" + tag + ".exr")), b(path("nodes" + tag + ".exr"));
    ASSERT_EQ(a.roi(), b.roi());
    EXPECT_EQ(OIIO::ImageBufAlgo::compare(a, b, 0.0f, 0.0f).nfail, 0u);
  }
}

TEST_F(Warp2dTest, DemoWritesItsPicturesWithoutFolds) {
  Outcome const r = warp2d("demo -o " + path("demo"));
  ASSERT_EQ(r.rc, 0) << r.text;
  for (char const* name : {"input.png", "output.png", "overlay.png", "folds.png", "scene.json"})
    EXPECT_TRUE(fs::exists(path("demo/") + name)) << name;
  OIIO::ImageBuf const folds(path("demo/folds.png"));
  EXPECT_EQ(OIIO::ImageBufAlgo::computePixelStats(folds).max[0], 0.0f);
  EXPECT_NE(r.text.find("0 folded pixels"), std::string::npos) << r.text;
}

TEST(Warp2dPatternTest, FrameRangesAndSequencePatterns) {
  struct Range {
    char const* text;
    bool ok;
    int first, last, step;
  } const ranges[] = {{"7", true, 7, 7, 1},     {"1-10", true, 1, 10, 1}, {"1-10x3", true, 1, 10, 3},
                      {"-5--1", true, -5, -1, 1}, {"5-1", false, 0, 0, 0}, {"1-3x0", false, 0, 0, 0},
                      {"1..3", false, 0, 0, 0},  {"", false, 0, 0, 0}};
  for (Range const& r : ranges) {
    auto const got = parseFrameRange(r.text);
    ASSERT_EQ(got.has_value(), r.ok) << r.text;
    if (r.ok) {
      EXPECT_EQ((std::tuple(got->first, got->last, got->step)), (std::tuple(r.first, r.last, r.step))) << r.text;
    }
  }
  EXPECT_EQ(parseFrameRange("1-10x3")->frames(), (std::vector<int>{1, 4, 7, 10}));
  struct Pattern {
    char const* text;
    char const* at12;
  } const patterns[] = {{"a.%04d.exr", "a.0012.exr"}, {"a.####.exr", "a.0012.exr"},
                        {"a.%d.exr", "a.12.exr"},     {"#/b.png", "12/b.png"},
                        {"plain.exr", "plain.exr"}};
  for (Pattern const& p : patterns) EXPECT_EQ(PathPattern(p.text).at(12), p.at12) << p.text;
  EXPECT_TRUE(PathPattern::isMalformed("a.%04d.##.exr"));
  EXPECT_TRUE(PathPattern::isMalformed("a.%s.exr"));
  EXPECT_FALSE(PathPattern::isMalformed("a.%04d.exr"));
}

}  // namespace

namespace {

// The reference's complete example reads as documented.
TEST(Warp2dSceneTest, DocumentedExampleReads) {
  std::ifstream doc(WARP2D_SCENE_DOC);
  std::stringstream text;
  text << doc.rdbuf();
  std::string const md = text.str();
  std::size_t const begin = md.find("```json\n") + 8;
  ASSERT_NE(begin, std::string::npos + 8);
  Qx::Warp2dApp::Scene const s = Qx::Warp2dApp::parseScene(md.substr(begin, md.find("```", begin) - begin), "/x/s.json");
  EXPECT_EQ(s.input.at(1001), "/x/plates/shot010.1001.exr");
  EXPECT_EQ(s.output.at(7), "/x/warped/shot010.0007.exr");
  EXPECT_EQ(s.framesToRender(std::nullopt).size(), 24u);
  using Qx::Warp2dApp::valueAt;
  EXPECT_EQ(valueAt(s.parameters.interpolation, 1001), 0.0);
  EXPECT_EQ(valueAt(s.parameters.interpolation, 1012), 1.0);
  double const mid = valueAt(s.parameters.interpolation, 1006.5);
  EXPECT_GT(mid, 0.0);
  EXPECT_LT(mid, 1.0);
  EXPECT_EQ(valueAt(s.parameters.filter, 1001), 3);  // Mitchell
  ASSERT_EQ(s.shapes.size(), 2u);
  EXPECT_TRUE(s.shapes[1].fence);
  EXPECT_EQ(s.shapes[1].destination.points.size(), 3u);
  GePoint2<float> const handle = s.shapes[0].source.points[0].out;  // offsets become positions
  EXPECT_EQ(handle, GePoint2<float>(980, 600));
}

}  // namespace
