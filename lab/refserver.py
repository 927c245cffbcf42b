#!/usr/bin/python3
"""Reference collection server for the halvorpin client.

One threaded TLS server that plays both the collection server (enrollment,
version query, result and log uploads) and the package host.  It serves one
request per connection, records every request it receives before replying,
checks uploads (decryption and digest) and can misbehave on purpose through
the "faults" of its config.json.  Run with --help for the manual.
"""

import argparse
import base64
import gzip
import hashlib
import io
import itertools
import json
import os
import re
import select
import shlex
import socket
import socketserver
import ssl
import sys
import tarfile
import threading
import time
import traceback

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

PKCS1 = padding.PKCS1v15()
IO_TIMEOUT = 30.0           # seconds of silence before a handshake or read gives up
CLOSE_TIMEOUT = 30.0        # how long the close notification may wait for send room
MAX_HEAD = 1 << 20          # a request head larger than this is refused
MAX_BODY = 64 << 20         # a request body larger than this is refused, unread
SEND_CHUNK = 256 * 1024     # package bodies go out in pieces of this size
PIECES_PER_READ = 2048      # encrypted packages: pieces encrypted per file read
TOKEN = re.compile(rb"[!#$%&'*+.^_`|~0-9A-Za-z-]+")
REQUEST_LINE = re.compile(rb"([!-~]+) ([^ ]*) (HTTP/[0-9]\.[0-9]) *")
SAFE_NAME = re.compile(r"[A-Za-z0-9_+-][A-Za-z0-9._+-]*")
KEY_TEXT = re.compile(rb"([0-9]+)\.([0-9]+)")
# A reply the client takes as success: HTTP/1.x and the code 200, whatever
# the reason phrase.
SUCCESS = re.compile(rb"HTTP/1\.[01] 200(?:[ \r\n]|$)")
REASONS = {200: "OK", 400: "Bad Request", 404: "Not Found",
           500: "Internal Server Error"}

HELP = """\
A TLS server that stands in for the collection server and the package host:
it answers enrollment, version queries, package downloads and result and log
uploads, records every request and checks the uploads. lab/README.md is its
manual: starting it by hand, its state directory and records, config.json
and its faults, publishing a package, plain HTTP behind a front end.
"""


# ----------------------------------------------------------------- keys --

def key_bytes(key):
    """Size in bytes of one RSA block of this key (RSA_size)."""
    return (key.key_size + 7) // 8


def key_text(public_key):
    """The protocol's key text: Base64 of "<modulus>.<exponent>", one line."""
    numbers = public_key.public_numbers()
    return base64.b64encode(f"{numbers.n}.{numbers.e}".encode()).decode()


def parse_key_text(value):
    """Builds an RSA public key from a key text; ValueError when malformed."""
    try:
        clear = base64.b64decode(value, validate=True)
    except (ValueError, TypeError) as error:
        raise ValueError("key text is not Base64") from error
    match = KEY_TEXT.fullmatch(clear)
    if not match:
        raise ValueError("key text is not <modulus>.<exponent>")
    n, e = int(match.group(1)), int(match.group(2))
    return rsa.RSAPublicNumbers(e, n).public_key()


def pem_public(public_key):
    return public_key.public_bytes(serialization.Encoding.PEM,
                                   serialization.PublicFormat.PKCS1)


def load_or_create_server_key(path, bits):
    """Loads the server key; creates it first when absent.

    Several instances may share one state directory and start together, so
    the new key is linked into place: whoever comes second loads the
    winner's key instead of overwriting it.
    """
    if not os.path.exists(path):
        key = rsa.generate_private_key(public_exponent=65537, key_size=bits)
        pem = key.private_bytes(serialization.Encoding.PEM,
                                serialization.PrivateFormat.TraditionalOpenSSL,
                                serialization.NoEncryption())
        temp = f"{path}.{os.getpid()}.tmp"
        with open(temp, "wb") as out:
            out.write(pem)
        try:
            os.link(temp, path)
        except FileExistsError:
            pass
        finally:
            os.unlink(temp)
    with open(path, "rb") as source:
        return serialization.load_pem_private_key(source.read(), None)


# ---------------------------------------------------------------- state --

class State:
    """Everything one server instance shares between its connections."""

    def __init__(self, args):
        self.dir = args.state
        self.record_path = args.record or os.path.join(self.dir, "requests.jsonl")
        for sub in ("units", "packages", "received"):
            os.makedirs(os.path.join(self.dir, sub), exist_ok=True)
        self.server_key = load_or_create_server_key(
            os.path.join(self.dir, "server_private.pem"), args.server_key_bits)
        self.listen = None          # "ADDR:PORT", known once bound
        self.lock = threading.Lock()
        self.seq = itertools.count(1)
        self.paths_seen = []        # path of every request, for "nth" faults

    def config(self):
        path = os.path.join(self.dir, "config.json")
        try:
            with open(path, encoding="utf-8") as source:
                config = json.load(source)
        except FileNotFoundError:
            return {}
        if not isinstance(config, dict):
            raise ValueError("config.json does not hold an object")
        return config

    def unit_key_path(self, unit_id):
        return os.path.join(self.dir, "units", f"{unit_id}.pem")

    def unit_key(self, unit_id):
        """The unit's public key, or None when the unit is unknown."""
        if not unit_id or not SAFE_NAME.fullmatch(unit_id):
            return None
        try:
            with open(self.unit_key_path(unit_id), "rb") as source:
                return serialization.load_pem_public_key(source.read())
        except (FileNotFoundError, ValueError):
            return None

    def store_unit_key(self, unit_id, public_key):
        path = self.unit_key_path(unit_id)
        temp = f"{path}.{threading.get_ident()}.tmp"
        with open(temp, "wb") as out:
            out.write(pem_public(public_key))
        os.replace(temp, path)

    def append(self, path, data):
        # One write on an O_APPEND descriptor: lines from instances that
        # share the file never interleave.
        fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        try:
            os.write(fd, data)
        finally:
            os.close(fd)

    def record(self, entry):
        with self.lock:
            entry["seq"] = next(self.seq)
            self.append(self.record_path,
                        (json.dumps(entry) + "\n").encode())
        return entry["seq"]

    def matching_faults(self, path, config):
        faults = config.get("faults") or []
        with self.lock:
            if path is not None:
                self.paths_seen.append(path)
            seen = list(self.paths_seen)
        matched = []
        for fault in faults:
            if not isinstance(fault, dict):
                continue
            prefix = fault.get("path", "")
            if path is None or not path.startswith(prefix):
                continue
            count = sum(1 for p in seen if p.startswith(prefix))
            if "nth" not in fault or fault["nth"] == count:
                matched.append(fault)
        return matched


# -------------------------------------------------------------- request --

class Request:
    def __init__(self):
        self.raw = b""
        self.method = self.target = self.version = None
        self.headers = {}           # names as sent
        self.body = b""
        self.error = None           # why the request is malformed, if it is
        self.length_error = None    # body does not match Content-Length

    @property
    def path(self):
        return None if self.target is None else self.target.split("?", 1)[0]

    @property
    def query(self):
        if self.target is None or "?" not in self.target:
            return None
        return self.target.split("?", 1)[1]

    def header(self, name):
        """Header value by case-insensitive name, or None."""
        for key, value in self.headers.items():
            if key.lower() == name.lower():
                return value
        return None


def parse_head(request, head):
    """Fills method, target and headers from the head bytes (no CRLFCRLF)."""
    lines = head.split(b"\r\n")
    match = REQUEST_LINE.fullmatch(lines[0])
    if not match:
        request.error = "malformed request line"
        return
    request.method = match.group(1).decode("latin-1")
    request.target = match.group(2).decode("latin-1")
    request.version = match.group(3).decode("latin-1")
    for line in lines[1:]:
        name, colon, value = line.partition(b":")
        if not colon or not TOKEN.fullmatch(name):
            request.error = "malformed header line"
            return
        value = value.strip(b" \t")
        if any(c in value for c in b"\r\n\0"):
            request.error = "header value holds a line break or NUL"
            return
        name = name.decode("latin-1")
        if name.lower() in (k.lower() for k in request.headers):
            if name.lower() == "content-length":
                request.error = "Content-Length given twice"
                return
        request.headers[name] = value.decode("latin-1")


def read_request(tls):
    """Reads one request: the head up to CRLFCRLF, then Content-Length bytes.

    Returns a Request, or None when the peer sent nothing at all.  Bytes
    beyond the declared length that have already arrived are kept in raw
    and flag a length error: the client must send exactly what it declares.
    """
    request = Request()
    received = bytearray()
    try:
        while (end := received.find(b"\r\n\r\n")) < 0:
            if len(received) > MAX_HEAD:
                request.error = "request head too large"
                request.raw = bytes(received)
                return request
            chunk = tls.recv(65536)
            if not chunk:
                break
            received += chunk
    except (OSError, ssl.SSLError) as error:
        request.error = f"connection failed before the head ended: {error}"
    if end < 0:
        if not received:
            return None
        request.error = request.error or "connection closed before the head ended"
        request.raw = bytes(received)
        return request

    parse_head(request, bytes(received[:end]))
    body = received[end + 4:]
    length = request.header("Content-Length")
    expected = 0
    if length is not None and not request.error:
        if not re.fullmatch(r"[0-9]+", length):
            request.error = "Content-Length is not a number"
        elif int(length) > MAX_BODY:
            request.error = "Content-Length too large"
        else:
            expected = int(length)
    if not request.error:
        try:
            while len(body) < expected:
                chunk = tls.recv(min(65536, expected - len(body)))
                if not chunk:
                    break
                body += chunk
        except (OSError, ssl.SSLError) as error:
            request.length_error = f"body read failed: {error}"
        if len(body) < expected:
            request.length_error = (f"body has {len(body)} bytes, "
                                    f"Content-Length says {expected}")
    body += read_already_sent(tls)
    if len(body) > expected and not request.error:
        request.length_error = (f"{len(body) - expected} bytes beyond "
                                f"Content-Length {expected}")
    request.body = bytes(body[:expected])
    request.raw = bytes(received[:end + 4]) + bytes(body)
    return request


def read_already_sent(tls):
    """Whatever the peer has sent beyond the request, without waiting.

    The client sends head and body and then only reads, so data already
    buffered in TLS or the socket here means the body was longer than its
    Content-Length.
    """
    extra = bytearray()
    try:
        tls.setblocking(False)
        while True:
            chunk = tls.recv(65536)
            if not chunk:
                break
            extra += chunk
    except (ssl.SSLWantReadError, ssl.SSLWantWriteError, BlockingIOError):
        pass
    except (OSError, ssl.SSLError):
        pass
    finally:
        try:
            tls.settimeout(IO_TIMEOUT)
        except OSError:
            pass
    return bytes(extra)


# ---------------------------------------------------------------- reply --

class Reply:
    """A reply to send: status line, header list and a body.

    The body is bytes, or a function giving an iterator of byte chunks for
    packages too large to hold in memory.
    """

    def __init__(self, code, headers=(), body=b"", reason=None):
        self.status = f"HTTP/1.1 {code} {reason or REASONS[code]}"
        self.headers = list(headers)
        self.body = body
        self.error = None
        self.upload = None          # {"clear": bytes, "hash_ok": ..., "valid": bool}
        self.upload_kind = None     # "submit" or "log"
        self.encrypted_package = None   # (path, key) of an encrypted package

    def head(self):
        lines = [self.status] + [f"{name}: {value}" for name, value in self.headers]
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def error_reply(code, why):
    reply = Reply(code, [("Content-Length", str(len(why) + 1))],
                  (why + "\n").encode("latin-1", "replace"))
    reply.error = why
    return reply


def ok_empty(reason="OK"):
    return Reply(200, [("Content-Length", "0")], reason=reason)


# ------------------------------------------------------------ endpoints --

def handle_activate(state, config, request):
    query = request.query or ""
    if query.startswith("confirm&mac="):
        unit_id = request.header("X-Unit-ID")
        if state.unit_key(unit_id) is None:
            return error_reply(404, f"unknown unit {unit_id!r}")
        return ok_empty("Activated")
    if not query.startswith("mac=") or "&" in query:
        return error_reply(404, "unknown activation request")
    mac = query[len("mac="):]
    value = request.header("X-Unit-PublicKey")
    if value is None:
        return error_reply(400, "X-Unit-PublicKey missing")
    try:
        unit_key = parse_key_text(value)
    except ValueError as error:
        return error_reply(400, f"bad unit key: {error}")
    unit_id = str(config.get("unit_id", "U" + mac))
    if not SAFE_NAME.fullmatch(unit_id):
        return error_reply(500, f"unit id {unit_id!r} cannot name a key file")
    state.store_unit_key(unit_id, unit_key)
    # The unit keeps only the leading letters and digits of its identifier;
    # file the key under that form too so that its later requests are known.
    short = re.match(r"[A-Za-z0-9]*", unit_id).group(0)
    if short and short != unit_id:
        state.store_unit_key(short, unit_key)
    return Reply(200, [("X-Unit-ID", unit_id),
                       ("X-ZOR-PublicKey", key_text(state.server_key.public_key())),
                       ("Content-Length", "0")], reason="Activating")


def default_locator(state, request):
    """This instance's package URL, named as the unit named the server."""
    host = re.sub(r":[0-9]*$", "", request.header("Host"))
    port = state.listen.rsplit(":", 1)[1]
    return f"https://{host}:{port}/packages/package.tar.gz"


def handle_version(state, config, request):
    if not (request.query or "").startswith("current="):
        return error_reply(400, "version query without current=")
    unit_id = request.header("X-Unit-ID")
    unit_key = state.unit_key(unit_id)
    if unit_key is None:
        return error_reply(404, f"unknown unit {unit_id!r}")
    if "version_reply_text" in config:
        text = str(config["version_reply_text"])
    else:
        locator = config["locator"] if "locator" in config \
            else default_locator(state, request)
        text = f"{config.get('version', '1.0')}\n{locator}"
    clear = text.encode("utf-8")
    if len(clear) > key_bytes(unit_key) - 11:
        return error_reply(500, f"version reply text of {len(clear)} bytes "
                                f"does not fit one block")
    block = unit_key.encrypt(clear, PKCS1)
    return Reply(200, [("Content-Length", str(len(block)))], block)


def handle_package(state, config, request, name):
    if request.header("X-Unit-ID") is None:
        return error_reply(400, "X-Unit-ID missing")
    if not SAFE_NAME.fullmatch(name):
        return error_reply(404, f"no package {name!r}")
    path = os.path.join(state.dir, "packages", name)
    if not os.path.isfile(path):
        return error_reply(404, f"no package {name!r}")
    size = os.path.getsize(path)
    # A signature (<package>.sig) goes as it is, like the operator made it.
    if not config.get("package_encrypted", False) or name.endswith(".sig"):
        return Reply(200, [("X-Encrypted", "false"),
                           ("Content-Length", str(size))],
                     lambda: file_chunks(path))
    unit_id = request.header("X-Unit-ID")
    unit_key = state.unit_key(unit_id)
    if unit_key is None:
        return error_reply(404, f"unknown unit {unit_id!r}")
    block = key_bytes(unit_key)
    piece = block - 11
    length = -(-size // piece) * block
    reply = Reply(200, [("Content-Length", str(length))])
    reply.encrypted_package = (path, unit_key)
    return reply


def handle_upload(state, request, kind):
    """Checks a /submit or /log upload; the reply carries what was found."""
    upload = {"clear": b"", "hash_ok": None, "valid": False}
    problems = []
    if request.length_error:
        problems.append(request.length_error)
    elif request.header("Content-Length") is None:
        problems.append("Content-Length missing")
    if request.header("Host") is None:
        problems.append("Host missing")

    marker = request.header("X-Encrypted")
    digest = request.header("X-Request-Hash")
    if marker not in ("true", "false"):
        problems.append(f"X-Encrypted is {marker!r}, not true or false")
    if marker == "true":
        if digest is None:
            problems.append("encrypted upload without X-Request-Hash")
        block = key_bytes(state.server_key)
        if len(request.body) % block:
            problems.append(f"body of {len(request.body)} bytes is not whole "
                            f"{block}-byte blocks")
        else:
            try:
                upload["clear"] = b"".join(
                    state.server_key.decrypt(request.body[i:i + block], PKCS1)
                    for i in range(0, len(request.body), block))
            except ValueError:
                problems.append("a block does not decrypt with the server key")
    else:
        upload["clear"] = request.body

    if digest is not None:
        covered = upload["clear"]
        if kind == "log":
            covered = covered.split(b"\0", 1)[0]
        expected = base64.b64encode(hashlib.sha1(covered).digest()).decode()
        upload["hash_ok"] = digest == expected
        if not upload["hash_ok"]:
            problems.append(f"X-Request-Hash {digest!r}, expected {expected!r}")

    unit_id = request.header("X-Unit-ID")
    if state.unit_key(unit_id) is None:
        problems.append(f"unknown unit {unit_id!r}")

    reply = error_reply(400, "; ".join(problems)) if problems else ok_empty()
    upload["valid"] = not problems
    reply.upload, reply.upload_kind = upload, kind
    return reply


def route(state, config, request):
    if request.error:
        return error_reply(400, request.error)
    method, path = request.method, request.path
    if method == "POST" and path in ("/submit", "/log"):
        return handle_upload(state, request, path[1:])
    if request.header("Host") is None:
        return error_reply(400, "Host missing")
    if request.length_error:
        return error_reply(400, request.length_error)
    if method == "GET" and path == "/activate":
        return handle_activate(state, config, request)
    if method == "GET" and path == "/version":
        return handle_version(state, config, request)
    if method == "GET" and path.startswith("/packages/"):
        return handle_package(state, config, request, path[len("/packages/"):])
    if method == "GET" and path in ("/testpackage.tar.gz", "/testpackage.tar.gz.sig"):
        return handle_package(state, config, request, path[1:])
    return error_reply(404, f"nothing at {method} {request.target}")


# --------------------------------------------------------------- faults --

def apply_reply_faults(reply, faults):
    """Changes the reply as the header/body faults ask."""
    for fault in faults:
        if "status" in fault:
            reply.status = str(fault["status"])
        if "reason" in fault:
            # As front ends do that know only the standard phrases.
            reply.status = " ".join(reply.status.split(" ", 2)[:2] + [str(fault["reason"])])
        if fault.get("header_case") == "lower":
            reply.headers = [(n.lower(), v) for n, v in reply.headers]
        if "omit_header" in fault:
            name = str(fault["omit_header"]).lower()
            reply.headers = [(n, v) for n, v in reply.headers if n.lower() != name]
        if "content_length" in fault:
            reply.headers = [(n, str(fault["content_length"]))
                             if n.lower() == "content-length" else (n, v)
                             for n, v in reply.headers]


def body_chunks(reply, faults):
    """Iterator over the reply body bytes, with body faults applied."""
    damage = trailing = extra = None
    for fault in faults:
        damage = fault.get("damage_block", damage)
        trailing = fault.get("trailing_bytes", trailing)
        extra = fault.get("extra_body", extra)
    if reply.encrypted_package:
        path, key = reply.encrypted_package
        yield from encrypted_package_chunks(path, key, damage)
        if trailing:
            yield b"\xa5" * int(trailing)
    elif callable(reply.body):
        yield from reply.body()
    else:
        yield reply.body
    if extra:
        yield b"x" * int(extra)


def file_chunks(path):
    with open(path, "rb") as source:
        while chunk := source.read(SEND_CHUNK):
            yield chunk


def encrypted_package_chunks(path, key, damage_block=None):
    """The package cut into (block - 11)-byte pieces, each encrypted."""
    block = key_bytes(key)
    piece = block - 11
    index = 0
    with open(path, "rb") as source:
        while data := source.read(piece * PIECES_PER_READ):
            blocks = []
            for start in range(0, len(data), piece):
                cipher = key.encrypt(data[start:start + piece], PKCS1)
                if index == damage_block:
                    # A first byte of 0xFF makes the block larger than the
                    # modulus, so it cannot decrypt at all.
                    first = 0x00 if cipher[0] == 0xFF else 0xFF
                    cipher = bytes([first]) + cipher[1:]
                blocks.append(cipher)
                index += 1
            yield b"".join(blocks)


# ------------------------------------------------------------ connection --

def close_tls(tls, notify):
    """Closes the connection, with a close notification unless told not to.

    The notification is sent without waiting for the peer's answer: the
    client may keep the connection open long after it has read the reply.
    """
    if notify and hasattr(tls, "unwrap"):
        try:
            tls.setblocking(False)
            deadline = time.monotonic() + CLOSE_TIMEOUT
            while True:
                try:
                    tls.unwrap()
                    break
                except ssl.SSLWantReadError:
                    break       # ours is out; the peer's is not awaited
                except ssl.SSLWantWriteError:
                    left = deadline - time.monotonic()
                    if left <= 0 or not select.select([], [tls], [], left)[1]:
                        break
        except (OSError, ValueError, ssl.SSLError):
            pass
    try:
        tls.close()
    except OSError:
        pass


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        state = self.server.state
        self.request.settimeout(IO_TIMEOUT)
        if self.server.args.plain:
            # A backend behind a front end that speaks TLS to the unit.
            conn = self.request
        else:
            try:
                conn = self.server.context().wrap_socket(self.request, server_side=True)
            except (OSError, ssl.SSLError) as error:
                log(f"{state.listen} handshake with {self.client_address[0]} failed: {error}")
                return
        notify = True
        self.served = False
        try:
            notify = self.serve_one(state, conn)
        except Exception:           # keep serving other connections
            log(traceback.format_exc())
        finally:
            record_connection(state, conn, self.served)
            close_tls(conn, notify)

    def serve_one(self, state, tls):
        """Reads, records and answers one request; tells whether to notify."""
        request = read_request(tls)
        if request is None:
            log(f"{state.listen} connection from {self.client_address[0]} "
                f"closed without a request")
            return True
        self.served = True
        reply, config = answer(state, request)
        faults = state.matching_faults(request.path, config)
        apply_reply_faults(reply, faults)
        notify = not any(f.get("no_close_notify") for f in faults)
        silent = any(f.get("close") or f.get("stall") for f in faults)
        raw_reply = next((base64.b64decode(f["raw_b64"]) for f in faults
                          if "raw_b64" in f), None)

        # An upload counts as accepted when it was valid and the client is
        # about to read a success status line.
        if silent:
            sent = b""
        else:
            sent = reply.status.encode("latin-1") if raw_reply is None else raw_reply
        accepted = bool(reply.upload and reply.upload["valid"] and SUCCESS.match(sent))
        seq = record_request(state, tls, request, reply, faults, accepted)

        for action in ("delay", "stall"):
            for fault in faults:
                if action in fault:
                    time.sleep(float(fault[action]))
        for fault in faults:
            if "gate" in fault:
                wait_at_gate(fault["gate"])
        if silent:
            return notify
        if accepted and reply.upload["clear"]:
            state.append(os.path.join(state.dir, "received",
                                      reply.upload_kind + ".bin"),
                         reply.upload["clear"])
        if self.server.args.plain:
            # One reply per connection: a front end must not wait for more.
            reply.headers.append(("Connection", "close"))
        try:
            if raw_reply is not None:
                tls.sendall(raw_reply)
            else:
                tls.sendall(reply.head())
                for chunk in body_chunks(reply, faults):
                    tls.sendall(chunk)
        except (OSError, ssl.SSLError) as error:
            log(f"{state.listen} #{seq} reply not sent whole: {error}")
        return notify


def wait_at_gate(gate):
    """Tells that a reply is held (<gate>/held) and waits until whoever
    forces the order of events lets it go (<gate>/go), at most a minute."""
    os.makedirs(gate, exist_ok=True)
    with open(os.path.join(gate, "held"), "w"):
        pass
    deadline = time.monotonic() + 60
    while not os.path.exists(os.path.join(gate, "go")) and time.monotonic() < deadline:
        time.sleep(0.01)


def answer(state, request):
    """The reply the request deserves, and the config it was judged by."""
    try:
        config = state.config()
    except (ValueError, OSError) as error:
        return error_reply(500, f"config.json unusable: {error}"), {}
    return route(state, config, request), config


def record_connection(state, conn, served):
    """Appends one line to connections.jsonl: every connection, with a
    request or without one, and whether it resumed a TLS session."""
    entry = {"listen": state.listen, "requests": 1 if served else 0,
             "session_reused": getattr(conn, "session_reused", None)}
    with state.lock:
        state.append(os.path.join(state.dir, "connections.jsonl"),
                     (json.dumps(entry) + "\n").encode())


def record_request(state, tls, request, reply, faults, accepted):
    """Appends the request's record; returns its sequence number."""
    entry = {
        "listen": state.listen,
        "time": time.time(),
        "raw_b64": base64.b64encode(request.raw).decode(),
        "method": request.method,
        "target": request.target,
        "headers": request.headers,
        "body_b64": base64.b64encode(request.body).decode(),
        "session_reused": getattr(tls, "session_reused", None),
        "tls_version": tls.version() if hasattr(tls, "version") else None,
        "reply_status": reply.status,
        "error": reply.error,
        "faults": faults,
    }
    if reply.upload is not None:
        entry["clear_b64"] = base64.b64encode(reply.upload["clear"]).decode()
        entry["hash_ok"] = reply.upload["hash_ok"]
        entry["accepted"] = accepted
    seq = state.record(entry)
    log(f"{state.listen} #{seq} {request.method} {request.target} -> "
        f"{reply.status}" + (f" ({reply.error})" if reply.error else "")
        + (f" faults={faults}" if faults else ""))
    return seq


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True
    request_queue_size = 64

    def __init__(self, address, family, state, args):
        self.address_family = family
        self.state = state
        self.args = args
        self.shared_context = None if args.no_resume or args.plain else make_context(args)
        super().__init__(address, Handler)

    def context(self):
        # Without resumption every connection gets a context of its own, with
        # no tickets: no earlier session can be found or decrypted.
        return self.shared_context or make_context(self.args)


def make_context(args):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    if args.tls_max == "1.2":
        context.maximum_version = ssl.TLSVersion.TLSv1_2
    elif args.tls_max == "1.1":
        # A legacy server: TLS 1.0 and 1.1 sign with SHA-1, which the
        # library allows only at security level 0.
        context.minimum_version = ssl.TLSVersion.TLSv1
        context.maximum_version = ssl.TLSVersion.TLSv1_1
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
    if args.no_resume:
        context.options |= ssl.OP_NO_TICKET
        context.num_tickets = 0
    return context


def log(text):
    sys.stderr.write(text.rstrip("\n") + "\n")
    sys.stderr.flush()


def parse_listen(text):
    host, colon, port = text.rpartition(":")
    if not colon or not port.isdigit():
        raise argparse.ArgumentTypeError(f"{text!r} is not ADDR:PORT")
    if host.startswith("[") and host.endswith("]"):
        return host[1:-1], int(port), socket.AF_INET6
    return host, int(port), socket.AF_INET


def serve(args):
    if not args.plain and not (args.cert and args.key):
        raise SystemExit("refserver.py serve: --cert and --key are needed without --plain")
    host, port, family = args.listen
    state = State(args)
    server = Server((host, port), family, state, args)
    bound_port = server.server_address[1]
    state.listen = (f"[{host}]" if family == socket.AF_INET6 else host) + f":{bound_port}"
    print(f"READY {bound_port}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


# -------------------------------------------------------------- package --

def package_bytes(version, broken=None):
    """A measurement package: gzip-compressed tar of kelvoz/ (or a broken one)."""
    if broken == "not-gzip":
        return b"<html><body>503 Service Unavailable</body></html>\n"
    config = (f"# measurement schedule of package version {version}\n"
              f"version={version}\n").encode()
    script = ("#!/bin/sh\n"
              "# One-time start of the measurement package: note the version.\n"
              f"printf '%s\\n' {shlex.quote(version)} > /tmp/kelvoz/started\n"
              "exit 0\n").encode()
    members = [("kelvoz/", None, 0o755), ("kelvoz/schedulerconfig", config, 0o644)]
    if broken != "missing-runonce":
        mode = 0o644 if broken == "not-executable" else 0o755
        members.append(("kelvoz/runonce.sh", script, mode))

    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for name, data, mode in members:
            info = tarfile.TarInfo(name.rstrip("/"))
            info.mode, info.mtime = mode, 1700000000
            info.uname = info.gname = "root"
            if data is None:
                info.type = tarfile.DIRTYPE
                tar.addfile(info)
            else:
                info.size = len(data)
                tar.addfile(info, io.BytesIO(data))
    if broken == "plain-tar":
        return buffer.getvalue()
    return gzip.compress(buffer.getvalue(), mtime=0)


def make_package(args):
    data = package_bytes(args.version, args.broken)
    directory = os.path.dirname(os.path.abspath(args.out))
    os.makedirs(directory, exist_ok=True)
    temp = f"{args.out}.{os.getpid()}.tmp"
    with open(temp, "wb") as out:
        out.write(data)
    os.replace(temp, args.out)


# ----------------------------------------------------------------- main --

def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="refserver.py", description=HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)

    run = commands.add_parser("serve", help="run the server",
                              description="Run the TLS server until stopped.")
    run.add_argument("--listen", required=True, type=parse_listen,
                     help="ADDR:PORT to listen on (port 0: any free port)")
    run.add_argument("--cert", help="server certificate chain (PEM)")
    run.add_argument("--key", help="its private key (PEM)")
    run.add_argument("--state", required=True, help="state directory")
    run.add_argument("--record", help="request record file "
                     "(default STATE/requests.jsonl)")
    run.add_argument("--tls-max", choices=("1.1", "1.2", "1.3"), default="1.3",
                     help="highest TLS version offered (default 1.3)")
    run.add_argument("--no-resume", action="store_true",
                     help="decline every TLS session resumption")
    run.add_argument("--plain", action="store_true",
                     help="speak plain HTTP, as a backend behind a TLS front end "
                     "(--cert and --key are then not used)")
    run.add_argument("--server-key-bits", type=int, default=1024,
                     help="size of a newly created server key (default 1024)")

    pack = commands.add_parser("make-package", help="write a measurement package",
                               description="Write a measurement package: a gzip "
                               "tar holding kelvoz/schedulerconfig and "
                               "kelvoz/runonce.sh, which writes the version to "
                               "/tmp/kelvoz/started.")
    pack.add_argument("--version", required=True, help="version the package names")
    pack.add_argument("--out", required=True, help="file to write (.tar.gz)")
    pack.add_argument("--broken", choices=("missing-runonce", "not-executable",
                                           "plain-tar", "not-gzip"),
                      help="write this kind of invalid package instead")

    args = parser.parse_args(argv)
    if args.command == "serve":
        serve(args)
    else:
        make_package(args)


if __name__ == "__main__":
    main()
