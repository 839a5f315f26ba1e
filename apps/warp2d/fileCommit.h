// Whole files or none: every image warp2d writes goes to a temporary name in
// the target's folder and is renamed over the target only once complete.
// Both image writers use this (the PNG writer in warp2d itself and the
// OpenImageIO writer in its loadable module), so the rule lives here once.
#pragma once

#include <functional>
#include <string>

namespace Qx::Warp2dApp {

// The folder-local temporary name a write of `path` goes to.
std::string temporaryPathFor(std::string const& path);

// Makes the target's missing folders, calls `write` with the temporary name
// and renames the result over `path`. `write` returns an empty string on
// success, else the reason it failed. On failure the temporary file is
// removed, the target is untouched and ImageIOError(path, "cannot be written
// (reason)") is thrown.
void writeWhole(std::string const& path, std::function<std::string(std::string const& temp)> const& write);

}  // namespace Qx::Warp2dApp
