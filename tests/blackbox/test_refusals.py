"""Every refusal of a request: exact code and text from the server port, no
session left behind, no descriptor held."""
import os
import re
import subprocess
import time
import unittest

from blackbox_support import (
    ERR_DISK_FULL, ERR_EXISTS, ERR_ILLEGAL, ERR_NOT_FOUND, ERR_OPTION, ERR_UNDEFINED, HOST, RRQ, WRQ,
    BlackBoxCase, Client, Server, ack, data, download, drops_to_service_user, error_bytes, free_port_range,
    give_to_server, on_wine, pattern, raw_request, read_file, request, request_path, scratch_directory,
    server_directory, server_fds, wait_until)

BAD_PACKET = (ERR_ILLEGAL, "Bad tftp packet")
INVALID_PATH = (ERR_ILLEGAL, "Invalid path")
BAD_MODE = (ERR_ILLEGAL, "Invalid or unsupported mode")


class RefusalTable(BlackBoxCase):
    settings = {"Timeout": 1, "Retransmit": 2}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.server.put_file("exists.bin", b"0123456789" * 60)
        os.chmod(cls.server.put_file("root_only.bin", b"secret"), 0o600)
        os.makedirs(cls.server.path("sub"), exist_ok=True)

    def cases(self):
        """(packet, code, text) for every refusal that one server can show."""
        ok = "exists.bin"
        return [
            # packet size and opcode
            (b"\x00", *BAD_PACKET),
            (b"\x00\x01", *BAD_PACKET),
            (b"\x00\x02", *BAD_PACKET),
            (data(1, b"abc"), *BAD_PACKET),
            (ack(0), *BAD_PACKET),
            (b"\x00\x06blksize\x00512\x00", *BAD_PACKET),
            (b"\x00\x00exists.bin\x00octet\x00", *BAD_PACKET),
            (b"\x00\x07exists.bin\x00octet\x00", *BAD_PACKET),
            (b"\xff\xffexists.bin\x00octet\x00", *BAD_PACKET),
            (b"\x01\x01exists.bin\x00octet\x00", *BAD_PACKET),
            # the name
            (raw_request(RRQ, "exists.bin", terminate=False), *INVALID_PATH),
            (raw_request(WRQ, "new.bin", terminate=False), *INVALID_PATH),
            (request(RRQ, "c:x"), *INVALID_PATH),
            (request(RRQ, "../x"), *INVALID_PATH),
            (request(RRQ, "a..b"), *INVALID_PATH),
            (request(RRQ, "sub/../exists.bin"), *INVALID_PATH),
            (request(RRQ, "sub\\..\\exists.bin"), *INVALID_PATH),
            (request(WRQ, "/..x"), *INVALID_PATH),
            (request(WRQ, "x:"), *INVALID_PATH),
            # the name is judged before the mode and the options
            (raw_request(RRQ, "../x", "mail"), *INVALID_PATH),
            (raw_request(RRQ, "../x", "oct", terminate=False), *INVALID_PATH),
            (raw_request(RRQ, "../x", "octet", "blksize", "abc"), *INVALID_PATH),
            # the mode
            (raw_request(RRQ, ok, "octet", terminate=False), *BAD_PACKET),
            (raw_request(RRQ, ok, "", terminate=False), *BAD_PACKET),
            (raw_request(WRQ, "new.bin", "netascii", terminate=False), *BAD_PACKET),
            (raw_request(RRQ, ok, "mail"), *BAD_MODE),
            (raw_request(RRQ, ok, "MAIL"), *BAD_MODE),
            (raw_request(WRQ, "new.bin", "Mail"), *BAD_MODE),
            (raw_request(RRQ, ok, "binary"), *BAD_MODE),
            (raw_request(RRQ, ok, ""), *BAD_MODE),
            (raw_request(RRQ, ok, "octets"), *BAD_MODE),
            (raw_request(RRQ, ok, "netascii "), *BAD_MODE),
            # the mode is judged before the options
            (raw_request(RRQ, ok, "mail", "blksize", "abc"), *BAD_MODE),
            # option values without digits
            (request(RRQ, ok, options={"blksize": "abc"}), ERR_OPTION, "Bad blksize option"),
            (request(RRQ, ok, options={"blksize": ""}), ERR_OPTION, "Bad blksize option"),
            (request(RRQ, ok, options={"BLKSIZE": "x1"}), ERR_OPTION, "Bad blksize option"),
            (request(WRQ, "new.bin", options={"blksize": "-5"}), ERR_OPTION, "Bad blksize option"),
            (request(RRQ, ok, options={"timeout": "x"}), ERR_OPTION, "Bad timeout option"),
            (request(RRQ, ok, options={"Timeout": ""}), ERR_OPTION, "Bad timeout option"),
            (request(RRQ, ok, options={"tsize": "x"}), ERR_OPTION, "Bad tsize option"),
            (request(WRQ, "new.bin", options={"TSIZE": ""}), ERR_OPTION, "Bad tsize option"),
            # block sizes below 8 and time-outs outside 1..255
            (request(RRQ, ok, options={"blksize": 0}), ERR_OPTION, "Bad blksize option"),
            (request(RRQ, ok, options={"blksize": 7}), ERR_OPTION, "Bad blksize option"),
            (request(WRQ, "new.bin", options={"blksize": 1}), ERR_OPTION, "Bad blksize option"),
            (request(RRQ, ok, options={"timeout": 0}), ERR_OPTION, "Bad timeout option"),
            (request(RRQ, ok, options={"timeout": 256}), ERR_OPTION, "Bad timeout option"),
            (request(RRQ, ok, options={"timeout": 4294967296}), ERR_OPTION, "Bad timeout option"),
            (request(WRQ, "new.bin", options={"timeout": 1000}), ERR_OPTION, "Bad timeout option"),
            # multicast: a value, or a write
            (request(RRQ, ok, options={"multicast": "1"}), ERR_OPTION, "Bad multicast option"),
            (request(RRQ, ok, options={"MultiCast": " "}), ERR_OPTION, "Bad multicast option"),
            (request(WRQ, "new.bin", options={"multicast": ""}), ERR_OPTION, "Bad multicast option"),
            # options are judged in their order in the request
            (request(RRQ, ok, options={"tsize": "x", "blksize": "y"}), ERR_OPTION, "Bad tsize option"),
            (request(RRQ, ok, options={"blksize": "512", "timeout": "0", "tsize": "q"}), ERR_OPTION,
             "Bad timeout option"),
            (request(RRQ, ok, options={"foo": "bar", "multicast": "x", "blksize": "2"}), ERR_OPTION,
             "Bad multicast option"),
            # options are judged before the file
            (request(RRQ, "missing.bin", options={"blksize": "abc"}), ERR_OPTION, "Bad blksize option"),
            # the file
            (request(RRQ, "missing.bin"), ERR_NOT_FOUND, "File not found"),
            (request(RRQ, "nodir/missing.bin", "netascii"), ERR_NOT_FOUND, "File not found"),
            (request(RRQ, "sub"), ERR_NOT_FOUND, "File not found"),
            # (Windows finds file names without regard to case.)
            *([] if on_wine() else [(request(RRQ, "EXISTS.BIN"), ERR_NOT_FOUND, "File not found")]),
            # The server reads with its own user's rights, never root's.
            *([(request(RRQ, "root_only.bin"), ERR_NOT_FOUND, "File not found")] if drops_to_service_user() else []),
            (request(WRQ, "nodir/new.bin"), ERR_DISK_FULL, "Create file failed, disk full or allocation exceeded?"),
            (request(WRQ, "sub"), ERR_DISK_FULL, "Create file failed, disk full or allocation exceeded?"),
        ]

    def test_each_refusal_is_exact_and_leaves_no_session(self):
        for packet, code, text in self.cases():
            with self.subTest(packet=packet[:60]):
                c = self.assertRefused(packet, code, text)
                # Nothing else arrives, and the same port may ask again at once.
                self.expect_nothing(c, 0.05)
                got, _, _ = self.fetch(c, "exists.bin")
                self.assertEqual(got, b"0123456789" * 60)

    def test_datagram_longer_than_the_request_buffer_is_refused_whole(self):
        # 1536 bytes fit the buffer and are parsed; one more would arrive cut
        # (a cut option name would be skipped and the read served).
        def padded(size):
            head = raw_request(RRQ, "exists.bin", "octet", "x-pad")
            return head + b"p" * (size - len(head) - 1) + b"\0"
        c = self.client()
        self.assertEqual(len(padded(1536)), 1536)
        c.send_request(padded(1536))
        answer, _ = self.expect(c)
        self.assertEqual(answer[:4], data(1, b""))
        c.send(error_bytes(ERR_UNDEFINED, "enough"))
        for size in (1537, 1600, 8000, 65000):
            with self.subTest(size=size):
                self.assertRefused(padded(size), *BAD_PACKET)

    def test_error_packets_to_the_server_port_get_no_answer(self):
        # Answering an ERROR with an ERROR would let two servers (or a forged
        # source address) keep each other busy forever.
        c = self.client()
        for packet in (error_bytes(ERR_UNDEFINED, "go away"), error_bytes(5, ""), b"\x00\x05", b"\x00\x05\x00"):
            c.send_request(packet)
            self.expect_nothing(c, 0.3)
        got, _, _ = self.fetch(c, "exists.bin")
        self.assertEqual(got, b"0123456789" * 60)

    def test_empty_datagram_is_dropped_without_answer_or_line(self):
        c = self.client()
        c.sock.sendto(b"", c.server)
        self.expect_nothing(c, 0.5)
        start = self.mark()
        got, _, _ = self.fetch(c, "exists.bin")
        self.assertEqual(got, b"0123456789" * 60)
        self.wait_result(self.server.path("exists.bin"), start)
        requests = [l for l in self.lines(start) if l.endswith(" Request from 127.0.0.1")]
        self.assertEqual(len(requests), 1)

    def test_refusals_hold_no_descriptor(self):
        time.sleep(0.3)  # transfers of earlier tests have released their files
        before = server_fds(self.server)
        cases = self.cases()
        c = self.client()
        for _ in range(5):
            for packet, code, text in cases:
                c.send_request(packet)
                answer, _ = self.expect(c)
                self.assertEqual(answer, error_bytes(code, text))
        self.assertEqual(server_fds(self.server), before)
        # Refused writes create nothing.
        self.assertFalse(os.path.exists(self.server.path("new.bin")))


class UploadsOff(BlackBoxCase):
    settings = {"Upload": 0}

    def test_write_requests_refused_before_anything_else(self):
        self.server.put_file("a.bin", b"abc")
        for packet in (request(WRQ, "new.bin"), request(WRQ, "a.bin"),
                       request(WRQ, "../x"), raw_request(WRQ, "x", "mail"),
                       raw_request(WRQ, "x", terminate=False),
                       request(WRQ, "new.bin", options={"blksize": "abc"})):
            with self.subTest(packet=packet):
                c = self.assertRefused(packet, ERR_ILLEGAL, "Illegal TFTP operation")
                got, _, _ = self.fetch(c, "a.bin")
                self.assertEqual(got, b"abc")
        self.assertFalse(os.path.exists(self.server.path("new.bin")))
        self.assertEqual(read_file(self.server.path("a.bin")), b"abc")
        # A datagram too short or with another opcode is still a bad packet.
        self.assertRefused(b"\x00\x02", ERR_ILLEGAL, "Bad tftp packet")


class PathLength(BlackBoxCase):
    """RootDirectory plus name may have 258 characters; 259 are too long."""

    def names(self, total):
        root = self.server.shown_root()
        left = total - len(root)
        first = "d" * 100
        return first + "/" + "f" * (left - len(first) - 1)

    def test_boundary(self):
        root = self.server.shown_root()
        fits = self.names(258)
        too_long = self.names(259)
        self.assertEqual(len(root + fits), 258)
        self.server.put_file(fits, b"fits")
        self.server.put_file(too_long, b"too long")
        got, _, _ = self.fetch(self.client(), fits)
        self.assertEqual(got, b"fits")
        # A leading "/" (or "\") is dropped before the length is measured.
        got, _, _ = self.fetch(self.client(), "/" + fits)
        self.assertEqual(got, b"fits")
        got, _, _ = self.fetch(self.client(), "\\" + fits.replace("/", "\\"))
        self.assertEqual(got, b"fits")
        c = self.client()
        # With the mode "mail" too: the length is judged before the mode.
        for packet in (request(RRQ, too_long), request(RRQ, "/" + too_long), request(WRQ, too_long),
                       raw_request(RRQ, too_long, "mail"), request(RRQ, "x" * 1400)):
            self.assertRefused(packet, ERR_ILLEGAL, "Path too long", c)
        # Writing at the boundary works too.
        name = fits[:-1] + "w"
        self.upload_block(c, name, b"written")
        written = self.server.path(name)
        self.assertTrue(wait_until(lambda: os.path.exists(written)
                                   and read_file(written) == b"written", 3))


class AccessRules(BlackBoxCase):
    settings = {"AccessControl": 1, "Timeout": 1, "Retransmit": 2}
    access = {
        "%root%\\0": "r",
        "pub\\0": "rw",
        "drop\\0": "rwo",
        "ranged\\0": "r,127.0.0.5",
        "except\\0": ",127.0.0.7-127.0.0.7",
        "except\\1": "r",
        "window\\0": "r,127.0.0.10-127.0.0.12",
        "zero\\0": "r,0.0.0.0",
        "zero\\1": "w",
        "bad\\0": "r,127.0.0.300",
        "bad\\1": "r,127.0.0.1-junk",
        "bad\\2": "w",
        "gap\\1": "rwo",
        "norights\\0": "xyz",
        # The longest rule that is read has 63 characters; a longer one ends
        # the list like a missing one.
        "rule63\\0": "r" + "x" * 62,
        "rule64\\0": "r" + "x" * 63,
        "rule64\\1": "r",
    }
    files = {d + "f.bin": (d or "root").encode()
             for d in ("", "pub/", "pub/sub/", "drop/", "ranged/", "except/", "window/", "zero/", "bad/", "gap/",
                       "none/", "norights/", "rule63/", "rule64/")}

    def read_ok(self, name, address=HOST, expected=None):
        self.assertEqual(self.fetch(self.client(address), name)[0], expected)

    def denied(self, opcode, name, address=HOST):
        self.assertRefused(request(opcode, name), ERR_ILLEGAL, "Access denied", self.client(address))

    def test_rights_per_directory(self):
        self.read_ok("f.bin", expected=b"root")
        self.read_ok("/f.bin", expected=b"root")
        self.denied(WRQ, "new.bin")
        self.read_ok("pub/f.bin", expected=b"pub/")
        self.read_ok("pub\\f.bin", expected=b"pub/")
        # The first level decides, whatever lies below it.
        self.read_ok("/pub/sub/f.bin", expected=b"pub/sub/")
        self.upload_block(self.client(), "pub/new.bin", b"new")
        # "w" without "o": an existing file is not replaced.
        self.assertRefused(request(WRQ, "pub/f.bin"), ERR_EXISTS, "File already exists")
        self.assertRefused(request(WRQ, "pub/new.bin"), ERR_EXISTS, "File already exists")
        self.assertEqual(read_file(self.server.path("pub/f.bin")), b"pub/")
        # "rwo" replaces.
        self.upload_block(self.client(), "drop/f.bin", b"replaced")
        self.assertTrue(wait_until(lambda: read_file(self.server.path("drop/f.bin")) == b"replaced", 3))
        # No rule, a gap at position 0, or rights that are no letters: refused.
        self.denied(RRQ, "none/f.bin")
        self.denied(RRQ, "missingdir/f.bin")
        self.denied(RRQ, "gap/f.bin")
        self.denied(WRQ, "gap/x.bin")
        self.denied(RRQ, "norights/f.bin")
        self.denied(WRQ, "norights/x.bin")
        self.read_ok("rule63/f.bin", expected=b"rule63/")
        self.denied(RRQ, "rule64/f.bin")
        # The directory name of a rule is looked up without regard to case;
        # the file itself is then looked for exactly as spelt.
        if not on_wine():  # Windows finds file names without regard to case
            self.assertRefused(request(RRQ, "PUB/f.bin"), ERR_NOT_FOUND, "File not found")

    def test_address_ranges(self):
        # "r,127.0.0.5": from that address upward.
        self.denied(RRQ, "ranged/f.bin", "127.0.0.4")
        self.denied(RRQ, "ranged/f.bin", "127.0.0.1")
        self.read_ok("ranged/f.bin", "127.0.0.5", b"ranged/")
        self.read_ok("ranged/f.bin", "127.1.2.3", b"ranged/")
        self.denied(WRQ, "ranged/x.bin", "127.0.0.5")
        # A rule without rights before a wider one makes an exception.
        self.denied(RRQ, "except/f.bin", "127.0.0.7")
        self.read_ok("except/f.bin", "127.0.0.6", b"except/")
        self.read_ok("except/f.bin", "127.0.0.8", b"except/")
        # A closed range.
        self.denied(RRQ, "window/f.bin", "127.0.0.9")
        self.read_ok("window/f.bin", "127.0.0.10", b"window/")
        self.read_ok("window/f.bin", "127.0.0.12", b"window/")
        self.denied(RRQ, "window/f.bin", "127.0.0.13")
        # A first address of 0.0.0.0 or a malformed one covers nobody: the
        # next position decides.
        self.denied(RRQ, "zero/f.bin")
        self.upload_block(self.client(), "zero/new.bin", b"z")
        self.denied(RRQ, "bad/f.bin", "127.0.0.5")
        self.upload_block(self.client("127.0.0.5"), "bad/new.bin", b"b")

    def test_order_of_checks(self):
        # Invalid path before the rules; the rules before the mode and options.
        self.assertRefused(request(RRQ, "none/../f.bin"), ERR_ILLEGAL, "Invalid path")
        self.assertRefused(raw_request(RRQ, "none/f.bin", "mail"), ERR_ILLEGAL, "Access denied")
        self.assertRefused(request(RRQ, "none/f.bin", options={"blksize": "x"}), ERR_ILLEGAL, "Access denied")
        self.assertRefused(raw_request(RRQ, "none/f.bin", "oct", terminate=False), ERR_ILLEGAL, "Access denied")
        root = self.server.shown_root()
        long_name = "none/" + "x" * (259 - len(root) - 5)
        self.assertRefused(request(RRQ, long_name), ERR_ILLEGAL, "Path too long")
        # A missing file in a readable directory is not found, not denied.
        self.assertRefused(request(RRQ, "pub/missing.bin"), ERR_NOT_FOUND, "File not found")

    def test_rules_are_read_at_every_request(self):
        self.server.put_file("later/f.bin", b"later")
        self.denied(RRQ, "later/f.bin")
        rules = dict(self.access)
        rules["later\\0"] = "r"
        self.rewrite_store(rules)
        try:
            self.read_ok("later/f.bin", expected=b"later")
            rules.pop("later\\0")
            self.rewrite_store(rules)
            self.denied(RRQ, "later/f.bin")
        finally:
            self.rewrite_store(self.access)

    def rewrite_store(self, rules):
        self.server.rewrite_store(self.settings, rules)


class ClientDirectories(BlackBoxCase):
    """RootIPspecific: a client with a directory named after its address is
    served from there, under that directory's rules."""
    settings = {"RootIPspecific": 1, "AccessControl": 1}
    access = {"%root%\\0": "r", "127.0.0.5\\0": "rw"}
    files = {"a.bin": b"common", "127.0.0.5/a.bin": b"own"}

    def test_own_directory(self):
        self.assertEqual(self.fetch(self.client("127.0.0.5"), "a.bin")[0], b"own")
        self.assertEqual(self.fetch(self.client("127.0.0.5"), "/a.bin")[0], b"own")
        self.assertEqual(self.fetch(self.client("127.0.0.6"), "a.bin")[0], b"common")
        self.assertEqual(self.fetch(self.client(), "a.bin")[0], b"common")
        # Writes follow the client's own rules ("rw", no "o").
        self.assertRefused(request(WRQ, "a.bin"), ERR_EXISTS, "File already exists", self.client("127.0.0.5"))
        self.assertRefused(request(WRQ, "b.bin"), ERR_ILLEGAL, "Access denied", self.client("127.0.0.6"))
        self.upload_block(self.client("127.0.0.5"), "b.bin", b"mine")
        self.assertTrue(wait_until(lambda: read_file(self.server.path("127.0.0.5/b.bin")) == b"mine", 3))
        self.assertIsNone(read_file(self.server.path("b.bin")))


class SpecialFiles(BlackBoxCase):
    def test_fifo_and_directory_are_not_served(self):
        os.mkfifo(self.server.path("fifo"))
        t0 = time.monotonic()
        self.assertRefused(request(RRQ, "fifo"), ERR_NOT_FOUND, "File not found")
        self.assertRefused(request(WRQ, "fifo"), ERR_DISK_FULL, "Create file failed, disk full or allocation exceeded?")
        self.assertLess(time.monotonic() - t0, 2)
        self.server.put_file("ok.bin", b"ok")
        self.assertEqual(self.fetch(self.client(), "ok.bin")[0], b"ok")


class PrefixEntries(BlackBoxCase):
    """Prefix entries serve absolute directories, and only names that go on
    with "/" right after an entry."""

    @classmethod
    def setUpClass(cls):
        cls.outside = server_directory(cls.addClassCleanup, "harrier-prefix-")
        for rel, content in (("x/images/a.bin", b"image a"), ("x/images/deep/b.bin", b"image b"),
                             ("x/images2/secret", b"secret"), ("x/imagesfile", b"file"),
                             ("pub/p.bin", b"pub")):
            p = os.path.join(cls.outside, rel)
            os.makedirs(os.path.dirname(p), exist_ok=True)
            with open(p, "wb") as f:
                f.write(content)
        cls.images = os.path.join(cls.outside, "x", "images")
        give_to_server(cls.images)
        cls.settings = {"Prefix": "%s;%s/" % (cls.images, os.path.join(cls.outside, "pub")),
                        "AccessControl": 1}
        super().setUpClass()

    def test_prefix_serves_only_its_directory(self):
        # Served without root and without access rules (there are none).
        start = self.mark()
        got, _, _ = self.fetch(self.client(), request_path(self.images + "/a.bin"))
        self.assertEqual(got, b"image a")
        # The result line names the absolute path.
        self.assertEqual(self.wait_result(self.images + "/a.bin", start)[3], self.images + "/a.bin")
        got, _, _ = self.fetch(self.client(), request_path(self.images + "/deep/b.bin"))
        self.assertEqual(got, b"image b")
        got, _, _ = self.fetch(self.client(), request_path(os.path.join(self.outside, "pub", "p.bin")))
        self.assertEqual(got, b"pub")
        c = self.client()
        # A longer directory name that merely begins with the entry is not
        # the entry's directory: it resolves under the root, where the rules
        # (none) refuse it.
        self.assertRefused(request(RRQ, request_path(self.outside + "/x/images2/secret")), ERR_ILLEGAL, "Access denied", c)
        self.assertRefused(request(RRQ, request_path(self.outside + "/x/imagesfile")), ERR_ILLEGAL, "Access denied", c)
        self.assertRefused(request(RRQ, request_path(self.images)), ERR_ILLEGAL, "Access denied", c)
        # Entries compare exactly, letter case included (on Windows, where
        # directory names are found without regard to case, they do not).
        if not on_wine():
            self.assertRefused(request(RRQ, request_path(self.outside + "/x/IMAGES/a.bin")), ERR_ILLEGAL, "Access denied", c)
        self.assertRefused(request(RRQ, request_path(self.images + "/../images2/secret")), ERR_ILLEGAL, "Invalid path", c)
        # The root itself is closed by the rules.
        self.server.put_file("r.bin", b"r")
        self.assertRefused(request(RRQ, "r.bin"), ERR_ILLEGAL, "Access denied", c)

    def test_prefix_write_replaces_without_rules(self):
        target = self.images + "/up.bin"
        for payload in (b"first", b"second"):
            self.upload_block(self.client(), request_path(target), payload)
            self.assertTrue(wait_until(lambda: read_file(target) == payload, 3))


class PrefixWithoutRules(BlackBoxCase):
    """Without access control a name next to a Prefix entry lands under the root."""

    @classmethod
    def setUpClass(cls):
        cls.outside = scratch_directory(cls.addClassCleanup, "harrier-prefix-")
        os.makedirs(os.path.join(cls.outside, "x", "images2"))
        with open(os.path.join(cls.outside, "x", "images2", "secret"), "wb") as f:
            f.write(b"secret")
        cls.settings = {"Prefix": os.path.join(cls.outside, "x", "images")}
        super().setUpClass()

    def test_neighbour_directory_resolves_under_root(self):
        name = request_path(self.outside + "/x/images2/secret")
        start = self.mark()
        self.assertRefused(request(RRQ, name), ERR_NOT_FOUND, "File not found")
        under_root = self.server.path(name.lstrip("/"))
        line = self.wait_line(r"  Error   127\.0\.0\.1 ", start)
        self.assertTrue(line.endswith(" 1 File not found " + under_root), line)
        # The same name under the root is what gets served.
        self.server.put_file(name.lstrip("/"), b"decoy")
        got, _, _ = self.fetch(self.client(), name)
        self.assertEqual(got, b"decoy")


def as_server_user(pid):
    """A command prefix that runs a program as the owner of process pid."""
    st = os.stat("/proc/%d" % pid)
    if st.st_uid == os.geteuid():
        return []
    return ["setpriv", "--reuid=%d" % st.st_uid, "--regid=%d" % st.st_gid, "--clear-groups"]


class ResourceProblem(BlackBoxCase):
    """A server short of address space: transfers need no thread of their
    own, so it still serves; whatever it cannot allocate is refused with
    "Resource problem on server", and nothing is held afterwards."""

    def test_no_address_space_to_spare(self):
        pid = self.server.proc.pid
        with open("/proc/%d/maps" % pid) as f:
            if re.search(r"lib[at]san", f.read()):
                self.skipTest("a sanitizer runtime cannot live with an address space limit")
        payload = pattern(3000, seed=5)
        path = self.server.put_file("a.bin", payload)
        time.sleep(0.2)
        before = server_fds(self.server)
        with open("/proc/%d/status" % pid) as f:
            size = int(re.search(r"VmSize:\s+(\d+) kB", f.read()).group(1)) * 1024
        # Soft limit only, so that it can be lifted again; set as the user
        # the server runs as, the one who may.
        as_owner = as_server_user(pid)
        subprocess.check_call(as_owner + ["prlimit", "--pid", str(pid), "--as=%d:unlimited" % (size + 2 * 1024 * 1024)])
        try:
            start = self.mark()
            try:
                got = self.fetch(self.client(), "a.bin")[0]
            except AssertionError as refusal:
                got = str(refusal)
            refused = [l[19:] for l in self.lines(start) if "  Error   " in l]
            if got != payload:
                # Refused, and said why: never a silent drop.
                self.assertEqual(got, "ERROR 0 Resource problem on server")
                self.assertEqual(len(refused), 1, refused)
                self.assertIn(refused[0], ("  Error   127.0.0.1       Get        data thread failed",
                                           "  Error   127.0.0.1       Get        data buffer allocation failed"))
            else:
                self.assertEqual(refused, [])
        finally:
            subprocess.check_call(as_owner + ["prlimit", "--pid", str(pid), "--as=unlimited:unlimited"])
        self.assertTrue(wait_until(lambda: server_fds(self.server) == before, 2), "descriptors held")
        self.assertEqual(self.fetch(self.client(), "a.bin")[0], payload)
        # The result line is written after the final ACK: wait for it.
        self.assertTrue(wait_until(lambda: len(self.result_lines(path)) >= 1, 2), self.server.output()[-800:])


class DataPorts(unittest.TestCase):
    """DataPort with Clients ports: a free one at random, then refusals."""

    def ask(self, server, opcode, name):
        """A request from a client of its own: (client, first answer, its source)."""
        c = Client(server.port)
        self.addCleanup(c.close)
        c.send_request(request(opcode, name))
        packet, source = c.receive(3)
        return c, packet, source

    def test_range_exhausted(self):
        first = free_port_range(2)
        with Server(settings={"DataPort": first, "Clients": 2, "Timeout": 2, "Retransmit": 1}) as s:
            s.put_file("f.bin", bytes(1500))
            holders = []
            for _ in range(2):
                c, packet, source = self.ask(s, RRQ, "f.bin")
                self.assertIsNotNone(packet)
                self.assertEqual(packet[:4], data(1, b""))
                holders.append((c, source))
            self.assertEqual(sorted(src[1] for _, src in holders), [first, first + 1])
            before = server_fds(s)
            start = len(s.output())
            third, packet, source = self.ask(s, RRQ, "f.bin")
            self.assertEqual(source, (HOST, s.port))
            self.assertEqual(packet, error_bytes(ERR_UNDEFINED, "Data port setup failed"))
            line = s.wait_for(r"[^\n]*bind on data port failed[^\n]*", 3).group(0)
            self.assertEqual(line[19:], "  Error   127.0.0.1       Get        bind on data port failed")
            self.assertEqual(server_fds(s), before)
            self.assertNotIn("Get/octet", s.output()[start:])
            # Finish the first transfer; its port is free again and is reused.
            c, src = holders[0]
            c.peer = src
            for number in (1, 2, 3):
                c.send(ack(number))
                if number < 3:
                    p, _ = c.receive(3)
                    self.assertEqual(p[:4], data(number + 1, b""))
            s.wait_for(r"      0s 127\.0\.0\.1       Get/octet ", 5)
            time.sleep(0.2)
            third.peer = None
            third.send_request(request(RRQ, "f.bin"))
            packet, source = third.receive(3)
            self.assertEqual(packet[:4], data(1, b""))
            self.assertEqual(source[1], src[1])
            self.assertEqual(s.stop(), 0)

    def test_data_port_is_not_predictable(self):
        """One transfer after another over a range of 20: with the first free
        port always taken, an off-path attacker would know where to send a
        forged ACK."""
        first = free_port_range(20)
        with Server(settings={"DataPort": first, "Clients": 20}) as s:
            s.put_file("f.bin", b"x")
            ports = set()
            for _ in range(10):
                with Client(s.port) as c:
                    self.assertEqual(download(c, "f.bin")[0], b"x")
                    self.assertTrue(first <= c.peer[1] < first + 20, c.peer)
                    ports.add(c.peer[1])
            self.assertGreater(len(ports), 2, ports)

    def test_no_clients_means_no_data_ports(self):
        first = free_port_range(1)
        with Server(settings={"DataPort": first, "Clients": 0}) as s:
            s.put_file("f.bin", b"x")
            for opcode, name in ((RRQ, "f.bin"), (WRQ, "w.bin")):
                _, packet, source = self.ask(s, opcode, name)
                self.assertEqual(source, (HOST, s.port))
                self.assertEqual(packet, error_bytes(ERR_UNDEFINED, "Data port setup failed"))
            line = s.wait_for(r"[^\n]*Put        bind on data port failed", 3).group(0)
            self.assertEqual(line[19:], "  Error   127.0.0.1       Put        bind on data port failed")
            # An upload that never began leaves no new file behind ...
            self.assertFalse(os.path.exists(s.path("w.bin")))
            # ... and does not cut an existing one.
            s.put_file("keep.cfg", b"precious")
            _, packet, _ = self.ask(s, WRQ, "keep.cfg")
            self.assertEqual(packet, error_bytes(ERR_UNDEFINED, "Data port setup failed"))
            self.assertEqual(read_file(s.path("keep.cfg")), b"precious")
            self.assertEqual(s.stop(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
