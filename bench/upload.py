#!/usr/bin/python3
"""Encrypted results upload benchmark: throughput against `openssl speed`
and peak memory.

    /usr/bin/python3 bench/upload.py        (as root)

One sandboxed world holds a unit enrolled with the reference server; the
reference server then makes way for the lab's http peer (lab/peers.py) as a
sink on collector.test:8443, which reads each request's bytes and answers
"HTTP/1.1 200 OK" without decrypting anything, so the server's cost does not
count. The unit uploads a 16 MiB results file (as much as one run reads)
with `S` (encrypted) and SUBMIT_MAX_LINES=100000; the lines are 116 bytes
long, one full block of clear text each, so every public-key operation
carries as many bytes as the reference assumes. Measured:

  - throughput: clear bytes / whole run, against the public-key operations
    per second of `openssl speed rsa1024` times 116 bytes, sampled before
    each run; by wall-clock time (`openssl speed -elapsed`) and by CPU time
    (the client's user + system time against openssl's default, user CPU
    time), the latter being steadier on a busy machine. Median of 3 runs.
  - peak resident memory (GNU time) against 2 x 1,000,000 bytes (the two
    request buffers) + 4 MiB; and the client's own (anonymous) memory.
  - for comparison, the same file uploaded in clear (`s`): the part of the
    run that is not RSA.

Prints a table (measured, reference, ratio, target, PASS/MISS) and exits 0:
these are measurements, not tests.
"""

import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
from benchlib import (COLLECTOR, MB, client_cmd, fmt_bytes, fmt_rate, measured_run,  # noqa: E402
                      median, verdict)
from peers import start_peer  # noqa: E402

SINK_REPLY = b"HTTP/1.1 200 OK\r\n\r\n"
LINE_BYTES = 116  # clear bytes per block for a 1024-bit server key
RUN_SHARE = 16 * MB  # the most of its input one run reads: the whole file goes in one run
LINES = RUN_SHARE // LINE_BYTES
RUNS = 3
MAX_LINES = 100000
MEMORY_LIMIT = 2 * 1_000_000 + 4 * MB


def results_file():
    """LINES lines of LINE_BYTES bytes each, line feed included."""
    lines = []
    for i in range(LINES):
        head = f"2024-05-02T10:00:00Z,result={i:09d},rtt_ms={i % 997}.{i % 10},"
        lines.append(head.ljust(LINE_BYTES - 1, "x") + "\n")
    return "".join(lines).encode()


def upload(box, data, letter, sink):
    """One measured upload run, checked: status 0, the file gone, and every
    request's body received whole."""
    box.write("/tmp/output", data)
    sink.record.write_text("")
    measured = measured_run(box, client_cmd(f"-{letter}"),
                            env={"SUBMIT_MAX_LINES": str(MAX_LINES)})
    check_upload(box, measured.run.returncode, letter, sink, len(data))
    return measured


def check_upload(box, status, letter, sink, size):
    requests = sink.requests()
    body = sum(r["body"] for r in requests)
    expected = size // LINE_BYTES * 128 if letter == "S" else size
    if status != 0 or box.exists("/tmp/output") or body != expected:
        sys.exit(f"unexpected upload: status {status}, {len(requests)} requests, "
                 f"{body} body bytes (want {expected})")
    return len(requests), sum(r["resumed"] for r in requests)


def bench(box, pki, workdir):
    sink = start_peer(box, COLLECTOR, 8443, pki.issue(COLLECTOR), SINK_REPLY)
    data = results_file()
    upload(box, data, "S", sink)  # warm-up, not counted
    requests, resumed = check_upload(box, 0, "S", sink, len(data))
    reference = benchlib.Reference(benchlib.build_ceiling(workdir))
    runs = []
    for _ in range(RUNS):
        reference.sample()
        runs.append(upload(box, data, "S", sink))
    clear_runs = [upload(box, data, "s", sink) for _ in range(RUNS)]

    rows = []
    for kind, label, time_of in (("wall", "16 MiB encrypted `S` upload, wall", lambda m: m.wall),
                                 ("cpu", "   the same by CPU time", lambda m: m.cpu)):
        measured = len(data) / median([time_of(m) for m in runs])
        limit = reference.public(kind) * LINE_BYTES
        rows.append((label, fmt_rate(measured), fmt_rate(limit), f"{measured / limit:.3f}",
                     ">= 0.85", verdict(measured / limit >= 0.85)))
    by_cpu = len(data) / median([m.cpu for m in runs])
    limit = reference.ceiling("encrypt_pkcs1") * LINE_BYTES
    rows.append(("   by CPU time vs the library's own", fmt_rate(by_cpu), fmt_rate(limit),
                 f"{by_cpu / limit:.3f}", "", "(info)"))
    rows.append(("   PKCS #1 v1.5 encryption (rsa_ceiling)", "", "", "", "", ""))
    raw = reference.ceiling("public_raw") * LINE_BYTES
    rows.append(("   the library's PKCS #1 v1.5 encryption", fmt_rate(limit), fmt_rate(raw),
                 f"{limit / raw:.3f}", "", "(info)"))
    rows.append(("   vs its bare public-key operation", "", "", "", "", ""))
    clear_wall = median([m.wall for m in clear_runs])
    rows.append(("   clear `s` upload of the same file, wall", fmt_rate(len(data) / clear_wall),
                 "", "", "", "(info)"))
    peak = max(m.peak for m in runs)
    rows.append(("peak RSS (GNU time), encrypted upload", fmt_bytes(peak),
                 fmt_bytes(MEMORY_LIMIT), f"{peak / MEMORY_LIMIT:.3f}", "<= 1.000",
                 verdict(peak <= MEMORY_LIMIT)))
    box.write("/tmp/output", data)
    sink.record.write_text("")
    status, anon, total = benchlib.own_memory_peak(
        box, client_cmd("-S"), env={"SUBMIT_MAX_LINES": str(MAX_LINES)})
    check_upload(box, status, "S", sink, len(data))
    rows.append(("   own memory (anonymous RSS, sampled)", fmt_bytes(anon), "", "", "", "(info)"))
    rows.append(("   total RSS, same sampling", fmt_bytes(total), "", "", "", "(info)"))
    return rows, f"{requests} requests per upload, {resumed} of them on a resumed TLS session"


def main():
    benchlib.require_tools()
    print("upload benchmark:", benchlib.machine_description(), flush=True)
    with tempfile.TemporaryDirectory(prefix="halvorpin-bench-") as workdir:
        box, server, pki = benchlib.enrolled_world(workdir)
        try:
            server.stop()  # the sink takes its place; the unit keeps the server's key
            rows, note = bench(box, pki, workdir)
        finally:
            box.close()
    benchlib.print_table(
        f"median of {RUNS} runs; {LINES} lines of {LINE_BYTES} bytes "
        f"({LINES * LINE_BYTES} bytes), SUBMIT_MAX_LINES={MAX_LINES}, {note}. Times are "
        "whole runs. Reference: `openssl speed rsa1024` public-key operations/s x "
        f"{LINE_BYTES} bytes, sampled before each run (wall: -elapsed; CPU: its default, "
        "user CPU time). 1 MiB = 1048576 bytes.", rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
