#include "transport/fatal.h"

#include <openssl/err.h>

#include <cstdio>

#include "transport/connection.h"

namespace halvorpin {

void err_exit(const char* message) {
  std::fprintf(stderr, "%s\n", message);
  throw RunAbort(1);
}

void berr_exit(const char* message) {
  BIO* out = bio_err();
  BIO_printf(out, "%s\n", message);
  ERR_print_errors(out);
  (void)BIO_flush(out);
  throw RunAbort(1);
}

}  // namespace halvorpin
