// The CA bundle as the client reads it: the PEM text is scanned once, and a
// certificate is decoded only when a chain asks for an issuer by its
// subject. The scan checks every block as the library's own reader and
// decoder would (the PEM form, Base64, the DER structure and each value the
// decoder checks) and keeps, per certificate, where its text lies and a key
// of its subject: names the library's comparison counts as equal always
// share a key, so only certificates with the key looked for are decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace halvorpin {

struct CaBlock {
  std::size_t begin = 0;  // the block's Base64 lines, line ends included
  std::size_t end = 0;
  std::uint64_t subject_key = 0;
};

// Scans a bundle's text into its certificate blocks. False when the text
// holds anything but certificates in plain PEM form (another kind of block,
// a header, a line the library would read in pieces, a certificate its
// decoder would refuse, no certificate at all): the library then reads the
// text whole, and its outcome stands.
bool scan_ca_bundle(std::string_view pem, std::vector<CaBlock>& blocks);

// The DER bytes of a block the scan found.
std::vector<unsigned char> block_der(std::string_view pem, const CaBlock& block);

// The key of a DER-encoded name. False when the name holds what the scan
// leaves to the library (then any certificate may carry it).
bool name_key(const unsigned char* der, std::size_t length, std::uint64_t& key);

}  // namespace halvorpin
