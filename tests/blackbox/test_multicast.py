"""Multicast reads: placing requests into groups, the master's stream to the
group, members that wait, finish or take the master role over, and the
time-to-live of group DATA.

harrier runs inside a network namespace of the test's own (lo up, 224.0.0.0/4
routed over lo); the raw clients below own sockets of that namespace and are
driven from this process. Without namespaces every test here is skipped.
"""
import os
import re
import select
import socket
import struct
import subprocess
import sys
import time
import unittest

from blackbox_support import (
    DATA, ERR_UNDEFINED, OACK, RRQ, TS, Server, ack, stop_checked, block_of, error_bytes, oack_bytes,
    opcode_of, parse, pattern, request, result_fields, wait_until)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import netns  # noqa: E402
from harrier import BUILD_DIR  # noqa: E402
from common import scratch_directory  # noqa: E402

PELICAN = os.path.abspath(os.path.join(BUILD_DIR, "bin", "pelican-tftp"))

GROUP = "224.0.0.1"
IP_RECVTTL = 12  # Linux values; Python does not name them
IP_TTL = 2
COMPLETED = r"^ {5,6}\d+s$"


def group_socket(ns, port, ttl=False):
    """A socket of the namespace joined to GROUP on `port`; several may share
    the port."""
    s = ns.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 21)
    s.bind(("0.0.0.0", port))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                 socket.inet_aton(GROUP) + socket.inet_aton("0.0.0.0"))
    if ttl:
        s.setsockopt(socket.IPPROTO_IP, IP_RECVTTL, 1)
    return s


class GroupClient:
    """A raw RFC 2090 client: a transfer socket for OACK and ACKs and, once an
    OACK names a group, a group socket. It keeps the blocks it holds, acts as
    master while its last OACK says so, and when it holds the whole file
    acknowledges the final block (a master, and a member with ack_when_complete)."""

    def __init__(self, ns, server_port, address, ack_when_complete=True):
        self.ns = ns
        self.address = address
        self.sock = ns.socket()
        self.sock.bind((address, 0))
        self.server = ("127.0.0.1", server_port)
        self.peer = None
        self.group = None
        self.block_size = 512
        self.blocks = {}
        self.final = None
        self.master = False
        self.hold = False  # a master that holds back its ACKs
        # A master that stops acknowledging by itself once it holds this many
        # blocks: the stream can run far within one drain of the socket.
        self.hold_after = None
        self.ack_when_complete = ack_when_complete
        self.finished = False
        self.oacks = []  # (arrival time, options)
        self.unicast_data = 0
        self.acks_sent = []
        self.group_sources = set()

    def request(self, name, options=None, mode="octet"):
        opts = {"multicast": ""}
        opts.update(options or {})
        self.sock.sendto(request(RRQ, name, mode, opts), self.server)

    def sockets(self):
        return [self.sock] + ([self.group] if self.group else [])

    def contiguous_end(self):
        n = 0
        while n + 1 in self.blocks:
            n += 1
        return n

    def complete(self):
        return self.final is not None and self.contiguous_end() >= self.final

    def content(self):
        return b"".join(self.blocks[i] for i in range(1, self.final + 1))

    def send_ack(self, number):
        self.acks_sent.append(number)
        self.sock.sendto(ack(number), self.peer)

    def answer(self):
        """What a master says after news: the end of what it holds."""
        if self.finished or not self.master or self.hold:
            return
        if self.hold_after is not None and self.contiguous_end() >= self.hold_after:
            return
        if self.complete():
            self.send_ack(self.final)
            self.finished = True
        else:
            self.send_ack(self.contiguous_end())

    def take_block(self, packet):
        number, payload = parse(packet)[1]
        if number == 0 or number in self.blocks:
            return
        self.blocks[number] = payload
        if len(payload) < self.block_size:
            self.final = number

    def on_packet(self, sock, packet, source):
        op = opcode_of(packet)
        if sock is self.group:
            if op == DATA:
                self.group_sources.add(source)
                self.take_block(packet)
                if self.master:
                    self.answer()
                elif self.complete() and self.ack_when_complete and not self.finished:
                    self.send_ack(self.final)
                    self.finished = True
            return
        if self.peer is None:
            self.peer = source
        if op == OACK:
            opts = parse(packet)[1][0]
            self.oacks.append((time.monotonic(), opts))
            self.block_size = int(opts.get("blksize", 512))
            if "multicast" in opts:
                _, port, flag = opts["multicast"].split(",")
                if self.group is None:
                    self.group = group_socket(self.ns, int(port))
                self.master = flag == "1"
            if self.master or "multicast" not in opts:
                self.master = True
                self.answer()
        elif op == DATA:
            self.unicast_data += 1
            self.take_block(packet)
            self.send_ack(parse(packet)[1][0])
            if self.complete():
                self.finished = True

    def close(self):
        for s in self.sockets():
            s.close()


def pump(clients, until, limit, observers=()):
    """Delivers every datagram to its client until until() holds or `limit`
    seconds have passed; observers are callables (socket -> handler)."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if until():
            return True
        owners = {}
        for c in clients:
            for s in c.sockets():
                owners[s] = c
        for s, handler in observers:
            owners[s] = handler
        ready, _, _ = select.select(list(owners), [], [], 0.05)
        for s in ready:
            # Everything queued, so that a fast stream does not overflow the buffer.
            for _ in range(10000):
                try:
                    packet, ancillary, _, source = s.recvmsg(70000, 64, socket.MSG_DONTWAIT)
                except BlockingIOError:
                    break
                owner = owners[s]
                if isinstance(owner, GroupClient):
                    if len(packet) >= 4:
                        owner.on_packet(s, packet, source)
                else:
                    owner(packet, ancillary)
    return until()


class GroupCounter:
    """Counts the DATA packets that reach the group, and their TTLs."""

    def __init__(self, ns, port=1758):
        self.sock = group_socket(ns, port, ttl=True)
        self.sock.setsockopt(socket.SOL_SOCKET, 33, 16 << 20)  # SO_RCVBUFFORCE: room for a whole burst
        self.numbers = []
        self.ttls = set()

    def __call__(self, packet, ancillary):
        if len(packet) >= 4 and opcode_of(packet) == DATA:
            self.numbers.append(block_of(packet))
        for level, kind, blob in ancillary:
            if level == socket.IPPROTO_IP and kind == IP_TTL:
                self.ttls.add(struct.unpack("i", blob[:4])[0])

    def observer(self):
        return (self.sock, self)


class MulticastCase(unittest.TestCase):
    """One harrier per class inside a namespace of its own."""

    settings = {}

    @classmethod
    def setUpClass(cls):
        cls.ns = netns.Namespace("orm")
        try:
            values = {"Timeout": 1, "Retransmit": 6}
            values.update(cls.settings)
            cls.server = Server(settings=values, wrapper=cls.ns.exec_prefix())
        except BaseException:
            cls.ns.remove()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            stop_checked(cls.server)
        finally:
            cls.ns.remove()

    def setUp(self):
        self.clients = []

    def tearDown(self):
        # Sessions a failed test left behind would hold group ports for the
        # next test; a session's port is free a moment after its result line.
        for c in self.clients:
            if c.peer and not c.finished:
                c.sock.sendto(error_bytes(ERR_UNDEFINED, "test over"), c.peer)
        time.sleep(0.3)

    def serve_counted(self, name, content):
        """Serves content as name; returns a GroupCounter on port 1758 and
        the console mark from which this test's lines count."""
        self.server.put_file(name, content)
        counter = GroupCounter(self.ns)
        self.addCleanup(counter.sock.close)
        return counter, self.mark()

    def client(self, address, ack_when_complete=True):
        c = GroupClient(self.ns, self.server.port, address, ack_when_complete)
        self.clients.append(c)
        self.addCleanup(c.close)
        return c

    def expect_oack(self, c, timeout=3.0):
        self.assertTrue(pump([c], lambda: c.oacks, timeout), "no OACK for %s" % c.address)
        return c.oacks[-1][1]

    def joined(self, address, name, options=None, hold=False, ack_when_complete=True):
        """A client at address that asked for name (a master that holds back
        its ACKs when hold) and got its OACK; returns it and the OACK's options."""
        c = self.client(address, ack_when_complete)
        c.hold = hold
        c.request(name, options)
        return c, self.expect_oack(c)

    def mark(self):
        return len(self.server.output())

    def result_of(self, address, since, timeout=10.0):
        """Status column of the result line of the transfer from `address`."""
        found = []

        def look():
            for line in self.server.output()[since:].splitlines():
                if re.match(TS, line) and len(line) > 56 and "/" in line[45:55]:
                    status, who, _, _ = result_fields(line)
                    if who.strip() == address:
                        found.append(status)
                        return True
            return False

        if not wait_until(look, timeout):
            self.fail("no result line for %s:\n%s" % (address, self.server.output()[since:][-3000:]))
        return found[0]

    def end_all(self, clients, since):
        """Aborts the sessions of the given clients, newest first, and waits
        until each has its result line."""
        for c in reversed(clients):
            if c.peer:
                c.sock.sendto(error_bytes(ERR_UNDEFINED, "test over"), c.peer)
            self.result_of(c.address, since)


class Placement(MulticastCase):
    def test_same_file_joins_other_block_size_opens_next_port_netascii_is_unicast(self):
        self.server.put_file("f.bin", pattern(5000, seed=1))
        start = self.mark()
        first, oack = self.joined("127.0.0.2", "f.bin", hold=True)
        self.assertEqual(oack, {"multicast": "224.0.0.1,1758,1"})
        second, oack = self.joined("127.0.0.3", "f.bin")
        self.assertEqual(oack, {"multicast": "224.0.0.1,1758,0"})

        other, oack = self.joined("127.0.0.4", "f.bin", {"blksize": 1024}, hold=True)
        self.assertEqual(oack, {"blksize": "1024", "multicast": "224.0.0.1,1759,1"})

        # netascii is never multicast; with multicast as its only option there is no OACK at all.
        text = self.client("127.0.0.5")
        self.server.put_file("f.txt", b"a line of text\n" * 400)
        text.request("f.txt", mode="netascii")
        self.assertTrue(pump([text], lambda: text.finished, 10), "netascii read did not end")
        self.assertEqual(text.oacks, [])
        self.assertEqual(text.content(), b"a line of text\n" * 400)
        self.assertRegex(self.result_of("127.0.0.5", start), COMPLETED)
        self.assertIn("Name %s Mode ascii Size 6000\n" % self.server.path("f.txt"),
                      self.server.output()[start:].replace("\r", ""))
        self.end_all([first, other, second], start)

    def test_raw_oack_bytes_name_group_port_and_flag(self):
        self.server.put_file("g.bin", pattern(700, seed=2))
        start = self.mark()
        c = self.client("127.0.0.6")
        c.sock.sendto(request(RRQ, "g.bin", "octet", {"tsize": 0, "multicast": ""}), c.server)
        r, _, _ = select.select([c.sock], [], [], 3)
        self.assertTrue(r, "no OACK")
        packet, c.peer = c.sock.recvfrom(1000)
        self.assertEqual(packet, oack_bytes(("tsize", 700), ("multicast", "224.0.0.1,1758,1")))
        self.end_all([c], start)


class OneGroupPort(MulticastCase):
    settings = {"MulticastPort": 1758, "MulticastLast": 1758}

    def test_no_free_group_port_serves_by_unicast(self):
        self.server.put_file("a.bin", pattern(3000, seed=3))
        self.server.put_file("b.bin", pattern(3000, seed=4))
        start = self.mark()
        master, oack = self.joined("127.0.0.2", "a.bin", hold=True)
        self.assertEqual(oack, {"multicast": "224.0.0.1,1758,1"})

        plain = self.client("127.0.0.3")
        plain.request("b.bin", {"blksize": 1000})
        self.assertTrue(pump([plain], lambda: plain.finished, 10), "unicast read did not end")
        self.assertEqual(plain.oacks[0][1], {"blksize": "1000"})
        self.assertIsNone(plain.group)
        self.assertEqual(plain.content(), pattern(3000, seed=4))
        self.assertRegex(self.result_of("127.0.0.3", start), COMPLETED)

        # The running group still takes members for its own file.
        member, oack = self.joined("127.0.0.4", "a.bin")
        self.assertEqual(oack, {"multicast": "224.0.0.1,1758,0"})
        self.end_all([master, member], start)


class GroupStream(MulticastCase):
    SIZE = 300 * 512 + 77  # 301 blocks

    def test_master_drives_one_stream_that_every_member_receives(self):
        content = pattern(self.SIZE, seed=5)
        counter, start = self.serve_counted("img.bin", content)
        master, _ = self.joined("127.0.0.2", "img.bin", hold=True)
        members = [self.client("127.0.0.%d" % i) for i in (3, 4)]
        for m in members:
            m.request("img.bin")
            self.assertEqual(self.expect_oack(m), {"multicast": "224.0.0.1,1758,0"})
        master.hold = False
        master.answer()
        everyone = [master] + members
        self.assertTrue(pump(everyone, lambda: all(c.finished for c in everyone), 30, [counter.observer()]),
                        "group read did not end: %s" % [len(c.blocks) for c in everyone])
        for c in everyone:
            self.assertEqual(c.content(), content, c.address)
            self.assertRegex(self.result_of(c.address, start), COMPLETED, c.address)
            self.assertEqual(c.unicast_data, 0, "DATA sent to the client itself")
            # Clients check that DATA come from their own transfer's port.
            self.assertEqual(c.group_sources, {c.peer}, c.address)
        pump([], lambda: False, 0.3, [counter.observer()])
        blocks = self.SIZE // 512 + 1
        self.assertEqual(set(counter.numbers), set(range(1, blocks + 1)))
        # Once per pass, not once per client; a late ACK may cost a repeat or two.
        self.assertLessEqual(len(counter.numbers), blocks + 3, "DATA packets to the group")
        self.assertEqual(counter.ttls, {1}, "default TTL of group DATA")
        print("\n  group DATA packets for %d blocks and 3 clients: %d" % (blocks, len(counter.numbers)),
              file=sys.stderr)

    def test_member_acknowledging_beyond_the_end_completes_without_data(self):
        content = pattern(4000, seed=6)  # blocks 1..8, the 8th short
        self.server.put_file("end.bin", content)
        start = self.mark()
        master, _ = self.joined("127.0.0.2", "end.bin", hold=True)
        member, oack = self.joined("127.0.0.3", "end.bin")
        self.assertEqual(oack, {"multicast": "224.0.0.1,1758,0"})
        member.send_ack(9)
        member.finished = True
        self.assertRegex(self.result_of("127.0.0.3", start, timeout=3), COMPLETED)
        master.hold = False
        master.answer()
        self.assertTrue(pump([master, member], lambda: master.finished, 10))
        self.assertRegex(self.result_of("127.0.0.2", start), COMPLETED)
        # The member's own socket saw its OACK and nothing else.
        self.assertEqual(member.unicast_data, 0)
        self.assertEqual(len(member.oacks), 1)


class HandOver(MulticastCase):
    SIZE = 200 * 512 + 100  # 201 blocks

    def test_newest_member_takes_over_when_the_master_ends(self):
        content = pattern(self.SIZE, seed=7)
        counter, start = self.serve_counted("h.bin", content)
        master = self.client("127.0.0.2")
        # The members join late and miss the first blocks; the master holds
        # back its ACKs from block 30 on, until both are in the group.
        master.hold_after = 30
        master.request("h.bin")
        self.assertTrue(pump([master], lambda: len(master.blocks) >= 30, 10, [counter.observer()]))
        master.hold = True
        master.hold_after = None
        older = self.client("127.0.0.3", ack_when_complete=False)
        newer = self.client("127.0.0.4", ack_when_complete=False)
        older.request("h.bin")
        self.assertTrue(pump([master, older], lambda: older.oacks, 3, [counter.observer()]))
        newer.request("h.bin")
        everyone = [master, older, newer]
        self.assertTrue(pump(everyone, lambda: newer.oacks, 3, [counter.observer()]))
        master.hold = False
        master.answer()
        self.assertEqual(older.oacks[0][1]["multicast"], "224.0.0.1,1758,0")
        self.assertEqual(newer.oacks[0][1]["multicast"], "224.0.0.1,1758,0")

        self.assertTrue(pump(everyone, lambda: master.finished, 20, [counter.observer()]))
        master_done = time.monotonic()
        self.assertRegex(self.result_of("127.0.0.2", start), COMPLETED)
        self.assertFalse(newer.complete() or older.complete(), "members should lack the first blocks")
        lacked = min(newer.blocks) - 1

        self.assertTrue(pump(everyone, lambda: len(newer.oacks) > 1, 4, [counter.observer()]),
                        "the newest member was not promoted")
        self.assertEqual(newer.oacks[1][1]["multicast"], "224.0.0.1,1758,1")
        self.assertLess(newer.oacks[1][0] - master_done, 1 + 1.0, "promotion within about one timeout")
        self.assertEqual(len(older.oacks), 1, "the older member was promoted too")
        # Its first ACK names the end of what it holds from the start: nothing.
        self.assertEqual(newer.acks_sent[0], 0)

        self.assertTrue(pump(everyone, lambda: newer.finished, 20, [counter.observer()]))
        self.assertRegex(self.result_of("127.0.0.4", start), COMPLETED)
        # Then the older member, which caught the repair pass on the group, is
        # promoted and finishes without any DATA of its own.
        self.assertTrue(pump(everyone, lambda: older.finished, 6, [counter.observer()]))
        self.assertRegex(self.result_of("127.0.0.3", start), COMPLETED)
        for c in everyone:
            self.assertEqual(c.content(), content, c.address)
            self.assertEqual(c.unicast_data, 0, c.address)
            self.assertEqual(c.group_sources, {master.peer}, "group DATA from another port than the OACK")
        blocks = self.SIZE // 512 + 1
        self.assertLessEqual(len(counter.numbers), blocks + lacked + 3, "one pass and one repair pass")
        print("\n  group DATA packets for %d blocks, %d repaired: %d" % (blocks, lacked, len(counter.numbers)),
              file=sys.stderr)

    def test_plain_member_that_ends_promotes_nobody(self):
        content = pattern(50 * 512 + 1, seed=8)
        counter, start = self.serve_counted("p.bin", content)
        master, _ = self.joined("127.0.0.2", "p.bin", hold=True)
        older, _ = self.joined("127.0.0.3", "p.bin")
        newer, _ = self.joined("127.0.0.4", "p.bin", ack_when_complete=False)
        # The older member reports the whole file and ends.
        older.send_ack(60)
        self.assertRegex(self.result_of("127.0.0.3", start, timeout=3), COMPLETED)
        pump([master, newer], lambda: False, 2.5, [counter.observer()])
        self.assertEqual(len(newer.oacks), 1, "a second master beside the running one")
        self.assertEqual(counter.numbers, [])

        master.hold = False
        master.answer()
        self.assertTrue(pump([master, newer], lambda: master.finished, 10, [counter.observer()]))
        master_done = time.monotonic()
        self.assertTrue(pump([master, newer], lambda: newer.finished, 4, [counter.observer()]))
        self.assertEqual(newer.oacks[1][1]["multicast"], "224.0.0.1,1758,1")
        self.assertGreaterEqual(newer.oacks[1][0], master_done)
        self.assertEqual(newer.acks_sent, [51])
        self.assertRegex(self.result_of("127.0.0.4", start), COMPLETED)
        self.assertEqual(newer.content(), content)
        # One pass of 51 blocks, from one master.
        self.assertLessEqual(len(counter.numbers), 51 + 3)


class PelicanGroup(MulticastCase):
    """Clients of our own library, started together, fetch one file as one
    group; their group sockets share the port by address reuse."""

    SIZE = 8 << 20
    BLOCK = 1428

    def fetch_together(self, count):
        if not os.path.exists(PELICAN):
            self.fail("%s is not built" % PELICAN)
        name = "big%d.bin" % count
        content = pattern(self.SIZE, seed=count)
        counter, start = self.serve_counted(name, content)
        work = scratch_directory(self.addCleanup, "mc-pelican-")
        runs = []
        for i in range(count):
            local = os.path.join(work, "got-%d" % i)
            args = [PELICAN, "-m", "-b%d" % (self.BLOCK + 4), "127.0.0.1:%d" % self.server.port, "GET", name, local]
            runs.append((local, self.ns.popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)))
        ended = pump([], lambda: all(p.poll() is not None for _, p in runs), 150, [counter.observer()])
        for _, p in runs:
            if p.poll() is None:
                p.kill()
        self.assertTrue(ended, "pelican did not finish")
        for local, p in runs:
            said = p.communicate()[0]
            self.assertEqual(p.returncode, 0, said)
            with open(local, "rb") as f:
                self.assertTrue(f.read() == content, "%s differs from the served file" % local)
        pump([], lambda: False, 0.3, [counter.observer()])

        log = self.server.output()[start:]
        placed = re.findall(r"Name \S+%s Mode octet Size %d tsize %d blksize %d multicast 224\.0\.0\.1,(\d+),(\d)"
                            % (re.escape(name), self.SIZE, self.SIZE, self.BLOCK), log)
        self.assertEqual(placed, [("1758", "1")] + [("1758", "0")] * (count - 1), "one group, one master")
        blocks = self.SIZE // self.BLOCK + 1
        self.assertEqual(set(counter.numbers), set(range(1, blocks + 1)))
        # Every block once, then once more at most what the latest client to
        # join missed: not once per client.
        self.assertLess(len(counter.numbers), 2 * blocks, "DATA packets to the group")
        print("\n  %d pelican clients: %d group DATA packets for %d blocks" % (count, len(counter.numbers), blocks),
              file=sys.stderr)

    def test_two_then_five_clients(self):
        self.fetch_together(2)
        time.sleep(0.3)
        self.fetch_together(5)


class TimeToLive(MulticastCase):
    settings = {"MulticastTTL": 4}

    def test_group_data_carry_the_configured_ttl(self):
        content = pattern(20 * 512, seed=9)
        counter, start = self.serve_counted("t.bin", content)
        master = self.client("127.0.0.2")
        master.request("t.bin")
        self.assertTrue(pump([master], lambda: master.finished, 10, [counter.observer()]))
        self.assertEqual(master.content(), content)
        self.assertRegex(self.result_of("127.0.0.2", start), COMPLETED)
        pump([], lambda: False, 0.2, [counter.observer()])
        self.assertEqual(len(counter.numbers), 21)
        self.assertEqual(counter.ttls, {4})


if __name__ == "__main__":
    unittest.main()
