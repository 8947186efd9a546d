"""Protocol details an attacker can lean on: wrong-numbered ACKs must not
hold a read's wait open nor stop its retransmissions (the wait for an ACK
has one deadline). A blksize above the largest block, however large the
number, is answered with the largest block: test_options.py."""
import sys
import time
import unittest

from blackbox_support import DATA, BlackBoxCase, ack, data, pattern


class WrongAcks(BlackBoxCase):
    settings = {"Timeout": 1, "Retransmit": 3}

    def test_wrong_acks_do_not_push_the_deadline(self):
        payload = pattern(3000, seed=501)
        path = self.server.put_file("w.bin", payload)
        start = self.mark()
        c = self.ask_read("w.bin")
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


if __name__ == "__main__":
    unittest.main(verbosity=2)
