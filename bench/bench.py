"""Benchmarks of the real updater in a real window (Xvfb) against nginx on 127.0.0.1, each
beside its reference in the same run, repeats interleaved.

    bash scripts/build.sh
    dbus-run-session -- /usr/bin/python3 bench/bench.py [throughput|cancel|startup|idle] [-n N]
        [--updater LABEL=PATH ...] [--to disk|memory]

throughput  the transfer as another process sees it (kolup-watch, by inotify: from the side
            file's appearance to the complete file at the setup's name) against `curl -o` of
            the same 256 MiB file (from its file's appearance to its close), to disk and to
            memory, for each updater
            given (bench/builds.sh COMMIT builds this checkout unkeyed and COMMIT both ways, and
            prints their options); peak memory for 1 and 256 MiB
cancel      a real mouse click on "Cancel Download" to the download loop seeing it, at full
            speed and on a link limited to 1 MB/s
startup     process start to the first paint, against a bare Qt window of the same size
idle        CPU time of 5 s waiting on a link limited to 2 KB/s, against 5 s of the idle window
resume      a 64 MiB setup through a link cut every 16 MiB: bytes fetched over its size, time
            and exactness, against curl --retry 5 (also with --retry-all-errors) and curl -C -
            run until it completes

Timings come from the updater's own clock (steady_clock, the CLOCK_MONOTONIC that Python's
time.monotonic() reads), written when QT_LOGGING_RULES turns on kolup.updater.timing."""

import argparse
import filecmp
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import desktop  # noqa: E402

SETUP = "KolupBench.bin"
SAVED = os.path.join(desktop.PROGRAM_DIR, SETUP)
UPDATERS = {}  # label: program, in the order given
PLACES = ["disk", "memory"]
BARE = os.path.join(desktop.BUILD, "kolup-bare-window")
BARE_CURL = os.path.join(desktop.BUILD, "kolup-bare-window-curl")
WATCH = os.path.join(desktop.BUILD, "kolup-watch")
MIB = 1024 * 1024


def summary(values, unit, scale=1.0):
    values = [v * scale for v in values]
    return "median %.2f %s (range %.2f-%.2f, n=%d)" % (
        statistics.median(values), unit, min(values), max(values), len(values))


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def remove_saved():
    for stale in (SAVED, SAVED + ".part", SAVED + ".part.resume"):
        if os.path.exists(stale):
            os.remove(stale)


def logged(path, pattern, timeout=600):
    """The number in the first line of the updater's log that matches pattern."""
    def find():
        with open(path) as f:
            match = re.search(pattern, f.read())
        return match and int(match.group(1))
    return desktop.wait_for(find, timeout=timeout, interval=0.005)


class Host:
    """The maker's host offering a setup file of the given size at the given rate."""

    def __init__(self, work, size, rate=None, cut_every=None):
        self.host = desktop.MakerHost(rate=rate)
        source = os.path.join(work, SETUP)
        if not os.path.exists(source) or os.path.getsize(source) != size:
            with open(source, "wb") as f:
                # Every MiB its own: a part continued from the wrong offset cannot pass as right.
                for _ in range(size // MIB):
                    f.write(os.urandom(MIB))
        self.source = source
        self.host.publish("/kolup/" + SETUP, source=source)
        # Cut, the setup comes through a link that breaks; the record comes straight.
        self.cutter = desktop.CuttingHost(desktop.HOST_PORT, cut_every) if cut_every else None
        self.url = (self.cutter.url if self.cutter else desktop.url)("/kolup/" + SETUP)
        record = os.path.join(work, "record")
        desktop.make_record("9", self.url, size, record)
        self.host.publish(desktop.RECORD_PATH, source=record, binds=source)

    def close(self):
        if self.cutter:
            self.cutter.close()
        self.host.close()


class Watch:
    """A process of its own that times a download in folder: from the moment a file named first
    appears there to the moment a complete file stands at last (renamed there, or closed)."""

    def __init__(self, folder, first, last):
        self.process = subprocess.Popen([WATCH, folder, first, last], stdout=subprocess.PIPE,
                                        text=True)
        if self.process.stdout.readline().strip() != "ready":
            raise RuntimeError("kolup-watch did not start")

    def seconds(self, timeout=600):
        out, _ = self.process.communicate(timeout=timeout)
        return int(out) / 1e6


def start_download(display, work, name, program=None):
    """An updater that has been told to download; its log file's path."""
    if program:
        use(program)
    remove_saved()
    log_path = os.path.join(work, name + ".log")
    log = open(log_path, "w")
    updater = desktop.Updater(display, log=log)
    log.close()
    updater.press("Command1")
    updater.question()
    press_key("Return", updater.display)  # the question's default button, OK
    return updater, log_path


def use(program):
    """The updater the next start_download starts; it saves the setup beside itself."""
    global SAVED
    desktop.UPDATER = program
    SAVED = os.path.join(os.path.dirname(program), SETUP)


def minisign_verify(path, signature):
    """Seconds minisign takes to verify path: nearly all of it libsodium's BLAKE2b-512."""
    public = os.path.join(os.path.dirname(desktop.SECRET_KEY), "minisign.pub")
    began = time.monotonic()
    subprocess.run(["minisign", "-V", "-q", "-p", public, "-m", path, "-x", signature],
                   check=True, stdout=subprocess.DEVNULL)
    return time.monotonic() - began


def mb_per_s(seconds):
    return [256 * 1.048576 / t for t in seconds]


def throughput(display, work, repeats):
    """Each updater of --updater (or build/'s alone) and curl, to each place of --to, the
    repeats interleaved: curl, then every updater in an order that turns each round."""
    rows = []
    subprocess.run(["cmake", "--build", desktop.BUILD, "--target", "kolup-watch"], check=True,
                   capture_output=True)
    host = Host(work, 256 * MIB)
    # What a careful user does by hand: download, then verify the maker's signature.
    signature = None
    if os.path.exists(desktop.SECRET_KEY):
        signature = os.path.join(work, "setup.minisig")
        subprocess.run(["minisign", "-S", "-s", desktop.SECRET_KEY, "-m", host.source, "-x",
                        signature], check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL)
    memory_256 = None
    try:
        for place in PLACES:
            programs = dict(UPDATERS)
            output_dir = work
            if place == "memory":
                # Copies in /dev/shm save there, as curl does: the transfer without the disk.
                output_dir = tempfile.mkdtemp(prefix="kolup-bench-", dir="/dev/shm")
                for index, (label, program) in enumerate(UPDATERS.items()):
                    folder = os.path.join(output_dir, str(index))
                    os.mkdir(folder)
                    programs[label] = shutil.copy(program, folder)
            ours = {label: [] for label in programs}
            theirs, verifies = [], []
            try:
                for repeat in range(repeats):
                    os.sync()
                    output = os.path.join(output_dir, "curl.bin")
                    watch = Watch(output_dir, "curl.bin", "curl.bin")
                    subprocess.run(["curl", "-s", "-o", output, desktop.url("/kolup/" + SETUP)],
                                   check=True)
                    theirs.append(watch.seconds())
                    if signature and place == PLACES[0]:
                        verifies.append(minisign_verify(output, signature))
                    os.remove(output)
                    labels = list(programs)
                    labels = labels[repeat % len(labels):] + labels[:repeat % len(labels)]
                    for label in labels:
                        os.sync()
                        use(programs[label])
                        remove_saved()
                        watch = Watch(os.path.dirname(SAVED), SETUP + ".part", SETUP)
                        updater, log = start_download(display, work, "throughput")
                        try:
                            mine = watch.seconds()
                            memory_256 = memory_256 or peak_kib(updater.process.pid)
                        finally:
                            updater.close()
                            remove_saved()
                        ours[label].append(mine)
                        if os.environ.get("BENCH_VERBOSE"):
                            print("  %s, %s: %.3f s, curl %.3f s" % (label, place, mine,
                                                                     theirs[-1]), flush=True)
            finally:
                if output_dir != work:
                    shutil.rmtree(output_dir, ignore_errors=True)
            rows.append("256 MiB to %s, curl -o: %s" % (place, summary(mb_per_s(theirs), "MB/s")))
            for label, times in ours.items():
                rows.append("256 MiB to %s, %s: %s, / curl: %s"
                            % (place, label, summary(mb_per_s(times), "MB/s"),
                               summary([c / t for c, t in zip(theirs, times)], "x")))
            if verifies:
                both = [c + v for c, v in zip(theirs, verifies)]
                rows.append("256 MiB to %s, curl -o then minisign -Vm: %s"
                            % (place, summary(mb_per_s(both), "MB/s")))
                rows.append("BLAKE2b-512 alone (minisign -Vm of the file in memory): %s"
                            % summary(mb_per_s(verifies), "MB/s"))
    finally:
        host.close()
    host = Host(work, MIB)
    try:
        updater, log = start_download(display, work, "small", next(iter(UPDATERS.values())))
        logged(log, r"transfer of \d+ bytes took (\d+) us")
        memory_1 = peak_kib(updater.process.pid)
        updater.close()
        remove_saved()
    finally:
        host.close()
    rows.append("peak memory: %d KiB at 1 MiB, %d KiB at 256 MiB (%+d KiB)"
                % (memory_1, memory_256, memory_256 - memory_1))
    return rows


def press_key(key, display):
    """A real key press through XTEST, to the window that has the focus."""
    from Xlib import XK, X, display as xdisplay
    from Xlib.ext import xtest
    d = xdisplay.Display(display.name)
    code = d.keysym_to_keycode(XK.string_to_keysym(key))
    xtest.fake_input(d, X.KeyPress, code)
    xtest.fake_input(d, X.KeyRelease, code)
    d.sync()
    d.close()


def click_now(updater, name):
    """A real mouse click through XTEST; the monotonic time just before it was sent."""
    from Xlib import X, display as xdisplay
    from Xlib.ext import xtest
    d = xdisplay.Display(updater.display.name)
    root = d.screen().root
    window = d.create_resource_object("window", int(updater.window_id()))
    origin = root.translate_coords(window, 0, 0)
    x, y = updater.centre(name)
    xtest.fake_input(d, X.MotionNotify, x=origin.x + x, y=origin.y + y)
    d.sync()
    sent = time.monotonic()
    xtest.fake_input(d, X.ButtonPress, 1)
    xtest.fake_input(d, X.ButtonRelease, 1)
    d.sync()
    d.close()
    return sent


def cancel(display, work, repeats):
    rows = []
    for label, size, rate in (("full speed", 256 * MIB, None), ("1 MB/s", 64 * MIB, MIB)):
        host = Host(work, size, rate)
        latencies = []
        try:
            for _ in range(repeats):
                updater, log = start_download(display, work, "cancel")
                try:
                    updater.centre("Command2")  # asked before the moment is chosen
                    part = SAVED + ".part"
                    desktop.wait_for(lambda: os.path.exists(part) and os.path.getsize(part)
                                     >= (16 * MIB if rate is None else 1),
                                     timeout=60, interval=0.001)
                    if rate:
                        time.sleep(random.uniform(0.2, 1.2))  # a moment between bursts
                    sent = click_now(updater, "Command2")
                    seen = logged(log, r"cancel seen at (\d+) us", timeout=30) / 1e6
                    latencies.append(seen - sent)
                    updater.wait_text("Label11", "DOWNLOADING CANCEL..")
                finally:
                    updater.close()
                    remove_saved()
        finally:
            host.close()
        rows.append("cancel at %s: %s, max %.1f ms" % (label, summary(latencies, "ms", 1000),
                                                       max(latencies) * 1000))
    return rows


def first_paint(program, display):
    env = display.env()
    env.pop("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", None)
    env["QT_LOGGING_RULES"] = "kolup.updater.timing.debug=true"
    started = time.monotonic()
    process = subprocess.Popen([program], env=env, stderr=subprocess.PIPE, text=True)
    for line in process.stderr:
        match = re.search(r"first paint at (\d+) us", line)
        if match:
            break
    process.terminate()
    process.wait(10)
    return int(match.group(1)) / 1e6 - started


def startup(display, work, repeats):
    subprocess.run(["cmake", "--build", desktop.BUILD, "--target", "kolup-bare-window",
                    "kolup-bare-window-curl"], check=True, capture_output=True)
    bare, bare_curl, ours = [], [], []
    for program in (BARE, BARE_CURL, desktop.UPDATER):
        first_paint(program, display)  # the libraries into the page cache
    for _ in range(repeats):
        bare.append(first_paint(BARE, display))
        bare_curl.append(first_paint(BARE_CURL, display))
        ours.append(first_paint(desktop.UPDATER, display))
    return ["start-up to first paint, bare Qt window: %s" % summary(bare, "ms", 1000),
            "start-up to first paint, bare Qt window linked with libcurl: %s"
            % summary(bare_curl, "ms", 1000),
            "start-up to first paint, updater: %s" % summary(ours, "ms", 1000),
            "updater / bare: %s" % summary([o / b for o, b in zip(ours, bare)], "x"),
            "updater / bare with libcurl: %s"
            % summary([o / b for o, b in zip(ours, bare_curl)], "x")]


def idle(display, work, repeats):
    host = Host(work, MIB, rate=2048)
    idle_cpu, waiting_cpu = [], []
    try:
        for _ in range(repeats):
            remove_saved()
            log = open(os.path.join(work, "idle.log"), "w")
            updater = desktop.Updater(display, log=log)
            log.close()
            try:
                pid = updater.process.pid
                desktop.wait_for(lambda: updater.text("Label2"))
                before = cpu_seconds(pid)
                time.sleep(5)  # the measured span, not a synchronisation
                idle_cpu.append(cpu_seconds(pid) - before)
                updater.press("Command1")
                updater.answer("OK")
                desktop.wait_for(lambda: os.path.exists(SAVED + ".part"), interval=0.01)
                before = cpu_seconds(pid)
                time.sleep(5)
                waiting_cpu.append(cpu_seconds(pid) - before)
            finally:
                updater.close()
                remove_saved()
    finally:
        host.close()
    return ["CPU in 5 s, idle window: %s" % summary(idle_cpu, "ms", 1000),
            "CPU in 5 s, waiting on a 2 KB/s link: %s" % summary(waiting_cpu, "ms", 1000)]


def same_file(a, b):
    return os.path.exists(a) and filecmp.cmp(a, b, shallow=False)


def resume(display, work, repeats):
    """A 64 MiB setup through a link that the host cuts every 16 MiB: the updater against
    curl --retry 5 and against curl -C - run again until it completes, interleaved. Each gets
    the bytes fetched over the file's size, its time, and whether it ended with the exact
    file."""
    size = 64 * MIB
    host = Host(work, size, cut_every=16 * MIB)
    output = os.path.join(work, "curl.bin")

    def updater():
        remove_saved()
        began = host.cutter.body_bytes
        running, log = start_download(display, work, "resume")
        try:
            took = logged(log, r"transfer of \d+ bytes took (\d+) us") / 1e6
        finally:
            running.close()
        return took, host.cutter.body_bytes - began, same_file(SAVED, host.source)

    def curl(*options, again=1):
        if os.path.exists(output):
            os.remove(output)
        began, start = host.cutter.body_bytes, time.monotonic()
        for _ in range(again):
            if subprocess.run(["curl", "-s", *options, "-o", output, host.url]).returncode == 0:
                break
        return (time.monotonic() - start, host.cutter.body_bytes - began,
                same_file(output, host.source))

    ways = {"updater": updater,
            "curl --retry 5": lambda: curl("--retry", "5"),
            # Told to retry a cut transfer too: it starts over, and is cut at the same place.
            "curl --retry 5 --retry-all-errors": lambda: curl("--retry", "5",
                                                              "--retry-all-errors"),
            "curl -C - until complete": lambda: curl("-C", "-", again=20)}
    results = {name: [] for name in ways}
    try:
        for repeat in range(repeats):
            names = list(ways)
            for name in names[repeat % len(names):] + names[:repeat % len(names)]:
                results[name].append(ways[name]())
    finally:
        host.close()
        remove_saved()
    rows = []
    for name, runs in results.items():
        rows.append("64 MiB cut every 16 MiB, %s: exact %d of %d, fetched / size %s, %s"
                    % (name, sum(1 for run in runs if run[2]), len(runs),
                       summary([run[1] / size for run in runs], "x"),
                       summary([run[0] for run in runs], "s")))
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("which", nargs="*", default=["throughput", "cancel", "startup", "idle"])
    parser.add_argument("-n", type=int, default=7, help="repeats (at least 5)")
    parser.add_argument("--updater", action="append", metavar="LABEL=PATH",
                        help="throughput: an updater to compare, by a label (repeatable; "
                             "bench/builds.sh prints them); build/'s when none is given")
    parser.add_argument("--to", action="append", choices=["disk", "memory"],
                        help="throughput: where the setup and curl's copy are written (both "
                             "when not given); memory runs copies of the updaters from /dev/shm")
    args = parser.parse_args()
    global PLACES
    PLACES = args.to or ["disk", "memory"]
    for option in args.updater or ["updater=" + desktop.UPDATER]:
        label, program = option.split("=", 1)
        UPDATERS[label] = os.path.abspath(program)
    use(next(iter(UPDATERS.values())))
    display = desktop.Display()
    work = tempfile.mkdtemp(prefix="kolup-bench-")
    try:
        desktop.set_installed_version("1.2")
        for which in args.which:
            for row in globals()[which](display, work, max(5, args.n)):
                print(row, flush=True)
    finally:
        display.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
