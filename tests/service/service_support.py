"""Running harrier the way a service manager does, with the manager's
notification socket, the system log and the service directories replaced by
the test's own.

harrier is copied into a temporary program directory, because as a service
it writes its log files and the Path value there.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import harrier  # noqa: E402

HARRIER = harrier.HARRIER
USAGE = ("Harrier -install     to install the service\n"
         "Harrier -remove      to remove the service\n"
         "Harrier -debug       to run the service as a console application\n"
         "\nStartServiceCtrlDispatcher being called.\n"
         "This may take several seconds.  Please wait.\n")


class ProgramDirectory:
    """A temporary program directory holding a copy of harrier, its machine
    store, a notification socket and a stand-in for /dev with a log socket."""

    def __init__(self, settings=None):
        self.dir = tempfile.mkdtemp(prefix="harrier-service-")
        self.program = os.path.join(self.dir, "harrier")
        shutil.copy2(HARRIER, self.program)
        self.root = os.path.join(self.dir, "root")
        os.makedirs(self.root)
        self.port = harrier.free_port()
        self.store = os.path.join(self.dir, "hklm.reg")
        values = {"Port": self.port, "RootDirectory": self.root + "/"}
        values.update(settings or {})
        harrier.write_store(self.store, values)
        self.notify_path = os.path.join(self.dir, "notify.sock")
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(self.notify_path)
        self.dev = os.path.join(self.dir, "dev")
        os.makedirs(self.dev)
        self.syslog = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.syslog.bind(os.path.join(self.dev, "log"))
        self.proc = None

    def env(self, notify=True):
        e = dict(os.environ)
        e["ORVANEL_HKLM"] = self.store
        e.pop("NOTIFY_SOCKET", None)
        if notify:
            e["NOTIFY_SOCKET"] = self.notify_path
        return e

    def command(self, args):
        """harrier with args in a mount namespace of its own, where /dev is
        the test's directory (so /dev/log is the test's socket) and systemd
        does not seem to run (so nothing is installed on this machine)."""
        script = ('[ -d /run/systemd ] && mount -t tmpfs tmpfs /run/systemd; '
                  'mount --bind "$0" /dev && exec "$@"')
        return ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script,
                self.dev, self.program] + list(args)

    def check_isolation(self):
        r = subprocess.run(["unshare", "--mount", "--propagation", "private", "--", "true"],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=10)
        if r.returncode != 0:
            raise unittest.SkipTest("cannot make a mount namespace (needs root): %s"
                                    % r.stdout.decode(errors="replace").strip())

    def start(self, args=(), notify=True):
        self.check_isolation()
        self.proc = subprocess.Popen(self.command(args), stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                     env=self.env(notify), cwd=self.dir)
        return self.proc

    def run(self, args=(), notify=False, timeout=20):
        """Runs harrier to its end; returns (exit code, output)."""
        self.start(args, notify)
        out, _ = self.proc.communicate(timeout=timeout)
        return self.proc.returncode, out.decode("latin-1")

    def notifications(self, count, timeout=10.0):
        """The next count notification messages, in order."""
        self.notify.settimeout(timeout)
        return [self.notify.recv(4096).decode() for _ in range(count)]

    def no_notification(self, wait=0.5):
        self.notify.settimeout(wait)
        try:
            return self.notify.recv(4096).decode() is None
        except socket.timeout:
            return True

    def syslog_entries(self, count, timeout=10.0):
        self.syslog.settimeout(timeout)
        return [self.syslog.recv(4096).decode("latin-1") for _ in range(count)]

    def no_syslog(self, wait=0.3):
        self.syslog.settimeout(wait)
        try:
            self.syslog.recv(4096)
            return False
        except socket.timeout:
            return True

    def close(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)
        if self.proc and self.proc.stdout:
            self.proc.stdout.close()
        self.notify.close()
        self.syslog.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def read_start_up(proc, limit=200):
    """Reads console lines up to the last start-up line; returns them."""
    lines = []
    for _ in range(limit):
        line = proc.stdout.readline().decode()
        lines.append(line)
        if not line or "Multicast     :" in line:
            break
    return "".join(lines)


def wait_until(predicate, timeout=10.0, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return False


def stop(proc, sig=signal.SIGTERM, timeout=15):
    proc.send_signal(sig)
    return proc.wait(timeout)
