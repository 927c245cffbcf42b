// How a run ends: one table from (command, code) to the exit status and the
// message. Nothing below the driver prints an ending or picks a status.
#pragma once

#include <cstdio>

#include "base/status.h"

namespace halvorpin {

enum class Stream { kNone, kStderr, kStdout };

struct Ending {
  const char* commands;  // the letters this row is for ("*": every letter)
  Code code;
  int exit_status;
  Stream stream;
  bool library_errors;  // the TLS library's queued errors follow the message
  bool reason_line;     // the reason follows as a line of its own (when any)
  // printf format with at most one %s, which takes the status's reason.
  const char* message;
};

// The row for this command letter and code, or null.
const Ending* ending_for(char letter, Code code);

// Writes the ending's message and returns the exit status.
int report(char letter, const Status& status);

}  // namespace halvorpin
