// Fatal errors. Only main ends the process: these write their message, and
// the caller then ends the run with status 1 by returning its failure up.
#pragma once

namespace halvorpin {

// "%s\n" to standard error.
void err_exit(const char* message);
// The same through the TLS library's error stream, followed by its queued errors.
void berr_exit(const char* message);

}  // namespace halvorpin
