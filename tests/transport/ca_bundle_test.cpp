#include "transport/ca_bundle.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <string>
#include <vector>

#include "base/owned.h"

namespace halvorpin {
namespace {

std::string tlv(unsigned char tag, const std::string& content) {
  std::string out(1, static_cast<char>(tag));
  const std::size_t n = content.size();
  if (n >= 0x100) out += {'\x82', static_cast<char>(n >> 8)};
  if (n >= 0x80 && n < 0x100) out += '\x81';
  return out + static_cast<char>(n) + content;
}

std::string pem(const std::string& der) {
  std::string text(4 * (der.size() + 2) / 3 + 1, '\0');
  text.resize(static_cast<std::size_t>(EVP_EncodeBlock(
      reinterpret_cast<unsigned char*>(&text[0]),
      reinterpret_cast<const unsigned char*>(der.data()), static_cast<int>(der.size()))));
  for (std::size_t at = 64; at < text.size(); at += 65) text.insert(at, "\n");
  return "-----BEGIN CERTIFICATE-----\n" + text + "\n-----END CERTIFICATE-----\n";
}

std::string cn(const std::string& value, unsigned char type = 0x13) {
  return tlv(0x31, tlv(0x30, tlv(0x06, "\x55\x04\x03") + tlv(type, value)));
}

// A certificate's DER, each part replaceable: the decoder checks the
// values, not the signature or the key.
struct Parts {
  std::string serial = tlv(0x02, "\x01");
  std::string algorithm = tlv(0x30, tlv(0x06, "\x2a\x86\x48\xce\x3d\x04\x03\x02"));
  std::string subject = tlv(0x30, cn("Example CA"));
  std::string not_after = tlv(0x17, "301231235959Z");
  std::string signature = tlv(0x03, std::string("\0\x30\x06\x02\x01\x01\x02\x01\x01", 9));
  std::string trailer;
};

std::string certificate(const Parts& p) {
  // A key the decoder cannot read: it counts no more than the signature.
  const std::string key = tlv(0x30, p.algorithm + tlv(0x03, std::string(2, '\0')));
  const std::string tbs = tlv(0xA0, tlv(0x02, "\x02")) + p.serial + p.algorithm + p.subject +
                          tlv(0x30, tlv(0x17, "200101000000Z") + p.not_after) + p.subject + key;
  return tlv(0x30, tlv(0x30, tbs) + p.algorithm + p.signature) + p.trailer;
}

// The scan keeps what the library's reader reads, as many certificates,
// each decoding, or leaves the text to the library (no blocks kept). It
// keeps a certificate whose structure and names are intact but whose other
// values the decoder refuses: that one fails when a chain needs it, where
// the library refuses the whole text.
TEST(CaBundle, TakesInOnlyWhatTheLibraryReadsAlike) {
  const std::string one = pem(certificate({}));
  Parts subject;
  subject.subject = tlv(0x30, cn("DE", 0x13) + cn("Zweite \xC3\x9C", 0x0C));
  const std::string two = pem(certificate(subject));
  auto with = [](std::string Parts::*part, std::string value) {
    Parts p;
    p.*part = std::move(value);
    return pem(certificate(p));
  };
  std::string crlf = one;
  for (std::size_t at = 0; (at = crlf.find('\n', at)) != std::string::npos; at += 4) {
    crlf.replace(at, 1, " \t\r\n");
  }
  const struct {
    const char* name;
    std::string text;
    std::size_t blocks;  // 0: left to the library
    bool read;           // the library reads the text
  } cases[] = {
      {"one", one, 1, true},
      {"two-with-text-around", "# roots\n" + one + "\nnot a block\n" + two + "-----END x\n", 2,
       true},
      {"blanks-and-crlf", crlf, 1, true},
      {"no-last-line-feed", two.substr(0, two.size() - 1), 1, true},
      {"indented-block-is-text", "  " + one + two, 1, true},
      {"empty", "", 0, true},
      {"trusted-certificate",
       "-----BEGIN TRUSTED CERTIFICATE-----\n" + one.substr(28, one.size() - 54) +
           "-----END TRUSTED CERTIFICATE-----\n",
       0, true},
      {"header", one.substr(0, 28) + "Proc-Type: 4,ENCRYPTED\n" + one.substr(28), 0, false},
      {"blank-line-inside", one.substr(0, 28) + "\n" + one.substr(28), 0, true},
      {"bad-character", one.substr(0, 30) + "!" + one.substr(31), 0, false},
      {"no-end-line", one.substr(0, one.size() - 26), 0, false},
      {"line-read-in-pieces", std::string(254, '#') + "-----BEGIN CERTIFICATE-----\n" + one, 0,
       false},
      {"byte-order-mark", "\xEF\xBB\xBF" + one, 0, true},
      {"nul", one + std::string(1, '\0'), 0, true},
      {"integer-padded", with(&Parts::serial, tlv(0x02, std::string("\0\x01", 2))), 1, false},
      {"object-id-padded", with(&Parts::algorithm, tlv(0x30, tlv(0x06, "\x80\x01"))), 1, false},
      {"bit-string-nine-unused", with(&Parts::signature, tlv(0x03, "\x09\x01")), 1, false},
      {"name-bad-utf8", with(&Parts::subject, tlv(0x30, cn("\xC0\x80", 0x0C))), 0, false},
      {"name-odd-bmp", with(&Parts::subject, tlv(0x30, cn("abc", 0x1E))), 0, false},
      {"name-universal", with(&Parts::subject, tlv(0x30, cn(std::string("\0\0\0a", 4), 0x1C))), 0,
       true},
      {"empty-name-set", with(&Parts::subject, tlv(0x30, tlv(0x31, ""))), 0, true},
      {"bytes-after-certificate", with(&Parts::trailer, "\x05"), 0, true},
  };
  for (const auto& c : cases) {
    std::string list;
    std::size_t entries = 0;
    CaEntry entry;
    for (std::size_t at = 0; scan_ca_bundle(c.text, list) && next_ca_entry(list, at, entry);) {
      const unsigned char* der = entry.der;
      X509Ptr cert(d2i_X509(nullptr, &der, static_cast<long>(entry.length)));
      // Kept with what the decoder refuses, or decoding as the block it is.
      EXPECT_EQ(cert != nullptr, c.read) << c.name;
      ++entries;
    }
    EXPECT_EQ(entries, c.blocks) << c.name;
    BioPtr in(BIO_new_mem_buf(c.text.data(), static_cast<int>(c.text.size())));
    char no_password[] = "";
    X509InfosPtr infos(PEM_X509_INFO_read_bio(in.get(), nullptr, nullptr, no_password));
    EXPECT_EQ(infos != nullptr, c.read) << c.name;
    EXPECT_TRUE(!infos || entries == 0 ||
                sk_X509_INFO_num(infos.get()) == static_cast<int>(entries));
  }
}

// Names the library's comparison counts as equal have equal keys: case,
// white space, string types and the order within a set do not count.
TEST(CaBundle, NamesTheLibraryCountsEqualShareAKey) {
  const std::string org = tlv(0x30, tlv(0x06, "\x55\x04\x0a") + tlv(0x0C, "Example"));
  const std::string name = tlv(0x30, cn("Example  CA"));
  const struct {
    std::string one, other;
    bool equal;
  } cases[] = {
      {name, tlv(0x30, cn("Example CA", 0x0C)), true},
      {name, tlv(0x30, cn("  exAMPLE\tca ", 0x16)), true},
      {name, tlv(0x30, cn(std::string("\0E\0x\0a\0m\0p\0l\0e\0 \0C\0A", 20), 0x1E)), true},
      {tlv(0x30, tlv(0x31, org + cn("x").substr(2))), tlv(0x30, tlv(0x31, cn("x").substr(2) + org)),
       true},
      {name, tlv(0x30, cn("Example CA 2")), false},
      {name, tlv(0x30, cn("Example CA", 0x12)), false},
      {name, tlv(0x30, tlv(0x31, org)), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    std::uint32_t keys[2] = {};
    OwnedBy<X509_NAME, X509_NAME_free> names[2];
    for (int i = 0; i < 2; ++i) {
      const std::string& der = i == 0 ? c.one : c.other;
      const auto* at = reinterpret_cast<const unsigned char*>(der.data());
      ASSERT_TRUE(name_key(at, der.size(), keys[i]));
      names[i].reset(d2i_X509_NAME(nullptr, &at, static_cast<long>(der.size())));
    }
    EXPECT_EQ(X509_NAME_cmp(names[0].get(), names[1].get()) == 0, c.equal);
    EXPECT_EQ(keys[0] == keys[1], c.equal);
  }
}

}  // namespace
}  // namespace halvorpin
