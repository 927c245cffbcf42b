#!/usr/bin/python3
"""Package download benchmark: the client's `v` update path against curl,
block decryption against `openssl speed`, and peak memory.

    /usr/bin/python3 bench/download.py        (as root)

One sandboxed world holds an enrolled unit, the reference server as the
collection server (collector.test:8443) and Debian's nginx as the package
host (packages.test:9443, TLS, certificate from the test CA). The version
reply's locator points at nginx. Measured:

  a. wall time of a whole `v` run fetching a clear 256 MiB package, against
     curl fetching the same file from the same nginx to the same tmpfs;
     median of 3 each, interleaved. The package is random bytes, not gzip:
     the client downloads it completely and gunzip then fails at once
     (status 1), so decompression and unpacking stay out of the figure.
     Nothing is subtracted: the client's figure includes its version query.
  b. decryption throughput of a `v` run fetching an 8 MiB package encrypted
     block by block with the unit's key (117-byte pieces, 128-byte blocks,
     served without X-Encrypted), against the private-key operations per
     second of `openssl speed rsa1024` times 117 bytes, sampled before each
     run; once by wall-clock time (`openssl speed -elapsed`) and once by CPU
     time (the client's user + system time against openssl's default, user
     CPU time), the latter being steadier on a busy machine.
  c. peak resident memory (GNU time) of the client during the 256 MiB and a
     64 MiB download: it must not grow with the package.

Prints a table (measured, reference, ratio, target, PASS/MISS) and exits 0:
these are measurements, not tests.
"""

import hashlib
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
from benchlib import (MB, client_cmd, fmt_bytes, fmt_rate, measured_run, median,  # noqa: E402
                      verdict)
from cryptography.hazmat.primitives import serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import padding  # noqa: E402

PACKAGE_HOST = "packages.test"
PACKAGE_PORT = 9443
BIG = 256 * MB
MEDIUM = 64 * MB
ENCRYPTED_CLEAR = 8 * MB
RUNS = 3
PIECE = 117  # clear bytes per 128-byte block of a 1024-bit unit key

NGINX_CONF = """\
daemon off;
master_process off;
worker_processes 1;
pid /tmp/nginx/nginx.pid;
error_log /tmp/nginx/error.log;
events {{ worker_connections 64; }}
http {{
    access_log off;
    sendfile on;
    default_type application/octet-stream;
    client_body_temp_path /tmp/nginx/body;
    proxy_temp_path /tmp/nginx/proxy;
    fastcgi_temp_path /tmp/nginx/fastcgi;
    uwsgi_temp_path /tmp/nginx/uwsgi;
    scgi_temp_path /tmp/nginx/scgi;
    server {{
        listen {addr}:{port} ssl;
        server_name {host};
        ssl_certificate {cert};
        ssl_certificate_key {key};
        root /tmp/www;
        # Clear packages say so; anything else is taken as encrypted.
        location /clear/ {{ add_header X-Encrypted false; }}
        location /encrypted/ {{ }}
    }}
}}
"""


def write_random(box, path, size):
    """A file of random bytes inside the world; returns its SHA-256."""
    digest = hashlib.sha256()
    target = box.path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    with open(target, "wb") as out:
        for _ in range(size // (16 * MB)):
            chunk = os.urandom(16 * MB)
            digest.update(chunk)
            out.write(chunk)
    return digest.hexdigest()


def encrypt_for_unit(server, clear):
    """The package as the collection server would encrypt it for this unit:
    117-byte pieces, each one PKCS #1 v1.5 block under the unit's key."""
    (unit_pem,) = (server.state / "units").glob("*.pem")
    key = serialization.load_pem_public_key(unit_pem.read_bytes())
    pkcs1 = padding.PKCS1v15()
    return b"".join(key.encrypt(clear[i:i + PIECE], pkcs1) for i in range(0, len(clear), PIECE))


def start_nginx(box, pki):
    cert, key = pki.issue(PACKAGE_HOST)
    conf = NGINX_CONF.format(addr=box.hosts[PACKAGE_HOST], port=PACKAGE_PORT,
                             host=PACKAGE_HOST, cert=cert, key=key)
    box.write("/tmp/nginx/nginx.conf", conf)
    box.write("/tmp/www/clear/ready", "ready\n")
    with open(box.workdir / "nginx.out", "wb") as log:
        box.popen(["/usr/sbin/nginx", "-p", "/tmp/nginx/", "-e", "/tmp/nginx/error.log",
                   "-c", "/tmp/nginx/nginx.conf"], stdout=log, stderr=log)
    url = f"https://{PACKAGE_HOST}:{PACKAGE_PORT}/clear/ready"
    for _ in range(200):
        probe = box.run(["curl", "-sS", "--cacert", "/etc/ca-bundle.crt", url])
        if probe.returncode == 0 and probe.stdout == b"ready\n":
            return
        time.sleep(0.05)
    error_log = box.read("/tmp/nginx/error.log").decode(errors="replace") \
        if box.exists("/tmp/nginx/error.log") else ""
    sys.exit(f"nginx did not come up: {probe!r}\n{error_log}")


def point_locator_at(server, path):
    # A version other than the installed 1.0 makes every `v` run download;
    # the download never installs (gunzip fails), so the version stays 1.0.
    server.set_config({"version": "2.0",
                       "locator": f"https://{PACKAGE_HOST}:{PACKAGE_PORT}{path}"})


def client_download(box, expect_size):
    """One measured `v` run (benchlib.Measured), checked: the package was
    fetched whole, then gunzip failed (status 1); the client removes it."""
    measured = measured_run(box, client_cmd("-v"))
    if measured.run.returncode != 1 or not measured.run.stderr.endswith(benchlib.FETCHED_WHOLE):
        sys.exit(f"unexpected client run (want the {expect_size} bytes fetched whole, "
                 f"then status 1 from gunzip): {measured.run!r}")
    return measured


def curl_download(box, path, expect_size):
    box.remove("/tmp/curl.out")
    url = f"https://{PACKAGE_HOST}:{PACKAGE_PORT}{path}"
    measured = measured_run(box, ["curl", "-sS", "--fail", "--cacert", "/etc/ca-bundle.crt",
                                  "-o", "/tmp/curl.out", url])
    size = box.path("/tmp/curl.out").stat().st_size if box.exists("/tmp/curl.out") else None
    if measured.run.returncode != 0 or size != expect_size:
        sys.exit(f"unexpected curl run ({size} bytes): {measured.run!r}")
    return measured


def bench_clear(box, server):
    """(a): the 256 MiB clear package, client against curl; also returns the
    client's peak memory for (c)."""
    write_random(box, "/tmp/www/clear/big.bin", BIG)
    point_locator_at(server, "/clear/big.bin")
    curl_download(box, "/clear/big.bin", BIG)  # warm-up, not counted
    client_download(box, BIG)
    curl_runs, client_runs = [], []
    for _ in range(RUNS):  # interleaved: both see the same load
        curl_runs.append(curl_download(box, "/clear/big.bin", BIG))
        client_runs.append(client_download(box, BIG))
    box.remove("/tmp/www/clear/big.bin")
    client_t = median([m.wall for m in client_runs])
    curl_t = median([m.wall for m in curl_runs])
    ratio = client_t / curl_t
    rows = [
        ("a. 256 MiB clear: `v` run vs curl, wall", f"{client_t:.3f} s", f"{curl_t:.3f} s",
         f"{ratio:.3f}", "<= 1.15", verdict(ratio <= 1.15)),
        ("   the same as throughput", fmt_rate(BIG / client_t), fmt_rate(BIG / curl_t),
         "", "", ""),
        ("   CPU time (user + system)", f"{median([m.cpu for m in client_runs]):.2f} s",
         f"{median([m.cpu for m in curl_runs]):.2f} s", "", "", "(info)"),
    ]
    return rows, max(m.peak for m in client_runs)


def bench_encrypted(box, server, ceiling_binary):
    """(b): the 8 MiB encrypted package against openssl speed, sampled next
    to each run; also returns the client's peak memory for (c)."""
    clear = os.urandom(ENCRYPTED_CLEAR)
    cipher = encrypt_for_unit(server, clear)
    box.write("/tmp/www/encrypted/package.bin", cipher)
    box.write("/tmp/www/clear/cipher-sized.bin", cipher)  # the same bytes, sent as clear
    reference = benchlib.Reference(ceiling_binary)
    point_locator_at(server, "/encrypted/package.bin")
    runs = []
    for _ in range(RUNS):
        reference.sample()
        runs.append(client_download(box, ENCRYPTED_CLEAR))
    point_locator_at(server, "/clear/cipher-sized.bin")
    transfer = [client_download(box, len(cipher)) for _ in range(RUNS)]

    rows = []
    for kind, label, time_of in (("wall", "b. 8 MiB encrypted `v` run, wall", lambda m: m.wall),
                                 ("cpu", "   the same by CPU time", lambda m: m.cpu)):
        measured = ENCRYPTED_CLEAR / median([time_of(m) for m in runs])
        limit = reference.private(kind) * PIECE
        rows.append((label, fmt_rate(measured), fmt_rate(limit), f"{measured / limit:.3f}",
                     ">= 0.85", verdict(measured / limit >= 0.85)))
    by_cpu = ENCRYPTED_CLEAR / median([m.cpu for m in runs])
    limit = reference.ceiling("decrypt_pkcs1") * PIECE
    rows.append(("   by CPU time vs the library's own", fmt_rate(by_cpu), fmt_rate(limit),
                 f"{by_cpu / limit:.3f}", "", "(info)"))
    rows.append(("   PKCS #1 v1.5 decryption (rsa_ceiling)", "", "", "", "", ""))
    enc_t = median([m.wall for m in runs])
    transfer_t = median([m.wall for m in transfer])
    if enc_t > transfer_t:
        alone = ENCRYPTED_CLEAR / (enc_t - transfer_t)
        limit = reference.private("wall") * PIECE
        rows.append(("   wall minus a clear run of the same", fmt_rate(alone), fmt_rate(limit),
                     f"{alone / limit:.3f}", "", "(info)"))
        rows.append((f"   {len(cipher)} bytes ({transfer_t:.3f} s)", "", "", "", "", ""))
    return rows, max(m.peak for m in runs)


def bench(box, server, pki, workdir):
    start_nginx(box, pki)
    ceiling_binary = benchlib.build_ceiling(workdir)
    rows, big_peak = bench_clear(box, server)
    encrypted_rows, encrypted_peak = bench_encrypted(box, server, ceiling_binary)
    rows += encrypted_rows

    # (c) peak memory: the 256 MiB runs above, a 64 MiB run, the 8 MiB ones.
    write_random(box, "/tmp/www/clear/medium.bin", MEDIUM)
    point_locator_at(server, "/clear/medium.bin")
    medium_peak = client_download(box, MEDIUM).peak
    for label, peak in (("c. peak RSS, 256 MiB clear download", big_peak),
                        ("   peak RSS, 64 MiB clear download", medium_peak),
                        ("   peak RSS, 8 MiB encrypted download", encrypted_peak)):
        rows.append((label, fmt_bytes(peak), "", "", "< 8 MiB", verdict(peak < 8 * MB)))
    # The figures above include the shared library pages the process maps;
    # the client's own memory is its anonymous part.
    for label, path, size in (("   own memory (anonymous RSS), 256 MiB", "/clear/big.bin", BIG),
                              ("   own memory (anonymous RSS), 64 MiB", "/clear/medium.bin",
                               MEDIUM)):
        if size == BIG:
            write_random(box, "/tmp/www/clear/big.bin", BIG)
        point_locator_at(server, path)
        status, anon, _ = benchlib.own_memory_peak(box, client_cmd("-v"))
        if status != 1:
            sys.exit(f"unexpected client run while sampling memory (status {status})")
        rows.append((label, fmt_bytes(anon), "", "", "", "(info)"))
    return rows


def main():
    benchlib.require_tools("/usr/sbin/nginx", "/usr/bin/curl")
    print("download benchmark:", benchlib.machine_description(), flush=True)
    with tempfile.TemporaryDirectory(prefix="halvorpin-bench-") as workdir:
        box, server, pki = benchlib.enrolled_world(workdir)
        try:
            rows = bench(box, server, pki, workdir)
        finally:
            box.close()
    benchlib.print_table(
        f"median of {RUNS} runs each. Times are whole runs, nothing subtracted: a `v` run "
        "includes its version query and ends with gunzip failing at once on the non-gzip "
        "package. Reference for b: `openssl speed rsa1024` private-key operations/s x "
        f"{PIECE} bytes, sampled before each run (wall: -elapsed; CPU: its default, user "
        "CPU time). Peak RSS from GNU time; 1 MiB = 1048576 bytes.", rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
