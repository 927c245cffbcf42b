#include "driver/command_table.h"

#include "base/paths.h"
#include "protocol/update_flows.h"
#include "protocol/upload_flows.h"

namespace halvorpin {
namespace {

const Command kCommands[] = {
    {'a', "\ta : activation \n", "\ta : activation \n", nullptr, kUpdateLockPath, true, false,
     [](ServerLink* link, FILE*, bool) { return run_activation(link); }},
    {'v', "\tv : version request\n", "\tv : version request\n", nullptr, kUpdateLockPath, true,
     false, [](ServerLink* link, FILE*, bool) { return run_version_update(link); }},
    {'p', "\tp : package request\n", "\tp : package request\n", nullptr, kUpdateLockPath, true,
     false, [](ServerLink* link, FILE*, bool) { return run_package_request(link); }},
    {'s', "\ts : submit results data unencrypted\n", "\ts : submit results data\n", kResultsPath,
     kResultsLockPath, false, false, run_results_upload},
    {'S', "\tS : submit results data encrypted\n", nullptr, kResultsPath, kResultsLockPath, false,
     true, run_results_upload},
    {'l', "\tl : submit log data unencrypted\n", "\tl : submit log data unencrypted\n", kLogPath,
     kLogLockPath, true, false, run_log_upload},
    {'L', "\tL : submit log data encrypted\n", "\tL : submit log data encrypted\n", kLogPath,
     kLogLockPath, true, true, run_log_upload},
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
