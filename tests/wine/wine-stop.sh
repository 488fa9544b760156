#!/bin/bash
# Ends what tests/wine/wine-run.sh left running: the wineserver of the test
# prefix and the socat pty pair. The prefix itself stays for the next run.
# Anything else using the same $BRINVALE_WINE_ROOT at that moment loses its
# COM ports and its server, so call this only when the run is over.
set -u

readonly root=${BRINVALE_WINE_ROOT:-/tmp/brinvale-wine-$(id -u)}
readonly run=$root/run

[ -d "$root" ] || exit 0
export WINEPREFIX=$root/prefix

{
    flock 9
    if [ -d "$WINEPREFIX" ]; then
        /usr/lib/wine/wineserver -k 2>/dev/null
        /usr/lib/wine/wineserver -w 2>/dev/null
    fi
    rm -f "$run/wineserver.pid"
    # Only the socat this root started: the pid may have been reused since.
    pid=$(cat "$run/socat.pid" 2>/dev/null)
    if [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = socat ]; then
        kill "$pid" 2>/dev/null
    fi
    rm -f "$run/socat.pid"
    rm -f "$run/ttyGW" "$run/ttyCAT" "$run/modem.log"
} 9>"$root/setup.lock"
exit 0
