// The state directory: the unit's keys, identifier and installed version,
// kept between runs.
#pragma once

#include <sys/stat.h>

#include <cstddef>

#include "base/server_link.h"
#include "base/status.h"

namespace halvorpin {

inline constexpr std::size_t kUnitIdCapacity = 100;  // at most 99 characters
inline constexpr std::size_t kVersionCapacity = 20;  // at most 19 characters

// True when the state directory is the unit's own: a real directory (not a
// link) owned by the user running the client and writable by nobody else.
// Nothing is read from or written to it otherwise.
bool state_dir_trusted();
bool is_trusted_directory(const struct stat& st);

// Makes the state directory trusted for enrollment: a missing directory is
// created; an impostor (anything else at that name) is exchanged with a
// fresh directory in one step where the kernel can, otherwise moved aside
// a bounded number of times, and left in the state directory for removal
// as its owner. kStateDirUnusable when it cannot be had.
Status prepare_state_dir();

// Moves what a killed enrollment left in /tmp (its fresh directory, an
// impostor it moved aside) into the state directory, where the removal of
// leftovers finds it.
void adopt_state_dir_leftovers();

// Which of the unit's keys a flow uses: none (uploads in clear), the unit's
// private key (to read what the server encrypted for the unit) or the
// server's public key (to encrypt uploads).
enum class KeyUse { kNone, kDecrypt, kEncrypt };

// Fills unit_id with the identifier file's text up to its first NUL, at most
// 99 characters. kNotEnrolled when the file is missing, kUnreadable (reason:
// its path) when it is there but cannot be read.
Status loadUnitId(ServerLink* link);

// What a flow needs of the unit's identity, and only that: kNotEnrolled
// unless the unit is enrolled (checkunitactivated), its identifier reads
// and the one key `use` names parses (unit_key or server_key), so no RSA
// operation can run on a missing key; kUnreadable (reason: the path) when
// one of those files is there but cannot be read.
Status load_identity(ServerLink* link, KeyUse use);

// Reads the installed version into `out` (capacity bytes, zeroed by the
// caller): every byte that is not a digit or '.' becomes NUL, so the text
// ends at the first other byte. False when there is no version file.
bool getcurver(char* out, std::size_t capacity);

// True when the server key file exists and holds at least 2 bytes.
bool checkunitactivated();

// Removes the unit's two key files and the server key file.
void cleanup_nvram();

}  // namespace halvorpin
