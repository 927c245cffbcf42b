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
constexpr std::size_t kTempFileBuffer = std::size_t{64} * 1024;
// A refusal's body is kept for a look, but only this much of it.
constexpr std::size_t kRefusedBodyLimit = std::size_t{64} * 1024;
// The work files are the package store's, in the state directory.
constexpr const char* kPackageTempPath = PackageStore::kDownloadPath;
constexpr const char* kPackageArchivePath = PackageStore::kArchivePath;

// Fetches the reply body into the temporary package file; `header` of the
// reply stays in `reply`. kDownloadRefused (reason: the host and the
// reply's status line) for any code but 200, kPackageNotStored when the
// file could not be written (reading stops at the first failed write),
// kPackageReplyUnusable for a malformed head, kDownloadCutShort (reason:
// the host) when the body ended before its announced end.
Status fetch_to_temp_file(ServerLink* package_link, const char* request, FILE* temp,
                          ReplySink& reply) {
  // Whole read blocks go to the file in one write each.
  std::setvbuf(temp, nullptr, _IOFBF, kTempFileBuffer);
  ssl_sendrequest3(package_link->ssl.get(), request, reply);
  const bool stored = std::fflush(temp) == 0 && std::ferror(temp) == 0 && !reply.write_failed();
  const std::string& host = package_link->host;
  if (reply.status_code() != 200) return refused_by(Code::kDownloadRefused, host, reply);
  if (!stored) return Status(Code::kPackageNotStored, kPackageTempPath);
  if (reply.problem() != nullptr) {
    return unusable_from(Code::kPackageReplyUnusable, host, reply);
  }
  if (!reply.whole()) return Status(Code::kDownloadCutShort, host);
  return {};
}

// What the body is. A host that says it is clear is believed; otherwise the
// body is taken as encrypted only when its first block decrypts with the
// unit's key to the start of a gzip stream (1f 8b): a clear package whose
// first bytes happen to decrypt stays clear. Encryption with the unit's
// public key never proved where a package came from (the verified
// connection does), so nothing is lost by that, and a large clear file is
// never run through the decryption. kUntold: a local failure (the work
// file, memory) kept the first block from telling.
enum class Body { kClear, kEncrypted, kUntold };

Body body_kind(const ReplySink& reply, EVP_PKEY* unit_key) {
  if (header_is(reply, "X-Encrypted", "false")) return Body::kClear;
  FilePtr in = open_regular_stream(kPackageTempPath);
  const int size = rsa_size(unit_key);
  EvpPkeyCtxPtr ctx = make_rsa_decrypt_ctx(unit_key);
  if (!in || size <= 0 || !ctx) return Body::kUntold;
  const auto block_size = static_cast<std::size_t>(size);
  std::vector<unsigned char> block(block_size);
  std::vector<unsigned char> clear(block_size);
  if (std::fread(block.data(), 1, block_size, in.get()) != block_size) {
    return std::ferror(in.get()) != 0 ? Body::kUntold : Body::kClear;
  }
  const int n = rsa_decrypt_block(ctx.get(), block.data(), block_size, clear.data(), clear.size());
  if (n == kBlockFailed) return Body::kUntold;
  return n >= 2 && clear[0] == 0x1f && clear[1] == 0x8b ? Body::kEncrypted : Body::kClear;
}

// Writes the clear bytes of every whole block that decrypts; blocks the key
// does not decrypt are skipped, a trailing partial block is ignored. A
// block that fails for a local reason (memory) fails it all.
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
    if (n == kBlockFailed) return false;
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
  share_context(*link, &package_link);
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

  FilePtr temp = create_fresh_stream(kPackageTempPath, 0644);
  if (!temp) return local_failure(Code::kPackageNotStored, kPackageTempPath);
  ReplySink reply(0, temp.get(), kRefusedBodyLimit);
  status = fetch_to_temp_file(&package_link, request.c_str(), temp.get(), reply);
  const bool closed = std::fclose(temp.release()) == 0;
  if (status.ok() && !closed) status = Status(Code::kPackageNotStored, kPackageTempPath);
  // After a refusal a little of the error body stays for a look.
  if (status.code() == Code::kDownloadRefused) return status;
  if (!status.ok()) {
    (void)::unlink(kPackageTempPath);
    return status;
  }
  const Body kind = body_kind(reply, link->unit_key.get());
  if (kind == Body::kClear) {
    // The clear package is the file: move it into place whole.
    if (::rename(kPackageTempPath, kPackageArchivePath) == 0) return {};
    (void)::unlink(kPackageTempPath);
    return Status(Code::kPackageNotStored, kPackageArchivePath);
  }
  bool written =
      kind == Body::kEncrypted && out != nullptr && decrypt_blocks(link->unit_key.get(), out);
  (void)::unlink(kPackageTempPath);
  return written ? Status() : local_failure(Code::kPackageNotStored, kPackageArchivePath);
}

}  // namespace halvorpin
