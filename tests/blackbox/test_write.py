"""Write transfers: ACK 0 or OACK, duplicates, blocks from the future, netascii,
oversized packets, a client's ERROR and a full disk."""
import os
import time
import unittest

from blackbox_support import (
    COMPLETED, ERR_DISK_FULL, ERR_ILLEGAL, BlackBoxCase, ack, data, error_bytes, oack_bytes, pattern, read_file,
    upload_leftovers, wait_until)


class Uploads(BlackBoxCase):
    settings = {"Timeout": 1, "Retransmit": 2}

    def send_block(self, c, number, payload, answer=True, last_ack=None):
        c.send(data(number, payload))
        if answer:
            self.assertEqual(self.expect(c)[0], ack(number))
        elif last_ack is None:
            self.expect_nothing(c, 0.3)
        else:
            # Nothing answers the block; only the time-out may repeat the last ACK.
            t0 = time.monotonic()
            while time.monotonic() - t0 < 0.3:
                packet, _ = c.receive(0.3 - (time.monotonic() - t0))
                if packet is not None:
                    self.assertEqual(packet, ack(last_ack))

    def test_without_options_ack_0_from_data_port(self):
        payload = pattern(1024, seed=1)
        path = self.server.path("plain.bin")
        start = self.mark()
        c = self.begin_write("plain.bin")
        self.send_block(c, 1, payload[:512])
        self.send_block(c, 2, payload[512:])
        # 1024 bytes need an empty third block to end.
        time.sleep(0.2)
        self.assertEqual(self.result_lines(path, start), [])
        self.send_block(c, 3, b"")
        status, address, label, rest = self.wait_result(path, start)
        self.assertRegex(status, COMPLETED)
        self.assertEqual((address, label, rest), ("127.0.0.1      ", "Put/octet ", path))
        self.assertEqual(read_file(path), payload)

    def test_duplicates_old_and_future_blocks(self):
        blocks = [pattern(512, seed=10 + i) for i in range(4)] + [b"end"]
        path = self.server.path("dup.bin")
        start = self.mark()
        c = self.begin_write("dup.bin")
        self.send_block(c, 1, blocks[0])
        # The block just accepted, again: acknowledged again, not written twice.
        self.send_block(c, 1, blocks[0])
        self.send_block(c, 2, blocks[1])
        # An old block with other contents: acknowledged, not written.
        self.send_block(c, 1, b"z" * 512)
        # Blocks from the future are neither acknowledged nor written, also
        # short ones: they do not end the upload.
        # They do not put off the time-out either, which may repeat ACK 2.
        self.send_block(c, 4, blocks[3], answer=False, last_ack=2)
        self.send_block(c, 5, b"short future", answer=False, last_ack=2)
        self.send_block(c, 65535, b"far future", answer=False, last_ack=2)
        # Other opcodes and runts are ignored.
        c.send(ack(2))
        c.send(b"\x00\x06blksize\x00512\x00")
        c.send(b"\x00\x03\x00")
        c.send(b"\x00")
        self.send_block(c, 6, b"", answer=False, last_ack=2)
        self.send_block(c, 3, blocks[2])
        self.send_block(c, 4, blocks[3])
        self.send_block(c, 5, blocks[4])
        self.assertRegex(self.wait_result(path, start)[0], COMPLETED)
        self.assertEqual(read_file(path), b"".join(blocks))
        self.wait_line(r"^\S+ \S+ TFTP Put Name %s Mode octet$" % path, start)

    def test_silence_after_a_block_resends_its_ack(self):
        path = self.server.path("quiet.bin")
        start = self.mark()
        c = self.begin_write("quiet.bin", options={"blksize": 512}, first=oack_bytes(("blksize", 512)))
        self.send_block(c, 1, b"q" * 512)
        # Retransmit 2: ACK 1 three times more, then the upload times out;
        # the part received is dropped, and nothing takes the name.
        t0 = time.monotonic()
        for _ in range(3):
            packet, _ = c.receive(3.0)
            self.assertEqual(packet, ack(1))
        self.assertEqual(self.wait_result(path, start, 3)[0], " Timeout")
        self.assertGreater(time.monotonic() - t0, 3.5)
        self.expect_nothing(c, 0.2)
        self.assertIsNone(read_file(path))
        self.assertEqual(upload_leftovers(self.server.root), [])

    def test_netascii_upload_writes_cr_lf(self):
        path = self.server.path("text.txt")
        start = self.mark()
        c = self.begin_write("text.txt", "netascii")
        self.send_block(c, 1, b"a\r\nb\nc\n\nd\r")
        self.assertEqual(self.wait_result(path, start)[2], "Put/ascii ")
        self.assertEqual(read_file(path), b"a\r\r\nb\r\nc\r\n\r\nd\r")
        # Across blocks: a LF that begins a block.
        first = b"x" * 511 + b"\r"
        c = self.begin_write("text2.txt", "NetAscii")
        self.send_block(c, 1, first)
        self.send_block(c, 2, b"\ny\n")
        self.assertTrue(wait_until(lambda: read_file(self.server.path("text2.txt"))
                                   == b"x" * 511 + b"\r\r\ny\r\n", 3))

    def test_existing_file_is_replaced(self):
        path = self.server.put_file("old.bin", b"o" * 5000)
        c = self.begin_write("old.bin")
        self.send_block(c, 1, b"new")
        self.assertTrue(wait_until(lambda: read_file(path) == b"new", 3))

    def test_oversized_data_is_refused_and_leaves_the_name_as_it_was(self):
        self.server.put_file("over1024.bin", b"old contents")
        for options, size in ((None, 512), ({"blksize": 1024}, 1024)):
            with self.subTest(size=size):
                name = "over%d.bin" % size
                path = self.server.path(name)
                before = read_file(path)
                start = self.mark()
                c = self.begin_write(name, options=options,
                               first=oack_bytes(("blksize", size)) if options else ack(0))
                self.send_block(c, 1, b"a" * size)
                c.send(data(2, b"b" * (size + 1)))
                self.assertEqual(self.expect(c)[0], error_bytes(ERR_ILLEGAL, "Bad tftp packet"))
                status, _, label, rest = self.wait_result(path, start)
                self.assertEqual((status, label, rest), (" Error  ", "Put/octet ", path))
                self.wait_line(r"^\S+ \S+ TFTP  write failed on block 2: block larger than the block size$", start)
                self.expect_nothing(c, 0.3)
                self.assertEqual(read_file(path), before)
                self.assertEqual(upload_leftovers(self.server.root), [])

    def test_runts_are_ignored(self):
        path = self.server.path("tiny.bin")
        start = self.mark()
        c = self.begin_write("tiny.bin")
        for runt in (b"\x00\x03\x00", b"\x00", b""):
            c.send(runt)
        self.expect_nothing(c, 0.3)
        self.send_block(c, 1, b"t" * 512)
        c.send(b"\x00\x03")
        self.send_block(c, 2, b"end")
        self.assertRegex(self.wait_result(path, start)[0], COMPLETED)
        self.assertEqual(read_file(path), b"t" * 512 + b"end")

    def test_client_error_aborts(self):
        path = self.server.path("abort.bin")
        start = self.mark()
        c = self.begin_write("abort.bin")
        self.send_block(c, 1, b"k" * 512)
        message = "disk on fire " * 20
        c.send(error_bytes(3, message))
        status, _, label, rest = self.wait_result(path, start)
        self.assertEqual((status, label), (" Abort  ", "Put/octet "))
        self.assertEqual(rest, "3 " + message[:116] + " " + path)
        self.expect_nothing(c, 1.2)
        self.assertIsNone(read_file(path), "an aborted upload left a file")
        self.assertEqual(upload_leftovers(self.server.root), [])


class DiskFull(BlackBoxCase):
    """harrier under a file size limit: writes beyond it fail like a full disk."""
    LIMIT = 200000
    wrapper = ["prlimit", "--fsize=%d" % LIMIT]
    settings = {"Timeout": 1, "Retransmit": 2}

    def upload(self, name, payload, block_size=512):
        """Sends the payload; returns the number of the first block not
        acknowledged and the packet that came instead (None when all were)."""
        options = {"blksize": block_size} if block_size != 512 else None
        c = self.begin_write(name, options=options, first=oack_bytes(("blksize", block_size)) if options else None)
        count = len(payload) // block_size + 1
        for i in range(count):
            c.send(data(i + 1, payload[i * block_size:(i + 1) * block_size]))
            answer, source = self.expect(c)
            if answer != ack(i + 1):
                self.assertEqual(source, c.peer, "refusal not from the data port")
                self.expect_nothing(c, 1.2)
                return i + 1, answer
        return None, None

    def test_small_upload_fits(self):
        payload = pattern(5000, seed=31)
        path = self.server.path("fits.bin")
        start = self.mark()
        self.assertEqual(self.upload("fits.bin", payload), (None, None))
        self.assertRegex(self.wait_result(path, start)[0], COMPLETED)
        self.assertEqual(read_file(path), payload)

    def test_write_fails_past_the_limit(self):
        # Mid-way; at the last block, whose data past the limit is still in
        # the stream's buffer when the short last block arrives: the failure
        # must be found before the client is told that the upload arrived;
        # and with large blocks. The last column: the latest block that may fail.
        mid, last, large = 2 * self.LIMIT, self.LIMIT + 100, self.LIMIT + 30000
        for name, total, block_size, latest in (("mid.bin", mid, 512, mid // 512),
                                                ("last.bin", last, 512, last // 512 + 1),
                                                ("large.bin", large, 8192, large // 8192 + 1)):
            with self.subTest(name=name):
                path = self.server.path(name)
                start = self.mark()
                block, answer = self.upload(name, pattern(total, seed=total), block_size)
                self.assertEqual(answer, error_bytes(ERR_DISK_FULL, "Disk full or allocation exceeded"))
                self.assertLessEqual(block, latest)
                status, _, label, rest = self.wait_result(path, start)
                self.assertEqual((status, label, rest), (" Error  ", "Put/octet ", path))
                self.assertEqual([l for l in self.result_lines(path, start) if l[20:28].strip().endswith("s")], [])
                # The part that fitted is dropped: no file under the name, no new file.
                self.assertFalse(os.path.exists(path))
                self.assertEqual(upload_leftovers(self.server.root), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
