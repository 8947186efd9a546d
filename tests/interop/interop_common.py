"""Shared pieces of the interop tests: one harrier per test class, the test
contents, and running a real client program with a time limit. What each
side makes of netascii is in tests/support/netascii.py.

Only 127.0.0.1 and ::1 are used. Every server is killed when its class ends, also on
failure; every client process has a time limit.
"""
import contextlib
import os
import re
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import harrier  # noqa: E402
from common import HOST, HOST6, pattern, read_file, scratch_directory, wait_for  # noqa: E402,F401
from harrier import TS  # noqa: E402,F401

MIB = 1 << 20
SMALL_SIZES = (0, 511, 512, MIB)
LARGE_SIZE = 40 * MIB
CLIENT_SECONDS = 150  # limit of one client run; 40 MiB at 512 bytes takes a few seconds


# -- contents -------------------------------------------------------------
# Text for netascii: random bytes where about one in ten becomes CR or LF, so
# that CR LF, lone CR, lone LF, CR CR LF and CR NUL all occur; 0x1A (which
# ends a netascii read) is replaced, so the whole file is served.
_TEXT_TABLE = bytearray(range(256))
for _b in range(0x80, 0x8D):
    _TEXT_TABLE[_b] = 0x0D
for _b in range(0x8D, 0x9A):
    _TEXT_TABLE[_b] = 0x0A
_TEXT_TABLE[0x1A] = ord("Z")
_TEXT_TABLE = bytes(_TEXT_TABLE)


def text_content(size, seed):
    """size bytes of line-rich text without 0x1A, the same for the same seed."""
    return pattern(size, seed).translate(_TEXT_TABLE)


def result_lines(output, path):
    """The result lines (completed, Timeout, Abort, Error) naming path in a
    server's console output."""
    return re.findall(r"^%s(?: +\d+s| +Timeout| +Abort| +Error) .*%s\s*$" % (TS, re.escape(path)),
                      output, re.M)


def text_of_wire_length(wire_length):
    """A file whose netascii form is exactly wire_length bytes: one CR LF more
    on disk than on the wire, so the disk size is wire_length + 1."""
    body = b"x" * (wire_length - 1)
    return body[: wire_length // 2] + b"\r\n" + body[wire_length // 2:]


class InteropCase(unittest.TestCase):
    """One harrier per class (settings from server_settings) and a scratch
    directory for the client's files; the clients talk to it at host."""

    server_settings = {}
    host = HOST

    @classmethod
    def setUpClass(cls):
        cls.work = scratch_directory(cls.addClassCleanup, "interop-")
        cls.server = harrier.Server(settings=dict(cls.server_settings))
        cls.addClassCleanup(cls.server.close)
        cls.port = cls.server.port

    def setUp(self):
        # A server that does not listen at host would leave each client run
        # to its own long time-out.
        if self.host != HOST and not harrier.answers(self.port, host=self.host):
            self.fail("harrier does not answer at %s" % self.host)

    # -- files ------------------------------------------------------------
    def serve(self, name, data):
        """Puts a file into the server's root; returns its full path."""
        return self.server.put_file(name, data)

    def local(self, name):
        return os.path.join(self.work, name)

    def fresh_local(self, name):
        """A local path with no file yet: a client that writes nothing
        cannot pass on what an earlier run left there."""
        path = self.local(name)
        if os.path.exists(path):
            os.unlink(path)
        return path

    def write_local(self, name, data):
        path = self.local(name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def assert_same_bytes(self, actual, expected, what):
        if actual == expected:
            return
        first = next((i for i, (a, b) in enumerate(zip(actual, expected)) if a != b),
                     min(len(actual), len(expected)))
        self.fail("%s: %d bytes, expected %d; first difference at offset %d: %r vs %r"
                  % (what, len(actual), len(expected), first,
                     actual[first:first + 16], expected[first:first + 16]))

    # -- clients ----------------------------------------------------------
    def run_client(self, args, stdin=None):
        """Runs a client program in the scratch directory; returns the
        CompletedProcess (output as text)."""
        program = shutil.which(args[0])
        if program is None:
            self.fail("%s is not installed (scripts/install-deps.sh installs it)" % args[0])
        try:
            return subprocess.run(args, cwd=self.work, input=stdin, capture_output=True,
                                  timeout=CLIENT_SECONDS, text=True, errors="replace")
        except subprocess.TimeoutExpired:
            self.fail("%s did not finish within %ss" % (" ".join(args), CLIENT_SECONDS))

    # -- the server's log ---------------------------------------------------
    @contextlib.contextmanager
    def served(self, label, path):
        """Checks that the transfer run inside the block ends with exactly one
        result line for path, and that it is the completed line with label
        ("Get/octet", "Put/ascii", ...)."""
        log = self.server.output
        before = len(result_lines(log(), path))
        yield
        lines = wait_for(lambda: result_lines(log(), path), lambda found: len(found) > before, 10, 0.02)
        new = lines[before:]
        self.assertEqual(len(new), 1, "result lines for %s: %r\n%s"
                         % (path, new, self.server.output()[-3000:]))
        completed = re.compile(r"^%s +\d+s %s\s*$"
                               % (TS, re.escape("%-15s %-10s %s" % (self.host, label, path))))
        self.assertRegex(new[0], completed)
