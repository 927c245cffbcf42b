"""Signed packages: with the operator's keys at /etc/package-keys.pem, a
package is installed only when "<locator>.sig" from the same host verifies
over the archive with one of them; without the file nothing changes, not
even a request. A unit enrolled with an old package "0.9" asks with `-v`
unless a row says otherwise; the reference server is also the package
host."""

import os
import subprocess
import time

import pytest

from conftest import COLLECTOR_URL
from pki import public_pem, sign, signing_key
from sandbox import SLOW, client_binary, runner
from unitstate import (TAR_LIST, assert_installed, enroll, install_old_package, package_request,
                       publish, raw_requests, version_request)
from webservers import start_nginx

KEYS = "/etc/package-keys.pem"
PACKAGE = "/packages/package.tar.gz"
LOCATOR = f"{COLLECTOR_URL}{PACKAGE}"
OLD = {"/tmp/kelvoz/runonce.sh", "/tmp/kelvoz/schedulerconfig", "/tmp/schedulerconfig",
       "/tmp/tolvenra/version"}

_keys = {}


def key(name):
    """One signing key per name for the session ("rsa-2048", "p256", ...)."""
    if name not in _keys:
        _keys[name] = signing_key(name.split(":")[0])
    return _keys[name]


def snapshot(box):
    return {path: box.read(path) for path in OLD}


def missing(status_line):
    return b"Package signature missing: collector.test %s\n" % status_line


NOT_VERIFIED = f"Package signature does not verify: {LOCATOR}\n".encode()
UNUSABLE_KEYS = f"Unusable package keys in {KEYS}\n".encode()


# Rows: the keys in the key file, what the host serves as signature (a
# function of the package's bytes; None: no .sig), config of the server,
# and the outcome: None when installed, else the message.
ROWS = {
    "rsa-2048": (["rsa-2048"], lambda d: sign(key("rsa-2048"), d), {}, None),
    "p256": (["p256"], lambda d: sign(key("p256"), d), {}, None),
    "second-key-verifies": (["rsa-2048:other", "p256"], lambda d: sign(key("p256"), d), {},
                            None),
    "encrypted-signed-in-clear": (["rsa-2048"], lambda d: sign(key("rsa-2048"), d),
                                  {"package_encrypted": True}, None),
    "no-signature": (["rsa-2048"], None, {}, missing(b"HTTP/1.1 404 Not Found")),
    "empty-signature": (["rsa-2048"], lambda d: b"", {}, NOT_VERIFIED),
    "truncated-signature": (["rsa-2048"], lambda d: sign(key("rsa-2048"), d)[:-8], {},
                            NOT_VERIFIED),
    "signed-by-another-key": (["rsa-2048"], lambda d: sign(key("rsa-2048:other"), d), {},
                              NOT_VERIFIED),
    "signature-of-another-archive": (["p256"], lambda d: sign(key("p256"), d + b"\0"), {},
                                     NOT_VERIFIED),
}


@pytest.mark.parametrize("row", list(ROWS))
def test_a_signed_package(sandbox, server, row):
    keys, make_signature, config, message = ROWS[row]
    enroll(sandbox, server)
    install_old_package(sandbox)
    data = publish(server, "1.0")
    if make_signature is not None:
        (server.state / "packages" / "package.tar.gz.sig").write_bytes(make_signature(data))
    sandbox.write(KEYS, b"".join(public_pem(key(k)) for k in keys))
    server.set_config({"version": "1.0", **config})
    before = snapshot(sandbox)
    result = sandbox.run_client([COLLECTOR_URL, "-v"])
    assert raw_requests(server) == [version_request("0.9"), package_request(),
                                    package_request(PACKAGE + ".sig")]
    if message is None:
        assert (result.returncode, result.stdout, result.stderr) == (0, TAR_LIST, b""), result
        assert_installed(sandbox, data, b"1.0\n", b"1.0\n")
        return
    assert (result.returncode, result.stdout, result.stderr) == (1, b"", message), result
    assert snapshot(sandbox) == before
    # The archive is gone with the work files; nothing was unpacked.
    assert sorted(set(sandbox.listdir("/tmp/tolvenra")) & {"download", "package.tar.gz"}) == []


def test_an_archive_changed_after_signing_is_refused(sandbox, server):
    enroll(sandbox, server)
    install_old_package(sandbox)
    data = publish(server, "1.0", signed_by=key("rsa-2048"))
    changed = bytearray(data)
    changed[len(changed) // 2] ^= 1
    (server.state / "packages" / "package.tar.gz").write_bytes(bytes(changed))
    sandbox.write(KEYS, public_pem(key("rsa-2048")))
    server.set_config({"version": "1.0"})
    result = sandbox.run_client([COLLECTOR_URL, "-a"])
    assert (result.returncode, result.stdout, result.stderr) == (1, b"", NOT_VERIFIED), result


# Without the key file: the bytes of today, no signature asked for, even
# where the host has one.
def test_without_keys_no_signature_is_asked_for(sandbox, server):
    enroll(sandbox, server)
    data = publish(server, "1.0", signed_by=key("rsa-2048"))
    result = sandbox.run_client([COLLECTOR_URL, "-a"])
    assert (result.returncode, result.stdout, result.stderr) == (0, TAR_LIST, b""), result
    assert raw_requests(server) == [version_request(""), package_request()]
    assert_installed(sandbox, data, b"1.0\n", b"1.0\n")


# A key file the unit cannot rely on installs nothing, and fetches nothing.
@pytest.mark.parametrize("content, mode, owner", [
    (lambda: public_pem(key("rsa-2048")), 0o664, 0),
    (lambda: public_pem(key("rsa-2048")), 0o644, 65534),
    (lambda: b"", 0o644, 0),
    (lambda: b"-----BEGIN PUBLIC KEY-----\ngarbage\n-----END PUBLIC KEY-----\n", 0o644, 0),
    (lambda: public_pem(key("rsa-1024")), 0o644, 0),
], ids=["group-writable", "not-root-s", "empty", "garbage", "rsa-1024-only"])
@pytest.mark.parametrize("command", ["-v", "-p"])
def test_unusable_keys_fail_closed(sandbox, server, content, mode, owner, command):
    enroll(sandbox, server)
    install_old_package(sandbox)
    publish(server, "1.0", signed_by=key("rsa-2048"))
    (server.state / "packages" / "testpackage.tar.gz").write_bytes(b"p")
    sandbox.write(KEYS, content(), mode=mode)
    os.chown(sandbox.path(KEYS), owner, owner)
    server.set_config({"version": "1.0"})
    before = snapshot(sandbox)
    result = sandbox.run_client([COLLECTOR_URL, command])
    # -p keeps its statuses: 0 once connected.
    assert (result.returncode, result.stdout, result.stderr) == \
        (1 if command == "-v" else 0, b"", UNUSABLE_KEYS), result
    assert raw_requests(server) == ([version_request("0.9")] if command == "-v" else [])
    assert snapshot(sandbox) == before


def test_the_package_request_verifies_too(sandbox, server):
    enroll(sandbox, server)
    (server.state / "packages" / "testpackage.tar.gz").write_bytes(b"fetched by -p")
    (server.state / "packages" / "testpackage.tar.gz.sig").write_bytes(
        sign(key("p256"), b"something else"))
    sandbox.write(KEYS, public_pem(key("p256")))
    result = sandbox.run_client([COLLECTOR_URL, "-p"])
    locator = "collector.test:8443/testpackage.tar.gz"
    assert (result.returncode, result.stdout, result.stderr) == \
        (0, b"", f"Package signature does not verify: {locator}\n".encode()), result
    assert sandbox.read("/tmp/testpackage.tar.gz") == b""


# Debian's stock nginx serves the archive and its signature from one
# directory; the keep-alive connection carries both requests.
def test_stock_nginx_serves_a_signed_package(sandbox, server, pki):
    enroll(sandbox, server)
    data = publish(server, "1.0")
    nginx = start_nginx(sandbox, pki.web_server("packages.test"),
                        {"package.tar.gz": data, "package.tar.gz.sig": sign(key("p256"), data)})
    sandbox.write(KEYS, public_pem(key("p256")))
    server.set_config({"version": "1.0", "locator": "https://packages.test/package.tar.gz"})
    result = sandbox.run_client([COLLECTOR_URL, "-v"])
    assert (result.returncode, result.stdout, result.stderr) == (0, TAR_LIST, b""), result
    assert_installed(sandbox, data, b"1.0\n", b"1.0\n")
    log = nginx.access_log(at_least=2)
    assert [line.split('"')[1] for line in log] == ["GET /package.tar.gz HTTP/1.1",
                                                     "GET /package.tar.gz.sig HTTP/1.1"]


# A run killed while the signature is on its way leaves the old package,
# and the next run installs the new one.
def test_a_run_killed_during_the_signature_check_keeps_the_old_package(sandbox, server):
    enroll(sandbox, server)
    install_old_package(sandbox)
    data = publish(server, "1.0", signed_by=key("rsa-2048"))
    sandbox.write(KEYS, public_pem(key("rsa-2048")))
    sandbox.run(["mkdir", "/tmp/gate"])
    server.set_config({"version": "1.0", "faults": [
        {"path": PACKAGE + ".sig", "nth": 1, "gate": "/tmp/gate"}]})
    before = snapshot(sandbox)
    run = sandbox.popen(runner() + [client_binary(), COLLECTOR_URL, "-v"],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 30 * SLOW
    while not sandbox.exists("/tmp/gate/held"):
        assert time.monotonic() < deadline, "the signature was never asked for"
        time.sleep(0.02)
    # The world's own processes only: the client, held at its signature.
    assert sandbox.run(["pkill", "-KILL", "-f", str(client_binary())]).returncode == 0
    run.wait()
    assert snapshot(sandbox) == before
    sandbox.write("/tmp/gate/go", b"")
    result = sandbox.run_client([COLLECTOR_URL, "-v"])
    assert (result.returncode, result.stderr) == (0, b""), result
    assert_installed(sandbox, data, b"1.0\n", b"1.0\n")
