#!/usr/bin/env bash
# Installs what the build needs (Debian packages), then configures and builds.
#   scripts/setup.sh [--sanitize] [--build-dir DIR]
# --sanitize builds with AddressSanitizer + UndefinedBehaviorSanitizer into
# build-asan (unless --build-dir says otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=OFF
build_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize=ON ;;
    --build-dir) build_dir="$2"; shift ;;
    *) echo "setup.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
[ -n "$build_dir" ] || { [ "$sanitize" = ON ] && build_dir=build-asan || build_dir=build; }

packages=(cmake make g++ libgtest-dev libbenchmark-dev nlohmann-json3-dev libeigen3-dev libexpat1-dev
  libcli11-dev libpng-dev libopenimageio-dev openimageio-tools hyperfine libcpp-httplib-dev chromium)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi

# The sanitizer build is for the tests; timing benchmarks under it says nothing.
build_type=Release
benchmarks=ON
if [ "$sanitize" = ON ]; then build_type=RelWithDebInfo; benchmarks=OFF; fi
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="$build_type" -DWARP2D_SANITIZE="$sanitize" -DWARP2D_WERROR=ON \
  -DWARP2D_BUILD_BENCHMARKS="$benchmarks" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
