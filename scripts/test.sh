#!/usr/bin/env bash
# Builds and runs every test suite: the Linux build, the sanitizer build and
# the Windows build under Wine; then a short run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)

run_suite() {
  local preset=$1
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
}

run_suite linux
run_suite asan
run_suite windows-mingw
scripts/fuzz.sh
