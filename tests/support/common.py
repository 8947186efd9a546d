"""Helpers every test area needs: the loopback addresses, free ports on
them, bounded waits, descriptor counts, scratch directories and test
contents."""
import os
import random
import shutil
import socket
import tempfile
import time

# Every test server listens here and every test client talks to it; HOST6
# is the IPv6 loopback, which harrier serves by default too.
HOST = "127.0.0.1"
HOST6 = "::1"

# Below the ephemeral range, so that no client socket bound to port 0 takes
# a port between its choice and the server's bind; a block per process, so
# that suites running side by side rarely try the same ports.
_next_port = [20000 + (os.getpid() % 200) * 100]


def family_of(host):
    """The socket family of a numeric address."""
    return socket.AF_INET6 if ":" in host else socket.AF_INET


def _wildcard_socket(family):
    """An unbound UDP socket of family for the any-address (IPv6 only, as
    harrier's is), or None where the host has no such family."""
    try:
        s = socket.socket(family, socket.SOCK_DGRAM)
    except OSError:
        return None
    if family == socket.AF_INET6:
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    return s


def _bind_wildcards(port):
    """Binds the port on the any-address of both families; the sockets, or
    None (nothing left open) when either family has it taken. port 0: one
    the system picks for IPv4, taken in IPv6 too."""
    held = []
    for family, any_address in ((socket.AF_INET, "0.0.0.0"), (socket.AF_INET6, "::")):
        s = _wildcard_socket(family)
        if s is None:
            continue
        held.append(s)
        try:
            s.bind((any_address, port))
        except OSError:
            for h in held:
                h.close()
            return None
        port = s.getsockname()[1]
    return held


def port_is_free(port):
    """True when nothing has bound the UDP port on any address of either
    family (a server listening on [::] or 0.0.0.0 needs both free, and a
    peer bound to 127.0.0.1 or ::1 shows as taken)."""
    held = _bind_wildcards(port)
    if held is None:
        return False
    for s in held:
        s.close()
    return True


def free_port():
    """A UDP port that is free right now in both families."""
    for _ in range(500):
        _next_port[0] += 1
        if port_is_free(_next_port[0]):
            return _next_port[0]
    raise RuntimeError("no free port")


def hold_port(add_cleanup, port=0):
    """Binds UDP sockets on every address of both families to port (0: one
    the system picks), so that no server can; the port. The sockets are
    closed by the cleanup they are handed to."""
    for _ in range(50 if port == 0 else 1):
        held = _bind_wildcards(port)
        if held is not None:
            for s in held:
                add_cleanup(s.close)
            return held[0].getsockname()[1]
    raise OSError("UDP port %d cannot be held in both families" % port)


def wait_for(fetch, done, timeout, step=0.05):
    """Calls fetch until done(its value) holds or timeout seconds have
    passed; the last value, so that a failed check can show it."""
    deadline = time.monotonic() + timeout
    while True:
        value = fetch()
        if done(value) or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def wait_until(predicate, timeout, step=0.05):
    """Polls predicate until it returns a true value or timeout seconds have
    passed; its last value."""
    return wait_for(predicate, bool, timeout, step)


def fd_count(pid):
    """Open descriptors of a Linux process."""
    return len(os.listdir("/proc/%d/fd" % pid))


def scratch_directory(add_cleanup, prefix):
    """A new temporary directory, removed by the cleanup it is handed to
    (a test's addCleanup, a class's addClassCleanup)."""
    path = tempfile.mkdtemp(prefix=prefix)
    add_cleanup(shutil.rmtree, path, True)
    return path


def read_file(path):
    """The file's bytes, or None when it does not exist."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def pattern(size, seed=0):
    """Deterministic pseudo-random bytes: no two blocks alike, the same for
    the same seed."""
    return random.Random(seed).randbytes(size)
