"""The control channel of a running harrier: every command, the pause and
its permission, the session records, several clients at once, the socket's
file and the stale one an earlier server left.

Every server's channel lies in its own directory ($ORVANEL_CONTROL_SOCKET),
so that servers of other tests cannot answer in our place.
"""
import contextlib
import os
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import harrier  # noqa: E402
import tftp_packets as tp  # noqa: E402
from harrier import HARRIERCTL, NOBODY, as_nobody, control_connect, harrierctl  # noqa: E402,F401
from common import scratch_directory, wait_for  # noqa: E402


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


@contextlib.contextmanager
def as_user(uid):
    """Runs the block with uid as the effective user, so that the sockets
    it connects carry that user's credentials."""
    os.setegid(uid)
    os.seteuid(uid)
    try:
        yield
    finally:
        os.seteuid(0)
        os.setegid(0)


def peer_closed(c, timeout=3):
    """True when the server ended the connection (after the replies it sent)."""
    c.settimeout(timeout)
    try:
        while c.recv(2048):
            pass
        return True
    except (ConnectionResetError, BrokenPipeError):
        return True
    except socket.timeout:
        return False


class ControlTest(unittest.TestCase):
    def setUp(self):
        self.server = harrier.Server(settings={"Timeout": 1})
        os.chmod(self.server.store, 0o644)  # others may read it, as under /etc
        self.addCleanup(self.server.close)
        self.server.put_file("small.bin", b"s" * 700)
        self.server.put_file("big.bin", bytes(range(256)) * 4096)  # 1 MiB
        control_connect(self.server.control).close()  # opened just after the "Ready" line

    def connect(self):
        return control_connect(self.server.control)

    def ctl(self, *args, **kw):
        return harrierctl(self.server.control, *args, **kw)

    def answered(self, timeout=1.0):
        return harrier.answers(self.server.port, "small.bin", timeout)

    def store_text(self):
        with open(self.server.store) as f:
            return f.read()

    def test_state_reload_and_unknown_commands(self):
        c = self.connect()
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
            t.send_request(tp.request(tp.WRQ, "new.txt"))
            packet, _ = t.receive()
            self.assertEqual(tp.parse(packet)[0], tp.ACK)
            t.send(tp.data(1, b"x"))
            t.receive()
        self.server.rewrite_store({"Upload": 0, "Timeout": 1})
        c = self.connect()
        self.assertEqual(status_only(ask(c, 2)), 0)
        with harrier.Client(self.server.port) as t:
            t.send_request(tp.request(tp.WRQ, "other.txt"))
            packet, _ = t.receive()
            op, fields = tp.parse(packet)
            self.assertEqual((op, fields[0]), (tp.ERROR, tp.ERR_ILLEGAL))  # uploads now refused
        c.close()

    def test_a_message_longer_than_the_buffer_disconnects(self):
        c = self.connect()
        c.send(struct.pack("<I", 7) + b"\0" * 1021)  # 1025 bytes
        self.assertEqual(c.recv(2048), b"")
        c.close()
        c = self.connect()
        self.assertEqual(len(ask(c, 7, raw=struct.pack("<I", 7) + b"\0" * 1020)), 12)  # 1024 bytes is fine
        c.close()

    def test_several_clients_are_served_at_once(self):
        clients = [self.connect() for _ in range(8)]
        for _ in range(2):
            for c in clients:  # each answered while the others stay connected
                self.assertEqual(state(ask(c, 7)), (0, 0, 0))
        # A ninth takes the place of the least recently active client, here
        # the first, as all are root's.
        ninth = self.connect()
        self.assertEqual(state(ask(ninth, 7)), (0, 0, 0))
        self.assertTrue(peer_closed(clients[0]))
        for c in clients[1:]:
            self.assertEqual(state(ask(c, 7)), (0, 0, 0))
        for c in clients + [ninth]:
            c.close()

    def test_one_user_filling_the_table_pushes_out_only_its_own(self):
        mine = self.connect()
        self.assertEqual(state(ask(mine, 7)), (0, 0, 0))
        with as_user(NOBODY):
            crowd = [self.connect() for _ in range(20)]  # nobody's, each newer than ours
        for c in crowd[-7:]:
            self.assertEqual(state(ask(c, 7)), (0, 0, 0))
        self.assertTrue(all(peer_closed(c, 0.5) for c in crowd[:-7]), "more than 7 of nobody's kept")
        # Ours stayed, though it is the least recently active of all.
        self.assertEqual(state(ask(mine, 7)), (0, 0, 0))
        rc, out, err = self.ctl("status")
        self.assertEqual((rc, out), (0, "server: answering\n"), err)
        for c in crowd + [mine]:
            c.close()

    def test_a_silent_client_is_dropped(self):
        idle = self.connect()  # connects and sends nothing
        began = time.monotonic()
        rc, out, err = self.ctl("status")
        self.assertEqual((rc, out), (0, "server: answering\n"), "refused beside a silent client: " + err)
        idle.settimeout(10)
        try:
            self.assertEqual(idle.recv(64), b"")
        except socket.timeout:
            self.fail("a silent client still connected after 10 s")
        held = time.monotonic() - began
        self.assertGreater(held, 4.0)
        self.assertLess(held, 7.5)
        idle.close()

    def test_a_client_that_keeps_asking_stays_connected(self):
        c = self.connect()
        began = time.monotonic()
        for _ in range(9):  # a request a second for 8 s, longer than the idle limit
            self.assertEqual(state(ask(c, 7)), (0, 0, 0))
            time.sleep(1)
        self.assertGreater(time.monotonic() - began, 8)
        self.assertEqual(state(ask(c, 7)), (0, 0, 0))
        c.close()

    def test_pause_drops_requests_until_resume(self):
        c = self.connect()
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
        script = ("import socket,struct,sys\n"
                  "c=socket.socket(socket.AF_UNIX,socket.SOCK_SEQPACKET);c.settimeout(5)\n"
                  "c.connect(sys.argv[1])\n"
                  "c.send(struct.pack('<I',6));print(struct.unpack('<III',c.recv(64)))\n")
        # The system's python: the test's own may live where nobody cannot read.
        r = subprocess.run(["/usr/bin/python3", "-c", script, self.server.control], preexec_fn=as_nobody,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=20)
        self.assertEqual(r.stdout.decode().strip(), "(0, 0, 0)")
        self.assertTrue(self.answered())
        self.assertNotIn('"Stop"', self.store_text())
        # harrierctl says so too, with its own exit code.
        program = harrier.reachable_copy(HARRIERCTL)
        rc, out, err = self.ctl("pause", program=program, preexec_fn=as_nobody)
        self.assertEqual(rc, 1)
        self.assertIn("server: answering", out)
        self.assertIn("write access", err)
        # A user who may write the store's directory and file is allowed.
        os.chown(os.path.dirname(self.server.store), NOBODY, NOBODY)
        os.chown(self.server.store, NOBODY, NOBODY)
        rc, out, err = self.ctl("pause", program=program, preexec_fn=as_nobody)
        self.assertEqual(rc, 0, err)
        self.assertIn("server: paused", out)
        self.assertFalse(self.answered())
        c = self.connect()
        self.assertEqual(state(ask(c, 5)), (0, 0, 0))
        c.close()

    def test_session_records(self):
        c = self.connect()
        self.assertEqual(status_only(ask(c, 8, 0)), 1)  # nothing listed yet
        with harrier.Client(self.server.port) as t:
            got, _, _ = harrier.download(t, "small.bin")
        self.assertEqual(len(got), 700)
        # The worker marks itself finished just after the last ACK.
        rec = wait_for(lambda: record(ask(c, 8, 0)), lambda r: r["thread"] == -1, 5, 0.02)
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
            t.send_request(tp.request(tp.RRQ, "missing.bin"))
            self.assertEqual(tp.parse(t.receive()[0])[0], tp.ERROR)
        self.assertEqual(record(ask(c, 8, 0))["path"], rec["path"])

        # A running transfer, read while its worker works; an ABORT is kept.
        t = harrier.Client(self.server.port)
        t.send_request(tp.request(tp.RRQ, "big.bin"))
        packet, _ = t.receive()
        t.send(tp.ack(1))
        t.receive()
        running = wait_for(lambda: record(ask(c, 8, 0)), lambda r: r["block"] == 2, 5, 0.02)
        self.assertEqual((running["block"], running["result"], running["active"]), (2, -1, 1))
        self.assertNotEqual(running["thread"], -1)
        self.assertNotEqual(running["data_socket"], -1)
        self.assertEqual(running["file_size"], 1 << 20)
        # The finished one from before was purged when this one was accepted.
        self.assertEqual(status_only(ask(c, 8, 1)), 1)
        t.send(tp.error_bytes(3, "stop here"))
        ended = wait_for(lambda: record(ask(c, 8, 0)), lambda r: r["thread"] == -1, 5, 0.02)
        self.assertEqual((ended["result"], ended["error_text"]), (2, "3 stop here"))
        t.close()

        # harrierctl lists it while we are still connected.
        rc, out, err = self.ctl("list")
        c.close()
        self.assertEqual(rc, 0, err)
        listing = out.splitlines()
        self.assertEqual(listing[0], "active transfers: 0")
        self.assertRegex(listing[2], r"^0 +Get octet +127\.0\.0\.1:\d+ +1024 +1048576 +0% +aborted +/.*big\.bin  3 stop here$")

    def test_records_with_the_full_address(self):
        """Command 9 adds the client's address of either family to command 8's
        reply; an IPv6 client's record alone says 0.0.0.0."""
        self.server.put_file("six.bin", b"6" * 1000)
        v6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
        self.addCleanup(v6.close)
        v6.settimeout(5)
        v6.sendto(tp.request(tp.RRQ, "six.bin"), ("::1", self.server.port))
        packet, source = v6.recvfrom(600)  # left unacknowledged: it stays listed, running
        self.assertEqual((tp.parse(packet)[0], source[0]), (tp.DATA, "::1"))
        with harrier.Client(self.server.port) as t:
            got, _, _ = harrier.download(t, "small.bin")
        self.assertEqual(len(got), 700)
        with self.connect() as c:
            self.assertEqual(record(ask(c, 8, 1))["client_ip"], "0.0.0.0")
            replies = [ask(c, 9, i) for i in (0, 1)]
            self.assertEqual(status_only(ask(c, 9, 2)), 1)
            self.assertEqual(status_only(ask(c, 9)), 1, "an index is needed")
        self.assertEqual([len(r) for r in replies], [516, 516])
        self.assertTrue(record(replies[1][:492])["path"].endswith("six.bin"))
        family, address, zone = struct.unpack_from("<I16sI", replies[1], 492)
        self.assertEqual((family, socket.inet_ntop(socket.AF_INET6, address), zone), (6, "::1", 0))
        family, address, zone = struct.unpack_from("<I16sI", replies[0], 492)
        self.assertEqual((family, socket.inet_ntoa(address[:4]), address[4:]), (4, "127.0.0.1", bytes(12)))
        rc, out, err = self.ctl("list")
        self.assertEqual(rc, 0, err)
        listing = out.splitlines()
        self.assertRegex(listing[2], r"^0 +Get octet +127\.0\.0\.1:\d+ +700 +700 +100% +done +/.*small\.bin$")
        self.assertRegex(listing[3], r"^1 +Get octet +\[::1\]:\d+ +\d+ +1000 +\d+% +running +/.*six\.bin$")

    def test_list_escapes_control_bytes_of_names_and_error_texts(self):
        name = "evil\x1b[2J\r\nx.bin"
        self.server.put_file(name, b"e" * 2000)
        with harrier.Client(self.server.port) as t:
            t.send_request(tp.request(tp.RRQ, name))
            packet, _ = t.receive()
            self.assertEqual(tp.parse(packet)[0], tp.DATA, packet)
            t.send(tp.error_bytes(tp.ERR_UNDEFINED, "bye\x1b]0;owned\x07\r\nfake line\x7f"))
        # The worker records the ERROR just after it came.
        rc, out, err = wait_for(lambda: self.ctl("list"), lambda listed: "aborted" in listed[1], 5, 0.02)
        self.assertEqual(rc, 0, err)
        self.assertEqual(len(out.splitlines()), 3, out)  # a head line, the titles and one transfer
        self.assertNotRegex(out[:-1], "[\x00-\x09\x0b-\x1f\x7f]")
        self.assertIn("evil\\x1b[2J\\x0d\\x0ax.bin  0 bye\\x1b]0;owned\\x07\\x0d\\x0afake line\\x7f\n", out)

    def test_socket_and_directory_are_made_open_to_all(self):
        base = scratch_directory(self.addCleanup, "orvanel-control-")
        path = os.path.join(base, "run", "control")
        old = os.umask(0o077)  # harrier's own umask must not close the channel to others
        try:
            server = harrier.Server(env={"ORVANEL_CONTROL_SOCKET": path})
        finally:
            os.umask(old)
        self.addCleanup(server.close)
        control_connect(path).close()
        self.assertEqual(oct(os.stat(os.path.dirname(path)).st_mode & 0o7777), "0o755")
        self.assertEqual(oct(os.lstat(path).st_mode & 0o7777), "0o666")

    def test_a_stale_socket_is_replaced_and_a_plain_file_is_not(self):
        base = harrier.server_directory(self.addCleanup, "orvanel-control-")  # the service user's, as systemd makes it
        path = os.path.join(base, "control")
        stale = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        stale.bind(path)  # bound, never listening, closed: what an ended server leaves
        stale.close()
        server = harrier.Server(env={"ORVANEL_CONTROL_SOCKET": path})
        self.addCleanup(server.close)
        # The channel opens just after the port's "Ready" line, once the
        # stale socket has been found silent.
        control_connect(path).close()
        self.assertEqual(harrierctl(path, "status")[:2], (0, "server: answering\n"))
        self.assertEqual(server.stop(), 0)

        with open(path, "w") as f:
            f.write("not a socket")
        server = harrier.Server(env={"ORVANEL_CONTROL_SOCKET": path})
        self.addCleanup(server.close)
        server.wait_for(r"Control channel %s not opened: the path exists and is not a socket" % path)
        with open(path) as f:
            self.assertEqual(f.read(), "not a socket")
        rc, _, err = harrierctl(path, "status")
        self.assertEqual(rc, 2, err)
        server.put_file("f.bin", b"f" * 10)
        with harrier.Client(server.port) as t:  # TFTP is served all the same
            self.assertEqual(harrier.download(t, "f.bin")[0], b"f" * 10)

    def test_stopping_server_closes_the_channel(self):
        c = self.connect()
        self.assertEqual(state(ask(c, 7)), (0, 0, 0))
        self.server.stop()
        self.assertIn(c.recv(64), (b"",))
        c.close()
        with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as late:
            with self.assertRaises(OSError):
                late.connect(self.server.control)
        self.assertFalse(os.path.lexists(self.server.control), "the socket's file was left behind")


class OlderServerTest(unittest.TestCase):
    """A server from before command 9, still running while harrierctl was
    upgraded: it refuses 9 as unknown and answers 8 only."""

    def test_list_falls_back_to_command_8(self):
        path = os.path.join(scratch_directory(self.addCleanup, "orvanel-old-ctl-"), "control")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.addCleanup(listener.close)
        listener.bind(path)
        listener.listen(1)
        listener.settimeout(10)
        r = bytearray(484)
        struct.pack_into("<HxxIi", r, 0, 1, 3, 3)  # Get, block 3, octet
        struct.pack_into("<HxxIIIi", r, 16, 1024, 5000, 0, 0xFFFFFFFF, 0)  # no socket, result 0
        r[52:56] = socket.inet_aton("192.0.2.7")
        struct.pack_into("!H", r, 60, 4321)
        struct.pack_into("<I", r, 68, 0xFFFFFFFF)
        r[92:92 + 8] = b"/old.bin"
        asked = []

        def answer():
            conn, _ = listener.accept()
            with conn:
                while True:
                    message = conn.recv(64)
                    if not message:
                        return
                    command, index = struct.unpack("<II", message[:8].ljust(8, b"\0"))
                    asked.append((command, index))
                    if command == 8 and index == 0:
                        conn.send(struct.pack("<II", 0, 0) + bytes(r))
                    else:
                        conn.send(struct.pack("<I", 1))

        worker = threading.Thread(target=answer, daemon=True)
        worker.start()
        rc, out, err = harrierctl(path, "list")
        worker.join(10)
        self.assertEqual(rc, 0, err)
        self.assertEqual(asked, [(9, 0), (8, 0), (8, 1)])
        listing = out.splitlines()
        self.assertEqual(listing[0], "active transfers: 0")
        self.assertRegex(listing[2], r"^0 +Get octet +192\.0\.2\.7:4321 +3072 +5000 +61% +done +/old\.bin$")


if __name__ == "__main__":
    unittest.main()
