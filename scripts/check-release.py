#!/usr/bin/env python3
"""Checks what a release ships for the regressions that make two builds of one commit differ,
without a second build: a build folder's path inside a program, a PE header stamped with the
time of the build, an archive member newer than the commit.

usage: check-release.py [--epoch N] [--path DIR]... [--except TEXT]... FILE...

FILE is a .deb, a .zip, an .msi or a program. The epoch is SOURCE_DATE_EPOCH, or the last commit's time
when it is unset. --except takes out a text the build was given on purpose (a test build's
engine file inside its build folder) before the paths are looked for."""

import argparse
import calendar
import io
import os
import struct
import subprocess
import sys
import tarfile
import zipfile
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def commit_time():
    return int(subprocess.run(["git", "-C", ROOT, "log", "-1", "--format=%ct"],
                              capture_output=True, text=True, check=True).stdout)


def pe_time_stamp(data):
    """The COFF header's TimeDateStamp, or None for a file that is not a PE image."""
    if data[:2] != b"MZ" or len(data) < 0x40:
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<I", data, pe + 8)[0]


def ar_members(data):
    """The members of a .deb (an ar archive): name, modification time, bytes."""
    if data[:8] != b"!<arch>\n":
        raise ValueError("not an ar archive")
    at = 8
    while at + 60 <= len(data):
        header = data[at:at + 60]
        size = int(header[48:58])
        yield header[:16].decode().strip().rstrip("/"), int(header[16:28]), \
            data[at + 60:at + 60 + size]
        at += 60 + size + (size & 1)


def members(name, data):
    """Every file inside FILE, nested archives opened: name, time or None, bytes."""
    if name.endswith(".deb"):
        for member, mtime, content in ar_members(data):
            yield name + ":" + member, mtime, content
            if ".tar" in member:
                with tarfile.open(fileobj=io.BytesIO(content)) as tar:
                    for info in tar:
                        data = tar.extractfile(info).read() if info.isfile() else b""
                        yield name + ":" + member + ":" + info.name, info.mtime, data
    elif name.endswith(".msi"):
        yield from msi_members(name, data)
    elif name.endswith(".zip"):
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            for info in archive.infolist():
                yield name + ":" + info.filename, zip_time(info), archive.read(info)
    else:
        yield name, None, data


def msi_members(name, data):
    """An installer's streams, the files in its cabinets, and its summary's two times."""
    import olefile  # Debian's python3-olefile, only for installers

    with olefile.OleFileIO(data) as ole:
        created, saved = ole.get_metadata().create_time, ole.get_metadata().last_saved_time
        for when, what in ((created, "created"), (saved, "saved")):
            yield name + ":summary " + what, calendar.timegm(when.timetuple()), b""
        for entry in ole.listdir():
            content = ole.openstream(entry).read()
            stream = name + ":" + msi_stream_name("/".join(entry))
            yield stream, None, content
            if content[:4] == b"MSCF":
                for member, mtime, inner in cab_members(content):
                    yield stream + ":" + member, mtime, inner


def msi_stream_name(name):
    """A stream's name as the installer wrote it: table names are packed two characters to a
    code point in a private range."""
    alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._"
    out = ""
    for char in name:
        code = ord(char)
        if 0x3800 <= code < 0x4800:
            out += alphabet[(code - 0x3800) & 0x3F] + alphabet[(code - 0x3800) >> 6]
        elif 0x4800 <= code < 0x4840:
            out += alphabet[code - 0x4800]
        elif code == 0x4840:
            out += "!"
        else:
            out += char
    return out


def cab_members(data):
    """The files of a cabinet, stored or MSZIP (deflate blocks, each continuing the last's
    window): name, time (the DOS time read as UTC), bytes."""
    files_at, = struct.unpack_from("<I", data, 16)
    folders, count, flags = struct.unpack_from("<HHH", data, 26)
    at, folder_reserve, data_reserve = 36, 0, 0
    if flags & 3:
        raise ValueError("a cabinet in a set")
    if flags & 4:
        header_reserve, folder_reserve, data_reserve = struct.unpack_from("<HBB", data, 36)
        at = 40 + header_reserve
    contents = []
    for _ in range(folders):
        where, blocks, kind = struct.unpack_from("<IHH", data, at)
        at += 8 + folder_reserve
        out = bytearray()
        for _ in range(blocks):
            size, = struct.unpack_from("<H", data, where + 4)
            block = data[where + 8 + data_reserve:where + 8 + data_reserve + size]
            where += 8 + data_reserve + size
            if kind & 0xF == 0:
                out += block
            elif kind & 0xF == 1 and block[:2] == b"CK":
                window = bytes(out[-32768:])
                inflate = zlib.decompressobj(-15, zdict=window) if window else \
                    zlib.decompressobj(-15)
                out += inflate.decompress(block[2:]) + inflate.flush()
            else:
                raise ValueError("a cabinet compressed with method %d" % kind)
        contents.append(bytes(out))
    at = files_at
    for _ in range(count):
        size, offset, folder, date, time = struct.unpack_from("<IIHHH", data, at)
        end = data.index(b"\0", at + 16)
        member = data[at + 16:end].decode("utf-8", "replace")
        at = end + 1
        mtime = calendar.timegm((1980 + (date >> 9), (date >> 5) & 15, date & 31, time >> 11,
                                 (time >> 5) & 63, (time & 31) * 2))
        yield member, mtime, contents[folder][offset:offset + size]


def zip_time(info):
    """The member's Unix time from its extended-timestamp field (0x5455), which zip writers
    add beside the local DOS time; None when it has none."""
    extra = info.extra
    while len(extra) >= 4:
        tag, size = struct.unpack_from("<HH", extra)
        if tag == 0x5455 and size >= 5 and extra[4] & 1:
            return struct.unpack_from("<I", extra, 5)[0]
        extra = extra[4 + size:]
    return None


def problems(files, epoch, paths, exceptions):
    needles = [encoded for path in paths for encoded in
               (path.encode(), path.encode("utf-16-le"))]
    for file in files:
        with open(file, "rb") as f:
            data = f.read()
        for name, mtime, content in members(os.path.basename(file), data):
            if mtime is not None and mtime > epoch:
                yield "%s: modified at %d, after %d" % (name, mtime, epoch)
            stamp = pe_time_stamp(content)
            if stamp is not None and stamp != epoch:
                yield "%s: the PE header's time stamp is %d, not %d" % (name, stamp, epoch)
            for text in exceptions:
                content = content.replace(text.encode(), b"")
            for needle in needles:
                if needle in content:
                    yield "%s: holds the build path %r" % (name, needle)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--epoch", type=int)
    parser.add_argument("--path", action="append", default=[])
    parser.add_argument("--except", dest="exceptions", action="append", default=[])
    parser.add_argument("files", nargs="+")
    options = parser.parse_args()
    epoch = options.epoch
    if epoch is None:
        epoch = int(os.environ.get("SOURCE_DATE_EPOCH") or commit_time())
    found = list(problems(options.files, epoch, options.path, options.exceptions))
    for problem in found:
        print(problem, file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
