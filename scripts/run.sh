#!/usr/bin/env bash
# The run command: installs what is missing, builds the gateway and starts it.
#
#   scripts/run.sh                   OstrelBrinvale.exe under Wine with a simulated
#                                    card terminal and VAN: a whole payment to
#                                    watch in the status window
#   scripts/run.sh DEVICE [SPEED]    OstrelBrinvale.exe under Wine relaying for
#                                    real: DEVICE (e.g. /dev/ttyUSB0) is COM3
#   scripts/run.sh --relay [DEVICE [SPEED]]
#                                    the headless Linux gateway, brinvale-relay;
#                                    without DEVICE its own simulated payment
#
# With no X display (a server, CI) the program runs on Xvfb and a screenshot
# is saved to build/run/screenshot.png. The program, its settings and its
# CATLOG live in C:\OSBRIN of the Wine prefix /tmp/brinvale-run-UID.
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD

scripts/install-deps.sh
if [[ ${1:-} == --relay ]]; then
    shift
    exec scripts/relay-demo.sh "$@"
fi

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target OstrelBrinvale uidriver >/dev/null
exe=$source/build/windows/OstrelBrinvale.exe
uidriver=$source/build/windows/tools/uidriver/uidriver.exe

# A Wine environment of its own, apart from the tests'.
export BRINVALE_WINE_ROOT=/tmp/brinvale-run-$(id -u)
headless=1
if [[ -n ${DISPLAY:-} ]] && xdotool getdisplaygeometry >/dev/null 2>&1; then
    export BRINVALE_GUI_DISPLAY=$DISPLAY
    headless=0
fi
eval "$(tests/wine/gui-session.sh)"
wine=tests/wine/wine-run.sh
ui() { "$wine" "$uidriver" "$@"; }

# The program runs from its install folder, C:\OSBRIN of the prefix: started
# anywhere else it would install itself there and end.
folder=$BRINVALE_WINE_ROOT/prefix/drive_c/OSBRIN
shots=$source/build/run
mkdir -p "$folder" "$shots"
cp "$exe" "$folder/OstrelBrinvale.exe"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    if ((headless)); then
        ui kill-process OstrelBrinvale.exe >/dev/null 2>&1 || true
        tests/wine/gui-stop.sh >/dev/null 2>&1 || true
        tests/wine/wine-stop.sh >/dev/null 2>&1 || true
    fi
}
trap cleanup EXIT

settings() {  # port speed-label
    printf '[COMPORT]\r\nport=%s\r\nspeed=%s\r\n[STATUSBOX]\r\nshow=show\r\n[COMMON]\r\nauto_run=Y\r\nlog=Y\r\n' \
        "$1" "$2" >"$folder/OstrelBrinvale.ini"
}

speed_label() {
    case ${1:-9600} in
        38400) echo 38.4K ;; 57600) echo 56.0K ;; 115200) echo 115.2K ;; *) echo 9.6K ;;
    esac
}

start_program() {
    (cd "$folder" && exec "$source/$wine" "$folder/OstrelBrinvale.exe" >"$shots/wine.log" 2>&1) &
    program=$!
    ui wait-window "OstrelBrinvale STATUS" 30000 >/dev/null
}

if (($#)); then
    # The Linux device becomes COM3; Wine reads its port map when its server starts.
    "$wine" reg add 'HKLM\Software\Wine\Ports' /v COM3 /t REG_SZ /d "$1" /f >/dev/null 2>&1
    WINEPREFIX=$BRINVALE_WINE_ROOT/prefix /usr/lib/wine/wineserver -k 2>/dev/null || true
    eval "$(tests/wine/gui-session.sh)"
    settings 3 "$(speed_label "${2:-9600}")"
    start_program
    echo "OstrelBrinvale relays between $1 (COM3) and the VAN the terminal asks for."
    echo "Traffic log: $folder/CATLOG. End it from the notification icon's menu (종료)."
    if ((headless)); then
        sleep 3
        tests/wine/screenshot.sh "$shots/screenshot.png" >/dev/null && echo "Screenshot: $shots/screenshot.png"
    fi
    wait "$program"
    exit 0
fi

# The demo: the program on COM5, whose far end is the simulated terminal's.
terminal_tty=$BRINVALE_WINE_ROOT/run/ttyCAT
cat >"$shots/van.script" <<'SCRIPT'
02 50 41 59 20 31 35 30 30 30 20 4B 52 57 03 -> 02 41 50 50 52 4F 56 45 44 20 30 30 31 32 33 34 03
SCRIPT
python3 tools/van_sim.py --port 0 --greet '02 52 45 41 44 59 03' --reply-script "$shots/van.script" \
    >"$shots/van.out" 2>&1 &
pids+=($!)
for _ in $(seq 50); do grep -q '^listening' "$shots/van.out" 2>/dev/null && break; sleep 0.1; done
van_port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$shots/van.out")

rm -rf "$folder/CATLOG"
settings 5 9.6K
start_program
echo "== OstrelBrinvale connected to COM5 at start; the status window shows the payment."
sleep 1

echo "== The card terminal's view"
python3 tools/cat_sim.py "$terminal_tty" \
    wait 1 \
    wake \
    connect "127.0.0.1:$van_port" \
    expect '02 52 45 41 44 59 03' \
    wait 1.5 \
    text '\x02PAY 15000 KRW\x03' \
    expect '02 41 50 50 52 4F 56 45 44 20 30 30 31 32 33 34 03' \
    wait 1 \
    end-cr || true
sleep 0.5
if ((headless)); then
    tests/wine/screenshot.sh "$shots/screenshot.png" >/dev/null
fi

echo
echo "== The status window now reads"
for id in 1017 1006 1022; do
    printf '  %s\n' "$(ui text "OstrelBrinvale STATUS" "$id" | tr -d '\r')"
done
echo
echo "== The traffic log ($folder/CATLOG)"
cat "$folder"/CATLOG/*.LOG | tr -d '\r'
if ((headless)); then
    echo
    echo "Screenshot: $shots/screenshot.png"
else
    echo
    echo "OstrelBrinvale keeps running; end it from the notification icon's menu (종료)."
    wait "$program" || true
fi
