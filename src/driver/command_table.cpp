#include "driver/command_table.h"

#include "base/paths.h"
#include "protocol/update_flows.h"
#include "protocol/upload_flows.h"

namespace halvorpin {
namespace {

// The flows of the package commands need no input.
Status activation(ServerLink* link, FILE*, bool) { return run_activation(link); }
Status version_update(ServerLink* link, FILE*, bool) { return run_version_update(link); }
Status package_request(ServerLink* link, FILE*, bool) { return run_package_request(link); }

const Command kCommands[] = {
    // Full usage line, short usage line, input, lock, flow, letter, connects first, encrypted.
    {"\ta : activation \n", "\ta : activation \n", nullptr, kUpdateLockPath, activation, 'a', true,
     false},
    {"\tv : version request\n", "\tv : version request\n", nullptr, kUpdateLockPath, version_update,
     'v', true, false},
    {"\tp : package request\n", "\tp : package request\n", nullptr, kUpdateLockPath,
     package_request, 'p', true, false},
    {"\ts : submit results data unencrypted\n", "\ts : submit results data\n", kResultsPath,
     kResultsLockPath, run_results_upload, 's', false, false},
    {"\tS : submit results data encrypted\n", nullptr, kResultsPath, kResultsLockPath,
     run_results_upload, 'S', false, true},
    {"\tl : submit log data unencrypted\n", "\tl : submit log data unencrypted\n", kLogPath,
     kLogLockPath, run_log_upload, 'l', true, false},
    {"\tL : submit log data encrypted\n", "\tL : submit log data encrypted\n", kLogPath,
     kLogLockPath, run_log_upload, 'L', true, true},
};

const char kUsageHead[] =
    "halvorpin : Version 1.10\nWrong number of arguments: Usage is : \n'halvorpin arg1 arg2'\n"
    "arg1. https server URL\n"
    "arg2. Tests to execute after '-' symbol:\n";

}  // namespace

const Command* find_command(char letter) {
  for (const Command& command : kCommands) {
    if (command.letter == letter) return &command;
  }
  return nullptr;
}

void write_full_usage(FILE* out) {
  std::fputs(kUsageHead, out);
  for (const Command& command : kCommands) std::fputs(command.usage_line, out);
}

void write_short_usage(FILE* out) {
  std::fputs(kUsageHead, out);
  for (const Command& command : kCommands) {
    if (command.short_usage_line != nullptr) std::fputs(command.short_usage_line, out);
  }
}

}  // namespace halvorpin
