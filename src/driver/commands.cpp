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
#include "unit/mac_address.h"

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

bool connects_at_once(char letter) {
  return letter == 'a' || letter == 'v' || letter == 'p' || letter == 'l' || letter == 'L';
}

int dispatch(char letter, ServerLink* link, FILE* input) {
  if (connects_at_once(letter)) open_checked_connection(link);
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
  FilePtr input;
  if (const char* path = input_path_for(letter)) {
    input.reset(std::fopen(path, "r"));
    if (!input) return 1;
  }
  if (getmac("eth0", link.mac, sizeof link.mac) == -1) {
    std::fputs("Unable to get MAC\n", stderr);
    return 1;
  }
  read_timeouts_from_environment(g_timeouts);
  return dispatch(letter, &link, input.get());
}

}  // namespace

int run_command_line(int argc, const char* const* argv) {
  try {
    return start_and_dispatch(argc, argv);
  } catch (const RunAbort& abort) {
    return abort.status();
  }
}

}  // namespace halvorpin
