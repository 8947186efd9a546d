"""The dialogs behind the menus, driven in the real program under Xvfb: each
opened through its menu command, changed as a user would, applied, and then
checked in the store and in what the running server does.

Screenshots of every screen land in build/screens/.
"""
import os
import re
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harrier import Client  # noqa: E402
from tftp_packets import ACK, DATA, ERR_UNDEFINED, ERROR, OACK, RRQ, WRQ, error_bytes, parse, request  # noqa: E402
from kestrel import SCREENS, TITLE, Kestrel, read_store_key, xdotool  # noqa: E402
from common import scratch_directory, wait_until  # noqa: E402
from peers import put_file  # noqa: E402

PREFERENCES, ACCESS_CONTROL, VIEW_LOG = 40005, 40006, 40003
PRINT_BUTTON, LOG_FILES = 1006, 1036
GENERAL, LANGUAGE, SERVER, OPTIONS = range(4)


def first_answer(port, packet, timeout=3.0, tries=1):
    """The server's first answer to one request, parsed; the session is
    ended with an ERROR so that it holds no slot. The request goes out up
    to tries times, as a client retransmits it after each time-out."""
    with Client(port) as c:
        for _ in range(tries):
            c.send_request(packet)
            answer, _ = c.receive(timeout)
            if answer is not None:
                break
        if answer is None:
            raise AssertionError("no answer to the request")
        op, fields = parse(answer)
        if op in (OACK, DATA, ACK) and c.peer:
            c.send(error_bytes(ERR_UNDEFINED, "done"))
        return op, fields


class DialogCase(unittest.TestCase):
    settings = {}
    own_program = False

    def setUp(self):
        self.k = Kestrel(settings=dict(self.settings), own_program=self.own_program)
        # The test may start another program in its place: the one there then.
        self.addCleanup(lambda: self.k.close())

    def machine(self, key="software\\orvanel\\kestrel"):
        return read_store_key(self.k.store, key)


class Preferences(DialogCase):
    def test_pages_tabs_and_apply_state(self):
        d = self.k.open_dialog(PREFERENCES)
        self.assertEqual(d["title"], "Preferences")
        self.assertEqual(d["pages"], ["General", "Language", "Server", "Options"])
        for index, name in enumerate(("general", "language", "server", "options")):
            self.k.page(index)
            time.sleep(0.2)
            self.k.dialog_shot("preferences-%s.png" % name)
        # Apply is off until something changes.
        self.assertEqual(self.k.get("apply")["enabled"], 0)
        self.k.page(GENERAL)
        self.assertEqual(self.k.get(1034)["shown"], 0, "no start at boot on this system")
        self.k.set(1024, 1)  # Write transfer log: the radio buttons follow
        self.assertEqual(self.k.get(1071)["enabled"], 1)
        self.assertEqual(self.k.get("apply")["enabled"], 1)
        self.k.set(1071, 1)
        self.k.press("apply")
        self.assertEqual(self.k.get("apply")["enabled"], 0)
        stored = self.machine()
        self.assertNotIn("Log", stored, "Log 1 is the default: no value")
        self.assertEqual(stored.get("CreateLog"), "1")
        # Cancel after Apply keeps what was applied.
        self.k.set(1035, 1)
        self.k.press("cancel")
        self.k.wait_no_dialog()
        self.assertNotIn("Iconic", self.machine())
        self.assertEqual(self.machine().get("CreateLog"), "1")

    def test_server_page_numbers_and_track_bar(self):
        self.k.close()
        self.k = Kestrel(settings={"MaxClients": 30, "Timeout": 30, "Clients": 50})
        self.k.open_dialog(PREFERENCES)
        self.k.page(SERVER)
        bar = self.k.get(1062)
        self.assertEqual((bar["min"], bar["max"], bar["line"], bar["page_size"]), (1, 30, 5, 5))
        self.assertEqual(bar["value"], 30, "Clients above MaxClients sits at the upper end")
        self.assertEqual(self.k.get(1066)["value"], "30")
        self.assertEqual(self.k.get(1009)["value"], -1, "a Timeout of 30 shows no row")
        self.assertEqual(len(self.k.get(1009)["items"]), 20)
        self.assertEqual(len(self.k.get(1010)["items"]), 10)
        self.k.set(1007, "65536")
        self.k.set(1027, "")
        self.k.set(1062, 12)
        self.assertEqual(self.k.get(1067)["value"], "12")
        self.k.press("ok")
        self.k.wait_no_dialog()
        stored = self.machine()
        self.assertNotIn("Port", stored, "65536 stores nothing")
        self.assertNotIn("DataPort", stored)
        self.assertEqual(stored.get("Timeout"), "30", "no selected row: left as it was")
        self.assertEqual(stored.get("Clients"), "12")
        self.assertTrue(stored["RootDirectory"].endswith("/"))

    def test_clearing_tsize_takes_it_out_of_the_next_oack(self):
        put_file(self.k.root, "f.bin", b"x" * 3000)
        op, fields = first_answer(self.k.port, request(RRQ, "f.bin", options={"tsize": 0, "blksize": 1024}))
        self.assertEqual(op, OACK)
        self.assertEqual(fields[0], {"tsize": "3000", "blksize": "1024"})
        self.k.open_dialog(PREFERENCES)
        self.k.page(OPTIONS)
        self.k.set(1069, 0)  # Accept tsize option
        self.k.set(1130, "8")  # windowsize limit
        self.k.press("apply")
        stored = self.machine()
        self.assertEqual(stored.get("Options"), "3")
        self.assertEqual(stored.get("WindowsizeMax"), "8")
        op, fields = first_answer(self.k.port, request(RRQ, "f.bin", options={"tsize": 0, "blksize": 1024,
                                                                             "windowsize": 32}))
        self.assertEqual(op, OACK)
        self.assertEqual(fields[0], {"blksize": "1024", "windowsize": "8"})
        # An invalid limit means the default (64), stored as no value.
        self.k.set(1130, "70000")
        self.k.press("ok")
        self.k.wait_no_dialog()
        self.assertNotIn("WindowsizeMax", self.machine())
        op, fields = first_answer(self.k.port, request(RRQ, "f.bin", options={"windowsize": 100}))
        self.assertEqual(fields[0], {"windowsize": "64"})

    def test_multicast_address_as_typed(self):
        self.k.open_dialog(PREFERENCES)
        self.k.page(OPTIONS)
        self.k.set(1020, "239.001.002.003")
        self.k.set(1026, "256")
        self.k.press("ok")
        self.k.wait_no_dialog()
        stored = self.machine()
        self.assertEqual(stored.get("MulticastIp"), "239.001.002.003")
        self.assertNotIn("MulticastTTL", stored, "TTL 256 gives 1, the default")
        self.k.open_dialog(PREFERENCES)
        self.k.page(OPTIONS)
        self.assertEqual(self.k.get(1020)["value"], "239.1.2.3")
        self.k.set(1019, 0)
        self.assertEqual(self.k.get(1020)["enabled"], 0)
        self.k.press("cancel")


class AccessEditor(DialogCase):
    def test_rules_of_the_root_and_two_subdirectories(self):
        for d in ("boot", "cfg"):
            os.makedirs(os.path.join(self.k.root, d))
        d = self.k.open_dialog(ACCESS_CONTROL)
        self.assertEqual(d["title"], "Access Control")
        rows = self.k.get(1047)["rows"]
        self.assertEqual([r[1] for r in rows], [self.k.root + "/", "   boot", "   cfg"])
        self.assertEqual([r[3] for r in rows], ["*", "*", "*"])
        self.k.set(1039, 1)
        self.assertEqual(self.k.get(1050)["enabled"], 1)
        # Root: read for everybody.
        self.k.set(1047, 0)
        self.k.set(1050, 1)
        # boot: read and write for a range, and a second rule.
        self.k.set(1047, 1)
        self.k.set(1050, 1)
        self.k.set(1051, 1)
        self.k.set(1005, 1)
        self.k.set(1052, "10.0.0.1")
        self.k.set(1053, "10.0.0.9")
        self.assertEqual(self.k.command("menu 40007"), "ok")  # New Entry below
        time.sleep(0.3)
        rows = self.k.get(1047)
        self.assertEqual(rows["selected"], 2)
        self.k.set(1050, 1)
        self.k.set(1052, "192.168.1.10")
        # Write cleared: overwrite cannot stay.
        self.k.set(1047, 1)
        self.k.set(1051, 0)
        self.assertEqual(self.k.get(1005)["value"], 0)
        self.k.set(1051, 1)
        self.k.set(1005, 1)
        # cfg: write only, not yet a valid address: the row keeps "*".
        self.k.set(1047, 3)
        self.k.set(1051, 1)
        self.k.set(1052, "10.0.0.")
        rows = self.k.get(1047)["rows"]
        self.assertEqual(rows[3][1:], ["   cfg", "w", "*", ""])
        self.assertEqual([r[0] for r in rows], [1, 3, 1, 2], "row images follow the rights")
        # An IPv6 range; an IPv4 end to it is refused, the row keeps its own.
        self.k.set(1052, "2001:db8::1")
        self.k.set(1053, "10.0.0.9")
        self.assertEqual(self.k.get(1047)["rows"][3][1:], ["   cfg", "w", "2001:db8::1", ""])
        self.k.set(1053, "2001:db8::ff")
        self.assertEqual((self.k.get(1050)["value"], self.k.get(1051)["value"]), (0, 1))
        time.sleep(0.3)  # GTK draws a check box's change a moment later
        self.k.dialog_shot("access-editor.png")
        self.k.press(1)
        self.k.wait_no_dialog()
        self.assertEqual(self.machine().get("AccessControl"), "1")
        self.assertEqual(self.machine("kestrel\\access"), {
            "%root%\\0": "r",
            "boot\\0": "rwo,10.0.0.1-10.0.0.9",
            "boot\\1": "r,192.168.1.10",
            "cfg\\0": "w,2001:db8::1-2001:db8::ff",
        })

    def test_read_only_root_refuses_uploads_at_once(self):
        d = self.k.open_dialog(ACCESS_CONTROL)
        self.k.set(1039, 1)
        self.k.set(1047, 0)
        self.k.set(1050, 1)
        self.k.press(1)
        self.k.wait_no_dialog()
        op, fields = first_answer(self.k.port, request(WRQ, "new.bin"))
        self.assertEqual((op, fields[1]), (ERROR, "Access denied"))
        put_file(self.k.root, "r.bin", b"r" * 100)
        op, fields = first_answer(self.k.port, request(RRQ, "r.bin"))
        self.assertEqual(op, DATA)

    def test_the_last_row_of_a_directory_stays_and_cancel_stores_nothing(self):
        os.makedirs(os.path.join(self.k.root, "boot"))
        self.k.open_dialog(ACCESS_CONTROL)
        self.k.set(1047, 0)
        self.assertEqual(self.k.command("menu 40008"), "ok")  # Remove Entry: the root's only row
        time.sleep(0.3)
        self.assertEqual(len(self.k.get(1047)["rows"]), 2)
        self.k.set(1047, 0)
        self.assertEqual(self.k.command("menu 40007"), "ok")
        time.sleep(0.3)
        self.assertEqual(len(self.k.get(1047)["rows"]), 3)
        self.k.set(1047, 1)
        self.assertEqual(self.k.command("menu 40008"), "ok")
        time.sleep(0.3)
        self.assertEqual(len(self.k.get(1047)["rows"]), 2)
        self.k.set(1047, 0)
        self.k.set(1050, 1)
        self.k.press(2)
        self.k.wait_no_dialog()
        self.assertEqual(self.machine("kestrel\\access"), {})
        self.assertNotIn("AccessControl", self.machine())

    def test_saving_while_the_server_answers_in_a_loop(self):
        # Two rule sets that both let this client read pub/f.bin, written in
        # turn by the editor while requests keep coming: no request may meet
        # a half-written set and be refused.
        os.makedirs(os.path.join(self.k.root, "pub"))
        put_file(self.k.root, "pub/f.bin", b"p" * 10)
        self.k.open_dialog(ACCESS_CONTROL)
        self.k.set(1039, 1)
        self.k.set(1047, 1)
        self.k.set(1050, 1)
        self.k.press(1)
        self.k.wait_no_dialog()
        results = {"served": 0, "refused": [], "silent": 0}
        stop = threading.Event()

        def ask():
            for _ in range(100000):
                if stop.is_set():
                    return
                try:
                    # A slow moment of a loaded machine is no refusal: asked again.
                    op, fields = first_answer(self.k.port, request(RRQ, "pub/f.bin"), timeout=2.0, tries=3)
                except AssertionError:
                    results["silent"] += 1
                    continue
                if op == DATA:
                    results["served"] += 1
                else:
                    results["refused"].append(fields)

        asker = threading.Thread(target=ask, daemon=True)
        asker.start()
        try:
            for i in range(12):
                self.k.open_dialog(ACCESS_CONTROL)
                # Set A: pub\0 "r". Set B: pub\0 ",10.9.9.9-10.9.9.10" (nothing
                # for that range), then pub\1 "r". Written rule by rule after a delete,
                # B would for a moment hold only its first rule (an address range
                # without its end covers everything above it, so the bounded one).
                self.k.set(1047, 1)
                if i % 2 == 0:
                    self.assertEqual(self.k.command("menu 40007"), "ok")
                    time.sleep(0.1)
                    self.k.set(1050, 1)
                    self.k.set(1047, 1)
                    self.k.set(1052, "10.9.9.9")
                    self.k.set(1053, "10.9.9.10")
                    self.k.set(1050, 0)
                    rows = self.k.get(1047)["rows"]
                    self.assertEqual([r[2:] for r in rows[1:]], [["", "10.9.9.9", "10.9.9.10"], ["r", "*", ""]])
                else:
                    self.assertEqual(self.k.command("menu 40008"), "ok")
                    time.sleep(0.1)
                self.k.press(1)
                self.k.wait_no_dialog()
        finally:
            stop.set()
            asker.join(10)
        self.assertGreater(results["served"], 20)
        self.assertEqual(results["refused"], [])
        self.assertEqual(results["silent"], 0)


LOG_LINES = [
    "2026-12-07 10:00:00 Orvanel TFTP Server 1.4.5 log started",
    "2026-12-07 10:00:01       3s 127.0.0.1       Get/octet  /srv/boot/pxelinux.0",
    "2026-12-07 10:00:02       1s 10.0.0.5        Put/octet  /srv/cfg/switch.cfg",
    "2026-12-07 10:00:03  Timeout 10.0.0.6        Get/octet  /srv/boot/big.img",
    "2026-12-07 10:00:04  Error   10.0.0.7        Get/octet  1 File not found /srv/nothere",
    "2026-12-07 10:00:05       0s 10.0.0.8        Get/octet  /srv/boot/caf\u00e9.img",
    "2026-12-07 10:00:06       2s 2001:db8:aaaa:bbbb::17 Get/octet  /srv/boot/grubx64.efi",
    "2026-12-07 10:00:07 short line",
]


class LogViewer(DialogCase):
    own_program = True

    def write_log(self, name, lines):
        with open(os.path.join(self.k.program_dir, name), "wb") as f:
            f.write("".join(line + "\r\n" for line in lines).encode("utf-8"))

    def test_rows_icons_and_minimum_size(self):
        self.write_log("tftp2611.log", LOG_LINES)
        self.write_log("tftp2610.log", LOG_LINES[:2])
        self.write_log("other.log", LOG_LINES)
        d = self.k.open_dialog(VIEW_LOG)
        self.assertEqual(d["title"], "Access log")
        files = self.k.get(1036)
        self.assertEqual(sorted(files["items"]), ["tftp2610.log", "tftp2611.log"])
        self.k.set(1036, files["items"].index("tftp2611.log"))
        listed = self.k.get(1024)
        self.assertEqual(listed["columns"], ["", "Date", "Time", "Duration", "IP Address", "Operation", "File"])
        rows = listed["rows"]
        self.assertEqual(len(rows), 6, rows)
        self.assertEqual([r[0] for r in rows], [0, 0, 1, 1, 0, 0], "check mark or red cross")
        self.assertEqual(rows[5][5:], ["2001:db8:aaaa:bbbb::17", "Get/octet", "/srv/boot/grubx64.efi"])
        self.assertEqual(rows[0][1:], ["", "2026-12-07", "10:00:01", "      3s", "127.0.0.1", "Get/octet",
                                       "/srv/boot/pxelinux.0"])
        self.assertEqual(rows[3][4].strip(), "Error")
        self.assertEqual(rows[3][7], "1 File not found /srv/nothere")
        self.assertEqual(rows[4][7], "/srv/boot/caf\u00e9.img")
        for r in rows:
            self.assertFalse(any(c.endswith("\r") for c in r[1:]), "no column ends in a CR")
        self.k.dialog_shot("log-viewer.png")
        # Smaller than its minimum it does not get.
        least = d["min"]
        self.assertGreater(least[0], 300)
        subprocess.run(["xdotool", "search", "--name", "^Access log$", "windowsize", "100", "50"],
                       timeout=10, check=False)
        time.sleep(0.5)
        size = json_dialog(self.k)["size"]
        self.assertGreaterEqual(size[0], least[0])
        self.assertGreaterEqual(size[1], least[1])
        self.k.press(1)
        self.k.wait_no_dialog()

    def test_printed_pages_as_pictures(self):
        lines = LOG_LINES[1:6] * 20  # 100 lines
        self.write_log("tftp2612.log", lines)
        path = os.path.join(self.k.program_dir, "tftp2612.log")
        out = os.path.join(SCREENS, "print")
        os.makedirs(out, exist_ok=True)
        ps = os.path.join(out, "log.ps")
        self.k.assert_ok(self.k.command("print %s %s 1 1" % (path, ps)))
        with open(ps, "rb") as f:
            text = f.read().decode("latin-1")
        pages = text.count("%%Page:")
        self.assertGreaterEqual(pages, 2)
        self.assertIn("tftp2612.log  --  1", text)
        self.assertIn("tftp2612.log  --  %d" % pages, text)
        # The accented file name is on the page, not dropped with its line.
        self.assertIn("/srv/boot/caf", text)
        self.assertEqual(text.count("/srv/boot/caf"), 20)
        png = os.path.join(SCREENS, "printed-log-page1.png")
        r = subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=png16m", "-r60",
                            "-dFirstPage=1", "-dLastPage=1", "-sOutputFile=" + png, ps],
                           capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertGreater(os.path.getsize(png), 2000)
        # Two uncollated copies: each page twice in a row.
        ps2 = os.path.join(out, "log2.ps")
        self.k.assert_ok(self.k.command("print %s %s 2 0" % (path, ps2)))
        with open(ps2, "rb") as f:
            text2 = f.read().decode("latin-1")
        self.assertEqual(text2.count("%%Page:"), 2 * pages)
        headers = [h for h in ("tftp2612.log  --  %d" % p for p in range(1, pages + 1))]
        order = sorted((text2.find(h), h) for h in headers)
        self.assertEqual([h for _, h in order], headers)
        self.assertEqual(text2.count(headers[0]), 2)


def pdf_text(path):
    """The text of a PDF or PostScript file as Ghostscript reads it back,
    or None when it cannot."""
    r = subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=txtwrite", "-sOutputFile=-", path],
                       capture_output=True, timeout=60)
    return r.stdout.decode("utf-8", "replace") if r.returncode == 0 else None


class Printing(DialogCase):
    """Printing as a user does: the log viewer's Print, then the desktop's own
    print dialog, driven with the keyboard. Its only printer here is "Print
    to File", preset to output.pdf in the current directory, which is the
    program's."""
    own_program = True

    def setUp(self):
        super().setUp()
        self.output = os.path.join(self.k.program_dir, "output.pdf")

    def show_log(self, lines):
        with open(os.path.join(self.k.program_dir, "tftp2612.log"), "wb") as f:
            f.write("".join(line + "\r\n" for line in lines).encode("utf-8"))
        self.k.open_dialog(VIEW_LOG)
        self.k.set(LOG_FILES, self.k.get(LOG_FILES)["items"].index("tftp2612.log"))

    def print_dialog(self):
        """Print clicked; the print dialog once it lists its printer, focused."""
        self.k.click(PRINT_BUTTON)
        dialog = self.k.wait_window("Print")
        time.sleep(1.0)  # the printers are listed a moment after the dialog shows
        xdotool("windowfocus", "--sync", dialog)
        return dialog

    def keys(self, *keys):
        for key in keys:
            if key.startswith("type:"):
                xdotool("type", "--delay", 30, key[5:])
            else:
                xdotool("key", "--clearmodifiers", key)
            time.sleep(0.3)

    def test_two_copies_through_the_print_dialog_into_a_pdf(self):
        lines = LOG_LINES[1:6] * 20  # 100 lines: more than one page
        self.show_log(lines)
        for attempt in range(2):
            dialog = self.print_dialog()
            # The printer row, then Copies (Alt+S): 2; Collate is preset.
            self.keys("Down", "alt+s", "ctrl+a", "type:2", "Tab")
            if attempt == 0:
                self.k.window_shot(dialog, "print-dialog.png")
            self.keys("alt+p")
            time.sleep(2.0)
            if "Print" not in self.k.windows():
                break
            # Keys that came before the printer was listed: cancelled, once more.
            self.keys("Escape")
            wait_until(lambda: "Print" not in self.k.windows(), 5, 0.1)
        # Read once the file has stopped growing.
        deadline = time.monotonic() + 12
        text, size = None, -1
        while text is None and time.monotonic() < deadline:
            time.sleep(0.3)
            now = os.path.getsize(self.output) if os.path.exists(self.output) else -1
            if now > 0 and now == size:
                text = pdf_text(self.output)
            size = now
        self.assertIsNotNone(text, "no output.pdf within 12 s: %s" % os.listdir(self.k.program_dir))
        headers = [int(n) for n in re.findall(r"tftp2612\.log\s+--\s+(\d+)", text)]
        pages = len(headers) // 2
        self.assertGreaterEqual(pages, 2)
        self.assertEqual(headers, list(range(1, pages + 1)) * 2, "two copies, collated")
        for line in LOG_LINES[1:6]:
            self.assertEqual(text.count(line.split()[-1]), 40, line)
        self.assertIn("2026-12-07 10:00:04  Error   10.0.0.7", text)
        png = os.path.join(SCREENS, "printed-through-dialog-page1.png")
        r = subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=png16m", "-r60",
                            "-dFirstPage=1", "-dLastPage=1", "-sOutputFile=" + png, self.output],
                           capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        # A print that went through shows no message; the log viewer stays.
        self.assertEqual(self.k.windows(), ["Access log", TITLE])
        self.assertEqual(self.k.state()["dialog"], ["Access log", ""])

    def test_a_print_that_fails_is_reported_in_one_box(self):
        self.show_log(LOG_LINES)
        # A directory where the file is to be written: the print job fails.
        os.mkdir(self.output)
        self.print_dialog()
        self.keys("Down", "Return")
        time.sleep(1.0)
        self.keys("alt+r")  # Replace the existing "file"
        s = self.k.wait_state(lambda s: s["dialog"] == [TITLE, "Printing failed"], 12)
        time.sleep(1.0)  # a box of the toolkit's would come at its next idle time
        self.assertEqual(self.k.windows(), ["Access log", TITLE, TITLE], "the window, the viewer, one box")
        self.k.screen_shot("print-failed.png")
        self.assertIn("kestrel: Error while printing", self.k.output(), "the toolkit's message on stderr")
        self.k.assert_ok(self.k.command("dismiss"))
        s = self.k.wait_state(lambda s: s["dialog"] == ["Access log", ""])
        # A log file gone since it was listed: reported before any dialog.
        os.remove(os.path.join(self.k.program_dir, "tftp2612.log"))
        self.k.click(PRINT_BUTTON)
        s = self.k.wait_state(lambda s: s["dialog"] == [TITLE, "Printing failed"])
        self.assertEqual(self.k.windows(), ["Access log", TITLE, TITLE])
        self.k.assert_ok(self.k.command("dismiss"))
        self.k.wait_state(lambda s: s["dialog"] == ["Access log", ""])
        self.assertEqual(self.k.windows(), ["Access log", TITLE])


class InstalledLayout(unittest.TestCase):
    """A kestrel installed in <prefix>/bin/ finds its language modules in
    <prefix>/share/orvanel-tftp/ and nothing beside itself, and its log files
    where LogDirectory says."""

    def test_modules_from_the_data_directory_and_logs_from_the_setting(self):
        directory = scratch_directory(self.addCleanup, "kestrel-installed-")
        logs = os.path.join(directory, "logs")
        os.makedirs(logs)
        self.k = Kestrel(directory=directory, own_program=True, installed=True, settings={"LogDirectory": logs})
        self.addCleanup(lambda: self.k.close())
        self.assertFalse(os.path.exists(os.path.join(self.k.program_dir, "Languages")))
        with open(os.path.join(logs, "tftp2611.log"), "wb") as f:
            f.write("".join(line + "\r\n" for line in LOG_LINES).encode("utf-8"))
        with open(os.path.join(self.k.program_dir, "tftp2610.log"), "wb") as f:  # not where it looks
            f.write("".join(line + "\r\n" for line in LOG_LINES).encode("utf-8"))
        self.k.open_dialog(PREFERENCES)
        self.k.page(LANGUAGE)
        self.assertEqual([r[1] for r in self.k.get(1004)["rows"]], ["Deutsch.xrs", "English"])
        self.k.press("cancel")
        self.k.wait_no_dialog()
        self.k.open_dialog(VIEW_LOG)
        self.assertEqual(self.k.get(1036)["items"], ["tftp2611.log"])
        self.k.set(1036, 0)
        self.assertEqual(len(self.k.get(1024)["rows"]), 6)


class Languages(DialogCase):
    def language_rows(self):
        return [r[1] for r in self.k.get(1004)["rows"]]

    def test_switching_to_german_and_back(self):
        self.k.open_dialog(PREFERENCES)
        self.k.page(LANGUAGE)
        self.assertEqual(self.k.get(1120)["value"], "English")
        rows = self.language_rows()
        self.assertEqual(rows, ["Deutsch.xrs", "English"], "sorted, first letter upper case")
        self.k.set(1004, rows.index("Deutsch.xrs"))
        self.assertEqual(self.k.get(1060)["value"], "Orvanel-Projekt")
        self.k.press("apply")
        # The menu bar and the status texts change at once; the sheet stays.
        state = self.k.wait_state(lambda s: s["menus"][:1] == ["&Datei"])
        self.assertEqual(state["menus"], ["&Datei", "&Optionen", "&Hilfe"])
        self.assertEqual(state["state_bar"], " Empfang auf Port %d" % self.k.port)
        self.assertEqual(json_dialog(self.k)["pages"], ["General", "Language", "Server", "Options"])
        self.assertEqual(self.machine().get("Language"), "Deutsch.xrs")
        self.k.press("ok")
        self.k.wait_no_dialog()
        self.k.screenshot("main-window-german.png", below=0)
        d = self.k.open_dialog(PREFERENCES)
        self.assertEqual(d["title"], "Einstellungen")
        self.assertEqual(d["pages"], ["Allgemein", "Sprache", "Server", "Optionen"])
        self.k.page(SERVER)
        time.sleep(0.2)
        self.k.dialog_shot("preferences-server-german.png")
        self.k.page(LANGUAGE)
        self.assertEqual(self.k.get(1120)["value"], "Deutsch")
        self.k.set(1004, self.language_rows().index("English"))
        self.k.press("ok")
        self.k.wait_no_dialog()
        self.assertNotIn("Language", self.machine(), "the built-in row deletes the value")
        state = self.k.wait_state(lambda s: s["menus"][:1] == ["&File"])
        self.assertEqual(state["state_bar"], " Listening on Port %d" % self.k.port)

    def test_german_user_language_chooses_the_german_module(self):
        self.k.close()
        self.k = Kestrel(env={"LANG": "de_DE.UTF-8", "LC_ALL": None, "LC_MESSAGES": None})
        state = self.k.state()
        self.assertEqual(state["menus"], ["&Datei", "&Optionen", "&Hilfe"])
        d = self.k.open_dialog(ACCESS_CONTROL)
        self.assertEqual(d["title"], "Zugriffskontrolle")
        self.assertEqual(self.k.get(1047)["columns"], ["Verzeichnis", "", "Adressbereich", ""])
        self.k.press(2)
        self.k.wait_no_dialog()
        # A stored choice wins over the user's language.
        self.k.close()
        self.k = Kestrel(settings={"Language": "English"}, env={"LANG": "de_DE.UTF-8", "LC_ALL": None,
                                                               "LC_MESSAGES": None})
        self.assertEqual(self.k.state()["menus"], ["&File", "&Options", "&Help"])


def json_dialog(k):
    import json
    return json.loads(k.command("dialog"))


if __name__ == "__main__":
    unittest.main()
