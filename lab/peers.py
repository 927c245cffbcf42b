#!/usr/bin/python3
"""Peers that misbehave on purpose, for the unit to meet inside a world: one
program, a subcommand for each kind.

    peers.py listener  --listen ADDR:PORT --record FILE
    peers.py blackhole --listen ADDR:PORT
    peers.py relay     --listen ADDR:PORT --first PORT --later PORT
    peers.py trickler  --listen ADDR:PORT
    peers.py deaf      --listen ADDR:PORT --cert C --key K
    peers.py http      --listen ADDR:PORT --cert C --key K --reply FILE --record FILE
                       [--at-once N] [--drip-every S] [--drip-size B]
                       [--then close|hold] [--hold S]

listener: accepts every TCP connection and closes it at once, appending the
  client's ADDR:PORT to the record (did the unit try to connect at all?).
blackhole: a full accept queue that is never drained; a connect gets no answer.
relay: an attacker on the path, handing the first connection to ADDR:FIRST
  and every later one to ADDR:LATER.
trickler: a TLS record header and then one byte a second, forever.
deaf: completes every TLS handshake and never reads: the unit's sends block.
http: reads each request (its head and Content-Length bytes of body), appends
  {"sni", "raw_b64", "body", "resumed"} as a JSON line to the record, then
  sends the reply file's first N bytes at once (default all) and the rest B
  bytes (default 1) every S seconds; then closes with a TLS close
  notification, or holds the connection, reading and dropping what comes,
  for at most --hold seconds (as a keep-alive server does). A trickle ends
  with its reply, a hold after --hold seconds.

Each prints "READY <port>" once it listens (port 0 picks one), as the
reference server does, and runs until it is killed. From a test, the
functions below start the TLS kinds inside a world (a lab/sandbox.py
Sandbox); the world's own start_listener, start_blackhole, start_relay and
start_trickler start the others.
"""

import argparse
import base64
import itertools
import json
import re
import select
import socket
import ssl
import sys
import threading
import time
from pathlib import Path

from refserver import close_tls, parse_listen  # the lab's one way to end a TLS connection

HEAD_LIMIT = 64 * 1024
REQUEST_TIMEOUT = 10
CONTENT_LENGTH = re.compile(rb"^content-length:[ \t]*([0-9]+)[ \t]*\r?$", re.I | re.M)
TLS_RECORD_HEAD = b"\x16\x03\x03\x40\x00"  # a handshake record of 16 KiB


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
    """An http peer running in a world; requests() is its record."""

    def __init__(self, proc, addr, port, record):
        self.name = f"http peer {addr}:{port}"
        self.proc = proc
        self.addr = addr
        self.port = port
        self.record = Path(record)

    def requests(self):
        """[{"sni": name or None, "raw": request head, "body": body bytes
        received, "resumed": whether the TLS session was resumed}], oldest first."""
        entries = [json.loads(line) for line in self.record.read_text().splitlines() if line]
        for entry in entries:
            entry["raw"] = base64.b64decode(entry.pop("raw_b64"))
        return entries

    def describe(self):
        """The requests received, for a failed case's report."""
        return "\n".join(repr(r) for r in self.requests()) or "(no request)"


def start_peer(box, name_or_addr, port, cert, reply, *, at_once=None, drip_every=2.0,
               drip_size=1, then="close", hold=60):
    """Starts an http peer inside box on the address of name_or_addr (a name
    of the world's hosts, or an address) with cert (pki.issue()'s pair) that
    answers every request with the bytes `reply`; returns a Peer once it listens."""
    addr = box.address(name_or_addr)
    stem = box.workdir / f"http-{addr}-{port}"
    reply_file, record = Path(f"{stem}.reply"), Path(f"{stem}.jsonl")
    reply_file.write_bytes(reply)
    record.write_bytes(b"")
    options = ["--cert", cert.cert, "--key", cert.key, "--reply", reply_file,
               "--record", record, "--drip-every", drip_every, "--drip-size", drip_size,
               "--then", then, "--hold", hold]
    if at_once is not None:
        options += ["--at-once", at_once]
    proc, port = box.launch_peer("http", addr, port, *options)
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


def start_deaf_peer(box, name_or_addr, port, cert):
    """A deaf peer inside box; returns its process once it listens."""
    return box.launch_peer("deaf", name_or_addr, port, "--cert", cert.cert,
                           "--key", cert.key)[0]


# ---------------------------------------------------------------- serving --

def listen(args, backlog=16):
    host, port, family = args.listen
    return socket.create_server((host, port), family=family, backlog=backlog)


def ready(listener):
    """The line Sandbox.launch_peer waits for, as the reference server prints it."""
    print(f"READY {listener.getsockname()[1]}", flush=True)


def serve(listener, handle, *args):
    """Hands every connection to handle(connection, *args) in a thread of its own."""
    ready(listener)
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=handle, args=(connection, *args), daemon=True).start()


def serve_tls(args, handle):
    """serve() with a TLS handshake first; handle(tls, args) gets the connection.
    One context for every connection, so sessions resume."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)

    def note_sni(tls, name, _context):
        tls.sni = name  # None when the client sent no server name
    context.sni_callback = note_sni
    serve(listen(args), handshake, context, handle, args)


def handshake(connection, context, handle, args):
    connection.settimeout(REQUEST_TIMEOUT)
    try:
        tls = context.wrap_socket(connection, server_side=True)
    except (OSError, ssl.SSLError):
        connection.close()
        return
    handle(tls, args)


# ------------------------------------------------------------------ kinds --

def run_listener(args):
    listener = listen(args)
    ready(listener)
    with open(args.record, "a") as record:
        while True:
            connection, peer = listener.accept()
            record.write("%s:%d\n" % peer[:2])
            record.flush()
            connection.close()


def run_blackhole(args):
    listener = listen(args, backlog=0)
    # With a backlog of 0 one established connection fills the queue.
    with socket.create_connection(listener.getsockname()[:2], timeout=5):
        ready(listener)
        threading.Event().wait()


def run_relay(args):
    listener = listen(args)
    ready(listener)
    host = args.listen[0]
    for n in itertools.count():
        connection, _ = listener.accept()
        try:
            upstream = socket.create_connection((host, args.first if n == 0 else args.later))
        except OSError:
            connection.close()
            continue
        for pair in ((connection, upstream), (upstream, connection)):
            threading.Thread(target=pump, args=pair, daemon=True).start()


def pump(source, sink):
    try:
        while data := source.recv(65536):
            sink.sendall(data)
    except OSError:
        pass
    for end in (source, sink):
        try:
            end.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def run_trickler(args):
    serve(listen(args), trickle)


def trickle(connection):
    try:
        for byte in TLS_RECORD_HEAD + bytes(16384):
            connection.send(bytes([byte]))
            time.sleep(1)
    except OSError:
        pass


def run_deaf(args):
    # Each connection stays referenced by its waiting thread, open and unread.
    serve_tls(args, lambda tls, _args: threading.Event().wait())


def run_http(args):
    serve_tls(args, answer)


RECORD_LOCK = threading.Lock()


def answer(tls, args):
    try:
        raw, body = read_request(tls)
        if not raw:
            close_tls(tls, notify=True)
            return
        entry = {"sni": getattr(tls, "sni", None), "raw_b64": base64.b64encode(raw).decode(),
                 "body": body, "resumed": tls.session_reused}
        with RECORD_LOCK, open(args.record, "a") as record:
            record.write(json.dumps(entry) + "\n")
        reply = Path(args.reply).read_bytes()
        at_once = len(reply) if args.at_once is None else args.at_once
        tls.sendall(reply[:at_once])
        for index in range(at_once, len(reply), args.drip_size):
            time.sleep(args.drip_every)
            tls.sendall(reply[index:index + args.drip_size])
        if args.then == "hold":
            drain(tls, args.hold)
        close_tls(tls, notify=True)
    except (OSError, ssl.SSLError):
        close_tls(tls, notify=False)


def read_request(tls):
    """(the request head up to its blank line, the number of body bytes
    received after it: its Content-Length, or fewer where the client stopped)."""
    data = b""
    deadline = time.monotonic() + REQUEST_TIMEOUT
    while b"\r\n\r\n" not in data and len(data) < HEAD_LIMIT:
        tls.settimeout(max(0.01, deadline - time.monotonic()))
        chunk = tls.recv(HEAD_LIMIT)
        if not chunk:
            break
        data += chunk
    tls.settimeout(REQUEST_TIMEOUT)
    end = data.find(b"\r\n\r\n")
    if end < 0:
        return data, 0
    raw, received = data[:end + 4], len(data) - end - 4
    match = CONTENT_LENGTH.search(raw)
    expected = int(match.group(1)) if match else 0
    buffer = bytearray(min(expected, 1 << 20))  # the body is counted, never kept
    while received < expected:
        n = tls.recv_into(buffer, min(len(buffer), expected - received))
        if n == 0:
            break
        received += n
    return raw, received


def drain(tls, seconds):
    """Reads and drops what comes for at most `seconds`, or until the client closes."""
    deadline = time.monotonic() + seconds
    tls.setblocking(False)
    while time.monotonic() < deadline:
        if select.select([tls], [], [], max(0, deadline - time.monotonic()))[0]:
            try:
                if not tls.recv(65536):
                    break
            except ssl.SSLWantReadError:
                continue


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    subcommands = parser.add_subparsers(dest="kind", required=True)
    kinds = {}
    for kind in ("listener", "blackhole", "relay", "trickler", "deaf", "http"):
        kinds[kind] = subcommands.add_parser(kind)
        kinds[kind].set_defaults(run=globals()[f"run_{kind}"])
        kinds[kind].add_argument("--listen", required=True, type=parse_listen, help="ADDR:PORT")
    for kind, option in (("listener", "--record"), ("deaf", "--cert"), ("deaf", "--key"),
                         ("http", "--cert"), ("http", "--key"), ("http", "--reply"),
                         ("http", "--record")):
        kinds[kind].add_argument(option, required=True)
    kinds["relay"].add_argument("--first", required=True, type=int)
    kinds["relay"].add_argument("--later", required=True, type=int)
    http = kinds["http"]
    http.add_argument("--at-once", type=int)
    http.add_argument("--drip-every", type=float, default=2.0)
    http.add_argument("--drip-size", type=int, default=1)
    http.add_argument("--then", choices=["close", "hold"], default="close")
    http.add_argument("--hold", type=float, default=60)
    args = parser.parse_args(argv)
    args.run(args)


if __name__ == "__main__":
    sys.exit(main())
