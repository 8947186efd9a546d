"""Protocol details an attacker can lean on: wrong-numbered ACKs must not
hold a read's wait open nor stop its retransmissions (the wait for an ACK
has one deadline), and a blksize above the largest block is answered with
the largest block, however large the number."""
import sys
import time
import unittest

from blackbox_support import (
    DATA, ERR_UNDEFINED, RRQ, BlackBoxCase, ack, data, error_bytes, oack_bytes, pattern, request)

BIGGEST = 65464


class WrongAcks(BlackBoxCase):
    settings = {"Timeout": 1, "Retransmit": 3}

    def test_wrong_acks_do_not_push_the_deadline(self):
        payload = pattern(3000, seed=501)
        path = self.server.put_file("w.bin", payload)
        start = self.mark()
        c = self.client()
        c.send_request(request(RRQ, "w.bin"))
        self.assertEqual(self.expect(c)[0], data(1, payload[:512]))
        t0 = time.monotonic()
        first_data = []  # arrival times of DATA 1 after the first
        ended = None
        next_ack = t0
        while time.monotonic() - t0 < 9.0:
            now = time.monotonic()
            if ended is None and self.result_lines(path, start):
                ended = now - t0
            if ended is not None and now - t0 > ended + 1.0:
                break
            if now >= next_ack:
                c.send(ack(7))
                next_ack += 0.3
            packet, _ = c.receive(max(0.0, min(0.05, next_ack - time.monotonic())))
            if packet is not None and packet[:4] == bytes([0, DATA, 0, 1]):
                first_data.append(time.monotonic() - t0)
        within5 = [t for t in first_data if t <= 5.0]
        print("\n  DATA 1 resent %d times in 5 s; session ended after %s s"
              % (len(within5), None if ended is None else round(ended, 1)), file=sys.stderr)
        # The first DATA 1 plus at least two retransmissions, about a second apart.
        self.assertGreaterEqual(len(within5) + 1, 3, first_data)
        self.assertIsNotNone(ended, "the session was still open after 9 s of wrong ACKs")
        self.assertLess(ended, 8.0)
        self.assertEqual(self.wait_result(path, start)[0], " Timeout")


class BlockSizes(BlackBoxCase):
    settings = {"Timeout": 1, "Retransmit": 1}
    files = {"b.bin": pattern(200000, seed=502)}

    def offer(self, value):
        c = self.client()
        c.send_request(request(RRQ, "b.bin", options={"blksize": value}))
        answer, source = self.expect(c)
        if source != ("127.0.0.1", self.server.port):
            c.send(error_bytes(ERR_UNDEFINED, "enough"))  # a session started: end it at once
        return answer

    def test_large_values_get_the_largest_block(self):
        for value in ("65464", "65465", "65536", "65544", "66048", "70000", "4294967295",
                      "4294967296"):
            with self.subTest(blksize=value):
                self.assertEqual(self.offer(value), oack_bytes(("blksize", BIGGEST)))

    def test_smallest_block_is_granted(self):
        # Below it, refusals: test_refusals checks those exactly.
        self.assertEqual(self.offer("8"), oack_bytes(("blksize", 8)))

    def test_largest_block_is_really_sent(self):
        c = self.client()
        c.send_request(request(RRQ, "b.bin", options={"blksize": 65536}))
        self.assertEqual(self.expect(c)[0], oack_bytes(("blksize", BIGGEST)))
        c.send(ack(0))
        packet, _ = self.expect(c)
        self.assertEqual(packet, data(1, pattern(200000, seed=502)[:BIGGEST]))
        c.send(error_bytes(ERR_UNDEFINED, "enough"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
