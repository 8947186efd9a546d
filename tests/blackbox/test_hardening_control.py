"""No local user can take the control channel from the administrator: not
by binding its path before harrier starts (harrier says so, and harrierctl
refuses to believe the squatter), and not by keeping a connection busy or
silent (harrierctl is answered beside it within a few seconds; a silent
client's own end is tested with the channel's other rules in
tests/service/test_control.py)."""
import os
import pwd
import struct
import subprocess
import sys
import time
import unittest

from blackbox_support import BlackBoxCase, Client, Server, download

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from common import scratch_directory  # noqa: E402
from harrier import NOBODY, as_nobody, control_connect, harrierctl  # noqa: E402

STATE = 7

# Binds the path given, as whoever runs it, and answers every message with
# the state "paused"; prints each message it got. Ends when stdin closes.
SQUATTER = r"""
import os, select, socket, struct, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.bind(sys.argv[1]); os.chmod(sys.argv[1], 0o666); s.listen(8)
print("listening", flush=True)
peers = []
while True:
    ready, _, _ = select.select([s, sys.stdin] + peers, [], [], 60)
    if not ready or sys.stdin in ready:
        break
    for r in ready:
        if r is s:
            peers.append(s.accept()[0])
            continue
        got = r.recv(64)
        if not got:
            peers.remove(r)
            continue
        print("got", got.hex(), flush=True)
        r.send(struct.pack("<III", 0, 1, 0))
"""


class SquattedChannel(unittest.TestCase):
    def test_squatter_is_named_and_not_believed(self):
        if "tftp" not in {p.pw_name for p in pwd.getpwall()}:
            raise unittest.SkipTest("no tftp user: nobody is the service user here")
        # A directory the squatter may write stands in for a taken name.
        base = scratch_directory(self.addCleanup, "orvanel-squat-")
        os.chmod(base, 0o777)
        path = os.path.join(base, "control")
        squatter = subprocess.Popen(["/usr/bin/python3", "-c", SQUATTER, path], preexec_fn=as_nobody,
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.addCleanup(squatter.wait, 10)
        self.addCleanup(squatter.stdout.close)
        self.addCleanup(squatter.stdin.close)
        self.assertEqual(squatter.stdout.readline(), b"listening\n")

        server = Server(settings={"Timeout": 1}, env={"ORVANEL_CONTROL_SOCKET": path})
        self.addCleanup(server.close)
        server.wait_for(r"Control channel %s not opened: taken by a live listener \(uid %d, pid %d\)"
                        % (path, NOBODY, squatter.pid))
        server.put_file("f.bin", b"f" * 600)  # TFTP is served all the same
        with Client(server.port) as t:
            self.assertEqual(download(t, "f.bin")[0], b"f" * 600)

        rc, out, err = harrierctl(path, "pause")
        print("\n  harrierctl pause beside a squatter: exit %d: %s" % (rc, err.strip()), file=sys.stderr)
        self.assertEqual(rc, 1)
        self.assertEqual(out, "")
        self.assertIn("%s is held by uid %d (nobody), pid %d" % (path, NOBODY, squatter.pid), err)
        rc, out, err = harrierctl(path, "list")
        self.assertEqual((rc, out), (1, ""), err)
        squatter.stdin.close()
        said = squatter.stdout.read().decode()
        self.assertNotIn("got", said, "harrierctl sent the squatter a request")


class BusyControlClients(BlackBoxCase):
    settings = {"Timeout": 1}

    def channel(self):
        c = control_connect(self.server.control)
        self.addCleanup(c.close)
        return c

    def status_took(self):
        """harrierctl status: how long it took, or None when refused."""
        t0 = time.monotonic()
        rc, out, _ = harrierctl(self.server.control, "status", timeout=10)
        return time.monotonic() - t0 if (rc, out) == (0, "server: answering\n") else None

    def test_a_client_asking_every_2_s_does_not_keep_harrierctl_out(self):
        busy = self.channel()
        took = []
        began = time.monotonic()
        next_ask = began
        while time.monotonic() - began < 10:
            if time.monotonic() >= next_ask:
                busy.send(struct.pack("<I", STATE))
                self.assertEqual(len(busy.recv(64)), 12)
                next_ask += 2
            took.append(self.status_took())
            time.sleep(0.5)
        print("\n  harrierctl status beside a busy client: %s"
              % ", ".join("refused" if t is None else "%.3f s" % t for t in took), file=sys.stderr)
        self.assertGreaterEqual(len(took), 10)
        self.assertNotIn(None, took)
        self.assertLess(max(took), 3.0)
        # The busy client stays served too.
        busy.send(struct.pack("<I", STATE))
        self.assertEqual(len(busy.recv(64)), 12)

    def test_a_client_that_reads_no_replies_is_dropped(self):
        deaf = self.channel()
        deaf.setblocking(False)
        dropped = False
        deadline = time.monotonic() + 10
        while not dropped and time.monotonic() < deadline:
            try:
                deaf.send(struct.pack("<I", STATE))
            except BlockingIOError:
                time.sleep(0.01)
            except (BrokenPipeError, ConnectionResetError):
                dropped = True
        self.assertTrue(dropped, "the server kept a client that reads no replies for 10 s")
        self.assertIsNotNone(self.status_took())


if __name__ == "__main__":
    unittest.main(verbosity=2)
