// The editor's HTTP server (cpp-httplib) and the `warp2d edit` command.
#include "editServer.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <CLI/CLI.hpp>
#include <httplib.h>

#include "editSession.h"
#include "imageIO.h"
#include "scene.h"

namespace Qx::Warp2dApp {

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

std::string randomToken() {
  std::random_device device;
  std::string token;
  char const* const hex = "0123456789abcdef";
  for (int i = 0; i < 32; ++i) token += hex[device() % 16];
  return token;
}

// Equal without an early exit, so that timing says nothing about the token.
bool sameToken(std::string const& a, std::string const& b) {
  if (a.size() != b.size()) return false;
  unsigned diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string cookieToken(std::string const& cookies) {
  std::string const key = "warp2d_token=";
  std::size_t at = cookies.find(key);
  if (at == std::string::npos) return {};
  at += key.size();
  return cookies.substr(at, cookies.find(';', at) - at);
}

void answer(httplib::Response& res, json const& body, int status = 200) {
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

// Runs an API operation, turning a client mistake into its 4xx answer.
template <class F>
void guarded(httplib::Response& res, F const& f) {
  try {
    answer(res, f());
  } catch (EditError const& e) {
    answer(res, {{"error", e.what()}}, e.status());
  }
}

void frameBody(httplib::Response& res, PreviewFrame const& f, json header) {
  header["x"] = f.region.x1();
  header["y"] = f.region.y1();
  header["w"] = f.region.getWidth();
  header["h"] = f.region.getHeight();
  std::string body(f.rgba.begin(), f.rgba.end());
  body.append(f.grid.begin(), f.grid.end());
  body.append(f.folds.begin(), f.folds.end());
  res.set_header("X-Frame", header.dump());
  res.set_header("Cache-Control", "no-store");
  res.set_content(std::move(body), "application/octet-stream");
}

char const* contentType(std::string const& ext) {
  if (ext == ".html") return "text/html; charset=utf-8";
  if (ext == ".js") return "text/javascript; charset=utf-8";
  if (ext == ".css") return "text/css; charset=utf-8";
  if (ext == ".svg") return "image/svg+xml";
  return "application/octet-stream";
}

}  // namespace

struct EditServer::Impl {
  EditSession& session;
  std::string webRoot;
  std::string token = randomToken();
  int port = 0;
  httplib::Server server;

  Impl(EditSession& s, std::string root) : session(s), webRoot(std::move(root)) {}

  bool allowed(httplib::Request const& req, bool& viaQuery) const {
    std::string const host = req.get_header_value("Host");
    std::string const p = ":" + std::to_string(port);
    if (host != "127.0.0.1" + p && host != "localhost" + p) return false;
    viaQuery = req.has_param("token") && sameToken(req.get_param_value("token"), token);
    return viaQuery || sameToken(req.get_header_value("X-Warp2d-Token"), token) ||
           sameToken(cookieToken(req.get_header_value("Cookie")), token);
  }

  void serveFile(httplib::Response& res, std::string const& name) const {
    fs::path const path = fs::path(webRoot) / name;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      answer(res, {{"error", "no such page file: " + name}}, 404);
      return;
    }
    std::stringstream text;
    text << in.rdbuf();
    res.set_header("Cache-Control", "no-store");
    res.set_content(text.str(), contentType(path.extension().string()));
  }

  void routes() {
    using httplib::Request;
    using httplib::Response;
    server.set_pre_routing_handler([this](Request const& req, Response& res) {
      bool viaQuery = false;
      if (!allowed(req, viaQuery)) {
        answer(res, {{"error", "forbidden: this editor needs the access token printed when it started"}}, 403);
        return httplib::Server::HandlerResponse::Handled;
      }
      // The address printed carries the token once; the page's own files
      // and calls then ride on a cookie no other site can read or send.
      if (viaQuery)
        res.set_header("Set-Cookie", "warp2d_token=" + token + "; Path=/; HttpOnly; SameSite=Strict");
      return httplib::Server::HandlerResponse::Unhandled;
    });
    server.set_exception_handler([](Request const&, Response& res, std::exception_ptr ep) {
      std::string what = "unknown error";
      try {
        std::rethrow_exception(ep);
      } catch (std::exception const& e) {
        what = e.what();
      } catch (...) {
      }
      answer(res, {{"error", "internal error: " + what}}, 500);
    });

    server.Get("/", [this](Request const&, Response& res) { serveFile(res, "index.html"); });
    server.Get(R"(/([A-Za-z0-9_-]+\.(?:js|css|html|svg)))",
               [this](Request const& req, Response& res) { serveFile(res, req.matches[1]); });

    server.Get("/api/state", [this](Request const&, Response& res) { guarded(res, [&] { return session.state(); }); });
    server.Post("/api/edit",
                [this](Request const& req, Response& res) { guarded(res, [&] { return session.edit(req.body); }); });
    server.Post("/api/undo", [this](Request const&, Response& res) { guarded(res, [&] { return session.undo(); }); });
    server.Post("/api/redo", [this](Request const&, Response& res) { guarded(res, [&] { return session.redo(); }); });
    server.Post("/api/open",
                [this](Request const& req, Response& res) { guarded(res, [&] { return session.open(req.body); }); });
    server.Post("/api/save",
                [this](Request const& req, Response& res) { guarded(res, [&] { return session.save(req.body); }); });
    server.Get("/api/scene.json", [this](Request const&, Response& res) {
      res.set_header("Content-Disposition", "attachment; filename=\"scene.json\"");
      res.set_content(session.sceneText(), "application/json");
    });
    server.Get("/api/input",
               [this](Request const&, Response& res) { frameBody(res, *session.input(), json::object()); });
    server.Get("/api/frame", [this](Request const& req, Response& res) {
      long after = -1;
      long wait = 10000;
      try {
        if (req.has_param("after")) after = std::stol(req.get_param_value("after"));
        if (req.has_param("wait")) wait = std::clamp(std::stol(req.get_param_value("wait")), 0L, 60000L);
      } catch (std::exception const&) {
        answer(res, {{"error", "after and wait must be whole numbers"}}, 400);
        return;
      }
      std::shared_ptr<PreviewFrame const> const f = session.waitFrame(after, std::chrono::milliseconds(wait));
      if (!f) {
        res.status = 204;
        return;
      }
      json header = {{"serial", f->serial}, {"version", f->version}, {"level", f->level}};
      if (!f->error.empty()) header["error"] = f->error;
      frameBody(res, *f, header);
    });
  }
};

EditServer::EditServer(EditSession& session, std::string webRoot)
    : _impl(std::make_unique<Impl>(session, std::move(webRoot))) {
  // Long polls and a browser's kept-alive connections each hold a thread.
  _impl->server.new_task_queue = [] { return new httplib::ThreadPool(16); };
  _impl->server.set_keep_alive_timeout(2);
  // The library's default also sets SO_REUSEPORT, which would let a second
  // server (ours or anyone's) share the port and take half the requests.
  _impl->server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  _impl->server.set_payload_max_length(64u << 20);
  _impl->routes();
}

EditServer::~EditServer() = default;

int EditServer::bind(int port) {
  bool const ok = port == 0 ? (port = _impl->server.bind_to_any_port("127.0.0.1")) > 0
                            : _impl->server.bind_to_port("127.0.0.1", port);
  if (!ok) throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
  _impl->port = port;
  return port;
}

void EditServer::run() { _impl->server.listen_after_bind(); }

void EditServer::stop() { _impl->server.stop(); }

std::string const& EditServer::token() const { return _impl->token; }

std::string EditServer::url() const {
  return "http://127.0.0.1:" + std::to_string(_impl->port) + "/?token=" + _impl->token;
}

std::string defaultWebRoot() { return WARP2D_WEB_ROOT; }

namespace {

std::atomic<bool> gStop{false};
extern "C" void onStopSignal(int) { gStop.store(true); }

struct EditOptions {
  std::string input;
  int port = 0;
  int threads = 0;
  std::string webRoot = defaultWebRoot();
};

int runEdit(EditOptions const& o) {
  try {
    SessionOptions options;
    options.threads = o.threads;
    EditSession session(o.input, options);
    EditServer server(session, o.webRoot);
    server.bind(o.port);
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A signal handler may only raise a flag; this thread acts on it.
    std::atomic<bool> done{false};
    std::thread watcher([&] {
      while (!done.load() && !gStop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      session.shutdown();
      server.stop();
    });
    std::printf("warp2d edit: open %s\n(Ctrl-C stops the editor)\n", server.url().c_str());
    std::fflush(stdout);
    server.run();
    done.store(true);
    watcher.join();
    std::printf("warp2d edit: stopped\n");
    return 0;
  } catch (SceneError const& e) {
    std::fprintf(stderr, "warp2d: bad scene: %s\n", e.what());
    return 2;
  } catch (ImageIOError const& e) {
    std::fprintf(stderr, "warp2d: image I/O: %s\n", e.what());
    return 3;
  } catch (std::exception const& e) {
    std::fprintf(stderr, "warp2d: edit: %s\n", e.what());
    return 1;
  }
}

}  // namespace

void addEditCommand(CLI::App& app) {
  auto o = std::make_shared<EditOptions>();
  CLI::App* edit = app.add_subcommand("edit", "Edit shapes over an image in the browser, with a live preview");
  edit->footer("Serves the editor on 127.0.0.1 only and prints its address with an access token. Exit codes: 0 "
               "stopped (Ctrl-C), 1 usage or port unavailable, 2 bad scene, 3 image I/O.");
  edit->add_option("input", o->input, "Scene file (.json) or image to start from")->required();
  edit->add_option("--port", o->port, "Port on 127.0.0.1 (0: any free port)")->check(CLI::Range(0, 65535));
  edit->add_option("--threads", o->threads, "Render threads (0: all cores)")->check(CLI::Range(0, 256));
  edit->add_option("--web-root", o->webRoot, "Folder of the editor page")->capture_default_str();
  // warp2d's main dispatches the commands it knows; this one ends the
  // process itself once the server stops.
  edit->final_callback([o] { std::exit(runEdit(*o)); });
}

}  // namespace Qx::Warp2dApp
