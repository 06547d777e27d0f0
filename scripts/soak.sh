#!/usr/bin/env bash
# Soak run (not part of CI): about ten minutes of rows published at about
# 500 a second while clients churn (connect and leave, reset, stall, send
# without pause) and two healthy readers check every message. Samples the
# relay's open descriptors and resident memory every 30 s; both must stay
# flat.
#
#   scripts/soak.sh [seconds] [build directory]     (default: 600 build/linux)
#
# Builds the Linux build first. Uses TCP port 6667 and the simulator's object
# names, so nothing else may be using them. Exits with status 1 when a reader
# saw a broken or missing message, or the relay ended, kept a descriptor of a
# client that had gone, or grew its memory.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
build=${2:-build/linux}
if [[ $build == build/linux && ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target telemetry-relay relay_fault_publisher \
  relay_soak_clients >/dev/null

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$build/relay_fault_publisher" 1 2000 >"$work/publisher.txt" 2>&1 &
pids+=($!)
sleep 1
"$build/telemetry-relay" >"$work/relay.txt" 2>&1 &
relay=$!
pids+=("$relay")
sleep 1

descriptors() { find "/proc/$relay/fd" -mindepth 1 -maxdepth 1 | wc -l; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$relay/status"; }
admitted() { grep -o ' connected' "$work/relay.txt" | wc -l || true; }
sample() { printf '%9s  %11s  %7s  %15s\n' "$1" "$2" "$3" "$(admitted)"; }

# What the relay holds with no client: the baseline its descriptors must
# return to once the clients are gone.
idle_fds=$(descriptors)
"$build/relay_soak_clients" "$seconds" >"$work/clients.txt" 2>&1 &
clients=$!
pids+=("$clients")

echo "elapsed_s  descriptors  rss_kib  clients_admitted"
sample 0 "$(descriptors)" "$(rss_kib)"
first_rss=
max_fds=0
max_rss=0
start=$SECONDS
next=30
while kill -0 "$clients" 2>/dev/null; do
  if ((SECONDS - start >= next)); then
    fds=$(descriptors)
    rss=$(rss_kib)
    sample "$next" "$fds" "$rss"
    # The first sample, after 30 s of churn, is the memory baseline.
    [[ -z $first_rss ]] && first_rss=$rss
    ((fds > max_fds)) && max_fds=$fds
    ((rss > max_rss)) && max_rss=$rss
    next=$((next + 30))
  fi
  sleep 1
done
status=0
wait "$clients" || status=$?
cat "$work/clients.txt"

# The clients are gone; the relay drops each at its next send.
sleep 2
final_fds=$(descriptors)
sample end "$final_fds" "$(rss_kib)"
if ! kill -0 "$relay" 2>/dev/null; then
  echo "soak: the relay ended"
  status=1
fi
echo "descriptors: $idle_fds with no client, at most $max_fds during the churn, $final_fds after it"
echo "resident memory: $first_rss KiB after 30 s, at most $max_rss KiB"
# Flat: every client's descriptor released, and memory within 1 MiB of the
# first sample.
if ((final_fds != idle_fds || max_rss > first_rss + 1024)); then
  echo "soak: descriptors or memory grew"
  status=1
fi
if ((status == 0)); then echo "soak: passed"; else echo "soak: FAILED"; fi
exit "$status"
