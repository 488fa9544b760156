#!/usr/bin/python3
"""Chaos run of the gateway: back-to-back payments while faults strike at
random moments of every phase of a payment, all drawn from a seed; every
byte checked, every recovery timed, the gateway's resources watched.

Two modes, with the soak's bench terminal, bench VAN and payments
(tools/soak.py):

  relay    (default) brinvale-relay on one end of a socat pty pair with
           stable link names, so that a line pulled out (socat ended, both
           ptys gone) and plugged back (a new pair under the same names) is
           found again by the relay's reopen; 15 minutes by default.
  windows  the real OstrelBrinvale.exe under Wine (tests/wine/), the signed
           update test build, installed in C:\\OSBRIN with automatic
           connection on COM5 at 115200 and started as the start-with-Windows
           value starts it; 10 minutes by default.

A payment has six phases: wake-up, connect request, greeting, request,
reply and ending (see soak.py for the payment itself). After a few clean
payments, most payments carry one fault, struck in one phase at a moment
drawn from the seed:

  line-pull     the terminal's line pulled out, plugged back 0.2-10 s later
  line-speed    another program sets the gateway's line to another rate for
                0.2-10 s (a pty carries the bytes all the same; the garbage
                a real mismatch makes is the noise fault's)
  van-refuses   nothing listens where the terminal asks to connect
  van-closes    the VAN closes the link (before or after its greeting,
  van-resets    after part of the request, part of its reply, at the end);
                van-resets ends it with a reset
  van-silent    the VAN never greets, never answers, or stops mid-reply
  van-bytewise  the VAN writes its greeting or reply a byte at a time
  van-no-read   the VAN greets and then never reads
  noise         the terminal sends 1-300 random bytes (never SOH, so noise
                can never name a server)
  long-burst    the terminal sends a burst of 2,050-4,198 bytes
  cut-request   the terminal's connect request cut off, then sent again
  stray-cr      1-5 CRs at a moment no protocol asks for them
  silence       the terminal says nothing for minutes: 75-150 s in runs of
                30 minutes or more (past the 72 s keep-alive), 3-8 s in
                shorter runs, which the keep-alive never reaches
  restart...    (windows) the program ended hard (uidriver kill-process) and
                started again with automatic connection: as is, with its
                settings file held by another program, or with the update
                server answering garbage, stalling, offering a program with
                a bad signature, or unreachable at that start

Invariants, checked all the time; the first breach ends the run:

  - a payment without a fault, and the first one after every fault,
    completes with every byte intact, in order, once, both ways;
  - a payment cut by a fault: the VAN got only whole terminal bursts (cut
    at 2,049 bytes as the protocol cuts them) in order, never part of one;
    the terminal got only the gateway's answers (5 x ACK, 5 x ESC, no more
    of them than it asked for) and a prefix of the VAN's data; every link
    ends (the VAN sees it close); the terminal gets 5 x ESC whenever the
    gateway drops a link it had used, unless it lost the line or the
    program was ended;
  - after each fault ends (the line plugged back, the rate restored, the
    payment settled, or, after a restart, the program's automatic
    connection) the gateway answers the next payment within 3 s; the next
    payment repeats its wake-up CR every 0.25 s until answered, so the
    recovery time includes up to 0.35 s of the protocol's own burst gap;
  - memory, descriptors (handles) and threads do not grow (the soak's
    tolerances, within one process life under Wine); the gateway stays
    idle between faults (each 2 s idle window under 20 % of a core, and
    their sum under the soak's ceiling).

On a breach the run prints the seed, the breach and the history of the
payments and faults, and writes them to a replay file; `--replay FILE`
plays that history again (`--last N`: only its last N payments).

Exit status: 0 no breach; 1 a breach; 2 a setup step failed; 130
interrupted. Python 3 standard library only.
"""

import argparse
import json
import os
import pathlib
import random
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

sys.dont_write_bytecode = True   # leave no __pycache__ beside the tools
TOOLS = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, TOOLS)
import soak  # noqa: E402
from benchmark import (  # noqa: E402
    ESC, ETB, FS, MAX_BURST, PTY_SPEED, SOH, Children, RunError, SetupError, Stream,
    arm_deadline, cpu_seconds, make_listener, wait_for)
from cat_sim import UsageError as SerialSetupError, open_serial  # noqa: E402
from soak import ACK, CR, Payment, linux_figures, paced_write, relay_safe  # noqa: E402

REPO = os.path.dirname(TOOLS)
BUILD = os.path.join(REPO, "build")

PHASES = ("wake", "connect", "greeting", "request", "reply", "ending")
VAN_PHASES = PHASES[2:]


class Kind:
    def __init__(self, label, phases, weight, windows_only=False):
        self.label, self.phases, self.weight, self.windows_only = label, phases, weight, windows_only


FAULTS = {
    "line-pull": Kind("line pulled out and plugged back", PHASES, 6),
    "line-speed": Kind("line's rate changed underneath", PHASES, 2),
    "van-refuses": Kind("VAN refuses the connection", ("connect",), 2),
    "van-closes": Kind("VAN closes the link", VAN_PHASES, 3),
    "van-resets": Kind("VAN resets the link", VAN_PHASES, 3),
    "van-silent": Kind("VAN goes silent", ("greeting", "request", "reply"), 2),
    "van-bytewise": Kind("VAN answers a byte at a time", ("greeting", "reply"), 2),
    "van-no-read": Kind("VAN accepts and never reads", ("greeting",), 1),
    "noise": Kind("terminal sends noise", PHASES, 3),
    "long-burst": Kind("terminal sends a burst over 2,049 B", PHASES, 2),
    "cut-request": Kind("connect request cut off", ("wake", "connect"), 2),
    "stray-cr": Kind("CRs at a wrong moment", PHASES, 3),
    "silence": Kind("terminal silent for minutes", ("connect", "request", "ending"), 1),
    "restart": Kind("program ended hard and restarted", PHASES, 2, True),
    "restart-held-settings": Kind("restart, settings file held", PHASES, 1, True),
    "restart-update-garbage": Kind("restart, update server answers garbage", PHASES, 1, True),
    "restart-update-stall": Kind("restart, update server stalls", PHASES, 1, True),
    "restart-update-bad-signature": Kind("restart, update with a bad signature", PHASES, 1, True),
    "restart-update-unreachable": Kind("restart, update server unreachable", PHASES, 1, True),
}
TERMINAL_FAULTS = ("noise", "long-burst", "cut-request", "stray-cr", "silence")
ASYNC_FAULTS = ("line-pull", "line-speed")   # and every restart

FAULT_SHARE = 0.7            # of the payments after a recovery, those that carry a fault
WARM_UP = 3                  # clean payments before the first sample
HOLD_S = (0.2, 10.0)         # line out, or at the wrong rate
SILENCE_LONG_S = (75.0, 150.0)
SILENCE_SHORT_S = (3.0, 8.0)
LONG_RUN_MIN = 30.0          # runs this long have minutes-long silences
WAKE_TIMEOUT_S = soak.WAKE_TIMEOUT_S
STEP_S = soak.STEP_TIMEOUT_S
GAP_S = 0.15                 # silence around an extra burst: a burst of its own
QUIET_S = 0.5                # silence that ends a payment's settling
WAKE_ANSWER_S = 3.0          # a lone CR is answered after 2.5 s
CONNECT_WAIT_S = 2.0         # the gateway's wait for a new link's server to be heard
LONE_BYTE_WAIT_S = 2.5       # the gateway's wait for the second byte of a burst
SETTLE_S = 10.0              # a link the gateway must end has this long to close
PROBE_CR_EVERY_S = 0.25
PROBE_LIMIT_S = 15.0
RECOVERY_LIMIT_S = 3.0
MARGIN_S = 0.5               # slack around who ended a link first
IDLE_WINDOW_S = 2.0
SPIN_LIMIT = 0.20            # a pump spinning uses a whole core
IDLE_CEILING = {"relay": 0.005, "windows": 0.02}   # the soak's idle CPU, with room
GATEWAY_PORT, GATEWAY_SPEED = "COM5", "115.2K"
FILE_PATH = "/files/OstrelBrinvale.exe"
FAILED_UPDATE = "업데이트 실패"


def note(text):
    print(f"[chaos] {text}", file=sys.stderr, flush=True)


class Deviation(Exception):
    """The payment left its happy path; the checks decide whether that was allowed."""


class Breach(Exception):
    """An invariant broke: the run ends here."""


# ---------------------------------------------------------------- the schedule

def draw_fault(rng, deck, mode, long_run):
    """One fault: its kind from a shuffled deck (so a short run meets every
    kind early), its phase, the moment within the phase (at, 0..1) and its
    own figures."""
    if not deck:
        deck.extend(kind for kind, k in FAULTS.items() if mode == "windows" or not k.windows_only
                    for _ in range(k.weight))
        rng.shuffle(deck)
    kind = deck.pop()
    fault = {"kind": kind, "phase": rng.choice(FAULTS[kind].phases), "at": round(rng.random(), 3),
             "seed": rng.getrandbits(32)}
    if kind in ASYNC_FAULTS:
        fault["hold"] = round(rng.uniform(*HOLD_S), 2)
    if kind == "line-speed":
        fault["rate"] = rng.choice((9600, 19200, 38400, 57600))
    if kind == "silence":
        fault["hold"] = round(rng.uniform(*(SILENCE_LONG_S if long_run else SILENCE_SHORT_S)), 1)
    if kind == "noise":
        fault["size"] = rng.randint(1, 300)
    if kind == "long-burst":
        fault["size"] = rng.randint(MAX_BURST + 1, 2 * MAX_BURST + 100)
    if kind == "stray-cr":
        fault["size"] = rng.randint(1, 5)
    return fault


def schedule(seed, mode, long_run):
    """Payments for ever: a few clean ones, then faults, each followed by the
    payment that times the recovery."""
    rng = random.Random(seed)
    deck = []
    n = 0
    while True:
        n += 1
        if n > WARM_UP and rng.random() < FAULT_SHARE:
            yield {"n": n, "seed": rng.getrandbits(32), "fault": draw_fault(rng, deck, mode, long_run)}
            n += 1
            yield {"n": n, "seed": rng.getrandbits(32), "probe": True}
        else:
            yield {"n": n, "seed": rng.getrandbits(32)}


def fault_burst(fault):
    """The bytes of a terminal fault that sends a burst."""
    rng = random.Random(fault["seed"])
    if fault["kind"] == "noise":
        return bytes(rng.choice([b for b in range(256) if b != SOH[0]]) for _ in range(fault["size"]))
    if fault["kind"] == "long-burst":
        data = bytearray(relay_safe(rng.randbytes(fault["size"]), rng))
        data[0] = 0x02   # a payment text's start, never an answer the protocol knows
        return bytes(data).replace(SOH, b"\x02")
    if fault["kind"] == "stray-cr":
        return CR * fault["size"]
    return b""


def describe(entry):
    fault = entry.get("fault")
    if fault:
        extra = "".join(f", {key} {fault[key]}" for key in ("hold", "size", "rate") if key in fault)
        return f"payment {entry['n']}: {fault['kind']} in the {fault['phase']} phase at {fault['at']}{extra}"
    return f"payment {entry['n']}: {'recovery' if entry.get('probe') else 'clean'}"


# ---------------------------------------------------------------- what went over the line and the link

class WireBurst:
    """One burst the terminal put on the line: what it meant to send and how
    much of it went out before the line broke."""

    def __init__(self, data, kind):
        self.data, self.kind = data, kind
        self.start = time.monotonic()
        self.end = None
        self.written = 0

    @property
    def whole(self):
        return self.written == len(self.data)


class Counted:
    """A stream that counts what was written through it (soak.paced_write
    writes in pieces; a write that fails says nothing of the pieces before)."""

    def __init__(self, stream):
        self.stream = stream
        self.count = 0

    def write_all(self, data):
        self.stream.write_all(data)
        self.count += len(data)


class VanLink:
    """One link the gateway opened to the bench VAN, and what went over it."""

    def __init__(self, sock):
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock = sock
        self.stream = Stream(sock.fileno(), "VAN", owner=sock)
        self.accepted = time.monotonic()
        self.sent = bytearray()
        self.received = bytearray()
        self.van_ended = None     # when the VAN ended the link itself
        self.eof = None           # when the VAN saw the gateway end it
        self.reads = True         # False: a VAN that never reads

    def write(self, data, bytewise=False):
        counted = Counted(self.stream)
        try:
            if bytewise:
                for k in range(len(data)):
                    counted.write_all(data[k:k + 1])
                    time.sleep(0.002)
            else:
                paced_write(counted, data)
        except RunError as err:
            raise Deviation(f"the VAN could not write: {err}") from None
        finally:
            self.sent += data[:counted.count]

    def read_to(self, total, timeout):
        """Reads until the VAN holds total bytes, the link closes or the time is up."""
        deadline = time.monotonic() + timeout
        while len(self.received) < total and self.van_ended is None and not self.stream.closed:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            data, _ = self.stream.read_upto(total - len(self.received), left)
            self.received += data
        self._note_eof()

    def wait_closed(self, timeout):
        """Takes everything until the gateway closes the link; True when it did."""
        deadline = time.monotonic() + timeout
        while self.van_ended is None and not self.stream.closed and time.monotonic() < deadline:
            data, _ = self.stream.read_upto(65536, min(0.2, max(0.0, deadline - time.monotonic())))
            self.received += data
        self._note_eof()
        return self.van_ended is not None or self.stream.closed

    def _note_eof(self):
        if self.stream.closed and self.eof is None:
            self.eof = time.monotonic()

    def end(self, reset):
        if reset:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()
        self.van_ended = time.monotonic()


class Transcript:
    """Everything of one payment that the checks look at."""

    def __init__(self, entry):
        self.entry = entry
        self.fault = entry.get("fault")
        self.wire = []             # WireBurst, in order
        self.rx = bytearray()      # what the terminal received
        self.links = []            # VanLink
        self.struck = None         # when the fault struck
        self.line_gone = None      # when the line was pulled or the program ended
        self.asked = None          # when the terminal began waking the gateway
        self.first_answer = None   # when the gateway first answered the terminal
        self.completed = False
        self.deviation = None


# ---------------------------------------------------------------- the payment player

class Player:
    """Plays one payment as terminal and VAN together, striking its fault on
    the way; on any surprise it stops as a terminal would (5 x ESC) and
    leaves the verdict to the checks."""

    def __init__(self, target):
        self.target = target
        self.listener = make_listener()
        self.port = self.listener.getsockname()[1]
        # Bound, never listening: a port that refuses.
        self.refuser = socket.socket()
        self.refuser.bind(("127.0.0.1", 0))
        self.dead_port = self.refuser.getsockname()[1]
        self.tr = None
        self.fault = None

    # --- the terminal

    def send(self, data, kind, cut_at=None):
        """One burst at the line's pace; with cut_at, the fault strikes after
        that many bytes."""
        burst = WireBurst(data, kind)
        self.tr.wire.append(burst)
        counted = Counted(self.target.term)
        try:
            if self.line_out():
                raise RunError("the line is out")
            if cut_at is None:
                paced_write(counted, data)
            else:
                paced_write(counted, data[:cut_at])
                self.strike()
                if not self.line_out():
                    paced_write(counted, data[cut_at:])
        except RunError as err:
            raise Deviation(f"the terminal could not write: {err}") from None
        finally:
            burst.written = counted.count
            burst.end = time.monotonic()
        if cut_at is not None and self.line_out():
            raise Deviation("the line went in the middle of a burst")

    def line_out(self):
        return self.tr.line_gone is not None and self.fault["kind"] == "line-pull"

    def read(self, count, timeout):
        if self.line_out():
            return b""
        data, _ = self.target.term.read_upto(count, timeout)
        self.tr.rx += data
        if data and self.tr.first_answer is None:
            self.tr.first_answer = time.monotonic()
        return data

    def expect(self, wanted, timeout, what):
        got = self.read(len(wanted), timeout)
        if got != wanted:
            raise Deviation(f"{what}: wanted {len(wanted)} bytes ({wanted[:8].hex(' ')}...), "
                            f"got {len(got)} ({got[:8].hex(' ') or '-'})")

    def request_frame(self, port):
        return SOH + b"127.0.0.1" + FS + str(port).encode() + ETB

    # --- the fault

    def strikes(self, phase, *kinds):
        f = self.fault
        return f is not None and f["phase"] == phase and (not kinds or f["kind"] in kinds)

    def strikes_async(self, phase):
        return self.strikes(phase) and (self.fault["kind"] in ASYNC_FAULTS
                                        or self.fault["kind"].startswith("restart"))

    def strike(self):
        if self.tr.struck is None:
            self.tr.struck = time.monotonic()
            self.target.strike(self.fault, self.tr)

    def terminal_extras(self, phase, port=None):
        """The terminal's own fault in this phase: an extra burst, or silence."""
        if not self.strikes(phase, *TERMINAL_FAULTS):
            return
        kind = self.fault["kind"]
        self.tr.struck = time.monotonic()
        if kind == "silence":
            # A link the gateway drops meanwhile (the keep-alive) is seen at once.
            ends = time.monotonic() + self.fault["hold"]
            for link in self.tr.links:
                if link.van_ended is None:
                    link.wait_closed(self.fault["hold"])
            time.sleep(max(0.0, ends - time.monotonic()))
            return
        if kind == "cut-request":
            frame = self.request_frame(port or self.port)
            data = frame[:max(1, min(len(frame) - 1, int(self.fault["at"] * len(frame))))]
        else:
            data = fault_burst(self.fault)
        self.send(data, kind)
        time.sleep(GAP_S)

    # --- one payment

    def play(self, payment, entry):
        self.tr = tr = Transcript(entry)
        self.fault = tr.fault
        try:
            self.check_quiet_start()
            self.wake_phase(payment, entry.get("probe"))
            link = self.connect_phase()
            self.greeting_phase(payment, link)
            self.request_phase(payment, link)
            self.reply_phase(payment, link)
            self.ending_phase(payment, link)
            tr.completed = True
        except Deviation as dev:
            tr.deviation = str(dev)
            self.give_up()
        self.settle()
        return tr

    def check_quiet_start(self):
        stray = self.target.term.drain(0.0) if self.target.term else b""
        if stray:
            raise Breach(f"{len(stray)} bytes nobody asked for reached the terminal between "
                         f"payments: {stray[:16].hex(' ')}")
        if select.select([self.listener], [], [], 0.0)[0]:
            raise Breach("the gateway opened a VAN link nobody asked for")

    def wake_phase(self, p, probe):
        self.terminal_extras("wake")
        if probe:
            self.wake_until_answered()
            time.sleep(GAP_S)   # a CR still on its way is a burst of its own
            return
        self.send(p.wake, "wake")
        if self.strikes_async("wake"):
            time.sleep(self.fault["at"] * 2.4)
            self.strike()
        self.expect(ACK * 5, WAKE_TIMEOUT_S, "wake-up answer")

    def wake_until_answered(self):
        """The first payment after a fault repeats its CR until the gateway
        answers: a CR arriving within the continuation read of the one before
        ends it, so the answer comes about 0.35 s after the gateway is ready."""
        deadline = time.monotonic() + PROBE_LIMIT_S
        self.tr.asked = time.monotonic()
        got = b""
        while not got and time.monotonic() < deadline:
            self.send(CR, "wake")
            got = self.read(5, PROBE_CR_EVERY_S)
        got += self.read(5 - len(got), 1.0)
        if got != ACK * 5:
            raise Deviation(f"wake-up answer: {got.hex(' ') or 'nothing'} within {PROBE_LIMIT_S:g} s")

    def connect_phase(self):
        refused = self.strikes("connect", "van-refuses")
        port = self.dead_port if refused else self.port
        self.terminal_extras("connect", port)
        if refused:
            self.tr.struck = time.monotonic()
        self.send(self.request_frame(port), "connect")
        if self.strikes_async("connect"):
            time.sleep(self.fault["at"] * 0.05)
            self.strike()
        if refused:
            self.expect(ESC * 5, STEP_S, "5 x ESC for a refused connection")
            raise Deviation("the VAN refused the connection")
        ready, _, _ = select.select([self.listener], [], [], 0.0 if self.line_out() else STEP_S + 2.0)
        if not ready:
            raise Deviation("the gateway did not connect to the VAN")
        link = VanLink(self.listener.accept()[0])
        self.tr.links.append(link)
        return link

    def greeting_phase(self, p, link):
        f = self.fault
        ending = self.strikes("greeting", "van-closes", "van-resets")
        if ending and f["at"] < 0.5:
            self.tr.struck = time.monotonic()
            link.end(f["kind"] == "van-resets")
            raise Deviation("the VAN ended the link before its greeting")
        if self.strikes("greeting", "van-silent"):
            self.tr.struck = time.monotonic()
            self.expect(p.greeting, STEP_S, "greeting from a VAN that never greets")
        delay = p.greet_delay
        if self.strikes_async("greeting"):
            time.sleep(f["at"] * delay)
            self.strike()
            delay -= f["at"] * delay
        time.sleep(delay)
        self.terminal_extras("greeting")
        bytewise = self.strikes("greeting", "van-bytewise")
        if bytewise:
            self.tr.struck = time.monotonic()
        link.write(p.greeting, bytewise)
        if ending:
            self.tr.struck = time.monotonic()
            link.end(f["kind"] == "van-resets")
        if self.strikes("greeting", "van-no-read"):
            self.tr.struck = time.monotonic()
            link.reads = False
        self.expect(p.greeting, STEP_S, "greeting at the terminal")

    def forwardable_since(self, link):
        return sum(len(piece) for piece, _ in forwardable(self.tr.wire, link))

    def request_phase(self, p, link):
        time.sleep(p.term_think)
        self.terminal_extras("request")
        cut = int(self.fault["at"] * len(p.request)) if self.strikes_async("request") else None
        self.send(p.request, "data", cut)
        if not link.reads:
            return
        if self.strikes("request", "van-closes", "van-resets"):
            self.tr.struck = time.monotonic()
            link.read_to(int(self.fault["at"] * len(p.request)), STEP_S)
            link.end(self.fault["kind"] == "van-resets")
            return
        wanted = self.forwardable_since(link)
        link.read_to(wanted, STEP_S)
        if len(link.received) != wanted:
            raise Deviation(f"the VAN got {len(link.received)} of {wanted} bytes")

    def reply_phase(self, p, link):
        f = self.fault
        if not link.reads or link.van_ended is not None or self.strikes("request", "van-silent"):
            if self.strikes("request", "van-silent"):
                self.tr.struck = time.monotonic()
            self.expect(p.reply, STEP_S, "reply from a VAN that does not answer")
        time.sleep(p.van_think)
        at = int(f["at"] * len(p.reply)) if self.strikes("reply") else len(p.reply)
        bytewise = self.strikes("reply", "van-bytewise")
        link.write(p.reply[:at], bytewise)
        if self.strikes("reply"):
            kind = f["kind"]
            if kind in ("van-closes", "van-resets"):
                self.tr.struck = time.monotonic()
                link.end(kind == "van-resets")
            elif kind == "van-silent":
                self.tr.struck = time.monotonic()
                self.expect(p.reply, STEP_S, "reply from a VAN that stopped")
            elif self.strikes_async("reply"):
                self.strike()
            else:
                self.tr.struck = time.monotonic()
                self.terminal_extras("reply")
        if link.van_ended is None:
            link.write(p.reply[at:], bytewise)
            if p.ending == "van":
                # It takes everything the terminal sent before it closes.
                link.read_to(self.forwardable_since(link), STEP_S)
                link.end(False)
        timeout = STEP_S + (len(p.reply) * 0.003 if bytewise else 0.0)
        self.expect(p.reply, timeout, "reply at the terminal")

    def ending_phase(self, p, link):
        f = self.fault
        late = self.strikes_async("ending") and f["at"] >= 0.5   # after the end, not before
        self.terminal_extras("ending")
        if self.strikes_async("ending") and not late:
            self.strike()
        if self.strikes("ending", "van-closes", "van-resets") and link.van_ended is None:
            self.tr.struck = time.monotonic()
            link.end(f["kind"] == "van-resets")
        if p.ending == "van":
            self.expect(ESC * 5, STEP_S, "5 x ESC after the VAN closed")
        else:
            time.sleep(p.end_delay)
            self.send(ESC * 5 if p.ending == "esc" else CR * 5, "end")
        if late:
            self.strike()
        if p.ending == "cr":
            self.expect(ESC * 5, STEP_S, "5 x ESC after the terminal's 5 x CR")
        if p.ending != "van" and not link.wait_closed(STEP_S):
            raise Deviation(f"the VAN link outlived the terminal's end ({p.ending})")
        extra = self.read(65536, QUIET_S)
        if extra:
            raise Deviation(f"{len(extra)} bytes after the payment ended: {extra[:16].hex(' ')}")

    def give_up(self):
        """What a terminal does when a payment goes wrong: 5 x ESC, which ends
        a link if there is one and is nothing at all if there is none."""
        if self.tr.line_gone is not None:
            return
        try:
            time.sleep(GAP_S)
            self.send(ESC * 5, "end")
        except Deviation:
            pass

    def settle(self):
        """Every link must end; what still comes to the terminal belongs to
        this payment."""
        for link in self.tr.links:
            if link.van_ended is None and not link.wait_closed(SETTLE_S):
                raise Breach(f"the VAN link was still open {SETTLE_S:g} s after the payment ended "
                             f"({self.tr.deviation or 'completed'})")
        if self.line_out():
            return
        # A lone CR without a link draws 5 x ACK only after the gateway's
        # 2.5 s continuation read.
        lone = [b.end for b in self.tr.wire if b.data == CR and b.kind != "wake"]
        until = max(lone, default=0.0) + WAKE_ANSWER_S
        if not self.tr.completed:
            # A connection the gateway is still making ends in 5 x ESC once
            # the server has not been heard from for 2 s: a terminal waits
            # for that answer before it starts again. (Wine shows a server
            # that resets as soon as it accepts only by that time-out.)
            asked = [b.end for b in self.tr.wire if b.kind == "connect"]
            until = max(until, max(asked, default=0.0) + CONNECT_WAIT_S + MARGIN_S)
        while True:
            extra = self.read(65536, max(QUIET_S, until - time.monotonic()))
            if not extra:
                break
            if self.tr.completed:
                self.tr.completed = False
                self.tr.deviation = f"{len(extra)} bytes after the payment ended: {extra[:16].hex(' ')}"


# ---------------------------------------------------------------- the checks

def ends_link(piece):
    """Four ESC or four CR among a burst's first five bytes: the terminal's end."""
    head = piece[:5]
    return head.count(0x1B) > 3 or head.count(0x0D) > 3


def has_frame(data):
    soh = data.find(SOH)
    fs = data.find(FS, soh + 1) if soh >= 0 else -1
    return fs >= 0 and data.find(ETB, fs + 1) >= 0


def gateway_bursts(wire):
    """The terminal's bursts as the gateway reads them: the first byte alone,
    then a read that ends 100 ms after the last byte that follows it, or
    2.5 s after it began when none does. So a lone byte takes in a burst
    begun within 2.5 s after it."""
    merged = []
    for burst in wire:
        last = merged[-1] if merged else None
        if last is not None and len(last.data) == 1 and burst.start - last.end < LONE_BYTE_WAIT_S:
            joined = WireBurst(last.data + burst.data, last.kind)
            joined.start, joined.end = last.start, burst.end
            joined.written = last.written + burst.written if last.whole else last.written
            merged[-1] = joined
        else:
            merged.append(burst)
    return merged


def forwardable(wire, link):
    """The pieces the gateway may pass to the VAN over link: the terminal's
    bursts begun while the link was there, cut every 2,049 bytes as the
    gateway reads them, up to the terminal's end; (piece, whole on the line)."""
    pieces = []
    ended = link.van_ended or link.eof
    for burst in gateway_bursts(wire):
        if burst.start < link.accepted:
            continue
        if ended is not None and burst.start >= ended:
            break
        for at in range(0, len(burst.data), MAX_BURST):
            piece = burst.data[at:at + MAX_BURST]
            if ends_link(piece):
                return pieces
            pieces.append((piece, burst.written >= at + len(piece)))
    return pieces


def check_van(tr, link):
    """The VAN's bytes: whole terminal bursts in order, each once; a VAN that
    ended the link itself may have stopped reading anywhere. Gives the count."""
    got = bytes(link.received)
    pieces = forwardable(tr.wire, link)
    pos = index = 0
    while index < len(pieces):
        piece, whole = pieces[index]
        if not whole or got[pos:pos + len(piece)] != piece:
            break
        pos += len(piece)
        index += 1
    rest = got[pos:]
    if not rest:
        return len(got)
    following = pieces[index] if index < len(pieces) else None
    if following and following[0].startswith(rest):
        if not following[1]:
            raise Breach(f"the VAN got {len(rest)} bytes of a burst of {len(following[0])} that the "
                         f"line cut short: a partial burst delivered as if whole")
        if link.van_ended is not None:
            return len(got)
        raise Breach(f"the VAN got {len(rest)} of the {len(following[0])} bytes of a burst, and "
                     f"the link ended: a partial burst delivered as if whole")
    raise Breach(f"the VAN got bytes that the terminal did not send in that order: "
                 f"{len(got)} bytes, the first {pos} as sent, then {rest[:16].hex(' ')}")


def split_answers(rx, van_data):
    """rx as gateway answers (5 x ACK, 5 x ESC) around a prefix of the VAN's
    data: (answers before, data length, answers after), or None."""
    controls = (ACK * 5, ESC * 5)

    def answers(data):
        return len(data) % 5 == 0 and all(data[k:k + 5] in controls for k in range(0, len(data), 5))

    for before in range(0, len(rx) + 1, 5):
        if not answers(rx[:before]):
            break
        rest = rx[before:]
        common = 0
        while common < min(len(rest), len(van_data)) and rest[common] == van_data[common]:
            common += 1
        for length in range(common, max(-1, common - 6), -1):
            if answers(rest[length:]):
                return rx[:before], length, rest[length:]
        if answers(rest):
            return rx[:before], 0, rest
    return None


def notice_owed(tr, link):
    """Whether the terminal must get 5 x ESC for the end of link: the link
    ended on the VAN's side or the gateway's after the terminal had used it
    (the VAN got its bytes, or a burst of it was on the line well before),
    and the terminal neither ended it itself nor lost the line first."""
    vans_own = link.van_ended is not None
    dropped = link.van_ended if vans_own else link.eof
    if dropped is None:
        return False
    if tr.line_gone is not None and tr.line_gone <= dropped + MARGIN_S:
        return False
    slack = MARGIN_S if vans_own else 0.0
    if any(burst.kind == "end" and burst.start <= dropped + slack for burst in tr.wire):
        return False
    return bool(link.received) or any(
        burst.start >= link.accepted and burst.whole and burst.end <= dropped - MARGIN_S
        and burst.kind != "end" and not ends_link(burst.data) for burst in tr.wire)


def check_terminal(tr):
    """The terminal's bytes: the gateway's answers, no more than asked for,
    around the VAN's data in order; 5 x ESC where a dropped link owes it.
    Gives the count of VAN bytes."""
    rx = bytes(tr.rx)
    van_data = bytes(tr.links[0].sent) if tr.links else b""
    parts = split_answers(rx, van_data)
    if parts is None:
        raise Breach(f"the terminal got bytes that are neither the gateway's answers nor the VAN's "
                     f"data in order: {len(rx)} bytes, {rx[:24].hex(' ')}")
    before, length, after = parts
    acks = (before + after).count(ACK * 5)
    escs = (len(before) + len(after)) // 5 - acks
    cr_bursts = sum(1 for b in tr.wire if b.data[:1] == CR)
    frames = sum(1 for b in tr.wire if has_frame(b.data))
    if acks > cr_bursts:
        raise Breach(f"the terminal got {acks} x 5 ACK for {cr_bursts} bursts opening with CR")
    if escs > frames + len(tr.links):
        raise Breach(f"the terminal got {escs} x 5 ESC for {frames} connect requests and "
                     f"{len(tr.links)} links")
    if tr.links and notice_owed(tr, tr.links[0]) and ESC * 5 not in after:
        raise Breach("the gateway dropped a link the terminal had used and never told it "
                     "(no 5 x ESC)")
    return length


def check(tr, payment):
    """Raises Breach unless the payment is one the invariants allow; gives
    (completed, bytes checked at the VAN, bytes checked at the terminal)."""
    if not tr.completed:
        if tr.fault is None:
            raise Breach(f"a payment without a fault failed: {tr.deviation}")
        if tr.struck is None:
            raise Breach(f"the payment failed before its fault struck: {tr.deviation}")
    t2v = sum(check_van(tr, link) for link in tr.links)
    if tr.completed:
        link = tr.links[0]
        wanted = b"".join(piece for piece, _ in forwardable(tr.wire, link))
        soak_compare("the VAN's bytes", wanted, bytes(link.received))
        return True, t2v, len(payment.greeting) + len(payment.reply)
    return False, t2v, check_terminal(tr)


LOG_RECORD = re.compile(r"\d\d:\d\d:\d\d\.\d{3} > (\[(CAT->PC |PC ->CAT|VAN->PC |PC ->VAN)\] "
                        r"\[(\d+) *\] \[([0-9A-F]*)\]|           \[0   \] \[.*\])")


def check_traffic_log(folder):
    """Every record of the traffic log well formed: a count that is the
    number of bytes shown. Gives the number of records."""
    records = 0
    for path in sorted(folder.glob("*.LOG")) if folder.is_dir() else []:
        for line in path.read_bytes().decode("ascii", "replace").split("\r\n")[:-1]:
            match = LOG_RECORD.fullmatch(line)
            if not match or match[3] is not None and len(match[4]) != 2 * int(match[3]):
                raise Breach(f"a record of the traffic log is malformed: {line[:120]!r}")
            records += 1
    return records


def soak_compare(what, wanted, got):
    try:
        soak.compare(what, wanted, got)
    except soak.PaymentFailed as err:
        raise Breach(str(err)) from None


# ---------------------------------------------------------------- the gateways

def set_line_rate(path, rate):
    """Another program sets the line's rate, nothing else (root may open a
    tty its holder opened exclusively)."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        attrs = termios.tcgetattr(fd)
        attrs[4] = attrs[5] = getattr(termios, f"B{rate}")
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
    finally:
        os.close(fd)


class Target:
    """What both gateways share: the terminal's end of the line, the faults
    that strike the line, and the figures."""

    mode = None
    fault_timer = None

    def open_terminal(self):
        try:
            self.term = Stream(open_serial(self.terminal_path(), PTY_SPEED), "terminal")
        except SerialSetupError as err:
            raise SetupError(str(err)) from None

    def strike(self, fault, tr):
        kind = fault["kind"]
        self.fault_ended = threading.Event()
        if kind == "line-pull":
            tr.line_gone = time.monotonic()
            self.unplug()
            self.later(fault["hold"], self.plug)
        elif kind == "line-speed":
            set_line_rate(self.gateway_path(), fault["rate"])
            self.later(fault["hold"], lambda: set_line_rate(self.gateway_path(), PTY_SPEED))
        else:
            tr.line_gone = time.monotonic()
            self.end_program()
            self.fault_ended.set()

    def later(self, seconds, action):
        def run():
            try:
                action()
            finally:
                self.fault_ended_at = time.monotonic()
                self.fault_ended.set()
        self.fault_timer = threading.Timer(seconds, run)
        self.fault_timer.start()

    def end_fault(self, fault, tr):
        """Waits until the fault is over and gives the moment it ended."""
        kind = fault["kind"]
        if tr.struck is None or kind not in ASYNC_FAULTS and not kind.startswith("restart"):
            return time.monotonic()
        self.fault_ended.wait()
        if kind == "line-pull":
            os.close(self.term.fd)
            self.open_terminal()
            return self.fault_ended_at
        if kind == "line-speed":
            return self.fault_ended_at
        return self.restart(kind, fault)

    def after_recovery(self, fault):
        pass

    def log_folder(self):
        return pathlib.Path(self.folder) / "CATLOG"

    def cancel_fault(self):
        """A fault still holding when the run ends: no action after the end."""
        if self.fault_timer is not None:
            self.fault_timer.cancel()
            self.fault_timer.join()

    def idle_share(self, seconds):
        before = cpu_seconds(self.pid)
        time.sleep(seconds)
        return (cpu_seconds(self.pid) - before) / seconds


class RelayTarget(Target):
    """brinvale-relay on one end of a socat pty pair whose ends keep their
    names across replugs; its traffic log goes beside it in the work folder."""

    mode = "relay"
    name = "brinvale-relay"

    def __init__(self, opts, workdir, children):
        relay = os.path.abspath(opts.relay)
        if not os.access(relay, os.X_OK):
            raise SetupError(f"gateway program not found: {relay} (cmake --preset native && "
                             "cmake --build --preset native --target brinvale-relay)")
        if not shutil.which("socat"):
            raise SetupError("socat not found")
        self.workdir, self.children = workdir, children
        self.folder = workdir   # the traffic log goes beside the program
        self.gateway_tty = os.path.join(workdir, "ttyGW")
        self.terminal_tty = os.path.join(workdir, "ttyCAT")
        program = os.path.join(workdir, "brinvale-relay")
        shutil.copy2(relay, program)
        self.plug()
        self.out_path = os.path.join(workdir, "relay.out")
        with open(self.out_path, "wb") as out, open(os.path.join(workdir, "relay.err"), "wb") as err:
            self.proc = children.start([program, "--port", self.gateway_tty, "--speed", str(PTY_SPEED)]
                                       + (["--log"] if opts.log else []), stdout=out, stderr=err)
        if not wait_for(lambda: "link:" in self.output() or self.proc.poll() is not None, 5.0):
            raise SetupError("brinvale-relay printed no link status within 5 s")
        self.check_alive()
        self.pid = self.proc.pid
        self.open_terminal()

    def output(self):
        with open(self.out_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def terminal_path(self):
        return self.terminal_tty

    def gateway_path(self):
        return self.gateway_tty

    def plug(self):
        with open(os.path.join(self.workdir, "socat.log"), "ab") as log:
            self.socat = self.children.start(
                ["socat", f"pty,raw,echo=0,link={self.gateway_tty}", f"pty,raw,echo=0,link={self.terminal_tty}"],
                stdout=log, stderr=log)
        if not wait_for(lambda: os.path.exists(self.gateway_tty) and os.path.exists(self.terminal_tty), 5.0):
            raise RunError("socat made no pty pair within 5 s")

    def unplug(self):
        self.children.stop(self.socat, 5.0)
        self.children.procs.remove(self.socat)
        for link in (self.gateway_tty, self.terminal_tty):
            try:
                os.unlink(link)
            except FileNotFoundError:
                pass

    def end_program(self):
        raise RunError("brinvale-relay has no restart faults")

    def check_alive(self):
        if self.proc.poll() is not None:
            raise Breach(f"brinvale-relay exited (status {self.proc.returncode})")

    def sample(self):
        self.check_alive()
        return linux_figures(self.pid)

    def life(self):
        return 0

    def stop(self, children):
        status, _ = children.stop(self.proc, 5.0)
        if status != 0:
            return f"brinvale-relay ended with status {status} after SIGTERM"
        return None


class WindowsTarget(Target, soak.WindowsTarget):
    """OstrelBrinvale.exe (the signed update test build) installed in
    C:\\OSBRIN with automatic connection on COM5 at 115200, started as the
    start-with-Windows value starts it: its path in quotes, no arguments, from
    Explorer's folder. The update server of the restart faults is
    tests/wine/update_server.py on the port the build was made for."""

    mode = "windows"
    name = "OstrelBrinvale.exe"

    def __init__(self, opts, workdir, children):
        os.environ["BRINVALE_WINE_ROOT"] = opts.wine_root
        if opts.uidriver:
            os.environ["BRINVALE_UIDRIVER"] = os.path.abspath(opts.uidriver)
        sys.path.insert(0, soak.WINE_TESTS)
        import brinvale_ui as bui   # noqa: E402 (needs the Wine root above)
        import update_server        # noqa: E402
        self.bui, self.updates = bui, update_server
        self.workdir, self.opts = workdir, opts
        for path in (opts.exe, opts.next_exe):
            if not os.path.isfile(path):
                raise SetupError(f"{path} not found (cmake --build --preset windows)")
        try:
            bui.uidriver_path()
        except FileNotFoundError as err:
            raise SetupError(str(err)) from None
        self.next_release = open(opts.next_exe, "rb").read()
        self.bad_signature = signed_by_a_stranger(self.next_release, workdir)
        self.folder = bui.install_folder()
        self.program = None
        self.lives = 0
        note(f"Wine environment under {bui.wine_root()} (prefix, X display, COM ports)")
        try:
            bui.gui_env()
        except RuntimeError as err:
            raise SetupError(f"Wine session: {err}") from None
        self.end_all_copies()
        bui.plug_line()
        shutil.rmtree(self.folder, ignore_errors=True)
        bui.install(opts.exe, bui.settings_ini(port=int(GATEWAY_PORT[3:]), speed=GATEWAY_SPEED,
                                               auto_run="Y", log="Y" if opts.log else "N"))
        self.start_program()
        try:
            self.wait_connected()
        except Breach as err:
            raise SetupError(str(err)) from None
        self.open_terminal()

    def terminal_path(self):
        return str(self.bui.terminal_tty())

    def gateway_path(self):
        return self.bui.tty_of(GATEWAY_PORT)

    def unplug(self):
        self.bui.unplug_line()

    def plug(self):
        self.bui.plug_line()

    def end_all_copies(self):
        if self.bui.ui("kill-process", self.name).out not in ("", "0"):
            self.bui.ui("wait-process-gone", self.name, 10000)

    def end_program(self):
        # Ended as a crash or a power cut ends it: every thread at once, as
        # Windows' TerminateProcess does. (Wine's TerminateProcess, which the
        # UI driver's kill-process calls, takes long enough to start that the
        # terminal's pause meanwhile ends its burst, and it lets a thread run
        # on a moment after the device handles have gone.)
        try:
            os.kill(self.pid, signal.SIGKILL)
        except (OSError, TypeError):
            self.bui.kill_program(self.name)
        self.program = None

    def start_program(self):
        explorer_folder = self.bui.prefix() / "drive_c" / "windows" / "system32"
        self.program = self.bui.start_program("C:\\OSBRIN\\" + self.name, cwd=explorer_folder,
                                              log=os.path.join(self.workdir, "program.log"))
        self.lives += 1

    def wait_connected(self):
        """Waits for the automatic connection; its moment."""
        result = self.bui.ui("--has", self.bui.MAIN_CONTROL, "wait-text", self.bui.MAIN_CAPTION,
                             self.bui.ID.IDC_LINK_STATUS, soak.OPEN_LINK, 60000)
        connected = time.monotonic()
        if result.rc != 0:
            raise Breach(f"the program did not connect by itself within 60 s of its start "
                         f"(transfer state {self.main_text(self.bui.ID.IDC_TRANSFER_LABEL)!r})")
        self.pid = self.find_linux_pid()
        return connected

    def restart(self, kind, fault):
        """Started again as at logon, under the fault's conditions; gives the
        moment of the automatic connection."""
        self.bui.ui("wait-process-gone", self.name, 10000)
        self.server = None
        holder = None
        try:
            if kind != "restart-update-unreachable":
                self.server = self.update_server(kind, fault)
            if kind == "restart-held-settings":
                holder = self.bui.start_program(self.bui.uidriver_path(), "hold-file",
                                                "C:\\OSBRIN\\OstrelBrinvale.ini", 60000)
                wait_for(lambda: "held" in holder.output(), 20)
            started = time.monotonic()
            self.start_program()
            connected = self.wait_connected()
            note(f"  {kind}: connected {connected - started:.1f} s after the start")
            return connected
        finally:
            if holder is not None:
                holder.stop()

    def update_server(self, kind, fault):
        server = self.updates.UpdateServer(self.opts.update_port).start()
        reply = self.updates.Reply
        if kind == "restart-update-garbage":
            server.set_version(reply.text(random.Random(fault["seed"]).randbytes(200)))
        elif kind == "restart-update-stall":
            server.set_silent()
        elif kind == "restart-update-bad-signature":
            server.set_version(reply.offer("2.0.0.4", server.url(FILE_PATH)))
            server.set_file(FILE_PATH, reply.file(self.next_release))
            server.set_file(FILE_PATH + ".sig", reply.text(self.bad_signature))
        else:
            server.set_version(reply.offer("2.0.0.3", server.url(FILE_PATH)))   # this version
        return server

    def after_recovery(self, fault):
        """The update's word, if it owes one: "업데이트 실패" once after a bad
        signature, nothing after any other start."""
        if not fault["kind"].startswith("restart"):
            return
        try:
            bad = fault["kind"] == "restart-update-bad-signature"
            shown = self.bui.ui("msgbox", self.bui.MAIN_CAPTION, 20000 if bad else 300)
            if bad and shown.out != FAILED_UPDATE:
                raise Breach(f"after a download with a bad signature the program said "
                             f"{shown.out or 'nothing'!r}, not {FAILED_UPDATE!r}")
            if not bad and shown.rc == 0:
                raise Breach(f"the program said {shown.out!r} after a {fault['kind']}")
            if bad:
                self.bui.ui_ok("answer", self.bui.MAIN_CAPTION, "ok", 5000)
        finally:
            if self.server is not None:
                self.server.stop()
                self.server = None

    def check_alive(self):
        if self.program is None or not self.program.running:
            raise Breach(f"{self.name} ended by itself")

    def life(self):
        return self.lives

    def stop(self, children):
        if self.program is not None:
            self.end_all_copies()
            self.program = None
        return None

    def clean_up(self):
        self.end_all_copies()
        self.bui.plug_line()
        shutil.rmtree(self.folder, ignore_errors=True)


def signed_by_a_stranger(data, workdir):
    """A signature of data by a key that is not the release key."""
    key = os.path.join(workdir, "stranger.pem")
    subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", key],
                   check=True, capture_output=True)
    path = os.path.join(workdir, "next.exe")
    with open(path, "wb") as f:
        f.write(data)
    return subprocess.run(["openssl", "dgst", "-sha256", "-sign", key, path],
                          check=True, capture_output=True).stdout


# ---------------------------------------------------------------- the run

class Tally:
    def __init__(self):
        self.faults = {}            # kind -> {"count", "cut", "recovery": []}
        self.phases = {phase: 0 for phase in PHASES}
        self.completed = self.cut = self.lost = 0
        self.t2v = self.v2t = 0
        self.idle = []              # (seconds, CPU share)
        self.log_records = None     # traffic log records checked
        self.samples = []           # figures dicts, with "life"
        self.history = []

    def fault(self, kind):
        return self.faults.setdefault(kind, {"count": 0, "cut": 0, "recovery": []})


class Chaos:
    def __init__(self, opts, target, tally):
        self.opts, self.target, self.tally = opts, target, tally
        self.player = Player(target)
        self.first = {}             # life -> its first sample

    def run(self, entries, deadline):
        pending = None              # (fault, moment it ended)
        next_sample = None
        for entry in entries:
            if time.monotonic() >= deadline and pending is None:
                break
            self.tally.history.append(entry)
            payment = Payment(entry["n"], random.Random(entry["seed"]))
            tr = self.player.play(payment, entry)
            try:
                completed, t2v, v2t = check(tr, payment)
            except Breach:
                self.tally.lost += 1
                raise
            self.count(tr, completed, t2v, v2t)
            fault = entry.get("fault")
            if fault and tr.struck is not None:
                pending = (fault, self.target.end_fault(fault, tr))
                self.tally.fault(fault["kind"])["count"] += 1
                self.tally.phases[fault["phase"]] += 1
                if not completed:
                    self.tally.fault(fault["kind"])["cut"] += 1
            elif entry.get("probe") and pending:
                self.recovered(pending, tr)
                pending = None
            self.target.check_alive()
            if entry["n"] >= WARM_UP and pending is None:
                if next_sample is None or time.monotonic() >= next_sample:
                    self.sample()
                    next_sample = time.monotonic() + self.opts.sample_minutes * 60.0
            if not entry.get("fault"):
                time.sleep(payment.pause)
        self.sample()
        self.check_idle_share()
        self.tally.log_records = check_traffic_log(self.target.log_folder())

    def check_idle_share(self):
        seconds = sum(s for s, _ in self.tally.idle)
        if seconds:
            share = sum(s * part for s, part in self.tally.idle) / seconds
            ceiling = IDLE_CEILING[self.target.mode]
            if share > ceiling:
                raise Breach(f"the gateway used {share:.2%} of a core while idle between faults "
                             f"(the soak's ceiling {ceiling:.1%})")

    def count(self, tr, completed, t2v, v2t):
        self.tally.t2v += t2v
        self.tally.v2t += v2t
        if completed:
            self.tally.completed += 1
        else:
            self.tally.cut += 1
        note(f"{describe(tr.entry)}: {'completed' if completed else 'ended: ' + tr.deviation}")

    def recovered(self, pending, tr):
        fault, ended = pending
        took = tr.first_answer - max(ended, tr.asked)
        self.tally.fault(fault["kind"])["recovery"].append(took)
        note(f"  recovered {took:.2f} s after the {fault['kind']} ended")
        if took > RECOVERY_LIMIT_S:
            raise Breach(f"the gateway answered {took:.2f} s after the {fault['kind']} ended "
                         f"(limit {RECOVERY_LIMIT_S:g} s)")
        self.target.after_recovery(fault)
        share = self.target.idle_share(IDLE_WINDOW_S)
        self.tally.idle.append((IDLE_WINDOW_S, share))
        if share > SPIN_LIMIT:
            raise Breach(f"the idle gateway used {share:.0%} of a core after a {fault['kind']}")

    def sample(self):
        figures = self.target.sample()
        figures["life"] = self.target.life()
        figures["elapsed"] = time.monotonic()
        self.tally.samples.append(figures)
        first = self.first.setdefault(figures["life"], figures)
        for key, allowed in soak.tolerances(self.target.mode, first):
            a, b = first.get(key), figures.get(key)
            if None not in (a, b, allowed) and b - a > allowed:
                raise Breach(f"{key} grew from {a:,} to {b:,} (allowed +{allowed:,.0f})")


# ---------------------------------------------------------------- report

def quantile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else None


def summary(opts, target, tally, wall, breach):
    recoveries = [r for f in tally.faults.values() for r in f["recovery"]]
    idle_s = sum(s for s, _ in tally.idle)
    idle = sum(s * share for s, share in tally.idle) / idle_s if idle_s else None
    lives = {}
    for s in tally.samples:
        lives.setdefault(s["life"], []).append(s)
    longest = max(lives.values(), key=len) if lives else []
    keys = [k for k, _ in (soak.RELAY_COLUMNS if opts.mode == "relay" else soak.WINDOWS_COLUMNS)]
    return {
        "mode": opts.mode, "program": target.name if target else None, "seed": opts.seed,
        "minutes": round(wall / 60.0, 1), "breach": breach,
        "faults": {kind: {"label": FAULTS[kind].label, "count": f["count"], "cut": f["cut"],
                          "recovery_s": stats(f["recovery"])}
                   for kind, f in sorted(tally.faults.items())},
        "phases": tally.phases,
        "total_faults": sum(f["count"] for f in tally.faults.values()),
        "recovery_s": stats(recoveries),
        "payments": {"completed": tally.completed, "ended_by_fault": tally.cut,
                     "lost": tally.lost},
        "bytes_checked": {"terminal_to_van": tally.t2v, "van_to_terminal": tally.v2t},
        "traffic_log_records": tally.log_records,
        "idle_cpu": {"windows": len(tally.idle), "share": idle,
                     "highest": max((s for _, s in tally.idle), default=None)},
        "resources": {"lives": len(lives), "first": pick(longest[0], keys) if longest else None,
                      "last": pick(longest[-1], keys) if longest else None},
        "history": tally.history if breach else None,
    }


def stats(values):
    if not values:
        return None
    return {"p50": round(quantile(values, 0.5), 3), "p99": round(quantile(values, 0.99), 3),
            "max": round(max(values), 3)}


def pick(figures, keys):
    return {k: figures.get(k) for k in keys}


def print_report(result):
    print(f"chaos ({result['mode']}): {result['program']}, seed {result['seed']}, "
          f"{result['minutes']} min, {os.cpu_count()} CPUs")
    print()
    head = ["fault", "count", "cut", "recovery p50", "p99", "max"]
    rows = []
    for kind, f in result["faults"].items():
        r = f["recovery_s"] or {}
        rows.append([kind, str(f["count"]), str(f["cut"])]
                    + [f"{r[k]:.2f} s" if k in r else "-" for k in ("p50", "p99", "max")])
    r = result["recovery_s"] or {}
    rows.append(["all", str(result["total_faults"]), str(sum(f["cut"] for f in result["faults"].values()))]
                + [f"{r[k]:.2f} s" if k in r else "-" for k in ("p50", "p99", "max")])
    soak.print_table(head, rows)
    print()
    print("faults by phase: " + ", ".join(f"{p} {n}" for p, n in result["phases"].items()))
    pay = result["payments"]
    print(f"payments: completed {pay['completed']:,}, ended by a fault {pay['ended_by_fault']:,}, "
          f"lost {pay['lost']}")
    b = result["bytes_checked"]
    print(f"bytes checked: terminal->VAN {b['terminal_to_van']:,}, VAN->terminal {b['van_to_terminal']:,}")
    if result["traffic_log_records"] is not None:
        print(f"traffic log: {result['traffic_log_records']:,} records, every one well formed")
    idle = result["idle_cpu"]
    if idle["share"] is not None:
        print(f"idle CPU between faults: {100 * idle['share']:.3f} % of a core over {idle['windows']} "
              f"windows of {IDLE_WINDOW_S:g} s (highest {100 * idle['highest']:.2f} %)")
    res = result["resources"]
    if res["first"]:
        print(f"resources over the longest process life ({res['lives']} in all): "
              + ", ".join(f"{k} {res['first'][k]} -> {res['last'][k]}" for k in res["first"]
                          if res["first"][k] is not None))
    print(f"every byte intact, every recovery within {RECOVERY_LIMIT_S:g} s: "
          f"{'NO' if result['breach'] else 'yes'}")


def write_replay(path, opts, tally, breach):
    with open(path, "w") as f:
        json.dump({"mode": opts.mode, "seed": opts.seed, "breach": breach,
                   "entries": tally.history}, f, indent=1)


# ---------------------------------------------------------------- main

def default_update_port():
    cache = os.path.join(BUILD, "windows", "CMakeCache.txt")
    try:
        for line in open(cache):
            if line.startswith("BRINVALE_TEST_UPDATE_HOST:"):
                return int(line.rsplit(":", 1)[1])
    except (OSError, ValueError):
        pass
    return 18481


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Chaos run: payments through the gateway while "
                                                 "faults strike every phase; every byte checked.")
    parser.add_argument("mode", nargs="?", choices=("relay", "windows"), default="relay")
    parser.add_argument("--seed", type=int, default=1, help="seed of payments and faults (default 1)")
    parser.add_argument("--minutes", type=float,
                        help="length of the run (default 15 for relay, 10 for windows)")
    parser.add_argument("--sample-minutes", type=float, metavar="M",
                        help="minutes between resource samples (default: a tenth of the run, 0.5 to 5)")
    parser.add_argument("--json", metavar="FILE", help="write the figures as JSON")
    parser.add_argument("--replay", metavar="FILE", help="play the history of a breach file again")
    parser.add_argument("--last", type=int, metavar="N", help="with --replay: only its last N payments")
    parser.add_argument("--breach-file", metavar="FILE",
                        help="where a breach's history goes (default chaos-breach-MODE-SEED.json)")
    parser.add_argument("--no-log", dest="log", action="store_false", help="gateway without traffic log")
    parser.add_argument("--relay", default=os.path.join(BUILD, "native", "brinvale-relay"), metavar="PATH")
    parser.add_argument("--exe", default=os.path.join(BUILD, "windows", "update-signed", "OstrelBrinvale.exe"),
                        metavar="PATH", help="the signed update test build")
    parser.add_argument("--next-exe", default=os.path.join(BUILD, "windows", "update-next", "OstrelBrinvale.exe"),
                        metavar="PATH", help="the newer version the bad-signature fault offers")
    parser.add_argument("--uidriver", metavar="PATH")
    parser.add_argument("--update-port", type=int,
                        default=int(os.environ.get("BRINVALE_TEST_UPDATE_PORT") or default_update_port()))
    parser.add_argument("--wine-root", metavar="DIR",
                        default=os.environ.get("BRINVALE_WINE_ROOT", f"/tmp/brinvale-wine-chaos-{os.getuid()}"))
    parser.add_argument("--keep-wine", action="store_true",
                        help="leave the Wine server, X server and COM ports running at the end")
    opts = parser.parse_args(argv)
    if opts.replay:
        with open(opts.replay) as f:
            replay = json.load(f)
        opts.mode, opts.seed = replay["mode"], replay["seed"]
        opts.entries = replay["entries"][-opts.last:] if opts.last else replay["entries"]
        opts.minutes = opts.minutes or 24 * 60.0
    else:
        opts.entries = None
        opts.minutes = opts.minutes or (15.0 if opts.mode == "relay" else 10.0)
    if opts.sample_minutes is None:
        opts.sample_minutes = min(5.0, max(0.5, opts.minutes / 10.0))
    opts.breach_file = opts.breach_file or f"chaos-breach-{opts.mode}-{opts.seed}.json"
    return opts


def main(argv=None):
    opts = parse_args(argv)
    arm_deadline(opts.minutes * 60 * 1.5 + 900 if not opts.entries else 24 * 3600, RunError)
    children = Children()
    workdir = tempfile.mkdtemp(prefix="brinvale-chaos.")
    target, tally, breach, status = None, Tally(), None, 0
    begun = time.monotonic()
    try:
        target = (RelayTarget if opts.mode == "relay" else WindowsTarget)(opts, workdir, children)
        entries = opts.entries or schedule(opts.seed, opts.mode, opts.minutes >= LONG_RUN_MIN)
        note(f"{len(opts.entries)} payments of a replay" if opts.entries
             else f"{opts.minutes:g} min of payments and faults, seed {opts.seed}")
        begun = time.monotonic()
        Chaos(opts, target, tally).run(entries, begun + opts.minutes * 60.0)
        stopped = target.stop(children)
        if stopped:
            note(stopped)
    except Breach as err:
        breach = str(err)
        status = 1
    except SetupError as err:
        note(f"setup failed: {err}")
        status = 2
    except RunError as err:
        note(f"run failed: {err}")
        breach, status = f"the bench itself failed: {err}", 1
    except KeyboardInterrupt:
        note("interrupted")
        status = 130
    finally:
        signal.alarm(0)
        if target is not None:
            try:
                target.cancel_fault()
                target.stop(children)
                if opts.mode == "windows":
                    target.clean_up()
            except Exception as err:   # cleanup goes on whatever happens
                note(f"stopping {target.name}: {err}")
        children.stop_all()
        if opts.mode == "windows" and not opts.keep_wine:
            soak.stop_wine(opts)
        shutil.rmtree(workdir, ignore_errors=True)
    if status in (2, 130):
        return status
    result = summary(opts, target, tally, time.monotonic() - begun, breach)
    print_report(result)
    if breach:
        write_replay(opts.breach_file, opts, tally, breach)
        print()
        print(f"BREACH: {breach}")
        print(f"seed {opts.seed}; the last payments and faults:")
        for entry in tally.history[-8:]:
            print(f"  {describe(entry)}")
        print(f"history written to {opts.breach_file}; replay: {sys.argv[0]} --replay "
              f"{opts.breach_file} [--last N]")
    if opts.json:
        with open(opts.json, "w") as f:
            json.dump(result, f, indent=1)
    return status


if __name__ == "__main__":
    sys.exit(main())
