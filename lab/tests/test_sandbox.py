"""The sandboxed world is hermetic: what every end-to-end case relies on.

Each check looks at the world itself or at names only this case made: two
runs side by side on one machine see nothing of each other."""

import os
import select
import time
import uuid
from pathlib import Path

import pytest
from sandbox import Sandbox, make_deb

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


def shared_mounts(box):
    """The world's mounts that propagate to another namespace (a "shared:"
    peer group in its own mount table): none may, or a mount made inside
    would appear on the host."""
    table = Path(f"/proc/{box.pid}/mountinfo").read_text().splitlines()
    return [line for line in table if " shared:" in line.split(" - ")[0]]


def test_world_is_private(sandbox, pki):
    assert sandbox.read("/etc/ca-bundle.crt") == pki.bundle.read_bytes()
    for ns in ("mnt", "net", "pid"):
        assert os.stat(f"/proc/{sandbox.pid}/ns/{ns}").st_ino != \
            os.stat(f"/proc/self/ns/{ns}").st_ino, ns
    assert shared_mounts(sandbox) == []
    # A name only this case knows, written inside, is not on the host.
    name = f"halvorpin-probe-{uuid.uuid4().hex}"
    for directory in ("/tmp", "/etc"):
        sandbox.write(f"{directory}/{name}", "inside\n")
        assert not Path(directory, name).exists(), directory


def child_of(pid, timeout=10):
    """The first child of a process, once it has one."""
    deadline = time.monotonic() + timeout
    while not (children := Path(f"/proc/{pid}/task/{pid}/children").read_text().split()):
        assert time.monotonic() < deadline, f"process {pid} started no child"
        time.sleep(0.01)
    return int(children[0])


def test_world_ends_with_everything_in_it(tmp_path, pki):
    with Sandbox(tmp_path / "w", ca_bundle=pki.bundle) as box:
        # pidfds follow these very processes, whatever else runs on the machine.
        holder = os.pidfd_open(box.pid)
        sleeper = os.pidfd_open(child_of(box.popen(["sleep", "3600"]).pid))
        assert select.select([holder, sleeper], [], [], 0)[0] == []
    assert sorted(select.select([holder, sleeper], [], [], 10)[0]) == sorted([holder, sleeper])
    os.close(holder)
    os.close(sleeper)


def sh(box, script):
    result = box.run(["/bin/sh", "-c", script])
    assert result.returncode == 0, result
    return result.stdout.decode()


def test_overlaid_usr_and_var_take_a_package_the_host_never_sees(sandbox):
    tmp_before = sandbox.listdir("/tmp")
    name = f"halvorpin-overlay-probe-{uuid.uuid4().hex[:12]}"
    deb = make_deb(sandbox.workdir, name, {f"/usr/share/{name}/data": ("probe\n", 0o644)})
    sandbox.overlay("/usr", "/var")
    assert sandbox.listdir("/tmp") == tmp_before  # the scratch directory is gone
    assert shared_mounts(sandbox) == []
    installed = sandbox.run(["dpkg", "-i", str(deb)])
    assert installed.returncode == 0, installed
    assert sh(sandbox, f"cat /usr/share/{name}/data") == "probe\n"
    assert sh(sandbox, f"dpkg-query -W -f '${{Status}}' {name}") == "install ok installed"
    # The host's /usr and dpkg database never see it.
    assert not Path(f"/usr/share/{name}").exists()
    assert not Path(f"/var/lib/dpkg/info/{name}.list").exists()
