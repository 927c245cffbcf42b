#include "protocol/submission.h"

#include <openssl/evp.h>

#include <cstring>

#include "encoding/base64.h"
#include "protocol/http_reply.h"
#include "transport/exchange.h"

namespace halvorpin {
namespace {

constexpr std::size_t kHeadCapacity = 1024;

enum class Endpoint { kSubmit, kLog };

std::string content_length_line(int length) {
  return "Content-Length: " + std::to_string(length) + "\r\n";
}

Status post(ServerLink* link, Endpoint endpoint, const unsigned char* clear, int clear_length,
            const unsigned char* cipher, int cipher_length, bool encrypted) {
  std::string hash_line;
  if (encrypted) {
    std::size_t digested =
        endpoint == Endpoint::kLog
            ? strnlen(reinterpret_cast<const char*>(clear), static_cast<std::size_t>(clear_length))
            : static_cast<std::size_t>(clear_length);
    hash_line = "X-Request-Hash: " + digest_text(clear, digested) + "\r\n";
  }
  const char* encrypted_line = encrypted ? "X-Encrypted: true\r\n" : "X-Encrypted: false\r\n";

  RequestText head(kHeadCapacity);
  if (endpoint == Endpoint::kSubmit) {
    head.add("POST /submit HTTP/1.1\r\n").add("Host: ").add(link->host).add("\r\n");
    head.add(hash_line).add(encrypted_line);
  } else {
    head.add("POST /log HTTP/1.1\r\n").add("Host: ").add(link->host).add("\r\n");
    head.add(encrypted_line).add(hash_line);
  }
  head.add("X-Unit-ID: ").add(link->unit_id).add("\r\n");
  head.add(content_length_line(encrypted ? cipher_length : clear_length)).add("\r\n");
  const bool results = endpoint == Endpoint::kSubmit;
  const Code refused = results ? Code::kBatchRefused : Code::kLogRefused;
  if (!head.ok()) return Status(refused, link->host, "no request sent");

  // The server's verdict is its status line and header block: a body cut
  // short after them changes nothing, and is not waited for.
  ReplySink reply = ReplySink::head_only();
  ssl_sendrequest2(link->ssl.get(), head.c_str(), reply, encrypted ? cipher : clear,
                   encrypted ? cipher_length : clear_length);
  if (reply.status_code() != 200) return refused_by(refused, link->host, reply);
  if (!reply.whole()) {
    return unusable_from(results ? Code::kBatchUnusable : Code::kLogUnusable, link->host, reply);
  }
  return {};
}

}  // namespace

std::string digest_text(const unsigned char* data, std::size_t length) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  if (EVP_Digest(data, length, digest, &digest_length, EVP_sha1(), nullptr) != 1) return {};
  return base64_encode(digest, digest_length);
}

Status submit(ServerLink* link, const unsigned char* clear, int clear_length,
              const unsigned char* cipher, int cipher_length, int encrypted) {
  if (cipher_length == -1) return Status(Code::kEncryptionFailed);
  return post(link, Endpoint::kSubmit, clear, clear_length, cipher, cipher_length, encrypted != 0);
}

Status logdata(ServerLink* link, const unsigned char* clear, int clear_length,
               const unsigned char* cipher, int cipher_length, int encrypted) {
  return post(link, Endpoint::kLog, clear, clear_length, cipher, cipher_length, encrypted != 0);
}

}  // namespace halvorpin
