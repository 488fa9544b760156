#!/usr/bin/env python3
"""Writes the seed corpus of every fuzzer into corpus/NAME/.

The seeds are realistic exchanges and files: a whole payment through the
CAT pump, a real settings file, real update replies, real version pairs.
Run it again after changing a seed here; the files are kept in git.
"""
import pathlib
import struct

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
    "ten": b"2.0.0.10|2.0.1.0",
    "shorter": b"2.1|2.0.0.4",
    "word": b"beta|2.0.0.3",
    "long": b"1." + b"1" * 31 + b"|" + b"1" * 31,
    "zeros": b"0.0.0.0|00.00.0.1",
    "largest": b"65535.65535.65535.65535|65536.0",
    "odd_dots": b"2..1|.2.1.",
}


def version_node(key: str, value: bytes = b"", children=(), wide: bool = True, text: bool = True) -> bytes:
    """One node of a version resource, as the resource compiler writes it.
    The 32-bit format (wide): its length, its value's length (UTF-16 units
    for a text, bytes otherwise), its type (1: text) and its key in UTF-16.
    The 16-bit format: the two lengths and an 8-bit key, no type. Then its
    value and its children, each on a 4-byte boundary."""
    data = bytearray(6) + key.encode("utf-16-le") + b"\0\0" if wide else bytearray(4) + key.encode() + b"\0"
    data += bytes(-len(data) % 4) + value
    for child in children:
        data += bytes(-len(data) % 4) + child
    struct.pack_into("<HH", data, 0, len(data), len(value) // 2 if wide and text else len(value))
    if wide:
        struct.pack_into("<H", data, 4, int(text))
    return bytes(data)


def version_block(version: str, wide: bool = True) -> bytes:
    """A program's version resource with its FileVersion in the Korean
    UTF-16 table. In the 16-bit format (not wide) its fifth byte is the key's
    "V": Wine's version functions take any block whose fifth byte is 0x20 or
    more for that format."""
    def string(key: str, value: str) -> bytes:
        return version_node(key, (value + "\0").encode("utf-16-le" if wide else "ascii"), wide=wide)
    fixed = struct.pack("<2I44x", 0xFEEF04BD, 0x10000)  # VS_FIXEDFILEINFO, the program reads none of it
    table = version_node("041204b0", children=[string("CompanyName", "OstrelBrinvale"),
                                                string("FileVersion", version)], wide=wide)
    return version_node("VS_VERSION_INFO", fixed, [version_node("StringFileInfo", children=[table], wide=wide)],
                        wide=wide, text=False)


def program(block: bytes, machine: int = 0x8664, size: int = 0) -> bytes:
    """A Windows program as a linker lays it out, with one section holding a
    resource tree of one version resource (type 16, name 1, Korean) whose
    data is block, padded with zeros to size."""
    pe32 = machine == 0x14C
    optional = 0x40 + 4 + 20
    directories = optional + (96 if pe32 else 112)
    section_table = directories + 16 * 8
    tree, raw = 0x400, (0x58 + len(block) + 0x1FF) & ~0x1FF
    data = bytearray(max(size, tree + raw))
    data[0:2] = b"MZ"
    struct.pack_into("<I4sHH", data, 0x3C, 0x40, b"PE\0\0", machine, 1)
    struct.pack_into("<HHH", data, optional - 4, section_table - optional, 0x0022, 0x10B if pe32 else 0x20B)
    struct.pack_into("<I", data, directories - 4, 16)
    struct.pack_into("<II", data, directories + 2 * 8, 0x1000, raw)  # the resources
    struct.pack_into("<8s4I", data, section_table, b".rsrc", raw, 0x1000, raw, tree)
    for level, (name, target) in enumerate(((16, 0x80000018), (1, 0x80000030), (0x412, 0x48))):
        struct.pack_into("<14xHII", data, tree + 0x18 * level, 1, name, target)
    struct.pack_into("<II", data, tree + 0x48, 0x1000 + 0x58, len(block))
    data[tree + 0x58:tree + 0x58 + len(block)] = block
    return bytes(data)


PROGRAM_IMAGES = {
    "program_x64": program(version_block("2.0.0.4")),
    "program_x86": program(version_block("2.0.0.4"), machine=0x14C),
    "program_16bit_block": program(version_block("2.0.0.4", wide=False)),
    "block": version_block("2.0.0.4"),
    "block_16bit": version_block("2.0.0.4", wide=False),
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
    write("program_image", PROGRAM_IMAGES)
