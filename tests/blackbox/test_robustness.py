"""Bad input never crashes the server nor leaks a descriptor: garbage of every
size to the server port, malformed requests, huge option lists, garbage to a
data port during transfers."""
import os
import random
import socket
import struct
import time
import unittest

from blackbox_support import (
    COMPLETED, HOST, RRQ, WRQ, BlackBoxCase, ack, console_quiet, data, fd_count, on_wine, pattern, read_file,
    request, wait_until)


class Garbage(BlackBoxCase):
    settings = {"Timeout": 1, "Retransmit": 1, "Clients": 50}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.payload = pattern(3000, seed=99)
        # The garbage may overwrite good.bin; keep.bin it never names.
        cls.server.put_file("good.bin", cls.payload)
        cls.server.put_file("sub/good.bin", cls.payload)
        cls.server.put_file("keep.bin", cls.payload)

    def assertSurvives(self, baseline):
        """The garbage's transfers end, the server serves on, and then holds
        no more than before."""
        self.settle(baseline)
        self.assertIsNone(self.server.proc.poll(), "server died:\n" + self.server.output()[-3000:])
        got, _, _ = self.fetch(self.client(), "keep.bin", options={"blksize": 1000, "tsize": 0})
        self.assertEqual(got, self.payload)
        self.settle(baseline)

    def held(self):
        """What the server holds once earlier tests' transfers have released
        their files: its descriptors on Linux; under Wine, where they cannot
        be counted from outside, nothing (None)."""
        time.sleep(0.3)
        return None if on_wine() else fd_count(self.server.proc.pid)

    def settle(self, baseline):
        """Waits until every transfer started by the garbage has ended: the
        descriptors are back to the baseline, or under Wine the console has
        been quiet for two seconds (no session retransmits any more)."""
        if baseline is None:
            self.assertTrue(console_quiet(self.server, 2.0, 20), "transfers still running")
            return
        ok = wait_until(lambda: fd_count(self.server.proc.pid) == baseline, 8)
        self.assertTrue(ok, "descriptors: %d, before: %d" % (fd_count(self.server.proc.pid), baseline))

    def burst(self, packets, senders=8):
        socks = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(senders)]
        try:
            for s in socks:
                s.bind((HOST, 0))
                s.setblocking(False)
            target = (HOST, self.server.port)
            for i, p in enumerate(packets):
                sock = socks[i % senders]
                for _ in range(100):
                    try:
                        sock.sendto(p, target)
                        break
                    except BlockingIOError:
                        time.sleep(0.001)
                if i % 50 == 49:
                    time.sleep(0.005)  # let the server keep up
                    for s in socks:  # drain answers
                        try:
                            while s.recv(70000):
                                pass
                        except (BlockingIOError, ConnectionRefusedError):
                            pass
        finally:
            for s in socks:
                s.close()

    def test_random_datagrams_of_every_size(self):
        baseline = self.held()
        rng = random.Random(1350)
        packets = []
        for size in range(0, 1601):
            body = bytearray(rng.randbytes(size))
            if size >= 2 and rng.random() < 0.5:
                body[0:2] = struct.pack("!H", rng.choice((1, 2, 3, 4, 5, 6, 0, 7, 256, 65535)))
            packets.append(bytes(body))
        self.burst(packets)
        self.assertSurvives(baseline)

    def test_structured_garbage(self):
        baseline = self.held()
        around_root = sorted(os.listdir(self.server.dir))
        rng = random.Random(2347)
        words = [b"blksize", b"timeout", b"tsize", b"multicast", b"BLKSIZE", b"x", b"", b"octet",
                 b"netascii", b"mail", b"%s%n%s%n", b"\xff\xfe", b"0", b"65535", b"4294967295",
                 b"99999999999999999999", b"-1", b" 8", b"512abc", b"8", b"7", b"256", b"1"]
        names = [b"good.bin", b"sub/good.bin", b"missing", b"%s%s%s%n", b"../etc/passwd", b"/good.bin",
                 b"\\sub\\good.bin", b"c:x", b"a" * 300, b"", b"\xe9t\xe9.bin", b"sub", b"sub/",
                 b"/", b"//good.bin", b"fuzz/\x01\x02"]
        packets = []
        for _ in range(1500):
            opcode = rng.choice((RRQ, RRQ, RRQ, WRQ))
            parts = [rng.choice(names), rng.choice((b"octet", b"netascii", b"OCTET", b"mail", b"bin"))]
            for _ in range(rng.randrange(0, 8)):
                parts.append(rng.choice(words))
            body = struct.pack("!H", opcode) + b"\0".join(parts)
            cut = rng.random()
            if cut < 0.3:
                body = body[:rng.randrange(2, len(body) + 1)]  # cut anywhere
            elif cut < 0.8:
                body += b"\0"
            packets.append(body)
        # Requests without a single zero byte, of many lengths.
        for n in (3, 4, 10, 100, 1000, 1533, 1534, 1535, 1536, 2000, 9000):
            packets.append(b"\x00\x01" + b"A" * (n - 2))
            packets.append(b"\x00\x02" + bytes(rng.randrange(1, 256) for _ in range(n - 2)))
        # Options without values, and thousands of option pairs (the server
        # reads the first 1535 bytes of a datagram).
        packets.append(request(RRQ, "good.bin") + b"blksize\0")
        packets.append(request(RRQ, "good.bin") + b"blksize")
        packets.append(request(RRQ, "good.bin") + b"tsize\0" * 200)
        packets.append(request(RRQ, "good.bin") + b"a\0b\0" * 5000)
        packets.append(request(RRQ, "good.bin") + b"blksize\0" + b"512\0blksize\0" * 3000 + b"512\0")
        packets.append(request(RRQ, "good.bin") + b"\0" * 3000)
        packets.append(request(WRQ, "fuzz-wrq.bin") + b"tsize\0" + b"9" * 1600)
        self.burst(packets)
        self.assertSurvives(baseline)
        # Nothing escaped the root, and uploads named by the garbage stay inside it.
        self.assertEqual(sorted(os.listdir(self.server.dir)), around_root)

    def test_garbage_to_data_ports_during_transfers(self):
        baseline = self.held()
        rng = random.Random(2090)
        # A read: everything that is no ACK or ERROR is ignored, short and
        # oversized datagrams too.
        c = self.ask_read("keep.bin")
        received = bytearray()
        number = 1
        start = self.mark()
        while True:
            packet, _ = self.expect(c)
            self.assertEqual(packet[:4], data(number, b""))
            for _ in range(20):
                size = rng.randrange(0, 1600)
                junk = bytearray(rng.randbytes(size))
                if size >= 2:
                    junk[0:2] = struct.pack("!H", rng.choice((0, 1, 2, 3, 6, 7, 1000)))
                c.send(bytes(junk))
            c.send(ack(number + 7))
            received += packet[4:]
            c.send(ack(number))
            if len(packet) < 516:
                break
            number += 1
        self.assertEqual(bytes(received), self.payload)
        self.assertRegex(self.wait_result(self.server.path("keep.bin"), start)[0], COMPLETED)
        # An upload: junk opcodes of full size are ignored.
        w = self.begin_write("junk.bin")
        for i in range(4):
            for _ in range(10):
                w.send(struct.pack("!H", rng.choice((0, 1, 2, 4, 6, 9))) + rng.randbytes(rng.randrange(2, 515)))
            w.send(data(i + 1, self.payload[i * 512:(i + 1) * 512] if i < 3 else b"end"))
            packet, _ = self.expect(w)
            self.assertEqual(packet, ack(i + 1))
        self.assertTrue(wait_until(lambda: read_file(self.server.path("junk.bin")) == self.payload[:1536] + b"end", 3))
        self.settle(baseline)


if __name__ == "__main__":
    unittest.main(verbosity=2)
