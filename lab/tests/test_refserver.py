"""Smoke test of the reference server: it starts, enrolls a unit, answers a
version query and records the requests. Every end-to-end case exercises the
rest of it against the real client."""

import base64
import json
import socket
import ssl
import subprocess

from cryptography.hazmat.primitives.asymmetric import padding, rsa
from sandbox import PYTHON, REFSERVER


def exchange(port, context, head):
    with context.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=10)) as tls:
        tls.sendall(head.encode())
        reply = b""
        while chunk := tls.recv(65536):
            reply += chunk
    head, _, body = reply.partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    return lines[0], dict(line.split(": ", 1) for line in lines[1:]), body


def test_enrollment_version_and_records(tmp_path, pki):
    issued = pki.issue("collect.test")
    state = tmp_path / "state"
    server = subprocess.Popen(
        [PYTHON, str(REFSERVER), "serve", "--listen", "127.0.0.1:0",
         "--cert", str(issued.cert), "--key", str(issued.key), "--state", str(state)],
        stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline().split()[1])
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.load_verify_locations(pki.bundle)
        context.check_hostname = False
        key = rsa.generate_private_key(public_exponent=65537, key_size=1024)
        numbers = key.public_key().public_numbers()
        key_text = base64.b64encode(f"{numbers.n}.{numbers.e}".encode()).decode()
        head = "HTTP/1.1 \r\nHost: collect.test\r\n"
        status, headers, _ = exchange(port, context, "GET /activate?mac=0011223344AA "
                                      f"{head}X-Unit-PublicKey: {key_text}\r\n\r\n")
        assert (status, headers["X-Unit-ID"]) == ("HTTP/1.1 200 Activating", "U0011223344AA")
        status, _, body = exchange(port, context, "GET /version?current=1.10 "
                                   f"{head}X-Unit-ID: U0011223344AA\r\n\r\n")
        assert status == "HTTP/1.1 200 OK"
        assert key.decrypt(body, padding.PKCS1v15()).startswith(b"1.0\nhttps://collect.test:")
        records = [json.loads(line) for line in (state / "requests.jsonl").read_text().splitlines()]
        assert [r["target"] for r in records] == \
            ["/activate?mac=0011223344AA", "/version?current=1.10"]
    finally:
        server.terminate()
        server.wait(10)
