// The two upload requests: a batch of results to "/submit" and the log to
// "/log", in clear or as cipher blocks with a SHA-1 digest of the clear text.
#pragma once

#include <string>

#include "base/server_link.h"
#include "base/status.h"

namespace halvorpin {

// Base64 of the SHA-1 digest of `length` bytes: 28 characters.
std::string digest_text(const unsigned char* data, std::size_t length);

// Each succeeds when the reply's status line and header block arrived whole
// with the code 200 (whatever its reason phrase and however its body ends).
// Otherwise kBatchRefused or kLogRefused for another code or no reply (the
// reason names the host and its status line), kBatchUnusable or
// kLogUnusable for a 200 whose head was cut short or is malformed. `submit`
// refuses a cipher length of -1 (a failed encryption) without sending:
// kEncryptionFailed.
Status submit(ServerLink* link, const unsigned char* clear, int clear_length,
              const unsigned char* cipher, int cipher_length, int encrypted);
// The log's digest covers its clear text up to the first zero byte.
Status logdata(ServerLink* link, const unsigned char* clear, int clear_length,
               const unsigned char* cipher, int cipher_length, int encrypted);

}  // namespace halvorpin
