// The two arguments, the URL split and the time-outs from the environment.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "base/server_link.h"

namespace halvorpin {

inline constexpr std::size_t kUrlCapacity = 160;    // at most 159 characters
inline constexpr std::size_t kCommandCapacity = 3;  // dash, letter, NUL

struct CommandLine {
  char url[kUrlCapacity] = {};
  char command[kCommandCapacity] = {};
  char letter() const { return command[1]; }
};

// Copies the URL (cut to 159 characters) and the first two characters of the
// command argument. False when the argument count is not exactly two.
bool parse_command_line(int argc, const char* const* argv, CommandLine& out);

// Host after "://" (or from the start), port after the first ':' (its leading
// digits), 443 without one. Nothing is cut at '/'.
void split_url(const char* url, std::string& host, int& port);

// CONN_TIMEOUT, READ_TIMEOUT and WRITE_TIMEOUT, each when set.
void read_timeouts_from_environment(Timeouts& timeouts);

}  // namespace halvorpin
