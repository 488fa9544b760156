#!/usr/bin/env python3
"""Writes the seed corpus of every fuzzer into corpus/NAME/.

The seeds are realistic exchanges and files: a whole payment through the
CAT pump, a real settings file, real update replies, real version pairs.
Run it again after changing a seed here; the files are kept in git.
"""
import pathlib

HERE = pathlib.Path(__file__).resolve().parent

# The CAT pump fuzzer's events (see fuzz_cat_pump.cpp).
def chunk(data: bytes) -> bytes:
    if len(data) <= 256:
        return bytes([0, len(data) - 1]) + data
    n = len(data) - 1
    return bytes([1, n & 0xFF, n >> 8]) + data

QUIET = bytes([2])           # a read times out
FAIL = bytes([3])            # a read fails


def fail(failing_reopens: int) -> bytes:
    """A read fails, and so do the next attempts to reopen the port."""
    return bytes([3 | failing_reopens << 3])


RECONNECT = bytes([0x0A])    # the user presses Disconnect, then Connect
VAN_REFUSES = bytes([4])
VAN_FAILS_SEND = bytes([5])
VAN_CLOSES = bytes([7])

def van_sends(data: bytes) -> bytes:
    return bytes([6, len(data) - 1]) + data

CR = b"\r"
ESC5 = b"\x1b" * 5
CR5 = b"\r" * 5
REQUEST = b"\x01127.0.0.1\x1c9000\x17"
PAYMENT = b"\x02PAY\x00\xff\x1b\x0d0001234567890123=2512\x03"
REPLY = b"\x02OK\x00\x80APPROVED 00\x03"

def wake_and_connect(request: bytes = REQUEST) -> bytes:
    # The CR, a silent line while the gateway answers, then the request.
    return chunk(CR) + QUIET + chunk(request)

CAT_PUMP = {
    "payment_ended_by_esc": wake_and_connect() + van_sends(b"\x02HELLO\x03") + chunk(PAYMENT)
        + van_sends(REPLY) + QUIET + chunk(ESC5),
    "payment_ended_by_cr": wake_and_connect() + chunk(PAYMENT) + van_sends(REPLY) + chunk(CR5),
    "request_without_wake": chunk(REQUEST) + chunk(b"\x02DATA\x03") + chunk(ESC5),
    "connect_refused": VAN_REFUSES + wake_and_connect() + QUIET + chunk(CR) + QUIET,
    "bad_requests": wake_and_connect(b"\x01" + b"1" * 40 + b"\x1c9000\x17")
        + wake_and_connect(b"\x01127.0.0.1\x1c90a0\x17")
        + wake_and_connect(b"\x01127.0.0.1\x1c99999\x17")
        + wake_and_connect(b"\x01\x1c9000\x17")
        + wake_and_connect(b"x\x01127.0.0.1\x1c9000\x17"),
    "long_bursts": wake_and_connect() + chunk(bytes(range(256)) * 8 + b"\x03")
        + chunk(b"\x02" + b"A" * 3100 + b"\x03") + chunk(ESC5),
    "send_fails": wake_and_connect() + VAN_FAILS_SEND + chunk(PAYMENT) + QUIET,
    "van_closes": wake_and_connect() + chunk(PAYMENT) + VAN_CLOSES + QUIET + chunk(CR) + QUIET,
    "keep_alive": wake_and_connect() + chunk(PAYMENT) + QUIET * 150 + chunk(CR) + QUIET,
    "line_failures": FAIL + fail(1) + chunk(CR) + FAIL + wake_and_connect() + FAIL + chunk(PAYMENT),
    "line_pulled_mid_payment": wake_and_connect() + chunk(PAYMENT) + FAIL + fail(3) + QUIET
        + wake_and_connect() + chunk(PAYMENT) + van_sends(REPLY) + chunk(ESC5),
    "esc_bursts": chunk(ESC5) + chunk(b"\x1b\x1b\x1bX\x1b") + wake_and_connect()
        + chunk(b"\x1b\x1b\x1bX\x1b") + chunk(b"\x1b\x1b\x1b\x1bX" + PAYMENT),
    "disconnect_mid_payment": wake_and_connect() + chunk(PAYMENT) + RECONNECT + QUIET
        + wake_and_connect() + chunk(PAYMENT) + van_sends(REPLY) + chunk(ESC5),
}

SETTINGS = {
    "defaults.ini": "[COMPORT]\r\nport=0\r\nspeed=9.6K\r\n[STATUSBOX]\r\nshow=hidden\r\n"
                    "[COMMON]\r\nauto_run=N\r\nlog=N\r\n",
    "com3_115k.ini": "[COMPORT]\r\nport=3\r\nspeed=115.2K\r\n[STATUSBOX]\r\nshow=show\r\n"
                     "[COMMON]\r\nauto_run=Y\r\nlog=Y\r\n",
    "hand_edited.ini": "[comport]\nport = 12\nspeed = 56.0k\n\n[statusbox]\nshow=HIDDEN\n"
                       "[common]\nauto_run=y\nlog=yes\n",
    "odd_values.ini": "[COMPORT]\r\nport=COM3\r\nspeed=57600\r\n[COMPORT]\r\nport=99999999999\r\n"
                      "speed=38.4k\r\nport=-3\r\n",
}

REPLIES = {
    "newer": b'{"status":"ok","version":"2.0.0.4","url":"http://127.0.0.1:18481/brinvale/OstrelBrinvale.exe"}\r\n',
    "newer_by_digits": b'{"status":"ok","version":"2.0.0.10","url":"http://127.0.0.1/new.exe"}\n',
    "same": b'{"status":"ok","version":"2.0.0.3","url":"http://127.0.0.1/same.exe"}\r\n',
    "not_ok": b'{"status":"fail","version":"9.9.9.9","url":""}\r\n',
    "extra_members": b'{ "status" : "ok", "version" : "2.0.1", "url" : "http:\\/\\/h\\/x.exe", "size" : 123456, '
                     b'"notes" : ["a", {"b": null}] }\r\nsecond line\r\n',
    "wrong_types": b'{"status":"ok","version":2004,"url":"u"}\r\n',
    "error_page": b"<html><head><title>404 Not Found</title></head><body>Not Found</body></html>\r\n",
    "escapes": b'{"status":"ok","version":"2.0.\\u0030.5","url":"http://h/\\u00ED\\"x\\".exe"}',
    "long_line": b'{"status":"ok","version":"2.0.0.4","url":"http://h/' + b"x" * 1100 + b'.exe"}\r\n',
}

VERSIONS = {
    "own": b"2.0.0.3",
    "next": b"2.0.0.4|2.0.0.3",
    "ten": b"2.0.0.10|2.0.0.3",
    "shorter": b"2.0.1|2.0.0.3",
    "word": b"beta|2.0.0.3",
    "long": b"1." + b"1" * 31 + b"|" + b"1" * 31,
    "zeros": b"0.0.0.0|00.00.0.1",
}


def write(folder: str, files: dict) -> None:
    target = HERE / "corpus" / folder
    target.mkdir(parents=True, exist_ok=True)
    for name, data in files.items():
        (target / name).write_bytes(data.encode("utf-8") if isinstance(data, str) else data)


if __name__ == "__main__":
    write("cat_pump", CAT_PUMP)
    settings = dict(SETTINGS)
    settings["utf16.ini"] = b"\xff\xfe" + SETTINGS["com3_115k.ini"].encode("utf-16-le")
    write("settings", settings)
    write("update_reply", REPLIES)
    write("version", VERSIONS)
