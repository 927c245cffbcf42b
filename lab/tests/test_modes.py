"""The lab kit's modes of a unit's platform do what they claim: the seccomp
filter of an older kernel (lab/syscall_filter.py) and the BusyBox userland of
a world (lab/userland.py)."""

import json
import os
import subprocess

import pytest
from sandbox import LAB, PYTHON
from test_sandbox import shared_mounts
from userland import BUSYBOX, SHORT_OPTIONS_TAR, TOOL_PATHS

# Renames in a fresh directory: renameat2 without flags, with
# RENAME_NOREPLACE (1), with RENAME_EXCHANGE (2), then rename and renameat.
# Each prints its errno name, or "ok"; then where a file's data starts
# (SEEK_DATA), only when that fails.
# The system call itself: the C library's renameat2 without flags may call
# renameat instead.
PROBE = r"""
import ctypes, errno, json, os, platform, sys
SYS_renameat2 = {"x86_64": 316, "aarch64": 276}[platform.machine()]
libc = ctypes.CDLL(None, use_errno=True)
os.chdir(sys.argv[1])
out = []
def outcome(ok):
    out.append("ok" if ok else errno.errorcode[ctypes.get_errno()])
for flags in (0, 1, 2):
    for name in ("a", "b"):
        open(name, "w").close()
    outcome(libc.syscall(SYS_renameat2, -100, b"a", -100, b"b", flags) == 0)
for rename in (os.rename, lambda a, b: os.rename(a, b, src_dir_fd=dfd, dst_dir_fd=dfd)):
    open("a", "w").close()
    dfd = os.open(".", os.O_RDONLY)
    try:
        rename("a", "c")
        out.append("ok")
    except OSError as error:
        out.append(errno.errorcode[error.errno])
with open("d", "w") as data:
    data.write("x")
try:
    os.lseek(os.open("d", os.O_RDONLY), 0, os.SEEK_DATA)    # a hole report
except OSError as error:
    out.append(errno.errorcode[error.errno])
print(json.dumps(out))
"""

FILTER_MODES = [
    # mode: renameat2 (no flags, NOREPLACE, EXCHANGE), rename, renameat, and
    # a hole report's failure (none without one)
    ([], ["ok", "EEXIST", "ok", "ok", "ok"]),
    (["--renameat2", "enosys"], ["ENOSYS", "ENOSYS", "ENOSYS", "ok", "ok"]),
    (["--renameat2", "einval"], ["ok", "EINVAL", "EINVAL", "ok", "ok"]),
    (["--seek-holes", "einval"], ["ok", "EEXIST", "ok", "ok", "ok", "EINVAL"]),
]


@pytest.mark.parametrize("mode, expected", FILTER_MODES)
def test_syscall_filter_takes_renameat2_from_the_command_and_its_children(tmp_path, mode,
                                                                          expected):
    # The probe runs in a child of a shell the filter started: what the
    # client starts (tar, mv, the start script) meets the same kernel.
    command = ["/bin/sh", "-c", '"$@"; exit $?', "sh", PYTHON, "-c", PROBE, str(tmp_path)]
    if mode:
        command = [PYTHON, str(LAB / "syscall_filter.py"), *mode, "--", *command]
    result = subprocess.run(command, capture_output=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, b""), result
    assert json.loads(result.stdout) == expected


def identity(path):
    st = os.stat(path)
    return (st.st_dev, st.st_ino)


# What each tool's name leads to in a world of each userland.
USERLANDS = {
    "": {tool: os.path.realpath(path) for tool, path in TOOL_PATHS.items()},
    "busybox": {tool: BUSYBOX for tool in TOOL_PATHS},
    "busybox-short": {**{tool: BUSYBOX for tool in TOOL_PATHS}, "tar": str(SHORT_OPTIONS_TAR)},
}

# Every name a program may use for the tool, and the shell's own program.
NAMES = {
    "sh": ["/bin/sh", "/usr/bin/sh", "/usr/bin/dash"],
    "tar": ["/bin/tar", "/usr/bin/tar"],
    "gzip": ["/bin/gzip", "/usr/bin/gzip"],
    "gunzip": ["/bin/gunzip", "/usr/bin/gunzip"],
}


# $HALVORPIN_USERLAND (None: unset), Sandbox's userland option (None: not
# given), the userland the world must have.
CHOICES = [
    (None, None, ""),
    ("busybox", None, "busybox"),
    (None, "busybox-short", "busybox-short"),
    ("busybox", "", ""),
]


@pytest.mark.parametrize("from_env, option, variant", CHOICES,
                         ids=["host", "busybox-from-env", "busybox-short", "option-over-env"])
def test_userland_is_bound_inside_the_world_only(make_sandbox, monkeypatch, from_env, option,
                                                 variant):
    if from_env is None:
        monkeypatch.delenv("HALVORPIN_USERLAND", raising=False)
    else:
        monkeypatch.setenv("HALVORPIN_USERLAND", from_env)
    expected = USERLANDS[variant]
    host_before = {name: identity(name) for names in NAMES.values() for name in names}
    box = make_sandbox() if option is None else make_sandbox(userland=option)
    # The running shell itself, by its executable (in a subshell: a shell
    # execs the last command of -c in its own place), then each name.
    shell = box.run(["/bin/sh", "-c", "echo $(stat -L -c '%d %i' /proc/$$/exe)"])
    assert shell.returncode == 0, shell
    assert tuple(map(int, shell.stdout.split())) == identity(expected["sh"]), shell
    for tool, names in NAMES.items():
        for name in names:
            assert identity(box.path(name)) == identity(expected[tool]), (tool, name)
    # The host keeps its tools while the world is open: the binds are the
    # world's own mounts, none of them shared with another namespace.
    assert {name: identity(name) for name in host_before} == host_before
    assert shared_mounts(box) == []


def test_short_options_tar_refuses_long_options_as_busybox_does(make_sandbox):
    box = make_sandbox(userland="busybox-short")
    archive = box.workdir / "a.tar"
    (box.workdir / "member").write_text("x\n")
    subprocess.run(["tar", "-cf", str(archive), "-C", str(box.workdir), "member"], check=True)
    refused = box.run(["tar", "--no-same-owner", "-xvf", str(archive), "-C", "/tmp"])
    assert refused.returncode == 1, refused
    assert refused.stderr.startswith(b"tar: invalid option -- '-'\nBusyBox v"), refused
    assert not box.exists("/tmp/member")
    # Short options, and "--" ending them, are BusyBox's own tar.
    taken = box.run(["tar", "-xovf", str(archive), "-C", "/tmp", "--", "member"])
    assert (taken.returncode, taken.stdout) == (0, b"member\n"), taken
    assert box.read("/tmp/member") == b"x\n"
