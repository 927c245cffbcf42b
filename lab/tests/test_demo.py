"""The demo's verdict is honest: a client that does nothing, the build's or
one installed from a Debian package, makes the demo (scripts/demo.py) fail
and name every step that noticed."""

import io
import re
import sys

import pytest
from sandbox import REPO, make_deb

sys.path.insert(0, str(REPO / "scripts"))
import demo  # noqa: E402


@pytest.mark.parametrize("installed", [False, True], ids=["build", "debian-package"])
def test_demo_fails_when_the_client_does_nothing(tmp_path, monkeypatch, installed):
    # A "client" that exits 0 without doing anything: every step that looks
    # at the unit or the server must notice. With a package, only the
    # installed client may run, whatever the build holds.
    monkeypatch.setenv("HALVORPIN_RUNNER", "")
    args = ["--workdir", str(tmp_path / "demo")]
    if installed:
        deb = make_deb(tmp_path, "halvorpin",
                       {"/usr/bin/halvorpin": ("#!/bin/sh\nexit 0\n", 0o755)})
        args += ["--install-deb", str(deb)]
    else:
        monkeypatch.setenv("HALVORPIN_BIN", "/bin/true")
    out = io.StringIO()
    status = demo.main(args, out=out)
    text = out.getvalue()
    assert (status, "demo: FAILED" in text) == (1, True), text
    failed_steps = set(re.findall(r"^  (step \d+): ", text, re.MULTILINE))
    # Every step but the third, where only the server publishes a release.
    assert failed_steps == {"step 1", "step 2", "step 4", "step 5", "step 6", "step 7",
                            "step 8"}, text
