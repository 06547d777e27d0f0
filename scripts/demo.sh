#!/usr/bin/env bash
# The relay at work without the simulator: builds telemetry-relay,
# sim-publisher, relay-web and relay-watch, then runs the publisher, the relay
# and relay-web (which reads the publisher as it reads the simulator, and
# serves the full dashboard to browsers at http://127.0.0.1:8667/) in the
# background, and the terminal dashboard on the relay in this terminal.
# Ctrl-C ends them all.
#
#   scripts/demo.sh [--no-build] [--ibt FILE] [--team] [BUILD_DIR]
#
# BUILD_DIR defaults to build/demo (a Release build without the tests, so it
# needs only CMake, a C++20 compiler, Boost and nlohmann/json; scripts/setup.sh
# installs them on Debian when they are missing). --no-build uses the
# executables already in BUILD_DIR. --ibt FILE replays that telemetry
# recording, over and over, instead of the simulated lap. --team also starts
# a local MQTT broker (Debian's mosquitto, on this machine only), relay-mqtt,
# which publishes relay-web's feed to it, and relay-log, which keeps the race
# log beside it (in BUILD_DIR/team/relay-log.sqlite), and prints the address
# of a teammate's view: the same dashboard, read through the broker. The
# background programs' output goes to BUILD_DIR/sim-publisher.log,
# BUILD_DIR/telemetry-relay.log and BUILD_DIR/relay-web.log (and with --team
# BUILD_DIR/team/mosquitto.log, relay-mqtt.log and relay-log.log).
set -euo pipefail

build=1
team=0
publisher_args=()
while (($#)); do
  case $1 in
    --no-build) build=0 ;;
    --team) team=1 ;;
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

targets=(telemetry-relay sim-publisher relay-web relay-watch)
if ((build)); then
  if ((team)); then
    scripts/setup.sh team
    # relay-mqtt embeds the browser's MQTT client from its pinned npm package.
    if [[ ! -f tools/relay-mqtt/node_modules/mqtt/dist/mqtt.min.js ]]; then
      npm ci --prefix tools/relay-mqtt --no-audit --no-fund
    fi
    targets+=(relay-mqtt relay-log)
  else
    scripts/setup.sh demo
  fi
  if [[ ! -f $dir/CMakeCache.txt ]]; then
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  fi
  ((team)) && cmake "$dir" -DRELAY_MQTT=ON >/dev/null
  cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"
fi

relay=$dir/telemetry-relay
publisher=$dir/sim-publisher
watch=$dir/relay-watch
web=$dir/relay-web
mqtt=$dir/relay-mqtt
racelog=$dir/relay-log
programs=("$relay" "$publisher" "$web" "$watch")
((team)) && programs+=("$mqtt" "$racelog")
for program in "${programs[@]}"; do
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

# The team link: a broker on this machine only (so it needs no logins), with
# plain MQTT for the bridge and a websockets listener that also serves the
# page relay-mqtt writes; and the bridge, with the variables the page shows.
broker_port=1884
view_port=9001
topic=demo/car46
if ((team)); then
  mkdir -p "$dir/team"
  team_dir=$(cd "$dir/team" && pwd)
  "$mqtt" --write-page "$team_dir/page" >"$team_dir/relay-mqtt.log" 2>&1
  # As root mosquitto would switch to its own user, which may not be able to
  # read the build folder; the demo's broker listens on this machine only.
  as_root=
  ((EUID == 0)) && as_root="user root"
  cat >"$team_dir/mosquitto.conf" <<CONF
$as_root
per_listener_settings false
allow_anonymous true
set_tcp_nodelay true
listener $broker_port 127.0.0.1
listener $view_port 127.0.0.1
protocol websockets
http_dir $team_dir/page
CONF
  # Debian puts the broker in /usr/sbin, which a user's PATH may lack.
  broker=$(command -v mosquitto || echo /usr/sbin/mosquitto)
  "$broker" -c "$team_dir/mosquitto.conf" >"$team_dir/mosquitto.log" 2>&1 &
  children+=($!)
  page_vars=Speed,LapDeltaToBestLap,LapDeltaToBestLap_OK,LapLastLapTime,LapBestLapTime
  page_vars+=,PlayerCarPosition,PlayerCarClassPosition,PlayerCarMyIncidentCount
  "$mqtt" --broker "mqtt://127.0.0.1:$broker_port" --topic "$topic" \
    --web "ws://127.0.0.1:8667/ws?vars=$page_vars" >>"$team_dir/relay-mqtt.log" 2>&1 &
  children+=($!)
  "$racelog" --broker "mqtt://127.0.0.1:$broker_port" --topic "${topic%/*}/+/lap" \
    --topic "${topic%/*}/+/pit" --db "$team_dir/relay-log.sqlite" >"$team_dir/relay-log.log" 2>&1 &
  children+=($!)
fi

# Any may fail at once: another publisher running, port 6667 or 8667 taken.
sleep 0.5
for pid in "${children[@]}"; do
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "demo: a background program stopped at start:" >&2
    cat "$dir/sim-publisher.log" "$dir/telemetry-relay.log" "$dir/relay-web.log" >&2
    ((team)) && cat "$dir/team/mosquitto.log" "$dir/team/relay-mqtt.log" "$dir/team/relay-log.log" >&2
    echo >&2
    exit 1
  fi
done

echo "The dashboard for browsers: http://127.0.0.1:8667/"
((team)) && echo "A teammate's view, through the broker: http://127.0.0.1:$view_port/?topic=$topic"
lan=$(hostname -I 2>/dev/null | awk '{print $1}') || true
[[ -n $lan ]] && echo "From a phone or tablet on this network: http://$lan:8667/"
read -rt 3 -p "Starting the terminal dashboard (Enter to start now) " || true

"$watch" || true
