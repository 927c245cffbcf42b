#!/usr/bin/python3
"""Package download from stock web servers: the client's `v` run against curl
fetching the same URL from the same server, and the client's peak memory.

    /usr/bin/python3 bench/stock_hosts.py [--runs N]        (as root)

For each of Debian's nginx and apache2, run as the lab runs them
(lab/webservers.py: stock configuration, TLS switched on, keep-alive on as
shipped), one sandboxed world holds a unit enrolled with the reference server
(collector.test:8443) and the stock server as packages.test:443, serving a
small (128 KiB) and a 64 MiB package from its stock document root. The
version reply's locator points at the server. Per server and size, median of
N runs each (default 5), interleaved:

  - curl fetching the package URL (HTTP/1.1, the test CA) to the world's /tmp;
  - a whole `v` run that downloads the package. The package is a gzip header
    followed by a deflate block of a reserved type and random bytes: the
    client takes it for a clear package (it starts with 1f 8b) and gunzip
    fails on it at once (status 1), so decompression and unpacking stay out
    of the figures, and so does installing: every run downloads again;
  - a `v` run that finds the unit up to date (the version query alone).

Printed: the whole run against curl; the download part (the whole run less
the up-to-date run: connection to the package host, request, body, the
gunzip start) against curl, target <= 1.1x; the client's peak resident set
(GNU time), target <= 8 MiB. A run that did not download (a refusal, a
broken transfer) is reported with its status and message instead. Exits 0
whatever the figures: these are measurements, not tests.
"""

import argparse
import random
import re
import sys
import tempfile
import textwrap
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
from benchlib import MB, client_cmd, fmt_bytes, measured_run, median, verdict  # noqa: E402
from webservers import start_apache, start_nginx  # noqa: E402  (lab/, via benchlib)

PACKAGE_HOST = "packages.test"
SIZES = {"128 KiB": 128 * 1024, "64 MiB": 64 * MB}
SERVERS = {"nginx": start_nginx, "apache": start_apache}
TIME_TARGET = 1.1
MEMORY_TARGET = 8 * MB
# gzip member header (deflate, no flags, no time, Unix), then a final block
# of the reserved type 3: gunzip stops at the first byte of the data.
FAILING_GZIP_HEAD = bytes([0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0x00, 0x03, 0x07])


def package_of(size, seed):
    return FAILING_GZIP_HEAD + random.Random(seed).randbytes(size - len(FAILING_GZIP_HEAD))


def url(name):
    return f"https://{PACKAGE_HOST}/{name}"


def curl_run(box, name, size):
    box.remove("/tmp/curl.out")
    measured = measured_run(box, ["curl", "-sS", "--fail", "--http1.1", "--cacert",
                                  "/etc/ca-bundle.crt", "-o", "/tmp/curl.out", url(name)])
    got = box.path("/tmp/curl.out").stat().st_size if box.exists("/tmp/curl.out") else None
    if measured.run.returncode != 0 or got != size:
        sys.exit(f"unexpected curl run ({got} bytes): {measured.run!r}")
    return measured


def client_run(box, server, name, size):
    """One measured `v` run that downloads; (Measured, None) when the package
    came whole and gunzip refused it, else (Measured, why not)."""
    before = len(server.access_log())
    measured = measured_run(box, client_cmd("-v"))
    run = measured.run
    # The access log's bytes sent (nginx: the body; apache: with the header)
    # tell that the whole package went out.
    served = [line for line in server.access_log()[before:]
              if re.search(rf'"GET /{re.escape(name)} HTTP/1.1" 200 (\d+) ', line)
              and int(re.search(r'" 200 (\d+) ', line).group(1)) >= size]
    if run.returncode == 1 and run.stderr.endswith(benchlib.FETCHED_WHOLE) and served:
        return measured, None
    message = run.stderr.decode(errors="replace").strip().splitlines()
    log = server.access_log()[before:]
    return measured, (f"status {run.returncode}, {message[:1] or 'no message'}, "
                      f"access log {log[-1:] or 'empty'}")


def up_to_date_run(box, collector):
    collector.set_config({"version": "1.0"})   # the installed version
    measured = measured_run(box, client_cmd("-v"))
    if measured.run.returncode != 0 or measured.run.stdout or measured.run.stderr:
        sys.exit(f"unexpected up-to-date run: {measured.run!r}")
    return measured


def bench_server(kind, workdir, runs, notes):
    box, collector, pki = benchlib.enrolled_world(Path(workdir) / kind)
    rows = []
    try:
        files = {f"pkg-{i}.tar.gz": package_of(size, i) for i, size in enumerate(SIZES.values())}
        server = SERVERS[kind](box, pki.web_server(PACKAGE_HOST), files)
        baseline = median([up_to_date_run(box, collector).wall for _ in range(runs)])
        rows.append((f"{kind}: up-to-date `v` run (version query only)", f"{baseline:.3f} s",
                     "", "", "", "(info)"))
        for i, (label, size) in enumerate(SIZES.items()):
            name = f"pkg-{i}.tar.gz"
            collector.set_config({"version": "2.0", "locator": url(name)})
            curl_run(box, name, size)                      # warm-up, not counted
            curls, clients, failures = [], [], []
            for _ in range(runs):                          # interleaved: the same load
                curls.append(curl_run(box, name, size))
                measured, failure = client_run(box, server, name, size)
                clients.append(measured)
                if failure:
                    failures.append(failure)
            curl_t = median([m.wall for m in curls])
            whole_t = median([m.wall for m in clients])
            peak = max(m.peak for m in clients)
            prefix = f"{kind}, {label}"
            if failures:
                notes.append(f"{prefix}: {len(failures)} of {runs} `v` runs did not "
                             f"download; the first: {failures[0]}")
                rows.append((f"{prefix}: `v` run did not download (below)", f"{whole_t:.3f} s",
                             f"{curl_t:.3f} s", "", f"<= {TIME_TARGET}", "MISS"))
            else:
                part = whole_t - baseline
                rows.append((f"{prefix}: download part of `v` vs curl", f"{part:.3f} s",
                             f"{curl_t:.3f} s", f"{part / curl_t:.3f}", f"<= {TIME_TARGET}",
                             verdict(part / curl_t <= TIME_TARGET)))
            rows.append(("   whole `v` run vs curl", f"{whole_t:.3f} s", f"{curl_t:.3f} s",
                         f"{whole_t / curl_t:.3f}", "", "(info)"))
            rows.append(("   peak RSS of the `v` runs", fmt_bytes(peak), "", "",
                         f"<= {MEMORY_TARGET // MB} MiB", verdict(peak <= MEMORY_TARGET)))
    finally:
        box.close()
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    benchlib.require_tools("/usr/sbin/nginx", "/usr/sbin/apache2", "/usr/bin/curl")
    print("stock web server download benchmark:", benchlib.machine_description(), flush=True)
    rows, notes = [], []
    with tempfile.TemporaryDirectory(prefix="halvorpin-bench-") as workdir:
        for kind in SERVERS:
            rows += bench_server(kind, workdir, args.runs, notes)
    benchlib.print_table(
        f"median of {args.runs} runs each, interleaved with curl. Download part: the whole "
        "`v` run less the median up-to-date `v` run of the same world. Peak RSS from GNU "
        "time; 1 MiB = 1048576 bytes. Keep-alive as shipped (nginx 75 s, apache 5 s); the "
        "client's READ_TIMEOUT is its default.", rows)
    for note in notes:
        print(textwrap.fill(note, 96, subsequent_indent="    "))
    return 0


if __name__ == "__main__":
    sys.exit(main())
