"""A settings file written by the Linux settings tool (orvanel-reg) imports
into the Windows registry unchanged with regedit, and Harrier.exe under
Wine runs with what it holds: the two stores are one format.

ORVANEL_BUILD_DIR is the Linux build (orvanel-reg), ORVANEL_WINE_HARRIER
the Harrier.exe of the mingw-w64 build, whose Wine prefix is used; a missing
program fails the test.
"""
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import harrier  # noqa: E402
from common import free_port, scratch_directory  # noqa: E402
from harrier import Client, download, shown_path, wait_for_console, wine_env  # noqa: E402

REG_TOOL = os.path.join(harrier.BUILD_DIR, "bin", "orvanel-reg")
KEY = "HKLM\\Software\\Orvanel\\Kestrel"


def wine(*args, timeout=60):
    return harrier.run_wine(args, timeout)[:2]


class ToolFileImports(unittest.TestCase):
    def setUp(self):
        for program in (REG_TOOL, harrier.WINE_HARRIER or ""):
            if not os.path.exists(program):
                self.fail("%s is missing: build the Linux tree and run scripts/build-windows.sh" % program)
        self.dir = scratch_directory(self.addCleanup, "store-import-")
        self.root = os.path.join(self.dir, "root")
        os.makedirs(self.root)
        self.store = os.path.join(self.dir, "tool.reg")

    def tool(self, key, name, value):
        done = subprocess.run([REG_TOOL, "add", key, "/v", name, "/d", value, "/f"],
                              env=dict(os.environ, ORVANEL_HKLM=self.store),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=30)
        self.assertEqual(done.returncode, 0, done.stdout)

    def test_tool_file_imports_unchanged_and_the_server_runs_with_it(self):
        port = free_port()
        self.tool(KEY, "Port", str(port))
        self.tool(KEY, "RootDirectory", shown_path(self.root + "/"))
        self.tool(KEY, "Timeout", "3")
        self.tool(KEY, "Clients", "7")
        self.tool(KEY, "AccessControl", "1")
        self.tool(KEY + "\\Access", "pub\\0", "r")
        with open(self.store, "rb") as f:
            written = f.read()

        wine("reg", "delete", KEY, "/f")
        rc, _ = wine("regedit", "/S", shown_path(self.store))
        self.assertEqual(rc, 0)
        with open(self.store, "rb") as f:
            self.assertEqual(f.read(), written, "the import changed the file")
        # Every value arrived as the text the tool wrote, of type REG_SZ.
        rc, out = wine("reg", "query", KEY)
        self.assertEqual(rc, 0, out)
        for name, value in (("Port", str(port)), ("Timeout", "3"), ("Clients", "7"),
                            ("RootDirectory", shown_path(self.root + "/"))):
            self.assertRegex(out, r"\n\s+%s\s+REG_SZ\s+%s\n" % (name, value.replace("\\", "\\\\")))
        rc, out = wine("reg", "query", KEY + "\\Access")
        self.assertRegex(out, r"\n\s+pub\\0\s+REG_SZ\s+r\n")

        os.makedirs(os.path.join(self.root, "pub"))
        with open(os.path.join(self.root, "pub", "f.bin"), "wb") as f:
            f.write(b"from the tool's file" * 100)
        with open(os.path.join(self.root, "closed.bin"), "wb") as f:
            f.write(b"x")
        console = open(os.path.join(self.dir, "console.txt"), "wb")
        self.addCleanup(console.close)
        proc = subprocess.Popen([harrier.WINE, harrier.WINE_HARRIER, "-debug"], env=wine_env(),
                                stdin=subprocess.DEVNULL, stdout=console, stderr=subprocess.STDOUT)
        try:
            wait_for_console(proc, console.name, r"Ready on TFTP port %d" % port, 20)
            wait_for_console(proc, console.name, r"def\. Timeout  : 3\n", 5)
            wait_for_console(proc, console.name, r"max\. Clients  : 7\n", 5)
            with Client(port) as c:
                got, _, _ = download(c, "pub/f.bin")
            self.assertEqual(got, b"from the tool's file" * 100)
            # The access rule from the tool's file closes the rest of the root.
            with Client(port) as c:
                with self.assertRaisesRegex(AssertionError, "ERROR 4 Access denied"):
                    download(c, "closed.bin")
        finally:
            proc.kill()
            proc.wait()
            wine("reg", "delete", KEY, "/f")


if __name__ == "__main__":
    unittest.main()
