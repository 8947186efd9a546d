"""harrier as a service: its entry, the status notifications in order, the
stop control, the event log, console mode, install and remove without a
service manager."""
import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import unittest

import service_support as ss
from service_support import ProgramDirectory

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import harrier  # noqa: E402

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


class EntryTest(unittest.TestCase):
    def test_no_switch_prints_usage_and_reports_the_dispatcher_failure(self):
        with ProgramDirectory() as p:
            for args in ([], ["/install"], ["install"], ["-installx"], ["--debug"], ["x", "-debug"]):
                code, out = p.run(args)
                self.assertEqual(code, 0, args)
                self.assertEqual(out, ss.USAGE, args)
                entry, = p.syslog_entries(1)
                syslog_error(entry, "StartServiceCtrlDispatcher failed.", 107)  # ENOTCONN: no manager
                self.assertTrue(p.no_syslog())

    def test_switches_in_any_case(self):
        with ProgramDirectory() as p:
            for switch in ("-INSTALL", "-Install", "-remove", "-ReMoVe"):
                code, out = p.run([switch])
                self.assertEqual(code, 0)
                self.assertEqual(out, "OpenSCManager failed - No such file or directory (0x2)\n", switch)
            self.assertTrue(p.no_syslog())  # install failures go to the console only
            p.start(["-DeBuG"])
            start = ss.read_start_up(p.proc)
            self.assertTrue(start.startswith("Debugging TFTP Server.\n"), start)
            self.assertIn("Ready on TFTP port %d" % p.port, start)
            self.assertEqual(ss.stop(p.proc, signal.SIGINT), 0)
            self.assertEqual(p.proc.stdout.read().decode(), "Stopping TFTP Server.\n")
            self.assertTrue(p.no_syslog())  # console mode never writes the event log


class ServiceRunTest(unittest.TestCase):
    def test_notifications_in_order_then_sigterm_stops_with_code_0(self):
        with ProgramDirectory({"Log": 2}) as p:
            with open(os.path.join(p.root, "f.bin"), "wb") as f:
                f.write(b"x" * 1500)
            with open(p.store, "rb") as f:
                store_text = f.read()
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
            self.assertIn("Ready on TFTP port %d\r\n" % p.port, text)
            self.assertIn("f.bin", text)
            with open(p.store, "rb") as f:
                self.assertEqual(f.read(), store_text)

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
            blocker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            blocker.bind(("0.0.0.0", p.port))
            try:
                p.start()
                # Non-zero, so that the manager marks the unit failed and may restart it.
                self.assertEqual(p.proc.wait(15), 1)
            finally:
                blocker.close()
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
            self.assertIn("RootDirectory : /srv/tftp/\n", start)
            if not os.path.exists("/srv/tftp/harrier"):
                with harrier.Client(p.port) as c:
                    c.send_request(harrier.request(harrier.RRQ, "harrier"))
                    packet, _ = c.receive(3)
                self.assertEqual(harrier.parse(packet), (harrier.ERROR, (1, "File not found")))
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
                                                 "clients could replace the server's programs")):
            with self.subTest(setting=setting, value=value):
                with ProgramDirectory() as p:
                    os.symlink(p.program_dir, os.path.join(p.dir, "link"))  # a link is no way round
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

    def test_console_with_port_in_use_ends_at_once_with_code_1_without_event_log(self):
        with ProgramDirectory() as p:
            blocker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            blocker.bind(("0.0.0.0", p.port))
            try:
                code, out = p.run(["-debug"])
            finally:
                blocker.close()
            self.assertEqual(code, 1)
            self.assertTrue(out.startswith("Debugging TFTP Server.\n"), out)
            self.assertRegex(out, r"bind on TFTP port failed\n$")
            self.assertTrue(p.no_syslog())


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
            self.assertEqual(out, "\nTFTP Server failed to stop.\nTFTP Server deleted.\n")
            self.assertNotIn("stop --no-block TFTPService.service", p.calls())

    def test_remove_without_the_service(self):
        with ProgramDirectory() as p:
            code, out = self.run_harrier(p, ["-remove"], ["inactive"])
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
        prefix = tempfile.mkdtemp(prefix="orvanel-install-")
        self.addCleanup(shutil.rmtree, prefix, True)
        r = subprocess.run(["cmake", "--install", harrier.BUILD_DIR, "--prefix", prefix],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        self.assertEqual(r.returncode, 0, r.stdout.decode())
        for name in ("sbin/harrier", "sbin/harrierctl", "sbin/orvanel-reg", "bin/pelican"):
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
