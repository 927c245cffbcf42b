"""Every failing call ends honestly. For each row of each command, an
unfaulted run counts the client's fallible calls by kind; then each call
fails in turn (allocations and reads sampled: an update makes some 20,000
allocations, most of them in the TLS library), each time in the row's world
set back to its start, and a run without faults follows. After each pair
what faultworld.py checks must hold: an ending of 0 or 1 with a line that
says why, 0 only for a job done, nothing lost or sent twice, the package,
its version and start, and the keys in agreement, and a recovery that ends
as an unfaulted run does, leaving nothing behind.

The sweep is the `faults` stage of scripts/check.sh. HALVORPIN_FAULT_SEED
draws another sample of the sampled kinds."""

import os
import random
import threading
import traceback

import pytest

import faults
from conftest import SUMMARY
from faultworld import ROWS, check_faulted_run, recover

# Calls of these kinds, at most, per row; every call of the other kinds.
SAMPLED = {"malloc": 100, "read": 16}
WORKERS = 2     # worlds per row, run side by side
SEED = os.environ.get("HALVORPIN_FAULT_SEED", "0")


def plan(row, counts):
    """The faults to inject for a row, given an unfaulted run's counts."""
    drawn = random.Random(f"{SEED}:{row}")
    planned = []
    for kind in faults.KINDS:
        total = counts[kind]
        calls = range(1, total + 1)
        if total > SAMPLED.get(kind, total):
            # The first calls always (start-up), the rest drawn.
            first = list(calls[:4])
            calls = first + sorted(drawn.sample(calls[4:], SAMPLED[kind] - len(first)))
        planned += [faults.faults_of(kind, nth) for nth in calls]
    return planned


def brief(run):
    return "-" if run is None else f"{run.returncode} {run.stdout[-300:]!r} {run.stderr[-300:]!r}"


def one_case(world, fault):
    """The faulted run and the recovery; None, or what went wrong."""
    world.prepare()
    since = len(world.server.requests())
    result, record = world.run(fault)
    accepted = world.accepted_requests(since)
    recovery = None
    try:
        check_faulted_run(world, fault, result, record)
        recovery = recover(world, result, accepted)[0]
    except AssertionError as failure:
        return f"{world.row} {fault} ({record}): {failure}\n  {brief(result)}\n  {brief(recovery)}"
    return None if record.fired else "unfired"


@pytest.mark.parametrize("row", ROWS, ids=str)
def test_every_failing_call_ends_honestly(unit_world, row):
    worlds = [unit_world(row) for _ in range(WORKERS)]
    worlds[0].prepare()
    record = recover(worlds[0])[1]      # an unfaulted run counts, and does the job
    queue = plan(row, record.counts)
    outcomes = []
    lock = threading.Lock()

    def work(world):
        while True:
            with lock:
                if not queue:
                    return
                fault = queue.pop(0)
            try:
                outcome = one_case(world, fault)
            except Exception:      # a broken world: reported, never hidden
                outcome = f"{row} {fault}: {traceback.format_exc()}"
            with lock:
                outcomes.append((fault, outcome))

    threads = [threading.Thread(target=work, args=(w,)) for w in worlds]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    fired = [f for f, outcome in outcomes if outcome != "unfired"]
    failed = [outcome for _, outcome in outcomes if outcome not in (None, "unfired")]
    calls = ", ".join(f"{kind} {n}" for kind, n in record.counts.items() if n)
    SUMMARY.append(f"faults {row.command} {row}: {len(fired)} faulted runs of {len(outcomes)} "
                   f"planned, {len(failed)} failed; calls of an unfaulted run: {calls}")
    assert fired, "no fault fired"
    assert not failed, f"{len(failed)} of {len(fired)} faulted runs failed:\n" + "\n".join(failed)
