"""The README's one-command demo (scripts/demo.py) runs the real client through
its main job; these cases keep that command true and its verdict honest."""

import io
import re
import sys

from sandbox import REPO

sys.path.insert(0, str(REPO / "scripts"))
import demo  # noqa: E402

STEP_TITLES = [
    "enroll a fresh unit (a)",
    "version check (v) while up to date",
    "the server publishes version 1.1",
    "version check (v) after the release",
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


def test_demo_fails_when_the_client_does_nothing(tmp_path, monkeypatch):
    # A "client" that exits 0 without doing anything: every step that looks
    # at the unit or the server must notice, and the demo must say so.
    monkeypatch.setenv("HALVORPIN_BIN", "/bin/true")
    monkeypatch.setenv("HALVORPIN_RUNNER", "")
    status, text = run_demo(tmp_path)
    assert status == 1, text
    assert "demo: FAILED" in text, text
    failed_steps = set(re.findall(r"^  (step \d+): ", text, re.MULTILINE))
    assert failed_steps == {"step 1", "step 2", "step 4", "step 5", "step 6", "step 7"}, text
