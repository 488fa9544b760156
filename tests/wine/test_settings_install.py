"""The settings dialog, the self-installation and the removal, as the shop's
technician meets them: the real OstrelBrinvale.exe under Wine, started from a
download folder or from C:\\OSBRIN, driven through its windows by the UI
driver, with the files, the desktop shortcut and the start-with-Windows value
checked from outside.

Run by ctest (windows preset) with BRINVALE_EXE and BRINVALE_UIDRIVER set;
screenshots go to BRINVALE_SCREENSHOTS (default: a temporary folder).

Under Wine the restart script written by the installation cannot start the
installed copy (Wine's cmd refuses `start C:\\DIR\\"prog.exe"`), and its
self-deleting retry loop never ends there (cmd keeps the script open). The
test checks that script's start line, ends its cmd process and starts the
installed copy itself.
"""

import os
import shutil
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import brinvale_ui as bui  # noqa: E402
from brinvale_ui import (DEFAULT_INI, ID, IDLE_LINK, OPEN_LINK, PROGRAM, answer, checked,  # noqa: E402
                         connected_tty, controls, desktop, install_folder, is_yes, main_text, main_ui,
                         no_message_box, prefix, settings_ini, show_main_window, tty_of, wait_link, wine)

EXE = os.environ.get("BRINVALE_EXE", "")
PLANTED_DLL = os.environ.get("BRINVALE_PLANTED_DLL", "")
SHOTS = bui.screenshots_folder()

SETUP = bui.SETUP_CAPTION
MAIN = bui.MAIN_CAPTION
RUN_KEY = r"HKCU\SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
RUN_NAME = "OstrelBrinvale"
INSTALLED = r"C:\OSBRIN\OstrelBrinvale.exe"
RUN_DATA = f'"{INSTALLED}"'
DESKTOP_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders"

APPLY_QUESTION = "변경된 단말기 접속 정보를 바로 적용하시겠습니까?\n(미적용시 다음 실행시 부터 적용됩니다.)"
REMOVE_QUESTION = "정말로 삭제하시겠습니까?"
SPEEDS = ["9600", "38400", "57600", "115200"]
# The dialog's check boxes: start with Windows, automatic connection, the
# traffic log, the status window after connecting.
CHECK_BOXES = (ID.IDC_RUN_AT_LOGON, ID.IDC_AUTO_CONNECT, ID.IDC_LOG_SWITCH, ID.IDC_SHOW_STATUS)


def download_folder():
    return prefix() / "drive_c" / "Downloads-OstrelBrinvale"


def shortcut():
    return desktop() / "OstrelBrinvale.lnk"


def ini_file():
    return install_folder() / "OstrelBrinvale.ini"


def read_ini():
    path = ini_file()
    return path.read_bytes().decode("ascii") if path.exists() else None


def run_value():
    """The start-with-Windows value's data, or None when it is absent."""
    rc, out = wine("reg", "query", RUN_KEY, "/v", RUN_NAME)
    if rc != 0:
        return None
    for line in out.splitlines():
        name, _, data = line.strip().partition("    REG_SZ    ")
        if name == RUN_NAME:
            return data
    raise AssertionError(f"reg query printed no REG_SZ line: {out!r}")


def set_run_value(data):
    rc, out = wine("reg", "add", RUN_KEY, "/v", RUN_NAME, "/t", "REG_SZ", "/d", data, "/f")
    assert rc == 0, out


def delete_run_value():
    wine("reg", "delete", RUN_KEY, "/v", RUN_NAME, "/f")


def shortcut_target(name="OstrelBrinvale.lnk"):
    """(target, working directory) of a desktop shortcut, read through the shell."""
    rc, out = wine("reg", "query", DESKTOP_KEY, "/v", "Desktop")
    folder = next(line.strip().partition("    REG_SZ    ")[2] for line in out.splitlines()
                  if "REG_SZ" in line)
    return tuple(bui.ui_ok("shortcut-target", folder + "\\" + name).splitlines())


def files_in(folder):
    """Every file under folder with its bytes; folders as None."""
    folder = Path(folder)
    if not folder.exists():
        return {}
    return {str(path.relative_to(folder)): (path.read_bytes() if path.is_file() else None)
            for path in sorted(folder.rglob("*"))}


def clean():
    for script in ("killfile.bat", "killfileall.bat", "runextern.bat"):
        bui.end_script(script)
    if install_folder().is_symlink():
        install_folder().unlink()
    shutil.rmtree(install_folder(), ignore_errors=True)
    shutil.rmtree(download_folder(), ignore_errors=True)
    for link in desktop().glob("*.lnk"):
        link.unlink()
    # Wine's menu builder mirrors a desktop shortcut as a .desktop file.
    for entry in desktop().glob("*.desktop"):
        if entry.stem.lower() == "ostrelbrinvale":
            entry.unlink()
    delete_run_value()


def main_lists():
    """The main window's selected port and speed."""
    found = controls(MAIN, has=bui.MAIN_CONTROL)
    return found[ID.IDC_PORT_LIST][1], found[ID.IDC_SPEED_LIST][1]


def setup_lists():
    """(enabled, selected entry) of the dialog's port and speed lists."""
    found = controls(SETUP)
    return found[ID.IDC_START_PORT], found[ID.IDC_START_SPEED]


class SettingsInstallTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if EXE:
            bui.ui("kill-process", PROGRAM)

    def setUp(self):
        if not EXE:
            self.skipTest("BRINVALE_EXE not set")
        clean()
        self.programs = []
        self.logs = Path(tempfile.mkdtemp(prefix="brinvale-settings-logs-"))
        self.addCleanup(shutil.rmtree, self.logs, ignore_errors=True)

    def tearDown(self):
        bui.ui("kill-process", PROGRAM)  # every copy, however it was started
        for program in self.programs:
            program.stop()
        clean()

    # --- helpers -------------------------------------------------------------

    def start(self, exe, *args, cwd=None, wait_visible=True):
        log = self.logs / f"program-{len(self.programs)}.log"
        program = bui.start_program(exe, *args, cwd=cwd, log=log)
        program.name = PROGRAM  # exe may be a Windows path
        self.programs.append(program)
        if wait_visible:
            bui.ui_ok("--has", bui.MAIN_CONTROL, "wait-visible", MAIN, 20000)
        return program

    def install(self, ini=None, catlog=False):
        """The program in C:\\OSBRIN, as an earlier installation left it."""
        folder = bui.install(EXE, ini).parent
        if catlog:
            (folder / "CATLOG").mkdir(exist_ok=True)
            (folder / "CATLOG" / "OstrelBrinvale_20240101.LOG").write_bytes(b"[PC ->VAN] [0   ] []\r\n")
        return folder

    def start_installed(self, ini=None, wait_visible=True, catlog=False):
        folder = self.install(ini, catlog)
        return self.start(folder / PROGRAM, cwd=folder, wait_visible=wait_visible)

    def open_settings(self):
        bui.ui_ok("--has", bui.MAIN_CONTROL, "click", MAIN, ID.IDC_SETTINGS)
        bui.ui_ok("wait-visible", SETUP, 10000)

    def close_settings(self, button=None):
        bui.ui_ok("click", SETUP, ID.IDC_CLOSE_SETTINGS)
        if button is None:
            no_message_box()
        else:
            answer(APPLY_QUESTION, button)
        bui.ui_ok("wait-gone", SETUP, 10000)

    def click_and_wait_ini(self, control, ini):
        bui.ui_ok("click", SETUP, control)
        bui.wait_for(lambda: read_ini() == ini, 5, message=f"settings file after clicking {control}")

    def select_and_wait_ini(self, control, text, ini):
        bui.ui_ok("select-text", SETUP, control, text)
        bui.wait_for(lambda: read_ini() == ini, 5, message=f"settings file after choosing {text}")

    # --- installation --------------------------------------------------------

    def test_a_start_from_a_download_folder_installs_the_program(self):
        download = download_folder()
        download.mkdir(parents=True)
        shutil.copy(EXE, download / PROGRAM)
        (download / "OstrelBrinvale.ini").write_bytes(settings_ini(log="Y").encode("ascii"))
        (download / "CATLOG").mkdir()
        (download / "CATLOG" / "OstrelBrinvale_20240101.LOG").write_bytes(b"x\r\n")
        (download / "readme.txt").write_bytes(b"kept\r\n")
        # An older program in the install folder is replaced.
        install_folder().mkdir(parents=True)
        (install_folder() / PROGRAM).write_bytes(b"older program")
        set_run_value(r'"C:\Downloads-OstrelBrinvale\OstrelBrinvale.exe"')

        first = self.start(download / PROGRAM, cwd=download, wait_visible=False)
        self.assertEqual(first.wait(timeout=30), 0, "the copy started outside C:\\OSBRIN ends by itself")

        self.assertEqual((install_folder() / PROGRAM).read_bytes(), Path(EXE).read_bytes())
        self.assertIsNone(run_value(), "installing deletes the start-with-Windows value")
        # The installing copy deletes its own shortcut; only the installed
        # copy makes it again (the restart script cannot start it under Wine).
        self.assertFalse(shortcut().exists())
        restart = (download / "runextern.bat").read_bytes()
        self.assertTrue(restart.startswith(b'@ start C:\\OSBRIN\\"OstrelBrinvale.exe" %1\t\r\r\n'), restart)
        # Wine's cmd never ends this script: it keeps the script open after
        # deleting it, so the file goes only with the process, and a process
        # ended before it reached its del line leaves the file behind.
        bui.end_script("runextern.bat")
        (download / "runextern.bat").unlink(missing_ok=True)

        # The old-copy script removes the copy, its settings and its log
        # folder once the copy has ended, and then itself.
        bui.wait_for(lambda: sorted(p.name for p in download.iterdir()) == ["readme.txt"], 20,
                     message="download folder emptied by killfile.bat")
        self.assertFalse(ini_file().exists(), "no settings are carried over")
        self.assertEqual(sorted(p.name for p in install_folder().iterdir()), [PROGRAM])

        installed = self.start(install_folder() / PROGRAM, cwd=install_folder())
        bui.wait_for(shortcut().exists, 10, message="shortcut made by the installed copy")
        self.assertEqual(shortcut_target(), (INSTALLED, r"C:\OSBRIN"))
        self.assertEqual(read_ini(), DEFAULT_INI)
        time.sleep(1)
        self.assertTrue(installed.running)
        self.assertFalse((install_folder() / "killfile.bat").exists())
        self.assertFalse((install_folder() / "runextern.bat").exists())

    def test_an_installation_that_cannot_finish_deletes_nothing(self):
        # The installed copy cannot be written (a folder stands in its
        # place), or the program's name is one cmd would read otherwise: the
        # copy that was started runs on where it is, and nothing is deleted.
        for what, name, prepare in (
                ("the installed copy cannot be made", PROGRAM,
                 lambda: (install_folder() / PROGRAM).mkdir(parents=True)),
                ("a name cmd would misread", "Ostrel&Brinvale.exe", lambda: None)):
            with self.subTest(what):
                clean()
                download = download_folder()
                download.mkdir(parents=True)
                shutil.copy(EXE, download / name)
                prepare()
                set_run_value(r'"C:\Elsewhere\OstrelBrinvale.exe"')
                program = self.start(download / name, cwd=download)
                program.name = name
                time.sleep(1)
                self.assertTrue(program.running)
                self.assertEqual(sorted(p.name for p in download.iterdir()), sorted([name, Path(name).stem + ".ini"]),
                                 "no script written")
                self.assertEqual(run_value(), r'"C:\Elsewhere\OstrelBrinvale.exe"')
                self.assertFalse((install_folder() / name).is_file())
                program.stop()

    def test_a_copy_at_a_drives_root_installs_itself_but_is_not_deleted(self):
        # Its removal script would delete by bare names with "/s" from the
        # root: every such file on the drive.
        root = prefix() / "drive_c"
        for leftover in (PROGRAM, "OstrelBrinvale.ini", "runextern.bat", "killfile.bat"):
            self.addCleanup(lambda path=root / leftover: path.unlink(missing_ok=True))
        shutil.copy(EXE, root / PROGRAM)
        program = self.start(root / PROGRAM, cwd=root, wait_visible=False)
        self.assertEqual(program.wait(timeout=30), 0, "installed, it ends")
        self.assertEqual((install_folder() / PROGRAM).read_bytes(), Path(EXE).read_bytes())
        self.assertTrue((root / "runextern.bat").exists(), "the installed copy is started")
        bui.end_script("runextern.bat")
        time.sleep(1)
        self.assertFalse((root / "killfile.bat").exists(), "no removal script at the root")
        self.assertTrue((root / PROGRAM).exists())

    def test_a_start_from_the_install_folder_only_makes_a_missing_shortcut(self):
        self.start_installed(ini=settings_ini(port=5, log="Y"), catlog=True)
        bui.wait_for(shortcut().exists, 10, message="shortcut made")
        self.assertEqual(shortcut_target(), (INSTALLED, r"C:\OSBRIN"))
        self.programs.pop().stop()
        set_run_value(r'"C:\Elsewhere\OstrelBrinvale.exe"')
        files = files_in(install_folder())
        link = shortcut().read_bytes()
        link_time = shortcut().stat().st_mtime_ns

        program = self.start(install_folder() / PROGRAM, cwd=install_folder())
        time.sleep(1)
        self.assertTrue(program.running)
        self.assertEqual(files_in(install_folder()), files)
        self.assertEqual(shortcut().read_bytes(), link)
        self.assertEqual(shortcut().stat().st_mtime_ns, link_time, "the shortcut is not rewritten")
        self.assertEqual(run_value(), r'"C:\Elsewhere\OstrelBrinvale.exe"')
        self.programs.pop().stop()

        shortcut().unlink()
        program = self.start(install_folder() / PROGRAM, cwd=install_folder())
        bui.wait_for(shortcut().exists, 10, message="shortcut made again")
        self.assertEqual(shortcut_target(), (INSTALLED, r"C:\OSBRIN"))
        time.sleep(0.5)
        self.assertTrue(program.running)
        self.assertEqual(files_in(install_folder()), files)
        self.assertEqual(run_value(), r'"C:\Elsewhere\OstrelBrinvale.exe"')

    def test_another_form_of_the_installed_path_counts_as_installed(self):
        self.install(ini=settings_ini(port=5), catlog=True)
        set_run_value(RUN_DATA)
        files = files_in(install_folder())
        z_path = "Z:" + str(install_folder() / PROGRAM).replace("/", "\\")
        # The program's names follow the path it was started by: started as
        # ostrelbrinvale.exe, its shortcut is ostrelbrinvale.lnk.
        for path, link_name in ((r"c:\osbrin\ostrelbrinvale.exe", "ostrelbrinvale.lnk"),
                                (z_path, "OstrelBrinvale.lnk")):
            with self.subTest(path=path):
                link = desktop() / link_name
                program = self.start(path, cwd=install_folder())
                try:
                    bui.wait_for(link.exists, 10, message="shortcut made")
                    time.sleep(1)
                    self.assertTrue(program.running, "a start as installed keeps running")
                    target, folder = shortcut_target(link_name)
                    self.assertEqual((target.lower(), folder.lower()), (INSTALLED.lower(), r"c:\osbrin"))
                    self.assertEqual(files_in(install_folder()), files, "nothing copied, written or deleted")
                    self.assertEqual(run_value(), RUN_DATA)
                    self.assertEqual(sorted(p.name for p in desktop().glob("*.lnk")), [link_name])
                finally:
                    program.stop()
                    self.programs.remove(program)
                time.sleep(1)
                self.assertEqual(files_in(install_folder()), files, "no script deletes anything later")
                link.unlink()

    # --- the settings dialog --------------------------------------------------

    def test_the_dialog_shows_the_saved_settings(self):
        set_run_value(r'"C:\Elsewhere\OstrelBrinvale.exe"')
        self.start_installed(ini=settings_ini(port=6, speed="115.2K", show="show", auto_run="Y", log="Y"),
                             wait_visible=False)
        wait_link(OPEN_LINK)
        bui.ui("wait-visible", bui.STATUS_CAPTION, 5000)
        bui.ui("close", bui.STATUS_CAPTION)
        show_main_window()
        self.open_settings()

        self.assertEqual(checked(*CHECK_BOXES), [True] * 4,
                         "a Run value naming another folder still counts")
        found = controls(SETUP)
        self.assertEqual(found[ID.IDC_START_PORT], (True, "COM6"))
        self.assertEqual(found[ID.IDC_START_SPEED], (True, "115200"))
        self.assertEqual(found[ID.IDC_LOG_FOLDER], (False, r"C:\OSBRIN\CATLOG"))
        self.assertEqual(found[ID.IDC_SETTING_VERSION], (True, "2.0.0.3"))
        self.assertEqual(found[ID.IDC_REMOVE_PROGRAM], (True, "프로그램 삭제"))
        self.assertEqual(found[ID.IDC_CLOSE_SETTINGS], (True, "닫기"))
        ports = bui.ui_ok("combo-items", SETUP, ID.IDC_START_PORT).splitlines()
        self.assertIn("COM5", ports)
        self.assertIn("COM6", ports)
        self.assertEqual(bui.ui_ok("combo-items", SETUP, ID.IDC_START_SPEED).splitlines(), SPEEDS)
        self.assertEqual(bui.ui_ok("focus", SETUP), str(ID.IDC_CLOSE_SETTINGS))
        self.assertFalse(is_yes(main_ui("enabled", MAIN)), "the dialog is modal")
        self.assertTrue((install_folder() / "CATLOG").is_dir())
        bui.screenshot(SHOTS / "settings-dialog.png", SETUP)
        self.close_settings()
        self.assertEqual(main_text(ID.IDC_LINK_STATUS), OPEN_LINK,
                         "closing without a change keeps the connection")

    def test_every_box_saves_at_once_to_the_file_and_memory(self):
        self.start_installed(ini=DEFAULT_INI)
        self.open_settings()
        self.assertEqual(checked(*CHECK_BOXES), [False] * 4)
        self.assertEqual(setup_lists(), ((False, "COM1"), (False, "9600")), "the saved port 0 is not listed")
        self.assertTrue((install_folder() / "CATLOG").is_dir(), "opening the dialog makes the log folder")

        # Neither Enter nor Escape closes the dialog or presses a button.
        for control in ("focus", ID.IDC_RUN_AT_LOGON, "0"):
            bui.ui_ok("key", SETUP, control, "enter", "escape")
        time.sleep(0.5)
        self.assertTrue(is_yes(bui.ui("visible", SETUP)))
        self.assertFalse(checked(ID.IDC_RUN_AT_LOGON))
        self.assertEqual(read_ini(), DEFAULT_INI)

        self.click_and_wait_ini(ID.IDC_SHOW_STATUS, settings_ini(show="show"))
        self.click_and_wait_ini(ID.IDC_LOG_SWITCH, settings_ini(show="show", log="Y"))
        # Automatic connection saves the port and speed the lists show; the
        # saved port 0 is not listed, so COM1 becomes the saved port.
        self.click_and_wait_ini(ID.IDC_AUTO_CONNECT, settings_ini(port=1, show="show", auto_run="Y", log="Y"))
        self.assertEqual(setup_lists(), ((True, "COM1"), (True, "9600")))
        self.select_and_wait_ini(ID.IDC_START_SPEED, "38400", settings_ini(port=1, speed="38.4K", show="show",
                                                                           auto_run="Y", log="Y"))
        self.select_and_wait_ini(ID.IDC_START_SPEED, "57600", settings_ini(port=1, speed="56.0K", show="show",
                                                                           auto_run="Y", log="Y"))
        self.close_settings("no")

        # The settings in memory are what the dialog shows next: put the
        # defaults back into the file behind the program's back.
        ini_file().write_bytes(DEFAULT_INI.encode("ascii"))
        self.open_settings()
        self.assertEqual(checked(ID.IDC_AUTO_CONNECT, ID.IDC_LOG_SWITCH, ID.IDC_SHOW_STATUS), [True] * 3)
        self.assertEqual(setup_lists(), ((True, "COM1"), (True, "57600")))
        self.assertEqual(read_ini(), DEFAULT_INI, "opening the dialog writes nothing")

        # Switching off writes the other values.
        on = settings_ini(port=1, speed="56.0K", show="show", auto_run="Y", log="Y")
        ini_file().write_bytes(on.encode("ascii"))
        self.click_and_wait_ini(ID.IDC_SHOW_STATUS, settings_ini(port=1, speed="56.0K", auto_run="Y", log="Y"))
        self.click_and_wait_ini(ID.IDC_LOG_SWITCH, settings_ini(port=1, speed="56.0K", auto_run="Y"))
        self.click_and_wait_ini(ID.IDC_AUTO_CONNECT, settings_ini(port=1, speed="56.0K"))
        self.assertEqual(setup_lists(), ((False, "COM1"), (False, "57600")))

        # Start with Windows lives in the registry, not in the file.
        set_run_value(r'"C:\Elsewhere\OstrelBrinvale.exe"')
        bui.ui_ok("click", SETUP, ID.IDC_RUN_AT_LOGON)
        bui.wait_for(lambda: run_value() == RUN_DATA, 5, message="Run value written")
        bui.ui_ok("click", SETUP, ID.IDC_RUN_AT_LOGON)
        bui.wait_for(lambda: run_value() is None, 5, message="Run value deleted")
        bui.ui_ok("click", SETUP, ID.IDC_RUN_AT_LOGON)
        bui.wait_for(lambda: run_value() == RUN_DATA, 5, message="Run value written again")
        self.assertEqual(read_ini(), settings_ini(port=1, speed="56.0K"))
        bui.ui_ok("close", SETUP)  # the window's close command; nothing to ask
        no_message_box()
        bui.ui_ok("wait-gone", SETUP, 10000)

        self.open_settings()
        self.assertEqual(checked(*CHECK_BOXES), [True, False, False, False])
        self.close_settings()

    def test_a_changed_port_when_not_connected_is_selected_in_the_main_window(self):
        self.start_installed(ini=settings_ini(port=5, speed="56.0K"))
        # Closing unchanged resets the main window's lists to the saved ones.
        bui.ui_ok("select-text", MAIN, ID.IDC_PORT_LIST, "COM6")
        bui.ui_ok("select-text", MAIN, ID.IDC_SPEED_LIST, "9600")
        bui.wait_for(lambda: main_lists() == ("COM6", "9600"), 5, message="main lists changed")
        self.open_settings()
        self.click_and_wait_ini(ID.IDC_AUTO_CONNECT, settings_ini(port=5, speed="56.0K", auto_run="Y"))
        self.click_and_wait_ini(ID.IDC_AUTO_CONNECT, settings_ini(port=5, speed="56.0K"))
        self.close_settings()  # switched on and off: no port or speed change
        self.assertEqual(main_lists(), ("COM5", "57600"))

        # Away and back to the saved port still asks.
        self.open_settings()
        self.click_and_wait_ini(ID.IDC_AUTO_CONNECT, settings_ini(port=5, speed="56.0K", auto_run="Y"))
        self.select_and_wait_ini(ID.IDC_START_PORT, "COM6", settings_ini(port=6, speed="56.0K", auto_run="Y"))
        self.select_and_wait_ini(ID.IDC_START_PORT, "COM5", settings_ini(port=5, speed="56.0K", auto_run="Y"))
        self.click_and_wait_ini(ID.IDC_AUTO_CONNECT, settings_ini(port=5, speed="56.0K"))
        self.close_settings("no")
        self.assertEqual(main_lists(), ("COM5", "57600"))

        self.open_settings()
        self.click_and_wait_ini(ID.IDC_AUTO_CONNECT, settings_ini(port=5, speed="56.0K", auto_run="Y"))
        self.select_and_wait_ini(ID.IDC_START_PORT, "COM6", settings_ini(port=6, speed="56.0K", auto_run="Y"))
        self.select_and_wait_ini(ID.IDC_START_SPEED, "115200",
                                 settings_ini(port=6, speed="115.2K", auto_run="Y"))
        self.click_and_wait_ini(ID.IDC_AUTO_CONNECT, settings_ini(port=6, speed="115.2K"))
        self.close_settings("no")
        found = controls(MAIN, has=bui.MAIN_CONTROL)
        self.assertEqual((found[ID.IDC_PORT_LIST][1], found[ID.IDC_SPEED_LIST][1]), ("COM6", "115200"))
        self.assertEqual(found[ID.IDC_LINK_STATUS][1], IDLE_LINK)
        self.assertTrue(found[ID.IDC_CONNECT][0], "Connect enabled: not connected")

    def test_yes_while_connected_without_automatic_connection_stops_the_relay(self):
        self.start_installed(ini=settings_ini(port=5))
        bui.ui_ok("click", MAIN, ID.IDC_CONNECT)
        wait_link(OPEN_LINK)
        show_main_window()
        self.open_settings()
        self.click_and_wait_ini(ID.IDC_AUTO_CONNECT, settings_ini(port=5, auto_run="Y"))
        self.select_and_wait_ini(ID.IDC_START_PORT, "COM6", settings_ini(port=6, auto_run="Y"))
        self.click_and_wait_ini(ID.IDC_AUTO_CONNECT, settings_ini(port=6))
        self.close_settings("yes")
        wait_link(IDLE_LINK)
        time.sleep(1)
        found = controls(MAIN, has=bui.MAIN_CONTROL)
        self.assertTrue(found[ID.IDC_CONNECT][0], "Connect enabled: the relay stays stopped")
        self.assertFalse(found[ID.IDC_DISCONNECT][0])
        self.assertEqual(found[ID.IDC_LINK_STATUS][1], IDLE_LINK)
        self.assertEqual(found[ID.IDC_PORT_LIST][1], "COM6")

    def test_a_settings_file_another_program_holds_is_still_read(self):
        # Open in another program that lets others read it but not write it
        # (an editor, a backup tool): the settings still count.
        self.install(ini=settings_ini(port=5, auto_run="Y"))
        holder = bui.start_program(bui.uidriver_path(), "hold-file", r"C:\OSBRIN\OstrelBrinvale.ini", 30000)
        self.addCleanup(holder.stop)
        bui.wait_for(lambda: "held" in holder.output(), 20, message="settings file held")
        self.start(install_folder() / PROGRAM, cwd=install_folder(), wait_visible=False)
        wait_link(OPEN_LINK)
        self.assertEqual(connected_tty(), tty_of("COM5"))
        self.assertEqual(read_ini(), settings_ini(port=5, auto_run="Y"), "left as it was")

    def test_yes_while_connected_with_automatic_connection_reconnects(self):
        self.start_installed(ini=settings_ini(port=5, auto_run="Y"), wait_visible=False)
        wait_link(OPEN_LINK)
        bui.wait_for(lambda: connected_tty() == tty_of("COM5"), 5, message="DTR on COM5")
        show_main_window()
        self.open_settings()
        self.select_and_wait_ini(ID.IDC_START_PORT, "COM6", settings_ini(port=6, auto_run="Y"))
        self.close_settings("yes")
        bui.wait_for(lambda: connected_tty() == tty_of("COM6"), 10, message="reconnected on COM6")
        wait_link(OPEN_LINK)
        found = controls(MAIN, has=bui.MAIN_CONTROL)
        self.assertFalse(found[ID.IDC_CONNECT][0], "Connect disabled: connected")
        self.assertEqual(found[ID.IDC_PORT_LIST][1], "COM6")

    def test_no_while_connected_keeps_the_connection(self):
        self.start_installed(ini=settings_ini(port=5, auto_run="Y"), wait_visible=False)
        wait_link(OPEN_LINK)
        bui.wait_for(lambda: connected_tty() == tty_of("COM5"), 5, message="DTR on COM5")
        show_main_window()
        ini_file().write_bytes(b"")  # any write would show
        self.open_settings()
        # The entries already saved: nothing written, nothing to ask.
        bui.ui_ok("select-text", SETUP, ID.IDC_START_PORT, "COM5")
        bui.ui_ok("select-text", SETUP, ID.IDC_START_SPEED, "9600")
        time.sleep(0.3)
        self.assertEqual(read_ini(), "")
        self.close_settings()
        self.open_settings()
        self.select_and_wait_ini(ID.IDC_START_PORT, "COM6", "[COMPORT]\r\nport=6\r\n")
        self.select_and_wait_ini(ID.IDC_START_SPEED, "115200", "[COMPORT]\r\nport=6\r\nspeed=115.2K\r\n")
        self.close_settings("no")
        time.sleep(1)
        found = controls(MAIN, has=bui.MAIN_CONTROL)
        self.assertEqual(found[ID.IDC_LINK_STATUS][1], OPEN_LINK)
        self.assertFalse(found[ID.IDC_CONNECT][0], "Connect disabled: still connected")
        self.assertEqual((found[ID.IDC_PORT_LIST][1], found[ID.IDC_SPEED_LIST][1]), ("COM5", "9600"))
        self.assertEqual(connected_tty(), tty_of("COM5"))

    # --- removal ---------------------------------------------------------------

    def test_removal_asks_first_and_then_deletes_the_program_its_settings_and_logs(self):
        program = self.start_installed(ini=settings_ini(port=5, log="Y"), catlog=True)
        bui.wait_for(shortcut().exists, 10, message="shortcut made")
        (install_folder() / "UpdateFile.sob").write_bytes(b"kept")
        self.open_settings()
        bui.ui_ok("click", SETUP, ID.IDC_RUN_AT_LOGON)
        bui.wait_for(lambda: run_value() == RUN_DATA, 5, message="Run value written")
        files = files_in(install_folder())

        bui.ui_ok("click", SETUP, ID.IDC_REMOVE_PROGRAM)
        answer(REMOVE_QUESTION, "no")
        time.sleep(0.5)
        self.assertTrue(is_yes(bui.ui("visible", SETUP)))
        self.assertTrue(program.running)
        self.assertEqual(files_in(install_folder()), files)
        self.assertTrue(shortcut().exists())
        self.assertEqual(run_value(), RUN_DATA)

        bui.ui_ok("click", SETUP, ID.IDC_REMOVE_PROGRAM)
        answer(REMOVE_QUESTION, "yes")
        self.assertEqual(program.wait(timeout=20), 0, "the program ends")
        self.assertFalse(shortcut().exists())
        self.assertIsNone(run_value())
        bui.wait_for(lambda: sorted(p.name for p in install_folder().iterdir()) == ["UpdateFile.sob"], 20,
                     message="program, settings, logs and killfileall.bat removed")
        bui.wait_for(lambda: not bui.script_processes("killfileall.bat"), 5, message="killfileall.bat ended")

    # --- the uninstall switch --------------------------------------------------

    def prepare_uninstall(self):
        self.start_installed(ini=settings_ini(port=5), catlog=True)
        bui.wait_for(shortcut().exists, 10, message="shortcut made")
        self.programs.pop().stop()
        set_run_value(RUN_DATA)
        return files_in(install_folder()), shortcut().read_bytes()

    def test_the_uninstall_switch_deletes_only_the_run_value(self):
        self.start_installed(ini=settings_ini(port=5), catlog=True)
        bui.wait_for(shortcut().exists, 10, message="shortcut made")
        self.programs.pop().stop()
        set_run_value(RUN_DATA)
        files = files_in(install_folder())
        link = shortcut().read_bytes()

        # Only the whole tail counts.
        for args in (("/uninstall", "x"), ("cmd", "/c", INSTALLED + " /uninstall ")):
            with self.subTest(tail=" ".join(args)):
                if args[0] == "cmd":
                    # Typed at a command prompt: the blank stays in the command line.
                    program = self.start(*args, cwd=install_folder())
                else:
                    program = self.start(install_folder() / PROGRAM, *args, cwd=install_folder())
                time.sleep(1)
                self.assertTrue(is_yes(main_ui("visible", MAIN)), "a normal start")
                self.assertEqual(run_value(), RUN_DATA)
                bui.ui_ok("kill-process", PROGRAM)  # cmd may have ended before it
                program.stop()
                self.programs.remove(program)

        for switch in ("/uninstall", "/UNINSTALL", "/UnInstall"):
            with self.subTest(tail=switch):
                set_run_value(RUN_DATA)
                program = self.start(install_folder() / PROGRAM, switch, cwd=install_folder(),
                                     wait_visible=False)
                self.assertEqual(program.wait(timeout=20), 0)
                program.stop()
                self.programs.remove(program)
                self.assertIsNone(run_value())
        time.sleep(0.5)
        self.assertEqual(files_in(install_folder()), files, "files, settings and logs stay")
        self.assertEqual(shortcut().read_bytes(), link)

        # From outside the install folder, too, the switch only ends: it
        # neither installs that copy nor starts anything.
        download = self.download_copy()
        set_run_value(RUN_DATA)
        program = self.start(download / PROGRAM, "/uninstall", cwd=download, wait_visible=False)
        self.assertEqual(program.wait(timeout=20), 0)
        self.assertIsNone(run_value())
        self.assertEqual(files_in(install_folder()), files, "nothing installed")
        self.assertEqual(sorted(p.name for p in download.iterdir()), [PROGRAM, "OstrelBrinvale.ini"], "no script")

    def download_copy(self):
        download = download_folder()
        download.mkdir(parents=True, exist_ok=True)
        shutil.copy(EXE, download / PROGRAM)
        return download

    def test_a_second_copy_from_elsewhere_leaves_the_installed_one_as_it_was(self):
        # The downloaded file started again while the installed copy runs: it
        # ends quietly, and the till still starts its gateway at the next logon.
        installed = self.start_installed(ini=settings_ini(port=5))
        bui.wait_for(shortcut().exists, 10, message="shortcut made")
        set_run_value(RUN_DATA)
        files = files_in(install_folder())
        download = self.download_copy()
        second = self.start(download / PROGRAM, cwd=download, wait_visible=False)
        self.assertEqual(second.wait(timeout=20), 0)
        time.sleep(1)
        self.assertTrue(installed.running)
        self.assertEqual(run_value(), RUN_DATA)
        self.assertEqual(files_in(install_folder()), files)
        self.assertEqual(sorted(p.name for p in download.iterdir()), [PROGRAM], "no script written")

    # --- who the install folder belongs to ----------------------------------

    def test_the_install_folder_is_the_users_alone(self):
        download = self.download_copy()
        program = self.start(download / PROGRAM, cwd=download, wait_visible=False)
        self.assertEqual(program.wait(timeout=30), 0, "installed, it ends")
        bui.end_script("runextern.bat")
        owner, dacl = bui.ui_ok("acl", r"C:\OSBRIN").splitlines()
        user = owner.removeprefix("O:")
        entries = dacl.removeprefix("D:").strip("()").split(")(")
        # Wine keeps only what its file modes can say: SYSTEM and the user
        # (Windows keeps Administrators as well, and the protection flag).
        self.assertTrue(set(entries) <= {f"A;OICI;FA;;;{who}" for who in ("SY", "BA", user)}, dacl)
        self.assertIn(f"A;OICI;FA;;;{user}", entries)
        self.assertEqual(install_folder().stat().st_mode & 0o007, 0, "nothing for other Linux accounts")

        # A folder that is not the user's own (a link to another place, a
        # folder of another account) gets nothing: the program runs on where
        # it was started, and the Run value stays as it was.
        elsewhere = prefix() / "drive_c" / "Elsewhere-OSBRIN"
        self.addCleanup(shutil.rmtree, elsewhere, ignore_errors=True)
        for what, plant in (("a link", lambda: os.symlink(elsewhere, install_folder())),
                            ("another account's folder", lambda: (install_folder().mkdir(),
                                                                   os.chown(install_folder(), 65534, 65534)))):
            with self.subTest(what):
                clean()
                elsewhere.mkdir(exist_ok=True)
                plant()
                set_run_value(r'"C:\Elsewhere\OstrelBrinvale.exe"')
                download = self.download_copy()
                program = self.start(download / PROGRAM, cwd=download)
                time.sleep(1)
                self.assertTrue(program.running)
                self.assertEqual(files_in(install_folder()), {}, "nothing put there")
                self.assertEqual(run_value(), r'"C:\Elsewhere\OstrelBrinvale.exe"')
                self.assertEqual(sorted(p.name for p in download.iterdir()), sorted([PROGRAM, "OstrelBrinvale.ini"]))
                program.stop()
                self.programs.remove(program)

    def test_a_dll_beside_a_downloaded_copy_is_never_loaded(self):
        # A web page may leave a DLL in the download folder under the name of
        # one the program imports. Windows would load it from there first;
        # Wine prefers its own unless told, as it is told here.
        overrides = rf"HKCU\Software\Wine\AppDefaults\{PROGRAM}\DllOverrides"
        self.addCleanup(wine, "reg", "delete", overrides, "/f")
        download = self.download_copy()
        # (Wine's own DLLs import version.dll, so under Wine only these two
        # can show what the program itself loads.)
        for name in ("bcrypt.dll", "WININET.dll"):
            rc, out = wine("reg", "add", overrides, "/v", name[:-4].lower(), "/t", "REG_SZ",
                           "/d", "native,builtin", "/f")
            self.assertEqual(rc, 0, out)
            shutil.copy(PLANTED_DLL, download / name)
        program = self.start(download / PROGRAM, cwd=download, wait_visible=False)
        self.assertEqual(program.wait(timeout=30), 0, "installed, it ends")
        bui.end_script("runextern.bat")
        self.assertEqual(sorted(path.name for path in download.glob("*.loaded")), [])
        self.assertEqual((install_folder() / PROGRAM).read_bytes(), Path(EXE).read_bytes())


if __name__ == "__main__":
    unittest.main(verbosity=2)
