#include "driver/commands.h"

#include <cstdio>

#include "base/paths.h"
#include "base/server_link.h"
#include "driver/command_line.h"
#include "protocol/update_flows.h"
#include "protocol/upload_flows.h"
#include "transport/cert_check.h"
#include "transport/connection.h"
#include "transport/fatal.h"
#include "unit/file_io.h"
#include "unit/mac_address.h"
#include "unit/sent_input.h"
#include "unit/state_files.h"
#include "unit/unit_lock.h"

namespace halvorpin {
namespace {

const char* input_path_for(char letter) {
  switch (letter) {
    case 'l':
    case 'L':
      return kLogPath;
    case 's':
    case 'S':
      return kResultsPath;
    default:
      return nullptr;
  }
}

// Runs that share files take turns: the package commands share one lock,
// each upload input another. Null for commands that need none.
const char* lock_path_for(char letter) {
  switch (letter) {
    case 'a':
    case 'v':
    case 'p':
      return kUpdateLockPath;
    case 's':
    case 'S':
      return kResultsLockPath;
    case 'l':
    case 'L':
      return kLogLockPath;
    default:
      return nullptr;
  }
}

// The lock is taken in the unit's own state directory only. Without one the
// unit is not enrolled, which the flows report; enrollment takes the lock
// once it has made the directory.
bool take_unit_lock(char letter, ServerLink* link) {
  const char* path = lock_path_for(letter);
  if (path == nullptr || !state_dir_trusted()) return true;
  link->run_lock = lock_unit(path, kLockWaitSeconds);
  return link->run_lock.valid();
}

bool connects_at_once(char letter) {
  return letter == 'a' || letter == 'v' || letter == 'p' || letter == 'l' || letter == 'L';
}

int dispatch(char letter, ServerLink* link, FILE* input) {
  if (connects_at_once(letter) && !open_checked_connection(link)) return 1;
  switch (letter) {
    case 'a':
      return run_activation(link);
    case 'v':
      return run_version_update(link);
    case 'p':
      return run_package_request(link);
    case 's':
    case 'S':
      return run_results_upload(link, input, letter == 'S');
    case 'l':
    case 'L':
      return run_log_upload(link, input, letter == 'L');
    default:
      write_short_usage(stderr);
      return 0;
  }
}

int start_and_dispatch(int argc, const char* const* argv) {
  CommandLine command_line;
  if (!parse_command_line(argc, argv, command_line)) {
    write_full_usage(stderr);
    return 1;
  }
  ServerLink link;
  split_url(command_line.url, link.host, link.port);

  const char letter = command_line.letter();
  if (getmac("eth0", link.mac, sizeof link.mac) == -1) {
    std::fputs("Unable to get MAC\n", stderr);
    return 1;
  }
  read_timeouts_from_environment(g_timeouts);
  if (!take_unit_lock(letter, &link)) return 1;
  FilePtr input;
  if (const char* path = input_path_for(letter)) {
    // What a killed upload left goes back first; the input is opened only
    // now that no other upload of it runs.
    if (link.run_lock.valid()) settle_sent_input(path);
    // A link, a FIFO, a device or a file with a second name is no input: it
    // could point anywhere or block the run.
    const UploadInput opened = open_upload_input(path, input);
    if (opened == UploadInput::kNotPlainFile) {
      std::fprintf(stderr, "Not uploading %s: not a regular file with a single link\n", path);
    }
    if (opened != UploadInput::kReady) return 1;
  }
  return dispatch(letter, &link, input.get());
}

}  // namespace

int run_command_line(int argc, const char* const* argv) { return start_and_dispatch(argc, argv); }

}  // namespace halvorpin
