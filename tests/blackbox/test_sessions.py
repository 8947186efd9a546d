"""The session table: duplicate requests, the client limit, a stop while a
transfer runs."""
import signal
import time
import unittest

from blackbox_support import (
    COMPLETED, RRQ, WRQ, BlackBoxCase, Client, Server, ack, data, oack_bytes, pattern,
    read_file, request)


class Duplicates(BlackBoxCase):
    settings = {"Timeout": 1, "Retransmit": 2}

    def test_repeated_request_during_a_transfer_gets_nothing(self):
        payload = pattern(1500, seed=1)
        path = self.server.put_file("d.bin", payload)
        start = self.mark()
        c = self.client()
        c.send_request(request(RRQ, "d.bin", options={"blksize": 1024}))
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
        self.assertEqual(len(self.wait_results(path, start, 2)), 2)
        # Once the transfer has ended, the port may ask again.
        time.sleep(0.2)
        got, _, _ = self.fetch(c, "d.bin")
        self.assertEqual(got, payload)

    def test_repeated_write_request_during_an_upload(self):
        path = self.server.path("u.bin")
        start = self.mark()
        c = self.client()
        c.send_request(request(WRQ, "u.bin"))
        self.assertEqual(self.expect(c)[0], ack(0))
        c.send(data(1, b"a" * 512))
        self.assertEqual(self.expect(c)[0], ack(1))
        c.send_request(request(WRQ, "u.bin"))
        self.expect_nothing(c, 0.3)
        self.wait_line(r"  Error   request from 127\.0\.0\.1 ignored, 1$", start)
        # The repeated request did not truncate the file being written.
        c.send(data(2, b"b"))
        self.assertEqual(self.expect(c)[0], ack(2))
        self.assertRegex(self.wait_result(path, start)[0], COMPLETED)
        self.assertEqual(read_file(path), b"a" * 512 + b"b")

    def wait_results(self, path, since, count, timeout=5.0):
        deadline = time.monotonic() + timeout
        while len(self.result_lines(path, since)) < count and time.monotonic() < deadline:
            time.sleep(0.02)
        return self.result_lines(path, since)


class ClientLimit(BlackBoxCase):
    settings = {"Clients": 1, "Timeout": 1, "Retransmit": 2}

    def test_clients_plus_one_transfers_run(self):
        payload = pattern(1000, seed=2)
        path = self.server.put_file("c.bin", payload)
        start = self.mark()
        first, second, third = self.client(), self.client(), self.client()
        first.send_request(request(RRQ, "c.bin"))
        self.assertEqual(self.expect(first)[0], data(1, payload[:512]))
        second.send_request(request(RRQ, "c.bin"))
        self.assertEqual(self.expect(second)[0], data(1, payload[:512]))
        # Two run; the third request is dropped without an answer.
        mark = self.mark()
        third.send_request(request(RRQ, "c.bin"))
        self.expect_nothing(third, 0.5)
        self.wait_line(r"^\S+ \S+  Error   request from 127\.0\.0\.1 ignored, 2$", mark)
        self.assertEqual([l for l in self.lines(mark) if " TFTP Get Name " in l], [])
        # Also a write request.
        third.send_request(request(WRQ, "new.bin"))
        self.expect_nothing(third, 0.3)
        self.assertIsNone(read_file(self.server.path("new.bin")))
        # Both finish; then the third client is served.
        for c in (first, second):
            c.send(ack(1))
            self.assertEqual(self.expect(c)[0], data(2, payload[512:]))
            c.send(ack(2))
        deadline = time.monotonic() + 5
        while len(self.result_lines(path, start)) < 2 and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertEqual(len(self.result_lines(path, start)), 2)
        time.sleep(0.2)
        got, _, _ = self.fetch(third, "c.bin")
        self.assertEqual(got, payload)


class OneAtATime(BlackBoxCase):
    settings = {"Clients": 0, "Timeout": 1, "Retransmit": 2}

    def test_clients_zero_runs_one_transfer(self):
        self.server.put_file("z.bin", b"z" * 600)
        first, second = self.client(), self.client()
        first.send_request(request(RRQ, "z.bin"))
        self.assertEqual(self.expect(first)[0], data(1, b"z" * 512))
        mark = self.mark()
        second.send_request(request(RRQ, "z.bin"))
        self.expect_nothing(second, 0.5)
        self.wait_line(r"  Error   request from 127\.0\.0\.1 ignored, 1$", mark)
        first.send(ack(1))
        self.assertEqual(self.expect(first)[0], data(2, b"z" * 88))
        first.send(ack(2))
        self.wait_result(self.server.path("z.bin"), mark)
        time.sleep(0.2)
        got, _, _ = self.fetch(second, "z.bin")
        self.assertEqual(got, b"z" * 600)


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
