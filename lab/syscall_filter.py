#!/usr/bin/python3
"""Runs a command as on an older kernel, by a seccomp filter on its system
calls (inherited by everything it starts):

    syscall_filter.py --renameat2 enosys|einval -- COMMAND...

--renameat2 enosys   renameat2 fails with ENOSYS, whatever its flags: a
                     kernel older than 3.15, which lacks the call.
--renameat2 einval   renameat2 with any flag (RENAME_NOREPLACE,
                     RENAME_EXCHANGE, ...) fails with EINVAL; without flags it
                     renames: a kernel or file system without the flags.

rename and renameat are untouched in both. An LD_PRELOAD shim would miss a
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


def renameat2_filter(mode):
    action = {"enosys": errno.ENOSYS, "einval": errno.EINVAL}[mode]
    # Every other call goes on as usual. No "no new privileges": a command
    # run by root keeps what exec would give it.
    syscalls = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
    syscalls.set_attr(seccomp.Attr.CTL_NNP, 0)
    if mode == "enosys":
        syscalls.add_rule(seccomp.ERRNO(action), "renameat2")
    else:
        # The flags are an unsigned int: any of its 32 bits set is refused,
        # whatever the upper half of the register holds.
        for bit in range(32):
            syscalls.add_rule(seccomp.ERRNO(action), "renameat2",
                              seccomp.Arg(4, seccomp.MASKED_EQ, 1 << bit, 1 << bit))
    return syscalls


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--renameat2", choices=MODES, required=True)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command given")
    renameat2_filter(args.renameat2).load()
    try:
        os.execvp(command[0], command)
    except OSError as error:
        print(f"syscall_filter.py: {command[0]}: {error.strerror}", file=sys.stderr)
        return 127


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
