#!/usr/bin/python3
"""Footprint of the client: what its hourly runs cost beside curl, and what
the binary needs.

    /usr/bin/python3 bench/footprint.py [BINARY ...]     (as root)

For each client binary (default: the one in build/ or $HALVORPIN_BIN) one
sandboxed world holds a unit enrolled with the reference server, with two
CA bundles in turn: the test CA alone, and the machine's public bundle
(/etc/ssl/certs/ca-certificates.crt) with the test CA after it. Two runs:

  up to date  `v` finds the installed version current (a version query);
  update      `v` finds a new one and installs it (the version query, a
              re-connection and the package from the package host);

each beside curl doing the same transfers with the same bundle in one
process (the version query; the version query and the package). Measured:

  a. instructions of the whole run (valgrind's callgrind, counting the
     process itself, not the programs it starts): the same for the same
     binary and inputs whatever else the machine does;
  b. peak resident set of the run (GNU time), median of 5;
  c. the binary's size, stripped, and its NEEDED libraries.

A third run, "update, signed", is the update with the operator's package
keys on the unit and the package signed, measured against the update
without keys (not curl): at most 1.10 of its instructions.

Targets: with the public bundle both runs at most 0.15 of curl's
instructions and the up-to-date run at most 6.5 MiB; with the test CA
alone the up-to-date run at most 0.85 of curl's instructions. Several binaries (a build before
and after a change) are measured in the same run.
"""

import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
from benchlib import enrolled_world, measured_run, median  # noqa: E402
from pki import public_pem, sign, signing_key  # noqa: E402

CALLGRIND_OUT = "/tmp/bench-callgrind.out"
PUBLIC_BUNDLE = Path("/etc/ssl/certs/ca-certificates.crt")
VERSION_URL = benchlib.COLLECTOR_URL + "/version?current=1.0"
PACKAGE_URL = benchlib.COLLECTOR_URL + "/packages/package.tar.gz"
STATE = "/tmp/tolvenra"
PACKAGE_KEYS = "/etc/package-keys.pem"
TARGETS = {("public", "up to date"): 0.15, ("public", "update"): 0.15,
           ("test CA", "up to date"): 0.85,
           # Against the same update run without package keys, not curl.
           ("test CA", "update, signed"): 1.10}
RSS_TARGET = 6.5 * benchlib.MB


def instructions(box, cmd):
    result = box.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={CALLGRIND_OUT}",
                      *map(str, cmd)], timeout=600)
    match = re.search(rb"Collected : ([0-9]+)", result.stderr)
    if result.returncode != 0 or not match:
        sys.exit(f"callgrind run failed: {result!r}")
    return int(match.group(1))


def stripped_size_and_needed(binary):
    with tempfile.TemporaryDirectory() as tmp:
        stripped = Path(tmp) / "stripped"
        subprocess.run(["strip", "-o", stripped, binary], check=True)
        size = stripped.stat().st_size
    dynamic = subprocess.run(["readelf", "-d", binary], check=True, capture_output=True,
                             text=True).stdout
    return size, re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)


def commands(box, binary, run):
    """(prepare, client command, curl command) for a run."""
    unit_id = box.read(f"{STATE}/unitid").decode()

    def prepare():
        # An update run finds 0.9 installed and installs 1.0 again.
        box.write(f"{STATE}/version", "0.9\n" if run == "update" else "1.0\n")

    curl = ["curl", "-sS", "--fail", "--cacert", "/etc/ca-bundle.crt",
            "-H", f"X-Unit-ID: {unit_id}", VERSION_URL, "-o", "/dev/null"]
    if run == "update":
        curl += [PACKAGE_URL, "-o", "/dev/null"]
    return prepare, [binary, benchlib.COLLECTOR_URL, "-v"], curl


def measure(box, prepare, cmd):
    prepare()
    count = instructions(box, cmd)
    peaks = []
    for _ in range(5):
        prepare()
        peaks.append(measured_run(box, cmd).peak)
    prepare()
    result = box.run(list(map(str, cmd)))
    if result.returncode != 0:
        sys.exit(f"run failed: {result!r}")
    return count, median(peaks)


def measure_signed_update(box, server, binary):
    """The update run with the operator's package keys on the unit and the
    package signed: instructions and peak RSS."""
    package = server.state / "packages" / "package.tar.gz"
    key = signing_key("rsa-2048")
    (server.state / "packages" / "package.tar.gz.sig").write_bytes(sign(key, package.read_bytes()))
    box.write(PACKAGE_KEYS, public_pem(key))
    try:
        prepare, client, _ = commands(box, binary, "update")
        return measure(box, prepare, client)
    finally:
        box.remove(PACKAGE_KEYS)


def measure_binary(binary, workdir):
    os.environ["HALVORPIN_BIN"] = str(binary)
    box, server, pki = enrolled_world(workdir)
    rows = []
    try:
        test_ca = pki.ca.cert.read_bytes()
        for bundle, text in [("test CA", test_ca), ("public", PUBLIC_BUNDLE.read_bytes() + test_ca)]:
            box.write("/etc/ca-bundle.crt", text)
            for run in ("up to date", "update"):
                prepare, client, curl = commands(box, binary, run)
                ours, ours_peak = measure(box, prepare, client)
                theirs, theirs_peak = measure(box, lambda: None, curl)
                rows.append((bundle, run, ours, theirs, ours_peak, theirs_peak))
        box.write("/etc/ca-bundle.crt", test_ca)
        signed, signed_peak = measure_signed_update(box, server, binary)
        unsigned = next(r for r in rows if r[:2] == ("test CA", "update"))
        rows.append(("test CA", "update, signed", signed, unsigned[2], signed_peak, unsigned[4]))
    finally:
        box.close()
    return rows


def main():
    benchlib.require_tools("/usr/bin/valgrind", "/usr/bin/curl")
    if not PUBLIC_BUNDLE.exists():
        sys.exit(f"no public bundle at {PUBLIC_BUNDLE} (apt-get install ca-certificates)")
    binaries = [Path(b).resolve() for b in sys.argv[1:]] or [benchlib.client_binary()]
    print(benchlib.machine_description())
    print(f"public bundle: {PUBLIC_BUNDLE}, {PUBLIC_BUNDLE.stat().st_size:,} bytes, "
          f"{PUBLIC_BUNDLE.read_bytes().count(b'BEGIN CERTIFICATE')} certificates")
    for binary in binaries:
        with tempfile.TemporaryDirectory(prefix="halvorpin-footprint-") as workdir:
            rows = measure_binary(binary, workdir)
        size, needed = stripped_size_and_needed(binary)
        print(f"\n{binary}: {size:,} bytes stripped, NEEDED {' '.join(needed)}")
        table = []
        for bundle, run, ours, theirs, ours_peak, theirs_peak in rows:
            ratio, target = ours / theirs, TARGETS.get((bundle, run))
            rss_target = RSS_TARGET if (bundle, run) == ("public", "up to date") else None
            ok = (target is None or ratio <= target) and (rss_target is None
                                                          or ours_peak <= rss_target)
            table.append((f"{bundle}, {run}", f"{ours:,}", f"{theirs:,}", f"{ratio:.3f}",
                          f"<= {target}" if target else "(info)",
                          benchlib.fmt_bytes(ours_peak)
                          + (f" (<= {benchlib.fmt_bytes(rss_target)})" if rss_target else ""),
                          benchlib.fmt_bytes(theirs_peak),
                          benchlib.verdict(ok) if target or rss_target else ""))
        header = ("bundle, run", "instructions", "curl", "ratio", "target", "peak RSS",
                  "curl RSS", "")
        widths = [max(len(row[i]) for row in [header, *table]) for i in range(len(header))]
        for row in [header, *table]:
            print("  " + "  ".join(cell.ljust(w) if i == 0 else cell.rjust(w)
                                   for i, (cell, w) in enumerate(zip(row, widths))).rstrip())


if __name__ == "__main__":
    main()
