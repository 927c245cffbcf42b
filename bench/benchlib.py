"""What the benchmarks share: the machine's description, the OpenSSL
reference figures, an enrolled unit in a sandboxed world, timed and
memory-measured runs inside it, and the result table."""

import collections
import os
import platform
import re
import statistics
import subprocess
import sys
import textwrap
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "lab"))

from pki import Pki  # noqa: E402
from sandbox import COLLECTOR, PYTHON, REFSERVER, Sandbox, client_binary  # noqa: E402

COLLECTOR_URL = f"https://{COLLECTOR}:8443"
MB = 1 << 20
TIME_REPORT = "/tmp/bench-time.txt"  # GNU time's report, inside the world


def require_tools(*paths):
    missing = [p for p in (str(client_binary()), "/usr/bin/time", "/usr/bin/g++", *paths)
               if not os.path.exists(p)]
    if os.geteuid() != 0:
        sys.exit("run the benchmarks as root: they build namespace sandboxes")
    if missing:
        sys.exit("missing: " + ", ".join(missing) +
                 " (build the client; apt-get install time g++ nginx apache2 curl)")


def machine_description():
    model = "unknown CPU"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    openssl = subprocess.run(["openssl", "version"], capture_output=True,
                             text=True).stdout.strip()
    return (f"{model}, {os.cpu_count()} cores, Linux {platform.release()}, {openssl}")


def openssl_rsa1024(seconds=1, elapsed=False):
    """(private-key operations/s, public-key operations/s) for RSA-1024 as
    `openssl speed` measures them on one core: per second of user CPU time,
    or with elapsed=True per second of wall-clock time."""
    cmd = ["openssl", "speed", "-seconds", str(seconds), "-mr", "rsa1024"]
    if elapsed:
        cmd.insert(2, "-elapsed")
    result = subprocess.run(cmd, capture_output=True, text=True, check=True)
    # Machine-readable summary: +F2:<index>:<bits>:<sign/s>:<verify/s>
    match = re.search(r"^\+F2:\d+:1024:([0-9.]+):([0-9.]+)$", result.stdout, re.MULTILINE)
    if not match:
        sys.exit(f"cannot read `openssl speed` output:\n{result.stdout}{result.stderr}")
    return float(match.group(1)), float(match.group(2))


def build_ceiling(workdir):
    """Compiles bench/rsa_ceiling.cpp (the library's own speed for the
    client's RSA calls) into workdir; returns the binary's path."""
    binary = Path(workdir) / "rsa_ceiling"
    subprocess.run(["g++", "-std=c++17", "-O2", "-o", str(binary),
                    str(REPO / "bench" / "rsa_ceiling.cpp"), "-lcrypto"], check=True)
    return binary


class Reference:
    """`openssl speed rsa1024` sampled next to each measured run, so that
    both see the same load on the machine, by wall-clock and by CPU time;
    and the library's ceiling for the client's own calls (rsa_ceiling.cpp,
    operations per CPU second)."""

    def __init__(self, ceiling_binary):
        self.ceiling_binary = ceiling_binary
        self.wall = []  # (private ops/s, public ops/s) per sample
        self.cpu = []
        self.ceilings = []  # {kind: ops per CPU second} per sample

    def sample(self, seconds=1):
        self.wall.append(openssl_rsa1024(seconds, elapsed=True))
        self.cpu.append(openssl_rsa1024(seconds))
        output = subprocess.run([str(self.ceiling_binary), "0.5"], capture_output=True,
                                text=True, check=True).stdout
        pairs = (line.split() for line in output.splitlines())
        self.ceilings.append({kind: float(rate) for kind, rate in pairs})

    def private(self, kind):
        return median([s[0] for s in getattr(self, kind)])

    def public(self, kind):
        return median([s[1] for s in getattr(self, kind)])

    def ceiling(self, kind):
        return median([c[kind] for c in self.ceilings])


def enrolled_world(workdir):
    """A sandboxed world whose unit has enrolled (a) with the reference
    server at collector.test:8443 and installed its package 1.0.
    Returns (world, server, pki)."""
    pki = Pki(Path(workdir) / "pki")
    box = Sandbox(Path(workdir) / "world", ca_bundle=pki.bundle, keep=[workdir])
    box.start()
    state = Path(workdir) / "server"
    subprocess.run([PYTHON, str(REFSERVER), "make-package", "--version", "1.0",
                    "--out", str(state / "packages" / "package.tar.gz")], check=True)
    cert, key = pki.issue(COLLECTOR)
    server = box.start_refserver(COLLECTOR, 8443, cert, key, state)
    result = box.run_client([COLLECTOR_URL, "-a"])
    if result.returncode != 0:
        box.close()
        sys.exit(f"enrollment failed: {result!r}")
    return box, server, pki


Measured = collections.namedtuple("Measured", "run wall cpu peak")

# What the client says when a package arrived whole and gunzip refused it: the
# download was neither refused nor cut short nor left unstored. The download
# benchmarks serve packages that fail so, to measure the transfer alone.
FETCHED_WHOLE = b"The package archive does not decompress\n"


def measured_run(box, cmd, env=None, timeout=600):
    """Runs cmd inside under GNU time; returns Measured: the Run, its wall
    time in seconds (taken around the whole run, nsenter included, the same
    for every command measured), its CPU time (user + system) and its peak
    resident set in bytes. CPU time and peak include the children the
    command waited for (the client's shell commands); the peak is the
    largest single process, not a sum."""
    box.remove(TIME_REPORT)
    start = time.monotonic()
    result = box.run(["/usr/bin/time", "-v", "-o", TIME_REPORT, *map(str, cmd)],
                     env=env, timeout=timeout)
    wall = time.monotonic() - start
    report = box.read(TIME_REPORT).decode()

    def field(name):
        match = re.search(re.escape(name) + r": ([0-9.]+)", report)
        if not match:
            sys.exit(f"no '{name}' in GNU time's report:\n{report}")
        return float(match.group(1))

    cpu = field("User time (seconds)") + field("System time (seconds)")
    peak = int(field("Maximum resident set size (kbytes)")) * 1024
    return Measured(result, wall, cpu, peak)


def own_memory_peak(box, cmd, env=None, timeout=600):
    """Runs cmd inside without timing it and samples, every millisecond,
    the resident anonymous memory (heap, stacks, private mappings: what the
    client itself allocates, unlike the shared library pages that GNU time's
    figure includes) of its process named like the client binary. Returns
    (exit status, peak anonymous bytes, peak total RSS bytes)."""
    name = client_binary().name[:15]  # the kernel's comm is at most 15 characters
    proc = box.popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + timeout
    anon = total = 0
    pid = None
    while proc.poll() is None and time.monotonic() < deadline:
        pid = pid or _descendant_named(proc.pid, name)
        if pid:
            try:
                status = Path(f"/proc/{pid}/status").read_text()
            except OSError:
                pid = None
                continue
            fields = dict(line.split(":", 1) for line in status.splitlines() if ":" in line)
            if "RssAnon" in fields:
                anon = max(anon, int(fields["RssAnon"].split()[0]) * 1024)
                total = max(total, int(fields["VmHWM"].split()[0]) * 1024)
        time.sleep(0.001)
    if proc.poll() is None:
        proc.kill()
    return proc.wait(), anon, total


def _descendant_named(pid, name):
    """The first process below pid whose command name is name, or None."""
    todo = [pid]
    while todo:
        current = todo.pop()
        try:
            if current != pid and Path(f"/proc/{current}/comm").read_text().strip() == name:
                return current
            children = Path(f"/proc/{current}/task/{current}/children").read_text().split()
        except OSError:
            continue
        todo.extend(int(c) for c in children)
    return None


def client_cmd(*args):
    return [client_binary(), COLLECTOR_URL, *args]


def median(values):
    return statistics.median(values)


def print_table(title, rows):
    """rows: (what, measured, reference, ratio, target, verdict) as texts."""
    header = ("measurement", "measured", "reference", "ratio", "target", "")
    widths = [max(len(str(row[i])) for row in [header, *rows]) for i in range(len(header))]
    print()
    print(textwrap.fill(title, 96))
    for row in [header, *rows]:
        print("  " + "  ".join(str(cell).ljust(w) if i == 0 else str(cell).rjust(w)
                               for i, (cell, w) in enumerate(zip(row, widths))).rstrip())


def verdict(ok):
    return "PASS" if ok else "MISS"


def fmt_rate(bytes_per_second):
    return f"{bytes_per_second / MB:.2f} MiB/s"


def fmt_bytes(n):
    return f"{n / MB:.2f} MiB"
