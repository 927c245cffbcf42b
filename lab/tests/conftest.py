"""The kit's own tests: the worlds, the test PKI, the reference server, the
stock web servers and peers, the platform modes and the demo's verdict. They
run the kit, not the client (scripts/check.sh lab)."""

import sys
from pathlib import Path

LAB = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(LAB))

from fixtures import make_sandbox, pki, pytest_runtest_makereport, sandbox  # noqa: E402

__all__ = ["make_sandbox", "pki", "pytest_runtest_makereport", "sandbox"]
