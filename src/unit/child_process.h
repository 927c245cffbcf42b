// Programs the client starts: the unit's tools (gzip, tar), the package's
// start script, and children that act for another user. Nothing from the
// network reaches a shell: every argument vector and command text here is
// fixed by the caller.
#pragma once

#include <sys/types.h>

namespace halvorpin {

// Where the unit's tools are looked up, and the PATH they run with, whatever
// PATH the client itself was started with.
inline constexpr const char* kToolPath = "/usr/sbin:/usr/bin:/sbin:/bin";

// Starts the tool argv[0], found in kToolPath, with `argv`, PATH set to
// kToolPath and the rest of the client's environment, standard input,
// output and error from the given descriptors (-1: inherited) and SIGPIPE
// at its default. Returns the child's pid, or -1 when it could not be
// started.
pid_t start_program(const char* const* argv, int stdin_fd, int stdout_fd, int stderr_fd = -1);

// Waits for `pid`. Returns its exit status, or -1 when it did not exit
// normally; `killed_by` (when given) receives the signal that ended it, or 0.
int wait_for_exit(pid_t pid, int* killed_by = nullptr);

// The same, until `deadline` (monotonic seconds): a child still running
// then is killed, and -1 returned.
int wait_for_exit_until(pid_t pid, double deadline);

// Starts `command` with /bin/sh -c from a clean slate: working directory
// "/", an empty signal mask and every signal at its default disposition; it
// inherits the client's environment and the descriptors that are not
// close-on-exec. The shell runs under a keeper process that waits for it
// and holds the client's descriptors but its standard streams (a lock among
// them) until it ends, so a lock taken for the script's run outlasts the
// client. Returns the keeper's pid, which exits with the shell's status, or
// -1.
pid_t start_shell_command(const char* command);

// Runs work(arg) in a child process with the credentials of `uid` and
// `gid` and no supplementary groups, so that it can do nothing that user
// could not. The child exits 0 when work returned true. Returns its pid, or
// -1 (the credentials could not be dropped: the child exits 1).
pid_t start_as_user(uid_t uid, gid_t gid, bool (*work)(void* arg), void* arg);

}  // namespace halvorpin
