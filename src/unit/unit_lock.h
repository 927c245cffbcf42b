// Runs that share state take turns: a lock file inside the unit's own state
// directory, held for the whole run.
#pragma once

#include "base/owned.h"
#include "base/status.h"

namespace halvorpin {

// How long a run waits for another to release the lock.
inline constexpr int kLockWaitSeconds = 30;
// A wait for a lock that ends only when the lock is free.
inline constexpr int kLockWaitUnbounded = -1;

// Takes the exclusive lock on `path` (created in the state directory when
// missing) into `lock`, waiting up to `wait_seconds` (0: one try;
// kLockWaitUnbounded: as long as it takes); the lock lasts as long as that
// descriptor. kLockTimeout or kLockUnusable (reason: the path).
Status lock_unit(const char* path, int wait_seconds, UniqueFd& lock);

}  // namespace halvorpin
