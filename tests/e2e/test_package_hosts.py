"""Package hosts as operators run them: Debian's stock nginx, apache2 and
lighttpd (keep-alive on, no X-Encrypted header, replies with a length or
chunked, refusals, redirects, name-based TLS servers, certificates named by
subject alternative names), the HTTP/1.0 server of `openssl s_server -WWW`,
and lab peers that break a reply off, break a chunk or send a header block
without end. Also locators in the version reply that no request may be
built from. (A host that trickles is test_time_bounds.py's.)

One row per case. The reference server plays the collection server on
collector.test:8443 and names the package host in its version reply; the
unit starts enrolled (its state files written) with an old package "0.9"
installed. Each row checks the exit status, the client's messages, what is
installed or left in /tmp, and what the package host received: the stock
servers' access logs, the lab peers' records byte for byte (and the server
name the client sent)."""

import collections
import gzip
import random

import pytest
from cryptography.hazmat.primitives.asymmetric import padding

import unitstate
from conftest import COLLECTOR_URL
from peers import (chunked_reply, head, length_reply, start_broken_chunk_peer,
                   start_cut_short_peer, start_peer)
from refserver import package_bytes
from sandbox import SLOW
from unitstate import TAR_LIST, UNIT_ID, enroll, install_old_package, tmp_entries
from webservers import start_apache, start_lighttpd, start_nginx, start_openssl_www

# The client's messages, in one place.
REFUSED = "Package download refused by {host}: {status}"
BROKE_OFF = "Package download from {host} broke off"
UNUSABLE = "Unusable package locator in the version reply"
WRONG_NAME = "Common name doesn't match host name"
UNUSABLE_REPLY = "Unusable package reply from {host}: {why}"

PACKAGES = "packages.test"
PACKAGES_ADDR = "127.0.0.3"
PACKAGE_PATH = "/package.tar.gz"
# Keep-alive servers hold the connection long after the reply (nginx 75 s,
# apache and lighttpd 5 s); a run must end long before this receive limit.
READ_TIMEOUT = 20 * SLOW
QUICK = READ_TIMEOUT / 2
REFUSED_BODY_KEPT = 64 * 1024  # what may stay of a refused reply's body
BIG = 1 << 20
DOWNLOAD = "/tmp/tolvenra/download"   # where a download arrives, and a refusal's body stays


# ---- what the hosts serve -----------------------------------------------------

def encrypted_for_unit(data):
    """The package as a collection server encrypts it for the unit: 117-byte
    pieces, each one PKCS #1 v1.5 block under the unit's 1024-bit key."""
    key = unitstate.unit_key().public_key()
    return b"".join(key.encrypt(data[i:i + 117], padding.PKCS1v15())
                    for i in range(0, len(data), 117))


def noise(size, seed=1):
    return random.Random(seed).randbytes(size)


def gzip_not_tar():
    """A gzip file that decompresses to something tar does not read."""
    return gzip.compress(noise(4096), mtime=0)


def refused_body():
    return b"<html>" + noise(BIG) + b"</html>\n"


# ---- package hosts ----------------------------------------------------------------
# Each factory returns start(box, pki, package) -> the running host.

def web_cert(pki):
    return pki.web_server(PACKAGES)


def served(package, kind):
    return {"package": {"package.tar.gz": package},
            "encrypted": {"package.tar.gz": encrypted_for_unit(package)},
            "not-a-package": {"package.tar.gz": gzip_not_tar()}}[kind]


def nginx(cert=web_cert, serve="package", names=(), **options):
    """names: hosts that get a name-based server of their own beside the
    default server, each with its web server certificate."""
    return lambda box, pki, package: start_nginx(
        box, cert(pki), served(package, serve),
        names={name: pki.web_server(name) for name in names}, **options)


def apache(serve="package", **options):
    return lambda box, pki, package: start_apache(box, web_cert(pki), served(package, serve),
                                                  **options)


def lighttpd(serve="package"):
    return lambda box, pki, package: start_lighttpd(box, web_cert(pki), served(package, serve))


def peer(reply, cert=web_cert, addr=PACKAGES, **options):
    """A lab peer on port 443 answering every request with reply(package)."""
    return lambda box, pki, package: start_peer(box, addr, 443, cert(pki), reply(package),
                                                **options)


def keep_alive(make_reply):
    # Holds the connection after the reply, as a keep-alive server does.
    return peer(make_reply, then="hold", hold=READ_TIMEOUT * 2)


def cut_short(box, pki, package):
    body = package + noise(BIG)
    return start_cut_short_peer(box, PACKAGES, 443, web_cert(pki), body[:BIG // 2], len(body))


def broken_chunk(box, pki, package):
    return start_broken_chunk_peer(box, PACKAGES, 443, web_cert(pki), package)


def openssl_www(box, pki, package):
    return start_openssl_www(box, web_cert(pki), {"package.tar.gz": package})


def endless_head(package):
    """A 200 whose header block never ends."""
    return head("200 OK", [("X-Pad", "0123456789")] * 8000)[:-2]


# ---- rows ---------------------------------------------------------------------------

# outcome: "installed", "refused" (status: the reply's status line),
# "broke-off", "not-a-package", "unusable" (no request may reach the host),
# "wrong-name" (the certificate is not for the host: nothing is asked),
# "unusable-reply" (status: why).
# seen: for a stock server, the request line and status its access log
# must show (one line); for a peer, "exact" (the request bytes the client
# sends, checked whole, and the server name it sent); None: nothing.
Row = collections.namedtuple("Row", "host outcome command locator status seen sni",
                             defaults=("-v", None, None, None, PACKAGES))


def stock_seen(code, path=PACKAGE_PATH):
    return (f"GET {path} HTTP/1.1", code)


def url(path=PACKAGE_PATH, host=PACKAGES):
    return f"https://{host}{path}"


ROWS = {
    # Stock servers with keep-alive on: the reply ends where HTTP says.
    "nginx-keep-alive": Row(nginx(), "installed", seen=stock_seen(200)),
    "nginx-keep-alive-a": Row(nginx(), "installed", command="-a", seen=stock_seen(200)),
    "apache-keep-alive": Row(apache(), "installed", seen=stock_seen(200)),
    "lighttpd-keep-alive": Row(lighttpd(), "installed", seen=stock_seen(200)),
    # Chunked: a body filter makes each server drop the length.
    "nginx-chunked": Row(nginx(chunked=True), "installed", seen=stock_seen(200)),
    "apache-chunked": Row(apache(chunked=True), "installed", seen=stock_seen(200)),
    "peer-chunked-extensions-trailers": Row(
        keep_alive(lambda p: chunked_reply(p, extensions=True, trailers=True)), "installed",
        seen="exact"),
    # No X-Encrypted header: the body is tried as the unit's blocks first.
    "nginx-encrypted": Row(nginx(serve="encrypted"), "installed", seen=stock_seen(200)),
    "nginx-not-a-package": Row(nginx(serve="not-a-package"), "not-a-package",
                               seen=stock_seen(200)),
    # Refusals: the status line is reported, the redirect not followed.
    "nginx-404": Row(nginx(), "refused", locator=url("/missing.tar.gz"),
                     status="HTTP/1.1 404 Not Found", seen=stock_seen(404, "/missing.tar.gz")),
    "nginx-404-a": Row(nginx(), "refused", command="-a", locator=url("/missing.tar.gz"),
                       status="HTTP/1.1 404 Not Found",
                       seen=stock_seen(404, "/missing.tar.gz")),
    "lighttpd-400": Row(lighttpd(), "refused", locator=url("/package%00.tar.gz"),
                        status="HTTP/1.1 400 Bad Request",
                        seen=stock_seen(400, "/package%00.tar.gz")),
    "apache-302": Row(
        apache(extra_conf=f'Redirect "/moved.tar.gz" "{url()}"\n'), "refused",
        locator=url("/moved.tar.gz"), status="HTTP/1.1 302 Found",
        seen=stock_seen(302, "/moved.tar.gz")),
    "peer-503-large-body": Row(
        keep_alive(lambda p: length_reply(refused_body(), status="503 Service Unavailable")),
        "refused", status="HTTP/1.1 503 Service Unavailable", seen="exact"),
    # Transfers that break off.
    "peer-cut-short": Row(cut_short, "broke-off", seen="exact"),
    "peer-broken-chunk": Row(broken_chunk, "broke-off", seen="exact"),
    "peer-endless-header-block": Row(keep_alive(endless_head), "unusable-reply",
                                     status="header block over 64 KiB", seen="exact"),
    # HTTP/1.0, no length: the body ends when the host closes.
    "openssl-www-http-1.0": Row(openssl_www, "installed"),
    # Names: SNI, subject alternative names, an address as the host.
    "nginx-sni-not-default-server": Row(
        nginx(cert=lambda pki: pki.web_server("other.test"),
              names=[PACKAGES]), "installed", seen=stock_seen(200)),
    "nginx-san-only": Row(nginx(cert=lambda pki: pki.issue(PACKAGES, no_cn=True,
                                                            san_dns=[PACKAGES])),
                          "installed", seen=stock_seen(200)),
    "nginx-cn-other-san-this": Row(nginx(cert=lambda pki: pki.issue("other.test",
                                                                     san_dns=[PACKAGES])),
                                   "installed", seen=stock_seen(200)),
    # With DNS alternative names only they count (RFC 6125): not the common
    # name, and no wildcard over a one-label suffix.
    "nginx-cn-this-san-other": Row(nginx(cert=lambda pki: pki.issue(PACKAGES,
                                                                     san_dns=["other.test"])),
                                   "wrong-name"),
    "nginx-wildcard-over-one-label": Row(nginx(cert=lambda pki: pki.issue("other.test",
                                                                           san_dns=["*.test"])),
                                         "wrong-name"),
    "peer-ip-literal-ip-san": Row(
        peer(length_reply, cert=lambda pki: pki.issue(PACKAGES, san_ip=[PACKAGES_ADDR]),
             addr=PACKAGES_ADDR, then="hold", hold=READ_TIMEOUT * 2),
        "installed", locator=url(host=PACKAGES_ADDR), seen="exact", sni=None),
    # Locators no request may be built from (their rules are locator_test.cpp's).
    "locator-crlf-in-path": Row(keep_alive(length_reply), "unusable",
                                locator=url(PACKAGE_PATH + "\r\nX-Injected: 1")),
    "locator-blank-in-path-a": Row(keep_alive(length_reply), "unusable", command="-a",
                                   locator=url("/package .tar.gz")),
}


# ---- checks ---------------------------------------------------------------------------

def package_snapshot(box):
    """The installed package, its schedule and the version file: what a
    failed download must leave untouched."""
    files = {}
    for path in ("/tmp/kelvoz/schedulerconfig", "/tmp/kelvoz/runonce.sh",
                 "/tmp/kelvoz/started", "/tmp/schedulerconfig", "/tmp/tolvenra/version"):
        files[path] = box.read(path) if box.exists(path) else None
    return files


def new_in_tmp(box, before):
    """{name: size} of what appeared in /tmp during the run."""
    return {name: box.path(f"/tmp/{name}").stat().st_size
            for name in tmp_entries(box) - before}


def request_bytes(path, host=PACKAGES):
    return (f"GET {path} HTTP/1.1\r\nHost: {host}\r\nX-Encryption-Desired: false\r\n"
            f"X-Unit-ID: {UNIT_ID}\r\n\r\n").encode()


def check_seen(row, host, locator):
    if row.seen == "exact":
        path = "/" + locator.split("://", 1)[1].split("/", 1)[1]
        host_name = locator.split("://", 1)[1].split("/", 1)[0]
        assert host.requests() == [{"sni": row.sni, "raw": request_bytes(path, host_name),
                                    "body": 0, "resumed": False}]
    elif row.seen is not None:
        line, code = row.seen
        log = host.access_log(at_least=1)
        assert len(log) == 1 and f'"{line}" {code} ' in log[0], log


@pytest.mark.parametrize("row", [pytest.param(row, id=name) for name, row in ROWS.items()])
def test_package_host(request, sandbox, server, pki, row):
    enroll(sandbox, server)
    install_old_package(sandbox)
    package = package_bytes("1.0")
    host = row.host(sandbox, pki, package)
    if hasattr(host, "describe"):
        request.node.halvorpin_reports = [(host.name, host.describe)]
    locator = row.locator or url()
    server.set_config({"version": "1.0", "locator": locator})
    before_package = package_snapshot(sandbox)
    before_tmp = tmp_entries(sandbox)

    result = sandbox.run_client([COLLECTOR_URL, row.command],
                                env={"READ_TIMEOUT": str(READ_TIMEOUT)}, timeout=60 * SLOW)
    messages = result.stderr.decode(errors="replace").splitlines()
    host_name = locator.split("://", 1)[1].split("/", 1)[0]
    assert result.elapsed < QUICK, result

    if row.outcome == "installed":
        assert (result.returncode, result.stdout, result.stderr) == (0, TAR_LIST, b""), result
        unitstate.assert_installed(sandbox, package, b"1.0\n", b"1.0\n")
        assert new_in_tmp(sandbox, before_tmp) == {}
    elif row.outcome == "refused":
        assert result.returncode == (0 if row.command == "-v" else 1), result
        assert messages == [REFUSED.format(host=host_name, status=row.status)], result
        assert package_snapshot(sandbox) == before_package
        kept = sandbox.read(DOWNLOAD) if sandbox.exists(DOWNLOAD) else b""
        assert len(kept) <= REFUSED_BODY_KEPT
        if row.seen == "exact":
            assert refused_body().startswith(kept)
    elif row.outcome == "broke-off":
        assert result.returncode == 1, result
        assert BROKE_OFF.format(host=host_name) in messages, result
        assert package_snapshot(sandbox) == before_package
        left = new_in_tmp(sandbox, before_tmp)
        assert not sandbox.exists(DOWNLOAD) and max(left.values(), default=0) <= 64 * 1024, left
    elif row.outcome == "not-a-package":
        assert result.returncode == 1, result
        assert package_snapshot(sandbox) == before_package
        assert new_in_tmp(sandbox, before_tmp) == {}
    elif row.outcome == "wrong-name":
        assert (result.returncode, result.stderr) == (1, (WRONG_NAME + "\n").encode()), result
        assert package_snapshot(sandbox) == before_package
        assert host.access_log() == []
    elif row.outcome == "unusable-reply":
        assert result.returncode == 1, result
        assert messages == [UNUSABLE_REPLY.format(host=host_name, why=row.status)], result
        assert package_snapshot(sandbox) == before_package
        assert not sandbox.exists(DOWNLOAD)
    elif row.outcome == "unusable":
        assert result.returncode == (0 if row.command == "-v" else 1), result
        assert messages == [UNUSABLE], result
        assert package_snapshot(sandbox) == before_package
        assert host.requests() == []
    else:
        raise AssertionError(f"unknown outcome {row.outcome}")
    check_seen(row, host, locator)
