// The TLS library's memory comes from malloc, as the client's own does, and
// an allocation it cannot have ends the run the same way: "Out of memory"
// and status 1 at once. The library does not survive every allocation that
// fails inside it (OpenSSL 3.0 may later take a lock it failed to make),
// and reports most as some other error when it does. Once an upload has
// batches accepted that the input still holds, ending at once would send
// them again; from then on a failed allocation is the library's error,
// which ends the upload's requests, and the run ends with "Out of memory"
// after the hand-back.
#pragma once

namespace halvorpin {

// Before the library's first call.
void watch_library_memory();

// From now on a failed allocation of the library is returned to it, and
// noted, instead of ending the run; and a reserve is set aside for the
// client's own allocations to finish the run with.
void let_library_memory_fail();

// Frees that reserve, noting the shortfall, so a failed allocation of the
// client's can be made again; false when there is none (the run must end).
bool release_memory_reserve();

// Whether an allocation of the library failed and was returned to it.
bool library_memory_ran_out();

}  // namespace halvorpin
