// The one record every operation works on: the server endpoint, the unit's
// identity and keys, and the open TLS connection.
#pragma once

#include <string>

#include "base/owned.h"

namespace halvorpin {

constexpr std::size_t kMacTextSize = 13;  // 12 hex digits and a NUL

struct ServerLink {
  int port = 0;
  std::string host;
  std::string unit_id;
  EvpPkeyPtr unit_key;
  EvpPkeyPtr server_key;
  char mac[kMacTextSize] = {};
  SslCtxPtr ctx;  // the run's one TLS context, made on its first connection
  SslPtr ssl;
  BIO* sbio = nullptr;  // owned by ssl once attached
  UniqueFd sock;
  UniqueFd run_lock;  // held while the run uses shared state, see unit/unit_lock.h
  // Why the certificate chain failed when the unit's clock is to blame.
  std::string cert_clock_note;
};

// Process-wide time-outs in seconds, fixed at start-up.
struct Timeouts {
  int ct = 30;
  int rt = 30;
  int wt = 30;
};
// Only declared here; its one definition is constant-initialized.
extern Timeouts g_timeouts;  // NOLINT(bugprone-dynamic-static-initializers)

}  // namespace halvorpin
