#include "transport/ca_bundle.h"

namespace halvorpin {
namespace {

constexpr std::string_view kBeginLine = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kEndLine = "-----END CERTIFICATE-----";
constexpr std::string_view kAnyBegin = "-----BEGIN ";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// The library reads lines in pieces of at most 254 bytes: in a longer line
// it may see a block boundary where the scan sees none.
constexpr std::size_t kLongestLine = 253;

constexpr std::uint64_t kKeyBasis = 14695981039346656037ULL;  // FNV-1a
constexpr std::uint64_t kKeyPrime = 1099511628211ULL;

std::uint64_t mix(std::uint64_t key, unsigned byte) { return (key ^ byte) * kKeyPrime; }

// Base64 values, 64 for '=' and 0xFF for every other byte.
struct Base64Table {
  unsigned char value[256];
  constexpr Base64Table() : value() {
    for (unsigned char& v : value) v = 0xFF;
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
    for (unsigned i = 0; i < 65; ++i)
      value[static_cast<unsigned char>(alphabet[i])] = static_cast<unsigned char>(i);
  }
};
constexpr Base64Table kBase64;

unsigned base64_value(char c) { return kBase64.value[static_cast<unsigned char>(c)]; }

// One line, without its line feed and the blanks before it; `whole` when
// the library reads it in one piece.
struct Line {
  std::string_view text;
  std::size_t next = 0;
  bool whole = false;
};

Line line_at(std::string_view pem, std::size_t at) {
  std::size_t end = pem.find('\n', at);
  Line line;
  line.next = end == std::string_view::npos ? pem.size() : end + 1;
  line.text = pem.substr(at, (end == std::string_view::npos ? pem.size() : end) - at);
  line.whole = line.text.size() <= kLongestLine;
  while (!line.text.empty() &&
         (line.text.back() == ' ' || line.text.back() == '\t' || line.text.back() == '\r')) {
    line.text.remove_suffix(1);
  }
  return line;
}

// Base64 text to bytes, line by line, as strictly as the library reads it
// or more: alphabet characters only, then at most two '=' that end the text,
// in whole groups of four.
class Base64Lines {
 public:
  explicit Base64Lines(std::vector<unsigned char>& out) : out_(out) { out_.clear(); }

  bool add(std::string_view line) {
    std::size_t i = 0;
    // Whole groups first, as a block's lines are made of.
    while (count_ == 0 && padding_ == 0 && i + 4 <= line.size()) {
      const unsigned a = base64_value(line[i]), b = base64_value(line[i + 1]),
                     c = base64_value(line[i + 2]), d = base64_value(line[i + 3]);
      if ((a | b | c | d) >= 64) break;
      bits_ = a << 18 | b << 12 | c << 6 | d;
      emit(3);
      i += 4;
    }
    for (; i < line.size(); ++i) {
      const unsigned value = base64_value(line[i]);
      if (value == 64 ? ++padding_ > 2 : padding_ > 0 || value > 64) return false;
      if (value == 64) continue;
      bits_ = bits_ << 6 | value;
      if (++count_ == 4) {
        emit(3);
        count_ = 0;
      }
    }
    return true;
  }

  // A last group of three or two characters holds two bytes or one.
  bool finish() {
    if (count_ + padding_ != (count_ == 0 ? 0u : 4u)) return false;
    if (count_ > 0) {
      bits_ <<= 6 * (4 - count_);
      emit(count_ - 1);
    }
    return !out_.empty();
  }

 private:
  void emit(unsigned bytes) {
    for (unsigned k = 0; k < bytes; ++k)
      out_.push_back(static_cast<unsigned char>(bits_ >> (16 - 8 * k)));
  }

  std::vector<unsigned char>& out_;
  std::uint32_t bits_ = 0;
  unsigned count_ = 0;
  unsigned padding_ = 0;
};

// The lines of a block from `at` up to its end line, decoded into `der`;
// `at` moves past the end line, `data_end` is where that line starts.
bool read_block(std::string_view pem, std::size_t& at, std::size_t& data_end,
                std::vector<unsigned char>& der) {
  Base64Lines base64(der);
  while (at < pem.size()) {
    const Line line = line_at(pem, at);
    if (!line.whole || line.text.empty()) return false;
    if (line.text == kEndLine) {
      data_end = at;
      at = line.next;
      return base64.finish();
    }
    if (!base64.add(line.text)) return false;
    at = line.next;
  }
  return false;
}

// A cursor over DER bytes.
struct Der {
  const unsigned char* at = nullptr;
  std::size_t left = 0;

  bool empty() const { return left == 0; }
  bool peek(unsigned char tag) const { return left > 0 && *at == tag; }

  // Takes the next element when its tag is `tag` and its length is definite,
  // in its shortest form, at most four bytes and within what is left.
  bool next(unsigned char tag, Der& content) {
    if (left < 2 || at[0] != tag || at[1] == 0x80) return false;
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

// The values the library's decoder checks, each as strictly or more.
bool integer(Der& der) {
  Der v;
  return der.next(0x02, v) && v.left > 0 &&
         !(v.left > 1 &&
           ((v.at[0] == 0x00 && v.at[1] < 0x80) || (v.at[0] == 0xFF && v.at[1] >= 0x80)));
}

bool object_id(Der& der, Der& v) {
  if (!der.next(0x06, v) || v.left == 0 || (v.at[v.left - 1] & 0x80) != 0) return false;
  for (std::size_t i = 0; i < v.left; ++i) {
    if (v.at[i] == 0x80 && (i == 0 || (v.at[i - 1] & 0x80) == 0)) return false;
  }
  return true;
}

bool bit_string(Der& der, unsigned char tag = 0x03) {
  Der v;
  return der.next(tag, v) && v.left > 0 && v.at[0] <= 7;
}

bool time(Der& der) {
  Der v;
  return der.next(0x17, v) ? v.left >= 13 : der.next(0x18, v) && v.left >= 15;
}

// Parameters absent, NULL, an object identifier or a sequence.
bool algorithm(Der& der) {
  Der alg, v;
  if (!der.next(0x30, alg) || !object_id(alg, v)) return false;
  if (alg.next(0x05, v)) return v.empty() && alg.empty();
  if (alg.peek(0x06)) return object_id(alg, v) && alg.empty();
  return alg.empty() || (alg.next(0x30, v) && alg.empty());
}

// Well-formed UTF-8 up to U+10FFFF, without surrogates.
bool valid_utf8(const Der& v) {
  static constexpr std::uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
  for (std::size_t i = 0; i < v.left;) {
    const unsigned lead = v.at[i];
    const std::size_t extra = lead < 0x80   ? 0
                              : lead < 0xC2 ? 4
                              : lead < 0xE0 ? 1
                              : lead < 0xF0 ? 2
                              : lead < 0xF5 ? 3
                                            : 4;
    if (extra > 3 || v.left - i <= extra) return false;
    std::uint32_t code = extra == 0 ? lead : lead & (0x3Fu >> extra);
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((v.at[i + k] & 0xC0) != 0x80) return false;
      code = code << 6 | (v.at[i + k] & 0x3Fu);
    }
    if (code < kLeast[extra] || (code >= 0xD800 && code < 0xE000) || code > 0x10FFFF) return false;
    i += extra + 1;
  }
  return true;
}

// An attribute's value, mixed into `key`. The library compares the string
// types below by a canonical form (the text as UTF-8, ASCII letters in
// lower case, white space trimmed and runs of it as one blank): the key
// takes its ASCII characters other than white space, lower case, so two
// values of equal form always give the same key. A NumericString is
// compared as it is.
bool attribute_value(Der& entry, std::uint64_t& key) {
  if (entry.empty()) return false;
  const unsigned char tag = *entry.at;
  Der v;
  if (!entry.next(tag, v)) return false;
  std::size_t width = 1;
  if (tag == 0x12) {
    key = mix(key, tag);
    for (std::size_t i = 0; i < v.left; ++i) key = mix(key, v.at[i]);
    return true;
  }
  if (tag == 0x1E) {  // BMPString: two bytes a character, no surrogates
    width = 2;
    for (std::size_t i = 0; i < v.left; i += 2) {
      if (v.left - i < 2 || (v.at[i] >= 0xD8 && v.at[i] < 0xE0)) return false;
    }
  } else if (tag == 0x0C ? !valid_utf8(v)
                         : tag != 0x13 && tag != 0x14 && tag != 0x16 && tag != 0x1A) {
    return false;
  }
  for (std::size_t i = width - 1; i < v.left; i += width) {
    const unsigned c = v.at[i];
    if ((width == 2 && v.at[i - 1] != 0) || c >= 0x80 || c == ' ' || (c >= '\t' && c <= '\r'))
      continue;
    key = mix(key, c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
  return true;
}

// A name as the library decodes it (sets of attribute and string), and its
// key: the sets in order, the attributes within a set in any order.
bool name(Der& der, std::uint64_t& key) {
  Der sets;
  if (!der.next(0x30, sets)) return false;
  key = kKeyBasis;
  while (!sets.empty()) {
    Der set, entry, oid;
    if (!sets.next(0x31, set) || set.empty()) return false;
    std::uint64_t sum = 0;
    while (!set.empty()) {
      if (!set.next(0x30, entry) || !object_id(entry, oid)) return false;
      std::uint64_t attribute = kKeyBasis;
      for (std::size_t i = 0; i < oid.left; ++i) attribute = mix(attribute, oid.at[i]);
      if (!attribute_value(entry, attribute) || !entry.empty()) return false;
      sum += attribute;
    }
    key = (key ^ sum) * kKeyPrime;
  }
  return true;
}

bool extensions(Der& der) {
  Der list, extension, v;
  if (!der.next(0x30, list) || !der.empty()) return false;
  while (!list.empty()) {
    if (!list.next(0x30, extension) || !object_id(extension, v)) return false;
    if (extension.next(0x01, v) && v.left != 1) return false;
    if (!extension.next(0x04, v) || !extension.empty()) return false;
  }
  return true;
}

// A whole certificate, nothing after it, as d2i_X509 decodes one.
bool certificate(const std::vector<unsigned char>& der, std::uint64_t& subject_key) {
  Der all{der.data(), der.size()}, cert, tbs, part;
  std::uint64_t issuer_key = 0;
  if (!all.next(0x30, cert) || !all.empty() || !cert.next(0x30, tbs)) return false;
  if (tbs.next(0xA0, part) && !(integer(part) && part.empty())) return false;
  if (!integer(tbs) || !algorithm(tbs) || !name(tbs, issuer_key) || !tbs.next(0x30, part) ||
      !time(part) || !time(part) || !part.empty() || !name(tbs, subject_key) ||
      !tbs.next(0x30, part) || !algorithm(part) || !bit_string(part) || !part.empty()) {
    return false;
  }
  if (tbs.peek(0x81) && !bit_string(tbs, 0x81)) return false;
  if (tbs.peek(0x82) && !bit_string(tbs, 0x82)) return false;
  if (tbs.next(0xA3, part) && !extensions(part)) return false;
  return tbs.empty() && algorithm(cert) && bit_string(cert) && cert.empty();
}

}  // namespace

bool scan_ca_bundle(std::string_view pem, std::vector<CaBlock>& blocks) {
  blocks.clear();
  // The library's reader ends a line's text at a NUL.
  if (pem.find('\0') != std::string_view::npos) return false;
  std::vector<unsigned char> der;
  for (std::size_t at = 0; at < pem.size();) {
    const Line line = line_at(pem, at);
    at = line.next;
    const bool begins = line.text.substr(0, kAnyBegin.size()) == kAnyBegin;
    if (!line.whole || line.text.substr(0, kByteOrderMark.size()) == kByteOrderMark ||
        (begins && line.text != kBeginLine)) {
      return false;
    }
    if (!begins) continue;  // text between blocks
    CaBlock block;
    block.begin = at;
    if (!read_block(pem, at, block.end, der) || !certificate(der, block.subject_key)) return false;
    blocks.push_back(block);
  }
  return !blocks.empty();
}

std::vector<unsigned char> block_der(std::string_view pem, const CaBlock& block) {
  std::vector<unsigned char> der;
  std::size_t at = block.begin;
  std::size_t end = 0;
  if (!read_block(pem, at, end, der) || end != block.end) der.clear();
  return der;
}

bool name_key(const unsigned char* der, std::size_t length, std::uint64_t& key) {
  Der all{der, length};
  return name(all, key) && all.empty();
}

}  // namespace halvorpin
