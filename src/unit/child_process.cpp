#include "unit/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/monotonic.h"

namespace halvorpin {
namespace {

constexpr long kPollNanoseconds = 10L * 1000 * 1000;

// Owns the two attribute objects of one posix_spawn call.
class SpawnSetup {
 public:
  SpawnSetup() {
    actions_ok_ = ::posix_spawn_file_actions_init(&actions_) == 0;
    attributes_ok_ = ::posix_spawnattr_init(&attributes_) == 0;
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    if (actions_ok_) (void)::posix_spawn_file_actions_destroy(&actions_);
    if (attributes_ok_) (void)::posix_spawnattr_destroy(&attributes_);
  }
  bool ready() const { return actions_ok_ && attributes_ok_; }
  posix_spawn_file_actions_t* actions() { return &actions_; }
  posix_spawnattr_t* attributes() { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attributes_{};
  bool actions_ok_ = false;
  bool attributes_ok_ = false;
};

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

// The client's environment with PATH replaced by the tools' own.
class ToolEnvironment {
 public:
  ToolEnvironment() : path_(std::string("PATH=") + kToolPath) {
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      if (std::strncmp(*entry, "PATH=", 5) != 0) entries_.push_back(*entry);
    }
    entries_.push_back(path_.data());
    entries_.push_back(nullptr);
  }
  char* const* get() { return entries_.data(); }

 private:
  std::string path_;
  std::vector<char*> entries_;
};

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
  SpawnSetup setup;
  bool ready = setup.ready();
  if (ready && stdin_fd >= 0) {
    ready = ::posix_spawn_file_actions_adddup2(setup.actions(), stdin_fd, 0) == 0;
  }
  if (ready && stdout_fd >= 0) {
    ready = ::posix_spawn_file_actions_adddup2(setup.actions(), stdout_fd, 1) == 0;
  }
  if (ready && stderr_fd >= 0) {
    ready = ::posix_spawn_file_actions_adddup2(setup.actions(), stderr_fd, 2) == 0;
  }
  // The client ignores SIGPIPE for its sockets; the child gets the default,
  // so a tool whose reader went away ends instead of writing on.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  ready = ready && ::posix_spawnattr_setsigdefault(setup.attributes(), &defaults) == 0 &&
          ::posix_spawnattr_setflags(setup.attributes(), POSIX_SPAWN_SETSIGDEF) == 0;
  ToolEnvironment environment;
  pid_t pid = -1;
  // posix_spawn takes non-const pointers for historical reasons only.
  if (!ready || ::posix_spawn(&pid, program.c_str(), setup.actions(), setup.attributes(),
                              const_cast<char* const*>(argv), environment.get()) != 0) {
    return -1;
  }
  return pid;
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
