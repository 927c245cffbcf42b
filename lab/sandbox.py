"""One hermetic world per end-to-end case, built from Linux namespaces.

The client keeps fixed paths (/tmp/tolvenra, /tmp/output, /etc/ca-bundle.crt,
interface eth0), so each case gets a world of its own instead of path
overrides: new mount, network and PID namespaces, a fresh tmpfs on /tmp, a
private /etc (test CA bundle, /etc/hosts with the case's names on 127.0.0.x),
lo up and eth0 as one end of a veth pair with a fixed MAC.

A holder process (`unshare ... /bin/sh -c SETUP`) builds the world and then
sleeps; everything else enters its namespaces with nsenter, and the host reaches
files inside through /proc/<holder>/root. Killing the holder, PID 1 of the
world, ends every process in it; the namespaces, their mounts and the veth
pair then vanish with them, so nothing is left on the host.
"""

import base64
import ctypes
import json
import os
import re
import select
import shlex
import signal
import subprocess
import time
from pathlib import Path

from pki import sign
from refserver import package_bytes  # the tool packages are published with
from userland import bind as bind_userland, selected as selected_userland

REPO = Path(__file__).resolve().parents[1]
LAB = Path(__file__).resolve().parent
REFSERVER = LAB / "refserver.py"
PEERS = LAB / "peers.py"
PYTHON = "/usr/bin/python3"

COLLECTOR = "collector.test"  # the collection server's name in every world
DEFAULT_HOSTS = {
    "collector.test": "127.0.0.2",
    "packages.test": "127.0.0.3",
    "other.test": "127.0.0.4",
}
DEFAULT_MAC = "02:00:5e:10:20:30"
DEFAULT_MAC_TEXT = "02005E102030"  # the same address as the client writes it
CLEAN_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"

# Variables the runner or a sanitizer build may rely on; everything else from
# the test process's environment stays out of the world.
PASSED_ENV_PREFIXES = ("QEMU_", "ASAN_", "UBSAN_", "LSAN_")

# The host directory on which each world mounts its private scratch tmpfs.
# Only the (empty) directory is ever seen on the host.
HOLD_DIR = "/var/lib/halvorpin-sandbox"
PEER_NAME = "halvorpin-peer"



def _slowness():
    """How many times longer than natively a client run may take: the
    factor in $HALVORPIN_SLOW where set (a runner that costs nothing, such as
    lab/syscall_filter.py, sets 1), otherwise 10 under a runner, which is
    taken to be qemu-user (about ten times slower), and 1 without one."""
    factor = os.environ.get("HALVORPIN_SLOW", "").strip()
    if factor:
        return int(factor)
    return 10 if os.environ.get("HALVORPIN_RUNNER", "").strip() else 1


SLOW = _slowness()


def runner():
    return shlex.split(os.environ.get("HALVORPIN_RUNNER", ""))


def client_binary():
    return Path(os.environ.get("HALVORPIN_BIN", REPO / "build" / "halvorpin"))


def sandbox_tests_binary():
    if "HALVORPIN_SANDBOX_TESTS" in os.environ:
        return Path(os.environ["HALVORPIN_SANDBOX_TESTS"])
    # Next to the client, or in the tests/ subdirectory of its build tree.
    beside = client_binary().parent / "halvorpin_sandbox_tests"
    in_tests = client_binary().parent / "tests" / "halvorpin_sandbox_tests"
    return in_tests if not beside.exists() and in_tests.exists() else beside


# Runs as PID 1 of the new namespaces. Arguments: scratch dir, eth0 (1/0),
# MAC, then the host paths under /tmp that must stay visible at their paths.
SETUP_SCRIPT = r"""
set -eu
hold=$1; eth0=$2; mac=$3; shift 3
mount -t tmpfs -o mode=0755 halvorpin-hold "$hold"
mkdir "$hold/tmp" "$hold/etc-upper" "$hold/etc-work"
# The future /tmp is assembled aside while the host's /tmp is still visible:
# host paths under /tmp are bound into it, then it is moved over /tmp.
mount -t tmpfs -o mode=1777 halvorpin-tmp "$hold/tmp"
for p in "$@"; do
    inside="$hold/tmp/${p#/tmp/}"
    if [ -d "$p" ]; then
        mkdir -p "$inside"
    else
        mkdir -p "$(dirname "$inside")"; : >"$inside"
    fi
    mount --rbind "$p" "$inside"
done
mount --move "$hold/tmp" /tmp
# A private /etc: an overlay costs nothing; copy where overlays are missing.
if ! mount -t overlay halvorpin-etc \
        -o "lowerdir=/etc,upperdir=$hold/etc-upper,workdir=$hold/etc-work" /etc 2>/dev/null; then
    cp -a /etc "$hold/etc"
    mount --bind "$hold/etc" /etc
fi
umount -l "$hold"
# sysfs shows the network devices of the namespace that mounts it.
mount -t sysfs halvorpin-sys /sys
ip link set lo up
if [ "$eth0" = 1 ]; then
    ip link add eth0 address "$mac" type veth peer name %(peer)s
    ip link set %(peer)s up
    ip link set eth0 up
    # An address off loopback, as a unit has: resolvers asked for
    # AI_ADDRCONFIG (openssl, curl) find no IPv4 names without one.
    ip addr add 192.0.2.2/24 dev eth0
fi
echo ready
exec sleep infinity
""" % {"peer": PEER_NAME}


# Arguments: "+DIR" for each host directory to overlay, followed by the paths
# below it that must stay shared with the host. The upper layers live on a
# tmpfs of their own, mounted on a scratch directory under the world's /tmp
# and detached again once the overlays hold it; /tmp is left as it was. An
# overlay shows only its lower directory's own file system, so the shared
# paths are bound aside first and moved back on top of it.
OVERLAY_SCRIPT = r"""
set -eu
scratch=$(mktemp -d /tmp/.halvorpin-overlay.XXXXXX)
mount -t tmpfs -o mode=0755 halvorpin-overlay "$scratch"
n=0 dir= carried=
finish() {
    [ -n "$dir" ] || return 0
    mount -t overlay halvorpin-overlay \
        -o "lowerdir=$dir,upperdir=$scratch/upper$n,workdir=$scratch/work$n" "$dir"
    k=0
    for path in $carried; do
        k=$((k + 1))
        if [ -d "$scratch/carry$n.$k" ]; then
            mkdir -p "$path"
        else
            mkdir -p "$(dirname "$path")"
            [ -e "$path" ] || : >"$path"
        fi
        mount --move "$scratch/carry$n.$k" "$path"
    done
}
for arg in "$@"; do
    case $arg in
    +*)
        finish
        n=$((n + 1)) dir=${arg#+} carried= k=0
        mkdir "$scratch/upper$n" "$scratch/work$n"
        ;;
    *)
        k=$((k + 1))
        if [ -d "$arg" ]; then mkdir "$scratch/carry$n.$k"; else : >"$scratch/carry$n.$k"; fi
        mount --rbind "$arg" "$scratch/carry$n.$k"
        carried="$carried $arg"
        ;;
    esac
done
finish
umount -l "$scratch"
rmdir "$scratch"
"""


def _outermost(paths):
    """The paths not inside another of them, sorted."""
    kept = []
    for p in sorted(paths):
        if not any(p == k or p.startswith(k + "/") for k in kept):
            kept.append(p)
    return kept


def _die_with_parent():
    # If the test process dies without cleaning up, unshare dies too, and
    # its --kill-child takes the world down with it.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def _under_tmp(path):
    return str(path).startswith("/tmp/")


class Run:
    """Outcome of one command inside a world; its repr shows everything so
    that a failed assertion on it is readable."""

    def __init__(self, args, returncode, stdout, stderr, elapsed):
        self.args = args
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr
        self.elapsed = elapsed

    def __repr__(self):
        return (
            f"<Run {shlex.join(map(str, self.args))}\n"
            f"  status: {self.returncode}  ({self.elapsed:.2f} s)\n"
            f"  stdout: {_show(self.stdout)}\n"
            f"  stderr: {_show(self.stderr)}>"
        )


def _show(data, limit=3000):
    text = repr(data[:limit])
    if len(data) > limit:
        text += f" ... ({len(data)} bytes)"
    return text


class RefServer:
    """A reference collection server running inside a world."""

    def __init__(self, proc, addr, port, state, record, log):
        self.proc = proc
        self.addr = addr
        self.port = port
        self.state = Path(state)
        self.record = Path(record)
        self.log = Path(log)

    def requests(self):
        """The recorded requests, oldest first, with raw_b64, body_b64 and
        clear_b64 also decoded into raw, body and clear (bytes)."""
        if not self.record.exists():
            return []
        result = []
        for line in self.record.read_text().splitlines():
            if not line.strip():
                continue
            entry = json.loads(line)
            for key in ("raw", "body", "clear"):
                if entry.get(key + "_b64") is not None:
                    entry[key] = base64.b64decode(entry[key + "_b64"])
            result.append(entry)
        return result

    def connections(self, at_least=0, timeout=10):
        """Every connection this server took, in the order they ended:
        {"requests": 0 or 1, "session_reused": ...}. A connection is filed
        when the server is done with it, which may be after the client has
        ended: with at_least, wait up to timeout seconds for that many."""
        path = self.state / "connections.jsonl"
        deadline = time.monotonic() + timeout
        while True:
            lines = path.read_text().splitlines() if path.exists() else []
            found = [e for e in map(json.loads, filter(str.strip, lines))
                     if e["listen"] == f"{self.addr}:{self.port}"]
            if len(found) >= at_least or time.monotonic() > deadline:
                return found
            time.sleep(0.05)

    def set_config(self, config):
        """Replace config.json; the server re-reads it on every request."""
        path = self.state / "config.json"
        tmp = path.with_suffix(".json.tmp")
        tmp.write_text(json.dumps(config, indent=1))
        tmp.replace(path)  # never let the server read a half-written file

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()


def publish(server, version, name="package.tar.gz", broken=None, signed_by=None):
    """Writes a package of this version (or a broken kind of one, as
    refserver.py make-package --broken) to the server's packages/<name>;
    returns its bytes. signed_by: a private key (pki.sign) whose detached
    signature goes to packages/<name>.sig, as an operator signs packages."""
    data = package_bytes(version, broken)
    (server.state / "packages" / name).write_bytes(data)
    if signed_by is not None:
        (server.state / "packages" / f"{name}.sig").write_bytes(sign(signed_by, data))
    return data


def received(server, kind):
    """What the server accepted of the uploads of this kind ("submit", "log")."""
    path = server.state / "received" / f"{kind}.bin"
    return path.read_bytes() if path.exists() else b""


class Sandbox:
    """A hermetic world for one case; use as a context manager.

    workdir: a host directory for this case (server state, certificates, logs);
      it is visible at the same path inside.
    hosts: {name: address or [addresses]} written to /etc/hosts, besides
      localhost; default DEFAULT_HOSTS.
    eth0: whether the world has an eth0 (one end of a veth pair, MAC `mac`).
    ca_bundle: host path of the PEM file installed as /etc/ca-bundle.crt;
      None for a world without that file.
    keep: further host paths that must stay visible inside (only paths under
      /tmp need this; everything else outside /tmp and /etc is shared as is).
    userland: "busybox" or "busybox-short" to bind BusyBox over sh, tar,
      gzip and gunzip inside (lab/userland.py); "" for the host's tools;
      default $HALVORPIN_USERLAND.
    """

    def __init__(self, workdir, *, hosts=None, eth0=True, mac=DEFAULT_MAC,
                 ca_bundle=None, keep=(), userland=None):
        self.workdir = Path(workdir)
        self.hosts = dict(DEFAULT_HOSTS if hosts is None else hosts)
        self.eth0 = eth0
        self.mac = mac
        self.ca_bundle = ca_bundle
        self.keep = list(keep)
        self.userland = selected_userland() if userland is None else userland
        self.pid = None
        self.runs = []
        self.servers = []
        self._unshare = None
        self._procs = []

    # ---- life cycle -----------------------------------------------------

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()

    def start(self):
        self.workdir.mkdir(parents=True, exist_ok=True)
        os.makedirs(HOLD_DIR, exist_ok=True)
        cmd = ["unshare", "--mount", "--net", "--pid", "--fork", "--kill-child",
               "--mount-proc", "--propagation", "private", "--",
               "/bin/sh", "-c", SETUP_SCRIPT, "halvorpin-world",
               HOLD_DIR, "1" if self.eth0 else "0", self.mac,
               *self._kept_paths_under_tmp()]
        self._unshare = subprocess.Popen(
            cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, start_new_session=True,
            preexec_fn=_die_with_parent)
        try:
            line = _readline(self._unshare.stdout, timeout=30)
            if line != b"ready\n":
                self._unshare.kill()
                err = self._unshare.stderr.read()
                raise RuntimeError(f"sandbox setup failed: {line!r} {err.decode(errors='replace')}")
            self.pid = _only_child(self._unshare.pid)
            self._write_etc()
            bind_userland(self, self.userland)
        except BaseException:
            self.close()
            raise

    def close(self):
        # Killing the world's PID 1 first ends everything inside at once; each
        # nsenter then reaps its own child. Killing nsenter first would leave
        # its child to the host's init, and the world's teardown waits for that.
        if self.pid is not None:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for proc in self._procs:
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                _kill_group(proc)
                proc.wait()
        if self._unshare is not None:
            # unshare reaps the holder and exits; kill it only if it hangs.
            try:
                self._unshare.wait(timeout=10)
            except subprocess.TimeoutExpired:
                _kill_group(self._unshare)
                self._unshare.wait()
            self._unshare.stdout.close()
            self._unshare.stderr.close()
        self._procs = []
        self.pid = None
        self._unshare = None

    def mounts(self):
        """The world's mounts, in mount order: (mount point, file system
        type, source) each, the mount point unescaped."""
        found = []
        for line in Path(f"/proc/{self.pid}/mountinfo").read_text().splitlines():
            fields, tail = line.split(" - ", 1)
            point = re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)),
                           fields.split()[4])
            fs_type, source = tail.split()[:2]
            found.append((point, fs_type, source))
        return found

    def overlay(self, *dirs):
        """Make host directories (absolute paths outside /tmp and /etc, such
        as /usr and /var) writable inside the world: each gets a private
        overlay whose changes the host never sees. A package can then be
        installed in the world with dpkg as on a real machine. What the world
        shares with the host below such a directory stays shared: the paths
        Sandbox keeps (repository, binaries, work directory, keep) and the
        mounts there."""
        mounts = [point for point, _, _ in self.mounts()]
        args = []
        for d in map(str, dirs):
            assert d.startswith("/") and not _under_tmp(d) and \
                d not in ("/", "/tmp", "/etc"), f"cannot overlay {d}"
            carried = _outermost(set(self._shared_paths(d)) |
                                 {m for m in mounts if m.startswith(d + "/")})
            assert not any(c.split() != [c] for c in carried), f"blank in a path: {carried}"
            args += ["+" + d, *carried]
        result = self.run(["/bin/sh", "-c", OVERLAY_SCRIPT, "halvorpin-overlay", *args])
        if result.returncode != 0:
            raise RuntimeError(f"overlay of {' '.join(map(str, dirs))} failed: {result!r}")

    def _shared_paths(self, inside):
        """The host paths the world must see at their own paths that lie
        inside the directory `inside`, outermost only (a path inside another
        comes along with it)."""
        candidates = [REPO, client_binary().parent, sandbox_tests_binary().parent,
                      self.workdir, *self.keep]
        # The runner's own paths: "-L /sysroot", "LD_LIBRARY_PATH=/a:/b", ...
        for token in runner() + [os.environ.get("QEMU_LD_PREFIX", "")]:
            for part in token.split("=", 1)[-1].split(":"):
                if part.startswith("/"):
                    candidates.append(part)
        paths = set()
        for p in candidates:
            for form in (os.path.abspath(p), os.path.realpath(p)):
                if form.startswith(inside + "/") and os.path.exists(form):
                    paths.add(form)
        return _outermost(paths)

    def _kept_paths_under_tmp(self):
        return self._shared_paths("/tmp")

    def _write_etc(self):
        lines = ["127.0.0.1\tlocalhost", "::1\tlocalhost ip6-localhost ip6-loopback"]
        for name, addrs in self.hosts.items():
            for addr in [addrs] if isinstance(addrs, str) else addrs:
                lines.append(f"{addr}\t{name}")
        self.write("/etc/hosts", "\n".join(lines) + "\n")
        # Name lookups must never leave the world, nor wait for a DNS answer:
        # port 53 on loopback refuses at once.
        self.write("/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
        if self.ca_bundle is None:
            self.remove("/etc/ca-bundle.crt")
        else:
            self.write("/etc/ca-bundle.crt", Path(self.ca_bundle).read_bytes())

    # ---- files inside ---------------------------------------------------
    # Absolute symbolic links met on the way resolve on the HOST, not inside:
    # use these for plain files and directories.

    def path(self, p):
        """Host path through which the world's absolute path p is reached."""
        assert self.pid is not None, "sandbox not started"
        assert str(p).startswith("/"), f"not an absolute path: {p}"
        return Path(f"/proc/{self.pid}/root{p}")

    def read(self, p):
        return self.path(p).read_bytes()

    def write(self, p, data, mode=None):
        """Create or replace file p inside (parents made as needed); a link
        already there is replaced, never followed."""
        target = self.path(p)
        target.parent.mkdir(parents=True, exist_ok=True)
        if target.is_symlink():
            target.unlink()
        target.write_bytes(data.encode() if isinstance(data, str) else data)
        if mode is not None:
            target.chmod(mode)

    def exists(self, p):
        return os.path.lexists(self.path(p))

    def listdir(self, p):
        return sorted(os.listdir(self.path(p)))

    def remove(self, p):
        if self.exists(p):
            self.path(p).unlink()

    # ---- processes inside -----------------------------------------------

    def _env(self, env):
        base = {"PATH": CLEAN_PATH}
        base.update({k: v for k, v in os.environ.items()
                     if k.startswith(PASSED_ENV_PREFIXES)})
        base.update(env or {})
        return base

    def _enter(self, cmd, cwd):
        assert self.pid is not None, "sandbox not started"
        return ["nsenter", "-t", str(self.pid), "-m", "-n", "-p",
                f"--wdns={cwd}", "--", *map(str, cmd)]

    def popen(self, cmd, *, env=None, cwd="/", **kwargs):
        """Start cmd inside and return its subprocess.Popen; it is killed
        when the world closes. Extra keyword arguments go to Popen."""
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        proc = subprocess.Popen(self._enter(cmd, cwd), env=self._env(env),
                                start_new_session=True, **kwargs)
        self._procs.append(proc)
        return proc

    def run(self, cmd, *, env=None, input=None, timeout=60 * SLOW, cwd="/"):
        """Run cmd inside to its end; returns a Run (bytes stdout/stderr).
        A run that outlives timeout is killed and fails the test."""
        start = time.monotonic()
        proc = self.popen(cmd, env=env, cwd=cwd,
                          stdin=subprocess.PIPE if input is not None else subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            out, err = proc.communicate(input, timeout=timeout)
        except subprocess.TimeoutExpired:
            _kill_group(proc)
            out, err = proc.communicate()
            result = Run(cmd, None, out, err, time.monotonic() - start)
            self.runs.append(result)
            raise AssertionError(f"still running after {timeout} s, killed: {result!r}")
        finally:
            self._procs.remove(proc)
        result = Run(cmd, proc.returncode, out, err, time.monotonic() - start)
        self.runs.append(result)
        return result

    def run_client(self, args, env=None, timeout=60 * SLOW, input=None, binary=None):
        """Run the client with args (a list of str) and a clean environment
        (PATH plus env); returns a Run. binary: the client's absolute path
        inside the world, such as one installed there; by default the
        build's (client_binary())."""
        if binary is None:
            binary = client_binary()
            assert binary.exists(), (
                f"client binary {binary} not found: build it (cmake -B build && "
                f"cmake --build build) or set HALVORPIN_BIN")
        else:
            assert self.exists(str(binary)), f"client binary {binary} not found inside the world"
        return self.run(runner() + [str(binary)] + list(args),
                        env=env, input=input, timeout=timeout)

    def address(self, name_or_addr):
        """The address of a name of this world's hosts (its first), or the address given."""
        addr = self.hosts.get(name_or_addr, name_or_addr)
        return addr if isinstance(addr, str) else addr[0]

    def start_refserver(self, name_or_addr, port, cert, key, state, *extra_args):
        """Start lab/refserver.py inside, listening on the address
        of name_or_addr (a name of this world's hosts, or an address) and
        port (0 picks one); returns a RefServer once it printed READY."""
        assert REFSERVER.exists(), f"reference server {REFSERVER} not found"
        addr = self.address(name_or_addr)
        state = Path(state)
        state.mkdir(parents=True, exist_ok=True)
        extra = [str(a) for a in extra_args]
        record = Path(extra[extra.index("--record") + 1]) if "--record" in extra \
            else state / "requests.jsonl"
        name = f"refserver-{addr}-{port}-{len(self.servers)}"
        proc, port = self._start_ready(
            [PYTHON, REFSERVER, "serve", "--listen", f"{addr}:{port}",
             "--cert", cert, "--key", key, "--state", state, *extra], name, timeout=60)
        server = RefServer(proc, addr, port, state, record, self.workdir / f"{name}.log")
        self.servers.append(server)
        return server

    def launch_peer(self, kind, name_or_addr, port, *options):
        """Start `lab/peers.py KIND --listen ADDR:PORT OPTIONS` inside on
        the address of name_or_addr; returns (process, port) once it listens."""
        addr = self.address(name_or_addr)
        return self._start_ready([PYTHON, PEERS, kind, "--listen", f"{addr}:{port}", *options],
                                 f"{kind}-{addr}-{port}", timeout=30)

    def start_listener(self, addr, port):
        """A plain TCP listener inside that accepts and at once closes every
        connection; returns a function giving the number accepted so far.
        It tells whether the client tried to connect at all."""
        record = self.workdir / f"listener-{addr}-{port}.accepted"
        record.write_bytes(b"")
        self.launch_peer("listener", addr, port, "--record", record)
        return lambda: len(record.read_text().splitlines())

    def start_relay(self, addr, port, first_port, later_port):
        """An attacker on the path: addr:port relays the first connection to
        addr:first_port, every later one to addr:later_port."""
        self.launch_peer("relay", addr, port, "--first", first_port, "--later", later_port)

    def start_trickler(self, addr, port):
        """A TLS record header and then one byte a second, forever, on addr:port."""
        self.launch_peer("trickler", addr, port)

    def start_blackhole(self, addr, port):
        """A connect to addr:port gets no answer: its accept queue is full."""
        self.launch_peer("blackhole", addr, port)

    def _start_ready(self, cmd, name, timeout):
        """Start cmd inside, its output in <workdir>/<name>.out and its log in
        <name>.log; returns (process, port) once it printed "READY <port>"."""
        out_path = self.workdir / f"{name}.out"
        log_path = self.workdir / f"{name}.log"
        with open(out_path, "wb") as out, open(log_path, "wb") as log:
            proc = self.popen(cmd, stdout=out, stderr=log)
        return proc, _wait_ready(proc, name, out_path, timeout=timeout, log=log_path)

    # ---- reporting ------------------------------------------------------

    def describe(self):
        """Everything that ran in this world, for a failed test's report."""
        parts = [repr(r) for r in self.runs]
        for server in self.servers:
            text = server.log.read_bytes()[-4000:] if server.log.exists() else b""
            parts.append(f"<refserver {server.addr}:{server.port} log tail>\n"
                         + text.decode(errors="replace"))
        return "\n".join(parts) if parts else "(nothing ran)"


def make_deb(directory, name, files, version="1.0"):
    """A minimal Debian package `name` (architecture all, no dependencies)
    holding files {absolute path: (bytes or str, mode)}, built in directory
    with dpkg-deb; returns its path. Tests install such packages in a world
    whose /usr and /var are overlaid (Sandbox.overlay)."""
    root = Path(directory) / f"{name}-root"
    (root / "DEBIAN").mkdir(parents=True)
    (root / "DEBIAN" / "control").write_text(
        f"Package: {name}\nVersion: {version}\nArchitecture: all\n"
        "Maintainer: halvorpin tests <tests@example.invalid>\n"
        "Description: test package\n a package made by the end-to-end tests\n")
    for path, (data, mode) in files.items():
        target = root / path.lstrip("/")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data.encode() if isinstance(data, str) else data)
        target.chmod(mode)
    deb = Path(directory) / f"{name}.deb"
    subprocess.run(["dpkg-deb", "--root-owner-group", "--build", str(root), str(deb)],
                   check=True, capture_output=True)
    return deb


def _readline(stream, timeout):
    """One line from a pipe, or whatever arrived before timeout/EOF."""
    deadline = time.monotonic() + timeout
    data = b""
    fd = stream.fileno()
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, 1)
        if not chunk:
            break
        data += chunk
    return data


def _wait_ready(proc, name, out_path, timeout, log):
    """The port of the line "READY <port>" that a server of the kit (the
    reference server, a peer) prints once it listens, when out_path holds
    it; fails with the process's log if it exits or takes longer than timeout."""
    deadline = time.monotonic() + timeout * SLOW
    while True:
        for line in out_path.read_bytes().splitlines():
            if line.startswith(b"READY "):
                return int(line.split()[1])
        if proc.poll() is not None or time.monotonic() > deadline:
            _kill_group(proc)
            raise RuntimeError(
                f"{name} did not print READY "
                f"(status {proc.poll()}):\n{Path(log).read_text(errors='replace')}")
        time.sleep(0.02)


def _only_child(pid):
    # The process's own list of children (Linux 3.5 and later), never a walk
    # over every process of the machine.
    children = Path(f"/proc/{pid}/task/{pid}/children").read_text().split()
    if not children:
        raise RuntimeError(f"no child of {pid}")
    return int(children[0])


def _kill_group(proc):
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
