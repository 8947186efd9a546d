"""Starting the real kestrel under the test's X server, and driving it.

Every program gets its own machine and user store, root directory, port
and driver socket; it is killed when the test ends, also on failure. The
driver (KESTREL_TEST_DRIVER) answers one-line commands; the mouse and keys
come from xdotool, as a user's would.
"""
import json
import os
import random
import re
import shutil
import socket
import subprocess
import tempfile
import time

from common import free_port, wait_for, wait_until
from harrier import BUILD_DIR, write_store

KESTREL = os.path.abspath(os.path.join(BUILD_DIR, "bin", "kestrel"))
SCREENS = os.path.abspath(os.path.join(BUILD_DIR, "screens"))
TITLE = "Orvanel TFTP Server 1.4.5"
IMAGE_COMPLETE, IMAGE_FAILED, IMAGE_BLANK = 15, 16, 17


def read_store_key(path, key="software\\orvanel\\kestrel"):
    """The text values of one key (its path's end, any letter case) in a
    store file, names and texts unescaped."""
    values = {}
    if not os.path.exists(path):
        return values
    section = None
    unescape = lambda t: re.sub(r"\\(.)", r"\1", t)
    with open(path, encoding="latin-1") as f:
        for line in f:
            line = line.strip()
            if line.startswith("["):
                section = line.strip("[]")
            elif section and section.lower().endswith(key.lower()):
                m = re.match(r'"((?:[^"\\]|\\.)*)"="((?:[^"\\]|\\.)*)"', line)
                if m:
                    values[unescape(m.group(1))] = unescape(m.group(2))
    return values


class Kestrel:
    """kestrel on its own port, stores and root; driven through its socket."""

    def __init__(self, settings=None, user=None, port=None, directory=None, wait=True, args=None,
                 own_program=False, env=None, program_files=None, installed=False):
        """own_program: run a copy of the program (with its Languages/) from
        a directory of its own, where it writes and lists its log files;
        program_files ({relative path: bytes}) are put there before it starts.
        installed: that copy is laid out as installed, in usr/bin/ with
        Languages/ in usr/share/orvanel-tftp/ (self.data_dir)."""
        self.owned = directory is None
        self.dir = directory or tempfile.mkdtemp(prefix="kestrel-test-")
        self.root = os.path.join(self.dir, "root")
        os.makedirs(self.root, exist_ok=True)
        self.port = port or free_port()
        # The store's directory is never served: the root lies beside it.
        os.makedirs(os.path.join(self.dir, "etc"), exist_ok=True)
        self.store = os.path.join(self.dir, "etc", "hklm.reg")
        self.user_store = os.path.join(self.dir, "hkcu.reg")
        values = {"Port": self.port, "RootDirectory": self.root + "/", "Log": 0}
        values.update(settings or {})
        write_store(self.store, values)
        if user is not None:
            write_store(self.user_store, user, hive="HKEY_CURRENT_USER")
        self.driver_name = "kestrel-test-%d-%d" % (os.getpid(), random.randint(0, 1 << 30))
        self.env = dict(os.environ, ORVANEL_HKLM=self.store, ORVANEL_HKCU=self.user_store,
                        KESTREL_TEST_DRIVER=self.driver_name)
        self.output_path = os.path.join(self.dir, "kestrel-%d.txt" % random.randint(0, 1 << 30))
        self._out = open(self.output_path, "wb")
        for name, value in (env or {}).items():  # None takes a variable out
            if value is None:
                self.env.pop(name, None)
            else:
                self.env[name] = value
        program = KESTREL
        self.program_dir = self.data_dir = os.path.dirname(KESTREL)
        if own_program:
            self.program_dir = self.data_dir = os.path.join(self.dir, "bin")
            if installed:
                self.program_dir = os.path.join(self.dir, "usr", "bin")
                self.data_dir = os.path.join(self.dir, "usr", "share", "orvanel-tftp")
            os.makedirs(self.program_dir, exist_ok=True)
            program = shutil.copy(KESTREL, self.program_dir)
            languages = os.path.join(os.path.dirname(KESTREL), "Languages")
            if os.path.isdir(languages):
                shutil.copytree(languages, os.path.join(self.data_dir, "Languages"), dirs_exist_ok=True)
            for name, content in (program_files or {}).items():
                path = os.path.join(self.program_dir, name)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as f:
                    f.write(content)
        self.proc = subprocess.Popen([program] + (args or []), stdout=self._out,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                     env=self.env)
        self.sock = None
        if wait:
            self.connect()
            self.wait_state(lambda s: s["state_bar"] != "", 10)

    def output(self):
        with open(self.output_path, "rb") as f:
            return f.read().decode("latin-1")

    def connect(self, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError("kestrel exited (%s):\n%s" % (self.proc.returncode, self.output()))
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                s.connect("\0" + self.driver_name)
                self.sock = s
                self.reader = s.makefile("r", encoding="utf-8")
                return
            except OSError:
                s.close()
                time.sleep(0.05)
        raise AssertionError("no driver within %ss:\n%s" % (timeout, self.output()))

    def command(self, line):
        self.sock.sendall((line + "\n").encode())
        answer = self.reader.readline()
        if not answer:
            raise AssertionError("driver closed on %r:\n%s" % (line, self.output()))
        return answer.rstrip("\n")

    def state(self):
        return json.loads(self.command("state"))

    def wait_state(self, predicate, timeout=5.0):
        """Polls the state until predicate holds; returns that state."""
        state = wait_for(self.state, predicate, timeout, 0.1)
        if not predicate(state):
            raise AssertionError("state never matched within %ss: %s" % (timeout, state))
        return state

    def menu(self, command):
        self.assert_ok(self.command("menu %d" % command))

    def assert_ok(self, answer):
        if answer != "ok":
            raise AssertionError("driver answered %r" % answer)

    def screenshot(self, name, below=0):
        os.makedirs(SCREENS, exist_ok=True)
        path = os.path.join(SCREENS, name)
        self.assert_ok(self.command("screenshot %s %d" % (path, below)))
        return path

    # -- the open modal dialog -------------------------------------------
    def open_dialog(self, command, timeout=5.0):
        """Runs a menu command and waits until its modal dialog is shown;
        returns the dialog's description."""
        self.menu(command)
        answer = wait_for(lambda: self.command("dialog"), lambda a: a != "none", timeout, 0.1)
        if answer == "none":
            raise AssertionError("no dialog after command %d:\n%s" % (command, self.output()))
        return json.loads(answer)

    def wait_no_dialog(self, timeout=5.0):
        if not wait_until(lambda: self.command("dialog") == "none", timeout, 0.1):
            raise AssertionError("the dialog stayed open")

    def get(self, control):
        answer = self.command("get %s" % control)
        if not answer.startswith("{"):
            raise AssertionError("get %s: %r" % (control, answer))
        return json.loads(answer)

    def set(self, control, value):
        self.assert_ok(self.command("set %s %s" % (control, value)))

    def press(self, button):
        self.assert_ok(self.command("press %s" % button))

    def page(self, index):
        self.assert_ok(self.command("page %d" % index))

    def dialog_shot(self, name):
        os.makedirs(SCREENS, exist_ok=True)
        path = os.path.join(SCREENS, name)
        self.assert_ok(self.command("shot %s" % path))
        return path

    # -- windows as the X server has them, also the toolkit's own -------
    def windows(self):
        """The names of this program's windows on the screen, sorted: the
        toolkit's own (a print dialog, an error box) too, which the driver
        does not see."""
        r = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(self.proc.pid)],
                           capture_output=True, text=True, timeout=10)
        names = []
        for window in r.stdout.split():
            name = subprocess.run(["xdotool", "getwindowname", window], capture_output=True, text=True,
                                  timeout=10)
            if name.returncode == 0:
                names.append(name.stdout.rstrip("\n"))
        return sorted(names)

    def wait_window(self, name, timeout=10.0):
        """The id of this program's shown window of that name, once there."""
        search = ["xdotool", "search", "--all", "--onlyvisible", "--pid", str(self.proc.pid), "--name",
                  "^%s$" % re.escape(name)]
        ids = wait_until(lambda: subprocess.run(search, capture_output=True, text=True, timeout=10).stdout.split(),
                         timeout, 0.1)
        if not ids:
            raise AssertionError("no window %r within %ss: %s" % (name, timeout, self.windows()))
        return ids[0]

    def window_shot(self, window, name):
        """A picture of any window of the screen by its id."""
        os.makedirs(SCREENS, exist_ok=True)
        path = os.path.join(SCREENS, name)
        g = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window], capture_output=True, text=True,
                           timeout=10, check=True).stdout
        g = dict(line.split("=", 1) for line in g.split())
        self.assert_ok(self.command("grab %s %s %s %s %s" % (g["X"], g["Y"], g["WIDTH"], g["HEIGHT"], path)))
        return path

    def screen_shot(self, name):
        """A picture of the whole screen (clipped to its size)."""
        os.makedirs(SCREENS, exist_ok=True)
        path = os.path.join(SCREENS, name)
        self.assert_ok(self.command("grab 0 0 8192 8192 %s" % path))
        return path

    def click(self, control):
        """A mouse click in the middle of a control of the open dialog."""
        x, y, w, h = self.get(control)["rect"]
        xdotool("mousemove", x + w // 2, y + h // 2, "click", 1)

    def wait_exit(self, timeout=10.0):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("kestrel did not end within %ss:\n%s" % (timeout, self.output()))

    def close(self):
        if self.sock:
            self.sock.close()
            self.sock = None
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if not self._out.closed:
            self._out.close()
        if self.owned:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def xdotool(*args):
    subprocess.run(["xdotool"] + [str(a) for a in args], check=True, timeout=10)
