#include <csignal>
#include <cstdio>

#include "driver/commands.h"

int main(int argc, char** argv) {
  // A server that closes early must surface as a write error, not kill the run.
  std::signal(SIGPIPE, SIG_IGN);
  int status = halvorpin::run_command_line(argc, argv);
  std::fflush(stdout);
  return status;
}
