"""The demo: the maker's host on 127.0.0.1 offering engine 1.5 to an installed 1.2, with a
sample setup program and a throttled link so that the progress can be watched.

With a display, the updater opens on it for you to click through. Without one, it runs under
Xvfb, goes through check, OK, download and EXIT by itself, and saves a screenshot of each
stage."""

import os
import shutil
import subprocess
import sys
import tempfile

import desktop

SETUP = "KolupSetup.sh"


def prepare(work):
    desktop.set_installed_version("1.2")
    host = desktop.MakerHost(rate=256 * 1024)
    source = os.path.join(work, SETUP)
    size = desktop.sample_setup(source, os.path.join(work, "setup-ran-in"), 1024 * 1024)
    host.publish("/kolup/" + SETUP, source=source)
    record = os.path.join(work, "KOLUP_VERSION.txt")
    desktop.make_record("1.5", desktop.url("/kolup/" + SETUP), size, record)
    host.publish(desktop.RECORD_PATH, source=record, binds=source)
    return host


def interactive():
    print("The maker's host is at %s (every file signed with build/demo-key); the updater "
          "opens on %s."
          % (desktop.url(desktop.RECORD_PATH), os.environ["DISPLAY"]))
    subprocess.run([desktop.UPDATER])


def unattended(shots):
    display = desktop.Display()
    updater = desktop.Updater(display)
    try:
        saved = []
        desktop.wait_for(lambda: updater.text("Label2") == "1.2")
        saved.append(updater.screenshot(os.path.join(shots, "1-idle.png")))
        updater.press("Command1")
        updater.question()
        saved.append(display.screenshot(os.path.join(shots, "2-question.png")))
        updater.answer("OK")
        part = os.path.join(desktop.PROGRAM_DIR, SETUP + ".part")
        desktop.wait_for(lambda: os.path.exists(part) and os.path.getsize(part) > 300 * 1024)
        saved.append(updater.screenshot(os.path.join(shots, "3-downloading.png")))
        updater.wait_text("Label11", "DOWNLOAD COMPLETED..", timeout=60)
        desktop.wait_for(lambda: updater.showing("Command3"))
        saved.append(updater.screenshot(os.path.join(shots, "4-completed.png")))
        updater.press("Command3")
        updater.wait_exit()
        for path in saved:
            print("screenshot:", path)
        print("The setup program was downloaded to %s and started on EXIT."
              % os.path.join(desktop.PROGRAM_DIR, SETUP))
    finally:
        updater.close()
        display.close()


def main():
    shots = os.path.join(desktop.BUILD, "demo")
    os.makedirs(shots, exist_ok=True)
    work = tempfile.mkdtemp(prefix="kolup-demo-")
    for stale in (SETUP, SETUP + ".part"):
        path = os.path.join(desktop.PROGRAM_DIR, stale)
        if os.path.exists(path):
            os.remove(path)
    host = prepare(work)
    try:
        if os.environ.get("DISPLAY"):
            interactive()
        else:
            unattended(shots)
    finally:
        host.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
