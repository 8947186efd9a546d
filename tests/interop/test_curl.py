"""curl as TFTP client against harrier: downloads and uploads in octet and
netascii, with curl's default options (tsize 0, blksize 512, timeout 6),
other block sizes, and without options; byte for byte.

curl does no netascii translation: it stores received data and sends local
data unchanged, so the expected bytes are the server's translation alone.

Debian's curl 7.88 fails with exit code 71 on an OACK that carries tsize 0,
which is what every server answers for an empty file when tsize is asked
for; empty downloads are therefore tested only with --tftp-no-options here
(the tftp-hpa and atftp tests cover them too).
"""
import unittest

from interop_common import (HOST6, LARGE_SIZE, SMALL_SIZES, InteropCase, pattern, read_file, text_content,
                            text_of_wire_length)
from netascii import sent_by_orvanel, stored_by_orvanel  # noqa: E402

CURL_TFTP_NOT_FOUND = 68  # curl's exit code for TFTP error 1
MIB_AND_A_BIT = (1 << 20) + 100

# name: (curl options, block size they negotiate, whether they ask for tsize)
VARIANTS = {
    "default": ([], 512, True),
    "blksize 1428": (["--tftp-blksize", "1428"], 1428, True),
    "blksize 65464": (["--tftp-blksize", "65464"], 65464, True),
    "no options": (["--tftp-no-options"], 512, False),
}


def sizes_for(block_size, asks_tsize):
    """The common sizes plus the block size's own boundaries; no empty file
    where curl asks for tsize (see above)."""
    sizes = [s for s in SMALL_SIZES if s or not asks_tsize]
    if block_size != 512:
        sizes += [block_size - 1, block_size, 2 * block_size]
    return sorted(set(sizes))


class CurlCase(InteropCase):
    def url(self, name, netascii=False):
        host = "[%s]" % self.host if ":" in self.host else self.host
        return "tftp://%s:%d/%s%s" % (host, self.port, name, ";mode=netascii" if netascii else "")

    def curl(self, options, *args):
        return self.run_client(["curl", "--silent", "--show-error", "--max-time", "140",
                                *options, *args])

    def download(self, name, options, netascii=False):
        """Fetches name; returns the local bytes after checking curl's exit
        code and the server's result line."""
        local = self.fresh_local("got-" + name)
        label = "Get/ascii" if netascii else "Get/octet"
        with self.served(label, self.server.path(name)):
            r = self.curl(options, "-o", local, self.url(name, netascii))
            self.assertEqual(r.returncode, 0, r.stderr)
        return read_file(local)

    def upload(self, data, name, options, netascii=False):
        """Sends data as name; returns the bytes the server stored."""
        local = self.write_local("put-" + name, data)
        label = "Put/ascii" if netascii else "Put/octet"
        with self.served(label, self.server.path(name)):
            r = self.curl(options, "-T", local, self.url(name, netascii))
            self.assertEqual(r.returncode, 0, r.stderr)
        return read_file(self.server.path(name))


class CurlOctet(CurlCase):
    def test_downloads_are_byte_identical(self):
        for variant, (options, block_size, asks_tsize) in VARIANTS.items():
            for size in sizes_for(block_size, asks_tsize):
                with self.subTest(variant=variant, size=size):
                    name = "get-%d.bin" % size
                    data = pattern(size, size)
                    self.serve(name, data)
                    self.assert_same_bytes(self.download(name, options), data, name)

    def test_uploads_are_byte_identical(self):
        # An upload of an empty file with tsize 0 is fine for curl: the check
        # that fails is on downloads only.
        for variant, (options, block_size, _) in VARIANTS.items():
            for size in sizes_for(block_size, False):
                with self.subTest(variant=variant, size=size):
                    name = "put-%s-%d.bin" % (variant.replace(" ", "-"), size)
                    data = pattern(size, size + 1)
                    self.assert_same_bytes(self.upload(data, name, options), data, name)

    def test_an_upload_replaces_an_existing_file(self):
        self.serve("replace.bin", pattern(5000, 7))
        data = pattern(700, 8)
        self.assert_same_bytes(self.upload(data, "replace.bin", []), data, "replace.bin")

    def test_missing_file_is_reported_as_not_found(self):
        for variant, (options, _, _) in VARIANTS.items():
            with self.subTest(variant=variant):
                r = self.curl(options, "-o", self.fresh_local("missing"), self.url("no-such-file.bin"))
                self.assertEqual(r.returncode, CURL_TFTP_NOT_FOUND, r.stderr)


class CurlNetascii(CurlCase):
    VARIANTS = {k: VARIANTS[k] for k in ("default", "no options")}

    def test_downloads_carry_the_servers_translation(self):
        files = {"wire-512": text_of_wire_length(512),  # the last DATA is empty
                 "wire-1024": text_of_wire_length(1024),
                 "eof-mark": text_content(3000, 5)[:1500] + b"\x1a" + text_content(1000, 6)}
        for size in SMALL_SIZES:
            files["text-%d" % size] = text_content(size, size + 2)
        for variant, (options, _, asks_tsize) in self.VARIANTS.items():
            for key, disk in files.items():
                if asks_tsize and not disk:
                    continue  # curl's tsize 0 fault, see the top of this file
                with self.subTest(variant=variant, file=key):
                    name = key + ".txt"
                    self.serve(name, disk)
                    self.assert_same_bytes(self.download(name, options, netascii=True),
                                           sent_by_orvanel(disk), name)

    def test_uploads_are_stored_with_crlf(self):
        for variant, (options, _, _) in self.VARIANTS.items():
            for size in SMALL_SIZES:
                with self.subTest(variant=variant, size=size):
                    name = "up-%s-%d.txt" % (variant.replace(" ", "-"), size)
                    data = text_content(size, size + 3)
                    stored = self.upload(data, name, options, netascii=True)
                    self.assert_same_bytes(stored, stored_by_orvanel(data), name)


class CurlMappedAndLarge(CurlCase):
    """Octet reads through a mapped view of the file (MMF 3), and the 40 MiB
    transfers, whose 81920 blocks of 512 bytes wrap the block number."""

    server_settings = {"MMF": 3}

    def test_mapped_downloads_are_byte_identical(self):
        for variant in ("default", "blksize 1428", "blksize 65464"):
            options, block_size, _ = VARIANTS[variant]
            for size in sizes_for(block_size, True):
                with self.subTest(variant=variant, size=size):
                    name = "mapped-%d.bin" % size
                    data = pattern(size, size + 4)
                    self.serve(name, data)
                    self.assert_same_bytes(self.download(name, options), data, name)

    def test_an_empty_file_cannot_be_mapped_and_is_not_found(self):
        self.serve("mapped-empty.bin", b"")
        r = self.curl(["--tftp-no-options"], "-o", self.fresh_local("mapped-empty"),
                      self.url("mapped-empty.bin"))
        self.assertEqual(r.returncode, CURL_TFTP_NOT_FOUND, r.stderr)

    def test_40_mib_download_and_upload(self):
        data = pattern(LARGE_SIZE, 40)
        self.serve("large.bin", data)
        self.assert_same_bytes(self.download("large.bin", []), data, "large.bin")
        self.assert_same_bytes(self.upload(data, "large-up.bin", []), data, "large-up.bin")


class CurlOverIPv6(CurlCase):
    """tftp://[::1]:port/ against harrier's default IPv6 socket."""

    host = HOST6

    def test_downloads_and_uploads_are_byte_identical(self):
        for variant in ("default", "blksize 1428", "no options"):
            options, block_size, asks_tsize = VARIANTS[variant]
            for size in (511, 2 * block_size, MIB_AND_A_BIT):
                with self.subTest(variant=variant, size=size):
                    name = "six-%s-%d.bin" % (variant.replace(" ", "-"), size)
                    data = pattern(size, size + 5)
                    self.serve(name, data)
                    self.assert_same_bytes(self.download(name, options), data, name)
                    up = "up-" + name
                    self.assert_same_bytes(self.upload(data, up, options), data, up)

    def test_missing_file_is_reported_as_not_found(self):
        r = self.curl([], "-o", self.fresh_local("missing6"), self.url("no-such-file.bin"))
        self.assertEqual(r.returncode, CURL_TFTP_NOT_FOUND, r.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
