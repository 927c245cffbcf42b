#include "unit/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "base/monotonic.h"

namespace halvorpin {
namespace {

constexpr long kPollNanoseconds = 10L * 1000 * 1000;

// The first executable "<dir>/<name>" of kToolPath; empty when none is.
std::string find_tool(const char* name) {
  const char* dir = kToolPath;
  while (*dir != '\0') {
    const std::size_t length = std::strcspn(dir, ":");
    std::string path = std::string(dir, length) + "/" + name;
    if (::access(path.c_str(), X_OK) == 0) return path;
    dir += length;
    if (*dir == ':') ++dir;
  }
  return {};
}

// In a child right after fork: the state a started program should find.
void reset_signals() {
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    (void)std::signal(signal_number, SIG_DFL);  // fails harmlessly for KILL and STOP
  }
  sigset_t none;
  sigemptyset(&none);
  (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
}

}  // namespace

pid_t start_program(const char* const* argv, int stdin_fd, int stdout_fd, int stderr_fd) {
  std::fflush(nullptr);  // keep our own output ahead of the child's
  const std::string program = find_tool(argv[0]);
  if (program.empty()) return -1;
  const pid_t pid = ::fork();
  if (pid != 0) return pid;  // the parent, or -1
  // The child, of a one-thread process: the given streams, PATH set to the
  // tools' own, and SIGPIPE at its default (the client ignores it for its
  // sockets), so a tool whose reader went away ends instead of writing on.
  const int streams[] = {stdin_fd, stdout_fd, stderr_fd};
  for (int stream = 0; stream < 3; ++stream) {
    if (streams[stream] >= 0 && ::dup2(streams[stream], stream) < 0) ::_exit(127);
  }
  (void)std::signal(SIGPIPE, SIG_DFL);
  if (::setenv("PATH", kToolPath, 1) != 0) ::_exit(127);
  // execv takes non-const pointers for historical reasons only.
  ::execv(program.c_str(), const_cast<char* const*>(argv));
  ::_exit(127);
}

int wait_for_exit(pid_t pid, int* killed_by) {
  if (killed_by != nullptr) *killed_by = 0;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFSIGNALED(status) && killed_by != nullptr) *killed_by = WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int wait_for_exit_until(pid_t pid, double deadline) {
  for (;;) {
    int status = 0;
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (ended < 0 && errno != EINTR) return -1;
    if (monotonic_seconds() >= deadline) {
      (void)::kill(pid, SIGKILL);
      (void)wait_for_exit(pid);
      return -1;
    }
    timespec pause{0, kPollNanoseconds};
    (void)::nanosleep(&pause, nullptr);
  }
}

pid_t start_shell_command(const char* command) {
  std::fflush(nullptr);
  const pid_t keeper = ::fork();
  if (keeper != 0) return keeper;  // the parent, or -1
  // The keeper and the shell: only calls that are safe after fork in a
  // one-thread process.
  const pid_t shell = ::fork();
  if (shell < 0) ::_exit(127);
  if (shell == 0) {
    if (::chdir("/") != 0) ::_exit(127);
    reset_signals();
    ::execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // The keeper's own standard streams are no one's: a caller reading the
  // client's output sees its end when the client ends.
  const int null_fd = ::open("/dev/null", O_RDWR);
  for (int stream = 0; null_fd >= 0 && stream <= 2; ++stream) (void)::dup2(null_fd, stream);
  const int status = wait_for_exit(shell);
  ::_exit(status < 0 ? 127 : status);
}

pid_t start_as_user(uid_t uid, gid_t gid, bool (*work)(void* arg), void* arg) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // Groups first, then the group, then the user: each step needs the
  // privilege the next one gives up.
  if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0 ||
      ::getuid() != uid || ::geteuid() != uid) {
    ::_exit(1);
  }
  ::_exit(work(arg) ? 0 : 1);
}

}  // namespace halvorpin
