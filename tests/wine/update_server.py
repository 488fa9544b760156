"""A stand-in for the update server on the loopback interface.

The program asks GET /brinvale/brinvale_ver.php?app_name=Brinvale at every
start and downloads the file named in the reply's "url". Each test says what
the server answers: any bytes for the version query, and for a download a
whole file, an error page, a redirect, a body cut short, a body without
Content-Length, headers that drip, a dropped connection, or nothing at all
(a server that accepts and never answers). It records every request it
gets. Standard library only; it binds 127.0.0.1 and nothing else.

    from update_server import UpdateServer, Reply
    with UpdateServer(port=18481) as server:
        server.set_version(Reply.offer("2.0.0.4", server.url("/files/OstrelBrinvale.exe")))
        server.set_file("/files/OstrelBrinvale.exe", Reply.file(data, seconds=3))
        ...
        server.paths()   # ["/brinvale/brinvale_ver.php?app_name=Brinvale", ...]

Run by hand (python3 update_server.py --help) it serves one offer and one
file until interrupted, e.g. to watch the program update itself.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import math
import socket
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Optional

HOST = "127.0.0.1"
DEFAULT_PORT = 18481
VERSION_PATH = "/brinvale/brinvale_ver.php"
VERSION_QUERY = VERSION_PATH + "?app_name=Brinvale"

HELP_PAGES = {
    "/brinvale/help1.html": "단말기 설정",
    "/brinvale/help2.html": "프로그램 설정",
    "/brinvale/help3.html": "설치/삭제",
}

AUTO = "auto"  # Content-Length: the length of the body


@dataclass
class Reply:
    """One answer of the server.

    status          HTTP status code
    body            the body's bytes
    content_length  AUTO (the body's length), an int (announced length, may
                    differ from what is sent), or None: no Content-Length, the
                    body ends when the connection closes (HTTP/1.0 style)
    send            send only the first `send` bytes of the body, then close
                    (None: all of it)
    drop            close the connection without any answer
    silent          accept the request and never answer (until the server
                    stops)
    piece, delay    throttle: send the body in pieces of `piece` bytes with
                    `delay` seconds after each (0: all at once)
    pause_at        once this many body bytes are out, go on only after
                    release() (or pause_limit seconds); meanwhile one byte a
                    second keeps the client from timing out
    gap_at, gap     once gap_at body bytes are out, send nothing for gap
                    seconds (math.inf: never again, the connection stays
                    open: a stalled server)
    header_every    the status line at once, then one byte of the headers
                    every header_every seconds (0: all at once)
    location        a Location header (for a redirect)
    """

    status: int = 200
    body: bytes = b""
    content_type: str = "text/plain; charset=utf-8"
    content_length: object = AUTO
    send: Optional[int] = None
    drop: bool = False
    silent: bool = False
    piece: int = 0
    delay: float = 0.0
    pause_at: Optional[int] = None
    pause_limit: float = 60.0
    gap_at: Optional[int] = None
    gap: float = 0.0
    header_every: float = 0.0
    location: Optional[str] = None

    # --- common answers ---------------------------------------------------

    @staticmethod
    def text(body: bytes | str, status: int = 200) -> "Reply":
        """Any text or bytes as the reply body, with Content-Length."""
        if isinstance(body, str):
            body = body.encode("utf-8")
        return Reply(status=status, body=body)

    @staticmethod
    def offer(version: str, url: str, status: str = "ok", **extra: str) -> "Reply":
        """The JSON line of the version query: {"status","version","url"}."""
        members = {"status": status, "version": version, "url": url, **extra}
        return Reply.text(json.dumps(members) + "\n", 200)

    @staticmethod
    def file(data: bytes, seconds: float = 0.0, pieces: int = 50,
             pause_at: Optional[int] = None) -> "Reply":
        """A program file with its Content-Length; with seconds > 0 sent in
        `pieces` even pieces spread over about that long."""
        reply = Reply(status=200, body=data, content_type="application/octet-stream", pause_at=pause_at)
        if seconds > 0:
            reply.piece = max(1, -(-len(data) // pieces))
            reply.delay = seconds / pieces
        return reply

    @staticmethod
    def stalled(data: bytes, at: int, seconds: float = math.inf) -> "Reply":
        """The file with its Content-Length, silent for `seconds` once `at`
        bytes are out (for good by default), the connection left open."""
        return Reply(status=200, body=data, content_type="application/octet-stream", gap_at=at, gap=seconds)

    @staticmethod
    def dripping(data: bytes, piece: int, every: float) -> "Reply":
        """The file with its Content-Length, `piece` bytes every `every`
        seconds: never silent for long, never done in time."""
        return Reply(status=200, body=data, content_type="application/octet-stream", piece=piece, delay=every)

    @staticmethod
    def dripping_headers(every: float = 4.0) -> "Reply":
        """A 200 whose headers come one byte every `every` seconds: never
        silent for long, never done."""
        return Reply(status=200, header_every=every)

    @staticmethod
    def redirect(url: str) -> "Reply":
        """A 302 to url."""
        return Reply(status=302, location=url, content_type="text/html")

    @staticmethod
    def not_found() -> "Reply":
        """A 404 error page, with Content-Length."""
        page = b"<html><body><h1>404 Not Found</h1></body></html>\n"
        return Reply(status=404, body=page, content_type="text/html")

    @staticmethod
    def truncated(data: bytes, keep: int) -> "Reply":
        """Content-Length of the whole file, only `keep` bytes sent, then the
        connection closes."""
        return Reply(status=200, body=data, content_type="application/octet-stream", send=keep)

    @staticmethod
    def without_length(data: bytes) -> "Reply":
        """The whole file, but no Content-Length: it ends with the connection."""
        return Reply(status=200, body=data, content_type="application/octet-stream", content_length=None)

    @staticmethod
    def dropped() -> "Reply":
        """The connection closes before any answer."""
        return Reply(drop=True)

    @staticmethod
    def no_answer() -> "Reply":
        """The request is read, no answer ever comes."""
        return Reply(silent=True)


@dataclass
class Request:
    method: str
    path: str  # with the query
    headers: dict
    time: float  # time.monotonic() when it arrived
    sent: int = 0  # body bytes sent back so far
    finished: bool = False  # the whole answer (as configured) went out


@dataclass
class _State:
    routes: dict = field(default_factory=dict)
    requests: list = field(default_factory=list)
    silent: bool = False  # every connection: accepted, never answered
    lock: threading.Lock = field(default_factory=threading.Lock)
    stopping: threading.Event = field(default_factory=threading.Event)
    released: threading.Event = field(default_factory=threading.Event)
    connections: int = 0  # accepted, whether answered or not
    paused: threading.Event = field(default_factory=threading.Event)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"  # one request per connection
    server_version = "BrinvaleUpdate/1.0"

    def log_message(self, format, *args):  # noqa: A002 - the base's name
        pass

    @property
    def state(self) -> _State:
        return self.server.state  # type: ignore[attr-defined]

    def handle(self):
        with self.state.lock:
            self.state.connections += 1
        if self.state.silent:
            # Accept, read nothing, answer nothing.
            self.state.stopping.wait()
            return
        try:
            super().handle()
        except (BrokenPipeError, ConnectionResetError):
            pass

    def do_GET(self):  # noqa: N802 - the base's name
        state = self.state
        record = Request("GET", self.path, dict(self.headers.items()), time.monotonic())
        with state.lock:
            state.requests.append(record)
            reply = state.routes.get(self.path) or state.routes.get(self.path.split("?", 1)[0])
        if reply is None:
            reply = Reply.not_found()
        self._answer(reply, record)

    def _answer(self, reply: Reply, record: Request) -> None:
        state = self.state
        if reply.drop:
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            record.finished = True
            return
        if reply.silent:
            state.stopping.wait()
            return
        if not self._send_head(reply):
            return

        body = reply.body if reply.send is None else reply.body[:reply.send]
        piece = reply.piece or len(body) or 1
        position = 0
        held = reply.pause_at is None
        while position < len(body):
            if state.stopping.is_set():
                return
            if not held and position >= reply.pause_at:
                position = self._hold(reply, body, position, record)
                held = True
                continue
            if reply.gap and position == reply.gap_at:
                if state.stopping.wait(None if math.isinf(reply.gap) else reply.gap):
                    return
                reply = dataclasses.replace(reply, gap=0.0)
            end = min(len(body), position + piece)
            if not held and position < reply.pause_at < end:
                end = reply.pause_at
            if reply.gap and position < reply.gap_at < end:
                end = reply.gap_at
            self.wfile.write(body[position:end])
            self.wfile.flush()
            position = end
            record.sent = position
            if reply.delay and position < len(body):
                time.sleep(reply.delay)
        record.finished = True
        self.close_connection = True

    def _send_head(self, reply: Reply) -> bool:
        """The status line and headers, dripped when so configured; False
        when the server stopped meanwhile."""
        headers = {"Server": self.version_string(), "Date": self.date_time_string(),
                   "Content-Type": reply.content_type}
        if reply.content_length == AUTO:
            headers["Content-Length"] = str(len(reply.body))
        elif reply.content_length is not None:
            headers["Content-Length"] = str(reply.content_length)
        if reply.location is not None:
            headers["Location"] = reply.location
        headers["Connection"] = "close"
        phrase = self.responses.get(reply.status, ("",))[0]
        self.wfile.write(f"{self.protocol_version} {reply.status} {phrase}\r\n".encode("latin-1"))
        self.wfile.flush()
        head = ("".join(f"{name}: {value}\r\n" for name, value in headers.items()) + "\r\n").encode("latin-1")
        if not reply.header_every:
            self.wfile.write(head)
            self.wfile.flush()
            return True
        for byte in head:
            if self.state.stopping.wait(reply.header_every):
                return False
            self.wfile.write(bytes([byte]))
            self.wfile.flush()
        return True

    def _hold(self, reply: Reply, body: bytes, position: int, record: Request) -> int:
        """The pause: until release() (or pause_limit seconds), one byte a
        second, so that the client's receive time-out never fires while the
        transfer stands still. Gives the new position."""
        state = self.state
        deadline = time.monotonic() + reply.pause_limit
        state.paused.set()
        while position < len(body) and time.monotonic() < deadline:
            if state.released.wait(1.0) or state.stopping.is_set():
                break
            self.wfile.write(body[position:position + 1])
            self.wfile.flush()
            position += 1
            record.sent = position
        return position


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True


class UpdateServer:
    """The update server on 127.0.0.1:port, in a thread of its own."""

    def __init__(self, port: int = DEFAULT_PORT, bind_timeout: float = 10.0):
        self.state = _State()
        for page, title in HELP_PAGES.items():
            html = (f"<html><head><meta charset=\"utf-8\"><title>{title}</title></head>"
                    f"<body><h1>{title}</h1></body></html>\n")
            self.state.routes[page] = Reply(body=html.encode("utf-8"), content_type="text/html; charset=utf-8")
        self._server = self._bind(port, bind_timeout)
        self._server.state = self.state  # type: ignore[attr-defined]
        self.port = self._server.server_address[1]
        self._thread: Optional[threading.Thread] = None

    @staticmethod
    def _bind(port: int, timeout: float) -> _Server:
        # A server of an earlier test may still be letting go of the port.
        deadline = time.monotonic() + timeout
        while True:
            try:
                return _Server((HOST, port), _Handler)
            except OSError:
                if time.monotonic() >= deadline:
                    raise
                time.sleep(0.2)

    # --- life -----------------------------------------------------------------

    def start(self) -> "UpdateServer":
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
                                        name=f"update-server-{self.port}", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        """Stops listening and ends every open answer (silent ones too)."""
        self.state.stopping.set()
        self.state.released.set()
        if self._thread is not None:
            self._server.shutdown()
            self._thread.join(timeout=10)
            self._thread = None
        self._server.server_close()

    def __enter__(self) -> "UpdateServer":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    # --- what it answers --------------------------------------------------------

    def url(self, path: str) -> str:
        return f"http://{HOST}:{self.port}{path}"

    def set_version(self, reply: Reply) -> None:
        """The answer to the version query."""
        self.set_file(VERSION_PATH, reply)

    def set_file(self, path: str, reply: Reply) -> None:
        """The answer to GET path (with its query, or any query when given
        without one)."""
        with self.state.lock:
            self.state.routes[path] = reply

    def set_silent(self, silent: bool = True) -> None:
        """Every new connection is accepted and never answered."""
        self.state.silent = silent

    def release(self) -> None:
        """Lets a paused download (Reply.pause_at) go on."""
        self.state.released.set()

    def wait_paused(self, timeout: float) -> bool:
        """True once a download has stopped at its pause_at mark."""
        return self.state.paused.wait(timeout)

    # --- what it got -----------------------------------------------------------

    def requests(self) -> list[Request]:
        with self.state.lock:
            return list(self.state.requests)

    def paths(self) -> list[str]:
        return [request.path for request in self.requests()]

    def connections(self) -> int:
        """Connections accepted so far, silent ones included."""
        with self.state.lock:
            return self.state.connections

    def clear(self) -> None:
        with self.state.lock:
            self.state.requests.clear()
            self.state.connections = 0


def main() -> int:
    parser = argparse.ArgumentParser(description="Update server on 127.0.0.1 for OstrelBrinvale.")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT)
    parser.add_argument("--offer", metavar="VERSION", help="offer this version (status ok)")
    parser.add_argument("--status", default="ok", help='the "status" member (default ok)')
    parser.add_argument("--reply", metavar="TEXT",
                        help="answer the version query with this text instead (\\n and \\r as escapes)")
    parser.add_argument("--file", type=Path, help="the program file served at /files/<its name>")
    parser.add_argument("--mode", choices=["whole", "404", "truncated", "no-length", "drop", "silent",
                                           "dripping-headers"],
                        default="whole", help="how the file download is answered")
    parser.add_argument("--seconds", type=float, default=0.0, help="spread the file over this many seconds")
    parser.add_argument("--silent", action="store_true", help="accept every connection, never answer")
    args = parser.parse_args()

    server = UpdateServer(args.port)
    file_path = f"/files/{args.file.name}" if args.file else "/files/OstrelBrinvale.exe"
    if args.reply is not None:
        server.set_version(Reply.text(args.reply.replace("\\r", "\r").replace("\\n", "\n")))
    elif args.offer:
        server.set_version(Reply.offer(args.offer, server.url(file_path), status=args.status))
    if args.file:
        data = args.file.read_bytes()
        server.set_file(file_path, {
            "whole": lambda: Reply.file(data, seconds=args.seconds),
            "404": Reply.not_found,
            "truncated": lambda: Reply.truncated(data, len(data) // 2),
            "no-length": lambda: Reply.without_length(data),
            "drop": Reply.dropped,
            "silent": Reply.no_answer,
            "dripping-headers": Reply.dripping_headers,
        }[args.mode]())
    server.set_silent(args.silent)
    server.start()
    print(f"listening {HOST}:{server.port}", flush=True)
    try:
        seen = 0
        while True:
            time.sleep(0.2)
            for request in server.requests()[seen:]:
                print(f"{request.method} {request.path}", flush=True)
                seen += 1
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
