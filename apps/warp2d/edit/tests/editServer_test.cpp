// The editor's server end to end over HTTP on 127.0.0.1: the token, bad
// requests refused without a change, every edit one command of the node's
// stack and undo the stack's, undo and redo step by step, save and open,
// and a burst of edits while renders run whose last frame is current.
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "demo.h"
#include "editNode.h"
#include "editServer.h"
#include "editSession.h"
#include "imageIO.h"
#include "imageSourceNode.h"
#include "scene.h"

using namespace Qx::Warp2dApp;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

json square(double x, double y, double r) {
  json points = json::array();
  for (auto [dx, dy] : {std::pair{-1, -1}, {1, -1}, {1, 1}, {-1, 1}})
    points.push_back({{"point", {x + dx * r, y + dy * r}}, {"in", {0, 0}}, {"out", {0, 0}}});
  return {{"closed", true}, {"points", points}};
}

bool sameBits(IxTile const& a, IxTile const& b) {
  if (a.getPixelRegion() != b.getPixelRegion() || !(a.getPixelFormat() == b.getPixelFormat())) return false;
  GeRectangle<int> const r = a.getPixelRegion();
  IxReadGuard const ga(a), gb(b);
  for (int y = r.y1(); y < r.y2(); ++y)
    for (int x = r.x1(); x < r.x2(); ++x) {
      CoRgbaColorTyped<float> const p = ixReadColor(a.getPixelFormat(), ga.getPixelAddress(x, y));
      CoRgbaColorTyped<float> const q = ixReadColor(b.getPixelFormat(), gb.getPixelAddress(x, y));
      if (p.r != q.r || p.g != q.g || p.b != q.b || p.a != q.a) return false;
    }
  return true;
}

class EditServerTest : public ::testing::Test {
 protected:
  static constexpr int kW = 128, kH = 96;

  void SetUp() override {
    _dir = fs::temp_directory_path() / ("warp2d_edit_" + std::to_string(::getpid()));
    fs::create_directories(_dir);
    FileInfo like;
    like.channels = 3;
    like.channelNames = {"R", "G", "B"};
    like.dataWindow = like.displayWindow = GeRectangle<int>(0, 0, kW, kH);
    writeImage((_dir / "in.png").string(), makeDemoImage(kW, kH), like, like.displayWindow);
    _session = std::make_unique<EditSession>((_dir / "in.png").string());
    _server = std::make_unique<EditServer>(*_session, defaultWebRoot());
    _port = _server->bind(0);
    _thread = std::thread([this] { _server->run(); });
    _client = std::make_unique<httplib::Client>("127.0.0.1", _port);
    _client->set_default_headers({{"X-Warp2d-Token", _server->token()}});
  }
  void TearDown() override {
    _session->shutdown();
    _server->stop();
    _thread.join();
    fs::remove_all(_dir);
  }

  // Status and answer of a POST.
  std::pair<int, json> post(std::string const& path, std::string const& body) {
    httplib::Result r = _client->Post(path, body, "application/json");
    EXPECT_TRUE(r) << path;
    return {r->status, json::parse(r->body)};
  }
  json edit(json const& op) {
    auto [status, answer] = post("/api/edit", op.dump());
    EXPECT_EQ(status, 200) << answer.dump();
    return answer;
  }
  json state() { return json::parse(_client->Get("/api/state")->body); }

  // The first full-resolution frame of the current version.
  std::shared_ptr<PreviewFrame const> currentFrame() {
    long const version = state()["version"];
    for (long after = -1;;) {
      auto f = _session->waitFrame(after, std::chrono::seconds(60));
      if (!f) return nullptr;
      if (f->version == version && f->level == 0) return f;
      after = f->serial;
    }
  }

  fs::path _dir;
  std::unique_ptr<EditSession> _session;
  std::unique_ptr<EditServer> _server;
  std::unique_ptr<httplib::Client> _client;
  std::thread _thread;
  int _port = 0;
};

TEST_F(EditServerTest, RefusesRequestsWithoutTheTokenOrFromAnotherHost) {
  httplib::Client bare("127.0.0.1", _port);
  EXPECT_EQ(bare.Get("/api/state")->status, 403);
  EXPECT_EQ(bare.Get("/")->status, 403);
  EXPECT_EQ(bare.Get("/api/state", {{"X-Warp2d-Token", std::string(32, '0')}})->status, 403);
  EXPECT_EQ(bare.Get("/api/state", {{"X-Warp2d-Token", _server->token()}, {"Host", "evil.example"}})->status, 403);
  httplib::Result page = bare.Get("/?token=" + _server->token());
  ASSERT_EQ(page->status, 200);
  std::string const cookie = page->get_header_value("Set-Cookie");
  EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
  EXPECT_EQ(bare.Get("/app.js", {{"Cookie", cookie.substr(0, cookie.find(';'))}})->status, 200);
  EXPECT_EQ(bare.Get("/../CMakeLists.txt", {{"X-Warp2d-Token", _server->token()}})->status, 404);
  EditServer second(*_session, defaultWebRoot());
  EXPECT_THROW(second.bind(_port), std::runtime_error) << "nobody else may listen on our port";
}

TEST_F(EditServerTest, BadRequestsGetAClearAnswerAndChangeNothing) {
  int const id = edit({{"op", "createShape"}, {"source", square(64, 48, 16)}})["id"];
  std::string const sid = std::to_string(id);
  struct Case {
    std::string path, body;
    int status;
    std::string says;
  } const cases[] = {
      {"/api/edit", "{not json", 400, "malformed JSON"},
      {"/api/edit", "[1, 2]", 400, "expected a JSON object"},
      {"/api/edit", R"({"op": "explode"})", 400, "\"op\""},
      {"/api/edit", R"({"op": "setShape", "id": 999, "set": {"name": "x"}})", 404, "no shape with id 999"},
      {"/api/edit", R"({"op": "setShape", "id": "one", "set": {}})", 400, "whole number"},
      {"/api/edit", R"({"op": "setShape", "id": )" + sid + R"(, "set": {"Interpolation": 2}})", 400,
       "shapes[0].Interpolation: 2 is out of range"},
      {"/api/edit", R"({"op": "setShape", "id": )" + sid + R"(, "set": {"colour": 1}})", 400, "unknown key"},
      {"/api/edit", R"({"op": "setShape", "id": )" + sid + R"(, "set": {"destination": {"points": [[1, 2]]}}})",
       400, "at least 2 points"},
      {"/api/edit", R"({"op": "setParameters", "set": {"Quality": 11}})", 400, "parameters.Quality"},
      {"/api/edit", R"({"op": "setParameters", "set": {"Filter": "Sharp"}})", 400, "\"Mitchell\""},
      {"/api/edit", R"({"op": "moveShape", "id": )" + sid + R"(, "to": 3})", 400, "out of range"},
      {"/api/edit", R"({"op": "createShape", "source": {"points": [[1e9, 0], [0, 0]]}})", 400, "out of range"},
      {"/api/redo", "{}", 409, "nothing to redo"},
      {"/api/open", R"({"path": "/nonexistent/scene.json"})", 404, "cannot be read"},
      {"/api/open", R"({"scene": {"input": "in.png"}})", 400, "missing \"output\""},
      {"/api/save", R"({"path": ""})", 400, "expected a file path"},
  };
  json const before = state();
  for (Case const& c : cases) {
    auto [status, answer] = post(c.path, c.body);
    EXPECT_EQ(status, c.status) << c.body;
    EXPECT_NE(answer.value("error", "").find(c.says), std::string::npos) << c.body << " -> " << answer.dump();
    EXPECT_EQ(state(), before) << c.body;
  }
}

// Each edit of the API is one command of the node graph's stack, named for
// what it did, and an undo in the page is that stack's undo: the document
// comes back as it was and the node renders the same bits as before.
TEST_F(EditServerTest, EachEditIsOneCommandOfTheNodeAndUndoIsTheNodes) {
  int const id = edit({{"op", "createShape"}, {"name", "a"}, {"source", square(64, 48, 16)}})["id"];
  EXPECT_EQ(state()["undoName"], "Add Shape");
  struct Step {
    json op;
    char const* command;
  } const steps[] = {
      {{{"op", "setShape"}, {"id", id}, {"set", {{"destination", square(70, 44, 18)}}}}, "Edit Shape"},
      {{{"op", "setShape"}, {"id", id}, {"set", {{"name", "b"}, {"Smoothing", "Inside"}, {"Interpolation", 0.5}}}},
       "Edit Shape"},
      {{{"op", "duplicateShape"}, {"id", id}}, "Duplicate Shape"},
      {{{"op", "setShape"}, {"id", id}, {"set", {{"visible", false}}}}, "Edit Shape"},
      {{{"op", "moveShape"}, {"id", id}, {"to", 1}}, "Move Shape"},
      {{{"op", "setParameters"}, {"set", {{"Boundary", "Free"}, {"Quality", 2}, {"Filter", "Mitchell"}}}},
       "Output Parameters"},
      {{{"op", "deleteShape"}, {"id", id}}, "Delete Shape"},
  };
  auto ids = [](json const& s) {
    std::vector<int> out;
    for (json const& m : s["shapes"]) out.push_back(m["id"]);
    return out;
  };
  for (Step const& step : steps) {
    json const before = state();
    IxTile const picture = _session->renderOutput();
    json const after = edit(step.op);
    EXPECT_EQ(after["commandIndex"], before["commandIndex"].get<int>() + 1) << step.op;
    EXPECT_EQ(after["undoName"], step.command) << step.op;
    if (step.op["op"] == "setShape") {
      EXPECT_EQ(ids(after), ids(before)) << "a shape keeps its place: " << step.op;
    }
    json const undone = post("/api/undo", "{}").second;
    for (char const* key : {"scene", "shapes", "commandIndex"}) EXPECT_EQ(undone[key], before[key]) << step.op;
    EXPECT_TRUE(sameBits(_session->renderOutput(), picture)) << step.op;
    EXPECT_EQ(post("/api/redo", "{}").second["scene"], after["scene"]) << step.op;
  }
  // A drag is one command, also when its first move changed nothing; an
  // edit or an open that changes nothing is none.
  int const index = state()["commandIndex"];
  int const other = state()["shapes"][0]["id"];
  for (double dx : {0.0, 1.0, 2.0, 3.0})
    edit({{"op", "setShape"}, {"id", other}, {"gesture", 9}, {"set", {{"destination", square(70 + dx, 44, 18)}}}});
  EXPECT_EQ(state()["commandIndex"], index + 1);
  EXPECT_EQ(state()["shapes"].size(), 1u);
  json const scene = state()["scene"];
  edit({{"op", "setShape"}, {"id", other}, {"set", {{"name", scene["shapes"][0]["name"]}}}});
  EXPECT_EQ(post("/api/open", json{{"scene", scene}}.dump()).first, 200);
  EXPECT_EQ(state()["commandIndex"], index + 1);
  EXPECT_EQ(state()["scene"], scene);
}

TEST_F(EditServerTest, UndoAndRedoWalkBackAndForthThroughEveryStep) {
  std::vector<json> scenes{state()["scene"]};
  int const id = edit({{"op", "createShape"}, {"source", square(64, 48, 16)}})["id"];
  scenes.push_back(state()["scene"]);
  // One drag gesture in three moves is one step.
  for (double dx : {2.0, 4.0, 6.0})
    edit({{"op", "setShape"}, {"id", id}, {"gesture", 7}, {"set", {{"destination", square(64 + dx, 48, 16)}}}});
  scenes.push_back(state()["scene"]);
  int const copy = edit({{"op", "duplicateShape"}, {"id", id}})["id"];
  scenes.push_back(state()["scene"]);
  for (json const& op : {json{{"op", "moveShape"}, {"id", copy}, {"to", 0}},
                         json{{"op", "setShape"}, {"id", copy}, {"set", {{"name", "left"}, {"Fence", true}}}},
                         json{{"op", "setShape"}, {"id", id}, {"set", {{"visible", false}}}},
                         json{{"op", "setParameters"}, {"set", {{"Filter", "Mitchell"}, {"Boundary", "Free"}}}},
                         json{{"op", "deleteShape"}, {"id", copy}}}) {
    edit(op);
    scenes.push_back(state()["scene"]);
  }
  EXPECT_EQ(state()["shapes"][0]["visible"], false);
  for (std::size_t i = scenes.size() - 1; i-- > 0;) {
    EXPECT_EQ(post("/api/undo", "{}").second["scene"], scenes[i]) << "undo to step " << i;
  }
  EXPECT_EQ(post("/api/undo", "{}").first, 409);
  for (std::size_t i = 1; i < scenes.size(); ++i)
    EXPECT_EQ(post("/api/redo", "{}").second["scene"], scenes[i]) << "redo to step " << i;
}

TEST_F(EditServerTest, SavedSceneRendersAndOpensAsTheSameScene) {
  int const id = edit({{"op", "createShape"}, {"name", "blob"}, {"source", square(64, 48, 16)}})["id"];
  edit({{"op", "setShape"}, {"id", id}, {"set", {{"destination", square(70, 44, 20)}, {"Smoothing", "Inside"}}}});
  edit({{"op", "setParameters"}, {"set", {{"Quality", 2}, {"Invert Warp", true}}}});
  int const ghost = edit({{"op", "createShape"}, {"name", "ghost"}, {"source", square(20, 20, 8)}})["id"];
  edit({{"op", "setShape"}, {"id", ghost}, {"set", {{"visible", false}}}});
  json const before = state()["scene"];
  std::string const path = (_dir / "sub" / ".." / "saved.json").string();
  fs::create_directories(_dir / "sub");
  EXPECT_EQ(post("/api/save", json{{"path", path}}.dump()).first, 200);
  Scene const read = readScene(path);  // what a render node reads
  ASSERT_EQ(read.shapes.size(), 1u);  // the hidden shape is kept in the file but not rendered
  EXPECT_EQ(json::parse(std::ifstream(path))["shapes"][1]["visible"], false);
  EXPECT_EQ(read.input.text(), (_dir / "in.png").string());
  EXPECT_EQ(json::parse(_client->Get("/api/scene.json")->body)["input"], "in.png");
  edit({{"op", "deleteShape"}, {"id", id}});
  edit({{"op", "deleteShape"}, {"id", ghost}});
  auto [status, answer] = post("/api/open", json{{"path", path}}.dump());
  EXPECT_EQ(status, 200) << answer.dump();
  EXPECT_EQ(answer["scene"], before);
  EXPECT_EQ(state()["shapes"][1]["visible"], false);
  EXPECT_EQ(post("/api/undo", "{}").second["scene"]["shapes"].size(), 0u);  // open is one undoable step
}

// Edits as fast as a client can send them, most of them cancelling the
// render in flight: every one is answered, and the frame that settles is
// the last edit's, at full resolution, pixel for pixel what a render of the
// final scene gives.
TEST_F(EditServerTest, BurstOfEditsDuringRendersEndsOnTheCurrentFrame) {
  int const id = edit({{"op", "createShape"}, {"source", square(64, 48, 16)}})["id"];
  std::vector<std::thread> clients;
  for (int t = 0; t < 2; ++t)
    clients.emplace_back([&, t] {
      httplib::Client c("127.0.0.1", _port);
      c.set_default_headers({{"X-Warp2d-Token", _server->token()}});
      for (int i = 0; i < 150; ++i) {
        json const op = {{"op", "setShape"}, {"id", id}, {"gesture", 1 + t},
                         {"set", {{"destination", square(64 + (i % 20) * 0.5, 48 - t * 3, 16)}}}};
        httplib::Result r = c.Post("/api/edit", op.dump(), "application/json");
        EXPECT_TRUE(r && r->status == 200);
        if (i % 37 == 0) c.Get("/api/frame?after=-1&wait=0");
      }
    });
  for (std::thread& t : clients) t.join();
  edit({{"op", "setShape"}, {"id", id}, {"set", {{"destination", square(72, 40, 16)}}}});

  std::shared_ptr<PreviewFrame const> const frame = currentFrame();
  ASSERT_TRUE(frame);
  ASSERT_TRUE(frame->error.empty()) << frame->error;
  Scene const scene = parseScene(state()["scene"].dump(), (_dir / "x.json").string());
  IxTile const input = readImage((_dir / "in.png").string()).tile;
  // The module as `warp2d render` runs it: the preview shows its bits.
  RenderedFrame const expected = createModuleSceneRenderer(defaultModulePath())->render(scene, input, FrameRequest{});
  ASSERT_EQ(frame->region, expected.output.getPixelRegion());
  IxReadGuard const g(expected.output);
  long differ = 0, moved = 0;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      CoRgbaColorTyped<float> const c = ixReadColor(expected.output.getPixelFormat(), g.getPixelAddress(x, y));
      std::uint8_t const* p = &frame->rgba[(static_cast<std::size_t>(y) * kW + x) * 4];
      differ += std::abs(p[0] - std::lround(c.r * 255)) > 1;
      moved += p[0] != _session->input()->rgba[(static_cast<std::size_t>(y) * kW + x) * 4];
    }
  EXPECT_EQ(differ, 0);
  EXPECT_GT(moved, 100);  // the shape was carried, so the content moved
}

// While edits come faster than the budget allows, the preview is a proxy
// of the edit; once they pause it is refined to full resolution.
TEST_F(EditServerTest, EditsPreviewAtAProxyLevelThenRefineWhenThePauseComes) {
  SessionOptions fast;
  fast.interactiveBudget = std::chrono::milliseconds(0);  // any measured render is over it
  fast.refinePause = std::chrono::milliseconds(1500);
  EditSession session((_dir / "in.png").string(), fast);
  ASSERT_TRUE(session.waitFrame(-1, std::chrono::seconds(60)));  // the first full render, timed
  long const version = session.edit(json{{"op", "createShape"}, {"source", square(64, 48, 16)}}.dump())["version"];
  std::vector<std::shared_ptr<PreviewFrame const>> frames;
  for (long after = 1; frames.empty() || frames.back()->level > 0;) {
    frames.push_back(session.waitFrame(after, std::chrono::seconds(60)));
    ASSERT_TRUE(frames.back());
    after = frames.back()->serial;
  }
  ASSERT_GE(frames.size(), 2u);
  PreviewFrame const& proxy = *frames.front();
  EXPECT_EQ(proxy.version, version);
  EXPECT_GE(proxy.level, 1);
  EXPECT_EQ(proxy.region.getWidth(), (kW + (1 << proxy.level) - 1) >> proxy.level);
  EXPECT_EQ(proxy.rgba.size(), 4u * proxy.region.getWidth() * proxy.region.getHeight());
  EXPECT_EQ(frames.back()->version, version);
  EXPECT_EQ(frames.back()->region.getWidth(), kW);
}

// What the previews rely on: a ticket stops its own render, even one that
// has not begun, and the next render on the same node runs; cancel() stops
// every later render.
TEST(CancellableRendersTest, ATicketStopsOneRenderAndCancelStopsEveryLaterOne) {
  IxTile const picture = makeDemoImage(64, 48);
  auto const node = PxNodePtr<ImageSourceNode>::create(picture, 0);
  PxImageContext const context(1.0, 0, 0, GeRectangle<int>(0, 0, 1, 1));
  CancellableRenders renders;
  auto render = [&](CancellableRenders::Ticket const& t) {
    return renders.render(node, context, picture.getPixelRegion(), 0, {}, t);
  };
  CancellableRenders::Ticket const stale = CancellableRenders::ticket();
  renders.cancel(stale);
  EXPECT_THROW(render(stale), PxInterruptedException);
  EXPECT_TRUE(sameBits(render(CancellableRenders::ticket()), picture));
  EXPECT_TRUE(sameBits(render({}), picture));
  renders.cancel();
  EXPECT_THROW(render(CancellableRenders::ticket()), PxInterruptedException);
}

}  // namespace

TEST(SharedPictureTest, ReadsOnceButSeesAFileRewrittenOnDisk) {
  fs::path const file = fs::temp_directory_path() / ("warp2d_shared_" + std::to_string(::getpid()) + ".png");
  auto write = [&](int w, int h) {
    FileInfo like;
    like.channels = 3;
    like.channelNames = {"R", "G", "B"};
    like.dataWindow = like.displayWindow = GeRectangle<int>(0, 0, w, h);
    writeImage(file.string(), makeDemoImage(w, h), like, like.displayWindow);
  };
  write(32, 24);
  IxTile const first = sharedPicture(file.string());
  EXPECT_TRUE(sharedPicture(file.string()) == first);
  write(48, 20);
  IxTile const second = sharedPicture(file.string());
  EXPECT_EQ(second.getPixelRegion(), GeRectangle<int>(0, 0, 48, 20));
  EXPECT_EQ(first.getPixelRegion(), GeRectangle<int>(0, 0, 32, 24));  // a holder keeps what it has
  fs::remove(file);
}
