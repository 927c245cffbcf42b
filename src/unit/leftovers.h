// What a run killed at the wrong moment leaves behind: temporary files and
// directories whose names end in six random characters. The next run that
// holds the same lock removes them.
#pragma once

#include <string>

namespace halvorpin {

// True when `name` is `stem` followed by the six letters and digits that
// mkstemp and mkdtemp put in place of "XXXXXX".
bool is_temp_name(const std::string& name, const std::string& stem);

// Removes every "<final_path>.XXXXXX" (file or directory tree) that belongs
// to the running user: no run can still be using one while the caller holds
// the lock that guards `final_path`.
void remove_stale_temps_of(const char* final_path);

// Removes `path` when it is there and belongs to the running user.
void remove_if_ours(const char* path);

}  // namespace halvorpin
