"""Network namespaces that a test creates for itself.

Multicast needs an interface with a multicast route, which the machine's
own loopback does not have; a namespace of the test's own gives one without
touching the host. Everything made here is removed when the test ends, also
when it fails.
"""
import contextlib
import ctypes
import os
import socket
import subprocess
import unittest

CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)

_counter = [0]


def _ip(*args, check=True):
    return subprocess.run(["ip"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=10, check=check)


def unique_name(stem):
    _counter[0] += 1
    return "%s%d_%d" % (stem, os.getpid() % 100000, _counter[0])


class Namespace:
    """One namespace with lo up and 224.0.0.0/4 routed over lo.

    exec_prefix() is the command prefix that runs a program inside it.
    Raises unittest.SkipTest with the reason when namespaces cannot be made.
    """

    def __init__(self, stem="orv", multicast_route=True):
        self.name = unique_name(stem)
        try:
            r = _ip("netns", "add", self.name, check=False)
        except (OSError, subprocess.TimeoutExpired) as e:
            raise unittest.SkipTest("cannot create a network namespace: %s" % e)
        if r.returncode != 0:
            raise unittest.SkipTest("cannot create a network namespace (needs root and ip netns): %s"
                                    % r.stderr.strip())
        try:
            _ip("-n", self.name, "link", "set", "lo", "up")
            if multicast_route:
                _ip("-n", self.name, "route", "add", "224.0.0.0/4", "dev", "lo")
        except Exception:
            self.remove()
            raise

    @contextlib.contextmanager
    def entered(self):
        """Runs the block with this thread inside the namespace; sockets made
        there stay in it after the thread has returned to its own."""
        own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        try:
            target = os.open("/run/netns/" + self.name, os.O_RDONLY)
            try:
                _setns(target)
                try:
                    yield
                finally:
                    _setns(own)
            finally:
                os.close(target)
        finally:
            os.close(own)

    def socket(self, family=socket.AF_INET, kind=socket.SOCK_DGRAM):
        """A socket of this namespace, used from the calling process."""
        with self.entered():
            return socket.socket(family, kind)

    def exec_prefix(self):
        return ["ip", "netns", "exec", self.name]

    def run(self, args, **kwargs):
        return subprocess.run(self.exec_prefix() + list(args), **kwargs)

    def popen(self, args, **kwargs):
        return subprocess.Popen(self.exec_prefix() + list(args), **kwargs)

    def remove(self):
        _ip("netns", "del", self.name, check=False)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.remove()
        return False


def _setns(fd):
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err))


class BridgedNetwork:
    """A server namespace with a bridge and `count` client namespaces, each
    joined to the bridge by a veth pair, so that every client has a network
    stack (and a group port) of its own.

    The server is 10.<net>.0.1 on the bridge, client i is 10.<net>.0.<10+i>
    on its veth; 224.0.0.0/4 is routed over the bridge and over each veth.
    Raises unittest.SkipTest when namespaces cannot be made; remove() (or the
    end of a with block) deletes every namespace, and with them the links.
    """

    def __init__(self, count, stem="orb", net=None):
        self.net = net if net is not None else 64 + os.getpid() % 128
        self.server_address = "10.%d.0.1" % self.net
        self.server = Namespace(stem + "s", multicast_route=False)
        self.clients = []
        try:
            srv = self.server.name
            _ip("-n", srv, "link", "add", "br0", "type", "bridge")
            # Flood group traffic to every port instead of waiting for IGMP reports.
            _ip("-n", srv, "link", "set", "br0", "type", "bridge", "mcast_snooping", "0")
            _ip("-n", srv, "addr", "add", self.server_address + "/24", "dev", "br0")
            _ip("-n", srv, "link", "set", "br0", "up")
            _ip("-n", srv, "route", "add", "224.0.0.0/4", "dev", "br0")
            for i in range(count):
                ns = Namespace(stem + "c", multicast_route=False)
                self.clients.append(ns)
                port = "p%d" % i
                _ip("-n", ns.name, "link", "add", "eth0", "type", "veth", "peer", "name", port, "netns", srv)
                _ip("-n", srv, "link", "set", port, "master", "br0")
                _ip("-n", srv, "link", "set", port, "up")
                _ip("-n", ns.name, "addr", "add", self.client_address(i) + "/24", "dev", "eth0")
                _ip("-n", ns.name, "link", "set", "eth0", "up")
                _ip("-n", ns.name, "route", "add", "224.0.0.0/4", "dev", "eth0")
        except BaseException:
            self.remove()
            raise

    def client_address(self, i):
        return "10.%d.0.%d" % (self.net, 10 + i)

    def remove(self):
        for ns in self.clients:
            ns.remove()
        self.clients = []
        self.server.remove()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.remove()
        return False


class VethPair:
    """Two namespaces joined by one veth pair: the server side is
    10.<net>.1.1, the client side 10.<net>.1.2; with ipv6 also fd00:<net>:1::1
    and fd00:<net>:1::2 (server_address6, client_address6). shape() puts a
    netem queueing discipline on both ends (a delay there is one way, so the
    round trip is twice it). Raises unittest.SkipTest when namespaces (or
    with ipv6, IPv6 addresses) cannot be made; remove() deletes both, and
    with them the link."""

    def __init__(self, stem="orv", net=None, ipv6=False):
        self.net = net if net is not None else 64 + os.getpid() % 128
        self.server_address = self.address(1)
        self.client_address = self.address(2)
        self.server_address6 = self.address(1, 6) if ipv6 else None
        self.client_address6 = self.address(2, 6) if ipv6 else None
        self.server = Namespace(stem + "s", multicast_route=False)
        self.client = None
        try:
            self.client = Namespace(stem + "c", multicast_route=False)
            _ip("-n", self.server.name, "link", "add", "eth0", "type", "veth", "peer", "name", "eth0",
                "netns", self.client.name)
            for ns, address, address6 in ((self.server, self.server_address, self.server_address6),
                                          (self.client, self.client_address, self.client_address6)):
                self.add_address(ns, address)
                if address6:
                    self.add_address(ns, address6)
                _ip("-n", ns.name, "link", "set", "eth0", "up")
        except BaseException:
            self.remove()
            raise

    def address(self, host, family=4):
        """The link's address number host: 10.<net>.1.<host>, or with family 6
        fd00:<net>:1::<host> (host in hex)."""
        return "10.%d.1.%d" % (self.net, host) if family == 4 else "fd00:%d:1::%x" % (self.net, host)

    def add_address(self, ns, address):
        """Puts one more address of the link's subnet (/24, /64) on the eth0
        of ns (self.server or self.client). An IPv6 one skips duplicate
        address detection, so that it can be bound and answer at once; a
        kernel without IPv6 raises unittest.SkipTest."""
        if ":" not in address:
            _ip("-n", ns.name, "addr", "add", address + "/24", "dev", "eth0")
            return
        r = _ip("-n", ns.name, "addr", "add", address + "/64", "dev", "eth0", "nodad", check=False)
        if r.returncode != 0:
            raise unittest.SkipTest("cannot add the IPv6 address %s: %s" % (address, r.stderr.strip()))

    def shape(self, *netem):
        """Applies `tc qdisc add dev eth0 root netem ...` on both ends; raises
        unittest.SkipTest when the kernel has no netem."""
        for ns in (self.server, self.client):
            r = subprocess.run(["tc", "-n", ns.name, "qdisc", "add", "dev", "eth0", "root", "netem"] + list(netem),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=10)
            if r.returncode != 0:
                raise unittest.SkipTest("no netem in this kernel: %s" % r.stderr.strip())

    def remove(self):
        if self.client is not None:
            self.client.remove()
        self.server.remove()

    __enter__ = Namespace.__enter__
    __exit__ = Namespace.__exit__
