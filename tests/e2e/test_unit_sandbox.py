"""C++ unit tests that work on the client's fixed paths run inside a sandbox
(a fresh /tmp), under the same runner as the client."""

import re

from sandbox import SLOW, runner, sandbox_tests_binary


def test_state_files_in_a_sandbox(sandbox):
    binary = sandbox_tests_binary()
    assert binary.exists(), (
        f"{binary} not found: build the tests or set HALVORPIN_SANDBOX_TESTS")
    result = sandbox.run(runner() + [str(binary)], timeout=120 * SLOW)
    assert result.returncode == 0, result
    passed = re.search(rb"\[  PASSED  \] (\d+) tests?\.", result.stdout)
    assert passed and int(passed.group(1)) >= 3, result
