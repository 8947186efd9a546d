"""Many raw clients at once: requests sent back to back from sockets of their
own that then stay silent, and which of them a server answered from a data
port (that is, which got a session).
"""
import select
import socket
import time

from common import HOST
from tftp_packets import ERR_UNDEFINED, ERROR, error_bytes


class Crowd:
    """`count` UDP sockets bound to `address`, one request each."""

    def __init__(self, server_port, count, address=HOST):
        self.server = (HOST, server_port)
        self.socks = []
        try:
            for _ in range(count):
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                self.socks.append(s)
                s.bind((address, 0))
                s.setblocking(False)
        except BaseException:
            self.close()
            raise
        self.sessions = {}  # socket -> data port address of its session
        self.first_answers = {}  # socket -> first packet from its data port

    def send_all(self, packet):
        """One request from every socket, back to back."""
        for s in self.socks:
            for _ in range(200):
                try:
                    s.sendto(packet, self.server)
                    break
                except BlockingIOError:
                    time.sleep(0.001)

    def send_unanswered(self, packet):
        """The request again from every socket that has no session yet."""
        for s in self.socks:
            if s not in self.sessions:
                s.sendto(packet, self.server)

    def listen(self, seconds):
        """Notes every answer from a data port within `seconds`; returns the
        number of sockets that have a session."""
        poller = select.poll()
        by_fd = {s.fileno(): s for s in self.socks}
        for fd in by_fd:
            poller.register(fd, select.POLLIN)
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return len(self.sessions)
            for fd, _ in poller.poll(left * 1000):
                s = by_fd[fd]
                for _ in range(100):
                    try:
                        packet, source = s.recvfrom(70000)
                    except (BlockingIOError, ConnectionRefusedError):
                        break
                    if source != self.server and len(packet) >= 2 and packet[1] != ERROR:
                        self.sessions.setdefault(s, source)
                        self.first_answers.setdefault(s, packet)

    def end_sessions(self):
        """Aborts every session seen, so that none outlives the test."""
        for s, peer in self.sessions.items():
            try:
                s.sendto(error_bytes(ERR_UNDEFINED, "test over"), peer)
            except OSError:
                pass

    def close(self):
        for s in self.socks:
            s.close()
        self.socks = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.end_sessions()
        self.close()
