"""Fixtures for the end-to-end cases: certificates, one sandboxed world per
case, and a reference collection server inside it."""

import sys
from pathlib import Path

import pytest

# The lab kit (lab/: the sandboxed world, the test PKI, the reference server)
# is imported by the cases as plain modules.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "lab"))

from pki import Pki  # noqa: E402
from sandbox import Sandbox  # noqa: E402
from unitstate import COLLECTOR  # noqa: E402

COLLECTOR_PORT = 8443
COLLECTOR_URL = f"https://{COLLECTOR}:{COLLECTOR_PORT}"


def start_collector(box, cert, key, *extra_args):
    """A reference server in `box` as collector.test:8443 with this
    certificate and key; state in <workdir>/state."""
    return box.start_refserver(COLLECTOR, COLLECTOR_PORT, cert, key,
                               box.workdir / "state", *extra_args)


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    return Pki(tmp_path_factory.mktemp("pki"))


@pytest.fixture
def make_sandbox(request, tmp_path, pki):
    """make_sandbox(**options) -> a started Sandbox with its own work
    directory under the case's tmp_path; options are Sandbox's (hosts, eth0,
    mac, ca_bundle, keep) and ca_bundle defaults to the test bundle. Every
    world made is closed after the case."""
    made = []
    request.node.halvorpin_sandboxes = made

    def make(**options):
        options.setdefault("ca_bundle", pki.bundle)
        # Certificates live outside the case's directory; servers read them.
        options["keep"] = [pki.dir, *options.get("keep", ())]
        box = Sandbox(tmp_path / f"world{len(made)}", **options)
        box.start()
        made.append(box)
        return box

    yield make
    for box in made:
        box.close()


@pytest.fixture
def sandbox(make_sandbox):
    """A started world with the default host names, eth0 and the test CA."""
    return make_sandbox()


@pytest.fixture
def server(sandbox, pki):
    """A reference server inside `sandbox` as collector.test:8443 with a
    certificate for that name; state in <workdir>/state. Returns a
    sandbox.RefServer (state, port, requests(), set_config(), stop())."""
    return start_collector(sandbox, *pki.issue(COLLECTOR))


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    # A failed case shows every command it ran inside its worlds (status,
    # stdout, stderr), the reference servers' logs and what else the case
    # registered as halvorpin_reports: [(title, function giving the text)].
    outcome = yield
    report = outcome.get_result()
    if report.failed:
        for box in getattr(item, "halvorpin_sandboxes", []):
            report.sections.append((f"world {box.workdir}", box.describe()))
        for title, describe in getattr(item, "halvorpin_reports", []):
            report.sections.append((title, describe()))
