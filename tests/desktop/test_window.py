"""The real kestrel under Xvfb: start-up, Start and Stop, the close box,
Exit, a second start, a port that cannot be bound, and the rows of real
transfers."""
import io
import os
import subprocess
import sys
import time
import zipfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from harrier import BUILD_DIR, Client, answers, download  # noqa: E402
from tftp_packets import ERR_UNDEFINED, ACK, DATA, RRQ, ack, error_bytes, parse, request  # noqa: E402
from kestrel import (IMAGE_BLANK, IMAGE_COMPLETE, IMAGE_FAILED, TITLE, Kestrel, KESTREL,  # noqa: E402
                     read_store_key)
from common import hold_port, port_is_free, scratch_directory  # noqa: E402
from peers import put_file  # noqa: E402

LISTENING = " Listening on Port %u"
PAUSED = " Server paused"
FAILED = " Failed to listen on Port %u"


class WindowTest(unittest.TestCase):
    def start(self, **kw):
        k = Kestrel(**kw)
        self.addCleanup(k.close)
        return k

    def test_comes_up_listening_with_both_bars_and_the_menu(self):
        k = self.start()
        s = k.wait_state(lambda s: s["state_bar"] == LISTENING % k.port)
        self.assertEqual(s["title"], TITLE)
        self.assertTrue(s["shown"])
        self.assertEqual(s["clients_bar"], " Active Clients: 0")
        self.assertEqual(s["menus"], ["&File", "&Options", "&Help"])
        self.assertEqual((s["checked_start"], s["checked_stop"]), (1, 0))
        self.assertEqual((s["grip"], s["top_grip"]), (1, 0))
        # The list fills the space between the top bar and the bottom one.
        self.assertEqual(s["bar_y"], 0)
        self.assertGreater(s["list_y"], 10)
        self.assertEqual(s["list_y"] + s["list_height"], s["client_height"])
        self.assertEqual([c[0] for c in s["columns"]], ["Status", "IP Address", "Operation", "File"])
        widths = [c[1] for c in s["columns"]]
        self.assertEqual(widths[0], widths[1])
        self.assertAlmostEqual(widths[3], 2 * widths[0], delta=2)
        self.assertEqual(s["rows"], [])
        self.assertEqual([t for _, t in s["tray_menu"]], ["&View Log", "&Exit", "&Stop..."])
        put_file(k.root, "a.bin", b"x" * 700)
        with Client(k.port) as c:
            data, _, _ = download(c, "a.bin")
        self.assertEqual(data, b"x" * 700)

    def test_start_and_stop_flip_the_pause_flag_check_mark_and_bottom_text(self):
        k = self.start()
        put_file(k.root, "a.bin", b"y" * 2000)
        k.menu(40002)
        s = k.wait_state(lambda s: s["paused"] == 1 and s["state_bar"] == PAUSED)
        self.assertEqual((s["checked_start"], s["checked_stop"]), (0, 1))
        self.assertEqual(s["tray_menu"][2], [40001, "&Start..."])
        self.assertFalse(answers(k.port))
        k.menu(40002)  # a second Stop leaves it paused
        s = k.wait_state(lambda s: s["checked_stop"] == 1)
        self.assertEqual((s["paused"], s["state_bar"]), (1, PAUSED))
        self.assertFalse(answers(k.port))
        k.menu(40001)
        s = k.wait_state(lambda s: s["paused"] == 0 and s["state_bar"] == LISTENING % k.port)
        self.assertEqual((s["checked_start"], s["checked_stop"]), (1, 0))
        self.assertEqual(s["tray_menu"][2], [40002, "&Stop..."])
        with Client(k.port) as c:
            self.assertEqual(download(c, "a.bin")[0], b"y" * 2000)

    def test_close_box_hides_and_the_server_keeps_serving(self):
        k = self.start()
        put_file(k.root, "b.bin", b"z" * 5000)
        k.assert_ok(k.command("close"))
        k.wait_state(lambda s: not s["shown"])
        with Client(k.port) as c:
            self.assertEqual(download(c, "b.bin")[0], b"z" * 5000)
        s = k.wait_state(lambda s: s["rows"] and s["rows"][0][0] == IMAGE_COMPLETE)
        self.assertEqual(s["rows"][0][1:], ["100 %", "127.0.0.1", "Get/octet", "b.bin"])
        self.assertIsNone(k.proc.poll())

    def test_exit_stops_the_server_frees_the_port_and_stores_the_placement(self):
        k = self.start()
        k.assert_ok(k.command("move 37 41"))
        k.wait_state(lambda s: (s["x"], s["y"]) == (37, 41))
        k.menu(40004)
        self.assertEqual(k.wait_exit(), 0, k.output())
        self.assertTrue(port_is_free(k.port))
        self.assertEqual(read_store_key(k.user_store),
                         {"left": "37", "top": "41", "width": "500", "height": "250"})

    def test_a_second_start_brings_the_first_window_to_the_front_and_ends(self):
        k = self.start()
        k.assert_ok(k.command("close"))
        k.wait_state(lambda s: not s["shown"])
        env = dict(k.env, KESTREL_TEST_DRIVER="")
        second = subprocess.run([KESTREL], env=env, timeout=20, capture_output=True)
        self.assertEqual(second.returncode, 0, second.stderr)
        s = k.wait_state(lambda s: s["shown"])
        self.assertEqual(s["restores"], 1)
        self.assertEqual(s["state_bar"], LISTENING % k.port)

    def test_a_port_that_cannot_be_bound_shows_the_failure(self):
        port = hold_port(self.addCleanup)
        k = self.start(port=port)
        s = k.wait_state(lambda s: s["state_bar"] == FAILED % port)
        self.assertEqual(s["stop"], 1)
        k.menu(40002)  # Stop cannot hide the failure
        time.sleep(1.2)
        self.assertEqual(k.state()["state_bar"], FAILED % port)

    def test_a_root_over_the_programs_own_files_or_missing_is_refused_with_its_reason(self):
        directory = scratch_directory(self.addCleanup, "kestrel-test-")
        program_dir = os.path.join(directory, "bin")
        missing = os.path.join(directory, "no-root")
        cases = [(program_dir, "RootDirectory %s/ is the program directory %s/: clients could replace the "
                               "server's programs" % (program_dir, program_dir), "root-refused.png"),
                 (missing, 'RootDirectory %s/ does not exist: the server would answer every request with '
                           '"File not found"' % missing, "root-missing.png")]
        for root, reason, picture in cases:
            with self.subTest(root=root), Kestrel(own_program=True, directory=directory,
                                                  settings={"RootDirectory": root + "/"}) as k:
                s = k.wait_state(lambda s: s["dialog"] is not None, 10)
                self.assertEqual(s["dialog"], [TITLE, reason])
                self.assertEqual(s["state_bar"], FAILED % k.port)
                self.assertFalse(answers(k.port), "the root was served")
                k.screen_shot(picture)
                k.assert_ok(k.command("dismiss"))
                k.wait_state(lambda s: s["dialog"] is None)

    def partial_module(self, *templates):
        """A language module of the German templates named and two strings."""
        archive = io.BytesIO()
        with zipfile.ZipFile(archive, "w") as z:
            for name in templates:
                with open(os.path.join(BUILD_DIR, "desktop", "deutsch", name), "rb") as f:
                    z.writestr(name, f.read())
            z.writestr("strings.txt", "1\tTeil\n10\tDialog konnte nicht erstellt werden\n")
        return {"Languages/partial.xrs": archive.getvalue()}

    def test_missing_dialogs_report_failure_and_the_about_box_shows_the_title(self):
        # A module with its menu and strings but no dialog templates: the
        # log viewer and the access editor report the failure in one box
        # each, the preferences sheet shows nothing; the about box is the
        # program's own. The toolkit's complaints go to the trace only.
        k = self.start(own_program=True, settings={"Language": "partial.xrs", "Log": 2},
                       program_files=self.partial_module("menu.xrc"))
        self.assertEqual(k.state()["menus"][0], "&Datei")
        for command in (40003, 40006):
            k.menu(command)
            s = k.wait_state(lambda s: s["dialog"] is not None)
            self.assertEqual(s["dialog"], [TITLE, "Dialog konnte nicht erstellt werden"])
            time.sleep(0.5)  # a box of the toolkit's would come at its next idle time
            self.assertEqual(k.windows(), [TITLE, TITLE], "the window and one box")
            if command == 40006:
                k.screen_shot("missing-template-box.png")
            k.assert_ok(k.command("dismiss"))
            k.wait_state(lambda s: s["dialog"] is None)
            time.sleep(0.5)
            self.assertEqual(k.windows(), [TITLE], "no box after the program's")
        k.menu(40005)
        time.sleep(0.5)
        self.assertIsNone(k.state()["dialog"])
        self.assertEqual(k.windows(), [TITLE])
        k.menu(40012)
        s = k.wait_state(lambda s: s["dialog"] is not None)
        self.assertEqual(s["dialog"][0], TITLE)
        k.assert_ok(k.command("dismiss"))
        k.wait_state(lambda s: s["dialog"] is None)
        k.menu(40009)  # no help file beside the program: no message
        time.sleep(0.5)
        self.assertIsNone(k.state()["dialog"])
        self.assertEqual(k.windows(), [TITLE])
        trace = ""
        for name in os.listdir(k.program_dir):
            if name.startswith("tftp") and name.endswith(".log"):
                with open(os.path.join(k.program_dir, name), "rb") as f:
                    trace += f.read().decode("utf-8", "replace")
        for resource in ("110", "109", "106"):
            self.assertRegex(trace, r'\d\d:\d\d:\d\d toolkit: .*XRC resource "%s".*not found\n' % resource)

    def test_a_module_without_the_menu_starts_without_a_box(self):
        k = self.start(own_program=True, settings={"Language": "partial.xrs"},
                       program_files=self.partial_module("log_viewer.xrc"))
        self.assertEqual(k.state()["menu"], 0)
        time.sleep(1.0)  # a box of the toolkit's would come at its next idle time
        self.assertEqual(k.windows(), [TITLE])
        self.assertIsNone(k.state()["dialog"])
        self.assertRegex(k.output(), r'kestrel: .*XRC resource "102"')
        k.screenshot("no-menu-module.png")

    def test_rows_of_a_running_a_failed_and_a_finished_transfer(self):
        k = self.start()
        put_file(k.root, "slow.bin", os.urandom(512 * 40))
        put_file(k.root, "fail.bin", os.urandom(512 * 40))
        put_file(k.root, "done.bin", os.urandom(700))
        slow, failing, done = Client(k.port), Client(k.port), Client(k.port)
        for c in (slow, failing, done):
            self.addCleanup(c.close)
        slow.send_request(request(RRQ, "slow.bin"))
        for block in range(1, 11):  # 10 of 40 blocks: a quarter
            packet, _ = slow.receive()
            self.assertEqual(parse(packet), (DATA, (block, packet[4:])))
            if block < 10:
                slow.send(ack(block))
        # Each is accepted while the ones before it still run: an accepted
        # request purges the finished sessions.
        failing.send_request(request(RRQ, "fail.bin"))
        failing.receive()
        done.send_request(request(RRQ, "done.bin"))
        done.receive()
        done.send(ack(1))
        done.receive()
        done.send(ack(2))
        failing.send(error_bytes(ERR_UNDEFINED, "stop"))  # aborts: the red cross
        s = k.wait_state(lambda s: len(s["rows"]) == 3 and s["rows"][0][0] == IMAGE_COMPLETE
                         and s["rows"][1][0] == IMAGE_FAILED, 8)
        self.assertEqual(s["rows"][0][1:], ["100 %", "127.0.0.1", "Get/octet", "done.bin"])
        self.assertEqual(s["rows"][1][2:], ["127.0.0.1", "Get/octet", "fail.bin"])
        # 10 blocks of 40 sent: 25 %, step 3 of 15.
        self.assertEqual(s["rows"][2][:2], [3, "25 %"])
        self.assertEqual(s["clients_bar"], " Active Clients: 1")
        slow.send(error_bytes(ERR_UNDEFINED, "enough"))

    def test_bytes_instead_of_percent_and_an_upload_without_size(self):
        k = self.start(settings={"Percent": 0})
        with Client(k.port) as c:
            c.send_request(request(2, "up.bin"))
            packet, _ = c.receive()
            self.assertEqual(parse(packet)[0], ACK)
            c.send(b"\x00\x03\x00\x01" + b"u" * 512)
            c.receive()
            s = k.wait_state(lambda s: s["rows"] and s["rows"][0][1] == "512 b")
            self.assertEqual(s["rows"][0][0], IMAGE_BLANK)
            self.assertEqual(s["rows"][0][3], "Put/octet")
            c.send(b"\x00\x03\x00\x02" + b"u" * 100)
            c.receive()
        s = k.wait_state(lambda s: s["rows"] and s["rows"][0][0] == IMAGE_COMPLETE)
        self.assertEqual(s["rows"][0][1], "612 b")


if __name__ == "__main__":
    unittest.main()
