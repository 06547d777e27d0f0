#!/usr/bin/env bash
# The relay at work without the simulator: builds telemetry-relay,
# sim-publisher and relay-watch, then runs the publisher and the relay in the
# background and the dashboard in this terminal. Ctrl-C ends all three.
#
#   scripts/demo.sh [--no-build] [BUILD_DIR]
#
# BUILD_DIR defaults to build/demo (a Release build without the tests, so it
# needs only CMake and a C++20 compiler; scripts/setup.sh installs them on
# Debian when they are missing). --no-build uses the executables
# already in BUILD_DIR. The publisher's and the relay's output go to
# BUILD_DIR/sim-publisher.log and BUILD_DIR/telemetry-relay.log.
set -euo pipefail
cd "$(dirname "$0")/.."

build=1
if [[ ${1:-} == --no-build ]]; then
  build=0
  shift
fi
dir=${1:-build/demo}

if ((build)); then
  scripts/setup.sh demo
  if [[ ! -f $dir/CMakeCache.txt ]]; then
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  fi
  cmake --build "$dir" -j "$(nproc)" --target telemetry-relay sim-publisher relay-watch
fi

relay=$dir/telemetry-relay
publisher=$dir/tools/sim-publisher
watch=$dir/tools/relay-watch
for program in "$relay" "$publisher" "$watch"; do
  [[ -x $program ]] || { echo "demo: $program is missing; build it first" >&2; exit 1; }
done

children=()
cleanup() {
  trap - EXIT INT TERM
  # The background jobs ignore Ctrl-C (bash starts them that way when job
  # control is off), so they are told to stop here. The publisher clears its
  # status bit on the way out.
  if ((${#children[@]})); then
    kill -TERM "${children[@]}" 2>/dev/null || true
    wait "${children[@]}" 2>/dev/null || true
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$publisher" >"$dir/sim-publisher.log" 2>&1 &
children+=($!)
"$relay" >"$dir/telemetry-relay.log" 2>&1 &
children+=($!)

# Either may fail at once: another publisher running, or port 6667 taken.
sleep 0.5
for pid in "${children[@]}"; do
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "demo: a background program stopped at start:" >&2
    cat "$dir/sim-publisher.log" "$dir/telemetry-relay.log" >&2
    echo >&2
    exit 1
  fi
done

"$watch" || true
