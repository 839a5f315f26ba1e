#!/usr/bin/env bash
# Runs the editor's browser tests (editor.test.mjs) in headless Chromium.
#   run.sh PATH/TO/warp2d
# Installs what is missing: Chromium, Node.js and npm from Debian's packages,
# playwright-core from the npm registry (no browser download: it drives
# Debian's Chromium).
set -euo pipefail
warp2d=$(realpath "${1:?usage: run.sh PATH/TO/warp2d}")
cd "$(dirname "$0")"
need=()
command -v chromium >/dev/null || need+=(chromium)
command -v node >/dev/null || need+=(nodejs)
command -v npm >/dev/null || need+=(npm)
if [ ${#need[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${need[@]}"
fi
[ -d node_modules/playwright-core ] || npm ci --no-audit --no-fund --loglevel=error
WARP2D="$warp2d" CHROMIUM="$(command -v chromium)" node --test --test-concurrency=1 editor.test.mjs
