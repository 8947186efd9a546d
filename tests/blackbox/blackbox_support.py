"""Shared pieces of the black-box tests: a test case base that starts one
harrier per class, console-log helpers and receiving with arrival times; the packets
come from tests/support/tftp_packets.py. Everything talks to 127.0.0.1 (or
another 127/8 address) or ::1 only.
"""
import os
import re
import select
import socket
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

from common import HOST, HOST6, fd_count, pattern, read_file, scratch_directory, wait_for, wait_until  # noqa: E402,F401
from harrier import (  # noqa: E402,F401
    TS, Client, Server, download, drops_to_service_user, give_to_server, on_wine, request_path,
    server_directory, service_user, write_store)
from tftp_packets import (  # noqa: E402,F401
    ACK, DATA, ERR_DISK_FULL, ERR_EXISTS, ERR_ILLEGAL, ERR_NOT_FOUND, ERR_OPTION, ERR_UNDEFINED, ERROR, OACK,
    RRQ, WRQ, ack, block_of, data, error_bytes, oack_bytes, opcode_of, parse, raw_request, request)

# The status column of a completed transfer: its duration, "%7us".
COMPLETED = r"^ {6}\ds$|^ {5}\d\ds$"

SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "WARNING: ThreadSanitizer", "AddressSanitizer:DEADLYSIGNAL")


def client_at(server_port, address=HOST):
    """A Client whose socket is bound to another loopback address."""
    c = Client(server_port)
    c.sock.close()
    c.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    c.sock.bind((address, 0))
    return c


def server_fds(server):
    """Descriptors the server holds; skips the test under Wine, where /proc
    does not show them."""
    if on_wine():
        raise unittest.SkipTest("Linux only: counts descriptors in /proc")
    return fd_count(server.proc.pid)


def console_quiet(server, quiet, limit):
    """Waits until the server's console has not grown for `quiet` seconds,
    at most `limit` seconds in all; True when it went quiet."""
    deadline = time.monotonic() + limit
    size, since = len(server.output()), time.monotonic()
    while time.monotonic() < deadline:
        time.sleep(0.1)
        now = len(server.output())
        if now != size:
            size, since = now, time.monotonic()
        elif time.monotonic() - since >= quiet:
            return True
    return False


def linux_only(reason):
    """Skips a test or class when the servers are Harrier.exe under Wine."""
    return unittest.skipIf(on_wine(), "Linux only: " + reason)


def free_port_range(count):
    """First of `count` consecutive free UDP ports below the ephemeral range."""
    base = 10000 + (os.getpid() * 37 % 1500) * 10
    for start in range(base, base + 4000, count + 1):
        socks = []
        try:
            for p in range(start, start + count):
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                socks.append(s)
                s.bind(("0.0.0.0", p))
            return start
        except OSError:
            continue
        finally:
            for s in socks:
                s.close()
    raise RuntimeError("no free port range")


def stop_checked(server):
    """Stops a server that must have lived through the tests and ended
    cleanly at Ctrl+C, without a sanitizer report; closes it in any case."""
    try:
        alive = server.proc.poll() is None
        rc = server.stop()
        out = server.output()
        for mark in SANITIZER_MARKS:
            if mark in out:
                raise AssertionError("sanitizer report in server output:\n" + out[-4000:])
        if not alive:
            raise AssertionError("server died during the tests (exit %s):\n%s" % (rc, out[-4000:]))
        if rc != 0:
            raise AssertionError("server exit code %s after Ctrl+C:\n%s" % (rc, out[-4000:]))
    finally:
        server.close()


class BlackBoxCase(unittest.TestCase):
    """Starts one harrier for the class; stops it with Ctrl+C at the end and
    checks that it ended cleanly (exit code 0, no sanitizer report)."""

    settings = {}
    access = None
    wrapper = None
    files = {}  # name under the root: content, put there once the server runs

    @classmethod
    def setUpClass(cls):
        cls.server = Server(settings=dict(cls.settings), access=cls.access, wrapper=cls.wrapper)
        for name, content in cls.files.items():
            cls.server.put_file(name, content)
        if "bind on TFTP port failed" in cls.server.output():
            cls.server.close()
            raise RuntimeError("server could not bind its port")

    @classmethod
    def tearDownClass(cls):
        stop_checked(cls.server)

    # -- packets ----------------------------------------------------------
    def client(self, address=HOST):
        """A client bound to address; an IPv6 one (::1) also talks to the
        server there."""
        if ":" in address:
            c = Client(self.server.port, address)
        else:
            c = client_at(self.server.port, address) if address != HOST else Client(self.server.port)
        self.addCleanup(c.close)
        return c

    def ask_read(self, name, mode="octet", options=None):
        """A client that has just sent an RRQ for name."""
        c = self.client()
        c.send_request(request(RRQ, name, mode, options))
        return c

    def expect(self, client, timeout=3.0):
        """The next packet and its source; fails on silence."""
        packet, source = client.receive(timeout)
        self.assertIsNotNone(packet, "no answer from the server")
        return packet, source

    def expect_nothing(self, client, seconds):
        packet, source = client.receive(seconds)
        self.assertIsNone(packet, "unexpected packet %r from %r" % (packet and packet[:40], source))

    def assertRefused(self, packet, code, message, client=None):
        """Sends packet to the server port; the answer must be exactly one ERROR
        from the server port."""
        c = client or self.client()
        c.send_request(packet)
        answer, source = self.expect(c)
        if answer[:2] != bytes([0, ERROR]):
            # Not refused: end the transfer that started, so that nothing hangs on.
            c.send(error_bytes(ERR_UNDEFINED, "test over"))
        self.assertEqual(source, c.server, "refusal not sent from the server port")
        self.assertEqual(answer, error_bytes(code, message), "request %r" % packet[:80])
        return c

    def fetch(self, client, name, mode="octet", options=None, timeout=3.0):
        client.peer = None
        return download(client, name, mode, options, timeout)

    def begin_write(self, name, mode="octet", options=None, first=None, client=None):
        """A client (a new one unless given) whose WRQ for name got its first
        answer, ACK 0 or `first`, from a data port, not the server port."""
        c = client or self.client()
        c.peer = None
        c.send_request(request(WRQ, name, mode, options))
        answer, source = self.expect(c)
        self.assertNotEqual(source, c.server, "answer came from the server port")
        self.assertEqual(answer, first if first is not None else ack(0), name)
        return c

    def upload_block(self, client, name, payload):
        """WRQ without options and DATA 1 (the whole upload when it is
        short); both must be acknowledged."""
        self.begin_write(name, client=client)
        client.send(data(1, payload))
        self.assertEqual(self.expect(client)[0], ack(1), name)

    # -- console ----------------------------------------------------------
    def mark(self):
        return len(self.server.output())

    def lines(self, since=0):
            return self.server.output()[since:].splitlines()

    def wait_line(self, regex, since=0, timeout=5.0):
        """The first console line after `since` that matches regex (re.search)."""
        rx = re.compile(regex)
        line = wait_until(lambda: next((l for l in self.lines(since) if rx.search(l)), None), timeout, 0.02)
        if line is None:
            self.fail("no line matching %r; console since mark:\n%s"
                      % (regex, "\n".join(self.lines(since))[-3000:]))
        return line

    def wait_result(self, path, since=0, timeout=5.0):
        """The result line of the transfer of `path`: (status, address, label, rest)."""
        found = wait_until(lambda: self.result_lines(path, since), timeout, 0.02)
        if not found:
            self.fail("no result line for %s; console since mark:\n%s"
                      % (path, "\n".join(self.lines(since))[-3000:]))
        return result_fields(found[0])

    def wait_results(self, path, since, count, timeout=5.0):
        """The result lines of `path` after `since` once `count` have come;
        fails unless exactly that many came."""
        found = wait_for(lambda: self.result_lines(path, since), lambda lines: len(lines) >= count, timeout, 0.02)
        self.assertEqual(len(found), count, found)
        return found

    def result_lines(self, path, since=0):
        out = []
        for line in self.lines(since):
            if line.endswith(" " + path) and re.match(TS, line) and len(line) > 56 and "/" in line[45:55]:
                out.append(line)
        return out


def result_fields(line):
    """Splits a result or error line at its fixed columns."""
    if not (re.fullmatch(TS, line[:19]) and line[19] == " " and line[28] == " "
            and line[44] == " " and line[55] == " "):
        raise AssertionError("line does not have the fixed columns: %r" % line)
    return line[20:28], line[29:44], line[45:55], line[56:]


def receive_all(client, seconds):
    """Every packet that arrives within `seconds`, with its arrival time."""
    out = []
    deadline = time.monotonic() + seconds
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return out
        r, _, _ = select.select([client.sock], [], [], left)
        if r:
            packet, source = client.sock.recvfrom(70000)
            out.append((time.monotonic(), packet, source))


def upload_leftovers(directory):
    """New files of uploads that something left in the directory tree."""
    found = []
    for here, _, names in os.walk(directory):
        found += [os.path.join(here, n) for n in names if n.startswith(".tftp-upload-")]
    return found


SO_TIMESTAMP = getattr(socket, "SO_TIMESTAMP", 29)  # Linux's value; not every Python names it


def kernel_stamped(sock):
    """Asks the kernel to stamp every datagram with its arrival time, so that
    intervals do not depend on when this process gets to read them."""
    sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMP, 1)


def receive_stamped(sock):
    """(arrival time in seconds since the epoch, packet, source) of a socket
    prepared with kernel_stamped."""
    packet, ancillary, _, source = sock.recvmsg(70000, socket.CMSG_SPACE(16))
    stamp = time.time()
    for level, kind, blob in ancillary:
        if level == socket.SOL_SOCKET and kind == SO_TIMESTAMP:
            seconds, micros = struct.unpack("qq", blob[:16])
            stamp = seconds + micros / 1e6
    return stamp, packet, source


def collect_until(client, done, limit, grace=0.3):
    """Packets (time, packet, source) until done() holds (then `grace` more
    seconds) or `limit` seconds have passed."""
    out = []
    deadline = time.monotonic() + limit
    finished = None
    while True:
        now = time.monotonic()
        if finished is None and done():
            finished = now
            deadline = min(deadline, now + grace)
        if now >= deadline:
            return out
        r, _, _ = select.select([client.sock], [], [], min(0.05, deadline - now))
        if r:
            packet, source = client.sock.recvfrom(70000)
            out.append((time.monotonic(), packet, source))
