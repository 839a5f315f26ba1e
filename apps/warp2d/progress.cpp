// Progress reporting of warp2d.
#include "progress.h"

#include <unistd.h>

#include <algorithm>

namespace Qx::Warp2dApp {

namespace {

std::string clock(double seconds) {
  long const s = std::max(0L, static_cast<long>(seconds + 0.5));
  char text[32];
  if (s >= 3600) std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else std::snprintf(text, sizeof text, "%02ld:%02ld", s / 60, s % 60);
  return text;
}

}  // namespace

Progress::Mode Progress::modeFor(std::FILE* stream, bool quiet) {
  if (quiet) return kQuiet;
  return ::isatty(::fileno(stream)) ? kBar : kLines;
}

Progress::Progress(Mode mode, int frames, std::FILE* stream) : _mode(mode), _frames(frames), _out(stream) {}

void Progress::startFrame(int index, int frame) {
  _index = index;
  _frame = frame;
  _done = 0;
  _total = 0;
  _frameStart = Clock::now();
  if (_mode == kBar) drawBar();
}

void Progress::tiles(int done, int total) {
  _done = done;
  _total = total;
  // A redraw per tile would flood a slow terminal; ten a second is enough.
  if (_mode == kBar && (done == total || Clock::now() - _lastDraw > std::chrono::milliseconds(100))) drawBar();
}

void Progress::drawBar() {
  _lastDraw = Clock::now();
  double const frameShare = _total > 0 ? double(_done) / _total : 0.0;
  double const overall = (_index + frameShare) / std::max(1, _frames);
  double const elapsed = std::chrono::duration<double>(Clock::now() - _start).count();
  std::string const left = overall > 0.02 ? clock(elapsed / overall - elapsed) : "--:--";
  int const width = 30;
  int const filled = static_cast<int>(overall * width);
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(width, '.');
  std::fprintf(_out, "\r[%s] frame %d/%d (%d), tiles %d/%d, %s elapsed, %s left ", bar.c_str(), _index + 1, _frames,
               _frame, _done, _total, clock(elapsed).c_str(), left.c_str());
  std::fflush(_out);
  _barShown = true;
}

void Progress::skipped(int frame, std::string const& path) {
  if (_mode == kQuiet) return;
  finish();
  std::fprintf(_out, "frame %d: %s exists, skipped\n", frame, path.c_str());
}

void Progress::wrote(std::string const& what, std::string const& path) {
  if (_mode == kQuiet) return;
  finish();
  double const seconds = std::chrono::duration<double>(Clock::now() - _frameStart).count();
  std::fprintf(_out, "frame %d (%d/%d): wrote %s %s (%.2f s)\n", _frame, _index + 1, _frames, what.c_str(),
               path.c_str(), seconds);
  std::fflush(_out);
}

void Progress::finish() {
  if (_barShown) std::fputc('\n', _out);
  _barShown = false;
}

}  // namespace Qx::Warp2dApp
