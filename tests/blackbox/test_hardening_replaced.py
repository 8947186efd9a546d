"""Files that change under a reader: an upload to the name being read through
a mapped view (also spelt ./name and //name), a file rewritten in place or
cut short by an administrator during a mapped or a stream read. The server
must survive, and a reader either gets the file it opened, whole, or an
ERROR; never a "completed" transfer with other bytes."""
import os
import re
import time
import unittest

from blackbox_support import (
    COMPLETED, BlackBoxCase, Client, ack, linux_only, pattern, read_file, result_fields)
from stepwise import StepReader, StepWriter
import test_multicast as mc

ORIGINAL = pattern(200 * 1024, seed=101)  # 400 blocks: far past the first page
NEW = pattern(10 * 1024 + 77, seed=102)
WRITER = "127.0.0.2"


# Windows renames nothing over a file that is open for reading, so there
# the upload fails and the file being read stays as it is.
UPLOAD_OVER_OPEN = "Windows does not rename over a file that is open"


class UploadOverMappedRead:
    """Client A reads mc.bin through a mapped view (MMF 3), client B uploads
    a shorter file under another spelling of the name, then A goes on."""

    settings = {"MMF": 3, "Timeout": 1, "Retransmit": 3}
    upload_name = None

    def test_reader_keeps_its_file_and_the_upload_lands(self):
        path = self.server.put_file("mc.bin", ORIGINAL)
        start = self.mark()
        reader = StepReader(self.client(), "mc.bin")
        reader.run(blocks=10)
        self.assertEqual(reader.blocks, 10, "read did not start: %s" % (reader.error,))
        # A second reader of the same file meanwhile, at its first block.
        other = StepReader(self.client(), "mc.bin")
        other.run(blocks=1)
        self.assertEqual(other.blocks, 1, "second read did not start: %s" % (other.error,))
        writer = StepWriter(self.client(WRITER), self.upload_name, NEW)
        self.assertEqual(writer.first, ack(0))
        self.assertTrue(writer.run(), "upload stalled at block %d: %r" % (writer.next, writer.last_answer))
        # The name as spelt may stand in the line: find it by its client.
        line = self.wait_line(r"^\S+ \S+ .{8} %s +Put/octet " % re.escape(WRITER), start)
        self.assertRegex(result_fields(line)[0], COMPLETED)
        self.assertEqual(read_file(path), NEW)
        # A reader that starts once the upload has completed gets the new
        # contents, also while the old readers still run.
        got, _, _ = self.fetch(self.client(), "mc.bin")
        self.assertEqual(got, NEW)
        for r in (other, reader):
            r.run(timeout=3.0)
            self.assertIsNone(self.server.proc.poll(), "server died (exit %s)" % self.server.proc.returncode)
            self.assertEqual(r.outcome, "done", "reader ended with %s %s" % (r.outcome, r.error))
            self.assertTrue(bytes(r.received) == ORIGINAL,
                            "reader got %d bytes, not the original file" % len(r.received))


@linux_only(UPLOAD_OVER_OPEN)
class UploadAsSameName(UploadOverMappedRead, BlackBoxCase):
    upload_name = "mc.bin"


@linux_only(UPLOAD_OVER_OPEN)
class UploadAsDotSlash(UploadOverMappedRead, BlackBoxCase):
    upload_name = "./mc.bin"


@linux_only(UPLOAD_OVER_OPEN)
class UploadAsDoubleSlash(UploadOverMappedRead, BlackBoxCase):
    upload_name = "//mc.bin"


def rewrite(path, content):
    """Rewrites a file in place, as cp does: cut to zero, then write."""
    with open(path, "wb") as f:
        f.write(content)


class ChangedInPlace:
    """The administrator rewrites the served file in place, or cuts it short,
    while a read runs: the read finds other or fewer bytes than the file had,
    which is a reading error, not the end. The read must end with ERROR 0 and
    an "Error" result line."""

    settings = {"Timeout": 1, "Retransmit": 3}

    def test_change_during_read_ends_it_with_an_error(self):
        for name, options, change, after in (
                ("boot.img", None, lambda path: rewrite(path, NEW[:1000]), NEW[:1000]),
                ("cut.bin", {"blksize": 1024}, lambda path: os.truncate(path, 3000), ORIGINAL[:3000])):
            with self.subTest(name=name):
                path = self.server.put_file(name, ORIGINAL)
                start = self.mark()
                reader = StepReader(self.client(), name, options=options)
                reader.run(blocks=20)
                self.assertEqual(reader.blocks, 20)
                change(path)
                reader.run(timeout=4.0)
                self.assertIsNone(self.server.proc.poll(), "server died (exit %s)" % self.server.proc.returncode)
                self.assertEqual(reader.outcome, "error", "read ended %s after %d bytes instead of an ERROR"
                                 % (reader.outcome, len(reader.received)))
                self.assertEqual(reader.error[0], 0, reader.error)
                status, _, label, rest = self.wait_result(path, start)
                self.assertEqual((status, label, rest), (" Error  ", "Get/octet ", path))
                self.assertEqual([l for l in self.result_lines(path, start) if l[20:28].strip().endswith("s")], [],
                                 "a completed result line for the broken read")
                time.sleep(0.2)
                got, _, _ = self.fetch(self.client(), name)
                self.assertEqual(got, after)


# Windows refuses to cut a file that is mapped; under Wine the test's own
# Linux process would cut it beneath Wine, which Windows never lets happen.
@linux_only("Windows does not cut a mapped file")
class ChangedUnderMappedRead(ChangedInPlace, BlackBoxCase):
    settings = {"MMF": 3, "Timeout": 1, "Retransmit": 3}


class ChangedUnderStreamRead(ChangedInPlace, BlackBoxCase):
    settings = {"MMF": 0, "Timeout": 1, "Retransmit": 3}


class UploadOverMulticastRead(mc.MulticastCase):
    """Default settings: a multicast read is mapped. Its master holds back its
    ACKs while another client uploads to ./mc.bin, then goes on."""

    def test_master_keeps_its_file_and_the_upload_lands(self):
        path = self.server.put_file("mc.bin", ORIGINAL)
        start = self.mark()
        master = self.client("127.0.0.2")
        master.hold_after = 10
        master.request("mc.bin")
        self.assertTrue(mc.pump([master], lambda: master.contiguous_end() >= 10, 5),
                        "the group read did not start")
        master.hold = True
        uploader = Client(self.server.port)
        uploader.sock.close()
        uploader.sock = self.ns.socket()
        uploader.sock.bind(("127.0.0.3", 0))
        self.addCleanup(uploader.close)
        writer = StepWriter(uploader, "./mc.bin", NEW)
        self.assertEqual(writer.first, ack(0))
        self.assertTrue(writer.run(), "upload stalled at block %d: %r" % (writer.next, writer.last_answer))
        self.assertRegex(self.result_of("127.0.0.3", start), COMPLETED)
        master.hold = False
        master.hold_after = None
        master.answer()
        mc.pump([master], lambda: master.finished or self.server.proc.poll() is not None, 20)
        self.assertIsNone(self.server.proc.poll(), "server died (exit %s)" % self.server.proc.returncode)
        self.assertTrue(master.complete(), "master holds %d blocks" % len(master.blocks))
        self.assertTrue(master.content() == ORIGINAL, "the master got other bytes than the file it opened")
        self.assertRegex(self.result_of("127.0.0.2", start), COMPLETED)
        self.assertEqual(read_file(path), NEW)


if __name__ == "__main__":
    unittest.main(verbosity=2)
