"""Failing a program's C library calls one at a time: lab/faults.c, a preload
built here with the machine's gcc, counts the calls of the process it is
loaded into by kind and fails the Nth call of one kind with a chosen errno
(every other call, and the later ones of that kind, pass). Made for the
inside of a sandbox world:

    preload = build(directory)                   # once; cached by its source
    record = new_record(directory / "r")         # one per run
    box.run(command(preload, record, argv, Fault("rename", 3, errno.EIO)))
    read_record(record)                          # counts, and the fault that fired

glibc only: the preload takes memory from glibc's allocator itself and marks
a failed stream as glibc does."""

import errno
import hashlib
import struct
import subprocess
from dataclasses import dataclass
from pathlib import Path

SOURCE = Path(__file__).resolve().parent / "faults.c"

# In the order of faults.c's enum kind.
KINDS = ["open", "read", "write", "fsync", "rename", "link", "unlink", "mkdir", "chmod",
         "truncate", "flock", "malloc", "fork", "pipe", "socket", "connect", "poll", "sockio"]

# What each kind fails with, plausibly: a full or failing disk, a descriptor
# table full, memory gone, an interrupted call where a call may wait
# (EINTR), a call that would block (EAGAIN).
ERRNOS = {
    "open": [errno.EIO, errno.EACCES, errno.EMFILE],
    "read": [errno.EIO],
    "write": [errno.ENOSPC, errno.EIO],
    "fsync": [errno.EIO, errno.ENOSPC],
    "rename": [errno.EIO, errno.ENOSPC],
    "link": [errno.EIO, errno.ENOSPC],
    "unlink": [errno.EIO, errno.EACCES],
    "mkdir": [errno.ENOSPC, errno.EIO],
    "chmod": [errno.EIO, errno.EPERM],
    "truncate": [errno.EIO],
    "flock": [errno.EINTR, errno.ENOLCK],
    "malloc": [errno.ENOMEM],
    "fork": [errno.EAGAIN, errno.ENOMEM],
    "pipe": [errno.EMFILE],
    "socket": [errno.EMFILE],
    "connect": [errno.EINTR, errno.ENETUNREACH],
    "poll": [errno.EINTR, errno.ENOMEM],
    "sockio": [errno.EINTR, errno.EAGAIN, errno.ECONNRESET],
}

# struct record of faults.c: magic, fired, the counts, fired_errno, pad,
# fired_offset, fired_call[32], fired_object[200].
_LAYOUT = struct.Struct("=II%dQiiQ32s200s" % len(KINDS))
RECORD_SIZE = _LAYOUT.size
_MAGIC = 0x746C7566


@dataclass(frozen=True)
class Fault:
    """The Nth call of `kind` fails with `error`; with `path`, the Nth of
    those that name it."""
    kind: str
    nth: int
    error: int
    path: str = None

    def __str__(self):
        named = f" naming {self.path}" if self.path else ""
        return f"{self.kind} #{self.nth}{named} {errno.errorcode[self.error]}"


@dataclass
class Record:
    loaded: bool        # the preload ran in the process
    counts: dict        # kind: calls counted
    fired: bool         # the fault was injected
    call: str = ""      # the function that failed
    where: str = ""     # "<object>+0x<offset>" of its caller

    def __str__(self):
        return f"{self.call} from {self.where}" if self.fired else "no fault injected"


def build(directory):
    """The preload, compiled into `directory` unless a build of the same
    source is there; returns its path."""
    source = SOURCE.read_bytes()
    digest = hashlib.sha256(source).hexdigest()[:12]
    target = Path(directory) / f"faults-{digest}.so"
    if not target.exists():
        Path(directory).mkdir(parents=True, exist_ok=True)
        partial = target.with_suffix(".part")
        subprocess.run(["gcc", "-std=gnu11", "-Wall", "-Wextra", "-Werror", "-O2", "-shared",
                        "-fPIC", "-o", str(partial), str(SOURCE), "-ldl"], check=True)
        partial.replace(target)
    return target


def new_record(path):
    """An empty record file for one run at `path` (replaced when there)."""
    Path(path).write_bytes(bytes(RECORD_SIZE))
    return Path(path)


def read_record(path):
    fields = _LAYOUT.unpack(Path(path).read_bytes()[:RECORD_SIZE])
    magic, fired = fields[0], fields[1]
    counts = dict(zip(KINDS, fields[2:2 + len(KINDS)]))
    _error, _pad, offset, call, where = fields[2 + len(KINDS):]
    text = lambda raw: raw.split(b"\0", 1)[0].decode(errors="replace")  # noqa: E731
    return Record(loaded=magic == _MAGIC, counts=counts, fired=bool(fired), call=text(call),
                  where=f"{text(where)}+{offset:#x}" if fired else "")


def environment(preload, record, fault=None):
    """The variables that load the preload into a program (through `env`,
    so that the program itself, not a launcher before it, is the one
    counted)."""
    settings = {"LD_PRELOAD": str(preload), "HALVORPIN_FAULT_RECORD": str(record)}
    if fault is not None:
        settings["HALVORPIN_FAULT"] = ":".join(
            map(str, [fault.kind, fault.nth, fault.error] + ([fault.path] if fault.path else [])))
    return settings


def command(preload, record, argv, fault=None):
    """argv run with the preload: counting only, or failing `fault`."""
    settings = environment(preload, record, fault)
    return ["/usr/bin/env", *(f"{k}={v}" for k, v in settings.items()), *map(str, argv)]


def faults_of(kind, nth):
    """The fault for the Nth call of `kind`: its errnos take turns over N."""
    choices = ERRNOS[kind]
    return Fault(kind, nth, choices[nth % len(choices)])
