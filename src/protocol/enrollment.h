// Enrolling the unit: its key pair, the enrollment request that trades the
// MAC address and public key for an identifier and the server's key, and the
// confirmation.
#pragma once

#include <string>

#include "base/owned.h"
#include "base/server_link.h"

namespace halvorpin {

// Reads the enrollment reply (NUL-terminated, as the exchange stores it).
// True when it carries the "200 Activating" status, a complete header block,
// an identifier (its leading letters and digits, at least one) and a server
// key that is RSA of 1024 bits or more with an odd public exponent of 3 or
// more; then unit_id and server_key hold them. False leaves both empty.
bool parse_enrollment_reply(const char* reply, std::string& unit_id, EvpPkeyPtr& server_key);

// Generates the unit key into unit_key and writes both unit key files.
// 1 on success; 0 when the random generator is not seeded from the system
// or a key cannot be made or stored.
int keygen(ServerLink* link);

// The enrollment request. 1 when the server accepted it with a well-formed
// identifier and key (then unit_id is set and the identifier and server key
// files are written), 0 otherwise.
int activate(ServerLink* link);

// The confirmation request. 1 when the server confirmed.
int confirmactivate(ServerLink* link);

// The enrollment steps of the activation command, on a connection whose
// certificate was checked: enrolls the unit unless it already is, then
// loads its keys and identifier. True when the flow may go on; on false the
// connection is closed and the run ends with status 1.
bool enroll_unit(ServerLink* link);

}  // namespace halvorpin
