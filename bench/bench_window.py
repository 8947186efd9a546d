#!/usr/bin/env python3
"""Windowed reads (RFC 7440 windowsize): harrier against atftpd in one run,
the same client, file, block size and window for both, rounds interleaved.

Cases:
  - 64 MiB over loopback at blksize 1428 and 8192 with windows 1, 8, 32 and
    64, fetched by pelican and by the atftp client; atftp only where it
    copes (1428 up to window 64, 8192 up to window 8: beyond, one drop costs
    it minutes);
  - the round trip case: server and client in network namespaces of their
    own, joined by a veth whose client end delays by 2 ms (netem, no loss),
    windows 1 and 32 (window 1 moves a smaller file: rates compare as MB/s);
  - the ceiling: a plain UDP blast (build/bin/udp_blast) of as many 1428-
    and 8192-byte blocks as the 64 MiB file holds, sendmmsg to recvmmsg over
    loopback, no protocol at all.

Socket buffers: harrier sizes its send buffer and pelican its receive
buffer for the window (past net.core.*mem_max, as root); atftpd and the
atftp client have no such setting and keep the system's defaults.

Each server runs in a cgroup of its own; its CPU seconds are read from
cpu.stat before and after every transfer and reported per GiB moved.

Needs root (namespaces, netem, cgroups, atftpd drops to nobody), atftp, tc,
ip, and atftpd as scripts/install-deps.sh unpacks it. Traffic stays on
127.0.0.1 and in the namespaces made here; every client run has a time
limit; servers and namespaces are removed at the end, also on failure or
Ctrl+C.

    python3 bench/bench_window.py [--rounds 3] [--build build] [--no-netem]

With --families it measures harrier alone, over IPv6 against IPv4: pelican
fetches the 64 MiB file from the same harrier over ::1 and over 127.0.0.1 at
blksize 1428 and 8192, windows 1 and 32, the order of the two families
alternating round by round, and prints the ratio IPv6 / IPv4 of the rates
(target: at least 0.95). Needs neither root nor atftp.
"""
import argparse
import os
import select
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
from bench_support import (GIB, HOST, MIB, CpuMeter, free_port, load_average, log,  # noqa: E402
                           port_in_use, rate_cell, stop_process)
from peers import atftpd_path  # noqa: E402

OURS, THEIRS = "harrier", "atftpd"
PELICAN, ATFTP = "pelican", "atftp"
CLIENT_SECONDS = 120     # limit of one client run
NETEM_DELAY = "2ms"
LOOP_SIZE = 64 * MIB


# -- servers -------------------------------------------------------------------
class Servers:
    """harrier and atftpd serving the same root on one host: 127.0.0.1, or
    the server address of a namespace pair (namespace is its Namespace)."""

    def __init__(self, work, root, build, label, host=HOST, namespace=None, rival=True):
        self.host = host
        self.namespace = namespace
        self.procs = {}
        self.meters = {}
        self.ports = {}
        self.hosts = {}   # a name's own host, where it is not self.host
        prefix = namespace.exec_prefix() if namespace else []
        try:
            # harrier as set up for this load: its root and a high port, every
            # other setting the default (WindowsizeMax 64, Timeout 1, MMF 1).
            port = self.port_for()
            # Beside the root, never above it: the server refuses to serve
            # its store's directory.
            os.makedirs(os.path.join(work, "etc"), exist_ok=True)
            store = os.path.join(work, "etc", "hklm-%s.reg" % label)
            with open(store, "w") as f:
                f.write("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel]\r\n"
                        '"Port"="%d"\r\n"RootDirectory"="%s/"\r\n' % (port, root))
            env = dict(os.environ, ORVANEL_HKLM=store)
            self.start(OURS, prefix + [os.path.join(build, "bin", "harrier"), "-debug"], port, env,
                       os.path.join(work, "harrier-%s.log" % label))
            if not rival:
                return
            port = self.port_for()
            self.start(THEIRS, prefix + [atftpd_path(), "--daemon", "--no-fork", "--port", str(port),
                                         "--bind-address", host, "--logfile", "/dev/null", root],
                       port, None, os.path.join(work, "atftpd-%s.log" % label))
        except BaseException:
            self.stop()
            raise

    def port_for(self):
        # A namespace of our own has every port free; loopback needs a look.
        return 6900 + len(self.procs) if self.namespace else free_port()

    def listening(self, port):
        if self.namespace is None:
            return port_in_use(port)
        with self.namespace.entered():
            return port_in_use(port, self.host)

    def start(self, name, args, port, env, output):
        out = open(output, "wb")
        proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                env=env)
        out.close()
        self.procs[name] = proc
        self.ports[name] = port
        deadline = time.monotonic() + 10
        while not self.listening(port):
            if proc.poll() is not None or time.monotonic() > deadline:
                with open(output, "rb") as f:
                    said = f.read().decode("latin-1")[-2000:]
                raise RuntimeError("%s did not start on port %d: %s" % (name, port, said))
            time.sleep(0.05)
        self.meters[name] = CpuMeter("%s-%d" % (name, port), proc.pid, single_process=True)

    def alias(self, name, host):
        """name becomes harrier reached at host: the same process, port and meter."""
        self.ports[name] = self.ports[OURS]
        self.meters[name] = self.meters[OURS]
        self.hosts[name] = host

    def stop(self):
        for name, proc in self.procs.items():
            stop_process(proc, signal.SIGINT if name == OURS else signal.SIGTERM)
        for meter in {id(m): m for m in self.meters.values()}.values():
            meter.remove()


class NetemLink:
    """A server namespace and a client namespace joined by a veth whose
    client end delays every packet by NETEM_DELAY: the client's requests and
    ACKs arrive that much later, so one round trip costs it."""

    how = "netem delay %s on the client's veth" % NETEM_DELAY

    def __init__(self, net):
        self.net = net
        self.server = net.server
        self.client = net.clients[0]
        self.server_address = net.server_address

    def remove(self):
        self.net.remove()


def netem_link():
    """The NetemLink, or None when the kernel has no netem."""
    import netns  # noqa: E402  (raises unittest.SkipTest without namespaces)
    net = netns.BridgedNetwork(1, stem="orwin")
    try:
        r = net.clients[0].run(["tc", "qdisc", "add", "dev", "eth0", "root", "netem", "delay", NETEM_DELAY],
                               capture_output=True, text=True, timeout=10)
    except BaseException:
        net.remove()
        raise
    if r.returncode == 0:
        return NetemLink(net)
    net.remove()
    if "unknown" not in r.stderr:
        raise RuntimeError("tc netem: %s" % r.stderr.strip())
    return None


class DelayedLink:
    """The same link where the kernel is built without netem: two namespaces
    joined by build/bin/delay_line, which holds every packet from the client
    NETEM_DELAY before it hands it on and passes the server's at once."""

    how = "delay_line (no netem in this kernel): %s on the client's packets" % NETEM_DELAY

    def __init__(self, build, work, seconds):
        import netns  # noqa: E402
        subnet = 64 + os.getpid() % 128
        self.server_address = "10.%d.0.1" % subnet
        client_address = "10.%d.0.2" % subnet
        self.server = netns.Namespace("orws", multicast_route=False)
        self.client = None
        self.relay = None
        try:
            self.client = netns.Namespace("orwc", multicast_route=False)
            microseconds = int(float(NETEM_DELAY.rstrip("ms")) * 1000)
            self.relay = subprocess.Popen(
                [os.path.join(build, "bin", "delay_line"), self.client.name, "tunc", self.server.name, "tuns",
                 str(microseconds), "0", str(seconds)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                stderr=open(os.path.join(work, "delay_line.log"), "wb"), text=True)
            ready, _, _ = select.select([self.relay.stdout], [], [], 10)
            if not ready or self.relay.stdout.readline().strip() != "ready":
                raise RuntimeError("delay_line did not start (see its log)")
            for ns, device, own, peer in ((self.server, "tuns", self.server_address, client_address),
                                          (self.client, "tunc", client_address, self.server_address)):
                for args in (["addr", "add", own, "peer", peer, "dev", device], ["link", "set", device, "up"]):
                    subprocess.run(["ip", "-n", ns.name] + args, check=True, capture_output=True, timeout=10)
        except BaseException:
            self.remove()
            raise

    def remove(self):
        if self.relay:
            stop_process(self.relay, signal.SIGTERM)
            self.relay = None
        for ns in (self.client, self.server):
            if ns:
                ns.remove()
        self.client = self.server = None


def delay_link(build, work, seconds):
    return netem_link() or DelayedLink(build, work, seconds)


# -- clients ---------------------------------------------------------------------
def client_args(build, client, host, port, name, local, block_size, window):
    if client == PELICAN:
        # An IPv6 address takes brackets before its port.
        server = ("[%s]:%d" if ":" in host else "%s:%d") % (host, port)
        return [os.path.join(build, "bin", "pelican-tftp"), "-b%d" % (block_size + 4), "-w%d" % window,
                server, "GET", name, local]
    return ["atftp", "--option", "blksize %d" % block_size, "--option", "windowsize %d" % window,
            "-g", "-r", name, "-l", local, host, str(port)]


def fetch(place, client, host, port, meter, name, served, block_size, window):
    """One download; returns (bytes, seconds, cpu seconds of the server) or
    raises RuntimeError when it fails or the file differs."""
    local = place.local
    if os.path.exists(local):
        os.unlink(local)
    args = place.wrapper + client_args(place.build, client, host, port, name, local, block_size, window)
    before = meter.seconds()
    started = time.monotonic()
    try:
        r = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                           timeout=CLIENT_SECONDS)
    except subprocess.TimeoutExpired:
        raise RuntimeError("no end within %d s" % CLIENT_SECONDS)
    seconds = time.monotonic() - started
    after = meter.seconds()
    if r.returncode != 0:
        raise RuntimeError("exit %d: %s" % (r.returncode, (r.stdout + r.stderr).strip()[-300:]))
    with open(local, "rb") as f:
        got = f.read()
    os.unlink(local)
    if got != served:
        raise RuntimeError("received %d bytes that differ from the %d served" % (len(got), len(served)))
    cpu = None if before is None or after is None else after - before
    return len(got), seconds, cpu


class Case:
    def __init__(self, title, group, client, block_size, window, name, sides=(OURS, THEIRS)):
        self.title = title
        self.group = group        # "loopback", "netem" or "family"
        self.client = client
        self.block_size = block_size
        self.window = window
        self.name = name          # the served file
        self.rates = {n: [] for n in sides}
        self.cpu = {n: 0.0 for n in sides}
        self.bytes = {n: 0 for n in sides}
        self.failures = {n: [] for n in sides}

    def run(self, server_name, servers, place):
        try:
            moved, seconds, cpu = fetch(place, self.client, servers.hosts.get(server_name, servers.host),
                                        servers.ports[server_name],
                                        servers.meters[server_name], self.name, place.contents[self.name],
                                        self.block_size, self.window)
        except RuntimeError as e:
            self.failures[server_name].append(str(e))
            log("  %s, %s: %s" % (self.title, server_name, e))
            return
        self.rates[server_name].append(moved / seconds / 1e6)
        self.bytes[server_name] += moved
        if cpu is None or self.cpu[server_name] is None:
            self.cpu[server_name] = None
        else:
            self.cpu[server_name] += cpu


def loopback_cases():
    cases = []
    for block_size, atftp_windows in ((1428, (1, 8, 32, 64)), (8192, (1, 8))):
        for client in (PELICAN, ATFTP):
            for window in (1, 8, 32, 64):
                if client == ATFTP and window not in atftp_windows:
                    continue
                cases.append(Case("%s blk %d w%d" % (client, block_size, window), "loopback", client,
                                  block_size, window, "big.bin"))
    return cases


def netem_cases(small_mib):
    cases = []
    for client in (PELICAN, ATFTP):
        for window, name, mib in ((1, "small.bin", small_mib), (32, "big.bin", LOOP_SIZE // MIB)):
            cases.append(Case("%s blk 1428 w%d %d MiB" % (client, window, mib), "netem", client, 1428,
                              window, name))
    return cases


class Place:
    """Where a client runs: the command prefix that puts it there, the file
    it writes, the build and the served contents by name."""

    def __init__(self, build, wrapper, local, contents):
        self.build = build
        self.wrapper = wrapper
        self.local = local
        self.contents = contents


# -- the ceiling ------------------------------------------------------------------
BLASTS = ("plain", "segmented")
BLASTS_PER_ROUND = 3  # each is over in well under a second


def blast(build, block_size, mode):
    """MB/s of block bytes (headers not counted, as for the transfers) and
    the share of datagrams that arrived."""
    count = -(-LOOP_SIZE // block_size)
    program = os.path.join(build, "bin", "udp_blast")
    r = subprocess.run([program, str(count), str(block_size + 4), mode], capture_output=True, text=True,
                       timeout=CLIENT_SECONDS)
    if r.returncode != 0:
        raise RuntimeError("udp_blast: exit %d %s" % (r.returncode, r.stderr.strip()))
    words = r.stdout.split()
    sent, received, seconds = int(words[1]), int(words[3]), float(words[5])
    return received * block_size / seconds / 1e6, received / sent


# -- IPv6 against IPv4 ----------------------------------------------------------------
FAMILIES = (("IPv4", HOST), ("IPv6", "::1"))
FAMILY_TARGET = 0.95  # IPv6 MB/s over IPv4 MB/s, every case


def compare_families(options, build):
    """harrier alone, one process: pelican fetches the 64 MiB file over ::1 and
    over 127.0.0.1, the order of the two families alternating round by round."""
    work = tempfile.mkdtemp(prefix="bench-family-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    os.chmod(work, 0o755)
    root = os.path.join(work, "root")
    os.mkdir(root)
    os.chmod(root, 0o755)
    servers = None
    try:
        contents = {"big.bin": os.urandom(LOOP_SIZE)}
        with open(os.path.join(root, "big.bin"), "wb") as f:
            f.write(contents["big.bin"])
        os.chmod(os.path.join(root, "big.bin"), 0o644)
        servers = Servers(work, root, build, "family", rival=False)
        for name, host in FAMILIES:
            servers.alias(name, host)
        place = Place(build, [], os.path.join(work, "got.bin"), contents)
        names = [name for name, _ in FAMILIES]
        cases = [Case("blk %d w%d" % (b, w), "family", PELICAN, b, w, "big.bin", names)
                 for b in (1428, 8192) for w in (1, 32) if options.only in "blk %d w%d" % (b, w)]
        if servers.meters[OURS].note:
            log("note: harrier CPU: %s; using /proc/PID/stat" % servers.meters[OURS].note)
        log("machine: %d CPUs, load average at start %s" % (os.cpu_count(), load_average()))
        for round_index in range(options.rounds):
            order = names if round_index % 2 == 0 else names[::-1]
            started = time.monotonic()
            for case in cases:
                for name in order:
                    case.run(name, servers, place)
            log("round %d of %d done in %.0f s" % (round_index + 1, options.rounds, time.monotonic() - started))
        log("load average at end %s" % load_average())
        return family_report(cases, names)
    except KeyboardInterrupt:
        log("interrupted")
        return 130
    finally:
        if servers:
            servers.stop()
        shutil.rmtree(work, ignore_errors=True)


def family_report(cases, names):
    """Prints the table and the target; 0 when every case met it, else 1."""
    log("")
    log("harrier, pelican, 64 MiB over loopback; seconds and MB/s (10^6 bytes): median of the rounds [min-max];")
    log("CPU = harrier CPU seconds per GiB moved")
    log("%-14s %-9s %-20s %-9s %-20s %8s   %-9s %-9s" % ("case", "s " + names[0], "MB/s " + names[0],
                                                          "s " + names[1], "MB/s " + names[1], "v6/v4",
                                                          "CPU " + names[0], "CPU " + names[1]))
    ratios = []
    for case in cases:
        cells = []
        for n in names:
            rates = case.rates[n]
            cells.append("%.3f" % (LOOP_SIZE / 1e6 / median(rates)) if rates else "-")
            cells.append(rate_cell(rates) if rates else "failed")
        ratio = (median(case.rates[names[1]]) / median(case.rates[names[0]])
                 if case.rates[names[0]] and case.rates[names[1]] else None)
        ratios.append((case.title, ratio))
        cpu = ["n/a" if per_gib(case, n) is None else "%.3f" % per_gib(case, n) for n in names]
        log("%-14s %-9s %-20s %-9s %-20s %8s   %-9s %-9s%s" % (
            case.title, cells[0], cells[1], cells[2], cells[3], "n/a" if ratio is None else "%.3f" % ratio,
            cpu[0], cpu[1],
            "".join("  (%s failed %d of %d)" % (n, len(case.failures[n]), len(case.failures[n]) + len(case.rates[n]))
                    for n in names if case.failures[n])))
    log("")
    log("Target: IPv6 throughput at least %.2f of IPv4 in every case" % FAMILY_TARGET)
    met = True
    for title, ratio in ratios:
        ok = ratio is not None and ratio >= FAMILY_TARGET
        met = met and ok
        log("  %-14s %s %s" % (title, "n/a" if ratio is None else "%.3f" % ratio, "met" if ok else "NOT met"))
    return 0 if met else 1


# -- the run -----------------------------------------------------------------------
def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--no-netem", action="store_true", help="leave the 2 ms link out")
    parser.add_argument("--netem-small", type=int, default=8, help="MiB moved with window 1 on the 2 ms link")
    parser.add_argument("--only", default="", help="run only the cases whose title holds this text")
    parser.add_argument("--families", action="store_true",
                        help="harrier alone over ::1 against 127.0.0.1 (blksize 1428 and 8192, windows 1 and 32)")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    def on_signal(number, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_signal)
    if options.families:
        for program in ("harrier", "pelican-tftp"):
            if not os.access(os.path.join(build, "bin", program), os.X_OK):
                sys.exit("no %s/bin/%s: build it first (scripts/build.sh build)" % (build, program))
        return compare_families(options, build)
    if os.geteuid() != 0:
        sys.exit("run as root: namespaces, netem and cgroups need it, and atftpd changes user")
    for tool in ("atftp", "tc", "ip"):
        if shutil.which(tool) is None:
            sys.exit("%s is missing (apt-get install atftp iproute2)" % tool)
    for program in ("harrier", "pelican-tftp", "udp_blast"):
        if not os.access(os.path.join(build, "bin", program), os.X_OK):
            sys.exit("no %s/bin/%s: build it first (scripts/build.sh build)" % (build, program))

    scratch = "/dev/shm" if os.path.isdir("/dev/shm") else None
    work = tempfile.mkdtemp(prefix="bench-window-", dir=scratch)
    os.chmod(work, 0o755)
    root = os.path.join(work, "root")
    os.mkdir(root)
    os.chmod(root, 0o755)
    local = os.path.join(work, "got.bin")
    groups = []  # (servers, cases, where the client runs)
    net = None

    try:
        contents = {}
        for name, size in (("big.bin", LOOP_SIZE), ("small.bin", options.netem_small * MIB)):
            contents[name] = os.urandom(size)
            with open(os.path.join(root, name), "wb") as f:
                f.write(contents[name])
            os.chmod(os.path.join(root, name), 0o644)

        cases = [c for c in loopback_cases() if options.only in c.title]
        if cases:
            groups.append((Servers(work, root, build, "loop"), cases, Place(build, [], local, contents)))
        if not options.no_netem:
            cases = [c for c in netem_cases(options.netem_small) if options.only in c.title]
            if cases:
                net = delay_link(build, work, 4 * 3600)
                log("2 ms link: %s" % net.how)
                groups.append((Servers(work, root, build, "netem", net.server_address, net.server),
                               cases, Place(build, net.client.exec_prefix(), local, contents)))
        for servers, _, _ in groups:
            for name, meter in servers.meters.items():
                if meter.note:
                    log("note: %s CPU: %s; using /proc/PID/stat" % (name, meter.note))

        log("machine: %d CPUs, load average at start %s" % (os.cpu_count(), load_average()))
        log("socket buffers: harrier and pelican size theirs for the window; atftpd and the atftp client "
            "cannot and keep net.core.rmem_default %s, wmem_default %s bytes"
            % (sysctl("net.core.rmem_default"), sysctl("net.core.wmem_default")))
        ceiling = {(b, m): [] for b in (1428, 8192) for m in BLASTS}
        arrived = {key: [] for key in ceiling}
        for round_index in range(options.rounds):
            order = [OURS, THEIRS] if round_index % 2 == 0 else [THEIRS, OURS]
            started = time.monotonic()
            for _ in range(BLASTS_PER_ROUND):
                for block_size, mode in ceiling:
                    rate, share = blast(build, block_size, mode)
                    ceiling[block_size, mode].append(rate)
                    arrived[block_size, mode].append(share)
            for servers, cases, place in groups:
                for case in cases:
                    for name in order:
                        case.run(name, servers, place)
            log("round %d of %d done in %.0f s" % (round_index + 1, options.rounds, time.monotonic() - started))
        log("load average at end %s (other work on the machine makes every number noisier)" % load_average())
        report([c for _, cases, _ in groups for c in cases], ceiling, arrived, net.how if net else "")
    except KeyboardInterrupt:
        log("interrupted")
        return 130
    finally:
        for servers, _, _ in groups:
            servers.stop()
        if net:
            net.remove()
        shutil.rmtree(work, ignore_errors=True)
    return 0


def sysctl(name):
    try:
        with open("/proc/sys/" + name.replace(".", "/")) as f:
            return f.read().strip()
    except OSError:
        return "?"


# -- the report ----------------------------------------------------------------------
def median(rates):
    return statistics.median(rates) if rates else None


def per_gib(case, name):
    if case.cpu[name] is None or not case.bytes[name]:
        return None
    return case.cpu[name] / (case.bytes[name] / GIB)


def ratio_text(a, b):
    return "n/a" if a is None or not b else "%.2f" % (a / b)


def find(cases, group, client, block_size, window):
    for c in cases:
        if (c.group, c.client, c.block_size, c.window) == (group, client, block_size, window):
            return c
    return None


def report(cases, ceiling, arrived, link_how):
    log("")
    log("MB/s (10^6 bytes), median of the rounds [min-max]; ratio = harrier / atftpd;")
    log("CPU = server CPU seconds per GiB moved, ratio = harrier / atftpd (lower is better)")
    log("%-26s %-20s %-20s %6s   %-12s %-12s %6s" % ("case", OURS, THEIRS, "ratio", "CPU " + OURS,
                                                   "CPU " + THEIRS, "ratio"))
    group = None
    for case in cases:
        if case.group != group:
            group = case.group
            log("-- %s" % ("loopback, 64 MiB" if group == "loopback" else "2 ms link, no loss: " + link_how))
        cells = [rate_cell(case.rates[n]) if case.rates[n] else "failed" for n in (OURS, THEIRS)]
        cpu = [per_gib(case, n) for n in (OURS, THEIRS)]
        log("%-26s %-20s %-20s %6s   %-12s %-12s %6s%s" % (
            case.title, cells[0], cells[1], ratio_text(median(case.rates[OURS]), median(case.rates[THEIRS])),
            "n/a" if cpu[0] is None else "%.3f" % cpu[0], "n/a" if cpu[1] is None else "%.3f" % cpu[1],
            ratio_text(cpu[0], cpu[1]),
            "".join("  (%s failed %d of %d)" % (n, len(case.failures[n]), len(case.failures[n]) + len(case.rates[n]))
                    for n in (OURS, THEIRS) if case.failures[n])))

    loop = [c for c in cases if c.group == "loopback"]
    log("")
    log("Plain UDP over loopback, as many datagrams as the 64 MiB file has blocks (%d blasts a round);"
        % BLASTS_PER_ROUND)
    log("plain = sendmmsg of single datagrams, segmented = UDP_SEGMENT, up to 64 datagrams a message")
    for (block_size, mode), rates in ceiling.items():
        best = max((c for c in loop if c.block_size == block_size and c.rates[OURS]),
                   key=lambda c: median(c.rates[OURS]), default=None)
        line = "UDP blast %-9s %d-byte blocks: %s MB/s, %.1f%% arrived" % (
            mode, block_size, rate_cell(rates).strip(), 100 * min(arrived[block_size, mode]))
        if best:
            line += "; best harrier case %s at %.1f MB/s = %.2f of it" % (
                best.title, median(best.rates[OURS]), median(best.rates[OURS]) / median(rates))
        log(line)

    log("")
    log("Targets")

    def check(text, value, target, at_least):
        if value is None:
            log("  %-58s n/a (target %s %g)" % (text, ">=" if at_least else "<=", target))
            return
        met = value >= target if at_least else value <= target
        log("  %-58s %6.2f (target %s %g) %s" % (text, value, ">=" if at_least else "<=", target,
                                                 "met" if met else "NOT met"))

    def window_ratio(group, client, block_size, high, low, server=OURS):
        a, b = find(cases, group, client, block_size, high), find(cases, group, client, block_size, low)
        if not a or not b or not a.rates[server] or not b.rates[server]:
            return None
        return median(a.rates[server]) / median(b.rates[server])

    for client in (ATFTP, PELICAN):
        check("harrier w32 / w1 at blksize 1428, %s client" % client,
              window_ratio("loopback", client, 1428, 32, 1), 3, True)
    c = find(cases, "loopback", PELICAN, 1428, 32)
    check("pelican w32 at blksize 1428, harrier / atftpd",
          None if not c or not c.rates[OURS] or not c.rates[THEIRS]
          else median(c.rates[OURS]) / median(c.rates[THEIRS]), 1.5, True)
    total = {n: (None if any(c.cpu[n] is None for c in loop) else sum(c.cpu[n] for c in loop),
                 sum(c.bytes[n] for c in loop)) for n in (OURS, THEIRS)}
    cpu = [None if total[n][0] is None or not total[n][1] else total[n][0] / (total[n][1] / GIB)
           for n in (OURS, THEIRS)]
    check("CPU per GiB, all loopback cases, harrier / atftpd",
          None if None in cpu or not cpu[1] else cpu[0] / cpu[1], 0.5, False)
    for client in (PELICAN, ATFTP):
        check("2 ms link, harrier w32 / w1, %s client" % client,
              window_ratio("netem", client, 1428, 32, 1), 10, True)
    for client in (PELICAN, ATFTP):
        ratio = window_ratio("netem", client, 1428, 32, 1, THEIRS)
        if ratio is not None:
            log("  (atftpd on the 2 ms link, w32 / w1, %s client: %.2f)" % (client, ratio))


if __name__ == "__main__":
    sys.exit(main())
