"""libpelican.so as outside programs see it: its exported symbols, a Python
ctypes host, the pelican-tftp program, and a C host built with pkg-config."""

import os
import re
import shlex
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pelican_support import BUILD_DIR, CLI, LIBRARY, SOURCE_DIR, UNRESOLVABLE_HOST, Client, main  # noqa: E402
from peers import make_root, put_file, start_tftpd_hpa, stop_process  # noqa: E402
from common import read_file, scratch_directory  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


class HostProgram(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = make_root(cls.addClassCleanup)
        cls.served = bytes(range(256)) * 4 + b"end"
        put_file(cls.root, "file.bin", cls.served)
        cls.process, cls.port = start_tftpd_hpa(cls.root)
        cls.addClassCleanup(stop_process, cls.process)
        cls.server = "127.0.0.1:%d" % cls.port

    def setUp(self):
        self.dir = scratch_directory(self.addCleanup, "pelican_host_")

    def test_only_the_two_entry_points_are_exported(self):
        out = subprocess.run(["nm", "-D", "--defined-only", LIBRARY], capture_output=True,
                             text=True, check=True).stdout
        symbols = sorted(tuple(line.split()[1:3]) for line in out.splitlines() if line.strip())
        self.assertEqual(symbols, [("T", "tftp_client"), ("T", "tftp_tsize")])

    def test_tsize_before_any_call(self):
        # A process of its own, so that no earlier call has left a record.
        script = ("import ctypes, sys; lib = ctypes.CDLL(sys.argv[1]); n = ctypes.c_uint32(7);"
                  "r = lib.tftp_tsize(ctypes.byref(n)); print(r, n.value)")
        out = subprocess.run([sys.executable, "-c", script, LIBRARY], capture_output=True,
                             text=True, check=True, timeout=30).stdout
        self.assertEqual(out.split(), ["0", "0"])

    def test_codes_through_ctypes(self):
        client = Client()
        self.assertEqual(client.lib.tftp_client(None), 2)
        self.assertEqual(client.run(""), 2)
        self.assertEqual(client.tsize(), (0, 0))

        local = os.path.join(self.dir, "got.bin")
        self.assertEqual(client.run("%s GET file.bin %s" % (self.server, local)), 0)
        self.assertEqual(read_file(local), self.served)
        self.assertEqual(client.tsize(), (1, len(self.served)))
        self.assertEqual(client.run("%s GET file.bin %s" % (self.server, local)), 4)
        self.assertEqual(client.tsize(), (0, 0))

        self.assertEqual(client.run("%s PUT back.bin %s" % (self.server, local)), 0)
        self.assertEqual(client.tsize(), (1, len(self.served)))
        self.assertEqual(client.run("%s PUT x %s" % (self.server, os.path.join(self.dir, "none"))), 5)
        self.assertEqual(client.run("%s GET x %s" % (self.server, os.path.join(self.dir, "no", "dir"))), 5)

    def cli(self, *args):
        return subprocess.run([CLI] + list(args), capture_output=True, text=True, timeout=60)

    def test_command_line_program_quotes_arguments_with_blanks(self):
        local = os.path.join(self.dir, "my local file.bin")
        with open(local, "wb") as f:
            f.write(b"spaced" * 100)
        done = self.cli("-t2", self.server, "PUT", "up load.bin", local)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout, "pelican-tftp: transfer complete, 600 bytes\n")
        self.assertEqual(read_file(os.path.join(self.root, "up load.bin")), b"spaced" * 100)

        copy = os.path.join(self.dir, "copy\tof it.bin")
        done = self.cli(self.server, "get", "up load.bin", copy)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(read_file(copy), b"spaced" * 100)

    def test_command_line_program_reports_failures(self):
        quote = self.cli(self.server, "GET", 'a"b')
        self.assertEqual(quote.returncode, 2)
        self.assertIn("cannot be passed", quote.stderr)
        too_long = self.cli(self.server, "GET", "n" * 250)
        self.assertEqual(too_long.returncode, 2)
        # The name fails inside the resolver: no lookup leaves the machine.
        unknown = self.cli(UNRESOLVABLE_HOST, "GET", "x", os.path.join(self.dir, "x"))
        self.assertEqual((unknown.returncode, unknown.stdout), (6, ""))
        self.assertEqual(unknown.stderr, "pelican-tftp: %s: host not found (code 6)\n" % UNRESOLVABLE_HOST)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "x")))

    def test_command_line_program_help_version_and_usage(self):
        with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as f:
            version = re.search(r"project\(\w+ VERSION ([0-9.]+)", f.read()).group(1)
        for args in (["--version"], ["-o", "--version", "host", "GET", "x"]):
            shown = self.cli(*args)
            self.assertEqual((shown.returncode, shown.stdout, shown.stderr),
                             (0, "pelican-tftp %s\n" % version, ""))
        shown = self.cli("--help")
        self.assertEqual((shown.returncode, shown.stderr), (0, ""))
        self.assertTrue(shown.stdout.startswith("usage: pelican-tftp [-a] [-bN]"), shown.stdout)
        for switch in ("-a", "-bN", "-m", "-o", "-rN", "-s", "-tN", "-wN", "--version"):
            self.assertRegex(shown.stdout, r"\n  %s\s" % re.escape(switch))
        # Usage errors: status 2, the usage on standard error, nothing on
        # standard output.
        for args in ([], ["--bogus", self.server, "GET", "x"], [self.server, "FETCH", "x"],
                     ["-m", self.server, "PUT", "x", os.path.join(HERE, "host_example.c")]):
            with self.subTest(args=args):
                wrong = self.cli(*args)
                self.assertEqual((wrong.returncode, wrong.stdout), (2, ""))
                self.assertIn("usage: pelican-tftp ", wrong.stderr)
        self.assertIn("unknown option --bogus", self.cli("--bogus").stderr)
        self.assertIn("invalid command line (code 2)", self.cli().stderr)

    def test_progress_on_a_terminal_only(self):
        if not shutil.which("script"):
            self.skipTest("script (util-linux) missing")
        size = 3 << 20
        put_file(self.root, "progress.bin", os.urandom(size))
        local = os.path.join(self.dir, "progress.bin")
        argv = [CLI, "-o", self.server, "GET", "progress.bin", local]
        # Under script, standard output and standard error are a terminal.
        drawn = subprocess.run(["script", "-qec", shlex.join(argv), "/dev/null"], stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=60)
        self.assertEqual(drawn.returncode, 0, drawn.stdout)
        self.assertEqual(os.path.getsize(local), size)
        out = drawn.stdout.decode()
        # The terminal turns each LF into CR LF.
        self.assertTrue(out.endswith(" left\r\npelican-tftp: transfer complete, %d bytes\r\n" % size), repr(out))
        lines = out[:out.index("\r\n")].split("\r")
        self.assertEqual(lines[0], "")
        lines = [line.rstrip(" ") for line in lines[1:]]
        self.assertGreaterEqual(len(lines), 2, lines)
        # tftpd-hpa answers tsize: the total, the share, the rate and the time left.
        self.assertRegex(lines[0], r"^\d+ B / 3\.0 MiB  0%")
        self.assertRegex(lines[-1], r"^3\.0 MiB / 3\.0 MiB  100%  \d+\.\d [KMG]iB/s  0:00 left$")
        for line in lines:
            self.assertRegex(line, r"^[0-9.]+ (B|KiB|MiB) / 3\.0 MiB  \d+%")

        # Standard error a pipe: not a byte of it.
        plain = self.cli("-o", self.server, "GET", "progress.bin", local)
        self.assertEqual((plain.returncode, plain.stderr), (0, ""))
        self.assertEqual(plain.stdout, "pelican-tftp: transfer complete, %d bytes\n" % size)

    def test_c_host_program_built_with_pkg_config(self):
        if not shutil.which("pkg-config") or not shutil.which("cc"):
            self.skipTest("pkg-config or cc missing")
        prefix = os.path.join(self.dir, "prefix")
        subprocess.run(["cmake", "--install", BUILD_DIR, "--component", "pelican", "--prefix", prefix],
                       check=True, capture_output=True, timeout=60)
        env = dict(os.environ, PKG_CONFIG_PATH="")
        pc_dirs = [os.path.dirname(p) for p in _find(prefix, "pelican.pc")]
        self.assertEqual(len(pc_dirs), 1)
        env["PKG_CONFIG_PATH"] = pc_dirs[0]
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "pelican"], env=env,
                               capture_output=True, text=True, check=True).stdout.split()
        program = os.path.join(self.dir, "host")
        subprocess.run(["cc", "-Wall", "-Werror", os.path.join(HERE, "host_example.c"), "-o", program]
                       + flags, check=True, timeout=60)
        libdir = [f[2:] for f in flags if f.startswith("-L")][0]
        local = os.path.join(self.dir, "fetched.bin")
        run = subprocess.run([program, "%s GET file.bin %s" % (self.server, local)],
                             env=dict(os.environ, LD_LIBRARY_PATH=libdir), capture_output=True,
                             text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout, "code 0, result 1, %d bytes\n" % len(self.served))
        self.assertEqual(read_file(local), self.served)


def _find(top, name):
    return [os.path.join(d, name) for d, _, files in os.walk(top) if name in files]


if __name__ == "__main__":
    main(__name__)
