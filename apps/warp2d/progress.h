// What warp2d tells the person waiting: a progress bar on a terminal (frames
// and tiles, elapsed and remaining time), one plain line per frame when the
// output goes to a file or a pipe, nothing when asked to be quiet. Errors
// are not progress: they always go to stderr, whatever the mode.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace Qx::Warp2dApp {

class Progress {
 public:
  enum Mode { kQuiet, kLines, kBar };
  // kBar when `stream` is a terminal, else kLines; kQuiet when `quiet`.
  static Mode modeFor(std::FILE* stream, bool quiet);

  Progress(Mode mode, int frames, std::FILE* stream = stderr);
  void startFrame(int index, int frame);
  void tiles(int done, int total);
  void skipped(int frame, std::string const& path);
  void wrote(std::string const& what, std::string const& path);
  // Ends the bar's line so that what follows starts on its own.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  void drawBar();

  Mode _mode;
  int _frames;
  std::FILE* _out;
  Clock::time_point _start = Clock::now(), _frameStart = Clock::now(), _lastDraw;
  int _index = 0, _frame = 0, _done = 0, _total = 0;
  bool _barShown = false;
};

}  // namespace Qx::Warp2dApp
