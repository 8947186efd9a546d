"""The German language module as built: every template of the program's own
resources that a module must carry is in it with the same control names,
every label is translated, and every UI string id has a German text.

Reads build/bin/Languages/deutsch.xrs of this build tree and the program's
sources; needs no window.
"""
import os
import re
import unittest
import xml.etree.ElementTree as ET
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.normpath(os.path.join(HERE, "..", ".."))
BUILD = os.environ.get("ORVANEL_BUILD_DIR", os.path.join(TOP, "build"))
MODULE = os.path.join(BUILD, "bin", "Languages", "deutsch.xrs")
RESOURCES = os.path.join(TOP, "desktop", "resources")
LABELS = os.path.join(TOP, "desktop", "languages", "deutsch", "labels.txt")
NS = "{http://www.wxwidgets.org/wxxrc}"
# Templates every module carries; the about box is always the program's own.
MODULE_FILES = ("menu.xrc", "preferences.xrc", "access_editor.xrc", "log_viewer.xrc")
# Labels that read the same in German.
SAME = re.compile(r"^(|[0-9]+|-|\.\.\.|OK|Server|Multicast|Start\.\.\.)$")


def objects(root):
    """{name: [(class, name, label texts...)]} of every top-level object."""
    out = {}
    for top in root.findall(NS + "object"):
        items = []
        for node in top.iter(NS + "object"):
            items.append((node.get("class"), node.get("name")))
        out[top.get("name")] = items
    return out


def texts(root):
    return [(n.tag[len(NS):], n.text or "") for n in root.iter() if n.tag in (NS + "label", NS + "title")]


class GermanModule(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(MODULE):
            raise AssertionError("%s is not built" % MODULE)
        cls.archive = zipfile.ZipFile(MODULE)

    def test_every_template_with_the_same_controls(self):
        names = set(self.archive.namelist())
        expected_ids = set()
        for f in MODULE_FILES:
            self.assertIn(f, names)
            english = ET.parse(os.path.join(RESOURCES, f)).getroot()
            german = ET.fromstring(self.archive.read(f))
            self.assertEqual(objects(german), objects(english), f)
            expected_ids |= set(objects(english))
        self.assertTrue({"102", "105", "106", "107", "108", "109", "110"} <= expected_ids, expected_ids)

    def test_every_label_translated(self):
        with open(LABELS, encoding="utf-8") as f:
            table = dict(line.rstrip("\n").split("\t", 1) for line in f if "\t" in line and not line.startswith("#"))
        for f in MODULE_FILES:
            english = texts(ET.parse(os.path.join(RESOURCES, f)).getroot())
            german = texts(ET.fromstring(self.archive.read(f)))
            self.assertEqual(len(german), len(english), f)
            for (tag, en), (_, de) in zip(english, german):
                if SAME.match(en):
                    continue
                self.assertIn(en, table, "%s: no German for the %s %r" % (f, tag, en))
                self.assertEqual(de, table[en], "%s: %r" % (f, en))
                self.assertNotEqual(de, en, "%s: %r is not translated" % (f, en))

    def test_every_ui_string(self):
        with open(os.path.join(TOP, "desktop", "ui_strings.cpp"), encoding="utf-8") as f:
            builtin = {int(i): t for i, t in re.findall(r'\{(\d+), "((?:[^"\\]|\\.)*)"\}', f.read())}
        self.assertGreater(len(builtin), 25)
        german = {}
        for line in self.archive.read("strings.txt").decode("utf-8").splitlines():
            if line and not line.startswith("#"):
                number, text = line.split("\t", 1)
                german[int(number)] = text
        missing = sorted(set(builtin) - set(german))
        self.assertEqual(missing, [], "UI strings without German text")
        for i in (25, 26, 27):
            self.assertTrue(german[i].startswith(" ") and german[i].count("%u") == 1, german[i])
        self.assertTrue(german[28].startswith(" "))
        self.assertEqual(german[1], "Deutsch")


if __name__ == "__main__":
    unittest.main()
