"""The Windows program as the shop's technician meets it: the real
OstrelBrinvale.exe under Wine, driven through its windows by the UI driver,
with a simulated terminal on a pty-backed COM port and a VAN on 127.0.0.1.

Run by ctest (windows preset) with BRINVALE_EXE and BRINVALE_UIDRIVER set;
screenshots go to BRINVALE_SCREENSHOTS (default: a temporary folder).
"""

import os
import shutil
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import brinvale_ui as bui  # noqa: E402
from brinvale_ui import (DEFAULT_INI, EXIT_QUESTION, ID, IDLE_LINK, OPEN_LINK, VAN_LINK,  # noqa: E402
                         answer, is_yes, main_text, main_ui, settings_ini, terminal, wait_link)

EXE = os.environ.get("BRINVALE_EXE", "")
SHOTS = bui.screenshots_folder()
GATEWAY_PORT = "COM5"  # its far end is bui.terminal_tty()


def status_text(control):
    return bui.ui("text", bui.STATUS_CAPTION, control).out


def clear_install():
    shutil.rmtree(bui.install_folder(), ignore_errors=True)
    for shortcut in bui.desktop().glob("*.lnk"):
        shortcut.unlink()


class MainWindowTest(unittest.TestCase):
    """A fresh install folder per test."""

    def setUp(self):
        if not EXE:
            self.skipTest("BRINVALE_EXE not set")
        clear_install()
        self.folder = bui.install_folder()
        self.programs = []

    def tearDown(self):
        for program in self.programs:
            program.stop()
        bui.ui("kill-process", bui.PROGRAM)
        bui.ui("kill-process", "Other.exe")
        clear_install()

    def start(self, ini=None, name=bui.PROGRAM, wait_visible=True):
        program = bui.start_program(bui.install(EXE, ini, name), cwd=self.folder)
        self.programs.append(program)
        main_ui("wait-window", bui.MAIN_CAPTION, 20000)
        if wait_visible:
            main_ui("wait-visible", bui.MAIN_CAPTION, 10000)
        return program

    def select_port(self, port):
        bui.ui_ok("select-text", bui.MAIN_CAPTION, ID.IDC_PORT_LIST, port)
        bui.wait_for(lambda: main_ui("combo-sel", bui.MAIN_CAPTION, ID.IDC_PORT_LIST).out not in ("0", "-1"), 5)

    # --- start-up ----------------------------------------------------------

    def test_first_start_writes_default_settings_and_shows_the_idle_window(self):
        self.start()
        self.assertEqual((self.folder / "OstrelBrinvale.ini").read_bytes().decode("ascii"), DEFAULT_INI)
        self.assertEqual(main_text(ID.IDC_LINK_STATUS), IDLE_LINK)
        self.assertEqual(main_text(ID.IDC_PROGRESS_TEXT), "")
        self.assertTrue(is_yes(main_ui("enabled", bui.MAIN_CAPTION, ID.IDC_CONNECT)))
        self.assertFalse(is_yes(main_ui("enabled", bui.MAIN_CAPTION, ID.IDC_DISCONNECT)))
        ports = main_ui("combo-items", bui.MAIN_CAPTION, ID.IDC_PORT_LIST).out.splitlines()
        self.assertEqual(ports[0], "선택안함")
        self.assertIn(GATEWAY_PORT, ports, "the serial device map lists the COM ports")
        self.assertEqual(main_ui("combo-sel", bui.MAIN_CAPTION, ID.IDC_PORT_LIST).out, "0")
        self.assertEqual(main_ui("combo-items", bui.MAIN_CAPTION, ID.IDC_SPEED_LIST).out.splitlines(),
                         ["9600", "38400", "57600", "115200"])
        self.assertEqual(main_ui("combo-sel", bui.MAIN_CAPTION, ID.IDC_SPEED_LIST).out, "0")
        self.assertEqual(bui.ui("visible", bui.STATUS_CAPTION).out, "no", "status window made hidden")
        bui.screenshot(SHOTS / "main-window-idle.png", bui.MAIN_CAPTION)

    def test_saved_port_and_speed_are_selected(self):
        self.start(ini=settings_ini(port=5, speed="115.2k"))
        self.assertEqual(main_ui("combo-items", bui.MAIN_CAPTION, ID.IDC_PORT_LIST).out.splitlines()[
            int(main_ui("combo-sel", bui.MAIN_CAPTION, ID.IDC_PORT_LIST).out)], GATEWAY_PORT)
        self.assertEqual(main_ui("combo-sel", bui.MAIN_CAPTION, ID.IDC_SPEED_LIST).out, "3")

    def test_a_second_copy_ends_silently_and_leaves_the_first_alone(self):
        first = self.start()
        bui.ui_ok("select", bui.MAIN_CAPTION, ID.IDC_SPEED_LIST, "2")
        second = bui.start_program(self.folder / bui.PROGRAM, cwd=self.folder)
        self.programs.append(second)
        self.assertEqual(second.wait(timeout=20), 0)
        self.assertTrue(first.running)
        self.assertEqual(main_ui("combo-sel", bui.MAIN_CAPTION, ID.IDC_SPEED_LIST).out, "2")
        self.assertTrue(is_yes(main_ui("visible", bui.MAIN_CAPTION)))

    def test_two_starts_at_once_leave_one_copy_running(self):
        exe = bui.install(EXE)
        for round_ in range(3):
            with self.subTest(round=round_):
                pair = [bui.start_program(exe, cwd=self.folder) for _ in range(2)]
                self.programs += pair
                bui.wait_for(lambda: not all(copy.running for copy in pair), 20, message="one copy ended")
                main_ui("wait-visible", bui.MAIN_CAPTION, 10000)
                self.assertEqual([copy.running for copy in pair].count(True), 1)
                self.assertEqual(next(copy for copy in pair if not copy.running).wait(), 0)
                for copy in pair:
                    copy.stop()

    def test_another_program_of_that_name_does_not_keep_the_gateway_from_starting(self):
        # The UI driver renamed, from another folder, waiting for a window
        # that never comes.
        other = bui.prefix() / "drive_c" / "Other"
        other.mkdir(exist_ok=True)
        self.addCleanup(shutil.rmtree, other, ignore_errors=True)
        shutil.copy(bui.uidriver_path(), other / bui.PROGRAM)
        stranger = bui.start_program(other / bui.PROGRAM, "wait-window", "never shown", "60000", cwd=other)
        self.programs.append(stranger)
        bui.wait_for(lambda: bui.ui("processes", bui.PROGRAM).out.strip(), 10, message="the other program runs")
        gateway = self.start()
        time.sleep(1)
        self.assertTrue(gateway.running, "the gateway runs on")
        self.assertTrue(stranger.running)

    def test_enter_and_escape_close_nothing(self):
        self.start()
        for key in ("enter", "escape"):
            for control in (ID.IDC_CONNECT, ID.IDC_PORT_LIST, "0"):
                main_ui("key", bui.MAIN_CAPTION, control, key)
        time.sleep(0.5)
        self.assertTrue(is_yes(main_ui("visible", bui.MAIN_CAPTION)))
        bui.no_message_box(300, "Connect was not pressed")

    # --- connecting ----------------------------------------------------------

    def test_connect_without_a_port_asks_for_one(self):
        self.start()
        bui.ui_ok("click", bui.MAIN_CAPTION, ID.IDC_CONNECT)
        answer("통신포트 선택에 문제가 있습니다.", "ok")
        self.assertTrue(is_yes(main_ui("enabled", bui.MAIN_CAPTION, ID.IDC_CONNECT)))

    def test_connect_on_a_busy_port_reports_the_serial_error(self):
        # Another gateway copy under another name holds the port.
        other = self.start(ini=settings_ini(port=5, auto_run="Y"), name="Other.exe", wait_visible=False)
        wait_link(OPEN_LINK)  # the other copy connected
        self.start()
        self.select_port(GATEWAY_PORT)
        bui.ui_ok("click", bui.MAIN_CAPTION, ID.IDC_CONNECT)
        answer("시리얼 연결 오류\n\n선택한 포트가 사용 중인지 확인해 보세요.", "ok")
        self.assertEqual(main_text(ID.IDC_TRANSFER_LABEL), "시리얼 연결 오류")
        self.assertEqual(status_text(ID.IDC_STATUS_LABEL), "Serial Open FAIL")
        self.assertTrue(is_yes(main_ui("enabled", bui.MAIN_CAPTION, ID.IDC_CONNECT)))
        self.assertTrue(is_yes(main_ui("visible", bui.MAIN_CAPTION)))
        bui.screenshot(SHOTS / "main-window-serial-error.png", bui.MAIN_CAPTION)
        other.stop()

    def test_connect_relays_a_payment_and_disconnect_stops_it(self):
        van = bui.VanSimulator("--greet", "02 48 49 03", rules=["02 50 41 59 03 -> 02 4F 4B 03"])
        self.addCleanup(van.stop)
        self.start(ini=settings_ini(show="show", log="Y"))
        self.select_port(GATEWAY_PORT)
        bui.ui_ok("click", bui.MAIN_CAPTION, ID.IDC_CONNECT)

        main_ui("wait-hidden", bui.MAIN_CAPTION, 10000)
        bui.ui_ok("wait-visible", bui.STATUS_CAPTION, 10000)
        self.assertTrue(is_yes(bui.ui("topmost", bui.STATUS_CAPTION)))
        bui.wait_for(lambda: status_text(ID.IDC_STATUS_LINK) == OPEN_LINK, 10,
                     message="link status after connect")
        self.assertFalse(is_yes(main_ui("enabled", bui.MAIN_CAPTION, ID.IDC_CONNECT)))
        self.assertTrue(is_yes(main_ui("enabled", bui.MAIN_CAPTION, ID.IDC_DISCONNECT)))

        rc, out = terminal("wake", "connect", f"127.0.0.1:{van.port}", "expect", "02 48 49 03")
        self.assertEqual(rc, 0, out)
        bui.wait_for(lambda: status_text(ID.IDC_STATUS_LINK) == VAN_LINK, 10, message="VAN link shown")
        self.assertEqual(main_text(ID.IDC_LINK_STATUS), VAN_LINK)
        bui.screenshot(SHOTS / "status-window-linked.png", bui.STATUS_CAPTION)

        rc, out = terminal("send", "02 50 41 59 03", "expect", "02 4F 4B 03", "end-cr")
        self.assertEqual(rc, 0, out)
        bui.wait_for(lambda: status_text(ID.IDC_STATUS_LINK) == OPEN_LINK, 10, message="VAN link dropped")

        # Disconnect: back through the notification icon.
        bui.show_main_window()
        bui.ui_ok("click", bui.MAIN_CAPTION, ID.IDC_DISCONNECT)
        wait_link(IDLE_LINK)  # after Disconnect
        self.assertTrue(is_yes(main_ui("enabled", bui.MAIN_CAPTION, ID.IDC_CONNECT)))
        self.assertEqual(status_text(ID.IDC_PROGRESS_TEXT), "")

        log = next((self.folder / "CATLOG").glob("OstrelBrinvale_*.LOG")).read_bytes().decode("ascii")
        self.assertIn("[PC ->VAN] [5   ] [0250415903]\r\n", log)
        self.assertIn("[PC ->CAT] [4   ] [024F4B03]\r\n", log)
        self.assertTrue(log.endswith("[0   ] [Serial CLOSE]\r\n"), log[-200:])

    def test_automatic_connection_keeps_the_main_window_hidden(self):
        self.start(ini=settings_ini(port=5, auto_run="Y"), wait_visible=False)
        wait_link(OPEN_LINK)  # connected at start
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
        bui.show_main_window()
        self.assertFalse(is_yes(main_ui("iconic", bui.MAIN_CAPTION)))

    def test_tray_menu_shows_and_hides_both_windows(self):
        self.start()
        main_ui("command", bui.MAIN_CAPTION, ID.ID_TRAY_HIDE)
        main_ui("wait-hidden", bui.MAIN_CAPTION, 10000)
        main_ui("command", bui.MAIN_CAPTION, ID.ID_TRAY_STATUS_SHOW)
        bui.ui_ok("wait-visible", bui.STATUS_CAPTION, 10000)
        self.assertEqual(status_text(ID.IDC_STATUS_LINK), IDLE_LINK, "showing copies the link status")
        self.assertEqual(bui.ui("alpha", bui.STATUS_CAPTION).out, "255")
        bui.ui_ok("slider", bui.STATUS_CAPTION, ID.IDC_ALPHA_SLIDER, "0")
        bui.wait_for(lambda: bui.ui("alpha", bui.STATUS_CAPTION).out == "100", 5, message="lowest opacity")
        bui.ui_ok("close", bui.STATUS_CAPTION)
        bui.ui_ok("wait-hidden", bui.STATUS_CAPTION, 10000)
        main_ui("command", bui.MAIN_CAPTION, ID.ID_TRAY_STATUS_SHOW)
        bui.ui_ok("wait-visible", bui.STATUS_CAPTION, 10000)
        self.assertEqual(bui.ui("slider-pos", bui.STATUS_CAPTION, ID.IDC_ALPHA_SLIDER).out, "100",
                         "opacity kept")
        main_ui("command", bui.MAIN_CAPTION, ID.ID_TRAY_STATUS_HIDE)
        bui.ui_ok("wait-hidden", bui.STATUS_CAPTION, 10000)
        main_ui("command", bui.MAIN_CAPTION, ID.ID_TRAY_SHOW)
        main_ui("wait-visible", bui.MAIN_CAPTION, 10000)

    def test_right_click_on_the_icon_opens_the_menu(self):
        self.start()
        bui.ui_ok("--has", bui.MAIN_CONTROL, "tray", bui.MAIN_CAPTION, "rbuttondown")
        bui.ui_ok("wait-menu", 5000)
        bui.ui_ok("menu-key", "escape")
        bui.ui_ok("wait-menu-gone", 5000)

    def test_exit_asks_first_and_no_keeps_running(self):
        program = self.start()
        main_ui("command", bui.MAIN_CAPTION, ID.ID_TRAY_EXIT)
        answer(EXIT_QUESTION, "no")
        time.sleep(0.5)
        self.assertTrue(program.running)
        main_ui("close", bui.MAIN_CAPTION)
        answer(EXIT_QUESTION, "no")
        time.sleep(0.5)
        self.assertTrue(program.running)
        self.assertTrue(is_yes(main_ui("visible", bui.MAIN_CAPTION)))
        main_ui("command", bui.MAIN_CAPTION, ID.ID_TRAY_EXIT)
        answer(EXIT_QUESTION, "yes")
        self.assertEqual(program.wait(timeout=15), 0)

    def test_closing_the_window_answered_yes_ends_the_program(self):
        program = self.start()
        main_ui("close", bui.MAIN_CAPTION)
        answer(EXIT_QUESTION, "yes")
        self.assertEqual(program.wait(timeout=15), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
