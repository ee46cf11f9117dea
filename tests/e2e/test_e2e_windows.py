"""The Windows updater, kolup-updater.exe, under Wine and Xvfb against the same local maker's
host as the Linux end-to-end test, driven as a user would through its window's controls by a
small Windows program of the tests (tests/windows/driver.cpp)."""

import filecmp
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import desktop  # noqa: E402

WINDOWS_BUILD = os.environ["KOLUP_WINDOWS_BUILD"]
UPDATER = os.path.join(WINDOWS_BUILD, "kolup-updater.exe")
DRIVER = os.path.join(WINDOWS_BUILD, "kolup-driver.exe")
PLANTED = os.path.join(WINDOWS_BUILD, "kolup-planted.dll")
KEYED = os.environ.get("KOLUP_KEYED") == "1"
SETUP_NAME = "KolupSetup.bat"
SAVED = os.path.join(WINDOWS_BUILD, SETUP_NAME)  # beside the program, as on Windows
SCREENSHOT = os.environ.get("KOLUP_WINDOWS_SCREENSHOT")


def windows_path(path):
    """The name Wine gives a Linux path: drive Z: is the Linux root."""
    return "Z:" + path.replace("/", "\\")


def sample_setup(path, marker, padding):
    """A batch file that notes the folder it was started in, padded so its download takes a
    while."""
    with open(path, "wb") as f:
        f.write(b"@echo off\r\ncd > \"%s\"\r\nexit /b 0\r\n" % windows_path(marker).encode())
        line = b"rem " + b"k" * 75 + b"\r\n"
        f.write(line * (padding // len(line)))
    return os.path.getsize(path)


class Wine:
    """A fresh Wine prefix in a temporary folder, its programs shown on the given display."""

    def __init__(self, display):
        self.dir = tempfile.mkdtemp(prefix="kolup-wine-")
        self.env = display.env()
        # No Mono or Gecko to install, and no menu entries on the Linux desktop for what an
        # installer puts in the Start menu.
        self.env.update(WINEPREFIX=os.path.join(self.dir, "prefix"), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
        subprocess.run(["wineboot", "-i"], env=self.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def start(self, program, env=None, **options):
        return subprocess.Popen(["wine", program], env={**self.env, **(env or {})}, **options)

    def set_dpi(self, dpi):
        """The screen's DPI, as Windows users set a scale; programs started from now see it."""
        subprocess.run(["wine", "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels",
                        "/t", "REG_DWORD", "/d", str(dpi), "/f"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-k"], env=self.env)

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env)
        shutil.rmtree(self.dir, ignore_errors=True)


class Driver:
    """The Windows program that reads and presses the updater's controls, one line each."""

    def __init__(self, wine):
        self.process = wine.start(DRIVER, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  text=True)

    def raw(self, command):
        """The driver's whole answer: "ok ..." or "error ..."."""
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().rstrip("\n")

    def ask(self, command):
        answer = self.raw(command)
        return answer[3:] if answer.startswith("ok ") else ("" if answer == "ok" else None)

    def text(self, name):
        return self.ask("text " + name)

    def showing(self, name):
        return self.ask("visible " + name) == "1"

    def wait_text(self, name, text, timeout=60):
        desktop.wait_for(lambda: self.text(name) == text, timeout=timeout)

    def question(self):
        return desktop.wait_for(lambda: self.ask("question"))

    def accept(self):
        """Checks for a new version and answers OK to its offer."""
        self.ask("click Command1")
        self.question()
        self.ask("answer OK")

    def close(self):
        self.process.stdin.close()
        self.process.wait(20)
        self.process.stdout.close()


class WindowsEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.display = desktop.Display(size="1024x768x24")  # room for the window at 150 %
        cls.wine = Wine(cls.display)

    @classmethod
    def tearDownClass(cls):
        cls.wine.close()
        cls.display.close()

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="kolup-e2e-windows-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.marker = os.path.join(self.work, "setup-ran-in")
        self.remove_saved()
        self.addCleanup(self.remove_saved)
        desktop.set_installed_version("1.2")

    @staticmethod
    def stop(process):
        if process.poll() is None:
            process.kill()
        process.wait(20)

    def remove_saved(self):
        for stale in (SAVED, SAVED + ".part", SAVED + ".part.resume", SAVED + ":Zone.Identifier"):
            if os.path.exists(stale):
                os.remove(stale)

    def start(self, version=None, rate=None, padding=64 * 1024, served=None, name=SETUP_NAME,
              tls=False, program=UPDATER, env=None, cut_every=None):
        """Publishes a sample setup under name and a record offering it (none for no host at
        all), then starts the updater (program: a copy elsewhere) and its driver."""
        host = None
        source = os.path.join(self.work, SETUP_NAME)
        if version:
            host = desktop.MakerHost(rate=rate, tls=tls)
            self.addCleanup(host.close)
            self.offer(host, version, padding, served, name, tls, cut_every)
        updater = self.wine.start(program, env=env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop, updater)
        driver = Driver(self.wine)
        self.addCleanup(driver.close)
        desktop.wait_for(lambda: driver.ask("window"), timeout=60)
        desktop.wait_for(lambda: driver.text("Label2") == "1.2")
        return host, updater, driver, source

    def offer(self, host, version, padding=64 * 1024, served=None, name=SETUP_NAME, tls=False,
              cut_every=None):
        """Publishes a sample setup under name and a signed record offering it; with cut_every,
        at an address whose link breaks after every so many bytes."""
        source = os.path.join(self.work, SETUP_NAME)
        size = self.size = sample_setup(source, self.marker, padding)
        if served:  # another file of the same size in its place
            with open(os.path.join(self.work, "served"), "wb") as f:
                f.write(served * size)
        host.publish("/kolup/" + name,
                     source=os.path.join(self.work, "served") if served else source)
        record = os.path.join(self.work, "KOLUP_VERSION.txt")
        address = (desktop.tls_url if tls else desktop.url)("/kolup/" + name)
        if cut_every:
            self.cutter = desktop.CuttingHost(desktop.HOST_PORT, cut_every)
            self.addCleanup(self.cutter.close)
            address = self.cutter.url("/kolup/" + name)
        desktop.make_record(version, address, size, record)
        host.publish(desktop.RECORD_PATH, source=record, binds=source)

    def test_equal_version_offers_nothing(self):
        host, _, driver, _ = self.start("1.2")
        driver.ask("click Command1")
        driver.wait_text("Label13", "NO UPDATE AVAILABLE")
        self.assertEqual(driver.text("Label3"), "1.2")
        self.assertEqual(driver.ask("question"), None)

    def test_offer_refused_downloads_nothing(self):
        host, _, driver, _ = self.start("1.5")
        driver.ask("click Command1")
        self.assertEqual(driver.question(),
                         "Kolup version  1.5 is Available\\n Do You want to UpDate Now ?")
        driver.ask("answer Cancel")
        desktop.wait_for(lambda: driver.ask("question") is None)
        self.assertEqual(driver.text("Label3"), "1.5")
        self.assertEqual(driver.text("Label5"), " %d kb" % (self.size // 1024))
        self.assertEqual(driver.text("Label11"), "")
        self.assertFalse([r for r in host.requests() if SETUP_NAME in r])

    def test_whole_flow_downloads_and_starts_setup(self):
        _, updater, driver, source = self.start("1.5")
        driver.accept()
        driver.wait_text("Label11", "DOWNLOAD COMPLETED..")
        self.assertEqual(driver.text("Label7"), " 100%")
        shown = driver.text("Text2")
        self.assertTrue(shown.startswith("Kolup setup file has been downloaded and saved as: "
                                         + windows_path(SAVED) + "."), shown)
        self.assertTrue(filecmp.cmp(SAVED, source, shallow=False))
        self.assertFalse(os.path.exists(SAVED + ".part"))
        # Marked as from the internet only when no signature was checked (Wine keeps the
        # Zone.Identifier stream as a file of that name).
        self.assertEqual(os.path.exists(SAVED + ":Zone.Identifier"), not KEYED)
        desktop.wait_for(lambda: driver.showing("Command3"))
        driver.ask("click Command3")
        self.assertEqual(updater.wait(60), 0)
        desktop.wait_for(lambda: os.path.exists(self.marker) and os.path.getsize(self.marker),
                         timeout=60)
        with open(self.marker) as f:
            self.assertEqual(f.read().strip(), "C:\\")

    def test_connection_cut_in_the_middle_still_completes(self):
        _, updater, driver, source = self.start("1.5", padding=256 * 1024, cut_every=100 * 1024)
        driver.accept()
        driver.wait_text("Label11", "DOWNLOAD COMPLETED..")
        self.assertTrue(filecmp.cmp(SAVED, source, shallow=False))
        # Each byte fetched once: every reconnect asked for the rest only.
        self.assertEqual(self.cutter.body_bytes, self.size)
        self.assertFalse(os.path.exists(SAVED + ".part"))
        self.assertFalse(os.path.exists(SAVED + ".part.resume"))
        driver.ask("close")
        self.assertEqual(updater.wait(60), 0)

    def test_cancel_or_close_mid_transfer_keeps_part_and_starts_nothing(self):
        for how in ("cancel", "close"):
            with self.subTest(how=how):
                _, updater, driver, _ = self.start("1.5", rate=1024 * 1024,
                                                   padding=8 * 1024 * 1024)
                driver.accept()
                # Under way, and rising.
                first = desktop.wait_for(lambda: driver.text("Label7"))
                desktop.wait_for(lambda: int(driver.text("Label7").strip(" %") or 0) >
                                 int(first.strip(" %")))
                if how == "cancel":
                    driver.ask("click Command2")
                    driver.wait_text("Label11", "DOWNLOADING CANCEL..")
                    self.assertFalse(driver.showing("Command3"))
                driver.ask("close")
                self.assertEqual(updater.wait(60), 0)
                self.assertLess(os.path.getsize(SAVED + ".part"), 8 * 1024 * 1024)
                self.assertFalse(os.path.exists(SAVED))
                self.assertFalse(os.path.exists(self.marker))
                self.remove_saved()

    def test_forged_setup_of_the_same_size(self):
        """Keyed, the record's signature names the real setup: the forgery is not kept. An
        unkeyed build has nothing to hold it against."""
        _, updater, driver, _ = self.start("1.5", served=b"x")
        driver.accept()
        if KEYED:
            driver.wait_text("Label11", "DOWNLOAD FAILED..")
            self.assertFalse(os.path.exists(SAVED))
            self.assertFalse(os.path.exists(SAVED + ".part"))
        else:
            driver.wait_text("Label11", "DOWNLOAD COMPLETED..")
        driver.ask("close")
        self.assertEqual(updater.wait(60), 0)
        self.assertEqual(os.path.exists(self.marker), False)

    def program_copy(self, *planted):
        """The updater copied into a folder of its own, as a user keeps it in Downloads, with
        the planted DLL beside it under each given name."""
        folder = tempfile.mkdtemp(prefix="kolup-program-", dir=self.work)
        program = os.path.join(folder, "kolup-updater.exe")
        shutil.copyfile(UPDATER, program)
        for name in planted:
            shutil.copyfile(PLANTED, os.path.join(folder, name))
        return folder, program

    def test_planted_dlls_are_never_loaded(self):
        """DLLs of the names the program loads, beside it and preferred by Wine over its own:
        the window works, the setup comes over https (which loads them), and neither planted
        DLL is ever loaded. Wine's Schannel checks no certificate at all, so a refused one
        cannot be shown here: that https works through Schannel, with revocation checked
        only as far as the network allows, is what this shows."""

        marker = os.path.join(self.work, "planted-dll-loaded")
        folder, program = self.program_copy("bcrypt.dll", "crypt32.dll")
        _, updater, driver, _ = self.start("1.5", tls=True, program=program, env={
            "WINEDLLOVERRIDES": "mscoree,mshtml=;bcrypt,crypt32=n,b",
            "KOLUP_PLANTED_MARKER": windows_path(marker)})
        driver.accept()
        desktop.wait_for(lambda: driver.text("Label11") in ("DOWNLOAD COMPLETED..",
                                                           "DOWNLOAD FAILED.."), timeout=60)

        self.assertFalse(os.path.exists(marker))
        self.assertEqual(driver.text("Label11"), "DOWNLOAD COMPLETED..")
        driver.ask("close")
        self.assertEqual(updater.wait(60), 0)

    def test_names_that_reach_the_updater_itself(self):
        """A trailing dot Windows drops, or the program's short name: the same file as the
        running program. The first is refused as a name; the second by the file's identity,
        and the program stays as it is."""
        folder, program = self.program_copy()
        with open(program, "rb") as f:
            original = f.read()
        host, updater, driver, _ = self.start("1.5", name="kolup-updater.exe.", program=program)
        driver.ask("click Command1")
        driver.wait_text("Label13", "INVALID UPDATE INFORMATION")
        driver.ask("close")
        self.assertEqual(updater.wait(60), 0)
        host.close()

        short = os.path.basename(driver.ask("short " + windows_path(program)).replace("\\", "/"))
        self.assertNotEqual(short.lower(), "kolup-updater.exe")
        _, updater, driver, _ = self.start("1.5", name=short, program=program)
        driver.accept()
        driver.wait_text("Label11", "DOWNLOAD FAILED..")
        driver.ask("close")
        self.assertEqual(updater.wait(60), 0)
        with open(program, "rb") as f:
            self.assertEqual(f.read(), original)


    def test_every_text_fits_and_reads_in_order_at_every_dpi(self):
        """At 100, 125 and 150 % every visible control's text fits it in every state (each
        caption measured in its own font, wrapped where the control wraps); screen readers
        take the controls in reading order, find the progress visible all through a transfer,
        and the focus starts on "Check New Versions"."""
        self.addCleanup(self.wine.set_dpi, 96)
        order = ("Picture1 Frame1 Label1 Label2 Label13 [Download result] Text2 Frame2 Label4 "
                 "Label3 Frame3 Label6 Label5 Label8 Label7 Label10 Label9 Label12 Label11 "
                 "Picture2 Text1 Command1 Command2 Command3")
        for dpi in (96, 120, 144):
            with self.subTest(dpi=dpi):
                self.wine.set_dpi(dpi)
                host = desktop.MakerHost(rate=512 * 1024)
                self.addCleanup(host.close)
                _, updater, driver, _ = self.start()
                self.assertEqual(driver.ask("dpi"), str(dpi))
                self.assertEqual(driver.ask("order"), order)
                desktop.wait_for(lambda: driver.ask("focused") == "Command1")
                self.assertEqual(driver.raw("fit"), "ok")
                for record, result in ((None, "NO INTERNET CONNECTION FOUND"),
                                       (b"\0" * 264, "INVALID UPDATE INFORMATION")):
                    if record:
                        host.publish(desktop.RECORD_PATH, record)
                    driver.ask("click Command1")
                    driver.wait_text("Label13", result)
                    desktop.wait_for(lambda: driver.showing("Command3"))
                    self.assertEqual(driver.raw("fit"), "ok")
                self.offer(host, "1.5", padding=2 * 1024 * 1024)
                driver.accept()
                desktop.wait_for(lambda: driver.text("Label7"))
                self.assertEqual(driver.raw("fit"), "ok")
                self.assertEqual(driver.ask("sample 60 Label7 Label8 Label9 Picture2 Text1"), "0")
                driver.wait_text("Label11", "DOWNLOAD COMPLETED..", timeout=60)
                self.assertEqual(driver.raw("fit"), "ok")
                # Tab in increasing tab index, now that all four controls take the focus.
                for name in ("Command2", "Text2", "Command3", "Command1"):
                    driver.ask("tab")
                    desktop.wait_for(lambda: driver.ask("focused") == name)
                if SCREENSHOT and dpi in (96, 144):
                    window = subprocess.run(["xdotool", "search", "--name", "^Kolup Updater$"],
                                            env=self.display.env(), capture_output=True,
                                            text=True)
                    self.display.screenshot(SCREENSHOT.replace(".png", "-%d.png" % dpi),
                                            window.stdout.split()[0])
                driver.ask("close")
                self.assertEqual(updater.wait(60), 0)
                host.close()
                self.remove_saved()


if __name__ == "__main__":
    unittest.main()
