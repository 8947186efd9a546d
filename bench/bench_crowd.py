#!/usr/bin/env python3
"""Boot storm: N clients at once fetch the same 256 KiB file at blksize 1428,
each acknowledging every block 20 ms after it arrives, every byte checked
(crowd_client). harrier against dnsmasq, tftpd-hpa and atftpd in one run,
the servers taking turns in every round, all on 127.0.0.1.

    cmake --build build --target harrier crowd_client
    sudo python3 bench/bench_crowd.py                 # N = 1000, 2000, 4000, one round
    sudo python3 bench/bench_crowd.py -n 1000 --rounds 3

Per server and N: the last completion of those that completed and the median
completion of all N, a failed read counting as never done (seconds from the
first request), how many of N completed, the server's CPU seconds and its peak
memory, both from a cgroup of its own (v2, or v1's cpuacct and memory where
the machine has those), so that tftpd-hpa's child per transfer is counted;
and the peak resident memory of the server process itself (VmHWM).
The memory is what the cgroup was charged at its peak: resident pages and
the kernel's socket buffers and page cache charged to it. Needs root (cgroups,
port 69 for dnsmasq, the servers change user), dnsmasq (dnsmasq-base),
in.tftpd and atftpd as scripts/install-deps.sh installs them."""
import argparse
import os
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
from bench_support import HOST, GroupMeter, free_port, load_average, log, port_in_use, stop_process  # noqa: E402
from peers import atftpd_path  # noqa: E402

SIZE = 256 * 1024
NAME = "crowd.bin"
ACK_DELAY_MS = 20
RUN_SECONDS = 120
SERVERS = ("harrier", "dnsmasq", "tftpd-hpa", "atftpd")


def crowd_bytes(size):
    """The file crowd_client checks against (crowd_byte there)."""
    return bytes((((i ^ (i >> 8) ^ (i >> 16)) * 131) & 0xFF) for i in range(size))


def raise_file_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = min(hard, 65536)
    if soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))


def command(name, build, work, root, count):
    """The server's command line, its port and its environment."""
    if name == "harrier":
        port = free_port()
        store = os.path.join(work, "etc", "hklm.reg")
        with open(store, "w") as f:
            f.write("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel]\r\n"
                    '"Port"="%d"\r\n"RootDirectory"="%s/"\r\n"Clients"="4096"\r\n' % (port, root))
        return [os.path.join(build, "bin", "harrier"), "-debug"], port, dict(os.environ, ORVANEL_HKLM=store)
    if name == "dnsmasq":
        # Its TFTP port is 69, always.
        return ["dnsmasq", "--keep-in-foreground", "--port=0", "--conf-file=/dev/null", "--pid-file=",
                "--bind-interfaces", "--listen-address=%s" % HOST, "--enable-tftp", "--tftp-root=%s" % root,
                "--tftp-max=%d" % (count + 16), "--user=nobody", "--quiet-tftp", "--log-facility=/dev/null"], 69, None
    if name == "tftpd-hpa":
        port = free_port()
        return ["in.tftpd", "-L", "-s", "-u", "nobody", "-a", "%s:%d" % (HOST, port), root], port, None
    port = free_port()
    return [atftpd_path(), "--daemon", "--no-fork", "--port", str(port), "--bind-address", HOST,
            "--maxthread", str(count + 16), "--logfile", "/dev/null", "--user", "nobody.nogroup", root], port, None


def peak_rss(pid):
    """The server process's own peak resident memory (VmHWM), in bytes: its
    children (tftpd-hpa's) are not in it."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def run_one(name, build, work, root, count):
    """One server, one storm: a result dict."""
    argv, port, env = command(name, build, work, root, count)
    if port_in_use(port):
        return {"note": "port %d taken" % port}
    out = open(os.path.join(work, "%s.log" % name), "ab")
    proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env,
                            preexec_fn=raise_file_limit)
    out.close()
    meter = GroupMeter(name, proc.pid)
    try:
        deadline = time.monotonic() + 10
        while not port_in_use(port) and time.monotonic() < deadline and proc.poll() is None:
            time.sleep(0.05)
        if proc.poll() is not None or not port_in_use(port):
            return {"note": "did not start"}
        cpu_before = meter.seconds() or 0.0
        children = resource.getrusage(resource.RUSAGE_CHILDREN)
        client = subprocess.run([os.path.join(build, "bin", "crowd_client"), HOST, str(port), NAME, str(SIZE),
                                 str(count), str(ACK_DELAY_MS), str(RUN_SECONDS)],
                                capture_output=True, text=True, timeout=RUN_SECONDS + 30, preexec_fn=raise_file_limit)
        fields = dict(part.split("=") for part in client.stdout.split())
        crashed = proc.poll() is not None
        rss = None if crashed else peak_rss(proc.pid)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        client_cpu = (after.ru_utime + after.ru_stime) - (children.ru_utime + children.ru_stime)
        cpu = (meter.seconds() or 0.0) - cpu_before
        return {"done": int(fields["done"]), "errors": int(fields["byte_errors"]), "last": float(fields["last"]),
                "median": float(fields["median"]), "cpu": cpu, "peak": meter.peak_bytes(), "rss": rss,
                "client_cpu": round(client_cpu, 2),
                "note": ("crashed (exit %s)" % proc.returncode) if crashed else meter.note}
    finally:
        stop_process(proc, signal.SIGTERM)
        meter.remove()


def cell(values, form):
    values = [v for v in values if v is not None]
    if not values:
        return "-"
    middle = statistics.median(values)
    return (form % middle) + ("" if len(values) == 1 else (" [" + form + "-" + form + "]") % (min(values), max(values)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", type=int, action="append", help="clients at once (repeatable); 1000, 2000, 4000")
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--servers", default=",".join(SERVERS))
    args = parser.parse_args()
    counts = args.n or [1000, 2000, 4000]
    names = [s for s in args.servers.split(",") if s in SERVERS]
    if os.geteuid() != 0:
        sys.exit("run as root: cgroups, port 69 and the servers' change of user need it")
    build = os.path.abspath(args.build)
    for tool, path in (("crowd_client", os.path.join(build, "bin", "crowd_client")),
                       ("harrier", os.path.join(build, "bin", "harrier"))):
        if not os.access(path, os.X_OK):
            sys.exit("no %s: cmake --build %s --target %s" % (path, args.build, tool))
    for tool in ("dnsmasq", "in.tftpd"):
        if tool.split("-")[0] in names or (tool == "in.tftpd" and "tftpd-hpa" in names):
            if not shutil.which(tool):
                sys.exit("no %s: scripts/install-deps.sh installs it" % tool)
    raise_file_limit()
    work = tempfile.mkdtemp(prefix="bench-crowd-")
    os.chmod(work, 0o755)
    root = os.path.join(work, "root")
    os.makedirs(root)
    os.makedirs(os.path.join(work, "etc"))
    with open(os.path.join(root, NAME), "wb") as f:
        f.write(crowd_bytes(SIZE))
    os.chmod(root, 0o755)
    os.chmod(os.path.join(root, NAME), 0o644)
    log("crowd: %d KiB at blksize 1428, ACK %d ms after each block; load average %s"
        % (SIZE // 1024, ACK_DELAY_MS, load_average()))
    results = {}
    try:
        for count in counts:
            for r in range(args.rounds):
                # Each round in another order, so that no server always runs first.
                order = names[r % len(names):] + names[:r % len(names)]
                for name in order:
                    result = run_one(name, build, work, root, count)
                    results.setdefault((count, name), []).append(result)
                    log("  N=%d round %d %-9s %s" % (count, r + 1, name, result))
                    time.sleep(1)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    log("load average at the end %s" % load_average())
    log("")
    log("%-6s %-10s %-22s %-22s %-10s %-16s %-14s %-14s" % ("N", "server", "last done s", "median done s", "done",
                                                            "CPU s", "peak MB", "peak RSS MB"))
    for count in counts:
        for name in names:
            rs = results.get((count, name), [])
            ok = [x for x in rs if "done" in x]
            log("%-6d %-10s %-22s %-22s %-10s %-16s %-14s %-14s %s" % (
                count, name, cell([x["last"] for x in ok], "%.1f"), cell([x["median"] for x in ok], "%.1f"),
                "/".join(str(x["done"]) for x in ok) or "-", cell([x["cpu"] for x in ok], "%.1f"),
                cell([x["peak"] / 1e6 if x.get("peak") else None for x in ok], "%.0f"),
                cell([x["rss"] / 1e6 if x.get("rss") else None for x in ok], "%.1f"),
                "; ".join(sorted({x.get("note") or "" for x in rs} - {""}))))
        ours = [x for x in results.get((count, "harrier"), []) if "done" in x]
        peer = [x for x in results.get((count, "dnsmasq"), []) if "done" in x]
        if ours and peer:
            def ratio(key):
                a = statistics.median([x[key] or 0 for x in ours])
                b = statistics.median([x[key] or 0 for x in peer])
                return "%.2f" % (a / b) if b else "-"
            log("%-6d harrier/dnsmasq: last %s, median %s, CPU %s, peak memory %s, peak RSS %s "
                "(targets: <= 1, <= 1, <= 1, <= 4)" % (count, ratio("last"), ratio("median"), ratio("cpu"),
                                                       ratio("peak"), ratio("rss")))


if __name__ == "__main__":
    main()
