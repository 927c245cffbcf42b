#!/usr/bin/python3
"""Footprint of the client: what an up-to-date `v` run costs, and what the
binary needs.

    /usr/bin/python3 bench/footprint.py [BINARY ...]     (as root)

For each client binary (default: the one in build/ or $HALVORPIN_BIN) one
sandboxed world holds a unit enrolled with the reference server, whose
version is the one installed; the `v` run finds it up to date. Measured:

  a. instructions of the whole run (valgrind's callgrind, counting the
     client process only): the same for the same binary and inputs whatever
     else the machine does;
  b. peak resident set of the run (GNU time), median of 5;
  c. the binary's size, stripped, and its NEEDED libraries.

Several binaries (for example a build before and after a change) are
measured in the same run and their figures printed side by side.
"""

import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
from benchlib import client_cmd, enrolled_world, measured_run, median  # noqa: E402

CALLGRIND_OUT = "/tmp/bench-callgrind.out"


def instructions(box, binary):
    result = box.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={CALLGRIND_OUT}",
                      binary, benchlib.COLLECTOR_URL, "-v"], timeout=600)
    if result.returncode != 0:
        sys.exit(f"callgrind run failed: {result!r}")
    match = re.search(rb"Collected : ([0-9]+)", result.stderr)
    if not match:
        sys.exit(f"no instruction count from callgrind: {result.stderr[-2000:]!r}")
    return int(match.group(1))


def stripped_size_and_needed(binary):
    with tempfile.TemporaryDirectory() as tmp:
        stripped = Path(tmp) / "stripped"
        subprocess.run(["strip", "-o", stripped, binary], check=True)
        size = stripped.stat().st_size
    dynamic = subprocess.run(["readelf", "-d", binary], check=True, capture_output=True,
                             text=True).stdout
    return size, re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)


def measure(binary, workdir):
    os.environ["HALVORPIN_BIN"] = str(binary)
    box, server, _ = enrolled_world(workdir)
    try:
        up_to_date = box.run_client([benchlib.COLLECTOR_URL, "-v"])
        if up_to_date.returncode != 0 or up_to_date.stdout or len(server.requests()) < 1:
            sys.exit(f"the up-to-date run failed: {up_to_date!r}")
        count = instructions(box, str(binary))
        peaks = [measured_run(box, client_cmd("-v")).peak for _ in range(5)]
    finally:
        box.close()
    size, needed = stripped_size_and_needed(binary)
    return count, median(peaks), size, needed


def main():
    benchlib.require_tools("/usr/bin/valgrind")
    binaries = [Path(b).resolve() for b in sys.argv[1:]] or [benchlib.client_binary()]
    print(benchlib.machine_description())
    rows = []
    for binary in binaries:
        with tempfile.TemporaryDirectory(prefix="halvorpin-footprint-") as workdir:
            count, peak, size, needed = measure(binary, workdir)
        rows.append([str(binary), f"{count:,}", benchlib.fmt_bytes(peak), f"{size:,} B",
                     " ".join(needed)])
    print("\nUp-to-date `v` run")
    table = [["binary", "instructions", "peak RSS", "stripped", "NEEDED"], *rows]
    widths = [max(len(row[i]) for row in table) for i in range(len(table[0]))]
    for row in table:
        print("  " + "  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())


if __name__ == "__main__":
    main()
