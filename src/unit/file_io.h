// Small file and process helpers beneath the flows. /tmp is shared with
// unprivileged processes, so nothing here opens a name someone else could
// have prepared: reads refuse links and anything but regular files, and new
// files are created exclusively.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "base/owned.h"

namespace halvorpin {

// Opens an existing regular file for reading without following a final
// symbolic link and without blocking on a FIFO or device. Invalid when the
// name is missing or is anything but a regular file.
UniqueFd open_regular_file(const char* path);

// Creates `path` afresh for writing: a leftover name is removed first (a link
// itself, never its target), then the file is created exclusively.
UniqueFd create_fresh_file(const char* path, mode_t mode);

// The same two as buffered streams ("r" or "w"); null on failure.
FilePtr open_regular_stream(const char* path);
FilePtr create_fresh_stream(const char* path, mode_t mode);

// Writes all of `data`; false on any error.
bool write_all(int fd, const void* data, std::size_t length);

// A temporary file beside `final_path` (its name ends in six random
// characters), created exclusively with `mode`; `name` receives its path.
UniqueFd create_temp_beside(const char* final_path, mode_t mode, std::string& name);

// Makes the temporary file `temp` (fd open on it) durable and renames it onto
// `path`; the temporary file is removed on failure.
bool commit_temp_file(UniqueFd fd, const std::string& temp, const char* path);

// Replaces `path` with `data`: a temporary file beside it is written,
// fsynced and renamed into place, so readers see the old or the new whole.
bool write_file_atomic(const char* path, const std::string& data, mode_t mode);

// Reads at most `capacity` bytes from the start of the regular file `path`.
// Returns the count, or -1 when it cannot be opened or read.
long read_file_prefix(const char* path, void* out, std::size_t capacity);

// Reads a whole regular file of at most `limit` bytes; false when it cannot
// be opened or read, or is larger.
bool read_small_file(const char* path, std::size_t limit, std::string& out);

// fsync of the directory that holds `path`, so a rename in it is durable.
void sync_directory_of(const char* path);

}  // namespace halvorpin
