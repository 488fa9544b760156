"""Helpers for the end-to-end window tests of the Windows build under Wine.

They run the real program and the UI driver (tools/uidriver) through
tests/wine/wine-run.sh on the X display of tests/wine/gui-session.sh.
Standard library only.

    import brinvale_ui as bui
    program = bui.start_program(exe, cwd=folder)   # DISPLAY and Wine set up
    bui.ui_ok("wait-visible", bui.MAIN_CAPTION, "10000")
    rc, out = bui.main_ui("text", bui.MAIN_CAPTION, bui.ID.IDC_LINK_STATUS)
    program.stop()

Control and menu command ids come from src/res/resource.h (bui.ID); the UI
driver takes them as numbers.

The UI driver is found through the argument `uidriver=`, the environment
variable BRINVALE_UIDRIVER, or build/windows/tools/uidriver/uidriver.exe.
The Wine environment is $BRINVALE_WINE_ROOT (default /tmp/brinvale-wine-UID).

Every Wine program here writes to a temporary file, never to a pipe: Wine's
helper processes (services.exe, explorer.exe) inherit the standard handles of
the program that starts a server session and keep them open for minutes, so
a pipe would never reach end-of-file.
"""

from __future__ import annotations

import os
import re
import shutil
import signal
import socket
import struct
import sys
import subprocess
import tempfile
import threading
import time
import types
from pathlib import Path
from typing import Callable, Optional, Sequence, TypeVar

HERE = Path(__file__).resolve().parent
SOURCE_ROOT = HERE.parent.parent
TOOLS = SOURCE_ROOT / "tools"
WINE_RUN = HERE / "wine-run.sh"
GUI_SESSION = HERE / "gui-session.sh"
SCREENSHOT = HERE / "screenshot.sh"

sys.path.insert(0, str(TOOLS))
import van_sim  # noqa: E402


def _resource_ids(header: Path) -> types.SimpleNamespace:
    """Every `#define NAME NUMBER` of the program's resource header."""
    found = re.findall(r"^#define\s+(\w+)\s+(\d+)\s*$", header.read_text("ascii"), re.MULTILINE)
    return types.SimpleNamespace(**{name: int(number) for name, number in found})


# The program's control and menu command ids: ID.IDC_PORT_LIST, ID.ID_TRAY_EXIT, ...
ID = _resource_ids(SOURCE_ROOT / "src" / "res" / "resource.h")

# The gateway's windows. The main window, the About dialog and the message
# boxes all carry MAIN_CAPTION; pass "--has", MAIN_CONTROL (the port list) to
# the UI driver to mean the main window.
MAIN_CAPTION = "OstrelBrinvale"
MAIN_CONTROL = ID.IDC_PORT_LIST
STATUS_CAPTION = "OstrelBrinvale STATUS"
SETUP_CAPTION = "OstrelBrinvale SETUP"

PROGRAM = "OstrelBrinvale.exe"

# The link status line of the main and status windows.
IDLE_LINK = "CAT : 비연결 | VAN : 비연결"
OPEN_LINK = "CAT : 연결 | VAN : 비연결"
VAN_LINK = "CAT : 연결 | VAN : 연결"

EXIT_QUESTION = "정말로 종료하시겠습니까?"

T = TypeVar("T")


class WaitTimeout(AssertionError):
    """A wait_for condition did not come true in time."""


class UiError(AssertionError):
    """The UI driver reported a failure where success was required."""


def wine_root() -> Path:
    return Path(os.environ.get("BRINVALE_WINE_ROOT", f"/tmp/brinvale-wine-{os.getuid()}"))


def prefix() -> Path:
    return wine_root() / "prefix"


def install_folder() -> Path:
    """C:\\OSBRIN of the test prefix (Wine's home drive is C:): the program
    runs from there, or it installs itself there and ends."""
    return prefix() / "drive_c" / "OSBRIN"


def desktop() -> Path:
    """The Linux side of the prefix's desktop folder ($HOME of wine-run.sh)."""
    return wine_root() / "home"


def screenshots_folder() -> Path:
    """BRINVALE_SCREENSHOTS (set by ctest), else a new temporary folder."""
    folder = Path(os.environ.get("BRINVALE_SCREENSHOTS") or tempfile.mkdtemp(prefix="brinvale-shots-"))
    folder.mkdir(parents=True, exist_ok=True)
    return folder


def settings_ini(port=0, speed="9.6K", show="hidden", auto_run="N", log="N") -> str:
    """The text of OstrelBrinvale.ini; with no argument, the one a first start writes."""
    return (f"[COMPORT]\r\nport={port}\r\nspeed={speed}\r\n[STATUSBOX]\r\nshow={show}\r\n"
            f"[COMMON]\r\nauto_run={auto_run}\r\nlog={log}\r\n")


DEFAULT_INI = settings_ini()


def install(exe: os.PathLike | str, ini: Optional[str] = None, name: str = PROGRAM) -> Path:
    """exe copied into C:\\OSBRIN under name, with its settings file (ini)
    beside it when given, as an earlier installation left it; its path."""
    folder = install_folder()
    folder.mkdir(parents=True, exist_ok=True)
    shutil.copy(exe, folder / name)
    if ini is not None:
        (folder / (Path(name).stem + ".ini")).write_bytes(ini.encode("ascii"))
    return folder / name


def terminal_tty() -> Path:
    """The Linux end of the terminal's COM port (COM6), for a fake terminal."""
    return wine_root() / "run" / "ttyCAT"


def tty_of(port: str) -> str:
    """The Linux tty behind COM5 (the gateway's end of the pty pair) or COM6."""
    link = {"COM5": "ttyGW", "COM6": "ttyCAT"}[port]
    return os.path.realpath(wine_root() / "run" / link)


def connected_tty() -> Optional[str]:
    """The Linux tty the gateway last raised DTR on (tests/wine/modem_shim.c)."""
    log = wine_root() / "run" / "modem.log"
    lines = [line.split() for line in log.read_text().splitlines()] if log.exists() else []
    raised = [fields[0] for fields in lines if fields[1:] == ["DTR", "1"]]
    return raised[-1] if raised else None


def terminal(*steps: str, timeout: float = 60, quiet: bool = True) -> tuple[int, str]:
    """Plays steps (tools/cat_sim.py's) as the card terminal on the COM port's
    far end; (exit status, what it printed)."""
    options = ["-q"] if quiet else []
    result = subprocess.run([sys.executable, str(TOOLS / "cat_sim.py"), *options, str(terminal_tty()),
                             "--", *steps], capture_output=True, text=True, timeout=timeout)
    return result.returncode, result.stdout + result.stderr


def unplug_line() -> None:
    """Pulls the terminal's line out, as a USB adapter unplugged: the pty pair
    behind COM5 and COM6 goes away and stays away until plug_line()."""
    run = wine_root() / "run"
    (run / "unplugged").touch()
    try:
        pid = int((run / "socat.pid").read_text())
        os.kill(pid, signal.SIGTERM)
    except (OSError, ValueError):
        pass
    wait_for(lambda: not (run / "ttyGW").exists() and not (run / "ttyCAT").exists(), 10,
             message="pty pair gone")


def plug_line() -> None:
    """A fresh pty pair under the same names."""
    run = wine_root() / "run"
    (run / "unplugged").unlink(missing_ok=True)
    rc, _, err = _run_logged([str(WINE_RUN), "--prepare"], dict(os.environ), timeout=60)
    if rc != 0:
        raise RuntimeError(f"wine-run.sh --prepare failed ({rc}): {err.strip()}")


class VanSimulator:
    """A VAN on 127.0.0.1: tools/van_sim.py's server, run in this process.

    options are van_sim's command-line options ("--greet", "02 48 49 03",
    "--close-after", "0", ...), rules the lines of its reply scripts
    ("HEX_IN -> HEX_OUT", "HEX_IN -> HEX_OUT close", "* -> close"). With
    reset=True every link the VAN ends, it ends with a reset instead of an
    orderly close. received holds every byte that came from the gateway;
    closed_by_gateway is set when the gateway ends a link.
    """

    def __init__(self, *options: str, rules: Sequence[str] = (), reset: bool = False):
        settings = van_sim.build_parser().parse_args(list(options))
        replies = [van_sim.parse_rule(rule) for rule in rules]
        self.received = bytearray()
        self.closed_by_gateway = threading.Event()
        self._reset = reset
        self._links: list[socket.socket] = []
        self._stopping = False
        self._listener = van_sim.make_listener("127.0.0.1", 0)
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, args=(settings, replies), daemon=True)
        self._thread.start()

    def _serve(self, settings, replies) -> None:
        try:
            van_sim.serve_forever(self, settings, replies, _VanRecord(self))
        except OSError:
            pass  # stop() shut the listener

    def accept(self) -> tuple[socket.socket, tuple]:
        """The listener serve_forever takes links from: each is kept, so that
        stop() can end it."""
        link, peer = self._listener.accept()
        if self._reset:
            link.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self._links.append(link)
        return link, peer

    def stop(self) -> None:
        self._stopping = True
        for sock in (self._listener, *self._links):
            try:
                sock.shutdown(socket.SHUT_RDWR)  # wakes the server's accept or select
            except OSError:
                pass  # already closed
        self._thread.join(timeout=10)
        self._listener.close()


class _VanRecord(van_sim.Printer):
    """What van_sim would print, kept for the test instead."""

    def __init__(self, van: VanSimulator):
        super().__init__(dump_limit=0)
        self.van = van

    def dump(self, arrow: str, data: bytes) -> None:
        if arrow == "<-":
            self.van.received += data

    def line(self, text: str) -> None:
        if text.startswith("closed by peer") and not self.van._stopping:
            self.van.closed_by_gateway.set()


def wine(*args: str, timeout: float = 60) -> tuple[int, str]:
    """A Wine program of the prefix (reg, cmd): (rc, its output)."""
    rc, out, err = _run_logged([str(WINE_RUN), *args], gui_env(), timeout)
    return rc, out + err


def uidriver_path(uidriver: Optional[str] = None) -> str:
    candidates = [uidriver, os.environ.get("BRINVALE_UIDRIVER"),
                  str(SOURCE_ROOT / "build" / "windows" / "tools" / "uidriver" / "uidriver.exe")]
    for candidate in candidates:
        if candidate and Path(candidate).is_file():
            return str(Path(candidate).resolve())
    raise FileNotFoundError("uidriver.exe not found: build the windows preset's uidriver target "
                            "or set BRINVALE_UIDRIVER")


def _run_logged(command: Sequence[str], env: dict, timeout: float,
                cwd: Optional[str] = None) -> tuple[int, str, str]:
    """Runs a command with its output in temporary files; (rc, out, err)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        try:
            rc = subprocess.run(list(command), stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                env=env, cwd=cwd, timeout=timeout, check=False).returncode
        except subprocess.TimeoutExpired:
            rc = 124
        out.seek(0)
        err.seek(0)
        return (rc, out.read().decode("utf-8", "replace"), err.read().decode("utf-8", "replace"))


# ---------------------------------------------------------------------------
# The X session

_gui_env: Optional[dict] = None


def _start_session(*options: str) -> dict:
    rc, out, err = _run_logged([str(GUI_SESSION), *options], dict(os.environ), timeout=180)
    if rc != 0:
        raise RuntimeError(f"gui-session.sh failed ({rc}): {err.strip()}")
    env = dict(os.environ)
    for line in out.splitlines():
        if line.startswith("export ") and "=" in line:
            name, value = line[len("export "):].split("=", 1)
            env[name] = value
    if "DISPLAY" not in env:
        raise RuntimeError(f"gui-session.sh printed no DISPLAY: {out!r}")
    return env


def _screen_sizes(env: dict, uidriver: Optional[str]) -> tuple[str, str]:
    """(Wine's screen size, the X screen's), both as "W H"."""
    rc, out, err = _run_logged([str(WINE_RUN), uidriver_path(uidriver), "screen"], env, timeout=60)
    if rc != 0:
        raise RuntimeError(f"uidriver screen failed ({rc}): {err.strip()}")
    wine = next((line[len("size "):] for line in out.splitlines() if line.startswith("size ")), "")
    rc, out, _ = _run_logged(["xdotool", "getdisplaygeometry"], env, timeout=10)
    return wine.strip(), out.strip()


def gui_env(uidriver: Optional[str] = None) -> dict:
    """The environment for Wine programs on the test display.

    Starts the session once per test process and checks that Wine sees the X
    screen: a Wine server whose desktop began on another (or a dead) display
    runs on Wine's null driver at 1024x768; then it is restarted once.
    """
    global _gui_env
    if _gui_env is None:
        env = _start_session()
        wine, x11 = _screen_sizes(env, uidriver)
        if wine != x11:
            env = _start_session("--restart-wine")
            wine, x11 = _screen_sizes(env, uidriver)
            if wine != x11:
                raise RuntimeError(f"Wine sees a {wine} screen on the {x11} X display")
        _gui_env = env
    return dict(_gui_env)


# ---------------------------------------------------------------------------
# The UI driver


class UiResult(tuple):
    """(rc, stdout) of one UI driver run; .err holds its stderr."""

    def __new__(cls, rc: int, out: str, err: str):
        result = super().__new__(cls, (rc, out))
        result.err = err
        return result

    @property
    def rc(self) -> int:
        return self[0]

    @property
    def out(self) -> str:
        return self[1]


_REPEATABLE = {"tray", "wait-visible", "wait-gone", "wait-text", "text", "children",
               "check-state", "msgbox", "msgbox-buttons", "visible", "enabled", "screen",
               "windows", "processes", "wait-process-gone"}


def _command_of(args: Sequence[object]) -> str:
    return next((str(a) for i, a in enumerate(args)
                 if not str(a).startswith("--") and (i == 0 or not str(args[i - 1]).startswith("--"))), "")


def _ended_silently(rc: int, err: str) -> bool:
    """The driver explains every failure of its own on stderr ("uidriver:
    ..."); status 1 without that means Wine ended the process before it
    could speak (seen twice in CI in some hundred runs, never here)."""
    return rc == 1 and "uidriver:" not in err


def ui(*args: object, uidriver: Optional[str] = None, timeout: float = 120) -> UiResult:
    """Runs one UI driver command; (rc, stdout without its final newline).

    rc: 0 success, 1 failure or time-out, 2 usage error.
    """
    command = [str(WINE_RUN), uidriver_path(uidriver), *(str(arg) for arg in args)]
    # Wine's own error messages, silent otherwise, say why a driver ended
    # without a word; the driver's commands cause none.
    env = {**gui_env(uidriver), "BRINVALE_WINEDEBUG": "-all,err+all"}
    rc, out, err = _run_logged(command, env, timeout)
    if _ended_silently(rc, err):
        name = _command_of(args)
        print(f"uidriver {' '.join(map(str, args))}: ended with 1 without a word; Wine said: "
              f"{err.strip() or 'nothing'}", file=sys.stderr)
        # A command that only looks or waits can simply run again. An answer
        # whose box is gone was given; one whose box still shows was not.
        again = name in _REPEATABLE
        if name == "answer":
            words = command[2:]
            caption = words[words.index(name) + 1]
            again = _run_logged([*command[:2], "msgbox", caption, "1000"], env, timeout)[0] == 0
            if not again:
                rc, err = 0, ""
        if again:
            rc, out, err = _run_logged(command, env, timeout)
    if out.endswith("\n"):
        out = out[:-1]
    return UiResult(rc, out, err)


def ui_ok(*args: object, uidriver: Optional[str] = None, timeout: float = 120) -> str:
    """Runs one UI driver command that must succeed; its stdout."""
    result = ui(*args, uidriver=uidriver, timeout=timeout)
    if result.rc != 0:
        raise UiError(f"uidriver {' '.join(map(str, args))}: rc {result.rc}: {result.err.strip()}")
    return result.out


def is_yes(result: UiResult) -> bool:
    """A UI driver question (visible, enabled, topmost, ...) answered yes."""
    return result.rc == 0 and result.out == "yes"


def main_ui(*args: object) -> UiResult:
    """A UI driver command aimed at the main window (not a message box)."""
    return ui("--has", MAIN_CONTROL, *args)


def main_text(control: int) -> str:
    return main_ui("text", MAIN_CAPTION, control).out


def wait_link(text: str, timeout: float = 10.0) -> None:
    """Waits until the main window's link status reads text."""
    ui_ok("--has", MAIN_CONTROL, "wait-text", MAIN_CAPTION, ID.IDC_LINK_STATUS, text, int(timeout * 1000))


def show_main_window() -> None:
    """Back through the notification icon (connecting hides the window)."""
    ui_ok("--has", MAIN_CONTROL, "tray", MAIN_CAPTION, "lbuttondblclk")
    main_ui("wait-visible", MAIN_CAPTION, 10000)


def answer(text: str, button: str) -> None:
    """Waits for the program's message box, checks its text, answers it."""
    shown = ui("msgbox", MAIN_CAPTION, 10000).out
    if shown != text:
        raise AssertionError(f"message box {shown!r}, expected {text!r}")
    ui_ok("answer", MAIN_CAPTION, button, 10000)


def no_message_box(within_ms: int = 500, message: str = "no question expected") -> None:
    if ui("msgbox", MAIN_CAPTION, within_ms).rc == 0:
        raise AssertionError(f"a message box came: {message}")


def controls(caption: str, has: Optional[int] = None) -> dict[int, tuple[bool, str]]:
    """The window's controls, id -> (enabled, text), from one UI driver run.
    A drop-down list's text is its selected entry."""
    selector = ("--has", has) if has else ()
    found = {}
    for line in ui_ok(*selector, "children", caption).splitlines():
        fields = line.split("\t")
        found[int(fields[0])] = (fields[3] == "yes", fields[4] if len(fields) > 4 else "")
    return found


def checked(*ids: int):
    """The settings dialog's check boxes, checked or not, from one UI driver run."""
    states = [line == "1" for line in ui_ok("check-state", SETUP_CAPTION, *ids).splitlines()]
    return states[0] if len(ids) == 1 else states


def wait_for(predicate: Callable[[], T], timeout: float = 10.0, interval: float = 0.1,
             message: str = "condition") -> T:
    """Calls predicate until it gives a true value, and returns that value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise WaitTimeout(f"{message}: not met after {timeout:g} s (last value {value!r})")
        time.sleep(interval)


def screenshot(path: os.PathLike | str, caption: Optional[str] = None,
               rect: Optional[Sequence[int]] = None) -> Path:
    """Saves the screen, one window by caption, or a rectangle (l, t, r, b)."""
    command = [str(SCREENSHOT), str(path)]
    if rect is not None:
        command += ["--rect", *(str(int(v)) for v in rect)]
    elif caption is not None:
        command.append(caption)
    rc, _, err = _run_logged(command, gui_env(), timeout=60)
    if rc != 0:
        raise RuntimeError(f"screenshot failed: {err.strip()}")
    return Path(path)


# ---------------------------------------------------------------------------
# The program under test


class Program:
    """A Windows program started under wine-run.sh on the test display."""

    def __init__(self, exe: str, args: Sequence[str], cwd: Optional[str],
                 log: Optional[os.PathLike | str], uidriver: Optional[str]):
        self.exe = str(exe)
        self.name = Path(self.exe).name
        self._uidriver = uidriver
        # A log of our own making goes when the program is stopped.
        self._own_log = log is None
        if log is None:
            handle, name = tempfile.mkstemp(prefix="brinvale-program-", suffix=".log")
            os.close(handle)
            log = name
        self.log_path = Path(log)
        self._log = open(self.log_path, "wb")
        # Its own session: a signal meant for the test runner does not reach it.
        self.process = subprocess.Popen(
            [str(WINE_RUN), self.exe, *map(str, args)], cwd=cwd, env=gui_env(uidriver),
            stdin=subprocess.DEVNULL, stdout=self._log, stderr=subprocess.STDOUT,
            start_new_session=True)

    @property
    def running(self) -> bool:
        return self.process.poll() is None

    def wait(self, timeout: float = 10.0) -> int:
        """Waits for the program to end by itself; its exit code."""
        return self.process.wait(timeout=timeout)

    def stop(self, timeout: float = 10.0) -> Optional[int]:
        """Ends the program at once (TerminateProcess, as a task manager
        would), without its exit question. Safe to call twice."""
        if self.running:
            ui("kill-process", self.name, uidriver=self._uidriver, timeout=60)
            try:
                self.process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()  # the Wine process is the Windows process
                self.process.wait(timeout=timeout)
        self._log.close()
        if self._own_log:
            self.log_path.unlink(missing_ok=True)
        return self.process.returncode

    def output(self) -> str:
        """What the program wrote to stdout and stderr (Wine's messages too)."""
        return self.log_path.read_text("utf-8", "replace") if self.log_path.exists() else ""


def start_program(exe: os.PathLike | str, *args: str, cwd: Optional[os.PathLike | str] = None,
                  log: Optional[os.PathLike | str] = None,
                  uidriver: Optional[str] = None) -> Program:
    """Starts exe with args under Wine; stop() ends it."""
    return Program(str(exe), args, str(cwd) if cwd is not None else None, log, uidriver)


def script_processes(script: str) -> list[int]:
    """Linux pids of this prefix's cmd processes running the script."""
    pids = []
    wine_prefix = f"WINEPREFIX={prefix()}".encode()
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            command = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode("utf-8", "replace")
            environ = (entry / "environ").read_bytes().split(b"\0")
        except OSError:
            continue
        if "cmd.exe" in command and script in command and wine_prefix in environ:
            pids.append(int(entry.name))
    return pids


def end_script(script: str) -> None:
    """Ends the cmd processes still running a script the program started.
    Under Wine a script that deletes itself never ends (cmd keeps it open),
    and one whose start line Wine cannot run waits for ever."""
    for pid in script_processes(script):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    wait_for(lambda: not script_processes(script), 10, message=f"{script} ended")


def kill_program(name: str, uidriver: Optional[str] = None) -> int:
    """Terminates every Windows process of that executable; how many."""
    out = ui_ok("kill-process", name, uidriver=uidriver, timeout=60)
    return int(out or "0")
