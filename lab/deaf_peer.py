"""A TLS peer that completes every handshake and then never reads: whatever
the unit sends piles up in the socket buffers until its sends block. Meant
for the inside of a sandbox world, to bound a send by the unit's time-out:

    deaf_peer.py --listen ADDR:PORT --cert CERT --key KEY

prints "READY" once listening and holds each connection open, unread, until
it is killed. From a test, start(box, addr, port, cert, key) runs it inside
the world `box` (a lab/sandbox.py Sandbox) and returns once it listens."""

import argparse
import socket
import ssl
import sys
import threading
from pathlib import Path


HELD = []   # every connection stays referenced, open and unread


def hold(context, connection):
    try:
        HELD.append(context.wrap_socket(connection, server_side=True))
    except (OSError, ssl.SSLError):
        connection.close()


def serve(listen, cert, key):
    host, _, port = listen.rpartition(":")
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    listener = socket.create_server((host, int(port)), backlog=16)
    print("READY", flush=True)
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=hold, args=(context, connection), daemon=True).start()


def start(box, addr, port, cert, key, timeout=30):
    """Runs the peer inside `box` on addr:port; returns once it listens."""
    from sandbox import PYTHON, _wait_for_line  # the lab's own helpers

    out = box.workdir / f"deaf-peer-{addr}-{port}.out"
    with open(out, "wb") as sink:
        proc = box.popen([PYTHON, Path(__file__).resolve(), "--listen", f"{addr}:{port}",
                          "--cert", cert, "--key", key], stdout=sink, stderr=sink)
    _wait_for_line(proc, "deaf peer", out, b"READY", timeout=timeout, log=out)
    return proc


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    args = parser.parse_args(argv)
    serve(args.listen, args.cert, args.key)


if __name__ == "__main__":
    main(sys.argv[1:])
