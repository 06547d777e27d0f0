#!/usr/bin/env bash
# Builds and runs every test suite: the Linux build, the sanitizer build and
# the Windows build under Wine.
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

echo "=== windows release zip ==="
cmake --build --preset windows-mingw --target package
zip=build/windows/telemetry-relay-$(sed -n 's/^project(telemetry-relay VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)-windows-x64.zip
unzip -l "$zip" | grep -q ' telemetry-relay.exe$'
unzip -l "$zip" | grep -q ' README.md$'
echo "$zip holds telemetry-relay.exe and README.md"
