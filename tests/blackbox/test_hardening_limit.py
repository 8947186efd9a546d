"""The Clients limit under a burst: requests that arrive back to back, before
any worker has started, must not get more than Clients + 1 sessions (one
more than Clients is let in). Every requester stays silent, so that no
session ends while the answers are counted.

So that the requests really reach the server loop back to back, as on a busy
machine, the server is frozen (SIGSTOP) while the burst is queued on its
port and thawed at once after it."""
import os
import signal
import sys
import unittest

from blackbox_support import RRQ, BlackBoxCase, request
from crowd import Crowd


class BurstLimit:
    """A burst of `requests` RRQs from as many sockets."""

    clients = None
    requests = None

    @classmethod
    def setUpClass(cls):
        cls.settings = {"Clients": cls.clients, "Timeout": 5, "Retransmit": 2}
        super().setUpClass()
        cls.server.put_file("burst.bin", b"b" * 2000)

    def test_burst_gets_at_most_clients_plus_one_sessions(self):
        with Crowd(self.server.port, self.requests) as crowd:
            os.kill(self.server.proc.pid, signal.SIGSTOP)
            try:
                crowd.send_all(request(RRQ, "burst.bin"))
            finally:
                os.kill(self.server.proc.pid, signal.SIGCONT)
            sessions = crowd.listen(4.0)
        print("\n  Clients %d, %d requests: %d sessions" % (self.clients, self.requests, sessions),
              file=sys.stderr)
        self.assertLessEqual(sessions, self.clients + 1)
        # The table did fill: the limit is not met by refusing everybody.
        self.assertGreaterEqual(sessions, self.clients)
        self.assertIsNone(self.server.proc.poll())


class Ten50(BurstLimit, BlackBoxCase):
    clients, requests = 10, 50


class Ten300(BurstLimit, BlackBoxCase):
    clients, requests = 10, 300


class Hundred500(BurstLimit, BlackBoxCase):
    clients, requests = 100, 500


if __name__ == "__main__":
    unittest.main(verbosity=2)
