"""Package update end to end: the `v` and `p` commands and the update half of
`a` on an enrolled unit. Version replies good and malformed, the version
comparison, clear and encrypted packages (damaged blocks, trailing bytes),
packages that are not valid, a separate package host with its certificate
checked, version texts that must reach the version file as plain data, and
every exit status of the three commands.

Most cases start from a unit enrolled by writing its state files directly
(unitstate.enroll: key pair, identifier, server key) with an old package "0.9"
installed, so that "untouched" can be checked byte for byte."""

import base64
import os
from pathlib import Path

import pytest
from cryptography.hazmat.primitives.asymmetric import padding

import unitstate
from conftest import COLLECTOR_URL
from unitstate import (COLLECTOR, LOCK_FILES, NAME_MISMATCH, NOT_VERIFIED, NO_KEYS, STATE_DIR,
                       STATE_FILES, TAR_LIST, enroll, install_old_package, package_request, publish,
                       raw_requests, set_state_file, state_files, targets, tmp_entries, unit_key,
                       version_request)

PACKAGES = "packages.test"
PACKAGES_PORT = 9443
# How gunzip's own messages start: GNU gzip names the file after this,
# BusyBox's gzip says what is wrong ("invalid magic", "crc error").
GZIP_FAILED = b"gzip: "
UNUSABLE_LOCATOR = b"Unusable package locator in the version reply\n"


def version_refused(status_line):
    return b"Version query refused by collector.test: %s\n" % status_line


def unusable_version(why):
    return b"Unusable version reply from collector.test: %s\n" % why

NOT_GZIP = b"The package archive does not decompress\n"
NO_START_SCRIPT = b"Package refused: no executable kelvoz/runonce.sh\n"


def refused_by(host, status_line):
    return b"Package download refused by %s: %s\n" % (host.encode(), status_line)



# ---- an enrolled unit with an old package -------------------------------------

def enrolled_with_old_package(box, server):
    enroll(box, server)
    install_old_package(box)


def snapshot(box):
    """Every file of the installed package and the state directory: content and mode."""
    files = {}
    for top in ("/tmp/kelvoz", "/tmp/tolvenra"):
        for root, _, names in os.walk(box.path(top)):
            for name in names:
                if name in LOCK_FILES or name == "download":   # a refused download's answer
                    continue
                path = Path(root) / name
                files[str(path)] = (path.read_bytes(), path.stat().st_mode)
    schedule = box.path("/tmp/schedulerconfig")
    if schedule.exists():
        files[str(schedule)] = (schedule.read_bytes(), schedule.stat().st_mode)
    return files


# ---- packages -------------------------------------------------------------------

def assert_installed(box, data, version_line, started):
    """unitstate's checks of an installed package, and two more that the
    update cases hold the client to."""
    unitstate.assert_installed(box, data, version_line, started)
    assert os.stat(box.path("/tmp/kelvoz/runonce.sh")).st_mode & 0o100
    # Written as data through a temporary file: nothing else is left.
    assert state_files(box) == STATE_FILES


def run(box, command, url=COLLECTOR_URL):
    return box.run_client([url, command])


# ---- the life of a unit -----------------------------------------------------------

# ---- version comparison -------------------------------------------------------------

# The comparison's rules are locator_test.cpp's (VersionCompare) and the
# version file's reading state_files_sandbox_test.cpp's; here, that `v` acts
# on them: the same version asks for nothing more, another installs.
@pytest.mark.parametrize("version_file, offered, current, updates", [
    (b"1.10\n", "1.10", "1.10", False),
    (b"1.2.3.4.5\n", "1.2.3.4.6", "1.2.3.4.5", False),   # equal over 8 characters
    (b"1.10\n", "1.10.1", "1.10", True),
], ids=["1.10-offered-1.10", "1.2.3.4.5-offered-1.2.3.4.6", "1.10-offered-1.10.1"])
def test_version_comparison(sandbox, server, version_file, offered, current, updates):
    enrolled_with_old_package(sandbox, server)
    set_state_file(sandbox, "version", version_file)
    data = publish(server, offered)
    server.set_config({"version": offered})
    before = snapshot(sandbox)

    result = run(sandbox, "-v")
    assert (result.returncode, result.stderr) == (0, b""), result
    if updates:
        assert result.stdout == TAR_LIST, result
        assert raw_requests(server) == [version_request(current), package_request()]
        assert_installed(sandbox, data, f"{offered}\n".encode(), f"{offered}\n".encode())
    else:
        assert result.stdout == b"", result
        assert raw_requests(server) == [version_request(current)]
        assert snapshot(sandbox) == before


# ---- outcomes of the update, `a` and `v` ----------------------------------------------

def length_fault(value):
    return {"faults": [{"path": "/version", "content_length": value}]}


def version_fault(**action):
    return {"faults": [{"path": "/version", **action}]}


def gzip_then(message):
    """gzip's own complaint about the archive, then the client's line."""
    def check(stderr, command):
        lines = [line for line in stderr.split(b"\n") if line]
        return len(lines) >= 2 and lines[-1] + b"\n" == message and \
            all(line.startswith(GZIP_FAILED) for line in lines[:-1])
    return check


def nothing(stderr, command):
    return stderr == b""


def saying(message):
    return lambda stderr, command: stderr == message


def saying_for_a(message):
    """`a` fails with the message; `v` ends quietly."""
    return lambda stderr, command: stderr == (message if command == "-a" else b"")


# What the server does (config.json, package kind), the status of each command
# run with it, whether the new package is installed, stdout, and a check of stderr.
P, ENCRYPTED, OK = pytest.param, {"package_encrypted": True}, nothing
LISTED_BEFORE_THE_DAMAGE = "a start of the member list"   # checked as a prefix
PACKAGE_FAULT = {"path": "/packages/"}
OUTCOMES = [
    # Installed.
    P({}, None, {"-a": 0, "-v": 0}, True, TAR_LIST, OK, id="clear-package"),
    P(ENCRYPTED, None, {"-a": 0, "-v": 0}, True, TAR_LIST, OK, id="encrypted-package"),
    # No version text: a refusal, or a reply that cannot be read, says so.
    # (How replies are read is reply_sink_test.cpp's.)
    P(version_fault(status="HTTP/1.1 404 Not Found"), None, {"-a": 1, "-v": 0}, False, b"",
      saying(version_refused(b"HTTP/1.1 404 Not Found")), id="version-404"),
    P(version_fault(omit_header="Content-Length"), None, {"-a": 1, "-v": 0}, False, b"",
      saying(unusable_version(b"no Content-Length")), id="version-no-content-length"),
    P(length_fault("129"), None, {"-v": 0}, False, b"", saying(unusable_version(b"cut short")),
      id="version-length-beyond-received"),
    P(length_fault("12a"), None, {"-v": 0}, False, b"",
      saying(unusable_version(b"Content-Length not a plain number")), id="version-length-12a"),
    # A body that does not decrypt gives an empty text, hence an empty
    # locator: nothing to ask for.
    P(version_fault(raw_b64=base64.b64encode(
        b"HTTP/1.1 200 OK\r\nContent-Length: 128\r\n\r\n" + b"\x42" * 128).decode()),
      None, {"-v": 0}, False, b"", saying(UNUSABLE_LOCATOR), id="version-body-does-not-decrypt"),
    # A front end that knows only the standard phrases and writes names in
    # lower case changes nothing.
    P(version_fault(reason="OK", header_case="lower"), None, {"-a": 0, "-v": 0}, True, TAR_LIST,
      OK, id="version-proxied"),
    # Download refused.
    P({"locator": "https://collector.test:8443/packages/missing.tar.gz"}, None,
      {"-a": 1, "-v": 0}, False, b"", saying(refused_by(COLLECTOR, b"HTTP/1.1 404 Not Found")),
      id="package-missing"),
    P({"faults": [{**PACKAGE_FAULT, "status": "HTTP/1.1 500 Server Error"}]}, None, {"-v": 0},
      False, b"", saying(refused_by(COLLECTOR, b"HTTP/1.1 500 Server Error")), id="package-500"),
    # Not a valid package: nothing replaced.
    P({}, "not-gzip", {"-a": 1, "-v": 1}, False, b"", gzip_then(NOT_GZIP), id="package-not-gzip"),
    P({}, "missing-runonce", {"-a": 1, "-v": 1}, False, b"kelvoz/\nkelvoz/schedulerconfig\n",
      saying(NO_START_SCRIPT), id="package-missing-runonce"),
    P({}, "not-executable", {"-v": 1}, False, TAR_LIST, saying(NO_START_SCRIPT),
      id="package-runonce-not-executable"),
    # tar may list what it unpacked before gzip found the damage.
    P({**ENCRYPTED, "faults": [{**PACKAGE_FAULT, "damage_block": 1}]}, None, {"-a": 1, "-v": 1},
      False, LISTED_BEFORE_THE_DAMAGE, gzip_then(NOT_GZIP), id="encrypted-package-damaged-block"),
]


def outcome_params():
    for row in OUTCOMES:
        config, broken, statuses, installs, stdout, stderr_ok = row.values
        for command, status in statuses.items():
            yield pytest.param(command, config, broken, status, installs, stdout, stderr_ok,
                               id=f"{row.id}{command}")


@pytest.mark.parametrize("command, config, broken, status, installs, stdout, stderr_ok",
                         list(outcome_params()))
def test_update_outcome(sandbox, server, command, config, broken, status, installs,
                        stdout, stderr_ok):
    enrolled_with_old_package(sandbox, server)
    data = publish(server, "1.0", broken=broken)
    server.set_config({"version": "1.0", **config})
    before_files = snapshot(sandbox)
    before_entries = tmp_entries(sandbox)

    result = run(sandbox, command)
    if stdout is LISTED_BEFORE_THE_DAMAGE:
        assert result.returncode == status and TAR_LIST.startswith(result.stdout), result
    else:
        assert (result.returncode, result.stdout) == (status, stdout), result
    assert stderr_ok(result.stderr, command), result

    current = "0.9" if command == "-v" else ""
    requests = raw_requests(server)
    assert requests[0] == version_request(current)
    if installs:
        assert requests == [version_request(current), package_request()]
        assert_installed(sandbox, data, b"1.0\n", b"1.0\n")
        assert tmp_entries(sandbox) == before_entries
        return
    # The installed package, its schedule and the version file as they were.
    assert snapshot(sandbox) == before_files
    # Nothing left in /tmp: the download's work files are the state directory's.
    assert tmp_entries(sandbox) == before_entries


def test_refused_download_leaves_the_error_body(sandbox, server):
    enrolled_with_old_package(sandbox, server)
    server.set_config({"locator": "https://collector.test:8443/packages/missing.tar.gz"})
    result = run(sandbox, "-v")
    assert (result.returncode, result.stdout, result.stderr) == \
        (0, b"", refused_by(COLLECTOR, b"HTTP/1.1 404 Not Found")), result
    assert targets(server) == ["/version?current=0.9", "/packages/missing.tar.gz"]
    assert not sandbox.exists("/tmp/testpackage.tar.gz")
    assert sandbox.read(f"{STATE_DIR}/download") == b"no package 'missing.tar.gz'\n"


def test_version_text_without_line_feed_names_no_package_host(sandbox, server):
    # The locator is empty: there is no path to ask for, so nothing is asked.
    enrolled_with_old_package(sandbox, server)
    server.set_config({"version_reply_text": "1.0"})
    before = snapshot(sandbox)
    result = run(sandbox, "-v")
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", UNUSABLE_LOCATOR), result
    assert raw_requests(server) == [version_request("0.9")]
    assert snapshot(sandbox) == before


# ---- version texts ------------------------------------------------------------------

@pytest.mark.parametrize("command, version_line", [
    ("-a", b"1.11\r\n"),      # `a` ends the version at the line feed only
    ("-v", b"1.11\n"),
], ids=["a", "v"])
def test_carriage_return_in_the_version_line(sandbox, server, command, version_line):
    enrolled_with_old_package(sandbox, server)
    data = publish(server, "1.11")
    server.set_config({"version_reply_text":
                       "1.11\r\nhttps://collector.test:8443/packages/package.tar.gz"})
    result = run(sandbox, command)
    assert (result.returncode, result.stdout, result.stderr) == (0, TAR_LIST, b""), result
    assert targets(server)[1:] == ["/packages/package.tar.gz"]
    assert_installed(sandbox, data, version_line, b"1.11\n")


@pytest.mark.parametrize("command, version, version_line", [
    ("-v", "1;touch /tmp/pwned", b"1;touch /tmp/pwned\n"),
    ("-v", "$(touch /tmp/pwned)", b"$(touch /tmp/pwned)\n"),
    ("-v", "`touch /tmp/pwned`", b"`touch /tmp/pwned`\n"),
    ("-v", "1'2\"3\\4 >/tmp/pwned", b"1'2\"3\\4 >/tmp/pwned\n"),
    ("-a", "1'2\"3\\4 >/tmp/pwned", b"1'2\"3\\4 >/tmp/pwned\n"),
    # At most 19 characters are kept.
    ("-v", "1.2.3.4.5.6.7.8.9.10.11", b"1.2.3.4.5.6.7.8.9.1\n"),
    ("-a", "1.2.3.4.5.6.7.8.9.10.11", b"1.2.3.4.5.6.7.8.9.1\n"),
], ids=["v-semicolon", "v-dollar", "v-backquotes", "v-quotes", "a-quotes", "v-long", "a-long"])
def test_version_text_is_written_as_plain_data(sandbox, server, command, version, version_line):
    enrolled_with_old_package(sandbox, server)
    data = publish(server, version)
    server.set_config({"version": version})
    result = run(sandbox, command)
    assert (result.returncode, result.stdout, result.stderr) == (0, TAR_LIST, b""), result
    assert not sandbox.exists("/tmp/pwned")
    assert_installed(sandbox, data, version_line, version.encode() + b"\n")


# ---- a separate package host ------------------------------------------------------

def start_package_host(box, server, cert, **config):
    """A second reference server as packages.test:9443 sharing the collection
    server's state (so it knows the unit), with a request record of its own;
    version replies name it."""
    host = box.start_refserver(PACKAGES, PACKAGES_PORT, *cert, server.state,
                               "--record", box.workdir / "packages.jsonl")
    server.set_config({"version": "1.0",
                       "locator": f"https://{PACKAGES}:{PACKAGES_PORT}/packages/package.tar.gz",
                       **config})
    return host


@pytest.mark.parametrize("command, cert_kind, encrypted, message", [
    ("-a", "good", False, None),
    ("-v", "good", False, None),
    ("-v", "good", True, None),
    ("-v", "untrusted", False, NOT_VERIFIED),
    ("-v", "expired", False, NOT_VERIFIED),
    ("-v", "other-name", False, NAME_MISMATCH),
], ids=["a-good", "v-good", "v-good-encrypted", "v-untrusted", "v-expired", "v-other-name"])
def test_package_host(sandbox, server, pki, command, cert_kind, encrypted, message):
    cert = {
        "good": lambda: pki.issue(PACKAGES),
        "untrusted": lambda: pki.issue(PACKAGES, issuer=pki.untrusted),
        "expired": lambda: pki.issue(PACKAGES, expired=True),
        "other-name": lambda: pki.issue("other.test"),
    }[cert_kind]()
    enrolled_with_old_package(sandbox, server)
    host = start_package_host(sandbox, server, cert, package_encrypted=encrypted)
    data = publish(server, "1.0")
    before = snapshot(sandbox)

    result = run(sandbox, command)
    current = "0.9" if command == "-v" else ""
    assert raw_requests(server) == [version_request(current)]
    if message is None:
        assert (result.returncode, result.stdout, result.stderr) == (0, TAR_LIST, b""), result
        assert raw_requests(host) == [package_request(host=PACKAGES)]
        assert_installed(sandbox, data, b"1.0\n", b"1.0\n")
        return
    assert (result.returncode, result.stdout) == (1, b""), result
    # The chain's message may be followed by the clock line (test_transport).
    assert result.stderr.startswith(message) and (message == NOT_VERIFIED or
                                                   result.stderr == message), result
    assert host.requests() == []          # checked before anything was sent
    assert snapshot(sandbox) == before


# ---- `p` ------------------------------------------------------------------------------

PIECE = 117                                      # clear bytes per block of a 1024-bit key
# 8 whole pieces and one of 64 bytes; it starts as a gzip stream does, as
# an encrypted package's first block must decrypt to.
BLOB = b"\x1f\x8b" + bytes((i * 7 + 3) % 256 for i in range(998))


def without_piece(index):
    return BLOB[:index * PIECE] + BLOB[(index + 1) * PIECE:]


def package_fault(**action):
    return [{"path": "/testpackage.tar.gz", **action}]


@pytest.mark.parametrize("config, published, fetched, stderr", [
    ({}, True, BLOB, b""),
    ({"package_encrypted": True}, True, BLOB, b""),
    ({"package_encrypted": True, "faults": package_fault(trailing_bytes=5)}, True, BLOB, b""),
    ({"package_encrypted": True, "faults": package_fault(damage_block=8)}, True, without_piece(8),
     b""),
    ({}, False, b"", refused_by(COLLECTOR, b"HTTP/1.1 404 Not Found")),
    ({"faults": package_fault(close=True)}, True, b"", refused_by(COLLECTOR, b"no reply")),
], ids=["clear", "encrypted", "trailing-5", "damaged-last", "missing", "no-reply"])
def test_package_request(sandbox, server, config, published, fetched, stderr):
    enrolled_with_old_package(sandbox, server)
    if published:
        (server.state / "packages" / "testpackage.tar.gz").write_bytes(BLOB)
    server.set_config(config)
    before = snapshot(sandbox)
    result = run(sandbox, "-p")
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", stderr), result
    assert raw_requests(server) == [package_request("/testpackage.tar.gz")]
    assert sandbox.read("/tmp/testpackage.tar.gz") == fetched
    assert snapshot(sandbox) == before       # nothing installed
    if fetched:
        assert not sandbox.exists(f"{STATE_DIR}/download")


def test_a_body_is_encrypted_only_when_its_first_block_opens_to_a_gzip_stream(sandbox, server):
    # The first block decrypts with the unit's key, but not to a gzip stream:
    # the body is a clear file that happens to look like an RSA block.
    enrolled_with_old_package(sandbox, server)
    body = unit_key().public_key().encrypt(b"not a gzip stream", padding.PKCS1v15()) + b"rest"
    reply = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body)
    server.set_config({"faults": package_fault(raw_b64=base64.b64encode(reply).decode())})
    result = run(sandbox, "-p")
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b""), result
    assert sandbox.read("/tmp/testpackage.tar.gz") == body


# ---- keys missing and no connection -------------------------------------------------

@pytest.mark.parametrize("command, name, content", [
    ("-v", "unitprivatekey", None),
    ("-v", "zorpublickey", None),
    ("-v", "zorpublickey", b"x"),
    ("-v", "unitid", None),
    ("-p", "unitid", None),
    ("-p", "unitprivatekey", b"garbage\n"),
], ids=["v-no-private-key", "v-no-server-key", "v-server-key-1-byte", "v-no-unitid",
        "p-no-unitid", "p-private-key-garbage"])
def test_unit_without_keys_asks_nothing(sandbox, server, command, name, content):
    enrolled_with_old_package(sandbox, server)
    set_state_file(sandbox, name, content)
    (server.state / "packages" / "testpackage.tar.gz").write_bytes(BLOB)
    publish(server, "1.0")
    before = snapshot(sandbox)
    result = run(sandbox, command)
    # Only `v` says why, and on stdout.
    stdout = NO_KEYS if command == "-v" else b""
    assert (result.returncode, result.stdout, result.stderr) == (0, stdout, b""), result
    assert server.requests() == []
    assert snapshot(sandbox) == before
    assert not sandbox.exists("/tmp/testpackage.tar.gz")



# The update reads the unit's private key, not the server's: a server key
# file of two bytes or more only marks the unit enrolled.
def test_update_needs_no_server_key(sandbox, server):
    enrolled_with_old_package(sandbox, server)
    set_state_file(sandbox, "zorpublickey", b"xx")
    data = publish(server, "1.0")
    result = run(sandbox, "-v")
    assert (result.returncode, result.stdout, result.stderr) == (0, TAR_LIST, b""), result
    assert raw_requests(server) == [version_request("0.9"), package_request()]
    assert_installed(sandbox, data, b"1.0\n", b"1.0\n")
