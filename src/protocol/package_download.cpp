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
// A signature of a 4096-bit RSA key is 512 bytes.
constexpr std::size_t kSignatureCapacity = 2048;
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
// block that fails for a local reason (memory) fails it all. With `digest`,
// what is written is hashed into it (from its start) as it is written.
bool decrypt_blocks(EVP_PKEY* unit_key, FILE* out, EVP_MD_CTX* digest) {
  FilePtr in = open_regular_stream(kPackageTempPath);
  int size = rsa_size(unit_key);
  EvpPkeyCtxPtr ctx = make_rsa_decrypt_ctx(unit_key);
  if (!in || size <= 0 || !ctx) return false;
  const auto block_size = static_cast<std::size_t>(size);
  std::vector<unsigned char> block(block_size);
  std::vector<unsigned char> clear(block_size);
  if (digest != nullptr && EVP_DigestInit_ex(digest, EVP_sha256(), nullptr) != 1) return false;
  while (std::fread(block.data(), block_size, 1, in.get()) == 1) {
    int n = rsa_decrypt_block(ctx.get(), block.data(), block_size, clear.data(), clear.size());
    if (n == kBlockFailed) return false;
    if (n <= 0) continue;
    const auto length = static_cast<std::size_t>(n);
    if (std::fwrite(clear.data(), 1, length, out) != length ||
        (digest != nullptr && EVP_DigestUpdate(digest, clear.data(), length) != 1)) {
      return false;
    }
  }
  return std::ferror(in.get()) == 0 && std::fflush(out) == 0;
}

// The request for `path` at the package host: the same for the package and
// its signature.
RequestText package_request(const PackageLocator& where, const std::string& path,
                            const std::string& unit_id) {
  RequestText request(kRequestCapacity);
  // The standard request line: strict web servers refuse a blank before CR LF.
  request.add("GET ").add(path).add(" HTTP/1.1\r\n");
  request.add("Host: ").add(where.host).add("\r\n");
  request.add("X-Encryption-Desired: false\r\n");
  request.add("X-Unit-ID: ").add(unit_id).add("\r\n");
  request.add("\r\n");
  return request;
}

// Fetches "<path>.sig" on the package's connection when the host keeps it,
// else on a re-connection, and verifies it over the archive's `digest`.
Status check_signature(ServerLink* package_link, bool reuse_connection, const char* locator,
                       const PackageLocator& where, const std::string& unit_id, EVP_MD_CTX* digest,
                       const PackageKeys& keys) {
  const RequestText request = package_request(where, where.path + ".sig", unit_id);
  if (!request.ok()) return Status(Code::kLocatorUnusable);
  ReplySink reply(kSignatureCapacity);
  if (reuse_connection) ssl_sendrequest(package_link->ssl.get(), request.c_str(), reply);
  // A host may close a kept connection at any time: one that brought not a
  // byte is asked again on a new one, as HTTP clients do.
  if (!reply.started()) {
    Status status = ssl_reconnect(package_link);
    if (!status.ok()) return status;
    reply = ReplySink(kSignatureCapacity);
    ssl_sendrequest(package_link->ssl.get(), request.c_str(), reply);
  }
  if (reply.status_code() != 200) {
    return Status(Code::kSignatureMissing, package_link->host + " " + reply.status_line());
  }
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int hash_length = 0;
  const bool verified = reply.whole() && !reply.body_cut() &&
                        EVP_DigestFinal_ex(digest, hash, &hash_length) == 1 &&
                        keys.verify(hash, hash_length, reply.body());
  return verified ? Status() : Status(Code::kSignatureBad, locator);
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

Status packages(ServerLink* link, const char* locator, FILE* out, const PackageKeys* keys) {
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
  const RequestText request = package_request(where, where.path, link->unit_id);
  if (!request.ok()) return Status(Code::kLocatorUnusable);

  // A signed package is hashed as its bytes arrive.
  EvpMdCtxPtr digest(keys != nullptr ? EVP_MD_CTX_new() : nullptr);
  if (keys != nullptr && (!digest || EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1)) {
    return Status(Code::kPackageNotStored, kPackageTempPath);
  }
  FilePtr temp = create_fresh_stream(kPackageTempPath, 0644);
  if (!temp) return local_failure(Code::kPackageNotStored, kPackageTempPath);
  ReplySink reply(0, temp.get(), kRefusedBodyLimit);
  reply.digest_body(digest.get());
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
    if (::rename(kPackageTempPath, kPackageArchivePath) != 0) {
      (void)::unlink(kPackageTempPath);
      return Status(Code::kPackageNotStored, kPackageArchivePath);
    }
  } else {
    const bool written = kind == Body::kEncrypted && out != nullptr &&
                         decrypt_blocks(link->unit_key.get(), out, digest.get());
    (void)::unlink(kPackageTempPath);
    if (!written) return local_failure(Code::kPackageNotStored, kPackageArchivePath);
  }
  return keys == nullptr ? Status()
                         : check_signature(&package_link, reply.keeps_connection(), locator, where,
                                           link->unit_id, digest.get(), *keys);
}

}  // namespace halvorpin
