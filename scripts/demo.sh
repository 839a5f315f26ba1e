#!/usr/bin/env bash
# Sets up and runs the main job on its built-in default.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec build/apps/demo/warp2dDemo "$@"
