#include <gtest/gtest.h>

#include <string>

#include "encoding/base64.h"
#include "protocol/enrollment.h"
#include "unit/rsa_key.h"

namespace halvorpin {
namespace {

// The Base64 key text of "<modulus>.<exponent>", on one line.
std::string key_line(const std::string& clear) {
  std::string text =
      base64_encode(reinterpret_cast<const unsigned char*>(clear.data()), clear.size());
  std::string line;
  for (char c : text) {
    if (c != '\n') line.push_back(c);
  }
  return line;
}

struct Parsed {
  Status status;
  std::string unit_id;
  bool has_key;
};

Parsed parse(const std::string& text) {
  ReplySink reply(8192);
  (void)reply.take(text.data(), text.size());
  reply.finish(ReplySink::End::kClosed);
  Parsed out{Status(), "stale", false};
  EvpPkeyPtr key;
  out.status = parse_enrollment_reply(reply, "collector.test", out.unit_id, key);
  out.has_key = key != nullptr;
  return out;
}

// What an enrollment reply must carry; a refusal names what answered.
TEST(EnrollmentReply, IsReadByItsCodeAndItsTwoHeaders) {
  EvpPkeyPtr key = generate_unit_key();
  const std::string clear = rsa_key_text(key.get());
  const std::string modulus = clear.substr(0, clear.find('.'));
  const std::string good_key = "X-ZOR-PublicKey: " + key_line(clear) + "\r\n";
  const std::string id = "X-Unit-ID: U02005E102030\r\n";
  const std::string end = "Content-Length: 0\r\n\r\n";
  // An accepted reply whose key header holds the Base64 text of `clear_key`.
  auto with_key = [&](const std::string& clear_key) {
    return "HTTP/1.1 200 Activating\r\n" + id + "X-ZOR-PublicKey: " + key_line(clear_key) + "\r\n" +
           end;
  };
  const struct {
    const char* name;
    std::string text;
    Code code;
    const char* reason;  // after "collector.test: "
    const char* unit_id;
  } cases[] = {
      {"well-formed", "HTTP/1.1 200 Activating\r\n" + id + good_key + end, Code::kOk, "",
       "U02005E102030"},
      // The code decides, whatever a proxy made of the phrase and the names.
      {"phrase-rewritten", "HTTP/1.1 200 OK\r\n" + id + good_key + end, Code::kOk, "",
       "U02005E102030"},
      {"names-in-lower-case",
       "HTTP/1.1 200 Activating\r\nx-unit-id: U7\r\nx-zor-publickey: " + key_line(clear) + "\r\n" +
           end,
       Code::kOk, "", "U7"},
      {"identifier-cut-at-its-first-other-character",
       "HTTP/1.1 200 Activating\r\nX-Unit-ID: AB12-CD\r\n" + good_key + end, Code::kOk, "", "AB12"},
      {"second-dot-ignored", with_key(clear + ".12345"), Code::kOk, "", "U02005E102030"},
      {"exponent-3", with_key(modulus + ".3"), Code::kOk, "", "U02005E102030"},
      {"refused", "HTTP/1.1 403 Forbidden\r\n" + id + good_key + end, Code::kEnrollmentRefused,
       "HTTP/1.1 403 Forbidden", ""},
      {"no-reply", "", Code::kEnrollmentRefused, "no reply", ""},
      {"head-cut-short", "HTTP/1.1 200 Activating\r\n" + id + good_key, Code::kEnrollmentUnusable,
       "cut short", ""},
      {"body-cut-short",
       "HTTP/1.1 200 Activating\r\n" + id + good_key + "Content-Length: 5\r\n\r\nab",
       Code::kEnrollmentUnusable, "cut short", ""},
      {"no-identifier", "HTTP/1.1 200 Activating\r\n" + good_key + end, Code::kEnrollmentUnusable,
       "no identifier", ""},
      {"identifier-of-other-characters",
       "HTTP/1.1 200 Activating\r\nX-Unit-ID: -x\r\n" + good_key + end, Code::kEnrollmentUnusable,
       "no identifier", ""},
      {"identifier-of-100-characters",
       "HTTP/1.1 200 Activating\r\nX-Unit-ID: " + std::string(100, 'u') + "\r\n" + good_key + end,
       Code::kEnrollmentUnusable, "identifier longer than 99 characters", ""},
      {"no-server-key", "HTTP/1.1 200 Activating\r\n" + id + end, Code::kEnrollmentUnusable,
       "no server key", ""},
      {"server-key-over-1023-characters", with_key(std::string(800, '0') + clear),
       Code::kEnrollmentUnusable, "no server key", ""},
      {"key-without-dot", with_key(modulus), Code::kEnrollmentUnusable, "server key unusable", ""},
      {"key-under-1024-bits", with_key(modulus.substr(0, 150) + ".65537"),
       Code::kEnrollmentUnusable, "server key unusable", ""},
      {"exponent-even", with_key(modulus + ".65536"), Code::kEnrollmentUnusable,
       "server key unusable", ""},
      {"exponent-1", with_key(modulus + ".1"), Code::kEnrollmentUnusable, "server key unusable",
       ""},
  };
  for (const auto& c : cases) {
    Parsed got = parse(c.text);
    EXPECT_EQ(got.status.code(), c.code) << c.name;
    EXPECT_EQ(got.unit_id, c.unit_id) << c.name;
    EXPECT_EQ(got.has_key, c.code == Code::kOk) << c.name;
    if (c.code != Code::kOk) {
      EXPECT_EQ(std::string(got.status.reason()), std::string("collector.test: ") + c.reason)
          << c.name;
    }
  }
}

}  // namespace
}  // namespace halvorpin
