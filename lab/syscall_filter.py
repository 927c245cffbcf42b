#!/usr/bin/python3
"""Runs a command as on an older kernel, by a seccomp filter on its system
calls (inherited by everything it starts):

    syscall_filter.py [--renameat2 enosys|einval] [--seek-holes einval] -- COMMAND...

--renameat2 enosys   renameat2 fails with ENOSYS, whatever its flags: a
                     kernel older than 3.15, which lacks the call.
--renameat2 einval   renameat2 with any flag (RENAME_NOREPLACE,
                     RENAME_EXCHANGE, ...) fails with EINVAL; without flags it
                     renames: a kernel or file system without the flags.
--seek-holes einval  lseek to SEEK_DATA or SEEK_HOLE fails with EINVAL: a
                     kernel older than 3.1, or a file system that reports no
                     holes in a sparse file.

rename, renameat and every other lseek are untouched. An LD_PRELOAD shim would miss a
program that makes the system call itself; the filter does not. The filter
is loaded in this process, which then becomes COMMAND (exec): a lab
`$HALVORPIN_RUNNER` for the client. Needs Debian's python3-seccomp.
"""

import argparse
import errno
import os
import sys

import seccomp

MODES = ("enosys", "einval")
SEEK_DATA, SEEK_HOLE = 3, 4


def syscall_filter(renameat2=None, seek_holes=None):
    # Every other call goes on as usual. No "no new privileges": a command
    # run by root keeps what exec would give it.
    syscalls = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
    syscalls.set_attr(seccomp.Attr.CTL_NNP, 0)
    if renameat2 == "enosys":
        syscalls.add_rule(seccomp.ERRNO(errno.ENOSYS), "renameat2")
    elif renameat2 == "einval":
        # The flags are an unsigned int: any of its 32 bits set is refused,
        # whatever the upper half of the register holds.
        for bit in range(32):
            syscalls.add_rule(seccomp.ERRNO(errno.EINVAL), "renameat2",
                              seccomp.Arg(4, seccomp.MASKED_EQ, 1 << bit, 1 << bit))
    if seek_holes == "einval":
        for whence in (SEEK_DATA, SEEK_HOLE):
            syscalls.add_rule(seccomp.ERRNO(errno.EINVAL), "lseek",
                              seccomp.Arg(2, seccomp.EQ, whence))
    return syscalls


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--renameat2", choices=MODES)
    parser.add_argument("--seek-holes", choices=("einval",))
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command given")
    syscall_filter(args.renameat2, args.seek_holes).load()
    try:
        os.execvp(command[0], command)
    except OSError as error:
        print(f"syscall_filter.py: {command[0]}: {error.strerror}", file=sys.stderr)
        return 127


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
