"""Where the tests find TFTP programs that are not installed as packages.

atftpd conflicts with tftpd-hpa as a Debian package, so scripts/install-deps.sh
unpacks its .deb into build-deps/ at the top of the checkout. Tests never
fetch anything themselves: they often run inside network namespaces that
have no network at all.
"""
import os

TOP = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DEPS_DIR = os.path.join(TOP, "build-deps")


def atftpd_path():
    """The unpacked atftpd; raises RuntimeError when install-deps has not run."""
    binary = os.path.join(DEPS_DIR, "atftpd", "usr", "sbin", "atftpd")
    if not os.access(binary, os.X_OK):
        raise RuntimeError("%s is missing: run scripts/install-deps.sh" % binary)
    return binary
