"""C++ unit tests that need a controlled world (interface eth0 with a known MAC,
or no eth0 at all) run inside a sandbox, under the same runner as the client."""

import re

from sandbox import DEFAULT_MAC_TEXT, SLOW, runner, sandbox_tests_binary


def run_gtest(box, gtest_filter, env=None):
    binary = sandbox_tests_binary()
    assert binary.exists(), (
        f"{binary} not found: build the tests or set HALVORPIN_SANDBOX_TESTS")
    result = box.run(runner() + [str(binary), f"--gtest_filter={gtest_filter}"],
                     env=env, timeout=120 * SLOW)
    assert result.returncode == 0, result
    passed = re.search(rb"\[  PASSED  \] (\d+) tests?\.", result.stdout)
    assert passed and int(passed.group(1)) >= 1, result
    return result


def test_with_eth0_and_the_fixed_mac(make_sandbox):
    box = make_sandbox()
    run_gtest(box, "-*NoEth0*", env={"HALVORPIN_EXPECTED_MAC": DEFAULT_MAC_TEXT})


def test_without_eth0(make_sandbox):
    box = make_sandbox(eth0=False)
    run_gtest(box, "*NoEth0*")
