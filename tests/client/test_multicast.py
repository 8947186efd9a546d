"""Multicast GETs (RFC 2090) through pelican, each case run inside a network
namespace of its own with lo up and 224.0.0.0/4 routed over it: against
atftpd with its multicast options, and against a scripted raw-UDP server
that plays member, hand-over and master as the case needs."""

import os
import random
import socket
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from netns import Namespace  # noqa: E402
from common import free_port, read_file, scratch_directory  # noqa: E402
from pelican_support import CLI, Client, ScriptedServer  # noqa: E402
from peers import atftpd_path, make_root, put_file, start_server, stop_process  # noqa: E402
from tftp_packets import ACK, DATA, ack, block_of, data, oack_bytes, opcode_of, parse_request  # noqa: E402

GROUP = "239.255.7.7"
GROUP_PORT = 1758
NUDGE = b"\0"  # what a waiting member sends until it hears from the server


class GroupCounter:
    """Counts the DATA datagrams of the group, received beside the clients
    on a thread of its own so that none are lost in a full socket buffer."""

    def __init__(self, port=GROUP_PORT, group=GROUP):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            self.socket.setsockopt(socket.SOL_SOCKET, 33, 16 << 20)  # SO_RCVBUFFORCE
        except OSError:
            pass
        self.socket.bind(("", port))
        self.socket.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                               socket.inet_aton(group) + socket.inet_aton("0.0.0.0"))
        self.socket.settimeout(0.2)
        self.data = 0
        self.sizes = set()
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                packet = self.socket.recv(70000)
            except socket.timeout:
                continue
            if len(packet) >= 4 and opcode_of(packet) == DATA:
                self.data += 1
                self.sizes.add(len(packet))

    def stop(self):
        """Stops after the datagrams already waiting; returns the count."""
        time.sleep(0.5)
        self.running = False
        self.thread.join(timeout=5)
        self.socket.close()
        return self.data


def group_sender():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
    return s


def blocks_of(data, size):
    """The DATA payloads of a file: the last one short, empty if need be."""
    return [data[i:i + size] for i in range(0, len(data) + 1, size)] if data else [b""]


class AtftpdGroup(unittest.TestCase):
    """Our clients in one group of atftpd: byte-identical files, the data
    sent to the group once rather than once per client."""

    # Large enough that the second client, started 20 ms later, finds the
    # first one's group still sending on an idle machine (8 MiB was done in
    # under 0.15 s).
    SIZE = 16 << 20

    @classmethod
    def setUpClass(cls):
        cls.root = make_root(cls.addClassCleanup)
        cls.data = random.Random(5).randbytes(cls.SIZE)
        put_file(cls.root, "image.bin", cls.data)
        cls.port = free_port()
        argv = [atftpd_path(), "--daemon", "--no-fork", "--port", str(cls.port),
                "--bind-address", "127.0.0.1", "--logfile", "/dev/null",
                "--mcast-addr", GROUP, "--mcast-port", "%d-%d" % (GROUP_PORT, GROUP_PORT + 2),
                cls.root]
        cls.process = start_server(argv, cls.port)
        cls.addClassCleanup(stop_process, cls.process)

    def setUp(self):
        self.dir = scratch_directory(self.addCleanup, "pelican_mc_")

    def start_cli(self, options, local):
        return subprocess.Popen([CLI] + options.split() +
                                ["127.0.0.1:%d" % self.port, "GET", "image.bin", local],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def fetch(self, options, clients, stagger):
        """Runs the clients stagger seconds apart; returns the group's
        DATA count and the DATA sizes seen."""
        counter = GroupCounter()
        self.addCleanup(counter.stop)
        locals_, processes = [], []
        for i in range(clients):
            locals_.append(os.path.join(self.dir, "c%d.bin" % i))
            processes.append(self.start_cli(options, locals_[-1]))
            time.sleep(stagger)
        for p in processes:
            out, err = p.communicate(timeout=120)
            self.assertEqual(p.returncode, 0, out + err)
        count = counter.stop()
        for path in locals_:
            self.assertTrue(read_file(path) == self.data, "%s differs from the served file" % path)
        return count, counter.sizes

    def test_one_client_receives_through_the_group(self):
        count, sizes = self.fetch("-m -b1432", 1, 0)
        blocks = -(-(self.SIZE + 1) // 1428)
        self.assertEqual(count, blocks, "every block went to the group once")
        self.assertEqual(max(sizes), 1432)

    def test_two_clients_share_the_group_port_and_the_stream(self):
        blocks = self.SIZE // 512 + 1
        count, _ = self.fetch("-m", 2, 0.02)
        # The second client joined a running group: after the hand-over it
        # fetched only the blocks sent before it joined.
        self.assertGreaterEqual(count, blocks)
        self.assertLess(count, 2 * blocks, "the file was not sent once per client")


class ScriptedGroup(unittest.TestCase):
    """The library against a scripted server that runs the group itself."""

    @classmethod
    def setUpClass(cls):
        if os.environ.get("PELICAN_NO_IN_PROCESS"):
            raise unittest.SkipTest("libpelican.so cannot be loaded into Python in this build")
        cls.client = Client()

    def setUp(self):
        self.dir = scratch_directory(self.addCleanup, "pelican_mc_")
        self.sender = group_sender()
        self.addCleanup(self.sender.close)

    def call(self, script, options, local):
        server = ScriptedServer(script)
        code = self.client.run("%s 127.0.0.1:%d GET f %s" % (options, server.port, local))
        server.finish()
        return code, server

    def fetch_whole(self, script, content):
        """A -m GET that must end with code 0 and the whole content."""
        local = os.path.join(self.dir, "whole%d.bin" % len(os.listdir(self.dir)))
        code, server = self.call(script, "-m", local)
        self.assertEqual(code, 0)
        self.assertEqual(read_file(local), content)
        return server

    def to_group(self, block, payload):
        self.sender.sendto(data(block, payload), (GROUP, GROUP_PORT))

    def oack(self, master, size, extra=()):
        return oack_bytes(("tsize", size), *extra, ("multicast", "%s,%d,%d" % (GROUP, GROUP_PORT, master)))

    def serve_as_master(self, s, parts, acks):
        """Answers each ACK with the next block to the group, as a server
        does for its master, until the final block is acknowledged."""
        for _ in range(len(parts) * 3):
            packet = s.expect(5.0)
            assert packet is not None, "the master went silent"
            assert opcode_of(packet) == ACK, packet
            acks.append(block_of(packet))
            if block_of(packet) == len(parts):
                return
            self.to_group(block_of(packet) + 1, parts[block_of(packet)])
        raise AssertionError("no end after %s" % acks)

    def test_member_receives_the_file_through_the_group(self):
        content = random.Random(1).randbytes(512 * 6 + 100)
        parts = blocks_of(content, 512)

        def member(s):
            request = s.request()
            assert ("multicast", "") in parse_request(request)[3]
            s.send(self.oack(0, len(content)))
            assert s.expect() == NUDGE, "a member first nudges the server"
            for n, part in enumerate(parts, 1):
                self.to_group(n, part)
            assert s.expect() == ack(len(parts)), "one ACK of the final block"
            assert s.expect(1.5) is None, "and nothing after it"

        local = os.path.join(self.dir, "member.bin")
        code, server = self.call(member, "-m", local)
        self.assertEqual(code, 0)
        self.assertEqual(read_file(local), content)
        self.assertEqual(self.client.tsize(), (1, len(content)), "tsize of the OACK")
        self.assertEqual(server.received, [NUDGE, ack(len(parts))])

    def test_member_promoted_to_master_asks_for_what_it_lacks(self):
        content = random.Random(2).randbytes(1028 * 7 + 5)
        parts = blocks_of(content, 1028)  # 8 blocks
        acks = []

        def hand_over(s):
            s.request()
            s.send(self.oack(0, len(content), [("blksize", "1028")]))
            assert s.expect() == NUDGE
            for n in (1, 2, 3, 4, 7, 2):  # out of order, with a gap and a duplicate
                self.to_group(n, parts[n - 1])
            time.sleep(0.2)
            s.send(self.oack(1, len(content), [("blksize", "1028")]))
            packet = s.expect()
            acks.append(block_of(packet))
            assert packet == ack(4), "the ACK names the end of blocks 1-4: %r" % packet
            self.to_group(2, parts[1])  # a stale block: no ACK may answer it
            self.to_group(5, parts[4])
            self.serve_as_master(s, parts, acks)
            assert s.expect(1.5) is None

        local = os.path.join(self.dir, "promoted.bin")
        code, server = self.call(hand_over, "-m -b1032", local)
        self.assertEqual(code, 0)
        self.assertEqual(read_file(local), content)
        # Block 5 completes 1-5; block 6 closes the gap up to 7.
        self.assertEqual(acks, [4, 5, 7, 8])
        self.assertEqual(server.received, [NUDGE] + [ack(a) for a in acks])

    def test_a_second_call_starts_with_an_empty_table(self):
        first = bytes([1]) * (512 * 4 + 10)
        second = bytes([2]) * (512 * 4 + 10)
        parts1, parts2 = blocks_of(first, 512), blocks_of(second, 512)  # 5 blocks each

        def incomplete(s):
            s.request()
            s.send(self.oack(0, len(first)))
            assert s.expect() == NUDGE
            for n in (1, 2, 3, 5):  # block 4 never comes
                self.to_group(n, parts1[n - 1])
            assert s.expect(3.5) is None, "an incomplete member does not acknowledge"

        local1 = os.path.join(self.dir, "first.bin")
        started = time.monotonic()
        code, _ = self.call(incomplete, "-m -r0 -t1", local1)
        self.assertEqual(code, 8, "silence with a gap in the file is no success")
        self.assertLess(time.monotonic() - started, 6)
        self.assertEqual(os.listdir(self.dir), [], "a failed multicast GET leaves no file")
        self.assertEqual(self.client.tsize()[0], 0)

        acks = []

        def fresh(s):
            s.request()
            s.send(self.oack(0, len(second)))
            assert s.expect() == NUDGE
            # With the first call's ranges, this block would complete the file.
            self.to_group(4, parts2[3])
            time.sleep(0.2)
            s.send(self.oack(1, len(second)))
            self.serve_as_master(s, parts2, acks)

        self.fetch_whole(fresh, second)
        self.assertEqual(acks, [0, 1, 2, 4, 5])

    def test_master_from_the_first_oack(self):
        content = random.Random(3).randbytes(512 * 3)  # ends with an empty block
        parts = blocks_of(content, 512)
        acks = []

        def master(s):
            s.request()
            s.send(self.oack(1, len(content)))
            self.serve_as_master(s, parts, acks)

        self.fetch_whole(master, content)
        self.assertEqual(acks, [0, 1, 2, 3, 4])
        self.assertEqual(self.client.tsize(), (1, len(content)))


class InNamespace(unittest.TestCase):
    """Runs each case in a namespace of its own, removed at its end."""

    def run_inside(self, case):
        with Namespace("pmc") as ns:
            done = ns.run([sys.executable, os.path.abspath(__file__), "inside", case],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=280)
        sys.stderr.write(done.stdout)
        self.assertEqual(done.returncode, 0, "%s failed inside the namespace" % case)

    def test_atftpd_group(self):
        self.run_inside("AtftpdGroup")

    def test_scripted_group(self):
        self.run_inside("ScriptedGroup")


def run(names):
    suite = unittest.defaultTestLoader.loadTestsFromNames(names, sys.modules[__name__])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    # Every case skipped (no namespaces here): tell CTest so.
    return 77 if result.testsRun and len(result.skipped) == result.testsRun else 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "inside":
        sys.exit(run([sys.argv[2]]))
    sys.exit(run(["InNamespace"]))
