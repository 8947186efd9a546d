"""The help files as built: tftp.htm and tftp-d.htm beside the programs in
build/bin, well-formed HTML with no outside resources, the same sections in
both languages, and in step with the code: every setting the server loads
(with its default and range), every value the programs keep in the store,
every switch and command word of harrier, kestrel, harrierctl, orvanel-reg
and pelican, and the columns of the log's result lines.

Reads the build tree and the program's sources; needs no window.
"""
import html.parser
import os
import re
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.normpath(os.path.join(HERE, "..", ".."))
BUILD = os.environ.get("ORVANEL_BUILD_DIR", os.path.join(TOP, "build"))
BIN = os.path.join(BUILD, "bin")
HELP_FILES = ("tftp.htm", "tftp-d.htm")
# Blocks counted per section: a full translation has as many of each.
BLOCKS = ("h3", "h4", "p", "li", "tr", "pre", "table")
VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source", "track", "wbr"}
# Sections a reader looks for; both files must have them.
REQUIRED_IDS = {
    "about", "install", "starting", "harrier-service", "harrier-debug", "kestrel-start", "root", "store",
    "orvanel-reg", "settings", "settings-table", "windowsize", "access", "access-match", "log", "log-files",
    "log-lines", "desktop", "menus", "preferences", "pref-general", "pref-language", "pref-server",
    "pref-options", "access-editor", "log-viewer", "printing", "languages", "help-files", "service",
    "harrierctl", "pelican", "pelican-switches", "troubleshooting", "port-in-use", "permissions", "firewall",
}


def source(*parts):
    with open(os.path.join(TOP, *parts), encoding="utf-8") as f:
        return f.read()


class help_document(html.parser.HTMLParser):
    """Ids, links, tables (rows of cell texts) and the text of each h2
    section; errors for end tags that do not match what is open."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.ids = []
        self.links = []
        self.errors = []
        self.stack = []
        self.tables = {}  # id -> [[cell text, ...], ...]
        self.sections = {}  # h2 id -> text up to the next h2
        self.section = None
        self.table_ids = []
        self.cell = None
        self.literals = []  # text of every <code>, without its <i> placeholders
        self.code_depth = 0
        self.italic_depth = 0
        self.structure = {}  # h2 id -> {block tag: count}

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if "id" in attrs:
            self.ids.append(attrs["id"])
        for name in ("href", "src"):
            if name in attrs:
                self.links.append((tag, name, attrs[name]))
        if tag == "h2":
            self.section = attrs.get("id")
            self.sections.setdefault(self.section, "")
        if tag == "table":
            self.table_ids.append(attrs.get("id"))
            if attrs.get("id"):
                self.tables[attrs["id"]] = []
        if tag == "tr" and self.table_ids and self.table_ids[-1]:
            self.tables[self.table_ids[-1]].append([])
        if tag in ("td", "th"):
            self.cell = ""
        if tag == "code":
            self.code_depth += 1
            if self.code_depth == 1:
                self.literals.append("")
        if tag == "i":
            self.italic_depth += 1
        if self.section is not None and tag in BLOCKS:
            counts = self.structure.setdefault(self.section, {})
            counts[tag] = counts.get(tag, 0) + 1
        if tag not in VOID:
            self.stack.append((tag, self.getpos()))

    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs)
        if tag not in VOID:
            self.stack.pop()

    def handle_endtag(self, tag):
        if tag in VOID:
            return
        if not self.stack or self.stack[-1][0] != tag:
            self.errors.append("line %d: </%s> closes %s" % (self.getpos()[0], tag, self.stack[-1] if self.stack else "nothing"))
            return
        self.stack.pop()
        if tag == "code":
            self.code_depth -= 1
        if tag == "i":
            self.italic_depth -= 1
        if tag in ("td", "th") and self.cell is not None:
            if self.table_ids and self.table_ids[-1]:
                self.tables[self.table_ids[-1]][-1].append(self.cell.replace("\xa0", " "))
            self.cell = None
        if tag == "table":
            self.table_ids.pop()

    def handle_data(self, data):
        if self.code_depth and not self.italic_depth:
            self.literals[-1] += data
        if self.cell is not None:
            self.cell += data
        if self.section is not None:
            self.sections[self.section] += data

    def close(self):
        super().close()
        for tag, pos in self.stack:
            self.errors.append("<%s> of line %d is never closed" % (tag, pos[0]))


def parse_help(name):
    with open(os.path.join(BIN, name), encoding="utf-8") as f:
        text = f.read()
    doc = help_document()
    doc.feed(text)
    doc.close()
    doc.text = text
    return doc


def words(text):
    return " ".join(text.replace("\xa0", " ").split())


def settings_loaded():
    """{name: (loader, [default, low, high])} of what core/settings.cpp loads: the
    names its loaders read, each as its entry in the settings table reads it."""
    code = source("core", "settings.cpp")
    names = set(re.findall(r'\b(?:load_number|reg_read_number|reg_read_string)\(subkey, "(\w+)"', code))
    readers = {"SETTING_SWITCH": "load_switch", "SETTING_NUMBER": "load_number", "SETTING_MASK": "reg_read_number"}
    found = {}
    for name, kind, rest in re.findall(r'\{"(\w+)", (SETTING_\w+), ([^}]*)\}', code):
        if name in names:
            found[name] = (readers.get(kind, "reg_read_string"), [a.strip() for a in rest.split(",")])
    # Every name a loader reads has its entry.
    assert names == set(found), sorted(names ^ set(found))
    return found


def constants():
    """The named limits the settings table uses: its own and the wire's."""
    code = source("core", "settings.h") + source("core", "wire.h")
    return {n: int(v) for n, v in re.findall(r"constexpr uint\d+_t (\w+) = (\d+)u?;", code)}


def number(text, names):
    text = text.strip().rstrip("u")
    return names[text] if text in names else int(text, 0)


class help_files_test(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.docs = {}
        for name in HELP_FILES:
            path = os.path.join(BIN, name)
            if not os.path.isfile(path):
                raise AssertionError("%s is not beside the programs in %s" % (name, BIN))
            cls.docs[name] = parse_help(name)

    def assert_mentions(self, section_text, text):
        self.assertTrue(text in section_text, "%r is not mentioned where it belongs" % text)

    def test_copies_are_those_of_the_sources(self):
        for name, doc in self.docs.items():
            with self.subTest(file=name):
                self.assertEqual(doc.text, source("desktop", "help", name))

    def test_well_formed_and_self_contained(self):
        languages = {"tftp.htm": "en", "tftp-d.htm": "de"}
        for name, doc in self.docs.items():
            with self.subTest(file=name):
                self.assertEqual(doc.errors, [])
                self.assertRegex(doc.text, r'(?i)<meta charset="utf-8">')
                self.assertIn('<html lang="%s">' % languages[name], doc.text)
                duplicates = sorted({i for i in doc.ids if doc.ids.count(i) > 1})
                self.assertEqual(duplicates, [], "ids used twice")
                for tag, attribute, target in doc.links:
                    # Nothing is fetched from elsewhere; every link leads to a section.
                    self.assertTrue(target.startswith("#"), "%s %s=%s" % (tag, attribute, target))
                    self.assertIn(target[1:], doc.ids, "link to a missing section")

    def test_same_sections_in_both_languages(self):
        english, german = (set(self.docs[n].ids) for n in HELP_FILES)
        self.assertEqual(sorted(english - german), [], "only in tftp.htm")
        self.assertEqual(sorted(german - english), [], "only in tftp-d.htm")
        self.assertEqual(sorted(REQUIRED_IDS - english), [])
        # Same order, too: the German text follows the English one section by section.
        self.assertEqual(self.docs["tftp.htm"].ids, self.docs["tftp-d.htm"].ids)

    def test_german_is_a_full_translation(self):
        english, german = (self.docs[n] for n in HELP_FILES)
        # Names, commands, paths and values are the same in both; only the prose differs.
        self.assertEqual([" ".join(t.split()) for t in english.literals],
                         [" ".join(t.split()) for t in german.literals])
        self.assertEqual(english.structure, german.structure)

    def test_every_setting_the_server_loads_is_in_the_table(self):
        loaded = settings_loaded()
        # The pattern must keep finding the loaders, or this test would pass on nothing.
        self.assertGreaterEqual(len(loaded), 25)
        for known in ("Port", "RootDirectory", "WindowsizeMax", "AccessControl", "MulticastIp"):
            self.assertIn(known, loaded)
        for name, doc in self.docs.items():
            with self.subTest(file=name):
                rows = {r[0].strip(): r for r in doc.tables["settings-table"][1:]}
                self.assertEqual(sorted(set(loaded) - set(rows)), [], "settings not documented")
                self.assertEqual(sorted(set(rows) - set(loaded)), [], "documented settings the server does not load")
                for row in rows.values():
                    self.assertEqual(len(row), 4, row)
                    self.assertTrue(all(c.strip() for c in row[1:]), row)

    def test_defaults_and_ranges_match_the_loaders(self):
        names = constants()
        for setting, (loader, args) in settings_loaded().items():
            if loader == "reg_read_string":
                continue
            default = number(args[0], names)
            for name, doc in self.docs.items():
                with self.subTest(file=name):
                    row = {r[0].strip(): r for r in doc.tables["settings-table"][1:]}.get(setting)
                    self.assertIsNotNone(row, "%s is not documented" % setting)
                    with self.subTest(setting=setting):
                        shown_default = re.findall(r"\d+", row[1])
                        self.assertTrue(shown_default, row)
                        self.assertEqual(int(shown_default[0]), default, "default of %s" % setting)
                        shown_range = [int(n) for n in re.findall(r"\d+", row[2])]
                        if loader == "load_switch":
                            self.assertEqual(shown_range, [0, 1], "range of %s" % setting)
                        elif loader == "load_number":
                            low, high = number(args[1], names), number(args[2], names)
                            self.assertEqual((shown_range[0], shown_range[-1]), (low, high), "range of %s" % setting)

    def test_other_stored_values_are_documented(self):
        machine, user = set(), set()
        for folder in ("core", "desktop", "service"):
            for file in os.listdir(os.path.join(TOP, folder)):
                if not file.endswith(".cpp"):
                    continue
                code = source(folder, file)
                machine |= set(re.findall(r'\breg_(?:read|write)_(?:string|number)\(SETTINGS_KEY, "(\w+)"', code))
                user |= set(re.findall(r'\buser_reg_(?:read|write)_(?:string|number)\(SETTINGS_KEY, "(\w+)"', code))
        self.assertIn("MaxClients", machine)
        self.assertEqual(user, {"left", "top", "width", "height"})
        for name, doc in self.docs.items():
            with self.subTest(file=name):
                documented = {r[0].strip() for t in ("settings-table", "other-values-table") for r in doc.tables[t][1:]}
                self.assertEqual(sorted(machine - documented), [], "stored values not documented")
                store = words(doc.sections["store"] + doc.sections["settings"])
                for value in user:
                    self.assert_mentions(store, value)

    def test_harrier_and_kestrel_switches(self):
        harrier = re.findall(r'strcasecmp\(argv\[1\], "(-\w+)"\)', source("service", "main.cpp"))
        kestrel = re.findall(r'strcasecmp\(program_argv\[1\], "(-\w+)"\)', source("desktop", "kestrel_main.cpp"))
        self.assertTrue({"-debug", "-install", "-remove"} <= set(harrier), harrier)
        self.assertIn("-service", kestrel)
        for name, doc in self.docs.items():
            with self.subTest(file=name):
                starting = words(doc.sections["starting"])
                for switch in harrier:
                    self.assert_mentions(starting, "harrier " + switch)
                for switch in kestrel:
                    self.assert_mentions(starting, switch)

    def test_harrierctl_commands(self):
        code = source("tools", "harrierctl.cpp")
        verbs = set(re.findall(r'strcasecmp\(verb, "(\w+)"\)', code))
        groups = re.findall(r'"(\w+)"', re.search(r"groups\[\] = \{([^}]*)\}", code).group(1))
        groups += re.findall(r'strcasecmp\(argv\[2\], "(\w+)"\)', code)
        self.assertTrue({"status", "pause", "resume", "list", "reload"} <= verbs, verbs)
        self.assertTrue({"access", "all", "general", "options", "server"} <= set(groups), groups)
        for name, doc in self.docs.items():
            with self.subTest(file=name):
                service = words(doc.sections["service"])
                for verb in verbs - {"reload"}:
                    self.assert_mentions(service, "harrierctl " + verb)
                for group in groups:
                    self.assert_mentions(service, "harrierctl reload " + group)
                self.assert_mentions(service, "/run/orvanel-tftp/control")

    def test_orvanel_reg_commands_and_switches(self):
        code = source("tools", "orvanel_reg.cpp")
        operations = re.findall(r'op == "(\w+)"', code)
        switches = re.findall(r'name == "(\w+)"', code)
        self.assertTrue({"query", "add", "delete"} <= set(operations), operations)
        self.assertTrue({"d", "f", "s", "t", "v", "va"} <= set(switches), switches)
        for name, doc in self.docs.items():
            with self.subTest(file=name):
                store = words(doc.sections["store"])
                for operation in operations:
                    self.assert_mentions(store, "orvanel-reg " + operation)
                for switch in switches:
                    self.assertTrue(re.search(r"(^|\s)/%s(\s|$)" % switch, store), "/%s is not documented" % switch)

    def test_every_pelican_switch_is_in_its_table(self):
        code = source("client", "command_line.cpp")
        body = code[code.index("int parse_client_args"):]
        letters = re.findall(r"case '(\w)':", body)
        self.assertGreaterEqual(len(letters), 8)
        self.assertIn("w", letters)
        for name, doc in self.docs.items():
            with self.subTest(file=name):
                shown = {r[0].strip()[:2] for r in doc.tables["pelican-switch-table"][1:]}
                self.assertEqual(sorted({"-" + l for l in letters} - shown), [], "pelican switches not documented")
                self.assertEqual(sorted(shown - {"-" + l for l in letters}), [], "switches pelican does not take")

    def test_result_line_examples_follow_the_log_formats(self):
        # The formats of the result lines as the server writes them, with the
        # time stamp in front.
        formats = set()
        steps = source("core", "transfer_steps.cpp")
        loop = source("core", "server_loop.cpp")
        formats |= set(re.findall(r'log_line\(1, 1, "(\s+[^"]*%-15s[^"]*)\\n"', steps))
        formats |= set(re.findall(r'log_refusal_line\(1, 1, "(\s+Error\s+%-15s[^"]*)\\n"', loop))
        self.assertGreaterEqual(len(formats), 5, formats)

        def pattern(fmt):
            parts = re.split(r"(%-?\d*l?[us])", "%s" + fmt)
            out = ""
            for part in parts:
                m = re.fullmatch(r"%(-?)(\d*)l?([us])", part)
                if not m:
                    out += re.escape(part)
                elif m.group(2):
                    out += "(.{%s})" % m.group(2)
                elif m.group(3) == "u":
                    out += r"(\d+)"
                else:
                    out += "(.+?)"
            return re.compile(out + "$")

        patterns = {f: pattern(f) for f in formats}
        stamp = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")

        def follows(line, fmt, compiled):
            m = compiled.match(line)
            if not m or not stamp.match(m.group(1)):
                return False
            # A padded field holds its text padded exactly as the format pads it.
            widths = re.findall(r"%(-?)(\d*)l?[us]", "%s" + fmt)
            for (left, width), value in zip(widths, m.groups()):
                text = value.strip()
                if width and (not text or value != (text.ljust(int(width)) if left else text.rjust(int(width)))):
                    return False
            return True
        for name, doc in self.docs.items():
            with self.subTest(file=name):
                examples = [r[0] for r in doc.tables["log-lines-table"][1:]]
                self.assertGreaterEqual(len(examples), len(formats))
                used = set()
                for line in examples:
                    matched = [f for f, p in patterns.items() if follows(line, f, p)]
                    self.assertTrue(matched, "example follows no format: %r" % line)
                    # The columns the log viewer cuts the line at.
                    self.assertRegex(line[29:44].strip(), r"^\d+\.\d+\.\d+\.\d+$")
                    self.assertIn(line[45:55].strip(), ("Get/octet", "Get/ascii", "Put/octet", "Put/ascii", "Get", "Put"))
                    used |= set(matched)
                self.assertEqual(sorted(formats - used), [], "formats without an example")

    def test_log_file_names_and_help_file_names(self):
        for name, doc in self.docs.items():
            with self.subTest(file=name):
                log = words(doc.sections["log"])
                self.assert_mentions(log, "tftpYYMM.log")
                self.assert_mentions(log, "tftpYYMMDD.log")
                desktop = words(doc.sections["desktop"])
                for file in ("tftp.htm", "tftp-d.htm", "deutsch.xrs"):
                    self.assert_mentions(desktop, file)
        menus = source("desktop", "menus.cpp")
        self.assertIn('"tftp-d.htm"', menus)
        self.assertIn('"tftp.htm"', menus)


if __name__ == "__main__":
    unittest.main()
