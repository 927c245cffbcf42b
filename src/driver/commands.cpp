#include "driver/commands.h"

#include <cstdio>

#include "base/library_memory.h"
#include "base/server_link.h"
#include "base/status.h"
#include "driver/command_line.h"
#include "driver/command_table.h"
#include "driver/outcomes.h"
#include "transport/cert_check.h"
#include "unit/mac_address.h"
#include "unit/sent_input.h"
#include "unit/state_files.h"
#include "unit/unit_lock.h"

namespace halvorpin {
namespace {

// The run's lock is taken in the unit's own state directory only. Without
// one the unit is not enrolled, which the flows report; enrollment takes the
// lock once it has made the directory.
Status take_unit_lock(const Command& command, ServerLink* link) {
  if (!state_dir_trusted()) return {};
  return lock_unit(command.lock, kLockWaitSeconds, link->run_lock);
}

// The upload input: what a killed upload left goes back first, and the
// input is opened only once no other upload of it runs; while that cannot
// be finished nothing newer is read. A link, a FIFO, a device or a file with
// a second name is no input: it could point anywhere or block the run.
Status open_input(const Command& command, const ServerLink& link, FilePtr& input) {
  if (command.input == nullptr) return {};
  if (link.run_lock.valid() && !settle_sent_input(command.input)) {
    return Status(Code::kHandBackUnfinished, command.input);
  }
  return open_upload_input(command.input, input);
}

Status run(const Command& command, ServerLink* link) {
  Status status = take_unit_lock(command, link);
  FilePtr input;
  if (status.ok()) status = open_input(command, *link, input);
  if (status.ok() && command.connects_first) status = open_checked_connection(link);
  return status.ok() ? command.flow(link, input.get(), command.encrypted) : status;
}

}  // namespace

int run_command_line(int argc, const char* const* argv) {
  CommandLine command_line;
  if (!parse_command_line(argc, argv, command_line)) {
    write_full_usage(stderr);
    return 1;
  }
  ServerLink link;
  split_url(command_line.url, link.host, link.port);
  const char letter = command_line.letter();
  Status status = getmac("eth0", link.mac, sizeof link.mac);
  if (!status.ok()) return report(letter, status);
  read_timeouts_from_environment(g_timeouts);
  const Command* command = find_command(letter);
  if (command == nullptr) {
    write_short_usage(stderr);
    return 0;
  }
  status = run(*command, &link);
  // A failure the library's want of memory caused says so (library_memory.h).
  if (!status.ok() && library_memory_ran_out()) status = Status(Code::kOutOfMemory);
  return report(letter, status);
}

}  // namespace halvorpin
