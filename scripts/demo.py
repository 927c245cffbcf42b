#!/usr/bin/python3
"""The client's main job, step by step, on a simulated measurement unit.

    /usr/bin/python3 scripts/demo.py [--workdir DIR] [--install-deb DEB]   (as root)

The real client (build/halvorpin, or $HALVORPIN_BIN; with --install-deb, the
/usr/bin/halvorpin that the Debian package DEB installs inside the world, over
private overlays of /usr and /var) runs in one hermetic world of its own
(lab/sandbox.py: private /tmp, /etc and network, eth0
with a fixed MAC) against the reference collection server
(lab/refserver.py) as collector.test:8443. Nothing on the host's
/tmp or /etc is touched. For every step the demo prints the command line,
the exit status, the client's output in short, what changed on the unit and
what the server received, then checks the outcome; the exit status is 1 when
any step did not turn out as expected, so the demo doubles as a smoke check.
"""

import argparse
import hashlib
import os
import shutil
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "lab"))

from pki import Pki, public_pem, signing_key  # noqa: E402
from sandbox import COLLECTOR, DEFAULT_MAC, Sandbox, client_binary, publish, received  # noqa: E402

URL = f"https://{COLLECTOR}:8443"
PACKAGE_KEYS = "/etc/package-keys.pem"
RESULT_LINES = [
    "2024-05-02T10:00:00Z,ping,target=198.51.100.7,rtt_ms=12.4\n",
    "2024-05-02T10:00:05Z,ping,target=198.51.100.8,rtt_ms=15.1\n",
    "2024-05-02T10:01:00Z,http_get,target=www.example.test,ms=231\n",
    "2024-05-02T10:02:00Z,dns,target=resolver.example.test,ms=9\n",
]
MORE_RESULT_LINES = [
    f"2024-05-02T11:{minute:02d}:00Z,throughput,direction=down,kbit_s={20000 + 137 * minute}\n"
    for minute in range(7)
]
SUBMIT_BATCH = 3  # SUBMIT_MAX_LINES for the encrypted upload: 7 lines in 3 requests
LOG_TEXT = (
    "10:00:00 scheduler: started, 4 tests due\n"
    "10:00:12 ping: 2 targets done\n"
    "10:01:03 http_get: done\n"
    "10:02:01 dns: done\n"
)
SHOWN_OUTPUT_LINES = 4


class Demo:
    """One world, one server, and the running account of what went wrong."""

    def __init__(self, workdir, out, deb=None):
        self.workdir = Path(workdir)
        self.out = out
        self.deb = Path(deb).resolve() if deb else None
        self.client = None  # the client's path inside the world; None: the build's
        self.failures = []
        self.step_number = 0
        self.step_label = "start"
        self.box = None
        self.server = None
        self.requests_seen = 0
        self.new_requests = []  # what the server received during the last client run
        self.changed = []  # paths the last client run created, changed or removed

    # ---- output --------------------------------------------------------

    def say(self, text=""):
        print(text, file=self.out, flush=True)

    def header(self, title):
        self.step_number += 1
        self.step_label = f"step {self.step_number}"
        self.say()
        self.say(f"==== Step {self.step_number}: {title} " + "=" * max(3, 60 - len(title)))

    def check(self, ok, what):
        self.say(f"  {'ok  ' if ok else 'FAIL'}  {what}")
        if not ok:
            self.failures.append(f"{self.step_label}: {what}")

    # ---- the world -----------------------------------------------------

    def start(self):
        pki = Pki(self.workdir / "pki")
        # Certificates and server state sit beside the world's own directory.
        keep = [self.workdir] + ([self.deb.parent] if self.deb else [])
        self.box = Sandbox(self.workdir / "world", ca_bundle=pki.bundle, keep=keep)
        self.box.start()
        if self.deb:
            self.install_package()
        state = self.workdir / "server"
        cert, key = pki.issue(COLLECTOR)
        self.server = self.box.start_refserver(COLLECTOR, 8443, cert, key, state)
        publish(self.server, "1.0")
        self.server.set_config({"version": "1.0"})
        self.say(f"client:  {self.client or client_binary()}")
        self.say(f"server:  lab/refserver.py as {URL} (state in {state})")
        self.say(f"unit:    a fresh sandboxed world (private /tmp and /etc, eth0 {DEFAULT_MAC})")

    def install_package(self):
        """Installs the Debian package in the world, as on a unit's own
        system; the host's /usr and package database stay untouched."""
        self.say(f"$ dpkg -i {self.deb}   (inside the world, over private overlays of /usr and /var)")
        self.box.overlay("/usr", "/var")
        result = self.box.run(["dpkg", "-i", str(self.deb)])
        self.say(f"  exit status {result.returncode}")
        show_output(self.say, "stdout", result.stdout)
        show_output(self.say, "stderr", result.stderr)
        if result.returncode != 0:
            raise RuntimeError(f"dpkg -i {self.deb} failed inside the world")
        package = self.box.run(["dpkg-deb", "-f", str(self.deb), "Package"]).stdout.decode().strip()
        status = self.box.run(["dpkg-query", "-W", "-f", "${Status} ${Version}", package])
        self.check(status.stdout.decode().startswith("install ok installed"),
                   f"package {package} installed: {status.stdout.decode()}")
        self.check(self.box.exists("/usr/bin/halvorpin"), "/usr/bin/halvorpin installed")
        self.client = Path("/usr/bin/halvorpin")

    def close(self):
        if self.box is not None:
            self.box.close()

    # ---- one client run ------------------------------------------------

    def run_client(self, letter, env=None):
        """Runs the client with one command letter and shows what it did and
        what it changed; returns the Run."""
        shown_env = " ".join(f"{k}={v}" for k, v in (env or {}).items())
        self.say(f"$ {shown_env + ' ' if shown_env else ''}halvorpin {URL} -{letter}")
        before = snapshot(self.box)
        result = self.box.run_client([URL, f"-{letter}"], env=env, binary=self.client)
        after = snapshot(self.box)
        self.say(f"  exit status {result.returncode}   ({result.elapsed:.2f} s)")
        show_output(self.say, "stdout", result.stdout)
        show_output(self.say, "stderr", result.stderr)
        changes = describe_changes(before, after)
        self.say("  changes on the unit:" + ("" if changes else " none"))
        for line in changes:
            self.say(f"    {line}")
        self.say(f"  unit now: {unit_summary(self.box)}")
        self.show_new_requests()
        self.changed = sorted(p for p in set(before) | set(after) if before.get(p) != after.get(p))
        return result

    def show_new_requests(self):
        requests = self.server.requests()[self.requests_seen:]
        self.requests_seen += len(requests)
        self.say("  server received:" + ("" if requests else " nothing"))
        for entry in requests:
            self.say(f"    {describe_request(entry)}")
        self.new_requests = requests

    def unit_file(self, path):
        return self.box.read(path).decode(errors="replace") if self.box.exists(path) else None

    # ---- the steps -----------------------------------------------------

    def step_enroll(self):
        self.header("enroll a fresh unit (a): keys, identifier, package 1.0")
        result = self.run_client("a")
        self.check(result.returncode == 0, "exit status 0")
        for name in ("unitprivatekey", "unitpublickey", "zorpublickey", "unitid"):
            self.check(self.box.exists(f"/tmp/tolvenra/{name}"), f"/tmp/tolvenra/{name} written")
        self.expect_installed("1.0")
        paths = [entry["target"].split("?")[0] for entry in self.new_requests]
        self.check(paths == ["/activate", "/activate", "/version", "/packages/package.tar.gz"],
                   "enrollment, confirmation, version query and download reached the server")

    def step_up_to_date(self):
        self.header("version check (v) while up to date: nothing to do")
        result = self.run_client("v")
        self.check(result.returncode == 0, "exit status 0")
        self.check(self.changed == [], "no file on the unit changed")
        self.check([e["target"] for e in self.new_requests] == ["/version?current=1.0"],
                   "one version query naming the installed version 1.0")

    def step_publish(self):
        self.header("the server publishes version 1.1")
        package = self.server.state / "packages" / "package.tar.gz"
        # What an operator would type; publish() writes the very same bytes.
        self.say(f"$ refserver.py make-package --version 1.1 --out {package}")
        publish(self.server, "1.1")
        self.server.set_config({"version": "1.1"})
        self.say(f"$ echo '{{\"version\": \"1.1\"}}' > {self.server.state / 'config.json'}")
        self.check(package.stat().st_size > 0, f"new package of {package.stat().st_size} bytes")

    def step_update(self):
        self.header("version check (v) after the release: installs 1.1")
        result = self.run_client("v")
        self.check(result.returncode == 0, "exit status 0")
        self.expect_installed("1.1")
        self.check([e["target"] for e in self.new_requests]
                   == ["/version?current=1.0", "/packages/package.tar.gz"],
                   "version query with 1.0, then the package download")

    def step_signed_packages(self):
        self.header("signed packages: the operator's key on the unit, 1.2 signed, 1.3 tampered")
        key = signing_key("p256")
        self.box.write(PACKAGE_KEYS, public_pem(key), mode=0o644)
        self.say(f"(unit: {PACKAGE_KEYS} holds the operator's public key)")
        self.say("$ openssl dgst -sha256 -sign package-signing.key -out package.tar.gz.sig "
                 "package.tar.gz   (the operator, for 1.2)")
        publish(self.server, "1.2", signed_by=key)
        self.server.set_config({"version": "1.2"})
        result = self.run_client("v")
        self.check(result.returncode == 0, "exit status 0")
        self.expect_installed("1.2")
        self.check([e["target"] for e in self.new_requests] == [
            "/version?current=1.1", "/packages/package.tar.gz", "/packages/package.tar.gz.sig"],
            "version query, the package and its signature")

        self.say()
        package = self.server.state / "packages" / "package.tar.gz"
        publish(self.server, "1.3", signed_by=key)
        tampered = bytearray(package.read_bytes())
        tampered[-20] ^= 0x01
        package.write_bytes(bytes(tampered))
        self.server.set_config({"version": "1.3"})
        self.say("(server: 1.3 signed, then one byte of its archive changed on the host)")
        result = self.run_client("v")
        self.check(result.returncode == 1, "exit status 1")
        self.check(result.stderr.startswith(b"Package signature does not verify: "),
                   "the client says the signature does not verify")
        self.expect_installed("1.2")
        self.box.remove(PACKAGE_KEYS)
        publish(self.server, "1.2")
        self.server.set_config({"version": "1.2"})
        self.say(f"(unit: {PACKAGE_KEYS} removed again; the server names 1.2)")

    def step_package_request(self):
        self.header("package request (p): fetch only, encrypted for this unit")
        package = publish(self.server, "1.1", name="testpackage.tar.gz")
        # From here on the server sends packages RSA-encrypted with the unit's
        # public key; the client decrypts them block by block.
        self.server.set_config({"version": "1.2", "package_encrypted": True})
        self.say("(server: /testpackage.tar.gz holds a 1.1 package, sent encrypted)")
        result = self.run_client("p")
        self.check(result.returncode == 0, "exit status 0")
        fetched = self.box.read("/tmp/testpackage.tar.gz") \
            if self.box.exists("/tmp/testpackage.tar.gz") else None
        self.check(fetched == package,
                   "/tmp/testpackage.tar.gz is the server's package, decrypted")
        self.check(self.changed == ["/tmp/testpackage.tar.gz"],
                   "nothing else changed: nothing installed, still version 1.2")
        self.check([e["target"] for e in self.new_requests] == ["/testpackage.tar.gz"],
                   "one request for /testpackage.tar.gz")

    def step_uploads(self):
        self.header("results upload in clear (s), then encrypted in batches (S)")
        self.box.write("/tmp/output", "".join(RESULT_LINES))
        self.say(f"(unit: /tmp/output holds {len(RESULT_LINES)} result lines)")
        result = self.run_client("s")
        self.check(result.returncode == 0, "exit status 0")
        self.check(not self.box.exists("/tmp/output"), "/tmp/output removed after upload")
        self.check(upload_summary(self.new_requests) == [("/submit", "false", None, 4, True)],
                   "one clear request of 4 lines, accepted")

        self.say()
        self.box.write("/tmp/output", "".join(MORE_RESULT_LINES))
        self.say(f"(unit: /tmp/output holds {len(MORE_RESULT_LINES)} result lines)")
        result = self.run_client("S", env={"SUBMIT_MAX_LINES": str(SUBMIT_BATCH)})
        self.check(result.returncode == 0, "exit status 0")
        self.check(not self.box.exists("/tmp/output"), "/tmp/output removed after upload")
        self.check(upload_summary(self.new_requests)
                   == [("/submit", "true", True, n, True) for n in (3, 3, 1)],
                   "three encrypted requests of 3, 3 and 1 lines, digests verified, accepted")

    def step_log(self):
        self.header("log upload, encrypted (L)")
        self.box.write("/tmp/debug.out", LOG_TEXT)
        self.say(f"(unit: /tmp/debug.out holds {len(LOG_TEXT)} bytes of log)")
        result = self.run_client("L")
        blocks = -(-len(LOG_TEXT) // 116)  # 116 clear bytes per 128-byte block
        self.check(result.returncode == 0, "exit status 0")
        self.check(result.stderr == b"bodylength = 128 \n" * blocks,
                   f"one 'bodylength = 128' line per cipher block ({blocks})")
        self.check(not self.box.exists("/tmp/debug.out"), "/tmp/debug.out removed after upload")
        self.check(upload_summary(self.new_requests) == [("/log", "true", True, 4, True)],
                   "one encrypted request, digest verified, accepted")

    def summary_of_uploads(self):
        self.step_label = "server summary"
        self.say()
        self.say("==== What the server received and verified " + "=" * 25)
        self.say(f"  {'#':>3}  {'path':<8} {'X-Encrypted':<12} {'hash_ok':<8} {'lines':>5} "
                 f"{'body':>6}  {'accepted':<8} TLS resumed")
        for entry in self.server.requests():
            if entry["method"] != "POST":
                continue
            headers = entry["headers"]
            self.say(f"  {entry['seq']:>3}  {entry['target']:<8} "
                     f"{headers.get('X-Encrypted', '-'):<12} {str(entry.get('hash_ok')):<8} "
                     f"{line_count(entry['clear']):>5} {len(entry['body']):>6}  "
                     f"{str(entry.get('accepted')):<8} {entry['session_reused']}")
        submit = received(self.server, "submit")
        log = received(self.server, "log")
        self.say(f"  received/submit.bin: {len(submit)} bytes, {line_count(submit)} lines")
        show_lines(self.say, submit, limit=len(RESULT_LINES) + len(MORE_RESULT_LINES))
        self.say(f"  received/log.bin: {len(log)} bytes")
        show_lines(self.say, log, limit=8)
        self.check(submit == "".join(RESULT_LINES + MORE_RESULT_LINES).encode(),
                   "submit.bin holds every result line, in order")
        self.check(log == LOG_TEXT.encode(), "log.bin holds the log")

    def expect_installed(self, version):
        self.check(self.unit_file("/tmp/tolvenra/version") == f"{version}\n",
                   f"version file holds {version}")
        self.check(self.unit_file("/tmp/kelvoz/started") == f"{version}\n",
                   f"package {version} started (/tmp/kelvoz/started)")
        self.check(f"version={version}\n" in (self.unit_file("/tmp/schedulerconfig") or ""),
                   f"/tmp/schedulerconfig is that of {version}")


# ---- helpers ---------------------------------------------------------------

def snapshot(box):
    """Every file and directory of the unit's /tmp, with enough to tell a
    change: (kind, size, digest, small content). Host directories bound into
    the world (the repository, the demo's work directory) are left out."""
    root = box.path("/tmp")
    device = os.lstat(root).st_dev  # the world's own tmpfs; bound host paths differ

    def own(path):
        return os.lstat(path).st_dev == device

    entries = {}
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = [d for d in dirnames if own(os.path.join(dirpath, d))]
        inside = "/tmp" + dirpath[len(str(root)):]
        for name in dirnames:
            entries[f"{inside}/{name}/"] = ("dir",)
        for name in filenames:
            path = os.path.join(dirpath, name)
            if os.path.islink(path):
                entries[f"{inside}/{name}"] = ("link", os.readlink(path))
            elif own(path):
                data = Path(path).read_bytes()
                entries[f"{inside}/{name}"] = (
                    "file", len(data), hashlib.sha256(data).hexdigest(), data[:200])
    return entries


def short_content(entry):
    """A short one-line file's text; otherwise its size."""
    if entry[0] == "dir":
        return ""
    if entry[0] == "link":
        return f"-> {entry[1]}"
    size, data = entry[1], entry[3]
    text = data.decode(errors="replace")
    if size <= 24 and "\n" not in text.rstrip("\n") and text.rstrip("\n").isprintable():
        return repr(text)
    return f"({size} bytes)"


def describe_changes(before, after):
    lines = []
    for path in sorted(set(before) | set(after)):
        old, new = before.get(path), after.get(path)
        if old == new:
            continue
        if old is None:
            lines.append(f"+ {path}  {short_content(new)}".rstrip())
        elif new is None:
            lines.append(f"- {path}")
        elif short_content(old) == short_content(new):
            lines.append(f"~ {path}  {short_content(new)}, new content")
        else:
            lines.append(f"~ {path}  {short_content(old)} -> {short_content(new)}")
    return lines


def unit_summary(box):
    def first_line(path):
        if not box.exists(path):
            return "-"
        return box.read(path).decode(errors="replace").split("\n")[0] or "''"
    scheduler = [line for line in (box.read("/tmp/schedulerconfig").decode(errors="replace")
                                   if box.exists("/tmp/schedulerconfig") else "").splitlines()
                 if line.startswith("version=")]
    return (f"version file {first_line('/tmp/tolvenra/version')}, "
            f"started {first_line('/tmp/kelvoz/started')}, "
            f"schedulerconfig {scheduler[0] if scheduler else '-'}")


def show_output(say, name, data):
    if not data:
        say(f"  {name}: (empty)")
        return
    lines = data.decode(errors="replace").splitlines()
    say(f"  {name}: {len(data)} bytes, {plural(len(lines), 'line')}")
    for line in lines[:SHOWN_OUTPUT_LINES]:
        say(f"    | {line[:90]}")
    if len(lines) > SHOWN_OUTPUT_LINES:
        say(f"    | ... ({len(lines) - SHOWN_OUTPUT_LINES} more)")


def show_lines(say, data, limit):
    lines = data.decode(errors="replace").splitlines()
    for line in lines[:limit]:
        say(f"    | {line[:90]}")
    if len(lines) > limit:
        say(f"    | ... ({len(lines) - limit} more)")


def describe_request(entry):
    text = f"#{entry['seq']} {entry['method']} {entry['target']} -> {entry['reply_status']}"
    if entry["method"] == "POST":
        headers = entry["headers"]
        text += (f"  [X-Encrypted: {headers.get('X-Encrypted')}, body {len(entry['body'])} bytes,"
                 f" {plural(line_count(entry['clear']), 'line')}, hash_ok {entry.get('hash_ok')}]")
    if entry.get("error"):
        text += f"  ({entry['error']})"
    return text


def plural(n, word):
    return f"{n} {word}{'' if n == 1 else 's'}"


def line_count(data):
    return data.count(b"\n")


def upload_summary(requests):
    """(path, X-Encrypted, hash_ok, lines, accepted) of each upload request."""
    return [(e["target"], e["headers"].get("X-Encrypted"), e.get("hash_ok"),
             line_count(e["clear"]), e.get("accepted"))
            for e in requests if e["method"] == "POST"]


def main(argv=None, out=sys.stdout):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workdir", help="keep the certificates, server state and logs "
                        "here (default: a temporary directory, removed afterwards)")
    parser.add_argument("--install-deb", metavar="DEB", help="install this Debian package "
                        "inside the unit's world and run its /usr/bin/halvorpin")
    args = parser.parse_args(argv)
    if os.geteuid() != 0:
        print("demo.py builds namespace sandboxes: run it as root", file=sys.stderr)
        return 2
    if args.install_deb:
        if not Path(args.install_deb).is_file():
            print(f"{args.install_deb} not found", file=sys.stderr)
            return 2
    elif not client_binary().exists():
        print(f"{client_binary()} not found: build it first "
              "(cmake -B build && cmake --build build)", file=sys.stderr)
        return 2
    workdir = Path(args.workdir or tempfile.mkdtemp(prefix="halvorpin-demo-"))
    demo = Demo(workdir, out, deb=args.install_deb)
    try:
        demo.start()
        for step in (demo.step_enroll, demo.step_up_to_date, demo.step_publish,
                     demo.step_update, demo.step_signed_packages, demo.step_package_request,
                     demo.step_uploads,
                     demo.step_log, demo.summary_of_uploads):
            step()
    except Exception as error:  # a broken world or server: report, don't hide
        demo.failures.append(f"{demo.step_label}: {type(error).__name__}: {error}")
    finally:
        demo.close()
        if not args.workdir:
            shutil.rmtree(workdir, ignore_errors=True)
    demo.say()
    if demo.failures:
        demo.say(f"demo: FAILED ({plural(len(demo.failures), 'unexpected outcome')}):")
        for failure in demo.failures:
            demo.say(f"  {failure}")
        return 1
    demo.say("demo: every step turned out as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
