#include "transport/fatal.h"

#include <openssl/err.h>

#include <cstdio>

#include "transport/connection.h"

namespace halvorpin {

void err_exit(const char* message) { std::fprintf(stderr, "%s\n", message); }

void berr_exit(const char* message) {
  BIO* out = bio_err();
  if (out == nullptr) {  // no stream to the library's errors: the message still goes out
    std::fprintf(stderr, "%s\n", message);
    return;
  }
  BIO_printf(out, "%s\n", message);
  ERR_print_errors(out);
  (void)BIO_flush(out);
}

}  // namespace halvorpin
