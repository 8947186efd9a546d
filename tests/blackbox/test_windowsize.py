"""The windowsize option: what the OACK grants, and windowed reads driven by
a scripted client that loses, re-acknowledges and repeats on purpose."""
import collections
import socket
import struct
import time
import unittest

from blackbox_support import (
    ACK, DATA, ERR_UNDEFINED, HOST, HOST6, RRQ, BlackBoxCase, ack, block_of, data, error_bytes, oack_bytes, pattern,
    read_file, request, wait_until)

BLOCK = 512
FILE = pattern(200 * BLOCK + 100, seed=13)  # 201 blocks, the last one short
BLOCKS = len(FILE) // BLOCK + 1


class WindowCase(BlackBoxCase):
    settings = {"Timeout": 1, "Retransmit": 3}
    files = {"w.bin": FILE}

    def granted(self, value):
        """The first answer to an RRQ that asks only for windowsize=value;
        the session is ended with an ERROR so it holds no slot."""
        c = self.ask_read("w.bin", options={"windowsize": value})
        answer, _ = self.expect(c)
        c.send(error_bytes(ERR_UNDEFINED, "done"))
        return answer

    def windowed_read(self, window, drop=(), extra_ack=None, repeat_acks=1, host=HOST):
        """Reads w.bin with the given window as an RFC 7440 client: it ACKs
        each window's last block and the short one; on a gap it ACKs the last
        block in order once. `drop` holds block numbers whose first copy is
        thrown away; `extra_ack` (after, number) sends ACK number when block
        `after` first arrives; every ACK is sent `repeat_acks` times.
        Returns (bytes, DATA count per block)."""
        c = self.client(host)
        c.send_request(request(RRQ, "w.bin", options={"windowsize": window}))
        answer, _ = self.expect(c)
        self.assertEqual(answer, oack_bytes(("windowsize", window)))
        sent = collections.Counter()
        dropped = set()
        received = bytearray()
        expected, window_start, gap_for = 1, 1, None

        def send_ack(number):
            for _ in range(repeat_acks):
                c.send(ack(number))

        send_ack(0)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            packet, _ = self.expect(c, timeout=5)
            opcode, number = struct.unpack("!HH", packet[:4])
            self.assertEqual(opcode, DATA, packet[:40])
            sent[number] += 1
            if number in drop and number not in dropped:
                dropped.add(number)
                continue
            if extra_ack and number == extra_ack[0] and sent[number] == 1:
                send_ack(extra_ack[1])
                if extra_ack[1] < expected:
                    # The server restarts after the ACK: what it sent past it
                    # comes again.
                    del received[extra_ack[1] * BLOCK:]
                    expected = window_start = extra_ack[1] + 1
                continue
            if number != expected:
                if number > expected and gap_for != expected:
                    gap_for = expected
                    send_ack(expected - 1)
                    window_start = expected
                continue
            received += packet[4:]
            expected += 1
            last = len(packet) - 4 < BLOCK
            if last or number - window_start + 1 == window:
                send_ack(number)
                window_start = number + 1
            if last:
                return bytes(received), sent
        self.fail("the read did not end in time")


class Negotiation(WindowCase):
    def test_values_inside_the_range_are_granted_up_to_the_limit(self):
        # As with the other numeric options, the leading digits are the value.
        for asked, granted in (("1", 1), ("8", 8), ("8x", 8), ("64", 64), ("65", 64), ("65535", 64)):
            with self.subTest(asked=asked):
                self.assertEqual(self.granted(asked), oack_bytes(("windowsize", granted)))

    def test_invalid_values_are_as_if_the_option_were_absent(self):
        for asked in ("0", "65536", "4294967297", "abc", "", "-1", "x8"):
            with self.subTest(asked=asked):
                answer = self.granted(asked)
                self.assertEqual(answer[:4], data(1, b""), "asked %r got %r" % (asked, answer[:30]))

    def test_the_option_keeps_its_place_behind_the_others(self):
        c = self.ask_read("w.bin", options={"windowsize": 4, "tsize": 0, "blksize": 1024})
        answer, _ = self.expect(c)
        c.send(error_bytes(ERR_UNDEFINED, "done"))
        self.assertEqual(answer, oack_bytes(("blksize", 1024), ("tsize", len(FILE)), ("windowsize", 4)))


class WindowedReads(WindowCase):
    def test_each_block_leaves_once_without_loss(self):
        # Also when every ACK comes three times: a duplicate never causes a resend.
        for window, host, repeat in ((1, HOST, 1), (4, HOST, 1), (32, HOST, 1), (32, HOST6, 1), (8, HOST, 3)):
            with self.subTest(window=window, host=host, repeat_acks=repeat):
                got, sent = self.windowed_read(window, repeat_acks=repeat, host=host)
                self.assertEqual(got, FILE)
                self.assertEqual(max(sent.values()), 1, "some DATA was sent twice: %r" % sent.most_common(3))
                self.assertEqual(sum(sent.values()), BLOCKS)

    def test_a_lost_block_costs_at_most_one_window(self):
        window = 8
        drop = (3, 20, 57, 64, BLOCKS)  # inside, at the start and end of a window, the last block
        got, sent = self.windowed_read(window, drop=drop)
        self.assertEqual(got, FILE)
        self.assertLessEqual(sum(sent.values()), BLOCKS + window * len(drop))
        for number in drop:
            self.assertGreaterEqual(sent[number], 2)

    def test_an_ack_in_the_middle_of_a_window_moves_the_window(self):
        window = 8
        got, sent = self.windowed_read(window, extra_ack=(8, 3))
        self.assertEqual(got, FILE)
        # Blocks 4..8 come again after ACK 3, nothing else.
        self.assertEqual([n for n, k in sent.items() if k > 1], [4, 5, 6, 7, 8])
        self.assertEqual(sum(sent.values()), BLOCKS + 5)

    def test_acks_beyond_the_window_are_ignored(self):
        c = self.ask_read("w.bin", options={"windowsize": 4})
        self.expect(c)
        c.send(ack(0))
        first = [self.expect(c)[0] for _ in range(4)]
        self.assertEqual([block_of(p) for p in first], [1, 2, 3, 4])
        for number in (9, 500, 65535):
            c.send(ack(number))  # a lying client: blocks it has never seen
        c.send(ack(4))
        nxt = self.expect(c)[0]
        self.assertEqual(nxt[:4], data(5, b""))
        c.send(error_bytes(ERR_UNDEFINED, "done"))


class ForgedRequest(WindowCase):
    """An off-path attacker forges an RRQ with the largest block and window
    from a victim's address, then one ACK 0 to the data port, and never
    another packet: what reaches the victim is bounded by RFC 7440's one
    window plus, after each time-out, two blocks (the first unacknowledged
    and the last sent), where a lockstep (RFC 1350) server resends one.
    Resending the whole window, as before, brought 320 datagrams here."""
    BIG = 65464
    WINDOW = 64

    def test_one_forged_ack_brings_one_window_and_two_blocks_a_time_out(self):
        self.server.put_file("big.bin", pattern(self.BIG * self.WINDOW * 2, seed=21))
        victim = self.client()
        try:  # a buffer for everything sent, so that every byte is counted
            victim.sock.setsockopt(socket.SOL_SOCKET, 33, 64 << 20)  # SO_RCVBUFFORCE
        except OSError:
            victim.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 << 20)
        rrq = request(RRQ, "big.bin", options={"blksize": self.BIG, "windowsize": self.WINDOW})
        start = self.mark()
        victim.send_request(rrq)
        oack, _ = self.expect(victim)
        self.assertEqual(oack, oack_bytes(("blksize", self.BIG), ("windowsize", self.WINDOW)))
        victim.send(ack(0))  # the attacker guesses the data port; here it is known
        forged = len(rrq) + 4
        received = datagrams = 0
        deadline = time.monotonic() + 5 * (self.settings["Retransmit"] + 3)
        while time.monotonic() < deadline:
            packet, _ = victim.receive(0.5)
            if packet is None:
                if self.result_lines(self.server.path("big.bin"), start):
                    break
                continue
            received += len(packet)
            datagrams += 1
        self.assertTrue(self.result_lines(self.server.path("big.bin"), start), "the transfer did not time out")
        retransmissions = self.settings["Retransmit"] + 1
        bound = (self.WINDOW + 2 * retransmissions) * (self.BIG + 4)
        lockstep = (1 + retransmissions) * (self.BIG + 4)
        print("\nforged %d bytes, the victim received %d bytes in %d datagrams: %.0fx (bound %.0fx, "
              "a lockstep server %.0fx)" % (forged, received, datagrams, received / forged, bound / forged,
                                             lockstep / forged))
        self.assertGreaterEqual(received, self.WINDOW * (self.BIG + 4), "the first window did not arrive whole")
        self.assertLessEqual(received, bound)


class WindowedUploads(WindowCase):
    def begin(self, name, window):
        return self.begin_write(name, options={"windowsize": window}, first=oack_bytes(("windowsize", window)))

    def acks(self, c, seconds=0.4):
        """The ACK numbers that arrive within seconds."""
        out = []
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            packet, _ = c.receive(max(0.01, deadline - time.monotonic()))
            if packet is None:
                break
            opcode, number = struct.unpack("!HH", packet[:4])
            self.assertEqual(opcode, ACK, packet[:40])
            out.append(number)
        return out

    def block(self, number):
        return data(number, FILE[(number - 1) * BLOCK:number * BLOCK])

    def finished(self, name):
        path = self.server.path(name)
        self.assertTrue(wait_until(lambda: read_file(path) == FILE, 5), "upload %s differs" % name)

    def test_every_window_th_block_and_the_last_are_acknowledged(self):
        c = self.begin("up-plain.bin", 8)
        seen = []
        for number in range(1, BLOCKS + 1):
            c.send(self.block(number))
            if number % 8 == 0 or number == BLOCKS:
                seen += self.acks(c, 0.5 if number == BLOCKS else 0.05)
        self.assertEqual(seen, list(range(8, BLOCKS, 8)) + [BLOCKS])
        self.finished("up-plain.bin")

    def test_lost_reordered_and_repeated_blocks_are_written_once(self):
        c = self.begin("up-rough.bin", 8)
        # Window 1..8 with 4 lost: the server answers the gap at once with ACK 3.
        for number in (1, 2, 3, 5, 6):
            c.send(self.block(number))
        self.assertEqual(self.acks(c)[:1], [3])
        # The client resends from 4; 5 comes twice and 7 before 6. The
        # server keeps no block out of order: it tells the last one in order.
        for number in (4, 5, 5, 7, 6, 8):
            c.send(self.block(number))
        got = self.acks(c)
        self.assertTrue(got and got[-1] == 6, got)
        # From there on the client sends windows as the ACKs say.
        following, rounds = 7, 0
        while following <= BLOCKS and rounds < 100:
            rounds += 1
            last = min(following + 7, BLOCKS)
            for number in range(following, last + 1):
                c.send(self.block(number))
            got = self.acks(c, 0.5 if last == BLOCKS else 0.1)
            if got:
                following = max(got) + 1
        self.assertEqual(following, BLOCKS + 1)
        self.finished("up-rough.bin")


class WindowedRollOver(BlackBoxCase):
    settings = {"LargeFiles": 1, "Timeout": 2, "Retransmit": 3}

    def test_block_numbers_wrap_inside_a_window(self):
        size, window = 8, 64
        payload = pattern(66000 * size + 3, seed=66000)
        self.server.put_file("roll.bin", payload)
        c = self.ask_read("roll.bin", options={"blksize": size, "windowsize": window})
        answer, _ = self.expect(c)
        self.assertEqual(answer, oack_bytes(("blksize", size), ("windowsize", window)))
        c.send(ack(0))
        parts, count, sent = [], 0, 0
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and sent < 80000:
            packet, _ = self.expect(c)
            sent += 1
            number = block_of(packet)
            if number != (count + 1) & 0xFFFF:
                continue  # a resend after a late ACK on a busy machine
            parts.append(packet[4:])
            count += 1
            if len(packet) - 4 < size or count % window == 0:
                c.send(ack(number))
            if len(packet) - 4 < size:
                break
        self.assertEqual(count, 66001)
        self.assertEqual(b"".join(parts), payload)


class Limited(WindowCase):
    settings = {"Timeout": 1, "Retransmit": 3, "WindowsizeMax": 8}

    def test_the_setting_caps_the_grant(self):
        for asked, granted in (("4", 4), ("8", 8), ("9", 8), ("65535", 8)):
            with self.subTest(asked=asked):
                self.assertEqual(self.granted(asked), oack_bytes(("windowsize", granted)))
        got, sent = self.windowed_read(8)
        self.assertEqual(got, FILE)
        self.assertEqual(sum(sent.values()), BLOCKS)


class Disabled(WindowCase):
    settings = {"Timeout": 1, "Retransmit": 3, "WindowsizeMax": 0}

    def test_zero_never_acknowledges_the_option(self):
        for asked in ("1", "64"):
            with self.subTest(asked=asked):
                self.assertEqual(self.granted(asked)[:4], data(1, b""))


if __name__ == "__main__":
    unittest.main()
