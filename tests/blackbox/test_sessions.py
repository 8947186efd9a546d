"""The session table: duplicate requests, the client limit, a stop while a
transfer runs."""
import os
import resource
import select
import signal
import socket
import time
import unittest

from blackbox_support import (
    COMPLETED, ERR_NOT_FOUND, RRQ, WRQ, BlackBoxCase, Client, Server, ack, data, error_bytes, linux_only,
    oack_bytes, pattern, read_file, request, result_fields)


class Duplicates(BlackBoxCase):
    settings = {"Timeout": 1, "Retransmit": 2}

    def test_repeated_request_during_a_transfer_gets_nothing(self):
        payload = pattern(1500, seed=1)
        path = self.server.put_file("d.bin", payload)
        start = self.mark()
        c = self.ask_read("d.bin", options={"blksize": 1024})
        self.assertEqual(self.expect(c)[0], oack_bytes(("blksize", 1024)))
        # The same request again, and other packets to the server port, from
        # the same port: dropped, no second transfer, no ERROR.
        mark = self.mark()
        c.send_request(request(RRQ, "d.bin", options={"blksize": 1024}))
        line = self.wait_line(r"request from", mark)
        self.assertRegex(line, r"^%s  Error   request from 127\.0\.0\.1 ignored, 1$" % r"\S+ \S+")
        c.send_request(ack(0))
        c.send_request(data(1, b"x"))
        self.expect_nothing(c, 0.3)
        ignored = [l for l in self.lines(mark) if l.endswith("  Error   request from 127.0.0.1 ignored, 1")]
        self.assertEqual(len(ignored), 3)
        self.assertEqual(len([l for l in self.lines(start) if " TFTP Get Name " in l]), 1)
        # The transfer itself goes on undisturbed.
        c.send(ack(0))
        self.assertEqual(self.expect(c)[0], data(1, payload[:1024]))
        # Another port of the same client is another transfer.
        other = self.client()
        got, _, _ = self.fetch(other, "d.bin")
        self.assertEqual(got, payload)
        c.send(ack(1))
        self.assertEqual(self.expect(c)[0], data(2, payload[1024:]))
        c.send(ack(2))
        self.wait_results(path, start, 2)
        # Once the transfer has ended, the port may ask again.
        time.sleep(0.2)
        got, _, _ = self.fetch(c, "d.bin")
        self.assertEqual(got, payload)

    def test_a_client_that_starts_over_is_served_at_once(self):
        """A request that is not a copy of the first one, or that comes once
        the transfer has moved on, is a client that started over (firmware
        that resets and asks again from its port): the old transfer ends as
        a time-out ends it and the new request is answered at once."""
        payload = pattern(3000, seed=2)
        path = self.server.put_file("s.bin", payload)
        other = self.server.put_file("t.bin", payload[:700])
        start = self.mark()
        c = self.ask_read("s.bin")
        self.assertEqual(self.expect(c)[0], data(1, payload[:512]))
        c.send(ack(1))
        self.assertEqual(self.expect(c)[0], data(2, payload[512:1024]))
        # Stalled after block 2; the same request from the same port again.
        asked = time.monotonic()
        c.send_request(request(RRQ, "s.bin"))
        self.assertEqual(self.expect(c, timeout=0.5)[0], data(1, payload[:512]))
        self.assertLess(time.monotonic() - asked, 0.5)
        self.assertEqual(self.wait_result(path, start)[:3], (" Timeout", "127.0.0.1      ", "Get/octet "))
        # Still at its first packet, a different request starts over too.
        mark = self.mark()
        got, _, _ = self.fetch(c, "t.bin")
        self.assertEqual(got, payload[:700])
        self.assertEqual(self.wait_result(path, mark)[0], " Timeout")
        self.assertRegex(self.wait_result(other, mark)[0], COMPLETED)

    def test_an_upload_asked_again_after_its_first_block_starts_over(self):
        path = self.server.put_file("u.bin", b"old")
        start = self.mark()
        c = self.client()
        self.upload_block(c, "u.bin", b"a" * 512)
        # The first upload's temporary file is dropped, the old file stays
        # until the new upload completes.
        self.begin_write("u.bin", client=c)
        self.assertEqual(read_file(path), b"old")
        c.send(data(1, b"b"))
        self.assertEqual(self.expect(c)[0], ack(1))
        results = self.wait_results(path, start, 2)
        self.assertEqual(result_fields(results[0])[0], " Timeout")
        self.assertRegex(result_fields(results[1])[0], COMPLETED)
        self.assertEqual(read_file(path), b"b")


class LoneTransfers(BlackBoxCase):
    """A transfer loop left with one transfer waits in that transfer's own
    receive; a transfer handed to it then must not wait for the first."""
    settings = {"Timeout": 5, "Retransmit": 2}

    def test_every_new_client_is_answered_while_each_loop_runs_one(self):
        payload = pattern(2000, seed=3)
        self.server.put_file("l.bin", payload)
        # One more client than there are loops (one per core, at most 16):
        # the last one is handed to a loop that serves one transfer alone.
        clients = []
        for _ in range(min(os.cpu_count() or 1, 16) + 1):
            c = self.client()
            asked = time.monotonic()
            c.send_request(request(RRQ, "l.bin"))
            self.assertEqual(self.expect(c)[0], data(1, payload[:512]))
            self.assertLess(time.monotonic() - asked, 0.5)
            # Its ACK is the datagram after which its loop may wait alone.
            c.send(ack(1))
            self.assertEqual(self.expect(c)[0], data(2, payload[512:1024]))
            clients.append(c)
        for c in clients:
            c.send(ack(2))
            self.assertEqual(self.expect(c, timeout=0.5)[0], data(3, payload[1024:1536]))


class ClientLimit:
    """Clients + 1 transfers run; further requests are dropped without an
    answer until one ends."""

    def test_clients_plus_one_transfers_run(self):
        count = self.settings["Clients"] + 1
        payload = pattern(1000, seed=2)
        path = self.server.put_file("c.bin", payload)
        start = self.mark()
        running, late = [self.client() for _ in range(count)], self.client()
        for c in running:
            c.send_request(request(RRQ, "c.bin"))
            self.assertEqual(self.expect(c)[0], data(1, payload[:512]))
        # They run; the next request is dropped without an answer.
        mark = self.mark()
        late.send_request(request(RRQ, "c.bin"))
        self.expect_nothing(late, 0.5)
        self.wait_line(r"^\S+ \S+  Error   request from 127\.0\.0\.1 ignored, %d$" % count, mark)
        self.assertEqual([l for l in self.lines(mark) if " TFTP Get Name " in l], [])
        # Also a write request.
        late.send_request(request(WRQ, "new.bin"))
        self.expect_nothing(late, 0.3)
        self.assertIsNone(read_file(self.server.path("new.bin")))
        # They finish; then the next client is served.
        for c in running:
            c.send(ack(1))
            self.assertEqual(self.expect(c)[0], data(2, payload[512:]))
            c.send(ack(2))
        self.wait_results(path, start, count)
        time.sleep(0.2)
        got, _, _ = self.fetch(late, "c.bin")
        self.assertEqual(got, payload)


class OneClient(ClientLimit, BlackBoxCase):
    settings = {"Clients": 1, "Timeout": 1, "Retransmit": 2}


class NoClients(ClientLimit, BlackBoxCase):
    settings = {"Clients": 0, "Timeout": 1, "Retransmit": 2}


@linux_only("Wine caps a socket's buffer at the Linux default, where Windows would grant it")
class Burst(BlackBoxCase):
    """A boot storm's requests arrive at once: the listening socket holds a
    burst of Clients requests, none is lost to a full buffer."""
    COUNT = 2000
    settings = {"Clients": COUNT}

    def test_every_request_of_a_burst_is_answered(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if soft < self.COUNT + 200:
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, self.COUNT + 200), hard))
        sockets = []
        self.addCleanup(lambda: [s.close() for s in sockets])
        for _ in range(self.COUNT):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("127.0.0.1", 0))
            s.setblocking(False)
            sockets.append(s)
        # Refused at once (no such file): no transfer, only the loop's work.
        for i, s in enumerate(sockets):
            s.sendto(request(RRQ, "missing-%d" % i), ("127.0.0.1", self.server.port))
        waiting = {s.fileno(): s for s in sockets}
        answers = 0
        poller = select.poll()
        for fd in waiting:
            poller.register(fd, select.POLLIN)
        deadline = time.monotonic() + 10
        while waiting and time.monotonic() < deadline:
            for fd, _ in poller.poll(200):
                packet = waiting.pop(fd).recv(600)
                poller.unregister(fd)
                self.assertEqual(packet, error_bytes(ERR_NOT_FOUND, "File not found"))
                answers += 1
        self.assertEqual(answers, self.COUNT, "requests lost in a burst of %d" % self.COUNT)


class Stop(unittest.TestCase):
    def test_ctrl_c_while_transfers_run(self):
        with Server(settings={"Timeout": 5}) as s:
            s.put_file("s.bin", b"s" * 5000)
            reader = Client(s.port)
            writer = Client(s.port)
            self.addCleanup(reader.close)
            self.addCleanup(writer.close)
            reader.send_request(request(RRQ, "s.bin"))
            self.assertEqual(reader.receive(3)[0], data(1, b"s" * 512))
            writer.send_request(request(WRQ, "w.bin"))
            self.assertEqual(writer.receive(3)[0], ack(0))
            t0 = time.monotonic()
            rc = s.stop(signal.SIGINT, timeout=10)
            self.assertEqual(rc, 0)
            # The loop ends at once; the workers at their next turn, at the
            # latest after their time-out.
            self.assertLess(time.monotonic() - t0, 7)
            self.assertIn("Stopping TFTP Server.", s.output())
            # The port is closed: a request gets no answer.
            late = Client(s.port)
            self.addCleanup(late.close)
            late.send_request(request(RRQ, "s.bin"))
            self.assertIsNone(late.receive(0.5)[0])


if __name__ == "__main__":
    unittest.main(verbosity=2)
