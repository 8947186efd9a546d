"""The control channel serves one client at a time, so a local process that
connects and says nothing must not lock the administrator out: it is
dropped after a few seconds of silence, while a client that keeps asking is
kept. Like the control channel's own tests, this process moves into a
network namespace of its own, whose abstract socket names no other harrier
can answer."""
import os
import struct
import subprocess
import sys
import time
import unittest

from blackbox_support import BlackBoxCase

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "service"))
from test_control import HARRIERCTL, connect, setUpModule, tearDownModule  # noqa: E402,F401

STATE = 7


class IdleControlClient(BlackBoxCase):
    settings = {"Timeout": 1}

    def channel(self):
        c = connect()
        self.addCleanup(c.close)
        return c

    def harrierctl_status(self):
        r = subprocess.run([HARRIERCTL, "status"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=10)
        return r.returncode, r.stdout.decode(errors="replace")

    def test_silent_client_is_dropped(self):
        idle = self.channel()
        # While it is connected, a second client is turned away at once.
        second = self.channel()
        try:
            second.send(struct.pack("<I", STATE))
            self.assertEqual(second.recv(64), b"", "a second client was served beside the first")
        except (ConnectionResetError, BrokenPipeError):
            pass
        t0 = time.monotonic()
        rc, said = None, ""
        while time.monotonic() - t0 < 10.0:
            rc, said = self.harrierctl_status()
            if rc == 0:
                break
            time.sleep(0.5)
        took = time.monotonic() - t0
        print("\n  harrierctl status %s after %.1f s beside a silent client"
              % ("answered" if rc == 0 else "still refused", took), file=sys.stderr)
        self.assertEqual(rc, 0, "harrierctl locked out for 10 s: " + said)
        self.assertIn("server: answering", said)
        # The silent client was disconnected, not merely served second.
        idle.settimeout(1)
        try:
            self.assertEqual(idle.recv(64), b"")
        except (ConnectionResetError, BrokenPipeError):
            pass

    def test_client_that_keeps_asking_is_kept(self):
        c = self.channel()
        for i in range(12):
            c.send(struct.pack("<I", STATE))
            reply = c.recv(64)
            self.assertEqual(len(reply), 12, "no state reply to request %d" % (i + 1))
            self.assertEqual(struct.unpack("<III", reply)[0], 0)
            time.sleep(1.0)
        c.close()
        t0 = time.monotonic()
        while time.monotonic() - t0 < 3 and self.harrierctl_status()[0] != 0:
            time.sleep(0.2)
        self.assertEqual(self.harrierctl_status()[0], 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
