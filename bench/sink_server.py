#!/usr/bin/python3
"""A minimal TLS upload sink for the upload benchmark.

    sink_server.py --listen ADDR:PORT --cert CERT --key KEY --log FILE

Serves one request per connection, sequentially: reads the head up to the
empty line, then exactly Content-Length body bytes (discarded, never
decrypted, so the server's own cost stays out of the client's figures),
answers "HTTP/1.1 200 OK" and closes. Appends one line per request to the
log file: "<request line> <body bytes received> <TLS session resumed>". Prints READY once
listening. One TLS context for every connection, so sessions resume.
"""

import argparse
import re
import select
import socket
import ssl
import sys

REPLY = b"HTTP/1.1 200 OK\r\n\r\n"
CONTENT_LENGTH = re.compile(rb"^content-length:[ \t]*([0-9]+)[ \t]*$", re.IGNORECASE | re.MULTILINE)


def read_request(tls):
    """Returns (request line, body bytes received)."""
    head = bytearray()
    while b"\r\n\r\n" not in head:
        chunk = tls.recv(65536)
        if not chunk:
            return bytes(head.split(b"\r\n", 1)[0]), 0
        head += chunk
    end = head.index(b"\r\n\r\n")
    match = CONTENT_LENGTH.search(bytes(head[:end]))
    expected = int(match.group(1)) if match else 0
    received = len(head) - end - 4
    buffer = bytearray(1 << 20)
    while received < expected:
        n = tls.recv_into(buffer, min(len(buffer), expected - received))
        if n == 0:
            break
        received += n
    return bytes(head.split(b"\r\n", 1)[0]), received


def close(tls):
    # Our close notification goes out; the client's is not waited for.
    try:
        tls.setblocking(False)
        try:
            tls.unwrap()
        except (ssl.SSLWantReadError, ssl.SSLWantWriteError):
            select.select([], [tls], [], 5)
    except (OSError, ValueError, ssl.SSLError):
        pass
    try:
        tls.close()
    except OSError:
        pass


def main():
    parser = argparse.ArgumentParser(description="TLS upload sink for the benchmarks")
    parser.add_argument("--listen", required=True, help="ADDR:PORT")
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--log", required=True, help="one line per request")
    args = parser.parse_args()
    host, _, port = args.listen.rpartition(":")
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((host, int(port)))
    listener.listen(16)
    print("READY", flush=True)
    with open(args.log, "a") as log:
        while True:
            conn, _ = listener.accept()
            conn.settimeout(60)
            try:
                tls = context.wrap_socket(conn, server_side=True)
            except (OSError, ssl.SSLError) as error:
                print(f"handshake failed: {error}", file=sys.stderr, flush=True)
                conn.close()
                continue
            try:
                line, received = read_request(tls)
                tls.sendall(REPLY)
                log.write(f"{line.decode('latin-1')} {received} {tls.session_reused}\n")
                log.flush()
            except (OSError, ssl.SSLError) as error:
                print(f"request failed: {error}", file=sys.stderr, flush=True)
            close(tls)


if __name__ == "__main__":
    main()
