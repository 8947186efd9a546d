"""Network namespaces that a test creates for itself.

Multicast needs an interface with a multicast route, which the machine's
own loopback does not have; a namespace of the test's own gives one without
touching the host. Everything made here is removed when the test ends, also
when it fails.
"""
import os
import subprocess
import unittest

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
