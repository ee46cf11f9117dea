"""Download throughput and peak memory of the real updater in a real window (Xvfb) against
nginx on 127.0.0.1, beside `curl -o` of the same file in the same run.

    dbus-run-session -- /usr/bin/python3 bench/throughput.py [MiB ...]

Prints one line per size: the updater's time and rate, curl's, their ratio, and the
updater's peak resident memory (VmHWM)."""

import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import desktop  # noqa: E402

SETUP = "KolupBench.bin"


def peak_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def run(display, mib, work):
    size = mib * 1024 * 1024
    host = desktop.MakerHost()
    try:
        source = os.path.join(work, SETUP)
        with open(source, "wb") as f:
            f.write(os.urandom(1024 * 1024) * mib)
        host.publish("/kolup/" + SETUP, source=source)
        record = os.path.join(work, "record")
        desktop.make_record("9", desktop.url("/kolup/" + SETUP), size, record)
        host.publish(desktop.RECORD_PATH, source=record)

        started = time.monotonic()
        subprocess.run(["curl", "-s", "-o", os.path.join(work, "curl.bin"),
                        desktop.url("/kolup/" + SETUP)], check=True)
        curl = time.monotonic() - started

        saved = os.path.join(desktop.BUILD, SETUP)
        updater = desktop.Updater(display)
        try:
            updater.press("Command1")
            updater.question()
            started = time.monotonic()
            updater.answer("OK")
            # The setup appears under its name only once all of it has arrived.
            desktop.wait_for(lambda: os.path.exists(saved), timeout=600, interval=0.002)
            took = time.monotonic() - started
            memory = peak_kib(updater.process.pid)
        finally:
            updater.close()
            for stale in (saved, saved + ".part"):
                if os.path.exists(stale):
                    os.remove(stale)
        return took, curl, memory
    finally:
        host.close()


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [1, 256]
    display = desktop.Display()
    work = tempfile.mkdtemp(prefix="kolup-bench-")
    try:
        print("%8s %12s %12s %12s %12s %8s %12s" % ("MiB", "updater s", "updater MB/s",
                                                    "curl s", "curl MB/s", "ratio", "peak KiB"))
        for mib in sizes:
            took, curl, memory = run(display, mib, work)
            print("%8d %12.3f %12.1f %12.3f %12.1f %8.2f %12d" % (
                mib, took, mib * 1.048576 / took, curl, mib * 1.048576 / curl, curl / took,
                memory))
    finally:
        display.close()


if __name__ == "__main__":
    main()
