"""Multicast groups are chosen by the file itself, not by how its name is
spelt: two files whose names differ only in letter case are two groups, one
file under two names (a hard link, a link inside the root) is one group.
Runs inside a network namespace, as test_multicast does."""
import os
import unittest

from blackbox_support import pattern
import test_multicast as mc

LOWER = pattern(40 * 512 + 10, seed=601)
UPPER = pattern(40 * 512 + 10, seed=602)


class GroupsByFile(mc.MulticastCase):
    def test_names_that_differ_in_case_are_two_files(self):
        self.server.put_file("boot.img", LOWER)
        self.server.put_file("Boot.img", UPPER)
        start = self.mark()
        lower, oack = self.joined("127.0.0.2", "boot.img", hold=True)
        self.assertEqual(oack, {"multicast": "224.0.0.1,1758,1"})
        upper, oack = self.joined("127.0.0.3", "Boot.img")
        lower.hold = False
        lower.answer()
        both = [lower, upper]
        self.assertTrue(mc.pump(both, lambda: all(c.finished for c in both), 15),
                        "reads did not end: %s" % [len(c.blocks) for c in both])
        self.assertTrue(lower.content() == LOWER, "boot.img client got other bytes")
        self.assertTrue(upper.content() == UPPER, "Boot.img client got the bytes of boot.img (OACK %s)" % oack)
        self.assertTrue(oack["multicast"].endswith(",1"), "Boot.img joined the group of boot.img: %s" % oack)
        for c in both:
            self.assertRegex(self.result_of(c.address, start), mc.COMPLETED)

    def test_one_file_under_two_names_is_one_group(self):
        self.server.put_file("same.img", LOWER)
        os.link(self.server.path("same.img"), self.server.path("hard.img"))
        os.symlink("same.img", self.server.path("alias.img"))
        for number, other in enumerate(("hard.img", "alias.img")):
            with self.subTest(name=other):
                start = self.mark()
                first, oack = self.joined("127.0.0.%d" % (4 + 2 * number), "same.img", hold=True)
                self.assertEqual(oack, {"multicast": "224.0.0.1,1758,1"})
                second, oack = self.joined("127.0.0.%d" % (5 + 2 * number), other)
                self.end_all([first, second], start)
                self.assertEqual(oack, {"multicast": "224.0.0.1,1758,0"})


if __name__ == "__main__":
    unittest.main(verbosity=2)
