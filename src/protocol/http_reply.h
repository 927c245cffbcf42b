// Requests as the client builds them, and what a message says about a
// reply that was not what the request needed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/status.h"
#include "transport/reply_sink.h"

namespace halvorpin {

// A request text that never grows past its capacity (which counts the
// terminating NUL of the original fixed buffers).
class RequestText {
 public:
  explicit RequestText(std::size_t capacity) : capacity_(capacity) { text_.reserve(capacity); }
  RequestText& add(std::string_view piece);
  bool ok() const { return ok_; }
  const char* c_str() const { return text_.c_str(); }

 private:
  std::size_t capacity_;
  std::string text_;
  bool ok_ = true;
};

// A refusal naming what answered: the reason is "<host>: <status line>"
// ("no reply" when nothing came), so an operator can tell a front end's
// answer from the server's.
Status refused_by(Code code, const std::string& host, const ReplySink& reply);

// A reply with the right status that cannot be used: the reason is
// "<host>: <why>", `why` or else the reply's own defect ("cut short", ...).
Status unusable_from(Code code, const std::string& host, const ReplySink& reply,
                     const char* why = nullptr);

// True when the reply's first field `name` has the value `value`, letters
// compared without case.
bool header_is(const ReplySink& reply, std::string_view name, std::string_view value);

}  // namespace halvorpin
