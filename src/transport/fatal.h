// Fatal exits. Only main ends the process: these write their message and
// throw RunAbort, which unwinds to main with the exit status.
#pragma once

#include <stdexcept>

namespace halvorpin {

class RunAbort : public std::exception {
 public:
  explicit RunAbort(int status) : status_(status) {}
  int status() const { return status_; }
  const char* what() const noexcept override { return "run aborted"; }

 private:
  int status_;
};

// "%s\n" to standard error, then end the run with status 1.
[[noreturn]] void err_exit(const char* message);
// The same through the TLS library's error stream, followed by its queued errors.
[[noreturn]] void berr_exit(const char* message);

}  // namespace halvorpin
