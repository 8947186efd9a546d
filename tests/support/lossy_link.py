"""A lossy, slow link between a TFTP client and a server on loopback, for
kernels without the netem queueing discipline.

The link is a relay: the client sends its request to `port`; the relay
passes it on to the server from a socket of its own and hands the server's
answers to the client from a second socket, which the client then takes for
the server's transfer port. Every datagram, in either direction, is dropped
with probability `loss` (from a seeded generator, so a run can be repeated)
and otherwise delivered `delay` seconds after it arrived, in order.

    with LossyLink(server_port, loss=0.01, delay=0.002) as link:
        run the client against 127.0.0.1:link.port
        link.dropped, link.passed

One transfer at a time: the relay remembers one client and one server port.
"""
import heapq
import random
import select
import socket
import threading
import time

from common import HOST

PACKET_MAX = 65536


class LossyLink:
    def __init__(self, server_port, loss=0.0, delay=0.0, seed=1, server_host=HOST):
        self.server = (server_host, server_port)
        self.loss = loss
        self.delay = delay
        self.random = random.Random(seed)
        self.listen = self._socket()      # where the client sends its request
        self.toward_server = self._socket()  # the relay's side towards the server
        self.toward_client = self._socket()  # the "transfer port" the client sees
        self.port = self.listen.getsockname()[1]
        self.client = None
        self.server_session = None
        self.dropped = 0
        self.passed = 0
        self.queue = []  # (due, sequence, socket, packet, address)
        self.sequence = 0
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    @staticmethod
    def _socket():
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
        s.bind((HOST, 0))
        s.setblocking(False)
        return s

    def _pass(self, sock, packet, address):
        if self.random.random() < self.loss:
            self.dropped += 1
            return
        self.passed += 1
        self.sequence += 1
        heapq.heappush(self.queue, (time.monotonic() + self.delay, self.sequence, sock, packet, address))

    def _deliver_due(self):
        now = time.monotonic()
        while self.queue and self.queue[0][0] <= now:
            _, _, sock, packet, address = heapq.heappop(self.queue)
            try:
                sock.sendto(packet, address)
            except OSError:
                pass  # a full buffer is one more loss

    def _run(self):
        sockets = [self.listen, self.toward_server, self.toward_client]
        while not self.stopping:
            wait = 0.05
            if self.queue:
                wait = max(0.0, min(wait, self.queue[0][0] - time.monotonic()))
            readable, _, _ = select.select(sockets, [], [], wait)
            for sock in readable:
                for _ in range(64):  # a bounded drain per wake-up
                    try:
                        packet, source = sock.recvfrom(PACKET_MAX)
                    except BlockingIOError:
                        break
                    if sock is self.listen:
                        self.client = source
                        self._pass(self.toward_server, packet, self.server)
                    elif sock is self.toward_server:
                        self.server_session = source
                        if self.client is not None:
                            self._pass(self.toward_client, packet, self.client)
                    elif source == self.client and self.server_session is not None:
                        self._pass(self.toward_server, packet, self.server_session)
            self._deliver_due()

    def close(self):
        self.stopping = True
        self.thread.join(timeout=5)
        for s in (self.listen, self.toward_server, self.toward_client):
            s.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
