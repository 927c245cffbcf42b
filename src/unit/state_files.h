// The state directory: the unit's keys, identifier and installed version,
// kept between runs.
#pragma once

#include <cstddef>

#include "base/server_link.h"

namespace halvorpin {

inline constexpr std::size_t kUnitIdCapacity = 100;  // at most 99 characters
inline constexpr std::size_t kVersionCapacity = 20;  // at most 19 characters

// True when the state directory is the unit's own: a real directory (not a
// link) owned by the user running the client and writable by nobody else.
// Nothing is read from or written to it otherwise.
bool state_dir_trusted();

// Makes the state directory trusted for enrollment: an impostor (anything
// else at that name) is removed, and a missing directory is created.
bool prepare_state_dir();

// Fills unit_key (private) and server_key. 1 only when both files hold a
// parsable key, so no RSA operation can run on a missing key; 0 otherwise.
int loadKeys(ServerLink* link);

// Fills unit_id with the identifier file's text up to its first NUL, at most
// 99 characters. 1 when the file could be read, 0 otherwise.
int loadUnitId(ServerLink* link);

// Reads the installed version into `out` (capacity bytes, zeroed by the
// caller): every byte that is not a digit or '.' becomes NUL, so the text
// ends at the first other byte. 1 when the file could be opened.
int getcurver(char* out, std::size_t capacity);

// 1 when the server key file exists and holds at least 2 bytes.
int checkunitactivated();

// Removes the unit's two key files and the server key file.
void cleanup_nvram();

}  // namespace halvorpin
