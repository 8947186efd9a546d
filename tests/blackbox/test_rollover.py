"""Block numbers past 65535: reads with LargeFiles 1 and 0, and an upload of
more than 65536 blocks."""
import os
import socket
import struct
import time
import unittest

from blackbox_support import (
    COMPLETED, DATA, RRQ, BlackBoxCase, ack, block_of, data, opcode_of, pattern, request)

BLOCKS = 65536
SIZE = BLOCKS * 512 + 1


def next_data(sock, last):
    """The next DATA packet, skipping retransmissions of the last one (a busy
    machine may delay an ACK past the time-out); they are acknowledged again."""
    for _ in range(20):
        packet = sock.recv(1000)
        if last is not None and packet == last:
            sock.send(ack(block_of(packet)))
            continue
        return packet
    raise AssertionError("the same block over and over")


def next_ack(sock, number):
    """The ACK after DATA `number`, skipping repeats of the ACK before it."""
    for _ in range(20):
        answer = sock.recv(100)
        if answer == ack(number - 1):
            continue
        return answer
    raise AssertionError("the same ACK over and over")


def big_file(server, name):
    payload = pattern(SIZE, seed=65536)
    server.put_file(name, payload)
    return payload


def start_big_read(case):
    """Requests the big file; returns (payload, path, log mark, socket
    connected to the data port, first DATA packet)."""
    payload = big_file(case.server, "big.bin")
    start = case.mark()
    c = case.client()
    c.send_request(request(RRQ, "big.bin"))
    first, peer = case.expect(c)
    c.sock.connect(peer)
    c.sock.settimeout(3)
    return payload, case.server.path("big.bin"), start, c.sock, first


class ReadRollOver(BlackBoxCase):
    settings = {"LargeFiles": 1, "Timeout": 2, "Retransmit": 2}

    def test_numbers_wrap_and_the_index_keeps_counting(self):
        payload, path, start, sock, first = start_big_read(self)
        numbers = []
        parts = []
        packet = first
        for _ in range(BLOCKS + 10):
            self.assertEqual(opcode_of(packet), DATA)
            number = block_of(packet)
            numbers.append(number)
            parts.append(packet[4:])
            sock.send(ack(number))
            if len(packet) < 516:
                break
            packet = next_data(sock, packet)
        self.assertEqual(len(numbers), BLOCKS + 1)
        self.assertEqual(numbers[:3], [1, 2, 3])
        self.assertEqual(numbers[65533:], [65534, 65535, 0, 1])
        self.assertEqual(numbers, [(i + 1) & 0xFFFF for i in range(BLOCKS + 1)])
        self.assertEqual(len(parts[-1]), 1)
        self.assertEqual(b"".join(parts), payload)
        self.assertRegex(self.wait_result(path, start)[0], COMPLETED)


class ReadWrap(BlackBoxCase):
    settings = {"LargeFiles": 0, "Timeout": 2, "Retransmit": 2}

    def test_index_wraps_to_the_start_of_the_file(self):
        payload, path, start, sock, first = start_big_read(self)
        packet = first
        parts = []
        for i in range(BLOCKS):
            self.assertEqual(packet[:4], data(i + 1, b""), "block index %d" % i)
            parts.append(packet[4:])
            sock.send(ack(i + 1))
            packet = next_data(sock, packet)
        self.assertEqual(b"".join(parts), payload[:BLOCKS * 512])
        # After number 0 the file starts again from its first bytes.
        self.assertEqual(packet, data(1, payload[:512]))
        sock.send(ack(1))
        self.assertEqual(next_data(sock, packet), data(2, payload[512:1024]))
        # Its ACK is one beyond the end of the file: the transfer ends.
        sock.send(ack(2))
        self.assertEqual(self.wait_result(path, start)[0], " Timeout")
        time.sleep(0.1)
        sock.settimeout(0.1)
        for _ in range(20):  # retransmissions sent before the ACK arrived
            try:
                self.assertEqual(sock.recv(1000), data(2, payload[512:1024]))
            except socket.timeout:
                break
        sock.settimeout(2.5)
        with self.assertRaises(socket.timeout):
            sock.recv(1000)


class WriteRollOver(BlackBoxCase):
    settings = {"Timeout": 2, "Retransmit": 2}

    def test_upload_past_65535_blocks(self):
        count = 65600
        payload = pattern(count * 512 + 100, seed=77)
        path = self.server.path("up.bin")
        start = self.mark()
        c = self.begin_write("up.bin")
        sock = c.sock
        sock.connect(c.peer)
        sock.settimeout(3)
        header = struct.Struct("!HH")
        for i in range(count + 1):
            number = (i + 1) & 0xFFFF
            sock.send(header.pack(DATA, number) + payload[i * 512:(i + 1) * 512])
            answer = next_ack(sock, number)
            if answer != ack(number):
                self.fail("block %d (number %d) answered with %r" % (i + 1, number, answer))
            if i + 1 == 65538:
                # Block 3 is expected now (after the wrap): a late duplicate
                # of 65534 is acknowledged again and not written; 5 is from
                # the future and gets nothing.
                sock.send(data(65534, b"L" * 512))
                self.assertEqual(next_ack(sock, number + 1), ack(65534))
                sock.send(data(5, b"F" * 512))
                sock.settimeout(0.3)
                try:
                    late = sock.recv(100)
                except socket.timeout:
                    late = None
                self.assertIn(late, (None, ack(number)), "a block from the future was acknowledged")
                sock.settimeout(3)
        self.assertRegex(self.wait_result(path, start, 10)[0], COMPLETED)
        self.assertEqual(os.path.getsize(path), len(payload))
        with open(path, "rb") as f:
            self.assertTrue(f.read() == payload, "uploaded file differs")


if __name__ == "__main__":
    unittest.main(verbosity=2)
