"""The secure transport end to end, against real TLS servers: the CA bundle,
the certificate and common-name checks, session resumption between the
requests of one command, and what the exchange keeps of an upload's reply
(NUL bytes, replies longer than the reply buffer). How a reply ends (close
notification or not, a stalled server) is exchange_test.cpp's."""

import base64
import contextlib
import ctypes
import datetime
import os
import re
import struct
import warnings

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.x509.oid import NameOID

from conftest import COLLECTOR, COLLECTOR_PORT, COLLECTOR_URL, start_collector
from sandbox import client_binary, runner
from unitstate import (NAME_MISMATCH, NOT_VERIFIED, NO_HANDSHAKE, NO_KEYS, STATE_DIR, enroll,
                       private_pem, publish, received, rsa_key)

NO_CA_LIST = "Ca\u2019t read CA list\n".encode()   # no "n"; U+2019 is E2 80 99
# A unit's library configured to allow every protocol and cipher: what is
# refused then, the client refuses itself.
PERMISSIVE_OPENSSL_CONF = """openssl_conf = init
[init]
ssl_conf = ssl
[ssl]
system_default = defaults
[defaults]
CipherString = DEFAULT:@SECLEVEL=0
MinProtocol = TLSv1
"""


# ---- certificates ---------------------------------------------------------

def issue_with_common_names(pki, directory, common_names):
    """A server certificate from the trusted test CA whose subject holds
    these common-name entries, in this order (none, one or several, any
    text); returns (cert path, key path)."""
    now = datetime.datetime.now(datetime.timezone.utc)
    names = [x509.NameAttribute(NameOID.ORGANIZATION_NAME, "halvorpin tests")]
    with warnings.catch_warnings():   # names beyond the 64 characters X.509 allows
        warnings.simplefilter("ignore")
        names += [x509.NameAttribute(NameOID.COMMON_NAME, cn, _validate=False)
                  for cn in common_names]
    # One key for every certificate made here: keys are slow to make, and
    # only the names differ between these certificates.
    key = rsa_key("certificate", bits=2048)
    cert = (
        x509.CertificateBuilder()
        .subject_name(x509.Name(names))
        .issuer_name(pki.ca.certificate.subject)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=1))
        .not_valid_after(now + datetime.timedelta(days=30))
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .sign(pki.ca.private_key, hashes.SHA256())
    )
    cert_path, key_path = directory / "names.crt", directory / "names.key"
    cert_path.write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    key_path.write_bytes(private_pem(key))
    return cert_path, key_path


# ---- replies ----------------------------------------------------------------

def faults(*entries):
    return {"faults": list(entries)}


def raw_reply(data):
    return {"path": "/submit", "raw_b64": base64.b64encode(data).decode()}


# ---- fatal set-up failures -------------------------------------------------

# ---- a clock the certificate does not fit -------------------------------------

def utc(moment):
    return moment.strftime("%Y-%m-%d %H:%M:%S")


def validity_line(unit_clock, cert_path):
    """The line that follows "Certificate doesn't verify" when the unit's
    clock is outside the validity of `cert_path`; unit_clock is a pattern."""
    cert = x509.load_pem_x509_certificate(cert_path.read_bytes())
    return (rb"Unit clock " + unit_clock + rb" UTC is outside the certificate's validity \(" +
            re.escape(f"{utc(cert.not_valid_before)} UTC to {utc(cert.not_valid_after)} UTC)"
                      .encode()) + rb"\n")


TODAY = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d").encode()
# libfaketime starts the unit's clock at the epoch, as a board without a
# battery-backed clock boots; monotonic time runs on, so time-outs still work.
# A build for a C library libfaketime cannot go into (musl) names its own
# command prefix that does the same in HALVORPIN_CLOCK_AT_EPOCH.
AT_1970 = (os.environ.get("HALVORPIN_CLOCK_AT_EPOCH", "").split()
           or ["faketime", "-f", "@1970-01-01 00:00:00"])


# A unit whose clock is wrong, or a server whose certificate ran out: the
# message says which clock and which dates disagree. In 1970 every
# certificate of the chain is not yet valid; the test CA, at its top, is
# the one verification stops at.
@pytest.mark.parametrize("command", ["-v", "-a"])
@pytest.mark.parametrize("prefix, expired, unit_clock, failing", [
    ([], True, re.escape(TODAY) + rb" \d\d:\d\d:\d\d", "server"),
    (AT_1970, False, rb"1970-01-01 00:00:0\d", "ca"),
], ids=["expired-certificate", "clock-at-1970"])
def test_certificate_outside_the_unit_clock(sandbox, pki, command, prefix, expired, unit_clock,
                                            failing):
    cert, key = pki.issue(COLLECTOR, expired=expired)
    server = start_collector(sandbox, cert, key)
    enroll(sandbox, server)
    # A sanitizer build must let the clock's library load ahead of its runtime.
    asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
    result = sandbox.run(prefix + runner() + [client_binary(), COLLECTOR_URL, command],
                         env={"DONT_FAKE_MONOTONIC": "1", "ASAN_OPTIONS": asan})
    failing_cert = cert if failing == "server" else pki.ca.cert
    assert result.returncode == 1, result
    assert re.fullmatch(re.escape(NOT_VERIFIED) + validity_line(unit_clock, failing_cert),
                        result.stderr), result
    assert server.requests() == []


# ---- the CA bundle ------------------------------------------------------------

def damaged(pem, at, byte):
    """The certificate with DER byte `at` (from the end when negative)
    replaced, or cut there when byte is None; in PEM again."""
    der = bytearray(x509.load_pem_x509_certificate(pem).public_bytes(serialization.Encoding.DER))
    der = der[:at] if byte is None else der[:at] + bytes([byte]) + der[at + 1 or len(der):]
    text = base64.b64encode(bytes(der))
    return b"-----BEGIN CERTIFICATE-----\n%s\n-----END CERTIFICATE-----\n" % b"\n".join(
        text[i:i + 64] for i in range(0, len(text), 64))


# Wherever the needed CA stands in a small or a public-sized bundle, or
# when it is missing, the chain is judged as when the library read the
# whole file: the root directly or through an intermediate the server
# sends, an untrusted CA, an expired certificate, a wrong name. A block
# before the CA that the library's reader takes whole (a damaged signature)
# changes nothing.
@pytest.mark.parametrize("chain", ["root", "intermediate", "untrusted", "expired", "wrong-name"])
def test_trust_wherever_the_ca_stands_in_the_bundle(sandbox, pki, chain):
    cert, key = pki.issue("other.test" if chain == "wrong-name" else COLLECTOR,
                          issuer={"intermediate": pki.intermediate,
                                  "untrusted": pki.untrusted}.get(chain),
                          expired=chain == "expired")
    if chain == "intermediate":   # the server sends its chain
        (sandbox.workdir / "chain.crt").write_bytes(cert.read_bytes() +
                                                    pki.intermediate.cert.read_bytes())
        cert = sandbox.workdir / "chain.crt"
    start_collector(sandbox, cert, key)
    ca, public_cas = pki.ca.cert.read_bytes(), pki.public_cas()
    for size, others in [("small", public_cas[:1]),
                         ("public", [damaged(public_cas[0], -3, 0x55)] + public_cas[1:])]:
        for place, bundle in [("first", [ca] + others), ("last", others + [ca]), ("absent", others)]:
            sandbox.write("/etc/ca-bundle.crt", b"".join(bundle))
            result = sandbox.run_client([COLLECTOR_URL, "-v"])
            if place == "absent" or chain == "untrusted":
                expected = re.escape(NOT_VERIFIED)
            elif chain == "expired":
                expected = re.escape(NOT_VERIFIED) + validity_line(re.escape(TODAY) + rb" [0-9:]{8}", cert)
            else:
                expected = re.escape(NAME_MISMATCH if chain == "wrong-name" else b"")
            assert re.fullmatch(expected, result.stderr), (size, place, result)
            assert (result.returncode, result.stdout) == \
                ((1, b"") if expected else (0, NO_KEYS)), (size, place, result)


# What the library's reader refuses anywhere in the bundle, before the
# needed CA too, leaves no trust at all.
@pytest.mark.parametrize("command", ["-v", "-a"])
@pytest.mark.parametrize("bundle", ["missing", "empty", "bad-character", "cut-certificate",
                                    "no-end-line"])
def test_unreadable_ca_bundle_ends_the_run_before_any_traffic(make_sandbox, pki, command, bundle):
    box = make_sandbox(ca_bundle=None)
    ca = pki.ca.cert.read_bytes()
    other = pki.untrusted.cert.read_bytes()
    content = {"missing": None, "empty": b"",
               "bad-character": other.replace(b"\n", b"\n!", 3) + ca,
               "cut-certificate": damaged(other, -40, None) + ca,
               "no-end-line": ca + other.replace(b"-----END CERTIFICATE-----\n", b"")}[bundle]
    if content is not None:
        box.write("/etc/ca-bundle.crt", content)
    accepted = box.start_listener("127.0.0.2", COLLECTOR_PORT)
    result = box.run_client([COLLECTOR_URL, command])
    assert result.returncode == 1, result
    assert result.stderr.startswith(NO_CA_LIST), result
    assert result.stdout == b"", result
    assert accepted() == 0
    assert not box.exists(STATE_DIR)


# Each certificate, or a server offering only TLS 1.1 or older, is refused
# right after the handshake: `a` would otherwise generate keys and send its
# enrollment request at once.
@pytest.mark.parametrize("certificate, message", [
    (dict(issuer="untrusted"), NOT_VERIFIED),
    # The chain is judged before the name: a wrong name from an untrusted CA
    # still gets the verification message.
    (dict(issuer="untrusted", cn="other.test"), NOT_VERIFIED),
    (dict(cn="other.test"), NAME_MISMATCH),
    (dict(no_cn=True), NAME_MISMATCH),
    # A name with a NUL must not pass as the text before the NUL.
    (dict(cn="collector.test\0.other.test"), NAME_MISMATCH),
    (dict(server_args=["--tls-max", "1.1"]), NO_HANDSHAKE),
], ids=["untrusted-ca", "untrusted-ca-and-wrong-name", "wrong-name",
        "no-common-name", "nul-in-common-name", "tls1.1-server"])
def test_refused_server_ends_the_run_before_any_request(sandbox, pki, certificate, message):
    options = dict(certificate)
    cn = options.pop("cn", COLLECTOR)
    server_args = options.pop("server_args", [])
    if options.get("issuer") == "untrusted":
        options["issuer"] = pki.untrusted
    cert, key = pki.issue(cn, **options)
    server = start_collector(sandbox, cert, key, *server_args)
    conf = sandbox.workdir / "openssl.cnf"
    conf.write_text(PERMISSIVE_OPENSSL_CONF)
    result = sandbox.run_client([COLLECTOR_URL, "-a"], env={"OPENSSL_CONF": str(conf)})
    assert result.returncode == 1, result
    assert result.stdout == b"", result
    if message == NAME_MISMATCH:
        assert result.stderr == message, result
    else:
        assert result.stderr.startswith(message), result
    assert server.requests() == []
    assert not sandbox.exists(STATE_DIR)   # no key was generated either


def test_results_upload_checks_the_certificate_of_its_first_connection(sandbox, pki):
    # The results flow connects late, when its first batch is ready.
    cert, key = pki.issue(COLLECTOR, issuer=pki.untrusted)
    server = start_collector(sandbox, cert, key)
    enroll(sandbox, server, version="2.0")
    sandbox.write("/tmp/output", "r1\n")
    result = sandbox.run_client([COLLECTOR_URL, "-s"])
    assert result.returncode == 1, result
    assert result.stderr.startswith(NOT_VERIFIED), result
    assert server.requests() == []
    assert sandbox.read("/tmp/output") == b"r1\n"


# ---- common name against the host name -------------------------------------

# `v` on a unit without keys connects, checks the certificate and stops:
# the keys message shows that the certificate was accepted. The name rules
# are the unit tests' (cert_names_test.cpp, pattern_match_test.cpp); here, a
# certificate's names reach them: case, only the first common name, and no
# star for a host given as an address.
@pytest.mark.parametrize("common_names, host, accepted", [
    (["Collector.TEST"], COLLECTOR, True),
    (["collector.test", "other.test"], COLLECTOR, True),
    (["other.test", "collector.test"], COLLECTOR, False),
    (["*.0.0.2"], "127.0.0.2", False),
], ids=["case", "first-of-two", "second-of-two", "star-for-an-address"])
def test_common_name_matching(sandbox, pki, common_names, host, accepted):
    cert, key = issue_with_common_names(pki, sandbox.workdir, common_names)
    start_collector(sandbox, cert, key)
    result = sandbox.run_client([f"https://{host}:{COLLECTOR_PORT}", "-v"])
    if accepted:
        assert (result.returncode, result.stdout, result.stderr) == (0, NO_KEYS, b""), result
    else:
        assert (result.returncode, result.stdout, result.stderr) == (1, b"", NAME_MISMATCH), result


# ---- session resumption ----------------------------------------------------

# Which connections resume is test_connections_each_command_opens's, with
# TLS 1.3; here the other protocol version, and a server that declines.
@pytest.mark.parametrize("server_args, tls_version, resumes", [
    (["--tls-max", "1.2"], "TLSv1.2", True),
    (["--no-resume"], "TLSv1.3", False),
], ids=["tls1.2", "server-declines"])
def test_reconnects_resume_the_tls_session(sandbox, pki, server_args, tls_version, resumes):
    server = start_collector(sandbox, *pki.issue(COLLECTOR), *server_args)
    enroll(sandbox, server, version="2.0")
    # Results in batches of one line: one connection, then two reconnects.
    sandbox.write("/tmp/output", "r1\nr2\nr3\n")
    result = sandbox.run_client([COLLECTOR_URL, "-s"], env={"SUBMIT_MAX_LINES": "1"})
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b""), result
    uploads = server.requests()
    assert [r["body"] for r in uploads] == [b"r1\n", b"r2\n", b"r3\n"], uploads
    assert [r["session_reused"] for r in uploads] == [False, resumes, resumes]
    assert {r["tls_version"] for r in uploads} == {tls_version}
    assert received(server, "submit") == b"r1\nr2\nr3\n"


# ---- connections ----------------------------------------------------------

# The connections each command opens at the collection server (which also
# serves the package here): (requests carried, resumed a TLS session), in
# any order. One request per connection: the first on the connection the
# run opened and checked, each further one on a re-connection that resumes
# the session; the package on a connection of its own. `p` connects and
# checks before it knows its package host, and `v` re-connects before its
# download: neither carries a request.
@pytest.mark.parametrize("command, setup, opened", [
    ("-a", None, [(1, False), (1, True), (1, True), (1, False)]),
    ("-v", "1.0", [(1, False), (0, True), (1, False)]),
    ("-v", "2.0", [(1, False)]),
    ("-p", "1.0", [(0, False), (1, False)]),
    ("-s", "1.0", [(1, False), (1, True), (1, True)]),
    ("-l", "1.0", [(1, False)]),
    ("-L", "1.0", [(1, False), (1, True)]),
], ids=["a-fresh", "v-update", "v-current", "p", "s-three-batches", "l", "L-two-requests"])
def test_connections_each_command_opens(sandbox, server, command, setup, opened):
    publish(server, "2.0")
    (server.state / "packages" / "testpackage.tar.gz").write_bytes(b"p")
    server.set_config({"version": "2.0"})
    if setup is not None:
        enroll(sandbox, server, version=setup)
    sandbox.write("/tmp/output", "r1\nr2\nr3\n")
    # The log goes in requests of 1,000,000 bytes at most.
    sandbox.write("/tmp/debug.out", b"l" * (1_500_000 if command == "-L" else 1_000))
    result = sandbox.run_client([COLLECTOR_URL, command], env={"SUBMIT_MAX_LINES": "1"})
    assert result.returncode == 0, result
    seen = [(c["requests"], c["session_reused"])
            for c in server.connections(at_least=len(opened))]
    assert sorted(seen) == sorted(opened), seen


def counting_opens(path):
    """A function giving how often `path` was opened since this call, by
    anyone (inotify; closes are watched too, as equal events in a row merge,
    and a file's events carry no name: 16 bytes each)."""
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
    assert fd >= 0 and libc.inotify_add_watch(fd, bytes(path), 0x20 | 0x18) >= 0

    def opens():
        events = b""
        with contextlib.suppress(BlockingIOError):
            while True:
                events += os.read(fd, 4096)
        os.close(fd)
        return sum(struct.unpack_from("I", events, at + 4)[0] & 0x20 != 0
                   for at in range(0, len(events), 16))
    return opens


# One TLS context per run: an update run, with its version query, a
# re-connection and the package host's connection, reads the bundle once.
@pytest.mark.parametrize("command", ["-a", "-v"])
def test_a_run_reads_the_ca_bundle_once(sandbox, server, command):
    publish(server, "2.0")
    server.set_config({"version": "2.0"})
    if command == "-v":
        enroll(sandbox, server, version="1.0")
    opens = counting_opens(sandbox.path("/etc/ca-bundle.crt"))
    result = sandbox.run_client([COLLECTOR_URL, command])
    assert (result.returncode, result.stderr) == (0, b""), result
    assert sandbox.read("/tmp/kelvoz/started") == b"2.0\n"
    assert opens() == 1


# ---- what decides an upload ------------------------------------------------

# The status line and header block decide, by the code alone: nothing in
# the body counts, and a body cut short after a whole 200 head does not
# make the batch go again (the server has it).
@pytest.mark.parametrize("reply, stderr", [
    (b"HTTP/1.0 200 OK\r\n\r\n", b""),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\ncut", b""),
    (b"HTTP/1.1 500 Refused\r\n\r\nHTTP/1.1 200 OK",
     b"A results batch was refused by collector.test: HTTP/1.1 500 Refused; /tmp/output stays\n"),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab",
     b"Unusable reply to a results batch from collector.test: conflicting Content-Length; "
     b"/tmp/output stays\n"),
    (b"HTTP/1.1 200 OK\r\nContent-Le",
     b"Unusable reply to a results batch from collector.test: cut short; /tmp/output stays\n"),
], ids=["http-1.0", "body-cut-after-the-head", "status-text-in-the-body", "conflicting-lengths",
        "head-cut-short"])
def test_what_decides_an_upload(sandbox, server, reply, stderr):
    enroll(sandbox, server, version="2.0")
    server.set_config(faults(raw_reply(reply)))
    sandbox.write("/tmp/output", "r1\n")
    result = sandbox.run_client([COLLECTOR_URL, "-s"])
    assert (result.returncode, result.stdout, result.stderr) == \
        (0 if stderr == b"" else 1, b"", stderr), result
    assert [r["body"] for r in server.requests()] == [b"r1\n"]
    assert sandbox.exists("/tmp/output") == (stderr != b"")
