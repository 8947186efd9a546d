"""Three atftp clients fetch one file from harrier as one multicast group.

atftp binds the group port without address reuse, so each client has a
network namespace of its own, joined by a veth pair to a bridge in the
server's namespace (tests/support/netns.py). The clients start a fraction of
a second apart: the first is the master, the later ones join as members,
miss the start of the stream and are promoted in turn when the master ends,
asking only for what they missed. Without namespaces the test is skipped.
"""
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import harrier  # noqa: E402
import netns  # noqa: E402
from interop_common import TS, pattern, result_lines  # noqa: E402
from common import scratch_directory, wait_until  # noqa: E402

# The later clients must arrive while the first one's group still runs: on an
# idle machine 16 MiB went out in under 0.15 s, so the file is larger and the
# clients closer together.
SIZE = 48 * (1 << 20)
BLOCK = 1428
CLIENTS = 3
STAGGER = 0.03
CLIENT_SECONDS = 120


class AtftpGroup(unittest.TestCase):
    def test_three_staggered_atftp_clients_share_one_group(self):
        if shutil.which("atftp") is None:
            self.fail("atftp is not installed (scripts/install-deps.sh installs it)")
        net = netns.BridgedNetwork(CLIENTS)
        self.addCleanup(net.remove)
        server = harrier.Server(settings={"Log": 3, "Timeout": 1}, wrapper=net.server.exec_prefix())
        self.addCleanup(server.close)
        work = scratch_directory(self.addCleanup, "interop-mc-")
        content = pattern(SIZE, seed=42)
        path = server.put_file("boot.img", content)

        clients = []
        for i, ns in enumerate(net.clients):
            out = os.path.join(work, "got-%d" % i)
            args = ["atftp", "--option", "multicast", "--option", "blksize %d" % BLOCK, "-g", "-r", "boot.img",
                    "-l", out, net.server_address, str(server.port)]
            clients.append((out, ns.popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                          errors="replace")))
            time.sleep(STAGGER)
        for out, proc in clients:
            try:
                said, _ = proc.communicate(timeout=CLIENT_SECONDS)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.communicate()
                self.fail("atftp did not finish within %ss" % CLIENT_SECONDS)
            self.assertEqual(proc.returncode, 0, said)
            self.assertNotIn("mismatch", said)
            with open(out, "rb") as f:
                self.assertTrue(f.read() == content, "%s differs from the served file" % out)

        wait_until(lambda: len(result_lines(server.output(), path)) >= CLIENTS, 10)
        self.assertEqual(server.stop(), 0)
        log = server.output()
        for mark in ("Sanitizer", "runtime error:"):
            self.assertNotIn(mark, log)
        results = result_lines(log, path)
        self.assertEqual(len(results), CLIENTS, log[-3000:])
        for line in results:
            self.assertRegex(line, r"^%s +\d+s " % TS)

        # One group: the first request opened it, the others joined it.
        placed = re.findall(r"Name %s Mode octet Size %d blksize %d multicast 224\.0\.0\.1,1758,(\d)"
                            % (re.escape(path), SIZE, BLOCK), log)
        self.assertEqual(placed, ["1", "0", "0"])
        promotions = log.count("Oack sent blksize %d multicast 224.0.0.1,1758,1" % BLOCK)
        self.assertEqual(promotions, CLIENTS, "one OACK as master for each client")

        blocks = SIZE // BLOCK + 1
        sent = log.count("TFTP  sent block ")
        # Unicast would send every block once per client; the group sends the
        # file once and then only what the later clients missed.
        self.assertGreaterEqual(sent, blocks)
        self.assertLess(sent, 2.5 * blocks, "DATA packets sent for %d blocks" % blocks)
        print("\n  DATA packets sent for %d blocks and %d clients: %d (%.2f per block)"
              % (blocks, CLIENTS, sent, sent / blocks), file=sys.stderr)


if __name__ == "__main__":
    unittest.main()
