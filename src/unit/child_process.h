// Programs the client starts: the unit's tools (gzip, tar) and the package's
// start script. Nothing from the network reaches a shell: every argument
// vector and command text here is fixed by the caller.
#pragma once

#include <sys/types.h>

namespace halvorpin {

// Starts argv[0] (found on PATH) with `argv`, standard input, output and
// error from the given descriptors (-1: inherited) and SIGPIPE at its
// default. Returns the child's pid, or -1 when it could not be started.
pid_t start_program(const char* const* argv, int stdin_fd, int stdout_fd, int stderr_fd = -1);

// Waits for `pid`. Returns its exit status, or -1 when it did not exit
// normally; `killed_by` (when given) receives the signal that ended it, or 0.
int wait_for_exit(pid_t pid, int* killed_by = nullptr);

// start_program and wait_for_exit in one.
int run_program(const char* const* argv, int stdin_fd, int stdout_fd);

// Starts `command` with /bin/sh -c from a clean slate: working directory
// "/", an empty signal mask and every signal at its default disposition; it
// inherits the environment and the descriptors that are not close-on-exec.
// Returns the pid, or -1.
pid_t start_shell_command(const char* command);

}  // namespace halvorpin
