// Taking one of the client's names in the shared /tmp (its state directory,
// the package's place, the scheduler configuration, the package request's
// archive) when someone else may hold it. The name goes to the client's own
// object in one step where the kernel can exchange two names; the holder is
// then where the client's object was, to be removed afterwards as its
// owner. Without the exchange, the holder is moved aside and the rename
// retried a bounded number of times: a user who races for the name may win
// a round, never the name for a run that trusts it.
#pragma once

namespace halvorpin {

enum class Exchange { kDone, kUnsupported, kFailed };

// Swaps what `a` and `b` name in one step (renameat2 with RENAME_EXCHANGE,
// through the system call: C libraries of the units may lack the wrapper).
// kUnsupported where the kernel or file system has no exchange (ENOSYS,
// EINVAL); kFailed otherwise, with errno saying why (ENOENT: one is
// missing).
Exchange exchange_names(const char* a, const char* b);

// Moves whatever is at `path` (file, link, FIFO or any tree) in one rename
// into a fresh directory "<aside_stem>.XXXXXX", where the removal of
// leftovers finds it; nothing at `path` is followed. True when nothing was
// at `path` or it was moved.
bool move_aside(const char* path, const char* aside_stem);

enum class Taken {
  kPlaced,        // `ours` is at `name`; what was there (a file) is gone
  kExchanged,     // `ours` is at `name`; the former holder is at `ours`'s old path
  kOursInTheWay,  // no exchange here, and `name` is a directory of our own (keep_ours)
  kFailed,        // `name` could not be had; `ours` is where it was
};

// Puts `ours` at `name`. A rename does it when the name is free or holds
// what a rename replaces (a file for a file, an empty directory for a
// directory); otherwise the holder is exchanged with `ours`. Without the
// exchange, the holder is moved aside into "<aside_stem>.XXXXXX" and the
// rename retried; with `keep_ours`, a directory of the running user's is
// left where it is for the caller to empty (empty_into), so that the name
// never stands free.
Taken take_name(const char* ours, const char* name, const char* aside_stem, bool keep_ours = false);

// Moves every entry of our own directory `dir` into `stash` (made when
// missing), so that a rename can then replace the empty directory.
bool empty_into(const char* dir, const char* stash);

}  // namespace halvorpin
