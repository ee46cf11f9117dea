#!/usr/bin/env python3
"""Plants the small faults listed in scripts/mutations.txt one at a time, rebuilds the unit tests
incrementally (in build-mutate/, unkeyed, apart from build/), runs them, and says of each fault
whether a test caught it. The sources are restored after each fault, whatever happens.

    python3 scripts/mutate.py            every fault (about 20 minutes on two cores)
    python3 scripts/mutate.py binding    the faults whose file or title contains "binding"
                                         (several words: the faults that contain any)
    python3 scripts/mutate.py --check    only that every fault's text still stands in its file

A fault the run reports missed needs a test row, or a "note:" in the list saying why no test
can see it (such faults are listed but not planted)."""

import argparse
import os
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIST = os.path.join(ROOT, "scripts", "mutations.txt")
BUILD = os.path.join(ROOT, "build-mutate")


def faults():
    """The list: blocks of "## title", "file:", "old:", "new:" and an optional "note:"; in old
    and new, \\n stands for a line break."""
    found, current = [], None
    with open(LIST) as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if line.startswith("## "):
                current = {"title": line[3:], "line": number}
                found.append(current)
            elif current is not None and ":" in line and not line.startswith("#"):
                key, value = line.split(":", 1)
                current[key.strip()] = value[1:] if value.startswith(" ") else value
    for fault in found:
        for key in ("old", "new"):
            fault[key] = fault.get(key, "").replace("\\n", "\n")
    return found


def stands(fault):
    path = os.path.join(ROOT, fault.get("file", ""))
    if not os.path.isfile(path):
        return "no file %s" % fault.get("file")
    with open(path) as f:
        count = f.read().count(fault["old"])
    return None if count == 1 else "its text stands %d times in %s" % (count, fault["file"])


def run(command, **options):
    return subprocess.run(command, cwd=ROOT, capture_output=True, text=True, **options)


def unit_tests():
    listed = run(["ctest", "--test-dir", BUILD, "-N"]).stdout
    return re.findall(r"Test +#\d+: (tst_\S+)", listed)


def configure():
    if not os.path.exists(os.path.join(BUILD, "CMakeCache.txt")):
        run(["cmake", "-S", ROOT, "-B", BUILD, "-G", "Unix Makefiles",
             "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True)
    build = run(["cmake", "--build", BUILD, "-j", str(os.cpu_count() or 2)])
    if build.returncode != 0:
        sys.exit("the unchanged sources do not build:\n" + build.stdout[-3000:])
    tests = unit_tests()
    if run(["ctest", "--test-dir", BUILD, "-j", "2", "-R", "^(%s)$" % "|".join(tests)]
           ).returncode != 0:
        sys.exit("the unit tests fail on the unchanged sources: nothing to measure against")
    return tests


def plant(fault, tests):
    """caught, missed or broken (the fault does not build), and the seconds it took."""
    path = os.path.join(ROOT, fault["file"])
    with open(path) as f:
        original = f.read()
    began = time.monotonic()
    try:
        with open(path, "w") as f:
            f.write(original.replace(fault["old"], fault["new"]))
        targets = tests + ["kolup-record"]
        if run(["cmake", "--build", BUILD, "-j", str(os.cpu_count() or 2), "--target",
                *targets]).returncode != 0:
            return "broken", time.monotonic() - began
        result = run(["ctest", "--test-dir", BUILD, "-j", "2", "--stop-on-failure",
                      "--timeout", "60", "-R", "^(%s)$" % "|".join(tests)])
        return ("caught" if result.returncode != 0 else "missed"), time.monotonic() - began
    finally:
        with open(path, "w") as f:
            f.write(original)


def main():
    # Stopped from outside, the planted fault is taken out all the same (plant's finally).
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("only", nargs="*",
                        help="only the faults whose file or title contains any of these")
    parser.add_argument("--check", action="store_true",
                        help="only check that each fault's text stands once in its file")
    arguments = parser.parse_args()
    chosen = [f for f in faults()
              if not arguments.only or any(word in f.get("file", "") + " " + f["title"]
                                           for word in arguments.only)]
    stale = [(f, stands(f)) for f in chosen if stands(f)]
    for fault, why in stale:
        print("stale   %s (line %d): %s" % (fault["title"], fault["line"], why))
    if stale:
        return 2
    planted = [f for f in chosen if "note" not in f]
    print("%d faults in %d files, %d planted, %d noted as no test can see them"
          % (len(chosen), len({f["file"] for f in chosen}), len(planted),
             len(chosen) - len(planted)), flush=True)
    if arguments.check:
        return 0
    tests = configure()
    results = {}
    for fault in planted:
        outcome, seconds = plant(fault, tests)
        results.setdefault(outcome, []).append(fault)
        print("%-7s %s  (%s, %.0f s)" % (outcome, fault["title"], fault["file"], seconds),
              flush=True)
    for fault in chosen:
        if "note" in fault:
            print("noted   %s  (%s): %s" % (fault["title"], fault["file"], fault["note"]))
    caught = len(results.get("caught", []))
    print("caught %d of %d planted faults" % (caught, len(planted)))
    # The build is left as the restored sources would build it.
    run(["cmake", "--build", BUILD, "-j", str(os.cpu_count() or 2)])
    return 0 if caught == len(planted) else 1


if __name__ == "__main__":
    sys.exit(main())
