// The unit's MAC address, read from its wired interface.
#pragma once

#include <cstddef>

namespace halvorpin {

// Writes the MAC address of `interface_name` as 12 upper-case hex digits and
// a NUL into `out` (at least 13 bytes). Returns 0 on success and also when no
// such interface exists (then `out` is untouched); -1 on failure.
int getmac(const char* interface_name, char* out, std::size_t out_size);

// The same for one interface named directly, without the interface list.
int getmacforinterface(const char* interface_name, char* out, std::size_t out_size);

}  // namespace halvorpin
