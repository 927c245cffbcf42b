// What a run killed at the wrong moment leaves behind: temporary files and
// directories whose names end in six random characters. The next run that
// holds the same lock removes them.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace halvorpin {

// Every "<final path>.XXXXXX" (file or directory) for each of
// `final_paths`, which lie in one directory, read once; only those of the
// running user unless `any_owner`. No run can still be using one while the
// caller holds the lock that guards these paths.
std::vector<std::string> find_temps_of(std::initializer_list<const char*> final_paths,
                                       bool any_owner = false);

// Removes every one of find_temps_of(final_paths) (of the running user).
void remove_stale_temps_of(std::initializer_list<const char*> final_paths);

// Removes `path` when it is there and belongs to the running user.
void remove_if_ours(const char* path);

}  // namespace halvorpin
