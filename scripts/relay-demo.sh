#!/usr/bin/env bash
# The headless Linux gateway (scripts/run.sh --relay calls this).
#
#   scripts/relay-demo.sh DEVICE [SPEED]   relay for real between the terminal
#                                          on DEVICE and the VAN it asks for
#                                          (Ctrl+C stops)
#   scripts/relay-demo.sh                  a whole simulated payment through
#                                          brinvale-relay on a pty pair and a
#                                          loopback VAN
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target brinvale-relay >/dev/null
relay=build/native/brinvale-relay

if (($#)); then
    exec "$relay" --port "$1" --speed "${2:-9600}" --log
fi

demo=$(mktemp -d /tmp/brinvale-demo.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT

# The serial line: the gateway opens ttyGW, the simulated terminal ttyCAT.
socat pty,raw,echo=0,link="$demo/ttyGW" pty,raw,echo=0,link="$demo/ttyCAT" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [[ -e $demo/ttyGW && -e $demo/ttyCAT ]] && break; sleep 0.1; done

# The VAN: greets at once and answers the payment request with an approval.
cat > "$demo/van.script" <<'SCRIPT'
# payment request -> approval
02 50 41 59 20 31 35 30 30 30 20 4B 52 57 03 -> 02 41 50 50 52 4F 56 45 44 20 30 30 31 32 33 34 03
SCRIPT
python3 tools/van_sim.py --port 0 --greet '02 52 45 41 44 59 03' --reply-script "$demo/van.script" \
    > "$demo/van.out" &
pids+=($!)
for _ in $(seq 50); do grep -q '^listening' "$demo/van.out" 2>/dev/null && break; sleep 0.1; done
van_port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$demo/van.out")

cp "$relay" "$demo/brinvale-relay"
"$demo/brinvale-relay" --port "$demo/ttyGW" --speed 9600 --log > "$demo/relay.out" &
relay_pid=$!
pids+=("$relay_pid")
sleep 0.5

echo "== The card terminal's view"
python3 tools/cat_sim.py "$demo/ttyCAT" \
    wake \
    connect "127.0.0.1:$van_port" \
    expect '02 52 45 41 44 59 03' \
    text '\x02PAY 15000 KRW\x03' \
    expect '02 41 50 50 52 4F 56 45 44 20 30 30 31 32 33 34 03' \
    end-cr || true

kill -TERM "$relay_pid"
wait "$relay_pid" || true

echo
echo "== The gateway's status outputs"
cat "$demo/relay.out"
echo
echo "== The traffic log ($demo/CATLOG)"
cat "$demo"/CATLOG/*.LOG | tr -d '\r'
