#!/usr/bin/env bash
# Sets up (packages, configure, build) and runs the whole test suite.
#   scripts/test.sh [--sanitize]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh "$@"
build_dir=build
for a in "$@"; do [ "$a" = --sanitize ] && build_dir=build-asan; done
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)"
