// One request and its whole reply over an open TLS connection. The request
// (and a body, if any) is written as given; the reply's bytes go through a
// ReplySink (reply_sink.h), which decides where the reply ends. Reading
// stops there, when the server closes, or when a time bound runs out.
#pragma once

#include <openssl/ssl.h>

#include "transport/reply_sink.h"

namespace halvorpin {

// The time bounds of one reply, in seconds (0: none). All of them count
// bytes as they come from the socket, not as TLS records are completed, so
// a peer that drips a record byte by byte is bounded like a silent one.
struct ReadLimits {
  double wait = 0;           // one wait for bytes
  double head = 0;           // from the request to the end of the reply's head
  double whole = 0;          // from the request to the end of the reply
  bool speed_floor = false;  // the body, once begun, must keep moving (speed_floor.h)
};

// READ_TIMEOUT (rt) bounds every wait; a reply of the collection server
// ends within 2 rt + 60 s of its request; a package's head likewise, its
// body must keep moving instead. rt = 0: no time bound at all.
ReadLimits collection_reply_limits();
ReadLimits package_reply_limits();

// The exchange. Writes the request and the body (when not null), then reads
// the reply into `reply` within `limits`. A failed write is reported on
// standard error ("SSL write problem", ...) and leaves the reply empty.
void ssl_sendrequestMain(SSL* ssl, const char* request, ReplySink& reply, const unsigned char* body,
                         int body_length, const ReadLimits& limits);

// No body; a reply of the collection server.
void ssl_sendrequest(SSL* ssl, const char* request, ReplySink& reply);
// With a body; a reply of the collection server.
void ssl_sendrequest2(SSL* ssl, const char* request, ReplySink& reply, const unsigned char* body,
                      int body_length);
// No body; a package, whose body the sink writes to its file.
void ssl_sendrequest3(SSL* ssl, const char* request, ReplySink& reply);

}  // namespace halvorpin
