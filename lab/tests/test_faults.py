"""The fault preload (lab/faults.py) counts a program's calls by kind and
fails exactly the one it is told to, in the program's own process only. Its
subject here is a small probe (faults_probe.c) that makes each call twice."""

import errno
import subprocess

import pytest

import faults

PROBE = faults.SOURCE.parent / "tests" / "faults_probe.c"


@pytest.fixture(scope="module")
def tools(tmp_path_factory):
    directory = tmp_path_factory.mktemp("faults")
    probe = directory / "faults_probe"
    subprocess.run(["gcc", "-std=gnu11", "-O2", "-o", str(probe), str(PROBE)], check=True)
    return faults.build(directory), probe


def run_probe(tools, tmp_path, calls, fault=None):
    """The probe's lines (call, "ok" or an errno) and the preload's record."""
    preload, probe = tools
    work = tmp_path / f"work-{len(list(tmp_path.iterdir()))}"
    work.mkdir()
    record = faults.new_record(work / "record")
    result = subprocess.run(faults.command(preload, record, [probe, work, *calls], fault),
                            capture_output=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, b""), result
    return result.stdout.decode().splitlines(), faults.read_record(record)


@pytest.mark.parametrize("kind", faults.KINDS)
def test_each_kind_is_counted_and_its_nth_call_fails_once(tools, tmp_path, kind):
    _, before = run_probe(tools, tmp_path, ["none"])
    lines, counted = run_probe(tools, tmp_path, [kind])
    assert lines == [f"{kind} ok"] * 2 and not counted.fired
    # Each attempt is one call of the kind; the probe makes no other.
    assert counted.counts[kind] - before.counts[kind] == 2, counted.counts
    error = faults.ERRNOS[kind][-1]
    lines, failed = run_probe(tools, tmp_path, [kind], faults.Fault(kind, 1, error))
    assert lines == [f"{kind} {error}", f"{kind} ok"]
    assert failed.fired and failed.where.startswith(str(tools[1])), failed


def test_a_fault_naming_a_path_fails_the_nth_call_that_names_it(tools, tmp_path):
    lines, record = run_probe(tools, tmp_path, ["open"], faults.Fault("open", 1, errno.EIO, "f2"))
    assert lines == ["open ok", f"open {errno.EIO}"] and record.call == "open"


def test_a_failed_stream_write_leaves_the_stream_failed(tools, tmp_path):
    lines, _ = run_probe(tools, tmp_path, ["fwrite"], faults.Fault("write", 1, errno.ENOSPC))
    assert lines == [f"fwrite {errno.ENOSPC}", "fwrite ok"]


# Children of the process and the programs it starts count nothing and
# fail nothing: the fault is the client's own.
def test_children_and_started_programs_run_without_the_preload(tools, tmp_path):
    lines, record = run_probe(tools, tmp_path, ["child", "exec"], faults.Fault("open", 5, errno.EIO))
    assert lines == ["child ok"] * 2 + ["exec ok"] * 2
    assert (record.counts["open"], record.counts["fork"], record.fired) == (4, 2, False)
    assert (tmp_path / "work-0" / "exec.out").read_text() == "unset\nunset\n"
