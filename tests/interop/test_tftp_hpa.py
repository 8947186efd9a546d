"""The tftp-hpa client against harrier: downloads and uploads in octet
("-m binary") and netascii (its default mode), byte for byte.

The tftp-hpa client sends no options, so every transfer runs at 512 bytes a
block with the server's default time-out. It exits with 0 even after an
ERROR packet: every check looks at the file it wrote instead.

In netascii it translates its side: it sends LF as CR LF and CR as CR NUL,
and stores received CR LF as LF and CR NUL as CR.
"""
import unittest

from interop_common import (HOST6, LARGE_SIZE, SMALL_SIZES, InteropCase, pattern, read_file, text_content,
                            text_of_wire_length)
from netascii import sent_by_orvanel, sent_by_peers, stored_by_orvanel, stored_by_peers  # noqa: E402


class TftpHpaCase(InteropCase):
    def tftp(self, mode, command):
        family = ["-6"] if ":" in self.host else []
        return self.run_client(["tftp", *family, "-m", mode, self.host, str(self.port), "-c", *command])

    def download(self, name, mode):
        local = self.fresh_local("got-" + name)
        label = "Get/ascii" if mode == "netascii" else "Get/octet"
        with self.served(label, self.server.path(name)):
            r = self.tftp(mode, ["get", name, local])
            self.assertNotIn("Error", r.stdout + r.stderr)
        return read_file(local)

    def upload(self, data, name, mode):
        local = self.write_local("put-" + name, data)
        label = "Put/ascii" if mode == "netascii" else "Put/octet"
        with self.served(label, self.server.path(name)):
            r = self.tftp(mode, ["put", local, name])
            self.assertNotIn("Error", r.stdout + r.stderr)
        return read_file(self.server.path(name))


class TftpHpaOctet(TftpHpaCase):
    def test_downloads_are_byte_identical(self):
        for size in SMALL_SIZES:
            with self.subTest(size=size):
                name = "get-%d.bin" % size
                data = pattern(size, size + 10)
                self.serve(name, data)
                self.assert_same_bytes(self.download(name, "binary"), data, name)

    def test_uploads_are_byte_identical(self):
        for size in SMALL_SIZES:
            with self.subTest(size=size):
                name = "put-%d.bin" % size
                data = pattern(size, size + 11)
                self.assert_same_bytes(self.upload(data, name, "binary"), data, name)

    def test_missing_file_gives_error_1_and_no_data(self):
        local = self.fresh_local("missing")
        r = self.tftp("binary", ["get", "no-such-file.bin", local])
        self.assertIn("Error code 1: File not found", r.stdout + r.stderr)
        # tftp-hpa creates the local file before it asks; it must stay empty.
        self.assertEqual(read_file(local), b"")

    def test_40_mib_download_and_upload(self):
        data = pattern(LARGE_SIZE, 42)
        self.serve("large.bin", data)
        self.assert_same_bytes(self.download("large.bin", "binary"), data, "large.bin")
        self.assert_same_bytes(self.upload(data, "large-up.bin", "binary"), data, "large-up.bin")


class TftpHpaNetascii(TftpHpaCase):
    def test_downloads_are_translated_by_both_sides(self):
        files = {"wire-512": text_of_wire_length(512),  # the last DATA is empty
                 "eof-mark": text_content(3000, 15)[:2000] + b"\x1a" + text_content(500, 16),
                 # disk CR LF whose LF lies past the first 512 bytes: the LF
                 # sent for it is the last byte of block 1
                 "pair-at-511": b"y" * 511 + b"\r\n" + b"z" * 20,
                 # disk CR CR LF sent as CR LF with the CR ending block 1 and
                 # the LF starting block 2: the client joins them to LF
                 "wire-pair-split": b"y" * 511 + b"\r\r\n" + b"z" * 20}
        for size in SMALL_SIZES:
            files["text-%d" % size] = text_content(size, size + 12)
        for key, disk in files.items():
            with self.subTest(file=key):
                name = key + ".txt"
                self.serve(name, disk)
                expected = stored_by_peers(sent_by_orvanel(disk))
                self.assert_same_bytes(self.download(name, "netascii"), expected, name)

    def test_40_mib_download(self):
        # Over 80000 blocks on the wire: the block number wraps past 65535
        # while the server translates.
        disk = text_content(LARGE_SIZE, 46)
        self.serve("large.txt", disk)
        expected = stored_by_peers(sent_by_orvanel(disk))
        self.assert_same_bytes(self.download("large.txt", "netascii"), expected, "large.txt")

    def test_uploads_are_translated_by_both_sides(self):
        for size in SMALL_SIZES:
            with self.subTest(size=size):
                name = "up-%d.txt" % size
                data = text_content(size, size + 13)
                expected = stored_by_orvanel(sent_by_peers(data))
                self.assert_same_bytes(self.upload(data, name, "netascii"), expected, name)


class TftpHpaOverIPv6(TftpHpaOctet):
    """The octet cases again, with tftp -6 against harrier's default IPv6 socket."""

    host = HOST6

if __name__ == "__main__":
    unittest.main(verbosity=2)
