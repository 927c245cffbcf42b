// Start-up and dispatch: everything main does, returning the exit status.
#pragma once

namespace halvorpin {

// Runs one command as given on the command line and returns the process's
// exit status. Fatal errors anywhere below end up here as that status.
int run_command_line(int argc, const char* const* argv);

}  // namespace halvorpin
