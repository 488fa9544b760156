#!/bin/bash
# Starts what the window tests need on top of wine-run.sh's environment:
#   - an X server (Xvfb, 1280x800x24) on a free display, :77 or the next free
#   - openbox, so windows get frames and captions as on a desktop
#   - xcompmgr when installed, so layered-window alpha is drawn
#   - a font link that gives Tahoma ("MS Shell Dlg" in Wine) the Hangul of
#     NanumGothic; without it Korean texts show as boxes
# Everything is checked first and started only when missing, so a repeated
# call costs a few milliseconds. tests/wine/gui-stop.sh ends what it started.
#
# Prints `export DISPLAY=:NN` (for eval) and writes the same line to
# $BRINVALE_WINE_ROOT/run/gui.env, which tests can source.
#
# Wine's desktop takes its X display from the first window-using program of a
# server session. When that program had no working display (a dead or
# different one), the whole session runs on Wine's null display driver:
# 1024x768 whatever the X screen. So a desktop process of this prefix that
# runs on another display, or on none, makes the script restart the Wine
# server (which ends the session's Windows programs). `--restart-wine` forces
# that restart, for a caller that found the screen size wrong.
#
# Environment: BRINVALE_GUI_SIZE (default 1280x800x24),
#              BRINVALE_GUI_COMPOSITOR=0 leaves xcompmgr out,
#              BRINVALE_GUI_DISPLAY=:N uses that (running) display instead
#              of an Xvfb of our own, with its own window manager.
set -u

readonly here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly root=${BRINVALE_WINE_ROOT:-/tmp/brinvale-wine-$(id -u)}
readonly run=$root/run
readonly screen_size=${BRINVALE_GUI_SIZE:-1280x800x24}
readonly first_display=77

readonly font_dir=/usr/share/fonts/truetype/nanum
readonly font_file=NanumGothic.ttf
readonly font_link_key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
readonly font_link_value="$font_file,NanumGothic"

fail() {
    echo "gui-session.sh: $*" >&2
    exit 1
}

pid_alive() {
    local pid
    pid=$(cat "$1" 2>/dev/null) && [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null
}

# Runs a daemon in its own session with its output in run/NAME.log and its pid
# in run/NAME.pid. Fd 8 (our lock) must not stay open in it.
start_daemon() {
    local name=$1
    shift
    (
        exec setsid "$@" </dev/null >"$run/$name.log" 2>&1 8>&-
    ) &
    echo $! >"$run/$name.pid"
}

display_works() {
    DISPLAY=:$1 xdotool getdisplaygeometry >/dev/null 2>&1
}

ensure_xvfb() {
    if [ -n "${BRINVALE_GUI_DISPLAY:-}" ]; then
        display=${BRINVALE_GUI_DISPLAY#:}
        display_works "$display" || fail "display :$display does not answer"
        return 0
    fi
    local number
    number=$(cat "$run/gui-display" 2>/dev/null)
    if [ -n "$number" ] && pid_alive "$run/xvfb.pid" && display_works "$number"; then
        display=$number
        return 0
    fi
    if pid_alive "$run/xvfb.pid"; then
        kill "$(cat "$run/xvfb.pid")" 2>/dev/null
    fi
    rm -f "$run/xvfb.pid" "$run/gui-display"
    # A lock file or socket left by any X server marks its display as taken.
    number=$first_display
    while [ -e "/tmp/.X$number-lock" ] || [ -e "/tmp/.X11-unix/X$number" ]; do
        number=$((number + 1))
        [ "$number" -lt $((first_display + 50)) ] || fail "no free X display from :$first_display on"
    done
    # -noreset: by default the server starts afresh when its last client
    # leaves, and refuses whoever connects meanwhile (the window manager
    # right after our check below).
    start_daemon xvfb Xvfb ":$number" -screen 0 "$screen_size" -nolisten tcp -ac -noreset +extension Composite
    local i
    for i in $(seq 100); do
        if display_works "$number"; then
            echo "$number" >"$run/gui-display"
            display=$number
            return 0
        fi
        pid_alive "$run/xvfb.pid" || break
        sleep 0.05
    done
    fail "Xvfb did not start on :$number (see $run/xvfb.log)"
}

ensure_window_manager() {
    [ -n "${BRINVALE_GUI_DISPLAY:-}" ] && return 0
    pid_alive "$run/openbox.pid" && return 0
    # openbox keeps its own settings under HOME; the test home keeps them out
    # of the real one.
    HOME=$root/home DISPLAY=:$display start_daemon openbox openbox --sm-disable
    if ! command -v xprop >/dev/null; then
        sleep 0.5  # no way to ask; openbox takes a display in well under that
        return 0
    fi
    local i
    for i in $(seq 100); do
        # A running window manager names itself on the root window.
        DISPLAY=:$display xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' \
            && return 0
        pid_alive "$run/openbox.pid" || fail "openbox ended (see $run/openbox.log)"
        sleep 0.05
    done
    fail "openbox did not take the display (see $run/openbox.log)"
}

ensure_compositor() {
    [ -n "${BRINVALE_GUI_DISPLAY:-}" ] && return 0
    [ "${BRINVALE_GUI_COMPOSITOR:-1}" = 0 ] && return 0
    command -v xcompmgr >/dev/null || return 0
    pid_alive "$run/xcompmgr.pid" && return 0
    DISPLAY=:$display start_daemon xcompmgr xcompmgr
}

restart_wine() {
    WINEPREFIX=$root/prefix /usr/lib/wine/wineserver -k 2>/dev/null
    WINEPREFIX=$root/prefix /usr/lib/wine/wineserver -w 2>/dev/null
}

# The DISPLAY of each desktop process (explorer.exe) of this prefix, one a
# line, "none" for one without.
desktop_displays() {
    local pid environ
    for pid in $(pgrep -f 'explorer\.exe' 2>/dev/null); do
        environ=$( { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null) || continue
        grep -qx "WINEPREFIX=$root/prefix" <<<"$environ" || continue
        grep -m1 '^DISPLAY=' <<<"$environ" | cut -d= -f2- | grep . || echo none
    done
}

ensure_desktop_display() {
    local other
    other=$(desktop_displays | grep -vx ":$display" | head -n1)
    if [ -n "$other" ] || [ "$force_restart" = 1 ]; then
        echo "gui-session.sh: restarting the Wine server${other:+ (its desktop ran on display $other, not :$display)}" >&2
        restart_wine
    fi
}

# Wine reads the font link when its server session starts, so a change needs
# one server restart (wine-run.sh starts the next one with its shim). The
# marker lives in the prefix: a new prefix gets the link again.
ensure_font_link() {
    local prefix=$root/prefix
    local marker=$prefix/.brinvale-fontlink
    [ "$(cat "$marker" 2>/dev/null)" = "$font_link_value" ] && return 0
    [ -f "$font_dir/$font_file" ] || fail "$font_dir/$font_file is missing (package fonts-nanum)"
    "$here/wine-run.sh" reg add "$font_link_key" /v Tahoma /t REG_MULTI_SZ \
        /d "$font_link_value" /f </dev/null >>"$run/gui-setup.log" 2>&1 8>&- \
        || fail "cannot write the font link (see $run/gui-setup.log)"
    restart_wine
    echo "$font_link_value" >"$marker"
}

force_restart=0
case "${1:-}" in
    "") ;;
    --restart-wine) force_restart=1 ;;
    *) fail "usage: gui-session.sh [--restart-wine]" ;;
esac

mkdir -p "$run" || fail "cannot create $run"
display=
{
    flock 8 || fail "cannot lock $root/gui.lock"
    "$here/wine-run.sh" --prepare </dev/null 8>&- || fail "wine-run.sh --prepare failed"
    ensure_font_link
    ensure_xvfb
    ensure_window_manager
    ensure_compositor
    ensure_desktop_display
    # Brings the server back (with the shim) after the font link's restart.
    # Its first program starts Wine's desktop, which keeps the display it
    # finds for the whole server session: it must be the test display.
    DISPLAY=:$display "$here/wine-run.sh" --prepare </dev/null 8>&- || fail "wine-run.sh --prepare failed"
    echo "export DISPLAY=:$display" >"$run/gui.env"
} 8>"$root/gui.lock"

cat "$run/gui.env"
