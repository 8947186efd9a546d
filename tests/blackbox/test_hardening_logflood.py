"""A flood of bad requests must not flood the log: refusal lines are limited
to about 50 a second, with one line a second telling how many were left out;
transfers keep their result lines."""
import math
import re
import socket
import sys
import threading
import time
import unittest

from blackbox_support import RRQ, TS, BlackBoxCase, pattern, raw_request

FLOOD = 3000
PER_SECOND = 50
SO_RCVBUFFORCE = 33


class RefusalFlood(BlackBoxCase):
    settings = {"Log": 1, "Timeout": 1, "Retransmit": 2}

    def flood(self, sock, answers):
        """FLOOD requests with a bad mode in about 1.5 s; counts the ERRORs."""
        bad = raw_request(RRQ, "any.bin", "bogus")
        target = ("127.0.0.1", self.server.port)
        t0 = time.monotonic()
        for i in range(FLOOD):
            sock.sendto(bad, target)
            if i % 20 == 19:
                time.sleep(max(0.0, t0 + (i + 1) / 2000.0 - time.monotonic()))
                answers[0] += drain(sock)
        deadline = time.monotonic() + 2.0
        while answers[0] < FLOOD and time.monotonic() < deadline:
            time.sleep(0.05)
            answers[0] += drain(sock)

    def test_refusal_lines_are_limited(self):
        payload = pattern(100000, seed=701)
        path = self.server.put_file("good.bin", payload)
        start = self.mark()
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(sock.close)
        sock.bind(("127.0.0.1", 0))
        sock.setblocking(False)
        sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 8 << 20)
        answers = [0]
        t0 = time.monotonic()
        flooder = threading.Thread(target=self.flood, args=(sock, answers), daemon=True)
        flooder.start()
        time.sleep(0.3)
        got, _, _ = self.fetch(self.client(), "good.bin", options={"blksize": 1024})
        flooder.join(20)
        self.assertFalse(flooder.is_alive())
        seconds = time.monotonic() - t0
        time.sleep(1.2)  # room for the last summary line
        lines = self.lines(start)
        refusals = [l for l in lines if re.match(TS + "  Error   ", l) and "suppressed" not in l]
        summaries = [l for l in lines if "suppressed" in l]
        print("\n  %d bad requests answered in %.1f s: %d refusal lines, %d summary lines"
              % (answers[0], seconds, len(refusals), len(summaries)), file=sys.stderr)
        self.assertEqual(got, payload)
        self.assertTrue(self.result_lines(path, start), "the download during the flood has no result line")
        # The server did see the flood (it answers every refusal).
        self.assertGreater(answers[0], FLOOD // 2)
        # At most 50 lines in each second the flood touched (two more for
        # the seconds at its edges).
        self.assertLessEqual(len(refusals), PER_SECOND * (math.ceil(seconds) + 2))
        self.assertTrue(summaries, "no line tells how many refusals were left out")


def drain(sock):
    count = 0
    while True:
        try:
            sock.recv(2048)
            count += 1
        except (BlockingIOError, ConnectionRefusedError):
            return count


if __name__ == "__main__":
    unittest.main(verbosity=2)
