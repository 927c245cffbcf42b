"""Fixtures for the end-to-end cases: certificates and one sandboxed world
per case (the lab kit's lab/fixtures.py), and a reference collection server
inside it."""

import sys
from pathlib import Path

import pytest

# The lab kit (lab/: the sandboxed world, the test PKI, the reference server)
# is imported by the cases as plain modules.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "lab"))

from fixtures import make_sandbox, pki, pytest_runtest_makereport, sandbox  # noqa: E402
from unitstate import COLLECTOR  # noqa: E402

__all__ = ["make_sandbox", "pki", "pytest_runtest_makereport", "sandbox"]

COLLECTOR_PORT = 8443
COLLECTOR_URL = f"https://{COLLECTOR}:{COLLECTOR_PORT}"


def start_collector(box, cert, key, *extra_args):
    """A reference server in `box` as collector.test:8443 with this
    certificate and key; state in <workdir>/state."""
    return box.start_refserver(COLLECTOR, COLLECTOR_PORT, cert, key,
                               box.workdir / "state", *extra_args)


@pytest.fixture
def server(sandbox, pki):
    """A reference server inside `sandbox` as collector.test:8443 with a
    certificate for that name; state in <workdir>/state. Returns a
    sandbox.RefServer (state, port, requests(), set_config(), stop())."""
    return start_collector(sandbox, *pki.issue(COLLECTOR))
