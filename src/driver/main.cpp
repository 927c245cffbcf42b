#include <openssl/crypto.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>

#include "base/library_memory.h"
#include "driver/commands.h"

int main(int argc, char** argv) {
  halvorpin::watch_library_memory();
  // Cron's umask is nobody's choice: neither what the client makes nor what
  // the package's start script makes as root may be writable by others.
  (void)umask(022);
  // A server that closes early must surface as a write error, not kill the run.
  std::signal(SIGPIPE, SIG_IGN);
  // The run ends with the process: the TLS library's tables need no tearing
  // down at exit, which would touch code and memory for nothing (a twentieth
  // of an up-to-date run's instructions).
  (void)OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
  int status = halvorpin::run_command_line(argc, argv);
  std::fflush(stdout);
  return status;
}
