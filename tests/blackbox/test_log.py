"""Console lines of harrier -debug: start-up, requests, options, results and
refusals at their exact formats and columns, and the lines of levels 3 and 4."""
import datetime
import re
import threading
import time
import unittest

from blackbox_support import (
    ERR_ILLEGAL, ERR_NOT_FOUND, ERR_OPTION, RRQ, TS, WRQ, BlackBoxCase, Client, Server, ack, data, download,
    error_bytes, oack_bytes, on_wine, pattern, raw_request, request, result_fields)


def body(line):
    """A line without its time stamp (and the blank after it)."""
    assert re.fullmatch(TS, line[:19]) and line[19] == " ", line
    return line[20:]


class StartUp(BlackBoxCase):
    settings = {"Timeout": 3, "Retransmit": 4, "Clients": 5, "Options": 3, "Upload": 0,
                "Multicast": 0, "Prefix": "/srv/a;/srv/b"}

    def test_start_up_lines(self):
        lines = [l for l in self.lines() if re.match(TS, l)]
        root = self.server.root.rstrip("/") + "/"
        self.assertEqual([body(l) for l in lines[:12]], [
            "Orvanel TFTP Server 1.4.5",
            # The prefixes do not exist: said at once, and the server serves.
            "settings: error: Prefix: /srv/a does not exist; requests beneath it find nothing",
            "settings: error: Prefix: /srv/b does not exist; requests beneath it find nothing",
            "Ready on TFTP port %d" % self.server.port,
            "RootDirectory : " + root,
            "Prefix        : /srv/a;/srv/b",
            "def. Timeout  : 3",
            "max. Retries  : 4",
            "max. Clients  : 5",
            "Option eval.  : 3",
            "Upload enabled: 0",
            "Multicast     : 0",
        ])
        stamp = datetime.datetime.strptime(lines[0][:19], "%Y-%m-%d %H:%M:%S")
        self.assertLess(abs((datetime.datetime.now() - stamp).total_seconds()), 30)

    def test_refusal_before_the_opcode_is_taken(self):
        # Uploads are off: the kind column stays empty.
        start = self.mark()
        self.assertRefused(request(WRQ, "w.bin"), ERR_ILLEGAL, "Illegal TFTP operation")
        line = self.wait_line(r"  Error   ", start)
        self.assertEqual(line[19:], "  Error   127.0.0.1                  4 Illegal TFTP operation ")


class TransferLines(BlackBoxCase):
    settings = {"Timeout": 1, "Retransmit": 1}

    def test_widest_address_fills_its_column(self):
        path = self.server.put_file("wide.bin", b"w")
        start = self.mark()
        self.assertEqual(self.fetch(self.client("127.100.100.100"), "wide.bin")[0], b"w")
        self.wait_result(path, start)
        self.assertEqual(body(self.lines(start)[-1]), "      0s 127.100.100.100 Get/octet  " + path)
        start = self.mark()
        self.assertRefused(request(RRQ, "nothing.bin"), ERR_NOT_FOUND, "File not found", self.client("127.100.100.100"))
        line = self.wait_line(r"  Error   ", start)
        self.assertEqual(body(line), " Error   127.100.100.100 Get        1 File not found %snothing.bin"
                         % (self.server.root.rstrip("/") + "/"))

    def test_read_lines(self):
        # The options as asked in the request line, in their fixed order in the OACK line.
        for name, content, mode, options, traced in (
                ("log.bin", bytes(3000), "octet", {"tsize": 0, "timeout": 3, "blksize": 1024},
                 ["TFTP Get Name {} Mode octet Size 3000 tsize 3000 blksize 1024 timeout 3",
                  "TFTP  Oack sent blksize 1024 timeout 3 tsize 3000"]),
                ("plain.txt", b"a\r\nb", "netascii", None, ["TFTP Get Name {} Mode ascii Size 4"])):
            with self.subTest(mode=mode):
                path = self.server.put_file(name, content)
                start = self.mark()
                self.fetch(self.client(), name, mode, options)
                self.wait_result(path, start)
                label = "Get/octet " if mode == "octet" else "Get/ascii "
                self.assertEqual([body(l) for l in self.lines(start)],
                                 ["Request from 127.0.0.1"] + [t.format(path) for t in traced]
                                 + ["      0s 127.0.0.1       %s %s" % (label, path)])
                self.assertEqual(result_fields(self.lines(start)[-1]), ("      0s", "127.0.0.1      ", label, path))

    def test_write_lines(self):
        path = self.server.path("up.txt")
        start = self.mark()
        c = self.begin_write("up.txt", "netascii", {"tsize": 77, "blksize": 600},
                             oack_bytes(("blksize", 600), ("tsize", 77)))
        c.send(data(1, b"x" * 77))
        self.assertEqual(self.expect(c)[0], ack(1))
        self.wait_result(path, start)
        self.assertEqual([body(l) for l in self.lines(start)], [
            "Request from 127.0.0.1",
            "TFTP Put Name %s Mode ascii tsize 77 blksize 600" % path,
            "TFTP  Oack sent blksize 600 tsize 77",
            "      0s 127.0.0.1       Put/ascii  %s" % path,
        ])

    def test_refusal_lines(self):
        root = self.server.root.rstrip("/") + "/"
        cases = [
            (data(1, b"x"), ERR_ILLEGAL, "Bad tftp packet", ["           4 Illegal TFTP operation "]),
            (request(RRQ, "../x"), ERR_ILLEGAL, "Invalid path", ["Get        4 Illegal TFTP operation "]),
            (raw_request(RRQ, "x", "mail"), ERR_ILLEGAL, "Invalid or unsupported mode",
             ["Get        4 Illegal TFTP operation "]),
            (request(RRQ, "x", options={"blksize": "q"}), ERR_OPTION, "Bad blksize option", ["Get        8 Invalid Option "]),
            (request(WRQ, "x", options={"multicast": ""}), ERR_OPTION, "Bad multicast option",
             ["Put        8 Invalid Option "]),
            # A failed open is traced like an accepted request before it is refused.
            (request(RRQ, "missing.bin"), ERR_NOT_FOUND, "File not found",
             ["!TFTP Get Name %smissing.bin Mode octet Size 0" % root,
              "Get        1 File not found %smissing.bin" % root]),
            (request(WRQ, "nodir/x.bin", options={"tsize": 5}), 3,
             "Create file failed, disk full or allocation exceeded?",
             ["!TFTP Put Name %snodir/x.bin Mode octet tsize 5" % root,
              "Put        3 Disk full or allocation exceeded "]),
        ]
        for packet, code, text, expected in cases:
            with self.subTest(text=text):
                start = self.mark()
                self.assertRefused(packet, code, text)
                self.wait_line(r"  Error   ", start)
                want = ["Request from 127.0.0.1"]
                for e in expected:
                    want.append(e[1:] if e.startswith("!") else " Error   127.0.0.1       " + e)
                self.assertEqual([body(l) for l in self.lines(start)], want)

    def test_bytes_of_a_client_never_forge_a_line_nor_reach_the_terminal(self):
        root = self.server.root.rstrip("/") + "/"
        forged = "1999-01-01 00:00:00       1s 10.6.6.6        Get/octet  /srv/FORGED"
        # A name: CR LF and an escape sequence (":" would be refused earlier).
        start = self.mark()
        self.assertRefused(request(RRQ, "a\r\nFORGED\x1b[2J\x7f"), ERR_NOT_FOUND, "File not found")
        self.wait_line(r"  Error   ", start)
        shown = "a\\x0d\\x0aFORGED\\x1b[2J\\x7f"
        if on_wine():  # its paths' backslashes are spelled back as slashes, these with them
            shown = shown.replace("\\", "/")
        self.assertEqual([body(l) for l in self.lines(start)], [
            "Request from 127.0.0.1",
            "TFTP Get Name %s%s Mode octet Size 0" % (root, shown),
            " Error   127.0.0.1       Get        1 File not found %s%s" % (root, shown),
        ])
        # An ERROR text that would be a whole result line of its own.
        self.server.put_file("e.bin", bytes(2000))
        start = self.mark()
        c = self.ask_read("e.bin")
        self.expect(c)
        c.send(b"\x00\x05\x00\x00bye\r\n" + forged.encode() + b"\x1b]0;owned\x07\x00")
        line = self.wait_line(r"  Abort   ", start)
        self.assertIn("bye\\x0d\\x0a" + forged + "\\x1b]0;owned\\x07 " + self.server.path("e.bin"), line)
        text = self.server.output()
        self.assertNotIn("\x1b", text)
        self.assertNotIn("\r", text)
        self.assertFalse([l for l in text.split("\n") if l.startswith("1999-")])


class DebugRaisesLevel(unittest.TestCase):
    def test_log_0_is_raised_to_2_in_any_case_of_the_switch(self):
        for args in (["-debug"], ["-DEBUG"], ["-Debug"]):
            with self.subTest(args=args), Server(settings={"Log": 0}, args=args) as s:
                s.wait_for(r"Ready on TFTP port %d" % s.port, 10)
                s.put_file("a.bin", b"a")
                with Client(s.port) as c:
                    self.assertEqual(download(c, "a.bin")[0], b"a")
                s.wait_for(r"\n%s       0s 127\.0\.0\.1       Get/octet  %s\n" % (TS, re.escape(s.path("a.bin"))))
                self.assertIn("Request from 127.0.0.1", s.output())
                self.assertEqual(s.stop(), 0)


class PacketLines(BlackBoxCase):
    settings = {"Log": 3, "Timeout": 1, "Retransmit": 1}

    def test_level_3_lines(self):
        path = self.server.put_file("p.bin", bytes(600))
        start = self.mark()
        self.fetch(self.client(), "p.bin")
        self.wait_result(path, start)
        self.assertEqual([body(l) for l in self.lines(start)][2:-1], [
            "TFTP  sent block 0 512",
            "received ack 1",
            "TFTP  sent block 1 88",
            "received ack 2",
        ])
        start = self.mark()
        c = self.client()
        self.upload_block(c, "w.bin", bytes(512))
        c.send(data(2, bytes(10)))
        self.assertEqual(self.expect(c)[0], ack(2))
        self.wait_result(self.server.path("w.bin"), start)
        self.assertEqual([body(l) for l in self.lines(start)][2:-1], [
            "TFTP  ack 0 sent",
            "TFTP  received block 1, 516 bytes",
            "TFTP  ack 1 sent",
            "TFTP  received block 2, 14 bytes",
            "TFTP  ack 2 sent",
        ])
        # No parsing lines below level 4.
        self.assertNotIn(" TFTP len ", self.server.output())


class RefusalFlood(BlackBoxCase):
    """A flood of bad requests writes at most 50 refusal lines a second and
    then says how many it left out; transfers during it are served and their
    results always written."""
    settings = {"Timeout": 1, "Retransmit": 1}
    REQUESTS = 1000

    def test_refusal_lines_are_limited_and_counted(self):
        path = self.server.put_file("ok.bin", b"fine")
        payload = pattern(100000, seed=701)
        during = self.server.put_file("during.bin", payload)
        start = self.mark()
        c, fetcher = self.client(), self.client()
        fetched = []
        download = threading.Thread(target=lambda: fetched.append(
            self.fetch(fetcher, "during.bin", options={"blksize": 1024})[0]), daemon=True)
        began = time.monotonic()
        # In bursts, each answered before the next, so that no datagram is
        # lost in a full socket buffer and every one is accounted for.
        for burst in range(self.REQUESTS // 50):
            if burst == 5:
                # A download while refusal lines are left out is served all the same.
                download.start()
            for _ in range(50):
                c.send_request(request(RRQ, "../x"))
            for _ in range(50):
                self.assertEqual(self.expect(c)[0], error_bytes(ERR_ILLEGAL, "Invalid path"))
        elapsed = time.monotonic() - began
        download.join(20)
        self.assertEqual(fetched, [payload], "the download during the flood failed")
        time.sleep(1.1)  # the next second: the count of what was left out is written
        got, _, _ = self.fetch(self.client(), "ok.bin")
        self.assertEqual(got, b"fine")
        self.wait_result(path, start)
        lines = [body(l) for l in self.lines(start)]
        refusals = [l for l in lines if l == "Request from 127.0.0.1" or l.startswith(" Error   127.0.0.1 ")]
        suppressed = [int(m.group(1)) for m in
                      (re.fullmatch(r"(\d+) refusal log lines suppressed", l) for l in lines) if m]
        self.assertLessEqual(len(refusals), 50 * (int(elapsed) + 3), "%d lines in %.1f s" % (len(refusals), elapsed))
        self.assertTrue(suppressed, "no line tells of the lines left out")
        # Two lines per bad request (its Request and its Error), one Request
        # of each good one: each written or counted, none lost.
        self.assertEqual(len(refusals) + sum(suppressed), 2 * self.REQUESTS + 2)
        for good in (path, during):
            self.assertEqual(len(self.result_lines(good, start)), 1, good)


class ParseLines(BlackBoxCase):
    settings = {"Log": 4, "Timeout": 1, "Retransmit": 1}

    def test_level_4_lines(self):
        path = self.server.put_file("f.bin", bytes(100))
        start = self.mark()
        self.fetch(self.client(), "f.bin", options={"blksize": 1024})
        self.wait_result(path, start)
        self.assertEqual([body(l) for l in self.lines(start)], [
            "Request from 127.0.0.1",
            "TFTP len 27 req 1",
            "TFTP len 25 file f.bin",
            "TFTP len 19 mode 3",
            "TFTP len 13, option blksize",
            "TFTP len 5, optarg 1024",
            "TFTP Get Name %s Mode octet Size 100 blksize 1024" % path,
            "TFTP  Oack sent blksize 1024",
            "received ack 0",
            "TFTP  sent block 0 100",
            "received ack 1",
            "      0s 127.0.0.1       Get/octet  %s" % path,
        ])

    def test_unknown_option_lines(self):
        path = self.server.put_file("g.bin", bytes(10))
        start = self.mark()
        self.fetch(self.client(), "g.bin", options={"color": "blue"})
        self.wait_result(path, start)
        lines = [body(l) for l in self.lines(start)]
        self.assertIn("TFTP len 11, option color", lines)
        self.assertIn("TFTP len 5, optarg blue", lines)

    def test_refused_packet_lines(self):
        start = self.mark()
        self.assertRefused(b"\x00\x04\x00\x07", ERR_ILLEGAL, "Bad tftp packet")
        self.wait_line(r"  Error   ", start)
        self.assertEqual([body(l) for l in self.lines(start)][:2], ["Request from 127.0.0.1", "TFTP len 4 req 4"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
