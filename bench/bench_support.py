"""What the benchmark programs share: printing, the machine's load, a CPU
meter per server (cgroup v2), free ports and the table cells."""
import os
import signal
import socket
import statistics
import subprocess
import time

MIB = 1 << 20
GIB = 1 << 30
HOST = "127.0.0.1"


def log(text):
    print(text, flush=True)


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


# -- cgroups ------------------------------------------------------------------
def cgroup2_mount():
    """Mount point of the cgroup v2 hierarchy, or None."""
    with open("/proc/mounts") as f:
        for line in f:
            fields = line.split()
            if len(fields) > 2 and fields[2] == "cgroup2":
                return fields[1]
    return None


class CpuMeter:
    """CPU time of one server and all its children, in seconds.

    single_process: the server never forks, so that without a cgroup its
    /proc entry still tells its time (all threads included)."""

    def __init__(self, name, pid, single_process=False):
        self.name = name
        self.pid = pid
        self.single_process = single_process
        self.group = None
        self.note = ""
        mount = cgroup2_mount()
        if mount is None:
            self.note = "no cgroup v2 hierarchy mounted"
            return
        path = os.path.join(mount, "bench-%s-%d" % (name, os.getpid()))
        try:
            os.mkdir(path)
            with open(os.path.join(path, "cgroup.procs"), "w") as f:
                f.write(str(pid))
            self.group = path
        except OSError as e:
            self.note = "cgroup %s not usable: %s" % (path, e)
            try:
                os.rmdir(path)
            except OSError:
                pass

    def seconds(self):
        """Total CPU seconds so far, or None when it cannot be measured."""
        if self.group:
            return v2_cpu_seconds(self.group)
        if self.single_process:
            # One process with threads: /proc/PID/stat covers every thread.
            with open("/proc/%d/stat" % self.pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        return None

    def pids(self):
        if not self.group:
            return []
        with open(os.path.join(self.group, "cgroup.procs")) as f:
            return [int(p) for p in f.read().split()]

    def remove(self):
        if not self.group:
            return
        for _ in range(50):
            try:
                os.rmdir(self.group)
                return
            except OSError:
                time.sleep(0.1)
        log("note: could not remove %s" % self.group)


def v2_cpu_seconds(group):
    with open(os.path.join(group, "cpu.stat")) as f:
        for line in f:
            key, value = line.split()
            if key == "usage_usec":
                return int(value) / 1e6
    return None


class GroupMeter:
    """CPU seconds and peak memory of one server and all its children, from
    a cgroup of its own: v2 where it has the cpu and memory controllers,
    else v1's cpuacct and memory hierarchies."""

    V1 = {"cpu": "/sys/fs/cgroup/cpuacct", "memory": "/sys/fs/cgroup/memory"}
    made = 0

    def __init__(self, name, pid):
        self.note = ""
        self.dirs = {}
        # One cgroup per measurement: a server measured again must not meet
        # the group of its last run.
        GroupMeter.made += 1
        label = "bench-%s-%d-%d" % (name, os.getpid(), GroupMeter.made)
        mount = cgroup2_mount()
        controllers = os.path.join(mount or "/nonexistent", "cgroup.controllers")
        if os.path.exists(controllers) and {"cpu", "memory"} <= set(open(controllers).read().split()):
            self.dirs = {"v2": os.path.join(mount, label)}
        elif all(os.path.isdir(d) for d in self.V1.values()):
            self.dirs = {kind: os.path.join(d, label) for kind, d in self.V1.items()}
        else:
            self.note = "no cgroup with cpu and memory controllers"
        for path in self.dirs.values():
            try:
                os.mkdir(path)
                with open(os.path.join(path, "cgroup.procs"), "w") as f:
                    f.write(str(pid))
            except OSError as e:
                self.note = "cgroup %s not usable: %s" % (path, e)

    def read(self, kind, name):
        try:
            with open(os.path.join(self.dirs[kind], name)) as f:
                return f.read()
        except (KeyError, OSError):
            return None

    def seconds(self):
        if "v2" in self.dirs:
            return v2_cpu_seconds(self.dirs["v2"])
        text = self.read("cpu", "cpuacct.usage")
        return int(text) / 1e9 if text else None

    def peak_bytes(self):
        text = self.read("v2", "memory.peak") if "v2" in self.dirs else self.read("memory",
                                                                                  "memory.max_usage_in_bytes")
        return int(text) if text else None

    def remove(self):
        for path in self.dirs.values():
            # A server's children outlive it (tftpd-hpa's transfers): they end
            # with it, or the group cannot go.
            try:
                with open(os.path.join(path, "cgroup.procs")) as f:
                    for pid in f.read().split():
                        try:
                            os.kill(int(pid), signal.SIGKILL)
                        except OSError:
                            pass
            except OSError:
                pass
            for _ in range(50):
                try:
                    os.rmdir(path)
                    break
                except OSError:
                    time.sleep(0.1)


def stop_process(proc, sig):
    """Asks a server to end with sig, and kills it after 5 s."""
    if proc.poll() is not None:
        return
    proc.send_signal(sig)
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


# -- ports ---------------------------------------------------------------------
def free_port(host=HOST):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((host, 0))
    port = s.getsockname()[1]
    s.close()
    return port


def port_in_use(port, host=HOST):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.bind((host, port))
        return False
    except OSError:
        return True
    finally:
        s.close()


# -- tables --------------------------------------------------------------------
def rate_cell(rates):
    """Median of the rounds with their range."""
    middle = statistics.median(rates)
    if middle < 10:  # slow links: whole numbers would hide the range
        return "%8.2f [%.2f-%.2f]" % (middle, min(rates), max(rates))
    return "%8.1f [%.0f-%.0f]" % (middle, min(rates), max(rates))


def verdict(ratio, noise):
    if abs(ratio - 1.0) < noise:
        return "noise"
    return "faster" if ratio > 1.0 else "SLOWER"
