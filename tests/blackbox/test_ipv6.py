"""Transfers over IPv6 loopback (::1) against harrier's default listening
sockets: reads and writes byte for byte from a data port of their own on
::1, refusals, the log, access rules that keep to their family, the
per-client directory of an IPv6 client, the multicast option left
unanswered, and oversized requests over IPv6."""
import unittest

from blackbox_support import (
    COMPLETED, ERR_ILLEGAL, ERR_NOT_FOUND, HOST, HOST6, RRQ, WRQ, BlackBoxCase, data, error_bytes,
    oack_bytes, pattern, raw_request, read_file, request, wait_until)
from stepwise import StepWriter

CONTENT = pattern(5000, seed=61)  # 4 blocks of 1428 and a short one; 9 of 512 and a short one


class IPv6Case(BlackBoxCase):
    def read_over(self, client, name, options=None):
        """A complete read through client, answered from the address the
        client asked and a port that is not the server port. Returns
        (bytes, OACK options or None, that port)."""
        got, oack, _ = self.fetch(client, name, options=options)
        self.assertEqual(client.peer[0], client.server[0], "the transfer answered from elsewhere")
        self.assertNotEqual(client.peer[1], self.server.port, "the transfer answered from the server port")
        return got, oack, client.peer[1]


class ServedOverIPv6(IPv6Case):
    settings = {"Timeout": 1, "Retransmit": 2}
    files = {"f.bin": CONTENT}

    def test_read_and_write_are_byte_exact_from_a_port_of_their_own(self):
        c = self.client(HOST6)
        got, oack, tid = self.read_over(c, "f.bin", {"blksize": 1428, "tsize": 0})
        self.assertEqual(oack, {"blksize": "1428", "tsize": str(len(CONTENT))})
        self.assertTrue(got == CONTENT, "the file read over ::1 differs")
        # A second read gets a data port of its own.
        got, oack, tid2 = self.read_over(self.client(HOST6), "f.bin")
        self.assertIsNone(oack)
        self.assertTrue(got == CONTENT, "the plain read over ::1 differs")
        self.assertNotEqual(tid2, tid)

        w = self.client(HOST6)
        upload = pattern(2100, seed=62)
        writer = StepWriter(w, "up.bin", upload, {"blksize": 1024})
        self.assertEqual(writer.first, oack_bytes(("blksize", 1024)))
        self.assertTrue(writer.run())
        self.assertEqual(w.peer[0], HOST6)
        self.assertNotEqual(w.peer[1], self.server.port)
        self.assertTrue(wait_until(lambda: read_file(self.server.path("up.bin")) == upload, 3),
                        "the file written over ::1 differs")

    def test_refusal_comes_from_the_server_port_and_is_logged_escaped(self):
        start = self.mark()
        c = self.assertRefused(request(RRQ, "missing\x1b[2J.bin"), ERR_NOT_FOUND, "File not found",
                               self.client(HOST6))
        # The same client is served right after.
        got, _, _ = self.read_over(c, "f.bin")
        self.assertTrue(got == CONTENT)
        self.wait_line(r"Request from ::1$", start)
        line = self.wait_line(r"  Error   ", start)
        self.assertIn(" Error   %-15s Get        1 File not found " % HOST6, line)
        self.assertTrue(line.endswith("missing\\x1b[2J.bin"), line)

    def test_result_line_names_the_ipv6_client(self):
        # Files of their own, so that no other test's line is taken for theirs.
        for name, host in (("log6.bin", HOST6), ("log4.bin", HOST)):
            with self.subTest(client=host):
                path = self.server.put_file(name, CONTENT)
                self.read_over(self.client(host), name, {"blksize": 1428})
                status, address, label, shown = self.wait_result(path)
                self.assertRegex(status, COMPLETED)
                # An IPv4 client is shown by its IPv4 address, not as ::ffff:127.0.0.1.
                self.assertEqual((address, label, shown), ("%-15s" % host, "Get/octet ", path))

    def test_multicast_option_is_not_answered_to_ipv6(self):
        # With other options: only those come back.
        c = self.client(HOST6)
        got, oack, _ = self.read_over(c, "f.bin", {"multicast": "", "tsize": 0})
        self.assertEqual(oack, {"tsize": str(len(CONTENT))})
        self.assertTrue(got == CONTENT)
        # Alone: a plain read, DATA 1 first, not even a refusal of its value.
        for value in ("", "1"):
            with self.subTest(value=value):
                c = self.client(HOST6)
                c.send_request(request(RRQ, "f.bin", options={"multicast": value}))
                self.assertEqual(self.expect(c)[0], data(1, CONTENT[:512]))
                c.send(error_bytes(0, "enough"))


class OversizedOverIPv6(IPv6Case):
    settings = {"Timeout": 1, "Retransmit": 1}

    def test_oversized_requests_are_refused_and_the_server_serves_on(self):
        self.server.put_file("keep.bin", CONTENT)
        # Longer than the request buffer (1536 bytes): refused whole, also
        # far past the largest IPv4 datagram's size.
        for size in (1537, 65000, 65527):
            with self.subTest(size=size):
                packet = raw_request(RRQ, "keep.bin", "octet", "x-pad")
                packet += b"p" * (size - len(packet) - 1) + b"\0"
                self.assertRefused(packet, ERR_ILLEGAL, "Bad tftp packet", self.client(HOST6))
        got, _, _ = self.read_over(self.client(HOST6), "keep.bin", {"blksize": 1000})
        self.assertTrue(got == CONTENT, "a read after the oversized requests differs")


class AccessRulesKeepToTheirFamily(IPv6Case):
    settings = {"AccessControl": 1, "Timeout": 1, "Retransmit": 1}
    access = {
        # IPv6 only: the loopback alone, and all of ::/1 but ::.
        "v6\\0": "r,::1-::1",
        "wide6\\0": "r,::1-7fff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
        # IPv4 only: every address from 0.0.0.1 up.
        "v4\\0": "r,0.0.0.1-255.255.255.255",
        # The mapped form of 127/8 is an IPv6 range: no IPv4 client's.
        "mapped\\0": "r,::ffff:127.0.0.0-::ffff:127.255.255.255",
        # A rule of the other family is passed over, not an end of the list.
        "both\\0": "r,127.0.0.1-127.0.0.1",
        "both\\1": "rw,::1",
    }
    files = {d + "/f.bin": d.encode() for d in ("v6", "wide6", "v4", "mapped", "both")}

    def allowed(self, host, directory):
        got, _, _ = self.read_over(self.client(host), directory + "/f.bin")
        self.assertEqual(got, directory.encode())

    def denied(self, host, directory):
        self.assertRefused(request(RRQ, directory + "/f.bin"), ERR_ILLEGAL, "Access denied", self.client(host))

    def test_ranges_cover_their_own_family_only(self):
        for host, allowed, denied in ((HOST6, ("v6", "wide6", "both"), ("v4", "mapped")),
                                      (HOST, ("v4", "both"), ("v6", "wide6", "mapped"))):
            for directory in allowed:
                with self.subTest(client=host, directory=directory, allowed=True):
                    self.allowed(host, directory)
            for directory in denied:
                with self.subTest(client=host, directory=directory, allowed=False):
                    self.denied(host, directory)
        # "both" lets ::1 write through its second rule; 127.0.0.1 stops at its first.
        self.assertRefused(request(WRQ, "both/new.bin"), ERR_ILLEGAL, "Access denied", self.client(HOST))
        self.assertTrue(StepWriter(self.client(HOST6), "both/new.bin", b"six").run())
        self.assertTrue(wait_until(lambda: read_file(self.server.path("both/new.bin")) == b"six", 3))


class IPv6ClientDirectory(IPv6Case):
    """RootIPspecific: ::1 has the directory "--1"."""
    settings = {"RootIPspecific": 1, "Timeout": 1, "Retransmit": 1}
    # "::1" is what a server would find that named the directory with ":"
    # (Linux takes the name): it must not be served.
    files = {"a.bin": b"common", "--1/a.bin": b"own", "::1/a.bin": b"colons"}

    def test_own_directory(self):
        self.assertEqual(self.read_over(self.client(HOST6), "a.bin")[0], b"own")
        self.assertEqual(self.read_over(self.client(HOST6), "/a.bin")[0], b"own")
        self.assertEqual(self.read_over(self.client(HOST), "a.bin")[0], b"common")
        self.assertTrue(StepWriter(self.client(HOST6), "b.bin", b"mine").run())
        self.assertTrue(wait_until(lambda: read_file(self.server.path("--1/b.bin")) == b"mine", 3))
        self.assertIsNone(read_file(self.server.path("b.bin")))


if __name__ == "__main__":
    unittest.main(verbosity=2)
