#!/usr/bin/python3
"""VAN server simulator for the gateway's network side.

Listens on a loopback TCP port and serves one link at a time, the way a
payment server would: it may greet at once (the gateway counts a link as up
only when the server has sent something within 2 s), echo or answer what it
receives, and close the link after a while. Every chunk received and sent is
printed with the milliseconds since start, one line each, flushed at once so
another program can follow the output through a pipe.

Python 3 standard library only.
"""

import argparse
import ipaddress
import os
import select
import signal
import socket
import sys
import time

EXIT_OK, EXIT_USAGE = 0, 2

# A rule's input may arrive in more than one TCP segment; wait this long for
# the rest before treating what came as unmatched.
ASSEMBLY_WAIT_S = 0.3

SCRIPT_HELP = """\
reply script (--reply-script FILE), one rule a line, '#' starts a comment:
  HEX_IN -> HEX_OUT          when the data received equals HEX_IN, send HEX_OUT
  HEX_IN -> HEX_OUT close    ... and then close the link
  HEX_IN -> close            close the link without answering
  HEX_IN ->                  swallow HEX_IN, answer nothing
  *      -> HEX_OUT          any data that no other rule matches
  Hex bytes may be written "02 31 32 03" or 02313203. Received data is
  collected until it equals a rule's HEX_IN (the first such rule wins); data
  that no rule can match is answered by the '*' rule, else by --echo or
  --reply if given, else ignored.

The gateway counts a link as up only when the server sends something within
2 s of the connect: without --greet (or with --greet-delay 2 or more) the
gateway's connection attempt fails, which is useful for testing that case.

examples:
  %(prog)s --port 0 --greet '02 06 03' --echo
  %(prog)s --port 5000 --greet 06 --reply-script payment.rules --once
"""


class UsageError(Exception):
    """A bad option or script: reported with exit status 2."""


class Shutdown(Exception):
    """SIGTERM or SIGINT arrived: close everything and exit 0."""


# ---------------------------------------------------------------- parsing

def parse_hex(text, allow_empty=False):
    """Bytes from hex text; blanks, colons, commas and dashes may separate them."""
    cleaned = "".join(ch for ch in text if ch not in " \t:,-")
    try:
        data = bytes.fromhex(cleaned)
    except ValueError:
        raise UsageError(f"not hex bytes: {text!r}") from None
    if not data and not allow_empty:
        raise UsageError(f"no bytes in {text!r}")
    return data


class Rule:
    """One reply-script line: what to match, what to send, whether to close."""

    def __init__(self, pattern, reply, close):
        self.pattern = pattern   # bytes, or None for '*'
        self.reply = reply
        self.close = close

    def may_grow_into(self, data):
        """True when data is the start of this rule's input: worth waiting for more."""
        return self.pattern is not None and len(data) < len(self.pattern) \
            and self.pattern.startswith(data)


def parse_rule(line):
    left, sep, right = line.partition("->")
    if not sep:
        raise UsageError("expected 'HEX_IN -> HEX_OUT'")
    left = left.strip()
    pattern = None if left == "*" else parse_hex(left)
    words = right.split()
    close = bool(words) and words[-1].lower() == "close"
    if close:
        words = words[:-1]
    reply = parse_hex(" ".join(words), allow_empty=True)
    return Rule(pattern, reply, close)


def load_script(path):
    """The rules of a reply script, in file order."""
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.readlines()
    except OSError as err:
        raise UsageError(f"cannot read {path}: {err.strerror}") from None
    rules = []
    for number, line in enumerate(lines, 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        try:
            rules.append(parse_rule(line))
        except UsageError as err:
            raise UsageError(f"{path}:{number}: {err}") from None
    return rules


def loopback_address(text):
    """The bind address, which must be a loopback one: this tool never listens outside."""
    if text == "localhost":
        return "127.0.0.1"
    try:
        addr = ipaddress.ip_address(text)
    except ValueError:
        raise UsageError(f"--bind needs an IPv4 address, got {text!r}") from None
    if addr.version != 4 or not addr.is_loopback:
        raise UsageError(f"--bind {text}: only loopback (127.x.x.x) addresses are allowed")
    return str(addr)


# ---------------------------------------------------------------- output

def emit(text):
    """Print and flush one line.

    A caller that reads only the first line (the port) and then closes the
    pipe must not take the server down with it: printing just stops.
    """
    global _stdout_gone
    if _stdout_gone:
        return
    try:
        print(text, flush=True)
    except BrokenPipeError:
        _stdout_gone = True
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass


_stdout_gone = False


class Printer:
    """Timestamped, flushed lines: the tool's only output."""

    def __init__(self, dump_limit):
        self.start = time.monotonic()
        self.dump_limit = dump_limit

    def line(self, text):
        ms = int((time.monotonic() - self.start) * 1000)
        emit(f"[{ms:6d} ms] {text}")

    def dump(self, arrow, data):
        text = data.hex(" ").upper()
        if self.dump_limit and len(data) > self.dump_limit:
            text = f"{data[:self.dump_limit].hex(' ').upper()} ... ({len(data)} bytes)"
        self.line(f"VAN {arrow} {text}")


# ---------------------------------------------------------------- one link

class Link:
    """One accepted connection and the replies due on it.

    Single-threaded: a loop waits for data or for the next due timer (greet,
    delayed reply, close, end of a rule's assembly wait), whichever is first.
    """

    def __init__(self, sock, opts, rules, out):
        self.sock = sock
        self.opts = opts
        self.rules = rules
        self.out = out
        self.pending = b""          # received, not yet matched by a rule
        self.assembly_due = None    # when to give up waiting for a rule's rest
        self.timers = []            # (due, data or None for close)
        self.open = True

    # -- timers

    def schedule(self, delay, data):
        self.timers.append((time.monotonic() + delay, data))
        self.timers.sort(key=lambda t: t[0])

    def next_due(self):
        dues = [t[0] for t in self.timers[:1]]
        if self.assembly_due is not None:
            dues.append(self.assembly_due)
        return min(dues) if dues else None

    def run_due_timers(self):
        now = time.monotonic()
        if self.assembly_due is not None and self.assembly_due <= now:
            self.assembly_due = None
            leftover, self.pending = self.pending, b""
            self.answer_leftover(leftover)
        while self.open and self.timers and self.timers[0][0] <= now:
            _, data = self.timers.pop(0)
            if data is None:
                self.close()
            else:
                self.send(data)

    # -- sending and closing

    def send(self, data):
        self.out.dump("->", data)
        try:
            self.sock.sendall(data)
        except OSError as err:
            self.out.line(f"send failed: {err.strerror}")
            self.close(quiet=True)

    def reply(self, data, close=False):
        """Queue an answer after --reply-delay (immediately when there is none)."""
        if data:
            self.schedule(self.opts.reply_delay, data)
        if close:
            self.schedule(self.opts.reply_delay, None)
        self.run_due_timers()

    def close(self, quiet=False):
        if self.open:
            self.open = False
            self.sock.close()
            if not quiet:
                self.out.line("closed")

    # -- receiving

    def on_data(self, data):
        self.out.dump("<-", data)
        if not self.rules:
            self.answer_unmatched(data)
            return
        self.pending += data
        self.match_rules()

    def match_rules(self):
        """Answer every complete rule input at the front of what has been received."""
        while self.pending and self.open:
            exact = self.find_rule(lambda r: r.pattern == self.pending)
            if exact is not None:
                self.pending = b""
                self.assembly_due = None
                self.reply(exact.reply, exact.close)
                return
            # Two inputs that arrived together: answer the first, go on with the rest.
            head = self.find_rule(lambda r: self.pending.startswith(r.pattern))
            if head is not None:
                self.pending = self.pending[len(head.pattern):]
                self.reply(head.reply, head.close)
                continue
            if self.find_rule(lambda r: r.may_grow_into(self.pending)) is not None:
                self.assembly_due = time.monotonic() + ASSEMBLY_WAIT_S
                return
            self.answer_leftover(self.pending)
            self.pending = b""
            self.assembly_due = None
            return

    def find_rule(self, test):
        """The first rule with a byte pattern that passes test; '*' rules never do."""
        return next((r for r in self.rules if r.pattern is not None and test(r)), None)

    def answer_leftover(self, data):
        """Data no byte pattern matches: the '*' rule, else --echo or --reply."""
        wildcard = next((r for r in self.rules if r.pattern is None), None)
        if wildcard is not None:
            self.reply(wildcard.reply, wildcard.close)
        else:
            self.answer_unmatched(data)

    def answer_unmatched(self, data):
        if not data:
            return
        if self.opts.echo:
            self.reply(data)
        elif self.opts.reply is not None:
            self.reply(self.opts.reply)
        elif self.rules:
            self.out.line(f"no rule for {len(data)} bytes")

    # -- the loop

    def serve(self):
        if self.opts.greet:
            self.schedule(self.opts.greet_delay, self.opts.greet)
        if self.opts.close_after is not None:
            self.schedule(self.opts.close_after, None)
        self.run_due_timers()
        while self.open:
            due = self.next_due()
            timeout = None if due is None else max(0.0, due - time.monotonic())
            ready, _, _ = select.select([self.sock], [], [], timeout)
            if ready:
                self.read()
            if self.open:
                self.run_due_timers()

    def read(self):
        try:
            data = self.sock.recv(65536)
        except ConnectionResetError:
            self.out.line("closed by peer (reset)")
            self.close(quiet=True)
            return
        except OSError as err:
            self.out.line(f"receive failed: {err.strerror}")
            self.close(quiet=True)
            return
        if not data:
            self.out.line("closed by peer")
            self.close(quiet=True)
            return
        self.on_data(data)


# ---------------------------------------------------------------- server

def make_listener(address, port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    # A fixed port must be usable again right after a previous run.
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((address, port))
    except OSError as err:
        sock.close()
        raise UsageError(f"cannot listen on {address}:{port}: {err.strerror}") from None
    sock.listen(4)
    return sock


def serve_forever(listener, opts, rules, out):
    """Serve links one after another (or just one with --once)."""
    while True:
        conn, peer = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        out.line(f"accepted {peer[0]}:{peer[1]}")
        link = Link(conn, opts, rules, out)
        try:
            link.serve()
        finally:
            link.close()   # says "closed" only if still open (stopped by a signal)
        if opts.once:
            return


def on_signal(signum, frame):
    raise Shutdown()


def build_parser():
    parser = argparse.ArgumentParser(
        description="VAN server simulator: serves one TCP link at a time on a loopback "
                    "address and prints every chunk received (VAN <-) and sent (VAN ->).",
        epilog=SCRIPT_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=0,
                        help="port to listen on; 0 picks a free one (default 0). "
                             "The first output line is always 'listening ADDRESS:PORT'")
    parser.add_argument("--bind", default="127.0.0.1", metavar="ADDRESS",
                        help="loopback address to listen on (default 127.0.0.1)")
    parser.add_argument("--greet", type=parse_hex_arg, metavar="HEX",
                        help="send these bytes as soon as a link is accepted")
    parser.add_argument("--greet-delay", type=float, default=0.0, metavar="S",
                        help="send the greeting S seconds after the accept (default 0)")
    answer = parser.add_mutually_exclusive_group()
    answer.add_argument("--echo", action="store_true",
                        help="send back everything received")
    answer.add_argument("--reply", type=parse_hex_arg, metavar="HEX",
                        help="answer every received chunk with these bytes")
    parser.add_argument("--reply-script", metavar="FILE",
                        help="answer by rules (see below); --echo or --reply then "
                             "answer what no rule matches")
    parser.add_argument("--reply-delay", type=float, default=0.0, metavar="S",
                        help="wait S seconds before each answer (default 0)")
    parser.add_argument("--close-after", type=float, metavar="S",
                        help="close each link S seconds after its accept")
    parser.add_argument("--once", action="store_true",
                        help="serve one link, then exit")
    parser.add_argument("--dump-limit", type=int, default=0, metavar="N",
                        help="print at most N bytes of each chunk (default 0: all)")
    return parser


def parse_hex_arg(text):
    """argparse type for hex options: a usage error becomes argparse's own message."""
    try:
        return parse_hex(text)
    except UsageError as err:
        raise argparse.ArgumentTypeError(str(err)) from None


def main(argv=None):
    opts = build_parser().parse_args(argv)
    try:
        if not 0 <= opts.port <= 65535:
            raise UsageError(f"port out of range: {opts.port}")
        for name in ("greet_delay", "reply_delay", "close_after"):
            value = getattr(opts, name)
            if value is not None and value < 0:
                raise UsageError(f"--{name.replace('_', '-')} must not be negative")
        address = loopback_address(opts.bind)
        rules = load_script(opts.reply_script) if opts.reply_script else []
        listener = make_listener(address, opts.port)
    except UsageError as err:
        print(f"van_sim: {err}", file=sys.stderr)
        return EXIT_USAGE

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    host, port = listener.getsockname()
    emit(f"listening {host}:{port}")
    out = Printer(opts.dump_limit)
    try:
        serve_forever(listener, opts, rules, out)
    except Shutdown:
        out.line("stopped")
    finally:
        listener.close()
    return EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
