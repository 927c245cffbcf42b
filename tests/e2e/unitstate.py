"""What the end-to-end cases share about a unit and the collection server it
talks to: test keys, the state files an enrollment leaves (written directly,
so that a case can start from an enrolled unit), packages published where the
reference server serves them, what an installed package looks like, and the
server's record of requests.

Plain functions without pytest. What concerns only the reference server
(COLLECTOR, publish, received) is the lab kit's (lab/sandbox.py, which the
demo uses too); the cases find it here all the same."""

import io
import os
import stat
import tarfile

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa

from sandbox import COLLECTOR, DEFAULT_MAC_TEXT, publish, received

# The lab kit's, offered to the cases from here with the rest.
__all__ = ["COLLECTOR", "publish", "received"]

UNIT_ID = "U" + DEFAULT_MAC_TEXT      # the reference server's default identifier
STATE_DIR = "/tmp/tolvenra"
STATE_FILES = ["unitid", "unitprivatekey", "unitpublickey", "version", "zorpublickey"]
LOCK_FILES = {"update.lock", "output.lock", "debug.out.lock", "start.lock"}  # runs take turns
TAR_LIST = b"kelvoz/\nkelvoz/schedulerconfig\nkelvoz/runonce.sh\n"  # tar -v on stdout
START_PENDING = f"{STATE_DIR}/start.pending"
# Lines the client prints (README, the message table).
NO_KEYS = b"Unable to load keys and/or unit id"
REFUSED = b"Error establishing connection\n"
NO_HANDSHAKE = b"Unable to create HttpSocket\n"
NOT_VERIFIED = b"Certificate doesn't verify\n"      # library error lines may follow
NAME_MISMATCH = b"Common name doesn't match host name\n"


# ---- keys -------------------------------------------------------------------

_keys = {}


def rsa_key(name, bits=1024):
    """One key per name and size for the whole test session: keys are slow
    to make, and every world is fresh anyway. 1024 bits, as units make them."""
    if (name, bits) not in _keys:
        _keys[name, bits] = rsa.generate_private_key(public_exponent=65537, key_size=bits)
    return _keys[name, bits]


def unit_key():
    return rsa_key("unit")


def private_pem(key):
    return key.private_bytes(serialization.Encoding.PEM,
                             serialization.PrivateFormat.TraditionalOpenSSL,
                             serialization.NoEncryption())


def public_pem(public_key):
    return public_key.public_bytes(serialization.Encoding.PEM,
                                   serialization.PublicFormat.PKCS1)


def server_private_key(server):
    """The reference server's own key (made when it first started)."""
    return serialization.load_pem_private_key(
        (server.state / "server_private.pem").read_bytes(), None)


def server_public_pem(server):
    """The server's public key as an enrolled unit keeps it (zorpublickey)."""
    return public_pem(server_private_key(server).public_key())


# ---- an enrolled unit, without running the enrollment -------------------------

def seed_unit(box, server_public, *, unit_id=UNIT_ID, version=None, leave_out=()):
    """Writes the unit's state files as enrollment leaves them: its key pair
    (unit_key(), the private half with mode 0600), the server's public key
    (server_public, PEM bytes) and its identifier (no line end); with a
    version, also the version file of an installed package. Files named in
    leave_out are not written."""
    key = unit_key()
    files = {
        "unitprivatekey": private_pem(key),
        "unitpublickey": public_pem(key.public_key()),
        "zorpublickey": server_public,
        "unitid": unit_id.encode(),
    }
    if version is not None:
        files["version"] = f"{version}\n".encode()
    for name, data in files.items():
        if name not in leave_out:
            box.write(f"{STATE_DIR}/{name}", data,
                      mode=0o600 if name == "unitprivatekey" else None)


def set_state_file(box, name, content):
    """Replaces the state file `name` with content (bytes or text), or
    removes it when content is None."""
    if content is None:
        box.remove(f"{STATE_DIR}/{name}")
    else:
        box.write(f"{STATE_DIR}/{name}", content)


def register_unit(server, unit_id=UNIT_ID):
    """Files the unit's public key with the server, as enrollment does."""
    (server.state / "units" / f"{unit_id}.pem").write_bytes(public_pem(unit_key().public_key()))


def enroll(box, server, *, unit_id=UNIT_ID, version=None):
    """A unit in `box` enrolled with `server`: its state files, holding the
    server's real key, and the server's copy of the unit's key."""
    seed_unit(box, server_public_pem(server), unit_id=unit_id, version=version)
    register_unit(server, unit_id)


# ---- packages and what an installed one leaves --------------------------------

# An installed package "0.9", so that "untouched" can be checked byte for byte.
OLD_PACKAGE = {
    "/tmp/kelvoz/schedulerconfig": b"# old schedule\n",
    "/tmp/kelvoz/runonce.sh": b"#!/bin/sh\necho old > /tmp/kelvoz/started\n",
    "/tmp/kelvoz/started": b"0.9\n",
    "/tmp/schedulerconfig": b"# old schedule\n",
    "/tmp/tolvenra/version": b"0.9\n",
}


def install_old_package(box):
    for path, content in OLD_PACKAGE.items():
        box.write(path, content, mode=0o755 if path.endswith(".sh") else 0o644)


def package_files(data):
    with tarfile.open(fileobj=io.BytesIO(data), mode="r:gz") as tar:
        return {m.name: tar.extractfile(m).read() for m in tar.getmembers() if m.isfile()}


def tree_of(data):
    """The files a package archive puts in /tmp/kelvoz, by name."""
    return {name[len("kelvoz/"):]: content for name, content in package_files(data).items()}


OLD_TREE = {path[len("/tmp/kelvoz/"):]: data for path, data in OLD_PACKAGE.items()
            if path.startswith("/tmp/kelvoz/")}


def package_at_its_place(box):
    """The files at /tmp/kelvoz, a directory of root's; None when the name is free."""
    if not box.exists("/tmp/kelvoz"):
        return None
    st = os.lstat(box.path("/tmp/kelvoz"))
    assert stat.S_ISDIR(st.st_mode) and st.st_uid == 0, "/tmp/kelvoz is not root's directory"
    return {name: box.read(f"/tmp/kelvoz/{name}") for name in box.listdir("/tmp/kelvoz")}


def assert_installed(box, data, version_line, started):
    files = package_files(data)
    assert box.listdir("/tmp/kelvoz") == ["runonce.sh", "schedulerconfig", "started"]
    assert box.read("/tmp/kelvoz/schedulerconfig") == files["kelvoz/schedulerconfig"]
    assert box.read("/tmp/kelvoz/runonce.sh") == files["kelvoz/runonce.sh"]
    assert box.read("/tmp/schedulerconfig") == files["kelvoz/schedulerconfig"]
    assert box.read("/tmp/tolvenra/version") == version_line
    # Written by the package's runonce.sh: the package was started.
    assert box.read("/tmp/kelvoz/started") == started


def state_files(box):
    """The state directory's files, leaving out the lock files runs take turns
    on."""
    if not box.exists(STATE_DIR):
        return []
    return [name for name in box.listdir(STATE_DIR) if name not in LOCK_FILES]


def tmp_entries(box):
    return set(box.listdir("/tmp"))


# ---- the server's record, and the update's requests as the client sends them --

def raw_requests(server):
    return [r["raw"] for r in server.requests()]


def targets(server):
    return [r["target"] for r in server.requests()]


def version_request(current="", unit_id=UNIT_ID):
    return (f"GET /version?current={current} HTTP/1.1\r\nHost: {COLLECTOR}\r\n"
            f"X-Unit-ID: {unit_id}\r\n\r\n").encode()


def package_request(path="/packages/package.tar.gz", host=COLLECTOR, unit_id=UNIT_ID):
    return (f"GET {path} HTTP/1.1\r\nHost: {host}\r\n"
            f"X-Encryption-Desired: false\r\nX-Unit-ID: {unit_id}\r\n\r\n").encode()
