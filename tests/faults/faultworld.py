"""A unit's world for runs with one failing call (lab/faults.py): the rows
of every command (a unit prepared, the command, what its job is), a world
that is set back between runs instead of made anew, and what must hold
after a faulted run and after the run without faults that follows it."""

import errno
import os
import re
import shutil
import time
from dataclasses import dataclass, field
from pathlib import Path

import faults
from conftest import COLLECTOR_URL, start_collector
from sandbox import LAB, PYTHON, Run, client_binary
from unitstate import (COLLECTOR, LOCK_FILES, OLD_TREE, START_PENDING, STATE_DIR, STATE_FILES,
                       UNIT_ID, enroll, install_old_package, package_at_its_place, publish,
                       received, register_unit, server_public_pem, tree_of)

NEW = "2.0"
# An upload's input, a line a writer appends while the run's first request
# is out (so the run hands a rest back), and one appended before the next run.
LINES = [f"line {i}\n" for i in range(1, 6)]
DURING, BETWEEN = "appended during the run\n", "appended between the runs\n"
GATE = "/tmp/gate"      # where the server holds an upload's first request
# Runs print these as they work, whatever the outcome: tar's list of
# members, the blocks of an encrypted log.
NOISE = re.compile(rb"kelvoz/\S*\n|bodylength = \d+ \n")
# The unit's names in /tmp besides its inputs.
UNIT_NAMES = {"tolvenra", "kelvoz", "schedulerconfig", "testpackage.tar.gz"}
DUE_TREE = {name: data for name, data in OLD_TREE.items() if name != "started"}
# What the server or the network did, as -v and -p end with status 0; the
# package's faults. A local failure is never told as one of them.
SERVER_VERDICT = re.compile(rb"(refused by|Unusable [a-z ]+ from|broke off|Unusable package "
                            rb"locator)[^\n]*\n\Z")
BLAME = re.compile(rb"refused by|Unusable [a-z ]+ from|broke off|Unusable package locator|"
                   rb"does not decompress|does not unpack|Package refused")


def readme_messages():
    """Every message of the README's table of messages, as a pattern: a
    line a failed run ends with must end with one of them."""
    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    table = readme.split("## Messages on a unit's log", 1)[1].split("\n## ", 1)[0]
    patterns = []
    for row in table.splitlines():
        if not row.startswith("| `"):
            continue
        texts = re.findall(r"`([^`]+)`", row.split(" | ")[0])
        # "`... /tmp/output ...` (or `/tmp/debug.out`)": the same for the log.
        if texts[-1] == "/tmp/debug.out" and "/tmp/output" in texts[0]:
            texts[-1] = texts[0].replace("/tmp/output", "/tmp/debug.out")
        for text in texts:
            pieces = re.split(r"<[^>]+>|\bN\b", text)
            patterns.append(".*".join(map(re.escape, pieces)))
    # Messages written without a line feed may come first on the line.
    return re.compile(("(%s)\\Z" % "|".join(patterns)).encode())


MESSAGES = readme_messages()
# The TLS library's queue, or the clock line, may follow a message.
LIBRARY_LINE = re.compile(rb"[0-9A-F]+:error:|Unit clock ")


# ---- the rows ---------------------------------------------------------------

@dataclass(frozen=True)
class Row:
    name: str
    command: str
    unit: str = "enrolled"          # "fresh", "enrolled", "old package", "start due"
    offered: str = NEW              # the version the server names
    encrypted: bool = False
    upload: str = None              # "submit" or "log": what the server files it under
    env: dict = field(default_factory=dict)
    runner: tuple = ()              # what the client runs under

    @property
    def installs(self):
        return self.command in ("-a", "-v") and self.offered == NEW

    @property
    def input(self):
        return {"submit": "/tmp/output", "log": "/tmp/debug.out"}.get(self.upload)

    def __str__(self):
        return self.name


# A kernel without renameat2 (lab/syscall_filter.py): the installed package
# is emptied into the state directory and the new tree renamed onto it.
NO_EXCHANGE = (PYTHON, str(LAB / "syscall_filter.py"), "--renameat2", "enosys", "--")

ROWS = [
    Row("a", "-a", unit="fresh"),
    Row("v", "-v", unit="old package"),
    Row("v-no-exchange", "-v", unit="old package", runner=NO_EXCHANGE),
    Row("v-encrypted", "-v", unit="old package", encrypted=True),
    Row("v-start-due", "-v", unit="start due", offered="0.9"),
    Row("p", "-p"),
    Row("p-encrypted", "-p", encrypted=True),
    Row("s", "-s", upload="submit", env={"SUBMIT_MAX_LINES": "2"}),
    Row("S", "-S", upload="submit", env={"SUBMIT_MAX_LINES": "2"}),
    Row("l", "-l", upload="log"),
    Row("L", "-L", upload="log"),
]


# ---- one world, set back between runs -----------------------------------------

class UnitWorld:
    """A world with the reference server for one row, whose /tmp goes back
    to what it held at the start before each case."""

    def __init__(self, box, pki, preload, row):
        self.box = box
        self.row = row
        self.preload = preload
        self.server = start_collector(box, *pki.issue(COLLECTOR))
        self.package = publish(self.server, NEW)
        self.fetched = publish(self.server, NEW, name="testpackage.tar.gz")    # what -p gets
        config = {"version": row.offered, "package_encrypted": row.encrypted}
        if row.upload:
            config["faults"] = [{"path": f"/{row.upload}", "gate": GATE}]
        self.server.set_config(config)
        if row.unit != "fresh":
            register_unit(self.server)
        self.server_key = server_public_pem(self.server)
        self.pristine = set(box.listdir("/tmp"))
        self.runs = 0

    def prepare(self):
        """The unit as the row starts from it."""
        for name in set(self.box.listdir("/tmp")) - self.pristine:
            path = self.box.path(f"/tmp/{name}")
            if path.is_dir() and not path.is_symlink():
                shutil.rmtree(path)
            else:
                path.unlink()
        row = self.row
        if row.unit != "fresh":
            enroll(self.box, self.server)
        if row.unit in ("old package", "start due"):
            install_old_package(self.box)
        if row.unit == "start due":
            self.box.remove("/tmp/kelvoz/started")
            st = os.lstat(self.box.path("/tmp/kelvoz"))
            self.box.write(START_PENDING, f"{st.st_dev} {st.st_ino}\n")
        self.written = []
        if row.input:
            self.append(*LINES)
        self.sent_before = len(received(self.server, row.upload)) if row.upload else 0

    def append(self, *lines):
        """A writer's lines, each appended as the package appends them."""
        for line in lines:
            fd = os.open(self.box.path(self.row.input), os.O_WRONLY | os.O_APPEND | os.O_CREAT,
                         0o644)
            try:
                os.write(fd, line.encode())
            finally:
                os.close(fd)
            self.written.append(line)

    def run(self, fault=None, runner=()):
        """One run of the row's command, with `fault` or only counting, after
        `runner` (lab/syscall_filter.py, say); returns the Run and the
        preload's record. While an upload's first request is held by the
        server, a line is appended to its input."""
        self.runs += 1
        box = self.box
        record = faults.new_record(box.workdir / f"record-{self.runs}")
        argv = [client_binary(), COLLECTOR_URL, self.row.command]
        command = [*(runner or self.row.runner), *faults.command(self.preload, record, argv, fault)]
        out, err = (box.workdir / f"run-{self.runs}.{n}" for n in ("out", "err"))
        start = time.monotonic()
        with open(out, "wb") as stdout, open(err, "wb") as stderr:
            proc = box.popen(command, env=self.row.env, stdout=stdout, stderr=stderr)
        while proc.poll() is None:
            if self.row.upload and box.exists(f"{GATE}/held") and not box.exists(f"{GATE}/go"):
                self.append(DURING)
                box.write(f"{GATE}/go", "")
            if time.monotonic() - start > 120:
                proc.kill()
            time.sleep(0.002)
        if self.row.upload and not box.exists(f"{GATE}/go"):
            box.write(f"{GATE}/go", "")     # no request was held: let the next run's pass
        self.wait_until_served()
        result = Run(command, proc.returncode, out.read_bytes(), err.read_bytes(),
                     time.monotonic() - start)
        box.runs.append(result)
        record_data = faults.read_record(record)
        for path in (record, out, err):
            path.unlink()
        assert record_data.loaded, result
        return result, record_data

    def wait_until_served(self):
        """Until the server is done with every connection of the run: a
        client that ended early leaves the server filing what it sent. The
        reference server handles each connection in a thread of its own."""
        launcher = self.server.proc.pid     # nsenter; the server is its child
        server = Path(f"/proc/{launcher}/task/{launcher}/children").read_text().split()[0]
        deadline = time.monotonic() + 30
        while len(os.listdir(f"/proc/{server}/task")) > 1:
            assert time.monotonic() < deadline, "the server kept a connection of the run for 30 s"
            time.sleep(0.002)

    def sent(self):
        """What the server accepted of the row's uploads since prepare()."""
        return received(self.server, self.row.upload)[self.sent_before:]

    def accepted_requests(self, since):
        return [r for r in self.server.requests()[since:] if r.get("accepted")]

    # ---- the unit's state ----------------------------------------------------

    def read(self, path):
        return self.box.read(path) if self.box.exists(path) else None

    def pending_names_tree(self):
        text = self.read(START_PENDING)
        if text is None or not self.box.exists("/tmp/kelvoz"):
            return False
        st = os.lstat(self.box.path("/tmp/kelvoz"))
        return text == f"{st.st_dev} {st.st_ino}\n".encode()


# ---- what must hold ----------------------------------------------------------------

def assert_consistent(world):
    """After any run: the package at its place is the old or the new one,
    whole and root's; the version file, the scheduler configuration and the
    start agree with it; the keys are the old ones or a whole new set."""
    row, tree, new = world.row, package_at_its_place(world.box), tree_of(world.package)
    started_new = {**new, "started": f"{NEW}\n".encode()}
    if row.installs:
        allowed = [OLD_TREE if row.unit == "old package" else None, new, started_new]
    elif row.unit == "start due":
        allowed = [DUE_TREE, {**DUE_TREE, "started": b"old\n"}]
    else:
        allowed = [None]
    assert tree in allowed, f"/tmp/kelvoz holds {sorted(tree or [])}"
    version = world.read(f"{STATE_DIR}/version")
    assert version in (None, b"0.9\n", f"{NEW}\n".encode()), version
    if version == f"{NEW}\n".encode():
        # Recorded last: everything of the new package is in place, and it
        # was started or its start is due.
        assert tree in (new, started_new), "the new version is recorded before its package"
        assert world.read("/tmp/schedulerconfig") == new["schedulerconfig"]
        assert tree == started_new or world.pending_names_tree(), "the new package was never started"
    if tree == DUE_TREE:
        assert world.pending_names_tree(), "the due start was dropped"
    keys = {name: world.read(f"{STATE_DIR}/{name}")
            for name in ("unitprivatekey", "unitpublickey", "zorpublickey", "unitid")}
    if row.unit != "fresh":
        assert (keys["zorpublickey"], keys["unitid"]) == (world.server_key, UNIT_ID.encode()), \
            "the unit's keys changed"
    elif keys["zorpublickey"] is not None:
        # Enrolled: the whole set, the one the server knows.
        assert (keys["zorpublickey"], keys["unitid"]) == (world.server_key, UNIT_ID.encode())
        known = (world.server.state / "units" / f"{UNIT_ID}.pem").read_bytes()
        assert keys["unitpublickey"] == known, "the unit's key is not the one the server has"


def job_done(world):
    """The row's command did its job, as an unfaulted run does."""
    row = world.row
    if row.installs or row.unit == "start due":
        want = tree_of(world.package) if row.installs else DUE_TREE
        started = f"{NEW}\n".encode() if row.installs else b"old\n"
        assert package_at_its_place(world.box) == {**want, "started": started}, "not installed and started"
    if row.installs:
        assert world.read(f"{STATE_DIR}/version") == f"{NEW}\n".encode()
        assert world.read("/tmp/schedulerconfig") == tree_of(world.package)["schedulerconfig"]
    if row.command == "-p":
        assert world.read("/tmp/testpackage.tar.gz") == world.fetched, "-p fetched no whole package"
    if row.upload:
        # What the run read went out once; the rest waits, or is back.
        sent, written = world.sent(), "".join(world.written).encode()
        assert written.startswith(sent) and len(sent) >= len("".join(LINES)), \
            "not every line read went once"
        rest = world.read(row.input) or world.read(f"{STATE_DIR}/{Path(row.input).name}.tail")
        assert (rest or b"") == written[len(sent):], "the rest is not handed back"


def assert_clean(world):
    """Nothing is left that an unfaulted run would not leave."""
    box, row = world.box, world.row
    names = {n for n in box.listdir(STATE_DIR) if n not in LOCK_FILES}
    expected = set(STATE_FILES) - ({"version"} if row.unit == "enrolled" else set())
    assert names == expected, f"left in the state directory: {sorted(names ^ expected)}"
    left = set(box.listdir("/tmp")) - world.pristine - UNIT_NAMES - {"gate", "output", "debug.out"}
    assert left == set(), f"left in /tmp: {sorted(left)}"


def delivered_once(world, faulted_sent, faulted_status, accepted):
    """Each line went once over the two runs; the one exception is the
    request the server filed last in a failed run, whose reply the run did
    not see (the next sends it again: at least once)."""
    want, got = "".join(world.written).encode(), world.sent()
    if got == want:
        return
    last = accepted[-1].get("clear", b"") if accepted else b""
    assert faulted_status == 1 and last and faulted_sent.endswith(last) and \
        got[:len(faulted_sent) - len(last)] + got[len(faulted_sent):] == want, \
        f"lines lost or sent twice: {got!r}"


def network_fault(fault):
    """A failure the network could have caused: the client takes it as the
    peer's doing."""
    return fault.kind in ("sockio", "connect") and fault.error != errno.EINTR


def check_faulted_run(world, fault, result, record):
    """What must hold after the faulted run itself."""
    assert result.returncode in (0, 1), "the run did not end by itself with 0 or 1"
    stderr, stdout = NOISE.sub(b"", result.stderr), NOISE.sub(b"", result.stdout)
    if result.returncode == 1:
        lines = [line for line in stderr.splitlines() if not LIBRARY_LINE.match(line)]
        assert lines and MESSAGES.search(lines[-1]), "status 1 without a line that says why"
        assert network_fault(fault) or not BLAME.search(lines[-1]), \
            "a local failure told as the server's or the package's"
        if fault.kind == "malloc":
            assert b"Out of memory" in stderr, "an allocation failure not told as such"
    if record.fired and fault.error == errno.EINTR:
        assert (result.returncode, stderr, stdout) == (0, b"", b""), \
            "an interrupted call was not retried"
    if result.returncode == 0 and not (network_fault(fault) and SERVER_VERDICT.search(stderr)):
        job_done(world)
    assert_consistent(world)


def assert_unfaulted_ending(result):
    assert (result.returncode, NOISE.sub(b"", result.stderr), NOISE.sub(b"", result.stdout)) == \
        (0, b"", b""), "a run without faults did not end as it should"


def recover(world, faulted=None, accepted=()):
    """The run without faults after `faulted` (or after nothing) ends as an
    unfaulted run does, leaves nothing behind, and with it every line went
    once. A writer appends a line before it; a rest the faulted run left
    waiting goes first, and what stands at the input's name with the run
    after (README, Appending to the upload files)."""
    row = world.row
    if row.upload and faulted is not None:
        world.append(BETWEEN)
    sent_before = world.sent() if faulted is not None else b""
    result, record = world.run()
    assert_unfaulted_ending(result)
    if row.upload and world.box.exists(row.input) and faulted is not None:
        again, _ = world.run()
        assert_unfaulted_ending(again)
    if row.upload and faulted is not None:
        delivered_once(world, sent_before, faulted.returncode, accepted)
        assert world.read(row.input) is None, f"{row.input} was not taken in"
    else:
        job_done(world)
    assert_consistent(world)
    assert_clean(world)
    return result, record
