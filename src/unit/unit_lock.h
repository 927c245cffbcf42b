// Runs that share state take turns: a lock file inside the unit's own state
// directory, held for the whole run.
#pragma once

#include "base/owned.h"

namespace halvorpin {

// How long a run waits for another to release the lock.
inline constexpr int kLockWaitSeconds = 30;

// Takes the exclusive lock on `path` (created in the state directory when
// missing), waiting up to `wait_seconds`. Prints a one-line message and
// returns an invalid descriptor when the lock could not be had; the lock
// lasts as long as the returned descriptor.
UniqueFd lock_unit(const char* path, int wait_seconds);

}  // namespace halvorpin
