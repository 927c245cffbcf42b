// One request and its whole reply over an open TLS connection. The reply is
// read until it ends where HTTP says it ends (reply_sink.h), or the server
// closes the connection; its header block (NULs dropped) goes into the
// caller's buffer, then the body, without chunk framing, either follows it
// there or goes to the caller's file. The buffer always ends with a NUL and
// never receives more than capacity - 1 bytes.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdio>

namespace halvorpin {

struct Exchanged {
  std::size_t stored = 0;  // bytes stored before the NUL (0: nothing exchanged)
  bool cut_short = false;  // the reply announced more than arrived: a failed transfer
};

[[nodiscard]] Exchanged ssl_sendrequestMain(SSL* ssl, const char* request, char* response,
                                            std::size_t capacity, const unsigned char* body,
                                            int body_length, FILE* body_file);

// No body, no body file.
[[nodiscard]] Exchanged ssl_sendrequest(SSL* ssl, const char* request, char* response,
                                        std::size_t capacity);
// With a body.
[[nodiscard]] Exchanged ssl_sendrequest2(SSL* ssl, const char* request, char* response,
                                         std::size_t capacity, const unsigned char* body,
                                         int body_length);
// With the reply body streamed to a file. A reply without "HTTP/1.1 200 OK"
// leaves at most 64 KiB of its body there.
[[nodiscard]] Exchanged ssl_sendrequest3(SSL* ssl, const char* request, char* response,
                                         std::size_t capacity, FILE* body_file);

}  // namespace halvorpin
