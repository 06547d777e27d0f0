#!/bin/sh
# Runs a Windows program under Wine for CTest: wine-run.sh program.exe [args]
#
# WINEPREFIX names a throwaway prefix (the cross build passes one inside its
# build directory). The first run creates it with `wineboot -i`, which takes
# tens of seconds; a lock file keeps test programs started at the same time
# from creating it twice, and the others wait for it.
set -eu

: "${WINEPREFIX:?set WINEPREFIX to the throwaway Wine prefix to use}"
export WINEPREFIX
export WINEDEBUG=-all
# No Mono or Gecko: the install prompts for them would stall a headless run.
export WINEDLLOVERRIDES="mscoree,mshtml="

if [ ! -f "$WINEPREFIX/.ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.ready" ]; then
      wineboot -i >/dev/null 2>&1
      # Let the server write the new registry out before anyone uses it.
      wineserver -w
      touch "$WINEPREFIX/.ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi

# The prefix's server and its system processes (services.exe and the rest)
# are started here, with no output, and the server kept for a minute after
# the last program ends. Otherwise the first test program to start them
# hands them its output, and CTest, which waits for a test's output to end,
# waits as long as they live: for ever, when a server ends before they do.
wineserver -p60 </dev/null >/dev/null 2>&1 || true
wine wineboot </dev/null >/dev/null 2>&1 || true

exec wine "$@"
