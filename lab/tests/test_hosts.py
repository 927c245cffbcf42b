"""The lab's package hosts work as the package host cases take them to:
Debian's web servers with their stock configuration answer curl inside a
world and touch nothing on the host, the body filter makes them send chunked,
nginx picks a name-based server by SNI, the certificates carry the names
asked for, and the lab peers misbehave exactly as they say."""

import ipaddress
import re
import subprocess
import time
import uuid
from pathlib import Path

import pytest
from cryptography import x509
from cryptography.x509.oid import NameOID

from peers import (chunked_reply, length_reply, start_broken_chunk_peer,
                   start_cut_short_peer, start_peer, start_trickling_peer)
from webservers import start_apache, start_lighttpd, start_nginx

HOST = "packages.test"
# Binary, with line ends, NULs and every byte value: filters must pass it whole.
BODY = bytes(range(256)) * 64 + b"\n\r\n\0" * 100
STARTERS = {"nginx": start_nginx, "apache": start_apache, "lighttpd": start_lighttpd}


def curl(box, url, *options):
    """curl inside the world over HTTP/1.1; returns (exit status, header
    block text, body bytes, seconds)."""
    box.remove("/tmp/curl.body")
    start = time.monotonic()
    result = box.run(["curl", "-sS", "--http1.1", "--cacert", "/etc/ca-bundle.crt",
                      "-D", "-", "-o", "/tmp/curl.body", *options, url])
    body = box.read("/tmp/curl.body") if box.exists("/tmp/curl.body") else b""
    return result.returncode, result.stdout.decode(errors="replace"), body, \
        time.monotonic() - start


def header(headers, name):
    found = re.findall(rf"^{name}: *(.*?)\r?$", headers, re.IGNORECASE | re.MULTILINE)
    return found[0] if found else None


@pytest.mark.parametrize("kind", STARTERS)
def test_stock_server_answers_with_length_and_keeps_alive(make_sandbox, pki, kind):
    box = make_sandbox()
    folder = f"lab-{uuid.uuid4().hex}"  # a name only this case uses
    server = STARTERS[kind](box, pki.web_server(HOST), {f"{folder}/body.bin": BODY})
    status, headers, body, _ = curl(box, f"https://{HOST}/{folder}/body.bin")
    assert (status, body) == (0, BODY), headers
    assert headers.startswith("HTTP/1.1 200 OK"), headers
    assert header(headers, "Content-Length") == str(len(BODY)), headers
    assert (header(headers, "Connection") or "keep-alive").lower() == "keep-alive", headers
    assert header(headers, "X-Encrypted") is None, headers
    log = server.access_log(at_least=1)
    assert len(log) == 1 and f'"GET /{folder}/body.bin HTTP/1.1" 200 ' in log[0], log
    # The document root and logs were the world's own.
    assert not Path(f"/var/www/html/{folder}").exists()
    box.close()
    assert server.proc.wait(timeout=10) is not None


@pytest.mark.parametrize("kind", ["nginx", "apache"])
def test_body_filter_makes_the_reply_chunked(make_sandbox, pki, kind):
    box = make_sandbox()
    STARTERS[kind](box, pki.web_server(HOST), {"body.bin": BODY}, chunked=True)
    status, headers, body, _ = curl(box, f"https://{HOST}/body.bin")
    assert (status, body) == (0, BODY), headers
    assert header(headers, "Transfer-Encoding") == "chunked", headers
    assert header(headers, "Content-Length") is None, headers


def certificate_subject(box, *options):
    result = box.run(["/bin/sh", "-c", "openssl s_client -connect 127.0.0.3:443 "
                      f"{' '.join(options)} </dev/null 2>/dev/null | "
                      "openssl x509 -noout -subject -nameopt RFC2253"])
    assert result.returncode == 0, result
    return result.stdout.decode().strip()


def test_nginx_name_based_server_is_chosen_by_sni(make_sandbox, pki):
    box = make_sandbox()
    start_nginx(box, pki.web_server("other.test"), {"body.bin": BODY},
                names={HOST: pki.web_server(HOST)})
    assert certificate_subject(box, "-noservername") == "subject=CN=other.test,O=halvorpin tests"
    assert certificate_subject(box, "-servername", HOST) == \
        f"subject=CN={HOST},O=halvorpin tests"
    for name in (HOST, "other.test"):
        status, headers, body, _ = curl(box, f"https://{name}/body.bin")
        assert (status, body) == (0, BODY), headers


# issue()'s options, the common name and alternative names the certificate
# must carry, and host names (or addresses) OpenSSL's own check must accept
# or refuse for it.
@pytest.mark.parametrize("options, cn, alt_names, checks", [
    ({"san_dns": [HOST]}, HOST, [HOST], [("-verify_hostname", HOST, True)]),
    ({"no_cn": True, "san_dns": [HOST]}, None, [HOST], [("-verify_hostname", HOST, True)]),
    ({"san_dns": [HOST]}, "other.test", [HOST], [("-verify_hostname", HOST, True),
                                                 ("-verify_hostname", "other.test", False)]),
    # OpenSSL's own check wants two labels after a wildcard; the name is there.
    ({"san_dns": ["*.test"]}, "other.test", ["*.test"], []),
    ({"san_ip": ["127.0.0.3"]}, HOST, [ipaddress.ip_address("127.0.0.3")],
     [("-verify_ip", "127.0.0.3", True), ("-verify_ip", "127.0.0.4", False)]),
    ({}, HOST, None, []),
], ids=["cn-and-san", "san-only", "cn-other-san-this", "wildcard-san", "ip-san", "cn-only"])
def test_issued_certificate_names(pki, options, cn, alt_names, checks):
    issued = pki.issue(cn or "ignored.test", **options)
    cert = x509.load_pem_x509_certificate(issued.cert.read_bytes())
    names = [a.value for a in cert.subject.get_attributes_for_oid(NameOID.COMMON_NAME)]
    assert names == ([cn] if cn else [])
    try:
        san = cert.extensions.get_extension_for_class(x509.SubjectAlternativeName).value
        assert [name.value for name in san] == alt_names
    except x509.ExtensionNotFound:
        assert alt_names is None
    for flag, name, verifies in checks:
        result = subprocess.run(["openssl", "verify", "-CAfile", str(pki.bundle), flag, name,
                                 str(issued.cert)], capture_output=True)
        assert (result.returncode == 0) == verifies, result


def request_of(port):
    return (f"GET /x HTTP/1.1\r\nHost: {HOST}:{port}\r\nUser-Agent: lab\r\n"
            "Accept: */*\r\n\r\n").encode()


# starter(box, port, cert), curl's exit status, body curl keeps, least seconds
PEERS = [
    (lambda box, port, cert: start_cut_short_peer(box, HOST, port, cert, BODY[:1000], 5000),
     18, BODY[:1000], 0),
    (lambda box, port, cert: start_broken_chunk_peer(box, HOST, port, cert, BODY),
     56, BODY[:len(BODY) // 2], 0),
    (lambda box, port, cert: start_trickling_peer(box, HOST, port, cert, b"abcd", every=0.5),
     0, b"abcd", 1.5),
    (lambda box, port, cert: start_peer(box, HOST, port, cert,
                                        chunked_reply(BODY, extensions=True, trailers=True),
                                        then="hold", hold=30),
     0, BODY, 0),
]


@pytest.mark.parametrize("start, status, kept, least", PEERS,
                         ids=["cut-short", "broken-chunk", "trickling", "chunked-held"])
def test_peer(make_sandbox, pki, start, status, kept, least):
    box = make_sandbox()
    peer = start(box, 9001, pki.web_server(HOST))
    code, headers, body, seconds = curl(box, f"https://{HOST}:9001/x", "-A", "lab")
    assert (code, body) == (status, kept), headers
    assert seconds >= least
    assert peer.requests() == [{"sni": HOST, "raw": request_of(9001), "body": 0,
                                "resumed": False}]


def test_peer_records_no_server_name_for_an_address(make_sandbox, pki):
    box = make_sandbox()
    peer = start_peer(box, "127.0.0.3", 9001, pki.issue(HOST, san_ip=["127.0.0.3"]),
                      length_reply(BODY))
    code, headers, body, _ = curl(box, "https://127.0.0.3:9001/x", "-A", "lab")
    assert (code, body) == (0, BODY), headers
    assert [r["sni"] for r in peer.requests()] == [None]


# The upload benchmark's sink: each request's body counted whole, and the
# second connection of one client on a resumed TLS session.
def test_peer_counts_each_body_and_sees_a_session_resumed(make_sandbox, pki):
    box = make_sandbox()
    peer = start_peer(box, HOST, 9001, pki.web_server(HOST), length_reply(b"ok"))
    box.write("/tmp/body.bin", BODY)
    url = f"https://{HOST}:9001/x"
    code, headers, _, _ = curl(box, url, "--data-binary", "@/tmp/body.bin", url)
    assert code == 0, headers
    assert [(r["body"], r["resumed"]) for r in peer.requests()] == \
        [(len(BODY), False), (len(BODY), True)]
