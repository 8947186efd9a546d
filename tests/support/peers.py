"""The peer TFTP servers (tftpd-hpa, atftpd) the client is tested against:
where to find them, starting them on 127.0.0.1 (tftpd-hpa also on ::1),
their served directories.

atftpd conflicts with tftpd-hpa as a Debian package, so scripts/install-deps.sh
unpacks its .deb into build-deps/ at the top of the checkout. Tests never
fetch anything themselves: they often run inside network namespaces that
have no network at all.
"""
import os
import shutil
import signal
import subprocess
import tempfile

from common import HOST, HOST6, free_port, port_is_free, wait_until

TOP = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DEPS_DIR = os.path.join(TOP, "build-deps")


def atftpd_path():
    """The unpacked atftpd; raises RuntimeError when install-deps has not run."""
    binary = os.path.join(DEPS_DIR, "atftpd", "usr", "sbin", "atftpd")
    if not os.access(binary, os.X_OK):
        raise RuntimeError("%s is missing: run scripts/install-deps.sh" % binary)
    return binary


def wait_bound(port, process, seconds=5.0):
    """Waits until something has bound the UDP port, without sending to it."""
    wait_until(lambda: process.poll() is not None or not port_is_free(port), seconds)
    if process.poll() is not None:
        raise RuntimeError("server exited with %s" % process.returncode)
    if port_is_free(port):
        raise RuntimeError("server did not bind port %d" % port)


def stop_process(process):
    """Ends a server started with start_server, with the children it forked."""
    if process is None or process.poll() is not None:
        return
    try:
        os.killpg(process.pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait(timeout=5)


def start_server(argv, port, env=None, cwd=None):
    """Starts a server program in a session of its own; returns once it has
    bound the UDP port."""
    process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, start_new_session=True, env=env, cwd=cwd)
    try:
        wait_bound(port, process)
    except Exception:
        stop_process(process)
        raise
    return process


def server_user():
    return "nobody" if os.geteuid() == 0 else os.environ.get("USER", "nobody")


def start_tftpd_hpa(root, port=None, ipv6=False):
    """tftpd-hpa on 127.0.0.1, or with ipv6 on ::1 only; (process, port)."""
    port = port or free_port()
    in_tftpd = shutil.which("in.tftpd") or "/usr/sbin/in.tftpd"
    if not os.path.exists(in_tftpd):
        raise RuntimeError("in.tftpd not found: install the Debian package tftpd-hpa")
    # A numeric IPv6 address goes in brackets before its port.
    address = ["-6", "-a", "[%s]:%d" % (HOST6, port)] if ipv6 else ["-a", "%s:%d" % (HOST, port)]
    argv = [in_tftpd, "-L", "-s", "-c", "-u", server_user()] + address + [root]
    return start_server(argv, port), port


def start_atftpd(root, port=None):
    port = port or free_port()
    argv = [atftpd_path(), "--daemon", "--no-fork", "--port", str(port),
            "--bind-address", HOST, "--logfile", "/dev/null", root]
    return start_server(argv, port), port


def make_root(add_cleanup=None):
    """A served directory that the server's unprivileged user may write;
    removed by the cleanup it is handed to, if any."""
    root = tempfile.mkdtemp(prefix="pelican_root_")
    if add_cleanup:
        add_cleanup(shutil.rmtree, root, True)
    os.chmod(root, 0o777)
    return root


def put_file(root, name, data):
    path = os.path.join(root, name)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, 0o644)
    return path
