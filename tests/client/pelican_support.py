"""Shared pieces of the pelican test suites: loading libpelican.so and a
scripted raw-UDP server. The peer servers come from tests/support/peers.py,
the packets from tests/support/tftp_packets.py, the text translations from
tests/support/netascii.py."""

import ctypes
import os
import socket
import sys
import threading
import time

LIBRARY = os.environ.get("PELICAN_LIBRARY", "")
CLI = os.environ.get("PELICAN_CLI", "")
BUILD_DIR = os.environ.get("PELICAN_BUILD_DIR", "")
SOURCE_DIR = os.environ.get("PELICAN_SOURCE_DIR", "")

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

# A name whose 70-character label cannot be put into a DNS query: it fails
# inside the resolver, so no lookup leaves the machine.
UNRESOLVABLE_HOST = "x" * 70 + ".invalid"


def load_library():
    lib = ctypes.CDLL(LIBRARY)
    lib.tftp_client.argtypes = [ctypes.c_char_p]
    lib.tftp_client.restype = ctypes.c_int
    lib.tftp_tsize.argtypes = [ctypes.POINTER(ctypes.c_uint32)]
    lib.tftp_tsize.restype = ctypes.c_int
    return lib


class Client:
    """libpelican.so as a host program uses it."""

    def __init__(self):
        self.lib = load_library()

    def run(self, line):
        return self.lib.tftp_client(line.encode())

    def tsize(self):
        size = ctypes.c_uint32(0xDEADBEEF)
        result = self.lib.tftp_tsize(ctypes.byref(size))
        return result, size.value


class ScriptedServer:
    """A TFTP server that follows a script, run on a thread while the test
    calls the library. Answers come from a session socket of their own, as a
    real server's do; every wait is bounded. address is a loopback address
    the server listens and answers on."""

    def __init__(self, script, port=0, address="127.0.0.1"):
        self.listen = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.listen.bind((address, port))
        self.port = self.listen.getsockname()[1]
        self.session = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.session.bind((address, 0))
        self.client = None
        self.requests = []
        self.received = []  # every packet on the session socket
        self.failure = None
        self.thread = threading.Thread(target=self._run, args=(script,), daemon=True)
        self.thread.start()

    def _run(self, script):
        try:
            script(self)
        except Exception as e:  # reported by finish()
            self.failure = e

    def request(self, seconds=5.0):
        self.listen.settimeout(seconds)
        packet, self.client = self.listen.recvfrom(70000)
        self.requests.append(packet)
        return packet

    def count_requests(self, seconds):
        """Counts requests arriving within the given time."""
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return len(self.requests)
            try:
                self.request(left)
            except socket.timeout:
                return len(self.requests)

    def send(self, packet, via=None):
        (via or self.session).sendto(packet, self.client)

    def expect(self, seconds=5.0):
        """The next packet from the client, or None after the time."""
        self.session.settimeout(seconds)
        try:
            packet, source = self.session.recvfrom(70000)
        except socket.timeout:
            return None
        assert source == self.client, "packet from %s, not the client" % (source,)
        self.received.append(packet)
        return packet

    def finish(self):
        self.thread.join(timeout=30)
        self.listen.close()
        self.session.close()
        if self.thread.is_alive():
            raise AssertionError("script did not end")
        if self.failure:
            raise self.failure


def main(module_name):
    """Runs a suite's unittest main and exits with its status."""
    import unittest
    program = unittest.main(module=module_name, exit=False, verbosity=2)
    result = program.result
    sys.exit(0 if result.wasSuccessful() else 1)
