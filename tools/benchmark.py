#!/usr/bin/python3
"""Benchmark of brinvale-relay, with socat relaying the same pty and TCP pair
for comparison.

One run starts the gateway on one side of a pty (the benchmark holds the
other side, as the card terminal) and a bench VAN on a loopback port; it
starts socat between a pty of its own and a second bench VAN port; then it
measures, for both:

  1. VAN -> terminal latency: from the VAN's send() to the bytes read on the
     terminal's side of the pty (small messages, spaced 250 ms).
  2. terminal -> VAN latency: from the write of a burst's last byte to the
     VAN's receive. The gateway must wait for the 100 ms burst gap first, so
     it is also shown as "added" = measured - 100 ms. socat knows no bursts.
  3. throughput both ways with 2049-byte bursts, each checked byte for byte.
     Terminal bursts are written one per write with 110 ms of silence between
     them; the VAN sends its bursts back to back.
  4. idle CPU (% of one core, from /proc/PID/stat utime + stime).
  5. peak RSS (VmHWM from /proc/PID/status) after the whole run.

It prints one table and a verdict per target. Exit status: 0 when the run
completed (targets met or not), 1 when data was lost or corrupted or a link
failed during the run, 2 when a setup step failed, 130 on Ctrl+C.

Python 3 standard library only.
"""

import argparse
import math
import os
import random
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True   # leave no __pycache__ beside the tools
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cat_sim import UsageError as SerialSetupError, open_serial  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_RELAY = os.path.join(REPO, "build", "native", "brinvale-relay")

SOH, ETB, FS, ESC = b"\x01", b"\x17", b"\x1c", b"\x1b"
PTY_SPEED = 115200            # fixed for every run; a pty ignores it
BURST_GAP_MS = 100.0          # silence that ends a terminal burst at the gateway
PUMP_SLEEP_S = 0.100          # the gateway's pause after each VAN receive
MAX_BURST = 2049              # bytes per terminal burst and per VAN receive
TERM_GAP_S = 0.110            # silence the bench leaves between terminal bursts
SPACING_S = 0.250             # pause between latency samples
KEEP_ALIVE_SAFE_S = 65.0      # a silent link is dropped after about 72 s
RELINK_EVERY = 40             # latency samples per link (the VAN is silent towards T->V)
GREETING = b"\x02BENCH READY\x03"

TARGET_ADDED_MS = 1.0
TARGET_CPU_PCT = 0.5
TARGET_RSS_MB = 8.0


class SetupError(Exception):
    """The bench could not be set up: exit status 2."""


class RunError(Exception):
    """A link or a process failed during a measurement: exit status 1."""


class Overrun(Exception):
    """The whole run took far longer than it can: exit status 1."""


def arm_deadline(budget, error=Overrun):
    """Raises error once budget seconds have passed, and SIGTERM ends the run
    as Ctrl+C does, so the bench always stops itself and cleans up."""
    def on_alarm(signum, frame):
        raise error(f"the run exceeded {budget:.0f} s")

    def on_term(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGALRM, on_alarm)
    signal.signal(signal.SIGTERM, on_term)
    signal.alarm(int(budget))


def note(text):
    print(f"[bench] {text}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------- byte streams

class Stream:
    """A non-blocking fd (pty side or socket) with deadline-bounded I/O."""

    def __init__(self, fd, name, owner=None):
        self.fd = fd
        self.name = name
        self.owner = owner      # keeps a socket object alive
        self.closed = False
        os.set_blocking(fd, False)

    def write_all(self, data, timeout=10.0):
        view = memoryview(data)
        deadline = time.monotonic() + timeout
        while view:
            try:
                view = view[os.write(self.fd, view):]
                continue
            except BlockingIOError:
                pass
            except OSError as err:
                raise RunError(f"{self.name}: write failed: {err.strerror}") from None
            left = deadline - time.monotonic()
            if left <= 0:
                raise RunError(f"{self.name}: write stalled for {timeout:g} s")
            select.select([], [self.fd], [], left)

    def _read_once(self):
        try:
            data = os.read(self.fd, 65536)
        except BlockingIOError:
            return b""
        except OSError:
            data = b""      # a pty whose other side closed reads EIO
        if not data:
            self.closed = True
        return data

    def read_upto(self, count, timeout):
        """Read until count bytes are in or the deadline passes.

        Returns (bytes, perf_counter time of the read that brought the last
        bytes). Stops early when the other side closes.
        """
        buf = bytearray()
        t_last = None
        deadline = time.monotonic() + timeout
        while len(buf) < count and not self.closed:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                data = self._read_once()
                if data:
                    t_last = time.perf_counter()
                    buf += data
        return bytes(buf), t_last

    def drain(self, quiet_s=0.0):
        """Everything that arrives until the line has been quiet for quiet_s."""
        buf = bytearray()
        while not self.closed:
            ready, _, _ = select.select([self.fd], [], [], quiet_s)
            if not ready:
                break
            buf += self._read_once()
        return bytes(buf)


# ---------------------------------------------------------------- processes

class Children:
    """Every process the bench started, ended one by one by its own pid."""

    def __init__(self):
        self.procs = []

    def start(self, argv, **kwargs):
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, start_new_session=True, **kwargs)
        self.procs.append(proc)
        return proc

    def stop(self, proc, timeout=5.0):
        """SIGTERM, then SIGKILL after timeout. Returns (exit status, seconds taken)."""
        begun = time.monotonic()
        if proc.poll() is None:
            try:
                proc.send_signal(signal.SIGTERM)
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                return None, time.monotonic() - begun
        return proc.returncode, time.monotonic() - begun

    def stop_all(self):
        for proc in reversed(self.procs):
            try:
                self.stop(proc, 3.0)
            except Exception:   # cleanup goes on whatever happens
                pass


def cpu_seconds(pid):
    """utime + stime of the whole process (all threads), in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return None


def make_listener():
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    sock.listen(4)
    return sock


def accept_van(listener, timeout, name):
    ready, _, _ = select.select([listener], [], [], timeout)
    if not ready:
        raise SetupError(f"{name}: no connection to the bench VAN within {timeout:g} s")
    conn, _ = listener.accept()
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return Stream(conn.fileno(), f"{name} VAN", owner=conn)


def wait_for(test, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if test():
            return True
        time.sleep(step)
    return test()


# ---------------------------------------------------------------- the two relays

class Gateway:
    """brinvale-relay on a pty; the terminal's side is the pty master."""

    name = "gateway"

    def __init__(self, relay, workdir, children, extra_args=()):
        self.out_path = os.path.join(workdir, "relay.out")
        self.master, self.slave = os.openpty()
        device = os.ttyname(self.slave)
        self.term = Stream(self.master, "gateway terminal")
        self.listener = make_listener()
        self.van = None
        self.anomalies = []
        with open(self.out_path, "wb") as out, open(os.path.join(workdir, "relay.err"), "wb") as err:
            self.proc = children.start([relay, "--port", device, "--speed", str(PTY_SPEED), *extra_args],
                                       stdout=out, stderr=err)
        if not wait_for(lambda: "link:" in self.output() or self.proc.poll() is not None, 5.0):
            raise SetupError("gateway printed no link status within 5 s")
        if self.proc.poll() is not None:
            raise SetupError(f"gateway exited at start (status {self.proc.returncode}): "
                             + open(os.path.join(workdir, "relay.err")).read().strip())

    def output(self):
        with open(self.out_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def open_link(self):
        """Ask for a link; the bench VAN greets at once, the greeting must arrive."""
        stray = self.term.drain(0.0)
        if stray:
            self.anomalies.append(f"{len(stray)} unexpected bytes at the terminal before a link: "
                                  f"{stray[:16].hex(' ')}")
        port = self.listener.getsockname()[1]
        self.term.write_all(SOH + b"127.0.0.1" + FS + str(port).encode() + ETB)
        self.van = accept_van(self.listener, 5.0, self.name)
        self.van.write_all(GREETING)
        got, _ = self.term.read_upto(len(GREETING), 3.0)
        if got != GREETING:
            raise SetupError(f"gateway link: greeting not relayed (got {got.hex(' ') or 'nothing'})")
        time.sleep(0.3)   # quiet line: the next terminal burst stands alone

    def close_link(self):
        """End the link from the terminal (5 x ESC); the gateway answers nothing."""
        if self.van is None:
            return
        stray = self.van.drain(0.0)
        if stray:
            self.anomalies.append(f"{len(stray)} unexpected bytes at the VAN before the end request")
        if self.van.closed:
            raise RunError("gateway dropped the VAN link during a measurement")
        self.term.write_all(ESC * 5)
        rest, _ = self.van.read_upto(1, 3.0)
        if rest or not self.van.closed:
            self.anomalies.append("the VAN link was not closed within 3 s of 5 x ESC"
                                  + (f" (VAN got {rest.hex(' ')})" if rest else ""))
        answer = self.term.drain(0.3)
        if answer:
            self.anomalies.append(f"the terminal got {answer.hex(' ')} after ending the link with 5 x ESC")
        self.van.owner.close()
        self.van = None

    def link_is_up(self):
        if self.van is None or self.van.closed:
            return False
        self.van.drain(0.0)   # reads 0 bytes, or notices the close
        return not self.van.closed


class Socat:
    """socat between its own pty (the terminal opens the slave) and the bench VAN."""

    name = "socat"

    def __init__(self, workdir, children):
        socat = shutil.which("socat")
        if not socat:
            raise SetupError("socat not found")
        self.listener = make_listener()
        port = self.listener.getsockname()[1]
        link = os.path.join(workdir, "ttySOCAT")
        self.err_path = os.path.join(workdir, "socat.err")
        with open(self.err_path, "wb") as err:
            self.proc = children.start([socat, f"pty,raw,echo=0,link={link}",
                                        f"TCP:127.0.0.1:{port}"],
                                       stdout=subprocess.DEVNULL, stderr=err)
        self.van = accept_van(self.listener, 5.0, self.name)
        if not wait_for(lambda: os.path.exists(link), 5.0):
            raise SetupError("socat made no pty within 5 s")
        try:
            self.term = Stream(open_serial(link, PTY_SPEED), "socat terminal")
        except SerialSetupError as err:
            raise SetupError(str(err)) from None
        self.anomalies = []

    def open_link(self):
        pass    # socat's TCP connection lasts the whole run

    def close_link(self):
        if self.van.closed:
            raise RunError("socat lost the VAN connection")

    def link_is_up(self):
        self.van.drain(0.0)
        return not self.van.closed


# ---------------------------------------------------------------- measurements

def p95(values):
    ordered = sorted(values)
    return ordered[max(0, math.ceil(0.95 * len(ordered)) - 1)]


class Results:
    def __init__(self):
        self.values = {}        # (measure, side) -> value
        self.failures = []      # lost or corrupted data, broken links

    def put(self, key, side, value):
        self.values[(key, side)] = value

    def get(self, key, side):
        return self.values.get((key, side))

    def fail(self, text):
        self.failures.append(text)
        note(f"FAILURE: {text}")


def message(tag, number):
    # 16 bytes, STX .. ETX; never starts with ESC or CR.
    return b"\x02" + f"{tag}{number:05d}-benchx".encode() + b"\x03"


def van_to_term_sample(side, i, res):
    """One message from the VAN's send() to its last byte read at the terminal, in ms."""
    msg = message("V2T", i)
    stray = side.term.drain(0.0)
    if stray:
        res.fail(f"{side.name}: {len(stray)} unexpected bytes at the terminal")
    t0 = time.perf_counter()
    side.van.write_all(msg)
    got, t1 = side.term.read_upto(len(msg), 2.0)
    if got == msg:
        return (t1 - t0) * 1000.0
    res.fail(f"{side.name}: VAN->terminal message {i}: sent {msg.hex(' ')}, "
             f"got {got.hex(' ') or 'nothing'}")
    if side.term.closed or side.van.closed:
        raise RunError(f"{side.name}: link closed")
    return None


def term_to_van_sample(side, i, res):
    """One burst from its write at the terminal to its last byte received by the VAN, in ms.

    The clock starts just before the write (a 16-byte pty write takes
    microseconds); starting it after the write would let a preemption of the
    bench between the write and the clock read pass for a faster relay.
    """
    msg = message("T2V", i)
    stray = side.van.drain(0.0)
    if stray:
        res.fail(f"{side.name}: {len(stray)} unexpected bytes at the VAN")
    t0 = time.perf_counter()
    side.term.write_all(msg)
    got, t1 = side.van.read_upto(len(msg), 2.0)
    if got == msg:
        return (t1 - t0) * 1000.0
    res.fail(f"{side.name}: terminal->VAN message {i}: sent {msg.hex(' ')}, "
             f"got {got.hex(' ') or 'nothing'}")
    if side.term.closed or side.van.closed:
        raise RunError(f"{side.name}: link closed")
    return None


def measure_latency(sides, sample, key, samples, res):
    """Samples taken in turn from each relay, so that load from elsewhere on
    the host weighs on all of them alike; SPACING_S of quiet after each."""
    for side in sides:
        side.open_link()
    times = {side.name: [] for side in sides}
    for i in range(samples):
        if i and i % RELINK_EVERY == 0:
            for side in sides:     # a fresh link before the keep-alive count runs out
                side.close_link()
                side.open_link()
        for side in sides:
            value = sample(side, i, res)
            if value is not None:
                times[side.name].append(value)
            time.sleep(SPACING_S)
    for side in sides:
        side.close_link()
        if times[side.name]:
            res.put(key + "_min", side.name, min(times[side.name]))
            res.put(key + "_med", side.name, statistics.median(times[side.name]))
            res.put(key + "_p95", side.name, p95(times[side.name]))


def make_bursts(seed, count):
    """Random 2049-byte bursts; the first two bytes are never ESC or CR, so no
    burst can read as an end request (4 of either among the first five)."""
    rng = random.Random(seed)
    bursts = []
    for _ in range(count):
        data = bytearray(rng.randbytes(MAX_BURST))
        for k in (0, 1):
            while data[k] in (0x1B, 0x0D):
                data[k] = rng.randrange(256)
        bursts.append(bytes(data))
    return bursts


def check_stream(res, side, direction, sent, got):
    if got == sent:
        return True
    n = min(len(sent), len(got))
    first = next((k for k in range(n) if sent[k] != got[k]), n)
    res.fail(f"{side.name} {direction}: {len(got)} of {len(sent)} bytes arrived, "
             f"first difference at byte {first}")
    return False


def throughput_term_to_van(side, bursts, res):
    side.open_link()
    sent = b"".join(bursts)
    timeout = len(bursts) * (TERM_GAP_S + 0.5) + 5.0
    box = {}
    reader = threading.Thread(target=lambda: box.update(
        zip(("data", "t_last"), side.van.read_upto(len(sent), timeout))), daemon=True)
    reader.start()
    t0 = time.perf_counter()
    for i, burst in enumerate(bursts):
        side.term.write_all(burst)
        if i + 1 < len(bursts):
            time.sleep(TERM_GAP_S)
    reader.join(timeout + 2.0)
    got, t_last = box.get("data", b""), box.get("t_last")
    if check_stream(res, side, "terminal->VAN", sent, got) and t_last:
        res.put("t2v_rate", side.name, len(sent) / (t_last - t0))
    res.put("t2v_ok", side.name, got == sent)
    time.sleep(0.3)
    side.close_link()


def throughput_van_to_term(side, bursts, res):
    side.open_link()
    sent = b"".join(bursts)
    timeout = len(bursts) * (PUMP_SLEEP_S + 0.5) + 5.0
    errors = []

    def send_all():
        try:
            for burst in bursts:
                side.van.write_all(burst, timeout)
        except RunError as err:
            errors.append(str(err))

    sender = threading.Thread(target=send_all, daemon=True)
    t0 = time.perf_counter()
    sender.start()
    got, t_last = side.term.read_upto(len(sent), timeout)
    sender.join(5.0)
    if errors:
        res.fail(f"{side.name}: {errors[0]}")
    if check_stream(res, side, "VAN->terminal", sent, got) and t_last:
        res.put("v2t_rate", side.name, len(sent) / (t_last - t0))
    res.put("v2t_ok", side.name, got == sent)
    extra = side.term.drain(0.3)
    if extra:
        res.fail(f"{side.name} VAN->terminal: {len(extra)} bytes more than were sent")
    side.close_link()


def measure_idle(procs, seconds):
    """% of one core used by each process over the same idle window."""
    begun = time.monotonic()
    start = {p.pid: cpu_seconds(p.pid) for p in procs}
    deadline = begun + seconds
    while time.monotonic() < deadline:
        time.sleep(min(1.0, max(0.0, deadline - time.monotonic())))
        for p in procs:
            if p.poll() is not None:
                raise RunError(f"pid {p.pid} exited during the idle measurement")
    wall = time.monotonic() - begun
    return {p.pid: 100.0 * (cpu_seconds(p.pid) - start[p.pid]) / wall for p in procs}


# ---------------------------------------------------------------- report

def fmt(value, digits=2):
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "yes" if value else "NO"
    return f"{value:,.{digits}f}"


def build_rows(res, n_bursts):
    g, s = "gateway", "socat"

    def added(key, side, prescribed):
        v = res.get(key, side)
        return None if v is None else v - prescribed

    t2v_cap = n_bursts * MAX_BURST / ((n_bursts - 1) * TERM_GAP_S)
    v2t_cap = n_bursts * MAX_BURST / ((n_bursts - 1) * PUMP_SLEEP_S)
    rows = [
        ("VAN->terminal latency, median (ms)", fmt(res.get("v2t_med", g), 3), fmt(res.get("v2t_med", s), 3), ""),
        ("VAN->terminal latency, p95 (ms)", fmt(res.get("v2t_p95", g), 3), fmt(res.get("v2t_p95", s), 3), ""),
        ("  added beyond protocol, median (ms)", fmt(added("v2t_med", g, 0.0), 3),
         fmt(added("v2t_med", s, 0.0), 3), f"<= {TARGET_ADDED_MS:g}"),
        ("  added beyond protocol, p95 (ms)", fmt(added("v2t_p95", g, 0.0), 3),
         fmt(added("v2t_p95", s, 0.0), 3), f"<= {TARGET_ADDED_MS:g}"),
        ("terminal->VAN latency after last byte, median (ms)", fmt(res.get("t2v_med", g), 3),
         fmt(res.get("t2v_med", s), 3), f"{BURST_GAP_MS:g} + added"),
        ("terminal->VAN latency after last byte, p95 (ms)", fmt(res.get("t2v_p95", g), 3),
         fmt(res.get("t2v_p95", s), 3), f"{BURST_GAP_MS:g} + added"),
        ("  added beyond protocol, median (ms)", fmt(added("t2v_med", g, BURST_GAP_MS), 3),
         fmt(added("t2v_med", s, 0.0), 3), f"<= {TARGET_ADDED_MS:g}"),
        ("  added beyond protocol, p95 (ms)", fmt(added("t2v_p95", g, BURST_GAP_MS), 3),
         fmt(added("t2v_p95", s, 0.0), 3), f"<= {TARGET_ADDED_MS:g}"),
        (f"throughput terminal->VAN, {n_bursts} x {MAX_BURST} B (B/s)", fmt(res.get("t2v_rate", g), 0),
         fmt(res.get("t2v_rate", s), 0), f"cap {t2v_cap:,.0f} (a)"),
        (f"throughput VAN->terminal, {n_bursts} x {MAX_BURST} B (B/s)", fmt(res.get("v2t_rate", g), 0),
         fmt(res.get("v2t_rate", s), 0), f"cap {v2t_cap:,.0f} (b)"),
        ("  every byte intact and in order, both ways",
         fmt(bool(res.get("t2v_ok", g) and res.get("v2t_ok", g))),
         fmt(bool(res.get("t2v_ok", s) and res.get("v2t_ok", s))), "yes"),
        ("idle CPU, serial open, no link (% of a core)", fmt(res.get("idle_nolink", g), 3), "-",
         f"<= {TARGET_CPU_PCT:g}"),
        ("idle CPU, link up, no traffic (% of a core)", fmt(res.get("idle_link", g), 3),
         fmt(res.get("idle_link", s), 3), f"<= {TARGET_CPU_PCT:g}"),
        ("peak RSS after the run, VmHWM (MB)", fmt(res.get("rss", g), 2), fmt(res.get("rss", s), 2),
         f"<= {TARGET_RSS_MB:g}"),
    ]
    return rows


def print_table(rows, header):
    head = ("measure", "gateway", "socat", "target")
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(4)]

    def line(r):
        return "  ".join([r[0].ljust(widths[0])] + [r[i].rjust(widths[i]) for i in (1, 2)]
                         + [r[3].ljust(widths[3])]).rstrip()

    print(header)
    print(line(head))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line(r))


def verdict_latency(res, label, key, prescribed):
    med, top = res.get(key + "_med", "gateway"), res.get(key + "_p95", "gateway")
    if med is None:
        return f"{label} added <= {TARGET_ADDED_MS:g} ms: NOT met (no samples)"
    med, top = med - prescribed, top - prescribed
    ok = med <= TARGET_ADDED_MS
    extra = "" if top <= TARGET_ADDED_MS or not ok else f"; p95 {top:.3f} ms is above"
    return (f"{label} added <= {TARGET_ADDED_MS:g} ms: {'met' if ok else 'NOT met'} "
            f"(median {med:.3f} ms, p95 {top:.3f} ms{extra})")


def print_verdicts(res, idle_s, link_idle_s):
    g = "gateway"
    print()
    print(verdict_latency(res, "VAN->terminal latency", "v2t", 0.0))
    print(verdict_latency(res, "terminal->VAN latency", "t2v", BURST_GAP_MS))
    for key, label, secs in (("idle_nolink", "idle CPU, no link", idle_s),
                             ("idle_link", "idle CPU, link up", link_idle_s)):
        v = res.get(key, g)
        ok = v is not None and v <= TARGET_CPU_PCT
        print(f"{label} <= {TARGET_CPU_PCT:g} % over {secs:g} s: {'met' if ok else 'NOT met'} ({fmt(v, 3)} %)")
    v = res.get("rss", g)
    ok = v is not None and v <= TARGET_RSS_MB
    print(f"peak RSS <= {TARGET_RSS_MB:g} MB: {'met' if ok else 'NOT met'} ({fmt(v)} MB)")
    intact = bool(res.get("t2v_ok", g) and res.get("v2t_ok", g)) and not res.failures
    print(f"data intact: {'yes' if intact else 'NO'}")


# ---------------------------------------------------------------- main

def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Benchmark brinvale-relay against socat on a pty and a loopback TCP link.")
    parser.add_argument("--relay", default=DEFAULT_RELAY, metavar="PATH",
                        help="the gateway program (default: build/native/brinvale-relay)")
    parser.add_argument("--quick", action="store_true",
                        help="fewer samples and bursts, 10 s idle windows")
    parser.add_argument("--idle-seconds", type=float, metavar="S",
                        help="length of each idle CPU window (default 60, 10 with --quick)")
    parser.add_argument("--samples", type=int, metavar="N",
                        help="latency samples per direction (default 50, 15 with --quick)")
    parser.add_argument("--bursts", type=int, metavar="N",
                        help="2049-byte bursts per direction (default 30, 10 with --quick)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the burst contents (default 1)")
    opts = parser.parse_args(argv)
    if opts.idle_seconds is None:
        opts.idle_seconds = 10.0 if opts.quick else 60.0
    if opts.samples is None:
        opts.samples = 15 if opts.quick else 50
    if opts.bursts is None:
        opts.bursts = 10 if opts.quick else 30
    if opts.idle_seconds <= 0 or opts.samples < 1 or opts.bursts < 2:
        parser.error("--idle-seconds must be > 0, --samples >= 1, --bursts >= 2")
    return opts


def run(opts, children, workdir, res):
    relay = os.path.abspath(opts.relay)
    if not os.access(relay, os.X_OK):
        raise SetupError(f"gateway program not found: {relay} (build it with "
                         "cmake --preset native && cmake --build --preset native --target brinvale-relay)")
    link_idle_s = min(opts.idle_seconds, KEEP_ALIVE_SAFE_S)

    note(f"starting {relay} on a pty")
    gw = Gateway(relay, workdir, children)
    time.sleep(1.0)     # start-up work out of the idle window
    note(f"idle CPU, gateway with the serial line open and no link ({opts.idle_seconds:g} s)")
    res.put("idle_nolink", gw.name, measure_idle([gw.proc], opts.idle_seconds)[gw.proc.pid])

    note("starting socat between a pty and the bench VAN")
    sc = Socat(workdir, children)
    gw.open_link()
    time.sleep(0.5)
    note(f"idle CPU, gateway link up and socat connected, no traffic ({link_idle_s:g} s)")
    idle = measure_idle([gw.proc, sc.proc], link_idle_s)
    if not gw.link_is_up():
        raise RunError("the gateway dropped its idle VAN link")
    res.put("idle_link", gw.name, idle[gw.proc.pid])
    res.put("idle_link", sc.name, idle[sc.proc.pid])
    gw.close_link()

    bursts_t2v = make_bursts(opts.seed, opts.bursts)
    bursts_v2t = make_bursts(opts.seed + 1, opts.bursts)
    note(f"VAN->terminal latency, {opts.samples} samples each, taken in turn")
    measure_latency((gw, sc), van_to_term_sample, "v2t", opts.samples, res)
    note(f"terminal->VAN latency, {opts.samples} samples each, taken in turn")
    measure_latency((gw, sc), term_to_van_sample, "t2v", opts.samples, res)
    for side in (gw, sc):
        note(f"{side.name}: throughput terminal->VAN, {opts.bursts} bursts")
        throughput_term_to_van(side, bursts_t2v, res)
        note(f"{side.name}: throughput VAN->terminal, {opts.bursts} bursts")
        throughput_van_to_term(side, bursts_v2t, res)

    for side in (gw, sc):
        res.put("rss", side.name, peak_rss_mb(side.proc.pid))

    status, took = children.stop(gw.proc, 5.0)
    if status is None:
        gw.anomalies.append("the gateway did not end within 5 s of SIGTERM (killed)")
    elif status != 0:
        gw.anomalies.append(f"the gateway ended with status {status} after SIGTERM")
    fastest = res.get("t2v_min", gw.name)
    if fastest is not None and fastest < BURST_GAP_MS:
        # The clock starts before the write, so no sample can be shorter
        # than the gap unless the gateway forwarded before the gap was over.
        gw.anomalies.append(f"a terminal burst reached the VAN {fastest:.3f} ms after its write: "
                            f"before the {BURST_GAP_MS:g} ms burst gap was over")
    errors = [line for line in gw.output().splitlines() if line.endswith("(error)")]
    if errors:
        gw.anomalies.append("gateway reported: " + "; ".join(sorted(set(errors))))
    return gw, sc, link_idle_s


def main(argv=None):
    opts = parse_args(argv)
    # Far beyond the longest possible run: the bench stops itself whatever happens.
    arm_deadline(2 * opts.idle_seconds + opts.samples * 4 * 3 + opts.bursts * 4 * 2 + 120)

    with open("/proc/loadavg") as f:
        load_at_start = " ".join(f.read().split()[:3])
    children = Children()
    workdir = tempfile.mkdtemp(prefix="brinvale-bench.")
    res = Results()
    status = 0
    try:
        gw, sc, link_idle_s = run(opts, children, workdir, res)
    except SetupError as err:
        note(f"setup failed: {err}")
        return 2
    except (RunError, Overrun) as err:
        note(f"run failed: {err}")
        return 1
    except KeyboardInterrupt:
        note("interrupted")
        return 130
    finally:
        signal.alarm(0)
        children.stop_all()
        shutil.rmtree(workdir, ignore_errors=True)

    header = (f"brinvale-relay vs socat: pty (speed setting {PTY_SPEED}) + TCP 127.0.0.1; "
              f"{opts.samples} latency samples, {opts.bursts} bursts, idle {opts.idle_seconds:g} s; "
              f"{os.cpu_count()} CPUs, load average {load_at_start}")
    print_table(build_rows(res, opts.bursts), header)
    print(f"(a) {MAX_BURST} B per {TERM_GAP_S * 1000:g} ms of terminal silence, the bench's pacing "
          f"(the burst gap is {BURST_GAP_MS:g} ms)")
    print(f"(b) one {MAX_BURST}-B receive per {PUMP_SLEEP_S * 1000:g} ms pump pause")
    print("socat has no burst gap and no pump pause: its 'added' equals its measured latency")
    print_verdicts(res, opts.idle_seconds, link_idle_s)
    for text in gw.anomalies + sc.anomalies:
        print(f"note: {text}")
    for text in res.failures:
        print(f"FAILURE: {text}")
    if res.failures:
        status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
