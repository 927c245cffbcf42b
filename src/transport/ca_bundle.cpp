#include "transport/ca_bundle.h"

#include <openssl/asn1.h>

#include <algorithm>
#include <cstring>

namespace halvorpin {
namespace {

constexpr std::string_view kBeginLine = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kEndLine = "-----END CERTIFICATE-----";
constexpr std::string_view kAnyBegin = "-----BEGIN ";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// The library reads lines in pieces of at most 254 bytes: in a longer line
// it may see a block boundary where the scan sees none.
constexpr std::size_t kLongestLine = 253;

constexpr std::uint32_t kKeyBasis = 2166136261u;  // FNV-1a
constexpr std::uint32_t kKeyPrime = 16777619u;

std::uint32_t mix(std::uint32_t key, unsigned byte) { return (key ^ byte) * kKeyPrime; }

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Base64 values of the ASCII characters, 64 for '=' and 65 for the rest.
struct Base64Values {
  unsigned char of[128] = {};
  constexpr Base64Values() {
    for (unsigned char& value : of) value = 65;
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
    for (unsigned i = 0; i < 65; ++i)
      of[static_cast<unsigned char>(alphabet[i])] = static_cast<unsigned char>(i);
  }
};
constexpr Base64Values kBase64;

unsigned base64_value(char c) {
  return static_cast<unsigned char>(c) < 128 ? kBase64.of[static_cast<unsigned char>(c)] : 65;
}

// A cursor over DER bytes.
struct Der {
  const unsigned char* at = nullptr;
  std::size_t left = 0;

  bool empty() const { return left == 0; }
  unsigned char tag() const { return left > 0 ? *at : 0; }

  // Takes the next element: its contents, when its length is definite, in
  // its shortest form, at most four bytes and within what is left.
  bool next(Der& content) {
    if (left < 2 || at[1] == 0x80) return false;
    std::size_t length = at[1];
    std::size_t header = 2;
    if (length > 0x80) {
      header += length - 0x80;
      if (header > 6 || left < header || at[2] == 0) return false;
      length = 0;
      for (std::size_t i = 2; i < header; ++i) length = length << 8 | at[i];
      if (length < 0x80) return false;
    }
    if (left - header < length) return false;
    content = {at + header, length};
    at += header + length;
    left -= header + length;
    return true;
  }
};

// UTF-8 as the library reads it.
bool valid_utf8(const Der& v) {
  unsigned long code = 0;
  int n = 1;
  for (std::size_t i = 0; i < v.left && n > 0; i += static_cast<std::size_t>(n)) {
    n = UTF8_getc(v.at + i, static_cast<int>(v.left - i), &code);
  }
  return n > 0;
}

// The string types the library's decoder takes in a name as they are:
// NumericString, PrintableString, T61String, IA5String, VisibleString.
constexpr std::uint32_t kPlainStrings =
    1u << 0x12 | 1u << 0x13 | 1u << 0x14 | 1u << 0x16 | 1u << 0x1A;

// An attribute's type (0x06) or value in a name, as the library's decoder
// and its name comparison check them, or more strictly: other types fail.
bool value_ok(unsigned char tag, const Der& v) {
  const unsigned char* b = v.at;
  const std::size_t n = v.left;
  if (tag == 0x06) {  // no padded subidentifier, the last one ended
    for (std::size_t i = 0; i < n; ++i) {
      if (b[i] == 0x80 && (i == 0 || b[i - 1] < 0x80)) return false;
    }
    return n > 0 && b[n - 1] < 0x80;
  }
  if (tag == 0x0C) return valid_utf8(v);
  if (tag == 0x1E) {  // BMPString: two bytes a character, no surrogates
    for (std::size_t i = 0; i < n; i += 2) {
      if (n - i < 2 || (b[i] & 0xF8) == 0xD8) return false;
    }
    return true;
  }
  return tag < 32 && (kPlainStrings >> tag & 1) != 0;
}

// A name as the library decodes it (sets of attributes with string values)
// and its key: the sets in order, the attributes within a set in any order.
// The library compares values by a canonical form (the text as UTF-8, ASCII
// letters in lower case, white space trimmed and runs of it as one blank),
// except NumericStrings, compared as they are: the key takes the ASCII
// characters of a value other than white space, in lower case, so values of
// equal form always give the same key.
bool name(Der& der, std::uint32_t& key) {
  Der sets;
  if (der.tag() != 0x30 || !der.next(sets)) return false;
  key = kKeyBasis;
  while (!sets.empty()) {
    Der set, entry, oid, value;
    if (sets.tag() != 0x31 || !sets.next(set) || set.empty()) return false;
    std::uint32_t sum = 0;
    while (!set.empty()) {
      if (set.tag() != 0x30 || !set.next(entry) || entry.tag() != 0x06 || !entry.next(oid) ||
          !value_ok(0x06, oid)) {
        return false;
      }
      const unsigned char tag = entry.tag();
      if (tag == 0x06 || !entry.next(value) || !entry.empty() || !value_ok(tag, value)) {
        return false;
      }
      std::uint32_t attribute = kKeyBasis;
      for (std::size_t i = 0; i < oid.left; ++i) attribute = mix(attribute, oid.at[i]);
      const bool numeric = tag == 0x12;
      if (numeric) attribute = mix(attribute, tag);
      for (std::size_t i = 0; i < value.left; ++i) {
        const unsigned c = value.at[i];
        // In a BMPString only the second byte of a character below U+0080.
        if (numeric || (c < 0x80 && c != ' ' && (c < '\t' || c > '\r') &&
                        (tag != 0x1E || (i % 2 == 1 && value.at[i - 1] == 0)))) {
          attribute = mix(attribute, !numeric && c >= 'A' && c <= 'Z' ? c + 32 : c);
        }
      }
      sum += attribute;
    }
    key = (key ^ sum) * kKeyPrime;
  }
  return true;
}

// The structure d2i_X509 decodes, as a program for `take` below: a tag byte
// takes one element with that tag, whose contents must match what follows
// in parentheses; '?' after an element makes it optional, '*' lets it
// repeat; 'A' takes any primitive value or a sequence (an algorithm's
// parameters), 'T' a time and 'N' a name, whose key is kept (the subject's,
// being the last). The values of other primitives are the decoder's to
// judge, once a chain needs the certificate.
// clang-format off
constexpr char kCertificate[] =
    "\x30("                              // Certificate
      "\x30("                            //   TBSCertificate
        "\xA0(\x02)?"                    //     version
        "\x02"                           //     serialNumber
        "\x30(\x06" "A?)"                //     signature
        "N"                              //     issuer
        "\x30(TT)"                       //     validity
        "N"                              //     subject
        "\x30(\x30(\x06" "A?)\x03)"       //     subjectPublicKeyInfo
        "\x81?\x82?"                     //     issuerUniqueID, subjectUniqueID
        "\xA3(\x30(\x30(\x06\x01?\x04)*))?"  //     extensions
      ")"
      "\x30(\x06" "A?)"                  //   signatureAlgorithm
      "\x03"                             //   signatureValue
    ")";
// clang-format on

bool fits(unsigned char tag, char want) {
  switch (want) {
    case 'A':
      return tag == 0x30 || tag == 0x31 || tag < 0x20;
    case 'T':
      return tag == 0x17 || tag == 0x18;
    case 'N':
      return tag == 0x30;
    default:
      return tag == static_cast<unsigned char>(want);
  }
}

bool take(Der der, const char*& p, std::uint32_t& key);

// One element the program wants, taken from `der`.
bool element(Der& der, char want, const char* inner, std::uint32_t& key) {
  if (want == 'N') return name(der, key);
  Der v;
  return der.next(v) && (inner == nullptr || take(v, inner, key));
}

// Matches the whole of `der` against the program from `p` up to its
// closing ')' or its end; `p` moves past them.
bool take(Der der, const char*& p, std::uint32_t& key) {
  while (*p != '\0' && *p != ')') {
    const char want = *p++;
    const char* inner = nullptr;
    if (*p == '(') {
      inner = ++p;
      for (int depth = 1; depth > 0; ++p) depth += *p == '(' ? 1 : *p == ')' ? -1 : 0;
    }
    const char repeat = *p == '?' || *p == '*' ? *p++ : '\0';
    int taken = 0;
    for (; (taken == 0 || repeat == '*') && !der.empty() && fits(der.tag(), want); ++taken) {
      if (!element(der, want, inner, key)) return false;
    }
    if (taken == 0 && repeat == '\0') return false;
  }
  if (*p == ')') ++p;
  return der.empty();
}

// Whether `line` (its trailing blanks cut) starts with, or is, `text`.
bool starts_with(std::string_view line, std::string_view text) {
  return line.size() >= text.size() && std::memcmp(line.data(), text.data(), text.size()) == 0;
}
bool is_line(std::string_view line, std::string_view text) {
  return line.size() == text.size() && starts_with(line, text);
}

}  // namespace

bool scan_ca_bundle(std::string_view pem, std::string& list) {
  // Three bytes for four characters of text: what the blocks' bytes and heads
  // take (a block's own lines are longer than its head), never less.
  list.assign(pem.size() / 4 * 3 + sizeof(CaEntryHead), '\0');
  const char* at = pem.data();
  const char* const end = at + pem.size();
  std::size_t length = 0;
  std::size_t block = 0;  // where the head of the block being read is, or 0
  std::uint32_t bits = 0;
  unsigned count = 0;
  unsigned padding = 0;
  while (at < end) {
    const char* line_end = static_cast<const char*>(std::memchr(at, '\n', end - at));
    if (line_end == nullptr) line_end = end;
    std::string_view line(at, static_cast<std::size_t>(line_end - at));
    at = line_end + 1;
    // The library's reader ends a line's text at a NUL.
    if (line.size() > kLongestLine || starts_with(line, kByteOrderMark) ||
        std::memchr(line.data(), '\0', line.size()) != nullptr) {
      return false;
    }
    while (!line.empty() && is_blank(line.back())) line.remove_suffix(1);
    if (block == 0) {
      if (!starts_with(line, kAnyBegin)) continue;  // text between blocks
      if (!is_line(line, kBeginLine) || list.size() - length < sizeof(CaEntryHead)) return false;
      block = length + 1;
      length += sizeof(CaEntryHead);
      count = padding = 0;
    } else if (is_line(line, kEndLine)) {
      // Whole groups of four, ending in at most two '='.
      CaEntryHead head{0, static_cast<std::uint32_t>(length - padding - block + 1 - sizeof head)};
      const char* program = kCertificate;
      if (count % 4 != 0 || padding > 2 ||
          !take(
              {reinterpret_cast<const unsigned char*>(&list[block - 1 + sizeof head]), head.length},
              program, head.subject_key)) {
        return false;
      }
      std::memcpy(&list[block - 1], &head, sizeof head);
      length -= padding;
      block = 0;
    } else {
      // Base64 as the library decodes it or more strictly: alphabet
      // characters, blanks within a line, then at most two '=' at the end.
      if (line.empty()) return false;
      for (char c : line) {
        const unsigned value = base64_value(c);
        if (value < 64 && padding == 0) {
          bits = bits << 6 | value;
        } else if (value == 64) {
          ++padding;
          bits <<= 6;
        } else if (is_blank(c)) {
          continue;
        } else {
          return false;
        }
        if (++count % 4 != 0) continue;
        if (list.size() - length < 3) return false;
        for (int shift = 16; shift >= 0; shift -= 8)
          list[length++] = static_cast<char>(bits >> shift);
      }
    }
  }
  list.resize(length);
  return block == 0 && length > 0;
}

bool next_ca_entry(std::string_view list, std::size_t& at, CaEntry& entry) {
  CaEntryHead head{};
  if (list.size() - at < sizeof head) return false;
  std::memcpy(&head, list.data() + at, sizeof head);
  entry.subject_key = head.subject_key;
  entry.der = reinterpret_cast<const unsigned char*>(list.data()) + at + sizeof head;
  entry.length = head.length;
  at += sizeof head + head.length;
  return true;
}

bool name_key(const unsigned char* der, std::size_t length, std::uint32_t& key) {
  Der all{der, length};
  return name(all, key) && all.empty();
}

}  // namespace halvorpin
