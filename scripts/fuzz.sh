#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang and runs each one for a
# bounded time, starting from its committed seed corpus. A crash, a sanitizer
# report, a failed check or an input that takes over 10 s stops the script;
# the input that did it is saved under build/fuzz/artifacts/.
#
#   scripts/fuzz.sh          the CI smoke: 20 seconds per target
#   scripts/fuzz.sh 3600     a longer run: an hour per target
#
# What the fuzzers learn is kept in build/fuzz/corpus/, so a later run goes
# on from there; the committed seeds are never modified.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
build=build/fuzz
targets=(query car_facts region messages recording framer web_feed mqtt_codec)

cmake -S . -B "$build" -DRELAY_FUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/%/_fuzz}"

mkdir -p "$build/artifacts"
for target in "${targets[@]}"; do
  echo "=== ${target}_fuzz, ${seconds} s ==="
  mkdir -p "$build/corpus/$target"
  log="$build/$target.log"
  if ! "$build/${target}_fuzz" "$build/corpus/$target" "fuzz/corpus/$target" \
    -max_total_time="$seconds" -timeout=10 -artifact_prefix="$build/artifacts/$target-" \
    -print_final_stats=1 >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "${target}_fuzz failed; the input is in $build/artifacts/" >&2
    exit 1
  fi
  grep -m 1 -E '^Done|stat::number_of_executed_units' "$log" || true
done
