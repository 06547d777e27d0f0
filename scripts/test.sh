#!/usr/bin/env bash
# Installs what the suites need (scripts/setup.sh), then builds and runs
# every test suite: the Linux build (with the dashboard in chromium), the same
# suite under AddressSanitizer and UndefinedBehaviorSanitizer, the Windows
# build under Wine (and its release zip), and a short run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh test

jobs=$(nproc)
passed=0

run_suite() {
  local preset=$1
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
  passed=$((passed + 1))
}

check_release_zip() {
  echo "=== windows release zip ==="
  cmake --build --preset windows-mingw --target package
  local version zip
  version=$(sed -n 's/^project(telemetry-relay VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
  zip=build/windows/telemetry-relay-$version-windows-x64.zip
  # Read the whole listing before matching: `unzip -l | grep -q` fails under
  # pipefail when grep stops reading early and unzip dies of SIGPIPE.
  local listing
  listing=$(unzip -l "$zip")
  local file
  for file in telemetry-relay.exe relay-web.exe relay-watch.exe sim-publisher.exe relay-mqtt.exe \
    README.md; do
    grep -q " $file\$" <<<"$listing" || { echo "$zip lacks $file" >&2; exit 1; }
  done
  echo "$zip holds telemetry-relay.exe, relay-web.exe, relay-watch.exe, sim-publisher.exe," \
    "relay-mqtt.exe and README.md"
  passed=$((passed + 1))
}

# The linux preset includes the dashboard's browser test, which needs the
# pinned playwright-core (it drives Debian's chromium; nothing is downloaded
# but the package), and relay-mqtt, which embeds the pinned npm package
# mqtt's browser build.
npm ci --prefix tests/browser --no-audit --no-fund
npm ci --prefix tools/relay-mqtt --no-audit --no-fund
run_suite linux
run_suite asan
run_suite windows-mingw
check_release_zip
scripts/fuzz.sh
passed=$((passed + 1))

# Each step above stops the script on its first failure.
echo "suites: $passed passed, 0 failed"
