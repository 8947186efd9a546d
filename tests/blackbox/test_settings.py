"""Settings out of their range, as a store may hold them: the server brings
each to its bound or its default at load and keeps serving; ListenAddresses
limits the addresses that answer, and an entry it cannot listen on stops the
start."""
import time
import unittest

from blackbox_support import HOST, HOST6, TS, BlackBoxCase, Server, free_port_range, linux_only, pattern
from harrier import answers

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
        c = self.ask_read("t.bin")
        first, _ = self.expect(c)
        sent = time.monotonic()
        again, _ = self.expect(c)
        self.assertEqual(again, first)
        self.assertGreater(time.monotonic() - sent, 0.7, "retransmitted after the time-out")
        c.send(b"\x00\x05\x00\x00enough\x00")
        self.assertRegex(self.server.output(), r"%s def\. Timeout  : 1\n" % TS)
        self.assertRegex(self.server.output(), r"%s max\. Retries  : 255\n" % TS)


class ListenOnIPv4Loopback(BlackBoxCase):
    settings = {"ListenAddresses": HOST, "Timeout": 1}

    def test_only_the_listed_family_answers(self):
        self.server.put_file("a.bin", b"four")
        self.assertEqual(self.fetch(self.client(), "a.bin")[0], b"four")
        self.assertFalse(answers(self.server.port, host=HOST6), "::1 answered, yet only %s is listed" % HOST)


@linux_only("IPv6 listening")
class ListenOnIPv6Loopback(BlackBoxCase):
    # Blanks around entries and an empty entry are passed over.
    settings = {"ListenAddresses": " ::1 ;", "Timeout": 1}

    def test_only_the_listed_family_answers(self):
        self.server.put_file("a.bin", b"six")
        self.assertEqual(self.fetch(self.client(HOST6), "a.bin")[0], b"six")
        self.assertFalse(answers(self.server.port, host=HOST), "%s answered, yet only ::1 is listed" % HOST)


@linux_only("IPv6 listening")
class ListenAddressesThatStopTheStart(unittest.TestCase):
    def start(self, listen):
        """Starts a server listening on the entries listen; its console and
        standard error once it has ended by itself (exit code 1)."""
        server = Server(settings={"ListenAddresses": listen}, separate_stderr=True)
        self.addCleanup(server.close)
        server.proc.wait(30)
        self.assertEqual(server.stop(), 1, server.output())
        return server

    def test_an_entry_that_is_no_address_of_this_host_is_named(self):
        for listen, message in (
                ("300.1.1.1", '"300.1.1.1" is no IPv4 or IPv6 address'),
                ("127.0.0.1;::1;fe80::zz", '"fe80::zz" is no IPv4 or IPv6 address'),
                ("192.0.2.99", "192.0.2.99 is not an address of this host"),
                # After addresses that bind.
                ("127.0.0.1;::1;2001:db8::99", "2001:db8::99 is not an address of this host")):
            with self.subTest(listen=listen):
                server = self.start(listen)
                self.assertRegex(server.output(), r" bind on TFTP port failed\n$")
                self.assertEqual(server.errors(), "harrier: ListenAddresses: %s\n" % message)

    def test_at_most_32_addresses(self):
        addresses = ["127.0.0.%d" % n for n in range(1, 34)]
        server = self.start(";".join(addresses))
        self.assertEqual(server.errors(), "harrier: ListenAddresses: more than 32 addresses\n")
        # The same address twice counts once: 32 distinct ones start.
        with Server(settings={"ListenAddresses": ";".join(addresses[:32] + addresses[:1])}) as server:
            self.assertIn("Ready on TFTP port", server.output())
            self.assertTrue(answers(server.port, host="127.0.0.32"))


if __name__ == "__main__":
    unittest.main()
