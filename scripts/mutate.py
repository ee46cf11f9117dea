#!/usr/bin/env python3
"""Plants the small faults listed in scripts/mutations.txt one at a time, rebuilds the unit tests
incrementally (in build-mutate/, unkeyed, apart from build/), runs them, and says of each fault
whether a test caught it. The sources are restored after each fault, whatever happens.

    python3 scripts/mutate.py            every fault (about 20 minutes on two cores)
    python3 scripts/mutate.py binding    the faults whose file or title contains "binding"
                                         (several words: the faults that contain any)
    python3 scripts/mutate.py --check    only that every fault's text still stands in its file
    python3 scripts/mutate.py --diff BASE [--sample 60] [--seed 1] [PATH ...]
                                         faults made by rule from the lines of the program (not
                                         its tests) that changed since BASE, under PATH when
                                         given: a sample of them, each planted alone

Made by rule, as mutation tools make them: a comparison flipped or moved by one, a condition
negated or dropped, a guard's early return removed, a constant off by one, && and || swapped,
a call's result ignored. The hand-written list keeps the faults no operator makes.

A fault the run reports missed needs a test row, or a "note:" in the list saying why no test
can see it (such faults are listed but not planted)."""

import argparse
import os
import random
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
            f.write(fault["old"] if fault.get("whole") else
                    original.replace(fault["old"], fault["new"]))
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


SOURCES = ("app/", "download/", "update/", "os/", "tools/")


def changed_lines(base, paths):
    """(file, line number, text) of every line of the program added since base."""
    diff = run(["git", "diff", "-U0", base, "--", *(paths or SOURCES)]).stdout
    found, path, number = [], None, 0
    for line in diff.splitlines():
        if line.startswith("+++ "):
            path = line[6:] if line.startswith("+++ b/") else None
            if path and (not path.endswith((".cpp", ".h")) or path.startswith("tests/")):
                path = None
        elif line.startswith("@@"):
            number = int(re.search(r"\+(\d+)", line).group(1))
        elif line.startswith("+") and path:
            found.append((path, number, line[1:]))
            number += 1
    return found


COMPARISONS = {"==": "!=", "!=": "==", "<=": "<", ">=": ">", "<": "<=", ">": ">="}


def operators(text, following):
    """The faults the operators make of one line: (what, the line as it becomes)."""
    code = text.split("//")[0]
    stripped = code.strip()
    if not stripped or stripped.startswith(("#", "*", "/*", '"')):
        return []
    made = []
    # Outside string and character literals only.
    parts = re.split(r'("(?:[^"\\]|\\.)*"|\'(?:[^\'\\]|\\.)+\')', code)

    def each(pattern, replace, what):
        for i in range(0, len(parts), 2):
            for match in re.finditer(pattern, parts[i]):
                changed = list(parts)
                changed[i] = parts[i][:match.start()] + replace(match) + parts[i][match.end():]
                made.append((what, "".join(changed) + text[len(code):]))

    each(r"(?<![<>=!&|-])(==|!=|<=|>=)(?!=)", lambda m: COMPARISONS[m.group(1)],
         "comparison flipped")
    each(r"(?<=[\w)\]] )(<|>)(?= [\w(!-])", lambda m: COMPARISONS[m.group(1)],
         "comparison moved by one")
    each(r"&&|\|\|", lambda m: "||" if m.group(0) == "&&" else "&&", "&& and || swapped")
    each(r"(?<![\w.])(\d+)(?![\w.])", lambda m: str(int(m.group(1)) + 1),
         "constant off by one")
    condition = re.match(r"^(\s*(?:\} else )?if \()(.*)(\) \{)$", code)
    if condition:
        head, inner, tail = condition.groups()
        made.append(("condition negated", head + "!(" + inner + ")" + tail))
        made.append(("condition dropped", head + "false" + tail))
        call = re.match(r"^!([\w:.>-]+\(.*\))$", inner)
        if call:
            made.append(("call's result ignored",
                         head + "((void)" + call.group(1) + ", false)" + tail))
    if re.match(r"^\s*return\b.*;$", code) and following.strip() == "}":
        made.append(("guard's early return removed", ""))
    return made


def generated(base, paths):
    faults_made = []
    for path, number, text in changed_lines(base, paths):
        with open(os.path.join(ROOT, path)) as f:
            lines = f.read().split("\n")
        if number - 1 >= len(lines) or lines[number - 1] != text:
            continue
        following = lines[number] if number < len(lines) else ""
        previous = lines[number - 2] if number >= 2 else ""
        for what, new in operators(text, following):
            if what == "guard's early return removed" and not re.match(
                    r"^\s*(\} else )?if \(", previous):
                continue
            faults_made.append({"title": "%s at %s:%d" % (what, path, number), "file": path,
                                "line_number": number, "old_line": text, "new_line": new})
    return faults_made


def plant_line(fault, tests):
    """plant() for a fault made by rule: one whole line replaced."""
    path = os.path.join(ROOT, fault["file"])
    with open(path) as f:
        lines = f.read().split("\n")
    lines[fault["line_number"] - 1] = fault["new_line"]
    return plant(dict(fault, old="\n".join(lines), whole=True), tests)


def by_rule(arguments):
    made = generated(arguments.diff, arguments.only)
    sample = random.Random(arguments.seed).sample(made, min(arguments.sample, len(made)))
    print("%d faults made by rule from the lines changed since %s; planting %d"
          % (len(made), arguments.diff, len(sample)), flush=True)
    tests = configure()
    survivors, counts = [], {}
    for fault in sample:
        outcome, seconds = plant_line(fault, tests)
        counts[outcome] = counts.get(outcome, 0) + 1
        print("%-7s %s  (%.0f s)" % (outcome, fault["title"], seconds), flush=True)
        if outcome == "missed":
            survivors.append(fault)
    for fault in survivors:
        print("survived %s\n    was: %s\n    now: %s"
              % (fault["title"], fault["old_line"].strip(), fault["new_line"].strip()))
    built = counts.get("caught", 0) + counts.get("missed", 0)
    print("caught %d of %d that built (%d did not build)"
          % (counts.get("caught", 0), built, counts.get("broken", 0)))
    run(["cmake", "--build", BUILD, "-j", str(os.cpu_count() or 2)])
    return 0 if not survivors else 1


def main():
    # Stopped from outside, the planted fault is taken out all the same (plant's finally).
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("only", nargs="*",
                        help="only the faults whose file or title contains any of these")
    parser.add_argument("--check", action="store_true",
                        help="only check that each fault's text stands once in its file")
    parser.add_argument("--diff", metavar="BASE",
                        help="faults made by rule from the lines changed since BASE")
    parser.add_argument("--sample", type=int, default=60)
    parser.add_argument("--seed", type=int, default=1)
    arguments = parser.parse_args()
    if arguments.diff:
        return by_rule(arguments)
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
