#!/usr/bin/env bash
# The relay at work without the simulator: builds telemetry-relay,
# sim-publisher and relay-watch, then runs the publisher and the relay in the
# background and the dashboard in this terminal. Ctrl-C ends all three.
#
#   scripts/demo.sh [--no-build] [--ibt FILE] [BUILD_DIR]
#
# BUILD_DIR defaults to build/demo (a Release build without the tests, so it
# needs only CMake and a C++20 compiler; scripts/setup.sh installs them on
# Debian when they are missing). --no-build uses the executables already in
# BUILD_DIR. --ibt FILE replays that telemetry recording, over and over,
# instead of the simulated lap. The publisher's and the relay's output go to
# BUILD_DIR/sim-publisher.log and BUILD_DIR/telemetry-relay.log.
set -euo pipefail

build=1
publisher_args=()
while (($#)); do
  case $1 in
    --no-build) build=0 ;;
    --ibt)
      [[ $# -ge 2 ]] || { echo "demo: --ibt needs a FILE" >&2; exit 2; }
      file=$2
      # The script works from the repository's root; keep the path valid there.
      [[ $file == /* ]] || file=$PWD/$file
      publisher_args=(--ibt "$file" --loop)
      shift
      ;;
    *) break ;;
  esac
  shift
done
cd "$(dirname "$0")/.."
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

"$publisher" "${publisher_args[@]}" >"$dir/sim-publisher.log" 2>&1 &
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
