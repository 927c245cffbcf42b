#include "protocol/package_download.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "base/number_text.h"
#include "protocol/http_reply.h"
#include "transport/cert_check.h"
#include "transport/connection.h"
#include "transport/exchange.h"
#include "unit/file_io.h"
#include "unit/package_store.h"
#include "unit/rsa_key.h"

namespace halvorpin {
namespace {

constexpr std::size_t kRequestCapacity = 1024;
constexpr std::size_t kReplyCapacity = 1024;
constexpr std::size_t kTempFileBuffer = std::size_t{64} * 1024;
// The work files are the package store's, in the state directory.
constexpr const char* kPackageTempPath = PackageStore::kDownloadPath;
constexpr const char* kPackageArchivePath = PackageStore::kArchivePath;

// The reply's first line, for a message: at most 200 bytes, anything not
// printable shown as '?'.
std::string status_line_of(const char* header) {
  std::string line(header, std::strcspn(header, "\r\n"));
  if (line.size() > 200) line.resize(200);
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
  }
  return line.empty() ? "no reply" : line;
}

// Fetches the reply body into the temporary package file; `header`
// receives the header block. kDownloadRefused (reason: the host and the
// reply's status line) for anything but a 200 reply, kDownloadCutShort
// (reason: the host) when the body ended before its announced end,
// kPackageNotStored when the file could not be written.
Status fetch_to_temp_file(ServerLink* package_link, const char* request,
                          std::vector<char>& header) {
  FilePtr temp = create_fresh_stream(kPackageTempPath, 0644);
  if (!temp) return Status(Code::kPackageNotStored, kPackageTempPath);
  // Whole read blocks go to the file in one write each.
  std::setvbuf(temp.get(), nullptr, _IOFBF, kTempFileBuffer);
  const Exchanged reply =
      ssl_sendrequest3(package_link->ssl.get(), request, header.data(), header.size(), temp.get());
  bool stored = std::fflush(temp.get()) == 0 && std::ferror(temp.get()) == 0;
  bool closed = std::fclose(temp.release()) == 0;
  if (!reply_contains(header.data(), "HTTP/1.1 200 OK")) {
    return Status(Code::kDownloadRefused,
                  package_link->host + ": " + status_line_of(header.data()));
  }
  if (reply.cut_short) return Status(Code::kDownloadCutShort, package_link->host);
  return stored && closed ? Status() : Status(Code::kPackageNotStored, kPackageTempPath);
}

// Whether the body is the package in clear. A host that says so is
// believed; otherwise the first block decides: a body whose first block does
// not decrypt with the unit's key and that starts like a gzip stream is
// clear. Encryption with the unit's public key never proved where a package
// came from (the verified connection does), so nothing is lost by that, and
// a large clear file is never run through the decryption.
bool body_is_clear(const char* header, EVP_PKEY* unit_key) {
  if (reply_contains(header, "X-Encrypted: false")) return true;
  FilePtr in = open_regular_stream(kPackageTempPath);
  const int size = rsa_size(unit_key);
  EvpPkeyCtxPtr ctx = make_rsa_decrypt_ctx(unit_key);
  if (!in || size <= 0 || !ctx) return false;
  const auto block_size = static_cast<std::size_t>(size);
  std::vector<unsigned char> block(block_size);
  std::vector<unsigned char> clear(block_size);
  const std::size_t n = std::fread(block.data(), 1, block_size, in.get());
  if (n == block_size &&
      rsa_decrypt_block(ctx.get(), block.data(), block_size, clear.data(), clear.size()) >= 0) {
    return false;
  }
  return n >= 2 && block[0] == 0x1f && block[1] == 0x8b;
}

// Writes the clear bytes of every whole block that decrypts; blocks that do
// not are skipped, a trailing partial block is ignored.
bool decrypt_blocks(EVP_PKEY* unit_key, FILE* out) {
  FilePtr in = open_regular_stream(kPackageTempPath);
  int size = rsa_size(unit_key);
  EvpPkeyCtxPtr ctx = make_rsa_decrypt_ctx(unit_key);
  if (!in || size <= 0 || !ctx) return false;
  const auto block_size = static_cast<std::size_t>(size);
  std::vector<unsigned char> block(block_size);
  std::vector<unsigned char> clear(block_size);
  while (std::fread(block.data(), block_size, 1, in.get()) == 1) {
    int n = rsa_decrypt_block(ctx.get(), block.data(), block_size, clear.data(), clear.size());
    if (n > 0 && std::fwrite(clear.data(), 1, static_cast<std::size_t>(n), out) !=
                     static_cast<std::size_t>(n)) {
      return false;
    }
  }
  return std::ferror(in.get()) == 0 && std::fflush(out) == 0;
}

}  // namespace

bool locator_usable(const PackageLocator& where) {
  auto is_plain = [](const std::string& text) {
    for (char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte <= 0x20 || byte == 0x7f) return false;
    }
    return true;
  };
  return is_plain(where.host) && is_plain(where.path) && !where.path.empty() &&
         where.path[0] == '/';
}

bool split_locator(const char* locator, PackageLocator& out) {
  const char* scheme_end = std::strstr(locator, "://");
  const char* host_start = scheme_end != nullptr ? scheme_end + 3 : locator;
  std::size_t host_length = std::strcspn(host_start, "/");
  if (host_length >= kLocatorHostCapacity) return false;
  out.host.assign(host_start, host_length);
  out.path.assign(host_start + host_length);
  std::string::size_type colon = out.host.find(':');
  out.port = 443;
  if (colon != std::string::npos) {
    out.port = parse_leading_int(out.host.c_str() + colon + 1);
    out.host.resize(colon);
  }
  return true;
}

Status packages(ServerLink* link, const char* locator, FILE* out) {
  PackageLocator where;
  // The locator comes from the server: nothing in it may add to the request.
  if (!split_locator(locator, where) || !locator_usable(where)) {
    return Status(Code::kLocatorUnusable);
  }
  ServerLink package_link;
  package_link.host = where.host;
  package_link.port = where.port;
  // The package's script runs as root: only a verified host may supply it.
  Status status = open_checked_connection(&package_link);
  if (!status.ok()) return status;

  RequestText request(kRequestCapacity);
  // The standard request line: strict web servers refuse a blank before CR LF.
  request.add("GET ").add(where.path).add(" HTTP/1.1\r\n");
  request.add("Host: ").add(where.host).add("\r\n");
  request.add("X-Encryption-Desired: false\r\n");
  request.add("X-Unit-ID: ").add(link->unit_id).add("\r\n");
  request.add("\r\n");
  if (!request.ok()) return Status(Code::kLocatorUnusable);

  std::vector<char> header(kReplyCapacity, '\0');
  status = fetch_to_temp_file(&package_link, request.c_str(), header);
  // After a refusal a little of the error body stays for a look.
  if (status.code() == Code::kDownloadRefused) return status;
  if (!status.ok()) {
    (void)::unlink(kPackageTempPath);
    return status;
  }
  if (body_is_clear(header.data(), link->unit_key.get())) {
    // The clear package is the file: move it into place whole.
    if (::rename(kPackageTempPath, kPackageArchivePath) == 0) return {};
    (void)::unlink(kPackageTempPath);
    return Status(Code::kPackageNotStored, kPackageArchivePath);
  }
  bool written = out != nullptr && decrypt_blocks(link->unit_key.get(), out);
  (void)::unlink(kPackageTempPath);
  return written ? Status() : Status(Code::kPackageNotStored, kPackageArchivePath);
}

}  // namespace halvorpin
