"""What Windows and its users see of the two built programs before either runs a line: the DLLs
they import at load time, their PE header's hardening, their manifests and version resources,
an Authenticode signature made the way scripts/package.sh makes the maker's, nothing in the zip
or the installer that another build of the commit would make otherwise; and, under Wine, kolup-record taking a
file name in any script."""

import glob
import os
import struct
import subprocess
import sys
import tempfile
import unittest

UPDATER, RECORD = sys.argv[1:3]
del sys.argv[1:3]
ROOT = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))

# Windows 10 and 11's KnownDLLs: loaded from the system folder only, whatever lies beside a
# program. Anything else imported at load time would be looked for beside it first.
KNOWN_DLLS = {
    "advapi32", "clbcatq", "combase", "comdlg32", "coml2", "difxapi", "gdi32", "gdiplus",
    "imagehlp", "imm32", "kernel32", "msctf", "msvcrt", "normaliz", "nsi", "ole32", "oleaut32",
    "psapi", "rpcrt4", "sechost", "setupapi", "shcore", "shell32", "shlwapi", "user32",
    "wldap32", "ws2_32",
}
HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT, TERMINAL_SERVER_AWARE = 0x20, 0x40, 0x100, 0x8000
RELOCS_STRIPPED = 0x1


def make_msi(folder, name="kolup-updater"):
    """The installer of the build, as scripts/package.sh makes it."""
    path = os.path.join(folder, name + ".msi")
    run(sys.executable, os.path.join(ROOT, "scripts", "make-msi.py"), os.path.dirname(UPDATER),
        path, check=True)
    return path


def pe_flags(path):
    """The COFF characteristics and the optional header's DLL characteristics."""
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0"
    characteristics = struct.unpack_from("<H", data, pe + 22)[0]
    magic, = struct.unpack_from("<H", data, pe + 24)
    assert magic == 0x20B  # PE32+
    return characteristics, struct.unpack_from("<H", data, pe + 24 + 70)[0]


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


class Programs(unittest.TestCase):
    def test_load_time_imports_are_known_dlls(self):
        for program in (UPDATER, RECORD):
            dump = run("x86_64-w64-mingw32-objdump", "-p", program, check=True).stdout
            imported = {line.split(":", 1)[1].strip().lower().removesuffix(".dll")
                        for line in dump.splitlines() if "DLL Name:" in line}
            self.assertTrue(imported)
            self.assertLessEqual(imported, KNOWN_DLLS, program)

    def test_hardened(self):
        for program in (UPDATER, RECORD):
            characteristics, dll = pe_flags(program)
            for flag in (HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT, TERMINAL_SERVER_AWARE):
                self.assertTrue(dll & flag, "%s lacks %#x" % (program, flag))
            self.assertFalse(characteristics & RELOCS_STRIPPED, program)
            symbols = run("x86_64-w64-mingw32-nm", program, check=True).stdout.split()
            self.assertIn("__stack_chk_guard", symbols, program)  # stack protectors

    def test_manifest_and_version(self):
        for program, description in ((UPDATER, "Kolup Updater"),
                                     (RECORD, "kolup-record, the maker's tool")):
            with open(program, "rb") as f:
                data = f.read()
            for text in (b'requestedExecutionLevel level="asInvoker"',
                         b"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
                         b">true</longPathAware>"):
                self.assertTrue(text in data, "%s lacks %s" % (program, text))
            # Schannel trusts Windows' own certificate store: no Linux CA file compiled in.
            self.assertFalse(b"/etc/ssl/" in data, program)
            for name, value in (("ProductName", "Kolup Updater"), ("FileVersion", "1.0"),
                                ("CompanyName", "The Kolup Updater developers"),
                                ("FileDescription", description)):
                for text in ((name + "\0").encode("utf-16-le"), value.encode("utf-16-le")):
                    self.assertTrue(text in data, "%s lacks %s" % (program, text))

    def test_window_is_drawn_for_each_dpi_with_a_classic_icon(self):
        with open(UPDATER, "rb") as f:
            data = f.read()
        self.assertTrue(b">PerMonitorV2</dpiAwareness>" in data)
        # The icon resource: one 48 x 48 image, 24 bits a pixel, in its directory and its DIB.
        with open(os.path.join(ROOT, "resources", "icon.ico"), "rb") as f:
            icon = f.read()
        self.assertEqual(struct.unpack_from("<HHH", icon), (0, 1, 1))
        width, height, _, _, _, bits, _, offset = struct.unpack_from("<BBBBHHII", icon, 6)
        self.assertEqual((width, height, bits), (48, 48, 24))
        self.assertEqual(struct.unpack_from("<iiHH", icon, offset + 4), (48, 96, 1, 24))

    def test_signed_as_the_maker_signs(self):
        with tempfile.TemporaryDirectory() as work:
            certificate, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
            run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-subj", "/CN=Kolup Updater test signer", "-addext",
                "extendedKeyUsage=codeSigning", "-keyout", key, "-out", certificate, check=True)
            copies = [make_msi(work)]
            for program in (UPDATER, RECORD):
                copy = os.path.join(work, os.path.basename(program))
                with open(program, "rb") as source, open(copy, "wb") as target:
                    target.write(source.read())
                copies.append(copy)
            verify = ("osslsigncode", "verify", "-CAfile", certificate, "-in")
            for copy in copies[:2]:  # unsigned: refused
                self.assertNotEqual(run(*verify, copy).returncode, 0)
            run("bash", os.path.join(ROOT, "scripts", "sign-windows.sh"), certificate, key,
                *copies, check=True)
            for copy in copies:
                checked = run(*verify, copy)
                self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
                self.assertIn("Signature verification: ok", checked.stdout)

    def test_zip_and_installer_hold_no_build_path_or_build_time(self):
        build = os.path.dirname(UPDATER)
        with tempfile.TemporaryDirectory() as work:
            run("cpack", "-G", "ZIP", "-B", work, cwd=build, check=True)
            first, second = make_msi(work, "first"), make_msi(work, "second")
            with open(first, "rb") as a, open(second, "rb") as b:
                self.assertEqual(a.read(), b.read())
            checked = run(sys.executable, os.path.join(ROOT, "scripts", "check-release.py"),
                          "--path", ROOT, "--path", build, first, *glob.glob(work + "/*.zip"))
            self.assertEqual(checked.returncode, 0, checked.stderr)
            self.assertEqual(checked.stderr, "")

    def test_record_tool_takes_names_in_any_script(self):
        """Windows hands kolup-record.exe its arguments in UTF-16; a name outside the code page
        (Greek and Japanese beside a Western one) must reach the file system whole."""
        with tempfile.TemporaryDirectory() as work:
            name = os.path.join(work, "r\u03a9\u8868.bin")
            made = run("wine", RECORD, "make", "--version", "1", "--url", "http://h/s.exe",
                       "--size", "9", "-o", "Z:" + name.replace("/", "\\"))
            self.assertEqual(made.returncode, 0, made.stderr)
            self.assertEqual(os.listdir(work), [os.path.basename(name)])
            self.assertEqual(os.path.getsize(name), 264)


if __name__ == "__main__":
    unittest.main()
