"""Transfers through libpelican.so against a scripted raw-UDP server, for what
real servers will not do on demand."""

import os
import re
import shlex
import shutil
import socket
import stat
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pelican_support import CLI, UNRESOLVABLE_HOST, Client, ScriptedServer, main  # noqa: E402
from netascii import sent_by_orvanel, stored_by_orvanel  # noqa: E402
from common import read_file, scratch_directory  # noqa: E402
from tftp_packets import (DATA, ERR_DISK_FULL, ERR_NOT_FOUND, ERR_OPTION, ERR_UNDEFINED,  # noqa: E402
                          ERR_UNKNOWN_TRANSFER, ack, block_of, data, error_bytes, oack_bytes, opcode_of,
                          parse_request)

BLOCK = bytes(range(256)) * 2  # 512 bytes
SHORT = b"payload"


def struct_error(code, message):
    """An ERROR packet with the message bytes as given (zero byte included or not)."""
    return error_bytes(code, "")[:4] + message


def receive_buffer_bytes(port):
    """The receive buffer of the UDP socket on the port, as ss reports it."""
    out = subprocess.run(["ss", "-uamnH", "sport = :%d" % port], capture_output=True, text=True,
                         timeout=10, check=True).stdout
    found = re.search(r"\brb(\d+)", out)
    if not found:
        raise AssertionError("no socket on port %d: %r" % (port, out))
    return int(found.group(1))



def silent_after_first_block(s):
    """A server script: one block, then silence however often it is asked."""
    s.request()
    s.send(data(1, BLOCK))
    for _ in range(20):
        if s.expect(2.0) is None:
            break


def refuse_not_found(s):
    """A server script: ERROR 1 to the request."""
    s.request()
    s.send(error_bytes(ERR_NOT_FOUND, "File not found"))


def short_file(s):
    """A server script: a file of one short block, SHORT."""
    s.request()
    s.send(data(1, SHORT))
    s.expect()


def put_then_disk_full(s):
    """A server that takes two blocks of a PUT, then reports its disk full."""
    s.request()
    s.send(ack(0))
    s.expect()
    s.send(ack(1))
    s.expect()
    s.send(error_bytes(ERR_DISK_FULL, "Disk full or allocation exceeded"))
    assert s.expect(0.5) is None, "nothing after the server's ERROR"

class ScriptedTransfers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.client = Client()

    def setUp(self):
        self.dir = scratch_directory(self.addCleanup, "pelican_local_")

    def local(self, name, data=None):
        path = os.path.join(self.dir, name)
        if data is not None:
            with open(path, "wb") as f:
                f.write(data)
        return path

    def call(self, script, options, command):
        """Runs one call against a scripted server; returns (code, server)."""
        server = ScriptedServer(script)
        code = self.client.run("%s 127.0.0.1:%d %s" % (options, server.port, command))
        server.finish()
        return code, server

    def cli(self, server, *args):
        """Runs the pelican-tftp program in the local directory: the options, the
        scripted server as host, then the command and the remote name."""
        host = "%s:%d" % (server.listen.getsockname()[0], server.port)
        return subprocess.run([CLI] + list(args[:-2]) + [host] + list(args[-2:]), cwd=self.dir,
                              capture_output=True, text=True, timeout=60)

    def test_request_carries_the_options_in_order(self):
        path = self.local("x.img")
        code, server = self.call(refuse_not_found, "-b1468 -t3 -m -a", 'GET "boot\\x.img" ' + path)
        self.assertEqual(code, 8)
        self.assertEqual(parse_request(server.requests[0]),
                         (1, "boot\\x.img", "netascii",
                          [("blksize", "1464"), ("tsize", "0"), ("timeout", "3"), ("multicast", "")]))
        # An ERROR ends a GET with code 8, and leaves no local file.
        self.assertFalse(os.path.exists(path))
        self.assertEqual(self.client.tsize(), (-1, 0))

        up = self.local("up.bin", b"u" * 700)
        code, server = self.call(refuse_not_found, "", "PUT up.bin " + up)
        self.assertEqual(parse_request(server.requests[0]), (2, "up.bin", "octet", [("tsize", "700")]))
        code, server = self.call(refuse_not_found, "-s", "PUT up.bin " + up)
        self.assertEqual(parse_request(server.requests[0]), (2, "up.bin", "octet", []))

    def test_server_that_ignores_options_gets_512_byte_blocks(self):
        def plain_read(s):
            s.request()
            s.send(data(1, BLOCK))
            assert s.expect() == ack(1)
            s.send(data(2, b"tail"))
            assert s.expect() == ack(2)

        path = self.local("plain.bin")
        code, _ = self.call(plain_read, "-b1468 -t2", "GET plain.bin " + path)
        self.assertEqual(code, 0)
        self.assertEqual(read_file(path), BLOCK + b"tail")
        self.assertEqual(self.client.tsize(), (1, 516))

        content = bytes(i % 251 for i in range(1000))
        lengths = []

        def plain_write(s):
            s.request()
            s.send(ack(0))
            for n in (1, 2):
                packet = s.expect()
                lengths.append(len(packet))
                s.send(ack(n))

        up = self.local("up.bin", content)
        code, server = self.call(plain_write, "-b1468", "PUT up.bin " + up)
        self.assertEqual(code, 0)
        self.assertEqual(lengths, [516, 4 + 488])
        self.assertEqual(b"".join(p[4:] for p in server.received), content)
        self.assertEqual(self.client.tsize(), (1, 1000))

    def test_unusable_oack_is_answered_with_error_8(self):
        # Group blocks are written at their offsets and their numbers do not
        # wrap: a netascii group, or one of more than 65535 blocks, is refused.
        group = ("multicast", "239.255.7.7,1758,1")
        cases = [("-t3", [("timeout", "5")], "Bad timeout option"),
                 ("-b1468", [("blksize", "1500")], "Bad blksize option"),
                 ("", [("tsize", "many")], "Bad tsize option"),
                 ("-m -a", [group], "Bad multicast option"),
                 ("-m", [("tsize", str(65535 * 512)), group], "Bad multicast option")]
        for options, pairs, text in cases:
            with self.subTest(options=options):
                def bad_oack(s):
                    s.request()
                    s.send(oack_bytes(*pairs))
                    assert s.expect() == error_bytes(ERR_OPTION, text)
                    assert s.expect(0.3) is None

                path = self.local("old.bin", b"old contents")
                code, server = self.call(bad_oack, "-o " + options, "GET f " + path)
                self.assertEqual(code, 8)
                self.assertEqual(read_file(path), b"old contents", "a refused OACK leaves the old file")
                self.assertEqual(set(os.listdir(self.dir)) - {"up.bin"}, {"old.bin"})
                self.assertEqual(self.client.tsize()[0], -1)
                if "-m" in options:
                    self.assertIn(("multicast", ""), parse_request(server.requests[0])[3])
                    continue  # a multicast PUT is refused before it is sent, below

                up = self.local("up.bin", b"keep")
                code, _ = self.call(bad_oack, options, "PUT f " + up)
                self.assertEqual(code, 8)
                self.assertEqual(read_file(up), b"keep")

        up = self.local("up.bin", b"x")
        code, server = self.call(lambda s: s.count_requests(0.3), "-m", "PUT f " + up)
        self.assertEqual(code, 2)
        self.assertEqual(server.requests, [])
        self.assertEqual(self.client.tsize(), (0, 0))

    def test_error_in_the_middle(self):
        def read_then_error(s):
            s.request()
            for n in (1, 2):
                s.send(data(n, BLOCK))
                assert s.expect() == ack(n)
            s.send(error_bytes(ERR_UNDEFINED, "gone"))

        path = self.local("partial.bin")
        code, _ = self.call(read_then_error, "", "GET f " + path)
        self.assertEqual(code, 8)
        self.assertEqual(self.client.tsize(), (-1, 0))
        self.assertFalse(os.path.exists(path), "no partial file stays")

        up = self.local("up.bin", b"p" * 2000)
        code, _ = self.call(put_then_disk_full, "", "PUT f " + up)
        self.assertEqual(code, 8)
        self.assertEqual(self.client.tsize(), (-1, 0))

    def test_program_tells_the_servers_error_text(self):
        def refuse(code, text):
            def script(s):
                s.request()
                s.send(struct_error(code, text))
            return script

        self.local("up.bin", b"p" * 2000)
        cases = [
            (refuse(2, b"Access denied\0"), "GET", "server error 2: Access denied"),
            (refuse(2, b"Access denied\0"), "PUT", "server error 2: Access denied"),
            (put_then_disk_full, "PUT", "server error 3: Disk full or allocation exceeded"),
            # A terminal must not get the server's control bytes.
            (refuse(0, b"red\x1b[31m\r\nline\0"), "GET", "server error 0: red\\x1b[31m\\x0d\\x0aline"),
            (refuse(1, b"no zero at the end"), "GET", "server error 1: no zero at the end"),
            (refuse(4, b"\0"), "GET", "server error 4 without a message"),
        ]
        for script, command, said in cases:
            with self.subTest(said=said, command=command):
                server = ScriptedServer(script)
                remote = "up.bin" if command == "PUT" else "f"
                done = self.cli(server, "-t2", command, remote)
                server.finish()
                self.assertEqual((done.returncode, done.stdout), (8, ""))
                self.assertEqual(done.stderr, "pelican-tftp: %s (code 8)\n" % said)
        self.assertFalse(os.path.exists(self.local("f")))

        # Silence is no server error.
        server = ScriptedServer(lambda s: s.count_requests(2.5))
        done = self.cli(server, "-r0", "-t1", "GET", "f")
        server.finish()
        self.assertEqual(done.returncode, 6)
        self.assertEqual(done.stderr, "pelican-tftp: no usable answer from the server (code 6)\n")

    def test_program_redraws_its_progress_at_most_four_times_a_second(self):
        if not shutil.which("script"):
            self.skipTest("script (util-linux) missing")
        blocks, pause = 30, 0.05  # 15 KiB in about 1.5 s

        def slow(s, fail=False):
            s.request()
            s.send(oack_bytes(("tsize", str(blocks * 512))))
            assert s.expect() == ack(0)
            for n in range(1, blocks + 1):
                time.sleep(pause)
                if fail and n == blocks:
                    s.send(error_bytes(ERR_UNDEFINED, "stopped"))
                    return
                s.send(data(n, BLOCK))
                assert s.expect() == ack(n)
            s.send(data(blocks + 1, b""))
            s.expect()

        def drawn(script):
            server = ScriptedServer(script)
            host = "127.0.0.1:%d" % server.port
            argv = [CLI, "-t2", host, "GET", "f"]
            started = time.monotonic()
            done = subprocess.run(["script", "-qec", shlex.join(argv), "/dev/null"], cwd=self.dir,
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            seconds = time.monotonic() - started
            server.finish()
            return done.returncode, done.stdout.decode(), seconds

        code, out, seconds = drawn(slow)
        self.assertEqual(code, 0, out)
        self.assertEqual(read_file(self.local("f")), BLOCK * blocks)
        progress, _, rest = out.partition("\r\n")
        self.assertEqual(rest, "pelican-tftp: transfer complete, %d bytes\r\n" % (blocks * 512))
        lines = [line.rstrip(" ") for line in progress.split("\r")[1:]]
        # One at the first block, one per 250 ms, the last one at the end.
        self.assertGreaterEqual(len(lines), 4, lines)
        self.assertLessEqual(len(lines), seconds * 4 + 2, lines)
        self.assertRegex(lines[0], r"^512 B / 15\.0 KiB  3%")
        shares = [int(re.search(r"  (\d+)%", line).group(1)) for line in lines]
        self.assertEqual(shares, sorted(shares))
        self.assertTrue(any(re.search(r"  0:0[1-2] left$", line) for line in lines[1:-1]), lines)
        self.assertRegex(lines[-1], r"^15\.0 KiB / 15\.0 KiB  100%  [\d.]+ KiB/s  0:00 left$")

        # A failure ends the line before its message.
        os.unlink(self.local("f"))
        code, out, _ = drawn(lambda s: slow(s, fail=True))
        self.assertEqual(code, 8, out)
        self.assertRegex(out, r"^\r512 B / .*\r\npelican-tftp: server error 0: stopped \(code 8\)\r\n$")

    def test_duplicates_are_acknowledged_not_repeated(self):
        def duplicate_data(s):
            s.request()
            s.send(data(1, BLOCK))
            s.expect()
            s.send(data(1, BLOCK))
            s.expect()
            s.send(data(2, b"end"))
            s.expect()

        path = self.local("dup.bin")
        code, server = self.call(duplicate_data, "", "GET f " + path)
        self.assertEqual(code, 0)
        self.assertEqual(server.received, [ack(1), ack(1), ack(2)])
        self.assertEqual(read_file(path), BLOCK + b"end")
        self.assertEqual(self.client.tsize(), (1, 515))

        content = bytes(i % 253 for i in range(1300))

        def duplicate_ack(s):
            s.request()
            s.send(ack(0))
            s.expect()
            s.send(ack(1))
            s.expect()
            s.send(ack(1))  # a duplicate: nothing may answer it
            assert s.expect(0.4) is None, "a duplicate ACK was answered with DATA"
            s.send(ack(2))
            s.expect()
            s.send(ack(3))

        up = self.local("up.bin", content)
        code, server = self.call(duplicate_ack, "-t2", "PUT f " + up)
        self.assertEqual(code, 0)
        self.assertEqual([block_of(p) for p in server.received], [1, 2, 3], "one DATA per block")
        self.assertEqual(b"".join(p[4:] for p in server.received), content)
        self.assertEqual(self.client.tsize(), (1, 1300))

    def test_windowed_get_holds_a_window_before_it_acknowledges_the_options(self):
        # The first window follows ACK 0 at once; a receive buffer enlarged
        # only after the first block keeps the system's default, which at
        # blksize 8192 holds 23 of 32 blocks: the rest is lost and waits for
        # a time-out.
        window, block = 32, 8192
        seen = {}

        def window_server(s):
            s.request()
            s.send(oack_bytes(("blksize", str(block)), ("windowsize", str(window))))
            seen["ack"] = s.expect()
            seen["rb"] = receive_buffer_bytes(s.client[1])
            s.send(data(1, b"tail"))
            seen["last"] = s.expect()

        path = self.local("win.bin")
        code, server = self.call(window_server, "-s -b%d -w%d" % (block + 4, window), "GET f " + path)
        self.assertEqual(code, 0)
        self.assertEqual(seen["ack"], ack(0))
        self.assertGreaterEqual(seen["rb"], window * (block + 4))
        self.assertEqual(seen["last"], ack(1))
        self.assertEqual(read_file(path), b"tail")

    def test_get_short_block_out_of_order_does_not_end_the_file(self):
        # Block 2 is lost; the short block 3 arrives first. It is neither
        # acknowledged nor taken as the end: the file is complete only when
        # block 2 came again and then block 3.
        def lost_then_short(s):
            s.request()
            s.send(data(1, BLOCK))
            assert s.expect() == ack(1)
            s.send(data(3, b"tail"))
            assert s.expect(0.4) is None, "the out-of-order short block was answered"
            s.send(data(2, BLOCK))
            assert s.expect() == ack(2)
            s.send(data(3, b"tail"))
            assert s.expect() == ack(3)

        path = self.local("gap.bin")
        code, server = self.call(lost_then_short, "-t2", "GET f " + path)
        self.assertEqual(code, 0)
        self.assertEqual(read_file(path), BLOCK + BLOCK + b"tail")
        self.assertEqual(self.client.tsize(), (1, 1028))

        def lost_and_never_repaired(s):
            s.request()
            s.send(data(1, BLOCK))
            s.expect()
            s.send(data(3, b"tail"))
            for _ in range(10):
                if s.expect(1.5) is None:
                    break

        code, server = self.call(lost_and_never_repaired, "-r1 -t1 -o", "GET f " + path)
        self.assertEqual(code, 8, "a file with a hole is not finished")
        self.assertEqual(server.received, [ack(1)] * 3, "only block 1 is ever acknowledged")

    def test_block_zero_before_32768_fails(self):
        def early_zero(s):
            s.request()
            s.send(data(1, BLOCK))
            s.expect()
            s.send(data(0, BLOCK))
            assert s.expect(0.3) is None

        code, _ = self.call(early_zero, "", "GET f " + self.local("zero.bin"))
        self.assertEqual(code, 8)
        self.assertEqual(self.client.tsize(), (-1, 0))

    def test_silent_server_and_retry_counts(self):
        path = self.local("silent.bin")
        code, server = self.call(lambda s: s.count_requests(1.0), "-r3 -t0", "GET f " + path)
        self.assertEqual(code, 6)
        self.assertEqual(len(server.requests), 5, "-r3: the request goes out 3 + 2 times")
        self.assertEqual(os.listdir(self.dir), [], "code 6 leaves no local file of a GET")

        started = time.monotonic()
        code, server = self.call(lambda s: s.count_requests(4.0), "-r1 -t1", "GET f " + path)
        elapsed = time.monotonic() - started
        self.assertEqual(code, 6)
        self.assertEqual(len(server.requests), 3)
        self.assertTrue(2.5 < elapsed < 4.5, elapsed)

        code, server = self.call(silent_after_first_block, "-r2 -t1", "GET f " + path)
        self.assertEqual(code, 8)
        self.assertEqual(server.received, [ack(1)] * 4)
        self.assertEqual(self.client.tsize(), (0, 512), "gave up: not a failure, bytes so far")
        self.assertFalse(os.path.exists(path), "no partial file stays")

        def answers_the_retransmission(s):
            s.request()
            s.send(data(1, BLOCK))
            assert s.expect() == ack(1)
            assert s.expect(2.5) == ack(1)
            s.send(data(2, b""))
            assert s.expect() == ack(2)

        code, _ = self.call(answers_the_retransmission, "-o -r2 -t1", "GET f " + path)
        self.assertEqual(code, 0)
        self.assertEqual(read_file(path), BLOCK)

    def test_unresolvable_host(self):
        path = self.local("nohost.bin")
        self.assertEqual(self.client.run("%s GET f %s" % (UNRESOLVABLE_HOST, path)), 6)
        self.assertFalse(os.path.exists(path))
        up = self.local("up.bin", b"stays")
        self.assertEqual(self.client.run("%s PUT f %s" % (UNRESOLVABLE_HOST, up)), 6)
        self.assertEqual(read_file(up), b"stays")
        # A device as the local file is written to but never deleted.
        device = self.local("null")
        try:
            os.mknod(device, stat.S_IFCHR | 0o666, os.makedev(1, 3))
        except OSError:
            return
        self.assertEqual(self.client.run("-o %s GET f %s" % (UNRESOLVABLE_HOST, device)), 6)
        self.assertTrue(stat.S_ISCHR(os.stat(device).st_mode))

    def test_oack_to_a_request_without_options(self):
        def unasked_oack(s):
            s.request()
            s.send(oack_bytes(("tsize", "5")))

        code, server = self.call(unasked_oack, "-s", "GET f " + self.local("o.bin"))
        self.assertEqual(code, 8)
        self.assertEqual(parse_request(server.requests[0])[3], [])

    def test_netascii_translation_on_the_wire(self):
        # CR LF split across the two blocks; a 0x1A is plain data when writing.
        first = b"x" * 510 + b"\r\n"
        second = b"\ny\r\x1a\nz"

        def text_read_server(s):
            s.request()
            s.send(data(1, first))
            s.expect()
            s.send(data(2, second))
            s.expect()

        path = self.local("text.txt")
        code, _ = self.call(text_read_server, "-a", "GET f " + path)
        self.assertEqual(code, 0)
        self.assertEqual(read_file(path), stored_by_orvanel(first + second))
        self.assertEqual(self.client.tsize(), (1, len(first + second)))

        # CR LF across a 512-byte block and across the 64 KiB file buffer,
        # lone CRs, CR CR LF, and data after the 0x1A that must not be sent.
        content = (b"a" * 511 + b"\r\n" + b"b" * 65020 + b"\r\n" + b"lone\rcr\r\r\nend\r\n" +
                   b"\x1a" + b"never sent\r\n")
        wire = []

        def text_write_server(s):
            s.request()
            s.send(ack(0))
            for n in range(1, 1000):
                packet = s.expect()
                assert opcode_of(packet) == DATA and block_of(packet) == n
                wire.append(packet[4:])
                s.send(ack(n))
                if len(packet) < 516:
                    return

        up = self.local("up.txt", content)
        code, _ = self.call(text_write_server, "-a -s", "PUT f " + up)
        self.assertEqual(code, 0)
        self.assertEqual(b"".join(wire), sent_by_orvanel(content))
        self.assertEqual(self.client.tsize(), (1, len(sent_by_orvanel(content))))

    def test_packets_from_another_port_are_ignored(self):
        def stray(s):
            s.request()
            s.send(data(1, BLOCK))
            s.expect()
            s.send(data(2, b"EVIL"), via=s.listen)
            s.send(data(2, b"good"))
            s.expect()
            assert s.expect(0.3) is None

        path = self.local("stray.bin")
        code, server = self.call(stray, "", "GET f " + path)
        self.assertEqual(code, 0)
        self.assertEqual(read_file(path), BLOCK + b"good")
        self.assertEqual(server.received, [ack(1), ack(2)])

    def test_settings_do_not_carry_over_to_the_next_call(self):
        path = self.local("carry.bin", b"precious")
        code, server = self.call(short_file, "-s -o", "GET f " + path)
        self.assertEqual(code, 0)
        self.assertEqual(parse_request(server.requests[0])[3], [])
        self.assertEqual(read_file(path), SHORT, "-o replaces an existing local file")
        # Neither -o nor -s holds for the next call: the existing file stops
        # it before any request, untouched.
        before = os.stat(path).st_mtime_ns
        code, server = self.call(lambda s: s.count_requests(0.3), "", "GET f " + path)
        self.assertEqual(code, 4)
        self.assertEqual(server.requests, [])
        self.assertEqual(read_file(path), SHORT)
        self.assertEqual(os.stat(path).st_mtime_ns, before)
        code, server = self.call(short_file, "", "GET f " + self.local("carry2.bin"))
        self.assertEqual(code, 0)
        self.assertEqual(parse_request(server.requests[0])[3], [("tsize", "0")])
        # Nor does the port: without a suffix the request goes to port 69,
        # not to the port of the call before.
        server = ScriptedServer(lambda s: s.count_requests(0.5), port=server.port)
        self.client.run("-r0 -t0 127.0.0.1 GET f " + self.local("carry3.bin"))
        server.finish()
        self.assertEqual(server.requests, [])

    def test_windowed_get_acknowledges_windows_and_gaps_once(self):
        # Window 4 at 512 bytes: only every fourth block and the last are
        # acknowledged; a lost block is answered at once with the last one in
        # order, once for that place however many blocks follow it.
        blocks = [bytes([i]) * 512 for i in range(1, 10)] + [b"tail"]

        def lossy(s):
            req = s.request()
            assert ("windowsize", "4") in parse_request(req)[3], parse_request(req)
            s.send(oack_bytes(("windowsize", "4")))
            assert s.expect() == ack(0)
            for b in (1, 2, 3, 4):
                s.send(data(b, blocks[b - 1]))
            assert s.expect() == ack(4)
            assert s.expect(0.3) is None, "ACK inside a window"
            for b in (5, 7, 8):  # block 6 lost
                s.send(data(b, blocks[b - 1]))
            assert s.expect() == ack(5)
            assert s.expect(0.3) is None, "the gap was answered twice"
            for b in (6, 7, 8, 9):
                s.send(data(b, blocks[b - 1]))
            assert s.expect() == ack(9)
            s.send(data(10, blocks[9]))
            assert s.expect() == ack(10)

        path = self.local("win.bin")
        code, server = self.call(lossy, "-w4", "GET f " + path)
        self.assertEqual(code, 0)
        self.assertEqual(read_file(path), b"".join(blocks))
        self.assertEqual(server.received, [ack(n) for n in (0, 4, 5, 9, 10)])

    def test_windowed_get_takes_the_window_the_server_grants(self):
        # Asked for 8, granted 2: every second block is acknowledged. A grant
        # above what was asked for is refused with error 8.
        def granted_two(s):
            s.request()
            s.send(oack_bytes(("windowsize", "2")))
            s.expect()
            for b in (1, 2, 3):
                s.send(data(b, BLOCK))
            s.expect()
            s.send(data(4, b"x"))
            s.expect()

        path = self.local("two.bin")
        code, server = self.call(granted_two, "-w8", "GET f " + path)
        self.assertEqual(code, 0)
        self.assertEqual(server.received, [ack(n) for n in (0, 2, 4)])
        self.assertEqual(read_file(path), BLOCK * 3 + b"x")

        def granted_more(s):
            s.request()
            s.send(oack_bytes(("windowsize", "9")))
            s.expect()

        code, server = self.call(granted_more, "-w8", "GET f " + self.local("more.bin"))
        self.assertEqual(code, 8)
        self.assertEqual(opcode_of(server.received[0]), 5)
        self.assertEqual(server.received[0][2:4], b"\x00\x08")

    def test_windowed_put_moves_on_mid_window_acks_and_resends_only_on_time_out(self):
        content = bytes(i % 249 for i in range(10 * 512 + 100))  # blocks 1..11
        sent = []

        def script(s):
            s.request()
            s.send(oack_bytes(("windowsize", "4")))

            def take(count):
                got = []
                for _ in range(count):
                    p = s.expect(3)
                    assert p is not None, "window incomplete after %s" % got
                    got.append(block_of(p))
                sent.extend(got)
                return got

            assert take(4) == [1, 2, 3, 4]
            s.send(ack(2))  # blocks 3 and 4 lost: the window starts at 3
            assert take(4) == [3, 4, 5, 6]
            s.send(ack(2))  # a duplicate ACK: nothing may answer it
            assert s.expect(0.5) is None, "a duplicate ACK was answered"
            s.send(ack(6))
            assert take(4) == [7, 8, 9, 10]
            # Silence: the client's time-out sends the same window once more.
            assert take(4) == [7, 8, 9, 10]
            s.send(ack(10))
            assert take(1) == [11]
            s.send(ack(11))

        up = self.local("wput.bin", content)
        code, server = self.call(script, "-w4 -t1", "PUT f " + up)
        self.assertEqual(code, 0, server.received)
        self.assertEqual(sent, [1, 2, 3, 4, 3, 4, 5, 6, 7, 8, 9, 10, 7, 8, 9, 10, 11])
        by_block = {}
        for p in server.received:
            by_block.setdefault(block_of(p), p[4:])
        self.assertEqual(b"".join(by_block[b] for b in sorted(by_block)), content)
        self.assertEqual(self.client.tsize(), (1, len(content)))

    def test_first_answer_only_from_the_server_address(self):
        # A third host (127.0.0.1) races DATA 1 to the client's port before
        # the server (127.0.0.2) answers: it gets ERROR 5, and the file is
        # the server's, which answers from a port other than the one asked.
        third = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        third.bind(("127.0.0.1", 0))
        third.settimeout(3)
        self.addCleanup(third.close)
        heard = []

        def raced(s):
            s.request()
            third.sendto(data(1, b"forged by a third host"), s.client)
            heard.append(third.recvfrom(100))
            s.send(data(1, BLOCK))
            assert s.expect() == ack(1)
            s.send(data(2, b"real"))
            assert s.expect() == ack(2)

        server = ScriptedServer(raced, address="127.0.0.2")
        done = self.cli(server, "-t2", "GET", "f")
        self.assertEqual(read_file(self.local("f")), BLOCK + b"real", done.stdout)
        self.assertEqual((done.returncode, done.stdout), (0, "pelican-tftp: transfer complete, 516 bytes\n"))
        server.finish()
        self.assertEqual(heard[0][0], error_bytes(ERR_UNKNOWN_TRANSFER, "Unknown transfer ID"))
        self.assertEqual(heard[0][1], server.client)

    def test_local_name_is_the_last_component_of_the_remote_name(self):
        outside = scratch_directory(self.addCleanup, "pelican_outside_")
        os.mkdir(self.local("sub"))
        for remote, name, beyond in [(outside + "/target.txt", "target.txt", outside + "/target.txt"),
                                     ("sub/x", "x", self.local("sub/x")),
                                     ("sub\\y", "y", None)]:
            with self.subTest(remote=remote):
                server = ScriptedServer(short_file)
                done = self.cli(server, "GET", remote)
                server.finish()
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertFalse(beyond and os.path.exists(beyond), "written where the name leads")
                self.assertEqual(read_file(self.local(name)), SHORT)
                self.assertEqual(parse_request(server.requests[0])[1], remote, "the request keeps the name")
        self.assertEqual(sorted(os.listdir(self.dir)), ["sub", "target.txt", "x", "y"])

        for remote in ("sub/..", "sub/", ".", "a\\.."):
            with self.subTest(remote=remote):
                server = ScriptedServer(lambda s: s.count_requests(0.3))
                done = self.cli(server, "GET", remote)
                server.finish()
                self.assertEqual(done.returncode, 2)
                self.assertEqual(server.requests, [])

    def test_failed_get_leaves_the_old_file_and_nothing_beside_it(self):
        old = self.local("old.bin", b"old contents")
        code, _ = self.call(refuse_not_found, "-o", "GET f " + old)
        self.assertEqual(code, 8)
        self.assertEqual(read_file(old), b"old contents")
        self.assertEqual(os.listdir(self.dir), ["old.bin"])

        # Cut off after a block (a new name: test_silent_server_and_retry_counts).
        code, _ = self.call(silent_after_first_block, "-r1 -t1 -o", "GET f " + old)
        self.assertEqual(code, 8)
        self.assertEqual(read_file(old), b"old contents")
        self.assertEqual(os.listdir(self.dir), ["old.bin"])

    def test_get_fills_a_private_file_and_renames_it_when_complete(self):
        seen = []

        def watched(s):
            s.request()
            s.send(data(1, BLOCK))
            assert s.expect() == ack(1)
            for name in os.listdir(self.dir):
                kept = read_file(self.local(name)) if name == "t.bin" else None
                seen.append((name, stat.S_IMODE(os.stat(self.local(name)).st_mode), kept))
            s.send(data(2, b"end"))
            assert s.expect() == ack(2)

        target = self.local("t.bin", b"before")
        os.chmod(target, 0o644)
        old_mask = os.umask(0o027)
        try:
            code, _ = self.call(watched, "-o", "GET f " + target)
        finally:
            os.umask(old_mask)
        self.assertEqual(code, 0)
        self.assertEqual(len(seen), 2, seen)
        self.assertIn(("t.bin", 0o644, b"before"), seen, "the target stays while the file fills")
        filling = [entry for entry in seen if entry[0] != "t.bin"][0]
        self.assertEqual(filling[1], 0o600, "only the owner may read the file that fills")
        self.assertEqual(os.listdir(self.dir), ["t.bin"])
        self.assertEqual(read_file(target), BLOCK + b"end")
        self.assertEqual(stat.S_IMODE(os.stat(target).st_mode), 0o640, "0666 less the umask")


if __name__ == "__main__":
    main(__name__)
