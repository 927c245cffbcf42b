"""The sandboxed world is hermetic: what every end-to-end case relies on."""

import os
import subprocess
from pathlib import Path

import pytest
from sandbox import HOLD_DIR, Sandbox, make_deb

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


def sh(box, script):
    result = box.run(["/bin/sh", "-c", script])
    assert result.returncode == 0, result
    return result.stdout.decode()


def host_mounts():
    return Path("/proc/self/mountinfo").read_text()


def test_overlaid_usr_and_var_take_a_package_the_host_never_sees(sandbox):
    tmp_before = sandbox.listdir("/tmp")
    mounts = host_mounts()
    deb = make_deb(sandbox.workdir, "halvorpin-overlay-probe",
                   {"/usr/share/halvorpin-overlay-probe/data": ("probe\n", 0o644)})
    sandbox.overlay("/usr", "/var")
    assert sandbox.listdir("/tmp") == tmp_before  # the scratch directory is gone
    installed = sandbox.run(["dpkg", "-i", str(deb)])
    assert installed.returncode == 0, installed
    assert sh(sandbox, "cat /usr/share/halvorpin-overlay-probe/data") == "probe\n"
    assert sh(sandbox, "dpkg-query -W -f '${Status}' halvorpin-overlay-probe") == \
        "install ok installed"
    # The host's /usr and dpkg database never change.
    assert not Path("/usr/share/halvorpin-overlay-probe").exists()
    on_host = subprocess.run(["dpkg-query", "-W", "halvorpin-overlay-probe"], capture_output=True)
    assert on_host.returncode != 0, on_host
    assert host_mounts() == mounts
