"""The README's one-command demo (scripts/demo.py) runs the real client through
its main job; these cases keep that command true (lab/tests/test_demo.py checks
that its verdict is honest)."""

import io
import re
import sys

from sandbox import REPO, client_binary, make_deb

sys.path.insert(0, str(REPO / "scripts"))
import demo  # noqa: E402

STEP_TITLES = [
    "enroll a fresh unit (a)",
    "version check (v) while up to date",
    "the server publishes version 1.1",
    "version check (v) after the release",
    "signed packages",
    "package request (p)",
    "results upload in clear (s), then encrypted in batches (S)",
    "log upload, encrypted (L)",
]


def run_demo(workdir):
    out = io.StringIO()
    status = demo.main(["--workdir", str(workdir)], out=out)
    return status, out.getvalue()


def test_demo_runs_every_step_as_expected(tmp_path):
    status, text = run_demo(tmp_path)
    assert status == 0, text
    headers = re.findall(r"^==== Step (\d+): (.*?) =+$", text, re.MULTILINE)
    assert [int(n) for n, _ in headers] == list(range(1, len(STEP_TITLES) + 1)), text
    for (_, title), expected in zip(headers, STEP_TITLES):
        assert title.startswith(expected), text
    assert "FAIL" not in text, text
    assert text.endswith("demo: every step turned out as expected\n"), text


def test_demo_runs_the_client_installed_from_a_debian_package(tmp_path):
    # The packaged client is what CI's deb stage runs this way; here a package
    # made on the spot carries the build's binary to /usr/bin/halvorpin.
    binary = client_binary()
    deb = make_deb(tmp_path, "halvorpin", {"/usr/bin/halvorpin": (binary.read_bytes(), 0o755)})
    out = io.StringIO()
    status = demo.main(["--workdir", str(tmp_path / "demo"), "--install-deb", str(deb)], out=out)
    text = out.getvalue()
    assert status == 0, text
    assert f"$ dpkg -i {deb}" in text, text
    assert "package halvorpin installed: install ok installed 1.0" in text, text
    assert "\nclient:  /usr/bin/halvorpin\n" in text, text
    assert text.endswith("demo: every step turned out as expected\n"), text
