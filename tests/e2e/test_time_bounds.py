"""Time bounds that take a minute to show, each in a world of its own, run
side by side so that the file takes about as long as its slowest row:

- READ_TIMEOUT bounds each wait for data, not the whole reply: a collection
  server that answers after 65 s under READ_TIMEOUT=300 is waited for;
- a package body must average 1,024 bytes a second over any minute: a host
  that sends fast at first and then 100 bytes a second is cut off a minute
  after it slowed down, however much came before.

Where a reply's bytes are counted (socket, not TLS records), a record
dripped byte by byte and the bounds of the whole reply are the unit tests'
(exchange_test.cpp, speed_floor_test.cpp)."""

import random
import threading

from conftest import COLLECTOR_URL, start_collector
from peers import start_trickling_peer
from refserver import package_bytes
from sandbox import COLLECTOR, SLOW
from unitstate import TAR_LIST, assert_installed, enroll, install_old_package, publish

MINUTE = 60


def slow_server_reply(make_sandbox, pki):
    box = make_sandbox()
    server = start_collector(box, *pki.issue(COLLECTOR))
    enroll(box, server)
    install_old_package(box)
    data = publish(server, "1.0")
    server.set_config({"version": "1.0", "faults": [{"path": "/version", "delay": 65}]})

    def check(result):
        assert (result.returncode, result.stdout, result.stderr) == (0, TAR_LIST, b""), result
        assert result.elapsed >= 65, result
        assert_installed(box, data, b"1.0\n", b"1.0\n")
    return box, {"READ_TIMEOUT": "300"}, check


def package_at_100_bytes_a_second(make_sandbox, pki):
    box = make_sandbox()
    server = start_collector(box, *pki.issue(COLLECTOR))
    enroll(box, server)
    install_old_package(box)
    body = package_bytes("1.0") + random.Random(1).randbytes(256 * 1024)
    start_trickling_peer(box, "packages.test", 443, pki.web_server("packages.test"), body,
                         every=1.0, size=100, fast=64 * 1024)
    server.set_config({"version": "1.0", "locator": "https://packages.test/package.tar.gz"})
    old_version = box.read("/tmp/tolvenra/version")

    def check(result):
        assert (result.returncode, result.stdout) == (1, b""), result
        assert result.stderr == b"Package download from packages.test broke off\n", result
        assert MINUTE <= result.elapsed < MINUTE + 20 * SLOW, result
        assert box.read("/tmp/tolvenra/version") == old_version
    return box, {}, check


def test_time_bounds_hold_for_a_minute_and_more(make_sandbox, pki):
    rows = [slow_server_reply(make_sandbox, pki), package_at_100_bytes_a_second(make_sandbox, pki)]
    results = [None] * len(rows)

    def run(index, box, env):
        results[index] = box.run_client([COLLECTOR_URL, "-v"], env=env, timeout=150 * SLOW)

    threads = [threading.Thread(target=run, args=(i, box, env))
               for i, (box, env, _) in enumerate(rows)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for (_, _, check), result in zip(rows, results):
        assert result is not None, "a run did not end in time"
        check(result)
