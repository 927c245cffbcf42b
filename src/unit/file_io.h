// Small file and process helpers beneath the flows.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace halvorpin {

// Replaces `path` with `data`: a temporary file beside it is written,
// fsynced and renamed into place, so readers see the old or the new whole.
bool write_file_atomic(const std::string& path, const std::string& data, mode_t mode);

// Reads at most `capacity` bytes from the start of `path` into `out`.
// Returns the count, or -1 when the file cannot be opened.
long read_file_prefix(const char* path, void* out, std::size_t capacity);

// Reads a whole file of at most `limit` bytes; false when it cannot be
// opened or is larger.
bool read_small_file(const char* path, std::size_t limit, std::string& out);

// Runs a fixed command through the shell and waits; returns its exit status,
// or -1 when it could not be run or did not exit normally.
int run_shell(const char* command);

// Creates a directory and its parents (mkdir -p); true when it exists after.
bool make_directories(const std::string& path, mode_t mode);

}  // namespace halvorpin
