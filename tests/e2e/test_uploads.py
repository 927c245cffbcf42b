"""Results and log uploads end to end (commands s, S, l and L): batching,
encryption, the exact request heads, statuses, what happens to the input
files, and the client's guarantees beyond the plain protocol: no request
larger than its buffers, nothing of a request sent when its encryption
fails, and an empty log posted as an empty body whose fate the reply
decides. Writers appending during an upload: test_kills.py.

Each case runs the real client in a sandboxed world against the reference
server. A unit is given its identity by writing the state files directly
(as enrollment would leave them) and filing its public key with the server;
test_enrollment.py shows that enrollment by the client leaves the same files.
"""

import base64
import hashlib
import math
import time

import pytest
from cryptography.hazmat.primitives.asymmetric import padding

from conftest import COLLECTOR, COLLECTOR_URL
from sandbox import SLOW
from unitstate import (enroll, public_pem, received, register_unit, rsa_key,
                       seed_unit, server_private_key, server_public_pem, set_state_file)

PKCS1 = padding.PKCS1v15()
UNIT_ID = "UNIT0042"
RESULTS = "/tmp/output"
LOG = "/tmp/debug.out"


def batch_refused(status_line=b"HTTP/1.1 500 Internal Server Error"):
    return b"A results batch was refused by collector.test: %s; /tmp/output stays\n" % status_line


def log_refused(status_line=b"HTTP/1.1 500 Internal Server Error"):
    return b"The log was refused by collector.test: %s; /tmp/debug.out stays\n" % status_line
BUFFER = 1_000_000      # the client's clear and cipher buffers, each
LINE_READ = 4095        # characters one line read takes at most


# ------------------------------------------------------------------ keys --

def _der_integer(value):
    body = value.to_bytes(value.bit_length() // 8 + 1, "big")  # leading 0: positive
    return b"\x02" + _der_length(len(body)) + body


def _der_length(n):
    if n < 0x80:
        return bytes([n])
    octets = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(octets)]) + octets


def raw_public_pem(n, e):
    """An RSA PUBLIC KEY PEM for any modulus and exponent, even ones that
    key libraries refuse to build (too small, exponent not below the modulus)."""
    body = _der_integer(n) + _der_integer(e)
    der = b"\x30" + _der_length(len(body)) + body
    text = base64.b64encode(der)
    lines = [text[i:i + 64] for i in range(0, len(text), 64)]
    return b"-----BEGIN RSA PUBLIC KEY-----\n" + b"\n".join(lines) + b"\n-----END RSA PUBLIC KEY-----\n"


# ------------------------------------------------------------ unit state --

@pytest.fixture
def unit(sandbox, server):
    """An enrolled unit in `sandbox` known to `server`; returns the server's
    private key (to open the cipher blocks the unit sends)."""
    enroll(sandbox, server, unit_id=UNIT_ID)
    return server_private_key(server)


# -------------------------------------------------------------- requests --

def digest_text(data):
    return base64.b64encode(hashlib.sha1(data).digest())


def submit_head(clear, length, encrypted):
    lines = [b"POST /submit HTTP/1.1\r\n", b"Host: " + COLLECTOR.encode() + b"\r\n"]
    if encrypted:
        lines.append(b"X-Request-Hash: " + digest_text(clear) + b"\r\n")
    lines.append(b"X-Encrypted: true\r\n" if encrypted else b"X-Encrypted: false\r\n")
    lines += [b"X-Unit-ID: " + UNIT_ID.encode() + b"\r\n",
              b"Content-Length: %d\r\n" % length, b"\r\n"]
    return b"".join(lines)


def log_head(clear, length, encrypted):
    lines = [b"POST /log HTTP/1.1\r\n", b"Host: " + COLLECTOR.encode() + b"\r\n"]
    lines.append(b"X-Encrypted: true\r\n" if encrypted else b"X-Encrypted: false\r\n")
    if encrypted:
        # The log's digest stops at its first zero byte.
        lines.append(b"X-Request-Hash: " + digest_text(clear.split(b"\0", 1)[0]) + b"\r\n")
    lines += [b"X-Unit-ID: " + UNIT_ID.encode() + b"\r\n",
              b"Content-Length: %d\r\n" % length, b"\r\n"]
    return b"".join(lines)


def head_and_body(record):
    head, end, body = record["raw"].partition(b"\r\n\r\n")
    assert end, f"no end of head in {record['raw'][:300]!r}"
    return head + end, body


def chunk_size(server_key):
    return server_key.key_size // 8 - 12


def chunks(reads, size):
    """The clear pieces that are encrypted one per block: each read cut from
    its front, so that no block holds bytes of two reads."""
    return [r[i:i + size] for r in reads for i in range(0, len(r), size)]


def open_blocks(server_key, body):
    block = server_key.key_size // 8
    assert len(body) % block == 0, f"body of {len(body)} bytes is not whole blocks"
    return [server_key.decrypt(body[i:i + block], PKCS1) for i in range(0, len(body), block)]


def check_submits(records, batches, encrypted, server_key):
    """The records are one /submit per batch (a batch: the list of line
    reads it holds), with the exact head and body, each accepted."""
    assert [r["target"] for r in records] == ["/submit"] * len(batches), records
    for record, reads in zip(records, batches):
        clear = b"".join(reads)
        head, body = head_and_body(record)
        if encrypted:
            pieces = chunks(reads, chunk_size(server_key))
            block = server_key.key_size // 8
            assert head == submit_head(clear, block * len(pieces), True)
            assert open_blocks(server_key, body) == pieces
            assert record["hash_ok"] is True
        else:
            assert head == submit_head(clear, len(clear), False)
            assert body == clear
            assert record["hash_ok"] is None
        assert record["accepted"] is True, record["error"]


def numbered_lines(count, start=0, width=0):
    return [(b"line %05d " % i).ljust(width, b"r") + b"\n" for i in range(start, start + count)]


def fault(path, nth=None, **action):
    entry = {"path": path, **action}
    if nth is not None:
        entry["nth"] = nth
    return entry


def connections_without_request(server):
    """Connections the server saw end with no request (handshake only)."""
    text = server.log.read_text(errors="replace") if server.log.exists() else ""
    return text.count("closed without a request")


def wait_until(predicate, what, timeout=30):
    deadline = time.monotonic() + timeout * SLOW
    while not predicate():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.02)


# ------------------------------------------------------- results batches --

LONG = b"x" * 5000 + b"\n"

BATCH_CASES = [
    # (file lines, SUBMIT_MAX_LINES or None, batches as lists of line reads)
    ("250-lines-default-limit", numbered_lines(250), None,
     [numbered_lines(100), numbered_lines(100, 100), numbered_lines(50, 200)]),
    ("exactly-100-lines", numbered_lines(100), None, [numbered_lines(100)]),
    ("limit-0", numbered_lines(3), "0", [[line] for line in numbered_lines(3)]),
    ("limit-not-a-number", numbered_lines(3), "abc", [[line] for line in numbered_lines(3)]),
    ("limit-3-of-7", numbered_lines(7), "3",
     [numbered_lines(3), numbered_lines(3, 3), numbered_lines(1, 6)]),
    # 5000 characters and a line feed take two reads, 4095 and 906 bytes,
    # which fill a batch of two on their own.
    ("5000-char-line-counts-twice", [LONG, b"short\n"], "2",
     [[LONG[:LINE_READ], LONG[LINE_READ:]], [b"short\n"]]),
    ("last-line-without-line-feed", [b"first\n", b"second"], None,
     [[b"first\n", b"second"]]),
    ("single-line-feed", [b"\n"], None, [[b"\n"]]),
]


@pytest.mark.parametrize("lines, limit, batches",
                         [case[1:] for case in BATCH_CASES],
                         ids=[case[0] for case in BATCH_CASES])
def test_results_go_in_batches_of_line_reads(sandbox, server, unit, lines, limit, batches):
    content = b"".join(lines)
    env = {} if limit is None else {"SUBMIT_MAX_LINES": limit}
    # Clear, then encrypted, in one world (worlds are slow to make).
    for run, command in enumerate(["-s", "-S"]):
        sandbox.write(RESULTS, content)
        result = sandbox.run_client([COLLECTOR_URL, command], env=env)
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b""), result
        records = server.requests()[run * len(batches):]
        check_submits(records, batches, command == "-S", unit)
        # One full handshake, then every further batch resumes the session.
        assert [r["session_reused"] for r in records] == [False] + [True] * (len(batches) - 1)
        assert received(server, "submit") == content * (run + 1)
        assert not sandbox.exists(RESULTS)


def test_empty_results_file_is_deleted_without_connecting(sandbox):
    seed_unit(sandbox, public_pem(rsa_key("server").public_key()), unit_id=UNIT_ID)
    accepted = sandbox.start_listener("127.0.0.2", 8443)
    for command in ("-s", "-S"):
        sandbox.write(RESULTS, b"")
        result = sandbox.run_client([COLLECTOR_URL, command])
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b""), result
        assert not sandbox.exists(RESULTS)
    assert accepted() == 0


def test_results_line_with_zero_byte_sends_the_bytes_before_it(sandbox, server, unit):
    content = b"ab\0cd\nef\n"
    sandbox.write(RESULTS, content)
    result = sandbox.run_client([COLLECTOR_URL, "-s"])
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b""), result
    check_submits(server.requests(), [[b"ab", b"ef\n"]], False, unit)
    # Nothing was appended during the run: nothing may be left for the next
    # one (which would send "ef" a second time).
    assert not sandbox.exists(RESULTS), sandbox.read(RESULTS)


# ------------------------------------------------------ cipher block sizes --

def test_result_lines_of_116_and_117_bytes_take_one_and_two_blocks(sandbox, server, unit):
    assert unit.key_size == 1024
    short, long_ = b"a" * 115 + b"\n", b"b" * 116 + b"\n"
    sandbox.write(RESULTS, short + long_)
    result = sandbox.run_client([COLLECTOR_URL, "-S"], env={"SUBMIT_MAX_LINES": "1"})
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b""), result
    records = server.requests()
    assert [r["headers"].get("Content-Length") for r in records] == ["128", "256"]
    check_submits(server.requests(), [[short], [long_]], True, unit)


# ------------------------------------------------------------------- log --

LOG_300 = bytes(range(1, 256)) + b"log line\n" * 5     # 300 bytes, no zero byte
LOG_NUL = b"before the zero\n\0after the zero\n"     # the digest stops at the zero


@pytest.mark.parametrize("command, log", [("-l", LOG_300), ("-L", LOG_300), ("-L", LOG_NUL)])
def test_log_upload(sandbox, server, unit, command, log):
    sandbox.write(LOG, log)
    result = sandbox.run_client([COLLECTOR_URL, command])
    encrypted = command == "-L"
    pieces = [log[i:i + 116] for i in range(0, len(log), 116)] if encrypted else [log]
    stderr = b"bodylength = 128 \n" * len(pieces) if encrypted else b""
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", stderr), result
    [record] = server.requests()
    head, body = head_and_body(record)
    assert head == log_head(log, 128 * len(pieces) if encrypted else len(log), encrypted)
    assert record["hash_ok"] is (True if encrypted else None)
    assert (open_blocks(unit, body) if encrypted else [body]) == pieces
    assert record["accepted"] is True, record["error"]
    assert received(server, "log") == log
    assert not sandbox.exists(LOG)


@pytest.mark.parametrize("reply", [
    "HTTP/1.1 500 Internal Server Error",
    "HTTP/1.1 201 Created",
])
def test_refused_log_is_kept(sandbox, server, unit, reply):
    server.set_config({"faults": [fault("/log", status=reply)]})
    sandbox.write(LOG, LOG_300)
    refused = log_refused(reply.encode())
    for command, stderr in [("-l", refused), ("-L", b"bodylength = 128 \n" * 3 + refused)]:
        result = sandbox.run_client([COLLECTOR_URL, command])
        assert (result.returncode, result.stdout, result.stderr) == (1, b"", stderr), result
        assert sandbox.read(LOG) == LOG_300
    records = server.requests()
    assert [(r["target"], r["headers"]["X-Encrypted"]) for r in records] == \
        [("/log", "false"), ("/log", "true")]
    assert [r["error"] for r in records] == [None, None]     # refused only by the reply
    assert received(server, "log") == b""


# ------------------------------------------------------------- empty log --

@pytest.mark.parametrize("reply, status", [
    (None, 0),
    ("HTTP/1.1 500 Internal Server Error", 1),
])
def test_empty_log_is_posted_with_an_empty_body(sandbox, server, unit, reply, status):
    if reply is not None:
        server.set_config({"faults": [fault("/log", status=reply)]})
    for command in ("-l", "-L"):
        sandbox.write(LOG, b"")
        result = sandbox.run_client([COLLECTOR_URL, command])
        # The reply decides, and no body write fails on the way.
        assert (result.returncode, result.stdout, result.stderr) == \
            (status, b"", b"" if status == 0 else log_refused()), result
        record = server.requests()[-1]
        # The head alone: nothing follows the empty line.
        assert record["raw"] == log_head(b"", 0, command == "-L")
        assert record["error"] is None
        assert record["accepted"] is (status == 0)
        assert sandbox.exists(LOG) == (status == 1)
    assert len(server.requests()) == 2


# ------------------------------------------------------------- refusals --

# Each request is accepted before the next goes: a refusal keeps what was
# not accepted, and what was goes, so that nothing is sent twice.
@pytest.mark.parametrize("command, path", [("-s", RESULTS), ("-S", RESULTS), ("-l", LOG)])
def test_refused_second_request_keeps_what_was_not_accepted(sandbox, server, unit, command, path):
    kind = "log" if path == LOG else "submit"
    server.set_config({"faults": [fault(f"/{kind}", nth=2,
                                        status="HTTP/1.1 500 Internal Server Error")]})
    # A rest of the log small enough to be copied back (README, Appending...).
    content = big_log(1_800_000) if path == LOG else b"".join(numbered_lines(250))
    sandbox.write(path, content)
    result = sandbox.run_client([COLLECTOR_URL, command])
    assert (result.returncode, result.stdout, result.stderr) == \
        (1, b"", log_refused() if path == LOG else batch_refused()), result
    records = server.requests()
    assert [r["accepted"] for r in records] == [True, False]
    if path == RESULTS:
        lines = content.splitlines(keepends=True)
        assert [r["clear"] for r in records] == [b"".join(lines[:100]), b"".join(lines[100:200])]
    assert received(server, kind) == records[0]["clear"]
    assert sandbox.read(path) == content[len(records[0]["clear"]):]


# ------------------------------------------------ keys or identifier missing --

# Without its identifier or the server's key file (what marks an enrolled
# unit) no upload goes out; the unit's private key no upload uses.
MISSING = ["all", "zorpublickey", "unitid"]


def leave_out(missing):
    if missing == "all":
        return ("unitprivatekey", "unitpublickey", "zorpublickey", "unitid")
    return (missing,)


@pytest.mark.parametrize("missing", MISSING)
def test_results_without_identity_stay_offline(sandbox, missing):
    seed_unit(sandbox, public_pem(rsa_key("server").public_key()), unit_id=UNIT_ID,
              leave_out=leave_out(missing))
    accepted = sandbox.start_listener("127.0.0.2", 8443)
    sandbox.write(RESULTS, b"result\n")
    for command in ("-s", "-S"):
        result = sandbox.run_client([COLLECTOR_URL, command])
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b""), result
        assert sandbox.read(RESULTS) == b"result\n"
    assert accepted() == 0


@pytest.mark.parametrize("missing", MISSING)
def test_log_without_identity_connects_and_sends_nothing(sandbox, server, missing):
    seed_unit(sandbox, server_public_pem(server), unit_id=UNIT_ID, leave_out=leave_out(missing))
    register_unit(server, UNIT_ID)
    sandbox.write(LOG, b"log\n")
    for runs, command in enumerate(["-l", "-L"], start=1):
        result = sandbox.run_client([COLLECTOR_URL, command])
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b""), result
        # One connection with its handshake, closed without a request.
        wait_until(lambda: connections_without_request(server) >= runs,
                   "the handshake-only connection")
        assert connections_without_request(server) == runs
        assert server.requests() == []
        assert sandbox.read(LOG) == b"log\n"


# An upload reads only what it uses: the identifier, and the server's key
# only to encrypt.
# (Which key each use needs is state_files_sandbox_test.cpp's table.)
@pytest.mark.parametrize("command, name, content", [
    ("-S", "unitprivatekey", None), ("-L", "unitprivatekey", None),
    ("-s", "zorpublickey", b"xx"), ("-l", "zorpublickey", b"xx")])
def test_uploads_read_only_the_keys_they_use(sandbox, server, unit, command, name, content):
    set_state_file(sandbox, name, content)
    results, encrypted = command in ("-s", "-S"), command in ("-S", "-L")
    sandbox.write(RESULTS if results else LOG, b"line one\nline two\n")
    result = sandbox.run_client([COLLECTOR_URL, command])
    stderr = b"bodylength = 128 \n" if command == "-L" else b""
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", stderr), result
    assert [(r["accepted"], r["hash_ok"]) for r in server.requests()] == \
        [(True, True if encrypted else None)]
    assert received(server, "submit" if results else "log") == b"line one\nline two\n"


# --------------------------------------------- uploads larger than a buffer --

def big_lines(total_bytes, width=4000):
    count = -(-total_bytes // (width + 1))
    return numbered_lines(count, width=width)


def big_log(size):
    line = b"%08d the unit's log, long enough to need several requests\n"
    data = b"".join(line % i for i in range(size // len(line % 0) + 1))
    return data[:size]


# Several requests, each within both buffers and accepted, that together carry
# the input once and in order, on one resumed session; results in whole lines,
# the log in whole pieces (only the last may be short).
@pytest.mark.parametrize("command, size", [
    ("-s", 3_000_000), ("-S", 1_500_000), ("-l", 2_500_000), ("-L", 1_200_000),
    ("-l", 2 * BUFFER),      # two whole requests: no empty one after them
])
def test_input_beyond_the_buffers_goes_in_more_requests(sandbox, server, unit, command, size):
    results, encrypted, piece = command in ("-s", "-S"), command in ("-S", "-L"), chunk_size(unit)
    lines = big_lines(size) if results else None
    content = b"".join(lines) if results else big_log(size)
    if command == "-S":  # the point: more cipher text than one buffer holds
        assert len(chunks(lines, piece)) * (unit.key_size // 8) > BUFFER
    sandbox.write(RESULTS if results else LOG, content)
    # A batch limit that alone would let one batch outgrow the buffers.
    result = sandbox.run_client([COLLECTOR_URL, command], env={"SUBMIT_MAX_LINES": "100000"})
    stderr = b"bodylength = 128 \n" * math.ceil(size / piece) if command == "-L" else b""
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", stderr), result
    records = server.requests()
    assert len(records) > 1, records
    for record in records:
        clear, (head, body) = record["clear"], head_and_body(record)
        assert record["accepted"] is True and clear, record["error"]
        assert head == (submit_head if results else log_head)(clear, len(body), encrypted)
        assert len(clear) <= BUFFER and len(body) <= BUFFER
        assert record["hash_ok"] is (True if encrypted else None)
        if results:
            assert clear.endswith(b"\n")
            blocks = len(chunks(clear.splitlines(keepends=True), piece)) if encrypted else 0
        else:
            # Encrypted in whole pieces, in clear in whole buffers; only the last may be short.
            assert record is records[-1] or len(clear) % (piece if encrypted else BUFFER) == 0
            blocks = math.ceil(len(clear) / piece) if encrypted else 0
        assert len(body) == (blocks * (unit.key_size // 8) if encrypted else len(clear))
    assert b"".join(r["clear"] for r in records) == content
    assert received(server, "submit" if results else "log") == content
    assert [r["session_reused"] for r in records] == [False] + [True] * (len(records) - 1)
    assert not sandbox.exists(RESULTS if results else LOG)


# ---------------------------------------------------- encryption failures --

def unusable_server_keys(server_key):
    n = server_key.public_key().public_numbers().n
    return {
        # Exponent above the modulus: every encryption fails.
        "exponent-above-modulus": raw_public_pem(n, n + 2),
        # A 12-byte modulus leaves no room for a single clear byte.
        "12-byte-modulus": raw_public_pem((1 << 95) + 0x2F, 65537),
    }


@pytest.mark.parametrize("key_name", ["exponent-above-modulus", "12-byte-modulus"])
def test_nothing_is_sent_when_encryption_fails(sandbox, server, key_name):
    seed_unit(sandbox, unusable_server_keys(server_private_key(server))[key_name], unit_id=UNIT_ID)
    register_unit(server, UNIT_ID)
    sandbox.write(RESULTS, b"one\ntwo\n")
    sandbox.write(LOG, LOG_300)

    result = sandbox.run_client([COLLECTOR_URL, "-S"])
    assert (result.returncode, result.stdout, result.stderr) == \
        (1, b"", b"Unable to encrypt /tmp/output for the server\n"), result
    assert sandbox.read(RESULTS) == b"one\ntwo\n"

    # The log flow connects first, then sends nothing of the log.
    result = sandbox.run_client([COLLECTOR_URL, "-L"])
    assert (result.returncode, result.stdout, result.stderr) == \
        (1, b"", b"Unable to encrypt /tmp/debug.out for the server\n"), result
    assert sandbox.read(LOG) == LOG_300
    wait_until(lambda: connections_without_request(server) >= 1, "the log flow's connection")
    assert connections_without_request(server) == 1
    assert server.requests() == []

    # The clear upload does not depend on the server key.
    result = sandbox.run_client([COLLECTOR_URL, "-s"])
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b""), result
    assert received(server, "submit") == b"one\ntwo\n"


# ------------------------------------------------- enrolled by the client --
