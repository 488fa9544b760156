#!/usr/bin/python3
"""Soak run of the gateway: back-to-back payments for a long time, every byte
checked, the gateway's resources sampled along the way.

Two modes:

  relay    (default) brinvale-relay on a pty pair, the bench holding the
           terminal's side, and a bench VAN on 127.0.0.1; 60 minutes.
  windows  the real OstrelBrinvale.exe under Wine (tests/wine/), started the
           way the window tests start it; the UI driver picks COM5 at 115200
           and presses Connect; the bench terminal sits on the far end of
           COM5's pty pair; 10 minutes.

Every payment goes the way a terminal and a VAN go about one: the terminal
wakes the gateway with a CR (now and then two or three), checks the five ACK
bytes, sends the connect request; the VAN greets; the terminal sends its
request (200 to 2,048 random bytes), the VAN answers with as many again; then
the terminal ends the link with 5 x ESC, or with 5 x CR (the gateway answers
5 x ESC), or the VAN closes after its answer (the gateway tells the terminal
with 5 x ESC). Writes on both sides are paced at a 115,200-baud line's rate
(11,520 bytes/s, 8N1), since a pty has no line speed of its own. Each byte
must arrive intact and in order, and nothing may arrive that was not sent.

The gateway's memory (VmRSS, RssAnon, VmHWM), open descriptors, threads and
CPU time are sampled after a few warm-up payments, every few minutes between
two payments, and at the end; under Wine the same figures of the Wine
process, plus the Windows view through `uidriver process-info` (working set
and handle count). Growth from the first sample to the last beyond a small
tolerance is flagged.

Exit status: 0 clean run; 1 a byte was lost, altered or extra, or a payment
failed; 2 a setup step failed; 3 no data fault, but growth beyond the
tolerance; 130 interrupted.

Python 3 standard library only.
"""

import argparse
import os
import random
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True   # leave no __pycache__ beside the tools
TOOLS = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, TOOLS)
from benchmark import (  # noqa: E402
    ESC, ETB, FS, MAX_BURST, PTY_SPEED, SOH, Children, Gateway, RunError, SetupError, Stream,
    arm_deadline, cpu_seconds, make_listener, p95)
from cat_sim import UsageError as SerialSetupError, open_serial  # noqa: E402

REPO = os.path.dirname(TOOLS)
DEFAULT_RELAY = os.path.join(REPO, "build", "native", "brinvale-relay")
DEFAULT_EXE = os.path.join(REPO, "build", "windows", "OstrelBrinvale.exe")
WINE_TESTS = os.path.join(REPO, "tests", "wine")

CR, ACK = b"\r", b"\x06"
LINE_RATE = PTY_SPEED / 10    # bytes/s of a 115,200-baud 8N1 line: 11,520
CHUNK = 64                    # bytes per paced write (5.6 ms of line time)
REQUEST_SIZES = (200, MAX_BURST - 1)   # one terminal burst: at most 2,049 bytes
REPLY_SIZES = (200, MAX_BURST - 1)
ENDINGS = (("esc", 6), ("van", 3), ("cr", 1))   # and their weights
WAKE_TIMEOUT_S = 5.0          # a lone CR is answered after a 2.5 s continuation read
STEP_TIMEOUT_S = 3.0          # any other answer, after the sender's last byte
QUIET_S = 0.3                 # silence that must follow a payment's last byte
RECOVER_S = 3.0               # after a failed payment: outlast any pending read
MAX_FAILURES_IN_A_ROW = 5

GATEWAY_PORT = "COM5"         # tests/wine/wine-run.sh: its far end is run/ttyCAT
GATEWAY_SPEED = "115200"
OPEN_LINK = "CAT : 연결 | VAN : 비연결"


def note(text):
    print(f"[soak] {text}", file=sys.stderr, flush=True)


class PaymentFailed(Exception):
    """One payment went wrong; the run goes on after a recovery."""


# ---------------------------------------------------------------- payments

SAFE_BYTES = bytes(b for b in range(256) if b not in (0x1B, 0x0D))


def relay_safe(data, rng):
    """The data with no five consecutive bytes holding four ESC or four CR.

    The gateway reads 4 of either among a burst's first five bytes as the end
    of the link. Only a burst's start counts, but a bench stalled for 100 ms
    by the host would cut a burst in two, and its second part must not end
    the link either; so no window anywhere may look like an end request.
    """
    buf = bytearray(data)
    for k in range(len(buf)):
        for c in (0x1B, 0x0D):
            while buf[k:k + 5].count(c) >= 4:
                buf[k + buf[k:k + 5].index(c)] = rng.choice(SAFE_BYTES)
    return bytes(buf)


class Payment:
    """Everything one payment sends, drawn from the run's random generator."""

    def __init__(self, number, rng):
        self.number = number
        self.wake = CR * (1 if rng.random() < 0.75 else rng.randint(2, 3))
        self.greeting = b"\x02" + f"VAN{number:06d} READY".encode() + b"\x03"
        self.request = relay_safe(rng.randbytes(rng.randint(*REQUEST_SIZES)), rng)
        self.reply = relay_safe(rng.randbytes(rng.randint(*REPLY_SIZES)), rng)
        self.ending = rng.choices([e for e, _ in ENDINGS], [w for _, w in ENDINGS])[0]
        self.greet_delay = rng.uniform(0.0, 0.3)     # VAN: accept to greeting
        self.term_think = rng.uniform(0.12, 0.4)     # terminal: greeting to request
        self.van_think = rng.uniform(0.05, 0.4)      # VAN: request to reply
        self.end_delay = rng.uniform(0.05, 0.3)      # terminal: reply to its end request
        self.pause = rng.uniform(0.2, 0.6)           # till the next payment


def paced_write(stream, data, rate=LINE_RATE):
    """Write data at the line's rate, in CHUNK-byte pieces; returns when the
    last byte would have left a real line."""
    t0 = time.monotonic()
    for start in range(0, len(data), CHUNK):
        wait = t0 + start / rate - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        stream.write_all(data[start:start + CHUNK])
    wait = t0 + len(data) / rate - time.monotonic()
    if wait > 0:
        time.sleep(wait)


def compare(what, wanted, got):
    """Raises PaymentFailed, saying where the bytes part, unless got == wanted."""
    if got == wanted:
        return
    n = min(len(wanted), len(got))
    first = next((k for k in range(n) if wanted[k] != got[k]), n)
    lo = max(0, first - 4)
    raise PaymentFailed(
        f"{what}: {len(got)} of {len(wanted)} bytes, first difference at byte {first} "
        f"(sent {wanted[lo:first + 8].hex(' ') or '-'}, got {got[lo:first + 8].hex(' ') or '-'})")


class Bench:
    """The bench terminal (a pty or COM port end) and the bench VAN (a
    loopback listener); plays payments and keeps the counts."""

    def __init__(self, term, listener, check_alive):
        self.term = term
        self.listener = listener
        self.port = listener.getsockname()[1]
        self.check_alive = check_alive   # raises RunError when the gateway is gone
        self.payments = 0
        self.ok = 0
        self.failures = []                # (payment number, text)
        self.aborted = None               # why the run stopped early
        self.in_a_row = 0
        self.t2v_bytes = 0                # request bytes checked at the VAN
        self.v2t_bytes = 0                # greeting and reply bytes checked at the terminal
        self.line_bytes = 0               # everything the terminal wrote
        self.endings = {e: 0 for e, _ in ENDINGS}
        self.durations = []

    def _term_write(self, data):
        paced_write(self.term, data)
        self.line_bytes += len(data)

    def _accept(self):
        ready, _, _ = select.select([self.listener], [], [], STEP_TIMEOUT_S + 2.0)
        if not ready:
            raise PaymentFailed("the gateway did not connect to the VAN within 5 s of the request")
        conn, _ = self.listener.accept()
        return Stream(conn.fileno(), "VAN", owner=conn)

    def _drop_pending_connections(self):
        stray = 0
        while select.select([self.listener], [], [], 0.0)[0]:
            conn, _ = self.listener.accept()
            conn.close()
            stray += 1
        return stray

    def pay(self, p):
        """One payment; raises PaymentFailed at its first fault."""
        van = None
        try:
            stray = self.term.drain(0.0)
            if stray:
                raise PaymentFailed(f"{len(stray)} unexpected bytes at the terminal before the "
                                    f"wake-up: {stray[:16].hex(' ')}")
            if self._drop_pending_connections():
                raise PaymentFailed("a VAN connection nobody asked for was waiting")

            self._term_write(p.wake)
            got, _ = self.term.read_upto(5, WAKE_TIMEOUT_S)
            compare("wake-up answer", ACK * 5, got)

            self._term_write(SOH + b"127.0.0.1" + FS + str(self.port).encode() + ETB)
            van = self._accept()
            time.sleep(p.greet_delay)
            van.write_all(p.greeting)
            got, _ = self.term.read_upto(len(p.greeting), STEP_TIMEOUT_S)
            compare("greeting at the terminal", p.greeting, got)
            self.v2t_bytes += len(got)

            time.sleep(p.term_think)
            self._term_write(p.request)
            got, _ = van.read_upto(len(p.request), STEP_TIMEOUT_S)
            compare("request at the VAN", p.request, got)
            self.t2v_bytes += len(got)

            time.sleep(p.van_think)
            paced_write(van, p.reply)
            if p.ending == "van":
                van.owner.close()
                van = None
            got, _ = self.term.read_upto(len(p.reply), STEP_TIMEOUT_S)
            compare("reply at the terminal", p.reply, got)
            self.v2t_bytes += len(got)

            if p.ending == "van":
                got, _ = self.term.read_upto(5, STEP_TIMEOUT_S)
                compare("5 x ESC at the terminal after the VAN closed", ESC * 5, got)
            else:
                time.sleep(p.end_delay)
                self._term_write(ESC * 5 if p.ending == "esc" else CR * 5)
                if p.ending == "cr":
                    got, _ = self.term.read_upto(5, STEP_TIMEOUT_S)
                    compare("5 x ESC at the terminal after its 5 x CR", ESC * 5, got)
                rest, _ = van.read_upto(1, STEP_TIMEOUT_S)
                if rest:
                    rest += van.drain(0.1)
                    raise PaymentFailed(f"the VAN got {len(rest)} bytes after the request: "
                                        f"{rest[:16].hex(' ')}")
                if not van.closed:
                    raise PaymentFailed(f"the VAN link was still open {STEP_TIMEOUT_S:g} s after "
                                        f"the terminal's end request ({p.ending})")
            extra = self.term.drain(QUIET_S)
            if extra:
                raise PaymentFailed(f"{len(extra)} bytes at the terminal after the payment "
                                    f"ended: {extra[:16].hex(' ')}")
        finally:
            if van is not None:
                van.owner.close()

    def run_one(self, p):
        begun = time.monotonic()
        self.payments += 1
        try:
            self.pay(p)
        except (PaymentFailed, RunError) as err:
            text = str(err)
            self.failures.append((p.number, f"{text} [wake {len(p.wake)} CR, request "
                                            f"{len(p.request)} B, reply {len(p.reply)} B, "
                                            f"ending {p.ending}]"))
            note(f"FAILURE in payment {p.number}: {self.failures[-1][1]}")
            self.check_alive()
            self.recover()
            self.in_a_row += 1
            if self.in_a_row >= MAX_FAILURES_IN_A_ROW:
                raise RunError(f"{self.in_a_row} payments in a row failed") from None
            return False
        self.ok += 1
        self.in_a_row = 0
        self.endings[p.ending] += 1
        self.durations.append(time.monotonic() - begun)
        return True

    def recover(self):
        """Back to a gateway without a link and a quiet line."""
        time.sleep(RECOVER_S)
        self._drop_pending_connections()
        self.term.drain(0.5)


# ---------------------------------------------------------------- the gateways

def proc_status(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.split()
    return fields


def linux_figures(pid):
    """Memory (kB), descriptors, threads and CPU seconds of one process."""
    st = proc_status(pid)
    return {
        "rss": int(st["VmRSS"][0]),
        "anon": int(st["RssAnon"][0]) if "RssAnon" in st else None,
        "hwm": int(st["VmHWM"][0]),
        "fds": len(os.listdir(f"/proc/{pid}/fd")),
        "threads": int(st["Threads"][0]),
        "cpu": cpu_seconds(pid),
    }


class RelayTarget:
    """brinvale-relay on a pty (benchmark.Gateway), run from a copy in the
    work folder so that its traffic log (CATLOG beside the program) goes
    there."""

    name = "brinvale-relay"

    def __init__(self, opts, workdir, children):
        relay = os.path.abspath(opts.relay)
        if not os.access(relay, os.X_OK):
            raise SetupError(f"gateway program not found: {relay} (build it with "
                             "cmake --preset native && cmake --build --preset native "
                             "--target brinvale-relay)")
        self.program = os.path.join(workdir, "brinvale-relay")
        shutil.copy2(relay, self.program)
        self.workdir = workdir
        note(f"starting {relay} on a pty at {PTY_SPEED}{' with --log' if opts.log else ''}")
        self.gw = Gateway(self.program, workdir, children, ["--log"] if opts.log else [])
        self.proc = self.gw.proc
        self.term = self.gw.term
        self.listener = self.gw.listener
        self.source = "/proc of the brinvale-relay process"

    def check_alive(self):
        if self.proc.poll() is not None:
            raise RunError(f"brinvale-relay exited (status {self.proc.returncode})")

    def sample(self):
        self.check_alive()
        return linux_figures(self.proc.pid)

    def log_size(self):
        folder = os.path.join(self.workdir, "CATLOG")
        if not os.path.isdir(folder):
            return None
        return sum(os.path.getsize(os.path.join(folder, f)) for f in os.listdir(folder))

    def errors(self):
        return sorted({line for line in self.gw.output().splitlines() if line.endswith("(error)")})

    def stop(self, children):
        status, _ = children.stop(self.proc, 5.0)
        if status is None:
            return "brinvale-relay did not end within 5 s of SIGTERM (killed)"
        if status != 0:
            return f"brinvale-relay ended with status {status} after SIGTERM"
        return None


class WindowsTarget:
    """OstrelBrinvale.exe under Wine, connected on COM5 at 115200 through its
    main window; the bench terminal opens COM5's far end."""

    name = "OstrelBrinvale.exe"

    def __init__(self, opts, workdir, children):
        os.environ["BRINVALE_WINE_ROOT"] = opts.wine_root
        if opts.uidriver:
            os.environ["BRINVALE_UIDRIVER"] = os.path.abspath(opts.uidriver)
        sys.path.insert(0, WINE_TESTS)
        import brinvale_ui as bui   # noqa: E402 (needs the Wine root above)
        self.bui = bui
        exe = os.path.abspath(opts.exe)
        if not os.path.isfile(exe):
            raise SetupError(f"{exe} not found (build it with cmake --build --preset windows)")
        try:
            bui.uidriver_path()
        except FileNotFoundError as err:
            raise SetupError(str(err)) from None

        self.folder = bui.wine_root() / "prefix" / "drive_c" / "OSBRIN"
        self.program = None
        note(f"Wine environment under {bui.wine_root()} (prefix, X display, COM ports)")
        try:
            bui.gui_env()
        except RuntimeError as err:
            raise SetupError(f"Wine session: {err}") from None
        shutil.rmtree(self.folder, ignore_errors=True)
        self.folder.mkdir(parents=True)
        shutil.copy(exe, self.folder / self.name)
        (self.folder / "OstrelBrinvale.ini").write_bytes(
            ("[COMPORT]\r\nport=0\r\nspeed=9.6K\r\n[STATUSBOX]\r\nshow=hidden\r\n"
             f"[COMMON]\r\nauto_run=N\r\nlog={'Y' if opts.log else 'N'}\r\n").encode("ascii"))

        note(f"starting {exe} under Wine")
        self.program = bui.start_program(self.folder / self.name, cwd=self.folder,
                                         log=os.path.join(workdir, "program.log"))
        try:
            self._connect()
        except BaseException:
            self.stop(None)
            raise

    def _connect(self):
        """Port and speed chosen and Connect pressed in the main window, as a
        technician would; then the bench terminal opens the far end."""
        bui = self.bui
        self.ui_ok("--has", bui.MAIN_CONTROL, "wait-visible", bui.MAIN_CAPTION, 30000)
        note(f"main window: {GATEWAY_PORT} at {GATEWAY_SPEED}, Connect")
        self.ui_ok("select-text", bui.MAIN_CAPTION, bui.ID.IDC_PORT_LIST, GATEWAY_PORT)
        self.ui_ok("select-text", bui.MAIN_CAPTION, bui.ID.IDC_SPEED_LIST, GATEWAY_SPEED)
        for control, wanted in ((bui.ID.IDC_PORT_LIST, GATEWAY_PORT), (bui.ID.IDC_SPEED_LIST, GATEWAY_SPEED)):
            items = self.ui_ok("--has", bui.MAIN_CONTROL, "combo-items", bui.MAIN_CAPTION,
                               control).splitlines()
            sel = int(self.ui_ok("--has", bui.MAIN_CONTROL, "combo-sel", bui.MAIN_CAPTION, control))
            if not 0 <= sel < len(items) or items[sel] != wanted:
                raise SetupError(f"combo box {control} shows {items[sel] if 0 <= sel < len(items) else sel}, "
                                 f"not {wanted}")
        self.ui_ok("click", bui.MAIN_CAPTION, bui.ID.IDC_CONNECT)
        try:
            bui.wait_for(lambda: self.main_text(bui.ID.IDC_LINK_STATUS) == OPEN_LINK, 20,
                         message="link status after Connect")
        except bui.WaitTimeout as err:
            raise SetupError(f"{err}; transfer state {self.main_text(bui.ID.IDC_TRANSFER_LABEL)!r}") from None

        try:
            fd = open_serial(str(bui.terminal_tty()), PTY_SPEED)
        except SerialSetupError as err:
            raise SetupError(str(err)) from None
        self.term = Stream(fd, "terminal")
        self.listener = make_listener()
        self.pid = self.find_linux_pid()
        self.source = ("Windows view from uidriver process-info: working set (WS), handles "
                       "counted in the system handle table (Wine answers GetProcessHandleCount "
                       "for another process with 0), threads (win thr); Wine reports no private "
                       f"bytes. Linux view from /proc of the Wine process (pid {self.pid}).")

    def ui_ok(self, *args):
        try:
            return self.bui.ui_ok(*args)
        except self.bui.UiError as err:
            raise SetupError(str(err)) from None

    def main_text(self, control):
        return self.bui.ui("--has", self.bui.MAIN_CONTROL, "text", self.bui.MAIN_CAPTION, control).out

    def find_linux_pid(self):
        """The Linux process that is the Windows program (Wine runs each
        Windows process as one Linux process)."""
        prefix = str(self.bui.wine_root() / "prefix")
        target = str(self.folder / self.name)
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    argv0 = f.read().split(b"\0", 1)[0].decode("utf-8", "replace")
                with open(f"/proc/{entry}/environ", "rb") as f:
                    environ = f.read().split(b"\0")
            except OSError:
                continue
            # Wine shows the program's path as it was started: Linux or Windows style.
            started_as = argv0.replace("\\", "/").lower()
            if f"WINEPREFIX={prefix}".encode() in environ and \
                    (argv0 == target or started_as.endswith("/osbrin/" + self.name.lower())):
                found.append(int(entry))
        if len(found) != 1:
            raise SetupError(f"expected one Linux process of {target}, found {found}")
        return found[0]

    def check_alive(self):
        if not self.program.running:
            raise RunError(f"{self.name} exited (status {self.program.process.returncode})")

    def windows_figures(self):
        result = self.bui.ui("process-info", self.name)
        lines = result.out.splitlines() if result.rc == 0 else []
        if len(lines) != 1:
            note(f"uidriver process-info gave rc {result.rc}: {result.out!r} {result.err.strip()!r}")
            return {}
        figures = {}
        for field in lines[0].split("\t")[1:]:
            key, _, value = field.partition("=")
            figures[key] = None if value == "-" else int(value)
        return figures

    def sample(self):
        self.check_alive()
        figures = linux_figures(self.pid)
        win = self.windows_figures()
        figures["ws"] = win["working_set"] // 1024 if win.get("working_set") is not None else None
        figures["handles"] = win.get("handles")
        figures["win_threads"] = win.get("threads")
        return figures

    def log_size(self):
        folder = self.folder / "CATLOG"
        if not folder.is_dir():
            return None
        return sum(f.stat().st_size for f in folder.iterdir())

    def errors(self):
        return []

    def stop(self, children):
        if self.program is not None:
            self.program.stop()
            self.program = None
        return None


# ---------------------------------------------------------------- samples and report

RELAY_COLUMNS = [("rss", "RSS kB"), ("anon", "anon kB"), ("hwm", "peak kB"), ("fds", "fds"),
                 ("threads", "threads"), ("cpu", "CPU s")]
WINDOWS_COLUMNS = [("ws", "WS kB"), ("handles", "handles"), ("win_threads", "win thr"),
                   ("rss", "RSS kB"), ("anon", "anon kB"), ("hwm", "peak kB"), ("fds", "fds"),
                   ("threads", "threads"), ("cpu", "CPU s")]


def tolerances(mode, start):
    """(figure, allowed growth from the first sample to the last)."""
    def memory(key, floor_kb):
        base = start.get(key)
        return None if base is None else max(floor_kb, 0.05 * base)

    if mode == "relay":
        return [("rss", memory("rss", 512)), ("anon", memory("anon", 512)), ("fds", 2),
                ("threads", 0)]
    return [("ws", memory("ws", 2048)), ("handles", 10), ("rss", memory("rss", 2048)),
            ("anon", memory("anon", 2048)), ("fds", 4), ("threads", 2)]


def fmt_cell(key, value):
    if value is None:
        return "-"
    if key == "cpu":
        return f"{value:.2f}"
    return f"{value:,}"


def print_table(head, rows):
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    print("  ".join(h.rjust(w) for h, w in zip(head, widths)))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print("  ".join(c.rjust(w) for c, w in zip(r, widths)))


def mmss(seconds):
    return f"{int(seconds) // 60}:{int(seconds) % 60:02d}"


# ---------------------------------------------------------------- main

def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Soak run: back-to-back payments through the gateway at a 115,200-baud "
                    "line's rate, every byte checked, resources sampled.")
    parser.add_argument("mode", nargs="?", choices=("relay", "windows"), default="relay",
                        help="relay: brinvale-relay on a pty (default); windows: "
                             "OstrelBrinvale.exe under Wine")
    parser.add_argument("--minutes", type=float,
                        help="length of the run (default 60 for relay, 10 for windows)")
    parser.add_argument("--quick", action="store_true", help="a 1-minute smoke run")
    parser.add_argument("--sample-minutes", type=float, metavar="M",
                        help="minutes between samples (default 5 for relay, 2 for windows, "
                             "0.25 with --quick)")
    parser.add_argument("--warm-up", type=int, default=5, metavar="N",
                        help="payments before the first sample (default 5)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the payments (default 1)")
    parser.add_argument("--no-log", dest="log", action="store_false",
                        help="run the gateway without its traffic log (default: with it)")
    parser.add_argument("--relay", default=DEFAULT_RELAY, metavar="PATH",
                        help="the Linux gateway (default: build/native/brinvale-relay)")
    parser.add_argument("--exe", default=DEFAULT_EXE, metavar="PATH",
                        help="the Windows program (default: build/windows/OstrelBrinvale.exe)")
    parser.add_argument("--uidriver", metavar="PATH",
                        help="uidriver.exe (default: $BRINVALE_UIDRIVER or "
                             "build/windows/tools/uidriver/uidriver.exe)")
    parser.add_argument("--wine-root", metavar="DIR",
                        default=os.environ.get("BRINVALE_WINE_ROOT", f"/tmp/brinvale-wine-soak-{os.getuid()}"),
                        help="Wine environment of the windows mode (default: $BRINVALE_WINE_ROOT, "
                             "else /tmp/brinvale-wine-soak-UID, apart from the tests' own)")
    parser.add_argument("--keep-wine", action="store_true",
                        help="leave the Wine server, X server and COM ports running at the end")
    opts = parser.parse_args(argv)
    if opts.minutes is None:
        opts.minutes = 1.0 if opts.quick else (60.0 if opts.mode == "relay" else 10.0)
    if opts.sample_minutes is None:
        opts.sample_minutes = 0.25 if opts.quick else (5.0 if opts.mode == "relay" else 2.0)
    if opts.minutes <= 0 or opts.sample_minutes <= 0 or opts.warm_up < 0:
        parser.error("--minutes and --sample-minutes must be > 0, --warm-up >= 0")
    return opts


def soak(opts, target, bench, samples):
    """Payments until the time is up; a sample after the warm-up, every
    sample interval and at the end, each between two payments."""
    rng = random.Random(opts.seed)
    number = 0
    for _ in range(opts.warm_up):
        number += 1
        bench.run_one(Payment(number, rng))
        time.sleep(0.3)
    begun = time.monotonic()
    deadline = begun + opts.minutes * 60.0
    interval = opts.sample_minutes * 60.0
    next_sample = begun

    def take():
        figures = target.sample()
        figures.update(elapsed=time.monotonic() - begun, payments=bench.payments, ok=bench.ok,
                       t2v=bench.t2v_bytes, v2t=bench.v2t_bytes, failed=len(bench.failures))
        samples.append(figures)
        note(f"{mmss(figures['elapsed'])}  {bench.ok} payments ok, {len(bench.failures)} failed; "
             + ", ".join(f"{label} {fmt_cell(key, figures.get(key))}"
                         for key, label in (RELAY_COLUMNS if opts.mode == "relay" else WINDOWS_COLUMNS)))

    while True:
        now = time.monotonic()
        if now >= next_sample:
            take()
            next_sample += interval
            if next_sample > deadline - interval / 4:
                next_sample = deadline
        if now >= deadline:
            break
        number += 1
        p = Payment(number, rng)
        bench.run_one(p)
        target.check_alive()
        time.sleep(p.pause)
    if samples[-1]["elapsed"] < time.monotonic() - begun - 1.0:
        take()
    return time.monotonic() - begun


def report(opts, target, bench, samples, wall, load_at_start, extra_notes, log_size):
    columns = RELAY_COLUMNS if opts.mode == "relay" else WINDOWS_COLUMNS
    start, end = samples[0], samples[-1]
    print(f"soak ({opts.mode}): {target.name}, line paced at {LINE_RATE:,.0f} B/s "
          f"(115,200 baud 8N1), traffic log {'on' if opts.log else 'off'}, seed {opts.seed}; "
          f"{wall / 60:.1f} min after {opts.warm_up} warm-up payments; "
          f"{os.cpu_count()} CPUs, load average {load_at_start} at the start")
    print(f"figures: {target.source}")
    print()
    head = ["time", "payments", "T->V bytes", "V->T bytes"] + [label for _, label in columns]
    rows = [[mmss(s["elapsed"]), f"{s['ok']:,}", f"{s['t2v']:,}", f"{s['v2t']:,}"]
            + [fmt_cell(key, s.get(key)) for key, _ in columns] for s in samples]
    print_table(head, rows)
    print()

    measured = bench.ok - start["ok"]
    busy = end["cpu"] - start["cpu"]
    print(f"payments: {bench.ok:,} ok of {bench.payments:,} "
          f"(ending: terminal 5 x ESC {bench.endings['esc']:,}, terminal 5 x CR "
          f"{bench.endings['cr']:,}, VAN closes {bench.endings['van']:,}); failed: {len(bench.failures)}")
    print(f"bytes checked: terminal->VAN {bench.t2v_bytes:,}, VAN->terminal {bench.v2t_bytes:,}; "
          f"written by the terminal in all {bench.line_bytes:,}")
    if bench.durations:
        print(f"payment time: median {statistics.median(bench.durations):.2f} s, "
              f"p95 {p95(bench.durations):.2f} s, longest {max(bench.durations):.2f} s")
    print(f"CPU: {busy:.2f} s over {end['elapsed'] - start['elapsed']:.0f} s between the first and "
          f"last sample ({100.0 * busy / max(end['elapsed'] - start['elapsed'], 1e-9):.3f} % of a core), "
          f"{end['cpu']:.2f} s since the start")
    if log_size is not None:
        print(f"traffic log: {log_size / 1e6:,.1f} MB")

    grown = []
    for key, allowed in tolerances(opts.mode, start):
        a, b = start.get(key), end.get(key)
        if a is None or b is None or allowed is None:
            continue
        label = dict(columns)[key]
        peak = max(s[key] for s in samples if s.get(key) is not None)
        per = ""
        if key in ("rss", "anon", "ws") and b != a:
            # Memory grows a 4 kB page at a time: one page is a step, not a rate.
            per = ", one 4 kB page" if abs(b - a) <= 4 or measured <= 0 \
                else f", {1024 * (b - a) / measured:+.1f} B per payment"
        verdict = "GROWTH" if b - a > allowed else "ok"
        print(f"{label}: {fmt_cell(key, a)} -> {fmt_cell(key, b)} ({b - a:+,}{per}; highest "
              f"sample {fmt_cell(key, peak)}; allowed +{allowed:,.0f}): {verdict}")
        if b - a > allowed:
            grown.append(label)
    for text in extra_notes:
        print(f"note: {text}")
    for number, text in bench.failures:
        print(f"FAILURE: payment {number}: {text}")
    if bench.aborted:
        print(f"FAILURE: the run stopped early: {bench.aborted}")
    intact = not bench.failures and not bench.aborted
    print(f"every byte intact and in order, every payment completed: {'yes' if intact else 'NO'}")
    print(f"growth beyond the tolerance: {', '.join(grown) if grown else 'none'}")
    if not intact:
        return 1
    return 3 if grown else 0


def stop_wine(opts):
    env = dict(os.environ, BRINVALE_WINE_ROOT=opts.wine_root)
    for script in ("gui-stop.sh", "wine-stop.sh"):
        subprocess.run([os.path.join(WINE_TESTS, script)], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120, check=False)


def main(argv=None):
    opts = parse_args(argv)
    arm_deadline(opts.minutes * 60 * 1.25 + 600, RunError)

    with open("/proc/loadavg") as f:
        load_at_start = " ".join(f.read().split()[:3])
    children = Children()
    workdir = tempfile.mkdtemp(prefix="brinvale-soak.")
    target = None
    bench = None
    samples = []
    extra = []
    status = None
    log_size = None
    begun = time.monotonic()
    try:
        target = (RelayTarget if opts.mode == "relay" else WindowsTarget)(opts, workdir, children)
        bench = Bench(target.term, target.listener, target.check_alive)
        note(f"{opts.minutes:g} min of payments, samples every {opts.sample_minutes:g} min")
        begun = time.monotonic()
        wall = soak(opts, target, bench, samples)
        extra += target.errors()
        log_size = target.log_size()
        stopped = target.stop(children)
        if stopped:
            extra.append(stopped)
    except SetupError as err:
        note(f"setup failed: {err}")
        status = 2
    except RunError as err:
        note(f"run failed: {err}")
        if bench is not None:
            bench.aborted = str(err)
        wall = time.monotonic() - begun
        status = 1
    except KeyboardInterrupt:
        note("interrupted")
        status = 130
    finally:
        signal.alarm(0)
        if target is not None:
            try:
                target.stop(children)
            except Exception as err:   # cleanup goes on whatever happens
                note(f"stopping {target.name}: {err}")
        children.stop_all()
        if opts.mode == "windows" and not opts.keep_wine:
            stop_wine(opts)
        shutil.rmtree(workdir, ignore_errors=True)
    if status == 1 and samples:
        report(opts, target, bench, samples, wall, load_at_start, extra, log_size)
        return status
    if status is not None:
        if bench is not None:
            for number, text in bench.failures:
                print(f"FAILURE: payment {number}: {text}")
        return status
    return report(opts, target, bench, samples, wall, load_at_start, extra, log_size)


if __name__ == "__main__":
    sys.exit(main())
