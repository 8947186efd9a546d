"""A full session table must not lock clients out: with the default Timeout 1
and Retransmit 10, a session that has made no progress for more than 10 s
gives its slot to a new request once the table is full, while a slow client
that keeps acknowledging is never displaced."""
import sys
import threading
import time
import unittest

from blackbox_support import RRQ, BlackBoxCase, pattern, request
from crowd import Crowd
from stepwise import StepReader

NEWCOMER = "127.0.0.2"
SMALL = pattern(3000, seed=301)


class LockOut(BlackBoxCase):
    settings = {"Clients": 10}
    files = {"small.bin": SMALL, "slow.bin": pattern(32 * 512 + 100, seed=302)}

    def hold_slots(self, count):
        """`count` sessions from 127.0.0.1 that ask for a 255 s time-out and
        then say nothing."""
        crowd = Crowd(self.server.port, count)
        self.addCleanup(crowd.close)
        self.addCleanup(crowd.end_sessions)
        silent = request(RRQ, "small.bin", options={"timeout": 255})
        crowd.send_all(silent)
        if crowd.listen(1.0) < count:
            # The previous test's sessions may still be ending, as on a busy
            # machine: the requests they crowded out ask again, as clients do.
            crowd.send_unanswered(silent)
        self.assertEqual(crowd.listen(1.0), count, "the silent requests did not all get a session")
        return crowd

    def newcomer_served(self, limit, stop=lambda: False):
        """Asks for small.bin from 127.0.0.2 once a second until a complete
        download; returns the seconds from the first attempt, or None."""
        c = self.client(NEWCOMER)
        first = time.monotonic()
        while time.monotonic() - first < limit and not stop():
            attempt = time.monotonic()
            reader = StepReader(c, "small.bin")
            if reader.step(timeout=1.0):
                reader.run(timeout=2.0)
                self.assertEqual(reader.outcome, "done", reader.error)
                self.assertEqual(bytes(reader.received), SMALL)
                return time.monotonic() - first
            time.sleep(max(0.0, attempt + 1.0 - time.monotonic()))
        return None

    def test_silent_sessions_give_their_slots_up(self):
        self.hold_slots(11)
        took = self.newcomer_served(16.0)
        print("\n  newcomer served after %s s" % (None if took is None else round(took, 1)), file=sys.stderr)
        self.assertIsNotNone(took, "a client from another address was locked out for 16 s")
        self.assertLess(took, 15.0)

    def test_slow_but_steady_client_keeps_its_slot(self):
        slow = StepReader(self.client(), "slow.bin")
        self.assertTrue(slow.step())
        ended = []

        def acknowledge_slowly():
            # One ACK every 0.5 s: about 16 s for the file.
            while slow.outcome is None:
                time.sleep(0.5)
                slow.step(timeout=3.0)
            ended.append(time.monotonic())

        worker = threading.Thread(target=acknowledge_slowly, daemon=True)
        worker.start()
        self.hold_slots(10)
        start = time.monotonic()
        took = self.newcomer_served(18.0, stop=lambda: bool(ended))
        worker.join(25)
        self.assertFalse(worker.is_alive())
        self.assertEqual(slow.outcome, "done", "the slow download ended %s %s" % (slow.outcome, slow.error))
        self.assertEqual(bytes(slow.received), pattern(32 * 512 + 100, seed=302))
        print("\n  newcomer served after %s s, slow download done after %.1f s"
              % (None if took is None else round(took, 1), ended[0] - start), file=sys.stderr)
        self.assertIsNotNone(took, "newcomer not served while the slow download ran")
        # It took a silent session's slot, not the one the slow download freed.
        self.assertLess(start + took, ended[0])


if __name__ == "__main__":
    unittest.main(verbosity=2)
