"""The pieces the demo, the end-to-end tests and the benchmarks share: the maker's web host
(nginx on 127.0.0.1), a display (Xvfb) with the accessibility bus, the updater in a real
window, and reading and pressing its controls the way a screen reader does.

Debian's python3 (/usr/bin/python3) with python3-pyatspi and python3-xlib."""

import datetime
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import threading
import time
import urllib.parse

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The build under test: CTest passes its own binaries and constants; scripts use build/.
BUILD = os.environ.get("KOLUP_BUILD", os.path.join(ROOT, "build"))
UPDATER = os.environ.get("KOLUP_UPDATER", os.path.join(BUILD, "kolup-updater"))
PROGRAM_DIR = os.path.dirname(UPDATER)  # where the updater keeps the setup file
RECORD_TOOL = os.environ.get("KOLUP_RECORD", os.path.join(BUILD, "tools", "kolup-record"))
GRAB = os.environ.get("KOLUP_GRAB", os.path.join(BUILD, "tests", "kolup-grab"))
ENGINE_FILE = os.environ.get("KOLUP_ENGINE_FILE", os.path.join(BUILD, "engine", "version"))
RECORD_PATH = "/kolup/KOLUP_VERSION.txt"
# The demo maker's secret key (scripts/build.sh): whatever the host publishes is signed with it.
SECRET_KEY = os.environ.get("KOLUP_SECRET_KEY", os.path.join(BUILD, "demo-key", "minisign.key"))
# The build's version record address names the port the maker's host must listen on.
HOST_PORT = urllib.parse.urlsplit(os.environ.get(
    "KOLUP_VERSION_URL", "http://127.0.0.1:8642" + RECORD_PATH)).port



def _controls():
    """The rows of app/controls.h, the one table of the window's controls: name, kind,
    container and caption, in the order the window creates them."""
    with open(os.path.join(ROOT, "app", "controls.h")) as f:
        return re.findall(r'^\s*\{\w+, "(\w+)", (\w+), (\w+), "([^"]*)"', f.read(), re.M)


CONTROLS = _controls()
# Inside each frame, in the order the window creates them; the accessibility tree lists
# children in that order.
FRAME1, FRAME2, FRAME3 = ([name for name, _, container, _ in CONTROLS
                           if container == frame and name != frame]
                          for frame in ("Frame1", "Frame2", "Frame3"))
CAPTIONS = {name: caption for name, _, _, caption in CONTROLS}


def wait_for(what, timeout=20.0, interval=0.02):
    """Polls what() until it returns something true; raises after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = what()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError("gave up waiting after %.0f s" % timeout)
        time.sleep(interval)


def url(path):
    return "http://127.0.0.1:%d%s" % (HOST_PORT, path)


def make_record(version, setup_url, size, out):
    subprocess.run([RECORD_TOOL, "make", "--version", str(version), "--url", setup_url,
                    "--size", str(size), "-o", out], check=True)


def sample_setup(path, marker, padding):
    """A setup program that notes where it ran, padded so its download takes a while."""
    with open(path, "wb") as f:
        f.write(b"#!/bin/sh\n# Kolup engine sample setup\npwd > '%s'\nexit 0\n" % marker.encode())
        line = b"# " + b"k" * 77 + b"\n"
        f.write(line * (padding // len(line)))
    return os.path.getsize(path)


def tls_url(path):
    return "https://127.0.0.1:%d%s" % (HOST_PORT + 1, path)


class CuttingHost:
    """A link that breaks: a proxy on 127.0.0.1 in front of a MakerHost that hangs up on every
    connection once it has passed cut_every bytes of a response's body. It counts the body
    bytes that reach the client, which is what a metered link charges for."""

    def __init__(self, upstream_port, cut_every, cuts=None, other_rest=False):
        """cuts: how many answers are cut, from the first (None: all). other_rest: a cache
        that gets If-Range wrong, answering a request for the rest with the rest of another
        file (the bytes changed, another ETag)."""
        self.cut_every = cut_every
        self.cuts = cuts
        self.other_rest = other_rest
        self.answers = 0
        self.body_bytes = 0
        self._lock = threading.Lock()
        self._server = socket.create_server(("127.0.0.1", 0))
        self.port = self._server.getsockname()[1]
        threading.Thread(target=self._accept, args=(upstream_port,), daemon=True).start()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def _accept(self, upstream_port):
        while True:
            try:
                client, _ = self._server.accept()
            except OSError:
                return
            upstream = socket.create_connection(("127.0.0.1", upstream_port))
            rewrite = self._without_if_range if self.other_rest else None
            threading.Thread(target=self._pipe, args=(client, upstream, rewrite),
                             daemon=True).start()
            threading.Thread(target=self._answer, args=(upstream, client), daemon=True).start()

    @staticmethod
    def _without_if_range(data):
        return re.sub(rb"(?im)^if-range:[^\r\n]*\r\n", b"", data)

    @staticmethod
    def _pipe(source, target, rewrite=None):
        try:
            while data := source.recv(65536):
                target.sendall(rewrite(data) if rewrite else data)
        except OSError:
            pass

    def _answer(self, upstream, client):
        head, body = b"", 0
        with self._lock:
            cut = self.cuts is None or self.answers < self.cuts
            self.answers += 1
        other = False
        try:
            while data := upstream.recv(65536):
                if b"\r\n\r\n" not in head:
                    head += data
                    if b"\r\n\r\n" not in head:
                        continue
                    data = head.split(b"\r\n\r\n", 1)[1]
                    head = head[:len(head) - len(data)]
                    other = self.other_rest and head.startswith(b"HTTP/1.1 206")
                    if other:
                        head = re.sub(rb'(?im)^etag:[^\r\n]*', b'ETag: "other"', head)
                    client.sendall(head)
                if other:
                    data = bytes(b ^ 0xFF for b in data)
                if not cut:
                    client.sendall(data)
                    continue
                data = data[:self.cut_every - body]
                client.sendall(data)
                body += len(data)
                with self._lock:
                    self.body_bytes += len(data)
                if body >= self.cut_every:
                    break
        except OSError:
            pass
        # Hung up short of the announced length: a reset could lose bytes already counted.
        try:
            client.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        client.close()
        upstream.close()

    def close(self):
        self._server.close()


class MakerHost:
    """nginx serving a folder of ours at 127.0.0.1:HOST_PORT; its access log notes the agent
    and the cache headers of every request. rate limits /kolup/ to bytes a second. With tls,
    the same folder over https at HOST_PORT + 1, with a certificate of a test CA of its own."""

    def __init__(self, rate=None, tls=False):
        self.dir = tempfile.mkdtemp(prefix="kolup-host-")
        os.chmod(self.dir, 0o755)  # nginx's workers read as nobody
        self.docroot = os.path.join(self.dir, "www")
        os.makedirs(os.path.join(self.docroot, "kolup"))
        self.access_log = os.path.join(self.dir, "access.log")
        conf = os.path.join(self.dir, "nginx.conf")
        limit = "limit_rate %d;" % rate if rate else ""
        tls_server = self._tls_server() if tls else ""

        with open(conf, "w") as f:
            f.write("""
daemon off;
worker_processes 1;
pid %(dir)s/nginx.pid;
error_log %(dir)s/error.log;
events { worker_connections 64; }
http {
    log_format kolup '$request_method $uri "$http_user_agent" "$http_cache_control" "$http_pragma" $status $body_bytes_sent';
    access_log %(dir)s/access.log kolup;
    client_body_temp_path %(dir)s/body;
    proxy_temp_path %(dir)s/proxy;
    fastcgi_temp_path %(dir)s/fastcgi;
    uwsgi_temp_path %(dir)s/uwsgi;
    scgi_temp_path %(dir)s/scgi;
    default_type application/octet-stream;
    sendfile on;
    server {
        listen 127.0.0.1:%(port)d;
        root %(root)s;
        location /kolup/ { %(limit)s }
    }
    %(tls)s
}
""" % {"dir": self.dir, "port": HOST_PORT, "root": self.docroot, "limit": limit,
       "tls": tls_server})

        self.process = subprocess.Popen(["nginx", "-c", conf, "-p", self.dir, "-e",
                                         os.path.join(self.dir, "error.log")])
        wait_for(self._listening, timeout=10)

    def _tls_server(self):
        """A test CA and a certificate for 127.0.0.1 that it signed, and the server for them."""
        def openssl(*args):
            subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=self.dir)
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                "/CN=Kolup test CA", "-keyout", "ca.key", "-out", "ca.pem")
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
                "host.key", "-out", "host.csr")
        with open(os.path.join(self.dir, "host.ext"), "w") as f:
            f.write("subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n")
        openssl("x509", "-req", "-in", "host.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-days", "2", "-extfile", "host.ext", "-out", "host.pem")
        self.ca = os.path.join(self.dir, "ca.pem")
        return """server {
        listen 127.0.0.1:%(port)d ssl;
        ssl_certificate %(dir)s/host.pem;
        ssl_certificate_key %(dir)s/host.key;
        root %(root)s;
    }""" % {"dir": self.dir, "port": HOST_PORT + 1, "root": self.docroot}

    def _listening(self):

        import socket
        if self.process.poll() is not None:
            raise RuntimeError("nginx did not start: %s" % self.error_log())
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", HOST_PORT)) == 0

    def error_log(self):
        try:
            with open(os.path.join(self.dir, "error.log")) as f:
                return f.read()
        except OSError:
            return ""

    def path(self, relative):
        return os.path.join(self.docroot, relative.lstrip("/"))

    def publish(self, relative, data=None, source=None, binds=None):
        """Puts a file on the host. A record (binds: the setup file it offers) is signed as a
        maker signs it, with a comment naming that setup file and expiring in 30 days."""
        target = self.path(relative)
        if source:
            shutil.copyfile(source, target)
        else:
            with open(target, "wb") as f:
                f.write(data)
        os.chmod(target, 0o644)
        if binds and os.path.exists(SECRET_KEY):
            expires = (datetime.datetime.now(datetime.timezone.utc).date()
                       + datetime.timedelta(days=30)).isoformat()
            comment = subprocess.run([RECORD_TOOL, "comment", "--file", binds, "--expires",
                                      expires], check=True, capture_output=True, text=True)
            subprocess.run(["minisign", "-S", "-s", SECRET_KEY, "-m", target, "-t",
                            comment.stdout.strip()], check=True, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL)
            os.chmod(target + ".minisig", 0o644)
        return target

    def requests(self):
        with open(self.access_log) as f:
            return [line.rstrip("\n") for line in f]

    def close(self):
        self.process.terminate()
        self.process.wait(10)
        shutil.rmtree(self.dir, ignore_errors=True)


class Display:
    """Xvfb on a free display number; with the session's accessibility bus, which needs a
    D-Bus session (run under dbus-run-session)."""

    def __init__(self, size="640x480x24"):
        self.runtime_dir = tempfile.mkdtemp(prefix="kolup-xdg-")
        read, write = os.pipe()
        self.process = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", size,
                                         "-nolisten", "tcp"], pass_fds=[write],
                                        )
        os.close(write)
        with os.fdopen(read) as f:
            self.name = ":" + f.readline().strip()

    def env(self):
        env = dict(os.environ)
        env.update(DISPLAY=self.name, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                   LC_ALL="C.UTF-8", XDG_RUNTIME_DIR=self.runtime_dir)
        return env

    def screenshot(self, path, window=None):
        """The whole screen, or only the window whose X id is given."""
        extra = [str(window)] if window else []
        subprocess.run([GRAB, path] + extra, env=self.env(), check=True,
                       stderr=subprocess.DEVNULL)
        return path

    def close(self):
        self.process.terminate()
        self.process.wait(10)
        shutil.rmtree(self.runtime_dir, ignore_errors=True)


def set_installed_version(text):
    os.makedirs(os.path.dirname(ENGINE_FILE), exist_ok=True)
    with open(ENGINE_FILE, "w") as f:
        f.write(text + "\n")


class Updater:
    """The real kolup-updater in a real window, read and driven through accessibility."""

    def __init__(self, display, log=None):
        """log: a file that receives the updater's timing messages (see bench/)."""
        import pyatspi
        self.pyatspi = pyatspi
        self.display = display
        env = display.env()
        if log:
            env["QT_LOGGING_RULES"] = "kolup.updater.timing.debug=true"
        self.process = subprocess.Popen([UPDATER], env=env,
                                        stderr=log or subprocess.DEVNULL)
        self._controls = {}
        self.app = wait_for(self._find_app, timeout=30)
        self.window = wait_for(lambda: self._child(self.app, "frame", "Kolup Updater")
                               or (self.app.childCount and self.app[0]), timeout=10)

    def _find_app(self):
        if self.process.poll() is not None:
            raise RuntimeError("the updater ended early")
        desktop = self.pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and app.get_process_id() == self.process.pid and app.childCount:
                return app
        return None

    @staticmethod
    def _child(parent, role, name):
        for child in parent:
            if child is not None and child.getRoleName() == role and child.name == name:
                return child
        return None

    def _panel(self, title):
        return self._child(self.window, "panel", title)

    def control(self, name):
        """The accessible of a control by its name in the window. Kept once found: during a
        transfer the window answers only between chunks, so every question counts."""
        if name not in self._controls:
            self._controls[name] = self._find_control(name)
        return self._controls[name]

    def _find_control(self, name):
        if name in FRAME1:
            return self._panel("Kolup Current Satus")[FRAME1.index(name)]
        if name in FRAME2:
            return self._panel("Kolup update status")[FRAME2.index(name)]
        if name in FRAME3:
            frame3 = self._panel("Kolup update status")[0]
            return frame3[FRAME3.index(name)]
        return self._child(self.window, "push button", CAPTIONS[name])

    def text(self, name):
        """What a label shows, or a text box holds; empty for an empty label."""
        acc = self.control(name)
        if acc.getRoleName() == "text":
            t = acc.queryText()
            return t.getText(0, t.characterCount)
        # An empty label reports its frame's title as its name.
        name = acc.name
        return "" if name in ("Kolup Current Satus", "Kolup update status", "Download Status") \
            else name

    def showing(self, name):
        return self.control(name).getState().contains(self.pyatspi.STATE_SHOWING)

    def press(self, name):
        self._press(self.control(name))

    def centre(self, name):
        """A control's centre in window pixels, as the accessibility tree places it."""
        box = self.control(name).queryComponent().getExtents(self.pyatspi.WINDOW_COORDS)
        return box.x + box.width // 2, box.y + box.height // 2

    def window_id(self):
        found = subprocess.run(["xdotool", "search", "--sync", "--name", "^Kolup Updater$"],
                               env=self.display.env(), capture_output=True, text=True,
                               check=True)
        return found.stdout.split()[0]

    def screenshot(self, path):
        return self.display.screenshot(path, self.window_id())

    def click(self, name):
        """A real mouse click on a button. Unlike a question over the accessibility bus, which
        takes several round trips, one click is handled at the window's next chance, also
        while a transfer keeps it between chunks."""
        env = self.display.env()
        window = self.window_id()
        x, y = self.centre(name)
        subprocess.run(["xdotool", "mousemove", "--window", window, str(x), str(y),
                        "click", "1"], env=env, check=True)

    def _press(self, acc):
        action = acc.queryAction()
        for i in range(action.nActions):
            if action.getName(i) == "Press":
                action.doAction(i)
                return
        raise RuntimeError("%s cannot be pressed" % acc.name)

    def question(self):
        """The modal question, once it is up: (the box, its texts, its buttons by caption)."""
        def walk(acc, texts, buttons):
            for child in acc:
                if child is None:
                    continue
                role = child.getRoleName()
                if role == "label" and child.name:
                    texts.append(child.name)
                elif role == "push button":
                    buttons[child.name.replace("&", "")] = child
                walk(child, texts, buttons)

        def find():
            for top in self.app:
                if top is None or top.getRoleName() not in ("dialog", "alert"):
                    continue
                texts, buttons = [], {}
                walk(top, texts, buttons)
                if "OK" in buttons:
                    return top, texts, buttons
            return None
        return wait_for(find)

    def answer(self, button):
        _, _, buttons = self.question()
        self._press(buttons[button])

    def close_window(self):
        """The window's own close control: WM_DELETE_WINDOW, as a window manager sends it."""
        from Xlib import X, display as xdisplay, protocol
        d = xdisplay.Display(self.display.name)
        delete = d.intern_atom("WM_DELETE_WINDOW")
        protocols = d.intern_atom("WM_PROTOCOLS")
        for window in d.screen().root.query_tree().children:
            name = window.get_wm_name()
            if name == "Kolup Updater":
                event = protocol.event.ClientMessage(window=window, client_type=protocols,
                                                     data=(32, [delete, X.CurrentTime, 0, 0, 0]))
                window.send_event(event)
        d.flush()
        d.close()

    def wait_text(self, name, expected, timeout=20):
        return wait_for(lambda: self.text(name) == expected, timeout)

    def wait_exit(self, timeout=20):
        return self.process.wait(timeout)

    def close(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(10)
