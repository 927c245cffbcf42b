#include "protocol/package_download.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "base/number_text.h"
#include "base/paths.h"
#include "protocol/http_reply.h"
#include "transport/cert_check.h"
#include "transport/connection.h"
#include "transport/exchange.h"
#include "unit/file_io.h"
#include "unit/rsa_key.h"

namespace halvorpin {
namespace {

constexpr std::size_t kRequestCapacity = 1024;
constexpr std::size_t kReplyCapacity = 1024;
constexpr std::size_t kTempFileBuffer = std::size_t{64} * 1024;

// Fetches the reply body into the temporary package file: 1 on a 200 reply
// whose body was stored completely, 0 on any other reply, kPackageLocalFailure
// when the file could not be written. `header` receives the header block.
int fetch_to_temp_file(ServerLink* package_link, const char* request, std::vector<char>& header) {
  FilePtr temp = create_fresh_stream(kPackageTempPath, 0644);
  if (!temp) return kPackageLocalFailure;
  // Whole read blocks go to the file in one write each.
  std::setvbuf(temp.get(), nullptr, _IOFBF, kTempFileBuffer);
  ssl_sendrequest3(package_link->ssl.get(), request, header.data(), header.size(), temp.get());
  bool stored = std::fflush(temp.get()) == 0 && std::ferror(temp.get()) == 0;
  bool closed = std::fclose(temp.release()) == 0;
  if (!reply_contains(header.data(), "HTTP/1.1 200 OK")) return 0;
  return stored && closed ? 1 : kPackageLocalFailure;
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

int packages(ServerLink* link, const char* locator, FILE* out) {
  PackageLocator where;
  if (out == nullptr || !split_locator(locator, where)) return 0;
  ServerLink package_link;
  package_link.host = where.host;
  package_link.port = where.port;
  // The package's script runs as root: only a verified host may supply it.
  if (!open_checked_connection(&package_link)) return kPackageFatal;

  RequestText request(kRequestCapacity);
  request.add("GET ").add(where.path).add(" HTTP/1.1 \r\n");
  request.add("Host: ").add(where.host).add("\r\n");
  request.add("X-Encryption-Desired: false\r\n");
  request.add("X-Unit-ID: ").add(link->unit_id).add("\r\n");
  request.add("\r\n");
  if (!request.ok()) return 0;

  std::vector<char> header(kReplyCapacity, '\0');
  int fetched = fetch_to_temp_file(&package_link, request.c_str(), header);
  // After a refusal the error body stays in the temporary file for a look.
  if (fetched == 0) return 0;
  if (fetched != 1) {
    (void)::unlink(kPackageTempPath);
    return fetched;
  }
  if (reply_contains(header.data(), "X-Encrypted: false")) {
    // The clear package is the file: move it into place whole.
    if (::rename(kPackageTempPath, kPackageArchivePath) == 0) return 1;
    (void)::unlink(kPackageTempPath);
    return kPackageLocalFailure;
  }
  bool written = decrypt_blocks(link->unit_key.get(), out);
  (void)::unlink(kPackageTempPath);
  return written ? 1 : kPackageLocalFailure;
}

}  // namespace halvorpin
