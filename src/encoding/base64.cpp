#include "encoding/base64.h"

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/evp.h>

#include <climits>

#include "base/owned.h"

namespace halvorpin {

std::string base64_encode(const unsigned char* data, std::size_t length) {
  if (length == 0 || length > INT_MAX / 2) return {};
  BioPtr chain(BIO_new(BIO_f_base64()));
  BIO* mem = BIO_new(BIO_s_mem());
  if (!chain || !mem) {
    BIO_free(mem);
    return {};
  }
  BIO_push(chain.get(), mem);  // the chain now owns mem
  if (BIO_write(chain.get(), data, static_cast<int>(length)) != static_cast<int>(length) ||
      BIO_flush(chain.get()) != 1) {
    return {};
  }
  BUF_MEM* out = nullptr;
  BIO_get_mem_ptr(mem, &out);
  if (out == nullptr || out->length == 0) return {};
  // The filter ends its output with a line feed; drop exactly that one.
  return std::string(out->data, out->length - 1);
}

namespace {

bool in_alphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

// The whole groups of four from the start that are Base64 text, up to and
// including the first padded one. What follows (a line break, a foreign
// character, a short last group) is left out, so every library release
// decodes the same bytes: some lenient ones would read across a line break.
std::size_t decodable_prefix(const char* text, std::size_t length) {
  std::size_t end = 0;
  for (std::size_t group = 0; group + 4 <= length; group += 4) {
    bool padded = false;
    for (std::size_t i = group; i < group + 4; ++i) {
      if (in_alphabet(text[i]) && !padded) continue;
      if (text[i] == '=' && i >= group + 2) {
        padded = true;
        continue;
      }
      return end;
    }
    end = group + 4;
    if (padded) break;
  }
  return end;
}

}  // namespace

std::vector<unsigned char> base64_decode(const char* text, std::size_t length) {
  std::vector<unsigned char> decoded(length, 0);
  if (length == 0 || length > INT_MAX) return decoded;
  length = decodable_prefix(text, length);
  if (length == 0) return decoded;
  BioPtr chain(BIO_new(BIO_f_base64()));
  BIO* mem = BIO_new_mem_buf(text, static_cast<int>(length));
  if (!chain || !mem) {
    BIO_free(mem);
    return decoded;
  }
  BIO_set_flags(chain.get(), BIO_FLAGS_BASE64_NO_NL);
  BIO_push(chain.get(), mem);
  // One read, as many bytes as fit; the count is not needed because the
  // buffer stays zero after the decoded bytes.
  (void)BIO_read(chain.get(), decoded.data(), static_cast<int>(length));
  return decoded;
}

}  // namespace halvorpin
