"""Load test: with Clients 250, 200 clients fetch the same 1 MiB file at the
same time while 20 others upload files of their own. Every file must arrive
byte for byte, every transfer must end with a completed result line, and
afterwards the server must be back to its idle thread and descriptor counts
(every worker ended, every data socket and file closed), also after the next
request, which purges the finished sessions. The server's peak memory
(VmHWM) is printed.

The clients are raw UDP state machines driven by one selector loop in this
process: 220 sockets on 127.0.0.1, each a separate client to the server. On
two cores one loop costs far less than 220 client processes or threads, and
the server keeps most of the machine.
"""
import os
import re
import selectors
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

from common import HOST, fd_count, pattern, wait_for  # noqa: E402
import harrier  # noqa: E402
import tftp_packets as tp  # noqa: E402
from tftp_packets import ACK, DATA, ERROR, OACK, RRQ, WRQ  # noqa: E402

READERS = 200
WRITERS = 20
SHARED_SIZE = 1 << 20
RESEND_SECONDS = 2.0  # a client repeats its last packet after this silence
MAX_RESENDS = 10
RUN_SECONDS = 150     # limit of the whole parallel phase


def proc_status(pid):
    values = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            values[key] = value.strip()
    return values


def thread_count(pid):
    return int(proc_status(pid)["Threads"])


class Transfer:
    """One client: a read or a write, with or without options."""

    def __init__(self, index, kind, name, block_size, server_port, data=None):
        self.index = index
        self.server_port = server_port
        self.kind = kind
        self.name = name
        self.block_size = block_size  # asked for with blksize when not 512
        self.data = data              # what a writer sends
        self.received = bytearray()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((HOST, 0))
        self.sock.setblocking(False)
        self.peer = None
        self.block = 0        # reader: last block stored; writer: last block sent
        self.sent_last = False  # writer: the short last block is out
        self.last_packet = None
        self.last_address = None
        self.last_time = 0.0
        self.resends = 0
        self.done = False
        self.failure = None

    # -- sending ----------------------------------------------------------------
    def send(self, packet, address):
        self.last_packet, self.last_address = packet, address
        self.last_time = time.monotonic()
        self.sock.sendto(packet, address)

    def start(self, server):
        options = {}
        if self.block_size != 512:
            options["blksize"] = self.block_size
            options["tsize"] = len(self.data) if self.kind == WRQ else 0
        self.send(tp.request(self.kind, self.name, "octet", options), server)

    def send_data(self):
        offset = self.block * self.block_size
        payload = self.data[offset:offset + self.block_size]
        self.send(tp.data(self.block + 1, payload), self.peer)
        self.block += 1
        self.sent_last = len(payload) < self.block_size

    def resend_if_silent(self, now):
        if self.done or self.failure or now - self.last_time < RESEND_SECONDS:
            return
        if self.resends >= MAX_RESENDS:
            self.failure = "no answer after %d resends (block %d)" % (self.resends, self.block)
            return
        self.resends += 1
        self.send(self.last_packet, self.last_address)

    # -- receiving ----------------------------------------------------------------
    def on_packet(self, packet, address):
        if self.peer is None:
            if address[1] == self.server_port:
                op, fields = tp.parse(packet)
                self.failure = "answer from the server port: %r %r" % (op, fields)
                return
            self.peer = address
        if address != self.peer:
            return
        if len(packet) < 4:
            self.failure = "short packet %r" % packet
            return
        op, fields = tp.parse(packet)
        if op == ERROR:
            self.failure = "ERROR %d %s" % fields
        elif self.kind == RRQ:
            self.on_read_packet(op, fields)
        else:
            self.on_write_packet(op, fields)

    def on_read_packet(self, op, fields):
        if op == OACK:
            if self.block == 0:
                if int(fields[0].get("blksize", 512)) != self.block_size:
                    self.failure = "OACK %r" % fields[0]
                    return
                self.send(tp.ack(0), self.peer)
            return
        if op != DATA:
            return
        number, payload = fields
        if number == (self.block + 1) & 0xFFFF and not self.done:
            self.received += payload
            self.block += 1
            self.send(tp.ack(number), self.peer)
            if len(payload) < self.block_size:
                self.done = True
        elif number == self.block & 0xFFFF:
            self.send(tp.ack(number), self.peer)  # our ACK was lost or late

    def on_write_packet(self, op, fields):
        if op == OACK and self.block == 0:
            self.send_data()
        elif op == ACK and fields[0] == self.block & 0xFFFF and not self.done:
            if self.sent_last:
                self.done = True  # the short last block is acknowledged
            else:
                self.send_data()


def run_all(transfers, server_port, pid):
    """Runs every transfer to its end (bounded); returns the selector and the
    most descriptors the server had open at one time (a data socket and a
    file per transfer) and the most threads it had."""
    peak_fds = peak_threads = 0
    next_sample = 0.0
    selector = selectors.DefaultSelector()
    for t in transfers:
        selector.register(t.sock, selectors.EVENT_READ, t)
    for t in transfers:
        t.start((HOST, server_port))
    deadline = time.monotonic() + RUN_SECONDS
    pending = len(transfers)
    while pending and time.monotonic() < deadline:
        for key, _ in selector.select(0.2):
            t = key.data
            for _ in range(64):  # drain, bounded
                try:
                    packet, address = t.sock.recvfrom(70000)
                except BlockingIOError:
                    break
                except ConnectionRefusedError:
                    continue
                t.on_packet(packet, address)
        now = time.monotonic()
        for t in transfers:
            t.resend_if_silent(now)
        if now >= next_sample:
            peak_fds = max(peak_fds, fd_count(pid))
            peak_threads = max(peak_threads, thread_count(pid))
            next_sample = now + 0.25
        pending = sum(1 for t in transfers if not t.done and not t.failure)
    return selector, peak_fds, peak_threads


class LoadTest(unittest.TestCase):
    def start(self, settings):
        self.server = harrier.Server(settings=settings)
        self.addCleanup(self.server.close)
        self.pid = self.server.proc.pid

    def wait_idle(self, threads, fds, what):
        """Waits (bounded) until the server is back to the idle counts."""
        now = wait_for(lambda: (thread_count(self.pid), fd_count(self.pid)), lambda n: n == (threads, fds), 30, 0.1)
        if now != (threads, fds):
            self.fail("%s: threads %d, descriptors %d; idle %d, %d\n%s"
                      % (what, now[0], now[1], threads, fds, self.server.output()[-2000:]))

    def small_download(self, name):
        with harrier.Client(self.server.port) as c:
            got, _, _ = harrier.download(c, name)
        return got

    def test_readers_of_a_stream_and_writers(self):
        """Default MMF: every reader reads the file through a stream of its own."""
        self.start({"Clients": 250})
        self.run_load()

    def test_readers_of_one_shared_view_and_writers(self):
        """MMF 3: the 200 readers share one mapped view of the file, which the
        last of them unmaps."""
        self.start({"Clients": 250, "MMF": 3})
        self.run_load()
        with open("/proc/%d/maps" % self.pid) as f:
            self.assertNotIn(self.server.path("shared.bin"), f.read())

    def run_load(self):
        shared = pattern(SHARED_SIZE, 1)
        self.server.put_file("shared.bin", shared)
        self.server.put_file("small.bin", b"warm-up")

        # The idle counts, taken once a transfer has come and gone.
        self.assertEqual(self.small_download("small.bin"), b"warm-up")
        time.sleep(0.3)
        idle_threads, idle_fds = thread_count(self.pid), fd_count(self.pid)

        port = self.server.port
        transfers = []
        for i in range(READERS):
            # Half the readers negotiate blksize 1024 and tsize, half send no option.
            transfers.append(Transfer(i, RRQ, "shared.bin", 1024 if i % 2 else 512, port))
        for i in range(WRITERS):
            # 40 KB to 800 KB; every fourth an exact number of blocks, which
            # ends with an empty DATA packet.
            block_size = 1024 if i % 2 else 512
            size = 40000 * (i + 1) if i % 4 else block_size * 80 * (i + 1)
            transfers.append(Transfer(READERS + i, WRQ, "upload-%02d.bin" % i, block_size, port,
                                      pattern(size, 100 + i)))
        started = time.monotonic()
        selector, peak_fds, peak_threads = run_all(transfers, port, self.pid)
        elapsed = time.monotonic() - started
        try:
            failed = [(t.index, t.name, t.failure or "unfinished") for t in transfers
                      if not t.done]
            self.assertEqual(failed, [], "transfers that did not finish")
            for t in transfers[:READERS]:
                self.assertTrue(t.received == shared, "reader %d: %d bytes, not the file"
                                % (t.index, len(t.received)))
            # The transfers did overlap: most of them held their socket at one time.
            self.assertGreater(peak_fds - idle_fds, (READERS + WRITERS) // 2)
            # ... on the threads that ran before them: none of its own.
            self.assertEqual(peak_threads, idle_threads)
        finally:
            selector.close()
            for t in transfers:
                t.sock.close()

        # Every transfer ends with a completed result line, and none failed.
        log = wait_for(self.server.output, lambda log: log.count("Get/octet  ") >= READERS + 1
                       and log.count("Put/octet  ") >= WRITERS, 20, 0.1)
        # (A request repeated while its transfer runs is logged as ignored:
        # that is no failure.)
        failures = re.findall(r"^\S+ \S+ +(?:Timeout|Abort|Error) +(?!request from )\S.*$", log, re.M)
        self.assertEqual(failures, [], "transfers that failed on the server")
        self.assertEqual(log.count("Get/octet  %s" % self.server.path("shared.bin")), READERS)
        for t in transfers[READERS:]:
            with open(self.server.path(t.name), "rb") as f:
                self.assertTrue(f.read() == t.data, "upload %s differs" % t.name)
            self.assertEqual(log.count("Put/octet  %s" % self.server.path(t.name)), 1, t.name)

        status = proc_status(self.pid)
        print("\nload: %d readers of %d bytes and %d writers in %.1f s; %d more descriptors at "
              "the peak; server peak memory VmHWM %s (VmRSS now %s), %d threads"
              % (READERS, SHARED_SIZE, WRITERS, elapsed, peak_fds - idle_fds,
                 status["VmHWM"], status["VmRSS"], peak_threads))

        # Every transfer has ended and closed its socket and file ...
        self.wait_idle(idle_threads, idle_fds, "after the load")
        # ... and the next request purges the finished sessions and leaves
        # nothing behind either.
        self.assertEqual(self.small_download("small.bin"), b"warm-up")
        self.wait_idle(idle_threads, idle_fds, "after the next request")


if __name__ == "__main__":
    unittest.main(verbosity=2)
