"""One failing call each, where a run used to end dishonestly: a start
script never started, an input sent twice, an input refused for good, a
unit left without a package, -p fetching nothing or a corrupt package
with status 0, a local failure told as a bad archive, an interruption
read as a time-out. Each row fails one call (lab/faults.py) and checks
the ending, then what the sweep checks (test_sweep.py): the state after
the run, and a next run that ends as an unfaulted run does."""

import errno
import os

import pytest

from faultworld import ROWS, STATE_DIR, check_faulted_run, recover
from faults import Fault

ROW = {row.name: row for row in ROWS}
START_FAILED = b"Unable to start /tmp/kelvoz/runonce.sh: %s; the next run starts it\n"


def strerror(code):
    return os.strerror(code).encode()


# Row, fault, runner, the faulted run's status and the end of its standard error.
CASES = {
    "start-script-fork": (ROW["v"], Fault("fork", 3, errno.ENOMEM), (), 1,
                          START_FAILED % strerror(errno.ENOMEM)),
    "due-start-fork": (ROW["v-start-due"], Fault("fork", 1, errno.EAGAIN), (), 1,
                       START_FAILED % strerror(errno.EAGAIN)),
    "input-not-moved-aside": (ROW["s"], Fault("rename", 1, errno.EIO, "/tmp/output"), (), 1,
                              b"Unable to finish the hand-back of /tmp/output; the next upload "
                              b"does\n"),
    "tail-unlink-after-link": (ROW["L"], Fault("unlink", 1, errno.EIO,
                                               f"{STATE_DIR}/debug.out.tail"), (), 0, b""),
    "place-emptied-rename": (ROW["v-no-exchange"], Fault("rename", 3, errno.EIO, "/tmp/kelvoz"),
                             (), 1,
                             b"Package not installed: /tmp/kelvoz could not be put in place\n"),
    "p-archive-mode": (ROW["p"], Fault("chmod", 1, errno.EPERM), (), 1,
                       b"Unable to store the package in /tmp/tolvenra/package.tar.gz\n"),
    "p-product-name": (ROW["p"], Fault("rename", 1, errno.EIO, "/tmp/testpackage.tar.gz"), (), 1,
                       b"Unable to store the package in /tmp/testpackage.tar.gz\n"),
    "unpack-pipe": (ROW["v"], Fault("pipe", 1, errno.EMFILE), (), 1,
                    b"Unable to run gzip: %s\n" % strerror(errno.EMFILE)),
    "unpack-fork-tar": (ROW["v"], Fault("fork", 2, errno.EAGAIN), (), 1,
                        b"Unable to run tar: %s\n" % strerror(errno.EAGAIN)),
    "connect-interrupted": (ROW["v"], Fault("connect", 1, errno.EINTR), (), 0, b""),
    "connect-wait-interrupted": (ROW["v"], Fault("poll", 1, errno.EINTR), (), 0, b""),
    "send-interrupted": (ROW["s"], Fault("sockio", 6, errno.EINTR), (), 0, b""),
}


@pytest.mark.parametrize("case", CASES, ids=str)
def test_a_failing_call_ends_the_run_honestly(unit_world, case):
    row, fault, runner, status, message = CASES[case]
    world = unit_world(row)
    world.prepare()
    result, record = world.run(fault, runner)
    assert record.fired, record
    assert result.returncode == status and result.stderr.endswith(message), result
    check_faulted_run(world, fault, result, record)
    recover(world, result, world.accepted_requests(0))


# An encrypted package of 560 blocks: some 7,000 allocations decrypt it,
# the last ones of an unfaulted -p. One of them fails 3,000 before the end,
# well inside the decryption: the package must not be saved a block short.
def test_a_block_that_fails_to_decrypt_for_want_of_memory_fails_the_download(unit_world):
    world = unit_world(ROW["p-encrypted"])
    world.fetched = b"\x1f\x8b" + bytes((i * 7 + 3) % 256 for i in range(64 * 1024))
    (world.server.state / "packages" / "testpackage.tar.gz").write_bytes(world.fetched)
    world.prepare()
    _, counted = world.run()
    world.prepare()
    fault = Fault("malloc", counted.counts["malloc"] - 3000, errno.ENOMEM)
    result, record = world.run(fault)
    assert record.fired, record
    assert (result.returncode, result.stderr) == (1, b"Out of memory\n"), result
    assert not world.box.exists("/tmp/testpackage.tar.gz")
    check_faulted_run(world, fault, result, record)
    recover(world, result)
