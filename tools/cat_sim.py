#!/usr/bin/python3
"""Card terminal (CAT) simulator for the gateway's serial side.

Opens a serial device (a real port or one end of a pty pair), puts it in raw
8N1 mode and plays a list of steps the way a card terminal would: wake the
gateway, ask for a VAN link, send bursts, check what comes back, end the link.
Every chunk sent and received is printed with the milliseconds since start, so
a run doubles as a timing log for demos and benchmarks.

Python 3 standard library only.
"""

import argparse
import os
import random
import select
import shlex
import socket
import sys
import termios
import time

SOH, ETB, FS = 0x01, 0x17, 0x1C
ACK, ESC, CR = 0x06, 0x1B, 0x0D

EXIT_PASS, EXIT_FAIL, EXIT_USAGE = 0, 1, 2

DEFAULT_TIMEOUT_S = 5.0
# A lone CR is answered only after the gateway's continuation read has waited
# out (about 2.5 s), so the wake-up needs more than the usual margin.
DEFAULT_WAKE_TIMEOUT_S = 4.0
# The gateway separates bursts by silence of more than 100 ms; 300 ms after
# each send keeps consecutive steps from merging into one burst.
DEFAULT_GAP_MS = 300
MAX_BURST = 65536

STEPS_HELP = """\
steps (run in order; arguments follow the step name as separate words):
  wake [T]            send a lone CR (0D), expect 06 06 06 06 06 within T s
                      (default 4; the gateway answers after about 2.5 s)
  connect HOST:PORT   send SOH HOST FS PORT ETB as one burst; HOST must be a
                      loopback address (127.x.x.x) or text that is no address
                      at all (to provoke a refusal); PORT is sent as written
  send HEX            send these bytes as one burst ("02 31 32 03" or 02313203)
  text STRING         send STRING (UTF-8) as one burst; \\r \\n \\t \\\\ and \\xHH
                      escapes are understood
  burst N             send N pseudo-random bytes as one burst (seeded by --seed;
                      the gateway takes at most 2049 bytes per burst)
  expect HEX [T]      the next received bytes must be exactly HEX, within T s
  expect-len N [T]    wait until N bytes have been received (any content)
  expect-echo [T]     the next received bytes must equal the last data burst
                      sent (send, text or burst): for an echoing VAN
  expect-none T       fail if any byte arrives within T s
  wait T              keep receiving and printing for T s
  discard             forget bytes received but not yet matched by an expect
  end-esc             send 1B 1B 1B 1B 1B (the terminal ends the link; the
                      gateway answers nothing; check with expect-none)
  end-cr [T]          send 0D 0D 0D 0D 0D and expect 1B 1B 1B 1B 1B within T s

  T defaults to --timeout. Received bytes queue up until an expect step
  consumes them, so data that arrives during a pause or a wait still counts.
  A pause of --gap ms follows connect, send, text, burst and end-esc.
  Put -- before the steps when a step word starts with '-'.

examples:
  %(prog)s /tmp/x/ttyB wake connect 127.0.0.1:5000 expect '02 06 03' \\
      text 'hello' expect-echo end-cr
  %(prog)s -f payment.steps /dev/ttyUSB0

exit status: 0 every step passed, 1 a step failed, 2 usage or open error
"""


class UsageError(Exception):
    """A bad step list or device: reported with exit status 2."""


# ---------------------------------------------------------------- parsing

def parse_hex(text):
    """Bytes from hex text; blanks, colons, commas and dashes may separate them."""
    cleaned = "".join(ch for ch in text if ch not in " \t:,-")
    if cleaned.lower().startswith("0x"):
        cleaned = cleaned[2:]
    try:
        data = bytes.fromhex(cleaned)
    except ValueError:
        raise UsageError(f"not hex bytes: {text!r}") from None
    if not data:
        raise UsageError(f"no bytes in {text!r}")
    return data


def parse_text(text):
    """Text with backslash escapes, as bytes; lets control bytes ride in a text step."""
    try:
        return text.encode("utf-8").decode("unicode_escape").encode("latin-1")
    except (UnicodeDecodeError, UnicodeEncodeError) as err:
        raise UsageError(f"bad escape in text {text!r}: {err}") from None


def parse_count(text):
    """A burst or receive length: a positive integer."""
    try:
        value = int(text)
    except ValueError:
        raise UsageError(f"not a count: {text!r}") from None
    if not 1 <= value <= MAX_BURST:
        raise UsageError(f"count out of range 1..{MAX_BURST}: {value}")
    return value


def parse_seconds(text):
    """A non-negative number of seconds."""
    value = to_seconds(text)
    if value is None:
        raise UsageError(f"not a number of seconds: {text!r}")
    return value


def to_seconds(text):
    """Seconds from text, or None when the word is no number (then it is a step name)."""
    try:
        value = float(text)
    except ValueError:
        return None
    return value if value >= 0 else None


def parse_connect_target(text):
    """HOST:PORT split at the last colon; the texts go to the gateway as written."""
    host, sep, port = text.rpartition(":")
    if not sep:
        raise UsageError(f"connect needs HOST:PORT, got {text!r}")
    check_loopback_host(host)
    return host.encode("latin-1"), port.encode("latin-1")


def check_loopback_host(host):
    """Refuse a request that would send the gateway to a non-loopback address.

    The gateway connects wherever the terminal says; a typo here must not make
    it dial out. Texts that are no address at all are allowed, so that refused
    requests can still be tried.
    """
    try:
        packed = socket.inet_aton(host)
    except OSError:
        return
    if packed[0] != 127:
        raise UsageError(f"connect host {host!r} is not a loopback address")


# Each step: argument parsers in order; the last ones may be optional numbers.
STEP_ARGS = {
    "wake": ([], ["timeout"]),
    "connect": ([parse_connect_target], []),
    "send": ([parse_hex], []),
    "text": ([parse_text], []),
    "burst": ([parse_count], []),
    "expect": ([parse_hex], ["timeout"]),
    "expect-len": ([parse_count], ["timeout"]),
    "expect-echo": ([], ["timeout"]),
    "expect-none": ([parse_seconds], []),
    "wait": ([parse_seconds], []),
    "discard": ([], []),
    "end-esc": ([], []),
    "end-cr": ([], ["timeout"]),
}


class Step:
    """One parsed step: its name, its arguments and the words it came from."""

    def __init__(self, name, args, timeout, words):
        self.name = name
        self.args = args
        self.timeout = timeout
        self.words = words

    def __str__(self):
        return " ".join(self.words)


def parse_steps(words):
    """Turn the flat word list into steps; an optional timeout is a trailing number."""
    steps = []
    i = 0
    while i < len(words):
        name = words[i]
        if name not in STEP_ARGS:
            raise UsageError(f"unknown step {name!r} (see --help)")
        required, optional = STEP_ARGS[name]
        first = i
        i += 1
        args = []
        for parse in required:
            if i >= len(words):
                raise UsageError(f"step {name!r} is missing an argument")
            args.append(parse(words[i]))
            i += 1
        timeout = None
        if optional and i < len(words) and to_seconds(words[i]) is not None:
            timeout = to_seconds(words[i])
            i += 1
        steps.append(Step(name, args, timeout, words[first:i]))
    return steps


def read_step_file(path):
    """Words of a step file: shell-like quoting, '#' starts a comment."""
    try:
        with open(path, encoding="utf-8") as f:
            return shlex.split(f.read(), comments=True)
    except (OSError, ValueError) as err:
        raise UsageError(f"cannot read step file {path}: {err}") from None


# ---------------------------------------------------------------- serial line

def speed_constant(speed):
    """The termios speed constant for a baud rate, or a usage error."""
    const = getattr(termios, f"B{speed}", None)
    if const is None:
        raise UsageError(f"unsupported speed {speed}")
    return const


def open_serial(path, speed):
    """Open the device raw 8N1 without echo or flow control.

    Non-blocking, so that every receive can be bounded by a deadline with
    select(); O_NOCTTY so a pty never becomes our controlling terminal.
    """
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as err:
        raise UsageError(f"cannot open {path}: {err.strerror}") from None
    try:
        attrs = termios.tcgetattr(fd)
        iflag, oflag, cflag, lflag = attrs[0:4]
        iflag &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP
                   | termios.INLCR | termios.IGNCR | termios.ICRNL
                   | termios.IXON | termios.IXOFF | termios.IXANY | termios.INPCK)
        oflag &= ~termios.OPOST
        lflag &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG
                   | termios.IEXTEN)
        cflag &= ~(termios.CSIZE | termios.PARENB | termios.CSTOPB | termios.CRTSCTS)
        cflag |= termios.CS8 | termios.CREAD | termios.CLOCAL
        attrs[0:4] = [iflag, oflag, cflag, lflag]
        attrs[4] = attrs[5] = speed_constant(speed)
        attrs[6][termios.VMIN] = 1
        attrs[6][termios.VTIME] = 0
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
        # Bytes left over from an earlier run would be taken for answers.
        termios.tcflush(fd, termios.TCIOFLUSH)
    except termios.error as err:
        os.close(fd)
        raise UsageError(f"cannot set up {path}: {err.args[-1]}") from None
    return fd


# ---------------------------------------------------------------- terminal

class Terminal:
    """The terminal's end of the line: sends bursts, collects and prints replies."""

    def __init__(self, fd, gap_s, quiet, dump_limit):
        self.fd = fd
        self.gap_s = gap_s
        self.quiet = quiet
        self.dump_limit = dump_limit
        self.start = time.monotonic()
        self.pending = bytearray()   # received, not yet consumed by an expect
        self.last_data = b""         # last send/text/burst, for expect-echo
        self.sent_total = 0
        self.received_total = 0

    # -- output

    def ms(self):
        return int((time.monotonic() - self.start) * 1000)

    def line(self, text, always=False):
        if always or not self.quiet:
            print(f"[{self.ms():6d} ms] {text}", flush=True)

    def dump(self, arrow, data):
        self.line(f"CAT {arrow} {hex_dump(data, self.dump_limit)}")

    # -- receiving

    def receive(self, deadline, done=lambda: False):
        """Collect and print incoming chunks until done() holds or the deadline passes.

        Returns done()'s final value, so callers can tell success from time-out.
        """
        while not done():
            left = deadline - time.monotonic()
            if left <= 0:
                return done()
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                self.read_chunk()
        return True

    def read_chunk(self):
        try:
            data = os.read(self.fd, 4096)
        except BlockingIOError:
            return
        except OSError as err:
            # A pty whose other end went away reads EIO; nothing more will come.
            raise LineError(f"read failed: {err.strerror}") from None
        if not data:
            raise LineError("line closed")
        self.pending += data
        self.received_total += len(data)
        self.dump("<-", data)

    # -- sending

    def send(self, data, pause=True):
        """Write data as one burst, then stay quiet for the gap so the burst ends."""
        self.receive(time.monotonic())  # print what came before, in order
        self.dump("->", data)
        view = memoryview(data)
        while view:
            try:
                n = os.write(self.fd, view)
            except BlockingIOError:
                select.select([], [self.fd], [], 1.0)
                continue
            except OSError as err:
                raise LineError(f"write failed: {err.strerror}") from None
            view = view[n:]
        self.sent_total += len(data)
        # On a real port the driver may still be shifting bits out; the gap
        # must start after the last one. A pty returns at once.
        termios.tcdrain(self.fd)
        if pause and self.gap_s > 0:
            self.receive(time.monotonic() + self.gap_s)

    def take(self, count):
        data = bytes(self.pending[:count])
        del self.pending[:count]
        return data


class LineError(Exception):
    """The serial line failed under us: the run cannot go on."""


def hex_dump(data, limit=0):
    """'06 06 06' style text, cut after limit bytes when limit is set."""
    if limit and len(data) > limit:
        return f"{data[:limit].hex(' ').upper()} ... ({len(data)} bytes)"
    return data.hex(" ").upper()


# ---------------------------------------------------------------- steps

class StepFailed(Exception):
    """An expectation was not met; the message says what arrived instead."""


def expect_exact(term, wanted, timeout):
    """The next received bytes must be exactly `wanted`; fail early on a mismatch."""
    deadline = time.monotonic() + timeout

    def settled():
        have = term.pending[:len(wanted)]
        return len(have) == len(wanted) or have != wanted[:len(have)]

    term.receive(deadline, settled)
    have = bytes(term.pending[:len(wanted)])
    if have == wanted:
        term.take(len(wanted))
        return
    if not have:
        raise StepFailed(f"nothing received in {timeout:g} s")
    if have != wanted[:len(have)]:
        raise StepFailed(f"received {hex_dump(have, 64)}")
    raise StepFailed(f"only {hex_dump(have, 64)} received in {timeout:g} s")


def expect_count(term, count, timeout):
    deadline = time.monotonic() + timeout
    term.receive(deadline, lambda: len(term.pending) >= count)
    if len(term.pending) < count:
        raise StepFailed(f"only {len(term.pending)} of {count} bytes in {timeout:g} s")
    term.take(count)


def expect_none(term, seconds):
    before = len(term.pending)
    term.receive(time.monotonic() + seconds, lambda: len(term.pending) > before)
    if len(term.pending) > before:
        raise StepFailed(f"received {hex_dump(bytes(term.pending[before:]), 64)}")


def send_data(term, data):
    term.send(data)
    term.last_data = data


def run_step(term, step, ctx):
    """Carry out one step; raises StepFailed when its expectation is not met."""
    name, args = step.name, step.args
    timeout = step.timeout if step.timeout is not None else ctx.timeout
    if name == "wake":
        term.send(bytes([CR]), pause=False)
        expect_exact(term, bytes([ACK] * 5),
                     step.timeout if step.timeout is not None else DEFAULT_WAKE_TIMEOUT_S)
    elif name == "connect":
        host, port = args[0]
        term.send(bytes([SOH]) + host + bytes([FS]) + port + bytes([ETB]))
    elif name in ("send", "text"):
        send_data(term, args[0])
    elif name == "burst":
        send_data(term, ctx.rng.randbytes(args[0]))
    elif name == "expect":
        expect_exact(term, args[0], timeout)
    elif name == "expect-len":
        expect_count(term, args[0], timeout)
    elif name == "expect-echo":
        if not term.last_data:
            raise StepFailed("no data burst sent yet")
        expect_exact(term, term.last_data, timeout)
    elif name == "expect-none":
        expect_none(term, args[0])
    elif name == "wait":
        term.receive(time.monotonic() + args[0])
    elif name == "discard":
        dropped = term.take(len(term.pending))
        if dropped:
            term.line(f"discarded {len(dropped)} bytes")
    elif name == "end-esc":
        term.send(bytes([ESC] * 5))
    elif name == "end-cr":
        term.send(bytes([CR] * 5), pause=False)
        expect_exact(term, bytes([ESC] * 5), timeout)
    else:  # parse_steps lets no other name through
        raise AssertionError(name)


class RunContext:
    """Settings shared by all steps of a run."""

    def __init__(self, timeout, seed):
        self.timeout = timeout
        self.rng = random.Random(seed)


def run(term, steps, ctx, keep_going):
    """Play the steps; the result is the number of failed steps."""
    failures = 0
    for number, step in enumerate(steps, 1):
        term.line(f"-- {number}: {step}")
        begun = time.monotonic()
        try:
            run_step(term, step, ctx)
        except StepFailed as err:
            failures += 1
            term.line(f"FAIL {number}: {step}: {err}", always=True)
            if not keep_going:
                term.line(f"stopped after step {number} of {len(steps)}", always=True)
                break
            # What arrived has been reported; keeping it would fail every
            # later expect as well.
            term.take(len(term.pending))
            continue
        took = int((time.monotonic() - begun) * 1000)
        term.line(f"ok {number}: {step} ({took} ms)")
    return failures


# ---------------------------------------------------------------- main

def build_parser():
    parser = argparse.ArgumentParser(
        description="Card terminal simulator: plays terminal steps on a serial line "
                    "and prints every byte sent (CAT ->) and received (CAT <-).",
        epilog=STEPS_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("device", help="serial device, e.g. /dev/ttyUSB0 or a pty path")
    parser.add_argument("steps", nargs="*", metavar="STEP",
                        help="steps and their arguments (see below)")
    parser.add_argument("-f", "--file", metavar="FILE",
                        help="read steps from FILE (run before the command-line steps)")
    parser.add_argument("--speed", type=int, default=9600, help="baud rate (default 9600)")
    parser.add_argument("--gap", type=int, default=DEFAULT_GAP_MS, metavar="MS",
                        help=f"silence after each sent burst (default {DEFAULT_GAP_MS})")
    parser.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT_S, metavar="S",
                        help=f"default expect time-out (default {DEFAULT_TIMEOUT_S:g})")
    parser.add_argument("--seed", type=int, default=1,
                        help="seed of the burst step's bytes (default 1)")
    parser.add_argument("--dump-limit", type=int, default=0, metavar="N",
                        help="print at most N bytes of each chunk (default 0: all)")
    parser.add_argument("-k", "--keep-going", action="store_true",
                        help="go on after a failed step")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="print only failures and the summary")
    return parser


def main(argv=None):
    args = build_parser().parse_intermixed_args(argv)
    try:
        words = read_step_file(args.file) if args.file else []
        steps = parse_steps(words + args.steps)
        if not steps:
            raise UsageError("no steps given")
        if args.gap < 0 or args.timeout < 0:
            raise UsageError("--gap and --timeout must not be negative")
        speed_constant(args.speed)
        fd = open_serial(args.device, args.speed)
    except UsageError as err:
        print(f"cat_sim: {err}", file=sys.stderr)
        return EXIT_USAGE

    term = Terminal(fd, args.gap / 1000.0, args.quiet, args.dump_limit)
    term.line(f"opened {args.device} at {args.speed} 8N1")
    try:
        failures = run(term, steps, RunContext(args.timeout, args.seed), args.keep_going)
    except LineError as err:
        term.line(f"FAIL: {err}", always=True)
        failures = 1
    except KeyboardInterrupt:
        term.line("FAIL: interrupted", always=True)
        failures = 1
    finally:
        os.close(fd)

    left = len(term.pending)
    summary = f"sent {term.sent_total} bytes, received {term.received_total} bytes"
    if left:
        summary += f", {left} not matched by any expect"
    if failures == 0:
        verdict = f"PASS: {len(steps)} steps"
    else:
        verdict = f"FAIL: {failures} of {len(steps)} steps failed"
    term.line(f"{verdict}; {summary}", always=True)
    return EXIT_PASS if failures == 0 else EXIT_FAIL


if __name__ == "__main__":
    sys.exit(main())
