#!/usr/bin/env python3
"""Ten pelican clients fetch one file from harrier at once, by multicast and
by unicast, in one run; prints the wall time of each and the bytes the
server sent.

    bench/bench_multicast.py [--build DIR] [--clients N] [--size MiB] [--block N]

The server runs in a network namespace of its own, joined by a bridge to a
second namespace that holds all clients (their group sockets share the port
by address reuse); the server's bytes sent are the transmit counter of its
bridge, so they hold DATA, OACKs and nothing of the clients. Needs root for
the namespaces, which are removed at the end."""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))


def tx_bytes(ns, device):
    out = subprocess.run(["ip", "-n", ns.name, "-s", "-j", "link", "show", device], capture_output=True,
                         text=True, check=True).stdout
    return json.loads(out)[0]["stats64"]["tx"]["bytes"]


def run_round(net, server, harrier_port, pelican, clients, options, content, work):
    """Starts every client at once; returns (seconds, bytes the server sent)."""
    before = tx_bytes(net.server, "br0")
    started = time.monotonic()
    runs = []
    for i in range(clients):
        local = os.path.join(work, "got-%d" % i)
        if os.path.exists(local):
            os.unlink(local)
        argv = [pelican] + options + ["%s:%d" % (net.server_address, harrier_port), "GET", "bench.bin", local]
        runs.append((local, net.clients[0].popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                                  text=True)))
    for local, p in runs:
        said = p.communicate(timeout=600)[0]
        if p.returncode != 0:
            sys.exit("pelican-tftp failed (%d): %s" % (p.returncode, said.strip()))
    elapsed = time.monotonic() - started
    for local, _ in runs:
        with open(local, "rb") as f:
            if f.read() != content:
                sys.exit("%s differs from the served file" % local)
    return elapsed, tx_bytes(net.server, "br0") - before


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--clients", type=int, default=10)
    parser.add_argument("--size", type=int, default=16, help="MiB")
    parser.add_argument("--block", type=int, default=1428)
    args = parser.parse_args()
    os.environ["ORVANEL_BUILD_DIR"] = os.path.abspath(args.build)
    import harrier  # noqa: E402  (reads ORVANEL_BUILD_DIR)
    import netns  # noqa: E402

    pelican = os.path.abspath(os.path.join(args.build, "bin", "pelican-tftp"))
    content = os.urandom(args.size << 20)
    options = ["-b%d" % (args.block + 4)]
    with netns.BridgedNetwork(1, stem="orbench") as net, tempfile.TemporaryDirectory() as work:
        server = harrier.Server(settings={"Log": int(os.environ.get("BENCH_LOG", "1")), "Clients": args.clients + 5},
                                wrapper=net.server.exec_prefix())
        try:
            server.put_file("bench.bin", content)
            rows = []
            for label, extra in (("multicast", ["-m"]), ("unicast", [])):
                seconds, sent = run_round(net, server, server.port, pelican, args.clients, extra + options,
                                          content, work)
                rows.append((label, seconds, sent))
        finally:
            server.stop()
            if os.environ.get("BENCH_LOG"):
                print(server.output())
            server.close()
    size = len(content)
    print("%d clients, %d MiB file, block %d" % (args.clients, args.size, args.block))
    print("%-10s %10s %16s %12s" % ("", "wall s", "server bytes", "x file"))
    for label, seconds, sent in rows:
        print("%-10s %10.2f %16d %12.2f" % (label, seconds, sent, sent / size))
    (_, m_seconds, m_sent), (_, u_seconds, _) = rows
    verdict = m_sent <= 1.5 * size and m_seconds <= u_seconds
    print("target (multicast at most 1.5x the file and no slower than unicast): %s"
          % ("met" if verdict else "NOT met"))
    return 0 if verdict else 1


if __name__ == "__main__":
    sys.exit(main())
