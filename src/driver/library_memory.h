// The TLS library's memory comes from malloc, as the client's own does, and
// an allocation it cannot have ends the run the same way: "Out of memory"
// and status 1 at once. The library does not survive every allocation that
// fails inside it (OpenSSL 3.0 may later take a lock it failed to make),
// and reports most as some other error when it does.
#pragma once

namespace halvorpin {

// Before the library's first call.
void watch_library_memory();

}  // namespace halvorpin
