"""Transfers through libpelican.so against tftpd-hpa and atftpd, started on
free high ports of 127.0.0.1: every size, option and mode, byte for byte;
and against tftpd-hpa listening on ::1 only."""

import os
import random
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pelican_support import Client, main  # noqa: E402
from peers import make_root, put_file, start_atftpd, start_tftpd_hpa, stop_process  # noqa: E402
from netascii import sent_by_orvanel, sent_by_peers, stored_by_orvanel  # noqa: E402
from common import pattern, read_file, scratch_directory, wait_until  # noqa: E402

SIZES = [0, 511, 512, 513, 1 << 20]
BIG = 40 << 20  # past 65535 blocks of 512 bytes: the block number rolls over
OCTET_VARIANTS = ["", "-b1468", "-b65468", "-s", "-t3", "-s -b8196 -t2"]
TEXT_VARIANTS = ["-a", "-a -b1468", "-a -s"]
WINDOW_VARIANTS = ["-w4", "-w32 -b1428", "-w64 -b1428", "-w8 -b8192", "-w1"]


def text_data(size, line_end, lone_cr):
    """size bytes of text with varying line lengths, a lone CR now and then
    when asked for, and a 0x1A near the end of larger files."""
    rng = random.Random(size * 7 + len(line_end))
    out = bytearray()
    while len(out) < size:
        out += bytes(rng.choice(b"abcdefghij \t") for _ in range(rng.randrange(0, 90)))
        out += b"\r" if lone_cr and rng.random() < 0.02 else line_end
    out = out[:size]
    if size > 64:
        out[-20] = 0x1A
        if out[-21] == 0x0D:
            out[-21] = 0x78  # no CR left without its LF
    return bytes(out)


class Transfers:
    """GET and PUT through the library against the server at host:port,
    serving root, with their checks."""

    host = "127.0.0.1"

    def setUp(self):
        self.dir = scratch_directory(self.addCleanup, "pelican_local_")
        self.count = 0

    def run_line(self, options, command):
        return self.client.run("%s %s:%d %s" % (options, self.host, self.port, command))

    def get(self, options, remote, expected, wire_size):
        self.count += 1
        local = os.path.join(self.dir, "get%d" % self.count)
        self.assertEqual(self.run_line(options, "GET %s %s" % (remote, local)), 0)
        self.assertTrue(read_file(local) == expected, "content of %s differs" % remote)
        self.assertEqual(self.client.tsize(), (1, wire_size))

    def put(self, options, data, expected_on_server, sent_size=None):
        self.count += 1
        local = os.path.join(self.dir, "put%d" % self.count)
        with open(local, "wb") as f:
            f.write(data)
        remote = "up_%s_%d_%d" % (type(self).__name__, os.getpid(), self.count)
        self.assertEqual(self.run_line(options, "PUT %s %s" % (remote, local)), 0)
        # atftpd acknowledges the last block before it has closed the file.
        uploaded = os.path.join(self.root, remote)
        self.assertTrue(wait_until(lambda: read_file(uploaded) == expected_on_server, 3, 0.005),
                        "uploaded %s differs" % remote)
        self.assertEqual(self.client.tsize(), (1, len(data) if sent_size is None else sent_size))
        os.unlink(uploaded)


class ServerTransfers(Transfers):
    """The tests, for each server in its own class below."""

    start = None
    large_block_code = 0  # result of -b70000
    timeout_300_code = 8  # result of -t300
    text_get_variants = TEXT_VARIANTS
    # What the server sends for a stored text file, and stores for text received.
    served_text = staticmethod(sent_by_peers)
    stored_text = staticmethod(lambda received: received)

    @classmethod
    def setUpClass(cls):
        cls.client = Client()
        cls.root = make_root(cls.addClassCleanup)
        for size in SIZES + [BIG]:
            put_file(cls.root, "o%d.bin" % size, pattern(size, size))
        for size in SIZES:
            put_file(cls.root, "t%d.txt" % size, cls.text_file(size))
        cls.process, cls.port = cls.start(cls.root)
        cls.addClassCleanup(stop_process, cls.process)

    @staticmethod
    def text_file(size):
        return text_data(size, b"\n", True)

    def test_octet_get_and_put(self):
        for options in OCTET_VARIANTS:
            for size in SIZES:
                with self.subTest(options=options, size=size):
                    data = pattern(size, size)
                    self.get(options, "o%d.bin" % size, data, size)
                    self.put(options, data, data)

    def test_netascii_get(self):
        # The server sends netascii (CR LF, CR NUL); each LF is written as CR LF.
        for options in self.text_get_variants:
            for size in SIZES:
                with self.subTest(options=options, size=size):
                    wire = self.served_text(self.text_file(size))
                    self.get(options, "t%d.txt" % size, stored_by_orvanel(wire), len(wire))

    def test_netascii_put(self):
        # CR LF goes out as LF and nothing after 0x1A.
        for options in TEXT_VARIANTS:
            for size in SIZES:
                with self.subTest(options=options, size=size):
                    data = text_data(size, b"\r\n", False)
                    sent = sent_by_orvanel(data)
                    self.assertNotIn(b"\r", sent)
                    self.put(options, data, self.stored_text(sent), len(sent))

    def test_block_number_rolls_over(self):
        data = pattern(BIG, BIG)
        self.get("", "o%d.bin" % BIG, data, BIG)
        self.put("", data, data)

    def test_windowed_transfers(self):
        # With a window where the server grants one, in lockstep where it
        # ignores the option: the same bytes either way, also in netascii.
        for options in WINDOW_VARIANTS:
            for size in SIZES:
                with self.subTest(options=options, size=size):
                    data = pattern(size, size)
                    self.get(options, "o%d.bin" % size, data, size)
                    self.put(options, data, data)
        for options in ("-a -w8", "-a -w16 -b1468"):
            with self.subTest(options=options):
                size = SIZES[-1]
                wire = self.served_text(self.text_file(size))
                # -s: tftpd-hpa refuses tsize on netascii reads.
                self.get(options + " -s", "t%d.txt" % size, stored_by_orvanel(wire), len(wire))
                data = text_data(size, b"\r\n", False)
                sent = sent_by_orvanel(data)
                self.put(options, data, self.stored_text(sent), len(sent))
        # Past 65535 blocks inside windows.
        data = pattern(BIG, BIG)
        self.get("-w16", "o%d.bin" % BIG, data, BIG)
        self.put("-w16", data, data)

    def test_limits_of_the_server(self):
        local = os.path.join(self.dir, "large_block")
        self.assertEqual(self.run_line("-b70000", "GET o%d.bin %s" % (1 << 20, local)),
                         self.large_block_code)
        if self.large_block_code == 0:
            self.assertTrue(read_file(local) == pattern(1 << 20, 1 << 20))
        self.assertEqual(self.run_line("-o -t300", "GET o512.bin " + local), self.timeout_300_code)


class TftpdHpa(ServerTransfers, unittest.TestCase):
    # Both servers refuse a timeout of 300 with ERROR 8.
    start = staticmethod(start_tftpd_hpa)
    large_block_code = 0  # lowers the block size to 65464
    # tftpd-hpa refuses "tsize" on netascii reads with ERROR 8.
    text_get_variants = ["-a -s", "-a -s -b1468", "-a -s -t2"]

    def test_netascii_get_with_tsize_is_refused(self):
        local = os.path.join(self.dir, "refused.txt")
        self.assertEqual(self.run_line("-a", "GET t511.txt " + local), 8)
        self.assertEqual(os.listdir(self.dir), [], "code 8 leaves no local file")


class Atftpd(ServerTransfers, unittest.TestCase):
    start = staticmethod(start_atftpd)
    large_block_code = 8  # refuses blksize 65500 with ERROR 8


class TftpdHpaOverIPv6(Transfers, unittest.TestCase):
    """tftpd-hpa on [::1] alone: pelican must reach it by the IPv6 host forms."""

    host = "[::1]"

    @classmethod
    def setUpClass(cls):
        cls.client = Client()
        cls.root = make_root(cls.addClassCleanup)
        cls.process, cls.port = start_tftpd_hpa(cls.root, ipv6=True)
        cls.addClassCleanup(stop_process, cls.process)

    def test_get_and_put_are_byte_identical(self):
        for options in ("", "-b1468", "-w8 -b1428"):
            for size in SIZES:
                with self.subTest(options=options, size=size):
                    data = pattern(size, size + 6)
                    name = "six_%d_%d" % (len(options), size)
                    put_file(self.root, name, data)
                    self.get(options, name, data, size)
                    self.put(options, data, data)

    def test_ipv4_loopback_finds_nobody(self):
        # The server is on ::1 only: a client that fell back to IPv4 hears nothing.
        local = os.path.join(self.dir, "none")
        put_file(self.root, "here.bin", b"here")
        self.assertEqual(self.client.run("-t1 -r1 127.0.0.1:%d GET here.bin %s" % (self.port, local)), 6)
        self.assertFalse(os.path.exists(local))


if __name__ == "__main__":
    main(__name__)
