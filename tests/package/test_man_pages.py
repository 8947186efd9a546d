"""Every program's man page and the library call's: groff formats each
without a warning and lexgrog finds its NAME line (what man-db and lintian
read for whatis)."""
import os
import subprocess
import unittest

MAN = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "man"))
PAGES = ["harrier.8", "harrierctl.8", "orvanel-reg.8", "kestrel.1", "pelican-tftp.1", "tftp_client.3"]


class ManPageTest(unittest.TestCase):
    def test_every_page_formats_cleanly(self):
        for name in PAGES:
            with self.subTest(page=name):
                path = os.path.join(MAN, name)
                self.assertTrue(os.path.isfile(path), "%s is missing" % path)
                r = subprocess.run(["groff", "-man", "-ww", "-z", path], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, timeout=60)
                self.assertEqual((r.returncode, r.stderr), (0, ""))
                r = subprocess.run(["lexgrog", path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                   text=True, timeout=60)
                self.assertEqual(r.returncode, 0, r.stdout)
                # "<page>: \"<name> - <what it does>\"", the name being the page's.
                self.assertRegex(r.stdout, r'^%s: "\S.* - \S' % path.replace(".", r"\."))

    def test_the_pages_are_installed_by_section(self):
        # The install rule takes man/*.[1-8]; a page without its section's
        # suffix would be left out silently.
        stray = [n for n in os.listdir(MAN) if not n[-2:] in (".%d" % s for s in range(1, 9))] \
            if os.path.isdir(MAN) else []
        self.assertEqual(stray, [])


if __name__ == "__main__":
    unittest.main()
