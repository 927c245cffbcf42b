"""What the operator and the package see: overlapping runs that end well,
the moment and the conditions a package starts in, what stands in the way of
an installation or an enrollment, the bound on one run's work, identifiers
at their limit, and the time-outs and locks every run relies on. Each order
of events is forced: gates at the reference server, a run held at one file
event (lab/killer.py), a run seen waiting in its lock's retry loop."""

import json
import os
import stat
import subprocess
from concurrent.futures import ThreadPoolExecutor

import pytest
from cryptography.hazmat.primitives import serialization

from conftest import COLLECTOR_PORT, COLLECTOR_URL
from peers import start_deaf_peer
from sandbox import DEFAULT_MAC_TEXT, LAB, PYTHON, SLOW, client_binary, runner
from test_hostile import as_nobody, package, wait_for
from unitstate import (COLLECTOR, STATE_DIR, STATE_FILES, TAR_LIST, UNIT_ID, enroll, install_old_package,
                       publish, received, rsa_key, public_pem, seed_unit, server_public_pem,
                       state_files, targets)

GATE = "/tmp/gate"
QUICK = 20   # well under the 30 seconds a run waits for a lock, emulated or not
TIB, RUN_SHARE = 1 << 40, 16 << 20  # a sparse input; what one run reads of it


# ---- helpers ------------------------------------------------------------------

def run_all(box, *commands, env=None, timeout=60 * SLOW):
    """Runs the client once per command, all at the same time; their Runs."""
    with ThreadPoolExecutor(len(commands)) as pool:
        return list(pool.map(lambda c: box.run_client([COLLECTOR_URL, c], env=env,
                                                      timeout=timeout), commands))


def in_background(box, command, env=None, timeout=90 * SLOW):
    """One run started now; .result() gives its Run."""
    pool = ThreadPoolExecutor(1)
    future = pool.submit(box.run_client, [COLLECTOR_URL, command], env=env, timeout=timeout)
    pool.shutdown(wait=False)
    return future


def open_gate(box):
    box.run(["mkdir", "-p", "-m", "1777", GATE])


def lock_waiters(box, lock="update.lock"):
    """Processes of the world asleep in a lock's retry loop: the lock file
    open and the process in nanosleep (x86-64 calls 35 and 230), which a
    run calls only while it waits for a lock."""
    try:
        wanted = os.stat(box.path(f"{STATE_DIR}/{lock}"))
    except FileNotFoundError:
        return 0

    def is_lock(link):
        st = os.stat(link)
        return (st.st_dev, st.st_ino) == (wanted.st_dev, wanted.st_ino)

    count = 0
    for pid in filter(str.isdigit, os.listdir(box.path("/proc"))):
        fds = box.path(f"/proc/{pid}/fd")
        try:
            holds = any(is_lock(fds / fd) for fd in os.listdir(fds))
            call = box.path(f"/proc/{pid}/syscall").read_text().split()[0]
        except (OSError, IndexError):
            continue    # gone meanwhile
        count += holds and call in ("35", "230")
    return count


def public_numbers(pem):
    return serialization.load_pem_public_key(pem).public_numbers()


def assert_enrolled(box, server, unit_id=UNIT_ID):
    """One consistent enrollment the server confirmed: the unit's key pair,
    the same public key on file at the server, the server's key, the id."""
    unit_private = serialization.load_pem_private_key(box.read(f"{STATE_DIR}/unitprivatekey"),
                                                      None)
    unit_public = public_numbers(box.read(f"{STATE_DIR}/unitpublickey"))
    assert unit_private.public_key().public_numbers() == unit_public
    assert public_numbers((server.state / "units" / f"{unit_id}.pem").read_bytes()) == unit_public
    assert public_numbers(box.read(f"{STATE_DIR}/zorpublickey")) == \
        public_numbers(server_public_pem(server))
    assert box.read(f"{STATE_DIR}/unitid") == unit_id.encode()
    assert [t.split("&")[0] for t in targets(server) if t.startswith("/activate")] == \
        [f"/activate?mac={DEFAULT_MAC_TEXT}", "/activate?confirm"]


def owner_and_mode(box, path):
    st = os.lstat(box.path(path))
    return st.st_uid, stat.S_IFMT(st.st_mode), stat.S_IMODE(st.st_mode)


def serve_package(server, script, version="2.0"):
    (server.state / "packages" / "package.tar.gz").write_bytes(package(script=script))
    server.set_config({"version": version})


# ---- overlapping enrollments ------------------------------------------------------

# B finds no state directory and is stopped right as it makes one (killer.py
# holds it at that event, and the action, shell builtins only, stops it); A
# then enrolls and the server holds its enrollment; B, let go, waits for the
# update lock. A second enrollment would be the third /activate (after A's
# request and confirmation): the server refuses it, so that a run that
# enrolled again would fail and leave a unit without keys.
STOP_THE_RUN = ('read -r kids < /proc/$PPID/task/$PPID/children; for p in $kids; do'
                f' [ "$p" = $$ ] || {{ kill -STOP "$p"; echo "$p" > {GATE}/stopped; }}; done')


def test_overlapping_enrollments_on_a_fresh_unit_enroll_once(sandbox, server):
    publish(server, "1.0")
    open_gate(sandbox)
    server.set_config({"faults": [{"path": "/activate", "nth": 1, "gate": GATE},
                                  {"path": "/activate", "nth": 3,
                                   "status": "HTTP/1.1 403 Forbidden"}]})
    b = sandbox.popen([PYTHON, LAB / "killer.py", "--watch", "/tmp", "--on",
                       f"CREATE {STATE_DIR}", "--do", STOP_THE_RUN, "--", *runner(),
                       client_binary(), COLLECTOR_URL, "-a"],
                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wait_for(lambda: sandbox.exists(f"{GATE}/stopped"))
    a = in_background(sandbox, "-a")
    wait_for(lambda: sandbox.exists(f"{GATE}/held"))
    sandbox.run(["kill", "-CONT", sandbox.read(f"{GATE}/stopped").decode().strip()])
    wait_for(lambda: lock_waiters(sandbox) == 1)
    sandbox.write(f"{GATE}/go", b"")

    out, err = b.communicate(timeout=90 * SLOW)
    b_stdout, outcome = out.rsplit(b"\n", 2)[0], json.loads(out.splitlines()[-1])
    assert (outcome["status"], b_stdout, err) == (0, TAR_LIST, b""), (outcome, out, err)
    result = a.result()
    assert (result.returncode, result.stdout, result.stderr) == (0, TAR_LIST, b""), result
    assert_enrolled(sandbox, server)


# ---- the package's start ----------------------------------------------------------

CLEAN_START = (b"#!/bin/sh\npwd -P > /tmp/kelvoz/cwd\n"
               b"grep -E '^Sig(Blk|Ign):' /proc/self/status > /tmp/kelvoz/signals\n")
# Started as cron might: another working directory, signals blocked, one
# ignored (and python ignores SIGPIPE and SIGXFSZ itself).
MESSY_PARENT = ("import os, signal, sys\n"
                "signal.pthread_sigmask(signal.SIG_BLOCK,"
                " {signal.SIGTERM, signal.SIGUSR1, signal.SIGALRM})\n"
                "signal.signal(signal.SIGHUP, signal.SIG_IGN)\n"
                "os.execv(sys.argv[1], sys.argv[1:])\n")


# The script, whether the client is started by MESSY_PARENT from /tmp/elsewhere,
# and what the script found.
@pytest.mark.parametrize("script, messy, seen", [
    (b"#!/bin/sh\ncp /tmp/tolvenra/version /tmp/kelvoz/version-seen\n", False,
     {"version-seen": b"2.0\n"}),
    (CLEAN_START, True,
     {"cwd": b"/\n", "signals": b"SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n"}),
], ids=["sees-its-version-recorded", "clean-start"])
def test_what_the_package_sees_when_it_starts(sandbox, server, script, messy, seen):
    enroll(sandbox, server)
    install_old_package(sandbox)
    serve_package(server, script)
    if messy:
        sandbox.run(["mkdir", "/tmp/elsewhere"])
        result = sandbox.run([PYTHON, "-c", MESSY_PARENT, *runner(), client_binary(),
                              COLLECTOR_URL, "-v"], cwd="/tmp/elsewhere")
    else:
        result = sandbox.run_client([COLLECTOR_URL, "-v"])
    assert (result.returncode, result.stdout, result.stderr) == (0, TAR_LIST, b""), result
    assert {name: sandbox.read(f"/tmp/kelvoz/{name}") for name in seen} == seen


def one_at_a_time(version):
    """A start script that says when it starts, runs until the case lets it
    end, and then says whether its own tree (its working directory) is
    still whole."""
    return (f"#!/bin/sh\necho start {version} >> /tmp/starts\ncd /tmp/kelvoz\n"
            f"while [ ! -e {GATE}/go ]; do sleep 0.1; done\n"
            f"grep -q 'start {version}' runonce.sh && echo end {version} whole >> /tmp/starts\n"
            ).encode()


# A start script that runs on delays no run that installs nothing, and the
# next start waits for it: an install puts its package in place, waits
# holding no lock, and starts its script once the earlier one has ended,
# whose tree stays whole until then; each run that started a script waits
# for its end. The first script runs until the case lets it end.
def test_start_scripts_run_one_at_a_time(sandbox, server):
    enroll(sandbox, server)
    (server.state / "packages" / "testpackage.tar.gz").write_bytes(b"test")
    serve_package(server, one_at_a_time("1.0"), version="1.0")
    open_gate(sandbox)
    first = in_background(sandbox, "-v")
    wait_for(lambda: sandbox.exists("/tmp/starts"))
    serve_package(server, one_at_a_time("2.0"))
    install = in_background(sandbox, "-a")
    wait_for(lambda: sandbox.read(f"{STATE_DIR}/version") == b"2.0\n")

    overlapping = run_all(sandbox, "-v", "-p")
    assert [(r.returncode, r.stdout, r.stderr) for r in overlapping] == [(0, b"", b"")] * 2, \
        overlapping
    assert max(r.elapsed for r in overlapping) < QUICK, overlapping
    assert not first.done() and not install.done()
    assert sandbox.read("/tmp/starts") == b"start 1.0\n"
    sandbox.write(f"{GATE}/go", b"")
    results = [first.result(), install.result()]
    assert [(r.returncode, r.stdout, r.stderr) for r in results] == [(0, TAR_LIST, b"")] * 2, \
        results
    assert sandbox.read("/tmp/starts") == b"start 1.0\nend 1.0 whole\nstart 2.0\nend 2.0 whole\n"


# ---- what stands in the way ------------------------------------------------------

def test_a_deep_impostor_state_directory_does_not_stop_enrollment(sandbox, server):
    publish(server, "1.0")
    as_nobody(sandbox, "d=/tmp/tolvenra; for i in $(seq 69); do d=$d/d; done;"
                       " mkdir -p $d; echo x > $d/f")
    result = sandbox.run_client([COLLECTOR_URL, "-a"])
    assert (result.returncode, result.stdout, result.stderr) == (0, TAR_LIST, b""), result
    assert owner_and_mode(sandbox, STATE_DIR) == (0, stat.S_IFDIR, 0o755)
    assert_enrolled(sandbox, server)
    assert state_files(sandbox) == STATE_FILES     # the impostor removed, as its owner


# ---- the bound on one run's work --------------------------------------------------

# A sparse terabyte of the writer's: one run reads 16 MiB of it, in a few
# dozen requests, and hands the rest back to the writer.
@pytest.mark.parametrize("command, path, kind, accepted", [
    ("-s", "/tmp/output", "submit", b""),            # lines of NULs send nothing
    ("-l", "/tmp/debug.out", "log", bytes(RUN_SHARE)),
], ids=["results", "log"])
def test_one_run_reads_a_bounded_share_of_a_huge_input(sandbox, server, command, path, kind,
                                                       accepted):
    enroll(sandbox, server)
    as_nobody(sandbox, f"umask 022; truncate -s 1T {path}")
    result = sandbox.run_client([COLLECTOR_URL, command], timeout=60 * SLOW)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b""), result
    records = server.requests()
    assert 0 < len(records) <= 50 and all(r["accepted"] for r in records), len(records)
    assert received(server, kind) == accepted
    assert owner_and_mode(sandbox, path) == (65534, stat.S_IFREG, 0o644)
    assert os.lstat(sandbox.path(path)).st_size == TIB - RUN_SHARE


# A file system that reports no holes (lab/syscall_filter.py takes
# SEEK_DATA and SEEK_HOLE away, as kernels before 3.1 lack them and tmpfs
# before 3.8 ignored them): the unsent rest of a sparse terabyte cannot be
# told from data, so it is not copied but handed back as it is, its sent
# part recorded (and given back to the file system as a hole); the next run
# goes on from there. /tmp, 64 MiB here, never fills.
def test_a_sparse_input_without_hole_reports_is_handed_back_as_it_is(sandbox, server):
    enroll(sandbox, server)
    assert sandbox.run(["mount", "-o", "remount,size=64m", "/tmp"]).returncode == 0
    lines = b"".join(b"log line %09d\n" % i for i in range(20 << 20 >> 4))   # 20 MiB
    sandbox.write("/tmp/debug.out", lines, mode=0o644)
    os.chown(sandbox.path("/tmp/debug.out"), 65534, 65534)
    as_nobody(sandbox, "truncate -s 1T /tmp/debug.out")
    no_holes = [PYTHON, LAB / "syscall_filter.py", "--seek-holes", "einval", "--", *runner(),
                client_binary(), COLLECTOR_URL, "-l"]
    share = lines[:lines.rindex(b"\n", 0, RUN_SHARE) + 1]
    for expected in (share, lines):
        result = sandbox.run(no_holes, timeout=60 * SLOW)
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b""), result
        assert received(server, "log") == expected
        assert owner_and_mode(sandbox, "/tmp/debug.out") == (65534, stat.S_IFREG, 0o644)
        assert os.lstat(sandbox.path("/tmp/debug.out")).st_size == TIB
        free = os.statvfs(sandbox.path("/tmp"))
        assert free.f_bavail * free.f_frsize > 32 << 20, free


# Lines across the 16 MiB mark, and a single line longer than 16 MiB: each
# run ends at a line end, and the long line goes whole in a run of its own.
@pytest.mark.parametrize("lines", [
    [b"x" * 999 + b"\n"] * 17000,
    [b"short\n", b"y" * (RUN_SHARE + 5) + b"\n", b"last\n"],
], ids=["across-the-mark", "longer-than-a-share"])
def test_a_run_sends_whole_lines(sandbox, server, lines):
    enroll(sandbox, server)
    sandbox.write("/tmp/debug.out", b"".join(lines))
    sent = [b""]
    while sandbox.exists("/tmp/debug.out") and len(sent) <= len(lines):
        result = sandbox.run_client([COLLECTOR_URL, "-l"], timeout=60 * SLOW)
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b""), result
        sent.append(received(server, "log"))
    runs = [now[len(before):] for before, now in zip(sent, sent[1:])]
    assert all(run.endswith(b"\n") for run in runs), [len(run) for run in runs]
    assert b"".join(runs) == b"".join(lines)
    assert max(map(len, lines)) > RUN_SHARE or len(runs) == 2


# ---- identifiers at their limit ---------------------------------------------------

REFUSED_ID = (b"Unusable enrollment reply from collector.test: "
              b"identifier longer than 99 characters\n")


@pytest.mark.parametrize("length", [99, 100, 150])
def test_identifier_length_limit(sandbox, server, length):
    unit_id = "U" + "7" * (length - 1)
    publish(server, "1.0")
    server.set_config({"unit_id": unit_id})
    result = sandbox.run_client([COLLECTOR_URL, "-a"])
    if length <= 99:
        assert (result.returncode, result.stdout, result.stderr) == (0, TAR_LIST, b""), result
        assert_enrolled(sandbox, server, unit_id)
        return
    assert (result.returncode, result.stdout, result.stderr) == (1, b"", REFUSED_ID), result
    assert state_files(sandbox) == []
    assert targets(server) == [f"/activate?mac={DEFAULT_MAC_TEXT}"]


# ---- time-outs, the hand-back's owner, the lock ------------------------------------

# "0 means no limit": every kind of command with READ_TIMEOUT=0.
def test_no_read_limit_works_for_every_command(sandbox, server):
    publish(server, "1.0")
    (server.state / "packages" / "testpackage.tar.gz").write_bytes(b"test")
    sandbox.write("/tmp/output", b"r1\n")
    sandbox.write("/tmp/debug.out", b"log line\n")
    results = [sandbox.run_client([COLLECTOR_URL, c], env={"READ_TIMEOUT": "0"})
               for c in ("-a", "-v", "-p", "-s", "-l")]
    assert [(r.returncode, r.stdout, r.stderr) for r in results] == \
        [(0, TAR_LIST, b"")] + [(0, b"", b"")] * 4, results
    assert (received(server, "submit"), received(server, "log")) == (b"r1\n", b"log line\n")


# A peer that takes the connection and never reads: the log's first request
# fills the socket buffers (loopback at an Ethernet MTU keeps them small),
# and the send gives up after WRITE_TIMEOUT, not READ_TIMEOUT.
def test_a_send_ends_after_the_write_limit(sandbox, pki):
    assert sandbox.run(["ip", "link", "set", "lo", "mtu", "1500"]).returncode == 0
    seed_unit(sandbox, public_pem(rsa_key("server").public_key()))
    start_deaf_peer(sandbox, "127.0.0.2", COLLECTOR_PORT, pki.issue(COLLECTOR))
    log = b"".join(b"log line %07d\n" % i for i in range(300_000))   # 5 MiB
    sandbox.write("/tmp/debug.out", log)
    result = sandbox.run_client([COLLECTOR_URL, "-l"],
                                env={"WRITE_TIMEOUT": "2", "READ_TIMEOUT": "30"})
    assert (result.returncode, result.stdout, result.stderr) == (
        1, b"", b"SSL body write problem retval = 3\n"
                b"The log was refused by collector.test: no reply; /tmp/debug.out stays\n"), result
    assert result.elapsed < QUICK, result
    assert sandbox.read("/tmp/debug.out") == log


# Two updates at once, the first download held until the second run is seen
# waiting for the lock (or, were the lock shared, has asked for the package
# itself): one download, one installation, one start.
def test_two_updates_at_once_install_once(sandbox, server):
    enroll(sandbox, server)
    install_old_package(sandbox)
    serve_package(server, b"#!/bin/sh\necho started >> /tmp/starts\n")
    open_gate(sandbox)
    server.set_config({"version": "2.0",
                       "faults": [{"path": "/packages/", "nth": 1, "gate": GATE}]})
    runs = [in_background(sandbox, "-v") for _ in range(2)]
    wait_for(lambda: sandbox.exists(f"{GATE}/held"))
    wait_for(lambda: lock_waiters(sandbox) == 1 or any(r.done() for r in runs) or
             targets(server).count("/packages/package.tar.gz") == 2)
    sandbox.write(f"{GATE}/go", b"")
    results = sorted((r.result() for r in runs), key=lambda r: r.stdout)
    assert [(r.returncode, r.stdout, r.stderr) for r in results] == \
        [(0, b"", b""), (0, TAR_LIST, b"")], results
    assert targets(server).count("/packages/package.tar.gz") == 1
    assert sandbox.read("/tmp/starts") == b"started\n"
    assert sandbox.read(f"{STATE_DIR}/version") == b"2.0\n"
