"""Windowed transfers over a link that loses and delays: 1% of the datagrams
in each direction dropped, 2 ms added each way. pelican and harrier must
recover from every loss inside a window and deliver the file byte for byte.

The link is netem between two network namespaces where the kernel has it,
and a relay on loopback that drops and delays the same way otherwise
(tests/support/lossy_link.py); the relay's case always runs.
"""
import os
import subprocess
import sys
import time
import unittest

from blackbox_support import Server, pattern

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import netns  # noqa: E402
from harrier import BUILD_DIR  # noqa: E402
from lossy_link import LossyLink  # noqa: E402
from common import scratch_directory, wait_until  # noqa: E402

PELICAN = os.path.abspath(os.path.join(BUILD_DIR, "bin", "pelican-tftp"))
SIZE = 16 << 20
BLOCK = 1428
WINDOW = 16
CLIENT_SECONDS = 240
SETTINGS = {"Timeout": 1, "Retransmit": 10, "Log": 1}


class LossyLinkCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(PELICAN):
            raise AssertionError("%s is not built" % PELICAN)
        cls.content = pattern(SIZE, seed=16)

    def setUp(self):
        self.work = scratch_directory(self.addCleanup, "lossy-")

    def pelican(self, host, port, command, remote, local, prefix=()):
        args = list(prefix) + [PELICAN, "-b%d" % (BLOCK + 4),  # -b counts the 4-byte header
                "-w%d" % WINDOW, "-t1", "-r10",
                               "%s:%d" % (host, port), command, remote, local]
        started = time.monotonic()
        r = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           timeout=CLIENT_SECONDS)
        seconds = time.monotonic() - started
        self.assertEqual(r.returncode, 0, r.stdout)
        return seconds

    def check_download_and_upload(self, server, host, port, prefix=()):
        server.put_file("big.bin", self.content)
        got = os.path.join(self.work, "got.bin")
        down = self.pelican(host, port, "GET", "big.bin", got, prefix)
        with open(got, "rb") as f:
            self.assertTrue(f.read() == self.content, "the download differs from the served file")
        up = self.pelican(host, port, "PUT", "up.bin", got, prefix)
        stored = server.path("up.bin")
        wait_until(lambda: os.path.getsize(stored) == SIZE, 5, 0.02)
        with open(stored, "rb") as f:
            self.assertTrue(f.read() == self.content, "the upload differs from the sent file")
        print("\n  16 MiB window %d: GET %.1f s, PUT %.1f s" % (WINDOW, down, up), file=sys.stderr)

    def test_relay_with_loss_and_delay(self):
        server = Server(settings=SETTINGS)
        self.addCleanup(server.close)
        with LossyLink(server.port, loss=0.01, delay=0.002, seed=7) as link:
            self.check_download_and_upload(server, "127.0.0.1", link.port)
            # The link did lose packets: the recovery was exercised.
            self.assertGreater(link.dropped, 50)
            print("  relay: %d dropped, %d passed" % (link.dropped, link.passed), file=sys.stderr)

    def test_netem_between_namespaces(self):
        pair = netns.VethPair("orl")
        self.addCleanup(pair.remove)
        pair.shape("loss", "1%", "delay", "2ms")
        server = Server(settings=SETTINGS, wrapper=pair.server.exec_prefix())
        self.addCleanup(server.close)
        self.check_download_and_upload(server, pair.server_address, server.port, pair.client.exec_prefix())


if __name__ == "__main__":
    unittest.main()
