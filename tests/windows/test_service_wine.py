"""Harrier.exe under Wine: the console mode and its control pipe, and the
service path through Wine's service control manager (install, start, TFTP,
control pipe, stop, remove).

The programs come from the mingw-w64 build (ORVANEL_WIN_BUILD_DIR, by
default build-win beside the sources); a missing build fails every test.
Each run has a Wine prefix of its own in a temporary directory, so the
service it installs and the wineserver it starts go with it.
"""
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import common  # noqa: E402
import harrier  # noqa: E402
import tftp_packets as tp  # noqa: E402

WIN_BUILD_DIR = os.path.abspath(os.environ.get(
    "ORVANEL_WIN_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build-win")))
HARRIER_EXE = os.path.join(WIN_BUILD_DIR, "bin", "Harrier.exe")
PIPE_CLIENT_EXE = os.path.join(WIN_BUILD_DIR, "bin", "pipe_client.exe")
SETTINGS_KEY = "HKLM\\Software\\Orvanel\\Kestrel"

# Replies of the control pipe, as pipe_client prints them.
STATUS_1 = "01000000"
STATUS_0 = "00000000"
SERVICE_RUNNING, SERVICE_STOPPED = 4, 1
ERROR_SERVICE_DOES_NOT_EXIST = 1060

_wine = {}


windows_path = harrier.wine_path


def wine_env():
    return harrier.wine_env(prefix=_wine["prefix"])


def wine(*args, timeout=60):
    """Runs a Windows program in this run's prefix; returns (exit code,
    standard output). What it wrote to standard error is kept in
    _wine["stderr"] for failure messages."""
    code, out, _wine["stderr"] = harrier.run_wine(args, timeout, prefix=_wine["prefix"])
    return code, out


def control(verb, tool="sc"):
    """sc or net with a verb on the service; returns (exit code, all output)."""
    rc, out = wine(tool, verb, "TFTPService", timeout=60)
    return rc, out + _wine["stderr"]


def pipe(*requests, options=()):
    """pipe_client with the requests: (exit code, reply lines)."""
    rc, out = wine(_wine["pipe_client"], *options, *requests, timeout=30)
    return rc, out.splitlines()


def service_config():
    """The installed service as the manager reports it (key -> text)."""
    _, out = wine(_wine["pipe_client"], "--service", "TFTPService", timeout=30)
    return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)


def wait_for_state(state, seconds=20):
    config = common.wait_for(service_config, lambda c: c.get("state") == str(state), seconds, 0.3)
    if config.get("state") != str(state):
        raise AssertionError("service never reached state %d: %r" % (state, config))
    return config


def import_settings(values):
    """Imports the REGEDIT4 text the Linux tests write into Wine's registry."""
    path = os.path.join(_wine["dir"], "settings.reg")
    harrier.write_store(path, values)
    # The first program of a fresh prefix starts its system processes, which
    # keep whatever output they inherit open: nothing of ours is handed on.
    rc = subprocess.run(["wine", "regedit", "/S", windows_path(path)], stdin=subprocess.DEVNULL,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=wine_env(),
                        timeout=120).returncode
    if rc != 0:
        raise AssertionError("regedit /S failed with %d" % rc)


def registry_value(name):
    """The text of a value of the settings key, or None when it is absent."""
    rc, out = wine("reg", "query", SETTINGS_KEY, "/v", name)
    if rc != 0:
        return None
    m = re.search(r"^\s*%s\s+REG_SZ\s+(.*)$" % re.escape(name), out, re.M | re.I)
    return m.group(1).strip() if m else None


def fetch(port, name, timeout=2.0):
    with harrier.Client(port) as client:
        return harrier.download(client, name, timeout=timeout)[0]


def fetch_within(port, name, seconds=20):
    """A download retried while the server is still coming up."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            return fetch(port, name)
        except AssertionError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.3)



def setUpModule():
    try:
        prepare_wine()
    except BaseException:
        # A prefix made persistent must not outlive a failed start.
        tearDownModule()
        raise


def prepare_wine():
    for program in (HARRIER_EXE, PIPE_CLIENT_EXE):
        if not os.path.isfile(program):
            raise AssertionError("%s is missing: build the Windows programs into %s first "
                                 "(scripts/build-windows.sh or cmake with cmake/mingw-w64-x86_64.cmake)"
                                 % (program, WIN_BUILD_DIR))
    if shutil.which("wine") is None:
        raise AssertionError("wine is not installed")
    _wine["dir"] = tempfile.mkdtemp(prefix="orvanel-wine-")
    _wine["prefix"] = os.path.join(_wine["dir"], "prefix")
    # A blank in the program directory: the service's image path is registered unquoted.
    program_dir = os.path.join(_wine["dir"], "TFTP program")
    os.makedirs(program_dir)
    _wine["program_dir"] = program_dir
    _wine["harrier"] = os.path.join(program_dir, "Harrier.exe")
    shutil.copy2(HARRIER_EXE, _wine["harrier"])
    _wine["pipe_client"] = os.path.join(_wine["dir"], "pipe_client.exe")
    shutil.copy2(PIPE_CLIENT_EXE, _wine["pipe_client"])
    root = os.path.join(_wine["dir"], "root")
    os.makedirs(root)
    _wine["root"] = root
    _wine["payload"] = bytes((i * 7 + 3) & 0xFF for i in range(3000))
    with open(os.path.join(root, "boot.bin"), "wb") as f:
        f.write(_wine["payload"])
    _wine["port"] = common.free_port()
    # Wine's server ends the prefix's system processes, the service manager
    # and its services with them, a few seconds after the last program
    # ended: kept persistent until tearDownModule, a service outlives the
    # short programs that install and query it, as it does on Windows.
    os.makedirs(_wine["prefix"])  # wine fills it in at its first program
    subprocess.run(["wineserver", "-p"], env=wine_env(), timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    import_settings({"Port": _wine["port"], "RootDirectory": windows_path(root) + "\\"})


def tearDownModule():
    if "prefix" not in _wine:
        return
    # The prefix's own wineserver ends every process it holds, a service
    # left running by a failed test too.
    subprocess.run(["wineserver", "-k"], env=wine_env(), timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=wine_env(), timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    shutil.rmtree(_wine["dir"], True)


class ConsoleServer:
    """Harrier.exe -debug with standard output in a file."""

    def __init__(self, port=None, await_pipe=True):
        port = port or _wine["port"]
        self.output_path = os.path.join(_wine["dir"], "console-%d.txt" % time.monotonic_ns())
        self._out = open(self.output_path, "wb")
        self.proc = subprocess.Popen(["wine", _wine["harrier"], "-debug"], stdin=subprocess.DEVNULL,
                                     stdout=self._out, stderr=subprocess.DEVNULL, env=wine_env())
        ready = "Ready on TFTP port %d\n" % port
        common.wait_until(lambda: ready in self.output() or self.proc.poll() is not None, 30, 0.1)
        if ready not in self.output():
            self.stop()
            raise AssertionError("Harrier.exe -debug did not start: %r" % self.output())
        # The pipe's thread starts after the start-up lines.
        if await_pipe and not common.wait_until(lambda: pipe("07000000")[0] == 0, 10, 0.2):
            self.stop()
            raise AssertionError("control pipe never answered")

    def output(self):
        with open(self.output_path, "rb") as f:
            return f.read().decode("latin-1").replace("\r\n", "\n")

    def interrupt(self, timeout=15):
        """Ctrl+C as Wine delivers it (SIGINT); returns the exit code."""
        self.proc.send_signal(signal.SIGINT)
        return self.proc.wait(timeout=timeout)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=30)
        self._out.close()


class ConsoleModeTest(unittest.TestCase):
    def test_start_up_lines_download_and_ctrl_c(self):
        server = ConsoleServer()
        try:
            text = server.output()
            self.assertTrue(text.startswith("Debugging TFTP Server.\n"), text)
            self.assertIn(" RootDirectory : %s\\\n" % windows_path(_wine["root"]), text)
            self.assertEqual(fetch(_wine["port"], "boot.bin"), _wine["payload"])
            # The program directory is recorded, with its "\".
            self.assertEqual(registry_value("Path"), windows_path(_wine["program_dir"]) + "\\")
            self.assertEqual(server.interrupt(), 0)
            self.assertTrue(server.output().endswith("Stopping TFTP Server.\n"), server.output())
        finally:
            server.stop()


class ControlPipeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ConsoleServer()

    @classmethod
    def tearDownClass(cls):
        try:
            code = cls.server.interrupt()
            if code != 0:
                raise AssertionError("Harrier.exe -debug ended with %d" % code)
        finally:
            cls.server.stop()

    def test_reloads_state_unknown_commands_and_requests_too_short(self):
        # The last two: command 8 without its index, and a request of two bytes.
        rc, lines = pipe("01000000", "02000000", "03000000", "04000000", "07000000", "00000000", "09000000",
                         "08000000", "0800")
        self.assertEqual(rc, 0)
        self.assertEqual(lines, [STATUS_0] * 4 + ["00000000" "00000000" "00000000"] + [STATUS_1] * 4)

    def test_newest_session_record_then_status_1_past_the_end(self):
        self.assertEqual(fetch(_wine["port"], "boot.bin"), _wine["payload"])
        rc, lines = pipe("0800000000000000", "0800000001000000")
        self.assertEqual(rc, 0)
        reply = bytes.fromhex(lines[0])
        self.assertEqual(len(reply), 492)
        status, _active = struct.unpack("<II", reply[:8])
        record = reply[8:]
        self.assertEqual(status, 0)
        self.assertEqual(struct.unpack("<H", record[0:2])[0], tp.RRQ)
        self.assertEqual(struct.unpack("<I", record[20:24])[0], len(_wine["payload"]))
        self.assertEqual(record[52:56], bytes([127, 0, 0, 1]))
        path = record[92:352].split(b"\0")[0].decode("latin-1")
        self.assertEqual(path, windows_path(os.path.join(_wine["root"], "boot.bin")))
        self.assertEqual(lines[1], STATUS_1)

    def test_ipv6_transfer_and_its_record_with_the_full_address(self):
        v6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
        self.addCleanup(v6.close)
        v6.settimeout(5)
        v6.sendto(tp.request(tp.RRQ, "boot.bin"), ("::1", _wine["port"]))
        got = b""
        for block in range(1, 1000):  # bounded: the payload is a few blocks
            packet, source = v6.recvfrom(600)
            op, fields = tp.parse(packet)
            self.assertEqual((op, fields[0], source[0]), (tp.DATA, block, "::1"))
            self.assertNotEqual(source[1], _wine["port"], "data comes from a port of its own")
            got += fields[1]
            v6.sendto(tp.ack(block), source)
            if len(fields[1]) < 512:
                break
        self.assertEqual(got, _wine["payload"])
        rc, lines = pipe("0900000000000000", "0800000000000000")
        self.assertEqual(rc, 0)
        reply = bytes.fromhex(lines[0])
        self.assertEqual(len(reply), 516)
        self.assertEqual(reply[:492], bytes.fromhex(lines[1]), "command 8's reply comes first")
        self.assertEqual(reply[8 + 52:8 + 56], bytes(4), "the record's IPv4 field is empty")
        family, address, zone = struct.unpack_from("<I16sI", reply, 492)
        self.assertEqual((family, socket.inet_ntop(socket.AF_INET6, address), zone), (6, "::1", 0))

    def test_pause_drops_requests_until_resume_and_leaves_no_stop_value(self):
        rc, lines = pipe("06000000", "07000000")
        self.assertEqual((rc, lines), (0, ["000000000100000000000000"] * 2))
        try:
            self.assertFalse(harrier.answers(_wine["port"], "boot.bin", 2.0), "a paused server answered")
            self.assertIsNone(registry_value("Stop"))
        finally:
            rc, lines = pipe("05000000")
        self.assertEqual((rc, lines), (0, ["000000000000000000000000"]))
        self.assertEqual(fetch(_wine["port"], "boot.bin"), _wine["payload"])
        self.assertIsNone(registry_value("Stop"))

    def test_second_client_is_busy_while_the_first_is_connected(self):
        first = subprocess.Popen(["wine", _wine["pipe_client"], "--hold", "4000", "07000000"],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, env=wine_env())
        try:
            # The first client's reply is printed once it is connected and served.
            reply = first.stdout.readline().decode().strip()
            self.assertEqual(reply, "000000000000000000000000")
            started = time.monotonic()
            rc, lines = pipe("07000000")
            waited = time.monotonic() - started
            self.assertEqual(rc, 2, lines)
            self.assertTrue(lines and lines[0].startswith("connect failed"), lines)
            # It waited for the pipe's default time-out of 1000 ms first.
            self.assertGreaterEqual(waited, 0.9)
        finally:
            first.wait(timeout=30)
            first.stdout.close()
        self.assertEqual(pipe("07000000"), (0, ["000000000000000000000000"]))

    def test_a_second_server_finds_the_pipe_taken_and_says_so(self):
        other = common.free_port()
        settings = {"RootDirectory": windows_path(_wine["root"]) + "\\"}
        import_settings(dict(settings, Port=other))
        try:
            second = ConsoleServer(port=other, await_pipe=False)
        finally:
            import_settings(dict(settings, Port=_wine["port"]))
        try:
            taken = "Control channel \\\\.\\pipe\\orvanel_tftp_server not opened: the name is taken"
            common.wait_until(lambda: taken in second.output(), 10, 0.1)
            self.assertIn(taken, second.output())
            self.assertEqual(fetch(other, "boot.bin"), _wine["payload"])  # TFTP is served all the same
            self.assertEqual(second.interrupt(), 0)
        finally:
            second.stop()
        # The pipe stays the first server's.
        self.assertEqual(pipe("07000000"), (0, ["000000000000000000000000"]))

    def test_message_longer_than_the_buffer_ends_the_connection_only(self):
        # 1028 bytes: the client is disconnected without a reply.
        rc, lines = pipe("07000000*257", "07000000")
        self.assertEqual(rc, 3)
        self.assertTrue(all(line.startswith("no reply") for line in lines), lines)
        # 1024 bytes still fit, and the next client is served.
        self.assertEqual(pipe("07000000*256"), (0, ["000000000000000000000000"]))

    def test_silent_client_is_disconnected_after_the_idle_time(self):
        first = subprocess.Popen(["wine", _wine["pipe_client"], "--hold", "12000"],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL, env=wine_env())
        try:
            # Connected but silent: after the idle time of 5 s the pipe is free again.
            rc, lines = common.wait_for(lambda: pipe("07000000"), lambda reply: reply[0] == 0, 11, 0)
            self.assertEqual((rc, lines), (0, ["000000000000000000000000"]))
            self.assertIsNone(first.poll(), "the holding client ended before the server freed the pipe")
        finally:
            first.kill()
            first.wait(timeout=30)


class ServiceTest(unittest.TestCase):
    def tearDown(self):
        # Whatever a failed step left installed goes.
        if service_config().get("display"):
            wine(_wine["harrier"], "-remove", timeout=90)

    def test_install_serve_pipe_stop_restart_remove(self):
        rc, out = wine(_wine["harrier"], "-install")
        self.assertEqual((rc, out), (0, "TFTP Server installed.\nTFTP Server started.\n"))
        config = wait_for_state(SERVICE_RUNNING)
        self.assertEqual(config["display"], "TFTP Server")
        self.assertEqual(config["image"], windows_path(_wine["harrier"]))  # unquoted, blank and all
        self.assertEqual(config["start"], "2")  # automatic
        self.assertEqual(config["type"], "16")  # own process

        self.assertEqual(fetch_within(_wine["port"], "boot.bin"), _wine["payload"])
        rc, lines = pipe("07000000", "0800000000000000", "0800000001000000")
        self.assertEqual(rc, 0)
        self.assertEqual(lines[0], "000000000000000000000000")
        self.assertEqual(len(bytes.fromhex(lines[1])), 492)
        self.assertEqual(lines[1][:8], STATUS_0)
        self.assertEqual(lines[2], STATUS_1)

        # Wine runs every program as the same administrator: the pause is allowed.
        self.assertEqual(pipe("06000000"), (0, ["000000000100000000000000"]))
        self.assertFalse(harrier.answers(_wine["port"], "boot.bin", 2.0), "a paused service answered")
        self.assertIsNone(registry_value("Stop"))
        self.assertEqual(pipe("05000000"), (0, ["000000000000000000000000"]))
        self.assertEqual(fetch(_wine["port"], "boot.bin"), _wine["payload"])

        rc, out = control("stop", "net")
        self.assertEqual(rc, 0, out)
        wait_for_state(SERVICE_STOPPED)
        self.assertEqual(pipe("07000000")[0], 2)  # the pipe went with the service
        self.assertFalse(harrier.answers(_wine["port"], "boot.bin", 2.0), "a stopped service answered")

        rc, out = control("start")
        self.assertEqual(rc, 0, out)
        wait_for_state(SERVICE_RUNNING)
        self.assertEqual(fetch_within(_wine["port"], "boot.bin"), _wine["payload"])
        rc, out = control("stop")
        self.assertEqual(rc, 0, out)
        wait_for_state(SERVICE_STOPPED)

        # Removing a running service stops it first.
        rc, out = control("start")
        self.assertEqual(rc, 0, out)
        wait_for_state(SERVICE_RUNNING)
        rc, out = wine(_wine["harrier"], "-remove", timeout=90)
        self.assertEqual(rc, 0)
        self.assertRegex(out, r"^Stopping TFTP Server\.\.*\nTFTP Server stopped\.\nTFTP Server deleted\.\n$")
        self.assertEqual(service_config(), {"error": str(ERROR_SERVICE_DOES_NOT_EXIST)})
        self.assertFalse(harrier.answers(_wine["port"], "boot.bin", 2.0), "a removed service answered")

        # Once more: the service is gone, with the system's text and number.
        rc, out = wine(_wine["harrier"], "-remove", timeout=60)
        self.assertEqual(rc, 1)
        self.assertRegex(out, r"^TFTP Server failed to access service - .+ \(0x424\)\n$")

    def test_remove_of_a_stopped_service_prints_no_dots_and_deletes(self):
        rc, out = wine(_wine["harrier"], "-install")
        self.assertEqual(rc, 0, out)
        wait_for_state(SERVICE_RUNNING)
        rc, out = control("stop")
        self.assertEqual(rc, 0, out)
        wait_for_state(SERVICE_STOPPED)
        rc, out = wine(_wine["harrier"], "-remove", timeout=60)
        # The stop control fails; the fresh process's status record never read stopped.
        self.assertEqual((rc, out), (0, "\nTFTP Server failed to stop.\nTFTP Server deleted.\n"))
        self.assertEqual(service_config(), {"error": str(ERROR_SERVICE_DOES_NOT_EXIST)})

    def test_install_over_an_installed_service_fails_with_the_systems_text(self):
        rc, out = wine(_wine["harrier"], "-install")
        self.assertEqual(rc, 0, out)
        wait_for_state(SERVICE_RUNNING)
        rc, out = wine(_wine["harrier"], "-install")
        self.assertEqual(rc, 1)
        # ERROR_SERVICE_EXISTS
        self.assertRegex(out, r"^TFTP Server service installation failed - .+ \(0x431\)\n$")
        wait_for_state(SERVICE_RUNNING, seconds=5)


if __name__ == "__main__":
    unittest.main()
