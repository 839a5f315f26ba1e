#!/usr/bin/env bash
# Sets up and builds, then runs the main job: `warp2d demo` warps a built-in
# picture with a built-in scene and writes PNGs to look at.
#   scripts/demo.sh [DIR]      (default: warp2d-demo)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
dir="${1:-warp2d-demo}"
build/apps/warp2d/warp2d demo -o "$dir"
echo "Open $(cd "$dir" && pwd)/input.png, output.png and overlay.png to see the warp;"
echo "render the scene again with: build/apps/warp2d/warp2d render $dir/scene.json"
