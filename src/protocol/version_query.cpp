#include "protocol/version_query.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "protocol/http_reply.h"
#include "transport/exchange.h"
#include "unit/rsa_key.h"

namespace halvorpin {
namespace {

constexpr std::size_t kRequestCapacity = 1024;
constexpr std::size_t kBodyCapacity = 1024;

// Why a whole 200 reply carries no body the client can read, or null. Its
// length must be announced: a body ended by the close may be cut short.
const char* body_defect(const ReplySink& reply) {
  if (reply.header("Content-Length") == nullptr && reply.header("Transfer-Encoding") == nullptr) {
    return "no Content-Length";
  }
  if (reply.body().empty()) return "empty body";
  if (reply.body_cut()) return "body over 1024 bytes";
  return nullptr;
}

}  // namespace

Status version(ServerLink* link, const char* installed_version, std::string& text) {
  text.clear();
  RequestText request(kRequestCapacity);
  request.add("GET /version?current=").add(installed_version).add(" HTTP/1.1\r\n");
  request.add("Host: ").add(link->host).add("\r\n");
  request.add("X-Unit-ID: ").add(link->unit_id).add("\r\n");
  request.add("\r\n");
  if (!request.ok()) return Status(Code::kVersionRefused, link->host, "no request sent");

  ReplySink reply(kBodyCapacity);
  ssl_sendrequest(link->ssl.get(), request.c_str(), reply);
  if (reply.status_code() != 200) return refused_by(Code::kVersionRefused, link->host, reply);
  const char* defect = reply.whole() ? body_defect(reply) : reply.defect();
  if (defect != nullptr) {
    return unusable_from(Code::kVersionUnusable, link->host, reply, defect);
  }
  const std::string& body = reply.body();
  std::vector<unsigned char> clear(
      std::max(body.size(), static_cast<std::size_t>(rsa_size(link->unit_key.get()))) + 1, 0);
  EvpPkeyCtxPtr ctx = make_rsa_decrypt_ctx(link->unit_key.get());
  int clear_length =
      rsa_decrypt_block(ctx.get(), reinterpret_cast<const unsigned char*>(body.data()), body.size(),
                        clear.data(), clear.size() - 1);
  if (clear_length < 0) return {};  // an empty text: no version, no locator
  text.assign(
      reinterpret_cast<const char*>(clear.data()),
      strnlen(reinterpret_cast<const char*>(clear.data()), static_cast<std::size_t>(clear_length)));
  return {};
}

}  // namespace halvorpin
