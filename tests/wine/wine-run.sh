#!/bin/bash
# Runs one Windows program of the build under Wine, in the test environment
# the Windows tests expect. CMake uses it as the cross-compiling emulator, so
# ctest calls it once per test; everything it sets up is checked first and
# made only when missing, so a repeated call costs a few milliseconds.
#
# The test environment, all under $BRINVALE_WINE_ROOT (default
# /tmp/brinvale-wine-$UID):
#   prefix/  the Wine prefix, initialised once
#   home/    HOME for Wine (the prefix's Desktop and Documents point here)
#   run/     the serial line and the ioctl shim:
#            ttyGW <-> ttyCAT   a socat pty pair; Wine knows ttyGW as COM5
#                               (the gateway's end) and ttyCAT as COM6 (the
#                               terminal's end)
#            modem_shim.so      makes DTR/RTS calls succeed on the ptys
#            modem.log          DTR and RTS changes, one line each
#            unplugged          while present, a missing pty pair is not
#                               made again (a test has pulled the line out)
#   a wineserver kept alive for 600 s after its last client, so a test
#   starts in about 0.1 s instead of 1.2 s.
#
# Usage: wine-run.sh PROGRAM [ARGS...]   set up if needed, then run PROGRAM
#        wine-run.sh --prepare           set up only
# tests/wine/wine-stop.sh ends the server and the pty pair.
set -u

readonly here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly wine_loader=/usr/lib/wine/wine64
readonly wine_server=/usr/lib/wine/wineserver

readonly root=${BRINVALE_WINE_ROOT:-/tmp/brinvale-wine-$(id -u)}
readonly run=$root/run
readonly gateway_port=${BRINVALE_TEST_GATEWAY_PORT:-COM5}
readonly terminal_port=${BRINVALE_TEST_TERMINAL_PORT:-COM6}
readonly shim=$run/modem_shim.so

export WINEPREFIX=$root/prefix
export HOME=$root/home
export WINEARCH=win64
# Wine says nothing of its own unless BRINVALE_WINEDEBUG asks (a WINEDEBUG value).
export WINEDEBUG=${BRINVALE_WINEDEBUG:--all}
export BRINVALE_MODEM_LOG=${BRINVALE_MODEM_LOG:-$run/modem.log}

# A Korean Windows uses code page 949; Wine follows the Unix locale, and only a
# generated ko_KR.UTF-8 gives both that code page and intact Hangul.
if locale -a 2>/dev/null | grep -qiE '^ko_KR\.utf-?8$'; then
    export LANG=ko_KR.UTF-8
else
    export LANG=C.UTF-8
fi
unset LC_ALL

fail() {
    echo "wine-run.sh: $*" >&2
    exit 125
}

# True when the pid in file $1 is a live process named $2*. A process that
# ended but was never reaped (some containers' init does not reap) still
# answers kill -0, and a pid may have been reused; /proc tells both.
pid_alive() {
    local pid status
    pid=$(cat "$1" 2>/dev/null) && [ -n "$pid" ] || return 1
    status=$(cat "/proc/$pid/status" 2>/dev/null) || return 1
    [[ $status == Name:?"$2"* ]] && ! grep -q '^State:[[:space:]]*Z' <<<"$status"
}

wine_env() {
    LD_PRELOAD=$shim${LD_PRELOAD:+:$LD_PRELOAD} "$@"
}

ensure_shim() {
    local source=$here/modem_shim.c
    [ -f "$shim" ] && [ "$shim" -nt "$source" ] && return 0
    gcc -shared -fPIC -O2 -Wall -Wextra -o "$shim.tmp" "$source" -ldl \
        || fail "cannot build the modem shim"
    mv -f "$shim.tmp" "$shim"
    # A running server still has the old library loaded.
    stop_server
}

# A dead socat leaves its links dangling, so [ -e ] on both also tells whether
# the pair still exists.
ensure_pty_pair() {
    if pid_alive "$run/socat.pid" socat && [ -e "$run/ttyGW" ] && [ -e "$run/ttyCAT" ]; then
        return 0
    fi
    # A test has pulled the line out (brinvale_ui.unplug_line): it stays out
    # until the test plugs it back in.
    [ -e "$run/unplugged" ] && return 0
    if pid_alive "$run/socat.pid" socat; then
        kill "$(cat "$run/socat.pid")" 2>/dev/null
    fi
    rm -f "$run/ttyGW" "$run/ttyCAT" "$run/socat.pid"
    (
        exec setsid socat -d -d \
            "pty,raw,echo=0,link=$run/ttyGW" "pty,raw,echo=0,link=$run/ttyCAT" \
            </dev/null >"$run/socat.log" 2>&1 9>&-
    ) &
    echo $! >"$run/socat.pid"
    local i
    for i in $(seq 50); do
        [ -e "$run/ttyGW" ] && [ -e "$run/ttyCAT" ] && return 0
        sleep 0.05
    done
    fail "socat did not make the pty pair (see $run/socat.log)"
}

stop_server() {
    "$wine_server" -k 2>/dev/null
    "$wine_server" -w 2>/dev/null
    rm -f "$run/wineserver.pid"
}

ensure_prefix() {
    [ -f "$WINEPREFIX/.brinvale-ready" ] && return 0
    stop_server
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    WINEDLLOVERRIDES="mscoree,mshtml=" wine_env "$wine_loader" wineboot -i \
        </dev/null >"$run/wineboot.log" 2>&1 9>&- \
        || fail "wineboot failed (see $run/wineboot.log)"
    "$wine_server" -w
    touch "$WINEPREFIX/.brinvale-ready"
}

# Wine reads the Ports key when its server session starts, so a change needs
# one server restart; the mapping names the stable link paths, which stay valid
# when socat is restarted.
ensure_ports() {
    local wanted="$gateway_port=$run/ttyGW $terminal_port=$run/ttyCAT"
    [ "$(cat "$WINEPREFIX/.brinvale-ports" 2>/dev/null)" = "$wanted" ] && return 0
    local key='HKLM\Software\Wine\Ports'
    wine_env "$wine_loader" reg add "$key" /v "$gateway_port" /t REG_SZ /d "$run/ttyGW" /f \
        </dev/null >>"$run/wineboot.log" 2>&1 9>&- || fail "cannot map $gateway_port"
    wine_env "$wine_loader" reg add "$key" /v "$terminal_port" /t REG_SZ /d "$run/ttyCAT" /f \
        </dev/null >>"$run/wineboot.log" 2>&1 9>&- || fail "cannot map $terminal_port"
    stop_server
    echo "$wanted" >"$WINEPREFIX/.brinvale-ports"
}

ensure_server() {
    pid_alive "$run/wineserver.pid" wineserver && return 0
    # A server we did not start (or one whose -p time ran out mid-check) would
    # keep running without the shim; replace it.
    stop_server
    # The server opens the COM ports for every Wine process. As a session
    # leader it would make the first pty it opens its controlling terminal
    # (and get a hang-up when that pty goes away), so it runs in a session of
    # its own but as a child of that session's leader.
    LD_PRELOAD=$shim${LD_PRELOAD:+:$LD_PRELOAD} setsid sh -c \
        '"$1" -f -p600 </dev/null >"$2" 2>&1 & echo $! >"$3"' \
        sh "$wine_server" "$run/wineserver.log" "$run/wineserver.pid" 9>&-
    local i
    for i in $(seq 50); do
        pid_alive "$run/wineserver.pid" wineserver && break
        sleep 0.02
    done
    # The first program of a server session starts Wine's background services,
    # which keep that program's stdout and stderr open as long as the server
    # lives. Let that be this program, so a test's output pipe closes when the
    # test ends.
    wine_env "$wine_loader" wineboot </dev/null >>"$run/wineserver.log" 2>&1 9>&- \
        || fail "Wine does not start (see $run/wineserver.log)"
}

mkdir -p "$root" "$run" "$HOME" || fail "cannot create $root"
{
    flock 9 || fail "cannot lock $root/setup.lock"
    ensure_shim
    ensure_pty_pair
    ensure_prefix
    ensure_ports
    ensure_server
} 9>"$root/setup.lock"

# The test reads this to tell the gateway's line in modem.log.
BRINVALE_GATEWAY_TTY=$(readlink -f "$run/ttyGW")
export BRINVALE_GATEWAY_TTY

if [ "${1:-}" = "--prepare" ]; then
    exit 0
fi
[ $# -ge 1 ] || fail "usage: wine-run.sh PROGRAM [ARGS...] | --prepare"
export LD_PRELOAD=$shim${LD_PRELOAD:+:$LD_PRELOAD}
exec "$wine_loader" "$@"
