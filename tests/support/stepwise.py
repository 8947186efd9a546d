"""Transfers driven one packet at a time, so that a test can act between two
blocks: replace the file being read, start another upload to the same name,
send a runt. Both sides take a harrier.Client (or anything with its
send_request/send/receive), so they also work with sockets of a namespace.
"""
import time

from tftp_packets import ACK, DATA, ERROR, OACK, RRQ, WRQ, ack, data, parse, request


class StepReader:
    """A read request whose DATA blocks are acknowledged one call at a time.

    outcome: None while running, then "done" (short last block taken),
    "error" (ERROR packet; its (code, text) in error) or "silent".
    """

    def __init__(self, client, name, options=None, mode="octet"):
        self.client = client
        self.block_size = int((options or {}).get("blksize", 512))
        self.received = bytearray()
        self.expected = 1
        self.blocks = 0
        self.oack = None
        self.outcome = None
        self.error = None
        client.peer = None
        client.send_request(request(RRQ, name, mode, options))

    def step(self, timeout=3.0):
        """Takes the next new DATA block and acknowledges it; repeated blocks
        are acknowledged again on the way. Returns False once the read has
        ended (see outcome)."""
        deadline = time.monotonic() + timeout
        while self.outcome is None:
            left = deadline - time.monotonic()
            packet, _ = self.client.receive(max(left, 0)) if left > 0 else (None, None)
            if packet is None:
                self.outcome = "silent"
                break
            op, fields = parse(packet)
            if op == ERROR:
                self.outcome, self.error = "error", fields
            elif op == OACK and self.expected == 1:
                self.oack = fields[0]
                self.block_size = int(self.oack.get("blksize", self.block_size))
                self.client.send(ack(0))
            elif op == DATA:
                number, payload = fields
                self.client.send(ack(number))
                if number != self.expected & 0xFFFF:
                    continue
                self.received += payload
                self.expected += 1
                self.blocks += 1
                if len(payload) < self.block_size:
                    self.outcome = "done"
                return self.outcome is None
        return False

    def run(self, blocks=None, timeout=3.0, limit=100000):
        """Steps until the read ends or `blocks` more blocks were taken."""
        for i in range(limit):
            if blocks is not None and i >= blocks:
                return
            if not self.step(timeout):
                return


class StepWriter:
    """A write request whose DATA blocks go out one call at a time.

    first: the server's first answer (ACK 0 or an OACK), None on silence.
    """

    def __init__(self, client, name, content, options=None, mode="octet"):
        self.client = client
        self.content = content
        self.block_size = int((options or {}).get("blksize", 512))
        self.count = len(content) // self.block_size + 1
        self.next = 1
        self.last_answer = None
        client.peer = None
        client.send_request(request(WRQ, name, mode, options))
        self.first, _ = client.receive(3.0)

    def payload(self, number):
        return self.content[(number - 1) * self.block_size:number * self.block_size]

    def finished(self):
        return self.next > self.count

    def send_next(self):
        self.client.send(data(self.next, self.payload(self.next)))

    def take_ack(self, timeout=3.0):
        """Waits for the ACK of the block sent last; True when it came (the
        answer is in last_answer either way)."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            packet, _ = self.client.receive(left) if left > 0 else (None, None)
            self.last_answer = packet
            if packet is None:
                return False
            op, fields = parse(packet)
            if op == ACK and fields[0] == self.next & 0xFFFF:
                self.next += 1
                return True
            # Repeated ACKs and a repeated OACK are retransmissions: wait on.
            if op not in (ACK, OACK):
                return False

    def step(self, timeout=3.0):
        self.send_next()
        return self.take_ack(timeout)

    def run(self, blocks=None, timeout=3.0):
        """Sends blocks until the upload is complete, `blocks` more were
        acknowledged, or one was not; True unless one was not."""
        sent = 0
        while not self.finished() and (blocks is None or sent < blocks):
            if not self.step(timeout):
                return False
            sent += 1
        return True
