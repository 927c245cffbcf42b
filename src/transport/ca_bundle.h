// The CA bundle as the client reads it: the PEM text is scanned once, and a
// certificate is decoded only when a chain asks for an issuer by its
// subject. The scan reads the PEM form and Base64 as the library's reader
// does, and each certificate's DER structure and names as its decoder does
// (more strictly, never less), and keeps, per certificate, its DER and a key
// of its subject: names the library's comparison counts as equal always
// share a key, so only certificates with the key looked for are decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace halvorpin {

// Scans a bundle's text into `list`: per certificate, the key of its
// subject and its DER. False when the text holds anything but certificates
// in plain PEM form (another kind of block, a header, a line the library
// would read in pieces, a certificate whose structure or names its decoder
// would refuse, no certificate at all): the library then reads the text
// whole, and its outcome stands.
bool scan_ca_bundle(std::string_view pem, std::string& list);

// How the list holds each certificate: this head, then its DER.
struct CaEntryHead {
  std::uint32_t subject_key;
  std::uint32_t length;
};

struct CaEntry {
  std::uint32_t subject_key = 0;
  const unsigned char* der = nullptr;
  std::size_t length = 0;
};

// The entry of the list at `at`, which moves to the next; false at its end.
bool next_ca_entry(std::string_view list, std::size_t& at, CaEntry& entry);

// The key of a DER-encoded name. False when the name holds what the scan
// leaves to the library (then any certificate may carry it).
bool name_key(const unsigned char* der, std::size_t length, std::uint32_t& key);

}  // namespace halvorpin
