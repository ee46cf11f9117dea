#!/usr/bin/python3
"""Builds the Windows installer, kolup-updater-VERSION-x64.msi, from a Windows build: the files
its install rules name (the two programs, the licence and the README), packed with wixl from
data/windows/kolup-updater.wxs.

usage: make-msi.py BUILD OUTPUT [--version V]

V is the build's own version unless given (the tests make a "newer" package of the same build).

Built from the same commit and files, the package is the same bytes wherever and whenever it is
built. wixl stamps each package with a random revision (the package code) and the time of the
build, and its cabinet takes the files' times; here the files are given SOURCE_DATE_EPOCH (or
the last commit's time) before packing, and the summary information is stamped afterwards with
that time and a revision drawn from the version, the commit and the files. The same stamp sets
the summary's "elevation not required" bit, which wixl cannot: without it a per-user install
would ask for an administrator like a per-machine one."""

import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid

import olefile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = os.path.join(ROOT, "data", "windows", "kolup-updater.wxs")
ICON = os.path.join(ROOT, "resources", "icon.ico")
METAINFO = os.path.join(ROOT, "data", "kolup-updater.metainfo.xml")
# The namespace of the product and package codes drawn below; never changed.
CODES = uuid.UUID("6b1c2d0e-3f4a-4b5c-8d6e-7f8091a2b3c4")

SUMMARY = "\x05SummaryInformation"
PID_REVISION, PID_CREATED, PID_SAVED, PID_WORD_COUNT = 9, 12, 13, 15
VT_I4, VT_LPSTR, VT_FILETIME = 3, 30, 64
# Word count bit 3: elevated privileges are not required (the installer elevates per machine).
NO_ELEVATION_NEEDED = 8


def git(*args):
    return subprocess.run(["git", "-C", ROOT, *args], capture_output=True, text=True,
                          check=True).stdout.strip()


def epoch():
    return int(os.environ.get("SOURCE_DATE_EPOCH") or git("log", "-1", "--format=%ct"))


def build_version(build):
    with open(os.path.join(build, "CMakeCache.txt")) as cache:
        found = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", cache.read(), re.M)
    if not found:
        sys.exit("make-msi: no project version in %s" % build)
    return found.group(1)


def homepage():
    with open(METAINFO) as f:
        found = re.search(r'<url type="homepage">([^<]+)</url>', f.read())
    return found.group(1) if found else None


def stage(build, folder, when):
    """The files the build installs, in folder, all given the commit's time; their digest."""
    subprocess.run(["cmake", "--install", build, "--prefix", folder], check=True,
                   stdout=subprocess.DEVNULL)
    digest = hashlib.sha256()
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        os.utime(path, (when, when))
        with open(path, "rb") as f:
            digest.update(name.encode() + b"\0" + hashlib.sha256(f.read()).digest())
    return digest.hexdigest()


def filetime(when):
    return (when + 11644473600) * 10_000_000


def summary_properties(data):
    """The summary information's properties: id -> (offset of its value, type)."""
    if len(data) < 48 or struct.unpack_from("<H", data, 0)[0] != 0xFFFE:
        raise ValueError("not a property set")
    section = struct.unpack_from("<I", data, 44)[0]
    count = struct.unpack_from("<I", data, section + 4)[0]
    found = {}
    for i in range(count):
        pid, offset = struct.unpack_from("<II", data, section + 8 + 8 * i)
        found[pid] = (section + offset + 4, struct.unpack_from("<I", data, section + offset)[0])
    return found


def read_summary(path):
    """The package's revision, creation and save times (Unix) and word count."""
    with olefile.OleFileIO(path) as ole:
        data = ole.openstream(SUMMARY).read()
    props = summary_properties(data)

    def value(pid, vt):
        at, kind = props[pid]
        if kind != vt:
            raise ValueError("summary property %d has type %d" % (pid, kind))
        if vt == VT_LPSTR:
            size = struct.unpack_from("<I", data, at)[0]
            return data[at + 4:at + 4 + size].rstrip(b"\0").decode()
        if vt == VT_FILETIME:
            return struct.unpack_from("<Q", data, at)[0] // 10_000_000 - 11644473600
        return struct.unpack_from("<i", data, at)[0]

    return (value(PID_REVISION, VT_LPSTR), value(PID_CREATED, VT_FILETIME),
            value(PID_SAVED, VT_FILETIME), value(PID_WORD_COUNT, VT_I4))


def stamp(path, revision, when):
    """Writes revision, the time and the word count bit into the summary information, in place:
    each value keeps its size, so nothing else in the file moves."""
    with olefile.OleFileIO(path, write_mode=True) as ole:
        data = bytearray(ole.openstream(SUMMARY).read())
        props = summary_properties(data)
        for pid, vt in ((PID_REVISION, VT_LPSTR), (PID_CREATED, VT_FILETIME),
                        (PID_SAVED, VT_FILETIME), (PID_WORD_COUNT, VT_I4)):
            if props.get(pid, (0, None))[1] != vt:
                raise ValueError("wixl wrote no summary property %d of type %d" % (pid, vt))
        at = props[PID_REVISION][0]
        text = ("{%s}" % str(revision).upper()).encode() + b"\0"
        if struct.unpack_from("<I", data, at)[0] != len(text):
            raise ValueError("the revision wixl wrote is not a package code")
        data[at + 4:at + 4 + len(text)] = text
        for pid in (PID_CREATED, PID_SAVED):
            struct.pack_into("<Q", data, props[pid][0], filetime(when))
        at = props[PID_WORD_COUNT][0]
        struct.pack_into("<i", data, at, struct.unpack_from("<i", data, at)[0] | NO_ELEVATION_NEEDED)
        ole.write_stream(SUMMARY, bytes(data))


def make(build, output, version=None):
    version = version or build_version(build)
    when = epoch()
    with tempfile.TemporaryDirectory(prefix="kolup-msi-") as work:
        files = os.path.join(work, "files")
        payload = stage(build, files, when)
        product = uuid.uuid5(CODES, "product " + version)
        package = uuid.uuid5(CODES, "package %s %s %s" % (version, git("rev-parse", "HEAD"),
                                                           payload))
        # wixl finds files only by names relative to the source's folder: all in one.
        shutil.copyfile(SOURCE, os.path.join(work, "kolup-updater.wxs"))
        shutil.copyfile(ICON, os.path.join(work, "kolup-updater.ico"))
        defines = {"Version": version, "ProductCode": str(product).upper(), "Files": "files",
                   "Icon": "kolup-updater.ico"}
        link = homepage()
        if link:
            defines.update(HelpLink=link, UpdateLink=link)
        command = ["wixl", "-a", "x64", "-o", os.path.join(work, "out.msi"),
                   os.path.join(work, "kolup-updater.wxs")]
        for name, value in defines.items():
            command += ["-D", "%s=%s" % (name, value)]
        # The cabinet keeps local times: the same everywhere in UTC.
        built = subprocess.run(command, env={**os.environ, "TZ": "UTC"}, capture_output=True,
                               text=True)
        if built.returncode != 0:
            sys.exit("make-msi: wixl failed:\n" + built.stderr)
        stamp(os.path.join(work, "out.msi"), package, when)
        shutil.move(os.path.join(work, "out.msi"), output)
    return output


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("output")
    parser.add_argument("--version")
    args = parser.parse_args()
    make(args.build, args.output, args.version)


if __name__ == "__main__":
    main()
