"""The sandboxed world itself: what every end-to-end case relies on."""

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

from sandbox import (DEFAULT_HOSTS, HOLD_DIR, PASSED_ENV_PREFIXES, PEER_NAME, REFSERVER, REPO,
                     Sandbox, make_deb)


def sh(box, script):
    result = box.run(["/bin/sh", "-c", script])
    assert result.returncode == 0, result
    return result.stdout.decode()


def host_mounts():
    return Path("/proc/self/mountinfo").read_text()


def host_links():
    return subprocess.run(["ip", "-o", "link"], capture_output=True, check=True).stdout.decode()


def test_tmp_is_a_fresh_tmpfs_holding_only_the_kept_paths(sandbox):
    mounts = sh(sandbox, "cat /proc/self/mountinfo")
    tmp_mounts = [line.split() for line in mounts.splitlines() if line.split()[4] == "/tmp"]
    assert [m[m.index("-") + 1] for m in tmp_mounts] == ["tmpfs"], mounts
    # Only the first components of host paths kept under /tmp may show.
    kept_tops = {p.split("/")[2] for p in sandbox._kept_paths_under_tmp()}
    assert set(sandbox.listdir("/tmp")) == kept_tops
    sandbox.write("/tmp/halvorpin-probe/file", "inside")
    assert sh(sandbox, "cat /tmp/halvorpin-probe/file") == "inside"
    assert not Path("/tmp/halvorpin-probe").exists()


def test_repository_binary_dir_and_workdir_are_visible_at_their_paths(sandbox):
    assert sandbox.exists(str(REPO / "lab" / "sandbox.py"))
    assert sandbox.exists(str(REFSERVER))
    sh(sandbox, f"test -f '{REPO}/tests/e2e/test_sandbox.py'")
    # The work directory is shared both ways.
    (sandbox.workdir / "from-host").write_text("host")
    assert sh(sandbox, f"cat '{sandbox.workdir}/from-host'; echo inside >'{sandbox.workdir}/from-world'") == "host"
    assert (sandbox.workdir / "from-world").read_text() == "inside\n"


def test_etc_is_private_with_hosts_and_ca_bundle(sandbox, pki):
    assert sandbox.read("/etc/ca-bundle.crt") == pki.bundle.read_bytes()
    assert sh(sandbox, "cat /etc/ca-bundle.crt").encode() == pki.bundle.read_bytes()
    for name, addr in DEFAULT_HOSTS.items():
        assert sh(sandbox, f"getent hosts {name}").split() == [addr, name]
    assert sh(sandbox, "getent hosts localhost").split()[0] in ("127.0.0.1", "::1")
    assert sandbox.run(["getent", "hosts", "nohost.test"]).returncode == 2
    # The host's own /etc is untouched (a minimal machine may have no hosts file).
    assert not Path("/etc/hosts").exists() or "collector.test" not in Path("/etc/hosts").read_text()
    assert not os.path.exists("/etc/ca-bundle.crt") or \
        Path("/etc/ca-bundle.crt").read_bytes() != pki.bundle.read_bytes()


def test_custom_hosts_and_no_bundle(make_sandbox):
    box = make_sandbox(hosts={"a.test": "127.0.0.7", "multi.test": ["127.0.0.8", "127.0.0.9"]},
                       ca_bundle=None)
    assert not box.exists("/etc/ca-bundle.crt")
    assert sh(box, "test ! -e /etc/ca-bundle.crt && echo absent") == "absent\n"
    assert sh(box, "getent hosts a.test").split() == ["127.0.0.7", "a.test"]
    assert sh(box, "getent hosts multi.test | cut -d' ' -f1").split() == \
        ["127.0.0.8", "127.0.0.9"]
    assert box.run(["getent", "hosts", "collector.test"]).returncode == 2


def test_network_has_lo_and_eth0_with_the_fixed_mac_only(sandbox):
    links = sh(sandbox, "ip -o link")
    names = sorted(line.split(":")[1].strip().split("@")[0] for line in links.splitlines())
    assert names == sorted(["lo", "eth0", PEER_NAME])
    eth0 = next(line for line in links.splitlines() if ": eth0@" in line)
    assert "link/ether 02:00:5e:10:20:30 " in eth0 and ",UP" in eth0
    assert sh(sandbox, "cat /sys/class/net/eth0/address") == "02:00:5e:10:20:30\n"
    # Loopback works on the 127.0.0.x names; nothing outside is reachable.
    sh(sandbox, "ip -o addr show lo | grep -q 127.0.0.1/8")
    assert "default" not in sh(sandbox, "ip route")


def test_world_without_eth0_and_with_another_mac(make_sandbox):
    assert "eth0" not in sh(make_sandbox(eth0=False), "ip -o link")
    other = make_sandbox(mac="02:aa:bb:cc:dd:0e")
    assert "link/ether 02:aa:bb:cc:dd:0e " in sh(other, "ip -o link show eth0")


def test_client_environment_is_clean(sandbox):
    names = {line.split("=")[0] for line in sh(sandbox, "env").splitlines()}
    assert {n for n in names if not n.startswith(PASSED_ENV_PREFIXES)} <= {"PATH", "PWD", "SHLVL", "_"}
    os.environ["HALVORPIN_LEAK_CHECK"] = "1"
    try:
        assert "HALVORPIN_LEAK_CHECK" not in sandbox.run(["env"]).stdout.decode()
        assert "X=1" in sandbox.run(["env"], env={"X": "1"}).stdout.decode()
    finally:
        del os.environ["HALVORPIN_LEAK_CHECK"]


def test_listener_counts_connections(sandbox):
    accepted = sandbox.start_listener("127.0.0.2", 9000)
    assert accepted() == 0
    sh(sandbox, "/usr/bin/python3 -c \"import socket; socket.create_connection(('collector.test', 9000)).recv(1)\"")
    assert accepted() == 1


def test_run_timeout_kills_and_fails(sandbox):
    try:
        sandbox.run(["sleep", "30"], timeout=0.5)
    except AssertionError as e:
        assert "still running" in str(e)
    else:
        raise AssertionError("a run past its time-out must fail")
    assert "sleep 30" not in sh(sandbox, "ps ax -o args")


def test_nothing_is_left_on_the_host(tmp_path, pki):
    mounts, links = host_mounts(), host_links()
    box = Sandbox(tmp_path / "w", ca_bundle=pki.bundle)
    with box:
        pid = box.pid
        box.popen(["sleep", "1000"])
        box.write("/tmp/left", "x")
    assert not Path(f"/proc/{pid}").exists()
    assert host_links() == links
    assert host_mounts() == mounts
    assert os.listdir(HOLD_DIR) == []
    assert not Path("/tmp/left").exists()
    assert subprocess.run(["pgrep", "-f", "sleep 1000"], capture_output=True).returncode == 1


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


def test_overlay_keeps_shared_paths_and_mounts_below_it(make_sandbox):
    # A repository or work directory below /var, or bound there as in a
    # container, must stay the host's own after /var is overlaid.
    shared = Path(tempfile.mkdtemp(prefix="halvorpin-shared-", dir="/var/tmp"))
    mounted = Path(tempfile.mkdtemp(prefix="halvorpin-mounted-", dir="/var/tmp"))
    shared_file = Path(tempfile.mkstemp(prefix="halvorpin-shared-", dir="/var/tmp")[1])
    try:
        box = make_sandbox(keep=[shared, shared_file])
        sh(box, f"mount -t tmpfs probe '{mounted}' && echo world >'{mounted}/file'")
        box.overlay("/var")
        sh(box, f"echo inside >'{shared}/from-world'; echo private >/var/tmp/halvorpin-private")
        assert (shared / "from-world").read_text() == "inside\n"
        (shared / "from-host").write_text("host")
        assert sh(box, f"cat '{shared}/from-host'") == "host"
        assert sh(box, f"cat '{mounted}/file'") == "world\n"
        assert sh(box, "cat /var/tmp/halvorpin-private") == "private\n"
        assert not Path("/var/tmp/halvorpin-private").exists()
        assert os.listdir(mounted) == []
        sh(box, f"echo to-host >'{shared_file}'")
        assert shared_file.read_text() == "to-host\n"
    finally:
        shared_file.unlink()
        shutil.rmtree(shared)
        shutil.rmtree(mounted)
