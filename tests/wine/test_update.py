"""Self-update and the About dialog, as the shop meets them: the real program
installed in C:\\OSBRIN under Wine asks an update server on 127.0.0.1
(tests/wine/update_server.py) for the version on offer at every start. Its
port is the one compiled into the update test builds (the CMake cache
variable BRINVALE_TEST_UPDATE_HOST); ctest passes it as
BRINVALE_TEST_UPDATE_PORT, 18481 without it.

Three builds take part, all with that server compiled in: the release
(2.0.0.3, BRINVALE_UPDATE_TEST_EXE), a newer one (2.0.0.4,
BRINVALE_UPDATE_NEXT_EXE) and the release as a signed build, which carries the
public key of tests/wine/keys (BRINVALE_UPDATE_SIGNED_EXE); the tests sign
what they offer it with openssl. The UI driver is BRINVALE_UIDRIVER;
screenshots go to BRINVALE_SCREENSHOTS (default: a temporary folder).

The install folder C:\\OSBRIN (the home drive's OSBRIN) is shared by every
test of the Wine prefix: each test here empties it before and after itself.

Under Wine's cmd the update script's start line fails ("Invalid name"; it
works on Windows), so after an update the test checks that line's text and
starts the new program itself.
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fuzz"))
import brinvale_ui as bui  # noqa: E402
import make_corpus  # noqa: E402  (the program-file fuzzer's crafted programs)
from brinvale_ui import (ID, OPEN_LINK, PROGRAM, install_folder, is_yes, main_text, main_ui,  # noqa: E402
                         settings_ini)
from update_server import VERSION_QUERY, Reply, UpdateServer  # noqa: E402

BUILD = Path(__file__).resolve().parents[2] / "build" / "windows"
TEST_EXE = Path(os.environ.get("BRINVALE_UPDATE_TEST_EXE", BUILD / "update-test" / "OstrelBrinvale.exe"))
NEXT_EXE = Path(os.environ.get("BRINVALE_UPDATE_NEXT_EXE", BUILD / "update-next" / "OstrelBrinvale.exe"))
SIGNED_EXE = Path(os.environ.get("BRINVALE_UPDATE_SIGNED_EXE", BUILD / "update-signed" / "OstrelBrinvale.exe"))
# The shipped program of this build (no update key) and the 32-bit program
# of the next version, the update every till takes (windows-x86 preset).
RELEASE_EXE = Path(os.environ.get("BRINVALE_EXE", BUILD / "OstrelBrinvale.exe"))
NEXT_X86_EXE = Path(os.environ.get("BRINVALE_UPDATE_NEXT_X86_EXE",
                                   BUILD.parent / "windows-x86" / "update-next" / "OstrelBrinvale.exe"))
INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
TEST_KEY = Path(__file__).resolve().parent / "keys" / "update-test-key.pem"
SHOTS = bui.screenshots_folder()

PORT = int(os.environ.get("BRINVALE_TEST_UPDATE_PORT", "18481"))  # the update test builds' server
FILE_PATH = "/files/OstrelBrinvale.exe"
SCRIPT = "update_brinvale.bat"
UPDATE_FILE = "UpdateFile.sob"
BACKUP = PROGRAM + ".old"
FAILED = "업데이트 실패"

# The update script as the release writes it for C:\OSBRIN: each line ends
# CR CR LF on disk (text-mode write of CR LF), the last has no line end. The
# program kept beside the new one comes back if the new one cannot be moved
# into place. While the program has not ended, it tries again once a second.
START_LINE = '@ start C:\\OSBRIN\\"OstrelBrinvale.exe" %1'
UPDATE_SCRIPT = (
    'IF NOT EXIST "C:\\OSBRIN\\UpdateFile.sob" goto KError\t\r\r\n'
    "goto Try\r\r\n"
    ":Repeat      \r\r\n"
    '"%SystemRoot%\\System32\\ping.exe" -n 2 127.0.0.1 >nul\r\r\n'
    ":Try\r\r\n"
    'del /f /s /q "C:\\OSBRIN\\OstrelBrinvale.exe"    \r\r\n'
    'if exist "C:\\OSBRIN\\OstrelBrinvale.exe" goto Repeat\t\t\r\r\n'
    'move /y "C:\\OSBRIN\\UpdateFile.sob" "C:\\OSBRIN\\OstrelBrinvale.exe"   \r\r\n'
    'if not exist "C:\\OSBRIN\\OstrelBrinvale.exe" move /y "C:\\OSBRIN\\OstrelBrinvale.exe.old" '
    '"C:\\OSBRIN\\OstrelBrinvale.exe"\r\r\n'
    + START_LINE + "\t\r\r\n"
    ":KError\t\r\r\n"
    'del /f /s /q "C:\\OSBRIN\\UpdateFile.sob"    \r\r\n'
    'del /f /s /q "C:\\OSBRIN\\OstrelBrinvale.exe.old"    \r\r\n'
    'del /f /s /q "update_brinvale.bat"    \r\r\n'
    ":END").encode("ascii")


def about_ui(*args):
    """A UI driver command aimed at the About dialog (only it has the version text)."""
    return bui.ui("--has", ID.IDC_ABOUT_VERSION, *args)


def download_ui(*args):
    """A UI driver command aimed at the caption-less download window (its progress bar)."""
    return bui.ui("--has", ID.IDC_UPDATE_PROGRESS, *args)


def sign(data: bytes, key: Path) -> bytes:
    """The DER signature `openssl dgst -sha256 -sign` makes of data."""
    with tempfile.NamedTemporaryFile() as file:
        file.write(data)
        file.flush()
        return subprocess.run(["openssl", "dgst", "-sha256", "-sign", str(key), file.name],
                              check=True, capture_output=True).stdout


def for_machine(program: bytes, machine: int) -> bytes:
    """The program with another machine type in its PE header."""
    header = int.from_bytes(program[0x3C:0x40], "little")
    return program[:header + 4] + machine.to_bytes(2, "little") + program[header + 6:]


def port_refuses(port: int) -> bool:
    with socket.socket() as probe:
        probe.settimeout(1)
        return probe.connect_ex(("127.0.0.1", port)) != 0


class ScriptWatcher:
    """Keeps a copy of the update script while it exists: it deletes itself
    as soon as it has done its work."""

    def __init__(self, path: Path):
        self.path = path
        self.text = b""
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()

    def _watch(self):
        while not self._stop.is_set():
            try:
                text = self.path.read_bytes()
                if len(text) > len(self.text):
                    self.text = text
            except OSError:
                pass
            time.sleep(0.003)

    def stop(self) -> bytes:
        self._stop.set()
        self._thread.join(timeout=5)
        return self.text


class UpdateTestCase(unittest.TestCase):
    """Each test: an empty C:\\OSBRIN holding the release, a fresh server."""

    @classmethod
    def setUpClass(cls):
        for exe in (TEST_EXE, NEXT_EXE, SIGNED_EXE):
            if not exe.is_file():
                raise unittest.SkipTest(f"{exe} not built (windows preset)")
        bui.gui_env()
        cls.release = TEST_EXE.read_bytes()
        cls.next_release = NEXT_EXE.read_bytes()
        cls.signed_release = SIGNED_EXE.read_bytes()
        # Every start makes the desktop shortcut when it is missing; one
        # made by these tests goes again at their end.
        home = bui.desktop()
        cls.shortcuts = [home / "OstrelBrinvale.lnk", home / "OstrelBrinvale.desktop"]
        cls.shortcuts_before = [path.exists() for path in cls.shortcuts]

    @classmethod
    def tearDownClass(cls):
        for path, existed in zip(cls.shortcuts, cls.shortcuts_before):
            if not existed:
                path.unlink(missing_ok=True)

    def setUp(self):
        self.programs = []
        self.server = None
        self.folder = install_folder()
        self.installed = self.folder / PROGRAM
        self.reset()

    def tearDown(self):
        self.end_all_copies()
        for program in self.programs:
            program.stop()
        if self.server is not None:
            self.server.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def reset(self, release=None):
        """No program running, no server, C:\\OSBRIN holding only release
        (the unsigned 2.0.0.3 by default)."""
        self.end_all_copies()
        if self.server is not None:
            self.server.stop()
            self.server = None
        shutil.rmtree(self.folder, ignore_errors=True)
        self.folder.mkdir(parents=True)
        self.installed.write_bytes(self.release if release is None else release)

    # --- helpers -------------------------------------------------------------

    @staticmethod
    def end_all_copies():
        """No copy may outlive its test: a copy still ending would make the
        next one take itself for a second copy and end silently."""
        if bui.ui("kill-process", PROGRAM).out not in ("", "0"):
            bui.ui("wait-process-gone", PROGRAM, 10000)

    def state(self) -> str:
        """What the program and the server were doing, for a failure message."""
        windows = bui.ui("windows").out
        lines = [f"server got: {self.server.paths() if self.server else None}",
                 f"programs running: {[program.running for program in self.programs]}",
                 "windows:", windows,
                 "processes:", bui.ui("processes", PROGRAM).out]
        for line in windows.splitlines():
            fields = line.split("\t")
            if len(fields) == 5 and fields[3] == "#32770":
                lines += [f"controls of {fields[0]} ({fields[4]!r}, visible {fields[2]}):",
                          bui.ui("children", f"hwnd:{fields[0]}").out]
        lines += [f"output: {program.output()[-1000:]}" for program in self.programs]
        return "\n".join(lines)

    def wait_message(self, timeout_ms=20000) -> str:
        started = time.monotonic()
        result = bui.ui("msgbox", bui.MAIN_CAPTION, timeout_ms)
        if result.rc != 0:
            self.fail(f"no message box within {timeout_ms} ms (uidriver rc {result.rc} after "
                      f"{time.monotonic() - started:.1f} s: {result.err.strip()})\n{self.state()}")
        return result.out

    def serve(self, version_reply=None, file_reply=None) -> UpdateServer:
        self.server = UpdateServer(PORT).start()
        if version_reply is not None:
            self.server.set_version(version_reply)
        if file_reply is not None:
            self.server.set_file(FILE_PATH, file_reply)
        return self.server

    def offer(self, version, status="ok") -> Reply:
        return Reply.offer(version, f"http://127.0.0.1:{PORT}{FILE_PATH}", status=status)

    def start_installed(self):
        program = bui.start_program(self.installed, cwd=self.folder)
        self.programs.append(program)
        return program

    def expect_normal_start(self, program, within=20.0):
        """The main window comes up, no message box, the program runs on."""
        started = time.monotonic()
        result = main_ui("wait-visible", bui.MAIN_CAPTION, int(within * 1000))
        if result.rc != 0:
            self.fail(f"no main window within {within:g} s (uidriver rc {result.rc} after "
                      f"{time.monotonic() - started:.1f} s: {result.err.strip()})\n{self.state()}")
        bui.no_message_box(300, "no message box")
        self.assertTrue(program.running)

    def expect_no_update(self, reply):
        """The server answers the version query with reply: nothing is
        downloaded, nothing is said, the program starts normally."""
        server = self.serve(reply)
        self.expect_normal_start(self.start_installed())
        self.assertEqual(server.paths(), [VERSION_QUERY])
        self.assertEqual(self.installed.read_bytes(), self.release)
        self.assertFalse((self.folder / UPDATE_FILE).exists())

    def expect_failed_download(self, file_reply, version="2.0.0.4", signature=None, timeout_ms=20000) -> float:
        """The download window opens, the download fails: "업데이트 실패"
        once, then a normal start with the installed program unchanged and
        nothing left of the update. With a signature reply (a signed build)
        the server answers the program's address + ".sig" with it. Gives the
        seconds from the start to the message."""
        installed = self.installed.read_bytes()
        server = self.serve(self.offer(version), file_reply)
        if signature is not None:
            server.set_file(FILE_PATH + ".sig", signature)
        started = time.monotonic()
        program = self.start_installed()
        self.assertEqual(self.wait_message(timeout_ms), FAILED)
        elapsed = time.monotonic() - started
        self.assertEqual(bui.ui("msgbox-buttons", bui.MAIN_CAPTION).out, "ok")
        self.assertFalse(is_yes(main_ui("visible", bui.MAIN_CAPTION)), "main window waits for the answer")
        bui.ui_ok("answer", bui.MAIN_CAPTION, "ok", 5000)
        self.expect_normal_start(program)
        bui.no_message_box(1000, "the message comes once")
        self.assertEqual(server.paths()[:2], [VERSION_QUERY, FILE_PATH])
        self.assertEqual(self.installed.read_bytes(), installed, "installed program unchanged")
        for leftover in (SCRIPT, UPDATE_FILE, BACKUP):
            self.assertFalse((self.folder / leftover).is_file(), f"no {leftover} left")
        return elapsed

    # --- the update ------------------------------------------------------------

    def test_newer_version_is_downloaded_installed_and_started(self):
        data = self.next_release
        server = self.serve(self.offer("2.0.0.4"), Reply.file(data, seconds=2.0, pause_at=len(data) * 2 // 5))
        watcher = ScriptWatcher(self.folder / SCRIPT)
        self.addCleanup(watcher.stop)
        started = time.monotonic()
        program = self.start_installed()

        # The download window, alone on the screen while the file comes; the
        # server holds the transfer at 40 % until the window is checked.
        self.assertTrue(server.wait_paused(30), "the download began")
        download_ui("wait-visible", "", 10000)
        time.sleep(0.5)
        rect = [int(v) for v in download_ui("rect", "").out.split()]
        bui.screenshot(SHOTS / "download-window.png", rect=rect)
        self.assertTrue(is_yes(download_ui("topmost", "")))
        self.assertEqual(int(download_ui("style", "").out, 16) & 0x00C00000, 0, "no title bar")
        children = download_ui("children", "").out.splitlines()
        self.assertIn("Download OstrelBrinvale", [line.split("\t")[-1] for line in children])
        self.assertIn("msctls_progress32", [line.split("\t")[1] for line in children])
        self.assertFalse(is_yes(main_ui("visible", bui.MAIN_CAPTION)), "main window hidden meanwhile")
        server.release()

        # The program ends by itself; its script replaces it.
        self.assertEqual(program.wait(timeout=60), 0)
        ended = time.monotonic()
        bui.wait_for(lambda: self.installed.exists() and self.installed.read_bytes() == data, 30,
                     message="installed program replaced by the new version")
        bui.wait_for(lambda: not any((self.folder / name).exists() for name in (UPDATE_FILE, SCRIPT, BACKUP)),
                     30, message="update file, backup and script removed")
        replaced = time.monotonic()
        script = watcher.stop()
        self.assertIn(START_LINE.encode("ascii") + b"\t\r\r\n", script, "the script starts the new program")
        self.assertEqual(script, UPDATE_SCRIPT)
        self.assertEqual(server.paths(), [VERSION_QUERY, FILE_PATH])
        self.assertEqual(server.requests()[0].headers.get("User-Agent"), "OstrelBrinvale")
        sys.stderr.write(f"[update: program ended {ended - started:.1f} s after its start, "
                         f"replaced {replaced - ended:.1f} s later] ")

        # Wine's cmd cannot run the script's start line; start the program as
        # it would have (unless a later Wine did run it).
        server.clear()
        time.sleep(0.5)
        if [line for line in bui.ui("processes", PROGRAM).out.splitlines() if line.strip()]:
            main_ui("wait-visible", bui.MAIN_CAPTION, 20000)
        else:
            self.expect_normal_start(self.start_installed())
        self.assertEqual(server.paths(), [VERSION_QUERY], "2.0.0.4 is not newer than itself")
        main_ui("command", bui.MAIN_CAPTION, ID.ID_TRAY_ABOUT)
        about_ui("wait-visible", bui.MAIN_CAPTION, 10000)
        self.assertEqual(about_ui("text", bui.MAIN_CAPTION, ID.IDC_ABOUT_VERSION).out, "2.0.0.4")

    # --- nothing newer on offer ----------------------------------------------

    def test_same_version_starts_normally(self):
        self.expect_no_update(self.offer("2.0.0.3"))

    def test_an_older_version_with_larger_digits_is_no_update(self):
        # Older part by part, though its digits read 19999, above 2003.
        self.expect_no_update(self.offer("1.9.9.99"))

    def test_status_other_than_lower_case_ok_offers_nothing(self):
        self.expect_no_update(self.offer("2.0.0.4", status="OK"))

    def test_status_fail_offers_nothing(self):
        self.expect_no_update(self.offer("9.9.9.9", status="fail"))

    # --- replies that are no offer -------------------------------------------

    def test_reply_that_is_no_json_starts_normally(self):
        self.expect_no_update(Reply.text(b"<html>\x00\xff\xfe garbage \x89PNG\r\n\x1a\n"))

    def test_empty_reply_starts_normally(self):
        self.expect_no_update(Reply.text(b""))

    def test_json_spread_over_lines_is_no_offer(self):
        url = f"http://127.0.0.1:{PORT}{FILE_PATH}"
        self.expect_no_update(Reply.text(f'{{\n "status": "ok",\n "version": "2.0.0.4",\n "url": "{url}"\n}}\n'))

    def test_only_the_first_line_counts(self):
        url = f"http://127.0.0.1:{PORT}{FILE_PATH}"
        self.expect_no_update(Reply.text(f'{{"status":"none","version":"2.0.0.3","url":""}}\r\n'
                                         f'{{"status":"ok","version":"2.0.0.4","url":"{url}"}}\r\n'))

    def test_missing_or_non_text_member_is_no_offer(self):
        self.expect_no_update(Reply.text(f'{{"status":"ok","version":2004,"url":"http://127.0.0.1:{PORT}/x"}}\n'))

    def test_reply_without_url_is_no_offer(self):
        self.expect_no_update(Reply.text('{"status":"ok","version":"2.0.0.4"}\n'))

    def test_a_redirect_is_not_followed(self):
        # Followed, it would lead to an offer and a download.
        server = self.serve(Reply.redirect(f"http://127.0.0.1:{PORT}/offer"))
        server.set_file("/offer", self.offer("2.0.0.4"))
        self.expect_normal_start(self.start_installed())
        self.assertEqual(server.paths(), [VERSION_QUERY])

    def test_version_query_not_found_starts_normally(self):
        self.expect_no_update(Reply.not_found())

    def test_first_line_is_cut_after_1023_bytes(self):
        # Whole, this line would be a valid offer; cut, it is no JSON.
        head = f'{{"status":"ok","version":"2.0.0.4","url":"http://127.0.0.1:{PORT}{FILE_PATH}","pad":"'
        line = head + "x" * (1024 - len(head) - 2) + '"}'
        self.assertEqual(len(line), 1024)
        self.expect_no_update(Reply.text(line + "\n"))

    def test_first_line_of_1023_bytes_is_read_whole(self):
        head = f'{{"status":"ok","version":"2.0.0.4","url":"http://127.0.0.1:{PORT}{FILE_PATH}","pad":"'
        line = head + "x" * (1023 - len(head) - 2) + '"}'
        self.assertEqual(len(line), 1023)
        # The offer is read: the download is tried (and fails on a 404).
        server = self.serve(Reply.text(line + "\n"), Reply.not_found())
        program = self.start_installed()
        self.assertEqual(self.wait_message(), FAILED)
        bui.ui_ok("answer", bui.MAIN_CAPTION, "ok", 5000)
        self.expect_normal_start(program)
        self.assertEqual(server.paths(), [VERSION_QUERY, FILE_PATH])

    # --- downloads that fail -------------------------------------------------

    def test_two_digit_last_part_counts_as_newer(self):
        # Its last part, 10, is above 3: the download is tried.
        self.expect_failed_download(Reply.not_found(), version="2.0.0.10")

    def test_error_page_is_not_taken_for_the_program(self):
        self.expect_failed_download(Reply.not_found())

    def test_body_shorter_than_announced_fails(self):
        self.expect_failed_download(Reply.truncated(self.next_release, len(self.next_release) // 2))

    def test_body_without_content_length_fails(self):
        self.expect_failed_download(Reply.without_length(self.next_release))

    def test_dropped_download_connection_fails(self):
        self.expect_failed_download(Reply.dropped())

    def test_a_download_that_is_not_the_program_offered_is_never_installed(self):
        data = self.next_release
        block_page = b"<html><body>Access to this site is blocked.</body></html>\n" * 2000
        # Windows' version functions would take its version resource for the
        # 16-bit format and write beyond it.
        old_format = make_corpus.program(make_corpus.version_block("2.0.0.4", wide=False), size=64 * 1024)
        for what, reply, version in (
                ("an empty 200", Reply.text(b""), "2.0.0.4"),
                ("a proxy's page of a program's length", Reply.text(block_page), "2.0.0.4"),
                ("a program of another version", Reply.file(data), "2.0.0.5"),
                ("a program for ARM64", Reply.file(for_machine(data, 0xAA64)), "2.0.0.4"),
                ("a program with a 16-bit version resource", Reply.file(old_format), "2.0.0.4")):
            with self.subTest(what):
                self.reset()
                self.expect_failed_download(reply, version)

    def test_an_update_script_that_cannot_be_written_keeps_the_program_running(self):
        (self.folder / SCRIPT).mkdir()  # no file can be made under its name
        self.expect_failed_download(Reply.file(self.next_release))

    def test_a_stalled_download_ends_after_15_seconds_of_silence(self):
        data = self.next_release
        elapsed = self.expect_failed_download(Reply.stalled(data, len(data) // 3), timeout_ms=45000)
        sys.stderr.write(f"[message {elapsed:.1f} s after the start] ")
        self.assertGreater(elapsed, 14, "a pause shorter than 15 s is no stall")
        self.assertLess(elapsed, 35)

    def test_a_download_that_never_ends_is_given_up_within_about_a_minute(self):
        # Never silent for long enough to count as stalled. Headers that drip
        # hold the request's own calls: only the update's limit ends them.
        for what, reply in (("a body that drips", Reply.dripping(self.next_release, 4096, 3.0)),
                            ("headers that drip", Reply.dripping_headers(every=4.0))):
            with self.subTest(what):
                self.reset()
                elapsed = self.expect_failed_download(reply, timeout_ms=100000)
                sys.stderr.write(f"[{what}: message {elapsed:.1f} s after the start] ")
                self.assertGreater(elapsed, 50)
                self.assertLess(elapsed, 75)

    # --- signed updates -------------------------------------------------------

    def test_a_signed_build_installs_only_what_the_release_key_signed(self):
        data = self.next_release
        good = sign(data, TEST_KEY)
        with tempfile.TemporaryDirectory() as folder:
            other_key = Path(folder) / "other.pem"
            subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", str(other_key)],
                           check=True, capture_output=True)
            by_other_key = sign(data, other_key)
        tampered = bytearray(data)
        tampered[len(data) // 2] ^= 0x01
        for what, program, signature in (
                ("signed with another key", data, Reply.text(by_other_key)),
                ("changed after signing", bytes(tampered), Reply.text(good)),
                ("without a signature", data, Reply.not_found()),
                ("with a signature that is none", data, Reply.text(b"\x30\x02garbage"))):
            with self.subTest(what):
                self.reset(self.signed_release)
                self.expect_failed_download(Reply.file(program), signature=signature)
                self.assertEqual(self.server.paths(), [VERSION_QUERY, FILE_PATH, FILE_PATH + ".sig"])

        # Signed with the release key, it goes in, an 8-second pause on the
        # line notwithstanding; and so does the 32-bit program, the offer
        # every till gets (this 64-bit program runs the very checks the
        # 32-bit one does).
        if not NEXT_X86_EXE.is_file() and os.environ.get("BRINVALE_REQUIRE_X86"):
            self.fail(f"{NEXT_X86_EXE} not built (windows-x86 preset)")
        offers = [("x64", data, Reply.stalled(data, len(data) // 3, seconds=8))]
        if NEXT_X86_EXE.is_file():
            x86 = NEXT_X86_EXE.read_bytes()
            offers.append(("x86", x86, Reply.file(x86)))
        for machine, program_bytes, reply in offers:
            with self.subTest(machine):
                self.reset(self.signed_release)
                server = self.serve(self.offer("2.0.0.4"), reply)
                server.set_file(FILE_PATH + ".sig", Reply.text(sign(program_bytes, TEST_KEY)))
                program = self.start_installed()
                self.assertEqual(program.wait(timeout=60), 0, "the program ends for its update")
                bui.wait_for(lambda: self.installed.exists() and self.installed.read_bytes() == program_bytes, 30,
                             message=f"installed program replaced by the signed {machine} version")
                self.assertEqual(server.paths(), [VERSION_QUERY, FILE_PATH, FILE_PATH + ".sig"])

    def test_a_build_without_a_key_asks_nobody_not_even_through_the_shops_proxy(self):
        # The shop's system proxy points at a rogue server that would offer
        # the shipped program of an unsigned release a newer one: the program
        # has no way to tell a release from anything else, so it asks nothing.
        release = RELEASE_EXE.read_bytes()
        self.reset(release)
        server = self.serve(self.offer("2.0.0.4"), Reply.file(self.next_release))
        for name, kind, value in (("ProxyEnable", "REG_DWORD", "1"), ("ProxyServer", "REG_SZ", f"127.0.0.1:{PORT}")):
            rc, out = bui.wine("reg", "add", INTERNET_SETTINGS, "/v", name, "/t", kind, "/d", value, "/f")
            self.assertEqual(rc, 0, out)
            self.addCleanup(bui.wine, "reg", "delete", INTERNET_SETTINGS, "/v", name, "/f")
        self.expect_normal_start(self.start_installed(), within=10)
        time.sleep(2)
        self.assertEqual(server.connections(), 0, server.paths())
        self.assertEqual(self.installed.read_bytes(), release)

    # --- a second copy, an unattended till -------------------------------------

    def test_a_second_start_during_the_download_changes_nothing(self):
        data = self.next_release
        server = self.serve(self.offer("2.0.0.4"), Reply.file(data, pause_at=len(data) // 2))
        first = self.start_installed()
        self.assertTrue(server.wait_paused(30), "the download began")
        # The server's pause comes when its bytes are in the socket, which
        # may be before the program has read them.
        update_file = self.folder / UPDATE_FILE
        bui.wait_for(lambda: update_file.exists() and update_file.stat().st_size >= len(data) // 2, 20,
                     message="half of the program downloaded")
        partial = update_file.read_bytes()
        second = self.start_installed()
        self.assertEqual(second.wait(timeout=20), 0, "the second copy ends quietly")
        self.assertEqual(server.paths(), [VERSION_QUERY, FILE_PATH], "without asking the server anything")
        self.assertTrue((self.folder / UPDATE_FILE).read_bytes().startswith(partial), "the update file untouched")
        server.release()
        self.assertEqual(first.wait(timeout=60), 0)
        bui.wait_for(lambda: self.installed.exists() and self.installed.read_bytes() == data, 30,
                     message="installed program replaced by the whole download")

    def test_an_unattended_till_connects_before_a_failed_update_is_shown(self):
        (self.folder / "OstrelBrinvale.ini").write_bytes(settings_ini(port=5, auto_run="Y").encode("ascii"))
        self.serve(self.offer("2.0.0.4"), Reply.not_found())
        self.start_installed()
        self.assertEqual(self.wait_message(), FAILED)
        self.assertEqual(main_text(ID.IDC_LINK_STATUS), OPEN_LINK,
                         "the terminal's port was open before the message came")
        bui.ui_ok("answer", bui.MAIN_CAPTION, "ok", 5000)
        self.assertFalse(is_yes(main_ui("visible", bui.MAIN_CAPTION)), "connected: the window stays hidden")

    # --- installation ------------------------------------------------------------

    def test_an_installing_copy_leaves_the_server_to_the_copy_it_starts(self):
        # A server that never answers would hold a copy that checks for
        # updates for 5 s: the installing copy must not check at all, or the
        # installed one, started at once, would find it running and end.
        self.installed.unlink()
        download = install_folder().parent / "Downloads-update-test"
        shutil.rmtree(download, ignore_errors=True)
        download.mkdir()
        self.addCleanup(shutil.rmtree, download, ignore_errors=True)
        self.addCleanup(bui.end_script, "killfile.bat")
        self.addCleanup(bui.end_script, "runextern.bat")
        (download / PROGRAM).write_bytes(self.release)
        server = self.serve()
        server.set_silent()
        installer = bui.start_program(download / PROGRAM, cwd=download)
        self.programs.append(installer)
        bui.wait_for(lambda: (download / "runextern.bat").exists(), 20, interval=0.02,
                     message="restart script written")
        handed_over = time.monotonic()  # the installing copy has asked to end
        installed = self.start_installed()  # as the restart script would (Wine's cmd cannot)
        self.assertEqual(installer.wait(timeout=10), 0)
        self.assertLess(time.monotonic() - handed_over, 4, "the installing copy ended without a word to the server")
        self.expect_normal_start(installed, within=25)
        self.assertEqual(self.installed.read_bytes(), self.release)

    # --- no server --------------------------------------------------------------

    def test_without_a_server_the_start_is_quick(self):
        self.assertTrue(port_refuses(PORT), f"something listens on 127.0.0.1:{PORT}")
        started = time.monotonic()
        program = self.start_installed()
        self.expect_normal_start(program, within=10)
        elapsed = time.monotonic() - started
        sys.stderr.write(f"[main window after {elapsed:.1f} s] ")
        self.assertLess(elapsed, 10)

    def test_a_version_query_whose_headers_drip_holds_an_unattended_till_a_minute_at_most(self):
        (self.folder / "OstrelBrinvale.ini").write_bytes(settings_ini(port=5, auto_run="Y").encode("ascii"))
        server = self.serve(Reply.dripping_headers(every=4.0))
        started = time.monotonic()
        program = self.start_installed()
        bui.wait_link(OPEN_LINK, timeout=90)
        elapsed = time.monotonic() - started
        sys.stderr.write(f"[connected {elapsed:.1f} s after the start] ")
        self.assertGreater(elapsed, 50, "the query was held until the update's time was up")
        self.assertLess(elapsed, 75)
        self.assertEqual(server.paths(), [VERSION_QUERY])
        # The query given up on is no reason to stay.
        main_ui("command", bui.MAIN_CAPTION, ID.ID_TRAY_EXIT)
        bui.answer(bui.EXIT_QUESTION, "yes")
        self.assertEqual(program.wait(timeout=15), 0)

    def test_a_silent_server_delays_the_start_only_by_the_time_outs(self):
        server = self.serve()
        server.set_silent()
        started = time.monotonic()
        program = self.start_installed()
        self.expect_normal_start(program, within=25)
        elapsed = time.monotonic() - started
        sys.stderr.write(f"[main window after {elapsed:.1f} s] ")
        self.assertLess(elapsed, 25)
        self.assertEqual(server.paths(), [], "the query was never answered")

    # --- the About dialog ------------------------------------------------------

    def test_about_dialog_shows_the_version_and_is_reused(self):
        self.serve(self.offer("2.0.0.3"))
        self.expect_normal_start(self.start_installed())
        self.assertNotEqual(about_ui("visible", bui.MAIN_CAPTION).rc, 0, "not created before its first use")

        main_ui("command", bui.MAIN_CAPTION, ID.ID_TRAY_ABOUT)
        about_ui("wait-visible", bui.MAIN_CAPTION, 10000)
        first = bui.ui_ok("--has", ID.IDC_ABOUT_VERSION, "wait-window", bui.MAIN_CAPTION, 1000)
        self.assertEqual(about_ui("text", bui.MAIN_CAPTION, ID.IDC_ABOUT_VERSION).out, "2.0.0.3")
        self.assertEqual(about_ui("text", bui.MAIN_CAPTION, "0").out, "OstrelBrinvale")
        children = {int(line.split("\t")[0]): line.split("\t") for line in
                    about_ui("children", bui.MAIN_CAPTION).out.splitlines()}
        for link, label in ((ID.IDC_LINK_TERMINAL, "단말기 설정"), (ID.IDC_LINK_PROGRAM, "프로그램 설정"),
                            (ID.IDC_LINK_SETUP, "설치/삭제")):
            self.assertIn(link, children)
            self.assertEqual(children[link][1].lower(), "syslink")
            self.assertIn(label, children[link][-1])
        self.assertIn("Version : ", [fields[-1] for fields in children.values()])

        # Its own rectangle: the main window (same caption) lies behind it.
        time.sleep(0.3)
        rect = [int(v) for v in about_ui("rect", bui.MAIN_CAPTION).out.split()]
        bui.screenshot(SHOTS / "about-dialog.png", rect=rect)

        # Enter and Escape close nothing.
        for key in ("enter", "escape"):
            for control in ("0", "focus"):
                about_ui("key", bui.MAIN_CAPTION, control, key)
        time.sleep(0.5)
        self.assertTrue(is_yes(about_ui("visible", bui.MAIN_CAPTION)), "Enter and Escape keep it open")

        # Closing hides it; the next use shows the same window again.
        bui.ui_ok("close", f"hwnd:{first}")
        bui.wait_for(lambda: bui.ui("visible", f"hwnd:{first}").out == "no", 10, message="About hidden")
        main_ui("command", bui.MAIN_CAPTION, ID.ID_TRAY_ABOUT)
        bui.wait_for(lambda: is_yes(bui.ui("visible", f"hwnd:{first}")), 10, message="About shown again")
        again = bui.ui_ok("--has", ID.IDC_ABOUT_VERSION, "wait-window", bui.MAIN_CAPTION, 1000)
        self.assertEqual(again, first, "the same window")
        main_ui("command", bui.MAIN_CAPTION, ID.ID_TRAY_ABOUT)
        time.sleep(0.3)
        windows = [line.split("\t") for line in bui.ui_ok("windows").splitlines()]
        ours = [fields for fields in windows if fields[-1] == bui.MAIN_CAPTION]
        self.assertEqual(len(ours), 2, f"the main window and one About dialog: {ours}")
        self.assertEqual(bui.ui_ok("--has", ID.IDC_ABOUT_VERSION, "wait-window", bui.MAIN_CAPTION, 1000), first)
        self.assertEqual(about_ui("text", bui.MAIN_CAPTION, ID.IDC_ABOUT_VERSION).out, "2.0.0.3")


if __name__ == "__main__":
    unittest.main(verbosity=2)
