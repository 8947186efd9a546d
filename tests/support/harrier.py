"""Starting a real harrier for black-box tests, and a small raw TFTP client.

Every server gets its own store file, root directory and port (listening
on 127.0.0.1 and ::1 alike); it is killed when the test ends, also on
failure.
"""
import os
import pwd
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from common import HOST, family_of, free_port, scratch_directory, wait_until
from tftp_packets import DATA, ERR_UNDEFINED, ERROR, OACK, RRQ, ack, error_bytes, parse, request

BUILD_DIR = os.environ.get("ORVANEL_BUILD_DIR",
                           os.path.join(os.path.dirname(__file__), "..", "..", "build"))
HARRIER = os.path.abspath(os.path.join(BUILD_DIR, "bin", "harrier"))
HARRIERCTL = os.path.abspath(os.path.join(BUILD_DIR, "bin", "harrierctl"))
NOBODY = 65534
# The date and time at the start of every line of the server's log.
TS = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"

# With ORVANEL_WINE_HARRIER naming a cross-built Harrier.exe, every Server is
# that program under Wine: its settings go into the Wine prefix's registry
# (imported with regedit from the same REGEDIT4 text), and its paths are
# spelled as Windows spells them, on the drive Z: that Wine maps to "/".
WINE_HARRIER = os.environ.get("ORVANEL_WINE_HARRIER")
WINE = os.environ.get("ORVANEL_WINE", "wine")
WINE_PREFIX = os.environ.get("ORVANEL_WINEPREFIX") or (
    WINE_HARRIER and os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(WINE_HARRIER))),
                                  "wineprefix"))
# Path values of the settings key, rewritten for Windows ("Prefix" is a list).
PATH_VALUES = ("RootDirectory", "Prefix")


def on_wine():
    """True when the servers of this run are Harrier.exe under Wine."""
    return bool(WINE_HARRIER)


def wine_env(env=None, prefix=None):
    """The environment of a Windows program under Wine, in this run's prefix
    or in the one given."""
    e = dict(os.environ)
    e.update({"WINEPREFIX": prefix or WINE_PREFIX, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="})
    e.update(env or {})
    return e


def run_wine(args, timeout=60, prefix=None, cwd=None):
    """Runs a Windows program under Wine; returns (exit code, standard output
    with Unix line ends, standard error)."""
    done = subprocess.run([WINE] + list(args), env=wine_env(prefix=prefix), timeout=timeout, cwd=cwd,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return (done.returncode, done.stdout.decode("latin-1").replace("\r\n", "\n"),
            done.stderr.decode("latin-1"))


def wine_path(path):
    """An absolute path as Wine's drive Z: (which maps "/") spells it; a
    trailing slash stays."""
    return "Z:" + path.replace("/", "\\")


def shown_path(path):
    """How the server spells a local path: as it is on Linux, Z:\\... under Wine."""
    if not on_wine() or not path.startswith("/"):
        return path
    return wine_path(path)


def shown_value(name, value):
    if not on_wine() or name not in PATH_VALUES:
        return value
    return ";".join(shown_path(part) for part in str(value).split(";"))


def request_path(path):
    """How a client names an absolute local directory (a Prefix entry's):
    the path itself on Linux, its drive letter as the first component under
    Wine ("/Z/tmp/x" for Z:\\tmp\\x)."""
    return "/Z" + path if on_wine() and path.startswith("/") else path


def linux_spelling(text):
    """Console text as the server prints it on Linux: under Wine its paths
    are spelled back from Z:\\... and its CR LF line ends (the console's
    text mode) become LF."""
    if not on_wine():
        return text
    text = text.replace("\r\n", "\n")
    return re.sub(r"Z:(\\[^ ;\n]*)", lambda m: m.group(1).replace("\\", "/"), text)


def import_into_wine(store):
    """Replaces the settings key of the Wine registry with the store file's."""
    with open(store, "rb") as f:
        text = f.read().split(b"\r\n", 1)
    body = (b"REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel]\r\n"
            + (text[1] if len(text) > 1 else b""))
    staged = store + ".import.reg"
    with open(staged, "wb") as f:
        f.write(body)
    # regedit now and then fails while the prefix's wineserver is starting
    # or ending: a few tries, then the failure is the test's.
    for _ in range(4):
        done = subprocess.run([WINE, "regedit", "/S", shown_path(staged)], env=wine_env(),
                              timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if done.returncode == 0:
            return
        time.sleep(0.5)
    raise AssertionError("regedit could not import %s: %r" % (staged, done.stderr[-500:]))

def reg_escape(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def write_store(path, settings, access=None, hive="HKEY_LOCAL_MACHINE"):
    """Writes a store with the settings key and optional access rules: the
    machine's, or with hive HKEY_CURRENT_USER a user's."""
    lines = ["REGEDIT4", "", "[%s\\Software\\Orvanel\\Kestrel]" % hive]
    for name, value in settings.items():
        if value is None:  # left unset
            continue
        lines.append('"%s"="%s"' % (reg_escape(name), reg_escape(str(shown_value(name, value)))))
    if access:
        lines += ["", "[%s\\Software\\Orvanel\\Kestrel\\Access]" % hive]
        for name, value in access.items():
            lines.append('"%s"="%s"' % (reg_escape(name), reg_escape(value)))
    with open(path, "w") as f:
        f.write("\r\n".join(lines) + "\r\n")


def console_text(output_path):
    """A server's console output so far, spelled as on Linux."""
    with open(output_path, "rb") as f:
        return linux_spelling(f.read().decode("latin-1"))


def wait_for_console(proc, output_path, pattern, timeout=5.0):
    """Waits until the console output of the server process proc matches
    pattern; returns the match. Fails when proc ends first or time runs out."""
    wait_until(lambda: proc.poll() is not None or re.search(pattern, console_text(output_path)), timeout, 0.02)
    # Read once more: a server that ended may have written the line just before.
    m = re.search(pattern, console_text(output_path))
    if m:
        return m
    if proc.poll() is not None:
        raise AssertionError("server exited (%s) before %r:\n%s"
                             % (proc.returncode, pattern, console_text(output_path)))
    raise AssertionError("no %r within %ss:\n%s" % (pattern, timeout, console_text(output_path)))


def service_user():
    """(name, uid, gid) of the user harrier runs as once started by root:
    tftp where it exists, else nobody."""
    for name in ("tftp", "nobody"):
        try:
            entry = pwd.getpwnam(name)
            return name, entry.pw_uid, entry.pw_gid
        except KeyError:
            continue
    raise unittest.SkipTest("neither tftp nor nobody exists")


def drops_to_service_user():
    """True when the servers of this run give up root for the service user."""
    return not on_wine() and os.geteuid() == 0


def give_to_server(path):
    """Lets the server write in the directory path (uploads), as an
    administrator hands a directory to the TFTP user."""
    if drops_to_service_user():
        _, uid, gid = service_user()
        os.chown(path, uid, gid)


def server_directory(add_cleanup, prefix):
    """A new temporary directory the server may read and write in (a Prefix
    entry's, say), removed by the cleanup it is handed to."""
    path = scratch_directory(add_cleanup, prefix)
    os.chmod(path, 0o755)
    give_to_server(path)
    return path


def as_nobody():
    """preexec_fn: the child runs as the unprivileged user nobody."""
    os.setgid(NOBODY)
    os.setgroups([])
    os.setuid(NOBODY)


def reachable_copy(program):
    """A copy of program that every user may run: the build may lie where
    other users cannot enter (under /root). Removed with the process."""
    directory = tempfile.mkdtemp(prefix="orvanel-program-")
    os.chmod(directory, 0o755)
    copy = shutil.copy2(program, os.path.join(directory, os.path.basename(program)))
    os.chmod(copy, 0o755)
    import atexit
    atexit.register(shutil.rmtree, directory, True)
    return copy


def control_connect(path, timeout=5):
    """A connection to the control channel at path; waits up to 5 s for it
    to open (it opens just after the start-up lines)."""
    c = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    c.settimeout(timeout)
    deadline = time.monotonic() + 5
    while True:
        try:
            c.connect(path)
            return c
        except (ConnectionRefusedError, FileNotFoundError):
            if time.monotonic() > deadline:
                c.close()
                raise AssertionError("control channel %s did not open" % path)
            time.sleep(0.05)


def harrierctl(path, *args, program=HARRIERCTL, preexec_fn=None, timeout=20):
    """Runs harrierctl against the channel at path: (exit code, stdout, stderr)
    as text, with every byte kept as it came (latin-1)."""
    r = subprocess.run([program] + list(args), env=dict(os.environ, ORVANEL_CONTROL_SOCKET=path),
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=preexec_fn, timeout=timeout)
    return r.returncode, r.stdout.decode("latin-1"), r.stderr.decode("latin-1")


class Server:
    """harrier -debug on its own port, store and root.

    Started by root, harrier serves as the service user: the test directory
    is open to it, and the root (and the directories put_file makes) belong
    to it, so that uploads can land. The store lies in a directory of its
    own, as the server refuses to serve the directory of its settings.

    settings: extra values of the settings key (strings or numbers).
    port: the TFTP port to configure (a free one when not given).
    separate_stderr: standard error goes to a file of its own (errors())
    instead of the console output.
    """

    def __init__(self, settings=None, access=None, root=None, args=None, env=None,
                 wrapper=None, port=None, separate_stderr=False):
        self.dir = tempfile.mkdtemp(prefix="harrier-test-")
        os.chmod(self.dir, 0o755)
        # Each server's control channel lies in a directory of its own (the
        # service user's, as systemd makes it), unless env names another place.
        self.control = (env or {}).get("ORVANEL_CONTROL_SOCKET")
        if not self.control:
            os.makedirs(os.path.join(self.dir, "run"))
            give_to_server(os.path.join(self.dir, "run"))
            self.control = os.path.join(self.dir, "run", "control")
        self.root = root or os.path.join(self.dir, "root")
        if not os.path.isdir(self.root):
            os.makedirs(self.root)
            give_to_server(self.root)
        self.port = port or free_port()
        os.makedirs(os.path.join(self.dir, "etc"))
        self.store = os.path.join(self.dir, "etc", "hklm.reg")
        values = {"Port": self.port, "RootDirectory": self.root.rstrip("/") + "/"}
        values.update(settings or {})
        write_store(self.store, values, access)
        self.output_path = os.path.join(self.dir, "console.txt")
        self.errors_path = os.path.join(self.dir, "stderr.txt") if separate_stderr else None
        if on_wine():
            if wrapper:
                shutil.rmtree(self.dir, ignore_errors=True)
                raise unittest.SkipTest("Linux only: runs the server inside a namespace")
            import_into_wine(self.store)
            e = wine_env(env)
            cmd = [WINE, WINE_HARRIER] + (args if args is not None else ["-debug"])
        else:
            e = dict(os.environ)
            e["ORVANEL_HKLM"] = self.store
            e["ORVANEL_CONTROL_SOCKET"] = self.control
            e.update(env or {})
            cmd = (wrapper or []) + [HARRIER] + (args if args is not None else ["-debug"])
        self._out = open(self.output_path, "wb")
        self._err = open(self.errors_path, "wb") if self.errors_path else None
        self.proc = subprocess.Popen(cmd, stdout=self._out, stderr=self._err or subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL, env=e)
        if args is None or args[:1] == ["-debug"]:
            ready = self.wait_for(r"Ready on TFTP port|bind on TFTP port failed", 10)
            # The start-up lines follow the port's line: a test that reads the
            # console from here on must not meet them.
            if ready and ready.group(0).startswith("Ready"):
                self.wait_for(r"Multicast     : \d+", 10)

    # -- console output -------------------------------------------------
    def output(self):
        return console_text(self.output_path)

    def errors(self):
        """Standard error so far (with separate_stderr)."""
        return console_text(self.errors_path)

    def wait_for(self, pattern, timeout=5.0):
        """Waits until the console output matches pattern; returns the match."""
        return wait_for_console(self.proc, self.output_path, pattern, timeout)

    def path(self, name):
        return os.path.join(self.root, name)

    def rewrite_store(self, values, access=None):
        """Replaces the server's settings while it runs, as an administrator
        would: the store file at once (Linux), the registry key (Wine)."""
        values = dict({"Port": self.port, "RootDirectory": self.root.rstrip("/") + "/"}, **values)
        tmp = self.store + ".new"
        write_store(tmp, values, access)
        if on_wine():
            os.rename(tmp, self.store)
            import_into_wine(self.store)
            return
        # A different modification time even on coarse file systems.
        st = os.stat(self.store)
        os.utime(tmp, ns=(st.st_atime_ns, st.st_mtime_ns + 2_000_000_000))
        os.rename(tmp, self.store)

    def shown_root(self):
        """The root directory as the server prints it, with its separator."""
        return shown_path(self.root.rstrip("/") + "/")

    def put_file(self, name, data):
        p = self.path(name)
        self.make_directory(os.path.dirname(p))
        with open(p, "wb") as f:
            f.write(data)
        return p

    def make_directory(self, path):
        """Makes the directory path and those above it that are missing,
        each one the server's, as the root is."""
        if os.path.isdir(path):
            return
        self.make_directory(os.path.dirname(path))
        os.mkdir(path)
        give_to_server(path)

    def stop(self, sig=signal.SIGINT, timeout=10):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._out.close()
        if self._err:
            self._err.close()
        return self.proc.returncode

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if not self._out.closed:
            self._out.close()
        if self._err and not self._err.closed:
            self._err.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Client:
    """A UDP socket on a loopback address (127.0.0.1, or host: ::1, say)
    talking to one server at that address."""

    def __init__(self, server_port, host=HOST):
        self.sock = socket.socket(family_of(host), socket.SOCK_DGRAM)
        self.sock.bind((host, 0))
        self.server = (host, server_port)
        self.peer = None  # the data port, learnt from the first answer

    def send_request(self, packet):
        self.sock.sendto(packet, self.server)

    def send(self, packet):
        self.sock.sendto(packet, self.peer)

    def receive(self, timeout=3.0):
        """(packet, (host, port)) or (None, None) on time-out; an IPv6
        source loses its flow and scope fields, so that it compares with
        self.server."""
        r, _, _ = select.select([self.sock], [], [], timeout)
        if not r:
            return None, None
        packet, address = self.sock.recvfrom(70000)
        address = address[:2]
        if self.peer is None and address != self.server:
            self.peer = address
        return packet, address

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def answers(port, name="a.bin", timeout=1.5, host=HOST):
    """True when an RRQ to the server port at host gets any answer within
    timeout; a session it started is ended at once with the ERROR text
    "enough", so that it holds no slot (and marks the console)."""
    with Client(port, host) as c:
        c.send_request(request(RRQ, name))
        packet, _ = c.receive(timeout)
        if packet is not None and c.peer:
            c.send(error_bytes(ERR_UNDEFINED, "enough"))
        return packet is not None


def download(client, name, mode="octet", options=None, timeout=3.0):
    """A complete read; returns (bytes, oack options or None, packets seen)."""
    client.send_request(request(RRQ, name, mode, options))
    received = bytearray()
    oack = None
    expected = 1
    block_size = int((options or {}).get("blksize", 512))
    seen = 0
    for _ in range(10_000_000):
        packet, _ = client.receive(timeout)
        if packet is None:
            raise AssertionError("server went silent at block %d" % expected)
        seen += 1
        op, fields = parse(packet)
        if op == ERROR:
            raise AssertionError("ERROR %d %s" % fields)
        if op == OACK:
            oack = fields[0]
            block_size = int(oack.get("blksize", 512))
            client.send(ack(0))
            continue
        if op == DATA:
            number, payload = fields
            if number == expected & 0xFFFF:
                received += payload
                client.send(ack(number))
                expected += 1
                if len(payload) < block_size:
                    return bytes(received), oack, seen
            else:
                client.send(ack(number))
    raise AssertionError("too many packets")
