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
constexpr std::size_t kReplyCapacity = 1024;

}  // namespace

Status version(ServerLink* link, const char* installed_version, std::string& text) {
  text.clear();
  RequestText request(kRequestCapacity);
  request.add("GET /version?current=").add(installed_version).add(" HTTP/1.1 \r\n");
  request.add("Host: ").add(link->host).add("\r\n");
  request.add("X-Unit-ID: ").add(link->unit_id).add("\r\n");
  request.add("\r\n");
  if (!request.ok()) return Status(Code::kNoVersion);

  std::vector<char> reply(kReplyCapacity, '\0');
  const Exchanged exchanged =
      ssl_sendrequest(link->ssl.get(), request.c_str(), reply.data(), reply.size());
  const std::size_t stored = exchanged.stored;
  if (exchanged.cut_short || !reply_contains(reply.data(), "HTTP/1.1 200 OK")) {
    return Status(Code::kNoVersion);
  }
  std::int64_t body_length = content_length(reply.data());
  std::size_t body_start = body_offset(reply.data());
  if (body_length <= 0 || body_start == 0 ||
      static_cast<std::uint64_t>(body_length) > stored - body_start) {
    return Status(Code::kNoVersion);
  }
  const auto length = static_cast<std::size_t>(body_length);
  const auto* body = reinterpret_cast<const unsigned char*>(reply.data() + body_start);

  std::vector<unsigned char> clear(
      std::max(length, static_cast<std::size_t>(rsa_size(link->unit_key.get()))) + 1, 0);
  EvpPkeyCtxPtr ctx = make_rsa_decrypt_ctx(link->unit_key.get());
  int clear_length = rsa_decrypt_block(ctx.get(), body, length, clear.data(), clear.size() - 1);
  if (clear_length < 0) return {};  // an empty text: no version, no locator
  text.assign(
      reinterpret_cast<const char*>(clear.data()),
      strnlen(reinterpret_cast<const char*>(clear.data()), static_cast<std::size_t>(clear_length)));
  return {};
}

}  // namespace halvorpin
