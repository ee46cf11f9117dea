"""The Windows installer under Wine: built from the Windows build by scripts/make-msi.py,
installed silently per machine and per user in a fresh prefix, the installed updater run
against the local maker's host, upgraded by a newer package, an older one refused, and
uninstalled without a trace of ours. The package's winget manifest is checked against winget's
schemas."""

import filecmp
import glob
import hashlib
import importlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import desktop  # noqa: E402
import winget  # noqa: E402
import yaml  # noqa: E402

make_msi_script = importlib.import_module("make-msi")
from test_e2e_windows import SETUP_NAME, WINDOWS_BUILD, Driver, Wine, sample_setup  # noqa: E402

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")
SCREENSHOT = os.environ.get("KOLUP_MSI_SCREENSHOT")
FILES = ["LICENSE.txt", "README.txt", "kolup-record.exe", "kolup-updater.exe"]
UNINSTALL = r"Software\Microsoft\Windows\CurrentVersion\Uninstall"
# msiexec's "fatal error during installation", as Wine hands a Windows exit code to Linux.
FATAL_ERROR = 1603 & 0xFF


def make_msi(folder, version):
    path = os.path.join(folder, "kolup-updater-%s-x64.msi" % version)
    subprocess.run(["/usr/bin/python3", os.path.join(SCRIPTS, "make-msi.py"), WINDOWS_BUILD,
                    path, "--version", version], check=True)
    return path


class Installer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.packages = tempfile.mkdtemp(prefix="kolup-msi-")
        cls.old = make_msi(cls.packages, "1.0")
        cls.new = make_msi(cls.packages, "1.1")
        cls.display = desktop.Display(size="1024x768x24")

    @classmethod
    def tearDownClass(cls):
        cls.display.close()
        shutil.rmtree(cls.packages, ignore_errors=True)

    def setUp(self):
        self.wine = Wine(self.display)
        self.addCleanup(self.wine.close)
        self.work = tempfile.mkdtemp(prefix="kolup-msi-e2e-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        desktop.set_installed_version("1.2")

    def drive(self, path):
        """The Linux path of a path on the prefix's drive C:."""
        return os.path.join(self.wine.dir, "prefix", "drive_c", path.replace("\\", "/"))

    def profile(self, *path):
        users = [u for u in glob.glob(self.drive("users/*")) if not u.endswith("/Public")]
        return os.path.join(users[0], *path)

    def msiexec(self, *args):
        return subprocess.run(["wine", "msiexec"] + list(args), env=self.wine.env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode

    def registry(self):
        """Every key and value of the prefix, as Wine keeps them on disk."""
        subprocess.run(["wineserver", "-w"], env=self.wine.env)
        text = ""
        for hive in ("system.reg", "user.reg"):
            with open(os.path.join(self.wine.dir, "prefix", hive), encoding="utf-8",
                      errors="replace") as f:
                text += f.read()
        return text

    def entries(self):
        """The uninstall entries named "Kolup Updater", each as its values (Wine keeps them in
        HKLM in both scopes)."""
        found = []
        for root in ("HKLM", "HKCU"):
            listing = subprocess.run(["wine", "reg", "query", root + "\\" + UNINSTALL, "/s"],
                                     env=self.wine.env, capture_output=True, text=True).stdout
            for block in listing.replace("\r", "").split("\n\n"):
                # "    Name    REG_SZ    value"
                values = {line.split("    ")[1]: line[4:].split("    ", 2)[2:3] for line in
                          block.splitlines() if line.startswith("    ")}
                values = {name: value[0] if value else "" for name, value in values.items()}
                if values.get("DisplayName") == "Kolup Updater":
                    found.append(values)
        return found

    def installs(self, folder, version):
        """The files are the build's, the shortcut and the entry with its version are there."""
        self.assertEqual(sorted(os.listdir(folder)), FILES)
        self.assertTrue(filecmp.cmp(os.path.join(folder, "kolup-updater.exe"),
                                    os.path.join(WINDOWS_BUILD, "kolup-updater.exe"),
                                    shallow=False))
        # Wine keeps the Start menu in the user's profile for both scopes.
        self.assertTrue(os.path.exists(self.profile(
            "AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Kolup Updater.lnk")))
        # One entry: a newer package replaces the older one's.
        [entry] = self.entries()
        self.assertEqual(entry["DisplayVersion"], version)
        self.assertEqual(entry["Publisher"], "The Kolup Updater developers")
        self.assertEqual(entry["URLUpdateInfo"], "https://updates.kolup.example/")

    def download(self, folder, saved, screenshot=None):
        """The installed updater checks, downloads the offered setup and saves it as saved."""
        host = desktop.MakerHost()
        self.addCleanup(host.close)
        source = os.path.join(self.work, SETUP_NAME)
        size = sample_setup(source, os.path.join(self.work, "ran"), 64 * 1024)
        host.publish("/kolup/" + SETUP_NAME, source=source)
        record = os.path.join(self.work, "KOLUP_VERSION.txt")
        desktop.make_record("1.5", desktop.url("/kolup/" + SETUP_NAME), size, record)
        host.publish(desktop.RECORD_PATH, source=record, binds=source)

        updater = self.wine.start(os.path.join(folder, "kolup-updater.exe"),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        driver = Driver(self.wine)
        desktop.wait_for(lambda: driver.ask("window"), timeout=60)
        desktop.wait_for(lambda: driver.text("Label2") == "1.2")
        driver.accept()
        driver.wait_text("Label11", "DOWNLOAD COMPLETED..")
        shown = driver.text("Text2")
        place = "C:\\" + os.path.relpath(saved, self.drive("")).replace("/", "\\")
        self.assertIn("saved as: " + place + ".", shown)
        self.assertTrue(filecmp.cmp(saved, source, shallow=False))
        if screenshot:
            window = subprocess.run(["xdotool", "search", "--name", "^Kolup Updater$"],
                                    env=self.display.env(), capture_output=True, text=True)
            self.display.screenshot(screenshot, window.stdout.split()[0])
        driver.ask("close")
        self.assertEqual(updater.wait(60), 0)
        driver.close()
        host.close()

    def uninstalls(self, folder, kept, *command):
        self.assertEqual(self.msiexec("/x", *command), 0)
        left = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
        self.assertEqual(left, [os.path.basename(kept)] if kept.startswith(folder) else [])
        self.assertTrue(os.path.exists(kept))
        self.assertEqual(self.entries(), [])
        self.assertFalse(glob.glob(self.profile("AppData/Roaming/Microsoft/Windows/Start Menu",
                                                "**", "Kolup*"), recursive=True))
        registry = self.registry()
        self.assertNotIn("Kolup", registry)
        self.assertNotIn(os.path.basename(folder).lower(), registry.lower())

    def test_per_machine_upgrade_downgrade_uninstall(self):
        folder = self.drive("Program Files/Kolup Updater")
        self.assertEqual(self.msiexec("/i", self.old, "/qn"), 0)
        self.installs(folder, "1.0")
        # Program Files is never the setup's, though Wine lets anyone write there.
        saved = self.profile("AppData/Local/Kolup/Updates", SETUP_NAME)
        self.download(folder, saved, SCREENSHOT)

        self.assertEqual(self.msiexec("/i", self.new, "/qn"), 0)
        self.installs(folder, "1.1")

        # The older package, with the UI a double-click shows: refused, saying why.
        msiexec = subprocess.Popen(["wine", "msiexec", "/i", self.old, "/qb"],
                                   env=self.wine.env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        driver = Driver(self.wine)
        self.assertEqual(driver.question(), "A newer version of Kolup Updater is already "
                         "installed. Uninstall it first to install this one.")
        driver.ask("answer OK")
        driver.close()
        self.assertEqual(msiexec.wait(60), FATAL_ERROR)
        self.installs(folder, "1.1")

        self.uninstalls(folder, saved, self.new, "/qn")

    def test_per_user_saves_beside_itself(self):
        # Wine's installer resets ALLUSERS=2 to 1 whatever MSIINSTALLPERUSER says; ALLUSERS=""
        # is the per-user context that MSIINSTALLPERUSER=1 reaches on Windows.
        folder = self.profile("AppData/Local/Programs/Kolup Updater")
        self.assertEqual(self.msiexec("/i", self.old, "/qn", "ALLUSERS="), 0)
        self.installs(folder, "1.0")
        self.assertFalse(os.path.exists(self.drive("Program Files/Kolup Updater")))
        saved = os.path.join(folder, SETUP_NAME)
        self.download(folder, saved)
        # The user's download stays, and the folder with it. Removed in the same context: Wine
        # does not take it from the product's registration as Windows does.
        self.uninstalls(folder, saved, self.old, "/qn", "ALLUSERS=")


class Package(unittest.TestCase):
    def test_summary_is_drawn_from_the_commit_and_asks_no_elevation(self):
        folder = tempfile.mkdtemp(prefix="kolup-summary-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        revisions = set()
        for version in ("1.0", "1.1"):
            revision, created, saved, words = make_msi_script.read_summary(
                make_msi(folder, version))
            revisions.add(revision)
            self.assertEqual(revision[15], "5")  # a name-based UUID, not a random one
            self.assertEqual((created, saved), (make_msi_script.epoch(),) * 2)
            # Compressed, long names, elevation not required (per user it asks for none).
            self.assertEqual(words, 2 | 8)
        self.assertEqual(len(revisions), 2)

    def test_winget_manifest_names_the_package_and_matches_the_schemas(self):
        folder = tempfile.mkdtemp(prefix="kolup-winget-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        msi = make_msi(folder, "1.0")
        manifests = os.path.join(folder, "manifests")
        names = winget.write(msi, manifests, "https://updates.kolup.example/kolup-updater.msi")
        self.assertTrue(winget.check(manifests))
        with open(os.path.join(manifests, names[1])) as f:
            installer = yaml.safe_load(f)
        with open(msi, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest().upper()
        self.assertEqual([(i["Scope"], i["InstallerSha256"]) for i in installer["Installers"]],
                         [("machine", digest), ("user", digest)])
        self.assertEqual(installer["ProductCode"], winget.msi_properties(msi)["ProductCode"])
        # A manifest without its licence is refused.
        path = os.path.join(manifests, names[2])
        with open(path) as f:
            text = f.read()
        with open(path, "w") as f:
            f.write(text.replace('License: "Proprietary"\n', ""))
        self.assertFalse(winget.check(manifests))


if __name__ == "__main__":
    unittest.main()
