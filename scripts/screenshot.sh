#!/usr/bin/env bash
# Makes the README's pictures of the dashboard: builds what the browser test
# needs and runs it, which keeps its screenshots as
# docs/dashboard-portrait.png and docs/dashboard-landscape.png (a phone either
# way up, relay-web reading sim-publisher's simulated car after its first
# green lap), docs/dashboard-standings.png (the phone's Standings tab),
# docs/dashboard-desktop.png (a desktop screen, the Relative and the
# Standings beside the dashboard) and docs/dashboard-team.png (a teammate's
# view of the same, through relay-mqtt and a mosquitto broker).
#
#   scripts/screenshot.sh
#
# Needs what the browser test needs: node 20 or later, npm, Debian's chromium
# and mosquitto. Like the other process tests it uses ports 6667 and 8667 and the
# simulator's object names, so nothing else of the kind may run meanwhile; on
# a shared machine give it a private network and /dev/shm (as root):
#   unshare -mn sh -c 'mount -t tmpfs tmpfs /dev/shm; ip link set lo up; scripts/screenshot.sh'
set -euo pipefail
cd "$(dirname "$0")/.."

# Install the pinned playwright-core once (a private network has no registry),
# and the npm package relay-mqtt embeds, which the linux preset's configure
# step wants.
if [[ ! -f tests/browser/node_modules/playwright-core/package.json ]]; then
  npm ci --prefix tests/browser --no-audit --no-fund
fi
if [[ ! -f tools/relay-mqtt/node_modules/mqtt/dist/mqtt.min.js ]]; then
  npm ci --prefix tools/relay-mqtt --no-audit --no-fund
fi
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target telemetry-relay sim-publisher relay-web relay-mqtt
mkdir -p docs
DASHBOARD_DOCS_DIR=$PWD/docs ctest --preset linux -R '^dashboard_browser_test$'
ls -l docs/dashboard-{portrait,landscape,standings,desktop,team}.png
