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
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import common  # noqa: E402
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
        # The program, its store and the root each in a directory of their
        # own (the server refuses to serve its own), all open to the user
        # the server becomes.
        self.dir = tempfile.mkdtemp(prefix="harrier-service-")
        os.chmod(self.dir, 0o755)
        self.program_dir = os.path.join(self.dir, "bin")
        os.makedirs(self.program_dir)
        self.program = os.path.join(self.program_dir, "harrier")
        shutil.copy2(HARRIER, self.program)
        self.root = os.path.join(self.dir, "root")
        os.makedirs(self.root)
        harrier.give_to_server(self.root)
        self.port = common.free_port()
        os.makedirs(os.path.join(self.dir, "etc"))
        self.store = os.path.join(self.dir, "etc", "hklm.reg")
        values = {"Port": self.port, "RootDirectory": self.root + "/"}
        values.update(settings or {})
        harrier.write_store(self.store, values)
        self.notify_path = os.path.join(self.dir, "notify.sock")
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(self.notify_path)
        os.chmod(self.notify_path, 0o666)  # systemd's is open to every service user too
        self.dev = os.path.join(self.dir, "dev")
        os.makedirs(self.dev)
        open(os.path.join(self.dev, "null"), "w").close()  # where the real one is bound
        self.syslog = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.syslog.bind(os.path.join(self.dev, "log"))
        os.chmod(os.path.join(self.dev, "log"), 0o666)
        self.control = os.path.join(self.dir, "control")
        self.proc = None

    def env(self, notify=True):
        e = dict(os.environ)
        e["ORVANEL_HKLM"] = self.store
        e["ORVANEL_CONTROL_SOCKET"] = self.control
        e.pop("NOTIFY_SOCKET", None)
        if notify:
            e["NOTIFY_SOCKET"] = self.notify_path
        return e

    def command(self, args, fake_systemd=False, installed=False):
        """harrier with args in a mount namespace of its own, where /dev is
        the test's directory (so /dev/log is the test's socket) and systemd
        does not seem to run (so nothing is installed on this machine).

        fake_systemd: systemd seems to run, its unit directory is an empty
        tmpfs, and systemctl is the test's script (see fake_systemctl).
        installed: that directory holds a TFTPService unit already."""
        if fake_systemd:
            script = ('mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system && '
                      'mount -t tmpfs tmpfs /etc/systemd/system && %s'
                      'mount --bind /dev/null "$0/null" && mount --rbind "$0" /dev && exec "$@"'
                      % ("echo '[Unit]' > /etc/systemd/system/TFTPService.service && "
                         if installed else ""))
        else:
            script = ('[ -d /run/systemd ] && mount -t tmpfs tmpfs /run/systemd; '
                      'mount --bind /dev/null "$0/null" && mount --rbind "$0" /dev && exec "$@"')
        return ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script,
                self.dev, self.program] + list(args)

    def fake_systemctl(self, states):
        """Puts a systemctl first on PATH that records its arguments (one call
        a line in self.systemctl_calls) and answers "show" with the given
        ActiveState values in turn, the last one from then on. Returns the
        environment to run harrier with."""
        if not os.path.isdir("/etc/systemd/system"):
            raise unittest.SkipTest("no /etc/systemd/system to stand a unit directory on")
        bin_dir = os.path.join(self.dir, "fakebin")
        os.makedirs(bin_dir, exist_ok=True)
        self.systemctl_calls = os.path.join(self.dir, "systemctl.calls")
        states_file = os.path.join(self.dir, "systemctl.states")
        with open(states_file, "w") as f:
            f.write("\n".join(states) + "\n")
        script = os.path.join(bin_dir, "systemctl")
        with open(script, "w") as f:
            f.write('#!/bin/sh\n'
                    'echo "$*" >> "%s"\n'
                    'if [ "$1" = show ]; then\n'
                    '  head -n 1 "%s"\n'
                    '  if [ "$(wc -l < "%s")" -gt 1 ]; then sed -i 1d "%s"; fi\n'
                    'fi\n'
                    'if [ "$1" = enable ]; then\n'
                    '  cp /etc/systemd/system/TFTPService.service "%s"\n'
                    'fi\n'
                    'exit 0\n' % (self.systemctl_calls, states_file, states_file, states_file,
                                   os.path.join(self.dir, "enabled.service")))
        os.chmod(script, 0o755)
        env = self.env(notify=False)
        env["PATH"] = bin_dir + ":" + env.get("PATH", "/usr/bin:/bin")
        return env

    def calls(self):
        with open(self.systemctl_calls) as f:
            return f.read().splitlines()

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


def stop(proc, sig=signal.SIGTERM, timeout=15):
    proc.send_signal(sig)
    return proc.wait(timeout)
