// Enrolling the unit: its key pair, the enrollment request that trades the
// MAC address and public key for an identifier and the server's key, and the
// confirmation.
#pragma once

#include <string>

#include "base/owned.h"
#include "base/server_link.h"
#include "base/status.h"
#include "transport/reply_sink.h"

namespace halvorpin {

// Reads the enrollment reply from `host`. Usable when its code is 200 (the
// reason phrase means nothing), it arrived whole, and it carries an
// identifier (X-Unit-ID: its leading letters and digits, 1 to 99 of them)
// and a server key (X-ZOR-PublicKey) that is RSA of 1024 bits or more with
// an odd public exponent of 3 or more; then unit_id and server_key hold
// them. Otherwise kEnrollmentRefused (another code; the reason names the
// host and its status line) or kEnrollmentUnusable (the reason names the
// host and what is wrong), both left empty.
Status parse_enrollment_reply(const ReplySink& reply, const std::string& host, std::string& unit_id,
                              EvpPkeyPtr& server_key);

// Generates the unit key into unit_key and writes both unit key files.
// kNoRandomness when the random generator is not seeded from the system;
// kKeysNotStored when a key cannot be made or stored.
Status keygen(ServerLink* link);

// The enrollment request. On success unit_id and server_key are set and the
// identifier file is written.
Status activate(ServerLink* link);

// The confirmation request.
Status confirmactivate(ServerLink* link);

// The enrollment steps of the activation command, on a connection whose
// certificate was checked: enrolls the unit unless it already is, then
// loads its keys and identifier. On failure the connection is closed.
Status enroll_unit(ServerLink* link);

}  // namespace halvorpin
