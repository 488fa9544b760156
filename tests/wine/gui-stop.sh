#!/bin/bash
# Ends what tests/wine/gui-session.sh started: the compositor, the window
# manager and the X server. Wine's server, the pty pair and the prefix (with
# its font link) stay; tests/wine/wine-stop.sh ends the first two.
set -u

readonly root=${BRINVALE_WINE_ROOT:-/tmp/brinvale-wine-$(id -u)}
readonly run=$root/run

[ -d "$run" ] || exit 0

# NAME: the pid file run/NAME.pid and the program it must still be running
# (a pid reused by another program is left alone).
stop_pid_file() {
    local file=$run/$1.pid program=$2 pid i
    pid=$(cat "$file" 2>/dev/null)
    if [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$program" ] \
        && kill "$pid" 2>/dev/null; then
        for i in $(seq 40); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.05
        done
    fi
    rm -f "$file"
}

{
    flock 8
    stop_pid_file xcompmgr xcompmgr
    stop_pid_file openbox openbox
    stop_pid_file xvfb Xvfb
    rm -f "$run/gui-display" "$run/gui.env"
} 8>"$root/gui.lock"
exit 0
