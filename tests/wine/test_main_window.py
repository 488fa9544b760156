"""The Windows program as the shop's technician meets it: the real
OstrelBrinvale.exe under Wine, driven through its windows by the UI driver,
with a simulated terminal on a pty-backed COM port and a VAN on 127.0.0.1.

Run by ctest (windows preset) with BRINVALE_EXE and BRINVALE_UIDRIVER set;
screenshots go to BRINVALE_SCREENSHOTS (default: a temporary folder).
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import brinvale_ui as bui  # noqa: E402

TOOLS = Path(__file__).resolve().parents[2] / "tools"
EXE = os.environ.get("BRINVALE_EXE", "")
SHOTS = Path(os.environ.get("BRINVALE_SCREENSHOTS", tempfile.mkdtemp(prefix="brinvale-shots-")))
SHOTS.mkdir(parents=True, exist_ok=True)
GATEWAY_PORT = "COM5"  # its far end is bui.terminal_tty()

IDLE_LINK = "CAT : 비연결 | VAN : 비연결"
OPEN_LINK = "CAT : 연결 | VAN : 비연결"
VAN_LINK = "CAT : 연결 | VAN : 연결"

DEFAULT_INI = ("[COMPORT]\r\nport=0\r\nspeed=9.6K\r\n[STATUSBOX]\r\nshow=hidden\r\n"
               "[COMMON]\r\nauto_run=N\r\nlog=N\r\n")


def main_ui(*args):
    """A UI driver command aimed at the main window (not a message box)."""
    return bui.ui("--has", bui.MAIN_CONTROL, *args)


def main_text(control):
    return main_ui("text", bui.MAIN_CAPTION, control).out


def status_text(control):
    return bui.ui("text", bui.STATUS_CAPTION, control).out


def is_yes(result):
    return result.rc == 0 and result.out == "yes"


def settings_ini(port=0, speed="9.6K", show="hidden", auto_run="N", log="N"):
    return (f"[COMPORT]\r\nport={port}\r\nspeed={speed}\r\n[STATUSBOX]\r\nshow={show}\r\n"
            f"[COMMON]\r\nauto_run={auto_run}\r\nlog={log}\r\n")


class VanSimulator:
    """tools/van_sim.py on 127.0.0.1: greets at once, answers a payment."""

    def __init__(self, folder):
        script = Path(folder) / "van.script"
        script.write_text("02 50 41 59 03 -> 02 4F 4B 03\n")
        self.out = Path(folder) / "van.out"
        with open(self.out, "w") as out:
            self.process = subprocess.Popen(
                [sys.executable, str(TOOLS / "van_sim.py"), "--port", "0", "--greet", "02 48 49 03",
                 "--reply-script", str(script)],
                stdout=out, stderr=subprocess.STDOUT)
        self.port = bui.wait_for(self._port, 10, message="VAN simulator listening")

    def _port(self):
        for line in self.out.read_text().splitlines():
            if line.startswith("listening 127.0.0.1:"):
                return int(line.rsplit(":", 1)[1])
        return None

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


def terminal(*steps):
    """Plays steps as the card terminal on the COM port's far end."""
    result = subprocess.run([sys.executable, str(TOOLS / "cat_sim.py"), str(bui.terminal_tty()), *steps],
                            capture_output=True, text=True, timeout=60)
    return result.returncode, result.stdout


def install_folder():
    """C:\\OSBRIN of the test prefix: the program runs from there, or it would
    install itself there and end."""
    return bui.wine_root() / "prefix" / "drive_c" / "OSBRIN"


def clear_install():
    shutil.rmtree(install_folder(), ignore_errors=True)
    for shortcut in (bui.wine_root() / "home").glob("*.lnk"):
        shortcut.unlink()


class MainWindowTest(unittest.TestCase):
    """A fresh install folder per test."""

    def setUp(self):
        if not EXE:
            self.skipTest("BRINVALE_EXE not set")
        clear_install()
        self.folder = install_folder()
        self.programs = []

    def tearDown(self):
        for program in self.programs:
            program.stop()
        bui.ui("kill-process", "OstrelBrinvale.exe")
        bui.ui("kill-process", "Other.exe")
        clear_install()

    def start(self, ini=None, name="OstrelBrinvale.exe", wait_visible=True):
        folder = self.folder
        folder.mkdir(parents=True, exist_ok=True)
        shutil.copy(EXE, folder / name)
        if ini is not None:
            (folder / (Path(name).stem + ".ini")).write_bytes(ini.encode("ascii"))
        program = bui.start_program(folder / name, cwd=folder)
        self.programs.append(program)
        main_ui("wait-window", bui.MAIN_CAPTION, 20000)
        if wait_visible:
            main_ui("wait-visible", bui.MAIN_CAPTION, 10000)
        return program

    def answer(self, text, button):
        """Waits for the program's message box, checks its text, answers it."""
        self.assertEqual(bui.ui("msgbox", bui.MAIN_CAPTION, 10000).out, text)
        bui.ui_ok("answer", bui.MAIN_CAPTION, button, 10000)

    def select_port(self, port):
        bui.ui_ok("select-text", bui.MAIN_CAPTION, "1000", port)
        bui.wait_for(lambda: main_ui("combo-sel", bui.MAIN_CAPTION, "1000").out not in ("0", "-1"), 5)

    # --- start-up ----------------------------------------------------------

    def test_first_start_writes_default_settings_and_shows_the_idle_window(self):
        self.start()
        self.assertEqual((self.folder / "OstrelBrinvale.ini").read_bytes().decode("ascii"), DEFAULT_INI)
        self.assertEqual(main_text("1005"), IDLE_LINK)
        self.assertEqual(main_text("1006"), "")
        self.assertTrue(is_yes(main_ui("enabled", bui.MAIN_CAPTION, "1002")))
        self.assertFalse(is_yes(main_ui("enabled", bui.MAIN_CAPTION, "1003")))
        ports = main_ui("combo-items", bui.MAIN_CAPTION, "1000").out.splitlines()
        self.assertEqual(ports[0], "선택안함")
        self.assertIn(GATEWAY_PORT, ports, "the serial device map lists the COM ports")
        self.assertEqual(main_ui("combo-sel", bui.MAIN_CAPTION, "1000").out, "0")
        self.assertEqual(main_ui("combo-items", bui.MAIN_CAPTION, "1001").out.splitlines(),
                         ["9600", "38400", "57600", "115200"])
        self.assertEqual(main_ui("combo-sel", bui.MAIN_CAPTION, "1001").out, "0")
        self.assertEqual(bui.ui("visible", bui.STATUS_CAPTION).out, "no", "status window made hidden")
        bui.screenshot(SHOTS / "main-window-idle.png", bui.MAIN_CAPTION)

    def test_saved_port_and_speed_are_selected(self):
        self.start(ini=settings_ini(port=5, speed="115.2k"))
        self.assertEqual(main_ui("combo-items", bui.MAIN_CAPTION, "1000").out.splitlines()[
            int(main_ui("combo-sel", bui.MAIN_CAPTION, "1000").out)], GATEWAY_PORT)
        self.assertEqual(main_ui("combo-sel", bui.MAIN_CAPTION, "1001").out, "3")

    def test_a_second_copy_ends_silently_and_leaves_the_first_alone(self):
        first = self.start()
        bui.ui_ok("select", bui.MAIN_CAPTION, "1001", "2")
        second = bui.start_program(self.folder / "OstrelBrinvale.exe", cwd=self.folder)
        self.programs.append(second)
        self.assertEqual(second.wait(timeout=20), 0)
        self.assertTrue(first.running)
        self.assertEqual(main_ui("combo-sel", bui.MAIN_CAPTION, "1001").out, "2")
        self.assertTrue(is_yes(main_ui("visible", bui.MAIN_CAPTION)))

    def test_enter_and_escape_close_nothing(self):
        self.start()
        for key in ("enter", "escape"):
            for control in ("1002", "1000", "0"):
                main_ui("key", bui.MAIN_CAPTION, control, key)
        time.sleep(0.5)
        self.assertTrue(is_yes(main_ui("visible", bui.MAIN_CAPTION)))
        self.assertNotEqual(bui.ui("msgbox", bui.MAIN_CAPTION, 300).rc, 0, "Connect was not pressed")

    # --- connecting ----------------------------------------------------------

    def test_connect_without_a_port_asks_for_one(self):
        self.start()
        bui.ui_ok("click", bui.MAIN_CAPTION, "1002")
        self.answer("통신포트 선택에 문제가 있습니다.", "ok")
        self.assertTrue(is_yes(main_ui("enabled", bui.MAIN_CAPTION, "1002")))

    def test_connect_on_a_busy_port_reports_the_serial_error(self):
        # Another gateway copy under another name holds the port.
        other = self.start(ini=settings_ini(port=5, auto_run="Y"), name="Other.exe", wait_visible=False)
        bui.wait_for(lambda: main_text("1005") == OPEN_LINK, 10, message="other copy connected")
        self.start()
        self.select_port(GATEWAY_PORT)
        bui.ui_ok("click", bui.MAIN_CAPTION, "1002")
        self.answer("시리얼 연결 오류\n\n선택한 포트가 사용 중인지 확인해 보세요.", "ok")
        self.assertEqual(main_text("1021"), "시리얼 연결 오류")
        self.assertEqual(status_text("1022"), "Serial Open FAIL")
        self.assertTrue(is_yes(main_ui("enabled", bui.MAIN_CAPTION, "1002")))
        self.assertTrue(is_yes(main_ui("visible", bui.MAIN_CAPTION)))
        bui.screenshot(SHOTS / "main-window-serial-error.png", bui.MAIN_CAPTION)
        other.stop()

    def test_connect_relays_a_payment_and_disconnect_stops_it(self):
        van_folder = Path(tempfile.mkdtemp(prefix="brinvale-van-"))
        self.addCleanup(shutil.rmtree, van_folder, ignore_errors=True)
        van = VanSimulator(van_folder)
        self.addCleanup(van.stop)
        self.start(ini=settings_ini(show="show", log="Y"))
        self.select_port(GATEWAY_PORT)
        bui.ui_ok("click", bui.MAIN_CAPTION, "1002")

        main_ui("wait-hidden", bui.MAIN_CAPTION, 10000)
        bui.ui_ok("wait-visible", bui.STATUS_CAPTION, 10000)
        self.assertTrue(is_yes(bui.ui("topmost", bui.STATUS_CAPTION)))
        bui.wait_for(lambda: status_text("1017") == OPEN_LINK, 10, message="link status after connect")
        self.assertFalse(is_yes(main_ui("enabled", bui.MAIN_CAPTION, "1002")))
        self.assertTrue(is_yes(main_ui("enabled", bui.MAIN_CAPTION, "1003")))

        rc, out = terminal("wake", "connect", f"127.0.0.1:{van.port}", "expect", "02 48 49 03")
        self.assertEqual(rc, 0, out)
        bui.wait_for(lambda: status_text("1017") == VAN_LINK, 10, message="VAN link shown")
        self.assertEqual(main_text("1005"), VAN_LINK)
        bui.screenshot(SHOTS / "status-window-linked.png", bui.STATUS_CAPTION)

        rc, out = terminal("send", "02 50 41 59 03", "expect", "02 4F 4B 03", "end-cr")
        self.assertEqual(rc, 0, out)
        bui.wait_for(lambda: status_text("1017") == OPEN_LINK, 10, message="VAN link dropped")

        # Disconnect: back through the notification icon.
        bui.ui_ok("--has", bui.MAIN_CONTROL, "tray", bui.MAIN_CAPTION, "lbuttondblclk")
        main_ui("wait-visible", bui.MAIN_CAPTION, 10000)
        bui.ui_ok("click", bui.MAIN_CAPTION, "1003")
        bui.wait_for(lambda: main_text("1005") == IDLE_LINK, 10, message="link status after Disconnect")
        self.assertTrue(is_yes(main_ui("enabled", bui.MAIN_CAPTION, "1002")))
        self.assertEqual(status_text("1006"), "")

        log = next((self.folder / "CATLOG").glob("OstrelBrinvale_*.LOG")).read_bytes().decode("ascii")
        self.assertIn("[PC ->VAN] [5   ] [0250415903]\r\n", log)
        self.assertIn("[PC ->CAT] [4   ] [024F4B03]\r\n", log)
        self.assertTrue(log.endswith("[0   ] [Serial CLOSE]\r\n"), log[-200:])

    def test_automatic_connection_keeps_the_main_window_hidden(self):
        self.start(ini=settings_ini(port=5, auto_run="Y"), wait_visible=False)
        bui.wait_for(lambda: main_text("1005") == OPEN_LINK, 10, message="connected at start")
        self.assertFalse(is_yes(main_ui("visible", bui.MAIN_CAPTION)))
        self.assertFalse(is_yes(bui.ui("visible", bui.STATUS_CAPTION)), "the setting keeps it hidden")

    # --- hiding, the icon and ending ----------------------------------------

    def test_minimise_hides_and_the_icon_brings_the_window_back(self):
        self.start()
        main_ui("minimize", bui.MAIN_CAPTION)
        main_ui("wait-hidden", bui.MAIN_CAPTION, 10000)
        bui.ui_ok("--has", bui.MAIN_CONTROL, "tray", bui.MAIN_CAPTION, "lbuttondown")
        time.sleep(0.5)
        self.assertFalse(is_yes(main_ui("visible", bui.MAIN_CAPTION)), "a single click does nothing")
        bui.ui_ok("--has", bui.MAIN_CONTROL, "tray", bui.MAIN_CAPTION, "lbuttondblclk")
        main_ui("wait-visible", bui.MAIN_CAPTION, 10000)
        self.assertFalse(is_yes(main_ui("iconic", bui.MAIN_CAPTION)))

    def test_tray_menu_shows_and_hides_both_windows(self):
        self.start()
        main_ui("command", bui.MAIN_CAPTION, "32779")
        main_ui("wait-hidden", bui.MAIN_CAPTION, 10000)
        main_ui("command", bui.MAIN_CAPTION, "32781")
        bui.ui_ok("wait-visible", bui.STATUS_CAPTION, 10000)
        self.assertEqual(status_text("1017"), IDLE_LINK, "showing copies the link status")
        self.assertEqual(bui.ui("alpha", bui.STATUS_CAPTION).out, "255")
        bui.ui_ok("slider", bui.STATUS_CAPTION, "1016", "0")
        bui.wait_for(lambda: bui.ui("alpha", bui.STATUS_CAPTION).out == "100", 5, message="lowest opacity")
        bui.ui_ok("close", bui.STATUS_CAPTION)
        bui.ui_ok("wait-hidden", bui.STATUS_CAPTION, 10000)
        main_ui("command", bui.MAIN_CAPTION, "32781")
        bui.ui_ok("wait-visible", bui.STATUS_CAPTION, 10000)
        self.assertEqual(bui.ui("slider-pos", bui.STATUS_CAPTION, "1016").out, "100", "opacity kept")
        main_ui("command", bui.MAIN_CAPTION, "32783")
        bui.ui_ok("wait-hidden", bui.STATUS_CAPTION, 10000)
        main_ui("command", bui.MAIN_CAPTION, "32776")
        main_ui("wait-visible", bui.MAIN_CAPTION, 10000)

    def test_right_click_on_the_icon_opens_the_menu(self):
        self.start()
        bui.ui_ok("--has", bui.MAIN_CONTROL, "tray", bui.MAIN_CAPTION, "rbuttondown")
        bui.ui_ok("wait-menu", 5000)
        bui.ui_ok("menu-key", "escape")
        bui.ui_ok("wait-menu-gone", 5000)

    def test_exit_asks_first_and_no_keeps_running(self):
        program = self.start()
        main_ui("command", bui.MAIN_CAPTION, "32778")
        self.answer("정말로 종료하시겠습니까?", "no")
        time.sleep(0.5)
        self.assertTrue(program.running)
        main_ui("close", bui.MAIN_CAPTION)
        self.answer("정말로 종료하시겠습니까?", "no")
        time.sleep(0.5)
        self.assertTrue(program.running)
        self.assertTrue(is_yes(main_ui("visible", bui.MAIN_CAPTION)))
        main_ui("command", bui.MAIN_CAPTION, "32778")
        self.answer("정말로 종료하시겠습니까?", "yes")
        self.assertEqual(program.wait(timeout=15), 0)

    def test_closing_the_window_answered_yes_ends_the_program(self):
        program = self.start()
        main_ui("close", bui.MAIN_CAPTION)
        self.answer("정말로 종료하시겠습니까?", "yes")
        self.assertEqual(program.wait(timeout=15), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
