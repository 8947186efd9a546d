"""The control channel of a running harrier: every command, the pause and
its permission, the session records, one client at a time.

The test process moves into a network namespace of its own, because the
channel's abstract socket name is per namespace: harriers of other tests
cannot answer in our place, and ours cannot disturb theirs.
"""
import ctypes
import os
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import harrier  # noqa: E402
import netns  # noqa: E402

CHANNEL = "\0orvanel_tftp_server"
HARRIERCTL = os.path.join(harrier.BUILD_DIR, "bin", "harrierctl")
NOBODY = 65534
_namespace = None


def setUpModule():
    global _namespace
    _namespace = netns.Namespace("ctl", multicast_route=False)
    fd = os.open("/var/run/netns/" + _namespace.name, os.O_RDONLY)
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.setns(fd, 0x40000000) != 0:  # CLONE_NEWNET
            raise unittest.SkipTest("cannot enter the namespace: errno %d" % ctypes.get_errno())
    finally:
        os.close(fd)


def tearDownModule():
    if _namespace:
        _namespace.remove()


def connect():
    c = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    c.settimeout(5)
    for _ in range(100):  # the channel opens just after the start-up lines
        try:
            c.connect(CHANNEL)
            return c
        except (ConnectionRefusedError, FileNotFoundError):
            time.sleep(0.05)
    raise AssertionError("control channel did not open")


def ask(c, command, index=None, raw=None):
    message = raw if raw is not None else struct.pack("<I", command) + (
        struct.pack("<I", index) if index is not None else b"")
    c.send(message)
    return c.recv(2048)


def status_only(reply):
    assert len(reply) == 4, reply
    return struct.unpack("<I", reply)[0]


def state(reply):
    assert len(reply) == 12, reply
    return struct.unpack("<III", reply)


def record(reply):
    """Fields of a 492-byte session reply."""
    assert len(reply) == 492, len(reply)
    status, active = struct.unpack_from("<II", reply, 0)
    r = reply[8:]
    return {
        "status": status, "active": active,
        "opcode": struct.unpack_from("<H", r, 0)[0],
        "block": struct.unpack_from("<I", r, 4)[0],
        "mode": struct.unpack_from("<i", r, 8)[0],
        "block_size": struct.unpack_from("<H", r, 16)[0],
        "file_size": struct.unpack_from("<I", r, 20)[0],
        "data_socket": struct.unpack_from("<i", r, 28)[0],
        "result": struct.unpack_from("<i", r, 32)[0],
        "client_ip": socket.inet_ntoa(r[52:56]),
        "client_port": struct.unpack_from("!H", r, 60)[0],
        "thread": struct.unpack_from("<i", r, 68)[0],
        "path": r[92:352].split(b"\0")[0].decode(),
        "error_text": r[352:480].split(b"\0")[0].decode(),
        "padding": (r[2:4], r[18:20]),
    }


def as_nobody():
    os.setgid(NOBODY)
    os.setgroups([])
    os.setuid(NOBODY)


class ControlTest(unittest.TestCase):
    def setUp(self):
        self.server = harrier.Server(settings={"Timeout": 1})
        # Other users may reach the store's directory, as under /etc.
        os.chmod(self.server.dir, 0o755)
        os.chmod(self.server.store, 0o644)
        self.addCleanup(self.server.close)
        self.server.put_file("small.bin", b"s" * 700)
        self.server.put_file("big.bin", bytes(range(256)) * 4096)  # 1 MiB

    def answered(self, name="small.bin", timeout=1.0):
        with harrier.Client(self.server.port) as c:
            c.send_request(harrier.request(harrier.RRQ, name))
            packet, _ = c.receive(timeout)
            if packet is not None:
                c.send(harrier.error(0, "enough"))
            return packet is not None

    def store_text(self):
        with open(self.server.store) as f:
            return f.read()

    def test_state_reload_and_unknown_commands(self):
        c = connect()
        self.assertEqual(state(ask(c, 7)), (0, 0, 0))
        for command in (1, 2, 3, 4):
            self.assertEqual(status_only(ask(c, command)), 0)
        for command in (0, 9, 0xFFFFFFFF):
            self.assertEqual(status_only(ask(c, command)), 1)
        # Requests shorter than their command needs get status 1, not stale bytes.
        ask(c, 8, 0)  # leaves a full request in the server's buffer
        for raw in (b"\x07", b"\x07\x00\x00", b"\x08\x00\x00\x00", b"\x08\x00\x00\x00\x00\x00\x00"):
            self.assertEqual(status_only(ask(c, None, raw=raw)), 1, raw)
        # Many requests over one connection: still answered.
        self.assertEqual(state(ask(c, 7)), (0, 0, 0))
        c.close()

    def test_reload_of_server_settings_takes_effect(self):
        self.server.put_file("up.txt", b"")
        with harrier.Client(self.server.port) as t:
            t.send_request(harrier.request(harrier.WRQ, "new.txt"))
            packet, _ = t.receive()
            self.assertEqual(harrier.parse(packet)[0], harrier.ACK)
            t.send(harrier.data(1, b"x"))
            t.receive()
        harrier.write_store(self.server.store, {"Port": self.server.port,
                                                "RootDirectory": self.server.root + "/",
                                                "Upload": 0, "Timeout": 1})
        c = connect()
        self.assertEqual(status_only(ask(c, 2)), 0)
        with harrier.Client(self.server.port) as t:
            t.send_request(harrier.request(harrier.WRQ, "other.txt"))
            packet, _ = t.receive()
            op, fields = harrier.parse(packet)
            self.assertEqual((op, fields[0]), (harrier.ERROR, 4))  # uploads now refused
        c.close()

    def test_a_message_longer_than_the_buffer_disconnects(self):
        c = connect()
        c.send(struct.pack("<I", 7) + b"\0" * 1021)  # 1025 bytes
        self.assertEqual(c.recv(2048), b"")
        c.close()
        c = connect()
        self.assertEqual(len(ask(c, 7, raw=struct.pack("<I", 7) + b"\0" * 1020)), 12)  # 1024 bytes is fine
        c.close()

    def test_second_client_is_refused_while_one_is_connected(self):
        first = connect()
        self.assertEqual(state(ask(first, 7))[0], 0)
        second = connect()  # the kernel accepts the connection; the server closes it at once
        second.settimeout(3)
        try:
            second.send(struct.pack("<I", 7))
            self.assertEqual(second.recv(2048), b"")
        except (BrokenPipeError, ConnectionResetError):
            pass
        second.close()
        self.assertEqual(state(ask(first, 7))[0], 0)  # the first one is still served
        first.close()
        third = connect()  # and after it left, the next one is
        self.assertEqual(state(ask(third, 7))[0], 0)
        third.close()

    def test_a_silent_client_is_dropped_and_the_next_one_served(self):
        idle = connect()  # connects and sends nothing
        began = time.monotonic()
        r = subprocess.run([HARRIERCTL, "status"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=20)
        self.assertEqual(r.returncode, 2, "refused while the silent client holds the channel")
        idle.settimeout(10)
        try:
            self.assertEqual(idle.recv(64), b"")
        except socket.timeout:
            self.fail("a silent client still holds the channel after 10 s")
        held = time.monotonic() - began
        self.assertGreater(held, 4.0)
        self.assertLess(held, 7.5)
        idle.close()
        r = subprocess.run([HARRIERCTL, "status"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=20)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("server: answering", r.stdout.decode())

    def test_a_client_that_keeps_asking_stays_connected(self):
        c = connect()
        began = time.monotonic()
        for _ in range(9):  # a request a second for 8 s, longer than the idle limit
            self.assertEqual(state(ask(c, 7)), (0, 0, 0))
            time.sleep(1)
        self.assertGreater(time.monotonic() - began, 8)
        self.assertEqual(state(ask(c, 7)), (0, 0, 0))
        c.close()

    def test_pause_drops_requests_until_resume(self):
        c = connect()
        self.assertTrue(self.answered())
        self.assertEqual(state(ask(c, 6)), (0, 1, 0))
        self.assertEqual(state(ask(c, 7)), (0, 1, 0))
        self.assertFalse(self.answered(timeout=1.5))
        self.assertNotIn("Request from", self.server.output().split("enough")[-1])
        self.assertEqual(state(ask(c, 5)), (0, 0, 0))
        self.assertTrue(self.answered())
        self.assertNotIn('"Stop"', self.store_text())
        c.close()

    def test_pause_is_refused_to_a_user_who_cannot_write_the_settings(self):
        script = ("import socket,struct\n"
                  "c=socket.socket(socket.AF_UNIX,socket.SOCK_SEQPACKET);c.settimeout(5)\n"
                  "c.connect('\\0orvanel_tftp_server')\n"
                  "c.send(struct.pack('<I',6));print(struct.unpack('<III',c.recv(64)))\n")
        # The system's python: the test's own may live where nobody cannot read.
        r = subprocess.run(["/usr/bin/python3", "-c", script], preexec_fn=as_nobody,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=20)
        self.assertEqual(r.stdout.decode().strip(), "(0, 0, 0)")
        self.assertTrue(self.answered())
        self.assertNotIn('"Stop"', self.store_text())
        # harrierctl says so too, with its own exit code.
        r = subprocess.run([HARRIERCTL, "pause"], preexec_fn=as_nobody,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=20)
        self.assertEqual(r.returncode, 1)
        self.assertIn("server: answering", r.stdout.decode())
        self.assertIn("write access", r.stderr.decode())
        # A user who may write the store's directory and file is allowed.
        os.chown(os.path.dirname(self.server.store), NOBODY, NOBODY)
        os.chown(self.server.store, NOBODY, NOBODY)
        r = subprocess.run([HARRIERCTL, "pause"], preexec_fn=as_nobody,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=20)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("server: paused", r.stdout.decode())
        self.assertFalse(self.answered())
        c = connect()
        self.assertEqual(state(ask(c, 5)), (0, 0, 0))
        c.close()

    def test_session_records(self):
        c = connect()
        self.assertEqual(status_only(ask(c, 8, 0)), 1)  # nothing listed yet
        with harrier.Client(self.server.port) as t:
            got, _, _ = harrier.download(t, "small.bin")
        self.assertEqual(len(got), 700)
        for _ in range(100):  # the worker marks itself finished just after the last ACK
            rec = record(ask(c, 8, 0))
            if rec["thread"] == -1:
                break
            time.sleep(0.02)
        self.assertEqual(rec["status"], 0)
        self.assertEqual((rec["opcode"], rec["mode"], rec["block_size"]), (1, 3, 512))
        self.assertEqual((rec["file_size"], rec["result"], rec["block"]), (700, 0, 2))
        self.assertEqual((rec["data_socket"], rec["thread"]), (-1, -1))
        self.assertEqual(rec["path"], os.path.join(self.server.root, "small.bin"))
        self.assertEqual(rec["client_ip"], "127.0.0.1")
        self.assertEqual(rec["padding"], (b"\0\0", b"\0\0"))
        self.assertEqual(rec["active"], 0)
        self.assertEqual(status_only(ask(c, 8, 1)), 1)  # index = count

        # A refused request is never listed and purges nothing.
        with harrier.Client(self.server.port) as t:
            t.send_request(harrier.request(harrier.RRQ, "missing.bin"))
            self.assertEqual(harrier.parse(t.receive()[0])[0], harrier.ERROR)
        self.assertEqual(record(ask(c, 8, 0))["path"], rec["path"])

        # A running transfer, read while its worker works; an ABORT is kept.
        t = harrier.Client(self.server.port)
        t.send_request(harrier.request(harrier.RRQ, "big.bin"))
        packet, _ = t.receive()
        t.send(harrier.ack(1))
        t.receive()
        running = None
        for _ in range(100):
            running = record(ask(c, 8, 0))
            if running["block"] == 2:
                break
            time.sleep(0.02)
        self.assertEqual((running["block"], running["result"], running["active"]), (2, -1, 1))
        self.assertNotEqual(running["thread"], -1)
        self.assertNotEqual(running["data_socket"], -1)
        self.assertEqual(running["file_size"], 1 << 20)
        # The finished one from before was purged when this one was accepted.
        self.assertEqual(status_only(ask(c, 8, 1)), 1)
        t.send(harrier.error(3, "stop here"))
        for _ in range(100):
            ended = record(ask(c, 8, 0))
            if ended["thread"] == -1:
                break
            time.sleep(0.02)
        self.assertEqual((ended["result"], ended["error_text"]), (2, "3 stop here"))
        t.close()

        # harrierctl is refused while we are connected, and lists it once we left.
        r = subprocess.run([HARRIERCTL, "list"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=20)
        self.assertEqual(r.returncode, 2)
        self.assertIn("did not answer", r.stderr.decode())
        c.close()
        r = subprocess.run([HARRIERCTL, "list"], stdout=subprocess.PIPE, timeout=20)
        self.assertEqual(r.returncode, 0)
        listing = r.stdout.decode().splitlines()
        self.assertEqual(listing[0], "active transfers: 0")
        self.assertRegex(listing[2], r"^0 +Get octet +127\.0\.0\.1:\d+ +1024 +1048576 +0% +aborted +/.*big\.bin  3 stop here$")

    def test_stopping_server_closes_the_channel(self):
        c = connect()
        self.assertEqual(state(ask(c, 7)), (0, 0, 0))
        self.server.stop()
        self.assertIn(c.recv(64), (b"",))
        c.close()
        with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as late:
            with self.assertRaises(OSError):
                late.connect(CHANNEL)


if __name__ == "__main__":
    unittest.main()
