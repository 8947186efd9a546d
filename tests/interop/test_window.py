"""Reads with two blocks in flight (WindowSize 1) against the real clients,
which all wait for each block before they acknowledge it: the block sent
ahead must neither be lost nor be stored twice, in octet (from a stream and
from a mapped view) and in netascii.
"""
import unittest

from interop_common import HOST, MIB, InteropCase, pattern, read_file, text_content
from netascii import sent_by_orvanel, stored_by_peers  # noqa: E402

SIZES = (1, 511, 512, 1024, MIB + 3)


class WindowCase(InteropCase):
    def fetch(self, label, name, args, local):
        with self.served(label, self.server.path(name)):
            r = self.run_client(args)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertNotIn("rror", r.stdout + r.stderr)
        return read_file(local)

    def check_octet(self):
        for size in SIZES:
            name = "w-%d.bin" % size
            data = pattern(size, size + 30)
            self.serve(name, data)
            port = str(self.port)
            url = "tftp://%s:%s/%s" % (HOST, port, name)
            c, cb, h, a = (self.fresh_local(x) for x in ("c", "cb", "h", "a"))
            clients = {  # name: (command, the file it writes)
                "curl": (["curl", "-sS", "-o", c, url], c),
                "curl blksize 1428": (["curl", "-sS", "--tftp-blksize", "1428", "-o", cb, url], cb),
                "tftp-hpa": (["tftp", "-m", "binary", HOST, port, "-c", "get", name, h], h),
                "atftp": (["atftp", "-g", "-r", name, "-l", a, HOST, port], a),
            }
            for client, (args, local) in clients.items():
                with self.subTest(client=client, size=size):
                    self.assert_same_bytes(self.fetch("Get/octet", name, args, local), data, name)

    def check_netascii(self):
        disk = text_content(MIB, 31)
        self.serve("w.txt", disk)
        wire = sent_by_orvanel(disk)
        port = str(self.port)
        with self.subTest(client="tftp-hpa"):
            got = self.fetch("Get/ascii", "w.txt",
                             ["tftp", "-m", "netascii", HOST, port, "-c", "get", "w.txt",
                              self.fresh_local("ht")], self.local("ht"))
            self.assert_same_bytes(got, stored_by_peers(wire), "w.txt")
        with self.subTest(client="curl"):  # curl stores what it receives
            got = self.fetch("Get/ascii", "w.txt",
                             ["curl", "-sS", "-o", self.local("ct"),
                              "tftp://%s:%s/w.txt;mode=netascii" % (HOST, port)],
                             self.local("ct"))
            self.assert_same_bytes(got, wire, "w.txt")


class WindowFromStream(WindowCase):
    server_settings = {"WindowSize": 1}

    def test_octet_reads_are_byte_identical(self):
        self.check_octet()

    def test_netascii_reads_are_translated(self):
        self.check_netascii()


class WindowFromMappedView(WindowCase):
    server_settings = {"WindowSize": 1, "MMF": 3}

    def test_octet_reads_are_byte_identical(self):
        self.check_octet()


if __name__ == "__main__":
    unittest.main(verbosity=2)
