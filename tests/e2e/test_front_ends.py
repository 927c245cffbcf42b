"""The collection server behind the front ends operators put in front of
application servers: Debian's stock nginx, apache2 (mod_proxy, mod_ssl),
haproxy and lighttpd (mod_proxy), each terminating TLS on port 443 with only
the site, certificate and backend set, and the reference server behind them
as a plain-HTTP backend. Each goes through a whole cycle of the unit: `-a`,
`-v` up to date and with an update, `-p`, `-s`, `-S`, `-l` and `-L`. Such
front ends refuse odd request lines, write header names in lower case and
put the standard reason phrase in place of the server's."""

import pytest

from sandbox import COLLECTOR
from unitstate import TAR_LIST, assert_installed, publish, received, state_files, targets
from webservers import start_apache, start_haproxy, start_lighttpd, start_nginx

BACKEND_PORT = 8080
URL = f"https://{COLLECTOR}"
RESULTS = b"".join(b"result %d\n" % i for i in range(5))
LOG = b"log line\n" * 40

FRONT_ENDS = {
    "nginx": lambda box, cert, backend: start_nginx(box, cert, {}, proxy_to=backend),
    "apache2": lambda box, cert, backend: start_apache(box, cert, {}, proxy_to=backend),
    "haproxy": start_haproxy,
    "lighttpd": lambda box, cert, backend: start_lighttpd(box, cert, {}, proxy_to=backend),
}


def start_behind(box, pki, front_end):
    """The reference server as a plain-HTTP backend on the collector's
    address, and the front end before it on port 443."""
    backend = box.start_refserver(COLLECTOR, BACKEND_PORT, *pki.issue(COLLECTOR),
                                  box.workdir / "state", "--plain")
    # The package comes through the front end too.
    backend.set_config({"locator": f"{URL}/packages/package.tar.gz"})
    proxy = FRONT_ENDS[front_end](box, pki.web_server(COLLECTOR),
                                  f"{backend.addr}:{BACKEND_PORT}")
    return backend, proxy


@pytest.mark.parametrize("front_end", list(FRONT_ENDS))
def test_a_whole_cycle_through_a_front_end(request, sandbox, pki, front_end):
    backend, proxy = start_behind(sandbox, pki, front_end)
    request.node.halvorpin_reports = [(proxy.name, proxy.describe)]
    first = publish(backend, "1.0")

    def run(command, stderr=b"", stdout=b"", **env):
        result = sandbox.run_client([URL, command], env=env)
        assert (result.returncode, result.stdout, result.stderr) == (0, stdout, stderr), result

    run("-a", stdout=TAR_LIST)
    assert_installed(sandbox, first, b"1.0\n", b"1.0\n")
    run("-v")
    second = publish(backend, "2.0")
    backend.set_config({"version": "2.0", "locator": f"{URL}/packages/package.tar.gz"})
    run("-v", stdout=TAR_LIST)
    assert_installed(sandbox, second, b"2.0\n", b"2.0\n")
    (backend.state / "packages" / "testpackage.tar.gz").write_bytes(b"fetched by -p")
    run("-p")
    assert sandbox.read("/tmp/testpackage.tar.gz") == b"fetched by -p"
    for command in ("-s", "-S"):
        sandbox.write("/tmp/output", RESULTS)
        run(command, SUBMIT_MAX_LINES="2")
    for command in ("-l", "-L"):
        sandbox.write("/tmp/debug.out", LOG)
        run(command, stderr=b"bodylength = 128 \n" * 4 if command == "-L" else b"")
    assert received(backend, "submit") == RESULTS * 2
    assert received(backend, "log") == LOG * 2
    assert not sandbox.exists("/tmp/output") and not sandbox.exists("/tmp/debug.out")
    assert targets(backend)[:2] == ["/activate?mac=02005E102030",
                                    "/activate?confirm&mac=02005E102030"]


# A refusal names the host and the status line that came, so an operator
# can tell the front end's answer from the server's: here the backend is
# gone and the front end answers for it.
@pytest.mark.parametrize("front_end, status_line", [
    ("nginx", "HTTP/1.1 502 Bad Gateway"),
    ("haproxy", "HTTP/1.0 503 Service Unavailable"),
])
def test_a_front_end_refusal_names_what_answered(sandbox, pki, front_end, status_line):
    backend, _ = start_behind(sandbox, pki, front_end)
    backend.stop()
    result = sandbox.run_client([URL, "-a"])
    assert (result.returncode, result.stdout, result.stderr) == \
        (1, b"", f"Enrollment refused by {COLLECTOR}: {status_line}\n".encode()), result
    assert state_files(sandbox) == []   # the refused enrollment left no key
