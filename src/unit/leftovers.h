// What a run killed at the wrong moment leaves behind: temporary files and
// directories whose names end in six random characters. The next run that
// holds the same lock removes them.
#pragma once

#include <initializer_list>

namespace halvorpin {

// Removes every "<final path>.XXXXXX" (file or directory tree) that belongs
// to the running user, for each of `final_paths`, reading each directory
// once: no run can still be using one while the caller holds the lock that
// guards these paths.
void remove_stale_temps_of(std::initializer_list<const char*> final_paths);

// Removes `path` when it is there and belongs to the running user.
void remove_if_ours(const char* path);

}  // namespace halvorpin
