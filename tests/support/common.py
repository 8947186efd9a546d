"""Helpers every test area needs: the loopback address, free ports on it,
bounded waits, descriptor counts, scratch directories and test contents."""
import os
import random
import shutil
import socket
import tempfile
import time

# Every test server listens here and every test client talks to it.
HOST = "127.0.0.1"

# Below the ephemeral range, so that no client socket bound to port 0 takes
# a port between its choice and the server's bind; a block per process, so
# that suites running side by side rarely try the same ports.
_next_port = [20000 + (os.getpid() % 200) * 100]


def port_is_free(port):
    """True when nothing has bound the UDP port on HOST."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.bind((HOST, port))
        return True
    except OSError:
        return False
    finally:
        s.close()


def free_port():
    """A UDP port on HOST that is free right now."""
    for _ in range(500):
        _next_port[0] += 1
        if port_is_free(_next_port[0]):
            return _next_port[0]
    raise RuntimeError("no free port")


def hold_port(add_cleanup, port=0):
    """Binds a UDP socket on every address to port (0: one the system
    picks), so that no server can; the port. The socket is closed by the
    cleanup it is handed to."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    add_cleanup(s.close)
    s.bind(("0.0.0.0", port))
    return s.getsockname()[1]


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
