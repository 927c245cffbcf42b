"""Runs a command and kills it with SIGKILL right after the Nth file event
it causes in the directories watched (inotify, not recursive): a create, a
write closed, a rename, a removal. Meant for the inside of a sandbox world:

    killer.py [--after N] [--watch DIR]... [--append FILE] [--on EVENT --do SHELL]
              -- COMMAND...

To put the kill right after the event, not some steps later, the command runs
on one CPU with the idle scheduling class while this watcher runs there in a
real-time class: the event wakes the watcher, which takes the CPU from the
command before the command's next step. Children the command leaves behind
are waited for (this process is their subreaper), so the world is quiet when
it returns.

With --append, each event also appends a line "late N" to FILE as a writer
of the unit's measurement package would (O_APPEND, one write, close), while
the command is held: lines written at every step of the command's work.

With --on EVENT --do COMMAND (EVENT as printed, e.g. "MOVED_FROM
/tmp/output"), the first such event runs the shell command COMMAND, as root,
while the command is held: another process acting at exactly that step.
Without --after the command is not killed.

Prints one JSON object: the events seen ("MASK name"), whether the command
was killed, its exit status otherwise, and the lines appended."""

import argparse
import ctypes
import json
import os
import select
import signal
import struct
import subprocess
import sys

IN_CLOSE_WRITE = 0x008
IN_MOVED_FROM = 0x040
IN_MOVED_TO = 0x080
IN_CREATE = 0x100
IN_DELETE = 0x200
IN_ISDIR = 0x40000000
EVENTS = IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE
NAMES = {IN_CLOSE_WRITE: "CLOSE_WRITE", IN_MOVED_FROM: "MOVED_FROM",
         IN_MOVED_TO: "MOVED_TO", IN_CREATE: "CREATE", IN_DELETE: "DELETE"}
PR_SET_CHILD_SUBREAPER = 36
CPU = 0

libc = ctypes.CDLL(None, use_errno=True)


class Watcher:
    def __init__(self, dirs):
        self.fd = libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.dirs = {}
        for d in dirs:
            self.add(d)

    def add(self, path):
        wd = libc.inotify_add_watch(self.fd, path.encode(), EVENTS)
        if wd >= 0:
            self.dirs[wd] = path

    def read(self):
        """The events waiting, as (mask, directory, name)."""
        try:
            data = os.read(self.fd, 65536)
        except BlockingIOError:
            return []
        events, offset = [], 0
        while offset < len(data):
            wd, mask, _cookie, length = struct.unpack_from("iIII", data, offset)
            name = data[offset + 16:offset + 16 + length].rstrip(b"\0").decode(errors="replace")
            offset += 16 + length
            events.append((mask, self.dirs.get(wd, "?"), name))
        return events


def append_line(path, text):
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, text.encode())
    finally:
        os.close(fd)


def hold_as_idle():
    os.sched_setaffinity(0, {CPU})
    os.sched_setscheduler(0, os.SCHED_IDLE, os.sched_param(0))


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--after", type=int)
    parser.add_argument("--on")
    parser.add_argument("--do")
    parser.add_argument("--watch", action="append", default=[])
    parser.add_argument("--append")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command

    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl")
    os.sched_setaffinity(0, {CPU})
    os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))
    watcher = Watcher(args.watch)
    appended_name = os.path.basename(args.append) if args.append else None

    proc = subprocess.Popen(command, preexec_fn=hold_as_idle)
    seen, appended, killed = [], [], False
    while not killed and proc.poll() is None:
        select.select([watcher.fd], [], [], 0.05)
        for mask, directory, name in watcher.read():
            kind = mask & EVENTS
            # A watched directory made by the command is watched from now on.
            if kind == IN_CREATE and mask & IN_ISDIR and os.path.join(directory, name) in \
                    args.watch:
                watcher.add(os.path.join(directory, name))
            # The appends' own events are not the command's.
            if name == appended_name and kind in (IN_CREATE, IN_CLOSE_WRITE) and \
                    os.path.dirname(args.append) == directory:
                continue
            seen.append(f"{NAMES.get(kind, hex(kind))} {os.path.join(directory, name)}")
            if args.append:
                line = f"late {len(seen)}\n"
                append_line(args.append, line)
                appended.append(line)
            if args.on is not None and seen[-1] == args.on:
                args.on = None   # the first such event only
                subprocess.run(["/bin/sh", "-c", args.do], check=True)
            if len(seen) == args.after:
                proc.send_signal(signal.SIGKILL)
                killed = True
                break
    status = proc.wait()
    # Whatever the command started (tar, gzip, a package's start script)
    # ends before the world is looked at.
    while True:
        try:
            os.wait()
        except ChildProcessError:
            break
    # On a line of its own, whatever the command printed last.
    print("\n" + json.dumps({"events": seen, "killed": killed,
                      "status": None if killed else status, "appended": appended}))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
