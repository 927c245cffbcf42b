#!/usr/bin/python3
"""A TLS HTTP peer that gives one scripted reply to every request: a package
host that misbehaves in ways stock web servers do only by accident (a reply
cut short, a broken chunk, a body that trickles), or a plain one whose
request record and SNI the cases read.

As a program, run inside a world (Sandbox.popen):

    httppeer.py --listen ADDR:PORT --cert C --key K --reply FILE --record FILE
                [--at-once N] [--drip-every S] [--drip-size B]
                [--then close|hold] [--hold S]

For each connection it completes the TLS handshake, reads the request up to
its blank line, appends {"sni", "raw_b64"} as one JSON line to the record,
then sends the reply: its first N bytes at once (default all), the rest B
bytes (default 1) every S seconds. Then it closes the connection with a TLS close
notification (`close`), or keeps it open, reading and dropping what comes,
for at most --hold seconds (`hold`, as a keep-alive server does). Everything
it does is bounded: a drip ends with the reply, a hold after --hold seconds.

As a module, the tests start peers with start_peer() and the reply makers
below, or with the three ready-made misbehaving peers: start_cut_short_peer,
start_broken_chunk_peer and start_trickling_peer.
"""

import argparse
import base64
import json
import select
import socket
import ssl
import sys
import threading
import time
from pathlib import Path

from refserver import close_tls  # the lab's one way to end a TLS connection

HEAD_LIMIT = 64 * 1024
REQUEST_TIMEOUT = 10


# ---------------------------------------------------------------- replies --

def head(status="200 OK", headers=()):
    """A reply's status line and header block, with its blank line."""
    lines = [f"HTTP/1.1 {status}", *(f"{name}: {value}" for name, value in headers)]
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


def length_reply(body, status="200 OK", announced=None):
    """A reply announcing Content-Length `announced` (default the body's)."""
    return head(status, [("Content-Length", len(body) if announced is None else announced),
                         ("Content-Type", "application/octet-stream")]) + body


def chunked_reply(body, pieces=3, extensions=False, trailers=False):
    """The body in `pieces` chunks; optionally with chunk extensions on every
    size line and a trailer field after the last chunk."""
    step = max(1, -(-len(body) // pieces))
    out = head("200 OK", [("Transfer-Encoding", "chunked"),
                          ("Content-Type", "application/octet-stream")])
    extension = b";lab=1;note=\"a b\"" if extensions else b""
    for start in range(0, len(body), step):
        piece = body[start:start + step]
        out += b"%x%s\r\n%s\r\n" % (len(piece), extension, piece)
    out += b"0" + extension + b"\r\n"
    if trailers:
        out += b"X-Lab-Trailer: done\r\n"
    return out + b"\r\n"


def broken_chunk_reply(body):
    """A chunked reply whose first chunk is whole and whose second chunk's
    size line is not a hexadecimal number; the rest of the body and a last
    chunk follow it, as if nothing were wrong."""
    half = len(body) // 2
    return (head("200 OK", [("Transfer-Encoding", "chunked")]) +
            b"%x\r\n%s\r\n" % (half, body[:half]) +
            b"zz\r\n%s\r\n0\r\n\r\n" % body[half:])


# ------------------------------------------------------------ in a world --

class Peer:
    """A peer running in a world; requests() is its record."""

    def __init__(self, proc, addr, port, record):
        self.name = f"httppeer {addr}:{port}"
        self.proc = proc
        self.addr = addr
        self.port = port
        self.record = Path(record)

    def requests(self):
        """[{"sni": name or None, "raw": request bytes}], oldest first."""
        if not self.record.exists():
            return []
        entries = [json.loads(line) for line in self.record.read_text().splitlines() if line]
        return [{"sni": e["sni"], "raw": base64.b64decode(e["raw_b64"])} for e in entries]

    def describe(self):
        """The requests received, for a failed case's report."""
        return "\n".join(repr(r) for r in self.requests()) or "(no request)"


def start_peer(box, name_or_addr, port, cert, reply, *, at_once=None, drip_every=2.0,
               drip_size=1, then="close", hold=60):
    """Starts a peer inside box on the address of name_or_addr (a name of the
    world's hosts, or an address) with cert (pki.Issued) that answers every
    request with the bytes `reply`; returns a Peer once it listens."""
    from sandbox import PYTHON, _wait_for_line  # the lab's own helpers

    addr = box.hosts.get(name_or_addr, name_or_addr)
    addr = addr if isinstance(addr, str) else addr[0]
    stem = f"httppeer-{addr}-{port}"
    reply_file = box.workdir / f"{stem}.reply"
    reply_file.write_bytes(reply)
    record = box.workdir / f"{stem}.jsonl"
    record.write_bytes(b"")
    out_path, log_path = box.workdir / f"{stem}.out", box.workdir / f"{stem}.log"
    cmd = [PYTHON, Path(__file__).resolve(), "--listen", f"{addr}:{port}",
           "--cert", cert.cert, "--key", cert.key, "--reply", reply_file,
           "--record", record, "--drip-every", drip_every, "--drip-size", drip_size,
           "--then", then, "--hold", hold]
    if at_once is not None:
        cmd += ["--at-once", at_once]
    with open(out_path, "wb") as out, open(log_path, "wb") as log:
        proc = box.popen(cmd, stdout=out, stderr=log)
    _wait_for_line(proc, stem, out_path, b"READY", timeout=30, log=log_path)
    return Peer(proc, addr, port, record)


def start_cut_short_peer(box, name, port, cert, body, announced):
    """Announces Content-Length `announced`, sends `body` (shorter) and closes."""
    assert len(body) < announced
    return start_peer(box, name, port, cert, length_reply(body, announced=announced))


def start_broken_chunk_peer(box, name, port, cert, body):
    """Sends `body` chunked with a broken second chunk (broken_chunk_reply), then closes."""
    return start_peer(box, name, port, cert, broken_chunk_reply(body))


def start_trickling_peer(box, name, port, cert, body, every=2.0, size=1, fast=0):
    """Sends a 200 header announcing `body` and the body's first `fast` bytes
    at once, then the rest `size` bytes every `every` seconds, then closes."""
    reply = length_reply(body)
    return start_peer(box, name, port, cert, reply, at_once=len(reply) - len(body) + fast,
                      drip_every=every, drip_size=size)


# ----------------------------------------------------------------- server --

def read_head(tls):
    data = b""
    deadline = time.monotonic() + REQUEST_TIMEOUT
    while b"\r\n\r\n" not in data and len(data) < HEAD_LIMIT:
        tls.settimeout(max(0.01, deadline - time.monotonic()))
        chunk = tls.recv(HEAD_LIMIT)
        if not chunk:
            break
        data += chunk
    return data


def serve_connection(args, context, sock, lock):
    sock.settimeout(REQUEST_TIMEOUT)
    try:
        tls = context.wrap_socket(sock, server_side=True)
    except (OSError, ssl.SSLError):
        sock.close()
        return
    try:
        raw = read_head(tls)
        if not raw:
            close_tls(tls, notify=True)
            return
        with lock, open(args.record, "a") as record:
            record.write(json.dumps({"sni": getattr(tls, "sni", None), "raw_b64": base64.b64encode(raw).decode()})
                         + "\n")
        reply = Path(args.reply).read_bytes()
        at_once = len(reply) if args.at_once is None else args.at_once
        tls.settimeout(REQUEST_TIMEOUT)
        tls.sendall(reply[:at_once])
        for index in range(at_once, len(reply), args.drip_size):
            time.sleep(args.drip_every)
            tls.sendall(reply[index:index + args.drip_size])
        if args.then == "hold":
            deadline = time.monotonic() + args.hold
            tls.setblocking(False)
            while time.monotonic() < deadline:
                if select.select([tls], [], [], max(0, deadline - time.monotonic()))[0]:
                    try:
                        if not tls.recv(65536):
                            break
                    except ssl.SSLWantReadError:
                        continue
        close_tls(tls, notify=True)
    except (OSError, ssl.SSLError):
        try:
            tls.close()
        except OSError:
            pass


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--listen", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--reply", required=True)
    parser.add_argument("--record", required=True)
    parser.add_argument("--at-once", type=int)
    parser.add_argument("--drip-every", type=float, default=2.0)
    parser.add_argument("--drip-size", type=int, default=1)
    parser.add_argument("--then", choices=["close", "hold"], default="close")
    parser.add_argument("--hold", type=float, default=60)
    args = parser.parse_args(argv)

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)

    def note_sni(tls, name, _context):
        tls.sni = name  # None when the client sent no server name
    context.sni_callback = note_sni

    addr, port = args.listen.rsplit(":", 1)
    server = socket.create_server((addr, int(port)), backlog=16)
    print("READY", flush=True)
    lock = threading.Lock()
    while True:
        sock, _ = server.accept()
        threading.Thread(target=serve_connection, args=(args, context, sock, lock),
                         daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
