"""The address a client asked is the address that answers, and ListenAddresses
leaves the addresses it does not list silent.

harrier runs in a network namespace whose one interface (the server end of
a veth pair) has two IPv4 and two IPv6 addresses; the client sockets live in
the namespace at the other end. A data socket that is not bound to the
request's address would answer from the one address per family that the
kernel picks as the source for the client, wherever the request went.
"""
import ipaddress
import os
import select
import socket
import sys
import time
import unittest

from blackbox_support import (DATA, ERR_NOT_FOUND, ERROR, OACK, RRQ, Server, ack, parse, stop_checked,
                              pattern, request)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import netns  # noqa: E402

CONTENT = pattern(2600, seed=6)  # 3 blocks of 1024, 6 of 512
SILENCE = 1.5                    # seconds a request to an unlisted address waits
ANSWER = 3.0                     # seconds an answer may take


def same_host(a, b):
    return ipaddress.ip_address(a.split("%")[0]) == ipaddress.ip_address(b.split("%")[0])


class LocalAddressCase(unittest.TestCase):
    """A veth pair with two addresses of each family on the server's end and
    one harrier with the class's settings inside it."""

    @classmethod
    def extra_settings(cls, pair):
        return {}

    @classmethod
    def setUpClass(cls):
        cls.pair = netns.VethPair("ora", ipv6=True)
        try:
            pair = cls.pair
            for address in (pair.address(3), pair.address(3, 6)):
                pair.add_address(pair.server, address)
            # For each family the kernel picks one of the two as the source of
            # an unbound socket's answer: a request to the other one shows it.
            cls.addresses = [pair.server_address, pair.address(3), pair.server_address6, pair.address(3, 6)]
            values = {"Timeout": 1, "Retransmit": 3}
            values.update(cls.extra_settings(pair))
            cls.server = Server(settings=values, wrapper=pair.server.exec_prefix())
            cls.server.put_file("small.bin", CONTENT)
        except BaseException:
            cls.pair.remove()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            stop_checked(cls.server)
        finally:
            cls.pair.remove()

    def client(self, address):
        family = socket.AF_INET6 if ":" in address else socket.AF_INET
        sock = self.pair.client.socket(family)
        self.addCleanup(sock.close)
        sock.bind(("::" if family == socket.AF_INET6 else "0.0.0.0", 0))
        return sock

    def receive(self, sock, timeout=ANSWER):
        """(packet, (host, port)) or (None, None) when nothing came in time."""
        ready, _, _ = select.select([sock], [], [], timeout)
        if not ready:
            return None, None
        packet, source = sock.recvfrom(70000)
        return packet, source[:2]

    def first_answer(self, sock, address, name, options=None):
        """Sends an RRQ to address and returns the answer's (opcode, fields,
        source port), failing when it comes from another address."""
        sock.sendto(request(RRQ, name, "octet", options), (address, self.server.port))
        packet, source = self.receive(sock)
        self.assertIsNotNone(packet, "no answer to a request sent to %s" % address)
        self.assertTrue(same_host(source[0], address), "a request to %s was answered from %s" % (address, source[0]))
        op, fields = parse(packet)
        return op, fields, source[1]

    def read_from(self, address, options=None):
        """A complete read of small.bin through address; every packet of the
        server must come from address and the first answer's port."""
        sock = self.client(address)
        op, fields, port = self.first_answer(sock, address, "small.bin", options)
        self.assertNotEqual(port, self.server.port, "a transfer answered from the server port")
        block_size = 512
        received = bytearray()
        expected = 1
        if options:
            self.assertEqual(op, OACK, "answer to a request with options: %r %r" % (op, fields))
            block_size = int(fields[0]["blksize"])
            sock.sendto(ack(0), (address, port))
            packet, source = self.receive(sock)
            self.assertIsNotNone(packet, "no DATA after the OACK from %s" % address)
            op, fields = parse(packet)
            self.assertTrue(same_host(source[0], address) and source[1] == port,
                            "DATA from %s after an OACK from %s" % (source, (address, port)))
        for _ in range(len(CONTENT) // block_size + 2):
            self.assertEqual(op, DATA, "expected DATA %d from %s: %r %r" % (expected, address, op, fields))
            number, payload = fields
            self.assertEqual(number, expected)
            received += payload
            sock.sendto(ack(number), (address, port))
            if len(payload) < block_size:
                break
            expected += 1
            packet, source = self.receive(sock)
            self.assertIsNotNone(packet, "server at %s went silent at block %d" % (address, expected))
            self.assertTrue(same_host(source[0], address) and source[1] == port,
                            "block %d came from %s, not %s" % (expected, source, (address, port)))
            op, fields = parse(packet)
        self.assertTrue(bytes(received) == CONTENT, "the file read through %s differs" % address)

    def check_served(self, address):
        with self.subTest(address=address, options=True):
            self.read_from(address, {"blksize": "1024"})
        with self.subTest(address=address, options=False):
            self.read_from(address)
        with self.subTest(address=address, refusal=True):
            sock = self.client(address)
            # A refusal leaves from the server port (test_refusals), but from
            # the address asked.
            op, fields, _ = self.first_answer(sock, address, "missing.bin")
            self.assertEqual(op, ERROR)
            self.assertEqual(fields[0], ERR_NOT_FOUND, fields)


class EveryAddressAnswersFromItself(LocalAddressCase):
    def test_each_address_answers_from_itself(self):
        for address in self.addresses:
            self.check_served(address)


class ListenAddressesKeepOthersSilent(LocalAddressCase):
    @classmethod
    def extra_settings(cls, pair):
        # One address of each family: the second IPv4 one (the first, the
        # kernel's source for the link, must stay silent) and the first IPv6 one.
        return {"ListenAddresses": "%s;%s" % (pair.server_address6, pair.address(3))}

    def test_only_listed_addresses_answer(self):
        listed = [self.addresses[1], self.addresses[2]]
        silent = [self.addresses[0], self.addresses[3]]
        socks = {}
        for address in silent:
            socks[address] = self.client(address)
            socks[address].sendto(request(RRQ, "small.bin"), (address, self.server.port))
        # The listed ones are served meanwhile.
        for address in listed:
            self.check_served(address)
        deadline = time.monotonic() + SILENCE
        for address in silent:
            # Asked once more now that the listed ones have served; then
            # SILENCE seconds (and a little) for any answer to either request.
            socks[address].sendto(request(RRQ, "small.bin"), (address, self.server.port))
        for address in silent:
            packet, source = self.receive(socks[address], max(0.0, deadline - time.monotonic()) + 0.5)
            self.assertTrue(packet is None, "%s is not listed, yet %s answered" % (address, source))


if __name__ == "__main__":
    unittest.main()
