"""Uploads that must not damage the file they replace: two uploads to one
name at once, a reader during an upload, an upload that times out or is
aborted (an oversized DATA and runts: test_write.py); the mode and owner of
the file written (never executable). New files a crashed server left behind
are removed at the next start, and their names are no client's.

An upload writes a new file beside the old one and puts it in place only
when its last block is on disk, so the old file stays whole until then and
a failed upload leaves nothing behind."""
import fcntl
import os
import pwd
import stat
import unittest

from blackbox_support import (
    COMPLETED, ERR_ILLEGAL, ERR_UNDEFINED, RRQ, WRQ, BlackBoxCase, Server, ack, drops_to_service_user,
    error_bytes, give_to_server, linux_only, oack_bytes, pattern, read_file, request, service_user,
    upload_leftovers, wait_until)
from stepwise import StepReader, StepWriter
from common import scratch_directory  # noqa: E402

OLD = pattern(1 << 20, seed=401)


def size_of(content):
    return None if content is None else len(content)


class Uploads(BlackBoxCase):
    settings = {"Timeout": 1, "Retransmit": 1}

    def listing(self):
        return sorted(os.listdir(self.server.root))

    def assert_nothing_left(self, before):
        self.assertTrue(wait_until(lambda: self.listing() == before, 2),
                        "files left behind: %s" % sorted(set(self.listing()) - set(before)))

    def test_two_uploads_to_one_name_the_last_one_wins_whole(self):
        contents = {"A": b"A" * (3 << 20), "B": b"B" * (1 << 20)}
        path = self.server.put_file("both.bin", OLD)
        before = self.listing()
        start = self.mark()
        writers = {}
        for key, content in contents.items():
            writers[key] = StepWriter(self.client(), "both.bin", content, options={"blksize": 1428})
            self.assertEqual(writers[key].first, oack_bytes(("blksize", 1428)), key)
        finished = []
        for _ in range(len(contents["A"]) // 1428 + 2):
            running = [k for k, w in writers.items() if not w.finished()]
            if not running:
                break
            for key in running:
                writers[key].send_next()
            for key in running:
                w = writers[key]
                self.assertTrue(w.take_ack(), "upload %s got no ACK for block %d: %r" % (key, w.next, w.last_answer))
                if w.finished():
                    finished.append(key)
        self.assertEqual(finished, ["B", "A"])
        results = self.wait_results(path, start, 2)
        for line in results:
            self.assertRegex(line[20:28], COMPLETED)
        got = read_file(path)
        self.assertEqual(len(got), len(contents["A"]), "the file is no single upload: %d bytes" % len(got))
        self.assertTrue(got == contents["A"], "the file mixes the two uploads: %d bytes of A, then %d of B, then %d of A"
                        % (got.index(b"B") if b"B" in got else len(got), got.count(b"B"),
                           len(got) - got.rfind(b"B") - 1 if b"B" in got else 0))
        self.assert_nothing_left(before)

    def test_silent_upload_leaves_the_old_file_alone(self):
        path = self.server.put_file("silent.bin", OLD)
        before = self.listing()
        start = self.mark()
        self.begin_write("silent.bin")
        self.assertEqual(self.wait_result(path, start, timeout=8)[0], " Timeout")
        after = read_file(path)
        self.assertTrue(after == OLD, "a bare WRQ changed the old file (%s bytes now)" % size_of(after))
        self.assert_nothing_left(before)

    def test_aborted_upload_leaves_the_old_file_alone(self):
        path = self.server.put_file("abort.bin", OLD)
        before = self.listing()
        start = self.mark()
        writer = StepWriter(self.client(), "abort.bin", pattern(100000, seed=402))
        self.assertTrue(writer.run(blocks=50))
        writer.client.send(error_bytes(ERR_UNDEFINED, "changed my mind"))
        self.assertEqual(self.wait_result(path, start)[0], " Abort  ")
        after = read_file(path)
        self.assertTrue(after == OLD, "an aborted upload changed the old file (%s bytes now)"
                        % size_of(after))
        self.assert_nothing_left(before)

    @linux_only("Unix permission bits and owners")
    def test_an_upload_never_leaves_an_executable_file(self):
        """A replaced file keeps its read and write bits only; the server
        (running as the service user, not root) owns what it wrote."""
        name, _, _ = service_user()
        owner = (os.geteuid(), os.getegid())
        if drops_to_service_user():
            owner = tuple(pwd.getpwnam(name)[2:4])
        for mode, kept in ((0o600, 0o600), (0o640, 0o640), (0o6755, 0o644), (0o4711, 0o600), (0o1777, 0o666)):
            with self.subTest(mode=oct(mode)):
                path = self.server.put_file("mode.bin", b"old")
                os.chmod(path, mode)
                start = self.mark()
                writer = StepWriter(self.client(), "mode.bin", b"#!/bin/sh\necho pwned\n")
                self.assertTrue(writer.run())
                self.assertRegex(self.wait_result(path, start)[0], COMPLETED)
                self.assertEqual(read_file(path), b"#!/bin/sh\necho pwned\n")
                st = os.stat(path)
                self.assertEqual(oct(stat.S_IMODE(st.st_mode)), oct(kept))
                self.assertEqual((st.st_uid, st.st_gid), owner)
                os.unlink(path)
        # A new name: 0644 less the server's umask (022 here).
        path = self.server.path("new.bin")
        start = self.mark()
        self.assertTrue(StepWriter(self.client(), "new.bin", b"new").run())
        self.assertRegex(self.wait_result(path, start)[0], COMPLETED)
        self.assertEqual(oct(stat.S_IMODE(os.stat(path).st_mode)), oct(0o644))


class ReadDuringUpload:
    """A reader that starts while an upload to its file runs gets the old
    file, whole; the upload then replaces it."""

    def test_reader_gets_the_old_file_whole(self):
        new = pattern(1 << 20, seed=406)
        path = self.server.put_file("busy.bin", OLD)
        start = self.mark()
        writer = StepWriter(self.client(), "busy.bin", new)
        self.assertTrue(writer.run(blocks=200))
        reader = StepReader(self.client(), "busy.bin", options={"blksize": 1024})
        reader.run()
        self.assertEqual(reader.outcome, "done", "read ended %s %s" % (reader.outcome, reader.error))
        self.assertTrue(bytes(reader.received) == OLD,
                        "reader got %d bytes, not the old file" % len(reader.received))
        self.assertTrue(writer.run())
        self.wait_results(path, start, 2)
        self.assertTrue(read_file(path) == new)


# The upload waits while the whole file is read: time-outs long enough for a
# slow sanitizer build.
class ReadDuringUploadStream(ReadDuringUpload, BlackBoxCase):
    settings = {"MMF": 0, "Timeout": 2, "Retransmit": 4}


class ReadDuringUploadDefault(ReadDuringUpload, BlackBoxCase):
    settings = {"Timeout": 2, "Retransmit": 4}


class ReadDuringUploadMapped(ReadDuringUpload, BlackBoxCase):
    settings = {"MMF": 3, "Timeout": 2, "Retransmit": 4}


@linux_only("links and locks planted with Linux calls")
class LeftoversAtStart(unittest.TestCase):
    """What a crashed server left: its new files, planted before a start."""

    def plant(self, path, content=b"partial"):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        return path

    def test_leftovers_go_links_and_other_names_stay(self):
        top = scratch_directory(self.addCleanup, "harrier-leftovers-")
        os.chmod(top, 0o755)
        root, prefix, outside = (os.path.join(top, n) for n in ("root", "prefix", "outside"))
        for d in (root, prefix, outside):
            os.makedirs(d)
            give_to_server(d)
        removed = [self.plant(os.path.join(root, ".tftp-upload-0badf00d")),
                   self.plant(os.path.join(root, "a", "b", ".tftp-upload-12345678")),
                   self.plant(os.path.join(prefix, "img", ".tftp-upload-ffffffff"))]
        kept = [self.plant(os.path.join(root, ".tftp-upload-0BADF00D")),   # not a name the server makes
                self.plant(os.path.join(root, ".tftp-upload-1234567")),
                self.plant(os.path.join(root, ".tftp-upload-123456789")),
                self.plant(os.path.join(root, "x.tftp-upload-12345678")),
                self.plant(os.path.join(root, "keep.bin")),
                self.plant(os.path.join(outside, ".tftp-upload-aaaaaaaa")),
                self.plant(os.path.join(outside, "target.bin"))]
        os.makedirs(os.path.join(root, ".tftp-upload-bbbbbbbb"))  # a directory of that name is no file
        kept.append(self.plant(os.path.join(root, ".tftp-upload-bbbbbbbb", "inside.bin")))
        # Links are neither followed nor entered, whatever their names.
        os.symlink(os.path.join(outside, "target.bin"), os.path.join(root, ".tftp-upload-cccccccc"))
        os.symlink(outside, os.path.join(root, "linked"))
        links = [os.path.join(root, ".tftp-upload-cccccccc"), os.path.join(root, "linked")]
        # One that a running upload of another server holds stays too.
        held = self.plant(os.path.join(root, ".tftp-upload-dddddddd"))
        holder = open(held, "rb")
        self.addCleanup(holder.close)
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        kept.append(held)

        server = Server(root=root, settings={"Prefix": prefix + "/"})
        self.addCleanup(server.close)
        # The search runs just after the port's "Ready" line, in one pass.
        wait_until(lambda: server.output().count("removed leftover upload file") >= len(removed), 10)
        out = server.output()
        for path in removed:
            self.assertFalse(os.path.lexists(path), path)
            self.assertIn(" removed leftover upload file %s\n" % path, out)
        self.assertEqual(out.count("removed leftover upload file"), len(removed), out)
        for path in kept:
            self.assertTrue(os.path.isfile(path), path)
        for path in links:
            self.assertTrue(os.path.islink(path), path)
        self.assertEqual(server.stop(), 0)

    def test_a_leftover_name_with_control_bytes_is_logged_escaped(self):
        server_root = scratch_directory(self.addCleanup, "harrier-leftovers-")
        os.chmod(server_root, 0o755)
        path = self.plant(os.path.join(server_root, "evil\x1b[2J\n", ".tftp-upload-00000001"))
        server = Server(root=server_root)
        self.addCleanup(server.close)
        server.wait_for(r"removed leftover upload file", 10)
        self.assertFalse(os.path.exists(path))
        self.assertIn("evil\\x1b[2J\\x0a/.tftp-upload-00000001\n", server.output())
        self.assertEqual(server.stop(), 0)


class ReservedNames(BlackBoxCase):
    """The new files' names are the server's: a client may neither upload
    one (to have the next start remove it, or to race a running upload) nor
    read one (another client's upload before it is complete)."""

    settings = {"Timeout": 1, "Retransmit": 1}

    def test_reads_and_uploads_of_such_names_are_refused(self):
        # The sweep of leftovers at start ends before the first request is
        # answered; a file planted before then could be swept (seen under Wine).
        self.assertRefused(request(RRQ, ".tftp-upload-1"), ERR_ILLEGAL, "Access denied")
        self.server.put_file("sub/.tftp-upload-0badf00d", b"someone's upload")
        for opcode in (WRQ, RRQ):
            for name in (".tftp-upload-0badf00d", "sub/.tftp-upload-0badf00d", ".TFTP-Upload-mine",
                         "sub\\.tftp-upload-"):
                with self.subTest(opcode=opcode, name=name):
                    self.assertRefused(request(opcode, name), ERR_ILLEGAL, "Access denied")
        self.assertEqual(sorted(os.listdir(self.server.root)), ["sub"])
        self.assertEqual(os.listdir(self.server.path("sub")), [".tftp-upload-0badf00d"])
        # A name that only contains the words is an ordinary file.
        writer = StepWriter(self.client(), "my.tftp-upload-0badf00d", b"fine")
        self.assertEqual(writer.first, ack(0))
        self.assertTrue(writer.run())
        self.assertTrue(wait_until(lambda: read_file(self.server.path("my.tftp-upload-0badf00d")) == b"fine", 2))
        self.assertEqual(upload_leftovers(self.server.root), [self.server.path("sub/.tftp-upload-0badf00d")])


if __name__ == "__main__":
    unittest.main(verbosity=2)
