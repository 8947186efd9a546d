"""Screenshots of the real window, for a person to look at, with the state
they show checked: real curl transfers (one finished over IPv6, one abandoned, one
running with a slow client, and one refused that shows no row), the open
File menu, the paused server and a failed bind. The pictures go to
build/screens/."""
import os
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from harrier import Client  # noqa: E402
from tftp_packets import ERR_UNDEFINED, DATA, RRQ, ack, error_bytes, parse, request  # noqa: E402
from kestrel import IMAGE_COMPLETE, IMAGE_FAILED, Kestrel, xdotool  # noqa: E402
from common import hold_port  # noqa: E402
from peers import put_file  # noqa: E402

PLACE = {"left": "20", "top": "20", "width": "560", "height": "260"}


class SlowClient(threading.Thread):
    """Reads 110 blocks at once, then one block per 0.4 s until told to stop (bounded)."""

    def __init__(self, port, name):
        super().__init__(daemon=True)
        self.client = Client(port)
        self.name_ = name
        self.stop = threading.Event()
        self.blocks = 0

    def run(self):
        c = self.client
        c.send_request(request(RRQ, self.name_))
        for _ in range(300):
            packet, _ = c.receive(3)
            if packet is None or self.stop.is_set():
                break
            op, fields = parse(packet)
            if op != DATA:
                break
            self.blocks = fields[0]
            if self.blocks > 110:  # past half way, then slowly
                time.sleep(0.4)
            c.send(ack(fields[0]))
        if c.peer:
            c.send(error_bytes(ERR_UNDEFINED, "enough"))
        c.close()


class ScreensTest(unittest.TestCase):
    def test_screens(self):
        k = Kestrel(settings={"Retransmit": 2}, user=PLACE)
        self.addCleanup(k.close)
        put_file(k.root, "slow.bin", os.urandom(512 * 200))
        put_file(k.root, "hello.txt", b"Hello from Kestrel.\n" * 40)
        with open(os.path.join(k.root, "big.bin"), "wb") as f:
            f.truncate(256 << 20)  # sparse: more than curl can fetch in its time limit

        slow = SlowClient(k.port, "slow.bin")
        slow.start()
        self.addCleanup(slow.stop.set)
        k.wait_state(lambda s: len(s["rows"]) == 1)
        url = "tftp://127.0.0.1:%d/" % k.port
        # Abandoned after 0.3 s: the server gives up after its retransmissions.
        abandoned = subprocess.run(["curl", "-s", "--max-time", "0.3", "-o", "/dev/null", url + "big.bin"],
                                   timeout=20)
        self.assertNotEqual(abandoned.returncode, 0)
        done = subprocess.run(["curl", "-s", url + "hello.txt"], capture_output=True, timeout=20)
        self.assertEqual(done.stdout, b"Hello from Kestrel.\n" * 40)
        done6 = subprocess.run(["curl", "-s", "tftp://[::1]:%d/hello.txt" % k.port], capture_output=True, timeout=20)
        self.assertEqual(done6.stdout, b"Hello from Kestrel.\n" * 40)
        # Refused by the server (no such file): never a row of its own.
        refused = subprocess.run(["curl", "-s", "-o", "/dev/null", url + "missing.txt"], timeout=20)
        self.assertNotEqual(refused.returncode, 0)
        # Each accepted request clears the finished rows: the IPv4 hello.txt
        # is gone, the IPv6 one stays.
        s = k.wait_state(lambda s: len(s["rows"]) == 3 and s["rows"][1][0] == IMAGE_FAILED, 10)
        self.assertEqual(s["rows"][0][:2], [IMAGE_COMPLETE, "100 %"])
        self.assertEqual(s["rows"][0][2:], ["::1", "Get/octet", "hello.txt"])
        self.assertEqual(s["rows"][1][2:], ["127.0.0.1", "Get/octet", "big.bin"])
        self.assertEqual(s["rows"][2][4], "slow.bin")
        self.assertNotIn("missing.txt", [r[4] for r in k.state()["rows"]])
        self.assertLess(s["rows"][2][0], 15)
        self.assertTrue(s["rows"][2][1].endswith(" %"))
        self.assertEqual(s["clients_bar"], " Active Clients: 1")
        self.assertEqual(s["state_bar"], " Listening on Port %d" % k.port)
        time.sleep(0.3)
        k.screenshot("main.png")

        xdotool("mousemove", s["x"] + 14, s["y"] + 10, "click", 1)
        k.wait_state(lambda s: s["menu_open"] == 1)
        time.sleep(0.5)
        k.screenshot("file-menu.png", 150)
        # Stop while the menu is open: the menu bar is rebuilt once it closes.
        k.menu(40002)
        k.wait_state(lambda s: s["paused"] == 1)
        time.sleep(1.2)
        self.assertEqual(k.state()["state_bar"], " Listening on Port %d" % k.port)
        xdotool("mousemove", s["x"] + 300, s["y"] + 200, "click", 1)  # a click beside the menu closes it
        s = k.wait_state(lambda s: s["menu_open"] == 0 and s["state_bar"] == " Server paused")
        self.assertEqual((s["checked_start"], s["checked_stop"]), (0, 1))
        time.sleep(0.3)
        k.screenshot("paused.png")
        k.menu(40001)
        k.wait_state(lambda s: s["state_bar"] == " Listening on Port %d" % k.port)
        slow.stop.set()
        slow.join(5)
        k.menu(40004)
        self.assertEqual(k.wait_exit(), 0, k.output())

        port = hold_port(self.addCleanup)
        failed = Kestrel(port=port, user=PLACE)
        self.addCleanup(failed.close)
        failed.wait_state(lambda s: s["state_bar"] == " Failed to listen on Port %d" % port)
        time.sleep(0.3)
        path = failed.screenshot("failed-bind.png")
        self.assertGreater(os.path.getsize(path), 2000)


if __name__ == "__main__":
    unittest.main()
