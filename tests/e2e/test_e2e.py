"""End to end: the real kolup-updater in a real X window (Xvfb), the maker's host served by
nginx on 127.0.0.1, the window read and pressed through the accessibility bus as a screen
reader would. Run under dbus-run-session (CTest does)."""

import faulthandler
import filecmp
import http.server
import os
import shutil
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import desktop  # noqa: E402

AGENT = "API-Guide test program"
SETUP_NAME = "KolupSetup.sh"
# A keyed build fetches the maker's signature beside the record, which names the setup file.
KEYED = os.environ.get("KOLUP_KEYED") == "1"
SAVED = os.path.join(desktop.PROGRAM_DIR, SETUP_NAME)


# The whole module takes seconds; should a call ever hang, say where before CTest's 300 s
# timeout kills it without a word.
faulthandler.dump_traceback_later(280)

class CutShortServer:
    """Announces the whole setup file, sends half of it, and hangs up."""

    def __init__(self, body):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body[: len(body) // 2])
                self.wfile.flush()
                self.close_connection = True

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.server.server_port, path)

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class EndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.display = desktop.Display()

    @classmethod
    def tearDownClass(cls):
        cls.display.close()

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="kolup-e2e-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.marker = os.path.join(self.work, "setup-ran-in")
        self.remove_saved()
        self.addCleanup(self.remove_saved)
        desktop.set_installed_version("1.2")

    @staticmethod
    def remove_saved():
        for stale in (SAVED, SAVED + ".part", SAVED + ".part.resume"):
            if os.path.exists(stale):
                os.remove(stale)

    def start(self, version, size=None, setup_url=None, rate=None, padding=64 * 1024,
              bound=None):
        """Publishes a sample setup and a record offering it (or the file bound), then starts
        the updater."""
        host = desktop.MakerHost(rate=rate)
        self.addCleanup(host.close)
        source = os.path.join(self.work, SETUP_NAME)
        actual = desktop.sample_setup(source, self.marker, padding)
        host.publish("/kolup/" + SETUP_NAME, source=source)
        record = os.path.join(self.work, "KOLUP_VERSION.txt")
        desktop.make_record(version, setup_url or desktop.url("/kolup/" + SETUP_NAME),
                            size or actual, record)
        host.publish(desktop.RECORD_PATH, source=record, binds=bound or source)
        updater = desktop.Updater(self.display)
        self.addCleanup(updater.close)
        return host, updater, source

    def cancelled_under_way(self, padding):
        """An updater whose download, at 1 MB/s, was cancelled once under way (the side file
        has grown); the updater and the published setup."""
        _, updater, source = self.start("1.5", rate=1024 * 1024, padding=padding)
        updater.press("Command1")
        updater.answer("OK")
        desktop.wait_for(lambda: os.path.exists(SAVED + ".part") and os.path.getsize(SAVED + ".part"))
        updater.click("Command2")
        updater.wait_text("Label11", "DOWNLOADING CANCEL..")
        return updater, source

    def test_equal_version_offers_nothing(self):
        host, updater, _ = self.start("1.2")
        self.assertEqual(updater.text("Label2"), "1.2")
        self.assertFalse(updater.showing("Command3"))
        updater.press("Command1")
        updater.wait_text("Label13", "NO UPDATE AVAILABLE")
        self.assertEqual(updater.text("Label3"), "1.2")
        desktop.wait_for(lambda: updater.showing("Command3"))
        requests = host.requests()
        self.assertEqual(len(requests), 2 if KEYED else 1)  # and the record's signature
        self.assertEqual(requests[0], 'GET %s "%s" "no-cache" "no-cache" 200 264'
                         % (desktop.RECORD_PATH, AGENT))

    def test_whole_flow_downloads_and_starts_setup(self):
        host, updater, source = self.start("1.5")
        updater.press("Command1")
        _, texts, _ = updater.question()
        self.assertIn("Kolup version  1.5 is Available\n Do You want to UpDate Now ?", texts)
        self.assertEqual(updater.text("Label3"), "1.5")
        updater.answer("OK")
        updater.wait_text("Label11", "DOWNLOAD COMPLETED..")
        self.assertEqual(updater.text("Label7"), " 100%")
        self.assertTrue(updater.text("Text2").startswith(
            "Kolup setup file has been downloaded and saved as: " + SAVED + "."))
        self.assertTrue(filecmp.cmp(SAVED, source, shallow=False))
        self.assertFalse(os.path.exists(SAVED + ".part"))

        desktop.wait_for(lambda: updater.showing("Command3"))
        updater.press("Command3")
        self.assertEqual(updater.wait_exit(), 0)
        desktop.wait_for(lambda: os.path.exists(self.marker) and os.path.getsize(self.marker))
        with open(self.marker) as f:
            self.assertEqual(f.read().strip(), "/")
        requests = host.requests()
        setup = "/kolup/" + SETUP_NAME
        self.assertEqual([r.split(" ")[1] for r in requests],
                         [desktop.RECORD_PATH, desktop.RECORD_PATH + ".minisig", setup]
                         if KEYED else [desktop.RECORD_PATH, setup])
        for request in requests:
            self.assertIn('"%s" "no-cache" "no-cache" 200' % AGENT, request)

    def test_cancel_mid_transfer_keeps_nothing_and_starts_nothing(self):
        updater, _ = self.cancelled_under_way(8 * 1024 * 1024)
        self.assertLess(os.path.getsize(SAVED + ".part"), 8 * 1024 * 1024)
        self.assertFalse(os.path.exists(SAVED))
        self.assertFalse(updater.showing("Command3"))
        updater.close_window()
        self.assertEqual(updater.wait_exit(), 0)
        self.assertFalse(os.path.exists(self.marker))

    def test_server_cutting_setup_short_fails(self):
        body = b"#!/bin/sh\n" + b"#" * 20000
        cutter = CutShortServer(body)
        self.addCleanup(cutter.close)
        bound = os.path.join(self.work, "served")
        with open(bound, "wb") as f:
            f.write(body)
        _, updater, _ = self.start("1.5", size=len(body), setup_url=cutter.url("/" + SETUP_NAME),
                                   bound=bound)
        updater.press("Command1")
        updater.answer("OK")
        updater.wait_text("Label11", "DOWNLOAD FAILED..")
        self.assertFalse(os.path.exists(SAVED))
        desktop.wait_for(lambda: updater.showing("Command3"))
        updater.press("Command3")
        self.assertEqual(updater.wait_exit(), 0)
        self.assertFalse(os.path.exists(self.marker))

    def test_rest_of_another_file_is_never_taken(self):
        # The link breaks once; the request for the rest then meets a cache that gets If-Range
        # wrong and sends the rest of another file. The file is fetched whole instead.
        cutter = desktop.CuttingHost(desktop.HOST_PORT, 16 * 1024, cuts=1, other_rest=True)
        self.addCleanup(cutter.close)
        _, updater, source = self.start("1.5", setup_url=cutter.url("/kolup/" + SETUP_NAME))
        updater.press("Command1")
        updater.answer("OK")
        updater.wait_text("Label11", "DOWNLOAD COMPLETED..")
        self.assertTrue(filecmp.cmp(SAVED, source, shallow=False))

    def test_kept_part_linked_to_another_file_is_left_alone(self):
        updater, source = self.cancelled_under_way(2 * 1024 * 1024)
        # The part becomes a second name of a file of the user's, and the note is made to name
        # that file: the next OK must not append the setup's rest to it.
        victim = os.path.join(self.work, "victim")
        with open(victim, "w") as f:
            f.write("precious")
        os.remove(SAVED + ".part")
        os.link(victim, SAVED + ".part")
        note = SAVED + ".part.resume"
        with open(note) as f:
            text = f.read()
        identity = os.stat(victim)
        with open(note, "w") as f:
            f.write(text[:text.index("\nfile ") + 1]
                    + "file %d %d 0\n" % (identity.st_dev, identity.st_ino))
        updater.press("Command1")
        updater.answer("OK")
        updater.wait_text("Label11", "DOWNLOAD COMPLETED..")
        with open(victim) as f:
            self.assertEqual(f.read(), "precious")
        self.assertTrue(filecmp.cmp(SAVED, source, shallow=False))

if __name__ == "__main__":
    unittest.main()
