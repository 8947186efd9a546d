"""Option negotiation: the OACK's exact bytes, the block size and time-out
bounds, the settings that switch options off, and BlksizeMax."""
import select
import time
import unittest

from blackbox_support import (
    HOST, RRQ, BlackBoxCase, ack, data, kernel_stamped, oack_bytes, pattern, raw_request, read_file,
    receive_stamped, request, wait_until)
from netascii import sent_by_orvanel

FILE = pattern(70000, seed=3)


class NegotiationCase(BlackBoxCase):
    """A server with f.bin, small.bin and empty.bin, and whole reads with raw requests."""
    files = {"f.bin": FILE, "small.bin": FILE[:3000], "empty.bin": b""}

    def first_answer(self, packet):
        """Sends a request; returns (first packet, its source, the client)."""
        c = self.client()
        c.send_request(packet)
        answer, source = self.expect(c)
        self.assertNotEqual(source, (HOST, self.server.port), "answer %r came from the server port" % answer)
        return answer, source, c

    def read_with(self, packet, expect_oack, block_size):
        """Runs a whole read with the raw request; checks the OACK and the
        size of every DATA packet."""
        answer, source, c = self.first_answer(packet)
        received = bytearray()
        if expect_oack:
            self.assertEqual(answer, expect_oack)
            c.send(ack(0))
            answer, source2 = self.expect(c)
            self.assertEqual(source2, source, "DATA from another port than the OACK")
        number = 1
        while True:
            self.assertEqual(answer[:4], data(number, b""))
            payload = answer[4:]
            self.assertLessEqual(len(payload), block_size)
            received += payload
            c.send(ack(number))
            if len(payload) < block_size:
                break
            number += 1
            answer, _ = self.expect(c)
        return bytes(received)

    def write_with(self, name, options, oack, block_size, payload):
        """Runs a whole upload with the options; checks the OACK, the ACK of
        every block and the file written."""
        c = self.begin_write(name, options=options, first=oack)
        for i in range(len(payload) // block_size + 1):
            c.send(data(i + 1, payload[i * block_size:(i + 1) * block_size]))
            self.assertEqual(self.expect(c)[0], ack(i + 1))
        path = self.server.path(name)
        self.assertTrue(wait_until(lambda: read_file(path) == payload, 3), name)


class Negotiation(NegotiationCase):
    settings = {"Timeout": 1, "Retransmit": 2}

    def test_oack_lists_options_in_fixed_order_in_lower_case(self):
        packet = request(RRQ, "small.bin", options={"TSIZE": 0, "Timeout": 3, "BlkSize": 1024})
        got = self.read_with(packet, oack_bytes(("blksize", 1024), ("timeout", 3), ("tsize", 3000)), 1024)
        self.assertEqual(got, FILE[:3000])

    def test_block_size_values(self):
        cases = [
            ("1428", 1428), ("1428abc", 1428), ("  1428", 1428), ("8", 8), ("9", 9),
            ("65464", 65464), ("65465", 65464), ("65500", 65464), ("65535", 65464),
            # above 16 bits: the largest block, not the low 16 bits of the number
            ("65536", 65464), ("65544", 65464), ("66048", 65464), ("70000", 65464),
            ("65536512", 65464), ("4294967295", 65464), ("4294967296", 65464), ("99999999999", 65464),
        ]
        for value, size in cases:
            with self.subTest(blksize=value):
                got = self.read_with(raw_request(RRQ, "f.bin", "octet", "blksize", value),
                                     oack_bytes(("blksize", size)), size)
                self.assertEqual(got, FILE)

    def test_timeout_values(self):
        for value, result in (("1", 1), ("255", 255), ("7 seconds", 7), ("00012", 12)):
            with self.subTest(timeout=value):
                answer, _, c = self.first_answer(raw_request(RRQ, "small.bin", "octet", "timeout", value))
                self.assertEqual(answer, oack_bytes(("timeout", result)))
                c.send(ack(0))
                self.assertEqual(self.expect(c)[0][:4], data(1, b""))
                c.send(ack(1))

    def test_tsize_of_a_read_is_the_file_size(self):
        for name, size in (("f.bin", 70000), ("empty.bin", 0)):
            with self.subTest(name=name):
                answer, _, c = self.first_answer(request(RRQ, name, options={"tsize": 123456789}))
                self.assertEqual(answer, oack_bytes(("tsize", size)))
                c.send(ack(0))
                first = self.expect(c)[0]
                self.assertEqual(first[:4], data(1, b""))
                if size == 0:
                    self.assertEqual(first, data(1, b""))

    def test_later_option_overwrites_earlier(self):
        packet = raw_request(RRQ, "f.bin", "octet", "blksize", "600", "tsize", "0", "blksize", "700")
        got = self.read_with(packet, oack_bytes(("blksize", 700), ("tsize", 70000)), 700)
        self.assertEqual(got, FILE)

    def test_unknown_and_truncated_options_are_skipped(self):
        # Unknown options do not appear in the OACK.
        packet = raw_request(RRQ, "f.bin", "octet", "foo", "bar", "blksize", "1024", "utimeout", "4")
        self.assertEqual(self.read_with(packet, oack_bytes(("blksize", 1024)), 1024), FILE)
        # Only unknown options: a plain read, DATA 1 first.
        self.assertEqual(self.read_with(raw_request(RRQ, "f.bin", "octet", "foo", "bar"), None, 512), FILE)
        # An option name at the very end without a value, with or without
        # its zero byte, is skipped.
        for packet in (raw_request(RRQ, "f.bin", "octet", "blksize"),
                       raw_request(RRQ, "f.bin", "octet", "blksize", terminate=False),
                       raw_request(RRQ, "f.bin", "octet", "timeout"),
                       raw_request(RRQ, "f.bin", "octet", "tsize"),
                       raw_request(RRQ, "f.bin", "octet", "multicast"),
                       raw_request(RRQ, "f.bin", "octet", "tsize", terminate=False)):
            with self.subTest(packet=packet):
                self.assertEqual(self.read_with(packet, None, 512), FILE)
        # A value without its zero byte at the end of the datagram still counts.
        packet = raw_request(RRQ, "f.bin", "octet", "blksize", "1024", terminate=False)
        self.assertEqual(self.read_with(packet, oack_bytes(("blksize", 1024)), 1024), FILE)

    def test_netascii_multicast_is_served_as_a_plain_read(self):
        # Octet multicast reads send to a group, so they are tested inside a
        # namespace of their own (test_multicast); netascii never does.
        packet = request(RRQ, "small.bin", "netascii", options={"multicast": "", "tsize": 0})
        self.assertEqual(self.read_with(packet, oack_bytes(("tsize", 3000)), 512), sent_by_orvanel(FILE[:3000]))

    def test_write_options(self):
        payload = pattern(5000, seed=9)
        self.write_with("up.bin", {"tsize": 5000, "blksize": 1024, "timeout": 2},
                        oack_bytes(("blksize", 1024), ("timeout", 2), ("tsize", 5000)), 1024, payload)
        # The smallest block size with every other option: the OACK is longer
        # than the packet buffer of such a session.
        self.write_with("up8.bin", {"blksize": 8, "timeout": 255, "tsize": 4294967295},
                        oack_bytes(("blksize", 8), ("timeout", 255), ("tsize", 4294967295)), 8, b"123456789")
        # blksize 65500 is answered with 65464 for a write too.
        self.write_with("up2.bin", {"blksize": 65500}, oack_bytes(("blksize", 65464)), 65464, payload[:100])

    def test_time_out_option_sets_the_retransmission_interval(self):
        c = self.client()
        kernel_stamped(c.sock)
        c.send_request(request(RRQ, "small.bin", options={"timeout": 2}))
        oacks = []
        deadline = time.monotonic() + 8
        while len(oacks) < 3 and time.monotonic() < deadline:
            if select.select([c.sock], [], [], 0.1)[0]:
                stamp, packet, _ = receive_stamped(c.sock)
                self.assertEqual(packet, oack_bytes(("timeout", 2)))
                oacks.append(stamp)
        self.assertEqual(len(oacks), 3)
        # Two seconds apart, not the server's one second.
        self.assertGreater(min(oacks[1] - oacks[0], oacks[2] - oacks[1]), 1.7)
        self.assertLess(min(oacks[1] - oacks[0], oacks[2] - oacks[1]), 2.8)


class BlockSizeCap(NegotiationCase):
    """BlksizeMax: a client asking more gets the cap, one asking less what
    it asked."""
    settings = {"BlksizeMax": 1468, "Timeout": 1, "Retransmit": 2}

    def test_larger_blocks_are_lowered_to_the_cap(self):
        for asked, size in (("8192", 1468), ("65464", 1468), ("1469", 1468), ("1468", 1468), ("1024", 1024),
                            ("8", 8)):
            with self.subTest(blksize=asked):
                packet = request(RRQ, "f.bin" if size > 8 else "small.bin", options={"blksize": asked, "tsize": 0})
                expected = FILE if size > 8 else FILE[:3000]
                got = self.read_with(packet, oack_bytes(("blksize", size), ("tsize", len(expected))), size)
                self.assertEqual(got, expected)
        # Uploads are capped alike: a DATA of the cap is taken.
        self.write_with("up.bin", {"blksize": 8192}, oack_bytes(("blksize", 1468)), 1468, pattern(2000, seed=13))


class TinyBlockSizeCap(NegotiationCase):
    """BlksizeMax 1 to 7 counts as 8, the smallest block; a client that asks
    nothing still gets 512-byte blocks."""
    settings = {"BlksizeMax": 3, "Timeout": 1, "Retransmit": 2}

    def test_cap_below_8_counts_as_8(self):
        self.server.put_file("tiny.bin", FILE[:100])
        got = self.read_with(request(RRQ, "tiny.bin", options={"blksize": 512}), oack_bytes(("blksize", 8)), 8)
        self.assertEqual(got, FILE[:100])
        self.assertEqual(self.read_with(request(RRQ, "small.bin"), None, 512), FILE[:3000])


class OnlyBlockSize(BlackBoxCase):
    settings = {"Options": 1, "Timeout": 1, "Retransmit": 1}

    def test_switched_off_options_are_left_out(self):
        self.server.put_file("f.bin", FILE[:2000])
        c = self.ask_read("f.bin", options={"tsize": 0, "blksize": 1024, "timeout": 5})
        self.assertEqual(self.expect(c)[0], oack_bytes(("blksize", 1024)))
        c.send(ack(0))
        self.assertEqual(self.expect(c)[0], data(1, FILE[:1024]))
        # A switched-off option is not even read: no refusal for its value.
        c2 = self.ask_read("f.bin", options={"timeout": "x", "tsize": "y"})
        self.assertEqual(self.expect(c2)[0], data(1, FILE[:512]))


class NoOptions(BlackBoxCase):
    settings = {"Options": 0, "Multicast": 0, "Timeout": 1, "Retransmit": 1}

    def test_request_full_of_options_is_a_plain_read(self):
        self.server.put_file("f.bin", FILE[:2000])
        c = self.client()
        c.send_request(request(RRQ, "f.bin", options={"tsize": 0, "blksize": 1024, "timeout": 3,
                                                      "multicast": "1"}))
        self.assertEqual(self.expect(c)[0], data(1, FILE[:512]))
        self.begin_write("w.bin", options={"blksize": "abc", "multicast": ""})


if __name__ == "__main__":
    unittest.main(verbosity=2)
