"""Retransmission counts against a silent client: with Timeout 1 and
Retransmit 10 the first packet of a transfer goes out exactly 12 times, about
a second apart, and the transfer ends with the Timeout line."""
import select
import time
import unittest

from blackbox_support import (
    RRQ, WRQ, BlackBoxCase, ack, data, kernel_stamped, oack_bytes, pattern, read_file, receive_stamped,
    request, upload_leftovers)


class SilentClients(BlackBoxCase):
    settings = {"Timeout": 1, "Retransmit": 10}

    def test_first_packet_sent_twelve_times(self):
        payload = pattern(2000, seed=4)
        self.server.put_file("r.bin", payload)
        cases = [
            ("read", request(RRQ, "r.bin"), data(1, payload[:512]), "r.bin", "Get/octet "),
            ("read with options", request(RRQ, "r.bin", options={"tsize": 0}),
             oack_bytes(("tsize", 2000)), "r.bin", "Get/octet "),
            ("write", request(WRQ, "w1.bin"), ack(0), "w1.bin", "Put/octet "),
            ("write with options", request(WRQ, "w2.bin", "netascii", options={"blksize": 1024}),
             oack_bytes(("blksize", 1024)), "w2.bin", "Put/ascii "),
        ]
        start = self.mark()
        clients = []
        for _, packet, _, _, _ in cases:
            c = self.client()
            kernel_stamped(c.sock)
            c.send_request(packet)
            clients.append(c)
        # All four run at once; collect until a second after the last result
        # line (12 sends and the final time-out need about 12 s).
        arrivals = {c.sock: [] for c in clients}
        deadline = time.monotonic() + 20.0
        ended = None
        while time.monotonic() < deadline:
            if ended is None and self.result_lines(self.server.path("w1.bin"), start) \
                    and self.result_lines(self.server.path("w2.bin"), start) \
                    and len(self.result_lines(self.server.path("r.bin"), start)) == 2:
                ended = time.monotonic()
                deadline = min(deadline, ended + 1.0)
            r, _, _ = select.select(list(arrivals), [], [], max(0.0, min(0.1, deadline - time.monotonic())))
            for sock in r:
                arrivals[sock].append(receive_stamped(sock))
        for (label, _, first, name, kind), c in zip(cases, clients):
            with self.subTest(case=label):
                seen = arrivals[c.sock]
                self.assertEqual([p for _, p, _ in seen], [first] * 12)
                self.assertEqual(len({s for _, _, s in seen}), 1, "sent from more than one port")
                # About a second apart (a busy machine may stretch one gap).
                gaps = sorted(b[0] - a[0] for a, b in zip(seen, seen[1:]))
                self.assertGreater(gaps[0], 0.6, gaps)
                self.assertLess(gaps[-1], 3.0, gaps)
                self.assertTrue(0.9 < gaps[len(gaps) // 2] < 1.3, gaps)
                status, address, label_column, rest = self.wait_result(self.server.path(name), start, 3)
                self.assertEqual((status, address, label_column), (" Timeout", "127.0.0.1      ", kind))
                self.assertEqual(rest, self.server.path(name))
        # A silent upload leaves nothing behind: no file under its name, no new file.
        self.assertIsNone(read_file(self.server.path("w1.bin")))
        self.assertIsNone(read_file(self.server.path("w2.bin")))
        self.assertEqual(upload_leftovers(self.server.root), [])
        self.assertIsNotNone(ended, "not every transfer ended")
        # Each time-out of a read is traced twice: 12 for each read.
        for number in (0, 1):
            self.assertEqual(len([l for l in self.lines(start) if l.endswith(" TFTP  ack timeout %d" % number)]), 24)


if __name__ == "__main__":
    unittest.main(verbosity=2)
