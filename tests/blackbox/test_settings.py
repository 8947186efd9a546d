"""Settings out of their range, as a store may hold them: the server brings
each to its bound or its default at load and keeps serving."""
import time
import unittest

from blackbox_support import RRQ, TS, BlackBoxCase, free_port_range, pattern, request

PORT = free_port_range(1)  # first port of the data port range below


class NegativeClients(BlackBoxCase):
    """Clients stored as -1 (read as 4294967295) would wrap the data port
    range around to an empty one; it is 4096 and the range starts at
    DataPort (a port of it is taken at random)."""
    settings = {"Clients": "-1", "DataPort": PORT, "Timeout": 1}

    def test_served_from_the_data_port_range(self):
        payload = pattern(1300, seed=11)
        self.server.put_file("p.bin", payload)
        c = self.client()
        got, _, _ = self.fetch(c, "p.bin")
        self.assertEqual(got, payload)
        self.assertEqual(c.peer[0], "127.0.0.1")
        self.assertTrue(PORT <= c.peer[1] < min(PORT + 4096, 65536), c.peer)
        self.assertRegex(self.server.output(), r"%s max\. Clients  : 4096\n" % TS)


class ZeroTimeout(BlackBoxCase):
    settings = {"Timeout": "0", "Retransmit": "99999999999"}

    def test_waits_a_second_not_a_millisecond(self):
        self.server.put_file("t.bin", b"t" * 600)
        c = self.client()
        c.send_request(request(RRQ, "t.bin"))
        first, _ = self.expect(c)
        sent = time.monotonic()
        again, _ = self.expect(c)
        self.assertEqual(again, first)
        self.assertGreater(time.monotonic() - sent, 0.7, "retransmitted after the time-out")
        c.send(b"\x00\x05\x00\x00enough\x00")
        self.assertRegex(self.server.output(), r"%s def\. Timeout  : 1\n" % TS)
        self.assertRegex(self.server.output(), r"%s max\. Retries  : 255\n" % TS)


if __name__ == "__main__":
    unittest.main()
