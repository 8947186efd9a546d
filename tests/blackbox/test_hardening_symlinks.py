"""Symbolic links planted in the root (as any local user who may write an
upload directory can): links that lead out of the root are refused like a
name with "..", for reads and for writes; links that stay inside the root,
or inside the Prefix directory that served the name, keep working."""
import os
import time
import unittest

from blackbox_support import (
    COMPLETED, ERR_ILLEGAL, RRQ, WRQ, BlackBoxCase, on_wine, pattern, read_file, request, request_path,
    result_fields, server_directory)

# The Windows server follows no link at all, also none that stays inside:
# under Wine, where the links of these tests are Unix links, it must refuse
# them all as it refuses reparse points on Windows.
FOLLOWS_INNER_LINKS = not on_wine()

SECRET = b"root:x:0:0:secret outside the root\n"
VICTIM = b"a file outside the root that nobody may overwrite\n"
INSIDE = pattern(1300, seed=201)


INVALID_PATH = (ERR_ILLEGAL, "Invalid path")


class LinksInTheRoot(BlackBoxCase):
    settings = {"Timeout": 1, "Retransmit": 2}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        s = cls.server
        cls.outside = os.path.join(s.dir, "outside")
        os.makedirs(cls.outside)
        with open(os.path.join(cls.outside, "secret.txt"), "wb") as f:
            f.write(SECRET)
        s.put_file("sub/real.txt", INSIDE)
        os.symlink(os.path.join(cls.outside, "secret.txt"), s.path("passwd_link"))
        os.symlink("/etc/passwd", s.path("etc_passwd_link"))
        os.symlink(os.path.join(cls.outside, "victim.txt"), s.path("out_link"))
        os.symlink(cls.outside, s.path("dirlink"))
        os.symlink("../../outside/secret.txt", s.path("sub/relative_out_link"))
        os.symlink("sub/real.txt", s.path("in_link"))
        os.symlink(os.path.join(s.root, "sub", "real.txt"), s.path("abs_in_link"))
        os.symlink("sub", s.path("in_dir"))

    def setUp(self):
        for name, content in (("victim.txt", VICTIM), ("secret.txt", SECRET)):
            with open(os.path.join(self.outside, name), "wb") as f:
                f.write(content)
        self.server.put_file("sub/real.txt", INSIDE)

    def upload(self, name, content):
        """A one-block upload that must complete (its result line is found
        by its label: the path in it may be written as resolved)."""
        start = self.mark()
        self.upload_block(self.client(), name, content)
        line = self.wait_line(r"^\S+ \S+ .{8} 127\.0\.0\.1 +Put/octet ", start)
        self.assertRegex(result_fields(line)[0], COMPLETED)

    def test_reads_through_links_that_leave_the_root_are_refused(self):
        for name in ("passwd_link", "etc_passwd_link", "dirlink/secret.txt", "sub/relative_out_link",
                     "in_dir/relative_out_link"):
            with self.subTest(name=name):
                self.assertRefused(request(RRQ, name), *INVALID_PATH)

    def test_writes_through_links_that_leave_the_root_are_refused(self):
        before = sorted(os.listdir(self.outside))
        for name in ("out_link", "dirlink/new.txt", "dirlink/victim.txt", "passwd_link"):
            with self.subTest(name=name):
                self.assertRefused(request(WRQ, name), *INVALID_PATH)
        time.sleep(0.3)
        self.assertEqual(read_file(os.path.join(self.outside, "victim.txt")), VICTIM)
        self.assertEqual(read_file(os.path.join(self.outside, "secret.txt")), SECRET)
        self.assertEqual(sorted(os.listdir(self.outside)), before, "a file was created outside the root")

    def test_links_that_stay_inside_are_served(self):
        for name in ("in_link", "abs_in_link", "in_dir/real.txt"):
            with self.subTest(name=name):
                if FOLLOWS_INNER_LINKS:
                    got, _, _ = self.fetch(self.client(), name)
                    self.assertEqual(got, INSIDE)
                else:
                    self.assertRefused(request(RRQ, name), *INVALID_PATH)
        got, _, _ = self.fetch(self.client(), "sub/real.txt")
        self.assertEqual(got, INSIDE)

    @unittest.skipUnless(FOLLOWS_INNER_LINKS, "Windows follows no link (the refusal is tested above)")
    def test_uploads_through_links_that_stay_inside(self):
        self.upload("in_dir/new.txt", b"new through a directory link")
        self.assertEqual(read_file(self.server.path("sub/new.txt")), b"new through a directory link")
        self.upload("in_link", b"replaced through a link")
        self.assertEqual(read_file(self.server.path("sub/real.txt")), b"replaced through a link")
        self.assertTrue(os.path.islink(self.server.path("in_link")), "the link was replaced by a file")
        self.assertEqual(os.readlink(self.server.path("in_link")), "sub/real.txt")


class LinksInAPrefix(BlackBoxCase):
    """With Prefix P, a name /P/... is served from P: links inside P that
    stay in P work, a link from P into the root (outside P) does not."""

    settings = {"Timeout": 1, "Retransmit": 2}

    @classmethod
    def setUpClass(cls):
        cls.prefix = server_directory(cls.addClassCleanup, "harrier-prefix-")
        cls.settings = dict(cls.settings, Prefix=cls.prefix)
        super().setUpClass()
        os.makedirs(os.path.join(cls.prefix, "images"))
        with open(os.path.join(cls.prefix, "images", "a.img"), "wb") as f:
            f.write(INSIDE)
        os.symlink("images/a.img", os.path.join(cls.prefix, "rel_link"))
        os.symlink(os.path.join(cls.prefix, "images"), os.path.join(cls.prefix, "abs_dir_link"))
        cls.server.put_file("root_only.txt", SECRET)
        os.symlink(cls.server.path("root_only.txt"), os.path.join(cls.prefix, "to_root"))
        os.symlink(cls.server.root, os.path.join(cls.prefix, "root_dir"))

    def test_links_inside_the_prefix_work(self):
        got, _, _ = self.fetch(self.client(), request_path(self.prefix) + "/images/a.img")
        self.assertEqual(got, INSIDE)
        for name in ("rel_link", "abs_dir_link/a.img"):
            with self.subTest(name=name):
                if FOLLOWS_INNER_LINKS:
                    got, _, _ = self.fetch(self.client(), request_path(self.prefix) + "/" + name)
                    self.assertEqual(got, INSIDE)
                else:
                    self.assertRefused(request(RRQ, request_path(self.prefix) + "/" + name), *INVALID_PATH)

    def test_links_from_the_prefix_into_the_root_are_refused(self):
        for name in ("to_root", "root_dir/root_only.txt"):
            with self.subTest(name=name):
                self.assertRefused(request(RRQ, request_path(self.prefix) + "/" + name), *INVALID_PATH)


if __name__ == "__main__":
    unittest.main(verbosity=2)
