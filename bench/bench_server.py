#!/usr/bin/env python3
"""Server benchmark: harrier against tftpd-hpa, same machine, same root, same
files, same client (curl), in one run with interleaved rounds; and kestrel,
the desktop program, against harrier in the same run (same store values,
same files, its window open on an Xvfb of its own) in the pinned 1428
download and the 20 clients, so that the window's cost shows as a ratio.

Cases:
  - one client downloading a 64 MiB file at blksize 512, 1428 and 65464, with
    server and client pinned to CPU 0 (a stop-and-wait stream on two cores
    otherwise varies up to 4x with where the scheduler puts the two ends);
  - 20 clients at once fetching the same 8 MiB file at blksize 1428, unpinned;
  - one client uploading 16 MiB at blksize 1428, pinned like the downloads;
  - the server's CPU seconds per GiB moved, over all cases.

Each server runs in a cgroup of its own, so that its CPU time is read from
cpu.stat (usage_usec) before and after every case: tftpd-hpa forks a child
per transfer and ignores SIGCHLD, so the children's time never reaches the
parent's /proc entry. Without a writable cgroup v2 hierarchy the script
says so and reports harrier's CPU from /proc alone.

Needs root (tftpd-hpa chroots and drops to nobody), curl, taskset and
in.tftpd; for kestrel also Xvfb (left out with --no-kestrel or when
build/bin/kestrel is missing). Talks to 127.0.0.1 only; both servers are killed at the end, also
on failure or Ctrl+C.

    python3 bench/bench_server.py [--rounds 5] [--build build]
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench_support import (GIB, HOST, MIB, CpuMeter, free_port, load_average, log,  # noqa: E402
                           port_in_use, rate_cell, stop_process, verdict)

PIN_CPU = 0
CURL_SECONDS = 120  # limit of one curl run

OURS, THEIRS = "harrier", "tftpd-hpa"
DESKTOP = "kestrel"


def children_of(pid):
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        if ppid == pid:
            found.append(int(entry))
    return found


def pin(pid, cpus):
    """Sets the CPUs of every thread of pid; threads and children started
    later inherit them."""
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            os.sched_setaffinity(int(tid), cpus)
        except OSError:
            pass


def free_display():
    for number in range(90, 190):
        if not os.path.exists("/tmp/.X%d-lock" % number) and \
                not os.path.exists("/tmp/.X11-unix/X%d" % number):
            return number
    raise RuntimeError("no free X display number")


def store_text(port, root):
    return ("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel]\r\n"
            '"Port"="%d"\r\n"RootDirectory"="%s/"\r\n"Clients"="32"\r\n' % (port, root))


class Servers:
    def __init__(self, work, root, build, with_kestrel):
        self.root = root
        self.procs = {}
        self.meters = {}
        self.ports = {}
        self.xvfb = None
        harrier = os.path.join(build, "bin", "harrier")
        if not os.access(harrier, os.X_OK):
            sys.exit("no %s: build it first (cmake --build %s --target harrier)" % (harrier, build))

        # harrier as a user would set it up for this load: its root, a high
        # port, room for the 20 concurrent clients; everything else default
        # (MMF 1: plain reads go through a stream, Timeout 1, Retransmit 10).
        port = free_port()
        # Never in the served directory's parent chain: the store has its own.
        os.makedirs(os.path.join(work, "etc"), exist_ok=True)
        store = os.path.join(work, "etc", "hklm.reg")
        with open(store, "w") as f:
            f.write(store_text(port, root))
        env = dict(os.environ, ORVANEL_HKLM=store)
        self.harrier_log = os.path.join(work, "harrier.log")
        out = open(self.harrier_log, "wb")
        self.start(OURS, [harrier, "-debug"], port, stdout=out, env=env)
        out.close()

        kestrel = os.path.join(build, "bin", "kestrel")
        if with_kestrel and os.access(kestrel, os.X_OK) and shutil.which("Xvfb"):
            self.start_kestrel(work, root, kestrel)
        elif with_kestrel:
            log("note: kestrel left out (no %s or no Xvfb)" % kestrel)

        port = free_port()
        self.start(THEIRS, ["in.tftpd", "-L", "-s", "-c", "-u", "nobody",
                            "-a", "%s:%d" % (HOST, port), root], port,
                   stdout=subprocess.DEVNULL, env=None)

    def start_kestrel(self, work, root, kestrel):
        # The same store values but the port; a copy of the program in the
        # work directory, so that its log files go there.
        display = free_display()
        self.xvfb = subprocess.Popen(["Xvfb", ":%d" % display, "-screen", "0", "1280x800x24",
                                      "-nolisten", "tcp"], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists("/tmp/.X11-unix/X%d" % display):
            if self.xvfb.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("Xvfb did not start on :%d" % display)
            time.sleep(0.05)
        program = os.path.join(work, "kestrel-bin")
        os.mkdir(program)
        shutil.copy(kestrel, program)
        port = free_port()
        os.makedirs(os.path.join(work, "etc"), exist_ok=True)
        store = os.path.join(work, "etc", "hklm-kestrel.reg")
        with open(store, "w") as f:
            f.write(store_text(port, root))
        env = dict(os.environ, ORVANEL_HKLM=store, ORVANEL_HKCU=os.path.join(work, "hkcu.reg"),
                   DISPLAY=":%d" % display)
        env.pop("KESTREL_TEST_DRIVER", None)
        self.start(DESKTOP, [os.path.join(program, "kestrel")], port, stdout=subprocess.DEVNULL, env=env)

    def start(self, name, args, port, stdout, env):
        proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=stdout,
                                stderr=subprocess.STDOUT, env=env)
        self.procs[name] = proc
        self.ports[name] = port
        deadline = time.monotonic() + 10
        while not port_in_use(port):
            if proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("%s did not start on port %d" % (name, port))
            time.sleep(0.05)
        self.meters[name] = CpuMeter(name, proc.pid, single_process=name == OURS)

    def pin_all(self, cpus):
        for proc in self.procs.values():
            pin(proc.pid, cpus)

    def stop(self):
        # tftpd-hpa's children that still serve or wait for a transfer are
        # ours: found through the cgroup or as children of our in.tftpd, and
        # ended one by one after their parent.
        leftovers = set(children_of(self.procs[THEIRS].pid)) if THEIRS in self.procs else set()
        for meter in self.meters.values():
            leftovers.update(meter.pids())
        for name, proc in self.procs.items():
            stop_process(proc, signal.SIGINT if name == OURS else signal.SIGTERM)
        for meter in self.meters.values():
            leftovers.update(meter.pids())
        leftovers -= {proc.pid for proc in self.procs.values()}
        for pid in leftovers:
            # A pid seen earlier may have been reused since: it must still
            # run tftpd-hpa on this run's own root.
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    if self.root.encode() not in f.read():
                        continue
                os.kill(pid, signal.SIGKILL)
            except (ProcessLookupError, FileNotFoundError):
                pass
        for meter in self.meters.values():
            meter.remove()
        if self.xvfb and self.xvfb.poll() is None:
            self.xvfb.terminate()
            self.xvfb.wait(5)


# -- clients ---------------------------------------------------------------------
def curl_args(port, name, block_size, upload=None):
    url = "tftp://%s:%d/%s" % (HOST, port, name)
    args = ["curl", "--silent", "--show-error", "--max-time", str(CURL_SECONDS),
            "--tftp-blksize", str(block_size), "-w", "%{size_download} %{size_upload} %{time_total}"]
    return args + (["-T", upload, url] if upload else ["-o", "/dev/null", url])


def run_curl(args, pinned):
    if pinned:
        args = ["taskset", "-c", str(PIN_CPU)] + args
    r = subprocess.run(args, capture_output=True, text=True, timeout=CURL_SECONDS + 10)
    if r.returncode != 0:
        raise RuntimeError("%s: exit %d %s" % (" ".join(args), r.returncode, r.stderr.strip()))
    down, up, seconds = r.stdout.split()
    return int(float(down)), int(float(up)), float(seconds)


class Case:
    def __init__(self, title, noise, pinned, run, desktop=False):
        self.title = title
        self.noise = noise      # relative difference that is noise
        self.pinned = pinned
        self.run = run          # run(server name, port, round) -> (bytes, seconds)
        self.desktop = desktop  # kestrel runs it too
        self.rates = {OURS: [], THEIRS: [], DESKTOP: []}
        self.cpu = {OURS: 0.0, THEIRS: 0.0, DESKTOP: 0.0}
        self.bytes = {OURS: 0, THEIRS: 0, DESKTOP: 0}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--no-kestrel", action="store_true", help="leave the desktop program out")
    parser.add_argument("--kestrel-cases", action="store_true",
                        help="only the cases kestrel runs (the 1428 download and the 20 clients)")
    parser.add_argument("--build", default=os.path.join(os.path.dirname(
        os.path.abspath(__file__)), "..", "build"))
    options = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("run as root: tftpd-hpa chroots and changes user, and cgroups need root")
    for tool in ("curl", "taskset", "in.tftpd"):
        if shutil.which(tool) is None:
            sys.exit("%s is missing (apt-get install curl util-linux tftpd-hpa)" % tool)

    work = tempfile.mkdtemp(prefix="bench-server-")
    os.chmod(work, 0o755)
    root = os.path.join(work, "root")
    os.mkdir(root)
    os.chmod(root, 0o1777)  # tftpd-hpa writes uploads as nobody
    servers = None

    def on_signal(number, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_signal)
    try:
        for name, size in (("big64.bin", 64 * MIB), ("mid8.bin", 8 * MIB)):
            with open(os.path.join(root, name), "wb") as f:
                f.write(os.urandom(size))
            os.chmod(os.path.join(root, name), 0o644)
        upload_file = os.path.join(work, "up16.bin")
        with open(upload_file, "wb") as f:
            f.write(os.urandom(16 * MIB))

        servers = Servers(work, root, options.build, not options.no_kestrel)
        for name, meter in servers.meters.items():
            if meter.note:
                log("note: %s CPU: %s%s" % (name, meter.note,
                    "; using /proc/PID/stat" if name == OURS else "; not measurable"))

        def single(block_size, repeat):
            def run(name, port, round_index):
                moved = seconds = 0
                for _ in range(repeat):
                    down, _, t = run_curl(curl_args(port, "big64.bin", block_size), True)
                    if down != 64 * MIB:
                        raise RuntimeError("%s sent %d bytes of 64 MiB" % (name, down))
                    moved += down
                    seconds += t
                return moved, seconds
            return run

        def concurrent(name, port, round_index):
            started = time.monotonic()
            procs = [subprocess.Popen(curl_args(port, "mid8.bin", 1428), stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True) for _ in range(20)]
            moved = 0
            try:
                for p in procs:
                    out, err = p.communicate(timeout=CURL_SECONDS + 10)
                    if p.returncode != 0 or int(float(out.split()[0])) != 8 * MIB:
                        raise RuntimeError("%s: concurrent fetch failed: %s %s" % (name, out, err))
                    moved += 8 * MIB
            finally:
                for p in procs:
                    if p.poll() is None:
                        p.kill()
                        p.wait()
            return moved, time.monotonic() - started

        def upload(name, port, round_index):
            target = "up-%s-%d.bin" % (name, round_index)
            _, up, seconds = run_curl(curl_args(port, target, 1428, upload_file), True)
            stored = os.path.getsize(os.path.join(root, target))
            os.unlink(os.path.join(root, target))
            if up != 16 * MIB or stored != 16 * MIB:
                raise RuntimeError("%s: upload stored %d of %d bytes" % (name, stored, 16 * MIB))
            return up, seconds

        cases = [
            Case("download 64 MiB, blksize 512", 0.10, True, single(512, 1)),
            Case("download 64 MiB, blksize 1428", 0.10, True, single(1428, 1), desktop=True),
            Case("download 64 MiB x4, blksize 65464", 0.10, True, single(65464, 4)),
            Case("20 clients x 8 MiB, blksize 1428", 0.20, False, concurrent, desktop=True),
            Case("upload 16 MiB, blksize 1428", 0.10, True, upload),
        ]

        if options.kestrel_cases:
            cases = [c for c in cases if c.desktop]

        log("machine: %d CPUs, load average at start %s" % (os.cpu_count(), load_average()))
        all_cpus = os.sched_getaffinity(0)
        for round_index in range(options.rounds):
            order = [OURS, DESKTOP, THEIRS]
            order = order[round_index % 3:] + order[:round_index % 3]
            for case in cases:
                servers.pin_all({PIN_CPU} if case.pinned else all_cpus)
                for name in order:
                    if name not in servers.procs or (name == DESKTOP and not case.desktop):
                        continue
                    meter = servers.meters[name]
                    before = meter.seconds()
                    moved, seconds = case.run(name, servers.ports[name], round_index)
                    after = meter.seconds()
                    case.rates[name].append(moved / seconds / 1e6)
                    case.bytes[name] += moved
                    if before is not None and after is not None:
                        case.cpu[name] += after - before
                    else:
                        case.cpu[name] = None
            log("round %d of %d done" % (round_index + 1, options.rounds))
        log("load average at end %s (other work on the machine makes every number noisier)"
            % load_average())
        report(cases, servers)
    except KeyboardInterrupt:
        log("interrupted")
        return 130
    finally:
        if servers:
            servers.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 0


def report(cases, servers):
    log("")
    log("Throughput in MB/s (10^6 bytes), median of the rounds [min-max]; "
        "ratio = harrier / tftpd-hpa")
    log("%-36s %-22s %-22s %6s  %s" % ("case", OURS, THEIRS, "ratio", "(noise band)"))
    for case in cases:
        cells = []
        for name in (OURS, THEIRS):
            r = case.rates[name]
            cells.append(rate_cell(r))
        ratio = statistics.median(case.rates[OURS]) / statistics.median(case.rates[THEIRS])
        log("%-36s %-22s %-22s %6.2f  %s (+-%d%%)" % (case.title, cells[0], cells[1], ratio,
                                                     verdict(ratio, case.noise),
                                                     round(case.noise * 100)))
    log("")
    log("Server CPU seconds per GiB moved (lower is better; ratio target <= 0.8)")
    names = (OURS, THEIRS)
    rows = [(c.title, c.cpu, c.bytes) for c in cases]
    rows.append(("all cases",
                 {n: None if any(c.cpu[n] is None for c in cases) else sum(c.cpu[n] for c in cases)
                  for n in names},
                 {n: sum(c.bytes[n] for c in cases) for n in names}))
    for title, cpu, moved in rows:
        per_gib = {n: None if cpu[n] is None else cpu[n] / (moved[n] / GIB) for n in names}
        cells = ["n/a" if per_gib[n] is None else "%.3f" % per_gib[n] for n in names]
        ratio = ("n/a" if None in per_gib.values() or not per_gib[THEIRS]
                 else "%.2f" % (per_gib[OURS] / per_gib[THEIRS]))
        log("%-36s %-22s %-22s %6s" % (title, cells[0], cells[1], ratio))
    log("")
    log("Targets: every throughput ratio >= 1.0; 20-client ratio >= 1.2; CPU ratio <= 0.8.")
    if DESKTOP not in servers.procs:
        return
    log("")
    log("kestrel (window open) against harrier, same run: MB/s median [min-max]; "
        "ratio = kestrel / harrier, target >= 0.95")
    log("%-36s %-22s %-22s %6s  %s" % ("case", DESKTOP, OURS, "ratio", "(noise band)"))
    for case in cases:
        if not case.desktop:
            continue
        cells = [rate_cell(case.rates[n]) for n in (DESKTOP, OURS)]
        ratio = statistics.median(case.rates[DESKTOP]) / statistics.median(case.rates[OURS])
        log("%-36s %-22s %-22s %6.2f  %s (+-%d%%)" % (case.title, cells[0], cells[1], ratio,
                                                     verdict(ratio, case.noise),
                                                     round(case.noise * 100)))
        # Per round, in the order run: a slow moment of the machine shows in
        # both columns of its round.
        log("%-36s %s" % ("  by round (kestrel/harrier)", "  ".join(
            "%.0f/%.0f" % pair for pair in zip(case.rates[DESKTOP], case.rates[OURS]))))
    log("")
    log("CPU seconds per GiB moved (window included for kestrel)")
    for case in cases:
        if not case.desktop:
            continue
        per_gib = [None if case.cpu[n] is None or not case.bytes[n] else case.cpu[n] / (case.bytes[n] / GIB)
                   for n in (DESKTOP, OURS)]
        cells = ["n/a" if v is None else "%.3f" % v for v in per_gib]
        ratio = "n/a" if None in per_gib or not per_gib[1] else "%.2f" % (per_gib[0] / per_gib[1])
        log("%-36s %-22s %-22s %6s" % (case.title, cells[0], cells[1], ratio))


if __name__ == "__main__":
    sys.exit(main())
