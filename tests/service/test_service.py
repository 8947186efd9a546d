"""harrier as a service: its entry, the status notifications in order, the
stop control, the event log, console mode, install and remove without a
service manager."""
import glob
import os
import re
import signal
import socket
import subprocess
import sys
import time
import unittest

import service_support as ss
from service_support import ProgramDirectory

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import harrier  # noqa: E402
import tftp_packets as tp  # noqa: E402
from stepwise import StepWriter  # noqa: E402
from common import hold_port, scratch_directory  # noqa: E402

START_1 = "STATUS=Start pending, check point 1\nEXTEND_TIMEOUT_USEC=3000000\n"
START_2 = "STATUS=Start pending, check point 2\nEXTEND_TIMEOUT_USEC=3000000\n"


def running(port):
    return "READY=1\nSTATUS=Running, listening on TFTP port %d\n" % port

STOP_3 = "STOPPING=1\nSTATUS=Stop pending, check point 3\nEXTEND_TIMEOUT_USEC=3000000\n"
STOPPED = "STATUS=Stopped\n"


def syslog_error(entry, message, error_number=None):
    """Checks one syslog datagram: error priority, identity TFTPService, both texts."""
    m = re.match(r"<(\d+)>.*? TFTPService\[\d+\]: TFTPService error: (\d+): (.*)$", entry, re.S)
    assert m, entry
    assert int(m.group(1)) & 7 == 3, entry  # LOG_ERR
    assert m.group(3) == message, entry
    if error_number is not None:
        assert int(m.group(2)) == error_number, entry


def project_version():
    """The version the top CMakeLists.txt gives the project."""
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "CMakeLists.txt")) as f:
        return re.search(r"project\(orvanel_tftp VERSION ([0-9.]+)", f.read()).group(1)


def run_program(program, args, env=None):
    """(exit code, stdout, stderr) of a program run to its end."""
    r = subprocess.run([program] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       stdin=subprocess.DEVNULL, env=env, timeout=20)
    return r.returncode, r.stdout.decode("latin-1"), r.stderr.decode("latin-1")


class EntryTest(unittest.TestCase):
    def test_no_switch_prints_usage_and_reports_the_dispatcher_failure(self):
        with ProgramDirectory() as p:
            code, out = p.run([])
            self.assertEqual(code, 0)
            self.assertEqual(out, ss.USAGE)
            entry, = p.syslog_entries(1)
            syslog_error(entry, "StartServiceCtrlDispatcher failed.", 107)  # ENOTCONN: no manager
            self.assertTrue(p.no_syslog())

    def test_a_word_that_is_no_switch_is_a_usage_error(self):
        # Only the exact switches count; a slash, a missing or doubled dash,
        # a longer word or a first argument that is no switch at all is
        # refused before anything runs, never taken for the service start.
        for args in (["/install"], ["install"], ["-installx"], ["--debug"], ["x", "-debug"], ["-bogus"]):
            code, out, err = run_program(harrier.HARRIER, args)
            self.assertEqual((code, out), (2, ""), args)
            self.assertEqual(err, "harrier: unknown switch '%s'\nTry 'harrier --help' for more information.\n"
                             % args[0], args)

    def test_switches_in_any_case(self):
        with ProgramDirectory() as p:
            for switch in ("-INSTALL", "-Install", "-remove", "-ReMoVe"):
                code, out = p.run([switch])
                self.assertEqual(code, 1, switch)  # no service manager here: a failure
                self.assertEqual(out, "OpenSCManager failed - No such file or directory (0x2)\n", switch)
            self.assertTrue(p.no_syslog())  # install failures go to the console only
            p.start(["-DeBuG"])
            start = ss.read_start_up(p.proc)
            self.assertTrue(start.startswith("Debugging TFTP Server.\n"), start)
            self.assertIn("Ready on TFTP port %d" % p.port, start)
            self.assertEqual(ss.stop(p.proc, signal.SIGINT), 0)
            self.assertEqual(p.proc.stdout.read().decode(), "Stopping TFTP Server.\n")
            self.assertTrue(p.no_syslog())  # console mode never writes the event log


class CommandLineTest(unittest.TestCase):
    """--help and --version on standard output with exit code 0, a command
    line that makes no sense on standard error with exit code 2, for every
    server-side program; no display and no server needed."""

    def programs(self):
        tools = {name: os.path.join(harrier.BUILD_DIR, "bin", name)
                 for name in ("harrier", "harrierctl", "orvanel-reg", "kestrel")}
        missing = [n for n, path in tools.items() if not os.path.exists(path)]
        if missing:
            self.skipTest("not built: %s" % missing)
        return tools

    def env(self):
        e = dict(os.environ, ORVANEL_CONTROL_SOCKET="/nonexistent/control",
                 ORVANEL_HKLM="/nonexistent/hklm.reg")
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):  # kestrel must answer without one
            e.pop(name, None)
        return e

    def test_help_and_version(self):
        version = project_version()
        for name, program in self.programs().items():
            with self.subTest(program=name):
                code, out, err = run_program(program, ["--help"], self.env())
                self.assertEqual((code, err), (0, ""))
                self.assertTrue(out.startswith("Usage:"), out)
                self.assertIn(name, out)
                self.assertIn("--version", out)
                code, out, err = run_program(program, ["--version"], self.env())
                self.assertEqual((code, out, err), (0, "%s %s\n" % (name, version), ""))

    def test_usage_errors(self):
        cases = {
            "harrier": [["-bogus"], ["--helpme"]],
            # Judged before the channel is looked for: no server runs here.
            "harrierctl": [[], ["bogus"], ["reload"], ["reload", "nothing"], ["status", "extra"]],
            "orvanel-reg": [[], ["copy", "HKLM\\Software"], ["query"], ["add", "HKLM\\Software", "/v"],
                            ["query", "HKXX\\Software"]],
            "kestrel": [["-bogus"], ["file.txt"], ["--display"], ["-service", "--bogus"]],
        }
        for name, program in self.programs().items():
            for args in cases[name]:
                with self.subTest(program=name, args=args):
                    code, out, err = run_program(program, args, self.env())
                    self.assertEqual((code, out), (2, ""), err)
                    if name == "orvanel-reg":  # reg.exe's wording
                        self.assertRegex(err, r"^ERROR: Invalid (syntax|operation|key name)")
                    else:
                        self.assertRegex(err, r"^%s: .+\nTry '%s --help' for more information\.\n$" % (name, name))

    def test_a_closed_standard_output_fails_the_answer(self):
        # An answer that could not be written is no success.
        program = self.programs()["harrier"]
        with open("/dev/full", "w") as full:
            r = subprocess.run([program, "--help"], stdout=full, stderr=subprocess.PIPE, timeout=20)
        self.assertEqual(r.returncode, 1)


class ServiceRunTest(unittest.TestCase):
    def test_notifications_in_order_then_sigterm_stops_with_code_0(self):
        with ProgramDirectory({"Log": 2}) as p:
            with open(os.path.join(p.root, "f.bin"), "wb") as f:
                f.write(b"x" * 1500)
            with open(p.store, "a") as f:
                f.write("; the administrator's comment stays\r\n")
            with open(p.store, "rb") as f:
                store_text = f.read()
            store_mtime = os.stat(p.store).st_mtime_ns
            p.start()
            self.assertEqual(p.notifications(2), [START_1, START_2])
            self.assertEqual(p.notifications(1), [running(p.port)])
            # Ready means bound: the port is taken the moment READY=1 arrives ...
            probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            with self.assertRaises(OSError, msg="READY=1 came before the port was bound"):
                probe.bind(("0.0.0.0", p.port))
            probe.close()
            # ... and the first request sent right after it is answered, without a retry.
            with harrier.Client(p.port) as c:
                got, _, _ = harrier.download(c, "f.bin", timeout=2.0)
                self.assertEqual(got, b"x" * 1500)
            self.assertEqual(ss.stop(p.proc), 0)
            self.assertEqual(p.notifications(2), [STOP_3, STOPPED])
            self.assertTrue(p.no_syslog())
            out = p.proc.stdout.read().decode()
            self.assertEqual(out, ss.USAGE)  # the service writes nothing else to its output
            # The service logs to a file in its program directory and leaves
            # the administrator's store as it was.
            logs = [n for n in os.listdir(p.program_dir) if re.match(r"tftp\d{4}\.log$", n)]
            self.assertEqual(len(logs), 1, os.listdir(p.program_dir))
            with open(os.path.join(p.program_dir, logs[0]), "rb") as f:
                text = f.read().decode()
            # Lines end as the system's text files do.
            self.assertIn("Ready on TFTP port %d\n" % p.port, text)
            self.assertNotIn("\r", text)
            self.assertIn("f.bin", text)
            with open(p.store, "rb") as f:
                self.assertEqual(f.read(), store_text)
            self.assertEqual(os.stat(p.store).st_mtime_ns, store_mtime, "the store was written")

    def test_second_stop_control_reports_the_next_check_point(self):
        with ProgramDirectory() as p:
            p.start()
            self.assertEqual(p.notifications(3), [START_1, START_2, running(p.port)])
            # Two stop controls close together: each reports stop pending.
            p.proc.send_signal(signal.SIGTERM)
            p.proc.send_signal(signal.SIGTERM)
            self.assertEqual(p.proc.wait(15), 0)
            notes = p.notifications(2)
            self.assertEqual(notes[0], STOP_3)
            self.assertIn(notes[1], (STOPPED, STOP_3.replace("point 3", "point 4")))

    def test_port_in_use_is_unable_to_start_never_ready_and_exits_non_zero(self):
        with ProgramDirectory() as p:
            hold_port(self.addCleanup, p.port)
            p.start()
            # Non-zero, so that the manager marks the unit failed and may restart it.
            self.assertEqual(p.proc.wait(15), 1)
            self.assertEqual(p.notifications(3), [START_1, START_2, STOPPED])
            self.assertTrue(p.no_notification(0.2))
            entry, = p.syslog_entries(1)
            syslog_error(entry, "Unable to start service")
            self.assertTrue(p.no_syslog())

    def test_a_control_channel_that_cannot_open_is_logged_and_the_service_runs(self):
        with ProgramDirectory({"Log": 2}) as p:
            with open(p.control, "w") as f:
                f.write("in the way")
            with open(os.path.join(p.root, "f.bin"), "wb") as f:
                f.write(b"x" * 100)
            p.start()
            self.assertEqual(p.notifications(3), [START_1, START_2, running(p.port)])
            entry, = p.syslog_entries(1)
            syslog_error(entry, "Control channel %s not opened: the path exists and is not a socket" % p.control)
            with harrier.Client(p.port) as c:
                self.assertEqual(harrier.download(c, "f.bin", timeout=2.0)[0], b"x" * 100)
            self.assertEqual(ss.stop(p.proc), 0)
            self.assertTrue(p.no_syslog())

    def test_unreachable_manager_logs_setservicestatus_and_skips_the_server(self):
        with ProgramDirectory() as p:
            p.check_isolation()
            env = p.env()
            env["NOTIFY_SOCKET"] = os.path.join(p.dir, "nobody-listens")
            r = subprocess.run(p.command([]), env=env, stdout=subprocess.PIPE, timeout=20)
            self.assertEqual(r.returncode, 1)
            entries = p.syslog_entries(2)
            # The first start-pending report fails: no server, then the stopped report fails too.
            syslog_error(entries[0], "SetServiceStatus")
            syslog_error(entries[1], "SetServiceStatus")
            self.assertTrue(p.no_syslog())


class SafeDefaultsTest(unittest.TestCase):
    """Nothing a client can reach may hold the server's programs, store or
    logs: with the settings as shipped (no root stored) a client that
    fetched and replaced "harrier" would otherwise have had the service run
    its file as root at the next start."""

    def test_an_unset_root_serves_srv_tftp_and_never_the_program(self):
        with ProgramDirectory({"RootDirectory": None}) as p:
            p.start(["-debug"])
            start = ss.read_start_up(p.proc)
            if not os.path.isdir("/srv/tftp"):
                self.assertIn("RootDirectory /srv/tftp/ does not exist", start)
                self.assertEqual(p.proc.wait(15), 1)
                return
            self.assertIn("RootDirectory : /srv/tftp/\n", start)
            if not os.path.exists("/srv/tftp/harrier"):
                with harrier.Client(p.port) as c:
                    c.send_request(tp.request(tp.RRQ, "harrier"))
                    packet, _ = c.receive(3)
                self.assertEqual(tp.parse(packet), (tp.ERROR, (tp.ERR_NOT_FOUND, "File not found")))
            self.assertEqual(ss.stop(p.proc, signal.SIGINT), 0)

    def test_a_root_or_prefix_over_the_servers_own_files_stops_the_start(self):
        for setting, value, message in (
                ("RootDirectory", "{bin}/", "RootDirectory {bin}/ is the program directory {bin}/: "
                                            "clients could replace the server's programs"),
                ("RootDirectory", "{dir}/", "RootDirectory {dir}/ contains the program directory {bin}/: "
                                            "clients could replace the server's programs"),
                ("RootDirectory", "{bin}/../etc/sub", "RootDirectory {dir}/etc/sub/ lies inside the settings "
                                                      "store's directory {dir}/etc/: clients could read and "
                                                      "replace its settings"),
                ("Prefix", "/srv/images;{dir}/etc", "Prefix entry {dir}/etc/ is the settings store's directory "
                                                    "{dir}/etc/: clients could read and replace its settings"),
                ("RootDirectory", "{dir}/link/", "RootDirectory {bin}/ is the program directory {bin}/: "
                                                 "clients could replace the server's programs"),
                # A root that cannot be served at all stops the start too.
                ("RootDirectory", "{dir}/gone/", 'RootDirectory {dir}/gone/ does not exist: the server would '
                                                 'answer every request with "File not found"'),
                ("RootDirectory", "{dir}/plain", 'RootDirectory {dir}/plain is not a directory: the server would '
                                                 'answer every request with "File not found"')):
            with self.subTest(setting=setting, value=value):
                with ProgramDirectory() as p:
                    os.symlink(p.program_dir, os.path.join(p.dir, "link"))  # a link is no way round
                    open(os.path.join(p.dir, "plain"), "w").close()
                    with open(p.store, "a") as f:
                        f.write('"%s"="%s"\r\n' % (setting, value.format(dir=p.dir, bin=p.program_dir)))
                    code, out = p.run(["-debug"])
                    self.assertEqual(code, 1, out)
                    self.assertIn(message.format(dir=p.dir, bin=p.program_dir) + "\n", out)
                    self.assertNotIn("Ready on TFTP port", out)
        # As a service, the reason reaches the system log before the failure.
        with ProgramDirectory() as p:
            with open(p.store, "a") as f:
                f.write('"RootDirectory"="%s/"\r\n' % p.program_dir)
            p.start()
            self.assertEqual(p.proc.wait(15), 1)
            entries = p.syslog_entries(2)
            syslog_error(entries[0], "RootDirectory %s/ is the program directory %s/: clients could replace the "
                                     "server's programs" % (p.program_dir, p.program_dir))
            syslog_error(entries[1], "Unable to start service")

    def test_the_log_directory_is_not_served_either(self):
        with ProgramDirectory() as p:
            logs = os.path.join(p.dir, "log")
            os.makedirs(logs)
            with open(p.store, "a") as f:
                f.write('"Prefix"="%s"\r\n' % logs)
            env = p.env(notify=False)
            env["LOGS_DIRECTORY"] = logs  # as systemd's LogsDirectory= hands it over
            r = subprocess.run([p.program, "-debug"], env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, timeout=20)
            self.assertEqual(r.returncode, 1)
            self.assertIn("Prefix entry %s/ is the log directory %s/: clients could read and overwrite its logs"
                          % (logs, logs), r.stdout.decode())


# One store with every kind of mistake, and the line -check prints for each.
MISTAKES = (
    ('"Upload"="no"', 'error: Upload: "no" is not a number; the default 1 applies'),
    ('"Port"=dword:00001b5a', 'error: Port: stored as dword:00001b5a, not as text (REG_SZ): the default 69 '
                              'applies; write it as "Port"="..."'),
    ('Timeout=5', 'error: line {line} of {store} cannot be read and sets nothing: Timeout=5'),
    ('"Prot"="70"', 'error: Prot: no program of the suite reads this value; did you mean "Port"?'),
    ('"Iconic"="2"', 'warning: Iconic: "2" is neither 0 nor 1; 1 applies'),
    ('"Retransmit"="5x"', 'warning: Retransmit: text after the number is ignored: "5x" reads as 5'),
    ('"Timeout"="0"', 'warning: Timeout: "0" is below 1; 1 applies'),
    ('"Clients"="100000"', 'warning: Clients: "100000" is above 4096; 4096 applies'),
    ('"Options"="15"', 'warning: Options: "15" has bits beyond 7; 7 applies'),
    ('"MulticastIp"="239.1.2.300"', 'error: MulticastIp: "239.1.2.300" is no address of four numbers below 256; '
                                    '224.0.0.1 applies'),
    ('"Prefix"="{dir}/images;{store}"', 'error: Prefix: {dir}/images does not exist; requests beneath it find nothing'),
    (None, 'error: Prefix: {store} is not a directory; requests beneath it find nothing'),
    ('"LogDirectory"="{dir}/logs"', 'error: LogDirectory: {dir}/logs does not exist; no log file can be written there'),
    ('"Language"="%s"' % ("x" * 40), 'error: Language: the text of 40 characters is longer than the 31 that are read; '
                                     'the value is ignored'),
)


class SettingsCheckTest(unittest.TestCase):
    """harrier -check reads the store as the server does and names every
    mistake; the server logs the same at start, and a root that is not there
    stops it."""

    def check(self, p):
        r = subprocess.run([p.program, "-check"], env=p.env(notify=False), stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=20)
        return r.returncode, r.stdout.decode("latin-1"), r.stderr.decode("latin-1")

    def mistaken_store(self, p):
        with open(p.store) as f:
            lines = f.read().splitlines()
        expected = []
        for line, message in MISTAKES:
            if line is not None:
                lines.append(line.format(dir=p.dir, store=p.store))
            expected.append(message.format(dir=p.dir, store=p.store, line=len(lines)))
        lines += ["", "[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel\\Other]"]
        expected.append("error: Other: no program of the suite reads this subkey")
        with open(p.store, "w") as f:
            f.write("\r\n".join(lines) + "\r\n")
        return expected

    def test_every_mistake_is_named_and_fails_the_check(self):
        with ProgramDirectory() as p:
            expected = self.mistaken_store(p)
            code, out, err = self.check(p)
            self.assertEqual(code, 1, out)
            self.assertEqual(err, "")
            got = out.splitlines()
            self.assertEqual(sorted(got[:-1]), sorted(expected))
            self.assertEqual(got[-1], "%s: 10 errors, 5 warnings" % p.store)

    def test_a_clean_store_passes(self):
        with ProgramDirectory({"Log": 2, "Upload": 0, "Prefix": "/tmp", "MulticastIp": "239.1.2.3",
                               "LogDirectory": "/tmp"}) as p:
            with open(p.store, "a") as f:
                f.write("; a comment\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel\\Access]\r\n"
                        '"pub\\\\0"="r"\r\n')
            self.assertEqual(self.check(p), (0, "%s: no problems\n" % p.store, ""))
            # Only warnings: still a pass.
            with open(p.store, "a") as f:
                f.write('\r\n[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel]\r\n"Timeout"="300"\r\n')
            self.assertEqual(self.check(p), (0, 'warning: Timeout: "300" is above 255; 255 applies\n'
                                                '%s: 0 errors, 1 warning\n' % p.store, ""))

    def test_the_server_logs_each_problem_at_start_and_serves(self):
        with ProgramDirectory() as p:
            with open(p.store, "a") as f:
                f.write('"Upload"="no"\r\n"Prot"="70"\r\n"Timeout"="0"\r\n')
            p.start(["-debug"])
            start = ss.read_start_up(p.proc)
            self.assertRegex(start, r'\n\S+ \S+ settings: error: Upload: "no" is not a number; the default 1 applies\n')
            self.assertRegex(start, r'\n\S+ \S+ settings: error: Prot: no program of the suite reads this value')
            self.assertRegex(start, r'\n\S+ \S+ settings: warning: Timeout: "0" is below 1; 1 applies\n')
            self.assertIn("Ready on TFTP port %d\n" % p.port, start)
            self.assertEqual(ss.stop(p.proc, signal.SIGINT), 0)

    def test_a_missing_root_stops_the_service_with_its_reason_in_the_log(self):
        # On the console: test_a_root_or_prefix_over_the_servers_own_files_stops_the_start.
        with ProgramDirectory({"RootDirectory": "/nonexistent/root/"}) as p:
            p.start()
            self.assertEqual(p.proc.wait(15), 1)
            entries = p.syslog_entries(2)
            syslog_error(entries[0], 'RootDirectory /nonexistent/root/ does not exist: the server would answer '
                                     'every request with "File not found"')
            syslog_error(entries[1], "Unable to start service")


class LogStreamTest(unittest.TestCase):
    def test_a_log_file_that_cannot_be_opened_is_reported_once(self):
        with ProgramDirectory() as p:
            with open(os.path.join(p.root, "f.bin"), "wb") as f:
                f.write(b"x" * 10)
            # This month's log file is a directory: no open can succeed.
            os.makedirs(os.path.join(p.program_dir, time.strftime("tftp%y%m.log")))
            p.start()
            p.notifications(3)  # running
            for _ in range(2):
                with harrier.Client(p.port) as c:
                    got, _, _ = harrier.download(c, "f.bin", timeout=2.0)
                    self.assertEqual(got, b"x" * 10)
            self.assertEqual(ss.stop(p.proc), 0)
            out = p.proc.stdout.read().decode()
            path = os.path.join(p.program_dir, time.strftime("tftp%y%m.log"))
            message = "the log file %s cannot be opened (Is a directory); no log lines are written until it can be" % path
            self.assertEqual(out.count(message), 1, out)
            self.assertIn("harrier: " + message + "\n", out)
            entry, = p.syslog_entries(1)
            self.assertRegex(entry, r"^<\d+>.*? harrier\[\d+\]: log file: " + re.escape(message) + "$")
            self.assertEqual(int(re.match(r"<(\d+)>", entry).group(1)) & 7, 3)
            self.assertTrue(p.no_syslog())

    def test_under_systemd_the_lines_reach_the_journal_with_their_priority(self):
        with ProgramDirectory({"Prot": "1"}) as p:
            p.check_isolation()
            with open(os.path.join(p.root, "f.bin"), "wb") as f:
                f.write(b"x" * 10)
            read_end, write_end = os.pipe()
            st = os.fstat(write_end)
            env = p.env()
            env["JOURNAL_STREAM"] = "%d:%d" % (st.st_dev, st.st_ino)  # as systemd names the stream
            p.proc = subprocess.Popen(p.command([]), stdout=subprocess.DEVNULL, stderr=write_end,
                                      stdin=subprocess.DEVNULL, env=env, cwd=p.dir)
            os.close(write_end)
            p.notifications(3)  # running
            with harrier.Client(p.port) as c:
                harrier.download(c, "f.bin", timeout=2.0)
            with harrier.Client(p.port) as c:
                c.send_request(tp.request(tp.RRQ, "missing.bin"))
                packet, _ = c.receive(3)
                self.assertEqual(tp.parse(packet), (tp.ERROR, (tp.ERR_NOT_FOUND, "File not found")))
            self.assertEqual(ss.stop(p.proc), 0)
            with os.fdopen(read_end, "rb") as f:
                journal = f.read().decode("latin-1")
            self.assertRegex(journal, r'(?m)^<4> settings: error: Prot: no program of the suite reads this value')
            self.assertRegex(journal, r"(?m)^<6> +0s 127\.0\.0\.1 +Get/octet  %s/f\.bin$" % re.escape(p.root))
            self.assertRegex(journal, r"(?m)^<4>  Error   127\.0\.0\.1 +Get +1 File not found ")
            for line in journal.splitlines():
                self.assertRegex(line, r"^<[346]>\S* ", "every line carries a priority")


class ConsoleTest(unittest.TestCase):
    def test_ctrl_c_and_ctrl_break_stop_the_console_server(self):
        for sig in (signal.SIGINT, signal.SIGQUIT):
            with ProgramDirectory() as p:
                p.start(["-debug"], notify=True)
                start = ss.read_start_up(p.proc)
                self.assertTrue(start.startswith("Debugging TFTP Server.\n"), start)
                self.assertIn("Multicast     :", start)
                self.assertEqual(ss.stop(p.proc, sig), 0)
                self.assertEqual(p.proc.stdout.read().decode(), "Stopping TFTP Server.\n")
                # Console mode reports nothing to a manager, even when one is there.
                self.assertTrue(p.no_notification(0.2))

    def test_console_with_port_in_use_ends_at_once_with_code_1_and_its_reason_without_event_log(self):
        with ProgramDirectory() as p:
            hold_port(self.addCleanup, p.port)
            p.check_isolation()
            # Run to its end: a signal sent before that would be reported too.
            r = subprocess.run(p.command(["-debug"]), env=p.env(notify=False), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=20)
            out = r.stdout.decode("latin-1")
            self.assertEqual(r.returncode, 1)
            self.assertTrue(out.startswith("Debugging TFTP Server.\n"), out)
            self.assertRegex(out, r" bind on TFTP port failed\n$")
            # The port and the reason go to standard error.
            self.assertEqual(r.stderr.decode(), "harrier: cannot bind UDP port %d: Address already in use\n" % p.port)
            self.assertTrue(p.no_syslog())

    def test_sigterm_during_an_upload_stops_like_ctrl_c_and_leaves_no_file(self):
        server = harrier.Server(settings={"Timeout": 5})
        self.addCleanup(server.close)
        client = harrier.Client(server.port)
        self.addCleanup(client.close)
        writer = StepWriter(client, "big.bin", b"u" * 200000)
        self.assertEqual(writer.first, tp.ack(0))
        self.assertTrue(writer.run(blocks=20))
        temporary = [n for n in os.listdir(server.root) if n.startswith(".tftp-upload-")]
        self.assertEqual(len(temporary), 1, os.listdir(server.root))  # the upload is under way
        start = time.monotonic()
        self.assertEqual(server.stop(signal.SIGTERM), 0)
        self.assertLess(time.monotonic() - start, 5)  # the worker saw the stop, no time-out waited for
        out = server.output()
        self.assertIn("Stopping TFTP Server.\n", out)
        self.assertIn("upload stopped on block 21", out)
        self.assertEqual(os.listdir(server.root), [])  # neither the new file nor a partial big.bin


class InstallWithFakeSystemdTest(unittest.TestCase):
    """install and remove against a stand-in systemctl that records its calls."""

    def run_harrier(self, p, args, states, installed=False, timeout=60):
        p.check_isolation()
        env = p.fake_systemctl(states)
        r = subprocess.run(p.command(args, fake_systemd=True, installed=installed), env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
        return r.returncode, r.stdout.decode()

    def test_install_writes_enables_and_starts_the_unit(self):
        with ProgramDirectory() as p:
            code, out = self.run_harrier(p, ["-install"], ["active"])
            self.assertEqual(code, 0)
            self.assertEqual(out, "TFTP Server installed.\nTFTP Server started.\n")
            self.assertEqual(p.calls(), ["daemon-reload", "enable TFTPService.service",
                                         "start --no-block TFTPService.service"])
            with open(os.path.join(p.dir, "enabled.service")) as f:
                unit = f.read()
            self.assertIn('\nExecStart="%s"\n' % p.program, unit)
            self.assertIn("\nType=notify\n", unit)

    def test_install_over_an_existing_service_fails(self):
        with ProgramDirectory() as p:
            code, out = self.run_harrier(p, ["-install"], ["active"], installed=True)
            self.assertEqual(code, 1)
            self.assertEqual(out, "TFTP Server service installation failed - File exists (0x11)\n")
            self.assertFalse(os.path.exists(p.systemctl_calls))  # systemd was not touched

    def test_remove_stops_with_dots_then_deletes(self):
        with ProgramDirectory() as p:
            states = ["active", "deactivating", "deactivating", "deactivating", "inactive"]
            code, out = self.run_harrier(p, ["-remove"], states, installed=True)
            self.assertEqual(code, 0)
            # The state right after the stop, then one query a second: two dots.
            self.assertEqual(out, "Stopping TFTP Server...\nTFTP Server stopped.\nTFTP Server deleted.\n")
            self.assertEqual(p.calls(), ["show --property=ActiveState --value TFTPService.service",
                                         "stop --no-block TFTPService.service"]
                             + ["show --property=ActiveState --value TFTPService.service"] * 4
                             + ["disable TFTPService.service", "daemon-reload"])

    def test_remove_of_a_stopped_service_prints_no_dots_and_deletes(self):
        with ProgramDirectory() as p:
            code, out = self.run_harrier(p, ["-remove"], ["inactive"], installed=True)
            self.assertEqual(code, 0)  # deleted: that it did not run is no failure
            self.assertEqual(out, "\nTFTP Server failed to stop.\nTFTP Server deleted.\n")
            self.assertNotIn("stop --no-block TFTPService.service", p.calls())

    def test_remove_without_the_service(self):
        with ProgramDirectory() as p:
            code, out = self.run_harrier(p, ["-remove"], ["inactive"])
            self.assertEqual(code, 1)
            self.assertEqual(out, "TFTP Server failed to access service - No such file or directory (0x2)\n")

    def test_a_service_that_never_stops_gets_30_dots(self):
        with ProgramDirectory() as p:
            code, out = self.run_harrier(p, ["-remove"], ["active", "deactivating"], installed=True,
                                         timeout=90)
            self.assertEqual(out, "Stopping TFTP Server." + "." * 30
                             + "\nTFTP Server failed to stop.\nTFTP Server deleted.\n")
            shows = [c for c in p.calls() if c.startswith("show")]
            self.assertEqual(len(shows), 32)  # before, right after the stop, then 30 polls


class InstallTargetTest(unittest.TestCase):
    def test_install_lays_out_the_linux_file_system(self):
        prefix = scratch_directory(self.addCleanup, "orvanel-install-")
        r = subprocess.run(["cmake", "--install", harrier.BUILD_DIR, "--prefix", prefix],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        self.assertEqual(r.returncode, 0, r.stdout.decode())
        for name in ("sbin/harrier", "sbin/harrierctl", "sbin/orvanel-reg", "bin/pelican-tftp"):
            self.assertTrue(os.access(os.path.join(prefix, name), os.X_OK), name)
        for name in ("harrier", "tftp.htm", "Languages"):
            self.assertFalse(os.path.exists(os.path.join(prefix, name)), "nothing in the prefix itself")
        libs = glob.glob(os.path.join(prefix, "lib*", "**", "libpelican.so.1"), recursive=True)
        self.assertEqual(len(libs), 1, libs)
        self.assertTrue(os.path.isfile(os.path.join(os.path.dirname(libs[0]), "pkgconfig", "pelican.pc")))
        self.assertTrue(os.path.isfile(os.path.join(prefix, "include", "pelican.h")))
        data = os.path.join(prefix, "share", "orvanel-tftp")
        for name in ("tftp.htm", "tftp-d.htm"):
            self.assertTrue(os.path.isfile(os.path.join(data, name)), name)
        if os.path.exists(os.path.join(harrier.BUILD_DIR, "bin", "kestrel")):
            self.assertTrue(os.access(os.path.join(prefix, "bin", "kestrel"), os.X_OK))
            self.assertTrue(os.path.isfile(os.path.join(data, "Languages", "deutsch.xrs")))
            with open(os.path.join(prefix, "share", "applications", "orvanel-kestrel.desktop")) as f:
                self.assertIn("\nExec=%s/bin/kestrel\n" % prefix, f.read())
            self.assertTrue(os.path.isfile(
                os.path.join(prefix, "share", "icons", "hicolor", "scalable", "apps", "orvanel-kestrel.svg")))
        # The unit harrier -install would write, naming the harrier installed.
        with open(os.path.join(prefix, "lib", "systemd", "system", "orvanel-tftpd.service")) as f:
            unit = f.read()
        self.assertIn('\nExecStart="%s/sbin/harrier"\n' % prefix, unit)
        self.assertIn("\nUser=tftp\n", unit)
        self.assertIn("\nLogsDirectory=orvanel-tftp\n", unit)
        # The installed program runs from there.
        r = subprocess.run([os.path.join(prefix, "sbin", "harrier")], stdout=subprocess.PIPE, timeout=20,
                           env=dict(os.environ, ORVANEL_HKLM=os.path.join(prefix, "x.reg")))
        self.assertEqual((r.returncode, r.stdout.decode()), (0, ss.USAGE))


if __name__ == "__main__":
    unittest.main()
