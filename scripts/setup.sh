#!/usr/bin/env bash
# Installs the Debian packages that the demo or the test suites need, and
# only those that are missing, so a machine that has them all needs neither
# root nor sudo.
#
#   scripts/setup.sh demo    what scripts/demo.sh builds and runs with
#   scripts/setup.sh team    the same, what its --team adds (relay-mqtt and
#                            a broker), and what relay-log builds with
#   scripts/setup.sh test    what scripts/test.sh builds and runs with
#
# As root it runs apt-get itself; otherwise it asks sudo. scripts/demo.sh and
# scripts/test.sh call it first, so it rarely needs running by hand.
set -euo pipefail

demo_packages=(cmake make g++ libboost-dev nlohmann-json3-dev)
team_packages=("${demo_packages[@]}" libmosquitto-dev libssl-dev libsqlite3-dev mosquitto)
test_packages=("${team_packages[@]}" clang-14 libclang-rt-14-dev googletest
  g++-mingw-w64-x86-64-posix wine wine64 unzip tmux procps chromium openssl)

case ${1:-} in
  demo) wanted=("${demo_packages[@]}") ;;
  team | test)
    if [[ $1 == team ]]; then
      wanted=("${team_packages[@]}")
    else
      wanted=("${test_packages[@]}")
    fi
    # The browser test and relay-mqtt's page need Node.js 20 or later with
    # npm; a machine that has its own keeps it.
    if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
      wanted+=(nodejs npm)
    fi
    ;;
  *)
    echo "usage: scripts/setup.sh demo|team|test" >&2
    exit 2
    ;;
esac

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$package")
  fi
done
((${#missing[@]} == 0)) && exit 0

if ! command -v apt-get >/dev/null; then
  echo "setup: install these packages (Debian names) first: ${missing[*]}" >&2
  exit 1
fi
if ((EUID == 0)); then
  as_root=()
elif command -v sudo >/dev/null; then
  as_root=(sudo)
else
  echo "setup: missing packages and neither root nor sudo to install them: ${missing[*]}" >&2
  exit 1
fi

echo "setup: installing ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends "${missing[@]}"
