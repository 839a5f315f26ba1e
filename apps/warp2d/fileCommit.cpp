// Temporary names and the rename that makes a written image appear whole.
#include "fileCommit.h"

#include <unistd.h>

#include <filesystem>

#include "imageIO.h"

namespace Qx::Warp2dApp {

namespace fs = std::filesystem;

std::string temporaryPathFor(std::string const& path) {
  fs::path const p(path);
  // The extension stays last so that a reader of the folder sees what it is;
  // the leading dot and the process id keep it out of the way of sequences
  // and of other renders into the same folder.
  std::string name(".");
  name.append(p.stem().string()).append(".tmp").append(std::to_string(::getpid())).append(p.extension().string());
  return (p.parent_path() / name).string();
}

void writeWhole(std::string const& path, std::function<std::string(std::string const& temp)> const& write) {
  std::error_code ec;
  fs::path const target(path);
  if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
  std::string const temp = temporaryPathFor(path);
  std::string reason;
  try {
    reason = write(temp);
  } catch (...) {
    fs::remove(temp, ec);
    throw;
  }
  if (reason.empty()) {
    fs::rename(temp, target, ec);
    if (!ec) return;
    reason = ec.message();
  }
  fs::remove(temp, ec);
  throw ImageIOError(path, "cannot be written (" + reason + ")");
}

}  // namespace Qx::Warp2dApp
