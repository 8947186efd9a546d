"""Read transfers: block counts at the edges, ACK matching, the two-block
window, netascii, mapped reads and a client's ERROR (an upload over a mapped
read: test_hardening_replaced.py)."""
import re
import socket
import struct
import time
import unittest

from blackbox_support import (
    COMPLETED, DATA, ERR_NOT_FOUND, RRQ, BlackBoxCase, ack, block_of, collect_until, data, error_bytes,
    oack_bytes, opcode_of, pattern, receive_all, request)
from netascii import sent_by_orvanel

TEXT = (b"first line\r\nsecond line\r\n" * 40 + b"lone CR\r here\r\r\n" + b"x" * 511 + b"\r\n"
        + b"tail\r\n")


class Reads(BlackBoxCase):
    settings = {"Timeout": 1, "Retransmit": 2}

    def test_last_block_is_short_and_ends_at_its_ack(self):
        # An empty file is one empty DATA; a multiple of the block size ends
        # with an empty block.
        for size in (0, 1024):
            with self.subTest(size=size):
                payload = pattern(size, seed=1)
                path = self.server.put_file("k%d.bin" % size, payload)
                start = self.mark()
                c = self.ask_read("k%d.bin" % size)
                last = size // 512 + 1
                for number in range(1, last + 1):
                    self.assertEqual(self.expect(c)[0], data(number, payload[(number - 1) * 512:number * 512]))
                    if number == last:
                        # Not over before the last ACK.
                        time.sleep(0.2)
                        self.assertEqual(self.result_lines(path, start), [])
                    c.send(ack(number))
                self.assertRegex(self.wait_result(path, start)[0], COMPLETED)
                self.expect_nothing(c, 0.3)

    def test_sizes_around_a_block(self):
        for size in (1, 511, 512, 513, 1023, 1025, 5000):
            with self.subTest(size=size):
                payload = pattern(size, seed=size)
                self.server.put_file("s%d.bin" % size, payload)
                got, _, seen = self.fetch(self.client(), "s%d.bin" % size)
                self.assertEqual(got, payload)
                self.assertEqual(seen, size // 512 + 1)

    def test_a_request_to_the_loopback_broadcast_is_served_from_127_0_0_1(self):
        # The answer must leave from the interface's address, not from the
        # broadcast address the request was sent to.
        payload = pattern(700, seed=7)
        self.server.put_file("broadcast.bin", payload)
        c = self.client()
        c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        c.server = ("127.255.255.255", self.server.port)
        got, _, _ = self.fetch(c, "broadcast.bin")
        self.assertEqual((got, c.peer[0]), (payload, "127.0.0.1"))

    def test_wrong_acks_are_ignored_without_retransmission(self):
        payload = pattern(2000, seed=5)
        path = self.server.put_file("wrong.bin", payload)
        start = self.mark()
        c = self.ask_read("wrong.bin")
        self.assertEqual(self.expect(c)[0], data(1, payload[:512]))
        c.send(ack(1))
        self.assertEqual(self.expect(c)[0], data(2, payload[512:1024]))
        sent = time.monotonic()
        # A duplicate ACK of the previous block and wrong ACKs, sent faster
        # than the time-out, get no answer of their own; nor do they put the
        # time-out off: block 2 goes out again about one time-out after it
        # was first sent.
        resent = None
        for number in (1, 0, 7, 65535, 1, 3, 1, 1, 1, 1):
            c.send(ack(number))
            packet, _ = c.receive(0.2)
            if packet is not None:
                self.assertEqual(packet, data(2, payload[512:1024]))
                resent = time.monotonic() - sent
                break
        self.assertIsNotNone(resent, "wrong ACKs kept the server from resending")
        self.assertGreater(resent, 0.8)
        self.assertLess(resent, 1.6)
        self.wait_line(r"^\S+ \S+ TFTP  ack ignored 1, 2$", start)
        self.wait_line(r"^\S+ \S+ TFTP  ack ignored 65535, 2$", start)
        c.send(ack(2))
        self.assertEqual(self.expect(c)[0], data(3, payload[1024:1536]))
        c.send(ack(3))
        self.assertEqual(self.expect(c)[0], data(4, payload[1536:]))
        c.send(ack(4))
        self.assertRegex(self.wait_result(path, start)[0], COMPLETED)

    def test_silence_after_first_block(self):
        # The next block goes out four times in all; when it was the last the
        # transfer still completes, else it times out.
        for size, status in ((700, COMPLETED), (1500, "^ Timeout$")):
            with self.subTest(size=size):
                payload = pattern(size, seed=size)
                path = self.server.put_file("silent%d.bin" % size, payload)
                start = self.mark()
                c = self.ask_read("silent%d.bin" % size)
                self.assertEqual(self.expect(c)[0], data(1, payload[:512]))
                c.send(ack(1))
                seen = collect_until(c, lambda: self.result_lines(path, start), 10)
                self.assertEqual([p for _, p, _ in seen], [data(2, payload[512:1024])] * 4)
                self.assertRegex(self.wait_result(path, start)[0], status)

    def test_client_error_aborts(self):
        payload = pattern(3000, seed=8)
        path = self.server.put_file("abort.bin", payload)
        message = "".join(chr(ord("a") + i % 26) for i in range(200))
        cases = [
            (error_bytes(7, message), "7 " + message[:116]),
            (error_bytes(0, ""), "0 "),
            # Text without its zero byte: up to the end of the datagram.
            (struct.pack("!HH", 5, 2) + b"no zero", "2 no zero"),
            (error_bytes(65535, "x" * 116), "65535 " + "x" * 116),
            (error_bytes(1, "100%s %n%d done"), "1 100%s %n%d done"),
        ]
        for packet, text in cases:
            with self.subTest(text=text[:20]):
                start = self.mark()
                c = self.ask_read("abort.bin", options={"blksize": 1024})
                self.assertEqual(self.expect(c)[0][:2], b"\x00\x06")
                c.send(ack(0))
                self.assertEqual(self.expect(c)[0], data(1, payload[:1024]))
                c.send(packet)
                status, address, label, rest = self.wait_result(path, start)
                self.assertEqual((status, address, label), (" Abort  ", "127.0.0.1      ", "Get/octet "))
                self.assertEqual(rest, text + " " + path)
                self.wait_line(r"^\S+ \S+ TFTP  error %s$" % re.escape(text), start)
                if text.startswith("7"):
                    self.expect_nothing(c, 1.2)  # nothing is sent after the abort

    def test_error_during_option_phase_aborts(self):
        path = self.server.put_file("oabort.bin", b"abc")
        start = self.mark()
        c = self.ask_read("oabort.bin", options={"tsize": 0})
        self.assertEqual(self.expect(c)[0], oack_bytes(("tsize", 3)))
        c.send(error_bytes(8, "tsize too big"))
        self.assertEqual(self.wait_result(path, start)[3], "8 tsize too big " + path)
        self.expect_nothing(c, 1.3)

    def test_netascii_translation(self):
        cases = [
            (b"a\r\nb", b"a\nb"),
            (b"line1\r\nstop\x1ahidden\r\n", b"line1\nstop"),
            (b"\x1a", b""),
            (b"a\rb\r", b"a\rb\r"),
            (b"a\r\r\nb\n", b"a\r\nb\n"),
            (b"x" * 511 + b"\r\n" + b"y" * 600, b"x" * 511 + b"\n" + b"y" * 600),
            (b"x" * 511 + b"\r\n" + b"y" * 512, b"x" * 511 + b"\n" + b"y" * 512),
            (TEXT, sent_by_orvanel(TEXT)),
        ]
        for i, (disk, sent) in enumerate(cases):
            with self.subTest(case=i):
                path = self.server.put_file("t%d.txt" % i, disk)
                start = self.mark()
                got, oack, seen = self.fetch(self.client(), "t%d.txt" % i, "netascii", {"tsize": 0})
                self.assertEqual(got, sent)
                # tsize is the size on disk; the end is found by the short block.
                self.assertEqual(oack, {"tsize": str(len(disk))})
                self.assertEqual(seen, 1 + len(sent) // 512 + 1)
                self.assertEqual(self.wait_result(path, start)[2], "Get/ascii ")

    def test_octet_is_never_translated(self):
        disk = b"a\r\nb\x1ac\r\n" * 100
        self.server.put_file("raw.bin", disk)
        got, _, _ = self.fetch(self.client(), "raw.bin", "OCTET")
        self.assertEqual(got, disk)

    def test_netascii_block_sent_again_is_the_same(self):
        disk = b"\r\n" * 700 + b"end"
        self.server.put_file("again.txt", disk)
        c = self.ask_read("again.txt", "netascii")
        first = self.expect(c)[0]
        self.assertEqual(first, data(1, b"\n" * 512))
        c.send(ack(1))
        second = self.expect(c)[0]
        self.assertEqual(second, data(2, b"\n" * 188 + b"end"))
        # No ACK: the same block comes again, translated the same way.
        again, _ = c.receive(3.0)
        self.assertEqual(again, second)
        c.send(ack(2))
        self.expect_nothing(c, 0.3)


class Window(BlackBoxCase):
    settings = {"WindowSize": 1, "Timeout": 1, "Retransmit": 2}

    def test_two_blocks_in_flight(self):
        payload = pattern(5 * 512 + 100, seed=11)
        path = self.server.put_file("w.bin", payload)
        blocks = [payload[i:i + 512] for i in range(0, len(payload), 512)]
        start = self.mark()
        c = self.ask_read("w.bin")
        self.assertEqual(self.expect(c)[0], data(1, blocks[0]))
        self.assertEqual(self.expect(c, 0.5)[0], data(2, blocks[1]))
        self.expect_nothing(c, 0.5)
        # Time-out: only the oldest block is sent again.
        again = receive_all(c, 1.0)
        self.assertEqual([p for _, p, _ in again], [data(1, blocks[0])])
        # After that retransmission the window is refilled from block 2.
        c.send(ack(1))
        self.assertEqual(self.expect(c)[0], data(2, blocks[1]))
        self.assertEqual(self.expect(c, 0.5)[0], data(3, blocks[2]))
        self.expect_nothing(c, 0.2)
        # Each ACK releases one block and sends one new.
        for number in (2, 3, 4):
            c.send(ack(number))
            self.assertEqual(self.expect(c)[0], data(number + 2, blocks[number + 1]))
            self.expect_nothing(c, 0.15)
        c.send(ack(5))
        self.expect_nothing(c, 0.3)
        self.assertEqual(self.result_lines(path, start), [])
        c.send(ack(6))
        self.assertRegex(self.wait_result(path, start)[0], COMPLETED)

    def test_one_block_file_sends_one_data(self):
        path = self.server.put_file("one.bin", b"x" * 100)
        start = self.mark()
        c = self.ask_read("one.bin")
        self.assertEqual(self.expect(c)[0], data(1, b"x" * 100))
        self.expect_nothing(c, 0.5)
        c.send(ack(1))
        self.wait_result(path, start)
        self.expect_nothing(c, 0.3)

    def test_exact_block_has_both_blocks_in_flight(self):
        path = self.server.put_file("b512.bin", b"y" * 512)
        start = self.mark()
        c = self.ask_read("b512.bin", options={"tsize": 0})
        self.assertEqual(self.expect(c)[0], oack_bytes(("tsize", 512)))
        c.send(ack(0))
        self.assertEqual(self.expect(c)[0], data(1, b"y" * 512))
        self.assertEqual(self.expect(c, 0.5)[0], data(2, b""))
        c.send(ack(1))
        self.expect_nothing(c, 0.3)
        c.send(ack(2))
        self.assertRegex(self.wait_result(path, start)[0], COMPLETED)

    def test_whole_files_with_window(self):
        for size, mode in ((0, "octet"), (1024, "octet"), (100000, "octet"), (len(TEXT), "netascii")):
            with self.subTest(size=size, mode=mode):
                disk = TEXT if mode == "netascii" else pattern(size, seed=size)
                self.server.put_file("f%d" % size, disk)
                got, _, _ = self.fetch(self.client(), "f%d" % size, mode, {"blksize": 1000})
                self.assertEqual(got, sent_by_orvanel(disk) if mode == "netascii" else disk)

    def test_nothing_after_the_last_netascii_block(self):
        # 1100 bytes on disk are 825 bytes translated: DATA 2 is short and
        # the last; no DATA 3 may follow it, although the disk file has
        # bytes at that offset.
        path = self.server.put_file("short.txt", b"ab\r\n" * 275)
        start = self.mark()
        c = self.ask_read("short.txt", "netascii")
        self.assertEqual(self.expect(c)[0], data(1, b"ab\n" * 170 + b"ab"))
        self.assertEqual(self.expect(c, 0.5)[0], data(2, b"\n" + b"ab\n" * 104))
        c.send(ack(1))
        self.expect_nothing(c, 0.5)
        c.send(ack(2))
        self.assertRegex(self.wait_result(path, start)[0], COMPLETED)
        self.expect_nothing(c, 0.3)

    def test_netascii_retransmission_with_window(self):
        disk = TEXT * 3
        sent = sent_by_orvanel(disk)
        self.server.put_file("nw.txt", disk)
        c = self.ask_read("nw.txt", "netascii")
        got = {}
        number = 1
        dropped = False
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            packet, _ = c.receive(2.0)
            self.assertIsNotNone(packet, "server went silent")
            n = block_of(packet)
            self.assertEqual(opcode_of(packet), DATA)
            if n in got:
                self.assertEqual(got[n], packet[4:], "block %d differs when sent again" % n)
            got[n] = packet[4:]
            if n != number:
                continue
            if n == 3 and not dropped:
                dropped = True  # let block 3 time out once
                continue
            c.send(ack(n))
            if len(packet) - 4 < 512:
                break
            number += 1
        self.assertTrue(dropped)
        self.assertEqual(b"".join(got[i] for i in sorted(got)), sent)


class MappedReads(BlackBoxCase):
    settings = {"MMF": 3, "Timeout": 1, "Retransmit": 2, "Log": 4}

    def test_empty_file_cannot_be_mapped(self):
        self.server.put_file("empty.bin", b"")
        self.assertRefused(request(RRQ, "empty.bin"), ERR_NOT_FOUND, "File not found")
        # Netascii reads are never mapped: the empty file is sent.
        got, _, seen = self.fetch(self.client(), "empty.bin", "netascii")
        self.assertEqual((got, seen), (b"", 1))

    def test_mapped_read_loads_from_view(self):
        payload = pattern(100000, seed=21)
        self.server.put_file("m.bin", payload)
        start = self.mark()
        got, _, _ = self.fetch(self.client(), "m.bin", options={"blksize": 1468})
        self.assertEqual(got, payload)
        self.wait_line(r"^\S+ \S+ TFTP  load offset 0/100000 0 1468$", start)
        last = 100000 // 1468
        self.wait_line(r"^\S+ \S+ TFTP  load offset %d/100000 %d %d$" % (last * 1468, last, 100000 - last * 1468),
                       start)


if __name__ == "__main__":
    unittest.main(verbosity=2)
