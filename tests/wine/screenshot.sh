#!/bin/bash
# Saves a PNG of the test display that tests/wine/gui-session.sh started.
#
# Usage: screenshot.sh OUT.png                  the whole screen
#        screenshot.sh OUT.png CAPTION          one window with its frame: the
#                                               first shown window titled CAPTION
#        screenshot.sh OUT.png --rect L T R B   a screen rectangle, such as
#                                               `uidriver rect CAPTION` prints
#                                               (use it when several windows
#                                               share a caption)
# The display is the one in $BRINVALE_WINE_ROOT/run/gui.env, else $DISPLAY.
set -u

readonly root=${BRINVALE_WINE_ROOT:-/tmp/brinvale-wine-$(id -u)}

fail() {
    echo "screenshot.sh: $*" >&2
    exit 1
}

usage() {
    fail "usage: screenshot.sh OUT.png [CAPTION | --rect LEFT TOP RIGHT BOTTOM]"
}

[ $# -ge 1 ] || usage
out=$1
shift

if [ -f "$root/run/gui.env" ]; then
    # shellcheck source=/dev/null
    . "$root/run/gui.env"
fi
[ -n "${DISPLAY:-}" ] || fail "no display: run tests/wine/gui-session.sh first"
export DISPLAY

# Crops the screen to the rectangle LEFT TOP RIGHT BOTTOM, clipped to the
# screen.
shoot_rect() {
    local left=$1 top=$2 right=$3 bottom=$4 width height
    read -r width height < <(xdotool getdisplaygeometry) || fail "cannot read the screen size"
    ((left < 0)) && left=0
    ((top < 0)) && top=0
    ((right > width)) && right=$width
    ((bottom > height)) && bottom=$height
    ((right > left && bottom > top)) || fail "the rectangle lies off the screen"
    import -window root -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "$out" \
        || fail "import failed"
}

# The frame of a window: its own area grown by the frame extents the window
# manager reports.
shoot_window() {
    local caption=$1 pattern id info x y w h extents fl=0 fr=0 ft=0 fb=0
    pattern="^$(sed 's/[][\\.*^$(){}?+|/]/\\&/g' <<<"$caption")\$"
    id=$(xdotool search --onlyvisible --name "$pattern" 2>/dev/null | head -n1)
    [ -n "$id" ] || fail "no shown window titled \"$caption\""
    info=$(xwininfo -id "$id") || fail "xwininfo failed"
    x=$(awk -F: '/Absolute upper-left X/ {print $2 + 0}' <<<"$info")
    y=$(awk -F: '/Absolute upper-left Y/ {print $2 + 0}' <<<"$info")
    w=$(awk -F: '/^ *Width/ {print $2 + 0}' <<<"$info")
    h=$(awk -F: '/^ *Height/ {print $2 + 0}' <<<"$info")
    extents=$(xprop -id "$id" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.*= *//p')
    if [ -n "$extents" ]; then
        IFS=', ' read -r fl fr ft fb <<<"$extents"
    fi
    shoot_rect "$((x - fl))" "$((y - ft))" "$((x + w + fr))" "$((y + h + fb))"
}

case $# in
    0) import -window root "$out" || fail "import failed" ;;
    1) shoot_window "$1" ;;
    5)
        [ "$1" = --rect ] || usage
        shoot_rect "$2" "$3" "$4" "$5"
        ;;
    *) usage ;;
esac
