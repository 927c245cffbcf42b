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

Status refused_by(Code code, const std::string& host, const ReplySink& reply) {
  return Status(code, host, reply.status_line());
}

Status unusable_from(Code code, const std::string& host, const ReplySink& reply, const char* why) {
  return Status(code, host, why != nullptr ? why : reply.defect());
}

bool header_is(const ReplySink& reply, std::string_view name, std::string_view value) {
  const char* found = reply.header(name);
  return found != nullptr && equal_ignoring_case(found, value);
}

}  // namespace halvorpin
