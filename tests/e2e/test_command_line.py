"""The command line end to end: usage texts and statuses, command letters, URL
forms, upload input files and the connect time-out, each run of the real
client in a sandboxed world. How a URL is cut and split, and which character
is the command letter, is command_line_test.cpp's."""

import pytest

from conftest import COLLECTOR_URL
from unitstate import NO_HANDSHAKE, NO_KEYS, REFUSED

USAGE_HEAD = (
    b"halvorpin : Version 1.10\nWrong number of arguments: Usage is : \n'halvorpin arg1 arg2'\n"
    b"arg1. https server URL\n"
    b"arg2. Tests to execute after '-' symbol:\n"
    b"\ta : activation \n"
    b"\tv : version request\n"
    b"\tp : package request\n"
)
FULL_USAGE = USAGE_HEAD + (
    b"\ts : submit results data unencrypted\n"
    b"\tS : submit results data encrypted\n"
    b"\tl : submit log data unencrypted\n"
    b"\tL : submit log data encrypted\n"
)
SHORT_USAGE = USAGE_HEAD + (
    b"\ts : submit results data\n"
    b"\tl : submit log data unencrypted\n"
    b"\tL : submit log data encrypted\n"
)

RESOLVE_FAILED = b"Couldn't resolve host\n"  # OpenSSL's queued error lines may follow
CONNECT_TIMEOUT = b"TCP connection Timeout or error()\n"

UNRESOLVABLE = "https://nohost.test"


@pytest.mark.parametrize("args, usage, status", [
    ([], FULL_USAGE, 1),
    ([COLLECTOR_URL], FULL_USAGE, 1),
    ([COLLECTOR_URL, "-v", "-v"], FULL_USAGE, 1),
    ([COLLECTOR_URL, "-a", "extra", "more"], FULL_USAGE, 1),
    ([UNRESOLVABLE, "-x"], SHORT_USAGE, 0),
    ([UNRESOLVABLE, "a"], SHORT_USAGE, 0),    # the letter is the second character
    ([UNRESOLVABLE, ""], SHORT_USAGE, 0),
    ([UNRESOLVABLE, "-A"], SHORT_USAGE, 0),   # letters are case-sensitive
], ids=lambda v: "full" if v is FULL_USAGE else "short" if v is SHORT_USAGE else repr(v))
def test_usage_text_and_status(sandbox, args, usage, status):
    result = sandbox.run_client(args)
    assert (result.returncode, result.stderr, result.stdout) == (status, usage, b""), result


@pytest.mark.parametrize("command", ["-a", "xa", "-ab", "-v", "xv", "-p", "-l", "-L"])
def test_command_letter_connects_to_the_url_host(sandbox, command):
    # The log commands need their input file before they connect.
    sandbox.write("/tmp/debug.out", "log line\n")
    result = sandbox.run_client([UNRESOLVABLE, command])
    assert result.returncode == 1, result
    assert result.stderr.startswith(RESOLVE_FAILED), result
    assert result.stdout == b"", result


# No scheme; the port's digits end at '/'.
@pytest.mark.parametrize("url", ["collector.test:8443", "https://collector.test:8443/path"])
def test_url_with_port_reaches_the_server(sandbox, server, url):
    result = sandbox.run_client([url, "-v"])
    assert (result.returncode, result.stdout, result.stderr) == (0, NO_KEYS, b""), result


@pytest.mark.parametrize("url, listen_port", [
    ("https://collector.test", 443),
    ("https://collector.test:74979", 9443),   # only the low 16 bits: 74979 - 65536
])
def test_url_port_selection(sandbox, url, listen_port):
    accepted = sandbox.start_listener("127.0.0.2", listen_port)
    result = sandbox.run_client([url, "-v"])
    # The listener closes at once: the TCP connection is made, the handshake fails.
    assert (result.returncode, result.stderr, result.stdout) == (1, NO_HANDSHAKE, b""), result
    assert accepted() == 1


@pytest.mark.parametrize("url, message", [
    ("collector.test", REFUSED),                # port 443, nothing listening
    ("https://other.test:8443", REFUSED),
    ("https://10.9.8.7:443", REFUSED),          # no route to that network
    ("https://nohost.test", RESOLVE_FAILED),
    ("https://", RESOLVE_FAILED),
])
def test_url_connection_failures(sandbox, url, message):
    result = sandbox.run_client([url, "-v"])
    assert result.returncode == 1, result
    assert result.stderr.startswith(message), result
    assert result.stdout == b"", result
    if message == REFUSED:
        assert result.stderr == REFUSED, result


# One row per flow: the letter's case only chooses encryption.
@pytest.mark.parametrize("command, input_file", [("-S", "/tmp/output"), ("-l", "/tmp/debug.out")])
def test_upload_without_input_file_says_so_offline(sandbox, command, input_file):
    accepted = sandbox.start_listener("127.0.0.2", 8443)
    result = sandbox.run_client([COLLECTOR_URL, command])
    assert (result.returncode, result.stdout, result.stderr) == \
        (1, b"", b"Nothing to upload: no %s\n" % input_file.encode()), result
    assert accepted() == 0

    # The same command with its input file goes further: the results flow
    # stops without keys (status 0, still offline), the log flow connects.
    sandbox.write(input_file, "line\n")
    result = sandbox.run_client([COLLECTOR_URL, command])
    if command in ("-s", "-S"):
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b""), result
        assert accepted() == 0
    else:
        assert (result.returncode, result.stdout, result.stderr) == (1, b"", NO_HANDSHAKE), result
        assert accepted() == 1
    assert sandbox.read(input_file) == b"line\n"


BLACKHOLE = "https://127.0.0.9:9"


# Without the setting the wait would be 30 s: the run's limit is below that;
# zero, negative or not a number gives up at once.
@pytest.mark.parametrize("value, waits", [("1", 1.0), ("0", 0), ("-1", 0), ("abc", 0)])
def test_conn_timeout_bounds_an_unanswered_connect(sandbox, value, waits):
    sandbox.start_blackhole("127.0.0.9", 9)
    result = sandbox.run_client([BLACKHOLE, "-v"], env={"CONN_TIMEOUT": value}, timeout=20)
    assert (result.returncode, result.stderr, result.stdout) == (1, CONNECT_TIMEOUT, b""), result
    assert result.elapsed >= waits, result
