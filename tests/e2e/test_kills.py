"""A run killed at any moment leaves nothing broken and loses nothing. Each
case sweeps one command: in a fresh world per kill, the run is killed with
SIGKILL right after its 1st, 2nd, ... file event in /tmp or the state
directory (lab/killer.py), until a run ends by itself; after each kill, one
run of the same command must finish or repeat the work and clean up what the
killed run left."""

import json
import os
import re
import subprocess

import pytest
from cryptography.hazmat.primitives import serialization

from conftest import COLLECTOR_URL, start_collector
from sandbox import LAB, PYTHON, SLOW, client_binary, runner
from test_hostile import wait_for
from unitstate import (COLLECTOR, OLD_TREE, START_PENDING, STATE_DIR, STATE_FILES, UNIT_ID,
                       assert_installed, enroll, install_old_package, package_at_its_place,
                       publish, received, server_public_pem, state_files, tmp_entries, tree_of)

WATCHED = ["/tmp", STATE_DIR]
# The oldkernel stage's runner takes renameat2, or its flags, from the client.
EXCHANGE = "--renameat2" not in os.environ.get("HALVORPIN_RUNNER", "")
# What a world's /tmp holds besides the unit's own files.
WORK_LEFTOVER = re.compile(r"^(\.kelvoz\..*|\.package\.tmp|testpackage\.tar.*|"
                           r"(schedulerconfig|output|debug\.out)\..*)$")


def killed_run(box, args, after, env=None, append=None, watch=()):
    command = [PYTHON, LAB / "killer.py", "--after", str(after)]
    for directory in WATCHED + list(watch):
        command += ["--watch", directory]
    if append:
        command += ["--append", append]
    result = box.run(command + ["--", *runner(), client_binary(), *args], env=env)
    assert result.returncode == 0, result
    return json.loads(result.stdout.splitlines()[-1])


def sweep(make_sandbox, pki, prepare, args, check, *, env=None, append=None, least,
          server_events=False, finished=None):
    """Kills `args` after each of its file events in turn, each time in a
    new world made ready by prepare(box, server); check(box, server, outcome)
    judges the world after the kill. A run must cause at least `least`
    events, so the sweep cannot pass by killing nothing. With server_events,
    the server filing an upload, just before its reply, counts as an event
    too: a kill while the reply is on its way, a line appended while the
    request is out. finished(box, server, outcome) judges the run that ended
    by itself."""
    after = 0
    while True:
        after += 1
        box = make_sandbox()
        server = start_collector(box, *pki.issue(COLLECTOR))
        prepare(box, server)
        watch = [server.state / "received"] if server_events else []
        outcome = killed_run(box, args, after, env=env, append=append, watch=watch)
        if not outcome["killed"]:
            assert outcome["status"] == 0, outcome
            assert after > least, outcome["events"]
            if finished:
                finished(box, server, outcome)
            return
        check(box, server, outcome)
        box.close()


def no_leftovers(box):
    assert {n for n in tmp_entries(box) if WORK_LEFTOVER.match(n)} == set()


# ---- packages ----------------------------------------------------------------------

def published(server):
    data = publish(server, "2.0")
    server.set_config({"version": "2.0"})
    return data


def unit_key_known_to(box, server):
    unit_id = box.read(f"{STATE_DIR}/unitid").decode()
    ours = serialization.load_pem_public_key(box.read(f"{STATE_DIR}/unitpublickey"))
    theirs = serialization.load_pem_public_key(
        (server.state / "units" / f"{unit_id}.pem").read_bytes())
    return ours.public_numbers() == theirs.public_numbers()


def confirmed(server):
    return any(r["target"].startswith("/activate?confirm") and "200" in r["reply_status"]
               for r in server.requests())


# An enrollment is published only once the server confirmed it; a version
# file naming the new package stands for a package installed and configured,
# and started unless its start is still due.
@pytest.mark.parametrize("command, least", [("-v", 8), ("-a", 12)])
def test_a_killed_update_or_enrollment_is_finished_by_the_next_run(make_sandbox, pki, command,
                                                                   least):
    def prepare(box, server):
        if command == "-v":
            enroll(box, server)
            install_old_package(box)
        prepare.data = published(server)

    def check(box, server, outcome):
        # The old package or the new one, whole; without the exchange the old
        # one may have lost files to a run killed while emptying its place.
        found = package_at_its_place(box)
        old, new = OLD_TREE if command == "-v" else None, tree_of(prepare.data)
        assert found in (old, new, {**new, "started": b"2.0\n"}) or \
            (not EXCHANGE and old and found.items() <= old.items()), (outcome, found)
        if command == "-a" and box.exists(f"{STATE_DIR}/zorpublickey"):
            assert confirmed(server) and unit_key_known_to(box, server), outcome
        if box.exists(f"{STATE_DIR}/version") and box.read(f"{STATE_DIR}/version") == b"2.0\n" \
                and not box.exists(START_PENDING):
            assert_installed(box, prepare.data, b"2.0\n", b"2.0\n")
        if command == "-v":
            # A run that installs nothing still clears what the killed one left.
            fetch = box.run_client([COLLECTOR_URL, "-p"])
            assert fetch.returncode == 0, (outcome, fetch)
            assert [name for name in box.listdir(STATE_DIR)
                    if name.startswith("package.")] == [], outcome
            box.remove("/tmp/testpackage.tar.gz")   # what -p is for, not a leftover
        result = box.run_client([COLLECTOR_URL, command])
        assert result.returncode == 0, (outcome, result)
        assert box.read(f"{STATE_DIR}/unitid") == UNIT_ID.encode()
        assert box.read(f"{STATE_DIR}/zorpublickey") == server_public_pem(server)
        assert unit_key_known_to(box, server)
        assert_installed(box, prepare.data, b"2.0\n", b"2.0\n")
        assert state_files(box) == STATE_FILES
        no_leftovers(box)

    sweep(make_sandbox, pki, prepare, [COLLECTOR_URL, command], check, least=least)


# ---- uploads -----------------------------------------------------------------------

# The command, its input, what the server files it under. A writer appends a
# line at every file event of the killed run, while the run is held there.
@pytest.mark.parametrize("command, path, kind", [
    ("-s", "/tmp/output", "submit"),
    ("-L", "/tmp/debug.out", "log"),
])
def test_no_line_is_lost_whenever_an_upload_is_killed(make_sandbox, pki, command, path, kind):
    lines = [f"r{i}\n" for i in range(1, 6)]

    def prepare(box, server):
        enroll(box, server)
        box.write(path, "".join(lines).encode(), mode=0o644)

    def check(box, server, outcome):
        result = box.run_client([COLLECTOR_URL, command], env={"SUBMIT_MAX_LINES": "2"})
        # The killed run may have sent and removed everything already.
        assert result.returncode == 0 or not box.exists(path), (outcome, result)
        assert not box.exists(path), (outcome, result)
        sent = received(server, kind).decode().splitlines(keepends=True)
        assert set(lines + outcome["appended"]) <= set(sent), (outcome, sent)
        assert state_files(box) == [n for n in STATE_FILES if n != "version"]
        no_leftovers(box)

    def finished(box, server, outcome):
        # Not killed: each line goes once, in order, this run or the next.
        if box.exists(path):
            result = box.run_client([COLLECTOR_URL, command])
            assert result.returncode == 0, result
        assert received(server, kind).decode() == "".join(lines + outcome["appended"])
        check(box, server, outcome)

    sweep(make_sandbox, pki, prepare, [COLLECTOR_URL, command], check,
          env={"SUBMIT_MAX_LINES": "2"}, append=path, least=6, server_events=True,
          finished=finished)


# Killed right after the hand-back's link() put the rest back at the input's
# name, before the state name went: the input has a second link, the run's
# own tail. The next upload finishes that first and sends the rest.
def test_a_run_killed_between_link_and_unlink_of_the_hand_back(sandbox, pki):
    server = start_collector(sandbox, *pki.issue(COLLECTOR))
    enroll(sandbox, server)
    sandbox.write("/tmp/debug.out", b"l1\n")
    sandbox.run(["mkdir", "-m", "1777", "/tmp/gate"])
    server.set_config({"faults": [{"path": "/log", "nth": 1, "gate": "/tmp/gate"}]})
    kill = ('read -r kids < /proc/$PPID/task/$PPID/children; for p in $kids; do'
            ' [ "$p" = $$ ] || kill -KILL "$p"; done')
    upload = sandbox.popen([PYTHON, LAB / "killer.py", "--watch", "/tmp", "--on",
                            "CREATE /tmp/debug.out", "--do", kill, "--", *runner(),
                            client_binary(), COLLECTOR_URL, "-l"], stdout=subprocess.PIPE)
    wait_for(lambda: sandbox.exists("/tmp/gate/held"))
    sandbox.run(["/bin/sh", "-c", "echo l2 >> /tmp/debug.out; : > /tmp/gate/go"])
    outcome = json.loads(upload.communicate(timeout=60 * SLOW)[0].splitlines()[-1])
    assert outcome["status"] == -9 and os.lstat(sandbox.path("/tmp/debug.out")).st_nlink == 2

    result = sandbox.run_client([COLLECTOR_URL, "-l"])
    assert (result.returncode, result.stderr) == (0, b""), result
    assert received(server, "log") == b"l1\nl2\n" and not sandbox.exists("/tmp/debug.out")
    assert state_files(sandbox) == [n for n in STATE_FILES if n != "version"]
