"""The Debian packages, as an administrator meets them: built from a copy of
the sources, checked by lintian, installed, served from, purged. Runs as
root on a machine without the packages and leaves it as it found it, also
when a check fails."""
import glob
import grp
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import harrier  # noqa: E402

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PACKAGES = ["orvanel-tftpd", "orvanel-tftp-desktop", "pelican-tftp", "libpelican1", "libpelican-dev"]
LOG_DIR = "/var/log/orvanel-tftp"
SERVED = "/srv/tftp"
BUILD_SECONDS = 1200


def run(args, timeout=120, **kwargs):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=timeout,
                          **kwargs)


def installed(package):
    """Known to dpkg in any state but not-installed (config-files too)."""
    r = run(["dpkg-query", "-W", "-f=${db:Status-Status}", package])
    return r.returncode == 0 and r.stdout.strip() not in ("", "not-installed")


def exists(name, database):
    try:
        database(name)
        return True
    except KeyError:
        return False


def multiarch():
    return run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"]).stdout.strip()


def expected_files():
    """Where every piece must land, by package."""
    lib = "/usr/lib/" + multiarch()
    return {
        "orvanel-tftpd": ["/usr/sbin/harrier", "/usr/sbin/harrierctl", "/usr/sbin/orvanel-reg",
                          "/lib/systemd/system/orvanel-tftpd.service", "/etc/orvanel/hklm.reg",
                          "/usr/share/man/man8/harrier.8.gz", "/usr/share/man/man8/harrierctl.8.gz",
                          "/usr/share/man/man8/orvanel-reg.8.gz", "/usr/share/doc/orvanel-tftpd/copyright"],
        "orvanel-tftp-desktop": ["/usr/bin/kestrel", "/usr/share/orvanel-tftp/tftp.htm",
                                 "/usr/share/orvanel-tftp/tftp-d.htm", "/usr/share/orvanel-tftp/Languages/deutsch.xrs",
                                 "/usr/share/applications/orvanel-kestrel.desktop",
                                 "/usr/share/icons/hicolor/scalable/apps/orvanel-kestrel.svg",
                                 "/usr/share/man/man1/kestrel.1.gz"],
        "pelican-tftp": ["/usr/bin/pelican-tftp", "/usr/share/man/man1/pelican-tftp.1.gz"],
        "libpelican1": [lib + "/libpelican.so.1.4.5", lib + "/libpelican.so.1"],
        "libpelican-dev": [lib + "/libpelican.so", "/usr/include/pelican.h", lib + "/pkgconfig/pelican.pc",
                           "/usr/share/man/man3/tftp_client.3.gz"],
    }


@unittest.skipUnless(os.geteuid() == 0, "installs packages: needs root")
class PackageTest(unittest.TestCase):
    def setUp(self):
        present = [p for p in PACKAGES if installed(p)]
        if present:
            self.fail("already installed, would be purged by this test: %s" % " ".join(present))
        self.dir = tempfile.mkdtemp(prefix="orvanel-package-")
        os.chmod(self.dir, 0o755)  # the store lies here, read by the user tftp
        # What the machine had before, to be put back whatever happens.
        self.had_user = exists("tftp", pwd.getpwnam)
        self.had_group = exists("tftp", grp.getgrnam)
        self.had_served = os.path.lexists(SERVED)
        self.saved = {}
        for path in ("/etc/orvanel", LOG_DIR):
            if os.path.lexists(path):
                copy = os.path.join(self.dir, "saved" + path.replace("/", "_"))
                shutil.copytree(path, copy, symlinks=True)
                self.saved[path] = copy
        self.server = None
        self.placed = None
        self.addCleanup(self.restore)

    def restore(self):
        if self.server and self.server.poll() is None:
            self.server.kill()
            self.server.wait(10)
        if self.placed and os.path.lexists(self.placed):
            os.unlink(self.placed)
        present = [p for p in PACKAGES if installed(p)]
        if present:
            run(["dpkg", "--purge"] + present, timeout=300)
        if not self.had_served and os.path.isdir(SERVED):
            shutil.rmtree(SERVED, ignore_errors=True)
        if not self.had_user and exists("tftp", pwd.getpwnam):
            run(["deluser", "--system", "--quiet", "tftp"])
        if not self.had_group and exists("tftp", grp.getgrnam):
            run(["delgroup", "--system", "--quiet", "tftp"])
        for path in ("/etc/orvanel", LOG_DIR):
            if path in self.saved:
                shutil.rmtree(path, ignore_errors=True)
                shutil.copytree(self.saved[path], path, symlinks=True)
            elif os.path.lexists(path):
                shutil.rmtree(path, ignore_errors=True)
        shutil.rmtree(self.dir, ignore_errors=True)

    def build(self):
        """The .debs and .changes, built from the tracked sources only, or
        taken from ORVANEL_PACKAGES when the test command built them there
        ahead of this test."""
        out = os.environ.get("ORVANEL_PACKAGES")
        if not out:
            out = self.dir
            started = time.monotonic()
            r = run([os.path.join(TOP, "scripts", "build-packages.sh"), out], timeout=BUILD_SECONDS)
            print("build-packages.sh: %.0f s" % (time.monotonic() - started), file=sys.stderr)
            self.assertEqual(r.returncode, 0, r.stdout[-6000:])
        changes = glob.glob(os.path.join(out, "src", "orvanel-tftp_*.changes"))
        self.assertEqual(len(changes), 1, os.listdir(os.path.join(out, "src")))
        debs = [glob.glob(os.path.join(out, "src", "%s_*.deb" % p)) for p in PACKAGES]
        self.assertTrue(all(len(d) == 1 for d in debs), debs)
        return changes[0], [d[0] for d in debs]

    def serve_one_file(self):
        """The installed harrier, started as root with the unit's
        environment, serves /srv/tftp as tftp and logs under LOG_DIR."""
        port = harrier.free_port()
        store = os.path.join(self.dir, "hklm.reg")
        harrier.write_store(store, {"Port": port})  # the root left at its default
        notify_path = os.path.join(self.dir, "notify.sock")
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(notify_path)
        os.chmod(notify_path, 0o666)  # still reached once harrier is tftp
        self.addCleanup(notify.close)
        self.placed = os.path.join(SERVED, "orvanel-package-test-%d.bin" % os.getpid())
        content = os.urandom(70000)
        with open(self.placed, "wb") as f:
            f.write(content)
        os.chmod(self.placed, 0o644)
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LOGS_DIRECTORY": LOG_DIR,
               "RUNTIME_DIRECTORY": self.dir, "NOTIFY_SOCKET": notify_path, "ORVANEL_HKLM": store,
               "ORVANEL_CONTROL_SOCKET": os.path.join(self.dir, "control")}
        self.server = subprocess.Popen(["/usr/sbin/harrier"], env=env, cwd="/", stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        notify.settimeout(1.0)
        ready = ""
        deadline = time.monotonic() + 20
        while "READY=1" not in ready and time.monotonic() < deadline and self.server.poll() is None:
            try:
                ready += notify.recv(4096).decode("latin-1")
            except socket.timeout:
                pass
        self.assertIn("READY=1", ready, "exit %s" % self.server.poll())
        self.assertIn("listening on TFTP port %d" % port, ready)
        tftp = pwd.getpwnam("tftp")
        with open("/proc/%d/status" % self.server.pid) as f:
            ids = {line.split(":")[0]: line.split()[1:] for line in f if line.startswith(("Uid", "Gid"))}
        self.assertEqual(ids["Uid"], [str(tftp.pw_uid)] * 4)
        self.assertEqual(ids["Gid"], [str(tftp.pw_gid)] * 4)

        fetched = os.path.join(self.dir, "fetched.bin")
        r = run(["curl", "-sS", "--max-time", "20", "-o", fetched,
                 "tftp://127.0.0.1:%d/%s" % (port, os.path.basename(self.placed))], timeout=30)
        self.assertEqual(r.returncode, 0, r.stdout)
        with open(fetched, "rb") as f:
            self.assertEqual(f.read(), content)
        line, deadline = None, time.monotonic() + 10
        while line is None and time.monotonic() < deadline:
            for name in glob.glob(os.path.join(LOG_DIR, "tftp*.log")):
                with open(name, "rb") as f:
                    for text in f.read().decode("latin-1").splitlines():
                        if "Get/octet" in text and text.rstrip().endswith(self.placed):
                            line = text
            time.sleep(0.2)
        self.assertIsNotNone(line, "no result line in %s: %s" % (LOG_DIR, os.listdir(LOG_DIR)))
        self.assertRegex(line, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d +\d+s 127\.0\.0\.1 ")
        self.server.send_signal(signal.SIGTERM)
        self.assertEqual(self.server.wait(30), 0)
        os.unlink(self.placed)

    def check_installed_choices(self):
        """Without systemd's variable the installed harrier still takes
        LOG_DIR as its log directory (and so refuses to serve it), and
        harrier -install leaves the port to the package's unit."""
        store = os.path.join(self.dir, "logs-as-root.reg")
        harrier.write_store(store, {"Port": harrier.free_port(), "RootDirectory": LOG_DIR + "/"})
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "ORVANEL_HKLM": store,
               "ORVANEL_CONTROL_SOCKET": os.path.join(self.dir, "control")}
        r = run(["/usr/sbin/harrier", "-debug"], env=env, timeout=30)
        self.assertEqual(r.returncode, 1, r.stdout)
        self.assertIn("RootDirectory %s/ is the log directory %s/" % (LOG_DIR, LOG_DIR), r.stdout)
        # Where systemd seems to run, with a unit directory of its own that
        # would show what -install wrote.
        script = ("mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system && "
                  "mount -t tmpfs tmpfs /etc/systemd/system && /usr/sbin/harrier -install; "
                  "echo; ls -A /etc/systemd/system")
        r = run(["unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script], env=env, timeout=60)
        self.assertIn("/lib/systemd/system/orvanel-tftpd.service is installed by the package", r.stdout)
        self.assertNotIn("TFTPService.service", r.stdout)

    def test_build_install_serve_purge(self):
        changes, debs = self.build()
        r = run(["lintian", changes], timeout=600)
        print(r.stdout, file=sys.stderr)
        self.assertEqual([line for line in r.stdout.splitlines() if line.startswith("E:")], [])

        r = run(["dpkg", "-i"] + debs, timeout=300, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        self.assertEqual(r.returncode, 0, r.stdout)
        listed = {p: run(["dpkg", "-L", p]).stdout.split("\n") for p in PACKAGES}
        for package, paths in expected_files().items():
            for path in paths:
                with self.subTest(package=package, path=path):
                    self.assertIn(path, listed[package])
                    self.assertTrue(os.path.lexists(path))
        conffiles = run(["dpkg-query", "-W", "-f=${Conffiles}", "orvanel-tftpd"]).stdout
        self.assertIn("/etc/orvanel/hklm.reg", conffiles)
        with open("/usr/share/applications/orvanel-kestrel.desktop") as f:
            self.assertIn("\nExec=/usr/bin/kestrel\n", f.read())
        lib = "/usr/lib/%s/libpelican.so.1.4.5" % multiarch()
        self.assertRegex(run(["readelf", "-d", lib]).stdout, r"SONAME.*\[libpelican\.so\.1\]")
        self.assertEqual(run(["pkg-config", "--modversion", "pelican"]).stdout.strip(), "1.4.5")

        # The unit: systemd's own check, and the hardening harrier -install writes.
        r = run(["systemd-analyze", "verify", "/lib/systemd/system/orvanel-tftpd.service"])
        self.assertEqual(r.returncode, 0, r.stdout)
        with open("/lib/systemd/system/orvanel-tftpd.service") as f:
            unit = f.read()
        for setting in ('ExecStart="/usr/sbin/harrier"', "User=tftp", "LogsDirectory=orvanel-tftp",
                        "ProtectSystem=full", "CapabilityBoundingSet=CAP_NET_BIND_SERVICE"):
            self.assertIn("\n%s\n" % setting, unit)
        self.assertTrue(exists("tftp", pwd.getpwnam))
        if not self.had_served:
            self.assertEqual(pwd.getpwuid(os.stat(SERVED).st_uid).pw_name, "tftp")
        # The conffile is a store the tools read, and no setting is set in it.
        r = run(["/usr/sbin/orvanel-reg", "query", "HKLM\\Software\\Orvanel\\Kestrel", "/s"],
                env=dict(os.environ, ORVANEL_HKLM="/etc/orvanel/hklm.reg"))
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertNotIn("REG_SZ", r.stdout)

        self.serve_one_file()
        self.check_installed_choices()

        pages = [p for paths in listed.values() for p in paths if re.match(r"/usr/share/man/man\d/.+\.gz$", p)]
        for page in pages:
            with self.subTest(page=page):
                r = run(["man", "-l", page], env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING="0"))
                self.assertEqual(r.returncode, 0, r.stdout)
                self.assertGreater(len(r.stdout), 200)

        r = run(["dpkg", "--purge"] + PACKAGES, timeout=300)
        self.assertEqual(r.returncode, 0, r.stdout)
        left = [p for paths in listed.values() for p in paths
                if p.startswith("/") and os.path.lexists(p) and not os.path.isdir(p)]
        self.assertEqual(left, [])
        for directory in ("/etc/orvanel", LOG_DIR, "/usr/share/orvanel-tftp", "/var/lib/orvanel-tftpd"):
            self.assertFalse(os.path.lexists(directory), directory)
        if not self.had_served:
            self.assertFalse(os.path.lexists(SERVED))  # made by the package, and empty
        else:
            self.assertTrue(os.path.isdir(SERVED))  # someone else's
        self.assertTrue(exists("tftp", pwd.getpwnam))  # the user stays, as Debian's policy asks


if __name__ == "__main__":
    unittest.main()
