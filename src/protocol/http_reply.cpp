#include "protocol/http_reply.h"

#include "base/ascii.h"

namespace halvorpin {

RequestText& RequestText::add(std::string_view piece) {
  if (!ok_ || text_.size() + piece.size() + 1 > capacity_) {
    ok_ = false;
    return *this;
  }
  text_.append(piece);
  return *this;
}

std::string answered_by(const std::string& host, const ReplySink& reply) {
  return host + ": " + reply.status_line();
}

std::string unusable_from(const std::string& host, const ReplySink& reply, const char* why) {
  return host + ": " + (why != nullptr ? why : reply.defect());
}

bool header_is(const ReplySink& reply, std::string_view name, std::string_view value) {
  const std::string* found = reply.header(name);
  return found != nullptr && equal_ignoring_case(*found, value);
}

}  // namespace halvorpin
