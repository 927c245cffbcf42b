#include "unit/child_process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace halvorpin {
namespace {

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

}  // namespace

pid_t start_program(const char* const* argv, int stdin_fd, int stdout_fd, int stderr_fd) {
  std::fflush(nullptr);  // keep our own output ahead of the child's
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
  pid_t pid = -1;
  // posix_spawnp takes non-const pointers for historical reasons only.
  if (!ready || ::posix_spawnp(&pid, argv[0], setup.actions(), setup.attributes(),
                               const_cast<char* const*>(argv), environ) != 0) {
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

int run_program(const char* const* argv, int stdin_fd, int stdout_fd) {
  pid_t pid = start_program(argv, stdin_fd, stdout_fd);
  return pid < 0 ? -1 : wait_for_exit(pid);
}

pid_t start_shell_command(const char* command) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid != 0) return pid;  // the parent, or -1
  // The child: only calls that are safe after fork in a one-thread process.
  if (::chdir("/") != 0) ::_exit(127);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    (void)std::signal(signal_number, SIG_DFL);  // fails harmlessly for KILL and STOP
  }
  sigset_t none;
  sigemptyset(&none);
  (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
  ::_exit(127);
}

}  // namespace halvorpin
