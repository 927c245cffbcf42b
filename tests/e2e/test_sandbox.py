"""The sandboxed world is hermetic: what every end-to-end case relies on."""

import os
import subprocess
from pathlib import Path

import pytest
from sandbox import HOLD_DIR, Sandbox

# (shell command run inside, its expected output)
WORLD = [
    ("findmnt -n -o FSTYPE /tmp", "tmpfs\n"),
    ("echo inside >/tmp/probe && cat /tmp/probe", "inside\n"),
    ("getent hosts collector.test | cut -d' ' -f1", "127.0.0.2\n"),
    ("cat /sys/class/net/eth0/address", "02:00:5e:10:20:30\n"),
    ("ip route | grep -c default || true", "0\n"),
]


@pytest.mark.parametrize("command,expected", WORLD)
def test_world(sandbox, command, expected):
    result = sandbox.run(["/bin/sh", "-c", command])
    assert (result.returncode, result.stdout.decode()) == (0, expected)


def test_etc_and_tmp_are_private(sandbox, pki):
    assert sandbox.read("/etc/ca-bundle.crt") == pki.bundle.read_bytes()
    assert not Path("/tmp/probe").exists()
    assert not Path("/etc/hosts").exists() or "collector.test" not in Path("/etc/hosts").read_text()


def test_nothing_is_left_on_the_host(tmp_path, pki):
    def host():
        return (Path("/proc/self/mountinfo").read_text(),
                subprocess.run(["ip", "-o", "link"], capture_output=True, check=True).stdout)
    before = host()
    with Sandbox(tmp_path / "w", ca_bundle=pki.bundle) as box:
        pid = box.pid
        box.popen(["sleep", "1000"])
        box.write("/tmp/left", "x")
    assert not Path(f"/proc/{pid}").exists()
    assert host() == before and os.listdir(HOLD_DIR) == []
    assert not Path("/tmp/left").exists()
    assert subprocess.run(["pgrep", "-f", "sleep 1000"], capture_output=True).returncode == 1
