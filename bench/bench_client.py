#!/usr/bin/env python3
"""Download speed of the pelican client against curl, from tftpd-hpa on
127.0.0.1, at block sizes 1428 and 65464.

    bench/bench_client.py [--build DIR] [--rounds N] [--size MiB]

Server and clients run pinned to CPU 0 (taskset -c 0) so that the numbers
do not depend on where the scheduler puts them; the runs of both clients are
interleaved, and the table shows the median of each."""

import argparse
import hashlib
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BLOCK_SIZES = [1428, 65464]


# Starting and probing servers is shared with the client's tests.
sys.path.insert(0, os.path.join(HERE, "..", "tests", "client"))
from pelican_support import free_udp_port, wait_bound  # noqa: E402


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def timed(argv, output, expected_size):
    if os.path.exists(output):
        os.unlink(output)
    started = time.monotonic()
    done = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=600)
    elapsed = time.monotonic() - started
    if done.returncode != 0 or os.path.getsize(output) != expected_size:
        sys.exit("%s failed (%d): %s" % (argv[2], done.returncode, done.stderr.decode().strip()))
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"),
                        help="build tree holding bin/pelican-tftp (default: ../build)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--size", type=int, default=64, help="file size in MiB (default 64)")
    args = parser.parse_args()

    pelican = os.path.abspath(os.path.join(args.build, "bin", "pelican-tftp"))
    for tool in (pelican, shutil.which("curl"), shutil.which("in.tftpd") or "/usr/sbin/in.tftpd",
                 shutil.which("taskset")):
        if not tool or not os.path.exists(tool):
            sys.exit("missing: %s (pelican is built, curl, tftpd-hpa, util-linux installed?)" % tool)

    work = tempfile.mkdtemp(prefix="bench_client_")
    root = os.path.join(work, "root")
    os.mkdir(root)
    os.chmod(work, 0o755)
    os.chmod(root, 0o755)
    size = args.size << 20
    source = os.path.join(root, "big.bin")
    with open(source, "wb") as f:
        for _ in range(args.size):
            f.write(os.urandom(1 << 20))
    os.chmod(source, 0o644)
    expected = digest(source)

    port = free_udp_port()
    user = "nobody" if os.geteuid() == 0 else os.environ.get("USER", "nobody")
    server = subprocess.Popen(["taskset", "-c", "0", shutil.which("in.tftpd") or "/usr/sbin/in.tftpd",
                               "-L", "-s", "-u", user, "-a", "127.0.0.1:%d" % port, root],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True)
    results = {(tool, b): [] for tool in ("pelican", "curl") for b in BLOCK_SIZES}
    try:
        wait_bound(port, server)
        output = os.path.join(work, "out.bin")
        for round_number in range(args.rounds):
            for block in BLOCK_SIZES:
                # -b takes the packet size: block size plus the 4-byte header.
                runs = {
                    "pelican": ["taskset", "-c", "0", pelican, "-o", "-b%d" % (block + 4),
                                "127.0.0.1:%d" % port, "GET", "big.bin", output],
                    "curl": ["taskset", "-c", "0", "curl", "-s", "-o", output, "--tftp-blksize",
                             str(block), "tftp://127.0.0.1:%d/big.bin" % port],
                }
                order = ["pelican", "curl"] if round_number % 2 == 0 else ["curl", "pelican"]
                for tool in order:
                    results[(tool, block)].append(timed(runs[tool], output, size))
                    if round_number == 0 and digest(output) != expected:
                        sys.exit("%s at block size %d: content differs" % (tool, block))
    finally:
        os.killpg(server.pid, signal.SIGTERM)
        server.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)

    print("%d MiB from tftpd-hpa on 127.0.0.1, %d rounds, median, all pinned to CPU 0"
          % (args.size, args.rounds))
    print("%-10s %14s %14s %16s" % ("blksize", "pelican MB/s", "curl MB/s", "pelican/curl"))
    for block in BLOCK_SIZES:
        p = size / statistics.median(results[("pelican", block)]) / 1e6
        c = size / statistics.median(results[("curl", block)]) / 1e6
        print("%-10d %14.1f %14.1f %16.2f" % (block, p, c, p / c))


if __name__ == "__main__":
    main()
