"""The package's place and the client's other names in the shared /tmp.
/tmp/kelvoz is a real directory of root's that a run which installs nothing
never touches, whoever owns it by then, and that an install replaces; no
name a local user (uid 65534) holds jams an update, and what the user left
there is removed with the user's own rights, bounded in time. Also: the tools
an install runs come from the system's own path, and one that a signal ended
failed."""

import os
import stat

import pytest

from conftest import COLLECTOR_URL
from sandbox import PYTHON, SLOW
from test_hostile import NOBODY, as_nobody, root_directory, wait_for
from test_operator import assert_enrolled, in_background, serve_package
from unitstate import (LOCK_FILES, OLD_PACKAGE, STATE_DIR, STATE_FILES, TAR_LIST,
                       assert_installed, enroll, install_old_package, package_files, publish,
                       state_files)

OTHER_USER = 1001   # a user of the unit who is not the one making trouble


def tree(box, top, leave_out=()):
    """Owner and content (None for a directory) of everything under `top` in
    the world, by path, but the names in `leave_out`."""
    found = {}
    for root, dirs, files in os.walk(box.path(top)):
        for path in (os.path.join(root, name) for name in dirs + files
                     if name not in leave_out):
            st = os.lstat(path)
            found[path] = (st.st_uid, open(path, "rb").read() if stat.S_ISREG(st.st_mode) else None)
    return found


def no_trees_left(box):
    return [name for name in box.listdir(STATE_DIR)
            if name.startswith(("package.", "aside."))] == []


# ---- what an install replaces, and a run that installs nothing keeps --------------

def handed_to_a_worker(box, server):
    """The package's start script gives its tree to a worker (chown -R)."""
    serve_package(server, b"#!/bin/sh\necho 1.0 > /tmp/kelvoz/started\n"
                          b"chown -R 65534:65534 /tmp/kelvoz\n", version="1.0")
    first = box.run_client([COLLECTOR_URL, "-v"])
    assert (first.returncode, first.stdout, first.stderr) == (0, TAR_LIST, b""), first
    assert os.lstat(box.path("/tmp/kelvoz/started")).st_uid == 65534


def linked_by_an_earlier_release(box, server):
    """/tmp/kelvoz as the release before left it: root's link into its tree
    in the state directory."""
    for path, content in OLD_PACKAGE.items():
        if path.startswith("/tmp/kelvoz/"):
            path = f"{STATE_DIR}/package.aB3dE9" + path[len("/tmp"):]
        box.write(path, content, mode=0o755 if path.endswith(".sh") else 0o644)
    os.symlink("tolvenra/package.aB3dE9/kelvoz", box.path("/tmp/kelvoz"))
    server.set_config({"version": "0.9"})


@pytest.mark.parametrize("earlier", [handed_to_a_worker, linked_by_an_earlier_release],
                         ids=["handed-to-a-worker", "link-of-an-earlier-release"])
def test_an_installed_package_stays_until_an_install_replaces_it(sandbox, server, earlier):
    enroll(sandbox, server)
    earlier(sandbox, server)
    before = tree(sandbox, STATE_DIR, LOCK_FILES), tree(sandbox, "/tmp/kelvoz/")

    up_to_date = sandbox.run_client([COLLECTOR_URL, "-v"])
    assert (up_to_date.returncode, up_to_date.stdout, up_to_date.stderr) == (0, b"", b""), \
        up_to_date
    assert (tree(sandbox, STATE_DIR, LOCK_FILES), tree(sandbox, "/tmp/kelvoz/")) == before

    data = publish(server, "2.0")
    server.set_config({"version": "2.0"})
    install = sandbox.run_client([COLLECTOR_URL, "-v"])
    assert (install.returncode, install.stdout, install.stderr) == (0, TAR_LIST, b""), install
    assert_installed(sandbox, data, b"2.0\n", b"2.0\n")
    assert root_directory(sandbox, "/tmp/kelvoz") and state_files(sandbox) == STATE_FILES


# ---- names a local user holds --------------------------------------------------------

# A directory of the user's at a name the download used to have in /tmp: an
# update downloads in the state directory and never meets it; `p` takes its
# archive's name over and removes the user's directory as the user.
@pytest.mark.parametrize("name", ["/tmp/testpackage.tar.gz", "/tmp/.package.tmp"])
@pytest.mark.parametrize("command", ["-v", "-a", "-p"])
def test_a_directory_at_a_download_name_jams_nothing(sandbox, server, command, name):
    enroll(sandbox, server, version="0.9")
    data = publish(server, "2.0")
    fetched = publish(server, "3.0", name="testpackage.tar.gz")
    server.set_config({"version": "2.0"})
    as_nobody(sandbox, f"mkdir -p {name}/sub; echo mine > {name}/sub/file")
    result = sandbox.run_client([COLLECTOR_URL, command])
    if command == "-p":
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b""), result
        assert (sandbox.read("/tmp/testpackage.tar.gz"),
                os.lstat(sandbox.path("/tmp/testpackage.tar.gz")).st_uid) == (fetched, 0)
    else:
        assert (result.returncode, result.stdout, result.stderr) == (0, TAR_LIST, b""), result
        assert_installed(sandbox, data, b"2.0\n", b"2.0\n")
    assert sandbox.exists(f"{name}/sub/file") == (name != "/tmp/testpackage.tar.gz" or
                                                  command != "-p")
    assert no_trees_left(sandbox)


# Whenever one of its names stands free, the user renames a tree of its own
# onto it: a state directory, a package whose start script would run as
# root, a scheduler configuration. The client takes each name in one step
# where the kernel exchanges names; where it cannot, it moves the holder
# aside and retries, a bounded number of times.
RE_PLACER = r"""
import itertools, os
names = {"/tmp/tolvenra": "unitid", "/tmp/kelvoz": "runonce.sh", "/tmp/schedulerconfig": "x"}
made = itertools.count()
def prepared(file):
    path = f"/tmp/prepared{next(made)}"
    os.mkdir(path)
    with open(f"{path}/{file}", "w") as out:
        out.write("#!/bin/sh\ntouch /tmp/pwned\n")
    os.chmod(f"{path}/{file}", 0o777)
    return path
ready = {name: prepared(file) for name, file in names.items()}
while not os.path.exists("/tmp/gate/stop"):
    for name in names:
        try:
            os.rename(ready[name], name)
            ready[name] = prepared(names[name])
        except OSError:
            pass
    if not os.path.exists("/tmp/gate/placed"):
        open("/tmp/gate/placed", "w").close()    # every name held once
"""


def test_a_user_re_placing_its_trees_gets_no_name(sandbox, server):
    data = publish(server, "2.0")
    server.set_config({"version": "2.0"})
    sandbox.run(["mkdir", "-m", "1777", "/tmp/gate"])
    placer = sandbox.popen(NOBODY + [PYTHON, "-c", RE_PLACER])
    wait_for(lambda: sandbox.exists("/tmp/gate/placed"))
    runs = []
    while len(runs) < 3 and (not runs or runs[-1].returncode != 0):
        runs.append(sandbox.run_client([COLLECTOR_URL, "-a"]))
    assert runs[-1].returncode == 0 and runs[-1].stdout == TAR_LIST, runs
    data = publish(server, "3.0")     # and an update while the user goes on
    server.set_config({"version": "3.0"})
    update = sandbox.run_client([COLLECTOR_URL, "-v"])
    sandbox.write("/tmp/gate/stop", b"")
    placer.wait(timeout=30)
    assert (update.returncode, update.stdout, update.stderr) == (0, TAR_LIST, b""), update
    assert not sandbox.exists("/tmp/pwned")
    for name in ("/tmp/tolvenra", "/tmp/kelvoz"):
        assert root_directory(sandbox, name)
    assert os.lstat(sandbox.path("/tmp/schedulerconfig")).st_uid == 0
    assert_enrolled(sandbox, server)
    assert_installed(sandbox, data, b"3.0\n", b"3.0\n")


# The user's impostor at /tmp/kelvoz is its working directory, where it makes
# directories without end (a thousand names over and over, so that it holds
# no more than that), and it stops every process of its own it did not start:
# the removal of its tree, which runs with the user's rights. The install
# puts the package in place at once; the removal ends within its bound and
# holds no lock another update waits for.
ENDLESS = r"""
import itertools, os, signal
if os.fork() == 0:
    os.chdir("/tmp/kelvoz")
    for made in itertools.count():
        try:
            os.mkdir(f"d{made % 1000}")
        except OSError:
            pass
ours = {int(pid) for pid in os.listdir("/proc") if pid.isdigit()}
open("/tmp/gate/digging", "w").close()
while True:
    for pid in set(map(int, filter(str.isdigit, os.listdir("/proc")))) - ours:
        try:
            if "\nUid:\t65534\t" in open(f"/proc/{pid}/status").read():
                os.kill(pid, signal.SIGSTOP)
        except OSError:
            pass
"""


def test_removing_a_tree_that_grows_without_end_is_bounded(sandbox, server):
    enroll(sandbox, server)
    data = publish(server, "2.0")
    server.set_config({"version": "2.0"})
    sandbox.run(["mkdir", "-m", "1777", "/tmp/gate"])
    as_nobody(sandbox, "mkdir /tmp/kelvoz")
    sandbox.popen(NOBODY + [PYTHON, "-c", ENDLESS])
    wait_for(lambda: sandbox.exists("/tmp/gate/digging"))

    install = in_background(sandbox, "-v", timeout=120 * SLOW)
    wait_for(lambda: sandbox.exists(f"{STATE_DIR}/version"), seconds=60)
    second = sandbox.run_client([COLLECTOR_URL, "-v"], timeout=120 * SLOW)
    result = install.result()
    assert (result.returncode, result.stdout, result.stderr) == (0, TAR_LIST, b""), result
    assert result.elapsed < 60 * SLOW, result
    assert (second.returncode, second.stdout, second.stderr) == (0, b"", b""), second
    assert second.elapsed < 30 * SLOW, second
    assert_installed(sandbox, data, b"2.0\n", b"2.0\n")


# Another user's directory, sticky and open to all, with a file of that
# user's: the trouble-maker moves it into its impostor at /tmp/kelvoz, where
# only root could remove that file. Removed as the impostor's owner, the
# tree keeps it.
def test_a_file_its_owner_left_in_a_sticky_directory_survives(sandbox, server):
    enroll(sandbox, server)
    publish(server, "2.0")
    server.set_config({"version": "2.0"})
    prepared = sandbox.run(["/bin/sh", "-ec", f"""
        mkdir -m 777 /tmp/pub
        setpriv --reuid={OTHER_USER} --regid={OTHER_USER} --clear-groups /bin/sh -ec '
            mkdir -m 1777 /tmp/pub/shared; echo theirs > /tmp/pub/shared/file'
    """])
    assert prepared.returncode == 0, prepared
    as_nobody(sandbox, "mkdir /tmp/kelvoz; mv /tmp/pub/shared /tmp/kelvoz/shared")

    result = sandbox.run_client([COLLECTOR_URL, "-v"])
    assert (result.returncode, result.stdout, result.stderr) == (0, TAR_LIST, b""), result
    assert root_directory(sandbox, "/tmp/kelvoz")
    kept = {path: owner_content for path, owner_content in tree(sandbox, STATE_DIR).items()
            if path.endswith("/shared/file")}
    assert list(kept.values()) == [(OTHER_USER, b"theirs\n")], kept


# ---- the tools an install runs --------------------------------------------------------

# A tar that unpacks the start script and the configuration, then dies by a
# signal: the install failed, however much was unpacked.
DYING_TAR = b"""#!/usr/bin/python3
import os, signal, sys, tarfile
with tarfile.open(fileobj=sys.stdin.buffer, mode="r|") as archive:
    for member in archive:
        archive.extract(member, sys.argv[-1])
        if member.name == "kelvoz/runonce.sh":
            os.kill(os.getpid(), signal.SIGKILL)
"""


def test_a_tool_ended_by_a_signal_failed(sandbox, server):
    enroll(sandbox, server)
    install_old_package(sandbox)
    data = publish(server, "2.0")
    assert "kelvoz/runonce.sh" in package_files(data)
    server.set_config({"version": "2.0"})
    sandbox.write("/tmp/tar", DYING_TAR, mode=0o755)
    bound = sandbox.run(["mount", "--bind", "/tmp/tar", os.path.realpath("/bin/tar")])
    assert bound.returncode == 0, bound

    result = sandbox.run_client([COLLECTOR_URL, "-v"])
    assert (result.returncode, result.stderr) == (1, b"The package archive does not unpack\n"), \
        result
    assert all(sandbox.read(path) == content for path, content in OLD_PACKAGE.items())


# The client runs gzip and tar from the system's own path whatever PATH it
# was started with (here one that leads to a user's tools first); the start
# script gets the caller's environment as it was.
def test_tools_come_from_the_system_path(sandbox, server):
    enroll(sandbox, server)
    serve_package(server, b"#!/bin/sh\necho \"$PATH\" > /tmp/kelvoz/path\n")
    as_nobody(sandbox, "mkdir /tmp/bin; for tool in gzip tar; do"
                       " printf '#!/bin/sh\\ntouch /tmp/pwned\\nexit 1\\n' > /tmp/bin/$tool;"
                       " chmod 755 /tmp/bin/$tool; done")
    caller_path = "/tmp/bin:/usr/bin:/bin"
    result = sandbox.run_client([COLLECTOR_URL, "-v"], env={"PATH": caller_path})
    assert (result.returncode, result.stdout, result.stderr) == (0, TAR_LIST, b""), result
    assert not sandbox.exists("/tmp/pwned")
    assert sandbox.read("/tmp/kelvoz/path") == f"{caller_path}\n".encode()
