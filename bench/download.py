#!/usr/bin/python3
"""Package download benchmark: the client's `v` update path against curl
fetching the same URL from the same stock web server, block decryption
against `openssl speed`, and the client's peak memory.

    /usr/bin/python3 bench/download.py [--runs N]        (as root)

For each of Debian's nginx and apache2, run as the lab runs them
(lab/webservers.py: stock configuration, TLS switched on, keep-alive on as
shipped), one sandboxed world holds a unit enrolled with the reference server
(collector.test:8443) and the stock server as packages.test:443, whose stock
document root holds the packages; the version reply's locator points there.
Every package but the encrypted one is a gzip header followed by a deflate
block of a reserved type and random bytes: the client takes it for a clear
package (it starts with 1f 8b), downloads it whole and gunzip refuses it at
once (status 1), so decompression, unpacking and installing stay out of the
figures and every run downloads again. Median of N runs each (default 3),
interleaved with curl:

  a. nginx, 256 MiB: the whole `v` run against curl (nothing subtracted:
     the client's figure includes its version query), target <= 1.15x;
  b. nginx and apache2, 128 KiB and 64 MiB: the download part of a `v` run
     (the whole run less the median run that finds the unit up to date)
     against curl, target <= 1.1x;
  c. nginx, 8 MiB encrypted block by block with the unit's key (117-byte
     pieces, 128-byte blocks): clear bytes per second of the whole `v` run
     against `openssl speed rsa1024` private-key operations/s x 117, sampled
     before each run, by wall-clock and by CPU time, target >= 0.85x;
  d. the client's peak resident set (GNU time) in every download, < 8 MiB,
     and its own (anonymous) memory in the 256 and 64 MiB ones.

A run that did not download whole (a refusal, a broken transfer) ends the
benchmark with its status and message. Prints a table (measured, reference,
ratio, target, PASS/MISS) and exits 0: these are measurements, not tests.
"""

import argparse
import os
import random
import re
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
from benchlib import (MB, client_cmd, fmt_bytes, fmt_rate, measured_run, median,  # noqa: E402
                      verdict)
from cryptography.hazmat.primitives import serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import padding  # noqa: E402
from webservers import DOCROOT, start_apache, start_nginx  # noqa: E402  (lab/, via benchlib)

PACKAGE_HOST = "packages.test"
SERVERS = {"nginx": start_nginx, "apache": start_apache}
SIZES = {"128 KiB": 128 * 1024, "64 MiB": 64 * MB}
BIG = 256 * MB
ENCRYPTED_CLEAR = 8 * MB
PIECE = 117  # clear bytes per 128-byte block of a 1024-bit unit key
MEMORY_TARGET = 8 * MB
# gzip member header (deflate, no flags, no time, Unix), then a final block
# of the reserved type 3: gunzip stops at the first byte of the data.
FAILING_GZIP_HEAD = bytes([0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0x00, 0x03, 0x07])


def write_package(box, name, size, body=None):
    """A package the client downloads whole and gunzip refuses, written into
    the world's document root in pieces; body: its bytes after the gzip head
    (default random)."""
    rng = random.Random(name)
    with open(box.path(f"{DOCROOT}/{name}"), "wb") as out:
        out.write(FAILING_GZIP_HEAD)
        if body is not None:
            out.write(body)
            return
        left = size - len(FAILING_GZIP_HEAD)
        while left:
            piece = min(left, 16 * MB)
            out.write(rng.randbytes(piece))
            left -= piece


def encrypted_for_unit(server, clear):
    """The package as the collection server encrypts it for this unit:
    117-byte pieces, each one PKCS #1 v1.5 block under the unit's key."""
    (unit_pem,) = (server.state / "units").glob("*.pem")
    key = serialization.load_pem_public_key(unit_pem.read_bytes())
    return b"".join(key.encrypt(clear[i:i + PIECE], padding.PKCS1v15())
                    for i in range(0, len(clear), PIECE))


class Host:
    """A world with an enrolled unit and a stock web server as its package host."""

    def __init__(self, kind, workdir):
        self.kind = kind
        self.box, self.collector, pki = benchlib.enrolled_world(Path(workdir) / kind)
        self.server = SERVERS[kind](self.box, pki.web_server(PACKAGE_HOST), {})

    def point_at(self, name):
        # A version other than the installed 1.0 makes every `v` run
        # download; none installs (gunzip fails), so the version stays 1.0.
        self.collector.set_config({"version": "2.0",
                                   "locator": f"https://{PACKAGE_HOST}/{name}"})

    def client(self, name, size):
        """One measured `v` run that must download the package whole: the
        client's message and the server's access log (bytes sent, with the
        header for apache) both say so."""
        before = len(self.server.access_log())
        measured = measured_run(self.box, client_cmd("-v"))
        sent = [int(m.group(1)) for line in self.server.access_log(at_least=before + 1)[before:]
                if (m := re.search(rf'"GET /{re.escape(name)} HTTP/1.1" 200 (\d+) ', line))]
        if measured.run.returncode != 1 or not measured.run.stderr.endswith(
                benchlib.FETCHED_WHOLE) or not sent or sent[-1] < size:
            sys.exit(f"{self.kind}: a `v` run did not download {name} ({size} bytes) whole "
                     f"(access log: {sent}): {measured.run!r}")
        return measured

    def curl(self, name, size):
        self.box.remove("/tmp/curl.out")
        measured = measured_run(self.box, ["curl", "-sS", "--fail", "--http1.1", "--cacert",
                                           "/etc/ca-bundle.crt", "-o", "/tmp/curl.out",
                                           f"https://{PACKAGE_HOST}/{name}"])
        got = self.box.path("/tmp/curl.out").stat().st_size \
            if self.box.exists("/tmp/curl.out") else None
        if measured.run.returncode != 0 or got != size:
            sys.exit(f"{self.kind}: unexpected curl run ({got} bytes): {measured.run!r}")
        return measured

    def up_to_date(self):
        self.collector.set_config({"version": "1.0"})   # the installed version
        measured = measured_run(self.box, client_cmd("-v"))
        if measured.run.returncode != 0 or measured.run.stdout or measured.run.stderr:
            sys.exit(f"{self.kind}: unexpected up-to-date run: {measured.run!r}")
        return measured

    def against_curl(self, name, size, runs):
        """(client runs, curl runs), interleaved so both see the same load,
        after one of each that is not counted."""
        self.point_at(name)
        self.curl(name, size)
        self.client(name, size)
        clients, curls = [], []
        for _ in range(runs):
            curls.append(self.curl(name, size))
            clients.append(self.client(name, size))
        return clients, curls

    def close(self):
        self.box.close()


def bench_sizes(host, runs, peaks):
    """b: the download part of `v` runs against curl, per package size."""
    baseline = median([host.up_to_date().wall for _ in range(runs)])
    rows = [(f"b. {host.kind}: up-to-date `v` run (version query only)", f"{baseline:.3f} s",
             "", "", "", "(info)")]
    for label, size in SIZES.items():
        name = f"pkg-{size}.tar.gz"
        write_package(host.box, name, size)
        clients, curls = host.against_curl(name, size, runs)
        whole, curl = median([m.wall for m in clients]), median([m.wall for m in curls])
        part = whole - baseline
        rows += [(f"   {host.kind}, {label}: download part of `v` vs curl", f"{part:.3f} s",
                  f"{curl:.3f} s", f"{part / curl:.3f}", "<= 1.1", verdict(part / curl <= 1.1)),
                 ("     whole `v` run vs curl", f"{whole:.3f} s", f"{curl:.3f} s",
                  f"{whole / curl:.3f}", "", "(info)")]
        peaks.append((f"{host.kind}, {label}", max(m.peak for m in clients)))
    return rows


def bench_big(host, runs, peaks, own):
    """a: the 256 MiB package, whole `v` run against curl; the client's own
    memory then and in the 64 MiB download (d)."""
    write_package(host.box, "big.tar.gz", BIG)
    clients, curls = host.against_curl("big.tar.gz", BIG, runs)
    client_t, curl_t = median([m.wall for m in clients]), median([m.wall for m in curls])
    rows = [
        ("a. nginx, 256 MiB: whole `v` run vs curl", f"{client_t:.3f} s", f"{curl_t:.3f} s",
         f"{client_t / curl_t:.3f}", "<= 1.15", verdict(client_t / curl_t <= 1.15)),
        ("   CPU time (user + system)", f"{median([m.cpu for m in clients]):.2f} s",
         f"{median([m.cpu for m in curls]):.2f} s", "", "", "(info)"),
    ]
    peaks.append(("nginx, 256 MiB", max(m.peak for m in clients)))
    for name, label in (("big.tar.gz", "256 MiB"), (f"pkg-{64 * MB}.tar.gz", "64 MiB")):
        host.point_at(name)
        status, anon, _ = benchlib.own_memory_peak(host.box, client_cmd("-v"))
        if status != 1:
            sys.exit(f"unexpected client run while sampling memory (status {status})")
        own.append((f"nginx, {label}", anon))
    return rows


def bench_encrypted(host, runs, ceiling_binary, peaks):
    """c: the 8 MiB encrypted package against openssl speed, sampled next
    to each run, and against a clear package of the same byte count."""
    cipher = encrypted_for_unit(host.collector, os.urandom(ENCRYPTED_CLEAR))
    with open(host.box.path(f"{DOCROOT}/encrypted.bin"), "wb") as out:
        out.write(cipher)
    write_package(host.box, "cipher-sized.tar.gz", None, body=cipher)
    reference = benchlib.Reference(ceiling_binary)
    host.point_at("encrypted.bin")
    encrypted = []
    for _ in range(runs):
        reference.sample()
        encrypted.append(host.client("encrypted.bin", len(cipher)))
    host.point_at("cipher-sized.tar.gz")
    clear = [host.client("cipher-sized.tar.gz", len(cipher)) for _ in range(runs)]
    peaks.append(("nginx, 8 MiB encrypted", max(m.peak for m in encrypted)))

    rows = []
    for kind, label, time_of in (("wall", "c. nginx, 8 MiB encrypted `v` run, wall",
                                  lambda m: m.wall),
                                 ("cpu", "   the same by CPU time", lambda m: m.cpu)):
        rate = ENCRYPTED_CLEAR / median([time_of(m) for m in encrypted])
        limit = reference.private(kind) * PIECE
        rows.append((label, fmt_rate(rate), fmt_rate(limit), f"{rate / limit:.3f}",
                     ">= 0.85", verdict(rate / limit >= 0.85)))
    by_cpu = ENCRYPTED_CLEAR / median([m.cpu for m in encrypted])
    limit = reference.ceiling("decrypt_pkcs1") * PIECE
    rows.append(("   by CPU time vs the library's own PKCS #1 v1.5 decryption",
                 fmt_rate(by_cpu), fmt_rate(limit), f"{by_cpu / limit:.3f}", "", "(info)"))
    encrypted_t, clear_t = median([m.wall for m in encrypted]), median([m.wall for m in clear])
    if encrypted_t > clear_t:
        alone = ENCRYPTED_CLEAR / (encrypted_t - clear_t)
        limit = reference.private("wall") * PIECE
        rows.append((f"   wall less a clear run of the same {len(cipher)} bytes "
                     f"({clear_t:.3f} s)", fmt_rate(alone), fmt_rate(limit),
                     f"{alone / limit:.3f}", "", "(info)"))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    benchlib.require_tools("/usr/sbin/nginx", "/usr/sbin/apache2", "/usr/bin/curl")
    print("download benchmark:", benchlib.machine_description(), flush=True)
    rows, peaks, own = [], [], []
    with tempfile.TemporaryDirectory(prefix="halvorpin-bench-") as workdir:
        for kind in SERVERS:
            host = Host(kind, workdir)
            try:
                rows += bench_sizes(host, args.runs, peaks)
                if kind == "nginx":
                    rows += bench_big(host, args.runs, peaks, own)
                    rows += bench_encrypted(host, args.runs, benchlib.build_ceiling(workdir),
                                            peaks)
            finally:
                host.close()
    for i, (label, peak) in enumerate(peaks):
        rows.append((f"d. peak RSS, {label}" if i == 0 else f"   {label}", fmt_bytes(peak),
                     "", "", "< 8 MiB", verdict(peak < MEMORY_TARGET)))
    rows += [(f"   {label}: own memory (anonymous RSS)", fmt_bytes(anon), "", "", "", "(info)")
             for label, anon in own]
    benchlib.print_table(
        f"median of {args.runs} runs each, interleaved with curl (HTTP/1.1, the test CA, to "
        "the same tmpfs). A `v` run includes its version query and ends with gunzip "
        "failing at once; download part: the whole run less the median up-to-date run. "
        f"Reference for c: `openssl speed rsa1024` private-key operations/s x {PIECE} bytes "
        "(wall: -elapsed; CPU: its default, user CPU time). Peak RSS from GNU time; "
        "1 MiB = 1048576 bytes. Keep-alive as shipped (nginx 75 s, apache 5 s).", rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
