"""Fixtures of the runs with a failing call: the lab kit's worlds and the
fault preload (lab/faults.py), built once per session."""

import os
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "lab"))
sys.path.insert(0, str(HERE.parent / "e2e"))    # unitstate: an enrolled unit, packages

import faults  # noqa: E402
from fixtures import make_sandbox, pki, pytest_runtest_makereport  # noqa: E402
from unitstate import COLLECTOR  # noqa: E402

__all__ = ["make_sandbox", "pki", "pytest_runtest_makereport"]

COLLECTOR_PORT = 8443
COLLECTOR_URL = f"https://{COLLECTOR}:{COLLECTOR_PORT}"
SUMMARY = []    # one line per row of the sweep, shown at the end


def start_collector(box, cert, key, *extra_args):
    return box.start_refserver(COLLECTOR, COLLECTOR_PORT, cert, key,
                               box.workdir / "state", *extra_args)


@pytest.fixture(scope="session")
def preload(tmp_path_factory):
    return faults.build(tmp_path_factory.mktemp("preload"))


@pytest.fixture
def unit_world(make_sandbox, pki, preload):
    """unit_world(row) -> a UnitWorld of its own for the row."""
    from faultworld import UnitWorld
    return lambda row: UnitWorld(make_sandbox(keep=[preload.parent]), pki, preload, row)


def pytest_terminal_summary(terminalreporter):
    """The calls and runs of each row; also into $HALVORPIN_FAULT_SUMMARY
    where set (scripts/check.sh faults shows it)."""
    for line in SUMMARY:
        terminalreporter.write_line(line)
    if SUMMARY and os.environ.get("HALVORPIN_FAULT_SUMMARY"):
        Path(os.environ["HALVORPIN_FAULT_SUMMARY"]).write_text("\n".join(SUMMARY) + "\n")
