// One request and its whole reply over an open TLS connection. The reply is
// read until the server closes the connection; its header block (NULs
// dropped) goes into the caller's buffer, then the body either follows it
// there or goes to the caller's file. The buffer always ends with a NUL and
// never receives more than capacity - 1 bytes. Each form returns the number
// of bytes stored before that NUL (0 when nothing was exchanged).
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdio>

namespace halvorpin {

std::size_t ssl_sendrequestMain(SSL* ssl, const char* request, char* response, std::size_t capacity,
                                const unsigned char* body, int body_length, FILE* body_file);

// No body, no body file.
std::size_t ssl_sendrequest(SSL* ssl, const char* request, char* response, std::size_t capacity);
// With a body.
std::size_t ssl_sendrequest2(SSL* ssl, const char* request, char* response, std::size_t capacity,
                             const unsigned char* body, int body_length);
// With the reply body streamed to a file.
std::size_t ssl_sendrequest3(SSL* ssl, const char* request, char* response, std::size_t capacity,
                             FILE* body_file);

}  // namespace halvorpin
