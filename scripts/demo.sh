#!/usr/bin/env bash
# The relay at work without the simulator: builds telemetry-relay,
# sim-publisher, relay-web and relay-watch, then runs the publisher, the relay
# and relay-web (which reads the publisher as it reads the simulator, and
# serves the full dashboard to browsers at http://127.0.0.1:8667/) in the
# background, and the terminal dashboard on the relay in this terminal.
# Ctrl-C ends them all.
#
#   scripts/demo.sh [--no-build] [--ibt FILE] [BUILD_DIR]
#
# BUILD_DIR defaults to build/demo (a Release build without the tests, so it
# needs only CMake, a C++20 compiler, Boost and nlohmann/json; scripts/setup.sh
# installs them on Debian when they are missing). --no-build uses the
# executables already in BUILD_DIR. --ibt FILE replays that telemetry
# recording, over and over, instead of the simulated lap. The background
# programs' output goes to BUILD_DIR/sim-publisher.log,
# BUILD_DIR/telemetry-relay.log and BUILD_DIR/relay-web.log.
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
  cmake --build "$dir" -j "$(nproc)" --target telemetry-relay sim-publisher relay-web relay-watch
fi

relay=$dir/telemetry-relay
publisher=$dir/sim-publisher
watch=$dir/relay-watch
web=$dir/relay-web
for program in "$relay" "$publisher" "$web" "$watch"; do
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
"$web" >"$dir/relay-web.log" 2>&1 &
children+=($!)

# Any may fail at once: another publisher running, port 6667 or 8667 taken.
sleep 0.5
for pid in "${children[@]}"; do
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "demo: a background program stopped at start:" >&2
    cat "$dir/sim-publisher.log" "$dir/telemetry-relay.log" "$dir/relay-web.log" >&2
    echo >&2
    exit 1
  fi
done

echo "The dashboard for browsers: http://127.0.0.1:8667/"
lan=$(hostname -I 2>/dev/null | awk '{print $1}') || true
[[ -n $lan ]] && echo "From a phone or tablet on this network: http://$lan:8667/"
read -rt 3 -p "Starting the terminal dashboard (Enter to start now) " || true

"$watch" || true
