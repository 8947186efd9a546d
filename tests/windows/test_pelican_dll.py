"""pelican.dll from a cross-built Windows host program, run under Wine on
this machine, against harrier of the Linux build and against tftpd-hpa on
127.0.0.1: downloads and uploads compared byte for byte, and the size of
each transfer through both names of tftp_tsize.

ORVANEL_BUILD_DIR is the Linux build (harrier), ORVANEL_WIN_BUILD_DIR the
mingw-w64 build (pelican.dll, pelican_host.exe); a missing one fails the
suite, since CI builds both before it runs this."""

import os
import re
import shutil
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "client"))
import harrier  # noqa: E402
from common import pattern, read_file, scratch_directory, wait_until  # noqa: E402
from peers import make_root, put_file, start_tftpd_hpa, stop_process  # noqa: E402
from netascii import sent_by_orvanel, sent_by_peers, stored_by_orvanel  # noqa: E402
from test_interop import text_data  # noqa: E402

TOP = os.path.abspath(os.path.join(HERE, "..", ".."))
WIN_BUILD_DIR = os.path.abspath(os.environ.get("ORVANEL_WIN_BUILD_DIR")
                                or os.path.join(TOP, "build-win"))
HOST = os.path.join(WIN_BUILD_DIR, "bin", "pelican_host.exe")
DLL = os.path.join(WIN_BUILD_DIR, "bin", "pelican.dll")
WINE = shutil.which("wine64") or shutil.which("wine")

# A call: (options, size). The block size is 512 without -b, 1464 with
# -b1468: 4096 and 5856 are exact multiples, whose end is an empty block.
# -w8 sends and takes windows of eight blocks where the server grants it
# (harrier does; tftpd-hpa ignores the option, and the call goes lockstep).
OCTET_CASES = [("", 70001), ("", 4096), ("-b1468", 1464 * 4), ("-b1468 -s", 9000),
               ("-w8 -b1468", 300000)]
TEXT_SIZES = [30000, 2048]
LINE = re.compile(r"^call (\d+) code (-?\d+) result (-?\d+) size (\d+)$")


def setUpModule():
    missing = [p for p in (HOST, DLL) if not os.path.exists(p)]
    if missing:
        raise AssertionError(
            "%s missing: cross-build first (cmake -S . -B build-win "
            "-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DORVANEL_TESTS=ON "
            "-DORVANEL_DESKTOP=OFF && cmake --build build-win --target pelican_host)"
            % ", ".join(missing))
    if not WINE:
        raise AssertionError("wine is not installed")
    if not os.access(harrier.HARRIER, os.X_OK):
        raise AssertionError("%s missing: build harrier in ORVANEL_BUILD_DIR" % harrier.HARRIER)


def run_host(lines, cwd):
    """Runs pelican_host.exe under Wine, one tftp_client call per line, in
    cwd (local names are relative to it). Returns [(code, result, size)]."""
    code, out, err = harrier.run_wine([HOST] + lines, 300, prefix=os.path.join(WIN_BUILD_DIR, "wineprefix"),
                                      cwd=cwd)
    calls = [LINE.match(line) for line in out.splitlines()]
    calls = [tuple(int(g) for g in m.groups()) for m in calls if m]
    if code != 0 or len(calls) != len(lines):
        raise AssertionError("pelican_host exited %d (2: an export is missing, 3: the names "
                             "disagreed)\nstdout:\n%s\nstderr:\n%s" % (code, out, err[-2000:]))
    return [c[1:] for c in calls]


class Transfers:
    """The cases, for each server in its class below. A server class sets
    root, port, served_text (what it sends for a stored text file),
    stored_text (what it stores for text received), and text_get_options."""

    served_text = staticmethod(sent_by_peers)
    stored_text = staticmethod(lambda received: received)
    text_get_options = "-a"

    @staticmethod
    def text_file(size):
        return text_data(size, b"\n", True)

    def setUp(self):
        self.work = scratch_directory(self.addCleanup, "pelican_wine_")

    def line(self, options, command):
        return ("%s 127.0.0.1:%d %s" % (options, self.port, command)).strip()

    def test_downloads_are_byte_identical(self):
        lines, expected = [], []
        for i, (options, size) in enumerate(OCTET_CASES):
            data = pattern(size, size)
            put_file(self.root, "o%d.bin" % i, data)
            lines.append(self.line(options, "GET o%d.bin get%d.bin" % (i, i)))
            expected.append((data, size))
        for i, size in enumerate(TEXT_SIZES):
            stored = self.text_file(size)
            put_file(self.root, "t%d.txt" % i, stored)
            wire = self.served_text(stored)
            lines.append(self.line(self.text_get_options, "GET t%d.txt text%d.txt" % (i, i)))
            expected.append((stored_by_orvanel(wire), len(wire)))
        calls = run_host(lines, self.work)
        names = ["get%d.bin" % i for i in range(len(OCTET_CASES))] + \
                ["text%d.txt" % i for i in range(len(TEXT_SIZES))]
        for line, call, name, (data, size) in zip(lines, calls, names, expected):
            with self.subTest(line=line):
                self.assertEqual(call, (0, 1, size))
                got = read_file(os.path.join(self.work, name))
                self.assertEqual(len(got), len(data))
                self.assertTrue(got == data, "content of %s differs" % name)

    def test_uploads_are_byte_identical(self):
        lines, expected = [], []
        tag = "%s_%d" % (type(self).__name__, os.getpid())
        for i, (options, size) in enumerate(OCTET_CASES):
            data = pattern(size + 1, size + 1)[1:]
            put_file(self.work, "put%d.bin" % i, data)
            remote = "up_%s_o%d" % (tag, i)
            lines.append(self.line(options, "PUT %s put%d.bin" % (remote, i)))
            expected.append((remote, data, size))
        for i, size in enumerate(TEXT_SIZES):
            # CR LF goes out as LF and nothing after the 0x1A near the end.
            local = text_data(size, b"\r\n", False)
            put_file(self.work, "put%d.txt" % i, local)
            sent = sent_by_orvanel(local)
            remote = "up_%s_t%d" % (tag, i)
            lines.append(self.line("-a", "PUT %s put%d.txt" % (remote, i)))
            expected.append((remote, self.stored_text(sent), len(sent)))
        calls = run_host(lines, self.work)
        for line, call, (remote, data, size) in zip(lines, calls, expected):
            with self.subTest(line=line):
                self.assertEqual(call, (0, 1, size))
                path = os.path.join(self.root, remote)
                # A server may acknowledge the last block before it has
                # closed the file.
                self.assertTrue(wait_until(lambda: read_file(path) == data, 3, 0.01), "uploaded %s differs" % remote)

    def test_failures_reach_both_names_of_tftp_tsize(self):
        # A missing remote file: the server's ERROR ends the call with code 8
        # and result -1; an existing local file without -o stops the call
        # before anything is sent, and stays as it was.
        put_file(self.root, "here.bin", b"x" * 600)
        put_file(self.work, "kept.bin", b"mine")
        calls = run_host([self.line("", "GET no_such_file.bin absent.bin"),
                          self.line("", "GET here.bin kept.bin")], self.work)
        self.assertEqual(calls[0][:2], (8, -1))
        self.assertEqual(calls[1][0], 4)
        self.assertEqual(read_file(os.path.join(self.work, "kept.bin")), b"mine")


class AgainstHarrier(Transfers, unittest.TestCase):
    # Our server keeps text with CR LF and sends its lines with LF.
    served_text = staticmethod(sent_by_orvanel)
    stored_text = staticmethod(stored_by_orvanel)

    @staticmethod
    def text_file(size):
        return text_data(size, b"\r\n", True)

    @classmethod
    def setUpClass(cls):
        server = harrier.Server()
        cls.addClassCleanup(server.close)
        cls.root, cls.port = server.root, server.port


class AgainstTftpdHpa(Transfers, unittest.TestCase):
    # tftpd-hpa refuses "tsize" on netascii reads with ERROR 8.
    text_get_options = "-a -s"

    @classmethod
    def setUpClass(cls):
        cls.root = make_root(cls.addClassCleanup)
        process, cls.port = start_tftpd_hpa(cls.root)
        cls.addClassCleanup(stop_process, process)


if __name__ == "__main__":
    program = unittest.main(exit=False, verbosity=2)
    sys.exit(0 if program.result.wasSuccessful() else 1)
