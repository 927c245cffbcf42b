// The unit's MAC address, read from its wired interface.
#pragma once

#include <cstddef>

#include "base/status.h"

namespace halvorpin {

// Writes the MAC address of `interface_name` as 12 upper-case hex digits and
// a NUL into `out` (at least 13 bytes). A unit without such an interface is
// no failure (then `out` is untouched); kNoMac when the address cannot be
// read, its reason the system's complaint as a line.
Status getmac(const char* interface_name, char* out, std::size_t out_size);

}  // namespace halvorpin
