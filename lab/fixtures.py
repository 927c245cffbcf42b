"""pytest fixtures for cases that run in the kit's worlds: the test PKI, one
or more started worlds per case, and a failed case's report of everything
that ran in them. A conftest.py imports them by name (and lists them in
__all__); the client's end-to-end tests and the kit's own tests share them."""

import pytest

from pki import Pki
from sandbox import Sandbox


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    return Pki(tmp_path_factory.mktemp("pki"))


@pytest.fixture
def make_sandbox(request, tmp_path, pki):
    """make_sandbox(**options) -> a started Sandbox with its own work
    directory under the case's tmp_path; options are Sandbox's (hosts, eth0,
    mac, ca_bundle, keep, userland) and ca_bundle defaults to the test
    bundle. Every world made is closed after the case."""
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
