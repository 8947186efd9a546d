"""The atftp client against harrier: downloads and uploads in octet, without
options and with blksize and tsize, and in netascii; byte for byte.

atftp sends no options unless told with --option "blksize N" or
--option tsize. Its command line has no mode switch, so netascii transfers
are driven through its command interpreter on standard input. It exits with
0 even after an ERROR packet (and leaves an empty local file): every check
looks at the data and at what it printed.

In netascii it translates its side like tftp-hpa: it sends LF as CR LF and
CR as CR NUL, and stores received CR LF as LF and CR NUL as CR.
"""
import unittest

from interop_common import (HOST, LARGE_SIZE, SMALL_SIZES, InteropCase, pattern, read_file, text_content,
                            text_of_wire_length)
from netascii import sent_by_orvanel, sent_by_peers, stored_by_orvanel, stored_by_peers  # noqa: E402

VARIANTS = {
    "no options": [],
    "blksize 1428 and tsize": ["--option", "blksize 1428", "--option", "tsize"],
}


class AtftpCase(InteropCase):
    def atftp(self, options, *args):
        return self.run_client(["atftp", *options, *args, HOST, str(self.port)])

    def atftp_commands(self, *commands):
        script = "connect %s %d\n%s\nquit\n" % (HOST, self.port, "\n".join(commands))
        return self.run_client(["atftp"], stdin=script)

    def assert_clean(self, r):
        self.assertEqual(r.returncode, 0, r.stderr)
        # atftp echoes every option it sends ("Option timeout = 2"); the rest
        # must not speak of trouble.
        said = [line for line in (r.stdout + r.stderr).lower().splitlines()
                if not line.startswith("option ")]
        for word in ("error", "abort", "timeout"):
            self.assertNotIn(word, "\n".join(said))

    def download(self, name, options=()):
        local = self.fresh_local("got-" + name)
        with self.served("Get/octet", self.server.path(name)):
            self.assert_clean(self.atftp(list(options), "-g", "-r", name, "-l", local))
        return read_file(local)

    def upload(self, data, name, options=()):
        local = self.write_local("put-" + name, data)
        with self.served("Put/octet", self.server.path(name)):
            self.assert_clean(self.atftp(list(options), "-p", "-l", local, "-r", name))
        return read_file(self.server.path(name))


class AtftpOctet(AtftpCase):
    def test_downloads_are_byte_identical(self):
        for variant, options in VARIANTS.items():
            for size in SMALL_SIZES + (1428, 2 * 1428):
                with self.subTest(variant=variant, size=size):
                    name = "get-%d.bin" % size
                    data = pattern(size, size + 20)
                    self.serve(name, data)
                    self.assert_same_bytes(self.download(name, options), data, name)

    def test_uploads_are_byte_identical(self):
        for variant, options in VARIANTS.items():
            for size in SMALL_SIZES + (1428, 2 * 1428):
                with self.subTest(variant=variant, size=size):
                    name = "put-%d-%d.bin" % (len(options), size)
                    data = pattern(size, size + 21)
                    self.assert_same_bytes(self.upload(data, name, options), data, name)

    def test_options_the_server_changes_or_drops(self):
        # (atftp's option, what the server's OACK must carry, or None for no OACK).
        # Multicast sends to a group, so it is tested in namespaces (test_multicast).
        cases = [
            (["--option", "blksize 70000"], "blksize 65464"),  # the most a datagram holds
            (["--option", "blksize 65500"], "blksize 65464"),  # the most a datagram holds
            (["--option", "blksize 8", "--option", "timeout 2"], "blksize 8 timeout 2"),
            (["--option", "windowsize 4"], "windowsize 4"),
        ]
        data = pattern(20000, 24)
        for i, (options, oack) in enumerate(cases):
            with self.subTest(options=options):
                name = "odd-%d.bin" % i
                self.serve(name, data)
                self.assert_same_bytes(self.download(name, options), data, name)
                accepted = self.server.output().split(self.server.path(name))[1]
                if oack:
                    self.assertIn("Oack sent %s\n" % oack, accepted)
                else:
                    self.assertNotIn("Oack sent", accepted)

    def test_windowed_transfers_are_byte_identical(self):
        data = pattern(2 * 1024 * 1024 + 333, 46)
        for window in (1, 4, 32):
            with self.subTest(window=window):
                options = ["--option", "blksize 1428", "--option", "windowsize %d" % window]
                name = "win-%d.bin" % window
                self.serve(name, data)
                self.assert_same_bytes(self.download(name, options), data, name)
                accepted = self.server.output().split(self.server.path(name))[1]
                self.assertIn("Oack sent blksize 1428 windowsize %d\n" % window, accepted)
                up = "win-up-%d.bin" % window
                self.assert_same_bytes(self.upload(data, up, options), data, up)

    def test_missing_file_is_reported(self):
        r = self.atftp([], "-g", "-r", "no-such-file.bin", "-l", self.fresh_local("missing"))
        self.assertIn("File not found", r.stderr)
        self.assertEqual(read_file(self.local("missing")), b"")

    def test_40_mib_download_and_upload(self):
        data = pattern(LARGE_SIZE, 44)
        self.serve("large.bin", data)
        self.assert_same_bytes(self.download("large.bin"), data, "large.bin")
        self.assert_same_bytes(self.upload(data, "large-up.bin"), data, "large-up.bin")


class AtftpNetascii(AtftpCase):
    def test_downloads_are_translated_by_both_sides(self):
        files = {"wire-512": text_of_wire_length(512),
                 "eof-mark": b"first line\r\nsecond\x1athird\r\n",
                 "wire-pair-split": b"y" * 511 + b"\r\r\n" + b"z" * 20}
        for size in SMALL_SIZES:
            files["text-%d" % size] = text_content(size, size + 22)
        for key, disk in files.items():
            with self.subTest(file=key):
                name = key + ".txt"
                self.serve(name, disk)
                local = self.fresh_local("got-" + name)
                with self.served("Get/ascii", self.server.path(name)):
                    self.assert_clean(self.atftp_commands("mode netascii",
                                                          "get %s %s" % (name, local)))
                expected = stored_by_peers(sent_by_orvanel(disk))
                self.assert_same_bytes(read_file(local), expected, name)

    def test_uploads_are_translated_by_both_sides(self):
        for size in SMALL_SIZES:
            with self.subTest(size=size):
                name = "up-%d.txt" % size
                data = text_content(size, size + 23)
                local = self.write_local("put-" + name, data)
                with self.served("Put/ascii", self.server.path(name)):
                    self.assert_clean(self.atftp_commands("mode netascii",
                                                          "put %s %s" % (local, name)))
                expected = stored_by_orvanel(sent_by_peers(data))
                self.assert_same_bytes(read_file(self.server.path(name)), expected, name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
